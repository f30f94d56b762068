// Cheap random access to the bytes of one carving candidate: positions are
// relative to the candidate's first byte, reads go to the source in fast mode
// one 1 MiB block at a time (blocks start on multiples of 1 MiB of the
// source), and the two most recently used blocks are kept so that a walk
// alternating between two neighbouring blocks reads nothing again.
// The readers of one deep sweep may share a SweepCache: blocks that lie inside
// the chunk the sweep holds in memory are used in place, the memory of the
// blocks read is handed from one reader to the next, and long searches for
// end markers remember what they have already searched.
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta {

// Memory for a large read buffer, contents undefined, backed by huge pages
// where the system offers them: a 4 MiB buffer otherwise costs a thousand
// page faults, which on some machines cost more than reading it full.
struct FreeDeleter {
    void operator()(uint8_t* p) const { std::free(p); }
};
using LargeBuffer = std::unique_ptr<uint8_t[], FreeDeleter>;
LargeBuffer makeLargeBuffer(size_t size);

// What the readers of one deep sweep share.
class SweepCache {
public:
    // The bytes the sweep holds in memory, from the given source offset; they
    // must stay unchanged until the next call (or clearWindow). The sweep only
    // moves forward, so what was searched before the window is forgotten.
    void setWindow(const uint8_t* data, uint64_t offset, uint64_t length);
    void clearWindow() { setWindow(nullptr, 0, 0); }
    // Bytes the sweep has already read beyond the window, unchanged until the
    // next setWindow (which forgets them): reads that lie wholly inside them
    // use them in place.
    void setAhead(const uint8_t* data, uint64_t offset, uint64_t length);
    // Memory for one reader's block (RandomReader::blockSize bytes, contents
    // undefined), and its return when the reader is done: a sweep asks for
    // thousands of blocks and keeps only a few at a time.
    std::unique_ptr<uint8_t[]> takeBlock();
    void giveBack(std::unique_ptr<uint8_t[]> block);
    // The window's copy of [offset, offset + length), or null when that is not
    // wholly inside it.
    const uint8_t* view(uint64_t offset, uint64_t length) const;
    // The copy of [offset, offset + length) that the window or the bytes
    // ahead of it hold wholly, or null.
    const uint8_t* inMemory(uint64_t offset, uint64_t length) const;
    // The window: its bytes (null when none), its source offset and length.
    const uint8_t* windowData() const { return windowData_; }
    uint64_t windowOffset() const { return windowOffset_; }
    uint64_t windowLength() const { return windowLength_; }
    // The absolute starts of the pattern that lie wholly in the window,
    // ascending; searched once per window and pattern.
    const std::vector<uint64_t>& windowHits(std::span<const uint8_t> pattern);

    // The first absolute position p, from <= p < bound, at which the pattern
    // starts on the source (its bytes past the end read as zeros). The stretch
    // searched is remembered per pattern, so a later search from a position
    // inside it reads only what lies beyond it.
    // Where one is known, around receives the bytes about the hit, so that a
    // finder checking the fields next to an end marker far ahead reads no
    // block for them.
    struct Nearby {
        static constexpr uint64_t before = 32, length = 96;
        uint64_t offset = UINT64_MAX;  // absolute offset of bytes[0]; UINT64_MAX: none
        std::array<uint8_t, length> bytes{};
    };
    std::optional<uint64_t> find(DiskSource& src, std::span<const uint8_t> pattern, uint64_t from, uint64_t bound,
                                 Nearby* around = nullptr);

private:
    struct Searched {
        uint64_t from = 0;            // every start in [from, to) has been looked at
        uint64_t to = 0;
        std::vector<uint64_t> hits;   // the starts found there, ascending
        uint64_t piece = 65536;       // how much the next read past the window covers
    };
    void forgetBefore(uint64_t offset);
    void extend(DiskSource& src, std::span<const uint8_t> pattern, Searched& searched);

    const uint8_t* windowData_ = nullptr;
    uint64_t windowOffset_ = 0;
    uint64_t windowLength_ = 0;
    const uint8_t* aheadData_ = nullptr;
    uint64_t aheadOffset_ = 0;
    uint64_t aheadLength_ = 0;
    std::map<Bytes, std::vector<uint64_t>> windowHits_;
    std::mutex lock_;
    std::map<Bytes, Searched> searched_;
    std::map<uint64_t, Nearby> nearby_;  // by hit, for at most maxNearby hits
    LargeBuffer scratch_;
    uint64_t scratchSize_ = 0;
    static constexpr size_t maxSpareBlocks = 4;
    std::vector<std::unique_ptr<uint8_t[]>> spareBlocks_;
};

class RandomReader {
public:
    static constexpr uint64_t blockSize = 1048576;
    static constexpr uint64_t none = UINT64_MAX;

    RandomReader(DiskSourcePtr src, uint64_t start, SweepCache* cache = nullptr);
    ~RandomReader();
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

    // Index on the source of the current and the previous block (none when empty); for tests.
    uint64_t blockIndex() const { return current_.index; }
    uint64_t prevIndex() const { return previous_.index; }

private:
    struct Slot {
        uint64_t index = none;
        const uint8_t* data = nullptr;  // blockSize bytes: storage's, or the sweep's window
        std::unique_ptr<uint8_t[]> storage;  // made without zero-filling: a read fills it
    };
    // Makes the block current; returns its bytes.
    const uint8_t* load(uint64_t index);
    // Copies n bytes at pos into out, zeros past the extent.
    void copy(uint64_t pos, size_t n, uint8_t* out);
    // The bytes at [pos, pos + n) from what the last shared search gave, or null.
    const uint8_t* nearby(uint64_t pos, uint64_t n) const;

    SweepCache* cache_;
    uint64_t extent_;
    SweepCache::Nearby nearby_;  // the bytes about the last shared search's hit
    Slot current_;
    Slot previous_;
};

}  // namespace sovanta
