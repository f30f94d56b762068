// Tables, folders and bitmaps whose sizes a damaged or hostile boot sector
// forges: every reader allocates no more than the source can fill.
#include <gtest/gtest.h>

#include <functional>

#include "SovantaCore/FAT/ExFATContext.h"
#include "SovantaCore/FAT/Context.h"
#include "SovantaCore/HFSPlus/Context.h"
#include "SovantaCore/NTFS/Context.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

constexpr size_t sourceBytes = 1 << 20;

void putBE32(Bytes& b, size_t offset, uint32_t value) {
    for (size_t i = 0; i < 4; ++i) b[offset + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// A FAT32 boot sector claiming 2^32 - 1 sectors and a FAT of 1,400,000
// sectors (about 700 MB, under the 768 MiB at which the FAT is given up).
Bytes forgedFAT32() {
    Bytes img(sourceBytes, 0);
    putLE(img, 11, 512, 2);
    img[13] = 1;
    putLE(img, 14, 1, 2);
    img[16] = 2;
    putLE(img, 32, 0xFFFFFFFF, 4);
    putLE(img, 36, 1400000, 4);
    putLE(img, 44, 2, 4);
    return img;
}

// An exFAT boot sector of 512-byte sectors and clusters claiming 150,000,000
// clusters, a FAT of 1,200,000 sectors (about 600 MB) and a heap at sector 64.
Bytes forgedExFAT() {
    Bytes img(sourceBytes, 0);
    putText(img, 3, "EXFAT   ");
    putLE(img, 72, 0xFFFFFFFFFF, 8);
    putLE(img, 80, 24, 4);
    putLE(img, 84, 1200000, 4);
    putLE(img, 88, 64, 4);
    putLE(img, 92, 150000000, 4);
    putLE(img, 96, 4, 4);
    img[108] = 9;
    return img;
}

}  // namespace

TEST(ForgedSizes, ReadersAllocateNoMoreThanTheSourceHolds) {
    struct Case {
        const char* what;
        Bytes image;
        // What the reader allocated for the forged structure.
        std::function<size_t(DiskSource&, const Bytes&)> allocated;
    };
    const Case cases[] = {
        {"FAT table", forgedFAT32(),
         [](DiskSource& source, const Bytes& img) {
             auto ctx = FATContext::make(source, 0, img, FileSystemType::fat32);
             return ctx ? ctx->fat.capacity() : 0;
         }},
        {"exFAT table", forgedExFAT(),
         [](DiskSource& source, const Bytes& img) {
             auto ctx = ExFATContext::make(source, 0, ByteSpan(img).first(512));
             return ctx ? ctx->fat.capacity() : 0;
         }},
        {"exFAT folder of 64 MiB in one run", forgedExFAT(),
         [](DiskSource& source, const Bytes& img) {
             auto ctx = ExFATContext::make(source, 0, ByteSpan(img).first(512));
             return ctx ? ctx->readChain(4, uint64_t{64} << 20, true).capacity() : 0;
         }},
        {"exFAT allocation bitmap of 500 MiB", forgedExFAT(),
         [](DiskSource& source, const Bytes& img) {
             auto ctx = ExFATContext::make(source, 0, ByteSpan(img).first(512));
             if (!ctx) return size_t{0};
             Bytes root(64, 0);
             root[0] = 0x81;
             putLE(root, 20, 5, 4);
             putLE(root, 24, uint64_t{500} << 20, 8);
             ctx->loadBitmap(root);
             return ctx->bitmap.capacity();
         }},
        {"NTFS cluster bitmap of 500 MiB on a volume of 4 TiB", Bytes(sourceBytes, 0),
         [](DiskSource& source, const Bytes&) {
             NTFSContext ctx(source, 0, 4096, 1024, uint64_t{1} << 42);
             DataFragment data;
             data.runs = {{uint64_t{0}, 128000}};
             data.dataSize = data.initSize = uint64_t{500} << 20;
             MFTRecord bitmap;
             bitmap.number = 6;
             bitmap.hasNumber = true;
             bitmap.inUse = true;
             bitmap.data.push_back(data);
             MFTRecordMap records;
             records.insert(6, std::move(bitmap));
             ctx.buildVolume(std::move(records), "test", nullptr);
             return ctx.bitmap.capacity();
         }},
        {"HFS+ catalog fork of 900 MiB on a volume of 16 TiB", Bytes(sourceBytes, 0),
         [](DiskSource& source, const Bytes&) {
             Bytes header(512, 0);
             putBE32(header, 40, 4096);
             putBE32(header, 44, 0xFFFFFFFF);
             HFSContext ctx(source, 0, header);
             HFSFork fork;
             fork.logicalSize = uint64_t{900} << 20;
             fork.extents = {{0, 230400}};
             return ctx.readFork(fork, 4, uint64_t{1} << 30).capacity();
         }},
    };
    for (auto& c : cases) {
        ByteSource source(c.image);
        size_t allocated = c.allocated(*source, c.image);
        EXPECT_GT(allocated, 0u) << c.what;
        EXPECT_LE(allocated, sourceBytes) << c.what;
    }
}
