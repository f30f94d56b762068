// The HFS+/HFSX reader against real volumes (made by newfs_hfs and the Linux
// driver, by macOS, by libdmg and by xorriso) and their manifests, and against
// copies of them with one structure field changed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ScanTestSupport.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/HFSPlus/Context.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

// ---- contents and listings ----------------------------------------------------

const std::vector<Extent>& extentsOf(const FileNode& node) {
    static const std::vector<Extent> none;
    auto* extents = std::get_if<std::vector<Extent>>(&node.data);
    return extents ? *extents : none;
}

std::string isoUTC(const std::optional<Date>& date) { return date ? test::isoUTC(*date) : "-"; }

// Every node below the root by its path without the leading "/", folders with
// a trailing "/", control characters shown as "^" like The Sleuth Kit does.
std::map<std::string, FileNodePtr> listing(const FileNodePtr& root) {
    std::map<std::string, FileNodePtr> out;
    std::vector<FileNodePtr> stack{root};
    while (!stack.empty()) {
        auto node = stack.back();
        stack.pop_back();
        for (auto& child : node->children()) {
            std::string path = child->path().substr(1);
            for (auto& c : path)
                if (static_cast<unsigned char>(c) < 0x20) c = '^';
            out[path + (child->isDirectory ? "/" : "")] = child;
            if (child->isDirectory) stack.push_back(child);
        }
    }
    return out;
}

// ---- sources made from changed copies of real images -----------------------

// Changes to a fixture image, kept apart from the image: a few bytes each.
class Patch {
public:
    explicit Patch(const Bytes& image) : original(image) {}
    const Bytes& original;
    std::map<size_t, uint8_t> bytes;

    uint8_t get(size_t at) const {
        auto found = bytes.find(at);
        return found != bytes.end() ? found->second : original.at(at);
    }
    void set(size_t at, uint8_t value) {
        if (at >= original.size()) throw std::out_of_range("patch outside the image");
        bytes[at] = value;
    }
    void copy(size_t from, size_t count, size_t to) {
        for (size_t i = 0; i < count; ++i) set(to + i, get(from + i));
    }
};

void put16(Patch& b, size_t at, uint16_t v) {
    b.set(at, static_cast<uint8_t>(v >> 8));
    b.set(at + 1, static_cast<uint8_t>(v));
}
void put32(Patch& b, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) b.set(at + i, static_cast<uint8_t>(v >> (24 - 8 * i)));
}
void put64(Patch& b, size_t at, uint64_t v) {
    put32(b, at, static_cast<uint32_t>(v >> 32));
    put32(b, at + 4, static_cast<uint32_t>(v));
}

struct Layout {
    size_t header = 0;  // the volume header, 1024 bytes into the volume
    uint64_t blockSize = 0;
    size_t catalog = 0;
    size_t nodeSize = 0;
    size_t nodeCount = 0;
    size_t allocation = 0;

    Layout(const Bytes& image, uint64_t base) {
        header = base + 1024;
        ByteSpan h(image.data() + header, 512);
        blockSize = u32be(h, 40);
        catalog = base + u32be(h, 272 + 16) * blockSize;
        allocation = base + u32be(h, 112 + 16) * blockSize;
        nodeSize = u16be(ByteSpan(image), static_cast<int64_t>(catalog + 32));
        nodeCount = u64be(h, 272) / nodeSize;
    }
    size_t node(size_t n) const { return catalog + n * nodeSize; }
};

// A catalog file or folder record located by its (composed) name.
struct RecordAt {
    size_t node = 0;    // node number
    size_t record = 0;  // image offset of the record
    size_t data = 0;    // image offset of its data (after the key)
};

RecordAt findRecord(const Patch& patch, const Layout& layout, const std::string& name) {
    const Bytes& image = patch.original;
    for (size_t n = 1; n < layout.nodeCount; ++n) {
        ByteSpan node(image.data() + layout.node(n), layout.nodeSize);
        if (node[8] != 0xFF) continue;
        int64_t ns = static_cast<int64_t>(layout.nodeSize);
        for (int64_t i = 0; i < u16be(node, 10); ++i) {
            int64_t start = u16be(node, ns - 2 * (i + 1)), end = u16be(node, ns - 2 * (i + 2));
            auto entry = HFSContext::catalogEntry(node.subspan(static_cast<size_t>(start), static_cast<size_t>(end - start)), true);
            if (!entry || entry->name != name) continue;
            size_t at = layout.node(n) + static_cast<size_t>(start);
            uint16_t keyLength = u16be(node, start);
            return {n, at, at + 2 + keyLength + (keyLength & 1)};
        }
    }
    ADD_FAILURE() << "no catalog record named " << name;
    return {};
}

void setBit(Patch& image, const Layout& layout, uint64_t block, bool on) {
    size_t at = layout.allocation + block / 8;
    uint8_t mask = static_cast<uint8_t>(0x80 >> (block % 8));
    image.set(at, on ? (image.get(at) | mask) : (image.get(at) & ~mask));
}

struct Changed {
    DiskSourcePtr source;
    std::optional<VolumePtr> volume;
    std::map<std::string, FileNodePtr> files;
};

