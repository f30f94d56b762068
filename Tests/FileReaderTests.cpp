#include <gtest/gtest.h>

#include <limits>

#include "FileTestSupport.h"
#include "SovantaCore/FileReader.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

struct Streamed {
    std::vector<Bytes> pieces;
    int64_t badBytes = 0;
    Bytes joined() const {
        Bytes out;
        for (auto& p : pieces) out.insert(out.end(), p.begin(), p.end());
        return out;
    }
    std::vector<size_t> sizes() const {
        std::vector<size_t> out;
        for (auto& p : pieces) out.push_back(p.size());
        return out;
    }
};

Streamed streamAll(const FileNode& node, DiskSource& source, int64_t chunkSize,
                   std::optional<uint64_t> limit = std::nullopt) {
    Streamed s;
    s.badBytes = FileReader::stream(node, source, chunkSize, limit, [&](const Bytes& piece) {
        s.pieces.push_back(piece);
        return true;
    });
    return s;
}

Bytes slice(const Bytes& b, size_t offset, size_t count) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(offset),
                 b.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes zeros(size_t n) { return Bytes(n, 0); }

// "abc" repeated to 12 bytes: three literals, then one token that copies with
// overlap (displacement 3, length 9).
const Bytes abcChunk = {0x05, 0xB0, 0x08, 'a', 'b', 'c', 0x06, 0x20};

}  // namespace

TEST(FileReader, ExtentPiecesHolesAndMissingTail) {
    const Bytes disk = patternBytes(65536);
    ByteSource source(disk);
    constexpr uint64_t maxOffset = std::numeric_limits<uint64_t>::max();
    struct Case {
        const char* name;
        std::vector<Extent> extents;
        uint64_t size;
        int64_t chunk;
        std::optional<uint64_t> limit;
        std::vector<size_t> pieces;
        Bytes content;
        int64_t unknown = 0;  // bytes that nothing places or that lie past the source's end
    };
    const std::vector<Case> cases = {
        {"short extent, zero tail", {{4096, 4096}}, 10000, 4096, std::nullopt, {4096, 4096, 1808},
         concat({slice(disk, 4096, 4096), zeros(5904)}), 5904},
        {"limit", {{0, 10000}}, 10000, 4096, 100, {100}, slice(disk, 0, 100)},
        {"hole", {{std::nullopt, 8192}}, 8192, 4096, std::nullopt, {4096, 4096}, zeros(8192)},
        {"limit 0", {{0, 10000}}, 10000, 4096, 0, {}, {}},
        {"size 0", {{0, 10000}}, 0, 4096, std::nullopt, {}, {}},
        {"mixed, empty extent passed over",
         {{0, 3000}, {std::nullopt, 1000}, {100, 0}, {5000, 2000}}, 6000, 1024, std::nullopt,
         {1024, 1024, 952, 1000, 1024, 976}, concat({slice(disk, 0, 3000), zeros(1000), slice(disk, 5000, 2000)})},
        {"extents longer than the size", {{0, 3000}, {8000, 3000}}, 4000, 4096, std::nullopt, {3000, 1000},
         concat({slice(disk, 0, 3000), slice(disk, 8000, 1000)})},
        {"no extents", {}, 5000, 4096, std::nullopt, {4096, 904}, zeros(5000), 5000},
        {"limit inside the missing tail", {{0, 100}}, 5000, 4096, 300, {100, 200},
         concat({slice(disk, 0, 100), zeros(200)}), 200},
        {"offset past the end of the source", {{70000, 100}}, 100, 4096, std::nullopt, {100}, zeros(100), 100},
        {"extent across the end of the source", {{65000, 1000}}, 1000, 4096, std::nullopt, {1000},
         concat({slice(disk, 65000, 536), zeros(464)}), 464},
        {"offset that overflows", {{maxOffset - 10, 100}}, 100, 4096, std::nullopt, {100}, zeros(100), 100},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto node = FileNode::make("f", false, c.size, EntryStatus::existing, Recoverability::good, c.extents);
        auto s = streamAll(*node, *source, c.chunk, c.limit);
        EXPECT_EQ(s.sizes(), c.pieces);
        EXPECT_EQ(s.joined(), c.content);
        EXPECT_EQ(s.badBytes, c.unknown);
    }
}

