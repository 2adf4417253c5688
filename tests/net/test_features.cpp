// Feature controls against a connected simulated camera: what reaches the
// registers, what is refused before anything goes on the wire, and the
// exported functions that forward to them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "camera/vora_gige_camera.h"
#include "gvcp_codec.h"
#include "loopback_info.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "stream/vora_gige_stream.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr unsigned kLoopback = 0x7F000001;
constexpr uint32_t kGvcpConfiguration = vsim::bootstrap::GVCP_CONFIGURATION;
constexpr uint32_t kTickFrequencyHigh = vsim::bootstrap::TICK_FREQUENCY_HIGH;
constexpr uint32_t kTickFrequencyLow = vsim::bootstrap::TICK_FREQUENCY_LOW;
constexpr uint32_t kLatchedHigh = vsim::bootstrap::TIMESTAMP_LATCHED_HIGH;
constexpr uint32_t kLatchedLow = vsim::bootstrap::TIMESTAMP_LATCHED_LOW;

using testnet::loopback_info;

uint32_t sensor_reg(uint32_t sensor, uint32_t offset)
{
    return vsim::SENSOR_BASE + sensor * vsim::SENSOR_STRIDE + offset;
}

uint32_t channel_reg(uint32_t channel, uint32_t offset)
{
    return vsim::CHANNEL_BASE + channel * vsim::CHANNEL_STRIDE + offset;
}

// Register writes the camera received, in order.
std::vector<std::pair<uint32_t, uint32_t>> writes(vsim::SimCamera& sim)
{
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const auto& c : sim.commands())
        if (c.size() >= 16 && gvcp::get_u16(c.data() + 2) == WRITEREG_CMD)
            out.emplace_back(gvcp::get_u32(c.data() + 8), gvcp::get_u32(c.data() + 12));
    return out;
}

class Features : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim = std::make_unique<vsim::SimCamera>(config());
        ASSERT_EQ(sim->start(), 0);
        DiscoveryInfo info = loopback_info();
        ASSERT_EQ(camera.CameraConnect(&info), 0);
        ASSERT_EQ(camera.cmos_count, 3);
        sim->clear_commands();
    }
    void TearDown() override
    {
        camera.CameraDisconnect();
        sim->stop();
    }
    virtual vsim::SimConfig config()
    {
        vsim::SimConfig c;
        // A smaller third sensor shows that the limits are read per sensor.
        c.sensors[2].max_width = 640;
        c.sensors[2].max_height = 480;
        return c;
    }
    // Nothing was written since the last clear.
    void expect_no_writes() { EXPECT_TRUE(writes(*sim).empty()); }

    std::unique_ptr<vsim::SimCamera> sim;
    GigeCamera camera;
};

TEST_F(Features, LightsTakeOnlyTheirRange)
{
    EXPECT_EQ(camera.SetLaserbrightness(0), -2);
    EXPECT_EQ(camera.SetLaserbrightness(101), -2);
    EXPECT_EQ(camera.SetStrobeLEDbrightress(0), -2);
    EXPECT_EQ(camera.SetStrobeLEDbrightress(101), -2);
    EXPECT_EQ(camera.SetStrobeLEDswitch(2), -2);
    EXPECT_EQ(camera.SetStrobeLEDswitch(-1), -2);
    expect_no_writes();

    EXPECT_EQ(camera.SetLaserbrightness(1), 0);
    EXPECT_EQ(sim->read_reg(vsim::REG_LASER_BRIGHTNESS), 1u);
    EXPECT_EQ(camera.SetLaserbrightness(100), 0);
    EXPECT_EQ(camera.GetLaserbrightness(), 100);
    EXPECT_EQ(camera.SetStrobeLEDbrightress(1), 0);
    EXPECT_EQ(camera.SetStrobeLEDbrightress(100), 0);
    EXPECT_EQ(camera.GetStrobeLEDbrightress(), 100);
    EXPECT_EQ(camera.SetStrobeLEDswitch(1), 0);
    EXPECT_EQ(camera.GetStrobeLEDswitch(), 1);
    EXPECT_EQ(camera.SetStrobeLEDswitch(0), 0);
    EXPECT_EQ(sim->read_reg(vsim::REG_STROBE_LED_SWITCH), 0u);
}

