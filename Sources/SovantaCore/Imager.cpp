#include "SovantaCore/Imager.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sovanta {

namespace {

using Status = RangeMap::Status;

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

uint64_t saturatingAdd(uint64_t a, uint64_t b) { return b > UINT64_MAX - a ? UINT64_MAX : a + b; }

// Writes go out in slices of at most 256 KiB: on Linux with ext4, single
// writes of a whole MiB into the page cache were several times slower than
// the same bytes in smaller writes, which made the copy write-bound.
constexpr uint64_t writeSlice = 262144;

bool writeFully(int fd, const uint8_t* data, uint64_t length, uint64_t offset) {
    uint64_t done = 0;
    while (done < length) {
        uint64_t slice = std::min(length - done, writeSlice);
        ssize_t wrote = ::pwrite(fd, data + done, static_cast<size_t>(slice), static_cast<off_t>(offset + done));
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        done += static_cast<uint64_t>(wrote);
    }
    return true;
}

std::string lastPathComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

const char* const writeFailedMessage = "Skrivning til billedfilen mislykkedes (er destinationen fuld?).";

}  // namespace

std::optional<double> ImagingStats::eta() const {
    if (averageRate > 1 && pending != 0) return static_cast<double>(pending) / averageRate;
    return std::nullopt;
}

struct DiskImager::RunState {
    const UpdateHandler* onUpdate = nullptr;
    int fd = -1;
    uint8_t* buffer = nullptr;
    uint64_t chunk = 0;
    uint64_t sector = 0;
    double start = 0;
    double lastSuccess = 0;
    double lastSave = 0;
    double lastUpdate = 0;
    std::deque<std::pair<double, uint64_t>> samples;  // (time, rescued bytes)
    bool writeFailed = false;
    bool sourceLost = false;
    uint64_t rescuedAtStart = 0;
};

DiskImager::DiskImager(DiskSourcePtr source_, std::string imageURL_, ImagingOptions options_)
    : source(std::move(source_)),
      imageURL(std::move(imageURL_)),
      mapURL(imageURL + ".map"),
      map([&]() -> std::shared_ptr<RangeMap> {
          struct stat st {};
          if (::stat(imageURL.c_str(), &st) == 0)
              if (auto resumed = RangeMap::read(mapURL, source->size)) return resumed;
          return std::make_shared<RangeMap>(source->size);
      }()),
      options(options_) {}

bool DiskImager::isResuming() const { return map->total(Status::nonTried) < source->size; }

bool DiskImager::paused() const {
    std::lock_guard guard(lock_);
    return paused_;
}

void DiskImager::setPaused(bool value) {
    std::lock_guard guard(lock_);
    paused_ = value;
}

void DiskImager::cancel() {
    std::lock_guard guard(lock_);
    cancelled_ = true;
}

bool DiskImager::cancelled() const {
    std::lock_guard guard(lock_);
    return cancelled_;
}

ImagingStats DiskImager::currentStats() const {
    std::lock_guard guard(lock_);
    return stats_;
}

bool DiskImager::halted(const RunState& run) const { return run.writeFailed || run.sourceLost; }

void DiskImager::setPhase(const std::string& phase, int64_t pass) {
    std::lock_guard guard(lock_);
    stats_.phase = phase;
    stats_.pass = pass;
}

