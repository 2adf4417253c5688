// PNG files through libpng: 16-bit grey for the depth plane of a cloud and
// any cloud plane a caller supplies, 8-bit RGB for colour images and the
// colour-mapped depth preview.
#ifndef VORA_IMAGING_PNG_WRITER_H
#define VORA_IMAGING_PNG_WRITER_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// Where the rows of samples come from: row r as width x 2 big-endian bytes
// (grey) or width x 3 bytes (RGB), either pointing into the caller's data or
// filled into `scratch`.
struct PngRowSource {
    const uint8_t* (*row)(const void* context, uint32_t r, uint8_t* scratch);
    const void* context;
    bool needs_scratch;  // a scratch row (width x bytes per pixel) is allocated
};

// Rows already in memory, `row_bytes` apart from the first on.
struct PngRowsInMemory {
    const uint8_t* first;
    size_t row_bytes;
};

// A row source over rows in memory; `rows` must outlive it.
PngRowSource png_rows_in_memory(const PngRowsInMemory& rows);

using PngAllocator = void* (*)(size_t);

// What the samples are: 16-bit grey (2 bytes a pixel, big-endian) or 8-bit
// RGB (3 bytes a pixel).
enum class PngKind { Grey16, Rgb8 };

// Writes a width x height PNG of that kind, one row at a time. Messages are
// logged under `function`. 0; -42 when the file or libpng's write structure
// cannot be created; -1 for the info structure, the scratch row, any libpng
// error (write errors included) and a failed close.
int write_png(cameralog& log, const char* function, const char* path, uint32_t width, uint32_t height, PngKind kind,
              const PngRowSource& rows, PngAllocator allocate = std::malloc);

// write_png of 16-bit grey samples.
int write_grey16_png(cameralog& log, const char* function, const char* path, uint32_t width, uint32_t height,
                     const PngRowSource& rows, PngAllocator allocate = std::malloc);

// SaveDepthToPng: the z plane of a point cloud; -2 for a frame that is not a
// readable point cloud or no path.
int save_depth_png(cameralog& log, const PhotoInfo& frame, const char* path);

// SaveCloudPlane: the caller's plane (width x height big-endian values) as
// it is; the frame supplies only the size. -2 without plane or path, or for
// a frame GetCloudPlane refuses (not a readable point cloud).
int save_plane_png(cameralog& log, const PhotoInfo& frame, const short* plane, const char* path);

}  // namespace imaging

#endif
