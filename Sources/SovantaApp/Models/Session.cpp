#include "SovantaApp/Models/Session.h"

#include <algorithm>
#include <cstdlib>
#include <tuple>
#include <utility>

#include "SovantaApp/Models/Observed.h"
#include "SovantaApp/Threads.h"

namespace sovanta::app {

namespace {

constexpr const char* readingTableMessage = "Læser partitionstabel …";
constexpr const char* sweepingMessage = "Scanner hele disken …";
constexpr const char* analysingMessage = "Analyserer fund …";

bool sameOptions(const DeepScanOptions& a, const DeepScanOptions& b) {
    return a.carve == b.carve && a.categories == b.categories && a.findVolumes == b.findVolumes;
}

// A folder's identity on disk, as far as a repeated deep scan can tell.
auto identity(const FileNode& node) { return std::make_tuple(node.name, node.isDirectory, node.fsID); }

// Adds to into the children of from that into does not hold yet (same name,
// kind and fsID), and does the same for the folders both hold.
void mergeFolder(const FileNodePtr& into, const FileNodePtr& from) {
    std::vector<std::pair<FileNodePtr, FileNodePtr>> work{{into, from}};
    while (!work.empty()) {
        auto [target, source] = work.back();
        work.pop_back();
        std::map<decltype(identity(*target)), FileNodePtr> present;
        for (auto& child : target->children()) present.emplace(identity(*child), child);
        auto incoming = source->children();
        for (auto& child : incoming) {
            auto it = present.find(identity(*child));
            if (it == present.end())
                target->add(child);
            else if (child->isDirectory && it->second->isDirectory)
                work.emplace_back(it->second, child);
        }
    }
}

}  // namespace

struct Session::DeepOutcome {
    std::vector<VolumePtr> volumes;  // new volumes, the carved volume last
    std::vector<std::pair<VolumePtr, FileNodePtr>> folders;
    bool completed = false;
    int64_t unreadable = 0;  // known bad sectors plus failed reads, counted by the worker
};

SessionPtr Session::make(DiskSourcePtr source, std::string title, std::optional<DiskInfo> disk) {
    return makeModel<Session>(std::move(source), std::move(title), std::move(disk));
}

Session::Session(DiskSourcePtr openedSource, std::string sessionTitle, std::optional<DiskInfo> diskInfo)
    : id(Uuid::random()), source(std::move(openedSource)), title(std::move(sessionTitle)), disk(std::move(diskInfo)) {
    autoDeepScan = std::getenv("SOVANTA_TEST_DEEP") != nullptr;
}

Session::~Session() = default;

void Session::setImageURL(std::optional<std::string> value) {
    assignObserved(this, imageURL_, std::move(value), &Session::imageURLChanged);
}
void Session::setLayout(std::optional<PartitionLayout> value) {
    assignObserved(this, layout_, std::move(value), &Session::layoutChanged);
}
void Session::setVolumes(std::vector<VolumePtr> value) {
    assignObserved(this, volumes_, std::move(value), &Session::volumesChanged);
}
void Session::setNotes(std::vector<std::string> value) {
    assignObserved(this, notes_, std::move(value), &Session::notesChanged);
}
void Session::setQuick(TaskPhase value) { assignObserved(this, quick_, std::move(value), &Session::quickChanged); }
void Session::setDeep(TaskPhase value) { assignObserved(this, deep_, std::move(value), &Session::deepChanged); }
void Session::setDeepStats(DeepScanStats value) {
    assignObserved(this, deepStats_, std::move(value), &Session::deepStatsChanged);
}
void Session::setDeepOptions(DeepScanOptions value) {
    assertMainThread();
    if (sameOptions(deepOptions_, value)) return;
    deepOptions_ = std::move(value);
    emit deepOptionsChanged();
}
void Session::setDeepCompleted(bool value) {
    assignObserved(this, deepCompleted_, value, &Session::deepCompletedChanged);
}
void Session::setTab(SessionTab value) { assignObserved(this, tab_, value, &Session::tabChanged); }
void Session::setBadSectors(int64_t value) {
    assignObserved(this, badSectors_, value, &Session::badSectorsChanged);
}
void Session::setSelectedVolumeID(std::optional<Uuid> value) {
    assignObserved(this, selectedVolumeID_, std::move(value), &Session::selectedVolumeIDChanged);
}
void Session::setSectorOffset(uint64_t value) {
    assignObserved(this, sectorOffset_, value, &Session::sectorOffsetChanged);
}

// MARK: Quick scan

void Session::startQuickScan() {
    assertMainThread();
    if (isRunning(quick_) || isRunning(deep_)) return;
    ProgressHandOver<Session> progress(0.15, weak_from_this());
    auto scanReporter = std::make_shared<WorkProgress>([progress](double fraction, const std::string& message) {
        progress.post([fraction, message](Session& self) {
            self.setQuick(phase::Running{fraction > 0 ? std::optional(fraction) : std::nullopt, message});
        });
    });
    reporter = scanReporter;
    setQuick(phase::Running{std::nullopt, readingTableMessage});
    // The worker hands its hold on the session to its last step, so that the
    // session is never released on the worker thread. It also counts the
    // unreadable sectors: the source's counters wait for any read in flight
    // (a preview's, on a failing disk for long), which the GUI thread must not.
    inBackground([self = shared_from_this(), scanReporter]() mutable {
        auto result = QuickScanner::run(*self->source, *scanReporter);
        // Each folder's totals, counted here once, are kept from now on as
        // children are added: the GUI thread reads them without a walk.
        for (auto& volume : result.volumes) volume->root->keepTotals();
        const int64_t unreadable = self->source->unreadableSectorCount();
        onMain([self = std::move(self), scanReporter, result = std::move(result), unreadable]() mutable {
            self->quickMerge(std::move(result), *scanReporter, unreadable);
        });
    });
}

void Session::quickMerge(QuickScanResult result, const WorkProgress& scanReporter, int64_t unreadable) {
    setLayout(std::move(result.layout));
    std::vector<VolumePtr> merged = std::move(result.volumes);
    for (auto& v : volumes_)
        if (v->origin != origin::partitionTable) merged.push_back(v);
    setVolumes(std::move(merged));
    setNotes(std::move(result.notes));
    setQuick(scanReporter.isCancelled() ? TaskPhase(phase::Cancelled{}) : TaskPhase(phase::Finished{}));
    finishMerge(unreadable);
    if (autoDeepScan) {
        autoDeepScan = false;
        startDeepScan();
    }
}

// Steps 5 to 8 of both merges. The count of unreadable sectors never falls:
// the source forgets none, and a later quick scan, whose reads do not meet
// what the deep sweep met, must not hide it.
void Session::finishMerge(int64_t unreadable) {
    setBadSectors(std::max(badSectors_, unreadable));
    if (!selectedVolumeID_ && !volumes_.empty()) setSelectedVolumeID(volumes_.front()->id);
    refreshStats();
    ++treeVersion_;
    emit treeVersionChanged();
}

void Session::refreshStats() {
    assertMainThread();
    std::map<Uuid, VolumeStats> stats;
    for (auto& v : volumes_) {
        const auto& t = v->root->keptTotals();
        stats[v->id] = VolumeStats{t.files, t.folders, t.bytes, t.deleted};
    }
    // Folders attached by deep scans to volumes that have left the list go with them.
    std::erase_if(deepFolders_, [&](const auto& entry) { return !stats.count(entry.first); });
    assignObserved(this, volumeStats_, std::move(stats), &Session::volumeStatsChanged);
}

// MARK: Deep scan

void Session::startDeepScan() {
    assertMainThread();
    if (isRunning(quick_) || isRunning(deep_)) return;
    ProgressHandOver<Session> progress(0.25, weak_from_this());
    auto scanReporter = std::make_shared<WorkProgress>([progress](double fraction, const std::string& message) {
        progress.post([fraction, message](Session& self) { self.setDeep(phase::Running{fraction, message}); });
    });
    reporter = scanReporter;
    setDeep(phase::Running{0.0, sweepingMessage});
    setDeepStats(DeepScanStats{});
    std::vector<VolumePtr> known;
    for (auto& v : volumes_)
        if (v->type != FileSystemType::carved) known.push_back(v);

    inBackground([self = shared_from_this(), scanReporter, options = deepOptions_, known = std::move(known)]() mutable {
        DeepScanner scanner(self->source, options);
        auto scanned = scanner.scan(
            known, *scanReporter,
            [&self](const DeepScanStats& stats) {
                onMain([self, stats] {
                    self->setDeepStats(stats);
                    self->setDeep(phase::Running{stats.fraction(), sweepingMessage});
                });
            },
            [&self](const DeepScanResult&) {
                onMain([self] { self->setDeep(phase::Running{std::nullopt, analysingMessage}); });
            });
        // The sweep reads fast: a failing area is given up in blocks without
        // marking any sector bad, and those blocks' sectors count too (never
        // the failed reads, which are no sectors). Taken now that the building
        // steps have read too, here rather than on the GUI thread (see the
        // quick scan).
        DeepOutcome outcome{std::move(scanned.volumes), std::move(scanned.folders), scanned.result.completed,
                            self->source->unreadableSectorCount()};
        if (scanned.carved) outcome.volumes.push_back(*scanned.carved);
        for (auto& volume : outcome.volumes) volume->root->keepTotals();
        for (auto& [volume, folder] : outcome.folders) folder->keepTotals();
        onMain([self = std::move(self), scanReporter, outcome = std::move(outcome)]() mutable {
            self->deepMerge(std::move(outcome), *scanReporter);
        });
    });
}

void Session::deepMerge(DeepOutcome outcome, const WorkProgress& scanReporter) {
    for (auto& [volume, folder] : outcome.folders) attachFolder(volume, folder);
    std::vector<VolumePtr> merged;
    for (auto& v : volumes_)
        if (v->type != FileSystemType::carved) merged.push_back(v);
    merged.insert(merged.end(), outcome.volumes.begin(), outcome.volumes.end());
    setVolumes(std::move(merged));
    setDeepCompleted(outcome.completed);
    setDeep(scanReporter.isCancelled() ? TaskPhase(phase::Cancelled{}) : TaskPhase(phase::Finished{}));
    finishMerge(outcome.unreadable);
}

// A folder that an earlier deep scan attached to the same volume (same name
// and fsID) is not attached again: what it holds that the earlier one lacks
// goes into the earlier one, so a repeated scan neither doubles nor loses finds.
void Session::attachFolder(const VolumePtr& volume, const FileNodePtr& folder) {
    auto& attached = deepFolders_[volume->id];
    for (auto& earlier : attached) {
        if (identity(*earlier) == identity(*folder) && earlier->parent() == volume->root) {
            mergeFolder(earlier, folder);
            return;
        }
    }
    volume->root->add(folder);
    attached.push_back(folder);
}

}  // namespace sovanta::app
