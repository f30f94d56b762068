#include "SovantaApp/Components.h"

#include <algorithm>
#include <cmath>

#include <QEvent>
#include <QFontInfo>
#include <QFontMetricsF>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHelpEvent>
#include <QLabel>
#include <QTextDocument>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QScrollArea>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

namespace sovanta::app {

// MARK: Drawing helpers

QString plainToolTip(const QString& text) {
    if (!Qt::mightBeRichText(text)) return text;
    return QStringLiteral("<p style='white-space:pre-wrap'>") + text.toHtmlEscaped() + QStringLiteral("</p>");
}

void showPlainText(QMessageBox* alert) {
    alert->setTextFormat(Qt::PlainText);
    for (QLabel* label : alert->findChildren<QLabel*>())
        if (label->pixmap().isNull()) label->setTextFormat(Qt::PlainText);
}

void setTextColour(QWidget* widget, const QColor& colour) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, colour);
    widget->setPalette(palette);
}

QLabel* textLabel(const QString& text, const QFont& font, std::optional<QColor> colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    if (colour) setTextColour(label, *colour);
    return label;
}

QVBoxLayout* makePageColumn(QScrollArea* area, int maxWidth, int margin, int spacing) {
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    auto* page = new QWidget;
    page->setBackgroundRole(QPalette::Window);
    auto* outer = new QHBoxLayout(page);
    outer->setContentsMargins(margin, margin, margin, margin);
    auto* column = new QWidget(page);
    column->setMaximumWidth(maxWidth);
    // The rest of the width stays empty.
    outer->addWidget(column, 1, Qt::AlignTop);
    outer->addStretch(0);
    auto* stack = new QVBoxLayout(column);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(spacing);
    area->setWidget(page);
    return stack;
}

PathLabel::PathLabel(QWidget* parent) : QLabel(parent) {
    setTextFormat(Qt::PlainText);
    setWordWrap(false);
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

void PathLabel::setFullText(const QString& text) {
    full_ = text;
    setToolTip(plainToolTip(text));
    fit();
    updateGeometry();
}

QSize PathLabel::sizeHint() const {
    return {fontMetrics().horizontalAdvance(full_) + 1, QLabel::sizeHint().height()};
}

QSize PathLabel::minimumSizeHint() const { return {40, QLabel::minimumSizeHint().height()}; }

void PathLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    fit();
}

void PathLabel::changeEvent(QEvent* event) {
    QLabel::changeEvent(event);
    if (event->type() == QEvent::FontChange) fit();
}

void PathLabel::fit() { setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, std::max(width(), 40))); }

QFrame* divider(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Plain);
    line->setFixedHeight(1);
    setTextColour(line, Style::separator());
    return line;
}

namespace {

// A rounded rectangle with smoothed corners, inset by half a line so that a
// border of that width lies inside the edge.
QPainterPath roundedPath(const QRectF& rect, double radius, double lineWidth = 0) {
    QRectF r = rect.adjusted(lineWidth / 2, lineWidth / 2, -lineWidth / 2, -lineWidth / 2);
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    return path;
}

void fillRounded(QPainter& painter, const QRectF& rect, double radius, const QColor& fill,
                 std::optional<QColor> border = std::nullopt) {
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawPath(roundedPath(rect, radius));
    if (border) {
        painter.setBrush(Qt::NoBrush);
        painter.setPen(QPen(*border, 1));
        painter.drawPath(roundedPath(rect, radius, 1));
    }
}

// A label that wraps onto as many lines as its text needs.
QLabel* makeWrappingLabel(const QString& text, const QFont& font, std::optional<QColor> colour, QWidget* parent) {
    QLabel* label = textLabel(text, font, colour, parent);
    label->setWordWrap(true);
    return label;
}

}  // namespace

// MARK: SymbolView

SymbolView::SymbolView(std::string symbol, QColor colour, int side, int glyph, QWidget* parent)
    : QWidget(parent), symbol_(std::move(symbol)), colour_(colour), glyph_(glyph > 0 ? glyph : side) {
    setFixedSize(side, side);
    setAttribute(Qt::WA_TranslucentBackground);
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QPixmap pixmap = Style::symbolPixmap(symbol_, glyph_, colour_);
    QPointF corner((width() - glyph_) / 2.0, (height() - glyph_) / 2.0);
    painter.drawPixmap(corner, pixmap);
}

