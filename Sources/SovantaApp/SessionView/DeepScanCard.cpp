#include "SovantaApp/SessionView/DeepScanCard.h"

#include <algorithm>
#include <cmath>

#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QVBoxLayout>

#include "SovantaApp/Formatting.h"

namespace sovanta::app {

namespace {

// Bytes per second a deep sweep is expected to read.
constexpr double deviceRate = 80'000'000;
constexpr double imageRate = 400'000'000;
constexpr size_t maxChips = 18;

// One extension and its count on a pink capsule.
class Chip : public QWidget {
public:
    Chip(const std::string& text, int64_t count, QWidget* parent) : QWidget(parent) {
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(8, 3, 8, 3);
        row->setSpacing(4);
        row->addWidget(textLabel(qs(text), Style::font(Style::TextStyle::caption, QFont::DemiBold), std::nullopt, this));
        row->addWidget(
            textLabel(qs(Fmt::number(count)), Style::font(Style::TextStyle::caption), Style::secondaryText(), this));
        setToolTip(plainToolTip(qs(text)));
        setSizePolicy(QSizePolicy::Maximum, QSizePolicy::Fixed);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Style::faded(Style::Colors::pink, 0.12));
        QRectF r = rect();
        painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    }
};

}  // namespace

QPushButton* prominentButton(const QString& text, const std::optional<std::string>& symbol, bool large,
                             QWidget* parent) {
    auto* button = new QPushButton(text, parent);
    QColor fill = Style::accent();
    QColor onFill = QApplication::palette().color(QPalette::HighlightedText);
    if (symbol) {
        int side = large ? 16 : 14;
        QIcon icon;
        icon.addPixmap(Style::symbolPixmap(*symbol, side, onFill), QIcon::Normal);
        icon.addPixmap(Style::symbolPixmap(*symbol, side, Style::faded(Style::primaryText(), 0.35)), QIcon::Disabled);
        button->setIcon(icon);
        button->setIconSize(QSize(side, side));
    }
    if (large) button->setMinimumHeight(34);
    button->setStyleSheet(
        QStringLiteral("QPushButton { background-color: %1; color: %2; border: none; border-radius: 6px;"
                       " padding: %3; }"
                       "QPushButton:hover { background-color: %4; }"
                       "QPushButton:pressed { background-color: %5; }"
                       "QPushButton:disabled { background-color: %6; color: %7; }")
            .arg(fill.name(QColor::HexArgb), onFill.name(QColor::HexArgb),
                 large ? QStringLiteral("6px 16px") : QStringLiteral("3px 10px"),
                 fill.lighter(110).name(QColor::HexArgb), fill.darker(115).name(QColor::HexArgb),
                 Style::faded(Style::secondaryText(), 0.22).name(QColor::HexArgb),
                 Style::faded(Style::primaryText(), 0.4).name(QColor::HexArgb)));
    return button;
}

// MARK: Column grid and chips

ColumnGrid::ColumnGrid(int minimumColumnWidth, int columnSpacing, int rowSpacing, QWidget* parent)
    : QWidget(parent), minimumColumnWidth_(minimumColumnWidth), columnSpacing_(columnSpacing) {
    grid_ = new QGridLayout(this);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setHorizontalSpacing(columnSpacing);
    grid_->setVerticalSpacing(rowSpacing);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

int ColumnGrid::columnsFor(int width) const {
    return std::max(1, (width + columnSpacing_) / (minimumColumnWidth_ + columnSpacing_));
}

void ColumnGrid::setCells(std::vector<QWidget*> cells) {
    for (QWidget* cell : cells_) delete cell;
    cells_ = std::move(cells);
    for (QWidget* cell : cells_) cell->setParent(this);
    arrange(columnsFor(width()));
    for (QWidget* cell : cells_) cell->show();
}

void ColumnGrid::replaceCell(size_t index, QWidget* cell) {
    if (index >= cells_.size()) return;
    cell->setParent(this);
    delete cells_[index];
    cells_[index] = cell;
    arrange(columns_);
    cell->show();
}

void ColumnGrid::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    int columns = columnsFor(width());
    if (columns != columns_) arrange(columns);
}

