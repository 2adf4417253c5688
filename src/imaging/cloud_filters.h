// Point-cloud filters that remove points in place, and the 3x3 dilation and
// erosion of region masks.
#ifndef VORA_IMAGING_CLOUD_FILTERS_H
#define VORA_IMAGING_CLOUD_FILTERS_H

#include <cstdint>

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// FilterPointCloud: keeps a point when, in some 3x3 window whose
// bottom-middle point is a visited centre, at least four points (centre
// included) lie within the depth-dependent tolerance of the centre
// (|dz| + |dx|, capped at 15 units); kept points go through the float round
// trip, all others become (0, 0, 0). Works a row at a time: the extra memory
// is a few rows, not a copy of the cloud.
void filter_point_cloud(cameralog& log, PhotoInfo& frame, double tolerance);

// SpatialFilterPointcloud: removes points lying in 30-unit cubes that hold
// fewer than min_points points; 0 or -2. The cubes are those of the grid
// over the depth range (x and y from -d, z from 0, d half the range),
// continued beyond it, so every point takes part. Only occupied cubes are
// counted, so memory follows the number of points, not the depth range.
int spatial_filter_point_cloud(cameralog& log, PhotoInfo& frame, int min_points);

// PixelSwell: a pixel becomes 255 when any pixel of its 3x3 square is set
// (sum above 0), else 0. PixelCorrosion: 255 when the pixel and its four
// edge neighbours sum to at least 5 x 255. Border rows and columns become 0.
// Both work in place with two rows of extra memory.
void pixel_swell(int* mask, uint32_t width, uint32_t height);
void pixel_corrosion(int* mask, uint32_t width, uint32_t height);

}  // namespace imaging

#endif
