// helper_process.cpp

#include "tools/helper_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/syscall.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>

namespace quarnhold::tools {
namespace {

constexpr size_t ErrorTailBytes = 4096;

// A pipe's two ends, closed when it goes. The helper's input is a socket
// pair instead, which can be written with MSG_NOSIGNAL: a helper that goes
// before it has read everything must not take quarnhold-run down with
// SIGPIPE.
struct Pipe {
    int read = -1;
    int write = -1;
    explicit Pipe(bool socket = false)
    {
        int ends[2];
        if ((socket ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) : pipe2(ends, O_CLOEXEC)) != 0) {
            throw std::runtime_error(std::string("cannot make a pipe for a helper program: ") + strerror(errno));
        }
        read = ends[0];
        write = ends[1];
    }
    ~Pipe()
    {
        CloseRead();
        CloseWrite();
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    void CloseRead()
    {
        if (read >= 0) close(read);
        read = -1;
    }
    void CloseWrite()
    {
        if (write >= 0) close(write);
        write = -1;
    }
};

// In the child, between fork and exec: only async-signal-safe calls.
[[noreturn]] void BecomeHelper(pid_t parent, const Pipe& input, const Pipe& output, const Pipe& errors,
                               const char* program, char* const* argv, const HelperLimits& limits)
{
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(127);
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    const rlimit space{limits.addressSpaceBytes, limits.addressSpaceBytes};
    setrlimit(RLIMIT_AS, &space);
    // quarnhold-run ignores these for itself; the helper gets the defaults.
    signal(SIGPIPE, SIG_DFL);
    signal(SIGXFSZ, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (dup2(input.read, STDIN_FILENO) < 0 || dup2(output.write, STDOUT_FILENO) < 0 ||
        dup2(errors.write, STDERR_FILENO) < 0) {
        _exit(127);
    }
    // Nothing else of quarnhold-run's (a worker's channel) reaches the helper.
    close_range(3, ~0u, 0);
    execv(program, argv);
    _exit(127);
}

std::string LastLine(const std::string& text)
{
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return "";
    size_t begin = text.rfind('\n', end);
    begin = begin == std::string::npos ? 0 : begin + 1;
    return text.substr(begin, end + 1 - begin);
}

}  // namespace

std::optional<std::filesystem::path> FindProgram(std::string_view program)
{
    const char* path = std::getenv("PATH");
    std::string_view folders = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
    while (true) {
        const size_t colon = folders.find(':');
        std::string_view folder = folders.substr(0, colon);
        // An empty entry is the working folder, as for the shell.
        std::filesystem::path candidate = std::filesystem::path(folder.empty() ? "." : folder) / program;
        std::error_code error;
        if (std::filesystem::is_regular_file(candidate, error) && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
        if (colon == std::string_view::npos) return std::nullopt;
        folders.remove_prefix(colon + 1);
    }
}

HelperRun RunHelper(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                    std::string_view input, const HelperLimits& limits)
{
    std::vector<std::string> words{program.string()};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    Pipe in(true), out, err;
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error(std::string("cannot start ") + program.string() + ": " + strerror(errno));
    if (pid == 0) BecomeHelper(parent, in, out, err, words.front().c_str(), argv.data(), limits);
    in.CloseRead();
    out.CloseWrite();
    err.CloseWrite();
    for (int fd : {in.write, out.read, err.read}) fcntl(fd, F_SETFL, O_NONBLOCK);

    HelperRun run;
    std::string errorTail;
    size_t written = 0;
    if (input.empty()) in.CloseWrite();
    // Readable when the helper has ended: one that closes its output and
    // goes on (or leaves a child holding it) is still held to the time.
    // (By its system call: glibc 2.36's <sys/pidfd.h> declares pidfd_open
    // without C linkage.)
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    int status = 0;
    bool exited = false;
    const auto reap = [&] {
        if (!exited && waitpid(pid, &status, WNOHANG) == pid) exited = true;
    };
    // Takes in what the helper wrote; false once it wrote more than allowed.
    const auto take = [&](Pipe& pipe, bool output) {
        char buffer[16384];
        for (;;) {
            ssize_t got = read(pipe.read, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got < 0 && errno == EAGAIN) return true;
            if (got <= 0) {
                pipe.CloseRead();
                return true;
            }
            std::string& into = output ? run.out : errorTail;
            into.append(buffer, static_cast<size_t>(got));
            if (!output && errorTail.size() > ErrorTailBytes) errorTail.erase(0, errorTail.size() - ErrorTailBytes);
            if (output && run.out.size() > limits.outputBytes) {
                run.out.resize(limits.outputBytes);
                return false;
            }
        }
    };
    const auto deadline = std::chrono::steady_clock::now() + limits.time;
    bool stopped = false;  // killed for the time or the output
    while (!stopped) {
        if (exited || (out.read < 0 && err.read < 0 && (reap(), exited))) {
            // What it wrote before it went is all in the pipes by now.
            if (out.read >= 0 && !take(out, true)) {
                run.end = HelperRun::End::TooMuchOutput;
                stopped = true;
            }
            if (err.read >= 0) take(err, false);
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            run.end = HelperRun::End::TimedOut;
            stopped = true;
            break;
        }
        // Without a process descriptor, an ended helper is looked for now and then.
        if (ended < 0 && out.read < 0 && err.read < 0) left = std::min(left, std::chrono::milliseconds(10));
        pollfd fds[4] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}, {in.write, POLLOUT, 0}, {ended, POLLIN, 0}};
        if (poll(fds, 4, static_cast<int>(left.count())) < 0) {
            if (errno == EINTR) continue;
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            if (ended >= 0) close(ended);
            throw std::runtime_error(std::string("cannot wait for ") + program.string() + ": " + strerror(errno));
        }
        if (fds[2].revents != 0) {
            ssize_t sent = send(in.write, input.data() + written, input.size() - written, MSG_NOSIGNAL);
            if (sent > 0) written += static_cast<size_t>(sent);
            // A helper that stops reading (or has read all) gets no more.
            if ((sent < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) in.CloseWrite();
        }
        if (fds[0].revents != 0 && !take(out, true)) {
            run.end = HelperRun::End::TooMuchOutput;
            stopped = true;
        }
        if (fds[1].revents != 0) take(err, false);
        if (fds[3].revents != 0) reap();
    }
    if (ended >= 0) close(ended);
    if (stopped) kill(pid, SIGKILL);
    while (!exited && waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    run.errorLine = LastLine(errorTail);
    if (!stopped) {
        run.end = WIFSIGNALED(status) ? HelperRun::End::Signalled : HelperRun::End::Exited;
        run.code = WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status);
    }
    return run;
}

std::string DescribeHelperEnd(const HelperRun& run, const HelperLimits& limits)
{
    switch (run.end) {
        case HelperRun::End::Exited:
            return "exited with status " + std::to_string(run.code);
        case HelperRun::End::Signalled: {
            const char* abbreviation = sigabbrev_np(run.code);
            return "died of " +
                   (abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(run.code));
        }
        case HelperRun::End::TimedOut:
            return "gave no answer within " + std::to_string((limits.time.count() + 999) / 1000) + " s";
        case HelperRun::End::TooMuchOutput:
            return "wrote more than " + std::to_string(limits.outputBytes) + " bytes";
    }
    return "ended";
}

}  // namespace quarnhold::tools
