#include "SovantaCLI/CLI.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string_view>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "SovantaCore/DestinationCheck.h"
#include "SovantaCore/DiskList.h"
#include "SovantaCore/Imager.h"
#include "SovantaCore/Model.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"
#include "SovantaCore/VisibleText.h"

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

// Every core call that takes progress gets this one; only an interrupt cancels
// it. It is never destroyed: the watcher thread may cancel it while the
// process ends.
WorkProgress& reporter() {
    static WorkProgress* instance = new WorkProgress([](double, const std::string&) {});
    return *instance;
}

// MARK: Text for the terminal

void printRaw(const std::string& text) {
    std::string out = text + "\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
}

void printLine(const std::string& line) { printRaw(terminalText(line)); }

void printError(const std::string& message) {
    std::string out = "Fejl: " + message + "\n";
    std::fwrite(out.data(), 1, out.size(), stderr);
    std::fflush(stderr);
}

int usage() {
    printRaw(usageText);
    return 1;
}

// A command line the command cannot take as it stands: what is wrong, then the usage text.
int misuse(const std::string& problem) {
    printError(terminalText(problem));
    printRaw(usageText);
    return 2;
}

// MARK: Interrupts

// The first SIGINT or SIGTERM becomes the core's own cancel (the reporter's
// for scans and recovery, the imager's for imaging), so that a partial file is
// marked, the report and the mapfile are written and the source is closed (an
// attached image detached); a second one ends the process at once. The
// handler only notes the signal and wakes a watcher thread through a pipe.
volatile std::sig_atomic_t caughtSignal = 0;
int wakePipe[2] = {-1, -1};

std::mutex imagerLock;
DiskImager* runningImager = nullptr;  // guarded by imagerLock

void onSignal(int signal) {
    if (caughtSignal != 0) ::_exit(128 + signal);
    caughtSignal = signal;
    const int saved = errno;
    const char byte = 0;
    [[maybe_unused]] ssize_t written = ::write(wakePipe[1], &byte, 1);
    errno = saved;
}

bool interrupted() { return caughtSignal != 0; }

void watchForSignal() {
    char byte;
    while (::read(wakePipe[0], &byte, 1) < 0 && errno == EINTR) {
    }
    reporter().cancel();
    std::lock_guard guard(imagerLock);
    if (runningImager) runningImager->cancel();
}

// MARK: Command lines

// The arguments after the command word: operands are the ones that are no
// flags, in order; a flag (an argument that begins with "-") counts wherever
// it stands.
struct CommandLine {
    std::vector<std::string> operands;
    std::vector<std::string> flags;

    explicit CommandLine(const std::vector<std::string>& args) {
        for (size_t i = 1; i < args.size(); ++i)
            (args[i].size() > 1 && args[i][0] == '-' ? flags : operands).push_back(args[i]);
    }
    bool has(const std::string& flag) const { return std::find(flags.begin(), flags.end(), flag) != flags.end(); }
};

// A source operand: a device name when it names one and no such file exists,
// else an image file. Ends the process with status 2 when it cannot be opened.
DiskSourcePtr open(const std::string& operand) {
    SourceOptions options = SourceOptions::fromEnvironment();
    DiskSourcePtr source;
    try {
        struct stat st {};
        bool fileExists = ::stat(operand.c_str(), &st) == 0;
        bool deviceName = operand.rfind("disk", 0) == 0 || SourceOpener::isBlockDeviceName(operand);
        if (deviceName && !fileExists) {
            source = SourceOpener::openDevice(operand, operand, options);
        } else {
            std::string path = operand;
            if (!path.empty() && path[0] != '/') {
                char cwd[4096];
                if (::getcwd(cwd, sizeof cwd)) path = std::string(cwd) + "/" + path;
            }
            source = SourceOpener::openImage(path, options);
        }
    } catch (const SourceError& error) {
        printError(error.description());
        std::exit(2);
    }
    return source;
}

// The exit status of a command whose source went away or was cut short while
// it ran: what it printed is incomplete (a scan that stopped early, files not
// recovered, a copy that stopped), which is not a success.
constexpr int sourceGoneStatus = 3;

// sourceGoneStatus, with the reason on standard error, when the source has
// gone; otherwise 0.
int sourceStatus(const DiskSource& source) {
    if (!source.hasVanished()) return 0;
    if (auto end = source.shrunkTo())
        printError("Kilden er blevet mindre undervejs: den ender nu ved byte " + std::to_string(*end) +
                   " i stedet for " + std::to_string(source.size) + ". Resultatet er ufuldstændigt.");
    else
        printError("Kilden svarer ikke længere. Resultatet er ufuldstændigt.");
    return sourceGoneStatus;
}

