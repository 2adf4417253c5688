// Byte images of the control-protocol commands and the shared records.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "gvcp_codec.h"
#include "vora_base_type.h"

namespace {

std::vector<uint8_t> bytes(const uint8_t* p, size_t n)
{
    return std::vector<uint8_t>(p, p + n);
}

TEST(GvcpCodec, CommandByteImages)
{
    uint8_t buf[32];
    ASSERT_EQ(gvcp::build_readreg(buf, 1, Control_Channel_Privilage_Reg), 12u);
    EXPECT_EQ(bytes(buf, 12),
              (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x80, 0x00, 0x04, 0x00, 0x01, 0x00, 0x00, 0x0A, 0x00}));

    ASSERT_EQ(gvcp::build_writereg(buf, 5, Control_Channel_Privilage_Reg, 2), 16u);
    EXPECT_EQ(bytes(buf, 16), (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x82, 0x00, 0x08, 0x00, 0x05, 0x00, 0x00, 0x0A,
                                                    0x00, 0x00, 0x00, 0x00, 0x02}));

    ASSERT_EQ(gvcp::build_readmem(buf, 0x1234, 0x00000200, 536), 16u);
    EXPECT_EQ(bytes(buf, 16), (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x84, 0x00, 0x08, 0x12, 0x34, 0x00, 0x00, 0x02,
                                                    0x00, 0x00, 0x00, 0x02, 0x18}));

    ASSERT_EQ(gvcp::build_writemem(buf, 0xFFFF, 0xA0B0C0D0, 4, 0x01020304), 20u);
    EXPECT_EQ(bytes(buf, 20), (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x86, 0x00, 0x08, 0xFF, 0xFF, 0xA0, 0xB0,
                                                    0xC0, 0xD0, 0x00, 0x00, 0x00, 0x04, 0x01, 0x02, 0x03, 0x04}));

    ASSERT_EQ(gvcp::build_packetresend(buf, 0x0102, gvcp::PacketResend{2, 0xFFFE, 3, 0x00ABCDEF}), 20u);
    EXPECT_EQ(bytes(buf, 20), (std::vector<uint8_t>{0x42, 0x01, 0x00, 0x40, 0x00, 0x0C, 0x01, 0x02, 0x00, 0x02,
                                                    0xFF, 0xFE, 0x00, 0x00, 0x00, 0x03, 0x00, 0xAB, 0xCD, 0xEF}));
    gvcp::PacketResend r;
    ASSERT_TRUE(gvcp::parse_packetresend(buf, 20, &r));
    EXPECT_EQ(r.stream_channel, 2);
    EXPECT_EQ(r.block_id, 0xFFFE);
    EXPECT_EQ(r.first_packet_id, 3u);
    EXPECT_EQ(r.last_packet_id, 0x00ABCDEFu);
    EXPECT_FALSE(gvcp::parse_packetresend(buf, 19, &r));
}

