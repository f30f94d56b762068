// The quick scan (and the APFS reader alone) of the APFS fixture images beside The Sleuth Kit's fls on the
// same images in the same run, and a plain read of each image as the floor.
// Both tools also run as child processes once per iteration, so their peak
// memory (maximum resident set, KiB) is reported per image.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BenchSupport.h"
#include "SovantaCore/APFS/Container.h"
#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Scanner.h"

namespace {

struct Image {
    const char* name;
    std::vector<std::string> flsArguments;  // where the volume superblock lies
};

const std::vector<Image>& images() {
    static const std::vector<Image> all{{"apfs_single", {"-B", "273"}},
                                        {"apfs_gpt", {"-o", "2048", "-B", "243"}},
                                        {"apfs_macos_sample", {"-B", "107"}}};
    return all;
}

std::string imagePath(const Image& image) { return sovanta::bench::fixtureImage(image.name); }

// Runs a program with its output discarded; the child's peak resident set in KiB, or -1.
long runChild(const std::string& program, const std::vector<std::string>& arguments) {
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    auto run = sovanta::bench::runQuietly(args, true);
    return run.succeeded() ? run.peakKiB : -1;
}

void QuickScan(benchmark::State& state) {
    const Image& image = images()[static_cast<size_t>(state.range(0))];
    state.SetLabel(image.name);
    size_t files = 0;
    for (auto _ : state) {
        auto source = sovanta::SourceOpener::openImage(imagePath(image));
        sovanta::WorkProgress progress;
        auto result = sovanta::QuickScanner::run(*source, progress);
        files = 0;
        for (const auto& volume : result.volumes) files += static_cast<size_t>(volume->root->totals().files);
        benchmark::DoNotOptimize(files);
    }
    state.counters["files"] = static_cast<double>(files);
}

// The APFS reader alone, without the partition table and the probe.
void APFSReader(benchmark::State& state) {
    const Image& image = images()[static_cast<size_t>(state.range(0))];
    state.SetLabel(image.name);
    uint64_t offset = std::string(image.name) == "apfs_gpt" ? 1048576 : 0;
    for (auto _ : state) {
        auto source = sovanta::SourceOpener::openImage(imagePath(image));
        auto volumes = sovanta::APFSParser::parse(*source, offset, sovanta::origin::partitionTable);
        benchmark::DoNotOptimize(volumes.data());
    }
}

void SovantaTreeProcess(benchmark::State& state) {
    const Image& image = images()[static_cast<size_t>(state.range(0))];
    state.SetLabel(image.name);
    long peak = 0;
    for (auto _ : state) peak = std::max(peak, runChild(SOVANTA_CLI, {"tree", imagePath(image)}));
    state.counters["peak_KiB"] = static_cast<double>(peak);
}

void SleuthKitFls(benchmark::State& state) {
    const Image& image = images()[static_cast<size_t>(state.range(0))];
    state.SetLabel(image.name);
    std::vector<std::string> arguments{"-r", "-p"};
    arguments.insert(arguments.end(), image.flsArguments.begin(), image.flsArguments.end());
    arguments.push_back(imagePath(image));
    long peak = 0;
    for (auto _ : state) {
        long rss = runChild("fls", arguments);
        if (rss < 0) {
            state.SkipWithError("fls failed");
            break;
        }
        peak = std::max(peak, rss);
    }
    state.counters["peak_KiB"] = static_cast<double>(peak);
}

void PlainRead(benchmark::State& state) {
    const Image& image = images()[static_cast<size_t>(state.range(0))];
    state.SetLabel(image.name);
    std::vector<uint8_t> buffer(4 << 20);
    int64_t total = 0;
    for (auto _ : state) {
        int fd = ::open(imagePath(image).c_str(), O_RDONLY);
        total = 0;
        ssize_t n;
        while ((n = ::pread(fd, buffer.data(), buffer.size(), total)) > 0) total += n;
        ::close(fd);
    }
    state.SetBytesProcessed(state.iterations() * total);
}

}  // namespace

BENCHMARK(QuickScan)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(APFSReader)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(SovantaTreeProcess)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(SleuthKitFls)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(PlainRead)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
