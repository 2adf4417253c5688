// What ROS tools expect of a camera's data: clouds in metres (REP 103),
// depth images in millimetres with 0 for none (REP 118), the camera model
// of sensor_msgs/CameraInfo, and each sensor's optical frame placed in the
// camera's body frame (REP 103, 105). The recorder and the exported
// functions (and through them the ROS 2 bridge) share these.
#ifndef VORA_ROS_CONVENTIONS_H
#define VORA_ROS_CONVENTIONS_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "vora_base_type.h"

namespace imaging {

// Raw Coord3D_ABC16 points to metres: x, y, z per point, NaN where z is 0.
void raw_points_to_metres(const char* raw, size_t points, uint32_t cloud_unit, float* out);
// Raw points' z to millimetres, rounded; 0 where there is none or it does not fit.
void raw_points_to_depth_mm(const char* raw, size_t points, uint32_t cloud_unit, uint16_t* out);

struct RosCameraModel {
    double k[9], d[5], r[9], p[12];
};
RosCameraModel ros_camera_model(const CameraParameter& calibration, uint32_t offset_x, uint32_t offset_y);

struct RosPose {
    double translation[3];  // metres
    double rotation[4];     // quaternion x, y, z, w
};
// False when the calibration's rotation is not a rotation (not orthonormal
// within a loose tolerance, or a reflection).
bool ros_sensor_pose(const CameraParameter& calibration, RosPose* out);

// The role of stream channel `channel` among a camera's channels, given
// every channel's pixel format: "depth" for its lowest-numbered point-cloud
// channel, "depth2" for the next, and so on; "color", "color2" for image
// channels (grey, colour, Bayer, YUV); "" for a channel out of range or a
// format that has no ROS message.
std::string ros_channel_role(const uint32_t* formats, size_t count, size_t channel);

}  // namespace imaging

#endif
