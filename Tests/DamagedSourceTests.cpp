// Damaged sources under every reader, the recovery and (where present) the
// deep scan and the imager: ranges that give I/O errors, a source cut in the
// middle of a volume, and a source whose reads stop working mid-run.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "ScanTestSupport.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

// One volume fixture per reader.
const char* const volumeFixtures[] = {"fat12", "fat16", "fat32", "exfat", "ntfs", "apfs_single",
                                      "gpt_fat32_ntfs_exfat"};

// Runs the quick scan and reads a little of every file it lists.
QuickScanResult scanAndRead(DiskSource& source, WorkProgress& progress, size_t* filesSeen = nullptr) {
    auto result = QuickScanner::run(source, progress);
    size_t files = 0;
    for (auto& volume : result.volumes) {
        volume->root->totals();
        for (auto& file : volume->root->allFiles()) {
            FileReader::readPrefix(*file, source, 8192);
            ++files;
        }
    }
    if (filesSeen) *filesSeen = files;
    return result;
}

// A copy of a fixture cut to the given fraction of its size, in dir.
std::string truncatedCopy(const std::string& name, double fraction, const std::string& dir) {
    std::string path = dir + "/" + name + ".cut.img";
    fs::copy_file(fixtureImage(name), path, fs::copy_options::overwrite_existing);
    auto size = fs::file_size(path);
    fs::resize_file(path, static_cast<uintmax_t>(static_cast<double>(size) * fraction) / 512 * 512);
    return path;
}

}  // namespace

// I/O errors over a range: at the start (boot sectors, tables), a stretch early
// in the volume (allocation tables, MFT, catalog), and the middle. Every reader
// must come through, the source counts what it could not read, and a volume
// that cannot be read any more is named in the notes.
TEST(DamagedSource, BadRangesUnderEveryReader) {
    for (const char* name : volumeFixtures) {
        auto clean = openFixture(name);
        const uint64_t size = clean->size;
        const std::vector<ByteRange> cases = {
            {0, 64 * 1024}, {size / 64, size / 8}, {size / 2 - 1024 * 1024, size / 2 + 1024 * 1024}, {0, size}};
        for (auto range : cases) {
            SCOPED_TRACE(std::string(name) + " bad " + std::to_string(range.lower) + "-" + std::to_string(range.upper));
            auto source = openFixture(name, withBadRanges({range}));
            WorkProgress progress;
            auto result = scanAndRead(*source, progress);
            // The start is always read; other ranges only when something lies there.
            if (range.lower == 0) {
                EXPECT_GT(source->badSectorCount() + source->readErrorCount(), 0);
            }
            if (range.lower == 0 && range.upper == size) {
                EXPECT_TRUE(result.volumes.empty());
            }
        }
    }
}

// A volume whose second part is missing: the readers keep what they can and
// name what they could not read; nothing past the end is trusted.
TEST(DamagedSource, SourceCutInTheMiddleOfAVolume) {
    TempDir dir;
    for (const char* name : volumeFixtures) {
        for (double fraction : {0.5, 0.1}) {
            SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(fraction));
            auto source = SourceOpener::openImage(truncatedCopy(name, fraction, dir.path()));
            WorkProgress progress;
            auto result = scanAndRead(*source, progress);
            EXPECT_TRUE(!result.volumes.empty() || !result.notes.empty());
        }
    }
}

// The source stops answering in the middle of a scan: the scan ends, without
// crash or hang, and the source reports itself closed.
TEST(DamagedSource, SourceClosedDuringTheQuickScan) {
    for (const char* name : volumeFixtures) {
        SCOPED_TRACE(name);
        auto source = openFixture(name);
        int reports = 0;
        WorkProgress progress([&](double, const std::string&) {
            if (++reports == 2) source->close();
        });
        scanAndRead(*source, progress);
        source->close();
        EXPECT_TRUE(source->isClosed());
        // A scan of the closed source finds nothing and still returns.
        WorkProgress again;
        auto after = scanAndRead(*source, again);
        EXPECT_TRUE(after.volumes.empty());
    }
}

