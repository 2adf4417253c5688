// Which channel sends next, and when.
#include "sim_scheduler.h"

#include <algorithm>

namespace vsim {

Scheduler::Scheduler(size_t channels, Clock::time_point start) : channels_(channels), wake_at_(start)
{
    for (Channel& ch : channels_)
        ch.next_frame = start;
}

Scheduler::Plan Scheduler::plan(const StreamRegisters& registers, FrameSource& source, std::atomic<int>& triggers,
                                std::atomic<int>& rgb_triggers, Clock::time_point now)
{
    Plan plan;
    wake_at_ = now + std::chrono::milliseconds(50);
    if (registers.acquiring && !acquiring_) {
        plan.started = true;
        source.acquisition_started();
    }
    acquiring_ = registers.acquiring;
    bool fired[2] = {false, false};  // a depth, a colour trigger was used
    for (size_t n = 0; n < channels_.size() && n < registers.channels.size(); ++n) {
        Channel& ch = channels_[n];
        const ChannelConfig& c = registers.channels[n].config;
        if (c != ch.config) {
            ch.config = c;
            source.reconfigured(n);
            ch.stopped = false;
        }
        if (!acquiring_ || c.host == 0 || c.port == 0 || c.packet_size <= GVSP_OVERHEAD || ch.stopped)
            continue;
        const bool colour = registers.channels[n].colour;
        if (colour ? registers.rgb_triggered : registers.triggered) {
            // One trigger exposes the sensors of its kind together: every
            // triggered channel of that kind sends a frame for it.
            if ((colour ? rgb_triggers : triggers) > 0) {
                fired[colour] = true;
                plan.due.push_back(n);
            }
            continue;
        }
        if (source.paced() && !source.due(n, &ch.next_frame))
            continue;
        if (now >= ch.next_frame)
            plan.due.push_back(n);
        else
            wake_at_ = std::min(wake_at_, ch.next_frame);
    }
    if (fired[0])
        --triggers;
    if (fired[1])
        --rgb_triggers;
    return plan;
}

void Scheduler::sent(size_t channel, double frame_rate, Clock::time_point now)
{
    Channel& ch = channels_[channel];
    const auto period = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(1.0 / (frame_rate > 0 ? frame_rate : 1.0)));
    ch.next_frame += period;
    if (ch.next_frame < now)
        ch.next_frame = now;
    wake_at_ = std::min(wake_at_, ch.next_frame);
}

}  // namespace vsim
