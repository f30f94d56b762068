#include "SovantaCore/Imager.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <system_error>
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

bool pathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// rename() that never replaces a file at the new path (fails with EEXIST).
int renameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
#endif
    // A file system without that flag: test first, as well as it can be done.
    if (pathExists(to)) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from.c_str(), to.c_str());
}

// Moves a file to the first free name of path.bak, path.bak2, path.bak3 ...;
// the new path, or none with errno set.
std::optional<std::string> moveAside(const std::string& path) {
    for (int k = 1; k <= 1000; ++k) {
        std::string candidate = path + ".bak" + (k > 1 ? std::to_string(k) : "");
        if (renameNoReplace(path, candidate) == 0) return candidate;
        if (errno != EEXIST) return std::nullopt;
    }
    errno = EEXIST;
    return std::nullopt;
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
    bool createdImage = false;  // the image file did not exist before this run
    std::unique_ptr<uint8_t, decltype(&std::free)> buffer{nullptr, &std::free};
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
    // The map as it was at the last flush of the image that succeeded: what
    // the image is known to hold.
    std::vector<RangeMap::Block> synced;
    std::optional<std::string> mapNote;  // an earlier mapfile moved aside, said at the end
    bool allPassesRun = false;           // the run went through every pass: its map says finished
};

DiskImager::DiskImager(DiskSourcePtr source_, std::string imageURL_, ImagingOptions options_)
    : source(std::move(source_)),
      imageURL(std::move(imageURL_)),
      mapURL(imageURL + ".map"),
      map(loadMap(*source, imageURL, mapURL, unusedMap_)),
      options(options_) {}

std::shared_ptr<RangeMap> DiskImager::loadMap(const DiskSource& source, const std::string& imageURL,
                                              const std::string& mapURL, UnusedMap& unused) {
    if (pathExists(imageURL)) {
        if (auto resumed = RangeMap::read(mapURL, source.size)) return resumed;
        if (pathExists(mapURL)) unused = UnusedMap::unreadable;
    } else if (pathExists(mapURL)) {
        unused = UnusedMap::withoutImage;
    }
    return std::make_shared<RangeMap>(source.size);
}

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

void DiskImager::clearCancel() {
    std::lock_guard guard(lock_);
    cancelled_ = false;
}

bool DiskImager::cancelled() const {
    std::lock_guard guard(lock_);
    return cancelled_;
}

ImagingStats DiskImager::currentStats() const {
    std::lock_guard guard(lock_);
    return stats_;
}

bool DiskImager::stopped(const RunState& run) const { return run.writeFailed || run.sourceLost || cancelled(); }

void DiskImager::setPhase(const std::string& phase, int64_t pass) {
    std::lock_guard guard(lock_);
    stats_.phase = phase;
    stats_.pass = pass;
}

// MARK: Starting and ending a run

void DiskImager::run(const UpdateHandler& onUpdate) {
    {
        std::lock_guard guard(lock_);
        stats_.finished = false;
        stats_.message.reset();
        stats_.pass = 0;
        // This run's own figures: a run that ends at once has taken no time
        // and read at no rate, whatever the run before it did.
        stats_.elapsed = 0;
        stats_.currentRate = 0;
        stats_.averageRate = 0;
    }
    RunState run;
    run.onUpdate = &onUpdate;
    if (auto problem = prepare(run)) {
        endAtOnce(run, *problem);
        return;
    }
    runPasses(run);
    endRun(run);
}

// Opens the image, saves the map once before any byte is copied and sets up
// the buffer; the message that ends the run at once when one of them fails.
std::optional<std::string> DiskImager::prepare(RunState& run) {
    if (auto problem = openImage(run)) return problem;
    if (auto problem = moveUnusedMapAside(run)) return problem;
    // Without a mapfile, what is copied could neither be resumed nor told
    // from an unrelated file, so the copy does not start without one.
    if (int error = saveMap(run))
        return "Kunne ikke gemme map-filen " + lastPathComponent(mapURL) + ": " + std::strerror(error);
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
    run.buffer.reset(static_cast<uint8_t*>(std::aligned_alloc(4096, static_cast<size_t>(bufferSize))));
    if (!run.buffer) return std::string("Ikke nok hukommelse til læsebufferen.");

    run.start = now();
    run.lastSuccess = run.lastSave = run.lastUpdate = run.start;
    run.rescuedAtStart = map->total(Status::finished);
    return std::nullopt;
}