TEST(FileReader, UnreadableBytesAreZerosAndCountedUntilTheBodyStops) {
    Bytes disk = patternBytes(32768);
    ByteSource source(disk, 512, withBadRanges({{512, 1024}, {5120, 6144}}));
    auto node = FileNode::make("f", false, 8192, EntryStatus::existing, Recoverability::good,
                               std::vector<Extent>{{0, 8192}});

    auto all = streamAll(*node, *source, 4096);
    EXPECT_EQ(all.badBytes, 512 + 1024);
    Bytes expected = slice(disk, 0, 8192);
    std::fill(expected.begin() + 512, expected.begin() + 1024, 0);
    std::fill(expected.begin() + 5120, expected.begin() + 6144, 0);
    EXPECT_EQ(all.joined(), expected);

    int calls = 0;
    int64_t bad = FileReader::stream(*node, *source, 4096, std::nullopt, [&](const Bytes&) {
        ++calls;
        return false;
    });
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(bad, 512);
}

TEST(FileReader, LargePiecesAlignedOrNotReadTheSame) {
    Bytes disk = patternBytes(3 << 20);
    ByteSource source(disk, 512, withBadRanges({{(1 << 20) - 1024, (1 << 20) + 1024}}));
    // Sector-aligned pieces of 1 MiB, an unaligned start, and an extent that
    // runs past the end of the source.
    for (uint64_t offset : {uint64_t{0}, uint64_t{100}, uint64_t{(2 << 20) + 512}}) {
        SCOPED_TRACE(offset);
        const uint64_t length = 1 << 20;
        auto node = FileNode::make("f", false, 2 * length, EntryStatus::existing, Recoverability::good,
                                   std::vector<Extent>{{offset, length}, {offset, length}});
        auto s = streamAll(*node, *source, 1 << 20);
        Bytes expected(2 * length, 0);
        for (uint64_t i = 0; i < 2 * length; ++i) {
            uint64_t at = offset + i % length;
            bool bad = at >= (1 << 20) - 1024 && at < (1 << 20) + 1024;
            expected[i] = at < disk.size() && !bad ? disk[at] : 0;
        }
        EXPECT_EQ(s.joined(), expected);
        const uint64_t pastEnd = offset + length > disk.size() ? offset + length - disk.size() : 0;
        EXPECT_EQ(s.badBytes, 2 * (source->readReporting(offset, length).badBytes + static_cast<int64_t>(pastEnd)));
        if (offset == 0) {
            EXPECT_EQ(s.badBytes, 2048);
        }
    }
}

TEST(FileReader, ResidentAndNoDataAndPrefixes) {
    ByteSource source(patternBytes(4096));
    Bytes ten = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    auto resident = FileNode::make("r", false, 10, EntryStatus::existing, Recoverability::good, ResidentData{ten});
    EXPECT_EQ(FileReader::readPrefix(*resident, *source, 48 << 20), ten);
    EXPECT_EQ(FileReader::readPrefix(*resident, *source, 4), (Bytes{1, 2, 3, 4}));
    auto s = streamAll(*resident, *source, 4);  // resident data is one piece, whatever the chunk size
    EXPECT_EQ(s.sizes(), std::vector<size_t>{10});

    auto cut = FileNode::make("r", false, 4, EntryStatus::existing, Recoverability::good, ResidentData{ten});
    EXPECT_EQ(streamAll(*cut, *source, 4096).joined(), (Bytes{1, 2, 3, 4}));

    auto none = FileNode::make("n", false, 5000);
    EXPECT_TRUE(streamAll(*none, *source, 4096).pieces.empty());
    EXPECT_TRUE(FileReader::readPrefix(*none, *source, 1000).empty());

    // 48 MiB of a 1 GiB file, in 4 MiB pieces.
    auto big = FileNode::make("b", false, 1ull << 30, EntryStatus::existing, Recoverability::good,
                              std::vector<Extent>{{0, 4096}, {std::nullopt, (1ull << 30) - 4096}});
    Bytes prefix = FileReader::readPrefix(*big, *source, 48 << 20);
    ASSERT_EQ(prefix.size(), 48u << 20);
    EXPECT_EQ(slice(prefix, 0, 4096), slice(patternBytes(4096), 0, 4096));
    EXPECT_EQ(FileReader::readPrefix(*big, *source, 5000).size(), 5000u);
    EXPECT_TRUE(FileReader::readPrefix(*big, *source, 0).empty());
}

