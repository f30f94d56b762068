// The disk list over property lists of the macOS disk tool's shape (recorded
// in Tests/Fixtures/disklist), over the Linux stand-in's own answers, and on a
// loop device with a mounted partition (root only).
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <atomic>
#include <thread>
#include <sstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include "../Platform/diskutil/SmartReport.h"
#include "SovantaCore/DiskList.h"
#include "SovantaCore/PropertyList.h"
#include "LoopDisk.h"
#include "TestSupport.h"

using namespace sovanta;
namespace fs = std::filesystem;

namespace {

Bytes recorded(const std::string& name) {
    std::ifstream in(std::string(SOVANTA_FIXTURE_SOURCE_DIR) + "/disklist/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

Shell::Result answer(const Bytes& out, int status = 0) {
    Shell::Result r;
    r.status = status;
    r.stdoutBytes = out;
    return r;
}

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// A disk tool that answers from the recorded files: list.plist and
// info-<device>.plist; other devices are unknown to it.
DiskList::ToolRunner recordedTool(std::vector<std::vector<std::string>>* calls = nullptr) {
    return [calls](const std::vector<std::string>& args) {
        if (calls) calls->push_back(args);
        if (args == std::vector<std::string>{"list", "-plist"}) return answer(recorded("list.plist"));
        if (args.size() == 3 && args[0] == "info" && args[1] == "-plist") {
            Bytes info = recorded("info-" + args[2] + ".plist");
            if (!info.empty()) return answer(info);
        }
        Shell::Result none;
        none.status = 1;
        none.stderrBytes = text("Could not find disk: " + (args.empty() ? "" : args.back()));
        return none;
    };
}

// A disk tool that cannot be started, as Shell reports it.
Shell::Result notStarted(const std::vector<std::string>&) {
    Shell::Result r;
    r.stderrBytes = text("Kunne ikke starte /usr/sbin/diskutil: No such file or directory");
    return r;
}

std::string plistOf(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body + "\n</plist>\n";
}

const DiskInfo* byName(const std::vector<DiskInfo>& disks, const std::string& name) {
    for (auto& d : disks)
        if (d.bsdName == name) return &d;
    return nullptr;
}

std::vector<std::string> names(const std::vector<PartitionSummary>& parts) {
    std::vector<std::string> out;
    for (auto& p : parts) out.push_back(p.bsdName);
    return out;
}

}  // namespace

// MARK: - Recorded output of the macOS disk tool

TEST(DiskList, RecordedMacWithAPFSContainerUSBDiskAndDiskImage) {
    std::vector<std::vector<std::string>> calls;
    auto disks = DiskList::load(recordedTool(&calls));
    ASSERT_EQ(disks.size(), 3u);
    // External disks first, then by name; the container disk3 is no disk of its own.
    EXPECT_EQ(disks[0].bsdName, "disk4");
    EXPECT_EQ(disks[1].bsdName, "disk5");
    EXPECT_EQ(disks[2].bsdName, "disk0");
    // The list once, then the info of each disk.
    EXPECT_EQ(calls.size(), 4u);

    const DiskInfo& mac = disks[2];
    EXPECT_EQ(names(mac.partitions), (std::vector<std::string>{"disk0s1", "disk0s2", "disk0s3", "disk3s1s1",
                                                               "disk3s5", "disk3s2", "disk3s3", "disk3s6"}));
    EXPECT_EQ(mac.partitions[3].volumeName, "Macintosh HD");
    EXPECT_EQ(mac.partitions[3].mountPoint, "/");
    EXPECT_FALSE(mac.partitions[6].mountPoint);  // Recovery is not mounted
    EXPECT_EQ(mac.mediaName, "APPLE SSD AP0512Z");
    EXPECT_EQ(mac.size, 500277790720u);
    EXPECT_EQ(mac.blockSize, 4096);
    EXPECT_TRUE(mac.isInternal);
    EXPECT_FALSE(mac.isRemovable);
    EXPECT_TRUE(mac.isSolidState);
    EXPECT_FALSE(mac.isDiskImage);
    EXPECT_EQ(mac.busProtocol, "Apple Fabric");
    EXPECT_EQ(mac.content, "GUID_partition_scheme");
    EXPECT_EQ(mac.health(), DiskHealth::good);
    EXPECT_EQ(mac.temperatureCelsius(), 35);
    EXPECT_EQ(mac.smartDetails.at("POWER_ON_HOURS_0"), 1583);
    EXPECT_EQ(mac.mountedVolumes().size(), 4u);
    EXPECT_EQ(DiskList::bootWholeDisk(), "disk0");
    EXPECT_TRUE(mac.isBootDisk());
    // The container's store decides, also for a disk whose own partitions hold no "/".
    DiskInfo bare = mac;
    bare.partitions.clear();
    EXPECT_TRUE(bare.isBootDisk());

    const DiskInfo& usb = disks[0];
    EXPECT_EQ(usb.mediaName, "Samsung Portable SSD T7");  // blanks and tabs trimmed
    EXPECT_EQ(usb.displayName(), "Samsung Portable SSD T7");
    EXPECT_EQ(usb.busProtocol, "USB");
    EXPECT_FALSE(usb.isInternal);
    EXPECT_TRUE(usb.isRemovable);
    EXPECT_EQ(usb.size, 1000204886016u);  // the info has no size: the list's
    EXPECT_EQ(usb.health(), DiskHealth::warning);  // "VERIFIED" with 3 media errors
    EXPECT_EQ(usb.temperatureCelsius(), 37);
    // Numbers only: the text is left out, the real number kept as an integer.
    EXPECT_FALSE(usb.smartDetails.count("VENDOR_NOTE"));
    EXPECT_EQ(usb.smartDetails.at("RATIO"), 12);
    EXPECT_FALSE(usb.isBootDisk());
    ASSERT_EQ(usb.partitions.size(), 1u);
    EXPECT_EQ(usb.partitions[0], (PartitionSummary{"disk4s1", "Windows_FAT_32", "USB-DISK", "/Volumes/USB-DISK",
                                                   1000202043392u}));

    const DiskInfo& image = disks[1];
    EXPECT_TRUE(image.isDiskImage);
    EXPECT_TRUE(image.isRemovable);  // ejectable
    EXPECT_EQ(image.health(), DiskHealth::unknown);
    EXPECT_FALSE(image.temperatureCelsius());
    // Empty texts are absent values.
    ASSERT_EQ(image.partitions.size(), 1u);
    EXPECT_FALSE(image.partitions[0].volumeName);
    EXPECT_FALSE(image.partitions[0].mountPoint);
    EXPECT_TRUE(image.mountedVolumes().empty());
}

TEST(DiskList, EntriesWithMissingKeysAndNumberOrder) {
    std::string list = plistOf(R"(<dict><key>AllDisksAndPartitions</key><array>
        <dict><key>DeviceIdentifier</key><string>disk10</string>
              <key>Partitions</key><array><dict><key>Content</key><string>EFI</string><key>Size</key><integer>209715200</integer></dict></array></dict>
        <dict><key>Partitions</key><array/></dict>
        <dict><key>DeviceIdentifier</key><string>disk2</string><key>Size</key><integer>1000</integer>
              <key>Partitions</key><string>none</string></dict>
        </array></dict>)");
    std::string internal = plistOf(R"(<dict><key>Internal</key><true/><key>MediaName</key><string>   </string>
        <key>SMARTStatus</key><string>Failing</string><key>Size</key><string>big</string></dict>)");
    auto disks = DiskList::load([&](const std::vector<std::string>& args) {
        return answer(text(args[0] == "list" ? list : internal));
    });
    ASSERT_EQ(disks.size(), 2u);  // the entry without an identifier is left out
    EXPECT_EQ(disks[0].bsdName, "disk2");
    EXPECT_EQ(disks[1].bsdName, "disk10");
    EXPECT_EQ(disks[0].size, 1000u);  // a size that is no number falls back to the list's
    EXPECT_EQ(disks[1].size, 0u);
    EXPECT_TRUE(disks[0].partitions.empty());
    EXPECT_EQ(disks[1].partitions, (std::vector<PartitionSummary>{{"?", "EFI", std::nullopt, std::nullopt, 209715200}}));
    EXPECT_EQ(disks[0].mediaName, "");
    EXPECT_EQ(disks[0].displayName(), "disk2");
    EXPECT_EQ(disks[0].health(), DiskHealth::failing);
    EXPECT_EQ(disks[0].blockSize, 512);
}

TEST(DiskList, HealthAndTemperatureRules) {
    struct Case {
        std::string status;
        std::optional<int64_t> mediaErrors;
        DiskHealth expected;
    };
    for (auto& c : std::vector<Case>{{"Verified", std::nullopt, DiskHealth::good},
                                     {"verified", 0, DiskHealth::good},
                                     {"VeRiFiEd", 3, DiskHealth::warning},
                                     {"Verified", 1, DiskHealth::warning},
                                     {"FAILING", 0, DiskHealth::failing},
                                     {"failing", std::nullopt, DiskHealth::failing},
                                     {"Not Supported", 5, DiskHealth::unknown},
                                     {"", std::nullopt, DiskHealth::unknown}}) {
        DiskInfo d;
        d.smartStatus = c.status;
        if (c.mediaErrors) d.smartDetails["MEDIA_ERRORS_0"] = *c.mediaErrors;
        EXPECT_EQ(d.health(), c.expected) << c.status;
    }
    for (auto [kelvin, celsius] : std::vector<std::pair<int64_t, std::optional<int64_t>>>{
             {310, 37}, {200, std::nullopt}, {201, -72}, {273, 0}}) {
        DiskInfo d;
        d.smartDetails["TEMPERATURE"] = kelvin;
        EXPECT_EQ(d.temperatureCelsius(), celsius) << kelvin;
    }
    EXPECT_FALSE(DiskInfo{}.temperatureCelsius());
    for (auto h : {DiskHealth::good, DiskHealth::warning, DiskHealth::failing, DiskHealth::unknown})
        EXPECT_EQ(diskHealthFromRaw(rawValue(h)), h);
    EXPECT_FALSE(diskHealthFromRaw("Good"));
}

TEST(DiskList, WholeDiskOfDeviceNames) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"disk4s2", "disk4"}, {"disk10s1", "disk10"}, {"disk", "disk"},       {"diskX", "disk"},
        {"disk3s1s1", "disk3"}, {"rdisk3", "rdisk3"}, {"", ""},               {"sdb1", "sdb"},
        {"sdab12", "sdab"},     {"sdb", "sdb"},       {"nvme0n1p2", "nvme0n1"}, {"nvme0n1", "nvme0n1"},
        {"mmcblk0p1", "mmcblk0"}, {"loop7p3", "loop7"}, {"xvda1", "xvda"},    {"md0", "md0"},
        {"../../etc", "../../etc"}, {"sd1", "sd1"},
    };
    for (auto& [name, disk] : cases) EXPECT_EQ(DiskList::wholeDisk(name), disk) << name;
}

