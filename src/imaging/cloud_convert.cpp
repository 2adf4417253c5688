#include "imaging/cloud_convert.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "imaging/pixel_format.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__) || defined(__i386__)
#include <tmmintrin.h>
#endif
// The NEON paths read raw points with structure loads: little-endian only.
#if defined(__ARM_NEON) && defined(__aarch64__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
#define VORA_CLOUD_NEON 1
#include <arm_neon.h>
#endif

namespace imaging {

bool build_round_trip_table(float unit, bool is_unsigned, uint16_t* table)
{
    bool identity = true;
    uint32_t bits = 0;
#if defined(__SSE2__)
    const __m128 u = _mm_set1_ps(unit);
    for (; bits < 65536; bits += 4) {
        const __m128i raw = _mm_setr_epi32(static_cast<int>(bits), static_cast<int>(bits + 1),
                                           static_cast<int>(bits + 2), static_cast<int>(bits + 3));
        // Signed coordinates: sign-extend the low 16 bits.
        const __m128i v = is_unsigned ? raw : _mm_srai_epi32(_mm_slli_epi32(raw, 16), 16);
        // cvttps gives INT32_MIN for NaN and out-of-range values, as the
        // scalar rule does.
        const __m128i t = _mm_cvttps_epi32(_mm_mul_ps(_mm_div_ps(_mm_cvtepi32_ps(v), u), u));
        int32_t r[4];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(r), t);
        for (int l = 0; l < 4; ++l) {
            table[bits + l] = static_cast<uint16_t>(static_cast<uint32_t>(r[l]));
            identity &= table[bits + l] == static_cast<uint16_t>(bits + l);
        }
    }
#elif defined(VORA_CLOUD_NEON)
    const float32x4_t u = vdupq_n_f32(unit);
    // The scalar rule's range test: fcvtzs saturates and gives 0 for NaN,
    // where the rule wants INT32_MIN.
    const float32x4_t low = vdupq_n_f32(-2147483648.0f), high = vdupq_n_f32(2147483648.0f);
    const int32x4_t out_of_range = vdupq_n_s32(INT32_MIN);
    const uint32x4_t step = {0, 1, 2, 3};
    uint16x4_t changed = vdup_n_u16(0);
    for (; bits < 65536; bits += 4) {
        const uint32x4_t raw = vaddq_u32(vdupq_n_u32(bits), step);
        // Signed coordinates: sign-extend the low 16 bits.
        const int32x4_t v =
            is_unsigned ? vreinterpretq_s32_u32(raw) : vshrq_n_s32(vshlq_n_s32(vreinterpretq_s32_u32(raw), 16), 16);
        const float32x4_t f = vmulq_f32(vdivq_f32(vcvtq_f32_s32(v), u), u);
        const uint32x4_t in_range = vandq_u32(vcgtq_f32(f, low), vcltq_f32(f, high));
        const int32x4_t t = vbslq_s32(in_range, vcvtq_s32_f32(f), out_of_range);
        const uint16x4_t r = vmovn_u32(vreinterpretq_u32_s32(t));
        vst1_u16(table + bits, r);
        changed = vorr_u16(changed, veor_u16(r, vmovn_u32(raw)));
    }
    identity &= vmaxv_u16(changed) == 0;
#endif
    for (; bits < 65536; ++bits) {
        const float v = is_unsigned ? static_cast<float>(bits)
                                    : static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(bits)));
        table[bits] = float_to_raw16(v / unit, unit);
        identity &= table[bits] == bits;
    }
    return identity;
}

RawRoundTrip::RawRoundTrip(float unit) : xy_(65536), z_(65536)
{
    identity_ = build_round_trip_table(unit, false, xy_.data());
    identity_ = build_round_trip_table(unit, true, z_.data()) && identity_;
}

void RawRoundTrip::apply(char* point) const
{
    store_le16(point, xy_[load_le16(point)]);
    store_le16(point + 2, xy_[load_le16(point + 2)]);
    store_le16(point + 4, z_[load_le16(point + 4)]);
}

