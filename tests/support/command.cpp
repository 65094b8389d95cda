// command.cpp

#include "tests/support/command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace quarnhold::tests {
namespace {

// The test's environment with `overrides` ("NAME=value") set over it.
std::vector<std::string> Environment(const std::vector<std::string>& overrides)
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string text = *entry;
        bool overridden = false;
        for (const std::string& override : overrides) {
            overridden =
                overridden || text.compare(0, override.find('=') + 1, override, 0, override.find('=') + 1) == 0;
        }
        if (!overridden) entries.push_back(std::move(text));
    }
    entries.insert(entries.end(), overrides.begin(), overrides.end());
    return entries;
}

std::vector<char*> Pointers(std::vector<std::string>& texts)
{
    std::vector<char*> pointers;
    for (std::string& text : texts) pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

}  // namespace

pid_t StartCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment, int out, int err)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    for (auto [from, to] : {std::pair{out, 1}, std::pair{err, 2}}) {
        if (from < 0) {
            posix_spawn_file_actions_addclose(&actions, to);
        } else {
            posix_spawn_file_actions_adddup2(&actions, from, to);
        }
    }
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);

    std::vector<std::string> args = argv;
    std::vector<std::string> environmentTexts = Environment(environment);
    std::vector<char*> argPointers = Pointers(args);
    std::vector<char*> environmentPointers = Pointers(environmentTexts);
    pid_t pid;
    int spawned =
        posix_spawnp(&pid, argPointers[0], &actions, &attributes, argPointers.data(), environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0) {
        throw std::runtime_error("cannot run " + argv.front() + ": " + std::strerror(spawned));
    }
    return pid;
}

int WaitCommand(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

CommandResult RunCommand(const std::vector<std::string>& argv, const std::vector<std::string>& environment)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("cannot make pipes");
    }
    pid_t pid;
    try {
        pid = StartCommand(argv, environment, out[1], err[1]);
    } catch (...) {
        for (int fd : {out[0], out[1], err[0], err[1]}) close(fd);
        throw;
    }
    close(out[1]);
    close(err[1]);

    // Read both pipes together, so neither can fill and stall the child.
    CommandResult result;
    std::array<pollfd, 2> fds{{{out[0], POLLIN, 0}, {err[0], POLLIN, 0}}};
    std::array<std::string*, 2> sinks{&result.out, &result.err};
    int open = 2;
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP))) continue;
            char buffer[4096];
            ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    result.exitCode = WaitCommand(pid);
    return result;
}

}  // namespace quarnhold::tests
