// The deep sweep: one read of the whole source in 4 MiB chunks, every 512-byte
// sector tested in place for lost structures and offered to the carver.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <mutex>
#include <thread>
#include <variant>

#include "SovantaCore/APFS.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/NTFS.h"
#include "SovantaCore/Partitions.h"
#include "SovantaCore/RandomReader.h"
#include "SovantaCore/Scanner.h"

namespace sovanta {

namespace {
constexpr uint64_t chunkLength = 4194304;
constexpr uint64_t sector = 512;

uint64_t roundUp(uint64_t value, uint64_t unit) { return (value + unit - 1) / unit * unit; }

uint32_t word(const uint8_t* s) {
    uint32_t v;
    std::memcpy(&v, s, 4);
    return v;
}
constexpr uint32_t word(const char (&text)[5]) {
    return uint32_t{static_cast<uint8_t>(text[0])} | uint32_t{static_cast<uint8_t>(text[1])} << 8 |
           uint32_t{static_cast<uint8_t>(text[2])} << 16 | uint32_t{static_cast<uint8_t>(text[3])} << 24;
}

// Whether the sector could hold any of the structures the sweep looks for:
// a few bytes each test needs, combined without branches. The first cache
// line of the sector settles it for the great majority of sectors (data,
// zeros) with one well-predicted branch; the few left also need the next line
// (a folder's third entry) or the last (the boot sector signature).
bool mayHoldStructure(const uint8_t* s, uint64_t a) {
    static constexpr std::array<bool, 256> nameStart = [] {
        std::array<bool, 256> t{};
        for (size_t c = 0; c < 256; ++c) t[c] = c == 0x05 || (c >= 0x21 && c <= 0x7E) || c >= 0x80;
        return t;
    }();
    const uint8_t attributes = s[11];
    bool apfsLeaf = (a % 4096 == 0) & (s[28] == 14);
    // A folder sector holds at least three entries before its end (each with
    // a first byte and attributes that fit), the first of them a long-name
    // part or a short name.
    bool folderStart = (attributes <= 0x3F) & (s[32] != 0) & (s[43] <= 0x3F) &
                       (((attributes == 0x0F) & (s[12] == 0)) | (nameStart[s[0]] & (s[1] >= 0x20) & (s[2] >= 0x20)));
    bool record = word(s) == word("FILE");
    bool namedBoot = (word(s + 3) == word("NTFS")) | (word(s + 3) == word("EXFA"));
    bool jump = (s[0] == 0xE8) | (s[0] == 0xE9) | (s[0] == 0xEB);
    bool hfs = (s[0] == 'H') & ((s[1] == '+') | (s[1] == 'X')) & (s[2] == 0);
    bool container = (word(s + 32) == word("NXSB")) & (s[24] == 1);
    if (!(apfsLeaf | folderStart | record | namedBoot | jump | hfs | container)) return false;
    bool folder = folderStart & (s[64] != 0) & (s[75] <= 0x3F);
    bool fatBoot = jump & (s[510] == 0x55) & (s[511] == 0xAA);
    return apfsLeaf | folder | record | namedBoot | fatBoot | hfs | container;
}

// What the sweep carves. A ZIP candidate whose end record lies beyond the
// chunk in hand is held until the sweep has read that far, so that nothing is
// read twice. The finds after a held candidate are tentative: they are what
// the sweep gives when the held one gives no file, and those that a file it
// gives covers are dropped. The caller sees the finds in the order and with
// the sizes that searching at once would give.
class Carving {
public:
    Carving(const Carver& carver, DeepScanResult& result, std::map<std::string, int64_t>& byExtension,
            int64_t& filesFound)
        : carver_(carver), result_(result), byExtension_(byExtension), filesFound_(filesFound) {}

    // The first offset the carver may be asked about.
    uint64_t resume() const { return resume_; }

    // The sector at absolute offset a, in the chunk the carver's window holds.
    void offer(ByteSpan view, uint64_t a) {
        std::optional<HeldZip> held;
        if (auto found = carver_.check(view, a, held))
            add(std::move(*found));
        else if (held)
            tentative_.emplace_back(*held);
    }

