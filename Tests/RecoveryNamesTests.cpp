// Names the destination cannot hold: adapted to its file system's rules and
// to the longest path the system takes, the original kept in the report.
#include <gtest/gtest.h>

#include <climits>

#include "FileTestSupport.h"
#include "SovantaCore/Recovery.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

FileNodePtr folder(const std::string& name) { return FileNode::make(name, true); }

FileNodePtr extentFile(const std::string& name, uint64_t offset, uint64_t size) {
    return FileNode::make(name, false, size, EntryStatus::existing, Recoverability::good,
                          std::vector<Extent>{{offset, size}});
}

std::string repeated(const std::string& piece, size_t count) {
    std::string out;
    for (size_t i = 0; i < count; ++i) out += piece;
    return out;
}

int shell(const std::string& command) { return Shell::run("/bin/sh", {"-c", command}).status; }

// A new file system of one kind, made by its own mkfs in an image file and
// mounted from a loop device by the kernel, or for exFAT and NTFS through
// FUSE where the kernel lacks the driver; unmounted and detached with the
// object. Needs root.
class MountedImage {
public:
    explicit MountedImage(const std::string& kind) {
        if (!isRoot()) {
            why_ = "needs root for loop devices";
            return;
        }
        const fs::path image = dir_.path() / "disk.img";
        point_ = dir_.path() / "mnt";
        fs::create_directory(point_);
        const std::string mkfs = kind == "exfat" ? "mkfs.exfat" : kind == "vfat" ? "mkfs.vfat" : "mkfs.ntfs -F -Q";
        if (shell("truncate -s 64M '" + image.string() + "' && " + mkfs + " '" + image.string() +
                  "' >/dev/null 2>&1") != 0) {
            why_ = "cannot make the " + kind + " file system";
            return;
        }
        auto r = Shell::run("/bin/sh", {"-c", "losetup --find --show '" + image.string() + "'"});
        device_ = std::string(r.stdoutBytes.begin(), r.stdoutBytes.end());
        while (!device_.empty() && device_.back() == '\n') device_.pop_back();
        if (r.status != 0 || device_.empty()) {
            device_.clear();
            why_ = "cannot attach a loop device";
            return;
        }
        const std::string at = " '" + device_ + "' '" + point_.string() + "' 2>/dev/null";
        const std::vector<std::string> ways =
            kind == "exfat"  ? std::vector<std::string>{"mount -t exfat" + at, "mount.exfat-fuse" + at}
            : kind == "vfat" ? std::vector<std::string>{"mount -t vfat -o utf8" + at}
                             : std::vector<std::string>{"mount -t ntfs3" + at, "ntfs-3g" + at};
        for (auto& way : ways)
            if (shell(way) == 0) {
                mounted_ = true;
                return;
            }
        why_ = "cannot mount " + kind + " here";
    }
    ~MountedImage() {
        if (mounted_) shell("umount '" + point_.string() + "' || umount -l '" + point_.string() + "'");
        if (!device_.empty()) shell("losetup -d '" + device_ + "'");
    }
    bool mounted() const { return mounted_; }
    const std::string& whyNot() const { return why_; }
    const fs::path& path() const { return point_; }

private:
    TempDir dir_;
    fs::path point_;
    std::string device_, why_;
    bool mounted_ = false;
};

