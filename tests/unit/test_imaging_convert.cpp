// Pixel formats and conversions: raw clouds to float points and planes, the
// float round trip, YUYV and Bayer RG8 to RGB8, and the refusals of frames
// whose sizes do not add up.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "imaging/cloud_convert.h"
#include "imaging/colour_convert.h"
#include "imaging/pixel_format.h"
#include "log/vora_cameralog.h"
#include "vora_pixel_format.h"

namespace {

constexpr uint32_t CLOUD = PIXEL_FORMAT_COORD3D_ABC16;
constexpr uint32_t RGB8 = PIXEL_FORMAT_RGB8;
constexpr uint32_t YUYV = PIXEL_FORMAT_YUV422_8;
constexpr uint32_t BAYER_RG8 = PIXEL_FORMAT_BAYER_RG8;
constexpr uint32_t MONO8 = PIXEL_FORMAT_MONO8;

// A camera log written to a private directory, read back line by line.
class LogCapture {
public:
    LogCapture()
    {
        char tmpl[] = "/tmp/vora-imaging-XXXXXX";
        dir_ = mkdtemp(tmpl);
        set_log_switches(1, 0, 0, 0);
        log.log_enable((dir_ + "/cam").c_str());
    }
    ~LogCapture()
    {
        log.log_disable();
        set_log_switches(0, 0, 0, 0);
        std::remove((dir_ + "/cam.log").c_str());
        rmdir(dir_.c_str());
    }
    // Messages logged so far, without level and time stamp.
    std::vector<std::string> messages()
    {
        log.log_disable();
        std::ifstream in(dir_ + "/cam.log");
        for (std::string line; std::getline(in, line);) {
            const size_t end = line.find(']', 3);
            seen_.push_back(end == std::string::npos ? line : line.substr(end + 1));
        }
        log.log_enable((dir_ + "/cam").c_str());
        return seen_;
    }

    cameralog log;

private:
    std::string dir_;
    std::vector<std::string> seen_;
};

// A raw cloud frame over its own bytes.
struct Cloud {
    Cloud(uint32_t w, uint32_t h, uint32_t unit) : bytes(size_t(w) * h * 6)
    {
        info.pixel_format = CLOUD;
        info.pixel_width = w;
        info.pixel_height = h;
        info.cloud_unit = unit;
        info.payload_size = static_cast<uint32_t>(bytes.size());
        info.pixel = bytes.data();
    }
    void set(size_t i, uint16_t x, uint16_t y, uint16_t z)
    {
        const uint16_t v[3] = {x, y, z};
        for (int k = 0; k < 3; ++k) {
            bytes[6 * i + 2 * k] = static_cast<char>(v[k] & 0xFF);
            bytes[6 * i + 2 * k + 1] = static_cast<char>(v[k] >> 8);
        }
    }
    std::vector<char> bytes;
    PhotoInfo info{};
};

uint16_t be16(const short* plane, size_t i)
{
    const uint8_t* b = reinterpret_cast<const uint8_t*>(plane + i);
    return static_cast<uint16_t>(b[0] << 8 | b[1]);
}

// The float round trip of one raw value, written out from the rule.
uint16_t round_trip(float raw, float unit)
{
    const float product = (raw / unit) * unit;
    return static_cast<uint16_t>(static_cast<int32_t>(std::trunc(product)));
}

// Units no camera states but the conversions accept: zero of both signs,
// infinities, NaN, a subnormal (quotients overflow to infinity), one whose
// quotients are subnormal, and a negative one.
std::vector<float> awkward_units()
{
    return {0.0f,
            -0.0f,
            std::numeric_limits<float>::infinity(),
            -std::numeric_limits<float>::infinity(),
            std::numeric_limits<float>::quiet_NaN(),
            1e-40f,
            std::numeric_limits<float>::denorm_min(),
            3e38f,
            -7.0f,
            0.1f};
}

uint32_t float_bits(float f)
{
    uint32_t b;
    std::memcpy(&b, &f, 4);
    return b;
}

}  // namespace

