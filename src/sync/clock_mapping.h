// Camera time as host time, by a clock mapping (GetClockMapping's record).
#ifndef VORA_SYNC_CLOCK_MAPPING_H
#define VORA_SYNC_CLOCK_MAPPING_H

#include <cstdint>

#include "vora_qelcamera_api.h"

namespace framesync {

// ticks at frequency Hz in nanoseconds, exactly, modulo 2^64 (so that a
// wrapping counter stays a wrapping counter); 0 for frequency 0.
uint64_t ticks_in_ns(uint64_t ticks, uint64_t frequency);
// A camera time stamp already in nanoseconds (as frames carry them) as host
// realtime nanoseconds: the mapping's host time plus the camera's time since
// the mapping was taken, which may be negative or have wrapped.
int64_t camera_ns_to_host_ns(const VoraClockMapping& mapping, uint64_t camera_ns);
// The same for a time stamp in camera ticks.
int64_t camera_ticks_to_host_ns(const VoraClockMapping& mapping, uint64_t camera_ticks);

}  // namespace framesync

#endif