// Files whose names FAT, exFAT and NTFS cannot hold, recovered onto one:
// each is written under a name it can hold, no two onto one name, every
// file counted recovered, and the report gives where each went and what it
// was called.
void recoversNamesItCannotHold(const fs::path& destination) {
    const std::string meeting = "Møde";
    EXPECT_TRUE(RecoveryEngine::nameRules(destination).windows);
    const Bytes disk = patternBytes(64 * 1024);
    ByteSource source(disk);
    auto root = folder("");
    const std::vector<std::string> names = {
        meeting + " 12:30.txt", "a?b*c\"d<e>f|g.txt", "punktum.", "x. ", "a:b.txt", "a_b.txt", "CON.txt",
        "tab\there.txt",
    };
    std::vector<FileNodePtr> files;
    for (size_t i = 0; i < names.size(); ++i) {
        files.push_back(extentFile(names[i], i * 1000, 1000));
        root->add(files.back());
    }
    auto project = folder("Projekt: 2024");
    auto inProject = extentFile("notat.txt", 20000, 500);
    root->add(project), project->add(inProject);

    WorkProgress reporter;
    auto result = RecoveryEngine::recover({root}, "Backup: 2024", *source, destination, {}, reporter,
                                          [](const RecoveryProgress&) {});
    ASSERT_TRUE(result.folder);
    EXPECT_EQ(result.folder->filename(), "Backup_ 2024");
    EXPECT_EQ(result.failures, std::vector<std::string>{});
    EXPECT_EQ(result.recovered, 9);
    EXPECT_EQ(result.failed, 0);

    const std::vector<std::string> written = {
        meeting + " 12_30.txt", "a_b_c_d_e_f_g.txt", "punktum", "x", "a_b.txt", "a_b (2).txt", "CON_.txt",
        "tab_here.txt",
    };
    for (size_t i = 0; i < written.size(); ++i) {
        SCOPED_TRACE(written[i]);
        EXPECT_EQ(readBytes(*result.folder / written[i]),
                  Bytes(disk.begin() + static_cast<std::ptrdiff_t>(i * 1000),
                        disk.begin() + static_cast<std::ptrdiff_t>(i * 1000 + 1000)));
    }
    EXPECT_EQ(readBytes(*result.folder / "Projekt_ 2024" / "notat.txt"),
              Bytes(disk.begin() + 20000, disk.begin() + 20500));
    EXPECT_EQ(readText(*result.folder / RecoveryEngine::reportName),
              std::string(RecoveryEngine::reportHeader) + "\n" + meeting +
                  " 12_30.txt;1000;OK;God;0;Oprindeligt navn: " + meeting + " 12:30.txt\n" +
                  "a_b_c_d_e_f_g.txt;1000;OK;God;0;\"Oprindeligt navn: a?b*c\"\"d<e>f|g.txt\"\n"
                  "punktum;1000;OK;God;0;Oprindeligt navn: punktum.\n"
                  "x;1000;OK;God;0;Oprindeligt navn: x. \n"
                  "a_b.txt;1000;OK;God;0;Oprindeligt navn: a:b.txt\n"
                  "a_b (2).txt;1000;OK;God;0;\n"
                  "CON_.txt;1000;OK;God;0;Oprindeligt navn: CON.txt\n"
                  "tab_here.txt;1000;OK;God;0;Oprindeligt navn: tab\there.txt\n"
                  "Projekt_ 2024/notat.txt;500;OK;God;0;Oprindelig sti: Projekt: 2024/notat.txt\n");
}

}  // namespace

