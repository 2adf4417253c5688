// Uncompressed Windows bitmaps: 8-bit grey with a grey palette, 24-bit
// colour from RGB8 and RGB565p, and the YUYV and Bayer frames after their
// conversion to RGB8. Rows are stored bottom-up, padded to 4 bytes.
#ifndef VORA_IMAGING_IMAGE_WRITERS_H
#define VORA_IMAGING_IMAGE_WRITERS_H

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// SaveToBMP: picks the writer by pixel format and never changes the frame.
// 0; -2 without buffer or path; -41 for a format without a writer (no file
// is created); else the writer's result.
int save_bmp(cameralog& log, const PhotoInfo& frame, const char* path);

// The writers themselves. 0; -2 for bad arguments (including a payload
// shorter than the image or a file beyond 4 GB); -42 when the file cannot be
// created; -41 when writing it fails. None changes the frame.
int save_grey_bmp(cameralog& log, const PhotoInfo& frame, const char* path);
int save_rgb888_bmp(cameralog& log, const PhotoInfo& frame, const char* path);
int save_rgb565_bmp(cameralog& log, const PhotoInfo& frame, const char* path);

// Convert a copy of the frame to RGB8 and save that; the frame and its
// buffer are left as they were. A frame the conversion refuses ends with -2.
int save_yuyv_bmp(cameralog& log, const PhotoInfo& frame, const char* path);
int save_bayer_rg8_bmp(cameralog& log, const PhotoInfo& frame, const char* path);

}  // namespace imaging

#endif
