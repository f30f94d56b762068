// The NTFS reader against images made by mkntfs and ntfs-3g (their manifests
// are the oracle), images with one field broken, and records built by hand.

#include <gtest/gtest.h>

#include <set>

#include "TestSupport.h"
#include "TestSupport.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/NTFS/Context.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

const std::string orphanFolder = "$Forældreløse filer/";

// The SHA-256 of a node's contents as the file reader delivers them.
std::string contentSha256(const FileNode& node, DiskSource& source) {
    Sha256 hash;
    FileReader::stream(node, source, FileReader::defaultChunkSize, std::nullopt, [&](const Bytes& piece) {
        hash.update(piece);
        return true;
    });
    return hash.hex();
}

size_t placedExtents(const FileNode& node) {
    size_t n = 0;
    if (auto* extents = std::get_if<std::vector<Extent>>(&node.data))
        for (auto& e : *extents) n += e.offset.has_value();
    return n;
}

struct Expectations {
    std::string prefix;                 // "p2:" for a partition's rows
    std::set<std::string> leftOut;      // manifest rows we do not list, with the reason in the test
    std::set<std::string> extraNodes;   // nodes we list that the manifest does not
};

// Compares a volume's tree with a manifest: every listed row is found with its
// kind, size, status, date and (unless overwritten) contents, and no node is
// listed that the manifest does not know.
void expectMatchesManifest(const Volume& volume, DiskSource& source, const std::string& fixture,
                           const Expectations& expect) {
    auto nodes = nodesByPath(volume.root);
    std::set<std::string> seen;
    for (auto& row : readManifest(fixture)) {
        if (row.path.rfind(expect.prefix, 0) != 0) continue;
        std::string path = row.path.substr(expect.prefix.size());
        if (path.empty() || path == "-") continue;  // the partition's or the volume's own row
        // Named streams are not files of their own here.
        if (path.find(':') != std::string::npos) continue;
        if (expect.leftOut.count(path) || row.status == "carved") continue;
        // A deleted file whose record went to another file has left nothing.
        if (row.note.find("the deleted entry itself is gone") != std::string::npos) continue;
        std::string where = path;
        if (row.status == "orphaned") where = orphanFolder + path.substr(path.find_last_of('/', path.size() - 2) + 1);
        SCOPED_TRACE(fixture + ": " + row.path);
        auto it = nodes.find(where);
        ASSERT_NE(it, nodes.end()) << "missing: " << where;
        seen.insert(where);
        const FileNode& node = *it->second;
        EXPECT_EQ(node.isDirectory, row.isFolder());
        // An orphan keeps the status its own record gives it: a deleted one
        // stays deleted inside the orphan folder.
        if (row.status == "orphaned") {
            EXPECT_TRUE(node.status == EntryStatus::orphaned || node.status == EntryStatus::deleted);
        } else {
            EXPECT_EQ(rawValue(node.status), row.status);
        }
        if (row.isFolder()) continue;
        EXPECT_EQ(std::to_string(node.size), row.size);
        if (auto when = parseManifestTime(row.mtime)) {
            ASSERT_TRUE(node.modified.has_value());
            EXPECT_EQ(std::chrono::floor<std::chrono::seconds>(*node.modified), *when);
        }
        bool overwritten = row.note.rfind("overwritten", 0) == 0;
        if (!overwritten) {
            EXPECT_EQ(contentSha256(node, source), row.sha256);
        }
        if (node.status == EntryStatus::existing || node.status == EntryStatus::orphaned) {
            EXPECT_EQ(node.recoverability, Recoverability::good);
            if (std::holds_alternative<std::vector<Extent>>(node.data) && row.note.find("sparse") == std::string::npos &&
                row.fragments != "-") {
                EXPECT_EQ(std::to_string(placedExtents(node)), row.fragments);
            }
        } else if (overwritten) {
            EXPECT_LT(node.recoverability, Recoverability::good);
            EXPECT_TRUE(node.note == "Klyngerne er genbrugt af andre filer" ||
                        node.note == "Dele af filen kan være overskrevet");
        } else {
            EXPECT_EQ(node.recoverability, Recoverability::good);
            EXPECT_FALSE(node.note.has_value());
        }
    }
    for (auto& [path, node] : nodes) {
        if (seen.count(path) || expect.extraNodes.count(path)) continue;
        ADD_FAILURE() << fixture << ": not in the manifest: " << path;
    }
}

VolumePtr parseFixture(DiskSource& source, uint64_t offset = 0) {
    auto volume = NTFSParser::parse(source, offset, origin::partitionTable);
    if (!volume) return nullptr;
    return *volume;
}

FileNodePtr nodeAt(const Volume& volume, const std::string& path) {
    auto nodes = nodesByPath(volume.root);
    auto it = nodes.find(path);
    return it == nodes.end() ? nullptr : it->second;
}

// Two trees list the same paths with the same sizes, states, notes, dates
// and placements.
void expectSameTree(const Volume& actual, const Volume& expected) {
    auto a = nodesByPath(actual.root), e = nodesByPath(expected.root);
    for (auto& [path, node] : e) {
        auto it = a.find(path);
        if (it == a.end()) {
            ADD_FAILURE() << "missing: " << path;
            continue;
        }
        const FileNode& n = *it->second;
        EXPECT_TRUE(n.size == node->size && n.status == node->status && n.recoverability == node->recoverability &&
                    n.note == node->note && n.modified == node->modified && n.data == node->data && n.fsID == node->fsID)
            << "differs: " << path;
    }
    for (auto& [path, node] : a)
        if (!e.count(path)) ADD_FAILURE() << "extra: " << path;
}

// The shared NTFS image's tree, read once.
const Volume& sharedNTFSVolume() {
    static VolumePtr volume = [] {
        auto source = SourceOpener::openImage(fixtureImage("ntfs"));
        return *NTFSParser::parse(*source, 0, origin::partitionTable);
    }();
    return *volume;
}

}  // namespace

// MARK: Whole volumes against their manifests

TEST(NTFSVolume, ReadsTheSharedNTFSImageAsItsManifestSays) {
    auto source = SourceOpener::openImage(fixtureImage("ntfs"));
    auto volume = parseFixture(*source);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->type, FileSystemType::ntfs);
    EXPECT_EQ(volume->label, "SOMMERHUS");
    EXPECT_EQ(volume->origin, origin::partitionTable);
    EXPECT_EQ(volume->clusterSize, 4096u);
    EXPECT_EQ(volume->offset, 0u);
    EXPECT_EQ(volume->size, 131071u * 512);
    EXPECT_TRUE(volume->notes.empty());
    Expectations expect;
    // A hard link's second name is not a second file: the record is listed once.
    expect.leftOut.insert("hardlink til original.txt");
    // This folder's record was reused for another file, so nothing of it is left.
    expect.leftOut.insert("Forældreløs mappe/");
    // Its children are real orphans; the system files below $Extend are not.
    expect.extraNodes = {orphanFolder};
    expectMatchesManifest(*volume, *source, "ntfs", expect);

    // The placements the manifest describes in words.
    auto sparse = nodeAt(*volume, "sparsom.bin");
    ASSERT_TRUE(sparse);
    auto& sparseExtents = std::get<std::vector<Extent>>(sparse->data);
    EXPECT_EQ(placedExtents(*sparse), 3u);
    EXPECT_GT(sparseExtents.size(), 3u);  // holes between and after the data
    auto compressed = nodeAt(*volume, "Komprimeret/log æøå.txt");
    ASSERT_TRUE(compressed);
    auto& runs = std::get<CompressedRuns>(compressed->data);
    EXPECT_EQ(runs.unitClusters, 16u);
    EXPECT_EQ(runs.clusterSize, 4096u);
    EXPECT_EQ(runs.volumeOffset, 0u);
    EXPECT_TRUE(std::holds_alternative<ResidentData>(nodeAt(*volume, "a.txt")->data));
    EXPECT_EQ(nodeAt(*volume, "original.txt")->fsID, 93u);
    EXPECT_EQ(nodeAt(*volume, orphanFolder)->fsID, 0u);
    EXPECT_EQ(volume->root->fsID, 5u);
    // Folders first, the orphan folder among them.
    auto& top = volume->root->children();
    auto firstFile = std::find_if(top.begin(), top.end(), [](auto& n) { return !n->isDirectory; });
    EXPECT_TRUE(std::all_of(firstFile, top.end(), [](auto& n) { return !n->isDirectory; }));
}

