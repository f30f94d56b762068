// Stand-in for the disk tool, answering from Linux's own data:
//   diskutil list -plist
//   diskutil info -plist <device>
//   diskutil unmountDisk <disk>
// Devices are the kernel's block devices (/sys/block and their partitions);
// sizes and kinds come from sysfs, mounts from /proc/self/mountinfo, file
// systems and labels from lsblk (or blkid when lsblk's udev data is missing),
// and S.M.A.R.T. from smartctl's JSON when smartmontools is installed.
// Device-mapper devices (LVM, LUKS) stand where the macOS tool puts APFS
// containers: their physical stores are the devices below them, their volume
// is the mapped device itself.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SmartReport.h"
#include "ToolSupport.h"

namespace fs = std::filesystem;
using platform::run;
using platform::StandardError;

namespace {

int fail(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    return 1;
}

std::string readLine(const fs::path& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return platform::trimmed(line);
}

uint64_t readNumber(const fs::path& path) {
    std::string s = readLine(path);
    return s.empty() ? 0 : std::strtoull(s.c_str(), nullptr, 10);
}

bool findProgram(const std::string& name) {
    for (const char* dir : {"/usr/sbin", "/usr/bin", "/sbin", "/bin", "/usr/local/sbin", "/usr/local/bin"})
        if (access((std::string(dir) + "/" + name).c_str(), X_OK) == 0) return true;
    return false;
}

// "\x20" in lsblk's and blkid's quoted values, octal "\040" in the mount table.
std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && std::isxdigit(static_cast<unsigned char>(s[i + 2])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>(std::stoi(s.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
                   std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// KEY="value" pairs of one line of lsblk -P.
std::map<std::string, std::string> pairs(const std::string& line) {
    std::map<std::string, std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && line[i] == ' ') ++i;
        size_t eq = line.find("=\"", i);
        if (eq == std::string::npos) break;
        std::string key = line.substr(i, eq - i);
        size_t end = line.find('"', eq + 2);
        if (end == std::string::npos) break;
        out[key] = unescape(line.substr(eq + 2, end - eq - 2));
        i = end + 1;
    }
    return out;
}

// One line of /proc/self/mountinfo.
struct Mount {
    std::string numbers;  // the device's "major:minor"
    std::string point;    // where it is mounted
    std::string type;     // the file-system type
    std::string source;   // what was mounted
};

// The mount table in the kernel's order; lines it cannot split are left out.
std::vector<Mount> mountTable() {
    std::vector<Mount> mounts;
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        size_t start = 0;
        while (start <= line.size()) {
            size_t space = line.find(' ', start);
            if (space == std::string::npos) space = line.size();
            f.push_back(line.substr(start, space - start));
            start = space + 1;
        }
        auto dash = std::find(f.begin(), f.end(), "-");
        if (f.size() < 5 || dash == f.end() || dash + 2 >= f.end()) continue;
        mounts.push_back({f[2], unescape(f[4]), *(dash + 1), unescape(*(dash + 2))});
    }
    return mounts;
}

struct Device {
    std::string name;       // kernel name: sda, sda1, nvme0n1p2, loop3, dm-0
    std::string parent;     // the whole disk of a partition, else the name itself
    bool isPartition = false;
    fs::path sys;           // its folder below /sys/devices
    uint64_t size = 0;
    std::string fsType, label, partTypeName, tableType, model;
    std::string mountPoint;
    std::string mountType;  // the file-system type the mount table gives
};

class Machine {
public:
    Machine() {
        readDevices();
        readMounts();
        readLsblk();
        readBlkid();
        for (auto& [name, d] : devices)
            if (d.fsType.empty()) d.fsType = d.mountType;
    }

    std::map<std::string, Device> devices;
    std::vector<std::string> wholeDisks;  // in /sys/block order

