// Exported conversion, filter and export functions and their flat-buffer
// variants: missing-object results, forwarding to the camera, and the copy
// in and out of the caller's buffers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "camera/vora_gige_camera.h"
#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"
#include "vora_qelcamera_api_csharp.h"

namespace {

constexpr uint32_t CLOUD = PIXEL_FORMAT_COORD3D_ABC16;
constexpr uint32_t RGB8 = PIXEL_FORMAT_RGB8;
constexpr uint32_t YUYV = PIXEL_FORMAT_YUV422_8;
constexpr uint32_t BAYER_RG8 = PIXEL_FORMAT_BAYER_RG8;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<char> raw_points(std::initializer_list<std::array<int, 3>> points)
{
    std::vector<char> out;
    for (const auto& p : points) {
        const int16_t v[3] = {static_cast<int16_t>(p[0]), static_cast<int16_t>(p[1]), static_cast<int16_t>(p[2])};
        const char* b = reinterpret_cast<const char*>(v);
        out.insert(out.end(), b, b + 6);
    }
    return out;
}

PhotoInfoCSharp record(uint32_t format, uint32_t w, uint32_t h, uint32_t payload, uint32_t unit = 1)
{
    PhotoInfoCSharp info{};
    info.pixel_length = 77;
    info.pixel_format = format;
    info.pixel_width = w;
    info.pixel_height = h;
    info.cloud_unit = unit;
    info.payload_size = payload;
    info.timestamp_high = 5;
    info.timestamp_low = 6;
    info.roi = RoiPoint{1, 2, 3, 4};
    info.block_id = 9;
    info.stream_channel_index_ = 2;
    return info;
}

bool same_record(const PhotoInfoCSharp& a, const PhotoInfoCSharp& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

PhotoInfo frame_of(PhotoInfoCSharp info, char* pixel)
{
    PhotoInfo f{};
    f.pixel = pixel;
    f.pixel_format = info.pixel_format;
    f.pixel_width = info.pixel_width;
    f.pixel_height = info.pixel_height;
    f.cloud_unit = info.cloud_unit;
    f.payload_size = info.payload_size;
    return f;
}

}  // namespace

TEST(ImagingApiWithoutCameras, EachFunctionGivesItsMissingObjectResult)
{
    DestroyCamera();
    std::vector<char> bytes = raw_points({{10, 20, 30}});
    PhotoInfoCSharp info = record(CLOUD, 1, 1, 6);
    PhotoInfo frame = frame_of(info, bytes.data());
    short plane[1] = {7};
    float points[3] = {1, 1, 1};
    int mask[1] = {255};
    char path[] = "/tmp/vora-imaging-api-never-written";

    EXPECT_EQ(GetCloudPlaneX(0, &frame, plane), 0);
    EXPECT_EQ(GetCloudPlaneY(0, &frame, plane), 0);
    EXPECT_EQ(GetCloudPlaneZ(0, &frame, plane), 0);
    EXPECT_EQ(SaveCloudPlane(0, &frame, plane, path), 0);
    EXPECT_EQ(SavePointCloudToPcd(0, &frame, path), -99);
    EXPECT_EQ(SavePointCloudToTxt(0, &frame, path), -99);
    EXPECT_EQ(SavePointCloudToPly(0, &frame, path), -99);
    EXPECT_EQ(SaveToBMP(0, &frame, path), -99);
    EXPECT_EQ(SaveDepthToPng(0, &frame, path), -99);
    EXPECT_EQ(SavePointCloudWithImageToTxt(0, &frame, points, path), -99);
    EXPECT_EQ(SaveFilterPointCloudToPcd(0, &frame, path), -99);
    EXPECT_EQ(SpatialFilterPointcloud(0, &frame, 2), 0);
    Convert3DPointFromCharToFloat(0, &frame, points);
    RawdataToRgb888(0, &frame);
    FilterPointCloud(0, &frame, 1.0);
    PixelSwell(0, mask, &frame);
    PixelCorrosion(0, mask, &frame);

    EXPECT_EQ(GetCloudPlaneZCSharp(0, info, bytes.data(), 6, plane), 0);
    EXPECT_EQ(SaveCloudPlaneCSharp(0, info, bytes.data(), 6, plane, path), 0);
    EXPECT_EQ(SavePointCloudToPcdCSharp(0, info, bytes.data(), 6, path), -99);
    EXPECT_EQ(SaveToBMPCSharp(0, info, bytes.data(), 6, path), -99);
    EXPECT_EQ(SavePointCloudWithImageToTxtCSharp(0, info, bytes.data(), 6, points, path), -99);
    EXPECT_EQ(SaveFilterPointCloudToPcdCSharp(0, info, bytes.data(), 6, path), -99);
    EXPECT_EQ(SpatialFilterPointcloudCSharp(0, info, bytes.data(), 6, 2), 0);
    FilterPointCloudCSharp(0, info, bytes.data(), 6, 1.0);
    RawdataToRgb888CSharp(0, info, bytes.data(), 6);
    Convert3DPointFromCharToFloatCSharp(0, info, bytes.data(), 6, points);
    PixelSwellCSharp(0, mask, info, 6);

    EXPECT_EQ(plane[0], 7);
    EXPECT_EQ(points[0], 1.0f);
    EXPECT_EQ(mask[0], 255);
    EXPECT_EQ(bytes, raw_points({{10, 20, 30}}));
    EXPECT_NE(access(path, F_OK), 0);
}

class ImagingApi : public ::testing::Test {
protected:
    void SetUp() override
    {
        discovery_info.assign(1, DiscoveryInfo{});
        CreateCamera();
        ASSERT_NE(camera_object, nullptr);
        char tmpl[] = "/tmp/vora-imaging-api-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
        set_log_switches(1, 0, 0, 0);
        ASSERT_EQ(camera().log.log_enable((dir + "/cam").c_str()), 0);
    }
    void TearDown() override
    {
        DestroyCamera();
        discovery_info.clear();
        set_log_switches(0, 0, 0, 0);
        ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
    }
    GigeCamera& camera() { return *camera_object[0].camera; }
    std::string path(const char* name) { return dir + "/" + name; }
    std::vector<std::string> messages()
    {
        camera().log.log_disable();
        std::ifstream in(dir + "/cam.log");
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line.substr(line.find(']', 3) + 1));
        return out;
    }
    std::string dir;
};

