// Streams end to end: simulated cameras send GVSP frames of their scene,
// the library opens channels, reassembles and delivers them.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "eventually.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_scene.h"
#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"
#include "vora_qelcamera_api_csharp.h"

namespace {

std::unique_ptr<vsim::SimCamera> start_camera(uint32_t ip, vsim::SimConfig config = vsim::SimConfig())
{
    config.ip = ip;
    config.mac[5] = static_cast<uint8_t>(ip);
    config.serial = "SIM" + std::to_string(ip & 0xFF);
    auto sim = std::make_unique<vsim::SimCamera>(config);
    EXPECT_EQ(sim->start(), 0);
    return sim;
}

// Shrinks a sensor's region so tests move little data.
void small_region(vsim::SimCamera& sim, uint32_t sensor, uint32_t width, uint32_t height)
{
    sim.write_reg(vsim::SENSOR_BASE + sensor * vsim::SENSOR_STRIDE + vsim::SN_WIDTH, width);
    sim.write_reg(vsim::SENSOR_BASE + sensor * vsim::SENSOR_STRIDE + vsim::SN_HEIGHT, height);
}

struct Frame {
    PhotoInfo info;
    std::vector<char> pixels;
};

int capture(int index, unsigned short channel, Frame* f, uint32_t size, long long wait_us = 20000000)
{
    f->pixels.assign(size, 0);
    std::memset(&f->info, 0, sizeof f->info);
    f->info.pixel = f->pixels.data();
    return TimeoutCapture(index, channel, &f->info, wait_us);
}

unsigned packets_received(int index, unsigned short channel)
{
    unsigned received = 0, other = 0;
    GetPacketStatistics(index, channel, &received, &other, &other, &other, &other, &other, &other);
    return received;
}

class Streaming : public ::testing::Test {
protected:
    // Cameras outlive the table, so that tearing it down can reach them.
    vsim::SimCamera& camera(uint32_t ip, vsim::SimConfig config = vsim::SimConfig())
    {
        sims_.push_back(start_camera(ip, config));
        return *sims_.back();
    }
    // Channel 0 of a camera with 1500-byte packets, a 320 x 240 region and
    // 2 % of the packets lost, streaming to camera 0 of the library.
    vsim::SimCamera& lossy_stream(vsim::SimConfig config)
    {
        config.max_packet_size = 1500;
        vsim::SimCamera& sim = camera(0x7F000001, config);
        small_region(sim, 0, 320, 240);
        sim.stream_faults.loss_rate = 0.02;
        EXPECT_EQ(DiscoverCamera(), 1);
        CreateCamera();
        EXPECT_EQ(CameraConnect(0), 0);
        EXPECT_EQ(StreamOn(0, 0), 0);
        // However slowly a busy machine answers, frames wait for their resends.
        EXPECT_EQ(SetBlockTimeout(0, 0, 10000000), 0);
        EXPECT_EQ(AcquisitionStart(0), 0);
        return sim;
    }
    void TearDown() override
    {
        DestroyCamera();
        sims_.clear();
    }
    std::vector<std::unique_ptr<vsim::SimCamera>> sims_;
};

TEST_F(Streaming, StreamFunctionsWithoutAStream)
{
    camera(0x7F000001);
    ASSERT_EQ(DiscoverCamera(), 1);
    unsigned int v[8] = {1, 1, 1, 1, 1, 1, 1, 1};
    PhotoInfo frame{};
    EXPECT_EQ(StreamOn(0, 0), -99);
    EXPECT_EQ(StreamOff(0, 0), -99);
    EXPECT_EQ(GetMaxBufferLength(0, 0), -98);
    EXPECT_EQ(SetMaxBufferLength(0, 0, 3), -98);
    EXPECT_EQ(GetPacketResendRatio(0, 0), -98.0);
    EXPECT_EQ(GetBlockTimeout(0, 0), -99);
    EXPECT_EQ(GetPacketTimeout(0, 0), -98);
    EXPECT_EQ(GetResendRequest(0, 0), -98);
    EXPECT_EQ(GetNetSpeed(0, 0), -98);
    EXPECT_EQ(GetBlockRate(0, 0), -98.0f);
    EXPECT_EQ(Capture(0, 0, &frame), -98);
    EXPECT_EQ(TryCapture(0, 0, &frame), -98);
    EXPECT_EQ(TimeoutCapture(0, 0, &frame, 10), -98);
    GetBlockStatistics(0, 0, &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7]);
    for (unsigned x : v)
        EXPECT_EQ(x, 0u);
    PhotoInfoCSharp info{};
    char buffer[16];
    EXPECT_EQ(CaptureCSharp(0, 0, info, buffer, sizeof buffer), -98);

    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    EXPECT_EQ(StreamOn(0, 3), -33);  // the table has three channels
    EXPECT_EQ(GetMaxBufferLength(0, 1), -98);
    EXPECT_EQ(StreamOff(0, 1), -99);
}

