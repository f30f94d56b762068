// The HFS+ reader's internals: fork data and the per-volume context that
// reads the catalog. For the reader's own files, its tests and fuzzers;
// everyone else uses HFSPlusParser.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/HFSPlus.h"
#include "SovantaCore/Model.h"

namespace sovanta {

// One run of allocation blocks.
struct HFSRun {
    uint32_t start = 0;
    uint32_t count = 0;
    bool operator==(const HFSRun&) const = default;
};

// Fork data (80 bytes): the logical size and the first eight extents, those
// with a block count of 0 dropped.
struct HFSFork {
    uint64_t logicalSize = 0;
    std::vector<HFSRun> extents;

    HFSFork() = default;
    HFSFork(ByteSpan bytes, int64_t at);
};

// One volume's geometry and loaded tables; lives for one read.
class HFSContext {
public:
    struct Tree {
        Bytes data;
        int64_t nodeSize = 0;
        uint32_t firstLeaf = 0;
        uint64_t nodeCount() const { return data.size() / static_cast<uint64_t>(nodeSize); }
    };

    struct OverflowRecord {
        uint32_t start = 0;  // the fork's block count covered before this record
        std::vector<HFSRun> extents;
    };

    // One file or folder record of the catalog.
    struct CatalogEntry {
        uint32_t id = 0;
        uint32_t parent = 0;
        std::string name;
        bool isDir = false;
        std::optional<Date> created;
        std::optional<Date> modified;
        std::optional<HFSFork> fork;  // files only: the data fork
        bool compressed = false;
        bool live = false;
        // Files only: Finder type and creator, and the BSD special field
        // (for a hard link, the number that names its data "iNode<n>").
        uint32_t fileType = 0;
        uint32_t creator = 0;
        uint32_t special = 0;

        bool isHardLink() const;
        bool isFolderLink() const;
    };

    // The private data folders and the files they hold, by name.
    struct PrivateData {
        std::unordered_set<uint32_t> folders;
        std::unordered_map<std::string, uint32_t> files;
    };

    using LeafVisitor = std::function<void(ByteSpan record, bool live)>;

    HFSContext(DiskSource& source, uint64_t volumeBase, Bytes volumeHeader);

    std::optional<VolumePtr> build(const std::string& origin, WorkProgress* progress);

    // The volume's bytes on the source: from base to the end the header gives
    // (to the source's end when it gives none).
    ByteRange volumeRange() const;
    // Up to min(logical size, cap) bytes of the fork, fewer when its runs end
    // early or leave the volume or the source.
    Bytes readFork(const HFSFork& fork, uint32_t fileID, uint64_t cap) const;
    // The fork's own extents followed by its overflow records in sequence.
    std::vector<HFSRun> allExtents(const HFSFork& fork, uint32_t fileID) const;
    static std::optional<Tree> openTree(Bytes data);
    static void forEachLeafRecord(const Tree& tree, const LeafVisitor& body);
    void loadOverflow(const Tree& tree);
    // Size, extents, recoverability and note of one file node from its fork.
    void fill(FileNode& node, const HFSFork& fork, uint32_t fileID, const CatalogEntry& entry) const;
    // The catalog record's entry, or none when it is not a usable file or folder record.
    static std::optional<CatalogEntry> catalogEntry(ByteSpan record, bool live);

    DiskSource& src;
    const uint64_t base;
    const uint64_t blockSize;
    const uint64_t totalBlocks;
    const Bytes header;
    std::unordered_map<uint32_t, std::vector<OverflowRecord>> overflow;
    Bytes allocation;

private:
    // One entry per catalog id; empty when the catalog cannot be opened.
    std::unordered_map<uint32_t, CatalogEntry> readCatalog();
    static PrivateData privateData(const std::unordered_map<uint32_t, CatalogEntry>& entries);
    // The node of one entry; a hard link gets its data's fork, and the data's
    // id joins linkedData.
    FileNodePtr makeNode(const CatalogEntry& entry, const std::unordered_map<uint32_t, CatalogEntry>& entries,
                         const PrivateData& hidden, std::unordered_set<uint32_t>& linkedData) const;
    // Allocated blocks in [from, to); blocks past the allocation file count as free.
    uint64_t blocksInUse(uint64_t from, uint64_t to) const;
    // Set bits before each 4096-block stretch of the allocation file, made on
    // first need so that testing a deleted file costs the same for any length.
    mutable std::vector<uint64_t> rankIndex_;
    mutable size_t rankedBytes_ = 0;
};

}  // namespace sovanta