TEST(GvcpCodec, ActionCommandsInBothForms)
{
    uint8_t buf[32];
    gvcp::Action a;
    a.device_key = 0x11223344;
    a.group_key = 0x55667788;
    a.group_mask = 0x000000F0;
    ASSERT_EQ(gvcp::build_action(buf, 0x0102, a, true), 20u);
    EXPECT_EQ(bytes(buf, 20), (std::vector<uint8_t>{0x42, 0x01, 0x01, 0x00, 0x00, 0x0C, 0x01, 0x02, 0x11, 0x22,
                                                    0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x00, 0x00, 0x00, 0xF0}));
    gvcp::Action back;
    ASSERT_TRUE(gvcp::parse_action(buf, 20, &back));
    EXPECT_EQ(back.device_key, a.device_key);
    EXPECT_EQ(back.group_key, a.group_key);
    EXPECT_EQ(back.group_mask, a.group_mask);
    EXPECT_FALSE(back.scheduled);

    a.scheduled = true;
    a.action_time = 0x0000018BCAFEBABEULL;
    ASSERT_EQ(gvcp::build_action(buf, 0xFFFF, a, false), 28u);
    EXPECT_EQ(bytes(buf, 28), (std::vector<uint8_t>{0x42, 0x80, 0x01, 0x00, 0x00, 0x14, 0xFF, 0xFF, 0x11, 0x22,
                                                    0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x00, 0x00, 0x00, 0xF0,
                                                    0x00, 0x00, 0x01, 0x8B, 0xCA, 0xFE, 0xBA, 0xBE}));
    ASSERT_TRUE(gvcp::parse_action(buf, 28, &back));
    EXPECT_TRUE(back.scheduled);
    EXPECT_EQ(back.action_time, a.action_time);

    // Matching: keys equal and masks sharing a bit.
    EXPECT_TRUE(gvcp::action_matches(a, 0x11223344, 0x55667788, 0x00000010));
    EXPECT_FALSE(gvcp::action_matches(a, 0x11223344, 0x55667788, 0x0000000F));
    EXPECT_FALSE(gvcp::action_matches(a, 0x11223345, 0x55667788, 0xFFFFFFFF));
    EXPECT_FALSE(gvcp::action_matches(a, 0x11223344, 0x55667789, 0xFFFFFFFF));
}

TEST(GvcpCodec, HostileActionCommandsAreRefused)
{
    gvcp::Action a;
    a.device_key = 1;
    a.group_key = 2;
    a.group_mask = 3;
    a.scheduled = true;
    a.action_time = 42;
    uint8_t buf[32];
    const size_t len = gvcp::build_action(buf, 7, a, true);
    gvcp::Action out;
    // Cut anywhere short of its fields.
    for (size_t n = 0; n < len; ++n)
        EXPECT_FALSE(gvcp::parse_action(buf, n, &out)) << n;
    // The scheduled flag on a command without its action time.
    gvcp::Action plain = a;
    plain.scheduled = false;
    gvcp::build_action(buf, 7, plain, true);
    buf[1] |= gvcp::FLAG_SCHEDULED_ACTION;
    EXPECT_FALSE(gvcp::parse_action(buf, 20, &out));
    // A length field that claims more than arrived, or less than the fields.
    gvcp::build_action(buf, 7, plain, true);
    gvcp::put_u16(buf + 4, 0x0100);
    EXPECT_FALSE(gvcp::parse_action(buf, 20, &out));
    gvcp::put_u16(buf + 4, 8);
    EXPECT_FALSE(gvcp::parse_action(buf, 20, &out));
    // Another command's code.
    gvcp::build_action(buf, 7, plain, true);
    gvcp::put_u16(buf + 2, 0x0080);
    EXPECT_FALSE(gvcp::parse_action(buf, 20, &out));
}

TEST(GvcpCodec, HeadersRoundTripAndRejectRunts)
{
    uint8_t buf[8];
    gvcp::put_ack_header(buf, 0x8006, gvcp::READREG_ACK, 4, 0xBEEF);
    gvcp::AckHeader ack;
    ASSERT_TRUE(gvcp::parse_ack_header(buf, 8, &ack));
    EXPECT_EQ(ack.status, 0x8006);
    EXPECT_EQ(ack.answer, gvcp::READREG_ACK);
    EXPECT_EQ(ack.length, 4);
    EXPECT_EQ(ack.ack_id, 0xBEEF);
    EXPECT_FALSE(gvcp::parse_ack_header(buf, 7, &ack));

    gvcp::CmdHeaderFields cmd;
    gvcp::put_cmd_header(buf, 0x11, DISCOVERY_CMD, 0, 65535);
    ASSERT_TRUE(gvcp::parse_cmd_header(buf, 8, &cmd));
    EXPECT_EQ(cmd.start, PACK_START);
    EXPECT_EQ(cmd.flag, 0x11);
    EXPECT_EQ(cmd.command, DISCOVERY_CMD);
    EXPECT_EQ(cmd.req_id, 65535);
    EXPECT_FALSE(gvcp::parse_cmd_header(buf, 3, &cmd));
}

