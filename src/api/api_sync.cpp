// Exported synchronised capture: action keys and commands, the cameras'
// clocks as the host sees them.
#include "vora_qelcamera_api.h"

extern "C" {

int GetSyncCapability(int, VoraSyncCapability*)
{
    return VORA_ERR_FAILED;
}

int SetActionDeviceKey(int, uint32_t)
{
    return VORA_ERR_FAILED;
}

int SetActionGroup(int, uint32_t, uint32_t, uint32_t)
{
    return VORA_ERR_FAILED;
}

int GetActionGroup(int, uint32_t, uint32_t*, uint32_t*)
{
    return VORA_ERR_FAILED;
}

int SendAction(const char*, const char*, const VoraAction*, int, VoraActionAck*, int)
{
    return VORA_ERR_FAILED;
}

int SendActionToCameras(const int*, int, const VoraAction*, int, VoraActionAck*)
{
    return VORA_ERR_FAILED;
}

int GetClockMapping(int, VoraClockMapping*)
{
    return VORA_ERR_FAILED;
}

int64_t CameraTicksToHostNs(const VoraClockMapping*, uint64_t)
{
    return 0;
}

}  // extern "C"
