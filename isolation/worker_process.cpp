// worker_process.cpp
//
// Requests and answers travel as frames on a socket pair: a kind byte (0 an
// answer, 1 the message of an exception the handler threw), a 64-bit length,
// then the bytes. The child's standard error goes to a pipe the parent
// drains while it waits, and whose last line it keeps.

#include "isolation/worker_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>

namespace quarnhold::isolation {
namespace {

// The workers alive now, where a signal handler can find them.
constexpr size_t WorkerSlots = 8;
std::atomic<pid_t> liveWorkers[WorkerSlots];

// Whether a slot was free to note `pid` in.
bool NoteWorker(pid_t pid)
{
    for (std::atomic<pid_t>& slot : liveWorkers) {
        pid_t empty = 0;
        if (slot.compare_exchange_strong(empty, pid)) return true;
    }
    return false;
}

// Whether `pid` was noted; false when KillWorkersNow has already ended it.
bool ForgetWorker(pid_t pid)
{
    for (std::atomic<pid_t>& slot : liveWorkers) {
        pid_t noted = pid;
        if (slot.compare_exchange_strong(noted, 0)) return true;
    }
    return false;
}

constexpr uint8_t AnswerFrame = 0;
constexpr uint8_t ExceptionFrame = 1;
constexpr size_t ErrorTailBytes = 4096;

bool WriteAll(int fd, const void* data, size_t size)
{
    const char* at = static_cast<const char*>(data);
    while (size > 0) {
        ssize_t sent = send(fd, at, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        at += sent;
        size -= static_cast<size_t>(sent);
    }
    return true;
}

constexpr size_t FrameHeaderBytes = 1 + sizeof(uint64_t);

// One frame, sent whole in one call.
bool WriteFrame(int fd, uint8_t kind, std::string_view bytes)
{
    const uint64_t length = bytes.size();
    std::string frame(FrameHeaderBytes + bytes.size(), '\0');
    frame[0] = static_cast<char>(kind);
    std::memcpy(frame.data() + 1, &length, sizeof length);
    std::memcpy(frame.data() + FrameHeaderBytes, bytes.data(), bytes.size());
    return WriteAll(fd, frame.data(), frame.size());
}

// One frame. Each side sends one frame and then waits for the other's, so a
// read can never take in part of a next frame: it reads all there is, which
// is usually the whole frame in one call.
bool ReadFrame(int fd, uint8_t& kind, std::string& bytes)
{
    static std::string received(64 * 1024, '\0');
    size_t have = 0;
    uint64_t length = 0;
    for (;;) {
        if (have >= FrameHeaderBytes) {
            std::memcpy(&length, received.data() + 1, sizeof length);
            if (have - FrameHeaderBytes >= length) break;
            if (received.size() - FrameHeaderBytes < length) received.resize(FrameHeaderBytes + length);
        }
        ssize_t got = recv(fd, received.data() + have, received.size() - have, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        have += static_cast<size_t>(got);
    }
    kind = static_cast<uint8_t>(received[0]);
    bytes.assign(received, FrameHeaderBytes, length);
    return true;
}

// The child's life: answer requests until the parent closes the channel.
// Never returns, and never runs the destructors or exit handlers of the
// parent's objects it inherited: those belong to the parent.
[[noreturn]] void Serve(int channel, pid_t parent, const WorkerProcess::Handler& handler, DeathNote& note)
{
    // Dies with the parent, however the parent goes.
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent) _exit(0);
    // Interrupts are the parent's to handle: it ends the child when it goes.
    // So a death by signal is always something that went wrong in here.
    for (int signal : {SIGINT, SIGHUP, SIGTERM, SIGQUIT, SIGPIPE}) {
        ::signal(signal, SIG_IGN);
    }
    NoteDeathsInto(note);
    // A death in here is expected and reported; a core file of it would only
    // cost time and litter the working folder.
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    std::string request;
    for (;;) {
        uint8_t kind = 0;
        if (!ReadFrame(channel, kind, request)) _exit(0);
        std::string answer;
        kind = AnswerFrame;
        try {
            answer = handler(request);
        } catch (const std::exception& failure) {
            kind = ExceptionFrame;
            answer = failure.what();
        } catch (...) {
            kind = ExceptionFrame;
            answer = "an exception of unknown type";
        }
        if (!WriteFrame(channel, kind, answer)) _exit(0);
    }
}

// The last non-empty line of `text`, without its line end.
std::string LastLine(const std::string& text)
{
    size_t end = text.find_last_not_of("\r\n");
    if (end == std::string::npos) return "";
    size_t begin = text.rfind('\n', end);
    return text.substr(begin == std::string::npos ? 0 : begin + 1,
                       end + 1 - (begin == std::string::npos ? 0 : begin + 1));
}

}  // namespace

WorkerProcess::WorkerProcess(Handler handler, std::chrono::milliseconds answerTimeout)
    : handler_(std::move(handler)), answerTimeout_(answerTimeout)
{
}

WorkerProcess::~WorkerProcess()
{
    if (pid_ > 0) Reap(true);
}

void WorkerProcess::Start()
{
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) {
        throw std::runtime_error(std::string("cannot make a channel to a worker process: ") + strerror(errno));
    }
    int errors[2];
    if (pipe2(errors, O_CLOEXEC) != 0) {
        const int error = errno;
        close(channel[0]);
        close(channel[1]);
        throw std::runtime_error(std::string("cannot make a pipe for a worker process: ") + strerror(error));
    }
    if (!deathNote_) deathNote_ = std::make_unique<SharedRecord<DeathNote>>();
    DeathNote& note = **deathNote_;
    note.signal = 0;
    oomKillsAtStart_ = OomKills();
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        close(errors[0]);
        dup2(errors[1], STDERR_FILENO);
        close(errors[1]);
        Serve(channel[1], parent, handler_, note);
    }
    const int error = errno;
    close(channel[1]);
    close(errors[1]);
    if (pid < 0) {
        close(channel[0]);
        close(errors[0]);
        throw std::runtime_error(std::string("cannot start a worker process: ") + strerror(error));
    }
    fcntl(errors[0], F_SETFL, O_NONBLOCK);
    noted_ = NoteWorker(pid);
    pid_ = pid;
    channel_ = channel[0];
    errors_ = errors[0];
}

