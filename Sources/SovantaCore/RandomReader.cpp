#include "SovantaCore/RandomReader.h"

#include <algorithm>
#include <cstring>
#include <new>

#include <sys/mman.h>

#if defined(__x86_64__)
#include <immintrin.h>
#elif defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace sovanta {

LargeBuffer makeLargeBuffer(size_t size) {
    constexpr size_t hugePage = 2 << 20;
    const size_t rounded = (std::max<size_t>(size, 1) + hugePage - 1) / hugePage * hugePage;
    void* memory = std::aligned_alloc(hugePage, rounded);
    if (!memory) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
    ::madvise(memory, rounded, MADV_HUGEPAGE);
#endif
    return LargeBuffer(static_cast<uint8_t*>(memory));
}

namespace {
constexpr uint64_t blockMask = RandomReader::blockSize - 1;
constexpr int blockShift = 20;
}  // namespace

RandomReader::RandomReader(DiskSourcePtr source, uint64_t startOffset, SweepCache* cache)
    : src(std::move(source)),
      start(startOffset),
      cache_(cache),
      extent_(src && startOffset < src->size ? src->size - startOffset : 0) {}

RandomReader::~RandomReader() {
    if (!cache_) return;
    cache_->giveBack(std::move(current_.storage));
    cache_->giveBack(std::move(previous_.storage));
}

const uint8_t* RandomReader::load(uint64_t index) {
    if (index == current_.index) return current_.data;
    std::swap(current_, previous_);
    if (index == current_.index) return current_.data;
    // The older block's storage is reused for the new one.
    current_.index = index;
    const uint64_t at = index * blockSize;
    // A block that lies wholly inside what the sweep holds is used in place.
    if (cache_ && blockSize <= src->size - at) {
        if (const uint8_t* shared = cache_->inMemory(at, blockSize)) {
            current_.data = shared;
            return shared;
        }
    }
    if (!current_.storage) current_.storage = cache_ ? cache_->takeBlock() : std::make_unique_for_overwrite<uint8_t[]>(blockSize);
    uint8_t* storage = current_.storage.get();
    current_.data = storage;
    // Blocks start on multiples of their size, so a read is always whole
    // sectors; bytes past the end of the source come back as zeros.
    src->readInto(at, static_cast<int64_t>(blockSize), storage, ReadMode::fast);
    return storage;
}

const uint8_t* RandomReader::nearby(uint64_t pos, uint64_t n) const {
    if (nearby_.offset == UINT64_MAX || pos >= extent_ || n > extent_ - pos) return nullptr;
    uint64_t at = start + pos;
    if (at < nearby_.offset || at - nearby_.offset > SweepCache::Nearby::length ||
        n > SweepCache::Nearby::length - (at - nearby_.offset))
        return nullptr;
    return nearby_.bytes.data() + (at - nearby_.offset);
}

void RandomReader::copy(uint64_t pos, size_t n, uint8_t* out) {
    if (const uint8_t* known = nearby(pos, n)) {
        std::memcpy(out, known, n);
        return;
    }
    size_t done = 0;
    while (done < n) {
        uint64_t p = pos + done;
        // Past the extent (or past the end of the position space) everything is zero.
        if (p < pos || p >= extent_) {
            std::memset(out + done, 0, n - done);
            return;
        }
        const uint64_t a = start + p;
        const uint8_t* block = load(a >> blockShift);
        uint64_t within = a & blockMask;
        uint64_t piece = std::min<uint64_t>({blockSize - within, n - done, extent_ - p});
        std::memcpy(out + done, block + within, static_cast<size_t>(piece));
        done += static_cast<size_t>(piece);
    }
}

uint8_t RandomReader::u8(uint64_t pos) {
    if (pos >= extent_) return 0;
    if (const uint8_t* known = nearby(pos, 1)) return *known;
    const uint64_t a = start + pos;
    return load(a >> blockShift)[a & blockMask];
}

