// Discovery and force IP over real interfaces: loopback, and veth links to
// camera namespaces built for each test.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "camera/vora_gige_camera.h"
#include "discovery/vora_discovery.h"
#include "gvcp/gvcp_codec.h"
#include "sim_camera.h"
#include "topology.h"
#include "vora_qelcamera_api.h"

namespace {

std::string serial(const DiscoveryInfo& d)
{
    return std::string(d.device_serial_number, strnlen(d.device_serial_number, 16));
}

std::string adapter(const DiscoveryInfo& d)
{
    return d.computer_adapter;
}

constexpr uint32_t ip4(int a, int b, int c, int d)
{
    return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | uint32_t(d);
}

TEST(Discovery, OneCameraOnLoopback)
{
    vsim::SimConfig config;
    config.serial = "LOOP0001";
    config.model = std::string(32, 'M');  // fills its field: no terminator
    vsim::SimCamera sim(config);
    ASSERT_EQ(sim.start(), 0);

    ASSERT_EQ(DiscoverCamera(), 1);
    ASSERT_EQ(discovery_info.size(), 1u);
    const DiscoveryInfo& d = discovery_info[0];
    EXPECT_EQ(d.camera_ip, ip4(127, 0, 0, 1));
    EXPECT_EQ(d.camera_mask, ip4(255, 0, 0, 0));
    EXPECT_EQ(d.camera_gateway, 0u);
    EXPECT_EQ(serial(d), "LOOP0001");
    EXPECT_STREQ(d.device_vendor_name, "Vora Vision");
    EXPECT_EQ(std::string(d.device_model_name, 32), std::string(32, 'M'));
    EXPECT_STREQ(d.device_version, "1.0.0-sim");
    // MAC bytes keep their wire order.
    const uint8_t* high = reinterpret_cast<const uint8_t*>(&d.camera_mac_high);
    const uint8_t* low = reinterpret_cast<const uint8_t*>(&d.camera_mac_low);
    EXPECT_EQ(high[0], 0x02);
    EXPECT_EQ(high[1], 0x56);
    EXPECT_EQ(low[0], 0x4F);
    EXPECT_EQ(low[3], 0x01);
    EXPECT_EQ(d.computer_ip, ip4(127, 0, 0, 1));
    EXPECT_EQ(d.computer_mask, ip4(255, 0, 0, 0));
    EXPECT_EQ(d.computer_gateway, 0u);
    EXPECT_EQ(d.mtu, 65536);
    EXPECT_EQ(adapter(d), "lo");
    EXPECT_STREQ(CameraIP(0), "127.0.0.1");
    EXPECT_TRUE(WhetherIsSameSegment(0));

    // The command as it went out, and a second discovery that replaces the list.
    auto cmds = sim.commands();
    ASSERT_EQ(cmds.size(), 1u);
    EXPECT_EQ(cmds[0].size(), 8u);
    EXPECT_EQ(cmds[0][0], 0x42);
    EXPECT_EQ(cmds[0][1], 0x11);
    EXPECT_EQ(gvcp::get_u16(cmds[0].data() + 2), DISCOVERY_CMD);
    EXPECT_EQ(gvcp::get_u16(cmds[0].data() + 4), 0);
    ASSERT_EQ(DiscoverCamera(), 1);
    EXPECT_EQ(discovery_info.size(), 1u);
    EXPECT_EQ(gvcp::get_u16(sim.commands()[1].data() + 6), gvcp::get_u16(cmds[0].data() + 6) + 1);
}

TEST(Discovery, NoCameraGivesAnEmptyListAndOneLogLinePerInterface)
{
    char dir[] = "/tmp/vora-disc-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    char old[4096];
    ASSERT_NE(getcwd(old, sizeof old), nullptr);
    ASSERT_EQ(chdir(dir), 0);
    SetLogLevel(1, 0, 0, 1);
    EXPECT_EQ(DiscoverCamera(), 0);
    EXPECT_TRUE(discovery_info.empty());
    SetLogLevel(0, 0, 0, 0);
    std::ifstream log("discovercamera.log");
    std::stringstream text;
    text << log.rdbuf();
    EXPECT_NE(text.str().find("[function:DiscoverCameraLinux] the interface num is: 1."), std::string::npos);
    EXPECT_NE(text.str().find("[E]"), std::string::npos);
    EXPECT_NE(text.str().find("Failed to receive the discover ack."), std::string::npos);
    EXPECT_EQ(chdir(old), 0);
    EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

class WrongLength : public ::testing::TestWithParam<int> {};

TEST_P(WrongLength, EndsTheWindowWithoutARecord)
{
    vsim::SimCamera sim;
    sim.faults.discovery_ack_len = GetParam();
    ASSERT_EQ(sim.start(), 0);
    EXPECT_EQ(DiscoverCamera(), 0);
    EXPECT_TRUE(discovery_info.empty());
    EXPECT_EQ(sim.command_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WrongLength, ::testing::Values(255, 257));

TEST(Discovery, ThreeCamerasBehindTwoInterfaces)
{
    Topology net;
    net.add_namespace("camA");
    net.add_namespace("camB");
    net.link("hostA", "192.168.1.5/24", "camA", "ethA", "192.168.1.20/24", 1500);
    net.link("hostB", "192.168.2.5/24", "camB", "ethB", "192.168.2.20/24", 9000);
    ASSERT_TRUE(net.in("camA", "ip addr add 192.168.1.21/24 dev ethA"));
    net.start_cameras("camA", {"--ip", "192.168.1.20", "--mask", "255.255.255.0", "--cameras", "2", "--serial", "A"}, 2);
    net.start_cameras("camB", {"--ip", "192.168.2.20", "--mask", "255.255.255.0", "--serial", "B"});

    ASSERT_EQ(DiscoverCamera(), 3);
    ASSERT_EQ(discovery_info.size(), 3u);
    // hostB comes last in the interface list, so its camera comes first.
    EXPECT_EQ(serial(discovery_info[0]), "B");
    EXPECT_EQ(adapter(discovery_info[0]), "hostB");
    EXPECT_EQ(discovery_info[0].mtu, 9000);
    EXPECT_EQ(discovery_info[0].computer_ip, ip4(192, 168, 2, 5));
    std::set<std::string> rest{serial(discovery_info[1]), serial(discovery_info[2])};
    EXPECT_EQ(rest, (std::set<std::string>{"A", "A-2"}));
    for (int i = 1; i < 3; ++i) {
        EXPECT_EQ(adapter(discovery_info[i]), "hostA");
        EXPECT_EQ(discovery_info[i].mtu, 1500);
        EXPECT_EQ(discovery_info[i].computer_mask, ip4(255, 255, 255, 0));
    }
    ASSERT_EQ(CameraSort(SORT_BY_IP), 0);
    EXPECT_EQ(discovery_info[0].camera_ip, ip4(192, 168, 1, 20));
    EXPECT_EQ(discovery_info[1].camera_ip, ip4(192, 168, 1, 21));
    EXPECT_EQ(discovery_info[2].camera_ip, ip4(192, 168, 2, 20));
    ASSERT_EQ(CameraSort(SORT_BY_SERIAL_NUMBER), 0);
    EXPECT_EQ(serial(discovery_info[0]), "A");
    EXPECT_EQ(serial(discovery_info[1]), "A-2");
    EXPECT_EQ(serial(discovery_info[2]), "B");
}

TEST(Discovery, ACameraOnTwoInterfacesIsListedTwice)
{
    Topology net;
    net.add_namespace("cam");
    net.link("hostA", "192.168.1.5/24", "cam", "eth0", "192.168.1.20/24", 1500);
    net.link("hostB", "192.168.2.5/24", "cam", "eth1", "192.168.2.20/24", 9000);
    net.start_cameras("cam", {"--ip", "192.168.1.20", "--mask", "255.255.255.0", "--serial", "TWICE"});

    ASSERT_EQ(DiscoverCamera(), 2);
    EXPECT_EQ(serial(discovery_info[0]), "TWICE");
    EXPECT_EQ(serial(discovery_info[1]), "TWICE");
    EXPECT_EQ(discovery_info[0].camera_ip, discovery_info[1].camera_ip);
    EXPECT_EQ(adapter(discovery_info[0]), "hostB");
    EXPECT_EQ(discovery_info[0].computer_ip, ip4(192, 168, 2, 5));
    EXPECT_EQ(discovery_info[0].mtu, 9000);
    EXPECT_EQ(adapter(discovery_info[1]), "hostA");
    EXPECT_EQ(discovery_info[1].computer_ip, ip4(192, 168, 1, 5));
    EXPECT_EQ(discovery_info[1].mtu, 1500);
}

TEST(Discovery, SeesPastTheTwentyFourthInterface)
{
    Topology net;
    for (int i = 0; i < 25; ++i) {
        const std::string dev = "pad" + std::to_string(i);
        ASSERT_TRUE(Topology::run("ip link add " + dev + " type veth peer name " + dev + "p"));
        ASSERT_TRUE(Topology::run("ip addr add 10.1." + std::to_string(i) + ".1/24 dev " + dev));
        ASSERT_TRUE(Topology::run("ip link set " + dev + " up"));
        ASSERT_TRUE(Topology::run("ip link set " + dev + "p up"));
    }
    net.add_namespace("cam");
    net.link("last", "192.168.7.5/24", "cam", "eth0", "192.168.7.20/24", 1500);
    net.start_cameras("cam", {"--ip", "192.168.7.20", "--mask", "255.255.255.0", "--serial", "FAR-END"});
    ASSERT_EQ(DiscoverCamera(), 1);
    EXPECT_EQ(serial(discovery_info[0]), "FAR-END");
    EXPECT_EQ(adapter(discovery_info[0]), "last");
}

TEST(ForceIp, BringsACameraFromAnotherSubnetIntoTheHostsOwn)
{
    Topology net;
    net.add_namespace("cam");
    net.link("host0", "192.168.1.5/24", "cam", "eth0", "10.0.0.20/8", 1500);
    // The camera answers whoever asks, on its own link, whatever the subnet.
    ASSERT_TRUE(net.in("cam", "ip route add default dev eth0"));
    net.start_cameras("cam", {"--ip", "10.0.0.20", "--mask", "255.0.0.0", "--serial", "FAR", "--iface", "eth0",
                              "--mac", "02:00:00:00:00:2a"});

    ASSERT_EQ(DiscoverCamera(), 1);
    EXPECT_EQ(discovery_info[0].camera_ip, ip4(10, 0, 0, 20));
    EXPECT_FALSE(WhetherIsSameSegment(0));
    char ip[] = "192.168.1.20", mask[] = "255.255.255.0", gateway[] = "192.168.1.1";
    ASSERT_EQ(ForceIP(0, ip, mask, gateway), 0);

    ASSERT_EQ(DiscoverCamera(), 1);
    EXPECT_EQ(discovery_info[0].camera_ip, ip4(192, 168, 1, 20));
    EXPECT_EQ(discovery_info[0].camera_mask, ip4(255, 255, 255, 0));
    EXPECT_EQ(discovery_info[0].camera_gateway, ip4(192, 168, 1, 1));
    EXPECT_TRUE(WhetherIsSameSegment(0));

    // Now plain unicast reaches it.
    GigeCamera camera;
    ASSERT_EQ(camera.open_control_channel(ip4(192, 168, 1, 20), ip4(192, 168, 1, 5)), 0);
    int value = 0;
    ASSERT_EQ(camera.ReadRegister(0x0024, &value), 0);
    EXPECT_EQ(static_cast<uint32_t>(value), ip4(192, 168, 1, 20));
}

TEST(ForceIp, SameSegmentGoesToTheCameraAndOtherMacsAreIgnored)
{
    vsim::SimConfig config;
    config.ip = ip4(127, 0, 0, 5);
    vsim::SimCamera sim(config);
    ASSERT_EQ(sim.start(), 0);
    ASSERT_EQ(DiscoverCamera(), 1);

    Discovery d;
    DiscoveryInfo other = discovery_info[0];
    other.camera_mac_low ^= 0xFF000000;  // someone else's MAC
    char ip[] = "127.0.0.9", mask[] = "255.0.0.0", gateway[] = "127.0.0.1";
    EXPECT_EQ(d.ForceIp(other, ip, mask, gateway), -4);  // three unanswered sends
    EXPECT_EQ(sim.ip(), ip4(127, 0, 0, 5));

    sim.clear_commands();
    ASSERT_EQ(d.ForceIp(discovery_info[0], ip, mask, gateway), 0);
    auto cmds = sim.commands();
    ASSERT_EQ(cmds.size(), 1u);
    const auto& c = cmds[0];
    ASSERT_EQ(c.size(), 64u);
    EXPECT_EQ(c[1], 0x88);  // unicast to the camera's own address
    EXPECT_EQ(gvcp::get_u16(c.data() + 2), FORCEIP_CMD);
    EXPECT_EQ(gvcp::get_u16(c.data() + 4), 0x38);
    EXPECT_EQ(std::vector<uint8_t>(c.begin() + 10, c.begin() + 16),
              (std::vector<uint8_t>{0x02, 0x56, 0x4F, 0x52, 0x00, 0x01}));
    EXPECT_EQ(gvcp::get_u32(c.data() + 28), ip4(127, 0, 0, 9));
    EXPECT_EQ(gvcp::get_u32(c.data() + 44), ip4(255, 0, 0, 0));
    EXPECT_EQ(gvcp::get_u32(c.data() + 60), ip4(127, 0, 0, 1));
    EXPECT_EQ(sim.ip(), ip4(127, 0, 0, 9));
    ASSERT_EQ(DiscoverCamera(), 1);
    EXPECT_STREQ(CameraIP(0), "127.0.0.9");
}

}  // namespace
