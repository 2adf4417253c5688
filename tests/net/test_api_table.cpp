// The exported interface: the camera table, the dispatch by index and the
// missing-object results, against simulated cameras.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "sim_camera.h"
#include "temp_cwd.h"
#include "topology.h"
#include "vora_globals.h"
#include "vora_qelcamera_api.h"
#include "vora_qelcamera_api_csharp.h"

namespace {

std::unique_ptr<vsim::SimCamera> camera_at(uint32_t ip, const char* serial)
{
    vsim::SimConfig config;
    config.ip = ip;
    config.serial = serial;
    config.mac[5] = static_cast<uint8_t>(ip);
    auto sim = std::make_unique<vsim::SimCamera>(config);
    EXPECT_EQ(sim->start(), 0);
    return sim;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(ApiTable, EveryCameraFunctionAnswersWithoutATable)
{
    auto sim = camera_at(0x7F000001, "SIM00001");
    ASSERT_EQ(DiscoverCamera(), 1);
    sim->clear_commands();

    int status = 0, value = 5, count = 5;
    float a[40], b[40];
    char text[64] = "untouched";
    char names[4][255];
    std::vector<std::string> list;
    EXPECT_EQ(CameraConnect(0), -99);
    EXPECT_EQ(CameraDisconnect(0), -99);
    EXPECT_EQ(GetCameraCCPStatus(0, &status), -99);
    EXPECT_EQ(status, -60);
    EXPECT_EQ(GetHeartBeatTimeout(0), -99);
    EXPECT_EQ(ReadRegister(0, 0x0938, &value), -99);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(WriteRegister(0, 0x0938, 1), -99);
    EXPECT_EQ(GetRegisterAddr(0, "Width"), -99);
    EXPECT_EQ(GetNodeMaxValue(0, "Width"), -99);
    EXPECT_EQ(GetNodeMinValue(0, "Width"), -99);
    EXPECT_EQ(GetNodeIncValue(0, "Width"), -99);
    EXPECT_EQ(SaveXmlToLocal(0, const_cast<char*>("/tmp")), -99);
    EXPECT_EQ(GetCamInternelParameter(0, 0, a, b), -99);
    EXPECT_EQ(GetCamExternelParameter(0, 0, a, b), -99);
    ReadStringRegister(0, "DeviceSerialNumber", text);
    EXPECT_STREQ(text, "untouched");
    GetCameraXMLNodeNames(0, names, &count);
    EXPECT_EQ(count, -1);
    GetCameraXMLNodeNamesCSharp(0, &list);
    EXPECT_TRUE(list.empty());
    EXPECT_STREQ(SDKVersion(0), "");
    EXPECT_STREQ(CameraVerions(0), "");
    DestroyCamera();                      // no table: nothing to do
    EXPECT_EQ(sim->command_count(), 0u);  // nothing went on the wire
}

TEST(ApiTable, CreateCameraNeedsACameraList)
{
    CreateCamera();
    EXPECT_EQ(camera_object, nullptr);
    EXPECT_STREQ(SDKVersion(0), "");
}

TEST(ApiTable, TheWholeRoadFromDiscoveryToDestroy)
{
    auto sim = camera_at(0x7F000001, "SIM00001");
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_NE(camera_object, nullptr);
    EXPECT_STREQ(SDKVersion(0), "SDK VERSION 1.4.87");
    EXPECT_STREQ(CameraVerions(0), "1.0.0-sim");
    EXPECT_STREQ(SDKVersion(1), "");  // beyond the table
    EXPECT_EQ(CameraConnect(1), -99);
    EXPECT_EQ(CameraConnect(-1), -99);

    int status = -7;
    ASSERT_EQ(GetCameraCCPStatus(0, &status), 0);
    EXPECT_EQ(status, 0);
    ASSERT_EQ(CameraConnect(0), 0);
    EXPECT_EQ(GetHeartBeatTimeout(0), 3000);
    int value = 0;
    EXPECT_EQ(ReadRegister(0, Number_of_Stream_Channels_Reg, &value), 0);
    EXPECT_EQ(value, 3);
    EXPECT_EQ(WriteRegister(0, Heartbeat_Timeout_Reg, 4000), 0);
    EXPECT_GT(GetRegisterAddr(0, "Width"), 0);
    EXPECT_EQ(GetNodeIncValue(0, "Width"), 8);

    char serial[17] = {};
    ReadStringRegister(0, "DeviceSerialNumber", serial);
    EXPECT_STREQ(serial, "SIM00001");
    static char names[400][255];
    int count = 0;
    GetCameraXMLNodeNames(0, names, &count);
    ASSERT_GT(count, 20);
    std::vector<std::string> list;
    GetCameraXMLNodeNamesCSharp(0, &list);
    ASSERT_EQ(list.size(), static_cast<size_t>(count));
    bool has_width = false;
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(list[static_cast<size_t>(i)], names[i]);
        has_width |= list[static_cast<size_t>(i)] == "Width";
    }
    EXPECT_TRUE(has_width);

    float kc[5], k[9], r[9], t[3];
    ASSERT_EQ(GetCamInternelParameter(0, 1, kc, k), 0);
    EXPECT_EQ(std::memcmp(k, sim->config().sensors[1].K, sizeof k), 0);
    ASSERT_EQ(GetCamExternelParameter(0, 1, r, t), 0);
    EXPECT_EQ(std::memcmp(t, sim->config().sensors[1].T, sizeof t), 0);

    // Destroying the table disconnects what the application left connected.
    DestroyCamera();
    EXPECT_EQ(camera_object, nullptr);
    EXPECT_FALSE(sim->controlled_by_someone());
    EXPECT_EQ(CameraConnect(0), -99);
}

TEST(ApiTable, CreatingATableAgainReplacesTheOldOne)
{
    auto sim = camera_at(0x7F000001, "SIM00001");
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    CreateCamera();  // the old table goes, its camera disconnected
    EXPECT_FALSE(sim->controlled_by_someone());
    EXPECT_EQ(CameraConnect(0), 0);
    DestroyCamera();
}

TEST(ApiTable, SeveralCamerasConnectFromSeveralThreads)
{
    std::vector<std::unique_ptr<vsim::SimCamera>> sims;
    for (uint32_t i = 1; i <= 3; ++i)
        sims.push_back(camera_at(0x7F000000 + i, ("SIM0000" + std::to_string(i)).c_str()));
    ASSERT_EQ(DiscoverCamera(), 3);
    CreateCamera();
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 3; ++i)
        threads.emplace_back([i, &failures] {
            for (int round = 0; round < 3; ++round) {
                if (CameraConnect(i) != 0 || GetHeartBeatTimeout(i) != 3000 || CameraDisconnect(i) != 0)
                    ++failures;
            }
            if (CameraConnect(i) != 0)
                ++failures;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    for (auto& sim : sims)
        EXPECT_TRUE(sim->controlled_by_someone());
    DestroyCamera();
    for (auto& sim : sims)
        EXPECT_FALSE(sim->controlled_by_someone());
}

TEST(ApiTable, LogFilesFollowTheLevelSwitches)
{
    char dir[] = "/tmp/vora-camlog-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir), 0);

    auto sim = camera_at(0x7F000001, "A123");
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);  // all switches off: no file
    EXPECT_NE(access("A123.log", F_OK), 0);
    ASSERT_EQ(CameraDisconnect(0), 0);

    SetLogLevel(1, 0, 0, 0);
    ASSERT_EQ(CameraConnect(0), 0);
    EXPECT_EQ(GetRegisterAddr(0, "NoSuchFeature"), -21);
    ASSERT_EQ(CameraDisconnect(0), 0);
    std::string text = slurp("A123.log");
    EXPECT_NE(text.find("[E]"), std::string::npos);
    EXPECT_EQ(text.find("[I]"), std::string::npos);
    EXPECT_NE(text.find("[function:GetRegisterAddr] Get the node error"), std::string::npos);

    ASSERT_EQ(CameraConnect(0), 0);  // a new connect truncates the file
    ASSERT_EQ(CameraDisconnect(0), 0);
    EXPECT_EQ(slurp("A123.log").find("[function:GetRegisterAddr]"), std::string::npos);

    DestroyCamera();
    EXPECT_EQ(gvcp_log_error_level.load(), 0);  // destroying a camera's log turns logging off
    EXPECT_EQ(chdir(old), 0);
    EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

TEST(ApiTable, ASerialNumberNeverPlacesTheLogFile)
{
    TempCwd cwd;  // the log goes to cwd/work, so that cwd/evil.log would show
    ASSERT_EQ(mkdir("work", 0700), 0);
    ASSERT_EQ(chdir("work"), 0);

    auto sim = camera_at(0x7F000001, "../evil");
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    SetLogLevel(1, 0, 0, 1);
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(CameraDisconnect(0), 0);
    DestroyCamera();
    EXPECT_NE(access((cwd.path() + "/evil.log").c_str(), F_OK), 0);
    EXPECT_NE(slurp("___evil.log").find("cameranumber: ___evil"), std::string::npos);
}

// The packet size found over real links of different MTUs.
TEST(ApiTable, PacketSizeFollowsThePathMtu)
{
    Topology net;
    net.add_namespace("jumbo");
    net.add_namespace("narrow");
    net.link("hostJ", "192.168.10.5/24", "jumbo", "eth0", "192.168.10.20/24", 9000);
    // The host believes in 9000 but the camera's side of this link is 1500:
    // no test packet above 1500 can pass without fragments.
    net.link("hostN", "192.168.11.5/24", "narrow", "eth0", "192.168.11.20/24", 9000);
    ASSERT_TRUE(net.in("narrow", "ip link set eth0 mtu 1500"));
    net.start_cameras("jumbo", {"--ip", "192.168.10.20", "--mask", "255.255.255.0", "--serial", "JUMBO"});
    net.start_cameras("narrow", {"--ip", "192.168.11.20", "--mask", "255.255.255.0", "--serial", "NARROW"});
    ASSERT_EQ(DiscoverCamera(), 2);
    ASSERT_EQ(CameraSort(SORT_BY_SERIAL_NUMBER), 0);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(CameraConnect(1), 0);
    int size = 0;
    ASSERT_EQ(ReadRegister(0, Stream_Channel_Packet_Size_Reg, &size), 0);
    EXPECT_EQ(size & 0xFFFF, 9000);
    ASSERT_EQ(ReadRegister(1, Stream_Channel_Packet_Size_Reg + 0x40, &size), 0);
    EXPECT_EQ(size & 0xFFFF, 1500);
    DestroyCamera();
}

}  // namespace
