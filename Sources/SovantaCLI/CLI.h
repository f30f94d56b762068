// The command-line tool's commands, kept apart from main so tests can call them.
#pragma once

#include <string>
#include <vector>

#include "SovantaCore/DiskSource.h"

namespace sovanta::cli {

// The usage text, without a final line feed.
extern const char* const usageText;

// Runs one command line (without the program path) and returns the exit status.
int run(const std::vector<std::string>& args);

// The ranges of SOVANTA_SIMULATE_BAD: comma-separated "start-end" decimal pairs.
std::vector<ByteRange> parseSimulatedBadRanges(const std::string& value);

}  // namespace sovanta::cli
