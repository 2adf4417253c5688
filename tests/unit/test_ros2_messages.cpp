// The ROS 2 messages of a recording, byte for byte: CDR alignment counted
// from the end of the encapsulation header (strings whose length is not a
// multiple of 4, doubles after single bytes, sequences of structs), the
// schema texts in rosbag2's order, and raw frames that read back or are
// refused.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "record/ros2_messages.h"
#include "vora_pixel_format.h"

namespace {

// Little-endian fields at an offset counted from the end of the 4-byte
// encapsulation header, as CDR counts them.
uint32_t u32_at(const std::vector<uint8_t>& m, size_t at)
{
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= uint32_t(m.at(4 + at + i)) << (8 * i);
    return v;
}

double f64_at(const std::vector<uint8_t>& m, size_t at)
{
    uint64_t bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= uint64_t(m.at(4 + at + i)) << (8 * i);
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

std::string text_at(const std::vector<uint8_t>& m, size_t at, size_t len)
{
    return std::string(reinterpret_cast<const char*>(m.data()) + 4 + at, len);
}

// Padding is zeros.
void expect_zeros(const std::vector<uint8_t>& m, size_t from, size_t to)
{
    for (size_t i = from; i < to; ++i)
        EXPECT_EQ(m.at(4 + i), 0) << "padding at " << i;
}

const std::vector<uint8_t> kEncapsulation = {0x00, 0x01, 0x00, 0x00};

TEST(Ros2Cdr, StringsOfOddLengthPadTheNextUint32FromTheHeaderEnd)
{
    std::vector<uint8_t> m;
    ros2msg::encode_image(m, 5'000'000'123ULL, "abcde", 7, 3, "rgb8", 21, 63);
    ASSERT_EQ(m.size(), 4u + 48u);
    EXPECT_TRUE(std::equal(kEncapsulation.begin(), kEncapsulation.end(), m.begin()));
    EXPECT_EQ(u32_at(m, 0), 5u);    // stamp.sec
    EXPECT_EQ(u32_at(m, 4), 123u);  // stamp.nanosec
    EXPECT_EQ(u32_at(m, 8), 6u);    // frame_id's length counts its NUL
    EXPECT_EQ(text_at(m, 12, 6), std::string("abcde\0", 6));
    expect_zeros(m, 18, 20);
    EXPECT_EQ(u32_at(m, 20), 3u);  // height
    EXPECT_EQ(u32_at(m, 24), 7u);  // width
    EXPECT_EQ(u32_at(m, 28), 5u);
    EXPECT_EQ(text_at(m, 32, 5), std::string("rgb8\0", 5));
    EXPECT_EQ(m.at(4 + 37), 0);  // is_bigendian
    expect_zeros(m, 38, 40);
    EXPECT_EQ(u32_at(m, 40), 21u);  // step
    EXPECT_EQ(u32_at(m, 44), 63u);  // data's length; the pixels follow
}

TEST(Ros2Cdr, DoublesAfterBytesAndLengthsAlignToEight)
{
    imaging::RosCameraModel model{};
    for (int i = 0; i < 5; ++i)
        model.d[i] = 0.5 + i;
    for (int i = 0; i < 9; ++i)
        model.k[i] = 10 + i, model.r[i] = 20 + i;
    for (int i = 0; i < 12; ++i)
        model.p[i] = 30 + i;
    std::vector<uint8_t> m;
    ros2msg::encode_camera_info(m, 0, "f", 640, 480, model);
    ASSERT_EQ(m.size(), 4u + 353u);
    EXPECT_EQ(u32_at(m, 8), 2u);
    expect_zeros(m, 14, 16);
    EXPECT_EQ(u32_at(m, 16), 480u);
    EXPECT_EQ(u32_at(m, 20), 640u);
    EXPECT_EQ(u32_at(m, 24), 10u);
    EXPECT_EQ(text_at(m, 28, 10), std::string("plumb_bob\0", 10));
    EXPECT_EQ(u32_at(m, 40), 5u);  // d's length at 40, its first double at 48, not 44
    expect_zeros(m, 44, 48);
    EXPECT_EQ(f64_at(m, 48), 0.5);
    EXPECT_EQ(f64_at(m, 80), 4.5);
    EXPECT_EQ(f64_at(m, 88), 10);   // k
    EXPECT_EQ(f64_at(m, 160), 20);  // r
    EXPECT_EQ(f64_at(m, 232), 30);  // p
    EXPECT_EQ(f64_at(m, 320), 41);
    EXPECT_EQ(u32_at(m, 328), 0u);  // binning
    EXPECT_EQ(u32_at(m, 332), 0u);
    expect_zeros(m, 336, 353);  // roi: all of the image, not rectified

    // A transform's doubles after the one-byte NUL of its child frame.
    ros2msg::Transform t;
    t.parent = "cam_link";
    t.child = "x";
    t.pose = {{1, 2, 3}, {0.5, -0.5, 0.5, -0.5}};
    ros2msg::encode_tf_message(m, 7'000'000'000ULL, {t});
    ASSERT_EQ(m.size(), 4u + 96u);
    EXPECT_EQ(u32_at(m, 0), 1u);  // transforms
    EXPECT_EQ(u32_at(m, 4), 7u);
    EXPECT_EQ(text_at(m, 16, 9), std::string("cam_link\0", 9));
    expect_zeros(m, 25, 28);
    EXPECT_EQ(u32_at(m, 28), 2u);
    expect_zeros(m, 34, 40);
    EXPECT_EQ(f64_at(m, 40), 1);
    EXPECT_EQ(f64_at(m, 56), 3);
    EXPECT_EQ(f64_at(m, 64), 0.5);
    EXPECT_EQ(f64_at(m, 88), -0.5);
}

TEST(Ros2Cdr, CloudFieldsAreASequenceOfStructsEachAligned)
{
    std::vector<uint8_t> head, tail;
    ros2msg::encode_pointcloud2(head, tail, 1'000'000'000ULL, "ab", 3, 1);
    ASSERT_EQ(head.size(), 4u + 104u);
    EXPECT_EQ(u32_at(head, 16), 1u);  // height, after "ab\0" and one byte of padding
    EXPECT_EQ(u32_at(head, 20), 3u);
    EXPECT_EQ(u32_at(head, 24), 3u);  // fields
    const char* names[] = {"x", "y", "z"};
    for (size_t i = 0; i < 3; ++i) {
        const size_t at =
            28 + 20 * i;  // each field: length, "n\0", 2 bytes padding, offset, datatype, 3 padding, count
        SCOPED_TRACE(names[i]);
        EXPECT_EQ(u32_at(head, at), 2u);
        EXPECT_EQ(text_at(head, at + 4, 2), std::string(names[i]) + '\0');
        EXPECT_EQ(u32_at(head, at + 8), 4 * i);
        EXPECT_EQ(head.at(4 + at + 12), 7);  // FLOAT32
        expect_zeros(head, at + 13, at + 16);
        EXPECT_EQ(u32_at(head, at + 16), 1u);
    }
    EXPECT_EQ(head.at(4 + 88), 0);  // is_bigendian
    EXPECT_EQ(u32_at(head, 92), 12u);
    EXPECT_EQ(u32_at(head, 96), 36u);
    EXPECT_EQ(u32_at(head, 100), 36u);
    EXPECT_EQ(tail, std::vector<uint8_t>{0});  // is_dense false, right after the points
}

TEST(Ros2Cdr, StampsClampPastInt32Seconds)
{
    const ros2msg::Stamp s = ros2msg::stamp_of(1'700'000'000'250'000'000ULL);
    EXPECT_EQ(s.sec, 1700000000);
    EXPECT_EQ(s.nanosec, 250000000u);
    const ros2msg::Stamp late = ros2msg::stamp_of(~0ULL);
    EXPECT_EQ(late.sec, 0x7FFFFFFF);
    EXPECT_EQ(late.nanosec, 999999999u);
}

// The MSG: lines of a schema text, in order.
std::vector<std::string> used_types(const std::string& schema)
{
    std::vector<std::string> out;
    size_t at = 0;
    while ((at = schema.find("\nMSG: ", at)) != std::string::npos) {
        at += 6;
        out.push_back(schema.substr(at, schema.find('\n', at) - at));
    }
    return out;
}

TEST(Ros2Schemas, DependenciesFollowDepthFirstInNameOrderAfterFullSeparators)
{
    using V = std::vector<std::string>;
    EXPECT_EQ(used_types(ros2msg::schema(ros2msg::POINTCLOUD2_TYPE)),
              (V{"sensor_msgs/PointField", "std_msgs/Header", "builtin_interfaces/Time"}));
    EXPECT_EQ(used_types(ros2msg::schema(ros2msg::CAMERA_INFO_TYPE)),
              (V{"sensor_msgs/RegionOfInterest", "std_msgs/Header", "builtin_interfaces/Time"}));
    EXPECT_EQ(used_types(ros2msg::schema(ros2msg::TF_MESSAGE_TYPE)),
              (V{"geometry_msgs/TransformStamped", "geometry_msgs/Transform", "geometry_msgs/Quaternion",
                 "geometry_msgs/Vector3", "std_msgs/Header", "builtin_interfaces/Time"}));
    const std::string image = ros2msg::schema(ros2msg::IMAGE_TYPE);
    EXPECT_EQ(image.rfind("std_msgs/Header header\n", 0), 0u);  // the type's own definition first
    EXPECT_NE(image.find("uint32 step\nuint8[] data\n\n" + std::string(80, '=') + "\nMSG: std_msgs/Header\n"),
              std::string::npos);
    EXPECT_EQ(ros2msg::schema("sensor_msgs/msg/Imu"), "");
    EXPECT_EQ(ros2msg::schema("sensor_msgs/Image"), "");
}

TEST(Ros2RawFrame, RoundTripAndLies)
{
    std::vector<char> pixels(4 * 4 * 6, 3);
    PhotoInfo f{};
    f.pixel = pixels.data();
    f.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
    f.pixel_width = f.roi.size_x = 4;
    f.pixel_height = f.roi.size_y = 4;
    f.roi.offset_x = 8;
    f.cloud_unit = 10;
    f.pixel_length = 77;
    f.timestamp_low = 0x0123456789ABCDEFULL;
    f.timestamp_high = f.timestamp_low >> 32;
    f.block_id = 9;
    f.stream_channel_index_ = 2;
    f.payload_size = static_cast<uint32_t>(pixels.size());
    std::vector<uint8_t> msg;
    ros2msg::encode_raw_frame(msg, 1, "id", f, 3);
    EXPECT_EQ(u32_at(msg, 56), 0x89ABCDEFu);  // the uint64 after nine uint32s, aligned to 8
    EXPECT_EQ(u32_at(msg, 72), f.payload_size);
    ASSERT_EQ(msg.size(), 4u + 76u);
    msg.insert(msg.end(), pixels.begin(), pixels.end());

    PhotoInfo back{};
    uint32_t status = 0;
    const uint8_t* payload = nullptr;
    ASSERT_TRUE(ros2msg::decode_raw_frame(msg.data(), msg.size(), &back, &status, &payload));
    EXPECT_EQ(status, 3u);
    EXPECT_EQ(std::memcmp(&back.pixel_length, &f.pixel_length, sizeof(PhotoInfo) - offsetof(PhotoInfo, pixel_length)),
              0);
    EXPECT_EQ(payload, msg.data() + 80);
    // A payload shorter or longer than it says, another encapsulation, a
    // frame id without its NUL: not a frame.
    EXPECT_FALSE(ros2msg::decode_raw_frame(msg.data(), msg.size() - 1, &back, &status, &payload));
    msg.push_back(0);
    EXPECT_FALSE(ros2msg::decode_raw_frame(msg.data(), msg.size(), &back, &status, &payload));
    msg.pop_back();
    std::vector<uint8_t> big_endian = msg;
    big_endian[1] = 0x00;
    EXPECT_FALSE(ros2msg::decode_raw_frame(big_endian.data(), big_endian.size(), &back, &status, &payload));
    std::vector<uint8_t> no_nul = msg;
    no_nul[4 + 14] = 'x';
    EXPECT_FALSE(ros2msg::decode_raw_frame(no_nul.data(), no_nul.size(), &back, &status, &payload));
    EXPECT_FALSE(ros2msg::decode_raw_frame(msg.data(), 3, &back, &status, &payload));
}

}  // namespace
