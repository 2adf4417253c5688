// Fusion and region mapping on a connected simulated camera: the CMOS index
// registers pick the calibration loaded at connect; failures to read them end
// the operation; the exported functions and their flat-buffer variants.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "camera/vora_gige_camera.h"
#include "loopback_info.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"
#include "vora_qelcamera_api_csharp.h"

namespace {

constexpr unsigned kLoopback = 0x7F000001;
constexpr uint32_t RGB8 = PIXEL_FORMAT_RGB8;
constexpr uint32_t YUYV = PIXEL_FORMAT_YUV422_8;
constexpr uint32_t MONO8 = PIXEL_FORMAT_MONO8;
constexpr uint32_t CLOUD = PIXEL_FORMAT_COORD3D_ABC16;

uint32_t cmos_index_reg(uint32_t channel)
{
    return vsim::CHANNEL_BASE + channel * vsim::CHANNEL_STRIDE + vsim::CH_CMOS_INDEX;
}

// Distortion-free sensors with focal length 8 and the principal point at
// the origin, sensor s shifted by 8 s along x: at depth 8 (cloud unit 1),
// sensor s sees the point (x, y, 8) at pixel (x + 8 s, y).
vsim::SimConfig pinhole_camera()
{
    vsim::SimConfig config;
    for (size_t s = 0; s < config.sensors.size(); ++s) {
        vsim::SimSensor& sensor = config.sensors[s];
        const float kc[5] = {0, 0, 0, 0, 0};
        const float k[9] = {8, 0, 0, 0, 8, 0, 0, 0, 1};
        const float r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
        const float t[3] = {8.0f * float(s), 0, 0};
        std::memcpy(sensor.Kc, kc, sizeof kc);
        std::memcpy(sensor.K, k, sizeof k);
        std::memcpy(sensor.R, r, sizeof r);
        std::memcpy(sensor.T, t, sizeof t);
    }
    return config;
}

using testnet::loopback_info;

// A frame owning its bytes.
struct Frame {
    std::vector<char> bytes;
    PhotoInfo info;

    Frame(uint32_t format, uint32_t width, uint32_t height, size_t size, uint16_t channel) : bytes(size ? size : 1, 0)
    {
        std::memset(&info, 0, sizeof info);
        info.pixel = bytes.data();
        info.pixel_format = format;
        info.pixel_width = width;
        info.pixel_height = height;
        info.payload_size = static_cast<uint32_t>(size);
        info.stream_channel_index_ = channel;
    }
    PhotoInfoCSharp csharp() const
    {
        PhotoInfoCSharp c;
        std::memset(&c, 0, sizeof c);
        c.pixel_format = info.pixel_format;
        c.pixel_width = info.pixel_width;
        c.pixel_height = info.pixel_height;
        c.cloud_unit = info.cloud_unit;
        c.payload_size = info.payload_size;
        c.roi = info.roi;
        c.block_id = info.block_id;
        c.stream_channel_index_ = info.stream_channel_index_;
        return c;
    }
    int length() const { return static_cast<int>(bytes.size()); }
};

// Points (x, y, z) with cloud unit 1, from channel 0.
Frame cloud(const std::vector<std::vector<int>>& points)
{
    Frame f(CLOUD, static_cast<uint32_t>(points.size()), 1, points.size() * 6, 0);
    f.info.cloud_unit = 1;
    for (size_t i = 0; i < points.size(); ++i)
        for (int c = 0; c < 3; ++c) {
            const uint16_t v = static_cast<uint16_t>(points[i][static_cast<size_t>(c)]);
            f.bytes[6 * i + 2 * c] = char(v & 0xFF);
            f.bytes[6 * i + 2 * c + 1] = char(v >> 8);
        }
    return f;
}

// An RGB8 image whose pixel (u, v) holds (u, v, 200).
Frame rgb_image(uint32_t width, uint32_t height, uint16_t channel)
{
    Frame f(RGB8, width, height, size_t(width) * height * 3, channel);
    for (uint32_t v = 0; v < height; ++v)
        for (uint32_t u = 0; u < width; ++u) {
            char* p = &f.bytes[(size_t(v) * width + u) * 3];
            p[0] = char(u);
            p[1] = char(v);
            p[2] = char(200);
        }
    return f;
}

// An image whose pixel data nobody reads.
Frame blank_image(uint32_t width, uint32_t height, uint16_t channel)
{
    return Frame(RGB8, width, height, size_t(width) * height * 3, channel);
}

std::vector<float> fused_of(const std::vector<float>& fused, size_t point)
{
    return std::vector<float>(fused.begin() + 6 * long(point), fused.begin() + 6 * long(point) + 6);
}

std::vector<int> raw_point(const std::vector<char>& cloud, size_t index)
{
    const uint8_t* b = reinterpret_cast<const uint8_t*>(cloud.data() + 6 * index);
    return {int16_t(b[0] | b[1] << 8), int16_t(b[2] | b[3] << 8), uint16_t(b[4] | b[5] << 8)};
}

using Marks = std::vector<std::pair<int, int>>;

// Mask entries set to 255, as (column, row).
Marks marked(const std::vector<int>& mask, uint32_t width)
{
    Marks out;
    for (size_t i = 0; i < mask.size(); ++i)
        if (mask[i] == 255)
            out.emplace_back(int(i % width), int(i / width));
    return out;
}

RoiPoint region(uint32_t offset_x, uint32_t offset_y, uint32_t size_x, uint32_t size_y)
{
    return RoiPoint{size_x, size_y, offset_x, offset_y};
}

class FusionCamera : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim = std::make_unique<vsim::SimCamera>(pinhole_camera());
        ASSERT_EQ(sim->start(), 0);
        DiscoveryInfo info = loopback_info();
        ASSERT_EQ(camera.CameraConnect(&info), 0);
        ASSERT_EQ(camera.camera_parameters.size(), 3u);
    }
    void TearDown() override
    {
        camera.CameraDisconnect();
        sim->stop();
    }
    std::unique_ptr<vsim::SimCamera> sim;
    GigeCamera camera;
};

