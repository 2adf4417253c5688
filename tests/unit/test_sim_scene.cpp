// The simulated camera's rendered room: depth clouds where the geometry is,
// colour images that line up with them through the factory calibration, and
// every pixel format the sensors deliver.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "sim_camera.h"
#include "sim_scene.h"

namespace {

using vsim::Roi;
using vsim::SimSensor;
namespace scene = vsim::scene;
namespace pixel = vsim::pixel;

constexpr uint32_t kUnit = 10;  // raw cloud units per millimetre
constexpr uint32_t kW = 1280, kH = 1024;

struct Point {
    double x = 0, y = 0, z = 0;
    bool valid = false;
};

// An organised Coord3D_ABC16 cloud, decoded back to millimetres.
struct Cloud {
    std::vector<uint8_t> bytes;
    uint32_t width = 0;
    uint32_t unit = kUnit;

    Point at(uint32_t u, uint32_t v) const
    {
        const uint8_t* p = bytes.data() + (size_t(v) * width + u) * 6;
        const int16_t x = static_cast<int16_t>(p[0] | p[1] << 8);
        const int16_t y = static_cast<int16_t>(p[2] | p[3] << 8);
        const uint16_t z = static_cast<uint16_t>(p[4] | p[5] << 8);
        Point pt;
        pt.valid = x != 0 || y != 0 || z != 0;
        pt.x = double(x) / unit;
        pt.y = double(y) / unit;
        pt.z = double(z) / unit;
        return pt;
    }
};

// Where a reference-frame point lands in a sensor's full image, by the
// calibration model the host uses to fuse depth and colour.
bool project(const SimSensor& s, const Point& p, double& u, double& v)
{
    const double X = s.R[0] * p.x + s.R[1] * p.y + s.R[2] * p.z + s.T[0];
    const double Y = s.R[3] * p.x + s.R[4] * p.y + s.R[5] * p.z + s.T[1];
    const double Z = s.R[6] * p.x + s.R[7] * p.y + s.R[8] * p.z + s.T[2];
    if (Z <= 0)
        return false;
    const double xn = X / Z, yn = Y / Z;
    const double r2 = xn * xn + yn * yn;
    const double radial = s.Kc[0] * r2 + 1 + s.Kc[1] * r2 * r2;
    const double xd = (s.Kc[4] * xn * xn * xn + radial) * xn + (2 * s.Kc[2] * xn * yn + (2 * xn * xn + r2) * s.Kc[3]);
    const double yd = (s.Kc[4] * yn * yn * yn + radial) * yn + ((2 * yn * yn + r2) * s.Kc[2] + 2 * s.Kc[3] * xn * yn);
    u = s.K[0] * xd + s.K[1] * yd + s.K[2];
    v = s.K[3] * xd + s.K[4] * yd + s.K[5];
    return true;
}

bool on_floor(const Point& p)
{
    return std::fabs(p.y - scene::floor_y) < 0.2;
}
bool on_wall(const Point& p)
{
    return std::fabs(p.z - scene::wall_z) < 0.2;
}

bool on_sphere(const Point& p)
{
    const double dx = p.x - scene::sphere_centre[0], dy = p.y - scene::sphere_centre[1],
                 dz = p.z - scene::sphere_centre[2];
    return std::fabs(std::sqrt(dx * dx + dy * dy + dz * dz) - scene::sphere_radius) < 0.2;
}

bool on_box(const Point& p)
{
    const double c[3] = {p.x, p.y, p.z};
    bool on_a_face = false;
    for (int i = 0; i < 3; ++i) {
        if (c[i] < scene::box_min[i] - 0.2 || c[i] > scene::box_max[i] + 0.2)
            return false;
        on_a_face = on_a_face || std::fabs(c[i] - scene::box_min[i]) < 0.2 || std::fabs(c[i] - scene::box_max[i]) < 0.2;
    }
    return on_a_face;
}

bool reddish(const uint8_t* c)
{
    return c[0] > 40 && c[0] > 2 * c[1] && c[0] > 2 * c[2];
}
bool bluish(const uint8_t* c)
{
    return c[2] > 40 && c[2] > 2 * c[0] && c[2] > c[1] + 30;
}
bool greyish(const uint8_t* c)
{
    return std::abs(c[0] - c[2]) < 20 && std::abs(c[0] - c[1]) < 20;
}

class SimScene : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        sensors_ = vsim::SimConfig::default_sensors();
        const Roi full{kW, kH, 0, 0};
        cloud0_ = {vsim::render_sensor(sensors_[0], full, pixel::coord3d_abc16, kUnit), kW, kUnit};
        cloud2_ = {vsim::render_sensor(sensors_[2], full, pixel::coord3d_abc16, kUnit), kW, kUnit};
        colour_ = vsim::render_sensor(sensors_[1], full, pixel::rgb8, kUnit);
    }

    const uint8_t* colour_at(uint32_t u, uint32_t v) const { return colour_.data() + (size_t(v) * kW + u) * 3; }

    static std::vector<SimSensor> sensors_;
    static Cloud cloud0_, cloud2_;
    static std::vector<uint8_t> colour_;
};

