#include "imaging/colour_convert.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "imaging/pixel_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#elif defined(__ARM_NEON) && defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace imaging {

namespace {

// Single-precision rounding, then clamped to 0..255 or truncated. The clamp
// is done on the float (255.0 truncates to 255, anything below 0 to 0), so
// there is no branch to mispredict. Unused where a vector path stands in.
[[maybe_unused]] inline uint8_t to_channel(double value)
{
    const float f = static_cast<float>(value);
    const float clamped = std::min(std::max(f, 0.0f), 255.0f);
    return static_cast<uint8_t>(static_cast<int>(clamped));
}

// The vector paths compute channel by channel (R0 R1 G0 G1 B0 B1); the
// pixels want R G B of each.
[[maybe_unused]] inline void store_pair(const uint8_t* c, uint8_t* out)
{
    out[0] = c[0];
    out[1] = c[2];
    out[2] = c[4];
    out[3] = c[1];
    out[4] = c[3];
    out[5] = c[5];
}

// R, G, B of both pixels of a YUYV pair. Each channel is computed in double
// precision with its terms in the fixed order (Y - a U' + b V' and so on),
// rounded to float, clamped and truncated.
inline void yuyv_pair_to_rgb(const uint8_t* in, uint8_t* out)
{
    const double U = in[1] - 128, V = in[3] - 128;
#if defined(__SSE2__)
    // Both pixels at once, one per lane: the same operations in the same
    // order, so the same roundings.
    const __m128d Y = _mm_set_pd(in[2], in[0]);
    const __m128d r = _mm_add_pd(_mm_sub_pd(Y, _mm_set1_pd(0.00093 * U)), _mm_set1_pd(1.401687 * V));
    const __m128d g = _mm_sub_pd(_mm_sub_pd(Y, _mm_set1_pd(0.3437 * U)), _mm_set1_pd(0.71417 * V));
    const __m128d b = _mm_sub_pd(_mm_add_pd(Y, _mm_set1_pd(1.77216 * U)), _mm_set1_pd(0.00099 * V));
    const __m128 rg = _mm_movelh_ps(_mm_cvtpd_ps(r), _mm_cvtpd_ps(g));  // R0 R1 G0 G1
    const __m128 bb = _mm_cvtpd_ps(b);                                  // B0 B1 0 0
    const __m128 lo = _mm_setzero_ps(), hi = _mm_set1_ps(255.0f);
    const __m128i rgi = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(rg, lo), hi));
    const __m128i bi = _mm_cvttps_epi32(_mm_min_ps(_mm_max_ps(bb, lo), hi));
    const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(rgi, bi), _mm_setzero_si128());
    uint8_t c[16];
    _mm_storeu_si128(reinterpret_cast<__m128i*>(c), bytes);  // R0 R1 G0 G1 B0 B1
    store_pair(c, out);
#elif defined(__ARM_NEON) && defined(__aarch64__)
    // Both pixels at once in double lanes, as on x86. Channels lie within
    // -227..434 and are never NaN, so fmax/fmin clamp as the scalar max/min
    // do (the rule's -0 and fmax's +0 both truncate to 0).
    const float64x2_t Y = {static_cast<double>(in[0]), static_cast<double>(in[2])};
    const float64x2_t r = vaddq_f64(vsubq_f64(Y, vdupq_n_f64(0.00093 * U)), vdupq_n_f64(1.401687 * V));
    const float64x2_t g = vsubq_f64(vsubq_f64(Y, vdupq_n_f64(0.3437 * U)), vdupq_n_f64(0.71417 * V));
    const float64x2_t b = vsubq_f64(vaddq_f64(Y, vdupq_n_f64(1.77216 * U)), vdupq_n_f64(0.00099 * V));
    const float32x4_t rg = vcombine_f32(vcvt_f32_f64(r), vcvt_f32_f64(g));   // R0 R1 G0 G1
    const float32x4_t bb = vcombine_f32(vcvt_f32_f64(b), vdup_n_f32(0.0f));  // B0 B1 0 0
    const float32x4_t lo = vdupq_n_f32(0.0f), hi = vdupq_n_f32(255.0f);
    const uint32x4_t rgi = vreinterpretq_u32_s32(vcvtq_s32_f32(vminq_f32(vmaxq_f32(rg, lo), hi)));
    const uint32x4_t bi = vreinterpretq_u32_s32(vcvtq_s32_f32(vminq_f32(vmaxq_f32(bb, lo), hi)));
    // 0..255 in every lane: plain narrowing loses nothing.
    uint8_t c[8];
    vst1_u8(c, vmovn_u16(vcombine_u16(vmovn_u32(rgi), vmovn_u32(bi))));  // R0 R1 G0 G1 B0 B1
    store_pair(c, out);
#else
    for (int j = 0; j < 2; ++j) {
        const double Y = in[2 * j];
        out[3 * j] = to_channel(Y - 0.00093 * U + 1.401687 * V);
        out[3 * j + 1] = to_channel(Y - 0.3437 * U - 0.71417 * V);
        out[3 * j + 2] = to_channel(Y + 1.77216 * U - 0.00099 * V);
    }
#endif
}

}  // namespace

