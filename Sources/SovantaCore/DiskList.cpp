#include "SovantaCore/DiskList.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <mutex>
#include <sstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>
#ifdef __APPLE__
#include <sys/mount.h>
#include <sys/param.h>
#endif

#include <unicode/unistr.h>

#include "SovantaCore/Model.h"
#include "SovantaCore/PropertyList.h"

namespace sovanta {

namespace fs = std::filesystem;

// MARK: - Health

std::string rawValue(DiskHealth health) {
    switch (health) {
        case DiskHealth::good: return "good";
        case DiskHealth::warning: return "warning";
        case DiskHealth::failing: return "failing";
        case DiskHealth::unknown: return "unknown";
    }
    return "unknown";
}

std::optional<DiskHealth> diskHealthFromRaw(const std::string& raw) {
    for (auto h : {DiskHealth::good, DiskHealth::warning, DiskHealth::failing, DiskHealth::unknown})
        if (rawValue(h) == raw) return h;
    return std::nullopt;
}

namespace {

std::string lowercased(std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trimmed(const std::string& s, const char* blanks) {
    size_t start = s.find_first_not_of(blanks);
    if (start == std::string::npos) return "";
    size_t end = s.find_last_not_of(blanks);
    return s.substr(start, end - start + 1);
}

std::mutex bootLock;
std::optional<std::string> bootDisk;

void setBootWholeDisk(const std::string& disk) {
    std::lock_guard guard(bootLock);
    bootDisk = disk;
}

}  // namespace

std::string DiskInfo::displayName() const { return mediaName.empty() ? bsdName : mediaName; }

std::vector<PartitionSummary> DiskInfo::mountedVolumes() const {
    std::vector<PartitionSummary> out;
    for (auto& p : partitions)
        if (p.mountPoint && !p.mountPoint->empty()) out.push_back(p);
    return out;
}

bool DiskInfo::isBootDisk() const {
    for (auto& p : partitions)
        if (p.mountPoint == "/") return true;
    auto boot = DiskList::bootWholeDisk();
    return boot && *boot == bsdName;
}

DiskHealth DiskInfo::health() const {
    std::string status = lowercased(smartStatus);
    if (status == "verified") {
        auto errors = smartDetails.find("MEDIA_ERRORS_0");
        return errors != smartDetails.end() && errors->second >= 1 ? DiskHealth::warning : DiskHealth::good;
    }
    if (status == "failing") return DiskHealth::failing;
    return DiskHealth::unknown;
}

std::optional<int64_t> DiskInfo::temperatureCelsius() const {
    auto kelvin = smartDetails.find("TEMPERATURE");
    if (kelvin == smartDetails.end() || kelvin->second < 201) return std::nullopt;
    return kelvin->second - 273;
}

namespace DiskList {

namespace {

// A name that may stand in a sysfs path: no separators, no dot folders.
bool isPlainName(const std::string& name) {
    if (name.empty() || name == "." || name == "..") return false;
    return std::all_of(name.begin(), name.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '_' || c == '-' || c == '.' || c == ':';
    });
}

bool allDigits(const std::string& s, size_t from) {
    return from < s.size() && std::all_of(s.begin() + static_cast<std::ptrdiff_t>(from), s.end(),
                                          [](unsigned char c) { return std::isdigit(c); });
}

// Linux partition names by their shape, for devices this machine does not
// have: sdb1, vda2, xvdc1 (letters then the number), and nvme0n1p2,
// mmcblk0p1, loop3p1 (a device ending in a digit, then "p" and the number).
std::optional<std::string> wholeDiskByShape(const std::string& name) {
    for (const char* prefix : {"sd", "hd", "vd", "xvd"}) {
        std::string p = prefix;
        if (name.rfind(p, 0) != 0) continue;
        size_t letters = p.size();
        while (letters < name.size() && std::islower(static_cast<unsigned char>(name[letters]))) ++letters;
        if (letters > p.size() && allDigits(name, letters)) return name.substr(0, letters);
        return std::nullopt;
    }
    for (const char* prefix : {"nvme", "mmcblk", "loop", "nbd", "md"}) {
        if (name.rfind(prefix, 0) != 0) continue;
        size_t p = name.rfind('p');
        if (p == std::string::npos || p == 0 || !std::isdigit(static_cast<unsigned char>(name[p - 1])) ||
            !allDigits(name, p + 1))
            return std::nullopt;
        return name.substr(0, p);
    }
    return std::nullopt;
}

PartitionSummary partition(const PlistValue& dict) {
    PartitionSummary p;
    if (auto v = dict.stringValue("DeviceIdentifier")) p.bsdName = *v;
    if (auto v = dict.stringValue("Content")) p.content = *v;
    if (auto v = dict.stringValue("VolumeName"); v && !v->empty()) p.volumeName = *v;
    if (auto v = dict.stringValue("MountPoint"); v && !v->empty()) p.mountPoint = *v;
    if (auto v = dict.integerValue("Size")) p.size = static_cast<uint64_t>(*v);
    return p;
}

std::vector<PartitionSummary> partitions(const PlistValue& entry, const std::string& key) {
    std::vector<PartitionSummary> out;
    if (const PlistValue* list = entry.get(key); list && list->isArray())
        for (auto& item : list->array)
            if (item.isDict()) out.push_back(partition(item));
    return out;
}

std::optional<PlistValue> diskInfo(const ToolRunner& tool, const std::string& device) {
    auto result = tool({"info", "-plist", device});
    if (result.status != 0) return std::nullopt;
    auto plist = PlistValue::parse(result.stdoutBytes);
    if (!plist || !plist->isDict()) return std::nullopt;
    return plist;
}

// The whole disks of the "APFSPhysicalStore" texts of an info dictionary.
void insertPhysicalStores(const PlistValue& info, std::set<std::string>& into) {
    const PlistValue* stores = info.get("APFSPhysicalStores");
    if (!stores || !stores->isArray()) return;
    for (auto& store : stores->array)
        if (store.isDict())
            if (auto name = store.stringValue("APFSPhysicalStore")) into.insert(wholeDisk(*name));
}

std::optional<uint64_t> number(const PlistValue* v) {
    if (!v) return std::nullopt;
    if (v->type == PlistValue::Type::integer) return static_cast<uint64_t>(v->integer);
    if (v->type == PlistValue::Type::real && v->real >= 0) return static_cast<uint64_t>(v->real);
    return std::nullopt;
}

DiskInfo makeDisk(const std::string& identifier, const PlistValue& entry, const PlistValue& info,
                  std::vector<PartitionSummary> parts) {
    DiskInfo d;
    d.bsdName = identifier;
    d.mediaName = trimmed(info.stringValue("MediaName").value_or(""), " \t");
    if (auto size = number(info.get("Size"))) d.size = *size;
    else if (auto listed = number(entry.get("Size"))) d.size = *listed;
    if (auto block = info.integerValue("DeviceBlockSize")) d.blockSize = *block;
    d.isInternal = info.boolValue("Internal").value_or(false);
    d.isRemovable = info.boolValue("RemovableMediaOrExternalDevice").value_or(false) ||
                    info.boolValue("Ejectable").value_or(false);
    d.isSolidState = info.boolValue("SolidState").value_or(false);
    d.busProtocol = info.stringValue("BusProtocol").value_or("");
    d.isDiskImage = d.busProtocol == "Disk Image" || info.stringValue("VirtualOrPhysical") == "Virtual";
    d.smartStatus = info.stringValue("SMARTStatus").value_or("");
    d.content = entry.stringValue("Content").value_or("");
    d.partitions = std::move(parts);
    if (const PlistValue* smart = info.get("SMARTDeviceSpecificKeysMayVaryNotGuaranteed"); smart && smart->isDict()) {
        for (auto& [key, value] : smart->dict) {
            if (value.type == PlistValue::Type::integer) d.smartDetails[key] = value.integer;
            else if (value.type == PlistValue::Type::real) d.smartDetails[key] = static_cast<int64_t>(value.real);
        }
    }
    return d;
}

std::string decodeUTF8(const Bytes& bytes) {
    icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(reinterpret_cast<const char*>(bytes.data()),
                                                      static_cast<int32_t>(bytes.size())));
    std::string out;
    text.toUTF8String(out);
    return out;
}

#ifndef __APPLE__
struct MountEntry {
    std::string source;   // the mounted-from device or name
    std::string type;     // the file-system type
    std::string options;  // the file system's own options, comma-separated
};

// A field of the mount table, where "\040" and the like stand for blanks,
// commas and other characters that would split a field.
std::string unescapeMountField(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isdigit(static_cast<unsigned char>(s[i + 2])) && std::isdigit(static_cast<unsigned char>(s[i + 3]))) {
            out += static_cast<char>((s[i + 1] - '0') * 64 + (s[i + 2] - '0') * 8 + (s[i + 3] - '0'));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

// The mount whose device numbers are those of dev, from the mount table
// (Linux keeps the mounted-from device there, not in statfs).
std::optional<MountEntry> mountOf(dev_t dev) {
    std::ifstream in("/proc/self/mountinfo");
    std::string wanted = std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
    std::optional<MountEntry> found;
    for (std::string line; std::getline(in, line);) {
        std::istringstream fields(line);
        std::string id, parent, numbers;
        fields >> id >> parent >> numbers;
        if (numbers != wanted) continue;
        size_t dash = line.find(" - ");
        if (dash == std::string::npos) continue;
        std::istringstream rest(line.substr(dash + 3));
        std::string type, source, options;
        rest >> type >> source >> options;
        found = MountEntry{unescapeMountField(source), type, options};  // the last mount of that device wins
    }
    return found;
}

// The value of one option ("upperdir=/a/b") in a mount's options.
std::optional<std::string> mountOption(const std::string& options, const std::string& name) {
    std::istringstream items(options);
    for (std::string item; std::getline(items, item, ',');)
        if (item.rfind(name + "=", 0) == 0) return unescapeMountField(item.substr(name.size() + 1));
    return std::nullopt;
}
#endif

// The kernel name of the device that holds location's file system: absent
// when it cannot be told; empty when the file system lies on no disk (memory, network).
std::optional<std::string> mountedDevice(const fs::path& location, int depth = 0) {
#ifdef __APPLE__
    struct statfs info {};
    if (::statfs(location.c_str(), &info) != 0) return std::nullopt;
    std::string from = info.f_mntfromname;
    if (from.rfind("/dev/", 0) != 0) return std::nullopt;
    return from.substr(5);
#else
    struct stat st {};
    if (::stat(location.c_str(), &st) != 0) return std::nullopt;
    auto mount = mountOf(st.st_dev);
    if (mount && mount->source.rfind("/dev/", 0) == 0) {
        // /dev/mapper/name and /dev/disk/by-*/... are links to the kernel's own name.
        std::error_code ec;
        fs::path real = fs::canonical(mount->source, ec);
        std::string name =
            !ec && real.string().rfind("/dev/", 0) == 0 ? real.string().substr(5) : mount->source.substr(5);
        if (isPlainName(name)) return name;
    }
    // A block device the kernel knows by its numbers (also when the table
    // names the source otherwise, as "/dev/root").
    std::error_code ec;
    fs::path sys = fs::canonical("/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                                     std::to_string(minor(st.st_dev)),
                                 ec);
    if (!ec) return sys.filename().string();
    // File systems in memory and network shares lie on no disk of this machine.
    static const std::set<std::string> diskless = {"tmpfs", "ramfs", "devtmpfs", "nfs",      "nfs4",      "cifs",
                                                   "smb3",  "smbfs", "9p",       "virtiofs", "fuse.sshfs"};
    if (mount && diskless.count(mount->type)) return std::string();
    // An overlay writes into its upper layer: where this mount namespace
    // sees that folder, it is where the bytes go. A container's root names
    // layers of another namespace, on no disk that can be named here.
    if (mount && mount->type == "overlay") {
        auto upper = mountOption(mount->options, "upperdir");
        struct stat layer {};
        if (upper && depth < 8 && ::stat(upper->c_str(), &layer) == 0 && S_ISDIR(layer.st_mode))
            return mountedDevice(*upper, depth + 1);
        return std::string();
    }
    return std::nullopt;
#endif
}

}  // namespace

std::optional<std::string> mountType(const fs::path& location) {
#ifdef __APPLE__
    struct statfs info {};
    if (::statfs(location.c_str(), &info) != 0) return std::nullopt;
    return std::string(info.f_fstypename);
#else
    struct stat st {};
    if (::stat(location.c_str(), &st) != 0) return std::nullopt;
    auto mount = mountOf(st.st_dev);
    if (!mount) return std::nullopt;
    return mount->type;
#endif
}

ToolRunner systemTool() {
    return [](const std::vector<std::string>& arguments) {
        return Shell::run(Platform::toolPath(Platform::diskutilPath), arguments);
    };
}

std::string wholeDisk(const std::string& name) {
    if (name.rfind("disk", 0) == 0) {
        size_t end = 4;
        while (end < name.size() && std::isdigit(static_cast<unsigned char>(name[end]))) ++end;
        return name.substr(0, end);
    }
#ifndef __APPLE__
    if (isPlainName(name)) {
        std::error_code ec;
        fs::path sys = fs::canonical("/sys/class/block/" + name, ec);
        if (!ec) {
            if (fs::exists(sys / "partition", ec)) return sys.parent_path().filename().string();
            return name;
        }
    }
    if (auto disk = wholeDiskByShape(name)) return *disk;
#endif
    return name;
}

std::optional<std::string> bootWholeDisk() {
    std::lock_guard guard(bootLock);
    return bootDisk;
}

std::vector<DiskInfo> load() { return load(systemTool()); }

std::vector<DiskInfo> load(const ToolRunner& tool) {
    auto result = tool({"list", "-plist"});
    if (result.status != 0) return {};
    auto plist = PlistValue::parse(result.stdoutBytes);
    if (!plist || !plist->isDict()) return {};
    const PlistValue* all = plist->get("AllDisksAndPartitions");
    if (!all || !all->isArray() || !std::all_of(all->array.begin(), all->array.end(), [](auto& e) { return e.isDict(); }))
        return {};

    struct Container {
        std::vector<std::string> stores;
        std::vector<PartitionSummary> volumes;
    };
    std::map<std::string, Container> containers;
    for (auto& entry : all->array) {
        auto identifier = entry.stringValue("DeviceIdentifier");
        const PlistValue* stores = entry.get("APFSPhysicalStores");
        if (!identifier || !stores || !stores->isArray() ||
            !std::all_of(stores->array.begin(), stores->array.end(), [](auto& s) { return s.isDict(); }))
            continue;
        Container c;
        for (auto& store : stores->array)
            if (auto name = store.stringValue("DeviceIdentifier")) c.stores.push_back(*name);
        c.volumes = partitions(entry, "APFSVolumes");
        containers[*identifier] = std::move(c);
    }

    for (auto& [identifier, c] : containers) {
        bool holdsSystem = std::any_of(c.volumes.begin(), c.volumes.end(), [](auto& v) {
            return v.mountPoint == "/" || v.mountPoint == "/System/Volumes/Data";
        });
        if (holdsSystem && !c.stores.empty()) setBootWholeDisk(wholeDisk(c.stores.front()));
    }

    std::vector<DiskInfo> disks;
    for (auto& entry : all->array) {
        auto identifier = entry.stringValue("DeviceIdentifier");
        if (!identifier || entry.get("APFSPhysicalStores")) continue;
        auto parts = partitions(entry, "Partitions");
        for (auto& [name, c] : containers) {
            bool here = std::any_of(c.stores.begin(), c.stores.end(),
                                    [&](auto& s) { return wholeDisk(s) == *identifier; });
            if (here) parts.insert(parts.end(), c.volumes.begin(), c.volumes.end());
        }
        PlistValue info;
        info.type = PlistValue::Type::dict;
        if (auto found = diskInfo(tool, *identifier)) info = std::move(*found);
        disks.push_back(makeDisk(*identifier, entry, info, std::move(parts)));
    }

    std::stable_sort(disks.begin(), disks.end(), [](const DiskInfo& a, const DiskInfo& b) {
        if (a.isInternal != b.isInternal) return !a.isInternal;
        return compareNamesLocalized(a.bsdName, b.bsdName) < 0;
    });
    return disks;
}

std::optional<std::set<std::string>> physicalDisks(const fs::path& location) {
    return physicalDisks(location, systemTool());
}

std::optional<std::set<std::string>> physicalDisks(const fs::path& location, const ToolRunner& tool) {
    auto device = mountedDevice(location);
    if (!device) return std::nullopt;
    std::set<std::string> disks;
    if (device->empty()) return disks;
    disks.insert(wholeDisk(*device));
    if (auto info = diskInfo(tool, *device)) {
        insertPhysicalStores(*info, disks);
        if (auto parent = info->stringValue("ParentWholeDisk")) disks.insert(*parent);
    }
    if (auto info = diskInfo(tool, wholeDisk(*device))) insertPhysicalStores(*info, disks);
    return disks;
}

std::optional<fs::path> mountedFile(const fs::path& location) {
#ifdef __APPLE__
    (void)location;
    return std::nullopt;
#else
    struct stat st {};
    if (::stat(location.c_str(), &st) != 0) return std::nullopt;
    auto mount = mountOf(st.st_dev);
    // Only an absolute path can be told: a relative one was relative to a
    // folder that is not known here.
    if (!mount || mount->source.empty() || mount->source[0] != '/') return std::nullopt;
    struct stat file {};
    if (::stat(mount->source.c_str(), &file) != 0 || !S_ISREG(file.st_mode)) return std::nullopt;
    return fs::path(mount->source);
#endif
}

UnmountResult unmount(const std::string& disk) { return unmount(disk, systemTool()); }

UnmountResult unmount(const std::string& disk, const ToolRunner& tool) {
    auto result = tool({"unmountDisk", disk});
    Bytes all = result.stdoutBytes;
    all.insert(all.end(), result.stderrBytes.begin(), result.stderrBytes.end());
    return {result.status == 0, trimmed(decodeUTF8(all), " \t\r\n\v\f")};
}

}  // namespace DiskList

}  // namespace sovanta