// The source closes while files are being copied: the run stops there, as for
// a source that has gone, instead of writing the rest as zeros; the files
// done stay in the report, and the result says why the others are missing.
TEST(DamagedSource, SourceClosedDuringARecovery) {
    auto source = openFixture("fat32");
    WorkProgress scan;
    auto result = QuickScanner::run(*source, scan);
    ASSERT_FALSE(result.volumes.empty());
    auto& volume = result.volumes.front();
    const auto plan = RecoveryEngine::plan(volume->root->children(), {});
    TempDir out;
    WorkProgress reporter;
    // Closed right after the second file is written.
    const int64_t doneWhenClosed = 2;
    auto run = RecoveryEngine::recover(volume->root->children(), "V", *source, out.path(), {}, reporter,
                                       [&](const RecoveryProgress& p) {
                                           if (p.filesDone == doneWhenClosed) source->close();
                                       });
    ASSERT_TRUE(run.folder);
    ASSERT_GT(plan.files.size(), 3u);
    EXPECT_EQ(run.recovered + run.withErrors, doneWhenClosed);
    ASSERT_FALSE(run.failures.empty());
    EXPECT_EQ(run.failures.back(), "Kilden svarer ikke længere – gendannelsen blev stoppet.");
    std::ifstream report(*run.folder / RecoveryEngine::reportName);
    std::string text((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
    EXPECT_EQ(static_cast<int64_t>(std::count(text.begin(), text.end(), '\n')), doneWhenClosed + 1);
}

// MARK: The deep scan

namespace {

constexpr uint64_t MiB = 1048576;

// A deep scan as the front ends run it: the sweep, the volumes built from its
// finds, and the extra folders for them.
struct DeepRun {
    DeepScanResult result;
    std::vector<DeepScanStats> updates;
    std::vector<VolumePtr> volumes;
    std::vector<std::pair<VolumePtr, FileNodePtr>> folders;
};

DeepRun deepScan(const DiskSourcePtr& source, const std::function<void(const DeepScanStats&)>& onUpdate = {}) {
    DeepRun run;
    WorkProgress progress;
    DeepScanner scanner(source);
    auto outcome = scanner.scan({}, progress, [&](const DeepScanStats& stats) {
        run.updates.push_back(stats);
        if (onUpdate) onUpdate(stats);
    });
    run.result = std::move(outcome.result);
    run.volumes = std::move(outcome.volumes);
    run.folders = std::move(outcome.folders);
    return run;
}

bool overlaps(uint64_t offset, uint64_t size, ByteRange range) {
    return offset < range.upper && range.lower - std::min(range.lower, offset) < size;
}

// Every file of a volume by path, with its size.
std::multimap<std::string, uint64_t> filesOf(const Volume& volume) {
    std::multimap<std::string, uint64_t> files;
    for (auto& node : volume.root->allFiles()) files.emplace(node->path(), node->size);
    return files;
}

std::string key(const Volume& volume) { return rawValue(volume.type) + "@" + std::to_string(volume.offset); }

const Volume* findVolume(const std::vector<VolumePtr>& volumes, const Volume& like) {
    for (auto& v : volumes)
        if (key(*v) == key(like)) return v.get();
    return nullptr;
}

const CarvedFile* findCarved(const std::vector<CarvedFile>& files, uint64_t offset) {
    auto it = std::lower_bound(files.begin(), files.end(), offset,
                               [](const CarvedFile& f, uint64_t o) { return f.offset < o; });
    return it != files.end() && it->offset == offset ? &*it : nullptr;
}

// What lies wholly below `limit` and outside `bad` in the undamaged run is
// found the same in the damaged one: the volumes with the same files, the
// carved files with the same size and the same claim of exactness.
void expectSameOutside(const DeepRun& clean, const DeepRun& damaged, ByteRange bad, uint64_t limit) {
    for (auto& v : clean.volumes) {
        if (overlaps(v->offset, v->size, bad) || v->size > limit || v->offset > limit - v->size) continue;
        const Volume* found = findVolume(damaged.volumes, *v);
        ASSERT_NE(found, nullptr) << key(*v);
        EXPECT_EQ(filesOf(*found), filesOf(*v)) << key(*v);
    }
    for (auto& f : clean.result.carved) {
        if (overlaps(f.offset, f.size, bad) || f.size > limit || f.offset > limit - f.size) continue;
        const CarvedFile* found = findCarved(damaged.result.carved, f.offset);
        ASSERT_NE(found, nullptr) << f.ext << " at " << f.offset;
        EXPECT_EQ(*found, f) << f.ext << " at " << f.offset;
    }
}

}  // namespace

// I/O errors over a range at the start, a stretch early on, and the middle of
// a partitioned disk and of the carving corpus. The sweep reads on past the
// damage to the end and counts it, everything outside the damaged range comes
// back as from the undamaged disk, and no carved file claims an exact size
// across the damage that its format did not give it on the undamaged disk.
TEST(DamagedSource, DeepScanUnderBadRanges) {
    for (const char* name : {"gpt_fat32_ntfs_exfat", "carve"}) {
        auto cleanSource = openFixture(name);
        const DeepRun clean = deepScan(cleanSource);
        ASSERT_TRUE(clean.result.completed) << name;
        const uint64_t size = cleanSource->size;
        for (ByteRange bad : {ByteRange{0, 65536}, ByteRange{size / 64, size / 8},
                              ByteRange{size / 2 - MiB, size / 2 + MiB}}) {
            SCOPED_TRACE(std::string(name) + " bad " + std::to_string(bad.lower) + "-" + std::to_string(bad.upper));
            auto source = openFixture(name, withBadRanges({bad}));
            // Statistics come at most every 0.3 s; pausing at each one until
            // the damage is passed makes the next chunk report its counts.
            const DeepRun damaged = deepScan(source, [&](const DeepScanStats& stats) {
                if (stats.position < bad.upper) std::this_thread::sleep_for(std::chrono::milliseconds(310));
            });
            EXPECT_TRUE(damaged.result.completed);
            EXPECT_EQ(damaged.result.scannedUpTo, size);
            EXPECT_GT(damaged.updates.back().badSectors, 0);
            EXPECT_LE(damaged.updates.back().badSectors, source->badSectorCount() + source->readErrorCount());
            expectSameOutside(clean, damaged, bad, size);
            for (auto& f : damaged.result.carved) {
                EXPECT_FALSE(f.offset >= bad.lower && f.offset < bad.upper) << f.ext << " at " << f.offset;
                if (!f.exact || !overlaps(f.offset, f.size, bad)) continue;
                const CarvedFile* before = findCarved(clean.result.carved, f.offset);
                EXPECT_TRUE(before && *before == f) << f.ext << " at " << f.offset << " claims " << f.size;
            }
        }
    }
}

// A disk image that ends early: the sweep ends at the new end, the volumes and
// lost folders that lie wholly before it are found as on the whole disk, and
// the volume cut in two neither crashes the readers nor hides the others.
TEST(DamagedSource, DeepScanOfASourceCutInTheMiddleOfAVolume) {
    TempDir dir;
    struct Case {
        const char* name;
        double fraction;
    };
    for (Case c : {Case{"gpt_fat32_ntfs_exfat", 0.5}, Case{"gpt_fat32_ntfs_exfat", 0.6}, Case{"carve", 0.5},
                   Case{"damage_fat32_root_destroyed", 0.5}}) {
        SCOPED_TRACE(std::string(c.name) + " cut at " + std::to_string(c.fraction));
        auto cleanSource = openFixture(c.name);
        const DeepRun clean = deepScan(cleanSource);
        auto source = SourceOpener::openImage(truncatedCopy(c.name, c.fraction, dir.path()));
        const DeepRun cut = deepScan(source);
        EXPECT_TRUE(cut.result.completed);
        EXPECT_EQ(cut.result.scannedUpTo, source->size);
        expectSameOutside(clean, cut, {}, source->size);
        // A volume cut in two is still found from its start.
        for (auto& v : clean.volumes) {
            if (v->offset < source->size) {
                EXPECT_NE(findVolume(cut.volumes, *v), nullptr) << key(*v);
            }
        }
        for (auto& v : cut.volumes) {
            v->root->totals();
            EXPECT_LT(v->offset, source->size) << key(*v);
        }
        // The quick scan's volumes with the lost folders the sweep gives them.
        WorkProgress progress;
        auto quick = QuickScanner::run(*source, progress);
        auto folders = DeepScanner::extraFolders(*source, quick.volumes, cut.result, progress);
        if (std::string(c.name) == "damage_fat32_root_destroyed") {
            ASSERT_FALSE(folders.empty());
            for (auto& [volume, folder] : folders)
                for (auto& node : folder->allFiles()) FileReader::readPrefix(*node, *source, 8192);
        }
    }
}

// The source goes away during the sweep, closed from the sweep's own
// statistics callback or from another thread: the sweep ends at the next
// chunk, unfinished, with what it found so far, and those finds still build
// volumes, on the closed source (nothing) and on the disk opened again.
TEST(DamagedSource, SourceClosedDuringTheDeepSweep) {
    TempDir dir;
    // The partitioned disk followed by 64 GiB of nothing (sparse), so that a
    // sweep that missed the close would run on for long.
    std::string path = dir.file("long.img");
    fs::copy_file(fixtureImage("gpt_fat32_ntfs_exfat"), path);
    fs::resize_file(path, 65536 * MiB);
    for (bool fromAnotherThread : {false, true}) {
        SCOPED_TRACE(fromAnotherThread ? "closed from another thread" : "closed from the callback");
        auto source = SourceOpener::openImage(path);
        std::mutex mutex;
        std::condition_variable signal;
        bool firstUpdate = false, closed = false;
        uint64_t closedAt = 0;  // the position of the update that closed it
        int updatesAfterClose = 0;
        std::thread closer;
        if (fromAnotherThread)
            closer = std::thread([&] {
                std::unique_lock lock(mutex);
                signal.wait(lock, [&] { return firstUpdate; });
                lock.unlock();
                source->close();
                lock.lock();
                closed = true;
                signal.notify_all();
            });
        WorkProgress progress;
        DeepScanner scanner(source);
        DeepScanResult result = scanner.run(progress, [&](const DeepScanStats& stats) {
            std::unique_lock lock(mutex);
            if (closed) ++updatesAfterClose;
            if (stats.position < 8 * MiB || closed) return;  // past the FAT32 volume's boot sector
            if (!fromAnotherThread) {
                closedAt = stats.position;
                source->close();
                closed = true;
            } else if (!firstUpdate) {
                // The sweep reads on while the other thread closes the source.
                firstUpdate = true;
                signal.notify_all();
            } else {
                // However long the other thread takes to get there, the
                // sweep does not run to its end first.
                signal.wait(lock, [&] { return closed; });
            }
        });
        if (closer.joinable()) closer.join();
        ASSERT_TRUE(source->isClosed());
        EXPECT_FALSE(result.completed);
        EXPECT_LT(result.scannedUpTo, source->size);
        EXPECT_GE(result.scannedUpTo, 8 * MiB);
        // It ends with the chunks already read when the source went (at most
        // two of 4 MiB ahead of the one being swept): a timed update for each
        // and the final one at most follow the close.
        EXPECT_LE(updatesAfterClose, 3);
        if (!fromAnotherThread) {
            EXPECT_LE(result.scannedUpTo, closedAt + 8 * MiB);
        }
        for (auto& boot : result.boots) EXPECT_LT(boot.offset, result.scannedUpTo);
        for (auto& f : result.carved) EXPECT_LT(f.offset, result.scannedUpTo);

        WorkProgress again;
        EXPECT_TRUE(DeepScanner::buildVolumes(*source, result, {}, again).empty());
        DeepScanner::extraFolders(*source, {}, result, again);
        DeepScanner::carvedVolume(result.carved);
        auto reopened = SourceOpener::openImage(path);
        auto volumes = DeepScanner::buildVolumes(*reopened, result, {}, again);
        bool fat32 = false;
        for (auto& v : volumes) fat32 |= v->type == FileSystemType::fat32 && v->offset == MiB;
        EXPECT_TRUE(fat32);
    }
}

// A disk unplugged in the middle of a sweep (or a FUSE file system whose
// server died) fails its reads with an error that says the source is gone,
// not with a bad sector: the sweep ends there,
// unfinished, instead of sweeping failed reads to the end and calling itself
// complete. Bad sectors (EIO) over the same stretch keep it going.
TEST(DamagedSource, DeviceGoneDuringTheDeepSweep) {
    const uint64_t gone = 12 * MiB;
    struct Case {
        int error;
        bool completes;
    };
    for (Case c : {Case{ENODEV, false}, Case{ENXIO, false}, Case{ENOTCONN, false}, Case{ESHUTDOWN, false},
                   Case{EBADF, false}, Case{EIO, true}}) {
        SCOPED_TRACE(c.error);
        auto source = openFixture("gpt_fat32_ntfs_exfat", withBadRanges({{gone, UINT64_MAX}}, c.error));
        ASSERT_GT(source->size, gone + 8 * MiB);
        WorkProgress progress;
        DeepScanner scanner(source);
        DeepScanResult result = scanner.run(progress, [](const DeepScanStats&) {});
        EXPECT_EQ(result.completed, c.completes);
        EXPECT_EQ(source->hasVanished(), !c.completes);
        if (c.completes) continue;
        EXPECT_LE(result.scannedUpTo, gone);
        EXPECT_GE(result.scannedUpTo, gone - 4 * MiB);
        for (auto& boot : result.boots) EXPECT_LT(boot.offset, result.scannedUpTo);
    }
}
