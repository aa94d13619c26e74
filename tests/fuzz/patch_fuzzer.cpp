// libFuzzer target: a registry value and a small installation, both taken from the input, run
// through WinMain against the stand-in on real files. Whatever the input, the run must show exactly
// one message, return 0, leave every file's content exactly once, and claim success only when the
// installation really is complete. ASan and UBSan watch every byte read.
//
// Input: one byte choosing how the value starts (the installation's absolute path, its parent's,
// the relative "Demo", or nothing), one byte of value length, the value's remaining bytes, then
// entries of three bytes each: where and what (parent or installation; file, read-only file or
// directory), which name from a fixed list, and a content byte.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string>
#include <vector>

#include "patch/file_tables.h"
#include "patch/install_check.h"
#include "patch/patch_main.h"
#include "platform/posix/platform_calls.h"

namespace {

std::string Sandbox;  // holds Games/ and Games/Demo/; the run's current directory is Games
std::vector<std::string> Messages;

int RecordMessage(HWND /*owner*/, LPCSTR text, LPCSTR /*caption*/, UINT /*style*/) {
  Messages.emplace_back(text != nullptr ? text : "(null)");
  return IDOK;
}

const std::vector<std::string>& Names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> all(RequiredFileTable.begin(), RequiredFileTable.end());
    std::transform(RenameTable.begin(), RenameTable.end(), std::back_inserter(all),
                   [](const RenamePair& pair) { return pair.ShortName; });
    const std::initializer_list<const char*> extras = {
        "game.exe", "SETUP.EXE", ".pak",      ".x.exe",  "voices1.pakx",
        "a b.pak",  "tail.pak ", "notes.txt", "SFX.PAK", "caf\xc3\xa9.pak"};
    all.insert(all.end(), extras.begin(), extras.end());
    return all;
  }();
  return names;
}

std::string Join(const std::string& dir, const std::string& name) {
  std::string path = dir;
  path += '/';
  path += name;
  return path;
}

std::vector<std::string> Children(const std::string& path) {
  std::vector<std::string> children;
  if (DIR* dir = opendir(path.c_str())) {
    // cppcheck-suppress readdirCalled ; readdir_r is deprecated, and this stream is never shared
    while (const dirent* entry = readdir(dir)) {
      if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
        children.emplace_back(entry->d_name);
      }
    }
    (void)closedir(dir);
  }
  return children;
}

void Remove(const std::string& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    (void)chmod(path.c_str(), 0700);
    for (const std::string& child : Children(path)) {
      Remove(Join(path, child));
    }
    (void)rmdir(path.c_str());
  } else {
    (void)unlink(path.c_str());
  }
}

void WriteFile(const std::string& path, const std::string& content, bool readOnly) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, readOnly ? 0444 : 0644);
  if (fd >= 0) {
    if (write(fd, content.data(), content.size()) < 0) {
      std::abort();  // the sandbox must be writable, or nothing here means anything
    }
    (void)close(fd);
  }
}

// Every file's content under the directory, sorted: the multiset no run may change.
void Contents(const std::string& path, std::vector<std::string>* out) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    return;
  }
  if (S_ISDIR(info.st_mode)) {
    for (const std::string& child : Children(path)) {
      Contents(Join(path, child), out);
    }
  } else if (S_ISREG(info.st_mode)) {
    std::string content;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
      char buffer[256];
      std::size_t got = 0;
      while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        content.append(buffer, got);
      }
      (void)std::fclose(file);
    }
    out->push_back(content);
  }
}

std::vector<std::string> AllContents() {
  std::vector<std::string> contents;
  Contents(Sandbox + "/Games", &contents);
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
  char pattern[] = "/tmp/kelvane-fuzz-XXXXXX";
  if (mkdtemp(pattern) == nullptr) {
    std::abort();
  }
  Sandbox = pattern;
  (void)std::atexit([] { Remove(Sandbox); });
  (void)setenv("KELVANE_PATCH_REGISTRY", (Sandbox + "/registry").c_str(), 1);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) {
    return 0;
  }
  const std::string games = Sandbox + "/Games";
  Remove(games);
  (void)mkdir(games.c_str(), 0755);
  (void)mkdir((games + "/Demo").c_str(), 0755);
  if (chdir(games.c_str()) != 0) {
    std::abort();
  }

  const std::string install = "Z:" + games + "/Demo";
  std::string value;
  switch (data[0] % 4) {
    case 0:
      value = install;
      break;
    case 1:
      value = "Z:" + games;
      break;
    case 2:
      value = "Demo";
      break;
    default:
      break;
  }
  std::replace(value.begin(), value.end(), '/', '\\');
  const std::size_t extra = std::min<std::size_t>(data[1], size - 2);
  value += Confine(data + 2, extra, value.empty() || data[0] % 4 == 2);
  value.resize(std::min<std::size_t>(value.size(), 300));

  const std::string key =
      Sandbox + "/registry/HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory";
  Remove(Sandbox + "/registry");
  for (const char* part :
       {"/registry", "/registry/HKEY_LOCAL_MACHINE", "/registry/HKEY_LOCAL_MACHINE/Software",
        "/registry/HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick",
        "/registry/HKEY_LOCAL_MACHINE/Software/KelvaneTarnwick/Directory"}) {
    (void)mkdir((Sandbox + part).c_str(), 0755);
  }
  Remove(key + "/Directory");
  WriteFile(key + "/Directory", value, false);

  const std::vector<std::string>& names = Names();
  for (std::size_t at = 2 + extra; at + 3 <= size; at += 3) {
    const std::string dir = (data[at] & 1) != 0 ? games + "/Demo/" : games + "/";
    const std::string path = dir + names[data[at + 1] % names.size()];
    const std::string content = "content " + std::to_string(data[at + 2]);
    switch ((data[at] >> 1) % 3) {
      case 0:
        WriteFile(path, content, false);
        break;
      case 1:
        WriteFile(path, content, true);
        break;
      default:
        if (mkdir(path.c_str(), 0755) == 0) {
          WriteFile(path + "/inside", content, false);
        }
        break;
    }
  }

  const std::vector<std::string> before = AllContents();
  std::memset(InstallDir, 0, sizeof InstallDir);
  ParentPrefix.clear();
  Messages.clear();
  PlatformCallTable = DefaultPlatformCalls;
  PlatformCallTable.MessageBoxA = RecordMessage;
  char commandLine[] = "";
  if (WinMain(nullptr, nullptr, commandLine, 0) != 0 || Messages.size() != 1) {
    std::abort();
  }
  if (AllContents() != before) {
    (void)std::fputs("a file was lost, duplicated or changed\n", stderr);
    std::abort();
  }
  const bool claimsComplete =
      Messages[0] == "Kelvane DVD successfully patched " || Messages[0] == "Patch not needed.";
  if (claimsComplete && !CheckInstallComplete()) {
    (void)std::fputs("success claimed for an incomplete installation\n", stderr);
    std::abort();
  }
  return 0;
}
