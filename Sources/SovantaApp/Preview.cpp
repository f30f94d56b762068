#include "SovantaApp/Preview.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QBuffer>
#include <QCache>
#include <QImageReader>
#include <libheif/heif.h>

#include "SovantaCore/FileReader.h"
#include "SovantaCore/Recovery.h"

namespace sovanta::app {

QThreadPool& Background::previewQueue() {
    static QThreadPool* queue = [] {
        auto* pool = new QThreadPool;
        pool->setMaxThreadCount(2);
        return pool;
    }();
    return *queue;
}

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

std::optional<QImage> thumbnail(const FileNode& node, DiskSource& source, int maxPixel) {
    int64_t key = cacheKey(node.id, maxPixel);
    if (auto image = cached(key)) return image;
    if (node.isDirectory || node.size == 0) return std::nullopt;
    if (!hasThumbnailExtension(node)) return std::nullopt;
    Bytes bytes = FileReader::readPrefix(node, source, static_cast<int64_t>(
                                                           std::min<uint64_t>(node.size, thumbnailReadLimit)));
    auto image = decodeImage(bytes, maxPixel);
    if (!image) {
        markBroken(node.id);
        return std::nullopt;
    }
    auto& c = cache();
    std::lock_guard guard(c.lock);
    c.images.insert(key, new QImage(*image), 1);
    return image;
}

// MARK: Temporary copies

const std::filesystem::path& folder() {
    static const std::filesystem::path path = [] {
        const char* runtime = std::getenv("XDG_RUNTIME_DIR");
        std::filesystem::path base;
        if (runtime && *runtime == '/') {
            base = runtime;
        } else {
            std::error_code error;
            base = std::filesystem::temp_directory_path(error);
            if (error) base = "/tmp";
        }
        return base / "SovantaPreview" / std::to_string(::getpid());
    }();
    return path;
}

bool makePrivateFolder(const std::filesystem::path& path) {
    if (::mkdir(path.c_str(), 0700) == 0) return true;
    if (errno != EEXIST) return false;
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) return false;
    return S_ISDIR(info.st_mode) && info.st_uid == ::geteuid() && (info.st_mode & 077) == 0;
}

std::optional<std::string> extract(const FileNode& node, DiskSource& source) {
    // A folder of our process id that a process before us left behind holds
    // copies of other nodes under the same ids: it goes before the first copy.
    static std::once_flag leftovers;
    std::call_once(leftovers, [] { cleanup(folder()); });
    std::error_code error;
    std::filesystem::create_directories(folder().parent_path().parent_path(), error);
    // The shared folder holds only the processes' private folders: it must be
    // ours and closed to others' writes, so that nobody can swap ours for a link.
    auto shared = folder().parent_path();
    if (::mkdir(shared.c_str(), 0700) != 0) {
        struct stat info {};
        if (errno != EEXIST || ::lstat(shared.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) ||
            info.st_uid != ::geteuid() || (info.st_mode & 022) != 0)
            return std::nullopt;
    }
    return extract(node, source, folder());
}

std::optional<std::string> extract(const FileNode& node, DiskSource& source, const std::filesystem::path& base) {
    if (node.isDirectory || node.size > copyLimit) return std::nullopt;
    auto nodeFolder = base / std::to_string(node.id);
    auto path = nodeFolder / RecoveryEngine::sanitize(node.name);

    // Only finished copies ever carry the copy's name.
    struct stat info {};
    if (::lstat(path.c_str(), &info) == 0) {
        if (S_ISREG(info.st_mode)) return path.string();
        return std::nullopt;
    }

    std::error_code error;
    if (base.has_parent_path()) std::filesystem::create_directories(base.parent_path(), error);
    if (!makePrivateFolder(base) || !makePrivateFolder(nodeFolder)) return std::nullopt;

    std::string temporary = (nodeFolder / ".kopi-XXXXXX").string();
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    bool written = true;
    FileReader::stream(node, source, copyChunkSize, std::nullopt, [&](const Bytes& piece) {
        size_t done = 0;
        while (done < piece.size()) {
            ssize_t n = ::write(fd, piece.data() + done, piece.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                written = false;
                return false;
            }
            done += static_cast<size_t>(n);
        }
        return true;
    });
    bool closed = ::close(fd) == 0;
    if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
        ::unlink(temporary.c_str());
        return std::nullopt;
    }
    return path.string();
}

void cleanup() { cleanup(folder()); }

void cleanup(const std::filesystem::path& base) {
    // Only a folder of ours: a link or another user's folder in its place is left alone.
    struct stat info {};
    if (::lstat(base.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != ::geteuid()) return;
    std::error_code error;
    std::filesystem::remove_all(base, error);
}

}  // namespace Preview

}  // namespace sovanta::app
