// libFuzzer target: a registry value and a small installation, both taken from the input, run
// through WinMain against the stand-in on real files. Whatever the input, the run must show exactly
// one message, return 0, close every search it opened, and leave no folder holding two names that
// differ only in letter case unless the input put them there. Where the tests' own model of the
// repair can tell, the message and the whole tree after the run (where each entry lies, its name,
// kind, content and read-only flag) must be the model's. Elsewhere every file's content must still
// be there exactly once, and success may be claimed only for a complete installation. ASan and
// UBSan watch every byte read.
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
//
// KELVANE_FUZZ_CONTROL makes a run fail on purpose, to show that each check can: "marker" rejects
// an input that starts with the marker; "attributes", "search" and "case" plant a fault in the
// stand-in (attribute changes that change nothing, searches never closed, moves that make a name
// beside its twin in another case) that the seeds must bring out.
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
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
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
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
// Removed at a normal exit; a finding aborts and leaves it, for fuzz.sh's cleanup to remove.
std::unique_ptr<TempDir> Sandbox;
// The directory the process started in. libFuzzer opens seeds and writes findings by the paths it
// was given, so every input ends where it began.
int StartDir = -1;
std::vector<std::string> Messages;
// How many inputs still to report on stderr, in hexadecimal, for fuzz.sh's check that every seed
// ran.
long InputsToLog = 0;

enum class Control { None, Marker, Attributes, Search, Case };
Control Asked = Control::None;
const char ControlMarker[] = "kelvane fuzz control";

// How many inputs got each verdict ("" for none), reported at exit under these labels.
std::map<std::string, unsigned long> Verdicts;
const std::pair<const char*, const char*> VerdictLabels[] = {
    {StillMissing, "missing"},       {Patched, "patched"},      {NotNeeded, "not needed"},
    {NotInstalled, "not installed"}, {"", "none (not judged)"},
};

int RecordMessage(HWND /*owner*/, LPCSTR text, LPCSTR /*caption*/, UINT /*style*/) {
  Messages.emplace_back(text != nullptr ? text : "(null)");
  return IDOK;
}

// The planted faults of the controls.
BOOL ChangeNothing(LPCSTR /*path*/, DWORD /*attributes*/) {
  return TRUE;
}

BOOL CloseNothing(HANDLE /*search*/) {
  return TRUE;
}

// Where the target is taken in another letter case, makes the name beside it.
BOOL MoveBesideTwin(LPCSTR from, LPCSTR to) {
  HostPath source;
  HostPath target;
  std::string actual;
  std::string taken;
  struct stat info {};
  if (ToHostPath(from, &source) && LookUpEntry(source, &actual, &info) == Lookup::Found &&
      ToHostPath(to, &target, false) && LookUpEntry(target, &taken, &info) == Lookup::Found &&
      taken != target.name) {
    return std::rename(Join(source.dir, actual).c_str(), Join(target.dir, target.name).c_str()) == 0
               ? TRUE
               : FALSE;
  }
  return DefaultPlatformCalls.MoveFileA(from, to);
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

// The model's own folding, not the stand-in's. ASCII is enough: the one name beyond it, with an
// é, has no twin in another case among the names an input can hold.
char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Letter case aside, as a Windows name lookup compares.
bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(),
                                            [](char x, char y) { return Lower(x) == Lower(y); });
}

std::string Folded(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(), Lower);
  return text;
}

// A tree path's folder ("" or ending in '/') and its last component.
std::string_view FolderOf(std::string_view path) {
  const auto slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string_view() : path.substr(0, slash + 1);
}

std::string_view NameOf(std::string_view path) {
  return path.substr(FolderOf(path).size());
}

// Each folder's entries, by folded name: more than one path under a key is a pair of case twins.
std::map<std::pair<std::string, std::string>, std::vector<std::string>> ByFoldedName(
    const Tree& tree) {
  std::map<std::pair<std::string, std::string>, std::vector<std::string>> names;
  for (const auto& [path, entry] : tree) {
    names[{std::string(FolderOf(path)), Folded(std::string(NameOf(path)))}].push_back(path);
  }
  return names;
}

