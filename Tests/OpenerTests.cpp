#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CSovanta.h"
#include "SovantaCore/DiskSource.h"
#include "TestSupport.h"

using namespace sovanta;
using sovanta::test::TempDir;
namespace fs = std::filesystem;

namespace {

SourceError openError(const std::function<void()>& open) {
    try {
        open();
    } catch (const SourceError& e) {
        return e;
    }
    ADD_FAILURE() << "no SourceError thrown";
    return SourceError::notFound("");
}

std::string losetup(const std::string& image) {
    auto r = test::runProgram("/usr/sbin/losetup", {"--find", "--show", "--read-only", image});
    std::string dev = r.out;
    while (!dev.empty() && dev.back() == '\n') dev.pop_back();
    return r.status == 0 ? dev : "";
}

// The loop devices whose backing file is the given image, by kernel name.
std::set<std::string> loopDevicesBackedBy(const std::string& image) {
    std::set<std::string> names;
    std::error_code ec;
    for (auto& entry : fs::directory_iterator("/sys/block", ec)) {
        std::ifstream in(entry.path() / "loop" / "backing_file");
        std::string backing;
        if (in && std::getline(in, backing) && backing == image) names.insert(entry.path().filename().string());
    }
    return names;
}

}  // namespace

TEST(SourceError, Descriptions) {
    EXPECT_EQ(SourceError::openFailed("/dev/sdz", 2).description(),
              "Kunne ikke åbne /dev/sdz: No such file or directory");
    EXPECT_EQ(SourceError::authorizationFailed("/dev/sdz").description(),
              "Adgang til /dev/sdz blev afvist eller annulleret. Der kræves en administratoradgangskode for at "
              "læse fysiske diske.");
    EXPECT_EQ(SourceError::notFound("/a/b.img").description(), "Filen findes ikke: /a/b.img");
    EXPECT_EQ(SourceError::attachFailed("Ingen enhed fundet").description(),
              "Kunne ikke tilknytte diskbilledet: Ingen enhed fundet");
}

TEST(SourceOpener, RawImagesWhateverTheirExtension) {
    TempDir dir;
    for (const char* name : {"a.img", "b.ISO", "c.raw", "d", "e.dd"}) {
        test::writeFile(dir.file(name), std::string(3000, 'x'));
        auto source = SourceOpener::openImage(dir.file(name));
        EXPECT_EQ(source->size, 3000u) << name;
        EXPECT_EQ(source->sectorSize, 512) << name;
        EXPECT_FALSE(source->isDevice) << name;
        EXPECT_FALSE(source->bsdName.has_value()) << name;
        EXPECT_EQ(source->displayName, name);
        EXPECT_EQ(source->path, dir.file(name));
    }
}