// Parses a fixture image with a patch applied. Each image lives once in an
// anonymous memory file; a patch is written into it and undone before the
// next one, so a case costs a few small writes instead of a copy of the image.
Changed parseChanged(const std::string& name, uint64_t base,
                     const std::function<void(Patch&, const Layout&)>& change) {
    struct Held {
        Bytes original;
        std::unique_ptr<MemoryImage> memory;
        std::vector<size_t> dirty;
    };
    static std::map<std::string, Held> held;
    Held& image = held[name];
    if (!image.memory) {
        image.original = readBytes(fixtureImage(name));
        image.memory = std::make_unique<MemoryImage>(image.original);
    }
    for (size_t at : image.dirty)
        if (!image.memory->write(at, &image.original[at], 1)) ADD_FAILURE();
    image.dirty.clear();

    Patch patch(image.original);
    Layout layout(image.original, base);
    change(patch, layout);
    for (auto [at, value] : patch.bytes) {
        if (!image.memory->write(at, &value, 1)) ADD_FAILURE();
        image.dirty.push_back(at);
    }
    Changed out;
    out.source = image.memory->source();
    out.volume = HFSPlusParser::parse(*out.source, base, origin::partitionTable);
    if (out.volume) out.files = listing((*out.volume)->root);
    return out;
}

// The journaled fixture's catalog: leaf nodes 1 → 2 → 4 → 5 → 6; node 5 holds
// Dokumenter/Logbog/log_06.txt to log_11.txt, node 7 and up are unused.
constexpr const char* journaled = "hfsplus_journaled";

void linkNode(Patch& image, const Layout& layout, size_t node, uint32_t next) { put32(image, layout.node(node), next); }

const char* const logFiles[] = {"log_06.txt", "log_07.txt", "log_08.txt", "log_09.txt", "log_10.txt", "log_11.txt"};

// ---- the fixtures against their manifests ----------------------------------

struct FixtureCase {
    const char* name;
    uint64_t offset;     // the volume's first byte in the image
    const char* prefix;  // the manifest's partition prefix, or ""
    const char* label;
};

const FixtureCase fixtureCases[] = {
    {"hfsplus_journaled", 0, "", "Sovanta Arkiv"},
    {"hfsx_casesensitive", 0, "", "Sovanta HFSX"},
    {"hfsplus_gpt", 5242880, "p2:", "Sovanta GPT"},
    {"hfsplus_macos_sample", 0, "", "hfsplus_test"},
    // Behind an Apple partition map, which the partition reader leaves alone:
    // read at the offsets of the map's HFS+ entries.
    {"hfsplus_xorriso_iso", 65536, "p3:", "SOVANTA_ISO"},
    {"hfsplus_udif", 36864, "p3:", "Sovanta DMG"},
};

void PrintTo(const FixtureCase& c, std::ostream* out) { *out << c.name; }

// Files that exist on the volume but that the manifests leave out: the
// journal of a journaled volume (hidden by macOS, listed by The Sleuth Kit).
const std::set<std::string> unlistedInManifests = {".journal", ".journal_info_block"};

std::optional<uint32_t> cnidInNote(const std::string& note) {
    auto at = note.find("CNID ");
    if (at == std::string::npos) return std::nullopt;
    return static_cast<uint32_t>(std::stoul(note.substr(at + 5)));
}

