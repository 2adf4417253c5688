#include "imaging/cloud_filters.h"

#include <cmath>
#include <cstring>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#if defined(__ARM_NEON) && defined(__aarch64__)
#define VORA_FILTER_NEON 1
#include <arm_neon.h>
#endif

#include "imaging/cloud_convert.h"
#include "imaging/pixel_format.h"

namespace imaging {

namespace {

inline bool has_depth(float z)
{
    return std::fabs(static_cast<double>(z)) > 1e-6;
}

}  // namespace

namespace {

// The float of every 16-bit raw value of a coordinate (x and y signed, z
// unsigned), each divided by the unit in single precision: a table lookup
// per value instead of a division.
struct RawFloats {
    explicit RawFloats(float unit) : xy(65536), z(65536)
    {
        for (uint32_t bits = 0; bits < 65536; ++bits) {
            const char point[6] = {static_cast<char>(bits), static_cast<char>(bits >> 8), 0, 0,
                                   static_cast<char>(bits), static_cast<char>(bits >> 8)};
            xy[bits] = raw_x_to_float(point, unit);
            z[bits] = raw_z_to_float(point, unit);
        }
    }
    std::vector<float> xy, z;
};

// One row of a cloud as separate x and z floats, with room to read eight
// past the end.
void load_xz(const char* raw, size_t w, const RawFloats& floats, float* xs, float* zs)
{
    for (size_t c = 0; c < w; ++c, raw += 6) {
        xs[c] = floats.xy[load_le16(raw)];
        zs[c] = floats.z[load_le16(raw + 4)];
    }
    for (size_t k = 0; k < 8; ++k)
        xs[w + k] = zs[w + k] = 0.0f;
}

#if defined(__x86_64__)
// The windows of eight centres at a time, where the processor has AVX2:
// the same single- and double-precision operations lane by lane, so the
// same windows as the other paths. Returns the first centre not done.
__attribute__((target("avx2"))) size_t find_windows_avx2(const float* const xs[3], const float* const zs[3], size_t w,
                                                         double k, uint32_t* out)
{
    const __m256 sign = _mm256_set1_ps(-0.0f);
    const __m256d cap = _mm256_set1_pd(15.0), scale = _mm256_set1_pd(k), depth = _mm256_set1_pd(1e-6),
                  sign_d = _mm256_set1_pd(-0.0);
    const __m256i three = _mm256_set1_epi32(3);
    size_t c = 1;
    for (; c + 8 <= w - 1; c += 8) {
        const __m256 xc = _mm256_loadu_ps(xs[2] + c), zc = _mm256_loadu_ps(zs[2] + c);
        const __m256d z_lo = _mm256_cvtps_pd(_mm256_castps256_ps128(zc));
        const __m256d z_hi = _mm256_cvtps_pd(_mm256_extractf128_ps(zc, 1));
        const __m256 threshold = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_min_pd(_mm256_mul_pd(scale, z_hi), cap)),
                                                 _mm256_cvtpd_ps(_mm256_min_pd(_mm256_mul_pd(scale, z_lo), cap)));
        const __m256d deep_lo = _mm256_cmp_pd(_mm256_andnot_pd(sign_d, z_lo), depth, _CMP_GT_OQ);
        const __m256d deep_hi = _mm256_cmp_pd(_mm256_andnot_pd(sign_d, z_hi), depth, _CMP_GT_OQ);
        // Four 64-bit flags per half to eight 32-bit ones.
        const __m256i pick = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
        const __m256i with_depth =
            _mm256_blend_epi32(_mm256_permutevar8x32_epi32(_mm256_castpd_si256(deep_lo), pick),
                               _mm256_permutevar8x32_epi32(_mm256_castpd_si256(deep_hi), pick), 0xF0);
        __m256i bits = _mm256_setzero_si256(), count = _mm256_setzero_si256();
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i)
#pragma GCC unroll 3
            for (int j = 0; j < 3; ++j) {
                const __m256 dz = _mm256_andnot_ps(sign, _mm256_sub_ps(zc, _mm256_loadu_ps(zs[i] + c - 1 + j)));
                const __m256 dx = _mm256_andnot_ps(sign, _mm256_sub_ps(xc, _mm256_loadu_ps(xs[i] + c - 1 + j)));
                const __m256i within = _mm256_castps_si256(_mm256_cmp_ps(_mm256_add_ps(dz, dx), threshold, _CMP_LT_OQ));
                bits = _mm256_or_si256(bits, _mm256_and_si256(within, _mm256_set1_epi32(1 << (3 * i + j))));
                count = _mm256_sub_epi32(count, within);
            }
        const __m256i counts = _mm256_and_si256(_mm256_cmpgt_epi32(count, three), with_depth);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + c), _mm256_and_si256(bits, counts));
    }
    return c;
}

