#include <filesystem>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SovantaCore/Imager.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;
using Status = RangeMap::Status;
using Block = RangeMap::Block;

namespace {

constexpr uint64_t MiB = 1048576;

// Pseudo-random bytes (splitmix64), the same for the same seed.
Bytes randomBytes(uint64_t size, uint64_t seed) {
    Bytes bytes(size);
    uint64_t state = seed;
    for (uint64_t i = 0; i < size; i += 8) {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        z ^= z >> 31;
        std::memcpy(bytes.data() + i, &z, std::min<uint64_t>(8, size - i));
    }
    return bytes;
}

// A source file of random bytes, opened as an image.
DiskSourcePtr makeSource(const std::string& path, uint64_t size, const SourceOptions& options = {}, uint64_t seed = 1) {
    writeFile(path, randomBytes(size, seed));
    return SourceOpener::openImage(path, options);
}

struct ImagingRun {
    std::vector<ImagingStats> updates;
    ImagingStats final;
};

ImagingRun runImager(DiskImager& imager) {
    ImagingRun run;
    imager.run([&](const ImagingStats& s) { run.updates.push_back(s); });
    run.final = imager.currentStats();
    return run;
}

std::vector<Block> mb(std::initializer_list<std::tuple<double, double, Status>> list) {
    std::vector<Block> blocks;
    for (auto& [from, to, status] : list)
        blocks.push_back({static_cast<uint64_t>(from * MiB), static_cast<uint64_t>((to - from) * MiB), status});
    return blocks;
}

// The image equals the source everywhere except in the given ranges, which
// read as zeros (holes never written). Compared a piece at a time.
void expectImage(const std::string& imagePath, const std::string& sourcePath, std::vector<ByteRange> holes = {}) {
    std::ifstream image(imagePath, std::ios::binary | std::ios::ate), source(sourcePath, std::ios::binary | std::ios::ate);
    ASSERT_TRUE(image && source) << imagePath;
    ASSERT_EQ(image.tellg(), source.tellg()) << imagePath;
    const uint64_t size = static_cast<uint64_t>(source.tellg());
    image.seekg(0);
    source.seekg(0);
    Bytes a(MiB), b(MiB);
    for (uint64_t offset = 0; offset < size; offset += MiB) {
        auto n = static_cast<std::streamsize>(std::min(MiB, size - offset));
        image.read(reinterpret_cast<char*>(a.data()), n);
        source.read(reinterpret_cast<char*>(b.data()), n);
        for (auto& hole : holes) {
            uint64_t from = std::max(hole.lower, offset), to = std::min<uint64_t>(hole.upper, offset + static_cast<uint64_t>(n));
            if (from < to) std::fill(b.begin() + static_cast<std::ptrdiff_t>(from - offset), b.begin() + static_cast<std::ptrdiff_t>(to - offset), 0);
        }
        ASSERT_TRUE(std::equal(a.begin(), a.begin() + n, b.begin())) << imagePath << " differs in the MiB at " << offset;
    }
}

std::string findTool(const std::string& name) {
    for (const char* folder : {"/usr/bin/", "/usr/local/bin/", "/bin/", "/usr/sbin/", "/sbin/"}) {
        std::string path = std::string(folder) + name;
        if (::access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

std::string text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

const char* const finishedWithWriteFailure = "Skrivning til billedfilen mislykkedes (er destinationen fuld?).";

}  // namespace

TEST(DiskImager, CleanSourceIsCopiedInOnePass) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), 10 * MiB);
    mode_t oldMask = ::umask(022);
    DiskImager imager(source, folder.file("disk.img"));
    EXPECT_FALSE(imager.isResuming());
    ImagingRun run = runImager(imager);
    ::umask(oldMask);

    ASSERT_FALSE(run.updates.empty());
    for (size_t i = 0; i + 1 < run.updates.size(); ++i) EXPECT_FALSE(run.updates[i].finished);
    const ImagingStats& last = run.updates.back();
    EXPECT_TRUE(last.finished);
    EXPECT_EQ(last.phase, "Færdig");
    EXPECT_EQ(last.pass, 4);
    EXPECT_FALSE(last.message);
    EXPECT_EQ(last.rescued, 10 * MiB);
    EXPECT_EQ(last.total, 10 * MiB);
    EXPECT_EQ(last.pending, 0u);
    EXPECT_EQ(last.bad, 0u);
    EXPECT_EQ(last.position, 9 * MiB);
    EXPECT_FALSE(last.eta());
    EXPECT_EQ(run.final.phase, last.phase);
    EXPECT_EQ(imager.map->snapshot(), mb({{0, 10, Status::finished}}));
    // Every byte was read once, in whole pieces, without a failure.
    EXPECT_EQ(source->bytesRead(), 10 * MiB);
    EXPECT_EQ(source->readErrorCount(), 0);
    expectImage(folder.file("disk.img"), folder.file("src"));
    struct stat st {};
    ASSERT_EQ(::stat(folder.file("disk.img").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    EXPECT_EQ(readText(folder.file("disk.img.map")),
              "# Mapfile. Created by Sovanta (GNU ddrescue compatible)\n"
              "# Command line: sovanta\n"
              "# current_pos  current_status  current_pass\n"
              "0x00900000     +               4\n"
              "#      pos        size  status\n"
              "0x00000000  0x00A00000  +\n");
}

TEST(DiskImager, LastPassFollowsTheRetries) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), 65536);
    for (auto [retries, pass] : std::vector<std::pair<int64_t, int64_t>>{{0, 3}, {-2, 3}, {1, 4}, {2, 5}}) {
        ImagingOptions options;
        options.retries = retries;
        DiskImager imager(source, folder.file("r" + std::to_string(retries) + ".img"), options);
        ImagingRun run = runImager(imager);
        EXPECT_EQ(run.final.pass, pass) << retries;
        EXPECT_EQ(run.final.phase, "Færdig") << retries;
    }
}

