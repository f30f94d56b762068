#include "SovantaApp/Style.h"

#include <algorithm>
#include <cmath>
#include <map>

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QFontInfo>
#include <QPainter>
#include <QPixmapCache>
#include <QStyleFactory>

namespace sovanta::app {

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

QColor fileSystemColour(FileSystemType type) {
    switch (type) {
        case FileSystemType::fat12:
        case FileSystemType::fat16:
        case FileSystemType::fat32: return Colors::teal;
        case FileSystemType::exfat: return Colors::cyan;
        case FileSystemType::ntfs: return Colors::blue;
        case FileSystemType::hfsplus: return Colors::purple;
        case FileSystemType::apfs: return Colors::indigo;
        case FileSystemType::ext: return Colors::orange;
        case FileSystemType::carved: return Colors::pink;
        case FileSystemType::unknown: return Colors::gray;
    }
    return Colors::gray;
}

QColor statusColour(EntryStatus status) {
    switch (status) {
        case EntryStatus::existing: return primaryText();
        case EntryStatus::deleted: return Colors::red;
        case EntryStatus::orphaned: return Colors::orange;
        case EntryStatus::carved: return Colors::pink;
    }
    return primaryText();
}

QColor chanceColour(Recoverability chance) {
    switch (chance) {
        case Recoverability::unknown: return Colors::gray;
        case Recoverability::poor: return Colors::red;
        case Recoverability::partial: return Colors::orange;
        case Recoverability::good: return Colors::green;
    }
    return Colors::gray;
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
                      .arg(QString::fromStdString(symbol))
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

}  // namespace sovanta::app
