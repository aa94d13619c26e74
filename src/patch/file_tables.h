// The archive names the game needs, and the shortened names some installations carry instead.
#pragma once

#include <array>
#include <cstddef>

constexpr std::size_t RequiredFileCount = 38;
constexpr std::size_t RenameCount = 22;

struct RenamePair {
  const char* ShortName;
  const char* LongName;
};

// Probed in this order; the completeness check stops at the first one missing.
extern const std::array<const char*, RequiredFileCount> RequiredFileTable;

// Renamed in this order. Every long name is also in RequiredFileTable.
extern const std::array<RenamePair, RenameCount> RenameTable;
