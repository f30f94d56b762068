#include <gtest/gtest.h>

#include "ScanTestSupport.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/FAT/Context.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

// A small FAT volume written by hand: 512-byte sectors, 8192 of them, one
// reserved sector, FATs of 32 sectors, 512 root entries. One sector per
// cluster gives FAT16 (8095 clusters), eight give FAT12 (1011 clusters).
struct MiniFAT {
    static constexpr uint64_t totalSectors = 8192;
    Bytes img;
    uint64_t spc, fats, clusterSize, fatOffset = 512, fatBytes = 32 * 512, rootOffset, dataOffset;
    uint32_t clusterCount;
    bool fat12;

    explicit MiniFAT(uint64_t spc_ = 1, uint64_t fats_ = 2, const std::string& bootLabel = "NO NAME    ")
        : img(totalSectors * 512, 0), spc(spc_), fats(fats_), clusterSize(512 * spc_) {
        rootOffset = 512 * (1 + fats * 32);
        dataOffset = rootOffset + 32 * 512;
        clusterCount = static_cast<uint32_t>((totalSectors - dataOffset / 512) / spc);
        fat12 = clusterCount < 4085;
        img[0] = 0xEB, img[1] = 0x3C, img[2] = 0x90;
        putText(img, 3, "MINIFAT ");
        putLE(img, 11, 512, 2);
        img[13] = static_cast<uint8_t>(spc);
        putLE(img, 14, 1, 2);
        img[16] = static_cast<uint8_t>(fats);
        putLE(img, 17, 512, 2);
        putLE(img, 19, totalSectors, 2);
        putLE(img, 22, 32, 2);
        putText(img, 43, bootLabel);
        img[510] = 0x55, img[511] = 0xAA;
        setFAT(0, fat12 ? 0xFF8 : 0xFFF8);
        setFAT(1, fat12 ? 0xFFF : 0xFFFF);
    }

    uint32_t eoc() const { return fat12 ? 0xFFF : 0xFFFF; }

    void setFAT(uint32_t c, uint32_t v) {
        for (uint64_t copy = 0; copy < fats; ++copy) {
            size_t base = static_cast<size_t>(fatOffset + copy * fatBytes);
            if (fat12) {
                size_t o = base + c + c / 2;
                uint16_t old = static_cast<uint16_t>(img[o] | (img[o + 1] << 8));
                uint16_t now = (c & 1) ? static_cast<uint16_t>((old & 0x000F) | (v << 4))
                                       : static_cast<uint16_t>((old & 0xF000) | (v & 0xFFF));
                putLE(img, o, now, 2);
            } else {
                putLE(img, base + 2 * c, v, 2);
            }
        }
    }
    // Links the clusters in order and closes the chain.
    void chain(const std::vector<uint32_t>& clusters) {
        for (size_t i = 0; i < clusters.size(); ++i) setFAT(clusters[i], i + 1 < clusters.size() ? clusters[i + 1] : eoc());
    }
    size_t clusterOffset(uint32_t c) const { return static_cast<size_t>(dataOffset + (c - 2) * clusterSize); }
};

// The 11 bytes of a short name; a deleted entry's first byte is 0xE5.
std::string sfn(std::string base, std::string extension = "", bool deleted = false) {
    base.resize(8, ' ');
    extension.resize(3, ' ');
    if (deleted) base[0] = '\xE5';
    return base + extension;
}

uint8_t checksum(const std::string& name11) {
    uint8_t sum = 0;
    for (char c : name11) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<unsigned char>(c));
    return sum;
}

// Writes directory entries one after another from a byte offset of the image.
struct DirWriter {
    MiniFAT& fat;
    size_t offset;
    int next = 0;

    size_t slot() { return offset + 32 * static_cast<size_t>(next++); }