    // Before the sectors of a new window: the held candidates search it.
    void searchWindow() {
        for (size_t i = 0; i < tentative_.size();) {
            auto* held = std::get_if<HeldZip>(&tentative_[i]);
            if (!held) {
                ++i;
                continue;
            }
            HeldOutcome outcome = carver_.searchHeld(*held);
            if (!outcome.settled) {
                ++i;
                continue;
            }
            i = settle(i, std::move(outcome.file));
        }
        commitSettled();
    }

    // The sweep ends: what is still held (after a sweep that stopped early)
    // is searched for by reading ahead, and every find is kept.
    void finish() {
        for (size_t i = 0; i < tentative_.size();) {
            if (auto* held = std::get_if<HeldZip>(&tentative_[i]))
                i = settle(i, carver_.settleHeld(*held));
            else
                ++i;
        }
        commitSettled();
    }

private:
    using Entry = std::variant<CarvedFile, HeldZip>;

    static uint64_t offsetOf(const Entry& e) {
        if (auto* file = std::get_if<CarvedFile>(&e)) return file->offset;
        return std::get<HeldZip>(e).offset;
    }
    static uint64_t endOf(const CarvedFile& file) { return file.offset + roundUp(file.size, sector); }

    void count(const CarvedFile& file, int64_t by) {
        filesFound_ += by;
        auto& n = byExtension_[file.ext];
        n += by;
        if (n == 0) byExtension_.erase(file.ext);
    }

    void add(CarvedFile file) {
        count(file, 1);
        if (file.exact) resume_ = endOf(file);
        if (tentative_.empty())
            result_.carved.push_back(std::move(file));
        else
            tentative_.emplace_back(std::move(file));
    }

    // The held candidate at i gave file (or none); returns the index of the
    // entry to look at next. A held candidate settles only once the sweep
    // has passed the start of its end record (or by reading ahead when the
    // sweep stops early), so a file it gives ends beyond everything offered
    // so far: the tentative finds it covers are dropped, and the carver is
    // next asked at its end, as if the file had been known at once.
    size_t settle(size_t i, std::optional<CarvedFile> file) {
        if (!file) {
            tentative_.erase(tentative_.begin() + static_cast<std::ptrdiff_t>(i));
            return i;
        }
        count(*file, 1);
        const bool exact = file->exact;
        const uint64_t covered = endOf(*file);
        tentative_[i] = std::move(*file);
        if (!exact) return i + 1;
        auto first = tentative_.begin() + static_cast<std::ptrdiff_t>(i + 1);
        auto last = first;
        for (; last != tentative_.end() && offsetOf(*last) < covered; ++last)
            if (auto* dropped = std::get_if<CarvedFile>(&*last)) count(*dropped, -1);
        tentative_.erase(first, last);
        if (i + 1 == tentative_.size()) resume_ = covered;
        return i + 1;
    }

    // Finds before the first held candidate are final.
    void commitSettled() {
        while (!tentative_.empty() && std::holds_alternative<CarvedFile>(tentative_.front())) {
            result_.carved.push_back(std::move(std::get<CarvedFile>(tentative_.front())));
            tentative_.pop_front();
        }
    }

    const Carver& carver_;
    DeepScanResult& result_;
    std::map<std::string, int64_t>& byExtension_;
    int64_t& filesFound_;
    std::deque<Entry> tentative_;  // from the first held candidate on, in offset order
    uint64_t resume_ = 0;
};

// Reads the source's chunks ahead of the sweep, on a thread of its own: the
// disk (or the page cache) delivers the chunks to come while the sweep tests
// and carves this one, so the sweep takes as long as the slower of the two,
// not their sum. The sweep may also look at the chunk after the one it holds
// (the carver finds the ends of files there without reading them again), so
// three buffers take turns. Reading stops at the end, on cancellation, when
// the source vanishes, and when the reader is destroyed.
class ChunkReader {
public:
    struct Chunk {
        uint8_t* data = nullptr;
        uint64_t position = 0;
        uint64_t length = 0;  // the bytes of the source; the buffer holds them rounded up to a sector
    };