TEST(ImagingPixelFormats, SizesOfKnownAndUnknownCodes)
{
    EXPECT_EQ(imaging::pixel_bytes(MONO8), 1);
    EXPECT_EQ(imaging::pixel_bytes(BAYER_RG8), 1);
    EXPECT_EQ(imaging::pixel_bytes(PIXEL_FORMAT_BAYER_BG10), 2);
    EXPECT_EQ(imaging::pixel_bytes(YUYV), 2);
    EXPECT_EQ(imaging::pixel_bytes(RGB8), 3);
    EXPECT_EQ(imaging::pixel_bytes(CLOUD), 6);
    EXPECT_EQ(imaging::pixel_bytes(PIXEL_FORMAT_COORD3D_ABC16_PLANAR), 6);
    EXPECT_EQ(imaging::pixel_bytes(0x01100010), 0);
    EXPECT_EQ(imaging::pixel_bytes(0), 0);
}

TEST(ImagingCloudToFloat, XAndYAreSignedZIsUnsigned)
{
    Cloud c(1, 1, 4);
    c.set(0, 0xFFFF, 0x8000, 0xFFFF);
    LogCapture cap;
    float out[3];
    imaging::convert_cloud_to_float(cap.log, c.info, out);
    EXPECT_EQ(out[0], -1.0f / 4.0f);
    EXPECT_EQ(out[1], -32768.0f / 4.0f);
    EXPECT_EQ(out[2], 65535.0f / 4.0f);
}

TEST(ImagingCloudToFloat, EveryRawValueInEveryCoordinateAtUnits1And7And10)
{
    // Enough points for the vector path and a scalar tail (65536 % 8 == 0,
    // so one more point).
    const size_t n = 65537;
    for (uint32_t unit : {1u, 7u, 10u}) {
        Cloud c(static_cast<uint32_t>(n), 1, unit);
        for (size_t i = 0; i < n; ++i)
            c.set(i, static_cast<uint16_t>(i), static_cast<uint16_t>(~i), static_cast<uint16_t>(i * 7));
        std::vector<float> out(3 * n);
        LogCapture cap;
        imaging::convert_cloud_to_float(cap.log, c.info, out.data());
        const float u = static_cast<float>(unit);
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(out[3 * i], static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(i))) / u) << i;
            ASSERT_EQ(out[3 * i + 1], static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(~i))) / u) << i;
            ASSERT_EQ(out[3 * i + 2], static_cast<float>(static_cast<uint16_t>(i * 7)) / u) << i;
        }
    }
}

TEST(ImagingCloudToFloat, ClearsTheRestOfTwicePayloadAndNothingBeyond)
{
    Cloud c(2, 1, 1);
    c.set(0, 1, 2, 3);
    c.set(1, 4, 5, 6);
    c.bytes.resize(16);  // payload with 4 bytes to spare
    c.info.pixel = c.bytes.data();
    c.info.payload_size = 16;
    std::vector<float> out(10, 99.0f);  // 2 x 16 bytes are 8 floats
    LogCapture cap;
    imaging::convert_cloud_to_float(cap.log, c.info, out.data());
    EXPECT_EQ(out, (std::vector<float>{1, 2, 3, 4, 5, 6, 0, 0, 99, 99}));
}

TEST(ImagingCloudToFloat, RefusesFramesWithoutBufferOrWithAShortPayload)
{
    Cloud c(2, 2, 1);
    c.info.payload_size = 23;
    std::vector<float> out(12, 5.0f);
    LogCapture cap;
    imaging::convert_cloud_to_float(cap.log, c.info, out.data());
    c.info.payload_size = 24;
    c.info.pixel = nullptr;
    imaging::convert_cloud_to_float(cap.log, c.info, out.data());
    EXPECT_EQ(out, std::vector<float>(12, 5.0f));
    const std::string m = "[function:Convert3DPointFromCharToFloat] the incoming parameters error, error code: -2";
    EXPECT_EQ(cap.messages(), (std::vector<std::string>{m, m}));
}