TEST_F(ImagingApi, NullRecordsCountAsMissing)
{
    short plane[1] = {7};
    char p[] = "x";
    EXPECT_EQ(GetCloudPlaneX(0, nullptr, plane), 0);
    std::vector<char> bytes = raw_points({{1, 2, 3}});
    PhotoInfo frame = frame_of(record(CLOUD, 1, 1, 6), bytes.data());
    EXPECT_EQ(GetCloudPlaneZ(0, &frame, nullptr), 0);
    EXPECT_EQ(SaveCloudPlane(0, &frame, plane, nullptr), 0);
    EXPECT_EQ(SaveCloudPlane(0, &frame, nullptr, p), 0);
    EXPECT_EQ(SavePointCloudToPly(0, nullptr, p), -99);
    EXPECT_EQ(SaveFilterPointCloudToPcd(0, nullptr, p), -99);
    EXPECT_EQ(SpatialFilterPointcloud(0, nullptr, 1), 0);
    RawdataToRgb888(0, nullptr);
    EXPECT_TRUE(messages().empty());
}

TEST_F(ImagingApi, FunctionsReachTheCameraAndItsLog)
{
    std::vector<char> bytes = raw_points({{100, -50, 1000}, {0, 0, 0}});
    PhotoInfo frame = frame_of(record(CLOUD, 2, 1, 12, 10), bytes.data());
    std::string a = path("a.pcd"), b = path("b.pcd");
    EXPECT_EQ(SavePointCloudToPcd(0, &frame, &a[0]), 0);
    EXPECT_EQ(SaveFilterPointCloudToPcd(0, &frame, &b[0]), 0);
    EXPECT_EQ(read_file(a), read_file(b));

    short plane[2];
    EXPECT_EQ(GetCloudPlaneZ(0, &frame, plane), 0);
    EXPECT_EQ(static_cast<uint8_t>(reinterpret_cast<char*>(plane)[1]), 0xE8);

    PhotoInfo no_pixel = frame;
    no_pixel.pixel = nullptr;
    RawdataToRgb888(0, &no_pixel);
    frame.pixel_format = RGB8;
    EXPECT_EQ(GetCloudPlaneZ(0, &frame, plane), -2);
    EXPECT_EQ(messages(),
              (std::vector<std::string>{
                  "[function:RawdataToRgb888] the incoming parameters error, error code: -2",
                  "[function:GetCloudPlaneZ] Failed to get the plane Z of cloud due to the incoming parameters "
                  "error, error code: -2"}));
}

