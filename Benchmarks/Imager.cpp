// Imaging a 1 GiB file, side by side with GNU ddrescue and a plain copy of
// the same file in the same run, and the cost of the block map in the sector
// pass over alternating good and bad sectors.
//
// The source is made once under $TMPDIR (default /tmp) as
// sovanta-bench-imager/source.bin and kept for later runs. The three copies
// run in repetitions in random order, so that a change in the machine's load
// during the run does not favour whichever copy runs first.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "SovantaCore/Imager.h"

using namespace sovanta;

namespace {

constexpr uint64_t sourceSize = 1ull << 30;

std::string scratch() {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/sovanta-bench-imager";
    ::mkdir(folder.c_str(), 0755);
    return folder;
}

// A 1 GiB file of pseudo-random bytes (no runs of zeros a tool could skip).
const std::string& sourcePath() {
    static const std::string path = [] {
        std::string p = scratch() + "/source.bin";
        struct stat st {};
        if (::stat(p.c_str(), &st) == 0 && static_cast<uint64_t>(st.st_size) == sourceSize) return p;
        int fd = ::open(p.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<uint8_t> chunk(1 << 20);
        uint64_t state = 42;
        for (uint64_t done = 0; done < sourceSize; done += chunk.size()) {
            for (size_t i = 0; i < chunk.size(); i += 8) {
                uint64_t z = (state += 0x9E3779B97F4A7C15ull);
                z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
                z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
                z ^= z >> 31;
                std::memcpy(chunk.data() + i, &z, 8);
            }
            if (::write(fd, chunk.data(), chunk.size()) != static_cast<ssize_t>(chunk.size())) std::abort();
        }
        ::fsync(fd);
        ::close(fd);
        return p;
    }();
    return path;
}

// Removes an earlier copy and flushes what is still being written back, so
// that every measured copy starts from the same state.
void removeOutputs(const std::string& image) {
    ::unlink(image.c_str());
    ::unlink((image + ".map").c_str());
    ::sync();
}

// Our imager with the options of the command-line tool.
void BM_SovantaImage(benchmark::State& state) {
    const std::string source = sourcePath(), image = scratch() + "/sovanta.img";
    for (auto _ : state) {
        state.PauseTiming();
        removeOutputs(image);
        state.ResumeTiming();
        auto disk = SourceOpener::openImage(source);
        DiskImager imager(disk, image, ImagingOptions{1, 1048576, 268435456});
        imager.run([](const ImagingStats&) {});
        if (imager.map->total(RangeMap::Status::finished) != sourceSize) state.SkipWithError("copy incomplete");
    }
    removeOutputs(image);
    state.SetBytesProcessed(static_cast<int64_t>(static_cast<uint64_t>(state.iterations()) * sourceSize));
}

// GNU ddrescue with its defaults on the same file, mapfile included.
void BM_Ddrescue(benchmark::State& state) {
    const std::string ddrescue = "/usr/bin/ddrescue";
    if (::access(ddrescue.c_str(), X_OK) != 0) {
        state.SkipWithError("GNU ddrescue is not installed");
        return;
    }
    const std::string source = sourcePath(), image = scratch() + "/ddrescue.img";
    for (auto _ : state) {
        state.PauseTiming();
        removeOutputs(image);
        state.ResumeTiming();
        auto result = Shell::run(ddrescue, {"-q", source, image, image + ".map"});
        if (result.status != 0) state.SkipWithError("ddrescue failed");
    }
    removeOutputs(image);
    state.SetBytesProcessed(static_cast<int64_t>(static_cast<uint64_t>(state.iterations()) * sourceSize));
}

// The floor: read the file in 1 MiB pieces and write them as the imager
// does, in 256 KiB slices, then flush it.
void BM_PlainCopy(benchmark::State& state) {
    const std::string source = sourcePath(), image = scratch() + "/plain.img";
    void* buffer = std::aligned_alloc(4096, 1 << 20);
    for (auto _ : state) {
        state.PauseTiming();
        removeOutputs(image);
        state.ResumeTiming();
        int in = ::open(source.c_str(), O_RDONLY);
        int out = ::open(image.c_str(), O_WRONLY | O_CREAT, 0644);
        for (uint64_t offset = 0; offset < sourceSize; offset += 1 << 20) {
            if (::pread(in, buffer, 1 << 20, static_cast<off_t>(offset)) != 1 << 20)
                state.SkipWithError("plain copy failed");
            for (int slice = 0; slice < 4; ++slice)
                if (::pwrite(out, static_cast<uint8_t*>(buffer) + slice * (1 << 18), 1 << 18,
                             static_cast<off_t>(offset) + slice * (1 << 18)) != 1 << 18)
                    state.SkipWithError("plain copy failed");
        }
        ::fsync(out);
        ::close(in);
        ::close(out);
    }
    removeOutputs(image);
    std::free(buffer);
    state.SetBytesProcessed(static_cast<int64_t>(static_cast<uint64_t>(state.iterations()) * sourceSize));
}

// The sector pass's map work over n alternating good and bad sectors:
// logarithmic per sector, so n log n in all.
void BM_RangeMapAlternatingSectors(benchmark::State& state) {
    const auto sectors = static_cast<uint64_t>(state.range(0));
    for (auto _ : state) {
        RangeMap map(sectors * 512);
        map.set(0, sectors * 512, RangeMap::Status::nonTrimmed);
        uint64_t p = 0;
        while (auto block = map.first({RangeMap::Status::nonTrimmed, RangeMap::Status::nonScraped}, p)) {
            uint64_t n = std::min<uint64_t>(block->size, 512);
            map.set(block->pos, n, (block->pos / 512) % 2 ? RangeMap::Status::bad : RangeMap::Status::finished);
            p = block->pos + n;
        }
        benchmark::DoNotOptimize(map.total(RangeMap::Status::bad));
    }
    state.SetComplexityN(state.range(0));
}

}  // namespace

BENCHMARK(BM_SovantaImage)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(4)->UseRealTime();
BENCHMARK(BM_Ddrescue)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(4)->UseRealTime();
BENCHMARK(BM_PlainCopy)->Unit(benchmark::kMillisecond)->Iterations(2)->Repetitions(4)->UseRealTime();
BENCHMARK(BM_RangeMapAlternatingSectors)
    ->RangeMultiplier(4)
    ->Range(1 << 10, 1 << 18)
    ->Unit(benchmark::kMillisecond)
    ->Complexity(benchmark::oNLogN);

int main(int argc, char** argv) {
    std::vector<char*> args(argv, argv + argc);
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    args.insert(args.begin() + 1, interleave);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
