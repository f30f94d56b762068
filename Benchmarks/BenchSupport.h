// What the benchmarks share: the unpacked test images, running a reference
// tool with its output thrown away, and the process's resident size.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SovantaCore/Model.h"

extern char** environ;

namespace sovanta::bench {

// Reads a file start to end in pieces of the given size: once to put it in
// the page cache, and as the plain read that the read benchmarks are measured
// against.
inline void readWhole(const std::string& path, int64_t size, int64_t piece) {
    int fd = ::open(path.c_str(), O_RDONLY);
    std::vector<uint8_t> buffer(static_cast<size_t>(piece));
    for (int64_t off = 0; off < size; off += piece)
        benchmark::DoNotOptimize(::pread(fd, buffer.data(), buffer.size(), off));
    ::close(fd);
}

inline void plainSequentialRead(benchmark::State& state, const std::string& path, int64_t size, int64_t piece) {
    for (auto _ : state) readWhole(path, size, piece);
    state.SetBytesProcessed(state.iterations() * size);
}

// The unpacked image of a test fixture in the build tree.
inline std::string fixtureImage(const std::string& name) {
    return std::string(SOVANTA_FIXTURE_DIR) + "/" + name + "/" + name + ".img";
}

// The nodes below root (not root itself) for which counts(node) holds.
template <typename Counts>
int64_t countBelow(const FileNodePtr& root, Counts&& counts) {
    int64_t n = 0;
    std::vector<FileNodePtr> stack{root};
    while (!stack.empty()) {
        auto node = stack.back();
        stack.pop_back();
        for (auto& child : node->children()) {
            if (counts(*child)) ++n;
            stack.push_back(child);
        }
    }
    return n;
}

struct ChildRun {
    bool started = false;
    int status = -1;    // the exit status, -1 when it did not exit
    long peakKiB = 0;   // the child's peak resident size
    bool succeeded() const { return started && status == 0; }
};

// Runs a program found on PATH with its standard output (and, when asked, its
// standard error) sent to /dev/null, and waits for it.
inline ChildRun runQuietly(const std::vector<std::string>& args, bool discardErrors = false) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (discardErrors) posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ChildRun run;
    pid_t pid = 0;
    run.started = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (!run.started) return run;
    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
    run.peakKiB = usage.ru_maxrss;
    return run;
}

// runQuietly for a reference tool inside a benchmark: when the tool cannot be
// started or fails, the benchmark is marked skipped with the reason.
inline ChildRun runReference(benchmark::State& state, const std::vector<std::string>& args) {
    auto run = runQuietly(args);
    if (!run.started)
        state.SkipWithError((args[0] + " is not installed").c_str());
    else if (!run.succeeded())
        state.SkipWithError((args[0] + " failed on the image").c_str());
    return run;
}

// A line of /proc/self/status in KiB ("VmHWM", "VmRSS").
inline int64_t statusKiB(const std::string& key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key + ":", 0) == 0) return std::atoll(line.c_str() + key.size() + 1);
    return 0;
}

// Resets the resident high-water mark to the current resident size.
inline void resetResidentPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

}  // namespace sovanta::bench
