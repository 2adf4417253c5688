// The size checks every conversion and writer makes before it touches a
// frame's buffer, over the pixel-format table of the wire target.
#ifndef VORA_IMAGING_PIXEL_FORMAT_H
#define VORA_IMAGING_PIXEL_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "pixel_formats.h"
#include "vora_base_type.h"
#include "vora_pixel_format.h"

namespace imaging {

// Bytes per pixel of a known format, 0 for an unknown one.
constexpr int pixel_bytes(uint32_t pixel_format)
{
    return static_cast<int>(wire::pixel_bytes(pixel_format));
}

// Bytes of a point of the clouds the library reads (Coord3D_ABC16).
constexpr unsigned kCloudPointBytes = static_cast<unsigned>(pixel_bytes(PIXEL_FORMAT_COORD3D_ABC16));
static_assert(kCloudPointBytes == 6, "x, y and z of 16 bits each");

// Width x height, without wrapping.
inline uint64_t pixel_count(const PhotoInfo& frame)
{
    return static_cast<uint64_t>(frame.pixel_width) * frame.pixel_height;
}

// True when the frame's valid bytes hold width x height pixels of
// `bytes_per_pixel` bytes each. Frames that claim more pixels than their
// payload carries are refused rather than read (or written) past the end.
inline bool payload_covers(const PhotoInfo& frame, unsigned bytes_per_pixel)
{
    // Compared by division: width x height x bytes can wrap even 64 bits,
    // and a wrapped product may be as small as a real payload.
    return bytes_per_pixel == 0 || pixel_count(frame) <= frame.payload_size / bytes_per_pixel;
}

// A point cloud the cloud operations may read: buffer present, format
// Coord3D_ABC16 and a payload covering all of its points.
inline bool is_readable_cloud(const PhotoInfo* frame)
{
    return frame && frame->pixel && frame->pixel_format == PIXEL_FORMAT_COORD3D_ABC16 &&
           payload_covers(*frame, kCloudPointBytes);
}

}  // namespace imaging

#endif