TEST_F(Features, ARefusedWriteOrReadPassesTheDeviceStatusOn)
{
    sim->faults.fail_address = vsim::REG_LASER_BRIGHTNESS;
    EXPECT_EQ(camera.SetLaserbrightness(50), 0x8003);
    EXPECT_EQ(camera.GetLaserbrightness(), 0x8003);
}

TEST_F(Features, TimestampSwitchIsBit19OfTheConfiguration)
{
    EXPECT_EQ(camera.SetTimestamp(2), -2);
    EXPECT_EQ(camera.SetTimestamp(-1), -2);
    expect_no_writes();

    EXPECT_EQ(camera.SetTimestamp(1), 0);
    EXPECT_EQ(sim->read_reg(kGvcpConfiguration), 0x00080000u);
    EXPECT_EQ(camera.GetTimestamp(), 1);
    EXPECT_EQ(camera.SetTimestamp(0), 0);
    EXPECT_EQ(camera.GetTimestamp(), 0);

    // Bits above the switch make the answer meaningless.
    sim->write_reg(kGvcpConfiguration, 0x00180000);
    EXPECT_EQ(camera.GetTimestamp(), -17);
    sim->write_reg(kGvcpConfiguration, 0x80080000);
    EXPECT_EQ(camera.GetTimestamp(), -17);
    // Bits below it do not matter.
    sim->write_reg(kGvcpConfiguration, 0x0008FFFF);
    EXPECT_EQ(camera.GetTimestamp(), 1);

    // The camera has no status register: its refusal is passed on.
    EXPECT_EQ(camera.GetTimestampStatus(), 0x8003);
}

TEST_F(Features, SixtyFourBitValuesJoinHighAndLowUnsigned)
{
    sim->write_reg(kLatchedHigh, 1);
    sim->write_reg(kLatchedLow, 2);
    EXPECT_EQ(camera.GetTimestampValue(), 4294967298ULL);
    sim->write_reg(kLatchedHigh, 0x80000000);
    sim->write_reg(kLatchedLow, 0xFFFFFFFF);
    EXPECT_EQ(camera.GetTimestampValue(), 0x80000000FFFFFFFFULL);

    EXPECT_EQ(camera.GetTimestampTickFrequency(), 1000000000ULL);
    sim->write_reg(kTickFrequencyHigh, 2);
    sim->write_reg(kTickFrequencyLow, 0x80000001);
    EXPECT_EQ(camera.GetTimestampTickFrequency(), 0x280000001ULL);

    // A refused read comes back sign-extended, not joined with the other half.
    sim->faults.fail_address = kLatchedLow;
    EXPECT_EQ(camera.GetTimestampValue(), 0x8003ULL);
    sim->faults.fail_address = kTickFrequencyHigh;
    EXPECT_EQ(camera.GetTimestampTickFrequency(), 0x8003ULL);
}

TEST_F(Features, LatchingCapturesTheRunningClock)
{
    ASSERT_EQ(camera.SetTimestampControlLatch(), 0);
    const unsigned long long first = camera.GetTimestampValue();
    EXPECT_GT(first, 0ULL);
    // Reading does not latch.
    EXPECT_EQ(camera.GetTimestampValue(), first);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_EQ(camera.SetTimestampControlLatch(), 0);
    const unsigned long long second = camera.GetTimestampValue();
    EXPECT_GT(second, first);
    EXPECT_LE(second, sim->timestamp_ticks());
}

