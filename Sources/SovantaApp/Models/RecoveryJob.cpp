#include "SovantaApp/Models/RecoveryJob.h"

#include "SovantaApp/Models/Observed.h"
#include "SovantaApp/Threads.h"

namespace sovanta::app {

namespace {
// Every job with a run going on, so that the application can stop them all
// when it is told to end; touched on the GUI thread only.
std::vector<std::weak_ptr<RecoveryJob>>& runs() {
    static std::vector<std::weak_ptr<RecoveryJob>> list;
    return list;
}
}  // namespace

std::vector<RecoveryJobPtr> RecoveryJob::runningJobs() {
    assertMainThread();
    std::vector<RecoveryJobPtr> out;
    std::erase_if(runs(), [&](const std::weak_ptr<RecoveryJob>& weak) {
        auto job = weak.lock();
        if (!job || !job->running()) return true;
        out.push_back(std::move(job));
        return false;
    });
    return out;
}

RecoveryJobPtr RecoveryJob::make() { return makeModel<RecoveryJob>(); }

RecoveryJob::~RecoveryJob() = default;

void RecoveryJob::setProgress(RecoveryProgress value) {
    assertMainThread();
    progress_ = std::move(value);
    emit progressChanged();
}
void RecoveryJob::setResult(std::optional<RecoveryResult> value) {
    assertMainThread();
    result_ = std::move(value);
    emit resultChanged();
}
void RecoveryJob::setRunning(bool value) { assignObserved(this, running_, value, &RecoveryJob::runningChanged); }

void RecoveryJob::start(const std::vector<FileNodePtr>& nodes, const std::string& rootName, DiskSourcePtr source,
                        const std::filesystem::path& destination, const RecoveryOptions& options) {
    assertMainThread();
    if (running_) return;
    setRunning(true);
    setResult(std::nullopt);
    runs().push_back(weak_from_this());
    auto runReporter = std::make_shared<WorkProgress>();
    reporter = runReporter;
    ProgressHandOver<RecoveryJob> progress(0.1, weak_from_this());
    // What the trees hold now is what is copied; later adds are left out.
    const uint64_t addedUpTo = FileNode::additions();
    inBackground([self = shared_from_this(), runReporter, progress, nodes = std::vector<FileNodePtr>(nodes), rootName,
                  source = std::move(source), destination, options, addedUpTo]() mutable {
        const RecoveryPlan plan = RecoveryEngine::plan(nodes, options, addedUpTo);
        nodes.clear();
        auto result = RecoveryEngine::copy(plan, rootName, *source, destination, options, *runReporter,
                                           [&progress](const RecoveryProgress& update) {
                                               progress.post([update](RecoveryJob& job) { job.setProgress(update); });
                                           });
        onMain([self = std::move(self), result = std::move(result)]() mutable {
            self->setResult(std::move(result));
            self->setRunning(false);
        });
    });
}

}  // namespace sovanta::app
