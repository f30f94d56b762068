// The NTFS reader's internals: parsed FILE records and the per-volume context
// that reads the MFT and builds the tree. For the reader's own files, its
// tests and fuzzers; everyone else uses NTFSParser.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/NTFS.h"

namespace sovanta {

// One $FILE_NAME attribute.
struct FNInfo {
    uint64_t parent = 0;      // 48-bit record number of the parent folder
    uint16_t parentSeq = 0;   // the parent's sequence number as stored
    uint8_t nameSpace = 0;    // 0 POSIX, 1 Win32, 2 DOS, 3 Win32 and DOS
    std::string name;
    OptionalDate created;
    OptionalDate modified;
    uint64_t realSize = 0;
};

// One instance of an unnamed $DATA attribute.
struct DataFragment {
    std::optional<Bytes> resident;  // present only for a resident attribute
    std::vector<CompressedRuns::Run> runs;
    uint64_t startVCN = 0;
    uint64_t dataSize = 0;
    uint64_t initSize = 0;
    bool compressed = false;
    bool encrypted = false;
    uint8_t compressionUnit = 0;  // base-2 logarithm of the unit in clusters
};

// One parsed FILE record.
struct MFTRecord {
    uint64_t number = 0;
    uint64_t baseRef = 0;  // base record of an extension record, 0 for a base record
    uint16_t seq = 0;
    uint16_t baseSeq = 0;
    bool hasNumber = false;
    bool inUse = false;
    bool isDir = false;
    bool fixupOK = true;
    std::vector<FNInfo> names;  // in record order
    OptionalDate siCreated;
    OptionalDate siModified;
    std::vector<DataFragment> data;  // unnamed $DATA instances in record order
    std::optional<Bytes> attrListResident;
    std::vector<CompressedRuns::Run> attrListRuns;
    uint64_t attrListSize = 0;
    uint64_t sourceOffset = 0;  // absolute offset on the source, 0 when not known

    // The first name outside the DOS namespace; the first DOS name when there
    // is nothing else; null without names. Points into names.
    const FNInfo* bestName() const;
};

// What building the tree reads of a parsed record: its header, its best name,
// and its unnamed $DATA as the join would give it: the first resident
// instance (which wins over every other), or else the non-resident instances
// in record order.
struct KeptRecord {
    uint64_t number = 0;
    uint64_t baseRef = 0;
    uint64_t sourceOffset = 0;
    uint16_t seq = 0;
    uint16_t baseSeq = 0;
    bool inUse = false;
    bool isDir = false;
    bool fixupOK = true;
    bool hasName = false;
    OptionalDate siCreated;
    OptionalDate siModified;
    FNInfo name;  // meaningful only with hasName
    std::optional<Bytes> resident;
    std::vector<DataFragment> data;  // non-resident instances; empty when resident is set

    explicit KeptRecord(MFTRecord&& record);
    bool isExtension() const { return baseRef != 0 && baseRef != number; }
    const FNInfo* bestName() const { return hasName ? &name : nullptr; }
    // Takes an extension record's name and data as if they followed this
    // record's own, so that the best name and the first resident instance are
    // chosen as over one record holding all of them.
    void join(KeptRecord& extension);
};

// Parsed records by record number, kept compactly in blocks of slots in the
// order they came, so that building the tree can let go of each block as soon
// as its nodes are made (the records and the nodes never take their full room
// at once). A later record with a number replaces an earlier one.
class MFTRecordMap {
public:
    MFTRecordMap() = default;
    MFTRecordMap(MFTRecordMap&&) = default;
    MFTRecordMap& operator=(MFTRecordMap&&) = default;

    void insert(uint64_t number, MFTRecord record);
    // Null when no record has that number.
    KeptRecord* find(uint64_t number);
    const KeptRecord* find(uint64_t number) const;
    size_t size() const;
    bool empty() const { return size() == 0; }

    // Every record by rising number.
    template <typename Visit>
    void forEach(const Visit& visit) {
        index();
        for (uint32_t slot : order_) visit(at(slot));
    }
    // Every record in the order they came, each block let go of once passed;
    // the map is empty afterwards.
    template <typename Visit>
    void drain(const Visit& visit) {
        index();
        std::vector<uint8_t> live(slots_, 0);
        for (uint32_t slot : order_) live[slot] = 1;
        order_.clear();
        order_.shrink_to_fit();
        for (size_t b = 0; b < blocks_.size(); ++b) {
            for (size_t i = 0; i < blocks_[b].size(); ++i)
                if (live[b * blockSize + i]) visit(blocks_[b][i]);
            std::vector<KeptRecord>().swap(blocks_[b]);
        }
        blocks_.clear();
        slots_ = 0;
        indexed_ = true;
    }

private:
    // About 110 KiB a block: small enough that the allocator keeps a block let
    // go of for the nodes made next, rather than handing it back to the system
    // and faulting in fresh pages for them.
    static constexpr size_t blockSize = 512;
    KeptRecord& at(uint32_t slot) const { return blocks_[slot / blockSize][slot % blockSize]; }
    // Orders the slots by number, the last of each number only.
    void index() const;

