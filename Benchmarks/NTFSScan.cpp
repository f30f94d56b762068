// The NTFS quick scan of a large volume beside The Sleuth Kit's `fls -r` of
// the same image, in one run. The image comes from
// scripts/make-ntfs-bench-image.sh; pass its path as the first argument
// (default /tmp/sovanta-bench/ntfs-100k.img).
//
// Counters: files listed, and the scan's peak memory per file beyond the
// resident file data its nodes hold (resident set high-water mark, reset
// before the scan).

#include <benchmark/benchmark.h>

#include <fstream>
#include <string>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "SovantaCore/NTFS.h"

using namespace sovanta;
using namespace sovanta::bench;

namespace {

std::string imagePath = "/tmp/sovanta-bench/ntfs-100k.img";

struct Census {
    int64_t files = 0;
    uint64_t residentBytes = 0;
};

Census count(const FileNodePtr& root) {
    Census census;
    std::vector<const FileNode*> stack = {root.get()};
    while (!stack.empty()) {
        const FileNode* node = stack.back();
        stack.pop_back();
        for (auto& child : node->children()) {
            if (child->isDirectory) {
                stack.push_back(child.get());
                continue;
            }
            ++census.files;
            if (auto* resident = std::get_if<ResidentData>(&child->data)) census.residentBytes += resident->bytes.capacity();
        }
    }
    return census;
}

void QuickScan(benchmark::State& state) {
    auto source = SourceOpener::openImage(imagePath);
    Census census;
    double peakPerFile = 0;
    for (auto _ : state) {
        state.PauseTiming();
        int64_t before = statusKiB("VmRSS");
        resetResidentPeak();
        state.ResumeTiming();
        auto volume = NTFSParser::parse(*source, 0, "Partitionstabel");
        state.PauseTiming();
        int64_t peak = statusKiB("VmHWM");
        if (!volume) {
            state.SkipWithError("no NTFS volume in the image");
            break;
        }
        census = count((*volume)->root);
        double beyond = static_cast<double>(peak - before) * 1024.0 - static_cast<double>(census.residentBytes);
        // Memory freed by an earlier round may stay with the process, so the
        // first round's growth is the honest one: keep the largest.
        if (census.files) peakPerFile = std::max(peakPerFile, beyond / static_cast<double>(census.files));
        volume.reset();
        state.ResumeTiming();
    }
    state.counters["files"] = static_cast<double>(census.files);
    state.counters["peak_bytes_per_file"] = peakPerFile;
    state.counters["resident_bytes"] = static_cast<double>(census.residentBytes);
}

// fls -r over the same image, its listing thrown away.
void FlsRecursive(benchmark::State& state) {
    long childPeakKiB = 0;
    struct rusage start {};
    getrusage(RUSAGE_CHILDREN, &start);
    for (auto _ : state) {
        auto run = runReference(state, {"fls", "-r", imagePath});
        if (!run.succeeded()) break;
        // The largest of the children so far, as getrusage(RUSAGE_CHILDREN) gives it.
        childPeakKiB = std::max(childPeakKiB, run.peakKiB);
    }
    // The benchmark's own CPU time is the parent's; fls's is reported here.
    struct rusage end {};
    getrusage(RUSAGE_CHILDREN, &end);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    double cpu = seconds(end.ru_utime) - seconds(start.ru_utime) + seconds(end.ru_stime) - seconds(start.ru_stime);
    state.counters["fls_cpu_ms"] = benchmark::Counter(cpu * 1000, benchmark::Counter::kAvgIterations);
    state.counters["peak_rss_kib"] = static_cast<double>(childPeakKiB);
}

}  // namespace

BENCHMARK(QuickScan)->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(FlsRecursive)->Unit(benchmark::kMillisecond)->Iterations(5);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) imagePath = argv[1];
    if (access(imagePath.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "%s is missing: make it with scripts/make-ntfs-bench-image.sh\n", imagePath.c_str());
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
