// The stand-in's contract for the nine Windows calls, case by case, on real directories.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "platform/platform_ops.h"
#include "platform/posix/internal.h"
#include "platform/posix/path_rules.h"
#include "platform/posix/platform_calls.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

class StandIn : public ::testing::Test {
 protected:
  void SetUp() override {
    startDir_ = fs::current_path();
    fs::current_path(tmp_.path());
  }
  void TearDown() override { fs::current_path(startDir_); }

  fs::path Dir() const { return tmp_.path(); }
  std::string Win(const std::string& relative) const {
    return WindowsPath(Dir()) + (relative.empty() ? "" : "\\" + relative);
  }
  void Layout(const Tree& tree) const {
    ClearDirectory(Dir());
    BuildTree(Dir(), tree);
  }

  // Every match of a search, in the order handed out; the handle closed.
  static std::vector<std::string> Search(const std::string& pattern,
                                         std::vector<DWORD>* attributes = nullptr) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    const HANDLE handle = FindFirstFileA(pattern.c_str(), &found);
    if (handle == INVALID_HANDLE_VALUE) {
      return names;
    }
    do {
      names.emplace_back(found.cFileName);
      if (attributes != nullptr) {
        attributes->push_back(found.dwFileAttributes);
      }
    } while (FindNextFileA(handle, &found) != FALSE);
    EXPECT_EQ(FindClose(handle), TRUE);
    EXPECT_EQ(FindClose(handle), FALSE) << "a handle closes once";
    return names;
  }

 private:
  TempDir tmp_;
  fs::path startDir_;
};

using Names = std::vector<std::string>;

// Win32's rules for a path's text, as Wine 8 resolves them (a probe of GetFullPathNameA and
// FindFirstFileA) and Microsoft's "File path formats on Windows systems" describes them. "-": the
// path names nothing.
TEST(PathRules, TextNamesWhatWin32Names) {
  const std::string cwd = "/work/here";
  const std::string longName(MAX_PATH - 3, 'x');  // "Z:\" and it: MAX_PATH bytes
  const struct {
    std::string path;
    std::string named;
  } cases[] = {
      {"Z:\\Games\\Demo\\a.pak", "/Games/Demo/a.pak"},
      {"c:\\Games\\Demo\\A.PAK", "/Games/Demo/A.PAK"},  // any drive; case is the lookup's
      {"Z:\\\\Games\\\\Demo\\\\a.pak", "/Games/Demo/a.pak"},
      {"Z:\\Games/Demo/a.pak", "/Games/Demo/a.pak"},
      {"\\Games\\a.pak", "/Games/a.pak"},
      {"Games\\a.pak", "/work/here/Games/a.pak"},
      {"Z:Games\\a.pak", "/work/here/Games/a.pak"},
      {"..\\..\\..\\a.pak", "/a.pak"},
      {"Z:\\Games\\Demo\\", "-"},
      {"Z:\\Games.\\Demo.\\a.pak", "/Games/Demo/a.pak"},  // one trailing dot of a folder
      {"Z:\\Games..\\a.pak", "/Games./a.pak"},            // only one
      {"Z:\\Games \\a.pak", "/Games /a.pak"},             // a folder keeps its spaces
      {"Z:\\Games\\a.pak . .", "/Games/a.pak"},           // the last name does not
      {"Z:\\Games\\Nowhere\\..\\a.pak", "/Games/a.pak"},  // ".." by text
      {"Z:\\Games\\notes.txt\\..\\.\\a.pak", "/Games/a.pak"},
      {"Z:\\..\\..\\Games\\a.pak", "/Games/a.pak"},
      {"\\\\?\\Z:\\games\\Demo.\\a.pak ", "/games/Demo./a.pak "},  // taken literally
      {"\\\\?\\Z:\\Games\\Nowhere\\..\\a.pak", "-"},
      {"\\\\?\\Z:\\Games\\.\\a.pak", "-"},
      {"\\\\?\\Z:\\Games\\\\a.pak", "-"},
      {"\\\\?\\Z:\\a/b", "-"},
      {"\\\\?\\Games\\a.pak", "-"},
      {"\\\\server\\share\\a.pak", "-"},  // UNC: no network here
      {"", "-"},
      {"Z:\\" + longName, "/" + longName},
      {"Z:\\" + longName + "x", "-"},  // past MAX_PATH
  };
  for (const auto& c : cases) {
    std::vector<std::string> components;
    std::string named = "-";
    if (ParseWindowsPath(c.path, cwd, true, &components)) {
      named.clear();
      for (const std::string& component : components) {
        named += "/" + component;
      }
    }
    EXPECT_EQ(named, c.named) << c.path;
  }
  std::vector<std::string> components;
  EXPECT_TRUE(ParseWindowsPath("Z:\\" + longName + "x", cwd, false, &components));
  EXPECT_FALSE(ParseWindowsPath("a.pak", "", true, &components)) << "no current directory";
}

