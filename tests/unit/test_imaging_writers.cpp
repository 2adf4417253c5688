// File export: the exact bytes of PCD, PLY, text, BMP and PNG files, number
// formatting identical to printf, refusals and file errors. With
// VORA_SAMPLES_DIR set, one test also writes sample files there for the
// independent readers of tests/python.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <climits>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "imaging/binary_cloud_writers.h"
#include "imaging/cloud_writers.h"
#include "imaging/colour_convert.h"
#include "imaging/depth_preview.h"
#include "imaging/image_png_writer.h"
#include "imaging/image_writers.h"
#include "imaging/png_writer.h"
#include "imaging/text_format.h"
#include "log/vora_cameralog.h"
#include "vora_pixel_format.h"

namespace {

constexpr uint32_t CLOUD = PIXEL_FORMAT_COORD3D_ABC16;
constexpr uint32_t RGB8 = PIXEL_FORMAT_RGB8;
constexpr uint32_t RGB565 = PIXEL_FORMAT_RGB565P;
constexpr uint32_t YUYV = PIXEL_FORMAT_YUV422_8;
constexpr uint32_t BAYER_RG8 = PIXEL_FORMAT_BAYER_RG8;
constexpr uint32_t MONO8 = PIXEL_FORMAT_MONO8;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool file_exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// A scratch directory with a camera log in it.
class ImagingWriters : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vora-writers-XXXXXX";
        ASSERT_TRUE(mkdtemp(tmpl));
        dir = tmpl;
        set_log_switches(1, 0, 0, 0);
        ASSERT_EQ(log.log_enable((dir + "/cam").c_str()), 0);
    }
    void TearDown() override
    {
        log.log_disable();
        set_log_switches(0, 0, 0, 0);
        ASSERT_EQ(std::system(("rm -rf " + dir).c_str()), 0);
    }
    std::string path(const char* name) const { return dir + "/" + name; }
    std::vector<std::string> messages()
    {
        log.log_disable();
        std::ifstream in(dir + "/cam.log");
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line.substr(line.find(']', 3) + 1));
        return out;
    }

    std::string dir;
    cameralog log;
};

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
    void set(size_t i, int16_t x, int16_t y, uint16_t z)
    {
        const int16_t v[3] = {x, y, static_cast<int16_t>(z)};
        std::memcpy(&bytes[6 * i], v, 6);
    }
    std::vector<char> bytes;
    PhotoInfo info{};
};

PhotoInfo rgb565_frame()
{
    static std::vector<char> bytes(4);
    PhotoInfo f{};
    f.pixel = bytes.data();
    f.pixel_format = RGB565;
    f.pixel_width = 2;
    f.pixel_height = 1;
    f.payload_size = 4;
    return f;
}

struct Image {
    Image(uint32_t format, uint32_t w, uint32_t h, size_t bytes_per_pixel, size_t capacity = 0)
    {
        const size_t size = size_t(w) * h * bytes_per_pixel;
        info.pixel = static_cast<char*>(std::calloc(capacity > size ? capacity : size, 1));
        info.pixel_format = format;
        info.pixel_width = w;
        info.pixel_height = h;
        info.payload_size = static_cast<uint32_t>(size);
    }
    ~Image() { std::free(info.pixel); }
    Image(const Image&) = delete;
    Image& operator=(const Image&) = delete;
    uint8_t* data() { return reinterpret_cast<uint8_t*>(info.pixel); }
    PhotoInfo info{};
};

std::string fixed2(float v)
{
    char out[64];
    char* end = imaging::put_fixed2(out, v);
    return std::string(out, end);
}

std::string printf_fixed2(float v)
{
    char out[64];
    std::snprintf(out, sizeof out, "%.2f", static_cast<double>(v));
    return out;
}

// The text writers as plain printf loops, to compare bytes with.
std::string printf_points(const Cloud& c)
{
    std::string out;
    const float u = static_cast<float>(c.info.cloud_unit);
    char line[256];
    for (size_t i = 0; i < c.bytes.size() / 6; ++i) {
        int16_t v[3];
        std::memcpy(v, &c.bytes[6 * i], 6);
        const float x = v[0] / u, y = v[1] / u, z = static_cast<uint16_t>(v[2]) / u;
        if (static_cast<double>(z) > 1e-6) {
            std::snprintf(line, sizeof line, "%.2f %.2f %.2f \n", x, y, z);
            out += line;
        }
    }
    return out;
}

uint32_t le32(const std::string& s, size_t at)
{
    uint32_t v;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}

uint16_t le16(const std::string& s, size_t at)
{
    uint16_t v;
    std::memcpy(&v, s.data() + at, 2);
    return v;
}

// A 16-bit grey PNG read back with libpng: width, height and the raw
// (big-endian) row bytes.
struct Png {
    uint32_t width = 0, height = 0;
    int bit_depth = 0, colour_type = -1;
    std::vector<std::string> rows;
};

bool read_png(const std::string& path, Png* out)
{
    FILE* fp = std::fopen(path.c_str(), "rb");
    if (!fp)
        return false;
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(fp);
        return false;
    }
    png_init_io(png, fp);
    png_read_png(png, info, PNG_TRANSFORM_IDENTITY, nullptr);
    out->width = png_get_image_width(png, info);
    out->height = png_get_image_height(png, info);
    out->bit_depth = png_get_bit_depth(png, info);
    out->colour_type = png_get_color_type(png, info);
    png_bytepp rows = png_get_rows(png, info);
    for (uint32_t r = 0; r < out->height; ++r)
        out->rows.emplace_back(reinterpret_cast<char*>(rows[r]), out->width * 2);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(fp);
    return true;
}

}  // namespace

// ---- number formatting ----

