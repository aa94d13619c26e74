#include "patch_fixture.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "expected_names.h"
#include "patch/patch_main.h"

namespace fs = std::filesystem;

const char* const NotInstalled = "Please install Kelvane game first";
const char* const NotNeeded = "Patch not needed.";
const char* const Patched = "Kelvane DVD successfully patched ";
const char* const Missing = "Some file are missing. Reinstall the game and then apply the patch";

Tree FullInstall() {
  Tree tree = {{"Games", Dir()}, {"Games/Demo", Dir()}};
  for (const char* name : ExpectedArchives) {
    tree["Games/Demo/" + std::string(name)] = File(name);
  }
  return tree;
}

Tree ShortNamed(Tree tree) {
  for (const auto& [shortName, longName] : ExpectedRenames) {
    tree.erase("Games/Demo/" + std::string(longName));
    tree["Games/Demo/" + std::string(shortName)] = File(longName);
  }
  return tree;
}

Tree BrokenInstall() {
  Tree tree = ShortNamed(FullInstall());
  for (const char* name : {"11.pak", "12.pak", "cinema.pak"}) {
    tree.erase("Games/Demo/" + std::string(name));
    tree["Games/" + std::string(name)] = File(name, name == std::string("12.pak"));
  }
  tree["Games/game.exe"] = File("exe");
  tree["Games/notes.txt"] = File("keep me");
  return tree;
}

Tree RepairedInstall() {
  Tree tree = FullInstall();
  tree["Games/Demo/12.pak"].readOnly = false;
  tree["Games/Demo/game.exe"] = File("exe");
  tree["Games/notes.txt"] = File("keep me");
  return tree;
}

std::multiset<std::string> FileContents(const Tree& tree) {
  std::multiset<std::string> contents;
  for (const auto& [path, entry] : tree) {
    if (entry.kind == 'f') {
      contents.insert(entry.content);
    }
  }
  return contents;
}

std::string MessageOf(const std::vector<PlatformCall>& calls) {
  std::vector<const PlatformCall*> boxes;
  for (const PlatformCall& call : calls) {
    if (call.name == "MessageBoxA") {
      boxes.push_back(&call);
    }
  }
  EXPECT_EQ(boxes.size(), 1U);
  if (boxes.size() != 1) {
    return {};
  }
  const std::vector<std::string>& args = boxes[0]->args;
  EXPECT_EQ(args[0], "null");
  EXPECT_EQ(args[2], "\" \"");
  const char* const known[] = {NotInstalled, NotNeeded, Patched, Missing};
  const auto* message = std::find_if(std::begin(known), std::end(known),
                                     [&](const char* text) { return args[1] == Quoted(text); });
  if (message != std::end(known)) {
    const bool error = *message == NotInstalled || *message == Missing;
    EXPECT_EQ(args[3], error ? "0x10" : "0x0") << *message;
    return *message;
  }
  return args[1];
}

bool HoldsEveryArchive(const Tree& tree) {
  for (const char* name : ExpectedArchives) {
    if (tree.count("Games/Demo/" + std::string(name)) == 0) {
      return false;
    }
  }
  return true;
}

void PatchRun::SetUp() {
  ASSERT_EQ(setenv("KELVANE_PATCH_REGISTRY", (tmp_.path() / "registry").c_str(), 1), 0);
  startDir_ = fs::current_path();
  fs::current_path(tmp_.path());
}

void PatchRun::TearDown() {
  fs::current_path(startDir_);
}

void PatchRun::SetValue(const std::string& bytes) const {
  const fs::path value =
      tmp_.path() / "registry/HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory/Directory";
  fs::create_directories(value.parent_path());
  std::ofstream(value, std::ios::binary) << bytes;
}

void PatchRun::Layout(const Tree& tree) const {
  fs::create_directories(Root());
  ClearDirectory(Root());
  BuildTree(Root(), tree);
}

void StartAsNewProcess() {
  std::memset(InstallDir, 0, sizeof InstallDir);
  ParentPrefix.clear();
}

std::vector<PlatformCall> PatchRun::Run(std::size_t failCall, Failure how) const {
  StartAsNewProcess();
  CallRecorder recorder({failCall, how, 0, false});
  char commandLine[] = "";
  EXPECT_EQ(WinMain(nullptr, nullptr, commandLine, 0), 0);
  return recorder.calls;
}