TEST_F(Features, ExposureTimeExcludesTheMinimumAndIncludesTheMaximum)
{
    const int min = camera.GetNodeMinValue("ExposureTime");
    const int max = camera.GetNodeMaxValue("ExposureTime");
    ASSERT_EQ(min, 10);
    ASSERT_EQ(max, 100000);
    EXPECT_EQ(camera.SetExposureTime(min, 0), -2);
    EXPECT_EQ(camera.SetExposureTime(max + 1, 0), -2);
    EXPECT_EQ(camera.SetExposureTime(500, 3), -2);
    EXPECT_EQ(camera.SetExposureTime(500, -1), -2);
    expect_no_writes();

    EXPECT_EQ(camera.SetExposureTime(min + 1, 0), 0);
    EXPECT_EQ(camera.SetExposureTime(max, 2), 0);
    EXPECT_EQ(sim->read_reg(sensor_reg(0, vsim::SN_EXPOSURE_TIME)), 11u);
    EXPECT_EQ(sim->read_reg(sensor_reg(2, vsim::SN_EXPOSURE_TIME)), 100000u);
    EXPECT_EQ(sim->read_reg(sensor_reg(1, vsim::SN_EXPOSURE_TIME)), 5000u);
    EXPECT_EQ(camera.GetExposureTime(2), 100000);
    EXPECT_EQ(camera.GetExposureTime(3), -2);
    EXPECT_EQ(camera.GetExposureTime(-1), -2);

    // An unreadable maximum lets nothing through.
    sim->faults.fail_address = vsim::REG_EXPOSURE_TIME_MAX;
    EXPECT_EQ(camera.SetExposureTime(500, 0), -2);
}

TEST_F(Features, PerSensorExposureSettingsUseTheSensorsBlock)
{
    EXPECT_EQ(camera.SetAutoExposure(2, 0), -2);
    EXPECT_EQ(camera.SetAutoExposure(-1, 0), -2);
    EXPECT_EQ(camera.SetAutoExposure(1, 3), -2);
    EXPECT_EQ(camera.SetCamExposureGainLevel(1, 0), -2);
    EXPECT_EQ(camera.SetCamExposureGainLevel(-1, 4), -2);
    EXPECT_EQ(camera.SetMutipleExposure(0), -1);
    expect_no_writes();
    EXPECT_EQ(camera.GetAutoExposure(3), -2);
    EXPECT_EQ(camera.GetCamExposureGainLevel(-1), -2);

    EXPECT_EQ(camera.SetAutoExposure(1, 2), 0);
    EXPECT_EQ(sim->read_reg(sensor_reg(2, vsim::SN_EXPOSURE_AUTO)), 1u);
    EXPECT_EQ(sim->read_reg(sensor_reg(0, vsim::SN_EXPOSURE_AUTO)), 0u);
    EXPECT_EQ(camera.GetAutoExposure(2), 1);
    EXPECT_EQ(camera.GetAutoExposure(1), 0);

    EXPECT_EQ(camera.SetCamExposureGainLevel(1, 7), 0);
    EXPECT_EQ(sim->read_reg(sensor_reg(1, vsim::SN_EXPOSURE_COMPENSATION)), 7u);
    EXPECT_EQ(camera.GetCamExposureGainLevel(1), 7);
    EXPECT_EQ(camera.GetCamExposureGainLevel(0), 1);

    EXPECT_EQ(camera.SetMutipleExposure(4), 0);
    EXPECT_EQ(camera.GetMutipleExposure(), 4);
}

TEST_F(Features, GainFeatureIsChosenByTypeThenChannel)
{
    EXPECT_EQ(camera.SetGain(1, 7, 1), 0);
    EXPECT_EQ(sim->read_reg(vsim::REG_ANALOG_GAIN_RGB), 7u);
    EXPECT_EQ(sim->read_reg(vsim::REG_ANALOG_GAIN), 1u);
    EXPECT_EQ(camera.SetGain(2, 9, 0), 0);
    EXPECT_EQ(sim->read_reg(vsim::REG_DIGITAL_GAIN), 9u);
    EXPECT_EQ(camera.SetGain(2, 64, 1), 0);
    EXPECT_EQ(camera.SetGain(1, 1, 0), 0);
    EXPECT_EQ(camera.GetGain(1, 1), 7);
    EXPECT_EQ(camera.GetGain(2, 0), 9);
    EXPECT_EQ(camera.GetGain(2, 1), 64);
    sim->clear_commands();

    // Arguments first, range second: a bad type or channel is -2 even when
    // the value is out of range too.
    EXPECT_EQ(camera.SetGain(3, 5, 0), -2);
    EXPECT_EQ(camera.SetGain(0, 999, 0), -2);
    EXPECT_EQ(camera.SetGain(2, 5, 2), -2);
    EXPECT_EQ(camera.SetGain(1, 999, -1), -2);
    EXPECT_EQ(camera.SetGain(1, 0, 0), -16);
    EXPECT_EQ(camera.SetGain(1, 65, 1), -16);
    expect_no_writes();
    EXPECT_EQ(camera.GetGain(3, 0), -2);
    EXPECT_EQ(camera.GetGain(1, 2), -2);

    sim->write_reg(vsim::REG_DIGITAL_GAIN_RGB, 0xFFFFFFFF);
    EXPECT_EQ(camera.GetGain(2, 1), -17);
}

