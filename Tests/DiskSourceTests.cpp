#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <numeric>

#include <fcntl.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"
#include "TestSupport.h"

using namespace sovanta;
using sovanta::test::TempDir;

namespace {

// An image whose byte i is (i * 7 + i / 4096) & 0xFF, so every sector differs.
uint8_t patternByte(uint64_t i) { return static_cast<uint8_t>((i * 7 + i / 4096) & 0xFF); }

std::string makePatternImage(const TempDir& dir, uint64_t size, const std::string& name = "pattern.img") {
    std::string path = dir.file(name);
    std::string bytes(size, '\0');
    for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(patternByte(i));
    test::writeFile(path, bytes);
    return path;
}

std::string makeSparseImage(const TempDir& dir, uint64_t size) {
    std::string path = dir.file("sparse.img");
    int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0644);
    EXPECT_EQ(::ftruncate(fd, static_cast<off_t>(size)), 0);
    ::close(fd);
    return path;
}

bool equalsPattern(const Bytes& data, uint64_t offset, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (data[i] != patternByte(offset + i)) return false;
    return true;
}

bool allZero(const Bytes& data, size_t from, size_t to) {
    for (size_t i = from; i < to; ++i)
        if (data[i] != 0) return false;
    return true;
}

}  // namespace

TEST(DiskSource, EdgesOfTheSourceAndClosing) {
    TempDir dir;
    auto source = SourceOpener::openImage(makePatternImage(dir, 10000));
    EXPECT_TRUE(source->readReporting(0, 0).data.empty());
    EXPECT_TRUE(source->readReporting(0, -5).data.empty());

    auto beyond = source->readReporting(20000, 100);
    EXPECT_EQ(beyond.data, Bytes(100, 0));
    EXPECT_EQ(beyond.badBytes, 0);

    auto pastEnd = source->readReporting(9950, 100);
    ASSERT_EQ(pastEnd.data.size(), 100u);
    EXPECT_TRUE(equalsPattern(pastEnd.data, 9950, 0, 50));
    EXPECT_TRUE(allZero(pastEnd.data, 50, 100));
    EXPECT_EQ(pastEnd.badBytes, 0);

    source->close();
    auto closed = source->readReporting(9950, 100);
    EXPECT_EQ(closed.data, Bytes(100, 0));
    EXPECT_EQ(closed.badBytes, 50);
    EXPECT_EQ(source->readReporting(20000, 10).badBytes, 0);
    uint8_t buffer[16];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(source->readInto(0, 16, buffer), 16);
    EXPECT_EQ(Bytes(buffer, buffer + 16), Bytes(16, 0));
    int error = 0;
    EXPECT_FALSE(source->tryRead(0, 16, buffer, &error));
    EXPECT_EQ(error, ENXIO);
    EXPECT_EQ(source->readErrorCount(), 0);
}

TEST(DiskSource, CleanupRunsOnceAtFirstClose) {
    TempDir dir;
    std::string path = makePatternImage(dir, 4096);
    int runs = 0;
    {
        auto source = std::make_shared<DiskSource>(::open(path.c_str(), O_RDONLY), path, "x", 4096, 512, false,
                                                   std::nullopt, [&] { ++runs; });
        source->close();
        source->close();
        EXPECT_EQ(runs, 1);
    }
    EXPECT_EQ(runs, 1);
    {
        auto released = std::make_shared<DiskSource>(::open(path.c_str(), O_RDONLY), path, "x", 4096, 512, false,
                                                     std::nullopt, [&] { ++runs; });
    }
    EXPECT_EQ(runs, 2);  // released without an explicit close
}

TEST(DiskSource, ReadsOverQuarterMebibyteBypassTheCache) {
    TempDir dir;
    auto source = SourceOpener::openImage(makePatternImage(dir, 1 << 20));
    // Exactly 256 KiB inside the source: through the cache (two chunks, read once).
    auto a = source->read(0, 262144);
    EXPECT_TRUE(equalsPattern(a, 0, 0, a.size()));
    EXPECT_EQ(source->bytesRead(), 262144u);
    source->read(0, 262144);
    EXPECT_EQ(source->bytesRead(), 262144u);

    // One byte more goes straight to the device, sector-aligned, every time.
    auto b = source->read(300001, 262145);
    EXPECT_TRUE(equalsPattern(b, 300001, 0, b.size()));
    uint64_t span = 262656;  // lead 97 + 262145 rounded up to 512
    EXPECT_EQ(source->bytesRead(), 262144u + span);
    source->read(300001, 262145);
    EXPECT_EQ(source->bytesRead(), 262144u + 2 * span);
    // ...and left the cache as it was: chunk 2 was never cached.
    source->read(300001, 10);
    EXPECT_EQ(source->bytesRead(), 262144u + 2 * span + 131072u);

    // A long request whose part inside the source is small still uses the cache.
    auto tail = source->readReporting((1 << 20) - 100, 1 << 20);
    EXPECT_TRUE(equalsPattern(tail.data, (1 << 20) - 100, 0, 100));
    EXPECT_TRUE(allZero(tail.data, 100, tail.data.size()));
}

