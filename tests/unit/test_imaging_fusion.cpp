// Projection through sensor calibrations, depth/colour fusion in both
// directions and region mapping, on hand-made frames and calibrations.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "imaging/fusion.h"
#include "imaging/roi_mapping.h"
#include "log/vora_cameralog.h"
#include "vora_pixel_format.h"

namespace {

using imaging::Pixel;

// Identity rotation, translation t, no distortion, focal length f and
// principal point (cx, cy).
CameraParameter pinhole(float f, float cx, float cy, float tx = 0, float ty = 0, float tz = 0)
{
    CameraParameter p;
    std::memset(&p, 0, sizeof p);
    p.R[0] = p.R[4] = p.R[8] = 1;
    p.T[0] = tx;
    p.T[1] = ty;
    p.T[2] = tz;
    const float k[9] = {f, 0, cx, 0, f, cy, 0, 0, 1};
    std::memcpy(p.K, k, sizeof k);
    return p;
}

struct RawPoint {
    int16_t x, y;
    uint16_t z;
};

// A frame owning its bytes.
struct Frame {
    std::vector<char> bytes;
    PhotoInfo info;

    // At least one byte, so that even an empty frame has a buffer.
    Frame(uint32_t format, uint32_t width, uint32_t height, size_t size, uint16_t channel = 0)
        : bytes(size ? size : 1, 0)
    {
        std::memset(&info, 0, sizeof info);
        info.pixel = bytes.data();
        info.pixel_format = format;
        info.pixel_width = width;
        info.pixel_height = height;
        info.payload_size = static_cast<uint32_t>(size);
        info.stream_channel_index_ = channel;
    }
};

Frame cloud_frame(uint32_t width, uint32_t height, const std::vector<RawPoint>& points, uint32_t unit = 1,
                  uint16_t channel = 0)
{
    Frame f(PIXEL_FORMAT_COORD3D_ABC16, width, height, size_t(width) * height * 6, channel);
    f.info.cloud_unit = unit;
    for (size_t i = 0; i < points.size(); ++i) {
        const uint16_t v[3] = {uint16_t(points[i].x), uint16_t(points[i].y), points[i].z};
        for (int c = 0; c < 3; ++c) {
            f.bytes[6 * i + 2 * c] = char(v[c] & 0xFF);
            f.bytes[6 * i + 2 * c + 1] = char(v[c] >> 8);
        }
    }
    return f;
}

Frame image_frame(uint32_t format, uint32_t width, uint32_t height, unsigned bytes_per_pixel, uint16_t channel = 0)
{
    return Frame(format, width, height, size_t(width) * height * bytes_per_pixel, channel);
}

RawPoint raw_at(const char* cloud, size_t index)
{
    const uint8_t* b = reinterpret_cast<const uint8_t*>(cloud + 6 * index);
    return RawPoint{int16_t(b[0] | b[1] << 8), int16_t(b[2] | b[3] << 8), uint16_t(b[4] | b[5] << 8)};
}

bool operator==(const RawPoint& a, const RawPoint& b)
{
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

std::ostream& operator<<(std::ostream& os, const RawPoint& p)
{
    return os << "(" << p.x << ", " << p.y << ", " << p.z << ")";
}

// A CMOS index per stream channel; an unreadable channel answers `code`.
imaging::CmosIndexReader reader(std::map<unsigned, uint32_t> cmos, int fail_channel = -1, int code = -32765)
{
    return [cmos, fail_channel, code](unsigned channel, uint32_t& out) -> int {
        if (int(channel) == fail_channel)
            return code;
        out = cmos.at(channel);
        return 0;
    };
}

// ---------------------------------------------------------------- projection

TEST(FusionProjection, PinholeLandsWhereTheFormulaSays)
{
    const CameraParameter p = pinhole(500, 320, 240);
    const Pixel px = imaging::project_point(p, 10, -20, 1000, 0, 0);
    EXPECT_EQ(px.u, 325);
    EXPECT_EQ(px.v, 230);
    // Offsets move the pixel, they do not move the point.
    const Pixel shifted = imaging::project_point(p, 10, -20, 1000, 300, 0);
    EXPECT_EQ(shifted.u, 25);
    EXPECT_EQ(shifted.v, 230);
    // An empty point lands where the translation projects.
    const CameraParameter moved = pinhole(500, 320, 240, 100, 50, 1000);
    const Pixel empty = imaging::project_point(moved, 0, 0, 0, 0, 0);
    EXPECT_EQ(empty.u, 370);
    EXPECT_EQ(empty.v, 265);
}

TEST(FusionProjection, TruncatesTowardZero)
{
    const CameraParameter p = pinhole(8, 0, 0);
    // u = -0.5 becomes 0, not -1; v = 2.875 becomes 2.
    Pixel px = imaging::project_point(p, -0.5f, 2.875f, 8, 0, 0);
    EXPECT_EQ(px.u, 0);
    EXPECT_EQ(px.v, 2);
    px = imaging::project_point(p, -1.5f, 0, 8, 0, 0);
    EXPECT_EQ(px.u, -1);
}

TEST(FusionProjection, ZeroDepthNeverLandsInside)
{
    const CameraParameter p = pinhole(500, 320, 240);
    for (float x : {0.0f, 10.0f, -10.0f}) {
        const Pixel px = imaging::project_point(p, x, x, 0, 0, 0);
        EXPECT_EQ(px.u, INT32_MIN) << x;
        EXPECT_EQ(px.v, INT32_MIN) << x;
        EXPECT_FALSE(imaging::pixel_inside(px, 640, 480));
    }
}

TEST(FusionProjection, DistortionCoefficients)
{
    // Point (500, 250, 1000): xn = 0.5, yn = 0.25, r2 = 0.3125; f = 1000.
    struct Case {
        const char* what;
        float kc[5];
        float x, y;
        int u, v;
    } cases[] = {
        // The fifth coefficient scales xn^3 inside the radial factor:
        // xd = (0.125 + 1) * 0.5, not (1 + r2^3) * 0.5.
        {"fifth on x", {0, 0, 0, 0, 1}, 500, 0, 562, 0},
        {"fifth on y", {0, 0, 0, 0, 1}, 0, 500, 0, 562},
        {"first radial", {1, 0, 0, 0, 0}, 500, 250, 656, 328},
        {"second radial", {0, 1, 0, 0, 0}, 500, 250, 548, 274},
        // Tangential: Kc[2] pairs with 2 xn yn in x and with (2 yn^2 + r2) in y.
        {"third", {0, 0, 0.125f, 0, 0}, 500, 250, 531, 304},
        {"fourth", {0, 0, 0, 0.125f, 0}, 500, 250, 601, 281},
    };
    for (const Case& c : cases) {
        CameraParameter p = pinhole(1000, 0, 0);
        std::memcpy(p.Kc, c.kc, sizeof c.kc);
        const Pixel px = imaging::project_point(p, c.x, c.y, 1000, 0, 0);
        EXPECT_EQ(px.u, c.u) << c.what;
        EXPECT_EQ(px.v, c.v) << c.what;
    }
}

TEST(FusionProjection, InsideExcludesRowAndColumnZeroAndTheFarEdges)
{
    EXPECT_TRUE(imaging::pixel_inside({1, 1}, 8, 6));
    EXPECT_TRUE(imaging::pixel_inside({7, 5}, 8, 6));
    EXPECT_FALSE(imaging::pixel_inside({0, 3}, 8, 6));
    EXPECT_FALSE(imaging::pixel_inside({3, 0}, 8, 6));
    EXPECT_FALSE(imaging::pixel_inside({8, 3}, 8, 6));
    EXPECT_FALSE(imaging::pixel_inside({3, 6}, 8, 6));
    EXPECT_FALSE(imaging::pixel_inside({-3, 3}, 8, 6));
    EXPECT_FALSE(imaging::pixel_inside({INT32_MIN, INT32_MIN}, 8, 6));
}

// ---------------------------------------------------------------- logging

// Runs in a scratch directory with a camera log open at error level.
class FusionLogged : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vora-fusion-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        set_log_switches(1, 0, 0, 0);
        ASSERT_EQ(log.log_enable("FUSION"), 0);
    }
    void TearDown() override
    {
        log.log_disable();
        set_log_switches(0, 0, 0, 0);
        ASSERT_EQ(chdir(old_cwd_), 0);
        std::string cmd = "rm -rf " + dir_;
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    // The message part of every line written so far.
    std::vector<std::string> messages()
    {
        log.log_disable();
        std::ifstream in("FUSION.log");
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);) {
            const size_t end = line.find("]", line.find("]") + 1);
            out.push_back(line.substr(end + 1));
        }
        return out;
    }

    cameralog log;
    std::string dir_;
    char old_cwd_[4096];
};

