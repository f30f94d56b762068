// Recovery of crafted images whose names and folders are hostile to a copy
// and to its report.
#include <gtest/gtest.h>

#include "FileTestSupport.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

struct HostileRun {
    VolumePtr volume;
    RecoveryResult result;
    std::vector<std::vector<std::string>> report;  // header left out
};

// The quick scan's one volume of a hostile image, recovered whole into out.
HostileRun recoverImage(const std::string& image, const fs::path& out) {
    HostileRun run;
    auto source = SourceOpener::openImage(fixture("hostile/" + image));
    WorkProgress progress;
    auto scan = QuickScanner::run(*source, progress);
    EXPECT_EQ(scan.volumes.size(), 1u);
    if (scan.volumes.empty()) return run;
    run.volume = scan.volumes[0];
    WorkProgress reporter;
    run.result = RecoveryEngine::recover(run.volume->root->children(), "V", *source, out, {}, reporter, nullptr);
    if (run.result.folder) {
        run.report = reportTable(readText(*run.result.folder / RecoveryEngine::reportName));
        EXPECT_FALSE(run.report.empty());
        if (!run.report.empty()) run.report.erase(run.report.begin());
    }
    return run;
}

}  // namespace

// Folder P holds a deleted file X and a live folder X with two files: the
// folder gets a name of its own instead of failing its files.
TEST(HostileRecovery, FileAndFolderOfOneName) {
    TempDir out;
    auto run = recoverImage("collide_fat16.img", out.path());
    ASSERT_TRUE(run.result.folder);
    EXPECT_EQ(run.result.recovered, 3);
    EXPECT_EQ(run.result.failed, 0);
    EXPECT_TRUE(run.result.failures.empty());
    const fs::path f = *run.result.folder;
    EXPECT_EQ(fs::file_size(f / "P/X"), 15u);
    EXPECT_EQ(fs::file_size(f / "P/X (2)/inner.txt"), 25u);
    EXPECT_EQ(fs::file_size(f / "P/X (2)/inner2.txt"), 28u);
    ASSERT_EQ(run.report.size(), 3u);
    EXPECT_EQ(run.report[1][0], "P/X (2)/inner.txt");
}

// Names with line feeds, a bare carriage return, control characters, ";",
// quotes, path separators and dot names: every file is written inside the
// new folder, and every report row names one written file.
TEST(HostileRecovery, HostileNamesStayInsideAndKeepTheReportWhole) {
    TempDir out;
    auto run = recoverImage("names_fat16.img", out.path());
    ASSERT_TRUE(run.result.folder);
    const auto files = run.volume->root->allFiles();
    EXPECT_EQ(run.result.recovered, static_cast<int64_t>(files.size()));
    EXPECT_EQ(run.result.failed, 0);
    EXPECT_EQ(std::distance(fs::directory_iterator(out.path()), fs::directory_iterator()), 1);
    ASSERT_EQ(run.report.size(), files.size());
    bool sawCarriageReturn = false, sawFormula = false;
    for (auto& row : run.report) {
        ASSERT_EQ(row.size(), 6u) << row[0];
        // A name that a spreadsheet would run as a formula is marked as text.
        std::string path = row[0];
        if (path.size() > 1 && path[0] == '\'' && std::string("=+-@").find(path[1]) != std::string::npos) {
            path.erase(0, 1);
            sawFormula |= path == "=cmd|calc.csv";
        }
        EXPECT_TRUE(fs::is_regular_file(*run.result.folder / path)) << row[0];
        EXPECT_EQ(row[2], "OK");
        sawCarriageReturn |= path == "carriage\rreturn.txt";
    }
    EXPECT_TRUE(sawCarriageReturn);
    EXPECT_TRUE(sawFormula);
}

// Size fields that claim far more than the volume holds: 0xFFFFFFFF on a
// 16 MiB FAT16 volume, an HFS+ fork of 2^50 bytes, an NTFS file whose $DATA is
// gone, an NTFS orphan of 18 EB. The file is cut to its volume's size, the
// bytes nothing places are counted unreadable (never "OK"), every other file
// is still tried, and the volume's totals stay near its size.
TEST(HostileRecovery, SizeBombsAreBoundedAndCountedUnreadable) {
    struct Case {
        std::string image;
        std::string path;       // the file with the forged size, in the report
        uint64_t placedBytes;   // what its clusters, extents or runs place on the volume
    };
    for (const auto& c : std::vector<Case>{
             {"fat16_size_4g.img", "small-then-huge.bin", 3 * 2048},
             {"hfsplus_fork_1pib.img", "Musik/koncertoptagelse.wav", 3596 * 4096},
             {"ntfs_nodata_256k.img", "Sikkerhedskopi/backup_2.bin", 0},
             {"fuzz_ntfs_attrlist_16eib.img", "$Forældreløse filer/g_058.bi\xef\xbd\xae", 0},
         }) {
        SCOPED_TRACE(c.image);
        TempDir out;
        auto run = recoverImage(c.image, out.path());
        ASSERT_TRUE(run.result.folder);
        const uint64_t volumeSize = run.volume->size;
        EXPECT_LE(run.volume->root->totals().bytes, 2 * volumeSize);

        const auto files = run.volume->root->allFiles();
        EXPECT_EQ(run.result.failed, 0);
        EXPECT_TRUE(run.result.failures.empty());
        EXPECT_EQ(run.result.recovered + run.result.withErrors, static_cast<int64_t>(files.size()));
        EXPECT_EQ(run.result.withErrors, 1);
        ASSERT_EQ(run.report.size(), files.size());

        uint64_t written = 0;
        for (auto& entry : fs::recursive_directory_iterator(*run.result.folder))
            if (entry.is_regular_file()) written += entry.file_size();
        EXPECT_LE(written, 2 * volumeSize);

        bool found = false;
        for (auto& row : run.report) {
            ASSERT_EQ(row.size(), 6u);
            if (row[0] != c.path) {
                EXPECT_EQ(row[2], "OK") << row[0];
                continue;
            }
            found = true;
            const uint64_t size = std::stoull(row[1]);
            EXPECT_LE(size, volumeSize);
            EXPECT_EQ(fs::file_size(*run.result.folder / row[0]), size);
            EXPECT_EQ(row[2], "Ulæselige sektorer");
            EXPECT_NE(row[3], "God");
            EXPECT_EQ(std::stoull(row[4]), size - c.placedBytes);
        }
        EXPECT_TRUE(found) << c.path;
    }
}
