// The exFAT reader against images made by mkfs.exfat and exfat-fuse, and
// against copies of them with one structure broken per case.
#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/ExFAT/Context.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

// A file's bytes as the file reader streams them.
Bytes contents(DiskSource& source, const FileNode& node) {
    return FileReader::readPrefix(node, source, static_cast<int64_t>(node.size));
}

// The manifest rows of one partition ("" for an unpartitioned image), paths
// without the partition prefix.
std::vector<ManifestRow> manifest(const std::string& name, const std::string& partition) {
    std::vector<ManifestRow> rows;
    for (auto row : readManifest(name)) {
        if (!partition.empty()) {
            if (row.path.rfind(partition + ":", 0) != 0) continue;
            row.path = row.path.substr(partition.size() + 1);
            if (row.path.empty()) continue;  // the partition's own row
        }
        rows.push_back(row);
    }
    return rows;
}

FileNodePtr find(const FileNodePtr& root, const std::string& path) {
    FileNodePtr node = root;
    std::stringstream ss(path);
    std::string part;
    while (std::getline(ss, part, '/')) {
        if (part.empty()) continue;
        FileNodePtr next;
        for (auto& c : node->children())
            if (c->name == part) next = c;
        if (!next) return nullptr;
        node = next;
    }
    return node;
}

size_t countNodes(const FileNodePtr& root) {
    size_t n = 0;
    std::vector<FileNodePtr> stack{root};
    while (!stack.empty()) {
        auto node = stack.back();
        stack.pop_back();
        for (auto& c : node->children()) ++n, stack.push_back(c);
    }
    return n;
}

