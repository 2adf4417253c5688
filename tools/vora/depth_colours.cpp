// The depth colours of the library's preview, for the viewer's pictures.
#include "depth_colours.h"

#include <algorithm>
#include <cstring>

#include "vora_qelcamera_api.h"

namespace vora_tool {

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

std::vector<uint8_t> colour_map_depth(const uint16_t* z, uint32_t width, uint32_t height, uint16_t* near, uint16_t* far)
{
    std::vector<uint8_t> rgb(3 * static_cast<size_t>(width) * height);
    *near = *far = 0;
    if (!rgb.empty())
        DepthPreviewColours(z, width, height, rgb.data(), near, far);
    return rgb;
}

}  // namespace vora_tool