// The file a source operand was opened from, when it names one: the check
// below then also guards an attached image's own file.
std::optional<std::filesystem::path> imageFileOf(const std::string& operand) {
    std::error_code ec;
    if (!std::filesystem::exists(operand, ec)) return std::nullopt;
    return std::filesystem::absolute(operand, ec);
}

// Whether writing at destination may go on: a destination that writes to the
// source, or of which that cannot be told, is refused before anything is
// written, with the reason on standard error.
bool destinationAllowed(SourceOverlap overlap, const std::string& kind, const std::filesystem::path& destination,
                        const DiskSource& source) {
    const std::string advice = " Vælg en destination på en anden disk.";
    if (overlap == SourceOverlap::same)
        printError(static_cast<char>(std::toupper(static_cast<unsigned char>(kind[0]))) + kind.substr(1) + " " + destination.string() + " ville skrive til kilden (" + source.displayName + ")." +
                   advice);
    else if (overlap == SourceOverlap::unknown)
        printError("Det kan ikke afgøres, om " + kind + " " + destination.string() + " ligger på kilden (" +
                   source.displayName + ")." + advice);
    return overlap == SourceOverlap::different;
}

// The volumes of a source: the quick scan's, and with deep those the deep scan
// builds, its extra folders and its carved files.
std::vector<VolumePtr> allVolumes(const DiskSourcePtr& source, bool deep, bool carve) {
    auto quick = QuickScanner::run(*source, reporter());
    for (auto& note : quick.notes) printLine("! " + note);
    std::vector<VolumePtr> volumes = quick.volumes;
    if (!deep) return volumes;
    DeepScanOptions options;
    options.carve = carve;
    DeepScanner scanner(source, options);
    auto outcome = scanner.scan(quick.volumes, reporter(), {}, [](const DeepScanResult& result) {
        printLine("Dyb scanning: " + std::to_string(result.carved.size()) + " signaturfund, " +
                  std::to_string(result.boots.size() + result.hfsHeaders.size() + result.nxsb.size()) +
                  " bootsektorer, " + std::to_string(result.mftRecords.size()) + " MFT-poster, " +
                  std::to_string(result.fatDirSectors.size()) + " FAT-mappesektorer, " +
                  std::to_string(result.apfsLeafNodes.size()) + " APFS-knuder");
    });
    volumes.insert(volumes.end(), outcome.volumes.begin(), outcome.volumes.end());
    for (auto& [volume, folder] : outcome.folders) volume->root->add(folder);
    if (outcome.carved) volumes.push_back(*outcome.carved);
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
        pending += terminalText(line);
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
// The fields are shown one by one, so that a tab in a name cannot pass for a separator.
int listCommand(const CommandLine&) {
    for (auto& disk : DiskList::load()) {
        printRaw(terminalText(disk.bsdName) + "\t" + formatBytes(disk.size) + "\t" + terminalText(disk.displayName()) + "\t" +
                 terminalText(disk.busProtocol) + "\tSMART: " + terminalText(disk.smartStatus));
        for (auto& p : disk.partitions)
            printRaw("   " + terminalText(p.bsdName) + "\t" + formatBytes(p.size) + "\t" + terminalText(p.content) + "\t" +
                     terminalText(p.volumeName.value_or("")) + "\t" + terminalText(p.mountPoint.value_or("")));
    }
    return 0;
}

int scanCommand(const CommandLine& line) {
    auto source = open(line.operands[0]);
    printLine(source->displayName + ": " + formatBytes(source->size) + ", sektor " +
              std::to_string(source->sectorSize) + " B");
    auto result = QuickScanner::run(*source, reporter());
    if (interrupted()) return 0;
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
    return sourceStatus(*source);
}

int treeCommand(const CommandLine& line) {
    auto source = open(line.operands[0]);
    auto volumes = allVolumes(source, line.has("--deep"), true);
    if (interrupted()) return 0;
    for (auto& volume : volumes) printTree(*volume);
    return sourceStatus(*source);
}

// Recovers every volume's files (with --deleted: only the files that are not
// existing) into one new folder per volume below the destination.
int recoverCommand(const CommandLine& line) {
    auto source = open(line.operands[0]);
    const std::filesystem::path destination = std::filesystem::absolute(line.operands[1]);
    if (!destinationAllowed(DestinationCheck::forRecovery(destination, *source, imageFileOf(line.operands[0])),
                            "mappen", destination, *source))
        return 2;
    const bool deletedOnly = line.has("--deleted");
    for (auto& volume : allVolumes(source, line.has("--deep"), true)) {
        if (interrupted()) break;
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
                  std::to_string(result.withErrors) + " med fejl, " + std::to_string(result.failed) + " mislykkedes" +
                  (result.notTried > 0 ? ", " + std::to_string(result.notTried) + " ikke forsøgt" : std::string()) +
                  " → " + (result.folder ? result.folder->string() : "-"));
        for (size_t i = 0; i < result.failures.size() && i < 10; ++i) printLine("   " + result.failures[i]);
        // The recovery has said that the source is gone; the volumes after
        // it would come out as zeros.
        if (source->hasVanished()) break;
    }
    return sourceStatus(*source);
}

