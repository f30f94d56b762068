// The deep sweep: one read of the whole source in 4 MiB chunks, every 512-byte
// sector tested in place for lost structures and offered to the carver.
#include <array>
#include <chrono>
#include <cstring>

#include "SovantaCore/APFS.h"
#include "SovantaCore/Binary.h"
#include "SovantaCore/FAT.h"
#include "SovantaCore/NTFS.h"
#include "SovantaCore/Partitions.h"
#include "SovantaCore/Scanner.h"

namespace sovanta {

namespace {
constexpr uint64_t chunkLength = 4194304;
constexpr uint64_t sector = 512;
constexpr uint64_t readAhead = 2 * chunkLength;

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
    uint64_t resume = 0;
    const auto start = Clock::now();
    auto lastUpdate = Clock::time_point::min();
    auto windowStart = start;
    uint64_t windowPosition = 0;
    double rate = 0;
    const uint64_t total = src_->size;
    uint64_t position = 0;
    // One buffer for the whole sweep: each chunk is read straight into it.
    Bytes buffer(chunkLength, 0);

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

    while (position < total) {
        // A source that has gone away (closed, or a device unplugged) reads
        // as zeros only: the sweep ends there, unfinished, instead of
        // claiming the rest as swept.
        if (reporter.isCancelled() || src_->hasVanished()) break;
        uint64_t length = std::min(total - position, chunkLength);
        uint64_t raised = roundUp(length, sector);
        src_->readInto(position, static_cast<int64_t>(raised), buffer.data(), ReadMode::fast);
        if (src_->hasVanished()) break;
        // The disk reads the next chunks while this one is tested and carved.
        src_->willNeed(position + length, readAhead);
        ByteSpan chunk(buffer.data(), raised);
        carver.setWindow(buffer.data(), position, length);
        for (uint64_t p = 0; p < raised; p += sector) {
            uint64_t absolute = position + p;
            if (absolute >= total) break;
            if (options_.findVolumes) scanStructures(chunk, p, absolute, result);
            if (options_.carve && absolute >= resume && Carver::mayStartFile(buffer.data() + p)) {
                size_t viewEnd = std::min<size_t>(p + 64, raised);
                if (viewEnd - p >= 32) {
                    if (auto found = carver.check(chunk.subspan(p, viewEnd - p), absolute)) {
                        ++filesFound;
                        ++byExtension[found->ext];
                        if (found->exact) resume = absolute + roundUp(found->size, sector);
                        result.carved.push_back(std::move(*found));
                    }
                }
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
    if (onUpdate) onUpdate(stats(Clock::now()));
    result.completed = position >= total;
    return result;
}

}  // namespace sovanta