class HFSPlusFixtures : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(HFSPlusFixtures, AgreeWithManifest) {
    const FixtureCase& c = GetParam();
    TempDir temp;
    std::string image = fixtureImage(c.name);
    if (std::string(c.name) == "hfsplus_udif") {
        // The .dmg is UDIF (zlib chunks); dmg2img gives the raw disk.
        if (::access("/usr/bin/dmg2img", X_OK) != 0) GTEST_SKIP() << "dmg2img is not installed";
        image = temp.file("hfsplus_udif.img");
        std::string command = "/usr/bin/dmg2img -s '" + std::string(SOVANTA_FIXTURE_SOURCE_DIR) +
                              "/hfsplus_udif/hfsplus_udif.dmg' '" + image + "' >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }
    auto source = SourceOpener::openImage(image);
    auto volume = HFSPlusParser::parse(*source, c.offset, origin::partitionTable);
    ASSERT_TRUE(volume.has_value());
    const Volume& v = **volume;
    EXPECT_EQ(v.type, FileSystemType::hfsplus);
    EXPECT_EQ(v.label, c.label);
    EXPECT_EQ(v.offset, c.offset);
    EXPECT_EQ(v.origin, origin::partitionTable);
    EXPECT_GT(v.clusterSize, 0u);
    EXPECT_EQ(v.size % v.clusterSize, 0u);
    bool hfsx = std::string(c.name) == "hfsx_casesensitive";
    EXPECT_EQ(v.notes, hfsx ? std::vector<std::string>{HFSPlusParser::hfsxNote} : std::vector<std::string>{});
    EXPECT_EQ(v.root->fsID, 2u);

    auto files = listing(v.root);
    std::set<std::string> matched;
    const std::string prefix = c.prefix;
    for (const auto& row : readManifest(c.name)) {
        if (row.path.rfind(prefix, 0) != 0 || row.path == prefix) continue;  // other partitions, partition rows
        std::string path = row.path.substr(prefix.size());
        // The private data folder holds hard-link data and open-unlinked
        // files; the reader shows them through their links and as orphans.
        if (path.rfind("^^^^HFS+ Private Data", 0) == 0) continue;
        SCOPED_TRACE(row.path);
        if (row.status == "orphaned") {
            // A file unlinked while open survives only as temp<CNID> in the
            // private data folder; its old name is gone from the records.
            auto cnid = cnidInNote(row.note);
            ASSERT_TRUE(cnid);
            path = std::string(HFSPlusParser::orphanFolderName) + "/temp" + std::to_string(*cnid);
        }
        auto found = files.find(path);
        if (row.status == "deleted" && found == files.end()) {
            // These names survive only in the free space of catalog nodes that
            // are still on the live leaf chain (the note gives the blocks);
            // only whole records in nodes off the chain are read as deleted.
            continue;
        }
        ASSERT_NE(found, files.end());
        matched.insert(path);
        const FileNode& node = *found->second;
        EXPECT_EQ(rawValue(node.status), row.status);
        if (row.mtime != "-") {
            EXPECT_EQ(isoUTC(node.modified), row.mtime);
        }
        if (auto cnid = cnidInNote(row.note); cnid && row.status != "orphaned") {
            EXPECT_EQ(node.fsID, *cnid);
        }
        if (node.isDirectory) continue;
        EXPECT_EQ(std::to_string(node.size), row.size);
        if (row.status == "existing") {
            EXPECT_EQ(node.recoverability, Recoverability::good);
        }
        if (row.fragments != "-") {
            EXPECT_EQ(std::to_string(extentsOf(node).size()), row.fragments);
        }
        if (std::string(c.name) == journaled && path == "Musik/koncertoptagelse.wav") continue;  // zeroed in the committed copy
        EXPECT_EQ(sha256Hex(streamedBytes(*source, node)), row.sha256);
    }
    for (const auto& [path, node] : files) {
        if (matched.count(path) || unlistedInManifests.count(path)) continue;
        if (path == std::string(HFSPlusParser::orphanFolderName) + "/") continue;
        ADD_FAILURE() << "not in the manifest: " << path;
    }
}

INSTANTIATE_TEST_SUITE_P(Volumes, HFSPlusFixtures, ::testing::ValuesIn(fixtureCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

// ---- the quick scan, the tree command and recovery on GPT and whole-disk images ----

struct ScannedCase {
    const char* name;
    uint64_t offset;
    const char* prefix;
};

const ScannedCase scannedCases[] = {
    {"hfsplus_gpt", 5242880, "p2:"},
    {"hfsplus_journaled", 0, ""},
    {"hfsx_casesensitive", 0, ""},
    {"hfsplus_macos_sample", 0, ""},
};

void PrintTo(const ScannedCase& c, std::ostream* out) { *out << c.name; }

// The manifest rows the reader lists, by the path it lists them under; rows
// it leaves out by design are dropped (see AgreeWithManifest for why).
std::map<std::string, ManifestRow> listedRows(const std::string& name, const std::string& prefix,
                                              const std::map<std::string, std::string>& listedStatus) {
    std::map<std::string, ManifestRow> rows;
    for (const auto& row : readManifest(name)) {
        if (row.path.rfind(prefix, 0) != 0 || row.path == prefix) continue;
        std::string path = row.path.substr(prefix.size());
        if (path.rfind("^^^^HFS+ Private Data", 0) == 0) continue;
        if (row.status == "orphaned") {
            if (auto cnid = cnidInNote(row.note))
                path = std::string(HFSPlusParser::orphanFolderName) + "/temp" + std::to_string(*cnid);
        }
        if (row.status == "deleted" && !listedStatus.count(path)) continue;
        rows[path] = row;
    }
    return rows;
}

class HFSPlusScanned : public ::testing::TestWithParam<ScannedCase> {};

TEST_P(HFSPlusScanned, QuickScanFindsTheVolume) {
    const ScannedCase& c = GetParam();
    auto source = openFixture(c.name);
    WorkProgress progress;
    auto result = QuickScanner::run(*source, progress);
    std::vector<VolumePtr> hfs;
    for (auto& v : result.volumes)
        if (v->type == FileSystemType::hfsplus) hfs.push_back(v);
    ASSERT_EQ(hfs.size(), 1u);
    EXPECT_EQ(hfs[0]->offset, c.offset);
    EXPECT_EQ(hfs[0]->origin, origin::partitionTable);
    EXPECT_TRUE(result.notes.empty());
}

TEST_P(HFSPlusScanned, TreeCommandAgreesWithManifest) {
    const ScannedCase& c = GetParam();
    auto run = sovanta::test::runCLI({"tree", fixtureImage(c.name)});
    ASSERT_EQ(run.status, 0) << run.err;

    // The HFS+ volume's section of the tree: "  " per level, folders end in "/",
    // files carry "<size> B", a status tag unless existing, and "chance=".
    struct Line {
        bool folder = false;
        std::string size, tag, chance;
    };
    std::map<std::string, Line> lines;
    std::map<std::string, std::string> status;
    const std::regex fileLine(R"((.*)  (\d+) B(?: \[([^\]]+)\])? chance=(\S+)(?: \(.*\))?)");
    const std::regex folderLine(R"((.*)/(?: \[([^\]]+)\])?(?: \(.*\))?)");
    std::vector<std::string> stack;
    bool inVolume = false;
    std::stringstream out(run.out);
    for (std::string text; std::getline(out, text);) {
        if (text.rfind("== ", 0) == 0) {
            inVolume = text.find("(HFS+) @ " + std::to_string(c.offset) + " ") != std::string::npos;
            continue;
        }
        if (!inVolume || text.rfind("   note: ", 0) == 0) continue;
        size_t spaces = text.find_first_not_of(' ');
        ASSERT_TRUE(spaces != std::string::npos && spaces >= 2 && spaces % 2 == 0) << text;
        size_t depth = spaces / 2 - 1;
        ASSERT_LE(depth, stack.size()) << text;
        stack.resize(depth);
        std::string body = text.substr(spaces);
        // The tool escapes control characters; the manifests write each as "^".
        static const std::regex escape(R"(\\(x[0-9a-f]{2}|[nrt]))");
        body = std::regex_replace(body, escape, "^");
        std::smatch m;
        Line line;
        std::string name;
        if (std::regex_match(body, m, fileLine)) {
            name = m[1];
            line.size = m[2];
            line.tag = m[3];
            line.chance = m[4];
        } else {
            ASSERT_TRUE(std::regex_match(body, m, folderLine)) << text;
            name = m[1];
            line.folder = true;
            line.tag = m[2];
        }
        std::string path;
        for (auto& part : stack) path += part + "/";
        path += name + (line.folder ? "/" : "");
        if (line.folder) stack.push_back(name);
        lines[path] = line;
        status[path] = line.tag;
    }
    ASSERT_FALSE(lines.empty());

    auto rows = listedRows(c.name, c.prefix, status);
    for (const auto& [path, row] : rows) {
        SCOPED_TRACE(row.path);
        auto found = lines.find(path);
        ASSERT_NE(found, lines.end());
        auto expected = entryStatusFromRaw(row.status);
        ASSERT_TRUE(expected);
        EXPECT_EQ(found->second.tag, *expected == EntryStatus::existing ? "" : label(*expected));
        if (found->second.folder) continue;
        EXPECT_EQ(found->second.size, row.size);
        if (row.status == "existing") {
            EXPECT_EQ(found->second.chance, label(Recoverability::good));
        }
    }
    for (const auto& [path, line] : lines) {
        if (rows.count(path) || unlistedInManifests.count(path)) continue;
        if (path == std::string(HFSPlusParser::orphanFolderName) + "/") continue;
        ADD_FAILURE() << "not in the manifest: " << path;
    }
}

TEST_P(HFSPlusScanned, RecoverCommandRestoresTheManifest) {
    const ScannedCase& c = GetParam();
    auto source = openFixture(c.name);
    WorkProgress progress;
    VolumePtr volume;
    for (auto& v : QuickScanner::run(*source, progress).volumes)
        if (v->type == FileSystemType::hfsplus) volume = v;
    ASSERT_TRUE(volume);
    std::map<std::string, std::string> status;
    for (const auto& [path, node] : listing(volume->root)) status[path] = rawValue(node->status);

    TempDir destination;
    auto run = sovanta::test::runCLI({"recover", fixtureImage(c.name), destination.path()});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::filesystem::path folder = std::filesystem::path(destination.path()) / volume->title();
    const auto files = volume->root->totals().files;
    EXPECT_NE(run.out.find(volume->title() + ": " + std::to_string(files) + " gendannet, 0 med fejl, 0 mislykkedes → " +
                           folder.string() + "\n"),
              std::string::npos)
        << run.out;
    std::ifstream reportFile(folder / RecoveryEngine::reportName);
    std::string report((std::istreambuf_iterator<char>(reportFile)), std::istreambuf_iterator<char>());

    size_t compared = 0;
    for (const auto& [path, row] : listedRows(c.name, c.prefix, status)) {
        if (path.back() == '/') continue;
        SCOPED_TRACE(row.path);
        auto file = folder / path;
        ASSERT_TRUE(std::filesystem::is_regular_file(file));
        EXPECT_EQ(std::to_string(std::filesystem::file_size(file)), row.size);
        EXPECT_NE(report.find(path + ";" + row.size + ";OK;"), std::string::npos);
        if (std::string(c.name) == journaled && path == "Musik/koncertoptagelse.wav") continue;  // zeroed in the committed copy
        std::ifstream in(file, std::ios::binary);
        Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(sha256Hex(bytes), row.sha256);
        if (row.mtime != "-") {
            struct stat st {};
            ASSERT_EQ(::stat(file.c_str(), &st), 0);
            EXPECT_EQ(isoUTC(std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec)), row.mtime);
        }
        ++compared;
    }
    EXPECT_GT(compared, 0u);
}

INSTANTIATE_TEST_SUITE_P(Images, HFSPlusScanned, ::testing::ValuesIn(scannedCases),
                         [](const auto& testInfo) { return std::string(testInfo.param.name); });

TEST(HFSPlus, HardLinksGiveTheDataOfTheirInodeFile) {
    auto source = SourceOpener::openImage(fixtureImage("hfsx_casesensitive"));
    auto volume = HFSPlusParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    auto files = listing((*volume)->root);
    for (const char* path : {"Projekt/Kode/main.c", "projekt/main_hardlink.c"}) {
        SCOPED_TRACE(path);
        ASSERT_TRUE(files.count(path));
        const FileNode& link = *files[path];
        EXPECT_EQ(link.size, 4182u);
        EXPECT_EQ(link.recoverability, Recoverability::good);
        EXPECT_FALSE(link.note);
        EXPECT_EQ(sha256Hex(streamedBytes(*source, link)), "752b0b8cb458fa1cc258dd63256f573b5ddeafe263ad119e5f4cba5533ff1cab");
    }
    // The link data itself appears nowhere else.
    for (const auto& [path, node] : files) EXPECT_EQ(path.find("iNode"), std::string::npos) << path;
}

TEST(HFSPlus, HardLinkWithoutItsDataIsPoorWithANote) {
    auto changeLink = [](const std::string& linkName) {
        return [linkName](Patch& image, const Layout& layout) {
            put32(image, findRecord(image, layout, linkName).data + 44, 12345);
        };
    };
    auto one = parseChanged("hfsx_casesensitive", 0, changeLink("main.c"));
    ASSERT_TRUE(one.volume);
    const FileNode& broken = *one.files.at("Projekt/Kode/main.c");
    EXPECT_EQ(broken.size, 0u);
    EXPECT_EQ(broken.recoverability, Recoverability::poor);
    EXPECT_EQ(broken.note, "Hård link – indholdet (iNode12345) blev ikke fundet i den skjulte datamappe");
    EXPECT_EQ(one.files.at("projekt/main_hardlink.c")->size, 4182u);
    EXPECT_FALSE(one.files.count(std::string(HFSPlusParser::orphanFolderName) + "/iNode668299829"));

    // With no link left that reaches it, the data shows up as an orphan.
    auto both = parseChanged("hfsx_casesensitive", 0, [&](Patch& image, const Layout& layout) {
        changeLink("main.c")(image, layout);
        changeLink("main_hardlink.c")(image, layout);
    });
    ASSERT_TRUE(both.volume);
    auto orphan = both.files.find(std::string(HFSPlusParser::orphanFolderName) + "/iNode668299829");
    ASSERT_NE(orphan, both.files.end());
    EXPECT_EQ(orphan->second->status, EntryStatus::orphaned);
    EXPECT_EQ(sha256Hex(streamedBytes(*both.source, *orphan->second)),
              "752b0b8cb458fa1cc258dd63256f573b5ddeafe263ad119e5f4cba5533ff1cab");
}

TEST(HFSPlus, FolderLinkSaysWhereTheFolderIs) {
    auto changed = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        size_t data = findRecord(image, layout, "Æbleskiver.txt").data;
        put32(image, data + 48, 0x66647270);  // 'fdrp'
        put32(image, data + 52, 0x4D414353);  // 'MACS'
        put32(image, data + 44, 57);
    });
    ASSERT_TRUE(changed.volume);
    const FileNode& link = *changed.files.at("Æbleskiver.txt");
    EXPECT_EQ(link.note, "Henvisning til en mappe – indholdet vises i mappen \".HFS+ Private Directory Data\" som dir_57");
}

