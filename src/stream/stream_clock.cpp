#include "stream/stream_clock.h"

#include "stream/vora_asyncqueue.h"

int64_t StreamClock::monotonic_us() const
{
    return manual_ ? monotonic_.load() : get_monotonic_time();
}

int64_t StreamClock::wall_us() const
{
    return manual_ ? wall_.load() : get_real_time();
}

void StreamClock::set_manual(int64_t monotonic_us, int64_t wall_us)
{
    monotonic_ = monotonic_us;
    wall_ = wall_us;
    manual_ = true;
}

void StreamClock::advance(int64_t us)
{
    monotonic_ += us;
    wall_ += us;
}
