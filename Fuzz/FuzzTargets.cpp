#include "FuzzTargets.h"

#include <algorithm>
#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "SovantaCore/APFS/Container.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/Carver.h"
#include "SovantaCore/DiskList.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/NTFS/Context.h"
#include "SovantaCore/Partitions.h"
#include "SovantaCore/PropertyList.h"
#include "SovantaCore/RangeMap.h"
#include "SovantaCore/Scanner.h"

namespace sovanta::fuzz {

namespace {

constexpr uint64_t maxSparseSize = uint64_t{1} << 32;

// The pieces of a sparse input after its 8-byte image size: each an 8-byte
// offset, a 4-byte length and that many bytes (fewer at the input's end).
// piece(offset, bytes, length) returns false to stop.
template <typename Piece>
void forEachPiece(const uint8_t* data, size_t size, Piece&& piece) {
    ByteSpan in(data, size);
    size_t at = 8;
    while (at + 12 <= size) {
        uint64_t offset = u64le(in, static_cast<int64_t>(at));
        uint64_t length = std::min<uint64_t>(u32le(in, static_cast<int64_t>(at + 8)), size - at - 12);
        at += 12;
        if (!piece(offset, data + at, length)) return;
        at += length;
    }
}

void walkVolume(DiskSource& source, const VolumePtr& volume) {
    volume->root->sortChildren();
    volume->root->totals();
    volume->title();
    // Read a little of every file through the streamer: placements must be safe to follow.
    int budget = 2000;
    for (auto& file : volume->root->allFiles()) {
        if (--budget < 0) break;
        FileReader::readPrefix(*file, source, 4096);
    }
}

void loadAs(FileSystemType type, const uint8_t* data, size_t size) {
    auto source = sparseSource(data, size);
    if (!source) return;
    WorkProgress progress;
    for (auto& v : VolumeLoader::load(*source, type, 0, origin::deepScan, &progress)) walkVolume(*source, v);
}

// APFS: the sparse image is laid out in memory (at most 2 MiB) and every
// 4 KiB block whose stored checksum is 0 is sealed first, so that mutations
// reach the node decoding behind the checksum test. Then the volumes, and the
// deleted files of every leaf node the deep sweep would find.
void loadAPFS(const uint8_t* data, size_t size) {
    ByteSpan in(data, size);
    std::vector<uint8_t> image(std::min<uint64_t>(u64le(in, 0), uint64_t{2} << 20));
    forEachPiece(data, size, [&](uint64_t offset, const uint8_t* bytes, uint64_t length) {
        if (offset < image.size())
            std::memcpy(image.data() + offset, bytes, std::min<uint64_t>(length, image.size() - offset));
        return true;
    });
    int fd = memfd_create("sovanta-fuzz", MFD_CLOEXEC);
    if (fd < 0) return;
    auto source = std::make_shared<DiskSource>(fd, "fuzz", "fuzz", image.size(), 512, false, std::nullopt, nullptr);
    if (::ftruncate(fd, static_cast<off_t>(image.size())) != 0) return;
    std::vector<uint64_t> leaves;
    for (size_t block = 0; block + 4096 <= image.size(); block += 4096) {
        ByteSpan b(image.data() + block, 4096);
        if (isAllZero(b, 0)) continue;
        if (u64le(b, 0) == 0) {
            uint64_t sum = APFSParser::fletcher64(b);
            std::memcpy(image.data() + block, &sum, 8);
        }
        if (APFSParser::looksLikeFSTreeLeaf(image, static_cast<int64_t>(block), 4096)) leaves.push_back(block);
        if (::pwrite(fd, b.data(), b.size(), static_cast<off_t>(block)) < 0) return;
    }
    size_t tail = image.size() % 4096;
    if (tail && ::pwrite(fd, image.data() + image.size() - tail, tail, static_cast<off_t>(image.size() - tail)) < 0)
        return;
    WorkProgress progress;
    auto volumes = VolumeLoader::load(*source, FileSystemType::apfs, 0, origin::deepScan, &progress);
    for (auto& [volume, folder] : APFSParser::deletedFromOldNodes(volumes, leaves, *source, &progress))
        volume->root->add(folder);
    for (auto& v : volumes) walkVolume(*source, v);
}

// One FILE record. The first byte chooses the record size (bits 0-1: 1024,
// 4096, the rest of the input as it stands, or 512 times 1 to 8 from the
// second byte) and whether the caller names the record (bit 2); the record's
// bytes follow, cut or padded with zeros to the size. Then the joined data
// and its extents on a 1 GiB volume of 4 KiB clusters, and the run decoder
// over the raw bytes from the offset in the second byte.
void parseNTFSRecord(const uint8_t* data, size_t size) {
    if (size < 2) return;
    static const DiskSourcePtr volume = [] {
        int fd = memfd_create("sovanta-fuzz", MFD_CLOEXEC);
        if (fd >= 0 && ::ftruncate(fd, off_t{1} << 30) != 0) {
            ::close(fd);
            fd = -1;
        }
        return std::make_shared<DiskSource>(fd, "fuzz", "fuzz", uint64_t{1} << 30, 512, false, std::nullopt, nullptr);
    }();
    static NTFSContext context(*volume, 0, 4096, 1024, uint64_t{1} << 30);
    ByteSpan rest(data + 2, size - 2);
    size_t recordSize = 0;
    switch (data[0] & 3) {
        case 0: recordSize = 1024; break;
        case 1: recordSize = 4096; break;
        case 2: recordSize = rest.size(); break;
        default: recordSize = 512 * (static_cast<size_t>(data[1] & 7) + 1); break;
    }
    Bytes bytes(recordSize, 0);
    std::copy_n(rest.begin(), std::min(recordSize, rest.size()), bytes.begin());
    std::optional<uint64_t> number;
    if (data[0] & 4) number = data[0] >> 3;
    NTFSParser::looksLikeRecord(rest, 0);
    if (auto record = NTFSContext::parseRecord(bytes, number)) {
        record->bestName();
        auto merged = NTFSContext::mergedData(record->data);
        if (merged.main) context.extents(merged.runs, merged.main->dataSize, merged.main->initSize);
        context.extents(record->attrListRuns, record->attrListSize, record->attrListSize);
    }
    NTFSContext::decodeRuns(rest, data[1], static_cast<int64_t>(rest.size()));
}

// A mapfile: a little-endian u64 map size, then the file's text. The text
// goes into one memory file per process, read back through its /proc path.
void readMapfile(const uint8_t* data, size_t size) {
    if (size < 8) return;
    static const int fd = memfd_create("sovanta-fuzz-mapfile", MFD_CLOEXEC);
    if (fd < 0 || ::ftruncate(fd, 0) != 0) return;
    for (size_t done = 8; done < size;) {
        ssize_t n = ::pwrite(fd, data + done, size - done, static_cast<off_t>(done - 8));
        if (n <= 0) return;
        done += static_cast<size_t>(n);
    }
    auto map = RangeMap::read("/proc/self/fd/" + std::to_string(fd), u64le(ByteSpan(data, size), 0));
    if (!map) return;
    map->snapshot();
    map->cells(97);
    for (auto status : RangeMap::allCases()) {
        map->total(status);
        map->first(status, map->size / 3);
    }
    map->first({RangeMap::Status::nonTrimmed, RangeMap::Status::bad}, 0);
}

// The disk tool's answers, parted by lines holding only "%%": the first
// answers "list -plist", the following answer "info -plist" in the order the
// disk list asks; past the last answer the tool knows no disk. The same
// answers serve the lookup of the disks under a folder.
void loadDiskList(const uint8_t* data, size_t size) {
    std::vector<Bytes> answers;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    for (;;) {
        size_t cut = text.find("\n%%\n");
        std::string_view part = text.substr(0, cut);
        answers.emplace_back(part.begin(), part.end());
        if (cut == std::string_view::npos) break;
        text.remove_prefix(cut + 4);
    }
    auto tool = [&answers](size_t first) {
        return [&answers, next = first](const std::vector<std::string>&) mutable {
            Shell::Result result;
            if (next >= answers.size()) {
                result.status = 1;
                return result;
            }
            result.status = 0;
            result.stdoutBytes = answers[next++];
            return result;
        };
    };
    for (auto& disk : DiskList::load(tool(0))) {
        disk.displayName();
        disk.mountedVolumes();
        disk.isBootDisk();
        disk.health();
        disk.temperatureCelsius();
    }
    DiskList::physicalDisks("/", tool(1));
}

}  // namespace

DiskSourcePtr memorySource(const uint8_t* data, size_t size, int64_t sectorSize) {
    int fd = memfd_create("sovanta-fuzz", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    size_t done = 0;
    while (done < size) {
        ssize_t n = ::write(fd, data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    return std::make_shared<DiskSource>(fd, "fuzz", "fuzz", size, sectorSize, false, std::nullopt, nullptr);
}

DiskSourcePtr sparseSource(const uint8_t* data, size_t size) {
    ByteSpan in(data, size);
    uint64_t imageSize = std::min(u64le(in, 0), maxSparseSize);
    int fd = memfd_create("sovanta-fuzz", MFD_CLOEXEC);
    if (fd < 0) return nullptr;
    if (::ftruncate(fd, static_cast<off_t>(imageSize)) != 0) {
        ::close(fd);
        return nullptr;
    }
    forEachPiece(data, size, [&](uint64_t offset, const uint8_t* bytes, uint64_t length) {
        if (offset >= imageSize) return true;
        uint64_t fit = std::min<uint64_t>(length, imageSize - offset);
        return ::pwrite(fd, bytes, fit, static_cast<off_t>(offset)) >= 0;
    });
    return std::make_shared<DiskSource>(fd, "fuzz", "fuzz", imageSize, 512, false, std::nullopt, nullptr);
}

std::vector<uint8_t> encodeSparse(const std::vector<uint8_t>& image) {
    std::vector<uint8_t> out(8);
    uint64_t size = image.size();
    std::memcpy(out.data(), &size, 8);
    constexpr size_t block = 4096;
    for (size_t off = 0; off < image.size(); off += block) {
        size_t len = std::min(block, image.size() - off);
        if (isAllZero(ByteSpan(image.data() + off, len), 0)) continue;
        uint64_t o = off;
        uint32_t l = static_cast<uint32_t>(len);
        size_t at = out.size();
        out.resize(at + 12 + len);
        std::memcpy(out.data() + at, &o, 8);
        std::memcpy(out.data() + at + 8, &l, 4);
        std::memcpy(out.data() + at + 12, image.data() + off, len);
    }
    return out;
}

const std::vector<Target>& targets() {
    static const std::vector<Target> all = {
        {"partitions",
         [](const uint8_t* d, size_t n) {
             auto source = sparseSource(d, n);
             if (!source) return;
             PartitionTable::read(*source);
             FSProbe::detect(*source, 0);
         }},
        {"bootsector",
         [](const uint8_t* d, size_t n) {
             ByteSpan b(d, n);
             FSProbe::detectBootSector(b, 0);
             FSProbe::isHFSPlusHeader(b, 0);
         }},
        {"lznt1",
         [](const uint8_t* d, size_t n) {
             if (n < 2) return;
             int64_t outputSize = (static_cast<int64_t>(d[0]) << 8 | d[1]) * 16;
             FileReader::lznt1Decompress(ByteSpan(d + 2, n - 2), outputSize);
         }},
        {"plist",
         [](const uint8_t* d, size_t n) { PlistValue::parse(Bytes(d, d + n)); }},
        {"fat", [](const uint8_t* d, size_t n) { loadAs(FileSystemType::fat32, d, n); }},
        {"exfat", [](const uint8_t* d, size_t n) { loadAs(FileSystemType::exfat, d, n); }},
        {"ntfs", [](const uint8_t* d, size_t n) { loadAs(FileSystemType::ntfs, d, n); }},
        {"hfsplus", [](const uint8_t* d, size_t n) { loadAs(FileSystemType::hfsplus, d, n); }},
        {"apfs", loadAPFS},
        {"carver",
         [](const uint8_t* d, size_t n) {
             // Every sector start of the input, as the deep sweep offers them.
             auto source = memorySource(d, n);
             if (!source) return;
             Carver carver(source, {allFileCategories().begin(), allFileCategories().end()});
             for (size_t at = 0; at + 32 <= n; at += 512)
                 carver.check(ByteSpan(d + at, std::min<size_t>(64, n - at)), at);
             Carver::exifDate(ByteSpan(d, n));
         }},
        {"ntfsrecord", parseNTFSRecord},
        {"mapfile", readMapfile},
        {"disklist", loadDiskList},
    };
    return all;
}

}  // namespace sovanta::fuzz
