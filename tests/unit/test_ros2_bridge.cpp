// The ROS 2 bridge's logic that needs no socket: which names ROS accepts,
// the topics and frames a camera's channels get, camera ticks mapped to
// host time, the newest-frame hand-over between capture and publisher, and
// the command line and environment.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "bridge_options.h"
#include "cli_options.h"
#include "newest_slot.h"
#include "ros_names.h"
#include "stamp.h"
#include "vora_qelcamera_api.h"

using namespace vora_ros2;

namespace {

BridgeOptions parse(std::vector<std::string> words)
{
    words.insert(words.begin(), "vora-ros2");
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return parse_options(static_cast<int>(words.size()), argv.data());
}

}  // namespace

TEST(RosNames, TokensFollowRosRules)
{
    for (const char* good : {"camera", "_private", "cam_2", "A1"})
        EXPECT_EQ(token_problem(good), "") << good;
    for (const char* bad : {"", "2cam", "cam-1", "cam.1", "a b", "a__b", "__a", "cam/x"})
        EXPECT_NE(token_problem(bad), "") << bad;
    EXPECT_NE(token_problem("9x").find("digit"), std::string::npos);
    EXPECT_NE(token_problem("a__b").find("double underscore"), std::string::npos);
}

TEST(RosNames, NamespacesAreTokensBetweenSlashes)
{
    for (const char* good : {"", "/", "robot", "/robot", "/robot/arm_1", "robot/arm"})
        EXPECT_EQ(namespace_problem(good), "") << good;
    for (const char* bad : {"/robot/", "robot/", "a//b", "/1robot", "/ro-bot", "/a/__b"})
        EXPECT_NE(namespace_problem(bad), "") << bad;
    EXPECT_NE(namespace_problem("/robot/").find("trailing"), std::string::npos);
    EXPECT_EQ(normal_namespace(""), "");
    EXPECT_EQ(normal_namespace("/"), "");
    EXPECT_EQ(normal_namespace("robot"), "/robot");
    EXPECT_EQ(normal_namespace("/robot/arm"), "/robot/arm");
}

TEST(RosNames, SerialsBecomeValidCameraNames)
{
    EXPECT_EQ(camera_name_for_serial("SIM00001"), "camera_SIM00001");
    EXPECT_EQ(camera_name_for_serial("AB-12.34 x"), "camera_AB1234x");
    EXPECT_EQ(camera_name_for_serial("_A__B_"), "camera_A_B_");
    for (const char* serial : {"SIM00001", "AB-12.34", "__", "9.9", "a__b"})
        EXPECT_EQ(token_problem(camera_name_for_serial(serial)), "") << serial;
}

