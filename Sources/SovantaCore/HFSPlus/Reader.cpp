#include "SovantaCore/HFSPlus/Context.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <unordered_set>

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

#include "SovantaCore/FileReader.h"
#include "SovantaCore/Partitions.h"
#include "SovantaCore/TreeAssembler.h"

namespace sovanta {

namespace {

// Caps on the three metadata files, which are read whole.
constexpr uint64_t overflowCap = 268435456;    // 256 MiB
constexpr uint64_t allocationCap = 536870912;  // 512 MiB
constexpr uint64_t catalogCap = 1073741824;    // 1 GiB
// The allocation test of a deleted file stops after this many blocks.
constexpr uint64_t maxTestedBlocks = 1048576;

constexpr uint32_t rootID = 2;
constexpr uint32_t overflowFileID = 3;
constexpr uint32_t catalogFileID = 4;
constexpr uint32_t allocationFileID = 6;

// Volume header offsets.
constexpr int64_t allocationForkAt = 112;
constexpr int64_t overflowForkAt = 192;
constexpr int64_t catalogForkAt = 272;

// Catalog record types and the file record's length.
constexpr uint16_t folderRecord = 1;
constexpr uint16_t fileRecord = 2;
constexpr size_t fileRecordLength = 248;
constexpr uint8_t compressedFlag = 0x20;  // UF_COMPRESSED in the BSD owner flags

// A hard link is a file of Finder type 'hlnk' and creator 'hfs+'; its data is
// the file "iNode<n>" in the private data folder, n being its special field.
constexpr uint32_t hardLinkType = 0x686C6E6B;     // 'hlnk'
constexpr uint32_t hardLinkCreator = 0x6866732B;  // 'hfs+'
const std::string privateDataFolderName("\0\0\0\0HFS+ Private Data", 21);
// A hard link to a folder (Time Machine makes many) is an empty file of type
// 'fdrp' and creator 'MACS'; the folder is "dir_<n>" in a second private folder.
constexpr uint32_t folderLinkType = 0x66647270;     // 'fdrp'
constexpr uint32_t folderLinkCreator = 0x4D414353;  // 'MACS'


// Unicode canonical composition: HFS+ stores names decomposed.
std::string composed(const std::string& text) {
    bool ascii = std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) return text;
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status) || nfc == nullptr) return text;
    icu::UnicodeString source = icu::UnicodeString::fromUTF8(text);
    icu::UnicodeString result = nfc->normalize(source, status);
    if (U_FAILURE(status)) return text;
    std::string out;
    result.toUTF8String(out);
    return out;
}

std::string folderLinkNote(uint32_t number) {
    return "Henvisning til en mappe – indholdet vises i mappen \".HFS+ Private Directory Data\" som dir_" +
           std::to_string(number);
}

std::string hardLinkMissingNote(uint32_t number) {
    return "Hård link – indholdet (iNode" + std::to_string(number) +
           ") blev ikke fundet i den skjulte datamappe";
}

}  // namespace

HFSFork::HFSFork(ByteSpan bytes, int64_t at) : logicalSize(u64be(bytes, at)) {
    for (int64_t i = 0; i < 8; ++i) {
        HFSRun run{u32be(bytes, at + 16 + 8 * i), u32be(bytes, at + 20 + 8 * i)};
        if (run.count != 0) extents.push_back(run);
    }
}

bool HFSContext::CatalogEntry::isHardLink() const {
    return !isDir && fileType == hardLinkType && creator == hardLinkCreator;
}

bool HFSContext::CatalogEntry::isFolderLink() const {
    return !isDir && fileType == folderLinkType && creator == folderLinkCreator;
}

HFSContext::HFSContext(DiskSource& source, uint64_t volumeBase, Bytes volumeHeader)
    : src(source),
      base(volumeBase),
      blockSize(volumeHeader.size() >= 44 ? u32be(volumeHeader, 40) : 0),
      totalBlocks(volumeHeader.size() >= 48 ? u32be(volumeHeader, 44) : 0),
      header(std::move(volumeHeader)) {}

