// The one place for the window's colours, text styles and symbol icons: the
// bottom of the views, below the shared widgets.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <QColor>
#include <QFont>
#include <QIcon>
#include <QPalette>
#include <QPixmap>

#include "SovantaCore/Model.h"

namespace sovanta::app {

namespace Style {

// The named colours, the same in light and dark palettes.
namespace Colors {
inline const QColor blue{0x0a, 0x7a, 0xff};
inline const QColor purple{0xaf, 0x52, 0xde};
inline const QColor teal{0x30, 0xb0, 0xc7};
inline const QColor orange{0xff, 0x95, 0x00};
inline const QColor pink{0xff, 0x2d, 0x55};
inline const QColor indigo{0x58, 0x56, 0xd6};
inline const QColor green{0x34, 0xc7, 0x59};
inline const QColor brown{0xa2, 0x84, 0x5e};
inline const QColor red{0xff, 0x3b, 0x30};
inline const QColor gray{0x8e, 0x8e, 0x93};
inline const QColor cyan{0x32, 0xad, 0xe6};
inline const QColor yellow{0xff, 0xcc, 0x00};
}  // namespace Colors

// From the application's palette, so they follow a light or dark desktop.
QColor accent();
QColor primaryText();
QColor secondaryText();
QColor tertiaryText();
QColor separator();
QColor controlBackground();
// Whether the application's palette is a dark one.
bool isDark();
// The colour with its alpha multiplied by opacity (0 to 1).
QColor faded(QColor colour, double opacity);

// What a colour stands for, the same on every page: a file system's kind (its
// volumes' icons and partition segments), an entry's status (the primary text
// for an existing entry) and its chance of recovery.
QColor fileSystemColour(FileSystemType type);
QColor statusColour(EntryStatus status);
QColor chanceColour(Recoverability chance);

enum class TextStyle { caption, callout, subheadline, body, headline, title3, title2, title1 };
// A font of the style, derived from the application font.
QFont font(TextStyle style, std::optional<QFont::Weight> weight = std::nullopt);
// The system font at the given size in points (device-independent pixels).
QFont systemFont(double size, QFont::Weight weight = QFont::Normal);

// The freedesktop icon name that stands for a symbol name; empty for a name
// not in the table.
QString themeIconName(const std::string& symbol);
// Every symbol name of the table.
std::vector<std::string> knownSymbols();
// The icon of a symbol name (a null icon for an unknown name).
QIcon icon(const std::string& symbol);
// The symbol drawn in one colour, size points square.
QPixmap symbolPixmap(const std::string& symbol, int size, const QColor& colour);
// The symbol as a button or action icon in the palette's text colours.
QIcon buttonIcon(const std::string& symbol);

// Chooses the icon theme when the desktop gives none, and a dark palette when
// the desktop asks for one that Qt does not read itself (GTK_THEME "…:dark").
void setUpApplicationLook();
// The dark palette of the application.
QPalette darkPalette();

}  // namespace Style

}  // namespace sovanta::app
