#include "SovantaApp/Preview.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <QBuffer>
#include <QCache>
#include <QImageReader>
#include <libheif/heif.h>

#include "SovantaCore/FileReader.h"
#include "SovantaCore/Recovery.h"

namespace sovanta::app {

namespace Preview {

namespace {

struct Cache {
    std::mutex lock;
    QCache<int64_t, QImage> images{cacheLimit};
};
Cache& cache() {
    static Cache instance;
    return instance;
}

struct Broken {
    std::mutex lock;
    std::set<int64_t> ids;
};
Broken& broken() {
    static Broken instance;
    return instance;
}

void markBroken(int64_t id) {
    auto& b = broken();
    std::lock_guard guard(b.lock);
    b.ids.insert(id);
}

// The size that keeps the longer side within maxPixel, or the size itself.
QSize fitted(QSize size, int maxPixel) {
    int longer = std::max(size.width(), size.height());
    if (longer <= maxPixel) return size;
    double scale = static_cast<double>(maxPixel) / longer;
    return {std::max(1, static_cast<int>(std::lround(size.width() * scale))),
            std::max(1, static_cast<int>(std::lround(size.height() * scale)))};
}

QImage scaledDown(const QImage& image, int maxPixel) {
    QSize target = fitted(image.size(), maxPixel);
    if (target == image.size()) return image;
    // Qt scales 1-bit and palette images without their colours: those go to true colour first.
    if (image.depth() < 32)
        return image.convertToFormat(image.hasAlphaChannel() ? QImage::Format_ARGB32 : QImage::Format_RGB32)
            .scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image.scaled(target, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

std::optional<QImage> decodeHEIF(const Bytes& bytes, int maxPixel) {
    std::unique_ptr<heif_context, decltype(&heif_context_free)> context(heif_context_alloc(), heif_context_free);
    if (!context) return std::nullopt;
    if (heif_context_read_from_memory_without_copy(context.get(), bytes.data(), bytes.size(), nullptr).code !=
        heif_error_Ok)
        return std::nullopt;
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &rawHandle).code != heif_error_Ok) return std::nullopt;
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(rawHandle,
                                                                                   heif_image_handle_release);
    int bits = heif_image_handle_get_luma_bits_per_pixel(handle.get());
    bool deep = bits > 8;
    heif_image* rawImage = nullptr;
    // Decoding applies the stored rotation and mirroring.
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                          deep ? heif_chroma_interleaved_RRGGBBAA_LE : heif_chroma_interleaved_RGBA, nullptr)
            .code !=
        heif_error_Ok)
        return std::nullopt;
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, heif_image_release);
    int stride = 0;
    const uint8_t* pixels = heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    int width = heif_image_get_width(image.get(), heif_channel_interleaved);
    int height = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!pixels || width <= 0 || height <= 0) return std::nullopt;
    QImage wrapped(pixels, width, height, stride, QImage::Format_RGBA8888);
    // Deeper images (10 or 12 bits) come as 16-bit little-endian channels.
    QImage eightBit;
    if (deep) {
        eightBit = QImage(width, height, QImage::Format_RGBA8888);
        if (eightBit.isNull()) return std::nullopt;
        int shift = std::max(bits - 8, 0);
        for (int y = 0; y < height; ++y) {
            auto* in = reinterpret_cast<const uint8_t*>(pixels + static_cast<ptrdiff_t>(y) * stride);
            uint8_t* out = eightBit.scanLine(y);
            for (int x = 0; x < width * 4; ++x) {
                unsigned value = static_cast<unsigned>(in[2 * x]) | (static_cast<unsigned>(in[2 * x + 1]) << 8);
                out[x] = static_cast<uint8_t>(std::min(255u, value >> shift));
            }
        }
        wrapped = eightBit;
    }
    // scaledDown copies when it scales; a kept size needs its own copy of the pixels.
    QImage result = scaledDown(wrapped, maxPixel);
    if (result.constBits() == wrapped.constBits()) result = wrapped.copy();
    if (result.isNull()) return std::nullopt;
    return result;
}

}  // namespace

const std::vector<std::string>& thumbnailExtensions() {
    static const std::vector<std::string> extensions = {"jpg", "jpeg", "png", "gif", "bmp", "tif", "tiff", "heic",
                                                        "heif", "webp", "avif", "cr2", "cr3", "nef", "arw", "dng",
                                                        "orf", "raf", "rw2", "pef", "srw", "psd"};
    return extensions;
}

