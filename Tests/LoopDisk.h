// A disk of this machine for the tests that need one: an image file on a loop
// device, with its partitions, some of them mounted. Needs root: the tests
// that use it skip themselves without.
//
// Whatever it made is undone with the object, whichever way the test ends:
// its mounts are unmounted, and the device is detached. It holds the device
// open and has it marked to detach at its last close, so that the device goes
// with this process even when the process ends without unwinding.
#pragma once

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"
#include "TestSupport.h"

namespace sovanta::test {

// Runs a shell command line; its status, and what it printed in out.
inline int shell(const std::string& command, std::string* out = nullptr) {
    auto r = Shell::run("/bin/sh", {"-c", command});
    if (out) *out = std::string(r.stdoutBytes.begin(), r.stdoutBytes.end());
    return r.status;
}

class LoopDisk {
public:
    enum class Access { writable, readOnly };

    // A blank image of mebibytes MiB named "disk.img", with the partition
    // table sfdisk writes from the script table ("label: gpt\n,,L\n"), or
    // none when table is empty.
    explicit LoopDisk(int mebibytes, const std::string& table = "") {
        backing_ = dir_.path() / "disk.img";
        if (shell("truncate -s " + std::to_string(mebibytes) + "M '" + backing_.string() + "'") != 0) return;
        if (!table.empty()) {
            writeFile(dir_.path() / "table", table);
            if (shell("sfdisk -q '" + backing_.string() + "' < '" + dir_.file("table") + "'") != 0) return;
        }
        attach(Access::writable);
    }
    // A copy of the image at path, under the name given (the disk list names
    // a loop device after its file) or the image's own.
    LoopDisk(const std::filesystem::path& image, Access access, const std::string& name = "") {
        backing_ = dir_.path() / (name.empty() ? image.filename().string() : name);
        std::error_code error;
        std::filesystem::copy_file(image, backing_, error);
        if (!error) attach(access);
    }
    ~LoopDisk() {
        for (auto it = mounts_.rbegin(); it != mounts_.rend(); ++it)
            if (isMounted(*it) && shell("umount '" + it->string() + "' 2>/dev/null") != 0)
                shell("umount -l '" + it->string() + "'");
        if (fd_ >= 0) ::close(fd_);
        // In case the mark did not hold: the device, still ours, is detached now.
        if (!device_.empty() && attachedHere()) shell("partx -d '" + device_ + "' 2>/dev/null; losetup -d '" + device_ + "'");
    }
    LoopDisk(const LoopDisk&) = delete;
    LoopDisk& operator=(const LoopDisk&) = delete;

    // Attached, and held open.
    bool ready() const { return fd_ >= 0; }
    // "/dev/loop3".
    const std::string& device() const { return device_; }
    // The kernel's name of the device (loop3).
    std::string name() const { return std::filesystem::path(device_).filename().string(); }
    // The kernel's name of a partition (loop3p1).
    std::string partition(int number) const { return name() + "p" + std::to_string(number); }
    // Its path ("/dev/loop3p1").
    std::string partitionPath(int number) const { return "/dev/" + partition(number); }
    const std::filesystem::path& backing() const { return backing_; }
    // The image's size in bytes.
    uint64_t size() const { return size_; }
    // A path in a folder of the disk's own, removed with it.
    std::string file(const std::string& name) const { return dir_.file(name); }

    // Mounts what device names with tool ("mount", "ntfs-3g") at a new folder
    // of the disk's; the folder, or empty when it could not be mounted.
    std::filesystem::path mount(const std::string& device, const std::string& tool = "mount") {
        auto point = dir_.path() / ("mnt" + (mounts_.empty() ? std::string() : std::to_string(mounts_.size() + 1)));
        std::filesystem::create_directories(point);
        if (shell(tool + " '" + device + "' '" + point.string() + "' >/dev/null 2>&1") != 0) return {};
        mounts_.push_back(point);
        return point;
    }
    // The folder of the first mount, or empty.
    std::filesystem::path mountPoint() const { return mounts_.empty() ? std::filesystem::path() : mounts_.front(); }
    // Whether the first mount is still in this process's mount table.
    bool stillMounted() const { return !mounts_.empty() && isMounted(mounts_.front()); }

    // Removes the backing file: the kernel then no longer tells what the
    // device stands for, and its disks cannot be told.
    void removeBacking() { std::filesystem::remove(backing_); }

private:
    void attach(Access access) {
        std::error_code error;
        size_ = std::filesystem::file_size(backing_, error);
        std::string out;
        std::string options = access == Access::readOnly ? "--read-only " : "";
        if (shell("losetup --find --show --partscan " + options + "'" + backing_.string() + "'", &out) != 0) return;
        device_ = out.substr(0, out.find('\n'));
        if (device_.empty()) return;
        fd_ = ::open(device_.c_str(), O_RDONLY | O_CLOEXEC);
        // Detaching a device that is open only marks it to detach at its last close.
        shell("losetup -d '" + device_ + "'");
        if (fd_ < 0) return;
        // Without udev the kernel may not have read the partition table yet.
        std::string table;
        shell("sfdisk -d '" + backing_.string() + "' 2>/dev/null | grep -c 'start='", &table);
        const int partitions = std::atoi(table.c_str());
        if (partitions == 0) return;
        if (!std::filesystem::exists("/sys/block/" + name() + "/" + partition(partitions)))
            shell("partx -a '" + device_ + "' 2>/dev/null");
        for (int i = 0; i < 50 && !std::filesystem::exists(partitionPath(partitions)); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    bool attachedHere() const {
        return shell("losetup '" + device_ + "' 2>/dev/null | grep -qF '" + backing_.string() + "'") == 0;
    }
    static bool isMounted(const std::filesystem::path& point) {
        return shell("grep -qF ' " + point.string() + " ' /proc/self/mountinfo") == 0;
    }

    TempDir dir_;
    std::filesystem::path backing_;
    std::string device_;
    uint64_t size_ = 0;
    int fd_ = -1;
    std::vector<std::filesystem::path> mounts_;
};

// A loop disk holding one ext2 file system on the whole device, mounted: a
// disk of this machine to write to.
struct ScratchDisk : LoopDisk {
    explicit ScratchDisk(int mebibytes = 8) : LoopDisk(mebibytes) {
        if (LoopDisk::ready() && shell("mkfs.ext2 -q -F '" + device() + "' >/dev/null 2>&1") == 0) mount(device());
    }
    bool ready() const { return LoopDisk::ready() && stillMounted(); }
};

// The two disks the tests of a sheet's destination use: one to write to or
// refuse, and one whose backing file is gone, so that its disk cannot be told.
struct ScratchDisks {
    ScratchDisk disk, lost;
    ScratchDisks() { lost.removeBacking(); }
    bool ready() const { return disk.ready() && lost.ready(); }
};

}  // namespace sovanta::test