TEST_F(ImagingApi, InOutVariantsReturnTheResultInTheCallersBufferAndLeaveTheRecord)
{
    // A 7 x 6 flat wall filtered: the last two rows go.
    std::vector<char> wall;
    for (int r = 0; r < 6; ++r)
        for (int c = 0; c < 7; ++c) {
            const std::vector<char> p = raw_points({{c, r, 1000}});
            wall.insert(wall.end(), p.begin(), p.end());
        }
    PhotoInfoCSharp info = record(CLOUD, 7, 6, static_cast<uint32_t>(wall.size()));
    const PhotoInfoCSharp before = info;
    std::vector<char> buffer = wall;
    FilterPointCloudCSharp(0, info, buffer.data(), static_cast<int>(buffer.size()), 1.0);
    EXPECT_TRUE(same_record(info, before));
    EXPECT_EQ(std::vector<char>(buffer.begin(), buffer.begin() + 4 * 42),
              std::vector<char>(wall.begin(), wall.begin() + 4 * 42));
    EXPECT_EQ(std::vector<char>(buffer.begin() + 4 * 42, buffer.end()), std::vector<char>(2 * 42, 0));

    buffer = wall;
    EXPECT_EQ(SpatialFilterPointcloudCSharp(0, info, buffer.data(), static_cast<int>(buffer.size()), 0), 0);
    EXPECT_EQ(buffer, wall);
    EXPECT_TRUE(same_record(info, before));

    short plane[42];
    PhotoInfoCSharp image = record(RGB8, 7, 6, 126);
    EXPECT_EQ(GetCloudPlaneZCSharp(0, image, buffer.data(), static_cast<int>(buffer.size()), plane), -2);
}

TEST_F(ImagingApi, RawToRgbVariantCopiesTheConvertedImageBack)
{
    // YUYV converts within the private copy, which has room for the result.
    PhotoInfoCSharp yuyv = record(YUYV, 2, 1, 4);
    std::vector<char> buffer = {char(255), char(128), 0, char(255), 'a', 'b'};
    RawdataToRgb888CSharp(0, yuyv, buffer.data(), 6);
    EXPECT_EQ(buffer, (std::vector<char>{char(255), char(164), char(254), char(178), 0, 0}));
    EXPECT_EQ(yuyv.pixel_format, YUYV);  // the record is not updated

    // Bayer replaces the private buffer; the caller gets length bytes of the
    // replacement.
    PhotoInfoCSharp bayer = record(BAYER_RG8, 6, 6, 36);
    std::vector<char> mosaic(3 * 36 + 10, char(200));
    RawdataToRgb888CSharp(0, bayer, mosaic.data(), static_cast<int>(mosaic.size()));
    EXPECT_EQ(std::vector<char>(mosaic.begin(), mosaic.begin() + 108), std::vector<char>(108, char(200)));
    EXPECT_EQ(std::vector<char>(mosaic.begin() + 108, mosaic.end()), std::vector<char>(10, 0));
}

TEST_F(ImagingApi, ShortCallerLengthsAreNotReadOrWrittenPast)
{
    // The record says 2 points, the caller passes bytes of one: the frame
    // is refused, not made up of zeros.
    std::vector<char> one = raw_points({{10, 20, 30}});
    PhotoInfoCSharp info = record(CLOUD, 2, 1, 12);
    float points[6] = {9, 9, 9, 9, 9, 9};
    Convert3DPointFromCharToFloatCSharp(0, info, one.data(), 6, points);
    EXPECT_EQ(std::vector<float>(points, points + 6), std::vector<float>(6, 9));
    short plane[2] = {7, 7};
    EXPECT_EQ(GetCloudPlaneZCSharp(0, info, one.data(), 6, plane), -2);
    EXPECT_EQ(SavePointCloudToPcdCSharp(0, info, one.data(), 6, &path("short.pcd")[0]), -2);
    std::vector<char> buffer = one;
    EXPECT_EQ(SpatialFilterPointcloudCSharp(0, info, buffer.data(), 6, 1), -2);
    EXPECT_EQ(buffer, one);

    // A record claiming 4 GB over a few bytes: refused without making room
    // for what it claims.
    PhotoInfoCSharp huge = record(CLOUD, 0x10000, 0xAAAA, 0xFFFFFFFC);
    EXPECT_EQ(SavePointCloudToPlyCSharp(0, huge, one.data(), 6, &path("huge.ply")[0]), -2);
    EXPECT_EQ(SpatialFilterPointcloudCSharp(0, huge, buffer.data(), 6, 1), -2);
    EXPECT_EQ(buffer, one);
    // Bytes without a buffer are no bytes.
    EXPECT_EQ(SavePointCloudToPlyCSharp(0, info, nullptr, 12, &path("none.ply")[0]), -2);

    // A YUYV frame saved from a buffer with no room for the RGB result.
    std::vector<char> yuyv(8, char(128));
    PhotoInfoCSharp image = record(YUYV, 2, 2, 8);
    EXPECT_EQ(SaveToBMPCSharp(0, image, yuyv.data(), 8, &path("y.bmp")[0]), 0);
    EXPECT_EQ(read_file(path("y.bmp")).size(), 54u + 16u);
    EXPECT_EQ(yuyv, std::vector<char>(8, char(128)));

    PhotoInfoCSharp bayer = record(BAYER_RG8, 6, 6, 36);
    std::vector<char> mosaic(36, char(40));
    EXPECT_EQ(SaveToBMPCSharp(0, bayer, mosaic.data(), 36, &path("b.bmp")[0]), 0);
    EXPECT_EQ(read_file(path("b.bmp")).size(), 54u + 6 * 20u);
}