    const Device* find(std::string name) const {
        if (name.rfind("/dev/", 0) == 0) name = name.substr(5);
        auto it = devices.find(name);
        return it == devices.end() ? nullptr : &it->second;
    }
    std::vector<const Device*> partitionsOf(const std::string& disk) const {
        std::vector<const Device*> out;
        for (auto& [n, d] : devices)
            if (d.isPartition && d.parent == disk) out.push_back(&d);
        std::sort(out.begin(), out.end(), [](auto* a, auto* b) {
            return readNumber(a->sys / "partition") < readNumber(b->sys / "partition");
        });
        return out;
    }
    static bool isMapped(const std::string& name) { return name.rfind("dm-", 0) == 0; }
    // The devices that a mapped device is built on, followed down to devices
    // that are not mapped themselves.
    std::vector<std::string> physicalStores(const std::string& name) const {
        std::vector<std::string> out, stack{name};
        std::set<std::string> seen;
        while (!stack.empty()) {
            std::string at = stack.back();
            stack.pop_back();
            if (!seen.insert(at).second) continue;
            auto d = find(at);
            if (!d) continue;
            std::error_code ec;
            std::vector<std::string> below;
            for (auto& e : fs::directory_iterator(d->sys / "slaves", ec)) below.push_back(e.path().filename().string());
            std::sort(below.begin(), below.end());
            for (auto it = below.rbegin(); it != below.rend(); ++it) {
                if (isMapped(*it)) stack.push_back(*it);
                else if (std::find(out.begin(), out.end(), *it) == out.end()) out.push_back(*it);
            }
        }
        return out;
    }

private:
    void readDevices() {
        std::error_code ec;
        std::vector<std::string> names;
        for (auto& e : fs::directory_iterator("/sys/block", ec)) names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        for (auto& name : names) {
            // Memory disks are no disks.
            if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
            Device d;
            d.name = d.parent = name;
            d.sys = fs::canonical("/sys/block/" + name, ec);
            if (ec) continue;
            d.size = readNumber(d.sys / "size") * 512;
            if (d.size == 0) continue;  // an unattached loop device or an empty drive
            d.model = readLine(d.sys / "device" / "model");
            if (d.model.empty()) d.model = readLine(d.sys / "dm" / "name");
            // A loop device is known by the file behind it.
            if (d.model.empty()) d.model = fs::path(readLine(d.sys / "loop" / "backing_file")).filename().string();
            wholeDisks.push_back(name);
            for (auto& child : fs::directory_iterator(d.sys, ec)) {
                if (!fs::exists(child.path() / "partition")) continue;
                Device p;
                p.name = child.path().filename().string();
                p.parent = name;
                p.isPartition = true;
                p.sys = child.path();
                p.size = readNumber(p.sys / "size") * 512;
                devices[p.name] = p;
            }
            devices[name] = d;
        }
    }

    // The first mount of each device, by its device numbers or by the mount
    // source's name (FUSE mounts have numbers of their own).
    void readMounts() {
        std::map<std::string, std::string> byNumbers;
        for (auto& [name, d] : devices) byNumbers[readLine(d.sys / "dev")] = name;
        for (auto& mount : mountTable()) {
            const std::string& point = mount.point;
            const std::string& source = mount.source;
            std::string name;
            if (auto it = byNumbers.find(mount.numbers); it != byNumbers.end()) name = it->second;
            else if (source.rfind("/dev/", 0) == 0) {
                std::error_code ec;
                fs::path real = fs::canonical(source, ec);
                name = (ec ? fs::path(source) : real).filename().string();
            }
            auto it = devices.find(name);
            if (it == devices.end() || !it->second.mountPoint.empty()) continue;
            it->second.mountPoint = point;
            // The kernel's own file-system name, unless FUSE hides it.
            if (mount.type.rfind("fuse", 0) != 0) it->second.mountType = mount.type;
        }
    }

