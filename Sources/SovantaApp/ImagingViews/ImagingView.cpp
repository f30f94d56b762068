#include "SovantaApp/ImagingViews/ImagingView.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>

#include <QAreaSeries>
#include <QChart>
#include <QChartView>
#include <QGraphicsLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineSeries>
#include <QPainter>
#include <QPainterPath>
#include <QProgressBar>
#include <QPushButton>
#include <QValueAxis>
#include <QVBoxLayout>

#include "SovantaApp/Components.h"
#include "SovantaApp/Formatting.h"
#include "SovantaApp/Panels.h"
#include "SovantaApp/TileGrid.h"

namespace sovanta::app {

namespace {

// The nine statistic tiles: title and symbol, in their order.
struct TileSpec {
    const char* title;
    const char* symbol;
};

const TileSpec tileSpecs[] = {
    {"Reddet", "checkmark.circle"},
    {"Ulæselige", "xmark.octagon"},
    {"Tilbage", "hourglass"},
    {"Hastighed nu", "speedometer"},
    {"Gennemsnit", "chart.line.uptrend.xyaxis"},
    {"Tid brugt", "clock"},
    {"Resttid (anslået)", "timer"},
    {"Læsefejl", "exclamationmark.triangle"},
    {"Siden sidste gode læsning", "waveform.path.ecg"},
};

QPushButton* makeButton(const QString& text, const std::string& symbol, QWidget* parent) {
    auto* button = new QPushButton(Style::buttonIcon(symbol), text, parent);
    button->setAutoDefault(false);
    return button;
}

}  // namespace

// MARK: BlockMap

BlockMap::Geometry BlockMap::geometry(size_t n, double width, double height) {
    if (n == 0) return {};
    Geometry g;
    g.columns = std::max(1, static_cast<int>(width / 9));
    g.rows = std::max(1, static_cast<int>((n + static_cast<size_t>(g.columns) - 1) / static_cast<size_t>(g.columns)));
    g.cellWidth = width / g.columns;
    g.pitch = std::min(g.cellWidth, height / g.rows);
    return g;
}

QColor BlockMap::colour(RangeMap::Status status) {
    switch (status) {
        case RangeMap::Status::finished: return Style::Colors::green;
        case RangeMap::Status::nonTried: return Style::faded(Style::Colors::gray, 0.35);
        case RangeMap::Status::nonTrimmed:
        case RangeMap::Status::nonScraped: return Style::Colors::yellow;
        case RangeMap::Status::bad: return Style::Colors::red;
    }
    return Style::Colors::gray;
}

BlockMap::BlockMap(QWidget* parent) : QWidget(parent) {
    setFixedHeight(170);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void BlockMap::setCells(std::vector<RangeMap::Status> cells) {
    if (cells == cells_) return;
    cells_ = std::move(cells);
    update();
}

void BlockMap::paintEvent(QPaintEvent*) {
    Geometry g = geometry(cells_.size(), width(), height());
    if (g.columns == 0) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // One path per status, so that the whole grid is a handful of fills.
    const auto& statuses = RangeMap::allCases();
    std::array<QPainterPath, 5> paths;
    double w = std::max(0.0, g.cellWidth - 1.5), h = std::max(0.0, g.pitch - 1.5);
    auto columns = static_cast<size_t>(g.columns);
    for (size_t i = 0; i < cells_.size(); ++i) {
        auto kind = static_cast<size_t>(std::find(statuses.begin(), statuses.end(), cells_[i]) - statuses.begin());
        QRectF cell(g.cellWidth * static_cast<double>(i % columns), g.pitch * static_cast<double>(i / columns), w, h);
        paths[std::min<size_t>(kind, paths.size() - 1)].addRoundedRect(cell, 1.5, 1.5);
    }
    for (size_t k = 0; k < paths.size(); ++k)
        if (!paths[k].isEmpty()) painter.fillPath(paths[k], colour(statuses[k]));
}

// MARK: Legend

Legend::Legend(QColor color, const QString& text, QWidget* parent) : QWidget(parent), color_(color) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(5);
    row->addWidget(new Swatch(color, 2, this), 0, Qt::AlignVCenter);
    text_ = textLabel(text, Style::font(Style::TextStyle::caption), std::nullopt, this);
    row->addWidget(text_, 0, Qt::AlignVCenter);
}

QString Legend::text() const { return text_->text(); }

// MARK: ImagingView

std::vector<ImagingView::TileValue> ImagingView::tileValues(const ImagingStats& s, bool running, bool paused) {
    QColor accent = Style::accent();
    using Style::Colors::gray;
    const bool reading = running && !paused;
    // A run that never measured its source (it could not begin) knows
    // nothing of what is left: no "0 bytes" for a whole disk.
    const std::string pending = s.total == 0 && s.pending == 0 ? "–" : formatBytes(s.pending);
    std::vector<TileValue> values = {
        {"", formatBytes(s.rescued), Style::Colors::green},
        {"", formatBytes(s.bad), s.bad == 0 ? gray : Style::Colors::red},
        {"", pending, accent},
        {"", reading ? Fmt::rate(s.currentRate) : "–", accent},
        {"", Fmt::rate(s.averageRate), accent},
        {"", Fmt::duration(s.elapsed), accent},
        {"", reading ? Fmt::duration(s.eta()) : "–", accent},
        {"", Fmt::number(s.readErrors), s.readErrors < 1 ? gray : Style::Colors::orange},
        {"", Fmt::duration(s.sinceLastSuccess), s.sinceLastSuccess <= 30 || paused ? gray : Style::Colors::red},
    };
    for (size_t i = 0; i < values.size(); ++i) values[i].title = tileSpecs[i].title;
    return values;
}


QString ImagingView::stateLine(const ImagingJob& job) {
    if (job.running() && job.paused()) return QStringLiteral("Sat på pause");
    if (job.running()) return qs(job.stats().phase);
    if (job.stats().message) return qs(*job.stats().message);
    if (job.finished()) return QStringLiteral("Færdig");
    return QStringLiteral("Venter");
}

QString ImagingView::percentage(double fraction) {
    // QString's own formatting, which is the C locale's in every locale.
    return QString::asprintf("%.1f %%", fraction * 100);
}

ImagingView::ImagingView(AppModel& model, ImagingJobPtr job, QWidget* parent)
    : QScrollArea(parent), model_(model), job_(std::move(job)) {
    setWindowTitle(QStringLiteral("Diskbillede"));
    QVBoxLayout* stack = makePageColumn(this, 1100, 28, 18);
    QWidget* column = stack->parentWidget();
    stack->addWidget(makeHeading(column));
    stack->addWidget(makeProgress(column));
    stack->addWidget(makeBlockMap(column));
    chartCard_ = makeChart(column);
    stack->addWidget(chartCard_);
    stack->addStretch(1);

    ImagingJob* observed = job_.get();
    for (auto changed : {&ImagingJob::pausedChanged, &ImagingJob::runningChanged, &ImagingJob::finishedChanged})
        connect(observed, changed, this, [this] {
            showState();
            showStats();
        });
    connect(observed, &ImagingJob::statsChanged, this, [this] {
        showState();
        showStats();
    });
    connect(observed, &ImagingJob::cellsChanged, this, [this] { map_->setCells(job_->cells()); });
    connect(observed, &ImagingJob::samplesChanged, this, &ImagingView::showSamples);
    showState();
    showStats();
    map_->setCells(job_->cells());
    showSamples();
}

QWidget* ImagingView::makeHeading(QWidget* parent) {
    auto* heading = new QWidget(parent);
    auto* row = new QHBoxLayout(heading);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(16);
    int glyph = 42;
    row->addWidget(new SymbolView("square.and.arrow.down.on.square", Style::accent(), glyph + 6, glyph, heading), 0,
                   Qt::AlignVCenter);
    auto* names = new QVBoxLayout;
    names->setSpacing(4);
    names->addWidget(textLabel(qs(job_->title), Style::font(Style::TextStyle::title1, QFont::Bold), std::nullopt,
                               heading));
    auto* path = new PathLabel(heading);
    path->setFullText(qs(job_->imageURL));
    path->setFont(Style::font(Style::TextStyle::callout));
    setTextColour(path, Style::secondaryText());
    names->addWidget(path);
    state_ = textLabel(QString(), Style::font(Style::TextStyle::callout, QFont::Medium), std::nullopt, heading);
    names->addWidget(state_);
    row->addLayout(names, 1);

    buttonRow_ = new QWidget(heading);
    auto* buttons = new QHBoxLayout(buttonRow_);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(8);
    pause_ = makeButton(QStringLiteral("Pause"), "pause.fill", buttonRow_);
    stop_ = makeButton(QStringLiteral("Stop"), "stop.fill", buttonRow_);
    // The destructive role: the stop is drawn in red.
    QPalette red = stop_->palette();
    red.setColor(QPalette::ButtonText, Style::Colors::red);
    stop_->setPalette(red);
    reveal_ = makeButton(QStringLiteral("Vis i filhåndtering"), "folder.fill", buttonRow_);
    resume_ = makeButton(QStringLiteral("Genoptag"), "arrow.clockwise", buttonRow_);
    scan_ = new QPushButton(QStringLiteral("Scan billedet"), buttonRow_);
    scan_->setAutoDefault(false);
    // The bordered prominent style: filled in the accent colour.
    QPalette prominent = scan_->palette();
    prominent.setColor(QPalette::Button, Style::accent());
    prominent.setColor(QPalette::ButtonText, Qt::white);
    scan_->setPalette(prominent);
    scan_->setIcon(QIcon(Style::symbolPixmap("magnifyingglass", 16, Qt::white)));
    for (QPushButton* button : {pause_, stop_, reveal_, resume_, scan_}) buttons->addWidget(button);

    // Run after the click has been handled: "Scan billedet" may replace this page.
    std::weak_ptr<ImagingJob> weak = job_;
    auto queued = [this](QPushButton* button, std::function<void()> action) {
        connect(button, &QPushButton::clicked, this, std::move(action), Qt::QueuedConnection);
    };
    queued(pause_, [weak] {
        if (auto job = weak.lock()) job->togglePause();
    });
    queued(stop_, [weak] {
        if (auto job = weak.lock()) job->stop();
    });
    queued(reveal_, [weak] {
        if (auto job = weak.lock()) Panels::showInFileManager(job->imageURL);
    });
    queued(resume_, [weak] {
        if (auto job = weak.lock()) job->start();
    });
    AppModel* model = &model_;
    queued(scan_, [weak, model] {
        if (auto job = weak.lock()) model->openImage(job->imageURL);
    });
    row->addWidget(buttonRow_, 0, Qt::AlignVCenter);
    return heading;
}

QWidget* ImagingView::makeProgress(QWidget* parent) {
    auto* card = new Card(16, parent);
    auto* top = new QHBoxLayout;
    top->addWidget(new CardTitle("Fremskridt", "gauge.with.dots.needle.67percent", card), 0, Qt::AlignVCenter);
    top->addStretch(1);
    percent_ = textLabel(QString(), Style::font(Style::TextStyle::title2, QFont::DemiBold), std::nullopt, card);
    top->addWidget(percent_, 0, Qt::AlignVCenter);
    card->content()->addLayout(top);
    bar_ = new QProgressBar(card);
    bar_->setRange(0, 1000);
    bar_->setTextVisible(false);
    bar_->setFixedHeight(8);
    card->add(bar_);
    tiles_ = new TileGrid(160, 10, card);
    auto values = tileValues(job_->stats(), job_->running(), job_->paused());
    for (size_t i = 0; i < values.size(); ++i) {
        tiles_->add(new StatTile(values[i].title, values[i].value, std::string(tileSpecs[i].symbol), values[i].tint,
                                 tiles_));
        tileTints_.push_back(values[i].tint);
    }
    card->add(tiles_);
    return card;
}

QWidget* ImagingView::makeBlockMap(QWidget* parent) {
    auto* card = new Card(16, parent);
    card->add(new CardTitle("Diskkort", "square.grid.3x3.fill", card));
    map_ = new BlockMap(card);
    card->add(map_);
    auto* legends = new QHBoxLayout;
    legends->setSpacing(16);
    using Status = RangeMap::Status;
    const std::pair<Status, const char*> entries[] = {{Status::finished, "Kopieret"},
                                                      {Status::nonTried, "Ikke læst endnu"},
                                                      {Status::nonTrimmed, "Fejl – prøves igen"},
                                                      {Status::bad, "Ulæselig"}};
    for (const auto& [status, text] : entries)
        legends->addWidget(new Legend(BlockMap::colour(status), qs(text), card), 0, Qt::AlignVCenter);
    legends->addStretch(1);
    card->content()->addLayout(legends);
    return card;
}

QWidget* ImagingView::makeChart(QWidget* parent) {
    auto* card = new Card(16, parent);
    card->add(new CardTitle("Læsehastighed", "chart.xyaxis.line", card));
    auto* chart = new QChart;
    chart->legend()->hide();
    chart->setBackgroundVisible(false);
    chart->setPlotAreaBackgroundVisible(false);
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->layout()->setContentsMargins(0, 0, 0, 0);
    chart->setAnimationOptions(QChart::NoAnimation);

    QColor accent = Style::accent();
    // The area under the samples, and the line over them.
    areaUpper_ = new QLineSeries(chart);
    area_ = new QAreaSeries(areaUpper_);
    area_->setName(QStringLiteral("MB/s"));
    QLinearGradient fill(0, 0, 0, 1);
    fill.setCoordinateMode(QGradient::ObjectBoundingMode);
    fill.setColorAt(0, Style::faded(accent, 0.15));
    fill.setColorAt(1, Style::faded(accent, 0.04));
    area_->setBrush(fill);
    area_->setPen(Qt::NoPen);
    line_ = new QLineSeries;
    line_->setName(QStringLiteral("MB/s"));
    line_->setPen(QPen(accent, 2));
    chart->addSeries(area_);
    chart->addSeries(line_);

    QColor labels = Style::secondaryText();
    QColor grid = Style::faded(Style::separator(), 0.7);
    QFont caption = Style::font(Style::TextStyle::caption);
    timeAxis_ = new QValueAxis(chart);
    timeAxis_->setTitleText(QStringLiteral("Tid (s)"));
    rateAxis_ = new QValueAxis(chart);
    rateAxis_->setTitleText(QStringLiteral("MB/s"));
    for (QValueAxis* axis : {timeAxis_, rateAxis_}) {
        axis->setLabelsColor(labels);
        axis->setLabelsFont(caption);
        axis->setTitleBrush(labels);
        axis->setTitleFont(caption);
        axis->setGridLineColor(grid);
        axis->setLinePenColor(grid);
        axis->setLabelFormat(QStringLiteral("%g"));
    }
    chart->addAxis(timeAxis_, Qt::AlignBottom);
    chart->addAxis(rateAxis_, Qt::AlignLeft);
    for (QAbstractSeries* series : std::initializer_list<QAbstractSeries*>{area_, line_}) {
        series->attachAxis(timeAxis_);
        series->attachAxis(rateAxis_);
    }

    chartView_ = new QChartView(chart, card);
    chartView_->setRenderHint(QPainter::Antialiasing);
    chartView_->setFixedHeight(160);
    chartView_->setFrameShape(QFrame::NoFrame);
    chartView_->setStyleSheet(QStringLiteral("background: transparent"));
    chartView_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    card->add(chartView_);
    return card;
}

void ImagingView::showState() {
    const ImagingJob& job = *job_;
    state_->setText(stateLine(job));
    setTextColour(state_, job.copiedCompletely() ? Style::Colors::green : Style::accent());

    bool running = job.running();
    pause_->setText(job.paused() ? QStringLiteral("Fortsæt") : QStringLiteral("Pause"));
    pause_->setIcon(Style::buttonIcon(job.paused() ? "play.fill" : "pause.fill"));
    pause_->setVisible(running);
    stop_->setVisible(running);
    reveal_->setVisible(!running);
    const bool ended = !running && job.finished();
    resume_->setVisible(ended);
    scan_->setVisible(ended);
    resume_->setEnabled(job.stats().pending > 0 || job.stats().bad > 0);
    // Only an image that is there can be scanned (a copy that could not
    // begin never made one); asked of the file system once the copy has
    // ended, not at every update of a running one.
    if (ended) {
        std::error_code error;
        scan_->setEnabled(std::filesystem::is_regular_file(job.imageURL, error));
    }
}

void ImagingView::showStats() {
    const ImagingStats& stats = job_->stats();
    double fraction = job_->fraction();
    percent_->setText(percentage(fraction));
    bar_->setValue(static_cast<int>(std::lround(std::clamp(fraction, 0.0, 1.0) * 1000)));
    auto values = tileValues(stats, job_->running(), job_->paused());
    for (size_t i = 0; i < values.size(); ++i) {
        int index = static_cast<int>(i);
        if (values[i].tint != tileTints_[i]) {
            // A tile's tint is fixed when it is made: a new tint is a new tile.
            tiles_->replace(index, new StatTile(values[i].title, values[i].value, std::string(tileSpecs[i].symbol),
                                                values[i].tint, tiles_));
            tileTints_[i] = values[i].tint;
        } else {
            static_cast<StatTile*>(tiles_->tile(index))->setValue(values[i].value);
        }
    }
    resume_->setEnabled(stats.pending > 0 || stats.bad > 0);
}

void ImagingView::showSamples() {
    const auto& samples = job_->samples();
    chartCard_->setVisible(!samples.empty());
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(samples.size()));
    double top = 0;
    for (const RateSample& sample : samples) {
        points.append(QPointF(sample.time, sample.rate));
        top = std::max(top, sample.rate);
    }
    line_->replace(points);
    areaUpper_->replace(points);
    if (samples.empty()) return;
    double first = samples.front().time, last = samples.back().time;
    timeAxis_->setRange(first, std::max(last, first + 1));
    rateAxis_->setRange(0, top > 0 ? top * 1.1 : 1);
    // Round ticks at whatever scale the run has.
    timeAxis_->applyNiceNumbers();
    rateAxis_->applyNiceNumbers();
}

StatTile* ImagingView::tile(const QString& title) const {
    for (int i = 0; i < tiles_->count(); ++i)
        if (auto* t = qobject_cast<StatTile*>(tiles_->tile(i)); t && t->title() == title) return t;
    return nullptr;
}

QStringList ImagingView::buttonTexts() const {
    QStringList texts;
    for (QPushButton* button : {pause_, stop_, reveal_, resume_, scan_})
        if (!button->isHidden()) texts << button->text();
    return texts;
}

}  // namespace sovanta::app
