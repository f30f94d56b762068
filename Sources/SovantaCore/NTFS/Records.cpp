// NTFS boot sector, MFT location and FILE record parsing.

#include <algorithm>
#include <memory>
#include <unordered_set>

#include "SovantaCore/FileReader.h"
#include "SovantaCore/NTFS/Context.h"
#include "SovantaCore/NTFS/Layout.h"

namespace sovanta {

using namespace ntfs;

// MARK: Boot sector

std::optional<NTFSGeometry> NTFSParser::geometry(ByteSpan boot) {
    if (boot.size() < 65 || !matches(boot, "NTFS    ", 3)) return std::nullopt;
    NTFSGeometry g;
    g.bytesPerSector = u16le(boot, 11);
    if (g.bytesPerSector != 512 && g.bytesPerSector != 1024 && g.bytesPerSector != 2048 && g.bytesPerSector != 4096)
        return std::nullopt;
    // Values above 128 are exponents: 256 - value. The count must stay within
    // 4096, so any exponent above 12 is refused before it is used in a shift.
    uint8_t raw = u8(boot, 13);
    uint64_t sectorsPerCluster = raw;
    if (raw > 128) {
        unsigned exponent = 256u - raw;
        if (exponent > 12) return std::nullopt;
        sectorsPerCluster = uint64_t{1} << exponent;
    }
    if (sectorsPerCluster < 1 || sectorsPerCluster > 4096) return std::nullopt;
    g.clusterSize = g.bytesPerSector * sectorsPerCluster;

    int8_t perRecord = i8(boot, 64);
    if (perRecord >= 0) {
        uint64_t bytes = static_cast<uint64_t>(perRecord) * g.clusterSize;
        if (bytes < 512 || bytes > 65536) return std::nullopt;
        g.recordSize = static_cast<int64_t>(bytes);
    } else if (perRecord >= -16 && perRecord <= -9) {
        g.recordSize = int64_t{1} << (-perRecord);
    } else {
        return std::nullopt;
    }

    // A sector count whose byte size overflows says nothing usable: unknown.
    if (!checkedMul(u64le(boot, 40), g.bytesPerSector, g.volumeSize)) g.volumeSize = 0;
    return g;
}

std::unique_ptr<NTFSContext> NTFSContext::fromBoot(DiskSource& src, uint64_t base, ByteSpan boot) {
    auto g = NTFSParser::geometry(boot);
    if (!g) return nullptr;
    auto context = std::make_unique<NTFSContext>(src, base, g->clusterSize, g->recordSize, g->volumeSize);
    context->mftLCN = u64le(boot, 48);
    context->mirrLCN = u64le(boot, 56);
    return context;
}

NTFSContext::NTFSContext(DiskSource& src_, uint64_t base_, uint64_t clusterSize_, int64_t recordSize_,
                         uint64_t volumeSize_)
    : src(src_), base(base_), clusterSize(clusterSize_), recordSize(recordSize_), volumeSize(volumeSize_) {}

// MARK: Records

bool ntfs::applyFixups(std::span<uint8_t> bytes) {
    // The last two bytes of every 512-byte stride hold the check value on
    // disk; the real bytes wait in the array after it.
    const int64_t size = static_cast<int64_t>(bytes.size());
    const int64_t usaOffset = u16le(bytes, 4);
    const int64_t usaCount = u16le(bytes, 6);
    if (size < 8 || usaCount < 2 || size < usaOffset + 2 * usaCount) return false;
    bool ok = true;
    const uint8_t check0 = bytes[static_cast<size_t>(usaOffset)];
    const uint8_t check1 = bytes[static_cast<size_t>(usaOffset + 1)];
    for (int64_t i = 0; i <= usaCount - 2 && 512 * i + 512 <= size; ++i) {
        auto at = static_cast<size_t>(512 * i + 510);
        if (bytes[at] != check0 || bytes[at + 1] != check1) ok = false;
        auto entry = static_cast<size_t>(usaOffset + 2 + 2 * i);
        bytes[at] = bytes[entry];
        bytes[at + 1] = bytes[entry + 1];
    }
    return ok;
}

const FNInfo* MFTRecord::bestName() const {
    for (auto& name : names)
        if (name.nameSpace != 2) return &name;
    return names.empty() ? nullptr : &names.front();
}

namespace {

// One attribute of a FILE record into the parsed record; kinds the tree does
// not use are passed over.
void takeAttribute(MFTRecord& record, uint32_t type, ByteSpan a) {
    AttributeHeader header(a);
    const int64_t length = static_cast<int64_t>(a.size());
    switch (type) {
        case typeStandardInformation:
            if (!header.nonResident) {
                record.siCreated = TimeConversion::fromFiletime(u64le(a, header.valueOffset));
                record.siModified = TimeConversion::fromFiletime(u64le(a, header.valueOffset + 8));
            }
            break;
        case typeAttributeList:
            if (header.nonResident) {
                record.attrListRuns = NTFSContext::decodeRuns(a, header.runsOffset, length);
                record.attrListSize = header.dataSize;
            } else {
                record.attrListResident = header.value(a);
            }
            break;
        case typeFileName: {
            if (header.nonResident) break;
            int64_t v = header.valueOffset, n = header.valueLength;
            if (n < 66 || v > length - n) break;
            int64_t chars = u8(a, v + 64);
            if (chars == 0 || 2 * chars > length - v - 66) break;
            FNInfo info;
            info.parent = uintLE(a, v, 6);
            info.parentSeq = u16le(a, v + 6);
            info.created = TimeConversion::fromFiletime(u64le(a, v + 8));
            info.modified = TimeConversion::fromFiletime(u64le(a, v + 16));
            info.realSize = u64le(a, v + 48);
            info.nameSpace = u8(a, v + 65);
            info.name = utf16le(a, v + 66, chars);
            record.names.push_back(std::move(info));
            break;
        }
        case typeData: {
            if (header.nameLength != 0) break;  // a named stream
            DataFragment fragment;
            fragment.compressed = header.compressed;
            fragment.encrypted = header.encrypted;
            if (header.nonResident) {
                fragment.startVCN = header.startVCN;
                fragment.dataSize = header.dataSize;
                fragment.initSize = header.initSize;
                fragment.compressionUnit = header.compressionUnit;
                fragment.runs = NTFSContext::decodeRuns(a, header.runsOffset, length);
            } else {
                fragment.resident = header.value(a);
                fragment.dataSize = fragment.initSize = fragment.resident->size();
            }
            record.data.push_back(std::move(fragment));
            break;
        }
        default: break;
    }
}

}  // namespace

std::optional<MFTRecord> NTFSContext::parseRecord(std::span<uint8_t> bytes, std::optional<uint64_t> number) {
    if (bytes.size() < 512 || !matches(bytes, "FILE", 0)) return std::nullopt;
    const int64_t size = static_cast<int64_t>(bytes.size());
    MFTRecord record;

    record.fixupOK = applyFixups(bytes);
    const int64_t usaOffset = u16le(bytes, 4);

    record.seq = u16le(bytes, 16);
    uint8_t flags = u8(bytes, 22);
    record.inUse = flags & 1;
    record.isDir = flags & 2;
    record.baseRef = uintLE(bytes, 32, 6);
    record.baseSeq = u16le(bytes, 38);
    if (number) {
        record.number = *number;
        record.hasNumber = true;
    } else if (usaOffset >= 48) {
        record.number = u32le(bytes, 44);
        record.hasNumber = true;
    }

    const int64_t end = std::min<int64_t>(size, u32le(bytes, 24));
    int64_t pos = u16le(bytes, 20);
    for (int attributes = 0; attributes < maxAttributes; ++attributes) {
        if (end < 16 || pos > end - 16) break;
        uint32_t type = u32le(bytes, pos);
        if (type == 0xFFFFFFFF) break;
        int64_t length = u32le(bytes, pos + 4);
        if (length < 16 || length > size - pos) break;
        ByteSpan a = ByteSpan(bytes).subspan(static_cast<size_t>(pos), static_cast<size_t>(length));
        takeAttribute(record, type, a);
        pos += length;
    }
    return record;
}

std::vector<CompressedRuns::Run> NTFSContext::decodeRuns(ByteSpan bytes, int64_t from, int64_t to) {
    std::vector<CompressedRuns::Run> runs;
    const int64_t end = std::min<int64_t>(to, static_cast<int64_t>(bytes.size()));
    int64_t pos = from;
    int64_t lcn = 0;
    while (pos >= 0 && pos < end) {
        uint8_t header = bytes[static_cast<size_t>(pos)];
        if (header == 0 || header > 0x8F) break;
        int64_t countWidth = header & 0x0F, deltaWidth = header >> 4;
        if (countWidth == 0 || countWidth > 8) break;
        if (1 + countWidth + deltaWidth > end - pos) break;
        uint64_t count = uintLE(bytes, pos + 1, countWidth);
        if (count < 1 || count > maxRunClusters) break;
        if (deltaWidth == 0) {
            runs.push_back({std::nullopt, count});
        } else {
            int64_t delta = intLE(bytes, pos + 1 + countWidth, deltaWidth);
            int64_t next;
            if (__builtin_add_overflow(lcn, delta, &next) || next < 0) break;
            lcn = next;
            runs.push_back({static_cast<uint64_t>(lcn), count});
        }
        pos += 1 + countWidth + deltaWidth;
    }
    return runs;
}

NTFSContext::ExtentList NTFSContext::extents(const std::vector<CompressedRuns::Run>& runs, uint64_t size,
                                             uint64_t initSize) const {
    ExtentList result;
    uint64_t remaining = std::min(size, initSize);
    for (auto& run : runs) {
        if (remaining == 0) break;
        uint64_t runBytes;
        if (!checkedMul(run.clusters, clusterSize, runBytes)) runBytes = UINT64_MAX;
        uint64_t length = std::min(remaining, runBytes);
        remaining -= length;
        if (length == 0) continue;
        if (!run.lcn) {
            result.extents.push_back({std::nullopt, length});
            continue;
        }
        // A place past the source's end is kept: the file reader counts those
        // bytes as unreadable. A place that cannot be computed ends the list.
        uint64_t relative, offset;
        if (!checkedMul(*run.lcn, clusterSize, relative) || !checkedAdd(base, relative, offset)) {
            result.valid = false;
            return result;
        }
        result.extents.push_back({offset, length});
        if (offset >= src.size) result.valid = false;
    }
    // Bytes no run places are unknown, not a hole: the list stops short of
    // them. Past the initialised size the bytes are known zeros.
    if (remaining > 0) {
        result.valid = false;
        return result;
    }
    if (size > initSize) result.extents.push_back({std::nullopt, size - initSize});
    return result;
}

NTFSContext::MergedData NTFSContext::mergedData(const std::vector<DataFragment>& fragments) {
    MergedData result;
    for (auto& fragment : fragments) {
        if (fragment.resident) {
            result.resident = &*fragment.resident;
            result.main = &fragment;
            return result;
        }
    }
    if (fragments.empty()) return result;
    std::vector<const DataFragment*> sorted;
    sorted.reserve(fragments.size());
    for (auto& fragment : fragments) sorted.push_back(&fragment);
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const DataFragment* a, const DataFragment* b) { return a->startVCN < b->startVCN; });
    result.main = sorted.front();
    for (auto* fragment : sorted)
        if (fragment->startVCN == 0) {
            result.main = fragment;
            break;
        }
    result.gaps = sorted.front()->startVCN != 0;
    if (result.gaps) result.runsBeforeGap = 0;
    uint64_t expected = 0;
    for (auto* fragment : sorted) {
        if (fragment->startVCN < expected) continue;  // overlaps what is joined already
        if (fragment->startVCN > expected) {
            if (!result.gaps) result.runsBeforeGap = result.runs.size();
            result.runs.push_back({std::nullopt, fragment->startVCN - expected});
            result.gaps = true;
            expected = fragment->startVCN;
        }
        for (auto& run : fragment->runs) {
            result.runs.push_back(run);
            if (!checkedAdd(expected, run.clusters, expected)) expected = UINT64_MAX;
        }
    }
    return result;
}

