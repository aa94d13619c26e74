// No file is ever lost, duplicated or changed in content: whichever platform call fails, in
// whichever way it can, and wherever the process is cut short. Across the installation and its
// parent the multiset of file contents stays the same; every run that ends shows one message.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "patch/patch_main.h"
#include "patch_fixture.h"

namespace {

struct Case {
  const char* name;
  Tree tree;
};

Tree WithoutArchives(Tree tree, std::initializer_list<const char*> names) {
  for (const char* name : names) {
    tree.erase("Games/Demo/" + std::string(name));
  }
  return tree;
}

// The representative installations: each fault alone and together, and the awkward entries.
std::vector<Case> Cases() {
  Tree misplaced = WithoutArchives(FullInstall(), {"11.pak", "anim.pak", "zvoices+.pak"});
  misplaced["Games/11.pak"] = File("11.pak");
  misplaced["Games/anim.pak"] = File("anim.pak");
  misplaced["Games/zvoices.pak"] = File("zvoices+.pak");
  misplaced["Games/setup.exe"] = File("setup");

  Tree taken = WithoutArchives(FullInstall(), {"voices1+.pak", "fix.pak"});
  taken["Games/voices1.pak"] = File("parent's voices1");
  taken["Games/Demo/voices1.pak"] = File("voices1+.pak");
  taken["Games/fix.pak"] = File("parent's fix");
  taken["Games/Demo/fects.pak"] = File("a second effects");

  Tree readOnly = WithoutArchives(FullInstall(), {"12.pak", "presentation512.pak"});
  readOnly["Games/12.pak"] = File("12.pak", true);
  readOnly["Games/Demo/tion512.pak"] = File("presentation512.pak", true);

  Tree directory = WithoutArchives(FullInstall(), {"cinema.pak"});
  directory["Games/cinema.pak"] = Dir();
  directory["Games/cinema.pak/intro.bik"] = File("intro");
  directory["Games/cinema.pak/outro.bik"] = File("outro", true);

  return {{"both faults", BrokenInstall()},    {"short names only", ShortNamed(FullInstall())},
          {"misplaced files only", misplaced}, {"targets already there", taken},
          {"read-only archives", readOnly},    {"directory named like an archive", directory}};
}

class Safety : public PatchRun {
 protected:
  // Checks what every run must leave: the same file contents, and a success message only when the
  // installation really is complete.
  void ExpectNothingLost(const Tree& before, const std::string& message) const {
    const Tree after = ReadTree(Root());
    EXPECT_EQ(FileContents(after), FileContents(before));
    if (message == Patched || message == NotNeeded) {
      EXPECT_TRUE(HoldsEveryArchive(after)) << message;
    } else {
      EXPECT_TRUE(message == Missing || message == NotInstalled) << message;
    }
  }

  // Runs WinMain in a child that ends abruptly just before, or just after, call n. True when the
  // child really ended there, rather than finishing first.
  bool RunCutShort(std::size_t n, bool after) const {
    (void)std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
      StartAsNewProcess();
      const CallRecorder recorder({0, Failure::None, n, after});
      char commandLine[] = "";
      (void)WinMain(nullptr, nullptr, commandLine, 0);
      _exit(3);  // the run ended before call n
    }
    int status = 0;
    EXPECT_EQ(waitpid(child, &status, 0), child);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
};

TEST_F(Safety, FailingAnyCallInAnyWayLosesNothing) {
  SetValue(Install());
  for (const Case& c : Cases()) {
    Layout(c.tree);
    const std::vector<PlatformCall> calls = Run();
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      for (const Failure how : FailuresOf(calls[n - 1].name)) {
        SCOPED_TRACE(std::string(c.name) + ": call " + std::to_string(n) + " " + calls[n - 1].name +
                     " failing in way " + std::to_string(static_cast<int>(how)));
        Layout(c.tree);
        ExpectNothingLost(c.tree, MessageOf(Run(n, how)));
        if (HasFailure()) {
          return;
        }
      }
    }
  }
}

// Cut short anywhere, a run leaves every file once with its content; run again to the end, it
// finishes as an uninterrupted run does, or says files are missing, still losing nothing.
TEST_F(Safety, CrashingAnywhereLosesNothingAndASecondRunFinishesOrSaysFilesAreMissing) {
  SetValue(Install());
  for (const Case& c : Cases()) {
    Layout(c.tree);
    const std::size_t total = Run().size();
    const Tree finished = ReadTree(Root());
    for (std::size_t n = 1; n <= total; ++n) {
      for (const bool after : {false, true}) {
        SCOPED_TRACE(std::string(c.name) + ": cut " + (after ? "after" : "before") + " call " +
                     std::to_string(n) + " of " + std::to_string(total));
        Layout(c.tree);
        ASSERT_TRUE(RunCutShort(n, after));
        EXPECT_EQ(FileContents(ReadTree(Root())), FileContents(c.tree));
        const std::string message = MessageOf(Run());
        ExpectNothingLost(c.tree, message);
        if (ReadTree(Root()) != finished) {
          EXPECT_EQ(message, Missing) << Describe(ReadTree(Root()));
        }
        if (HasFailure()) {
          return;
        }
      }
    }
  }
}

