// The patch procedure, run through the stand-in on real directories (one test hands out names of
// its own), with the calls recorded: what the player sees, what is left on disk, and the calls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "call_recorder.h"
#include "expected_names.h"
#include "patch/patch_main.h"
#include "patch/relocation.h"
#include "patch_fixture.h"
#include "platform/posix/platform_calls.h"
#include "temp_tree.h"

namespace fs = std::filesystem;

namespace {

// The first argument of each call of that name, in the text form.
std::vector<std::string> ArgsOf(const std::vector<PlatformCall>& calls, const std::string& name) {
  std::vector<std::string> args;
  for (const PlatformCall& call : calls) {
    if (call.name == name) {
      args.push_back(call.args.at(0));
    }
  }
  return args;
}

std::string Q(const std::string& text) {
  return Quoted(text.c_str());
}

std::size_t IndexOf(const std::vector<PlatformCall>& calls, const std::string& name) {
  const auto found = std::find_if(calls.begin(), calls.end(),
                                  [&](const PlatformCall& call) { return call.name == name; });
  return static_cast<std::size_t>(found - calls.begin());
}

TEST_F(PatchRun, CheckStopsAtTheFirstMissingName) {
  const struct {
    const char* missing;
    TreeEntry instead;  // what stands in the installation in its place, if anything
    const char* insteadAt;
    std::size_t firstProbes;
    const char* message;
  } cases[] = {
      {"11.pak", {}, "", 1, Missing},
      {"ffeedback.pak", {}, "", 38, Missing},
      {"ffeedback.pak", File("ffeedback.pak"), "feedback.pak", 38, Patched},  // short: not counted
      {"sfx.pak", Dir(), "sfx.pak", 38, NotNeeded},  // a directory of that name counts as present
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.missing) + " as " + c.insteadAt);
    Tree tree = FullInstall();
    tree.erase(std::string("Games/Demo/") + c.missing);
    if (*c.insteadAt != '\0') {
      tree[std::string("Games/Demo/") + c.insteadAt] = c.instead;
    }
    Layout(tree);
    SetValue(Install());
    const std::vector<PlatformCall> calls = Run();
    const std::vector<std::string> searches = ArgsOf(calls, "FindFirstFileA");
    const auto firstRepair = std::find_if(searches.begin(), searches.end(), [](const auto& s) {
      return s.find('*') != std::string::npos;
    });
    EXPECT_EQ(static_cast<std::size_t>(firstRepair - searches.begin()), c.firstProbes);
    EXPECT_EQ(MessageOf(calls), c.message);
  }
}

TEST_F(PatchRun, KeyIsClosedOnceAndBeforeAnyFileIsTouched) {
  const struct {
    const char* what;
    bool value;
    std::string bytes;
    std::size_t failCall;
    const char* message;
  } cases[] = {
      {"key absent", false, "", 0, NotInstalled},
      {"value of 257 bytes", true, std::string(257, 'x'), 0, NotInstalled},
      {"key cannot be opened", true, "C:\\Games\\Demo", 1, NotInstalled},
      {"value cannot be read", true, "C:\\Games\\Demo", 2, NotInstalled},
      {"installation missing", true, "C:\\Games\\Demo", 0, Missing},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove_all(fs::current_path() / "registry");
    if (c.value) {
      SetValue(c.bytes);
    }
    const std::vector<PlatformCall> calls = Run(c.failCall);
    EXPECT_EQ(MessageOf(calls), c.message);
    const bool opened = c.failCall != 1;
    ASSERT_EQ(ArgsOf(calls, "RegCloseKey").size(), opened ? 1U : 0U);
    EXPECT_EQ(ArgsOf(calls, "RegQueryValueExA"), std::vector<std::string>{opened ? "k1" : "null"});
    if (opened) {
      EXPECT_EQ(ArgsOf(calls, "RegCloseKey")[0], "k1");
      const std::size_t close = IndexOf(calls, "RegCloseKey");
      EXPECT_LE(close, IndexOf(calls, "FindFirstFileA"));
      // A failed read is reported first, then the key is closed.
      EXPECT_EQ(close < IndexOf(calls, "MessageBoxA"), c.message != NotInstalled);
    }
  }
  // The missing key was created, and stays empty.
  fs::remove_all(fs::current_path() / "registry");
  Run();
  EXPECT_TRUE(fs::is_empty(fs::current_path() /
                           "registry/HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory"));
}

