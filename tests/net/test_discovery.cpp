// Discovery and force IP over real interfaces: loopback, and veth links to
// camera namespaces built for each test.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "camera/vora_gige_camera.h"
#include "discovery/vora_discovery.h"
#include "gvcp_codec.h"
#include "sim_camera.h"
#include "socket_address.h"
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

// A host at 127.0.0.2 that hears GVCP broadcasts and commands to its own
// address and answers each command with what `answer` makes of it: once, or
// with a period again and again (to the latest request) until it is
// destroyed. It sends at most `limit` datagrams in all.
class Responder {
public:
    struct Datagram {
        std::vector<uint8_t> bytes;
        bool from_gvcp_port = true;
    };
    using Answer = std::function<std::vector<Datagram>(const gvcp::CmdHeaderFields&)>;

    explicit Responder(Answer answer, std::chrono::milliseconds period = std::chrono::milliseconds(0), int limit = 2000)
        : answer_(std::move(answer)), period_(period), limit_(limit)
    {
        broadcast_ = bound(INADDR_BROADCAST, GVCP_PORT, true);
        unicast_ = bound(kAddress, GVCP_PORT, false);
        other_ = bound(kAddress, 0, false);
        EXPECT_TRUE(broadcast_ >= 0 && unicast_ >= 0 && other_ >= 0);
        thread_ = std::thread([this] { run(); });
    }
    ~Responder()
    {
        stop_ = true;
        thread_.join();
        for (int fd : {broadcast_, unicast_, other_})
            close(fd);
    }
    int commands() const { return commands_; }
    bool reached_limit() const { return sent_ >= limit_; }

    static constexpr uint32_t kAddress = 0x7F000002;

private:
    static int bound(uint32_t ip, uint16_t port, bool shared)
    {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        int one = 1;
        if (shared)
            setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = make_addr(ip, port);
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
            return fd;
        if (fd >= 0)
            close(fd);
        return -1;
    }

    void send_answers(const gvcp::CmdHeaderFields& cmd, const sockaddr_in& to)
    {
        for (const Datagram& d : answer_(cmd)) {
            if (sent_ >= limit_)
                return;
            sendto(d.from_gvcp_port ? unicast_ : other_, d.bytes.data(), d.bytes.size(), 0,
                   reinterpret_cast<const sockaddr*>(&to), sizeof to);
            ++sent_;
        }
    }

