// The work the gallery and the preview pane need done away from the GUI
// thread: thumbnails decoded from a file's first bytes into one process-wide
// cache, the files that failed to decode, and temporary copies of single files.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <QImage>
#include <QThreadPool>

#include "SovantaApp/Models/MainThread.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta::app {

namespace Background {

// The one queue for short disk reads and decodes: at most 2 at once.
QThreadPool& previewQueue();

// Adds work to the preview queue; it runs to its end once added.
template <class F>
void onPreviewQueue(F&& work) {
    std::function<void()> task = [work = std::forward<F>(work)]() mutable {
        detail::takenOver();
        work();
    };
    detail::handedOver();
    previewQueue().start(std::move(task));
}

}  // namespace Background

namespace Preview {

inline constexpr int64_t thumbnailReadLimit = 50331648;  // 48 MiB
inline constexpr uint64_t copyLimit = 536870912;         // 512 MiB
inline constexpr int64_t copyChunkSize = 4194304;        // 4 MiB
inline constexpr int cacheLimit = 600;
inline constexpr int smallLimit = 400;  // requests up to this many pixels are small
inline constexpr int galleryPixels = 320;
inline constexpr int panePixels = 900;

// The 22 lower-case extensions thumbnails are made for, in their order.
const std::vector<std::string>& thumbnailExtensions();
// Whether the node's lower-cased extension is one of them.
bool hasThumbnailExtension(const FileNode& node);

// The cache key of a request: id × 10, plus 1 for a large request.
int64_t cacheKey(int64_t nodeID, int maxPixel);
// The cached image under a key, if any. Safe on any thread.
std::optional<QImage> cached(int64_t key);
// Whether the node's bytes failed to decode as an image. Safe on any thread.
bool isBroken(int64_t nodeID);

// The node's image with its longer side at most maxPixel (a smaller image
// keeps its size), upright by its orientation; none for a folder, an empty
// file, another extension, or bytes that do not decode (then remembered as
// broken). Blocking: run it on the preview queue.
std::optional<QImage> thumbnail(const FileNode& node, DiskSource& source, int maxPixel);

// The bytes' image scaled as thumbnail() scales it; none when they do not
// decode. HEIF and HEIC through libheif, the rest through Qt's readers.
std::optional<QImage> decodeImage(const Bytes& bytes, int maxPixel);

// The folder of this process's temporary copies: "SovantaPreview/<process
// id>" in $XDG_RUNTIME_DIR when set, else in the temporary directory. Node ids
// are unique only within one process, so two running programs keep their
// copies apart. Made only when a copy is written.
const std::filesystem::path& folder();

// The path of a complete temporary copy of the file (at most 512 MiB), or
// none. Blocking: run it on the preview queue.
std::optional<std::string> extract(const FileNode& node, DiskSource& source);
// The same, with copies kept below the given folder.
std::optional<std::string> extract(const FileNode& node, DiskSource& source, const std::filesystem::path& base);

// Makes the folder private to this user (mode 0700), or accepts it when it
// already is: a real folder, not a link, owned by us, closed to others.
bool makePrivateFolder(const std::filesystem::path& path);

// Removes the folder of this process's temporary copies with everything in
// it (other running programs keep theirs); never fails.
void cleanup();
void cleanup(const std::filesystem::path& base);

}  // namespace Preview

}  // namespace sovanta::app
