// APFS volumes and their file trees: the fixture images against their
// manifests, damaged and changed copies of them, and built trees for the cases
// no real image shows.
#include <gtest/gtest.h>

#include <regex>

#include "APFSTestSupport.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

const char* const encryptedNote =
    "Volumen er krypteret (FileVault). Filerne kan ikke læses uden at låse disken op i macOS.";
const char* const incompleteNote = "Filens placering er ikke fuldt kendt";
const char* const compressedNote = "APFS-komprimeret fil – indholdet kan ikke gendannes direkte";
const char* const orphanFolderName = "$Forældreløse filer";

struct FixtureCase {
    std::string name;
    uint64_t offset;
    std::string label;
    uint64_t blocks;
};

const std::vector<FixtureCase>& fixtures() {
    static const std::vector<FixtureCase> all{{"apfs_single", 0, "Sovanta APFS", 24576},
                                              {"apfs_gpt", 1048576, "Sovanta APFS GPT", 25339},
                                              {"apfs_macos_sample", 0, "apfs_test", 1014}};
    return all;
}

std::shared_ptr<APFSDeepInfo> deepInfo(const Volume& volume) {
    auto info = std::any_cast<std::shared_ptr<APFSDeepInfo>>(&volume.deepContext);
    return info ? *info : nullptr;
}

uint64_t idFromNote(const std::string& note) {
    std::smatch m;
    if (std::regex_search(note, m, std::regex("(?:inode|id) (\\d+)"))) return std::stoull(m[1]);
    return 0;
}

// Runs of physically contiguous placed bytes, as the manifest counts fragments.
size_t physicalRuns(const FileNode& file) {
    size_t runs = 0;
    std::optional<uint64_t> next;
    for (const auto& e : std::get<std::vector<Extent>>(file.data)) {
        if (!e.offset || e.length == 0) continue;
        if (!next || *next != *e.offset) ++runs;
        next = *e.offset + e.length;
    }
    return runs;
}

// The block number of the volume superblock and of the file-system tree's
// leaves, found through the container's and the volume's object maps.
struct TreeBlocks {
    uint64_t volume = 0;
    std::vector<uint64_t> leaves;
};
TreeBlocks treeBlocks(DiskSource& src, uint64_t base) {
    TreeBlocks out;
    auto c = APFSContainer::open(src, base);
    auto omap = c->loadOMap(u64le(c->sb, 160), c->xid);
    out.volume = omap.at(u64le(c->sb, 184));
    Bytes vol = c->readAt(*c->blockOffset(out.volume));
    auto vomap = c->loadOMap(u64le(vol, 128), c->xid);
    std::vector<uint64_t> stack{vomap.at(u64le(vol, 136))};
    while (!stack.empty()) {
        uint64_t b = stack.back();
        stack.pop_back();
        auto node = c->parseNode(c->readAt(*c->blockOffset(b)), 16, 16);
        if (node->level == 0) {
            out.leaves.push_back(b);
            continue;
        }
        for (const auto& r : node->records) stack.push_back(vomap.at(u64le(r.value, 0)));
    }
    return out;
}

VolumePtr onlyVolume(DiskSource& src, uint64_t offset = 0) {
    auto volumes = APFSParser::parse(src, offset, origin::partitionTable);
    return volumes.size() == 1 ? volumes[0] : nullptr;
}

}  // namespace

// MARK: The fixture images against their manifests