void ColumnGrid::arrange(int columns) {
    for (QWidget* cell : cells_) grid_->removeWidget(cell);
    for (int c = 0; c < grid_->columnCount(); ++c) {
        grid_->setColumnStretch(c, 0);
        grid_->setColumnMinimumWidth(c, 0);
    }
    for (size_t i = 0; i < cells_.size(); ++i) {
        int index = static_cast<int>(i);
        grid_->addWidget(cells_[i], index / columns, index % columns, cellAlignment);
    }
    // Equal columns: a narrow grid still fills its width.
    for (int c = 0; c < columns; ++c) grid_->setColumnStretch(c, 1);
    columns_ = columns;
}

FlowChips::FlowChips(std::vector<Item> items, QWidget* parent) : ColumnGrid(90, 8, 6, parent) {
    cellAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    setItems(std::move(items));
}

void FlowChips::setItems(std::vector<Item> items) {
    if (items == items_ && cells().size() == items_.size()) return;
    items_ = std::move(items);
    std::vector<QWidget*> chips;
    for (auto& [text, count] : items_) chips.push_back(new Chip(text, count, this));
    setCells(std::move(chips));
}

// MARK: Running view

DeepScanRunningView::DeepScanRunningView(std::function<void()> stop, QWidget* parent) : QWidget(parent) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(12);

    auto* row = new QHBoxLayout;
    message_ = textLabel({}, Style::font(Style::TextStyle::callout, QFont::Medium), std::nullopt, this);
    row->addWidget(message_, 0, Qt::AlignVCenter);
    row->addStretch(1);
    percent_ = textLabel({}, Style::font(Style::TextStyle::callout), std::nullopt, this);
    row->addWidget(percent_, 0, Qt::AlignVCenter);
    stop_ = new QPushButton(QStringLiteral("Stop"), this);
    connect(stop_, &QPushButton::clicked, this, [onStop = std::move(stop)] {
        if (onStop) onStop();
    });
    row->addWidget(stop_, 0, Qt::AlignVCenter);
    stack->addLayout(row);

    bar_ = new QProgressBar(this);
    bar_->setTextVisible(false);
    bar_->setFixedHeight(8);
    stack->addWidget(bar_);

    tiles_ = new ColumnGrid(150, 10, 10, this);
    std::vector<QWidget*> tiles = {
        new StatTile("Læst", "", "internaldrive", Style::accent()),
        new StatTile("Hastighed", "", "speedometer", Style::accent()),
        new StatTile("Resttid", "", "timer", Style::accent()),
        new StatTile("Filer fundet", "", "doc.on.doc", Style::Colors::pink),
        new StatTile("Filsystemspor", "", "point.3.connected.trianglepath.dotted", Style::Colors::purple),
        new StatTile("Læsefejl", "", "exclamationmark.triangle", Style::Colors::gray),
    };
    tiles_->setCells(std::move(tiles));
    stack->addWidget(tiles_);

    chips_ = new FlowChips({}, this);
    chips_->hide();
    stack->addWidget(chips_);
}

std::vector<StatTile*> DeepScanRunningView::tiles() const {
    std::vector<StatTile*> out;
    for (QWidget* cell : tiles_->cells()) out.push_back(static_cast<StatTile*>(cell));
    return out;
}

void DeepScanRunningView::display(std::optional<double> fraction, const std::string& message,
                                  const DeepScanStats& stats) {
    message_->setText(qs(message));
    if (fraction) {
        percent_->setText(qs(DeepScanCard::percentage(*fraction)));
        percent_->show();
        bar_->setRange(0, 1000);
        bar_->setValue(static_cast<int>(std::lround(std::clamp(*fraction, 0.0, 1.0) * 1000)));
    } else {
        percent_->hide();
        bar_->setRange(0, 0);  // indeterminate
    }

    auto tiles = this->tiles();
    tiles[0]->setValue(formatBytes(stats.position) + " af " + formatBytes(stats.total));
    tiles[1]->setValue(Fmt::rate(stats.rate));
    tiles[2]->setValue(Fmt::duration(DeepScanCard::remaining(stats)));
    tiles[3]->setValue(Fmt::number(stats.filesFound));
    tiles[4]->setValue(Fmt::number(stats.bootSectors + stats.mftRecords));
    // A tile's tint is fixed: the read-error tile is made again when it turns.
    QColor errorTint = stats.badSectors > 0 ? Style::Colors::red : Style::Colors::gray;
    if (tiles[5]->tint() != errorTint) {
        tiles_->replaceCell(5, new StatTile("Læsefejl", "", "exclamationmark.triangle", errorTint));
        tiles = this->tiles();
    }
    tiles[5]->setValue(Fmt::number(stats.badSectors));

    chips_->setItems(DeepScanCard::chipItems(stats.byExtension));
    chips_->setVisible(!stats.byExtension.empty());
}