namespace {

// Value k of a raw cloud (k % 3 == 2 is a z, read unsigned).
inline float raw_value_to_float(const char* raw, size_t k, float unit)
{
    const uint16_t bits = load_le16(raw + 2 * k);
    const float v = (k % 3 == 2) ? static_cast<float>(bits) : static_cast<float>(static_cast<int16_t>(bits));
    return v / unit;
}

inline void store_be16(char* p, uint16_t v)
{
    p[0] = static_cast<char>(v >> 8);
    p[1] = static_cast<char>(v & 0xFF);
}

#if defined(__SSE2__)
// Eight 16-bit values to two vectors of four int32, each lane sign- or
// zero-extended as its mask says (all ones: unsigned).
inline void widen(__m128i v, __m128i unsigned_lo, __m128i unsigned_hi, __m128i* lo, __m128i* hi)
{
    const __m128i a = _mm_unpacklo_epi16(v, v);
    const __m128i b = _mm_unpackhi_epi16(v, v);
    const __m128i a_s = _mm_srai_epi32(a, 16), a_u = _mm_srli_epi32(a, 16);
    const __m128i b_s = _mm_srai_epi32(b, 16), b_u = _mm_srli_epi32(b, 16);
    *lo = _mm_or_si128(_mm_and_si128(unsigned_lo, a_u), _mm_andnot_si128(unsigned_lo, a_s));
    *hi = _mm_or_si128(_mm_and_si128(unsigned_hi, b_u), _mm_andnot_si128(unsigned_hi, b_s));
}

// Masks of the z lanes in the six groups of four values of eight points.
struct ZLanes {
    __m128i m[6];
    ZLanes()
    {
        for (int g = 0; g < 6; ++g) {
            int32_t lane[4];
            for (int l = 0; l < 4; ++l)
                lane[l] = ((4 * g + l) % 3 == 2) ? -1 : 0;
            m[g] = _mm_setr_epi32(lane[0], lane[1], lane[2], lane[3]);
        }
    }
};
#endif

#if defined(VORA_CLOUD_NEON)
// Eight points per step: the structure load splits x, y and z, so each is
// widened with its own signedness; the division is the true single-precision
// one, lane by lane the same as the scalar one. Returns the values done.
size_t raw_cloud_to_float_neon(const char* raw, size_t values, float unit, float* out)
{
    const float32x4_t u = vdupq_n_f32(unit);
    size_t k = 0;
    for (; k + 24 <= values; k += 24) {
        const uint16x8x3_t p = vld3q_u16(reinterpret_cast<const uint16_t*>(raw + 2 * k));
        const int16x8_t x = vreinterpretq_s16_u16(p.val[0]), y = vreinterpretq_s16_u16(p.val[1]);
        float32x4x3_t lo, hi;
        lo.val[0] = vdivq_f32(vcvtq_f32_s32(vmovl_s16(vget_low_s16(x))), u);
        lo.val[1] = vdivq_f32(vcvtq_f32_s32(vmovl_s16(vget_low_s16(y))), u);
        lo.val[2] = vdivq_f32(vcvtq_f32_u32(vmovl_u16(vget_low_u16(p.val[2]))), u);
        hi.val[0] = vdivq_f32(vcvtq_f32_s32(vmovl_s16(vget_high_s16(x))), u);
        hi.val[1] = vdivq_f32(vcvtq_f32_s32(vmovl_s16(vget_high_s16(y))), u);
        hi.val[2] = vdivq_f32(vcvtq_f32_u32(vmovl_u16(vget_high_u16(p.val[2]))), u);
        vst3q_f32(out + k, lo);
        vst3q_f32(out + k + 12, hi);
    }
    return k;
}
#endif

}  // namespace

void raw_cloud_to_float(const char* raw, size_t points, float unit, float* out)
{
    const size_t values = points * 3;
    size_t k = 0;
#if defined(__SSE2__)
    // Eight points (24 values, 48 bytes) per step; the division stays a true
    // single-precision division, lane by lane the same as the scalar one.
    const ZLanes z;
    const __m128 u = _mm_set1_ps(unit);
    for (; k + 24 <= values; k += 24) {
        const char* src = raw + 2 * k;
        __m128i w[6];
        widen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), z.m[0], z.m[1], &w[0], &w[1]);
        widen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16)), z.m[2], z.m[3], &w[2], &w[3]);
        widen(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32)), z.m[4], z.m[5], &w[4], &w[5]);
        for (int g = 0; g < 6; ++g)
            _mm_storeu_ps(out + k + 4 * g, _mm_div_ps(_mm_cvtepi32_ps(w[g]), u));
    }