TEST(APFSVolume, FixturesAgreeWithTheirManifests) {
    for (const auto& fx : fixtures()) {
        SCOPED_TRACE(fx.name);
        auto src = SourceOpener::openImage(fixtureImage(fx.name));
        auto volumes = VolumeLoader::load(*src, FileSystemType::apfs, fx.offset, origin::partitionTable);
        ASSERT_EQ(volumes.size(), 1u);
        const auto& volume = *volumes[0];
        EXPECT_EQ(volume.type, FileSystemType::apfs);
        EXPECT_EQ(volume.label, fx.label);
        EXPECT_EQ(volume.offset, fx.offset);
        EXPECT_EQ(volume.size, fx.blocks * 4096);
        EXPECT_EQ(volume.clusterSize, 4096u);
        EXPECT_EQ(volume.origin, origin::partitionTable);
        EXPECT_TRUE(volume.notes.empty());
        auto info = deepInfo(volume);
        ASSERT_TRUE(info);
        EXPECT_EQ(info->base, fx.offset);
        EXPECT_EQ(info->blockCount, fx.blocks);
        EXPECT_EQ(info->dirs.at(2), volume.root);

        auto tree = nodesByPath(volume.root);
        std::set<std::string> listed;
        for (auto row : readManifest(fx.name)) {
            if (row.path.size() > 1 && row.path[0] == 'p' && row.path.find(':') != std::string::npos)
                row.path = row.path.substr(row.path.find(':') + 1);
            if (row.path.empty()) continue;  // the partition itself
            SCOPED_TRACE(row.path);
            auto found = tree.find(row.path);
            // Symbolic links are not listed, nor is anything the private folder
            // holds (a file unlinked while open); deleted files come only from
            // old tree nodes.
            if (row.note.find("symlink") != std::string::npos || row.status != "existing") {
                EXPECT_EQ(found, tree.end());
                continue;
            }
            ASSERT_NE(found, tree.end());
            listed.insert(row.path);
            const auto& node = *found->second;
            EXPECT_EQ(node.status, EntryStatus::existing);
            EXPECT_EQ(node.fsID, idFromNote(row.note));
            if (row.mtime != "-") {
                ASSERT_TRUE(node.modified);
                EXPECT_EQ(isoUTC(*node.modified), row.mtime);
            }
            if (node.isDirectory) continue;
            EXPECT_EQ(node.size, std::stoull(row.size));
            EXPECT_EQ(node.recoverability, Recoverability::good);
            EXPECT_FALSE(node.note);
            if (row.fragments != "-" && row.note.find("sparse") == std::string::npos) {
                EXPECT_EQ(physicalRuns(node), std::stoull(row.fragments));
            }
            if (row.path == "Video/film i ét stykke.mp4") {
                // Its blocks are zero-filled in the committed image: its place is checked instead.
                EXPECT_EQ(std::get<std::vector<Extent>>(node.data), (std::vector<Extent>{{283 * 4096, 9437961}}));
                continue;
            }
            EXPECT_EQ(contentHash(*src, node), row.sha256);
        }
        for (const auto& [path, node] : tree) EXPECT_TRUE(listed.count(path)) << "not in the manifest: " << path;
    }
}

TEST(APFSVolume, SparseFilePlacesHolesAndStaysGood) {
    auto src = SourceOpener::openImage(fixtureImage("apfs_single"));
    auto volume = onlyVolume(*src);
    ASSERT_TRUE(volume);
    auto file = nodesByPath(volume->root).at("Data/sparse diskimage.img");
    // Data at 4 KiB blocks 0-3, 300-301 and 700-701, holes between and after
    // (adjacent placed extents counted as one run).
    std::vector<std::pair<bool, uint64_t>> shape;
    std::optional<uint64_t> next;
    for (const auto& e : std::get<std::vector<Extent>>(file->data)) {
        if (e.offset && next)
            shape.back().second += e.length;
        else
            shape.emplace_back(e.offset.has_value(), e.length);
        next = e.offset;
    }
    EXPECT_EQ(shape, (std::vector<std::pair<bool, uint64_t>>{{true, 16384},
                                                             {false, 296 * 4096},
                                                             {true, 8192},
                                                             {false, 398 * 4096},
                                                             {true, 8192},
                                                             {false, 4096123 - 702 * 4096}}));
    EXPECT_EQ(file->recoverability, Recoverability::good);
}

// MARK: Changed copies of a real container