// MARK: Swatch and FittedImage

Swatch::Swatch(QColor colour, double radius, QWidget* parent) : QWidget(parent), colour_(colour), radius_(radius) {
    setFixedSize(10, 10);
}

void Swatch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    fillRounded(painter, rect(), radius_, colour_);
}

FittedImage::FittedImage(QImage image, QWidget* parent) : QWidget(parent), image_(std::move(image)) {}

void FittedImage::setImage(QImage image) {
    image_ = std::move(image);
    update();
}

void FittedImage::paintEvent(QPaintEvent*) {
    QRectF box = QRectF(rect()).adjusted(8, 8, -8, -8);
    if (image_.isNull() || box.width() <= 0 || box.height() <= 0) return;
    QSizeF size = QSizeF(image_.size()).scaled(box.size(), Qt::KeepAspectRatio);
    QRectF target(box.center().x() - size.width() / 2, box.center().y() - size.height() / 2, size.width(),
                  size.height());
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawImage(target, image_);
}

// MARK: Spinner

Spinner::Spinner(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    setFixedSize(16, 16);
    timer_->setInterval(80);
    connect(timer_, &QTimer::timeout, this, [this] {
        angle_ = (angle_ + 30) % 360;
        update();
    });
}

void Spinner::showEvent(QShowEvent*) { timer_->start(); }

void Spinner::hideEvent(QHideEvent*) { timer_->stop(); }

void Spinner::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(Style::secondaryText(), 2, Qt::SolidLine, Qt::RoundCap));
    painter.drawArc(QRectF(rect()).adjusted(2, 2, -2, -2), -angle_ * 16, 270 * 16);
}

// MARK: Card

Card::Card(double padding, QWidget* parent) : QFrame(parent) {
    content_ = new QVBoxLayout(this);
    int inset = static_cast<int>(std::lround(padding));
    content_->setContentsMargins(inset, inset, inset, inset);
    content_->setSpacing(12);
    content_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void Card::add(QWidget* widget) { content_->addWidget(widget); }

void Card::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    fillRounded(painter, rect(), 14, Style::controlBackground(), Style::faded(Style::separator(), 0.6));
}

CardTitle::CardTitle(const std::string& title, std::optional<std::string> symbol, QWidget* parent)
    : QWidget(parent) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(8);
    QFont headline = Style::font(Style::TextStyle::headline);
    if (symbol) {
        int side = QFontMetrics(headline).height();
        symbol_ = new SymbolView(*symbol, Style::accent(), side, side * 4 / 5, this);
        row->addWidget(symbol_, 0, Qt::AlignVCenter);
    }
    title_ = textLabel(qs(title), headline, std::nullopt, this);
    row->addWidget(title_, 0, Qt::AlignVCenter);
    row->addStretch(1);
}

QString CardTitle::title() const { return title_->text(); }

// MARK: StatTile

ShrinkingLabel::ShrinkingLabel(QString text, QFont font, double minimumScale, QWidget* parent)
    : QWidget(parent), text_(std::move(text)), font_(std::move(font)), minimumScale_(minimumScale) {
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
}

void ShrinkingLabel::setText(QString text) {
    if (text == text_) return;
    text_ = std::move(text);
    updateGeometry();
    update();
}

QFont ShrinkingLabel::fittedFont() const {
    QFont f = font_;
    double natural = QFontMetricsF(font_).horizontalAdvance(text_);
    if (natural <= width() || natural <= 0) return f;
    double scale = std::max(minimumScale_, static_cast<double>(width()) / natural);
    int base = font_.pixelSize() > 0 ? font_.pixelSize() : QFontInfo(font_).pixelSize();
    // Rounded down so that the shrunk text fits.
    f.setPixelSize(std::max(1, static_cast<int>(std::floor(base * scale))));
    return f;
}

bool ShrinkingLabel::isCut() const { return QFontMetricsF(fittedFont()).horizontalAdvance(text_) > width(); }

