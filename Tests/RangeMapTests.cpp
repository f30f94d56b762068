#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <system_error>

#include <sys/stat.h>
#include <unistd.h>

#include "FileTestSupport.h"
#include "SovantaCore/Imager.h"
#include "SovantaCore/RangeMap.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;
using Status = RangeMap::Status;
using Block = RangeMap::Block;

namespace {

std::shared_ptr<RangeMap> mapOf(uint64_t size, const std::vector<Block>& blocks) {
    auto map = std::make_shared<RangeMap>(size);
    for (auto& b : blocks) map->set(b.pos, b.size, b.status);
    return map;
}

std::string statusText(const std::vector<Status>& cells) {
    std::string text;
    for (Status s : cells) text += RangeMap::rawValue(s);
    return text;
}

}  // namespace

TEST(RangeMap, StatusCharactersAndOrder) {
    std::string order;
    for (Status s : RangeMap::allCases()) order += RangeMap::rawValue(s);
    EXPECT_EQ(order, "?*/-+");
    for (char c : order) EXPECT_EQ(RangeMap::rawValue(*RangeMap::statusFromRaw(c)), c);
    for (char c : std::string("x #0A")) EXPECT_FALSE(RangeMap::statusFromRaw(c)) << c;
}

TEST(RangeMap, EmptyMapHasNothing) {
    TempDir folder;
    RangeMap map(0);
    EXPECT_TRUE(map.snapshot().empty());
    EXPECT_TRUE(map.cells(1200).empty());
    for (Status s : RangeMap::allCases()) {
        EXPECT_EQ(map.total(s), 0u);
        EXPECT_FALSE(map.first(s, 0));
    }
    map.set(0, 10, Status::bad);
    EXPECT_TRUE(map.snapshot().empty());
    map.write(folder.file("m"), 0, 1);
    EXPECT_EQ(readText(folder.file("m")),
              "# Mapfile. Created by Sovanta (GNU ddrescue compatible)\n"
              "# Command line: sovanta\n"
              "# current_pos  current_status  current_pass\n"
              "0x00000000     ?               1\n"
              "#      pos        size  status\n");
}

TEST(RangeMap, SetSplitsClipsAndMerges) {
    struct Case {
        const char* name;
        std::vector<Block> sets;
        std::vector<Block> expected;
    };
    const std::vector<Case> cases = {
        {"start", {{0, 10, Status::bad}}, {{0, 10, Status::bad}, {10, 90, Status::nonTried}}},
        {"fills up and merges", {{0, 10, Status::bad}, {10, 90, Status::bad}}, {{0, 100, Status::bad}}},
        {"middle",
         {{40, 20, Status::finished}},
         {{0, 40, Status::nonTried}, {40, 20, Status::finished}, {60, 40, Status::nonTried}}},
        {"clipped at the end", {{90, 50, Status::bad}}, {{0, 90, Status::nonTried}, {90, 10, Status::bad}}},
        {"at the end and empty", {{100, 5, Status::bad}, {5, 0, Status::bad}}, {{0, 100, Status::nonTried}}},
        {"over several blocks",
         {{10, 10, Status::bad}, {30, 10, Status::finished}, {50, 10, Status::bad}, {15, 40, Status::nonTrimmed}},
         {{0, 10, Status::nonTried},
          {10, 5, Status::bad},
          {15, 40, Status::nonTrimmed},
          {55, 5, Status::bad},
          {60, 40, Status::nonTried}}},
        {"joins both neighbours",
         {{0, 40, Status::finished}, {60, 40, Status::finished}, {40, 20, Status::finished}},
         {{0, 100, Status::finished}}},
        {"same status inside", {{20, 60, Status::bad}, {30, 10, Status::bad}},
         {{0, 20, Status::nonTried}, {20, 60, Status::bad}, {80, 20, Status::nonTried}}},
        {"back to the status around it",
         {{40, 20, Status::finished}, {40, 20, Status::nonTried}},
         {{0, 100, Status::nonTried}}},
        {"huge length", {{50, UINT64_MAX - 50, Status::finished}},
         {{0, 50, Status::nonTried}, {50, 50, Status::finished}}},
    };
    for (auto& c : cases) {
        auto map = mapOf(100, c.sets);
        EXPECT_EQ(map->snapshot(), c.expected) << c.name;
        uint64_t sum = 0;
        for (Status s : RangeMap::allCases()) sum += map->total(s);
        EXPECT_EQ(sum, 100u) << c.name;
    }
}

