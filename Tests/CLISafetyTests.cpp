// The command-line tool's guards: it never writes to the source it rescues,
// an interrupt ends the work in order, names from a disk reach the terminal
// escaped, and a flag is never taken for an operand.
#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <functional>
#include <set>
#include <thread>

#include <poll.h>
#include <sys/fanotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "SovantaCLI/CLI.h"
#include "SovantaCore/DestinationCheck.h"
#include "SovantaCore/RangeMap.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"
#include "LoopDisk.h"
#include "TestSupport.h"

using namespace sovanta;
using namespace sovanta::test;
namespace fs = std::filesystem;

namespace {

std::string refusal(const std::string& kind, const fs::path& destination, const std::string& source) {
    return "Fejl: " + kind + " " + destination.string() + " ville skrive til kilden (" + source +
           "). Vælg en destination på en anden disk.\n";
}

// Mounts the first partition of the loop disk that this machine can mount:
// the FAT32 one with the kernel, else the NTFS or exFAT one through FUSE. The
// mounted device, or empty when none could be.
std::string mountAny(LoopDisk& loop) {
    for (auto [tool, number] : {std::pair{"mount", 1}, {"ntfs-3g", 2}, {"mount.exfat-fuse", 3}})
        if (!loop.mount(loop.partitionPath(number), tool).empty()) return loop.partitionPath(number);
    return "";
}

}  // namespace

// MARK: - Never writing to the source

// The image destination that is the source file itself, by any name, is
// refused before anything is written; a file beside it is fine.
TEST(CLISafety, ImageOntoTheSourceFileIsRefused) {
    TempDir dir;
    const fs::path source = dir.path() / "kilde.img";
    fs::copy_file(fixtureImage("fat16"), source);
    const std::string before = sha256Hex(readBytes(source));
    fs::create_symlink("kilde.img", dir.path() / "link.img");
    fs::create_hard_link(source, dir.path() / "hard.img");
    fs::copy_file(source, dir.path() / "kopi.img");
    fs::create_symlink("kilde.img", dir.path() / "kopi.img.map");

    struct Case {
        std::string sourceName, destination;
    };
    for (const auto& c : std::vector<Case>{
             {"kilde.img", "kilde.img"},
             {"kilde.img", "link.img"},
             {"kilde.img", "hard.img"},
             {"kilde.img", dir.file("kilde.img")},
             // The mapfile beside "kopi.img" is a link to the source.
             {"kilde.img", "kopi.img"},
         }) {
        SCOPED_TRACE(c.destination);
        auto run = runCLI({"image", c.sourceName, c.destination}, {}, dir.path().string());
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_EQ(run.err, refusal("Billedfilen", fs::absolute(dir.path() / c.destination), "kilde.img"));
    }
    EXPECT_EQ(sha256Hex(readBytes(source)), before);
    EXPECT_FALSE(fs::exists(dir.path() / "kilde.img.map"));
    EXPECT_FALSE(fs::exists(dir.path() / "link.img.map"));

    // A new file on the same disk as the source file is another file.
    auto run = runCLI({"image", "kilde.img", "ny.img"}, {}, dir.path().string());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(sha256Hex(readBytes(dir.path() / "ny.img")), before);
}

// The three answers of the check for an image file source, where no root is needed.
TEST(DestinationCheck, ImageFileSource) {
    TempDir dir;
    const fs::path file = dir.path() / "kilde.img";
    fs::copy_file(fixtureImage("fat12"), file);
    auto source = SourceOpener::openImage(file.string());
    EXPECT_EQ(DestinationCheck::forImage(file, *source), SourceOverlap::same);
    EXPECT_EQ(DestinationCheck::forImage(dir.path() / "ny" / "kopi.img", *source), SourceOverlap::different);
    EXPECT_EQ(DestinationCheck::forRecovery(dir.path() / "ud" / "mere", *source), SourceOverlap::different);
    // proc lies on no disk that this machine can name.
    EXPECT_EQ(DestinationCheck::forRecovery("/proc/self/ud", *source), SourceOverlap::unknown);
    // An attached image reads a device; the file it came from is guarded too.
    auto other = SourceOpener::openImage(fixtureImage("fat16"));
    EXPECT_EQ(DestinationCheck::forImage(file, *other, file), SourceOverlap::same);
}