TEST(RosNames, RolesFollowTheCamerasChannelOrder)
{
    // The standard camera: depth, colour, depth.
    const std::vector<unsigned> standard = {PIXEL_FORMAT_COORD3D_ABC16, PIXEL_FORMAT_RGB8, PIXEL_FORMAT_COORD3D_ABC16};
    EXPECT_EQ(channel_role(standard, 0), "depth");
    EXPECT_EQ(channel_role(standard, 1), "color");
    EXPECT_EQ(channel_role(standard, 2), "depth2");
    // A camera whose first channel is colour still names its first depth
    // channel "depth"; every image kind is a colour channel.
    const std::vector<unsigned> colour_first = {PIXEL_FORMAT_BAYER_RG8, PIXEL_FORMAT_COORD3D_ABC16,
                                                PIXEL_FORMAT_YUV422_8};
    EXPECT_EQ(channel_role(colour_first, 0), "color");
    EXPECT_EQ(channel_role(colour_first, 1), "depth");
    EXPECT_EQ(channel_role(colour_first, 2), "color2");
    // Out of range, and formats with no ROS message (planar points, unknown).
    EXPECT_EQ(channel_role(standard, 3), "");
    EXPECT_EQ(channel_role({PIXEL_FORMAT_COORD3D_ABC16_PLANAR, PIXEL_FORMAT_COORD3D_ABC16}, 0), "");
    EXPECT_EQ(channel_role({PIXEL_FORMAT_COORD3D_ABC16_PLANAR, PIXEL_FORMAT_COORD3D_ABC16}, 1), "depth");
    EXPECT_EQ(channel_role({0x12345678u}, 0), "");
    // Too little room for the name is refused, not cut.
    char role[6];  // "depth" and its terminator, not "depth2"
    EXPECT_EQ(GetRosChannelRole(standard.data(), 3, 2, role, sizeof role), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(GetRosChannelRole(standard.data(), 3, 0, role, sizeof role), VORA_OK);
    EXPECT_STREQ(role, "depth");
}

TEST(RosNames, TopicsAndFrames)
{
    EXPECT_EQ(topic_name("", "camera", "depth", "points"), "/camera/depth/points");
    EXPECT_EQ(topic_name("/robot", "cam", "color", "image_raw"), "/robot/cam/color/image_raw");
    EXPECT_EQ(topic_name("robot", "cam", "depth2", "camera_info"), "/robot/cam/depth2/camera_info");
    EXPECT_EQ(dds_topic_name("/camera/depth/points"), "rt/camera/depth/points");
    EXPECT_EQ(dds_topic_name("/tf_static"), "rt/tf_static");
    EXPECT_EQ(body_frame("cam"), "cam_link");
    EXPECT_EQ(optical_frame("cam", "depth2"), "cam_depth2_optical_frame");
}

TEST(Stamp, TicksMapOntoTheHostClockFromTheLatch)
{
    ClockMapping clock;
    clock.host0_ns = 1700000000123456789;
    clock.camera0 = 5000000000;
    clock.frequency = 1000000000;  // nanosecond ticks
    EXPECT_EQ(host_time_ns(clock, clock.camera0), clock.host0_ns);
    EXPECT_EQ(host_time_ns(clock, clock.camera0 + 2500000000), clock.host0_ns + 2500000000);
    // A frame exposed before the latch is earlier.
    EXPECT_EQ(host_time_ns(clock, clock.camera0 - 1000), clock.host0_ns - 1000);

    clock.frequency = 125000000;  // 8 ns ticks
    EXPECT_EQ(host_time_ns(clock, clock.camera0 + 125000000), clock.host0_ns + 1000000000);
    EXPECT_EQ(host_time_ns(clock, clock.camera0 + 3), clock.host0_ns + 24);

    // A counter that wrapped after the latch keeps counting forward.
    clock.camera0 = std::numeric_limits<uint64_t>::max() - 124999999;  // 1 s before the wrap
    EXPECT_EQ(host_time_ns(clock, 125000000), clock.host0_ns + 2000000000);
}

TEST(Stamp, ExtremeCountsNeitherOverflowNorWrap)
{
    ClockMapping clock;
    clock.host0_ns = 1700000000000000000;
    clock.camera0 = 0;
    clock.frequency = 1000000000000ull;  // 1 THz
    EXPECT_EQ(host_time_ns(clock, 1000000000000ull * 3 + 500000000000ull), clock.host0_ns + 3500000000);
    // Half the counter's range away at 1 Hz: far beyond int64 nanoseconds.
    clock.frequency = 1;
    EXPECT_EQ(host_time_ns(clock, (uint64_t(1) << 63) - 1), std::numeric_limits<int64_t>::max());
    EXPECT_LT(host_time_ns(clock, uint64_t(1) << 63), 0);
}

TEST(Stamp, WithoutAClockTheHostTimeStands)
{
    ClockMapping clock;
    clock.host0_ns = 42;
    EXPECT_FALSE(clock.usable());
    EXPECT_EQ(host_time_ns(clock, 123456), 42);
}

TEST(Stamp, RosTimeSplitsSecondsAndNanoseconds)
{
    const RosTime t = ros_time(1700000000123456789);
    EXPECT_EQ(t.sec, 1700000000);
    EXPECT_EQ(t.nanosec, 123456789u);
    const RosTime before_epoch = ros_time(-1);
    EXPECT_EQ(before_epoch.sec, -1);
    EXPECT_EQ(before_epoch.nanosec, 999999999u);
    const RosTime late = ros_time(std::numeric_limits<int64_t>::max());
    EXPECT_EQ(late.sec, std::numeric_limits<int32_t>::max());
    EXPECT_LT(late.nanosec, 1000000000u);
    const RosTime early = ros_time(std::numeric_limits<int64_t>::min());
    EXPECT_EQ(early.sec, std::numeric_limits<int32_t>::min());
}

TEST(NewestSlot, TheNewestFrameWinsAndReplacedOnesAreSkipped)
{
    NewestSlot<std::vector<int>> slot;
    std::vector<int> out;
    EXPECT_FALSE(slot.take(&out));

    std::vector<int> frame = {1};
    EXPECT_FALSE(slot.put(&frame));
    frame = {2};
    EXPECT_TRUE(slot.put(&frame));          // 1 was never taken
    EXPECT_EQ(frame, std::vector<int>{1});  // its buffer comes back for reuse
    EXPECT_EQ(slot.skipped(), 1u);

    ASSERT_TRUE(slot.take(&out));
    EXPECT_EQ(out, std::vector<int>{2});
    EXPECT_FALSE(slot.take(&out));
    EXPECT_EQ(out, std::vector<int>{2});  // untouched when there is nothing
    frame = {3};
    EXPECT_FALSE(slot.put(&frame));  // taken before: nothing skipped
    EXPECT_EQ(slot.skipped(), 1u);
    EXPECT_EQ(slot.put_count(), 3u);
}

TEST(NewestSlot, AProducerNeverWaitsAndEveryFrameIsPublishedOrSkipped)
{
    Doorbell doorbell;
    NewestSlot<uint64_t> slot(&doorbell);
    constexpr uint64_t kFrames = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (uint64_t n = 1; n <= kFrames; ++n) {
            uint64_t frame = n;
            slot.put(&frame);
        }
        done = true;
        doorbell.ring();
    });
    uint64_t taken = 0, last = 0;
    bool ordered = true;
    for (;;) {
        const bool finished = done;
        uint64_t frame = 0;
        while (slot.take(&frame)) {
            ordered = ordered && frame > last;
            last = frame;
            ++taken;
        }
        if (finished)
            break;
        doorbell.wait(std::chrono::milliseconds(10));
    }
    producer.join();
    uint64_t frame = 0;
    while (slot.take(&frame)) {
        ordered = ordered && frame > last;
        last = frame;
        ++taken;
    }
    EXPECT_TRUE(ordered);
    EXPECT_EQ(last, kFrames);  // the newest is never lost
    EXPECT_EQ(taken + slot.skipped(), kFrames);
}

