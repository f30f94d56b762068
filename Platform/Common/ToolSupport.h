// What the Linux stand-ins for the macOS tools share: starting a program and
// reading its output, their command lines, and printing a property list.
#pragma once

#include <string>
#include <vector>

#include <plist/plist.h>

namespace platform {

// Where a started program's standard error goes.
enum class StandardError {
    inherit,  // the stand-in's own
    discard,  // /dev/null
    capture,  // with its standard output
};

// Runs a program (looked up on PATH) with standard input from /dev/null;
// returns its exit status (-1 when it could not be started or did not exit)
// and, when asked, its standard output.
int run(const std::vector<std::string>& args, std::string* output = nullptr,
        StandardError errors = StandardError::inherit);

// The text without trailing line feeds and spaces.
std::string trimmed(std::string text);

// The arguments from index first on that are not options (do not begin with "-").
std::vector<std::string> operands(const std::vector<std::string>& args, size_t first = 1);

// Writes root as an XML property list to standard output and frees it.
void printPlist(plist_t root);

}  // namespace platform