TEST(APFSVolume, NotesForRoleEncryptionMissingTreeAndDamagedSuperblock) {
    const Bytes& original = fixtureBytes("apfs_single");
    auto plain = memorySource(original);
    uint64_t vol = treeBlocks(*plain, 0).volume;
    auto fileCount = static_cast<size_t>(onlyVolume(*plain)->root->totals().files);

    // Changes to the volume superblock (whose checksum is not checked) and to block 0.
    auto role = [](uint16_t value) { return [value](Bytes& b) { put16(b, 964, value); }; };
    auto encrypt = [](Bytes& b) { b[264] &= 0xFE; };
    auto breakBlock0 = [](Bytes& b) { b[3000] ^= 0x40; };
    struct Case {
        const char* what;
        std::function<void(Bytes&)> volume, block0;
        std::vector<std::string> notes;
        bool files;
    };
    const std::string damaged = "Containerens superblok har forkert kontrolsum.";
    for (const Case& c : std::vector<Case>{
             {"role 2", role(2), nullptr, {"Rolle: Bruger"}, true},
             {"role 64", role(64), nullptr, {"Rolle: Data"}, true},
             {"role 0x20", role(0x20), nullptr, {"Rolle: 0x20"}, true},
             {"role 0x1C0", role(0x1C0), nullptr, {"Rolle: 0x1C0"}, true},
             {"encrypted", encrypt, nullptr, {encryptedNote}, false},
             {"missing root tree", [](Bytes& b) { put64(b, 136, 0x7777); }, nullptr,
              {"Filsystemets rodtræ kunne ikke findes."}, false},
             {"damaged block 0", nullptr, breakBlock0, {damaged}, true},
             {"all at once",
              [&](Bytes& b) {
                  role(1)(b);
                  encrypt(b);
              },
              breakBlock0, {damaged, "Rolle: System", encryptedNote}, false},
         }) {
        SCOPED_TRACE(c.what);
        std::map<uint64_t, Bytes> changed;
        if (c.volume) c.volume(changed[vol] = blockOf(original, vol));
        if (c.block0) c.block0(changed[0] = blockOf(original, 0));
        auto src = memorySource(original, changed);
        auto volume = onlyVolume(*src);
        ASSERT_TRUE(volume);
        EXPECT_EQ(volume->notes, c.notes);
        EXPECT_EQ(volume->label, "Sovanta APFS");
        if (c.files) {
            EXPECT_EQ(volume->root->totals().files, static_cast<int64_t>(fileCount));
            EXPECT_TRUE(deepInfo(*volume));
        } else {
            EXPECT_TRUE(volume->root->children().empty());
            EXPECT_FALSE(volume->deepContext.has_value());
        }
    }
}

TEST(APFSVolume, CorruptLeafIsSkippedWithANoteAndTheRestIsRead) {
    const Bytes& original = fixtureBytes("apfs_single");
    auto plain = memorySource(original);
    auto blocks = treeBlocks(*plain, 0);
    ASSERT_GE(blocks.leaves.size(), 2u);
    uint64_t broken = blocks.leaves[0];

    // What the broken leaf held: directory entry names and inode ids.
    auto c = APFSContainer::open(*plain, 0);
    auto node = c->parseNode(blockOf(original, broken), 16, 16);
    std::set<std::string> lostNames;
    std::set<uint64_t> lostInodes;
    for (const auto& r : node->records) {
        uint64_t head = u64le(r.key, 0);
        if ((head >> 60) == 9) lostNames.insert(std::string(r.key.begin() + 12, r.key.end() - 1));
        if ((head >> 60) == 3) lostInodes.insert(head & 0x0FFFFFFFFFFFFFFFULL);
    }
    ASSERT_FALSE(lostNames.empty() && lostInodes.empty());

    Bytes damaged = blockOf(original, broken);
    damaged[2048] ^= 0xFF;
    auto src = memorySource(original, {{broken, damaged}});
    auto volume = onlyVolume(*src);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->notes, std::vector<std::string>{"1 beskadigede træknuder blev sprunget over."});

    // Every other file is still there: at its path, or among the orphans when
    // a folder's entry was lost; without an inode it is marked so.
    auto tree = nodesByPath(volume->root);
    std::map<std::string, FileNodePtr> byName;
    for (const auto& [path, n] : tree) byName[n->name] = n;
    size_t seen = 0;
    for (const auto& row : readManifest("apfs_single")) {
        if (row.status != "existing" || row.path.back() == '/') continue;
        std::string name = row.path.substr(row.path.rfind('/') + 1);
        SCOPED_TRACE(row.path);
        if (lostNames.count(name)) {
            EXPECT_FALSE(byName.count(name));
            continue;
        }
        ASSERT_TRUE(byName.count(name));
        const auto& file = byName[name];
        EXPECT_TRUE(tree.count(row.path) || file->path().rfind("/" + std::string(orphanFolderName) + "/", 0) == 0)
            << file->path();
        if (lostInodes.count(idFromNote(row.note))) {
            EXPECT_EQ(file->note, "Inode mangler");
            EXPECT_EQ(file->recoverability, Recoverability::poor);
        } else {
            EXPECT_EQ(file->size, std::stoull(row.size));
        }
        ++seen;
    }
    EXPECT_GT(seen, 0u);
}