TEST_F(Features, TriggersAndAcquisitionReachTheCamera)
{
    EXPECT_EQ(camera.SetTriggerMode(2), -2);
    EXPECT_EQ(camera.SetTriggerSource(-1), -2);
    EXPECT_EQ(camera.SetRGBTriggerMode(2), -2);
    EXPECT_EQ(camera.SetTriggerCount(0), -2);
    EXPECT_EQ(camera.SetRGBTriggerCount(-3), -2);
    expect_no_writes();

    EXPECT_EQ(camera.SetTriggerMode(1), 0);
    EXPECT_EQ(camera.SetTriggerSource(1), 0);
    EXPECT_EQ(camera.SetRGBTriggerMode(1), 0);
    EXPECT_EQ(sim->read_reg(vsim::REG_TRIGGER_MODE), 1u);
    EXPECT_EQ(sim->read_reg(vsim::REG_TRIGGER_SOURCE), 1u);
    EXPECT_EQ(sim->read_reg(vsim::REG_RGB_TRIGGER_MODE), 1u);
    EXPECT_EQ(camera.SetTriggerCount(3), 0);
    EXPECT_EQ(camera.SetRGBTriggerCount(2), 0);
    EXPECT_EQ(sim->software_triggers.load(), 3);
    EXPECT_EQ(sim->rgb_software_triggers.load(), 2);

    EXPECT_FALSE(sim->acquiring());
    EXPECT_EQ(camera.AcquisitionStart(), 0);
    EXPECT_TRUE(sim->acquiring());
    EXPECT_EQ(camera.AcquisitionStop(), 0);
    EXPECT_FALSE(sim->acquiring());
    const auto w = writes(*sim);
    ASSERT_GE(w.size(), 2u);
    EXPECT_EQ(w[w.size() - 2], std::make_pair(vsim::REG_ACQUISITION_START, 1u));
    EXPECT_EQ(w.back(), std::make_pair(vsim::REG_ACQUISITION_STOP, 0u));
}

TEST_F(Features, HeartbeatTimeoutWithinTheBoundsGoesToTheBootstrapRegister)
{
    EXPECT_EQ(camera.SetHeartBeatTimeout(499), -2);
    EXPECT_EQ(camera.SetHeartBeatTimeout(600001), -2);
    expect_no_writes();

    sim->faults.fail_address = Heartbeat_Timeout_Reg;
    EXPECT_EQ(camera.SetHeartBeatTimeout(4000), 0x8003);
    EXPECT_NE(camera.heartbeat_timeout.load(), 4000);
    sim->faults.fail_address = 0xFFFFFFFF;

    EXPECT_EQ(camera.SetHeartBeatTimeout(600000), 0);
    EXPECT_EQ(sim->read_reg(Heartbeat_Timeout_Reg), 600000u);
    EXPECT_EQ(camera.SetHeartBeatTimeout(500), 0);
    EXPECT_EQ(sim->read_reg(Heartbeat_Timeout_Reg), 500u);
    EXPECT_EQ(camera.heartbeat_timeout.load(), 500);
    EXPECT_EQ(camera.SetHeartBeatTimeout(3000), 0);
}

