// The deep sweep over a 2 GiB image beside a plain sequential read of the same
// file, both on a warm page cache, so the ratio is the sweep's own work; and
// the carver's recall on the carving fixture (byte-identical finds).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "BenchSupport.h"
#include "SovantaCore/FileReader.h"
#include "SovantaCore/Scanner.h"

namespace {

constexpr int64_t imageSize = int64_t{2} << 30;
constexpr int64_t piece = 4 << 20;

std::string carveImage() { return sovanta::bench::fixtureImage("carve"); }

// Pseudo-random filler (no signatures to speak of) with the carving fixture's
// contents laid in every 256 MiB, so the carver has real files to size. Made
// once (a stamp beside it names the fixture's size) and read once to warm the
// page cache.
const std::string& imagePath() {
    static const std::string path = [] {
        std::string p = "/tmp/sovanta-bench-sweep.img";
        std::ifstream in(carveImage(), std::ios::binary);
        std::vector<char> carve((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::string stamp = "filler-v1 carve " + std::to_string(carve.size());
        std::string previous;
        std::getline(std::ifstream(p + ".stamp"), previous);
        struct stat st {};
        bool reuse = previous == stamp && ::stat(p.c_str(), &st) == 0 && st.st_size == imageSize;
        int fd = ::open(p.c_str(), reuse ? O_RDONLY : (O_CREAT | O_RDWR | O_TRUNC), 0644);
        if (!reuse) {
            std::vector<uint64_t> block(piece / 8);
            uint64_t x = 88172645463325252ull;
            for (int64_t off = 0; off < imageSize; off += piece) {
                for (auto& w : block) {
                    x ^= x << 13;
                    x ^= x >> 7;
                    x ^= x << 17;
                    w = x;
                }
                if (::pwrite(fd, block.data(), piece, off) != piece) std::abort();
            }
            for (int64_t off = 0; off + static_cast<int64_t>(carve.size()) < imageSize; off += 256 << 20)
                if (::pwrite(fd, carve.data(), carve.size(), off) != static_cast<ssize_t>(carve.size())) std::abort();
            std::ofstream(p + ".stamp") << stamp << "\n";
        }
        ::close(fd);
        sovanta::bench::readWhole(p, imageSize, piece);  // warm the page cache
        return p;
    }();
    return path;
}

void PlainSequentialRead(benchmark::State& state) {
    sovanta::bench::plainSequentialRead(state, imagePath(), imageSize, piece);
}

void DeepSweep(benchmark::State& state) {
    auto source = sovanta::SourceOpener::openImage(imagePath());
    sovanta::DeepScanOptions options;
    options.carve = state.range(0) != 0;
    size_t found = 0;
    uint64_t readBefore = source->bytesRead();
    for (auto _ : state) {
        sovanta::WorkProgress progress;
        sovanta::DeepScanner scanner(source, options);
        auto result = scanner.run(progress, [](const sovanta::DeepScanStats&) {});
        found = result.carved.size();
    }
    state.SetBytesProcessed(state.iterations() * imageSize);
    state.counters["carved"] = static_cast<double>(found);
    // Bytes read from the source per byte of it: 1 is the sweep alone; more
    // is the carver reading ahead (end-marker searches, blocks past the chunk).
    state.counters["read_per_byte"] =
        static_cast<double>(source->bytesRead() - readBefore) / static_cast<double>(state.iterations() * imageSize);
}

// PhotoRec (Debian's testdisk) carving the same image with its default
// families, when it is installed; it writes what it finds to a scratch folder.
void PhotoRecSameImage(benchmark::State& state) {
    if (std::system("command -v photorec >/dev/null 2>&1") != 0) {
        state.SkipWithError("photorec is not installed (apt-get install testdisk)");
        return;
    }
    const std::string& image = imagePath();
    std::string out = "/tmp/sovanta-bench-photorec";
    std::string command = "rm -rf " + out + " && mkdir -p " + out + " && cd " + out +
                          " && photorec /log /d out /cmd " + image + " partition_none,options,search >/dev/null 2>&1";
    for (auto _ : state)
        if (std::system(command.c_str()) != 0) state.SkipWithError("photorec failed");
    std::system(("rm -rf " + out).c_str());
    state.SetBytesProcessed(state.iterations() * imageSize);
}

// Recall on the carving fixture: manifest files found at their offset with
// exactly their size (so exactly their bytes; found_exact counts those whose
// size the format itself gives), beside PhotoRec's files on the
// same image whose SHA-256 is a manifest file's (when PhotoRec is installed).
void CarvingRecall(benchmark::State& state) {
    auto source = sovanta::SourceOpener::openImage(carveImage());
    std::ifstream manifest(std::string(SOVANTA_SOURCE_DIR) + "/Tests/Fixtures/carve/carve.manifest.tsv");
    std::map<uint64_t, uint64_t> expected;  // offset -> size
    std::set<std::string> hashes;
    std::string line;
    std::getline(manifest, line);
    while (std::getline(manifest, line)) {
        std::istringstream fields(line);
        uint64_t offset = 0, size = 0;
        std::string sha256;
        fields >> offset >> size >> sha256;
        expected[offset] = size;
        hashes.insert(sha256);
    }
    double identical = 0, exact = 0;
    for (auto _ : state) {
        sovanta::WorkProgress progress;
        sovanta::DeepScanner scanner(source);
        auto result = scanner.run(progress, [](const sovanta::DeepScanStats&) {});
        identical = exact = 0;
        for (auto& f : result.carved) {
            auto it = expected.find(f.offset);
            if (it == expected.end() || f.size != it->second) continue;
            ++identical;     // the file's bytes, whether or not the format could vouch for the size
            if (f.exact) ++exact;
        }
    }
    state.counters["manifest_files"] = static_cast<double>(expected.size());
    state.counters["found_identical"] = identical;
    state.counters["found_exact"] = exact;

    if (std::system("command -v photorec >/dev/null 2>&1") != 0) return;
    std::string out = "/tmp/sovanta-bench-photorec-recall";
    std::string command = "rm -rf " + out + " && mkdir -p " + out + " && cd " + out + " && photorec /log /d out /cmd " +
                          carveImage() + " partition_none,options,search >/dev/null 2>&1 && find " + out +
                          " -path '*/out.*' -type f -exec sha256sum {} +";
    std::set<std::string> matched;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::fgets(buffer, sizeof buffer, pipe)) {
            std::string hash = std::string(buffer).substr(0, 64);
            if (hashes.count(hash)) matched.insert(hash);
        }
        ::pclose(pipe);
    }
    std::system(("rm -rf " + out).c_str());
    state.counters["photorec_identical"] = static_cast<double>(matched.size());
}

}  // namespace

BENCHMARK(PlainSequentialRead)->Unit(benchmark::kMillisecond)->MinTime(5);
BENCHMARK(DeepSweep)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(5);
BENCHMARK(PhotoRecSameImage)->Unit(benchmark::kMillisecond)->Iterations(1)->UseRealTime();
BENCHMARK(CarvingRecall)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK_MAIN();
