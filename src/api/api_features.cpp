// Exported feature controls and the firmware upgrade: each finds its camera
// object and forwards.
#include "api/api_table.h"
#include "camera/vora_gige_camera.h"

namespace {

// The missing-object answer of the 64-bit getters: -99 as an unsigned 64-bit value.
constexpr unsigned long long MISSING_64 =
    static_cast<unsigned long long>(static_cast<long long>(VORA_ERR_CAMERA_MISSING));

}  // namespace

extern "C" {

int SetHeartBeatTimeout(int index, int timeout_ms)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetHeartBeatTimeout(timeout_ms) : VORA_ERR_CAMERA_MISSING;
}

int SetAutoExposure(int index, int mode, int sensor)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetAutoExposure(mode, sensor) : VORA_ERR_CAMERA_MISSING;
}

int GetAutoExposure(int index, int sensor)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetAutoExposure(sensor) : VORA_ERR_CAMERA_MISSING;
}

int SetCamExposureGainLevel(int index, int sensor, int level)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetCamExposureGainLevel(sensor, level) : VORA_ERR_CAMERA_MISSING;
}

int GetCamExposureGainLevel(int index, int sensor)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetCamExposureGainLevel(sensor) : VORA_ERR_CAMERA_MISSING;
}

int SetMutipleExposure(int index, int count)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetMutipleExposure(count) : VORA_ERR_CAMERA_MISSING;
}

int GetMutipleExposure(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetMutipleExposure() : VORA_ERR_CAMERA_MISSING;
}

int SetExposureTime(int index, int time, int sensor)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetExposureTime(time, sensor) : VORA_ERR_CAMERA_MISSING;
}

int GetExposureTime(int index, int sensor)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetExposureTime(sensor) : VORA_ERR_CAMERA_MISSING;
}

int SetGain(int index, int type, int value, int channel)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetGain(type, value, channel) : VORA_ERR_CAMERA_MISSING;
}

int GetGain(int index, int type, int channel)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetGain(type, channel) : VORA_ERR_CAMERA_MISSING;
}

int SetTriggerMode(int index, int mode)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetTriggerMode(mode) : VORA_ERR_CAMERA_MISSING;
}

int SetTriggerSource(int index, int source)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetTriggerSource(source) : VORA_ERR_CAMERA_MISSING;
}

int SetTriggerCount(int index, int count)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetTriggerCount(count) : VORA_ERR_CAMERA_MISSING;
}

int SetRGBTriggerMode(int index, int mode)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetRGBTriggerMode(mode) : VORA_ERR_CAMERA_MISSING;
}

int SetRGBTriggerCount(int index, int count)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetRGBTriggerCount(count) : VORA_ERR_CAMERA_MISSING;
}

int AcquisitionStart(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->AcquisitionStart() : VORA_ERR_CAMERA_MISSING;
}

int AcquisitionStop(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->AcquisitionStop() : VORA_ERR_CAMERA_MISSING;
}

int SetRoi(int index, int channel, int size_x, int size_y, int offset_x, int offset_y)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetRoi(channel, size_x, size_y, offset_x, offset_y) : VORA_ERR_CAMERA_MISSING;
}

int SetTimestamp(int index, int on)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetTimestamp(on) : VORA_ERR_CAMERA_MISSING;
}

int GetTimestamp(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetTimestamp() : VORA_ERR_CAMERA_MISSING;
}

int GetTimestampStatus(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetTimestampStatus() : VORA_ERR_CAMERA_MISSING;
}

int SetTimestampControlLatch(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetTimestampControlLatch() : VORA_ERR_CAMERA_MISSING;
}

unsigned long long GetTimestampValue(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetTimestampValue() : MISSING_64;
}

unsigned long long GetTimestampTickFrequency(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetTimestampTickFrequency() : MISSING_64;
}

int SetStrobeLEDswitch(int index, int on)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetStrobeLEDswitch(on) : VORA_ERR_CAMERA_MISSING;
}

int GetStrobeLEDswitch(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetStrobeLEDswitch() : VORA_ERR_CAMERA_MISSING;
}

int SetLaserbrightness(int index, int percent)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetLaserbrightness(percent) : VORA_ERR_CAMERA_MISSING;
}

int GetLaserbrightness(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetLaserbrightness() : VORA_ERR_CAMERA_MISSING;
}

int SetStrobeLEDbrightress(int index, int percent)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->SetStrobeLEDbrightress(percent) : VORA_ERR_CAMERA_MISSING;
}

int GetStrobeLEDbrightress(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetStrobeLEDbrightress() : VORA_ERR_CAMERA_MISSING;
}

int FirmwareUpgrade(int index, const char* path)
{
    GigeCamera* camera = camera_at(index);
    const DiscoveryInfo* info = discovery_record(index);
    if (!camera || !info)
        return VORA_ERR_CAMERA_MISSING;
    return camera->FirmwareUpgrade(*info, path);
}

}  // extern "C"