bool has_avx2()
{
    static const bool supported = __builtin_cpu_supports("avx2");
    return supported;
}
#endif

#if defined(VORA_FILTER_NEON)
// The windows of four centres at a time on ARM, lane by lane the scalar
// rule's operations. Returns the first centre not done.
size_t find_windows_neon(const float* const xs[3], const float* const zs[3], size_t w, double k, uint32_t* out)
{
    const float64x2_t cap = vdupq_n_f64(15.0), scale = vdupq_n_f64(k), depth = vdupq_n_f64(1e-6);
    const int32x4_t three = vdupq_n_s32(3);
    size_t c = 1;
    for (; c + 4 <= w - 1; c += 4) {
        const float32x4_t xc = vld1q_f32(xs[2] + c), zc = vld1q_f32(zs[2] + c);
        // The threshold and the depth test in double, as each centre's are.
        // A select, not fmin: fmin gives NaN for a NaN product where the rule
        // takes the cap.
        const float64x2_t z_lo = vcvt_f64_f32(vget_low_f32(zc)), z_hi = vcvt_high_f64_f32(zc);
        const float64x2_t t_lo = vmulq_f64(scale, z_lo), t_hi = vmulq_f64(scale, z_hi);
        const float32x4_t threshold = vcombine_f32(vcvt_f32_f64(vbslq_f64(vcltq_f64(t_lo, cap), t_lo, cap)),
                                                   vcvt_f32_f64(vbslq_f64(vcltq_f64(t_hi, cap), t_hi, cap)));
        const uint32x4_t with_depth =
            vcombine_u32(vmovn_u64(vcgtq_f64(vabsq_f64(z_lo), depth)), vmovn_u64(vcgtq_f64(vabsq_f64(z_hi), depth)));
        uint32x4_t bits = vdupq_n_u32(0);
        int32x4_t count = vdupq_n_s32(0);
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i)
#pragma GCC unroll 3
            for (int j = 0; j < 3; ++j) {
                // fabd is the absolute value of the rounded difference.
                const float32x4_t dz = vabdq_f32(zc, vld1q_f32(zs[i] + c - 1 + j));
                const float32x4_t dx = vabdq_f32(xc, vld1q_f32(xs[i] + c - 1 + j));
                const uint32x4_t within = vcltq_f32(vaddq_f32(dz, dx), threshold);
                bits = vorrq_u32(bits, vandq_u32(within, vdupq_n_u32(1u << (3 * i + j))));
                count = vsubq_s32(count, vreinterpretq_s32_u32(within));
            }
        const uint32x4_t counts = vandq_u32(vcgtq_s32(count, three), with_depth);
        vst1q_u32(out + c, vandq_u32(bits, counts));
    }
    return c;
}
#endif

