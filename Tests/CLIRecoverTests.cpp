#include <gtest/gtest.h>

#include <map>
#include <set>

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "FileTestSupport.h"
#include "ScanTestSupport.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/Recovery.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

struct CLIRun {
    int status = -1;
    std::vector<std::string> lines;
};

// Runs the built tool inside folder, in UTC (FAT keeps local times, and the
// manifests were written in UTC), with an optional simulated bad range.
CLIRun runIn(const fs::path& folder, const std::vector<std::string>& args, const std::string& simulateBad = "") {
    std::vector<std::string> environment = {"TZ=UTC"};
    if (!simulateBad.empty()) environment.push_back("SOVANTA_SIMULATE_BAD=" + simulateBad);
    auto result = runCLI(args, environment, folder);
    return {result.status, linesOf(result.out)};
}

struct ReportRow {
    std::string size, status, chance, unreadable, note;
};

// The rows of a report by path.
std::map<std::string, ReportRow> readReport(const fs::path& file) {
    std::map<std::string, ReportRow> rows;
    const std::string text = readText(file);
    EXPECT_EQ(text.substr(0, text.find('\n')), RecoveryEngine::reportHeader);
    auto table = reportTable(text);
    for (size_t i = 1; i < table.size(); ++i) {
        auto f = table[i];
        f.resize(6);
        rows[f[0]] = {f[1], f[2], f[3], f[4], f[5]};
    }
    return rows;
}

// Every file below folder by its relative path, the report left out.
std::set<std::string> filesBelow(const fs::path& folder) {
    std::set<std::string> out;
    for (auto& e : fs::recursive_directory_iterator(folder))
        if (e.is_regular_file()) out.insert(fs::relative(e.path(), folder).string());
    out.erase(RecoveryEngine::reportName);
    return out;
}

// The recovered file of a manifest row: the path itself, or for a deleted
// entry that kept only its short name, the name whose first character is "_".
fs::path recoveredPath(const fs::path& folder, const std::string& row, bool deleted) {
    if (fs::exists(folder / row) || !deleted) return folder / row;
    return folder / deletedShortNamePath(row);
}

int64_t manifestTime(const std::string& text) {
    std::tm tm{};
    ::strptime(text.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    return static_cast<int64_t>(::timegm(&tm));
}

// The folder a CLI line names after the arrow.
fs::path folderOf(const std::string& line) {
    const std::string arrow = " → ";
    size_t at = line.find(arrow, line.find(" mislykkedes"));
    return at == std::string::npos ? fs::path() : fs::path(line.substr(at + arrow.size()));
}

}  // namespace

// Every file the manifest lists comes out byte for byte, with its time, and the
// report agrees with what was written. Deleted files whose clusters were
// reused (notes beginning "overwritten") have lost their content, so only
// their presence is checked.
TEST(CLIRecover, FATFixturesComeOutAsTheManifestSays) {
    for (std::string fixture : {"fat12", "fat16", "fat32"}) {
        SCOPED_TRACE(fixture);
        TempDir work;
        auto all = runIn(work.path(), {"recover", fixtureImage(fixture), "ud"});
        auto deleted = runIn(work.path(), {"recover", fixtureImage(fixture), "ud", "--deleted"});
        ASSERT_EQ(all.status, 0);
        ASSERT_EQ(deleted.status, 0);
        ASSERT_EQ(all.lines.size(), 1u);
        ASSERT_EQ(deleted.lines.size(), 1u);
        const fs::path allFolder = folderOf(all.lines[0]), deletedFolder = folderOf(deleted.lines[0]);
        EXPECT_EQ(allFolder.parent_path(), work.path() / "ud");
        EXPECT_EQ(deletedFolder, allFolder.string() + " (2)");

        size_t existingFiles = 0, deletedFiles = 0;
        for (auto& row : readTable(fixtureSourcePath(fixture, ".manifest.tsv"))) {
            const std::string& path = row[0];
            if (path.back() == '/') continue;
            SCOPED_TRACE(path);
            const bool isDeleted = row[3] == "deleted";
            const bool overwritten = row[6].rfind("overwritten", 0) == 0;
            for (const fs::path& folder : {allFolder, deletedFolder}) {
                if (!isDeleted && folder == deletedFolder) {
                    EXPECT_FALSE(fs::exists(folder / path));
                    continue;
                }
                fs::path file = recoveredPath(folder, path, isDeleted);
                ASSERT_TRUE(fs::is_regular_file(file));
                EXPECT_EQ(std::to_string(fs::file_size(file)), row[1]);
                if (!overwritten) {
                    EXPECT_EQ(Sha256::of(readBytes(file)), row[2]);
                }
                struct stat st {};
                ASSERT_EQ(::stat(file.c_str(), &st), 0);
                if (row[4] != "-") {
                    EXPECT_EQ(st.st_mtim.tv_sec, manifestTime(row[4]));
                }
            }
            ++(isDeleted ? deletedFiles : existingFiles);
        }

        // One row per written file, each saying what the file on disk holds.
        for (const fs::path& folder : {allFolder, deletedFolder}) {
            auto report = readReport(folder / RecoveryEngine::reportName);
            auto files = filesBelow(folder);
            EXPECT_EQ(report.size(), files.size());
            for (auto& [path, r] : report) {
                SCOPED_TRACE(path);
                ASSERT_TRUE(files.count(path));
                EXPECT_EQ(r.size, std::to_string(fs::file_size(folder / path)));
                EXPECT_EQ(r.status, "OK");
                EXPECT_EQ(r.unreadable, "0");
            }
        }
        EXPECT_EQ(filesBelow(deletedFolder).size(), deletedFiles);
        EXPECT_EQ(all.lines[0].find(": " + std::to_string(existingFiles + deletedFiles) + " gendannet, 0 med fejl, 0 "
                                    "mislykkedes → "),
                  all.lines[0].find(": "));
    }
}