// A private copy of the exFAT fixture that a test may break.
class BrokenCopy {
public:
    BrokenCopy() {
        dir_ = fs::path(::testing::TempDir()) / ("exfat-" + std::to_string(::getpid()) + "-" + std::to_string(counter_++));
        fs::create_directories(dir_);
        path_ = dir_ / "exfat.img";
        fs::copy_file(fixtureImage("exfat"), path_, fs::copy_options::overwrite_existing);
        image_.resize(fs::file_size(path_));
        std::ifstream in(path_, std::ios::binary);
        in.read(reinterpret_cast<char*>(image_.data()), static_cast<std::streamsize>(image_.size()));
    }
    ~BrokenCopy() {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    const Bytes& image() const { return image_; }
    void write(uint64_t offset, const Bytes& bytes) {
        std::memcpy(image_.data() + offset, bytes.data(), bytes.size());
        std::fstream out(path_, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp(static_cast<std::streamoff>(offset));
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    void write32(uint64_t offset, uint32_t v) { write(offset, {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }
    void write64(uint64_t offset, uint64_t v) {
        write32(offset, static_cast<uint32_t>(v));
        write32(offset + 4, static_cast<uint32_t>(v >> 32));
    }
    // The offset of the file entry of the entry set whose name begins with name
    // (at most 15 characters of it are compared).
    uint64_t entrySet(const std::u16string& name) const {
        Bytes pattern{0xC1, 0x00};
        for (size_t i = 0; i < name.size() && i < 15; ++i) pattern.push_back(uint8_t(name[i])), pattern.push_back(uint8_t(name[i] >> 8));
        for (uint64_t at = 64; at + 32 <= image_.size(); at += 32)
            if (std::memcmp(image_.data() + at, pattern.data(), pattern.size()) == 0 &&
                (image_[at - 32] == 0xC0 || image_[at - 32] == 0x40))
                return at - 64;
        ADD_FAILURE() << "no entry set found";
        return 0;
    }
    // The first free entry (type 0x00) of the directory that begins at offset.
    uint64_t freeEntry(uint64_t directory) const {
        uint64_t at = directory;
        while (image_[at] != 0) at += 32;
        return at;
    }
    std::optional<VolumePtr> parse(WorkProgress* progress = nullptr) {
        source_ = SourceOpener::openImage(path_.string());
        return ExFATParser::parse(*source_, 0, origin::partitionTable, progress);
    }
    DiskSource& source() { return *source_; }

private:
    static inline int counter_ = 0;
    fs::path dir_, path_;
    Bytes image_;
    DiskSourcePtr source_;
};

// Geometry of the exFAT fixture (see its tsk.txt).
constexpr uint64_t heapOffset = 2097152;
constexpr uint64_t clusterSize = 4096;
constexpr uint64_t rootDirectory = heapOffset + (5 - 2) * clusterSize;
constexpr uint64_t fatOffset = 2048 * 512;

}  // namespace

// MARK: - Agreement with the manifests

struct ManifestCase {
    const char* image;
    const char* partition;  // manifest prefix, "" for a whole-disk volume
    uint64_t offset;
};

class ExFATManifest : public testing::TestWithParam<ManifestCase> {};

TEST_P(ExFATManifest, AgreesWithManifest) {
    auto [image, partition, offset] = GetParam();
    auto source = SourceOpener::openImage(fixtureImage(image));
    auto volume = ExFATParser::parse(*source, offset, origin::partitionTable);
    ASSERT_TRUE(volume);
    auto& v = **volume;
    EXPECT_EQ(v.type, FileSystemType::exfat);
    EXPECT_EQ(v.offset, offset);
    EXPECT_TRUE(v.notes.empty());
    EXPECT_EQ(v.origin, origin::partitionTable);

    auto rows = manifest(image, partition);
    ASSERT_FALSE(rows.empty());
    // Every node of the tree is a manifest row: nothing extra, nothing missing.
    EXPECT_EQ(countNodes(v.root), rows.size());
    for (auto& row : rows) {
        SCOPED_TRACE(row.path);
        bool folder = row.path.back() == '/';
        auto node = find(v.root, row.path);
        ASSERT_TRUE(node);
        EXPECT_EQ(node->isDirectory, folder);
        EXPECT_EQ(rawValue(node->status), row.status);
        if (folder) continue;
        EXPECT_EQ(std::to_string(node->size), row.size);
        ASSERT_TRUE(node->modified);
        EXPECT_EQ(isoUTC(*node->modified), row.mtime);
        auto* extents = std::get_if<std::vector<Extent>>(&node->data);
        ASSERT_TRUE(extents);
        EXPECT_EQ(std::to_string(extents->size()), row.fragments);
        bool overwritten = row.note.rfind("overwritten", 0) == 0;
        if (overwritten) {
            // Its first cluster now belongs to another file.
            EXPECT_EQ(node->recoverability, Recoverability::poor);
            EXPECT_EQ(node->note, "Klyngerne er genbrugt af andre filer");
            continue;
        }
        // Nothing was written over the other deleted files.
        EXPECT_EQ(node->recoverability, Recoverability::good);
        EXPECT_FALSE(node->note);
        EXPECT_EQ(contentHash(*source, *node), row.sha256);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, ExFATManifest,
                         testing::Values(ManifestCase{"exfat", "", 0},
                                         ManifestCase{"gpt_fat32_ntfs_exfat", "p3", 98304ull * 512},
                                         ManifestCase{"mbr_extended", "p6", 79872ull * 512},
                                         ManifestCase{"gpt_4k_sectors", "p2", 2304ull * 4096}),
                         [](const auto& testInfo) { return std::string(testInfo.param.image); });

TEST(ExFAT, VolumeFieldsAndPlacement) {
    auto source = SourceOpener::openImage(fixtureImage("exfat"));
    auto volume = VolumeLoader::load(*source, FileSystemType::exfat, 0, origin::deepScan);
    ASSERT_EQ(volume.size(), 1u);
    auto& v = *volume[0];
    EXPECT_EQ(v.label, "SOMMERHUS");
    EXPECT_EQ(v.title(), "SOMMERHUS (exFAT)");
    EXPECT_EQ(v.size, 67108864u);
    EXPECT_EQ(v.clusterSize, clusterSize);
    EXPECT_EQ(v.origin, origin::deepScan);
    EXPECT_FALSE(v.deepContext.has_value());
    EXPECT_EQ(v.root->fsID, 0u);
    EXPECT_EQ(v.root->recoverability, Recoverability::unknown);
    // Folders first, each sorted.
    EXPECT_TRUE(v.root->children().front()->isDirectory);

    // A file without a FAT chain is one run from its first cluster.
    auto big = find(v.root, "Film/stor video.bin");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->fsID, 206u);
    EXPECT_EQ(std::get<std::vector<Extent>>(big->data),
              (std::vector<Extent>{{heapOffset + (206 - 2) * clusterSize, 25179520}}));
    // The fragmented file follows its chain, one extent per run, the last cut to the size.
    auto frag = find(v.root, "fragmenteret.bin");
    ASSERT_TRUE(frag);
    auto& runs = std::get<std::vector<Extent>>(frag->data);
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].offset, heapOffset + (6389 - 2) * clusterSize);
    uint64_t sum = 0;
    for (auto& r : runs) sum += r.length;
    EXPECT_EQ(sum, 100912u);
    // An empty file has no clusters and nothing to lose.
    auto empty = find(v.root, "tom fil.txt");
    EXPECT_EQ(std::get<std::vector<Extent>>(empty->data), std::vector<Extent>{});
    EXPECT_EQ(empty->recoverability, Recoverability::good);
    // Folders carry their first cluster and nothing else.
    auto folder = find(v.root, "Kasseret");
    EXPECT_EQ(folder->size, 0u);
    EXPECT_EQ(folder->recoverability, Recoverability::unknown);
    EXPECT_TRUE(std::holds_alternative<NoData>(folder->data));
    EXPECT_NE(folder->fsID, 0u);
}

// MARK: - Boot sector

TEST(ExFAT, BootSectorsThatGiveNoVolume) {
    auto source = SourceOpener::openImage(fixtureImage("exfat"));
    const Bytes good = source->read(0, 512);
    struct Case {
        const char* what;
        int64_t offset;
        Bytes bytes;
    };
    std::vector<Case> cases = {
        {"not exFAT", 3, {'N', 'T', 'F', 'S'}},
        {"bytes-per-sector shift 13", 108, {13}},
        {"bytes-per-sector shift 8", 108, {8}},
        {"cluster shift too large", 109, {17}},
        {"no clusters", 92, {0, 0, 0, 0}},
        {"root cluster 1", 96, {1, 0, 0, 0}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes boot = good;
        std::copy(c.bytes.begin(), c.bytes.end(), boot.begin() + c.offset);
        EXPECT_FALSE(ExFATParser::parse(*source, 0, origin::deepScan, nullptr, &boot));
    }
    Bytes cut(good.begin(), good.begin() + 108);
    EXPECT_FALSE(ExFATParser::parse(*source, 0, origin::deepScan, nullptr, &cut));
    EXPECT_TRUE(ExFATParser::parse(*source, 0, origin::deepScan, nullptr, &good));
    // Nothing at a place that holds no exFAT boot sector.
    EXPECT_FALSE(ExFATParser::parse(*source, 512, origin::deepScan));
    EXPECT_FALSE(ExFATParser::parse(*source, source->size, origin::deepScan));
}

TEST(ExFAT, WithoutAFatEveryStreamIsContiguous) {
    auto source = SourceOpener::openImage(fixtureImage("exfat"));
    Bytes boot = source->read(0, 512);
    boot[84] = boot[85] = boot[86] = boot[87] = 0;  // FAT length 0
    auto volume = ExFATParser::parse(*source, 0, origin::deepScan, nullptr, &boot);
    ASSERT_TRUE(volume);
    EXPECT_TRUE((*volume)->notes.empty());
    auto frag = find((*volume)->root, "fragmenteret.bin");
    ASSERT_TRUE(frag);
    EXPECT_EQ(std::get<std::vector<Extent>>(frag->data),
              (std::vector<Extent>{{heapOffset + (6389 - 2) * clusterSize, 100912}}));
    // The one-cluster root still lists everything.
    EXPECT_TRUE(find((*volume)->root, "Film/stor video.bin"));
}

// MARK: - FAT chains

TEST(ExFAT, ChainsStopAtLoopsAndBadEntries) {
    auto source = SourceOpener::openImage(fixtureImage("exfat"));
    Bytes boot = source->read(0, 512);
    auto ctx = ExFATContext::make(*source, 0, boot);
    ASSERT_TRUE(ctx);
    auto setEntry = [&](uint32_t cluster, uint32_t value) {
        for (uint32_t i = 0; i < 4; ++i) ctx->fat[cluster * 4 + i] = uint8_t(value >> (8 * i));
    };
    setEntry(100, 101);
    setEntry(101, 0xFFFFFFFF);
    auto chain = ctx->chain(100, 10);
    EXPECT_EQ(chain.clusters, (std::vector<uint32_t>{100, 101}));
    EXPECT_TRUE(chain.complete);
    // The limit reached counts as complete.
    chain = ctx->chain(100, 1);
    EXPECT_EQ(chain.clusters, (std::vector<uint32_t>{100}));
    EXPECT_TRUE(chain.complete);
    // A loop stops the chain.
    setEntry(101, 100);
    chain = ctx->chain(100, 10);
    EXPECT_EQ(chain.clusters, (std::vector<uint32_t>{100, 101}));
    EXPECT_FALSE(chain.complete);
    // Free, out-of-range and bad-cluster entries end it unfinished.
    for (uint32_t bad : {0u, 1u, 15874u, 0xFFFFFFF7u}) {
        setEntry(101, bad);
        chain = ctx->chain(100, 10);
        EXPECT_EQ(chain.clusters.size(), 2u);
        EXPECT_FALSE(chain.complete);
    }
    EXPECT_TRUE(ctx->chain(1, 10).clusters.empty());
    EXPECT_TRUE(ctx->chain(15874, 10).clusters.empty());

    // A chain of the wrong length is not trusted: one run from the first cluster.
    setEntry(100, 101);
    setEntry(101, 0xFFFFFFFF);
    auto s = ctx->streamExtents(100, 3 * clusterSize, false);
    EXPECT_FALSE(s.viaChain);
    EXPECT_EQ(s.extents, (std::vector<Extent>{{ctx->clusterOffset(100), 3 * clusterSize}}));
    s = ctx->streamExtents(100, 2 * clusterSize - 5, false);
    EXPECT_TRUE(s.viaChain);
    EXPECT_EQ(s.extents, (std::vector<Extent>{{ctx->clusterOffset(100), 2 * clusterSize - 5}}));
    // A contiguous run never reaches past the last cluster.
    s = ctx->streamExtents(15872, 10 * clusterSize, true);
    EXPECT_EQ(s.extents, (std::vector<Extent>{{ctx->clusterOffset(15872), 2 * clusterSize}}));
    EXPECT_TRUE(ctx->streamExtents(0, 100, true).extents.empty());
    EXPECT_TRUE(ctx->streamExtents(100, 0, true).extents.empty());
}

TEST(ExFAT, ExtentsMergeConsecutiveClusters) {
    auto source = SourceOpener::openImage(fixtureImage("exfat"));
    auto ctx = ExFATContext::make(*source, 0, source->read(0, 512));
    ASSERT_TRUE(ctx);
    auto list = ctx->extents({10, 11, 12, 20, 21, 5}, 5 * clusterSize + 1);
    EXPECT_EQ(list, (std::vector<Extent>{{ctx->clusterOffset(10), 3 * clusterSize},
                                         {ctx->clusterOffset(20), 2 * clusterSize},
                                         {ctx->clusterOffset(5), 1}}));
    EXPECT_EQ(ctx->extents({10, 11}, 100 * clusterSize),
              (std::vector<Extent>{{ctx->clusterOffset(10), 2 * clusterSize}}));
}

// MARK: - Broken copies

TEST(ExFAT, WithoutTheBitmapDeletedFilesAreUnknown) {
    BrokenCopy copy;
    ASSERT_EQ(copy.image()[rootDirectory + 32], 0x81);
    copy.write(rootDirectory + 32, {0x01});  // the bitmap entry is no longer one
    auto volume = copy.parse();
    ASSERT_TRUE(volume);
    EXPECT_EQ((*volume)->notes,
              std::vector<std::string>{"Allokeringsbitmap mangler – chancer for slettede filer er ukendte."});
    for (const char* path : {"slet mig.txt", "Kasseret/Under/billede.png", "huller/hul_02.bin"}) {
        auto node = find((*volume)->root, path);
        ASSERT_TRUE(node) << path;
        EXPECT_EQ(node->status, EntryStatus::deleted);
        EXPECT_EQ(node->recoverability, Recoverability::unknown) << path;
        EXPECT_FALSE(node->note);
    }
    EXPECT_EQ(find((*volume)->root, "Film/stor video.bin")->recoverability, Recoverability::good);
}

TEST(ExFAT, BitmapRatesDeletedFiles) {
    // slet mig.txt lay in clusters 6354 and 6355, both free now.
    const uint64_t bitmapOffset = heapOffset;  // the bitmap is cluster 2
    struct Case {
        uint32_t cluster;
        Recoverability expected;
        std::optional<std::string> note;
    };
    for (auto c : {Case{6354, Recoverability::poor, "Klyngerne er genbrugt af andre filer"},
                   Case{6355, Recoverability::partial, "Dele af filen kan være overskrevet"},
                   Case{6356, Recoverability::good, std::nullopt}}) {
        SCOPED_TRACE(c.cluster);
        BrokenCopy copy;
        uint64_t byte = bitmapOffset + (c.cluster - 2) / 8;
        copy.write(byte, {uint8_t(copy.image()[byte] | (1u << ((c.cluster - 2) % 8)))});
        auto volume = copy.parse();
        ASSERT_TRUE(volume);
        auto node = find((*volume)->root, "slet mig.txt");
        ASSERT_TRUE(node);
        EXPECT_EQ(node->recoverability, c.expected);
        EXPECT_EQ(node->note, c.note);
    }
}

TEST(ExFAT, ValidDataLengthShorterThanDataLengthEndsInAHole) {
    BrokenCopy copy;
    uint64_t set = copy.entrySet(u"Æbleskiver");
    auto intact = SourceOpener::openImage(fixtureImage("exfat"));
    auto reference = ExFATParser::parse(*intact, 0, "x");
    Bytes original = contents(*intact, *find((*reference)->root, "Æbleskiver opskrift.txt"));
    ASSERT_EQ(original.size(), 9706u);
    copy.write64(set + 32 + 8, 4000);  // valid data length
    auto volume = copy.parse();
    ASSERT_TRUE(volume);
    auto node = find((*volume)->root, "Æbleskiver opskrift.txt");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->size, 9706u);
    EXPECT_EQ(node->recoverability, Recoverability::good);
    EXPECT_EQ(std::get<std::vector<Extent>>(node->data),
              (std::vector<Extent>{{heapOffset + (15 - 2) * clusterSize, 4000}, {std::nullopt, 5706}}));
    Bytes expected(original.begin(), original.begin() + 4000);
    expected.resize(9706, 0);
    EXPECT_EQ(contents(copy.source(), *node), expected);
}

TEST(ExFAT, InvalidStartClusterIsPoor) {
    BrokenCopy copy;
    uint64_t set = copy.entrySet(u"kendt tid");
    copy.write32(set + 32 + 20, 1);
    auto volume = copy.parse();
    auto node = find((*volume)->root, "kendt tid.txt");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->recoverability, Recoverability::poor);
    EXPECT_EQ(node->note, "Ugyldig startklynge");
    EXPECT_TRUE(std::holds_alternative<NoData>(node->data));
    EXPECT_EQ(node->fsID, 1u);
}

// fragmenteret.bin is live and follows a FAT chain of 25 clusters in four
// runs. Each case breaks that chain on disk: the file keeps the clusters the
// chain still reaches, is partial with a note, and its unplaced rest is copied
// as unknown bytes, never as a clean zero tail.
TEST(ExFAT, BrokenChainsOfLiveFilesStopWhereTheChainDoes) {
    constexpr uint32_t first = 6389;
    constexpr uint64_t size = 100912;
    constexpr uint32_t pastLastCluster = 15874;  // cluster count + 2
    std::vector<uint32_t> clusters;
    {
        BrokenCopy intact;
        for (uint32_t c = first; c < 0xFFFFFFF8u && clusters.size() < 100;
             c = u32le(intact.image(), static_cast<int64_t>(fatOffset + 4 * uint64_t{c})))
            clusters.push_back(c);
    }
    ASSERT_EQ(clusters.size(), 25u);
    auto intact = SourceOpener::openImage(fixtureImage("exfat"));
    auto geometry = ExFATContext::make(*intact, 0, intact->read(0, 512));
    ASSERT_TRUE(geometry);
    // The fifth cluster ends the first run: a break there keeps one extent.
    ASSERT_NE(clusters[5], clusters[4] + 1);
    auto fatEntry = [](uint32_t cluster) { return fatOffset + 4 * uint64_t{cluster}; };

    struct Case {
        const char* what;
        uint32_t cluster;  // whose FAT entry is changed
        uint32_t value;
        size_t reached;    // clusters the chain still reaches
    };
    const std::vector<Case> cases = {
        {"early end of chain", clusters[9], 0xFFFFFFFF, 10},
        {"free entry", clusters[4], 0, 5},
        {"cluster number 1", clusters[4], 1, 5},
        {"cluster number past the heap", clusters[4], pastLastCluster, 5},
        {"bad-cluster mark", clusters[15], 0xFFFFFFF7, 16},
        {"loop back to the first cluster", clusters[20], first, 21},
        {"loop onto itself", clusters[3], clusters[3], 4},
        {"first cluster's entry free", first, 0, 1},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        BrokenCopy copy;
        copy.write32(fatEntry(c.cluster), c.value);
        auto volume = copy.parse();
        ASSERT_TRUE(volume);
        auto node = find((*volume)->root, "fragmenteret.bin");
        ASSERT_TRUE(node);
        EXPECT_EQ(node->size, size);
        EXPECT_EQ(node->recoverability, Recoverability::partial);
        EXPECT_EQ(node->note, "Klyngekæden er afbrudt");
        const std::vector<uint32_t> kept(clusters.begin(), clusters.begin() + static_cast<std::ptrdiff_t>(c.reached));
        auto* extents = std::get_if<std::vector<Extent>>(&node->data);
        ASSERT_TRUE(extents);
        EXPECT_EQ(*extents, geometry->extents(kept, size));
        uint64_t placed = 0;
        for (auto& e : *extents) placed += e.length;
        EXPECT_EQ(placed, c.reached * clusterSize);

        TempDir out;
        WorkProgress reporter;
        auto result = RecoveryEngine::recover({node}, "x", copy.source(), out.path(), RecoveryOptions(), reporter,
                                              [](const RecoveryProgress&) {});
        EXPECT_EQ(result.recovered, 0);
        EXPECT_EQ(result.withErrors, 1);
        ASSERT_TRUE(result.folder);
        EXPECT_EQ(fs::file_size(*result.folder / "fragmenteret.bin"), size);
        const std::string report = readText(*result.folder / RecoveryEngine::reportName);
        EXPECT_NE(report.find("fragmenteret.bin;100912;Ulæselige sektorer;Delvis;" + std::to_string(size - placed) +
                              ";Klyngekæden er afbrudt\n"),
                  std::string::npos)
            << report;
    }

    // A first cluster outside the heap places nothing: poor, and recovery
    // writes no file that would pass for the real one.
    BrokenCopy copy;
    copy.write32(copy.entrySet(u"fragmenteret") + 32 + 20, pastLastCluster);
    auto volume = copy.parse();
    ASSERT_TRUE(volume);
    auto node = find((*volume)->root, "fragmenteret.bin");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->recoverability, Recoverability::poor);
    EXPECT_EQ(node->note, "Ugyldig startklynge");
    TempDir out;
    WorkProgress reporter;
    auto result = RecoveryEngine::recover({node}, "x", copy.source(), out.path(), RecoveryOptions(), reporter,
                                          [](const RecoveryProgress&) {});
    EXPECT_EQ(result.recovered, 0);
    EXPECT_EQ(result.failed, 1);
}

