// Turning the deep sweep's finds into volumes, extra folders and a volume of
// carved files.
#include <algorithm>
#include <ctime>
#include <unordered_map>

#include "SovantaCore/APFS.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/NTFS.h"
#include "SovantaCore/Scanner.h"

namespace sovanta {

namespace {

bool isFAT(FileSystemType type) {
    return type == FileSystemType::fat12 || type == FileSystemType::fat16 || type == FileSystemType::fat32;
}

// The keys of accepted volumes, looked up by offset so that a test costs a map
// lookup, not a pass over every key.
class KeySet {
public:
    void insert(FileSystemType type, uint64_t offset) {
        byOffset_[offset].insert(isFAT(type) ? std::string("FAT") : rawValue(type));
    }
    bool contains(FileSystemType type, uint64_t offset) const {
        auto it = byOffset_.find(offset);
        if (it == byOffset_.end()) return false;
        return it->second.count(isFAT(type) ? std::string("FAT") : rawValue(type)) > 0;
    }

private:
    std::unordered_map<uint64_t, std::set<std::string>> byOffset_;
};

bool hasChildren(const std::vector<VolumePtr>& volumes) {
    return !volumes.empty() && !volumes.front()->root->children().empty();
}

bool sameSerial(ByteSpan a, ByteSpan b, FileSystemType type) {
    switch (type) {
        case FileSystemType::fat32: return u32le(a, 67) == u32le(b, 67);
        case FileSystemType::exfat: return u32le(a, 100) == u32le(b, 100);
        case FileSystemType::ntfs: return u64le(a, 72) == u64le(b, 72);
        default: return false;
    }
}

// Where the primary boot sector would be if the sector at o were its backup.
std::optional<uint64_t> primaryPosition(const FoundBoot& boot) {
    const Bytes& s = boot.sector;
    uint64_t o = boot.offset;
    switch (boot.type) {
        case FileSystemType::fat32: {
            uint64_t back = 6ull * u16le(s, 11);
            if (o >= back) return o - back;
            return std::nullopt;
        }
        case FileSystemType::exfat: {
            unsigned shift = std::min<unsigned>(u8(s, 108), 12);
            uint64_t back = 12ull << shift;
            if (o >= back) return o - back;
            return std::nullopt;
        }
        case FileSystemType::ntfs: {
            auto geometry = NTFSParser::geometry(s);
            if (!geometry || geometry->volumeSize == 0 || o < geometry->volumeSize) return std::nullopt;
            return o - geometry->volumeSize;
        }
        default: return std::nullopt;
    }
}

// A volume from the loose records inside the NTFS volume a boot sector
// describes, with the geometry the reader itself reads from it.
std::optional<VolumePtr> ntfsFromRecords(DiskSource& src, const FoundBoot& boot, const DeepScanResult& result,
                                         WorkProgress& progress) {
    auto geometry = NTFSParser::geometry(boot.sector);
    if (!geometry || geometry->volumeSize == 0) return std::nullopt;
    const uint64_t o = boot.offset;
    std::vector<uint64_t> records;
    auto first = std::lower_bound(result.mftRecords.begin(), result.mftRecords.end(), o);
    for (auto it = first; it != result.mftRecords.end() && *it - o < geometry->volumeSize; ++it) records.push_back(*it);
    if (records.size() < 2) return std::nullopt;
    auto volume = NTFSParser::parse(src, o, geometry->clusterSize, geometry->recordSize, geometry->volumeSize,
                                    records, origin::deepScanMFTRecords, &progress);
    if (volume) VolumeLoader::bound(src, **volume);
    return volume;
}

// Whether the APFS superblock at s is a checkpoint copy: a container
// superblock lies at one of the first blocks before it, counted from the
// base of its checkpoint area, or a container already read starts there.
bool isCheckpointCopy(DiskSource& src, ByteSpan block, uint64_t s, uint32_t blockSize,
                      const std::vector<std::pair<uint64_t, uint64_t>>& ranges) {
    uint64_t base = u64le(block, 112);
    uint32_t blocks = u32le(block, 104) & 0x7FFFFFFF;
    for (uint64_t i = 0; i < std::min<uint64_t>(blocks, 4096); ++i) {
        if (base > UINT64_MAX - i) continue;
        uint64_t n = base + i;
        if (n > UINT64_MAX / blockSize) continue;
        uint64_t q = n * blockSize;
        if (q == 0 || q > s) continue;
        uint64_t c = s - q;
        bool rangeStart = std::any_of(ranges.begin(), ranges.end(), [&](auto& r) { return r.first == c; });
        if (rangeStart || matches(src.read(c, 64), std::string_view("NXSB"), 32)) return true;
    }
    return false;
}

// One run of buildVolumes: the keys of the volumes known and accepted so far,
// the count of finds examined, and the volumes accepted in order. Each stage
// stops at the first find after the work is cancelled.
class VolumeBuilder {
public:
    VolumeBuilder(DiskSource& src, const DeepScanResult& result, const std::vector<VolumePtr>& known,
                  WorkProgress& progress)
        : src_(src), result_(result), known_(known), progress_(progress) {
        for (auto& v : known) keys_.insert(v->type, v->offset);
        for (auto& b : result.boots) bootAt_.emplace(b.offset, &b);
        count_ = static_cast<double>(
            std::max<size_t>(result.boots.size() + result.hfsHeaders.size() + result.nxsb.size(), 1));
    }

