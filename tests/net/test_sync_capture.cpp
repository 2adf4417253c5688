// Four simulated cameras as one instrument: each in its own namespace
// behind its own veth link, all on one bridge with the host, as cameras on
// one switch. One broadcast action command triggers them; their frames come
// back together as frame sets.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "topology.h"
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr int kCameras = 4;
constexpr uint32_t kDeviceKey = 0x56524131;
constexpr int kJitterUs = 5;
constexpr unsigned kWidth = 320, kHeight = 256;
constexpr int64_t kTolerance = 5000000LL * kTestSlowdown;  // ns

std::string cam_ip(int k)
{
    return "10.78.0." + std::to_string(20 + k);
}

class SyncCell : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(Topology::run("ip link add vbr0 type bridge"));
        ASSERT_TRUE(Topology::run("ip addr add 10.78.0.1/24 dev vbr0"));
        ASSERT_TRUE(Topology::run("ip link set vbr0 up"));
        for (int k = 0; k < kCameras; ++k) {
            const std::string ns = "sync" + std::to_string(k), host_if = "vs" + std::to_string(k);
            net_.add_namespace(ns);
            net_.link(host_if, "", ns, "eth0", cam_ip(k) + "/24", 1500);
            ASSERT_TRUE(Topology::run("ip link set " + host_if + " master vbr0"));
            net_.start_cameras(ns, {"--ip", cam_ip(k), "--mask", "255.255.255.0", "--serial",
                                    "SYNC" + std::to_string(k), "--ptp-jitter-us", std::to_string(kJitterUs)});
        }
        ASSERT_TRUE(eventually([] { return DiscoverCamera() == kCameras; }));
        ASSERT_EQ(CameraSort(SORT_BY_SERIAL_NUMBER), 0);
        CreateCamera();
        for (int i = 0; i < kCameras; ++i) {
            indices_.push_back(i);
            ASSERT_EQ(CameraConnect(i), 0) << i;
            VoraSyncCapability capability{};
            ASSERT_EQ(GetSyncCapability(i, &capability), 0);
            ASSERT_TRUE(capability.action && capability.scheduled_action && capability.ptp);
            ASSERT_GE(capability.action_signals, 1u);
            ASSERT_GE(capability.scheduled_queue_size, 1u);
            ASSERT_EQ(SetActionDeviceKey(i, kDeviceKey), 0);
            ASSERT_EQ(SetActionGroup(i, 0, 1, 1), 0);
            uint32_t key = 0, mask = 0;
            ASSERT_EQ(GetActionGroup(i, 0, &key, &mask), 0);
            EXPECT_EQ(key, 1u);
            EXPECT_EQ(mask, 1u);
            ASSERT_EQ(SetFeatureEnum(i, "TriggerMode", "On"), 0);
            ASSERT_EQ(SetFeatureEnum(i, "TriggerSource", "Action1"), 0);
            ASSERT_EQ(SetRoi(i, 0, kWidth, kHeight, 0, 0), 0);
            ASSERT_EQ(SetTimestamp(i, 1), 0);
        }
        // The clocks pass through listening and uncalibrated to slave.
        ASSERT_TRUE(eventually([] {
            for (int i = 0; i < kCameras; ++i)
                if (GetTimestampStatus(i) != VORA_PTP_SLAVE)
                    return false;
            return true;
        })) << "PTP never settled";
        for (int i = 0; i < kCameras; ++i) {
            ASSERT_EQ(StreamOn(i, 0), 0) << i;
            ASSERT_EQ(AcquisitionStart(i), 0) << i;
        }
        frames_.resize(kCameras);
        pixels_.resize(kCameras);
        for (int i = 0; i < kCameras; ++i) {
            pixels_[i].assign(kWidth * kHeight * 6, 0);
            frames_[i] = PhotoInfo{};
            frames_[i].pixel = pixels_[i].data();
        }
    }

    void TearDown() override
    {
        if (set_ >= 0)
            CloseFrameSet(set_);
        for (int i = 0; i < kCameras; ++i) {
            AcquisitionStop(i);
            StreamOff(i, 0);
            CameraDisconnect(i);
        }
        DestroyCamera();
        Topology::run("ip link del vbr0");
    }

    void open_set(int64_t wait_us = 2000000)
    {
        std::vector<VoraSetMember> members;
        for (int i = 0; i < kCameras; ++i)
            members.push_back(VoraSetMember{i, 0});
        // A set waits for a late member longer when the build is slow. The
        // tolerance is wide (simulated cameras on a loaded machine may stamp
        // one broadcast milliseconds apart); send() spaces the actions well
        // beyond it, so that no two actions' frames share a window.
        VoraFrameSetOptions options{kTolerance, wait_us * kTestSlowdown, VORA_SET_TIME_CAMERA};
        set_ = OpenFrameSet(members.data(), kCameras, &options);
        ASSERT_GE(set_, 0);
    }

    VoraAction action(uint32_t mask = 1) const { return VoraAction{kDeviceKey, 1, mask, 0, 0}; }

    int send(const VoraAction& a, VoraActionAck* acks)
    {
        std::this_thread::sleep_for(std::chrono::nanoseconds(3 * kTolerance));
        return SendActionToCameras(indices_.data(), kCameras, &a, 1000 * kTestSlowdown, acks);
    }

    int next(VoraFrameSetInfo* info, std::array<VoraSetFrameInfo, kCameras>* members, long long timeout_us = 10000000)
    {
        return NextFrameSet(set_, frames_.data(), members->data(), info, timeout_us * kTestSlowdown);
    }

    Topology net_;
    std::vector<int> indices_;
    std::vector<PhotoInfo> frames_;
    std::vector<std::vector<char>> pixels_;
    int set_ = -1;
};