TEST_F(Features, RoiUpToTheSensorsOwnMaximum)
{
    EXPECT_EQ(camera.SetRoi(0, 1280, 1024, 0, 0), 0);
    // One increment past the sensor's edge.
    EXPECT_EQ(camera.SetRoi(0, 1272, 1024, 16, 0), -25);
    EXPECT_EQ(camera.SetRoi(0, 1280, 1022, 0, 4), -25);
    // Not a whole increment, below the minimum, beyond the maximum.
    EXPECT_EQ(camera.SetRoi(0, 1276, 1024, 0, 0), -25);
    EXPECT_EQ(camera.SetRoi(0, 8, 1024, 0, 0), -25);
    EXPECT_EQ(camera.SetRoi(0, 1288, 1024, 0, 0), -25);
    EXPECT_EQ(camera.SetRoi(0, 1280, 1023, 0, 0), -25);
    EXPECT_EQ(camera.SetRoi(0, 640, 480, -8, 0), -25);
    EXPECT_EQ(camera.SetRoi(0, 640, 480, 4, 0), -25);
    // Channel 2 shows the smaller sensor.
    EXPECT_EQ(camera.SetRoi(2, 1280, 1024, 0, 0), -25);
    EXPECT_EQ(camera.SetRoi(3, 640, 480, 0, 0), -2);
    EXPECT_EQ(camera.SetRoi(-1, 640, 480, 0, 0), -2);
    auto w = writes(*sim);
    ASSERT_EQ(w.size(), 4u);  // the first, accepted call only
    sim->clear_commands();

    EXPECT_EQ(camera.SetRoi(2, 320, 240, 320, 240), 0);
    w = writes(*sim);
    const std::vector<std::pair<uint32_t, uint32_t>> want = {
        {sensor_reg(2, vsim::SN_WIDTH), 320u},
        {sensor_reg(2, vsim::SN_HEIGHT), 240u},
        {sensor_reg(2, vsim::SN_OFFSET_X), 320u},
        {sensor_reg(2, vsim::SN_OFFSET_Y), 240u},
    };
    EXPECT_EQ(w, want);

    // The sensor comes from the channel's CmosIndex register.
    sim->write_reg(channel_reg(1, vsim::CH_CMOS_INDEX), 2);
    EXPECT_EQ(camera.SetRoi(1, 1280, 1024, 0, 0), -25);
    EXPECT_EQ(camera.SetRoi(1, 640, 480, 0, 0), 0);
    EXPECT_EQ(sim->read_reg(sensor_reg(2, vsim::SN_WIDTH)), 640u);
    EXPECT_EQ(sim->read_reg(sensor_reg(1, vsim::SN_WIDTH)), 1280u);
}

TEST_F(Features, RoiStopsAtTheFirstRefusedWrite)
{
    sim->faults.fail_address = sensor_reg(0, vsim::SN_OFFSET_X);
    EXPECT_EQ(camera.SetRoi(0, 640, 480, 8, 2), 0x8003);
    EXPECT_EQ(sim->read_reg(sensor_reg(0, vsim::SN_WIDTH)), 640u);
    EXPECT_EQ(sim->read_reg(sensor_reg(0, vsim::SN_HEIGHT)), 480u);
    EXPECT_EQ(sim->read_reg(sensor_reg(0, vsim::SN_OFFSET_Y)), 0u);

    sim->faults.fail_address = sensor_reg(1, vsim::SN_MAX_HEIGHT);
    EXPECT_EQ(camera.SetRoi(1, 640, 480, 0, 0), 0x8003);
    EXPECT_EQ(sim->read_reg(sensor_reg(1, vsim::SN_WIDTH)), 1280u);
}

// A description whose heartbeat minimum lives in a register, so that the
// camera can refuse to tell it.
class UnreadableHeartbeatMinimum : public Features {
protected:
    vsim::SimConfig config() override
    {
        vsim::SimConfig c;
        std::string xml = vsim::build_description_xml(c);
        const size_t node = xml.find("<Integer Name=\"GevHeartbeatTimeout\"");
        const size_t min = xml.find("<Min>500</Min>", node);
        if (node != std::string::npos && min != std::string::npos)
            xml.replace(min, std::strlen("<Min>500</Min>"), "<pMin>ExposureTimeMax</pMin>");
        c.description_override = xml;
        return c;
    }
};

TEST_F(UnreadableHeartbeatMinimum, RefusesWithoutWriting)
{
    EXPECT_EQ(camera.GetNodeMinValue("GevHeartbeatTimeout"), 100000);  // readable: the register's value
    sim->faults.fail_address = vsim::REG_EXPOSURE_TIME_MAX;
    EXPECT_EQ(camera.SetHeartBeatTimeout(3000), -30);
    for (const auto& w : writes(*sim))
        EXPECT_NE(w.first, static_cast<uint32_t>(Heartbeat_Timeout_Reg));
    EXPECT_EQ(sim->read_reg(Heartbeat_Timeout_Reg), 3000u);
}

