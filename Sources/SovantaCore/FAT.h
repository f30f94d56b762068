// The FAT12/16/32 reader: a volume's tree of live and deleted files with their
// place on disk and recoverability, and the pieces the deep scan uses (the
// directory-sector test and the lost directory fragments).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

// One FAT volume's geometry and its first FAT, read once and then only read.
// Its chain and in-use queries keep scratch state: one thread at a time.
class FATContext {
public:
    struct Chain {
        std::vector<uint32_t> clusters;
        bool complete = false;
    };

    // The context of the volume at base, or none when sectors per cluster or
    // bytes per sector is 0 or the volume has no data area.
    static std::shared_ptr<FATContext> make(DiskSource& source, uint64_t base, ByteSpan boot, FileSystemType type);

    DiskSource& src;
    const uint64_t base;
    const FileSystemType type;
    uint64_t bps = 0;
    uint64_t clusterSize = 0;
    uint64_t fatOffset = 0;
    uint64_t rootDirOffset = 0;
    uint64_t rootDirSize = 0;
    uint64_t dataOffset = 0;
    uint32_t clusterCount = 0;
    uint32_t rootCluster = 0;
    uint64_t volumeSize = 0;
    std::string label;
    Bytes fat;
    bool fatUnavailable = false;

    // The volume's bytes on the source: no read of the reader goes past them.
    ByteRange volumeRange() const;
    // The extents' bytes joined, ending where the volume or the source ends.
    Bytes read(const std::vector<Extent>& extents) const;
    Bytes readCluster(uint32_t cluster) const;

    // The FAT entry of a cluster; 0 when it lies beyond the loaded table.
    uint32_t entry(uint32_t cluster) const;
    // The chain from start, at most maxClusters long; complete when it reached
    // an end-of-chain mark or the limit, not when it ran into a free, reserved
    // or out-of-range entry, a loop or the end of the volume.
    Chain chain(uint32_t start, uint64_t maxClusters) const;
    // The clusters' runs as extents, cut at size bytes.
    std::vector<Extent> extents(const std::vector<uint32_t>& clusters, uint64_t size) const;

    // The smallest entry value that ends a chain in this FAT type.
    uint32_t endOfChain() const { return endOfChain_; }
    bool isValidCluster(uint64_t cluster) const { return cluster >= 2 && cluster < uint64_t{clusterCount} + 2; }
    uint64_t clusterOffset(uint32_t cluster) const { return dataOffset + (uint64_t{cluster} - 2) * clusterSize; }
    // How many clusters from first up to (not including) first + count have a
    // non-zero FAT entry; 0 when the FAT is unavailable.
    uint64_t clustersInUse(uint32_t first, uint64_t count) const;

    FATContext(DiskSource& source, uint64_t base, FileSystemType type);

private:
    std::shared_ptr<DiskSource> keepAlive_;
    uint64_t tableEntries_ = 0;
    uint32_t endOfChain_ = 0;
    // Scratch marks for loop detection in chain(), one bit per cluster the
    // table describes; every chain clears its own marks before returning.
    mutable std::vector<uint64_t> marks_;
    // Which clusters are in use, with a running count per 64, made on first use.
    mutable std::vector<uint64_t> usedBits_;
    mutable std::vector<uint64_t> usedRank_;
};

// What the deep scan's extra-folder step needs of a FAT volume: its context and
// every cluster that the directories read so far occupy.
struct FATDeepInfo {
    std::shared_ptr<FATContext> ctx;
    std::unordered_set<uint32_t> claimed;
};

namespace FATParser {

inline constexpr const char* lostFolderName = "$Tabte mappefragmenter";

// The volume whose first byte is at offset, or none when the structure there is
// not ours or cannot be used. Every volume gets the given origin.
std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                               WorkProgress* progress = nullptr, const Bytes* boot = nullptr);

// The entries of directory sectors (absolute byte offsets) that lie in
// clusters no known directory of the volume occupies, as one detached folder
// "$Tabte mappefragmenter". None when the volume is no FAT volume read by
// parse, when no sector is new, or when nothing was found in them. Grows the
// volume's set of claimed clusters.
std::optional<FileNodePtr> lostEntries(Volume& volume, const std::vector<uint64_t>& sectors,
                                       WorkProgress* progress = nullptr);

// Whether the 512 bytes at offset look like a FAT directory sector; the caller
// guarantees they are there.
bool looksLikeDirectorySector(ByteSpan bytes, size_t offset);

}  // namespace FATParser

}  // namespace sovanta