TEST(NTFSVolume, FileInHundredsOfPiecesAndDeletedFilesRatedByTheirClusters) {
    auto source = SourceOpener::openImage(fixtureImage("ntfs_attrlist"));
    auto volume = parseFixture(*source);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->label, "STYKKER");
    Expectations expect;
    expectMatchesManifest(*volume, *source, "ntfs_attrlist", expect);
    // 295 runs do not fit one record: they come from the extension records
    // the attribute list names.
    EXPECT_EQ(placedExtents(*nodeAt(*volume, "mange stykker.bin")), 295u);
    struct Rating {
        const char* path;
        Recoverability rating;
        std::optional<std::string> note;
    };
    for (auto& r : std::vector<Rating>{
             {"slettet/intakt.txt", Recoverability::good, std::nullopt},
             {"slettet/p.txt", Recoverability::good, std::nullopt},
             {"slettet/først genbrugt.txt", Recoverability::poor, "Klyngerne er genbrugt af andre filer"},
             {"slettet/delvist overskrevet.txt", Recoverability::partial, "Dele af filen kan være overskrevet"},
         }) {
        SCOPED_TRACE(r.path);
        auto node = nodeAt(*volume, r.path);
        ASSERT_TRUE(node);
        EXPECT_EQ(node->status, EntryStatus::deleted);
        EXPECT_EQ(node->recoverability, r.rating);
        EXPECT_EQ(node->note, r.note);
    }
}

TEST(NTFSVolume, ReadsNTFSPartitionsAtTheirOffsets) {
    struct Case {
        std::string fixture, prefix;
        uint64_t offset;
    };
    for (auto& c : std::vector<Case>{{"gpt_fat32_ntfs_exfat", "p2:", 73728ull * 512},
                                     {"mbr_extended", "p5:", 45056ull * 512}}) {
        SCOPED_TRACE(c.fixture);
        auto source = SourceOpener::openImage(fixtureImage(c.fixture));
        auto volume = parseFixture(*source, c.offset);
        ASSERT_TRUE(volume);
        EXPECT_EQ(volume->offset, c.offset);
        Expectations expect;
        expect.prefix = c.prefix;
            expectMatchesManifest(*volume, *source, c.fixture, expect);
    }
}

TEST(NTFSVolume, VolumeLoaderDispatchesToTheReader) {
    auto source = SourceOpener::openImage(fixtureImage("ntfs"));
    auto volumes = VolumeLoader::load(*source, FileSystemType::ntfs, 0, origin::deepScan);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0]->origin, origin::deepScan);
}

// MARK: Damaged images

namespace {

// The shared NTFS image: 512-byte sectors, 4 KiB clusters, 1 KiB records,
// $MFT at cluster 4 and $MFTMirr at cluster 8191.
constexpr uint64_t mftOffset = 4 * 4096;
constexpr uint64_t mirrorOffset = 8191ull * 4096;
constexpr uint64_t recordOffset(uint64_t number) { return mftOffset + number * 1024; }

// The byte offset of the first attribute of a type in the record at offset.
uint64_t attributeAt(const MemoryImage& image, uint64_t record, uint32_t type) {
    Bytes bytes = image.read(record, 1024);
    int64_t pos = u16le(bytes, 20);
    while (pos < 1024) {
        uint32_t t = u32le(bytes, pos);
        if (t == type) return record + static_cast<uint64_t>(pos);
        if (t == 0xFFFFFFFF || u32le(bytes, pos + 4) == 0) break;
        pos += u32le(bytes, pos + 4);
    }
    ADD_FAILURE() << "no attribute " << type;
    return 0;
}

}  // namespace

TEST(NTFSDamage, RecordZeroFallsBackToTheMirrorWithItsNote) {
    struct Case {
        const char* what;
        std::function<void(MemoryImage&)> damage;
        std::vector<std::string> notes;
    };
    std::vector<Case> cases = {
        {"record 0 zeroed", [](MemoryImage& m) { m.zero(mftOffset, 1024); },
         {"$MFT-posten var beskadiget – $MFTMirr blev brugt."}},
        {"record 0 not a FILE record", [](MemoryImage& m) { m.put(mftOffset, 0x44414142, 4); },  // "BAAD"
         {"$MFT-posten var beskadiget – $MFTMirr blev brugt."}},
        {"record 0 with a bad check value", [](MemoryImage& m) { m.put(mftOffset + 510, 0xBEEF, 2); },
         {"$MFT-posten har fejl i opdateringssekvensen."}},
        {"record 0 zeroed, the mirror's check value bad",
         [](MemoryImage& m) {
             m.zero(mftOffset, 1024);
             m.put(mirrorOffset + 1022, 0xBEEF, 2);
         },
         {"$MFT-posten var beskadiget – $MFTMirr blev brugt.", "$MFT-posten har fejl i opdateringssekvensen."}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        MemoryImage image("ntfs");
        c.damage(image);
        auto source = image.source();
        auto volume = parseFixture(*source);
        ASSERT_TRUE(volume);
        EXPECT_EQ(volume->notes, c.notes);
        expectSameTree(*volume, sharedNTFSVolume());
    }
}

TEST(NTFSDamage, NoVolumeWhenBothMFTCopiesAreGone) {
    MemoryImage image("ntfs");
    image.zero(mftOffset, 1024);
    image.zero(mirrorOffset, 1024);
    auto source = image.source();
    EXPECT_FALSE(NTFSParser::parse(*source, 0, origin::partitionTable).has_value());
    EXPECT_TRUE(VolumeLoader::load(*source, FileSystemType::ntfs, 0, origin::partitionTable).empty());

    Bytes boot = source->read(0, 512);
    auto context = NTFSContext::fromBoot(*source, 0, boot);
    ASSERT_TRUE(context);
    std::vector<std::string> notes;
    EXPECT_FALSE(context->locateMFT(notes).has_value());
    EXPECT_EQ(notes, std::vector<std::string>{
                         "$MFT kunne ikke findes. Kør en dyb scanning for at genopbygge fra løse MFT-poster."});
}

TEST(NTFSDamage, MFTTooSmallIsNotAccepted) {
    // 15 records of data are too few for an MFT, from either copy.
    MemoryImage image("ntfs");
    for (uint64_t record : {mftOffset, mirrorOffset}) {
        uint64_t data = attributeAt(image, record, 0x80);
        image.put(data + 48, 15 * 1024, 8);
    }
    auto source = image.source();
    EXPECT_FALSE(NTFSParser::parse(*source, 0, origin::partitionTable).has_value());
}

TEST(NTFSDamage, ZeroedMFTStartLoadsThroughTheMirror) {
    auto source = SourceOpener::openImage(fixtureImage("damage_ntfs_mft_zeroed"));
    auto volume = parseFixture(*source);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->notes, std::vector<std::string>{"$MFT-posten var beskadiget – $MFTMirr blev brugt."});
    Expectations expect;
    // The folder's record is zeroed: its name survives nowhere, its children
    // are orphans. Rows marked carved can only come back by carving.
    expect.leftOut = {"Billeder/"};
    expect.extraNodes = {orphanFolder};
    expectMatchesManifest(*volume, *source, "damage_ntfs_mft_zeroed", expect);
    for (auto& child : nodeAt(*volume, orphanFolder)->children()) EXPECT_EQ(child->status, EntryStatus::orphaned);
}

TEST(NTFSDamage, ZeroedBootSectorReadsThroughItsBackup) {
    auto source = SourceOpener::openImage(fixtureImage("damage_ntfs_boot_zeroed"));
    EXPECT_FALSE(NTFSParser::parse(*source, 0, origin::partitionTable).has_value());
    Bytes backup = source->read(source->size - 512, 512);
    auto volume = NTFSParser::parse(*source, 0, origin::deepScanBackupBoot, nullptr, &backup);
    ASSERT_TRUE(volume);
    EXPECT_EQ((*volume)->origin, origin::deepScanBackupBoot);
    Expectations expect;
    expectMatchesManifest(**volume, *source, "damage_ntfs_boot_zeroed", expect);
}