std::vector<HFSRun> HFSContext::allExtents(const HFSFork& fork, uint32_t fileID) const {
    std::vector<HFSRun> runs = fork.extents;
    auto found = overflow.find(fileID);
    if (found == overflow.end()) return runs;
    uint64_t covered = 0;
    for (const auto& run : runs) covered += run.count;
    std::vector<const OverflowRecord*> records;
    records.reserve(found->second.size());
    for (const auto& record : found->second) records.push_back(&record);
    std::stable_sort(records.begin(), records.end(),
                     [](const OverflowRecord* a, const OverflowRecord* b) { return a->start < b->start; });
    for (const OverflowRecord* record : records) {
        if (record->start != covered) continue;
        for (const auto& run : record->extents) {
            runs.push_back(run);
            covered += run.count;
        }
    }
    return runs;
}

ByteRange HFSContext::volumeRange() const {
    uint64_t volumeBytes;
    if (totalBlocks == 0 || blockSize == 0 || __builtin_mul_overflow(totalBlocks, blockSize, &volumeBytes) ||
        volumeBytes > UINT64_MAX - base)
        return {base, UINT64_MAX};
    return {base, base + volumeBytes};
}

Bytes HFSContext::readFork(const HFSFork& fork, uint32_t fileID, uint64_t cap) const {
    // Only what lies on the volume the header describes and on the source is
    // read: without the volume's bound, a header of a small volume whose fork
    // sizes and extents are damaged made every load read a gigabyte.
    const uint64_t want = std::min(fork.logicalSize, cap);
    std::vector<Extent> extents;
    uint64_t total = 0;
    for (const auto& run : allExtents(fork, fileID)) {
        if (total >= want) break;
        uint64_t at;
        if (__builtin_add_overflow(base, uint64_t{run.start} * blockSize, &at)) break;
        extents.push_back({at, uint64_t{run.count} * blockSize});
        total += extents.back().length;
    }
    return FileReader::readRegion(src, extents, want, volumeRange()).bytes;
}

std::optional<HFSContext::Tree> HFSContext::openTree(Bytes data) {
    if (data.size() < 512) return std::nullopt;
    uint16_t nodeSize = u16be(data, 32);
    if (nodeSize < 512 || (nodeSize & (nodeSize - 1)) != 0) return std::nullopt;  // 32768 is the largest u16 power of two
    Tree tree;
    tree.firstLeaf = u32be(data, 24);
    tree.nodeSize = nodeSize;
    tree.data = std::move(data);
    return tree;
}

void HFSContext::forEachLeafRecord(const Tree& tree, const LeafVisitor& body) {
    const uint64_t count = tree.nodeCount();
    const uint64_t size = static_cast<uint64_t>(tree.nodeSize);
    ByteSpan all(tree.data);

    // The live leaf chain, each node visited once.
    std::vector<bool> onChain(count, false);
    for (uint64_t node = tree.firstLeaf; node != 0 && node < count && !onChain[node];) {
        onChain[node] = true;
        node = u32be(all, static_cast<int64_t>(node * size));
    }

    const int64_t ns = tree.nodeSize;
    for (uint64_t index = 1; index < count; ++index) {
        ByteSpan node = all.subspan(index * size, size);
        if (u8(node, 8) != 0xFF) continue;
        int64_t records = u16be(node, 10);
        if (records < 1 || records > ns / 8 - 1) continue;
        const int64_t limit = ns - 2 * records - 2;
        int64_t previous = 0;
        for (int64_t i = 0; i < records; ++i) {
            int64_t start = u16be(node, ns - 2 * (i + 1));
            int64_t end = u16be(node, ns - 2 * (i + 2));
            if (start <= 13 || start <= previous || end <= start || end > limit) break;
            body(node.subspan(static_cast<size_t>(start), static_cast<size_t>(end - start)), onChain[index]);
            previous = start;
        }
    }
}

void HFSContext::loadOverflow(const Tree& tree) {
    forEachLeafRecord(tree, [this](ByteSpan record, bool live) {
        if (!live || u16be(record, 0) != 10 || u8(record, 2) != 0) return;
        OverflowRecord entry;
        entry.start = u32be(record, 8);
        for (int64_t i = 0; i < 8; ++i) {
            HFSRun run{u32be(record, 12 + 8 * i), u32be(record, 16 + 8 * i)};
            if (run.count != 0) entry.extents.push_back(run);
        }
        overflow[u32be(record, 4)].push_back(std::move(entry));
    });
}

