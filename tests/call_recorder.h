// Records every call the patch code makes through the stand-in's interposer, and can make the Nth
// call fail the way that call really fails, or end the process just before or after it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/posix/platform_calls.h"

// What a recorded run is to suffer, if anything.
struct FaultPlan {
  // 1-based number of the call to fail; 0 fails none.
  std::size_t failCall = 0;
  // How it fails: one of FailuresOf(its name).
  Failure how = Failure::Fails;
  // 1-based number of the call just before which, or with crashAfter just after which, the process
  // ends at once, as on a crash or a power cut; 0 for none.
  std::size_t crashCall = 0;
  bool crashAfter = false;
};

class CallRecorder : public CallObserver {
 public:
  explicit CallRecorder(const FaultPlan& faults = {});
  ~CallRecorder() override;
  CallRecorder(const CallRecorder&) = delete;
  CallRecorder& operator=(const CallRecorder&) = delete;

  Failure Before(const PlatformCall& call) override;
  void After(const PlatformCall& call) override;

  const FaultPlan plan;
  std::vector<PlatformCall> calls;
};

// Each call in the text form, as tests compare them.
std::vector<std::string> Described(const std::vector<PlatformCall>& calls);
