// What the Windows program takes from the C++ runtime, cut to what it needs.
//
// The executable is linked statically, so each library function it reaches comes with whatever
// that function reaches in turn. A failure path in libstdc++ ends in a throw, and a throw brings
// the unwinder, the exception runtime, and the verbose terminate handler with its demangler and
// printf: close to 200 KB, eight times the program itself. The program catches nothing, so every
// one of those throws would end the process anyway, through std::terminate and then abort().
// Each replacement below ends the process directly, with abort()'s exit code, 3, without the
// machinery (see EndAtOnce for why not through abort() itself).
//
// The build compiles everything with -fno-exceptions and _GLIBCXX_ASSERTIONS (which also makes
// each translation unit instantiate the std::string members it uses, instead of taking the
// library's copies, compiled with exceptions). If some future code reaches a library function
// that throws and is not replaced here, the library's own definitions come back with it and the
// linker reports each name below as defined twice; the size check in the test suite catches any
// other way back.
#include <windows.h>

#include <cstddef>
#include <cstdlib>

namespace {

// The one way the runtime ends the process. Not abort(): the start-up marks this a GUI program
// (__set_app_type(_GUI_APP)), and for one of those msvcrt's abort() first shows a "Runtime
// Error! ... abnormal program termination" box, and Windows Error Reporting may follow: a fifth
// message, and a frightening one, where the player should see none. TerminateProcess is as
// abrupt: no destructor, no exit handler and no DLL detach runs that could touch a file, and
// nothing is shown. Ending one's own process does not return; the loop says so to the compiler.
[[noreturn]] void EndAtOnce() {
  for (;;) {
    (void)TerminateProcess(GetCurrentProcess(), 3);
  }
}

}  // namespace

// A failed allocation must end the run before anything else happens: the path being built would
// otherwise be missing, and the next file call would get a wrong one or none. Every allocation
// is made between file calls, never inside one, so no move is ever left half-done; a move that
// has begun is one system call that completes or does not.
void* operator new(std::size_t size) {
  void* const block = std::malloc(size != 0 ? size : 1);
  if (block == nullptr) {
    EndAtOnce();
  }
  return block;
}

void operator delete(void* block) noexcept {
  std::free(block);
}

void operator delete(void* block, std::size_t /*size*/) noexcept {
  std::free(block);
}

// The throw helpers std::string calls when asked for more than it can hold, for a position past
// its end, or to build itself from a null pointer. None can happen with the paths the program
// builds; if one did, it would be a fault in the program, and it ends the run as out of memory
// does. They keep the library's names and signatures, which is what makes them replacements.
// NOLINTBEGIN(cert-dcl58-cpp,readability-identifier-naming,bugprone-reserved-identifier)
namespace std {

[[noreturn]] void __throw_length_error(const char* /*what*/) {
  EndAtOnce();
}

[[noreturn]] void __throw_logic_error(const char* /*what*/) {
  EndAtOnce();
}

[[noreturn]] void __throw_out_of_range_fmt(const char* /*format*/, ...) {
  EndAtOnce();
}

[[noreturn]] void __throw_bad_alloc() {
  EndAtOnce();
}

[[noreturn]] void __throw_bad_array_new_length() {
  EndAtOnce();
}

// _GLIBCXX_ASSERTIONS checks preconditions such as an index within bounds; the library's report
// of a failed one prints through the debug-mode machinery, which a GUI program has nowhere to
// show. Ending at once is what matters.
[[noreturn]] void __glibcxx_assert_fail(const char* /*file*/, int /*line*/,
                                        const char* /*function*/,
                                        const char* /*condition*/) noexcept {
  EndAtOnce();
}

}  // namespace std
// NOLINTEND(cert-dcl58-cpp,readability-identifier-naming,bugprone-reserved-identifier)
