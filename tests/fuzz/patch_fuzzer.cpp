// libFuzzer target: a registry value and a small installation, both taken from the input, run
// through WinMain against the stand-in on real files. Whatever the input, the run must show exactly
// one message, return 0, leave every file's content exactly once, and claim success only when the
// installation really is complete. Where the tests' own model of the repair can tell, the message
// must also be the one the model expects. ASan and UBSan watch every byte read.
//
// Input, so that each archive's fault is one byte away from a seed:
// - one byte choosing how the value starts (the installation's absolute path, its parent's, the
//   relative "Demo", or nothing), one byte of value length, the value's remaining bytes;
// - one state byte per archive of the tests' list, then one per short name, in the lists' order:
//   bits 0-1 where it lies (nowhere, installation, parent, both), the rest, modulo 3, as what (a
//   file, a read-only file, a directory holding a file). A missing byte is "nowhere";
// - entries of three bytes each: where and what as above but bit 0 alone choosing the
//   installation, which name of a fixed list of awkward and known ones, a content byte.
// The first entry to claim a name keeps it.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "expected_names.h"
#include "patch/patch_main.h"
#include "platform/posix/lookup.h"
#include "platform/posix/platform_calls.h"
#include "temp_tree.h"

namespace {

const char* const NotInstalled = "Please install Kelvane game first";
const char* const NotNeeded = "Patch not needed.";
const char* const Patched = "Kelvane DVD successfully patched ";
const char* const StillMissing =
    "Some file are missing. Reinstall the game and then apply the patch";

// Holds the registry store, Games/ and Games/Demo/; the run's current directory is Games.
// Removed at exit.
std::unique_ptr<TempDir> Sandbox;
// The directory the process started in. libFuzzer opens seeds and writes findings by the paths it
// was given, so every input ends where it began.
int StartDir = -1;
std::vector<std::string> Messages;
// How many inputs still to report on stderr, in hexadecimal, for fuzz.sh's check that every seed
// ran.
long InputsToLog = 0;
// The marker input that fails on purpose when KELVANE_FUZZ_CONTROL is set: fuzz.sh's proof that a
// finding is kept.
bool ControlAsked = false;
const char ControlMarker[] = "kelvane fuzz control";

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

// The folder the value names, as the stand-in finds it from the current directory, if it can.
std::optional<std::filesystem::path> InstallFolder() {
  HostPath member;
  const std::string value(InstallDir, strnlen(InstallDir, sizeof InstallDir));
  if (!ToHostPath((value + "\\x").c_str(), &member)) {
    return std::nullopt;
  }
  return std::filesystem::path(member.dir);
}

// Whether the installation holds every archive of the tests' own list, in the tree read back
// after the run, letter case aside (a directory counts, as a search finds it). Only where that
// folder lies is asked of the stand-in.
bool IsComplete(const Tree& after, const std::filesystem::path& games,
                const std::optional<std::filesystem::path>& folder) {
  if (!folder) {
    return false;
  }
  const auto relative = folder->lexically_relative(games);
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

// Where the value puts the installation and the folder above it, as prefixes of the tree's paths
// ("" for Games itself), for the values whose meaning is plain. A parent outside the tree holds no
// archive.
struct Folders {
  // cppcheck-suppress unusedStructMember ; read through std::optional, which cppcheck misses
  std::string install;
  std::optional<std::string> parent;
};

// The message a run must end with, from the tests' own model of the repair, or none where the
// model cannot tell. The model: the check finds an archive by its name in any letter case; every
// archive or short name in the parent moves into the installation unless that name is taken
// there; every short name in the installation becomes its long name unless that is taken.
std::optional<std::string> ExpectedMessage(const Tree& before, const std::optional<Folders>& at) {
  if (!at) {
    return std::nullopt;
  }
  // Two entries of one folder that differ only in case have no Windows counterpart.
  std::map<std::string, std::set<std::string>> folders;  // folder prefix -> folded names
  for (const auto& [path, entry] : before) {
    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    if (!folders[dir].insert(Folded(path.substr(dir.size()))).second) {
      return std::nullopt;
    }
  }
  std::set<std::string>& install = folders[at->install];
  const auto complete = [&install] {
    return std::all_of(ExpectedArchives.begin(), ExpectedArchives.end(),
                       [&](const char* name) { return install.count(Folded(name)) == 1; });
  };
  if (complete()) {
    return NotNeeded;
  }
  if (at->parent && *at->parent != at->install) {
    for (const std::string& name : folders[*at->parent]) {
      const bool archive =
          std::any_of(ExpectedArchives.begin(), ExpectedArchives.end(),
                      [&](const char* known) { return Folded(known) == name; }) ||
          std::any_of(ExpectedRenames.begin(), ExpectedRenames.end(),
                      [&](const auto& pair) { return Folded(pair.first) == name; });
      if (archive) {
        install.insert(name);
      }
    }
  }
  for (const auto& [shortName, longName] : ExpectedRenames) {
    if (install.count(Folded(shortName)) == 1 && install.insert(Folded(longName)).second) {
      install.erase(Folded(shortName));
    }
  }
  return complete() ? Patched : StillMissing;
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

// One entry: bit 0 or 1 of `where` for the installation or the parent, `what` modulo 3 a file, a
// read-only file or a directory holding a file.
void Place(Tree* tree, const std::string& name, unsigned where, unsigned what,
           const std::string& content) {
  const char* const folders[] = {"", "Demo/"};
  for (unsigned i = 0; i < 2; ++i) {
    if ((where & (i == 0 ? 2U : 1U)) == 0) {
      continue;
    }
    const std::string path = folders[i] + name;
    const std::string text = content + (i == 0 ? " above" : " in");
    switch (what % 3) {
      case 0:
        (void)tree->emplace(path, File(text));
        break;
      case 1:
        (void)tree->emplace(path, File(text, true));
        break;
      default:
        if (tree->emplace(path, Dir()).second) {
          tree->emplace(path + "/inside", File(text));
        }
        break;
    }
  }
}

// tmpfs where there is one and the caller has not chosen: the run is mostly file system calls.
std::filesystem::path SandboxRoot() {
  struct statfs shm {};
  if (std::getenv("TMPDIR") == nullptr && statfs("/dev/shm", &shm) == 0 &&
      shm.f_type == TMPFS_MAGIC) {
    return "/dev/shm";
  }
  return std::filesystem::temp_directory_path();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  StartDir = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (StartDir < 0) {
    std::perror("open .");
    std::abort();
  }
  Sandbox = std::make_unique<TempDir>(SandboxRoot());
  (void)setenv("KELVANE_PATCH_REGISTRY", (Sandbox->path() / "registry").c_str(), 1);
  const char* log = std::getenv("KELVANE_FUZZ_LOG_INPUTS");
  InputsToLog = log != nullptr ? std::strtol(log, nullptr, 10) : 0;
  ControlAsked = std::getenv("KELVANE_FUZZ_CONTROL") != nullptr;
  // Built here, not in the first run: libFuzzer runs an input again when it leaves memory
  // allocated.
  (void)Names();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (InputsToLog > 0) {
    --InputsToLog;
    std::string hex;
    for (std::size_t i = 0; i < size; ++i) {
      hex += "0123456789abcdef"[data[i] >> 4U];
      hex += "0123456789abcdef"[data[i] & 15U];
    }
    (void)std::fprintf(stderr, "kelvane-fuzz: input %s\n", hex.c_str());
  }
  if (ControlAsked && size >= sizeof ControlMarker - 1 &&
      std::memcmp(data, ControlMarker, sizeof ControlMarker - 1) == 0) {
    (void)std::fputs("the control input, rejected as asked\n", stderr);
    std::abort();
  }
  if (size < 2) {
    return 0;
  }
  ClearDirectory(Sandbox->path());
  const std::filesystem::path games = Sandbox->path() / "Games";

  const unsigned mode = data[0] % 4;
  std::string value;
  switch (mode) {
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
  const std::string added = Confine(data + 2, extra, value.empty() || mode == 2);
  value += added;
  value.resize(std::min<std::size_t>(value.size(), 300));
  BuildTree(Sandbox->path() / "registry",
            {{"HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory/Directory", File(value)}});

  Tree tree = {{"Demo", Dir()}};
  std::size_t at = 2 + extra;
  const auto state = [&](std::size_t i) -> unsigned { return at + i < size ? data[at + i] : 0; };
  std::size_t known = 0;
  for (const char* name : ExpectedArchives) {
    Place(&tree, name, state(known) & 3U, state(known) >> 2U, "long " + std::to_string(known));
    ++known;
  }
  for (const auto& [shortName, longName] : ExpectedRenames) {
    Place(&tree, shortName, state(known) & 3U, state(known) >> 2U,
          "short " + std::to_string(known));
    ++known;
  }
  const std::vector<std::string>& names = Names();
  for (at += known; at + 3 <= size; at += 3) {
    Place(&tree, names[data[at + 1] % names.size()], (data[at] & 1U) != 0 ? 1U : 2U, data[at] >> 1U,
          "content " + std::to_string(data[at + 2]));
  }
  BuildTree(games, tree);

  std::optional<Folders> folders;
  const bool plain = added.empty() || added == "\\";
  if (plain && (mode == 0 || mode == 2)) {
    folders = Folders{"Demo/", added.empty() ? "" : "Demo/"};
  } else if (plain && mode == 1) {
    folders = Folders{"", added.empty() ? std::nullopt : std::optional<std::string>("")};
  }
  const std::optional<std::string> expected =
      mode == 3 && added.empty() ? NotInstalled : ExpectedMessage(tree, folders);

  std::memset(InstallDir, 0, sizeof InstallDir);
  ParentPrefix.clear();
  Messages.clear();
  PlatformCallTable = DefaultPlatformCalls;
  PlatformCallTable.MessageBoxA = RecordMessage;
  std::filesystem::current_path(games);
  char commandLine[] = "";
  const int status = WinMain(nullptr, nullptr, commandLine, 0);
  const std::optional<std::filesystem::path> installed = InstallFolder();
  if (fchdir(StartDir) != 0) {
    std::perror("fchdir");
    std::abort();
  }
  PlatformCallTable = DefaultPlatformCalls;

  if (status != 0 || Messages.size() != 1) {
    (void)std::fprintf(stderr, "WinMain returned %d after %zu messages\n", status, Messages.size());
    std::abort();
  }
  const Tree after = ReadTree(games);
  if (FileContents(after) != FileContents(tree)) {
    (void)std::fputs("a file was lost, duplicated or changed\n", stderr);
    std::abort();
  }
  const bool claimsComplete = Messages[0] == Patched || Messages[0] == NotNeeded;
  if (claimsComplete && !IsComplete(after, games, installed)) {
    (void)std::fputs("success claimed for an incomplete installation\n", stderr);
    std::abort();
  }
  if (expected && Messages[0] != *expected) {
    (void)std::fprintf(stderr, "the run said \"%s\" where \"%s\" was due\n", Messages[0].c_str(),
                       expected->c_str());
    std::abort();
  }
  return 0;
}
