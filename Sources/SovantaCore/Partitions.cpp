#include "SovantaCore/Partitions.h"

#include <cstdio>
#include <limits>
#include <set>

namespace sovanta {

namespace {

constexpr uint64_t maxU64 = std::numeric_limits<uint64_t>::max();

// GPT header (one sector at LBA 1 of the sector size it was written for).
constexpr int64_t gptEntryArrayLBA = 72;
constexpr int64_t gptEntryCount = 80;
constexpr int64_t gptEntrySize = 84;
constexpr uint32_t gptMaxEntries = 1024;
// GPT entry.
constexpr int64_t gptEntryFirstLBA = 32;
constexpr int64_t gptEntryLastLBA = 40;
constexpr int64_t gptEntryName = 56;
constexpr int64_t gptNameUnits = 36;

// MBR and EBR: four 16-byte records at 446, the signature at 510.
constexpr int64_t mbrRecords = 446;
constexpr int maxEBRsPerChain = 128;

bool hasBootSignature(ByteSpan b) { return u8(b, 510) == 0x55 && u8(b, 511) == 0xAA; }

bool isExtendedType(uint8_t type) { return type == 0x05 || type == 0x0F || type == 0x85; }

// The candidate sector sizes of a GPT: the source's own, then 512, then 4096.
std::vector<uint64_t> candidateSectorSizes(const DiskSource& source) {
    std::vector<uint64_t> sizes;
    for (uint64_t s : {static_cast<uint64_t>(source.sectorSize), uint64_t{512}, uint64_t{4096}}) {
        bool seen = false;
        for (uint64_t t : sizes) seen = seen || t == s;
        if (!seen) sizes.push_back(s);
    }
    return sizes;
}

std::vector<PartitionEntry> parseGPT(DiskSource& source, ByteSpan header, uint64_t s) {
    if (header.size() < 88) return {};
    uint32_t count = u32le(header, gptEntryCount);
    uint32_t entrySize = u32le(header, gptEntrySize);
    if (count == 0 || entrySize < 128 || entrySize > 4096) return {};
    count = std::min(count, gptMaxEntries);
    uint64_t arrayLBA = u64le(header, gptEntryArrayLBA);
    if (arrayLBA > maxU64 / s) return {};
    uint64_t arrayOffset = arrayLBA * s;
    if (arrayOffset >= source.size) return {};

    // At most 1024 × 4096 bytes; read once, then view entry by entry.
    Bytes table = source.read(arrayOffset, static_cast<int64_t>(count) * entrySize);
    ByteSpan all(table);
    std::vector<PartitionEntry> entries;
    for (uint32_t k = 0; k < count; ++k) {
        int64_t e = static_cast<int64_t>(k) * entrySize;
        std::string type = PartitionTable::guid(all, e);
        if (type == "00000000-0000-0000-0000-000000000000") continue;
        uint64_t first = u64le(all, e + gptEntryFirstLBA);
        uint64_t last = u64le(all, e + gptEntryLastLBA);
        if (last < first || first > maxU64 / s || last == maxU64 || last + 1 > maxU64 / s) continue;
        uint64_t start = first * s;
        if (start >= source.size) continue;
        uint64_t end = std::min(source.size, (last + 1) * s);

        int64_t units = 0;
        while (units < gptNameUnits && u16le(all, e + gptEntryName + 2 * units) != 0) ++units;

        PartitionEntry entry;
        entry.index = static_cast<int64_t>(entries.size()) + 1;
        entry.scheme = "GPT";
        entry.typeName = PartitionTable::gptTypeName(type);
        entry.offset = start;
        entry.size = end - start;
        entry.name = utf16le(all, e + gptEntryName, units);
        entries.push_back(std::move(entry));
    }
    return entries;
}

std::vector<PartitionEntry> readGPT(DiskSource& source, std::vector<std::string>& notes) {
    const auto sizes = candidateSectorSizes(source);
    for (uint64_t s : sizes) {
        Bytes header = source.read(s, static_cast<int64_t>(s));
        if (!matches(header, "EFI PART", 0)) continue;
        auto entries = parseGPT(source, header, s);
        if (!entries.empty()) return entries;
    }
    for (uint64_t s : sizes) {
        if (source.size / 2 < s) continue;
        Bytes header = source.read((source.size / s - 1) * s, static_cast<int64_t>(s));
        if (!matches(header, "EFI PART", 0)) continue;
        auto entries = parseGPT(source, header, s);
        if (!entries.empty()) {
            notes.push_back(PartitionTable::backupHeaderNote);
            return entries;
        }
    }
    return {};
}

std::vector<PartitionEntry> readMBR(DiskSource& source, std::vector<std::string>&) {
    Bytes mbr = source.read(0, 512);
    if (!hasBootSignature(mbr)) return {};
    const uint64_t unit = source.sectorSize == 4096 ? 4096 : 512;

    std::vector<PartitionEntry> entries;
    std::vector<uint64_t> extended;
    for (int i = 0; i < 4; ++i) {
        int64_t r = mbrRecords + 16 * i;
        uint8_t status = u8(mbr, r);
        uint8_t type = u8(mbr, r + 4);
        uint64_t first = u32le(mbr, r + 8);
        uint64_t count = u32le(mbr, r + 12);
        if ((status & 0x7F) != 0 || type == 0 || count == 0) continue;
        if (type == 0xEE) return {};  // a protective MBR: the disk is GPT's, or nothing
        uint64_t start = first * unit;  // at most 2^32 × 4096: no overflow
        if (start >= source.size) continue;
        if (isExtendedType(type)) {
            extended.push_back(first);
            continue;
        }
        PartitionEntry entry;
        entry.index = static_cast<int64_t>(entries.size()) + 1;
        entry.scheme = "MBR";
        entry.typeName = PartitionTable::mbrTypeName(type);
        entry.offset = start;
        entry.size = std::min(source.size - start, count * unit);
        entries.push_back(std::move(entry));
    }

    for (uint64_t extendedFirst : extended) {
        // Sector numbers are 64-bit sums of 32-bit fields, so they cannot wrap.
        uint64_t current = extendedFirst;
        std::set<uint64_t> visited;
        for (int step = 0; step < maxEBRsPerChain; ++step) {
            // A chain that links back to an EBR already read would list the
            // same logical partitions again: it ends there.
            if (!visited.insert(current).second) break;
            if (current > maxU64 / unit) break;
            Bytes ebr = source.read(current * unit, 512);
            if (!hasBootSignature(ebr)) break;
            uint8_t type = u8(ebr, mbrRecords + 4);
            uint64_t first = u32le(ebr, mbrRecords + 8);
            uint64_t count = u32le(ebr, mbrRecords + 12);
            if (type != 0 && count != 0) {
                uint64_t start = current + first;
                if (start <= maxU64 / unit && start * unit < source.size) {
                    PartitionEntry entry;
                    entry.index = static_cast<int64_t>(entries.size()) + 1;
                    entry.scheme = "MBR (logisk)";
                    entry.typeName = PartitionTable::mbrTypeName(type);
                    entry.offset = start * unit;
                    entry.size = std::min(source.size - entry.offset, count * unit);
                    entries.push_back(std::move(entry));
                }
            }
            uint8_t nextType = u8(ebr, mbrRecords + 16 + 4);
            uint64_t nextFirst = u32le(ebr, mbrRecords + 16 + 8);
            if (nextFirst == 0 || !isExtendedType(nextType)) break;
            current = extendedFirst + nextFirst;
        }
    }
    return entries;
}

void probeAll(DiskSource& source, std::vector<PartitionEntry>& entries) {
    for (auto& entry : entries) entry.detected = FSProbe::detect(source, entry.offset);
}

}  // namespace

namespace PartitionTable {

PartitionLayout read(DiskSource& source) {
    PartitionLayout layout;
    auto gpt = readGPT(source, layout.notes);
    if (!gpt.empty()) {
        probeAll(source, gpt);
        layout.scheme = "GPT";
        layout.entries = std::move(gpt);
        return layout;
    }
    if (auto type = FSProbe::detect(source, 0)) {
        PartitionEntry whole;
        whole.index = 1;
        whole.scheme = "Ingen";
        whole.typeName = "Hele disken";
        whole.offset = 0;
        whole.size = source.size;
        whole.detected = type;
        layout.scheme = "Ingen partitionstabel";
        layout.entries.push_back(std::move(whole));
        return layout;
    }
    auto mbr = readMBR(source, layout.notes);
    if (!mbr.empty()) {
        probeAll(source, mbr);
        layout.scheme = "MBR";
        layout.entries = std::move(mbr);
        return layout;
    }
    layout.scheme = "Ukendt";
    layout.notes.push_back(noTableNote);
    return layout;
}

std::string guid(ByteSpan b, int64_t o) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", u32le(b, o), u16le(b, o + 4),
                  u16le(b, o + 6), u8(b, o + 8), u8(b, o + 9), u8(b, o + 10), u8(b, o + 11), u8(b, o + 12),
                  u8(b, o + 13), u8(b, o + 14), u8(b, o + 15));
    return text;
}