// The window of centre c: bit 3 * i + j set when the point of window row i
// (0 the top, 2 the centre's) and column c - 1 + j lies within the
// tolerance of the centre. 0 unless the centre has depth and at least four
// points of its window (itself included) agree: a window that counts.
void find_windows(const float* const xs[3], const float* const zs[3], size_t w, double k, uint32_t* out)
{
    size_t c = 1;
#if defined(__x86_64__)
    if (has_avx2())
        c = find_windows_avx2(xs, zs, w, k, out);
#endif
#if defined(__SSE2__)
    const __m128 sign = _mm_set1_ps(-0.0f);
    const __m128d cap = _mm_set1_pd(15.0), scale = _mm_set1_pd(k), depth = _mm_set1_pd(1e-6),
                  sign_d = _mm_set1_pd(-0.0);
    const __m128i three = _mm_set1_epi32(3);
    for (; c + 4 <= w - 1; c += 4) {
        const __m128 xc = _mm_loadu_ps(xs[2] + c), zc = _mm_loadu_ps(zs[2] + c);
        // The threshold and the depth test in double, as each centre's are.
        const __m128d z_lo = _mm_cvtps_pd(zc), z_hi = _mm_cvtps_pd(_mm_movehl_ps(zc, zc));
        const __m128 threshold = _mm_movelh_ps(_mm_cvtpd_ps(_mm_min_pd(_mm_mul_pd(scale, z_lo), cap)),
                                               _mm_cvtpd_ps(_mm_min_pd(_mm_mul_pd(scale, z_hi), cap)));
        __m128i bits = _mm_setzero_si128(), count = _mm_setzero_si128();
#pragma GCC unroll 3
        for (int i = 0; i < 3; ++i)
#pragma GCC unroll 3
            for (int j = 0; j < 3; ++j) {
                const __m128 dz = _mm_andnot_ps(sign, _mm_sub_ps(zc, _mm_loadu_ps(zs[i] + c - 1 + j)));
                const __m128 dx = _mm_andnot_ps(sign, _mm_sub_ps(xc, _mm_loadu_ps(xs[i] + c - 1 + j)));
                const __m128i within = _mm_castps_si128(_mm_cmplt_ps(_mm_add_ps(dz, dx), threshold));
                bits = _mm_or_si128(bits, _mm_and_si128(within, _mm_set1_epi32(1 << (3 * i + j))));
                count = _mm_sub_epi32(count, within);
            }
        // The two depth flags of each half, one per lane.
        const int depth_lanes = _mm_movemask_pd(_mm_cmpgt_pd(_mm_andnot_pd(sign_d, z_lo), depth)) |
                                _mm_movemask_pd(_mm_cmpgt_pd(_mm_andnot_pd(sign_d, z_hi), depth)) << 2;
        const __m128i with_depth = _mm_setr_epi32(depth_lanes & 1 ? -1 : 0, depth_lanes & 2 ? -1 : 0,
                                                  depth_lanes & 4 ? -1 : 0, depth_lanes & 8 ? -1 : 0);
        const __m128i counts = _mm_and_si128(_mm_cmpgt_epi32(count, three), with_depth);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + c), _mm_and_si128(bits, counts));
    }
#elif defined(VORA_FILTER_NEON)
    c = find_windows_neon(xs, zs, w, k, out);
#endif
    for (; c + 1 < w; ++c) {
        const float zc = zs[2][c], xc = xs[2][c];
        out[c] = 0;
        if (!has_depth(zc))
            continue;
        const double t = k * static_cast<double>(zc);
        const float threshold = t < 15.0 ? static_cast<float>(t) : 15.0f;
        uint32_t agree = 0;
        int agreeing = 0;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                const size_t q = c - 1 + static_cast<size_t>(j);
                if (std::fabs(zc - zs[i][q]) + std::fabs(xc - xs[i][q]) < threshold) {
                    agree |= 1u << (3 * i + j);
                    ++agreeing;
                }
            }
        if (agreeing > 3)
            out[c] = agree;
    }
}

