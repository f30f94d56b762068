// Helpers shared by the tests: temporary folders, fixtures, running the CLI.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace sovanta::test {

// A fresh folder under the temporary directory, removed with the object.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "sovanta-test-XXXXXX").string();
        if (!mkdtemp(pattern.data())) std::abort();
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

// An unpacked fixture in the build tree, e.g. fixture("fat16/fat16.img").
inline std::string fixture(const std::string& relative) { return std::string(SOVANTA_FIXTURE_DIR) + "/" + relative; }
// A committed fixture file (manifests and the like), e.g. fixtureSource("fat16/fat16.manifest.tsv").
inline std::string fixtureSource(const std::string& relative) {
    return std::string(SOVANTA_FIXTURE_SOURCE_DIR) + "/" + relative;
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool isRoot() { return geteuid() == 0; }

struct ProcessResult {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs a program with arguments, optional extra environment ("NAME=value") and
// working directory; captures standard output and error.
inline ProcessResult runProgram(const std::string& program, const std::vector<std::string>& args,
                                const std::vector<std::string>& environment = {}, const std::string& cwd = "") {
    TempDir capture;
    std::string outPath = capture.file("out"), errPath = capture.file("err");
    pid_t pid = fork();
    if (pid == 0) {
        if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
        if (!freopen(outPath.c_str(), "w", stdout) || !freopen(errPath.c_str(), "w", stderr)) _exit(126);
        for (auto& e : environment) putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> argv = {const_cast<char*>(program.c_str())};
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    ProcessResult r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readFile(outPath);
    r.err = readFile(errPath);
    return r;
}

inline ProcessResult runCLI(const std::vector<std::string>& args, const std::vector<std::string>& environment = {},
                            const std::string& cwd = "") {
    return runProgram(SOVANTA_CLI, args, environment, cwd);
}

}  // namespace sovanta::test