// Every component is found with letter case folded, the exact name first, else the first match
// in byte order.
TEST_F(StandIn, PathsFindEntriesInAnyLetterCase) {
  Layout({{"Games/Demo/a.pak", File("a")},
          {"Games/Mixed.PAK", File("m")},
          {"Games/b.PAK", File("B")},
          {"Games/b.pak", File("b")},
          {"Games/b.Pak", File("c")}});
  EXPECT_EQ(Search(Win("games\\DEMO\\A.PAK")), Names{"a.pak"});
  EXPECT_EQ(Search(Win("GAMES\\mixed.pak")), Names{"Mixed.PAK"});
  EXPECT_EQ(Search(Win("Games\\b.pak")), Names{"b.pak"});
  EXPECT_EQ(Search(Win("Games\\B.pak")), Names{"b.PAK"});
  EXPECT_EQ(Search(Win("Games\\Demo\\b.pak")), Names{});
  EXPECT_EQ(Search("a.pak"), Names{});
  EXPECT_EQ(Search("Games\\Demo\\a.pak"), Names{"a.pak"});  // from the current directory
}

// Every drive's root in a folder of the test's own, as in a Wine prefix whose Z: leads there: ".."
// stops at it, the current directory is seen from it, and one outside it names nothing.
TEST_F(StandIn, DrivesMayShareARootOtherThanTheMachines) {
  Layout({{"Games/Demo/a.pak", File("a")}, {"Demo/a.pak", File("outside")}});
  const Names found{"a.pak"};
  EXPECT_EQ(setenv("KELVANE_PATCH_DRIVE_ROOT", (Dir() / "Games").c_str(), 1), 0);
  fs::current_path(Dir() / "Games" / "Demo");
  EXPECT_EQ(Search("Z:\\Demo\\a.pak"), found);
  EXPECT_EQ(Search("..\\..\\..\\Demo\\a.pak"), found);
  EXPECT_EQ(Search("a.pak"), found);
  EXPECT_EQ(Search(Win("Games\\Demo\\a.pak")), Names{});  // the machine's own path
  fs::current_path(Dir());
  EXPECT_EQ(Search("Demo\\a.pak"), Names{});
  EXPECT_EQ(unsetenv("KELVANE_PATCH_DRIVE_ROOT"), 0);
}

TEST_F(StandIn, WildcardsMatchCaseInsensitivelyAndReportAttributes) {
  Layout({{"a.pak", File("")},
          {"B.PAK", File("", true)},
          {".pak", File("")},
          {"dir.pak", ::Dir()},
          {"link.pak", Link("/etc/passwd")},
          {"x.pakx", File("")},
          {"a.pa", File("")},
          {"back\\slash.pak", File("")},
          {"co:lon.pak", File("")},
          {"game.exe", File("")}});
  const struct {
    const char* pattern;
    Names expected;
  } cases[] = {
      {"*.pak", {".pak", "B.PAK", "a.pak", "dir.pak", "link.pak"}},
      {"*.PAK", {".pak", "B.PAK", "a.pak", "dir.pak", "link.pak"}},
      {"?.pak", {"B.PAK", "a.pak"}},
      {"*", {".pak", "B.PAK", "a.pa", "a.pak", "dir.pak", "game.exe", "link.pak", "x.pakx"}},
      {"*.exe", {"game.exe"}},
      {"*.e", {}},
      {"a*k", {"a.pak"}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Search(Win(c.pattern)), c.expected) << c.pattern;
  }
  std::vector<DWORD> attributes;
  Search(Win("*.pak"), &attributes);
  EXPECT_EQ(attributes, (std::vector<DWORD>{FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_READONLY,
                                            FILE_ATTRIBUTE_NORMAL, FILE_ATTRIBUTE_DIRECTORY,
                                            FILE_ATTRIBUTE_REPARSE_POINT}));
}