// Every length up to 300 bytes of a value that starts out naming the installation and goes on
// into what no path holds: bytes above 0x7F, a double-byte pair ending in 0x5C, embedded zeros,
// and no terminator; the text stops at the first zero, byte 70. No run may lose a file, and the
// buffer is never read past (the sanitizer build checks that).
TEST_F(Safety, HostileValuesOfEveryLengthLoseNothing) {
  const std::string install = "root\\Games\\Demo";  // from the current directory
  std::string value = install;
  for (int i = 0; value.size() < 300; ++i) {
    value += i % 29 == 0 ? std::string("\x83\x5C", 2)
                         : std::string(1, static_cast<char>(0x80 + (i * 37) % 0x80));
    if (i % 53 == 52) {
      value += '\0';
    }
  }
  const Tree tree = BrokenInstall();
  for (std::size_t length = 0; length <= 300; ++length) {
    SCOPED_TRACE("value of " + std::to_string(length) + " bytes");
    Layout(tree);
    SetValue(value.substr(0, length));
    const std::string message = MessageOf(Run());
    ExpectNothingLost(tree, message);
    if (length == 0 || length > InstallDirSize) {
      EXPECT_EQ(message, NotInstalled);
    } else if (length == install.size()) {
      EXPECT_EQ(message, Patched);
    }
    if (HasFailure()) {
      return;
    }
  }
}

// Links, as root would meet them: one in the parent pointing at a protected file elsewhere, one
// in the installation named like a required archive, one pointing at itself. Links move as links;
// what they point at keeps its content, mode and owner.
TEST_F(Safety, LinksMoveAsLinksAndTheirTargetsStayUntouched) {
  if (geteuid() != 0) {
    GTEST_SKIP() << "needs root, as players run it: only root can give the target another owner";
  }
  const std::filesystem::path protectedFile = Root().parent_path() / "elsewhere" / "secret";
  const std::string target = protectedFile.string();
  Tree tree = WithoutArchives(FullInstall(), {"11.pak", "12.pak"});
  tree["Games/11.pak"] = File("11.pak");
  tree["Games/evil.pak"] = Link(target);
  tree["Games/loop.pak"] = Link("loop.pak");
  tree["Games/Demo/12.pak"] = Link("../../../elsewhere/12.pak");
  Layout(tree);
  std::filesystem::create_directories(protectedFile.parent_path());
  BuildTree(protectedFile.parent_path(),
            {{"secret", File("secret", true)}, {"12.pak", File("12")}});
  ASSERT_EQ(chown(protectedFile.c_str(), 65534, 65534), 0);  // nobody's
  ASSERT_EQ(chmod(protectedFile.c_str(), 0400), 0);
  struct stat before {};
  ASSERT_EQ(stat(protectedFile.c_str(), &before), 0);
  SetValue(Install());

  EXPECT_EQ(MessageOf(Run()), Patched);

  Tree expected = tree;
  expected.erase("Games/11.pak");
  expected.erase("Games/evil.pak");
  expected.erase("Games/loop.pak");
  expected["Games/Demo/11.pak"] = File("11.pak");
  expected["Games/Demo/evil.pak"] = Link(target);
  expected["Games/Demo/loop.pak"] = Link("loop.pak");
  EXPECT_EQ(ReadTree(Root()), expected);
  struct stat after {};
  ASSERT_EQ(stat(protectedFile.c_str(), &after), 0);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(ReadTree(protectedFile.parent_path()),
            (Tree{{"secret", File("secret", true)}, {"12.pak", File("12")}}));
  (void)chmod(protectedFile.c_str(), 0600);
}

// Names that are awkward on either side: spaces, a leading dot, a trailing space or dot, bytes
// outside ASCII and outside UTF-8, and the longest name a POSIX file system takes, whose paths
// exceed MAX_PATH: it stays where it is, as under Wine.
TEST_F(Safety, AwkwardNamesMoveOrStayButAreNeverLost) {
  const std::string longest = std::string(251, 'n') + ".pak";
  Tree tree = WithoutArchives(FullInstall(), {"11.pak"});
  const std::vector<std::string> moving = {
      "11.pak", "a b.pak", " lead.pak", "caf\xc3\xa9.pak", "\xff\xfe.pak", "x.PAK", "tool .exe"};
  const std::vector<std::string> staying = {".hidden.pak", ".pak",  "tail.pak ",
                                            "dots.pak.",   longest, "notes.txt"};
  for (const std::string& name : moving) {
    tree["Games/" + name] = File("moving " + name);
  }
  for (const std::string& name : staying) {
    tree["Games/" + name] = File("staying " + name);
  }
  Layout(tree);
  SetValue(Install());
  EXPECT_EQ(MessageOf(Run()), Patched);
  Tree expected = tree;
  for (const std::string& name : moving) {
    expected.erase("Games/" + name);
    expected["Games/Demo/" + name] = File("moving " + name);
  }
  EXPECT_EQ(ReadTree(Root()), expected);
}

}  // namespace
