// The colour-mapped depth preview, written with libpng.
#include "preview_png.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace vora_tool {

namespace {

// Stops of the map, evenly spaced from near to far; colours between stops
// are interpolated linearly.
constexpr uint8_t kStops[][3] = {
    {180, 4, 38},    // deep red
    {244, 109, 67},  // orange
    {253, 200, 60},  // yellow
    {200, 240, 80},  // yellow-green
    {80, 220, 140},  // green
    {40, 170, 220},  // cyan
    {50, 90, 200},   // blue
    {40, 30, 120},   // deep blue
};
constexpr int kStopCount = sizeof kStops / sizeof kStops[0];

struct PngWriter {
    png_structp png = nullptr;
    png_infop info = nullptr;
    FILE* file = nullptr;
    ~PngWriter()
    {
        if (png)
            png_destroy_write_struct(&png, info ? &info : nullptr);
        if (file)
            std::fclose(file);
    }
};

}  // namespace

void depth_colour(double t, uint8_t rgb[3])
{
    t = std::min(1.0, std::max(0.0, t));
    const double position = t * (kStopCount - 1);
    const int lower = std::min(kStopCount - 2, static_cast<int>(position));
    const double f = position - lower;
    for (int c = 0; c < 3; ++c) {
        const double v = kStops[lower][c] + (kStops[lower + 1][c] - kStops[lower][c]) * f;
        rgb[c] = static_cast<uint8_t>(v + 0.5);
    }
}

std::vector<uint8_t> colour_map_depth(const uint16_t* z, uint32_t width, uint32_t height, uint16_t* near,
                                      uint16_t* far)
{
    const size_t n = static_cast<size_t>(width) * height;
    uint16_t lo = 0xFFFF, hi = 0;
    for (size_t i = 0; i < n; ++i) {
        if (z[i] == 0)
            continue;
        lo = std::min(lo, z[i]);
        hi = std::max(hi, z[i]);
    }
    if (hi == 0)
        lo = 0;
    *near = lo;
    *far = hi;
    // One colour per depth value: a table is cheaper than a division per pixel.
    std::vector<uint8_t> table(3 * (static_cast<size_t>(hi - lo) + 1));
    for (uint32_t d = lo; d <= hi && hi > 0; ++d)
        depth_colour(hi > lo ? static_cast<double>(d - lo) / (hi - lo) : 0.0, &table[3 * (d - lo)]);
    std::vector<uint8_t> rgb(3 * n, 0);
    for (size_t i = 0; i < n; ++i)
        if (z[i] != 0)
            std::memcpy(&rgb[3 * i], &table[3 * static_cast<size_t>(z[i] - lo)], 3);
    return rgb;
}

bool write_rgb_png(const std::string& path, const uint8_t* rgb, uint32_t width, uint32_t height,
                   std::string* error)
{
    PngWriter w;
    w.file = std::fopen(path.c_str(), "wb");
    if (!w.file) {
        *error = std::strerror(errno);
        return false;
    }
    w.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (w.png)
        w.info = png_create_info_struct(w.png);
    if (!w.png || !w.info) {
        *error = "libpng cannot start";
        return false;
    }
    if (setjmp(png_jmpbuf(w.png))) {
        *error = "libpng failed to write the image";
        return false;
    }
    png_init_io(w.png, w.file);
    // A preview: fast compression matters more than the last few bytes.
    png_set_compression_level(w.png, 3);
    png_set_IHDR(w.png, w.info, width, height, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(w.png, w.info);
    for (uint32_t r = 0; r < height; ++r)
        png_write_row(w.png, const_cast<png_bytep>(rgb + static_cast<size_t>(r) * width * 3));
    png_write_end(w.png, nullptr);
    FILE* file = w.file;
    w.file = nullptr;
    if (std::fclose(file) != 0) {
        *error = std::strerror(errno);
        return false;
    }
    return true;
}

}  // namespace vora_tool
