// Frame sets against simulated cameras: triggered together, their frames
// come out as sets; a camera that falls silent leaves incomplete sets and,
// once every camera is gone, an answer instead of a wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "eventually.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr uint32_t kWidth = 64, kHeight = 48, kFrameBytes = kWidth * kHeight * 6;
constexpr long long kMs = 1000000;
// Generous for one round of register writes; the rounds lie further apart.
const long long kTolerance = 40 * kMs * kTestSlowdown;
const auto kRoundGap = std::chrono::milliseconds(120 * kTestSlowdown);
const long long kNextTimeoutUs = 20000000LL * kTestSlowdown;

struct Frames {
    explicit Frames(size_t n) : pixels(n, std::vector<char>(kFrameBytes, 0)), info(n), members(n)
    {
        for (size_t i = 0; i < n; ++i) {
            std::memset(&info[i], 0, sizeof info[i]);
            info[i].pixel = pixels[i].data();
        }
    }
    std::vector<std::vector<char>> pixels;
    std::vector<PhotoInfo> info;
    std::vector<VoraSetFrameInfo> members;
    VoraFrameSetInfo set{};
};

class FrameSets : public ::testing::Test {
protected:
    // n cameras on 127.0.0.1.., channel 0 open, triggered by software,
    // their clocks started together.
    void start(int n)
    {
        for (int i = 0; i < n; ++i) {
            vsim::SimConfig config;
            config.ip = 0x7F000001u + static_cast<uint32_t>(i);
            config.mac[5] = static_cast<uint8_t>(i + 1);
            config.serial = "SET" + std::to_string(i);
            sims_.push_back(std::make_unique<vsim::SimCamera>(config));
            ASSERT_EQ(sims_.back()->start(), 0);
            sims_.back()->write_reg(vsim::SENSOR_BASE + vsim::SN_WIDTH, kWidth);
            sims_.back()->write_reg(vsim::SENSOR_BASE + vsim::SN_HEIGHT, kHeight);
        }
        ASSERT_EQ(DiscoverCamera(), n);
        CreateCamera();
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(CameraConnect(i), 0);
            ASSERT_EQ(SetTriggerMode(i, 1), 0);
            ASSERT_EQ(StreamOn(i, 0), 0);
        }
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(WriteRegister(i, vsim::bootstrap::TIMESTAMP_CONTROL, 1), 0);  // reset
        for (int i = 0; i < n; ++i)
            ASSERT_EQ(AcquisitionStart(i), 0);
    }
    // The simulated camera behind the table's camera index.
    vsim::SimCamera& sim_at(int index)
    {
        for (auto& sim : sims_)
            if (sim->config().ip == discovery_info.at(static_cast<size_t>(index)).camera_ip)
                return *sim;
        ADD_FAILURE() << "no simulated camera behind index " << index;
        return *sims_.front();
    }
    void trigger(const std::vector<int>& cameras)
    {
        std::this_thread::sleep_for(kRoundGap);  // apart from the round before
        for (int i : cameras)
            ASSERT_EQ(WriteRegister(i, vsim::REG_TRIGGER_SOFTWARE, 1), 0);
    }
    int open(const std::vector<VoraSetMember>& members, long long wait_us, int time_base = VORA_SET_TIME_CAMERA)
    {
        VoraFrameSetOptions options{};
        options.tolerance_ns = kTolerance;
        options.wait_us = wait_us;
        options.time_base = time_base;
        return OpenFrameSet(members.data(), static_cast<int>(members.size()), &options);
    }
    int next(int set, Frames& f, long long timeout_us = kNextTimeoutUs)
    {
        return NextFrameSet(set, f.info.data(), f.members.data(), &f.set, timeout_us);
    }
    void TearDown() override
    {
        for (int set = 0; set < 16; ++set)
            CloseFrameSet(set);
        DestroyCamera();
        sims_.clear();
    }
    std::vector<std::unique_ptr<vsim::SimCamera>> sims_;
};

std::vector<VoraSetMember> channel0_of(int n)
{
    std::vector<VoraSetMember> members;
    for (int i = 0; i < n; ++i)
        members.push_back({i, 0});
    return members;
}

