#include "SovantaApp/Components.h"

#include <algorithm>
#include <cmath>
#include <map>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
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
#include <QPixmapCache>
#include <QScrollArea>
#include <QStyleFactory>
#include <QTimer>
#include <QToolTip>
#include <QVBoxLayout>

namespace sovanta::app {

namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

// MARK: Colours

namespace Style {

QColor accent() { return QApplication::palette().color(QPalette::Highlight); }

QColor primaryText() { return QApplication::palette().color(QPalette::WindowText); }

QColor secondaryText() { return faded(primaryText(), 0.62); }

QColor tertiaryText() { return faded(primaryText(), 0.38); }

QColor separator() { return faded(primaryText(), 0.22); }

QColor controlBackground() { return QApplication::palette().color(QPalette::Base); }

bool isDark() { return QApplication::palette().color(QPalette::Window).lightness() < 128; }

QColor faded(QColor colour, double opacity) {
    colour.setAlphaF(static_cast<float>(std::clamp(colour.alphaF() * opacity, 0.0, 1.0)));
    return colour;
}

// MARK: Text styles

namespace {

// The styles' sizes relative to a body text of 13 points, as on the desktop
// the pages were designed for.
double relativeSize(TextStyle style) {
    switch (style) {
        case TextStyle::caption: return 10.0 / 13.0;
        case TextStyle::callout: return 12.0 / 13.0;
        case TextStyle::subheadline: return 11.0 / 13.0;
        case TextStyle::body: return 1.0;
        case TextStyle::headline: return 1.0;
        case TextStyle::title3: return 15.0 / 13.0;
        case TextStyle::title2: return 17.0 / 13.0;
        case TextStyle::title1: return 22.0 / 13.0;
    }
    return 1.0;
}

// The application font's size in pixels, at least 13 so that captions stay legible.
double bodyPixels() {
    QFontInfo info(QApplication::font());
    return std::max(13.0, static_cast<double>(info.pixelSize()));
}

}  // namespace

QFont font(TextStyle style, std::optional<QFont::Weight> weight) {
    QFont f = QApplication::font();
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(bodyPixels() * relativeSize(style)))));
    if (weight)
        f.setWeight(*weight);
    else if (style == TextStyle::headline)
        f.setWeight(QFont::DemiBold);
    return f;
}

QFont systemFont(double size, QFont::Weight weight) {
    QFont f = QApplication::font();
    f.setPixelSize(std::max(1, static_cast<int>(std::lround(size))));
    f.setWeight(weight);
    return f;
}

// MARK: Symbols