TEST(APFSVolume, CompressedFileIsListedButNotPlaced) {
    const Bytes& original = fixtureBytes("apfs_single");
    auto plain = memorySource(original);
    auto blocks = treeBlocks(*plain, 0);
    auto c = APFSContainer::open(*plain, 0);
    // Set the compressed flag in the inode of Dokumenter/huskeseddel.txt (27) and re-seal its leaf.
    std::map<uint64_t, Bytes> changed;
    for (uint64_t leaf : blocks.leaves) {
        Bytes block = blockOf(original, leaf);
        auto node = c->parseNode(block, 16, 16);
        for (const auto& r : node->records) {
            if (u64le(r.key, 0) != ((3ULL << 60) | 27)) continue;
            auto at = static_cast<size_t>(std::search(block.begin(), block.end(), r.value.begin(), r.value.end()) -
                                          block.begin());
            put32(block, at + 68, u32le(r.value, 68) | 0x20);
            seal(block);
            changed[leaf] = block;
        }
    }
    ASSERT_EQ(changed.size(), 1u);
    auto src = memorySource(original, changed);
    auto volume = onlyVolume(*src);
    ASSERT_TRUE(volume);
    EXPECT_TRUE(volume->notes.empty());
    auto file = nodesByPath(volume->root).at("Dokumenter/huskeseddel.txt");
    EXPECT_EQ(file->size, 1747u);
    EXPECT_EQ(file->note, compressedNote);
    EXPECT_EQ(file->recoverability, Recoverability::poor);
    EXPECT_EQ(std::get<std::vector<Extent>>(file->data), std::vector<Extent>{});
}

// MARK: Built trees

TEST(APFSVolume, PlacesFileDataFromExtents) {
    MiniAPFS mini;
    const uint64_t B = 4096;
    mini.setTree({
        dirRecord(2, "short end", 20, 8), inodeRecord(20, 2, 20, 10000), extentRecord(20, 0, 4096, 30),
        dirRecord(2, "no extents", 21, 8), inodeRecord(21, 2, 21, 10000),
        dirRecord(2, "leading hole", 22, 8), inodeRecord(22, 2, 22, 12288), extentRecord(22, 8192, 4096, 31),
        dirRecord(2, "block 0 is a hole", 23, 8), inodeRecord(23, 2, 23, 8192), extentRecord(23, 0, 4096, 0),
        extentRecord(23, 4096, 4096, 32),
        dirRecord(2, "empty", 24, 8), inodeRecord(24, 2, 24, 0),
        dirRecord(2, "overlap and long extent", 25, 8), inodeRecord(25, 2, 25, 6000), extentRecord(25, 0, 4096, 33),
        extentRecord(25, 2048, 4096, 40), extentRecord(25, 4096, 8192, 34),
        dirRecord(2, "out of order", 26, 8), inodeRecord(26, 2, 126, 8192), extentRecord(126, 4096, 4096, 36),
        extentRecord(126, 0, 4096, 35),
        dirRecord(2, "compressed", 27, 8), inodeRecord(27, 2, 27, 5000, 0x20), extentRecord(27, 0, 8192, 37),
        dirRecord(2, "no inode", 28, 8),
        dirRecord(2, "extent past the end", 29, 8), inodeRecord(29, 2, 29, 4096), extentRecord(29, 8192, 4096, 38),
    });
    auto src = memorySource(mini.image());
    auto volume = onlyVolume(*src);
    ASSERT_TRUE(volume);
    auto tree = nodesByPath(volume->root);
    using E = std::vector<Extent>;
    struct Want {
        std::string name;
        FileData data;
        Recoverability rating;
        std::optional<std::string> note;
        uint64_t size;
    };
    for (const Want& w : std::vector<Want>{
             // An end no extent covers is unknown, not a hole: no extent stands for it.
             {"short end", E{{30 * B, 4096}}, Recoverability::partial, incompleteNote, 10000},
             {"no extents", E{}, Recoverability::poor, incompleteNote, 10000},
             {"leading hole", E{{std::nullopt, 8192}, {31 * B, 4096}}, Recoverability::good, std::nullopt, 12288},
             {"block 0 is a hole", E{{std::nullopt, 4096}, {32 * B, 4096}}, Recoverability::good, std::nullopt, 8192},
             {"empty", E{}, Recoverability::good, std::nullopt, 0},
             {"overlap and long extent", E{{33 * B, 4096}, {34 * B, 1904}}, Recoverability::good, std::nullopt, 6000},
             {"out of order", E{{35 * B, 4096}, {36 * B, 4096}}, Recoverability::good, std::nullopt, 8192},
             {"compressed", E{}, Recoverability::poor, compressedNote, 5000},
             {"no inode", NoData{}, Recoverability::poor, "Inode mangler", 0},
             // An extent wholly past the end leaves a file of one hole, like a sparse file.
             {"extent past the end", E{{std::nullopt, 4096}}, Recoverability::good, std::nullopt, 4096},
         }) {
        SCOPED_TRACE(w.name);
        ASSERT_TRUE(tree.count(w.name));
        const auto& file = *tree.at(w.name);
        EXPECT_EQ(file.data, w.data);
        EXPECT_EQ(file.recoverability, w.rating);
        EXPECT_EQ(file.note, w.note);
        EXPECT_EQ(file.size, w.size);
        EXPECT_EQ(file.status, EntryStatus::existing);
    }
}

