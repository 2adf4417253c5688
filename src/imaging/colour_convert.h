// Colour frames to RGB8 (R, G, B per pixel, rows top to bottom, no padding):
// YUYV in place, and the RG Bayer demosaic.
#ifndef VORA_IMAGING_COLOUR_CONVERT_H
#define VORA_IMAGING_COLOUR_CONVERT_H

#include <cstdint>

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// Converts n/2 YUYV pixel pairs found in the first 2n bytes of `buffer` to
// 3n RGB bytes in the same buffer (n = pixels, even).
void yuyv_to_rgb888_in_place(uint8_t* buffer, uint64_t pixels);

// True when the demosaic can run on a width x height mosaic: both even and
// at least 6, so that every neighbour and corner source exists.
bool bayer_size_supported(uint32_t width, uint32_t height);

// RG Bayer mosaic (width x height bytes) to RGB8 (width x height x 3 bytes);
// the size must pass bayer_size_supported. Integer arithmetic only.
void bayer_rg8_to_rgb888(const uint8_t* mosaic, uint32_t width, uint32_t height, uint8_t* rgb);

// ---- frame operations, with the camera's messages ----

// YuyvToRgb888: the frame's buffer must hold 3 x width x height bytes; the
// frame becomes RGB8 with payload_size 3 x width x height. Frames with an
// odd pixel count or a payload shorter than their pixels are refused
// (logged, unchanged).
void yuyv_frame_to_rgb888(cameralog& log, PhotoInfo& frame);

// BayerRG8ToRgb888: frees the frame's buffer (which must come from malloc)
// and stores a new malloc'd buffer of 3 x payload_size bytes; the frame
// becomes RGB8 with payload_size tripled. Sizes the demosaic cannot handle
// or a payload shorter than the mosaic are refused (logged, unchanged).
void bayer_frame_to_rgb888(cameralog& log, PhotoInfo& frame);

// The same conversions into a malloc'd buffer of the caller's (of *size
// bytes: 3 x width x height for YUYV, 3 x payload_size for Bayer), leaving
// the frame alone. Null (logged as the conversion logs it) when the frame is
// refused or the buffer cannot be had.
char* yuyv_frame_rgb888_copy(cameralog& log, const PhotoInfo& frame, uint32_t* size);
char* bayer_frame_rgb888_copy(cameralog& log, const PhotoInfo& frame, uint32_t* size);

// RawdataToRgb888: YUYV and BayerRG8 frames are converted, any other format
// is left alone.
void raw_frame_to_rgb888(cameralog& log, PhotoInfo& frame);

}  // namespace imaging

#endif
