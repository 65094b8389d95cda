// progress_bar.cpp

#include "tools/progress_bar.h"

#include <string>

#include "tools/interrupts.h"

namespace quarnhold::tools {

void ProgressBar::Update(uint64_t done, uint64_t total)
{
    if (!terminal_) return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && done != total && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    drawn_ = true;
    SetProgressLineOpen(true);
    // Each drawing goes out in one piece, so an interrupt never falls in the
    // middle of an escape sequence.
    std::string line = "\r\x1b[K";
    if (total == 0) {
        line += "planning: " + std::to_string(done) + " runs";
    } else {
        constexpr int Width = 40;
        int filled = static_cast<int>(Width * done / total);
        line += "[" + std::string(filled, '#') + std::string(Width - filled, '.') + "] " +
                std::to_string(100 * done / total) + "%  " + std::to_string(done) + "/" + std::to_string(total) +
                " runs";
    }
    out_ << line << std::flush;
}

void ProgressBar::Finish()
{
    if (drawn_) {
        out_ << "\r\x1b[K" << std::flush;
        drawn_ = false;
        SetProgressLineOpen(false);
    }
}

}  // namespace quarnhold::tools