TEST(RangeMap, FirstClipsToThePosition) {
    auto map = mapOf(100, {{40, 20, Status::finished}});
    EXPECT_EQ(map->first(Status::nonTried, 50), (Block{60, 40, Status::nonTried}));
    EXPECT_EQ(map->first(Status::nonTried, 30), (Block{30, 10, Status::nonTried}));
    EXPECT_EQ(map->first(Status::nonTried, 0), (Block{0, 40, Status::nonTried}));
    EXPECT_FALSE(map->first(Status::nonTried, 100));
    EXPECT_FALSE(map->first(Status::bad, 0));
    EXPECT_EQ(map->first(Status::finished, 59), (Block{59, 1, Status::finished}));
    map->set(70, 10, Status::nonScraped);
    map->set(90, 5, Status::nonTrimmed);
    EXPECT_EQ(map->first({Status::nonTrimmed, Status::nonScraped}, 0), (Block{70, 10, Status::nonScraped}));
    EXPECT_EQ(map->first({Status::nonTrimmed, Status::nonScraped}, 80), (Block{90, 5, Status::nonTrimmed}));
    EXPECT_FALSE(map->first({Status::nonTrimmed, Status::nonScraped}, 95));
}

TEST(RangeMap, CellsShowTheWorstStatus) {
    EXPECT_EQ(statusText(mapOf(100, {{40, 20, Status::finished}})->cells(4)), "????");
    EXPECT_EQ(statusText(mapOf(100, {{40, 20, Status::bad}})->cells(4)), "?--?");
    EXPECT_EQ(statusText(mapOf(100, {{0, 100, Status::finished}})->cells(4)), "++++");
    // Fewer bytes than cells: cells that no block reaches stay finished.
    EXPECT_EQ(statusText(mapOf(3, {{1, 1, Status::bad}})->cells(6)), "?+-+?+");
    // Equal priority: the block at the lower address wins.
    EXPECT_EQ(statusText(mapOf(100, {{0, 50, Status::finished}, {50, 5, Status::nonTrimmed},
                                     {55, 45, Status::nonScraped}})
                             ->cells(2)),
              "+*");
    EXPECT_EQ(statusText(mapOf(100, {{0, 50, Status::finished}, {50, 5, Status::nonScraped},
                                     {55, 45, Status::nonTrimmed}})
                             ->cells(2)),
              "+/");
    EXPECT_TRUE(mapOf(100, {})->cells(0).empty());
    EXPECT_TRUE(mapOf(100, {})->cells(-3).empty());
    // Huge sizes cannot push an index past the last cell.
    auto huge = mapOf(UINT64_MAX, {{UINT64_MAX - 1, 1, Status::bad}});
    auto cells = huge->cells(1200);
    ASSERT_EQ(cells.size(), 1200u);
    EXPECT_EQ(cells.back(), Status::bad);
}