TEST(APFSVolume, OrphansPrivateFolderAndLoops) {
    MiniAPFS mini;
    mini.setTree({
        dirRecord(2, "Docs", 16, 4), inodeRecord(16, 2, 16, 0), dirRecord(16, "a.txt", 17, 8),
        inodeRecord(17, 16, 17, 0),
        // A folder the private folder holds is not shown; its files and
        // folders become orphans, and what the private folder holds directly
        // appears nowhere.
        dirRecord(3, "held", 30, 4), dirRecord(30, "in held.txt", 31, 8), inodeRecord(31, 30, 31, 0),
        dirRecord(30, "inner", 32, 4), dirRecord(32, "deeper", 33, 4), dirRecord(3, "0x22-dead", 34, 8),
        inodeRecord(34, 3, 34, 0),
        // Two folders holding each other, and one whose holder is unknown.
        dirRecord(41, "loop a", 40, 4), dirRecord(40, "loop b", 41, 4), dirRecord(40, "in loop.txt", 42, 8),
        dirRecord(99, "lost holder", 50, 4),
        // A folder named twice, once inside its own child: it hangs where the
        // last entry puts it and no loop forms.
        dirRecord(61, "twice", 60, 4), dirRecord(60, "child", 61, 4), dirRecord(2, "twice", 60, 4),
        // Entries naming reserved ids or held by folder 1 are ignored.
        dirRecord(2, "reserved", 3, 8), dirRecord(1, "other root", 70, 4),
        // The same name in both key layouts, and a name with an invalid byte.
        dirRecord(16, "hashed æ", 80, 8, true), inodeRecord(80, 16, 80, 0), dirRecord(16, "plain æ", 81, 8, false),
        inodeRecord(81, 16, 81, 0), dirRecord(16, "bad \xFF byte", 82, 8), inodeRecord(82, 16, 82, 0),
    });
    auto src = memorySource(mini.image());
    auto volume = onlyVolume(*src);
    ASSERT_TRUE(volume);
    std::vector<std::string> paths;
    for (const auto& [path, node] : nodesByPath(volume->root)) paths.push_back(path);
    const std::string o = std::string(orphanFolderName) + "/";
    EXPECT_EQ(paths, (std::vector<std::string>{o,
                                               o + "deeper/",
                                               o + "in held.txt",
                                               o + "inner/",
                                               o + "loop a/",
                                               o + "loop a/in loop.txt",
                                               o + "loop b/",
                                               o + "lost holder/",
                                               "Docs/",
                                               "Docs/a.txt",
                                               "Docs/bad \xEF\xBF\xBD byte",
                                               "Docs/hashed æ",
                                               "Docs/plain æ",
                                               "twice/",
                                               "twice/child/"}));
    auto orphans = nodesByPath(volume->root).at(o);
    EXPECT_EQ(orphans->status, EntryStatus::orphaned);
    EXPECT_EQ(orphans->recoverability, Recoverability::unknown);
    EXPECT_EQ(orphans->fsID, 0u);
    EXPECT_EQ(nodesByPath(volume->root).at(o + "in held.txt")->status, EntryStatus::existing);
    EXPECT_EQ(volume->root->children().front()->name, orphanFolderName);  // sorted among the folders
    EXPECT_EQ(volume->root->totals().folders, 9);
}

