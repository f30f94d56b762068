// Copying a failing disk into a raw image in passes, easy areas first, with a
// mapfile that GNU ddrescue can read, so that either tool can resume the copy.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/RangeMap.h"

namespace sovanta {

struct ImagingOptions {
    int64_t retries = 1;          // retry passes over bad sectors; 0 or less gives none
    int64_t chunkSize = 1048576;  // piece size of passes 1 and 2, cut to whole sectors (at least one)
    uint64_t maxSkip = 268435456; // the longest jump of pass 1 after a failed read
};

struct ImagingStats {
    std::string phase;           // the Danish name of the pass, or "Stoppet" / "Færdig" at the end
    // 1, 2, 3, then 3 + the retry pass; 0 while a run has begun none (a run
    // that ends with 0 could not start and copied nothing).
    int64_t pass = 0;
    uint64_t position = 0;       // start of the piece being read, or last read
    uint64_t rescued = 0;        // bytes finished
    uint64_t bad = 0;            // bytes bad
    uint64_t pending = 0;        // bytes nonTried, nonTrimmed or nonScraped
    uint64_t total = 0;          // the source size
    int64_t readErrors = 0;      // every failed read of the source, not only the imager's
    double currentRate = 0;      // bytes per second over the last 5 s
    double averageRate = 0;      // bytes rescued by this run per second since it began
    double elapsed = 0;          // seconds since the run began, pauses included
    double sinceLastSuccess = 0; // seconds since the last piece was copied in full
    bool finished = false;       // the run has ended (also after a failure or a stop)
    std::optional<std::string> message;  // the closing message, or the error that ended the run

    // Seconds left at the average rate, when that rate is above 1 and something is pending.
    std::optional<double> eta() const;
};

class DiskImager {
    // A mapfile found beside the image that the copy does not resume from. It
    // is moved aside, never overwritten, by the first run. Declared before map,
    // whose initializer sets it.
    enum class UnusedMap { none, unreadable, withoutImage };
    UnusedMap unusedMap_ = UnusedMap::none;

public:
    using UpdateHandler = std::function<void(const ImagingStats&)>;

    // Resumes from imageURL + ".map" when that mapfile reads back and the
    // image file exists; otherwise starts with everything nonTried. The image
    // file is not opened here.
    DiskImager(DiskSourcePtr source, std::string imageURL, ImagingOptions options = {});
    DiskImager(const DiskImager&) = delete;
    DiskImager& operator=(const DiskImager&) = delete;

    const DiskSourcePtr source;
    const std::string imageURL;
    const std::string mapURL;
    const std::shared_ptr<RangeMap> map;
    const ImagingOptions options;

    // Some byte of the source has been tried already.
    bool isResuming() const;
    // While true, a run waits before its next read.
    bool paused() const;
    void setPaused(bool value);
    // A run notices it before its next read and after each piece. A cancel
    // holds until clearCancel(): one made after a run was asked for and
    // before it began is not lost.
    void cancel();
    // Lets the next run go on after an earlier cancel; called when that run
    // is asked for, on the thread that also cancels.
    void clearCancel();
    ImagingStats currentStats() const;

    // The whole copy, on the caller's thread. onUpdate is called on that
    // thread with no lock held, at most every 0.25 s (every 0.2 s while
    // paused), and once more with finished true as the run's last update.
    // An existing, non-empty image file without a mapfile beside it is not a
    // copy to continue: the run refuses it at once and writes nothing.
    void run(const UpdateHandler& onUpdate);

private:
    struct RunState;
    enum class Piece { copied, readFailed, halted };
    // Where a pass goes on after a piece: given the piece's start, length and
    // outcome, the position to look from next.
    using NextPosition = std::function<uint64_t(uint64_t q, uint64_t n, Piece result)>;

    static std::shared_ptr<RangeMap> loadMap(const DiskSource& source, const std::string& imageURL,
                                             const std::string& mapURL, UnusedMap& unused);
    bool cancelled() const;
    bool stopped(const RunState& run) const;
    void setPhase(const std::string& phase, int64_t pass);

    // Starting and ending a run.
    std::optional<std::string> prepare(RunState& run);
    std::optional<std::string> openImage(RunState& run);
    std::optional<std::string> moveUnusedMapAside(RunState& run);
    void endAtOnce(RunState& run, const std::string& message);
    void runPasses(RunState& run);
    void endRun(RunState& run);
    std::optional<std::string> closingMessage(const RunState& run) const;

    // The passes.
    Piece readPiece(RunState& run, uint64_t q, uint64_t n);
    void walk(RunState& run, std::initializer_list<RangeMap::Status> statuses, bool chunkAligned,
              const NextPosition& next);
    void copyPass(RunState& run, bool jump);
    void sectorPass(RunState& run);
    void retryPass(RunState& run);
    void waitWhilePaused(RunState& run);

    // Statistics and saving.
    void refresh(RunState& run, bool force);
    int saveMap(RunState& run);

    mutable std::mutex lock_;  // guards paused_, cancelled_ and stats_; taken before the map's and the source's
    bool paused_ = false;
    bool cancelled_ = false;
    ImagingStats stats_;
};

}  // namespace sovanta
