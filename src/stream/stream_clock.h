// Where a stream takes its time from: a monotonic clock for every interval,
// so that a step of the wall clock never fires or stalls a time-out, and the
// host's wall clock for the time stamps of frames. A manual clock stands
// still until it is moved, so tests decide what time it is.
#ifndef VORA_STREAM_CLOCK_H
#define VORA_STREAM_CLOCK_H

#include <atomic>
#include <cstdint>

class StreamClock {
public:
    // Microseconds on the monotonic clock.
    int64_t monotonic_us() const;
    // Microseconds since the Unix epoch.
    int64_t wall_us() const;

    // Stops the clock at the given readings; from now on only advance()
    // moves it.
    void set_manual(int64_t monotonic_us, int64_t wall_us);
    void advance(int64_t us);

private:
    std::atomic<bool> manual_{false};
    std::atomic<int64_t> monotonic_{0};
    std::atomic<int64_t> wall_{0};
};

#endif