std::vector<SimSensor> SimScene::sensors_;
Cloud SimScene::cloud0_, SimScene::cloud2_;
std::vector<uint8_t> SimScene::colour_;

TEST_F(SimScene, DepthSeesTheRoomWhereItIs)
{
    ASSERT_EQ(cloud0_.bytes.size(), size_t(kW) * kH * 6);
    const SimSensor& s = sensors_[0];

    // Straight ahead: the wall, at the distance its plane is; near the
    // principal point the lens hardly bends the ray.
    const Point centre = cloud0_.at(640, 512);
    ASSERT_TRUE(centre.valid);
    EXPECT_DOUBLE_EQ(centre.z, scene::wall_z);
    EXPECT_NEAR(centre.x, scene::wall_z * (640 - s.K[2]) / s.K[0], 0.2);
    EXPECT_NEAR(centre.y, scene::wall_z * (512 - s.K[5]) / s.K[4], 0.2);

    // The nearest points of the sphere and of the box's front face show up
    // at their depth at the pixels they project to.
    struct Landmark {
        const char* name;
        Point p;
    } landmarks[] = {
        {"sphere front",
         {scene::sphere_centre[0], scene::sphere_centre[1], scene::sphere_centre[2] - scene::sphere_radius, true}},
        {"box front",
         {(scene::box_min[0] + scene::box_max[0]) / 2, (scene::box_min[1] + scene::box_max[1]) / 2, scene::box_min[2],
          true}},
    };
    for (const auto& l : landmarks) {
        SCOPED_TRACE(l.name);
        double u, v;
        ASSERT_TRUE(project(s, l.p, u, v));
        ASSERT_TRUE(u >= 0 && u < kW && v >= 0 && v < kH);
        const Point seen = cloud0_.at(uint32_t(std::lround(u)), uint32_t(std::lround(v)));
        ASSERT_TRUE(seen.valid);
        EXPECT_NEAR(seen.z, l.p.z, 1.0);
        EXPECT_NEAR(seen.x, l.p.x, 2.0);
        EXPECT_NEAR(seen.y, l.p.y, 2.0);
    }

    // The bottom rows of the middle column see the floor below the camera,
    // between the box and the sphere; nothing anywhere is below the floor.
    for (uint32_t v = 1000; v < kH; ++v) {
        const Point p = cloud0_.at(640, v);
        ASSERT_TRUE(p.valid) << "row " << v;
        EXPECT_NEAR(p.y, scene::floor_y, 0.1) << "row " << v;
        EXPECT_GT(p.z, 1200) << "row " << v;
        EXPECT_LT(p.z, 1500) << "row " << v;
    }
    for (uint32_t v = 0; v < kH; v += 3)
        for (uint32_t u = 0; u < kW; u += 3)
            ASSERT_LE(cloud0_.at(u, v).y, scene::floor_y + 0.05) << u << "," << v;

    // Every pixel of the top rows sees the wall.
    for (uint32_t v = 0; v < 10; ++v)
        for (uint32_t u = 0; u < kW; ++u) {
            const Point p = cloud0_.at(u, v);
            ASSERT_TRUE(p.valid && on_wall(p)) << u << "," << v << " z " << p.z;
            ASSERT_LT(p.y, 0) << u << "," << v;  // above the camera
        }
}

// Each depth sensor's points lie on the room's surfaces and project, through
// that sensor's own calibration, back onto the pixel that saw them: the
// clouds are in the reference frame and the lens model is inverted right.
TEST_F(SimScene, CloudPointsLieOnSurfacesAndProjectOntoTheirPixels)
{
    const struct {
        const char* name;
        const Cloud& cloud;
        const SimSensor& sensor;
    } cases[] = {{"CMOS 0", cloud0_, sensors_[0]}, {"CMOS 2", cloud2_, sensors_[2]}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        int floor = 0, wall = 0, box = 0, sphere = 0;
        for (uint32_t v = 0; v < kH; v += 7) {
            for (uint32_t u = 0; u < kW; u += 7) {
                const Point p = c.cloud.at(u, v);
                ASSERT_TRUE(p.valid) << u << "," << v;  // the wall closes every view
                const bool f = on_floor(p), w = on_wall(p), b = on_box(p), s = on_sphere(p);
                ASSERT_TRUE(f || w || b || s) << u << "," << v << ": " << p.x << " " << p.y << " " << p.z;
                floor += f;
                wall += w;
                box += b;
                sphere += s;
                double pu, pv;
                ASSERT_TRUE(project(c.sensor, p, pu, pv));
                ASSERT_NEAR(pu, u, 0.1) << "row " << v;
                ASSERT_NEAR(pv, v, 0.1) << "column " << u;
            }
        }
        // All four parts of the room are in view.
        EXPECT_GT(floor, 1000);
        EXPECT_GT(wall, 10000);
        EXPECT_GT(box, 1000);
        EXPECT_GT(sphere, 1000);
    }
}