QSize ShrinkingLabel::sizeHint() const {
    QFontMetrics metrics(font_);
    return {metrics.horizontalAdvance(text_), metrics.height()};
}

QSize ShrinkingLabel::minimumSizeHint() const { return {0, QFontMetrics(font_).height()}; }

void ShrinkingLabel::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QFont f = fittedFont();
    painter.setFont(f);
    painter.setPen(palette().color(QPalette::WindowText));
    QString shown = QFontMetrics(f).elidedText(text_, Qt::ElideRight, width());
    painter.drawText(rect(), Qt::AlignLeft | Qt::AlignVCenter, shown);
}

StatTile::StatTile(const std::string& title, const std::string& value, std::optional<std::string> symbol,
                   std::optional<QColor> tint, QWidget* parent)
    : QWidget(parent), tint_(tint.value_or(Style::accent())) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(12, 12, 12, 12);
    stack->setSpacing(4);
    auto* row = new QHBoxLayout;
    row->setSpacing(5);
    QFont caption = Style::font(Style::TextStyle::caption);
    if (symbol) {
        int side = QFontMetrics(caption).height();
        symbol_ = new SymbolView(*symbol, tint_, side, side * 4 / 5, this);
        row->addWidget(symbol_, 0, Qt::AlignVCenter);
    }
    title_ = textLabel(qs(title), caption, Style::secondaryText(), this);
    row->addWidget(title_, 0, Qt::AlignVCenter);
    row->addStretch(1);
    stack->addLayout(row);
    value_ = new ShrinkingLabel(qs(value), Style::font(Style::TextStyle::title3, QFont::DemiBold), 0.7, this);
    stack->addWidget(value_);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

QString StatTile::title() const { return title_->text(); }
QString StatTile::value() const { return value_->text(); }
void StatTile::setValue(const std::string& value) { value_->setText(qs(value)); }

void StatTile::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    fillRounded(painter, rect(), 10, Style::faded(tint_, 0.08));
}

// MARK: Callout

std::string Callout::symbol(Kind kind) {
    switch (kind) {
        case Kind::info: return "info.circle.fill";
        case Kind::warning: return "exclamationmark.triangle.fill";
        case Kind::danger: return "xmark.octagon.fill";
        case Kind::success: return "checkmark.seal.fill";
    }
    return "info.circle.fill";
}

QColor Callout::colour(Kind kind) {
    switch (kind) {
        case Kind::info: return Style::Colors::blue;
        case Kind::warning: return Style::Colors::orange;
        case Kind::danger: return Style::Colors::red;
        case Kind::success: return Style::Colors::green;
    }
    return Style::Colors::blue;
}

Callout::Callout(Kind kind, const std::string& title, const std::string& message, QWidget* parent)
    : QWidget(parent), kind_(kind) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(12, 12, 12, 12);
    row->setSpacing(12);
    int side = QFontMetrics(Style::font(Style::TextStyle::title3)).height();
    row->addWidget(new SymbolView(symbol(kind), colour(kind), side, side * 4 / 5, this), 0, Qt::AlignTop);
    auto* stack = new QVBoxLayout;
    stack->setSpacing(3);
    title_ = textLabel(qs(title), Style::font(Style::TextStyle::subheadline, QFont::DemiBold), std::nullopt, this);
    message_ = makeWrappingLabel(qs(message), Style::font(Style::TextStyle::callout), Style::secondaryText(), this);
    stack->addWidget(title_);
    stack->addWidget(message_);
    row->addLayout(stack, 1);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

void Callout::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    fillRounded(painter, rect(), 10, Style::faded(colour(kind_), 0.10), Style::faded(colour(kind_), 0.35));
}

// MARK: Disks

std::string DiskIcon::symbolFor(const DiskInfo& disk) {
    if (disk.isDiskImage) return "doc.zipper";
    if (QString::fromStdString(disk.busProtocol).toLower().contains(QLatin1String("secure digital"))) return "sdcard";
    if (QString::fromStdString(disk.mediaName).toLower().contains(QLatin1String("sd card"))) return "sdcard";
    if (disk.isInternal) return "internaldrive";
    return "externaldrive";
}