TEST_F(StandIn, SearchHandsOutWhatItListedOnceWhileItsEntriesAreRenamed) {
  Tree tree = {{"in", ::Dir()}};
  Names all;
  for (char c = 'a'; c <= 'z'; ++c) {
    all.push_back(std::string(1, c) + ".pak");
    tree[all.back()] = File(all.back());
  }
  Layout(tree);
  Names seen;
  WIN32_FIND_DATAA found;
  const HANDLE handle = FindFirstFileA(Win("*.pak").c_str(), &found);
  ASSERT_NE(handle, INVALID_HANDLE_VALUE);
  do {
    seen.emplace_back(found.cFileName);
    ASSERT_EQ(MoveFileA(Win(found.cFileName).c_str(), Win("in\\" + seen.back()).c_str()), TRUE);
    ASSERT_EQ(MoveFileA(Win("in\\" + seen.back()).c_str(), Win("Z" + seen.back()).c_str()), TRUE);
  } while (FindNextFileA(handle, &found) != FALSE);
  EXPECT_EQ(FindClose(handle), TRUE);
  EXPECT_EQ(seen, all);  // a renamed entry that matches again is not handed out twice
  EXPECT_EQ(FindNextFileA(handle, &found), FALSE);
}

TEST_F(StandIn, SetFileAttributesClearsReadOnlyForTheOwnerAlone) {
  Layout({{"ro", File("x", true)}, {"rw", File("x")}, {"dir", ::Dir()}});
  const struct {
    const char* name;
    mode_t before;
    mode_t after;
  } cases[] = {{"ro", 0444, 0644}, {"RO", 0400, 0600}, {"rw", 0640, 0640}, {"dir", 0555, 0755}};
  for (const auto& c : cases) {
    const fs::path path = Dir() / fs::path(c.name == std::string("RO") ? "ro" : c.name);
    ASSERT_EQ(chmod(path.c_str(), c.before), 0);
    EXPECT_EQ(SetFileAttributesA(Win(c.name).c_str(), FILE_ATTRIBUTE_NORMAL), TRUE) << c.name;
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777U, c.after) << c.name;
  }
  EXPECT_EQ(SetFileAttributesA(Win("missing").c_str(), FILE_ATTRIBUTE_NORMAL), FALSE);
  EXPECT_EQ(SetFileAttributesA((Win("") + "\\").c_str(), FILE_ATTRIBUTE_NORMAL), FALSE);
}