std::optional<HFSContext::CatalogEntry> HFSContext::catalogEntry(ByteSpan record, bool live) {
    if (record.size() < 2) return std::nullopt;
    const int64_t keyLength = u16be(record, 0);
    const int64_t nameLength = u16be(record, 6);
    if (keyLength < 6 || (nameLength >> 8) != 0 || keyLength < 6 + 2 * nameLength) return std::nullopt;

    const int64_t dataAt = 2 + keyLength + (keyLength & 1);
    if (dataAt > static_cast<int64_t>(record.size()) - 2) return std::nullopt;
    ByteSpan data = record.subspan(static_cast<size_t>(dataAt));
    const uint16_t type = u16be(data, 0);
    if (type != folderRecord && type != fileRecord) return std::nullopt;
    if (type == fileRecord && data.size() < fileRecordLength) return std::nullopt;

    CatalogEntry entry;
    entry.parent = u32be(record, 2);
    entry.name = composed(utf16be(record, 8, nameLength));
    entry.isDir = type == folderRecord;
    entry.id = u32be(data, 8);
    entry.created = TimeConversion::fromHFS(u32be(data, 12));
    entry.modified = TimeConversion::fromHFS(u32be(data, 16));
    entry.live = live;
    if (!entry.isDir) {
        entry.compressed = (u8(data, 41) & compressedFlag) != 0;
        entry.special = u32be(data, 44);
        entry.fileType = u32be(data, 48);
        entry.creator = u32be(data, 52);
        entry.fork = HFSFork(data, 88);
    }
    if (entry.id < rootID) return std::nullopt;
    return entry;
}

uint64_t HFSContext::blocksInUse(uint64_t from, uint64_t to) const {
    constexpr uint64_t stretchBytes = 512;  // 4096 blocks
    const uint64_t totalBits = static_cast<uint64_t>(allocation.size()) * 8;
    to = std::min(to, totalBits);
    if (from >= to) return 0;
    auto bitsIn = [this](uint64_t fromByte, uint64_t toByte) {
        uint64_t count = 0;
        for (; fromByte + 8 <= toByte; fromByte += 8) {
            uint64_t word;
            std::memcpy(&word, allocation.data() + fromByte, 8);
            count += static_cast<uint64_t>(std::popcount(word));
        }
        for (; fromByte < toByte; ++fromByte) count += static_cast<uint64_t>(std::popcount(allocation[fromByte]));
        return count;
    };
    if (rankedBytes_ != allocation.size() || rankIndex_.empty()) {
        uint64_t stretches = (allocation.size() + stretchBytes - 1) / stretchBytes;
        rankIndex_.assign(stretches + 1, 0);
        for (uint64_t i = 0; i < stretches; ++i)
            rankIndex_[i + 1] =
                rankIndex_[i] + bitsIn(i * stretchBytes, std::min<uint64_t>((i + 1) * stretchBytes, allocation.size()));
        rankedBytes_ = allocation.size();
    }
    // Set bits of the blocks below p; block b is bit 7 - (b mod 8) of byte b / 8.
    auto rank = [&](uint64_t p) {
        uint64_t byte = p / 8;
        uint64_t stretch = byte / stretchBytes;
        uint64_t count = rankIndex_[stretch] + bitsIn(stretch * stretchBytes, byte);
        if (p % 8 != 0) count += static_cast<uint64_t>(std::popcount(static_cast<uint8_t>(allocation[byte] >> (8 - p % 8))));
        return count;
    };
    return rank(to) - rank(from);
}