TEST(ImagingTextFormat, Fixed2MatchesPrintfForEveryRawCoordinateAtUnits1And7And10)
{
    for (uint32_t unit : {1u, 7u, 10u}) {
        const float u = static_cast<float>(unit);
        for (uint32_t bits = 0; bits < 65536; ++bits) {
            const float xy = static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(bits))) / u;
            const float z = static_cast<float>(bits) / u;
            ASSERT_EQ(fixed2(xy), printf_fixed2(xy)) << bits << " / " << unit;
            ASSERT_EQ(fixed2(z), printf_fixed2(z)) << bits << " / " << unit;
        }
    }
}

TEST(ImagingTextFormat, Fixed2MatchesPrintfOnTiesSignsExtremesAndRandomFloats)
{
    const float special[] = {0.0f,          -0.0f,          0.005f,  -0.005f, 0.125f,   0.375f,    -0.125f, 2.675f,
                             1.005f,        0.995f,         99.995f, 1e10f,   -1e10f,   4.5e13f,   4.6e13f, 1e20f,
                             3.4028235e38f, -3.4028235e38f, 1e-45f,  -1e-45f, INFINITY, -INFINITY, NAN};
    for (float v : special)
        EXPECT_EQ(fixed2(v), printf_fixed2(v)) << v;
    std::mt19937 rng(1);
    for (int i = 0; i < 2000000; ++i) {
        const uint32_t bits = static_cast<uint32_t>(rng());
        float v;
        std::memcpy(&v, &bits, 4);
        ASSERT_EQ(fixed2(v), printf_fixed2(v)) << bits;
    }
}

TEST(ImagingTextFormat, IntMatchesPrintf)
{
    std::mt19937 rng(2);
    std::vector<int32_t> values = {0, 1, -1, 9, 10, 99, 100, -100, INT32_MAX, INT32_MIN};
    for (int i = 0; i < 100000; ++i)
        values.push_back(static_cast<int32_t>(rng()));
    for (int32_t v : values) {
        char a[32], b[32];
        *imaging::put_int(a, v) = '\0';
        std::snprintf(b, sizeof b, "%d", v);
        ASSERT_STREQ(a, b);
    }
}

// ---- point-cloud files ----

TEST_F(ImagingWriters, TwoByOneCloudGivesTheExactPlyTextAndPcdBytes)
{
    Cloud c(2, 1, 10);
    c.set(0, 100, -50, 1000);
    c.set(1, 0, 0, 0);
    ASSERT_EQ(imaging::save_cloud_ply(log, c.info, path("a.ply").c_str()), 0);
    ASSERT_EQ(imaging::save_cloud_txt(log, c.info, path("a.txt").c_str()), 0);
    ASSERT_EQ(imaging::save_cloud_pcd(log, c.info, path("a.pcd").c_str()), 0);
    EXPECT_EQ(read_file(path("a.ply")),
              "ply\nformat ascii 1.0\nelement vertex 1\nproperty float x\nproperty float y\nproperty float z\n"
              "end_header\n10.00 -5.00 100.00 \n");
    EXPECT_EQ(read_file(path("a.txt")), "10.00 -5.00 100.00 \n");
    const std::string header =
        "# .PCD v0.7 - Point Cloud Data file format\r\nVERSION 0.7\r\nFIELDS x y z\r\nSIZE 4 4 4\r\n"
        "TYPE F F F\r\nCOUNT 1 1 1\r\nWIDTH 2\r\nHEIGHT 1\r\nVIEWPOINT 0 0 0 1 0 0 0\r\nPOINTS 2\r\n"
        "DATA binary\r\n";
    const std::string pcd = read_file(path("a.pcd"));
    ASSERT_EQ(pcd.size(), header.size() + 24);
    EXPECT_EQ(pcd.substr(0, header.size()), header);
    float body[3];
    std::memcpy(body, pcd.data() + header.size(), 12);
    EXPECT_EQ(body[0], 10.0f);
    EXPECT_EQ(body[1], -5.0f);
    EXPECT_EQ(body[2], 100.0f);
    for (int k = 0; k < 3; ++k)
        EXPECT_EQ(le32(pcd, header.size() + 12 + 4 * k), 0x7FC00000u);
    EXPECT_TRUE(messages().empty());
}

TEST_F(ImagingWriters, EmptyCloudGivesNoLinesAndAnAllNanPcdBody)
{
    Cloud c(3, 2, 1);
    ASSERT_EQ(imaging::save_cloud_ply(log, c.info, path("e.ply").c_str()), 0);
    ASSERT_EQ(imaging::save_cloud_txt(log, c.info, path("e.txt").c_str()), 0);
    ASSERT_EQ(imaging::save_cloud_pcd(log, c.info, path("e.pcd").c_str()), 0);
    EXPECT_EQ(read_file(path("e.ply")),
              "ply\nformat ascii 1.0\nelement vertex 0\nproperty float x\nproperty float y\nproperty float z\n"
              "end_header\n");
    EXPECT_EQ(read_file(path("e.txt")), "");
    const std::string pcd = read_file(path("e.pcd"));
    ASSERT_GE(pcd.size(), 72u);
    EXPECT_NE(pcd.find("WIDTH 3\r\nHEIGHT 2\r\nVIEWPOINT 0 0 0 1 0 0 0\r\nPOINTS 6\r\nDATA binary\r\n"),
              std::string::npos);
    for (size_t i = pcd.size() - 72; i < pcd.size(); i += 4)
        EXPECT_EQ(le32(pcd, i), 0x7FC00000u);
}