// MARK: Locating and reading the MFT

ByteRange NTFSContext::volumeRange() const {
    uint64_t end;
    if (volumeSize == 0 || !checkedAdd(base, volumeSize, end)) return {base, UINT64_MAX};
    return {base, end};
}

std::vector<uint64_t> NTFSContext::attributeListDataRefs(const MFTRecord& record) {
    Bytes list;
    if (record.attrListResident && !record.attrListResident->empty()) {
        list = *record.attrListResident;
    } else if (!record.attrListRuns.empty()) {
        uint64_t size = std::min<uint64_t>(record.attrListSize, maxAttributeList);
        list = FileReader::readRegion(src, extents(record.attrListRuns, size, size).extents, size, volumeRange(),
                                      FileReader::RegionHoles::skip)
                   .bytes;
    }
    std::vector<uint64_t> refs;
    if (list.size() < 26) return refs;
    std::unordered_set<uint64_t> seen;
    const int64_t size = static_cast<int64_t>(list.size());
    for (int64_t pos = 0; pos <= size - 26;) {
        int64_t length = u16le(list, pos + 4);
        if (length < 26) break;
        if (u32le(list, pos) == typeData) {
            uint64_t ref = uintLE(list, pos + 16, 6);
            if (seen.insert(ref).second) refs.push_back(ref);
        }
        pos += length;
    }
    return refs;
}