TEST_F(PatchRun, RepairNormalisesBothEndsOfAMoveTheLongNameOfARenameAndClosesEverySearch) {
  Layout(BrokenInstall());
  SetValue(Install());
  const std::vector<PlatformCall> calls = Run();
  EXPECT_EQ(MessageOf(calls), Patched);
  EXPECT_EQ(ReadTree(Root()), RepairedInstall()) << Describe(ReadTree(Root()));

  // Paths in the text form, without their closing quote, to cut names from.
  std::string parent = Q(WindowsPath(Root() / "Games") + "\\");
  std::string install = Q(Install() + "\\");
  parent.pop_back();
  install.pop_back();
  std::vector<std::string> relocated;
  std::vector<std::string> renamed;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].name != "MoveFileA") {
      continue;
    }
    const std::string& from = calls[i].args[0];
    const std::string& to = calls[i].args[1];
    ASSERT_GE(i, 2U);
    if (from.rfind(parent, 0) == 0 && from.find('\\', parent.size()) == std::string::npos) {
      relocated.push_back(from.substr(parent.size(), from.size() - parent.size() - 1));
      EXPECT_EQ(to, install + relocated.back() + '"');
      EXPECT_EQ(calls[i - 2].args, (std::vector<std::string>{from, "0x80"}));
      EXPECT_EQ(calls[i - 1].args, (std::vector<std::string>{to, "0x80"}));
    } else {
      renamed.push_back(from.substr(install.size(), from.size() - install.size() - 1));
      EXPECT_EQ(calls[i - 1].args, (std::vector<std::string>{to, "0x80"}));  // the long name's
    }
  }
  EXPECT_EQ(relocated, (std::vector<std::string>{"11.pak", "12.pak", "cinema.pak", "game.exe"}));
  ASSERT_EQ(renamed.size(), ExpectedRenames.size());
  for (std::size_t i = 0; i < ExpectedRenames.size(); ++i) {
    EXPECT_EQ(renamed[i], ExpectedRenames[i].first);
  }

  std::vector<std::string> opened;
  for (const PlatformCall& call : calls) {
    if (call.name == "FindFirstFileA" && call.result != "INVALID") {
      opened.push_back(call.result);
    }
  }
  std::vector<std::string> closed = ArgsOf(calls, "FindClose");
  std::sort(opened.begin(), opened.end());
  std::sort(closed.begin(), closed.end());
  EXPECT_EQ(opened, closed);
}