// ---- deleted files from leaf nodes off the live chain -----------------------

TEST(HFSPlus, RecordsOfAFreedLeafNodeAreDeletedAndRatedByTheAllocationFile) {
    // Unlinking node 5 from the chain is what freeing it does.
    auto freed = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) { linkNode(image, layout, 4, 6); });
    ASSERT_TRUE(freed.volume);
    for (const char* name : logFiles) {
        SCOPED_TRACE(name);
        const FileNode& node = *freed.files.at(std::string("Dokumenter/Logbog/") + name);
        EXPECT_EQ(node.status, EntryStatus::deleted);
        ASSERT_EQ(extentsOf(node).size(), 1u);
        // Their blocks are still marked in use: taken over by other files.
        EXPECT_EQ(node.recoverability, Recoverability::poor);
        EXPECT_EQ(node.note, HFSPlusParser::reusedNote);
    }
    EXPECT_EQ(freed.files.at("Dokumenter/Logbog/log_05.txt")->status, EntryStatus::existing);

    // Once the blocks are free the deleted file is good, and its content is the original.
    auto clear = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        linkNode(image, layout, 4, 6);
        setBit(image, layout, 4148, false);  // log_06.txt's only block
    });
    const FileNode& log06 = *clear.files.at("Dokumenter/Logbog/log_06.txt");
    EXPECT_EQ(log06.status, EntryStatus::deleted);
    EXPECT_EQ(log06.recoverability, Recoverability::good);
    EXPECT_FALSE(log06.note);
    EXPECT_EQ(log06.fsID, 48u);
    EXPECT_EQ(isoUTC(log06.modified), "2019-01-06T11:40:34Z");
    EXPECT_EQ(sha256Hex(streamedBytes(*clear.source, log06)),
              "4839ec5d36a8f4312cbd9ea0d27ebd20402ddb07591f9a779ba0cf1c9cdfbb4f");

    // A first block free but a later one in use: partly overwritten.
    auto partly = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        linkNode(image, layout, 1, 4);  // frees node 2
        setBit(image, layout, 330, false);  // first of strand ved Søby.jpg's 45 blocks
    });
    const FileNode& photo = *partly.files.at("Dokumenter/Billeder/strand ved Søby.jpg");
    EXPECT_EQ(photo.status, EntryStatus::deleted);
    EXPECT_EQ(photo.recoverability, Recoverability::partial);
    EXPECT_EQ(photo.note, HFSPlusParser::overwrittenNote);
    // Everything below a folder whose record was freed is deleted with it.
    EXPECT_EQ(partly.files.at("Ærø/Søby/")->status, EntryStatus::deleted);
    EXPECT_EQ(partly.files.at("Ærø/Søby/Havn/Færgeleje/færgeplan sommer.txt")->status, EntryStatus::deleted);
    EXPECT_EQ(partly.files.at("Ærø/")->status, EntryStatus::existing);
}

