// The work the gallery and the preview pane need done away from the GUI
// thread: thumbnails decoded from a file's first bytes into one process-wide
// cache, the files that failed to decode, and temporary copies of single files.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include <QImage>

#include "SovantaApp/Threads.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Model.h"

namespace sovanta::app {

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
// file, another extension, a kind no decoder here reads, or bytes that do not
// decode (then, when a decoder for their kind exists, remembered as broken).
// Blocking: run it on the preview queue.
std::optional<QImage> thumbnail(const FileNode& node, DiskSource& source, int maxPixel);

// Whether a decoder for the kind of these bytes, or else of the kind the
// extension names, is at hand: when the bytes do not decode, the file is then
// damaged; without one, its kind cannot be shown.
bool hasDecoder(const Bytes& bytes, const std::string& extension);

// The bytes' image scaled as thumbnail() scales it; none when they do not
// decode. HEIF and HEIC through libheif, the rest through Qt's readers.
std::optional<QImage> decodeImage(const Bytes& bytes, int maxPixel);

// What a request for a temporary copy gave: the copy's path, or none. When
// none came because the folder for copies could not be used (a link, another
// user's folder, no room), problem says so in words for the person.
struct Copy {
    std::optional<std::string> path;
    std::string problem;
};

// The places for temporary copies, in the order they are tried:
// $XDG_RUNTIME_DIR when set, then the temporary directory ($TMPDIR).
std::vector<std::filesystem::path> places();

// One program's temporary copies: kept in "SovantaPreview/<name>" (the name
// is the process id) below the first place that is safe and has room. Only
// the copies of the latest requests are kept: they may hold at most the
// bound, and at most a quarter of the space their file system has free
// (counting their own); older copies go first. The folders are opened one
// component at a time and never through a link: the shared one must be ours
// and closed to others' writes, ours private to us; a place itself is reached
// through links that we or root made only. While the object lives it
// holds a lock on its folder, by which a later start tells a folder left by a
// program that no longer runs.
class CopyFolder {
public:
    static constexpr uint64_t defaultBound = 1073741824;  // 1 GiB

    CopyFolder(std::vector<std::filesystem::path> places, std::string name, uint64_t bound = defaultBound);
    ~CopyFolder();
    CopyFolder(const CopyFolder&) = delete;
    CopyFolder& operator=(const CopyFolder&) = delete;

    // The copy of a file of at most 512 MiB; the same copy while it is kept.
    // Blocking: run it on the preview queue. Two requests for one node at
    // once make one copy.
    Copy copy(const FileNode& node, DiskSource& source);
    // Removes this program's folder in every place, with everything in it.
    void clear();
    // Removes the folders that programs no longer running left in the places.
    void removeLeftovers();
    // The bytes of the copies kept (and being written) now.
    uint64_t bytesKept() const;
    const std::vector<std::filesystem::path>& placeList() const { return roots_; }
    const std::string& name() const { return name_; }

private:
    struct Place {
        std::filesystem::path root;
        int folder = -1;  // our folder there, once opened
        int lock = -1;    // the lock on it, held while we live
        bool started = false;  // a folder left there under our name was removed
        uint64_t kept = 0;     // bytes of our copies there
    };
    struct Entry {
        size_t place = 0;
        uint64_t size = 0;
        std::string path;
        uint64_t use = 0;  // 0 while it is being written
        uint64_t token = 0;
    };
    void close(Place& place);
    bool open(Place& place, std::string& problem);
    bool evictOldest(std::optional<size_t> inPlace);

    std::vector<std::filesystem::path> roots_;
    std::string name_;
    uint64_t bound_;
    mutable std::mutex lock_;
    std::condition_variable written_;
    std::vector<Place> places_;
    std::unordered_map<int64_t, Entry> entries_;
    std::map<uint64_t, int64_t> byUse_;  // finished copies, least recently asked for first
    uint64_t clock_ = 0;
};

// The program's copies (in places(), named by the process id), made on first
// use; tests may put another in its place.
std::shared_ptr<CopyFolder> copies();
void setCopies(std::shared_ptr<CopyFolder> folder);

// The folder of this process's copies in the first place.
std::filesystem::path folder();

// The program's copy of the file, or none with the reason. Blocking: run it
// on the preview queue.
Copy makeCopy(const FileNode& node, DiskSource& source);
// The same, the path alone.
std::optional<std::string> extract(const FileNode& node, DiskSource& source);
// A copy kept in the given private folder (made when missing), without
// bounds. The path up to that folder is followed through links that we or
// root made only.
std::optional<std::string> extract(const FileNode& node, DiskSource& source, const std::filesystem::path& base);

// Removes this program's copies with their folders (other running programs
// keep theirs); never fails, never follows a link.
void cleanup();
// Removes the given folder with everything in it when it is a folder of ours,
// not a link, reached through links that we or root made only; never fails.
void cleanup(const std::filesystem::path& base);
// Removes the folders of programs that no longer run; for the start.
void removeLeftovers();

}  // namespace Preview

}  // namespace sovanta::app
