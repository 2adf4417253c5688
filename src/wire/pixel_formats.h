// The one table of the pixel formats frames arrive in: code, GenICam name,
// bytes per pixel and kind. The library (its conversions, writers and
// exported lookups) and the simulated camera decide a format's size, name
// and kind from here alone.
#ifndef VORA_WIRE_PIXEL_FORMATS_H
#define VORA_WIRE_PIXEL_FORMATS_H

#include <cstddef>
#include <cstdint>

#include "vora_pixel_format.h"

namespace wire {

struct PixelFormat {
    uint32_t code;             // PIXEL_FORMAT_*
    const char* name;          // GenICam name, as the tool prints and accepts it
    uint32_t bytes_per_pixel;  // in a frame's payload
    int kind;                  // PIXEL_KIND_*
};

// Every code of vora_pixel_format.h, in its order.
inline constexpr PixelFormat kPixelFormats[] = {
    {PIXEL_FORMAT_MONO8, "Mono8", 1, PIXEL_KIND_COLOUR},
    {PIXEL_FORMAT_MONO8S, "Mono8s", 1, PIXEL_KIND_COLOUR},
    {PIXEL_FORMAT_BAYER_GR8, "BayerGR8", 1, PIXEL_KIND_BAYER},
    {PIXEL_FORMAT_BAYER_RG8, "BayerRG8", 1, PIXEL_KIND_BAYER},
    {PIXEL_FORMAT_BAYER_GB8, "BayerGB8", 1, PIXEL_KIND_BAYER},
    {PIXEL_FORMAT_BAYER_BG8, "BayerBG8", 1, PIXEL_KIND_BAYER},
    // Ten significant bits in two bytes.
    {PIXEL_FORMAT_BAYER_GR10, "BayerGR10", 2, PIXEL_KIND_BAYER},
    {PIXEL_FORMAT_BAYER_RG10, "BayerRG10", 2, PIXEL_KIND_BAYER},
    {PIXEL_FORMAT_BAYER_GB10, "BayerGB10", 2, PIXEL_KIND_BAYER},
    {PIXEL_FORMAT_BAYER_BG10, "BayerBG10", 2, PIXEL_KIND_BAYER},
    {PIXEL_FORMAT_YUV422_8, "YUV422_8", 2, PIXEL_KIND_YUV},
    {PIXEL_FORMAT_RGB565P, "RGB565p", 2, PIXEL_KIND_COLOUR},
    {PIXEL_FORMAT_RGB8, "RGB8", 3, PIXEL_KIND_COLOUR},
    {PIXEL_FORMAT_COORD3D_ABC16, "Coord3D_ABC16", 6, PIXEL_KIND_DEPTH},
    // The same points, one plane per coordinate.
    {PIXEL_FORMAT_COORD3D_ABC16_PLANAR, "Coord3D_ABC16_Planar", 6, PIXEL_KIND_DEPTH},
};

inline constexpr size_t kPixelFormatCount = sizeof kPixelFormats / sizeof kPixelFormats[0];

// The entry of a code; nullptr for a code the table does not hold.
constexpr const PixelFormat* find_pixel_format(uint32_t code)
{
    for (const PixelFormat& f : kPixelFormats)
        if (f.code == code)
            return &f;
    return nullptr;
}

// The entry of a GenICam name, spelt exactly as in the table; nullptr for
// any other text (and for nullptr).
const PixelFormat* find_pixel_format_by_name(const char* name);

// Bytes per pixel of a known code, 0 for an unknown one.
constexpr uint32_t pixel_bytes(uint32_t code)
{
    // By value, not through find_pixel_format: g++ under -fsanitize cannot
    // compare the table's addresses with null in a constant expression.
    for (const PixelFormat& f : kPixelFormats)
        if (f.code == code)
            return f.bytes_per_pixel;
    return 0;
}

}  // namespace wire

#endif
