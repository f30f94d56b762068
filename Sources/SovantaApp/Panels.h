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

// A modal panel for choosing one folder, in which new folders may be made.
struct ChooseFolder {
    std::string title;
    std::string confirm;  // the confirm button's text
};

// The chosen folder's path, or none when the user cancelled.
using ChooseFolderFunction = std::function<std::optional<std::string>(const ChooseFolder&)>;
std::optional<std::string> systemChooseFolder(const ChooseFolder& request);
inline ChooseFolderFunction chooseFolder = systemChooseFolder;

// A modal panel for naming a file to be written, in which new folders may be
// made; no file types are imposed.
struct SaveFile {
    std::string title;
    std::string proposedName;
};

// The chosen file's path, or none when the user cancelled.
using SaveFileFunction = std::function<std::optional<std::string>(const SaveFile&)>;
std::optional<std::string> systemSaveFile(const SaveFile& request);
inline SaveFileFunction saveFile = systemSaveFile;

// Shows a file or folder selected in a window of the desktop's file manager.
using ShowInFileManagerFunction = std::function<void(const std::string& path)>;
void systemShowInFileManager(const std::string& path);
inline ShowInFileManagerFunction showInFileManager = systemShowInFileManager;

}  // namespace sovanta::app::Panels