    std::vector<VolumePtr> build() {
        bootSectors();
        hfsHeaders();
        apfsContainers();
        orphanRecords();
        return std::move(output_);
    }

private:
    void remember(const VolumePtr& v) {
        output_.push_back(v);
        keys_.insert(v->type, v->offset);
    }

    // Reports the next find; false when the work is cancelled.
    bool examine(const std::optional<std::string>& text) {
        if (progress_.isCancelled()) return false;
        examined_ += 1;
        if (text) progress_.report(std::min(1.0, examined_ / count_), *text);
        return true;
    }

    // A volume at every boot sector that is not the backup of one found, placed
    // by its backup when its own start is gone, or rebuilt from the MFT records
    // inside it when an NTFS boot sector gives no volume.
    void bootSectors() {
        for (auto& boot : result_.boots) {
            if (!examine("Undersøger fundet " + rawValue(boot.type) + "-filsystem …")) break;
            auto p = primaryPosition(boot);
            if (p) {
                auto primary = bootAt_.find(*p);
                if (primary != bootAt_.end() && sameSerial(primary->second->sector, boot.sector, boot.type)) continue;
            }
            if (keys_.contains(boot.type, boot.offset)) continue;
            auto volumes = VolumeLoader::load(src_, boot.type, boot.offset, origin::deepScan);
            if (!hasChildren(volumes) && p && !keys_.contains(boot.type, *p)) {
                auto placed = VolumeLoader::load(src_, boot.type, *p, origin::deepScanBackupBoot, nullptr, &boot.sector);
                if (hasChildren(placed)) volumes = placed;
            }
            if (volumes.empty() && boot.type == FileSystemType::ntfs) {
                if (auto v = ntfsFromRecords(src_, boot, result_, progress_)) volumes.push_back(*v);
            }
            for (auto& v : volumes) {
                if (v->root->children().empty() && v->type != FileSystemType::ntfs) continue;
                if (keys_.contains(v->type, v->offset)) continue;
                remember(v);
            }
        }
    }

    void hfsHeaders() {
        for (uint64_t h : result_.hfsHeaders) {
            if (!examine(std::string("Undersøger fundet HFS+-filsystem …"))) break;
            if (keys_.contains(FileSystemType::hfsplus, h)) continue;
            auto volumes = VolumeLoader::load(src_, FileSystemType::hfsplus, h, origin::deepScan);
            if (hasChildren(volumes)) remember(volumes.front());
        }
    }

    // Every container superblock that is no checkpoint copy and lies in no
    // container already met, in offset order.
    void apfsContainers() {
        std::vector<uint64_t> superblocks = result_.nxsb;
        std::sort(superblocks.begin(), superblocks.end());
        std::vector<std::pair<uint64_t, uint64_t>> ranges;
        for (uint64_t s : superblocks) {
            if (!examine(std::nullopt)) break;
            bool inside = std::any_of(ranges.begin(), ranges.end(), [&](auto& r) { return r.first <= s && s < r.second; });
            if (inside) continue;
            Bytes head = src_.read(s, 4096);
            uint32_t blockSize = u32le(head, 36);
            if (blockSize < 4096 || blockSize > 65536) continue;
            Bytes block = blockSize == 4096 ? head : src_.read(s, blockSize);
            if (!APFSParser::checksumOK(block)) continue;
            if (isCheckpointCopy(src_, block, s, blockSize, ranges)) continue;
            uint64_t blockCount = u64le(block, 40);
            uint64_t end = blockCount > (UINT64_MAX - s) / blockSize ? UINT64_MAX : s + blockCount * blockSize;
            ranges.emplace_back(s, end);
            if (keys_.contains(FileSystemType::apfs, s)) continue;
            progress_.report(std::min(1.0, examined_ / count_), "Undersøger fundet APFS-container …");
            for (auto& v : APFSParser::parse(src_, s, origin::deepScan)) {
                VolumeLoader::bound(src_, *v);
                output_.push_back(v);
            }
            keys_.insert(FileSystemType::apfs, s);
        }
    }

