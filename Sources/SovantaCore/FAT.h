// The FAT12/16/32 reader: a volume's tree of live and deleted files with their
// place on disk and recoverability, and the pieces the deep scan uses (the
// directory-sector test and the lost directory fragments).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta::FATParser {

inline constexpr const char* lostFolderName = "$Tabte mappefragmenter";

// The volume whose first byte is at offset, or none when the structure there is
// not ours or cannot be used. Every volume gets the given origin. The volume
// keeps what lostEntries needs in its deep context.
std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                               WorkProgress* progress = nullptr, const Bytes* boot = nullptr);

// The entries of directory sectors (absolute byte offsets) that lie in
// clusters no known directory of the volume occupies, as one detached folder
// "$Tabte mappefragmenter". None when the volume is no FAT volume read by
// parse, when no sector is new, or when nothing was found in them. Reads the
// volume's FAT again from source, the one it was read from, when a sector is
// new. Grows the volume's set of claimed clusters.
std::optional<FileNodePtr> lostEntries(DiskSource& source, Volume& volume, const std::vector<uint64_t>& sectors,
                                       WorkProgress* progress = nullptr);

// Whether the 512 bytes at offset look like a FAT directory sector; the caller
// guarantees they are there.
bool looksLikeDirectorySector(ByteSpan bytes, size_t offset);

}  // namespace sovanta::FATParser
