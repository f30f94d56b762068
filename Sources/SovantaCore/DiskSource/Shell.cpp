// Running a system tool with its output captured.
#include <cerrno>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "SovantaCore/DiskSource.h"

extern char** environ;

namespace sovanta::Shell {

namespace {
void readAll(int fd, Bytes& into) {
    uint8_t buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got > 0) into.insert(into.end(), buffer, buffer + got);
        else if (got < 0 && errno == EINTR) continue;
        else break;
    }
}
Bytes textBytes(const std::string& s) { return Bytes(s.begin(), s.end()); }
}  // namespace

Result run(const std::string& executable, const std::vector<std::string>& arguments) {
    Result result;
    // Close-on-exec, so that concurrent runs cannot inherit each other's pipes and hang.
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        result.stderrBytes = textBytes(std::strerror(errno));
        return result;
    }
    if (::pipe2(err, O_CLOEXEC) != 0) {
        result.stderrBytes = textBytes(std::strerror(errno));
        ::close(out[0]);
        ::close(out[1]);
        return result;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(executable.c_str()));
    for (auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);

    pid_t pid = 0;
    int spawned = posix_spawn(&pid, executable.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        result.stderrBytes = textBytes("Kunne ikke starte " + executable + ": " + std::strerror(spawned));
        return result;
    }
    // Both pipes drain at the same time, so a chatty tool cannot block on either.
    Bytes errorBytes;
    std::thread errorReader([&] { readAll(err[0], errorBytes); });
    readAll(out[0], result.stdoutBytes);
    errorReader.join();
    ::close(out[0]);
    ::close(err[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : -1);
    result.stderrBytes = std::move(errorBytes);
    return result;
}

}  // namespace sovanta::Shell