TEST(BridgeOptions, Defaults)
{
    const BridgeOptions o = parse({});
    EXPECT_TRUE(o.cameras.empty());
    EXPECT_TRUE(o.names.empty());
    EXPECT_EQ(o.ros_namespace, "");
    EXPECT_EQ(o.node, "vora_ros2");
    EXPECT_TRUE(o.channels.empty());
    EXPECT_FALSE(o.registered);
    EXPECT_FALSE(o.sensor_data_qos);
    EXPECT_EQ(o.frames, 0);
    EXPECT_EQ(o.duration, 0);
    EXPECT_EQ(o.status, 1);
    EXPECT_FALSE(o.wait_given);
    EXPECT_TRUE(o.resend);
}

TEST(BridgeOptions, EveryOptionIsRead)
{
    const BridgeOptions o = parse({"-c",           "0",          "--camera=SIM00002",
                                   "-c10.0.0.5",   "-n",         "left",
                                   "--name",       "right",      "-nmid",
                                   "--namespace",  "robot/arm",  "--node",
                                   "cams",         "--channels", "2,0",
                                   "--registered", "--qos",      "sensor-data",
                                   "--frames",     "12",         "--duration",
                                   "2.5",          "--status",   "0",
                                   "--wait",       "1",          "--resend",
                                   "off"});
    EXPECT_EQ(o.cameras, (std::vector<std::string>{"0", "SIM00002", "10.0.0.5"}));
    EXPECT_EQ(o.names, (std::vector<std::string>{"left", "right", "mid"}));
    EXPECT_EQ(o.ros_namespace, "/robot/arm");
    EXPECT_EQ(o.node, "cams");
    EXPECT_EQ(o.channels, (std::vector<unsigned short>{2, 0}));
    EXPECT_TRUE(o.registered);
    EXPECT_TRUE(o.sensor_data_qos);
    EXPECT_EQ(o.frames, 12);
    EXPECT_EQ(o.duration, 2.5);
    EXPECT_EQ(o.status, 0);
    EXPECT_TRUE(o.wait_given);
    EXPECT_EQ(o.wait, 1);
    EXPECT_FALSE(o.resend);
    EXPECT_TRUE(parse({"-h"}).help);
    EXPECT_EQ(parse({"--namespace", "/"}).ros_namespace, "");
    EXPECT_EQ(parse({"-n", "left"}).names, std::vector<std::string>{"left"});  // one name for the one camera
}