namespace {

// Symbol names of the pages and the icons of the freedesktop naming scheme
// (symbolic variants, drawn in one colour) that stand for them.
const std::map<std::string, QString>& symbolTable() {
    static const std::map<std::string, QString> table = {
        {"archivebox", "package-x-generic-symbolic"},
        {"arrow.clockwise", "view-refresh-symbolic"},
        {"arrow.down.doc", "document-save-symbolic"},
        {"arrow.down.doc.fill", "document-save-symbolic"},
        {"bolt.slash", "network-offline-symbolic"},
        {"chart.bar.doc.horizontal", "x-office-spreadsheet-symbolic"},
        {"chart.line.uptrend.xyaxis", "network-transmit-receive-symbolic"},
        {"chart.xyaxis.line", "network-transmit-receive-symbolic"},
        {"checklist", "view-list-bullet-symbolic"},
        {"checkmark.circle", "emblem-default-symbolic"},
        {"checkmark.circle.fill", "emblem-default-symbolic"},
        {"checkmark.seal.fill", "emblem-ok-symbolic"},
        {"checkmark.shield.fill", "security-high-symbolic"},
        {"chevron.left", "go-previous-symbolic"},
        {"chevron.right", "go-next-symbolic"},
        {"clock", "appointment-soon-symbolic"},
        {"doc", "text-x-generic-symbolic"},
        {"doc.badge.plus", "document-open-symbolic"},
        {"doc.on.doc", "edit-copy-symbolic"},
        {"doc.text", "x-office-document-symbolic"},
        {"doc.text.magnifyingglass", "edit-find-symbolic"},
        {"doc.zipper", "package-x-generic-symbolic"},
        {"eject", "media-eject-symbolic"},
        {"ellipsis.circle", "view-more-symbolic"},
        {"exclamationmark.shield.fill", "security-medium-symbolic"},
        {"exclamationmark.triangle", "dialog-warning-symbolic"},
        {"exclamationmark.triangle.fill", "dialog-warning-symbolic"},
        {"externaldrive", "drive-removable-media-symbolic"},
        {"externaldrive.badge.checkmark", "drive-harddisk-symbolic"},
        {"externaldrive.badge.plus", "drive-harddisk-usb-symbolic"},
        {"externaldrive.badge.questionmark", "drive-harddisk-symbolic"},
        {"externaldrive.connected.to.line.below", "drive-multidisk-symbolic"},
        {"eye", "view-reveal-symbolic"},
        {"film", "video-x-generic-symbolic"},
        {"folder", "folder-symbolic"},
        {"folder.badge.minus", "user-trash-symbolic"},
        {"folder.fill", "folder-symbolic"},
        {"gauge.with.dots.needle.33percent", "power-profile-balanced-symbolic"},
        {"gauge.with.dots.needle.67percent", "power-profile-performance-symbolic"},
        {"hand.raised", "action-unavailable-symbolic"},
        {"heart.text.square", "emblem-favorite-symbolic"},
        {"hourglass", "content-loading-symbolic"},
        {"info.circle", "dialog-information-symbolic"},
        {"info.circle.fill", "dialog-information-symbolic"},
        {"internaldrive", "drive-harddisk-system-symbolic"},
        {"internaldrive.fill", "drive-harddisk-system-symbolic"},
        {"lightbulb", "help-faq-symbolic"},
        {"list.bullet", "view-list-symbolic"},
        {"lock", "changes-prevent-symbolic"},
        {"lock.shield", "channel-secure-symbolic"},
        {"magnifyingglass", "system-search-symbolic"},
        {"number", "input-dialpad-symbolic"},
        {"pause.fill", "media-playback-pause-symbolic"},
        {"photo", "image-x-generic-symbolic"},
        {"photo.badge.exclamationmark", "dialog-warning-symbolic"},
        {"play.fill", "media-playback-start-symbolic"},
        {"point.3.connected.trianglepath.dotted", "network-workgroup-symbolic"},
        {"questionmark.circle", "help-faq-symbolic"},
        {"sdcard", "media-flash-symbolic"},
        {"sidebar.right", "sidebar-show-right-symbolic"},
        {"sparkle.magnifyingglass", "edit-find-symbolic"},
        {"sparkles", "starred-symbolic"},
        {"speedometer", "power-profile-performance-symbolic"},
        {"square.and.arrow.down.on.square", "document-save-as-symbolic"},
        {"square.grid.2x2", "view-grid-symbolic"},
        {"square.grid.3x3.fill", "view-app-grid-symbolic"},
        {"square.stack.3d.up", "drive-multidisk-symbolic"},
        {"stop.fill", "media-playback-stop-symbolic"},
        {"tablecells", "view-list-symbolic"},
        {"thermometer.medium", "weather-clear-symbolic"},
        {"timer", "alarm-symbolic"},
        {"wand.and.rays", "applications-science-symbolic"},
        {"wand.and.stars", "applications-science-symbolic"},
        {"waveform", "audio-x-generic-symbolic"},
        {"waveform.path.ecg", "computer-fail-symbolic"},
        {"xmark.octagon", "dialog-error-symbolic"},
        {"xmark.octagon.fill", "dialog-error-symbolic"},
        {"xmark.shield.fill", "security-low-symbolic"},
    };
    return table;
}

}  // namespace

QString themeIconName(const std::string& symbol) {
    auto it = symbolTable().find(symbol);
    return it == symbolTable().end() ? QString() : it->second;
}

std::vector<std::string> knownSymbols() {
    std::vector<std::string> names;
    for (auto& [name, icon] : symbolTable()) names.push_back(name);
    return names;
}

QIcon icon(const std::string& symbol) {
    QString name = themeIconName(symbol);
    return name.isEmpty() ? QIcon() : QIcon::fromTheme(name);
}

QPixmap symbolPixmap(const std::string& symbol, int size, const QColor& colour) {
    qreal ratio = qApp ? qApp->devicePixelRatio() : 1.0;
    QString key = QStringLiteral("sovanta-symbol:%1:%2:%3:%4")
                      .arg(qs(symbol))
                      .arg(size)
                      .arg(colour.name(QColor::HexArgb))
                      .arg(ratio);
    QPixmap cached;
    if (QPixmapCache::find(key, &cached)) return cached;

    QIcon source = icon(symbol);
    int pixels = std::max(1, static_cast<int>(std::lround(size * ratio)));
    QPixmap result(pixels, pixels);
    result.fill(Qt::transparent);
    if (symbol == "questionmark.circle") {
        // The theme's question mark stands in a diamond, which reads as the
        // sign of a broken character: a question mark in a ring reads as
        // "unknown".
        QPainter painter(&result);
        painter.setRenderHint(QPainter::Antialiasing);
        const double line = std::max(1.0, pixels / 12.0);
        painter.setPen(QPen(colour, line));
        painter.drawEllipse(QRectF(line / 2, line / 2, pixels - line, pixels - line));
        QFont font = QApplication::font();
        font.setBold(true);
        font.setPixelSize(std::max(1, static_cast<int>(pixels * 0.62)));
        painter.setFont(font);
        painter.drawText(QRect(0, 0, pixels, pixels), Qt::AlignCenter, QStringLiteral("?"));
    } else if (!source.isNull()) {
        // The symbolic icons are silhouettes: keep their shape, take the colour.
        QPixmap shape = source.pixmap(QSize(pixels, pixels));
        QPainter painter(&result);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        QRect target(0, 0, pixels, pixels);
        painter.drawPixmap(target, shape, shape.rect());
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(target, colour);
    }
    result.setDevicePixelRatio(ratio);
    QPixmapCache::insert(key, result);
    return result;
}

