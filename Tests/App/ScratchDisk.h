// A small ext2 file system in a file, on a loop device, mounted: a disk of
// this machine for the tests of where a sheet may write. Needs root.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "TestSupport.h"

namespace sovanta::test {

class ScratchDisk {
public:
    explicit ScratchDisk(int mebibytes = 8) {
        backing_ = dir_.path() / "disk.img";
        mountPoint_ = dir_.path() / "mnt";
        std::filesystem::create_directories(mountPoint_);
        if (!sh("truncate -s " + std::to_string(mebibytes) + "M '" + backing_.string() + "' && mkfs.ext2 -q -F '" +
                backing_.string() + "'"))
            return;
        std::string out = dir_.file("device");
        if (!sh("losetup --find --show '" + backing_.string() + "' > '" + out + "'")) return;
        std::ifstream in(out);
        std::getline(in, device_);
        if (device_.empty()) return;
        if (!sh("mount '" + device_ + "' '" + mountPoint_.string() + "'")) return;
        mounted_ = true;
    }
    ~ScratchDisk() {
        if (mounted_) sh("umount -l '" + mountPoint_.string() + "'");
        if (!device_.empty()) sh("losetup -d '" + device_ + "'");
    }
    ScratchDisk(const ScratchDisk&) = delete;
    ScratchDisk& operator=(const ScratchDisk&) = delete;

    bool ready() const { return mounted_; }
    // The kernel's name of the loop device (loop3).
    std::string name() const { return std::filesystem::path(device_).filename().string(); }
    const std::filesystem::path& mountPoint() const { return mountPoint_; }
    const std::filesystem::path& backing() const { return backing_; }
    // Removes the backing file: the kernel then no longer tells what the
    // device stands for, and its disks cannot be told.
    void removeBacking() { std::filesystem::remove(backing_); }

private:
    static bool sh(const std::string& command) { return std::system(("(" + command + ") >/dev/null 2>&1").c_str()) == 0; }

    TempDir dir_;
    std::filesystem::path backing_;
    std::filesystem::path mountPoint_;
    std::string device_;
    bool mounted_ = false;
};

// The two disks the tests of a sheet's destination use: one to write to or
// refuse, and one whose backing file is gone, so that its disk cannot be told.
struct ScratchDisks {
    ScratchDisk disk, lost;
    ScratchDisks() { lost.removeBacking(); }
    bool ready() const { return disk.ready() && lost.ready(); }
};

}  // namespace sovanta::test