TEST(DiskSource, LeastRecentlyUsedChunkIsEvicted) {
    TempDir dir;
    auto source = SourceOpener::openImage(makeSparseImage(dir, 200 * 131072));
    for (uint64_t i = 0; i < 160; ++i) source->read(i * 131072, 1);
    uint64_t afterFill = source->bytesRead();
    source->read(0, 1);  // a hit moves chunk 0 to the most recent end
    EXPECT_EQ(source->bytesRead(), afterFill);
    source->read(160 * 131072, 1);  // evicts chunk 1, the least recently used
    source->read(0, 1);
    EXPECT_EQ(source->bytesRead(), afterFill + 131072);
    source->read(131072, 1);
    EXPECT_EQ(source->bytesRead(), afterFill + 2 * 131072);
}

TEST(DiskSource, ThoroughReadNarrowsSimulatedDamageToSectors) {
    TempDir dir;
    auto source = SourceOpener::openImage(makePatternImage(dir, 4 << 20), test::withBadRanges({{1000, 2000}}));
    auto first = source->readReporting(0, 4096);
    EXPECT_TRUE(equalsPattern(first.data, 0, 0, 512));
    EXPECT_TRUE(allZero(first.data, 512, 2048));
    EXPECT_TRUE(equalsPattern(first.data, 0, 2048, 4096));
    EXPECT_EQ(first.badBytes, 1536);
    EXPECT_EQ(source->badSectors(), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(source->readErrorCount(), 4);

    uint64_t read = source->bytesRead();
    auto second = source->readReporting(0, 4096);
    EXPECT_EQ(second.data, first.data);
    EXPECT_EQ(second.badBytes, 1536);
    EXPECT_EQ(source->readErrorCount(), 4);
    EXPECT_EQ(source->bytesRead(), read);

    // A piece that only partly covers a bad sector counts it whole, capped at the piece.
    EXPECT_EQ(source->readReporting(600, 10).badBytes, 10);
    EXPECT_EQ(source->readReporting(1500, 1000).badBytes, 1000);
}

TEST(DiskSource, FastReadGivesUpBlocksAndThoroughReadRecoversThem) {
    TempDir dir;
    auto source = SourceOpener::openImage(makePatternImage(dir, 4 << 20), test::withBadRanges({{1000, 2000}}));
    auto fast = source->readReporting(0, 4 << 20, ReadMode::fast);
    EXPECT_TRUE(allZero(fast.data, 0, 65536));
    EXPECT_TRUE(equalsPattern(fast.data, 0, 65536, fast.data.size()));
    EXPECT_EQ(fast.badBytes, 65536);
    EXPECT_EQ(source->readErrorCount(), 1);
    EXPECT_EQ(source->badSectorCount(), 0);

    // A fast chunk read with unreadable bytes is never cached.
    uint64_t before = source->bytesRead();
    source->read(70000, 10, ReadMode::fast);
    source->read(70000, 10, ReadMode::fast);
    EXPECT_EQ(source->bytesRead(), before + 2 * (131072 - 65536));

    auto sector0 = source->read(0, 512);
    EXPECT_TRUE(equalsPattern(sector0, 0, 0, 512));
    EXPECT_EQ(source->badSectors(), (std::vector<uint64_t>{1, 2, 3}));
}

// The unreadable sectors: those of the blocks a fast read gave up, each once
// where blocks overlap, and the bad sectors a thorough read found, not twice
// where they lie in such a block.
TEST(DiskSource, UnreadableSectorsAreCountedOnce) {
    TempDir dir;
    auto source = SourceOpener::openImage(makePatternImage(dir, 4 << 20),
                                          test::withBadRanges({{1000, 2000}, {3 << 20, (3 << 20) + 512}}));
    EXPECT_EQ(source->unreadableSectorCount(), 0);
    source->readReporting(0, 1 << 20, ReadMode::fast);
    EXPECT_EQ(source->unreadableSectorCount(), 128);
    // A second fast read whose blocks start a sector later overlaps the first block.
    source->readReporting(512, 1 << 20, ReadMode::fast);
    EXPECT_EQ(source->unreadableSectorCount(), 129);
    // Bad sectors inside those blocks count once; one elsewhere adds one.
    source->read(0, 4096);
    EXPECT_EQ(source->badSectors(), (std::vector<uint64_t>{1, 2, 3}));
    EXPECT_EQ(source->unreadableSectorCount(), 129);
    source->read(3 << 20, 512);
    EXPECT_EQ(source->badSectorCount(), 4);
    EXPECT_EQ(source->unreadableSectorCount(), 130);
}

TEST(DiskSource, MarkBadKeepsCachedBytesButCountsThem) {
    TempDir dir;
    auto source = SourceOpener::openImage(makePatternImage(dir, 1 << 20));
    auto before = source->read(0, 1024);
    source->markBad(1);
    EXPECT_TRUE(source->isKnownBad(1));
    auto after = source->readReporting(0, 1024);
    EXPECT_EQ(after.data, before);
    EXPECT_EQ(after.badBytes, 512);
}

TEST(DiskSource, AllOrNothingReadReportsTheErrorNumber) {
    TempDir dir;
    auto source = SourceOpener::openImage(makePatternImage(dir, 1 << 20), test::withBadRanges({{4096, 8192}}));
    Bytes buffer(8192, 0xEE);
    int error = 0;
    EXPECT_TRUE(source->tryRead(0, 4096, buffer.data(), &error));
    EXPECT_EQ(error, 0);
    EXPECT_TRUE(equalsPattern(buffer, 0, 0, 4096));
    EXPECT_FALSE(source->tryRead(0, 8192, buffer.data(), &error));
    EXPECT_EQ(error, EIO);
    EXPECT_EQ(source->readErrorCount(), 1);
    EXPECT_EQ(source->badSectorCount(), 0);
    // Past the end: the rest is zero and the read succeeds.
    EXPECT_TRUE(source->tryRead((1 << 20) - 100, 200, buffer.data()));
    EXPECT_TRUE(allZero(buffer, 100, 200));
}

// Each simulated range fails with its own error: a read that meets a bad
// stretch first gets EIO and leaves the source in place; one that meets a
// vanished stretch first says the source is gone.
TEST(DiskSource, SimulatedRangesFailWithTheirOwnError) {
    TempDir dir;
    SourceOptions options;
    options.simulatedBadRanges = {{8192, 12288, ENOTCONN}, {4096, 8192, EIO}, {16384, 16384, ENODEV}};
    auto source = SourceOpener::openImage(makePatternImage(dir, 1 << 20), options);
    Bytes buffer(16384, 0);
    int error = 0;
    EXPECT_TRUE(source->tryRead(12288, 4096, buffer.data(), &error));  // an empty range fails nothing
    EXPECT_FALSE(source->tryRead(0, 16384, buffer.data(), &error));
    EXPECT_EQ(error, EIO);
    EXPECT_FALSE(source->hasVanished());
    EXPECT_FALSE(source->tryRead(8192, 4096, buffer.data(), &error));
    EXPECT_EQ(error, ENOTCONN);
    EXPECT_TRUE(source->hasVanished());
}

// An image file cut short after it was opened: the bytes past its new end are
// not zeros of the disk but gone. Every read path counts them unreadable,
// the all-or-nothing read fails as for a vanished source, no sector is
// recorded bad, and no zeros are kept in the cache to be served later as data.
TEST(DiskSource, ImageCutShortAfterOpening) {
    TempDir dir;
    const std::string path = makePatternImage(dir, 1 << 20);
    auto source = SourceOpener::openImage(path);
    const uint64_t end = 300 * 1024 + 100;
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(end)), 0);
    ASSERT_EQ(source->size, 1u << 20);
    EXPECT_FALSE(source->hasVanished());

    // Below the new end everything reads as before.
    auto before = source->readReporting(4096, 8192);
    EXPECT_EQ(before.badBytes, 0);
    EXPECT_TRUE(equalsPattern(before.data, 4096, 0, 8192));
    EXPECT_FALSE(source->hasVanished());

    struct Case {
        const char* path;
        uint64_t offset;
        int64_t length;
    };
    for (Case c : {Case{"chunk path", 256 * 1024, 128 * 1024}, Case{"aligned path", 0, 1 << 20},
                   Case{"unaligned large read", 1000, 600 * 1024 + 24}, Case{"chunk path again", 256 * 1024, 128 * 1024}}) {
        SCOPED_TRACE(c.path);
        auto result = source->readReporting(c.offset, c.length);
        const size_t present = static_cast<size_t>(end - c.offset);
        EXPECT_EQ(result.badBytes, c.length - static_cast<int64_t>(present));
        EXPECT_TRUE(equalsPattern(result.data, c.offset, 0, present));
        EXPECT_TRUE(allZero(result.data, present, static_cast<size_t>(c.length)));
    }
    Bytes buffer(1 << 20, 0xEE);
    EXPECT_EQ(source->readInto(0, 1 << 20, buffer.data(), ReadMode::thorough), int64_t(1 << 20) - int64_t(end));
    int error = 0;
    EXPECT_FALSE(source->tryRead(256 * 1024, 128 * 1024, buffer.data(), &error));
    EXPECT_EQ(error, ENXIO);
    EXPECT_TRUE(source->tryRead(0, 256 * 1024, buffer.data(), &error));

    EXPECT_TRUE(source->hasVanished());
    EXPECT_EQ(source->shrunkTo(), end);
    EXPECT_EQ(source->badSectorCount(), 0);
}

