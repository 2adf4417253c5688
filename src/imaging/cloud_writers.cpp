#include "imaging/cloud_writers.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "imaging/cloud_convert.h"
#include "imaging/output_file.h"
#include "imaging/pixel_format.h"
#include "imaging/text_format.h"

namespace imaging {

namespace {

inline bool text_keeps(float z)
{
    return static_cast<double>(z) > 1e-6;
}

// Appends "x y z \n" lines for the points of `xyz` with depth.
void put_point_lines(OutputFile& out, const float* xyz, size_t points)
{
    for (size_t i = 0; i < points; ++i) {
        const float* v = xyz + 3 * i;
        if (!text_keeps(v[2]))
            continue;
        char* p = out.reserve(3 * (kMaxFixed2 + 1) + 1);
        for (int k = 0; k < 3; ++k) {
            p = put_fixed2(p, v[k]);
            *p++ = ' ';
        }
        *p++ = '\n';
        out.commit(p);
    }
}

// Writes the point lines of the whole cloud, a block at a time.
void put_cloud_lines(OutputFile& out, const PhotoInfo& frame)
{
    for_each_float_block(frame, [&](const float* xyz, size_t n) { put_point_lines(out, xyz, n); });
}

size_t count_text_points(const PhotoInfo& frame)
{
    const size_t points = static_cast<size_t>(pixel_count(frame));
    const float unit = static_cast<float>(frame.cloud_unit);
    size_t count = 0;
    for (size_t i = 0; i < points; ++i)
        count += text_keeps(raw_z_to_float(frame.pixel + 6 * i, unit));
    return count;
}

}  // namespace

int save_cloud_pcd(cameralog& log, const PhotoInfo& frame, const char* path)
{
    // This writer says the same of a file it cannot create as of one it
    // cannot write.
    static constexpr SaveMessages kMessages{
        "SavePointCloudToPcd", "point cloud data", nullptr, " due to the pixel_format error", "", "",
        VORA_ERR_SAVE_FORMAT};
    return save_file(log, kMessages, is_readable_cloud(&frame) && path, path, [&](OutputFile& out) {
        char header[512];
        const int n = std::snprintf(header, sizeof header,
                                    "# .PCD v0.7 - Point Cloud Data file format\r\n"
                                    "VERSION 0.7\r\n"
                                    "FIELDS x y z\r\n"
                                    "SIZE 4 4 4\r\n"
                                    "TYPE F F F\r\n"
                                    "COUNT 1 1 1\r\n"
                                    "WIDTH %u\r\n"
                                    "HEIGHT %u\r\n"
                                    "VIEWPOINT 0 0 0 1 0 0 0\r\n"
                                    "POINTS %u\r\n"
                                    "DATA binary\r\n",
                                    frame.pixel_width, frame.pixel_height,
                                    static_cast<unsigned>(frame.pixel_width * frame.pixel_height));
        out.write(header, static_cast<size_t>(n));

        // The body is width x height points of x, y, z as in memory; the
        // points without depth are NaN so the cloud stays organised.
        const uint32_t nan_bits = 0x7FC00000u;
        float nan;
        std::memcpy(&nan, &nan_bits, sizeof nan);
        for_each_float_block(frame, [&](float* xyz, size_t count) {
            for (size_t i = 0; i < count; ++i) {
                float* v = xyz + 3 * i;
                if (std::fabs(static_cast<double>(v[2])) < 1e-6)
                    v[0] = v[1] = v[2] = nan;
            }
            out.write(xyz, count * 12);
        });
    });
}

int save_cloud_ply(cameralog& log, const PhotoInfo& frame, const char* path)
{
    static constexpr SaveMessages kMessages{"SavePointCloudToPly", "point cloud data", "open file error"};
    return save_file(log, kMessages, is_readable_cloud(&frame) && path, path, [&](OutputFile& out) {
        char header[256];
        const int n = std::snprintf(header, sizeof header,
                                    "ply\n"
                                    "format ascii 1.0\n"
                                    "element vertex %d\n"
                                    "property float x\n"
                                    "property float y\n"
                                    "property float z\n"
                                    "end_header\n",
                                    static_cast<int>(count_text_points(frame)));
        out.write(header, static_cast<size_t>(n));
        put_cloud_lines(out, frame);
    });
}

int save_cloud_txt(cameralog& log, const PhotoInfo& frame, const char* path)
{
    static constexpr SaveMessages kMessages{"SavePointCloudToTxt", "point cloud data"};
    return save_file(log, kMessages, is_readable_cloud(&frame) && path, path,
                     [&](OutputFile& out) { put_cloud_lines(out, frame); });
}

int save_cloud_with_colour_txt(cameralog& log, const PhotoInfo& frame, const float* fused, const char* path)
{
    // The fused array holds a point per point of the cloud it was made from;
    // a cloud fusion would refuse tells nothing of the array's size.
    static constexpr SaveMessages kMessages{"SavePointCloudWithImageToTxt", "data"};
    return save_file(log, kMessages, is_readable_cloud(&frame) && fused && path, path, [&](OutputFile& out) {
        const size_t points = static_cast<size_t>(pixel_count(frame));
        for (size_t i = 0; i < points; ++i) {
            const float* v = fused + 6 * i;
            if (!text_keeps(v[2]))
                continue;
            char* p = out.reserve(3 * (kMaxFixed2 + 1) + 3 * 12 + 1);
            for (int k = 0; k < 3; ++k) {
                p = put_fixed2(p, v[k]);
                *p++ = ' ';
            }
            p = put_int(p, trunc_float_to_int32(v[3]));
            *p++ = ' ';
            p = put_int(p, trunc_float_to_int32(v[4]));
            *p++ = ' ';
            p = put_int(p, trunc_float_to_int32(v[5]));
            *p++ = '\n';
            out.commit(p);
        }
    });
}

}  // namespace imaging
