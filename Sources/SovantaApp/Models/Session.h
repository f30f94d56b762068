// The application's state for one opened source: its two scans run in the
// background and merged on the GUI thread, the per-volume totals, and the view
// state that the session page, the file browser and the sector view share.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QObject>

#include "SovantaApp/Models/SessionTab.h"
#include "SovantaApp/Models/TaskPhase.h"
#include "SovantaApp/Models/VolumeStats.h"
#include "SovantaCore/DiskList.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/Partitions.h"
#include "SovantaCore/Scanner.h"

namespace sovanta::app {

class Session : public QObject, public std::enable_shared_from_this<Session> {
    Q_OBJECT
    Q_PROPERTY(TaskPhase quick READ quick NOTIFY quickChanged)
    Q_PROPERTY(TaskPhase deep READ deep NOTIFY deepChanged)
    Q_PROPERTY(bool deepCompleted READ deepCompleted NOTIFY deepCompletedChanged)
    Q_PROPERTY(SessionTab tab READ tab WRITE setTab NOTIFY tabChanged)
    Q_PROPERTY(int treeVersion READ treeVersion NOTIFY treeVersionChanged)
    Q_PROPERTY(qint64 badSectors READ badSectors NOTIFY badSectorsChanged)
    Q_PROPERTY(quint64 sectorOffset READ sectorOffset WRITE setSectorOffset NOTIFY sectorOffsetChanged)

public:
    // Reads SOVANTA_TEST_DEEP once; starts nothing.
    static std::shared_ptr<Session> make(DiskSourcePtr source, std::string title,
                                         std::optional<DiskInfo> disk = std::nullopt);
    ~Session() override;

    const Uuid id;
    const DiskSourcePtr source;
    const std::string title;
    const std::optional<DiskInfo> disk;

    // Start one deep scan by itself after the next quick scan.
    bool autoDeepScan = false;
    // The progress and cancel object of the running or last scan.
    std::shared_ptr<WorkProgress> reporter;

    const std::optional<std::string>& imageURL() const { return imageURL_; }
    const std::optional<PartitionLayout>& layout() const { return layout_; }
    const std::vector<VolumePtr>& volumes() const { return volumes_; }
    const std::vector<std::string>& notes() const { return notes_; }
    const TaskPhase& quick() const { return quick_; }
    const TaskPhase& deep() const { return deep_; }
    const DeepScanStats& deepStats() const { return deepStats_; }
    const DeepScanOptions& deepOptions() const { return deepOptions_; }
    bool deepCompleted() const { return deepCompleted_; }
    SessionTab tab() const { return tab_; }
    int treeVersion() const { return treeVersion_; }
    int64_t badSectors() const { return badSectors_; }
    const std::optional<Uuid>& selectedVolumeID() const { return selectedVolumeID_; }
    uint64_t sectorOffset() const { return sectorOffset_; }
    const std::map<Uuid, VolumeStats>& volumeStats() const { return volumeStats_; }

    void setImageURL(std::optional<std::string> value);
    void setDeepOptions(DeepScanOptions value);
    void setTab(SessionTab value);
    void setSelectedVolumeID(std::optional<Uuid> value);
    void setSectorOffset(uint64_t value);

    // Each starts its scan unless one of the two runs.
    void startQuickScan();
    void startDeepScan();
    // Recomputes volumeStats from the current volumes.
    void refreshStats();

signals:
    void imageURLChanged();
    void layoutChanged();
    void volumesChanged();
    void notesChanged();
    void quickChanged();
    void deepChanged();
    void deepStatsChanged();
    void deepOptionsChanged();
    void deepCompletedChanged();
    void tabChanged();
    void treeVersionChanged();
    void badSectorsChanged();
    void selectedVolumeIDChanged();
    void sectorOffsetChanged();
    void volumeStatsChanged();

private:
    template <class T, class... Args>
    friend std::shared_ptr<T> makeModel(Args&&...);
    Session(DiskSourcePtr source, std::string title, std::optional<DiskInfo> disk);

    struct DeepOutcome;
    void quickMerge(QuickScanResult result, const WorkProgress& scanReporter, int64_t unreadable);
    void deepMerge(DeepOutcome outcome, const WorkProgress& scanReporter);
    void attachFolder(const VolumePtr& volume, const FileNodePtr& folder);
    void finishMerge(int64_t unreadable);

    void setLayout(std::optional<PartitionLayout> value);
    void setVolumes(std::vector<VolumePtr> value);
    void setNotes(std::vector<std::string> value);
    void setQuick(TaskPhase value);
    void setDeep(TaskPhase value);
    void setDeepStats(DeepScanStats value);
    void setDeepCompleted(bool value);
    void setBadSectors(int64_t value);

    std::optional<std::string> imageURL_;
    std::optional<PartitionLayout> layout_;
    std::vector<VolumePtr> volumes_;
    std::vector<std::string> notes_;
    TaskPhase quick_ = phase::Idle{};
    TaskPhase deep_ = phase::Idle{};
    DeepScanStats deepStats_;
    DeepScanOptions deepOptions_;
    bool deepCompleted_ = false;
    SessionTab tab_ = SessionTab::overview;
    int treeVersion_ = 0;
    int64_t badSectors_ = 0;
    std::optional<Uuid> selectedVolumeID_;
    uint64_t sectorOffset_ = 0;
    std::map<Uuid, VolumeStats> volumeStats_;

    // The folders that deep scans attached to each volume's root, so that a
    // repeated deep scan adds to them instead of attaching them a second time.
    std::map<Uuid, std::vector<FileNodePtr>> deepFolders_;
};

using SessionPtr = std::shared_ptr<Session>;

}  // namespace sovanta::app