TEST_F(FusionCamera, ImageTo3DUsesTheSensorBehindTheImagesChannel)
{
    Frame points = cloud({{2, 3, 8}, {0, 3, 8}});
    Frame image = rgb_image(32, 8, 1);  // channel 1: CMOS 1
    std::vector<float> fused(12, -7.0f);
    ASSERT_EQ(camera.FusionImageTo3D(image.info, points.info, fused.data()), 0);
    EXPECT_EQ(fused_of(fused, 0), (std::vector<float>{2, 3, 8, 200, 3, 10}));
    EXPECT_EQ(fused_of(fused, 1), (std::vector<float>{0, 3, 8, 200, 3, 8}));

    image.info.stream_channel_index_ = 2;  // CMOS 2
    ASSERT_EQ(camera.FusionImageTo3D(image.info, points.info, fused.data()), 0);
    EXPECT_EQ(fused_of(fused, 0), (std::vector<float>{2, 3, 8, 200, 3, 18}));

    // The register is read on every call.
    sim->write_reg(cmos_index_reg(2), 0);
    ASSERT_EQ(camera.FusionImageTo3D(image.info, points.info, fused.data()), 0);
    EXPECT_EQ(fused_of(fused, 0), (std::vector<float>{2, 3, 8, 200, 3, 2}));
    EXPECT_EQ(fused_of(fused, 1), std::vector<float>(6, 0.0f));  // column 0
}

TEST_F(FusionCamera, CloudToRgbAlwaysUsesTheColourSensor)
{
    Frame points = cloud({{2, 3, 8}, {7, 1, 8}});
    Frame colour = blank_image(32, 8, 2);  // its channel's sensor plays no part
    colour.info.roi.offset_x = 1;
    Frame out(0, 0, 0, 32 * 8 * 6, 0);
    sim->write_reg(cmos_index_reg(1), 2);
    ASSERT_EQ(camera.Fusion3DToRGB(colour.info, points.info, out.info), 0);
    EXPECT_EQ(raw_point(out.bytes, 3 * 32 + 9), (std::vector<int>{2, 3, 8}));
    EXPECT_EQ(raw_point(out.bytes, 1 * 32 + 14), (std::vector<int>{7, 1, 8}));
    EXPECT_EQ(out.info.pixel_width, 32u);
    EXPECT_EQ(out.info.pixel_height, 8u);
    EXPECT_EQ(out.info.payload_size, 32u * 8 * 6);
    EXPECT_EQ(out.info.pixel_format, CLOUD);
    EXPECT_EQ(out.info.cloud_unit, 1u);
}