// ---------------------------------------------------------------- Fusion3DToRGB

// Record 1 maps (x, y, 8) to pixel (x, y) when the cloud unit is 1.
std::vector<CameraParameter> two_records()
{
    return {pinhole(1000, 640, 512), pinhole(8, 0, 0)};
}

using Fusion3DToRGB = FusionLogged;

TEST_F(Fusion3DToRGB, RegridsTheCloudOntoTheColourPixels)
{
    const std::vector<RawPoint> points = {
        {1, 1, 8},   // lands on (1, 1)
        {2, 3, 8},   // (2, 3), overwritten below
        {0, 2, 8},   // column 0: outside
        {4, 6, 16},  // (2, 3) as well, later: kept
        {7, 5, 8},   // last column and row: inside
        {8, 1, 8},   // u = W: outside
        {1, 0, 8},   // row 0: outside
        {0, 0, 0},   // empty point, depth 0: outside
    };
    Frame cloud = cloud_frame(4, 2, points);
    Frame colour = image_frame(PIXEL_FORMAT_RGB8, 8, 6, 3);
    Frame out(0, 0, 0, 8 * 6 * 6);
    std::memset(out.bytes.data(), 0x5A, out.bytes.size());
    out.info.block_id = 77;
    out.info.timestamp_low = 1234;
    out.info.pixel_length = 9;

    ASSERT_EQ(imaging::fusion_3d_to_rgb(colour.info, cloud.info, out.info, two_records(), log), 0);
    for (uint32_t v = 0; v < 6; ++v)
        for (uint32_t u = 0; u < 8; ++u) {
            RawPoint want{0, 0, 0};
            if (u == 1 && v == 1)
                want = {1, 1, 8};
            if (u == 2 && v == 3)
                want = {4, 6, 16};
            if (u == 7 && v == 5)
                want = {7, 5, 8};
            EXPECT_EQ(raw_at(out.bytes.data(), v * 8 + u), want) << u << "," << v;
        }
    EXPECT_EQ(out.info.pixel_width, 8u);
    EXPECT_EQ(out.info.pixel_height, 6u);
    EXPECT_EQ(out.info.payload_size, 8u * 6 * 6);
    EXPECT_EQ(out.info.pixel_format, PIXEL_FORMAT_COORD3D_ABC16);
    EXPECT_EQ(out.info.cloud_unit, 1u);
    EXPECT_EQ(out.info.block_id, 77);
    EXPECT_EQ(out.info.timestamp_low, 1234u);
    EXPECT_EQ(out.info.pixel_length, 9u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(Fusion3DToRGB, ColourOffsetsAndTheFloatRoundTrip)
{
    // Unit 7: raw 31 is 31/7 and comes back as 30; z = 56/7 = 8.
    Frame cloud = cloud_frame(2, 1, {{31, 14, 56}, {7, 7, 56}}, 7);
    Frame colour = image_frame(PIXEL_FORMAT_RGB565P, 8, 6, 2);
    colour.info.roi.offset_x = 1;  // (4, 2) and (1, 1) shift one column left
    Frame out(0, 0, 0, 8 * 6 * 6);
    ASSERT_EQ(imaging::fusion_3d_to_rgb(colour.info, cloud.info, out.info, two_records(), log), 0);
    EXPECT_EQ(raw_at(out.bytes.data(), 2 * 8 + 3), (RawPoint{30, 14, 56}));
    // (1, 1) moved to column 0, which is outside.
    for (size_t i = 0; i < 48; ++i) {
        if (i == 2 * 8 + 3)
            continue;
        EXPECT_EQ(raw_at(out.bytes.data(), i), (RawPoint{0, 0, 0})) << i;
    }
    EXPECT_EQ(out.info.cloud_unit, 7u);
}

TEST_F(Fusion3DToRGB, OutputMayShareTheCloudBuffer)
{
    // A 4 x 3 cloud re-gridded onto a 4 x 3 grid in the same bytes.
    Frame cloud = cloud_frame(4, 3, {{3, 2, 8}, {1, 1, 8}, {2, 1, 8}});
    Frame colour = image_frame(PIXEL_FORMAT_YUV422_8, 4, 3, 2);
    ASSERT_EQ(imaging::fusion_3d_to_rgb(colour.info, cloud.info, cloud.info, two_records(), log), 0);
    EXPECT_EQ(raw_at(cloud.bytes.data(), 2 * 4 + 3), (RawPoint{3, 2, 8}));
    EXPECT_EQ(raw_at(cloud.bytes.data(), 1 * 4 + 1), (RawPoint{1, 1, 8}));
    EXPECT_EQ(raw_at(cloud.bytes.data(), 1 * 4 + 2), (RawPoint{2, 1, 8}));
    EXPECT_EQ(raw_at(cloud.bytes.data(), 0), (RawPoint{0, 0, 0}));
}

TEST_F(Fusion3DToRGB, RefusalsLeaveTheOutputAlone)
{
    Frame cloud = cloud_frame(2, 1, {{1, 1, 8}, {2, 2, 8}});
    Frame colour = image_frame(PIXEL_FORMAT_RGB8, 4, 3, 3);
    Frame out(0, 0, 0, 4 * 3 * 6);
    std::memset(out.bytes.data(), 0x5A, out.bytes.size());
    const std::vector<char> untouched = out.bytes;
    const auto records = two_records();

    // Colour formats other than YUYV, RGB8 and RGB565p: -59, no message.
    colour.info.pixel_format = PIXEL_FORMAT_MONO8;
    EXPECT_EQ(imaging::fusion_3d_to_rgb(colour.info, cloud.info, out.info, records, log), -59);
    colour.info.pixel_format = PIXEL_FORMAT_RGB8;

    // Record 1 is needed as soon as there is a point: -2, no message.
    EXPECT_EQ(imaging::fusion_3d_to_rgb(colour.info, cloud.info, out.info, {records[0]}, log), -2);
    EXPECT_EQ(imaging::fusion_3d_to_rgb(colour.info, cloud.info, out.info, {}, log), -2);
    EXPECT_TRUE(messages().empty());
    ASSERT_EQ(log.log_enable("FUSION"), 0);

    // Parameter errors: -2 with the message.
    Frame not_cloud = cloud;
    not_cloud.info.pixel = not_cloud.bytes.data();
    not_cloud.info.pixel_format = PIXEL_FORMAT_RGB8;
    EXPECT_EQ(imaging::fusion_3d_to_rgb(colour.info, not_cloud.info, out.info, records, log), -2);
    Frame short_cloud = cloud;
    short_cloud.info.pixel = short_cloud.bytes.data();
    short_cloud.info.payload_size = 11;  // two points need 12 bytes
    EXPECT_EQ(imaging::fusion_3d_to_rgb(colour.info, short_cloud.info, out.info, records, log), -2);
    Frame no_pixels = cloud;
    no_pixels.info.pixel = nullptr;
    EXPECT_EQ(imaging::fusion_3d_to_rgb(colour.info, no_pixels.info, out.info, records, log), -2);
    PhotoInfo no_output = out.info;
    no_output.pixel = nullptr;
    EXPECT_EQ(imaging::fusion_3d_to_rgb(colour.info, cloud.info, no_output, records, log), -2);

    EXPECT_EQ(out.bytes, untouched);
    EXPECT_EQ(out.info.pixel_width, 0u);
    const std::string message = "[function:Fusion3DToRGB] Failed to fusion rgb to 3D point cloud due to the "
                                "incoming parameters error, error code: -2";
    EXPECT_EQ(messages(), std::vector<std::string>(4, message));
}

TEST_F(Fusion3DToRGB, EmptyCloudGivesAnEmptyGridWithoutCalibration)
{
    Frame cloud = cloud_frame(0, 0, {});
    Frame colour = image_frame(PIXEL_FORMAT_RGB8, 3, 2, 3);
    Frame out(0, 0, 0, 3 * 2 * 6);
    std::memset(out.bytes.data(), 0x5A, out.bytes.size());
    ASSERT_EQ(imaging::fusion_3d_to_rgb(colour.info, cloud.info, out.info, {}, log), 0);
    EXPECT_EQ(out.bytes, std::vector<char>(36, 0));
    EXPECT_EQ(out.info.payload_size, 36u);
}

// ---------------------------------------------------------------- FusionImageTo3D

using FusionImageTo3D = FusionLogged;

// Six floats per point, preset to a value no fusion produces.
std::vector<float> fused_array(size_t points)
{
    return std::vector<float>(6 * points, -7.0f);
}

std::vector<float> fused_point(const std::vector<float>& fused, size_t i)
{
    return std::vector<float>(fused.begin() + 6 * i, fused.begin() + 6 * i + 6);
}

TEST_F(FusionImageTo3D, Rgb8GivesBlueGreenRed)
{
    // The image comes from channel 2, fed by CMOS 1.
    Frame image = image_frame(PIXEL_FORMAT_RGB8, 8, 6, 3, 2);
    for (size_t i = 0; i < image.bytes.size(); ++i)
        image.bytes[i] = char(i % 251);
    const size_t at = (3 * 8 + 2) * 3;  // pixel (2, 3)
    image.bytes[at] = 10;
    image.bytes[at + 1] = 20;
    image.bytes[at + 2] = 30;
    Frame cloud = cloud_frame(3, 1, {{2, 3, 8}, {0, 3, 8}, {0, 0, 0}});
    std::vector<float> fused = fused_array(3);
    const std::vector<CameraParameter> records = {pinhole(1000, 640, 512), pinhole(8, 0, 0)};

    ASSERT_EQ(imaging::fusion_image_to_3d(image.info, cloud.info, fused.data(), records, reader({{2, 1}}), log), 0);
    EXPECT_EQ(fused_point(fused, 0), (std::vector<float>{2, 3, 8, 30, 20, 10}));
    EXPECT_EQ(fused_point(fused, 1), std::vector<float>(6, 0.0f));  // column 0
    EXPECT_EQ(fused_point(fused, 2), std::vector<float>(6, 0.0f));  // depth 0
    EXPECT_TRUE(messages().empty());
}

TEST_F(FusionImageTo3D, TheImageSensorPicksTheCalibrationAndOffsetsShiftIt)
{
    Frame image = image_frame(PIXEL_FORMAT_MONO8, 8, 6, 1, 1);
    for (size_t i = 0; i < image.bytes.size(); ++i)
        image.bytes[i] = char(100 + i);
    image.info.roi.offset_x = 2;
    image.info.roi.offset_y = 1;
    Frame cloud = cloud_frame(1, 1, {{5, 4, 8}}, 1);
    std::vector<float> fused = fused_array(1);
    // CMOS 2 shifts by one more column than CMOS 1 would.
    const std::vector<CameraParameter> records = {pinhole(8, 0, 0), pinhole(8, 0, 0), pinhole(8, 1, 0)};

    ASSERT_EQ(imaging::fusion_image_to_3d(image.info, cloud.info, fused.data(), records, reader({{1, 2}}), log), 0);
    // (5 + 1 - 2, 4 - 1) = (4, 3): grey value 100 + 28, three times.
    EXPECT_EQ(fused_point(fused, 0), (std::vector<float>{5, 4, 8, 128, 128, 128}));
}

TEST_F(FusionImageTo3D, Rgb565IsExpandedToEightBitChannels)
{
    Frame image = image_frame(PIXEL_FORMAT_RGB565P, 4, 3, 2);
    // Red 21, green 51, blue 13 as 0xAE6D, little-endian at pixel (1, 1).
    image.bytes[(1 * 4 + 1) * 2] = char(0x6D);
    image.bytes[(1 * 4 + 1) * 2 + 1] = char(0xAE);
    Frame cloud = cloud_frame(1, 1, {{1, 1, 8}});
    std::vector<float> fused = fused_array(1);
    ASSERT_EQ(
        imaging::fusion_image_to_3d(image.info, cloud.info, fused.data(), {pinhole(8, 0, 0)}, reader({{0, 0}}), log),
        0);
    EXPECT_EQ(fused_point(fused, 0), (std::vector<float>{1, 1, 8, 21 << 3, 51 << 2, 13 << 3}));
}

TEST_F(FusionImageTo3D, YuyvIsConvertedInPlaceFirst)
{
    // 4 x 2 pixels; the pair at pixels 4 and 5 is Y0 = 0, U = 128, Y1 = 255,
    // V = 255. The buffer has room for the RGB8 result.
    Frame image(PIXEL_FORMAT_YUV422_8, 4, 2, 4 * 2 * 3);
    image.info.payload_size = 4 * 2 * 2;
    const uint8_t pair[4] = {0, 128, 255, 255};
    std::memcpy(image.bytes.data() + 8, pair, 4);
    Frame cloud = cloud_frame(1, 1, {{1, 1, 8}});  // pixel (1, 1) = pixel 5
    std::vector<float> fused = fused_array(1);
    ASSERT_EQ(
        imaging::fusion_image_to_3d(image.info, cloud.info, fused.data(), {pinhole(8, 0, 0)}, reader({{0, 0}}), log),
        0);
    // Y1 = 255 with V' = 127: R clamps to 255, G = 164.3, B = 254.87.
    EXPECT_EQ(fused_point(fused, 0), (std::vector<float>{1, 1, 8, 254, 164, 255}));
    EXPECT_EQ(image.info.pixel_format, PIXEL_FORMAT_RGB8);
    EXPECT_EQ(image.info.payload_size, 24u);
    const uint8_t* rgb = reinterpret_cast<const uint8_t*>(image.bytes.data());
    // Y0 = 0: R = 178.01, G and B below 0 clamp to 0.
    EXPECT_EQ(std::vector<uint8_t>(rgb + 12, rgb + 18), (std::vector<uint8_t>{178, 0, 0, 255, 164, 254}));
    // All-zero pairs: Y = 0, U' = V' = -128.
    EXPECT_EQ(std::vector<uint8_t>(rgb, rgb + 6), (std::vector<uint8_t>{0, 135, 0, 0, 135, 0}));
}

TEST_F(FusionImageTo3D, FailuresTouchNeitherTheArrayNorTheImage)
{
    Frame image(PIXEL_FORMAT_YUV422_8, 4, 2, 4 * 2 * 3);
    image.info.payload_size = 16;
    std::memset(image.bytes.data(), 0x33, 16);
    const std::vector<char> image_before = image.bytes;
    Frame cloud = cloud_frame(1, 1, {{1, 1, 8}});
    std::vector<float> fused = fused_array(1);
    const std::vector<float> fused_before = fused;
    const std::vector<CameraParameter> records = {pinhole(8, 0, 0)};

    // The CMOS index cannot be read: the reader's code.
    EXPECT_EQ(imaging::fusion_image_to_3d(image.info, cloud.info, fused.data(), records, reader({}, 0, -32765), log),
              -32765);
    // The CMOS index names no calibration record: -2.
    EXPECT_EQ(imaging::fusion_image_to_3d(image.info, cloud.info, fused.data(), records, reader({{0, 1}}), log), -2);
    // Image formats without colours to fuse: -59.
    image.info.pixel_format = PIXEL_FORMAT_BAYER_RG8;  // BayerRG8
    EXPECT_EQ(imaging::fusion_image_to_3d(image.info, cloud.info, fused.data(), records, reader({{0, 0}}), log), -59);
    image.info.pixel_format = PIXEL_FORMAT_YUV422_8;
    EXPECT_TRUE(messages().empty());
    ASSERT_EQ(log.log_enable("FUSION"), 0);

    // Parameter errors: -2 with the message.
    PhotoInfo bad = cloud.info;
    bad.pixel_format = PIXEL_FORMAT_RGB8;
    EXPECT_EQ(imaging::fusion_image_to_3d(image.info, bad, fused.data(), records, reader({{0, 0}}), log), -2);
    bad = cloud.info;
    bad.payload_size = 5;
    EXPECT_EQ(imaging::fusion_image_to_3d(image.info, bad, fused.data(), records, reader({{0, 0}}), log), -2);
    bad = cloud.info;
    bad.pixel = nullptr;
    EXPECT_EQ(imaging::fusion_image_to_3d(image.info, bad, fused.data(), records, reader({{0, 0}}), log), -2);
    PhotoInfo short_image = image.info;
    short_image.payload_size = 15;  // 8 YUYV pixels need 16 bytes
    EXPECT_EQ(imaging::fusion_image_to_3d(short_image, cloud.info, fused.data(), records, reader({{0, 0}}), log), -2);
    PhotoInfo odd_image = image.info;
    odd_image.pixel_width = 3;  // the last of 3 YUYV pixels has no partner
    odd_image.pixel_height = 1;
    EXPECT_EQ(imaging::fusion_image_to_3d(odd_image, cloud.info, fused.data(), records, reader({{0, 0}}), log), -2);
    PhotoInfo no_image = image.info;
    no_image.pixel = nullptr;
    EXPECT_EQ(imaging::fusion_image_to_3d(no_image, cloud.info, fused.data(), records, reader({{0, 0}}), log), -2);
    EXPECT_EQ(imaging::fusion_image_to_3d(image.info, cloud.info, nullptr, records, reader({{0, 0}}), log), -2);

    EXPECT_EQ(fused, fused_before);
    EXPECT_EQ(image.bytes, image_before);
    EXPECT_EQ(image.info.pixel_format, PIXEL_FORMAT_YUV422_8);
    const std::string message = "[function:FusionImageTo3D] Failed to fusion image to 3D point cloud due to the "
                                "incoming parameters error, error code: -2";
    EXPECT_EQ(messages(), std::vector<std::string>(7, message));
}

// ---------------------------------------------------------------- ROIPixelMapping

// Cloud from CMOS 0 (channel 0), two images of 8 x 6 and 16 x 6 pixels.
// Record 0 maps (x, y, 8) to (x, y); record 1 to (x + 8, y); record 2 is
// never right, so a mapping through it shows.
class RoiPixelMapping : public FusionLogged {
protected:
    std::vector<CameraParameter> records = {pinhole(8, 0, 0), pinhole(8, 0, 0, 8), pinhole(8, 3, 3)};
    static std::vector<int> mask(const PhotoInfo& target)
    {
        return std::vector<int>(target.pixel_width * target.pixel_height, 0);
    }
    static RoiPoint region(uint32_t offset_x, uint32_t offset_y, uint32_t size_x, uint32_t size_y)
    {
        return RoiPoint{size_x, size_y, offset_x, offset_y};
    }
    // Pixels set to 255, as (column, row).
    static std::vector<std::pair<int, int>> marked(const std::vector<int>& m, uint32_t width)
    {
        std::vector<std::pair<int, int>> out;
        for (size_t i = 0; i < m.size(); ++i)
            if (m[i] == 255)
                out.emplace_back(int(i % width), int(i / width));
        return out;
    }
    using Marks = std::vector<std::pair<int, int>>;
};

TEST_F(RoiPixelMapping, FromTheCloudsOwnImageToAnother)
{
    // Source: the depth image (CMOS 0, like the cloud); target: CMOS 1.
    Frame cloud = cloud_frame(6, 1, {{2, 2, 8}, {3, 2, 8}, {1, 2, 8}, {4, 2, 8}, {2, 3, 8}, {3, 3, 8}});
    Frame source = image_frame(0, 8, 6, 0, 1);
    Frame target = image_frame(0, 16, 6, 0, 2);
    auto read = reader({{0, 0}, {1, 0}, {2, 1}});
    std::vector<int> m = mask(target.info);
    m[0] = 7;  // not cleared
    // Entries at columns 1..2 of row 1 belong to source pixels (2..3, 2).
    imaging::roi_pixel_mapping(cloud.info, source.info, target.info, region(1, 1, 2, 1), m.data(), records, read, log);
    EXPECT_EQ(marked(m, 16), (Marks{{10, 2}, {11, 2}}));
    EXPECT_EQ(m[0], 7);
}

TEST_F(RoiPixelMapping, FromAnotherImageToTheCloudsOwn)
{
    // Source: CMOS 1 (x + 8); target: the depth image, CMOS 0.
    Frame cloud = cloud_frame(3, 1, {{2, 2, 8}, {3, 2, 8}, {5, 2, 8}});
    Frame source = image_frame(0, 16, 6, 0, 1);
    Frame target = image_frame(0, 8, 6, 0, 2);
    std::vector<int> m = mask(target.info);
    const int status = imaging::roi_pixel_mapping(cloud.info, source.info, target.info, region(9, 1, 2, 1), m.data(),
                                                  records, reader({{0, 0}, {1, 1}, {2, 0}}), log);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(marked(m, 8), (Marks{{2, 2}, {3, 2}}));
}

TEST_F(RoiPixelMapping, ALaterPointOwnsTheSourcePixel)
{
    // (4, 4, 16) reaches source (2, 2) like (2, 2, 8) but target (6, 2).
    Frame cloud = cloud_frame(2, 1, {{2, 2, 8}, {4, 4, 16}});
    Frame source = image_frame(0, 8, 6, 0, 1);
    Frame target = image_frame(0, 16, 6, 0, 2);
    std::vector<int> m = mask(target.info);
    imaging::roi_pixel_mapping(cloud.info, source.info, target.info, region(0, 0, 8, 6), m.data(), records,
                               reader({{0, 0}, {1, 0}, {2, 1}}), log);
    EXPECT_EQ(marked(m, 16), (Marks{{6, 2}}));
}

TEST_F(RoiPixelMapping, RegionsAreClippedToTheSourceImage)
{
    // Source pixel (7, 2) is entry (6, 1), in the last column that has
    // entries; source pixel (6, 5) is entry (5, 4).
    Frame cloud = cloud_frame(2, 1, {{7, 2, 8}, {6, 5, 8}});
    Frame source = image_frame(0, 8, 6, 0, 1);
    Frame target = image_frame(0, 16, 6, 0, 2);
    auto read = reader({{0, 0}, {1, 0}, {2, 1}});
    struct Case {
        RoiPoint region;
        Marks want;
    } cases[] = {
        {region(5, 1, 100, 100), {{15, 2}, {14, 5}}},
        {region(5, 1, 0xFFFFFFFF, 0xFFFFFFFF), {{15, 2}, {14, 5}}},  // the end does not wrap around
        {region(6, 1, 100, 100), {{15, 2}}},
        {region(1000, 0, 10, 6), {}},
        {region(0, 6, 8, 6), {}},
        {region(0, 0, 0, 6), {}},
        {region(0, 0, 8, 0), {}},
    };
    for (const Case& c : cases) {
        std::vector<int> m = mask(target.info);
        EXPECT_EQ(
            imaging::roi_pixel_mapping(cloud.info, source.info, target.info, c.region, m.data(), records, read, log),
            0);
        EXPECT_EQ(marked(m, 16), c.want) << c.region.offset_x << "," << c.region.offset_y;
    }
}

TEST_F(RoiPixelMapping, FailuresLeaveTheMaskAlone)
{
    Frame cloud = cloud_frame(1, 1, {{2, 2, 8}});
    Frame source = image_frame(0, 8, 6, 0, 1);
    Frame target = image_frame(0, 16, 6, 0, 2);
    std::vector<int> m = mask(target.info);
    const RoiPoint all = region(0, 0, 8, 6);
    // Any of the three CMOS indices unreadable: the reader's code.
    for (int channel = 0; channel < 3; ++channel)
        EXPECT_EQ(imaging::roi_pixel_mapping(cloud.info, source.info, target.info, all, m.data(), records,
                                             reader({{0, 0}, {1, 0}, {2, 1}}, channel, -53), log),
                  -53)
            << channel;
    // A CMOS index beyond the records, for the cloud or the second sensor.
    EXPECT_EQ(imaging::roi_pixel_mapping(cloud.info, source.info, target.info, all, m.data(), records,
                                         reader({{0, 3}, {1, 0}, {2, 1}}), log),
              -2);
    EXPECT_EQ(imaging::roi_pixel_mapping(cloud.info, source.info, target.info, all, m.data(), records,
                                         reader({{0, 0}, {1, 0}, {2, 3}}), log),
              -2);
    EXPECT_TRUE(messages().empty());
    ASSERT_EQ(log.log_enable("FUSION"), 0);
    // A cloud whose payload does not cover its points, or no mask.
    PhotoInfo short_cloud = cloud.info;
    short_cloud.payload_size = 5;
    auto read = reader({{0, 0}, {1, 0}, {2, 1}});
    EXPECT_EQ(imaging::roi_pixel_mapping(short_cloud, source.info, target.info, all, m.data(), records, read, log), -2);
    EXPECT_EQ(imaging::roi_pixel_mapping(cloud.info, source.info, target.info, all, nullptr, records, read, log), -2);
    EXPECT_EQ(m, mask(target.info));
    EXPECT_EQ(messages().size(), 2u);

    // An empty cloud needs no calibration at all.
    Frame empty = cloud_frame(0, 1, {});
    EXPECT_EQ(imaging::roi_pixel_mapping(empty.info, source.info, target.info, all, m.data(), {},
                                         reader({{0, 9}, {1, 9}, {2, 9}}), log),
              0);
}

// ---------------------------------------------------------------- ROIMappingCoordinate

TEST(RoiMappingCoordinate, BoundingRectangleOfTheMask)
{
    PhotoInfo frame;
    std::memset(&frame, 0, sizeof frame);
    frame.pixel_width = 10;
    frame.pixel_height = 8;
    std::vector<int> m(80, 0);
    m[2 * 10 + 3] = 255;
    m[5 * 10 + 7] = -1;  // any non-zero value counts
    RoiPoint r{};
    ASSERT_EQ(imaging::roi_mapping_coordinate(m.data(), frame, r), 0);
    EXPECT_EQ(r.offset_x, 3u);
    EXPECT_EQ(r.offset_y, 2u);
    EXPECT_EQ(r.size_x, 4u);  // differences of the extremes
    EXPECT_EQ(r.size_y, 3u);

    m.assign(80, 0);
    m[79] = 1;
    ASSERT_EQ(imaging::roi_mapping_coordinate(m.data(), frame, r), 0);
    EXPECT_EQ(r.offset_x, 9u);
    EXPECT_EQ(r.offset_y, 7u);
    EXPECT_EQ(r.size_x, 0u);
    EXPECT_EQ(r.size_y, 0u);
}

TEST(RoiMappingCoordinate, EmptyMasksAndMissingMasks)
{
    PhotoInfo frame;
    std::memset(&frame, 0, sizeof frame);
    frame.pixel_width = 10;
    frame.pixel_height = 8;
    std::vector<int> m(80, 0);
    RoiPoint r{};
    ASSERT_EQ(imaging::roi_mapping_coordinate(m.data(), frame, r), 0);
    EXPECT_EQ(r.offset_x, 10u);
    EXPECT_EQ(r.offset_y, 8u);
    EXPECT_EQ(r.size_x, 0u - 10u);
    EXPECT_EQ(r.size_y, 0u - 8u);

    frame.pixel_height = 0;
    ASSERT_EQ(imaging::roi_mapping_coordinate(nullptr, frame, r), 0);  // nothing to read
    EXPECT_EQ(r.offset_x, 10u);
    EXPECT_EQ(r.offset_y, 0u);
    EXPECT_EQ(r.size_x, 0u - 10u);
    EXPECT_EQ(r.size_y, 0u);

    frame.pixel_height = 8;
    RoiPoint kept{1, 2, 3, 4};
    EXPECT_EQ(imaging::roi_mapping_coordinate(nullptr, frame, kept), -2);
    EXPECT_EQ(kept.size_x, 1u);
    EXPECT_EQ(kept.offset_y, 4u);
}

}  // namespace