TEST(CLIRecover, UnreadableSectorsInAFile) {
    // Where fragmenteret.bin lies, from the reader itself.
    auto source = SourceOpener::openImage(fixtureImage("fat16"));
    auto volume = FATParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    FileNodePtr target;
    for (auto& f : (*volume)->root->allFiles())
        if (f->name == "fragmenteret.bin") target = f;
    ASSERT_TRUE(target);
    auto& extents = std::get<std::vector<Extent>>(target->data);
    const uint64_t start = *extents[0].offset + 1024;
    const std::string range = std::to_string(start) + "-" + std::to_string(start + 1024);

    TempDir work;
    auto run = runIn(work.path(), {"recover", fixtureImage("fat16"), "ud"}, range);
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 1u);
    const fs::path folder = folderOf(run.lines[0]);
    Bytes written = readBytes(folder / "fragmenteret.bin");
    ASSERT_EQ(written.size(), target->size);
    EXPECT_TRUE(std::all_of(written.begin() + 1024, written.begin() + 2048, [](uint8_t b) { return b == 0; }));
    Bytes original = source->read(*extents[0].offset, 1024);
    EXPECT_EQ(Bytes(written.begin(), written.begin() + 1024), original);
    auto report = readReport(folder / RecoveryEngine::reportName);
    EXPECT_EQ(report["fragmenteret.bin"].status, "Ulæselige sektorer");
    EXPECT_EQ(report["fragmenteret.bin"].unreadable, "1024");
    EXPECT_EQ(report["kendt tid.txt"].status, "OK");
    // The deleted gap files whose clusters fragmenteret.bin took over meet the
    // same sectors; the line counts every file with unreadable bytes.
    int withErrors = 0;
    for (auto& [path, row] : report) withErrors += row.status == "Ulæselige sektorer";
    EXPECT_NE(run.lines[0].find(" gendannet, " + std::to_string(withErrors) + " med fejl, 0 mislykkedes → "),
              std::string::npos)
        << run.lines[0];
}

TEST(CLIRecover, FullDestination) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to mount a tmpfs";
    TempDir work;
    const fs::path small = work.path() / "lille";
    fs::create_directory(small);
    if (::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=128k") != 0) GTEST_SKIP() << "cannot mount a tmpfs";
    auto run = runIn(work.path(), {"recover", fixtureImage("fat16"), "lille"});
    const fs::path folder = run.lines.empty() ? fs::path() : folderOf(run.lines[0]);
    const std::string report = fs::exists(folder / RecoveryEngine::reportName)
                                   ? readText(folder / RecoveryEngine::reportName)
                                   : std::string();
    ::umount2(small.c_str(), MNT_DETACH);
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 3u);
    // The files after the one that found the destination full were never
    // tried, and the summary counts them.
    auto source = SourceOpener::openImage(fixtureImage("fat16"));
    auto volume = FATParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    const auto rows = static_cast<size_t>(std::count(report.begin(), report.end(), '\n') - 1);
    const size_t notTried = (*volume)->root->allFiles().size() - rows - 1;
    EXPECT_GT(notTried, 0u);
    EXPECT_NE(run.lines[0].find(" med fejl, 1 mislykkedes, " + std::to_string(notTried) + " ikke forsøgt → "),
              std::string::npos)
        << run.lines[0];
    EXPECT_TRUE(run.lines[1].ends_with(": No space left on device")) << run.lines[1];
    EXPECT_EQ(run.lines[2], "   Destinationen er fuld – gendannelsen blev stoppet.");
    EXPECT_EQ(report.rfind(RecoveryEngine::reportHeader, 0), 0u);
    EXPECT_GT(std::count(report.begin(), report.end(), '\n'), 1);
}
