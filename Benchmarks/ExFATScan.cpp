// The exFAT reader over a volume of 100,000 files (scripts/make-exfat-bench.sh),
// beside The Sleuth Kit's `fls -r` over the same image in the same run.
//   bench-ExFATScan [benchmark flags] [image]   (default /tmp/sovanta-bench/exfat100k.img)
// Counters: files found, peak heap bytes during the read and per file; for fls
// the child's peak resident size and per file.
#include <benchmark/benchmark.h>

#include "BenchHeap.h"
#include "BenchSupport.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/ExFAT.h"

using namespace sovanta::bench;

namespace {

std::string imagePath = "/tmp/sovanta-bench/exfat100k.img";

void BM_ExFATQuickScan(benchmark::State& state) {
    sovanta::DiskSourcePtr source;
    try {
        source = sovanta::SourceOpener::openImage(imagePath);
    } catch (const sovanta::SourceError& e) {
        state.SkipWithError(("make the image with scripts/make-exfat-bench.sh: " + e.description()).c_str());
        return;
    }
    int64_t files = 0, peak = 0;
    for (auto _ : state) {
        int64_t before = restartHeapPeak();
        auto volume = sovanta::ExFATParser::parse(*source, 0, sovanta::origin::partitionTable);
        if (!volume) {
            state.SkipWithError("no exFAT volume in the image");
            return;
        }
        files = countBelow((*volume)->root, [](const sovanta::FileNode& n) { return !n.isDirectory; });
        peak = heapPeak.load() - before;
        benchmark::DoNotOptimize(volume);
    }
    state.counters["files"] = static_cast<double>(files);
    state.counters["peak_heap_MB"] = static_cast<double>(peak) / 1e6;
    state.counters["bytes_per_file"] = files ? static_cast<double>(peak) / static_cast<double>(files) : 0;
    state.counters["files_per_s"] = benchmark::Counter(static_cast<double>(files), benchmark::Counter::kIsIterationInvariantRate);
}

// One run of fls with its output thrown away; the child's peak resident size
// comes back through wait4.
void BM_SleuthKitFls(benchmark::State& state) {
    int64_t maxRssKB = 0;
    for (auto _ : state) {
        auto run = runReference(state, {"fls", "-r", "-p", imagePath});
        if (!run.succeeded()) return;
        maxRssKB = run.peakKiB;
    }
    state.counters["peak_rss_MB"] = static_cast<double>(maxRssKB) * 1024 / 1e6;
}

}  // namespace

BENCHMARK(BM_ExFATQuickScan)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SleuthKitFls)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) imagePath = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