Bytes RandomReader::bytes(uint64_t pos, int64_t n) {
    if (n < 1) return {};
    uint64_t count = static_cast<uint64_t>(n);
    if (const uint8_t* known = nearby(pos, count)) return Bytes(known, known + count);
    if (pos < extent_ && ((start + pos) & blockMask) + count <= blockSize) {
        const uint64_t a = start + pos;
        const uint8_t* first = load(a >> blockShift) + (a & blockMask);
        return Bytes(first, first + count);
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
        const uint64_t a = start + p;
        const uint8_t* base = load(a >> blockShift);
        uint64_t within = a & blockMask;
        uint64_t end = std::min<uint64_t>(within + (bound - p), blockSize);
        if (auto hit = static_cast<const uint8_t*>(std::memchr(base + within, byte, static_cast<size_t>(end - within))))
            return p + (static_cast<uint64_t>(hit - base) - within);
        p += blockSize - within;
    }
    return std::nullopt;
}

bool RandomReader::matches(uint64_t pos, std::span<const uint8_t> pattern) {
    uint64_t n = pattern.size();
    if (n == 0) return true;
    if (const uint8_t* known = nearby(pos, n)) return std::memcmp(known, pattern.data(), static_cast<size_t>(n)) == 0;
    if (pos < extent_ && n <= extent_ - pos && ((start + pos) & blockMask) + n <= blockSize) {
        const uint64_t a = start + pos;
        return std::memcmp(load(a >> blockShift) + (a & blockMask), pattern.data(), static_cast<size_t>(n)) == 0;
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
    if (cache_) {
        // Searched on the source through the sweep's shared record of what
        // neighbouring candidates have searched already.
        uint64_t bound = std::min(extent_, limit);
        if (from >= bound) return std::nullopt;
        auto hit = cache_->find(*src, pattern, start + from, start + bound, &nearby_);
        if (!hit) return std::nullopt;
        return *hit - start;
    }
    uint64_t c = from;
    while (true) {
        auto p = find(pattern[0], c, limit);
        if (!p) return std::nullopt;
        if (matches(*p, pattern)) return p;
        c = *p + 1;
    }
}

}  // namespace sovanta

// MARK: SweepCache

namespace sovanta {

namespace {

// Every start i < count at which pattern stands in data (which holds count +
// pattern.size() - 1 bytes). The first and last bytes of the pattern are
// compared many positions at a time; only where both agree is the rest.
template <typename Emit>
void findAllPortable(const uint8_t* data, size_t count, std::span<const uint8_t> pattern, Emit& emit, size_t i) {
    const size_t m = pattern.size();
    for (; i < count; ++i)
        if (data[i] == pattern[0] && std::memcmp(data + i, pattern.data(), m) == 0) emit(i);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
template <typename Emit>
__attribute__((target("avx2"))) void findAllWide(const uint8_t* data, size_t count, std::span<const uint8_t> pattern,
                                                 Emit& emit) {
    const size_t m = pattern.size();
    const __m256i first = _mm256_set1_epi8(static_cast<char>(pattern[0]));
    const __m256i last = _mm256_set1_epi8(static_cast<char>(pattern[m - 1]));
    size_t i = 0;
    for (; i + 64 <= count; i += 64) {
        const uint8_t* a = data + i;
        const uint8_t* b = data + i + m - 1;
        __m256i a0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a));
        __m256i a1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + 32));
        __m256i b0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
        __m256i b1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32));
        uint64_t mask =
            static_cast<uint32_t>(_mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a0, first), _mm256_cmpeq_epi8(b0, last)))) |
            static_cast<uint64_t>(static_cast<uint32_t>(
                _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a1, first), _mm256_cmpeq_epi8(b1, last)))))
                << 32;
        while (mask != 0) {
            size_t at = i + static_cast<size_t>(__builtin_ctzll(mask));
            if (std::memcmp(data + at + 1, pattern.data() + 1, m - 2) == 0) emit(at);
            mask &= mask - 1;
        }
    }
    findAllPortable(data, count, pattern, emit, i);
}
#endif