std::string gptTypeName(const std::string& g) {
    struct Name {
        const char* guid;
        const char* name;
    };
    static const Name names[] = {
        {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basisdata"},
        {"48465300-0000-11AA-AA11-00306543ECAC", "Apple HFS+"},
        {"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple APFS"},
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI-system"},
        {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserveret"},
        {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows gendannelse"},
        {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux"},
        {"426F6F74-0000-11AA-AA11-00306543ECAC", "Apple Boot"},
        {"52637672-7900-11AA-AA11-00306543ECAC", "Apple Recovery"},
        {"69646961-6700-11AA-AA11-00306543ECAC", "Apple APFS ISC"},
    };
    for (auto& n : names)
        if (g == n.guid) return n.name;
    return "GPT " + g.substr(0, 8);
}

std::string mbrTypeName(uint8_t type) {
    switch (type) {
        case 0x01: return "FAT12";
        case 0x04:
        case 0x06:
        case 0x0E: return "FAT16";
        case 0x07: return "NTFS/exFAT";
        case 0x0B:
        case 0x0C: return "FAT32";
        case 0x17: return "NTFS (skjult)";
        case 0x1B:
        case 0x1C: return "FAT32 (skjult)";
        case 0x27: return "Windows gendannelse";
        case 0x82: return "Linux swap";
        case 0x83: return "Linux";
        case 0xAB: return "Apple Boot";
        case 0xAF: return "Apple HFS+";
        case 0xEE: return "GPT-beskyttelse";
        default: break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "Type 0x%02X", type);
    return text;
}

}  // namespace PartitionTable

namespace FSProbe {

std::optional<FileSystemType> detect(DiskSource& source, uint64_t offset) {
    Bytes head = source.read(offset, 4096);
    if (auto type = detectBootSector(head, 0)) return type;
    Bytes header = offset <= maxU64 - 1024 ? source.read(offset + 1024, 512) : Bytes(512, 0);
    if (isHFSPlusHeader(header, 0)) return FileSystemType::hfsplus;
    if (matches(head, "NXSB", 32)) return FileSystemType::apfs;
    if (u16le(header, 56) == 0xEF53) return FileSystemType::ext;
    return std::nullopt;
}

std::optional<FileSystemType> detectBootSector(ByteSpan b, int64_t base) {
    if (matches(b, "NTFS    ", base + 3)) {
        uint16_t bps = u16le(b, base + 11);
        if (bps == 512 || bps == 1024 || bps == 2048 || bps == 4096) return FileSystemType::ntfs;
    }
    if (matches(b, "EXFAT   ", base + 3)) {
        uint8_t shift = u8(b, base + 108);
        if (shift >= 9 && shift <= 12) return FileSystemType::exfat;
    }

    if (u8(b, base + 510) != 0x55 || u8(b, base + 511) != 0xAA) return std::nullopt;
    uint8_t jump = u8(b, base);
    if (jump != 0xE8 && jump != 0xE9 && jump != 0xEB) return std::nullopt;
    uint64_t bps = u16le(b, base + 11);
    if (bps != 512 && bps != 1024 && bps != 2048 && bps != 4096) return std::nullopt;
    uint64_t spc = u8(b, base + 13);
    if (spc == 0 || (spc & (spc - 1)) != 0) return std::nullopt;
    uint64_t reserved = u16le(b, base + 14);
    if (reserved == 0) return std::nullopt;
    uint64_t fats = u8(b, base + 16);
    if (fats < 1 || fats > 4) return std::nullopt;
    uint16_t fatSize16 = u16le(b, base + 22);
    uint64_t fatSize = fatSize16 != 0 ? fatSize16 : u32le(b, base + 36);
    if (fatSize == 0) return std::nullopt;
    uint64_t total = u16le(b, base + 19);
    if (total == 0) total = u32le(b, base + 32);
    if (total == 0) return std::nullopt;
    // Every term is at most 32 bits wide, so the 64-bit sum cannot wrap.
    uint64_t rootSectors = (static_cast<uint64_t>(u16le(b, base + 17)) * 32 + bps - 1) / bps;
    uint64_t dataStart = reserved + fats * fatSize + rootSectors;
    if (dataStart >= total) return std::nullopt;
    if (fatSize16 == 0) return FileSystemType::fat32;
    uint64_t clusters = (total - dataStart) / spc;
    if (clusters < 4085) return FileSystemType::fat12;
    if (clusters < 65525) return FileSystemType::fat16;
    return FileSystemType::fat32;
}

bool isHFSPlusHeader(ByteSpan b, int64_t base) {
    uint16_t signature = u16be(b, base);
    uint16_t version = u16be(b, base + 2);
    bool known = (signature == 0x482B && version == 4) || (signature == 0x4858 && version == 5);
    if (!known) return false;
    uint32_t blockSize = u32be(b, base + 40);
    if (blockSize < 512 || blockSize > 1048576 || (blockSize & (blockSize - 1)) != 0) return false;
    return u32be(b, base + 44) != 0;
}

}  // namespace FSProbe

}  // namespace sovanta
