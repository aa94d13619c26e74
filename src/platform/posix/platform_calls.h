// The stand-in's one interposer. Every Win32 call of the patch code passes one wrapper, which
// shows it to an observer before and after, in one text form, and then calls the implementation
// in PlatformCallTable. An observer can fail the call, the way the call really fails, or end the
// process before or after it; the relay-style trace, the tests' recorder and their fault plans
// are observers. The table's entries start as the real implementations; a test may swap one.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/platform_ops.h"

struct PlatformCalls {
  decltype(&::RegCreateKeyExA) RegCreateKeyExA;
  decltype(&::RegQueryValueExA) RegQueryValueExA;
  decltype(&::RegCloseKey) RegCloseKey;
  decltype(&::FindFirstFileA) FindFirstFileA;
  decltype(&::FindNextFileA) FindNextFileA;
  decltype(&::FindClose) FindClose;
  decltype(&::SetFileAttributesA) SetFileAttributesA;
  decltype(&::MoveFileA) MoveFileA;
  decltype(&::MessageBoxA) MessageBoxA;
};

// The real implementations; assign this back to PlatformCallTable to undo a test's changes.
extern const PlatformCalls DefaultPlatformCalls;

extern PlatformCalls PlatformCallTable;

// How many searches the real FindFirstFileA opened that FindClose has not closed, so that a test
// can tell a handle left open: Win32 has no way to ask.
std::size_t OpenSearchCount();

// One call in the text form that the trace, the tests and tests/call_trace.py share:
// `Name(arg, ...) = result`. Strings are quoted and escaped as Wine's relay channel does; input
// and reserved pointers and window handles are "ptr" or "null", and out pointers are left out;
// search handles and keys are h1, h2, ... and k1, ... in the order the program first met them; a
// status is a decimal number, a BOOL is TRUE or FALSE, and a failed search is INVALID.
struct PlatformCall {
  std::string name;
  std::vector<std::string> args;
  std::string result;  // empty until the call has returned
};

std::string Describe(const PlatformCall& call);

// A string as the text form quotes it.
std::string Quoted(const char* text);

// How an observer has a call fail, each the way the call really fails.
enum class Failure {
  None,        // the call runs
  Fails,       // it fails and changes nothing (RegQueryValueExA: the value is missing)
  WritesOver,  // RegQueryValueExA alone: ERROR_MORE_DATA, after writing over the buffer
};

// The ways the named call can fail: Fails for each, and WritesOver too for RegQueryValueExA.
std::vector<Failure> FailuresOf(const std::string& call);

class CallObserver {
 public:
  virtual ~CallObserver() = default;
  // Before the call: whether, and how, it is to fail.
  virtual Failure Before(const PlatformCall& call) = 0;
  virtual void After(const PlatformCall& call) = 0;
};

// Shows every call to `observer` from now on, or to none; handle names start again from 1.
void ObserveCalls(CallObserver* observer);