TEST(DiskList, AToolThatCannotStart) {
    // A first load that finds the system's container sets the start-up disk;
    // a failing load leaves it.
    DiskList::load(recordedTool());
    ASSERT_EQ(DiskList::bootWholeDisk(), "disk0");
    EXPECT_TRUE(DiskList::load(notStarted).empty());
    EXPECT_EQ(DiskList::bootWholeDisk(), "disk0");
    // Output that is no property list, or lacks the disks, is an empty list as well.
    EXPECT_TRUE(DiskList::load([](auto&) { return answer(text("no plist")); }).empty());
    EXPECT_TRUE(DiskList::load([](auto&) { return answer(text(plistOf("<dict/>"))); }).empty());
    EXPECT_TRUE(DiskList::load([](auto&) { return answer(text(plistOf("<array/>"))); }).empty());

    auto result = DiskList::unmount("disk4", notStarted);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.message, "Kunne ikke starte /usr/sbin/diskutil: No such file or directory");

    // The folder's own disk is still named.
    auto disks = DiskList::physicalDisks(fs::temp_directory_path(), notStarted);
    struct stat st {};
    ASSERT_EQ(::stat(fs::temp_directory_path().c_str(), &st), 0);
    std::error_code ec;
    fs::path sys = fs::canonical("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                                     std::to_string(minor(st.st_dev)), ec);
    if (!ec) {
        ASSERT_TRUE(disks);
        EXPECT_EQ(*disks, std::set<std::string>{DiskList::wholeDisk(sys.filename().string())});
    }
    // A place that does not exist cannot be told, nor one on a file system
    // that no block device holds; one in memory lies on no disk.
    EXPECT_FALSE(DiskList::physicalDisks("/no/such/folder/here", notStarted));
    EXPECT_FALSE(DiskList::physicalDisks("/proc/self", notStarted));
    if (fs::is_directory("/dev/shm")) {
        EXPECT_EQ(DiskList::physicalDisks("/dev/shm", notStarted), std::set<std::string>{});
    }
}

