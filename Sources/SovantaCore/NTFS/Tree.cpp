// The NTFS file tree: nodes from records, parent links checked against
// sequence numbers, deleted and orphaned entries, ratings from the cluster
// bitmap, and the two entry points of the reader.

#include <algorithm>

#include "SovantaCore/FileReader.h"
#include "SovantaCore/NTFS/Context.h"
#include "SovantaCore/NTFS/Layout.h"
#include "SovantaCore/TreeAssembler.h"

namespace sovanta {

using namespace ntfs;

namespace {

const char* const noteDamagedRecord = "MFT-posten er delvist beskadiget";
const char* const noteNoData = "Dataattributten mangler";
const char* const noteEncrypted = "EFS-krypteret – kan ikke dekrypteres";
const char* const notePlacementMissing = "Dele af filens placering mangler";
const char* const noteReused = "Klyngerne er genbrugt af andre filer";

// A deleted folder's record has its sequence number raised by one.
bool raisedByDeletion(uint16_t recordSeq, uint16_t storedSeq) {
    return recordSeq == static_cast<uint16_t>(storedSeq + 1);
}

}  // namespace

// MARK: Volume name and bitmap

std::optional<std::string> NTFSContext::volumeName(Bytes raw) const {
    if (!matches(raw, "FILE", 0)) return std::nullopt;
    applyFixups(raw);
    const int64_t size = static_cast<int64_t>(raw.size());
    int64_t pos = u16le(raw, 20);
    while (size - pos >= 24) {
        uint32_t type = u32le(raw, pos);
        int64_t length = u32le(raw, pos + 4);
        if (type == 0xFFFFFFFF || length < 16) return std::nullopt;
        ByteSpan a = ByteSpan(raw).subspan(static_cast<size_t>(pos),
                                            static_cast<size_t>(std::min(length, size - pos)));
        AttributeHeader header(a);
        if (type == typeVolumeName && !header.nonResident)
            return utf16le(a, header.valueOffset, header.valueLength / 2);
        if (length > size - pos) return std::nullopt;
        pos += length;
    }
    return std::nullopt;
}

void NTFSContext::loadBitmap(const KeptRecord* record) {
    bitmap.clear();
    if (!record) return;
    if (record->resident) {
        bitmap = *record->resident;
        return;
    }
    auto joined = mergedData(record->data);
    if (!joined.main || joined.main->dataSize == 0 || joined.main->dataSize > maxBitmap) return;
    // One bit per cluster of the volume: a larger size claimed on disk is not
    // read, so a damaged size cannot make us hold more than the volume needs.
    uint64_t volumeBytes = volumeSize ? volumeSize : (src.size > base ? src.size - base : 0);
    uint64_t needed = (volumeBytes / clusterSize + 7) / 8;
    uint64_t limit = std::min(joined.main->dataSize, needed);
    bitmap = FileReader::readRegion(src, extents(joined.runs, joined.main->dataSize, joined.main->initSize).extents,
                                    limit, volumeRange())
                 .bytes;
}

bool NTFSContext::clusterInUse(uint64_t cluster) const {
    uint64_t byte = cluster / 8;
    return byte < bitmap.size() && (bitmap[byte] >> (cluster % 8)) & 1;
}

// MARK: File data and rating

namespace {

// Whether any cluster in [first, first + count) is set in the bitmap; bytes
// are tested whole where the range covers them.
bool anyInUse(const Bytes& bitmap, uint64_t first, uint64_t count) {
    uint64_t bits = static_cast<uint64_t>(bitmap.size()) * 8;
    if (first >= bits) return false;
    uint64_t end = first + std::min(count, bits - first);
    uint64_t c = first;
    while (c < end && c % 8 != 0) {
        if ((bitmap[c / 8] >> (c % 8)) & 1) return true;
        ++c;
    }
    while (end - c >= 8) {
        if (bitmap[c / 8] != 0) return true;
        c += 8;
    }
    for (; c < end; ++c)
        if ((bitmap[c / 8] >> (c % 8)) & 1) return true;
    return false;
}

}  // namespace

void NTFSContext::fillData(FileNode& node, KeptRecord& record) {
    const FNInfo& name = record.name;
    if (record.resident) {
        node.size = record.resident->size();
        node.data = ResidentData{std::move(*record.resident)};
        node.recoverability = Recoverability::good;
        return;
    }
    auto joined = mergedData(record.data);
    if (!joined.main) {
        node.size = name.realSize;
        node.data = std::vector<Extent>{};
        node.recoverability = name.realSize == 0 ? Recoverability::good : Recoverability::poor;
        if (name.realSize != 0) node.note = noteNoData;
        return;
    }
    const DataFragment& main = *joined.main;
    // Past a missing fragment the bytes are unknown: the runs end there.
    if (joined.gaps) joined.runs.resize(std::min(joined.runsBeforeGap, joined.runs.size()));
    node.size = main.dataSize;
    node.recoverability = Recoverability::unknown;
    if (main.encrypted) {
        node.note = noteEncrypted;
        node.recoverability = Recoverability::poor;
    }
    if (main.compressed && main.compressionUnit != 0) {
        CompressedRuns compressed;
        compressed.clusterSize = static_cast<uint32_t>(clusterSize);
        compressed.unitClusters = main.compressionUnit > 8 ? 256u : uint32_t{1} << main.compressionUnit;
        compressed.volumeOffset = base;
        compressed.runs = joined.runs;
        node.data = std::move(compressed);
        if (joined.gaps) {
            node.recoverability = Recoverability::partial;
            node.note = notePlacementMissing;
            return;
        }
    } else {
        auto placed = extents(joined.runs, main.dataSize, main.initSize);
        node.data = std::move(placed.extents);
        if (!placed.valid || joined.gaps) {
            node.recoverability = Recoverability::partial;
            node.note = notePlacementMissing;
            return;
        }
    }

    if (node.recoverability == Recoverability::poor) return;
    if (record.inUse) {
        node.recoverability = Recoverability::good;
        return;
    }
    if (bitmap.empty()) {
        node.recoverability = Recoverability::unknown;
        return;
    }
    // At most 2^20 clusters of the runs, in file order, are tested.
    uint64_t budget = maxTestedClusters;
    bool first = true, firstUsed = false, anyUsed = false;
    for (auto& run : joined.runs) {
        if (budget == 0 || anyUsed) break;
        if (!run.lcn || run.clusters == 0) continue;
        uint64_t take = std::min(run.clusters, budget);
        budget -= take;
        if (first) {
            firstUsed = clusterInUse(*run.lcn);
            first = false;
        }
        anyUsed = anyInUse(bitmap, *run.lcn, take);
    }
    if (!anyUsed) {
        node.recoverability = Recoverability::good;
    } else if (firstUsed) {
        node.recoverability = Recoverability::poor;
        node.note = noteReused;
    } else {
        node.recoverability = Recoverability::partial;
        node.note = treetext::partlyOverwrittenNote;
    }
}

// MARK: Building the tree

namespace {

// What a child's parent test needs of a node's record beside its number and
// its chosen name's parent reference.
struct LinkInfo {
    uint16_t parentSeq = 0;  // the parent's sequence number as the chosen name stores it
    uint16_t seq = 0;
    bool inUse = false;
};

using NTFSTree = TreeAssembler<uint64_t, LinkInfo>;

// Extension records join their base record when the base is the one they
// were written for; none of them makes a node of its own.
void joinExtensions(MFTRecordMap& records) {
    std::vector<KeptRecord*> extensions;
    records.forEach([&](KeptRecord& record) {
        if (record.isExtension()) extensions.push_back(&record);
    });
    for (KeptRecord* extension : extensions) {
        KeptRecord* base = records.find(extension->baseRef);
        if (!base || base->isExtension()) continue;
        if (base->inUse != extension->inUse) continue;
        if (extension->baseSeq != 0 && extension->baseSeq != base->seq &&
            !(raisedByDeletion(base->seq, extension->baseSeq) && !base->inUse))
            continue;
        base->join(*extension);
    }
}

// The record with a number, when it is not an extension record (which stands
// for no file of its own).
const KeptRecord* baseRecord(const MFTRecordMap& records, uint64_t number) {
    const KeptRecord* record = records.find(number);
    return record && !record->isExtension() ? record : nullptr;
}

// A parent link holds to a folder whose sequence number is the one the name
// stores, or one above it when the folder was deleted.
bool linkHolds(const NTFSTree::Entry& child, const NTFSTree::Entry& parent) {
    if (!parent.node->isDirectory) return false;
    uint16_t stored = child.info.parentSeq;
    return stored == 0 || stored == parent.info.seq || (raisedByDeletion(parent.info.seq, stored) && !parent.info.inUse);
}

}  // namespace

void NTFSContext::loadTables(const MFTRecordMap& records) {
    label.clear();
    if (auto* volume = baseRecord(records, volumeRecord); volume && volume->sourceOffset != 0)
        label = volumeName(src.readReporting(volume->sourceOffset, recordSize).data).value_or("");
    loadBitmap(baseRecord(records, bitmapRecord));
}

FileNodePtr NTFSContext::makeNode(KeptRecord& record) {
    const FNInfo& name = record.name;
    auto node = FileNode::make(std::move(record.name.name), record.isDir, 0,
                               record.inUse ? EntryStatus::existing : EntryStatus::deleted, Recoverability::unknown);
    node->created = record.siCreated ? record.siCreated : name.created;
    node->modified = record.siModified ? record.siModified : name.modified;
    node->fsID = record.number;
    if (!record.isDir) fillData(*node, record);
    if (!record.fixupOK) node->note = node->note ? *node->note + ". " + noteDamagedRecord : noteDamagedRecord;
    return node;
}

VolumePtr NTFSContext::buildVolume(MFTRecordMap records, const std::string& origin, WorkProgress* progress) {
    joinExtensions(records);
    loadTables(records);

    auto root = FileNode::make("", true, 0, EntryStatus::existing, Recoverability::unknown);
    root->fsID = rootRecord;
    NTFSTree tree(rootRecord, root);
    // The children of $Extend ($ObjId, $Quota, $Reparse, $UsnJrnl …) and
    // everything below them are the file system's own, like the records
    // below 16: passed over, not listed as lost files.
    tree.hideBelow(extendRecord);
    tree.reserve(records.size());

    // The records are let go of as their nodes are made, so the two never
    // take their full room at once. The system records (15 and below),
    // extension records and records without a name make no node.
    size_t count = 0;
    const double total = static_cast<double>(std::max<size_t>(records.size(), 1));
    records.drain([&](KeptRecord& record) {
        ++count;
        if (progress && count % 20000 == 0) progress->report(static_cast<double>(count) / total, "Opbygger mappetræ …");
        if (record.number <= lastSystemRecord || record.isExtension() || !record.hasName) return;
        const uint64_t parent = record.name.parent;
        const LinkInfo info{record.name.parentSeq, record.seq, record.inUse};
        tree.add(record.number, makeNode(record), parent, info);
    });

    tree.placeAll(linkHolds);
    tree.finish(true);

    uint64_t size = volumeSize ? volumeSize : (src.size > base ? src.size - base : 0);
    auto volume = Volume::make(FileSystemType::ntfs, label, base, size, root, origin);
    volume->clusterSize = clusterSize;
    return volume;
}

// MARK: Entry points

std::optional<VolumePtr> NTFSParser::parse(DiskSource& source, uint64_t offset, const std::string& origin,
                                           WorkProgress* progress, const Bytes* boot) {
    Bytes read;
    if (!boot) read = source.readReporting(offset, 512).data;
    auto context = NTFSContext::fromBoot(source, offset, boot ? ByteSpan(*boot) : ByteSpan(read));
    if (!context) return std::nullopt;
    std::vector<std::string> notes;
    auto layout = context->locateMFT(notes);
    if (!layout) return std::nullopt;
    auto records = context->readAllRecords(*layout, progress);
    if (records.empty()) return std::nullopt;
    auto volume = context->buildVolume(std::move(records), origin, progress);
    for (auto& note : notes) volume->notes.push_back(note);
    return volume;
}

}  // namespace sovanta
