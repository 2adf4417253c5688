// The raw cloud the imaging benchmarks work on: a sloping surface centred
// on the optical axis with a tenth of its points empty (z 0), and its frame
// record. Made the same way everywhere so that figures compare.
#ifndef VORA_BENCH_SYNTHETIC_CLOUD_H
#define VORA_BENCH_SYNTHETIC_CLOUD_H

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "vora_base_type.h"
#include "vora_pixel_format.h"

inline std::vector<char> synthetic_raw_cloud(uint32_t w, uint32_t h)
{
    std::vector<char> b(size_t(w) * h * 6);
    std::mt19937 rng(1);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t c = 0; c < w; ++c) {
            const size_t i = size_t(r) * w + c;
            const int16_t x = static_cast<int16_t>(int(c) - int(w / 2) + int(rng() % 3));
            const int16_t y = static_cast<int16_t>(int(r) - int(h / 2) + int(rng() % 3));
            const uint16_t z = rng() % 10 == 0 ? 0 : static_cast<uint16_t>(300 + r + c + rng() % 20);
            std::memcpy(&b[6 * i], &x, 2);
            std::memcpy(&b[6 * i + 2], &y, 2);
            std::memcpy(&b[6 * i + 4], &z, 2);
        }
    return b;
}

inline PhotoInfo synthetic_cloud_frame(char* pixel, uint32_t w, uint32_t h, uint32_t unit)
{
    PhotoInfo f{};
    f.pixel = pixel;
    f.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
    f.pixel_width = w;
    f.pixel_height = h;
    f.cloud_unit = unit;
    f.payload_size = w * h * 6;
    return f;
}

#endif
