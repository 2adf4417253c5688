// Pixel-format codes the library knows, their sizes, and the size checks
// every conversion and writer makes before it touches a frame's buffer.
#ifndef VORA_IMAGING_PIXEL_FORMAT_H
#define VORA_IMAGING_PIXEL_FORMAT_H

#include <cstddef>
#include <cstdint>

#include "vora_base_type.h"

namespace imaging {

// GenICam pixel-format codes (PFNC) used by the processing code.
constexpr uint32_t PFNC_MONO8 = 0x01080001;
constexpr uint32_t PFNC_BAYER_RG8 = 0x01080009;
constexpr uint32_t PFNC_YUV422_8 = 0x02100032;  // byte order Y0 U Y1 V
constexpr uint32_t PFNC_RGB565P = 0x02100035;
constexpr uint32_t PFNC_RGB8 = 0x02180014;
constexpr uint32_t PFNC_COORD3D_ABC16 = 0x023000B9;
constexpr uint32_t PFNC_COORD3D_ABC16_PLANAR = 0x023000BA;

// Bytes per pixel of a known format, 0 for an unknown one.
int pixel_bytes(uint32_t pixel_format);

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
    return pixel_count(frame) * bytes_per_pixel <= frame.payload_size;
}

// A point cloud the cloud operations may read: buffer present, format
// Coord3D_ABC16 and a payload covering all of its points.
inline bool is_readable_cloud(const PhotoInfo* frame)
{
    return frame && frame->pixel && frame->pixel_format == PFNC_COORD3D_ABC16 && payload_covers(*frame, 6);
}

}  // namespace imaging

#endif