// The imager is stopped by a full destination at a known offset, so the map
// shows what the first pass did up to there.
TEST(DiskImager, FirstPassJumpsFurtherAfterEachFailure) {
    struct Case {
        const char* name;
        std::vector<ByteRange> bad;
        uint64_t maxSkip;
        double stopAt;
        std::vector<Block> expected;
    };
    const std::vector<Case> cases = {
        {"one failure jumps one chunk",
         {{2 * MiB, 3 * MiB}},
         256 * MiB,
         7,
         mb({{0, 2, Status::finished},
             {2, 3, Status::nonTrimmed},
             {3, 4, Status::nonTried},
             {4, 7, Status::finished},
             {7, 16, Status::nonTried}})},
        {"a second failure jumps twice as far",
         {{2 * MiB, 3 * MiB}, {4 * MiB, 5 * MiB}},
         256 * MiB,
         8,
         mb({{0, 2, Status::finished},
             {2, 3, Status::nonTrimmed},
             {3, 4, Status::nonTried},
             {4, 5, Status::nonTrimmed},
             {5, 7, Status::nonTried},
             {7, 8, Status::finished},
             {8, 16, Status::nonTried}})},
        {"the jump is at most maxSkip, and a piece from mid-chunk ends at the boundary",
         {{2 * MiB, 3 * MiB}, {4 * MiB, 5 * MiB}},
         3 * MiB / 2,
         8,
         mb({{0, 2, Status::finished},
             {2, 3, Status::nonTrimmed},
             {3, 4, Status::nonTried},
             {4, 5, Status::nonTrimmed},
             {5, 6.5, Status::nonTried},
             {6.5, 8, Status::finished},
             {8, 16, Status::nonTried}})},
        {"a success resets the jump",
         {{2 * MiB, 3 * MiB}, {5 * MiB, 6 * MiB}},
         256 * MiB,
         10,
         mb({{0, 2, Status::finished},
             {2, 3, Status::nonTrimmed},
             {3, 4, Status::nonTried},
             {4, 5, Status::finished},
             {5, 6, Status::nonTrimmed},
             {6, 7, Status::nonTried},
             {7, 10, Status::finished},
             {10, 16, Status::nonTried}})},
    };
    for (auto& c : cases) {
        TempDir folder;
        auto source = makeSource(folder.file("src"), 16 * MiB, withBadRanges(c.bad));
        ImagingOptions options;
        options.maxSkip = c.maxSkip;
        DiskImager imager(source, folder.file("disk.img"), options);
        ImagingRun run;
        {
            WriteLimit limit(static_cast<uint64_t>(c.stopAt * MiB));
            run = runImager(imager);
        }
        EXPECT_EQ(imager.map->snapshot(), c.expected) << c.name;
        EXPECT_EQ(run.final.message, finishedWithWriteFailure) << c.name;
        EXPECT_EQ(run.final.phase, "Færdig") << c.name;
        EXPECT_EQ(run.final.pass, 1) << c.name;
        // The piece whose write failed keeps its status in the saved mapfile.
        auto saved = RangeMap::read(folder.file("disk.img.map"), 16 * MiB);
        ASSERT_NE(saved, nullptr);
        EXPECT_EQ(saved->snapshot(), c.expected) << c.name;
    }
}

TEST(DiskImager, BadAreaIsReadSectorBySectorAndRetried) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), 16 * MiB, withBadRanges({{2 * MiB, 3 * MiB}}));
    DiskImager imager(source, folder.file("disk.img"));
    ImagingRun run = runImager(imager);
    EXPECT_EQ(imager.map->snapshot(), mb({{0, 2, Status::finished}, {2, 3, Status::bad}, {3, 16, Status::finished}}));
    EXPECT_EQ(run.final.phase, "Færdig");
    EXPECT_FALSE(run.final.message);
    EXPECT_EQ(run.final.pass, 4);
    EXPECT_EQ(run.final.bad, MiB);
    EXPECT_EQ(run.final.rescued, 15 * MiB);
    // One failed piece in pass 1, then each of the 2048 sectors in pass 3 and again in the retry pass.
    EXPECT_EQ(run.final.readErrors, 1 + 2048 + 2048);
    auto bad = source->badSectors();
    ASSERT_EQ(bad.size(), 2048u);
    EXPECT_EQ(bad.front(), 4096u);
    EXPECT_EQ(bad.back(), 6143u);
    expectImage(folder.file("disk.img"), folder.file("src"), {{2 * MiB, 3 * MiB}});

    // Running the same imager again reads no finished byte: the bad sectors,
    // still bad, are retried and stay bad.
    const auto firstMap = imager.map->snapshot();
    uint64_t readBefore = source->bytesRead();
    run = runImager(imager);
    EXPECT_EQ(source->bytesRead(), readBefore);
    EXPECT_EQ(imager.map->snapshot(), firstMap);

    // With most of the damage gone, a new run from the mapfile reads only the
    // bad area and keeps what still fails.
    auto healed = SourceOpener::openImage(folder.file("src"), withBadRanges({{2 * MiB, 2 * MiB + 1024}}));
    DiskImager resumed(healed, folder.file("disk.img"));
    ASSERT_TRUE(resumed.isResuming());
    run = runImager(resumed);
    EXPECT_EQ(healed->bytesRead(), MiB - 1024);
    EXPECT_EQ(resumed.map->snapshot(),
              (std::vector<Block>{{0, 2 * MiB, Status::finished}, {2 * MiB, 1024, Status::bad},
                                  {2 * MiB + 1024, 14 * MiB - 1024, Status::finished}}));
    expectImage(folder.file("disk.img"), folder.file("src"), {{2 * MiB, 2 * MiB + 1024}});
}

TEST(DiskImager, ChunkIsCutToWholeSectors) {
    TempDir folder;
    writeFile(folder.file("src"), randomBytes(8 * MiB, 3));
    for (auto [chunkSize, piece] : std::vector<std::pair<int64_t, uint64_t>>{{1000000, 999424}, {0, 4096}}) {
        int fd = ::open(folder.file("src").c_str(), O_RDONLY);
        auto source = std::make_shared<DiskSource>(fd, folder.file("src"), "src", 8 * MiB, 4096, false,
                                                   std::nullopt, nullptr);
        ImagingOptions options;
        options.chunkSize = chunkSize;
        std::string image = folder.file("c" + std::to_string(chunkSize) + ".img");
        DiskImager imager(source, image, options);
        {
            // Room for two pieces and a little of the third.
            WriteLimit limit(2 * piece + 100);
            runImager(imager);
        }
        EXPECT_EQ(imager.map->snapshot(), (std::vector<Block>{{0, 2 * piece, Status::finished},
                                                              {2 * piece, 8 * MiB - 2 * piece, Status::nonTried}}))
            << chunkSize;
    }
}

