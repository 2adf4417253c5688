// The ROS conventions of the library's data: metres and NaN in clouds,
// millimetres in depth images, the camera model of a calibration, and each
// sensor's optical frame in the camera's body frame.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "imaging/ros_conventions.h"
#include "vora_qelcamera_api.h"

namespace {

void put_point(char* p, int16_t x, int16_t y, uint16_t z)
{
    const uint16_t ux = static_cast<uint16_t>(x), uy = static_cast<uint16_t>(y);
    const uint16_t v[3] = {ux, uy, z};
    for (int i = 0; i < 3; ++i) {
        p[2 * i] = static_cast<char>(v[i] & 0xFF);
        p[2 * i + 1] = static_cast<char>(v[i] >> 8);
    }
}

// v rotated by the quaternion q (x, y, z, w).
void rotate(const double* q, const double* v, double* out)
{
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double m[9] = {1 - 2 * (y * y + z * z), 2 * (x * y - z * w),     2 * (x * z + y * w),
                         2 * (x * y + z * w),     1 - 2 * (x * x + z * z), 2 * (y * z - x * w),
                         2 * (x * z - y * w),     2 * (y * z + x * w),     1 - 2 * (x * x + y * y)};
    for (int i = 0; i < 3; ++i)
        out[i] = m[i * 3] * v[0] + m[i * 3 + 1] * v[1] + m[i * 3 + 2] * v[2];
}

CameraParameter identity_sensor()
{
    CameraParameter c{};
    c.R[0] = c.R[4] = c.R[8] = 1;
    return c;
}

}  // namespace

TEST(RosConventions, CloudsInMetresWithNaNWhereThereIsNoDepth)
{
    char raw[18];
    put_point(raw, 100, -50, 1234);
    put_point(raw + 6, 321, 77, 0);  // x and y without depth are noise
    put_point(raw + 12, -32768, 32767, 65535);
    PhotoInfo f{};
    f.pixel = raw;
    f.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
    f.pixel_width = 3;
    f.pixel_height = 1;
    f.cloud_unit = 10;
    f.payload_size = sizeof raw;
    float xyz[9];
    ASSERT_EQ(ConvertPointCloudToMetres(&f, xyz, 9), VORA_OK);
    EXPECT_FLOAT_EQ(xyz[0], 0.01f);
    EXPECT_FLOAT_EQ(xyz[1], -0.005f);
    EXPECT_FLOAT_EQ(xyz[2], 0.1234f);
    for (int i = 3; i < 6; ++i)
        EXPECT_TRUE(std::isnan(xyz[i])) << i;
    EXPECT_FLOAT_EQ(xyz[6], -3.2768f);  // x and y are signed, z is not
    EXPECT_FLOAT_EQ(xyz[7], 3.2767f);
    EXPECT_FLOAT_EQ(xyz[8], 6.5535f);

    unsigned short mm[3];
    ASSERT_EQ(ConvertPointCloudToDepthImage(&f, mm, 3), VORA_OK);
    EXPECT_EQ(mm[0], 123);  // 123.4 mm
    EXPECT_EQ(mm[1], 0);
    EXPECT_EQ(mm[2], 6554);  // 6553.5 rounds up
}

TEST(RosConventions, DepthRoundsHalfUpForEveryDepthAndUnit)
{
    // Every raw depth, through units that divide evenly, oddly, barely and
    // not at all: the fast quotient must be the exact one.
    std::vector<char> raw(6 * 65536);
    for (uint32_t z = 0; z < 65536; ++z)
        put_point(raw.data() + 6 * z, 0, 0, static_cast<uint16_t>(z));
    std::vector<uint16_t> mm(65536);
    for (const uint32_t unit : {1u, 3u, 10u, 7919u, 65535u, 4294967295u}) {
        imaging::raw_points_to_depth_mm(raw.data(), 65536, unit, mm.data());
        for (uint32_t z = 0; z < 65536; ++z) {
            const uint64_t want = (2 * uint64_t{z} + unit) / (2 * uint64_t{unit});
            ASSERT_EQ(mm[z], want) << "z " << z << " unit " << unit;
        }
    }
    imaging::raw_points_to_depth_mm(raw.data(), 65536, 0, mm.data());
    EXPECT_EQ(std::count(mm.begin(), mm.end(), 0), 65536);
}