// Bit for bit, NaN and infinite results included, at every length from no
// point to five vector steps and a tail.
TEST(ImagingCloudToFloat, AwkwardUnitsGiveTheRuleBitForBit)
{
    std::mt19937 rng(41);
    std::vector<uint16_t> raw(3 * 45);
    for (size_t i = 0; i < raw.size(); ++i) {
        const uint16_t edges[] = {0, 1, 0x7FFF, 0x8000, 0xFFFF};
        raw[i] = i < 15 ? edges[i % 5] : static_cast<uint16_t>(rng());
    }
    std::vector<char> bytes(2 * raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        bytes[2 * i] = static_cast<char>(raw[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(raw[i] >> 8);
    }
    for (float unit : awkward_units()) {
        for (size_t n = 0; n <= 45; ++n) {
            std::vector<float> out(3 * n + 1, 42.0f);
            imaging::raw_cloud_to_float(bytes.data(), n, unit, out.data());
            for (size_t k = 0; k < 3 * n; ++k) {
                const float v =
                    k % 3 == 2 ? static_cast<float>(raw[k]) : static_cast<float>(static_cast<int16_t>(raw[k]));
                ASSERT_EQ(float_bits(out[k]), float_bits(v / unit)) << unit << " " << n << " " << k;
            }
            ASSERT_EQ(out[3 * n], 42.0f);
        }
    }
}

TEST(ImagingCloudPlane, RoundTripLosesAUnitAtSevenAndTruncatesTowardZero)
{
    Cloud c(2, 1, 7);
    c.set(0, static_cast<uint16_t>(-31), 31, 31);
    c.set(1, 0, 0, 0x1234);
    short x[2], y[2], z[2];
    LogCapture cap;
    ASSERT_EQ(imaging::get_cloud_plane_x(cap.log, c.info, x), 0);
    ASSERT_EQ(imaging::get_cloud_plane_y(cap.log, c.info, y), 0);
    ASSERT_EQ(imaging::get_cloud_plane_z(cap.log, c.info, z), 0);
    EXPECT_EQ(static_cast<int16_t>(be16(x, 0)), -30);
    EXPECT_EQ(be16(y, 0), 30);
    EXPECT_EQ(be16(z, 0), 30);
    // 0x1234 = 4660 survives the round trip at unit 7; stored high byte first.
    const uint8_t* zb = reinterpret_cast<const uint8_t*>(z + 1);
    EXPECT_EQ(zb[0], 0x12);
    EXPECT_EQ(zb[1], 0x34);
}

TEST(ImagingCloudPlane, EveryRawValueThroughBothTheSmallAndTheLargeFramePath)
{
    for (uint32_t unit : {1u, 7u, 10u}) {
        const float u = static_cast<float>(unit);
        // One large frame (all values at once, and five more past a
        // multiple of eight) and small frames of 4096 points must agree with
        // the rule for every value.
        const size_t n = 65536 + 5;
        Cloud big(static_cast<uint32_t>(n), 1, unit);
        for (size_t i = 0; i < n; ++i)
            big.set(i, static_cast<uint16_t>(i), static_cast<uint16_t>(i), static_cast<uint16_t>(i));
        for (int coord = 0; coord < 3; ++coord) {
            std::vector<short> plane(n);
            LogCapture cap;
            ASSERT_EQ(imaging::get_cloud_plane(cap.log, big.info, plane.data(), coord), 0);
            for (size_t start = 0; start < 65536; start += 4096) {
                PhotoInfo part = big.info;
                part.pixel = big.bytes.data() + 6 * start;
                part.pixel_width = 4096;
                part.payload_size = 4096 * 6;
                std::vector<short> small(4096);
                ASSERT_EQ(imaging::get_cloud_plane(cap.log, part, small.data(), coord), 0);
                for (size_t i = 0; i < 4096; ++i) {
                    const uint16_t bits = static_cast<uint16_t>(start + i);
                    const float raw =
                        coord == 2 ? static_cast<float>(bits) : static_cast<float>(static_cast<int16_t>(bits));
                    const uint16_t want = round_trip(raw, u);
                    ASSERT_EQ(be16(plane.data(), start + i), want) << unit << " " << coord << " " << bits;
                    ASSERT_EQ(be16(small.data(), i), want) << unit << " " << coord << " " << bits;
                    if (unit != 7) {
                        ASSERT_EQ(want, bits);  // exact at 1 and 10
                    }
                }
            }
            for (size_t i = 65536; i < n; ++i) {
                const float raw = static_cast<float>(i - 65536);
                ASSERT_EQ(be16(plane.data(), i), round_trip(raw, u)) << unit << " " << coord << " " << i;
            }
        }
    }
}

// Every raw value of both signednesses against the rule written out: NaN
// and values out of int32's range (infinite products) become INT32_MIN,
// whose low 16 bits are 0, where a saturating conversion would give 0xFFFF.
TEST(ImagingRoundTripTable, EveryValueAtOrdinaryAndAwkwardUnits)
{
    std::vector<float> units = awkward_units();
    units.insert(units.end(), {1.0f, 7.0f, 10.0f});
    std::vector<uint16_t> table(65536);
    for (float unit : units) {
        for (bool is_unsigned : {false, true}) {
            const bool identity = imaging::build_round_trip_table(unit, is_unsigned, table.data());
            bool all_same = true;
            for (uint32_t bits = 0; bits < 65536; ++bits) {
                const float v = is_unsigned ? static_cast<float>(bits)
                                            : static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(bits)));
                const float product = (v / unit) * unit;
                const int32_t t =
                    (product > -2147483648.0f && product < 2147483648.0f) ? static_cast<int32_t>(product) : INT32_MIN;
                const uint16_t want = static_cast<uint16_t>(static_cast<uint32_t>(t));
                ASSERT_EQ(table[bits], want) << unit << " " << is_unsigned << " " << bits;
                all_same &= want == bits;
            }
            EXPECT_EQ(identity, all_same) << unit << " " << is_unsigned;
        }
    }
}

