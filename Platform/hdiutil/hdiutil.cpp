// Stand-in for the disk-image tool, backed by read-only loop devices:
//   hdiutil attach -readonly -nomount -noverify -noautofsck -plist <file>
//   hdiutil detach -force <device>
// attach prints a property list whose "system-entities" hold the "dev-entry"
// of the whole loop device and of each partition the kernel found on it. UDIF
// images (the "koly" trailer) are converted to a raw copy with dmg2img first;
// that copy lives in the temporary folder and is removed on detach.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "ToolSupport.h"

namespace fs = std::filesystem;
using platform::run;
using platform::trimmed;

namespace {

const char* const convertedPrefix = "sovanta-hdiutil-";

int fail(const std::string& message) {
    std::fprintf(stderr, "hdiutil: %s\n", message.c_str());
    return 1;
}

bool isUDIF(const std::string& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) return false;
    auto size = static_cast<long long>(in.tellg());
    if (size < 512) return false;
    in.seekg(size - 512);
    char magic[4] = {};
    in.read(magic, 4);
    return std::memcmp(magic, "koly", 4) == 0;
}

std::string lowerExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    for (auto& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

int attach(const std::string& image) {
    std::error_code ec;
    if (!fs::is_regular_file(image, ec)) return fail("Diskbilledet findes ikke: " + image);
    std::string ext = lowerExtension(image);
    if (ext == "sparseimage" || ext == "sparsebundle" || ext == "asif")
        return fail("Formatet ." + ext + " kan ikke tilknyttes på denne maskine.");

    std::string backing = image;
    std::string converted;
    if (isUDIF(image)) {
        char pattern[] = "/tmp/sovanta-hdiutil-XXXXXX";
        int fd = mkstemp(pattern);
        if (fd < 0) return fail(std::string("Kunne ikke oprette en midlertidig fil: ") + std::strerror(errno));
        close(fd);
        converted = pattern;
        std::string ignored;
        if (run({"dmg2img", "-s", image, converted}, &ignored) != 0) {
            fs::remove(converted, ec);
            return fail("Diskbilledet kunne ikke konverteres (dmg2img): " + image);
        }
        backing = converted;
    }
    std::string device;
    if (run({"losetup", "--find", "--show", "--read-only", "--partscan", backing}, &device) != 0 ||
        trimmed(device).empty()) {
        if (!converted.empty()) fs::remove(converted, ec);
        return fail("Ingen loop-enhed kunne tilknyttes (kræver administratorrettigheder): " + image);
    }
    device = trimmed(device);
    run({"udevadm", "settle", "--timeout=5"});

    std::vector<std::string> entries = {device};
    std::string name = fs::path(device).filename().string();
    std::vector<std::string> partitions;
    for (auto& entry : fs::directory_iterator("/sys/block/" + name, ec)) {
        std::string child = entry.path().filename().string();
        if (child.rfind(name + "p", 0) == 0) partitions.push_back("/dev/" + child);
    }
    std::sort(partitions.begin(), partitions.end());
    entries.insert(entries.end(), partitions.begin(), partitions.end());

    plist_t root = plist_new_dict();
    plist_t entities = plist_new_array();
    for (auto& e : entries) {
        plist_t item = plist_new_dict();
        plist_dict_set_item(item, "dev-entry", plist_new_string(e.c_str()));
        plist_dict_set_item(item, "content-hint", plist_new_string(e == device ? "" : "Linux"));
        plist_array_append_item(entities, item);
    }
    plist_dict_set_item(root, "system-entities", entities);
    platform::printPlist(root);
    return 0;
}

int detach(const std::string& device) {
    std::string name = fs::path(device).filename().string();
    std::string backing;
    {
        std::ifstream in("/sys/block/" + name + "/loop/backing_file");
        std::getline(in, backing);
    }
    if (run({"losetup", "--detach", device}) != 0) return fail("Kunne ikke frigøre " + device);
    // Remove our own converted copy, never a user's file.
    if (fs::path(backing).parent_path() == "/tmp" &&
        fs::path(backing).filename().string().rfind(convertedPrefix, 0) == 0) {
        std::error_code ec;
        fs::remove(backing, ec);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    // The last operand names the image or the device.
    auto operands = platform::operands(args);
    std::string operand = operands.empty() ? std::string() : operands.back();
    if (!args.empty() && args[0] == "attach") {
        if (operand.empty()) return fail("brug: hdiutil attach -readonly -nomount -noverify -noautofsck -plist <fil>");
        return attach(operand);
    }
    if (!args.empty() && args[0] == "detach") {
        if (operand.empty()) return fail("brug: hdiutil detach -force <enhed>");
        return detach(operand);
    }
    return fail("brug: hdiutil attach … | detach …");
}