TEST(HFSPlus, LiveAndStaleCopiesOfOneRecord) {
    // A stale copy of a live node: only the live entries are listed.
    auto copy = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        image.copy(layout.node(5), layout.nodeSize, layout.node(7));
        linkNode(image, layout, 7, 0);
    });
    ASSERT_TRUE(copy.volume);
    for (const auto& [path, node] : copy.files) EXPECT_EQ(node->status, EntryStatus::existing) << path;

    // Two stale records of one deleted file: the later modification date wins,
    // whichever node comes first.
    for (int32_t shift : {+86400, -86400}) {
        SCOPED_TRACE(shift);
        auto stale = parseChanged(journaled, 0, [shift](Patch& image, const Layout& layout) {
            linkNode(image, layout, 4, 6);
            size_t mtime = findRecord(image, layout, "log_06.txt").data + 16 - layout.node(5);
            image.copy(layout.node(5), layout.nodeSize, layout.node(7));
            uint32_t original = u32be(ByteSpan(image.original), static_cast<int64_t>(layout.node(5) + mtime));
            put32(image, layout.node(7) + mtime, static_cast<uint32_t>(static_cast<int64_t>(original) + shift));
        });
        const FileNode& log06 = *stale.files.at("Dokumenter/Logbog/log_06.txt");
        EXPECT_EQ(log06.status, EntryStatus::deleted);
        EXPECT_EQ(isoUTC(log06.modified), shift > 0 ? "2019-01-07T11:40:34Z" : "2019-01-06T11:40:34Z");
        size_t twins = 0;
        for (const auto& [path, node] : stale.files) twins += node->fsID == 48u;
        EXPECT_EQ(twins, 1u);
    }
}