#if defined(VORA_FILTER_NEON)
// Sixteen flags of window row s0 / 3 at a time; returns the first point not
// done. Shifts right are shifts left by a negative count.
size_t mark_kept_neon(const uint32_t* padded, size_t w, int s0, uint8_t* row)
{
    const int32x4_t c0 = vdupq_n_s32(-s0), c1 = vdupq_n_s32(-s0 - 1), c2 = vdupq_n_s32(-s0 - 2);
    const uint32x4_t one = vdupq_n_u32(1);
    auto four = [&](size_t at) {
        const uint32x4_t right = vshlq_u32(vld1q_u32(padded + at + 2), c0);
        const uint32x4_t here = vshlq_u32(vld1q_u32(padded + at + 1), c1);
        const uint32x4_t left = vshlq_u32(vld1q_u32(padded + at), c2);
        return vandq_u32(vorrq_u32(vorrq_u32(right, here), left), one);
    };
    size_t q = 0;
    for (; q + 16 <= w; q += 16) {
        // Flags are 0 or 1: plain narrowing loses nothing.
        const uint8x8_t a = vmovn_u16(vcombine_u16(vmovn_u32(four(q)), vmovn_u32(four(q + 4))));
        const uint8x8_t b = vmovn_u16(vcombine_u16(vmovn_u32(four(q + 8)), vmovn_u32(four(q + 12))));
        vst1q_u8(row + q, vorrq_u8(vld1q_u8(row + q), vcombine_u8(a, b)));
    }
    return q;
}
#endif

// Marks kept what the counting windows of one row agreed on: point q of
// window row i is kept when the window of centre q + 1 - j has bit 3i + j.
// `padded` holds centre c's window at c + 1 and zeros around the centres.
void mark_kept(const uint32_t* padded, size_t w, uint8_t* const kept[3])
{
    for (int i = 0; i < 3; ++i) {
        uint8_t* row = kept[i];
        const int s0 = 3 * i, s1 = s0 + 1, s2 = s0 + 2;
        size_t q = 0;
#if defined(__SSE2__)
        const __m128i c0 = _mm_cvtsi32_si128(s0), c1 = _mm_cvtsi32_si128(s1), c2 = _mm_cvtsi32_si128(s2),
                      one = _mm_set1_epi32(1);
        auto four = [&](size_t at) {
            const __m128i right = _mm_loadu_si128(reinterpret_cast<const __m128i*>(padded + at + 2));
            const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(padded + at + 1));
            const __m128i left = _mm_loadu_si128(reinterpret_cast<const __m128i*>(padded + at));
            return _mm_and_si128(
                _mm_or_si128(_mm_or_si128(_mm_srl_epi32(right, c0), _mm_srl_epi32(here, c1)), _mm_srl_epi32(left, c2)),
                one);
        };
        for (; q + 16 <= w; q += 16) {
            const __m128i flags =
                _mm_packus_epi16(_mm_packs_epi32(four(q), four(q + 4)), _mm_packs_epi32(four(q + 8), four(q + 12)));
            __m128i* at = reinterpret_cast<__m128i*>(row + q);
            _mm_storeu_si128(at, _mm_or_si128(_mm_loadu_si128(at), flags));
        }
#elif defined(VORA_FILTER_NEON)
        q = mark_kept_neon(padded, w, s0, row);
#endif
        for (; q < w; ++q)
            row[q] |= static_cast<uint8_t>(((padded[q + 2] >> s0) | (padded[q + 1] >> s1) | (padded[q] >> s2)) & 1);
    }
}

}  // namespace

