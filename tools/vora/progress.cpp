// The capture progress display.
#include "progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <utility>

namespace vora_tool {

Progress::Progress(bool by_frames, double target, std::vector<unsigned short> channels, const char* doing)
    : by_frames_(by_frames), target_(target), doing_(doing), channels_(std::move(channels)),
      tty_(isatty(STDERR_FILENO) == 1)
{}

std::string Progress::counts(const std::vector<unsigned>& captured) const
{
    std::string text;
    for (size_t i = 0; i < channels_.size() && i < captured.size(); ++i)
        text += "  ch" + std::to_string(channels_[i]) + " " + std::to_string(captured[i]);
    return text;
}

void Progress::draw(double elapsed_s, const std::vector<unsigned>& captured)
{
    double done = 0;
    if (by_frames_) {
        // The slowest channel decides when the capture ends.
        unsigned least = captured.empty() ? 0 : *std::min_element(captured.begin(), captured.end());
        done = target_ > 0 ? least / target_ : 1;
    } else {
        done = target_ > 0 ? elapsed_s / target_ : 1;
    }
    done = std::min(1.0, std::max(0.0, done));
    if (tty_) {
        const int width = 30;
        const int filled = static_cast<int>(done * width + 0.5);
        std::fprintf(stderr, "\r[%s%s] %3d%%  %5.1f s%s\033[K", std::string(static_cast<size_t>(filled), '#').c_str(),
                     std::string(static_cast<size_t>(width - filled), '-').c_str(), static_cast<int>(done * 100 + 0.5),
                     elapsed_s, counts(captured).c_str());
    } else {
        std::fprintf(stderr, "%s: %.1f s, frames%s\n", doing_, elapsed_s, counts(captured).c_str());
    }
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::update(double elapsed_s, const std::vector<unsigned>& captured)
{
    const double period = tty_ ? 0.1 : 1.0;
    if (last_ >= 0 && elapsed_s - last_ < period)
        return;
    last_ = elapsed_s;
    draw(elapsed_s, captured);
}

void Progress::finish(double elapsed_s, const std::vector<unsigned>& captured)
{
    if (tty_) {
        draw(elapsed_s, captured);
        std::fputc('\n', stderr);
    } else if (drawn_) {
        draw(elapsed_s, captured);
    }
    std::fflush(stderr);
}

}  // namespace vora_tool