    void entry(const std::string& name11, uint8_t attributes, uint32_t cluster, uint32_t size, uint8_t flags = 0) {
        size_t e = slot();
        putText(fat.img, e, name11);
        fat.img[e + 11] = attributes;
        fat.img[e + 12] = flags;
        putLE(fat.img, e + 16, 0x5873, 2);  // 2024-03-19
        putLE(fat.img, e + 22, 0x5A00, 2);  // 11:16:00
        putLE(fat.img, e + 24, 0x5873, 2);
        putLE(fat.img, e + 26, cluster & 0xFFFF, 2);
        putLE(fat.img, e + 28, size, 4);
    }
    void file(const std::string& name11, uint32_t cluster, uint32_t size, uint8_t flags = 0) {
        entry(name11, 0x20, cluster, size, flags);
    }
    void folder(const std::string& name11, uint32_t cluster) { entry(name11, 0x10, cluster, 0); }
    void dots(uint32_t self, uint32_t parent) {
        folder(".          ", self);
        folder("..         ", parent);
    }
    // The pieces of a long name in disk order (the one holding the end first),
    // with the given order bytes (default: the proper ones).
    void longName(const std::u16string& name, uint8_t sum, std::vector<uint8_t> ords = {}) {
        std::u16string units = name;
        units.push_back(0);
        while (units.size() % 13) units.push_back(0xFFFF);
        size_t count = units.size() / 13;
        if (ords.empty())
            for (size_t i = count; i >= 1; --i) ords.push_back(static_cast<uint8_t>(i | (i == count ? 0x40 : 0)));
        static const size_t slots[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (size_t k = 0; k < count; ++k) {
            size_t piece = count - 1 - k;
            size_t e = slot();
            fat.img[e] = ords[k];
            fat.img[e + 11] = 0x0F;
            fat.img[e + 13] = sum;
            for (size_t i = 0; i < 13; ++i) putLE(fat.img, e + slots[i], units[piece * 13 + i], 2);
        }
    }
};

// The volume's tree, read from a source that is gone once it is returned.
std::optional<VolumePtr> parseMini(const MiniFAT& fat) {
    ByteSource source(fat.img);
    return FATParser::parse(*source, 0, origin::partitionTable);
}

FileNodePtr child(const FileNodePtr& folder, const std::string& name) {
    for (auto& c : folder->children())
        if (c->name == name) return c;
    return nullptr;
}

std::vector<std::string> names(const FileNodePtr& folder) {
    std::vector<std::string> out;
    for (auto& c : folder->children()) out.push_back(c->name);
    std::sort(out.begin(), out.end());
    return out;
}

}  // namespace

TEST(FATParser, FixturesAgreeWithTheirManifests) {
    struct Case {
        std::string fixture;
        FileSystemType type;
        uint64_t clusterSize;
    };
    for (auto& c : {Case{"fat12", FileSystemType::fat12, 512}, Case{"fat16", FileSystemType::fat16, 2048},
                    Case{"fat32", FileSystemType::fat32, 512}}) {
        SCOPED_TRACE(c.fixture);
        auto source = openFixture(c.fixture);
        auto volume = FATParser::parse(*source, 0, origin::partitionTable);
        ASSERT_TRUE(volume);
        auto& v = **volume;
        EXPECT_EQ(v.type, c.type);
        EXPECT_EQ(v.label, "SOMMERHUS");
        EXPECT_EQ(v.size, source->size);
        EXPECT_EQ(v.clusterSize, c.clusterSize);
        EXPECT_EQ(v.origin, "Partitionstabel");
        EXPECT_TRUE(v.notes.empty());
        EXPECT_TRUE(v.deepContext.has_value());
        expectFATVolumeMatchesManifest(*source, v, c.fixture);
    }
}

TEST(FATParser, VolumeKeepsNeitherTheSourceNorTheFAT) {
    auto source = openFixture("fat16");
    std::weak_ptr<DiskSource> held = source;
    auto volume = FATParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    source.reset();
    EXPECT_TRUE(held.expired());
}

TEST(FATParser, NotAFATVolume) {
    MiniFAT fat;
    fat.img[13] = 3;  // sectors per cluster not a power of two
    EXPECT_FALSE(parseMini(fat));
    Bytes ntfs(4096, 0);
    putText(ntfs, 3, "NTFS    ");
    putLE(ntfs, 11, 512, 2);
    ByteSource source(ntfs);
    EXPECT_FALSE(FATParser::parse(*source, 0, origin::partitionTable));
}

