// Exported frame sets: frames of several cameras grouped by time stamp.
#include "vora_qelcamera_api.h"

extern "C" {

int OpenFrameSet(const VoraSetMember*, int, const VoraFrameSetOptions*)
{
    return VORA_ERR_FAILED;
}

int NextFrameSet(int, PhotoInfo*, VoraSetFrameInfo*, VoraFrameSetInfo*, long long)
{
    return VORA_ERR_FRAME_SET_MISSING;
}

int GetFrameSetStatistics(int, VoraFrameSetStatistics*)
{
    return VORA_ERR_FRAME_SET_MISSING;
}

int CloseFrameSet(int)
{
    return VORA_ERR_FRAME_SET_MISSING;
}

}  // extern "C"