TEST(NTFSDamage, RecordWithABadCheckValueKeepsItsAttributesAndGetsANote) {
    // a.txt is record 87; its one byte of resident data stays readable.
    MemoryImage image("ntfs");
    image.put(recordOffset(87) + 1022, 0xBEEF, 2);
    auto source = image.source();
    auto volume = parseFixture(*source);
    ASSERT_TRUE(volume);
    auto node = nodeAt(*volume, "a.txt");
    ASSERT_TRUE(node);
    EXPECT_EQ(node->note, "MFT-posten er delvist beskadiget");
    EXPECT_EQ(node->size, 1u);
    EXPECT_EQ(contentSha256(*node, *source), "2d711642b726b04401627ca9fbac32f5c8530fb1903cc4db02258717921a4881");
    // The note follows a rating's note: hul_02.bin (record 3111) is deleted
    // and its first cluster belongs to another file now.
    image.put(recordOffset(3111) + 510, 0xBEEF, 2);
    auto reused = nodeAt(*parseFixture(*image.source()), "huller/hul_02.bin");
    ASSERT_TRUE(reused);
    EXPECT_EQ(reused->note, "Klyngerne er genbrugt af andre filer. MFT-posten er delvist beskadiget");
}

TEST(NTFSDamage, ClaimedSizesBeyondTheVolumeAllocateNothingExtra) {
    // $MFT claiming 2^40 bytes (capped at 60,000,000 records) and $Bitmap
    // claiming 500 MiB on a 64 MiB volume: the same files, the bitmap kept at
    // one bit per cluster of the volume.
    MemoryImage image("ntfs");
    uint64_t mftData = attributeAt(image, mftOffset, 0x80);
    image.put(mftData + 48, uint64_t{1} << 40, 8);
    uint64_t bitmapData = attributeAt(image, recordOffset(6), 0x80);
    image.put(bitmapData + 48, 500ull << 20, 8);
    image.put(bitmapData + 56, 500ull << 20, 8);
    auto source = image.source();
    Bytes boot = source->read(0, 512);
    auto context = NTFSContext::fromBoot(*source, 0, boot);
    ASSERT_TRUE(context);
    std::vector<std::string> notes;
    auto layout = context->locateMFT(notes);
    ASSERT_TRUE(layout);
    EXPECT_EQ(layout->recordCount, 60'000'000u);
    auto records = context->readAllRecords(*layout, nullptr);
    EXPECT_LE(records.size(), 3122u);
    auto volume = context->buildVolume(std::move(records), origin::partitionTable, nullptr);
    EXPECT_EQ(context->bitmap.size(), (16383u + 7) / 8);
    expectSameTree(*volume, sharedNTFSVolume());
}

// MARK: Boot sector

TEST(NTFSBoot, GeometryFromTheBootSector) {
    struct Case {
        uint16_t bytesPerSector;
        uint8_t sectorsPerCluster;
        int8_t perRecord;
        uint64_t clusterSize;  // 0: rejected
        int64_t recordSize;
    };
    const std::vector<Case> cases = {
        {512, 8, -10, 4096, 1024},
        {512, 0xFF, -10, 1024, 1024},      // 2^1 sectors
        {512, 0xF8, -10, 131072, 1024},    // 2^8 sectors: 128 KiB clusters
        {512, 0xF4, -12, 2097152, 4096},   // 2^12 sectors, the largest count
        {4096, 1, 0x01, 4096, 4096},       // one cluster per record
        {512, 1, 0x02, 512, 1024},
        {512, 0x80, -10, 65536, 1024},     // 128 as it stands
        {512, 0xF3, -10, 0, 0},            // 2^13 sectors: too many
        {512, 0x81, -10, 0, 0},            // 2^127: refused before any shift
        {512, 0xC0, -10, 0, 0},
        {512, 0, -10, 0, 0},
        {500, 8, -10, 0, 0},
        {512, 8, -8, 0, 0},
        {512, 8, -17, 0, 0},
        {512, 8, 0, 0, 0},
        {512, 0x80, 2, 0, 0},              // 2 × 64 KiB records: too large
    };
    Bytes blank(1 << 20, 0);
    MemoryImage image(blank);
    auto source = image.source();
    for (auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.bytesPerSector << " " << int(c.sectorsPerCluster) << " " << int(c.perRecord));
        Bytes boot(512, 0);
        std::memcpy(boot.data() + 3, "NTFS    ", 8);
        boot[11] = static_cast<uint8_t>(c.bytesPerSector & 0xFF), boot[12] = static_cast<uint8_t>(c.bytesPerSector >> 8);
        boot[13] = c.sectorsPerCluster;
        boot[40] = 0x10;  // 16 sectors
        boot[48] = 4, boot[56] = 2;
        boot[64] = static_cast<uint8_t>(c.perRecord);
        auto context = NTFSContext::fromBoot(*source, 0, boot);
        if (c.clusterSize == 0) {
            EXPECT_FALSE(context);
            continue;
        }
        ASSERT_TRUE(context);
        EXPECT_EQ(context->clusterSize, c.clusterSize);
        EXPECT_EQ(context->recordSize, c.recordSize);
        EXPECT_EQ(context->volumeSize, 16u * c.bytesPerSector);
        EXPECT_EQ(context->mftLCN, 4u);
        EXPECT_EQ(context->mirrLCN, 2u);
    }
    Bytes boot(512, 0);
    std::memcpy(boot.data() + 3, "NTFS    ", 8);
    boot[12] = 2, boot[13] = 8, boot[64] = 0xF6;
    EXPECT_TRUE(NTFSContext::fromBoot(*source, 0, boot));
    EXPECT_FALSE(NTFSContext::fromBoot(*source, 0, ByteSpan(boot).first(64)));
    // A sector count whose byte size overflows leaves the size unknown.
    for (int i = 40; i < 48; ++i) boot[static_cast<size_t>(i)] = 0xFF;
    auto unknownSize = NTFSContext::fromBoot(*source, 0, boot);
    ASSERT_TRUE(unknownSize);
    EXPECT_EQ(unknownSize->volumeSize, 0u);
    boot[3] = 'X';
    EXPECT_FALSE(NTFSContext::fromBoot(*source, 0, boot));
}

TEST(NTFSBoot, ClusterCountStoredAsAnExponent) {
    // mkntfs stores 256 sectors per cluster as 0xF8.
    auto source = SourceOpener::openImage(fixtureImage("ntfs_bigcluster"));
    EXPECT_EQ(source->read(13, 1)[0], 0xF8);
    auto volume = parseFixture(*source);
    ASSERT_TRUE(volume);
    EXPECT_EQ(volume->clusterSize, 131072u);
    Expectations expect;
    expectMatchesManifest(*volume, *source, "ntfs_bigcluster", expect);

    // 8 sectors written as 2^3 read the same volume as 8 written plainly.
    MemoryImage image("ntfs");
    image.put(13, 0xFD, 1);
    auto patched = image.source();
    auto same = parseFixture(*patched);
    ASSERT_TRUE(same);
    EXPECT_EQ(same->clusterSize, 4096u);
    expectSameTree(*same, sharedNTFSVolume());
}

// MARK: Records

