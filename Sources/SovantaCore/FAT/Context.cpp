#include "SovantaCore/FAT/Context.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "SovantaCore/FAT/Layout.h"
#include "SovantaCore/FAT/Names.h"
#include "SovantaCore/FileReader.h"

namespace sovanta {

using namespace fat;

namespace {

ClusterTableFormat tableFormat(FileSystemType type) {
    switch (type) {
        case FileSystemType::fat12: return ClusterTableFormat::fat12;
        case FileSystemType::fat16: return ClusterTableFormat::fat16;
        default: return ClusterTableFormat::fat32;
    }
}

}  // namespace

// MARK: FATGeometry

std::optional<FATGeometry> FATGeometry::decode(uint64_t base, ByteSpan boot, FileSystemType type) {
    uint64_t bps = u16le(boot, bootBytesPerSector);
    uint64_t spc = u8(boot, bootSectorsPerCluster);
    uint64_t reserved = u16le(boot, bootReservedSectors);
    uint64_t fats = u8(boot, bootFATCount);
    uint64_t rootEntries = u16le(boot, bootRootEntries);
    uint64_t total = u16le(boot, bootTotalSectors16);
    if (total == 0) total = u32le(boot, bootTotalSectors32);
    uint64_t fatSize = u16le(boot, bootFATSize16);
    if (fatSize == 0) fatSize = u32le(boot, bootFATSize32);
    if (spc == 0 || bps == 0) return std::nullopt;

    // Every term is a 16- or 32-bit field: these 64-bit sums and products cannot wrap.
    uint64_t rootDirBytes = rootEntries * 32;
    uint64_t rootDirSectors = (rootDirBytes + bps - 1) / bps;
    uint64_t firstDataSector = reserved + fatSize * fats + rootDirSectors;
    if (total <= firstDataSector) return std::nullopt;
    if (base > std::numeric_limits<uint64_t>::max() - total * bps) return std::nullopt;

    FATGeometry g;
    g.base = base;
    g.type = type;
    g.bps = bps;
    g.clusterSize = bps * spc;
    g.fatOffset = base + reserved * bps;
    g.fatBytes = fatSize * bps;
    g.fatCount = fats;
    g.rootDirOffset = base + (reserved + fatSize * fats) * bps;
    g.rootDirSize = rootDirBytes;
    g.dataOffset = base + firstDataSector * bps;
    g.clusterCount = static_cast<uint32_t>(std::min<uint64_t>((total - firstDataSector) / spc, maxClusterCount));
    g.volumeSize = bps * total;
    if (type == FileSystemType::fat32 && boot.size() >= 48) g.rootCluster = u32le(boot, bootRootCluster) & 0x0FFFFFFF;

    std::string label = trimBlanks(ascii(boot, type == FileSystemType::fat32 ? bootLabel32 : bootLabel16, 11));
    g.label = label == "NO NAME" ? "" : label;
    return g;
}

// MARK: FATContext

FATContext::FATContext(DiskSource& source, const FATGeometry& geometry)
    : FATGeometry(geometry),
      src(source),
      chains_(fat, tableFormat(geometry.type), geometry.clusterCount, geometry.dataOffset, geometry.clusterSize) {}

std::unique_ptr<FATContext> FATContext::make(DiskSource& source, uint64_t base, ByteSpan boot, FileSystemType type) {
    auto geometry = FATGeometry::decode(base, boot, type);
    if (!geometry) return nullptr;
    return load(source, *geometry);
}

std::unique_ptr<FATContext> FATContext::load(DiskSource& source, const FATGeometry& geometry) {
    auto ctx = std::make_unique<FATContext>(source, geometry);
    ctx->loadFAT();
    return ctx;
}

void FATContext::loadFAT() {
    if (fatBytes == 0 || fatBytes > maxFATBytes) {
        fatUnavailable = true;
        return;
    }
    // Entries past the last cluster are never consulted; nor is what lies
    // past the volume or the source (it would read as free).
    uint64_t entries = uint64_t{clusterCount} + 2;
    uint64_t wanted = type == FileSystemType::fat12   ? entries * 3 / 2 + 2
                      : type == FileSystemType::fat16 ? entries * 2
                                                      : entries * 4;
    wanted = std::min(wanted, fatBytes);
    auto first = FileReader::readRegion(src, {{fatOffset, wanted}}, wanted, volumeRange());
    if (first.badBytes > 0 && fatCount >= 2) {
        // Sectors that could not be read came back as zeros; the second copy
        // may still hold them.
        Bytes second = read({{fatOffset + fatBytes, first.bytes.size()}});
        ByteSpan a(first.bytes), b(second);
        for (uint64_t step = 0; step < b.size(); step += bps) {
            int64_t o = static_cast<int64_t>(step), n = static_cast<int64_t>(std::min<uint64_t>(bps, b.size() - step));
            if (isAllZero(a, o, n) && !isAllZero(b, o, n))
                std::copy(second.begin() + o, second.begin() + o + n, first.bytes.begin() + o);
        }
    }
    fat = std::move(first.bytes);
}

Bytes FATContext::read(const std::vector<Extent>& extents) const {
    uint64_t total = 0;
    for (auto& extent : extents) total += extent.length;
    return FileReader::readRegion(src, extents, total, volumeRange()).bytes;
}

Bytes FATContext::readCluster(uint32_t cluster) const { return read({{clusterOffset(cluster), clusterSize}}); }

FATContext::Chain FATContext::chain(uint32_t start, uint64_t maxClusters) const {
    if (!fatUnavailable) return chains_.follow(start, maxClusters);
    Chain result;
    if (!isValidCluster(start)) return result;
    uint64_t count = std::max<uint64_t>(1, std::min<uint64_t>(maxClusters, uint64_t{clusterCount} + 2 - start));
    result.clusters.reserve(count);
    for (uint64_t i = 0; i < count; ++i) result.clusters.push_back(static_cast<uint32_t>(start + i));
    result.complete = true;
    result.end = ClusterChainEnd::limit;
    return result;
}

uint64_t FATContext::clustersInUse(uint32_t first, uint64_t count) const {
    if (fatUnavailable || count == 0) return 0;
    // One bit per cluster the table describes (entries beyond it read as free)
    // and a running count per 64 clusters: each question is then two lookups.
    if (usedBits_.empty()) {
        uint64_t n = std::min<uint64_t>(chains_.entriesHeld(), uint64_t{clusterCount} + 2);
        usedBits_.assign(n / 64 + 1, 0);
        for (uint64_t c = 2; c < n; ++c)
            if (entry(static_cast<uint32_t>(c)) != 0) usedBits_[c / 64] |= uint64_t{1} << (c % 64);
        usedRank_.assign(usedBits_.size() + 1, 0);
        for (size_t w = 0; w < usedBits_.size(); ++w)
            usedRank_[w + 1] = usedRank_[w] + static_cast<uint64_t>(std::popcount(usedBits_[w]));
    }
    auto rank = [&](uint64_t x) {
        uint64_t w = std::min<uint64_t>(x / 64, usedBits_.size());
        if (w == usedBits_.size()) return usedRank_[w];
        uint64_t low = usedBits_[w] & ((uint64_t{1} << (x % 64)) - 1);
        return usedRank_[w] + static_cast<uint64_t>(std::popcount(low));
    };
    return rank(uint64_t{first} + count) - rank(first);
}

}  // namespace sovanta
