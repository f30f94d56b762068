// The NTFS reader: geometry from the boot sector, the Master File Table found
// through record 0 or its mirror, FILE records parsed into compact values, and
// the file tree with deleted and orphaned entries rated against the cluster
// bitmap; also the pieces the deep scan uses (the record test and the rebuild
// of a volume from loose records).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

// Sizes a boot sector gives.
struct NTFSGeometry {
    uint64_t bytesPerSector = 0;
    uint64_t clusterSize = 0;
    int64_t recordSize = 0;
    uint64_t volumeSize = 0;  // 0 when the sector count is unusable
};

namespace NTFSParser {

// The geometry of an NTFS boot sector, or none when its sizes are not ones an
// NTFS volume can have.
std::optional<NTFSGeometry> geometry(ByteSpan boot);

// The volume whose first byte is at offset, or none when the structure there is
// not ours or cannot be used. Every volume gets the given origin.
std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                               WorkProgress* progress = nullptr, const Bytes* boot = nullptr);

// A volume rebuilt from FILE records the deep sweep found at recordOffsets
// (absolute), with the given geometry; none with fewer than two usable records.
std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, uint64_t clusterSize, int64_t recordSize,
                               uint64_t volumeSize, const std::vector<uint64_t>& recordOffsets,
                               const std::string& origin, WorkProgress* progress = nullptr);

// A volume rebuilt from loose FILE records (absolute offsets, ascending) that
// no volume accounts for: a record of the $MFT itself anchors the volume's
// start for each usual cluster size; the first start that gives a volume with
// files wins. None when no anchor does.
std::optional<VolumePtr> rebuildFromAnchors(DiskSource& source, const std::vector<uint64_t>& recordOffsets,
                                            WorkProgress* progress = nullptr);

// Whether a FILE record header stands at offset in buffer (the sweep's test).
bool looksLikeRecord(ByteSpan buffer, int64_t offset);

}  // namespace NTFSParser

}  // namespace sovanta