namespace {

// A 1 KiB FILE record written attribute by attribute, with its update
// sequence applied as on disk (check value 0x0001 at each stride's end).
class RecordBuilder {
public:
    explicit RecordBuilder(uint32_t number, uint8_t flags = 1, uint16_t seq = 1, uint16_t usaOffset = 48) {
        std::memcpy(bytes_.data(), "FILE", 4);
        put(4, usaOffset, 2);
        put(6, 3, 2);
        put(16, seq, 2);
        put(20, 56, 2);
        put(22, flags, 2);
        put(28, 1024, 4);
        put(44, number, 4);
    }
    void put(size_t offset, uint64_t value, int width) {
        for (int i = 0; i < width; ++i) bytes_.at(offset + static_cast<size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
    }
    RecordBuilder& base(uint64_t ref, uint16_t seq) {
        put(32, ref, 6);
        put(38, seq, 2);
        return *this;
    }
    RecordBuilder& resident(uint32_t type, const Bytes& value, uint8_t nameLength = 0, uint16_t flags = 0) {
        size_t valueOffset = 24 + nameLength * 2u;
        valueOffset = (valueOffset + 7) / 8 * 8;
        size_t length = (valueOffset + value.size() + 7) / 8 * 8;
        header(type, length, false, nameLength, flags);
        put(pos_ + 16, value.size(), 4);
        put(pos_ + 20, valueOffset, 2);
        std::copy(value.begin(), value.end(), bytes_.begin() + static_cast<long>(pos_ + valueOffset));
        pos_ += length;
        return *this;
    }
    RecordBuilder& nonResident(uint32_t type, const Bytes& runs, uint64_t dataSize, uint64_t initSize,
                               uint64_t startVCN = 0, uint16_t flags = 0, uint8_t unit = 0) {
        size_t length = (64 + runs.size() + 1 + 7) / 8 * 8;
        header(type, length, true, 0, flags);
        put(pos_ + 16, startVCN, 8);
        put(pos_ + 32, 64, 2);
        put(pos_ + 34, unit, 1);
        put(pos_ + 48, dataSize, 8);
        put(pos_ + 56, initSize, 8);
        std::copy(runs.begin(), runs.end(), bytes_.begin() + static_cast<long>(pos_ + 64));
        pos_ += length;
        return *this;
    }
    RecordBuilder& fileName(uint64_t parent, uint16_t parentSeq, const std::string& ascii, uint8_t nameSpace = 1,
                            uint64_t realSize = 0) {
        Bytes value(66 + 2 * ascii.size(), 0);
        for (int i = 0; i < 6; ++i) value[static_cast<size_t>(i)] = static_cast<uint8_t>(parent >> (8 * i));
        value[6] = static_cast<uint8_t>(parentSeq & 0xFF), value[7] = static_cast<uint8_t>(parentSeq >> 8);
        for (int i = 0; i < 8; ++i) value[48 + static_cast<size_t>(i)] = static_cast<uint8_t>(realSize >> (8 * i));
        value[64] = static_cast<uint8_t>(ascii.size());
        value[65] = nameSpace;
        for (size_t i = 0; i < ascii.size(); ++i) value[66 + 2 * i] = static_cast<uint8_t>(ascii[i]);
        return resident(0x30, value);
    }
    Bytes finish() {
        put(pos_, 0xFFFFFFFF, 4);
        put(24, pos_ + 8, 4);
        Bytes out = bytes_;
        size_t usa = u16le(out, 4);
        out[usa] = 1, out[usa + 1] = 0;
        for (size_t i = 0; i < 2; ++i) {
            out[usa + 2 + 2 * i] = out[512 * i + 510];
            out[usa + 3 + 2 * i] = out[512 * i + 511];
            out[512 * i + 510] = 1, out[512 * i + 511] = 0;
        }
        return out;
    }

private:
    void header(uint32_t type, size_t length, bool nonResident, uint8_t nameLength, uint16_t flags) {
        put(pos_, type, 4);
        put(pos_ + 4, length, 4);
        put(pos_ + 8, nonResident, 1);
        put(pos_ + 9, nameLength, 1);
        put(pos_ + 10, nonResident ? 64 : 24, 2);
        put(pos_ + 12, flags, 2);
    }
    Bytes bytes_ = Bytes(1024, 0);
    size_t pos_ = 56;
};

using Runs = std::vector<CompressedRuns::Run>;
CompressedRuns::Run run(uint64_t lcn, uint64_t clusters) { return {lcn, clusters}; }
CompressedRuns::Run hole(uint64_t clusters) { return {std::nullopt, clusters}; }

}  // namespace

TEST(NTFSRecord, ParsesHeaderAndAttributes) {
    Bytes bytes = RecordBuilder(77, 3, 9)
                      .base(0, 0)
                      .resident(0x10, Bytes(48, 0))
                      .fileName(5, 5, "KORT~1.TXT", 2)
                      .fileName(5, 5, "kort navn.txt", 1, 1234)
                      .fileName(5, 5, "", 1)                          // no name: passed over
                      .resident(0x80, Bytes{'n', 'a', 'v', 'n'}, 2)   // a named stream: passed over
                      .resident(0x80, Bytes{'d', 'a', 't', 'a'})
                      .finish();
    auto record = NTFSContext::parseRecord(bytes, std::nullopt);
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->fixupOK);
    EXPECT_TRUE(record->hasNumber);
    EXPECT_EQ(record->number, 77u);
    EXPECT_TRUE(record->inUse);
    EXPECT_TRUE(record->isDir);
    EXPECT_EQ(record->seq, 9);
    ASSERT_EQ(record->names.size(), 2u);
    ASSERT_TRUE(record->bestName());
    EXPECT_EQ(record->bestName()->name, "kort navn.txt");  // the Win32 name after the DOS one
    EXPECT_EQ(record->bestName()->realSize, 1234u);
    EXPECT_EQ(record->bestName()->parent, 5u);
    ASSERT_EQ(record->data.size(), 1u);
    EXPECT_EQ(record->data[0].resident, (Bytes{'d', 'a', 't', 'a'}));
    EXPECT_EQ(record->data[0].dataSize, 4u);
    EXPECT_FALSE(record->siCreated.has_value());  // zero times are absent

    // A given number wins; without one, an update sequence at 42 carries none.
    EXPECT_EQ(NTFSContext::parseRecord(bytes, 12)->number, 12u);
    Bytes old = RecordBuilder(77, 1, 1, 42).fileName(5, 5, "x").finish();
    EXPECT_FALSE(NTFSContext::parseRecord(old, std::nullopt)->hasNumber);
}

TEST(NTFSRecord, BadCheckValueKeepsAttributesAndRestoresTheBytes) {
    Bytes bytes = RecordBuilder(70).fileName(5, 5, "a.txt").resident(0x80, Bytes(600, 'z')).finish();
    bytes[1022] = 0x77;  // the second stride's check value
    auto record = NTFSContext::parseRecord(bytes, std::nullopt);
    ASSERT_TRUE(record);
    EXPECT_FALSE(record->fixupOK);
    ASSERT_EQ(record->data.size(), 1u);
    EXPECT_EQ(record->data[0].resident, Bytes(600, 'z'));
    EXPECT_EQ(bytes[510], 'z');  // the saved bytes are back in place
}

TEST(NTFSRecord, RejectsWhatIsNotARecord) {
    Bytes bytes = RecordBuilder(70).fileName(5, 5, "a.txt").finish();
    EXPECT_FALSE(NTFSContext::parseRecord(std::span(bytes).first(511), std::nullopt));
    Bytes baad = bytes;
    std::memcpy(baad.data(), "BAAD", 4);
    EXPECT_FALSE(NTFSContext::parseRecord(baad, std::nullopt));
    // A $FILE_NAME value of 65 bytes is passed over; the record stays.
    RecordBuilder shortName(70);
    shortName.resident(0x30, Bytes(65, 1));
    Bytes b = shortName.finish();
    auto record = NTFSContext::parseRecord(b, std::nullopt);
    ASSERT_TRUE(record);
    EXPECT_TRUE(record->names.empty());
}