TEST_F(StandIn, SetFileAttributesNeverFollowsALink) {
  Layout({{"protected", File("secret", true)}, {"evil.pak", Link("protected")}});
  ASSERT_EQ(chmod((Dir() / "protected").c_str(), 0400), 0);
  EXPECT_EQ(SetFileAttributesA(Win("evil.pak").c_str(), FILE_ATTRIBUTE_NORMAL), TRUE);
  struct stat info {};
  ASSERT_EQ(stat((Dir() / "protected").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777U, 0400U);
  EXPECT_EQ(fs::read_symlink(Dir() / "evil.pak"), "protected");
}

TEST_F(StandIn, MoveFileNeverReplaces) {
  const Tree start = {{"a.pak", File("a", true)}, {"b.pak", File("b")}, {"sub", ::Dir()},
                      {"sub/B.PAK", File("B")},   {"d.pak", ::Dir()},   {"d.pak/inner", File("i")},
                      {"hard.pak", File("h")}};
  const struct {
    const char* what;
    std::string from;
    std::string to;
    BOOL ok;
    std::vector<std::pair<std::string, std::string>> moved;  // old path, new path
  } cases[] = {
      {"into a directory", Win("a.pak"), Win("sub\\a.pak"), TRUE, {{"a.pak", "sub/a.pak"}}},
      {"found by case", Win("A.PAK"), Win("sub\\a.pak"), TRUE, {{"a.pak", "sub/a.pak"}}},
      {"a directory",
       Win("d.pak"),
       Win("sub\\d.pak"),
       TRUE,
       {{"d.pak", "sub/d.pak"}, {"d.pak/inner", "sub/d.pak/inner"}}},
      {"onto a file", Win("a.pak"), Win("b.pak"), FALSE, {}},
      {"onto a file in another case", Win("b.pak"), Win("sub\\b.pak"), FALSE, {}},
      {"onto itself", Win("b.pak"), Win("\\b.pak"), TRUE, {}},
      {"onto itself in another case", Win("b.pak"), Win("B.pak"), TRUE, {}},
      {"onto a hard link of itself", Win("hard.pak"), Win("sub\\hard.pak"), FALSE, {}},
      {"from nowhere", Win("c.pak"), Win("sub\\c.pak"), FALSE, {}},
      {"into nowhere", Win("a.pak"), Win("none\\a.pak"), FALSE, {}},
      {"into itself", Win("sub"), Win("sub\\sub"), FALSE, {}},
      {"to an empty name", Win("a.pak"), Win("sub\\"), FALSE, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Layout(start);
    ASSERT_EQ(link((Dir() / "hard.pak").c_str(), (Dir() / "sub/hard.pak").c_str()), 0);
    Tree expected = ReadTree(Dir());
    for (const auto& [from, to] : c.moved) {
      expected[to] = expected[from];
      expected.erase(from);
    }
    EXPECT_EQ(MoveFileA(c.from.c_str(), c.to.c_str()), c.ok);
    EXPECT_EQ(ReadTree(Dir()), expected);
  }
}

// As measured under Wine: MoveFileA takes a new path longer than MAX_PATH, while every other path
// of the ANSI calls, its existing path included, stops at MAX_PATH.
TEST_F(StandIn, OnlyTheNewPathOfAMoveMayExceedMaxPath) {
  const std::string deep(MAX_PATH - Win("").size() - 4, 'd');  // Win(deep\a.pak) is 263 long
  Layout({{"a.pak", File("a", true)}, {deep, ::Dir()}});
  const std::string longPath = Win(deep + "\\a.pak");
  ASSERT_GT(longPath.size(), MAX_PATH);
  EXPECT_EQ(MoveFileA(Win("a.pak").c_str(), longPath.c_str()), TRUE);
  EXPECT_EQ(SetFileAttributesA(longPath.c_str(), FILE_ATTRIBUTE_NORMAL), FALSE);
  EXPECT_EQ(Search(longPath), Names{});
  EXPECT_EQ(MoveFileA(longPath.c_str(), Win("a.pak").c_str()), FALSE);
  EXPECT_EQ(ReadTree(Dir()), (Tree{{deep, ::Dir()}, {deep + "/a.pak", File("a", true)}}));
}

// With no file descriptor to spare the new path's directory cannot be listed, so a name in another
// case cannot be ruled out: the move must not happen, though the rename itself would succeed.
TEST_F(StandIn, MoveFileRefusesWhenItCannotRuleOutTheNewName) {
  Layout({{"a.pak", File("a")}, {"sub/A.PAK", File("A")}});
  const Tree before = ReadTree(Dir());
  const int lowestFree = dup(0);
  ASSERT_GE(lowestFree, 0);
  close(lowestFree);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit exhausted = saved;
  exhausted.rlim_cur = static_cast<rlim_t>(lowestFree);
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &exhausted), 0);
  const BOOL moved = MoveFileA(Win("a.pak").c_str(), Win("sub\\a.pak").c_str());
  ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_EQ(moved, FALSE);
  EXPECT_EQ(ReadTree(Dir()), before);
}