TEST(DiskImager, CancelWhilePausedStopsPromptlyAndSavesTheMap) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), 4 * MiB);
    // An earlier copy's image, shorter than the source, grows to its size
    // before the first read.
    writeFile(folder.file("disk.img"), Bytes(1000, 0x55));
    writeFile(folder.file("disk.img.map"), "x\n0x0 0x400000 ?\n");
    DiskImager imager(source, folder.file("disk.img"));
    imager.setPaused(true);
    std::vector<ImagingStats> updates;  // the worker's until it is joined
    std::atomic<int> pausedUpdates{0}, updatesAfterCancel{0};
    std::atomic<bool> cancelled{false};
    std::thread worker([&] {
        imager.run([&](const ImagingStats& s) {
            if (!s.finished) {
                if (cancelled) ++updatesAfterCancel;
                ++pausedUpdates;
            }
            updates.push_back(s);
        });
    });
    // The run must have started (a cancel before the start is cleared by it)
    // and be waiting in its pause, which reports about every 0.2 s.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pausedUpdates < 2 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_GE(pausedUpdates, 2);
    imager.cancel();
    cancelled = true;
    worker.join();
    // The pause notices the cancel at its next step: at most the one report
    // already under way comes before the final one.
    EXPECT_LE(updatesAfterCancel, 1);
    ImagingStats stats = imager.currentStats();
    EXPECT_EQ(stats.phase, "Stoppet");
    EXPECT_EQ(stats.message, "Stoppet. Du kan fortsætte senere – fremskridtet er gemt i disk.img.map.");
    EXPECT_TRUE(stats.finished);
    // While paused the run kept reporting, and its last update is the only finished one.
    ASSERT_GE(updates.size(), 2u);
    EXPECT_TRUE(updates.back().finished);
    EXPECT_FALSE(updates[updates.size() - 2].finished);
    EXPECT_EQ(source->bytesRead(), 0u);
    auto saved = RangeMap::read(folder.file("disk.img.map"), 4 * MiB);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->snapshot(), mb({{0, 4, Status::nonTried}}));
    Bytes image = readBytes(folder.file("disk.img"));
    ASSERT_EQ(image.size(), 4 * MiB);
    EXPECT_EQ(image[999], 0x55);
    EXPECT_EQ(image[1000], 0);

    // A cancel holds until it is cleared: a run asked for after it ends at
    // once, having read nothing; once cleared, the next run goes on.
    imager.setPaused(false);
    imager.cancel();
    ImagingRun halted = runImager(imager);
    EXPECT_EQ(halted.final.phase, "Stoppet");
    EXPECT_EQ(source->bytesRead(), 0u);
    imager.clearCancel();
    ImagingRun run = runImager(imager);
    EXPECT_EQ(run.final.phase, "Færdig");
    expectImage(folder.file("disk.img"), folder.file("src"));
}

TEST(DiskImager, ResumesOnlyWithImageAndReadableMap) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), MiB);
    const std::string image = folder.file("disk.img"), mapPath = image + ".map";
    const std::string partialMap = "x\n0x0 0x40000 +\n0x40000 0xC0000 ?\n";
    struct Case {
        const char* name;
        bool imageExists;
        std::optional<std::string> map;
        bool resumes;
    };
    for (const Case& c : std::vector<Case>{{"both", true, partialMap, true},
                                           {"map without image", false, partialMap, false},
                                           {"image without map", true, std::nullopt, false},
                                           {"unreadable map", true, std::string("garbage\n"), false},
                                           {"map of untried blocks only", true, std::string("x\n0x0 0x100000 ?\n"),
                                            false}}) {
        ::unlink(image.c_str());
        ::unlink(mapPath.c_str());
        if (c.imageExists) writeFile(image, Bytes{});
        if (c.map) writeFile(mapPath, *c.map);
        DiskImager imager(source, image);
        EXPECT_EQ(imager.isResuming(), c.resumes) << c.name;
        EXPECT_EQ(imager.mapURL, mapPath);
        EXPECT_EQ(imager.map->total(Status::finished), c.resumes ? 0x40000u : 0u) << c.name;
    }
}

TEST(DiskImager, ForeignNonScrapedBlocksAreReadSectorBySector) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), 65536, withBadRanges({{0x1000, 0x1200}}));
    writeFile(folder.file("disk.img"), readBytes(folder.file("src")));
    writeFile(folder.file("disk.img.map"), "# other tool\n0x1000 / 2\n0x0 0x1000 +\n0x1000 0x1000 /\n0x2000 0xE000 +\n");
    DiskImager imager(source, folder.file("disk.img"));
    EXPECT_TRUE(imager.isResuming());
    ImagingRun run = runImager(imager);
    EXPECT_EQ(imager.map->snapshot(), (std::vector<Block>{{0, 0x1000, Status::finished},
                                                          {0x1000, 0x200, Status::bad},
                                                          {0x1200, 0xEE00, Status::finished}}));
    // Only the sectors of the non-scraped block were read.
    EXPECT_EQ(source->bytesRead(), 0x1000u - 0x200u);
    EXPECT_EQ(source->badSectors(), std::vector<uint64_t>{8});
}

TEST(DiskImager, LongerImageIsNotShortened) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), MiB);
    writeFile(folder.file("disk.img"), Bytes(3 * MiB, 0xAA));
    writeFile(folder.file("disk.img.map"), "x\n0x0 0x100000 ?\n");
    DiskImager imager(source, folder.file("disk.img"));
    runImager(imager);
    Bytes image = readBytes(folder.file("disk.img"));
    ASSERT_EQ(image.size(), 3 * MiB);
    Bytes expected = readBytes(folder.file("src"));
    expected.resize(3 * MiB, 0xAA);
    EXPECT_TRUE(image == expected);
}

TEST(DiskImager, ImageThatCannotBeCreatedEndsAtOnce) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), MiB);
    DiskImager imager(source, folder.file("missing/disk.img"));
    ImagingRun run = runImager(imager);
    ASSERT_EQ(run.updates.size(), 1u);
    EXPECT_TRUE(run.updates[0].finished);
    EXPECT_EQ(run.final.message, "Kunne ikke oprette billedfilen: No such file or directory");
    EXPECT_EQ(run.final.phase, "");
    EXPECT_EQ(source->bytesRead(), 0u);
    EXPECT_EQ(imager.map->snapshot(), mb({{0, 1, Status::nonTried}}));
    EXPECT_NE(::access(folder.file("missing").c_str(), F_OK), 0);

    // A run after one that took its time, ending at once: it took none.
    const std::string place = folder.file("gone");
    std::filesystem::create_directory(place);
    DiskImager again(source, place + "/disk.img");
    ASSERT_GT(runImager(again).final.elapsed, 0);
    std::filesystem::remove_all(place);
    ImagingRun failed = runImager(again);
    EXPECT_TRUE(failed.final.finished);
    ASSERT_TRUE(failed.final.message);
    EXPECT_EQ(failed.final.elapsed, 0);
    EXPECT_EQ(failed.final.averageRate, 0);
}