bool hasThumbnailExtension(const FileNode& node) {
    auto& all = thumbnailExtensions();
    return std::find(all.begin(), all.end(), node.fileExtension()) != all.end();
}

int64_t cacheKey(int64_t nodeID, int maxPixel) { return nodeID * 10 + (maxPixel > smallLimit ? 1 : 0); }

std::optional<QImage> cached(int64_t key) {
    auto& c = cache();
    std::lock_guard guard(c.lock);
    if (auto* image = c.images.object(key)) return *image;
    return std::nullopt;
}

bool isBroken(int64_t nodeID) {
    auto& b = broken();
    std::lock_guard guard(b.lock);
    return b.ids.count(nodeID) != 0;
}

std::optional<QImage> decodeImage(const Bytes& bytes, int maxPixel) {
    maxPixel = std::max(maxPixel, 1);
    if (bytes.empty()) return std::nullopt;
    if (heif_check_filetype(bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 64))) ==
        heif_filetype_yes_supported)
        return decodeHEIF(bytes, maxPixel);

    QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                              static_cast<qsizetype>(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);  // the format from the bytes alone
    reader.setAutoTransform(true);
    if (!reader.canRead()) return std::nullopt;
    // JPEG decodes straight at about the thumbnail's size (the size is taken
    // before the orientation turns it, which keeps the longer side). Other
    // readers only scale after decoding, and lose the colours of a palette
    // image when they do: those are scaled here.
    QSize size = reader.size();
    if (reader.format() == "jpeg" && size.isValid()) reader.setScaledSize(fitted(size, maxPixel));
    QImage image = reader.read();
    if (image.isNull()) return std::nullopt;
    return scaledDown(image, maxPixel);
}

bool hasDecoder(const Bytes& bytes, const std::string& extension) {
    // A decoder that knows the bytes: they are of its kind, and did not decode.
    if (!bytes.empty()) {
        if (heif_check_filetype(bytes.data(), static_cast<int>(std::min<size_t>(bytes.size(), 64))) ==
            heif_filetype_yes_supported)
            return true;
        QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(bytes.data()),
                                                  static_cast<qsizetype>(std::min<size_t>(bytes.size(), 4096)));
        QBuffer buffer(&data);
        buffer.open(QIODevice::ReadOnly);
        if (!QImageReader::imageFormat(&buffer).isEmpty()) return true;
    }
    // Bytes that no decoder knows, named as a kind that one decodes.
    if (extension == "heic" || extension == "heif") return heif_have_decoder_for_format(heif_compression_HEVC) != 0;
    if (extension == "avif") return heif_have_decoder_for_format(heif_compression_AV1) != 0;
    static const QList<QByteArray> formats = QImageReader::supportedImageFormats();
    return formats.contains(QByteArray::fromStdString(extension));
}

std::optional<QImage> thumbnail(const FileNode& node, DiskSource& source, int maxPixel) {
    int64_t key = cacheKey(node.id, maxPixel);
    if (auto image = cached(key)) return image;
    if (node.isDirectory || node.size == 0) return std::nullopt;
    if (!hasThumbnailExtension(node)) return std::nullopt;
    Bytes bytes = FileReader::readPrefix(node, source, static_cast<int64_t>(
                                                           std::min<uint64_t>(node.size, thumbnailReadLimit)));
    auto image = decodeImage(bytes, maxPixel);
    if (!image) {
        // Damaged only when a decoder for the file's kind exists; a kind
        // without one cannot be shown, which says nothing of the file.
        if (hasDecoder(bytes, node.fileExtension())) markBroken(node.id);
        return std::nullopt;
    }
    auto& c = cache();
    std::lock_guard guard(c.lock);
    c.images.insert(key, new QImage(*image), 1);
    return image;
}

// MARK: Temporary copies

