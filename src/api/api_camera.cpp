// Exported functions of connection, register access, the device description
// and calibration: each finds its camera object and forwards.
#include <cstring>
#include <string>
#include <vector>

#include "api/api_table.h"
#include "camera/vora_gige_camera.h"
#include "vora_qelcamera_api_csharp.h"

extern "C" {

const char* SDKVersion(int index)
{
    return camera_at(index) ? "SDK VERSION 1.4.87" : "";
}

const char* CameraVerions(int index)
{
    thread_local char version[32];
    const DiscoveryInfo* info = discovery_record(index);
    if (!camera_at(index) || !info)
        return "";
    std::memset(version, 0, sizeof version);
    std::memcpy(version, info->device_version, strnlen(info->device_version, sizeof version - 1));
    return version;
}

int CameraConnect(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->CameraConnect(discovery_record(index)) : VORA_ERR_CAMERA_MISSING;
}

int GetConnectionState(int index)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    if (camera->is_connected())
        return VORA_OK;
    return camera->given_up ? VORA_ERR_CAMERA_LOST : VORA_ERR_NOT_CONNECTED;
}

int CameraDisconnect(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->CameraDisconnect() : VORA_ERR_CAMERA_MISSING;
}

int GetCameraCCPStatus(int index, int* ccp_status)
{
    GigeCamera* camera = camera_at(index);
    if (!camera) {
        if (ccp_status)
            *ccp_status = VORA_ERR_CCP_NO_CAMERA;
        return VORA_ERR_CAMERA_MISSING;
    }
    return camera->GetCameraCCPStatus(discovery_record(index), ccp_status);
}

int ReadRegisterWithoutControl(int index, unsigned int address, int* value)
{
    GigeCamera* camera = camera_at(index);
    if (!camera) {
        if (value)
            *value = -1;
        return VORA_ERR_CAMERA_MISSING;
    }
    return camera->ReadRegisterWithoutControl(discovery_record(index), address, value);
}

int GetHeartBeatTimeout(int index)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetHeartBeatTimeout() : VORA_ERR_CAMERA_MISSING;
}

int ReadRegister(int index, unsigned int address, int* value)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->ReadRegister(address, value) : VORA_ERR_CAMERA_MISSING;
}

int WriteRegister(int index, unsigned int address, int value)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->WriteRegister(address, value) : VORA_ERR_CAMERA_MISSING;
}

int GetRegisterAddr(int index, const char* name)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetRegisterAddr(name) : VORA_ERR_CAMERA_MISSING;
}

void ReadStringRegister(int index, const char* name, char* out)
{
    if (GigeCamera* camera = camera_at(index))
        camera->ReadStringRegister(name, out);
}

int GetNodeMaxValue(int index, const char* name)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetNodeMaxValue(name) : VORA_ERR_CAMERA_MISSING;
}

int GetNodeMinValue(int index, const char* name)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetNodeMinValue(name) : VORA_ERR_CAMERA_MISSING;
}

int GetNodeIncValue(int index, const char* name)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetNodeIncValue(name) : VORA_ERR_CAMERA_MISSING;
}

void GetCameraXMLNodeNames(int index, char names[][255], int* count)
{
    GigeCamera* camera = camera_at(index);
    if (!camera) {
        if (count)
            *count = -1;
        return;
    }
    std::vector<std::string> list;
    camera->GetCameraXMLNodeNames(&list);
    if (names) {
        for (size_t i = 0; i < list.size(); ++i) {
            const size_t n = list[i].size() < 254 ? list[i].size() : 254;
            std::memcpy(names[i], list[i].data(), n);
            names[i][n] = 0;
        }
    }
    if (count)
        *count = static_cast<int>(list.size());
}

void GetCameraXMLNodeNamesCSharp(int index, std::vector<std::string>* names)
{
    if (GigeCamera* camera = camera_at(index))
        camera->GetCameraXMLNodeNames(names);
}

int SaveXmlToLocal(int index, char* directory)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return camera->SaveXmlToLocal(directory ? std::string(directory) : std::string());
}

int GetCamInternelParameter(int index, int sensor, float* coefficients, float* matrix)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetCamInternelParameter(sensor, coefficients, matrix) : VORA_ERR_CAMERA_MISSING;
}

int GetCamExternelParameter(int index, int sensor, float* rotation, float* translation)
{
    GigeCamera* camera = camera_at(index);
    return camera ? camera->GetCamExternelParameter(sensor, rotation, translation) : VORA_ERR_CAMERA_MISSING;
}

}  // extern "C"
