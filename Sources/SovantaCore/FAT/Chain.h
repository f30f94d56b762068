// Cluster chains of a file allocation table held in memory, as FAT12, FAT16,
// FAT32 and exFAT keep them, and the extents their clusters make. The FAT and
// exFAT readers both follow their chains here.
#pragma once

#include <cstdint>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/Model.h"

namespace sovanta {

// How the entries of a table are laid out and which values end a chain.
enum class ClusterTableFormat { fat12, fat16, fat32, exfat };

// Why a chain stopped.
enum class ClusterChainEnd {
    endMark,      // an end-of-chain entry
    limit,        // as many clusters as were asked for, or as the volume has
    broken,       // a free, reserved or out-of-range entry, or one beyond the table
    badCluster,   // an entry marking its next cluster bad
    loop,         // back to a cluster the chain already holds
    invalidStart  // the first cluster is no cluster of the volume
};

struct ClusterChain {
    std::vector<uint32_t> clusters;
    // Ended by an end-of-chain mark or at the limit.
    bool complete = false;
    ClusterChainEnd end = ClusterChainEnd::invalidStart;
};

// A view of one table with the geometry its chains need. Following a chain
// keeps scratch marks for its loop guard: one thread at a time.
class ClusterChains {
public:
    // table is the owner's bytes, read in place: they may change (a repair),
    // but not move or change size once a chain has been followed.
    ClusterChains(const Bytes& table, ClusterTableFormat format, uint32_t clusterCount, uint64_t dataOffset,
                  uint64_t clusterSize);

    // Clusters 2 ... clusterCount + 1 exist.
    bool isValid(uint64_t cluster) const { return cluster >= 2 && cluster - 2 < clusterCount_; }
    uint64_t clusterOffset(uint32_t cluster) const { return dataOffset_ + (uint64_t{cluster} - 2) * clusterSize_; }
    // The entry of a cluster; 0 (free) when it lies beyond the table.
    uint32_t entry(uint32_t cluster) const;
    // The smallest entry value that ends a chain.
    uint32_t endOfChain() const { return endOfChain_; }
    // How many clusters, from 0, the table has entries for.
    uint64_t entriesHeld() const;

    // The chain from start, at most min(maxClusters, clusterCount) clusters,
    // each at most once.
    ClusterChain follow(uint32_t start, uint64_t maxClusters) const;
    // Runs of consecutive clusters as extents, cut to sum to
    // min(size, clusters × cluster size).
    std::vector<Extent> extents(const std::vector<uint32_t>& clusters, uint64_t size) const;

private:
    const Bytes& table_;
    ClusterTableFormat format_;
    uint32_t clusterCount_;
    uint64_t dataOffset_;
    uint64_t clusterSize_;
    uint32_t endOfChain_;
    uint32_t badCluster_;
    // One bit per cluster the table describes; every chain clears its own
    // marks before it returns.
    mutable std::vector<uint64_t> marks_;
};

}  // namespace sovanta
