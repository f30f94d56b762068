// Sequential reading of a 1 GiB image through the disk source in 4 MiB pieces,
// beside a plain pread loop over the same file, both on a warm page cache, so
// the ratio shows the read path's own overhead.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "SovantaCore/DiskSource.h"

namespace {

constexpr int64_t imageSize = int64_t{1} << 30;
constexpr int64_t piece = 4 << 20;

const std::string& imagePath() {
    static const std::string path = [] {
        std::string p = "/tmp/sovanta-bench-read.img";
        int fd = ::open(p.c_str(), O_CREAT | O_RDWR, 0644);
        std::vector<uint8_t> block(piece);
        for (size_t i = 0; i < block.size(); ++i) block[i] = static_cast<uint8_t>(i * 31);
        for (int64_t off = 0; off < imageSize; off += piece)
            if (::pwrite(fd, block.data(), block.size(), off) != piece) std::abort();
        ::close(fd);
        sovanta::bench::readWhole(p, imageSize, piece);  // warm the page cache once
        return p;
    }();
    return path;
}

void PlainPread(benchmark::State& state) { sovanta::bench::plainSequentialRead(state, imagePath(), imageSize, piece); }

void SourceReadFast(benchmark::State& state) {
    auto source = sovanta::SourceOpener::openImage(imagePath());
    for (auto _ : state) {
        for (int64_t off = 0; off < imageSize; off += piece) {
            auto data = source->read(static_cast<uint64_t>(off), piece, sovanta::ReadMode::fast);
            benchmark::DoNotOptimize(data.data());
        }
    }
    state.SetBytesProcessed(state.iterations() * imageSize);
}

void SourceReadIntoFast(benchmark::State& state) {
    auto source = sovanta::SourceOpener::openImage(imagePath());
    std::vector<uint8_t> buffer(piece);
    for (auto _ : state) {
        for (int64_t off = 0; off < imageSize; off += piece)
            benchmark::DoNotOptimize(source->readInto(static_cast<uint64_t>(off), piece, buffer.data()));
    }
    state.SetBytesProcessed(state.iterations() * imageSize);
}

}  // namespace

BENCHMARK(PlainPread)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(SourceReadFast)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK(SourceReadIntoFast)->Unit(benchmark::kMillisecond)->MinTime(3);
BENCHMARK_MAIN();
