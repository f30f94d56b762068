#include "SovantaApp/Models/Destination.h"

#include <system_error>

namespace sovanta::app {

namespace fs = std::filesystem;

namespace Destination {

std::optional<int64_t> systemFreeSpace(const fs::path& folder) {
    std::error_code ec;
    fs::space_info info = fs::space(folder, ec);
    if (ec || info.available == static_cast<std::uintmax_t>(-1)) return std::nullopt;
    if (info.available > static_cast<std::uintmax_t>(INT64_MAX)) return INT64_MAX;
    return static_cast<int64_t>(info.available);
}

std::optional<uint64_t> shortOfSpace(const fs::path& folder, uint64_t needed) {
    std::optional<int64_t> free = freeSpace ? freeSpace(folder) : std::nullopt;
    if (!free || *free < 0) return std::nullopt;
    auto bytes = static_cast<uint64_t>(*free);
    if (bytes >= needed) return std::nullopt;
    return bytes;
}

SourceOverlap forRecovery(const fs::path& folder, const DiskSource& source, const std::optional<fs::path>& imageFile) {
    return DestinationCheck::forRecovery(folder, source, imageFile);
}

SourceOverlap forImage(const fs::path& image, const std::optional<std::string>& sourceDisk,
                       const DiskSourcePtr& source) {
    if (source) return DestinationCheck::forImage(image, *source);
    if (!sourceDisk || sourceDisk->empty()) return SourceOverlap::different;
    // The disk as the check knows a device source: its node and its name. It
    // is never opened; the copy opens the disk itself when it starts.
    DiskSource disk(-1, Platform::rawDevicePrefix() + *sourceDisk, *sourceDisk, 0, 512, true, *sourceDisk, nullptr);
    return DestinationCheck::forImage(image, disk);
}

}  // namespace Destination

}  // namespace sovanta::app