TEST(SourceOpener, MissingFilesFoldersAndFifos) {
    TempDir dir;
    auto missing = openError([&] { SourceOpener::openImage(dir.file("nope.img")); });
    EXPECT_EQ(missing.kind(), SourceError::Kind::notFound);
    EXPECT_EQ(missing.description(), "Filen findes ikke: " + dir.file("nope.img"));

    auto folder = openError([&] { SourceOpener::openImage(dir.path().string()); });
    EXPECT_EQ(folder.kind(), SourceError::Kind::openFailed);

    // A FIFO has no writer: opening it must be refused at once, not block forever.
    std::string fifo = dir.file("pipe.img");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto attempt = std::async(std::launch::async, [&] { return openError([&] { SourceOpener::openImage(fifo); }); });
    ASSERT_EQ(attempt.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(attempt.get().kind(), SourceError::Kind::openFailed);

    auto device = openError([] { SourceOpener::openDevice("sovanta-no-such-disk", "x"); });
    EXPECT_EQ(device.kind(), SourceError::Kind::openFailed);
    EXPECT_EQ(device.errorNumber(), ENOENT);
    EXPECT_EQ(device.text(), Platform::rawDevicePrefix() + "sovanta-no-such-disk");
}

TEST(SourceOpener, CharacterDeviceThroughTheImageOpener) {
    auto source = SourceOpener::openImage("/dev/null");
    EXPECT_TRUE(source->isDevice);
    EXPECT_EQ(source->size, 0u);
    EXPECT_EQ(source->sectorSize, 512);
}

TEST(SourceOpener, AppleImageExtensionsAttachInAnyCase) {
    TempDir dir;
    for (const char* name : {"x.DMG", "y.Dmg", "z.sparseimage"}) {
        test::writeFile(dir.file(name), std::string(4096, 'r'));
        try {
            auto source = SourceOpener::openImage(dir.file(name));
            // Attached (as root): a device read through its loop device.
            EXPECT_TRUE(source->isDevice) << name;
            ASSERT_TRUE(source->bsdName.has_value());
            EXPECT_EQ(source->path, Platform::rawDevicePrefix() + *source->bsdName);
            EXPECT_EQ(source->displayName, name);
            EXPECT_EQ(source->read(0, 4), Bytes(4, 'r'));
        } catch (const SourceError& e) {
            EXPECT_EQ(e.kind(), SourceError::Kind::attachFailed) << name << ": " << e.description();
            EXPECT_FALSE(e.text().empty()) << name;
        }
    }
}

TEST(SourceOpener, AttachedImageIsDetachedOnClose) {
    if (!test::isRoot()) GTEST_SKIP() << "attaching needs loop devices (root)";
    TempDir dir;
    std::string content(1 << 20, '\0');
    for (size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i % 251);
    test::writeFile(dir.file("raw.dmg"), content);
    const std::string image = fs::canonical(dir.file("raw.dmg")).string();
    auto source = SourceOpener::openImage(image);
    ASSERT_TRUE(source->bsdName.has_value());
    EXPECT_EQ(loopDevicesBackedBy(image), std::set<std::string>{*source->bsdName});
    EXPECT_EQ(source->size, content.size());
    EXPECT_EQ(source->read(1000, 100), Bytes(content.begin() + 1000, content.begin() + 1100));
    source->close();
    // The device is asked to detach on close. The kernel finishes a detach
    // only once nobody else has the device open (udev's probe after the
    // attach, or another process's losetup looking for a free device), and
    // the name may be reused at once by another attach: so the image itself
    // must be attached nowhere, and that is waited for within a bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!loopDevicesBackedBy(image).empty() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(loopDevicesBackedBy(image).empty());
}

TEST(SourceOpener, UDIFImagesAreConvertedAndAttached) {
    if (!test::isRoot()) GTEST_SKIP() << "attaching needs loop devices (root)";
    auto source = SourceOpener::openImage(test::fixtureSource("hfsplus_udif/hfsplus_udif.dmg"));
    EXPECT_TRUE(source->isDevice);
    EXPECT_EQ(source->displayName, "hfsplus_udif.dmg");
    // The decoded disk holds an Apple partition map: "ER" at 0, "PM" at 512.
    auto head = source->read(0, 1024);
    EXPECT_EQ(head[0], 'E');
    EXPECT_EQ(head[1], 'R');
    EXPECT_EQ(head[512], 'P');
    EXPECT_EQ(head[513], 'M');
}

TEST(SourceOpener, DevicesOpenWithTheirGeometry) {
    if (!test::isRoot()) GTEST_SKIP() << "needs a loop device (root)";
    TempDir dir;
    test::writeFile(dir.file("disk.img"), std::string(3 << 20, 'd'));
    std::string dev = losetup(dir.file("disk.img"));
    ASSERT_FALSE(dev.empty());
    std::string name = fs::path(dev).filename().string();
    EXPECT_TRUE(SourceOpener::isBlockDeviceName(name));
    {
        auto source = SourceOpener::openDevice(name, "Testdisk");
        EXPECT_TRUE(source->isDevice);
        EXPECT_EQ(source->bsdName, name);
        EXPECT_EQ(source->displayName, "Testdisk");
        EXPECT_EQ(source->size, 3u << 20);
        EXPECT_EQ(source->sectorSize, 512);
        EXPECT_EQ(source->read(0, 3), Bytes(3, 'd'));
    }
    test::runProgram("/usr/sbin/losetup", {"--detach", dev});
}

TEST(PrivilegedOpen, HelperPassesTheDescriptorOverTheSocket) {
    TempDir dir;
    test::writeFile(dir.file("secret.img"), "hemmelig");
    std::string helper = Platform::toolPath(Platform::authopenPath);
    ASSERT_NE(helper, Platform::authopenPath) << "the helper stand-in was not built";
    int error = -1;
    int fd = sovanta_authopen(helper.c_str(), dir.file("secret.img").c_str(), O_RDONLY, &error);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(error, 0);
    char buffer[8];
    EXPECT_EQ(::pread(fd, buffer, 8, 0), 8);
    EXPECT_EQ(std::string(buffer, 8), "hemmelig");
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    ::close(fd);

    EXPECT_EQ(sovanta_authopen(helper.c_str(), dir.file("missing").c_str(), O_RDONLY, &error), -1);
    EXPECT_EQ(error, ENOENT);  // the helper's exit code
    EXPECT_EQ(sovanta_authopen(helper.c_str(), dir.file("missing").c_str(), O_RDONLY, nullptr), -1);
    EXPECT_EQ(sovanta_authopen("/nonexistent/authopen", dir.file("secret.img").c_str(), O_RDONLY, &error), -1);
    EXPECT_EQ(error, ENOENT);
}

TEST(Shell, RunCapturesBothStreamsAndStatus) {
    auto missing = Shell::run("/nonexistent/tool", {});
    EXPECT_EQ(missing.status, -1);
    EXPECT_TRUE(missing.stdoutBytes.empty());
    EXPECT_FALSE(missing.stderrBytes.empty());

    // A megabyte on each stream at once must not deadlock on a full pipe.
    auto r = Shell::run("/bin/sh", {"-c", "head -c 1048576 /dev/zero; head -c 1048576 /dev/zero >&2; exit 3"});
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.stdoutBytes.size(), 1048576u);
    EXPECT_EQ(r.stderrBytes.size(), 1048576u);

    auto input = Shell::run("/bin/cat", {});
    EXPECT_EQ(input.status, 0);  // standard input is the null device
    EXPECT_TRUE(input.stdoutBytes.empty());
}

TEST(Shell, ToolsInheritNoDescriptorsButTheStandardThree) {
    // Pipes are close-on-exec: a tool started by one run can never hold another
    // run's pipe open (which would hang that run until the tool exits).
    std::set<std::string> before;
    for (auto& entry : fs::directory_iterator("/proc/self/fd")) before.insert(entry.path().filename().string());
    auto r = Shell::run("/bin/sh", {"-c", "ls /proc/$$/fd"});
    ASSERT_EQ(r.status, 0);
    std::string listing(r.stdoutBytes.begin(), r.stdoutBytes.end());
    std::istringstream lines(listing);
    std::string fd;
    while (std::getline(lines, fd)) {
        if (fd == "0" || fd == "1" || fd == "2") continue;
        // Anything else must have been open before the run (inherited from
        // whoever started the tests), never one of the run's own pipes.
        EXPECT_TRUE(before.count(fd)) << "descriptor " << fd << " leaked into the tool";
    }
}
