// The library's depth colour map, as the viewer draws depth pictures and
// their legend in the colours of the preview files.
#ifndef VORA_TOOL_DEPTH_COLOURS_H
#define VORA_TOOL_DEPTH_COLOURS_H

#include <cstdint>
#include <vector>

namespace vora_tool {

// Colour of a depth at t in [0, 1] of the valid range: near is warm (red,
// orange, yellow), far is cold (cyan, blue).
void depth_colour(double t, uint8_t rgb[3]);

// The width x height depths (0 = no point) as RGB pixels: the map spans the
// smallest to the largest valid depth; points without depth are black.
// *near and *far receive that range (both 0 when nothing is valid).
std::vector<uint8_t> colour_map_depth(const uint16_t* z, uint32_t width, uint32_t height, uint16_t* near,
                                      uint16_t* far);

}  // namespace vora_tool

#endif
