#include "SovantaCore/DiskSource.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sovanta {

// MARK: Simulated damage

namespace {

// A whole decimal number of at most 20 digits that fits in 64 bits; no signs, no blanks.
std::optional<uint64_t> parseDecimal(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

// The pieces between separators, empty ones dropped.
std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == separator) {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

}  // namespace

std::vector<ByteRange> parseSimulatedBadRanges(const std::string& value) {
    std::vector<ByteRange> ranges;
    for (auto& piece : split(value, ',')) {
        std::vector<uint64_t> numbers;
        for (auto& part : split(piece, '-'))
            if (auto n = parseDecimal(part)) numbers.push_back(*n);
        if (numbers.size() == 2 && numbers[0] < numbers[1]) ranges.push_back({numbers[0], numbers[1]});
    }
    return ranges;
}

SourceOptions SourceOptions::fromEnvironment() {
    SourceOptions options;
    if (const char* value = std::getenv("SOVANTA_SIMULATE_BAD"))
        for (auto& range : parseSimulatedBadRanges(value))
            options.simulatedBadRanges.push_back({range.lower, range.upper, EIO});
    return options;
}

// MARK: SourceError

SourceError::SourceError(Kind kind, std::string text, int errorNumber)
    : kind_(kind), text_(std::move(text)), errorNumber_(errorNumber) {
    switch (kind_) {
        case Kind::openFailed:
            description_ = "Kunne ikke åbne " + text_ + ": " + std::strerror(errorNumber_);
            break;
        case Kind::authorizationFailed:
            description_ = "Adgang til " + text_ +
                           " blev afvist eller annulleret. Der kræves en administratoradgangskode for at "
                           "læse fysiske diske.";
            break;
        case Kind::notFound: description_ = "Filen findes ikke: " + text_; break;
        case Kind::attachFailed: description_ = "Kunne ikke tilknytte diskbilledet: " + text_; break;
    }
}

SourceError SourceError::openFailed(std::string path, int errorNumber) {
    return SourceError(Kind::openFailed, std::move(path), errorNumber);
}
SourceError SourceError::authorizationFailed(std::string path) {
    return SourceError(Kind::authorizationFailed, std::move(path), 0);
}
SourceError SourceError::notFound(std::string path) { return SourceError(Kind::notFound, std::move(path), 0); }
SourceError SourceError::attachFailed(std::string message) {
    return SourceError(Kind::attachFailed, std::move(message), 0);
}

// MARK: DiskSource

DiskSource::DiskSource(int fd, std::string path_, std::string displayName_, uint64_t size_, int64_t sectorSize_,
                       bool isDevice_, std::optional<std::string> bsdName_, std::function<void()> cleanup,
                       SourceOptions options)
    : path(std::move(path_)),
      displayName(std::move(displayName_)),
      size(size_),
      sectorSize(std::max<int64_t>(sectorSize_, 512)),
      isDevice(isDevice_),
      bsdName(std::move(bsdName_)),
      fd_(fd),
      simulatedBadRanges_(std::move(options.simulatedBadRanges)),
      beforeRead_(std::move(options.beforeRead)),
      cleanup_(std::move(cleanup)) {}

DiskSource::~DiskSource() { close(); }

void DiskSource::close() {
    std::lock_guard guard(lock_);
    closeLocked();
}

void DiskSource::closeLocked() {
    if (closed_) return;
    closed_ = true;
    if (fd_ >= 0) ::close(fd_);
    cache_.clear();
    auto action = std::move(cleanup_);
    cleanup_ = nullptr;
    if (action) action();
}

bool DiskSource::isClosed() const {
    std::lock_guard guard(lock_);
    return closed_;
}

bool DiskSource::hasVanished() const {
    std::lock_guard guard(lock_);
    return closed_ || vanished_;
}

std::optional<uint64_t> DiskSource::shrunkTo() const {
    std::lock_guard guard(lock_);
    return shrunkTo_;
}

bool DiskSource::isVanishedError(int errorNumber) {
    switch (errorNumber) {
        case ENODEV:        // the device was removed
        case ENXIO:         // no such device any more (a closed source, one cut short)
        case ENOTCONN:      // the process serving a FUSE file system has died
        case ECONNABORTED:  // the read in flight when that process died
        case ESHUTDOWN:     // the transport to the device was shut down
        case ECONNRESET:    // the connection to a network block device was cut
        case ENOLINK:       // the link to a remote device was severed
        case ESTALE:        // the file went away under a network file system
        case EBADF:         // the descriptor of an open source was taken away
#ifdef ENOMEDIUM
        case ENOMEDIUM:     // the medium was taken out
#endif
            return true;
        default: return false;
    }
}

DiskSource::ReadResult DiskSource::readReporting(uint64_t offset, int64_t length, ReadMode mode) {
    ReadResult result;
    if (length < 1) return result;
    result.data.assign(static_cast<size_t>(length), 0);
    if (offset >= size) return result;
    int64_t n = static_cast<int64_t>(std::min<uint64_t>(size - offset, static_cast<uint64_t>(length)));

    std::lock_guard guard(lock_);
    if (closed_) {
        result.badBytes = n;
        return result;
    }
    const uint64_t ss = static_cast<uint64_t>(sectorSize);
    if (n > 262144) {
        // Aligned path: straight to the device, not cached.
        uint64_t start = offset / ss * ss;
        uint64_t lead = offset - start;
        uint64_t span = (lead + static_cast<uint64_t>(n) + ss - 1) / ss * ss;
        int64_t bad;
        if (lead == 0 && span == static_cast<uint64_t>(length)) {
            bad = rawRead(offset, length, result.data.data(), mode);
        } else {
            Bytes temp(span, 0);
            bad = rawRead(start, static_cast<int64_t>(span), temp.data(), mode);
            std::memcpy(result.data.data(), temp.data() + lead, static_cast<size_t>(n));
        }
        result.badBytes = std::min<int64_t>(bad, n);
        return result;
    }

    // Chunk path.
    uint64_t position = offset;
    int64_t done = 0;
    Chunk chunk;
    while (done < n) {
        cachedChunk(position >> 17, mode, chunk);
        int64_t within = static_cast<int64_t>(position % chunkSize);
        int64_t piece = std::min<int64_t>(static_cast<int64_t>(chunk.bytes->size()) - within, n - done);
        if (piece <= 0) break;
        std::memcpy(result.data.data() + done, chunk.bytes->data() + within, static_cast<size_t>(piece));
        if (chunk.hadUnreadable) {
            // Bytes from where the source went away on are all unreadable;
            // before it, the bad sectors are.
            const uint64_t pieceEnd = position + static_cast<uint64_t>(piece);
            const uint64_t goneFrom = std::max(chunk.goneFrom, position);
            int64_t gone = 0;
            if (goneFrom < pieceEnd) gone = static_cast<int64_t>(pieceEnd - goneFrom);
            int64_t count = 0;
            if (goneFrom > position) {
                uint64_t first = position / ss, last = (std::min(pieceEnd, goneFrom) - 1) / ss;
                for (auto it = badSectorSet_.lower_bound(first); it != badSectorSet_.end() && *it <= last; ++it)
                    ++count;
            }
            result.badBytes += std::min<int64_t>(piece, gone + count * sectorSize);
        }
        position += static_cast<uint64_t>(piece);
        done += piece;
    }
    return result;
}

Bytes DiskSource::read(uint64_t offset, int64_t length, ReadMode mode) {
    return readReporting(offset, length, mode).data;
}

int64_t DiskSource::readInto(uint64_t offset, int64_t length, uint8_t* buffer, ReadMode mode) {
    if (length < 1) return 0;
    std::lock_guard guard(lock_);
    if (closed_) {
        std::memset(buffer, 0, static_cast<size_t>(length));
        return length;
    }
    return rawRead(offset, length, buffer, mode);
}

bool DiskSource::chunkHasBadSector(uint64_t index) const {
    if (badSectorSet_.empty()) return false;
    uint64_t perChunk = static_cast<uint64_t>(chunkSize) / static_cast<uint64_t>(sectorSize);
    uint64_t first = index * static_cast<uint64_t>(chunkSize) / static_cast<uint64_t>(sectorSize);
    auto it = badSectorSet_.lower_bound(first);
    return it != badSectorSet_.end() && *it < first + std::max<uint64_t>(perChunk, 1);
}

void DiskSource::cachedChunk(uint64_t index, ReadMode mode, Chunk& out) {
    auto hit = cache_.find(index);
    if (hit != cache_.end()) {
        // The least-recently-used order is searched from its most recent end.
        auto it = std::find(cacheOrder_.rbegin(), cacheOrder_.rend(), index);
        if (it != cacheOrder_.rend() && it != cacheOrder_.rbegin()) {
            cacheOrder_.erase(std::next(it).base());
            cacheOrder_.push_back(index);
        }
        out.bytes = &hit->second;
        out.hadUnreadable = chunkHasBadSector(index);
        out.goneFrom = UINT64_MAX;
        return;
    }
    uint64_t start = index * static_cast<uint64_t>(chunkSize);
    uint64_t ss = static_cast<uint64_t>(sectorSize);
    uint64_t length = std::min<uint64_t>(size - start, static_cast<uint64_t>(chunkSize));
    length = (length + ss - 1) / ss * ss;
    Bytes bytes(length, 0);
    uint64_t goneFrom = UINT64_MAX;
    int64_t bad = rawRead(start, static_cast<int64_t>(length), bytes.data(), mode, &goneFrom);
    out.goneFrom = goneFrom;
    // The zeros of a source that went away are not its bytes: a later read
    // must not find them in the cache.
    if ((bad > 0 && mode == ReadMode::fast) || goneFrom != UINT64_MAX) {
        out.uncached = std::move(bytes);
        out.bytes = &out.uncached;
        out.hadUnreadable = true;
        return;
    }
    if (cacheOrder_.size() >= maxCacheChunks) {
        cache_.erase(cacheOrder_.front());
        cacheOrder_.erase(cacheOrder_.begin());
    }
    auto inserted = cache_.insert_or_assign(index, std::move(bytes)).first;
    cacheOrder_.push_back(index);
    out.bytes = &inserted->second;
    out.hadUnreadable = bad > 0;
}

int DiskSource::simulatedError(uint64_t lower, uint64_t upper) const {
    const SimulatedBadRange* first = nullptr;
    for (const auto& r : simulatedBadRanges_)
        if (r.lower < r.upper && r.lower < upper && r.upper > lower && (!first || r.lower < first->lower)) first = &r;
    return first ? first->errorNumber : 0;
}

int DiskSource::readLoop(uint64_t& position, int64_t& remaining, uint8_t*& out) {
    if (beforeRead_ && remaining > 0) beforeRead_(position, remaining);
    while (remaining > 0) {
        if (position >= size) {
            std::memset(out, 0, static_cast<size_t>(remaining));
            return 0;
        }
        if (int simulated = simulatedError(position, position + static_cast<uint64_t>(remaining))) return simulated;
        ssize_t got = ::pread(fd_, out, static_cast<size_t>(remaining), static_cast<off_t>(position));
        if (got > 0) {
            bytesRead_ += static_cast<uint64_t>(got);
            position += static_cast<uint64_t>(got);
            out += got;
            remaining -= got;
        } else if (got == 0) {
            // The end of the file before the size it had at opening: the
            // source was cut short (a truncated image, a shrunk device), and
            // what lay past its new end is not there to be read. Where it now
            // ends is asked of the system where it can say, as a read that
            // ended here may have begun past that end.
            uint64_t end = position;
            struct stat st {};
            off_t now = -1;
            if (::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) now = st.st_size;
            else if (S_ISBLK(st.st_mode)) now = ::lseek(fd_, 0, SEEK_END);
            if (now >= 0 && static_cast<uint64_t>(now) < end) end = static_cast<uint64_t>(now);
            if (!shrunkTo_ || end < *shrunkTo_) shrunkTo_ = end;
            return ENXIO;
        } else if (errno != EINTR) {
            return errno == 0 ? EIO : errno;
        }
    }
    return 0;
}

int DiskSource::exactRead(uint64_t offset, int64_t length, uint8_t* buffer) {
    uint64_t position = offset;
    int64_t remaining = length;
    uint8_t* out = buffer;
    return readLoop(position, remaining, out);
}

int64_t DiskSource::rawRead(uint64_t offset, int64_t length, uint8_t* buffer, ReadMode mode, uint64_t* goneFrom) {
    if (length < 1) return 0;
    uint64_t position = offset;
    int64_t remaining = length;
    uint8_t* out = buffer;
    int error = readLoop(position, remaining, out);
    if (error == 0) return 0;
    ++readErrors_;
    if (isVanishedError(error)) return gone(position, remaining, out, goneFrom);
    // The rest from the first failing position on, with recovery.
    return recoverRead(position, remaining, out, mode, goneFrom);
}

int64_t DiskSource::gone(uint64_t offset, int64_t length, uint8_t* buffer, uint64_t* goneFrom) {
    // Nothing more comes from a source that has gone away: reading on sector
    // by sector would only take time and record sound sectors as bad.
    vanished_ = true;
    if (goneFrom) *goneFrom = std::min(*goneFrom, offset);
    std::memset(buffer, 0, static_cast<size_t>(length));
    if (offset >= size) return 0;
    return static_cast<int64_t>(std::min<uint64_t>(static_cast<uint64_t>(length), size - offset));
}

int64_t DiskSource::recoverRead(uint64_t offset, int64_t length, uint8_t* buffer, ReadMode mode,
                                uint64_t* goneFrom) {
    constexpr int64_t blockSize = 65536;
    const uint64_t ss = static_cast<uint64_t>(sectorSize);
    int64_t unreadable = 0;
    for (int64_t done = 0; done < length; done += blockSize) {
        int64_t blockLength = std::min(blockSize, length - done);
        uint64_t blockStart = offset + static_cast<uint64_t>(done);
        uint8_t* block = buffer + done;
        uint64_t key = blockStart / ss;
        int error = suspectBlocks_.count(key) > 0 ? EIO : exactRead(blockStart, blockLength, block);
        if (error == 0) continue;
        if (isVanishedError(error)) return unreadable + gone(blockStart, length - done, block, goneFrom);
        if (mode == ReadMode::fast) {
            suspectBlocks_.insert(key);
            std::memset(block, 0, static_cast<size_t>(blockLength));
            unreadable += blockLength;
            continue;
        }
        for (int64_t s = 0; s < blockLength; s += sectorSize) {
            int64_t pieceLength = std::min<int64_t>(sectorSize, blockLength - s);
            uint64_t sectorOffset = blockStart + static_cast<uint64_t>(s);
            uint64_t sector = sectorOffset / ss;
            uint8_t* piece = block + s;
            if (badSectorSet_.count(sector)) {
                std::memset(piece, 0, static_cast<size_t>(pieceLength));
                unreadable += pieceLength;
                continue;
            }
            int sectorError = exactRead(sectorOffset, pieceLength, piece);
            if (sectorError != 0 && isVanishedError(sectorError))
                return unreadable + gone(sectorOffset, length - done - s, piece, goneFrom);
            if (sectorError != 0) {
                badSectorSet_.insert(sector);
                ++readErrors_;
                std::memset(piece, 0, static_cast<size_t>(pieceLength));
                unreadable += pieceLength;
            }
        }
    }
    return unreadable;
}

bool DiskSource::tryRead(uint64_t offset, int64_t length, uint8_t* into, int* errorNumber) {
    std::lock_guard guard(lock_);
    if (errorNumber) *errorNumber = 0;
    if (closed_) {
        if (errorNumber) *errorNumber = ENXIO;
        return false;
    }
    if (length < 1) return true;
    int error = exactRead(offset, length, into);
    if (error == 0) return true;
    if (isVanishedError(error)) vanished_ = true;
    ++readErrors_;
    if (errorNumber) *errorNumber = error;
    return false;
}

void DiskSource::markBad(uint64_t sector) {
    std::lock_guard guard(lock_);
    badSectorSet_.insert(sector);
}

bool DiskSource::isKnownBad(uint64_t sector) const {
    std::lock_guard guard(lock_);
    return badSectorSet_.count(sector) > 0;
}

int64_t DiskSource::badSectorCount() const {
    std::lock_guard guard(lock_);
    return static_cast<int64_t>(badSectorSet_.size());
}

std::vector<uint64_t> DiskSource::badSectors() const {
    std::lock_guard guard(lock_);
    return std::vector<uint64_t>(badSectorSet_.begin(), badSectorSet_.end());
}

int64_t DiskSource::unreadableSectorCount() const {
    std::lock_guard guard(lock_);
    const uint64_t ss = static_cast<uint64_t>(sectorSize);
    const uint64_t perBlock = 65536 / ss, sectors = (size + ss - 1) / ss;
    // The given-up blocks as sector ranges, in order (each starts at its key),
    // merged where they overlap; the bad sectors outside them are added.
    uint64_t count = 0, start = 0, end = 0;
    auto close = [&] {
        if (end <= start) return;
        count += end - start;
        for (auto it = badSectorSet_.lower_bound(start); it != badSectorSet_.end() && *it < end; ++it) --count;
    };
    for (uint64_t key : suspectBlocks_) {
        uint64_t last = std::min(key + perBlock, sectors);
        if (key < end) {
            end = std::max(end, last);
            continue;
        }
        close();
        start = key;
        end = last;
    }
    close();
    return static_cast<int64_t>(count + badSectorSet_.size());
}

int64_t DiskSource::readErrorCount() const {
    std::lock_guard guard(lock_);
    return readErrors_;
}

uint64_t DiskSource::bytesRead() const {
    std::lock_guard guard(lock_);
    return bytesRead_;
}

}  // namespace sovanta