TEST_F(ImagingWriters, LargeCloudTextIsByteIdenticalToPrintf)
{
    for (uint32_t unit : {1u, 7u, 10u}) {
        Cloud c(257, 33, unit);  // more points than one conversion block
        std::mt19937 rng(unit);
        for (size_t i = 0; i < c.bytes.size() / 6; ++i)
            c.set(i, static_cast<int16_t>(rng()), static_cast<int16_t>(rng()),
                  rng() % 5 == 0 ? 0 : static_cast<uint16_t>(rng()));
        ASSERT_EQ(imaging::save_cloud_txt(log, c.info, path("l.txt").c_str()), 0);
        ASSERT_EQ(imaging::save_cloud_ply(log, c.info, path("l.ply").c_str()), 0);
        const std::string lines = printf_points(c);
        size_t count = 0;
        for (char ch : lines)
            count += ch == '\n';
        EXPECT_EQ(read_file(path("l.txt")), lines);
        EXPECT_EQ(read_file(path("l.ply")), "ply\nformat ascii 1.0\nelement vertex " + std::to_string(count) +
                                                "\nproperty float x\nproperty float y\nproperty float z\n"
                                                "end_header\n" +
                                                lines);
    }
}

TEST_F(ImagingWriters, ColourTextKeepsPositiveDepthAndTruncatesColours)
{
    Cloud c(2, 2, 1);
    std::vector<float> fused = {
        1.5f,   -2.25f, 3.0f,  12.9f, -0.5f, 255.99f,  // kept
        1.0f,   1.0f,   0.0f,  1.0f,  1.0f,  1.0f,     // no depth
        4.0f,   4.0f,   -1.0f, 1.0f,  1.0f,  1.0f,     // negative depth
        0.004f, 0.0f,   1e-5f, -3e9f, NAN,   7.0f,     // kept; colours beyond int become INT_MIN
    };
    ASSERT_EQ(imaging::save_cloud_with_colour_txt(log, c.info, fused.data(), path("c.txt").c_str()), 0);
    EXPECT_EQ(read_file(path("c.txt")), "1.50 -2.25 3.00 12 0 255\n0.00 0.00 0.00 -2147483648 -2147483648 7\n");
}

TEST_F(ImagingWriters, RefusalsAndFilesThatCannotBeCreated)
{
    Cloud c(2, 1, 10);
    c.set(0, 1, 1, 1);
    const std::string missing = dir + "/no/such/dir/f";
    EXPECT_EQ(imaging::save_cloud_pcd(log, c.info, missing.c_str()), -41);
    EXPECT_EQ(imaging::save_cloud_txt(log, c.info, missing.c_str()), -42);
    testing::internal::CaptureStdout();
    EXPECT_EQ(imaging::save_cloud_ply(log, c.info, missing.c_str()), -42);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "open file error\n");
    std::vector<float> fused(12, 0.0f);
    EXPECT_EQ(imaging::save_cloud_with_colour_txt(log, c.info, fused.data(), missing.c_str()), -42);
    EXPECT_FALSE(file_exists(dir + "/no"));

    PhotoInfo image = c.info;
    image.pixel_format = RGB8;
    EXPECT_EQ(imaging::save_cloud_pcd(log, image, path("x").c_str()), -2);
    EXPECT_EQ(imaging::save_cloud_ply(log, c.info, nullptr), -2);
    Cloud short_cloud(2, 1, 10);
    short_cloud.info.payload_size = 11;
    EXPECT_EQ(imaging::save_cloud_txt(log, short_cloud.info, path("x").c_str()), -2);
    // The fused array has a point per point of the cloud FusionImageTo3D
    // read: a cloud it would refuse says nothing of the array's size.
    EXPECT_EQ(imaging::save_cloud_with_colour_txt(log, short_cloud.info, fused.data(), path("x").c_str()), -2);
    EXPECT_EQ(imaging::save_cloud_with_colour_txt(log, c.info, nullptr, path("x").c_str()), -2);
    EXPECT_FALSE(file_exists(path("x")));

    EXPECT_EQ(messages(),
              (std::vector<std::string>{
                  "[function:SavePointCloudToPcd] Failed to save point cloud data, error code: -41",
                  "[function:SavePointCloudToTxt] Failed to save point cloud data due to open the file error, error "
                  "code: -42",
                  "[function:SavePointCloudToPly] Failed to save point cloud data due to open the file error, error "
                  "code: -42",
                  "[function:SavePointCloudWithImageToTxt] Failed to save data due to open the file error, error "
                  "code: -42",
                  "[function:SavePointCloudToPcd] Failed to save point cloud data due to the pixel_format error, "
                  "error code: -2",
                  "[function:SavePointCloudToPly] Failed to save point cloud data due to the incoming parameters "
                  "error, error code: -2",
                  "[function:SavePointCloudToTxt] Failed to save point cloud data due to the incoming parameters "
                  "error, error code: -2",
                  "[function:SavePointCloudWithImageToTxt] Failed to save data due to the incoming parameters "
                  "error, error code: -2",
                  "[function:SavePointCloudWithImageToTxt] Failed to save data due to the incoming parameters "
                  "error, error code: -2"}));
}

