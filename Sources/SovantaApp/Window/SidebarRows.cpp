#include "SovantaApp/Window/SidebarRows.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QStackedLayout>
#include <QVBoxLayout>

namespace sovanta::app {

namespace {

std::string lastPathComponent(const std::string& path) {
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    auto slash = trimmed.find_last_of('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

// One line of text that is cut with an ellipsis when it does not fit.
ShrinkingLabel* lineLabel(const QString& text, const QFont& font, QWidget* parent) {
    return new ShrinkingLabel(text, font, 1.0, parent);
}

QLabel* captionLabel(QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setFont(Style::font(Style::TextStyle::caption));
    setTextColour(label, Style::secondaryText());
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    return label;
}

// The linear bar of the mini control size, from 0 to 1.
QProgressBar* miniBar(QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setTextVisible(false);
    bar->setFixedHeight(6);
    bar->setRange(0, 1000);
    return bar;
}

void showFraction(QProgressBar* bar, std::optional<double> fraction) {
    if (!fraction) {
        bar->setRange(0, 0);  // indeterminate
        return;
    }
    bar->setRange(0, 1000);
    bar->setValue(static_cast<int>(std::lround(std::clamp(*fraction, 0.0, 1.0) * 1000)));
}

// The second line of a row: a bar or a caption, in the same height.
QWidget* secondLine(QWidget* parent, QProgressBar*& bar, QLabel*& caption) {
    auto* line = new QWidget(parent);
    auto* stack = new QStackedLayout(line);
    stack->setStackingMode(QStackedLayout::StackAll);
    bar = miniBar(line);
    caption = captionLabel(line);
    auto* barBox = new QWidget(line);
    auto* barLayout = new QVBoxLayout(barBox);
    barLayout->setContentsMargins(0, 0, 0, 0);
    barLayout->addWidget(bar, 0, Qt::AlignVCenter);
    stack->addWidget(barBox);
    stack->addWidget(caption);
    line->setFixedHeight(QFontMetrics(caption->font()).height());
    return line;
}

QHBoxLayout* rowLayout(QWidget* row) {
    auto* layout = new QHBoxLayout(row);
    // 2 above and below, and 3 of padding that a sidebar list gives its rows.
    layout->setContentsMargins(sidebarInset, 5, sidebarInset, 5);
    layout->setSpacing(10);
    return layout;
}

}  // namespace

QWidget* welcomeRow() {
    auto* row = new QWidget;
    auto* layout = rowLayout(row);
    layout->addWidget(new SymbolView("sparkles", Style::accent(), 22, 16, row), 0, Qt::AlignVCenter);
    auto* label = new QLabel(QStringLiteral("Kom i gang"), row);
    label->setFont(Style::font(Style::TextStyle::body));
    layout->addWidget(label, 1, Qt::AlignVCenter);
    return row;
}

DiskRow::DiskRow(const DiskInfo& disk, QWidget* parent) : QWidget(parent) {
    auto* row = rowLayout(this);
    row->addWidget(new DiskIcon(disk, 22, this), 0, Qt::AlignVCenter);
    auto* column = new QVBoxLayout;
    column->setSpacing(1);
    name_ = lineLabel(qs(disk.displayName()), Style::font(Style::TextStyle::body), this);
    detail_ = captionLabel(this);
    detail_->setText(qs(formatBytes(disk.size) + " · " + disk.bsdName));
    column->addWidget(name_);
    column->addWidget(detail_);
    row->addLayout(column, 1);
    dot_ = new HealthDot(disk.health(), this);
    row->addWidget(dot_, 0, Qt::AlignVCenter);
}

QString DiskRow::name() const { return name_->text(); }
QString DiskRow::detail() const { return detail_->text(); }

SessionRow::SessionRow(SessionPtr session, QWidget* parent) : QWidget(parent), session_(std::move(session)) {
    auto* row = rowLayout(this);
    symbol_ = new SymbolView(session_->disk ? "magnifyingglass" : "doc.zipper", Style::accent(), 22, 16, this);
    row->addWidget(symbol_, 0, Qt::AlignVCenter);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    title_ = lineLabel(qs(session_->title), Style::font(Style::TextStyle::body), this);
    column->addWidget(title_);
    column->addWidget(secondLine(this, progress_, status_));
    row->addLayout(column, 1);
    for (auto changed : {&Session::quickChanged, &Session::deepChanged, &Session::volumesChanged})
        connect(session_.get(), changed, this, &SessionRow::refresh);
    refresh();
}

QString SessionRow::title() const { return title_->text(); }

void SessionRow::refresh() {
    const TaskPhase& deep = session_->deep();
    const TaskPhase& quick = session_->quick();
    const TaskPhase* running = isRunning(deep) ? &deep : isRunning(quick) ? &quick : nullptr;
    if (running) {
        showFraction(progress_, std::get<phase::Running>(*running).fraction);
        progress_->parentWidget()->show();
        status_->hide();
    } else {
        status_->setText(QString::number(session_->volumes().size()) + QStringLiteral(" filsystemer fundet"));
        progress_->parentWidget()->hide();
        status_->show();
    }
}

JobRow::JobRow(ImagingJobPtr job, QWidget* parent) : QWidget(parent), job_(std::move(job)) {
    auto* row = rowLayout(this);
    symbolBox_ = new QWidget(this);
    symbolBox_->setFixedSize(22, 22);
    new QHBoxLayout(symbolBox_);
    symbolBox_->layout()->setContentsMargins(0, 0, 0, 0);
    row->addWidget(symbolBox_, 0, Qt::AlignVCenter);
    auto* column = new QVBoxLayout;
    column->setSpacing(2);
    name_ = lineLabel(qs(lastPathComponent(job_->imageURL)), Style::font(Style::TextStyle::body), this);
    column->addWidget(name_);
    column->addWidget(secondLine(this, progress_, status_));
    row->addLayout(column, 1);
    for (auto changed : {&ImagingJob::runningChanged, &ImagingJob::finishedChanged, &ImagingJob::statsChanged})
        connect(job_.get(), changed, this, &JobRow::refresh);
    refresh();
}

QString JobRow::name() const { return name_->text(); }

std::string JobRow::statusText(const ImagingJob& job) {
    if (!job.finished()) return "Venter";
    if (job.copiedCompletely()) return "Færdig";
    const ImagingStats& stats = job.stats();
    if (stats.message && !stats.message->empty()) return *stats.message;
    if (stats.bad > 0) return formatBytes(stats.bad) + " ulæselige";
    return formatBytes(stats.pending) + " ikke kopieret";
}

void JobRow::refresh() {
    std::string symbol;
    QColor colour;
    if (!job_->finished()) {
        symbol = "square.and.arrow.down.on.square";
        colour = Style::accent();
    } else if (job_->copiedCompletely()) {
        symbol = "checkmark.circle.fill";
        colour = Style::Colors::green;
    } else {
        symbol = "exclamationmark.triangle.fill";
        colour = Style::Colors::orange;
    }
    if (!symbol_ || symbol_->symbol() != symbol || symbol_->colour() != colour) {
        delete symbol_;
        symbol_ = new SymbolView(symbol, colour, 22, 16, symbolBox_);
        symbolBox_->layout()->addWidget(symbol_);
    }
    if (job_->running()) {
        showFraction(progress_, job_->fraction());
        progress_->parentWidget()->show();
        status_->hide();
        setToolTip({});
    } else {
        QString text = qs(statusText(*job_));
        status_->setText(text);
        setToolTip(text.size() > 30 ? plainToolTip(text) : QString());
        progress_->parentWidget()->hide();
        status_->show();
    }
}

}  // namespace sovanta::app
