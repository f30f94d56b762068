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
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta::bench;

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

void QuickScanFAT32(benchmark::State& state) {
    const std::string& path = image();
    int64_t files = 0;
    // Measured on the process's first scan only: later ones reuse the heap the
    // first one grew, which the resident size does not show.
    static int64_t peakAdded = -1;
    for (auto _ : state) {
        state.PauseTiming();
        resetResidentPeak();
        int64_t before = statusKiB("VmRSS") * 1024;
        state.ResumeTiming();
        auto source = sovanta::SourceOpener::openImage(path);
        sovanta::WorkProgress progress;
        auto result = sovanta::QuickScanner::run(*source, progress);
        state.PauseTiming();
        files = 0;
        for (auto& v : result.volumes) files += v->root->totals().files;
        if (peakAdded < 0) peakAdded = statusKiB("VmHWM") * 1024 - before;
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
        auto run = runQuietly({"fls", "-r", "-p", path});
        if (!run.started) {
            state.SkipWithError("fls (sleuthkit) is not installed");
            break;
        }
        peak = std::max<int64_t>(peak, int64_t{run.peakKiB} * 1024);
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
