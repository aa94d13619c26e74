// Win32's rules for the text of a narrow path, as a pure function of the text (see path_rules.h).
#include "platform/posix/path_rules.h"

#include <cstring>
#include <utility>

#include "platform/platform_ops.h"

namespace {

bool IsSeparator(char c) {
  return c == '\\' || c == '/';
}

// A drive letter and a colon at `at`.
bool IsDrive(const std::string& text, std::size_t at) {
  if (text.size() < at + 2 || text[at + 1] != ':') {
    return false;
  }
  const char letter = text[at];
  return (letter >= 'a' && letter <= 'z') || (letter >= 'A' && letter <= 'Z');
}

void AppendDirectory(const std::string& cwd, std::vector<std::string>* components) {
  for (const char* c = cwd.c_str(); *c != '\0';) {  // the current directory's names, as they are
    const char* end = std::strchr(c + 1, '/');
    end = end != nullptr ? end : c + std::strlen(c);
    if (end > c + 1) {
      components->emplace_back(c + 1, end);
    }
    c = end;
  }
}

}  // namespace

bool ParseWindowsPath(const std::string& text, const std::string& cwd, bool bounded,
                      std::vector<std::string>* components) {
  // The ANSI calls convert a path into the thread's buffer of MAX_PATH characters and a
  // terminator, so a longer one fails before it reaches the file system. MoveFileA alone converts
  // its new path into a buffer of its own, with no such bound.
  if (text.empty() || (bounded && text.size() > MAX_PATH)) {
    return false;
  }
  components->clear();
  const bool literal = text.rfind("\\\\?\\", 0) == 0;
  std::size_t start = 0;
  if (literal) {
    if (!IsDrive(text, 4) || text.size() < 7 || text[6] != '\\') {
      return false;
    }
    start = 7;
  } else if (text.size() >= 2 && IsSeparator(text[0]) && IsSeparator(text[1])) {
    return false;  // UNC: no network here
  } else if (IsDrive(text, 0) && text.size() > 2 && IsSeparator(text[2])) {
    start = 3;
  } else if (!text.empty() && IsSeparator(text[0])) {
    start = 1;
  } else {
    if (cwd.empty()) {
      return false;
    }
    start = IsDrive(text, 0) ? 2 : 0;
    AppendDirectory(cwd, components);
  }
  std::string current;
  for (std::size_t i = start; i <= text.size(); ++i) {
    const bool last = i == text.size();
    if (!last && !(literal ? text[i] == '\\' : IsSeparator(text[i]))) {
      current += text[i];
      continue;
    }
    if (literal) {
      if (current.empty()
              ? !last
              : current == "." || current == ".." || current.find('/') != std::string::npos) {
        return false;
      }
    } else if (current == "..") {
      if (!components->empty()) {
        components->pop_back();
      }
      current.clear();
      continue;
    } else if (current == ".") {
      current.clear();
      continue;
    } else if (last) {
      current.erase(current.find_last_not_of(". ") + 1);
    } else if (!current.empty() && current.back() == '.') {
      current.pop_back();
    }
    if (!current.empty()) {
      components->push_back(std::move(current));
    }
    current.clear();
  }
  // A path that ends in a separator names a directory by itself, which no call here takes.
  return !components->empty() && !(literal ? text.back() == '\\' : IsSeparator(text.back()));
}