TEST(RangeMap, WritesTheMapfileFormatAndReadsItBack) {
    TempDir folder;
    auto map = mapOf(6144, {{0, 4096, Status::finished}, {4096, 512, Status::bad}});
    const std::string path = folder.file("disk.img.map");
    map->write(path, 4096, 3);
    EXPECT_EQ(readText(path),
              "# Mapfile. Created by Sovanta (GNU ddrescue compatible)\n"
              "# Command line: sovanta\n"
              "# current_pos  current_status  current_pass\n"
              "0x00001000     ?               3\n"
              "#      pos        size  status\n"
              "0x00000000  0x00001000  +\n"
              "0x00001000  0x00000200  -\n"
              "0x00001200  0x00000600  ?\n");
    EXPECT_EQ(::access((path + ".tmp").c_str(), F_OK), -1);
    EXPECT_EQ(RangeMap::read(path, 6144)->snapshot(), map->snapshot());
    EXPECT_EQ(RangeMap::read(path, 5000)->snapshot(),
              (std::vector<Block>{{0, 4096, Status::finished}, {4096, 512, Status::bad}, {4608, 392, Status::nonTried}}));
    // Values of more than eight digits keep all of them.
    auto big = mapOf(0x123456789ull, {{0, 0x100000000ull, Status::finished}});
    big->write(path, 0x100000000ull, 12);
    auto text = readText(path);
    EXPECT_NE(text.find("0x100000000     ?               12\n"), std::string::npos);
    EXPECT_NE(text.find("0x00000000  0x100000000  +\n0x100000000  0x23456789  ?\n"), std::string::npos);
}

TEST(RangeMap, ReplacesTheMapfileAtomically) {
    TempDir folder;
    const std::string path = folder.file("m.map");
    auto map = mapOf(4096, {{0, 512, Status::finished}});
    map->write(path, 0, 1);
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    map->set(512, 512, Status::finished);
    map->write(path, 512, 1);
    struct stat after {};
    ASSERT_EQ(::stat(path.c_str(), &after), 0);
    // A new file was renamed over the old one, not the old one rewritten in place.
    EXPECT_NE(before.st_ino, after.st_ino);
    EXPECT_EQ(RangeMap::read(path, 4096)->snapshot(), map->snapshot());

    // When the temporary file cannot be made, the old mapfile stays untouched.
    const std::string old = readText(path);
    ASSERT_EQ(::mkdir((path + ".tmp").c_str(), 0755), 0);
    map->set(0, 4096, Status::bad);
    EXPECT_THROW(map->write(path, 0, 1), std::system_error);
    EXPECT_EQ(readText(path), old);
    EXPECT_THROW(map->write(folder.file("missing/m.map"), 0, 1), std::system_error);

    // A destination that fills up while the temporary file is written: the
    // old mapfile stays, and no half-written temporary file is left beside it.
    ASSERT_EQ(::rmdir((path + ".tmp").c_str()), 0);
    {
        WriteLimit full(100);
        EXPECT_THROW(map->write(path, 0, 1), std::system_error);
    }
    EXPECT_EQ(readText(path), old);
    EXPECT_EQ(::access((path + ".tmp").c_str(), F_OK), -1);
}

