// No file is ever lost, duplicated or changed in content: whichever platform call fails, in
// whichever way it can, and wherever the process is cut short. Across the installation and its
// parent the multiset of file contents stays the same, and every run shows exactly one message.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "patch/file_tables.h"
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
  Tree shortOnly = FullInstall();
  for (const RenamePair& pair : RenameTable) {
    shortOnly.erase("Games/Demo/" + std::string(pair.LongName));
    shortOnly["Games/Demo/" + std::string(pair.ShortName)] = File(pair.LongName);
  }
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

  return {{"both faults", BrokenInstall()},    {"short names only", shortOnly},
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
      std::memset(InstallDir, 0, sizeof InstallDir);
      ParentPrefix.clear();
      CallRecorder recorder;
      recorder.crashCall = n;
      recorder.crashAfter = after;
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
    const std::vector<RecordedCall> calls = Run();
    for (std::size_t n = 1; n <= calls.size(); ++n) {
      for (int kind = 0; kind < FailureKinds(calls[n - 1].name); ++kind) {
        SCOPED_TRACE(std::string(c.name) + ": call " + std::to_string(n) + " " + calls[n - 1].name +
                     " failing in way " + std::to_string(kind));
        Layout(c.tree);
        ExpectNothingLost(c.tree, MessageOf(Run(n, kind)));
        if (HasFailure()) {
          return;
        }
      }
    }
  }
}

// Cut short anywhere, a run leaves every file once with its content; run again to the end, it
// finishes as an uninterrupted run does, or says files are missing, still losing nothing.
TEST_F(Safety, CrashingAnywhereLosesNothingAndASecondRunFinishesTheJob) {
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

}  // namespace
