// Opening devices, image files and Apple disk images.
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CSovanta.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/PropertyList.h"

namespace sovanta {

namespace fs = std::filesystem;

namespace Platform {

std::string rawDevicePrefix() {
#ifdef __APPLE__
    return "/dev/r";
#else
    return "/dev/";
#endif
}

std::string toolPath(const std::string& macPath) {
#ifdef __APPLE__
    return macPath;
#else
    // The stand-ins are installed beside the programs, or found in the build tree.
    std::string name = fs::path(macPath).filename().string();
    std::error_code ec;
    fs::path self = fs::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        for (fs::path dir = self.parent_path(); !dir.empty(); dir = dir.parent_path()) {
            if (fs::exists(dir / name, ec)) return (dir / name).string();
            if (fs::exists(dir / "CMakeCache.txt", ec) || dir == dir.root_path()) break;
        }
    }
#ifdef SOVANTA_TOOL_DIR
    fs::path built = fs::path(SOVANTA_TOOL_DIR) / name;
    if (fs::exists(built, ec)) return built.string();
#endif
    return macPath;
#endif
}

}  // namespace Platform

namespace {

const char* appleImageExtensions[] = {"dmg", "sparseimage", "sparsebundle", "asif", "udif"};

std::string lowerASCII(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

struct Geometry {
    uint64_t size;
    int64_t blockSize;
};

std::optional<Geometry> deviceGeometry(int fd) {
    uint32_t blockSize = 0;
    uint64_t blockCount = 0;
    if (sovanta_device_geometry(fd, &blockSize, &blockCount) != 0 || blockSize == 0) return std::nullopt;
    return Geometry{static_cast<uint64_t>(blockSize) * blockCount, static_cast<int64_t>(blockSize)};
}

DiskSourcePtr attachAppleImage(const std::string& imagePath, const SourceOptions& options) {
    const std::string hdiutil = Platform::toolPath(Platform::hdiutilPath);
    auto result = Shell::run(hdiutil, {"attach", "-readonly", "-nomount", "-noverify", "-noautofsck", "-plist", imagePath});
    std::string errorText(result.stderrBytes.begin(), result.stderrBytes.end());
    std::optional<PlistValue> list;
    if (result.status == 0) list = PlistValue::parse(result.stdoutBytes);
    const PlistValue* entities = list && list->isDict() ? list->get("system-entities") : nullptr;
    bool usable = entities && entities->isArray() &&
                  std::all_of(entities->array.begin(), entities->array.end(), [](auto& e) { return e.isDict(); });
    if (!usable) throw SourceError::attachFailed(errorText);

    std::vector<std::string> entries;
    for (auto& entity : entities->array)
        if (auto dev = entity.stringValue("dev-entry")) entries.push_back(*dev);
    if (entries.empty()) throw SourceError::attachFailed("Ingen enhed fundet");
    std::string chosen = entries.front();
    for (auto& e : entries)
        if (e.size() < chosen.size()) chosen = e;

    std::string bsd = fs::path(chosen).filename().string();
    std::string path = Platform::rawDevicePrefix() + bsd;
    auto detach = [hdiutil, chosen] { Shell::run(hdiutil, {"detach", "-force", chosen}); };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        detach();
        throw SourceError::openFailed(path, error);
    }
    uint64_t size = 0;
    int64_t blockSize = 512;
    if (auto g = deviceGeometry(fd)) {
        size = g->size;
        blockSize = g->blockSize;
    }
    return std::make_shared<DiskSource>(fd, path, fs::path(imagePath).filename().string(), size,
                                        std::max<int64_t>(blockSize, 512), true, bsd, detach, options);
}

}  // namespace

namespace SourceOpener {

bool isBlockDeviceName(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
    std::error_code ec;
    return fs::exists(fs::path("/sys/class/block") / name, ec);
}

DiskSourcePtr openDevice(const std::string& bsdName, const std::string& displayName, const SourceOptions& options) {
    std::string path = Platform::rawDevicePrefix() + bsdName;
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int error = errno;
        if (error != EACCES && error != EPERM) throw SourceError::openFailed(path, error);
        fd = sovanta_authopen(Platform::toolPath(Platform::authopenPath).c_str(), path.c_str(), 0, nullptr);
        if (fd < 0) throw SourceError::authorizationFailed(path);
    }
    uint64_t size;
    int64_t blockSize;
    if (auto g = deviceGeometry(fd)) {
        size = g->size;
        blockSize = g->blockSize;
    } else {
        off_t end = ::lseek(fd, 0, SEEK_END);
        size = end < 0 ? 0 : static_cast<uint64_t>(end);
        blockSize = 512;
    }
    sovanta_set_nocache(fd);
    return std::make_shared<DiskSource>(fd, path, displayName, size, std::max<int64_t>(blockSize, 512), true,
                                        bsdName, nullptr, options);
}

DiskSourcePtr openImage(const std::string& location, const SourceOptions& options) {
    std::string path = location;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) throw SourceError::notFound(path);
        throw SourceError::openFailed(path, errno);
    }
    std::string ext = lowerASCII(fs::path(path).extension().string());
    if (!ext.empty() && ext[0] == '.') ext.erase(0, 1);
    for (auto apple : appleImageExtensions)
        if (ext == apple) return attachAppleImage(path, options);

    // A FIFO, socket or folder would hang or mislead the readers: only regular
    // files and devices are sources.
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode))
        throw SourceError::openFailed(path, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) throw SourceError::openFailed(path, errno);
    if (::fstat(fd, &st) != 0) {
        int error = errno;
        ::close(fd);
        throw SourceError::openFailed(path, error);
    }
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) {
        ::close(fd);
        throw SourceError::openFailed(path, EINVAL);
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    uint64_t size = st.st_size < 0 ? 0 : static_cast<uint64_t>(st.st_size);
    int64_t blockSize = 512;
    bool isDevice = false;
    if (S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
        if (auto g = deviceGeometry(fd)) {
            size = g->size;
            blockSize = g->blockSize;
        }
        sovanta_set_nocache(fd);
        isDevice = true;
    }
    return std::make_shared<DiskSource>(fd, path, fs::path(path).filename().string(), size,
                                        std::max<int64_t>(blockSize, 512), isDevice, std::nullopt, nullptr, options);
}

}  // namespace SourceOpener

}  // namespace sovanta
