#include "SovantaApp/SessionView/OverviewView.h"

#include <algorithm>
#include <cmath>

#include <QGridLayout>
#include <QHBoxLayout>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "SovantaApp/Formatting.h"
#include "SovantaApp/SessionView/DeepScanCard.h"

namespace sovanta::app {

namespace {

QLabel* secondaryLine(const QString& text, QWidget* parent) {
    QLabel* label = textLabel(text, Style::font(Style::TextStyle::body), Style::secondaryText(), parent);
    label->setWordWrap(true);
    return label;
}

// Puts widget alone into slot, deleting what was there; hides an empty slot.
void fill(QWidget* slot, QWidget* widget) {
    QLayout* layout = slot->layout();
    while (QLayoutItem* item = layout->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    if (widget) layout->addWidget(widget);
    slot->setVisible(widget != nullptr);
}

QWidget* makeSlot(QWidget* parent) {
    auto* slot = new QWidget(parent);
    auto* layout = new QVBoxLayout(slot);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(18);
    slot->hide();
    return slot;
}

}  // namespace

// MARK: Badge

Badge::Badge(const QString& text, QColor colour, QWidget* parent) : QLabel(text, parent), colour_(colour) {
    setTextFormat(Qt::PlainText);
    setFont(Style::font(Style::TextStyle::caption, QFont::DemiBold));
    setContentsMargins(7, 2, 7, 2);
    setTextColour(this, colour);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

void Badge::paintEvent(QPaintEvent* event) {
    {
        QPainter painter(this);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.setPen(Qt::NoPen);
        painter.setBrush(Style::faded(colour_, 0.15));
        QRectF r = rect();
        painter.drawRoundedRect(r, r.height() / 2, r.height() / 2);
    }
    QLabel::paintEvent(event);
}

// MARK: Volume row

std::string VolumeRow::statsText(const VolumeStats& stats) {
    std::string text = Fmt::number(stats.files) + " filer · " + Fmt::number(stats.folders) + " mapper · " +
                       formatBytes(stats.bytes);
    if (stats.deleted >= 1) text += " · " + Fmt::number(stats.deleted) + " slettede/fundne";
    return text;
}

VolumeRow::VolumeRow(VolumePtr volume, std::optional<VolumeStats> stats, std::function<void()> open,
                     QWidget* parent)
    : QWidget(parent), volume_(std::move(volume)) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 6, 0, 6);
    row->setSpacing(14);
    QColor colour = Style::fileSystemColour(volume_->type);
    int glyph = QFontMetrics(Style::font(Style::TextStyle::title2)).height();
    symbol_ = new SymbolView(volume_->type == FileSystemType::carved ? "wand.and.rays" : "internaldrive.fill", colour,
                             34, glyph, this);
    row->addWidget(symbol_, 0, Qt::AlignTop);

    auto* stack = new QVBoxLayout;
    stack->setSpacing(4);
    auto* title = new QHBoxLayout;
    title->setSpacing(8);
    label_ = textLabel(volume_->label.empty() ? QStringLiteral("Uden navn") : qs(volume_->label),
                       Style::font(Style::TextStyle::headline), std::nullopt, this);
    title->addWidget(label_, 0, Qt::AlignVCenter);
    badge_ = new Badge(qs(rawValue(volume_->type)), colour, this);
    title->addWidget(badge_, 0, Qt::AlignVCenter);
    origin_ = textLabel(qs(volume_->origin), Style::font(Style::TextStyle::caption), Style::secondaryText(), this);
    title->addWidget(origin_, 0, Qt::AlignVCenter);
    title->addStretch(1);
    stack->addLayout(title);
    if (stats) {
        stats_ = textLabel(qs(statsText(*stats)), Style::font(Style::TextStyle::callout),
                           Style::secondaryText(), this);
        stack->addWidget(stats_);
    }
    QFont caption = Style::font(Style::TextStyle::caption);
    int side = QFontMetrics(caption).height();
    for (const std::string& note : volume_->notes) {
        auto* line = new QHBoxLayout;
        line->setSpacing(5);
        line->addWidget(new SymbolView("info.circle", Style::secondaryText(), side, side * 4 / 5, this), 0,
                        Qt::AlignTop);
        QLabel* text = textLabel(qs(note), caption, Style::secondaryText(), this);
        text->setWordWrap(true);
        line->addWidget(text, 1);
        notes_.push_back(text);
        stack->addLayout(line);
    }
    row->addLayout(stack, 1);

