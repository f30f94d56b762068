#include <gtest/gtest.h>

#include <set>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "FileTestSupport.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

FileNodePtr folder(const std::string& name) { return FileNode::make(name, true); }

FileNodePtr file(const std::string& name, uint64_t size, FileData data,
                 Recoverability recoverability = Recoverability::good) {
    return FileNode::make(name, false, size, EntryStatus::existing, recoverability, std::move(data));
}

FileNodePtr extentFile(const std::string& name, uint64_t offset, uint64_t size) {
    return file(name, size, std::vector<Extent>{{offset, size}});
}

Bytes slice(const Bytes& b, size_t offset, size_t count) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(offset),
                 b.begin() + static_cast<std::ptrdiff_t>(offset + count));
}

// Runs a recovery and keeps every progress value it reported.
struct Run {
    RecoveryResult result;
    std::vector<RecoveryProgress> updates;
};

Run recoverInto(const std::vector<FileNodePtr>& nodes, const std::string& rootName, DiskSource& source,
                const fs::path& destination, RecoveryOptions options = {},
                std::function<void(const RecoveryProgress&, WorkProgress&)> onProgress = nullptr) {
    Run run;
    WorkProgress reporter;
    run.result = RecoveryEngine::recover(nodes, rootName, source, destination, options, reporter,
                                         [&](const RecoveryProgress& p) {
                                             run.updates.push_back(p);
                                             if (onProgress) onProgress(p, reporter);
                                         });
    return run;
}

std::string reportOf(const RecoveryResult& result) {
    return result.folder ? readText(*result.folder / RecoveryEngine::reportName) : std::string();
}

std::string header() { return std::string(RecoveryEngine::reportHeader) + "\n"; }

// The names in a folder.
std::set<std::string> namesIn(const fs::path& folder) {
    std::set<std::string> names;
    for (auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    return names;
}

// The engine's hook after each written piece, set for one scope.
class AfterPiece {
public:
    explicit AfterPiece(std::function<void(const RecoveryProgress&)> hook) {
        RecoveryEngine::afterPiece = std::move(hook);
    }
    ~AfterPiece() { RecoveryEngine::afterPiece = nullptr; }
    AfterPiece(const AfterPiece&) = delete;
    AfterPiece& operator=(const AfterPiece&) = delete;
};

// A small tmpfs for the destination-full cases; needs root.
class SmallFileSystem {
public:
    explicit SmallFileSystem(const std::string& size, int inodes = 0) {
        if (::geteuid() != 0) return;
        std::string options = "size=" + size + ",mode=0755";
        if (inodes > 0) options += ",nr_inodes=" + std::to_string(inodes);
        mounted_ = ::mount("tmpfs", dir_.path().c_str(), "tmpfs", 0, options.c_str()) == 0;
    }
    ~SmallFileSystem() {
        if (mounted_) ::umount2(dir_.path().c_str(), MNT_DETACH);
    }
    bool mounted() const { return mounted_; }
    const fs::path& path() const { return dir_.path(); }

private:
    TempDir dir_;
    bool mounted_ = false;
};

}  // namespace

TEST(RecoveryEngine, Sanitize) {
    const std::string ae = "\xC3\xA6";  // æ
    std::string aes;
    for (int i = 0; i < 126; ++i) aes += ae;
    std::string expectedAes;
    for (int i = 0; i < 125; ++i) expectedAes += ae;
    // A letter with a combining accent (3 bytes) across the limit goes as a whole.
    std::string accented = std::string(249, 'a') + "e\xCC\x81";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"a/b", "a:b"},
        {"  navn.txt \t", "navn.txt"},
        {"\n\xE3\x80\x80x\xC2\xA0", "x"},  // ideographic space and no-break space are blanks too
        {std::string("a\0b", 3), "a_b"},
        {"", "unavngivet"},
        {".", "unavngivet"},
        {"..", "unavngivet"},
        {"   ", "unavngivet"},
        {"...", "..."},
        {std::string(300, 'x'), std::string(250, 'x')},
        {aes, expectedAes},
        {accented, std::string(249, 'a')},
        {"a" + aes, "a" + expectedAes.substr(2)},  // the limit falls inside a character
        {std::string(248, 'a') + "\xF0\x9F\x98\x80\xF0\x9F\x98\x80", std::string(248, 'a')},
        {"rapport.pdf", "rapport.pdf"},
    };
    for (auto& [input, expected] : cases) {
        EXPECT_EQ(RecoveryEngine::sanitize(input), expected) << input;
        EXPECT_LE(RecoveryEngine::sanitize(input).size(), 250u);
    }
}