TEST(ImagingCloudPlane, RefusalsCarryTheNameOfTheFormAsked)
{
    Cloud c(2, 1, 1);
    short plane[2] = {7, 7};
    LogCapture cap;
    c.info.pixel_format = RGB8;
    EXPECT_EQ(imaging::get_cloud_plane_x(cap.log, c.info, plane), -2);
    EXPECT_EQ(imaging::get_cloud_plane_y(cap.log, c.info, plane), -2);
    c.info.pixel_format = CLOUD;
    c.info.payload_size = 11;
    EXPECT_EQ(imaging::get_cloud_plane_z(cap.log, c.info, plane), -2);
    c.info.payload_size = 12;
    EXPECT_EQ(imaging::get_cloud_plane(cap.log, c.info, plane, 3), -2);
    EXPECT_EQ(plane[0], 7);
    EXPECT_EQ(plane[1], 7);
    EXPECT_EQ(cap.messages(),
              (std::vector<std::string>{
                  "[function:GetCloudPlaneX] Failed to get the plane X of cloud due to the incoming parameters error, "
                  "error code: -2",
                  "[function:GetCloudPlaneY] Failed to get the plane Y of cloud due to the incoming parameters error, "
                  "error code: -2",
                  "[function:GetCloudPlaneZ] Failed to get the plane Z of cloud due to the incoming parameters error, "
                  "error code: -2",
                  "[function:GetCloudPlane] Failed to get the plane of cloud due to the incoming parameters error, "
                  "error code: -2"}));
}

// ---- YUYV ----

