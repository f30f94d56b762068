// Partition tables (GPT, MBR with its chain of extended partitions) and the
// one test of which file system starts at a given byte offset.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "SovantaCore/Binary.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

struct PartitionEntry {
    Uuid id = Uuid::random();
    int64_t index = 0;            // from 1, in the order found
    std::string scheme;           // "GPT", "MBR", "MBR (logisk)" or "Ingen"
    std::string typeName;         // display name of the partition type
    uint64_t offset = 0;          // absolute byte offset on the source
    uint64_t size = 0;            // bytes, never past the end of the source
    std::string name;             // the GPT partition name; empty otherwise
    std::optional<FileSystemType> detected;  // what the probe found at offset

    // Entries are the same entry exactly when their ids are equal.
    bool operator==(const PartitionEntry& other) const { return id == other.id; }
};

struct PartitionLayout {
    std::string scheme;  // "GPT", "MBR", "Ingen partitionstabel" or "Ukendt"
    std::vector<PartitionEntry> entries;
    std::vector<std::string> notes;
};

namespace PartitionTable {

inline constexpr const char* backupHeaderNote =
    "Den primære GPT-header var beskadiget – backup-headeren blev brugt.";
inline constexpr const char* noTableNote =
    "Der blev ikke fundet nogen gyldig partitionstabel. Brug dyb scanning for at finde tabte partitioner.";

// The layout of a source: a GPT (its backup header when the primary gives
// nothing), else one whole-disk entry when a file system starts at byte 0,
// else an MBR with its logical partitions, else an empty layout with a note.
// Every entry is probed. Never fails.
PartitionLayout read(DiskSource& source);

// The mixed-endian GUID text of the 16 bytes at offset, upper-case.
std::string guid(ByteSpan bytes, int64_t offset);
std::string gptTypeName(const std::string& guidText);
std::string mbrTypeName(uint8_t type);

}  // namespace PartitionTable

namespace FSProbe {

// The file system whose first byte is at the absolute offset, if recognised.
std::optional<FileSystemType> detect(DiskSource& source, uint64_t offset);
// An NTFS, exFAT or FAT12/16/32 boot sector standing at base within bytes.
std::optional<FileSystemType> detectBootSector(ByteSpan bytes, int64_t base);
// An HFS+ or HFSX volume header (the one 1024 bytes into the volume) at base.
bool isHFSPlusHeader(ByteSpan bytes, int64_t base);

}  // namespace FSProbe

}  // namespace sovanta

template <>
struct std::hash<sovanta::PartitionEntry> {
    size_t operator()(const sovanta::PartitionEntry& entry) const noexcept {
        size_t h = 0;
        for (uint8_t b : entry.id.bytes) h = h * 131 + b;
        return h;
    }
};