// MARK: Card

std::string DeepScanCard::estimate(uint64_t size, bool isDevice) {
    double seconds = static_cast<double>(size) / (isDevice ? deviceRate : imageRate);
    if (seconds < 60) return "under et minut";
    return Fmt::duration(seconds);
}

std::string DeepScanCard::percentage(double fraction) {
    // QString::asprintf formats in the C locale whatever the process's locale.
    return QString::asprintf("%.1f %%", fraction * 100).toStdString();
}

std::optional<double> DeepScanCard::remaining(const DeepScanStats& stats) {
    if (stats.rate > 1.0 && stats.total > stats.position)
        return static_cast<double>(stats.total - stats.position) / stats.rate;
    return std::nullopt;
}

std::vector<FlowChips::Item> DeepScanCard::chipItems(const std::map<std::string, int64_t>& byExtension) {
    std::vector<FlowChips::Item> pairs(byExtension.begin(), byExtension.end());
    std::stable_sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    if (pairs.size() > maxChips) pairs.resize(maxChips);
    for (auto& [text, count] : pairs) text = QString::fromStdString(text).toUpper().toStdString();
    return pairs;
}

DeepScanCard::DeepScanCard(SessionPtr session, QWidget* parent) : Card(16, parent), session_(std::move(session)) {
    content()->addLayout(makeHeader());
    add(makeDescription());
    add(makeOptions());
    add(makeRunningView());

    for (auto changed : {&Session::quickChanged, &Session::deepChanged, &Session::deepCompletedChanged,
                         &Session::deepOptionsChanged, &Session::deepStatsChanged})
        connect(session_.get(), changed, this, &DeepScanCard::refresh);
    refresh();
}

// The title, and on the right how the last sweep ended.
QHBoxLayout* DeepScanCard::makeHeader() {
    auto* header = new QHBoxLayout;
    header->addWidget(new CardTitle("Dyb scanning", "sparkle.magnifyingglass", this), 0, Qt::AlignVCenter);
    header->addStretch(1);
    endBox_ = new QWidget(this);
    auto* endRow = new QHBoxLayout(endBox_);
    endRow->setContentsMargins(0, 0, 0, 0);
    endRow->setSpacing(5);
    header->addWidget(endBox_, 0, Qt::AlignVCenter);
    return header;
}

QLabel* DeepScanCard::makeDescription() {
    description_ = textLabel(
        QStringLiteral("Læser hele disken sektor for sektor. Den finder tabte og slettede partitioner, genopbygger "
                       "beskadigede NTFS-, FAT-, exFAT-, HFS+- og APFS-filsystemer og finder filer ud fra deres "
                       "indhold – også når filsystemet er helt væk."),
        Style::font(Style::TextStyle::callout), Style::secondaryText(), this);
    description_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    // After the size policy, which would otherwise drop the height for width
    // that wrapping sets.
    description_->setWordWrap(true);
    return description_;
}

// Options and the start row.
QWidget* DeepScanCard::makeOptions() {
    options_ = new QWidget(this);
    auto* optionStack = new QVBoxLayout(options_);
    optionStack->setContentsMargins(0, 0, 0, 0);
    optionStack->setSpacing(12);
    optionStack->addLayout(makeChecks());
    optionStack->addLayout(makeStartRow());
    return options_;
}

// What the sweep looks for.
QVBoxLayout* DeepScanCard::makeChecks() {
    auto* checks = new QVBoxLayout;
    checks->setSpacing(8);
    findVolumes_ = new QCheckBox(QStringLiteral("Søg efter tabte partitioner og filsystemstrukturer"), options_);
    carve_ = new QCheckBox(QStringLiteral("Find filer ud fra deres indhold (signaturer)"), options_);
    checks->addWidget(findVolumes_);
    checks->addWidget(carve_);
    checks->addWidget(makeCategoryRow());
    connect(findVolumes_, &QCheckBox::toggled, this,
            [this](bool on) { editOptions([&](DeepScanOptions& o) { o.findVolumes = on; }); });
    connect(carve_, &QCheckBox::toggled, this,
            [this](bool on) { editOptions([&](DeepScanOptions& o) { o.carve = on; }); });
    return checks;
}