TEST_F(ImagingWriters, WriteErrorsAreReportedNotSwallowed)
{
    if (!file_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    Cloud c(300, 300, 1);
    for (size_t i = 0; i < 90000; ++i)
        c.set(i, 1, 2, 3);
    std::vector<float> fused(6 * 90000, 1.0f);
    Image grey(MONO8, 3, 2, 1);
    Image rgb(RGB8, 3, 2, 3);
    Image rgb565(RGB565, 2, 2, 2);
    EXPECT_EQ(imaging::save_cloud_pcd(log, c.info, "/dev/full"), -41);
    EXPECT_EQ(imaging::save_cloud_ply(log, c.info, "/dev/full"), -41);
    EXPECT_EQ(imaging::save_cloud_txt(log, c.info, "/dev/full"), -41);
    EXPECT_EQ(imaging::save_cloud_with_colour_txt(log, c.info, fused.data(), "/dev/full"), -41);
    EXPECT_EQ(imaging::save_bmp(log, grey.info, "/dev/full"), -41);
    EXPECT_EQ(imaging::save_bmp(log, rgb.info, "/dev/full"), -41);
    EXPECT_EQ(imaging::save_bmp(log, rgb565.info, "/dev/full"), -41);
    EXPECT_EQ(imaging::save_depth_png(log, c.info, "/dev/full"), -1);
    std::vector<short> plane(4, 0);
    Cloud small(2, 2, 1);
    EXPECT_EQ(imaging::save_plane_png(log, small.info, plane.data(), "/dev/full"), -1);
    const std::vector<std::string> m = messages();
    ASSERT_EQ(m.size(), 9u);
    EXPECT_EQ(m[1], "[function:SavePointCloudToPly] Failed to save point cloud data due to write the file error, error "
                    "code: -41");
    EXPECT_EQ(m[4], "[function:SaveGrayImageToBmp] Failed to save grey data due to write the file error, error "
                    "code: -41");
}

// ---- PNG ----

TEST_F(ImagingWriters, DepthPngHoldsTheZPlane)
{
    Cloud c(3, 2, 1);
    c.set(0, 5, 5, 1000);
    c.set(4, -1, -1, 65535);
    ASSERT_EQ(imaging::save_depth_png(log, c.info, path("d.png").c_str()), 0);
    Png png;
    ASSERT_TRUE(read_png(path("d.png"), &png));
    EXPECT_EQ(png.width, 3u);
    EXPECT_EQ(png.height, 2u);
    EXPECT_EQ(png.bit_depth, 16);
    EXPECT_EQ(png.colour_type, PNG_COLOR_TYPE_GRAY);
    EXPECT_EQ(png.rows[0], std::string("\x03\xE8\0\0\0\0", 6));
    EXPECT_EQ(png.rows[1], std::string("\0\0\xFF\xFF\0\0", 6));
}

TEST_F(ImagingWriters, PlanePngStoresTheCallersPlaneAsItIs)
{
    Cloud frame(2, 2, 1);
    // Big-endian samples, a negative x among them.
    const uint8_t samples[8] = {0xFF, 0xFB, 0x00, 0x07, 0x12, 0x34, 0x80, 0x00};
    short plane[4];
    std::memcpy(plane, samples, 8);
    ASSERT_EQ(imaging::save_plane_png(log, frame.info, plane, path("p.png").c_str()), 0);
    Png png;
    ASSERT_TRUE(read_png(path("p.png"), &png));
    ASSERT_EQ(png.rows.size(), 2u);
    EXPECT_EQ(png.rows[0] + png.rows[1], std::string(reinterpret_cast<const char*>(samples), 8));
}

TEST_F(ImagingWriters, PngFailures)
{
    Cloud c(2, 2, 1);
    short plane[4] = {};
    const std::string missing = dir + "/no/such/dir/f.png";
    EXPECT_EQ(imaging::save_depth_png(log, c.info, missing.c_str()), -42);
    EXPECT_EQ(imaging::save_plane_png(log, c.info, plane, missing.c_str()), -42);
    EXPECT_EQ(imaging::save_plane_png(log, c.info, nullptr, path("n.png").c_str()), -2);
    PhotoInfo image = c.info;
    image.pixel_format = RGB8;
    EXPECT_EQ(imaging::save_depth_png(log, image, path("n.png").c_str()), -2);
    EXPECT_FALSE(file_exists(path("n.png")));
    // libpng refuses a zero width.
    Cloud empty(0, 2, 1);
    char some_bytes[6] = {};
    empty.info.pixel = some_bytes;
    EXPECT_EQ(imaging::save_depth_png(log, empty.info, path("z.png").c_str()), -1);
    // The scratch row cannot be had.
    const imaging::PngRowSource rows{[](const void*, uint32_t, uint8_t* s) -> const uint8_t* { return s; }, nullptr,
                                     true};
    EXPECT_EQ(imaging::write_grey16_png(log, "SaveDepthToPng", path("m.png").c_str(), 2, 2, rows,
                                        [](size_t) -> void* { return nullptr; }),
              -1);
    EXPECT_EQ(
        messages(),
        (std::vector<std::string>{
            "[function:SaveDepthToPng] Failed to save depth data due to open the file error, error code: -42",
            "[function:SaveCloudPlane] Failed to save depth data due to open the file error, error code: -42",
            "[function:SaveCloudPlane] Failed to save cloud plane due to the incoming parameters error, error "
            "code: -2",
            "[function:SaveDepthToPng] Failed to save depth data due to the incoming parameters error, error "
            "code: -2",
            "[function:SaveDepthToPng] Error during init_io.", "[function:SaveDepthToPng] malloc image failed."}));
}

// ---- BMP ----

TEST_F(ImagingWriters, GreyBmpHeadersPaletteAndBottomUpPaddedRows)
{
    Image img(MONO8, 3, 2, 1);
    const uint8_t px[6] = {1, 2, 3, 4, 5, 6};
    std::memcpy(img.data(), px, 6);
    ASSERT_EQ(imaging::save_bmp(log, img.info, path("g.bmp").c_str()), 0);
    const std::string f = read_file(path("g.bmp"));
    ASSERT_EQ(f.size(), 1078u + 8u);
    EXPECT_EQ(f.substr(0, 2), "BM");
    EXPECT_EQ(le32(f, 2), 1078u + 8u);
    EXPECT_EQ(le32(f, 6), 0u);
    EXPECT_EQ(le32(f, 10), 1078u);
    EXPECT_EQ(le32(f, 14), 40u);
    EXPECT_EQ(le32(f, 18), 3u);
    EXPECT_EQ(le32(f, 22), 2u);
    EXPECT_EQ(le16(f, 26), 1u);
    EXPECT_EQ(le16(f, 28), 8u);
    EXPECT_EQ(le32(f, 30), 0u);
    EXPECT_EQ(le32(f, 34), 8u);
    EXPECT_EQ(le32(f, 38), 0u);
    EXPECT_EQ(le32(f, 42), 0u);
    EXPECT_EQ(le32(f, 46), 256u);
    EXPECT_EQ(le32(f, 50), 256u);
    for (uint32_t i = 0; i < 256; ++i)
        ASSERT_EQ(le32(f, 54 + 4 * i), i | i << 8 | i << 16) << i;
    EXPECT_EQ(f.substr(1078), std::string("\x04\x05\x06\0\x01\x02\x03\0", 8));
}

TEST_F(ImagingWriters, Rgb888BmpSwapsRedAndBlueAndPadsTo12)
{
    Image img(RGB8, 3, 2, 3);
    for (int i = 0; i < 18; ++i)
        img.data()[i] = static_cast<uint8_t>(10 + i);
    ASSERT_EQ(imaging::save_bmp(log, img.info, path("c.bmp").c_str()), 0);
    const std::string f = read_file(path("c.bmp"));
    ASSERT_EQ(f.size(), 54u + 24u);
    EXPECT_EQ(le32(f, 2), 78u);
    EXPECT_EQ(le32(f, 10), 54u);
    EXPECT_EQ(le16(f, 28), 24u);
    EXPECT_EQ(le32(f, 34), 24u);
    EXPECT_EQ(le32(f, 46), 0u);
    EXPECT_EQ(le32(f, 50), 0u);
    const uint8_t want[24] = {21, 20, 19, 24, 23, 22, 27, 26, 25, 0, 0, 0, 12, 11, 10, 15, 14, 13, 18, 17, 16, 0, 0, 0};
    EXPECT_EQ(f.substr(54), std::string(reinterpret_cast<const char*>(want), 24));
    EXPECT_EQ(img.data()[0], 10);  // the frame is not changed
}

TEST_F(ImagingWriters, Rgb565BmpExpandsTheChannelsAndPadsTo8)
{
    Image img(RGB565, 2, 2, 2);
    const uint16_t v[4] = {0xF800, 0x001F, 0x07E0, 0xFFFF};
    std::memcpy(img.data(), v, 8);
    ASSERT_EQ(imaging::save_bmp(log, img.info, path("r.bmp").c_str()), 0);
    const std::string f = read_file(path("r.bmp"));
    ASSERT_EQ(f.size(), 54u + 16u);
    EXPECT_EQ(le16(f, 28), 24u);
    EXPECT_EQ(le32(f, 34), 16u);
    const uint8_t want[16] = {0x00, 0xFC, 0x00, 0xF8, 0xFC, 0xF8, 0, 0,   // bottom row: 0x07E0, 0xFFFF
                              0x00, 0x00, 0xF8, 0xF8, 0x00, 0x00, 0, 0};  // top row: 0xF800, 0x001F
    EXPECT_EQ(f.substr(54), std::string(reinterpret_cast<const char*>(want), 16));
}

TEST_F(ImagingWriters, YuyvAndBayerAreSavedFromAConvertedCopyAndTheFrameIsLeftAlone)
{
    // Buffers exactly as large as the payloads: the RGB result does not fit
    // them, and the caller still owns and reads them afterwards.
    Image yuyv(YUYV, 4, 2, 2);
    for (int i = 0; i < 16; ++i)
        yuyv.data()[i] = static_cast<uint8_t>(40 + 9 * i);
    const std::string yuyv_bytes(yuyv.info.pixel, 16);
    const PhotoInfo yuyv_before = yuyv.info;
    ASSERT_EQ(imaging::save_bmp(log, yuyv.info, path("y.bmp").c_str()), 0);
    EXPECT_EQ(std::memcmp(&yuyv.info, &yuyv_before, sizeof yuyv_before), 0);
    EXPECT_EQ(std::string(yuyv.info.pixel, 16), yuyv_bytes);

    Image bayer(BAYER_RG8, 6, 6, 1);
    for (int i = 0; i < 36; ++i)
        bayer.data()[i] = static_cast<uint8_t>(7 * i);
    const std::string mosaic(bayer.info.pixel, 36);
    const PhotoInfo bayer_before = bayer.info;
    ASSERT_EQ(imaging::save_bmp(log, bayer.info, path("b.bmp").c_str()), 0);
    EXPECT_EQ(std::memcmp(&bayer.info, &bayer_before, sizeof bayer_before), 0);
    EXPECT_EQ(std::string(bayer.info.pixel, 36), mosaic);

    // The files are those of the converted frames.
    for (auto [image, file] : {std::pair<Image*, const char*>{&yuyv, "y"}, {&bayer, "b"}}) {
        Image converted(image->info.pixel_format, image->info.pixel_width, image->info.pixel_height, 1,
                        size_t(image->info.pixel_width) * image->info.pixel_height * 3);
        std::memcpy(converted.data(), image->data(), image->info.payload_size);
        converted.info.payload_size = image->info.payload_size;
        imaging::raw_frame_to_rgb888(log, converted.info);
        ASSERT_EQ(converted.info.pixel_format, RGB8);
        ASSERT_EQ(imaging::save_bmp(log, converted.info, path("want.bmp").c_str()), 0);
        EXPECT_EQ(read_file(path((std::string(file) + ".bmp").c_str())), read_file(path("want.bmp"))) << file;
    }
    EXPECT_TRUE(messages().empty());
}

TEST_F(ImagingWriters, BmpRefusals)
{
    Cloud c(2, 2, 1);
    EXPECT_EQ(imaging::save_bmp(log, c.info, path("1.bmp").c_str()), -41);
    Image grey(MONO8, 3, 2, 1);
    EXPECT_EQ(imaging::save_bmp(log, grey.info, nullptr), -2);
    grey.info.payload_size = 5;
    EXPECT_EQ(imaging::save_bmp(log, grey.info, path("2.bmp").c_str()), -2);
    Image bayer(BAYER_RG8, 7, 6, 1);  // odd width: the demosaic refuses it
    char* before = bayer.info.pixel;
    EXPECT_EQ(imaging::save_bmp(log, bayer.info, path("3.bmp").c_str()), -2);
    EXPECT_EQ(bayer.info.pixel, before);
    EXPECT_EQ(bayer.info.pixel_format, BAYER_RG8);
    Image yuyv(YUYV, 3, 1, 2, 9);  // odd pixel count
    EXPECT_EQ(imaging::save_bmp(log, yuyv.info, path("4.bmp").c_str()), -2);
    EXPECT_EQ(yuyv.info.pixel_format, YUYV);
    Image wide(RGB565, 3, 1, 2);
    EXPECT_EQ(imaging::save_bmp(log, wide.info, (dir + "/no/dir/5.bmp").c_str()), -42);
    for (const char* name : {"1.bmp", "2.bmp", "3.bmp", "4.bmp"})
        EXPECT_FALSE(file_exists(path(name))) << name;
    EXPECT_EQ(messages(),
              (std::vector<std::string>{
                  "[function:SaveToBMP] The save failed because there is no pixel format that supports the data, "
                  "error code: -41",
                  "[function:SaveToBMP] Failed to save data due to the incoming parameters error, error code: -2",
                  "[function:SaveGrayImageToBmp] Failed to save grey data due to the incoming parameters error, "
                  "error code: -2",
                  "[function:BayerRG8ToRgb888] the data info (width or height or payload_size) error.",
                  "[function:SaveBayerRG8ToBmp] Failed to save bayerRG8 data due to the incoming parameters error, "
                  "error code: -2",
                  "[function:YuyvToRgb888] the incoming parameters error, error code: -2",
                  "[function:SaveYuyvRgbToBmp] Failed to save yuyv data due to the incoming parameters error, error "
                  "code: -2",
                  "[function:SaveRgb565ToBmp] Failed to save rgb data due to open the file error, error code: -42"}));
}

// ---- the files for viewers: binary and coloured clouds, RGB and preview PNGs ----

TEST_F(ImagingWriters, BinaryPlyIsTheHeaderThenTwelveBytesPerPointWithDepth)
{
    Cloud c(2, 1, 10);
    c.set(0, 100, -50, 1000);
    c.set(1, 0, 0, 0);
    ASSERT_EQ(imaging::save_cloud_binary_ply(log, c.info, path("c.ply").c_str()), 0);
    const std::string header =
        "ply\nformat binary_little_endian 1.0\nelement vertex 1\nproperty float x\nproperty float y\n"
        "property float z\nend_header\n";
    const float point[3] = {10.0f, -5.0f, 100.0f};
    EXPECT_EQ(read_file(path("c.ply")), header + std::string(reinterpret_cast<const char*>(point), 12));

    // Fused: x, y, z then B, G, R; colours are clamped into bytes.
    const float fused[12] = {10, -5, 100, 300, -4, 7.9f, 0, 0, 0, 1, 2, 3};
    ASSERT_EQ(imaging::save_fused_ply(log, c.info, fused, path("f.ply").c_str()), 0);
    const std::string coloured = read_file(path("f.ply"));
    ASSERT_EQ(coloured.size(), coloured.find("end_header\n") + 11 + 15);
    EXPECT_NE(coloured.find("element vertex 1\n"), std::string::npos);
    EXPECT_NE(coloured.find("property uchar red\nproperty uchar green\nproperty uchar blue\n"), std::string::npos);
    EXPECT_EQ(coloured.substr(coloured.size() - 3), std::string("\x07\x00\xff", 3));

    ASSERT_EQ(imaging::save_fused_pcd(log, c.info, fused, path("f.pcd").c_str()), 0);
    const std::string pcd = read_file(path("f.pcd"));
    const size_t body = pcd.find("DATA binary\n") + 12;
    ASSERT_EQ(pcd.size(), body + 32);  // organised: both points, 16 bytes each
    EXPECT_NE(pcd.find("FIELDS x y z rgb\n"), std::string::npos);
    EXPECT_NE(pcd.find("WIDTH 2\nHEIGHT 1\n"), std::string::npos);
    uint32_t rgb = 0;
    std::memcpy(&rgb, &pcd[body + 12], 4);
    EXPECT_EQ(rgb, 0x0700FFu);
    float empty[4];
    std::memcpy(empty, &pcd[body + 16], 16);
    EXPECT_TRUE(std::isnan(empty[0]) && std::isnan(empty[2]));
    EXPECT_TRUE(messages().empty());
}

TEST_F(ImagingWriters, ViewerFilesRefuseWhatTheyCannotWriteAndReportWriteErrors)
{
    Cloud c(2, 2, 1);
    std::vector<float> fused(24, 1.0f);
    EXPECT_EQ(imaging::save_image_png(log, c.info, path("1.png").c_str()), -41);  // a cloud is no image
    Image rgb(RGB8, 3, 2, 3);
    rgb.info.payload_size = 17;
    EXPECT_EQ(imaging::save_image_png(log, rgb.info, path("2.png").c_str()), -2);
    Image yuyv(YUYV, 3, 1, 2, 9);  // odd pixel count
    EXPECT_EQ(imaging::save_image_png(log, yuyv.info, path("3.png").c_str()), -2);
    EXPECT_EQ(imaging::save_fused_pcd(log, c.info, nullptr, path("4.pcd").c_str()), -2);
    EXPECT_EQ(imaging::save_fused_ply(log, rgb.info, fused.data(), path("5.ply").c_str()), -2);
    EXPECT_EQ(imaging::save_depth_preview_png(log, rgb.info, path("6.png").c_str()), -2);
    EXPECT_EQ(imaging::save_cloud_binary_ply(log, c.info, nullptr), -2);
    for (const char* name : {"1.png", "2.png", "3.png", "4.pcd", "5.ply", "6.png"})
        EXPECT_FALSE(file_exists(path(name))) << name;
    EXPECT_EQ(imaging::save_fused_ply(log, c.info, fused.data(), (dir + "/no/dir/7.ply").c_str()), -42);
    EXPECT_EQ(imaging::save_image_png(log, rgb565_frame(), (dir + "/no/dir/8.png").c_str()), -42);
    if (file_exists("/dev/full")) {
        Cloud big(300, 300, 1);
        for (size_t i = 0; i < 90000; ++i)
            big.set(i, 1, 2, 3);
        std::vector<float> many(6 * 90000, 1.0f);
        EXPECT_EQ(imaging::save_cloud_binary_ply(log, big.info, "/dev/full"), -41);
        EXPECT_EQ(imaging::save_fused_ply(log, big.info, many.data(), "/dev/full"), -41);
        EXPECT_EQ(imaging::save_fused_pcd(log, big.info, many.data(), "/dev/full"), -41);
        EXPECT_EQ(imaging::save_depth_preview_png(log, big.info, "/dev/full"), -1);
    }
    const std::vector<std::string> m = messages();
    ASSERT_GE(m.size(), 9u);
    EXPECT_EQ(m[0], "[function:SaveImageToPng] The save failed because there is no pixel format that supports the "
                    "data, error code: -41");
    EXPECT_EQ(m[1], "[function:SaveImageToPng] Failed to save image data due to the incoming parameters error, "
                    "error code: -2");
}

// Every writer, pointed at a folder it cannot create files in (the folder is
// a plain file, which stops root too) and at a full disk, answers with its
// own status and names itself and the step that failed; some also say so on
// stdout.
TEST_F(ImagingWriters, EveryWriterNamesItselfAndTheStepThatFailed)
{
    if (!file_exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full";
    std::ofstream(path("plain")) << "not a folder";
    const std::string blocked = path("plain/f");
    Cloud c(2, 1, 10);
    c.set(0, 1, 1, 1);
    std::vector<float> fused(12, 1.0f);
    short plane[2] = {};
    Image grey(MONO8, 2, 2, 1), rgb(RGB8, 2, 2, 3), rgb565(RGB565, 2, 2, 2), yuyv(YUYV, 2, 2, 2),
        bayer(BAYER_RG8, 6, 6, 1);
    const auto says = [](const char* function, const char* what, const char* step, int code) {
        return std::string("[function:") + function + "] Failed to save " + what + " due to " + step +
               " error, error code: " + std::to_string(code);
    };
    struct Writer {
        std::function<int(const char*)> save;
        const char* function;
        const char* what;
        int not_written;
        const char* console;  // what it prints when the file cannot be created
    };
    const Writer writers[] = {
        {[&](const char* p) { return imaging::save_cloud_ply(log, c.info, p); }, "SavePointCloudToPly",
         "point cloud data", -41, "open file error\n"},
        {[&](const char* p) { return imaging::save_cloud_txt(log, c.info, p); }, "SavePointCloudToTxt",
         "point cloud data", -41, ""},
        {[&](const char* p) { return imaging::save_cloud_with_colour_txt(log, c.info, fused.data(), p); },
         "SavePointCloudWithImageToTxt", "data", -41, ""},
        {[&](const char* p) { return imaging::save_cloud_binary_ply(log, c.info, p); }, "SavePointCloudToBinaryPly",
         "point cloud data", -41, ""},
        {[&](const char* p) { return imaging::save_fused_ply(log, c.info, fused.data(), p); },
         "SavePointCloudWithImageToPly", "point cloud data", -41, ""},
        {[&](const char* p) { return imaging::save_fused_pcd(log, c.info, fused.data(), p); },
         "SavePointCloudWithImageToPcd", "point cloud data", -41, ""},
        {[&](const char* p) { return imaging::save_bmp(log, grey.info, p); }, "SaveGrayImageToBmp", "grey data", -41,
         ""},
        {[&](const char* p) { return imaging::save_bmp(log, rgb.info, p); }, "SaveRgb888ToBmp", "rgb data", -41,
         "open file error\n"},
        {[&](const char* p) { return imaging::save_bmp(log, rgb565.info, p); }, "SaveRgb565ToBmp", "rgb data", -41, ""},
        // Converted first, then written as RGB8.
        {[&](const char* p) { return imaging::save_bmp(log, yuyv.info, p); }, "SaveRgb888ToBmp", "rgb data", -41,
         "open file error\n"},
        {[&](const char* p) { return imaging::save_bmp(log, bayer.info, p); }, "SaveRgb888ToBmp", "rgb data", -41,
         "open file error\n"},
        {[&](const char* p) { return imaging::save_depth_png(log, c.info, p); }, "SaveDepthToPng", "depth data", -1,
         ""},
        {[&](const char* p) { return imaging::save_plane_png(log, c.info, plane, p); }, "SaveCloudPlane", "depth data",
         -1, ""},
        {[&](const char* p) { return imaging::save_depth_preview_png(log, c.info, p); }, "SaveDepthPreviewToPng",
         "image data", -1, ""},
        {[&](const char* p) { return imaging::save_image_png(log, rgb565.info, p); }, "SaveImageToPng", "image data",
         -1, ""},
    };
    std::vector<std::string> expected;
    for (const Writer& w : writers) {
        SCOPED_TRACE(w.function);
        testing::internal::CaptureStdout();
        EXPECT_EQ(w.save(blocked.c_str()), -42);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), w.console);
        EXPECT_EQ(w.save("/dev/full"), w.not_written);
        expected.push_back(says(w.function, w.what, "open the file", -42));
        expected.push_back(says(w.function, w.what, "write the file", w.not_written));
    }
    // The PCD writer says the same of both steps.
    EXPECT_EQ(imaging::save_cloud_pcd(log, c.info, blocked.c_str()), -41);
    EXPECT_EQ(imaging::save_cloud_pcd(log, c.info, "/dev/full"), -41);
    expected.insert(expected.end(), 2,
                    "[function:SavePointCloudToPcd] Failed to save point cloud data, error code: -41");
    EXPECT_EQ(messages(), expected);
    EXPECT_FALSE(file_exists(blocked));
}