// A device source: its partitions and every folder on its disk are refused;
// a folder elsewhere, a file system in memory, is not. A file source: a
// folder on a device backed by that very file is refused.
TEST(DestinationCheck, LoopDeviceSources) {
    if (!isRoot()) GTEST_SKIP() << "needs root for loop devices";
    LoopDisk loop(fixtureImage("gpt_fat32_ntfs_exfat"), LoopDisk::Access::writable);
    if (!loop.ready() || !fs::exists(loop.partitionPath(1))) GTEST_SKIP() << "no loop device with partitions here";
    auto source = SourceOpener::openDevice(loop.name(), loop.name());
    EXPECT_EQ(DestinationCheck::forImage(loop.partitionPath(1), *source), SourceOverlap::same);
    EXPECT_EQ(DestinationCheck::forImage(loop.device(), *source), SourceOverlap::same);
    EXPECT_EQ(DestinationCheck::forRecovery("/dev/shm/sovanta-ud", *source), SourceOverlap::different);
    TempDir elsewhere;
    EXPECT_EQ(DestinationCheck::forRecovery(elsewhere.path(), *source), SourceOverlap::different);
    if (mountAny(loop).empty()) GTEST_SKIP() << "cannot mount a partition of the image here";
    const fs::path folder = loop.mountPoint() / "ud";
    EXPECT_EQ(DestinationCheck::forRecovery(folder, *source), SourceOverlap::same);
    EXPECT_EQ(DestinationCheck::forImage(folder / "kopi.img", *source), SourceOverlap::same);
    // The image file behind the loop device as the source.
    auto file = SourceOpener::openImage(loop.backing().string());
    EXPECT_EQ(DestinationCheck::forRecovery(folder, *file), SourceOverlap::same);
    EXPECT_EQ(DestinationCheck::forRecovery(elsewhere.path(), *file), SourceOverlap::different);
}

