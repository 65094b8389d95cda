// command.h
//
// Runs another program and captures what it writes, for the tests that
// check a command as a person would run it.

#pragma once

#include <string>
#include <vector>

namespace quarnhold::tests {

struct CommandResult {
    int exitCode = -1;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] found on PATH unless it has a slash) with no input.
CommandResult RunCommand(const std::vector<std::string>& argv);

}  // namespace quarnhold::tests
