// Exact tick arithmetic: doubles lose nanoseconds beyond 2^53 (104 days of
// a 1 GHz clock, less than any clock counting from 1970).
#include "sync/clock_mapping.h"

namespace framesync {

uint64_t ticks_in_ns(uint64_t ticks, uint64_t frequency)
{
    if (frequency == 0)
        return 0;
    constexpr uint64_t kNsPerSecond = 1000000000u;
    const uint64_t seconds = ticks / frequency;
    const uint64_t rest = ticks % frequency;  // < frequency: rest * 1e9 may still exceed 64 bits
    __extension__ typedef unsigned __int128 wide;
    const uint64_t fraction = static_cast<uint64_t>(static_cast<wide>(rest) * kNsPerSecond / frequency);
    return seconds * kNsPerSecond + fraction;
}

int64_t camera_ns_to_host_ns(const VoraClockMapping& mapping, uint64_t camera_ns)
{
    const uint64_t mapped_ns = ticks_in_ns(mapping.camera_ticks, mapping.tick_frequency);
    const int64_t since = static_cast<int64_t>(camera_ns - mapped_ns);
    return static_cast<int64_t>(static_cast<uint64_t>(mapping.host_ns) + static_cast<uint64_t>(since));
}

}  // namespace framesync
