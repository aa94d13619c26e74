#include "patch/long_names.h"

#include "patch/file_tables.h"
#include "patch/patch_main.h"

void RestoreLongNames() {
  for (const RenamePair& pair : RenameTable) {
    (void)RenameMember(pair.ShortName, pair.LongName);
  }
}

// The rename owns its copies of the names. Callers pass table literals, so references would still
// build two strings: there is nothing to save.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
bool RenameMember(std::string shortName, std::string longName) {  // cppcheck-suppress passedByValue
  const std::string source = MemberPath(shortName.c_str());
  const std::string target = MemberPath(longName.c_str());
  // The short-named file keeps its attributes; only a long-named file already in the way is
  // normalised, so that a copy left read-only by an earlier install is playable again.
  (void)SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  return MoveFileA(source.c_str(), target.c_str()) != FALSE;
}
