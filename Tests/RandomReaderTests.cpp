#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "SovantaCore/RandomReader.h"
#include "TestSupport.h"

using namespace sovanta;
namespace fs = std::filesystem;

namespace {

constexpr uint64_t MiB = 1048576;

uint8_t pattern(uint64_t i) { return static_cast<uint8_t>(i * 7 + (i >> 11)); }

// A source file of the given size whose byte i is pattern(i).
class RandomReaderTest : public ::testing::Test {
protected:
    DiskSourcePtr source(uint64_t size) {
        Bytes data(size);
        for (uint64_t i = 0; i < size; ++i) data[i] = pattern(i);
        fs::path path = dir.path() / ("source-" + std::to_string(size) + ".img");
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        return SourceOpener::openImage(path.string());
    }

    test::TempDir dir;
};

}  // namespace

TEST_F(RandomReaderTest, StartAtOrPastTheEndReadsZerosWithoutReading) {
    auto src = source(5000);
    for (uint64_t start : {uint64_t{5000}, uint64_t{7000}}) {
        RandomReader r(src, start);
        EXPECT_EQ(r.extent(), 0u);
        EXPECT_EQ(r.u8(0), 0);
        EXPECT_EQ(r.bytes(0, 16), Bytes(16, 0));
        EXPECT_EQ(r.u32le(0), 0u);
        EXPECT_EQ(r.u64be(3), 0u);
        EXPECT_FALSE(r.find(uint8_t{0}, 0, UINT64_MAX));
        EXPECT_FALSE(r.find("\0\0", 0, UINT64_MAX));
    }
    EXPECT_EQ(src->bytesRead(), 0u);
}

TEST_F(RandomReaderTest, BytesPastTheEndAreZeros) {
    auto src = source(5000);
    RandomReader r(src, 1000);
    EXPECT_EQ(r.extent(), 4000u);
    EXPECT_EQ(r.bytes(3998, 4), (Bytes{pattern(4998), pattern(4999), 0, 0}));
    EXPECT_EQ(r.bytes(5, 0), Bytes{});
    EXPECT_EQ(r.bytes(5, -3), Bytes{});
    EXPECT_EQ(r.u8(4000), 0);
    EXPECT_EQ(r.u8(UINT64_MAX), 0);
    EXPECT_EQ(r.bytes(UINT64_MAX - 1, 4), Bytes(4, 0));  // no wrap to the start
}

TEST_F(RandomReaderTest, BlocksAreAlignedToTheStartAndTwoAreKept) {
    auto src = source(3 * MiB + 1000);
    const uint64_t start = 4608;  // a sector multiple, so each block is one read of 1 MiB
    RandomReader r(src, start);
    uint64_t p = MiB - 2;
    uint32_t expected = pattern(start + p) | (pattern(start + p + 1) << 8) | (pattern(start + p + 2) << 16) |
                        (uint32_t{pattern(start + p + 3)} << 24);
    EXPECT_EQ(r.u32le(p), expected);
    EXPECT_EQ(r.blockIndex(), 1u);
    EXPECT_EQ(r.prevIndex(), 0u);
    uint64_t afterTwo = src->bytesRead();
    EXPECT_EQ(afterTwo, 2 * MiB);
    EXPECT_EQ(r.u8(5), pattern(start + 5));  // block 0 again: no read
    EXPECT_EQ(src->bytesRead(), afterTwo);

    // A run across the border and one longer than a block are whole.
    Bytes run = r.bytes(MiB - 10, static_cast<int64_t>(MiB + 20));
    ASSERT_EQ(run.size(), MiB + 20);
    for (uint64_t i = 0; i < run.size(); i += 4093) EXPECT_EQ(run[i], pattern(start + MiB - 10 + i));
    EXPECT_EQ(run.back(), pattern(start + 2 * MiB + 9));
}

TEST_F(RandomReaderTest, OnlyAThirdBlockEvicts) {
    auto src = source(3 * MiB + 1000);
    {
        RandomReader r(src, 0);
        for (uint64_t block : {0, 1, 0, 1}) r.u8(block * MiB);
        EXPECT_EQ(src->bytesRead(), 2 * MiB);
    }
    uint64_t before = src->bytesRead();
    RandomReader r(src, 0);
    for (uint64_t block : {0, 1, 2, 0}) r.u8(block * MiB);
    EXPECT_EQ(src->bytesRead() - before, 4 * MiB);
}

TEST_F(RandomReaderTest, FindStaysBelowTheLimitButAPatternMayEndPastIt) {
    auto src = source(3 * MiB);
    RandomReader r(src, 0);
    // The byte at 2 MiB + 5, searched from past its previous occurrences.
    uint64_t target = 2 * MiB + 5;
    uint8_t b = pattern(target);
    uint64_t from = target - 1;
    while (from > 0 && pattern(from) != b) --from;
    ++from;  // no earlier match between from and target
    EXPECT_FALSE(r.find(b, from, target));
    EXPECT_EQ(r.find(b, from, target + 1), target);

    Bytes pat = {pattern(target), pattern(target + 1), pattern(target + 2)};
    EXPECT_EQ(r.find(std::span<const uint8_t>(pat), target, target + 1), target);
    EXPECT_FALSE(r.find(std::span<const uint8_t>(), 0, UINT64_MAX));
    EXPECT_FALSE(r.find(b, 10, 10));

    // A pattern that runs past the end of the source compares against zeros.
    Bytes tail = {pattern(3 * MiB - 1), 0, 0};
    EXPECT_EQ(r.find(std::span<const uint8_t>(tail), 3 * MiB - 1, UINT64_MAX), 3 * MiB - 1);
}
