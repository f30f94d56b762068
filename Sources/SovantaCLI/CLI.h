// The command-line tool's commands, kept apart from main so tests can call them.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "SovantaCore/DiskSource.h"

namespace sovanta::cli {

// The usage text, without a final line feed.
extern const char* const usageText;

// Turns the first SIGINT or SIGTERM into a cancel of the work under way and
// a second one into an immediate exit; for the program's main only.
void catchInterrupts();

// Runs one command line (without the program path) and returns the exit status.
int run(const std::vector<std::string>& args);

// A text as every output line shows it: control characters (C0, DEL, C1),
// bidirectional controls and bytes that are no UTF-8 become visible escapes
// (a line feed "\\n", ESC "\\x1b", U+009B "\\u009b"), so that a name on a
// hostile disk cannot move the cursor, recolour or retitle the terminal, nor
// forge a line of its own.
std::string terminalText(std::string_view text);

}  // namespace sovanta::cli