namespace {

struct Image {
    Image(uint32_t format, uint32_t w, uint32_t h, size_t bytes_per_pixel, size_t capacity)
        : bytes(static_cast<char*>(std::calloc(capacity, 1)))
    {
        info.pixel_format = format;
        info.pixel_width = w;
        info.pixel_height = h;
        info.payload_size = static_cast<uint32_t>(size_t(w) * h * bytes_per_pixel);
        info.pixel = bytes;
    }
    ~Image() { std::free(info.pixel); }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    uint8_t* data() { return reinterpret_cast<uint8_t*>(info.pixel); }
    char* bytes;
    PhotoInfo info{};
};

uint8_t reference_channel(double v)
{
    const float f = static_cast<float>(v);
    return f > 255.0f ? 255 : f < 0.0f ? 0 : static_cast<uint8_t>(f);
}

// The two RGB pixels made of one YUYV pair, channel by channel against the rule.
void expect_yuyv_pair(const uint8_t* yuyv, const uint8_t* rgb)
{
    const double y[2] = {double(yuyv[0]), double(yuyv[2])};
    const double u = yuyv[1] - 128.0, v = yuyv[3] - 128.0;
    for (int j = 0; j < 2; ++j) {
        const uint8_t* px = rgb + 3 * j;
        ASSERT_EQ(px[0], reference_channel(y[j] - 0.00093 * u + 1.401687 * v));
        ASSERT_EQ(px[1], reference_channel(y[j] - 0.3437 * u - 0.71417 * v));
        ASSERT_EQ(px[2], reference_channel(y[j] + 1.77216 * u - 0.00099 * v));
    }
}

}  // namespace

TEST(ImagingYuyv, PairThatClampsAndOneBelowZero)
{
    Image img(YUYV, 2, 1, 2, 6);
    const uint8_t pair[4] = {255, 128, 0, 255};
    std::memcpy(img.data(), pair, 4);
    LogCapture cap;
    imaging::yuyv_frame_to_rgb888(cap.log, img.info);
    const uint8_t* p = img.data();
    EXPECT_EQ(p[0], 255);  // 433.01 clamps
    EXPECT_EQ(p[1], 164);  // 164.30 truncates
    EXPECT_EQ(p[2], 254);  // 254.87 truncates
    EXPECT_EQ(p[3], 178);  // 0 + 1.401687 x 127
    EXPECT_EQ(p[4], 0);    // below zero
    EXPECT_EQ(p[5], 0);    // -0.126 is below zero too
    EXPECT_EQ(img.info.pixel_format, RGB8);
    EXPECT_EQ(img.info.payload_size, 6u);
}

TEST(ImagingYuyv, InPlaceMatchesASeparateBufferAndStopsAtThreeBytesPerPixel)
{
    const uint32_t w = 64, h = 30;
    const size_t n = size_t(w) * h;
    Image img(YUYV, w, h, 2, 3 * n + 16);
    std::mt19937 rng(5);
    std::vector<uint8_t> yuyv(2 * n);
    for (auto& b : yuyv)
        b = static_cast<uint8_t>(rng());
    std::memcpy(img.data(), yuyv.data(), yuyv.size());
    std::memset(img.data() + 3 * n, 0xAB, 16);
    LogCapture cap;
    imaging::yuyv_frame_to_rgb888(cap.log, img.info);
    for (size_t k = 0; k < n / 2; ++k) {
        ASSERT_NO_FATAL_FAILURE(expect_yuyv_pair(&yuyv[4 * k], img.data() + 6 * k)) << k;
    }
    for (size_t i = 0; i < 16; ++i)
        EXPECT_EQ(img.data()[3 * n + i], 0xAB);
    EXPECT_EQ(img.info.payload_size, 3 * n);
    EXPECT_TRUE(cap.messages().empty());
}

// Every U and V with sixteen pairs of Y each (every Y value in each
// position), through the in-place conversion.
TEST(ImagingYuyv, EveryChromaPairWithSpreadLumaMatchesTheRule)
{
    const size_t pairs = 65536 * 16;
    std::vector<uint8_t> yuyv(4 * pairs);
    for (size_t k = 0; k < pairs; ++k) {
        const uint8_t yuyv_pair[4] = {static_cast<uint8_t>(k * 7 + (k >> 16) * 16), static_cast<uint8_t>(k),
                                      static_cast<uint8_t>(k * 13 + 5 + (k >> 16) * 16), static_cast<uint8_t>(k >> 8)};
        std::memcpy(&yuyv[4 * k], yuyv_pair, 4);
    }
    std::vector<uint8_t> rgb(6 * pairs);
    std::memcpy(rgb.data(), yuyv.data(), yuyv.size());
    imaging::yuyv_to_rgb888_in_place(rgb.data(), 2 * pairs);
    for (size_t k = 0; k < pairs; ++k) {
        ASSERT_NO_FATAL_FAILURE(expect_yuyv_pair(&yuyv[4 * k], rgb.data() + 6 * k)) << k;
    }
}