// A description whose clock status lives in a register the test sets.
class ReadableClockStatus : public Features {
protected:
    vsim::SimConfig config() override
    {
        vsim::SimConfig c;
        std::string xml = vsim::build_description_xml(c);
        const size_t node = xml.find("<IntReg Name=\"GevIEEE1588StatusReg\"");
        const std::string address = "<Address>0x0000096C</Address>";
        const size_t at = xml.find(address, node);
        if (node != std::string::npos && at != std::string::npos) {
            char replacement[64];
            std::snprintf(replacement, sizeof replacement, "<Address>0x%08X</Address>", vsim::REG_EXPOSURE_TIME_MAX);
            xml.replace(at, address.size(), replacement);
        }
        c.description_override = xml;
        return c;
    }
};

TEST_F(ReadableClockStatus, StateIsTheLowFourBits)
{
    // Every state up to SLAVE, the synchronised one.
    for (int state = 0; state <= VORA_PTP_SLAVE; ++state) {
        sim->write_reg(vsim::REG_EXPOSURE_TIME_MAX, static_cast<uint32_t>(state));
        EXPECT_EQ(camera.GetTimestampStatus(), state) << state;
    }
    // Reserved bits above the state do not change it.
    sim->write_reg(vsim::REG_EXPOSURE_TIME_MAX, 0xFFFFFFF9u);
    EXPECT_EQ(camera.GetTimestampStatus(), VORA_PTP_SLAVE);
    sim->write_reg(vsim::REG_EXPOSURE_TIME_MAX, 0x00000106u);
    EXPECT_EQ(camera.GetTimestampStatus(), VORA_PTP_MASTER);
    // States past SLAVE are none the library knows.
    for (uint32_t state : {10u, 15u, 0x1Au}) {
        sim->write_reg(vsim::REG_EXPOSURE_TIME_MAX, state);
        EXPECT_EQ(camera.GetTimestampStatus(), -17) << state;
    }
}

// Every feature control that reaches a register by name, with arguments it
// accepts; the 64-bit results as signed values.
struct FeatureCall {
    const char* name;
    std::function<long long()> call;
};

std::vector<FeatureCall> every_feature_control(GigeCamera& c)
{
    return {
        {"SetTimestamp", [&c] { return c.SetTimestamp(1); }},
        {"GetTimestamp", [&c] { return c.GetTimestamp(); }},
        {"GetTimestampStatus", [&c] { return c.GetTimestampStatus(); }},
        {"SetTimestampControlLatch", [&c] { return c.SetTimestampControlLatch(); }},
        {"GetTimestampValue", [&c] { return static_cast<long long>(c.GetTimestampValue()); }},
        {"GetTimestampTickFrequency", [&c] { return static_cast<long long>(c.GetTimestampTickFrequency()); }},
        {"SetStrobeLEDswitch", [&c] { return c.SetStrobeLEDswitch(1); }},
        {"GetStrobeLEDswitch", [&c] { return c.GetStrobeLEDswitch(); }},
        {"SetLaserbrightness", [&c] { return c.SetLaserbrightness(50); }},
        {"GetLaserbrightness", [&c] { return c.GetLaserbrightness(); }},
        {"SetStrobeLEDbrightress", [&c] { return c.SetStrobeLEDbrightress(50); }},
        {"GetStrobeLEDbrightress", [&c] { return c.GetStrobeLEDbrightress(); }},
        {"SetAutoExposure", [&c] { return c.SetAutoExposure(1, 0); }},
        {"GetAutoExposure", [&c] { return c.GetAutoExposure(0); }},
        {"SetCamExposureGainLevel", [&c] { return c.SetCamExposureGainLevel(0, 2); }},
        {"GetCamExposureGainLevel", [&c] { return c.GetCamExposureGainLevel(0); }},
        {"SetMutipleExposure", [&c] { return c.SetMutipleExposure(2); }},
        {"GetMutipleExposure", [&c] { return c.GetMutipleExposure(); }},
        {"SetExposureTime", [&c] { return c.SetExposureTime(500, 0); }},
        {"GetExposureTime", [&c] { return c.GetExposureTime(0); }},
        {"SetGain", [&c] { return c.SetGain(1, 5, 0); }},
        {"GetGain", [&c] { return c.GetGain(2, 1); }},
        {"SetTriggerMode", [&c] { return c.SetTriggerMode(1); }},
        {"SetTriggerSource", [&c] { return c.SetTriggerSource(1); }},
        {"SetTriggerCount", [&c] { return c.SetTriggerCount(1); }},
        {"SetRGBTriggerMode", [&c] { return c.SetRGBTriggerMode(1); }},
        {"SetRGBTriggerCount", [&c] { return c.SetRGBTriggerCount(1); }},
        {"AcquisitionStart", [&c] { return c.AcquisitionStart(); }},
        {"AcquisitionStop", [&c] { return c.AcquisitionStop(); }},
        {"SetRoi", [&c] { return c.SetRoi(0, 640, 480, 0, 0); }},
    };
}