std::optional<NTFSContext::MFTLayout> NTFSContext::locateMFT(std::vector<std::string>& notes) {
    const uint64_t rs = static_cast<uint64_t>(recordSize);
    const uint64_t candidates[2] = {mftLCN, mirrLCN};
    for (int which = 0; which < 2; ++which) {
        uint64_t relative, offset;
        if (!checkedMul(candidates[which], clusterSize, relative) || !checkedAdd(base, relative, offset) ||
            offset >= src.size)
            continue;
        Bytes raw = src.readReporting(offset, recordSize).data;
        auto record0 = parseRecord(raw, 0);
        if (!record0) continue;
        std::vector<DataFragment> kept;
        for (auto& fragment : record0->data)
            if (!fragment.resident) kept.push_back(fragment);
        if (kept.empty()) continue;

        if (record0->attrListResident || !record0->attrListRuns.empty()) {
            // The $MFT's own extension records lie in the part of the MFT that
            // record 0 already maps.
            auto joined = mergedData(kept);
            uint64_t clusters = 0;
            for (auto& run : joined.runs)
                if (!checkedAdd(clusters, run.clusters, clusters)) clusters = UINT64_MAX;
            uint64_t length;
            if (!checkedMul(clusters, clusterSize, length)) length = UINT64_MAX;
            auto map = extents(joined.runs, length, UINT64_MAX).extents;
            std::vector<uint64_t> starts;  // file position of each extent
            starts.reserve(map.size());
            uint64_t position = 0;
            for (auto& extent : map) {
                starts.push_back(position);
                if (!checkedAdd(position, extent.length, position)) position = UINT64_MAX;
            }
            for (uint64_t ref : attributeListDataRefs(*record0)) {
                uint64_t at;
                if (ref == 0 || !checkedMul(ref, rs, at) || at >= position) continue;
                size_t i = static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), at) - starts.begin()) - 1;
                if (!map[i].offset) continue;
                Bytes bytes = src.readReporting(*map[i].offset + (at - starts[i]), recordSize).data;
                if (auto extension = parseRecord(bytes, ref))
                    for (auto& fragment : extension->data)
                        if (!fragment.resident) kept.push_back(std::move(fragment));
            }
        }

        auto joined = mergedData(kept);
        if (!joined.main || joined.main->dataSize / 16 < rs) continue;
        MFTLayout layout;
        layout.extents = extents(joined.runs, joined.main->dataSize, joined.main->initSize).extents;
        layout.recordCount = std::min<uint64_t>(joined.main->dataSize / rs, maxRecords);
        if (which == 1) notes.push_back("$MFT-posten var beskadiget – $MFTMirr blev brugt.");
        if (!record0->fixupOK) notes.push_back("$MFT-posten har fejl i opdateringssekvensen.");
        return layout;
    }
    notes.push_back("$MFT kunne ikke findes. Kør en dyb scanning for at genopbygge fra løse MFT-poster.");
    return std::nullopt;
}