// A run without a FAT chain that the heap ends early is cut there and partial;
// one that fits is untouched (the manifest tests cover those).
TEST(ExFAT, ContiguousRunPastTheHeapIsPartial) {
    BrokenCopy copy;
    uint64_t set = copy.entrySet(u"kendt tid");
    copy.write32(set + 32 + 20, 15872);           // the second-to-last cluster
    copy.write64(set + 32 + 8, 5 * clusterSize);  // valid data length
    copy.write64(set + 32 + 24, 5 * clusterSize);  // data length
    auto volume = copy.parse();
    ASSERT_TRUE(volume);
    auto node = find((*volume)->root, "kendt tid.txt");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->recoverability, Recoverability::partial);
    EXPECT_EQ(node->note, "Dele af filen ligger ud over filsystemets slutning");
    EXPECT_EQ(std::get<std::vector<Extent>>(node->data),
              (std::vector<Extent>{{heapOffset + (15872 - 2) * clusterSize, 2 * clusterSize}}));
    int64_t unknown = FileReader::stream(*node, copy.source(), FileReader::defaultChunkSize, std::nullopt,
                                         [](const Bytes&) { return true; });
    EXPECT_EQ(unknown, static_cast<int64_t>(3 * clusterSize));
}

TEST(ExFAT, FoldersThatPointBackAreShownEmpty) {
    auto reference = ExFATParser::parse(*SourceOpener::openImage(fixtureImage("exfat")), 0, "x");
    const size_t allNodes = countNodes((*reference)->root);
    const uint32_t dokumenter = static_cast<uint32_t>(find((*reference)->root, "Dokumenter")->fsID);

    BrokenCopy copy;
    copy.write32(copy.entrySet(u"Film") + 32 + 20, 5);  // the root's cluster
    copy.write32(copy.entrySet(u"Opskrifter") + 32 + 20, dokumenter);  // its own parent
    auto volume = copy.parse();
    ASSERT_TRUE(volume);
    auto film = find((*volume)->root, "Film");
    ASSERT_TRUE(film);
    EXPECT_TRUE(film->children().empty());
    auto opskrifter = find((*volume)->root, "Dokumenter/Opskrifter");
    ASSERT_TRUE(opskrifter);
    EXPECT_TRUE(opskrifter->children().empty());
    // Lost: Film's file, and Opskrifter's file, two folders and one file below them.
    EXPECT_EQ(countNodes((*volume)->root), allNodes - 1 - 4);
    EXPECT_TRUE((*volume)->notes.empty());
}