TEST(HFSPlus, DeletedFileBeyondEightExtentsIsPartialAndEndsWithItsKnownExtents) {
    // Moving the first leaf to node 2 frees node 1, which holds the root's
    // folders and the 12-extent database (8 in its record, 4 in the overflow file).
    auto freed = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        put32(image, layout.node(0) + 24, 2);
    });
    ASSERT_TRUE(freed.volume);
    EXPECT_EQ((*freed.volume)->label, "Sovanta Arkiv");
    const FileNode& db = *freed.files.at("Dokumenter/database_fragmenteret.db");
    EXPECT_EQ(db.status, EntryStatus::deleted);
    EXPECT_EQ(db.size, 514860u);
    EXPECT_EQ(db.recoverability, Recoverability::partial);
    EXPECT_EQ(db.note, HFSPlusParser::fragmentedNote);
    const auto& extents = extentsOf(db);
    // The part past the eighth extent is unknown, not a hole of zeros: no
    // extent stands for it, so the file reader counts it as unreadable.
    ASSERT_EQ(extents.size(), 8u);
    EXPECT_EQ(extents[0], (Extent{4067u * 4096, 11u * 4096}));
    uint64_t placed = 0;
    for (auto& extent : extents) placed += extent.offset ? extent.length : 0;
    EXPECT_EQ(placed, 85u * 4096);
    // Live files in a folder whose record is now deleted are shown as deleted.
    const FileNode& log00 = *freed.files.at("Dokumenter/Logbog/log_00.txt");
    EXPECT_EQ(log00.status, EntryStatus::deleted);
    EXPECT_EQ(log00.recoverability, Recoverability::good);
}

TEST(HFSPlus, LiveFileUsesTheExtentsOverflowFile) {
    auto source = SourceOpener::openImage(fixtureImage(journaled));
    auto volume = HFSPlusParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    const FileNode& db = *listing((*volume)->root).at("Dokumenter/database_fragmenteret.db");
    ASSERT_EQ(extentsOf(db).size(), 12u);
    uint64_t total = 0;
    for (auto& e : extentsOf(db)) {
        EXPECT_TRUE(e.offset);
        total += e.length;
    }
    EXPECT_EQ(total, 514860u);

    // Without the overflow file the live file keeps its first eight extents
    // and is partial; no extent stands for the unknown rest.
    auto noOverflow = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        put64(image, layout.header + 192, 0);
    });
    ASSERT_TRUE(noOverflow.volume);
    const FileNode& cut = *noOverflow.files.at("Dokumenter/database_fragmenteret.db");
    EXPECT_EQ(cut.status, EntryStatus::existing);
    EXPECT_EQ(cut.recoverability, Recoverability::partial);
    EXPECT_EQ(cut.note, HFSPlusParser::fragmentedNote);
    ASSERT_EQ(extentsOf(cut).size(), 8u);
    for (auto& e : extentsOf(cut)) EXPECT_TRUE(e.offset);
}

// ---- single-field damage and special records --------------------------------

TEST(HFSPlus, SpecialRecords) {
    auto changed = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        // A compressed file.
        size_t flags = findRecord(image, layout, "Æbleskiver.txt").data + 41;
        image.set(flags, image.get(flags) | 0x20);
        // A folder record with an empty name.
        put16(image, findRecord(image, layout, "Blåbærgrød").record + 6, 0);
        // A file whose parent has no record.
        put32(image, findRecord(image, layout, "sang om Ørsted.txt").record + 2, 999);
        // A cycle: Søby's parent becomes its own grandchild.
        put32(image, findRecord(image, layout, "Søby").record + 2, 27);
    });
    ASSERT_TRUE(changed.volume);
    auto& files = changed.files;

    const FileNode& compressed = *files.at("Æbleskiver.txt");
    EXPECT_EQ(compressed.recoverability, Recoverability::poor);
    EXPECT_EQ(compressed.note, HFSPlusParser::compressedNote);
    EXPECT_EQ(compressed.size, 479u);
    EXPECT_TRUE(extentsOf(compressed).empty());
    EXPECT_TRUE(std::holds_alternative<std::vector<Extent>>(compressed.data));

    EXPECT_TRUE(files.count("unavngivet-23/opskrift på blåbærgrød.txt"));

    const std::string orphans = std::string(HFSPlusParser::orphanFolderName) + "/";
    ASSERT_TRUE(files.count(orphans));
    EXPECT_EQ(files.at(orphans)->status, EntryStatus::orphaned);
    EXPECT_EQ(files.at(orphans)->fsID, 0u);
    EXPECT_EQ(files.at(orphans + "sang om Ørsted.txt")->status, EntryStatus::orphaned);
    for (const char* name : {"Søby/", "Havn/", "Færgeleje/", "færgeplan sommer.txt"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(files.count(orphans + name));
        EXPECT_EQ(files.at(orphans + name)->status, EntryStatus::orphaned);
    }
    EXPECT_TRUE(files.count("Ærø/"));
    EXPECT_FALSE(files.count("Ærø/Søby/"));
    // The synthetic folder sorts with the other folders of the root.
    EXPECT_TRUE((*changed.volume)->root->children().front()->isDirectory);
}

