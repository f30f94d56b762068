// Recovery of 1 GiB of files (48 files of 16 MiB and 4096 of 64 KiB) from an
// image that holds them one after another, beside a plain `cp -r` of the same
// files kept as ordinary files, in the same run. Both read from a warm page
// cache and write into /tmp; every timed copy starts with its destination
// removed and synced, so neither inherits the other's writeback.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"
#include "SovantaCore/Recovery.h"

namespace fs = std::filesystem;
using namespace sovanta;

namespace {

const fs::path scratch = "/tmp/sovanta-bench-recovery";
constexpr int bigCount = 48;
constexpr uint64_t bigSize = 16 << 20;
constexpr int smallCount = 4096;
constexpr uint64_t smallSize = 64 << 10;
constexpr uint64_t totalBytes = bigCount * bigSize + smallCount * smallSize;

struct Corpus {
    DiskSourcePtr source;
    FileNodePtr root;
};

void fill(std::vector<uint8_t>& block, uint64_t seed) {
    uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (size_t i = 0; i + 8 <= block.size(); i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(block.data() + i, &x, 8);
    }
}

void writeAll(int fd, const std::vector<uint8_t>& block, size_t size) {
    if (::write(fd, block.data(), size) != static_cast<ssize_t>(size)) std::abort();
}

// The files and the image are made once and kept for later runs.
const Corpus& corpus() {
    static const Corpus c = [] {
        const fs::path files = scratch / "files", image = scratch / "image.img", stamp = scratch / "complete";
        auto root = FileNode::make("", true);
        auto big = FileNode::make("store", true), small = FileNode::make("små", true);
        root->add(big), root->add(small);
        const bool made = fs::exists(stamp);
        if (!made) {
            fs::remove_all(scratch);
            fs::create_directories(files / "store");
            fs::create_directories(files / "små");
        }
        int imageFD = made ? -1 : ::open(image.c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
        std::vector<uint8_t> block(bigSize);
        uint64_t offset = 0;
        auto add = [&](const FileNodePtr& folder, const std::string& name, uint64_t size, uint64_t seed) {
            if (!made) {
                block.resize(size);
                fill(block, seed);
                int fd = ::open((files / folder->name / name).c_str(), O_CREAT | O_TRUNC | O_WRONLY, 0644);
                writeAll(fd, block, size);
                ::close(fd);
                writeAll(imageFD, block, size);
            }
            folder->add(FileNode::make(name, false, size, EntryStatus::existing, Recoverability::good,
                                       std::vector<Extent>{{offset, size}}));
            offset += size;
        };
        for (uint64_t i = 0; i < bigCount; ++i) add(big, "film" + std::to_string(i) + ".mov", bigSize, i + 1);
        for (uint64_t i = 0; i < smallCount; ++i)
            add(small, "foto" + std::to_string(i) + ".jpg", smallSize, i + 1000);
        if (!made) {
            ::close(imageFD);
            ::sync();
            std::system(("touch '" + stamp.string() + "'").c_str());
        }
        // Warm the page cache for both sides.
        std::system(("cat '" + image.string() + "' > /dev/null; find '" + files.string() +
                     "' -type f -exec cat {} + > /dev/null")
                        .c_str());
        return Corpus{SourceOpener::openImage(image.string()), root};
    }();
    return c;
}

void clearDestination(const fs::path& out) {
    fs::remove_all(out);
    ::sync();
}

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// Rounds of `cp -r` and of the recovery, alternating which goes first, so
// that the machine's changing load falls on both alike; the counters are the
// median throughputs in MB/s. The iteration time is the recovery's.
void RecoverBesideCp(benchmark::State& state) {
    const Corpus& c = corpus();
    const fs::path cpOut = scratch / "out-cp", recoverOut = scratch / "out-recover";
    const std::string command = "cp -r '" + (scratch / "files").string() + "' '" + cpOut.string() + "'";
    std::vector<double> cpRates, recoverRates;
    using Clock = std::chrono::steady_clock;
    bool cpFirst = true;
    for (auto _ : state) {
        double recoverSeconds = 0;
        for (int round = 0; round < 2; ++round) {
            if ((round == 0) == cpFirst) {
                clearDestination(cpOut);
                auto start = Clock::now();
                if (std::system(command.c_str()) != 0) state.SkipWithError("cp failed");
                cpRates.push_back(totalBytes / 1e6 / seconds(Clock::now() - start));
            } else {
                clearDestination(recoverOut);
                auto start = Clock::now();
                WorkProgress reporter;
                RecoveryResult result =
                    RecoveryEngine::recover(c.root->children(), "Bench", *c.source, recoverOut, {}, reporter, nullptr);
                recoverSeconds = seconds(Clock::now() - start);
                if (result.recovered != bigCount + smallCount) state.SkipWithError("not every file was recovered");
                recoverRates.push_back(totalBytes / 1e6 / recoverSeconds);
            }
        }
        state.SetIterationTime(recoverSeconds);
        cpFirst = !cpFirst;
    }
    clearDestination(cpOut);
    clearDestination(recoverOut);
    state.SetBytesProcessed(static_cast<int64_t>(static_cast<uint64_t>(state.iterations()) * totalBytes));
    state.counters["files"] = bigCount + smallCount;
    state.counters["cp_MBps"] = median(cpRates);
    state.counters["recover_MBps"] = median(recoverRates);
    state.counters["recover_vs_cp"] = median(recoverRates) / median(cpRates);
}

}  // namespace

BENCHMARK(RecoverBesideCp)->Unit(benchmark::kMillisecond)->UseManualTime()->Iterations(5);
BENCHMARK_MAIN();