TEST(RecoveryEngine, UniqueURL) {
    TempDir dir;
    const fs::path d = dir.path();
    auto touch = [&](const std::string& name) { writeFile(d / name, Bytes{}); };
    EXPECT_EQ(RecoveryEngine::uniqueURL(d / "report.pdf", false), d / "report.pdf");
    touch("report.pdf");
    EXPECT_EQ(RecoveryEngine::uniqueURL(d / "report.pdf", false), d / "report (2).pdf");
    touch("report (2).pdf");
    EXPECT_EQ(RecoveryEngine::uniqueURL(d / "report.pdf", false), d / "report (3).pdf");
    touch("archive.tar.gz");
    EXPECT_EQ(RecoveryEngine::uniqueURL(d / "archive.tar.gz", false), d / "archive.tar (2).gz");
    touch("README");
    EXPECT_EQ(RecoveryEngine::uniqueURL(d / "README", false), d / "README (2)");
    fs::create_directory(d / "Gendannet.v2");
    EXPECT_EQ(RecoveryEngine::uniqueURL(d / "Gendannet.v2", true), d / "Gendannet.v2 (2)");
    // A dangling link is something too: it is never written through.
    fs::create_symlink(d / "nowhere", d / "link.txt");
    EXPECT_EQ(RecoveryEngine::uniqueURL(d / "link.txt", false), d / "link (2).txt");
}

