#include "SovantaApp/Models/AppModel.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include <QTimer>

#include "SovantaApp/Models/Observed.h"
#include "SovantaApp/Models/RecoveryJob.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/Preview.h"
#include "SovantaApp/Threads.h"

namespace sovanta::app {

namespace {

// What a failed opening says to the user.
std::string describe(const std::exception_ptr& failure) {
    try {
        std::rethrow_exception(failure);
    } catch (const SourceError& error) {
        return error.description();
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "Ukendt fejl";
    }
}

}  // namespace

AppModel& AppModel::shared() {
    assertMainThread();
    static const AppModelPtr instance = make();
    return *instance;
}

AppModelPtr AppModel::make() { return make(Services{}); }

AppModelPtr AppModel::make(Services services) {
    auto model = makeModel<AppModel>(std::move(services));
    model->refreshDisks();
    std::weak_ptr<AppModel> weak = model;
    model->watcher_ = std::make_unique<DiskWatcher>([weak] {
        if (auto self = weak.lock()) self->refreshDisks();
    });
    return model;
}

AppModel::AppModel(Services services) : services_(std::move(services)) {}

AppModel::~AppModel() = default;

void AppModel::setDisks(std::vector<DiskInfo> value) {
    assignObserved(this, disks_, std::move(value), &AppModel::disksChanged);
}
void AppModel::setSessions(std::vector<SessionPtr> value) {
    assignObserved(this, sessions_, std::move(value), &AppModel::sessionsChanged);
}
void AppModel::setImagingJobs(std::vector<ImagingJobPtr> value) {
    assignObserved(this, imagingJobs_, std::move(value), &AppModel::imagingJobsChanged);
}
void AppModel::setSelection(std::optional<SidebarItem> value) {
    assignObserved(this, selection_, std::move(value), &AppModel::selectionChanged);
}
void AppModel::setLoadingDisks(bool value) {
    assignObserved(this, loadingDisks_, value, &AppModel::loadingDisksChanged);
}
void AppModel::setOpening(std::optional<std::string> value) {
    assignObserved(this, opening_, std::move(value), &AppModel::openingChanged);
}
void AppModel::setErrorMessage(std::optional<std::string> value) {
    assignObserved(this, errorMessage_, std::move(value), &AppModel::errorMessageChanged);
}

// MARK: Lookups

const DiskInfo* AppModel::disk(const std::string& bsdName) const {
    auto it = std::find_if(disks_.begin(), disks_.end(), [&](const DiskInfo& d) { return d.bsdName == bsdName; });
    return it == disks_.end() ? nullptr : &*it;
}

SessionPtr AppModel::session(const Uuid& id) const {
    for (auto& s : sessions_)
        if (s->id == id) return s;
    return nullptr;
}

ImagingJobPtr AppModel::job(const Uuid& id) const {
    for (auto& j : imagingJobs_)
        if (j->id == id) return j;
    return nullptr;
}

SessionPtr AppModel::sessionFor(const std::string& bsdName) const {
    for (auto& s : sessions_)
        if (s->disk && s->source->bsdName == bsdName) return s;
    return nullptr;
}

std::string AppModel::standardized(const std::string& path) {
    std::error_code error;
    auto absolute = std::filesystem::absolute(std::filesystem::path(path), error);
    if (error) absolute = path;
    auto normal = absolute.lexically_normal();
    // "/a/b/" and "/a/b" are one file.
    if (!normal.has_filename() && normal.has_parent_path() && normal != normal.root_path())
        normal = normal.parent_path();
    return normal.string();
}

// MARK: Disk list

void AppModel::refreshDisks() {
    assertMainThread();
    setLoadingDisks(true);
    inBackground([weak = weak_from_this(), load = services_.loadDisks] {
        auto list = load();
        onMain(weak, [list = std::move(list)](AppModel& self) mutable {
            self.setDisks(std::move(list));
            self.setLoadingDisks(false);
            if (auto* selected = self.selection_ ? std::get_if<sidebar::Disk>(&*self.selection_) : nullptr)
                if (!self.disk(selected->bsdName)) self.setSelection(sidebar::Welcome{});
        });
    });
}

// MARK: Opening

void AppModel::openInBackground(std::string opening, std::function<DiskSourcePtr()> open, SourceAction action,
                                std::optional<std::string> image) {
    setOpening(std::move(opening));
    inBackground([weak = weak_from_this(), open = std::move(open), action = std::move(action),
                  image = std::move(image)]() mutable {
        DiskSourcePtr source;
        std::exception_ptr failure;
        try {
            source = open();
        } catch (...) {
            failure = std::current_exception();
        }
        onMain(weak, [source = std::move(source), failure, action = std::move(action),
                      image = std::move(image)](AppModel& self) {
            if (image) std::erase(self.openingImages_, *image);
            // Opened while the program ends: it is closed, not shown.
            if (self.shuttingDown_) {
                self.setOpening(std::nullopt);
                if (source) source->close();
                return;
            }
            if (failure || !source) {
                self.setOpening(std::nullopt);
                self.setErrorMessage(failure ? describe(failure) : "Ukendt fejl");
                return;
            }
            // The opening ends once its session is listed: whoever waits for
            // it to end (the next file handed over) then finds that session.
            action(self, source);
            self.setOpening(std::nullopt);
        });
    });
}

void AppModel::addSession(const std::shared_ptr<Session>& session) {
    auto list = sessions_;
    list.push_back(session);
    setSessions(std::move(list));
    setSelection(sidebar::Session{session->id});
    session->startQuickScan();
}

void AppModel::withDeviceSource(const DiskInfo& disk, SourceAction action) {
    assertMainThread();
    if (auto existing = sessionFor(disk.bsdName)) {
        action(*this, existing->source);
        return;
    }
    openInBackground(
        disk.bsdName,
        [open = services_.openDevice, bsdName = disk.bsdName, displayName = disk.displayName()] {
            return open(bsdName, displayName);
        },
        std::move(action));
}

void AppModel::open(const DiskInfo& disk) {
    assertMainThread();
    if (auto existing = sessionFor(disk.bsdName)) {
        setSelection(sidebar::Session{existing->id});
        return;
    }
    withDeviceSource(disk, [disk](AppModel& model, const DiskSourcePtr& source) {
        model.addSession(Session::make(source, disk.displayName(), disk));
    });
}

std::string AppModel::canonical(const std::string& path) {
    std::error_code error;
    auto resolved = std::filesystem::weakly_canonical(std::filesystem::path(standardized(path)), error);
    return error ? standardized(path) : standardized(resolved.string());
}

void AppModel::openImage(const std::string& url, std::optional<SessionTab> tab) {
    assertMainThread();
    // One file, one session, however the path reaches it (".", "..", links);
    // a file still being opened is not opened a second time.
    auto wanted = canonical(url);
    for (auto& s : sessions_) {
        auto known = imagePaths_.find(s->id.string());
        if (known != imagePaths_.end() && known->second == wanted) {
            setSelection(sidebar::Session{s->id});
            return;
        }
    }
    if (std::find(openingImages_.begin(), openingImages_.end(), wanted) != openingImages_.end()) return;
    openingImages_.push_back(wanted);
    auto name = std::filesystem::path(url).filename().string();
    openInBackground(
        name, [open = services_.openImage, url] { return open(url); },
        [url, name, tab, wanted](AppModel& model, const DiskSourcePtr& source) {
            auto session = Session::make(source, name);
            session->setImageURL(url);
            model.imagePaths_[session->id.string()] = wanted;
            if (tab) session->setTab(*tab);
            model.addSession(session);
            if (const char* testImage = std::getenv("SOVANTA_TEST_IMAGING"))
                model.startImaging(session, testImage, ImagingOptions{1, 1048576, 268435456});
        },
        wanted);
}

void AppModel::presentOpenImagePanel() {
    assertMainThread();
    auto chosen = Panels::openFile({"Åbn diskbillede", "Vælg et diskbillede (.img, .dd, .raw, .dmg …)"});
    if (chosen && !chosen->empty()) openImage(*chosen);
}

// MARK: Closing

void AppModel::close(const SessionPtr& session) {
    assertMainThread();
    if (!session) return;
    if (session->reporter) session->reporter->cancel();
    auto list = sessions_;
    std::erase_if(list, [&](const SessionPtr& s) { return s->id == session->id; });
    imagePaths_.erase(session->id.string());
    setSessions(std::move(list));
    if (selection_ == SidebarItem(sidebar::Session{session->id})) {
        if (session->disk)
            setSelection(sidebar::Disk{session->disk->bsdName});
        else
            setSelection(sidebar::Welcome{});
    }
    // A job that runs, or that has bytes left to try again, still copies from
    // this source: it stays open for the job and closes when the job lets go.
    bool held = std::any_of(imagingJobs_.begin(), imagingJobs_.end(), [&](const ImagingJobPtr& j) {
        return j->imager->source == session->source && j->needsSource();
    });
    if (!held) inBackground([source = session->source] { source->close(); });
    Preview::cleanup();
}

// MARK: Imaging

void AppModel::startJob(const std::string& title, const DiskSourcePtr& source, const std::string& imageURL,
                        const ImagingOptions& options) {
    auto imager = std::make_shared<DiskImager>(source, imageURL, options);
    auto job = ImagingJob::make(title, imageURL, std::move(imager));
    auto list = imagingJobs_;
    list.push_back(job);
    setImagingJobs(std::move(list));
    setSelection(sidebar::Imaging{job->id});
    job->start();
}

void AppModel::startImaging(const SessionPtr& session, const std::string& imageURL, const ImagingOptions& options) {
    assertMainThread();
    startJob(session->title, session->source, imageURL, options);
}

void AppModel::startImaging(const DiskInfo& disk, const std::string& imageURL, const ImagingOptions& options) {
    withDeviceSource(disk, [title = disk.displayName(), imageURL, options](AppModel& model,
                                                                          const DiskSourcePtr& source) {
        model.startJob(title, source, imageURL, options);
    });
}

void AppModel::removeJob(const ImagingJobPtr& job) {
    assertMainThread();
    if (!job) return;
    job->stop();
    auto list = imagingJobs_;
    std::erase_if(list, [&](const ImagingJobPtr& j) { return j->id == job->id; });
    setImagingJobs(std::move(list));
    if (selection_ == SidebarItem(sidebar::Imaging{job->id})) setSelection(sidebar::Welcome{});
}

// MARK: End

void AppModel::shutDown(std::function<void()> done) {
    assertMainThread();
    if (shuttingDown_) return;
    shuttingDown_ = true;
    for (auto& session : sessions_)
        if (session->reporter) session->reporter->cancel();
    for (auto& job : imagingJobs_)
        if (job->running()) job->stop();
    for (auto& job : RecoveryJob::runningJobs()) job->reporter->cancel();
    // The jobs end at their next check of the flag, each on its own thread,
    // and say so on this one; until then the sources stay open for them.
    auto* wait = new QTimer(this);
    wait->setInterval(20);
    connect(wait, &QTimer::timeout, this, [this, wait, done = std::move(done)] {
        bool imaging = std::any_of(imagingJobs_.begin(), imagingJobs_.end(),
                                   [](const ImagingJobPtr& job) { return job->running(); });
        // An opening in flight may hold an attached image: its source is
        // closed as it arrives.
        if (imaging || opening_ || !RecoveryJob::runningJobs().empty()) return;
        wait->stop();
        wait->deleteLater();
        for (auto& session : sessions_) session->source->close();
        for (auto& job : imagingJobs_) job->imager->source->close();
        Preview::cleanup();
        if (done) done();
    });
    wait->start();
}

}  // namespace sovanta::app
