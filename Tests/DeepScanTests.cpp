#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>

#include <fcntl.h>
#include <unistd.h>

#include "SovantaCore/APFS.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/NTFS.h"
#include "SovantaCore/Partitions.h"
#include "SovantaCore/Scanner.h"
#include "ScanTestSupport.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

DiskSourcePtr sourceOf(const TempDir& dir, const Bytes& bytes, const std::string& name = "deep.img") {
    std::string path = dir.file(name);
    writeFile(path, bytes);
    return SourceOpener::openImage(path);
}

struct Sweep {
    DeepScanResult result;
    std::vector<DeepScanStats> updates;
};

Sweep sweep(const DiskSourcePtr& source, DeepScanOptions options = {}, bool cancelled = false) {
    Sweep s;
    WorkProgress progress;
    if (cancelled) progress.cancel();
    DeepScanner scanner(source, options);
    s.result = scanner.run(progress, [&](const DeepScanStats& st) { s.updates.push_back(st); });
    return s;
}

std::map<std::string, std::pair<uint64_t, std::string>> manifestFiles(const std::string& fixture,
                                                                     const std::string& status) {
    std::map<std::string, std::pair<uint64_t, std::string>> out;
    for (auto& row : readManifest(fixture))
        if (row.status == status && row.sha256 != "-") out[row.path] = {std::stoull(row.size), row.sha256};
    return out;
}

// The files every candidate below upTo gives when checked on its own (a fresh
// carver each, nothing shared), with the sweep's rule of skipping what an
// exact find covers.
std::vector<CarvedFile> carvedAlone(const DiskSourcePtr& source, uint64_t upTo) {
    std::set<FileCategory> all(allFileCategories().begin(), allFileCategories().end());
    std::vector<CarvedFile> alone;
    uint64_t resume = 0;
    for (uint64_t at = 0; at + 32 <= source->size && at < upTo; at += 512) {
        if (at < resume) continue;
        size_t n = static_cast<size_t>(std::min<uint64_t>(64, source->size - at));
        Bytes view = source->read(at, static_cast<int64_t>(n), ReadMode::fast);
        if (auto found = Carver(source, all).check(view, at)) {
            if (found->exact) resume = at + (found->size + 511) / 512 * 512;
            alone.push_back(*found);
        }
    }
    return alone;
}

Bytes zeros(size_t n) { return Bytes(n, 0); }
Bytes le16(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8)}; }
Bytes le32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A BMP of the given length.
Bytes bmp(uint32_t length) {
    Bytes b = cat({{'B', 'M'}, le32(length), le32(0), le32(54), le32(40), le32(1)});
    b.resize(length, 0x11);
    return b;
}

// A ZIP of one stored entry whose sizes are in a data descriptor, so that
// only its end record tells where it ends. A split one's central directory
// does not end at its end record.
Bytes streamedZip(const Bytes& data, bool split = false) {
    Bytes local = cat({le32(0x04034B50), le16(20), le16(8), zeros(18), le16(5), le16(0), {'a', '.', 'b', 'i', 'n'},
                       data, le32(0x08074B50), le32(0), le32(uint32_t(data.size())), le32(uint32_t(data.size()))});
    Bytes central = cat({le32(0x02014B50), le16(20), le16(20), zeros(20), le16(5), zeros(12), le32(0),
                         {'a', '.', 'b', 'i', 'n'}});
    uint32_t directoryAt = uint32_t(local.size()) + (split ? 512 : 0);
    return cat({local, central, le32(0x06054B50), zeros(4), le16(1), le16(1), le32(uint32_t(central.size())),
                le32(directoryAt), le16(0)});
}
// Stored data that makes streamedZip's end record start at q.
Bytes dataForEndAt(size_t q) { return Bytes(q - (30 + 5 + 16) - (46 + 5), 0x22); }

}  // namespace