TEST(RecoveryEngine, RecoversTreeWithStructureDatesAndReport) {
    const Bytes disk = patternBytes(65536);
    ByteSource source(disk);
    TempDir out;

    auto root = folder("");
    auto docs = folder("Dokumenter");
    auto letter = extentFile("brev.txt", 0, 3000);
    using namespace std::chrono;
    const Date when = sys_days{year{2010} / 7 / 15} + hours{13} + minutes{24} + seconds{56} + nanoseconds{123456789};
    letter->modified = when;
    auto old = folder("Gamle");
    auto draft = file("kladde.txt", 1200, std::vector<Extent>{{10000, 500}, {20000, 700}}, Recoverability::partial);
    draft->note = "Delvist overskrevet";
    auto newer = folder("Ny/e");  // a slash inside a name stays one folder
    auto fresh = extentFile("ny.txt", 40000, 100);
    auto pictures = folder("Billeder");
    auto photo = file("ferie.jpg", 6000, std::vector<Extent>{{std::nullopt, 1000}, {30000, 5000}});
    auto empty = file("tom fil.txt", 0, NoData{});
    auto small = file("lille.txt", 4, ResidentData{{'h', 'e', 'j', '\n'}});
    auto emptyFolder = folder("Tom mappe");
    root->add(docs), docs->add(letter), docs->add(old), old->add(draft), docs->add(newer), newer->add(fresh);
    root->add(pictures), pictures->add(photo), root->add(empty), root->add(small), root->add(emptyFolder);

    auto run = recoverInto(root->children(), "SOMMERHUS", *source, out.path() / "ny" / "mappe");
    const auto& r = run.result;
    ASSERT_TRUE(r.folder);
    EXPECT_EQ(*r.folder, out.path() / "ny" / "mappe" / "SOMMERHUS");
    EXPECT_EQ(r.recovered, 6);
    EXPECT_EQ(r.withErrors, 0);
    EXPECT_EQ(r.failed, 0);
    EXPECT_FALSE(r.cancelled);
    EXPECT_EQ(r.bytes, 3000u + 1200 + 100 + 6000 + 0 + 4);
    EXPECT_TRUE(r.failures.empty());

    const fs::path f = *r.folder;
    EXPECT_EQ(readBytes(f / "Dokumenter/brev.txt"), slice(disk, 0, 3000));
    Bytes draftBytes = slice(disk, 10000, 500);
    Bytes tail = slice(disk, 20000, 700);
    draftBytes.insert(draftBytes.end(), tail.begin(), tail.end());
    EXPECT_EQ(readBytes(f / "Dokumenter/Gamle/kladde.txt"), draftBytes);
    EXPECT_EQ(readBytes(f / "Dokumenter/Ny:e/ny.txt"), slice(disk, 40000, 100));
    Bytes photoBytes(1000, 0);
    Bytes photoTail = slice(disk, 30000, 5000);
    photoBytes.insert(photoBytes.end(), photoTail.begin(), photoTail.end());
    EXPECT_EQ(readBytes(f / "Billeder/ferie.jpg"), photoBytes);
    EXPECT_TRUE(fs::is_regular_file(f / "tom fil.txt"));
    EXPECT_EQ(fs::file_size(f / "tom fil.txt"), 0u);
    EXPECT_EQ(readText(f / "lille.txt"), "hej\n");
    EXPECT_FALSE(fs::exists(f / "Tom mappe"));  // folders are made only for files

    struct stat st {};
    ASSERT_EQ(::stat((f / "Dokumenter/brev.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1279200296);
    EXPECT_EQ(st.st_mtim.tv_nsec, 123456789);

    // Files directly in a folder first, then its subfolders, the last pushed first.
    EXPECT_EQ(reportOf(r), header() +
                               "Dokumenter/brev.txt;3000;OK;God;0;\n"
                               "Dokumenter/Ny:e/ny.txt;100;OK;God;0;\n"
                               "Dokumenter/Gamle/kladde.txt;1200;OK;Delvis;0;Delvist overskrevet\n"
                               "Billeder/ferie.jpg;6000;OK;God;0;\n"
                               "tom fil.txt;0;OK;God;0;\n"
                               "lille.txt;4;OK;God;0;\n");

    ASSERT_GE(run.updates.size(), 2u);
    EXPECT_EQ(run.updates.front().filesTotal, 6);
    EXPECT_EQ(run.updates.front().bytesTotal, 10304u);
    EXPECT_EQ(run.updates.front().filesDone, 0);
    EXPECT_EQ(run.updates.front().bytesDone, 0u);
    EXPECT_EQ(run.updates.back().filesDone, 6);
    EXPECT_EQ(run.updates.back().bytesDone, 10304u);

    // A second run never touches the first: it gets a folder of its own.
    auto again = recoverInto({letter}, "SOMMERHUS", *source, out.path() / "ny" / "mappe");
    ASSERT_TRUE(again.result.folder);
    EXPECT_EQ(*again.result.folder, out.path() / "ny" / "mappe" / "SOMMERHUS (2)");
    EXPECT_EQ(readBytes(*again.result.folder / "Dokumenter/brev.txt"), slice(disk, 0, 3000));
}

TEST(RecoveryEngine, SelectionsNamesAndQuoting) {
    const Bytes disk = patternBytes(16384);
    ByteSource source(disk);
    TempDir out;
    auto root = folder("");
    auto a = folder("A"), b = folder("B");
    auto a1 = extentFile("a.txt", 0, 10), a2 = extentFile("a.txt", 100, 20);
    a1->note = "et \"citat\"; og mere";
    a2->note = "linje 1\nlinje 2";
    auto odd = extentFile("x;y.txt", 200, 5);
    odd->note = "vognretur\r alene";
    root->add(a), a->add(a1), root->add(b), b->add(a2), b->add(odd);

    // The same file twice, and a file with its folder: each file once. Without
    // the folder structure, equal names are numbered.
    RecoveryOptions flat;
    flat.keepFolderStructure = false;
    auto run = recoverInto({a1, a1, b, a2, a}, "", *source, out.path(), flat);
    ASSERT_TRUE(run.result.folder);
    EXPECT_EQ(*run.result.folder, out.path() / "Gendannet");
    EXPECT_EQ(run.result.recovered, 3);
    const fs::path f = *run.result.folder;
    EXPECT_EQ(readBytes(f / "a.txt"), slice(disk, 0, 10));
    EXPECT_EQ(readBytes(f / "a (2).txt"), slice(disk, 100, 20));
    EXPECT_EQ(reportOf(run.result), header() +
                                        "a.txt;10;OK;God;0;\"et \"\"citat\"\"; og mere\"\n"
                                        "a (2).txt;20;OK;God;0;\"linje 1\nlinje 2\"\n"
                                        "\"x;y.txt\";5;OK;God;0;\"vognretur\r alene\"\n");

    // A blank root name is a name of blanks: "unavngivet". No report when not asked for.
    RecoveryOptions noReport;
    noReport.writeReport = false;
    auto quiet = recoverInto({a1}, "  ", *source, out.path(), noReport);
    ASSERT_TRUE(quiet.result.folder);
    EXPECT_EQ(quiet.result.folder->filename(), "unavngivet");
    EXPECT_FALSE(fs::exists(*quiet.result.folder / RecoveryEngine::reportName));
    EXPECT_TRUE(fs::exists(*quiet.result.folder / "A/a.txt"));

    // An empty root name on a second run: "Gendannet (2)".
    auto second = recoverInto({}, "", *source, out.path());
    ASSERT_TRUE(second.result.folder);
    EXPECT_EQ(second.result.folder->filename(), "Gendannet (2)");
    EXPECT_EQ(reportOf(second.result), header());
}

TEST(RecoveryEngine, ReportNeverOverwritesARecoveredFileOfItsName) {
    const Bytes disk = patternBytes(8192);
    ByteSource source(disk);
    TempDir out;
    auto root = folder("");
    auto namesake = extentFile(RecoveryEngine::reportName, 0, 500);
    root->add(namesake);
    auto run = recoverInto({namesake}, "V", *source, out.path());
    ASSERT_TRUE(run.result.folder);
    EXPECT_EQ(readBytes(*run.result.folder / "Gendannelsesrapport (2).csv"), slice(disk, 0, 500));
    EXPECT_EQ(reportOf(run.result), header() + "Gendannelsesrapport (2).csv;500;OK;God;0;\n");
}

TEST(RecoveryEngine, UnreadableSectorsAreZerosCountedAndReported) {
    Bytes disk = patternBytes(16384);
    ByteSource source(disk, 512, withBadRanges({{2048, 2560}}));
    TempDir out;
    auto root = folder("");
    auto damaged = extentFile("skadet.bin", 1024, 4096);
    auto fine = extentFile("hel.bin", 8192, 1000);
    root->add(damaged), root->add(fine);
    auto run = recoverInto(root->children(), "V", *source, out.path());
    EXPECT_EQ(run.result.recovered, 1);
    EXPECT_EQ(run.result.withErrors, 1);
    EXPECT_EQ(run.result.failed, 0);
    EXPECT_EQ(run.result.bytes, 5096u);
    Bytes expected = slice(disk, 1024, 4096);
    std::fill(expected.begin() + 1024, expected.begin() + 1536, 0);
    EXPECT_EQ(readBytes(*run.result.folder / "skadet.bin"), expected);
    EXPECT_EQ(reportOf(run.result), header() +
                                        "skadet.bin;4096;Ulæselige sektorer;God;512;\n"
                                        "hel.bin;1000;OK;God;0;\n");
}

TEST(RecoveryEngine, FailuresAreCountedAndTheRunGoesOn) {
    const Bytes disk = patternBytes(8192);
    ByteSource source(disk);
    TempDir out;

    // The new folder cannot be made: every node handed in fails, nothing else happens.
    writeFile(out.path() / "fil", {1});
    auto root = folder("");
    auto docs = folder("Docs");
    auto x = extentFile("x.txt", 0, 10);
    root->add(docs), docs->add(x), root->add(extentFile("y.txt", 0, 10));
    auto blocked = recoverInto(root->children(), "V", *source, out.path() / "fil");
    EXPECT_FALSE(blocked.result.folder);
    EXPECT_EQ(blocked.result.failed, 2);
    ASSERT_EQ(blocked.result.failures.size(), 1u);
    EXPECT_EQ(blocked.result.failures[0],
              "Kunne ikke oprette mappen " + (out.path() / "fil" / "V").string() + ": Not a directory");
    EXPECT_TRUE(blocked.updates.empty());

    // A folder path longer than the system takes does not fail its files:
    // they are written below a shortened path, which the report gives with
    // the original.
    auto deep = folder("");
    FileNodePtr bottom = deep;
    std::string planned;
    for (int i = 0; i < 24; ++i) {
        auto next = folder(std::string(200, static_cast<char>('a' + i)));
        bottom->add(next), bottom = next;
        planned += next->name + "/";
    }
    bottom->add(extentFile("x.txt", 0, 10)), deep->add(extentFile("y.txt", 0, 10));
    auto run = recoverInto(deep->children(), "W", *source, out.path());
    EXPECT_EQ(run.result.failed, 0);
    EXPECT_EQ(run.result.recovered, 2);
    EXPECT_EQ(run.result.failures, std::vector<std::string>{});
    const auto rows = linesOf(reportOf(run.result));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_TRUE(rows[1].ends_with("/x.txt;10;OK;God;0;Oprindelig sti: " + planned + "x.txt"));
    EXPECT_EQ(rows[2], "y.txt;10;OK;God;0;");
}

// The plan holds the files' folders: a tree that changes after planning (a
// folder renamed, the links cut) changes nothing of the copy, which reads the
// plan and the files' own nodes, whose fields stay as they are.
TEST(RecoveryEngine, CopyReadsOnlyThePlan) {
    const Bytes disk = patternBytes(8192);
    ByteSource source(disk);
    TempDir out;
    auto root = folder("");
    auto docs = folder("Docs"), sub = folder("Sub");
    auto a = extentFile("a.txt", 0, 10), b = extentFile("b.txt", 100, 20);
    b->note = "note";
    using namespace std::chrono;
    const Date when = sys_days{year{2011} / 1 / 2};
    b->modified = when;
    root->add(docs), docs->add(a), docs->add(sub), sub->add(b);

    RecoveryOptions options;
    RecoveryPlan planned = RecoveryEngine::plan({docs, b}, options);
    ASSERT_EQ(planned.files.size(), 2u);
    EXPECT_EQ(planned.totalBytes, 30u);
    EXPECT_EQ(planned.folderOf(planned.files[0]), "Docs");
    EXPECT_EQ(planned.folderOf(planned.files[1]), "Docs/Sub");
    EXPECT_EQ(planned.files[1].node, b);

    // The folders are settled by the plan; the tree may change after it.
    docs->name = "Andet";
    root->removeAllChildren(), docs->removeAllChildren();
    WorkProgress reporter;
    auto result = RecoveryEngine::copy(planned, "V", *source, out.path(), options, reporter, nullptr);
    EXPECT_EQ(result.recovered, 2);
    EXPECT_EQ(readBytes(*result.folder / "Docs/Sub/b.txt"), slice(disk, 100, 20));
    struct stat st {};
    ASSERT_EQ(::stat((*result.folder / "Docs/Sub/b.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, duration_cast<seconds>(when.time_since_epoch()).count());
    EXPECT_EQ(reportOf(result), header() + "Docs/a.txt;10;OK;God;0;\nDocs/Sub/b.txt;20;OK;God;0;note\n");

    // Flat: no folders at all.
    RecoveryOptions flat;
    flat.keepFolderStructure = false;
    const RecoveryPlan flatPlan = RecoveryEngine::plan({a, sub}, flat);
    for (auto& item : flatPlan.files) EXPECT_TRUE(flatPlan.folderOf(item).empty());
}

// A file and a folder of one name in one folder (a deleted file beside a live
// folder), and two folders of one name: each gets a name of its own, the files
// of one never mix with the other's, and none fails.
TEST(RecoveryEngine, NamesakesAmongFilesAndFolders) {
    const Bytes disk = patternBytes(8192);
    ByteSource source(disk);
    TempDir out;
    auto root = folder("");
    auto p = folder("P");
    auto deletedX = extentFile("X", 0, 10);
    deletedX->status = EntryStatus::deleted;
    auto liveX = folder("X"), otherX = folder("X");
    root->add(p), p->add(deletedX), p->add(liveX), p->add(otherX);
    liveX->add(extentFile("a.txt", 100, 10)), liveX->add(extentFile("b.txt", 200, 10));
    otherX->add(extentFile("a.txt", 300, 10));
    // A top folder named as the report.
    auto reportNamesake = folder(RecoveryEngine::reportName);
    root->add(reportNamesake), reportNamesake->add(extentFile("r.txt", 400, 10));

    auto run = recoverInto(root->children(), "V", *source, out.path());
    const auto& r = run.result;
    EXPECT_EQ(r.recovered, 5);
    EXPECT_EQ(r.failed, 0);
    EXPECT_TRUE(r.failures.empty());
    const fs::path f = *r.folder;
    EXPECT_EQ(readBytes(f / "P/X"), slice(disk, 0, 10));
    // The file keeps its name; subfolders are taken last-pushed first.
    EXPECT_EQ(readBytes(f / "P/X (2)/a.txt"), slice(disk, 300, 10));
    EXPECT_EQ(readBytes(f / "P/X (3)/a.txt"), slice(disk, 100, 10));
    EXPECT_EQ(readBytes(f / "P/X (3)/b.txt"), slice(disk, 200, 10));
    EXPECT_EQ(readBytes(f / "Gendannelsesrapport.csv (2)/r.txt"), slice(disk, 400, 10));
    EXPECT_NE(reportOf(r).find("P/X (3)/b.txt;10;OK;God;0;\n"), std::string::npos);
}

// A file with a size but no known data (its first cluster or data attribute
// is gone) cannot be copied: it fails instead of being written empty and
// reported as recovered. An empty file of no data is still an empty file.
TEST(RecoveryEngine, FileWithoutKnownDataFails) {
    const Bytes disk = patternBytes(8192);
    ByteSource source(disk);
    TempDir out;
    auto root = folder("");
    auto docs = folder("Docs");
    auto lost = file("tabt.txt", 5000, NoData{}, Recoverability::poor);
    lost->note = "Dataattributten mangler";
    root->add(docs), docs->add(lost), docs->add(file("tom.txt", 0, NoData{})), docs->add(extentFile("a.txt", 0, 10));
    auto run = recoverInto({docs}, "V", *source, out.path());
    const auto& r = run.result;
    ASSERT_TRUE(r.folder);
    EXPECT_EQ(r.recovered, 2);
    EXPECT_EQ(r.withErrors, 0);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.bytes, 10u);
    EXPECT_EQ(r.failures, std::vector<std::string>{"/Docs/tabt.txt: No data available"});
    EXPECT_FALSE(fs::exists(*r.folder / "Docs" / "tabt.txt"));
    EXPECT_EQ(fs::file_size(*r.folder / "Docs" / "tom.txt"), 0u);
    EXPECT_EQ(reportOf(r), header() + "Docs/tom.txt;0;OK;God;0;\nDocs/a.txt;10;OK;God;0;\n");
    EXPECT_EQ(run.updates.back().filesDone, 2);
    EXPECT_EQ(run.updates.back().bytesDone, 10u);
}

TEST(RecoveryEngine, CancellationBeforeAFileAndInsideOne) {
    ByteSource source(patternBytes(4096));
    TempDir out;
    auto root = folder("");
    auto first = extentFile("første.txt", 0, 100);
    // Three pieces of 4 MiB; only the first is written before the cancel is seen.
    auto big = file("stor.bin", 12 << 20, std::vector<Extent>{{std::nullopt, 12 << 20}});
    auto last = extentFile("sidste.txt", 0, 100);
    root->add(first), root->add(big), root->add(last);

    // Cancelled after the first file: no later file is started.
    auto before = recoverInto(root->children(), "A", *source, out.path(), {},
                              [](const RecoveryProgress& p, WorkProgress& reporter) {
                                  if (p.filesDone == 1) reporter.cancel();
                              });
    EXPECT_TRUE(before.result.cancelled);
    EXPECT_EQ(before.result.recovered, 1);
    EXPECT_EQ(before.result.failed, 0);
    EXPECT_EQ(before.result.notTried, 2);
    EXPECT_FALSE(fs::exists(*before.result.folder / "stor.bin"));
    EXPECT_EQ(reportOf(before.result), header() + "første.txt;100;OK;God;0;\n");

    // Cancelled inside the big file, after its first piece: the part copied
    // is kept under a name that says it was cut short, never under its own.
    int pieces = 0;
    WorkProgress reporter;
    AfterPiece hook([&](const RecoveryProgress& p) {
        if (p.currentFile == "stor.bin" && ++pieces == 1) reporter.cancel();
    });
    std::vector<RecoveryProgress> updates;
    const RecoveryResult r = RecoveryEngine::recover(root->children(), "B", *source, out.path(), {}, reporter,
                                                     [&](const RecoveryProgress& p) { updates.push_back(p); });
    EXPECT_EQ(pieces, 1);
    EXPECT_TRUE(r.cancelled);
    EXPECT_EQ(r.recovered, 1);
    EXPECT_EQ(r.failed, 1);  // the part written is kept, but it is not the file
    EXPECT_EQ(r.notTried, 1);
    EXPECT_EQ(r.bytes, 100u);
    ASSERT_EQ(r.failures.size(), 1u);
    EXPECT_EQ(r.failures[0], "/stor.bin: afbrudt efter 4194304 af 12582912 bytes");
    EXPECT_FALSE(fs::exists(*r.folder / "stor.bin"));
    EXPECT_EQ(fs::file_size(*r.folder / "stor (afbrudt).bin"), 4194304u);
    EXPECT_FALSE(fs::exists(*r.folder / "sidste.txt"));
    EXPECT_EQ(namesIn(*r.folder), (std::set<std::string>{"første.txt", "stor (afbrudt).bin", RecoveryEngine::reportName}));
    EXPECT_EQ(reportOf(r), header() +
                               "første.txt;100;OK;God;0;\n"
                               "stor (afbrudt).bin;4194304;Afbrudt;God;0;\n");
    EXPECT_EQ(updates.back().filesDone, 1);
}

// What a run that is killed leaves, seen while it is held inside a file: the
// file only under a name that says it is unfinished, and a report with the
// rows of the files done. A cut-short name "navn (afbrudt).ext" is numbered
// like any other, and one with no room for the mark keeps it whole.
TEST(RecoveryEngine, AKilledRunLeavesNoWholeLookingFileAndTheRowsOfWhatItDid) {
    ByteSource source(patternBytes(4096));
    TempDir out;
    auto root = folder("");
    auto done = extentFile("færdig.txt", 0, 100);
    auto big = file("stor.bin", 12 << 20, std::vector<Extent>{{std::nullopt, 12 << 20}});
    root->add(done), root->add(big);
    std::set<std::string> seen;
    std::string report;
    fs::path runFolder;
    AfterPiece hook([&](const RecoveryProgress& p) {
        if (p.currentFile != "stor.bin" || !seen.empty()) return;
        for (auto& entry : fs::directory_iterator(out.path())) runFolder = entry.path();
        seen = namesIn(runFolder);
        report = readText(runFolder / RecoveryEngine::reportName);
    });
    auto run = recoverInto(root->children(), "A", *source, out.path());
    EXPECT_EQ(run.result.recovered, 2);
    EXPECT_EQ(seen, (std::set<std::string>{"færdig.txt", "stor.bin.ufærdig", RecoveryEngine::reportName}));
    EXPECT_EQ(report, header() + "færdig.txt;100;OK;God;0;\n");
    // Once whole, it has its own name.
    EXPECT_EQ(namesIn(runFolder), (std::set<std::string>{"færdig.txt", "stor.bin", RecoveryEngine::reportName}));
    EXPECT_EQ(fs::file_size(runFolder / "stor.bin"), uint64_t(12) << 20);

    // A name of 250 bytes cut short: the mark takes the room it needs.
    const std::string longName = std::string(246, 'n') + ".bin";
    auto longest = file(longName, 12 << 20, std::vector<Extent>{{std::nullopt, 12 << 20}});
    WorkProgress reporter;
    AfterPiece cancel([&](const RecoveryProgress&) { reporter.cancel(); });
    auto cut = RecoveryEngine::recover({longest}, "B", *source, out.path(), {}, reporter, nullptr);
    ASSERT_TRUE(cut.folder);
    const std::string cutLong = std::string(241, 'n') + " (afbrudt).bin";
    EXPECT_EQ(namesIn(*cut.folder), (std::set<std::string>{cutLong, RecoveryEngine::reportName}));
    EXPECT_EQ(reportOf(cut), header() + cutLong + ";4194304;Afbrudt;God;0;\n");
}

TEST(RecoveryEngine, ThousandsOfFilesOfOneName) {
    ByteSource source(patternBytes(4096));
    TempDir out;
    auto root = folder("");
    std::vector<FileNodePtr> nodes;
    for (int i = 0; i < 3000; ++i) {
        auto sub = folder("mappe" + std::to_string(i));
        auto f = file("billede.jpg", 1, ResidentData{{static_cast<uint8_t>(i)}});
        root->add(sub), sub->add(f), nodes.push_back(f);
    }
    RecoveryOptions flat;
    flat.keepFolderStructure = false;
    auto run = recoverInto(nodes, "V", *source, out.path(), flat);
    EXPECT_EQ(run.result.recovered, 3000);
    const fs::path f = *run.result.folder;
    EXPECT_EQ(readBytes(f / "billede.jpg"), Bytes{0});
    EXPECT_EQ(readBytes(f / "billede (2).jpg"), Bytes{1});
    EXPECT_EQ(readBytes(f / "billede (3000).jpg"), Bytes{static_cast<uint8_t>(2999)});
    EXPECT_FALSE(fs::exists(f / "billede (3001).jpg"));
}

TEST(RecoveryEngine, FullDestinationStopsTheRunAndKeepsTheReport) {
    SmallFileSystem small("1m");
    if (!small.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
    const Bytes disk = patternBytes(1 << 20);
    ByteSource source(disk);
    auto root = folder("");
    std::vector<FileNodePtr> files;
    for (int i = 1; i <= 5; ++i) {
        auto f = extentFile("fil" + std::to_string(i) + ".bin", 0, 400 * 1024);
        root->add(f), files.push_back(f);
    }
    auto run = recoverInto(files, "V", *source, small.path());
    const auto& r = run.result;
    EXPECT_EQ(r.recovered, 2);
    EXPECT_EQ(r.failed, 1);
    EXPECT_EQ(r.notTried, 2);
    ASSERT_EQ(r.failures.size(), 2u);
    EXPECT_EQ(r.failures[0], "/fil3.bin: No space left on device");
    EXPECT_EQ(r.failures[1], "Destinationen er fuld – gendannelsen blev stoppet.");
    EXPECT_FALSE(fs::exists(*r.folder / "fil3.bin"));  // removed, which leaves room for the report
    EXPECT_FALSE(fs::exists(*r.folder / "fil4.bin"));
    EXPECT_EQ(readBytes(*r.folder / "fil2.bin"), slice(disk, 0, 400 * 1024));
    EXPECT_EQ(reportOf(r), header() +
                               "fil1.bin;409600;OK;God;0;\n"
                               "fil2.bin;409600;OK;God;0;\n");
}

// Without room for one more file or folder, creating it fails with the same
// error as a write into a full destination, and stops the run the same way.
TEST(RecoveryEngine, NoRoomForAFileOrFolderStopsTheRun) {
    const Bytes disk = patternBytes(8192);
    ByteSource source(disk);
    auto root = folder("");
    auto f1 = extentFile("f1.bin", 0, 100), f2 = extentFile("f2.bin", 100, 100);
    auto sub = folder("Mappe");
    auto f3 = extentFile("f3.bin", 200, 100);
    root->add(f1), root->add(f2), root->add(sub), sub->add(f3);
    struct Case {
        int inodes;  // the root folder, the new folder and the report take three
        std::vector<std::string> failures;
        std::string report;
        int64_t notTried;
    };
    const std::vector<Case> cases = {
        {4, {"/f2.bin: kunne ikke oprette f2.bin", RecoveryEngine::destinationFullLine}, "f1.bin;100;OK;God;0;\n", 1},
        {5, {"/Mappe/f3.bin: No space left on device", RecoveryEngine::destinationFullLine},
         "f1.bin;100;OK;God;0;\nf2.bin;100;OK;God;0;\n", 0},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.inodes);
        SmallFileSystem small("1m", c.inodes);
        if (!small.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
        auto run = recoverInto({f1, f2, sub}, "V", *source, small.path());
        EXPECT_EQ(run.result.failed, 1);
        EXPECT_EQ(run.result.notTried, c.notTried);
        EXPECT_EQ(run.result.failures, c.failures);
        EXPECT_EQ(reportOf(run.result), header() + c.report);
    }
}

// The report takes its rows as the files are done: once the destination is
// full, the row that needs room beyond the report's last block fails it.
TEST(RecoveryEngine, AReportThatCannotBeWrittenIsAFailure) {
    SmallFileSystem small("1m");
    if (!small.mounted()) GTEST_SKIP() << "needs root to mount a tmpfs";
    const Bytes disk = patternBytes(1 << 20);
    ByteSource source(disk);
    auto root = folder("");
    // Fills the file system but for the report's first block.
    auto filling = extentFile("fylder.bin", 0, (1 << 20) - 4096);
    root->add(filling);
    std::vector<FileNodePtr> nodes{filling};
    // Empty files take no block; their rows of 200 bytes soon need a second one.
    for (int i = 0; i < 30; ++i) {
        auto empty = file(std::string(190, 'x') + std::to_string(i), 0, std::vector<Extent>{});
        root->add(empty), nodes.push_back(empty);
    }
    auto run = recoverInto(nodes, "V", *source, small.path());
    EXPECT_EQ(run.result.recovered, 31);
    ASSERT_EQ(run.result.failures.size(), 1u);
    EXPECT_EQ(run.result.failures[0], "Rapporten Gendannelsesrapport.csv kunne ikke skrives: No space left on device");
    const std::string report = reportOf(run.result);
    EXPECT_TRUE(report.starts_with(header() + "fylder.bin;1044480;OK;God;0;\n")) << report.substr(0, 200);
    EXPECT_LE(report.size(), 4096u);
}

// A cell that a spreadsheet would take for a formula is written as text.
TEST(RecoveryEngine, FormulaCellsAreWrittenAsText) {
    const Bytes disk = patternBytes(4096);
    ByteSource source(disk);
    TempDir out;
    struct Case {
        std::string name, note, row;
    };
    const std::vector<Case> cases = {
        {"=cmd|calc.csv", "", "'=cmd|calc.csv;1;OK;God;0;"},
        {"+1.txt", "-2+3", "'+1.txt;1;OK;God;0;'-2+3"},
        {"@SUM(A1).txt", "@x;y", "'@SUM(A1).txt;1;OK;God;0;\"'@x;y\""},
        {"-rf.txt", "=\"a\"", "'-rf.txt;1;OK;God;0;\"'=\"\"a\"\"\""},
        {"a=b.txt", "x-y", "a=b.txt;1;OK;God;0;x-y"},
    };
    auto root = folder("");
    std::vector<FileNodePtr> nodes;
    std::string expected = header();
    for (auto& c : cases) {
        auto f = extentFile(c.name, 0, 1);
        if (!c.note.empty()) f->note = c.note;
        root->add(f), nodes.push_back(f);
        expected += c.row + "\n";
    }
    auto run = recoverInto(nodes, "V", *source, out.path());
    EXPECT_EQ(reportOf(run.result), expected);
    // The files themselves keep their names.
    EXPECT_TRUE(fs::exists(*run.result.folder / "=cmd|calc.csv"));
}

namespace {

// The rows of a report: path and status, in order.
std::vector<std::pair<std::string, std::string>> reportRows(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> rows;
    auto table = reportTable(text);
    for (size_t i = 1; i < table.size(); ++i)  // the header left out
        if (table[i].size() >= 3) rows.emplace_back(table[i][0], table[i][2]);
    return rows;
}

}  // namespace

// A source that is cut short, or whose reads fail because it has gone (the
// read in flight when a FUSE server dies fails with ECONNABORTED), in the
// middle of a recovery: the file being copied stops there, no later file is
// started, the result says why, and nothing written is counted whole that is
// not the file's bytes. Before the change every later byte came out as zeros
// counted good.
TEST(RecoveryEngine, SourceGoneOrCutShortStopsTheRun) {
    struct Case {
        const char* what;
        int error;  // 0: the image file is truncated after the scan
    };
    for (Case c : {Case{"truncated", 0}, Case{"server died", ECONNABORTED}, Case{"device removed", ENODEV}}) {
        SCOPED_TRACE(c.what);
        TempDir work;
        const std::string path = work.file("fat32.img");
        fs::copy_file(fixtureImage("fat32"), path);
        auto original = SourceOpener::openImage(fixtureImage("fat32"));
        auto source = SourceOpener::openImage(path);
        WorkProgress progress;
        auto scan = QuickScanner::run(*source, progress);
        ASSERT_EQ(scan.volumes.size(), 1u);
        const auto nodes = scan.volumes[0]->root->children();
        const RecoveryPlan plan = RecoveryEngine::plan(nodes, {});

        // The cut lies in the middle of the largest file's first extent.
        size_t largest = 0;
        for (size_t i = 0; i < plan.files.size(); ++i)
            if (plan.files[i].node->size > plan.files[largest].node->size) largest = i;
        const auto& extents = std::get<std::vector<Extent>>(plan.files[largest].node->data);
        ASSERT_FALSE(extents.empty());
        ASSERT_GE(extents[0].length, 8192u);
        const uint64_t cut = (*extents[0].offset + extents[0].length / 2) / 4096 * 4096;

        std::string stopLine;
        if (c.error == 0) {
            ASSERT_EQ(::truncate(path.c_str(), static_cast<off_t>(cut)), 0);
            stopLine = "Kilden er blevet mindre under gendannelsen: den ender nu ved byte " + std::to_string(cut) +
                       " i stedet for " + std::to_string(source->size) +
                       " – gendannelsen blev stoppet.";
        } else {
            source = SourceOpener::openImage(path, withBadRanges({{cut, UINT64_MAX}}, c.error));
            stopLine = "Kilden svarer ikke længere – gendannelsen blev stoppet.";
        }
        auto run = recoverInto(nodes, "V", *source, work.path() / "ud");
        ASSERT_TRUE(run.result.folder);
        ASSERT_FALSE(run.result.failures.empty());
        EXPECT_EQ(run.result.failures.back(), stopLine);
        EXPECT_EQ(source->badSectorCount(), 0);

        // The first file in the plan that reaches past the cut is the last
        // one tried, and not counted whole.
        size_t crossing = plan.files.size();
        for (size_t i = 0; i < plan.files.size() && crossing == plan.files.size(); ++i) {
            const auto* placed = std::get_if<std::vector<Extent>>(&plan.files[i].node->data);
            uint64_t covered = 0;
            for (size_t e = 0; placed && e < placed->size() && covered < plan.files[i].node->size; ++e) {
                const uint64_t length = std::min((*placed)[e].length, plan.files[i].node->size - covered);
                if ((*placed)[e].offset && *(*placed)[e].offset + length > cut) crossing = i;
                covered += length;
            }
        }
        ASSERT_LE(crossing, largest);
        std::map<std::string, size_t> planned;
        for (size_t i = 0; i < plan.files.size(); ++i) {
            const auto& item = plan.files[i];
            planned[(plan.folderOf(item) / RecoveryEngine::sanitize(item.node->name)).string()] = i;
        }
        const auto rows = reportRows(reportOf(run.result));
        EXPECT_EQ(run.result.recovered + run.result.withErrors + run.result.failed, int64_t(crossing) + 1);
        bool sawCrossing = false;
        for (auto& [row, status] : rows) {
            // The file cut short keeps a name that says so.
            std::string planName = row;
            const std::string cutMark = " (afbrudt)";
            const bool markedCut = planName.find(cutMark) != std::string::npos;
            if (markedCut) planName.erase(planName.find(cutMark), cutMark.size());
            auto at = planned.find(planName);
            ASSERT_NE(at, planned.end()) << row;
            EXPECT_LE(at->second, crossing) << row;
            EXPECT_EQ(markedCut, at->second == crossing) << row;
            if (at->second == crossing) {
                sawCrossing = true;
                EXPECT_NE(status, "OK");
                continue;
            }
            EXPECT_EQ(status, "OK") << row;
            EXPECT_EQ(readBytes(*run.result.folder / row), streamedBytes(*original, *plan.files[at->second].node))
                << row;
        }
        EXPECT_TRUE(sawCrossing);
    }
}
