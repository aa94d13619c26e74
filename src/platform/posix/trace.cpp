// The trace observer: each call appended to a file, once it has returned (see trace.h).
#include "platform/posix/trace.h"

#include "platform/posix/platform_calls.h"

namespace {

class CallTrace : public CallObserver {
 public:
  explicit CallTrace(std::FILE* out) : out_(out) {}
  Failure Before(const PlatformCall& /*call*/) override { return Failure::None; }
  void After(const PlatformCall& call) override {
    (void)std::fprintf(out_, "%s\n", Describe(call).c_str());
    (void)std::fflush(out_);  // a run cut short still leaves every call it made
  }

 private:
  std::FILE* out_;
};

}  // namespace

void InstallCallTrace(std::FILE* out) {
  static CallTrace trace(out);
  ObserveCalls(&trace);
}