TEST(DeepSweep, SourceSizesAndCancellation) {
    test::TempDir dir;
    {
        auto empty = sourceOf(dir, {}, "empty.img");
        auto s = sweep(empty);
        EXPECT_TRUE(s.result.completed);
        EXPECT_EQ(s.result.scannedUpTo, 0u);
        ASSERT_EQ(s.updates.size(), 1u);
        EXPECT_EQ(s.updates[0].position, 0u);
        EXPECT_EQ(s.updates[0].total, 0u);
        EXPECT_EQ(empty->bytesRead(), 0u);
    }
    {
        auto small = sourceOf(dir, Bytes(1000, 0), "small.img");
        auto s = sweep(small);
        EXPECT_TRUE(s.result.completed);
        EXPECT_EQ(s.result.scannedUpTo, 1000u);
        EXPECT_EQ(s.updates.back().position, 1000u);
        EXPECT_DOUBLE_EQ(s.updates.back().fraction(), 1.0);
        EXPECT_FALSE(s.updates.back().eta().has_value());
    }
    {
        auto two = sourceOf(dir, Bytes((4 << 20) + 512, 0), "two.img");
        auto s = sweep(two);
        EXPECT_TRUE(s.result.completed);
        EXPECT_LE(s.updates.size(), 3u);
        EXPECT_GE(s.updates.size(), 2u);
        auto cancelled = sweep(two, {}, true);
        EXPECT_FALSE(cancelled.result.completed);
        EXPECT_EQ(cancelled.result.scannedUpTo, 0u);
        ASSERT_EQ(cancelled.updates.size(), 1u);
        EXPECT_EQ(cancelled.updates[0].position, 0u);
    }
}

// The last statistics count every failed read, however soon the sweep ends
// after its last timed update.
TEST(DeepSweep, LastStatisticsCountTheReadErrorsOfTheWholeSweep) {
    test::TempDir dir;
    auto clean = sourceOf(dir, Bytes(16 << 20, 0), "clean.img");
    EXPECT_EQ(sweep(clean).updates.back().badSectors, 0);
    // The failing stretch lies in the fourth chunk, which is read only after
    // the first update (the sweep reads at most two chunks ahead of the one it
    // holds).
    auto failing = SourceOpener::openImage(clean->path, withBadRanges({{14u << 20, (14u << 20) + 4096}}));
    auto s = sweep(failing);
    ASSERT_TRUE(s.result.completed);
    EXPECT_EQ(s.updates.front().badSectors, 0);
    EXPECT_GT(s.updates.back().badSectors, 0);
    EXPECT_EQ(s.updates.back().badSectors, failing->badSectorCount() + failing->readErrorCount());
}

// A scanner holds its source: the caller may let go of its own hold, and may
// give no callback when it wants no statistics.
TEST(DeepSweep, HoldsItsSourceAndNeedsNoCallback) {
    auto source = openFixture("carve");
    const Sweep expected = sweep(source);
    DeepScanner scanner(source);
    source.reset();
    WorkProgress progress;
    DeepScanResult result = scanner.run(progress);
    EXPECT_TRUE(result.completed);
    EXPECT_EQ(result.scannedUpTo, expected.result.scannedUpTo);
    EXPECT_EQ(result.carved.size(), expected.result.carved.size());
}

TEST(DeepSweep, StructureTestsInTheirOrder) {
    test::TempDir dir;
    Bytes image(64 * 512, 0);
    auto sector = [&](int n) { return image.data() + n * 512; };
    // A "FILE" sector that fails the record test and ends in 0x55 0xAA is no boot sector.
    std::memcpy(sector(1), "FILE", 4);
    sector(1)[510] = 0x55;
    sector(1)[511] = 0xAA;
    // An HFS+ signature at 512 (the volume would start before byte 0) and at 2048.
    std::memcpy(sector(4), "H+\0\x04", 4);
    // A container superblock signature with the container object type.
    std::memcpy(sector(8) + 32, "NXSB", 4);
    sector(8)[24] = 1;
    // 0x55 0xAA that no boot test accepts falls through to the superblock test.
    std::memcpy(sector(9) + 32, "NXSB", 4);
    sector(9)[24] = 1;
    sector(9)[510] = 0x55;
    sector(9)[511] = 0xAA;
    auto source = sourceOf(dir, image);
    DeepScanOptions options;
    options.carve = false;
    auto s = sweep(source, options);
    EXPECT_TRUE(s.result.boots.empty());
    EXPECT_TRUE(s.result.mftRecords.empty());
    EXPECT_EQ(s.result.nxsb, (std::vector<uint64_t>{8 * 512, 9 * 512}));
    EXPECT_TRUE(s.result.carved.empty());

    options.findVolumes = false;
    auto none = sweep(source, options);
    EXPECT_TRUE(none.result.nxsb.empty());
}

