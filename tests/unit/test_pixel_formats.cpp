// The pixel-format table as callers see it through the exported lookups:
// every code of vora_pixel_format.h described, sizes that agree with what
// each code says of itself, names unique and found again, and refusals with
// the library's status codes.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"

namespace {

// Every code the public header defines, written out here on its own.
const std::vector<uint32_t> kHeaderCodes = {
    PIXEL_FORMAT_MONO8,      PIXEL_FORMAT_MONO8S,        PIXEL_FORMAT_BAYER_GR8,
    PIXEL_FORMAT_BAYER_RG8,  PIXEL_FORMAT_BAYER_GB8,     PIXEL_FORMAT_BAYER_BG8,
    PIXEL_FORMAT_BAYER_GR10, PIXEL_FORMAT_BAYER_RG10,    PIXEL_FORMAT_BAYER_GB10,
    PIXEL_FORMAT_BAYER_BG10, PIXEL_FORMAT_YUV422_8,      PIXEL_FORMAT_RGB565P,
    PIXEL_FORMAT_RGB8,       PIXEL_FORMAT_COORD3D_ABC16, PIXEL_FORMAT_COORD3D_ABC16_PLANAR,
};

PixelFormatInfo filled()
{
    PixelFormatInfo info;
    std::memset(&info, 0x5A, sizeof info);
    return info;
}

bool untouched(const PixelFormatInfo& info)
{
    const PixelFormatInfo before = filled();
    return std::memcmp(&info, &before, sizeof info) == 0;
}

std::string name_of(const PixelFormatInfo& info)
{
    return std::string(info.name, strnlen(info.name, sizeof info.name));
}

TEST(PixelFormats, EveryHeaderCodeIsDescribedAndSizedAsItsCodeSays)
{
    for (const uint32_t code : kHeaderCodes) {
        SCOPED_TRACE(code);
        PixelFormatInfo info = filled();
        ASSERT_EQ(GetPixelFormatInfo(code, &info), VORA_OK);
        EXPECT_EQ(info.pixel_format, code);
        // Terminated within the record, and not empty.
        ASSERT_LT(strnlen(info.name, sizeof info.name), sizeof info.name);
        EXPECT_GT(std::strlen(info.name), 0u);
        // A GenICam code carries its bits per pixel in its third byte.
        EXPECT_EQ(info.bytes_per_pixel, ((code >> 16) & 0xFF) / 8) << info.name;
        EXPECT_TRUE(info.kind == PIXEL_KIND_DEPTH || info.kind == PIXEL_KIND_COLOUR || info.kind == PIXEL_KIND_BAYER ||
                    info.kind == PIXEL_KIND_YUV)
            << info.name << ": kind " << info.kind;
    }
}

TEST(PixelFormats, TheListHoldsExactlyTheHeaderCodesUnderUniqueNamesThatRoundTrip)
{
    ASSERT_EQ(GetPixelFormatCount(), static_cast<int>(kHeaderCodes.size()));
    std::set<uint32_t> codes;
    std::set<std::string> names;
    for (int i = 0; i < GetPixelFormatCount(); ++i) {
        PixelFormatInfo listed = filled();
        ASSERT_EQ(GetPixelFormatInfoByIndex(i, &listed), VORA_OK) << i;
        codes.insert(listed.pixel_format);
        names.insert(name_of(listed));

        PixelFormatInfo by_code = filled(), by_name = filled();
        ASSERT_EQ(GetPixelFormatInfo(listed.pixel_format, &by_code), VORA_OK);
        ASSERT_EQ(GetPixelFormatInfoByName(listed.name, &by_name), VORA_OK) << listed.name;
        EXPECT_EQ(std::memcmp(&listed, &by_code, sizeof listed), 0) << listed.name;
        EXPECT_EQ(std::memcmp(&listed, &by_name, sizeof listed), 0) << listed.name;
    }
    EXPECT_EQ(codes, std::set<uint32_t>(kHeaderCodes.begin(), kHeaderCodes.end()));
    EXPECT_EQ(names.size(), kHeaderCodes.size()) << "two formats share a name";
}

// The names and kinds the tool, the simulated camera's description and the
// recordings have always used for the formats the cameras send.
TEST(PixelFormats, TheCamerasFormatsKeepTheirNamesAndKinds)
{
    const struct {
        uint32_t code;
        const char* name;
        int kind;
    } expected[] = {
        {PIXEL_FORMAT_MONO8, "Mono8", PIXEL_KIND_COLOUR},
        {PIXEL_FORMAT_BAYER_RG8, "BayerRG8", PIXEL_KIND_BAYER},
        {PIXEL_FORMAT_YUV422_8, "YUV422_8", PIXEL_KIND_YUV},
        {PIXEL_FORMAT_RGB565P, "RGB565p", PIXEL_KIND_COLOUR},
        {PIXEL_FORMAT_RGB8, "RGB8", PIXEL_KIND_COLOUR},
        {PIXEL_FORMAT_COORD3D_ABC16, "Coord3D_ABC16", PIXEL_KIND_DEPTH},
        {PIXEL_FORMAT_COORD3D_ABC16_PLANAR, "Coord3D_ABC16_Planar", PIXEL_KIND_DEPTH},
        {PIXEL_FORMAT_BAYER_BG10, "BayerBG10", PIXEL_KIND_BAYER},
    };
    for (const auto& e : expected) {
        PixelFormatInfo info = filled();
        ASSERT_EQ(GetPixelFormatInfo(e.code, &info), VORA_OK) << e.name;
        EXPECT_EQ(name_of(info), e.name);
        EXPECT_EQ(info.kind, e.kind) << e.name;
    }
}

TEST(PixelFormats, UnknownCodesNamesAndPositionsAreRefusedWithoutTouchingTheRecord)
{
    PixelFormatInfo info = filled();
    // Codes next to known ones, the empty code and all ones.
    for (const uint32_t code : {0u, 0xFFFFFFFFu, 0x01080003u, 0x023000B8u, PIXEL_FORMAT_RGB8 | 0x80000000u}) {
        EXPECT_EQ(GetPixelFormatInfo(code, &info), VORA_ERR_PIXEL_FORMAT) << code;
        EXPECT_TRUE(untouched(info)) << code;
    }
    // Names are matched exactly: another case, a prefix, a longer text.
    for (const char* name : {"", "mono8", "MONO8", "Mono", "Mono8 ", "Coord3D_ABC16_", "0x01080001"}) {
        EXPECT_EQ(GetPixelFormatInfoByName(name, &info), VORA_ERR_PIXEL_FORMAT) << '"' << name << '"';
        EXPECT_TRUE(untouched(info)) << '"' << name << '"';
    }
    for (const int position : {-1, GetPixelFormatCount(), 1 << 30}) {
        EXPECT_EQ(GetPixelFormatInfoByIndex(position, &info), VORA_ERR_INVALID_ARG) << position;
        EXPECT_TRUE(untouched(info)) << position;
    }
    EXPECT_EQ(GetPixelFormatInfoByName(nullptr, &info), VORA_ERR_INVALID_ARG);
    EXPECT_TRUE(untouched(info));

    // No record to fill: refused, for known and unknown formats alike.
    EXPECT_EQ(GetPixelFormatInfo(PIXEL_FORMAT_RGB8, nullptr), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(GetPixelFormatInfo(0, nullptr), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(GetPixelFormatInfoByName("RGB8", nullptr), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(GetPixelFormatInfoByIndex(0, nullptr), VORA_ERR_INVALID_ARG);
}

}  // namespace