// A description that names the sensor count and nothing else.
const char kSensorCountOnly[] = R"(<?xml version="1.0"?>
<RegisterDescription ModelName="thin" VendorName="y">
  <IntReg Name="TotalNumberOfCmos"><Address>0x10000</Address><Length>4</Length><pPort>Device</pPort></IntReg>
  <Port Name="Device"/>
</RegisterDescription>
)";

// Commands other than the heartbeat's: it reads the heartbeat timeout once
// it runs (which may be after the test began) and the privilege thereafter.
size_t commands_besides_heartbeat(vsim::SimCamera& sim)
{
    size_t n = 0;
    for (const auto& c : sim.commands()) {
        const bool heartbeat = c.size() >= 12 && gvcp::get_u16(c.data() + 2) == READREG_CMD &&
                               (gvcp::get_u32(c.data() + 8) == Control_Channel_Privilage_Reg ||
                                gvcp::get_u32(c.data() + 8) == Heartbeat_Timeout_Reg);
        n += heartbeat ? 0 : 1;
    }
    return n;
}

class MissingFeatures : public Features {
protected:
    vsim::SimConfig config() override
    {
        vsim::SimConfig c;
        c.description_override = kSensorCountOnly;
        return c;
    }
};

TEST_F(MissingFeatures, EveryLookupThatFailsIsRefusedBeforeAnythingIsSent)
{
    for (const FeatureCall& f : every_feature_control(camera))
        EXPECT_EQ(f.call(), -21) << f.name;
    float a[9], b[9];
    EXPECT_EQ(camera.GetCamInternelParameter(0, a, b), -21);
    EXPECT_EQ(camera.GetCamExternelParameter(0, a, b), -21);
    GigeStream* stream = reinterpret_cast<GigeStream*>(&a);
    EXPECT_EQ(camera.StreamOn(0, &stream), -21);
    EXPECT_EQ(stream, nullptr);
    char image[] = "/tmp/vora-missing-features-XXXXXX";
    const int fd = mkstemp(image);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(camera.FirmwareUpgrade(loopback_info(), image), -21);  // nothing uploaded either
    unlink(image);
    EXPECT_EQ(commands_besides_heartbeat(*sim), 0u);
}

TEST(MissingSensorCount, EndsTheConnectWithTheLookupsCode)
{
    vsim::SimConfig config;
    config.description_override =
        "<RegisterDescription><Integer Name=\"Other\"><Value>1</Value></Integer></RegisterDescription>";
    vsim::SimCamera sim(config);
    ASSERT_EQ(sim.start(), 0);
    GigeCamera camera;
    DiscoveryInfo info = loopback_info();
    EXPECT_EQ(camera.CameraConnect(&info), -21);
    EXPECT_FALSE(camera.is_connected());
    EXPECT_FALSE(sim.controlled_by_someone());
    for (const auto& c : sim.commands()) {
        if (c.size() >= 12 && gvcp::get_u16(c.data() + 2) == READREG_CMD) {
            EXPECT_LT(gvcp::get_u32(c.data() + 8), 0x80000000u);  // no failure code used as an address
        }
    }
}