// A source that stops answering ends the run at once; what was not read
// keeps its status instead of being given up sector by sector.
TEST(DiskImager, VanishedSourceStopsTheRunAndKeepsTheMap) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), 4 * MiB);
    DiskImager imager(source, folder.file("disk.img"));
    imager.map->set(0, MiB, Status::finished);
    imager.map->set(2 * MiB, 4096, Status::nonTrimmed);
    const auto before = imager.map->snapshot();
    source->close();
    ImagingRun run = runImager(imager);
    EXPECT_EQ(run.final.phase, "Stoppet");
    EXPECT_EQ(run.final.message,
              "Kilden svarer ikke længere. Du kan fortsætte senere – fremskridtet er gemt i disk.img.map.");
    EXPECT_EQ(run.final.pass, 1);
    EXPECT_EQ(imager.map->snapshot(), before);
    EXPECT_EQ(source->badSectorCount(), 0);
    auto saved = RangeMap::read(folder.file("disk.img.map"), 4 * MiB);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->snapshot(), before);
    ASSERT_EQ(std::count_if(run.updates.begin(), run.updates.end(), [](auto& s) { return s.finished; }), 1);

    // Once the source is back, a new imager finishes the copy from the map.
    auto again = SourceOpener::openImage(folder.file("src"));
    Bytes image = readBytes(folder.file("disk.img"));
    std::copy_n(readBytes(folder.file("src")).begin(), MiB, image.begin());
    writeFile(folder.file("disk.img"), image);
    DiskImager resumed(again, folder.file("disk.img"));
    EXPECT_TRUE(resumed.isResuming());
    runImager(resumed);
    EXPECT_EQ(again->bytesRead(), 3 * MiB);
    expectImage(folder.file("disk.img"), folder.file("src"));
}

// The source goes away in the middle of a run, in the first pass or while
// bad sectors are read one by one: the run stops at the next read, what was
// copied stays finished, and nothing that was not read is given up as bad.
TEST(DiskImager, SourceClosedDuringTheRunKeepsWhatIsLeft) {
    struct Case {
        const char* name;
        std::vector<ByteRange> bad;
        std::function<bool(const ImagingStats&)> closeAfter;
        std::vector<Block> expected;
        int64_t pass;
    };
    const uint64_t sector2MiB = 2 * MiB / 512;
    const std::vector<Case> cases = {
        {"first pass", {}, [](const ImagingStats& s) { return s.rescued >= 2 * MiB; },
         mb({{0, 2, Status::finished}, {2, 4, Status::nonTried}}), 1},
        {"sector by sector",
         {{2 * MiB, 3 * MiB}},
         [](const ImagingStats& s) { return s.pass == 3 && s.bad > 0; },
         {{0, 2 * MiB, Status::finished},
          {2 * MiB, 512, Status::bad},
          {2 * MiB + 512, MiB - 512, Status::nonTrimmed},
          {3 * MiB, MiB, Status::finished}},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir folder;
        auto source = makeSource(folder.file("src"), 4 * MiB, withBadRanges(c.bad));
        DiskImager imager(source, folder.file("disk.img"));
        // Updates come at most every 0.25 s: the run starts paused, and each
        // update waits that long, so that every piece read is followed by one.
        imager.setPaused(true);
        ImagingRun run;
        imager.run([&](const ImagingStats& s) {
            run.updates.push_back(s);
            if (s.finished) return;
            std::this_thread::sleep_for(std::chrono::milliseconds(260));
            if (imager.paused())
                imager.setPaused(false);
            else if (!source->isClosed() && c.closeAfter(s))
                source->close();
        });
        run.final = imager.currentStats();
        ASSERT_TRUE(source->isClosed());
        EXPECT_EQ(run.final.phase, "Stoppet");
        EXPECT_EQ(run.final.message,
                  "Kilden svarer ikke længere. Du kan fortsætte senere – fremskridtet er gemt i disk.img.map.");
        EXPECT_EQ(run.final.pass, c.pass);
        EXPECT_EQ(imager.map->snapshot(), c.expected);
        EXPECT_EQ(source->badSectors(), c.bad.empty() ? std::vector<uint64_t>{} : std::vector<uint64_t>{sector2MiB});
        auto saved = RangeMap::read(folder.file("disk.img.map"), 4 * MiB);
        ASSERT_NE(saved, nullptr);
        EXPECT_EQ(saved->snapshot(), c.expected);
        EXPECT_EQ(std::count_if(run.updates.begin(), run.updates.end(), [](auto& s) { return s.finished; }), 1);
        EXPECT_TRUE(run.updates.back().finished);

        // The disk back again: the copy goes on from the map.
        auto again = SourceOpener::openImage(folder.file("src"), withBadRanges(c.bad));
        DiskImager resumed(again, folder.file("disk.img"));
        EXPECT_TRUE(resumed.isResuming());
        EXPECT_EQ(runImager(resumed).final.phase, "Færdig");
        expectImage(folder.file("disk.img"), folder.file("src"), c.bad);
    }
}

// However the system says that the source is gone (a device unplugged, the
// process serving its FUSE file system dead, its descriptor taken away), the
// run stops with what was not read still untried, so the mapfile stays
// resumable; the error of a bad sector goes on to the sector passes.
TEST(DiskImager, SourceGoneStopsTheRunWhateverTheErrorSays) {
    struct Case {
        int error;
        bool gone;
    };
    for (Case c : {Case{ENOTCONN, true}, Case{ECONNABORTED, true}, Case{ESHUTDOWN, true}, Case{EBADF, true},
                   Case{ENODEV, true}, Case{EIO, false}}) {
        SCOPED_TRACE(std::strerror(c.error));
        TempDir folder;
        auto source = makeSource(folder.file("src"), 4 * MiB, withBadRanges({{2 * MiB, 4 * MiB}}, c.error));
        DiskImager imager(source, folder.file("disk.img"));
        ImagingRun run = runImager(imager);
        const auto expected = mb({{0, 2, Status::finished}, {2, 4, c.gone ? Status::nonTried : Status::bad}});
        EXPECT_EQ(imager.map->snapshot(), expected);
        auto saved = RangeMap::read(folder.file("disk.img.map"), 4 * MiB);
        ASSERT_NE(saved, nullptr);
        EXPECT_EQ(saved->snapshot(), expected);
        EXPECT_EQ(source->hasVanished(), c.gone);
        EXPECT_EQ(source->badSectorCount(), c.gone ? 0 : int64_t(2 * MiB / 512));
        EXPECT_EQ(run.final.phase, c.gone ? "Stoppet" : "Færdig");
        EXPECT_EQ(run.final.message,
                  c.gone ? std::optional<std::string>(
                               "Kilden svarer ikke længere. Du kan fortsætte senere – fremskridtet er gemt i disk.img.map.")
                         : std::nullopt);
    }
}

// A source file cut short after it was opened ends, for the imager, where it
// now ends: the run stops there, says so, and leaves the rest untried, as GNU
// ddrescue's map stops at the new end; nothing past it is copied as zeros or
// recorded as bad. The whole source back, the copy resumes from the map.
TEST(DiskImager, SourceCutShortStopsTheRunAtItsNewEnd) {
    TempDir folder;
    const std::string path = folder.file("src");
    auto source = makeSource(path, 4 * MiB);
    const Bytes whole = readBytes(path);
    ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(MiB + MiB / 2)), 0);
    DiskImager imager(source, folder.file("disk.img"));
    ImagingRun run = runImager(imager);
    const auto expected = mb({{0, 1, Status::finished}, {1, 4, Status::nonTried}});
    EXPECT_EQ(imager.map->snapshot(), expected);
    auto saved = RangeMap::read(folder.file("disk.img.map"), 4 * MiB);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->snapshot(), expected);
    EXPECT_EQ(source->badSectorCount(), 0);
    EXPECT_EQ(run.final.phase, "Stoppet");
    EXPECT_EQ(run.final.message, "Kilden er blevet mindre under kopieringen: den ender nu ved byte 1572864 i stedet "
                                 "for 4194304. Resten er ikke læst. Du kan fortsætte senere – fremskridtet er gemt i "
                                 "disk.img.map.");
    EXPECT_EQ(run.final.rescued, MiB);
    EXPECT_EQ(run.final.pending, 3 * MiB);

    writeFile(path, whole);
    DiskImager resumed(SourceOpener::openImage(path), folder.file("disk.img"));
    EXPECT_TRUE(resumed.isResuming());
    EXPECT_EQ(runImager(resumed).final.phase, "Færdig");
    expectImage(folder.file("disk.img"), path);
}