TEST(LZNT1, KnownVectors) {
    Bytes raw = patternBytes(4096);
    Bytes rawChunk = concat({Bytes{0xFF, 0x3F}, raw});
    EXPECT_EQ(FileReader::lznt1Decompress(rawChunk, 4096), raw);
    EXPECT_EQ(FileReader::lznt1Decompress({}, 100), zeros(100));

    Bytes abc = {'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c', 'a', 'b', 'c'};
    EXPECT_EQ(FileReader::lznt1Decompress(abcChunk, 16), concat({abc, zeros(4)}));
    EXPECT_EQ(FileReader::lznt1Decompress(abcChunk, 5), slice(abc, 0, 5));
    // Two chunks; each starts its own displacement count.
    EXPECT_EQ(FileReader::lznt1Decompress(concat({abcChunk, abcChunk}), 24), concat({abc, abc}));
    // A header of 0 ends the data.
    EXPECT_EQ(FileReader::lznt1Decompress(concat({abcChunk, Bytes{0, 0}, abcChunk}), 24), concat({abc, zeros(12)}));

    // A token first in a chunk points before it: decoding ends, zeros follow.
    Bytes firstToken = {0x02, 0xB0, 0x01, 0x00, 0x00};
    EXPECT_EQ(FileReader::lznt1Decompress(firstToken, 64), zeros(64));
    Bytes afterGood = concat({abcChunk, firstToken, abcChunk});
    EXPECT_EQ(FileReader::lznt1Decompress(afterGood, 36), concat({abc, zeros(24)}));
    // A token cut by the chunk's end ends the chunk, not the data.
    Bytes cutToken = {0x02, 0xB0, 0x02, 'x', 0x00};
    EXPECT_EQ(FileReader::lznt1Decompress(concat({cutToken, abcChunk}), 13), concat({Bytes{'x'}, abc}));
}

TEST(LZNT1, CorruptInputNeverOverrunsOrCrashes) {
    // A chunk whose tokens keep copying far past 4096 bytes: the displacement
    // width stays at 12 bits instead of growing until the shift overflows.
    Bytes runaway = {0, 0, 0xFE, 'x'};
    for (int i = 0; i < 7; ++i) runaway.insert(runaway.end(), {0x0F, 0x00});
    while (runaway.size() < 4096 + 2 - 17) {
        runaway.push_back(0xFF);
        for (int i = 0; i < 8; ++i) runaway.insert(runaway.end(), {0x0F, 0x00});
    }
    uint16_t header = static_cast<uint16_t>(0xB000 | (runaway.size() - 3));
    runaway[0] = static_cast<uint8_t>(header), runaway[1] = static_cast<uint8_t>(header >> 8);
    Bytes out = FileReader::lznt1Decompress(runaway, 40000);
    ASSERT_EQ(out.size(), 40000u);
    EXPECT_EQ(std::count(out.begin(), out.begin() + 30000, 'x'), 30000);

    // A header that declares more data than there is.
    Bytes declared = {0xFF, 0xBF, 0x00, 'a', 'b'};
    EXPECT_EQ(FileReader::lznt1Decompress(declared, 4), (Bytes{'a', 'b', 0, 0}));

    uint32_t seed = 7;
    for (int round = 0; round < 3000; ++round) {
        Bytes garbage = patternBytes(static_cast<size_t>(round * 7 % 9000), seed++);
        if (round % 3 == 0 && garbage.size() > 2) garbage[1] |= 0x80;  // mostly compressed chunks
        Bytes decoded = FileReader::lznt1Decompress(garbage, 65536);
        ASSERT_EQ(decoded.size(), 65536u);
    }
    EXPECT_TRUE(FileReader::lznt1Decompress(abcChunk, 0).empty());
    EXPECT_TRUE(FileReader::lznt1Decompress(abcChunk, -5).empty());
}