// A read that fails because the source has gone (the FUSE server died with
// the read in flight, the device was removed) zero-fills and counts the
// rest of that read at once, records no sector as bad and says the source is
// gone; an input/output error is a bad sector: the read is taken apart and
// the sectors that fail are recorded.
TEST(DiskSource, ReadsOfAGoneSourceRecordNoBadSectors) {
    const uint64_t from = 128 * 1024;
    struct Case {
        int error;
        bool gone;
    };
    for (Case c : {Case{ECONNABORTED, true}, Case{ENOTCONN, true}, Case{ENODEV, true}, Case{ENXIO, true},
                   Case{ESHUTDOWN, true}, Case{ECONNRESET, true}, Case{EIO, false}}) {
        SCOPED_TRACE(std::strerror(c.error));
        TempDir dir;
        SourceOptions options;
        options.simulatedBadRanges = {{from, 1 << 20, c.error}};
        auto source = SourceOpener::openImage(makePatternImage(dir, 1 << 20), options);
        // A small read across the start of the failing stretch.
        auto small = source->readReporting(from - 8192, 16384);
        EXPECT_EQ(small.badBytes, 8192);
        EXPECT_TRUE(equalsPattern(small.data, from - 8192, 0, 8192));
        EXPECT_TRUE(allZero(small.data, 8192, 16384));
        // A large one that fails as a whole.
        auto large = source->readReporting(0, 512 * 1024);
        const size_t kept = c.gone ? 0 : static_cast<size_t>(from);
        EXPECT_EQ(large.badBytes, int64_t(512 * 1024 - kept));
        EXPECT_TRUE(equalsPattern(large.data, 0, 0, kept));
        EXPECT_TRUE(allZero(large.data, kept, 512 * 1024));
        source->read(0, 512 * 1024, ReadMode::fast);

        EXPECT_EQ(source->hasVanished(), c.gone);
        EXPECT_EQ(source->badSectorCount(), c.gone ? 0 : int64_t((512 * 1024 - from) / 512));
        EXPECT_EQ(source->shrunkTo(), std::nullopt);
    }
}