// A directory on another file system than the test's own, removed afterwards; empty when there is
// none to be had.
class OtherFileSystem {
 public:
  explicit OtherFileSystem(const fs::path& here) {
    struct statfs ours {};
    struct statfs shm {};
    if (statfs(here.c_str(), &ours) == 0 && statfs("/dev/shm", &shm) == 0 &&
        std::memcmp(&ours.f_fsid, &shm.f_fsid, sizeof ours.f_fsid) != 0) {
      char pattern[] = "/dev/shm/kelvane-test-XXXXXX";
      if (mkdtemp(pattern) != nullptr) {
        path_ = pattern;
      }
    }
  }
  ~OtherFileSystem() {
    if (!path_.empty()) {
      ClearDirectory(path_);
      fs::remove(path_);
    }
  }
  OtherFileSystem(const OtherFileSystem&) = delete;
  OtherFileSystem& operator=(const OtherFileSystem&) = delete;
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

bool (*CrossDeviceStepHook)(CrossDeviceStep step) = nullptr;

}  // namespace

// Replaces the program's own, which lets every step go ahead.
bool CrossDeviceStepProceeds(CrossDeviceStep step) {
  return CrossDeviceStepHook == nullptr || CrossDeviceStepHook(step);
}

namespace {

CrossDeviceStep StepToStop;
bool FailAtStep(CrossDeviceStep step) {
  return step != StepToStop;
}
bool ExitAtStep(CrossDeviceStep step) {
  if (step == StepToStop) {
    _exit(0);
  }
  return true;
}

const CrossDeviceStep AllSteps[] = {CrossDeviceStep::Copy, CrossDeviceStep::Flush,
                                    CrossDeviceStep::Place, CrossDeviceStep::RemoveSource};

TEST_F(StandIn, MoveFileAcrossFileSystemsCopiesAFileAndMovesNothingElse) {
  const OtherFileSystem other(Dir());
  if (other.path().empty()) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  const std::string there = WindowsPath(other.path());
  Layout({{"a.pak", File("archive", true)},
          {"d.pak", ::Dir()},
          {"d.pak/in", File("i")},
          {"l.pak", Link("a.pak")},
          {"b.pak", File("b")}});
  BuildTree(other.path(), {{"b.pak", File("theirs")}});
  const auto mtime = fs::last_write_time(Dir() / "a.pak");

  EXPECT_EQ(MoveFileA(Win("a.pak").c_str(), (there + "\\a.pak").c_str()), TRUE);
  EXPECT_EQ(MoveFileA(Win("d.pak").c_str(), (there + "\\d.pak").c_str()), FALSE);
  EXPECT_EQ(MoveFileA(Win("l.pak").c_str(), (there + "\\l.pak").c_str()), FALSE);
  EXPECT_EQ(MoveFileA(Win("b.pak").c_str(), (there + "\\B.PAK").c_str()), FALSE);
  EXPECT_EQ(ReadTree(Dir()), (Tree{{"d.pak", ::Dir()},
                                   {"d.pak/in", File("i")},
                                   {"l.pak", Link("a.pak")},
                                   {"b.pak", File("b")}}));
  EXPECT_EQ(ReadTree(other.path()),
            (Tree{{"a.pak", File("archive", true)}, {"b.pak", File("theirs")}}));
  EXPECT_EQ(fs::last_write_time(other.path() / "a.pak"), mtime);
}

TEST_F(StandIn, MoveAcrossFileSystemsFailingAtAnyStepLeavesTheSourceAlone) {
  const OtherFileSystem other(Dir());
  if (other.path().empty()) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  for (const CrossDeviceStep step : AllSteps) {
    SCOPED_TRACE("step " + std::to_string(static_cast<int>(step)));
    Layout({{"a.pak", File("archive")}});
    ClearDirectory(other.path());
    StepToStop = step;
    CrossDeviceStepHook = FailAtStep;
    const BOOL moved =
        MoveFileA(Win("a.pak").c_str(), (WindowsPath(other.path()) + "\\a.pak").c_str());
    CrossDeviceStepHook = nullptr;
    EXPECT_EQ(moved, FALSE);
    EXPECT_EQ(ReadTree(Dir()), (Tree{{"a.pak", File("archive")}}));
    EXPECT_EQ(ReadTree(other.path()), Tree{});
  }
}

// Ended before the copy, the flush or the naming, the move leaves the source whole and no copy;
// ended before the source is removed, it leaves the source and its complete copy, both at once.
TEST_F(StandIn, MoveAcrossFileSystemsInterruptedAtAnyStepLosesNothing) {
  const OtherFileSystem other(Dir());
  if (other.path().empty()) {
    GTEST_SKIP() << "no second file system at /dev/shm";
  }
  const std::string content(200000, 'x');
  for (const CrossDeviceStep step : AllSteps) {
    SCOPED_TRACE("step " + std::to_string(static_cast<int>(step)));
    Layout({{"a.pak", File(content)}});
    ClearDirectory(other.path());
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      StepToStop = step;
      CrossDeviceStepHook = ExitAtStep;
      (void)MoveFileA(Win("a.pak").c_str(), (WindowsPath(other.path()) + "\\a.pak").c_str());
      _exit(1);  // not reached: the hook ends the process first
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(ReadTree(Dir()), (Tree{{"a.pak", File(content)}}));
    const Tree copy =
        step == CrossDeviceStep::RemoveSource ? Tree{{"a.pak", File(content)}} : Tree{};
    EXPECT_EQ(ReadTree(other.path()), copy);
  }
}

class Registry : public StandIn {
 protected:
  void SetUp() override {
    StandIn::SetUp();
    ASSERT_EQ(setenv("KELVANE_PATCH_REGISTRY", (Dir() / "reg").c_str(), 1), 0);
  }
  fs::path KeyDir() const { return Dir() / "reg/HKEY_LOCAL_MACHINE/Software/Test"; }
  static LONG Open(HKEY* key, DWORD* disposition = nullptr) {
    DWORD ignored = 0;
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\Test", 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, key, disposition != nullptr ? disposition : &ignored);
  }
};

TEST_F(Registry, CreateKeyMakesItEmptyOnceAndFailsWithoutAHandle) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  ASSERT_EQ(Open(&key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  EXPECT_TRUE(fs::is_directory(KeyDir()) && fs::is_empty(KeyDir()));
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_INVALID_HANDLE);
  ASSERT_EQ(Open(&key, &disposition), ERROR_SUCCESS);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);