#elif defined(VORA_CLOUD_NEON)
    k = raw_cloud_to_float_neon(raw, values, unit, out);
#endif
    for (; k < values; ++k)
        out[k] = raw_value_to_float(raw, k, unit);
}

namespace {

// The float round trip of every 16-bit raw value of one coordinate, stored
// as the big-endian bytes of the plane. Returns true when every value comes
// back unchanged (units 1 and 10, for instance).
bool build_plane_table(float unit, bool is_unsigned, uint16_t* table)
{
    const bool identity = build_round_trip_table(unit, is_unsigned, table);
    for (uint32_t bits = 0; bits < 65536; ++bits) {
        char be[2];
        store_be16(be, table[bits]);
        std::memcpy(&table[bits], be, 2);
    }
    return identity;
}

#if defined(__x86_64__) || defined(__i386__)
// When the round trip changes nothing, a plane is the coordinate's bytes
// gathered and swapped: eight points (48 bytes) per three byte shuffles.
__attribute__((target("ssse3"))) size_t gather_plane_ssse3(const char* raw, size_t points, int coordinate, char* out)
{
    __m128i masks[3];
    for (int k = 0; k < 3; ++k) {
        int8_t m[16];
        for (int o = 0; o < 16; ++o) {
            // Output byte o: point o / 2, high byte first.
            const int source = 6 * (o / 2) + 2 * coordinate + (o % 2 == 0 ? 1 : 0);
            m[o] = (source >= 16 * k && source < 16 * k + 16) ? static_cast<int8_t>(source - 16 * k) : -128;
        }
        masks[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(m));
    }
    size_t i = 0;
    for (; i + 8 <= points; i += 8) {
        const char* src = raw + 6 * i;
        const __m128i a = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src)), masks[0]);
        const __m128i b = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16)), masks[1]);
        const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32)), masks[2]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_or_si128(_mm_or_si128(a, b), c));
    }
    return i;
}

bool has_ssse3()
{
    static const bool supported = __builtin_cpu_supports("ssse3");
    return supported;
}
#endif

#if defined(VORA_CLOUD_NEON)
// The same gather on ARM: a structure load picks the coordinate of eight
// points, a byte reverse in each half-word puts the high byte first.
size_t gather_plane_neon(const char* raw, size_t points, int coordinate, char* out)
{
    size_t i = 0;
    for (; i + 8 <= points; i += 8) {
        const uint16x8x3_t p = vld3q_u16(reinterpret_cast<const uint16_t*>(raw + 6 * i));
        vst1q_u8(reinterpret_cast<uint8_t*>(out + 2 * i), vrev16q_u8(vreinterpretq_u8_u16(p.val[coordinate])));
    }
    return i;
}
#endif

}  // namespace

