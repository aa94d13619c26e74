#include "temp_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace fs = std::filesystem;

TempDir::TempDir(const fs::path& under) {
  std::string pattern = (under / "kelvane-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  ClearDirectory(path_);
  std::error_code ignored;
  fs::remove(path_, ignored);
}

void ClearDirectory(const fs::path& dir) {
  std::error_code ignored;
  // Read-only directories are opened up first, so that their entries can go too. Links are not
  // descended into; a link that loops fails the directory question, ignored, and is removed too.
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    if (entry.is_directory(ignored) && !entry.is_symlink(ignored)) {
      fs::permissions(entry.path(), fs::perms::owner_all, fs::perm_options::add, ignored);
      ClearDirectory(entry.path());
    }
  }
  for (const auto& entry : fs::directory_iterator(dir, ignored)) {
    fs::remove_all(entry.path(), ignored);
  }
}

void BuildTree(const fs::path& root, const Tree& tree) {
  for (const auto& [relative, entry] : tree) {
    const fs::path path = root / relative;
    fs::create_directories(path.parent_path());
    if (entry.kind == 'd') {
      fs::create_directories(path);
    } else if (entry.kind == 'l') {
      fs::create_symlink(entry.content, path);
    } else {
      std::ofstream(path, std::ios::binary) << entry.content;
    }
  }
  // Every entry is made before any is closed, so that a read-only directory is filled first.
  for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
    if (it->second.readOnly) {
      fs::permissions(root / it->first, fs::perms::owner_write, fs::perm_options::remove);
    }
  }
}

namespace {

// Walks by hand with lstat, so that no link is followed or asked about, whatever the library's
// recursive iterator would do with a link that loops.
void ReadInto(const fs::path& root, const fs::path& dir, Tree* tree) {
  for (const fs::directory_entry& item : fs::directory_iterator(dir)) {
    const std::string relative = item.path().lexically_relative(root).string();
    struct stat info {};
    if (lstat(item.path().c_str(), &info) != 0) {
      throw std::runtime_error("lstat failed: " + relative);
    }
    const bool readOnly = (info.st_mode & S_IWUSR) == 0;
    if (S_ISLNK(info.st_mode)) {
      (*tree)[relative] = {'l', fs::read_symlink(item.path()).string(), false};
    } else if (S_ISDIR(info.st_mode)) {
      (*tree)[relative] = {'d', {}, readOnly};
      ReadInto(root, item.path(), tree);
    } else {
      std::ifstream in(item.path(), std::ios::binary);
      std::ostringstream bytes;
      bytes << in.rdbuf();
      (*tree)[relative] = {'f', bytes.str(), readOnly};
    }
  }
}

}  // namespace

Tree ReadTree(const fs::path& root) {
  Tree tree;
  ReadInto(root, root, &tree);
  return tree;
}

std::string Describe(const Tree& tree) {
  std::string text;
  for (const auto& [relative, entry] : tree) {
    text += "  " + relative + " " + entry.kind + (entry.readOnly ? " ro" : "") +
            (entry.content.empty() ? "" : " '" + entry.content + "'") + "\n";
  }
  return text;
}

std::string WindowsPath(const fs::path& path) {
  std::string text = "Z:" + fs::absolute(path).string();
  std::replace(text.begin(), text.end(), '/', '\\');
  return text;
}
