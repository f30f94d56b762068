// The application's one shared state: the disk list, the open sessions and
// imaging jobs, the sidebar selection, and every operation that changes them.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>

#include "SovantaApp/DiskWatcher.h"
#include "SovantaApp/Models/ImagingJob.h"
#include "SovantaApp/Models/Session.h"
#include "SovantaApp/Models/SidebarItem.h"
#include "SovantaCore/DiskList.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Imager.h"

namespace sovanta::app {

class AppModel : public QObject, public std::enable_shared_from_this<AppModel> {
    Q_OBJECT
    Q_PROPERTY(bool loadingDisks READ loadingDisks NOTIFY loadingDisksChanged)

public:
    // The calls into the core that reach the machine. They run on background
    // threads (an opening may wait there for the administrator's password);
    // the openers throw SourceError. Tests hand in their own. A source opened
    // while SOVANTA_SIMULATE_BAD is set fails to read in its ranges, as the
    // command-line tool's does.
    struct Services {
        std::function<std::vector<DiskInfo>()> loadDisks = [] { return DiskList::load(); };
        std::function<DiskSourcePtr(const std::string& bsdName, const std::string& displayName)> openDevice =
            [](const std::string& bsdName, const std::string& displayName) {
                return SourceOpener::openDevice(bsdName, displayName, SourceOptions::fromEnvironment());
            };
        std::function<DiskSourcePtr(const std::string& path)> openImage = [](const std::string& path) {
            return SourceOpener::openImage(path, SourceOptions::fromEnvironment());
        };
    };

    // The one model, made on first use on the GUI thread.
    static AppModel& shared();
    // A model of its own: starts a disk-list load and its disk watcher.
    static std::shared_ptr<AppModel> make();
    static std::shared_ptr<AppModel> make(Services services);
    ~AppModel() override;

    const std::vector<DiskInfo>& disks() const { return disks_; }
    const std::vector<SessionPtr>& sessions() const { return sessions_; }
    const std::vector<ImagingJobPtr>& imagingJobs() const { return imagingJobs_; }
    const std::optional<SidebarItem>& selection() const { return selection_; }
    bool loadingDisks() const { return loadingDisks_; }
    const std::optional<std::string>& opening() const { return opening_; }
    const std::optional<std::string>& errorMessage() const { return errorMessage_; }
    // Kept for the model's life; absent only before construction ends.
    DiskWatcher* watcher() const { return watcher_.get(); }

    // The sidebar writes the selection, the window clears the message.
    void setSelection(std::optional<SidebarItem> value);
    void setErrorMessage(std::optional<std::string> value);

    void refreshDisks();
    const DiskInfo* disk(const std::string& bsdName) const;
    SessionPtr session(const Uuid& id) const;
    ImagingJobPtr job(const Uuid& id) const;
    // The first session opened from that disk.
    SessionPtr sessionFor(const std::string& bsdName) const;

    void open(const DiskInfo& disk);
    void openImage(const std::string& url, std::optional<SessionTab> tab = std::nullopt);
    void presentOpenImagePanel();
    void close(const SessionPtr& session);
    void startImaging(const DiskInfo& disk, const std::string& imageURL, const ImagingOptions& options);
    void startImaging(const SessionPtr& session, const std::string& imageURL, const ImagingOptions& options);
    void removeJob(const ImagingJobPtr& job);
    // The orderly end of the program (a SIGTERM or SIGINT): stops the scans,
    // the imaging jobs and the recoveries, and once the jobs have ended (the
    // imaging maps saved, the recoveries' files named and their reports
    // closed) closes every source, which releases attached disk images and
    // their temporary files; then calls done. A second call does nothing.
    void shutDown(std::function<void()> done);

    // A path as one file: absolute, without "." and ".." segments.
    static std::string standardized(const std::string& path);
    // The same with symbolic links resolved as far as the path exists: the
    // file that the path reaches.
    static std::string canonical(const std::string& path);

signals:
    void disksChanged();
    void sessionsChanged();
    void imagingJobsChanged();
    void selectionChanged();
    void loadingDisksChanged();
    void openingChanged();
    void errorMessageChanged();

private:
    template <class T, class... Args>
    friend std::shared_ptr<T> makeModel(Args&&...);
    explicit AppModel(Services services);

    using SourceAction = std::function<void(AppModel&, const DiskSourcePtr&)>;
    void withDeviceSource(const DiskInfo& disk, SourceAction action);
    // Opens a source off the GUI thread with the banner showing opening; on
    // the GUI thread a failure becomes the error message, a source goes to action.
    // image: the canonical path of an image file, listed as being opened until then.
    void openInBackground(std::string opening, std::function<DiskSourcePtr()> open, SourceAction action,
                          std::optional<std::string> image = std::nullopt);
    // Adds a new session, selects it and starts its quick scan.
    void addSession(const std::shared_ptr<Session>& session);
    void startJob(const std::string& title, const DiskSourcePtr& source, const std::string& imageURL,
                  const ImagingOptions& options);

    void setDisks(std::vector<DiskInfo> value);
    void setSessions(std::vector<SessionPtr> value);
    void setImagingJobs(std::vector<ImagingJobPtr> value);
    void setLoadingDisks(bool value);
    void setOpening(std::optional<std::string> value);

    const Services services_;
    std::vector<DiskInfo> disks_;
    std::vector<SessionPtr> sessions_;
    std::vector<ImagingJobPtr> imagingJobs_;
    std::optional<SidebarItem> selection_ = sidebar::Welcome{};
    bool loadingDisks_ = false;
    std::optional<std::string> opening_;
    // The canonical paths of the image files being opened.
    std::vector<std::string> openingImages_;
    // The resolved path of each image session's file, by session id, kept
    // from its opening so that a later opening resolves only its own path.
    std::map<std::string, std::string> imagePaths_;
    std::optional<std::string> errorMessage_;
    std::unique_ptr<DiskWatcher> watcher_;
    bool shuttingDown_ = false;
};

using AppModelPtr = std::shared_ptr<AppModel>;

}  // namespace sovanta::app