void HFSContext::fill(FileNode& node, const HFSFork& fork, uint32_t fileID, const CatalogEntry& entry) const {
    node.size = fork.logicalSize;
    if (entry.compressed) {
        node.recoverability = Recoverability::poor;
        node.note = HFSPlusParser::compressedNote;
        node.data = std::vector<Extent>{};
        return;
    }
    // A deleted file's overflow records cannot be trusted: its id may be reused.
    std::vector<HFSRun> runs = entry.live ? allExtents(fork, fileID) : fork.extents;

    std::vector<Extent> extents;
    uint64_t remaining = fork.logicalSize;
    uint64_t tested = 0;
    bool firstInUse = false;
    bool otherInUse = false;
    for (const auto& run : runs) {
        if (remaining == 0) break;
        // A place past the source's end is kept: the file reader counts
        // those bytes as unreadable. One that overflows ends the list.
        uint64_t runBytes = 0, relative = 0, at = 0;
        if (__builtin_mul_overflow(static_cast<uint64_t>(run.count), blockSize, &runBytes) ||
            __builtin_mul_overflow(static_cast<uint64_t>(run.start), blockSize, &relative) ||
            __builtin_add_overflow(base, relative, &at))
            break;
        uint64_t length = std::min(runBytes, remaining);
        extents.push_back(Extent{at, length});
        remaining -= length;
        if (entry.live || tested >= maxTestedBlocks) continue;
        // The run's blocks in order, up to the file's testing budget; only
        // whether the file's very first block is in use matters apart.
        uint64_t from = run.start;
        uint64_t to = from + std::min<uint64_t>(run.count, maxTestedBlocks - tested);
        if (tested == 0) firstInUse = blocksInUse(from, from + 1) > 0;
        if (blocksInUse(tested == 0 ? from + 1 : from, to) > 0) otherInUse = true;
        tested += to - from;
    }
    // Bytes no extent places are unknown, not a hole: the list ends with the
    // known extents and the file is rated by what is missing.
    const bool incomplete = remaining > 0;
    const bool nothingPlaced = extents.empty();
    node.data = std::move(extents);

    if (incomplete) {
        node.recoverability = nothingPlaced ? Recoverability::poor : Recoverability::partial;
        node.note = HFSPlusParser::fragmentedNote;
    } else if (entry.live) {
        node.recoverability = Recoverability::good;
    } else if (allocation.empty()) {
        node.recoverability = Recoverability::unknown;
    } else if (firstInUse) {
        node.recoverability = Recoverability::poor;
        node.note = HFSPlusParser::reusedNote;
    } else if (otherInUse) {
        node.recoverability = Recoverability::partial;
        node.note = HFSPlusParser::overwrittenNote;
    } else {
        node.recoverability = Recoverability::good;
    }
}

std::unordered_map<uint32_t, HFSContext::CatalogEntry> HFSContext::readCatalog() {
    std::unordered_map<uint32_t, CatalogEntry> entries;
    auto catalog = openTree(readFork(HFSFork(header, catalogForkAt), catalogFileID, catalogCap));
    if (!catalog) return entries;
    // One entry per id: a live record over a stale one, else the later
    // modification date.
    forEachLeafRecord(*catalog, [&entries](ByteSpan record, bool live) {
        auto entry = catalogEntry(record, live);
        if (!entry) return;
        auto [found, inserted] = entries.try_emplace(entry->id, *entry);
        if (inserted) return;
        CatalogEntry& held = found->second;
        if (held.live && !entry->live) return;
        if (held.live == entry->live) {
            auto heldDate = held.modified.value_or(Date::min());
            auto newDate = entry->modified.value_or(Date::min());
            if (heldDate >= newDate) return;
        }
        held = std::move(*entry);
    });
    return entries;
}

HFSContext::PrivateData HFSContext::privateData(const std::unordered_map<uint32_t, CatalogEntry>& entries) {
    PrivateData result;
    for (const auto& [id, entry] : entries)
        if (entry.isDir && entry.parent == rootID && entry.name == privateDataFolderName) result.folders.insert(id);
    for (const auto& [id, entry] : entries) {
        if (entry.isDir || !result.folders.count(entry.parent)) continue;
        auto [found, inserted] = result.files.try_emplace(entry.name, id);
        if (!inserted && entry.live && !entries.at(found->second).live) found->second = id;
    }
    return result;
}

