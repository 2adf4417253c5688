// Point-cloud files: PCD with a binary body, ASCII PLY, plain text, and text
// with the colour of each point after fusion.
#ifndef VORA_IMAGING_CLOUD_WRITERS_H
#define VORA_IMAGING_CLOUD_WRITERS_H

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// SavePointCloudToPcd: the organised cloud, width x height points of three
// floats, points without depth (|z| < 1e-6) as NaN. 0; -2 for a frame that
// is not a readable point cloud or no path; -41 when the file cannot be
// opened or written.
int save_cloud_pcd(cameralog& log, const PhotoInfo& frame, const char* path);

// SavePointCloudToPly / SavePointCloudToTxt: one "%.2f %.2f %.2f \n" line
// per point with z > 1e-6 (PLY: after a header with their count). 0; -2 for
// bad arguments; -42 when the file cannot be created; -41 when writing it
// fails.
int save_cloud_ply(cameralog& log, const PhotoInfo& frame, const char* path);
int save_cloud_txt(cameralog& log, const PhotoInfo& frame, const char* path);

// SavePointCloudWithImageToTxt: lines "x y z c0 c1 c2" from the fused array
// (6 floats per point) for the points with z > 1e-6; the frame supplies only
// its size, and must be a readable point cloud (as fusion requires). Codes
// as the text writer.
int save_cloud_with_colour_txt(cameralog& log, const PhotoInfo& frame, const float* fused, const char* path);

}  // namespace imaging

#endif
