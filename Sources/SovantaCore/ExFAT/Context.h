// The exFAT reader's internals: a volume's geometry with its FAT and
// allocation bitmap, and the walk over its directories' entry sets. For the
// reader's own file and its tests; everyone else uses ExFATParser.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_set>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/ExFAT.h"
#include "SovantaCore/FAT/Chain.h"
#include "SovantaCore/Model.h"

namespace sovanta {

// One volume's geometry and loaded tables, for one read.
class ExFATContext {
public:
    // The context of the volume at base, or null when the boot bytes give no
    // usable geometry. Loads the first FAT.
    static std::unique_ptr<ExFATContext> make(DiskSource& src, uint64_t base, ByteSpan boot);

    DiskSource& src;
    uint64_t base = 0;
    uint64_t bps = 0;
    uint64_t clusterSize = 0;
    uint64_t heapOffset = 0;  // absolute offset of cluster 2
    uint32_t clusterCount = 0;
    uint32_t rootCluster = 0;
    uint64_t volumeSize = 0;
    Bytes fat;     // the first FAT as read; empty when not loaded
    Bytes bitmap;  // the allocation bitmap; empty when not loaded

    // Clusters 2 ... clusterCount + 1 exist.
    bool isValid(uint64_t cluster) const { return cluster >= 2 && cluster - 2 < clusterCount; }
    uint64_t clusterOffset(uint32_t cluster) const { return heapOffset + (uint64_t{cluster} - 2) * clusterSize; }

    using Chain = ClusterChain;
    // The clusters of a FAT chain, at most maxClusters of them, stopping at a
    // loop or at an entry that leads nowhere.
    Chain chain(uint32_t start, uint64_t maxClusters) const { return chains_->follow(start, maxClusters); }
    // Runs of consecutive clusters as extents, cut to sum to min(size, clusters × clusterSize).
    std::vector<Extent> extents(const std::vector<uint32_t>& clusters, uint64_t size) const {
        return chains_->extents(clusters, size);
    }

    struct StreamExtents {
        std::vector<Extent> extents;
        bool viaChain = false;
    };
    // Where a data stream's bytes lie: its FAT chain when that has exactly the
    // length's clusters, else one contiguous run from the first cluster, cut
    // where the cluster heap or the volume ends.
    StreamExtents streamExtents(uint32_t start, uint64_t length, bool noFatChain) const;
    // A directory's bytes (at most 64 MiB); without a length the chain decides it.
    Bytes readChain(uint32_t start, std::optional<uint64_t> length, bool noFatChain);
    // Finds the allocation bitmap's entry among the root's entries and loads it.
    void loadBitmap(ByteSpan root);

    // The first cluster of count clusters from first that the bitmap marks as
    // in use; none when no bitmap is loaded or none is set.
    std::optional<uint64_t> firstInUse(uint64_t first, uint64_t count) const;

    ExFATContext(const ExFATContext&) = delete;
    ExFATContext& operator=(const ExFATContext&) = delete;

private:
    explicit ExFATContext(DiskSource& source) : src(source) {}
    // The volume's bytes on the source: no read of the reader goes past them.
    ByteRange volumeRange() const;
    Bytes readExtents(const std::vector<Extent>& extents, uint64_t maxBytes);

    // Chains of the FAT above, set up once the geometry is known.
    std::optional<ClusterChains> chains_;
};

// The state of one walk over a volume's directories.
struct ExFATWalker {
    struct Pending {
        FileNodePtr node;
        uint32_t cluster = 0;
        uint64_t length = 0;
        bool noFatChain = false;
        bool deleted = false;
        int depth = 0;
    };

    ExFATWalker(ExFATContext& context, WorkProgress* progress);

    ExFATContext& ctx;
    WorkProgress* progress = nullptr;
    std::unordered_set<uint32_t> visited;  // first clusters of the directories read
    std::optional<std::string> label;
    std::vector<Pending> pending;
    int64_t directoriesRead = 0;
    // Directory bytes still allowed to be read: twice the cluster heap, so that
    // folders that point into each other cannot make the walk read without end.
    uint64_t budget = 0;
    bool budgetSpent = false;

    void parseEntries(ByteSpan bytes, const FileNodePtr& into, bool deleted, int depth, bool isRoot);
    void processPending();
    // A file's placement and rating. A live file's FAT chain places it as far
    // as the chain reaches; a file placed short of its valid data is partial,
    // and its unplaced rest is left unknown rather than read as zeros.
    void fill(FileNode& node, uint32_t first, uint64_t length, uint64_t valid, bool noFatChain, bool deleted);
    // A deleted file rated by the allocation bitmap over the clusters of its extents.
    void rateDeleted(FileNode& node, const std::vector<Extent>& list) const;
};

}  // namespace sovanta
