#include "imaging/depth_preview.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "imaging/cloud_convert.h"
#include "imaging/output_file.h"
#include "imaging/pixel_format.h"
#include "imaging/png_writer.h"

namespace imaging {

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

void colour_map_depth(const uint16_t* z, size_t n, uint8_t* rgb, uint16_t* near, uint16_t* far)
{
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
    for (size_t i = 0; i < n; ++i) {
        if (z[i] != 0)
            std::memcpy(&rgb[3 * i], &table[3 * static_cast<size_t>(z[i] - lo)], 3);
        else
            rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = 0;
    }
}

int save_depth_preview_png(cameralog& log, const PhotoInfo& frame, const char* path)
{
    static constexpr SaveMessages kMessages{"SaveDepthPreviewToPng", "depth data"};
    if (!is_readable_cloud(&frame) || !path)
        return refuse_save(log, kMessages);
    const size_t n = static_cast<size_t>(pixel_count(frame));
    std::vector<uint16_t> z;
    std::vector<uint8_t> rgb;
    try {
        z.resize(n);
        rgb.resize(3 * n);
    } catch (const std::bad_alloc&) {
        log.log_error(gvcp_log_error_level, "[function:SaveDepthPreviewToPng] malloc image failed.");
        return VORA_ERR_FAILED;
    }
    for (size_t i = 0; i < n; ++i)
        z[i] = load_le16(frame.pixel + 6 * i + 4);
    uint16_t near = 0, far = 0;
    colour_map_depth(z.data(), n, rgb.data(), &near, &far);
    const PngRowsInMemory pixels{rgb.data(), static_cast<size_t>(frame.pixel_width) * 3};
    return write_png(log, kMessages.function, path, frame.pixel_width, frame.pixel_height, PngKind::Rgb8,
                     png_rows_in_memory(pixels));
}

}  // namespace imaging
