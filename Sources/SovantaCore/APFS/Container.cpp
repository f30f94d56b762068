// The container layer: superblock choice, checksums, B-tree nodes and object maps.
#include <algorithm>
#include <unordered_set>

#include "SovantaCore/APFS/Container.h"
#include "SovantaCore/APFS/Records.h"
#include "SovantaCore/Binary.h"

namespace sovanta {

namespace {

// Object header and container superblock fields.
constexpr int64_t objXID = 16;
constexpr int64_t objType = 24;
constexpr int64_t objSubtype = 28;
constexpr int64_t nxMagic = 32;
constexpr int64_t nxBlockSize = 36;
constexpr int64_t nxBlockCount = 40;
constexpr int64_t nxCheckpointBlocks = 104;
constexpr int64_t nxCheckpointBase = 112;
constexpr uint16_t typeSuperblock = 1;
constexpr uint32_t subtypeFSTree = 14;

// B-tree node header.
constexpr int64_t nodeFlags = 32;
constexpr int64_t nodeLevel = 34;
constexpr int64_t nodeKeyCount = 36;
constexpr int64_t nodeTOCOffset = 40;
constexpr int64_t nodeTOCLength = 42;
constexpr int64_t nodeHeaderSize = 56;
constexpr int64_t treeInfoSize = 40;  // at the end of a root node
constexpr uint16_t flagRoot = 1;
constexpr uint16_t flagFixed = 4;
constexpr uint32_t maxKeys = 9999;

constexpr uint32_t maxCheckpointBlocks = 10000;
constexpr int maxOMapDepth = 15;

}  // namespace

// MARK: Checksums and the leaf test

namespace APFSParser {

uint64_t fletcher64(ByteSpan block) {
    constexpr uint64_t mod = 0xFFFFFFFFULL;
    uint64_t s1 = 0, s2 = 0;
    size_t words = block.size() >= 12 ? (block.size() - 8) / 4 : 0;
    const uint8_t* p = block.data() + 8;
    // Reducing every 1024 words keeps both sums far below 2^64 and gives the
    // same residues as reducing after every word.
    size_t i = 0;
    while (i < words) {
        size_t end = std::min(words, i + 1024);
        for (; i < end; ++i, p += 4) {
            uint64_t w = static_cast<uint64_t>(p[0]) | (static_cast<uint64_t>(p[1]) << 8) |
                         (static_cast<uint64_t>(p[2]) << 16) | (static_cast<uint64_t>(p[3]) << 24);
            s1 += w;
            s2 += s1;
        }
        s1 %= mod;
        s2 %= mod;
    }
    uint64_t c1 = mod - ((s1 + s2) % mod);
    uint64_t c2 = mod - ((s1 + c1) % mod);
    return (c2 << 32) | c1;
}

bool checksumOK(ByteSpan block) {
    if (block.size() < 64) return false;
    uint64_t stored = u64le(block, 0);
    return stored != 0 && stored == fletcher64(block);
}

bool checksumOK(ByteSpan buffer, int64_t offset, int64_t length) {
    int64_t size = static_cast<int64_t>(buffer.size());
    if (offset < 0 || length < 0 || length > size || offset > size - length) return false;
    return checksumOK(buffer.subspan(static_cast<size_t>(offset), static_cast<size_t>(length)));
}

bool looksLikeFSTreeLeaf(ByteSpan buffer, int64_t offset, int64_t blockSize) {
    int64_t size = static_cast<int64_t>(buffer.size());
    if (offset < 0 || blockSize <= 0 || blockSize > size || offset > size - blockSize) return false;
    if ((u16le(buffer, offset + objType) & ~1) != 2) return false;
    if (u32le(buffer, offset + objSubtype) != subtypeFSTree) return false;
    if (u16le(buffer, offset + nodeLevel) != 0) return false;
    return checksumOK(buffer, offset, blockSize);
}

std::vector<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                             WorkProgress* progress) {
    auto container = APFSContainer::open(source, offset);
    if (!container) return {};
    return container->volumes(origin, progress);
}

}  // namespace APFSParser