TEST_F(FusionCamera, RegionsMapBetweenTheDepthAndColourImages)
{
    Frame points = cloud({{2, 2, 8}, {3, 2, 8}, {5, 5, 8}});
    // Depth image (channel 0, like the cloud) to colour image (channel 1).
    Frame depth = blank_image(16, 8, 0);
    Frame colour = blank_image(32, 8, 1);
    std::vector<int> on_colour(32 * 8, 0);
    RoiPoint from_depth = region(1, 1, 2, 1);  // entries of depth pixels (2..3, 2)
    camera.ROIPixelMapping(points.info, depth.info, colour.info, from_depth, on_colour.data());
    EXPECT_EQ(marked(on_colour, 32), (Marks{{10, 2}, {11, 2}}));

    RoiPoint box{};
    camera.ROIMappingCoordinate(on_colour.data(), colour.info, box);
    EXPECT_EQ(box.offset_x, 10u);
    EXPECT_EQ(box.offset_y, 2u);
    EXPECT_EQ(box.size_x, 1u);
    EXPECT_EQ(box.size_y, 0u);

    // And back: colour pixels (10..11, 2) are entries (9..10, 1).
    std::vector<int> on_depth(16 * 8, 0);
    RoiPoint from_colour = region(9, 1, 2, 1);
    camera.ROIPixelMapping(points.info, colour.info, depth.info, from_colour, on_depth.data());
    EXPECT_EQ(marked(on_depth, 16), (Marks{{2, 2}, {3, 2}}));
}

TEST_F(FusionCamera, AnUnreadableCmosIndexEndsTheOperation)
{
    sim->faults.fail_address = cmos_index_reg(1);
    const int invalid_address = static_cast<int16_t>(0x8003);

    Frame points = cloud({{2, 3, 8}});
    Frame image(YUYV, 32, 8, 32 * 8 * 3, 1);
    image.info.payload_size = 32 * 8 * 2;
    std::memset(image.bytes.data(), 0x40, image.bytes.size());
    const std::vector<char> image_before = image.bytes;
    std::vector<float> fused(6, -7.0f);
    EXPECT_EQ(camera.FusionImageTo3D(image.info, points.info, fused.data()), invalid_address);
    EXPECT_EQ(fused, std::vector<float>(6, -7.0f));
    EXPECT_EQ(image.bytes, image_before);  // not converted either
    EXPECT_EQ(image.info.pixel_format, YUYV);

    // The source's, the target's or the cloud's index: nothing is marked.
    Frame depth = blank_image(16, 8, 0);
    Frame colour = blank_image(32, 8, 1);
    RoiPoint all = region(0, 0, 32, 8);
    std::vector<int> mask(32 * 8, 0);
    camera.ROIPixelMapping(points.info, depth.info, colour.info, all, mask.data());
    std::vector<int> mask2(16 * 8, 0);
    camera.ROIPixelMapping(points.info, colour.info, depth.info, all, mask2.data());
    points.info.stream_channel_index_ = 1;
    camera.ROIPixelMapping(points.info, depth.info, depth.info, all, mask2.data());
    EXPECT_EQ(mask, std::vector<int>(32 * 8, 0));
    EXPECT_EQ(mask2, std::vector<int>(16 * 8, 0));

    // Other channels still work.
    points.info.stream_channel_index_ = 0;
    image.info.stream_channel_index_ = 2;
    EXPECT_EQ(camera.FusionImageTo3D(image.info, points.info, fused.data()), 0);
}