// A file system that ntfs-3g serves from the image file itself: writing
// anywhere on it writes into the image, so a folder there is the source, for
// the check and for the tool, which refuses it and writes nothing.
TEST(DestinationCheck, FileSystemServedFromTheImageFile) {
    if (!isRoot()) GTEST_SKIP() << "needs root to mount with ntfs-3g";
    TempDir dir;
    const fs::path image = dir.path() / "kilde.img", mounted = dir.path() / "mnt";
    fs::copy_file(fixtureImage("ntfs"), image);
    fs::create_directories(mounted);
    if (shell("ntfs-3g '" + image.string() + "' '" + mounted.string() + "' >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ntfs-3g cannot mount here";
    struct Unmount {
        fs::path point;
        ~Unmount() { shell("umount -l '" + point.string() + "'"); }
    } unmount{mounted};
    const std::string before = sha256Hex(readBytes(image));
    auto source = SourceOpener::openImage(image.string());
    EXPECT_EQ(DestinationCheck::forRecovery(mounted, *source), SourceOverlap::same);
    EXPECT_EQ(DestinationCheck::forRecovery(mounted / "ny" / "mappe", *source), SourceOverlap::same);
    EXPECT_EQ(DestinationCheck::forImage(mounted / "kopi.img", *source), SourceOverlap::same);
    // Another image's source is elsewhere.
    auto other = SourceOpener::openImage(fixtureImage("fat12"));
    EXPECT_EQ(DestinationCheck::forRecovery(mounted / "ud", *other), SourceOverlap::different);

    auto run = runCLI({"recover", image.string(), (mounted / "ud").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err, refusal("Mappen", mounted / "ud", "kilde.img"));
    EXPECT_FALSE(fs::exists(mounted / "ud"));
    shell("umount '" + mounted.string() + "'");
    EXPECT_EQ(sha256Hex(readBytes(image)), before);
}

namespace {

// Mounts and loop devices made by a test, undone in reverse order with the
// object (lazily, so that nothing stays mounted below a folder being removed).
class Mounts {
public:
    ~Mounts() {
        for (auto it = undo_.rbegin(); it != undo_.rend(); ++it) shell(*it);
    }
    // Runs command; on success, undo is run at the end. False when it failed.
    bool run(const std::string& command, const std::string& undo) {
        if (shell(command + " >/dev/null 2>&1") != 0) return false;
        undo_.push_back(undo);
        return true;
    }
    // A new ext4 file system of 16 MiB in file on a loop device, mounted at
    // point; the device's kernel name, or empty when that cannot be done here.
    std::string ext4(const fs::path& file, const fs::path& point) {
        fs::create_directories(point);
        if (shell("truncate -s 16M '" + file.string() + "' && mkfs.ext4 -q -F '" + file.string() + "' >/dev/null 2>&1") != 0)
            return "";
        std::string device = loop(file, "");
        if (device.empty() || !run("mount '" + device + "' '" + point.string() + "'", "umount -l '" + point.string() + "'"))
            return "";
        return fs::path(device).filename().string();
    }
    // A loop device over file with losetup's options; its path, or empty.
    std::string loop(const fs::path& file, const std::string& options) {
        std::string device;
        if (shell("losetup --find --show " + options + " '" + file.string() + "'", &device) != 0) return "";
        device = device.substr(0, device.find('\n'));
        undo_.push_back("losetup -d '" + device + "'");
        return device;
    }
    bool overlay(const fs::path& lower, const fs::path& upper, const fs::path& work, const fs::path& point) {
        for (auto& folder : {lower, upper, work, point}) fs::create_directories(folder);
        return run("mount -t overlay overlay -o 'lowerdir=" + lower.string() + ",upperdir=" + upper.string() +
                       ",workdir=" + work.string() + "' '" + point.string() + "'",
                   "umount -l '" + point.string() + "'");
    }

private:
    std::vector<std::string> undo_;
};

}  // namespace

// An overlay takes new files into its upper layer: a folder on it is on the
// source when that layer is, and elsewhere when the layer is elsewhere or in
// no mount namespace that this process sees (a container's root). A file
// system on a loop device whose backing file is gone is still unknown.
TEST(DestinationCheck, OverlayFolders) {
    if (!isRoot()) GTEST_SKIP() << "needs root for mounts";
    TempDir dir;
    Mounts mounts;
    const fs::path disk = dir.path() / "disk";
    const std::string name = mounts.ext4(dir.file("disk.img"), disk);
    if (name.empty()) GTEST_SKIP() << "cannot mount an ext4 loop device here";
    auto device = SourceOpener::openDevice(name, name);

    const fs::path onSource = dir.path() / "over1";
    ASSERT_TRUE(mounts.overlay(dir.path() / "lower", disk / "upper", disk / "work", onSource));
    EXPECT_EQ(DestinationCheck::forRecovery(onSource / "ud", *device), SourceOverlap::same);

    const fs::path memory = dir.path() / "mem", elsewhere = dir.path() / "over2";
    fs::create_directories(memory);
    ASSERT_TRUE(mounts.run("mount -t tmpfs tmpfs '" + memory.string() + "'", "umount -l '" + memory.string() + "'"));
    ASSERT_TRUE(mounts.overlay(dir.path() / "lower", memory / "upper", memory / "work", elsewhere));
    EXPECT_EQ(DestinationCheck::forRecovery(elsewhere / "ud", *device), SourceOverlap::different);
    // Its upper layer out of sight, as in a container.
    ASSERT_EQ(shell("umount -l '" + memory.string() + "'"), 0);
    ASSERT_FALSE(fs::exists(memory / "upper"));
    EXPECT_EQ(DestinationCheck::forRecovery(elsewhere / "ud", *device), SourceOverlap::different);
    auto run = runCLI({"recover", fixtureImage("fat12"), (elsewhere / "ud").string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(fs::exists(elsewhere / "ud"));

    // A file on an overlay may lie in any layer: imaging it onto a disk is unknown.
    fs::copy_file(fixtureImage("fat12"), elsewhere / "kilde.img");
    auto file = SourceOpener::openImage((elsewhere / "kilde.img").string());
    EXPECT_EQ(DestinationCheck::forRecovery(dir.path() / "ud", *file), SourceOverlap::different);
    EXPECT_EQ(DestinationCheck::forImage("/dev/" + name, *file), SourceOverlap::unknown);

    // A loop device whose file was removed stands for nothing that can be told.
    const fs::path gone = dir.path() / "gone";
    ASSERT_FALSE(mounts.ext4(dir.file("gone.img"), gone).empty());
    fs::remove(dir.file("gone.img"));
    EXPECT_EQ(DestinationCheck::forRecovery(gone / "ud", *device), SourceOverlap::unknown);
    EXPECT_EQ(DestinationCheck::forRecovery(gone / "ud", *file), SourceOverlap::unknown);
}

// The commands with a loop device as the source: imaging onto its partition,
// recovering onto its mounted file system; nothing is written to either.
TEST(CLISafety, DeviceDestinationsOnTheSourceDiskAreRefused) {
    if (!isRoot()) GTEST_SKIP() << "needs root for loop devices";
    LoopDisk loop(fixtureImage("gpt_fat32_ntfs_exfat"), LoopDisk::Access::writable);
    if (!loop.ready() || !fs::exists(loop.partitionPath(1))) GTEST_SKIP() << "no loop device with partitions here";
    const std::string partition = loop.partitionPath(1);
    auto hashOf = [](const std::string& device) {
        std::string out;
        shell("sha256sum '" + device + "'", &out);
        return out.substr(0, 64);
    };
    const std::string before = hashOf(loop.device());

    auto image = runCLI({"image", loop.name(), partition});
    EXPECT_EQ(image.status, 2);
    EXPECT_EQ(image.err, refusal("Billedfilen", partition, loop.name()));
    EXPECT_EQ(hashOf(loop.device()), before);

    // The same partition as a loop device of its own over the disk's file.
    Mounts mounts;
    const std::string alone = mounts.loop(loop.backing(), "-o 1048576 --sizelimit 1048576");
    ASSERT_FALSE(alone.empty());
    image = runCLI({"image", loop.name(), alone});
    EXPECT_EQ(image.status, 2);
    EXPECT_EQ(image.err, refusal("Billedfilen", alone, loop.name()));
    EXPECT_EQ(hashOf(loop.device()), before);

    if (mountAny(loop).empty()) GTEST_SKIP() << "cannot mount a partition of the image here";
    const fs::path folder = loop.mountPoint() / "ud";
    auto recover = runCLI({"recover", loop.name(), folder.string()});
    EXPECT_EQ(recover.status, 2);
    EXPECT_TRUE(recover.out.empty()) << recover.out;
    EXPECT_EQ(recover.err, refusal("Mappen", folder, loop.name()));
    EXPECT_FALSE(fs::exists(folder));
}

// MARK: - Interrupts

namespace {

// The built tool started in the background in folder, its output in files.
class BackgroundCLI {
public:
    BackgroundCLI(const std::vector<std::string>& args, const fs::path& folder,
                  const std::vector<std::string>& environment = {}) {
        const std::string out = capture_.file("out"), err = capture_.file("err");
        pid_ = fork();
        if (pid_ == 0) {
            if (chdir(folder.c_str()) != 0) _exit(126);
            if (!freopen(out.c_str(), "w", stdout) || !freopen(err.c_str(), "w", stderr)) _exit(126);
            for (auto& e : environment) putenv(const_cast<char*>(e.c_str()));
            std::vector<char*> argv = {const_cast<char*>(SOVANTA_CLI)};
            for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(SOVANTA_CLI, argv.data());
            _exit(127);
        }
    }
    ~BackgroundCLI() {
        if (pid_ > 0 && !done_) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    BackgroundCLI(const BackgroundCLI&) = delete;
    BackgroundCLI& operator=(const BackgroundCLI&) = delete;

    // Waits, at most about 20 s, until ready() holds or the program has ended.
    bool waitFor(const std::function<bool()>& ready) {
        for (int i = 0; i < 20000; ++i) {
            if (ready()) return true;
            if (waitpid(pid_, &status_, WNOHANG) == pid_) {
                done_ = true;
                return false;
            }
            usleep(1000);
        }
        return false;
    }
    void signal(int number) { ::kill(pid_, number); }
    // The bytes the program has read so far (its rchar), 0 when unknown.
    uint64_t bytesRead() const {
        std::ifstream io("/proc/" + std::to_string(pid_) + "/io");
        std::string key;
        uint64_t value = 0;
        while (io >> key >> value)
            if (key == "rchar:") return value;
        return 0;
    }
    // The exit status, or -1 when it did not exit by itself within a minute.
    int finish() {
        for (int i = 0; !done_ && i < 6000; ++i) {
            if (waitpid(pid_, &status_, WNOHANG) == pid_) done_ = true;
            else usleep(10000);
        }
        return done_ && WIFEXITED(status_) ? WEXITSTATUS(status_) : -1;
    }
    std::string out() const { return readText(capture_.file("out")); }
    std::string err() const { return readText(capture_.file("err")); }

private:
    TempDir capture_;
    pid_t pid_ = -1;
    int status_ = 0;
    bool done_ = false;
};

// The file of that name below folder, once it holds bytes.
std::optional<fs::path> writtenFile(const fs::path& folder, const std::string& name) {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec))
        if (it->path().filename() == name && it->is_regular_file(ec) && it->file_size(ec) > 0) return it->path();
    return std::nullopt;
}

// SIGINT while a 2,000 MiB file is being copied: the file stops under a name
// that says so, the report says so too, and the tool ends with the signal's
// status. While it is copied, the file has a name that says it is unfinished.
void expectInterruptedRecovery(BackgroundCLI& cli, const fs::path& destination) {
    std::optional<fs::path> file;
    ASSERT_TRUE(cli.waitFor([&] { return (file = writtenFile(destination, "stor.bin.ufærdig")).has_value(); }))
        << cli.err();
    cli.signal(SIGINT);
    EXPECT_EQ(cli.finish(), 128 + SIGINT);
    EXPECT_EQ(cli.err(), "Afbrudt.\n");
    const fs::path folder = file->parent_path();
    auto lines = linesOf(cli.out());
    ASSERT_EQ(lines.size(), 2u) << cli.out();
    EXPECT_EQ(lines[0], "STORFIL (FAT16): 0 gendannet, 0 med fejl, 1 mislykkedes → " + folder.string());
    EXPECT_FALSE(fs::exists(*file));
    EXPECT_FALSE(fs::exists(folder / "stor.bin"));
    const uint64_t written = fs::file_size(folder / "stor (afbrudt).bin");
    EXPECT_LT(written, 2097152000u);
    EXPECT_EQ(lines[1], "   /stor.bin: afbrudt efter " + std::to_string(written) + " af 2097152000 bytes");
    EXPECT_EQ(readText(folder / RecoveryEngine::reportName),
              std::string(RecoveryEngine::reportHeader) + "\nstor (afbrudt).bin;" + std::to_string(written) +
                  ";Afbrudt;God;0;\n");
}

}  // namespace

// Killed outright while the file is copied: it is left only under the name
// that says it is unfinished, beside the report's header.
TEST(CLIInterrupt, AKilledRecoveryLeavesNoWholeLookingFile) {
    TempDir work;
    BackgroundCLI cli({"recover", fixtureImage("bigfile_fat16"), "ud"}, work.path());
    std::optional<fs::path> file;
    ASSERT_TRUE(cli.waitFor([&] { return (file = writtenFile(work.path() / "ud", "stor.bin.ufærdig")).has_value(); }))
        << cli.err();
    cli.signal(SIGKILL);
    cli.finish();
    const fs::path folder = file->parent_path();
    std::set<std::string> names;
    for (auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"stor.bin.ufærdig", RecoveryEngine::reportName}));
    EXPECT_EQ(readText(folder / RecoveryEngine::reportName), std::string(RecoveryEngine::reportHeader) + "\n");
}

TEST(CLIInterrupt, RecoveryStopsInOrder) {
    TempDir work;
    BackgroundCLI cli({"recover", fixtureImage("bigfile_fat16"), "ud"}, work.path());
    expectInterruptedRecovery(cli, work.path() / "ud");
}

// An attached image is detached again after the interrupt.
TEST(CLIInterrupt, AttachedImageIsDetached) {
    if (!isRoot()) GTEST_SKIP() << "needs root to attach an image";
    TempDir work;
    fs::create_symlink(fixtureImage("bigfile_fat16"), work.path() / "stor.dmg");
    BackgroundCLI cli({"recover", "stor.dmg", "ud"}, work.path());
    expectInterruptedRecovery(cli, work.path() / "ud");
    std::string attached;
    shell("losetup -j '" + fixtureImage("bigfile_fat16") + "'", &attached);
    EXPECT_EQ(attached, "");
}

// SIGINT during the deep sweep of a disk far too large to sweep in the test's
// time, once the sweep has read past the lost partitions: the statistics, the
// three lost volumes the swept part holds, then "Afbrudt.".
TEST(CLIInterrupt, DeepScanListsWhatTheSweptPartGave) {
    TempDir work;
    const fs::path big = work.path() / "stor.img";
    fs::copy_file(fixtureImage("damage_gpt_all_tables_zeroed"), big);
    fs::resize_file(big, uint64_t(1) << 40);
    BackgroundCLI cli({"deep", "stor.img", "--no-carve"}, work.path());
    ASSERT_TRUE(cli.waitFor([&] { return cli.bytesRead() > (uint64_t(256) << 20); })) << cli.err();
    cli.signal(SIGINT);
    EXPECT_EQ(cli.finish(), 128 + SIGINT);
    EXPECT_EQ(cli.err(), "Afbrudt.\n");
    const std::string out = cli.out();
    EXPECT_NE(out.find("Dyb scanning: 0 signaturfund"), std::string::npos) << out;
    for (const char* volume : {"(FAT32) [Dyb scanning] @ 1048576: ", "(NTFS) [Dyb scanning] @ 37748736: ",
                                      "(exFAT) [Dyb scanning] @ 50331648: "})
        EXPECT_NE(out.find(volume), std::string::npos) << volume << " in\n" << out;
}

// SIGTERM during imaging stops the imager, which saves its mapfile.
TEST(CLIInterrupt, ImagingStopsAndKeepsItsMap) {
    TempDir work;
    const fs::path big = work.path() / "stor.raw";
    { std::ofstream(big).flush(); }
    fs::resize_file(big, uint64_t(16) << 30);
    // Every read fails, so the copy writes nothing and goes on sector by sector.
    BackgroundCLI cli({"image", "stor.raw", "kopi.img"}, work.path(), {"SOVANTA_SIMULATE_BAD=0-17179869184"});
    ASSERT_TRUE(cli.waitFor([&] { return fs::exists(work.path() / "kopi.img"); })) << cli.err();
    cli.signal(SIGTERM);
    EXPECT_EQ(cli.finish(), 128 + SIGTERM);
    EXPECT_EQ(cli.err(), "Afbrudt.\n");
    auto lines = linesOf(cli.out());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Stoppet. Du kan fortsætte senere – fremskridtet er gemt i kopi.img.map.");
    EXPECT_TRUE(fs::exists(work.path() / "kopi.img.map"));
}

// MARK: - A source cut short while the tool reads it

namespace {

// Holds every read of a file by any process until it has run an action on
// the first one (through fanotify's permission events; needs root), so that a
// test can change the file after another program has opened it and before
// that program reads it, without racing it.
class FirstReadGate {
public:
    FirstReadGate(const std::string& path, std::function<void()> action) : action_(std::move(action)) {
        fd_ = fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE | O_CLOEXEC);
        if (fd_ < 0 || fanotify_mark(fd_, FAN_MARK_ADD, FAN_ACCESS_PERM, AT_FDCWD, path.c_str()) != 0 ||
            ::pipe2(stop_, O_CLOEXEC) != 0)
            return;
        thread_ = std::thread([this] { serve(); });
    }
    ~FirstReadGate() {
        if (thread_.joinable()) {
            [[maybe_unused]] ssize_t n = ::write(stop_[1], "x", 1);
            thread_.join();
        }
        for (int fd : {fd_, stop_[0], stop_[1]})
            if (fd >= 0) ::close(fd);
    }
    FirstReadGate(const FirstReadGate&) = delete;
    FirstReadGate& operator=(const FirstReadGate&) = delete;

    bool ready() const { return thread_.joinable(); }
    bool fired() const { return fired_; }

private:
    void serve() {
        alignas(fanotify_event_metadata) char buffer[4096];
        for (;;) {
            pollfd fds[2] = {{fd_, POLLIN, 0}, {stop_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents & POLLIN) return;
            ssize_t length = ::read(fd_, buffer, sizeof buffer);
            if (length <= 0) continue;
            for (auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer); FAN_EVENT_OK(event, length);
                 event = FAN_EVENT_NEXT(event, length)) {
                if (event->mask & FAN_ACCESS_PERM) {
                    if (!fired_.exchange(true)) action_();
                    fanotify_response response{event->fd, FAN_ALLOW};
                    [[maybe_unused]] ssize_t n = ::write(fd_, &response, sizeof response);
                }
                if (event->fd >= 0) ::close(event->fd);
            }
        }
    }

    std::function<void()> action_;
    int fd_ = -1;
    int stop_[2] = {-1, -1};
    std::atomic<bool> fired_{false};
    std::thread thread_;
};

}  // namespace

// image of a source file that is truncated after the tool opened it: the copy
// stops at the new end with the rest untried, says why, and the tool exits
// with status 3 instead of reporting a finished copy of zeros.
TEST(CLISourceGone, ImageOfASourceCutShort) {
    if (!isRoot()) GTEST_SKIP() << "holding the tool's reads (fanotify) needs root";
    TempDir work;
    const fs::path source = work.path() / "kilde.raw";
    Bytes bytes(4 << 20);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + i / 4096);
    writeFile(source, bytes);
    FirstReadGate gate(source.string(), [&] { ASSERT_EQ(::truncate(source.c_str(), 3 << 19), 0); });
    ASSERT_TRUE(gate.ready());
    auto result = runCLI({"image", "kilde.raw", "kopi.img"}, {}, work.path().string());
    EXPECT_TRUE(gate.fired());
    EXPECT_EQ(result.status, 3) << result.out << result.err;
    auto lines = linesOf(result.out);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Kilden er blevet mindre under kopieringen: den ender nu ved byte 1572864 i stedet for "
                            "4194304. Resten er ikke læst. Du kan fortsætte senere – fremskridtet er gemt i "
                            "kopi.img.map.");
    EXPECT_EQ(result.err, "Fejl: Kilden er blevet mindre undervejs: den ender nu ved byte 1572864 i stedet for "
                          "4194304. Resultatet er ufuldstændigt.\n");
    auto map = RangeMap::read((work.path() / "kopi.img.map").string(), 4 << 20);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map->total(RangeMap::Status::finished), 1u << 20);
    EXPECT_EQ(map->total(RangeMap::Status::nonTried), 3u << 20);
}

