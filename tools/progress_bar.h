// progress_bar.h
//
// A one-line progress bar for long runs, redrawn in place on a terminal and
// silent anywhere else, so logs and pipes get only the final report. An
// interrupt while it is drawn ends its line (see interrupts.h).

#pragma once

#include <chrono>
#include <cstdint>
#include <ostream>

namespace quarnhold::tools {

class ProgressBar {
public:
    // Draws on `out` only when `terminal` is true.
    ProgressBar(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}
    ~ProgressBar() { Finish(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // `done` of `total` runs; a `total` of 0 means not yet known. Redraws at
    // most ten times a second.
    void Update(uint64_t done, uint64_t total);
    // Clears the bar's line.
    void Finish();

private:
    std::ostream& out_;
    bool terminal_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point lastDrawn_{};
};

}  // namespace quarnhold::tools