void filter_point_cloud(cameralog& log, PhotoInfo& frame, double tolerance)
{
    if (!is_readable_cloud(&frame)) {
        log.log_error(gvcp_log_error_level,
                      "[function:FilterPointCloud] Failed to filter point cloud data due to the pixel_format error, "
                      "error code: %d",
                      VORA_ERR_INVALID_ARG);
        return;
    }
    const int32_t W = static_cast<int32_t>(frame.pixel_width);
    const int32_t H = static_cast<int32_t>(frame.pixel_height);
    const float unit = static_cast<float>(frame.cloud_unit);
    char* raw = frame.pixel;
    const size_t row_bytes = static_cast<size_t>(frame.pixel_width) * 6;

    if (!(H > 4 && W > 2)) {
        std::memset(raw, 0, static_cast<size_t>(pixel_count(frame)) * 6);
        return;
    }

    // A window reaches two rows up from its centre, so a row is final once
    // the centres two rows below it are done. Three rows of x and z (ring
    // indexed by row % 3) and their keep flags are all the state needed.
    const size_t w = static_cast<size_t>(W);
    const RawRoundTrip round_trip(unit);
    const RawFloats floats(unit);
    std::vector<float> xs(3 * (w + 8)), zs(3 * (w + 8));
    std::vector<uint8_t> kept(3 * w);
    // Centre c's window at c + 1, with zeros around the centres.
    std::vector<uint32_t> padded(w + 2, 0);
    uint32_t* const windows = padded.data() + 1;
    auto load_row = [&](int32_t r) {
        const size_t slot = static_cast<size_t>(r % 3);
        load_xz(raw + static_cast<size_t>(r) * row_bytes, w, floats, &xs[slot * (w + 8)], &zs[slot * (w + 8)]);
        std::memset(&kept[slot * w], 0, w);
    };
    auto flush_row = [&](int32_t r) {
        const uint8_t* keep = &kept[static_cast<size_t>(r % 3) * w];
        char* p = raw + static_cast<size_t>(r) * row_bytes;
        if (!round_trip.identity()) {
            for (size_t c = 0; c < w; ++c, p += 6) {
                if (keep[c])
                    round_trip.apply(p);
                else
                    std::memset(p, 0, 6);
            }
            return;
        }
        // Kept points stay as they are: clear the others without a branch.
        for (size_t c = 0; c < w; ++c, p += 6) {
            const uint32_t mask = 0u - keep[c];
            uint32_t head;
            uint16_t tail;
            std::memcpy(&head, p, 4);
            std::memcpy(&tail, p + 4, 2);
            head &= mask;
            tail = static_cast<uint16_t>(tail & mask);
            std::memcpy(p, &head, 4);
            std::memcpy(p + 4, &tail, 2);
        }
    };

    const double k = tolerance * 0.005;
    load_row(0);
    load_row(1);
    for (int32_t r = 2; r <= H - 3; ++r) {
        load_row(r);
        const size_t slots[3] = {static_cast<size_t>((r - 2) % 3), static_cast<size_t>((r - 1) % 3),
                                 static_cast<size_t>(r % 3)};
        const float* const x_rows[3] = {&xs[slots[0] * (w + 8)], &xs[slots[1] * (w + 8)], &xs[slots[2] * (w + 8)]};
        const float* const z_rows[3] = {&zs[slots[0] * (w + 8)], &zs[slots[1] * (w + 8)], &zs[slots[2] * (w + 8)]};
        find_windows(x_rows, z_rows, w, k, windows);
        // Left to right, a window that counts takes its centre's right
        // neighbour, if that agreed, out of the centres of this row.
        uint32_t right_taken = 0;
        for (size_t c = 1; c + 1 < w; ++c) {
            const uint32_t window = windows[c] & (right_taken - 1);  // branch-free: data decides
            windows[c] = window;
            right_taken = (window >> 8) & 1;
        }
        uint8_t* const kept_rows[3] = {&kept[slots[0] * w], &kept[slots[1] * w], &kept[slots[2] * w]};
        mark_kept(padded.data(), w, kept_rows);
        flush_row(r - 2);
    }
    flush_row(H - 4);
    flush_row(H - 3);
    std::memset(raw + static_cast<size_t>(H - 2) * row_bytes, 0, 2 * row_bytes);
}

namespace {

// Counts per occupied cell: open addressing over 64-bit cell keys, grown by
// doubling, so memory follows the number of occupied cells.
class CellCounts {
public:
    CellCounts() : keys_(size_t(1) << kInitialBits, 0), counts_(keys_.size(), 0) {}

    void add(uint64_t key)
    {
        if (key == last_key_) {
            ++counts_[last_slot_];
            return;
        }
        if (2 * (used_ + 1) > keys_.size())
            grow();
        const size_t slot = find(key);
        if (keys_[slot] == 0) {
            keys_[slot] = key;
            ++used_;
        }
        ++counts_[slot];
        last_key_ = key;
        last_slot_ = slot;
    }

    int32_t count(uint64_t key)
    {
        if (key == last_key_)
            return counts_[last_slot_];
        const size_t slot = find(key);
        if (keys_[slot] == 0)
            return 0;
        last_key_ = key;
        last_slot_ = slot;
        return counts_[slot];
    }

private:
    static constexpr int kInitialBits = 10;

