#include "patch/long_names.h"

#include "patch/file_tables.h"
#include "patch/patch_main.h"

void RestoreLongNames() {
  for (const RenamePair& pair : RenameTable) {
    (void)RenameMember(pair.ShortName, pair.LongName);
  }
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): the rename owns its copies of the names.
bool RenameMember(std::string shortName, std::string longName) {
  const std::string source = MemberPath(shortName.c_str());
  const std::string target = MemberPath(longName.c_str());
  // The short-named file keeps its attributes; only a long-named file already in the way is
  // normalised, so that a copy left read-only by an earlier install is playable again.
  (void)SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
  return MoveFileA(source.c_str(), target.c_str()) != FALSE;
}
