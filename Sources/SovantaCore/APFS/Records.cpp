#include "SovantaCore/APFS/Records.h"

#include <algorithm>

namespace sovanta::apfs {

std::optional<KeyHeader> keyHeader(ByteSpan key) {
    if (key.size() < 8) return std::nullopt;
    uint64_t head = u64le(key, 0);
    return KeyHeader{head >> 60, head & 0x0FFFFFFFFFFFFFFFULL};
}

std::optional<InodeValue> inodeValue(ByteSpan value) {
    if (value.size() < 92) return std::nullopt;
    InodeValue inode;
    inode.parent = u64le(value, 0);
    inode.privateID = u64le(value, 8);
    inode.created = TimeConversion::fromAPFS(u64le(value, 16));
    inode.modified = TimeConversion::fromAPFS(u64le(value, 24));
    inode.bsdFlags = u32le(value, 68);
    inode.mode = u16le(value, 80);

    // Extended fields: 4-byte headers (type, flags, size) from 96, then their
    // data, each padded to 8 bytes. The data stream (type 8) starts with the
    // file's logical size.
    int64_t count = value.size() >= 94 ? u16le(value, 92) : 0;
    int64_t dataPos = 96 + 4 * count;
    std::optional<int64_t> streamPos;
    for (int64_t i = 0; i < std::min<int64_t>(count, 32); ++i) {
        int64_t header = 96 + 4 * i;
        uint8_t type = u8(value, header);
        uint16_t size = u16le(value, header + 2);
        if (type == 8) streamPos = dataPos;
        dataPos += (static_cast<int64_t>(size) + 7) / 8 * 8;
    }
    if (streamPos && *streamPos <= static_cast<int64_t>(value.size()) - 8) inode.size = u64le(value, *streamPos);
    return inode;
}

DirEntryValue dirEntry(ByteSpan key, ByteSpan value) {
    // Two key layouts: a u32 of name length (low 10 bits) and hash with the
    // name from 12, or a u16 length with the name from 10.
    int64_t keyLength = static_cast<int64_t>(key.size());
    uint16_t m = u16le(key, 8);
    int64_t h = m & 0x3FF;
    Bytes raw;
    if (12 + h == keyLength)
        raw = sub(key, 12, h);
    else if (10 + static_cast<int64_t>(m) == keyLength)
        raw = sub(key, 10, m);
    else
        raw = sub(key, 12, h);
    auto zero = std::find(raw.begin(), raw.end(), uint8_t{0});
    raw.erase(zero, raw.end());

    DirEntryValue entry;
    entry.name = repairedUTF8(raw);
    entry.fileID = u64le(value, 0);
    entry.type = value.size() >= 18 ? static_cast<uint16_t>(value[16] & 0x0F) : 0;
    return entry;
}

ExtentValue fileExtent(ByteSpan key, ByteSpan value) {
    ExtentValue extent;
    extent.logical = u64le(key, 8);
    extent.length = u64le(value, 0) & 0x00FFFFFFFFFFFFFFULL;
    extent.physical = u64le(value, 8);
    return extent;
}

std::string repairedUTF8(ByteSpan b) {
    static const char replacement[] = "\xEF\xBF\xBD";
    std::string out;
    out.reserve(b.size());
    size_t i = 0;
    while (i < b.size()) {
        uint8_t c = b[i];
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
            ++i;
            continue;
        }
        size_t need = 0;
        uint8_t lo = 0x80, hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            out += replacement;
            ++i;
            continue;
        }
        // The maximal subpart: stop at the first byte that cannot continue the sequence.
        size_t j = 1;
        for (; j <= need; ++j) {
            if (i + j >= b.size()) break;
            uint8_t d = b[i + j];
            uint8_t low = j == 1 ? lo : 0x80, high = j == 1 ? hi : 0xBF;
            if (d < low || d > high) break;
        }
        if (j == need + 1) {
            out.append(reinterpret_cast<const char*>(b.data() + i), need + 1);
        } else {
            out += replacement;
        }
        i += j;
    }
    return out;
}

std::optional<uint64_t> byteOffset(uint64_t base, uint64_t block, uint64_t blockSize) {
    if (blockSize != 0 && block > UINT64_MAX / blockSize) return std::nullopt;
    uint64_t relative = block * blockSize;
    if (relative > UINT64_MAX - base) return std::nullopt;
    return base + relative;
}

}  // namespace sovanta::apfs
