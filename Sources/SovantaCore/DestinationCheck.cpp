#include "SovantaCore/DestinationCheck.h"

#include <fstream>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#ifndef __APPLE__
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#endif

#include "SovantaCore/DiskList.h"

namespace sovanta {

namespace fs = std::filesystem;

namespace {

// Where a thing on this machine keeps its bytes, as keys "disk:<whole disk>"
// and "file:<device>:<inode>".
struct Footprint {
    // What it is, entirely: its file or whole disk, and what it stands for as
    // a whole (a loop device's backing file, the disks under a mapped device).
    std::set<std::string> is;
    // Those and everything that holds them (the disks under a file).
    std::set<std::string> within;
    // False when some storage below it could not be told.
    bool known = true;
    // Some file of it lies on an overlay: its bytes may sit in any layer, and
    // only the layer that takes new files can be told.
    bool layered = false;

    void add(const Footprint& other, bool asWhole) {
        if (asWhole) is.insert(other.is.begin(), other.is.end());
        within.insert(other.within.begin(), other.within.end());
        known = known && other.known;
        layered = layered || other.layered;
    }
};

// Loop devices over files on loop devices and the like end here.
constexpr int maxDepth = 8;

std::string diskKey(const std::string& disk) { return "disk:" + disk; }
std::string fileKey(const struct stat& st) {
    return "file:" + std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

Footprint diskFootprint(const std::string& disk, int depth);
Footprint pathFootprint(const fs::path& path, int depth);

// The disks under the file system that a path (or its nearest existing
// ancestor, where a new file or folder would go) lives on.
Footprint folderFootprint(const fs::path& location, int depth) {
    Footprint fp;
    std::error_code ec;
    fs::path p = fs::absolute(location, ec);
    if (ec) p = location;
    while (!fs::exists(p, ec) && p.has_parent_path() && p.parent_path() != p) p = p.parent_path();
#ifdef __APPLE__
    auto disks = DiskList::physicalDisks(p);
#else
    // The kernel's own names already give the whole disk, which is all that
    // the disk tool's stand-in would add here; sparing it keeps the check fast.
    auto disks = DiskList::physicalDisks(p, [](const std::vector<std::string>&) { return Shell::Result(); });
#endif
    // A file system served from a file (ntfs-3g or another FUSE file system
    // over an image file) writes into that file: the folder is within it.
    if (auto file = DiskList::mountedFile(p); file && depth <= maxDepth) {
        fp.add(pathFootprint(*file, depth + 1), false);
        if (disks)
            for (auto& disk : *disks) fp.add(diskFootprint(disk, depth + 1), false);
        return fp;
    }
    if (!disks) {
        fp.known = false;
        return fp;
    }
    for (auto& disk : *disks) fp.add(diskFootprint(disk, depth + 1), false);
    return fp;
}

#ifndef __APPLE__
std::string firstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}
#endif

// A whole disk: itself, and on Linux what a loop or mapped device stands for.
Footprint diskFootprint(const std::string& disk, int depth) {
    Footprint fp;
    fp.is.insert(diskKey(disk));
    fp.within.insert(diskKey(disk));
    if (depth > maxDepth) {
        fp.known = false;
        return fp;
    }
#ifndef __APPLE__
    const fs::path sys = fs::path("/sys/block") / disk;
    std::error_code ec;
    if (!fs::exists(sys, ec)) {
        fp.known = false;
        return fp;
    }
    if (fs::exists(sys / "loop", ec)) {
        // The kernel names a backing file that was removed "<path> (deleted)".
        std::string backing = firstLine(sys / "loop" / "backing_file");
        struct stat st {};
        if (backing.empty() || backing.ends_with(" (deleted)") || ::stat(backing.c_str(), &st) != 0) {
            fp.known = false;
            return fp;
        }
        fp.add(pathFootprint(backing, depth + 1), true);
        return fp;
    }
    bool mapped = false;
    for (auto& slave : fs::directory_iterator(sys / "slaves", ec)) {
        mapped = true;
        fp.add(diskFootprint(DiskList::wholeDisk(slave.path().filename().string()), depth + 1), true);
    }
    // A loop device without a file, or a mapped device whose disks are not listed.
    if (!mapped && (disk.starts_with("loop") || disk.starts_with("dm-") || disk.starts_with("md"))) fp.known = false;
#endif
    return fp;
}

// The whole disk of a device node; absent for any other file.
std::optional<std::string> nodeDisk(const struct stat& st) {
#ifdef __APPLE__
    if (!S_ISBLK(st.st_mode) && !S_ISCHR(st.st_mode)) return std::nullopt;
    const char* name = ::devname(st.st_rdev, S_ISBLK(st.st_mode) ? S_IFBLK : S_IFCHR);
    std::string n = name ? name : "";
    if (n.starts_with("rdisk")) n.erase(0, 1);
    if (!n.starts_with("disk")) return std::nullopt;
    return DiskList::wholeDisk(n);
#else
    if (!S_ISBLK(st.st_mode)) return std::nullopt;
    std::error_code ec;
    fs::path sys = fs::canonical(
        "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev)), ec);
    // A block device the kernel does not list: a name that matches no disk.
    if (ec) return "?" + std::to_string(st.st_rdev);
    return DiskList::wholeDisk(sys.filename().string());
#endif
}

// An existing path, links followed: a device node stands for its whole disk,
// any other file for itself, within the disks of its file system.
Footprint pathFootprint(const fs::path& path, int depth) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        Footprint fp;
        fp.known = false;
        return fp;
    }
    if (auto disk = nodeDisk(st)) return diskFootprint(*disk, depth);
    Footprint fp;
    if (S_ISCHR(st.st_mode)) return fp;  // /dev/null and the like hold nothing
    fp.is.insert(fileKey(st));
    fp.within.insert(fileKey(st));
    fp.add(folderFootprint(path, depth), false);
#ifndef __APPLE__
    constexpr decltype(statfs::f_type) overlayMagic = 0x794c7630;
    struct statfs info {};
    fp.layered = ::statfs(path.c_str(), &info) == 0 && info.f_type == overlayMagic;
#endif
    return fp;
}

Footprint sourceFootprint(const DiskSource& source, const std::optional<fs::path>& imageFile) {
    Footprint fp = pathFootprint(source.path, 0);
    if (fp.is.empty() && source.bsdName) fp = diskFootprint(DiskList::wholeDisk(*source.bsdName), 0);
    if (imageFile) fp.add(pathFootprint(*imageFile, 0), true);
    return fp;
}

bool meet(const std::set<std::string>& a, const std::set<std::string>& b) {
    for (auto& key : a)
        if (b.count(key)) return true;
    return false;
}

SourceOverlap compare(const Footprint& source, const Footprint& destination) {
    if (meet(source.is, destination.within) || meet(destination.is, source.within)) return SourceOverlap::same;
    if (!destination.known || source.is.empty()) return SourceOverlap::unknown;
    // What lies under the source matters only to a destination that is a
    // disk itself: writing to a disk writes to every file on it.
    if (!source.known || source.layered)
        for (auto& key : destination.is)
            if (key.starts_with("disk:")) return SourceOverlap::unknown;
    return SourceOverlap::different;
}

// Where opening path for writing would write: a link that leads nowhere
// creates its target.
fs::path writeTarget(fs::path path) {
    std::error_code ec;
    for (int hop = 0; hop < 40 && fs::is_symlink(path, ec) && !fs::exists(path, ec); ++hop) {
        fs::path target = fs::read_symlink(path, ec);
        if (ec) break;
        path = target.is_absolute() ? target : path.parent_path() / target;
    }
    return path;
}

}  // namespace

namespace DestinationCheck {

SourceOverlap forImage(const fs::path& image, const DiskSource& source, const std::optional<fs::path>& imageFile) {
    Footprint destination;
    // The imager writes the image, its mapfile, and the mapfile's temporary copy.
    for (const fs::path& file : {image, fs::path(image.string() + ".map"), fs::path(image.string() + ".map.tmp")}) {
        fs::path target = writeTarget(file);
        std::error_code ec;
        destination.add(fs::exists(target, ec) ? pathFootprint(target, 0) : folderFootprint(target, 0), true);
    }
    return compare(sourceFootprint(source, imageFile), destination);
}

SourceOverlap forRecovery(const fs::path& folder, const DiskSource& source, const std::optional<fs::path>& imageFile) {
    return compare(sourceFootprint(source, imageFile), folderFootprint(writeTarget(folder), 0));
}

}  // namespace DestinationCheck

}  // namespace sovanta