// A pair of names that differ only in letter case, in one folder after the run, that the input
// did not put there, or "".
std::string NewCaseTwins(const Tree& before, const Tree& after) {
  for (const auto& [key, paths] : ByFoldedName(after)) {
    if (paths.size() > 1 && std::any_of(paths.begin(), paths.end(), [&](const std::string& path) {
          return before.count(path) == 0;
        })) {
      return paths[0] + " and " + paths[1];
    }
  }
  return {};
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
// archive; an installation that is no folder holds nothing, and nothing can move into it.
struct Folders {
  // cppcheck-suppress unusedStructMember ; read through std::optional, which cppcheck misses
  std::optional<std::string> install;
  std::optional<std::string> parent;
};

// Bytes that no rule of a Win32 path acts on: no separator, no dot or space (dropped at a
// component's end), no wildcard. A byte no file name may hold names nothing, as none here holds it.
bool OrdinaryName(const std::string& bytes) {
  return !bytes.empty() && std::none_of(bytes.begin(), bytes.end(), [](char c) {
    return std::strchr("\\/:. *?", c) != nullptr;
  });
}

// The folder that a path of ordinary names from the sandbox names, as a prefix of the tree's
// paths: Games, or Games/Demo, letter case aside. Every other name has a dot, or lies under one.
std::optional<std::string> Resolve(const std::vector<std::string>& components) {
  if (components.empty() || Folded(components[0]) != "games" || components.size() > 2) {
    return std::nullopt;
  }
  if (components.size() == 1) {
    return "";
  }
  return Folded(components[1]) == "demo" ? std::optional<std::string>("Demo/") : std::nullopt;
}

// The folders of a value that starts as `mode` says and ends with `added`, whose text is what
// stands before its first zero, where every component of it is an ordinary name (a run of
// backslashes separates as one).
std::optional<Folders> FoldersOf(unsigned mode, std::string added) {
  added.resize(std::min(added.find('\0'), added.size()));
  // From the sandbox: the relative values are relative to Games, the current directory.
  const std::string text = (mode == 1 ? "Games" : mode == 3 ? "Games\\" : "Games\\Demo") + added;
  std::vector<std::string> components;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = std::min(text.find('\\', start), text.size());
    if (end > start) {
      components.push_back(text.substr(start, end - start));
    }
    start = end + 1;
  }
  if (!std::all_of(components.begin(), components.end(), OrdinaryName)) {
    return std::nullopt;
  }
  // The parent is cut after the last backslash; with none, in the sandbox, it holds no archive.
  const std::vector<std::string> above(components.begin(),
                                       components.end() - (text.back() == '\\' ? 0 : 1));
  return Folders{Resolve(components), above.empty() ? std::nullopt : Resolve(above)};
}

// The tests' own model of a run, from the rules the program is held to rather than from its code.
// Paths are looked up as Windows looks them up, by name with letter case aside; the inputs it
// judges hold no case twins, and runs are checked to make none, so a lookup finds one entry.
// Past MAX_PATH (260 bytes) a path reaches nothing through an ANSI call. MoveFileA's new path has
// no such bound on Wine, and Windows may differ: a move that needs that is not judged.
class Model {
 public:
  Model(Tree tree, std::size_t install, std::size_t parent)
      : tree_(std::move(tree)), install_(install), parent_(parent) {}
  bool Judged() const { return judged_; }
  bool In(std::string_view name) const { return install_ + 1 + name.size() <= 260; }
  Tree&& Result() { return std::move(tree_); }

  std::optional<std::string> Find(const std::string& folder, std::string_view name) const {
    std::optional<std::string> found;
    ForEachEntry(folder, [&](std::string_view entry) {
      if (SameName(entry, name)) {
        found = folder + std::string(entry);
      }
      return !found;
    });
    return found;
  }

  bool Complete(const std::optional<std::string>& install) const {
    return install &&
           std::all_of(ExpectedArchives.begin(), ExpectedArchives.end(),
                       [&](const char* name) { return In(name) && Find(*install, name); });
  }

  // A search for "*<extension>" in the parent lists its entries whose names end so, letter case
  // aside, in byte order, when it starts. Each is made writable, then whatever the installation
  // holds under its name, letter case aside; then it moves in under its own name, unless that name
  // is taken there (a move never replaces, and a move onto itself changes nothing). A name that
  // begins with a dot, or that ends in a dot or a space, is left alone.
  void Relocate(const std::string& parent, const std::optional<std::string>& install,
                std::string_view extension) {
    std::vector<std::string> listed;
    ForEachEntry(parent, [&](std::string_view name) {
      if (parent_ + 1 + extension.size() <= 260 && name.size() >= extension.size() &&
          SameName(name.substr(name.size() - extension.size()), extension)) {
        listed.emplace_back(name);
      }
      return true;
    });
    for (const std::string& name : listed) {
      if (name[0] == '.' || name.back() == '.' || name.back() == ' ') {
        continue;
      }
      const bool from = parent_ + name.size() <= 260;
      tree_[parent + name].readOnly = tree_[parent + name].readOnly && !from;
      if (!install) {
        continue;
      }
      const std::optional<std::string> taken = Find(*install, name);
      if (taken) {
        tree_[*taken].readOnly = tree_[*taken].readOnly && !In(name);
      } else if (from) {
        judged_ = judged_ && In(name);
        Move(parent + name, *install + name);
      }
    }
  }