TEST(NTFSRecord, MappingPairs) {
    struct Case {
        const char* what;
        Bytes pairs;
        Runs runs;
    };
    const std::vector<Case> cases = {
        {"a run and a sparse run", {0x21, 0x10, 0x00, 0x01, 0x01, 0x05, 0x00}, {run(256, 16), hole(5)}},
        {"a negative delta", {0x11, 0x02, 0x40, 0x11, 0x03, 0xF0, 0x00}, {run(64, 2), run(48, 3)}},
        {"below cluster 0 ends the list", {0x11, 0x02, 0x10, 0x11, 0x03, 0xE0, 0x00}, {run(16, 2)}},
        {"a count of 0 ends the list", {0x11, 0x02, 0x10, 0x11, 0x00, 0x10, 0x00}, {run(16, 2)}},
        {"a count of 2^40 ends the list", {0x16, 0, 0, 0, 0, 0, 0x01, 0x10, 0x00}, {}},
        {"a delta width above 8 ends the list", {0x91, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0}, {}},
        {"a pair past the end ends the list", {0x11, 0x02, 0x10, 0x31, 0x01, 0x00}, {run(16, 2)}},
        {"a sum past 2^63 ends the list",
         {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x01, 0x01, 0x00},
         {run(0x7FFFFFFFFFFFFFFF, 1)}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(NTFSContext::decodeRuns(c.pairs, 0, static_cast<int64_t>(c.pairs.size())), c.runs);
    }
    // The end given is respected even when more bytes follow.
    Bytes pairs = {0x11, 0x02, 0x10, 0x11, 0x03, 0x10, 0x00};
    EXPECT_EQ(NTFSContext::decodeRuns(pairs, 0, 3), Runs{run(16, 2)});
}

TEST(NTFSRecord, JoiningFragmentsAndPlacingRuns) {
    DataFragment first, second, overlap;
    first.runs = {run(100, 10)};
    first.dataSize = 99999;
    second.startVCN = 15;
    second.runs = {run(200, 3)};
    overlap.startVCN = 5;
    overlap.runs = {run(300, 1)};
    std::vector<DataFragment> fragments = {second, first, overlap};
    auto joined = NTFSContext::mergedData(fragments);  // points into fragments
    ASSERT_TRUE(joined.main);
    EXPECT_EQ(joined.main->dataSize, 99999u);
    EXPECT_EQ(joined.runs, (Runs{run(100, 10), hole(5), run(200, 3)}));
    EXPECT_TRUE(joined.gaps);
    std::vector<DataFragment> one = {first}, none;
    EXPECT_FALSE(NTFSContext::mergedData(one).gaps);
    EXPECT_FALSE(NTFSContext::mergedData(none).main);

    Bytes blank(1 << 20, 0);
    MemoryImage image(blank);
    auto source = image.source();
    NTFSContext context(*source, 8192, 4096, 1024, 0);
    struct Case {
        const char* what;
        Runs runs;
        uint64_t size, initSize;
        std::vector<Extent> extents;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"initialised part and a zero tail", {run(4, 4)}, 10000, 6000, {{8192 + 16384, 6000}, {std::nullopt, 4000}}, true},
        {"a hole", {hole(1), run(1, 1)}, 8192, 8192, {{std::nullopt, 4096}, {8192 + 4096, 4096}}, true},
        // What no run places is unknown, not a hole of zeros: the list stops
        // there, and the zero tail past the initialised size is not added at
        // a wrong file position.
        {"runs short of the size", {run(1, 1)}, 6000, 6000, {{8192 + 4096, 4096}}, false},
        {"runs short of the initialised part", {run(1, 1)}, 10000, 6000, {{8192 + 4096, 4096}}, false},
        // The place is kept so that the file reader counts those bytes as unreadable.
        {"a cluster past the source", {run(1000, 1)}, 4096, 4096, {{8192 + 1000 * 4096, 4096}}, false},
        // cluster × size would wrap around to a small, plausible offset
        {"a cluster whose offset overflows", {run(0x0010000000000001, 1)}, 4096, 4096, {}, false},
        {"a place after one that overflows", {run(1, 1), run(0x0010000000000001, 1), run(2, 1)}, 12288, 12288,
         {{8192 + 4096, 4096}}, false},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto placed = context.extents(c.runs, c.size, c.initSize);
        EXPECT_EQ(placed.extents, c.extents);
        EXPECT_EQ(placed.valid, c.valid);
    }
    // A count × cluster size beyond 64 bits is a very long run, not a short one.
    NTFSContext huge(*source, 0, uint64_t{1} << 30, 1024, 0);
    auto placed = huge.extents({run(0, 0xFFFFFFFFFF), run(0, 1)}, 5000, 5000);
    EXPECT_EQ(placed.extents, (std::vector<Extent>{{0, 5000}}));
}

TEST(NTFSRecord, TheSweepsRecordTest) {
    Bytes record = RecordBuilder(70).fileName(5, 5, "a.txt").finish();
    Bytes buffer(4096, 0);
    std::copy(record.begin(), record.end(), buffer.begin() + 1536);
    EXPECT_TRUE(NTFSParser::looksLikeRecord(buffer, 1536));
    EXPECT_FALSE(NTFSParser::looksLikeRecord(buffer, 1024));
    EXPECT_FALSE(NTFSParser::looksLikeRecord(ByteSpan(buffer).first(1536 + 30), 1536));  // header cut short
    EXPECT_FALSE(NTFSParser::looksLikeRecord(buffer, -1));
    struct Case {
        size_t offset;
        uint64_t value;
        int width;
        bool result;
    };
    for (auto c : std::vector<Case>{{4, 42, 2, true}, {4, 44, 2, false}, {6, 9, 2, true}, {6, 10, 2, false},
                                    {6, 1, 2, false}, {20, 47, 2, false}, {20, 511, 2, true}, {20, 512, 2, false},
                                    {28, 4096, 4, true}, {28, 2048, 4, false}}) {
        Bytes b = record;
        for (int i = 0; i < c.width; ++i) b[c.offset + static_cast<size_t>(i)] = static_cast<uint8_t>(c.value >> (8 * i));
        EXPECT_EQ(NTFSParser::looksLikeRecord(b, 0), c.result) << c.offset << "=" << c.value;
    }
}

TEST(NTFSRecord, ARecordSplitBetweenTwoExtentsIsPutTogether) {
    auto source = SourceOpener::openImage(fixtureImage("ntfs"));
    Bytes boot = source->read(0, 512);
    auto context = NTFSContext::fromBoot(*source, 0, boot);
    ASSERT_TRUE(context);
    std::vector<std::string> notes;
    auto layout = context->locateMFT(notes);
    ASSERT_TRUE(layout);
    ASSERT_EQ(layout->extents.size(), 1u);
    auto whole = context->readAllRecords(*layout, nullptr);

    // The same bytes as two extents that split record 70 in the middle.
    NTFSContext::MFTLayout split = *layout;
    uint64_t cut = 70 * 1024 + 512;
    split.extents = {{mftOffset, cut}, {mftOffset + cut, layout->extents[0].length - cut}};
    auto records = context->readAllRecords(split, nullptr);
    EXPECT_EQ(records.size(), whole.size());
    ASSERT_TRUE(records.find(70) && whole.find(70));
    EXPECT_EQ(records.find(70)->sourceOffset, 0u);
    EXPECT_EQ(records.find(70)->name.name, whole.find(70)->name.name);
    EXPECT_EQ(records.find(69)->sourceOffset, recordOffset(69));
    EXPECT_EQ(records.find(71)->sourceOffset, recordOffset(71));
}

// MARK: The tree