// MARK: Kept records

KeptRecord::KeptRecord(MFTRecord&& record)
    : number(record.number),
      baseRef(record.baseRef),
      sourceOffset(record.sourceOffset),
      seq(record.seq),
      baseSeq(record.baseSeq),
      inUse(record.inUse),
      isDir(record.isDir),
      fixupOK(record.fixupOK),
      siCreated(record.siCreated),
      siModified(record.siModified) {
    if (const FNInfo* best = record.bestName()) {
        name = std::move(record.names[static_cast<size_t>(best - record.names.data())]);
        hasName = true;
    }
    for (auto& fragment : record.data) {
        if (fragment.resident) {
            resident = std::move(fragment.resident);
            break;
        }
    }
    if (!resident) data = std::move(record.data);
}

void KeptRecord::join(KeptRecord& extension) {
    if (extension.hasName && (!hasName || (name.nameSpace == 2 && extension.name.nameSpace != 2))) {
        name = std::move(extension.name);
        hasName = true;
    }
    if (resident) return;
    if (extension.resident) {
        resident = std::move(extension.resident);
        data.clear();
        return;
    }
    for (auto& fragment : extension.data) data.push_back(std::move(fragment));
}

void MFTRecordMap::insert(uint64_t number, MFTRecord record) {
    record.number = number;
    if (slots_ % blockSize == 0) {
        blocks_.emplace_back();
        blocks_.back().reserve(blockSize);
    }
    const auto slot = static_cast<uint32_t>(slots_);
    blocks_.back().emplace_back(std::move(record));
    ++slots_;
    if (!indexed_) return;
    // Records that come in rising order (as the MFT is read) need no sorting.
    if (order_.empty() || at(order_.back()).number < number)
        order_.push_back(slot);
    else if (at(order_.back()).number == number)
        order_.back() = slot;
    else
        indexed_ = false;
}