TEST_F(ImagingApi, SaveToBmpLeavesTheCallersFrameAndBufferAlone)
{
    // Payload-sized buffers, as a capture into std::vector<char>(payload)
    // gives them: the RGB result fits neither, and neither is the library's
    // to free.
    std::vector<char> yuyv(4 * 2 * 2, char(128));
    PhotoInfo image = frame_of(record(YUYV, 4, 2, 16), yuyv.data());
    const PhotoInfo image_before = image;
    EXPECT_EQ(SaveToBMP(0, &image, &path("y.bmp")[0]), 0);
    EXPECT_EQ(std::memcmp(&image, &image_before, sizeof image), 0);
    EXPECT_EQ(yuyv, std::vector<char>(16, char(128)));

    std::vector<char> mosaic(36, char(60));
    PhotoInfo bayer = frame_of(record(BAYER_RG8, 6, 6, 36), mosaic.data());
    const PhotoInfo bayer_before = bayer;
    EXPECT_EQ(SaveToBMP(0, &bayer, &path("b.bmp")[0]), 0);
    EXPECT_EQ(std::memcmp(&bayer, &bayer_before, sizeof bayer), 0);
    EXPECT_EQ(mosaic, std::vector<char>(36, char(60)));
    EXPECT_EQ(read_file(path("b.bmp")).substr(54, 18), std::string(18, char(60)));
}

TEST_F(ImagingApi, SaveCloudPlaneRefusesWhatGetCloudPlaneRefuses)
{
    // A plane of 2 x 1 values, from a frame that says it has 64 x 64 points
    // but carries two: what GetCloudPlaneZ refuses, SaveCloudPlane refuses.
    std::vector<char> bytes = raw_points({{1, 2, 3}, {4, 5, 6}});
    short plane[2] = {};
    PhotoInfo frame = frame_of(record(CLOUD, 2, 1, 12), bytes.data());
    ASSERT_EQ(GetCloudPlaneZ(0, &frame, plane), 0);
    std::vector<PhotoInfo> refused(4, frame);
    refused[0].pixel_width = refused[0].pixel_height = 64;  // more points than the payload holds
    refused[1].pixel_format = RGB8;
    refused[2].pixel = nullptr;
    refused[3].pixel_width = refused[3].pixel_height = 0x10000;  // 2^32 points, wrapping 32 bits to 0
    PhotoInfoCSharp info = record(CLOUD, 64, 64, 64 * 64 * 6);
    for (size_t i = 0; i < refused.size(); ++i) {
        const std::string file = path(("p" + std::to_string(i) + ".png").c_str());
        EXPECT_EQ(GetCloudPlaneZ(0, &refused[i], plane), -2) << i;
        EXPECT_EQ(SaveCloudPlane(0, &refused[i], plane, const_cast<char*>(file.c_str())), -2) << i;
        EXPECT_NE(access(file.c_str(), F_OK), 0) << i;
    }
    // The flat-buffer form: the record's payload is more than the caller's
    // bytes.
    EXPECT_EQ(SaveCloudPlaneCSharp(0, info, bytes.data(), 12, plane, &path("c.png")[0]), -2);
    EXPECT_NE(access(path("c.png").c_str(), F_OK), 0);
    std::string good = path("good.png");
    EXPECT_EQ(SaveCloudPlane(0, &frame, plane, &good[0]), 0);
}

