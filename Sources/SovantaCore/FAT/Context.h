// The FAT reader's internals: a volume's geometry as its boot sector gives it,
// and the context that holds the first FAT for one read. For the reader's own
// files, its tests and fuzzers; everyone else uses FATParser.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/FAT/Chain.h"
#include "SovantaCore/Model.h"

namespace sovanta {

// Where a FAT volume's parts lie, from its boot sector. Offsets are absolute
// on the source.
struct FATGeometry {
    uint64_t base = 0;
    FileSystemType type = FileSystemType::fat16;
    uint64_t bps = 0;
    uint64_t clusterSize = 0;
    uint64_t fatOffset = 0;
    uint64_t fatBytes = 0;  // one copy, as the boot sector claims it
    uint64_t fatCount = 0;
    uint64_t rootDirOffset = 0;
    uint64_t rootDirSize = 0;
    uint64_t dataOffset = 0;
    uint32_t clusterCount = 0;
    uint32_t rootCluster = 0;
    uint64_t volumeSize = 0;
    std::string label;

    // The geometry of the volume at base, or none when sectors per cluster or
    // bytes per sector is 0 or the volume has no data area.
    static std::optional<FATGeometry> decode(uint64_t base, ByteSpan boot, FileSystemType type);

    bool isValidCluster(uint64_t cluster) const { return cluster >= 2 && cluster < uint64_t{clusterCount} + 2; }
    uint64_t clusterOffset(uint32_t cluster) const { return dataOffset + (uint64_t{cluster} - 2) * clusterSize; }
    // The volume's bytes on the source: no read of the reader goes past them.
    ByteRange volumeRange() const { return {base, base + volumeSize}; }
};

// One FAT volume's geometry and its first FAT, read once for one read of the
// volume and then only read. Its chain and in-use queries keep scratch state:
// one thread at a time.
class FATContext : public FATGeometry {
public:
    using Chain = ClusterChain;

    // The context of the volume at base with its FAT loaded, or none when the
    // boot bytes give no usable geometry.
    static std::unique_ptr<FATContext> make(DiskSource& source, uint64_t base, ByteSpan boot, FileSystemType type);
    // The context of a geometry decoded before, its FAT loaded again.
    static std::unique_ptr<FATContext> load(DiskSource& source, const FATGeometry& geometry);

    DiskSource& src;
    // The first FAT as read (with repairs from the second copy); empty when
    // unavailable.
    Bytes fat;
    // The FAT could not be loaded: chains are then taken as contiguous.
    bool fatUnavailable = false;

    // The extents' bytes joined, ending where the volume or the source ends.
    Bytes read(const std::vector<Extent>& extents) const;
    Bytes readCluster(uint32_t cluster) const;

    // The FAT entry of a cluster; 0 when it lies beyond the loaded table.
    uint32_t entry(uint32_t cluster) const { return chains_.entry(cluster); }
    // The chain from start, at most maxClusters long; complete when it reached
    // an end-of-chain mark or the limit, not when it ran into a free, reserved
    // or out-of-range entry, a loop or the end of the volume.
    Chain chain(uint32_t start, uint64_t maxClusters) const;
    // The clusters' runs as extents, cut at size bytes.
    std::vector<Extent> extents(const std::vector<uint32_t>& clusters, uint64_t size) const {
        return chains_.extents(clusters, size);
    }
    // The smallest entry value that ends a chain in this FAT type.
    uint32_t endOfChain() const { return chains_.endOfChain(); }
    // How many clusters from first up to (not including) first + count have a
    // non-zero FAT entry; 0 when the FAT is unavailable.
    uint64_t clustersInUse(uint32_t first, uint64_t count) const;

    FATContext(DiskSource& source, const FATGeometry& geometry);
    FATContext(const FATContext&) = delete;
    FATContext& operator=(const FATContext&) = delete;

private:
    void loadFAT();

    ClusterChains chains_;
    // Which clusters are in use, with a running count per 64, made on first use.
    mutable std::vector<uint64_t> usedBits_;
    mutable std::vector<uint64_t> usedRank_;
};

// What the deep scan's extra-folder step needs of a FAT volume: its geometry
// (the FAT is read again when lost fragments are looked for) and every
// cluster that the directories read so far occupy.
struct FATDeepInfo {
    FATGeometry geometry;
    std::unordered_set<uint32_t> claimed;
};

}  // namespace sovanta