TEST_F(FusionCamera, ACmosIndexWithoutCalibrationEndsTheOperation)
{
    sim->write_reg(cmos_index_reg(1), 3);  // three sensors: 0..2
    Frame points = cloud({{2, 3, 8}});
    Frame image = rgb_image(32, 8, 1);
    std::vector<float> fused(6, -7.0f);
    EXPECT_EQ(camera.FusionImageTo3D(image.info, points.info, fused.data()), -2);
    EXPECT_EQ(fused, std::vector<float>(6, -7.0f));

    Frame depth = blank_image(16, 8, 0);
    std::vector<int> mask(16 * 8, 0);
    RoiPoint all = region(0, 0, 32, 8);
    camera.ROIPixelMapping(points.info, image.info, depth.info, all, mask.data());
    EXPECT_EQ(mask, std::vector<int>(16 * 8, 0));

    // Without a connection there is no index to read at all.
    ASSERT_EQ(camera.CameraDisconnect(), 0);
    image.info.stream_channel_index_ = 0;
    EXPECT_EQ(camera.FusionImageTo3D(image.info, points.info, fused.data()), -11);
    EXPECT_EQ(fused, std::vector<float>(6, -7.0f));
}

// ---------------------------------------------------------------- exported

TEST(FusionApi, WithoutACameraTableNothingHappens)
{
    ASSERT_EQ(camera_object, nullptr);
    Frame points = cloud({{2, 3, 8}});
    Frame image = rgb_image(32, 8, 1);
    Frame out(0, 0, 0, 32 * 8 * 6, 0);
    out.info.block_id = 5;
    std::memset(out.bytes.data(), 0x5A, out.bytes.size());
    const std::vector<char> out_before = out.bytes;
    std::vector<float> fused(6, -7.0f);
    std::vector<int> mask(32 * 8, 3);
    RoiPoint box = region(1, 2, 3, 4);

    EXPECT_EQ(FusionImageTo3D(0, &image.info, &points.info, fused.data()), -99);
    EXPECT_EQ(Fusion3DToRGB(0, &image.info, &points.info, &out.info), -99);
    ROIMappingCoordinate(0, mask.data(), &image.info, &box);
    ROIPixelMapping(0, &points.info, &image.info, &image.info, &box, mask.data());

    PhotoInfoCSharp image_c = image.csharp(), points_c = points.csharp(), out_c = out.csharp();
    EXPECT_EQ(FusionImageTo3DCSharp(0, image_c, image.bytes.data(), image.length(), points_c, points.bytes.data(),
                                    points.length(), fused.data()),
              -99);
    EXPECT_EQ(Fusion3DToRGBCSharp(0, image_c, image.bytes.data(), image.length(), points_c, points.bytes.data(),
                                  points.length(), out_c, out.bytes.data(), out.length()),
              -99);
    ROIMappingCoordinateCSharp(0, 0, mask.data(), image_c, image.length(), box);
    ROIPixelMappingCSharp(0, points_c, points.bytes.data(), points.length(), image_c, image.bytes.data(),
                          image.length(), image_c, image.bytes.data(), image.length(), box, 0, mask.data());

    EXPECT_EQ(fused, std::vector<float>(6, -7.0f));
    EXPECT_EQ(out.bytes, out_before);
    EXPECT_EQ(out.info.pixel_width, 0u);
    EXPECT_EQ(out_c.pixel_width, 0u);
    EXPECT_EQ(out_c.block_id, 5);
    EXPECT_EQ(mask, std::vector<int>(32 * 8, 3));
    EXPECT_EQ(box.offset_x, 1u);
    EXPECT_EQ(box.size_y, 4u);
}

class FusionApiCamera : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim = std::make_unique<vsim::SimCamera>(pinhole_camera());
        ASSERT_EQ(sim->start(), 0);
        ASSERT_EQ(DiscoverCamera(), 1);
        CreateCamera();
        ASSERT_EQ(CameraConnect(0), 0);
    }
    void TearDown() override
    {
        DestroyCamera();
        sim->stop();
    }
    std::unique_ptr<vsim::SimCamera> sim;
};

