// Win32's rules for the text of a narrow path: what it names, before anything is looked up.
#pragma once

#include <string>
#include <vector>

// The components, from the root, of the entry that Windows path `text` names, with `cwd` (an
// absolute POSIX path, or empty where there is none) as the current directory. False where the
// path names nothing here: an empty path, a relative one without `cwd`, a UNC path, one that ends
// in a separator, one longer than MAX_PATH bytes when `bounded`, or a literal one ("\\?\X:\...")
// with an empty, "." or ".." component. The rules, as Wine 8 applies them and Microsoft's "File
// path formats on Windows systems" describes them:
// - '\' and '/' separate, and a run of them is one;
// - "X:\..." (any letter) and "\..." start at the root, "X:relative" and "relative" at `cwd`;
// - "." is dropped, and ".." drops the component before it, if any, whatever that names;
// - a folder that ends in a dot loses that one dot; the last component loses all its trailing
//   dots and spaces; a folder keeps its spaces;
// - "\\?\X:\..." is taken as written: '\' alone separates, and nothing is dropped.
bool ParseWindowsPath(const std::string& text, const std::string& cwd, bool bounded,
                      std::vector<std::string>* components);