TEST(FATParser, VolumeLabels) {
    MiniFAT withEntry;
    DirWriter root{withEntry, withEntry.rootOffset};
    root.entry(sfn("OLD"), 0x08, 0, 0);
    withEntry.img[root.offset] = 0xE5;  // a deleted label entry counts for nothing
    root.entry(sfn("DATA"), 0x08, 0, 0);
    root.entry(sfn("LATER"), 0x08, 0, 0);
    EXPECT_EQ((*parseMini(withEntry))->label, "DATA");

    MiniFAT without;
    EXPECT_EQ((*parseMini(without))->label, "");
    MiniFAT bootOnly(1, 2, "  BOOT     ");
    EXPECT_EQ((*parseMini(bootOnly))->label, "BOOT");
}

TEST(FATParser, ShortAndLongNames) {
    MiniFAT fat;
    DirWriter root{fat, fat.rootOffset};
    root.file(sfn("README", "TXT"), 0, 0, 0x18);
    root.file(sfn("FOO"), 0, 0);
    root.file("\x81" "BC     TXT", 0, 0);
    root.file(sfn("A*B", "TXT"), 0, 0);  // implausible: skipped
    root.file(sfn(""), 0, 0);  // all blanks: skipped

    root.longName(u"Lang fil æøå.txt", checksum("LANGFI~1TXT"));
    root.file(sfn("LANGFI~1", "TXT"), 0, 0);
    root.longName(u"Forkert sum.txt", checksum("FORKER~1TXT") ^ 1);
    root.file(sfn("FORKER~1", "TXT"), 0, 0);
    root.longName(u"Uden flag og med langt navn.txt", checksum("UDENFL~1TXT"), {3, 2, 1});
    root.file(sfn("UDENFL~1", "TXT"), 0, 0);
    root.longName(u"Byttet rundt og med langt navn.txt", checksum("BYTTET~1TXT"), {0x42, 3, 1});
    root.file(sfn("BYTTET~1", "TXT"), 0, 0);
    // A deleted entry and its deleted pieces: the lost first byte is found by the checksum.
    root.longName(u"fil.txt", checksum("FIL     TXT"), {0xE5});
    root.file(sfn("?IL", "TXT", true), 0, 0);
    // Pieces before a label entry are dropped.
    root.longName(u"Tabt.txt", checksum("TABT    TXT"));
    root.entry(sfn("ETIKET"), 0x08, 0, 0);
    root.file(sfn("TABT", "TXT"), 0, 0);

    auto volume = parseMini(fat);
    ASSERT_TRUE(volume);
    auto root_ = (*volume)->root;
    EXPECT_EQ(names(root_), (std::vector<std::string>{"BYTTET~1.TXT", "FOO", "FORKER~1.TXT", "Lang fil æøå.txt",
                                                      "TABT.TXT", "UDENFL~1.TXT", "_BC.TXT", "fil.txt",
                                                      "readme.txt"}));
    EXPECT_EQ(child(root_, "fil.txt")->status, EntryStatus::deleted);
    EXPECT_EQ(child(root_, "readme.txt")->status, EntryStatus::existing);
    EXPECT_EQ((*volume)->label, "ETIKET");
}

