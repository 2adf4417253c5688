// Carrying a region of interest from one sensor's image to another's through
// the points of a depth cloud, and the bounding rectangle of a mask.
#ifndef VORA_IMAGING_ROI_MAPPING_H
#define VORA_IMAGING_ROI_MAPPING_H

#include <vector>

#include "imaging/fusion.h"

namespace imaging {

// Sets mask[v x target width + u] = 255 (mask has target width x height
// entries and is not cleared first) for every target pixel (u, v) reached
// from a source pixel inside `region` through a point of `cloud`. The CMOS
// indices behind the three frames' stream channels pick the calibrations;
// projections use no pixel offsets. A region reaching beyond the source
// image is clipped to it.
// Returns 0; -2 (logged) when the cloud's pixel buffer or the mask is
// missing or the cloud's payload is shorter than its points (the cloud's
// format is not checked); the reader's negative code when a CMOS index
// cannot be read; -2 (not logged) when a CMOS index names no calibration
// record; -1 when the working map cannot be allocated. On failure the mask
// is untouched.
int roi_pixel_mapping(const PhotoInfo& cloud, const PhotoInfo& source, const PhotoInfo& target, const RoiPoint& region,
                      int* mask, const std::vector<CameraParameter>& parameters, const CmosIndexReader& read_cmos,
                      cameralog& log);

// The rectangle spanned by the non-zero entries of a width x height mask
// (only the frame's size is used). The sizes are the differences of the
// extreme coordinates; an empty mask gives offsets (width, height) and sizes
// 0 - width and 0 - height (0 when the height is 0), as unsigned values.
// Returns 0; -2 with region untouched when the mask is null but has entries.
int roi_mapping_coordinate(const int* mask, const PhotoInfo& frame, RoiPoint& region);

}  // namespace imaging

#endif