TEST(DeepScan, FindsTheVolumesOfADiskWhosePartitionTablesAreGone) {
    auto source = openFixture("damage_gpt_all_tables_zeroed");
    WorkProgress progress;
    auto quick = QuickScanner::run(*source, progress);
    EXPECT_TRUE(quick.volumes.empty());
    auto s = sweep(source);
    auto built = DeepScanner::buildVolumes(*source, s.result, quick.volumes, progress);
    std::map<uint64_t, FileSystemType> found;
    for (auto& v : built) {
        EXPECT_EQ(v->origin, origin::deepScan);
        found[v->offset] = v->type;
    }
    EXPECT_EQ(found[2048ull * 512], FileSystemType::fat32);
    EXPECT_EQ(found[73728ull * 512], FileSystemType::ntfs);
    EXPECT_EQ(found[98304ull * 512], FileSystemType::exfat);
    EXPECT_EQ(built.size(), 3u);

    // Asking again with these as known volumes finds nothing new.
    EXPECT_TRUE(DeepScanner::buildVolumes(*source, s.result, built, progress).empty());
}

TEST(DeepScan, NTFSVolumeComesBackThroughItsBackupBootSector) {
    auto source = openFixture("damage_ntfs_boot_zeroed");
    WorkProgress progress;
    auto s = sweep(source);
    auto built = DeepScanner::buildVolumes(*source, s.result, {}, progress);
    ASSERT_FALSE(built.empty());
    auto& v = built.front();
    EXPECT_EQ(v->type, FileSystemType::ntfs);
    EXPECT_EQ(v->offset, 0u);
    EXPECT_EQ(v->origin, origin::deepScanBackupBoot);
    // Every live file of the manifest is there with its contents.
    auto nodes = allNodesByPath(v->root);
    for (auto& [path, expected] : manifestFiles("damage_ntfs_boot_zeroed", "existing")) {
        if (path.find(':') != std::string::npos) continue;  // named streams are not listed
        auto it = nodes.find(path);
        ASSERT_NE(it, nodes.end()) << path;
        EXPECT_EQ(it->second->size, expected.first) << path;
        EXPECT_EQ(sha256Hex(streamedBytes(*source, *it->second, 1 << 20)), expected.second) << path;
    }
}

TEST(DeepScan, LostFATFoldersComeBackAsFragments) {
    auto source = openFixture("damage_fat32_root_destroyed");
    WorkProgress progress;
    auto quick = QuickScanner::run(*source, progress);
    ASSERT_EQ(quick.volumes.size(), 1u);
    auto s = sweep(source);
    auto pairs = DeepScanner::extraFolders(*source, quick.volumes, s.result, progress);
    ASSERT_EQ(pairs.size(), 1u);
    EXPECT_EQ(pairs[0].first, quick.volumes[0]);
    auto folder = pairs[0].second;
    EXPECT_EQ(folder->name, "$Tabte mappefragmenter");
    // The files of the lost top-level folders are all there, with their contents.
    std::multimap<std::string, std::string> byName;  // name -> sha256 of what was found
    for (auto& node : folder->allFiles()) byName.emplace(node->name, sha256Hex(streamedBytes(*source, *node, 1 << 20)));
    for (auto& row : readManifest("damage_fat32_root_destroyed")) {
        if (row.status != "orphaned" || row.sha256 == "-") continue;
        std::string name = row.path.substr(row.path.rfind('/') + 1);
        auto [first, last] = byName.equal_range(name);
        bool match = false;
        for (auto it = first; it != last; ++it) match |= it->second == row.sha256;
        EXPECT_TRUE(match) << row.path;
    }
    // The same sectors asked again give no second folder.
    EXPECT_TRUE(DeepScanner::extraFolders(*source, quick.volumes, s.result, progress).empty());
}