    // Key 0 marks an empty slot; callers' keys are never 0. The slot is the
    // top bits of the multiplied key, which every bit of the key reaches
    // (cells differing only in x differ only in the key's high bits).
    size_t find(uint64_t key) const
    {
        const size_t mask = keys_.size() - 1;
        size_t slot = static_cast<size_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits_));
        while (keys_[slot] != 0 && keys_[slot] != key)
            slot = (slot + 1) & mask;
        return slot;
    }

    void grow()
    {
        std::vector<uint64_t> old_keys(keys_.size() * 2, 0);
        std::vector<int32_t> old_counts(counts_.size() * 2, 0);
        old_keys.swap(keys_);
        old_counts.swap(counts_);
        ++bits_;
        for (size_t i = 0; i < old_keys.size(); ++i) {
            if (old_keys[i] == 0)
                continue;
            const size_t slot = find(old_keys[i]);
            keys_[slot] = old_keys[i];
            counts_[slot] = old_counts[i];
        }
        last_key_ = 0;
    }

    std::vector<uint64_t> keys_;
    std::vector<int32_t> counts_;
    int bits_ = kInitialBits;  // keys_.size() is 2^bits_
    size_t used_ = 0;
    uint64_t last_key_ = 0;  // never a real key
    size_t last_slot_ = 0;
};

// Cell indices are kept within +-2^19, so each fits 21 bits once biased;
// no real cloud comes near (raw 16-bit coordinates over 30-unit cells).
constexpr float kCellLimit = 524288.0f;
constexpr int64_t kCellBias = int64_t(1) << 20;

// Floor of a float whose magnitude is below kCellLimit.
inline int64_t floor_cell(float v)
{
    const int32_t t = static_cast<int32_t>(v);
    return t - (v < static_cast<float>(t) ? 1 : 0);
}

// Cells are the 30-unit cubes of the grid over the depth range, anchored at
// (-d, -d, 0), continued beyond it in every direction: floor division, which
// inside the grid is the truncation the grid uses. A cell is keyed by its
// three indices, biased to 21 bits each. Points whose coordinates are not
// finite (from a cloud unit of 0) lie in no cell.
//
// The tables hold the biased index of every 16-bit raw value of a
// coordinate, or kNowhere, and for z whether the value has depth: a point's
// cell is three lookups.
constexpr uint32_t kNowhere = 0x80000000u;

struct CellTables {
    CellTables(float unit, float half_range) : xy(65536), z(65536), deep(65536)
    {
        for (uint32_t bits = 0; bits < 65536; ++bits) {
            const char point[6] = {static_cast<char>(bits), static_cast<char>(bits >> 8), 0, 0,
                                   static_cast<char>(bits), static_cast<char>(bits >> 8)};
            xy[bits] = cell_of((raw_x_to_float(point, unit) + half_range) / 30.0f);
            const float depth = raw_z_to_float(point, unit);
            z[bits] = cell_of(depth / 30.0f);
            deep[bits] = has_depth(depth);
        }
    }
    static uint32_t cell_of(float c)
    {
        if (!(std::fabs(c) < kCellLimit))
            return kNowhere;
        return static_cast<uint32_t>(floor_cell(c) + kCellBias);
    }
    // The point's cell key, 0 when it lies nowhere.
    uint64_t key(const uint8_t* p) const
    {
        const uint32_t a = xy[load_le16(p)];
        const uint32_t b = xy[load_le16(p + 2)];
        const uint32_t c = z[load_le16(p + 4)];
        if ((a | b | c) & kNowhere)
            return 0;
        return uint64_t(a) << 42 | uint64_t(b) << 21 | c;
    }
    bool has_depth_at(const uint8_t* p) const { return deep[load_le16(p + 4)] != 0; }

    std::vector<uint32_t> xy, z;
    std::vector<uint8_t> deep;
};

}  // namespace