void DiskImager::run(const UpdateHandler& onUpdate) {
    {
        std::lock_guard guard(lock_);
        cancelled_ = false;
        stats_.finished = false;
        stats_.message.reset();
    }
    auto failStart = [&](const std::string& message) {
        ImagingStats copy;
        {
            std::lock_guard guard(lock_);
            stats_.message = message;
            stats_.finished = true;
            copy = stats_;
        }
        if (onUpdate) onUpdate(copy);
    };

    RunState run;
    run.onUpdate = &onUpdate;
    run.fd = ::open(imageURL.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (run.fd < 0) {
        failStart(std::string("Kunne ikke oprette billedfilen: ") + std::strerror(errno));
        return;
    }
    // Never shortened; a shorter file grows to the source size at once, so
    // the areas not yet copied are holes.
    struct stat st {};
    if (::fstat(run.fd, &st) == 0 && st.st_size >= 0 && static_cast<uint64_t>(st.st_size) < source->size)
        (void)::ftruncate(run.fd, static_cast<off_t>(source->size));

    run.sector = static_cast<uint64_t>(source->sectorSize);
    uint64_t wanted = static_cast<uint64_t>(std::max<int64_t>(options.chunkSize, source->sectorSize));
    run.chunk = wanted / run.sector * run.sector;
    // No piece is longer than the chunk or the source, so the buffer need not
    // be either.
    uint64_t sourceSectors = source->size / run.sector + (source->size % run.sector != 0 ? 1 : 0);
    uint64_t bufferSize = std::min(run.chunk, std::max<uint64_t>(sourceSectors, 1) * run.sector);
    bufferSize = (bufferSize + 4095) / 4096 * 4096;
    run.buffer = static_cast<uint8_t*>(std::aligned_alloc(4096, static_cast<size_t>(bufferSize)));
    if (!run.buffer) {
        ::close(run.fd);
        failStart("Ikke nok hukommelse til læsebufferen.");
        return;
    }

    run.start = now();
    run.lastSuccess = run.lastSave = run.lastUpdate = run.start;
    run.rescuedAtStart = map->total(Status::finished);

    copyPass(run, true);
    if (!cancelled() && !halted(run)) copyPass(run, false);
    if (!cancelled() && !halted(run)) {
        sectorPass(run);
        if (!cancelled() && !halted(run)) {
            for (int64_t r = 1; r <= options.retries; ++r) {
                setPhase("Nyt forsøg på dårlige sektorer (" + std::to_string(r) + "/" +
                             std::to_string(options.retries) + ")",
                         3 + r);
                if (cancelled() || halted(run)) continue;
                retryPass(run);
            }
        }
    }

    uint64_t position;
    int64_t pass;
    {
        std::lock_guard guard(lock_);
        position = stats_.position;
        pass = stats_.pass;
    }
    saveMap(run, position, pass);
    {
        std::lock_guard guard(lock_);
        stats_.finished = true;
        std::string mapName = lastPathComponent(mapURL);
        if (run.writeFailed)
            stats_.message = writeFailedMessage;
        else if (run.sourceLost)
            stats_.message =
                "Kilden svarer ikke længere. Du kan fortsætte senere – fremskridtet er gemt i " + mapName + ".";
        else if (cancelled_)
            stats_.message = "Stoppet. Du kan fortsætte senere – fremskridtet er gemt i " + mapName + ".";
        else
            stats_.message.reset();
        stats_.phase = cancelled_ || run.sourceLost ? "Stoppet" : "Færdig";
    }
    refresh(run, true);
    std::free(run.buffer);
    ::close(run.fd);
}

DiskImager::Piece DiskImager::readPiece(RunState& run, uint64_t q, uint64_t n) {
    {
        std::lock_guard guard(lock_);
        stats_.position = q;
    }
    int error = 0;
    if (!source->tryRead(q, static_cast<int64_t>(n), run.buffer, &error)) {
        // A vanished device stops the run; marking the rest of the disk as
        // failed sector by sector would only cost time and lose the map's
        // picture of what is still untried.
        if (DiskSource::isVanishedError(error)) {
            run.sourceLost = true;
            return Piece::halted;
        }
        return Piece::readFailed;
    }
    if (!writeFully(run.fd, run.buffer, n, q)) {
        run.writeFailed = true;
        return Piece::halted;
    }
    run.lastSuccess = now();
    map->set(q, n, Status::finished);
    return Piece::copied;
}

// Pass 1 (jump) reads the untried areas in chunk-aligned pieces and jumps
// ever further over areas that fail; pass 2 reads what pass 1 jumped over.
void DiskImager::copyPass(RunState& run, bool jump) {
    if (jump)
        setPhase("Kopierer (hurtig gennemgang)", 1);
    else
        setPhase("Kopierer oversprungne områder", 2);
    uint64_t p = 0;
    uint64_t skip = run.chunk;
    while (auto block = map->first(Status::nonTried, p)) {
        waitWhilePaused(run);
        if (cancelled()) break;
        uint64_t q = block->pos;
        uint64_t n = std::min(block->size, run.chunk - q % run.chunk);
        Piece result = readPiece(run, q, n);
        if (result == Piece::copied) {
            skip = run.chunk;
            p = q + n;
        } else if (result == Piece::readFailed) {
            map->set(q, n, Status::nonTrimmed);
            if (jump) {
                p = saturatingAdd(q + n, skip);
                skip = std::min(saturatingAdd(skip, skip), options.maxSkip);
            } else {
                p = q + n;
            }
        }
        refresh(run, false);
        if (cancelled() || halted(run)) break;
    }
}

// Pass 3 reads the areas of failed pieces one sector at a time.
void DiskImager::sectorPass(RunState& run) {
    setPhase("Læser vanskelige områder sektor for sektor", 3);
    uint64_t p = 0;
    while (auto block = map->first({Status::nonTrimmed, Status::nonScraped}, p)) {
        waitWhilePaused(run);
        if (cancelled()) break;
        uint64_t q = block->pos;
        uint64_t n = std::min(block->size, run.sector);
        Piece result = readPiece(run, q, n);
        if (result == Piece::readFailed) {
            map->set(q, n, Status::bad);
            source->markBad(q / run.sector);
        }
        p = q + n;
        refresh(run, false);
        if (cancelled() || halted(run)) break;
    }
}

// A retry pass reads the bad sectors once more; those that now read become
// finished, the rest stay bad.
void DiskImager::retryPass(RunState& run) {
    uint64_t p = 0;
    while (auto block = map->first(Status::bad, p)) {
        waitWhilePaused(run);
        if (cancelled()) break;
        uint64_t q = block->pos;
        uint64_t n = std::min(block->size, run.sector);
        readPiece(run, q, n);
        p = q + n;
        refresh(run, false);
        if (cancelled() || halted(run)) break;
    }
}

// The image is flushed to the device before the map that describes it is
// saved, so a crash never leaves a map that claims bytes the image lacks.
void DiskImager::saveMap(RunState& run, uint64_t position, int64_t pass) {
    run.lastSave = now();
    if (::fsync(run.fd) != 0 && errno != EINVAL) {
        // The bytes written since the last save may be lost; the mapfile on
        // disk still describes what was synced, so it stays as it is.
        run.writeFailed = true;
        return;
    }
    try {
        map->write(mapURL, position, pass);
    } catch (...) {
        // The next save tries again.
    }
}

void DiskImager::refresh(RunState& run, bool force) {
    double t = now();
    if (!force && t - run.lastUpdate <= 0.25) return;
    run.lastUpdate = t;
    uint64_t rescued = map->total(Status::finished);
    run.samples.emplace_back(t, rescued);
    while (!run.samples.empty() && t - run.samples.front().first > 5.0) run.samples.pop_front();
    double rate = 0;
    if (!run.samples.empty() && t - run.samples.front().first > 0.5)
        rate = (static_cast<double>(rescued) - static_cast<double>(run.samples.front().second)) /
               (t - run.samples.front().first);
    double elapsed = t - run.start;

    ImagingStats copy;
    uint64_t position;
    int64_t pass;
    {
        std::lock_guard guard(lock_);
        stats_.rescued = rescued;
        stats_.bad = map->total(Status::bad);
        stats_.pending =
            map->total(Status::nonTried) + map->total(Status::nonTrimmed) + map->total(Status::nonScraped);
        stats_.total = source->size;
        stats_.readErrors = source->readErrorCount();
        stats_.currentRate = std::max(rate, 0.0);
        stats_.averageRate =
            elapsed > 0 ? (static_cast<double>(rescued) - static_cast<double>(run.rescuedAtStart)) / elapsed : 0;
        stats_.elapsed = elapsed;
        stats_.sinceLastSuccess = t - run.lastSuccess;
        copy = stats_;
        position = stats_.position;
        pass = stats_.pass;
    }
    if (*run.onUpdate) (*run.onUpdate)(copy);
    if (t - run.lastSave > 5.0) saveMap(run, position, pass);
}

void DiskImager::waitWhilePaused(RunState& run) {
    if (!paused()) return;
    for (;;) {
        if (cancelled()) return;
        ::usleep(200000);
        refresh(run, true);
        if (!paused()) return;
    }
}

}  // namespace sovanta
