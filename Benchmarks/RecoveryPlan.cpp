// The recovery plan of a volume's files, for bench-App's table: the plan's
// heap per file beside the plan as it held each file before (every field
// copied), counted by replacing the process's operator new, which is why it
// is a program of its own.
//   bench-RecoveryPlan IMAGE
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "BenchHeap.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Recovery.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta;

namespace {

using Clock = std::chrono::steady_clock;
double msSince(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

// The plan's heap per file, beside the plan as it was: each file's folder
// path, its path on the volume, its name, size, dates, rating and note copied.
int runPlan(const std::string& image) {
    auto source = SourceOpener::openImage(image);
    WorkProgress progress;
    auto scanned = QuickScanner::run(*source, progress);
    if (scanned.volumes.empty()) return 1;
    const FileNodePtr root = scanned.volumes.front()->root;
    const int64_t before = bench::restartHeapPeak();
    const auto start = Clock::now();
    RecoveryPlan plan = RecoveryEngine::plan({root}, RecoveryOptions{});
    const double planMs = msSince(start);
    const int64_t held = bench::heapNow.load() - before;
    const int64_t peak = bench::heapPeak.load() - before;
    struct Former {
        FileNodePtr node;
        std::filesystem::path folder;
        std::string displayPath;
        uint64_t size = 0;
        std::string name;
        std::optional<Date> created, modified;
        Recoverability recoverability = Recoverability::unknown;
        std::optional<std::string> note;
    };
    const int64_t formerBefore = bench::heapNow.load();
    std::vector<Former> former;
    for (const auto& item : plan.files) {
        const FileNode& node = *item.node;
        former.push_back({item.node, plan.folderOf(item), node.path(), node.size, node.name, node.created,
                          node.modified, node.recoverability, node.note});
    }
    const int64_t formerHeld = bench::heapNow.load() - formerBefore;
    const double files = static_cast<double>(std::max<size_t>(plan.files.size(), 1));
    std::printf("plan_files %zu\nplan_ms %.1f\nplan_bytes_per_file %.1f\nplan_peak_bytes_per_file %.1f\n"
                "former_bytes_per_file %.1f\n",
                plan.files.size(), planMs, static_cast<double>(held) / files, static_cast<double>(peak) / files,
                static_cast<double>(formerHeld) / files);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench-RecoveryPlan IMAGE\n");
        return 2;
    }
    return runPlan(argv[1]);
}