TEST(HFSPlus, DeletedFileWithoutItsParentStaysDeletedAmongTheOrphans) {
    auto changed = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        linkNode(image, layout, 4, 6);
        put32(image, findRecord(image, layout, "log_06.txt").record + 2, 999);
    });
    ASSERT_TRUE(changed.volume);
    auto found = changed.files.find(std::string(HFSPlusParser::orphanFolderName) + "/log_06.txt");
    ASSERT_NE(found, changed.files.end());
    EXPECT_EQ(found->second->status, EntryStatus::deleted);
}

TEST(HFSPlus, BrokenLeafLinksEndTheLiveChain) {
    // A link back into the chain, to itself, or past the last node: the walk
    // stops there and node 5 falls off the chain.
    for (uint32_t link : {1u, 4u, 0xFFFFFFFFu, 96u}) {
        SCOPED_TRACE(link);
        auto changed = parseChanged(journaled, 0, [link](Patch& image, const Layout& layout) {
            linkNode(image, layout, 4, link);
        });
        ASSERT_TRUE(changed.volume);
        EXPECT_EQ(changed.files.at("Dokumenter/Logbog/log_05.txt")->status, EntryStatus::existing);
        EXPECT_EQ(changed.files.at("Dokumenter/Logbog/log_06.txt")->status, EntryStatus::deleted);
        EXPECT_EQ(changed.files.at("Æbleskiver.txt")->status, EntryStatus::existing);
    }
}

TEST(HFSPlus, DamagedNodeIsCutAtItsFirstInconsistentRecord) {
    auto changed = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        size_t table = layout.node(2) + layout.nodeSize;
        put16(image, table - 2 * 6, 20);  // record 5 would start before record 4
    });
    ASSERT_TRUE(changed.volume);
    EXPECT_TRUE(changed.files.count("Dokumenter/Rapporter/2023/årsrapport 2023.txt"));
    EXPECT_FALSE(changed.files.count("Dokumenter/Billeder/strand ved Søby.jpg"));
    EXPECT_FALSE(changed.files.count("Musik/koncertoptagelse.wav"));
    EXPECT_TRUE(changed.files.count("Musik/sang om Ørsted.txt"));
}

TEST(HFSPlus, MissingAllocationFile) {
    auto changed = parseChanged(journaled, 0, [](Patch& image, const Layout& layout) {
        put64(image, layout.header + 112, 0);
        linkNode(image, layout, 4, 6);
    });
    ASSERT_TRUE(changed.volume);
    EXPECT_EQ((*changed.volume)->notes, std::vector<std::string>{HFSPlusParser::allocationNote});
    const FileNode& log06 = *changed.files.at("Dokumenter/Logbog/log_06.txt");
    EXPECT_EQ(log06.recoverability, Recoverability::unknown);
    EXPECT_FALSE(log06.note);
    EXPECT_EQ(changed.files.at("Æbleskiver.txt")->recoverability, Recoverability::good);
}

TEST(HFSPlus, NoVolume) {
    struct Case {
        const char* what;
        std::function<void(Patch&, const Layout&)> change;
    };
    const Case cases[] = {
        {"signature", [](Patch& b, const Layout& l) { put16(b, l.header, 0x4244); }},
        {"HFS+ signature with the HFSX version", [](Patch& b, const Layout& l) { put16(b, l.header + 2, 5); }},
        {"block size 768", [](Patch& b, const Layout& l) { put32(b, l.header + 40, 768); }},
        {"block size 2 MiB", [](Patch& b, const Layout& l) { put32(b, l.header + 40, 2097152); }},
        {"no blocks", [](Patch& b, const Layout& l) { put32(b, l.header + 44, 0); }},
        {"catalog node size 384", [](Patch& b, const Layout& l) { put16(b, l.node(0) + 32, 384); }},
        {"catalog of size 0", [](Patch& b, const Layout& l) { put64(b, l.header + 272, 0); }},
        {"catalog without leaf nodes",
         [](Patch& b, const Layout& l) {
             for (size_t n = 1; n < l.nodeCount; ++n)
                 if (b.get(l.node(n) + 8) == 0xFF) b.set(l.node(n) + 8, 0);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto changed = parseChanged(journaled, 0, c.change);
        ASSERT_TRUE(changed.source);
        EXPECT_FALSE(changed.volume);
    }
}

TEST(HFSPlus, PlacesPastTheEndOfTheSourceKeepTheirOffsets) {
    // The image cut after block 2000: the catalog is inside, the database is
    // not. Its places are kept so that the file reader counts them unreadable.
    auto image = readBytes(fixtureImage(journaled));
    image.resize(2000 * 4096);
    auto source = memorySource(image);
    auto volume = HFSPlusParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    auto files = listing((*volume)->root);
    for (auto& e : extentsOf(*files.at("Dokumenter/database_fragmenteret.db")))
        EXPECT_TRUE(e.offset && *e.offset >= image.size());
    EXPECT_TRUE(extentsOf(*files.at("Æbleskiver.txt")).front().offset);
}

TEST(HFSPlus, LoaderDispatchAndProgress) {
    auto source = SourceOpener::openImage(fixtureImage("hfsplus_gpt"));
    std::vector<std::string> messages;
    WorkProgress progress([&](double fraction, const std::string& message) {
        EXPECT_EQ(fraction, 0);
        messages.push_back(message);
    });
    auto volumes = VolumeLoader::load(*source, FileSystemType::hfsplus, 5242880, origin::deepScan, &progress);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0]->origin, origin::deepScan);
    EXPECT_EQ(volumes[0]->size, 8955u * 4096);
    EXPECT_EQ(messages, std::vector<std::string>{HFSPlusParser::progressMessage});
    // Not a volume start: nothing, and no message.
    messages.clear();
    EXPECT_TRUE(VolumeLoader::load(*source, FileSystemType::hfsplus, 0, origin::deepScan, &progress).empty());
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(HFSPlusParser::parse(*source, UINT64_MAX - 100, origin::deepScan));
}