TEST(ExFAT, FoldersPointingIntoEachOtherCannotReadWithoutEnd) {
    // Folder entries that each claim 64 MiB of contiguous directory from a
    // different cluster would make the walk read the heap over and over.
    BrokenCopy copy;
    uint64_t set = copy.entrySet(u"Film");
    Bytes folder(copy.image().begin() + static_cast<std::ptrdiff_t>(set), copy.image().begin() + static_cast<std::ptrdiff_t>(set) + 96);
    folder[32 + 1] = 0x03;  // no FAT chain
    uint64_t at = copy.freeEntry(rootDirectory);
    for (uint32_t k = 0; at + 96 <= rootDirectory + clusterSize; ++k, at += 96) {
        Bytes entry = folder;
        for (size_t i = 0; i < 4; ++i) entry[32 + 20 + i] = uint8_t((3 + k) >> (8 * i));
        for (size_t i = 0; i < 8; ++i) entry[32 + 24 + i] = uint8_t(uint64_t{64} << 20 >> (8 * i));
        copy.write(at, entry);
    }
    auto volume = copy.parse();
    ASSERT_TRUE(volume);
    EXPECT_EQ((*volume)->notes,
              std::vector<std::string>{"Mappestrukturen er beskadiget – ikke alle mapper kunne læses."});
    // Without a bound the 26 folders would read 1.6 GB.
    EXPECT_LE(copy.source().bytesRead(), 4u * 67108864u);
}