// The real thing: the source is a file on a FUSE file system (ntfs-3g over
// an image file) whose server is killed in the middle of the copy, so that
// reads fail with ENOTCONN. Served again, the copy resumes from the map.
TEST(DiskImager, FuseSourceWhoseServerDies) {
    if (!isRoot()) GTEST_SKIP() << "mounting a FUSE file system needs root";
    const std::string mkntfs = findTool("mkntfs"), ntfs3g = findTool("ntfs-3g"), umount = findTool("umount");
    if (mkntfs.empty() || ntfs3g.empty() || umount.empty() || ::access("/dev/fuse", R_OK | W_OK) != 0)
        GTEST_SKIP() << "ntfs-3g or FUSE is not available";
    TempDir folder;
    const std::string volume = folder.file("ntfs.img"), mount = folder.file("mnt"), image = folder.file("disk.img");
    const uint64_t size = 24 * MiB;
    writeFile(volume, Bytes{});
    ASSERT_EQ(::truncate(volume.c_str(), 64 * MiB), 0);
    ASSERT_EQ(Shell::run(mkntfs, {"-F", "-Q", "-q", volume}).status, 0);
    ASSERT_EQ(::mkdir(mount.c_str(), 0755), 0);
    struct stat folderStat {};
    ASSERT_EQ(::stat(folder.path().c_str(), &folderStat), 0);

    // Serves the volume in the foreground; the server's process id.
    auto serve = [&]() -> pid_t {
        pid_t pid = ::fork();
        if (pid == 0) {
            int null = ::open("/dev/null", O_RDWR);
            ::dup2(null, 1), ::dup2(null, 2);
            ::execl(ntfs3g.c_str(), ntfs3g.c_str(), "-o", "no_detach", volume.c_str(), mount.c_str(), nullptr);
            ::_exit(127);
        }
        for (int i = 0; i < 200; ++i) {
            struct stat st {};
            if (::stat(mount.c_str(), &st) == 0 && st.st_dev != folderStat.st_dev) return pid;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        return -1;
    };
    // Ends a server: unmounted in order, or killed (and the dead mount
    // detached).
    struct Server {
        std::string umount, mount;
        pid_t pid = -1;
        void stop(bool kill) {
            if (pid <= 0) return;
            // A mount still in use is not unmounted in order: then the server
            // is killed, so that waiting for it never hangs.
            if (kill || Shell::run(umount, {mount}).status != 0) {
                ::kill(pid, SIGKILL);
                Shell::run(umount, {"-l", mount});
            }
            ::waitpid(pid, nullptr, 0);
            pid = -1;
        }
        ~Server() { stop(true); }
    } server{umount, mount};
    // The file is written in one mount and read in the next, so that no page
    // of it is cached by the kernel when the server dies.
    const Bytes bytes = randomBytes(size, 11);
    server.pid = serve();
    ASSERT_GT(server.pid, 0);
    writeFile(mount + "/src", bytes);
    server.stop(false);
    server.pid = serve();
    ASSERT_GT(server.pid, 0);

    auto source = SourceOpener::openImage(mount + "/src");
    ASSERT_EQ(source->size, size);
    DiskImager imager(source, image);
    // Started paused, with each update taking longer than the update
    // interval, so that every piece read is followed by an update.
    imager.setPaused(true);
    bool killed = false;
    imager.run([&](const ImagingStats& s) {
        if (s.finished) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(260));
        if (imager.paused()) {
            imager.setPaused(false);
        } else if (!killed && s.rescued >= 4 * MiB) {
            server.stop(true);
            killed = true;
        }
    });
    ASSERT_TRUE(killed);
    ImagingStats stats = imager.currentStats();
    EXPECT_EQ(stats.phase, "Stoppet");
    EXPECT_EQ(stats.message, "Kilden svarer ikke længere. Du kan fortsætte senere – fremskridtet er gemt i disk.img.map.");
    auto blocks = imager.map->snapshot();
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_EQ(blocks[0].status, Status::finished);
    EXPECT_GE(blocks[0].size, 4 * MiB);
    EXPECT_EQ(blocks[1].status, Status::nonTried);
    EXPECT_EQ(blocks[1].end(), size);
    auto saved = RangeMap::read(image + ".map", size);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->snapshot(), blocks);
    source->close();

    server.pid = serve();
    ASSERT_GT(server.pid, 0);
    auto again = SourceOpener::openImage(mount + "/src");
    DiskImager resumed(again, image);
    EXPECT_TRUE(resumed.isResuming());
    EXPECT_EQ(runImager(resumed).final.phase, "Færdig");
    EXPECT_EQ(again->bytesRead(), blocks[1].size);
    again->close();
    server.stop(false);
    EXPECT_TRUE(readBytes(image) == bytes);
}

