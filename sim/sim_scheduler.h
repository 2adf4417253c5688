// Which channel sends next: each channel's set-up as its registers say,
// software triggers, and the pace of free-running frames or of a feed.
#ifndef VORA_SIM_SCHEDULER_H
#define VORA_SIM_SCHEDULER_H

#include <atomic>
#include <chrono>
#include <cstddef>
#include <vector>

#include "sim_frame_source.h"

namespace vsim {

// The registers that steer the streams, read together under the camera's lock.
struct StreamRegisters {
    bool acquiring = false;
    bool triggered = false;      // the depth sensors send on software triggers only
    bool rgb_triggered = false;  // and so does the colour sensor
    struct Channel {
        ChannelConfig config;
        bool colour = false;  // it shows the colour sensor
    };
    std::vector<Channel> channels;
};

class Scheduler {
public:
    using Clock = std::chrono::steady_clock;

    // Free-running channels are first due at `start`.
    explicit Scheduler(size_t channels, Clock::time_point start = Clock::now());

    struct Plan {
        std::vector<size_t> due;  // the channels that send a frame now, in order
        bool started = false;     // acquisition has just started: the source rewinds
    };
    // Which channels send now. A triggered channel sends when a software
    // trigger is left (and uses it up); a channel set up anew forgets that
    // it was stopped and tells the source.
    Plan plan(const StreamRegisters& registers, FrameSource& source, std::atomic<int>& triggers,
              std::atomic<int>& rgb_triggers, Clock::time_point now);
    // A frame went out on the channel: the next is due one period later, or
    // at once when that has passed (a slow sender does not try to catch up).
    void sent(size_t channel, double frame_rate, Clock::time_point now);
    // The channel sends nothing more until it is set up anew.
    void stop(size_t channel) { channels_[channel].stopped = true; }

    const ChannelConfig& config(size_t channel) const { return channels_[channel].config; }
    bool acquiring() const { return acquiring_; }
    // When the next frame falls due, 50 ms after planning at the latest.
    Clock::time_point wake_at() const { return wake_at_; }

private:
    struct Channel {
        ChannelConfig config;
        Clock::time_point next_frame;
        bool stopped = false;  // a stop-mid-frame fault happened
    };
    std::vector<Channel> channels_;
    bool acquiring_ = false;
    Clock::time_point wake_at_;
};

}  // namespace vsim

#endif
