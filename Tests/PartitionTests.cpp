#include <gtest/gtest.h>

#include <map>

#include "ScanTestSupport.h"
#include "SovantaCore/Partitions.h"

using namespace sovanta;
using namespace sovanta::test;

namespace {

struct ExpectedEntry {
    std::string scheme, typeName, name;
    uint64_t offset = 0, size = 0;
    std::optional<FileSystemType> detected;
};

// The entries a layout should give for a manifest's partitions, in slot
// order. The MBR's extended container is no entry of its own; its logical
// partitions follow the primary ones.
std::vector<ExpectedEntry> expectedEntries(const std::string& fixture) {
    static const std::map<std::string, std::string> typeNames = {
        {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basisdata"}, {"e", "FAT16"}, {"7", "NTFS/exFAT"}};
    static const std::map<std::string, FileSystemType> systems = {{"FAT12", FileSystemType::fat12},
                                                                  {"FAT16", FileSystemType::fat16},
                                                                  {"FAT32", FileSystemType::fat32},
                                                                  {"NTFS", FileSystemType::ntfs},
                                                                  {"exFAT", FileSystemType::exfat}};
    std::vector<ExpectedEntry> out;
    for (auto& p : manifestPartitions(fixture)) {
        if (p.fileSystem == "-") continue;  // the extended partition's container
        bool gpt = p.type.size() == 36;
        ExpectedEntry e;
        e.scheme = gpt ? "GPT" : (p.slot > 4 ? "MBR (logisk)" : "MBR");
        e.typeName = typeNames.at(p.type);
        e.name = p.name;
        e.offset = p.offset;
        e.size = p.sectors * p.sectorSize;
        EXPECT_EQ(e.size, p.size) << p.prefix;
        e.detected = systems.at(p.fileSystem);
        out.push_back(e);
    }
    return out;
}

void expectLayout(const PartitionLayout& layout, const std::vector<ExpectedEntry>& expected) {
    ASSERT_EQ(layout.entries.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        auto& got = layout.entries[i];
        auto& want = expected[i];
        SCOPED_TRACE("entry " + std::to_string(i + 1));
        EXPECT_EQ(got.index, static_cast<int64_t>(i + 1));
        EXPECT_EQ(got.scheme, want.scheme);
        EXPECT_EQ(got.typeName, want.typeName);
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.offset, want.offset);
        EXPECT_EQ(got.size, want.size);
        EXPECT_EQ(got.detected, want.detected);
    }
}

}  // namespace

TEST(PartitionTable, FixturesAgreeWithTheirManifests) {
    struct Case {
        std::string fixture, scheme;
        std::vector<std::string> notes;
    };
    const Case cases[] = {
        {"gpt_fat32_ntfs_exfat", "GPT", {}},
        {"mbr_extended", "MBR", {}},
        // mmls ignores the backup header while the protective MBR is there; gdisk agrees with the manifest.
        {"gpt_primary_header_zeroed", "GPT", {PartitionTable::backupHeaderNote}},
        // Written for 4096-byte sectors; the image is read with 512-byte sectors.
        {"gpt_4k_sectors", "GPT", {}},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        auto source = openFixture(c.fixture);
        auto layout = PartitionTable::read(*source);
        EXPECT_EQ(layout.scheme, c.scheme);
        EXPECT_EQ(layout.notes, c.notes);
        auto expected = expectedEntries(c.fixture);
        EXPECT_FALSE(expected.empty());
        expectLayout(layout, expected);
    }
}

TEST(PartitionTable, WholeDiskVolumesAndMissingTables) {
    struct Case {
        std::string fixture;
        std::optional<FileSystemType> type;  // absent: no table at all
    };
    const Case cases[] = {
        // Sector 0 is also an MBR whose one record points at the boot sector itself.
        {"superfloppy_fat32", FileSystemType::fat32},
        {"fat12", FileSystemType::fat12},
        {"fat16", FileSystemType::fat16},
        {"fat32", FileSystemType::fat32},
        // A protective MBR with a GPT of no entries.
        {"gpt_empty", std::nullopt},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        auto source = openFixture(c.fixture);
        auto layout = PartitionTable::read(*source);
        if (!c.type) {
            EXPECT_EQ(layout.scheme, "Ukendt");
            EXPECT_TRUE(layout.entries.empty());
            EXPECT_EQ(layout.notes, std::vector<std::string>{PartitionTable::noTableNote});
            continue;
        }
        EXPECT_EQ(layout.scheme, "Ingen partitionstabel");
        EXPECT_TRUE(layout.notes.empty());
        expectLayout(layout, {{"Ingen", "Hele disken", "", 0, source->size, c.type}});
    }
}

namespace {

void setRecord(Bytes& disk, uint64_t sectorByte, int i, uint8_t status, uint8_t type, uint32_t first,
               uint32_t count) {
    size_t r = static_cast<size_t>(sectorByte) + 446 + 16 * static_cast<size_t>(i);
    disk[r] = status;
    disk[r + 4] = type;
    putLE(disk, r + 8, first, 4);
    putLE(disk, r + 12, count, 4);
    disk[sectorByte + 510] = 0x55;
    disk[sectorByte + 511] = 0xAA;
}

// Two primary partitions and an extended one holding a chain of three EBRs
// at sectors 1000, 1200 and 1400; secondLink and lastLink are where the second
// and third EBR point (relative to the extended partition), 0 for the end.
Bytes mbrDisk(uint32_t lastLink, uint32_t secondLink = 400) {
    Bytes disk(8192 * 512, 0);
    setRecord(disk, 0, 0, 0x80, 0x0C, 64, 100);
    setRecord(disk, 0, 1, 0x00, 0x83, 200, 100);
    setRecord(disk, 0, 2, 0x00, 0x0F, 1000, 3000);
    setRecord(disk, 1000 * 512, 0, 0, 0x07, 10, 100);
    setRecord(disk, 1000 * 512, 1, 0, 0x05, 200, 300);
    setRecord(disk, 1200 * 512, 0, 0, 0x83, 10, 50);
    setRecord(disk, 1200 * 512, 1, 0, 0x05, secondLink, 300);
    setRecord(disk, 1400 * 512, 0, 0, 0x0B, 10, 20);
    if (lastLink) setRecord(disk, 1400 * 512, 1, 0, 0x05, lastLink, 300);
    return disk;
}

}  // namespace

TEST(PartitionTable, MBRWithLogicalPartitionsAndLoopingChains) {
    const std::vector<ExpectedEntry> all = {
        {"MBR", "FAT32", "", 64 * 512, 100 * 512, {}},
        {"MBR", "Linux", "", 200 * 512, 100 * 512, {}},
        {"MBR (logisk)", "NTFS/exFAT", "", 1010 * 512, 100 * 512, {}},
        {"MBR (logisk)", "Linux", "", 1210 * 512, 50 * 512, {}},
        {"MBR (logisk)", "FAT32", "", 1410 * 512, 20 * 512, {}},
    };
    struct Case {
        const char* what;
        Bytes disk;
        size_t entries;
    };
    const Case cases[] = {
        {"chain ends", mbrDisk(0), 5},
        // Each EBR is read once: a link back to an earlier one ends the chain
        // instead of listing its partitions again up to 128 times.
        {"third links back to the second", mbrDisk(200), 5},
        {"second links to itself", mbrDisk(0, 200), 4},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        ByteSource source(c.disk);
        auto layout = PartitionTable::read(*source);
        EXPECT_EQ(layout.scheme, "MBR");
        EXPECT_TRUE(layout.notes.empty());
        expectLayout(layout, std::vector<ExpectedEntry>(all.begin(), all.begin() + static_cast<long>(c.entries)));
    }
}

TEST(PartitionTable, MBRRecordsThatAreSkippedOrEndTheReading) {
    // A protective record among the used ones: no MBR layout at all.
    Bytes protective = mbrDisk(0);
    setRecord(protective, 0, 3, 0x00, 0xEE, 1, 8000);
    ByteSource p(protective);
    auto layout = PartitionTable::read(*p);
    EXPECT_EQ(layout.scheme, "Ukendt");
    EXPECT_TRUE(layout.entries.empty());
    EXPECT_EQ(layout.notes, std::vector<std::string>{PartitionTable::noTableNote});

    // A bad status byte, a record past the end and a 0xEE with an invalid
    // status (which does not pass) are skipped; a size past the end is cut.
    Bytes disk(8192 * 512, 0);
    setRecord(disk, 0, 0, 0x01, 0x0C, 64, 100);
    setRecord(disk, 0, 1, 0x00, 0x42, 9000, 100);
    setRecord(disk, 0, 2, 0x7F, 0xEE, 1, 100);
    setRecord(disk, 0, 3, 0x80, 0x42, 8000, 1000);
    ByteSource s(disk);
    expectLayout(PartitionTable::read(*s), {{"MBR", "Type 0x42", "", 8000 * 512, 192 * 512, {}}});

    // On a source of 4096-byte sectors the MBR counts in 4096-byte units.
    Bytes big(1024 * 4096, 0);
    setRecord(big, 0, 0, 0x00, 0x83, 8, 16);
    ByteSource s4(big, 4096);
    expectLayout(PartitionTable::read(*s4), {{"MBR", "Linux", "", 8 * 4096, 16 * 4096, {}}});
}

namespace {

void putGUID(Bytes& b, size_t o, const std::string& text) {
    std::string hex;
    for (char c : text)
        if (c != '-') hex += c;
    auto byte = [&](size_t i) { return static_cast<uint8_t>(std::stoul(hex.substr(2 * i, 2), nullptr, 16)); };
    const size_t order[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    for (size_t i = 0; i < 16; ++i) b[o + i] = byte(order[i]);
}

void putGPTEntry(Bytes& disk, uint64_t arrayByte, int k, const std::string& type, uint64_t first, uint64_t last,
                 const std::u16string& name) {
    size_t e = static_cast<size_t>(arrayByte) + 128 * static_cast<size_t>(k);
    putGUID(disk, e, type);
    putLE(disk, e + 32, first, 8);
    putLE(disk, e + 40, last, 8);
    for (size_t i = 0; i < name.size(); ++i) putLE(disk, e + 56 + 2 * i, name[i], 2);
}

void putGPTHeader(Bytes& disk, uint64_t headerByte, uint64_t arrayLBA, uint32_t count, uint32_t entrySize = 128) {
    putText(disk, headerByte, "EFI PART");
    putLE(disk, headerByte + 72, arrayLBA, 8);
    putLE(disk, headerByte + 80, count, 4);
    putLE(disk, headerByte + 84, entrySize, 4);
}

}  // namespace

TEST(PartitionTable, GPTEntries) {
    const std::string basic = "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7";
    Bytes disk(2048 * 512, 0);
    putGPTHeader(disk, 512, 2, 128);
    putGPTEntry(disk, 1024, 0, basic, 34, 99, u"abc");
    putGPTEntry(disk, 1024, 1, "12345678-9ABC-DEF0-1122-334455667788", 100, 5000, u"Ende på disken");  // cut at the end
    putGPTEntry(disk, 1024, 2, basic, 300, 200, u"omvendt");      // last below first
    putGPTEntry(disk, 1024, 3, basic, 2048, 3000, u"udenfor");    // starts at the end
    putGPTEntry(disk, 1024, 5, basic, ~0ull / 2, ~0ull, u"stor");  // overflows
    putGPTEntry(disk, 1024, 6, "C12A7328-F81F-11D2-BA4B-00A0C93EC93B", 1000, 1999, u"");
    ByteSource source(disk);
    auto layout = PartitionTable::read(*source);
    EXPECT_EQ(layout.scheme, "GPT");
    EXPECT_TRUE(layout.notes.empty());
    expectLayout(layout, {
                             {"GPT", "Microsoft basisdata", "abc", 34 * 512, 66 * 512, {}},
                             {"GPT", "GPT 12345678", "Ende på disken", 100 * 512, 1948 * 512, {}},
                             {"GPT", "EFI-system", "", 1000 * 512, 1000 * 512, {}},
                         });

    // A header with no usable table falls back to the backup header.
    Bytes damaged = disk;
    putLE(damaged, 512 + 84, 64, 4);  // entry size below 128
    putGPTHeader(damaged, 2047 * 512, 2, 128);
    ByteSource backup(damaged);
    layout = PartitionTable::read(*backup);
    EXPECT_EQ(layout.scheme, "GPT");
    EXPECT_EQ(layout.notes, std::vector<std::string>{PartitionTable::backupHeaderNote});
    EXPECT_EQ(layout.entries.size(), 3u);
}

TEST(PartitionTable, TextsOfGUIDsAndTypes) {
    Bytes b(16);
    putGUID(b, 0, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    EXPECT_EQ(b[0], 0xA2);
    EXPECT_EQ(PartitionTable::guid(b, 0), "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    EXPECT_EQ(PartitionTable::gptTypeName("7C3457EF-0000-11AA-AA11-00306543ECAC"), "Apple APFS");
    EXPECT_EQ(PartitionTable::mbrTypeName(0x07), "NTFS/exFAT");
    EXPECT_EQ(PartitionTable::mbrTypeName(0xEE), "GPT-beskyttelse");
    EXPECT_EQ(PartitionTable::mbrTypeName(0x0A), "Type 0x0A");
}

namespace {

// A FAT boot sector: 512-byte sectors, one sector per cluster, one reserved
// sector, two FATs, 512 root entries (32 sectors).
Bytes fatBoot(uint16_t fatSize16, uint32_t fatSize32, uint32_t total) {
    Bytes b(512, 0);
    b[0] = 0xEB;
    putLE(b, 11, 512, 2);
    b[13] = 1;
    putLE(b, 14, 1, 2);
    b[16] = 2;
    putLE(b, 17, 512, 2);
    if (total < 65536)
        putLE(b, 19, total, 2);
    else
        putLE(b, 32, total, 4);
    putLE(b, 22, fatSize16, 2);
    putLE(b, 36, fatSize32, 4);
    b[510] = 0x55;
    b[511] = 0xAA;
    return b;
}

}  // namespace

TEST(FSProbe, BootSectorsByClusterCount) {
    const uint32_t dataStart = 1 + 2 * 12 + 32;
    struct Case {
        const char* what;
        Bytes boot;
        std::optional<FileSystemType> type;
    };
    Case cases[] = {
        {"4084 clusters", fatBoot(12, 0, dataStart + 4084), FileSystemType::fat12},
        {"4085 clusters", fatBoot(12, 0, dataStart + 4085), FileSystemType::fat16},
        {"65524 clusters", fatBoot(12, 0, dataStart + 65524), FileSystemType::fat16},
        {"65525 clusters", fatBoot(12, 0, dataStart + 65525), FileSystemType::fat32},
        {"16-bit FAT size 0", fatBoot(0, 12, dataStart + 100), FileSystemType::fat32},
        {"no FAT size", fatBoot(0, 0, dataStart + 100), std::nullopt},
        {"data start at the end", fatBoot(12, 0, dataStart), std::nullopt},
        // Reserved + FATs × FAT size summed in 64 bits: a wrap to a small data start must not pass.
        {"huge FAT", fatBoot(0, 0x80000000u, 0xFFFFFFFFu), std::nullopt},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(FSProbe::detectBootSector(c.boot, 0), c.type);
    }

    // Each field test on its own, on an otherwise valid FAT16 sector at a base within a larger array.
    struct Broken {
        size_t offset;
        uint8_t value;
    };
    for (auto [offset, value] : {Broken{0, 0x00}, Broken{11, 0x01}, Broken{13, 3}, Broken{13, 0}, Broken{14, 0},
                                 Broken{16, 0}, Broken{16, 5}, Broken{510, 0}}) {
        Bytes b(1024, 0);
        Bytes boot = fatBoot(12, 0, dataStart + 5000);
        std::copy(boot.begin(), boot.end(), b.begin() + 512);
        EXPECT_EQ(FSProbe::detectBootSector(b, 512), FileSystemType::fat16);
        b[512 + offset] = value;
        EXPECT_EQ(FSProbe::detectBootSector(b, 512), std::nullopt) << "offset " << offset;
    }

    Bytes ntfs(512, 0);
    putText(ntfs, 3, "NTFS    ");
    putLE(ntfs, 11, 4096, 2);
    EXPECT_EQ(FSProbe::detectBootSector(ntfs, 0), FileSystemType::ntfs);
    putLE(ntfs, 11, 8192, 2);
    EXPECT_EQ(FSProbe::detectBootSector(ntfs, 0), std::nullopt);
    Bytes exfat(512, 0);
    putText(exfat, 3, "EXFAT   ");
    exfat[108] = 12;
    EXPECT_EQ(FSProbe::detectBootSector(exfat, 0), FileSystemType::exfat);
    exfat[108] = 13;
    EXPECT_EQ(FSProbe::detectBootSector(exfat, 0), std::nullopt);
    // Fields cut off by the end of the array read as 0.
    EXPECT_EQ(FSProbe::detectBootSector(ByteSpan(fatBoot(12, 0, dataStart + 5000)).first(300), 0), std::nullopt);
}

TEST(FSProbe, HFSPlusHeadersAndWholeSourceTests) {
    auto header = [](uint16_t signature, uint16_t version, uint32_t blockSize, uint32_t blocks) {
        Bytes b(512, 0);
        b[0] = static_cast<uint8_t>(signature >> 8), b[1] = static_cast<uint8_t>(signature);
        b[3] = static_cast<uint8_t>(version);
        for (size_t i = 0; i < 4; ++i) {
            b[40 + i] = static_cast<uint8_t>(blockSize >> (24 - 8 * i));
            b[44 + i] = static_cast<uint8_t>(blocks >> (24 - 8 * i));
        }
        return b;
    };
    EXPECT_TRUE(FSProbe::isHFSPlusHeader(header(0x482B, 4, 4096, 10), 0));
    EXPECT_TRUE(FSProbe::isHFSPlusHeader(header(0x4858, 5, 512, 10), 0));
    EXPECT_TRUE(FSProbe::isHFSPlusHeader(header(0x482B, 4, 1048576, 10), 0));
    EXPECT_FALSE(FSProbe::isHFSPlusHeader(header(0x482B, 5, 4096, 10), 0));
    EXPECT_FALSE(FSProbe::isHFSPlusHeader(header(0x482B, 4, 768, 10), 0));
    EXPECT_FALSE(FSProbe::isHFSPlusHeader(header(0x482B, 4, 2097152, 10), 0));
    EXPECT_FALSE(FSProbe::isHFSPlusHeader(header(0x482B, 4, 4096, 0), 0));

    Bytes disk(64 * 1024, 0);
    Bytes h = header(0x482B, 4, 4096, 10);
    std::copy(h.begin(), h.end(), disk.begin() + 8192 + 1024);
    putText(disk, 16384 + 32, "NXSB");
    putLE(disk, 24576 + 1024 + 56, 0xEF53, 2);
    ByteSource source(disk);
    EXPECT_EQ(FSProbe::detect(*source, 8192), FileSystemType::hfsplus);
    EXPECT_EQ(FSProbe::detect(*source, 16384), FileSystemType::apfs);
    EXPECT_EQ(FSProbe::detect(*source, 24576), FileSystemType::ext);
    EXPECT_EQ(FSProbe::detect(*source, 0), std::nullopt);
    EXPECT_EQ(FSProbe::detect(*source, ~0ull - 10), std::nullopt);
}