    void readLsblk() {
        std::string out;
        std::vector<std::string> lsblk = {"lsblk", "-b", "-P", "-o", "KNAME,FSTYPE,LABEL,PARTTYPENAME,PTTYPE,MODEL"};
        if (run(lsblk, &out, StandardError::discard) != 0) return;
        size_t start = 0;
        while (start < out.size()) {
            size_t end = out.find('\n', start);
            if (end == std::string::npos) end = out.size();
            auto values = pairs(out.substr(start, end - start));
            start = end + 1;
            auto it = devices.find(values["KNAME"]);
            if (it == devices.end()) continue;
            Device& d = it->second;
            d.fsType = values["FSTYPE"];
            d.label = values["LABEL"];
            d.partTypeName = values["PARTTYPENAME"];
            d.tableType = values["PTTYPE"];
            if (d.model.empty()) d.model = values["MODEL"];
        }
    }

    // Without udev's data lsblk knows no file systems; blkid can read them
    // itself where the device may be opened.
    void readBlkid() {
        if (!findProgram("blkid")) return;
        for (auto& [name, d] : devices) {
            if (!d.fsType.empty() || !d.tableType.empty()) continue;
            if (access(("/dev/" + name).c_str(), R_OK) != 0) continue;
            std::string out;
            if (run({"blkid", "-p", "-o", "export", "/dev/" + name}, &out, StandardError::discard) != 0) continue;
            size_t start = 0;
            while (start < out.size()) {
                size_t end = out.find('\n', start);
                if (end == std::string::npos) end = out.size();
                std::string line = out.substr(start, end - start);
                start = end + 1;
                size_t eq = line.find('=');
                if (eq == std::string::npos) continue;
                std::string key = line.substr(0, eq), value = unescape(line.substr(eq + 1));
                if (key == "TYPE") d.fsType = value;
                else if (key == "LABEL") d.label = value;
                else if (key == "PTTYPE") d.tableType = value;
            }
        }
    }
};

std::string schemeName(const std::string& tableType) {
    if (tableType == "gpt") return "GUID_partition_scheme";
    if (tableType == "dos") return "FDisk_partition_scheme";
    if (tableType == "mac") return "Apple_partition_scheme";
    return tableType;
}

// The bus a device hangs on, by where the kernel placed it.
std::string busProtocol(const Device& d) {
    std::string path = d.sys.string();
    if (d.name.rfind("loop", 0) == 0) return "Disk Image";
    if (Machine::isMapped(d.name)) return "Virtual";
    if (path.find("/usb") != std::string::npos) return "USB";
    if (path.find("/nvme") != std::string::npos) return "PCI-Express";
    if (path.find("/mmc") != std::string::npos) return "Secure Digital";
    if (path.find("/virtio") != std::string::npos) return "VirtIO";
    if (path.find("/ata") != std::string::npos) return "SATA";
    if (path.find("/host") != std::string::npos) return "SCSI";
    return "";
}

plist_t partitionDict(const Device& d, const std::string& content) {
    plist_t p = plist_new_dict();
    plist_dict_set_item(p, "DeviceIdentifier", plist_new_string(d.name.c_str()));
    plist_dict_set_item(p, "Content", plist_new_string(content.c_str()));
    plist_dict_set_item(p, "Size", plist_new_uint(d.size));
    if (!d.label.empty()) plist_dict_set_item(p, "VolumeName", plist_new_string(d.label.c_str()));
    if (!d.mountPoint.empty()) plist_dict_set_item(p, "MountPoint", plist_new_string(d.mountPoint.c_str()));
    return p;
}

std::string partitionContent(const Device& d) {
    if (!d.fsType.empty()) return d.fsType;
    return d.partTypeName;
}

int print(plist_t root) {
    platform::printPlist(root);
    return 0;
}

int list() {
    Machine m;
    plist_t root = plist_new_dict();
    plist_t all = plist_new_array(), allNames = plist_new_array(), whole = plist_new_array(),
            volumes = plist_new_array();
    for (auto& name : m.wholeDisks) {
        const Device& d = *m.find(name);
        plist_array_append_item(whole, plist_new_string(name.c_str()));
        plist_array_append_item(allNames, plist_new_string(name.c_str()));
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "DeviceIdentifier", plist_new_string(name.c_str()));
        plist_dict_set_item(entry, "Size", plist_new_uint(d.size));
        if (Machine::isMapped(name)) {
            // A mapped device: a container over its physical stores, holding itself as its volume.
            plist_t stores = plist_new_array();
            for (auto& store : m.physicalStores(name)) {
                plist_t s = plist_new_dict();
                plist_dict_set_item(s, "DeviceIdentifier", plist_new_string(store.c_str()));
                plist_array_append_item(stores, s);
            }
            plist_dict_set_item(entry, "APFSPhysicalStores", stores);
            plist_t vols = plist_new_array();
            plist_array_append_item(vols, partitionDict(d, partitionContent(d)));
            plist_dict_set_item(entry, "APFSVolumes", vols);
            plist_dict_set_item(entry, "Content", plist_new_string(d.fsType.c_str()));
            if (!d.label.empty()) plist_array_append_item(volumes, plist_new_string(d.label.c_str()));
            plist_array_append_item(all, entry);
            continue;
        }
        plist_t parts = plist_new_array();
        auto partitions = m.partitionsOf(name);
        for (auto* p : partitions) {
            plist_array_append_item(parts, partitionDict(*p, partitionContent(*p)));
            plist_array_append_item(allNames, plist_new_string(p->name.c_str()));
            if (!p->label.empty()) plist_array_append_item(volumes, plist_new_string(p->label.c_str()));
        }
        // A file system on the whole disk is the disk's one volume.
        if (partitions.empty() && (!d.fsType.empty() || !d.mountPoint.empty())) {
            plist_array_append_item(parts, partitionDict(d, d.fsType));
            if (!d.label.empty()) plist_array_append_item(volumes, plist_new_string(d.label.c_str()));
        }
        plist_dict_set_item(entry, "Partitions", parts);
        plist_dict_set_item(entry, "Content",
                            plist_new_string(d.tableType.empty() ? d.fsType.c_str() : schemeName(d.tableType).c_str()));
        if (!d.label.empty()) plist_dict_set_item(entry, "VolumeName", plist_new_string(d.label.c_str()));
        if (!d.mountPoint.empty()) plist_dict_set_item(entry, "MountPoint", plist_new_string(d.mountPoint.c_str()));
        plist_array_append_item(all, entry);
    }
    plist_dict_set_item(root, "AllDisks", allNames);
    plist_dict_set_item(root, "AllDisksAndPartitions", all);
    plist_dict_set_item(root, "VolumesFromDisks", volumes);
    plist_dict_set_item(root, "WholeDisks", whole);
    return print(root);
}