// The flat-buffer record must carry the frame record's fields at the same
// relative positions, since callers copy them one to one.
TEST(GvcpCodec, OnlyTheExpectedAcknowledgeMatches)
{
    constexpr uint32_t camera = 0xC0A8010A;
    const gvcp::AckExpectation want{camera, gvcp::READREG_ACK, 7, 12};
    std::vector<uint8_t> ack(12, 0);
    gvcp::put_ack_header(ack.data(), gvcp::STATUS_SUCCESS, gvcp::READREG_ACK, 4, 7);
    gvcp::AckHeader header{};
    EXPECT_TRUE(gvcp::ack_matches(ack.data(), ack.size(), camera, GVCP_PORT, want, &header));
    EXPECT_EQ(header.ack_id, 7);

    struct Case {
        const char* why;
        uint16_t status, answer, id;
        size_t len;
        uint32_t from_ip;
        uint16_t from_port;
        bool matches;
    } cases[] = {
        {"another sender", 0, gvcp::READREG_ACK, 7, 12, camera + 1, GVCP_PORT, false},
        {"another port", 0, gvcp::READREG_ACK, 7, 12, camera, 3957, false},
        {"another request", 0, gvcp::READREG_ACK, 6, 12, camera, GVCP_PORT, false},
        {"another command's answer", 0, gvcp::WRITEREG_ACK, 7, 12, camera, GVCP_PORT, false},
        {"a success without its value", 0, gvcp::READREG_ACK, 7, 8, camera, GVCP_PORT, false},
        {"a runt", 0, gvcp::READREG_ACK, 7, 7, camera, GVCP_PORT, false},
        {"an error with its header alone", gvcp::STATUS_INVALID_ADDRESS, gvcp::READREG_ACK, 7, 8, camera, GVCP_PORT,
         true},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> d(12, 0);
        gvcp::put_ack_header(d.data(), c.status, c.answer, 4, c.id);
        EXPECT_EQ(gvcp::ack_matches(d.data(), c.len, c.from_ip, c.from_port, want, &header), c.matches) << c.why;
    }
    // Without a peer address any sender's control port will do.
    const gvcp::AckExpectation anyone{0, gvcp::READREG_ACK, 7, 12};
    EXPECT_TRUE(gvcp::ack_matches(ack.data(), ack.size(), 0x0A000001, GVCP_PORT, anyone, &header));
    EXPECT_FALSE(gvcp::ack_matches(ack.data(), ack.size(), 0x0A000001, 4000, anyone, &header));
}

TEST(BaseTypes, FlatFrameRecordMirrorsFrameRecord)
{
    const size_t shift = offsetof(PhotoInfo, pixel_length);
#define SAME_PLACE(field) EXPECT_EQ(offsetof(PhotoInfo, field) - shift, offsetof(PhotoInfoCSharp, field)) << #field
    SAME_PLACE(pixel_length);
    SAME_PLACE(pixel_format);
    SAME_PLACE(pixel_width);
    SAME_PLACE(pixel_height);
    SAME_PLACE(cloud_unit);
    SAME_PLACE(payload_size);
    SAME_PLACE(roi);
    SAME_PLACE(block_id);
    SAME_PLACE(stream_channel_index_);
#undef SAME_PLACE
    EXPECT_EQ(offsetof(StatisticsData, add_less), offsetof(StatisticsDataCSharp, add_less));
}

TEST(BaseTypes, StatusCodesKeepTheirValues)
{
    EXPECT_EQ(VORA_ERR_READREG_TIMEOUT, -53);
    EXPECT_EQ(VORA_ERR_WRITEREG_TIMEOUT, -52);
    EXPECT_EQ(VORA_ERR_READMEM_TIMEOUT, -55);
    EXPECT_EQ(VORA_ERR_WRITEMEM_TIMEOUT, -54);
    EXPECT_EQ(VORA_ERR_CCP_NO_CAMERA, -60);
    EXPECT_EQ(VORA_ERR_STREAM_MISSING, -98);
    EXPECT_EQ(VORA_ERR_CAMERA_MISSING, -99);
}

}  // namespace