// MARK: Opening a container

APFSContainer::APFSContainer(DiskSource& src_, uint64_t base_, uint64_t blockSize_, uint64_t blockCount_)
    : src(src_), base(base_), blockSize(blockSize_), blockCount(blockCount_), xid(0) {}

std::shared_ptr<APFSContainer> APFSContainer::open(DiskSource& src, uint64_t base) {
    Bytes head = src.readReporting(base, 4096).data;
    if (!matches(head, "NXSB", nxMagic)) return nullptr;
    uint32_t size = u32le(head, nxBlockSize);
    if (size < 4096 || size > 65536 || (size & (size - 1)) != 0) return nullptr;
    auto container = std::make_shared<APFSContainer>(src, base, size, u64le(head, nxBlockCount));

    Bytes block0 = src.readReporting(base, size).data;
    uint64_t best = 0;
    if (APFSParser::checksumOK(block0) && u64le(block0, objXID) != 0) {
        best = u64le(block0, objXID);
    } else {
        container->notes.push_back("Containerens superblok har forkert kontrolsum.");
    }
    Bytes chosen = std::move(block0);

    // The checkpoint descriptor area holds newer copies of the superblock when
    // it is one contiguous run; a strictly newer valid copy wins.
    uint32_t count = u32le(chosen, nxCheckpointBlocks);
    uint64_t first = u64le(chosen, nxCheckpointBase);
    if ((count & 0x80000000U) == 0 && count != 0 && count <= maxCheckpointBlocks) {
        for (uint32_t k = 0; k < count; ++k) {
            if (first > UINT64_MAX - k) break;
            auto offset = apfs::byteOffset(base, first + k, size);
            if (!offset || *offset >= src.size) break;
            Bytes candidate = src.readReporting(*offset, size).data;
            if ((u32le(candidate, objType) & 0xFFFF) != typeSuperblock) continue;
            if (!matches(candidate, "NXSB", nxMagic) || !APFSParser::checksumOK(candidate)) continue;
            uint64_t id = u64le(candidate, objXID);
            if (id > best) {
                best = id;
                chosen = std::move(candidate);
            }
        }
    }
    container->sb = std::move(chosen);
    // Without any valid superblock every object-map entry must pass the transaction test.
    container->xid = best == 0 ? UINT64_MAX : best;
    return container;
}

std::optional<uint64_t> APFSContainer::blockOffset(uint64_t b) const {
    if (b == 0) return std::nullopt;
    if (blockCount != 0 && b >= blockCount) return std::nullopt;
    auto offset = apfs::byteOffset(base, b, blockSize);
    if (!offset) return std::nullopt;
    if (blockSize > src.size || *offset > src.size - blockSize) return std::nullopt;
    return offset;
}

Bytes APFSContainer::readAt(uint64_t offset) const {
    return src.readReporting(offset, static_cast<int64_t>(blockSize)).data;
}

// MARK: B-tree nodes