// What the host does to colour a cloud: project each point into the colour
// sensor. Object points must land on the object's colour, except for the few
// the colour sensor sees differently from its place beside CMOS 0.
TEST_F(SimScene, ColourImageLinesUpWithTheCloud)
{
    int box = 0, box_red = 0, sphere = 0, sphere_blue = 0, floor = 0, floor_grey = 0;
    for (uint32_t v = 0; v < kH; v += 3) {
        for (uint32_t u = 0; u < kW; u += 3) {
            const Point p = cloud0_.at(u, v);
            double cu, cv;
            if (!p.valid || !project(sensors_[1], p, cu, cv))
                continue;
            const long iu = std::lround(cu), iv = std::lround(cv);
            if (iu < 0 || iv < 0 || iu >= long(kW) || iv >= long(kH))
                continue;
            const uint8_t* c = colour_at(uint32_t(iu), uint32_t(iv));
            if (on_box(p)) {
                ++box;
                box_red += reddish(c);
            } else if (on_sphere(p)) {
                ++sphere;
                sphere_blue += bluish(c);
            } else if (on_floor(p)) {
                ++floor;
                floor_grey += greyish(c);
            }
        }
    }
    ASSERT_GT(box, 2000);
    ASSERT_GT(sphere, 2000);
    ASSERT_GT(floor, 2000);
    EXPECT_GT(box_red, box * 97 / 100);
    EXPECT_GT(sphere_blue, sphere * 97 / 100);
    EXPECT_GT(floor_grey, floor * 90 / 100);

    // No stray red or blue outside the objects: wall points land on wall colours.
    int wall = 0, wall_plain = 0;
    for (uint32_t v = 0; v < 300; v += 5)
        for (uint32_t u = 0; u < kW; u += 5) {
            const Point p = cloud0_.at(u, v);
            double cu, cv;
            ASSERT_TRUE(project(sensors_[1], p, cu, cv));
            const long iu = std::lround(cu), iv = std::lround(cv);
            if (iu < 0 || iv < 0 || iu >= long(kW) || iv >= long(kH))
                continue;
            ++wall;
            const uint8_t* c = colour_at(uint32_t(iu), uint32_t(iv));
            wall_plain += !reddish(c) && !bluish(c);
        }
    EXPECT_GT(wall, 5000);
    EXPECT_EQ(wall_plain, wall);
}

// The two depth sensors see the same room in the same frame: a CMOS 2 point,
// looked up at the pixel of CMOS 0 it projects to, is CMOS 0's point there.
TEST_F(SimScene, BothDepthSensorsShareOneFrame)
{
    int compared = 0, same = 0, wall = 0;
    for (uint32_t v = 0; v < kH; v += 5) {
        for (uint32_t u = 0; u < kW; u += 5) {
            const Point p = cloud2_.at(u, v);
            double u0, v0;
            ASSERT_TRUE(p.valid && project(sensors_[0], p, u0, v0));
            const long iu = std::lround(u0), iv = std::lround(v0);
            if (iu < 0 || iv < 0 || iu >= long(kW) || iv >= long(kH))
                continue;
            const Point q = cloud0_.at(uint32_t(iu), uint32_t(iv));
            ++compared;
            const double dx = p.x - q.x, dy = p.y - q.y, dz = p.z - q.z;
            same += std::sqrt(dx * dx + dy * dy + dz * dz) < 5;
            wall += p.z > scene::wall_z - 0.2;
        }
    }
    ASSERT_GT(compared, 40000);
    EXPECT_GT(same, compared * 97 / 100);
    EXPECT_GT(wall, compared / 2);
}

TEST_F(SimScene, RegionOfInterestIsACropOfTheFullFrame)
{
    const Roi roi{320, 200, 417, 611};  // odd offsets, reaching the bottom rows
    const struct {
        const char* name;
        const SimSensor& sensor;
        uint32_t format;
        uint32_t bpp;
        const std::vector<uint8_t>& full;
    } cases[] = {
        {"CMOS 2 cloud", sensors_[2], pixel::coord3d_abc16, 6, cloud2_.bytes},
        {"CMOS 1 RGB8", sensors_[1], pixel::rgb8, 3, colour_},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::vector<uint8_t> cropped = vsim::render_sensor(c.sensor, roi, c.format, kUnit);
        ASSERT_EQ(cropped.size(), size_t(roi.width) * roi.height * c.bpp);
        for (uint32_t v = 0; v < roi.height; ++v) {
            const uint8_t* want = c.full.data() + (size_t(v + roi.offset_y) * kW + roi.offset_x) * c.bpp;
            const uint8_t* got = cropped.data() + size_t(v) * roi.width * c.bpp;
            ASSERT_EQ(std::memcmp(want, got, size_t(roi.width) * c.bpp), 0) << "row " << v;
        }
    }
}