  // A file where a key's directory should be: no handle.
  ASSERT_EQ(setenv("KELVANE_PATCH_REGISTRY",
                   (Dir() / "reg/HKEY_LOCAL_MACHINE/Software/Test/x").c_str(), 1),
            0);
  std::ofstream(KeyDir() / "x") << "in the way";
  key = HKEY_LOCAL_MACHINE;  // anything but null
  EXPECT_NE(Open(&key), ERROR_SUCCESS);
  EXPECT_EQ(key, nullptr);
  HKEY escaped = nullptr;
  EXPECT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, "Software\\..\\..", 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &escaped, nullptr),
            ERROR_BAD_PATHNAME);
}

// Where the store can't be made at all, even by root: access denied, and no handle.
TEST_F(Registry, CreateKeyWhereNothingCanBeMadeIsAccessDenied) {
  if (!fs::is_directory("/sys/kernel")) {
    GTEST_SKIP() << "no /sys/kernel here, the one place even root can make nothing in";
  }
  ASSERT_EQ(setenv("KELVANE_PATCH_REGISTRY", "/sys/kernel/kelvane-test", 1), 0);
  HKEY key = HKEY_LOCAL_MACHINE;  // anything but null
  EXPECT_EQ(Open(&key), ERROR_ACCESS_DENIED);
  EXPECT_EQ(key, nullptr);
}

