// A depth image people can look at: the z plane of a cloud colour-mapped
// into 8-bit RGB (near warm, far cold, no point black), beside the 16-bit PNG
// that keeps the numbers. The viewer draws its depth pictures and legend in
// the same colours.
#ifndef VORA_IMAGING_DEPTH_PREVIEW_H
#define VORA_IMAGING_DEPTH_PREVIEW_H

#include <cstddef>
#include <cstdint>

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// Colour of a depth at t in [0, 1] of the valid range: near is warm (red,
// orange, yellow), far is cold (cyan, blue).
void depth_colour(double t, uint8_t rgb[3]);

// The n depths (0 = no point) as 3n RGB bytes: the map spans the smallest to
// the largest valid depth; points without depth are black. *near and *far
// receive that range (both 0 when nothing is valid).
void colour_map_depth(const uint16_t* z, size_t n, uint8_t* rgb, uint16_t* near, uint16_t* far);

// SaveDepthPreviewToPng: the colour-mapped z plane of a point cloud as an
// 8-bit RGB PNG. 0; -2 for a frame that is not a readable point cloud or no
// path; -1 when memory is short; else the PNG writer's result.
int save_depth_preview_png(cameralog& log, const PhotoInfo& frame, const char* path);

}  // namespace imaging

#endif