// The whole deep scan in one call hands back what it found without touching
// the known volumes: the lost folder comes paired with its volume, unattached,
// and the building steps report only after the sweep has been announced.
TEST(DeepScan, OneCallReturnsItsFindsUnattached) {
    auto source = openFixture("damage_fat32_root_destroyed");
    for (bool carve : {true, false}) {
        SCOPED_TRACE(carve ? "carving" : "not carving");
        WorkProgress quickProgress;
        auto known = QuickScanner::run(*source, quickProgress).volumes;
        ASSERT_EQ(known.size(), 1u);
        const size_t rootChildren = known[0]->root->children().size();
        std::vector<std::string> events;
        WorkProgress progress([&](double, const std::string& message) { events.push_back(message); });
        DeepScanOptions options;
        options.carve = carve;
        DeepScanner scanner(source, options);
        size_t sweptCarved = 0;
        auto outcome = scanner.scan(known, progress, {}, [&](const DeepScanResult& result) {
            events.push_back("swept");
            sweptCarved = result.carved.size();
        });
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.front(), "swept");
        EXPECT_EQ(std::count(events.begin(), events.end(), "swept"), 1);
        EXPECT_GT(events.size(), 1u);
        EXPECT_TRUE(outcome.result.completed);
        EXPECT_EQ(outcome.result.carved.size(), sweptCarved);

        EXPECT_TRUE(outcome.volumes.empty());  // the one volume on the disk is known
        ASSERT_EQ(outcome.folders.size(), 1u);
        EXPECT_EQ(outcome.folders[0].first, known[0]);
        EXPECT_EQ(outcome.folders[0].second->parent(), nullptr);
        EXPECT_EQ(known[0]->root->children().size(), rootChildren);

        ASSERT_EQ(outcome.carved.has_value(), carve);
        if (carve) {
            ASSERT_FALSE(outcome.result.carved.empty());
            EXPECT_EQ((*outcome.carved)->type, FileSystemType::carved);
            EXPECT_EQ((*outcome.carved)->root->allFiles().size(), outcome.result.carved.size());
        }
    }
}

TEST(DeepScan, QuickFormattedVolumeGivesItsOldFilesByCarving) {
    auto source = openFixture("damage_fat32_reformatted");
    auto s = sweep(source);
    auto volume = DeepScanner::carvedVolume(s.result.carved);
    std::map<uint64_t, FileNodePtr> byOffset;
    for (auto& node : volume->root->allFiles()) byOffset[node->fsID] = node;
    size_t intact = 0;
    for (auto& row : readManifest("damage_fat32_reformatted")) {
        // "old file, intact and contiguous at sectors 1505-1525; ..."
        const std::string marker = "old file, intact and contiguous at sectors ";
        if (row.status != "carved" || row.note.rfind(marker, 0) != 0) continue;
        ++intact;
        uint64_t offset = std::stoull(row.note.substr(marker.size())) * 512;
        auto it = byOffset.find(offset);
        ASSERT_NE(it, byOffset.end()) << row.path;
        Bytes bytes = streamedBytes(*source, *it->second, 1 << 20);
        uint64_t size = std::stoull(row.size);
        if (it->second->recoverability == Recoverability::good) {
            EXPECT_EQ(it->second->size, size) << row.path;
        } else {
            // An estimated size (PDF markers) may run on into what follows; the file is still all there.
            ASSERT_GE(bytes.size(), size) << row.path;
            bytes.resize(size);
        }
        EXPECT_EQ(sha256Hex(bytes), row.sha256) << row.path;
    }
    EXPECT_EQ(intact, 21u);
}

TEST(DeepScan, CarvedVolumeNamesAndGroups) {
    ScopedTimeZone utc("UTC");
    std::vector<CarvedFile> files = {
        {1048576, 1000, "jpg", true, Date(std::chrono::seconds(1625403909))},  // 2021-07-04 13:05:09 UTC
        {2097152, 2000, "jpg", true, std::nullopt},
        {3145728, 3000, "pdf", false, std::nullopt},
    };
    auto v = DeepScanner::carvedVolume(files);
    EXPECT_EQ(v->type, FileSystemType::carved);
    EXPECT_EQ(v->title(), "Filer fundet via signatur (Signaturer)");
    EXPECT_EQ(v->origin, origin::deepScan);
    ASSERT_EQ(v->notes.size(), 1u);
    ASSERT_EQ(v->root->children().size(), 2u);
    auto jpg = v->root->children()[0];
    auto pdf = v->root->children()[1];
    EXPECT_EQ(jpg->name, "JPG");
    EXPECT_EQ(pdf->name, "PDF");
    ASSERT_EQ(jpg->children().size(), 2u);
    EXPECT_EQ(jpg->children()[0]->name, "2021-07-04 13.05.09 f2048.jpg");
    EXPECT_EQ(jpg->children()[0]->modified, files[0].date);
    EXPECT_EQ(jpg->children()[0]->recoverability, Recoverability::good);
    EXPECT_EQ(jpg->children()[1]->name, "f4096.jpg");
    auto p = pdf->children()[0];
    EXPECT_EQ(p->name, "f6144.pdf");
    EXPECT_EQ(p->recoverability, Recoverability::unknown);
    EXPECT_EQ(p->note, "Størrelsen er anslået");
    EXPECT_EQ(p->status, EntryStatus::carved);
    EXPECT_EQ(p->fsID, 3145728u);
    EXPECT_EQ(std::get<std::vector<Extent>>(p->data), (std::vector<Extent>{{3145728, 3000}}));
    EXPECT_TRUE(DeepScanner::carvedVolume({})->root->children().empty());
}