TEST(RosConventions, CameraModelMovesThePrincipalPointWithTheCut)
{
    CameraParameter c = identity_sensor();
    const float kc[5] = {-0.0521f, 0.0813f, 0.00042f, -0.00031f, -0.0124f};
    const float k[9] = {1152.4f, 0, 641.3f, 0, 1151.9f, 509.8f, 0, 0, 1};
    std::memcpy(c.Kc, kc, sizeof kc);
    std::memcpy(c.K, k, sizeof k);
    double K[9], D[5], R[9], P[12];
    ASSERT_EQ(GetRosCameraModel(&c, 100, 50, K, D, R, P), VORA_OK);
    EXPECT_DOUBLE_EQ(K[0], double(1152.4f));
    EXPECT_DOUBLE_EQ(K[2], double(641.3f) - 100);
    EXPECT_DOUBLE_EQ(K[5], double(509.8f) - 50);
    EXPECT_EQ(K[8], 1);
    for (int i = 0; i < 4; ++i)
        EXPECT_DOUBLE_EQ(D[i], double(kc[i]));
    EXPECT_EQ(D[4], 0);  // plumb_bob's k3 is not the camera's cubic term
    const double identity[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int i = 0; i < 9; ++i)
        EXPECT_EQ(R[i], identity[i]);
    const double p[12] = {K[0], 0, K[2], 0, 0, K[4], K[5], 0, 0, 0, 1, 0};
    for (int i = 0; i < 12; ++i)
        EXPECT_DOUBLE_EQ(P[i], p[i]) << i;
}

TEST(RosConventions, SensorPosesInTheBodyFrame)
{
    // The reference sensor: at the origin, looking along the body's x axis,
    // its image x to the body's right (-y) and its image y down (-z).
    CameraParameter ref = identity_sensor();
    double t[3], q[4], out[3];
    ASSERT_EQ(GetRosSensorPose(&ref, t, q), VORA_OK);
    for (double v : t)
        EXPECT_EQ(v, 0);
    const double optical[4] = {-0.5, 0.5, -0.5, 0.5};  // as tf tools print it, w >= 0
    for (int i = 0; i < 4; ++i)
        EXPECT_NEAR(q[i], optical[i], 1e-12) << i;
    const double axes[3][3] = {{0, 0, 1}, {1, 0, 0}, {0, 1, 0}};
    const double body[3][3] = {{1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
    for (int a = 0; a < 3; ++a) {
        rotate(q, axes[a], out);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(out[i], body[a][i], 1e-12) << a << " " << i;
    }

    // A sensor 50 mm along the reference's image x, turned 90 degrees about
    // its optical axis: it sits 5 cm to the body's right, and its image x
    // points down the body.
    CameraParameter side{};
    const float r[9] = {0, 1, 0, -1, 0, 0, 0, 0, 1};
    std::memcpy(side.R, r, sizeof r);
    side.T[1] = 50;  // R p + T = 0 at p = (50, 0, 0) mm
    ASSERT_EQ(GetRosSensorPose(&side, t, q), VORA_OK);
    EXPECT_NEAR(t[0], 0, 1e-12);
    EXPECT_NEAR(t[1], -0.05, 1e-9);
    EXPECT_NEAR(t[2], 0, 1e-12);
    rotate(q, axes[1], out);  // its image x
    EXPECT_NEAR(out[0], 0, 1e-6);
    EXPECT_NEAR(out[1], 0, 1e-6);
    EXPECT_NEAR(out[2], -1, 1e-6);
    EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1, 1e-12);

    // Not rotations: a mirror and a scaled matrix.
    CameraParameter mirror = identity_sensor();
    mirror.R[0] = -1;
    CameraParameter scaled = identity_sensor();
    scaled.R[0] = scaled.R[4] = scaled.R[8] = 1000;
    EXPECT_EQ(GetRosSensorPose(&mirror, t, q), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(GetRosSensorPose(&scaled, t, q), VORA_ERR_INVALID_ARG);
}
