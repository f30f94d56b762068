// One recovery of chosen files out of a session, run by the core's recovery
// engine in the background, with its throttled progress and its result.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/Recovery.h"

namespace sovanta::app {

class RecoveryJob : public QObject, public std::enable_shared_from_this<RecoveryJob> {
    Q_OBJECT
    Q_PROPERTY(bool running READ running NOTIFY runningChanged)

public:
    static std::shared_ptr<RecoveryJob> make();
    ~RecoveryJob() override;

    // The cancel object of the current run; a new one at every start.
    std::shared_ptr<WorkProgress> reporter = std::make_shared<WorkProgress>();

    const RecoveryProgress& progress() const { return progress_; }
    const std::optional<RecoveryResult>& result() const { return result_; }
    bool running() const { return running_; }

    // Copies the files among nodes, and those below the folders among them,
    // unless a run goes on. Which files and where they go is settled first, on
    // the worker, from snapshots of the folders' children: the session may add
    // to the same trees meanwhile, and what it adds after the start is not copied.
    void start(const std::vector<FileNodePtr>& nodes, const std::string& rootName, DiskSourcePtr source,
               const std::filesystem::path& destination, const RecoveryOptions& options);

    // The jobs of this process whose run goes on; on the GUI thread.
    static std::vector<std::shared_ptr<RecoveryJob>> runningJobs();

signals:
    void progressChanged();
    void resultChanged();
    void runningChanged();

private:
    template <class T, class... Args>
    friend std::shared_ptr<T> makeModel(Args&&...);
    RecoveryJob() = default;

    void setProgress(RecoveryProgress value);
    void setResult(std::optional<RecoveryResult> value);
    void setRunning(bool value);

    RecoveryProgress progress_;
    std::optional<RecoveryResult> result_;
    bool running_ = false;
};

using RecoveryJobPtr = std::shared_ptr<RecoveryJob>;

}  // namespace sovanta::app