TEST_F(PatchRun, ParentPrefixIsCutAfterTheLastBackslashByte) {
  const struct {
    std::string value;
    std::string prefix;
  } cases[] = {
      {"C:\\Games\\Demo", "C:\\Games\\"},
      {"C:\\Games\\Demo\\", "C:\\Games\\Demo\\"},  // probes then hold a doubled backslash
      {"Demo", ""},
      {"C:/Games/Demo", ""},  // a forward slash does not separate here
      {"C:\\G\x83\x5C"
       "Demo",
       "C:\\G\x83\x5C"},  // a double-byte trail byte 0x5C does
      {std::string("C:\\Games\\Demo\0C:\\Other\\", 23), "C:\\Games\\"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    SetValue(c.value);
    const std::vector<PlatformCall> calls = Run();
    EXPECT_EQ(MessageOf(calls), Missing);
    EXPECT_EQ(ParentPrefix, c.prefix);
    EXPECT_EQ(ArgsOf(calls, "FindFirstFileA").at(0), Q(InstallDirText() + "\\11.pak"));
  }
}

// A drive alone names no directory: taken as one, the repair would move the current folder's
// archives into the drive's root. Letters at both ends of both cases, where a range check breaks.
TEST_F(PatchRun, DriveAloneIsNoInstallationAndTouchesNoFile) {
  BuildTree(fs::current_path(), {{"stray.pak", File("stray")}, {"stray.exe", File("stray")}});
  // Whatever the rule does, nothing may reach the real root: here every change fails.
  PlatformCallTable.SetFileAttributesA = [](LPCSTR, DWORD) { return FALSE; };
  PlatformCallTable.MoveFileA = [](LPCSTR, LPCSTR) { return FALSE; };
  for (const char* drive : {"A:", "Z:", "a:", "z:"}) {
    SCOPED_TRACE(drive);
    SetValue(std::string(drive) + '\0');
    const std::vector<PlatformCall> calls = Run();
    std::vector<std::string> names(calls.size());
    std::transform(calls.begin(), calls.end(), names.begin(),
                   [](const PlatformCall& call) { return call.name; });
    EXPECT_EQ(names, (std::vector<std::string>{"RegCreateKeyExA", "RegQueryValueExA", "RegCloseKey",
                                               "MessageBoxA"}));
    EXPECT_EQ(MessageOf(calls), NotInstalled);
  }
  PlatformCallTable = DefaultPlatformCalls;
}

// What a search hands out in HandOut below, and the paths the relocation then touched.
std::vector<std::string> HandedOut;
std::size_t NextHandedOut = 0;
std::vector<std::string> Touched;

BOOL HandOut(HANDLE /*search*/, LPWIN32_FIND_DATAA found) {
  if (NextHandedOut == HandedOut.size()) {
    return FALSE;
  }
  *found = {};
  HandedOut[NextHandedOut++].copy(found->cFileName, sizeof found->cFileName - 1);
  return TRUE;
}

// A legacy ANSI code page maps a character it lacks to a look-alike: a full-width reverse solidus
// arrives as '\'. NTFS holds names that end in a dot or a space, which a Win32 path drops. The
// stand-in hands out neither kind, so a search of its own does. Expectations are Win32's rules: a
// file name holds none of \ / : * ? " < > | and no byte below 0x20, and the last component of a
// path loses its trailing dots and spaces ("File path formats on Windows systems").
TEST(Relocation, NamesNoFileCanHoldOrNoPathCanSpellAreNeitherNormalisedNorMoved) {
  HandedOut = {"x\\..\\..\\Protected\\tool.pak",
               "a/b.pak",
               "c:d.pak",
               "e*.pak",
               "f?.pak",
               "g\"h.pak",
               "i<j.pak",
               "k>l.pak",
               "m|n.pak",
               "o\x01p.pak",
               "q\x1fr.pak",
               "tab\t.pak",
               "mesh.pak ",
               "mesh.pak.",
               "mesh.pak. ",
               "plain.pak",
               "with space.pak",
               "caf\xc3\xa9.pak",
               "del\x7f.pak",
               "ti~de,;=[]+.pak"};
  NextHandedOut = 0;
  Touched.clear();
  PlatformCallTable.FindFirstFileA = [](LPCSTR, LPWIN32_FIND_DATAA found) {
    return HandOut(nullptr, found) != FALSE ? reinterpret_cast<HANDLE>(1) : INVALID_HANDLE_VALUE;
  };
  PlatformCallTable.FindNextFileA = HandOut;
  PlatformCallTable.FindClose = [](HANDLE) { return TRUE; };
  PlatformCallTable.SetFileAttributesA = [](LPCSTR path, DWORD) {
    Touched.emplace_back(path);
    return FALSE;
  };
  PlatformCallTable.MoveFileA = [](LPCSTR from, LPCSTR) {
    Touched.emplace_back(from);
    return FALSE;
  };
  StartAsNewProcess();
  std::string("C:\\Games\\Demo").copy(InstallDir, sizeof InstallDir);
  ParentPrefix = "C:\\Games\\";
  RelocateMisplaced("*.pak");
  PlatformCallTable = DefaultPlatformCalls;

  std::vector<std::string> expected;
  for (const char* name :
       {"plain.pak", "with space.pak", "caf\xc3\xa9.pak", "del\x7f.pak", "ti~de,;=[]+.pak"}) {
    const std::string source = std::string("C:\\Games\\") + name;
    expected.insert(expected.end(), {source, "C:\\Games\\Demo\\" + std::string(name), source});
  }
  EXPECT_EQ(Touched, expected);
}

}  // namespace