TEST(DiskList, StartUpDiskIsSharedSafelyWithABackgroundLoad) {
    // Names too long to live inside the text object itself: a reader that
    // copied one while a load replaced it would read freed memory.
    auto listWith = [](const std::string& store) {
        return text(plistOf("<dict><key>AllDisksAndPartitions</key><array><dict><key>DeviceIdentifier</key><string>"
                            "container</string><key>APFSPhysicalStores</key><array><dict><key>DeviceIdentifier</key>"
                            "<string>" + store + "</string></dict></array><key>APFSVolumes</key><array><dict>"
                            "<key>DeviceIdentifier</key><string>v</string><key>MountPoint</key><string>/</string>"
                            "</dict></array></dict></array></dict>"));
    };
    const std::string first = "disk1234567890123456789012345678901", second = "disk9876543210987654321098765432109";
    const Bytes a = listWith(first + "s2"), b = listWith(second + "s2");
    DiskList::load([&](const std::vector<std::string>& args) { return args[0] == "list" ? answer(b) : answer({}, 1); });
    std::atomic<bool> done{false};
    std::thread loader([&] {
        for (int i = 0; i < 300; ++i)
            DiskList::load([&](const std::vector<std::string>& args) {
                return args[0] == "list" ? answer(i % 2 ? a : b) : answer({}, 1);
            });
        done = true;
    });
    DiskInfo disk;
    disk.bsdName = first;
    bool wrong = false;
    while (!done) {
        auto boot = DiskList::bootWholeDisk();
        wrong |= !boot || (*boot != first && *boot != second);
        static_cast<void>(disk.isBootDisk());  // the front end's read
    }
    loader.join();
    EXPECT_FALSE(wrong);
    EXPECT_EQ(DiskList::bootWholeDisk(), first);
}

