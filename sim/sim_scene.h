// What the simulated camera's sensors see: a small room rendered by casting
// one ray per pixel, so that depth clouds and colour images of the different
// sensors agree with each other through the factory calibration.
#ifndef VORA_SIM_SCENE_H
#define VORA_SIM_SCENE_H

#include <cstdint>
#include <vector>

#include "sim_camera.h"
#include "vora_pixel_format.h"

namespace vsim {

// The room, in millimetres in the camera frame of CMOS 0 (x right, y down,
// z forward). The floor and the wall close every view: no pixel sees nothing.
namespace scene {
inline constexpr double floor_y = 600;                   // floor plane, below the camera
inline constexpr double wall_z = 2600;                   // back wall, facing the camera
inline constexpr double box_min[3] = {-550, 200, 1350};  // standing on the floor
inline constexpr double box_max[3] = {-150, 600, 1750};
inline constexpr double sphere_centre[3] = {350, 350, 1400};  // resting on the floor
inline constexpr double sphere_radius = 250;
inline constexpr double max_range = 10000;  // along the ray; nothing is seen farther
inline constexpr double checker_mm = 250;   // floor tiles
}  // namespace scene

// Pixel formats the sensors can deliver.
namespace pixel {
inline constexpr uint32_t mono8 = PIXEL_FORMAT_MONO8;
inline constexpr uint32_t bayer_rg8 = PIXEL_FORMAT_BAYER_RG8;
inline constexpr uint32_t yuv422_8 = PIXEL_FORMAT_YUV422_8;
inline constexpr uint32_t rgb8 = PIXEL_FORMAT_RGB8;
inline constexpr uint32_t coord3d_abc16 = PIXEL_FORMAT_COORD3D_ABC16;
}  // namespace pixel

// True for the formats render_sensor can produce.
bool renders(uint32_t pixel_format);

// Region of interest of a sensor's image, in sensor pixels.
struct Roi {
    uint32_t width, height, offset_x, offset_y;
};

// Renders one frame of `sensor` as it sees the room. The format decides what
// comes out: Coord3D_ABC16 is an organised cloud (x, y signed, z unsigned,
// little-endian 16-bit, `cloud_unit` raw units per millimetre, in the frame
// of CMOS 0; (0,0,0) where nothing is hit or a value does not fit); RGB8,
// YUV422_8 (Y0 U Y1 V), BayerRG8 and Mono8 are the lit colour image. Any
// other format gives an empty vector.
std::vector<uint8_t> render_sensor(const SimSensor& sensor, const Roi& roi, uint32_t pixel_format, uint32_t cloud_unit);

// The noise of a depth sensor on a rendered Coord3D_ABC16 cloud: every
// point moved along its ray by up to noise_mm, by an amount that depends
// only on the block id and the point, so that a block sent again (packet
// resend) carries the same points.
void add_depth_noise(std::vector<uint8_t>& cloud, uint16_t block_id, double noise_mm, uint32_t cloud_unit);

}  // namespace vsim

#endif