namespace {

MFTRecord record(uint64_t number, const std::string& name, uint64_t parent, bool isDir = false, bool inUse = true,
                 uint16_t seq = 1, uint16_t parentSeq = 0) {
    MFTRecord r;
    r.number = number;
    r.hasNumber = true;
    r.inUse = inUse;
    r.isDir = isDir;
    r.seq = seq;
    FNInfo fn;
    fn.parent = parent;
    fn.parentSeq = parentSeq;
    fn.name = name;
    fn.nameSpace = 1;
    r.names.push_back(fn);
    return r;
}

MFTRecord withRuns(MFTRecord r, Runs runs, uint64_t size, uint16_t flags = 0, uint8_t unit = 0) {
    DataFragment f;
    f.runs = std::move(runs);
    f.dataSize = f.initSize = size;
    f.compressed = flags & 1;
    f.encrypted = flags & 0x4000;
    f.compressionUnit = unit;
    r.data.push_back(f);
    return r;
}

// A volume built from records over a blank source of 1 MiB.
struct Built {
    std::unique_ptr<MemoryImage> image = std::make_unique<MemoryImage>(Bytes(1 << 20, 0));
    DiskSourcePtr source = image->source();
    VolumePtr volume;
    std::map<std::string, FileNodePtr> nodes;
    const FileNode& at(const std::string& path) const {
        auto it = nodes.find(path);
        if (it == nodes.end()) throw std::runtime_error("missing: " + path);
        return *it->second;
    }
};

Built build(std::vector<MFTRecord> list, uint64_t base = 0, uint64_t volumeSize = 0) {
    Built b;
    NTFSContext context(*b.source, base, 4096, 1024, volumeSize);
    MFTRecordMap records;
    for (auto& r : list) records.insert(r.number, r);
    b.volume = context.buildVolume(std::move(records), origin::deepScanMFTRecords, nullptr);
    b.nodes = nodesByPath(b.volume->root);
    return b;
}

std::set<std::string> paths(const Built& b) {
    std::set<std::string> out;
    for (auto& [path, node] : b.nodes) out.insert(path + " " + rawValue(node->status));
    return out;
}

}  // namespace

TEST(NTFSTree, ParentsDeletedFoldersAndOrphans) {
    auto b = build({
        record(5, ".", 5, true),
        record(12, "system.txt", 5),                            // system records never become nodes
        record(20, "Live", 5, true),
        record(21, "gone.txt", 20, false, false),
        record(22, "Dead", 5, true, false),
        record(23, "Sub", 22, true),
        record(24, "f.txt", 23),
        record(25, "$UsnJrnl", 11),                             // $Extend's children are system files too,
        record(37, "$RmMetadata", 11, true),                    // and so is all below them
        record(38, "$TxfLog", 37, true),
        record(39, "$Repair", 37, false, false),
        record(26, "A", 27, true),
        record(27, "B", 26, true),
        record(28, "Raised", 5, true, false, 8),
        record(29, "kept.txt", 28, false, true, 1, 7),          // parent seq one below a deleted folder's
        record(30, "RaisedLive", 5, true, true, 8),
        record(31, "lost.txt", 30, false, true, 1, 7),          // the same below a folder in use
        record(32, "not a folder.txt", 5),
        record(33, "under a file.txt", 32),
        record(34, "under an orphan.txt", 26),
        record(35, "self.txt", 35),
        record(36, "unknown parent.txt", 999),
    });
    const std::string o = "$Forældreløse filer/";
    EXPECT_EQ(paths(b), (std::set<std::string>{
                            "Live/ existing", "Live/gone.txt deleted", "Dead/ deleted", "Dead/Sub/ deleted",
                            "Dead/Sub/f.txt deleted", "Raised/ deleted", "Raised/kept.txt deleted",
                            "RaisedLive/ existing", "not a folder.txt existing", o + " orphaned",
                            o + "A/ orphaned", o + "B/ orphaned",
                            o + "lost.txt orphaned", o + "under a file.txt orphaned",
                            o + "under an orphan.txt orphaned", o + "self.txt orphaned",
                            o + "unknown parent.txt orphaned"}));
    EXPECT_EQ(b.at("Live/gone.txt").fsID, 21u);
    EXPECT_EQ(b.volume->origin, origin::deepScanMFTRecords);
    // Folders first, the orphan folder among them, then files.
    std::vector<std::string> top;
    for (auto& child : b.volume->root->children()) top.push_back(child->name);
    EXPECT_EQ(top.back(), "not a folder.txt");
    EXPECT_TRUE(std::count(top.begin(), top.end(), "$Forældreløse filer"));
}

TEST(NTFSTree, ExtensionRecordsJoinTheirBase) {
    auto ext = [](uint64_t number, uint64_t base, uint16_t baseSeq, bool inUse, uint64_t lcn) {
        MFTRecord r = withRuns(MFTRecord{}, {run(lcn, 1)}, 100);
        r.number = number;
        r.inUse = inUse;
        r.baseRef = base;
        r.baseSeq = baseSeq;
        return r;
    };
    MFTRecord deletedBase = record(46, "deleted base.txt", 5, false, false, 4);
    deletedBase.names[0].realSize = 100;
    auto b = build({
        record(40, "same seq.txt", 5, false, true, 3), ext(41, 40, 3, true, 10),
        record(42, "other seq.txt", 5, false, true, 3), ext(43, 42, 2, true, 11),
        record(44, "seq zero.txt", 5, false, true, 3), ext(45, 44, 0, true, 12),
        deletedBase, ext(47, 46, 3, false, 13),
        record(48, "in use differs.txt", 5, false, true, 3), ext(49, 48, 3, false, 14),
    });
    auto placed = [&](const std::string& path) { return std::get<std::vector<Extent>>(b.at(path).data); };
    EXPECT_EQ(placed("same seq.txt"), (std::vector<Extent>{{10 * 4096, 100}}));
    EXPECT_EQ(placed("seq zero.txt"), (std::vector<Extent>{{12 * 4096, 100}}));
    EXPECT_EQ(placed("deleted base.txt"), (std::vector<Extent>{{13 * 4096, 100}}));
    EXPECT_TRUE(placed("other seq.txt").empty());
    EXPECT_TRUE(placed("in use differs.txt").empty());
    EXPECT_EQ(b.nodes.size(), 5u);  // extension records are no nodes of their own
}

// A base record keeps only what its node needs, so an extension's name and
// data must still win where they would over one record holding all of them:
// a long name over a DOS one, the first resident $DATA over any runs.
TEST(NTFSTree, ExtensionNamesAndResidentDataChooseAsOneRecord) {
    auto ext = [](uint64_t number, uint64_t base) {
        MFTRecord r;
        r.number = number;
        r.inUse = true;
        r.baseRef = base;
        return r;
    };
    auto named = [](MFTRecord r, const std::string& name, uint8_t nameSpace) {
        FNInfo fn;
        fn.parent = 5;
        fn.name = name;
        fn.nameSpace = nameSpace;
        r.names.push_back(fn);
        return r;
    };
    auto resident = [](MFTRecord r, Bytes bytes) {
        DataFragment f;
        f.resident = bytes;
        f.dataSize = f.initSize = bytes.size();
        r.data.push_back(f);
        return r;
    };
    MFTRecord dosOnly = record(40, "LONGNA~1.TXT", 5);
    dosOnly.names[0].nameSpace = 2;
    MFTRecord runsFirst = withRuns(record(44, "runs then resident.txt", 5), {run(10, 1)}, 100);
    auto b = build({
        dosOnly, named(ext(41, 40), "long name.txt", 1),
        record(42, "kept name.txt", 5), named(ext(43, 42), "OTHER~1.TXT", 2),
        runsFirst, resident(ext(45, 44), {'a', 'b'}),
        resident(record(46, "resident first.txt", 5), {'c'}), withRuns(ext(47, 46), {run(11, 1)}, 100),
    });
    EXPECT_EQ(b.nodes.size(), 4u);
    EXPECT_EQ(b.at("long name.txt").fsID, 40u);
    EXPECT_EQ(b.at("kept name.txt").fsID, 42u);
    EXPECT_EQ(std::get<ResidentData>(b.at("runs then resident.txt").data).bytes, (Bytes{'a', 'b'}));
    EXPECT_EQ(std::get<ResidentData>(b.at("resident first.txt").data).bytes, (Bytes{'c'}));
}

// Records may come in any order and more than once: the last one with a
// number stands, and lookups see it whatever the order was.
TEST(NTFSTree, RecordMapKeepsTheLastRecordOfANumber) {
    MFTRecordMap records;
    for (auto [number, name] : std::vector<std::pair<uint64_t, const char*>>{
             {20, "a"}, {21, "b"}, {21, "b2"}, {19, "c"}, {30, "d"}, {20, "a2"}})
        records.insert(number, record(number, name, 5));
    EXPECT_EQ(records.size(), 4u);
    EXPECT_EQ(records.find(20)->name.name, "a2");
    EXPECT_EQ(records.find(21)->name.name, "b2");
    EXPECT_EQ(records.find(19)->name.name, "c");
    EXPECT_FALSE(records.find(22));
    std::vector<std::string> drained;
    records.drain([&](KeptRecord& r) { drained.push_back(r.name.name); });
    EXPECT_EQ(drained, (std::vector<std::string>{"b2", "c", "d", "a2"}));
    EXPECT_TRUE(records.empty());
    EXPECT_FALSE(records.find(20));
}

