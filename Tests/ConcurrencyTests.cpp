// Work on more than one thread at once, as the application runs it: a source
// shared by readers and an imager, and scans, copies and imaging paused,
// cancelled or cut off from another thread. The ThreadSanitizer build runs
// these (label "threads").
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include "ScanTestSupport.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Imager.h"
#include "SovantaCore/RangeMap.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

constexpr uint64_t KiB = 1024, MiB = 1048576;
using Status = RangeMap::Status;

// A second thread that runs what it is handed while the handing thread waits,
// so that work is paused, cancelled or cut off from another thread at a known
// point of it.
class SecondThread {
public:
    SecondThread() : thread_([this] { loop(); }) {}
    ~SecondThread() {
        {
            std::lock_guard lock(mutex_);
            done_ = true;
        }
        signal_.notify_all();
        thread_.join();
    }
    SecondThread(const SecondThread&) = delete;
    SecondThread& operator=(const SecondThread&) = delete;

    void run(std::function<void()> action) {
        std::unique_lock lock(mutex_);
        action_ = std::move(action);
        signal_.notify_all();
        signal_.wait(lock, [&] { return !action_; });
    }

private:
    void loop() {
        std::unique_lock lock(mutex_);
        for (;;) {
            signal_.wait(lock, [&] { return action_ || done_; });
            if (!action_) return;
            auto action = action_;
            lock.unlock();
            action();
            lock.lock();
            action_ = nullptr;
            signal_.notify_all();
        }
    }

    std::mutex mutex_;
    std::condition_variable signal_;
    std::function<void()> action_;
    bool done_ = false;
    std::thread thread_;  // last: it starts once the members it uses exist
};

// What a quick scan lists and a read of every file gives: each node's place,
// size, content digest and unreadable bytes, and the node ids.
struct Listing {
    std::multiset<std::tuple<std::string, uint64_t, std::string, int64_t>> files;
    std::vector<int64_t> ids;
};

Listing scanAndReadEverything(DiskSource& source) {
    WorkProgress progress;
    Listing out;
    for (auto& volume : QuickScanner::run(source, progress).volumes) {
        out.ids.push_back(volume->root->id);
        for (auto& [path, node] : allNodesByPath(volume->root)) {
            out.ids.push_back(node->id);
            Bytes bytes;
            int64_t unreadable = 0;
            if (!node->isDirectory)
                unreadable = FileReader::stream(*node, source, FileReader::defaultChunkSize, std::nullopt,
                                                [&](const Bytes& piece) {
                                                    bytes.insert(bytes.end(), piece.begin(), piece.end());
                                                    return true;
                                                });
            out.files.emplace(volume->title() + "@" + std::to_string(volume->offset) + "/" + path, node->size,
                              sha256Hex(bytes), unreadable);
        }
    }
    return out;
}

// A source file whose every byte depends on its offset.
DiskSourcePtr patternSource(const std::string& path, uint64_t size) {
    Bytes bytes(size);
    for (uint64_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 131) ^ (i >> 9));
    writeFile(path, bytes);
    return SourceOpener::openImage(path);
}

}  // namespace