TEST(DiskList, UnmountGivesTheToolsWords) {
    auto ok = DiskList::unmount("disk4", [](const std::vector<std::string>& args) {
        EXPECT_EQ(args, (std::vector<std::string>{"unmountDisk", "disk4"}));
        return answer(text("\n  Unmount of all volumes on disk4 was successful\n"));
    });
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(ok.message, "Unmount of all volumes on disk4 was successful");
    auto failed = DiskList::unmount("disk4", [](auto&) {
        Shell::Result r;
        r.status = 1;
        r.stdoutBytes = text("Unmount of disk4 failed: ");
        r.stderrBytes = {'a', 't', ' ', 0xC3, 0xA6, ' ', 0xFF, '\n'};  // invalid UTF-8 is replaced
        return r;
    });
    EXPECT_FALSE(failed.ok);
    EXPECT_EQ(failed.message, "Unmount of disk4 failed: at æ \xEF\xBF\xBD");
}

TEST(DiskList, PhysicalStoresOfAFolderOnAnAPFSVolume) {
    // On the Mac, a folder on disk3s1s1 lies on the container's store disk0s2:
    // the tool's info of the device and of its whole disk name the stores.
    // Here the folder's device is this machine's own; the recorded info of
    // disk3s1s1 stands in for it.
    struct stat st {};
    ASSERT_EQ(::stat("/", &st), 0);
    auto tool = [](const std::vector<std::string>& args) {
        if (args.size() == 3 && args[0] == "info" && DiskList::wholeDisk(args[2]) != "disk0")
            return answer(recorded("info-disk3s1s1.plist"));
        return answer({}, 1);
    };
    auto disks = DiskList::physicalDisks("/", tool);
    if (!disks) GTEST_SKIP() << "the root file system here lies on no block device";
    EXPECT_TRUE(disks->count("disk0"));  // the store's whole disk
    EXPECT_TRUE(disks->count("disk3"));  // the info's parent whole disk
}

