// Tables, folders and bitmaps whose sizes a damaged or hostile boot sector
// forges: every reader allocates no more than the source can fill.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "SovantaCore/ExFAT/Context.h"
#include "SovantaCore/FAT/Context.h"
#include "SovantaCore/HFSPlus/Context.h"
#include "SovantaCore/NTFS/Context.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

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

namespace {

uint32_t getBE32(const Bytes& b, size_t offset) {
    uint32_t value = 0;
    for (size_t i = 0; i < 4; ++i) value = value << 8 | b[offset + i];
    return value;
}

uint64_t getLE(const Bytes& b, size_t offset, int width) {
    uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) value = value << 8 | b[offset + static_cast<size_t>(i)];
    return value;
}

// Every offset at which text stands in bytes.
std::vector<size_t> findAll(const Bytes& bytes, const std::string& text) {
    std::vector<size_t> found;
    auto at = bytes.begin();
    while ((at = std::search(at, bytes.end(), text.begin(), text.end())) != bytes.end())
        found.push_back(static_cast<size_t>(at++ - bytes.begin()));
    return found;
}

// The files of a volume, with the folders added to it later.
void collectFiles(const FileNodePtr& top, std::vector<FileNodePtr>& out) {
    std::vector<FileNodePtr> stack{top};
    while (!stack.empty()) {
        auto node = stack.back();
        stack.pop_back();
        if (!node->isDirectory) out.push_back(node);
        for (auto& child : node->children()) stack.push_back(child);
    }
}

}  // namespace

// A size field, or the volume size that has capped it, forged in a copy of a
// real image (one field per case, in every copy the reader would fall back
// to): no file of any volume, quick or deep, lists more than the source holds
// from its volume's start, and its recovery writes no more than that, the
// bytes no extent places counted unreadable.
TEST(ForgedSizes, NoFileIsLargerThanTheSourceHoldsFromItsVolume) {
    struct Case {
        const char* what;
        std::string image;
        std::function<bool(Bytes&)> forge;  // false when the field is not found
        bool deep;
        std::string name;  // the file whose size is forged
    };
    const std::vector<Case> cases = {
        {"FAT32 lost folder: song.mp3 of 0xFFFFFFFF bytes", fixtureImage("damage_fat32_root_destroyed"),
         [](Bytes& b) {
             auto entries = findAll(b, "SONG    MP3");
             if (entries.size() != 1) return false;
             putLE(b, entries[0] + 28, 0xFFFFFFFF, 4);
             return true;
         },
         true, "song.mp3"},
        {"HFS+ totalBlocks 0xFFFFFFFF in both volume headers", fixture("hostile/hfsplus_fork_1pib.img"),
         [](Bytes& b) {
             const uint64_t end = uint64_t{getBE32(b, 1024 + 40)} * getBE32(b, 1024 + 44);
             if (end != b.size() || getBE32(b, end - 1024 + 44) != getBE32(b, 1024 + 44)) return false;
             putBE32(b, 1024 + 44, 0xFFFFFFFF);
             putBE32(b, end - 1024 + 44, 0xFFFFFFFF);
             return true;
         },
         false, "koncertoptagelse.wav"},
        {"NTFS total sectors 2^40 in both boot sectors", fixture("hostile/fuzz_ntfs_attrlist_16eib.img"),
         [](Bytes& b) {
             auto boots = findAll(b, "NTFS    ");
             if (boots.size() != 2) return false;
             for (size_t at : boots)
                 if (getLE(b, at - 3 + 0x28, 8) != getLE(b, 0x28, 8)) return false;
             for (size_t at : boots) putLE(b, at - 3 + 0x28, uint64_t{1} << 40, 8);
             return true;
         },
         false, "g_058.bi\xef\xbd\xae"},
    };
    // Each case apart, so that a size found too large ends that case before
    // its recovery fills the disk with zeros.
    auto run = [](const Case& c) {
        TempDir work;
        Bytes bytes = readBytes(c.image);
        ASSERT_TRUE(c.forge(bytes)) << "the field to forge is not where it was";
        writeFile(work.file("forged.img"), bytes);
        auto source = SourceOpener::openImage(work.file("forged.img"));
        WorkProgress progress;
        auto scan = QuickScanner::run(*source, progress);
        std::vector<VolumePtr> volumes = scan.volumes;
        std::vector<std::pair<VolumePtr, FileNodePtr>> found;
        if (c.deep) {
            DeepScanOptions options;
            options.carve = false;
            auto outcome = DeepScanner(source, options).scan(scan.volumes, progress, {});
            volumes.insert(volumes.end(), outcome.volumes.begin(), outcome.volumes.end());
            found = outcome.folders;
        }
        ASSERT_FALSE(volumes.empty());

        FileNodePtr forged;
        uint64_t forgedCap = 0;
        auto check = [&](const Volume& volume, const FileNodePtr& top) {
            const uint64_t held = source->size - volume.offset;
            std::vector<FileNodePtr> files;
            collectFiles(top, files);
            for (auto& file : files) {
                EXPECT_LE(file->size, held) << file->path();
                if (file->name == c.name && (!forged || file->size > forged->size))
                    forged = file, forgedCap = std::min(held, volume.size);
            }
        };
        for (auto& volume : volumes) check(*volume, volume->root);
        for (auto& [volume, folder] : found) check(*volume, folder);
        ASSERT_TRUE(forged) << c.name;
        ASSERT_EQ(forged->size, forgedCap);
        EXPECT_NE(forged->recoverability, Recoverability::good);
        ASSERT_TRUE(forged->note);
        EXPECT_NE(forged->note->find("sat til " + std::to_string(forgedCap) + " bytes"), std::string::npos)
            << *forged->note;

        WorkProgress reporter;
        auto result = RecoveryEngine::recover({forged}, "V", *source, work.path() / "ud", {}, reporter, nullptr);
        EXPECT_EQ(result.withErrors, 1);
        EXPECT_EQ(result.bytes, forgedCap);
        uint64_t written = 0;
        for (auto& entry : fs::recursive_directory_iterator(*result.folder))
            if (entry.is_regular_file() && entry.path().filename() != RecoveryEngine::reportName)
                written += entry.file_size();
        EXPECT_EQ(written, forgedCap);
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        run(c);
    }
}
