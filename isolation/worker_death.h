// worker_death.h
//
// Who ended a worker that died of a signal: the worker itself (a crash, an
// abort inside the emulator, which is the run's doing) or someone outside
// (a person's kill, the kernel's out-of-memory killer, a host limit), which
// says nothing of the driver. The worker notes the sender of every signal
// it can catch in memory it shares with its parent before it dies of it;
// SIGKILL cannot be caught, and nothing inside the worker sends it.

#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

namespace quarnhold::isolation {

// What a dying worker noted of the signal that ends it.
struct DeathNote {
    std::atomic<int> signal{0};
    std::atomic<int> code{0};  // si_code: how it was sent
    std::atomic<pid_t> sender{0};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<pid_t>::is_always_lock_free,
              "a signal handler writes the note");

// In the worker: notes into `note` every signal that would end it and that
// it can catch, then dies of it as it would have.
void NoteDeathsInto(DeathNote& note) noexcept;

// How many processes the kernel's out-of-memory killer has ended in this
// process's memory cgroup (cgroup v2's memory.events); nothing where that
// cannot be read.
std::optional<uint64_t> OomKills();

// For a worker `worker` that died of `signal` having left `note`: "was
// killed from outside (...)" with what is known of who did it, or nothing
// when the worker raised the signal itself or the kernel raised it for
// something the worker did. `oomKillsBefore` is OomKills() from before
// the worker started.
std::optional<std::string> KilledFromOutside(int signal, const DeathNote& note, pid_t worker,
                                             std::optional<uint64_t> oomKillsBefore);

// "SIGABRT", or "signal 77" for one without a name.
std::string SignalName(int signal);

}  // namespace quarnhold::isolation