TEST(ExFAT, MalformedEntrySetsArePassedOverOneEntryAtATime) {
    BrokenCopy copy;
    uint64_t set = copy.entrySet(u"kendt tid");
    Bytes good(copy.image().begin() + static_cast<std::ptrdiff_t>(set), copy.image().begin() + static_cast<std::ptrdiff_t>(set) + 96);
    uint64_t at = copy.freeEntry(rootDirectory);
    struct Case {
        const char* what;
        size_t entriesKept;  // of the broken set, before the intact copy
        std::function<void(Bytes&)> breakIt;
    };
    std::vector<Case> cases = {
        {"secondary count 1", 1, [](Bytes& b) { b[1] = 1; }},
        {"secondary count 19", 1, [](Bytes& b) { b[1] = 19; }},
        {"stream entry of the wrong kind", 3, [](Bytes& b) { b[32] = 0x40; }},
        {"name entry of the wrong kind", 3, [](Bytes& b) { b[64] = 0x41; }},
        {"name length 0", 3, [](Bytes& b) { b[32 + 3] = 0; }},
    };
    // Each broken set is followed by an intact copy, which must still be found
    // behind it: the walk moves on one entry at a time.
    for (auto& c : cases) {
        Bytes broken = good;
        c.breakIt(broken);
        broken.resize(32 * c.entriesKept);
        copy.write(at, broken);
        copy.write(at + broken.size(), good);
        at += broken.size() + good.size();
    }
    auto volume = copy.parse();
    ASSERT_TRUE(volume);
    size_t found = 0;
    for (auto& c : (*volume)->root->children()) found += c->name == "kendt tid.txt";
    EXPECT_EQ(found, 1 + cases.size());
}

