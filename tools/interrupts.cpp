// interrupts.cpp

#include "tools/interrupts.h"

#include <signal.h>
#include <unistd.h>

#include "testbed/scratch_disk.h"

namespace quarnhold::tools {
namespace {

volatile sig_atomic_t progressLineOpen = 0;

// Runs in the signal's context: only async-signal-safe calls from here on.
void OnInterrupt(int signal)
{
    testbed::RemoveScratchFoldersNow();
    if (progressLineOpen) {
        (void)!write(STDERR_FILENO, "\n", 1);
    }
    _exit(128 + signal);
}

}  // namespace

void CleanUpOnInterrupt()
{
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // One cleanup at a time, whichever of the three comes.
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&action.sa_mask, signal);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
        // A signal ignored on entry (nohup, a background job) stays ignored.
        struct sigaction before {};
        if (sigaction(signal, nullptr, &before) == 0 && before.sa_handler == SIG_IGN) continue;
        sigaction(signal, &action, nullptr);
    }
}

void SetProgressLineOpen(bool open) noexcept
{
    progressLineOpen = open ? 1 : 0;
}

}  // namespace quarnhold::tools
