#include "SovantaCore/FAT/Chain.h"

#include <algorithm>

namespace sovanta {

ClusterChains::ClusterChains(const Bytes& table, ClusterTableFormat format, uint32_t clusterCount,
                             uint64_t dataOffset, uint64_t clusterSize)
    : table_(table), format_(format), clusterCount_(clusterCount), dataOffset_(dataOffset), clusterSize_(clusterSize) {
    switch (format) {
        case ClusterTableFormat::fat12: endOfChain_ = 0xFF8, badCluster_ = 0xFF7; break;
        case ClusterTableFormat::fat16: endOfChain_ = 0xFFF8, badCluster_ = 0xFFF7; break;
        case ClusterTableFormat::fat32: endOfChain_ = 0x0FFFFFF8, badCluster_ = 0x0FFFFFF7; break;
        case ClusterTableFormat::exfat: endOfChain_ = 0xFFFFFFF8, badCluster_ = 0xFFFFFFF7; break;
    }
}

uint32_t ClusterChains::entry(uint32_t cluster) const {
    uint64_t c = cluster;
    switch (format_) {
        case ClusterTableFormat::fat12: {
            uint64_t o = c + c / 2;
            if (o + 2 > table_.size()) return 0;
            uint16_t v = u16le(table_, static_cast<int64_t>(o));
            return (c & 1) ? v >> 4 : v & 0xFFF;
        }
        case ClusterTableFormat::fat16: return u16le(table_, static_cast<int64_t>(2 * c));
        case ClusterTableFormat::fat32: return u32le(table_, static_cast<int64_t>(4 * c)) & 0x0FFFFFFF;
        case ClusterTableFormat::exfat: return u32le(table_, static_cast<int64_t>(4 * c));
    }
    return 0;
}

uint64_t ClusterChains::entriesHeld() const {
    switch (format_) {
        case ClusterTableFormat::fat12: return table_.size() * 2 / 3;
        case ClusterTableFormat::fat16: return table_.size() / 2;
        default: return table_.size() / 4;
    }
}

ClusterChain ClusterChains::follow(uint32_t start, uint64_t maxClusters) const {
    ClusterChain result;
    if (!isValid(start)) return result;
    // Only clusters the table describes can lead on; any other ends the chain
    // right after it, so the marks need to cover just those.
    if (marks_.empty()) marks_.assign(std::min<uint64_t>(entriesHeld(), uint64_t{clusterCount_} + 2) / 64 + 1, 0);
    auto marked = [&](uint32_t c) { return c / 64 < marks_.size() && (marks_[c / 64] >> (c % 64)) & 1; };
    auto flip = [&](uint32_t c) {
        if (c / 64 < marks_.size()) marks_[c / 64] ^= uint64_t{1} << (c % 64);
    };

    // The step budget: no chain is longer than the volume has clusters.
    const uint64_t limit = std::min<uint64_t>(maxClusters, clusterCount_);
    uint32_t current = start;
    while (true) {
        if (result.clusters.size() >= limit) {
            result.end = ClusterChainEnd::limit;
            break;
        }
        if (marked(current)) {
            result.end = ClusterChainEnd::loop;
            break;
        }
        result.clusters.push_back(current);
        flip(current);
        uint32_t next = entry(current);
        if (next >= endOfChain_) {
            result.end = ClusterChainEnd::endMark;
            break;
        }
        if (!isValid(next)) {
            result.end = next == badCluster_ ? ClusterChainEnd::badCluster : ClusterChainEnd::broken;
            break;
        }
        current = next;
    }
    for (uint32_t c : result.clusters) flip(c);  // clears them again
    result.complete = result.end == ClusterChainEnd::endMark || result.clusters.size() >= limit;
    return result;
}

std::vector<Extent> ClusterChains::extents(const std::vector<uint32_t>& clusters, uint64_t size) const {
    std::vector<Extent> out;
    uint64_t owed = size;
    size_t i = 0;
    while (i < clusters.size() && owed > 0) {
        size_t j = i + 1;
        while (j < clusters.size() && clusters[j] == clusters[j - 1] + 1) ++j;
        uint64_t length = std::min<uint64_t>(owed, (j - i) * clusterSize_);
        out.push_back({clusterOffset(clusters[i]), length});
        owed -= length;
        i = j;
    }
    return out;
}

}  // namespace sovanta