TEST(ImagingYuyv, RefusesAnOddPixelCountAShortPayloadAndAMissingBuffer)
{
    LogCapture cap;
    Image odd(YUYV, 3, 1, 2, 9);
    odd.info.payload_size = 6;
    imaging::yuyv_frame_to_rgb888(cap.log, odd.info);
    EXPECT_EQ(odd.info.pixel_format, YUYV);
    EXPECT_EQ(odd.info.payload_size, 6u);

    Image short_payload(YUYV, 4, 2, 2, 24);
    short_payload.info.payload_size = 15;
    short_payload.data()[0] = 9;
    imaging::yuyv_frame_to_rgb888(cap.log, short_payload.info);
    EXPECT_EQ(short_payload.info.pixel_format, YUYV);
    EXPECT_EQ(short_payload.data()[0], 9);

    PhotoInfo none{};
    none.pixel_format = YUYV;
    imaging::raw_frame_to_rgb888(cap.log, none);
    const std::string m = "[function:YuyvToRgb888] the incoming parameters error, error code: -2";
    EXPECT_EQ(cap.messages(), (std::vector<std::string>{
                                  m, m, "[function:RawdataToRgb888] the incoming parameters error, error code: -2"}));
}

// ---- Bayer RG8 ----

namespace {

// The demosaic as described: blocks visited column pair by column pair,
// classified left, right, top, interior, bottom; corner blocks (which would
// read outside the image) are left to the corner rule.
std::vector<uint8_t> reference_demosaic(const std::vector<uint8_t>& in, int W, int H)
{
    std::vector<uint8_t> out(size_t(W) * H * 3);
    auto d = [&](int r, int c) { return unsigned(in[size_t(r) * W + c]); };
    auto put = [&](int r, int c, unsigned R, unsigned G, unsigned B) {
        out[3 * (size_t(r) * W + c)] = uint8_t(R);
        out[3 * (size_t(r) * W + c) + 1] = uint8_t(G);
        out[3 * (size_t(r) * W + c) + 2] = uint8_t(B);
    };
    for (int f = 0; f < W; f += 2) {
        for (int h = 0; h < H; h += 2) {
            const bool corner = (f == 0 || f == W - 2) && (h == 0 || h == H - 2);
            if (corner)
                continue;
            if (f == 0) {
                put(h, 0, d(h, 0), (d(h - 1, 0) + d(h + 1, 0) + d(h, 1)) / 3, (d(h - 1, 1) + d(h + 1, 1)) / 2);
                put(h, 1, (d(h, 0) + d(h, 2)) / 2, d(h, 1), (d(h - 1, 1) + d(h + 1, 1)) / 2);
                put(h + 1, 0, (d(h, 0) + d(h + 2, 0)) / 2, d(h + 1, 0), d(h + 1, 1));
                put(h + 1, 1, (d(h, 0) + d(h, 2) + d(h + 2, 0) + d(h + 2, 2)) / 4,
                    (d(h, 1) + d(h + 2, 1) + d(h + 1, 0) + d(h + 1, 2)) / 4, d(h + 1, 1));
            } else if (f == W - 2) {
                put(h, f, d(h, f), (d(h, f - 1) + d(h, f + 1) + d(h - 1, f) + d(h + 1, f)) / 4,
                    (d(h - 1, f - 1) + d(h - 1, f + 1) + d(h + 1, f - 1) + d(h + 1, f + 1)) / 4);
                put(h, f + 1, d(h, f), d(h, f + 1), (d(h - 1, f + 1) + d(h + 1, f + 1)) / 2);
                put(h + 1, f, (d(h, f) + d(h + 2, f)) / 2, d(h + 1, f), (d(h + 1, f - 1) + d(h + 1, f + 1)) / 2);
                put(h + 1, f + 1, (d(h, f) + d(h + 2, f)) / 2, (d(h, f + 1) + d(h + 1, f) + d(h + 2, f + 1)) / 3,
                    d(h + 1, f + 1));
            } else if (h == 0) {
                put(0, f, d(0, f), (d(0, f - 1) + d(0, f + 1) + d(1, f)) / 3, (d(1, f - 1) + d(1, f + 1)) / 2);
                put(0, f + 1, (d(0, f) + d(0, f + 2)) / 2, d(0, f + 1), d(1, f + 1));
                put(1, f, (d(0, f) + d(2, f)) / 2, d(1, f), (d(1, f - 1) + d(1, f + 1)) / 2);
                put(1, f + 1, (d(0, f) + d(0, f + 2) + d(2, f) + d(2, f + 2)) / 4,
                    (d(1, f) + d(0, f + 1) + d(2, f + 1) + d(1, f + 2)) / 4, d(1, f + 1));
            } else if (h != H - 2) {
                put(h, f, d(h, f), (d(h - 1, f) + d(h + 1, f) + d(h, f - 1) + d(h, f + 1)) / 4,
                    (d(h - 1, f - 1) + d(h - 1, f + 1) + d(h + 1, f - 1) + d(h + 1, f + 1)) / 4);
                put(h, f + 1, (d(h, f) + d(h, f + 2)) / 2, d(h, f + 1), (d(h - 1, f + 1) + d(h + 1, f + 1)) / 2);
                put(h + 1, f, (d(h, f) + d(h + 2, f)) / 2, d(h + 1, f), (d(h + 1, f - 1) + d(h + 1, f + 1)) / 2);
                put(h + 1, f + 1, (d(h, f) + d(h, f + 2) + d(h + 2, f) + d(h + 2, f + 2)) / 4,
                    (d(h, f + 1) + d(h + 1, f) + d(h + 1, f + 2) + d(h + 2, f + 1)) / 4, d(h + 1, f + 1));
            } else {
                put(h, f, d(h, f), (d(h, f + 1) + d(h + 1, f) + d(h - 1, f) + d(h, f - 1)) / 4,
                    (d(h + 1, f - 1) + 2 * d(h + 1, f + 1) + d(h - 1, f - 1)) / 4);
                put(h, f + 1, (d(h, f) + d(h, f + 2)) / 2, d(h, f + 1), (d(h - 1, f + 1) + d(h + 1, f + 1)) / 2);
                put(h + 1, f, d(h, f), d(h + 1, f), (d(h + 1, f - 1) + d(h + 1, f + 1)) / 2);
                put(h + 1, f + 1, (d(h, f) + d(h, f + 2)) / 2, (d(h, f + 1) + d(h + 1, f) + d(h + 1, f + 2)) / 3,
                    d(h + 1, f + 1));
            }
        }
    }
    auto corner = [&](int r0, int c0, int sr, int sc) {
        for (int r = r0; r < r0 + 2; ++r)
            for (int c = c0; c < c0 + 2; ++c)
                for (int k = 0; k < 3; ++k)
                    out[3 * (size_t(r) * W + c) + k] = out[3 * (size_t(sr) * W + sc) + k];
    };
    corner(0, 0, 2, 2);
    corner(0, W - 2, 2, W - 3);
    corner(H - 2, 0, H - 1, 2);
    corner(H - 2, W - 2, H - 3, W - 3);
    return out;
}

}  // namespace

