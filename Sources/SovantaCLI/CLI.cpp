#include "SovantaCLI/CLI.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "SovantaCore/DiskList.h"
#include "SovantaCore/Imager.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"

namespace sovanta::cli {

const char* const usageText =
    "sovanta-cli – datagendannelse fra kommandolinjen\n"
    "\n"
    "  sovanta-cli list                          Vis tilsluttede diske\n"
    "  sovanta-cli scan <kilde>                  Hurtig scanning (partitioner og filsystemer)\n"
    "  sovanta-cli tree <kilde> [--deep]         Vis alle fundne filer\n"
    "  sovanta-cli deep <kilde> [--no-carve]     Dyb scanning (tabte partitioner + signaturer)\n"
    "  sovanta-cli recover <kilde> <mappe> [--deep] [--deleted]\n"
    "                                            Gendan filer til <mappe>\n"
    "  sovanta-cli image <kilde> <fil.img>       Lav et diskbillede (ddrescue-strategi)\n"
    "\n"
    "<kilde> er en billedfil eller et disknavn som disk4.";

namespace {

// Every core call that takes progress gets this one, which nothing cancels.
WorkProgress& reporter() {
    static WorkProgress instance([](double, const std::string&) {});
    return instance;
}

void printLine(const std::string& line) {
    std::string out = line + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
}

int usage() {
    printLine(usageText);
    return 1;
}

bool hasFlag(const std::vector<std::string>& args, const std::string& flag) {
    for (auto& a : args)
        if (a == flag) return true;
    return false;
}

std::optional<uint64_t> parseDecimal(const std::string& text) {
    if (text.empty() || text.size() > 20) return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == separator) {
            if (!current.empty()) parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty()) parts.push_back(current);
    return parts;
}

// A source operand: a device name when it names one and no such file exists,
// else an image file. Ends the process with status 2 when it cannot be opened.
DiskSourcePtr open(const std::string& operand) {
    DiskSourcePtr source;
    try {
        struct stat st {};
        bool fileExists = ::stat(operand.c_str(), &st) == 0;
        bool deviceName = operand.rfind("disk", 0) == 0 || SourceOpener::isBlockDeviceName(operand);
        if (deviceName && !fileExists) {
            source = SourceOpener::openDevice(operand, operand);
        } else {
            std::string path = operand;
            if (!path.empty() && path[0] != '/') {
                char cwd[4096];
                if (::getcwd(cwd, sizeof cwd)) path = std::string(cwd) + "/" + path;
            }
            source = SourceOpener::openImage(path);
        }
    } catch (const SourceError& error) {
        std::string message = "Fejl: " + error.description() + "\n";
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::fflush(stderr);
        std::exit(2);
    }
    if (const char* value = std::getenv("SOVANTA_SIMULATE_BAD")) {
        for (auto& range : parseSimulatedBadRanges(value)) source->simulatedBadRanges.push_back(range);
    }
    return source;
}

// The volumes of a source: the quick scan's, and with deep those the deep scan
// builds, its extra folders and its carved files.
std::vector<VolumePtr> allVolumes(DiskSource& source, bool deep, bool carve) {
    auto quick = QuickScanner::run(source, reporter());
    for (auto& note : quick.notes) printLine("! " + note);
    std::vector<VolumePtr> volumes = quick.volumes;
    if (!deep) return volumes;
    DeepScanOptions options;
    options.carve = carve;
    DeepScanner scanner(source, options);
    auto result = scanner.run(reporter(), [](const DeepScanStats&) {});
    printLine("Dyb scanning: " + std::to_string(result.carved.size()) + " signaturfund, " +
              std::to_string(result.boots.size() + result.hfsHeaders.size() + result.nxsb.size()) +
              " bootsektorer, " + std::to_string(result.mftRecords.size()) + " MFT-poster, " +
              std::to_string(result.fatDirSectors.size()) + " FAT-mappesektorer, " +
              std::to_string(result.apfsLeafNodes.size()) + " APFS-knuder");
    for (auto& v : DeepScanner::buildVolumes(source, result, quick.volumes, reporter())) volumes.push_back(v);
    for (auto& [volume, folder] : DeepScanner::extraFolders(source, volumes, result, reporter()))
        volume->root->add(folder);
    if (!result.carved.empty()) volumes.push_back(DeepScanner::carvedVolume(result.carved));
    return volumes;
}

// One volume as an indented tree, depth first in the children's stored order.
void printTree(const Volume& volume) {
    printLine("== " + volume.title() + " @ " + std::to_string(volume.offset) + " [" + volume.origin + "]");
    for (auto& note : volume.notes) printLine("   note: " + note);
    // The lines go out in pieces of about 64 KiB: a million files are not a
    // million writes.
    std::string pending;
    auto emit = [&](const std::string& line) {
        pending += line;
        pending += '\n';
        if (pending.size() >= 65536) {
            std::fwrite(pending.data(), 1, pending.size(), stdout);
            pending.clear();
        }
    };
    std::vector<std::pair<FileNodePtr, size_t>> stack;
    const auto& top = volume.root->children();
    for (auto it = top.rbegin(); it != top.rend(); ++it) stack.push_back({*it, 0});
    while (!stack.empty()) {
        auto [node, depth] = stack.back();
        stack.pop_back();
        std::string line(2 * (depth + 1), ' ');
        std::string tag = node->status == EntryStatus::existing ? "" : " [" + label(node->status) + "]";
        std::string note = node->note ? " (" + *node->note + ")" : "";
        if (node->isDirectory) {
            line += node->name + "/" + tag + note;
            const auto& children = node->children();
            for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back({*it, depth + 1});
        } else {
            line += node->name + "  " + std::to_string(node->size) + " B" + tag + " chance=" +
                    label(node->recoverability) + note;
        }
        emit(line);
    }
    std::fwrite(pending.data(), 1, pending.size(), stdout);
}

// One line per disk, then one per partition or volume on it, fields tab-separated.
void listCommand(const std::vector<std::string>&) {
    for (auto& disk : DiskList::load()) {
        printLine(disk.bsdName + "\t" + formatBytes(disk.size) + "\t" + disk.displayName() + "\t" + disk.busProtocol +
                  "\tSMART: " + disk.smartStatus);
        for (auto& p : disk.partitions)
            printLine("   " + p.bsdName + "\t" + formatBytes(p.size) + "\t" + p.content + "\t" +
                      p.volumeName.value_or("") + "\t" + p.mountPoint.value_or(""));
    }
}

void scanCommand(const std::vector<std::string>& args) {
    auto source = open(args[1]);
    printLine(source->displayName + ": " + formatBytes(source->size) + ", sektor " +
              std::to_string(source->sectorSize) + " B");
    auto result = QuickScanner::run(*source, reporter());
    printLine("Partitionering: " + result.layout.scheme);
    for (auto& entry : result.layout.entries) {
        printLine("  #" + std::to_string(entry.index) + " " + entry.typeName + " @ " + std::to_string(entry.offset) +
                  " " + formatBytes(entry.size) + " " + (entry.detected ? rawValue(*entry.detected) : "?") + " " +
                  entry.name);
    }
    for (auto& note : result.notes) printLine("! " + note);
    for (auto& volume : result.volumes) {
        auto totals = volume->root->totals();
        printLine("  " + volume->title() + ": " + std::to_string(totals.files) + " filer, " +
                  std::to_string(totals.folders) + " mapper, " + std::to_string(totals.deleted) + " slettede, " +
                  formatBytes(totals.bytes));
        for (auto& note : volume->notes) printLine("     note: " + note);
    }
}

void treeCommand(const std::vector<std::string>& args) {
    auto source = open(args[1]);
    for (auto& volume : allVolumes(*source, hasFlag(args, "--deep"), true)) printTree(*volume);
}

// Recovers every volume's files (with --deleted: only the files that are not
// existing) into one new folder per volume below the destination.
void recoverCommand(const std::vector<std::string>& args) {
    auto source = open(args[1]);
    const std::filesystem::path destination = std::filesystem::absolute(args[2]);
    const bool deletedOnly = hasFlag(args, "--deleted");
    for (auto& volume : allVolumes(*source, hasFlag(args, "--deep"), true)) {
        std::vector<FileNodePtr> nodes;
        if (deletedOnly) {
            for (auto& file : volume->root->allFiles())
                if (file->status != EntryStatus::existing) nodes.push_back(file);
        } else {
            nodes = volume->root->children();
        }
        RecoveryResult result = RecoveryEngine::recover(nodes, volume->title(), *source, destination,
                                                        RecoveryOptions(), reporter(), [](const RecoveryProgress&) {});
        printLine(volume->title() + ": " + std::to_string(result.recovered) + " gendannet, " +
                  std::to_string(result.withErrors) + " med fejl, " + std::to_string(result.failed) +
                  " mislykkedes → " + (result.folder ? result.folder->string() : "-"));
        for (size_t i = 0; i < result.failures.size() && i < 10; ++i) printLine("   " + result.failures[i]);
    }
}

// image <kilde> <fil.img>: copies the source into an image file with a
// mapfile beside it, resuming from that mapfile when it exists.
void imageCommand(const std::vector<std::string>& args) {
    DiskSourcePtr source = open(args[1]);
    DiskImager imager(source, args[2], ImagingOptions{1, 1048576, 268435456});
    std::optional<std::chrono::steady_clock::time_point> lastLine;
    imager.run([&](const ImagingStats& stats) {
        auto now = std::chrono::steady_clock::now();
        if (!stats.finished && lastLine && now - *lastLine <= std::chrono::seconds(1)) return;
        lastLine = now;
        printLine(stats.phase + ": " + formatBytes(stats.rescued) + " reddet, " + formatBytes(stats.bad) +
                  " dårlige, " + formatBytes(stats.pending) + " tilbage");
    });
    if (auto message = imager.currentStats().message) printLine(*message);
}

void deepCommand(const std::vector<std::string>& args) {
    auto source = open(args[1]);
    for (auto& volume : allVolumes(*source, true, !hasFlag(args, "--no-carve"))) {
        auto t = volume->root->totals();
        printLine("  " + volume->title() + " [" + volume->origin + "] @ " + std::to_string(volume->offset) + ": " +
                  std::to_string(t.files) + " filer, " + std::to_string(t.deleted) + " slettede/fundne");
    }
}

struct Command {
    std::string word;
    size_t minimumArguments;
    std::function<void(const std::vector<std::string>&)> run;
};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        // Each command joins this table with the engine it drives.
        {"list", 1, listCommand},
        {"scan", 2, scanCommand},
        {"tree", 2, treeCommand},
        {"deep", 2, deepCommand},
        {"recover", 3, recoverCommand},
        {"image", 3, imageCommand},
    };
    return table;
}

}  // namespace

std::vector<ByteRange> parseSimulatedBadRanges(const std::string& value) {
    std::vector<ByteRange> ranges;
    for (auto& piece : split(value, ',')) {
        std::vector<uint64_t> numbers;
        for (auto& part : split(piece, '-'))
            if (auto n = parseDecimal(part)) numbers.push_back(*n);
        if (numbers.size() == 2 && numbers[0] < numbers[1]) ranges.push_back({numbers[0], numbers[1]});
    }
    return ranges;
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    for (auto& command : commands()) {
        if (command.word != args[0]) continue;
        if (args.size() < command.minimumArguments) return usage();
        command.run(args);
        return 0;
    }
    return usage();
}

}  // namespace sovanta::cli