TEST(FileReader, CompressedUnitsRawCompressedSparseAndCut) {
    // 512-byte clusters, 16 per unit: units of 8 KiB.
    constexpr uint64_t cluster = 512, volumeOffset = 1024;
    Bytes disk = patternBytes(80 * cluster + volumeOffset);
    // Unit 1's five allocated clusters (20...24) hold LZNT1 data.
    std::copy(abcChunk.begin(), abcChunk.end(), disk.begin() + volumeOffset + 20 * cluster);
    ByteSource source(disk, 512, withBadRanges({{volumeOffset + 3 * cluster, volumeOffset + 4 * cluster}}));

    CompressedRuns runs;
    runs.clusterSize = cluster;
    runs.unitClusters = 16;
    runs.volumeOffset = volumeOffset;
    runs.runs = {
        {2, 16},             // unit 0: all allocated, stored raw
        {20, 5},             // unit 1: five allocated ...
        {std::nullopt, 27},  // ... eleven sparse; unit 2: all sparse
        {60, 2}, {40, 14},   // unit 3: all allocated in two runs
    };
    const uint64_t size = 3 * 8192 + 100;
    auto node = FileNode::make("c", false, size, EntryStatus::existing, Recoverability::good, runs);
    auto s = streamAll(*node, *source, 4 << 20);
    EXPECT_EQ(s.sizes(), (std::vector<size_t>{8192, 8192, 8192, 100}));
    ASSERT_EQ(s.pieces.size(), 4u);
    Bytes unit0 = slice(disk, volumeOffset + 2 * cluster, 8192);
    std::fill(unit0.begin() + cluster, unit0.begin() + 2 * cluster, 0);  // the unreadable cluster 3
    EXPECT_EQ(s.pieces[0], unit0);
    EXPECT_EQ(s.pieces[1], FileReader::lznt1Decompress(slice(disk, volumeOffset + 20 * cluster, 5 * cluster), 8192));
    EXPECT_EQ(slice(s.pieces[1], 0, 3), (Bytes{'a', 'b', 'c'}));
    EXPECT_EQ(s.pieces[2], zeros(8192));
    EXPECT_EQ(s.pieces[3], slice(disk, volumeOffset + 60 * cluster, 100));
    EXPECT_EQ(s.badBytes, 512);

    // A limit inside a unit, and a body that stops after the first unit.
    EXPECT_EQ(streamAll(*node, *source, 4096, 9000).sizes(), (std::vector<size_t>{8192, 808}));
    int calls = 0;
    FileReader::stream(*node, *source, 4096, std::nullopt, [&](const Bytes&) { return ++calls < 1; });
    EXPECT_EQ(calls, 1);
}