int spatial_filter_point_cloud(cameralog& log, PhotoInfo& frame, int min_points)
{
    if (!is_readable_cloud(&frame)) {
        log.log_error(gvcp_log_error_level,
                      "[function:SpatialFilterPointcloud] Failed to filter point cloud data due to the pixel_format "
                      "error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    const size_t points = static_cast<size_t>(pixel_count(frame));
    const float unit = static_cast<float>(frame.cloud_unit);
    char* raw = frame.pixel;
    if (points == 0)
        return VORA_OK;

    if (min_points <= 0) {
        raw_cloud_round_trip(raw, points, unit);
        return VORA_OK;
    }

    // Depth range: z is never below 0, so it runs from 0 to the largest z,
    // and division keeps the order of the raw values.
    uint16_t max_raw_z = 0;
    for (size_t i = 0; i < points; ++i) {
        const uint16_t z = load_le16(raw + 6 * i + 4);
        if (z > max_raw_z)
            max_raw_z = z;
    }
    const float z_max = max_raw_z > 0 ? static_cast<float>(max_raw_z) / unit : 0.0f;
    // Half the depth range anchors the cells in x and y.
    const float half_range = static_cast<float>(trunc_float_to_int32((z_max - 0.0f) * 0.5f));

    const CellTables cells(unit, half_range);
    CellCounts counts;
    for (size_t i = 0; i < points; ++i) {
        const uint8_t* p = reinterpret_cast<const uint8_t*>(raw + 6 * i);
        if (!cells.has_depth_at(p))
            continue;
        if (const uint64_t key = cells.key(p))
            counts.add(key);
    }
    const RawRoundTrip round_trip(unit);
    for (size_t i = 0; i < points; ++i) {
        char* p = raw + 6 * i;
        const uint8_t* b = reinterpret_cast<const uint8_t*>(p);
        bool keep = true;
        if (cells.has_depth_at(b)) {
            const uint64_t key = cells.key(b);
            keep = key != 0 && counts.count(key) >= min_points;
        }
        if (!keep)
            std::memset(p, 0, 6);
        else if (!round_trip.identity())
            round_trip.apply(p);
    }
    return VORA_OK;
}

namespace {

// Sums wrap as the 32-bit integers of the mask do.
inline int32_t wrap_sum(uint32_t sum)
{
    return static_cast<int32_t>(sum);
}

template <typename Rule>
void morph(int* mask, uint32_t width, uint32_t height, Rule rule)
{
    const size_t W = width;
    if (W == 0 || height == 0)
        return;
    // Row i's result needs rows i-1 and i as they were; those two originals
    // are kept aside while row i is overwritten.
    std::vector<int> above(W), here(W);
    for (uint32_t i = 0; i < height; ++i) {
        int* row = mask + static_cast<size_t>(i) * W;
        above.swap(here);
        std::memcpy(here.data(), row, W * sizeof(int));
        if (i == 0 || i + 1 == height) {
            std::memset(row, 0, W * sizeof(int));
            continue;
        }
        const int* below = row + W;
        row[0] = 0;
        for (size_t j = 1; j + 1 < W; ++j)
            row[j] = rule(above.data() + j, here.data() + j, below + j) ? 255 : 0;
        row[W - 1] = 0;
    }
}

}  // namespace

void pixel_swell(int* mask, uint32_t width, uint32_t height)
{
    if (!mask)
        return;
    morph(mask, width, height, [](const int* a, const int* h, const int* b) {
        uint32_t sum = 0;
        for (int d = -1; d <= 1; ++d)
            sum += static_cast<uint32_t>(a[d]) + static_cast<uint32_t>(h[d]) + static_cast<uint32_t>(b[d]);
        return wrap_sum(sum) > 0;
    });
}

void pixel_corrosion(int* mask, uint32_t width, uint32_t height)
{
    if (!mask)
        return;
    morph(mask, width, height, [](const int* a, const int* h, const int* b) {
        const uint32_t sum = static_cast<uint32_t>(a[0]) + static_cast<uint32_t>(h[-1]) + static_cast<uint32_t>(h[0]) +
                             static_cast<uint32_t>(h[1]) + static_cast<uint32_t>(b[0]);
        return wrap_sum(sum) >= 5 * 255;
    });
}

}  // namespace imaging
