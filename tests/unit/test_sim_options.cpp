// The simulator's command line without starting a camera: its help text,
// what every option sets, and the mistakes it refuses, each naming the option.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "sim_cli.h"
#include "vora_pixel_format.h"

namespace {

vsim::SimSettings settings(std::vector<std::string> args)
{
    args.insert(args.begin(), "vora-camsim");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return vsim::simulator_settings(static_cast<int>(args.size()), argv.data());
}

std::vector<std::string> words(const std::string& line)
{
    std::istringstream in(line);
    std::vector<std::string> out;
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

// The refusal's text, or "" when the line is accepted.
std::string refusal(const std::vector<std::string>& args)
{
    try {
        settings(args);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(SimOptions, TheHelpListsEveryOptionInItsColumns)
{
    EXPECT_EQ(vsim::simulator_usage("vora-camsim"),
              "usage: vora-camsim [options]\n"
              "Runs simulated cameras in the foreground until interrupted.\n"
              "  --ip A.B.C.D          address of the first camera (default 127.0.0.1);\n"
              "                        each further camera takes the next address\n"
              "  --mask A.B.C.D        subnet mask (default 255.0.0.0)\n"
              "  --gateway A.B.C.D     default gateway (default 0.0.0.0)\n"
              "  --cameras N           how many cameras (default 1)\n"
              "  --serial TEXT         serial number of the first camera; further cameras\n"
              "                        get TEXT-2, TEXT-3 ... (default SIM00001, SIM00002 ...)\n"
              "  --mac XX:XX:XX:XX:XX:XX  MAC of the first camera; the last byte counts up\n"
              "  --model TEXT          model name\n"
              "  --iface NAME          network interface the camera owns; a forced IP\n"
              "                        configuration is applied to it\n"
              "  --discovery-ack-len N answer discovery with N-byte datagrams (a fault)\n"
              "  --fps F               frames per second while free-running (default 10)\n"
              "  --noise MM            depth noise: points move along their rays by up to MM\n"
              "                        millimetres, differently in every frame (default 0)\n"
              "  --max-packet N        largest stream packet the camera sends (default 65535)\n"
              "  --send MODE           gso: payload packets of one size leave in trains the\n"
              "                        kernel cuts into datagrams (default, where it can);\n"
              "                        datagram: one datagram per send, as cameras do\n"
              "  --loss P              lose each stream packet with probability P (0..1)\n"
              "  --burst-loss N:L      every N-th frame loses L packets from its middle\n"
              "  --drop-leader, --drop-trailer   lose every leader / trailer\n"
              "  --reorder P, --duplicate P      swap / repeat packets with probability P\n"
              "  --stray               send junk datagrams from another address\n"
              "  --colour-format F     rgb8, yuv422 or bayerrg8 for the colour sensor\n"
              "  --ptp-jitter-us N     precision time: each synchronised reading of the clock\n"
              "                        is off by up to N microseconds (default 1)\n"
              "  --ptp-settle-ms N     precision time: the clock's offset settles over N ms\n"
              "                        (default 800)\n"
              "  --action-signals N    action signals (group key and mask pairs, default 2)\n"
              "  --action-queue N      scheduled actions held at once (default 4)\n"
              "  --no-actions          a camera without action commands and precision time\n"
              "  --action-fault F      ignore: actions go unanswered and fire nothing;\n"
              "                        any-group: answered and fired whatever their group;\n"
              "                        late-ack:MS: acknowledged MS ms late, fired at once\n"
              "  --seconds S           stop after S seconds\n"
              "  --version             the simulator's version\n"
              "Prints a line per camera, then \"ready\" once every camera listens.\n"
              "Exit codes: 0 stopped by a signal or --seconds, 1 a camera cannot listen,\n"
              "2 usage error.\n");
}

TEST(SimOptions, EveryOptionSetsWhatItSays)
{
    const vsim::SimSettings none = settings({});
    const vsim::SimConfig defaults;
    EXPECT_EQ(none.cameras, 1);
    EXPECT_EQ(none.serial, "");
    EXPECT_EQ(none.seconds, 0);
    EXPECT_EQ(none.base.ip, defaults.ip);
    EXPECT_EQ(none.base.frame_rate, defaults.frame_rate);
    EXPECT_EQ(none.base.send, vsim::SendMode::Gso);
    EXPECT_EQ(none.loss + none.reorder + none.duplicate, 0);
    EXPECT_EQ(none.burst_every + none.burst_length + none.discovery_ack_len, 0);
    EXPECT_FALSE(none.drop_leader || none.drop_trailer || none.stray);
    EXPECT_TRUE(none.base.actions);
    EXPECT_EQ(none.base.action_signals, 2u);
    EXPECT_EQ(none.base.action_queue, 4u);
    EXPECT_EQ(none.base.ptp_jitter_us, 1u);
    EXPECT_EQ(none.base.ptp_settle_ms, 800u);
    EXPECT_FALSE(none.action_ignore || none.action_any_group || none.action_ack_delay_ms);
    EXPECT_EQ(settings({"--help"}).cameras, 1);
    EXPECT_EQ(settings({"--version"}).cameras, 1);

    const vsim::SimSettings s = settings(
        words("--ip 10.1.2.3 --mask 255.255.0.0 --gateway 10.1.0.1 --cameras 3 --serial CAM --mac 02:0a:0b:0c:0d:0e "
              "--model M1 --iface veth0 --discovery-ack-len 12 --fps 2.5 --noise 1.5 --max-packet 1500 --loss 0.25 "
              "--burst-loss 4:7 --drop-leader --drop-trailer --reorder 0.5 --duplicate 0.75 --stray "
              "--colour-format yuv422 --seconds 3"));
    EXPECT_EQ(s.base.ip, 0x0A010203u);
    EXPECT_EQ(s.base.mask, 0xFFFF0000u);
    EXPECT_EQ(s.base.gateway, 0x0A010001u);
    EXPECT_EQ(s.cameras, 3);
    EXPECT_EQ(s.serial, "CAM");
    const uint8_t mac[6] = {0x02, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e};
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(s.base.mac[k], mac[k]) << k;
    EXPECT_EQ(s.base.model, "M1");
    EXPECT_EQ(s.base.iface, "veth0");
    EXPECT_EQ(s.discovery_ack_len, 12);
    EXPECT_EQ(s.base.frame_rate, 2.5);
    EXPECT_EQ(s.base.depth_noise_mm, 1.5);
    EXPECT_EQ(s.base.max_packet_size, 1500u);
    EXPECT_EQ(s.loss, 0.25);
    EXPECT_EQ(s.burst_every, 4);
    EXPECT_EQ(s.burst_length, 7);
    EXPECT_TRUE(s.drop_leader);
    EXPECT_TRUE(s.drop_trailer);
    EXPECT_EQ(s.reorder, 0.5);
    EXPECT_EQ(s.duplicate, 0.75);
    EXPECT_TRUE(s.stray);
    for (const vsim::SimSensor& sensor : s.base.sensors)
        EXPECT_EQ(sensor.pixel_format, sensor.colour ? PIXEL_FORMAT_YUV422_8 : defaults.sensors[0].pixel_format);
    EXPECT_EQ(s.seconds, 3);

    const vsim::SimSettings a =
        settings(words("--ptp-jitter-us 0 --ptp-settle-ms 50 --action-signals 5 --action-queue 16 --no-actions "
                       "--action-fault late-ack:250"));
    EXPECT_EQ(a.base.ptp_jitter_us, 0u);
    EXPECT_EQ(a.base.ptp_settle_ms, 50u);
    EXPECT_EQ(a.base.action_signals, 5u);
    EXPECT_EQ(a.base.action_queue, 16u);
    EXPECT_FALSE(a.base.actions);
    EXPECT_EQ(a.action_ack_delay_ms, 250);
    EXPECT_FALSE(a.action_ignore || a.action_any_group);
    EXPECT_TRUE(settings({"--action-fault", "ignore"}).action_ignore);
    EXPECT_TRUE(settings({"--action-fault", "any-group"}).action_any_group);
    EXPECT_EQ(settings({"--send", "datagram"}).base.send, vsim::SendMode::Datagram);
    EXPECT_EQ(settings({"--send", "datagram", "--send", "gso"}).base.send, vsim::SendMode::Gso);
}

TEST(SimOptions, MistakesAreRefusedNamingTheOption)
{
    for (const char* line : {"--ip 1.2.3",
                             "--mask x",
                             "--gateway 300.0.0.1",
                             "--cameras 251",
                             "--mac 02:00:00:00:00",
                             "--mac 02:00:00:00:00:1g",
                             "--discovery-ack-len 1501",
                             "--fps 0",
                             "--noise -1",
                             "--max-packet 575",
                             "--loss 1.5",
                             "--burst-loss 4",
                             "--burst-loss 0:3",
                             "--burst-loss 2:-1",
                             "--reorder x",
                             "--duplicate -0.1",
                             "--colour-format rgb16",
                             "--send GSO",
                             "--send",
                             "--send datagrams",
                             "--seconds 0",
                             "--drop-leader=1",
                             "--fps",
                             "--ptp-jitter-us -1",
                             "--ptp-settle-ms x",
                             "--action-signals 0",
                             "--action-signals 129",
                             "--action-queue 0",
                             "--no-actions=1",
                             "--action-fault sometimes",
                             "--action-fault late-ack:",
                             "--action-fault late-ack:-5",
                             "--frobnicate"}) {
        const std::vector<std::string> args = words(line);
        const std::string option = args[0].substr(0, args[0].find('='));
        EXPECT_NE(refusal(args).find(option), std::string::npos) << line << ": " << refusal(args);
    }
    EXPECT_EQ(refusal({"--loss", "2"}), "--loss must lie in 0..1, not 2");
    EXPECT_EQ(refusal({"--seconds", "1", "extra"}), "unexpected argument extra");
    EXPECT_EQ(refusal({"--send", ""}), "--send takes gso or datagram, not \"\"");
    EXPECT_EQ(refusal({"--action-fault", "late"}),
              "--action-fault takes ignore, any-group or late-ack:MS, not \"late\"");
}

TEST(SimOptions, CamerasMustFitAfterTheAddressAndTheirSerialNumbersInSixteenCharacters)
{
    EXPECT_EQ(refusal({"--ip", "10.0.0.10", "--cameras", "246"}), "");
    EXPECT_EQ(refusal({"--ip", "10.0.0.10", "--cameras", "247"}),
              "--cameras 247 do not fit after the first camera's address");
    EXPECT_EQ(refusal({"--serial", "ABCDEFGHIJKLMNOP"}), "");
    EXPECT_EQ(refusal({"--serial", "ABCDEFGHIJKLMN", "--cameras", "9"}), "");  // ...MN-9
    EXPECT_EQ(refusal({"--serial", "ABCDEFGHIJKLMN", "--cameras", "10"}),
              "--serial is too long: the serial numbers hold 16 characters");
}

}  // namespace