TEST_F(Registry, ChoosesItsStoreFromTheEnvironment) {
  const std::string unused = (Dir() / "unused").string();  // absolute, so it would be taken
  const struct {
    const char* registry;
    const char* dataHome;
    const char* home;
    const char* store;
  } cases[] = {
      {"explicit", unused.c_str(), unused.c_str(), "explicit"},
      {nullptr, nullptr, "home", "home/.local/share/kelvane-patch/registry"},
      {"", "xdg-relative", "home", "home/.local/share/kelvane-patch/registry"},
  };
  const char* savedHome = std::getenv("HOME");
  const std::string home = savedHome != nullptr ? savedHome : "";
  for (const auto& c : cases) {
    const auto set = [](const char* name, const char* value) {
      ASSERT_EQ(value != nullptr ? setenv(name, value, 1) : unsetenv(name), 0);
    };
    set("KELVANE_PATCH_REGISTRY", c.registry);
    set("XDG_DATA_HOME", c.dataHome);
    set("HOME", c.home);
    HKEY key = nullptr;
    ASSERT_EQ(Open(&key), ERROR_SUCCESS) << c.store;
    EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
    EXPECT_TRUE(fs::is_directory(fs::path(c.store) / "HKEY_LOCAL_MACHINE/Software/Test"))
        << c.store;
  }
  const std::string dataHome = (Dir() / "xdg").string();
  ASSERT_EQ(unsetenv("KELVANE_PATCH_REGISTRY"), 0);
  ASSERT_EQ(setenv("XDG_DATA_HOME", dataHome.c_str(), 1), 0);
  HKEY key = nullptr;
  ASSERT_EQ(Open(&key), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_TRUE(fs::is_directory(Dir() / "xdg/kelvane-patch/registry/HKEY_LOCAL_MACHINE"));
  EXPECT_FALSE(fs::exists(unused));
  ASSERT_EQ(setenv("HOME", home.c_str(), 1), 0);
}

TEST_F(Registry, QueryCopiesWhatFitsAndTouchesNothingElse) {
  HKEY key = nullptr;
  ASSERT_EQ(Open(&key), ERROR_SUCCESS);
  const struct {
    const char* what;
    std::string stored;
    LONG result;
  } cases[] = {
      {"short, no terminator", "C:\\Games", ERROR_SUCCESS},
      {"empty", "", ERROR_SUCCESS},
      {"exactly the buffer", std::string(256, 'a'), ERROR_SUCCESS},
      {"one byte too many", std::string(257, 'a'), ERROR_MORE_DATA},
      {"much too large", std::string(100000, 'a'), ERROR_MORE_DATA},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::ofstream(KeyDir() / "Value", std::ios::binary | std::ios::trunc) << c.stored;
    unsigned char buffer[300];
    std::memset(buffer, 0xEE, sizeof buffer);
    DWORD size = 256;
    DWORD type = REG_NONE;
    EXPECT_EQ(RegQueryValueExA(key, "Value", nullptr, &type, buffer, &size), c.result);
    EXPECT_EQ(size, c.stored.size());
    const std::size_t copied = c.result == ERROR_SUCCESS ? c.stored.size() : 0;
    EXPECT_EQ(std::string(buffer, buffer + copied), c.stored.substr(0, copied));
    for (std::size_t i = copied; i < sizeof buffer; ++i) {
      ASSERT_EQ(buffer[i], 0xEE) << "byte " << i;
    }
  }
  unsigned char buffer[8];
  DWORD size = sizeof buffer;
  EXPECT_EQ(RegQueryValueExA(key, "Missing", nullptr, nullptr, buffer, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExA(nullptr, "Value", nullptr, nullptr, buffer, &size),
            ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(key), ERROR_SUCCESS);
  EXPECT_EQ(RegQueryValueExA(key, "Value", nullptr, nullptr, buffer, &size), ERROR_INVALID_HANDLE);
}

TEST(MessageBox, WritesItsTextAndALine) {
  ::testing::internal::CaptureStdout();
  const int result = MessageBoxA(nullptr, "Kelvane DVD successfully patched ", " ", MB_OK);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Kelvane DVD successfully patched \n");
  EXPECT_EQ(result, IDOK);
}

}  // namespace