    void run()
    {
        gvcp::CmdHeaderFields last{};
        sockaddr_in requester{};
        bool asked = false;
        auto next = std::chrono::steady_clock::now();
        while (!stop_ && sent_ < limit_) {
            pollfd fds[2] = {{broadcast_, POLLIN, 0}, {unicast_, POLLIN, 0}};
            if (poll(fds, 2, 5) > 0) {
                for (const pollfd& p : fds) {
                    if (!(p.revents & POLLIN))
                        continue;
                    uint8_t buf[600];
                    sockaddr_in from{};
                    socklen_t len = sizeof from;
                    const ssize_t n = recvfrom(p.fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
                    if (n <= 0 || !gvcp::parse_cmd_header(buf, static_cast<size_t>(n), &last))
                        continue;
                    ++commands_;
                    requester = from;
                    asked = true;
                    if (period_.count() == 0)
                        send_answers(last, requester);
                }
            }
            if (period_.count() > 0 && asked && std::chrono::steady_clock::now() >= next) {
                send_answers(last, requester);
                next = std::chrono::steady_clock::now() + period_;
            }
        }
    }

    Answer answer_;
    std::chrono::milliseconds period_;
    int limit_;
    int broadcast_ = -1, unicast_ = -1, other_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<int> sent_{0};
    std::atomic<int> commands_{0};
    std::thread thread_;
};

// A well-formed discovery acknowledge of a camera at the responder's address.
std::vector<uint8_t> discovery_ack(uint16_t id, const char* serial, uint8_t mac_last = 0x99)
{
    std::vector<uint8_t> a(gvcp::DISCOVERY_ACK_LEN, 0);
    gvcp::put_ack_header(a.data(), gvcp::STATUS_SUCCESS, gvcp::DISCOVERY_ACK, 248, id);
    const uint8_t mac[6] = {0x02, 0x00, 0x00, 0x00, 0x00, mac_last};
    std::memcpy(a.data() + 18, mac, 6);
    gvcp::put_u32(a.data() + 44, Responder::kAddress);
    gvcp::put_u32(a.data() + 60, 0xFF000000);
    std::memcpy(a.data() + 224, serial, strnlen(serial, 16));
    return a;
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

TEST_P(WrongLength, IsNoCameraAndNeverEndsTheWindow)
{
    vsim::SimCamera sim;
    sim.faults.discovery_ack_len = GetParam();
    ASSERT_EQ(sim.start(), 0);
    EXPECT_EQ(DiscoverCamera(), 0);
    EXPECT_TRUE(discovery_info.empty());
    EXPECT_EQ(sim.command_count(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Lengths, WrongLength, ::testing::Values(255, 257));

TEST(DiscoveryAcks, OnlyWellFormedAcknowledgesToOurRequestBecomeCameras)
{
    vsim::SimCamera sim;
    ASSERT_EQ(sim.start(), 0);
    Responder fake([](const gvcp::CmdHeaderFields& cmd) {
        std::vector<Responder::Datagram> out;
        if (cmd.command != DISCOVERY_CMD)
            return out;
        auto ack = [&cmd] { return discovery_ack(cmd.req_id, "FAKE"); };
        std::vector<uint8_t> answer = ack(), other_request = ack(), failed = ack(), no_payload = ack(), longer = ack(),
                             shorter = ack();
        gvcp::put_u16(answer.data() + 2, gvcp::FORCEIP_ACK);
        gvcp::put_u16(other_request.data() + 6, static_cast<uint16_t>(cmd.req_id + 1));
        gvcp::put_u16(failed.data(), gvcp::STATUS_BUSY);
        gvcp::put_u16(no_payload.data() + 4, 0);
        longer.push_back(0);
        shorter.pop_back();
        for (auto* bytes : {&answer, &other_request, &failed, &no_payload, &longer, &shorter})
            out.push_back({*bytes, true});
        out.push_back({ack(), false});  // not from a control port
        return out;
    });
    EXPECT_EQ(DiscoverCamera(), 1);
    ASSERT_EQ(discovery_info.size(), 1u);
    EXPECT_EQ(serial(discovery_info[0]), "SIM00001");
    EXPECT_EQ(fake.commands(), 1);
}

TEST(DiscoveryAcks, TheWholeDiscoveryEndsWithinItsLimit)
{
    // Acknowledges to our request, well formed, from ever new cameras every
    // 20 ms for as long as 30 s: discovery ends long before the flood does.
    std::atomic<int> next_mac{0};
    {
        Responder flood(
            [&next_mac](const gvcp::CmdHeaderFields& cmd) {
                std::vector<Responder::Datagram> out;
                if (cmd.command == DISCOVERY_CMD)
                    out.push_back({discovery_ack(cmd.req_id, "FLOOD", static_cast<uint8_t>(++next_mac)), true});
                return out;
            },
            std::chrono::milliseconds(20), 1500);
        const auto t0 = std::chrono::steady_clock::now();
        const int found = DiscoverCamera();
        const auto elapsed = std::chrono::steady_clock::now() - t0;
        EXPECT_FALSE(flood.reached_limit());
        EXPECT_LT(elapsed, std::chrono::seconds(15));  // the limit is 3 s; this only tells it from 30
        EXPECT_GE(found, 1);
        EXPECT_EQ(static_cast<size_t>(found), discovery_info.size());
    }
    // Datagrams that are no acknowledge to our request do not keep the
    // window open at all.
    Responder noise(
        [](const gvcp::CmdHeaderFields& cmd) {
            std::vector<Responder::Datagram> out;
            if (cmd.command == DISCOVERY_CMD)
                out.push_back({discovery_ack(static_cast<uint16_t>(cmd.req_id + 7), "NOISE"), true});
            return out;
        },
        std::chrono::milliseconds(20), 1500);
    EXPECT_EQ(DiscoverCamera(), 0);
    EXPECT_FALSE(noise.reached_limit());
}

TEST(ForceIp, OnlyItsOwnAcknowledgeCounts)
{
    // Everything a confused or hostile host might send first.
    auto noise = [](const gvcp::CmdHeaderFields& cmd) {
        std::vector<Responder::Datagram> out;
        std::vector<uint8_t> other_answer(8), other_request(8), runt(6);
        gvcp::put_ack_header(other_answer.data(), gvcp::STATUS_SUCCESS, gvcp::READREG_ACK, 0, cmd.req_id);
        gvcp::put_ack_header(other_request.data(), gvcp::STATUS_SUCCESS, gvcp::FORCEIP_ACK, 0,
                             static_cast<uint16_t>(cmd.req_id - 1));
        std::vector<uint8_t> right_but_elsewhere(8);
        gvcp::put_ack_header(right_but_elsewhere.data(), gvcp::STATUS_SUCCESS, gvcp::FORCEIP_ACK, 0, cmd.req_id);
        out.push_back({other_answer, true});
        out.push_back({other_request, true});
        out.push_back({runt, true});
        out.push_back({right_but_elsewhere, false});
        return out;
    };
    auto own = [](const gvcp::CmdHeaderFields& cmd, uint16_t status) {
        std::vector<uint8_t> ack(8);
        gvcp::put_ack_header(ack.data(), status, gvcp::FORCEIP_ACK, 0, cmd.req_id);
        return Responder::Datagram{ack, true};
    };
    DiscoveryInfo info;
    std::memset(&info, 0, sizeof info);
    info.camera_ip = Responder::kAddress;
    info.camera_mask = info.computer_mask = 0xFF000000;
    info.computer_ip = 0x7F000001;
    char ip[] = "127.0.0.9", mask[] = "255.0.0.0", gateway[] = "127.0.0.1";
    Discovery d;
    {
        Responder host([&](const gvcp::CmdHeaderFields& cmd) {
            auto out = noise(cmd);
            out.push_back(own(cmd, gvcp::STATUS_SUCCESS));
            return out;
        });
        EXPECT_EQ(d.ForceIp(info, ip, mask, gateway), 0);
        EXPECT_EQ(host.commands(), 1);
    }
    {
        Responder host([&](const gvcp::CmdHeaderFields& cmd) {
            auto out = noise(cmd);
            out.push_back(own(cmd, gvcp::STATUS_ACCESS_DENIED));
            return out;
        });
        EXPECT_EQ(d.ForceIp(info, ip, mask, gateway), -4);
        EXPECT_EQ(host.commands(), 1);
    }
    Responder host(noise);
    EXPECT_EQ(d.ForceIp(info, ip, mask, gateway), -4);  // three sends, none acknowledged
    EXPECT_EQ(host.commands(), 3);
}

TEST(Discovery, ThreeCamerasBehindTwoInterfaces)
{
    Topology net;
    net.add_namespace("camA");
    net.add_namespace("camB");
    net.link("hostA", "192.168.1.5/24", "camA", "ethA", "192.168.1.20/24", 1500);
    net.link("hostB", "192.168.2.5/24", "camB", "ethB", "192.168.2.20/24", 9000);
    ASSERT_TRUE(net.in("camA", "ip addr add 192.168.1.21/24 dev ethA"));
    net.start_cameras("camA", {"--ip", "192.168.1.20", "--mask", "255.255.255.0", "--cameras", "2", "--serial", "A"},
                      2);
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
    net.start_cameras("cam", {"--ip", "10.0.0.20", "--mask", "255.0.0.0", "--serial", "FAR", "--iface", "eth0", "--mac",
                              "02:00:00:00:00:2a"});

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
