// interrupts.h
//
// SIGINT, SIGTERM and SIGHUP during a run or a sweep: nothing is left
// behind. The handler removes every scratch folder the process holds, ends
// a progress line left open on the terminal, and exits with 128 + the
// signal's number (130, 143, 129), as a shell reports an interrupted
// command.

#pragma once

namespace quarnhold::tools {

// Installs the handler for the three signals. Called first thing in main.
void CleanUpOnInterrupt();

// Whether a progress line is drawn on standard error with no line feed
// after it yet; async-signal-safe to read, so the handler can end it.
void SetProgressLineOpen(bool open) noexcept;

}  // namespace quarnhold::tools
