// The application's display texts in the Danish locale, and what it shows of a
// file node beyond the core's fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "SovantaCore/Model.h"

namespace sovanta::app {

// Numbers, dates, byte rates and durations as the window shows them ("da_DK",
// fixed); a value that cannot be shown gives "–".
namespace Fmt {
inline constexpr const char* missing = "–";
// Digits with the Danish grouping: 1234567 gives "1.234.567".
std::string number(int64_t value);
// Medium date and short time, in the local time zone.
std::string date(const std::optional<Date>& value);
// formatBytes of the whole bytes per second, followed by "/s".
std::string rate(double bytesPerSecond);
// "45 sek", "2 min 5 sek", "1 t 30 min", "2 d 3 t".
std::string duration(std::optional<double> seconds);
// The visible symbol a character of a previewed text is drawn as where it
// would break a line, move the text or show as nothing: a line break (LF, CR,
// VT, FF, NEL, U+2028) "↵", a paragraph separator "¶", a tab "→", NUL "·", any
// other control character "�"; none for a character that is drawn as itself.
// (Names are shown through the core's visibleText, as escapes.)
std::optional<char16_t> visibleSymbol(char32_t character);
}  // namespace Fmt

// Sort keys of the file table's columns.
uint64_t sizeSort(const FileNode& node);
// The modification date; undated nodes sort first.
Date modifiedSort(const FileNode& node);
std::string statusSort(const FileNode& node);
// -1 for a folder, else the recoverability's value.
int chanceSort(const FileNode& node);
// The path of the node's parent; "/" for a volume's root.
std::string location(const FileNode& node);
// The node's icon as a symbol name ("folder.fill", "photo", ...).
std::string symbol(const FileNode& node);
// Where the first allocated piece of the contents lies on the source.
std::optional<uint64_t> firstOffset(const FileNode& node);
// The allocated pieces of the contents; holes do not count.
int64_t fragmentCount(const FileNode& node);

}  // namespace sovanta::app