template <typename Emit>
void findAll(const uint8_t* data, size_t count, std::span<const uint8_t> pattern, Emit&& emit) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    static const bool wide = __builtin_cpu_supports("avx2");
    if (wide && pattern.size() >= 2) {
        findAllWide(data, count, pattern, emit);
        return;
    }
#endif
    size_t i = 0;
#if defined(__SSE2__)
    if (pattern.size() >= 2) {
        const size_t m = pattern.size();
        const __m128i first = _mm_set1_epi8(static_cast<char>(pattern[0]));
        const __m128i last = _mm_set1_epi8(static_cast<char>(pattern[m - 1]));
        for (; i + 16 <= count; i += 16) {
            __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + m - 1));
            uint32_t mask =
                static_cast<uint32_t>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, first), _mm_cmpeq_epi8(b, last))));
            while (mask != 0) {
                size_t at = i + static_cast<size_t>(__builtin_ctz(mask));
                if (std::memcmp(data + at + 1, pattern.data() + 1, m - 2) == 0) emit(at);
                mask &= mask - 1;
            }
        }
    }
#endif
    findAllPortable(data, count, pattern, emit, i);
}

constexpr uint64_t searchPiece = 4194304;
constexpr size_t maxHits = 1 << 20;
constexpr size_t maxNearby = 1 << 16;

}  // namespace

void SweepCache::setWindow(const uint8_t* data, uint64_t offset, uint64_t length) {
    windowData_ = data;
    windowOffset_ = offset;
    windowLength_ = data ? length : 0;
    windowHits_.clear();
    aheadData_ = nullptr;
    aheadOffset_ = aheadLength_ = 0;
    if (data) forgetBefore(offset);
}

void SweepCache::setAhead(const uint8_t* data, uint64_t offset, uint64_t length) {
    aheadData_ = data;
    aheadOffset_ = offset;
    aheadLength_ = data ? length : 0;
}

const std::vector<uint64_t>& SweepCache::windowHits(std::span<const uint8_t> pattern) {
    auto [entry, added] = windowHits_.try_emplace(Bytes(pattern.begin(), pattern.end()));
    std::vector<uint64_t>& hits = entry->second;
    if (added && windowData_ && !pattern.empty() && windowLength_ >= pattern.size())
        findAll(windowData_, static_cast<size_t>(windowLength_ - (pattern.size() - 1)), pattern,
                [&](size_t at) { hits.push_back(windowOffset_ + at); });
    return hits;
}

std::unique_ptr<uint8_t[]> SweepCache::takeBlock() {
    std::lock_guard guard(lock_);
    if (spareBlocks_.empty()) return std::make_unique_for_overwrite<uint8_t[]>(RandomReader::blockSize);
    auto block = std::move(spareBlocks_.back());
    spareBlocks_.pop_back();
    return block;
}

void SweepCache::giveBack(std::unique_ptr<uint8_t[]> block) {
    if (!block) return;
    std::lock_guard guard(lock_);
    if (spareBlocks_.size() < maxSpareBlocks) spareBlocks_.push_back(std::move(block));
}

namespace {
const uint8_t* inside(const uint8_t* data, uint64_t start, uint64_t size, uint64_t offset, uint64_t length) {
    if (!data || offset < start) return nullptr;
    uint64_t within = offset - start;
    if (within > size || length > size - within) return nullptr;
    return data + within;
}
}  // namespace

const uint8_t* SweepCache::view(uint64_t offset, uint64_t length) const {
    return inside(windowData_, windowOffset_, windowLength_, offset, length);
}

const uint8_t* SweepCache::inMemory(uint64_t offset, uint64_t length) const {
    if (const uint8_t* held = view(offset, length)) return held;
    return inside(aheadData_, aheadOffset_, aheadLength_, offset, length);
}

