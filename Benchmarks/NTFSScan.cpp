// The NTFS quick scan of large volumes beside The Sleuth Kit's `fls -r -p` of
// the same images, in one run. Two layouts by default, both from
// scripts/make-ntfs-bench-image.sh: /tmp/sovanta-bench/ntfs-100k.img (100,000
// files in 100 folders) and /tmp/sovanta-bench/ntfs-100k-deleted.img (the
// same with the last 10 folders deleted, DELETED_FOLDERS=10); other images may
// be passed as arguments instead.
//
// Per image: the reader in this process (QuickScan: the peak growth of the
// resident set per MFT record, and per file beyond the resident file data its
// nodes hold), then `sovanta-cli scan` and `fls -r -p` as child processes,
// each with its whole peak resident set and that peak per MFT record (needs
// /usr/bin/time, Debian's time package).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include <malloc.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "SovantaCore/NTFS.h"
#include "SovantaCore/NTFS/Context.h"

using namespace sovanta;
using namespace sovanta::bench;

namespace {

std::vector<std::string> imagePaths = {"/tmp/sovanta-bench/ntfs-100k.img", "/tmp/sovanta-bench/ntfs-100k-deleted.img"};

std::string imageName(const std::string& path) {
    auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The records the image's $MFT holds, as the reader finds it.
double mftRecords(const std::string& path) {
    auto source = SourceOpener::openImage(path);
    Bytes boot = source->read(0, 512);
    auto context = NTFSContext::fromBoot(*source, 0, ByteSpan(boot));
    if (!context) return 0;
    std::vector<std::string> notes;
    auto layout = context->locateMFT(notes);
    return layout ? static_cast<double>(layout->recordCount) : 0;
}

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

void QuickScan(benchmark::State& state, const std::string& path) {
    auto source = SourceOpener::openImage(path);
    const double records = mftRecords(path);
    Census census;
    double peakGrowth = 0;
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
        peakGrowth = std::max(peakGrowth, static_cast<double>(peak - before) * 1024.0);
        volume.reset();
        // Freed memory handed back, so that the next round (and the next
        // image) grows from the same resident size.
        malloc_trim(0);
        state.ResumeTiming();
    }
    state.counters["records"] = records;
    state.counters["files"] = static_cast<double>(census.files);
    state.counters["peak_growth_per_record"] = records ? peakGrowth / records : 0;
    state.counters["peak_growth_per_file_beyond_resident"] =
        census.files ? (peakGrowth - static_cast<double>(census.residentBytes)) / static_cast<double>(census.files) : 0;
}

// A program run once per iteration with its output thrown away: its whole
// peak resident set, and that per MFT record. The peak comes from
// /usr/bin/time, whose child starts small: a child of this process would
// count this process's own resident set among its peak.
void ChildProcess(benchmark::State& state, const std::string& path, const std::vector<std::string>& args) {
    const double records = mftRecords(path);
    char peakFile[] = "/tmp/sovanta-bench-peak-XXXXXX";
    const int fd = mkstemp(peakFile);
    if (fd < 0) {
        state.SkipWithError("no temporary file for the peak");
        return;
    }
    ::close(fd);
    std::vector<std::string> timed = {"/usr/bin/time", "-f", "%M", "-o", peakFile};
    timed.insert(timed.end(), args.begin(), args.end());
    long peakKiB = 0;
    for (auto _ : state) {
        auto run = runReference(state, timed);
        if (!run.succeeded()) break;
        long kib = 0;
        std::ifstream(peakFile) >> kib;
        peakKiB = std::max(peakKiB, kib);
    }
    ::unlink(peakFile);
    state.counters["records"] = records;
    state.counters["peak_KiB"] = static_cast<double>(peakKiB);
    state.counters["peak_bytes_per_record"] = records ? static_cast<double>(peakKiB) * 1024.0 / records : 0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (argc > 1) imagePaths.assign(argv + 1, argv + argc);
    for (const auto& path : imagePaths) {
        if (access(path.c_str(), R_OK) != 0) {
            std::fprintf(stderr,
                         "%s is missing: make it with scripts/make-ntfs-bench-image.sh (DELETED_FOLDERS=10 for the "
                         "deleted-folder layout)\n",
                         path.c_str());
            return 1;
        }
        const std::string name = imageName(path);
        benchmark::RegisterBenchmark(("QuickScan/" + name).c_str(), QuickScan, path)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
        benchmark::RegisterBenchmark(("SovantaCliScan/" + name).c_str(), ChildProcess, path,
                                     std::vector<std::string>{SOVANTA_CLI, "scan", path})
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5)
            ->UseRealTime();
        benchmark::RegisterBenchmark(("FlsRecursive/" + name).c_str(), ChildProcess, path,
                                     std::vector<std::string>{"fls", "-r", "-p", path})
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5)
            ->UseRealTime();
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
