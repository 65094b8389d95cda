// command.h
//
// Runs another program and captures what it writes, for the tests that
// check a command as a person would run it.

#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace quarnhold::tests {

struct CommandResult {
    int exitCode = -1;  // -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs `argv` (argv[0] found on PATH unless it has a slash) with no input.
// `environment` holds "NAME=value" entries set over the test's own.
CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment = {});

// Starts `argv` with no input, standard output and standard error on `out`
// and `err` (-1: closed), the environment as RunCommand takes it, and
// SIGINT, SIGTERM, SIGHUP and SIGPIPE at their defaults, whatever the test
// inherited.
// Returns its process id.
pid_t StartCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int out, int err);

// Waits for a started command: its exit status, or -1 when a signal ended it.
int WaitCommand(pid_t pid);

}  // namespace quarnhold::tests