TEST(FATParser, FileDataAndRatings) {
    MiniFAT fat;
    DirWriter root{fat, fat.rootOffset};
    const uint32_t cs = 512;
    root.file(sfn("EMPTY", "BIN"), 9999, 0);
    root.file(sfn("BADSTART", "BIN"), 1, 100);
    root.file(sfn("BROKEN", "BIN"), 20, 3 * cs);
    fat.setFAT(20, 21);  // 21 is free: the chain breaks after two clusters
    root.file(sfn("FRAGS", "BIN"), 30, 2 * cs + 7);
    fat.chain({30, 31, 40});
    root.file(sfn("?REE", "BIN", true), 50, 3 * cs);
    root.file(sfn("?ECOND", "BIN", true), 60, 3 * cs);
    fat.chain({61});
    root.file(sfn("?IRST", "BIN", true), 70, 3 * cs);
    fat.chain({70});
    root.file(sfn("?NDE", "BIN", true), fat.clusterCount + 1, 3 * cs);  // runs past the last cluster
    auto volume = parseMini(fat);
    ASSERT_TRUE(volume);
    auto r = (*volume)->root;
    auto at = [&](uint32_t c) { return std::optional<uint64_t>(fat.clusterOffset(c)); };

    struct Case {
        std::string name;
        Recoverability rating;
        std::optional<std::string> note;
        FileData data;
    };
    const Case cases[] = {
        {"EMPTY.BIN", Recoverability::good, {}, std::vector<Extent>{}},
        {"BADSTART.BIN", Recoverability::poor, "Ugyldig startklynge", NoData{}},
        {"BROKEN.BIN", Recoverability::partial, "Klyngekæden er afbrudt", std::vector<Extent>{{at(20), 2 * cs}}},
        {"FRAGS.BIN", Recoverability::good, {}, std::vector<Extent>{{at(30), 2 * cs}, {at(40), 7}}},
        {"_REE.BIN", Recoverability::good, {}, std::vector<Extent>{{at(50), 3 * cs}}},
        {"_ECOND.BIN", Recoverability::partial, "Dele af filen kan være overskrevet",
         std::vector<Extent>{{at(60), 3 * cs}}},
        {"_IRST.BIN", Recoverability::poor, "Startklyngen er genbrugt af en anden fil",
         std::vector<Extent>{{at(70), 3 * cs}}},
        {"_NDE.BIN", Recoverability::partial, "Dele af filen kan være overskrevet",
         std::vector<Extent>{{at(fat.clusterCount + 1), cs}}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto node = child(r, c.name);
        ASSERT_TRUE(node);
        EXPECT_EQ(node->recoverability, c.rating);
        EXPECT_EQ(node->note, c.note);
        EXPECT_TRUE(node->data == c.data);
    }
}

TEST(FATContext, ChainsAndExtents) {
    MiniFAT fat;
    fat.chain({100, 101, 102});
    fat.setFAT(102, 100);  // loops back
    fat.chain({200, 201, 205, 206});
    ByteSource source(fat.img);
    auto ctx = FATContext::make(*source, 0, fat.img, FileSystemType::fat16);
    ASSERT_TRUE(ctx);

    auto loop = ctx->chain(100, 1000);
    EXPECT_EQ(loop.clusters, (std::vector<uint32_t>{100, 101, 102}));
    EXPECT_FALSE(loop.complete);
    auto again = ctx->chain(101, 1000);  // the marks of the first walk are gone
    EXPECT_EQ(again.clusters, (std::vector<uint32_t>{101, 102, 100}));

    auto full = ctx->chain(200, 1000);
    EXPECT_EQ(full.clusters.size(), 4u);
    EXPECT_TRUE(full.complete);
    auto limited = ctx->chain(200, 2);
    EXPECT_EQ(limited.clusters, (std::vector<uint32_t>{200, 201}));
    EXPECT_TRUE(limited.complete);
    EXPECT_FALSE(ctx->chain(1, 10).complete);
    EXPECT_TRUE(ctx->chain(fat.clusterCount + 2, 10).clusters.empty());

    auto extents = ctx->extents(full.clusters, 3 * 512 + 1);
    EXPECT_EQ(extents, (std::vector<Extent>{{fat.clusterOffset(200), 1024}, {fat.clusterOffset(205), 513}}));

    // FAT12 entries share bytes.
    MiniFAT small(8);
    ASSERT_TRUE(small.fat12);
    small.chain({2, 3, 5});
    ByteSource smallSource(small.img);
    auto ctx12 = FATContext::make(*smallSource, 0, small.img, FileSystemType::fat12);
    EXPECT_EQ(ctx12->chain(2, 10).clusters, (std::vector<uint32_t>{2, 3, 5}));
    EXPECT_EQ(ctx12->entry(5), 0xFFFu);
}

TEST(FATParser, FirstFATCopyRepairedFromTheSecond) {
    for (uint64_t copies : {uint64_t{2}, uint64_t{1}}) {
        SCOPED_TRACE(copies);
        MiniFAT fat(1, copies);
        DirWriter root{fat, fat.rootOffset};
        root.file(sfn("DATA", "BIN"), 20, 3 * 512);
        fat.chain({20, 21, 22});
        ByteSource source(fat.img, 512, withBadRanges({{fat.fatOffset, fat.fatOffset + 512}}));
        auto volume = FATParser::parse(*source, 0, origin::partitionTable);
        ASSERT_TRUE(volume);
        auto node = child((*volume)->root, "DATA.BIN");
        // With one copy the unreadable sector's clusters read as free.
        EXPECT_EQ(node->recoverability, copies == 2 ? Recoverability::good : Recoverability::partial);
    }
}

TEST(FATParser, DeletedFolders) {
    MiniFAT fat;
    DirWriter root{fat, fat.rootOffset};
    root.folder(sfn("?ELD", "", true), 300);  // intact, two free clusters
    root.folder(sfn("?VERSKR", "", true), 400);  // its first cluster no longer starts with "."
    root.folder(sfn("?ORT", "", true), 500);  // its second cluster is now another file's
    DirWriter held{fat, fat.clusterOffset(300)};
    held.dots(300, 0);
    for (int i = 0; i < 14; ++i) held.file("A" + std::to_string(10 + i) + "     TXT", 0, 0);
    DirWriter second{fat, fat.clusterOffset(301)};
    second.file(sfn("?ENERE", "TXT", true), 0, 0);
    DirWriter over{fat, fat.clusterOffset(400)};
    over.file(sfn("ANDET", "TXT"), 0, 0);
    DirWriter cut{fat, fat.clusterOffset(500)};
    cut.dots(500, 0);
    for (int i = 0; i < 14; ++i) cut.file("B" + std::to_string(10 + i) + "     TXT", 0, 0);
    DirWriter beyond{fat, fat.clusterOffset(501)};
    beyond.file(sfn("SKJULT", "TXT"), 0, 0);
    fat.chain({501});

    auto volume = parseMini(fat);
    ASSERT_TRUE(volume);
    auto r = (*volume)->root;
    auto held_ = child(r, "_ELD");
    ASSERT_TRUE(held_);
    EXPECT_EQ(held_->status, EntryStatus::deleted);
    EXPECT_EQ(held_->children().size(), 15u);
    for (auto& c : held_->children()) EXPECT_EQ(c->status, EntryStatus::deleted);
    auto over_ = child(r, "_VERSKR");
    EXPECT_EQ(over_->note, std::optional<std::string>("Mappens indhold er overskrevet"));
    EXPECT_TRUE(over_->children().empty());
    EXPECT_EQ(child(r, "_ORT")->children().size(), 14u);
}

TEST(FATParser, MovedFolderStaysLiveBesideTheEntryItLeftBehind) {
    // mmove left a deleted entry test/1/11 that points at the first cluster of
    // the live test/2/11, and it comes first in the walk.
    auto source = openFixture("fat16_moved_folder");
    auto volume = FATParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    expectFATVolumeMatchesManifest(*source, **volume, "fat16_moved_folder");
    auto nodes = allNodesByPath((*volume)->root);
    auto left = nodes.find("test/1/_1");
    ASSERT_NE(left, nodes.end());
    EXPECT_EQ(left->second->status, EntryStatus::deleted);
    EXPECT_TRUE(left->second->children().empty());
    EXPECT_EQ(left->second->note, std::optional<std::string>("Mappens indhold er overskrevet"));
    EXPECT_EQ(nodes.find("test/2/11")->second->children().size(), 3u);
}

TEST(FATParser, NestingDeeperThan63LevelsIsNotRead) {
    MiniFAT fat;
    DirWriter root{fat, fat.rootOffset};
    root.folder(sfn("D"), 2);
    fat.chain({2});
    for (uint32_t c = 2; c < 80; ++c) {
        DirWriter d{fat, fat.clusterOffset(c)};
        d.dots(c, c - 1);
        d.folder(sfn("D"), c + 1);
        fat.chain({c + 1});
    }
    auto volume = parseMini(fat);
    ASSERT_TRUE(volume);
    int depth = 0;
    for (auto node = (*volume)->root; !node->children().empty(); node = node->children().front()) ++depth;
    // Folders down to level 63 are read; the folders they list are shown unread.
    EXPECT_EQ(depth, 64);
}

TEST(FATParser, DirectoriesSharingClustersAreReadOnce) {
    MiniFAT fat;
    DirWriter root{fat, fat.rootOffset};
    std::vector<uint32_t> run;
    for (uint32_t c = 100; c < 6100; ++c) run.push_back(c);
    fat.chain(run);
    // Three folders whose chains run into one long chain: together more
    // clusters than the volume has, which a sound volume never shows.
    root.folder(sfn("A"), 100);
    root.folder(sfn("B"), 101);
    root.folder(sfn("C"), 102);
    auto volume = parseMini(fat);
    ASSERT_TRUE(volume);
    EXPECT_EQ((*volume)->notes,
              std::vector<std::string>{"Mapperne deler klynger med hinanden – ikke alle mapper blev læst."});
}

TEST(FATParser, UnavailableFAT) {
    // A FAT larger than 768 MiB is not loaded: chains are taken as contiguous.
    MiniFAT fat;
    putLE(fat.img, 19, 0, 2);
    putLE(fat.img, 32, 4000000, 4);
    putLE(fat.img, 22, 0, 2);
    putLE(fat.img, 36, 1600000, 4);
    putLE(fat.img, 44, 2, 4);
    ByteSource source(fat.img);
    auto volume = FATParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    EXPECT_EQ((*volume)->type, FileSystemType::fat32);
    EXPECT_EQ((*volume)->notes,
              std::vector<std::string>{"FAT-tabellen kunne ikke læses – filer antages at ligge sammenhængende."});
    auto info = std::any_cast<std::shared_ptr<FATDeepInfo>>((*volume)->deepContext);
    auto chain = FATContext::load(*source, info->geometry)->chain(10, 3);
    EXPECT_EQ(chain.clusters, (std::vector<uint32_t>{10, 11, 12}));
    EXPECT_TRUE(chain.complete);
}

TEST(FATParser, DirectorySectorTest) {
    auto sector = [](int entries, auto edit) {
        Bytes b(512 + 7, 0);
        for (int i = 0; i < entries; ++i) {
            size_t e = 7 + 32 * static_cast<size_t>(i);
            putText(b, e, "FILE" + std::to_string(10 + i) + "  TXT");
            b[e + 11] = 0x20;
        }
        edit(b);
        return b;
    };
    auto none = [](Bytes&) {};
    struct Case {
        const char* what;
        Bytes bytes;
        bool expected;
    };
    const Case cases[] = {
        {"16 short entries", sector(16, none), true},
        {"end after three", sector(3, none), true},
        {"end at entry 2", sector(2, none), false},
        {"bytes after the end", sector(3, [](Bytes& b) { b[7 + 32 * 5] = 1; }), false},
        {"a colon in the name", sector(16, [](Bytes& b) { b[7 + 32 * 4 + 3] = ':'; }), false},
        {"attributes above 0x3F", sector(16, [](Bytes& b) { b[7 + 11] = 0x40; }), false},
        {"creation tenths above 199", sector(16, [](Bytes& b) { b[7 + 13] = 200; }), false},
        {"deleted and dot entries", sector(16, [](Bytes& b) { b[7] = 0xE5, b[7 + 32] = '.'; }), true},
        // Æ in code page 850, as a Danish short name begins.
        {"a name beginning with an OEM letter", sector(16, [](Bytes& b) { b[7 + 64] = 0x92; }), true},
        {"a name beginning with a blank", sector(16, [](Bytes& b) { b[7 + 64] = 0x20; }), false},
        {"a long-name piece", sector(16, [](Bytes& b) { b[7 + 11] = 0x0F; }), true},
        {"a long-name piece with a cluster", sector(16, [](Bytes& b) { b[7 + 11] = 0x0F, b[7 + 26] = 1; }), false},
        {"only long-name pieces", sector(16, [](Bytes& b) {
             for (size_t i = 0; i < 16; ++i) b[7 + 32 * i + 11] = 0x0F;
         }), false},
    };
    for (auto& c : cases) EXPECT_EQ(FATParser::looksLikeDirectorySector(c.bytes, 7), c.expected) << c.what;
}

namespace {

// The sweep's part: every 512-byte sector of the source that looks like a directory sector.
std::vector<uint64_t> directorySectors(DiskSource& source) {
    std::vector<uint64_t> found;
    const int64_t chunk = 1 << 20;
    for (uint64_t at = 0; at < source.size; at += chunk) {
        Bytes bytes = source.read(at, chunk);
        for (size_t s = 0; s + 512 <= bytes.size(); s += 512)
            if (FATParser::looksLikeDirectorySector(bytes, s)) found.push_back(at + s);
    }
    return found;
}

}  // namespace

TEST(FATParser, LostDirectoryFragmentsOfADestroyedRoot) {
    const std::string fixture = "damage_fat32_root_destroyed";
    auto source = openFixture(fixture);
    auto volume = FATParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    EXPECT_TRUE((*volume)->root->children().empty());

    auto sectors = directorySectors(*source);
    auto folder = FATParser::lostEntries(*source, **volume, sectors);
    ASSERT_TRUE(folder);
    EXPECT_EQ((*folder)->name, "$Tabte mappefragmenter");
    EXPECT_EQ((*folder)->status, EntryStatus::orphaned);
    EXPECT_TRUE((*folder)->isDirectory);

    // The files of the three lost top-level folders land directly in the one
    // folder (their folders' names were in the root), their subfolders keep
    // their names. Every entry found so counts as deleted. The files whose
    // entries went with the root are only for the carver.
    auto nodes = allNodesByPath(*folder);
    size_t files = 0;
    for (auto& row : readManifest(fixture)) {
        if (row.status != "orphaned" || row.path.back() == '/') continue;
        SCOPED_TRACE(row.path);
        std::string inside = row.path.substr(row.path.find('/') + 1);
        FileNodePtr found;
        auto [from, to] = nodes.equal_range(inside);
        for (auto it = from; it != to; ++it)
            if (std::to_string(it->second->size) == row.size &&
                sha256Hex(streamedBytes(*source, *it->second)) == row.sha256)
                found = it->second;
        ASSERT_TRUE(found) << "not found with its size and contents";
        EXPECT_EQ(found->status, EntryStatus::deleted);
        // Entries never deleted that still own their chains are read by it.
        EXPECT_EQ(found->recoverability, Recoverability::good);
        EXPECT_EQ(found->note, std::nullopt);
        ++files;
    }
    EXPECT_EQ(files, 13u);
    EXPECT_EQ(nodes.count("Opskrifter"), 3u);

    // The fragments' clusters are now claimed: nothing is new a second time.
    EXPECT_FALSE(FATParser::lostEntries(*source, **volume, sectors));
}

TEST(FATParser, LostFragmentsTakeEachClusterOnce) {
    // Eight sectors per cluster; a lost directory cluster holding two files.
    MiniFAT fat(8);
    DirWriter root{fat, fat.rootOffset};
    root.folder(sfn("KENDT"), 10);
    fat.chain({10});
    DirWriter known{fat, fat.clusterOffset(10)};
    known.dots(10, 0);
    known.file(sfn("KENDT", "TXT"), 0, 0);
    DirWriter lost{fat, fat.clusterOffset(20)};
    lost.file(sfn("EN", "TXT"), 30, 100);
    lost.file(sfn("TO", "TXT"), 0, 0);
    fat.chain({30});

    ByteSource source(fat.img);
    auto volume = FATParser::parse(*source, 0, origin::partitionTable);
    ASSERT_TRUE(volume);
    // Sectors of known directories and outside the data area give nothing.
    EXPECT_FALSE(FATParser::lostEntries(*source, **volume, {fat.clusterOffset(10), fat.clusterOffset(10) + 512, 0,
                                                  fat.rootOffset}));
    std::vector<uint64_t> sectors;
    for (int s = 0; s < 8; ++s) sectors.push_back(fat.clusterOffset(20) + 512 * static_cast<uint64_t>(s));
    auto folder = FATParser::lostEntries(*source, **volume, sectors);
    ASSERT_TRUE(folder);
    EXPECT_EQ(names(*folder), (std::vector<std::string>{"EN.TXT", "TO.TXT"}));
    auto en = child(*folder, "EN.TXT");
    EXPECT_EQ(en->status, EntryStatus::deleted);
    EXPECT_EQ(en->recoverability, Recoverability::good);
    EXPECT_TRUE(en->data == FileData(std::vector<Extent>{{fat.clusterOffset(30), 100}}));
    EXPECT_FALSE(FATParser::lostEntries(*source, **volume, sectors));

    Volume other(FileSystemType::fat16, "", 0, 0, FileNode::make("", true), origin::deepScan);
    EXPECT_FALSE(FATParser::lostEntries(*source, other, sectors));
}
