// The NTFS reader against images made by mkntfs and ntfs-3g (their manifests
// are the oracle), images with one field broken, and records built by hand.

#include <gtest/gtest.h>

#include <set>

#include "NTFSTestSupport.h"
#include "SovantaCore/NTFS.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;
using namespace sovanta::ntfstest;

namespace {

const std::string orphanFolder = "$Forældreløse filer/";

// The SHA-256 of a node's contents: resident bytes, or extents read from the
// source with holes and a missing tail as zeros.
std::string contentSha256(const FileNode& node, DiskSource& source) {
    Sha256 hash;
    uint64_t left = node.size;
    if (auto* resident = std::get_if<ResidentData>(&node.data)) {
        hash.update(resident->bytes.data(), std::min<size_t>(resident->bytes.size(), left));
        return hash.hex();
    }
    if (auto* extents = std::get_if<std::vector<Extent>>(&node.data)) {
        for (auto& extent : *extents) {
            for (uint64_t done = 0; done < extent.length && left > 0;) {
                uint64_t n = std::min<uint64_t>({extent.length - done, left, 4 << 20});
                Bytes piece = extent.offset ? source.read(*extent.offset + done, static_cast<int64_t>(n)) : Bytes(n, 0);
                hash.update(piece);
                done += n, left -= n;
            }
        }
    }
    Bytes zeros(4096, 0);
    while (left > 0) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(left, zeros.size()));
        hash.update(zeros.data(), n);
        left -= n;
    }
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
        if (!std::holds_alternative<CompressedRuns>(node.data) && !overwritten) {
            EXPECT_EQ(contentSha256(node, source), row.sha256);
        }
        if (node.status == EntryStatus::existing || node.status == EntryStatus::orphaned) {
            EXPECT_EQ(node.recoverability, Recoverability::good);
            if (std::holds_alternative<std::vector<Extent>>(node.data) && row.note.find("sparse") == std::string::npos) {
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

// The entries below $Extend (record 11) have a system folder as parent, so
// they land among the orphans.
const std::set<std::string> extendEntries = {orphanFolder, orphanFolder + "$ObjId", orphanFolder + "$Quota",
                                             orphanFolder + "$Reparse"};

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
    // These records were reused for other files, so nothing of them is left.
    expect.leftOut.insert("Forældreløs mappe/");
    expect.leftOut.insert("huller/hul_01.bin");
    expect.extraNodes = extendEntries;
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
        expect.extraNodes = extendEntries;
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
    expect.extraNodes = extendEntries;
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
        boot[11] = c.bytesPerSector & 0xFF, boot[12] = c.bytesPerSector >> 8;
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
    expect.extraNodes = extendEntries;
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
