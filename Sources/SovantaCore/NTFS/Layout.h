// On-disk constants of NTFS and the limits the reader keeps to, shared by the
// record parser and the tree builder.
#pragma once

#include <cstdint>
#include <span>

#include "SovantaCore/Binary.h"

namespace sovanta::ntfs {

inline constexpr uint32_t typeStandardInformation = 0x10;
inline constexpr uint32_t typeAttributeList = 0x20;
inline constexpr uint32_t typeFileName = 0x30;
inline constexpr uint32_t typeVolumeName = 0x60;
inline constexpr uint32_t typeData = 0x80;

inline constexpr uint64_t rootRecord = 5;
inline constexpr uint64_t volumeRecord = 3;
inline constexpr uint64_t bitmapRecord = 6;
inline constexpr uint64_t extendRecord = 11;
// Records 0...15 are the system files and reserved records.
inline constexpr uint64_t lastSystemRecord = 15;

inline constexpr int maxAttributes = 256;
inline constexpr uint64_t maxRunClusters = (uint64_t{1} << 40) - 1;
inline constexpr uint64_t maxRecords = 60'000'000;
inline constexpr uint64_t batchBytes = 4'194'304;
inline constexpr uint64_t maxAttributeList = 1'048'576;
inline constexpr uint64_t maxBitmap = 536'870'912;
inline constexpr uint64_t maxTestedClusters = 1'048'576;

// Checked arithmetic: true and the result when it fits, false otherwise.
inline bool checkedMul(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
inline bool checkedAdd(uint64_t a, uint64_t b, uint64_t& out) { return !__builtin_add_overflow(a, b, &out); }

// Applies the update-sequence fixups of a FILE record in place; false when a
// check value did not match or the array cannot be applied.
bool applyFixups(std::span<uint8_t> bytes);

// The common attribute header, read from the attribute's own bytes (fields
// outside them read as 0).
struct AttributeHeader {
    explicit AttributeHeader(ByteSpan a)
        : nonResident(u8(a, 8) != 0),
          nameLength(u8(a, 9)),
          compressed((u16le(a, 12) & 0x0001) != 0),
          encrypted((u16le(a, 12) & 0x4000) != 0),
          valueLength(u32le(a, 16)),
          valueOffset(u16le(a, 20)),
          startVCN(u64le(a, 16)),
          runsOffset(u16le(a, 32)),
          compressionUnit(u8(a, 34)),
          dataSize(u64le(a, 48)),
          initSize(u64le(a, 56)) {}

    // A resident value: its declared length, cut at the end of the attribute;
    // empty when it starts past the end.
    Bytes value(ByteSpan a) const {
        int64_t size = static_cast<int64_t>(a.size());
        if (valueOffset >= size) return {};
        return sub(a, valueOffset, std::min<int64_t>(valueLength, size - valueOffset));
    }

    bool nonResident;
    uint8_t nameLength;
    bool compressed;
    bool encrypted;
    int64_t valueLength;
    int64_t valueOffset;
    uint64_t startVCN;
    int64_t runsOffset;
    uint8_t compressionUnit;
    uint64_t dataSize;
    uint64_t initSize;
};

}  // namespace sovanta::ntfs
