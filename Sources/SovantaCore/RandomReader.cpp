#include "SovantaCore/RandomReader.h"

#include <algorithm>
#include <cstring>

namespace sovanta {

namespace {
constexpr uint64_t blockMask = RandomReader::blockSize - 1;
constexpr int blockShift = 20;
}  // namespace

RandomReader::RandomReader(DiskSourcePtr source, uint64_t startOffset)
    : src(std::move(source)),
      start(startOffset),
      extent_(src && startOffset < src->size ? src->size - startOffset : 0) {}

void RandomReader::load(uint64_t index) {
    if (index == blockIndex_) return;
    if (index == prevIndex_) {
        std::swap(block_, prevBlock_);
        std::swap(blockIndex_, prevIndex_);
        return;
    }
    prevBlock_ = std::move(block_);
    prevIndex_ = blockIndex_;
    // A block that starts at or past the end of the source is zeros without a read.
    bool inside = index <= (UINT64_MAX - start) / blockSize && start + index * blockSize < src->size;
    if (inside) {
        block_ = src->readReporting(start + index * blockSize, static_cast<int64_t>(blockSize), ReadMode::fast).data;
        if (block_.size() != blockSize) block_.resize(blockSize, 0);
    } else {
        block_.assign(blockSize, 0);
    }
    blockIndex_ = index;
}

void RandomReader::copy(uint64_t pos, size_t n, uint8_t* out) {
    size_t done = 0;
    while (done < n) {
        uint64_t p = pos + done;
        // Past the extent (or past the end of the position space) everything is zero.
        if (p < pos || p >= extent_) {
            std::memset(out + done, 0, n - done);
            return;
        }
        load(p >> blockShift);
        uint64_t within = p & blockMask;
        uint64_t piece = std::min<uint64_t>({blockSize - within, n - done, extent_ - p});
        std::memcpy(out + done, block_.data() + within, static_cast<size_t>(piece));
        done += static_cast<size_t>(piece);
    }
}

uint8_t RandomReader::u8(uint64_t pos) {
    if (pos >= extent_) return 0;
    load(pos >> blockShift);
    return block_[pos & blockMask];
}

Bytes RandomReader::bytes(uint64_t pos, int64_t n) {
    if (n < 1) return {};
    uint64_t count = static_cast<uint64_t>(n);
    if (pos < extent_ && (pos & blockMask) + count <= blockSize) {
        load(pos >> blockShift);
        if (count == blockSize) return block_;
        auto first = block_.begin() + static_cast<std::ptrdiff_t>(pos & blockMask);
        return Bytes(first, first + static_cast<std::ptrdiff_t>(count));
    }
    Bytes out(static_cast<size_t>(count), 0);
    copy(pos, out.size(), out.data());
    return out;
}

uint16_t RandomReader::u16be(uint64_t pos) {
    uint8_t b[2];
    copy(pos, 2, b);
    return static_cast<uint16_t>((b[0] << 8) | b[1]);
}
uint16_t RandomReader::u16le(uint64_t pos) {
    uint8_t b[2];
    copy(pos, 2, b);
    return static_cast<uint16_t>(b[0] | (b[1] << 8));
}
uint32_t RandomReader::u32be(uint64_t pos) {
    uint8_t b[4];
    copy(pos, 4, b);
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}
uint32_t RandomReader::u32le(uint64_t pos) {
    uint8_t b[4];
    copy(pos, 4, b);
    return uint32_t{b[0]} | (uint32_t{b[1]} << 8) | (uint32_t{b[2]} << 16) | (uint32_t{b[3]} << 24);
}
uint64_t RandomReader::u64be(uint64_t pos) {
    uint8_t b[8];
    copy(pos, 8, b);
    uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = (v << 8) | b[i];
    return v;
}
uint64_t RandomReader::u64le(uint64_t pos) {
    uint8_t b[8];
    copy(pos, 8, b);
    uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | b[i];
    return v;
}

std::optional<uint64_t> RandomReader::find(uint8_t byte, uint64_t from, uint64_t limit) {
    uint64_t bound = std::min(extent_, limit);
    uint64_t p = from;
    while (p < bound) {
        load(p >> blockShift);
        uint64_t within = p & blockMask;
        uint64_t end = std::min<uint64_t>(within + (bound - p), blockSize);
        const uint8_t* base = block_.data();
        if (auto hit = static_cast<const uint8_t*>(std::memchr(base + within, byte, static_cast<size_t>(end - within))))
            return p - within + static_cast<uint64_t>(hit - base);
        p = p - within + blockSize;
    }
    return std::nullopt;
}

bool RandomReader::matches(uint64_t pos, std::span<const uint8_t> pattern) {
    uint64_t n = pattern.size();
    if (n == 0) return true;
    if (pos < extent_ && n <= extent_ - pos && (pos & blockMask) + n <= blockSize) {
        load(pos >> blockShift);
        return std::memcmp(block_.data() + (pos & blockMask), pattern.data(), static_cast<size_t>(n)) == 0;
    }
    uint8_t small[64];
    Bytes large;
    uint8_t* buffer = small;
    if (n > sizeof small) {
        large.resize(static_cast<size_t>(n));
        buffer = large.data();
    }
    copy(pos, static_cast<size_t>(n), buffer);
    return std::memcmp(buffer, pattern.data(), static_cast<size_t>(n)) == 0;
}

std::optional<uint64_t> RandomReader::find(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit) {
    if (pattern.empty()) return std::nullopt;
    uint64_t c = from;
    while (true) {
        auto p = find(pattern[0], c, limit);
        if (!p) return std::nullopt;
        if (matches(*p, pattern)) return p;
        c = *p + 1;
    }
}

}  // namespace sovanta