TEST(RangeMap, ReadsForeignMapfilesLeniently) {
    TempDir folder;
    const std::string path = folder.file("x.map");
    struct Case {
        const char* name;
        std::string text;
        uint64_t size;
        std::optional<std::vector<Block>> expected;
    };
    const std::vector<Case> cases = {
        {"status line only", "# c\n0x0 ? 1\n", 100, std::nullopt},
        {"no line reads", "0x0 ? 1\n0x0 0x10\n0x0 0x10 x\nzz 0x10 +\n0x 0x10 +\n", 100, std::nullopt},
        {"empty", "", 100, std::nullopt},
        // GNU ddrescue copies its command line into a comment byte for byte,
        // so a file name in Latin-1 puts bytes there that are not UTF-8.
        {"bytes that are not UTF-8", "# Command line: ddrescue /dev/sdb 'r\xe6kke.img'\n0x0 ? 1\n0x0 0x10 +\n\xff\n",
         100, std::vector<Block>{{0, 16, Status::finished}, {16, 84, Status::nonTried}}},
        {"decimal, upper-case prefix and extra fields",
         "0 ? 1\n16 0X10 + extra words\n0x0 0x0a -\n", 100,
         std::vector<Block>{{0, 10, Status::bad}, {10, 6, Status::nonTried}, {16, 16, Status::finished},
                            {32, 68, Status::nonTried}}},
        {"skipped lines among good ones", "0 ? 1\n0x0 0x10\n0x10 0x10 a\n0x20 0x10 /\n", 100,
         std::vector<Block>{{0, 32, Status::nonTried}, {32, 16, Status::nonScraped}, {48, 52, Status::nonTried}}},
        {"unsorted, with gaps", "x\n0x40 0x20 -\n0x0 0x30 +\n0x38 0x8 *\n", 100,
         std::vector<Block>{{0, 48, Status::finished}, {48, 8, Status::nonTried}, {56, 8, Status::nonTrimmed},
                            {64, 32, Status::bad}, {96, 4, Status::nonTried}}},
        {"only ? blocks give a fresh map", "x\n0x0 0x64 ?\n", 100,
         std::vector<Block>{{0, 100, Status::nonTried}}},
        {"blanks, tabs, Unicode spaces and CR", "\xe2\x80\x83# c\r\n \t0x0\t+  1\r\n\xc2\xa0 0x0 \t 0x20  +\xe3\x80\x80\r\n\n",
         64, std::vector<Block>{{0, 32, Status::finished}, {32, 32, Status::nonTried}}},
        {"past the size and overflowing", "x\n0x50 0xffffffffffffffff +\n0x10 0x20 *\n", 100,
         std::vector<Block>{{0, 16, Status::nonTried}, {16, 32, Status::nonTrimmed}, {48, 32, Status::nonTried},
                            {80, 20, Status::finished}}},
        {"numbers beyond 64 bits", "x\n0x10000000000000000 0x10 +\n18446744073709551616 0x10 +\n0x0 0x1 -\n", 4,
         std::vector<Block>{{0, 1, Status::bad}, {1, 3, Status::nonTried}}},
    };
    for (auto& c : cases) {
        writeFile(path, c.text);
        auto map = RangeMap::read(path, c.size);
        if (!c.expected) {
            EXPECT_EQ(map, nullptr) << c.name;
            continue;
        }
        ASSERT_NE(map, nullptr) << c.name;
        EXPECT_EQ(map->size, c.size) << c.name;
        EXPECT_EQ(map->snapshot(), *c.expected) << c.name;
    }
    EXPECT_EQ(RangeMap::read(folder.file("none.map"), 100), nullptr);
}

// A mapfile whose blocks claim some bytes twice does not say what became of
// them: it is refused as a whole, as GNU ddrescue refuses it ("Blocks are not
// contiguous"), never read with the later line winning. Blocks that only
// touch, and empty blocks, are no overlap.
TEST(RangeMap, RefusesMapfilesWhoseBlocksOverlap) {
    TempDir folder;
    const std::string path = folder.file("x.map");
    struct Case {
        const char* name;
        std::string blocks;
        bool taken;
    };
    const std::vector<Case> cases = {
        {"contiguous", "0x0 0x40 +\n0x40 0x24 ?\n", true},
        {"a line repeated", "0x0 0x40 +\n0x0 0x40 +\n0x40 0x24 ?\n", false},
        {"a repeat of another status", "0x0 0x64 ?\n0x0 0x64 +\n", false},
        {"the next block starts inside the one before", "0x0 0x40 +\n0x3F 0x25 -\n", false},
        {"a block inside another", "0x0 0x64 -\n0x10 0x8 +\n", false},
        {"overlapping when sorted", "0x40 0x24 ?\n0x0 0x41 +\n", false},
        {"overlapping past the size", "0x0 0x64 +\n0x60 0x100 +\n0x80 0x10 -\n", false},
        {"overlapping an overflowing block", "0x20 0xffffffffffffffff +\n0x1000 0x10 -\n", false},
        {"empty blocks inside others", "0x0 0x64 +\n0x10 0x0 -\n0x10 0x0 -\n", true},
    };
    for (auto& c : cases) {
        writeFile(path, "# Mapfile\n0x00000000     ?               1\n#      pos        size  status\n" + c.blocks);
        EXPECT_EQ(RangeMap::read(path, 100) != nullptr, c.taken) << c.name;
    }

    // The imager keeps such a file aside and copies afresh, instead of taking
    // an image of zeros for a finished copy.
    auto source = memorySource(patternBytes(64 * 1024));
    const std::string image = folder.file("disk.img"), map = image + ".map";
    writeFile(image, Bytes(64 * 1024, 0));
    writeFile(map, "0x0 ? 1\n0x0 0x10000 ?\n0x0 0x10000 +\n");
    DiskImager imager(source, image);
    EXPECT_FALSE(imager.isResuming());
    imager.run([](const ImagingStats&) {});
    EXPECT_EQ(readBytes(image), patternBytes(64 * 1024));
    EXPECT_EQ(readText(map + ".bak"), "0x0 ? 1\n0x0 0x10000 ?\n0x0 0x10000 +\n");
    const ImagingStats stats = imager.currentStats();
    EXPECT_EQ(stats.phase, "Færdig");
    EXPECT_EQ(stats.rescued, 64u * 1024);
}

