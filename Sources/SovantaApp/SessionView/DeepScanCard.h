// The deep scan in the session's overview: its options and estimate before a
// scan, the running sweep's progress and statistics, and how the last scan ended.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <QWidget>

#include "SovantaApp/Components.h"
#include "SovantaApp/Models/Session.h"

class QCheckBox;
class QGridLayout;
class QHBoxLayout;
class QLabel;
class QProgressBar;
class QPushButton;
class QVBoxLayout;

namespace sovanta::app {

// Cells in as many equal columns of at least a minimum width as fit.
class ColumnGrid : public QWidget {
    Q_OBJECT
public:
    ColumnGrid(int minimumColumnWidth, int columnSpacing, int rowSpacing, QWidget* parent = nullptr);
    // Replaces the cells; the grid owns them.
    void setCells(std::vector<QWidget*> cells);
    // Puts cell in the place of the cell at index, which is deleted.
    void replaceCell(size_t index, QWidget* cell);
    const std::vector<QWidget*>& cells() const { return cells_; }
    int columnCount() const { return columns_; }
    int columnsFor(int width) const;

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Where a cell stands in its column; none: it fills the column.
    Qt::Alignment cellAlignment;

private:
    void arrange(int columns);
    int minimumColumnWidth_;
    int columnSpacing_;
    QGridLayout* grid_;
    std::vector<QWidget*> cells_;
    int columns_ = 1;
};

// Texts with a count, each on a pink capsule, in columns of at least 90.
class FlowChips : public ColumnGrid {
    Q_OBJECT
public:
    using Item = std::pair<std::string, int64_t>;
    explicit FlowChips(std::vector<Item> items = {}, QWidget* parent = nullptr);
    void setItems(std::vector<Item> items);
    const std::vector<Item>& items() const { return items_; }

private:
    std::vector<Item> items_;
};

// The running sweep: its message, percentage, stop button, progress bar, six
// statistics and the most frequent extensions of the carved files.
class DeepScanRunningView : public QWidget {
    Q_OBJECT
public:
    explicit DeepScanRunningView(std::function<void()> stop, QWidget* parent = nullptr);
    void display(std::optional<double> fraction, const std::string& message, const DeepScanStats& stats);

    QLabel* messageLabel() const { return message_; }
    // Hidden without a fraction.
    QLabel* percentLabel() const { return percent_; }
    QPushButton* stopButton() const { return stop_; }
    QProgressBar* progressBar() const { return bar_; }
    // "Læst", "Hastighed", "Resttid", "Filer fundet", "Filsystemspor", "Læsefejl".
    std::vector<StatTile*> tiles() const;
    // Hidden while no carved file has an extension.
    FlowChips* chips() const { return chips_; }

private:
    QLabel* message_;
    QLabel* percent_;
    QPushButton* stop_;
    QProgressBar* bar_;
    ColumnGrid* tiles_;
    FlowChips* chips_;
};

class DeepScanCard : public Card {
    Q_OBJECT
public:
    explicit DeepScanCard(SessionPtr session, QWidget* parent = nullptr);

    // "under et minut", or the duration at the rate expected of a device or
    // of an image file read directly.
    static std::string estimate(uint64_t size, bool isDevice);
    // "42.4 %": one decimal with a point in every locale.
    static std::string percentage(double fraction);
    // The time left at the sweep's rate; none without a rate or bytes left.
    static std::optional<double> remaining(const DeepScanStats& stats);
    // The extensions with the most files first (equal counts in map order),
    // at most 18, in upper case.
    static std::vector<FlowChips::Item> chipItems(const std::map<std::string, int64_t>& byExtension);

    // "Gennemført" or "Afbrudt" after a finished scan; hidden otherwise.
    QLabel* endLabel() const { return endText_; }
    SymbolView* endSymbol() const { return endSymbol_; }
    QLabel* descriptionLabel() const { return description_; }
    // The options and the start row, shown while no deep scan runs.
    QWidget* optionsView() const { return options_; }
    QCheckBox* findVolumesBox() const { return findVolumes_; }
    QCheckBox* carveBox() const { return carve_; }
    // Shown only while carving is chosen.
    QWidget* categoryRow() const { return categoryRow_; }
    // Image, video, audio, document, archive.
    const std::vector<std::pair<FileCategory, QCheckBox*>>& categoryBoxes() const { return categoryBoxes_; }
    QPushButton* startButton() const { return start_; }
    QLabel* estimateLabel() const { return estimate_; }
    DeepScanRunningView* runningView() const { return running_; }

private:
    QHBoxLayout* makeHeader();
    QLabel* makeDescription();
    QWidget* makeOptions();
    QVBoxLayout* makeChecks();
    QWidget* makeCategoryRow();
    QHBoxLayout* makeStartRow();
    QWidget* makeRunningView();
    void refresh();
    void refreshOptions();
    void refreshRunning();
    void editOptions(const std::function<void(DeepScanOptions&)>& edit);

    SessionPtr session_;
    QWidget* endBox_;
    SymbolView* endSymbol_ = nullptr;
    QLabel* endText_ = nullptr;
    QLabel* description_;
    QWidget* options_;
    QCheckBox* findVolumes_;
    QCheckBox* carve_;
    QWidget* categoryRow_;
    std::vector<std::pair<FileCategory, QCheckBox*>> categoryBoxes_;
    QPushButton* start_;
    QLabel* estimate_;
    DeepScanRunningView* running_;
};

// A filled button in the accent colour; large: the large control size.
QPushButton* prominentButton(const QString& text, const std::optional<std::string>& symbol, bool large,
                             QWidget* parent);

}  // namespace sovanta::app
