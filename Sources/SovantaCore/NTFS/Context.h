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
    std::optional<Date> created;
    std::optional<Date> modified;
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
    std::optional<Date> siCreated;
    std::optional<Date> siModified;
    std::vector<DataFragment> data;  // unnamed $DATA instances in record order
    std::optional<Bytes> attrListResident;
    std::vector<CompressedRuns::Run> attrListRuns;
    uint64_t attrListSize = 0;
    uint64_t sourceOffset = 0;  // absolute offset on the source, 0 when not known

    // The first name outside the DOS namespace; the first DOS name when there
    // is nothing else; null without names. Points into names.
    const FNInfo* bestName() const;
};

// Parsed records by record number.
using MFTRecordMap = std::unordered_map<uint64_t, MFTRecord>;

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

private:
    std::vector<uint64_t> attributeListDataRefs(const MFTRecord& record);
    // The volume's bytes on the source: from base to the end the boot sector
    // gives (to the source's end when it gives none).
    ByteRange volumeRange() const;
    void loadBitmap(const MFTRecord* record);
    // The volume name and the cluster bitmap from their records.
    void loadTables(const MFTRecordMap& records);
    // The node of a named record; parent and parentSeq receive its chosen name's parent reference.
    FileNodePtr makeNode(uint64_t number, MFTRecord& record, uint64_t& parent, uint16_t& parentSeq);
    std::optional<std::string> volumeName(Bytes raw) const;
    void fillData(FileNode& node, MFTRecord& record, const FNInfo& name);
    bool clusterInUse(uint64_t cluster) const;
};

}  // namespace sovanta
