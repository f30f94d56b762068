// The HFS+ and HFSX reader: the catalog, extents overflow and allocation files
// are read whole; every catalog leaf node is visited, so records in nodes that
// are no longer on the live leaf chain come back as deleted files.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/TreeAssembler.h"

namespace sovanta {

namespace HFSPlusParser {

inline constexpr const char* progressMessage = "Læser HFS+-katalog …";
inline constexpr const char* hfsxNote = "HFSX (versalfølsom)";
inline constexpr const char* allocationNote = "Allokeringsfilen kunne ikke læses.";
inline constexpr const char* compressedNote =
    "HFS-komprimeret fil – indholdet ligger i en skjult ressource og kan ikke gendannes direkte";
inline constexpr const char* fragmentedNote = "Filen var fragmenteret – kun de første dele kendes";
inline constexpr const char* reusedNote = "Blokkene er genbrugt af andre filer";
inline constexpr const char* overwrittenNote = treetext::partlyOverwrittenNote;
inline constexpr const char* orphanFolderName = treetext::orphanFolderName;

// The volume whose first byte is at offset, or none when the structure there is
// not ours or cannot be used. Every volume gets the given origin.
std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                               WorkProgress* progress = nullptr);

}  // namespace HFSPlusParser

}  // namespace sovanta
