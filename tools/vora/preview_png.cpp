// The depth colours of the library's preview, for the viewer's pictures,
// and RGB pictures written with libpng.
#include "preview_png.h"

#include <png.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

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
    // The library's map spans the nearest to the farthest depth: the middle
    // of three depths sits at t of that range.
    constexpr double kSteps = 60000;
    t = std::min(1.0, std::max(0.0, t));
    const uint16_t depth[3] = {1, static_cast<uint16_t>(1 + t * kSteps + 0.5), static_cast<uint16_t>(1 + kSteps)};
    uint8_t colours[9];
    DepthPreviewColours(depth, 3, 1, colours, nullptr, nullptr);
    std::memcpy(rgb, colours + 3, 3);
}

std::vector<uint8_t> colour_map_depth(const uint16_t* z, uint32_t width, uint32_t height, uint16_t* near,
                                      uint16_t* far)
{
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
    *near = *far = 0;
    if (!rgb.empty())
        DepthPreviewColours(z, width, height, rgb.data(), near, far);
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