TEST(BridgeOptions, BadLinesAreUsageErrorsSayingWhy)
{
    using vora_cli::UsageError;
    const auto message = [](std::vector<std::string> words) {
        try {
            parse(words);
        } catch (const UsageError& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    EXPECT_NE(message({"-c", "0", "-c", "1", "-n", "a"}).find("one --name per --camera"), std::string::npos);
    EXPECT_NE(message({"-n", "a", "-n", "b"}).find("one --name per --camera"), std::string::npos);
    EXPECT_NE(message({"-c", "0", "-c", "1", "-n", "a", "-n", "a"}).find("twice"), std::string::npos);
    EXPECT_NE(message({"-n", "my-cam"}).find("camera name"), std::string::npos);
    EXPECT_NE(message({"--namespace", "robot/"}).find("namespace"), std::string::npos);
    EXPECT_NE(message({"--node", "a__b"}).find("node name"), std::string::npos);
    EXPECT_NE(message({"--channels", "3"}).find("--channels"), std::string::npos);
    EXPECT_NE(message({"--channels", "0,0"}).find("twice"), std::string::npos);
    EXPECT_NE(message({"--qos", "best"}).find("--qos"), std::string::npos);
    EXPECT_NE(message({"--frames", "0"}).find("--frames"), std::string::npos);
    EXPECT_NE(message({"--duration", "-1"}).find("--duration"), std::string::npos);
    EXPECT_NE(message({"--resend", "maybe"}).find("--resend"), std::string::npos);
    EXPECT_NE(message({"--bogus"}).find("unknown option"), std::string::npos);
    EXPECT_NE(message({"extra"}).find("unexpected"), std::string::npos);
    EXPECT_NE(message({"-c", ""}).find("-c needs"), std::string::npos);
}

TEST(BridgeOptions, DomainFromTheEnvironment)
{
    EXPECT_EQ(domain_from_environment(nullptr), 0);
    EXPECT_EQ(domain_from_environment(""), 0);
    EXPECT_EQ(domain_from_environment("7"), 7);
    EXPECT_EQ(domain_from_environment("232"), 232);
    EXPECT_THROW(domain_from_environment("233"), vora_cli::UsageError);
    EXPECT_THROW(domain_from_environment("-1"), vora_cli::UsageError);
    EXPECT_THROW(domain_from_environment("seven"), vora_cli::UsageError);
}
