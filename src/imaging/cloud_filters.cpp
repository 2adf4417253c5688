#include "imaging/cloud_filters.h"

#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/cloud_convert.h"
#include "imaging/pixel_format.h"

namespace imaging {

namespace {

inline bool has_depth(float z)
{
    return std::fabs(static_cast<double>(z)) > 1e-6;
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
    // the centres two rows below it are done. Three rows of float points
    // (ring indexed by row % 3) and their keep flags are all the state
    // needed; the done marks only matter on the centre row itself.
    const size_t w = static_cast<size_t>(W);
    std::vector<float> ring(9 * w);
    std::vector<uint8_t> kept(3 * w), done(w);
    auto load_row = [&](int32_t r) {
        const size_t slot = static_cast<size_t>(r % 3) * w;
        raw_cloud_to_float(raw + static_cast<size_t>(r) * row_bytes, w, unit, &ring[3 * slot]);
        std::memset(&kept[slot], 0, w);
    };
    auto flush_row = [&](int32_t r) {
        const size_t slot = static_cast<size_t>(r % 3) * w;
        char* p = raw + static_cast<size_t>(r) * row_bytes;
        const float* v = &ring[3 * slot];
        for (size_t c = 0; c < w; ++c, p += 6, v += 3) {
            if (kept[slot + c])
                store_raw_point(p, v[0], v[1], v[2], unit);
            else
                std::memset(p, 0, 6);
        }
    };

    load_row(0);
    load_row(1);
    for (int32_t r = 2; r <= H - 3; ++r) {
        load_row(r);
        std::memset(done.data(), 0, w);
        const size_t rows[3] = {static_cast<size_t>((r - 2) % 3) * w, static_cast<size_t>((r - 1) % 3) * w,
                                static_cast<size_t>(r % 3) * w};
        for (size_t c = 1; c + 1 < w; ++c) {
            const float* centre = &ring[3 * (rows[2] + c)];
            const float zc = centre[2];
            if (!has_depth(zc) || done[c])
                continue;
            const double t = tolerance * 0.005 * static_cast<double>(zc);
            const float threshold = t < 15.0 ? static_cast<float>(t) : 15.0f;
            const float xc = centre[0];
            uint8_t agree[3][3];
            int agreeing = 0;
            for (int i = 0; i < 3; ++i) {
                const float* q = &ring[3 * (rows[i] + c - 1)];
                for (int j = 0; j < 3; ++j, q += 3) {
                    agree[i][j] = std::fabs(zc - q[2]) + std::fabs(xc - q[0]) < threshold;
                    agreeing += agree[i][j];
                }
            }
            if (agreeing <= 3)
                continue;
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    kept[rows[i] + c - 1 + static_cast<size_t>(j)] |= agree[i][j];
            for (int j = 0; j < 3; ++j)
                done[c - 1 + static_cast<size_t>(j)] = agree[2][j];
        }
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

// The cell of a point with depth, as a non-zero key, or 0 when it lies
// nowhere (coordinates that are not finite, from a cloud unit of 0). Cells
// are the 30-unit cubes of the grid over the depth range, anchored at
// (-d, -d, 0), continued beyond it in every direction: floor division,
// which inside the grid is the truncation the grid uses.
inline uint64_t cell_key(float x, float y, float z, float half_range)
{
    const float cx = (x + half_range) / 30.0f;
    const float cy = (y + half_range) / 30.0f;
    const float cz = z / 30.0f;
    if (!(std::fabs(cx) < kCellLimit && std::fabs(cy) < kCellLimit && std::fabs(cz) < kCellLimit))
        return 0;
    return static_cast<uint64_t>(floor_cell(cx) + kCellBias) << 42 |
           static_cast<uint64_t>(floor_cell(cy) + kCellBias) << 21 | static_cast<uint64_t>(floor_cell(cz) + kCellBias);
}

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
        const uint8_t* b = reinterpret_cast<const uint8_t*>(raw + 6 * i + 4);
        const uint16_t z = static_cast<uint16_t>(b[0] | b[1] << 8);
        if (z > max_raw_z)
            max_raw_z = z;
    }
    const float z_max = max_raw_z > 0 ? static_cast<float>(max_raw_z) / unit : 0.0f;
    // Half the depth range anchors the cells in x and y.
    const float half_range = static_cast<float>(trunc_float_to_int32((z_max - 0.0f) * 0.5f));

    // Both passes convert a block of points at a time.
    constexpr size_t kBlock = 2048;
    float xyz[3 * kBlock];
    CellCounts counts;
    for (size_t first = 0; first < points; first += kBlock) {
        const size_t n_block = points - first < kBlock ? points - first : kBlock;
        raw_cloud_to_float(raw + 6 * first, n_block, unit, xyz);
        for (size_t i = 0; i < n_block; ++i) {
            const float* v = xyz + 3 * i;
            if (!has_depth(v[2]))
                continue;
            if (const uint64_t key = cell_key(v[0], v[1], v[2], half_range))
                counts.add(key);
        }
    }
    for (size_t first = 0; first < points; first += kBlock) {
        const size_t n_block = points - first < kBlock ? points - first : kBlock;
        raw_cloud_to_float(raw + 6 * first, n_block, unit, xyz);
        for (size_t i = 0; i < n_block; ++i) {
            const float* v = xyz + 3 * i;
            char* p = raw + 6 * (first + i);
            bool keep = true;
            if (has_depth(v[2])) {
                const uint64_t key = cell_key(v[0], v[1], v[2], half_range);
                keep = key != 0 && counts.count(key) >= min_points;
            }
            if (keep)
                store_raw_point(p, v[0], v[1], v[2], unit);
            else
                std::memset(p, 0, 6);
        }
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
        const uint32_t sum = static_cast<uint32_t>(a[0]) + static_cast<uint32_t>(h[-1]) +
                             static_cast<uint32_t>(h[0]) + static_cast<uint32_t>(h[1]) + static_cast<uint32_t>(b[0]);
        return wrap_sum(sum) >= 5 * 255;
    });
}

}  // namespace imaging