TEST(APFSVolume, TreeWalkCountsDamagedNodesAndStopsAtDepth32) {
    // A physical tree: an index root at block 6 over a good leaf (7), a broken
    // leaf (8), block 0 and a block past the container.
    MiniAPFS mini(64);
    put32(mini.blocks[3], 116, 0x40000000);
    put64(mini.blocks[3], 136, 6);
    auto index = [](std::vector<uint64_t> children, uint16_t flags, uint16_t level) {
        std::vector<Record> records;
        for (uint64_t child : children) records.push_back({le64((3ULL << 60) | child), le64(child)});
        return makeNode(records, flags, level, 10);
    };
    mini.blocks[6] = index({7, 8, 0, 500}, 1, 1);
    mini.blocks[7] = makeNode({dirRecord(2, "kept.txt", 20, 8), inodeRecord(20, 2, 20, 0)}, 2, 0, 10);
    mini.blocks[8] = makeNode({dirRecord(2, "lost.txt", 21, 8), inodeRecord(21, 2, 21, 0)}, 2, 0, 10);
    mini.blocks[8][300] ^= 1;
    auto src = memorySource(mini.image());
    auto volume = onlyVolume(*src);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->notes, std::vector<std::string>{"3 beskadigede træknuder blev sprunget over."});
    auto tree = nodesByPath(volume->root);
    EXPECT_TRUE(tree.count("kept.txt"));
    EXPECT_FALSE(tree.count("lost.txt"));

    // A chain of index nodes: a leaf at depth 31 is read, one at depth 32 is
    // dropped without a note.
    for (auto [levels, read] : std::vector<std::pair<int, bool>>{{31, true}, {32, false}}) {
        MiniAPFS deep(64);
        put32(deep.blocks[3], 116, 0x40000000);
        put64(deep.blocks[3], 136, 6);
        for (int i = 0; i < levels; ++i)
            deep.blocks[static_cast<size_t>(6 + i)] = index({static_cast<uint64_t>(7 + i)}, i == 0 ? 1 : 0, static_cast<uint16_t>(levels - i));
        deep.blocks[static_cast<size_t>(6 + levels)] = makeNode({dirRecord(2, "deep.txt", 20, 8), inodeRecord(20, 2, 20, 0)}, 2, 0, 10);
        auto deepSrc = memorySource(deep.image());
        auto v = onlyVolume(*deepSrc);
        ASSERT_TRUE(v);
        EXPECT_EQ(nodesByPath(v->root).count("deep.txt"), read ? 1u : 0u) << levels;
        EXPECT_TRUE(v->notes.empty());
    }
}

TEST(APFSVolume, VolumeSlotsProgressAndCancellation) {
    // At most the first 100 of 150 slots are read.
    for (auto [slot, found] : std::vector<std::pair<int, size_t>>{{99, 1}, {100, 0}}) {
        MiniAPFS mini;
        put32(mini.blocks[0], 180, 150);
        put64(mini.blocks[0], 184, 0);
        put64(mini.blocks[0], static_cast<size_t>(184 + 8 * slot), 1026);
        auto src = memorySource(mini.image());
        EXPECT_EQ(APFSParser::parse(*src, 0, "x").size(), found) << slot;
    }

    // 600 nodes: an index root over six index nodes of 99 empty blocks each
    // (counted as damaged). The 500th node reports its count.
    MiniAPFS mini(700);
    put32(mini.blocks[3], 116, 0x40000000);
    put64(mini.blocks[3], 136, 6);
    std::vector<Record> top;
    for (uint64_t i = 0; i < 6; ++i) {
        std::vector<Record> records;
        for (uint64_t j = 0; j < 99; ++j) {
            uint64_t leaf = 100 + i * 99 + j;
            records.push_back({le64((3ULL << 60) | leaf), le64(leaf)});
        }
        mini.blocks[7 + i] = makeNode(records, 0, 1, 10);
        top.push_back({le64((3ULL << 60) | (7 + i)), le64(7 + i)});
    }
    mini.blocks[6] = makeNode(top, 1, 2, 10);
    putText(mini.blocks[3], 704, "Data");
    auto src = memorySource(mini.image());
    std::vector<std::pair<double, std::string>> reports;
    WorkProgress progress([&](double f, const std::string& m) { reports.emplace_back(f, m); });
    auto volumes = APFSParser::parse(*src, 0, "x", &progress);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(reports, (std::vector<std::pair<double, std::string>>{{0, "Læser APFS-træ \"Data\" … 500 knuder"}}));
    EXPECT_EQ(volumes[0]->notes, std::vector<std::string>{"594 beskadigede træknuder blev sprunget over."});

    WorkProgress cancelled;
    cancelled.cancel();
    EXPECT_TRUE(APFSParser::parse(*src, 0, "x", &cancelled).empty());
}