TEST(ExFAT, LabelsAndNames) {
    BrokenCopy copy;
    auto labelEntry = [](const std::u16string& text, uint8_t count) {
        Bytes e(32, 0);
        e[0] = 0x83;
        e[1] = count;
        for (size_t i = 0; i < text.size() && i < 15; ++i) e[2 + 2 * i] = uint8_t(text[i]), e[3 + 2 * i] = uint8_t(text[i] >> 8);
        return e;
    };
    // A second label in the root replaces the first, cut to 11 characters.
    copy.write(copy.freeEntry(rootDirectory), labelEntry(u"ÆbleskiverFemten", 15));
    // A label in a subfolder is no label of the volume.
    uint32_t film = 0;
    {
        auto reference = ExFATParser::parse(*SourceOpener::openImage(fixtureImage("exfat")), 0, "x");
        film = static_cast<uint32_t>(find((*reference)->root, "Film")->fsID);
    }
    uint64_t filmDirectory = heapOffset + (film - 2) * clusterSize;
    copy.write(copy.freeEntry(filmDirectory), labelEntry(u"FORKERT", 7));
    // A name whose surrogate pair is split across two name entries, and a name
    // with an unpaired surrogate.
    uint64_t set = copy.entrySet(u"kendt tid");
    Bytes entries(copy.image().begin() + static_cast<std::ptrdiff_t>(set), copy.image().begin() + static_cast<std::ptrdiff_t>(set) + 96);
    entries[1] = 3;
    entries[32 + 3] = 16;
    Bytes second(32, 0);
    second[0] = 0xC1;
    std::u16string name = u"abcdefghijklmn\xD83D\xDE00";
    for (size_t i = 0; i < 14; ++i) entries[64 + 2 + 2 * i] = uint8_t(name[i]), entries[64 + 3 + 2 * i] = 0;
    entries[64 + 30] = 0x3D, entries[64 + 31] = 0xD8;
    second[2] = 0x00, second[3] = 0xDE;
    entries.insert(entries.end(), second.begin(), second.end());
    uint64_t free = copy.freeEntry(rootDirectory);
    copy.write(free, entries);
    entries[32 + 3] = 15;  // the high surrogate alone
    entries[64 + 2] = 'z';
    copy.write(free + 128, entries);

    auto volume = copy.parse();
    ASSERT_TRUE(volume);
    EXPECT_EQ((*volume)->label, "ÆbleskiverF");
    EXPECT_TRUE(find((*volume)->root, "abcdefghijklmn\xF0\x9F\x98\x80"));
    EXPECT_TRUE(find((*volume)->root, "zbcdefghijklmn\xEF\xBF\xBD"));
}