TEST_F(FusionApiCamera, ExportedFunctionsForwardAndRefuseMissingRecords)
{
    Frame points = cloud({{2, 3, 8}});
    Frame image = rgb_image(32, 8, 1);
    Frame out(0, 0, 0, 32 * 8 * 6, 0);
    std::vector<float> fused(6, -7.0f);

    EXPECT_EQ(FusionImageTo3D(0, nullptr, &points.info, fused.data()), -99);
    EXPECT_EQ(FusionImageTo3D(0, &image.info, nullptr, fused.data()), -99);
    EXPECT_EQ(FusionImageTo3D(0, &image.info, &points.info, nullptr), -2);  // the camera's own check
    EXPECT_EQ(fused, std::vector<float>(6, -7.0f));
    ASSERT_EQ(FusionImageTo3D(0, &image.info, &points.info, fused.data()), 0);
    EXPECT_EQ(fused, (std::vector<float>{2, 3, 8, 200, 3, 10}));

    EXPECT_EQ(Fusion3DToRGB(0, &image.info, &points.info, nullptr), -99);
    EXPECT_EQ(Fusion3DToRGB(0, nullptr, &points.info, &out.info), -99);
    ASSERT_EQ(Fusion3DToRGB(0, &image.info, &points.info, &out.info), 0);
    EXPECT_EQ(raw_point(out.bytes, 3 * 32 + 10), (std::vector<int>{2, 3, 8}));

    std::vector<int> mask(32 * 8, 0);
    Frame depth = blank_image(16, 8, 0);
    RoiPoint from_depth = region(1, 2, 1, 1);  // entry of depth pixel (2, 3)
    ROIPixelMapping(0, &points.info, &depth.info, &image.info, nullptr, mask.data());
    EXPECT_EQ(mask, std::vector<int>(32 * 8, 0));
    ROIPixelMapping(0, &points.info, &depth.info, &image.info, &from_depth, mask.data());
    EXPECT_EQ(marked(mask, 32), (Marks{{10, 3}}));

    RoiPoint box = region(1, 2, 3, 4);
    ROIMappingCoordinate(0, mask.data(), nullptr, &box);
    EXPECT_EQ(box.offset_x, 1u);
    ROIMappingCoordinate(0, mask.data(), &image.info, &box);
    EXPECT_EQ(box.offset_x, 10u);
    EXPECT_EQ(box.offset_y, 3u);
    EXPECT_EQ(box.size_x, 0u);
    EXPECT_EQ(box.size_y, 0u);
}