TEST_F(FrameSets, TriggeredTogetherTheyComeOutAsCompleteSets)
{
    start(3);
    // HOST falls back to the cameras' own stamps where no clock mapping is
    // to be had; either way their frames match.
    for (int time_base : {VORA_SET_TIME_CAMERA, VORA_SET_TIME_HOST}) {
        const int set = open(channel0_of(3), 2000000LL * kTestSlowdown, time_base);
        ASSERT_GE(set, 0);
        Frames f(3);
        std::vector<uint16_t> last_block(3, 0);
        for (uint64_t round = 1; round <= 4; ++round) {
            trigger({0, 1, 2});
            ASSERT_EQ(next(set, f), 0) << round;
            EXPECT_EQ(f.set.set_id, round);
            EXPECT_TRUE(f.set.complete);
            EXPECT_EQ(f.set.present, 3);
            EXPECT_LE(f.set.spread_ns, kTolerance);
            int64_t earliest = f.members[0].time_ns, latest = earliest;
            for (size_t i = 0; i < 3; ++i) {
                EXPECT_EQ(f.members[i].present, 1);
                EXPECT_EQ(f.info[i].payload_size, kFrameBytes);
                EXPECT_EQ(f.info[i].pixel_width, kWidth);
                // The member's own frame, a new one each round.
                EXPECT_NE(f.info[i].block_id, last_block[i]) << i;
                last_block[i] = f.info[i].block_id;
                EXPECT_EQ(f.members[i].time_ns - f.set.time_ns, f.members[i].offset_ns);
                if (time_base == VORA_SET_TIME_CAMERA) {
                    EXPECT_EQ(static_cast<int64_t>(f.info[i].timestamp_low), f.members[i].time_ns);
                }
                earliest = std::min(earliest, f.members[i].time_ns);
                latest = std::max(latest, f.members[i].time_ns);
            }
            EXPECT_EQ(latest - earliest, f.set.spread_ns);
        }
        VoraFrameSetStatistics s{};
        ASSERT_EQ(GetFrameSetStatistics(set, &s), 0);
        EXPECT_EQ(s.complete, 4u);
        EXPECT_EQ(s.incomplete, 0u);
        EXPECT_EQ(s.unmatched_frames, 0u);
        EXPECT_LE(s.worst_spread_ns, kTolerance);
        EXPECT_EQ(CloseFrameSet(set), 0);
        EXPECT_EQ(CloseFrameSet(set), VORA_ERR_FRAME_SET_MISSING);
    }
}

TEST_F(FrameSets, ASilentCameraLeavesIncompleteSetsAndAllGoneIsLost)
{
    start(3);
    const int set = open(channel0_of(3), 300000LL * kTestSlowdown);
    ASSERT_GE(set, 0);
    Frames f(3);
    trigger({0, 1, 2});
    ASSERT_EQ(next(set, f), 0);
    EXPECT_TRUE(f.set.complete);

    // Camera 2 stops answering: the sets without it go out incomplete,
    // first after the wait, and once it is given up at once.
    sim_at(2).faults.silent = true;
    std::vector<char> before(f.pixels[2]);
    int incomplete = 0;
    EXPECT_TRUE(eventually([&] {
        trigger({0, 1});
        if (next(set, f) != 0)
            return false;
        EXPECT_FALSE(f.set.complete);
        EXPECT_EQ(f.set.present, 2);
        EXPECT_EQ(f.members[2].present, 0);
        ++incomplete;
        return GetConnectionState(2) == VORA_ERR_CAMERA_LOST && incomplete >= 3;
    }));
    EXPECT_EQ(f.pixels[2], before) << "a missing member's frame is left as it was";
    VoraFrameSetStatistics s{};
    ASSERT_EQ(GetFrameSetStatistics(set, &s), 0);
    EXPECT_EQ(s.complete, 1u);
    EXPECT_EQ(s.incomplete, static_cast<uint64_t>(incomplete));

    // Every camera gone: the answer says so instead of waiting.
    sim_at(0).faults.silent = true;
    sim_at(1).faults.silent = true;
    int result = 0;
    EXPECT_TRUE(eventually([&] {
        result = next(set, f, 1000000);
        return result == VORA_ERR_CAMERA_LOST;
    })) << result;
    EXPECT_EQ(next(set, f, -1), VORA_ERR_CAMERA_LOST);
}

