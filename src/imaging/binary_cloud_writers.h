// Binary point-cloud files for point-cloud viewers: little-endian binary PLY
// of a cloud's points, and the coloured clouds of fusion as binary PLY with
// red/green/blue and as organised PCD with an rgb field.
#ifndef VORA_IMAGING_BINARY_CLOUD_WRITERS_H
#define VORA_IMAGING_BINARY_CLOUD_WRITERS_H

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// SavePointCloudToBinaryPly: the points with depth (z > 1e-6) as float x, y,
// z in millimetres. 0; -2 for a frame that is not a readable point cloud or
// no path; -42 when the file cannot be created; -41 when writing it fails.
int save_cloud_binary_ply(cameralog& log, const PhotoInfo& frame, const char* path);

// SavePointCloudWithImageToPly: the points of a fused array (x, y, z, blue,
// green, red as floats, 6 per point of the frame, as fusion makes it) that
// have depth, as float x, y, z and bytes red, green, blue. Codes as above.
int save_fused_ply(cameralog& log, const PhotoInfo& frame, const float* fused, const char* path);

// SavePointCloudWithImageToPcd: the organised width x height cloud of a
// fused array with an rgb field (0x00RRGGBB in the float's bytes); points
// without depth are NaN with colour 0, as in the library's other PCD files.
// Codes as above.
int save_fused_pcd(cameralog& log, const PhotoInfo& frame, const float* fused, const char* path);

}  // namespace imaging

#endif