// A mapfile the copy cannot resume from may be the only record of an earlier
// copy: it is kept under a new name that replaces nothing, and the run says so.
TEST(DiskImager, UnusableMapIsKeptAside) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), MiB);
    const std::string image = folder.file("disk.img"), map = image + ".map";
    const std::string unreadable = "# from somewhere\n0x0 ? 1\nnot a block line\n";
    const std::string orphan = "x\n0x0 0x40000 +\n0x40000 0xC0000 ?\n";
    struct Case {
        const char* name;
        bool imageExists;
        std::string map;
        bool earlierAside;
        std::string aside;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"unreadable map beside the image", true, unreadable, false, "disk.img.map.bak",
         "Map-filen disk.img.map kunne ikke læses og er gemt som disk.img.map.bak; kopieringen begyndte forfra."},
        {"an earlier one set aside stays", true, unreadable, true, "disk.img.map.bak2",
         "Map-filen disk.img.map kunne ikke læses og er gemt som disk.img.map.bak2; kopieringen begyndte forfra."},
        {"readable map without its image", false, orphan, false, "disk.img.map.bak",
         "Map-filen disk.img.map hørte til en billedfil, der ikke findes mere, og er gemt som disk.img.map.bak; "
         "kopieringen begyndte forfra."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const char* suffix : {"", ".map", ".map.bak", ".map.bak2"}) ::unlink((image + suffix).c_str());
        if (c.imageExists) writeFile(image, Bytes(MiB, 0xAA));
        writeFile(map, c.map);
        if (c.earlierAside) writeFile(map + ".bak", "older");
        DiskImager imager(source, image);
        EXPECT_FALSE(imager.isResuming());
        ImagingRun run = runImager(imager);
        EXPECT_EQ(run.final.phase, "Færdig");
        EXPECT_EQ(run.final.message, c.message);
        EXPECT_EQ(readText(folder.file(c.aside)), c.map);
        if (c.earlierAside) {
            EXPECT_EQ(readText(map + ".bak"), "older");
        }
        auto saved = RangeMap::read(map, MiB);
        ASSERT_NE(saved, nullptr);
        EXPECT_EQ(saved->snapshot(), mb({{0, 1, Status::finished}}));
        expectImage(image, folder.file("src"));
        // Only the first run finds the old mapfile.
        EXPECT_EQ(runImager(imager).final.message, std::nullopt);
    }
}

// A file that exists without a mapfile beside it is not a copy to continue:
// the run refuses it and writes nothing, neither into it nor a mapfile. An
// empty file holds nothing to lose and is used.
TEST(DiskImager, ExistingFileWithoutMapIsRefused) {
    TempDir folder;
    auto source = makeSource(folder.file("src"), MiB);
    const std::string image = folder.file("notes.txt");
    const std::string refusal =
        "Billedfilen findes allerede uden map-fil og overskrives ikke: " + image + ". Vælg et andet filnavn.";
    const Bytes unrelated = randomBytes(3000, 3);
    writeFile(image, unrelated);
    auto nothingWritten = [&] {
        EXPECT_TRUE(readBytes(image) == unrelated);
        for (const char* suffix : {".map", ".map.tmp"}) EXPECT_NE(::access((image + suffix).c_str(), F_OK), 0) << suffix;
    };
    DiskImager imager(source, image);
    ImagingRun run = runImager(imager);
    ASSERT_EQ(run.updates.size(), 1u);
    EXPECT_TRUE(run.final.finished);
    EXPECT_EQ(run.final.message, refusal);
    EXPECT_EQ(source->bytesRead(), 0u);
    nothingWritten();

    // The tool says so as an error, with no progress line.
    auto result = runCLI({"image", folder.file("src"), image});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Fejl: " + refusal + "\n");
    nothingWritten();

    writeFile(folder.file("empty.img"), Bytes{});
    DiskImager fresh(source, folder.file("empty.img"));
    EXPECT_EQ(runImager(fresh).final.phase, "Færdig");
    expectImage(folder.file("empty.img"), folder.file("src"));
}

// A destination that fills up in the middle of the copy: the run ends with
// the write failure, the last good mapfile stays with no temporary file
// beside it, and with room again the copy resumes from it.
TEST(DiskImager, FullDestinationKeepsTheLastGoodMap) {
    if (!isRoot()) GTEST_SKIP() << "mounting a small file system needs root";
    const std::string mountTool = findTool("mount"), umount = findTool("umount");
    if (mountTool.empty() || umount.empty()) GTEST_SKIP() << "mount is not installed";
    TempDir folder;
    auto source = makeSource(folder.file("src"), 16 * MiB);
    const std::string small = folder.file("small"), image = small + "/disk.img";
    ASSERT_EQ(::mkdir(small.c_str(), 0755), 0);
    if (Shell::run(mountTool, {"-t", "tmpfs", "-o", "size=6m", "tmpfs", small}).status != 0)
        GTEST_SKIP() << "tmpfs cannot be mounted here";
    struct Unmount {
        std::string tool, path;
        ~Unmount() { Shell::run(tool, {path}); }
    } unmount{umount, small};

    DiskImager imager(source, image);
    ImagingRun run = runImager(imager);
    EXPECT_EQ(run.final.message, finishedWithWriteFailure);
    EXPECT_NE(::access((image + ".map.tmp").c_str(), F_OK), 0);
    auto saved = RangeMap::read(image + ".map", 16 * MiB);
    ASSERT_NE(saved, nullptr);
    EXPECT_LT(saved->total(Status::finished), 6 * MiB);

    ASSERT_EQ(Shell::run(mountTool, {"-o", "remount,size=40m", small}).status, 0);
    DiskImager resumed(source, image);
    ImagingRun again = runImager(resumed);
    EXPECT_EQ(again.final.phase, "Færdig");
    EXPECT_EQ(again.final.message, std::nullopt);
    expectImage(image, folder.file("src"));
}