TEST_F(SyncCell, OneBroadcastActionFiresAllFourAndTheirFramesFormASet)
{
    open_set();
    for (int n = 0; n < 5; ++n) {
        std::array<VoraActionAck, kCameras> acks{};
        ASSERT_EQ(send(action(), acks.data()), kCameras);
        for (const VoraActionAck& ack : acks)
            EXPECT_EQ(ack.status, 0);
        VoraFrameSetInfo info{};
        std::array<VoraSetFrameInfo, kCameras> members{};
        ASSERT_EQ(next(&info, &members), 0) << n;
        EXPECT_TRUE(info.complete) << n;
        EXPECT_EQ(info.present, kCameras);
        EXPECT_EQ(info.set_id, static_cast<uint64_t>(n + 1));
        for (int i = 0; i < kCameras; ++i) {
            EXPECT_TRUE(members[i].present);
            EXPECT_EQ(frames_[i].pixel_width, kWidth);
            if (members[i].present) {
                EXPECT_EQ(members[i].time_ns - info.time_ns, members[i].offset_ns);
            }
        }
        // The cameras' clocks agree to the simulated jitter; what remains is
        // how far apart the one broadcast reached them.
        EXPECT_LT(info.spread_ns, 2 * kJitterUs * 1000 + 50000000LL * kTestSlowdown) << n;
    }
    VoraFrameSetStatistics stats{};
    ASSERT_EQ(GetFrameSetStatistics(set_, &stats), 0);
    EXPECT_EQ(stats.complete, 5u);
    EXPECT_EQ(stats.incomplete, 0u);
}