    open_ = prominentButton(QStringLiteral("Vis filer"), std::nullopt, false, this);
    connect(open_, &QPushButton::clicked, this, [onOpen = std::move(open)] {
        if (onOpen) onOpen();
    });
    row->addWidget(open_, 0, Qt::AlignTop);
}

// MARK: Overview

std::vector<PartitionBar::Segment> OverviewView::segments(const PartitionLayout& layout) {
    std::vector<PartitionBar::Segment> out;
    for (size_t i = 0; i < layout.entries.size(); ++i) {
        const PartitionEntry& entry = layout.entries[i];
        PartitionBar::Segment segment;
        segment.label = std::to_string(entry.index) + ": " +
                        (entry.detected ? rawValue(*entry.detected) : entry.typeName);
        if (!entry.name.empty()) segment.label += " – " + entry.name;
        segment.size = entry.size;
        segment.color = entry.detected ? Style::fileSystemColour(*entry.detected) : PartitionBar::paletteColour(i);
        out.push_back(std::move(segment));
    }
    return out;
}

OverviewView::OverviewView(SessionPtr session, QWidget* parent) : QScrollArea(parent), session_(std::move(session)) {
    setWidgetResizable(true);
    setFrameShape(QFrame::NoFrame);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    viewport()->setBackgroundRole(QPalette::Window);
    viewport()->setAutoFillBackground(true);
    auto* page = new QWidget;
    page->setBackgroundRole(QPalette::Window);
    auto* outer = new QHBoxLayout(page);
    outer->setContentsMargins(28, 28, 28, 28);
    auto* columnWidget = new QWidget(page);
    columnWidget->setMaximumWidth(1100);
    outer->addWidget(columnWidget, 1);
    outer->addStretch(0);
    column_ = new QVBoxLayout(columnWidget);
    column_->setContentsMargins(0, 0, 0, 0);
    column_->setSpacing(18);

    column_->addWidget(makeQuickCard(columnWidget));

    adviceSlot_ = makeSlot(columnWidget);
    layoutSlot_ = makeSlot(columnWidget);
    volumesSlot_ = makeSlot(columnWidget);
    column_->addWidget(adviceSlot_);
    column_->addWidget(layoutSlot_);
    column_->addWidget(volumesSlot_);
    deepCard_ = new DeepScanCard(session_, columnWidget);
    column_->addWidget(deepCard_);
    notesSlot_ = makeSlot(columnWidget);
    column_->addWidget(notesSlot_);
    column_->addStretch(1);
    setWidget(page);

    Session* s = session_.get();
    connect(s, &Session::quickChanged, this, [this] {
        refreshQuick();
        bool finished = std::holds_alternative<phase::Finished>(session_->quick());
        bool running = isRunning(session_->quick());
        if (finished != quickFinished_) rebuildLayout();
        if (running != quickRunning_) rebuildVolumes();
    });
    connect(s, &Session::badSectorsChanged, this, &OverviewView::rebuildAdvice);
    connect(s, &Session::layoutChanged, this, &OverviewView::rebuildLayout);
    connect(s, &Session::volumesChanged, this, &OverviewView::rebuildVolumes);
    connect(s, &Session::volumeStatsChanged, this, &OverviewView::rebuildVolumes);
    connect(s, &Session::notesChanged, this, &OverviewView::rebuildNotes);
    refreshQuick();
    rebuildAdvice();
    rebuildLayout();
    rebuildVolumes();
    rebuildNotes();
}

// The quick scan while it runs: its message, stop button and progress bar.
Card* OverviewView::makeQuickCard(QWidget* columnWidget) {
    quickCard_ = new Card(16, columnWidget);
    auto* quickRow = new QHBoxLayout;
    quickRow->setSpacing(12);
    quickRow->addWidget(new Spinner(quickCard_), 0, Qt::AlignVCenter);
    quickMessage_ = textLabel({}, Style::font(Style::TextStyle::body), std::nullopt, quickCard_);
    quickRow->addWidget(quickMessage_, 0, Qt::AlignVCenter);
    quickRow->addStretch(1);
    quickStop_ = new QPushButton(QStringLiteral("Stop"), quickCard_);
    std::weak_ptr<Session> weak = session_;
    connect(quickStop_, &QPushButton::clicked, this, [weak] {
        if (auto s = weak.lock())
            if (s->reporter) s->reporter->cancel();
    });
    quickRow->addWidget(quickStop_, 0, Qt::AlignVCenter);
    quickCard_->content()->addLayout(quickRow);
    quickBar_ = new QProgressBar(quickCard_);
    quickBar_->setTextVisible(false);
    quickBar_->setFixedHeight(8);
    quickBar_->setRange(0, 1000);
    quickCard_->add(quickBar_);
    return quickCard_;
}

void OverviewView::refreshQuick() {
    const auto* running = std::get_if<phase::Running>(&session_->quick());
    quickCard_->setVisible(running != nullptr);
    if (!running) return;
    quickMessage_->setText(qs(running->message));
    if (running->fraction) {
        quickBar_->setValue(static_cast<int>(std::lround(std::clamp(*running->fraction, 0.0, 1.0) * 1000)));
        quickBar_->show();
    } else {
        quickBar_->hide();
    }
}

void OverviewView::rebuildAdvice() {
    advice_ = nullptr;
    if (session_->badSectors() >= 1)
        advice_ = new Callout(Callout::Kind::danger,
                              "Disken har ulæselige sektorer (" + Fmt::number(session_->badSectors()) + ")",
                              "Overvej at lave et diskbillede (menuen ⋯ øverst), og scan derefter billedet i stedet "
                              "for disken.");
    fill(adviceSlot_, advice_);
}

void OverviewView::rebuildLayout() {
    quickFinished_ = std::holds_alternative<phase::Finished>(session_->quick());
    scheme_ = nullptr;
    bar_ = nullptr;
    cells_.clear();
    layoutEmpty_ = nullptr;
    layoutCard_ = makeLayoutCard();
    fill(layoutSlot_, layoutCard_);
}

Card* OverviewView::makeLayoutCard() {
    auto* card = new Card(16);
    const auto& layout = session_->layout();
    auto* header = new QHBoxLayout;
    header->addWidget(new CardTitle("Partitionstabel", "tablecells", card), 0, Qt::AlignVCenter);
    header->addStretch(1);
    if (layout) {
        scheme_ = textLabel(qs(layout->scheme), Style::font(Style::TextStyle::callout, QFont::Medium),
                            Style::secondaryText(), card);
        header->addWidget(scheme_, 0, Qt::AlignVCenter);
    }
    card->content()->addLayout(header);

    if (!layout || layout->entries.empty()) {
        layoutEmpty_ = secondaryLine(quickFinished_ ? QStringLiteral("Ingen partitioner fundet. Kør en dyb scanning for "
                                                                     "at lede efter tabte partitioner og filer.")
                                                   : QStringLiteral("Venter på scanning …"),
                                     card);
        card->add(layoutEmpty_);
        return card;
    }

    bar_ = new PartitionBar(segments(*layout), session_->source->size, card);
    card->add(bar_);

    auto* gridBox = new QWidget(card);
    auto* grid = new QGridLayout(gridBox);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(18);
    grid->setVerticalSpacing(6);
    QFont callout = Style::font(Style::TextStyle::callout);
    // The application's fonts draw their digits in equal widths already.
    QFont numbers = callout;
    QFont caption = Style::font(Style::TextStyle::caption);
    std::vector<QLabel*> headerRow;
    const QStringList titles = {QStringLiteral("#"),     QStringLiteral("Type"),      QStringLiteral("Filsystem"),
                                QStringLiteral("Start"), QStringLiteral("Størrelse"), QStringLiteral("Navn")};
    for (int c = 0; c < titles.size(); ++c) {
        QLabel* cell = textLabel(titles[c], caption, Style::secondaryText(), gridBox);
        grid->addWidget(cell, 0, c, Qt::AlignLeft | Qt::AlignVCenter);
        headerRow.push_back(cell);
    }
    cells_.push_back(std::move(headerRow));
    uint64_t sectorSize = static_cast<uint64_t>(std::max<int64_t>(session_->source->sectorSize, 1));
    int r = 1;
    for (const PartitionEntry& entry : layout->entries) {
        std::vector<QLabel*> row = {
            textLabel(QString::number(entry.index), callout, std::nullopt, gridBox),
            textLabel(qs(entry.typeName), callout, std::nullopt, gridBox),
            entry.detected ? textLabel(qs(rawValue(*entry.detected)), callout, std::nullopt, gridBox)
                           : textLabel(QStringLiteral("Ukendt"), callout, Style::secondaryText(), gridBox),
            textLabel(QStringLiteral("sektor ") + QString::number(entry.offset / sectorSize), numbers, std::nullopt,
                      gridBox),
            textLabel(qs(formatBytes(entry.size)), numbers, std::nullopt, gridBox),
            textLabel(entry.name.empty() ? QStringLiteral("–") : qs(entry.name), callout, std::nullopt, gridBox),
        };
        for (int c = 0; c < static_cast<int>(row.size()); ++c)
            grid->addWidget(row[static_cast<size_t>(c)], r, c, Qt::AlignLeft | Qt::AlignVCenter);
        cells_.push_back(std::move(row));
        ++r;
    }
    grid->setColumnStretch(static_cast<int>(titles.size()), 1);
    card->add(gridBox);
    return card;
}

void OverviewView::rebuildVolumes() {
    quickRunning_ = isRunning(session_->quick());
    rows_.clear();
    volumesEmpty_ = nullptr;
    volumesCard_ = makeVolumesCard();
    fill(volumesSlot_, volumesCard_);
}

Card* OverviewView::makeVolumesCard() {
    auto* card = new Card(16);
    card->add(new CardTitle("Fundne filsystemer", "externaldrive.connected.to.line.below", card));
    const auto& volumes = session_->volumes();
    if (volumes.empty()) {
        volumesEmpty_ = secondaryLine(quickRunning_ ? QStringLiteral("Scanner …")
                                                    : QStringLiteral("Ingen læsbare filsystemer fundet endnu."),
                                      card);
        card->add(volumesEmpty_);
        return card;
    }
    for (const VolumePtr& volume : volumes) {
        std::optional<VolumeStats> stats;
        auto it = session_->volumeStats().find(volume->id);
        if (it != session_->volumeStats().end()) stats = it->second;
        Uuid id = volume->id;
        auto* row = new VolumeRow(volume, stats, [this, id] { openVolume(id); }, card);
        rows_.push_back(row);
        card->add(row);
    }
    return card;
}

void OverviewView::openVolume(const Uuid& id) {
    // Keep the session: the tab change below replaces this page.
    SessionPtr session = session_;
    session->setSelectedVolumeID(id);
    if (session->tab() != SessionTab::files) session->setTab(SessionTab::files);
}

void OverviewView::rebuildNotes() {
    notes_.clear();
    QWidget* box = nullptr;
    if (!session_->notes().empty()) {
        box = new QWidget;
        auto* stack = new QVBoxLayout(box);
        stack->setContentsMargins(0, 0, 0, 0);
        stack->setSpacing(18);
        for (const std::string& note : session_->notes()) {
            auto* callout = new Callout(Callout::Kind::info, "Bemærkning", note, box);
            notes_.push_back(callout);
            stack->addWidget(callout);
        }
    }
    fill(notesSlot_, box);
}

}  // namespace sovanta::app
