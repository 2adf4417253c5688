// Colour and grey frames as 8-bit RGB PNG files, the picture people open
// beside the BMP.
#ifndef VORA_IMAGING_IMAGE_PNG_WRITER_H
#define VORA_IMAGING_IMAGE_PNG_WRITER_H

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// SaveImageToPng: RGB8 as it is, Mono8 as grey in all three channels,
// RGB565p widened as the BMP writer widens it, YUYV and Bayer RG8 converted
// in a buffer of the library's own (the frame is left alone). 0; -2 without
// buffer or path, for a payload shorter than the image or a conversion the
// frame's size refuses; -41 for a format that is no image (no file is
// created); else the PNG writer's result.
int save_image_png(cameralog& log, const PhotoInfo& frame, const char* path);

}  // namespace imaging

#endif
