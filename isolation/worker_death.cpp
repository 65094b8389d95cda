// worker_death.cpp

#include "isolation/worker_death.h"

#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace quarnhold::isolation {
namespace {

DeathNote* noted = nullptr;

// Runs in the dying worker: only async-signal-safe calls.
void NoteAndDie(int signal, siginfo_t* info, void*)
{
    if (noted != nullptr && noted->signal.load() == 0) {
        noted->code.store(info->si_code);
        noted->sender.store(info->si_pid);
        noted->signal.store(signal);
    }
    ::signal(signal, SIG_DFL);
    raise(signal);
}

}  // namespace

void NoteDeathsInto(DeathNote& note) noexcept
{
    noted = &note;
    struct sigaction action {};
    action.sa_sigaction = NoteAndDie;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    for (int signal = 1; signal < NSIG; ++signal) {
        // Only those whose default is to end the process, and that are not
        // ignored already.
        if (signal == SIGKILL || signal == SIGSTOP || signal == SIGCHLD || signal == SIGCONT || signal == SIGURG ||
            signal == SIGWINCH || signal == SIGTSTP || signal == SIGTTIN || signal == SIGTTOU) {
            continue;
        }
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) != 0 || before.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
}

std::optional<uint64_t> OomKills()
{
    std::ifstream groups("/proc/self/cgroup");
    std::string line, path;
    while (std::getline(groups, line)) {
        if (line.rfind("0::", 0) == 0) path = line.substr(3);
    }
    if (path.empty()) return std::nullopt;
    std::ifstream events("/sys/fs/cgroup" + path + "/memory.events");
    std::string key;
    uint64_t value = 0;
    while (events >> key >> value) {
        if (key == "oom_kill") return value;
    }
    return std::nullopt;
}

std::optional<std::string> KilledFromOutside(int signal, const DeathNote& note, pid_t worker,
                                             std::optional<uint64_t> oomKillsBefore)
{
    const std::string name = SignalName(signal);
    if (signal == SIGKILL) {
        // Nothing in the worker sends it: a person, a supervisor, the hard
        // CPU time limit, or the kernel short of memory.
        const std::optional<uint64_t> oomKillsNow = OomKills();
        if (oomKillsBefore && oomKillsNow && *oomKillsNow > *oomKillsBefore) {
            return "was killed from outside (SIGKILL, by the kernel's out-of-memory killer)";
        }
        return "was killed from outside (SIGKILL)";
    }
    if (signal == SIGXCPU) return "was killed from outside (SIGXCPU: it ran out of the host's CPU time limit)";
    if (note.signal.load() != signal) return std::nullopt;  // no word of it: the worker's own, as far as is known
    const int code = note.code.load();
    const pid_t sender = note.sender.load();
    // Sent with kill(), sigqueue() or tgkill() by another process; the
    // worker's own abort() is tgkill() from itself, and a fault the kernel
    // raises has a positive code.
    if ((code == SI_USER || code == SI_QUEUE || code == SI_TKILL) && sender != worker) {
        return "was killed from outside (" + name + " from process " + std::to_string(sender) + ")";
    }
    return std::nullopt;
}

std::string SignalName(int signal)
{
    const char* abbreviation = sigabbrev_np(signal);
    return abbreviation != nullptr ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

}  // namespace quarnhold::isolation
