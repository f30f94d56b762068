// A partial copy of a volume (a dump cut short, as `head -c` makes one): the
// files that lie past the copy's end are rated and recovered as what they are,
// partly or wholly unknown, never as intact files that happen to end in zeros.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

// The exFAT fixture's cluster heap starts at 2 MiB, clusters of 4096 bytes.
constexpr uint64_t clusterOffset(uint64_t cluster) { return 2097152 + (cluster - 2) * 4096; }

// The cut falls 1000 bytes into hul_03.bin (cluster 6394), behind the folder
// huller and the first five clusters of fragmenteret.bin, which are still there.
constexpr uint64_t cutAt = clusterOffset(6394) + 1000;

// The first bytes of a fixture image, as a file of its own.
std::string cutCopy(const TempDir& dir, const std::string& name, uint64_t length) {
    const std::string path = dir.file(name + "-cut.img");
    std::ifstream in(fixtureImage(name), std::ios::binary);
    std::ofstream out(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    for (uint64_t left = length; left > 0 && in;) {
        in.read(buffer.data(), static_cast<std::streamsize>(std::min<uint64_t>(left, buffer.size())));
        out.write(buffer.data(), in.gcount());
        left -= static_cast<uint64_t>(in.gcount());
    }
    return path;
}

size_t occurrences(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

const std::string partlyPast = "Dele af filen ligger ud over kildens slutning";
const std::string whollyPast = "Filen ligger ud over kildens slutning";
const std::string volumeNote = "Filsystemet er større end kilden";

// The files the cut reaches: rating, note, and the bytes past the cut that a
// copy must count unreadable.
struct Expected {
    const char* path;
    Recoverability rating;
    std::string note;
    uint64_t unknownBytes;
};
const std::vector<Expected> pastTheCut = {
    {"fragmenteret.bin", Recoverability::partial, partlyPast, 100912 - 5 * 4096},
    {"huller/hul_03.bin", Recoverability::partial, partlyPast, 19913 - 1000},
    {"huller/hul_05.bin", Recoverability::poor, whollyPast, 19631},
    {"huller/hul_07.bin", Recoverability::poor, whollyPast, 16215},
    {"huller/hul_04.bin", Recoverability::poor, "Klyngerne er genbrugt af andre filer. " + whollyPast, 24052},
    {"huller/hul_06.bin", Recoverability::poor, "Klyngerne er genbrugt af andre filer. " + whollyPast, 24517},
    {"huller/hul_08.bin", Recoverability::poor, "Klyngerne er genbrugt af andre filer. " + whollyPast, 11439},
};

}  // namespace

TEST(CutSource, FilesPastTheEndAreRatedByWhatIsLeft) {
    TempDir dir;
    auto source = SourceOpener::openImage(cutCopy(dir, "exfat", cutAt));
    ASSERT_EQ(source->size, cutAt);
    auto volumes = VolumeLoader::load(*source, FileSystemType::exfat, 0, origin::partitionTable);
    ASSERT_EQ(volumes.size(), 1u);
    auto& volume = *volumes[0];
    ASSERT_EQ(volume.notes.size(), 1u);
    EXPECT_EQ(volume.notes[0].rfind(volumeNote, 0), 0u) << volume.notes[0];

    auto whole = VolumeLoader::load(*openFixture("exfat"), FileSystemType::exfat, 0, origin::partitionTable);
    ASSERT_EQ(whole.size(), 1u);
    auto before = nodesByPath(whole[0]->root);
    auto after = nodesByPath(volume.root);
    // Every file is still listed: the folders all lie before the cut.
    EXPECT_EQ(after.size(), before.size());
    std::map<std::string, const Expected*> reached;
    for (auto& e : pastTheCut) reached[e.path] = &e;
    for (auto& [path, node] : after) {
        SCOPED_TRACE(path);
        if (node->isDirectory) continue;
        ASSERT_TRUE(before.count(path));
        auto it = reached.find(path);
        if (it == reached.end()) {
            // Files before the cut are as in the whole image, hul_01.bin right up to it.
            EXPECT_EQ(node->recoverability, before[path]->recoverability);
            EXPECT_EQ(node->note, before[path]->note);
            EXPECT_EQ(contentHash(*source, *node), contentHash(*openFixture("exfat"), *before[path]));
            continue;
        }
        EXPECT_EQ(node->recoverability, it->second->rating);
        EXPECT_EQ(node->note, it->second->note);
        EXPECT_EQ(node->size, before[path]->size);
    }
}

TEST(CutSource, RecoveryCountsThePartPastTheEndUnreadable) {
    TempDir dir, out;
    const std::string image = cutCopy(dir, "exfat", cutAt);
    auto run = runCLI({"recover", image, out.path().string()});
    EXPECT_EQ(run.status, 0) << run.err;
    const fs::path folder = out.path() / "SOMMERHUS (exFAT)";
    // 29 files in all; the seven past the cut are written with errors.
    EXPECT_NE(run.out.find("SOMMERHUS (exFAT): 22 gendannet, 7 med fejl, 0 mislykkedes"), std::string::npos)
        << run.out;

    const std::string report = readText(folder / RecoveryEngine::reportName);
    std::map<Recoverability, std::string> label = {{Recoverability::poor, "Ringe"},
                                                   {Recoverability::partial, "Delvis"}};
    for (auto& e : pastTheCut) {
        SCOPED_TRACE(e.path);
        EXPECT_TRUE(fs::is_regular_file(folder / e.path));
        EXPECT_NE(report.find(std::string(e.path) + ";" + std::to_string(fs::file_size(folder / e.path)) +
                              ";Ulæselige sektorer;" + label[e.rating] + ";" + std::to_string(e.unknownBytes) +
                              ";" + e.note + "\n"),
                  std::string::npos)
            << report;
    }
    // hul_01.bin ends before the cut and comes back whole.
    EXPECT_NE(report.find("huller/hul_01.bin;15657;OK;God;0;\n"), std::string::npos) << report;
}

TEST(CutSource, ScanAndTreeNoteTheShortSourceOnce) {
    TempDir dir;
    const std::string image = cutCopy(dir, "exfat", cutAt);
    auto scan = runCLI({"scan", image});
    EXPECT_EQ(scan.status, 0) << scan.err;
    EXPECT_EQ(occurrences(scan.out, volumeNote), 1u) << scan.out;
    auto tree = runCLI({"tree", image});
    EXPECT_EQ(tree.status, 0) << tree.err;
    EXPECT_EQ(occurrences(tree.out, volumeNote), 1u) << tree.out;
    EXPECT_NE(tree.out.find("hul_05.bin  19631 B chance=Ringe (" + whollyPast + ")"), std::string::npos) << tree.out;
    EXPECT_NE(tree.out.find("fragmenteret.bin  100912 B chance=Delvis (" + partlyPast + ")"), std::string::npos)
        << tree.out;
}
