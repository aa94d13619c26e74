// libFuzzer target: a registry value and a small installation, both taken from the input, run
// through WinMain against the stand-in on real files. Whatever the input, the run must show exactly
// one message, return 0, leave every file's content exactly once, and claim success only when the
// installation really is complete. ASan and UBSan watch every byte read.
//
// Input: one byte choosing how the value starts (the installation's absolute path, its parent's,
// the relative "Demo", or nothing), one byte of value length, the value's remaining bytes, then
// entries of three bytes each: where and what (parent or installation; file, read-only file or
// directory), which name from a fixed list, and a content byte.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "expected_names.h"
#include "patch/patch_main.h"
#include "platform/posix/lookup.h"
#include "platform/posix/platform_calls.h"
#include "temp_tree.h"

namespace {

// Holds the registry store, Games/ and Games/Demo/; the run's current directory is Games. Removed
// at exit.
std::unique_ptr<TempDir> Sandbox;
std::vector<std::string> Messages;

int RecordMessage(HWND /*owner*/, LPCSTR text, LPCSTR /*caption*/, UINT /*style*/) {
  Messages.emplace_back(text != nullptr ? text : "(null)");
  return IDOK;
}

const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all(ExpectedArchives.begin(), ExpectedArchives.end());
    std::transform(ExpectedRenames.begin(), ExpectedRenames.end(), std::back_inserter(all),
                   [](const auto& pair) { return pair.first; });
    const std::initializer_list<const char*> extras = {
        "game.exe", "SETUP.EXE", ".pak",      ".x.exe",  "voices1.pakx",
        "a b.pak",  "tail.pak ", "notes.txt", "SFX.PAK", "caf\xc3\xa9.pak"};
    all.insert(all.end(), extras.begin(), extras.end());
    return all;
  }();
  return names;
}

std::string Folded(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), FoldCase);
  return text;
}

// Whether the installation the value names holds every archive of the tests' own list, in the
// tree read back after the run, letter case aside (a directory counts, as a search finds it).
// Only where that folder lies is asked of the stand-in.
bool IsComplete(const Tree& after, const std::filesystem::path& games) {
  HostPath member;
  const std::string value(InstallDir, strnlen(InstallDir, sizeof InstallDir));
  if (!ToHostPath((value + "\\x").c_str(), &member)) {
    return false;
  }
  const auto relative = std::filesystem::path(member.dir).lexically_relative(games);
  if (relative.empty() || *relative.begin() == "..") {
    return false;
  }
  const std::string dir = relative == "." ? "" : relative.generic_string() + "/";
  std::set<std::string> present;
  for (const auto& [path, entry] : after) {
    present.insert(Folded(path));
  }
  return std::all_of(ExpectedArchives.begin(), ExpectedArchives.end(),
                     [&](const char* name) { return present.count(Folded(dir + name)) == 1; });
}

// Every file's content in the tree, sorted: the multiset no run may change.
std::vector<std::string> FileContents(const Tree& tree) {
  std::vector<std::string> contents;
  for (const auto& [path, entry] : tree) {
    if (entry.kind == 'f') {
      contents.push_back(entry.content);
    }
  }
  std::sort(contents.begin(), contents.end());
  return contents;
}

// The value's own bytes may not leave the sandbox: no drive, no forward slash, no "..", and a
// relative value never starts at the root. Backslashes, high bytes and zeros stay.
std::string Confine(const std::uint8_t* data, std::size_t size, bool relative) {
  std::string bytes;
  for (std::size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    const bool secondDot = c == '.' && !bytes.empty() && bytes.back() == '.';
    if (c == ':' || c == '/' || secondDot) {
      c = '_';
    }
    bytes += c;
  }
  if (relative && !bytes.empty() && bytes[0] == '\\') {
    bytes[0] = '_';
  }
  return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  Sandbox = std::make_unique<TempDir>();
  (void)setenv("KELVANE_PATCH_REGISTRY", (Sandbox->path() / "registry").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  ClearDirectory(Sandbox->path());
  const std::filesystem::path games = Sandbox->path() / "Games";

  std::string value;
  switch (data[0] % 4) {
    case 0:
      value = WindowsPath(games / "Demo");
      break;
    case 1:
      value = WindowsPath(games);
      break;
    case 2:
      value = "Demo";
      break;
    default:
      break;
  }
  const std::size_t extra = std::min<std::size_t>(data[1], size - 2);
  value += Confine(data + 2, extra, value.empty() || data[0] % 4 == 2);
  value.resize(std::min<std::size_t>(value.size(), 300));
  BuildTree(Sandbox->path() / "registry",
            {{"HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory/Directory", File(value)}});

  // The first entry to claim a name keeps it.
  Tree tree = {{"Demo", Dir()}};
  const std::vector<std::string>& names = Names();
  for (std::size_t at = 2 + extra; at + 3 <= size; at += 3) {
    const std::string path =
        ((data[at] & 1) != 0 ? "Demo/" : "") + names[data[at + 1] % names.size()];
    const std::string content = "content " + std::to_string(data[at + 2]);
    switch ((data[at] >> 1) % 3) {
      case 0:
        (void)tree.emplace(path, File(content));
        break;
      case 1:
        (void)tree.emplace(path, File(content, true));
        break;
      default:
        if (tree.emplace(path, Dir()).second) {
          tree.emplace(path + "/inside", File(content));
        }
        break;
    }
  }
  BuildTree(games, tree);
  std::filesystem::current_path(games);

  std::memset(InstallDir, 0, sizeof InstallDir);
  ParentPrefix.clear();
  Messages.clear();
  PlatformCallTable = DefaultPlatformCalls;
  PlatformCallTable.MessageBoxA = RecordMessage;
  char commandLine[] = "";
  if (WinMain(nullptr, nullptr, commandLine, 0) != 0 || Messages.size() != 1) {
    std::abort();
  }
  if (FileContents(ReadTree(games)) != FileContents(tree)) {
    (void)std::fputs("a file was lost, duplicated or changed\n", stderr);
    std::abort();
  }
  const bool claimsComplete =
      Messages[0] == "Kelvane DVD successfully patched " || Messages[0] == "Patch not needed.";
  if (claimsComplete && !IsComplete(ReadTree(games), games)) {
    (void)std::fputs("success claimed for an incomplete installation\n", stderr);
    std::abort();
  }
  return 0;
}
