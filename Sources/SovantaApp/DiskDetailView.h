// The page of one physical disk: its header and health, the boot disk's
// notice, the actions (scan, image, unmount), its partitions and its
// S.M.A.R.T. counters.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QAbstractButton>
#include <QScrollArea>

#include "SovantaApp/Models/AppModel.h"
#include "SovantaCore/DiskList.h"

class QLabel;
class QMessageBox;
class QVBoxLayout;

namespace sovanta::app {

class ImagingSetupSheet;
class PartitionBar;
class TileGrid;

// A large clickable tile of one action: its icon, heading and explanation on
// a rounded background, filled in the accent colour when it is the
// recommended action.
class ActionTile : public QAbstractButton {
    Q_OBJECT
public:
    ActionTile(std::string symbol, std::string title, std::string text, bool prominent,
               std::function<void()> action, QWidget* parent = nullptr);

    const std::string& symbol() const { return symbol_; }
    QString title() const;
    void setTitle(const QString& title);
    QString text() const;
    bool prominent() const { return prominent_; }
    bool hover() const { return hover_; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;
    bool hasHeightForWidth() const override { return true; }
    int heightForWidth(int width) const override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void applyOpacity();

    std::string symbol_;
    bool prominent_;
    bool hover_ = false;
    QLabel* title_;
    QLabel* text_;
};

class DiskDetailView : public QScrollArea {
    Q_OBJECT
public:
    DiskDetailView(AppModel& model, DiskInfo disk, QWidget* parent = nullptr);

    // A partition's content type as the page shows it.
    static std::string prettyContent(const std::string& content);

    const DiskInfo& disk() const { return disk_; }
    bool showImaging() const { return showImaging_; }
    bool unmounting() const { return unmounting_; }
    const std::optional<std::string>& unmountMessage() const { return unmountMessage_; }

    // Runs the disk tool's unmount off the GUI thread; its answer comes back
    // as the alert, and the disk list is loaded again.
    void unmount();

    // The regions as built for the current disk (for tests): absent ones are null.
    QWidget* header() const { return header_; }
    ActionTile* scanTile() const { return scanTile_; }
    ActionTile* imagingTile() const { return imagingTile_; }
    ActionTile* unmountTile() const { return unmountTile_; }
    QWidget* healthNotice() const { return healthNotice_; }
    QWidget* bootNotice() const { return bootNotice_; }
    PartitionBar* partitionBar() const { return partitionBar_; }
    // The text shown instead of the bar; null when there is a bar.
    QLabel* noPartitionsText() const { return noPartitions_; }
    // The table's rows below its header, each its five texts; empty without a table.
    std::vector<QStringList> partitionRows() const;
    QWidget* smartCard() const { return smartCard_; }
    TileGrid* smartTiles() const { return smartTiles_; }
    QMessageBox* unmountAlert() const { return alert_; }
    // The opened imaging setup sheet, while it is shown.
    ImagingSetupSheet* imagingSheet() const { return sheet_; }

private:
    void setDisk(DiskInfo disk);
    void rebuild();
    QWidget* makeHeader(QWidget* parent);
    QWidget* makeActions(QWidget* parent);
    QWidget* makePartitions(QWidget* parent);
    QWidget* makeSmartCard(QWidget* parent);
    void openImagingSheet();
    void setUnmounting(bool value);
    void setUnmountMessage(std::optional<std::string> value);

    AppModel& model_;
    DiskInfo disk_;
    bool showImaging_ = false;
    std::optional<std::string> unmountMessage_;
    bool unmounting_ = false;

    QWidget* column_ = nullptr;
    QVBoxLayout* stack_ = nullptr;
    QWidget* header_ = nullptr;
    ActionTile* scanTile_ = nullptr;
    ActionTile* imagingTile_ = nullptr;
    ActionTile* unmountTile_ = nullptr;
    QWidget* healthNotice_ = nullptr;
    QWidget* bootNotice_ = nullptr;
    PartitionBar* partitionBar_ = nullptr;
    QLabel* noPartitions_ = nullptr;
    std::vector<std::vector<QLabel*>> tableRows_;
    QWidget* smartCard_ = nullptr;
    TileGrid* smartTiles_ = nullptr;
    QMessageBox* alert_ = nullptr;
    ImagingSetupSheet* sheet_ = nullptr;
};

}  // namespace sovanta::app