TEST_F(ImagingApi, FusionToColourGridRefusesSizesNoFrameHasBeforeAllocating)
{
    // Two calibration records, so that only the sizes can be refused.
    CameraParameter identity;
    std::memset(&identity, 0, sizeof identity);
    identity.R[0] = identity.R[4] = identity.R[8] = 1;
    identity.K[0] = identity.K[4] = identity.K[8] = 1;
    camera().camera_parameters.assign(2, identity);

    std::vector<char> points = raw_points({{1, 2, 30}});
    PhotoInfoCSharp cloud = record(CLOUD, 1, 1, 6);
    std::vector<char> pixels(12, 0);
    // Width x height x 6 bytes: 25.7 GB, 2^32 + 2^17 (just over a 32-bit
    // payload) and a product that does not even fit 64 bits.
    const uint32_t sizes[][2] = {{65535, 65535}, {65536, 10923}, {0xFFFFFFFF, 0xFFFFFFFF}};
    for (const auto& size : sizes) {
        PhotoInfoCSharp colour = record(RGB8, size[0], size[1], 12);
        PhotoInfoCSharp out = record(0, 7, 7, 7);
        std::vector<char> out_bytes(64, char(0x5A));
        EXPECT_EQ(Fusion3DToRGBCSharp(0, colour, pixels.data(), 12, cloud, points.data(), 6, out, out_bytes.data(),
                                      int(out_bytes.size())),
                  -2)
            << size[0] << " x " << size[1];
        EXPECT_EQ(out_bytes, std::vector<char>(64, 0));
        EXPECT_EQ(out.pixel_width, 0u);
        EXPECT_EQ(out.payload_size, 0u);
        EXPECT_EQ(out.block_id, 9);

        // The same through the frame records: the caller's output buffer is
        // not written for a grid it cannot hold.
        PhotoInfo colour_frame = frame_of(colour, pixels.data());
        PhotoInfo cloud_frame = frame_of(cloud, points.data());
        PhotoInfo out_frame = frame_of(record(0, 0, 0, 0), out_bytes.data());
        std::fill(out_bytes.begin(), out_bytes.end(), char(0x5A));
        EXPECT_EQ(Fusion3DToRGB(0, &colour_frame, &cloud_frame, &out_frame), -2);
        EXPECT_EQ(out_bytes, std::vector<char>(64, char(0x5A)));
    }
    // A grid that fits is made as before.
    PhotoInfoCSharp colour = record(RGB8, 2, 2, 12);
    PhotoInfoCSharp out{};
    std::vector<char> out_bytes(24, char(0x5A));
    EXPECT_EQ(Fusion3DToRGBCSharp(0, colour, pixels.data(), 12, cloud, points.data(), 6, out, out_bytes.data(), 24), 0);
    EXPECT_EQ(out.payload_size, 24u);
}