QIcon buttonIcon(const std::string& symbol) {
    QPalette palette = QApplication::palette();
    QIcon result;
    for (int size : {16, 22, 32}) {
        result.addPixmap(symbolPixmap(symbol, size, palette.color(QPalette::Active, QPalette::ButtonText)),
                         QIcon::Normal);
        result.addPixmap(symbolPixmap(symbol, size, palette.color(QPalette::Disabled, QPalette::ButtonText)),
                         QIcon::Disabled);
    }
    return result;
}

QPalette darkPalette() {
    QPalette p;
    const QColor window(0x1e, 0x1e, 0x1e), base(0x2a, 0x2a, 0x2c), text(0xe8, 0xe8, 0xea);
    const QColor button(0x3a, 0x3a, 0x3c), dim(0x8a, 0x8a, 0x8e);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, QColor(0x32, 0x32, 0x34));
    p.setColor(QPalette::ToolTipBase, QColor(0x3a, 0x3a, 0x3c));
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::PlaceholderText, dim);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, button);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::BrightText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x4a, 0x4a, 0x4c));
    p.setColor(QPalette::Midlight, QColor(0x40, 0x40, 0x42));
    p.setColor(QPalette::Mid, QColor(0x2c, 0x2c, 0x2e));
    p.setColor(QPalette::Dark, QColor(0x16, 0x16, 0x16));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Highlight, QColor(0x0a, 0x84, 0xff));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Link, QColor(0x41, 0x9c, 0xff));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, dim);
    p.setColor(QPalette::Disabled, QPalette::Highlight, QColor(0x50, 0x50, 0x52));
    return p;
}

void setUpApplicationLook() {
    // Platforms without a desktop theme (offscreen, a bare X server) give no
    // search paths: the XDG data folders are where icon themes live.
    QStringList paths = QIcon::themeSearchPaths();
    QStringList dataDirs = qEnvironmentVariable("XDG_DATA_DIRS").split(u':', Qt::SkipEmptyParts);
    if (dataDirs.isEmpty()) dataDirs = {QStringLiteral("/usr/local/share"), QStringLiteral("/usr/share")};
    QString dataHome = qEnvironmentVariable("XDG_DATA_HOME");
    if (dataHome.isEmpty()) dataHome = QDir::homePath() + QStringLiteral("/.local/share");
    dataDirs.prepend(dataHome);
    for (const QString& dir : dataDirs) {
        QString icons = dir + QStringLiteral("/icons");
        if (!paths.contains(icons) && QFileInfo(icons).isDir()) paths << icons;
    }
    QIcon::setThemeSearchPaths(paths);
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
        QIcon::setThemeName(QStringLiteral("Adwaita"));
    QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    // Qt 6.4 reads no colour scheme from GNOME; GTK_THEME is how a desktop
    // session or the user asks GTK programs for the dark variant.
    QByteArray gtkTheme = qgetenv("GTK_THEME");
    if (gtkTheme.endsWith(":dark") && !isDark()) {
        if (auto* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) QApplication::setStyle(fusion);
        QApplication::setPalette(darkPalette());
    }
}

}  // namespace Style

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

QLabel* textLabel(const QString& text, const QFont& font, std::optional<QColor> colour, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    label->setTextFormat(Qt::PlainText);
    if (colour) {
        QPalette p = label->palette();
        p.setColor(QPalette::WindowText, *colour);
        label->setPalette(p);
    }
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

HealthDot::HealthDot(DiskHealth health, QWidget* parent) : QWidget(parent), health_(health) {
    setFixedSize(8, 8);
    setToolTip(qs(healthText(health)));
}

void HealthDot::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);
    painter.setBrush(colour());
    painter.drawEllipse(QRectF(rect()));
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

class Swatch : public QWidget {
public:
    Swatch(QColor colour, QWidget* parent) : QWidget(parent), colour_(colour) { setFixedSize(10, 10); }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        fillRounded(painter, rect(), 3, colour_);
    }

private:
    QColor colour_;
};

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
        row->addWidget(new Swatch(segment.color, cell), 0, Qt::AlignVCenter);
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