// MARK: - smartctl's JSON as the stand-in reads it

TEST(DiskList, StandInReadsSmartctlJSON) {
    auto read = [](const std::string& name) {
        Bytes b = recorded(name);
        return std::string(b.begin(), b.end());
    };
    auto nvme = diskutil::parseSmartctl(read("smartctl-nvme.json"));
    ASSERT_TRUE(nvme);
    EXPECT_EQ(nvme->passed, true);
    EXPECT_EQ(nvme->counters.at("TEMPERATURE"), 309);
    EXPECT_EQ(nvme->counters.at("MEDIA_ERRORS_0"), 0);
    EXPECT_EQ(nvme->counters.at("POWER_ON_HOURS_0"), 4321);
    auto ata = diskutil::parseSmartctl(read("smartctl-ata-failing.json"));
    ASSERT_TRUE(ata);
    EXPECT_EQ(ata->passed, false);
    EXPECT_EQ(ata->counters, (std::map<std::string, int64_t>{{"TEMPERATURE", 314}}));
    // A device smartctl could not ask, and output that is no JSON.
    EXPECT_FALSE(diskutil::parseSmartctl(R"({"smartctl": {"exit_status": 1}, "local_time": {"time_t": 1}})"));
    EXPECT_FALSE(diskutil::parseSmartctl("{\"smart_status\": {\"passed\": tru"));
    EXPECT_FALSE(diskutil::parseSmartctl(std::string(100000, '[')));
}

// MARK: - The Linux stand-in's own answers

namespace {

// The whole disks the kernel has, as the stand-in lists them.
std::vector<std::string> kernelDisks() {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto& e : fs::directory_iterator("/sys/block", ec)) {
        std::string name = e.path().filename().string();
        if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
        std::ifstream size(e.path() / "size");
        uint64_t sectors = 0;
        size >> sectors;
        if (sectors > 0) out.push_back(name);
    }
    return out;
}

Shell::Result standIn(const std::vector<std::string>& args) {
    return Shell::run(std::string(SOVANTA_BUILD_DIR) + "/diskutil", args);
}

}  // namespace

// Loop devices come and go with the tests running beside this one; they are
// checked by the loop-device test alone.
bool isLoop(const std::string& name) { return name.rfind("loop", 0) == 0; }

TEST(DiskList, StandInListsThisMachinesDisks) {
    auto disks = DiskList::load(standIn);
    std::set<std::string> listed;
    for (auto& d : disks) listed.insert(d.bsdName);
    for (auto& name : kernelDisks())
        if (name.rfind("dm-", 0) != 0 && !isLoop(name)) {
            EXPECT_TRUE(listed.count(name)) << name;
        }
    for (auto& d : disks) {
        if (isLoop(d.bsdName)) continue;
        SCOPED_TRACE(d.bsdName);
        EXPECT_GT(d.size, 0u);
        EXPECT_GE(d.blockSize, 512);
        EXPECT_FALSE(d.smartStatus.empty());
        // Every partition names its whole disk.
        for (auto& p : d.partitions) {
            auto info = standIn({"info", "-plist", p.bsdName});
            ASSERT_EQ(info.status, 0);
            auto plist = PlistValue::parse(info.stdoutBytes);
            ASSERT_TRUE(plist && plist->isDict());
            EXPECT_EQ(plist->stringValue("ParentWholeDisk"), d.bsdName) << p.bsdName;
            EXPECT_EQ(DiskList::wholeDisk(p.bsdName), d.bsdName);
        }
    }
    // The disk that holds "/" is the start-up disk.
    auto root = DiskList::physicalDisks("/", standIn);
    if (root && !root->empty()) {
        for (auto& d : disks)
            if (root->count(d.bsdName)) {
                EXPECT_TRUE(d.isBootDisk()) << d.bsdName;
            }
    }
    auto missing = standIn({"info", "-plist", "nosuchdisk"});
    EXPECT_NE(missing.status, 0);
    EXPECT_NE(standIn({"bogus"}).status, 0);
}

