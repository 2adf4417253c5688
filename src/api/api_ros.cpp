// Exported ROS conventions: conversions of a frame and of a calibration
// record, needing no camera.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "imaging/ros_conventions.h"
#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"

namespace {

// A cloud whose payload holds all its points, and room for `per_point`
// values per point at the caller's side.
bool cloud_fits(const PhotoInfo* frame, const void* out, unsigned long long capacity, unsigned per_point,
                size_t* points)
{
    if (!frame || !frame->pixel || !out || frame->pixel_format != PIXEL_FORMAT_COORD3D_ABC16 || frame->cloud_unit == 0)
        return false;
    const unsigned long long n = static_cast<unsigned long long>(frame->pixel_width) * frame->pixel_height;
    // Divided, not multiplied: a hostile width times height times 6 wraps.
    if (n > frame->payload_size / 6 || n > capacity / per_point)
        return false;
    *points = static_cast<size_t>(n);
    return true;
}

}  // namespace

extern "C" {

int ConvertPointCloudToMetres(const PhotoInfo* frame, float* xyz, unsigned long long capacity)
{
    size_t points = 0;
    if (!cloud_fits(frame, xyz, capacity, 3, &points))
        return VORA_ERR_INVALID_ARG;
    imaging::raw_points_to_metres(frame->pixel, points, frame->cloud_unit, xyz);
    return VORA_OK;
}

int ConvertPointCloudToDepthImage(const PhotoInfo* frame, unsigned short* depth_mm, unsigned long long capacity)
{
    size_t points = 0;
    if (!cloud_fits(frame, depth_mm, capacity, 1, &points))
        return VORA_ERR_INVALID_ARG;
    imaging::raw_points_to_depth_mm(frame->pixel, points, frame->cloud_unit, depth_mm);
    return VORA_OK;
}

int GetRosCameraModel(const CameraParameter* calibration, unsigned int offset_x, unsigned int offset_y, double* k,
                      double* d, double* r, double* p)
{
    if (!calibration || !k || !d || !r || !p)
        return VORA_ERR_INVALID_ARG;
    const imaging::RosCameraModel m = imaging::ros_camera_model(*calibration, offset_x, offset_y);
    for (int i = 0; i < 9; ++i) {
        k[i] = m.k[i];
        r[i] = m.r[i];
    }
    for (int i = 0; i < 5; ++i)
        d[i] = m.d[i];
    for (int i = 0; i < 12; ++i)
        p[i] = m.p[i];
    return VORA_OK;
}

int GetRosSensorPose(const CameraParameter* calibration, double* translation, double* rotation)
{
    imaging::RosPose pose{};
    if (!calibration || !translation || !rotation || !imaging::ros_sensor_pose(*calibration, &pose))
        return VORA_ERR_INVALID_ARG;
    for (int i = 0; i < 3; ++i)
        translation[i] = pose.translation[i];
    for (int i = 0; i < 4; ++i)
        rotation[i] = pose.rotation[i];
    return VORA_OK;
}

int GetRosChannelRole(const unsigned int* pixel_formats, unsigned int count, unsigned int channel, char* role,
                      unsigned int capacity)
{
    if (!pixel_formats || !role)
        return VORA_ERR_INVALID_ARG;
    static_assert(sizeof(unsigned int) == sizeof(uint32_t), "pixel formats are 32-bit codes");
    const std::string r = imaging::ros_channel_role(pixel_formats, count, channel);
    if (r.empty() || r.size() >= capacity)
        return VORA_ERR_INVALID_ARG;
    std::memcpy(role, r.c_str(), r.size() + 1);
    return VORA_OK;
}

}  // extern "C"