namespace {

const char* const sharedName = "SovantaPreview";
const char* const lockName = ".lock";

// A file descriptor closed when it goes.
class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(Descriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_;
};

// A folder inside an open one, never through a link.
Descriptor openFolderAt(int parent, const std::string& name) {
    return Descriptor(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
}

// Opens a folder by its path one component at a time, following a link only
// when we or the system (root) made it: one that another user planted, say in
// a folder all may write to, is never followed.
Descriptor openTrustedAt(int start, const std::filesystem::path& path, int& links) {
    Descriptor folder(::openat(path.is_absolute() ? AT_FDCWD : start, path.is_absolute() ? "/" : ".",
                               O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (const auto& part : path.relative_path()) {
        const std::string name = part.string();
        if (!folder) break;
        if (name.empty() || name == ".") continue;
        struct stat info {};
        if (::fstatat(folder.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Descriptor();
        if (!S_ISLNK(info.st_mode)) {
            folder = openFolderAt(folder.get(), name);
            continue;
        }
        if ((info.st_uid != 0 && info.st_uid != ::geteuid()) || ++links > 40) return Descriptor();
        std::string target(PATH_MAX + 1, '\0');
        ssize_t length = ::readlinkat(folder.get(), name.c_str(), target.data(), target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size()) return Descriptor();
        target.resize(static_cast<size_t>(length));
        folder = openTrustedAt(folder.get(), target, links);
    }
    return folder;
}

Descriptor openTrusted(const std::filesystem::path& path) {
    int links = 0;
    return openTrustedAt(AT_FDCWD, path.empty() ? std::filesystem::path(".") : path, links);
}

// Why a folder is not fit for copies, or nothing when it is: a real folder
// (not a link), ours, and closed to the writes (shared) or to everything
// (private) of others.
enum class Unfit { none, link, notFolder, foreign, open, unreadable };

Unfit fitness(int parent, const std::string& name, bool isPrivate, Descriptor& opened) {
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return Unfit::unreadable;
    if (S_ISLNK(info.st_mode)) return Unfit::link;
    if (!S_ISDIR(info.st_mode)) return Unfit::notFolder;
    if (info.st_uid != ::geteuid()) return Unfit::foreign;
    if ((info.st_mode & (isPrivate ? 077 : 022)) != 0) return Unfit::open;
    opened = openFolderAt(parent, name);
    struct stat same {};
    if (!opened || ::fstat(opened.get(), &same) != 0 || same.st_dev != info.st_dev || same.st_ino != info.st_ino) {
        opened = Descriptor();
        return Unfit::unreadable;  // swapped between the look and the opening
    }
    return Unfit::none;
}

std::string unfitText(Unfit why, const std::filesystem::path& path) {
    const std::string start = "Mappen til midlertidige kopier, " + path.string() + ", ";
    const std::string end = " Den bruges ikke, og filen kan ikke vises.";
    switch (why) {
        case Unfit::link: return start + "er et symbolsk link." + end;
        case Unfit::notFolder: return start + "er ikke en mappe." + end;
        case Unfit::foreign: return start + "tilhører en anden bruger." + end;
        case Unfit::open: return start + "kan ændres af andre brugere." + end;
        case Unfit::none:
        case Unfit::unreadable: break;
    }
    return "Mappen til midlertidige kopier, " + path.string() + ", kunne ikke bruges, og filen kan ikke vises.";
}

// Opens (making it when missing) a folder inside an open one and checks it.
Unfit openOrMake(int parent, const std::string& name, bool isPrivate, Descriptor& opened) {
    if (::mkdirat(parent, name.c_str(), 0700) != 0 && errno != EEXIST) return Unfit::unreadable;
    return fitness(parent, name, isPrivate, opened);
}

// Removes an entry of an open folder with everything below it. A link is
// removed as a link; a folder of another user is left alone.
bool removeEntry(int parent, const std::string& name, int depth = 0) {
    struct stat info {};
    if (::fstatat(parent, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
    if (!S_ISDIR(info.st_mode)) return ::unlinkat(parent, name.c_str(), 0) == 0 || errno == ENOENT;
    if (info.st_uid != ::geteuid() || depth > 8) return false;
    Descriptor folder = openFolderAt(parent, name);
    struct stat same {};
    if (!folder || ::fstat(folder.get(), &same) != 0 || same.st_dev != info.st_dev || same.st_ino != info.st_ino)
        return false;
    std::vector<std::string> names;
    {
        int listed = ::dup(folder.get());
        if (listed < 0) return false;
        DIR* dir = ::fdopendir(listed);
        if (!dir) {
            ::close(listed);
            return false;
        }
        while (dirent* entry = ::readdir(dir)) {
            std::string entryName = entry->d_name;
            if (entryName != "." && entryName != "..") names.push_back(std::move(entryName));
        }
        ::closedir(dir);
    }
    bool all = true;
    for (auto& entryName : names) all = removeEntry(folder.get(), entryName, depth + 1) && all;
    return all && (::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT);
}

// Whether the lock of a folder of copies is held, that is whether the
// program that made it still runs; none when the folder has no lock.
std::optional<bool> lockHeld(int folder) {
    Descriptor lock(::openat(folder, lockName, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!lock) return std::nullopt;
    return ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0;
}

// Whether the program that made a folder of copies still runs. A folder
// without a lock (made by an older program, or by one just starting) counts
// as running while a process of its number runs.
bool stillRuns(int folder, const std::string& name) {
    if (auto held = lockHeld(folder)) return *held;
    char* end = nullptr;
    long pid = std::strtol(name.c_str(), &end, 10);
    if (*end != '\0' || pid <= 0) return true;
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

bool isNumber(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Writes the node's contents as "<id>/<name>" inside an open private folder,
// under a temporary name until it is whole. Returns 0 or the error number.
int writeCopy(int folder, const FileNode& node, DiskSource& source, const std::string& name) {
    static std::atomic<uint64_t> serial = 0;
    const std::string idName = std::to_string(node.id);
    if (::mkdirat(folder, idName.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    Descriptor nodeFolder;
    if (fitness(folder, idName, true, nodeFolder) != Unfit::none) return EACCES;
    const std::string temporary = ".kopi-" + std::to_string(++serial);
    int fd = ::openat(nodeFolder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
    if (fd < 0) return errno;
    int failure = 0;
    FileReader::stream(node, source, copyChunkSize, std::nullopt, [&](const Bytes& piece) {
        size_t done = 0;
        while (done < piece.size()) {
            ssize_t n = ::write(fd, piece.data() + done, piece.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failure = n < 0 ? errno : ENOSPC;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    });
    if (::close(fd) != 0 && failure == 0) failure = errno ? errno : EIO;
    if (failure == 0 && ::renameat(nodeFolder.get(), temporary.c_str(), nodeFolder.get(), name.c_str()) != 0)
        failure = errno;
    if (failure != 0) ::unlinkat(nodeFolder.get(), temporary.c_str(), 0);
    return failure;
}

struct Shared {
    std::mutex lock;
    std::shared_ptr<CopyFolder> folder;
};
// Never destroyed: work on the preview queue may still use it as the process ends.
Shared& shared() {
    static Shared* instance = new Shared;
    return *instance;
}

}  // namespace

std::vector<std::filesystem::path> places() {
    std::vector<std::filesystem::path> out;
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && *runtime == '/') out.emplace_back(runtime);
    std::error_code error;
    std::filesystem::path temporary = std::filesystem::temp_directory_path(error);
    if (error || temporary.empty()) temporary = "/tmp";
    if (out.empty() || out.front() != temporary) out.push_back(temporary);
    return out;
}

CopyFolder::CopyFolder(std::vector<std::filesystem::path> roots, std::string name, uint64_t bound)
    : roots_(std::move(roots)), name_(std::move(name)), bound_(bound) {
    for (auto& root : roots_) places_.push_back(Place{root});
}

CopyFolder::~CopyFolder() {
    for (auto& place : places_) close(place);
}

void CopyFolder::close(Place& place) {
    if (place.folder >= 0) ::close(place.folder);
    if (place.lock >= 0) ::close(place.lock);
    place.folder = place.lock = -1;
}

bool CopyFolder::open(Place& place, std::string& problem) {
    if (place.folder >= 0) return true;
    Descriptor root = openTrusted(place.root);
    if (!root) {
        problem = unfitText(Unfit::unreadable, place.root);
        return false;
    }
    Descriptor common, mine;
    if (Unfit why = openOrMake(root.get(), sharedName, false, common); why != Unfit::none) {
        problem = unfitText(why, place.root / sharedName);
        return false;
    }
    // A folder under our name from before our start belongs to a program
    // that ran under our number and ended: its copies are of other nodes.
    // (One whose lock is held is another running program's, in another
    // process namespace: it is left alone.)
    if (!place.started) {
        Descriptor earlier = openFolderAt(common.get(), name_);
        if (earlier && lockHeld(earlier.get()).value_or(false)) {
            problem = unfitText(Unfit::unreadable, place.root / sharedName / name_);
            return false;
        }
        if (earlier) removeEntry(common.get(), name_);
        place.started = true;
    }
    if (Unfit why = openOrMake(common.get(), name_, true, mine); why != Unfit::none) {
        problem = unfitText(why, place.root / sharedName / name_);
        return false;
    }
    // The lock is taken before it gets its name, so that a lock found by
    // its name is held for as long as its program runs.
    static std::atomic<uint64_t> serial = 0;
    const std::string unnamed = std::string(lockName) + "-" + std::to_string(++serial);
    Descriptor lock(
        ::openat(mine.get(), unnamed.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!lock || ::flock(lock.get(), LOCK_EX | LOCK_NB) != 0 ||
        ::renameat(mine.get(), unnamed.c_str(), mine.get(), lockName) != 0) {
        if (lock) ::unlinkat(mine.get(), unnamed.c_str(), 0);
        problem = unfitText(Unfit::unreadable, place.root / sharedName / name_);
        return false;
    }
    place.folder = mine.release();
    place.lock = lock.release();
    return true;
}

bool CopyFolder::evictOldest(std::optional<size_t> inPlace) {
    for (auto it = byUse_.begin(); it != byUse_.end(); ++it) {
        auto entry = entries_.find(it->second);
        if (entry == entries_.end() || (inPlace && entry->second.place != *inPlace)) continue;
        Place& place = places_[entry->second.place];
        if (place.folder >= 0) removeEntry(place.folder, std::to_string(entry->first));
        place.kept -= entry->second.size;
        entries_.erase(entry);
        byUse_.erase(it);
        return true;
    }
    return false;
}

uint64_t CopyFolder::bytesKept() const {
    std::lock_guard guard(lock_);
    uint64_t total = 0;
    for (auto& place : places_) total += place.kept;
    return total;
}

Copy CopyFolder::copy(const FileNode& node, DiskSource& source) {
    if (node.isDirectory || node.size > copyLimit) return {};
    const std::string fileName = RecoveryEngine::sanitize(node.name);
    std::unique_lock guard(lock_);
    for (;;) {
        auto it = entries_.find(node.id);
        if (it == entries_.end()) break;
        if (it->second.use == 0) {  // being written by another request
            written_.wait(guard);
            continue;
        }
        Place& place = places_[it->second.place];
        struct stat info {};
        const std::string relative = std::to_string(node.id) + "/" + fileName;
        if (place.folder >= 0 && ::fstatat(place.folder, relative.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(info.st_mode)) {
            byUse_.erase(it->second.use);
            it->second.use = ++clock_;
            byUse_.emplace(it->second.use, node.id);
            return {it->second.path, {}};
        }
        // Gone from under us: made again below.
        byUse_.erase(it->second.use);
        place.kept -= it->second.size;
        entries_.erase(it);
        break;
    }

    std::vector<std::string> problems;
    auto note = [&problems](const std::string& problem) {
        if (std::find(problems.begin(), problems.end(), problem) == problems.end()) problems.push_back(problem);
    };
    for (size_t index = 0; index < places_.size(); ++index) {
        Place& place = places_[index];
        std::string problem;
        if (!open(place, problem)) {
            note(problem);
            continue;
        }
        struct statvfs space {};
        if (::fstatvfs(place.folder, &space) != 0) {
            note(unfitText(Unfit::unreadable, place.root / sharedName / name_));
            continue;
        }
        const uint64_t free = static_cast<uint64_t>(space.f_bavail) * space.f_frsize;
        const uint64_t room = std::min(bound_, (free + place.kept) / 4);
        const std::string noRoom = "Der er ikke plads til en midlertidig kopi af filen (" + formatBytes(node.size) +
                                   ") i " + place.root.string() + ".";
        if (node.size > room) {
            note(noRoom);
            continue;
        }
        // The copies asked for longest ago go first: for the bound over all
        // places, then for the room in this one.
        auto total = [this] {
            uint64_t sum = 0;
            for (auto& p : places_) sum += p.kept;
            return sum;
        };
        while (total() + node.size > bound_ && evictOldest(std::nullopt)) {
        }
        while (place.kept + node.size > room && evictOldest(index)) {
        }
        if (total() + node.size > bound_ || place.kept + node.size > room) {
            note(noRoom);  // the rest is being written
            continue;
        }

        const uint64_t token = ++clock_;
        const std::string path = (place.root / sharedName / name_ / std::to_string(node.id) / fileName).string();
        entries_[node.id] = Entry{index, node.size, path, 0, token};
        place.kept += node.size;
        int folder = ::dup(place.folder);
        guard.unlock();
        int failure = folder < 0 ? errno : writeCopy(folder, node, source, fileName);
        if (folder >= 0) ::close(folder);
        guard.lock();
        auto it = entries_.find(node.id);
        const bool ours = it != entries_.end() && it->second.token == token;
        written_.notify_all();
        if (failure == 0 && ours) {
            it->second.use = ++clock_;
            byUse_.emplace(it->second.use, node.id);
            return {path, {}};
        }
        if (ours) {
            place.kept -= node.size;
            entries_.erase(it);
        }
        if (failure == 0) return {};  // the copies were cleared meanwhile
        // Our folder was removed from under us: it is made again next time.
        if (failure == ENOENT) close(place);
        if (failure == ENOSPC || failure == EDQUOT) {
            note(noRoom);
            continue;
        }
        note("Den midlertidige kopi kunne ikke skrives i " + place.root.string() + ".");
        break;
    }
    std::string problem;
    for (auto& text : problems) problem += (problem.empty() ? "" : " ") + text;
    return {std::nullopt, problem};
}

void CopyFolder::clear() {
    std::lock_guard guard(lock_);
    entries_.clear();
    byUse_.clear();
    written_.notify_all();
    for (auto& place : places_) {
        close(place);
        place.kept = 0;
        Descriptor root = openTrusted(place.root);
        if (!root) continue;
        Descriptor common;
        if (fitness(root.get(), sharedName, false, common) != Unfit::none) continue;
        Descriptor mine;
        if (fitness(common.get(), name_, false, mine) == Unfit::none) removeEntry(common.get(), name_);
    }
}

void CopyFolder::removeLeftovers() {
    for (auto& root : roots_) {
        Descriptor rootFolder = openTrusted(root);
        if (!rootFolder) continue;
        Descriptor common;
        if (fitness(rootFolder.get(), sharedName, false, common) != Unfit::none) continue;
        std::vector<std::string> names;
        {
            int listed = ::dup(common.get());
            DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
            if (!dir) {
                if (listed >= 0) ::close(listed);
                continue;
            }
            while (dirent* entry = ::readdir(dir)) {
                std::string entryName = entry->d_name;
                if (isNumber(entryName) && entryName != name_) names.push_back(std::move(entryName));
            }
            ::closedir(dir);
        }
        for (auto& entryName : names) {
            Descriptor theirs;
            if (fitness(common.get(), entryName, false, theirs) != Unfit::none) continue;
            if (!stillRuns(theirs.get(), entryName)) removeEntry(common.get(), entryName);
        }
    }
}

std::shared_ptr<CopyFolder> copies() {
    auto& s = shared();
    std::lock_guard guard(s.lock);
    if (!s.folder) s.folder = std::make_shared<CopyFolder>(places(), std::to_string(::getpid()));
    return s.folder;
}

void setCopies(std::shared_ptr<CopyFolder> folder) {
    auto& s = shared();
    std::lock_guard guard(s.lock);
    s.folder = std::move(folder);
}

std::filesystem::path folder() {
    auto folder = copies();
    return folder->placeList().front() / sharedName / folder->name();
}

Copy makeCopy(const FileNode& node, DiskSource& source) { return copies()->copy(node, source); }

std::optional<std::string> extract(const FileNode& node, DiskSource& source) {
    return makeCopy(node, source).path;
}

std::optional<std::string> extract(const FileNode& node, DiskSource& source, const std::filesystem::path& base) {
    if (node.isDirectory || node.size > copyLimit) return std::nullopt;
    const std::string fileName = RecoveryEngine::sanitize(node.name);
    std::error_code error;
    if (base.has_parent_path()) std::filesystem::create_directories(base.parent_path(), error);
    Descriptor parent = openTrusted(base.parent_path());
    Descriptor folder;
    if (!parent || openOrMake(parent.get(), base.filename().string(), true, folder) != Unfit::none)
        return std::nullopt;
    // Only finished copies ever carry the copy's name.
    const std::string relative = std::to_string(node.id) + "/" + fileName;
    struct stat info {};
    if (::fstatat(folder.get(), relative.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return S_ISREG(info.st_mode) ? std::optional<std::string>((base / relative).string()) : std::nullopt;
    if (writeCopy(folder.get(), node, source, fileName) != 0) return std::nullopt;
    return (base / relative).string();
}

void cleanup() { copies()->clear(); }

void cleanup(const std::filesystem::path& base) {
    Descriptor parent = openTrusted(base.parent_path());
    const std::string name = base.filename().string();
    struct stat info {};
    // Only a folder of ours: a link or another user's folder in its place is left alone.
    if (parent && ::fstatat(parent.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode) &&
        info.st_uid == ::geteuid())
        removeEntry(parent.get(), name);
}

void removeLeftovers() { copies()->removeLeftovers(); }

}  // namespace Preview

}  // namespace sovanta::app
