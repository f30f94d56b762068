// The exFAT reader over a volume of 100,000 files (scripts/make-exfat-bench.sh),
// beside The Sleuth Kit's `fls -r` over the same image in the same run.
//   bench-ExFATScan [benchmark flags] [image]   (default /tmp/sovanta-bench/exfat100k.img)
// Counters: files found, peak heap bytes during the read and per file; for fls
// the child's peak resident size and per file.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <fcntl.h>
#include <malloc.h>
#include <new>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/ExFAT.h"

extern char** environ;

namespace {

// Heap accounting: every allocation of the process is counted, so the peak
// during one read is the reader's own working set.
std::atomic<int64_t> heapNow{0};
std::atomic<int64_t> heapPeak{0};

void noteAllocation(int64_t size) {
    int64_t now = heapNow.fetch_add(size) + size;
    int64_t peak = heapPeak.load();
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
}

std::string imagePath = "/tmp/sovanta-bench/exfat100k.img";

int64_t countFiles(const sovanta::FileNodePtr& root) {
    int64_t n = 0;
    std::vector<sovanta::FileNodePtr> stack{root};
    while (!stack.empty()) {
        auto node = stack.back();
        stack.pop_back();
        for (auto& c : node->children()) {
            if (!c->isDirectory) ++n;
            stack.push_back(c);
        }
    }
    return n;
}

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
        int64_t before = heapNow.load();
        heapPeak.store(before);
        auto volume = sovanta::ExFATParser::parse(*source, 0, sovanta::origin::partitionTable);
        if (!volume) {
            state.SkipWithError("no exFAT volume in the image");
            return;
        }
        files = countFiles((*volume)->root);
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
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args = {"fls", "-r", "-p", imagePath};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        int rc = posix_spawnp(&pid, "fls", &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            state.SkipWithError("fls (sleuthkit) is not installed");
            return;
        }
        int status = 0;
        rusage usage{};
        wait4(pid, &status, 0, &usage);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("fls failed on the image");
            return;
        }
        maxRssKB = usage.ru_maxrss;
    }
    state.counters["peak_rss_MB"] = static_cast<double>(maxRssKB) * 1024 / 1e6;
}

}  // namespace

void* operator new(size_t size) {
    void* p = std::malloc(size);
    if (!p) throw std::bad_alloc();
    noteAllocation(static_cast<int64_t>(malloc_usable_size(p)));
    return p;
}
// GCC takes the free below for a mismatch with the operator new above, which it pairs with.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* p) noexcept {
    if (!p) return;
    heapNow.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)));
    std::free(p);
}
#pragma GCC diagnostic pop
void operator delete(void* p, size_t) noexcept { operator delete(p); }

BENCHMARK(BM_ExFATQuickScan)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_SleuthKitFls)->Unit(benchmark::kMillisecond)->MinTime(2.0);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) imagePath = argv[1];
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