int info(const std::string& name) {
    Machine m;
    const Device* found = m.find(name);
    if (!found) return fail("Kunne ikke finde disken: " + name);
    const Device& d = *found;
    const Device& disk = *m.find(d.parent);
    std::string bus = busProtocol(disk);
    bool removable = readNumber(disk.sys / "removable") != 0;
    bool external = removable || bus == "USB" || bus == "Disk Image";
    bool virtualDevice = bus == "Disk Image" || bus == "Virtual";

    plist_t root = plist_new_dict();
    plist_dict_set_item(root, "DeviceIdentifier", plist_new_string(d.name.c_str()));
    plist_dict_set_item(root, "DeviceNode", plist_new_string(("/dev/" + d.name).c_str()));
    plist_dict_set_item(root, "WholeDisk", plist_new_bool(!d.isPartition));
    plist_dict_set_item(root, "ParentWholeDisk", plist_new_string(d.parent.c_str()));
    plist_dict_set_item(root, "Size", plist_new_uint(d.size));
    plist_dict_set_item(root, "DeviceBlockSize", plist_new_uint(readNumber(disk.sys / "queue" / "logical_block_size")));
    plist_dict_set_item(root, "Internal", plist_new_bool(!external));
    plist_dict_set_item(root, "RemovableMediaOrExternalDevice", plist_new_bool(external));
    plist_dict_set_item(root, "Ejectable", plist_new_bool(removable || bus == "USB"));
    plist_dict_set_item(root, "SolidState", plist_new_bool(!virtualDevice && readNumber(disk.sys / "queue" / "rotational") == 0));
    plist_dict_set_item(root, "BusProtocol", plist_new_string(bus.c_str()));
    plist_dict_set_item(root, "MediaName", plist_new_string(disk.model.c_str()));
    plist_dict_set_item(root, "VirtualOrPhysical", plist_new_string(virtualDevice ? "Virtual" : "Physical"));
    plist_dict_set_item(root, "Content", plist_new_string(d.isPartition ? partitionContent(d).c_str()
                                                                           : schemeName(d.tableType).c_str()));
    if (!d.label.empty()) plist_dict_set_item(root, "VolumeName", plist_new_string(d.label.c_str()));
    if (!d.mountPoint.empty()) plist_dict_set_item(root, "MountPoint", plist_new_string(d.mountPoint.c_str()));
    if (Machine::isMapped(d.name)) {
        plist_t stores = plist_new_array();
        for (auto& store : m.physicalStores(d.name)) {
            plist_t s = plist_new_dict();
            plist_dict_set_item(s, "APFSPhysicalStore", plist_new_string(store.c_str()));
            plist_array_append_item(stores, s);
        }
        plist_dict_set_item(root, "APFSPhysicalStores", stores);
    }

    std::string status = "Not Supported";
    if (!virtualDevice && findProgram("smartctl")) {
        std::string out;
        run({"smartctl", "-j", "-a", "/dev/" + disk.name}, &out, StandardError::discard);
        if (auto report = diskutil::parseSmartctl(out)) {
            if (report->passed) status = *report->passed ? "Verified" : "Failing";
            if (!report->counters.empty()) {
                plist_t counters = plist_new_dict();
                for (auto& [key, value] : report->counters)
                    plist_dict_set_item(counters, key.c_str(), plist_new_uint(static_cast<uint64_t>(value)));
                plist_dict_set_item(root, "SMARTDeviceSpecificKeysMayVaryNotGuaranteed", counters);
            }
        }
    }
    plist_dict_set_item(root, "SMARTStatus", plist_new_string(status.c_str()));
    return print(root);
}