TEST(FileReader, CompressedRunsThatCannotBeRight) {
    ByteSource source(patternBytes(65536));
    constexpr uint64_t maxValue = std::numeric_limits<uint64_t>::max();
    auto make = [](CompressedRuns r, uint64_t size) {
        return FileNode::make("c", false, size, EntryStatus::existing, Recoverability::good, r);
    };
    // No unit, or a unit no volume has: nothing places the file, which is
    // unknown zeros.
    for (auto& runs : std::vector<CompressedRuns>{{{{0, 16}}, 512, 0, 0},
                                                  {{{0, 16}}, 0, 16, 0},
                                                  {{{0, 16}}, UINT32_MAX, UINT32_MAX, 0},
                                                  {{{0, 16}}, 4096, UINT32_MAX, 0}}) {
        auto s = streamAll(*make(runs, 10000), *source, 4096);
        EXPECT_EQ(s.sizes(), (std::vector<size_t>{4096, 4096, 1808}));
        EXPECT_EQ(s.joined(), zeros(10000));
        EXPECT_EQ(s.badBytes, 10000);
    }

    // Cluster numbers whose byte offsets overflow read as past the end: unknown.
    auto far = streamAll(*make({{{maxValue - 3, 16}}, 512, 16, 4096}, 8192), *source, 4096);
    EXPECT_EQ(far.joined(), zeros(8192));
    EXPECT_EQ(far.badBytes, 8192);
    auto farOffset = streamAll(*make({{{1, 16}}, 512, 16, maxValue - 100}, 8192), *source, 4096);
    EXPECT_EQ(farOffset.joined(), zeros(8192));
    EXPECT_EQ(farOffset.badBytes, 8192);
    // Runs that end before the size: the units past them are unknown; a
    // sparse run is known zeros.
    auto shortRuns = streamAll(*make({{{1, 16}, {std::nullopt, 16}}, 512, 16, 0}, 20000), *source, 4096);
    EXPECT_EQ(shortRuns.sizes(), (std::vector<size_t>{8192, 8192, 3616}));
    EXPECT_EQ(shortRuns.badBytes, 3616);
    // Runs whose cluster counts overflow the virtual cluster numbers.
    auto huge = streamAll(*make({{{1, maxValue}, {2, maxValue}}, 512, 16, 0}, 16384), *source, 4096);
    EXPECT_EQ(huge.sizes(), (std::vector<size_t>{8192, 8192}));
}

// Files that ntfs-3g compressed, read through run lists that The Sleuth Kit
// printed for them, against the manifest's SHA-256.
TEST(FileReader, DecompressesFilesThatNtfs3gCompressed) {
    struct Case {
        std::string fixture;
        int entry;
        std::string path;
    };
    const std::vector<Case> cases = {
        {"ntfs_compressed", 65, "Komprimeret/blandet.bin"},  // compressed, raw, sparse and a cut last unit
        {"ntfs_compressed", 66, "Komprimeret/stoej.bin"},    // a raw unit, then a compressed tail
        {"ntfs", 96, "Komprimeret/log æøå.txt"},
        {"ntfs", 97, "Komprimeret/tabel.csv"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.path);
        std::string size, sha;
        for (auto& row : readTable(fixtureSourcePath(c.fixture, ".manifest.tsv")))
            if (row.size() > 2 && row[0] == c.path) size = row[1], sha = row[2];
        ASSERT_FALSE(sha.empty());
        auto source = SourceOpener::openImage(fixtureImage(c.fixture));
        CompressedRuns runs;
        runs.runs = istatRuns(fixtureSourcePath(c.fixture, ".tsk.txt"), c.entry);
        ASSERT_FALSE(runs.runs.empty());
        runs.clusterSize = 4096;
        runs.unitClusters = 16;
        auto node = FileNode::make("f", false, std::stoull(size), EntryStatus::existing, Recoverability::good, runs);
        Sha256 hash;
        size_t largest = 0;
        int64_t bad = FileReader::stream(*node, *source, FileReader::defaultChunkSize, std::nullopt,
                                         [&](const Bytes& piece) {
                                             hash.update(piece);
                                             largest = std::max(largest, piece.size());
                                             return true;
                                         });
        EXPECT_EQ(hash.hex(), sha);
        EXPECT_EQ(bad, 0);
        EXPECT_LE(largest, 65536u);  // one compression unit per piece

        Bytes prefix = FileReader::readPrefix(*node, *source, 70000);
        EXPECT_EQ(prefix.size(), std::min<size_t>(70000, std::stoull(size)));
    }
}