TEST(DiskList, ListCommandPrintsEveryDisk) {
    auto run = test::runCLI({"list"});
    EXPECT_EQ(run.status, 0);
    auto disks = DiskList::load();
    // The lines of each disk but the loop devices.
    std::vector<std::string> lines;
    bool skipping = false;
    std::stringstream out(run.out);
    for (std::string line; std::getline(out, line);) {
        if (line.rfind("   ", 0) != 0) skipping = isLoop(line);
        if (!skipping) lines.push_back(line);
    }
    std::vector<std::string> expected;
    for (auto& d : disks) {
        if (isLoop(d.bsdName)) continue;
        expected.push_back(d.bsdName + "\t" + formatBytes(d.size) + "\t" + d.displayName() + "\t" + d.busProtocol +
                           "\tSMART: " + d.smartStatus);
        for (auto& p : d.partitions)
            expected.push_back("   " + p.bsdName + "\t" + formatBytes(p.size) + "\t" + p.content + "\t" +
                               p.volumeName.value_or("") + "\t" + p.mountPoint.value_or(""));
    }
    EXPECT_EQ(lines, expected);
    EXPECT_FALSE(lines.empty());
}

// MARK: - A loop device with a mounted partition (root only)

TEST(DiskList, LoopDeviceWithAMountedPartition) {
    if (!test::isRoot()) GTEST_SKIP() << "needs root for losetup and mount";
    // A 64 MiB image with one GPT partition holding ext4, mounted.
    test::LoopDisk loop(64, "label: gpt\n,,L\n");
    if (!loop.ready() || test::shell("mkfs.ext4 -q -L SOVTEST " + loop.partitionPath(1)) != 0 ||
        loop.mount(loop.partitionPath(1)).empty())
        GTEST_SKIP() << "could not attach and mount a loop device here";

    fs::path folder = loop.mountPoint() / "Gendannet";
    fs::create_directories(folder);
    EXPECT_EQ(DiskList::physicalDisks(folder), std::set<std::string>{loop.name()});
    EXPECT_EQ(DiskList::wholeDisk(loop.partition(1)), loop.name());

    auto disks = DiskList::load();
    const DiskInfo* disk = byName(disks, loop.name());
    ASSERT_TRUE(disk);
    EXPECT_EQ(disk->size, 64u << 20);
    EXPECT_TRUE(disk->isDiskImage);
    EXPECT_EQ(disk->busProtocol, "Disk Image");
    EXPECT_EQ(disk->mediaName, "disk.img");
    EXPECT_EQ(disk->content, "GUID_partition_scheme");
    ASSERT_EQ(disk->partitions.size(), 1u);
    const PartitionSummary& p = disk->partitions[0];
    EXPECT_EQ(p.bsdName, loop.partition(1));
    EXPECT_EQ(p.content, "ext4");
    EXPECT_EQ(p.volumeName, "SOVTEST");
    EXPECT_EQ(p.mountPoint, loop.mountPoint().string());
    EXPECT_FALSE(disk->isBootDisk());

    // The list command prints it in its two kinds of line.
    auto run = test::runCLI({"list"});
    EXPECT_NE(run.out.find(loop.name() + "\t" + formatBytes(64u << 20) + "\tdisk.img\tDisk Image\tSMART: Not Supported\n"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("   " + loop.partition(1) + "\t" + formatBytes(p.size) + "\text4\tSOVTEST\t" +
                           loop.mountPoint().string() + "\n"),
              std::string::npos)
        << run.out;

    // Unmounting the disk by the name of its partition unmounts its volume.
    auto result = DiskList::unmount(loop.partition(1));
    EXPECT_TRUE(result.ok) << result.message;
    EXPECT_EQ(result.message, "Alle enheder på " + loop.name() + " er afmonteret");
    EXPECT_FALSE(loop.stillMounted());
}