TEST(ExFAT, CancellationStopsTheFolderWalk) {
    auto source = SourceOpener::openImage(fixtureImage("exfat"));
    WorkProgress progress;
    progress.cancel();
    auto volume = ExFATParser::parse(*source, 0, origin::partitionTable, &progress);
    ASSERT_TRUE(volume);
    // The root is listed; no folder below it is read.
    EXPECT_TRUE(find((*volume)->root, "fragmenteret.bin"));
    auto film = find((*volume)->root, "Film");
    ASSERT_TRUE(film);
    EXPECT_TRUE(film->children().empty());
}

// MARK: - The tree command and the recovery engine

namespace {

// The tree line a manifest row must have: indented by depth, tagged when
// deleted, rated good unless its clusters were reused.
std::string expectedTreeLine(const ManifestRow& row) {
    bool folder = row.path.back() == '/';
    std::string path = folder ? row.path.substr(0, row.path.size() - 1) : row.path;
    size_t depth = static_cast<size_t>(std::count(path.begin(), path.end(), '/'));
    std::string line(2 * (depth + 1), ' ');
    line += path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    std::string tag = row.status == "deleted" ? " [Slettet]" : "";
    if (folder) return line + "/" + tag;
    bool overwritten = row.note.rfind("overwritten", 0) == 0;
    return line + "  " + row.size + " B" + tag + " chance=" +
           (overwritten ? "Ringe (Klyngerne er genbrugt af andre filer)" : "God");
}

}  // namespace

