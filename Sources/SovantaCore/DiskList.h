// The machine's whole disks as the system's disk tool reports them, with their
// partitions, APFS volumes and S.M.A.R.T. health; which disks a folder lies on;
// unmounting; and the whole disk of a device name.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "SovantaCore/DiskSource.h"

namespace sovanta {

struct PartitionSummary {
    std::string bsdName = "?";
    std::string content;
    std::optional<std::string> volumeName;
    std::optional<std::string> mountPoint;
    uint64_t size = 0;
    bool operator==(const PartitionSummary&) const = default;
};

enum class DiskHealth { good, warning, failing, unknown };
std::string rawValue(DiskHealth health);
std::optional<DiskHealth> diskHealthFromRaw(const std::string& raw);

struct DiskInfo {
    std::string bsdName;
    std::string mediaName;
    uint64_t size = 0;
    int64_t blockSize = 512;
    bool isInternal = false;
    bool isRemovable = false;
    bool isSolidState = false;
    bool isDiskImage = false;
    std::string busProtocol;
    std::string smartStatus;
    std::string content;
    std::vector<PartitionSummary> partitions;
    std::map<std::string, int64_t> smartDetails;

    bool operator==(const DiskInfo&) const = default;

    // The media name, or the BSD name when that is empty.
    std::string displayName() const;
    // The partitions with a mount point, in order.
    std::vector<PartitionSummary> mountedVolumes() const;
    // Whether the running system starts from this disk.
    bool isBootDisk() const;
    DiskHealth health() const;
    // Whole degrees Celsius from the kelvin counter; absent without a plausible one.
    std::optional<int64_t> temperatureCelsius() const;
};

namespace DiskList {

// Runs the disk tool with the given arguments; tests hand in recorded answers.
using ToolRunner = std::function<Shell::Result(const std::vector<std::string>& arguments)>;

// The disk tool of this platform, run through Shell.
ToolRunner systemTool();

// The whole disks, external ones first, then by name (numbers by value);
// empty when the disk tool fails.
std::vector<DiskInfo> load();
std::vector<DiskInfo> load(const ToolRunner& tool);

// The whole disks on which the file system holding location lives. Absent
// when that cannot be told (the location does not exist, or its file system
// is not backed by a block device this machine can name); an empty set means
// the file system lies on no disk at all (in memory, or a network share) or
// on none this machine can name (an overlay whose layers lie in another mount
// namespace, as a container's root). An overlay whose upper layer is visible
// gives the disks under that layer, which its new files are written to.
std::optional<std::set<std::string>> physicalDisks(const std::filesystem::path& location);
std::optional<std::set<std::string>> physicalDisks(const std::filesystem::path& location, const ToolRunner& tool);

// The file that the file system holding location is mounted from, when the
// mount table names an existing file and not a device (a FUSE file system
// such as ntfs-3g serving an image file); absent otherwise.
std::optional<std::filesystem::path> mountedFile(const std::filesystem::path& location);

// The type the mount table gives the file system that holds location
// ("vfat", "fuseblk", "fuse.sshfs"); absent when it cannot be told.
std::optional<std::string> mountType(const std::filesystem::path& location);

struct UnmountResult {
    bool ok = false;
    std::string message;  // the tool's own words, trimmed
};
UnmountResult unmount(const std::string& disk);
UnmountResult unmount(const std::string& disk, const ToolRunner& tool);

// The whole disk of a device name: disk4s2 gives disk4; on Linux sdb1 gives
// sdb and nvme0n1p2 gives nvme0n1. Any other name comes back unchanged.
std::string wholeDisk(const std::string& name);

// The whole disk of the APFS container that holds the running system, as the
// last load that found one saw it. Read and written under a lock: a
// background load writes it while a front end reads it.
std::optional<std::string> bootWholeDisk();

}  // namespace DiskList

}  // namespace sovanta
