// Volumes rebuilt from FILE records the deep sweep found loose: with the
// geometry of a boot sector, or anchored by a record of the $MFT itself.

#include <algorithm>
#include <unordered_map>

#include "SovantaCore/NTFS/Context.h"
#include "SovantaCore/NTFS/Layout.h"

namespace sovanta {

using namespace ntfs;

namespace {

// Records read as 1024 bytes: the size the sweep's test accepts records of.
constexpr int64_t looseRecordSize = 1024;
// The most records tried as anchors, and the cluster sizes tried for each.
constexpr size_t maxAnchors = 200000;
constexpr uint64_t anchorClusterSizes[] = {4096, 512, 1024, 2048, 8192, 16384, 32768, 65536};
// Records read together, when they lie back to back on the source.
constexpr size_t maxCachedRun = 4096;

// The bytes of record k of a list of offsets.
using RecordBytes = std::function<Bytes(size_t)>;

// The volume of the records at offsets, the in-use copy of a number kept over
// a deleted one; none with fewer than two usable records.
std::optional<VolumePtr> rebuild(NTFSContext& context, std::span<const uint64_t> offsets, const RecordBytes& bytesOf,
                                 const std::string& origin, WorkProgress* progress) {
    std::unordered_map<uint64_t, MFTRecord> found;
    const double total = static_cast<double>(std::max<size_t>(offsets.size(), 1));
    for (size_t i = 0; i < offsets.size(); ++i) {
        if (progress && i % 2000 == 0) {
            if (progress->isCancelled()) break;
            progress->report(std::min(1.0, static_cast<double>(i) / total), "Læser fundne MFT-poster …");
        }
        Bytes bytes = bytesOf(i);
        auto record = NTFSContext::parseRecord(bytes, std::nullopt);
        if (!record || !record->hasNumber) continue;
        record->sourceOffset = offsets[i];
        auto [it, inserted] = found.try_emplace(record->number);
        if (inserted || (!it->second.inUse && record->inUse)) it->second = std::move(*record);
    }
    if (found.size() < 2) return std::nullopt;
    const size_t stored = found.size();
    MFTRecordMap records;
    for (auto it = found.begin(); it != found.end(); it = found.erase(it)) records.insert(it->first, std::move(it->second));
    auto volume = context.buildVolume(std::move(records), origin, progress);
    volume->notes.push_back("Genopbygget ud fra " + std::to_string(stored) + " MFT-poster fundet ved dyb scanning.");
    return volume;
}

// Candidate records are read once, in contiguous reads of up to 4 MiB, and
// kept for every cluster size that is tried.
class RecordCache {
public:
    RecordCache(DiskSource& src, const std::vector<uint64_t>& offsets)
        : src_(src), offsets_(offsets), bytes_(offsets.size()) {}

    const Bytes& at(size_t k) {
        if (bytes_[k].empty()) fill(k);
        return bytes_[k];
    }

private:
    void fill(size_t k) {
        const auto size = static_cast<uint64_t>(looseRecordSize);
        size_t end = k + 1;
        while (end < offsets_.size() && end - k < maxCachedRun && offsets_[end] == offsets_[end - 1] + size &&
               bytes_[end].empty())
            ++end;
        Bytes run = src_.read(offsets_[k], static_cast<int64_t>((end - k) * size));
        for (size_t i = k; i < end; ++i)
            bytes_[i].assign(run.begin() + static_cast<int64_t>((i - k) * size),
                             run.begin() + static_cast<int64_t>((i - k + 1) * size));
    }

    DiskSource& src_;
    const std::vector<uint64_t>& offsets_;
    std::vector<Bytes> bytes_;
};

// The first LCN of the $MFT's data when the record at k is record 0 of an MFT.
std::optional<uint64_t> mftStart(const Bytes& record) {
    if (u32le(record, 44) != 0 || u16le(record, 4) < 48) return std::nullopt;
    Bytes copy = record;  // the fixups are applied in place
    auto parsed = NTFSContext::parseRecord(copy, 0);
    if (!parsed || !parsed->bestName() || parsed->bestName()->name != "$MFT") return std::nullopt;
    if (parsed->data.empty() || parsed->data.front().runs.empty()) return std::nullopt;
    return parsed->data.front().runs.front().lcn;
}

}  // namespace

std::optional<VolumePtr> NTFSParser::parse(DiskSource& source, uint64_t offset, uint64_t clusterSize,
                                           int64_t recordSize, uint64_t volumeSize,
                                           const std::vector<uint64_t>& recordOffsets, const std::string& origin,
                                           WorkProgress* progress) {
    // A record too small to hold a header, or larger than any NTFS record,
    // cannot be read as one; nor can a cluster larger than any boot sector
    // gives (at most 16 MiB).
    if (clusterSize == 0 || clusterSize > UINT32_MAX || recordSize < 512 || recordSize > 65536) return std::nullopt;
    NTFSContext context(source, offset, clusterSize, recordSize, volumeSize);
    return rebuild(
        context, recordOffsets, [&](size_t i) { return source.readReporting(recordOffsets[i], recordSize).data; },
        origin, progress);
}

std::optional<VolumePtr> NTFSParser::rebuildFromAnchors(DiskSource& source, const std::vector<uint64_t>& recordOffsets,
                                                        WorkProgress* progress) {
    RecordCache cache(source, recordOffsets);
    const size_t anchors = std::min(recordOffsets.size(), maxAnchors);
    for (size_t a = 0; a < anchors; ++a) {
        const uint64_t at = recordOffsets[a];
        auto lcn = mftStart(cache.at(a));
        if (!lcn) continue;
        for (uint64_t clusterSize : anchorClusterSizes) {
            uint64_t back;
            if (!checkedMul(*lcn, clusterSize, back) || back > at || (at - back) % 512 != 0) continue;
            const uint64_t start = at - back;
            size_t first = static_cast<size_t>(std::lower_bound(recordOffsets.begin(), recordOffsets.end(), start) -
                                               recordOffsets.begin());
            NTFSContext context(source, start, clusterSize, looseRecordSize, source.size - start);
            auto volume = rebuild(
                context, std::span(recordOffsets).subspan(first), [&](size_t i) { return cache.at(first + i); },
                origin::deepScanRebuiltNTFS, progress);
            if (volume && !(*volume)->root->children().empty()) return volume;
        }
    }
    return std::nullopt;
}

}  // namespace sovanta