int unmountDisk(const std::string& name) {
    Machine m;
    const Device* found = m.find(name);
    if (!found) return fail("Kunne ikke finde disken: " + name);
    std::string disk = found->parent;
    // Every mount of the disk, of its partitions and of mapped devices built on them.
    std::set<std::string> members{disk};
    for (auto* p : m.partitionsOf(disk)) members.insert(p->name);
    for (auto& other : m.wholeDisks)
        if (Machine::isMapped(other))
            for (auto& store : m.physicalStores(other))
                if (members.count(store) || members.count(m.find(store) ? m.find(store)->parent : store))
                    members.insert(other);
    std::vector<std::string> points;
    {
        // Mount points in table order, unmounted last first so nested mounts go before their parents.
        std::map<std::string, std::string> byNumbers;
        for (auto& member : members)
            if (auto* d = m.find(member)) byNumbers[readLine(d->sys / "dev")] = member;
        for (auto& mount : mountTable()) {
            std::error_code ec;
            fs::path real = mount.source.rfind("/dev/", 0) == 0 ? fs::canonical(mount.source, ec) : fs::path();
            std::string sourceName = ec || real.empty() ? "" : real.filename().string();
            if (byNumbers.count(mount.numbers) || members.count(sourceName)) points.push_back(mount.point);
        }
    }
    for (auto it = points.rbegin(); it != points.rend(); ++it) {
        std::string out;
        if (run({"umount", *it}, &out, StandardError::capture) != 0) {
            out = platform::trimmed(out);
            return fail("Afmontering af " + disk + " mislykkedes: " + (out.empty() ? *it : out));
        }
    }
    std::printf("Alle enheder på %s er afmonteret\n", disk.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    const char* usage = "brug: diskutil list -plist | info -plist <enhed> | unmountDisk <disk>";
    if (args.empty()) return fail(usage);
    auto operands = platform::operands(args);
    if (args[0] == "list") return list();
    if (args[0] == "info" && operands.size() == 1) return info(operands[0]);
    if (args[0] == "unmountDisk" && operands.size() == 1) return unmountDisk(operands[0]);
    return fail(usage);
}