// image <kilde> <fil.img>: copies the source into an image file with a
// mapfile beside it, resuming from that mapfile when it exists.
int imageCommand(const CommandLine& line) {
    DiskSourcePtr source = open(line.operands[0]);
    if (!destinationAllowed(DestinationCheck::forImage(line.operands[1], *source, imageFileOf(line.operands[0])),
                            "billedfilen", std::filesystem::absolute(line.operands[1]), *source))
        return 2;
    DiskImager imager(source, line.operands[1], ImagingOptions{1, 1048576, 268435456});
    if (interrupted()) return 0;
    {
        std::lock_guard guard(imagerLock);
        runningImager = &imager;
    }
    std::optional<std::chrono::steady_clock::time_point> lastLine;
    imager.run([&](const ImagingStats& stats) {
        // A run that could not begin has nothing to show but its reason.
        if (stats.pass == 0) return;
        // An interrupt that came before the imager was known to the watcher.
        if (interrupted()) imager.cancel();
        auto now = std::chrono::steady_clock::now();
        if (!stats.finished && lastLine && now - *lastLine <= std::chrono::seconds(1)) return;
        lastLine = now;
        printLine(stats.phase + ": " + formatBytes(stats.rescued) + " reddet, " + formatBytes(stats.bad) +
                  " dårlige, " + formatBytes(stats.pending) + " tilbage");
    });
    {
        std::lock_guard guard(imagerLock);
        runningImager = nullptr;
    }
    const ImagingStats last = imager.currentStats();
    // The imager refused to begin (an unrelated file in the image's place, an
    // image or mapfile it cannot create) and wrote nothing: an error, not a copy.
    if (last.pass == 0) {
        printError(terminalText(last.message.value_or("Kopieringen kunne ikke begynde.")));
        return 2;
    }
    if (last.message) printLine(*last.message);
    // A copy that stopped because the source went away or was cut short
    // (its message says so) is not a finished copy.
    return sourceStatus(*source);
}

int deepCommand(const CommandLine& line) {
    auto source = open(line.operands[0]);
    // Interrupted, it still lists what the swept part gave.
    auto volumes = allVolumes(source, true, !line.has("--no-carve"));
    for (auto& volume : volumes) {
        auto t = volume->root->totals();
        printLine("  " + volume->title() + " [" + volume->origin + "] @ " + std::to_string(volume->offset) + ": " +
                  std::to_string(t.files) + " filer, " + std::to_string(t.deleted) + " slettede/fundne");
    }
    return sourceStatus(*source);
}

struct Command {
    std::string word;
    size_t operands;                 // exactly
    std::vector<std::string> flags;  // the only ones it takes
    std::function<int(const CommandLine&)> run;
};

const std::vector<Command>& commands() {
    static const std::vector<Command> table = {
        // Each command joins this table with the engine it drives.
        {"list", 0, {}, listCommand},
        {"scan", 1, {}, scanCommand},
        {"tree", 1, {"--deep"}, treeCommand},
        {"deep", 1, {"--no-carve"}, deepCommand},
        {"recover", 2, {"--deep", "--deleted"}, recoverCommand},
        {"image", 2, {}, imageCommand},
    };
    return table;
}

}  // namespace

std::string terminalText(std::string_view text) { return visibleText(text); }

void catchInterrupts() {
    if (::pipe2(wakePipe, O_CLOEXEC) != 0) return;
    std::thread(watchForSignal).detach();
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

int run(const std::vector<std::string>& args) {
    if (args.empty()) return usage();
    for (auto& command : commands()) {
        if (command.word != args[0]) continue;
        const CommandLine line(args);
        if (line.operands.size() < command.operands) return usage();
        // A misspelt flag or a word too many is refused before anything is
        // opened: run without them the command would do what was not asked.
        for (auto& flag : line.flags)
            if (std::find(command.flags.begin(), command.flags.end(), flag) == command.flags.end())
                return misuse("Ukendt tilvalg til " + command.word + ": " + flag);
        if (line.operands.size() > command.operands)
            return misuse("For mange argumenter til " + command.word + ": " + line.operands[command.operands]);
        int status = command.run(line);
        // An interrupted command has still closed its source and written
        // what it had; it does not end as a success.
        if (interrupted()) {
            const std::string message = "Afbrudt.\n";
            std::fwrite(message.data(), 1, message.size(), stderr);
            return 128 + caughtSignal;
        }
        return status;
    }
    return usage();
}

}  // namespace sovanta::cli