  // The long name's entry, if any, is made writable; the short one is renamed to the long name as
  // the table spells it, keeping its flag, unless the long name is taken.
  void Rename(const std::optional<std::string>& install, const char* shortName,
              const char* longName) {
    if (!install) {
      return;
    }
    const std::optional<std::string> taken = Find(*install, longName);
    if (taken) {
      tree_[*taken].readOnly = tree_[*taken].readOnly && !In(longName);
      return;
    }
    const std::optional<std::string> found = Find(*install, shortName);
    if (found && In(shortName)) {
      judged_ = judged_ && In(longName);
      Move(*found, *install + longName);
    }
  }

 private:
  // Hands each name directly in the folder to `visit`, in byte order, while it returns true.
  template <typename Visit>
  void ForEachEntry(const std::string& folder, Visit visit) const {
    for (auto it = tree_.lower_bound(folder);
         it != tree_.end() && it->first.compare(0, folder.size(), folder) == 0; ++it) {
      if (FolderOf(it->first).size() == folder.size() && !visit(NameOf(it->first))) {
        return;
      }
    }
  }

  // The entry and everything under it.
  void Move(const std::string& from, const std::string& to) {
    std::vector<std::pair<std::string, TreeEntry>> moving;
    for (auto it = tree_.lower_bound(from);
         it != tree_.end() && it->first.compare(0, from.size(), from) == 0;) {
      if (it->first.size() == from.size() || it->first[from.size()] == '/') {
        moving.emplace_back(to + it->first.substr(from.size()), it->second);
        it = tree_.erase(it);
      } else {
        ++it;
      }
    }
    tree_.insert(moving.begin(), moving.end());
  }

  Tree tree_;
  std::size_t install_, parent_;
  bool judged_ = true;
};

struct Outcome {
  // cppcheck-suppress unusedStructMember ; read through std::optional, which cppcheck misses
  std::string message;
  Tree tree;
};

// What a run must end with: its message and the tree it leaves, or nothing where the model cannot
// tell. "Patch not needed." leaves every entry and flag as it was.
std::optional<Outcome> ExpectedOutcome(const Tree& before, const std::optional<Folders>& at,
                                       const std::string& text) {
  if (!at) {
    return std::nullopt;
  }
  // Two entries of one folder that differ only in case have no Windows counterpart.
  for (const auto& [key, paths] : ByFoldedName(before)) {
    if (paths.size() > 1) {
      return std::nullopt;
    }
  }
  Model model(before, text.size(), text.rfind('\\') + 1);
  if (model.Complete(at->install)) {
    return Outcome{NotNeeded, model.Result()};
  }
  if (at->parent) {
    model.Relocate(*at->parent, at->install, ".pak");
    model.Relocate(*at->parent, at->install, ".exe");
  }
  for (const auto& [shortName, longName] : ExpectedRenames) {
    model.Rename(at->install, shortName, longName);
  }
  const char* const message = model.Complete(at->install) ? Patched : StillMissing;
  return model.Judged() ? std::optional(Outcome{message, model.Result()}) : std::nullopt;
}

