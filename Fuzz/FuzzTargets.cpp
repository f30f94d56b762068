#include "FuzzTargets.h"

#include <cstring>

#include <sys/mman.h>
#include <unistd.h>

#include "SovantaCore/APFS.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/Carver.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Partitions.h"
#include "SovantaCore/PropertyList.h"
#include "SovantaCore/Scanner.h"

namespace sovanta::fuzz {

namespace {

constexpr uint64_t maxSparseSize = uint64_t{1} << 32;

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
    size_t at = 8;
    while (at + 12 <= size) {
        uint64_t offset = u64le(in, static_cast<int64_t>(at));
        uint64_t length = std::min<uint64_t>(u32le(in, static_cast<int64_t>(at + 8)), size - at - 12);
        at += 12;
        if (offset < image.size())
            std::memcpy(image.data() + offset, data + at, std::min<uint64_t>(length, image.size() - offset));
        at += length;
    }
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
    size_t at = 8;
    while (at + 12 <= size) {
        uint64_t offset = u64le(in, static_cast<int64_t>(at));
        uint64_t length = u32le(in, static_cast<int64_t>(at + 8));
        at += 12;
        length = std::min<uint64_t>(length, size - at);
        if (offset < imageSize) {
            uint64_t fit = std::min<uint64_t>(length, imageSize - offset);
            if (::pwrite(fd, data + at, fit, static_cast<off_t>(offset)) < 0) break;
        }
        at += length;
    }
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
    };
    return all;
}

}  // namespace sovanta::fuzz
