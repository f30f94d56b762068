// Damaged sources under every reader, the recovery and (where present) the
// deep scan and the imager: ranges that give I/O errors, a source cut in the
// middle of a volume, and a source whose reads stop working mid-run.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "ScanTestSupport.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::testing;
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
            auto source = openFixture(name);
            source->simulatedBadRanges = {range};
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

// The source closes while files are being copied: every file is still written
// or failed, the unread bytes are counted as unreadable and the report says so.
TEST(DamagedSource, SourceClosedDuringARecovery) {
    auto source = openFixture("fat32");
    WorkProgress scan;
    auto result = QuickScanner::run(*source, scan);
    ASSERT_FALSE(result.volumes.empty());
    auto& volume = result.volumes.front();
    TempDir out;
    WorkProgress reporter;
    int updates = 0;
    auto run = RecoveryEngine::recover(volume->root->children(), "V", *source, out.path(), {}, reporter,
                                       [&](const RecoveryProgress&) {
                                           if (++updates == 3) source->close();
                                       });
    ASSERT_TRUE(run.folder);
    EXPECT_GT(run.withErrors, 0);
    std::ifstream report(*run.folder / RecoveryEngine::reportName);
    std::string text((std::istreambuf_iterator<char>(report)), std::istreambuf_iterator<char>());
    EXPECT_NE(text.find("Ulæselige sektorer"), std::string::npos);
}
