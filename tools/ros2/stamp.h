// Frame time stamps on the host's clock. A frame carries the camera's
// ticks; the bridge latches the camera's clock once against the host's
// realtime clock and maps every tick count from there.
#ifndef VORA_ROS2_STAMP_H
#define VORA_ROS2_STAMP_H

#include <cstdint>

namespace vora_ros2 {

// builtin_interfaces/Time.
struct RosTime {
    int32_t sec = 0;
    uint32_t nanosec = 0;
};

struct ClockMapping {
    int64_t host0_ns = 0;    // realtime, at the latch
    uint64_t camera0 = 0;    // the camera's ticks at the latch
    uint64_t frequency = 0;  // ticks per second; 0: no usable clock
    bool usable() const { return frequency != 0; }
};

// host0 + (ticks - camera0) / frequency, in nanoseconds of the realtime
// clock. Ticks before the latch give earlier times; the difference is
// taken modulo 2^64 as signed, so a counter that wrapped once still maps.
int64_t host_time_ns(const ClockMapping& clock, uint64_t ticks);
// Nanoseconds since the epoch as ROS time: nanosec in [0, 1e9), sec held
// within int32 (saturated outside it).
RosTime ros_time(int64_t ns);
// The realtime clock now, in nanoseconds.
int64_t realtime_ns();

}  // namespace vora_ros2

#endif
