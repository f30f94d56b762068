#include <gtest/gtest.h>

#include <cstring>
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

TEST_F(RandomReaderTest, BlocksAreAlignedOnTheSourceAndTwoAreKept) {
    auto src = source(3 * MiB + 1000);
    const uint64_t start = 4609;  // blocks lie on the source's MiB boundaries, wherever the candidate starts
    RandomReader r(src, start);
    uint64_t p = MiB - start - 2;  // a value across the first boundary
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
        for (uint64_t block : {0u, 1u, 0u, 1u}) r.u8(block * MiB);
        EXPECT_EQ(src->bytesRead(), 2 * MiB);
    }
    uint64_t before = src->bytesRead();
    RandomReader r(src, 0);
    for (uint64_t block : {0u, 1u, 2u, 0u}) r.u8(block * MiB);
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

// Readers sharing a sweep's cache: a block inside the window is taken from it
// without a read, one reaching past it is read; the bytes are the same.
TEST_F(RandomReaderTest, BlocksInsideTheSweepWindowAreNotReadAgain) {
    auto src = source(6 * MiB);
    Bytes window = src->read(0, static_cast<int64_t>(4 * MiB), ReadMode::fast);
    SweepCache cache;
    cache.setWindow(window.data(), 0, window.size());
    auto expected = [](uint64_t at, size_t n) {
        Bytes out(n);
        for (size_t i = 0; i < n; ++i) out[i] = pattern(at + i);
        return out;
    };

    uint64_t before = src->bytesRead();
    RandomReader inside(src, 2 * MiB + 512, &cache);
    EXPECT_EQ(inside.bytes(0, 4096), expected(2 * MiB + 512, 4096));
    EXPECT_EQ(inside.u8(MiB - 1), pattern(3 * MiB + 511));
    EXPECT_EQ(src->bytesRead(), before);

    RandomReader across(src, 3 * MiB + 512, &cache);
    EXPECT_EQ(across.bytes(MiB - 520, 16), expected(4 * MiB - 8, 16));
    EXPECT_EQ(src->bytesRead() - before, MiB);

    cache.clearWindow();
    RandomReader after(src, 0, &cache);
    EXPECT_EQ(after.u8(5), pattern(5));
    EXPECT_EQ(src->bytesRead() - before, 2 * MiB);
}

// Pattern searches through the shared cache give exactly what a reader of its
// own finds, whatever order and overlap the searches come in: across the
// cache's 4 MiB pieces, at the end of the source, from before and after what
// was searched, and in a stretch dense with the pattern (where the cache keeps
// only part of what it found).
TEST_F(RandomReaderTest, SharedSearchesAgreeWithAReaderOfItsOwn) {
    const uint64_t size = 13 * MiB + 300;
    Bytes data(size);
    for (uint64_t i = 0; i < size; ++i) data[i] = pattern(i);
    const std::string marker = "PK\x05\x06";
    auto plant = [&](uint64_t at) { std::memcpy(data.data() + at, marker.data(), marker.size()); };
    for (uint64_t at : {uint64_t{1000}, 4 * MiB - 2, 6 * MiB + 7, 8 * MiB - 1, size - 4}) plant(at);
    // 4.5 MiB of nothing but the marker: more starts than the cache keeps.
    for (uint64_t at = 8 * MiB + MiB / 2; at + 4 <= size - 300; at += 4) plant(at);
    fs::path path = dir.path() / "planted.img";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    auto src = SourceOpener::openImage(path.string());

    SweepCache cache;
    struct Query {
        uint64_t start, from, limit;
    };
    std::vector<Query> queries = {
        {0, 0, size},
        {0, 1001, size},
        {512, 0, 4 * MiB},
        {4 * MiB - 512, 0, MiB},
        {4 * MiB - 512, 511, 8 * MiB},
        {8 * MiB - 512, 0, 1},
        {8 * MiB - 512, 0, MiB},
        {0, 8 * MiB, size},
        {12 * MiB, 0, 2 * MiB},
        {12 * MiB + 1, 0, 8},
        {9 * MiB, 5, 4 * MiB},
        {0, 9 * MiB + 2, size},
        {0, 0, 100},
        {size - 600, 0, 1000},
        {size - 100, 0, 1000},
        {size - 3, 0, 1000},
        {0, 8 * MiB + MiB / 2 + 1, size},
    };
    auto check = [&](SweepCache& sweep) {
        for (const Query& q : queries) {
            RandomReader shared(src, q.start, &sweep), own(src, q.start);
            auto hit = shared.find(marker, q.from, q.limit);
            EXPECT_EQ(hit, own.find(marker, q.from, q.limit))
                << "start " << q.start << " from " << q.from << " limit " << q.limit;
            // The fields beside the hit, as a finder checks them next.
            if (hit && *hit >= 20) {
                for (uint64_t at : {*hit - 20, *hit + 12, *hit + 60, *hit + 70})
                    EXPECT_EQ(shared.u32le(at), own.u32le(at)) << "at " << at;
            }
        }
    };
    check(cache);

    // A hit far ahead: the fields beside it come with the search, no block is read.
    RandomReader far(src, 0, &cache);
    ASSERT_EQ(far.find(marker, 6 * MiB + 8, 8 * MiB), 8 * MiB - 1);
    uint64_t before = src->bytesRead();
    EXPECT_EQ(far.u32le(8 * MiB - 1 + 12), RandomReader(src, 0).u32le(8 * MiB - 1 + 12));
    EXPECT_TRUE(far.matches(8 * MiB - 1, marker));
    EXPECT_EQ(src->bytesRead() - before, MiB);  // the reference reader's block only

    // While a sweep holds [4 MiB, 8 MiB) in memory, what lies inside is
    // searched in place and what reaches past either end (a marker across
    // each end) is read: the same answers.
    Bytes window(data.begin() + 4 * MiB, data.begin() + 8 * MiB);
    SweepCache windowed;
    windowed.setWindow(window.data(), 4 * MiB, window.size());
    before = src->bytesRead();
    RandomReader inside(src, 4 * MiB + 512, &windowed);
    EXPECT_EQ(inside.find(marker, 0, 4 * MiB), 2 * MiB + 7 - 512);
    EXPECT_EQ(inside.u32le(2 * MiB + 7 - 512 + 8), RandomReader(src, 6 * MiB + 15).u32le(0));
    EXPECT_EQ(src->bytesRead() - before, MiB);  // again the reference reader's only
    check(windowed);
}
