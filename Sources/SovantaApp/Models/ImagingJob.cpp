#include "SovantaApp/Models/ImagingJob.h"

#include "SovantaApp/Models/Observed.h"
#include "SovantaApp/Threads.h"

namespace sovanta::app {

ImagingJobPtr ImagingJob::make(std::string title, std::string imageURL, std::shared_ptr<DiskImager> imager) {
    auto job = makeModel<ImagingJob>(std::move(title), std::move(imageURL), std::move(imager));
    job->setCells(job->imager->map->cells(cellCount));
    return job;
}

ImagingJob::ImagingJob(std::string jobTitle, std::string imagePath, std::shared_ptr<DiskImager> jobImager)
    : id(Uuid::random()), title(std::move(jobTitle)), imageURL(std::move(imagePath)), imager(std::move(jobImager)) {}

ImagingJob::~ImagingJob() = default;

double ImagingJob::fraction() const {
    if (stats_.total == 0) return 0;
    return static_cast<double>(stats_.rescued + stats_.bad) / static_cast<double>(stats_.total);
}

bool ImagingJob::copiedCompletely() const {
    // The imager names a run that was stopped or lost its source "Stoppet";
    // bytes still pending or found bad mean the image is not a full copy.
    return finished_ && stats_.finished && stats_.phase == "Færdig" && stats_.bad == 0 && stats_.pending == 0 &&
           stats_.rescued == stats_.total;
}

void ImagingJob::setStats(ImagingStats value) {
    assertMainThread();
    stats_ = std::move(value);
    emit statsChanged();
}
void ImagingJob::setCells(std::vector<RangeMap::Status> value) {
    assignObserved(this, cells_, std::move(value), &ImagingJob::cellsChanged);
}
void ImagingJob::setPaused(bool value) { assignObserved(this, paused_, value, &ImagingJob::pausedChanged); }
void ImagingJob::setRunning(bool value) { assignObserved(this, running_, value, &ImagingJob::runningChanged); }
void ImagingJob::setFinished(bool value) { assignObserved(this, finished_, value, &ImagingJob::finishedChanged); }

void ImagingJob::start() {
    assertMainThread();
    if (running_) return;
    setRunning(true);
    setFinished(false);
    // A stop from here on, even before the run has begun, ends this run.
    imager->clearCancel();
    using Progress = ProgressHandOver<ImagingJob>;
    Progress progress(0.4, weak_from_this());
    inBackground([self = shared_from_this(), progress]() mutable {
        self->imager->run([&self, &progress](const ImagingStats& update) {
            // The map's cells are gathered only for an update that goes; the last always goes.
            progress.postMade(
                [&] {
                    return [update, cells = self->imager->map->cells(cellCount)](ImagingJob& job) mutable {
                        job.applyUpdate(update, std::move(cells));
                    };
                },
                update.finished ? Progress::Pass::always : Progress::Pass::whenDue);
        });
        onMain([self = std::move(self)] {
            self->setStats(self->imager->currentStats());
            self->earlierRuns_ += self->stats_.elapsed;
            self->setCells(self->imager->map->cells(cellCount));
            self->setRunning(false);
            self->setFinished(true);
        });
    });
}

void ImagingJob::applyUpdate(const ImagingStats& update, std::vector<RangeMap::Status> cells) {
    setStats(update);
    setCells(std::move(cells));
    if (update.finished) return;
    appendSample(samples_, update, earlierRuns_);
    emit samplesChanged();
}

void ImagingJob::appendSample(std::vector<RateSample>& samples, const ImagingStats& update, double earlier) {
    samples.push_back(RateSample{Uuid::random(), earlier + update.elapsed, update.currentRate / 1'000'000.0});
    if (samples.size() > maxSamples)
        samples.erase(samples.begin(), samples.begin() + static_cast<ptrdiff_t>(samples.size() - maxSamples));
}

void ImagingJob::togglePause() {
    assertMainThread();
    setPaused(!paused_);
    imager->setPaused(paused_);
}

void ImagingJob::stop() {
    assertMainThread();
    imager->setPaused(false);
    setPaused(false);
    imager->cancel();
}

}  // namespace sovanta::app
