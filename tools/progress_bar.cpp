// progress_bar.cpp

#include "tools/progress_bar.h"

#include <string>

namespace quarnhold::tools {

void ProgressBar::Update(uint64_t done, uint64_t total)
{
    if (!terminal_) return;
    auto now = std::chrono::steady_clock::now();
    if (drawn_ && done != total && now - lastDrawn_ < std::chrono::milliseconds(100)) return;
    lastDrawn_ = now;
    drawn_ = true;
    if (total == 0) {
        out_ << "\r\x1b[K"
             << "planning: " << done << " runs" << std::flush;
        return;
    }
    constexpr int Width = 40;
    int filled = static_cast<int>(Width * done / total);
    out_ << "\r\x1b[K[" << std::string(filled, '#') << std::string(Width - filled, '.') << "] " << 100 * done / total
         << "%  " << done << "/" << total << " runs" << std::flush;
}

void ProgressBar::Finish()
{
    if (drawn_) {
        out_ << "\r\x1b[K" << std::flush;
        drawn_ = false;
    }
}

}  // namespace quarnhold::tools