// Reading extents into memory: joined in order, cut at the limit, and never
// past the bounds or the source's end, whatever lengths and places the
// extents claim.
TEST(FileReader, RegionsStayInsideTheirBoundsAndTheSource) {
    constexpr uint64_t huge = uint64_t{1} << 62;
    constexpr uint64_t top = std::numeric_limits<uint64_t>::max();
    const Bytes disk = patternBytes(65536);
    ByteSource source(disk);
    struct Case {
        const char* what;
        std::vector<Extent> extents;
        uint64_t maxBytes;
        ByteRange within;
        FileReader::RegionHoles holes;
        Bytes expected;
    };
    const ByteRange all{0, top};
    const Case cases[] = {
        {"joined in order, holes as zeros", {{4096, 100}, {std::nullopt, 50}, {0, 10}}, top, all, FileReader::RegionHoles::zeros,
         concat({slice(disk, 4096, 100), zeros(50), slice(disk, 0, 10)})},
        {"holes skipped", {{4096, 100}, {std::nullopt, 50}, {0, 10}}, top, all, FileReader::RegionHoles::skip,
         concat({slice(disk, 4096, 100), slice(disk, 0, 10)})},
        {"cut at the limit", {{4096, 100}, {0, 10}}, 105, all, FileReader::RegionHoles::zeros,
         concat({slice(disk, 4096, 100), slice(disk, 0, 5)})},
        {"ends at the source's end", {{65000, 1000}, {0, 10}}, top, all, FileReader::RegionHoles::zeros, slice(disk, 65000, 536)},
        {"ends at the bound", {{1000, 100}, {2000, 100}, {3000, 100}}, top, {1000, 2050}, FileReader::RegionHoles::zeros,
         concat({slice(disk, 1000, 100), slice(disk, 2000, 50)})},
        {"nothing from before the bound", {{500, 100}, {1000, 100}}, top, {1000, 2000}, FileReader::RegionHoles::zeros, {}},
        {"forged length", {{0, huge}}, top, all, FileReader::RegionHoles::zeros, disk},
        {"forged hole", {{std::nullopt, huge}}, top, {0, 1000}, FileReader::RegionHoles::zeros, zeros(1000)},
        {"place past every source", {{top - 10, 100}}, top, all, FileReader::RegionHoles::zeros, {}},
        {"bound past the source", {{10, 20}}, top, {70000, 80000}, FileReader::RegionHoles::zeros, {}},
    };
    for (auto& c : cases) {
        auto region = FileReader::readRegion(*source, c.extents, c.maxBytes, c.within, c.holes);
        EXPECT_EQ(region.bytes, c.expected) << c.what;
        EXPECT_LE(region.bytes.capacity(), disk.size()) << c.what;
        EXPECT_EQ(region.badBytes, 0) << c.what;
    }
}

TEST(FileReader, RegionCountsUnreadableBytesInSmallAndLargePieces) {
    const Bytes disk = patternBytes(1 << 21);
    ByteSource source(disk, 512, withBadRanges({{512, 1024}, {(1 << 20) + 4096, (1 << 20) + 8192}}));
    auto region = FileReader::readRegion(*source, {{0, 4096}, {1 << 20, 1 << 20}}, UINT64_MAX);
    Bytes expected = concat({slice(disk, 0, 4096), slice(disk, 1 << 20, 1 << 20)});
    std::fill(expected.begin() + 512, expected.begin() + 1024, 0);
    std::fill(expected.begin() + 4096 + 4096, expected.begin() + 4096 + 8192, 0);
    EXPECT_EQ(region.bytes, expected);
    EXPECT_EQ(region.badBytes, 512 + 4096);
}