// Random changes against a byte-by-byte model: the block list, the totals and
// first() must agree with it after every step.
TEST(RangeMap, AgreesWithAByteModel) {
    std::mt19937_64 random(11);
    const uint64_t size = 700;
    RangeMap map(size);
    std::vector<Status> bytes(size, Status::nonTried);
    const auto& statuses = RangeMap::allCases();
    for (int step = 0; step < 3000; ++step) {
        uint64_t pos = random() % (size + 20);
        uint64_t length = random() % 4 == 0 ? random() % 300 : random() % 12;
        Status status = statuses[random() % 5];
        map.set(pos, length, status);
        for (uint64_t i = pos; i < std::min(size, pos + length); ++i) bytes[i] = status;

        std::vector<Block> expected;
        for (uint64_t i = 0; i < size; ++i) {
            if (!expected.empty() && expected.back().status == bytes[i])
                ++expected.back().size;
            else
                expected.push_back({i, 1, bytes[i]});
        }
        ASSERT_EQ(map.snapshot(), expected) << "step " << step;
        for (Status s : statuses) {
            uint64_t total = 0;
            for (Status b : bytes) total += b == s ? 1 : 0;
            ASSERT_EQ(map.total(s), total);
            uint64_t from = random() % (size + 5);
            std::optional<Block> want;
            for (uint64_t i = from; i < size; ++i) {
                if (bytes[i] != s) continue;
                uint64_t j = i;
                while (j < size && bytes[j] == s) ++j;
                want = Block{i, j - i, s};
                break;
            }
            ASSERT_EQ(map.first(s, from), want) << "step " << step;
        }
    }
}

// A long stretch of alternating good and bad sectors, walked as the sector
// pass walks it: each step splits the untried block, so the list grows to one
// block per sector. Each set() and first() must stay logarithmic for this to
// finish at this size.
TEST(RangeMap, AlternatingSectorsStayCheapToWalk) {
    const uint64_t sectors = 160000;
    RangeMap map(sectors * 512);
    map.set(0, sectors * 512, Status::nonTrimmed);
    uint64_t p = 0, steps = 0;
    while (auto block = map.first({Status::nonTrimmed, Status::nonScraped}, p)) {
        uint64_t n = std::min<uint64_t>(block->size, 512);
        map.set(block->pos, n, (block->pos / 512) % 2 ? Status::bad : Status::finished);
        p = block->pos + n;
        ++steps;
    }
    EXPECT_EQ(steps, sectors);
    EXPECT_EQ(map.total(Status::bad), sectors / 2 * 512);
    EXPECT_EQ(map.total(Status::finished), sectors / 2 * 512);
    auto blocks = map.snapshot();
    ASSERT_EQ(blocks.size(), sectors);
    EXPECT_EQ(blocks[7], (Block{7 * 512, 512, Status::bad}));
    // The retry pass walks the bad blocks the same way.
    p = 0;
    steps = 0;
    while (auto block = map.first(Status::bad, p)) {
        if (block->pos % 4096 == 512) map.set(block->pos, 512, Status::finished);
        p = block->pos + 512;
        ++steps;
    }
    EXPECT_EQ(steps, sectors / 2);
    EXPECT_EQ(map.total(Status::bad), (sectors / 2 - sectors / 8) * 512);
}