    ChunkReader(DiskSource& source, const WorkProgress& reporter) : source_(source), reporter_(reporter) {
        for (auto& buffer : buffers_) buffer = makeLargeBuffer(chunkLength);
        thread_ = std::thread([this] { read(); });
    }
    ~ChunkReader() {
        {
            std::lock_guard guard(lock_);
            stopping_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    ChunkReader(const ChunkReader&) = delete;
    ChunkReader& operator=(const ChunkReader&) = delete;

    // The next chunk in order, valid until the call after next; none once
    // reading has ended. The chunk before the one taken last is handed back.
    // A failure of the reading thread is thrown here.
    std::optional<Chunk> next() {
        auto chunk = await(taken_);
        if (!chunk) return std::nullopt;
        {
            std::lock_guard guard(lock_);
            ++taken_;
        }
        changed_.notify_all();
        return chunk;
    }
    // The chunk after the one taken last, once it is read, without taking it;
    // none at the end.
    std::optional<Chunk> peek() { return await(taken_); }

private:
    static constexpr size_t slots = 3;

    std::optional<Chunk> await(uint64_t index) {
        std::unique_lock guard(lock_);
        changed_.wait(guard, [&] { return produced_ > index || ended_; });
        if (failure_) std::rethrow_exception(failure_);
        if (produced_ <= index) return std::nullopt;
        return chunks_[index % slots];
    }

    void read() {
        const uint64_t total = source_.size;
        uint64_t position = 0;
        try {
            for (uint64_t index = 0; position < total; ++index) {
                {
                    // While the sweep holds chunk taken - 1 it may look at
                    // chunk taken; the buffer of any earlier one is free.
                    std::unique_lock guard(lock_);
                    changed_.wait(guard, [&] { return stopping_ || index <= taken_ + 1; });
                    if (stopping_) break;
                }
                // A source that has gone away (closed, or a device unplugged)
                // reads as zeros only: reading ends there.
                if (reporter_.isCancelled() || source_.hasVanished()) break;
                const uint64_t length = std::min(total - position, chunkLength);
                uint8_t* data = buffers_[index % slots].get();
                source_.readInto(position, static_cast<int64_t>(roundUp(length, sector)), data, ReadMode::fast);
                if (source_.hasVanished()) break;
                {
                    std::lock_guard guard(lock_);
                    chunks_[index % slots] = {data, position, length};
                    produced_ = index + 1;
                }
                changed_.notify_all();
                position += length;
            }
        } catch (...) {
            std::lock_guard guard(lock_);
            failure_ = std::current_exception();
        }
        {
            std::lock_guard guard(lock_);
            ended_ = true;
        }
        changed_.notify_all();
    }

    DiskSource& source_;
    const WorkProgress& reporter_;
    std::array<LargeBuffer, slots> buffers_;
    std::array<Chunk, slots> chunks_{};
    std::mutex lock_;
    std::condition_variable changed_;
    uint64_t produced_ = 0;  // chunks read so far
    uint64_t taken_ = 0;     // chunks handed to the sweep so far
    bool stopping_ = false;
    bool ended_ = false;
    std::exception_ptr failure_;
    std::thread thread_;
};

}  // namespace

void DeepScanner::scanStructures(ByteSpan b, size_t p, uint64_t a, DeepScanResult& result) {
    const uint8_t* s = b.data() + p;
    if (!mayHoldStructure(s, a)) return;
    // APFS file-system tree leaf: 4096-aligned block whose subtype is the fs tree.
    if (a % 4096 == 0 && p + 28 < b.size() && s[28] == 14 &&
        APFSParser::looksLikeFSTreeLeaf(b, static_cast<int64_t>(p), 4096)) {
        result.apfsLeafNodes.push_back(a);
        return;
    }
    if (FATParser::looksLikeDirectorySector(b, p)) {
        result.fatDirSectors.push_back(a);
        return;
    }
    if (s[0] == 'F' && s[1] == 'I' && s[2] == 'L' && s[3] == 'E') {
        Bytes header(s, s + 48);
        if (NTFSParser::looksLikeRecord(header, 0)) result.mftRecords.push_back(a);
        return;
    }
    bool bootCandidate = (s[510] == 0x55 && s[511] == 0xAA) || std::memcmp(s + 3, "NTFS", 4) == 0 ||
                         std::memcmp(s + 3, "EXFA", 4) == 0;
    if (bootCandidate) {
        Bytes copy(s, s + 512);
        if (auto type = FSProbe::detectBootSector(copy, 0)) {
            result.boots.push_back({a, *type, std::move(copy)});
            return;
        }
    }
    if (s[0] == 'H' && (s[1] == '+' || s[1] == 'X') && s[2] == 0) {
        Bytes copy(s, s + 64);
        if (FSProbe::isHFSPlusHeader(copy, 0) && a >= 1024) result.hfsHeaders.push_back(a - 1024);
        return;
    }
    if (std::memcmp(s + 32, "NXSB", 4) == 0 && s[24] == 1) result.nxsb.push_back(a);
}

DeepScanResult DeepScanner::run(WorkProgress& reporter, const std::function<void(const DeepScanStats&)>& onUpdate) {
    using Clock = std::chrono::steady_clock;
    Carver carver(src_, options_.categories);
    DeepScanResult result;
    std::map<std::string, int64_t> byExtension;
    int64_t filesFound = 0;
    Carving carving(carver, result, byExtension, filesFound);
    const auto start = Clock::now();
    auto lastUpdate = Clock::time_point::min();
    auto windowStart = start;
    uint64_t windowPosition = 0;
    double rate = 0;
    const uint64_t total = src_->size;
    uint64_t position = 0;
    auto stats = [&](Clock::time_point now) {
        DeepScanStats st;
        st.position = position;
        st.total = total;
        st.filesFound = filesFound;
        st.bootSectors = static_cast<int64_t>(result.boots.size() + result.hfsHeaders.size() + result.nxsb.size());
        st.mftRecords = static_cast<int64_t>(result.mftRecords.size());
        st.rate = rate;
        // Counted when the statistics are made, so the last ones hold every
        // failed read of the sweep, also those after the last timed update.
        st.badSectors = src_->badSectorCount() + src_->readErrorCount();
        st.elapsed = std::chrono::duration<double>(now - start).count();
        st.byExtension = byExtension;
        return st;
    };

    ChunkReader reader(*src_, reporter);
    while (position < total) {
        // The reader stops at a source that has vanished; what it read before
        // is swept.
        if (reporter.isCancelled()) break;
        auto next = reader.next();
        if (!next) break;
        uint8_t* data = next->data;
        const uint64_t length = next->length;
        const uint64_t raised = roundUp(length, sector);
        ByteSpan chunk(data, raised);
        carver.setWindow(data, position, length);
        if (options_.carve) {
            if (auto ahead = reader.peek()) carver.setAhead(ahead->data, ahead->position, ahead->length);
            carving.searchWindow();
        }
        for (uint64_t p = 0; p < raised; p += sector) {
            uint64_t absolute = position + p;
            if (absolute >= total) break;
            if (options_.findVolumes) scanStructures(chunk, p, absolute, result);
            if (options_.carve && absolute >= carving.resume() && Carver::mayStartFile(data + p)) {
                size_t viewEnd = std::min<size_t>(p + 64, raised);
                if (viewEnd - p >= 32) carving.offer(chunk.subspan(p, viewEnd - p), absolute);
            }
        }
        position += length;
        result.scannedUpTo = position;

        auto now = Clock::now();
        if (lastUpdate == Clock::time_point::min() || now - lastUpdate > std::chrono::milliseconds(300)) {
            lastUpdate = now;
            double window = std::chrono::duration<double>(now - windowStart).count();
            if (window > 0.9) {
                rate = static_cast<double>(position - windowPosition) / window;
                windowStart = now;
                windowPosition = position;
            }
            if (onUpdate) onUpdate(stats(now));
        }
    }
    carving.finish();
    carver.setWindow(nullptr, 0, 0);
    if (onUpdate) onUpdate(stats(Clock::now()));
    result.completed = position >= total;
    return result;
}

}  // namespace sovanta