    // One NTFS volume rebuilt from the MFT records that no NTFS volume, known
    // or new, accounts for. It runs even after a cancellation.
    void orphanRecords() {
        std::vector<std::pair<uint64_t, uint64_t>> ntfsRanges;
        for (const std::vector<VolumePtr>* list : {&known_, const_cast<const std::vector<VolumePtr>*>(&output_)})
            for (auto& v : *list)
                if (v->type == FileSystemType::ntfs) ntfsRanges.emplace_back(v->offset, v->offset + v->size);
        std::vector<uint64_t> orphans;
        for (uint64_t r : result_.mftRecords) {
            bool inside = std::any_of(ntfsRanges.begin(), ntfsRanges.end(),
                                      [&](auto& range) { return range.first <= r && r < range.second; });
            if (!inside) orphans.push_back(r);
        }
        if (orphans.size() < 8) return;
        if (auto v = NTFSParser::rebuildFromAnchors(src_, orphans, &progress_)) {
            VolumeLoader::bound(src_, **v);
            output_.push_back(*v);
        }
    }

    DiskSource& src_;
    const DeepScanResult& result_;
    const std::vector<VolumePtr>& known_;
    WorkProgress& progress_;
    KeySet keys_;
    std::unordered_map<uint64_t, const FoundBoot*> bootAt_;
    double count_ = 1;
    double examined_ = 0;
    std::vector<VolumePtr> output_;
};

}  // namespace

std::vector<VolumePtr> DeepScanner::buildVolumes(DiskSource& src, const DeepScanResult& result,
                                                 const std::vector<VolumePtr>& known, WorkProgress& progress) {
    return VolumeBuilder(src, result, known, progress).build();
}

std::vector<std::pair<VolumePtr, FileNodePtr>> DeepScanner::extraFolders(DiskSource& src,
                                                                        const std::vector<VolumePtr>& volumes,
                                                                        const DeepScanResult& result,
                                                                        WorkProgress& progress) {
    std::vector<std::pair<VolumePtr, FileNodePtr>> pairs;
    for (auto& v : volumes) {
        if (!isFAT(v->type)) continue;
        if (progress.isCancelled()) break;
        progress.report(0, "Søger efter tabte mappefragmenter …");
        if (auto folder = FATParser::lostEntries(src, *v, result.fatDirSectors, &progress)) pairs.emplace_back(v, *folder);
    }
    std::map<uint64_t, std::vector<VolumePtr>> containers;
    for (auto& v : volumes)
        if (v->type == FileSystemType::apfs) containers[v->offset].push_back(v);
    for (auto& [offset, group] : containers) {
        if (progress.isCancelled()) break;
        for (auto& pair : APFSParser::deletedFromOldNodes(group, result.apfsLeafNodes, src, &progress))
            pairs.push_back(pair);
    }
    // The sizes in the entries found are as forgeable as any: they are held
    // to what the volume and the source hold, as the volume's own files are.
    for (auto& [volume, folder] : pairs) VolumeLoader::bound(src, *volume, *folder);
    return pairs;
}

std::string DeepScanner::carvedName(const CarvedFile& file) {
    std::string name = "f" + std::to_string(file.offset / 512) + "." + file.ext;
    if (!file.date) return name;
    std::time_t t = std::chrono::system_clock::to_time_t(*file.date);
    std::tm tm{};
    localtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H.%M.%S", &tm);
    return std::string(stamp) + " " + name;
}

VolumePtr DeepScanner::carvedVolume(const std::vector<CarvedFile>& files) {
    auto root = FileNode::make("", true, 0, EntryStatus::existing, Recoverability::unknown, NoData{});
    std::unordered_map<std::string, FileNodePtr> folders;
    for (auto& file : files) {
        std::string upper = file.ext;
        for (auto& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        auto& folder = folders[upper];
        if (!folder) {
            folder = FileNode::make(upper, true, 0, EntryStatus::carved, Recoverability::unknown, NoData{});
            root->add(folder);
        }
        auto node = FileNode::make(carvedName(file), false, file.size, EntryStatus::carved,
                                   file.exact ? Recoverability::good : Recoverability::unknown,
                                   std::vector<Extent>{Extent{file.offset, file.size}});
        node->modified = file.date;
        if (!file.exact) node->note = "Størrelsen er anslået";
        node->fsID = file.offset;
        folder->add(node);
    }
    root->sortChildren();
    auto volume = Volume::make(FileSystemType::carved, "Filer fundet via signatur", 0, 0, root, origin::deepScan);
    volume->notes.push_back(
        "Filerne er fundet ud fra deres indhold. Originale navne og mapper kendes ikke, og fragmenterede filer kan "
        "være ufuldstændige.");
    return volume;
}

}  // namespace sovanta