TEST(DeepScan, CLIReportsTheSweepAndTheVolumesFound) {
    auto r = test::runCLI({"deep", fixtureImage("damage_ntfs_boot_zeroed"), "--no-carve"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Dyb scanning: 0 signaturfund, "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(" [Dyb scanning (backup-bootsektor)] @ 0: "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Filer fundet via signatur"), std::string::npos);

    auto tree = test::runCLI({"tree", fixtureImage("damage_fat32_root_destroyed"), "--deep"});
    EXPECT_EQ(tree.status, 0);
    EXPECT_NE(tree.out.find("  $Tabte mappefragmenter/"), std::string::npos) << tree.out;
    EXPECT_NE(tree.out.find("== Filer fundet via signatur (Signaturer) @ 0 [Dyb scanning]"), std::string::npos);
}

// The sweep hands the carver the chunk it holds and lets neighbouring
// candidates share their searches for end markers; neither may change a
// result. Reference: every candidate checked on its own (a fresh carver each,
// nothing shared), with the sweep's rule of skipping what an exact find covers.
// The carving fixture is laid twice over, so that searches from the first
// copy run through the second.
TEST(DeepSweep, SharingTheChunkAndSearchesChangesNoCarvedFile) {
    test::TempDir dir;
    std::string one = std::string(SOVANTA_FIXTURE_DIR) + "/carve/carve.img";
    std::ifstream in(one, std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GT(image.size(), 1u << 20);
    test::writeFile(dir.file("twice.img"), image + image.substr(0, image.size() - 4096 - 512));
    auto source = SourceOpener::openImage(dir.file("twice.img"));

    DeepScanOptions options;
    options.findVolumes = false;
    auto swept = sweep(source, options).result.carved;
    EXPECT_GT(swept.size(), 40u);
    EXPECT_EQ(swept, carvedAlone(source, source->size));
}

// A ZIP whose end record lies beyond the chunk the sweep holds is sized when
// the sweep reaches that record, not by reading ahead; what the caller sees
// is the same: the ZIP, none of the files inside it, the files after it, and
// the counts. Reference as above; also for a sweep cancelled while a ZIP is
// held, which then searches ahead once.
TEST(DeepSweep, ZIPsWhoseEndLiesInALaterChunk) {
    constexpr size_t chunk = 4 << 20;
    Bytes image(6 * chunk + 100'000, 0);
    auto put = [&](size_t at, const Bytes& b) { std::copy(b.begin(), b.end(), image.begin() + long(at)); };
    // Ends in the next chunk, holding a picture, with a false end record on
    // the way and a picture right after it.
    Bytes inner = cat({Bytes(512 - 35, 0), bmp(600), Bytes(20'000, 0x33)});
    put(chunk + 7000, cat({{'P', 'K', 5, 6}, le32(0), le32(0), le32(0), le32(5)}));
    const size_t first = chunk - 8192;
    Bytes held = streamedZip(inner);
    put(first, held);
    const size_t after = first + (held.size() + 511) / 512 * 512;
    put(after, bmp(3000));
    // End records cut by a chunk's end after their first 1, 2 and 3 bytes.
    std::vector<std::pair<size_t, size_t>> cut;
    for (size_t k = 1; k <= 3; ++k) {
        size_t boundary = (k + 1) * chunk, at = boundary - 65536;
        Bytes z = streamedZip(dataForEndAt(65536 - k));
        put(at, z);
        cut.push_back({at, z.size()});
    }
    // Two split ZIPs that hold the finds after them up to the end of the
    // source, one inside the other's reach.
    put(5 * chunk + 4096, streamedZip(Bytes(3000, 0x44), true));
    put(5 * chunk + 65536, streamedZip(Bytes(3000, 0x44), true));
    put(5 * chunk + 131072, bmp(700));
    put(6 * chunk + 4096, bmp(800));

    test::TempDir dir;
    auto source = sourceOf(dir, image);
    DeepScanOptions options;
    options.findVolumes = false;
    auto s = sweep(source, options);
    const auto& carved = s.result.carved;
    EXPECT_EQ(carved, carvedAlone(source, source->size));
    auto at = [&](uint64_t offset) {
        auto it = std::find_if(carved.begin(), carved.end(), [&](const CarvedFile& f) { return f.offset == offset; });
        return it == carved.end() ? CarvedFile{} : *it;
    };
    EXPECT_EQ(at(first).size, held.size());
    EXPECT_EQ(at(first + 512).size, 0u);
    EXPECT_EQ(at(after).ext, "bmp");
    for (auto [offset, size] : cut) EXPECT_EQ(at(offset).size, size);
    EXPECT_EQ(at(6 * chunk + 4096).ext, "bmp");
    EXPECT_EQ(s.updates.back().filesFound, int64_t(carved.size()));
    std::map<std::string, int64_t> byExtension;
    for (const auto& f : carved) ++byExtension[f.ext];
    EXPECT_EQ(s.updates.back().byExtension, byExtension);

    // Cancelled after the first chunk, with the first ZIP held.
    WorkProgress progress;
    DeepScanner scanner(source, options);
    auto cancelled = scanner.run(progress, [&](const DeepScanStats&) { progress.cancel(); });
    ASSERT_EQ(cancelled.scannedUpTo, chunk);
    EXPECT_EQ(cancelled.carved, carvedAlone(source, chunk));
    EXPECT_EQ(cancelled.carved.back().offset, first);
    EXPECT_EQ(cancelled.carved.back().size, held.size());
}

// The sweep first asks a few bytes of each sector whether any structure could
// be there; that question must never turn away a sector the full tests accept.
// Reference: every sector of real volumes put through the full tests in the
// sweep's order.
TEST(DeepSweep, EverySectorTheFullTestsAcceptIsFound) {
    for (const char* name : {"gpt_fat32_ntfs_exfat", "fat12", "fat16", "damage_fat32_root_destroyed", "ntfs_attrlist",
                             "hfsplus_gpt", "apfs_gpt", "mbr_extended"}) {
        SCOPED_TRACE(name);
        auto source = SourceOpener::openImage(std::string(SOVANTA_FIXTURE_DIR) + "/" + name + "/" + name + ".img");
        DeepScanOptions options;
        options.carve = false;
        DeepScanResult swept = sweep(source, options).result;

        DeepScanResult full;
        Bytes image = source->read(0, static_cast<int64_t>(source->size), ReadMode::fast);
        for (uint64_t a = 0; a + 512 <= image.size(); a += 512) {
            ByteSpan block(image.data() + a, std::min<size_t>(4096, image.size() - a));
            const uint8_t* s = image.data() + a;
            if (a % 4096 == 0 && block.size() > 28 && s[28] == 14 && APFSParser::looksLikeFSTreeLeaf(block, 0, 4096)) {
                full.apfsLeafNodes.push_back(a);
            } else if (FATParser::looksLikeDirectorySector(block, 0)) {
                full.fatDirSectors.push_back(a);
            } else if (std::memcmp(s, "FILE", 4) == 0) {
                if (NTFSParser::looksLikeRecord(ByteSpan(s, 48), 0)) full.mftRecords.push_back(a);
            } else if (auto type = FSProbe::detectBootSector(ByteSpan(s, 512), 0)) {
                full.boots.push_back({a, *type, Bytes(s, s + 512)});
            } else if (s[0] == 'H' && (s[1] == '+' || s[1] == 'X') && s[2] == 0) {
                if (FSProbe::isHFSPlusHeader(ByteSpan(s, 64), 0) && a >= 1024) full.hfsHeaders.push_back(a - 1024);
            } else if (std::memcmp(s + 32, "NXSB", 4) == 0 && s[24] == 1) {
                full.nxsb.push_back(a);
            }
        }
        EXPECT_EQ(swept.apfsLeafNodes, full.apfsLeafNodes);
        EXPECT_EQ(swept.fatDirSectors, full.fatDirSectors);
        EXPECT_EQ(swept.mftRecords, full.mftRecords);
        ASSERT_EQ(swept.boots.size(), full.boots.size());
        for (size_t i = 0; i < full.boots.size(); ++i) EXPECT_EQ(swept.boots[i].offset, full.boots[i].offset);
        EXPECT_EQ(swept.hfsHeaders, full.hfsHeaders);
        EXPECT_EQ(swept.nxsb, full.nxsb);
        EXPECT_FALSE(full.fatDirSectors.empty() && full.mftRecords.empty() && full.boots.empty() &&
                     full.hfsHeaders.empty() && full.nxsb.empty());
    }
}
