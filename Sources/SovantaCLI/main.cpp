#include <cstdio>

#include "SovantaCLI/CLI.h"

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    sovanta::cli::catchInterrupts();
    return sovanta::cli::run(args);
}
