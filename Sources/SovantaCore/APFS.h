// The APFS reader: the container (newest valid superblock, Fletcher-64
// checksums, B-tree nodes, object maps), its volumes with their file-system
// trees, and deleted files rebuilt from old copy-on-write tree nodes.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

namespace APFSParser {

// One volume per readable volume of the container at offset; possibly none.
std::vector<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                             WorkProgress* progress = nullptr);

// Fletcher-64 over the 32-bit words from byte 8 on, as every APFS block stores it at byte 0.
uint64_t fletcher64(ByteSpan block);
// Whether a block of at least 64 bytes carries a non-zero, matching checksum.
bool checksumOK(ByteSpan block);
// The same test over length bytes at offset of a buffer; false when they do not lie wholly inside.
bool checksumOK(ByteSpan buffer, int64_t offset, int64_t length);
// Whether the blockSize bytes at offset are a checksummed leaf node of a file-system tree.
bool looksLikeFSTreeLeaf(ByteSpan buffer, int64_t offset, int64_t blockSize);

// Deleted regular files rebuilt from old file-system-tree leaf nodes at the
// given absolute offsets, for the APFS volumes of one container: per volume
// that gets at least one file, a new folder "$Slettede filer (gamle træknuder)"
// not yet attached to the volume.
std::vector<std::pair<VolumePtr, FileNodePtr>> deletedFromOldNodes(const std::vector<VolumePtr>& volumes,
                                                                   const std::vector<uint64_t>& nodeOffsets,
                                                                   DiskSource& src,
                                                                   WorkProgress* progress = nullptr);

}  // namespace APFSParser

}  // namespace sovanta