TEST(ImagingBayer, UniformImagesStayUniformCornersIncluded)
{
    for (uint8_t v : {0, 77, 128, 200, 255}) {
        for (auto size : {std::pair<uint32_t, uint32_t>{6, 6}, {8, 12}, {64, 48}}) {
            const size_t n = size_t(size.first) * size.second;
            Image img(BAYER_RG8, size.first, size.second, 1, n);
            std::memset(img.data(), v, n);
            LogCapture cap;
            imaging::bayer_frame_to_rgb888(cap.log, img.info);
            ASSERT_EQ(img.info.pixel_format, RGB8);
            ASSERT_EQ(img.info.payload_size, 3 * n);
            for (size_t i = 0; i < 3 * n; ++i)
                ASSERT_EQ(img.data()[i], v) << int(v) << " at " << i / 3;
        }
    }
}

TEST(ImagingBayer, MatchesTheBlockTablesOnRandomMosaics)
{
    std::mt19937 rng(11);
    for (auto size : {std::pair<int, int>{6, 6}, {8, 6}, {6, 8}, {10, 12}, {16, 14}, {40, 30}}) {
        const int W = size.first, H = size.second;
        std::vector<uint8_t> mosaic(size_t(W) * H);
        for (auto& b : mosaic)
            b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> got(mosaic.size() * 3);
        imaging::bayer_rg8_to_rgb888(mosaic.data(), W, H, got.data());
        ASSERT_EQ(got, reference_demosaic(mosaic, W, H)) << W << "x" << H;
    }
}

