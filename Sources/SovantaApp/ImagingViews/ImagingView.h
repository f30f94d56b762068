// The page of one imaging run: its state and buttons, the progress with its
// statistics, the block map of the whole source and the read-rate chart.
#pragma once

#include <string>
#include <vector>

#include <QColor>
#include <QScrollArea>
#include <QWidget>

#include "SovantaApp/Models/AppModel.h"
#include "SovantaApp/Models/ImagingJob.h"
#include "SovantaCore/RangeMap.h"

class QChart;
class QChartView;
class QLabel;
class QLineSeries;
class QAreaSeries;
class QValueAxis;
class QProgressBar;
class QPushButton;

namespace sovanta::app {

class StatTile;
class TileGrid;

// The whole source as a grid of cells, one colour per status, drawn in one pass.
class BlockMap : public QWidget {
    Q_OBJECT
public:
    struct Geometry {
        int columns = 0;
        int rows = 0;
        double cellWidth = 0;  // also the distance between columns
        double pitch = 0;      // the distance between rows
    };
    // Where n cells lie on a map of the given size; all zero when n is 0.
    static Geometry geometry(size_t n, double width, double height);
    static QColor colour(RangeMap::Status status);

    explicit BlockMap(QWidget* parent = nullptr);
    void setCells(std::vector<RangeMap::Status> cells);
    const std::vector<RangeMap::Status>& cells() const { return cells_; }
    QSize sizeHint() const override { return {600, 170}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::vector<RangeMap::Status> cells_;
};

// One swatch of the block map's colours with its text.
class Legend : public QWidget {
    Q_OBJECT
public:
    Legend(QColor color, const QString& text, QWidget* parent = nullptr);
    QColor color() const { return color_; }
    QString text() const;

private:
    QColor color_;
    QLabel* text_;
};

class ImagingView : public QScrollArea {
    Q_OBJECT
public:
    ImagingView(AppModel& model, ImagingJobPtr job, QWidget* parent = nullptr);

    struct TileValue {
        std::string title;
        std::string value;
        QColor tint;
    };
    // The nine statistic tiles' titles, values and tints, in order. The
    // current rate and the estimate only while the copy reads (it runs and is
    // not paused); no alarm for the time since a good read while paused.
    static std::vector<TileValue> tileValues(const ImagingStats& stats, bool running = true, bool paused = false);
    // The state line's text for a job.
    static QString stateLine(const ImagingJob& job);
    // "42.5 %": one decimal after a point in every locale.
    static QString percentage(double fraction);

    const ImagingJobPtr& job() const { return job_; }

    // What the page shows (for tests).
    QLabel* stateLabel() const { return state_; }
    QLabel* percentageLabel() const { return percent_; }
    QProgressBar* progressBar() const { return bar_; }
    TileGrid* tiles() const { return tiles_; }
    StatTile* tile(const QString& title) const;
    BlockMap* blockMap() const { return map_; }
    QWidget* chartCard() const { return chartCard_; }
    QLineSeries* rateLine() const { return line_; }
    QPushButton* pauseButton() const { return pause_; }
    QPushButton* stopButton() const { return stop_; }
    QPushButton* revealButton() const { return reveal_; }
    QPushButton* resumeButton() const { return resume_; }
    QPushButton* scanButton() const { return scan_; }
    // The texts of the buttons shown, in order.
    QStringList buttonTexts() const;

private:
    QWidget* makeHeading(QWidget* parent);
    QWidget* makeProgress(QWidget* parent);
    QWidget* makeBlockMap(QWidget* parent);
    QWidget* makeChart(QWidget* parent);
    void showState();
    void showStats();
    void showSamples();

    AppModel& model_;
    ImagingJobPtr job_;

    QLabel* state_ = nullptr;
    QLabel* percent_ = nullptr;
    QProgressBar* bar_ = nullptr;
    TileGrid* tiles_ = nullptr;
    std::vector<QColor> tileTints_;
    BlockMap* map_ = nullptr;
    QWidget* chartCard_ = nullptr;
    QChartView* chartView_ = nullptr;
    QLineSeries* line_ = nullptr;
    QLineSeries* areaUpper_ = nullptr;
    QAreaSeries* area_ = nullptr;
    QValueAxis* timeAxis_ = nullptr;
    QValueAxis* rateAxis_ = nullptr;
    QWidget* buttonRow_ = nullptr;
    QPushButton* pause_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPushButton* reveal_ = nullptr;
    QPushButton* resume_ = nullptr;
    QPushButton* scan_ = nullptr;
};

}  // namespace sovanta::app