TEST_F(Streaming, OpeningRefusesMissingChannelsOpenChannelsAndUnknownFormats)
{
    vsim::SimConfig two;
    two.stream_channels = 2;
    vsim::SimCamera* sim = &camera(0x7F000001, two);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    EXPECT_EQ(StreamOn(0, 2), -33);
    EXPECT_EQ(GetMaxBufferLength(0, 2), -98);  // the slot stayed empty

    ASSERT_EQ(StreamOn(0, 0), 0);
    EXPECT_EQ(StreamOn(0, 0), -2);  // already open: it keeps running
    EXPECT_EQ(GetMaxBufferLength(0, 0), 4);

    sim->write_reg(vsim::CHANNEL_BASE + vsim::CHANNEL_STRIDE + vsim::CH_PIXEL_FORMAT, 0x01100010);
    EXPECT_EQ(StreamOn(0, 1), -22);
    EXPECT_EQ(sim->read_reg(Stream_Channel_0_Port_Reg + 0x40), 0u);  // the camera was never aimed
    EXPECT_EQ(StreamOff(0, 0), 0);
    EXPECT_EQ(sim->read_reg(Stream_Channel_0_Port_Reg), 0u);
    EXPECT_EQ(GetMaxBufferLength(0, 0), -98);
}

TEST_F(Streaming, FramesArriveByteForByte)
{
    vsim::SimCamera* sim = &camera(0x7F000001);
    small_region(*sim, 0, 320, 240);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 0), 0);
    ASSERT_EQ(AcquisitionStart(0), 0);
    Frame f;
    const uint32_t size = 320 * 240 * 6;
    ASSERT_EQ(capture(0, 0, &f, size), 0);
    EXPECT_EQ(f.info.pixel_format, PIXEL_FORMAT_COORD3D_ABC16);
    EXPECT_EQ(f.info.pixel_width, 320u);
    EXPECT_EQ(f.info.pixel_height, 240u);
    EXPECT_EQ(f.info.payload_size, size);
    EXPECT_EQ(f.info.cloud_unit, 10u);
    const auto expected =
        vsim::render_sensor(sim->config().sensors[0], vsim::Roi{320, 240, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
    ASSERT_EQ(expected.size(), size);
    EXPECT_EQ(std::memcmp(f.pixels.data(), expected.data(), size), 0);
    ASSERT_EQ(capture(0, 0, &f, size), 0);
    EXPECT_EQ(std::memcmp(f.pixels.data(), expected.data(), size), 0);
    EXPECT_EQ(AcquisitionStop(0), 0);
    EXPECT_EQ(StreamOff(0, 0), 0);
}

// A camera that sends trains (UDP GSO) reaches the receiver as coalesced
// trains on loopback; one that sends datagram by datagram, as real cameras
// do, as single datagrams. The frames are the same, lost packets included.
TEST_F(Streaming, FramesAreTheSameInTrainsAndDatagramByDatagram)
{
    for (const vsim::SendMode mode : {vsim::SendMode::Gso, vsim::SendMode::Datagram}) {
        SCOPED_TRACE(mode == vsim::SendMode::Gso ? "trains" : "datagrams");
        vsim::SimConfig config;
        config.send = mode;
        vsim::SimCamera* sim = nullptr;
        ASSERT_NO_FATAL_FAILURE(sim = &lossy_stream(config));
        const uint32_t size = 320 * 240 * 6;
        const auto expected =
            vsim::render_sensor(sim->config().sensors[0], vsim::Roi{320, 240, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
        int complete = 0;
        for (int i = 0; i < 4; ++i) {
            Frame f;
            ASSERT_EQ(capture(0, 0, &f, size), 0);
            complete += std::memcmp(f.pixels.data(), expected.data(), size) == 0;
        }
        EXPECT_GE(complete, 3);
        VoraReceivePathStatistics path{};
        ASSERT_EQ(GetReceivePathStatistics(0, 0, &path), 0);
        EXPECT_EQ(GetReceivePathStatistics(0, 0, nullptr), -2);
        EXPECT_EQ(GetReceivePathStatistics(0, 1, &path), -98);
        EXPECT_GE(path.datagrams, path.calls);
        EXPECT_GT(path.landed, 0u);
        if (mode == vsim::SendMode::Datagram) {
            EXPECT_EQ(path.trains, 0u);
            EXPECT_EQ(path.frames_gro, 0u);
            EXPECT_GE(path.frames_datagram, 3u);  // the last may be counted just after its capture
        } else if (path.gro) {
            EXPECT_GT(path.trains, 0u);
            EXPECT_GT(path.train_datagrams, path.trains);
            EXPECT_EQ(path.irregular_trains, 0u);
            EXPECT_GE(path.frames_gro, 3u);
            // Fewer calls than datagrams: that is the point of trains.
            EXPECT_LT(path.calls * 4, path.datagrams);
        }
        DestroyCamera();
        sims_.clear();
    }
}

TEST_F(Streaming, LostPacketsAreRecoveredThroughResend)
{
    vsim::SimCamera* sim = nullptr;
    ASSERT_NO_FATAL_FAILURE(sim = &lossy_stream(vsim::SimConfig()));
    const uint32_t size = 320 * 240 * 6;
    const auto expected =
        vsim::render_sensor(sim->config().sensors[0], vsim::Roi{320, 240, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
    int complete = 0;
    for (int i = 0; i < 5; ++i) {
        Frame f;
        ASSERT_EQ(capture(0, 0, &f, size), 0);
        complete += std::memcmp(f.pixels.data(), expected.data(), size) == 0;
    }
    unsigned p[7];
    GetPacketStatistics(0, 0, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]);
    EXPECT_GT(p[4], 0u);  // resend requested
    EXPECT_GT(p[5], 0u);  // and resent packets arrived
    unsigned b[8];
    GetBlockStatistics(0, 0, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    EXPECT_GE(b[0], 4u);
    EXPECT_GE(complete, 4);
}

TEST_F(Streaming, DepthNoiseChangesEveryFrameAndAResentPacketCarriesItsFramesNoise)
{
    vsim::SimConfig config;
    config.depth_noise_mm = 5;
    vsim::SimCamera* sim = nullptr;
    ASSERT_NO_FATAL_FAILURE(sim = &lossy_stream(config));
    const uint32_t size = 320 * 240 * 6;
    const auto clean =
        vsim::render_sensor(sim->config().sensors[0], vsim::Roi{320, 240, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
    std::vector<char> previous;
    int as_sent = 0;
    for (int i = 0; i < 5; ++i) {
        Frame f;
        ASSERT_EQ(capture(0, 0, &f, size), 0);
        // Frames completed through resend hold the noise of their own block.
        std::vector<uint8_t> expected = clean;
        vsim::add_depth_noise(expected, f.info.block_id, 5, 10);
        as_sent += std::memcmp(f.pixels.data(), expected.data(), size) == 0;
        EXPECT_NE(f.pixels, previous);
        // Every point stays on its ray, within the noise.
        int moved = 0;
        for (size_t p = 0; p + 6 <= size; p += 6) {
            const auto z = [](const uint8_t* b) { return static_cast<int>(b[4] | b[5] << 8); };
            const int was = z(&clean[p]), now = z(reinterpret_cast<const uint8_t*>(&f.pixels[p]));
            ASSERT_LE(std::abs(now - was), 5 * 10 + 1) << "point " << p / 6;
            moved += now != was;
        }
        EXPECT_GT(moved, 320 * 240 / 2);
        previous = f.pixels;
    }
    EXPECT_GE(as_sent, 4);
    unsigned p[7];
    GetPacketStatistics(0, 0, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]);
    EXPECT_GT(p[5], 0u);  // resent packets were among them
}

TEST_F(Streaming, OnlyTheChannelsSourceIsHeardAndLeadersThatDoNotFitNeverReachTheCaller)
{
    vsim::SimCamera* sim = &camera(0x7F000001);
    small_region(*sim, 0, 64, 48);
    sim->stream_faults.foreign_port_leaders = 20;  // "65535 x 65535" from the camera's address, another port
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 0), 0);
    ASSERT_EQ(AcquisitionStart(0), 0);
    const uint32_t size = 64 * 48 * 6;
    const auto expected =
        vsim::render_sensor(sim->config().sensors[0], vsim::Roi{64, 48, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
    for (int i = 0; i < 5; ++i) {
        Frame f;
        ASSERT_EQ(capture(0, 0, &f, size), 0);
        EXPECT_EQ(f.info.pixel_width, 64u);
        EXPECT_EQ(f.info.pixel_height, 48u);
        EXPECT_EQ(std::memcmp(f.pixels.data(), expected.data(), size), 0);
    }
    unsigned p[7], b[8];
    GetPacketStatistics(0, 0, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]);
    GetBlockStatistics(0, 0, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    EXPECT_GE(p[3], 20u);  // the foreign leaders, dropped
    EXPECT_EQ(p[4], 0u);   // and no resend asked for them
    EXPECT_EQ(b[1], 0u);   // every frame complete
    EXPECT_EQ(b[5], 0u);   // none taken as lost
}

TEST_F(Streaming, ACameraThatReportsNoSourcePortIsHeardFromItsFirstLeader)
{
    vsim::SimConfig config;
    config.report_source_port = false;
    vsim::SimCamera* sim = &camera(0x7F000001, config);
    small_region(*sim, 0, 64, 48);
    sim->stream_faults.stray_datagrams = true;
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 0), 0);
    ASSERT_EQ(AcquisitionStart(0), 0);
    Frame f;
    ASSERT_EQ(capture(0, 0, &f, 64 * 48 * 6), 0);
    ASSERT_EQ(capture(0, 0, &f, 64 * 48 * 6), 0);
    EXPECT_EQ(f.info.pixel_width, 64u);
}

TEST_F(Streaming, ThreeChannelsOfTwoCamerasAtOnce)
{
    for (uint32_t ip : {0x7F000001u, 0x7F000002u}) {
        vsim::SimCamera& sim = camera(ip);
        for (uint32_t s = 0; s < 3; ++s)
            small_region(sim, s, 160, 120);
    }
    ASSERT_EQ(DiscoverCamera(), 2);
    CreateCamera();
    for (int cam = 0; cam < 2; ++cam) {
        ASSERT_EQ(CameraConnect(cam), 0);
        for (unsigned short ch = 0; ch < 3; ++ch)
            ASSERT_EQ(StreamOn(cam, ch), 0);
        ASSERT_EQ(AcquisitionStart(cam), 0);
    }
    for (int cam = 0; cam < 2; ++cam) {
        for (unsigned short ch = 0; ch < 3; ++ch) {
            Frame f;
            const uint32_t bpp = ch == 1 ? 3 : 6;
            ASSERT_EQ(capture(cam, ch, &f, 160 * 120 * bpp), 0) << cam << " " << ch;
            EXPECT_EQ(f.info.stream_channel_index_, ch);
            EXPECT_EQ(f.info.pixel_format, ch == 1 ? PIXEL_FORMAT_RGB8 : PIXEL_FORMAT_COORD3D_ABC16);
            EXPECT_EQ(f.info.payload_size, 160u * 120u * bpp);
        }
    }
    StatisticsDataCSharp stats{};
    std::vector<long long> bins(1000, -1);
    GetRecieveTimeStatisticsCSharp(1, 2, stats, bins.data());
    EXPECT_EQ(stats.n_bins, 1000u);
    EXPECT_GE(stats.count, 1);
    long long sum = stats.add_more + stats.add_less;
    for (long long x : bins)
        sum += x;
    EXPECT_EQ(sum, stats.count);
}

TEST_F(Streaming, FlatBufferCapture)
{
    vsim::SimCamera* sim = &camera(0x7F000001);
    small_region(*sim, 0, 64, 48);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 0), 0);
    PhotoInfoCSharp info{};
    std::vector<char> buffer(64 * 48 * 6, 'x');
    EXPECT_EQ(TryCaptureCSharp(0, 0, info, buffer.data(), static_cast<int>(buffer.size())), -34);
    EXPECT_EQ(info.payload_size, 0u);
    EXPECT_EQ(buffer[0], 0);  // zero-filled when nothing came
    ASSERT_EQ(AcquisitionStart(0), 0);
    ASSERT_EQ(TimeoutCaptureCSharp(0, 0, info, buffer.data(), static_cast<int>(buffer.size()), 3000000), 0);
    EXPECT_EQ(info.pixel_width, 64u);
    EXPECT_EQ(info.payload_size, 64u * 48u * 6u);
    // A buffer shorter than the frame gets what fits, nothing more.
    std::vector<char> small(100, 'y');
    small.push_back('z');
    ASSERT_EQ(TimeoutCaptureCSharp(0, 0, info, small.data(), 100, 3000000), 0);
    EXPECT_EQ(small[100], 'z');
}

TEST_F(Streaming, ClosingWhileFramesAreInFlight)
{
    camera(0x7F000001);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 0), 0);
    ASSERT_EQ(StreamOn(0, 2), 0);
    ASSERT_EQ(AcquisitionStart(0), 0);
    // Close once datagrams flow on both channels, with whatever is in flight.
    for (unsigned short ch : {0, 2})
        EXPECT_TRUE(eventually([&] { return packets_received(0, ch) > 100; }));
    EXPECT_EQ(StreamOff(0, 0), 0);
    // Channel 2 is left open: destroying the table closes it.
}

TEST_F(Streaming, ACameraLostWhileStreaming)
{
    vsim::SimCamera* sim = &camera(0x7F000001);
    small_region(*sim, 0, 64, 48);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 0), 0);
    ASSERT_EQ(AcquisitionStart(0), 0);
    Frame f;
    ASSERT_EQ(capture(0, 0, &f, 64 * 48 * 6), 0);
    sim->stop();  // unplugged
    // What was in flight is handed over within the block timeout; after
    // that, nothing more comes.
    int result = 0;
    for (int frames = 0; frames < 100 && result == 0; ++frames)
        result = capture(0, 0, &f, 64 * 48 * 6, 2000000);
    EXPECT_EQ(result, -34);
    EXPECT_EQ(StreamOff(0, 0), 0xFFCC);  // the unanswered register write, low 16 bits of -52
    EXPECT_EQ(GetMaxBufferLength(0, 0), -98);
}

}  // namespace