// Values too large for 16 bits are dropped, not wrapped: at 30 units per
// millimetre the wall (78000) no longer fits, the sphere's front still does.
TEST_F(SimScene, CoordinatesThatDoNotFitAreZero)
{
    const uint32_t unit = 30;
    const Cloud fine{vsim::render_sensor(sensors_[0], Roi{kW, kH, 0, 0}, pixel::coord3d_abc16, unit), kW, unit};
    for (uint32_t u = 0; u < kW; u += 11)
        ASSERT_FALSE(fine.at(u, 0).valid) << u;
    const Point front{scene::sphere_centre[0], scene::sphere_centre[1], scene::sphere_centre[2] - scene::sphere_radius,
                      true};
    double u, v;
    ASSERT_TRUE(project(sensors_[0], front, u, v));
    const Point p = fine.at(uint32_t(std::lround(u)), uint32_t(std::lround(v)));
    ASSERT_TRUE(p.valid);
    EXPECT_NEAR(p.z, front.z, 1.0);
}

TEST_F(SimScene, ColourFormats)
{
    const Roi roi{280, 80, 440, 700};  // the box's side, wall, stripe, floor, the sphere's edge
    const SimSensor& s = sensors_[1];
    const std::vector<uint8_t> rgb = vsim::render_sensor(s, roi, pixel::rgb8, kUnit);
    const size_t n = size_t(roi.width) * roi.height;
    ASSERT_EQ(rgb.size(), n * 3);
    EXPECT_EQ(vsim::render_sensor(s, roi, pixel::coord3d_abc16, kUnit).size(), n * 6);
    EXPECT_TRUE(vsim::render_sensor(s, roi, 0x01100003 /* Mono10 */, kUnit).empty());
    EXPECT_TRUE(vsim::render_sensor(s, roi, 0, kUnit).empty());
    EXPECT_TRUE(vsim::render_sensor(sensors_[0], roi, 0x02180015 /* BGR8 */, kUnit).empty());

    // YUV422 decoded as the host does gives back the colours; chroma shared
    // by a pixel pair may blur only where the colour changes within the pair.
    const std::vector<uint8_t> yuv = vsim::render_sensor(s, roi, pixel::yuv422_8, kUnit);
    ASSERT_EQ(yuv.size(), n * 2);
    auto clamp = [](double x) { return x < 0 ? 0.0 : x > 255 ? 255.0 : x; };
    double total_error = 0;
    size_t close = 0;
    for (size_t i = 0; i < n; ++i) {
        const size_t pair = i & ~size_t(1);
        const double Y = yuv[2 * i], U = yuv[2 * pair + 1] - 128.0, V = yuv[2 * pair + 3] - 128.0;
        const double back[3] = {clamp(Y + 1.401687 * V), clamp(Y - 0.3437 * U - 0.71417 * V), clamp(Y + 1.77216 * U)};
        double worst = 0;
        for (int c = 0; c < 3; ++c) {
            const double e = std::fabs(back[c] - rgb[3 * i + c]);
            total_error += e;
            worst = std::max(worst, e);
        }
        close += worst <= 3;
    }
    EXPECT_LT(total_error / (3 * n), 2.0);
    EXPECT_GT(close, n * 9 / 10);

    // Bayer RG: red on even rows' even columns, blue on odd rows' odd columns.
    const std::vector<uint8_t> bayer = vsim::render_sensor(s, roi, pixel::bayer_rg8, kUnit);
    const std::vector<uint8_t> mono = vsim::render_sensor(s, roi, pixel::mono8, kUnit);
    ASSERT_EQ(bayer.size(), n);
    ASSERT_EQ(mono.size(), n);
    for (uint32_t v = 0; v < roi.height; ++v)
        for (uint32_t u = 0; u < roi.width; ++u) {
            const size_t i = size_t(v) * roi.width + u;
            const int channel = v % 2 == 0 ? (u % 2 == 0 ? 0 : 1) : (u % 2 == 0 ? 1 : 2);
            ASSERT_EQ(bayer[i], rgb[3 * i + channel]) << u << "," << v;
            const double luma = 0.299 * rgb[3 * i] + 0.587 * rgb[3 * i + 1] + 0.114 * rgb[3 * i + 2];
            ASSERT_NEAR(mono[i], luma, 1.0) << u << "," << v;
        }
}

}  // namespace
