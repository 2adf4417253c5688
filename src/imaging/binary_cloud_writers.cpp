#include "imaging/binary_cloud_writers.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "imaging/cloud_convert.h"
#include "imaging/output_file.h"
#include "imaging/pixel_format.h"

namespace imaging {

// The files store floats little-endian, as the host holds them.
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "binary clouds are written from little-endian floats");

namespace {

inline bool has_depth(const float* p)
{
    return std::isfinite(p[0]) && std::isfinite(p[1]) && std::isfinite(p[2]) && static_cast<double>(p[2]) > 1e-6;
}

inline uint8_t colour_byte(float v)
{
    return static_cast<uint8_t>(v > 255.0f ? 255.0f : (v > 0.0f ? v : 0.0f));
}

void put_text(OutputFile& out, const char* text)
{
    out.write(text, std::strlen(text));
}

void put_ply_header(OutputFile& out, size_t points, bool colour)
{
    char count[64];
    std::snprintf(count, sizeof count, "element vertex %zu\n", points);
    put_text(out, "ply\nformat binary_little_endian 1.0\n");
    put_text(out, count);
    put_text(out, "property float x\nproperty float y\nproperty float z\n");
    if (colour)
        put_text(out, "property uchar red\nproperty uchar green\nproperty uchar blue\n");
    put_text(out, "end_header\n");
}

// Calls visit(xyz) for every point of a raw cloud.
template <typename Visit>
void each_raw_point(const PhotoInfo& frame, Visit visit)
{
    for_each_float_block(frame, [&](const float* xyz, size_t n) {
        for (size_t i = 0; i < n; ++i)
            visit(xyz + 3 * i);
    });
}

}  // namespace

int save_cloud_binary_ply(cameralog& log, const PhotoInfo& frame, const char* path)
{
    static constexpr SaveMessages kMessages{"SavePointCloudToBinaryPly", "point cloud data"};
    return save_file(log, kMessages, is_readable_cloud(&frame) && path, path, [&](OutputFile& out) {
        size_t count = 0;
        each_raw_point(frame, [&](const float* p) { count += has_depth(p); });
        put_ply_header(out, count, false);
        each_raw_point(frame, [&](const float* p) {
            if (has_depth(p))
                out.write(p, 12);
        });
    });
}

int save_fused_ply(cameralog& log, const PhotoInfo& frame, const float* fused, const char* path)
{
    static constexpr SaveMessages kMessages{"SavePointCloudWithImageToPly", "point cloud data"};
    return save_file(log, kMessages, is_readable_cloud(&frame) && fused && path, path, [&](OutputFile& out) {
        const size_t points = static_cast<size_t>(pixel_count(frame));
        size_t count = 0;
        for (size_t i = 0; i < points; ++i)
            count += has_depth(fused + 6 * i);
        put_ply_header(out, count, true);
        for (size_t i = 0; i < points; ++i) {
            const float* v = fused + 6 * i;
            if (!has_depth(v))
                continue;
            uint8_t point[15];
            std::memcpy(point, v, 12);
            point[12] = colour_byte(v[5]);
            point[13] = colour_byte(v[4]);
            point[14] = colour_byte(v[3]);
            out.write(point, sizeof point);
        }
    });
}

int save_fused_pcd(cameralog& log, const PhotoInfo& frame, const float* fused, const char* path)
{
    static constexpr SaveMessages kMessages{"SavePointCloudWithImageToPcd", "point cloud data"};
    return save_file(log, kMessages, is_readable_cloud(&frame) && fused && path, path, [&](OutputFile& out) {
        const size_t points = static_cast<size_t>(pixel_count(frame));
        char header[512];
        const int n = std::snprintf(header, sizeof header,
                                    "# .PCD v0.7 - Point Cloud Data file format\n"
                                    "VERSION 0.7\nFIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F F\nCOUNT 1 1 1 1\n"
                                    "WIDTH %u\nHEIGHT %u\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS %zu\nDATA binary\n",
                                    frame.pixel_width, frame.pixel_height, points);
        out.write(header, static_cast<size_t>(n));
        const float nan = std::nanf("");
        for (size_t i = 0; i < points; ++i) {
            const float* v = fused + 6 * i;
            float point[4] = {nan, nan, nan, 0.0f};
            if (has_depth(v)) {
                std::memcpy(point, v, 12);
                // rgb packed as 0x00RRGGBB, the float field's usual reading.
                const uint32_t colour =
                    uint32_t(colour_byte(v[5])) << 16 | uint32_t(colour_byte(v[4])) << 8 | colour_byte(v[3]);
                std::memcpy(&point[3], &colour, 4);
            }
            out.write(point, sizeof point);
        }
    });
}

}  // namespace imaging