void MFTRecordMap::index() const {
    if (indexed_) return;
    order_.resize(slots_);
    for (size_t i = 0; i < slots_; ++i) order_[i] = static_cast<uint32_t>(i);
    std::stable_sort(order_.begin(), order_.end(),
                     [this](uint32_t a, uint32_t b) { return at(a).number < at(b).number; });
    // Of the slots with one number, the last one stands.
    size_t kept = 0;
    for (size_t i = 0; i < order_.size(); ++i) {
        if (i + 1 < order_.size() && at(order_[i + 1]).number == at(order_[i]).number) continue;
        order_[kept++] = order_[i];
    }
    order_.resize(kept);
    indexed_ = true;
}

const KeptRecord* MFTRecordMap::find(uint64_t number) const {
    index();
    auto it = std::lower_bound(order_.begin(), order_.end(), number,
                               [this](uint32_t slot, uint64_t n) { return at(slot).number < n; });
    return it == order_.end() || at(*it).number != number ? nullptr : &at(*it);
}

KeptRecord* MFTRecordMap::find(uint64_t number) {
    return const_cast<KeptRecord*>(static_cast<const MFTRecordMap*>(this)->find(number));
}

size_t MFTRecordMap::size() const {
    index();
    return order_.size();
}

bool NTFSContext::worthKeeping(const MFTRecord& record) {
    return record.number <= lastSystemRecord || record.baseRef != 0 || !record.names.empty() ||
           !record.data.empty() || record.attrListResident || !record.attrListRuns.empty();
}

