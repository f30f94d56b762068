// The quick scan of the largest HFS+ test volume (the journaled one, 48 MiB),
// beside The Sleuth Kit's `fls -r` over the same image in the same run.
//   bench-HFSPlusScan [benchmark flags] [image [offset]]
// The default image is the unpacked fixture in the build tree. Counters: the
// entries listed (files and folders), the peak heap during the read and per
// entry; for fls the child's peak resident size and per entry of our listing.
#include <benchmark/benchmark.h>

#include "BenchHeap.h"
#include "BenchSupport.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Scanner.h"

using namespace sovanta::bench;

namespace {

std::string imagePath;
uint64_t volumeOffset = 0;
int64_t entriesListed = 0;

void BM_HFSPlusQuickScan(benchmark::State& state) {
    int64_t peak = 0;
    for (auto _ : state) {
        // A fresh source each time: the catalog is read from the image, not a warm chunk cache.
        int64_t before = restartHeapPeak();
        sovanta::DiskSourcePtr source;
        try {
            source = sovanta::SourceOpener::openImage(imagePath);
        } catch (const sovanta::SourceError& e) {
            state.SkipWithError(("build the test fixtures first: " + e.description()).c_str());
            return;
        }
        auto volumes = sovanta::VolumeLoader::load(*source, sovanta::FileSystemType::hfsplus, volumeOffset,
                                                   sovanta::origin::partitionTable);
        if (volumes.empty()) {
            state.SkipWithError("no HFS+ volume at the offset");
            return;
        }
        entriesListed = countBelow(volumes[0]->root, [](const sovanta::FileNode&) { return true; });
        peak = heapPeak.load() - before;
        benchmark::DoNotOptimize(volumes);
    }
    state.counters["entries"] = static_cast<double>(entriesListed);
    state.counters["peak_heap_MB"] = static_cast<double>(peak) / 1e6;
    state.counters["heap_per_entry_KB"] =
        entriesListed ? static_cast<double>(peak) / 1e3 / static_cast<double>(entriesListed) : 0;
    state.counters["us_per_entry"] = benchmark::Counter(static_cast<double>(entriesListed) * 1e-6,
                                                        benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
}

// One run of fls with its output thrown away; the child's peak resident size
// comes back through wait4.
void BM_SleuthKitFls(benchmark::State& state) {
    int64_t maxRssKB = 0;
    std::string offset = std::to_string(volumeOffset / 512);
    for (auto _ : state) {
        auto run = runReference(state, {"fls", "-r", "-p", "-o", offset, imagePath});
        if (!run.succeeded()) return;
        maxRssKB = run.peakKiB;
    }
    state.counters["peak_rss_MB"] = static_cast<double>(maxRssKB) * 1024 / 1e6;
    if (entriesListed > 0) {
        state.counters["rss_per_entry_KB"] = static_cast<double>(maxRssKB) * 1.024 / static_cast<double>(entriesListed);
        state.counters["us_per_entry"] = benchmark::Counter(static_cast<double>(entriesListed) * 1e-6,
                                                            benchmark::Counter::kIsIterationInvariantRate |
                                                                benchmark::Counter::kInvert);
    }
}

}  // namespace

BENCHMARK(BM_HFSPlusQuickScan)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
// Wall time: fls runs in a child process, whose CPU time the parent does not see.
BENCHMARK(BM_SleuthKitFls)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    imagePath = argc > 1 ? argv[1] : fixtureImage("hfsplus_journaled");
    if (argc > 2) volumeOffset = std::strtoull(argv[2], nullptr, 10);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
