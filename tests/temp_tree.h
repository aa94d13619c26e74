// Real directory trees for tests: lay one out from a table, read one back into the same form.
#pragma once

#include <filesystem>
#include <map>
#include <ostream>
#include <string>

struct TreeEntry {
  char kind;            // 'f' file, 'd' directory, 'l' symbolic link
  std::string content;  // a file's bytes, a link's target
  bool readOnly;        // the owner may not write
  bool operator==(const TreeEntry& other) const {
    return kind == other.kind && content == other.content && readOnly == other.readOnly;
  }
};

// For test failure messages.
inline void PrintTo(const TreeEntry& entry, std::ostream* out) {
  *out << entry.kind << (entry.readOnly ? " ro '" : " '") << entry.content << "'";
}

// Relative path (with '/') to entry.
using Tree = std::map<std::string, TreeEntry>;

inline TreeEntry File(std::string content, bool readOnly = false) {
  return {'f', std::move(content), readOnly};
}
inline TreeEntry Dir() {
  return {'d', {}, false};
}
inline TreeEntry Link(std::string target) {
  return {'l', std::move(target), false};
}

class TempDir {
 public:
  // A new directory under `under`, the system's temporary directory unless given.
  explicit TempDir(const std::filesystem::path& under = std::filesystem::temp_directory_path());
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Removes everything in the directory, read-only entries included, and keeps the directory.
void ClearDirectory(const std::filesystem::path& dir);

void BuildTree(const std::filesystem::path& root, const Tree& tree);
Tree ReadTree(const std::filesystem::path& root);
std::string Describe(const Tree& tree);

// The path as a Windows program on this machine names it: drive Z: is the root.
std::string WindowsPath(const std::filesystem::path& path);