MFTRecordMap NTFSContext::readAllRecords(const MFTLayout& mft, WorkProgress* progress) {
    MFTRecordMap records;
    const uint64_t rs = static_cast<uint64_t>(recordSize);
    const uint64_t batch = std::max<uint64_t>(1, batchBytes / rs);
    std::unique_ptr<uint8_t[]> batchBuffer;
    uint64_t number = 0, position = 0;
    size_t index = 0;
    auto store = [&](std::span<uint8_t> bytes, uint64_t n, uint64_t sourceOffset) {
        auto record = parseRecord(bytes, n);
        if (!record) return;
        record->sourceOffset = sourceOffset;
        if (worthKeeping(*record)) records.insert(n, std::move(*record));
    };
    while (number < mft.recordCount) {
        if (index >= mft.extents.size()) break;
        if (progress && progress->isCancelled()) break;
        const Extent& extent = mft.extents[index];
        uint64_t n = std::min({(extent.length - position) / rs, batch, mft.recordCount - number});
        if (n >= 1) {
            uint64_t at;
            if (extent.offset && checkedAdd(*extent.offset, position, at) && at < src.size) {
                std::span<uint8_t> bytes;
                Bytes unaligned;
                const uint64_t ss = static_cast<uint64_t>(src.sectorSize);
                if (n * rs > 262144 && at % ss == 0 && (n * rs) % ss == 0) {
                    // Whole sectors go straight into the one batch buffer: no
                    // fresh memory to zero and fault in for every batch.
                    if (!batchBuffer) batchBuffer = std::make_unique_for_overwrite<uint8_t[]>(batch * rs);
                    src.readInto(at, static_cast<int64_t>(n * rs), batchBuffer.get(), ReadMode::thorough);
                    bytes = std::span<uint8_t>(batchBuffer.get(), n * rs);
                } else {
                    unaligned = src.readReporting(at, static_cast<int64_t>(n * rs)).data;
                    bytes = unaligned;
                }
                for (uint64_t i = 0; i < n; ++i) store(bytes.subspan(i * rs, rs), number + i, at + i * rs);
            }
            number += n;
            position += n * rs;
            if (position >= extent.length) {
                ++index;
                position = 0;
            }
            if (progress)
                progress->report(static_cast<double>(number) / static_cast<double>(mft.recordCount),
                                 "Læser MFT … " + std::to_string(number) + " af " + std::to_string(mft.recordCount) +
                                     " poster");
            continue;
        }
        // A record split between two extents (or an extent shorter than a
        // record) is put together from the pieces.
        Bytes bytes;
        while (bytes.size() < rs && index < mft.extents.size()) {
            const Extent& piece = mft.extents[index];
            uint64_t take = std::min(piece.length - position, rs - bytes.size());
            if (piece.offset && take > 0) {
                uint64_t at;
                if (checkedAdd(*piece.offset, position, at)) {
                    auto part = src.readReporting(at, static_cast<int64_t>(take)).data;
                    bytes.insert(bytes.end(), part.begin(), part.end());
                } else {
                    bytes.insert(bytes.end(), take, 0);
                }
            } else {
                bytes.insert(bytes.end(), take, 0);
            }
            position += take;
            if (position >= piece.length) {
                ++index;
                position = 0;
            }
        }
        store(bytes, number, 0);
        ++number;
    }
    return records;
}

// MARK: The sweep's test

bool NTFSParser::looksLikeRecord(ByteSpan buffer, int64_t offset) {
    if (offset < 0 || static_cast<int64_t>(buffer.size()) - 32 < offset) return false;
    if (!matches(buffer, "FILE", offset)) return false;
    uint16_t usaOffset = u16le(buffer, offset + 4);
    uint16_t usaCount = u16le(buffer, offset + 6);
    uint16_t firstAttribute = u16le(buffer, offset + 20);
    uint32_t allocated = u32le(buffer, offset + 28);
    return (usaOffset == 42 || usaOffset == 48) && usaCount >= 2 && usaCount <= 9 && firstAttribute >= 48 &&
           firstAttribute <= 511 && (allocated == 1024 || allocated == 4096);
}

}  // namespace sovanta
