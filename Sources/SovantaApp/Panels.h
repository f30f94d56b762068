// The file panels, reached only through these replaceable functions so that
// tests can answer in the user's place.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace sovanta::app::Panels {

// A modal panel for choosing one existing file (no folders, no type filter).
struct OpenFile {
    std::string title;
    std::string message;
};

// The chosen file's path, or none when the user cancelled.
using OpenFileFunction = std::function<std::optional<std::string>(const OpenFile&)>;

// The windowing toolkit's own panel.
std::optional<std::string> systemOpenFile(const OpenFile& request);

// What the application calls; tests replace it.
inline OpenFileFunction openFile = systemOpenFile;

}  // namespace sovanta::app::Panels