std::optional<APFSContainer::Node> APFSContainer::parseNode(ByteSpan block, int fixedKey, int fixedValue) const {
    if (!APFSParser::checksumOK(block)) return std::nullopt;
    uint16_t type = static_cast<uint16_t>(u32le(block, objType) & 0xFFFF);
    if (type != 2 && type != 3) return std::nullopt;

    uint16_t flags = u16le(block, nodeFlags);
    uint16_t level = u16le(block, nodeLevel);
    uint32_t keyCount = u32le(block, nodeKeyCount);
    int64_t tocOffset = u16le(block, nodeTOCOffset);
    int64_t tocLength = u16le(block, nodeTOCLength);
    int64_t size = static_cast<int64_t>(block.size());
    int64_t keyStart = nodeHeaderSize + tocOffset + tocLength;
    if (keyCount > maxKeys || keyStart >= size) return std::nullopt;

    bool fixed = (flags & flagFixed) != 0;
    // Values count backwards from the end of the value area; a root node ends
    // with the tree information. The container's block size places the end.
    int64_t valueEnd = static_cast<int64_t>(blockSize) - ((flags & flagRoot) ? treeInfoSize : 0);
    int64_t tocStart = nodeHeaderSize + tocOffset;

    Node node;
    node.level = level;
    node.records.reserve(std::min<uint32_t>(keyCount, static_cast<uint32_t>(size / 4)));
    for (uint32_t i = 0; i < keyCount; ++i) {
        int64_t keyOffset, keyLength, valueOffset, valueLength;
        if (fixed) {
            int64_t entry = tocStart + 4 * static_cast<int64_t>(i);
            keyOffset = u16le(block, entry);
            valueOffset = u16le(block, entry + 2);
            keyLength = fixedKey;
            valueLength = level == 0 ? fixedValue : 8;
        } else {
            int64_t entry = tocStart + 8 * static_cast<int64_t>(i);
            keyOffset = u16le(block, entry);
            keyLength = u16le(block, entry + 2);
            valueOffset = u16le(block, entry + 4);
            valueLength = u16le(block, entry + 6);
        }
        if (valueOffset == 0xFFFF) continue;
        int64_t keyPos = keyStart + keyOffset;
        int64_t valuePos = valueEnd - valueOffset;
        if (keyLength < 1 || valueLength < 0) continue;
        if (keyLength > size || keyPos > size - keyLength) continue;
        if (valuePos < 0 || valueLength > size || valuePos > size - valueLength) continue;
        node.records.push_back(
            NodeRecord{Bytes(block.begin() + keyPos, block.begin() + keyPos + keyLength),
                       Bytes(block.begin() + valuePos, block.begin() + valuePos + valueLength)});
    }
    return node;
}

// MARK: Object maps

std::unordered_map<uint64_t, uint64_t> APFSContainer::loadOMap(uint64_t block, uint64_t maxXID) const {
    std::unordered_map<uint64_t, uint64_t> result;
    auto offset = blockOffset(block);
    if (!offset) return result;
    Bytes omap = readAt(*offset);
    if (!APFSParser::checksumOK(omap)) return result;

    struct Kept {
        uint64_t xid;
        uint64_t physical;
    };
    std::unordered_map<uint64_t, Kept> kept;
    std::vector<std::pair<uint64_t, int>> stack{{u64le(omap, 48), 0}};
    std::unordered_set<uint64_t> visited;
    while (!stack.empty()) {
        auto [number, depth] = stack.back();
        stack.pop_back();
        if (depth > maxOMapDepth || visited.count(number)) continue;
        auto at = blockOffset(number);
        if (!at) continue;
        Bytes bytes = readAt(*at);
        auto node = parseNode(bytes, 16, 16);
        if (!node) continue;
        visited.insert(number);
        for (const auto& record : node->records) {
            if (node->level == 0) {
                uint64_t oid = u64le(record.key, 0);
                uint64_t recordXID = u64le(record.key, 8);
                uint32_t flags = record.value.size() >= 4 ? u32le(record.value, 0) : 0;
                uint64_t physical = record.value.size() >= 16 ? u64le(record.value, 8) : 0;
                if (recordXID > maxXID || (flags & 1)) continue;
                auto found = kept.find(oid);
                if (found == kept.end())
                    kept.emplace(oid, Kept{recordXID, physical});
                else if (found->second.xid < recordXID)
                    found->second = Kept{recordXID, physical};
            } else {
                stack.emplace_back(u64le(record.value, 0), depth + 1);
            }
        }
    }
    result.reserve(kept.size());
    for (const auto& [oid, entry] : kept) result.emplace(oid, entry.physical);
    return result;
}

}  // namespace sovanta
