#include <gtest/gtest.h>

#include <regex>
#include <sys/wait.h>

#include "ScanTestSupport.h"
#include "SovantaCLI/CLI.h"
#include "SovantaCore/Partitions.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

struct Run {
    int status = -1;
    std::vector<std::string> lines;  // standard output
    std::string err;
};

// Runs the built tool in a temporary folder.
Run runInTempFolder(const std::vector<std::string>& args) {
    TempDir dir;
    auto result = runCLI(args, {}, dir.path());
    return {result.status, linesOf(result.out), result.err};
}

bool contains(const std::vector<std::string>& lines, const std::string& line) {
    return std::count(lines.begin(), lines.end(), line) == 1;
}

// What a manifest says of a FAT volume's totals.
FileNode::Totals manifestTotals(const std::string& fixture, const std::string& prefix) {
    FileNode::Totals t;
    for (auto& row : readManifest(fixture)) {
        if (row.path == "-" || row.path.rfind(prefix, 0) != 0 || row.path == prefix) continue;
        if (row.path.back() == '/') {
            ++t.folders;
        } else {
            ++t.files;
            t.bytes += std::stoull(row.size);
            if (row.status != "existing") ++t.deleted;
        }
    }
    return t;
}

std::string volumeLine(const std::string& title, const FileNode::Totals& t) {
    return "  " + title + ": " + std::to_string(t.files) + " filer, " + std::to_string(t.folders) + " mapper, " +
           std::to_string(t.deleted) + " slettede, " + formatBytes(t.bytes);
}

}  // namespace

TEST(CLIScan, WholeDiskVolume) {
    auto run = runInTempFolder({"scan", fixtureImage("fat16")});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");
    const uint64_t size = 33554432;
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             "fat16.img: " + formatBytes(size) + ", sektor 512 B",
                             "Partitionering: Ingen partitionstabel",
                             "  #1 Hele disken @ 0 " + formatBytes(size) + " FAT16 ",
                             volumeLine("SOMMERHUS (FAT16)", manifestTotals("fat16", "")),
                         }));
}

// The file system's own files ($Extend's children among them) are neither
// listed nor counted as deleted on a volume that holds nothing else.
TEST(CLIScan, FreshNTFSVolumeHoldsNoFiles) {
    auto scan = runInTempFolder({"scan", fixtureImage("ntfs_fresh")});
    EXPECT_EQ(scan.status, 0);
    EXPECT_TRUE(contains(scan.lines, "  NY (NTFS): 0 filer, 0 mapper, 0 slettede, 0 bytes"))
        << ::testing::PrintToString(scan.lines);
    auto tree = runInTempFolder({"tree", fixtureImage("ntfs_fresh")});
    EXPECT_EQ(tree.status, 0);
    EXPECT_EQ(tree.lines, std::vector<std::string>{"== NY (NTFS) @ 0 [Partitionstabel]"});
}

TEST(CLIScan, PartitionsNotesAndVolumes) {
    auto run = runInTempFolder({"scan", fixtureImage("gpt_primary_header_zeroed")});
    EXPECT_EQ(run.status, 0);
    ASSERT_GE(run.lines.size(), 5u);
    EXPECT_EQ(run.lines[1], "Partitionering: GPT");
    EXPECT_EQ(run.lines[2], "  #1 Microsoft basisdata @ 1048576 " + formatBytes(12582912) + " FAT16 Data FAT16");
    EXPECT_EQ(run.lines[3], "  #2 Microsoft basisdata @ 13631488 " + formatBytes(12582912) + " NTFS Data NTFS");
    // The table's note is printed once, at the head of the notes.
    EXPECT_EQ(run.lines[4], std::string("! ") + PartitionTable::backupHeaderNote);
    EXPECT_TRUE(contains(run.lines, std::string("! ") + PartitionTable::backupHeaderNote));
    EXPECT_TRUE(contains(run.lines, volumeLine("SOMMERFAT16 (FAT16)", manifestTotals("gpt_primary_header_zeroed", "p1:"))))
        << ::testing::PrintToString(run.lines);

    run = runInTempFolder({"scan", fixtureImage("gpt_empty")});
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             "gpt_empty.img: " + formatBytes(8388608) + ", sektor 512 B",
                             "Partitionering: Ukendt",
                             std::string("! ") + PartitionTable::noTableNote,
                         }));

    // A partition whose file system is not recognised shows "?" and its empty name.
    Bytes disk(4096 * 512, 0);
    disk[446 + 4] = 0x82;
    putLE(disk, 446 + 8, 2048, 4);
    putLE(disk, 446 + 12, 100, 4);
    disk[510] = 0x55, disk[511] = 0xAA;
    TempDir dir;
    std::string image = dir.file("swap.img");
    std::ofstream(image, std::ios::binary).write(reinterpret_cast<const char*>(disk.data()), 4096 * 512);
    run = runInTempFolder({"scan", image});
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             "swap.img: " + formatBytes(4096 * 512) + ", sektor 512 B",
                             "Partitionering: MBR",
                             "  #1 Linux swap @ 1048576 " + formatBytes(51200) + " ? ",
                         }));
}