DiskIcon::DiskIcon(const DiskInfo& disk, int size, QWidget* parent)
    : SymbolView(symbolFor(disk), Style::accent(), size, static_cast<int>(std::lround(0.8 * size)), parent) {}

std::string healthText(DiskHealth health) {
    switch (health) {
        case DiskHealth::good: return "S.M.A.R.T.: OK";
        case DiskHealth::warning: return "S.M.A.R.T.: Advarsel";
        case DiskHealth::failing: return "S.M.A.R.T.: Fejler";
        case DiskHealth::unknown: return "S.M.A.R.T.: Ukendt";
    }
    return "S.M.A.R.T.: Ukendt";
}

std::string healthSymbol(DiskHealth health) {
    switch (health) {
        case DiskHealth::good: return "checkmark.shield.fill";
        case DiskHealth::warning: return "exclamationmark.shield.fill";
        case DiskHealth::failing: return "xmark.shield.fill";
        case DiskHealth::unknown: return "questionmark.circle";
    }
    return "questionmark.circle";
}

QColor healthColour(DiskHealth health) {
    switch (health) {
        case DiskHealth::good: return Style::Colors::green;
        case DiskHealth::warning: return Style::Colors::orange;
        case DiskHealth::failing: return Style::Colors::red;
        case DiskHealth::unknown: return Style::Colors::gray;
    }
    return Style::Colors::gray;
}

Dot::Dot(QColor colour, QWidget* parent) : QWidget(parent), colour_(colour) { setFixedSize(8, 8); }

void Dot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour_);
    painter.drawEllipse(QRectF(rect()));
}

HealthDot::HealthDot(DiskHealth health, QWidget* parent) : Dot(healthColour(health), parent), health_(health) {
    setToolTip(qs(healthText(health)));
}

HealthBadge::HealthBadge(DiskHealth health, QWidget* parent) : QWidget(parent), health_(health) {
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(10, 5, 10, 5);
    row->setSpacing(5);
    QFont callout = Style::font(Style::TextStyle::callout, QFont::Medium);
    int side = QFontMetrics(callout).height();
    symbol_ = new SymbolView(healthSymbol(health), healthColour(health), side, side * 4 / 5, this);
    text_ = textLabel(qs(healthText(health)), callout, healthColour(health), this);
    row->addWidget(symbol_, 0, Qt::AlignVCenter);
    row->addWidget(text_, 0, Qt::AlignVCenter);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

QString HealthBadge::text() const { return text_->text(); }

void HealthBadge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    fillRounded(painter, rect(), height() / 2.0, Style::faded(healthColour(health_), 0.15));
}

// MARK: PartitionBar

namespace {

constexpr double barHeight = 22;
constexpr double segmentGap = 2;
constexpr double minimumSegmentWidth = 4;

// The bar itself: the background of the whole disk and a rounded rectangle per segment.
class BarView : public QWidget {
public:
    explicit BarView(PartitionBar* owner) : QWidget(owner), owner_(owner) {
        setFixedHeight(static_cast<int>(barHeight));
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        setMouseTracking(true);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        fillRounded(painter, rect(), 6, Style::faded(Style::secondaryText(), 0.12));
        auto rects = owner_->segmentRects();
        for (size_t i = 0; i < rects.size(); ++i) {
            QColor base = owner_->segments()[i].color;
            QLinearGradient gradient(rects[i].topLeft(), rects[i].bottomLeft());
            gradient.setColorAt(0, base.lighter(118));
            gradient.setColorAt(1, base);
            painter.setBrush(gradient);
            painter.setPen(Qt::NoPen);
            painter.drawPath(roundedPath(rects[i], 5));
        }
    }

    bool event(QEvent* event) override {
        if (event->type() == QEvent::ToolTip) {
            auto* help = static_cast<QHelpEvent*>(event);
            auto rects = owner_->segmentRects();
            for (size_t i = 0; i < rects.size(); ++i) {
                if (rects[i].contains(help->pos())) {
                    QToolTip::showText(help->globalPos(), PartitionBar::tooltip(owner_->segments()[i]), this);
                    return true;
                }
            }
            QToolTip::hideText();
            event->ignore();
            return true;
        }
        return QWidget::event(event);
    }

private:
    PartitionBar* owner_;
};

}  // namespace

