// Byte images of stream datagrams: what the simulated camera builds is what
// the receiver parses, and both agree with the layout on the wire.
#include <gtest/gtest.h>

#include <vector>

#include "gvsp_codec.h"
#include "vora_pixel_format.h"

namespace {

std::vector<uint8_t> bytes(const uint8_t* p, size_t n)
{
    return std::vector<uint8_t>(p, p + n);
}

TEST(GvspCodec, HeaderLeaderAndTrailerByteImages)
{
    uint8_t buf[64] = {};
    ASSERT_EQ(gvsp::build_header(buf, gvsp::STATUS_RESEND, 0xBEEF, gvsp::FORMAT_PAYLOAD, 0x12345678), 8u);
    // The packet id keeps its low 24 bits; the format owns the byte above.
    EXPECT_EQ(bytes(buf, 8), (std::vector<uint8_t>{0x01, 0x00, 0xBE, 0xEF, 0x03, 0x34, 0x56, 0x78}));

    gvsp::Leader l{};
    l.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
    l.timestamp = 0x0102030405060708ull;
    l.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
    l.size_x = 1280;
    l.size_y = 1024;
    l.offset_x = 8;
    l.offset_y = 2;
    ASSERT_EQ(gvsp::build_leader(buf, 0, 7, l), 44u);
    EXPECT_EQ(bytes(buf, 44), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x07, 0x01, 0x00, 0x00, 0x00,  // header, id 0
                                                    0x00, 0x00, 0x00, 0x01,                          // reserved, type
                                                    0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08,  // timestamp
                                                    0x02, 0x30, 0x00, 0xB9,                          // pixel format
                                                    0x00, 0x00, 0x05, 0x00, 0x00, 0x00, 0x04, 0x00,  // size x, y
                                                    0x00, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x02,  // offset x, y
                                                    0x00, 0x00, 0x00, 0x00}));                       // padding

    ASSERT_EQ(gvsp::build_trailer(buf, 0, 7, 0x2A, gvsp::Trailer{gvsp::PAYLOAD_TYPE_IMAGE, 1024}), 16u);
    EXPECT_EQ(bytes(buf, 16), (std::vector<uint8_t>{0x00, 0x00, 0x00, 0x07, 0x02, 0x00, 0x00, 0x2A, 0x00, 0x00, 0x00,
                                                    0x01, 0x00, 0x00, 0x04, 0x00}));
}

TEST(GvspCodec, ParsingReadsWhatWasBuiltAndRefusesWhatIsTooShort)
{
    uint8_t buf[64] = {};
    gvsp::Leader l{};
    l.payload_type = gvsp::PAYLOAD_TYPE_IMAGE | gvsp::PAYLOAD_TYPE_CHUNK_BIT;
    l.timestamp = 0xFFFFFFFF00000001ull;
    l.pixel_format = PIXEL_FORMAT_RGB8;
    l.size_x = 640;
    l.size_y = 480;
    l.offset_x = 16;
    l.offset_y = 4;
    l.padding_x = 3;
    gvsp::build_leader(buf, 0, 65535, l);

    gvsp::Header h;
    ASSERT_TRUE(gvsp::parse_header(buf, 8, &h));
    EXPECT_EQ(h.block_id, 65535);
    EXPECT_EQ(h.format, gvsp::FORMAT_LEADER);
    EXPECT_EQ(h.packet_id, 0u);
    EXPECT_FALSE(gvsp::parse_header(buf, 7, &h));

    gvsp::Leader got;
    ASSERT_TRUE(gvsp::parse_leader(buf, 44, &got));
    EXPECT_TRUE(gvsp::is_image_payload(got.payload_type));
    EXPECT_EQ(got.timestamp, l.timestamp);
    EXPECT_EQ(got.pixel_format, PIXEL_FORMAT_RGB8);
    EXPECT_EQ(got.size_x, 640u);
    EXPECT_EQ(got.size_y, 480u);
    EXPECT_EQ(got.offset_x, 16u);
    EXPECT_EQ(got.offset_y, 4u);
    EXPECT_EQ(got.padding_x, 3);
    // The offsets are needed, the padding is not; the timestamp always is.
    EXPECT_TRUE(gvsp::parse_leader(buf, 40, &got));
    EXPECT_EQ(got.padding_x, 0);
    EXPECT_FALSE(gvsp::parse_leader(buf, 39, &got));
    gvcp::put_u16(buf + gvsp::LEADER_PAYLOAD_TYPE, gvsp::PAYLOAD_TYPE_H264);
    EXPECT_TRUE(gvsp::parse_leader(buf, 20, &got));
    EXPECT_EQ(got.size_x, 0u);
    EXPECT_FALSE(gvsp::parse_leader(buf, 19, &got));

    gvsp::build_trailer(buf, 0, 3, 9, gvsp::Trailer{gvsp::PAYLOAD_TYPE_IMAGE, 480});
    gvsp::Trailer t;
    ASSERT_TRUE(gvsp::parse_trailer(buf, 16, &t));
    EXPECT_EQ(t.size_y, 480u);
    ASSERT_TRUE(gvsp::parse_trailer(buf, 12, &t));
    EXPECT_EQ(t.size_y, 0u);
    EXPECT_FALSE(gvsp::parse_trailer(buf, 11, &t));
}

TEST(GvspCodec, StatusesThatCarryDataAndThatOpenBlocks)
{
    EXPECT_TRUE(gvsp::opens_block(0x0000));
    EXPECT_TRUE(gvsp::opens_block(0x0100));
    EXPECT_FALSE(gvsp::opens_block(0x8010));
    EXPECT_TRUE(gvsp::is_data_status(0x8010));
    EXPECT_FALSE(gvsp::is_data_status(0x8004));
    EXPECT_FALSE(gvsp::is_image_payload(0x0008));
    EXPECT_TRUE(gvsp::is_image_payload(0x0005));
    EXPECT_FALSE(gvsp::is_image_payload(0x0004));
}

}  // namespace
