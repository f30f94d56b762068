#include "ToolSupport.h"

#include <cerrno>
#include <cstdio>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace platform {

int run(const std::vector<std::string>& args, std::string* output, StandardError errors) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return -1;
    pid_t pid = fork();
    if (pid < 0) {
        close(pipeFds[0]);
        close(pipeFds[1]);
        return -1;
    }
    if (pid == 0) {
        dup2(pipeFds[1], 1);
        int null = open("/dev/null", O_RDWR);
        if (errors == StandardError::capture)
            dup2(pipeFds[1], 2);
        else if (errors == StandardError::discard && null >= 0)
            dup2(null, 2);
        if (null >= 0) dup2(null, 0);
        close(pipeFds[0]);
        close(pipeFds[1]);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(pipeFds[1]);
    std::string out;
    char buffer[4096];
    ssize_t n;
    while ((n = read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0) out.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output) *output = out;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
}

std::vector<std::string> operands(const std::vector<std::string>& args, size_t first) {
    std::vector<std::string> out;
    for (size_t i = first; i < args.size(); ++i)
        if (args[i].empty() || args[i][0] != '-') out.push_back(args[i]);
    return out;
}

void printPlist(plist_t root) {
    char* xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root, &xml, &length);
    std::fwrite(xml, 1, length, stdout);
    plist_to_xml_free(xml);
    plist_free(root);
}

}  // namespace platform