// ---- sample files for the independent readers (tests/python) ----

TEST(ImagingSamples, WriteFilesForIndependentReaders)
{
    const char* out = std::getenv("VORA_SAMPLES_DIR");
    if (!out || !*out)
        GTEST_SKIP() << "VORA_SAMPLES_DIR not set";
    const std::string dir = out;
    cameralog log;

    // 5 x 4 cloud, unit 10: point i = row * 5 + col; every seventh point
    // has no depth.
    Cloud c(5, 4, 10);
    for (int i = 0; i < 20; ++i) {
        const int row = i / 5, col = i % 5;
        const uint16_t z = i % 7 == 3 ? 0 : static_cast<uint16_t>(500 + 123 * i);
        c.set(static_cast<size_t>(i), static_cast<int16_t>((col - 2) * 37 + row),
              static_cast<int16_t>((row - 2) * -29 - col), z);
    }
    ASSERT_EQ(imaging::save_cloud_pcd(log, c.info, (dir + "/cloud.pcd").c_str()), 0);
    ASSERT_EQ(imaging::save_cloud_ply(log, c.info, (dir + "/cloud.ply").c_str()), 0);
    ASSERT_EQ(imaging::save_cloud_txt(log, c.info, (dir + "/cloud.txt").c_str()), 0);
    ASSERT_EQ(imaging::save_depth_png(log, c.info, (dir + "/depth.png").c_str()), 0);
    std::vector<short> plane(20);
    for (int i = 0; i < 20; ++i) {
        const uint16_t v = static_cast<uint16_t>(static_cast<int16_t>((i % 5 - 2) * 37 + i / 5));
        const uint8_t be[2] = {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
        std::memcpy(&plane[static_cast<size_t>(i)], be, 2);
    }
    ASSERT_EQ(imaging::save_plane_png(log, c.info, plane.data(), (dir + "/plane_x.png").c_str()), 0);
    ASSERT_EQ(imaging::save_cloud_binary_ply(log, c.info, (dir + "/cloud.bin.ply").c_str()), 0);
    ASSERT_EQ(imaging::save_depth_preview_png(log, c.info, (dir + "/depth_preview.png").c_str()), 0);
    // Fused: each point with colour (blue i, green 2 i, red 255 - i), and a
    // blue beyond 255 that must be clamped.
    std::vector<float> fused(6 * 20);
    for (int i = 0; i < 20; ++i) {
        float* f = &fused[6 * static_cast<size_t>(i)];
        f[0] = ((i % 5 - 2) * 37 + i / 5) / 10.0f;
        f[1] = ((i / 5 - 2) * -29 - i % 5) / 10.0f;
        f[2] = i % 7 == 3 ? 0.0f : (500 + 123 * i) / 10.0f;
        f[3] = i == 19 ? 300.0f : static_cast<float>(i);
        f[4] = static_cast<float>(2 * i);
        f[5] = static_cast<float>(255 - i);
    }
    ASSERT_EQ(imaging::save_fused_ply(log, c.info, fused.data(), (dir + "/fused.ply").c_str()), 0);
    ASSERT_EQ(imaging::save_fused_pcd(log, c.info, fused.data(), (dir + "/fused.pcd").c_str()), 0);

    // Images 5 x 3: grey value 10 r + c * 40; RGB8 (r * 80, c * 60, 255 -
    // 20 r c); RGB565 of (r, c) = r * 0x0841 * 7 + c * 0x1003.
    Image grey(MONO8, 5, 3, 1);
    Image rgb(RGB8, 5, 3, 3);
    Image rgb565(RGB565, 5, 3, 2);
    for (int r = 0; r < 3; ++r) {
        for (int col = 0; col < 5; ++col) {
            const int i = r * 5 + col;
            grey.data()[i] = static_cast<uint8_t>(10 * r + col * 40);
            rgb.data()[3 * i] = static_cast<uint8_t>(r * 80);
            rgb.data()[3 * i + 1] = static_cast<uint8_t>(col * 60);
            rgb.data()[3 * i + 2] = static_cast<uint8_t>(255 - 20 * r * col);
            const uint16_t v = static_cast<uint16_t>(r * 0x0841 * 7 + col * 0x1003);
            std::memcpy(rgb565.data() + 2 * i, &v, 2);
        }
    }
    ASSERT_EQ(imaging::save_bmp(log, grey.info, (dir + "/grey.bmp").c_str()), 0);
    ASSERT_EQ(imaging::save_bmp(log, rgb.info, (dir + "/rgb.bmp").c_str()), 0);
    ASSERT_EQ(imaging::save_bmp(log, rgb565.info, (dir + "/rgb565.bmp").c_str()), 0);
    ASSERT_EQ(imaging::save_image_png(log, grey.info, (dir + "/grey.png").c_str()), 0);
    ASSERT_EQ(imaging::save_image_png(log, rgb.info, (dir + "/rgb.png").c_str()), 0);
    ASSERT_EQ(imaging::save_image_png(log, rgb565.info, (dir + "/rgb565.png").c_str()), 0);
}
