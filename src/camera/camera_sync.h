// What a camera offers for synchronised capture, read from its bootstrap
// registers, its action keys, and its clock as the host sees it.
#ifndef VORA_CAMERA_SYNC_H
#define VORA_CAMERA_SYNC_H

#include <cstdint>

#include "vora_qelcamera_api.h"

class GigeCamera;

namespace camera_sync {

// 0, -11 when not connected, or the failing read's status.
int read_capability(GigeCamera& camera, VoraSyncCapability* out);
// -91 when the camera has no action commands, or no such signal.
int set_device_key(GigeCamera& camera, uint32_t key);
int set_group(GigeCamera& camera, uint32_t signal, uint32_t key, uint32_t mask);
int get_group(GigeCamera& camera, uint32_t signal, uint32_t* key, uint32_t* mask);
// Latches the camera's clock a few times; keeps the reading whose exchange
// was shortest, stamped with the host time halfway through it.
int clock_mapping(GigeCamera& camera, VoraClockMapping* out);
// Camera ticks as host realtime ns by the mapping; ticks on either side of
// the mapped reading (and across a wrap of the counter) both work.
int64_t ticks_to_host_ns(const VoraClockMapping& mapping, uint64_t ticks);

}  // namespace camera_sync

#endif