TEST_F(ImagingApi, SizesWhoseByteCountWrapsAreRefused)
{
    // 4294836226 x 2147549185 points: times 6 bytes that is 12 modulo 2^64,
    // times 2 it is 4. Such records over 12 (or 4) real bytes are refused.
    const uint32_t W = 4294836226u, H = 2147549185u;
    std::vector<char> bytes = raw_points({{1, 2, 3}, {4, 5, 6}});
    PhotoInfo cloud = frame_of(record(CLOUD, W, H, 12), bytes.data());
    const std::vector<char> before = bytes;
    std::vector<float> floats(6, 9.0f);
    short plane[6] = {7, 7, 7, 7, 7, 7};
    Convert3DPointFromCharToFloat(0, &cloud, floats.data());
    EXPECT_EQ(floats, std::vector<float>(6, 9.0f));
    EXPECT_EQ(GetCloudPlaneZ(0, &cloud, plane), -2);
    EXPECT_EQ(SaveCloudPlane(0, &cloud, plane, &path("p.png")[0]), -2);
    EXPECT_EQ(SavePointCloudToPcd(0, &cloud, &path("c.pcd")[0]), -2);
    EXPECT_EQ(SavePointCloudToPly(0, &cloud, &path("c.ply")[0]), -2);
    EXPECT_EQ(SavePointCloudToTxt(0, &cloud, &path("c.txt")[0]), -2);
    EXPECT_EQ(SaveDepthToPng(0, &cloud, &path("c.png")[0]), -2);
    EXPECT_EQ(SavePointCloudWithImageToTxt(0, &cloud, floats.data(), &path("f.txt")[0]), -2);
    FilterPointCloud(0, &cloud, 1.0);
    EXPECT_EQ(SpatialFilterPointcloud(0, &cloud, 1), -2);
    EXPECT_EQ(bytes, before);

    std::vector<char> image_bytes(12, 0);
    PhotoInfo small_image = frame_of(record(RGB8, 2, 2, 12), image_bytes.data());
    EXPECT_EQ(FusionImageTo3D(0, &small_image, &cloud, floats.data()), -2);
    std::vector<char> out_bytes(24, 0);
    PhotoInfo out = frame_of(record(0, 0, 0, 0), out_bytes.data());
    EXPECT_EQ(Fusion3DToRGB(0, &small_image, &cloud, &out), -2);
    std::vector<int> mask(4, 0);
    RoiPoint region{0, 0, 2, 2};
    ROIPixelMapping(0, &cloud, &small_image, &small_image, &region, mask.data());
    EXPECT_EQ(mask, std::vector<int>(4, 0));

    std::vector<char> yuyv(4, char(128));
    PhotoInfo image = frame_of(record(YUYV, W, H, 4), yuyv.data());
    RawdataToRgb888(0, &image);
    EXPECT_EQ(image.pixel_format, YUYV);
    EXPECT_EQ(SaveToBMP(0, &image, &path("y.bmp")[0]), -2);
    image.pixel_format = PIXEL_FORMAT_RGB565P;
    EXPECT_EQ(SaveToBMP(0, &image, &path("r.bmp")[0]), -2);
    PhotoInfo cloud_image = frame_of(record(CLOUD, 2, 1, 12), bytes.data());
    EXPECT_EQ(FusionImageTo3D(0, &image, &cloud_image, floats.data()), -2);
    EXPECT_EQ(yuyv, std::vector<char>(4, char(128)));
}

TEST_F(ImagingApi, MaskVariantsUseOnlyTheSize)
{
    std::vector<int> mask(25, 0);
    mask[12] = 255;
    PhotoInfoCSharp info = record(CLOUD, 5, 5, 0);
    PixelSwellCSharp(0, mask.data(), info, 25);
    EXPECT_EQ(mask[6], 255);
    EXPECT_EQ(mask[18], 255);
    EXPECT_EQ(mask[0], 0);
    PixelCorrosionCSharp(0, mask.data(), info, 25);
    std::vector<int> want(25, 0);
    want[12] = 255;
    EXPECT_EQ(mask, want);
    RoiPoint box{};
    ROIMappingCoordinateCSharp(0, 0, mask.data(), info, 25, box);
    EXPECT_EQ(box.offset_x, 2u);
    EXPECT_EQ(box.size_x, 0u);
}

TEST_F(ImagingApi, MaskVariantsRefuseAMaskShorterThanTheFrame)
{
    // The caller says its mask holds 24 values; the frame has 25 pixels.
    // Values past the 24th are not the mask's and must not be touched.
    std::vector<int> mask(40, 77);
    for (int i = 0; i < 24; ++i)
        mask[i] = i % 2 ? 255 : 0;
    const std::vector<int> before = mask;
    PhotoInfoCSharp info = record(CLOUD, 5, 5, 0);
    const RoiPoint untouched{1, 2, 3, 4};
    for (int length : {24, 0, -25, INT32_MIN}) {
        PixelSwellCSharp(0, mask.data(), info, length);
        PixelCorrosionCSharp(0, mask.data(), info, length);
        RoiPoint box = untouched;
        ROIMappingCoordinateCSharp(0, 0, mask.data(), info, length, box);
        EXPECT_EQ(std::memcmp(&box, &untouched, sizeof box), 0) << length;
        EXPECT_EQ(mask, before) << length;
    }
    // Widths and heights whose product wraps 32 bits are no smaller.
    PhotoInfoCSharp huge = record(CLOUD, 0x10000, 0x10000, 0);
    PixelSwellCSharp(0, mask.data(), huge, 40);
    EXPECT_EQ(mask, before);
    // A missing mask is refused whatever the length says.
    PixelSwellCSharp(0, nullptr, info, 25);
    PixelCorrosionCSharp(0, nullptr, info, 25);
    RoiPoint box = untouched;
    ROIMappingCoordinateCSharp(0, 0, nullptr, info, 25, box);
    EXPECT_EQ(std::memcmp(&box, &untouched, sizeof box), 0);
}