FileNodePtr HFSContext::makeNode(const CatalogEntry& entry, const std::unordered_map<uint32_t, CatalogEntry>& entries,
                                 const PrivateData& hidden, std::unordered_set<uint32_t>& linkedData) const {
    const uint32_t id = entry.id;
    std::string name = entry.name.empty() ? "unavngivet-" + std::to_string(id) : entry.name;
    auto node = FileNode::make(std::move(name), entry.isDir, 0, entry.live ? EntryStatus::existing : EntryStatus::deleted,
                               Recoverability::unknown, NoData{});
    node->fsID = id;
    node->created = entry.created;
    node->modified = entry.modified;
    if (!entry.isDir && entry.isHardLink()) {
        // The link's own fork is empty; listing it as an empty file would
        // hide the data it stands for.
        auto target = hidden.files.find("iNode" + std::to_string(entry.special));
        if (target != hidden.files.end()) {
            const CatalogEntry& data = entries.at(target->second);
            fill(*node, *data.fork, data.id, data);
            node->created = data.created;
            node->modified = data.modified;
            linkedData.insert(data.id);
        } else {
            node->size = 0;
            node->data = std::vector<Extent>{};
            node->recoverability = Recoverability::poor;
            node->note = hardLinkMissingNote(entry.special);
        }
    } else if (!entry.isDir) {
        fill(*node, *entry.fork, id, entry);
        // Not an empty file: say where the folder's contents are listed.
        if (entry.isFolderLink() && !node->note) node->note = folderLinkNote(entry.special);
    }
    return node;
}

std::optional<VolumePtr> HFSContext::build(const std::string& origin, WorkProgress* progress) {
    if (progress) progress->report(0, HFSPlusParser::progressMessage);

    HFSFork overflowFork(header, overflowForkAt);
    if (overflowFork.logicalSize != 0) {
        if (auto tree = openTree(readFork(overflowFork, overflowFileID, overflowCap))) loadOverflow(*tree);
    }
    allocation = readFork(HFSFork(header, allocationForkAt), allocationFileID, allocationCap);

    const auto entries = readCatalog();
    if (entries.empty()) return std::nullopt;
    // The private data folder holds the data of hard links ("iNode<n>") and
    // files unlinked while still open ("temp<id>").
    const PrivateData hidden = privateData(entries);

    auto root = FileNode::make("", true, 0, EntryStatus::existing, Recoverability::unknown, NoData{});
    root->fsID = rootID;
    std::string label;
    if (auto found = entries.find(rootID); found != entries.end()) label = found->second.name;
    auto volume = Volume::make(FileSystemType::hfsplus, label, base, totalBlocks * blockSize, root, origin);
    volume->clusterSize = blockSize;
    if (u16be(header, 0) == 0x4858) volume->notes.push_back(HFSPlusParser::hfsxNote);

    TreeAssembler<uint32_t> tree(rootID, root);
    tree.reserve(entries.size());
    std::unordered_set<uint32_t> linkedData;
    for (const auto& [id, entry] : entries)
        if (id != rootID) tree.add(id, makeNode(entry, entries, hidden, linkedData), entry.parent);

    // A parent link holds to a folder; a chain holds while it stays in the catalog.
    auto linkHolds = [](const auto&, const auto& parent) { return parent.node->isDirectory; };
    for (const auto& [id, entry] : entries) {
        if (id == rootID) continue;
        const FileNodePtr& node = tree.find(id)->node;
        // A name beginning with U+0000 (the private folders) keeps the node
        // and everything under it out of the tree.
        if (!node->name.empty() && node->name[0] == '\0') continue;
        if (!entry.isDir && hidden.folders.count(entry.parent)) {
            // Hard-link data stays hidden behind its links; anything else there
            // (a file unlinked while open, data no link reaches) is shown.
            if (!linkedData.count(id)) tree.orphans().adopt(node);
            continue;
        }
        tree.place(id, linkHolds);
    }
    tree.finish(true);
    if (allocation.empty()) volume->notes.push_back(HFSPlusParser::allocationNote);
    return volume;
}

namespace HFSPlusParser {

std::optional<VolumePtr> parse(DiskSource& source, uint64_t offset, const std::string& origin,
                               WorkProgress* progress) {
    if (offset > std::numeric_limits<uint64_t>::max() - 1024) return std::nullopt;
    Bytes header = source.read(offset + 1024, 512, ReadMode::thorough);
    if (!FSProbe::isHFSPlusHeader(header, 0)) return std::nullopt;
    HFSContext context(source, offset, std::move(header));
    return context.build(origin, progress);
}

}  // namespace HFSPlusParser

}  // namespace sovanta