TEST_F(SyncCell, AScheduledActionFiresEveryCameraAtOneCameraTime)
{
    open_set();
    VoraClockMapping clock{};
    ASSERT_EQ(GetClockMapping(0, &clock), 0);
    EXPECT_TRUE(clock.ptp_enabled);
    EXPECT_EQ(clock.ptp_state, VORA_PTP_SLAVE);
    // Every camera's clock reads the host's time to within the latch's
    // uncertainty and the jitter: they are on one clock.
    for (int i = 1; i < kCameras; ++i) {
        VoraClockMapping other{};
        ASSERT_EQ(GetClockMapping(i, &other), 0);
        const int64_t here = static_cast<int64_t>(clock.camera_ticks) - clock.host_ns;
        const int64_t there = static_cast<int64_t>(other.camera_ticks) - other.host_ns;
        EXPECT_LE(std::llabs(here - there),
                  clock.uncertainty_ns + other.uncertainty_ns + 2 * kJitterUs * 1000 + 1000000LL * kTestSlowdown);
    }
    VoraAction scheduled = action();
    scheduled.scheduled = 1;
    scheduled.action_time = clock.camera_ticks + 300000000ULL * kTestSlowdown;  // 0.3 s ahead
    std::array<VoraActionAck, kCameras> acks{};
    ASSERT_EQ(send(scheduled, acks.data()), kCameras);
    VoraFrameSetInfo info{};
    std::array<VoraSetFrameInfo, kCameras> members{};
    ASSERT_EQ(next(&info, &members), 0);
    EXPECT_TRUE(info.complete);
    for (int i = 0; i < kCameras; ++i)
        EXPECT_EQ(frames_[i].timestamp_low, scheduled.action_time) << i;
    EXPECT_EQ(info.spread_ns, 0);
}

TEST_F(SyncCell, AScheduledActionInThePastIsLateAndFiresNothing)
{
    open_set(100000);
    VoraClockMapping clock{};
    ASSERT_EQ(GetClockMapping(0, &clock), 0);
    VoraAction late = action();
    late.scheduled = 1;
    late.action_time = clock.camera_ticks - 1000000000ULL;
    std::array<VoraActionAck, kCameras> acks{};
    EXPECT_EQ(send(late, acks.data()), 0);
    for (const VoraActionAck& ack : acks)
        EXPECT_EQ(ack.status, 0x8016);
    VoraFrameSetInfo info{};
    std::array<VoraSetFrameInfo, kCameras> members{};
    EXPECT_EQ(next(&info, &members, 500000), VORA_ERR_CAPTURE_TIMEOUT);
}

TEST_F(SyncCell, ACameraOutsideTheGroupMaskNeitherAnswersNorFires)
{
    ASSERT_EQ(SetActionGroup(3, 0, 1, 2), 0);
    open_set(1000000);
    for (int n = 0; n < 3; ++n) {
        std::array<VoraActionAck, kCameras> acks{};
        EXPECT_EQ(send(action(1), acks.data()), kCameras - 1);
        EXPECT_EQ(acks[3].status, VORA_ERR_NO_ACK);
        VoraFrameSetInfo info{};
        std::array<VoraSetFrameInfo, kCameras> members{};
        ASSERT_EQ(next(&info, &members), 0);
        EXPECT_FALSE(info.complete);
        EXPECT_EQ(info.present, kCameras - 1);
        EXPECT_FALSE(members[3].present);
    }
    // The mask it has shares a bit with 3: now it fires with the rest.
    std::array<VoraActionAck, kCameras> acks{};
    EXPECT_EQ(send(action(3), acks.data()), kCameras);
}

TEST_F(SyncCell, ACameraLostMidRunLeavesIncompleteSetsCountedAndNeverAHang)
{
    ASSERT_EQ(SetHeartBeatTimeout(3, 1000), 0);
    open_set(1000000);
    std::array<VoraActionAck, kCameras> acks{};
    VoraFrameSetInfo info{};
    std::array<VoraSetFrameInfo, kCameras> members{};
    ASSERT_EQ(send(action(), acks.data()), kCameras);
    ASSERT_EQ(next(&info, &members), 0);
    EXPECT_TRUE(info.complete);

    // The last camera's cable is pulled.
    ASSERT_TRUE(Topology::run("ip link set vs3 down"));
    for (int n = 0; n < 4; ++n) {
        send(action(), acks.data());
        EXPECT_NE(acks[3].status, 0);
        ASSERT_EQ(next(&info, &members), 0) << n;
        EXPECT_FALSE(info.complete);
        EXPECT_FALSE(members[3].present);
        EXPECT_GE(info.present, 1);
    }
    VoraFrameSetStatistics stats{};
    ASSERT_EQ(GetFrameSetStatistics(set_, &stats), 0);
    EXPECT_EQ(stats.complete, 1u);
    EXPECT_GE(stats.incomplete, 4u);
}

}  // namespace
