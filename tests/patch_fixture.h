// What the tests of whole runs share: the four messages, installations laid out as trees, and a
// fixture that runs WinMain in-process on a temporary root with its own registry store.
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "call_recorder.h"
#include "temp_tree.h"

extern const char* const NotInstalled;
extern const char* const NotNeeded;
extern const char* const Patched;
extern const char* const Missing;

// Every required archive in Games/Demo, each holding its own name.
Tree FullInstall();

// The tree with each long-named archive of the 22 pairs in Games/Demo under its short name.
Tree ShortNamed(Tree tree);

// Both faults: archives and an executable in the parent, short names inside, one read-only.
Tree BrokenInstall();

// What a run makes of BrokenInstall().
Tree RepairedInstall();

// The contents of every file in the tree, as a multiset: what no run may change.
std::multiset<std::string> FileContents(const Tree& tree);

// The one message of the run; fails the test unless there is exactly one, as the player sees it.
std::string MessageOf(const std::vector<PlatformCall>& calls);

// True when all 38 required archives are in Games/Demo of the tree.
bool HoldsEveryArchive(const Tree& tree);

// Puts the patch's globals back as a fresh process has them, so WinMain can run again in this one.
void StartAsNewProcess();

class PatchRun : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  std::filesystem::path Root() const { return tmp_.path() / "root"; }
  std::string Install() const { return WindowsPath(Root() / "Games" / "Demo"); }

  void SetValue(const std::string& bytes) const;
  void Layout(const Tree& tree) const;

  // One run, as a fresh process would make it, with the given call failed in the given way.
  std::vector<PlatformCall> Run(std::size_t failCall = 0, Failure how = Failure::Fails) const;

 private:
  TempDir tmp_;
  std::filesystem::path startDir_;
};
