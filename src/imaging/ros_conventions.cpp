#include "imaging/ros_conventions.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "imaging/cloud_convert.h"
#include "pixel_formats.h"

namespace imaging {

void raw_points_to_metres(const char* raw, size_t points, uint32_t cloud_unit, float* out)
{
    // Units per metre in single precision, as the float-point conversion
    // divides by units per millimetre.
    raw_cloud_to_float(raw, points, static_cast<float>(cloud_unit) * 1000.0f, out);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (size_t i = 0; i < points; ++i) {
        const char* z = raw + 6 * i + 4;
        if (z[0] == 0 && z[1] == 0)
            out[3 * i] = out[3 * i + 1] = out[3 * i + 2] = nan;
    }
}

void raw_points_to_depth_mm(const char* raw, size_t points, uint32_t cloud_unit, uint16_t* out)
{
    // z / unit rounded half up, exactly: floor(z / u + 1/2) is
    // floor((2z + u) / 2u). A division per point costs more than the rest of
    // the conversion, so the quotient is taken by a multiplication and
    // corrected by one step. A unit of 0 has no millimetres: no depth.
    if (cloud_unit == 0) {
        std::fill(out, out + points, uint16_t{0});
        return;
    }
    const uint64_t twice_unit = 2 * uint64_t{cloud_unit};
    const double reciprocal = 1.0 / static_cast<double>(twice_unit);
    for (size_t i = 0; i < points; ++i) {
        const uint64_t n = 2 * uint64_t{load_le16(raw + 6 * i + 4)} + cloud_unit;
        uint64_t q = static_cast<uint64_t>(static_cast<double>(n) * reciprocal);
        if (q * twice_unit > n)
            --q;
        else if ((q + 1) * twice_unit <= n)
            ++q;
        out[i] = q > 65535 ? 0 : static_cast<uint16_t>(q);
    }
}

RosCameraModel ros_camera_model(const CameraParameter& c, uint32_t offset_x, uint32_t offset_y)
{
    RosCameraModel m{};
    for (int i = 0; i < 9; ++i)
        m.k[i] = c.K[i];
    // A cut image sees the principal point moved by the cut.
    m.k[2] -= offset_x;
    m.k[5] -= offset_y;
    m.k[6] = m.k[7] = 0;
    m.k[8] = 1;
    for (int i = 0; i < 4; ++i)
        m.d[i] = c.Kc[i];
    m.d[4] = 0;  // the camera's cubic term has no place in plumb_bob
    m.r[0] = m.r[4] = m.r[8] = 1;
    for (int row = 0; row < 3; ++row)
        for (int col = 0; col < 3; ++col)
            m.p[row * 4 + col] = m.k[row * 3 + col];
    return m;
}

namespace {

// Body axes (x forward, y left, z up) to optical axes (z forward, x right,
// y down): the rotation whose columns are the optical axes in body terms.
constexpr double kBodyFromOptical[9] = {0, 0, 1, -1, 0, 0, 0, -1, 0};

void multiply(const double* a, const double* b, double* out)
{
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            out[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
}

void quaternion_of(const double* m, double* q)
{
    const double trace = m[0] + m[4] + m[8];
    double x, y, z, w;
    if (trace > 0) {
        const double s = std::sqrt(trace + 1.0) * 2;
        w = 0.25 * s;
        x = (m[7] - m[5]) / s;
        y = (m[2] - m[6]) / s;
        z = (m[3] - m[1]) / s;
    } else if (m[0] > m[4] && m[0] > m[8]) {
        const double s = std::sqrt(1.0 + m[0] - m[4] - m[8]) * 2;
        w = (m[7] - m[5]) / s;
        x = 0.25 * s;
        y = (m[1] + m[3]) / s;
        z = (m[2] + m[6]) / s;
    } else if (m[4] > m[8]) {
        const double s = std::sqrt(1.0 + m[4] - m[0] - m[8]) * 2;
        w = (m[2] - m[6]) / s;
        x = (m[1] + m[3]) / s;
        y = 0.25 * s;
        z = (m[5] + m[7]) / s;
    } else {
        const double s = std::sqrt(1.0 + m[8] - m[0] - m[4]) * 2;
        w = (m[3] - m[1]) / s;
        x = (m[2] + m[6]) / s;
        y = (m[5] + m[7]) / s;
        z = 0.25 * s;
    }
    // q and -q are one rotation; w >= 0 is the form tf tools print.
    const double n = (w < 0 ? -1 : 1) * std::sqrt(x * x + y * y + z * z + w * w);
    q[0] = x / n;
    q[1] = y / n;
    q[2] = z / n;
    q[3] = w / n;
}

}  // namespace

bool ros_sensor_pose(const CameraParameter& c, RosPose* out)
{
    // The extrinsics take a point of the reference sensor's frame into this
    // sensor's: p_s = R p_ref + T (millimetres). The sensor's pose in the
    // reference frame is therefore R^T, at -R^T T.
    double rt[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            rt[i * 3 + j] = c.R[j * 3 + i];
    // A factory calibration is orthonormal to a few parts in 10^4; anything
    // far from it is not a rotation, and a quaternion of it would lie.
    double rr[9];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            rr[i * 3 + j] = rt[i * 3] * rt[j * 3] + rt[i * 3 + 1] * rt[j * 3 + 1] + rt[i * 3 + 2] * rt[j * 3 + 2];
    for (int i = 0; i < 9; ++i)
        if (!std::isfinite(rr[i]) || std::fabs(rr[i] - (i % 4 == 0 ? 1.0 : 0.0)) > 0.01)
            return false;
    const double det = rt[0] * (rt[4] * rt[8] - rt[5] * rt[7]) - rt[1] * (rt[3] * rt[8] - rt[5] * rt[6]) +
                       rt[2] * (rt[3] * rt[7] - rt[4] * rt[6]);
    if (det < 0)
        return false;
    double origin_optical[3];
    for (int i = 0; i < 3; ++i)
        origin_optical[i] = -(rt[i * 3] * c.T[0] + rt[i * 3 + 1] * c.T[1] + rt[i * 3 + 2] * c.T[2]) / 1000.0;
    for (int i = 0; i < 3; ++i)
        out->translation[i] = kBodyFromOptical[i * 3] * origin_optical[0] +
                              kBodyFromOptical[i * 3 + 1] * origin_optical[1] +
                              kBodyFromOptical[i * 3 + 2] * origin_optical[2];
    double m[9];
    multiply(kBodyFromOptical, rt, m);
    quaternion_of(m, out->rotation);
    return true;
}

namespace {

// 1 a cloud, 2 an image, 0 neither.
int ros_kind(uint32_t format)
{
    const wire::PixelFormat* f = wire::find_pixel_format(format);
    if (!f)
        return 0;
    if (f->kind == PIXEL_KIND_DEPTH)
        return format == PIXEL_FORMAT_COORD3D_ABC16 ? 1 : 0;
    return 2;
}

}  // namespace

std::string ros_channel_role(const uint32_t* formats, size_t count, size_t channel)
{
    if (!formats || channel >= count)
        return std::string();
    const int kind = ros_kind(formats[channel]);
    if (kind == 0)
        return std::string();
    size_t rank = 0;  // channels of the same kind before this one
    for (size_t c = 0; c < channel; ++c)
        rank += ros_kind(formats[c]) == kind;
    const std::string base = kind == 1 ? "depth" : "color";
    return rank == 0 ? base : base + std::to_string(rank + 1);
}

}  // namespace imaging