// The rating of a deleted file equals a block-by-block test of its runs
// against the allocation file, for runs that cross bytes, stretches, the end
// of the allocation file and the testing budget of 1,048,576 blocks.
TEST(HFSPlus, DeletedFileRatingMatchesABlockByBlockTest) {
    Bytes header(512, 0);
    header[42] = 0x10;  // 4096-byte blocks (big-endian at 40)
    header[47] = 0xFF;
    auto source = memorySource(Bytes(4096, 0));
    std::mt19937 random(7);
    for (int round = 0; round < 300; ++round) {
        HFSContext context(*source, 0, header);
        bool big = round % 10 == 0;
        context.allocation.assign(big ? 300000 : 2000, 0);
        HFSContext::CatalogEntry entry;
        entry.id = 100;
        HFSFork fork;
        // Set blocks gather at the edges of the runs, where an off-by-one shows.
        std::vector<uint64_t> edges;
        for (int i = 0, runs = 1 + static_cast<int>(random() % 4); i < runs; ++i) {
            HFSRun run{static_cast<uint32_t>(random() % 17000), static_cast<uint32_t>(1 + random() % 3000)};
            if (big && i == 0) run = {0, 2000000};
            fork.extents.push_back(run);
            fork.logicalSize += uint64_t{run.count} * 4096;
            uint64_t end = uint64_t{run.start} + run.count;
            for (uint64_t b : {uint64_t{run.start} - 1, uint64_t{run.start}, uint64_t{run.start} + 1, end - 1, end})
                edges.push_back(b);
        }
        for (uint64_t b : {4095u, 4096u, 8191u, 8192u}) edges.push_back(b);  // stretches of the index
        if (big) edges = {1048575, 1048576, 1048577};
        for (int i = 0, bits = static_cast<int>(random() % 3); i < bits; ++i) {
            uint64_t block = edges[random() % edges.size()];
            if (block / 8 < context.allocation.size())
                context.allocation[block / 8] |= static_cast<uint8_t>(0x80 >> (block % 8));
        }
        bool first = false, other = false;
        uint64_t tested = 0;
        for (const auto& run : fork.extents)
            for (uint64_t b = run.start; b < uint64_t{run.start} + run.count && tested < 1048576; ++b, ++tested) {
                bool used = b / 8 < context.allocation.size() && (context.allocation[b / 8] & (0x80 >> (b % 8)));
                if (used) (tested == 0 ? first : other) = true;
            }
        Recoverability expected = first ? Recoverability::poor : other ? Recoverability::partial : Recoverability::good;
        auto node = FileNode::make("x", false, 0, EntryStatus::deleted, Recoverability::unknown, NoData{});
        context.fill(*node, fork, entry.id, entry);
        ASSERT_EQ(node->recoverability, expected) << "round " << round;
    }
}

// Random damage to the catalog, the header's fork fields and the extents
// overflow file must give a volume or none, never a crash or a hang.
TEST(HFSPlus, SurvivesRandomDamage) {
    std::mt19937 random(20240315);
    for (int round = 0; round < 150; ++round) {
        auto changed = parseChanged("hfsx_casesensitive", 0, [&](Patch& image, const Layout& layout) {
            int flips = 1 + static_cast<int>(random() % 16);
            for (int i = 0; i < flips; ++i) {
                size_t at;
                switch (random() % 4) {
                    case 0: at = layout.header + 112 + random() % 240; break;
                    case 1: at = layout.node(0) + random() % 64; break;
                    default: at = layout.catalog + random() % (layout.nodeSize * 5); break;
                }
                image.set(at, static_cast<uint8_t>(random()));
            }
        });
        if (changed.volume) {
            EXPECT_EQ((*changed.volume)->root->fsID, 2u);
        }
    }
}

}  // namespace

// A fork cannot hold more bytes than the volume its header describes: damaged
// fork sizes and extents of a small volume on a large source read no further
// than the volume's end (the fuzzer's input made every load read a gigabyte).
// A header without a block count keeps the source as the only bound.
TEST(HFSPlus, ForkReadsStopAtTheVolumesEnd) {
    auto source = memorySource(Bytes(16 << 20, 0));
    HFSFork fork;
    fork.logicalSize = uint64_t{0x60} << 56;
    fork.extents = {{0, 2048}, {2048, 2048}};
    for (auto [totalBlocks, expected] : {std::pair<uint32_t, uint64_t>{256, 1 << 20}, {0, 16 << 20}}) {
        Bytes header(512, 0);
        header[42] = 0x10;  // 4096-byte blocks (big-endian at 40)
        header[44] = static_cast<uint8_t>(totalBlocks >> 24);
        header[45] = static_cast<uint8_t>(totalBlocks >> 16);
        header[46] = static_cast<uint8_t>(totalBlocks >> 8);
        header[47] = static_cast<uint8_t>(totalBlocks);
        HFSContext context(*source, 0, header);
        EXPECT_EQ(context.readFork(fork, 4, uint64_t{1} << 30).size(), expected) << totalBlocks;
    }
}
