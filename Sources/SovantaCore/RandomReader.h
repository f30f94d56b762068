// Cheap random access to the bytes of one carving candidate: positions are
// relative to the candidate's first byte, reads go to the source in fast mode
// one 1 MiB block at a time, and the two most recently used blocks are kept so
// that a walk alternating between two neighbouring blocks reads nothing again.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

class RandomReader {
public:
    static constexpr uint64_t blockSize = 1048576;
    static constexpr uint64_t none = UINT64_MAX;

    RandomReader(DiskSourcePtr src, uint64_t start);
    RandomReader(const RandomReader&) = delete;
    RandomReader& operator=(const RandomReader&) = delete;

    const DiskSourcePtr src;
    const uint64_t start;

    // Bytes from the start to the end of the source; positions at or past it
    // read as zeros and never reach the source.
    uint64_t extent() const { return extent_; }

    uint8_t u8(uint64_t pos);
    // Exactly n bytes (none when n < 1); bytes past the extent are zeros.
    Bytes bytes(uint64_t pos, int64_t n);
    uint16_t u16be(uint64_t pos);
    uint16_t u16le(uint64_t pos);
    uint32_t u32be(uint64_t pos);
    uint32_t u32le(uint64_t pos);
    uint64_t u64be(uint64_t pos);
    uint64_t u64le(uint64_t pos);

    // The first p with from <= p < min(limit, extent) holding the byte.
    std::optional<uint64_t> find(uint8_t byte, uint64_t from, uint64_t limit);
    // The first p in [from, min(limit, extent)) at which the whole pattern
    // starts; only its first byte must lie before the bound.
    std::optional<uint64_t> find(std::span<const uint8_t> pattern, uint64_t from, uint64_t limit);
    std::optional<uint64_t> find(std::string_view pattern, uint64_t from, uint64_t limit) {
        return find(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pattern.data()), pattern.size()),
                    from, limit);
    }
    // Whether the pattern's bytes stand at pos (bytes past the extent count as zeros).
    bool matches(uint64_t pos, std::span<const uint8_t> pattern);
    bool matches(uint64_t pos, std::string_view pattern) {
        return matches(pos, std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(pattern.data()),
                                                     pattern.size()));
    }

    // Index of the current and the previous block (none when empty); for tests.
    uint64_t blockIndex() const { return blockIndex_; }
    uint64_t prevIndex() const { return prevIndex_; }

private:
    void load(uint64_t index);
    // Copies n bytes at pos into out, zeros past the extent.
    void copy(uint64_t pos, size_t n, uint8_t* out);

    uint64_t extent_;
    uint64_t blockIndex_ = none;
    Bytes block_;
    uint64_t prevIndex_ = none;
    Bytes prevBlock_;
};

}  // namespace sovanta
