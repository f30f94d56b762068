// The quick scan of the largest HFS+ test volume (the journaled one, 48 MiB),
// beside The Sleuth Kit's `fls -r` over the same image in the same run.
//   bench-HFSPlusScan [benchmark flags] [image [offset]]
// The default image is the unpacked fixture in the build tree. Counters: the
// entries listed (files and folders), the peak heap during the read and per
// entry; for fls the child's peak resident size and per entry of our listing.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Scanner.h"

extern char** environ;

namespace {

// Every allocation of the process is counted, so the peak during one read is
// the reader's working set (the disk source's chunk cache included).
std::atomic<int64_t> heapNow{0};
std::atomic<int64_t> heapPeak{0};

void noteAllocation(int64_t size) {
    int64_t now = heapNow.fetch_add(size) + size;
    int64_t peak = heapPeak.load();
    while (now > peak && !heapPeak.compare_exchange_weak(peak, now)) {
    }
}

std::string imagePath;
uint64_t volumeOffset = 0;
int64_t entriesListed = 0;

std::string defaultImage() {
    // bench-HFSPlusScan lives in <build>/Benchmarks; the fixtures in <build>/fixtures.
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    return (self.parent_path().parent_path() / "fixtures/hfsplus_journaled/hfsplus_journaled.img").string();
}

int64_t countEntries(const sovanta::FileNodePtr& root) {
    int64_t n = 0;
    std::vector<sovanta::FileNodePtr> stack{root};
    while (!stack.empty()) {
        auto node = stack.back();
        stack.pop_back();
        for (auto& child : node->children()) {
            ++n;
            if (child->isDirectory) stack.push_back(child);
        }
    }
    return n;
}

void BM_HFSPlusQuickScan(benchmark::State& state) {
    int64_t peak = 0;
    for (auto _ : state) {
        // A fresh source each time: the catalog is read from the image, not a warm chunk cache.
        int64_t before = heapNow.load();
        heapPeak.store(before);
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
        entriesListed = countEntries(volumes[0]->root);
        peak = heapPeak.load() - before;
        benchmark::DoNotOptimize(volumes);
    }
    state.counters["entries"] = static_cast<double>(entriesListed);
    state.counters["peak_heap_MB"] = static_cast<double>(peak) / 1e6;
    state.counters["heap_per_entry_KB"] = entriesListed ? static_cast<double>(peak) / 1e3 / entriesListed : 0;
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
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> args = {"fls", "-r", "-p", "-o", offset, imagePath};
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
    if (entriesListed > 0) {
        state.counters["rss_per_entry_KB"] = static_cast<double>(maxRssKB) * 1.024 / entriesListed;
        state.counters["us_per_entry"] = benchmark::Counter(static_cast<double>(entriesListed) * 1e-6,
                                                            benchmark::Counter::kIsIterationInvariantRate |
                                                                benchmark::Counter::kInvert);
    }
}

}  // namespace

// GCC cannot see that these two replace the global pair together.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    // A size header in front of each block lets delete subtract it again.
    void* p = std::malloc(size + 16);
    if (!p) throw std::bad_alloc();
    *static_cast<size_t*>(p) = size;
    noteAllocation(static_cast<int64_t>(size));
    return static_cast<char*>(p) + 16;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    char* block = static_cast<char*>(p) - 16;
    heapNow.fetch_sub(static_cast<int64_t>(*reinterpret_cast<size_t*>(block)));
    std::free(block);
}
void operator delete(void* p, size_t) noexcept { operator delete(p); }

BENCHMARK(BM_HFSPlusQuickScan)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();
// Wall time: fls runs in a child process, whose CPU time the parent does not see.
BENCHMARK(BM_SleuthKitFls)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    imagePath = argc > 1 ? argv[1] : defaultImage();
    if (argc > 2) volumeOffset = std::strtoull(argv[2], nullptr, 10);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