    mutable std::vector<std::vector<KeptRecord>> blocks_;  // each reserved to blockSize, filled in order
    size_t slots_ = 0;
    mutable std::vector<uint32_t> order_;  // live slots by number
    mutable bool indexed_ = true;
};

// One volume's geometry and loaded tables, for one read.
class NTFSContext {
public:
    struct MFTLayout {
        std::vector<Extent> extents;  // the $MFT's data on the source, in file order
        uint64_t recordCount = 0;
    };
    struct ExtentList {
        std::vector<Extent> extents;
        bool valid = true;
    };
    // The joined unnamed $DATA of a record. resident and main point into the
    // fragments the join was made from.
    struct MergedData {
        const Bytes* resident = nullptr;
        const DataFragment* main = nullptr;
        std::vector<CompressedRuns::Run> runs;
        bool gaps = false;
        // Runs placed before the first missing fragment (runs.size() without a
        // gap); the gap itself is a placeless run of unknown bytes.
        size_t runsBeforeGap = SIZE_MAX;
    };

    // The context from an NTFS boot sector, or null when it is not a usable one.
    static std::unique_ptr<NTFSContext> fromBoot(DiskSource& src, uint64_t base, ByteSpan boot);
    // A context with the given geometry and no MFT location (for rebuilds).
    NTFSContext(DiskSource& src, uint64_t base, uint64_t clusterSize, int64_t recordSize, uint64_t volumeSize);
    NTFSContext(const NTFSContext&) = delete;
    NTFSContext& operator=(const NTFSContext&) = delete;

    DiskSource& src;
    const uint64_t base;
    const uint64_t clusterSize;
    const int64_t recordSize;
    const uint64_t volumeSize;  // 0 when unknown
    uint64_t mftLCN = 0;
    uint64_t mirrLCN = 0;
    std::string label;
    Bytes bitmap;

    // Where the MFT lies, from record 0 or else from $MFTMirr; notes receive
    // what went wrong on the way.
    std::optional<MFTLayout> locateMFT(std::vector<std::string>& notes);
    // Every record of the layout, read in batches of 4 MiB. Stops early on
    // cancellation with the records read so far.
    MFTRecordMap readAllRecords(const MFTLayout& mft, WorkProgress* progress);
    // One FILE record; the update-sequence fixups are written into bytes.
    static std::optional<MFTRecord> parseRecord(std::span<uint8_t> bytes, std::optional<uint64_t> number);
    // The mapping pairs between from and to.
    static std::vector<CompressedRuns::Run> decodeRuns(ByteSpan bytes, int64_t from, int64_t to);
    // Byte extents on the source for runs holding size bytes, of which the
    // first initSize are initialised; the list stops where the runs cannot
    // place the bytes (not valid then).
    ExtentList extents(const std::vector<CompressedRuns::Run>& runs, uint64_t size, uint64_t initSize) const;
    static MergedData mergedData(const std::vector<DataFragment>& fragments);
    static MergedData mergedData(std::vector<DataFragment>&&) = delete;  // the result would point into a temporary

    // The volume of a set of records. Never fails; no records give an empty root.
    VolumePtr buildVolume(MFTRecordMap records, const std::string& origin, WorkProgress* progress);
    // Whether readAllRecords keeps a record: one that holds nothing a node, a
    // parent or a base could use is let go of at once.
    static bool worthKeeping(const MFTRecord& record);

private:
    std::vector<uint64_t> attributeListDataRefs(const MFTRecord& record);
    // The volume's bytes on the source: from base to the end the boot sector
    // gives (to the source's end when it gives none).
    ByteRange volumeRange() const;
    void loadBitmap(const KeptRecord* record);
    // The volume name and the cluster bitmap from their records.
    void loadTables(const MFTRecordMap& records);
    // The node of a named record; parent and parentSeq receive its chosen name's parent reference.
    FileNodePtr makeNode(KeptRecord& record);
    std::optional<std::string> volumeName(Bytes raw) const;
    void fillData(FileNode& node, KeptRecord& record);
    bool clusterInUse(uint64_t cluster) const;
};

}  // namespace sovanta