// One source serves a session's readers and an imager at once, while a third
// thread watches the imager and pauses it once; a second session scans its own
// copy of the disk meanwhile. The readers see what they see alone, the image
// is the disk, and the sectors that do not read (in the gap before the first
// partition, which no reader needs) end up bad in the map and in the source.
TEST(Concurrency, ReadersAndAnImagerShareOneSource) {
    TempDir folder;
    const std::string path = fixtureImage("gpt_fat32_ntfs_exfat");
    const ByteRange bad{512 * KiB, 768 * KiB};
    auto shared = SourceOpener::openImage(path, withBadRanges({bad}));
    auto alone = SourceOpener::openImage(path, withBadRanges({bad}));

    DiskImager imager(shared, folder.file("disk.img"), ImagingOptions{1, 256 * KiB, 268435456});
    std::atomic<bool> imaged{false};
    std::thread imaging([&] {
        imager.run([](const ImagingStats&) {});
        imaged = true;
    });
    std::thread watcher([&] {
        bool pausedOnce = false;
        while (!imaged) {
            ImagingStats stats = imager.currentStats();
            EXPECT_EQ(imager.map->cells(1200).size(), 1200u);
            uint64_t covered = 0;
            for (auto& block : imager.map->snapshot()) covered += block.size;
            EXPECT_EQ(covered, shared->size);
            static_cast<void>(shared->badSectorCount() + shared->readErrorCount());
            if (!pausedOnce && stats.rescued > 0) {
                imager.setPaused(true);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                imager.setPaused(false);
                pausedOnce = true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    Listing other;
    std::thread otherSession([&] { other = scanAndReadEverything(*alone); });
    Listing mine = scanAndReadEverything(*shared);
    otherSession.join();
    imaging.join();
    watcher.join();

    EXPECT_GT(mine.files.size(), 10u);
    EXPECT_EQ(mine.files, other.files);
    std::set<int64_t> ids(mine.ids.begin(), mine.ids.end());
    ids.insert(other.ids.begin(), other.ids.end());
    EXPECT_EQ(ids.size(), mine.ids.size() + other.ids.size());

    EXPECT_EQ(imager.currentStats().phase, "Færdig");
    EXPECT_EQ(imager.map->total(Status::bad), bad.upper - bad.lower);
    EXPECT_EQ(imager.map->total(Status::finished), shared->size - (bad.upper - bad.lower));
    EXPECT_EQ(static_cast<uint64_t>(shared->badSectorCount()), (bad.upper - bad.lower) / 512);
    Bytes expected = readBytes(path);
    std::fill(expected.begin() + static_cast<std::ptrdiff_t>(bad.lower),
              expected.begin() + static_cast<std::ptrdiff_t>(bad.upper), 0);
    EXPECT_TRUE(readBytes(folder.file("disk.img")) == expected);
}

// A running imager is let out of its pause, then cancelled or has its source
// closed, from another thread: it stops at the next piece with what it copied
// finished and the rest untried, and a later run completes the image.
TEST(Concurrency, ImagerResumedAndStoppedFromAnotherThread) {
    struct Case {
        const char* name;
        bool closeSource;
        const char* message;
    };
    const Case cases[] = {
        {"cancelled", false, "Stoppet. Du kan fortsætte senere – fremskridtet er gemt i disk.img.map."},
        {"source closed", true,
         "Kilden svarer ikke længere. Du kan fortsætte senere – fremskridtet er gemt i disk.img.map."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir folder;
        auto source = patternSource(folder.file("src"), 8 * MiB);
        DiskImager imager(source, folder.file("disk.img"));
        imager.setPaused(true);
        SecondThread other;
        int finals = 0;
        imager.run([&](const ImagingStats& s) {
            if (s.finished) {
                ++finals;
                return;
            }
            // Updates come at most every 0.25 s: waiting that long makes every
            // piece read report before the next one.
            std::this_thread::sleep_for(std::chrono::milliseconds(260));
            other.run([&] {
                if (imager.paused())
                    imager.setPaused(false);
                else if (s.rescued >= 2 * MiB)
                    c.closeSource ? source->close() : imager.cancel();
            });
        });
        ImagingStats stats = imager.currentStats();
        EXPECT_EQ(finals, 1);
        EXPECT_EQ(stats.phase, "Stoppet");
        EXPECT_EQ(stats.message, c.message);
        const std::vector<RangeMap::Block> expected = {{0, 2 * MiB, Status::finished},
                                                       {2 * MiB, 6 * MiB, Status::nonTried}};
        EXPECT_EQ(imager.map->snapshot(), expected);
        auto saved = RangeMap::read(folder.file("disk.img.map"), 8 * MiB);
        ASSERT_NE(saved, nullptr);
        EXPECT_EQ(saved->snapshot(), expected);

        DiskImager resumed(SourceOpener::openImage(folder.file("src")), folder.file("disk.img"));
        resumed.run([](const ImagingStats&) {});
        EXPECT_EQ(resumed.currentStats().phase, "Færdig");
        EXPECT_TRUE(readBytes(folder.file("disk.img")) == readBytes(folder.file("src")));
    }
}

// The quick scan is cancelled from another thread while the first entry's
// reader runs: that volume is read to its end, no later entry is started.
TEST(Concurrency, QuickScanCancelledFromAnotherThread) {
    auto source = openFixture("gpt_fat32_ntfs_exfat");
    SecondThread other;
    WorkProgress progress([&](double, const std::string& message) {
        if (message == "Læser FAT32 på FAT32 data …") other.run([&] { progress.cancel(); });
    });
    auto result = QuickScanner::run(*source, progress);
    ASSERT_EQ(result.volumes.size(), 1u);
    EXPECT_EQ(result.volumes[0]->type, FileSystemType::fat32);
    EXPECT_EQ(result.layout.entries.size(), 3u);
    EXPECT_GT(result.volumes[0]->root->totals().files, 0);
}

// A recovery copying on a worker, as the application runs it, has its source
// closed or is cancelled from another thread after its third progress report:
// it ends there, leaving the later files out, and a closed source says so.
TEST(Concurrency, RecoveryStoppedFromAnotherThread) {
    auto opened = openFixture("fat32");
    WorkProgress scan;
    auto volumes = QuickScanner::run(*opened, scan).volumes;
    ASSERT_FALSE(volumes.empty());
    const RecoveryPlan plan = RecoveryEngine::plan(volumes.front()->root->children(), {});
    const int64_t planned = static_cast<int64_t>(plan.files.size());
    ASSERT_GT(planned, 3);
    for (bool closeSource : {true, false}) {
        SCOPED_TRACE(closeSource ? "source closed" : "cancelled");
        auto source = openFixture("fat32");
        TempDir out;
        WorkProgress reporter;
        SecondThread other;
        int updates = 0;
        RecoveryResult result;
        std::thread worker([&] {
            result = RecoveryEngine::copy(plan, "V", *source, out.path(), {}, reporter, [&](const RecoveryProgress&) {
                if (++updates == 3) other.run([&] { closeSource ? source->close() : reporter.cancel(); });
            });
        });
        worker.join();
        ASSERT_TRUE(result.folder);
        EXPECT_EQ(result.cancelled, !closeSource);
        EXPECT_LT(result.recovered + result.withErrors, planned);
        if (closeSource) {
            // A closed source gives only zeros: the run stops as for one that has gone.
            ASSERT_FALSE(result.failures.empty());
            EXPECT_EQ(result.failures.back(), "Kilden svarer ikke længere – gendannelsen blev stoppet.");
        }
    }
}

// The block map changes on one thread while others take its pictures: every
// picture is whole (sorted, gap-free, neighbours of different status).
TEST(Concurrency, RangeMapReadWhileItChanges) {
    const uint64_t size = 64 * MiB;
    RangeMap map(size);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        uint64_t state = 12345;
        for (int i = 0; i < 20000; ++i) {
            state = state * 6364136223846793005u + 1442695040888963407u;
            uint64_t pos = (state >> 20) % size, length = ((state >> 8) & 0xFFF) * 512 + 1;
            map.set(pos, length, RangeMap::allCases()[(state >> 40) % 5]);
        }
        done = true;
    });
    auto reader = [&] {
        bool whole = true;
        while (!done) {
            auto blocks = map.snapshot();
            uint64_t at = 0;
            for (size_t i = 0; i < blocks.size(); ++i) {
                whole &= blocks[i].pos == at && blocks[i].size > 0;
                whole &= i == 0 || blocks[i].status != blocks[i - 1].status;
                at = blocks[i].end();
            }
            whole &= at == size && map.cells(1200).size() == 1200;
            static_cast<void>(map.first({Status::nonTrimmed, Status::bad}, size / 2));
        }
        return whole;
    };
    bool otherWhole = true;
    std::thread second([&] { otherWhole = reader(); });
    EXPECT_TRUE(reader());
    writer.join();
    second.join();
    EXPECT_TRUE(otherWhole);
    uint64_t sum = 0;
    for (Status status : RangeMap::allCases()) sum += map.total(status);
    EXPECT_EQ(sum, size);
}