void WorkerProcess::DrainErrors()
{
    char buffer[4096];
    for (;;) {
        ssize_t got = read(errors_, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return;
        errorTail_.append(buffer, static_cast<size_t>(got));
        if (errorTail_.size() > ErrorTailBytes) errorTail_.erase(0, errorTail_.size() - ErrorTailBytes);
    }
}

WorkerEnd WorkerProcess::Reap(bool kill, std::string how)
{
    int status = 0;
    const pid_t pid = pid_;
    // A worker KillWorkersNow ended is reaped already, and its process id
    // may be another process's by now: leave it alone.
    if (!noted_ || ForgetWorker(pid_)) {
        if (kill) ::kill(pid_, SIGKILL);
        while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
    } else if (how.empty()) {
        how = "was ended by an interrupt";
    }
    // The child is gone, so whatever it wrote is in the pipe by now.
    fcntl(errors_, F_SETFL, 0);
    DrainErrors();
    close(channel_);
    close(errors_);
    pid_ = -1;
    channel_ = errors_ = -1;
    bool fromOutside = false;
    if (how.empty()) {
        if (!WIFSIGNALED(status)) {
            how = "exited with status " + std::to_string(WEXITSTATUS(status));
        } else if (std::optional<std::string> outside =
                       kill ? std::nullopt : KilledFromOutside(WTERMSIG(status), **deathNote_, pid, oomKillsAtStart_)) {
            how = *outside;
            fromOutside = true;
        } else {
            how = "died of " + SignalName(WTERMSIG(status));
        }
    }
    WorkerEnd end{how, LastLine(errorTail_), fromOutside};
    errorTail_.clear();
    return end;
}

std::variant<std::string, WorkerEnd> WorkerProcess::Ask(std::string_view request)
{
    return Ask(request, answerTimeout_, nullptr);
}

std::variant<std::string, WorkerEnd> WorkerProcess::Ask(std::string_view request, std::chrono::milliseconds every,
                                                        const Watch& watch)
{
    if (pid_ < 0) Start();
    errorTail_.clear();
    if (!WriteFrame(channel_, AnswerFrame, request)) return Reap(false);

    const auto deadline = std::chrono::steady_clock::now() + answerTimeout_;
    bool errorsOpen = true;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return Reap(true, "gave no answer within " + std::to_string((answerTimeout_.count() + 999) / 1000) + " s");
        }
        pollfd fds[2] = {{channel_, POLLIN, 0}, {errorsOpen ? errors_ : -1, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(std::min(left, every).count())) < 0) {
            if (errno == EINTR) continue;
            throw std::runtime_error(std::string("cannot wait for a worker process: ") + strerror(errno));
        }
        if (fds[1].revents & POLLIN) DrainErrors();
        if (fds[1].revents & ~POLLIN) errorsOpen = false;  // closed: nothing more will come
        if (fds[0].revents == 0) {
            if (watch) {
                if (std::optional<std::string> reason = watch()) return Reap(true, *reason);
            }
            continue;
        }
        uint8_t kind = 0;
        std::string answer;
        if (!ReadFrame(channel_, kind, answer)) return Reap(false);
        // The child answered, so what it wrote on the way (poll has shown it
        // with the answer) is no last words: pass it on.
        if (!errorTail_.empty()) {
            std::fwrite(errorTail_.data(), 1, errorTail_.size(), stderr);
            errorTail_.clear();
        }
        if (kind == ExceptionFrame) throw std::runtime_error(answer);
        return answer;
    }
}

void KillWorkersNow() noexcept
{
    for (std::atomic<pid_t>& slot : liveWorkers) {
        const pid_t pid = slot.exchange(0);
        if (pid <= 0) continue;
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
}

}  // namespace quarnhold::isolation