TEST(ImagingBayer, ReplacesTheBufferAndClearsWhatThePixelsDoNotFill)
{
    Image img(BAYER_RG8, 6, 6, 1, 40);
    img.info.payload_size = 40;  // four bytes more than the mosaic
    std::memset(img.data(), 50, 40);
    LogCapture cap;
    imaging::bayer_frame_to_rgb888(cap.log, img.info);
    ASSERT_EQ(img.info.payload_size, 120u);
    for (size_t i = 0; i < 108; ++i)
        ASSERT_EQ(img.data()[i], 50);
    for (size_t i = 108; i < 120; ++i)
        ASSERT_EQ(img.data()[i], 0);
}

TEST(ImagingBayer, RefusedSizesLeaveTheFrameAndItsBufferAlone)
{
    LogCapture cap;
    struct Case {
        uint32_t w, h, payload;
    };
    for (Case c : {Case{0, 6, 36}, Case{6, 0, 36}, Case{6, 6, 0}, Case{7, 6, 42}, Case{6, 5, 30}, Case{4, 4, 16},
                   Case{8, 4, 32}, Case{6, 6, 35}}) {
        Image img(BAYER_RG8, c.w, c.h, 1, 64);
        img.info.payload_size = c.payload;
        char* before = img.info.pixel;
        img.data()[0] = 3;
        imaging::raw_frame_to_rgb888(cap.log, img.info);
        EXPECT_EQ(img.info.pixel, before);
        EXPECT_EQ(img.info.pixel_format, BAYER_RG8);
        EXPECT_EQ(img.info.payload_size, c.payload);
        EXPECT_EQ(img.data()[0], 3);
    }
    const std::vector<std::string> m = cap.messages();
    ASSERT_EQ(m.size(), 8u);
    for (const std::string& line : m)
        EXPECT_EQ(line, "[function:BayerRG8ToRgb888] the data info (width or height or payload_size) error.");
}

TEST(ImagingRawToRgb, OtherFormatsAndConvertedFramesAreLeftAloneSilently)
{
    LogCapture cap;
    for (uint32_t format : {RGB8, MONO8, CLOUD}) {
        Image img(format, 2, 2, 3, 12);
        img.data()[5] = 42;
        imaging::raw_frame_to_rgb888(cap.log, img.info);
        EXPECT_EQ(img.info.pixel_format, format);
        EXPECT_EQ(img.info.payload_size, 12u);
        EXPECT_EQ(img.data()[5], 42);
    }
    Image yuyv(YUYV, 2, 2, 2, 12);
    std::memset(yuyv.data(), 128, 8);
    imaging::raw_frame_to_rgb888(cap.log, yuyv.info);
    std::vector<uint8_t> once(yuyv.data(), yuyv.data() + 12);
    imaging::raw_frame_to_rgb888(cap.log, yuyv.info);
    EXPECT_EQ(std::vector<uint8_t>(yuyv.data(), yuyv.data() + 12), once);
    EXPECT_EQ(yuyv.info.payload_size, 12u);
    EXPECT_TRUE(cap.messages().empty());
}