// The names of a destination whose rules are given, one case a row.
TEST(RecoveryNames, AdaptsNamesToTheRules) {
    const RecoveryEngine::NameRules windows{true, 255, 255}, plain{}, short143{false, 143, 0}, wide{true, 1000, 255};
    const std::string long250 = repeated("a", 246) + ".jpg";
    struct Case {
        std::string name;
        RecoveryEngine::NameRules rules;
        bool isDirectory;
        size_t limit;
        std::string adapted;
    };
    const std::vector<Case> cases = {
        {"Møde 12:30.txt", windows, false, 0, "Møde 12_30.txt"},
        {"a?b*c\"d<e>f|g\\h.txt", windows, false, 0, "a_b_c_d_e_f_g_h.txt"},
        {"tab\there\x01.txt", windows, false, 0, "tab_here_.txt"},
        {"punktum.", windows, false, 0, "punktum"},
        {"x. . ", windows, false, 0, "x"},
        {"...", windows, false, 0, "unavngivet"},
        {"CON", windows, true, 0, "CON_"},
        {"con.txt", windows, false, 0, "con_.txt"},
        {"Com1.tar.gz", windows, false, 0, "Com1_.tar.gz"},
        {"LPT9 .log", windows, false, 0, "LPT9_ .log"},
        {"CONSOLE.txt", windows, false, 0, "CONSOLE.txt"},
        {"COM10.txt", windows, false, 0, "COM10.txt"},
        // Elsewhere only the length counts.
        {"a:b?.txt", plain, false, 0, "a:b?.txt"},
        {"punktum.", plain, false, 0, "punktum."},
        {"CON.txt", plain, false, 0, "CON.txt"},
        // Too long: cut between characters, the extension kept.
        {repeated("a", 200) + ".txt", short143, false, 0, repeated("a", 139) + ".txt"},
        {repeated("æ", 200) + ".jpg", windows, false, 0, repeated("æ", 125) + ".jpg"},
        {repeated("\U0001F600", 200), wide, false, 0, repeated("\U0001F600", 127)},
        {repeated("e\u0301", 100), windows, false, 0, repeated("e\u0301", 85)},
        {"x." + repeated("y", 200), short143, false, 0, "x." + repeated("y", 141)},
        {"Mappe med et langt navn.d", plain, true, 16, "Mappe med et lan"},
        {"en lang titel på en fil.pdf", windows, false, 16, "en lang tite.pdf"},
        {long250, plain, false, 0, long250},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RecoveryEngine::adaptName(c.name, c.rules, c.isDirectory, c.limit), c.adapted);
    }

    // Numbered names stay within the rules: the stem gives way to the number.
    EXPECT_EQ(RecoveryEngine::numberedToFit("Møde 12_30.txt", 2, false, windows), "Møde 12_30 (2).txt");
    EXPECT_EQ(RecoveryEngine::numberedToFit("Gendannet", 3, true, windows), "Gendannet (3)");
    EXPECT_EQ(RecoveryEngine::numberedToFit("arkiv.tar.gz", 2, false, plain), "arkiv.tar (2).gz");
    EXPECT_EQ(RecoveryEngine::numberedToFit(long250, 12, false, plain), repeated("a", 246) + " (12).jpg");
    EXPECT_EQ(RecoveryEngine::numberedToFit(long250, 123456, false, plain), repeated("a", 242) + " (123456).jpg");
    EXPECT_EQ(RecoveryEngine::numberedToFit("punktum", 2, false, windows, 8), "punk (2)");

    // So do the temporary and the interrupted name of a name that fills the
    // room: what they add takes the place of the end of the stem.
    struct Suffixed {
        std::string name;
        RecoveryEngine::NameRules rules;
        size_t limit;
        std::string unfinished, interrupted;
    };
    const std::string long143 = repeated("a", 139) + ".txt", longExtension = "x." + repeated("y", 141);
    const std::vector<Suffixed> suffixed = {
        {"rapport.pdf", plain, 0, "rapport.pdf.ufærdig", "rapport (afbrudt).pdf"},
        {long143, short143, 0, repeated("a", 134) + ".ufærdig", repeated("a", 129) + " (afbrudt).txt"},
        {longExtension, short143, 0, "x." + repeated("y", 132) + ".ufærdig", "x." + repeated("y", 131) + " (afbrudt)"},
        {long250, plain, 0, repeated("a", 246) + ".ufærdig", repeated("a", 241) + " (afbrudt).jpg"},
        {"Møde 12_30.txt", windows, 16, "Møde 1.ufærdig", "M (afbrudt).txt"},
    };
    for (auto& c : suffixed) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(RecoveryEngine::unfinishedName(c.name, c.rules, c.limit), c.unfinished);
        EXPECT_EQ(RecoveryEngine::interruptedName(c.name, c.rules, c.limit), c.interrupted);
    }
}

TEST(RecoveryNames, ElsewhereOnlyTheLengthCounts) {
    TempDir out;
    const auto rules = RecoveryEngine::nameRules(out.path());
    EXPECT_FALSE(rules.windows);
    EXPECT_EQ(rules.maxBytes, 255u);
}

TEST(RecoveryNames, OntoExFAT) {
    MountedImage disk("exfat");
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    recoversNamesItCannotHold(disk.path());
}

TEST(RecoveryNames, OntoFAT) {
    MountedImage disk("vfat");
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    recoversNamesItCannotHold(disk.path());
}

TEST(RecoveryNames, OntoNTFS) {
    MountedImage disk("ntfs");
    if (!disk.mounted()) GTEST_SKIP() << disk.whyNot();
    recoversNamesItCannotHold(disk.path());
}

