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

int64_t camera_ticks_to_host_ns(const VoraClockMapping& mapping, uint64_t camera_ticks)
{
    // Ticks since the mapping first, so that a wrap of the tick counter
    // between the two is a small difference.
    const int64_t since_ticks = static_cast<int64_t>(camera_ticks - mapping.camera_ticks);
    if (mapping.tick_frequency == 0)
        return mapping.host_ns;
    const uint64_t magnitude =
        since_ticks < 0 ? 0 - static_cast<uint64_t>(since_ticks) : static_cast<uint64_t>(since_ticks);
    const uint64_t ns = ticks_in_ns(magnitude, mapping.tick_frequency);
    const uint64_t host = static_cast<uint64_t>(mapping.host_ns);
    return static_cast<int64_t>(since_ticks < 0 ? host - ns : host + ns);
}

}  // namespace framesync
