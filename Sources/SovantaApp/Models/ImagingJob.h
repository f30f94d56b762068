// One copy of a source into an image file, run by the core's imager in the
// background, with its throttled statistics, block map and rate history.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include <QObject>

#include "SovantaCore/Imager.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/RangeMap.h"

namespace sovanta::app {

// One point of the imaging rate chart.
struct RateSample {
    Uuid id = Uuid::random();
    double time = 0;  // the run's elapsed seconds
    double rate = 0;  // megabytes (1,000,000 bytes) per second
};

class ImagingJob : public QObject, public std::enable_shared_from_this<ImagingJob> {
    Q_OBJECT
    Q_PROPERTY(bool paused READ paused NOTIFY pausedChanged)
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)
    Q_PROPERTY(bool finished READ finished NOTIFY finishedChanged)

public:
    static constexpr int64_t cellCount = 1200;
    static constexpr size_t maxSamples = 600;

    // cells starts as the imager's map in cellCount cells.
    static std::shared_ptr<ImagingJob> make(std::string title, std::string imageURL,
                                            std::shared_ptr<DiskImager> imager);
    ~ImagingJob() override;

    const Uuid id;
    const std::string title;
    const std::string imageURL;
    const std::shared_ptr<DiskImager> imager;

    const ImagingStats& stats() const { return stats_; }
    const std::vector<RangeMap::Status>& cells() const { return cells_; }
    const std::vector<RateSample>& samples() const { return samples_; }
    bool paused() const { return paused_; }
    bool running() const { return running_; }
    bool finished() const { return finished_; }
    // The share of the source rescued or found bad; 0 for an empty source.
    double fraction() const;
    // Whether the job ended with every byte of the source copied: only such a
    // copy counts as done.
    bool copiedCompletely() const;
    // Whether the job may still read its source: it runs, or it ended with
    // bytes pending or bad that running it again would try.
    bool needsSource() const { return !finished_ || stats_.pending > 0 || stats_.bad > 0; }

    // Runs the copy unless one runs; a finished job runs its imager again and
    // keeps its history.
    void start();
    void togglePause();
    // Lifts a pause and cancels the imager; the run then ends as usual.
    void stop();

    // Appends the rate sample of an unfinished update, keeping the newest
    // maxSamples; its time is the update's plus earlier, the seconds of the
    // job's earlier runs, so that a resumed copy's samples follow the others.
    static void appendSample(std::vector<RateSample>& samples, const ImagingStats& update, double earlier = 0);

signals:
    void statsChanged();
    void cellsChanged();
    void samplesChanged();
    void pausedChanged();
    void runningChanged();
    void finishedChanged();

private:
    template <class T, class... Args>
    friend std::shared_ptr<T> makeModel(Args&&...);
    ImagingJob(std::string title, std::string imageURL, std::shared_ptr<DiskImager> imager);

    void applyUpdate(const ImagingStats& update, std::vector<RangeMap::Status> cells);
    void setStats(ImagingStats value);
    void setCells(std::vector<RangeMap::Status> value);
    void setPaused(bool value);
    void setRunning(bool value);
    void setFinished(bool value);

    ImagingStats stats_;
    std::vector<RangeMap::Status> cells_;
    std::vector<RateSample> samples_;
    bool paused_ = false;
    bool running_ = false;
    bool finished_ = false;
    // The seconds that the job's ended runs took.
    double earlierRuns_ = 0;
};

using ImagingJobPtr = std::shared_ptr<ImagingJob>;

}  // namespace sovanta::app