// recover from a source file that is truncated after the tool opened it (here
// before its first read, so that its scan meets the new end): no file is
// copied from a source that changed, the tool says why and exits with status
// 3, instead of reporting every file whole with zeros in it.
TEST(CLISourceGone, RecoverFromASourceCutShort) {
    if (!isRoot()) GTEST_SKIP() << "holding the tool's reads (fanotify) needs root";
    TempDir work;
    const fs::path source = work.path() / "fat32.img";
    fs::copy_file(fixtureImage("fat32"), source);
    const uint64_t size = fs::file_size(source), cut = 32 << 20;
    FirstReadGate gate(source.string(), [&] { ASSERT_EQ(::truncate(source.c_str(), static_cast<off_t>(cut)), 0); });
    ASSERT_TRUE(gate.ready());
    auto result = runCLI({"recover", "fat32.img", "ud"}, {}, work.path().string());
    EXPECT_TRUE(gate.fired());
    EXPECT_EQ(result.status, 3) << result.out << result.err;
    EXPECT_EQ(result.err, "Fejl: Kilden er blevet mindre undervejs: den ender nu ved byte " + std::to_string(cut) +
                              " i stedet for " + std::to_string(size) + ". Resultatet er ufuldstændigt.\n");
    auto lines = linesOf(result.out);
    ASSERT_EQ(lines.size(), 2u) << result.out;
    // The files after the stop were never tried, and the line counts them.
    EXPECT_NE(lines[0].find(": 0 gendannet, 0 med fejl, 0 mislykkedes, "), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(" ikke forsøgt → "), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "   Kilden er blevet mindre under gendannelsen: den ender nu ved byte " + std::to_string(cut) +
                            " i stedet for " + std::to_string(size) +
                            " – gendannelsen blev stoppet.");
}

