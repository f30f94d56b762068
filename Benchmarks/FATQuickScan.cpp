// The quick scan of a FAT32 volume of 100,000 files (made once in /tmp by
// scripts/make-fat32-bench-image.sh), beside The Sleuth Kit's "fls -r" on the
// same image in the same run. Both read a warm page cache with a fresh source
// per iteration. Reported per file: wall time, and the peak resident memory
// the scan added (the peak is reset before each scan).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SovantaCore/Scanner.h"

extern char** environ;

namespace {

constexpr const char* imagePath = "/tmp/sovanta-bench-fat32.img";
constexpr int fileCount = 100000;

const std::string& image() {
    static const std::string path = [] {
        struct stat st {};
        if (::stat(imagePath, &st) != 0) {
            std::string command = std::string("bash '") + SOVANTA_SOURCE_DIR +
                                  "/scripts/make-fat32-bench-image.sh' " + imagePath + " " +
                                  std::to_string(fileCount) + " >/dev/null";
            if (std::system(command.c_str()) != 0) std::abort();
        }
        return std::string(imagePath);
    }();
    return path;
}

// Resident set size now and at its peak, in bytes (Linux /proc).
int64_t statusField(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field, 0) == 0) return std::atoll(line.c_str() + std::char_traits<char>::length(field)) * 1024;
    return 0;
}

void resetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

void QuickScanFAT32(benchmark::State& state) {
    const std::string& path = image();
    int64_t files = 0;
    // Measured on the process's first scan only: later ones reuse the heap the
    // first one grew, which the resident size does not show.
    static int64_t peakAdded = -1;
    for (auto _ : state) {
        state.PauseTiming();
        resetPeak();
        int64_t before = statusField("VmRSS:");
        state.ResumeTiming();
        auto source = sovanta::SourceOpener::openImage(path);
        sovanta::WorkProgress progress;
        auto result = sovanta::QuickScanner::run(*source, progress);
        state.PauseTiming();
        files = 0;
        for (auto& v : result.volumes) files += v->root->totals().files;
        if (peakAdded < 0) peakAdded = statusField("VmHWM:") - before;
        state.ResumeTiming();
    }
    state.counters["files"] = static_cast<double>(files);
    state.counters["time_per_file"] =
        benchmark::Counter(static_cast<double>(fileCount) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["peak_bytes_per_file"] = static_cast<double>(peakAdded) / fileCount;
}

// fls -r -p over the same image, output discarded.
void SleuthKitFls(benchmark::State& state) {
    const std::string& path = image();
    int64_t peak = 0;
    for (auto _ : state) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        const char* argv[] = {"fls", "-r", "-p", path.c_str(), nullptr};
        pid_t pid = 0;
        if (posix_spawnp(&pid, "fls", &actions, nullptr, const_cast<char**>(argv), environ) != 0) {
            state.SkipWithError("fls (sleuthkit) is not installed");
            break;
        }
        int status = 0;
        struct rusage usage {};
        ::wait4(pid, &status, 0, &usage);
        posix_spawn_file_actions_destroy(&actions);
        peak = std::max<int64_t>(peak, usage.ru_maxrss * 1024);
    }
    state.counters["files"] = fileCount;
    state.counters["time_per_file"] =
        benchmark::Counter(static_cast<double>(fileCount) * static_cast<double>(state.iterations()),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    // The whole process's peak: fls holds little else.
    state.counters["peak_bytes_per_file"] = static_cast<double>(peak) / fileCount;
}

}  // namespace

BENCHMARK(QuickScanFAT32)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);
BENCHMARK(SleuthKitFls)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(5);
BENCHMARK_MAIN();
