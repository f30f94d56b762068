// File-system-tree records shared by the live tree and the old-node search.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "SovantaCore/Binary.h"
#include "SovantaCore/Model.h"

namespace sovanta::apfs {

// Record kinds in the top 4 bits of a key's first u64.
inline constexpr uint64_t kindInode = 3;
inline constexpr uint64_t kindFileExtent = 8;
inline constexpr uint64_t kindDirEntry = 9;

// Directory entry types (low 4 bits of the value byte at 16).
inline constexpr uint16_t typeFolder = 4;
inline constexpr uint16_t typeRegular = 8;

inline constexpr uint64_t rootFolderID = 2;
inline constexpr uint64_t privateFolderID = 3;
inline constexpr uint32_t compressedFlag = 0x20;

struct KeyHeader {
    uint64_t kind;
    uint64_t objectID;
};
// Nothing for a key shorter than 8 bytes.
std::optional<KeyHeader> keyHeader(ByteSpan key);

struct InodeValue {
    uint64_t parent = 0;
    uint64_t privateID = 0;
    std::optional<Date> created;
    std::optional<Date> modified;
    uint64_t size = 0;
    uint16_t mode = 0;
    uint32_t bsdFlags = 0;
};
// Nothing for a value shorter than 92 bytes.
std::optional<InodeValue> inodeValue(ByteSpan value);

struct DirEntryValue {
    std::string name;
    uint64_t fileID = 0;
    uint16_t type = 0;
};
DirEntryValue dirEntry(ByteSpan key, ByteSpan value);

struct ExtentValue {
    uint64_t logical = 0;
    uint64_t length = 0;
    uint64_t physical = 0;
};
ExtentValue fileExtent(ByteSpan key, ByteSpan value);

// UTF-8 with every maximal invalid subsequence replaced by U+FFFD.
std::string repairedUTF8(ByteSpan bytes);

// base + block × blockSize, or nothing when it overflows 64 bits.
std::optional<uint64_t> byteOffset(uint64_t base, uint64_t block, uint64_t blockSize);

}  // namespace sovanta::apfs