// SOVANTA_SIMULATE_BAD, as both front ends read it when they open a source.
TEST(DiskSource, SimulatedBadRangesFromTheEnvironment) {
    struct Case {
        const char* value;
        std::vector<ByteRange> ranges;
    };
    for (const auto& c : std::vector<Case>{
             {"1000-2000", {{1000, 2000}}},
             {"0-512,2048-4096", {{0, 512}, {2048, 4096}}},
             {"5-5", {}},
             {"9-3", {}},
             {"7", {}},
             {"1-2-3", {}},
             {"-100-200", {{100, 200}}},
             {"100--200", {{100, 200}}},
             {"100-x-200", {{100, 200}}},
             {" 0-512", {}},
             {"abc", {}},
             {",,1-2,,", {{1, 2}}},
             {"1-99999999999999999999999", {}},
         }) {
        EXPECT_EQ(parseSimulatedBadRanges(c.value), c.ranges) << c.value;
    }
    unsetenv("SOVANTA_SIMULATE_BAD");
    EXPECT_TRUE(SourceOptions::fromEnvironment().simulatedBadRanges.empty());
    setenv("SOVANTA_SIMULATE_BAD", "0-512,x,2048-4096", 1);
    auto options = SourceOptions::fromEnvironment();
    unsetenv("SOVANTA_SIMULATE_BAD");
    ASSERT_EQ(options.simulatedBadRanges.size(), 2u);
    EXPECT_EQ(options.simulatedBadRanges[1].lower, 2048u);
    EXPECT_EQ(options.simulatedBadRanges[1].upper, 4096u);
    EXPECT_EQ(options.simulatedBadRanges[1].errorNumber, EIO);
}