const std::vector<QColor>& PartitionBar::palette() {
    // A function-local static: made once, safely, on first use.
    static const std::vector<QColor> colours = {Style::Colors::blue,   Style::Colors::purple, Style::Colors::teal,
                                                Style::Colors::orange, Style::Colors::pink,   Style::Colors::indigo,
                                                Style::Colors::green,  Style::Colors::brown};
    return colours;
}

QColor PartitionBar::paletteColour(size_t position) { return palette()[position % palette().size()]; }

std::vector<double> PartitionBar::segmentWidths(const std::vector<Segment>& segments, uint64_t total,
                                                double width) {
    double whole = static_cast<double>(std::max<uint64_t>(total, 1));
    std::vector<double> widths;
    widths.reserve(segments.size());
    for (const Segment& segment : segments)
        widths.push_back(std::max(minimumSegmentWidth, width * (static_cast<double>(segment.size) / whole)));
    return widths;
}

QString PartitionBar::tooltip(const Segment& segment) {
    return qs(segment.label) + QStringLiteral(" – ") + qs(formatBytes(segment.size));
}

PartitionBar::PartitionBar(std::vector<Segment> segments, uint64_t total, QWidget* parent)
    : QWidget(parent), segments_(std::move(segments)), total_(total) {
    auto* stack = new QVBoxLayout(this);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(8);
    bar_ = new BarView(this);
    legend_ = new FlowLegend(segments_, this);
    stack->addWidget(bar_);
    stack->addWidget(legend_);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
}

std::vector<QRectF> PartitionBar::segmentRects() const {
    auto widths = segmentWidths(segments_, total_, bar_->width());
    std::vector<QRectF> rects;
    rects.reserve(widths.size());
    double x = 0;
    for (double w : widths) {
        rects.emplace_back(x, 0, w, barHeight);
        x += w + segmentGap;
    }
    return rects;
}

// MARK: FlowLegend

namespace {

constexpr int legendColumnWidth = 180;
constexpr int legendColumnSpacing = 12;

}  // namespace

FlowLegend::FlowLegend(const std::vector<PartitionBar::Segment>& segments, QWidget* parent) : QWidget(parent) {
    grid_ = new QGridLayout(this);
    grid_->setContentsMargins(0, 0, 0, 0);
    grid_->setVerticalSpacing(6);
    grid_->setHorizontalSpacing(legendColumnSpacing);
    QFont caption = Style::font(Style::TextStyle::caption);
    for (const auto& segment : segments) {
        auto* cell = new QWidget(this);
        auto* row = new QHBoxLayout(cell);
        row->setContentsMargins(0, 0, 0, 0);
        row->setSpacing(6);
        row->addWidget(new Swatch(segment.color, 3, cell), 0, Qt::AlignVCenter);
        row->addWidget(textLabel(qs(segment.label), caption, std::nullopt, cell), 0, Qt::AlignVCenter);
        row->addWidget(textLabel(qs(formatBytes(segment.size)), caption, Style::secondaryText(), cell), 0,
                       Qt::AlignVCenter);
        row->addStretch(1);
        cell->setToolTip(plainToolTip(PartitionBar::tooltip(segment)));
        cells_.push_back(cell);
    }
    setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    arrange(1);
}

int FlowLegend::columnsFor(int width) {
    return std::max(1, (width + legendColumnSpacing) / (legendColumnWidth + legendColumnSpacing));
}

void FlowLegend::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    int columns = columnsFor(width());
    if (columns != columns_) arrange(columns);
}

void FlowLegend::arrange(int columns) {
    for (QWidget* cell : cells_) grid_->removeWidget(cell);
    for (int c = 0; c < grid_->columnCount(); ++c) grid_->setColumnStretch(c, 0);
    for (size_t i = 0; i < cells_.size(); ++i) {
        int index = static_cast<int>(i);
        grid_->addWidget(cells_[i], index / columns, index % columns, Qt::AlignLeft | Qt::AlignVCenter);
    }
    for (int c = 0; c < columns; ++c) grid_->setColumnStretch(c, 1);
    columns_ = columns;
}

}  // namespace sovanta::app