TEST(NTFSTree, FileDataAndRatings) {
    // Bitmap: clusters 100...103 and 200 in use.
    MFTRecord bitmap = record(6, "$Bitmap", 5);
    DataFragment map;
    map.resident = Bytes(64, 0);
    (*map.resident)[12] = 0xF0;
    (*map.resident)[25] = 0x01;
    map.dataSize = map.initSize = 64;
    bitmap.data.push_back(map);
    MFTRecord resident = record(40, "resident.txt", 5);
    DataFragment bytes;
    bytes.resident = Bytes{'h', 'e', 'j'};
    bytes.dataSize = bytes.initSize = 3;
    resident.data.push_back(bytes);
    MFTRecord noData = record(41, "no data.txt", 5);
    MFTRecord missing = record(42, "missing data.txt", 5);
    missing.names[0].realSize = 100;
    MFTRecord damaged = withRuns(record(48, "damaged.txt", 5, false, false), {run(100, 4)}, 16384);
    damaged.fixupOK = false;
    MFTRecord encryptedShort = withRuns(record(50, "encrypted short.txt", 5), {run(150, 1)}, 16384, 0x4000);
    std::vector<MFTRecord> records = {
        bitmap, resident, noData, missing, damaged, encryptedShort,
        withRuns(record(43, "first reused.txt", 5, false, false), {run(100, 4)}, 16384),
        withRuns(record(44, "later reused.txt", 5, false, false), {hole(2), run(198, 4)}, 24576),
        withRuns(record(45, "intact.txt", 5, false, false), {run(150, 4)}, 16384),
        withRuns(record(46, "live.txt", 5), {run(100, 4)}, 16384),
        withRuns(record(47, "encrypted.txt", 5), {run(150, 4)}, 16384, 0x4000),
        withRuns(record(49, "compressed.txt", 5), {run(150, 3), hole(13)}, 65536, 1, 4),
        withRuns(record(51, "big unit.txt", 5), {run(150, 3)}, 65536, 1, 12),
        withRuns(record(52, "unit 0.txt", 5), {run(150, 4)}, 16384, 1, 0),
    };
    auto b = build(records, 8192);
    struct Expect {
        const char* path;
        uint64_t size;
        Recoverability rating;
        std::optional<std::string> note;
    };
    for (auto& e : std::vector<Expect>{
             {"resident.txt", 3, Recoverability::good, std::nullopt},
             {"no data.txt", 0, Recoverability::good, std::nullopt},
             {"missing data.txt", 100, Recoverability::poor, "Dataattributten mangler"},
             {"first reused.txt", 16384, Recoverability::poor, "Klyngerne er genbrugt af andre filer"},
             {"later reused.txt", 24576, Recoverability::partial, "Dele af filen kan være overskrevet"},
             {"intact.txt", 16384, Recoverability::good, std::nullopt},
             {"live.txt", 16384, Recoverability::good, std::nullopt},
             {"encrypted.txt", 16384, Recoverability::poor, "EFS-krypteret – kan ikke dekrypteres"},
             {"encrypted short.txt", 16384, Recoverability::partial, "Dele af filens placering mangler"},
             {"damaged.txt", 16384, Recoverability::poor,
              "Klyngerne er genbrugt af andre filer. MFT-posten er delvist beskadiget"},
             {"compressed.txt", 65536, Recoverability::good, std::nullopt},
             {"unit 0.txt", 16384, Recoverability::good, std::nullopt},
         }) {
        SCOPED_TRACE(e.path);
        const FileNode& node = b.at(e.path);
        EXPECT_EQ(node.size, e.size);
        EXPECT_EQ(node.recoverability, e.rating);
        EXPECT_EQ(node.note, e.note);
    }
    EXPECT_EQ(std::get<ResidentData>(b.at("resident.txt").data).bytes, (Bytes{'h', 'e', 'j'}));
    EXPECT_EQ(std::get<std::vector<Extent>>(b.at("intact.txt").data),
              (std::vector<Extent>{{8192 + 150 * 4096, 16384}}));
    auto compressed = std::get<CompressedRuns>(b.at("compressed.txt").data);
    EXPECT_EQ(compressed.unitClusters, 16u);
    EXPECT_EQ(compressed.clusterSize, 4096u);
    EXPECT_EQ(compressed.volumeOffset, 8192u);
    EXPECT_EQ(compressed.runs, (Runs{run(150, 3), hole(13)}));
    EXPECT_EQ(std::get<CompressedRuns>(b.at("big unit.txt").data).unitClusters, 256u);
    EXPECT_TRUE(std::holds_alternative<std::vector<Extent>>(b.at("unit 0.txt").data));

    // Without a bitmap a deleted file's chances are unknown.
    records.erase(records.begin());
    auto blind = build(records);
    EXPECT_EQ(blind.at("intact.txt").recoverability, Recoverability::unknown);
    EXPECT_EQ(blind.at("first reused.txt").recoverability, Recoverability::unknown);
    EXPECT_FALSE(blind.at("first reused.txt").note.has_value());
    EXPECT_EQ(blind.at("live.txt").recoverability, Recoverability::good);
}

