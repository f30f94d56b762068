#include "SovantaCore/ExFAT/Context.h"

#include <algorithm>
#include <cstring>

#include "SovantaCore/FAT/Limits.h"
#include "SovantaCore/FileReader.h"

namespace sovanta {

namespace {

// Boot sector fields, offsets from the volume start.
constexpr int64_t bootName = 3;
constexpr int64_t bootVolumeLength = 72;
constexpr int64_t bootFatOffset = 80;
constexpr int64_t bootFatLength = 84;
constexpr int64_t bootHeapOffset = 88;
constexpr int64_t bootClusterCount = 92;
constexpr int64_t bootRootCluster = 96;
constexpr int64_t bootBytesPerSectorShift = 108;
constexpr int64_t bootSectorsPerClusterShift = 109;

// Directory entry types.
constexpr uint8_t typeEnd = 0x00;
constexpr uint8_t typeBitmap = 0x81;
constexpr uint8_t typeLabel = 0x83;
constexpr uint8_t typeFile = 0x85;
constexpr uint8_t typeFileDeleted = 0x05;
constexpr uint8_t typeStream = 0xC0;
constexpr uint8_t typeStreamDeleted = 0x40;
constexpr uint8_t typeName = 0xC1;
constexpr uint8_t typeNameDeleted = 0x41;
constexpr int64_t entrySize = 32;

constexpr uint16_t attributeDirectory = 0x10;
constexpr uint8_t flagNoFatChain = 0x02;

constexpr uint64_t maxBitmapBytes = 536870912;  // 512 MiB

const char* const noteNoBitmap = "Allokeringsbitmap mangler – chancer for slettede filer er ukendte.";
const char* const noteReused = "Klyngerne er genbrugt af andre filer";
const char* const notePastHeap = "Dele af filen ligger ud over filsystemets slutning";
const char* const noteWalkCut = "Mappestrukturen er beskadiget – ikke alle mapper kunne læses.";

uint64_t ceilDiv(uint64_t a, uint64_t b) { return a / b + (a % b != 0); }

}  // namespace

// MARK: - Context

std::unique_ptr<ExFATContext> ExFATContext::make(DiskSource& src, uint64_t base, ByteSpan boot) {
    if (boot.size() < static_cast<size_t>(bootBytesPerSectorShift + 1)) return nullptr;
    unsigned sectorShift = u8(boot, bootBytesPerSectorShift);
    unsigned clusterShift = u8(boot, bootSectorsPerClusterShift);
    if (sectorShift < 9 || sectorShift > 12 || sectorShift + clusterShift > 25) return nullptr;

    std::unique_ptr<ExFATContext> ctx(new ExFATContext(src));
    ctx->base = base;
    ctx->bps = uint64_t{1} << sectorShift;
    ctx->clusterSize = ctx->bps << clusterShift;
    ctx->heapOffset = base + uint64_t{u32le(boot, bootHeapOffset)} * ctx->bps;
    ctx->clusterCount = u32le(boot, bootClusterCount);
    ctx->rootCluster = u32le(boot, bootRootCluster);
    uint64_t length = u64le(boot, bootVolumeLength);
    // A corrupt length must not wrap around into a small size.
    ctx->volumeSize = length > UINT64_MAX >> sectorShift ? UINT64_MAX : length << sectorShift;
    if (ctx->clusterCount == 0 || ctx->rootCluster < 2) return nullptr;
    ctx->chains_.emplace(ctx->fat, ClusterTableFormat::exfat, ctx->clusterCount, ctx->heapOffset, ctx->clusterSize);

    uint64_t fatBytes = uint64_t{u32le(boot, bootFatLength)} * ctx->bps;
    uint64_t wanted = std::min(uint64_t{ctx->clusterCount} * 4 + 8, fatBytes);
    if (fatBytes != 0 && wanted <= fat::maxFATBytes) {
        // What lies past the volume or the source would read as zeros, which
        // end every chain just as a FAT cut short does: it is not read.
        uint64_t start = base + uint64_t{u32le(boot, bootFatOffset)} * ctx->bps;
        ctx->fat = ctx->readExtents({{start, wanted}}, wanted);
    }
    return ctx;
}

ExFATContext::StreamExtents ExFATContext::streamExtents(uint32_t start, uint64_t length, bool noFatChain) const {
    if (length == 0 || !isValid(start)) return {};
    uint64_t needed = ceilDiv(length, clusterSize);
    if (!noFatChain && !fat.empty()) {
        auto found = chain(start, needed);
        if (found.clusters.size() == needed) return {extents(found.clusters, length), true};
    }
    // The run ends where the cluster heap or the volume does.
    const uint64_t at = clusterOffset(start);
    const uint64_t end = std::min(heapOffset + uint64_t{clusterCount} * clusterSize, volumeRange().upper);
    if (at >= end) return {};
    return {{Extent{at, std::min(end - at, length)}}, false};
}

ByteRange ExFATContext::volumeRange() const {
    return {base, volumeSize > UINT64_MAX - base ? UINT64_MAX : base + volumeSize};
}

Bytes ExFATContext::readExtents(const std::vector<Extent>& list, uint64_t maxBytes) {
    return FileReader::readRegion(src, list, maxBytes, volumeRange(), FileReader::RegionHoles::skip).bytes;
}

Bytes ExFATContext::readChain(uint32_t start, std::optional<uint64_t> length, bool noFatChain) {
    if (!length) {
        // The chain itself gives the length; its clusters are what the stream
        // extents would find again for that length.
        auto found = chain(start, fat::maxDirectoryBytes / clusterSize);
        if (found.clusters.empty()) return {};
        return readExtents(extents(found.clusters, found.clusters.size() * clusterSize), fat::maxDirectoryBytes);
    }
    return readExtents(streamExtents(start, std::min(*length, fat::maxDirectoryBytes), noFatChain).extents,
                       fat::maxDirectoryBytes);
}

void ExFATContext::loadBitmap(ByteSpan root) {
    for (size_t at = 0; at + entrySize <= root.size(); at += entrySize) {
        uint8_t type = root[at];
        if (type == typeEnd) return;
        if (type != typeBitmap) continue;
        uint32_t first = u32le(root, static_cast<int64_t>(at) + 20);
        uint64_t length = u64le(root, static_cast<int64_t>(at) + 24);
        if (length == 0 || length > maxBitmapBytes) return;
        // Bits past the last cluster are never consulted.
        length = std::min<uint64_t>(length, ceilDiv(clusterCount, 8));
        bitmap = readExtents(streamExtents(first, length, false).extents, length);
        return;
    }
}

std::optional<uint64_t> ExFATContext::firstInUse(uint64_t first, uint64_t count) const {
    if (bitmap.empty() || count == 0 || first < 2) return std::nullopt;
    uint64_t bits = std::min<uint64_t>(uint64_t{clusterCount}, uint64_t{bitmap.size()} * 8);
    uint64_t lo = first - 2;
    if (lo >= bits) return std::nullopt;
    uint64_t hi = count > bits - lo ? bits : lo + count;
    uint64_t bit = lo;
    // Bit by bit up to a byte boundary, then whole bytes, then bit by bit again.
    for (; bit < hi && bit % 8 != 0; ++bit)
        if (bitmap[bit / 8] & (1u << (bit % 8))) return bit + 2;
    for (; hi - bit >= 8; bit += 8)
        if (bitmap[bit / 8] != 0) break;
    for (; bit < hi; ++bit)
        if (bitmap[bit / 8] & (1u << (bit % 8))) return bit + 2;
    return std::nullopt;
}

// MARK: - Walker

ExFATWalker::ExFATWalker(ExFATContext& context, WorkProgress* workProgress)
    : ctx(context), progress(workProgress), budget(2 * uint64_t{context.clusterCount} * context.clusterSize) {}

void ExFATWalker::parseEntries(ByteSpan bytes, const FileNodePtr& into, bool deleted, int depth, bool isRoot) {
    const size_t count = bytes.size() / entrySize;
    size_t i = 0;
    while (i < count) {
        const int64_t at = static_cast<int64_t>(i * entrySize);
        const uint8_t type = bytes[static_cast<size_t>(at)];
        if (type == typeEnd) return;
        if (type == typeLabel) {
            if (isRoot) label = utf16le(bytes, at + 2, std::min<int64_t>(u8(bytes, at + 1), 11));
            ++i;
            continue;
        }
        if (type != typeFile && type != typeFileDeleted) {
            ++i;
            continue;
        }
        const bool live = type == typeFile;
        const size_t secondaries = u8(bytes, at + 1);
        if (secondaries < 2 || secondaries > 18 || secondaries >= count - i) {
            ++i;
            continue;
        }
        const int64_t stream = at + entrySize;
        bool wellFormed = u8(bytes, stream) == (live ? typeStream : typeStreamDeleted);
        for (size_t k = 2; wellFormed && k <= secondaries; ++k)
            wellFormed = u8(bytes, at + static_cast<int64_t>(k) * entrySize) == (live ? typeName : typeNameDeleted);
        const uint8_t nameLength = u8(bytes, stream + 3);
        if (!wellFormed || nameLength == 0) {
            ++i;
            continue;
        }

        // The name's units, 15 per name entry, joined before decoding so that a
        // surrogate pair split across two entries stays whole.
        Bytes units;
        units.reserve((secondaries - 1) * 30);
        for (size_t k = 2; k <= secondaries; ++k) {
            auto from = bytes.begin() + at + static_cast<int64_t>(k) * entrySize + 2;
            units.insert(units.end(), from, from + 30);
        }
        std::string name = utf16le(units, 0, nameLength);

        const bool isFolder = (u16le(bytes, at + 4) & attributeDirectory) != 0;
        const bool noFatChain = (u8(bytes, stream + 1) & flagNoFatChain) != 0;
        const uint64_t valid = u64le(bytes, stream + 8);
        const uint32_t first = u32le(bytes, stream + 20);
        const uint64_t length = u64le(bytes, stream + 24);
        const EntryStatus status = (!live || deleted) ? EntryStatus::deleted : EntryStatus::existing;

        auto node = FileNode::make(std::move(name), isFolder, isFolder ? 0 : length, status,
                                   isFolder ? Recoverability::unknown : Recoverability::good);
        node->created = TimeConversion::fromExFAT(u32le(bytes, at + 8), u8(bytes, at + 22));
        node->modified = TimeConversion::fromExFAT(u32le(bytes, at + 12), u8(bytes, at + 23));
        node->fsID = first;
        into->add(node);

        if (!isFolder) {
            fill(*node, first, length, valid, noFatChain, status == EntryStatus::deleted);
        } else if (ctx.isValid(first) && length != 0) {
            pending.push_back({node, first, length, noFatChain, status == EntryStatus::deleted, depth + 1});
        }
        i += 1 + secondaries;
    }
}

void ExFATWalker::processPending() {
    while (!pending.empty()) {
        if (progress && progress->isCancelled()) return;
        Pending folder = std::move(pending.back());
        pending.pop_back();
        if (folder.depth > fat::maxDepth || visited.contains(folder.cluster)) continue;
        if (budget == 0) {
            budgetSpent = true;
            pending.clear();
            return;
        }
        visited.insert(folder.cluster);
        ++directoriesRead;
        if (progress && directoriesRead % 50 == 0)
            progress->report(0, "Læser mapper … (" + std::to_string(directoriesRead) + ")");
        Bytes bytes = ctx.readChain(folder.cluster, folder.length, folder.noFatChain);
        budget -= std::min<uint64_t>(budget, bytes.size());
        parseEntries(bytes, folder.node, folder.deleted, folder.depth, false);
    }
}

void ExFATWalker::fill(FileNode& node, uint32_t first, uint64_t length, uint64_t valid, bool noFatChain,
                       bool deleted) {
    if (length == 0) {
        node.recoverability = Recoverability::good;
        node.data = std::vector<Extent>{};
        return;
    }
    if (!ctx.isValid(first)) {
        node.recoverability = Recoverability::poor;
        node.note = fat::badStartNote;
        node.data = NoData{};
        return;
    }
    const uint64_t written = std::min(length, valid);
    std::vector<Extent> list;
    bool chainBroken = false;
    if (!deleted && !noFatChain && !ctx.fat.empty() && written > 0) {
        // A live file's chain is its placement: where it ends before the
        // file does, the rest of the file is not known to lie anywhere.
        const uint64_t needed = ceilDiv(written, ctx.clusterSize);
        auto found = ctx.chain(first, needed);
        list = ctx.extents(found.clusters, written);
        chainBroken = found.clusters.size() < needed;
    } else {
        list = ctx.streamExtents(first, written, noFatChain).extents;
    }
    uint64_t placed = 0;
    for (auto& extent : list) placed += extent.length;
    // Past the valid data length the file reads as zeros; a file cut short
    // ends with its placed bytes instead, and the rest counts as unknown.
    const bool cut = placed < written;
    if (!cut && valid < length) list.push_back({std::nullopt, length - valid});
    node.data = list;
    const char* cutNote = chainBroken ? fat::brokenChainNote : notePastHeap;
    if (!deleted) {
        node.recoverability = cut ? Recoverability::partial : Recoverability::good;
        if (cut) node.note = cutNote;
        return;
    }
    rateDeleted(node, list);
    if (cut) {
        node.recoverability = std::min(node.recoverability, Recoverability::partial);
        if (!node.note) node.note = cutNote;
    }
}

void ExFATWalker::rateDeleted(FileNode& node, const std::vector<Extent>& list) const {
    if (ctx.bitmap.empty()) {
        node.recoverability = Recoverability::unknown;
        return;
    }
    std::optional<uint64_t> firstTested;
    bool firstInUse = false, otherInUse = false;
    for (auto& extent : list) {
        if (!extent.offset) continue;
        uint64_t cluster = (*extent.offset - ctx.heapOffset) / ctx.clusterSize + 2;
        uint64_t count = std::min(ceilDiv(extent.length, ctx.clusterSize), fat::maxTestedClusters);
        if (!firstTested) {
            firstTested = cluster;
            if (ctx.firstInUse(cluster, 1)) {
                firstInUse = true;
                break;
            }
        }
        if (ctx.firstInUse(cluster, count)) otherInUse = true;
    }
    if (firstInUse) {
        node.recoverability = Recoverability::poor;
        node.note = noteReused;
    } else if (otherInUse) {
        node.recoverability = Recoverability::partial;
        node.note = fat::partlyOverwrittenNote;
    } else {
        node.recoverability = Recoverability::good;
    }
}

// MARK: - Parser

namespace ExFATParser {

std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin, WorkProgress* progress,
                               const Bytes* boot) {
    Bytes read;
    if (!boot) read = source.read(offset, 512);
    const Bytes& bootBytes = boot ? *boot : read;
    if (!matches(bootBytes, "EXFAT   ", bootName)) return std::nullopt;
    auto ctx = ExFATContext::make(source, offset, bootBytes);
    if (!ctx) return std::nullopt;

    auto root = FileNode::make("", true, 0, EntryStatus::existing, Recoverability::unknown);
    auto volume = Volume::make(FileSystemType::exfat, "", offset, ctx->volumeSize, root, origin);
    volume->clusterSize = ctx->clusterSize;

    Bytes rootBytes = ctx->readChain(ctx->rootCluster, std::nullopt, false);
    ctx->loadBitmap(rootBytes);

    ExFATWalker walker(*ctx, progress);
    // A folder that points back at the root must not list the root again.
    walker.visited.insert(ctx->rootCluster);
    walker.budget -= std::min<uint64_t>(walker.budget, rootBytes.size());
    walker.parseEntries(rootBytes, root, false, 0, true);
    walker.processPending();

    volume->label = walker.label.value_or("");
    if (ctx->bitmap.empty()) volume->notes.push_back(noteNoBitmap);
    if (walker.budgetSpent) volume->notes.push_back(noteWalkCut);
    root->sortChildren();
    return volume;
}

}  // namespace ExFATParser

}  // namespace sovanta