std::optional<std::string> DiskImager::openImage(RunState& run) {
    struct stat st {};
    bool exists = ::stat(imageURL.c_str(), &st) == 0;
    // A file with bytes in it and no mapfile is not an earlier copy of ours:
    // copying into it would overwrite it and keep its old tail.
    if (exists && !(S_ISREG(st.st_mode) && st.st_size == 0) && !pathExists(mapURL))
        return "Billedfilen findes allerede uden map-fil og overskrives ikke: " + imageURL +
               ". Vælg et andet filnavn.";
    run.fd = ::open(imageURL.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (run.fd < 0) return std::string("Kunne ikke oprette billedfilen: ") + std::strerror(errno);
    run.createdImage = !exists;
    return std::nullopt;
}

// A mapfile that the copy does not resume from may hold the only record of
// an earlier copy: it is kept under a new name instead of being replaced.
std::optional<std::string> DiskImager::moveUnusedMapAside(RunState& run) {
    if (unusedMap_ == UnusedMap::none || !pathExists(mapURL)) return std::nullopt;
    const std::string name = lastPathComponent(mapURL);
    auto aside = moveAside(mapURL);
    if (!aside)
        return "Map-filen " + name + " kan ikke bruges og kunne ikke gemmes under et nyt navn: " +
               std::strerror(errno);
    std::string why = unusedMap_ == UnusedMap::unreadable ? " kunne ikke læses"
                                                           : " hørte til en billedfil, der ikke findes mere,";
    run.mapNote = "Map-filen " + name + why + " og er gemt som " + lastPathComponent(*aside) +
                  "; kopieringen begyndte forfra.";
    unusedMap_ = UnusedMap::none;
    return std::nullopt;
}

// A run that cannot begin: nothing is copied, a new empty image file is
// removed again, and one update says why.
void DiskImager::endAtOnce(RunState& run, const std::string& message) {
    if (run.fd >= 0) {
        ::close(run.fd);
        if (run.createdImage) ::unlink(imageURL.c_str());
    }
    ImagingStats copy;
    {
        std::lock_guard guard(lock_);
        stats_.message = run.mapNote ? *run.mapNote + " " + message : message;
        stats_.finished = true;
        copy = stats_;
    }
    if (*run.onUpdate) (*run.onUpdate)(copy);
}

void DiskImager::runPasses(RunState& run) {
    copyPass(run, true);
    if (stopped(run)) return;
    copyPass(run, false);
    if (stopped(run)) return;
    sectorPass(run);
    if (stopped(run)) return;
    // A retry pass that begins after a stop only names itself.
    for (int64_t r = 1; r <= options.retries; ++r) {
        setPhase("Nyt forsøg på dårlige sektorer (" + std::to_string(r) + "/" + std::to_string(options.retries) + ")",
                 3 + r);
        if (!stopped(run)) retryPass(run);
    }
}

void DiskImager::endRun(RunState& run) {
    run.allPassesRun = !stopped(run);
    saveMap(run);
    {
        std::lock_guard guard(lock_);
        stats_.finished = true;
        stats_.message = closingMessage(run);
        stats_.phase = cancelled_ || run.sourceLost ? "Stoppet" : "Færdig";
    }
    refresh(run, true);
    ::close(run.fd);
}

// Called with the lock held.
std::optional<std::string> DiskImager::closingMessage(const RunState& run) const {
    std::string mapName = lastPathComponent(mapURL);
    std::optional<std::string> message;
    if (run.writeFailed)
        message = writeFailedMessage;
    else if (run.sourceLost && source->shrunkTo())
        message = "Kilden er blevet mindre under kopieringen: den ender nu ved byte " +
                  std::to_string(*source->shrunkTo()) + " i stedet for " + std::to_string(source->size) +
                  ". Resten er ikke læst. Du kan fortsætte senere – fremskridtet er gemt i " + mapName + ".";
    else if (run.sourceLost)
        message = "Kilden svarer ikke længere. Du kan fortsætte senere – fremskridtet er gemt i " + mapName + ".";
    else if (cancelled_)
        message = "Stoppet. Du kan fortsætte senere – fremskridtet er gemt i " + mapName + ".";
    if (!run.mapNote) return message;
    return message ? *run.mapNote + " " + *message : *run.mapNote;
}

// MARK: The passes

DiskImager::Piece DiskImager::readPiece(RunState& run, uint64_t q, uint64_t n) {
    {
        std::lock_guard guard(lock_);
        stats_.position = q;
    }
    int error = 0;
    if (!source->tryRead(q, static_cast<int64_t>(n), run.buffer.get(), &error)) {
        // A source that has gone away (unplugged, its FUSE server dead) or
        // ends before its size (truncated, shrunk) stops the run; marking the
        // rest of the disk as failed would only cost time and lose the map's
        // picture of what is still untried.
        if (DiskSource::isVanishedError(error)) {
            run.sourceLost = true;
            return Piece::halted;
        }
        return Piece::readFailed;
    }
    if (!writeFully(run.fd, run.buffer.get(), n, q)) {
        run.writeFailed = true;
        return Piece::halted;
    }
    run.lastSuccess = now();
    map->set(q, n, Status::finished);
    return Piece::copied;
}

// The walk every pass makes: forwards from offset 0, each time to the first
// block at or after p with one of the statuses, reading the piece at its
// start (up to the next chunk boundary, or one sector); next says where to
// look from after it.
void DiskImager::walk(RunState& run, std::initializer_list<Status> statuses, bool chunkAligned,
                      const NextPosition& next) {
    uint64_t p = 0;
    while (auto block = map->first(statuses, p)) {
        waitWhilePaused(run);
        if (cancelled()) break;
        uint64_t q = block->pos;
        uint64_t n = std::min(block->size, chunkAligned ? run.chunk - q % run.chunk : run.sector);
        p = next(q, n, readPiece(run, q, n));
        refresh(run, false);
        if (stopped(run)) break;
    }
}

// Pass 1 (jump) reads the untried areas in chunk-aligned pieces and jumps
// ever further over areas that fail; pass 2 reads what pass 1 jumped over.
void DiskImager::copyPass(RunState& run, bool jump) {
    if (jump)
        setPhase("Kopierer (hurtig gennemgang)", 1);
    else
        setPhase("Kopierer oversprungne områder", 2);
    uint64_t skip = run.chunk;
    walk(run, {Status::nonTried}, true, [&](uint64_t q, uint64_t n, Piece result) {
        if (result == Piece::copied) skip = run.chunk;
        if (result != Piece::readFailed) return q + n;
        map->set(q, n, Status::nonTrimmed);
        if (!jump) return q + n;
        uint64_t after = saturatingAdd(q + n, skip);
        skip = std::min(saturatingAdd(skip, skip), options.maxSkip);
        return after;
    });
}

// Pass 3 reads the areas of failed pieces one sector at a time.
void DiskImager::sectorPass(RunState& run) {
    setPhase("Læser vanskelige områder sektor for sektor", 3);
    walk(run, {Status::nonTrimmed, Status::nonScraped}, false, [&](uint64_t q, uint64_t n, Piece result) {
        if (result == Piece::readFailed) {
            map->set(q, n, Status::bad);
            source->markBad(q / run.sector);
        }
        return q + n;
    });
}

// A retry pass reads the bad sectors once more; those that now read become
// finished, the rest stay bad.
void DiskImager::retryPass(RunState& run) {
    walk(run, {Status::bad}, false, [](uint64_t q, uint64_t n, Piece) { return q + n; });
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

// MARK: Statistics and saving

// The image is flushed to the device before the map that describes it is
// saved, so a crash never leaves a map that claims bytes the image lacks.
// Returns 0, or the error number of the flush or the save.
int DiskImager::saveMap(RunState& run) {
    run.lastSave = now();
    if (::fsync(run.fd) != 0 && errno != EINVAL) {
        int error = errno;
        // The bytes written since the last good flush may never reach the
        // image, and a later flush would not say so again: the map goes back
        // to what that flush covered, so neither the mapfile nor a later run
        // of this imager counts them as copied.
        run.writeFailed = true;
        for (const RangeMap::Block& block : run.synced) map->set(block.pos, block.size, block.status);
        return error;
    }
    run.synced = map->snapshot();
    uint64_t position;
    int64_t pass;
    {
        std::lock_guard guard(lock_);
        position = stats_.position;
        pass = stats_.pass;
    }
    try {
        map->write(mapURL, position, pass, run.allPassesRun ? '+' : '?');
    } catch (const std::system_error& error) {
        // The last good mapfile stays; the next save tries again.
        return error.code().value();
    }
    return 0;
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
    }
    if (*run.onUpdate) (*run.onUpdate)(copy);
    if (t - run.lastSave > 5.0) saveMap(run);
}

}  // namespace sovanta