TEST(FeaturesDisconnected, EveryOperationAnswersNotConnected)
{
    GigeCamera camera;
    for (const FeatureCall& f : every_feature_control(camera))
        EXPECT_EQ(f.call(), -11) << f.name;
    // The connection is checked before the arguments.
    EXPECT_EQ(camera.SetGain(9, 5, 9), -11);
    EXPECT_EQ(camera.GetGain(9, 9), -11);
    EXPECT_EQ(camera.SetHeartBeatTimeout(3000), -11);
    EXPECT_EQ(camera.SetRoi(7, -1, -1, -1, -1), -11);
}

TEST(FeaturesExported, AnswerMissingWithoutATable)
{
    DestroyCamera();
    EXPECT_EQ(SetHeartBeatTimeout(0, 3000), -99);
    EXPECT_EQ(SetAutoExposure(0, 1, 0), -99);
    EXPECT_EQ(GetAutoExposure(0, 0), -99);
    EXPECT_EQ(SetCamExposureGainLevel(0, 0, 1), -99);
    EXPECT_EQ(GetCamExposureGainLevel(0, 0), -99);
    EXPECT_EQ(SetMutipleExposure(0, 1), -99);
    EXPECT_EQ(GetMutipleExposure(0), -99);
    EXPECT_EQ(SetExposureTime(0, 500, 0), -99);
    EXPECT_EQ(GetExposureTime(0, 0), -99);
    EXPECT_EQ(SetGain(0, 1, 1, 0), -99);
    EXPECT_EQ(GetGain(0, 1, 0), -99);
    EXPECT_EQ(SetTriggerMode(0, 1), -99);
    EXPECT_EQ(SetTriggerSource(0, 1), -99);
    EXPECT_EQ(SetTriggerCount(0, 1), -99);
    EXPECT_EQ(SetRGBTriggerMode(0, 1), -99);
    EXPECT_EQ(SetRGBTriggerCount(0, 1), -99);
    EXPECT_EQ(AcquisitionStart(0), -99);
    EXPECT_EQ(AcquisitionStop(0), -99);
    EXPECT_EQ(SetRoi(0, 0, 640, 480, 0, 0), -99);
    EXPECT_EQ(SetTimestamp(0, 1), -99);
    EXPECT_EQ(GetTimestamp(0), -99);
    EXPECT_EQ(GetTimestampStatus(0), -99);
    EXPECT_EQ(SetTimestampControlLatch(0), -99);
    EXPECT_EQ(GetTimestampValue(0), static_cast<unsigned long long>(-99LL));
    EXPECT_EQ(GetTimestampTickFrequency(0), static_cast<unsigned long long>(-99LL));
    EXPECT_EQ(SetStrobeLEDswitch(0, 1), -99);
    EXPECT_EQ(GetStrobeLEDswitch(0), -99);
    EXPECT_EQ(SetLaserbrightness(0, 50), -99);
    EXPECT_EQ(GetLaserbrightness(0), -99);
    EXPECT_EQ(SetStrobeLEDbrightress(0, 50), -99);
    EXPECT_EQ(GetStrobeLEDbrightress(0), -99);
    EXPECT_EQ(FirmwareUpgrade(0, "/nonexistent/fw.bin"), -99);
    EXPECT_EQ(SetLaserbrightness(-1, 50), -99);
}

TEST(FeaturesExported, ForwardToTheCameraAtTheIndex)
{
    vsim::SimCamera sim;
    ASSERT_EQ(sim.start(), 0);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    EXPECT_EQ(SetLaserbrightness(0, 77), 0);
    EXPECT_EQ(sim.read_reg(vsim::REG_LASER_BRIGHTNESS), 77u);
    EXPECT_EQ(GetLaserbrightness(0), 77);
    EXPECT_EQ(SetGain(0, 2, 5, 1), 0);
    EXPECT_EQ(GetGain(0, 2, 1), 5);
    EXPECT_EQ(GetTimestampTickFrequency(0), 1000000000ULL);
    EXPECT_EQ(SetLaserbrightness(1, 77), -99);
    DestroyCamera();
    sim.stop();
}

}  // namespace
