#include "call_recorder.h"

#include <unistd.h>

#include <algorithm>

CallRecorder::CallRecorder(const FaultPlan& faults) : plan(faults) {
  ObserveCalls(this);
}

CallRecorder::~CallRecorder() {
  ObserveCalls(nullptr);
}

Failure CallRecorder::Before(const PlatformCall& call) {
  calls.push_back(call);
  if (!plan.crashAfter && calls.size() == plan.crashCall) {
    _exit(0);
  }
  return calls.size() == plan.failCall ? plan.how : Failure::None;
}

void CallRecorder::After(const PlatformCall& call) {
  calls.back() = call;
  if (plan.crashAfter && calls.size() == plan.crashCall) {
    _exit(0);
  }
}

std::vector<std::string> Described(const std::vector<PlatformCall>& calls) {
  std::vector<std::string> lines(calls.size());
  std::transform(calls.begin(), calls.end(), lines.begin(), Describe);
  return lines;
}