TEST_P(ExFATManifest, TreeCommandListsTheManifest) {
    auto [image, partition, offset] = GetParam();
    auto run = runCLI({"tree", fixtureImage(image)});
    EXPECT_EQ(run.status, 0);
    std::stringstream out(run.out);
    std::multiset<std::string> lines;
    bool inside = false;
    for (std::string line; std::getline(out, line);) {
        if (line.rfind("== ", 0) == 0) {
            inside = line.find(" (exFAT) @ " + std::to_string(offset) + " [Partitionstabel]") != std::string::npos;
            continue;
        }
        if (inside) lines.insert(line);
    }
    auto rows = manifest(image, partition);
    EXPECT_EQ(lines.size(), rows.size()) << run.out;
    for (auto& row : rows) {
        auto it = lines.find(expectedTreeLine(row));
        EXPECT_NE(it, lines.end()) << expectedTreeLine(row);
        if (it != lines.end()) lines.erase(it);
    }
}

TEST(ExFAT, RecoverCommandRestoresTheManifest) {
    TempDir out;
    auto run = runCLI({"recover", fixtureImage("exfat"), out.path().string()});
    EXPECT_EQ(run.status, 0);
    fs::path folder = out.path() / "SOMMERHUS (exFAT)";
    EXPECT_EQ(run.out, "SOMMERHUS (exFAT): 29 gendannet, 0 med fejl, 0 mislykkedes → " + folder.string() + "\n");
    std::string report = readText((folder / RecoveryEngine::reportName).string());
    for (auto& row : manifest("exfat", "")) {
        if (row.path.back() == '/') continue;
        SCOPED_TRACE(row.path);
        fs::path file = folder / row.path;
        ASSERT_TRUE(fs::is_regular_file(file));
        EXPECT_EQ(std::to_string(fs::file_size(file)), row.size);
        bool overwritten = row.note.rfind("overwritten", 0) == 0;
        if (overwritten) {
            // Written as found, rated poor in the report.
            EXPECT_NE(report.find(row.path + ";" + row.size + ";OK;Ringe;0;Klyngerne er genbrugt af andre filer\n"),
                      std::string::npos);
            continue;
        }
        EXPECT_EQ(Sha256::of(readBytes(file)), row.sha256);
        EXPECT_NE(report.find(row.path + ";" + row.size + ";OK;God;0;\n"), std::string::npos);
        // The modification time comes back with the file.
        struct stat st {};
        ASSERT_EQ(::stat(file.c_str(), &st), 0);
        EXPECT_EQ(isoUTC(std::chrono::system_clock::from_time_t(st.st_mtim.tv_sec)), row.mtime);
    }
}