// The image is flushed to the device before each mapfile save, and the
// mapfile is renamed into place, never removed first.
TEST(DiskImager, ImageIsSyncedBeforeTheMapIsReplaced) {
    std::string strace = findTool("strace");
    if (strace.empty()) GTEST_SKIP() << "strace is not installed";
    TempDir folder;
    writeFile(folder.file("src"), randomBytes(4 * MiB, 5));
    std::string image = folder.file("disk.img"), log = folder.file("trace");
    for (int round = 0; round < 2; ++round) {
        // The leak checker of a sanitizer build cannot run under a tracer.
        auto result = Shell::run(strace, {"-f", "-o", log, "-e", "trace=%file,fsync", "-E", "ASAN_OPTIONS=detect_leaks=0",
                                          SOVANTA_CLI, "image", folder.file("src"), image});
        if (result.status != 0 && text(result.stderrBytes).find("PTRACE_") != std::string::npos)
            GTEST_SKIP() << "tracing is not permitted here: " << text(result.stderrBytes);
        ASSERT_EQ(result.status, 0) << text(result.stderrBytes);
        std::string trace = readText(log);
        std::istringstream lines(trace);
        std::string line, imageFd, mapFd;
        bool imageSynced = false, mapSynced = false, renamed = false;
        while (std::getline(lines, line)) {
            auto fdOf = [&](const std::string& path) -> std::string {
                if (line.find("openat(") == std::string::npos || line.find("\"" + path + "\"") == std::string::npos)
                    return "";
                auto eq = line.rfind("= ");
                return eq == std::string::npos ? "" : line.substr(eq + 2);
            };
            if (auto fd = fdOf(image); !fd.empty()) imageFd = fd;
            if (auto fd = fdOf(image + ".map.tmp"); !fd.empty()) mapFd = fd, mapSynced = false;
            if (!imageFd.empty() && line.find("fsync(" + imageFd + ")") != std::string::npos) imageSynced = true;
            if (!mapFd.empty() && line.find("fsync(" + mapFd + ")") != std::string::npos) mapSynced = true;
            EXPECT_EQ(line.find("unlink"), std::string::npos) << line;
            if (line.find("rename") != std::string::npos && line.find(image + ".map\"") != std::string::npos) {
                EXPECT_TRUE(imageSynced) << trace;
                EXPECT_TRUE(mapSynced) << trace;
                renamed = true;
            }
        }
        EXPECT_TRUE(renamed) << trace;
    }
    expectImage(image, folder.file("src"));
}

// The command as a user runs it: 64 MiB with an unreadable MiB that starts
// and ends inside chunks.
TEST(ImageCommand, CopiesAroundABadAreaAndResumes) {
    TempDir folder;
    const uint64_t size = 64 * MiB, badStart = 20 * MiB + 4096, badEnd = 21 * MiB + 4096;
    writeFile(folder.file("src"), randomBytes(size, 7));
    const std::string image = folder.file("disk.img"), map = image + ".map";
    ::setenv("SOVANTA_SIMULATE_BAD", (std::to_string(badStart) + "-" + std::to_string(badEnd)).c_str(), 1);
    auto result = Shell::run(SOVANTA_CLI, {"image", folder.file("src"), image});
    ::unsetenv("SOVANTA_SIMULATE_BAD");
    ASSERT_EQ(result.status, 0) << text(result.stderrBytes);
    std::string out = text(result.stdoutBytes);
    EXPECT_EQ(out.rfind("Færdig: ", std::string::npos), out.rfind('\n', out.size() - 2) + 1) << out;
    EXPECT_NE(out.find(" reddet, "), std::string::npos);
    const std::vector<Block> expected = {{0, badStart, Status::finished},
                                         {badStart, badEnd - badStart, Status::bad},
                                         {badEnd, size - badEnd, Status::finished}};
    auto saved = RangeMap::read(map, size);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->snapshot(), expected);
    expectImage(image, folder.file("src"), {{badStart, badEnd}});
    std::string ddrescuelog = findTool("ddrescuelog");
    if (!ddrescuelog.empty()) {
        EXPECT_EQ(Shell::run(ddrescuelog, {"-t", map}).status, 0);
    }

    // The second run reads no finished byte: with the whole source unreadable
    // nothing changes, where a re-read would have marked it failed.
    ::setenv("SOVANTA_SIMULATE_BAD", ("0-" + std::to_string(size)).c_str(), 1);
    result = Shell::run(SOVANTA_CLI, {"image", folder.file("src"), image});
    ::unsetenv("SOVANTA_SIMULATE_BAD");
    ASSERT_EQ(result.status, 0) << text(result.stderrBytes);
    saved = RangeMap::read(map, size);
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->snapshot(), expected);
    expectImage(image, folder.file("src"), {{badStart, badEnd}});

    // A copy that cannot begin is an error of the tool.
    result = Shell::run(SOVANTA_CLI, {"image", folder.file("src"), folder.file("missing/disk.img")});
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(text(result.stdoutBytes), "");
    EXPECT_EQ(text(result.stderrBytes), "Fejl: Kunne ikke oprette billedfilen: No such file or directory\n");
}

// MARK: Working together with GNU ddrescue

namespace {

struct Ddrescue {
    std::string ddrescue = findTool("ddrescue"), ddrescuelog = findTool("ddrescuelog");
    bool available() const { return !ddrescue.empty() && !ddrescuelog.empty(); }
};

}  // namespace

TEST(DdrescueInterop, DdrescuelogAcceptsEveryMapWeWrite) {
    Ddrescue tools;
    if (!tools.available()) GTEST_SKIP() << "GNU ddrescue is not installed";
    TempDir folder;
    std::vector<std::string> maps;

    // Mid-copy: stopped by a full destination with failed, untried and finished areas.
    auto source = makeSource(folder.file("src"), 16 * MiB, withBadRanges({{2 * MiB, 3 * MiB}}));
    {
        DiskImager imager(source, folder.file("mid.img"));
        WriteLimit limit(7 * MiB);
        runImager(imager);
    }
    maps.push_back(folder.file("mid.img.map"));
    // Finished with a bad area, and cancelled before the first read.
    DiskImager finished(source, folder.file("done.img"));
    runImager(finished);
    maps.push_back(folder.file("done.img.map"));
    DiskImager cancelled(source, folder.file("stop.img"));
    cancelled.setPaused(true);
    // Cancelled at the paused run's first report: a cancel before the run
    // begins would be cleared by it.
    cancelled.run([&](const ImagingStats& s) {
        if (!s.finished) cancelled.cancel();
    });
    maps.push_back(folder.file("stop.img.map"));
    // Every status, odd sizes and a high pass number.
    RangeMap every(1000003);
    every.set(512, 512, Status::nonTrimmed);
    every.set(4096, 1000, Status::nonScraped);
    every.set(10000, 7, Status::bad);
    every.set(20000, 900000, Status::finished);
    every.write(folder.file("every.map"), 0x12345, 13);
    maps.push_back(folder.file("every.map"));

    for (auto& map : maps) {
        auto result = Shell::run(tools.ddrescuelog, {"-t", map});
        EXPECT_EQ(result.status, 0) << map << ": " << text(result.stderrBytes);
    }
    // It reads the same bad sectors as we do.
    auto listed = Shell::run(tools.ddrescuelog, {"-l-", folder.file("done.img.map")});
    ASSERT_EQ(listed.status, 0);
    std::istringstream lines(text(listed.stdoutBytes));
    std::vector<uint64_t> sectors;
    for (uint64_t s; lines >> s;) sectors.push_back(s);
    EXPECT_EQ(sectors, source->badSectors());
    EXPECT_EQ(Shell::run(tools.ddrescuelog, {"-D", folder.file("done.img.map")}).status, 1);
}