void yuyv_to_rgb888_in_place(uint8_t* buffer, uint64_t pixels)
{
    // Pair k reads bytes 4k..4k+3 and writes 6k..6k+5. Working from the
    // last pairs down, a block of converted pairs never lands on input still
    // to be read, so a small stack block replaces a second frame buffer.
    constexpr uint64_t kBlock = 512;
    uint8_t block[6 * kBlock];
    for (uint64_t end = pixels / 2; end > 0;) {
        const uint64_t begin = end > kBlock ? end - kBlock : 0;
        for (uint64_t k = begin; k < end; ++k) {
            yuyv_pair_to_rgb(buffer + 4 * k, block + 6 * (k - begin));
        }
        std::memcpy(buffer + 6 * begin, block, 6 * (end - begin));
        end = begin;
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

namespace {

// The frames the YUYV conversion takes: pixel pairs whose bytes the payload
// holds and whose RGB size a payload can still state. Refusals are logged.
bool yuyv_convertible(cameralog& log, const PhotoInfo& frame)
{
    const uint64_t n = pixel_count(frame);
    if (!frame.pixel || n % 2 != 0 || !payload_covers(frame, pixel_bytes(PIXEL_FORMAT_YUV422_8)) ||
        3 * n > UINT32_MAX) {
        log.log_error(gvcp_log_error_level, "[function:YuyvToRgb888] the incoming parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return false;
    }
    return true;
}

}  // namespace

void yuyv_frame_to_rgb888(cameralog& log, PhotoInfo& frame)
{
    if (!yuyv_convertible(log, frame))
        return;
    const uint64_t n = pixel_count(frame);
    yuyv_to_rgb888_in_place(reinterpret_cast<uint8_t*>(frame.pixel), n);
    frame.pixel_format = PIXEL_FORMAT_RGB8;
    frame.payload_size = static_cast<uint32_t>(3 * n);
}

char* yuyv_frame_rgb888_copy(cameralog& log, const PhotoInfo& frame, uint32_t* size)
{
    if (!yuyv_convertible(log, frame))
        return nullptr;
    const uint64_t n = pixel_count(frame);
    uint8_t* rgb = static_cast<uint8_t*>(std::malloc(n ? static_cast<size_t>(3 * n) : 1));
    if (!rgb) {
        log.log_error(gvcp_log_error_level, "[function:YuyvToRgb888] Failed to allocate the converted image.");
        return nullptr;
    }
    std::memcpy(rgb, frame.pixel, static_cast<size_t>(2 * n));
    yuyv_to_rgb888_in_place(rgb, n);
    *size = static_cast<uint32_t>(3 * n);
    return reinterpret_cast<char*>(rgb);
}

char* bayer_frame_rgb888_copy(cameralog& log, const PhotoInfo& frame, uint32_t* size)
{
    if (!frame.pixel) {
        log.log_error(gvcp_log_error_level, "[function:BayerRG8ToRgb888] the incoming parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return nullptr;
    }
    const uint64_t result_size = 3 * static_cast<uint64_t>(frame.payload_size);
    if (static_cast<int32_t>(frame.pixel_width) <= 0 || static_cast<int32_t>(frame.pixel_height) <= 0 ||
        static_cast<int32_t>(frame.payload_size) <= 0 || !bayer_size_supported(frame.pixel_width, frame.pixel_height) ||
        !payload_covers(frame, pixel_bytes(PIXEL_FORMAT_BAYER_RG8)) || result_size > UINT32_MAX) {
        log.log_error(gvcp_log_error_level,
                      "[function:BayerRG8ToRgb888] the data info (width or height or payload_size) error.");
        return nullptr;
    }
    uint8_t* rgb = static_cast<uint8_t*>(std::malloc(static_cast<size_t>(result_size)));
    if (!rgb) {
        log.log_error(gvcp_log_error_level, "[function:BayerRG8ToRgb888] Failed to allocate the converted image.");
        return nullptr;
    }
    bayer_rg8_to_rgb888(reinterpret_cast<const uint8_t*>(frame.pixel), frame.pixel_width, frame.pixel_height, rgb);
    // The buffer is sized from payload_size as callers expect; what the
    // pixels do not fill is cleared.
    const size_t written = static_cast<size_t>(pixel_count(frame)) * 3;
    std::memset(rgb + written, 0, static_cast<size_t>(result_size) - written);
    *size = static_cast<uint32_t>(result_size);
    return reinterpret_cast<char*>(rgb);
}

void bayer_frame_to_rgb888(cameralog& log, PhotoInfo& frame)
{
    uint32_t size = 0;
    char* rgb = bayer_frame_rgb888_copy(log, frame, &size);
    if (!rgb)
        return;
    std::free(frame.pixel);
    frame.pixel = rgb;
    frame.pixel_format = PIXEL_FORMAT_RGB8;
    frame.payload_size = size;
}

void raw_frame_to_rgb888(cameralog& log, PhotoInfo& frame)
{
    if (!frame.pixel) {
        log.log_error(gvcp_log_error_level, "[function:RawdataToRgb888] the incoming parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return;
    }
    if (frame.pixel_format == PIXEL_FORMAT_YUV422_8)
        yuyv_frame_to_rgb888(log, frame);
    else if (frame.pixel_format == PIXEL_FORMAT_BAYER_RG8)
        bayer_frame_to_rgb888(log, frame);
}

}  // namespace imaging