TEST_F(FusionApiCamera, FlatBufferVariants)
{
    Frame points = cloud({{2, 3, 8}, {4, 1, 8}});
    PhotoInfoCSharp points_c = points.csharp();

    // A YUYV image converts in a private buffer sized for the RGB result:
    // the caller's buffer holds just the YUYV bytes and stays as it was.
    Frame image(YUYV, 32, 8, 32 * 8 * 2, 1);
    const size_t pair = (3 * 32 + 10) / 2;  // pixel (10, 3) is Y0 of this pair
    const uint8_t yuyv[4] = {255, 128, 0, 255};
    std::memcpy(image.bytes.data() + 4 * pair, yuyv, 4);
    const std::vector<char> image_before = image.bytes;
    PhotoInfoCSharp image_c = image.csharp();
    std::vector<float> fused(12, -7.0f);
    ASSERT_EQ(FusionImageTo3DCSharp(0, image_c, image.bytes.data(), image.length(), points_c, points.bytes.data(),
                                    points.length(), fused.data()),
              0);
    EXPECT_EQ(fused_of(fused, 0), (std::vector<float>{2, 3, 8, 254, 164, 255}));
    EXPECT_EQ(image.bytes, image_before);
    EXPECT_EQ(image_c.pixel_format, YUYV);

    // A cloud buffer shorter than its payload claims is refused, not overread.
    std::vector<float> kept(12, -7.0f);
    EXPECT_EQ(FusionImageTo3DCSharp(0, image_c, image.bytes.data(), image.length(), points_c, points.bytes.data(),
                                    points.length() - 1, kept.data()),
              -2);
    EXPECT_EQ(kept, std::vector<float>(12, -7.0f));

    // The re-gridded cloud is cut to the caller's length; the record gets
    // only the five fields of the result.
    Frame colour = blank_image(32, 8, 1);
    PhotoInfoCSharp colour_c = colour.csharp();
    const int length = 2 * 32 * 6;  // rows 0 and 1 only
    std::vector<char> out(length + 16, char(0x5A));
    PhotoInfoCSharp out_c;
    std::memset(&out_c, 0, sizeof out_c);
    out_c.block_id = 9;
    out_c.pixel_length = 11;
    out_c.roi = region(1, 2, 3, 4);
    out_c.timestamp_low = 77;
    out_c.stream_channel_index_ = 2;
    ASSERT_EQ(Fusion3DToRGBCSharp(0, colour_c, colour.bytes.data(), colour.length(), points_c, points.bytes.data(),
                                  points.length(), out_c, out.data(), length),
              0);
    EXPECT_EQ(raw_point(out, 1 * 32 + 12), (std::vector<int>{4, 1, 8}));
    for (size_t i = 0; i < size_t(length) / 6; ++i) {
        if (i == 1 * 32 + 12)
            continue;
        EXPECT_EQ(raw_point(out, i), (std::vector<int>{0, 0, 0})) << i;
    }
    EXPECT_EQ(std::vector<char>(out.begin() + length, out.end()), std::vector<char>(16, char(0x5A)));
    EXPECT_EQ(out_c.pixel_format, CLOUD);
    EXPECT_EQ(out_c.pixel_width, 32u);
    EXPECT_EQ(out_c.pixel_height, 8u);
    EXPECT_EQ(out_c.payload_size, 32u * 8 * 6);
    EXPECT_EQ(out_c.cloud_unit, 1u);
    EXPECT_EQ(out_c.block_id, 9);
    EXPECT_EQ(out_c.pixel_length, 11u);
    EXPECT_EQ(out_c.roi.size_y, 4u);
    EXPECT_EQ(out_c.timestamp_low, 77u);
    EXPECT_EQ(out_c.stream_channel_index_, 2);

    // A full-size buffer receives the whole grid; a refusal leaves it zeroed
    // and the five fields zero.
    std::vector<char> whole(32 * 8 * 6, char(0x5A));
    ASSERT_EQ(Fusion3DToRGBCSharp(0, colour_c, colour.bytes.data(), colour.length(), points_c, points.bytes.data(),
                                  points.length(), out_c, whole.data(), int(whole.size())),
              0);
    EXPECT_EQ(raw_point(whole, 3 * 32 + 10), (std::vector<int>{2, 3, 8}));
    colour_c.pixel_format = MONO8;
    EXPECT_EQ(Fusion3DToRGBCSharp(0, colour_c, colour.bytes.data(), colour.length(), points_c, points.bytes.data(),
                                  points.length(), out_c, whole.data(), int(whole.size())),
              -59);
    EXPECT_EQ(whole, std::vector<char>(whole.size(), 0));
    EXPECT_EQ(out_c.pixel_width, 0u);
    EXPECT_EQ(out_c.payload_size, 0u);
    EXPECT_EQ(out_c.block_id, 9);

    // Region mapping and its rectangle.
    Frame depth = blank_image(16, 8, 0);
    PhotoInfoCSharp depth_c = depth.csharp();
    colour_c = colour.csharp();
    std::vector<int> mask(32 * 8, 0);
    RoiPoint from_depth = region(0, 0, 16, 8);
    ROIPixelMappingCSharp(0, points_c, points.bytes.data(), points.length(), depth_c, depth.bytes.data(),
                          depth.length(), colour_c, colour.bytes.data(), colour.length(), from_depth, 0, mask.data());
    EXPECT_EQ(marked(mask, 32), (Marks{{12, 1}, {10, 3}}));
    RoiPoint box{};
    ROIMappingCoordinateCSharp(0, 0, mask.data(), colour_c, colour.length(), box);
    EXPECT_EQ(box.offset_x, 10u);
    EXPECT_EQ(box.offset_y, 1u);
    EXPECT_EQ(box.size_x, 2u);
    EXPECT_EQ(box.size_y, 2u);
}

}  // namespace