// One box a kind of file the carver looks for, indented under "Find filer".
QWidget* DeepScanCard::makeCategoryRow() {
    categoryRow_ = new QWidget(options_);
    auto* categories = new QHBoxLayout(categoryRow_);
    categories->setContentsMargins(20, 0, 0, 0);
    categories->setSpacing(14);
    for (FileCategory category : allFileCategories()) {
        if (category == FileCategory::other) continue;
        auto* box = new QCheckBox(qs(label(category)), categoryRow_);
        box->setIcon(Style::buttonIcon(symbol(category)));
        categories->addWidget(box, 0, Qt::AlignVCenter);
        categoryBoxes_.emplace_back(category, box);
        connect(box, &QCheckBox::toggled, this, [this, category](bool on) {
            editOptions([&](DeepScanOptions& o) {
                if (on)
                    o.categories.insert(category);
                else
                    o.categories.erase(category);
            });
        });
    }
    categories->addStretch(1);
    return categoryRow_;
}

QHBoxLayout* DeepScanCard::makeStartRow() {
    auto* startRow = new QHBoxLayout;
    start_ = prominentButton(QStringLiteral("Start dyb scanning"), "play.fill", true, options_);
    connect(start_, &QPushButton::clicked, this, [this] { session_->startDeepScan(); });
    startRow->addWidget(start_, 0, Qt::AlignVCenter);
    estimate_ = textLabel({}, Style::font(Style::TextStyle::callout), Style::secondaryText(), options_);
    startRow->addWidget(estimate_, 1, Qt::AlignVCenter);
    return startRow;
}

QWidget* DeepScanCard::makeRunningView() {
    std::weak_ptr<Session> weak = session_;
    running_ = new DeepScanRunningView(
        [weak] {
            if (auto s = weak.lock())
                if (s->reporter) s->reporter->cancel();
        },
        this);
    return running_;
}

void DeepScanCard::editOptions(const std::function<void(DeepScanOptions&)>& edit) {
    DeepScanOptions options = session_->deepOptions();
    edit(options);
    session_->setDeepOptions(std::move(options));
}

void DeepScanCard::refresh() {
    const TaskPhase& deep = session_->deep();
    bool finished = std::holds_alternative<phase::Finished>(deep);

    std::optional<QColor> endColour;
    if (finished) endColour = session_->deepCompleted() ? Style::Colors::green : Style::Colors::orange;
    if (!endColour) {
        endBox_->hide();
    } else {
        QString text = session_->deepCompleted() ? QStringLiteral("Gennemført") : QStringLiteral("Afbrudt");
        if (!endText_ || endText_->text() != text) {
            delete endSymbol_;
            delete endText_;
            QFont font = Style::font(Style::TextStyle::callout, QFont::Medium);
            int side = QFontMetrics(font).height();
            endSymbol_ = new SymbolView("checkmark.circle.fill", *endColour, side, side * 4 / 5, endBox_);
            endText_ = textLabel(text, font, *endColour, endBox_);
            endBox_->layout()->addWidget(endSymbol_);
            endBox_->layout()->addWidget(endText_);
        }
        endBox_->show();
    }

    bool running = isRunning(deep);
    options_->setVisible(!running);
    running_->setVisible(running);
    if (running) {
        refreshRunning();
    } else {
        refreshOptions();
    }
}

void DeepScanCard::refreshOptions() {
    const DeepScanOptions& options = session_->deepOptions();
    auto set = [](QCheckBox* box, bool on) {
        QSignalBlocker block(box);
        box->setChecked(on);
    };
    set(findVolumes_, options.findVolumes);
    set(carve_, options.carve);
    for (auto& [category, box] : categoryBoxes_) set(box, options.categories.count(category) > 0);
    categoryRow_->setVisible(options.carve);

    bool finished = std::holds_alternative<phase::Finished>(session_->deep());
    start_->setText(finished ? QStringLiteral("Scan igen") : QStringLiteral("Start dyb scanning"));
    // The categories are not consulted: carving with none of the five chosen may start.
    start_->setEnabled(!isRunning(session_->quick()) && !isRunning(session_->deep()) &&
                       (options.carve || options.findVolumes));
    estimate_->setText(QStringLiteral("Tager tid – typisk ") +
                       qs(estimate(session_->source->size, session_->source->isDevice)) +
                       QStringLiteral(" for denne disk."));
}

void DeepScanCard::refreshRunning() {
    const auto& running = std::get<phase::Running>(session_->deep());
    running_->display(running.fraction, running.message, session_->deepStats());
}

}  // namespace sovanta::app