// Where the run's tree and the model's part, a few paths of it.
std::string TreeDifference(const Tree& expected, const Tree& actual) {
  std::set<std::string> paths;
  for (const Tree* tree : {&expected, &actual}) {
    for (const auto& [path, entry] : *tree) {
      paths.insert(path);
    }
  }
  const auto describe = [](const Tree& tree, const std::string& path) {
    const auto found = tree.find(path);
    if (found == tree.end()) {
      return std::string("nothing");
    }
    std::ostringstream text;
    PrintTo(found->second, &text);
    return text.str();
  };
  std::string text;
  int shown = 0;
  for (const std::string& path : paths) {
    const std::string want = describe(expected, path);
    const std::string got = describe(actual, path);
    if (want != got && shown++ < 5) {
      text.append("  ").append(path).append(": expected ").append(want);
      text.append(", found ").append(got).append("\n");
    }
  }
  return text;
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
// value of its own bytes alone never starts at the root. Backslashes, high bytes and zeros stay.
std::string Confine(const std::uint8_t* data, std::size_t size, bool alone) {
  std::string bytes;
  for (std::size_t i = 0; i < size; ++i) {
    char c = static_cast<char>(data[i]);
    const bool secondDot = c == '.' && !bytes.empty() && bytes.back() == '.';
    if (c == ':' || c == '/' || secondDot) {
      c = '_';
    }
    bytes += c;
  }
  if (alone && !bytes.empty() && bytes[0] == '\\') {
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

void ReportVerdicts() {
  unsigned long runs = 0;
  for (const auto& [verdict, count] : Verdicts) {
    runs += count;
  }
  if (runs == 0) {
    return;
  }
  const auto share = [&](const std::string& verdict) {
    return 100.0 * static_cast<double>(Verdicts.at(verdict)) / static_cast<double>(runs);
  };
  (void)std::fprintf(stderr, "kelvane-fuzz: %lu runs, %.1f%% judged; verdicts:", runs,
                     100.0 - share(""));
  for (const auto& [verdict, label] : VerdictLabels) {
    (void)std::fprintf(stderr, " %s %.1f%%%s", label, share(verdict),
                       *verdict == '\0' ? "\n" : ",");
  }
}

void Fail(const std::string& why) {
  (void)std::fprintf(stderr, "kelvane-fuzz: %s\n", why.c_str());
  std::abort();
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
  const char* control = std::getenv("KELVANE_FUZZ_CONTROL");
  if (control != nullptr) {
    const std::map<std::string, Control> controls = {{"marker", Control::Marker},
                                                     {"attributes", Control::Attributes},
                                                     {"search", Control::Search},
                                                     {"case", Control::Case}};
    const auto found = controls.find(control);
    if (found == controls.end()) {
      (void)std::fprintf(stderr, "KELVANE_FUZZ_CONTROL: no control named %s\n", control);
      std::exit(2);
    }
    Asked = found->second;
  }
  // Built here, not in the first run: libFuzzer runs an input again when it leaves memory
  // allocated.
  (void)Names();
  for (const auto& [verdict, label] : VerdictLabels) {
    Verdicts[verdict] = 0;
  }
  (void)std::atexit(ReportVerdicts);
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
  if (Asked == Control::Marker && size >= sizeof ControlMarker - 1 &&
      std::memcmp(data, ControlMarker, sizeof ControlMarker - 1) == 0) {
    Fail("the control input, rejected as asked");
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
  const std::string added = Confine(data + 2, extra, value.empty());
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

  // A value over the registry read's buffer of 256 bytes cannot be read, and one whose text is
  // empty names no installation.
  const bool noInstallation =
      value.size() > 256 || (mode == 3 && (added.empty() || added[0] == '\0'));
  const std::optional<Outcome> expected =
      noInstallation
          ? Outcome{NotInstalled, tree}
          : ExpectedOutcome(tree, FoldersOf(mode, added), value.substr(0, value.find('\0')));
  ++Verdicts[expected ? expected->message : ""];

  std::memset(InstallDir, 0, sizeof InstallDir);
  ParentPrefix.clear();
  Messages.clear();
  PlatformCallTable = DefaultPlatformCalls;
  PlatformCallTable.MessageBoxA = RecordMessage;
  if (Asked == Control::Attributes) {
    PlatformCallTable.SetFileAttributesA = ChangeNothing;
  } else if (Asked == Control::Search) {
    PlatformCallTable.FindClose = CloseNothing;
  } else if (Asked == Control::Case) {
    PlatformCallTable.MoveFileA = MoveBesideTwin;
  }
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
    Fail("WinMain returned " + std::to_string(status) + " after " +
         std::to_string(Messages.size()) + " messages");
  }
  if (OpenSearchCount() != 0) {
    Fail(std::to_string(OpenSearchCount()) + " search handles still open after WinMain");
  }
  const Tree after = ReadTree(games);
  const std::string twins = NewCaseTwins(tree, after);
  if (!twins.empty()) {
    Fail("the run left names that differ only in letter case in one folder: " + twins);
  }
  if (expected) {
    if (Messages[0] != expected->message) {
      Fail("the run said \"" + Messages[0] + "\" where \"" + expected->message + "\" was due");
    }
    if (after != expected->tree) {
      Fail("the tree after the run is not the model's:\n" + TreeDifference(expected->tree, after));
    }
    return 0;
  }
  if (FileContents(after) != FileContents(tree)) {
    Fail("a file was lost, duplicated or changed");
  }
  const bool claimsComplete = Messages[0] == Patched || Messages[0] == NotNeeded;
  if (claimsComplete && !IsComplete(after, games, installed)) {
    Fail("success claimed for an incomplete installation");
  }
  return 0;
}
