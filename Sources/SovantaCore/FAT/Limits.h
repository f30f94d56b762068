// The limits the FAT12/16/32 reader and the exFAT reader both keep to, and
// the notes both give; each reader's own limits and notes stay with it.
#pragma once

#include <cstdint>

namespace sovanta::fat {

// The most bytes of a file allocation table that a reader loads.
inline constexpr uint64_t maxFATBytes = 805306368;  // 768 MiB
// The most bytes of one directory that a reader reads (FAT12/16/32 reads less
// of a deleted one).
inline constexpr uint64_t maxDirectoryBytes = 67108864;  // 64 MiB
// The most clusters of one extent whose allocation is tested.
inline constexpr uint64_t maxTestedClusters = 1048576;
// The deepest folder that a walk reads.
inline constexpr int maxDepth = 63;

inline constexpr const char* badStartNote = "Ugyldig startklynge";
inline constexpr const char* brokenChainNote = "Klyngekæden er afbrudt";
inline constexpr const char* partlyOverwrittenNote = "Dele af filen kan være overskrevet";

}  // namespace sovanta::fat