TEST(CLIScan, UsageAndOpeningErrors) {
    auto run = runInTempFolder({"scan"});
    EXPECT_EQ(run.status, 1);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines[0], "sovanta-cli – datagendannelse fra kommandolinjen");

    TempDir dir;
    run = runInTempFolder({"tree", "nodisk"});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.lines.empty());
    EXPECT_TRUE(std::regex_match(run.err, std::regex("Fejl: Filen findes ikke: /.*/nodisk\n"))) << run.err;
}

namespace {

struct TreeLine {
    bool isDirectory = false;
    std::string size, tag, chance, note;
    bool present = false;
};

// The lines of one volume ("== <title> @ <offset> ...") of a tree listing, by
// path rebuilt from the indentation.
std::multimap<std::string, TreeLine> parseTree(const std::vector<std::string>& lines, const std::string& header,
                                               std::vector<std::string>& notes) {
    static const std::regex file(R"(^( *)(.+)  (\d+) B(?: \[(\S+)\])? chance=(\S+)(?: \((.*)\))?$)");
    static const std::regex folder(R"(^( *)(.+)/(?: \[(\S+)\])?(?: \((.*)\))?$)");
    std::multimap<std::string, TreeLine> out;
    std::vector<std::string> stack;
    bool inside = false;
    for (auto& line : lines) {
        if (line.rfind("== ", 0) == 0) {
            inside = line == header;
            continue;
        }
        if (!inside) continue;
        if (line.rfind("   note: ", 0) == 0) {
            notes.push_back(line.substr(9));
            continue;
        }
        std::smatch m;
        TreeLine t;
        t.present = true;
        size_t indent;
        std::string name;
        if (std::regex_match(line, m, file)) {
            indent = static_cast<size_t>(m[1].length());
            name = m[2];
            t.size = m[3], t.tag = m[4], t.chance = m[5], t.note = m[6];
        } else if (std::regex_match(line, m, folder)) {
            indent = static_cast<size_t>(m[1].length());
            name = m[2];
            t.isDirectory = true;
            t.tag = m[3], t.note = m[4];
        } else {
            ADD_FAILURE() << "unexpected line: " << line;
            continue;
        }
        EXPECT_EQ(indent % 2, 0u);
        size_t depth = indent / 2 - 1;
        EXPECT_LE(depth, stack.size()) << line;
        stack.resize(std::min(depth, stack.size()));
        stack.push_back(name);
        std::string path;
        for (auto& part : stack) path += (path.empty() ? "" : "/") + part;
        out.emplace(path, t);
    }
    return out;
}

}  // namespace

TEST(CLITree, FilesStatusRatingsAndNotesAgreeWithManifests) {
    struct Case {
        std::string fixture, header, prefix;
    };
    const Case cases[] = {
        {"fat12", "== SOMMERHUS (FAT12) @ 0 [Partitionstabel]", ""},
        {"fat16", "== SOMMERHUS (FAT16) @ 0 [Partitionstabel]", ""},
        {"fat32", "== SOMMERHUS (FAT32) @ 0 [Partitionstabel]", ""},
        {"superfloppy_fat32", "== SOMMERSFLOP (FAT32) @ 0 [Partitionstabel]", ""},
        {"gpt_fat32_ntfs_exfat", "== SOMMERFAT32 (FAT32) @ 1048576 [Partitionstabel]", "p1:"},
        {"mbr_extended", "== SOMMERFAT16 (FAT16) @ 1048576 [Partitionstabel]", "p1:"},
        {"gpt_4k_sectors", "== SOMMERFAT12 (FAT12) @ 1048576 [Partitionstabel]", "p1:"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        auto run = runInTempFolder({"tree", fixtureImage(c.fixture)});
        EXPECT_EQ(run.status, 0);
        ASSERT_TRUE(contains(run.lines, c.header)) << ::testing::PrintToString(run.lines);
        std::vector<std::string> notes;
        auto lines = parseTree(run.lines, c.header, notes);
        EXPECT_TRUE(notes.empty());

        std::multimap<std::string, std::string> keys;
        for (auto& [p, l] : lines) keys.emplace(p, p);
        std::set<std::string> matched;
        for (auto& row : readManifest(c.fixture)) {
            if (row.path == "-" || row.path.rfind(c.prefix, 0) != 0 || row.path == c.prefix) continue;
            std::string path = row.path.substr(c.prefix.size());
            SCOPED_TRACE(row.path);
            bool deleted = row.status == "deleted";
            // A deleted entry without a long name lost its first letter: "_SC00017.JPG".
            std::string key = findRow(keys, path, deleted);
            ASSERT_FALSE(key.empty()) << "not listed";
            matched.insert(key);
            const TreeLine& line = lines.find(key)->second;
            EXPECT_EQ(line.isDirectory, path.back() == '/');
            EXPECT_EQ(line.tag, deleted ? "Slettet" : "");
            if (line.isDirectory) continue;
            EXPECT_EQ(line.size, row.size);
            if (row.note.rfind("overwritten", 0) == 0) {
                bool startReused = line.chance == "Ringe" && line.note == "Startklyngen er genbrugt af en anden fil";
                bool partReused = line.chance == "Delvis" && line.note == "Dele af filen kan være overskrevet";
                EXPECT_TRUE(startReused || partReused) << line.chance << " " << line.note;
            } else {
                EXPECT_EQ(line.chance, "God");
                EXPECT_EQ(line.note, "");
            }
        }
        EXPECT_EQ(matched.size(), lines.size()) << "the listing holds entries the manifest does not";
    }
}
