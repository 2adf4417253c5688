// The simulated camera as a device for any GigE Vision client: an
// independent implementation (Debian's aravis-tools, when installed) finds
// it, reads and sets its features by their symbolic values, and receives
// complete frames with and without its packet socket.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "sim_camera.h"
#include "sim_description.h"
#include "vora_base_type.h"

namespace {

bool installed(const char* program)
{
    return access(program, X_OK) == 0;
}

// Output of a command line, standard error included.
std::string run(const std::string& command)
{
    std::string out;
    FILE* p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return out;
    char buf[512];
    while (size_t n = fread(buf, 1, sizeof buf, p))
        out.append(buf, n);
    pclose(p);
    return out;
}

class IndependentClient : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!installed("/usr/bin/arv-tool-0.8") || !installed("/usr/bin/arv-camera-test-0.8"))
            GTEST_SKIP() << "aravis-tools and aravis-tools-cli are not installed";
        vsim::SimConfig config;
        config.sensors[2].max_width = 640;  // a bound that differs by sensor
        config.temperature_c = -5.25;
        sim = std::make_unique<vsim::SimCamera>(config);
        ASSERT_EQ(sim->start(), 0);
        for (uint32_t s = 0; s < 3; ++s) {
            sim->write_reg(vsim::SENSOR_BASE + s * vsim::SENSOR_STRIDE + vsim::SN_WIDTH, 320);
            sim->write_reg(vsim::SENSOR_BASE + s * vsim::SENSOR_STRIDE + vsim::SN_HEIGHT, 240);
        }
    }
    std::unique_ptr<vsim::SimCamera> sim;
};

TEST_F(IndependentClient, ReadsAndSetsEnumerationsByTheirValues)
{
    const std::string tool = "timeout 60 /usr/bin/arv-tool-0.8 -a 127.0.0.1 ";
    EXPECT_NE(run(tool).find("127.0.0.1"), std::string::npos);
    const std::string before = run(tool + "control TriggerMode PixelFormat");
    EXPECT_NE(before.find("TriggerMode = Off"), std::string::npos) << before;
    EXPECT_NE(before.find("PixelFormat = Coord3D_ABC16"), std::string::npos) << before;
    const std::string set = run(tool + "control TriggerMode=On");
    EXPECT_NE(set.find("TriggerMode = On"), std::string::npos) << set;
    EXPECT_EQ(sim->read_reg(vsim::REG_TRIGGER_MODE), 1u);
}

// Selectors, computed bounds, a converter and bit fields, evaluated by
// another implementation: what the host selects is the register it
// reaches, and each value comes out in the units and bits described.
TEST_F(IndependentClient, EvaluatesSelectorsFormulasConvertersAndFields)
{
    const std::string tool = "timeout 60 /usr/bin/arv-tool-0.8 -a 127.0.0.1 control ";
    auto sensor_reg = [](uint32_t s, uint32_t offset) { return vsim::SENSOR_BASE + s * vsim::SENSOR_STRIDE + offset; };
    sim->write_reg(sensor_reg(1, vsim::SN_EXPOSURE_TIME), 7000);
    sim->write_reg(sensor_reg(2, vsim::SN_WIDTH), 160);

    const std::string sensors = run(tool + "SensorSelector SensorSelector=1 ExposureTime SensorSelector=2 Width "
                                           "ExposureTime=1234 SensorSelector=0 Width");
    EXPECT_NE(sensors.find("SensorSelector = 0 min:0 max:2"), std::string::npos) << sensors;
    EXPECT_NE(sensors.find("ExposureTime = 7000 "), std::string::npos) << sensors;
    EXPECT_NE(sensors.find("Width = 160 min:16 max:640 "), std::string::npos) << sensors;  // its own maximum
    EXPECT_NE(sensors.find("Width = 320 min:16 max:1280 "), std::string::npos) << sensors;
    EXPECT_EQ(sim->read_reg(sensor_reg(2, vsim::SN_EXPOSURE_TIME)), 1234u);
    EXPECT_EQ(sim->read_reg(sensor_reg(0, vsim::SN_EXPOSURE_TIME)), 5000u);
    EXPECT_EQ(sim->read_reg(sensor_reg(1, vsim::SN_EXPOSURE_TIME)), 7000u);

    const uint32_t packet_size_2 = Stream_Channel_Packet_Size_Reg + 2 * vsim::CHANNEL_STRIDE;
    const std::string channels = run(tool + "GevStreamChannelSelector GevStreamChannelSelector=1 PayloadSize "
                                            "CmosIndex PixelFormat GevStreamChannelSelector=2 "
                                            "GevSCPSDoNotFragment=true GevSCPSPacketSize");
    EXPECT_NE(channels.find("GevStreamChannelSelector = 0 min:0 max:2"), std::string::npos) << channels;
    EXPECT_NE(channels.find("PayloadSize = 230400 "), std::string::npos) << channels;  // 320 x 240 x RGB8
    EXPECT_NE(channels.find("CmosIndex = 1 "), std::string::npos) << channels;
    EXPECT_NE(channels.find("PixelFormat = RGB8"), std::string::npos) << channels;
    EXPECT_NE(channels.find("GevSCPSPacketSize = 1500 "), std::string::npos) << channels;
    // One bit of channel 2's packet-size register; the size beside it stays.
    EXPECT_EQ(sim->read_reg(packet_size_2), 0x40000000u | 1500u);
    EXPECT_EQ(sim->read_reg(Stream_Channel_Packet_Size_Reg), 1500u);

    const std::string device = run(tool + "DeviceTemperature GevVersionMajor GevVersionMinor");
    EXPECT_NE(device.find("DeviceTemperature = -5.25 C"), std::string::npos) << device;
    EXPECT_NE(device.find("GevVersionMajor = 2 "), std::string::npos) << device;  // the high half of 0x00020000
    EXPECT_NE(device.find("GevVersionMinor = 0 "), std::string::npos) << device;
}

TEST_F(IndependentClient, ReceivesCompleteFramesWithAndWithoutItsPacketSocket)
{
    const std::string name = sim->config().vendor + "-" + sim->config().model + "-" + sim->config().serial;
    // Whether frames come is tested here, not how fast the client's receiver
    // runs on a busy machine. Its packet time-outs are generous. Its frame
    // retention is short: it never asks for a frame's lost tail, and on a
    // busy machine a late first frame and the next one can arrive together
    // in a socket buffer that holds one, so that frame must time out for the
    // frames behind it to be delivered.
    for (const char* mode : {"", "--no-packet-socket"}) {
        const std::string out = run("timeout 60 /usr/bin/arv-camera-test-0.8 -a --duration 4 -l 200 -p 200 -m 500 " +
                                    std::string(mode) + " -n '" + name + "'");
        const size_t at = out.find("n_completed_buffers");
        ASSERT_NE(at, std::string::npos) << mode << "\n" << out;
        EXPECT_GT(std::stoul(out.substr(out.find('=', at) + 1)), 5u) << mode << "\n" << out;
    }
}

}  // namespace
