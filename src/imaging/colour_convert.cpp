#include "imaging/colour_convert.h"

#include <cstdlib>
#include <cstring>

#include "imaging/pixel_format.h"

namespace imaging {

namespace {

// Single-precision rounding, then clamped to 0..255 or truncated.
inline uint8_t to_channel(double value)
{
    const float f = static_cast<float>(value);
    if (f > 255.0f)
        return 255;
    if (f < 0.0f)
        return 0;
    return static_cast<uint8_t>(static_cast<int>(f));
}

inline void yuv_to_rgb(int y, int u, int v, uint8_t* out)
{
    const double Y = y, U = u, V = v;
    out[0] = to_channel(Y - 0.00093 * U + 1.401687 * V);
    out[1] = to_channel(Y - 0.3437 * U - 0.71417 * V);
    out[2] = to_channel(Y + 1.77216 * U - 0.00099 * V);
}

}  // namespace

void yuyv_to_rgb888_in_place(uint8_t* buffer, uint64_t pixels)
{
    // Pair k reads bytes 4k..4k+3 and writes 6k..6k+5. Going from the last
    // pair down, a write never reaches the input of a pair still to come,
    // so no second buffer is needed.
    for (uint64_t k = pixels / 2; k-- > 0;) {
        const uint8_t* in = buffer + 4 * k;
        const int y0 = in[0], u = in[1] - 128, y1 = in[2], v = in[3] - 128;
        uint8_t rgb[6];
        yuv_to_rgb(y0, u, v, rgb);
        yuv_to_rgb(y1, u, v, rgb + 3);
        std::memcpy(buffer + 6 * k, rgb, 6);
    }
}

bool bayer_size_supported(uint32_t width, uint32_t height)
{
    return width >= 6 && height >= 6 && width % 2 == 0 && height % 2 == 0;
}

void bayer_rg8_to_rgb888(const uint8_t* mosaic, uint32_t width, uint32_t height, uint8_t* rgb)
{
    const size_t W = width, H = height;
    auto d = [&](size_t r, size_t c) -> unsigned { return mosaic[r * W + c]; };
    auto put = [&](size_t r, size_t c, unsigned R, unsigned G, unsigned B) {
        uint8_t* o = rgb + 3 * (r * W + c);
        o[0] = static_cast<uint8_t>(R);
        o[1] = static_cast<uint8_t>(G);
        o[2] = static_cast<uint8_t>(B);
    };

    // Blocks are independent of each other, so they are visited row by row
    // (the cache-friendly order). Corner blocks are skipped: the corner rule
    // below gives them their values.
    for (size_t h = 0; h < H; h += 2) {
        for (size_t f = 0; f < W; f += 2) {
            const bool left = f == 0, right = f == W - 2, top = h == 0, bottom = h == H - 2;
            if ((left || right) && (top || bottom))
                continue;
            if (left) {
                put(h, 0, d(h, 0), (d(h - 1, 0) + d(h + 1, 0) + d(h, 1)) / 3, (d(h - 1, 1) + d(h + 1, 1)) >> 1);
                put(h, 1, (d(h, 0) + d(h, 2)) >> 1, d(h, 1), (d(h - 1, 1) + d(h + 1, 1)) >> 1);
                put(h + 1, 0, (d(h, 0) + d(h + 2, 0)) >> 1, d(h + 1, 0), d(h + 1, 1));
                put(h + 1, 1, (d(h, 0) + d(h, 2) + d(h + 2, 0) + d(h + 2, 2)) >> 2,
                    (d(h, 1) + d(h + 2, 1) + d(h + 1, 0) + d(h + 1, 2)) >> 2, d(h + 1, 1));
            } else if (right) {
                put(h, f, d(h, f), (d(h, f - 1) + d(h, f + 1) + d(h - 1, f) + d(h + 1, f)) >> 2,
                    (d(h - 1, f - 1) + d(h - 1, f + 1) + d(h + 1, f - 1) + d(h + 1, f + 1)) >> 2);
                put(h, f + 1, d(h, f), d(h, f + 1), (d(h - 1, f + 1) + d(h + 1, f + 1)) >> 1);
                put(h + 1, f, (d(h, f) + d(h + 2, f)) >> 1, d(h + 1, f), (d(h + 1, f - 1) + d(h + 1, f + 1)) >> 1);
                put(h + 1, f + 1, (d(h, f) + d(h + 2, f)) >> 1, (d(h, f + 1) + d(h + 1, f) + d(h + 2, f + 1)) / 3,
                    d(h + 1, f + 1));
            } else if (top) {
                put(0, f, d(0, f), (d(0, f - 1) + d(0, f + 1) + d(1, f)) / 3, (d(1, f - 1) + d(1, f + 1)) >> 1);
                put(0, f + 1, (d(0, f) + d(0, f + 2)) >> 1, d(0, f + 1), d(1, f + 1));
                put(1, f, (d(0, f) + d(2, f)) >> 1, d(1, f), (d(1, f - 1) + d(1, f + 1)) >> 1);
                put(1, f + 1, (d(0, f) + d(0, f + 2) + d(2, f) + d(2, f + 2)) >> 2,
                    (d(1, f) + d(0, f + 1) + d(2, f + 1) + d(1, f + 2)) >> 2, d(1, f + 1));
            } else if (!bottom) {
                put(h, f, d(h, f), (d(h - 1, f) + d(h + 1, f) + d(h, f - 1) + d(h, f + 1)) >> 2,
                    (d(h - 1, f - 1) + d(h - 1, f + 1) + d(h + 1, f - 1) + d(h + 1, f + 1)) >> 2);
                put(h, f + 1, (d(h, f) + d(h, f + 2)) >> 1, d(h, f + 1), (d(h - 1, f + 1) + d(h + 1, f + 1)) >> 1);
                put(h + 1, f, (d(h, f) + d(h + 2, f)) >> 1, d(h + 1, f), (d(h + 1, f - 1) + d(h + 1, f + 1)) >> 1);
                put(h + 1, f + 1, (d(h, f) + d(h, f + 2) + d(h + 2, f) + d(h + 2, f + 2)) >> 2,
                    (d(h, f + 1) + d(h + 1, f) + d(h + 1, f + 2) + d(h + 2, f + 1)) >> 2, d(h + 1, f + 1));
            } else {
                put(h, f, d(h, f), (d(h, f + 1) + d(h + 1, f) + d(h - 1, f) + d(h, f - 1)) >> 2,
                    (d(h + 1, f - 1) + 2 * d(h + 1, f + 1) + d(h - 1, f - 1)) >> 2);
                put(h, f + 1, (d(h, f) + d(h, f + 2)) >> 1, d(h, f + 1), (d(h - 1, f + 1) + d(h + 1, f + 1)) >> 1);
                put(h + 1, f, d(h, f), d(h + 1, f), (d(h + 1, f - 1) + d(h + 1, f + 1)) >> 1);
                put(h + 1, f + 1, (d(h, f) + d(h, f + 2)) >> 1, (d(h, f + 1) + d(h + 1, f) + d(h + 1, f + 2)) / 3,
                    d(h + 1, f + 1));
            }
        }
    }

    // Corner blocks take all three channels of one pixel computed above.
    auto fill_corner = [&](size_t r0, size_t c0, size_t sr, size_t sc) {
        uint8_t src[3];
        std::memcpy(src, rgb + 3 * (sr * W + sc), 3);
        for (size_t r = r0; r < r0 + 2; ++r)
            for (size_t c = c0; c < c0 + 2; ++c)
                std::memcpy(rgb + 3 * (r * W + c), src, 3);
    };
    fill_corner(0, 0, 2, 2);
    fill_corner(0, W - 2, 2, W - 3);
    fill_corner(H - 2, 0, H - 1, 2);
    fill_corner(H - 2, W - 2, H - 3, W - 3);
}

void yuyv_frame_to_rgb888(cameralog& log, PhotoInfo& frame)
{
    const uint64_t n = pixel_count(frame);
    if (!frame.pixel || n % 2 != 0 || !payload_covers(frame, 2) || 3 * n > UINT32_MAX) {
        log.log_error(gvcp_log_error_level, "[function:YuyvToRgb888] the incoming parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return;
    }
    yuyv_to_rgb888_in_place(reinterpret_cast<uint8_t*>(frame.pixel), n);
    frame.pixel_format = PFNC_RGB8;
    frame.payload_size = static_cast<uint32_t>(3 * n);
}

void bayer_frame_to_rgb888(cameralog& log, PhotoInfo& frame)
{
    if (!frame.pixel) {
        log.log_error(gvcp_log_error_level,
                      "[function:BayerRG8ToRgb888] the incoming parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return;
    }
    const uint64_t result_size = 3 * static_cast<uint64_t>(frame.payload_size);
    if (static_cast<int32_t>(frame.pixel_width) <= 0 || static_cast<int32_t>(frame.pixel_height) <= 0 ||
        static_cast<int32_t>(frame.payload_size) <= 0 || !bayer_size_supported(frame.pixel_width, frame.pixel_height) ||
        !payload_covers(frame, 1) || result_size > UINT32_MAX) {
        log.log_error(gvcp_log_error_level,
                      "[function:BayerRG8ToRgb888] the data info (width or height or payload_size) error.");
        return;
    }
    uint8_t* rgb = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(result_size)));
    if (!rgb) {
        log.log_error(gvcp_log_error_level, "[function:BayerRG8ToRgb888] Failed to allocate the converted image.");
        return;
    }
    bayer_rg8_to_rgb888(reinterpret_cast<const uint8_t*>(frame.pixel), frame.pixel_width, frame.pixel_height, rgb);
    // The buffer is sized from payload_size as callers expect; what the
    // pixels do not fill is cleared.
    const size_t written = static_cast<size_t>(pixel_count(frame)) * 3;
    std::memset(rgb + written, 0, static_cast<size_t>(result_size) - written);
    std::free(frame.pixel);
    frame.pixel = reinterpret_cast<char*>(rgb);
    frame.pixel_format = PFNC_RGB8;
    frame.payload_size = static_cast<uint32_t>(result_size);
}

void raw_frame_to_rgb888(cameralog& log, PhotoInfo& frame)
{
    if (!frame.pixel) {
        log.log_error(gvcp_log_error_level,
                      "[function:RawdataToRgb888] the incoming parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return;
    }
    if (frame.pixel_format == PFNC_YUV422_8)
        yuyv_frame_to_rgb888(log, frame);
    else if (frame.pixel_format == PFNC_BAYER_RG8)
        bayer_frame_to_rgb888(log, frame);
}

}  // namespace imaging
