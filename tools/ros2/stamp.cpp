// Camera ticks to host time.
#include "stamp.h"

#include <time.h>

#include <limits>

namespace vora_ros2 {

int64_t host_time_ns(const ClockMapping& clock, uint64_t ticks)
{
    if (!clock.usable())
        return clock.host0_ns;
    const uint64_t forward = ticks - clock.camera0;
    const bool before = forward > (std::numeric_limits<uint64_t>::max() >> 1);
    const uint64_t magnitude = before ? ~forward + 1 : forward;
    // Whole seconds and the remainder apart, so that no product overflows
    // whatever the frequency.
    const uint64_t seconds = magnitude / clock.frequency;
    const uint64_t rest = magnitude % clock.frequency;
    const auto rest_ns = static_cast<uint64_t>(static_cast<unsigned __int128>(rest) * 1000000000u / clock.frequency);
    constexpr uint64_t kLimit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) / 1000000000u - 1;
    const uint64_t offset = seconds > kLimit ? kLimit * 1000000000u : seconds * 1000000000u + rest_ns;
    const __int128 t =
        before ? static_cast<__int128>(clock.host0_ns) - offset : static_cast<__int128>(clock.host0_ns) + offset;
    if (t > std::numeric_limits<int64_t>::max())
        return std::numeric_limits<int64_t>::max();
    if (t < std::numeric_limits<int64_t>::min())
        return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(t);
}

RosTime ros_time(int64_t ns)
{
    int64_t sec = ns / 1000000000;
    int64_t rest = ns % 1000000000;
    if (rest < 0) {
        rest += 1000000000;
        --sec;
    }
    RosTime t;
    if (sec > std::numeric_limits<int32_t>::max()) {
        t.sec = std::numeric_limits<int32_t>::max();
        t.nanosec = 999999999u;
    } else if (sec < std::numeric_limits<int32_t>::min()) {
        t.sec = std::numeric_limits<int32_t>::min();
        t.nanosec = 0;
    } else {
        t.sec = static_cast<int32_t>(sec);
        t.nanosec = static_cast<uint32_t>(rest);
    }
    return t;
}

int64_t realtime_ns()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace vora_ros2