TEST(DdrescueInterop, DdrescueCompletesOurCopies) {
    Ddrescue tools;
    if (!tools.available()) GTEST_SKIP() << "GNU ddrescue is not installed";
    TempDir folder;
    auto source = makeSource(folder.file("src"), 16 * MiB, withBadRanges({{2 * MiB, 3 * MiB}, {9 * MiB, 9 * MiB + 8192}}));
    {
        DiskImager imager(source, folder.file("mid.img"));
        WriteLimit limit(7 * MiB);
        runImager(imager);
    }
    DiskImager finished(source, folder.file("done.img"));
    runImager(finished);
    ASSERT_GT(finished.map->total(Status::bad), 0u);

    // ddrescue reads the real file, which has no bad sectors: it finishes both copies.
    for (auto [image, retry] : std::vector<std::pair<std::string, bool>>{{"mid.img", false}, {"done.img", true}}) {
        std::vector<std::string> args = {"-q"};
        if (retry) args.push_back("-r1");
        for (auto& a : {folder.file("src"), folder.file(image), folder.file(image + ".map")}) args.push_back(a);
        auto result = Shell::run(tools.ddrescue, args);
        ASSERT_EQ(result.status, 0) << image << ": " << text(result.stderrBytes);
        EXPECT_EQ(Shell::run(tools.ddrescuelog, {"-D", folder.file(image + ".map")}).status, 0) << image;
        expectImage(folder.file(image), folder.file("src"));
    }
}

// GNU ddrescue copies its command line into the mapfile's comments byte for
// byte, so a file name that is not UTF-8 puts such bytes there.
TEST(DdrescueInterop, WeResumeWhateverBytesItsCommentsHold) {
    Ddrescue tools;
    if (!tools.available()) GTEST_SKIP() << "GNU ddrescue is not installed";
    TempDir folder;
    const uint64_t size = 8 * MiB;
    writeFile(folder.file("src"), randomBytes(size, 13));
    const std::string image = folder.file("r\xe6kke.img"), map = image + ".map";
    auto result = Shell::run(tools.ddrescue, {"-q", "-s", "4MiB", folder.file("src"), image, map});
    ASSERT_EQ(result.status, 0) << text(result.stderrBytes);
    ASSERT_NE(readText(map).find("r\xe6kke.img"), std::string::npos);

    auto source = SourceOpener::openImage(folder.file("src"));
    DiskImager imager(source, image);
    EXPECT_TRUE(imager.isResuming());
    ImagingRun run = runImager(imager);
    EXPECT_EQ(run.final.phase, "Færdig");
    EXPECT_EQ(run.final.message, std::nullopt);
    EXPECT_EQ(source->bytesRead(), size - 4 * MiB);
    EXPECT_NE(::access((map + ".bak").c_str(), F_OK), 0);
    expectImage(image, folder.file("src"));
    EXPECT_EQ(Shell::run(tools.ddrescuelog, {"-D", map}).status, 0);
}

TEST(DdrescueInterop, WeResumeFromDdrescueMaps) {
    Ddrescue tools;
    if (!tools.available()) GTEST_SKIP() << "GNU ddrescue is not installed";
    TempDir folder;
    const uint64_t size = 8 * MiB, badStart = 2 * MiB, badEnd = 2 * MiB + 4096;
    writeFile(folder.file("src"), randomBytes(size, 9));
    // ddrescue's own simulation of bad sectors: its test mode takes the good and bad blocks from a map.
    writeFile(folder.file("test.map"), "# bad sectors\n0x0 ? 1\n0x0 0x200000 +\n0x200000 0x1000 -\n0x201000 0x5FF000 +\n");

    struct Case {
        const char* name;
        std::vector<std::string> options;
        std::string expectStatus;  // a status character that ddrescue's map must hold
    };
    const std::vector<Case> cases = {
        {"stopped after 4 MiB", {"-s", "4MiB"}, "?"},
        {"not scraped", {"-n", "-H", folder.file("test.map")}, "/"},
        {"not trimmed", {"-N", "-n", "-H", folder.file("test.map")}, "*"},
        {"finished with bad sectors", {"-H", folder.file("test.map")}, "-"},
        {"finished", {}, "+"},
    };
    for (auto& c : cases) {
        const std::string image = folder.file("disk.img"), map = image + ".map";
        ::unlink(image.c_str());
        ::unlink(map.c_str());
        std::vector<std::string> args = {"-q"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        for (auto& a : {folder.file("src"), image, map}) args.push_back(a);
        auto result = Shell::run(tools.ddrescue, args);
        ASSERT_EQ(result.status, 0) << c.name << ": " << text(result.stderrBytes);
        std::string theirs = readText(map);
        auto before = RangeMap::read(map, size);
        ASSERT_NE(before, nullptr) << c.name << "\n" << theirs;
        EXPECT_NE(theirs.find("  " + c.expectStatus + "\n"), std::string::npos) << c.name << "\n" << theirs;

        // The same sectors are bad for us, and the first MiB, which ddrescue
        // finished, is a trap: reading it again would fail.
        auto source = SourceOpener::openImage(folder.file("src"), withBadRanges({{0, MiB}, {badStart, badEnd}}));
        DiskImager imager(source, image);
        EXPECT_TRUE(imager.isResuming()) << c.name;
        ImagingRun run = runImager(imager);
        EXPECT_EQ(run.final.phase, "Færdig") << c.name;
        // Where ddrescue copied the bad range already (it had no bad sectors
        // then), everything ends finished.
        auto copied = before->first(Status::finished, badStart);
        bool badRangeCopied = copied && copied->pos == badStart && copied->size >= badEnd - badStart;
        std::vector<Block> expected = {{0, badStart, Status::finished},
                                       {badStart, badEnd - badStart, Status::bad},
                                       {badEnd, size - badEnd, Status::finished}};
        std::vector<ByteRange> holes = {{badStart, badEnd}};
        if (badRangeCopied) expected = {{0, size, Status::finished}}, holes.clear();
        EXPECT_EQ(imager.map->snapshot(), expected) << c.name << "\n" << theirs;
        // Nothing ddrescue finished was read again.
        uint64_t open = size - before->total(Status::finished) - before->total(Status::bad);
        EXPECT_LE(source->bytesRead(), open) << c.name;
        expectImage(image, folder.file("src"), holes);
        // And ddrescue accepts what we left.
        EXPECT_EQ(Shell::run(tools.ddrescuelog, {"-t", map}).status, 0) << c.name;
    }
}
