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
