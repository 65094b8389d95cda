// child_process.cpp

#include "real_kernel/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

extern char** environ;

namespace quarnhold::real_kernel {
namespace {

// This process's environment with `extra` NAME=VALUE entries put over it.
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& extra)
{
    std::vector<std::string> entries;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        std::string_view text(*entry);
        bool replaced = false;
        for (const std::string& added : extra) {
            size_t nameLength = added.find('=');
            if (text.substr(0, nameLength + 1) == std::string_view(added).substr(0, nameLength + 1)) replaced = true;
        }
        if (!replaced) entries.emplace_back(text);
    }
    entries.insert(entries.end(), extra.begin(), extra.end());
    return entries;
}

// argv or envp for exec: the strings' pointers, then a null.
std::vector<char*> Pointers(const std::vector<std::string>& strings)
{
    std::vector<char*> pointers;
    for (const std::string& text : strings) pointers.push_back(const_cast<char*>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

// Reads both pipes until both close, so neither can fill and stall the child.
void Drain(int outFd, int errFd, std::string* out, std::string* err)
{
    std::array<pollfd, 2> fds{{{outFd, POLLIN, 0}, {errFd, POLLIN, 0}}};
    std::array<std::string*, 2> sinks{out, err};
    int open = 0;
    for (pollfd& fd : fds) {
        if (fd.fd >= 0) ++open;
    }
    while (open > 0) {
        if (poll(fds.data(), fds.size(), -1) < 0) continue;
        for (size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buffer[65536];
            ssize_t got = read(fds[i].fd, buffer, sizeof(buffer));
            if (got > 0) {
                sinks[i]->append(buffer, static_cast<size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
}

}  // namespace

std::string ShowCommand(const std::vector<std::string>& argv)
{
    std::string shown;
    for (const std::string& arg : argv) {
        if (!shown.empty()) shown += ' ';
        bool plain = !arg.empty() && arg.find_first_of(" '\"\\$*?()<>|&;") == std::string::npos;
        shown += plain ? arg : "'" + arg + "'";
    }
    return shown;
}

ProcessResult RunProcess(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    int out[2] = {-1, -1}, err[2];
    if ((!options.outputFile && pipe2(out, O_CLOEXEC) != 0) || pipe2(err, O_CLOEXEC) != 0) {
        throw CheckError("cannot make pipes to run " + argv.front());
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    if (options.outputFile) {
        posix_spawn_file_actions_addopen(&actions, 1, options.outputFile->c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    } else {
        posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    }
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);

    std::vector<std::string> environment = EnvironmentWith(options.environment);
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(environment);
    pid_t pid;
    int spawned = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (out[1] >= 0) close(out[1]);
    close(err[1]);
    if (spawned != 0) {
        if (out[0] >= 0) close(out[0]);
        close(err[0]);
        throw CheckError("cannot run " + argv.front() + ": " + std::strerror(spawned));
    }

    ProcessResult result;
    Drain(out[0], err[0], &result.out, &result.err);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

std::string RunOrThrow(const std::vector<std::string>& argv, const ProcessOptions& options)
{
    ProcessResult result = RunProcess(argv, options);
    if (result.exitCode != 0) {
        std::string reason = result.err.empty() ? result.out : result.err;
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) reason.pop_back();
        throw CheckError(ShowCommand(argv) + " failed (exit status " + std::to_string(result.exitCode) +
                         (reason.empty() ? ")" : "): " + reason));
    }
    return result.out;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, const std::filesystem::path& outputFile)
{
    // Opened before the fork: the child may only make async-signal-safe calls.
    int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (output < 0) throw CheckError("cannot write " + outputFile.string());
    std::vector<char*> args = Pointers(argv);
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
        // QEMU keeps running on its own forever: it ends with this process,
        // however this process ends (the signal comes when the thread that
        // started it ends, which is after it has been stopped).
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) _exit(127);
        int input = open("/dev/null", O_RDONLY);
        if (input < 0 || dup2(input, 0) < 0 || dup2(output, 1) < 0 || dup2(output, 2) < 0) _exit(127);
        execvp(args[0], args.data());
        _exit(127);
    }
    close(output);
    if (pid_ < 0) throw CheckError("cannot start " + argv.front() + ": " + std::strerror(errno));
}

BackgroundProcess::~BackgroundProcess()
{
    Stop();
}

bool BackgroundProcess::Running()
{
    if (ended_) return false;
    int status = 0;
    pid_t got = waitpid(pid_, &status, WNOHANG);
    if (got == pid_ || (got < 0 && errno == ECHILD)) ended_ = true;
    return !ended_;
}

void BackgroundProcess::Stop()
{
    using namespace std::chrono_literals;
    if (!Running()) return;
    kill(pid_, SIGTERM);
    for (auto waited = 0ms; waited < 10s; waited += 100ms) {
        if (!Running()) return;
        std::this_thread::sleep_for(100ms);
    }
    kill(pid_, SIGKILL);
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    ended_ = true;
}

}  // namespace quarnhold::real_kernel
