// Relating a depth cloud to the pixel grids of the camera's sensors: the
// projection through one sensor's calibration, and fusion of a cloud with a
// colour image in both directions.
//
// The camera object passes in what these need (its calibration records, a
// reader of the CMOS index behind a stream channel, its log), so they can be
// exercised without a camera.
#ifndef VORA_IMAGING_FUSION_H
#define VORA_IMAGING_FUSION_H

#include <cstdint>
#include <functional>
#include <vector>

#include "imaging/cloud_convert.h"
#include "imaging/pixel_format.h"
#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// Reads the index of the sensor (CMOS) that feeds stream channel `channel`
// into `cmos`. Returns 0, or a negative code when the register cannot be
// read; `cmos` is then left alone. The camera's reader answers -11 while
// disconnected, -21 without a CmosIndex feature, -53 when the read goes
// unanswered, and a device's refusal as its 16-bit status sign-extended
// (0x8003, invalid address, gives -32765).
using CmosIndexReader = std::function<int(unsigned channel, uint32_t& cmos)>;

// Column u and row v of a projected point.
struct Pixel {
    int32_t u;
    int32_t v;
};

// Projects (x, y, z) through the calibration p, in single precision with the
// sums taken left to right, and subtracts the pixel offsets. Coordinates that
// do not fit an int32 (Z = 0 among them) become INT32_MIN, so such a point
// never lands inside an image.
Pixel project_point(const CameraParameter& p, float x, float y, float z, float offset_x, float offset_y);

// Row 0 and column 0 count as outside: 0 < u < width and 0 < v < height.
inline bool pixel_inside(Pixel p, uint32_t width, uint32_t height)
{
    return p.u > 0 && p.v > 0 && static_cast<uint32_t>(p.u) < width && static_cast<uint32_t>(p.v) < height;
}

// Re-grids the depth cloud onto the colour frame's pixel grid through
// calibration record 1: output becomes a raw cloud of colour width x height
// points (6 bytes each, output.pixel must hold that many), each holding the
// last cloud point that projects there. The colour frame's pixel data are
// not used, only its size, offsets and format.
// Returns 0; -2 (logged) when a pixel buffer is missing, the cloud is not
// Coord3D_ABC16 or its payload is shorter than its points; -59 when the
// colour format is not YUYV, RGB8 or RGB565p; -2 (logged) when the grid's
// width x height x 6 bytes exceed what a 32-bit payload size states; -2 (not
// logged) when there is no calibration record 1; -1 when overlapping cloud
// and output buffers need a copy that cannot be allocated. On failure
// output is left as it was.
int fusion_3d_to_rgb(const PhotoInfo& colour, const PhotoInfo& cloud, PhotoInfo& output,
                     const std::vector<CameraParameter>& parameters, cameralog& log);

// The refusals of fusion_3d_to_rgb that do not depend on the output frame,
// in the same order with the same messages: 0 when the fusion can run. For
// callers that must size the output before they have it.
int fusion_3d_to_rgb_refusal(const PhotoInfo& colour, const PhotoInfo& cloud,
                             const std::vector<CameraParameter>& parameters, cameralog& log);

// Gives every cloud point the colour of the image pixel it projects to,
// through the calibration of the sensor feeding the image's stream channel:
// fused receives x, y, z, c2, c1, c0 per point (B, G, R for colour images),
// or six zeros for a point outside the image. A YUYV image is converted to
// RGB8 in place first, so its pixel buffer must hold 3 x width x height bytes.
// Returns 0; -2 (logged) when a frame's pixel buffer or fused is missing, the
// cloud is not Coord3D_ABC16, a payload is shorter than its pixels or a
// YUYV image has an odd pixel count (it cannot be converted); -59
// when the image format is not YUYV, RGB8, RGB565p or Mono8; the reader's
// negative code when the CMOS index cannot be read; -2 (not logged) when the
// CMOS index names no calibration record. On failure neither fused nor the
// image is touched.
int fusion_image_to_3d(PhotoInfo& image, const PhotoInfo& cloud, float* fused,
                       const std::vector<CameraParameter>& parameters, const CmosIndexReader& read_cmos,
                       cameralog& log);

// Pieces shared by fusion and region mapping.
namespace detail {

// x, y, z of one cloud point in the cloud's units.
struct CloudPoint {
    float x;
    float y;
    float z;
};

// One raw point divided by the cloud unit in single precision.
inline CloudPoint read_point(const char* raw, float unit)
{
    return CloudPoint{raw_x_to_float(raw, unit), raw_y_to_float(raw, unit), raw_z_to_float(raw, unit)};
}

}  // namespace detail

}  // namespace imaging

#endif