// A fragment of a file's $DATA that no record holds leaves unknown bytes, not
// a hole of zeros: the placed runs end before it and the file is partial.
TEST(NTFSTree, AMissingFragmentEndsTheFilesPlaces) {
    auto withTail = [](MFTRecord r, uint64_t startVCN, Runs runs) {
        DataFragment f;
        f.startVCN = startVCN;
        f.runs = std::move(runs);
        f.compressed = r.data.front().compressed;
        r.data.push_back(f);
        return r;
    };
    auto b = build({
        withTail(withRuns(record(40, "middle gone.txt", 5), {run(150, 4)}, 12 * 4096), 8, {run(160, 4)}),
        withTail(withRuns(record(41, "head gone.txt", 5), {}, 8 * 4096), 4, {run(170, 4)}),
        withTail(withRuns(record(42, "packed.txt", 5), {run(180, 16)}, 48 * 4096, 1, 4), 32, {run(200, 16)}),
    });
    const std::string note = "Dele af filens placering mangler";
    for (auto* path : {"middle gone.txt", "head gone.txt", "packed.txt"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(b.at(path).recoverability, Recoverability::partial);
        EXPECT_EQ(b.at(path).note, note);
    }
    EXPECT_EQ(std::get<std::vector<Extent>>(b.at("middle gone.txt").data), (std::vector<Extent>{{150 * 4096, 16384}}));
    EXPECT_TRUE(std::get<std::vector<Extent>>(b.at("head gone.txt").data).empty());
    EXPECT_EQ(std::get<CompressedRuns>(b.at("packed.txt").data).runs, (Runs{run(180, 16)}));
}

TEST(NTFSTree, VolumeSizeAndEmptyInput) {
    auto b = build({}, 4096);
    EXPECT_TRUE(b.volume->root->children().empty());
    EXPECT_EQ(b.volume->size, (1u << 20) - 4096);
    EXPECT_EQ(b.volume->offset, 4096u);
    EXPECT_EQ(b.volume->label, "");
    EXPECT_EQ(build({}, 0, 5000).volume->size, 5000u);
    EXPECT_EQ(build({}, 2u << 20).volume->size, 0u);
}

TEST(NTFSTree, RebuildFromLooseRecords) {
    Bytes disk(1 << 20, 0);
    auto place = [&](uint64_t offset, const Bytes& record) { std::copy(record.begin(), record.end(), disk.begin() + static_cast<long>(offset)); };
    place(65536, RecordBuilder(64, 3).fileName(5, 1, "Mappe").finish());
    place(66560, RecordBuilder(65, 0).fileName(64, 1, "gammel.txt").finish());   // deleted copy
    place(67584, RecordBuilder(65, 1).fileName(64, 1, "ny.txt").finish());       // in use: replaces it
    place(68608, RecordBuilder(65, 0).fileName(64, 1, "ældre.txt").finish());    // deleted: dropped
    place(69632, RecordBuilder(66, 1, 1, 42).fileName(64, 1, "uden nummer.txt").finish());
    MemoryImage image(disk);
    auto source = image.source();
    std::vector<std::string> messages;
    WorkProgress progress([&](double, const std::string& m) { messages.push_back(m); });
    auto volume = NTFSParser::parse(*source, 0, 4096, 1024, 0, {65536, 66560, 67584, 68608, 69632, 70656},
                                    origin::deepScanMFTRecords, &progress);
    ASSERT_TRUE(volume);
    EXPECT_EQ((*volume)->notes,
              std::vector<std::string>{"Genopbygget ud fra 2 MFT-poster fundet ved dyb scanning."});
    auto nodes = nodesByPath((*volume)->root);
    EXPECT_TRUE(nodes.count("Mappe/ny.txt"));
    EXPECT_EQ(nodes.at("Mappe/ny.txt")->status, EntryStatus::existing);
    EXPECT_EQ(nodes.size(), 2u);
    EXPECT_EQ(messages.front(), "Læser fundne MFT-poster …");
    EXPECT_FALSE(NTFSParser::parse(*source, 0, 4096, 1024, 0, {65536, 69632}, origin::deepScanMFTRecords));
}

// MARK: An MFT described through an attribute list

namespace {

// Mapping pairs for runs, each field in the fewest bytes.
Bytes encodeRuns(const Runs& runs) {
    Bytes out;
    int64_t previous = 0;
    auto width = [](int64_t value, bool isSigned) {
        int n = 1;
        while (n < 8) {
            int64_t low = isSigned ? -(int64_t{1} << (8 * n - 1)) : 0;
            int64_t high = isSigned ? (int64_t{1} << (8 * n - 1)) - 1 : (int64_t{1} << (8 * n)) - 1;
            if (value >= low && value <= high) break;
            ++n;
        }
        return n;
    };
    for (auto& r : runs) {
        int countWidth = width(static_cast<int64_t>(r.clusters), false);
        int64_t delta = r.lcn ? static_cast<int64_t>(*r.lcn) - previous : 0;
        int deltaWidth = r.lcn ? width(delta, true) : 0;
        out.push_back(static_cast<uint8_t>(countWidth | (deltaWidth << 4)));
        for (int i = 0; i < countWidth; ++i) out.push_back(static_cast<uint8_t>(r.clusters >> (8 * i)));
        for (int i = 0; i < deltaWidth; ++i) out.push_back(static_cast<uint8_t>(static_cast<uint64_t>(delta) >> (8 * i)));
        if (r.lcn) previous = static_cast<int64_t>(*r.lcn);
    }
    out.push_back(0);
    return out;
}

}  // namespace

TEST(NTFSAttributeList, MFTWhoseRunsContinueInAnExtensionRecord) {
    // Record 0 keeps the first 100 clusters of the $MFT's data; the rest is
    // in record 16, which the attribute list names.
    MemoryImage image("ntfs");
    Bytes original = image.read(mftOffset, 1024);
    auto mft = NTFSContext::parseRecord(original, 0);
    ASSERT_TRUE(mft && mft->data.size() == 1 && mft->data[0].runs.size() == 1);
    const DataFragment& data = mft->data[0];
    uint64_t first = *data.runs[0].lcn, clusters = data.runs[0].clusters;
    ASSERT_GT(clusters, 100u);

    Bytes list(32, 0);
    list[0] = 0x80, list[4] = 32, list[16] = 16;
    Bytes base = RecordBuilder(0, 1, 1)
                     .fileName(5, 5, "$MFT")
                     .resident(0x20, list)
                     .nonResident(0x80, encodeRuns({run(first, 100)}), data.dataSize, data.initSize)
                     .finish();
    Bytes extension = RecordBuilder(16, 1, 1)
                          .base(0, 1)
                          .nonResident(0x80, encodeRuns({run(first + 100, clusters - 100)}), 0, 0, 100)
                          .finish();
    image.write(mftOffset, base);
    image.write(recordOffset(16), extension);
    auto source = image.source();
    auto volume = parseFixture(*source);
    ASSERT_TRUE(volume);
    EXPECT_TRUE(volume->notes.empty());
    expectSameTree(*volume, sharedNTFSVolume());

    // Without the extension record only the first 100 clusters are known:
    // the records past them stay unread.
    image.zero(recordOffset(16), 1024);
    auto partial = parseFixture(*image.source());
    ASSERT_TRUE(partial);
    EXPECT_LT(nodesByPath(partial->root).size(), nodesByPath(sharedNTFSVolume().root).size());
}

// MARK: Robustness

TEST(NTFSRobustness, DamagedRecordsNeverBreakTheReader) {
    // Every record of the shared image with bytes changed at random, parsed
    // and built into a tree: damage is data, never a crash (the sanitizer
    // build watches the memory accesses).
    auto source = SourceOpener::openImage(fixtureImage("ntfs"));
    Bytes mft = source->read(mftOffset, 200 * 1024);
    uint64_t state = 0x9E3779B97F4A7C15ull;
    auto next = [&] {
        state ^= state << 13, state ^= state >> 7, state ^= state << 17;
        return state;
    };
    NTFSContext context(*source, 0, 4096, 1024, 0);
    for (int round = 0; round < 20; ++round) {
        MFTRecordMap records;
        for (uint64_t n = 0; n < 200; ++n) {
            Bytes bytes(mft.begin() + static_cast<long>(n * 1024), mft.begin() + static_cast<long>((n + 1) * 1024));
            for (int flips = 0; flips < 1 + round; ++flips) bytes[next() % 1024] = static_cast<uint8_t>(next());
            if (auto record = NTFSContext::parseRecord(bytes, round % 2 ? std::optional<uint64_t>(n) : std::nullopt))
                records.insert(record->number, std::move(*record));
        }
        auto volume = context.buildVolume(std::move(records), origin::deepScan, nullptr);
        EXPECT_TRUE(volume->root);
    }
}

// MARK: Through the command-line tool

TEST(NTFSTools, RecoverWritesWhatTheManifestHolds) {
    // Existing files in one run, deleted ones with --deleted in another; the
    // orphans come out of "$Forældreløse filer". Compressed and sparse files
    // come out whole.
    test::TempDir work;
    auto all = test::runCLI({"recover", fixtureImage("ntfs"), work.file("ud")});
    auto deleted = test::runCLI({"recover", fixtureImage("ntfs"), work.file("ud"), "--deleted"});
    ASSERT_EQ(all.status, 0) << all.err;
    ASSERT_EQ(deleted.status, 0) << deleted.err;
    const std::filesystem::path allFolder = work.file("ud/SOMMERHUS (NTFS)");
    const std::filesystem::path deletedFolder = work.file("ud/SOMMERHUS (NTFS) (2)");
    size_t checked = 0;
    for (auto& row : readManifest("ntfs")) {
        if (row.isFolder() || row.path.find(':') != std::string::npos) continue;  // streams are no files here
        if (row.path == "hardlink til original.txt") continue;                    // the record's other name
        if (row.note.rfind("overwritten", 0) == 0) continue;
        std::filesystem::path file;
        if (row.status == "existing") {
            file = allFolder / row.path;
        } else if (row.status == "deleted") {
            file = deletedFolder / row.path;
        } else {
            file = deletedFolder / orphanFolder / row.path.substr(row.path.rfind('/') + 1);
        }
        SCOPED_TRACE(file.string());
        ASSERT_TRUE(std::filesystem::is_regular_file(file));
        std::ifstream in(file, std::ios::binary);
        Bytes bytes{std::istreambuf_iterator<char>(in), {}};
        EXPECT_EQ(std::to_string(bytes.size()), row.size);
        Sha256 hash;
        hash.update(bytes);
        EXPECT_EQ(hash.hex(), row.sha256);
        ++checked;
    }
    EXPECT_GT(checked, 3000u);
}
