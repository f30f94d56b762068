// Bounds-checked readers over byte arrays and the file systems' timestamp
// conversions. A field that does not lie wholly inside the array reads as 0, an
// empty text or an empty array: a structure cut short decodes to zeros.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "SovantaCore/Model.h"

namespace sovanta {

using ByteSpan = std::span<const uint8_t>;

namespace detail {
inline bool fits(ByteSpan b, int64_t offset, int64_t width) {
    return offset >= 0 && static_cast<int64_t>(b.size()) - width >= offset;
}
}  // namespace detail

inline uint8_t u8(ByteSpan b, int64_t offset) {
    return detail::fits(b, offset, 1) ? b[static_cast<size_t>(offset)] : 0;
}
inline int8_t i8(ByteSpan b, int64_t offset) { return static_cast<int8_t>(u8(b, offset)); }

inline uint16_t u16le(ByteSpan b, int64_t offset) {
    if (!detail::fits(b, offset, 2)) return 0;
    const uint8_t* p = b.data() + offset;
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t u32le(ByteSpan b, int64_t offset) {
    if (!detail::fits(b, offset, 4)) return 0;
    const uint8_t* p = b.data() + offset;
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t u64le(ByteSpan b, int64_t offset) {
    if (!detail::fits(b, offset, 8)) return 0;
    return static_cast<uint64_t>(u32le(b, offset)) | (static_cast<uint64_t>(u32le(b, offset + 4)) << 32);
}
inline uint16_t u16be(ByteSpan b, int64_t offset) {
    if (!detail::fits(b, offset, 2)) return 0;
    const uint8_t* p = b.data() + offset;
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}
inline uint32_t u32be(ByteSpan b, int64_t offset) {
    if (!detail::fits(b, offset, 4)) return 0;
    const uint8_t* p = b.data() + offset;
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}
inline uint64_t u64be(ByteSpan b, int64_t offset) {
    if (!detail::fits(b, offset, 8)) return 0;
    return (static_cast<uint64_t>(u32be(b, offset)) << 32) | static_cast<uint64_t>(u32be(b, offset + 4));
}

// The little-endian value of size (1...8) bytes; 0 otherwise.
uint64_t uintLE(ByteSpan b, int64_t offset, int64_t size);
// The same bytes sign-extended from the top bit of the size-byte value.
int64_t intLE(ByteSpan b, int64_t offset, int64_t size);

// The bytes from offset up to offset + count, cut at the end of the array.
Bytes sub(ByteSpan b, int64_t offset, int64_t count);
// Whether the bytes of pattern stand at offset.
bool matches(ByteSpan b, std::string_view pattern, int64_t offset);
bool matches(ByteSpan b, ByteSpan pattern, int64_t offset);
// The first offset at or after start where the whole pattern stands.
std::optional<int64_t> firstIndex(ByteSpan b, ByteSpan pattern, int64_t start);
// Whether every byte from offset up to offset + length (or the end) is 0.
bool isAllZero(ByteSpan b, int64_t offset, std::optional<int64_t> length = std::nullopt);
// Bytes up to the first 0; printable ASCII kept, everything else "_".
std::string ascii(ByteSpan b, int64_t offset, int64_t count);
// Up to chars UTF-16 units; unpaired surrogates become U+FFFD; zero units kept.
std::string utf16le(ByteSpan b, int64_t offset, int64_t chars);
std::string utf16be(ByteSpan b, int64_t offset, int64_t chars);

namespace TimeConversion {
std::optional<Date> fromAPFS(uint64_t nanoseconds);
std::optional<Date> fromFiletime(uint64_t filetime);
std::optional<Date> fromHFS(uint32_t seconds);
std::optional<Date> fromDOS(uint16_t date, uint16_t time);
std::optional<Date> fromExFAT(uint32_t timestamp, uint8_t utcOffset);
}  // namespace TimeConversion

}  // namespace sovanta