// A scan whose source is cut short under it is incomplete, not a success.
TEST(CLISourceGone, ScansOfASourceCutShort) {
    if (!isRoot()) GTEST_SKIP() << "holding the tool's reads (fanotify) needs root";
    for (const char* command : {"scan", "tree"}) {
        SCOPED_TRACE(command);
        TempDir work;
        const fs::path source = work.path() / "fat32.img";
        fs::copy_file(fixtureImage("fat32"), source);
        const uint64_t size = fs::file_size(source), cut = 32 << 20;
        FirstReadGate gate(source.string(),
                           [&] { ASSERT_EQ(::truncate(source.c_str(), static_cast<off_t>(cut)), 0); });
        ASSERT_TRUE(gate.ready());
        auto result = runCLI({command, "fat32.img"}, {}, work.path().string());
        EXPECT_TRUE(gate.fired());
        EXPECT_EQ(result.status, 3) << result.out << result.err;
        EXPECT_EQ(result.err, "Fejl: Kilden er blevet mindre undervejs: den ender nu ved byte " + std::to_string(cut) +
                                  " i stedet for " + std::to_string(size) + ". Resultatet er ufuldstændigt.\n");
    }
}

// MARK: - Names in the terminal

TEST(CLISafety, ControlCharactersAreEscaped) {
    struct Case {
        std::string text, shown;
    };
    for (const auto& c : std::vector<Case>{
             {"line1\nline2.txt", "line1\\nline2.txt"},
             {"carriage\rreturn\t", "carriage\\rreturn\\t"},
             {"bell\aesc\x1b[31mred", "bell\\x07esc\\x1b[31mred"},
             {std::string("nul\0x", 5), "nul\\x00x"},
             {"del\x7f", "del\\x7f"},
             {"csi\xc2\x9b" "2J", "csi\\u009b2J"},                  // C1 control
             {"gpj.\xe2\x80\xae" "exe", "gpj.\\u202eexe"},         // right-to-left override
             {"stray\xff\x9b", "stray\\xff\\x9b"},                  // no UTF-8
             {"over\xc0\xaflong", "over\\xc0\\xaflong"},            // overlong "/"
             {"sur\xed\xa0\x80", "sur\\xed\\xa0\\x80"},             // a surrogate
             {"cut\xe2\x80", "cut\\xe2\\x80"},                      // sequence cut short
             {"ÆØÅ æøå – → \xc2\xa0 😀 a\\b", "ÆØÅ æøå – → \xc2\xa0 😀 a\\b"},  // shown as they are
         }) {
        EXPECT_EQ(cli::terminalText(c.text), c.shown);
    }
}