TEST_F(FrameSets, ArgumentsAreChecked)
{
    start(2);
    VoraFrameSetOptions options{};
    options.tolerance_ns = kMs;
    options.wait_us = 1000;
    const std::vector<VoraSetMember> two = channel0_of(2);
    std::vector<VoraSetMember> many(17, VoraSetMember{0, 0});
    EXPECT_EQ(OpenFrameSet(nullptr, 1, &options), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(OpenFrameSet(two.data(), 2, nullptr), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(OpenFrameSet(two.data(), 0, &options), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(OpenFrameSet(many.data(), 17, &options), VORA_ERR_INVALID_ARG);
    const VoraSetMember twice[] = {{0, 0}, {1, 0}, {0, 0}};
    EXPECT_EQ(OpenFrameSet(twice, 3, &options), VORA_ERR_INVALID_ARG);
    const VoraSetMember channel3[] = {{0, 3}};
    EXPECT_EQ(OpenFrameSet(channel3, 1, &options), VORA_ERR_CHANNEL_INDEX);
    const VoraSetMember no_camera[] = {{5, 0}};
    EXPECT_EQ(OpenFrameSet(no_camera, 1, &options), VORA_ERR_CAMERA_MISSING);
    const VoraSetMember negative[] = {{-1, 0}};
    EXPECT_EQ(OpenFrameSet(negative, 1, &options), VORA_ERR_CAMERA_MISSING);
    const VoraSetMember closed[] = {{0, 0}, {1, 2}};
    EXPECT_EQ(OpenFrameSet(closed, 2, &options), VORA_ERR_STREAM_MISSING);
    for (auto bad : {VoraFrameSetOptions{-1, 0, 0}, VoraFrameSetOptions{0, -1, 0}, VoraFrameSetOptions{0, 0, 2},
                     VoraFrameSetOptions{0, 0, -1}})
        EXPECT_EQ(OpenFrameSet(two.data(), 2, &bad), VORA_ERR_INVALID_ARG);

    Frames f(2);
    VoraFrameSetStatistics s{};
    for (int handle : {-1, 0, 15, 16, 1 << 30}) {
        EXPECT_EQ(NextFrameSet(handle, f.info.data(), f.members.data(), &f.set, 0), VORA_ERR_FRAME_SET_MISSING);
        EXPECT_EQ(GetFrameSetStatistics(handle, &s), VORA_ERR_FRAME_SET_MISSING);
        EXPECT_EQ(CloseFrameSet(handle), VORA_ERR_FRAME_SET_MISSING);
    }

    const int set = OpenFrameSet(two.data(), 2, &options);
    ASSERT_GE(set, 0);
    EXPECT_EQ(NextFrameSet(set, nullptr, f.members.data(), &f.set, 0), VORA_ERR_INVALID_ARG);
    f.info[1].pixel = nullptr;  // as Capture, every frame needs its buffer
    EXPECT_EQ(NextFrameSet(set, f.info.data(), nullptr, nullptr, 0), VORA_ERR_INVALID_ARG);
    f.info[1].pixel = f.pixels[1].data();
    EXPECT_EQ(NextFrameSet(set, f.info.data(), nullptr, nullptr, 0), VORA_ERR_CAPTURE_TIMEOUT);
    EXPECT_EQ(GetFrameSetStatistics(set, nullptr), VORA_ERR_INVALID_ARG);

    // The table holds sixteen; one more is refused until one closes.
    std::vector<int> sets{set};
    for (int i = 1; i < 16; ++i) {
        sets.push_back(OpenFrameSet(two.data() + (i % 2), 1, &options));
        ASSERT_GE(sets.back(), 0);
    }
    EXPECT_EQ(OpenFrameSet(two.data(), 1, &options), VORA_ERR_FAILED);
    EXPECT_EQ(CloseFrameSet(sets[7]), 0);
    EXPECT_EQ(OpenFrameSet(two.data(), 1, &options), sets[7]);
}

TEST_F(FrameSets, ClosingEndsWaitsAndClosedStreamsAreLeftAlone)
{
    start(2);
    // Nothing is triggered: a wait without limit, ended by closing the set.
    int set = open(channel0_of(2), 1000);
    ASSERT_GE(set, 0);
    std::atomic<int> waited{1};
    std::thread waiter([&] {
        Frames f(2);
        waited = next(set, f, -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // most likely waiting by now; either way it ends
    EXPECT_EQ(CloseFrameSet(set), 0);
    waiter.join();
    EXPECT_EQ(waited.load(), VORA_ERR_FRAME_SET_MISSING);

    // A stream closed under an open set: the set stops using it.
    set = open(channel0_of(2), 1000);
    ASSERT_GE(set, 0);
    std::atomic<int> answer{1};
    std::thread taker([&] {
        Frames f(2);
        answer = next(set, f, -1);
    });
    EXPECT_EQ(StreamOff(0, 0), 0);
    EXPECT_EQ(StreamOff(1, 0), 0);
    taker.join();
    EXPECT_EQ(answer.load(), VORA_ERR_STREAM_MISSING);
    EXPECT_EQ(CloseFrameSet(set), 0);

    // Destroying the table with a set open leaves a set that answers.
    ASSERT_EQ(StreamOn(0, 0), 0);
    set = open(channel0_of(1), 1000);
    ASSERT_GE(set, 0);
    DestroyCamera();
    Frames f(1);
    EXPECT_EQ(next(set, f, 1000000), VORA_ERR_STREAM_MISSING);
    EXPECT_EQ(CloseFrameSet(set), 0);
}

}  // namespace
