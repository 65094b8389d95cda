// worker_process.h
//
// A child process, forked from this one, that answers requests with a
// handler it inherited along with everything else in memory. Whatever ends
// the child abnormally (an abort, a crash, a hang) ends only the child: the
// parent learns how it ended and starts a fresh child for the next request.

#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "isolation/shared_record.h"
#include "isolation/worker_death.h"

namespace quarnhold::isolation {

// How a worker ended without answering.
struct WorkerEnd {
    std::string how;        // "died of SIGABRT", "exited with status 3", "gave no answer within 30 s"
    std::string lastWords;  // the last line it wrote to standard error; empty when none
    // Someone outside ended it (see worker_death.h): nothing the request
    // made it do. `how` is then "was killed from outside (...)".
    bool killedFromOutside = false;
};

class WorkerProcess {
public:
    // Runs in the child, once per request; an exception it throws comes
    // back to Ask's caller as std::runtime_error with the same message.
    using Handler = std::function<std::string(std::string_view request)>;

    // No child is started until the first request.
    WorkerProcess(Handler handler, std::chrono::milliseconds answerTimeout);
    // Stops the child, if one runs.
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    // The handler's answer to `request`, or how the child ended without
    // one. Starts a child when none runs. Throws std::runtime_error when no
    // child can be started.
    std::variant<std::string, WorkerEnd> Ask(std::string_view request);

    // Says, when asked while the child works, why to stop waiting for it;
    // nothing to go on waiting.
    using Watch = std::function<std::optional<std::string>()>;
    // The same, calling `watch` about every `every` while the child works;
    // when it gives a reason, the child is killed and ends with that reason.
    std::variant<std::string, WorkerEnd> Ask(std::string_view request, std::chrono::milliseconds every,
                                             const Watch& watch);

    // The child's process id; -1 when none runs.
    pid_t Pid() const { return pid_; }

private:
    void Start();
    // Reaps the child after its channel closed, or kills it first when
    // `kill` is set, and says how it ended.
    WorkerEnd Reap(bool kill, std::string how = "");
    // Moves what the child wrote to standard error into errorTail_.
    void DrainErrors();

    Handler handler_;
    std::chrono::milliseconds answerTimeout_;
    pid_t pid_ = -1;
    bool noted_ = false;  // where KillWorkersNow can find it
    int channel_ = -1;    // our end of the request/answer socket
    int errors_ = -1;     // the read end of the child's standard error
    std::string errorTail_;
    // What the child notes of the signal it dies of, and the kernel's count
    // of out-of-memory kills from before it started.
    std::unique_ptr<SharedRecord<DeathNote>> deathNote_;
    std::optional<uint64_t> oomKillsAtStart_;
};

// Kills every worker this process runs and waits for each to go. Async-
// signal-safe: for an interrupt handler, before it removes the folders the
// workers may be writing in.
void KillWorkersNow() noexcept;

}  // namespace quarnhold::isolation