// The names of the hostile image come out one to a line, escaped.
TEST(CLISafety, HostileNamesInTheTree) {
    auto run = runCLI({"tree", fixture("hostile/names_fat16.img")});
    ASSERT_EQ(run.status, 0);
    for (char c : run.out) EXPECT_TRUE(static_cast<unsigned char>(c) >= 0x20 || c == '\n') << int(c);
    for (const char* line : {"  line1\\nline2.txt  33 B chance=God", "  carriage\\rreturn.txt  33 B chance=God",
                             "  bell\\x07esc\\x1b[31mred.txt  39 B chance=God", "  x\\n  57 B chance=God",
                             "  deleted;\"\\nname.txt  14 B [Slettet] chance=God", "  =cmd|calc.csv  33 B chance=God"})
        EXPECT_NE(run.out.find(std::string(line) + "\n"), std::string::npos) << line;
}

// MARK: - Flags and operands

// Operands are the arguments that are no flags, wherever the flags stand.
TEST(CLISafety, FlagsAreNeverOperands) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string firstLine;  // of the standard output, or of the standard error when that is empty
    };
    const std::string fat16 = fixtureImage("fat16");
    for (const auto& c : std::vector<Case>{
             {{"recover", fat16, "--deleted", "ud"}, 0, "SOMMERHUS (FAT16): "},
             {{"recover", "--deep", fat16, "ud", "--deleted"}, 0, "Dyb scanning: "},
             {{"recover", fat16, "--deleted"}, 1, "sovanta-cli – datagendannelse fra kommandolinjen"},
             {{"image", fat16, "--x"}, 1, "sovanta-cli – datagendannelse fra kommandolinjen"},
             {{"scan", "--deep"}, 1, "sovanta-cli – datagendannelse fra kommandolinjen"},
             {{"tree", "--deep", "nodisk"}, 2, "Fejl: Filen findes ikke: "},
             {{"scan", "-v", fat16}, 2, "sovanta-cli – datagendannelse fra kommandolinjen"},
         }) {
        std::string trace;
        for (auto& a : c.args) trace += a + " ";
        SCOPED_TRACE(trace);
        TempDir work;
        auto run = runCLI(c.args, {}, work.path().string());
        EXPECT_EQ(run.status, c.status);
        const std::string& text = run.out.empty() ? run.err : run.out;
        EXPECT_EQ(text.rfind(c.firstLine, 0), 0u) << text;
        for (auto& entry : fs::directory_iterator(work.path()))
            EXPECT_EQ(entry.path().filename(), "ud") << "created " << entry.path();
    }
}
