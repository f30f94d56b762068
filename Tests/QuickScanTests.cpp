#include <gtest/gtest.h>

#include "ScanTestSupport.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::test;

TEST(QuickScanner, FATVolumesOfPartitionedFixtures) {
    struct Case {
        std::string fixture, prefix;
        uint64_t offset;
        FileSystemType type;
    };
    const Case cases[] = {
        {"gpt_fat32_ntfs_exfat", "p1:", 2048 * 512, FileSystemType::fat32},
        {"mbr_extended", "p1:", 2048 * 512, FileSystemType::fat16},
        {"gpt_primary_header_zeroed", "p1:", 2048 * 512, FileSystemType::fat16},
        {"gpt_4k_sectors", "p1:", 256 * 4096, FileSystemType::fat12},
        {"superfloppy_fat32", "", 0, FileSystemType::fat32},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        auto source = openFixture(c.fixture);
        WorkProgress progress;
        auto result = QuickScanner::run(*source, progress);
        ASSERT_GE(result.notes.size(), result.layout.notes.size());
        EXPECT_TRUE(std::equal(result.layout.notes.begin(), result.layout.notes.end(), result.notes.begin()));
        VolumePtr fat;
        for (auto& v : result.volumes) {
            EXPECT_EQ(v->origin, "Partitionstabel");
            if (v->offset == c.offset) fat = v;
        }
        ASSERT_TRUE(fat);
        EXPECT_EQ(fat->type, c.type);
        expectFATVolumeMatchesManifest(*source, *fat, c.fixture, c.prefix);
    }
}

namespace {

// An MBR disk of four partitions: FAT12 (the fat12 fixture), ext4 (only its
// superblock magic), swap (nothing recognisable) and FAT12 again.
Bytes fourPartitionDisk() {
    std::ifstream in(fixtureImage("fat12"), std::ios::binary);
    Bytes floppy((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(floppy.size(), 2880u * 512);
    Bytes disk(13120 * 512, 0);
    struct Part {
        uint8_t type;
        uint32_t first, count;
    };
    const Part parts[] = {{0x01, 2048, 2880}, {0x83, 6144, 2048}, {0x82, 8192, 2048}, {0x01, 10240, 2880}};
    for (int i = 0; i < 4; ++i) {
        size_t r = 446 + 16 * static_cast<size_t>(i);
        disk[r + 4] = parts[i].type;
        putLE(disk, r + 8, parts[i].first, 4);
        putLE(disk, r + 12, parts[i].count, 4);
    }
    disk[510] = 0x55, disk[511] = 0xAA;
    std::copy(floppy.begin(), floppy.end(), disk.begin() + 2048 * 512);
    std::copy(floppy.begin(), floppy.end(), disk.begin() + 10240 * 512);
    putLE(disk, 6144 * 512 + 1024 + 56, 0xEF53, 2);
    return disk;
}

}  // namespace

TEST(QuickScanner, NotesAndProgressPerEntry) {
    ByteSource source(fourPartitionDisk());
    std::vector<std::pair<double, std::string>> reports;
    WorkProgress progress([&](double f, const std::string& m) { reports.push_back({f, m}); });
    auto result = QuickScanner::run(*source, progress);

    EXPECT_EQ(result.layout.scheme, "MBR");
    ASSERT_EQ(result.layout.entries.size(), 4u);
    EXPECT_EQ(result.layout.entries[1].detected, FileSystemType::ext);
    EXPECT_EQ(result.layout.entries[2].detected, std::nullopt);
    ASSERT_EQ(result.volumes.size(), 2u);
    EXPECT_EQ(result.volumes[0]->offset, 2048u * 512);
    EXPECT_EQ(result.volumes[1]->offset, 10240u * 512);
    EXPECT_EQ(result.notes, (std::vector<std::string>{
                                "ext2/3/4-filsystemet på partition 2 kunne ikke læses. Prøv dyb scanning.",
                                "ext-filsystemer understøttes kun via dyb scanning.",
                            }));
    // The swap partition, with nothing recognised, makes no report of its own.
    EXPECT_EQ(reports, (std::vector<std::pair<double, std::string>>{
                           {0, "Læser partitionstabel …"},
                           {0, "Læser FAT12 på partition 1 …"},
                           {0.25, "Læser ext2/3/4 på partition 2 …"},
                           {0.75, "Læser FAT12 på partition 4 …"},
                           {1, "Færdig"},
                       }));
}

TEST(QuickScanner, CancellationIsNoticedBeforeTheNextEntry) {
    ByteSource source(fourPartitionDisk());
    std::vector<std::string> messages;
    WorkProgress* self = nullptr;
    WorkProgress progress([&](double, const std::string& m) {
        messages.push_back(m);
        if (m == "Læser FAT12 på partition 1 …") self->cancel();
    });
    self = &progress;
    auto result = QuickScanner::run(*source, progress);
    // The first entry's reader runs to its end; the second entry is not begun.
    ASSERT_EQ(result.volumes.size(), 1u);
    EXPECT_GT(result.volumes[0]->root->totals().files, 0);
    EXPECT_TRUE(result.notes.empty());
    EXPECT_EQ(messages.back(), "Færdig");
    EXPECT_EQ(messages.size(), 3u);
}

TEST(QuickScanner, SourcesWithoutPartitions) {
    auto empty = openFixture("gpt_empty");
    WorkProgress progress;
    auto result = QuickScanner::run(*empty, progress);
    EXPECT_EQ(result.layout.scheme, "Ukendt");
    EXPECT_TRUE(result.volumes.empty());
    EXPECT_EQ(result.notes, std::vector<std::string>{PartitionTable::noTableNote});

    auto floppy = openFixture("fat12");
    result = QuickScanner::run(*floppy, progress);
    ASSERT_EQ(result.volumes.size(), 1u);
    EXPECT_EQ(result.volumes[0]->title(), "SOMMERHUS (FAT12)");
    EXPECT_TRUE(result.notes.empty());
}