void raw_cloud_plane(const char* raw, size_t points, float unit, int coordinate, char* out)
{
    const char* src = raw + 2 * coordinate;
    const bool is_unsigned = coordinate == 2;
    if (points < 65536) {
        for (size_t i = 0; i < points; ++i) {
            const uint16_t bits = load_le16(src + 6 * i);
            const float v = is_unsigned ? static_cast<float>(bits) : static_cast<float>(static_cast<int16_t>(bits));
            store_be16(out + 2 * i, float_to_raw16(v / unit, unit));
        }
        return;
    }

    // Large clouds: the result depends only on the 16-bit raw value. When
    // the round trip is exact for every value the plane is a byte gather;
    // otherwise a table of all 65536 answers beats a division per point.
    // Exactness depends only on the unit and the signedness, and the last
    // exact pair found is remembered (units rarely change between frames).
    size_t done = 0;
    static std::atomic<uint64_t> exact_unit{0};
    uint32_t unit_bits;
    std::memcpy(&unit_bits, &unit, 4);
    const uint64_t key = (uint64_t(1) << 40) | (uint64_t(is_unsigned) << 32) | unit_bits;
    const bool known_exact = exact_unit.load(std::memory_order_relaxed) == key;
    std::vector<uint16_t> table;
    bool exact = known_exact;
    if (!known_exact) {
        table.resize(65536);
        exact = build_plane_table(unit, is_unsigned, table.data());
        if (exact)
            exact_unit.store(key, std::memory_order_relaxed);
    }
#if defined(__x86_64__) || defined(__i386__)
    if (exact && has_ssse3())
        done = gather_plane_ssse3(raw, points, coordinate, out);
#elif defined(VORA_CLOUD_NEON)
    if (exact)
        done = gather_plane_neon(raw, points, coordinate, out);
#endif
    if (exact) {
        for (size_t i = done; i < points; ++i) {
            out[2 * i] = src[6 * i + 1];
            out[2 * i + 1] = src[6 * i];
        }
        return;
    }
    for (size_t i = done; i < points; ++i) {
        const uint16_t r = table[load_le16(src + 6 * i)];
        std::memcpy(out + 2 * i, &r, 2);
    }
}

void raw_cloud_round_trip(char* raw, size_t points, float unit)
{
    if (points >= 65536) {
        // The tables cost less than a division per coordinate, and when the
        // round trip changes nothing there is nothing to do.
        const RawRoundTrip round_trip(unit);
        if (!round_trip.identity())
            for (size_t i = 0; i < points; ++i)
                round_trip.apply(raw + 6 * i);
        return;
    }
    for (size_t i = 0; i < points; ++i) {
        char* p = raw + 6 * i;
        store_raw_point(p, raw_x_to_float(p, unit), raw_y_to_float(p, unit), raw_z_to_float(p, unit), unit);
    }
}

void convert_cloud_to_float(cameralog& log, const PhotoInfo& frame, float* points)
{
    if (!frame.pixel || !points || !payload_covers(frame, kCloudPointBytes)) {
        log.log_error(gvcp_log_error_level,
                      "[function:Convert3DPointFromCharToFloat] the incoming parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return;
    }
    const size_t n = static_cast<size_t>(pixel_count(frame));
    raw_cloud_to_float(frame.pixel, n, static_cast<float>(frame.cloud_unit), points);
    // The caller's array is 2 x payload_size bytes; bytes past the points
    // are cleared as they always were.
    const size_t written = n * 12;
    const size_t promised = static_cast<size_t>(frame.payload_size) * 2;
    if (promised > written)
        std::memset(reinterpret_cast<char*>(points) + written, 0, promised - written);
}

int get_cloud_plane(cameralog& log, const PhotoInfo& frame, short* plane, int coordinate)
{
    if (!is_readable_cloud(&frame) || !plane || coordinate < 0 || coordinate > 2) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetCloudPlane] Failed to get the plane of cloud due to the incoming parameters "
                      "error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    raw_cloud_plane(frame.pixel, static_cast<size_t>(pixel_count(frame)), static_cast<float>(frame.cloud_unit),
                    coordinate, reinterpret_cast<char*>(plane));
    return VORA_OK;
}

int get_cloud_plane_x(cameralog& log, const PhotoInfo& frame, short* plane)
{
    if (!is_readable_cloud(&frame) || !plane) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetCloudPlaneX] Failed to get the plane X of cloud due to the incoming parameters "
                      "error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return get_cloud_plane(log, frame, plane, 0);
}

int get_cloud_plane_y(cameralog& log, const PhotoInfo& frame, short* plane)
{
    if (!is_readable_cloud(&frame) || !plane) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetCloudPlaneY] Failed to get the plane Y of cloud due to the incoming parameters "
                      "error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return get_cloud_plane(log, frame, plane, 1);
}

int get_cloud_plane_z(cameralog& log, const PhotoInfo& frame, short* plane)
{
    if (!is_readable_cloud(&frame) || !plane) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetCloudPlaneZ] Failed to get the plane Z of cloud due to the incoming parameters "
                      "error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return get_cloud_plane(log, frame, plane, 2);
}

}  // namespace imaging