// A tree deeper than the longest path the system takes: every file is
// written, its path shortened to fit (folder names cut, and where not even a
// cut name fits, the files put in the deepest folder that does), and the
// report gives each file's place and its original path.
TEST(RecoveryNames, PathsLongerThanTheSystemTakes) {
    const Bytes disk = patternBytes(64 * 1024);
    ByteSource source(disk);
    TempDir out;
    auto root = folder("");
    // 20 levels of 240-byte names: about 4,800 bytes of folders.
    std::vector<std::string> plannedFolders;
    auto parent = root;
    std::string plannedPath;
    for (int level = 0; level < 20; ++level) {
        const std::string name = std::to_string(level) + repeated("m", 238) + std::to_string(level % 10);
        auto sub = folder(name);
        parent->add(sub);
        parent = sub;
        plannedPath += (plannedPath.empty() ? "" : "/") + name;
    }
    // Two files at the bottom whose names meet in their shortened folder, and
    // a long name beside them.
    auto deep1 = extentFile("bund.txt", 0, 100), deep2 = extentFile("bund.txt", 100, 100);
    auto deeper = folder("under");
    parent->add(deep1), parent->add(deeper), deeper->add(deep2);
    const std::string longName = repeated("l", 200) + ".txt";
    auto deep3 = extentFile(longName, 200, 100);
    parent->add(deep3);
    auto shallow = extentFile("top.txt", 300, 100);
    root->add(shallow);

    WorkProgress reporter;
    auto result =
        RecoveryEngine::recover({root}, "Dyb", *source, out.path(), {}, reporter, [](const RecoveryProgress&) {});
    ASSERT_TRUE(result.folder);
    EXPECT_EQ(result.failures, std::vector<std::string>{});
    EXPECT_EQ(result.recovered, 4);
    EXPECT_EQ(result.failed, 0);

    const std::string report = readText(*result.folder / RecoveryEngine::reportName);
    auto rows = linesOf(report);
    ASSERT_EQ(rows.size(), 5u) << report;
    EXPECT_EQ(rows[1], "top.txt;100;OK;God;0;");
    // The deep rows: a shortened path, within the limit, holding the file's bytes.
    std::vector<std::string> paths;
    for (size_t i = 2; i < rows.size(); ++i) {
        const std::string path = rows[i].substr(0, rows[i].find(';'));
        paths.push_back(path);
        const fs::path full = *result.folder / path;
        EXPECT_LT(full.string().size(), static_cast<size_t>(PATH_MAX)) << path;
        EXPECT_TRUE(fs::is_regular_file(full)) << path;
    }
    auto original = [&](size_t row, const std::string& tail) {
        return rows[row].ends_with(";Oprindelig sti: " + plannedPath + "/" + tail);
    };
    EXPECT_TRUE(original(2, "bund.txt")) << rows[2];
    EXPECT_TRUE(original(3, longName)) << rows[3];
    EXPECT_TRUE(original(4, "under/bund.txt")) << rows[4];
    EXPECT_EQ(readBytes(*result.folder / paths[0]), Bytes(disk.begin(), disk.begin() + 100));
    EXPECT_EQ(readBytes(*result.folder / paths[1]), Bytes(disk.begin() + 200, disk.begin() + 300));
    EXPECT_EQ(readBytes(*result.folder / paths[2]), Bytes(disk.begin() + 100, disk.begin() + 200));
    // Each keeps a readable name: its own where it fits, else cut with its
    // extension kept, in a folder of its planned path.
    EXPECT_EQ(fs::path(paths[0]).filename(), "bund.txt");
    const std::string cut = fs::path(paths[1]).filename().string();
    EXPECT_TRUE(cut.ends_with(".txt") && cut.size() >= 64) << cut;
    EXPECT_TRUE(fs::path(paths[2]).filename().string().starts_with("bund")) << paths[2];
    EXPECT_NE(paths[0], paths[2]);
    for (auto& path : paths) EXPECT_TRUE(path.starts_with("0" + repeated("m", 238) + "0/1")) << path;
}