std::optional<uint64_t> SweepCache::find(DiskSource& src, std::span<const uint8_t> pattern, uint64_t from,
                                         uint64_t bound, Nearby* around) {
    if (around) around->offset = UINT64_MAX;
    if (pattern.empty() || from >= bound) return std::nullopt;
    std::lock_guard guard(lock_);
    Searched& s = searched_[Bytes(pattern.begin(), pattern.end())];
    if (from < s.from || from > s.to) s = Searched{from, from, {}};
    while (true) {
        auto hit = std::lower_bound(s.hits.begin(), s.hits.end(), from);
        if (hit != s.hits.end()) {
            if (*hit >= bound) return std::nullopt;
            if (around) {
                auto known = nearby_.find(*hit);
                if (known != nearby_.end()) *around = known->second;
            }
            return *hit;
        }
        // Like a reader's own search, no start at or past the end of the source.
        if (s.to >= std::min(bound, src.size)) return std::nullopt;
        extend(src, pattern, s);
    }
}

void SweepCache::forgetBefore(uint64_t offset) {
    std::lock_guard guard(lock_);
    nearby_.erase(nearby_.begin(), nearby_.lower_bound(offset));
    for (auto& [pattern, s] : searched_) {
        if (offset <= s.from) continue;
        if (offset > s.to) {
            s = Searched{};
            continue;
        }
        s.hits.erase(s.hits.begin(), std::lower_bound(s.hits.begin(), s.hits.end(), offset));
        s.from = offset;
    }
}

void SweepCache::extend(DiskSource& src, std::span<const uint8_t> pattern, Searched& s) {
    // One piece more: the starts in [s.to, end), with the bytes the last of
    // them needs. Inside the sweep's window they are searched in place; past
    // it a piece is read, beginning on a sector boundary, small at first (the
    // end marker of a file is mostly near) and twice as long each time after.
    const uint64_t m = pattern.size();
    const uint8_t* data;
    uint64_t dataOffset, dataLength, end;
    const uint64_t windowEnd = windowOffset_ + windowLength_;
    if (windowData_ && s.to >= windowOffset_ && windowLength_ >= m && s.to <= windowEnd - m) {
        data = windowData_;
        dataOffset = windowOffset_;
        dataLength = windowLength_;
        end = windowEnd - (m - 1);
    } else {
        const uint64_t sectorSize = static_cast<uint64_t>(src.sectorSize);
        end = s.to + std::min(s.piece, src.size - s.to);
        s.piece = std::min(2 * s.piece, searchPiece);
        uint64_t readFrom = s.to / sectorSize * sectorSize;
        uint64_t need = end - readFrom + m - 1;
        uint64_t length = (need + sectorSize - 1) / sectorSize * sectorSize;
        if (const uint8_t* held = inMemory(readFrom, length)) {
            data = held;
        } else {
            if (scratchSize_ < length) {
                scratchSize_ = std::max<uint64_t>(length, searchPiece + sectorSize + 64);
                scratch_ = makeLargeBuffer(static_cast<size_t>(scratchSize_));
            }
            src.readInto(readFrom, static_cast<int64_t>(length), scratch_.get(), ReadMode::fast);
            data = scratch_.get();
        }
        dataOffset = readFrom;
        dataLength = length;
    }
    const uint64_t base = s.to;
    findAll(data + (base - dataOffset), end - base, pattern, [&](size_t at) {
        const uint64_t hit = base + at;
        s.hits.push_back(hit);
        // The bytes about the hit, where the data at hand holds them all.
        if (hit - dataOffset < Nearby::before || hit - dataOffset - Nearby::before + Nearby::length > dataLength ||
            nearby_.size() >= maxNearby)
            return;
        Nearby& n = nearby_[hit];
        n.offset = hit - Nearby::before;
        std::memcpy(n.bytes.data(), data + (n.offset - dataOffset), Nearby::length);
    });
    s.to = end;
    // A stretch dense with the pattern keeps only its newer half.
    if (s.hits.size() > maxHits) {
        auto middle = s.hits.begin() + static_cast<std::ptrdiff_t>(s.hits.size() / 2);
        s.from = *middle;
        s.hits.erase(s.hits.begin(), middle);
    }
}

}  // namespace sovanta
