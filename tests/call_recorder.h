// Records every call the patch code makes through the stand-in's call table, and can make the
// Nth call fail the way that call really fails, without making it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct RecordedCall {
  std::string name;
  std::vector<std::string> args;  // strings as they were passed; handles and numbers in hex
  // In hex; a key opened or a search that found something adds the key or the name after a space.
  std::string result;
};

// What a recorded run is to suffer, if anything.
struct FaultPlan {
  // 1-based number of the call to fail; 0 fails none.
  std::size_t failCall = 0;
  // How it fails: 0 the common way; 1 a second way, for the calls that have one (see FailureKinds).
  int failKind = 0;
  // 1-based number of the call just before which, or with crashAfter just after which, the process
  // ends at once, as on a crash or a power cut; 0 for none.
  std::size_t crashCall = 0;
  bool crashAfter = false;
};

class CallRecorder {
 public:
  explicit CallRecorder(const FaultPlan& faults = {});
  ~CallRecorder();
  CallRecorder(const CallRecorder&) = delete;
  CallRecorder& operator=(const CallRecorder&) = delete;

  const FaultPlan plan;
  std::vector<RecordedCall> calls;
};

// The ways a call can fail, as failKind counts them: RegQueryValueExA has two, failing with the
// buffer untouched (a missing value) or after writing over it (more data than fits); the others
// one each: failure, nothing changed.
int FailureKinds(const std::string& call);

// "Name(arg, arg)" for each call, the compact form tests compare against.
std::vector<std::string> FormatCalls(const std::vector<RecordedCall>& calls);
