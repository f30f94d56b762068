// The overview tab of a session: the quick scan's status, the advice for a
// disk with unreadable sectors, the partition layout, the volumes found with
// their totals, the deep scan and the session's notes.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QLabel>
#include <QScrollArea>

#include "SovantaApp/Components.h"
#include "SovantaApp/Models/Session.h"

class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace sovanta::app {

class DeepScanCard;

// A text on a capsule of its colour at 15 %, the text in the colour itself.
class Badge : public QLabel {
    Q_OBJECT
public:
    Badge(const QString& text, QColor colour, QWidget* parent = nullptr);
    QColor colour() const { return colour_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor colour_;
};

// One volume: its icon, label, type and origin, its totals and notes, and the
// button that shows its files.
class VolumeRow : public QWidget {
    Q_OBJECT
public:
    VolumeRow(VolumePtr volume, std::optional<VolumeStats> stats, std::function<void()> open,
              QWidget* parent = nullptr);
    // "12 filer · 3 mapper · 1,2 MB", with " · N slettede/fundne" when any.
    static std::string statsText(const VolumeStats& stats);

    const VolumePtr& volume() const { return volume_; }
    SymbolView* symbolView() const { return symbol_; }
    QLabel* labelLabel() const { return label_; }
    Badge* badge() const { return badge_; }
    QLabel* originLabel() const { return origin_; }
    // Null when the volume has no totals.
    QLabel* statsLabel() const { return stats_; }
    const std::vector<QLabel*>& noteLabels() const { return notes_; }
    QPushButton* openButton() const { return open_; }

private:
    VolumePtr volume_;
    SymbolView* symbol_;
    QLabel* label_;
    Badge* badge_;
    QLabel* origin_;
    QLabel* stats_ = nullptr;
    std::vector<QLabel*> notes_;
    QPushButton* open_;
};

class OverviewView : public QScrollArea {
    Q_OBJECT
public:
    explicit OverviewView(SessionPtr session, QWidget* parent = nullptr);

    // The partition bar's segments of a layout, in entry order.
    static std::vector<PartitionBar::Segment> segments(const PartitionLayout& layout);

    // Shown while the quick scan runs.
    Card* quickCard() const { return quickCard_; }
    QLabel* quickMessage() const { return quickMessage_; }
    QPushButton* quickStopButton() const { return quickStop_; }
    // Shown while the running phase has a fraction.
    QProgressBar* quickBar() const { return quickBar_; }
    // Null while the source has no unreadable sectors.
    Callout* badSectorAdvice() const { return advice_; }

    Card* layoutCard() const { return layoutCard_; }
    // The layout's scheme; null without a layout.
    QLabel* schemeLabel() const { return scheme_; }
    // Null while the layout has no entries.
    PartitionBar* partitionBar() const { return bar_; }
    // The grid's cells: the header row, then one row per entry.
    const std::vector<std::vector<QLabel*>>& layoutCells() const { return cells_; }
    // The line shown in place of the partitions; null when there are some.
    QLabel* layoutEmptyLabel() const { return layoutEmpty_; }

    Card* volumesCard() const { return volumesCard_; }
    const std::vector<VolumeRow*>& volumeRows() const { return rows_; }
    // The line shown while there are no volumes; null when there are some.
    QLabel* volumesEmptyLabel() const { return volumesEmpty_; }

    DeepScanCard* deepScanCard() const { return deepCard_; }
    const std::vector<Callout*>& noteCallouts() const { return notes_; }

private:
    Card* makeQuickCard(QWidget* columnWidget);
    void refreshQuick();
    void rebuildAdvice();
    void rebuildLayout();
    void rebuildVolumes();
    void rebuildNotes();
    Card* makeLayoutCard();
    Card* makeVolumesCard();
    void openVolume(const Uuid& id);

    SessionPtr session_;
    QVBoxLayout* column_;
    Card* quickCard_;
    QLabel* quickMessage_;
    QPushButton* quickStop_;
    QProgressBar* quickBar_;
    QWidget* adviceSlot_;
    Callout* advice_ = nullptr;
    QWidget* layoutSlot_;
    Card* layoutCard_ = nullptr;
    QLabel* scheme_ = nullptr;
    PartitionBar* bar_ = nullptr;
    std::vector<std::vector<QLabel*>> cells_;
    QLabel* layoutEmpty_ = nullptr;
    QWidget* volumesSlot_;
    Card* volumesCard_ = nullptr;
    std::vector<VolumeRow*> rows_;
    QLabel* volumesEmpty_ = nullptr;
    DeepScanCard* deepCard_;
    QWidget* notesSlot_;
    std::vector<Callout*> notes_;
    // What the last cards were made for, so that the quick scan's progress
    // makes them again only when their waiting texts change.
    bool quickFinished_ = false;
    bool quickRunning_ = false;
};

}  // namespace sovanta::app
