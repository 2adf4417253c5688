// The vora command-line tool and the minimal example, run as programs
// against simulated cameras of this process: exit codes, what they print,
// the files they write, and that the camera is free again afterwards.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "eventually.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_scene.h"
#include "vora_base_type.h"
#include "vora_pixel_format.h"

namespace {

std::string build_dir()
{
    const std::string library = VORA_LIBRARY_PATH;
    return library.substr(0, library.rfind('/'));
}

std::string vora_path()
{
    return build_dir() + "/vora";
}

std::string example_path()
{
    return build_dir() + "/examples/minimal_capture";
}

using vora_test::Child;
using vora_test::Outcome;
using vora_test::TempDir;

// The sanitizers slow every process several times over, and CI runs them
// beside other work: deadlines on other threads and processes scale with it.
constexpr int kSlowdown = kTestSlowdown;

std::chrono::seconds deadline(int seconds)
{
    return std::chrono::seconds(seconds * kSlowdown);
}

// The tool's command line as the tests run it: a command that finds a
// camera keeps discovering until the camera answers, and a capture waits
// for a channel's frames, for as long as a busy machine may need, unless
// the test says how long itself.
std::vector<std::string> tool_args(std::vector<std::string> args)
{
    static const std::set<std::string> finding = {"list",     "info",    "features", "get",    "set",  "execute",
                                                  "save-xml", "capture", "force-ip", "record", "view", "sync-status"};
    const auto given = [&](const char* option) { return std::find(args.begin(), args.end(), option) != args.end(); };
    if (!args.empty() && finding.count(args[0]) && !given("--wait"))
        args.insert(args.begin() + 1, {"--wait", std::to_string(20 * kSlowdown)});
    if (!args.empty() && args[0] == "capture" && !given("--timeout"))
        args.insert(args.begin() + 1, {"--timeout", std::to_string(60 * kSlowdown)});
    return args;
}

Outcome vora(const std::vector<std::string>& args)
{
    Child child(vora_path(), tool_args(args));
    return child.finish(deadline(90));
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::set<std::string> files_in(const std::string& dir)
{
    std::set<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// Width, height, bit depth and colour type from a PNG's header.
struct PngHeader {
    uint32_t width = 0, height = 0;
    int depth = 0, colour = -1;
};

PngHeader png_header(const std::string& path)
{
    const std::string bytes = slurp(path);
    PngHeader h;
    if (bytes.size() < 26 || bytes.compare(1, 3, "PNG") != 0 || bytes.compare(12, 4, "IHDR") != 0)
        return h;
    const auto* b = reinterpret_cast<const uint8_t*>(bytes.data());
    h.width = uint32_t(b[16]) << 24 | uint32_t(b[17]) << 16 | uint32_t(b[18]) << 8 | b[19];
    h.height = uint32_t(b[20]) << 24 | uint32_t(b[21]) << 16 | uint32_t(b[22]) << 8 | b[23];
    h.depth = b[24];
    h.colour = b[25];
    return h;
}

// The figures of one channel in the capture summary.
struct ChannelFigures {
    unsigned complete = 0, incomplete = 0, captured = 0, saved = 0;
    unsigned resend_requested = 0, resent = 0;
    // Frames that never reached the tool, and packets without a free buffer.
    unsigned lost_on_network = 0, not_taken_in_time = 0, waiting = 0, no_buffer = 0, no_buffer_after = 0;
    bool missing_found = false;
    double p50 = -1, p90 = -1, p99 = -1, max = -1;
    bool found = false;
};

ChannelFigures figures(const std::string& summary, int channel)
{
    ChannelFigures f;
    const std::string head = "channel " + std::to_string(channel) + ":";
    const size_t at = summary.find(head);
    if (at == std::string::npos)
        return f;
    const size_t end = summary.find("\nchannel ", at + 1);
    const std::string block = summary.substr(at, end == std::string::npos ? std::string::npos : end - at);
    std::smatch m;
    if (std::regex_search(block, m, std::regex("complete (\\d+), incomplete (\\d+), captured (\\d+), saved (\\d+)"))) {
        f.complete = std::stoul(m[1]);
        f.incomplete = std::stoul(m[2]);
        f.captured = std::stoul(m[3]);
        f.saved = std::stoul(m[4]);
        f.found = true;
    }
    if (std::regex_search(block, m, std::regex("resend requested (\\d+), resent (\\d+)"))) {
        f.resend_requested = std::stoul(m[1]);
        f.resent = std::stoul(m[2]);
    }
    if (std::regex_search(block, m,
                          std::regex("not captured: +lost on the network (\\d+), not taken in time (\\d+) "
                                     "\\(no free buffer\\), waiting at the end (\\d+)"))) {
        f.lost_on_network = std::stoul(m[1]);
        f.not_taken_in_time = std::stoul(m[2]);
        f.waiting = std::stoul(m[3]);
        f.missing_found = true;
    }
    if (std::regex_search(block, m, std::regex("no free buffer (\\d+) \\((\\d+) after the last frame taken\\)"))) {
        f.no_buffer = std::stoul(m[1]);
        f.no_buffer_after = std::stoul(m[2]);
    }
    if (std::regex_search(block, m,
                          std::regex("p50 ([0-9.]+) ms, p90 ([0-9.]+) ms, p99 ([0-9.]+) ms \\(min [0-9.]+ ms, "
                                     "max ([0-9.]+) ms"))) {
        f.p50 = std::stod(m[1]);
        f.p90 = std::stod(m[2]);
        f.p99 = std::stod(m[3]);
        f.max = std::stod(m[4]);
    }
    return f;
}

class VoraTool : public ::testing::Test {
protected:
    vsim::SimCamera& camera(uint32_t ip = 0x7F000001, const std::string& serial = "SIM00001",
                            vsim::SimConfig config = vsim::SimConfig())
    {
        config.ip = ip;
        config.serial = serial;
        config.mac[5] = static_cast<uint8_t>(ip);
        sims_.push_back(std::make_unique<vsim::SimCamera>(config));
        EXPECT_EQ(sims_.back()->start(), 0);
        return *sims_.back();
    }

    // Shrinks every sensor's region so that captures move little data.
    static void small_regions(vsim::SimCamera& sim, uint32_t width = 160, uint32_t height = 120)
    {
        for (uint32_t s = 0; s < 3; ++s) {
            sim.write_reg(vsim::SENSOR_BASE + s * vsim::SENSOR_STRIDE + vsim::SN_WIDTH, width);
            sim.write_reg(vsim::SENSOR_BASE + s * vsim::SENSOR_STRIDE + vsim::SN_HEIGHT, height);
        }
    }

    // Nothing of the session is left on the camera.
    static void expect_released(vsim::SimCamera& sim)
    {
        EXPECT_FALSE(sim.controlled_by_someone());
        EXPECT_FALSE(sim.acquiring());
        for (uint32_t ch = 0; ch < 3; ++ch)
            EXPECT_EQ(sim.read_reg(Stream_Channel_0_Port_Reg + ch * 0x40) & 0xFFFF, 0u) << "channel " << ch;
    }

    std::vector<std::unique_ptr<vsim::SimCamera>> sims_;
};

// ---- the command line itself ----

TEST_F(VoraTool, HelpNamesEveryCommandAndTheExitCodes)
{
    const Outcome top = vora({"--help"});
    ASSERT_EQ(top.code, 0) << top.err;
    for (const char* command : {"list", "info", "features", "get", "set", "execute", "save-xml", "capture", "force-ip",
                                "sim", "sync-status"}) {
        EXPECT_NE(top.out.find("  " + std::string(command) + " "), std::string::npos) << command;
        const Outcome sub = vora({command, "--help"});
        EXPECT_EQ(sub.code, 0) << command << ": " << sub.err;
        EXPECT_NE(sub.out.find("usage: vora " + std::string(command)), std::string::npos) << command;
    }
    for (const char* code : {"  0 ", "  1 ", "  2 ", "  3 ", "  130 "})
        EXPECT_NE(top.out.find(code), std::string::npos) << code;
    EXPECT_NE(vora({"capture", "--help"}).out.find("Exit codes"), std::string::npos);
}

TEST_F(VoraTool, UsageErrorsExitWith2BeforeTouchingTheCamera)
{
    vsim::SimCamera& sim = camera();
    TempDir dir;
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"frobnicate"},
        {"--frobnicate", "list"},
        {"list", "extra"},
        {"info", "-c"},
        {"info", "-c", ""},
        {"info", "--json=yes"},
        {"capture", "--frames", "2"},  // no --out
        {"capture", "--out", dir.path(), "--frames", "0"},
        {"capture", "--out", dir.path(), "--frames", "2", "--seconds", "1"},
        {"capture", "--out", dir.path(), "--format", "jpeg"},
        {"capture", "--out", dir.path(), "--channels", "0,3"},
        {"capture", "--out", dir.path(), "--channels", "1,1"},
        {"capture", "--out", dir.path(), "--filter", "median"},
        {"capture", "--out", dir.path(), "--resend", "maybe"},
        {"get"},
        {"get", "Width[3]"},  // the region is per stream channel, 0..2
        {"get", "Width[x]"},
        {"set", "Laserbrightness"},
        {"set", "Laserbrightness="},
        {"execute"},
        {"list", "--wait", "-1"},
        {"info", "--wait", "soon"},
        {"get", "Width", "--wait"},
        {"--wait", "1", "export", "x.mcap", "--out", dir.path()},  // finds no camera: no --wait
        {"force-ip", "127.0.0.9", "255.0.0.0"},
        {"force-ip", "127.0.0.300", "255.0.0.0", "127.0.0.1"},
        {"force-ip", "127.0.0.9", "255.0.0.0", "0.0.0.0"},
        {"force-ip", "127.0.0.9", "255.0.255.0", "127.0.0.1"},  // not a contiguous mask
        {"capture", "--out", dir.path(), "--format", "pcd,ply,jpeg"},
        {"record", "--channels", "0,3", "--frames", "1", dir.path() + "/beyond.mcap"},
        {"export", dir.path() + "/x.mcap", "--channels", "2,2", "--out", dir.path()},
        {"save-xml"},
    };
    for (const auto& args : bad) {
        std::string text;
        for (const auto& a : args)
            text += a + " ";
        const Outcome r = vora(args);
        EXPECT_EQ(r.code, 2) << text << "\n" << r.err;
        EXPECT_FALSE(r.err.empty()) << text;
    }
    EXPECT_EQ(sim.command_count(), 0u);  // not even discovery reached it
}

TEST_F(VoraTool, NoCameraExitsWith3)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"list", "--wait", "0"}, {"info", "--wait=0.5"}, {"--wait", "0", "get", "Width"}}) {
        const Outcome r = vora(args);
        EXPECT_EQ(r.code, 3) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("no camera"), std::string::npos) << r.err;
    }
    vsim::SimCamera& sim = camera();
    const Outcome beyond = vora({"info", "--wait", "0", "-c", "1"});
    EXPECT_EQ(beyond.code, 3) << beyond.err;
    EXPECT_FALSE(sim.controlled_by_someone());
}

// ---- discovery and network configuration ----

TEST_F(VoraTool, ACommandStartedBeforeTheCameraWaitsForIt)
{
    // A socket where the camera will listen shows the tool's first request
    // going out while there is no camera yet to answer it.
    const int listener = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(listener, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_port = htons(3956);
    where.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where), 0) << std::strerror(errno);
    const auto asked = [&] {
        pollfd p{listener, POLLIN, 0};
        const bool came = poll(&p, 1, static_cast<int>(deadline(60).count() * 1000)) == 1;
        char drain[600];
        while (recv(listener, drain, sizeof drain, MSG_DONTWAIT) > 0) {
        }
        return came;
    };

    // --wait 0 asks once: a camera that comes later is not found.
    Child once(vora_path(), {"info", "--wait", "0"});
    ASSERT_TRUE(asked());
    {
        vsim::SimCamera late;
        ASSERT_EQ(late.start(), 0);
        const Outcome r = once.finish(deadline(60));
        EXPECT_EQ(r.code, 3) << r.err;
    }

    // By default the tool keeps asking for a few seconds.
    Child waiting(vora_path(), {"info"});
    ASSERT_TRUE(asked());
    vsim::SimCamera& sim = camera();
    const Outcome r = waiting.finish(deadline(60));
    close(listener);
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out.rfind("camera 0: SIM00001", 0), 0u) << r.out;
    expect_released(sim);

    // A command naming its camera waits until that one answers, whoever
    // else does.
    const size_t commands = sim.command_count();
    Child named(vora_path(), tool_args({"get", "-c", "SIMLATE", "DeviceSerialNumber"}));
    ASSERT_TRUE(
        eventually([&] { return sim.command_count() > commands; }, std::chrono::seconds(60)));  // SIM00001 answered
    vsim::SimConfig config;
    config.serial = "SIMLATE";
    config.mac[5] = 2;
    config.ip = 0x7F000002;
    vsim::SimCamera later(config);
    ASSERT_EQ(later.start(), 0);
    const Outcome found = named.finish(deadline(60));
    ASSERT_EQ(found.code, 0) << found.err;
    EXPECT_EQ(found.out, "DeviceSerialNumber=SIMLATE\n");
}

TEST_F(VoraTool, ListIsSortedBySerialAndShowsWhoHoldsControl)
{
    camera(0x7F000001, "SIMB");
    vsim::SimCamera& a = camera(0x7F000002, "SIMA");
    a.set_foreign_control(true);
    const Outcome r = vora({"list"});
    ASSERT_EQ(r.code, 0) << r.err;
    std::istringstream lines(r.out);
    std::string header, first, second;
    std::getline(lines, header);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_NE(header.find("serial"), std::string::npos);
    EXPECT_EQ(first.rfind("0  SIMA", 0), 0u) << first;
    EXPECT_EQ(second.rfind("1  SIMB", 0), 0u) << second;
    EXPECT_NE(first.find("127.0.0.2/8"), std::string::npos) << first;
    EXPECT_NE(first.find("lo 127.0.0.1/8"), std::string::npos) << first;
    EXPECT_NE(first.find("same"), std::string::npos);
    EXPECT_NE(first.find("control (0x2)"), std::string::npos) << first;
    EXPECT_NE(second.find("free"), std::string::npos) << second;
    EXPECT_NE(first.find("Q3D-S Simulated"), std::string::npos);

    // The index of `list` is the index of every other command.
    const Outcome info = vora({"info", "-c", "1"});
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_EQ(info.out.rfind("camera 1: SIMB", 0), 0u) << info.out;
    const Outcome busy = vora({"info", "-c", "0"});
    EXPECT_EQ(busy.code, 1);
    EXPECT_NE(busy.err.find("SIMA"), std::string::npos) << busy.err;
}

TEST_F(VoraTool, ForceIpMovesTheCameraAndFindsItAgain)
{
    vsim::SimCamera& sim = camera(0x7F000005, "MOVER");
    const Outcome r = vora({"force-ip", "-c", "0", "127.0.0.9", "255.0.0.0", "127.0.0.1"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(sim.ip(), 0x7F000009u);
    EXPECT_EQ(sim.read_reg(0x0024), 0x7F000009u);
    EXPECT_NE(r.out.find("127.0.0.5/8 -> 127.0.0.9"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("now answers at 127.0.0.9/8"), std::string::npos) << r.out;
    const Outcome list = vora({"list"});
    EXPECT_NE(list.out.find("127.0.0.9/8"), std::string::npos) << list.out;
}

// ---- one camera's description and features ----

TEST_F(VoraTool, InfoPrintsIdentityChannelsAndCalibration)
{
    vsim::SimCamera& sim = camera();
    sim.write_reg(vsim::SENSOR_BASE + 2 * vsim::SENSOR_STRIDE + vsim::SN_EXPOSURE_TIME, 4321);
    small_regions(sim, 320, 240);
    const Outcome r = vora({"info"});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::string& o = r.out;
    EXPECT_NE(o.find("camera 0: SIM00001"), std::string::npos);
    EXPECT_NE(o.find("Vora Vision"), std::string::npos);
    EXPECT_NE(o.find("heartbeat timeout  3000 ms"), std::string::npos) << o;
    EXPECT_NE(o.find("stream channels    3"), std::string::npos) << o;
    EXPECT_NE(o.find("sensors            3"), std::string::npos) << o;
    EXPECT_NE(o.find("sensor 1, RGB8, 320x240 at (0,0)"), std::string::npos) << o;
    EXPECT_NE(o.find("payload 460800 bytes"), std::string::npos) << o;  // 320 x 240 x 6
    EXPECT_NE(o.find("exposure         4321 us"), std::string::npos) << o;
    for (size_t s = 0; s < 3; ++s) {
        const vsim::SimSensor& want = sim.config().sensors[s];
        char text[160];
        std::snprintf(text, sizeof text, "fx %g fy %g cx %g cy %g", static_cast<double>(want.K[0]),
                      static_cast<double>(want.K[4]), static_cast<double>(want.K[2]), static_cast<double>(want.K[5]));
        EXPECT_NE(o.find(text), std::string::npos) << text;
        std::snprintf(text, sizeof text, "translation      %g %g %g mm", static_cast<double>(want.T[0]),
                      static_cast<double>(want.T[1]), static_cast<double>(want.T[2]));
        EXPECT_NE(o.find(text), std::string::npos) << text;
    }
    expect_released(sim);
}

TEST_F(VoraTool, FeaturesShowTypeAccessValueBoundsAndEntries)
{
    vsim::SimCamera& sim = camera();
    sim.write_reg(vsim::REG_LASER_BRIGHTNESS, 70);
    const Outcome r = vora({"features"});
    // The simulated camera refuses to read its fan speed: the list shows it
    // as an error and says why; the rest is listed.
    EXPECT_EQ(r.code, 0) << r.err;
    EXPECT_NE(r.err.find("reading DeviceFanSpeed: "), std::string::npos) << r.err;
    std::map<std::string, std::string> rows;  // name -> the rest of its line, spaces squeezed
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name, field, rest;
        fields >> name;
        while (fields >> field)
            rest += (rest.empty() ? "" : " ") + field;
        rows[name] = rest;
    }
    EXPECT_EQ(rows["Laserbrightness"], "integer RW 70 1 100 1");
    EXPECT_EQ(rows["Width"], "integer RW 1280 16 1280 8");
    EXPECT_EQ(rows["ExposureTime"], "integer RW 5000 us 10 100000 1");
    EXPECT_EQ(rows["TriggerMode"], "enumeration RW Off (0) - - - Off=0,On=1");
    EXPECT_EQ(rows["DeviceSerialNumber"], "string RO SIM00001 - - -");
    EXPECT_EQ(rows["AcquisitionStart"], "command WO - - - -");
    EXPECT_EQ(rows["DeviceFanSpeed"].rfind("integer RO error ", 0), 0u) << rows["DeviceFanSpeed"];
    EXPECT_EQ(rows.count("PayloadSize"), 1u);
    EXPECT_EQ(rows.count("ImageFormatControl"), 0u);  // categories are not features
    EXPECT_EQ(rows.count("WidthReg"), 0u);            // nor the registers behind them
    bool a_float = false;                             // shown with its bounds as numbers
    for (const auto& row : rows)
        if (row.second.rfind("float ", 0) == 0)
            a_float = std::regex_match(row.second, std::regex(R"(float (RW|RO) \S+( \S+)? \S+ \S+ \S+)"));
    EXPECT_TRUE(a_float) << r.out;

    // One category's features; an unknown category is a mistake of the command line.
    const Outcome light = vora({"features", "--category", "LightControl"});
    ASSERT_EQ(light.code, 0) << light.err;
    EXPECT_NE(light.out.find("Laserbrightness"), std::string::npos) << light.out;
    EXPECT_EQ(light.out.find("Width"), std::string::npos) << light.out;
    EXPECT_EQ(vora({"features", "--category", "NoSuchCategory"}).code, 2);
    expect_released(sim);
}

TEST_F(VoraTool, SetThenGetRoundTripsThroughTheCamera)
{
    vsim::SimCamera& sim = camera();
    const Outcome set = vora({"set", "Laserbrightness=80", "ExposureTime[1]=7000", "GevHeartbeatTimeout=0x1388",
                              "Width[0]=640", "TriggerMode=on", "DeviceUserID=bench 2"});
    ASSERT_EQ(set.code, 0) << set.err;
    EXPECT_NE(set.out.find("Laserbrightness=80\n"), std::string::npos) << set.out;
    EXPECT_NE(set.out.find("ExposureTime[1]=7000\n"), std::string::npos) << set.out;
    EXPECT_EQ(sim.read_reg(vsim::REG_LASER_BRIGHTNESS), 80u);
    EXPECT_EQ(sim.read_reg(vsim::SENSOR_BASE + vsim::SENSOR_STRIDE + vsim::SN_EXPOSURE_TIME), 7000u);
    EXPECT_EQ(sim.read_reg(vsim::SENSOR_BASE + vsim::SN_EXPOSURE_TIME), 5000u);  // the other sensors kept theirs
    EXPECT_EQ(sim.read_reg(Heartbeat_Timeout_Reg), 5000u);
    EXPECT_EQ(sim.read_reg(vsim::SENSOR_BASE + vsim::SN_WIDTH), 640u);
    EXPECT_EQ(sim.read_reg(vsim::REG_TRIGGER_MODE), 1u);

    const Outcome get = vora({"get", "Laserbrightness", "ExposureTime[1]", "GevHeartbeatTimeout", "Width[0]",
                              "TriggerMode", "DeviceSerialNumber", "PixelFormat[1]", "PayloadSize[0]"});
    ASSERT_EQ(get.code, 0) << get.err;
    EXPECT_EQ(get.out,
              "Laserbrightness=80\nExposureTime[1]=7000\nGevHeartbeatTimeout=5000\nWidth[0]=640\nTriggerMode=On\n"
              "DeviceSerialNumber=SIM00001\nPixelFormat[1]=RGB8\nPayloadSize[0]=" +
                  std::to_string(640 * 1024 * 6) + "\n");
    EXPECT_EQ(vora({"get", "DeviceUserID"}).out, "DeviceUserID=bench 2\n");

    // What get prints, set takes back.
    const Outcome again = vora({"set", "PixelFormat[1]=RGB8", "Laserbrightness=80", "TriggerMode=On"});
    EXPECT_EQ(again.code, 0) << again.err;
    expect_released(sim);
}

TEST_F(VoraTool, RefusedWritesStopAndFailWith1)
{
    vsim::SimCamera& sim = camera();
    const Outcome range = vora({"set", "Laserbrightness=101", "StrobeLEDbrightress=20"});
    EXPECT_EQ(range.code, 1);
    EXPECT_NE(range.err.find("Laserbrightness: 101 is out of range 1..100"), std::string::npos) << range.err;
    EXPECT_EQ(sim.read_reg(vsim::REG_LASER_BRIGHTNESS), 50u);
    EXPECT_EQ(sim.read_reg(vsim::REG_STROBE_LED_BRIGHTNESS), 50u);  // stopped at the first refusal

    const Outcome missing = vora({"get", "NoSuchFeature", "Laserbrightness"});
    EXPECT_EQ(missing.code, 1);
    EXPECT_NE(missing.err.find("NoSuchFeature: no such feature"), std::string::npos) << missing.err;
    EXPECT_EQ(missing.out, "Laserbrightness=50\n");  // the others are still read

    sim.faults.fail_address = vsim::REG_LASER_BRIGHTNESS;
    const Outcome device = vora({"set", "Laserbrightness=60"});
    EXPECT_EQ(device.code, 1);
    EXPECT_NE(device.err.find("Laserbrightness: "), std::string::npos) << device.err;  // the library's message
    EXPECT_EQ(device.out, "");
    expect_released(sim);
}

TEST_F(VoraTool, SetChecksEveryAssignmentBeforeWritingAny)
{
    vsim::SimCamera& sim = camera();
    const uint32_t exposure = vsim::SENSOR_BASE + vsim::SN_EXPOSURE_TIME;
    const uint32_t gain = sim.read_reg(vsim::REG_ANALOG_GAIN);
    const Outcome range = vora({"set", "ExposureTime=7000", "Laserbrightness=101", "analoggain=3"});
    EXPECT_EQ(range.code, 1);
    EXPECT_NE(range.err.find("Laserbrightness: 101 is out of range 1..100"), std::string::npos) << range.err;
    EXPECT_NE(range.err.find("nothing written"), std::string::npos) << range.err;
    EXPECT_EQ(range.out, "");
    EXPECT_EQ(sim.read_reg(exposure), 5000u);  // the valid ones before and after the refusal alike
    EXPECT_EQ(sim.read_reg(vsim::REG_ANALOG_GAIN), gain);

    // Every mistake is named at once; a mistake of the command line wins the exit code.
    const Outcome several =
        vora({"set", "Laserbrightness=101", "NoSuchFeature=1", "TriggerMode=Sometimes", "PayloadSize=5",
              "ExposureTime[7]=100", "Laserbrightness=bright", "Laserbrightness[1]=5", "Laserbrightness=1.5"});
    EXPECT_EQ(several.code, 2);
    for (const char* why : {"Laserbrightness: 101 is out of range 1..100", "NoSuchFeature: no such feature",
                            "TriggerMode: Sometimes is not one of its entries: Off, On", "PayloadSize: read-only",
                            "ExposureTime[7]: ",  // the index its selector lacks, named with the selector's range
                            "Laserbrightness: \"bright\" is not a whole number",
                            "Laserbrightness[1]: Laserbrightness has no selector, so no index",
                            "Laserbrightness: \"1.5\" is not a whole number"})
        EXPECT_NE(several.err.find(why), std::string::npos) << why << "\n" << several.err;
    EXPECT_EQ(sim.read_reg(vsim::REG_LASER_BRIGHTNESS), 50u);

    // What is written is read back: the camera's value, as `get` shows it.
    const Outcome written = vora({"set", "GevHeartbeatTimeout=0x1388", "GevTimestampControlLatch=1", "TriggerMode=1"});
    ASSERT_EQ(written.code, 0) << written.err;
    EXPECT_TRUE(std::regex_match(written.out, std::regex("GevHeartbeatTimeout=5000\nGevTimestampControlLatch: [^\n]* "
                                                         "\\(a command\\)\nTriggerMode=On\n")))
        << written.out;

    // A write the camera refuses stops the rest, which are named.
    sim.faults.fail_address = vsim::REG_LASER_BRIGHTNESS;
    const Outcome refused = vora({"set", "analoggain=3", "Laserbrightness=60", "analoggain_rgb=4"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_EQ(refused.out, "analoggain=3\n");
    EXPECT_NE(refused.err.find("not written: analoggain_rgb"), std::string::npos) << refused.err;
    expect_released(sim);
}

TEST_F(VoraTool, EnumerationsTakeTheirEntriesByName)
{
    vsim::SimCamera& sim = camera();
    const uint32_t channel1_format = vsim::CHANNEL_BASE + vsim::CHANNEL_STRIDE + vsim::CH_PIXEL_FORMAT;
    const uint32_t before = sim.read_reg(channel1_format);
    const Outcome unknown = vora({"set", "PixelFormat=Mono16"});
    EXPECT_EQ(unknown.code, 1);
    EXPECT_NE(unknown.err.find("PixelFormat: Mono16 is not one of its entries: Mono8, BayerRG8, YUV422_8, RGB8, "
                               "Coord3D_ABC16"),
              std::string::npos)
        << unknown.err;
    EXPECT_EQ(sim.read_reg(channel1_format), before);

    const Outcome r =
        vora({"set", "PixelFormat[1]=Mono8", "TriggerMode=On", "ExposureAuto[2]=continuous", "TriggerSource=Line0"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.out, "PixelFormat[1]=Mono8\nTriggerMode=On\nExposureAuto[2]=Continuous\nTriggerSource=Line0\n");
    EXPECT_EQ(sim.read_reg(channel1_format), static_cast<uint32_t>(PIXEL_FORMAT_MONO8));
    EXPECT_EQ(sim.read_reg(vsim::REG_TRIGGER_MODE), 1u);
    EXPECT_EQ(sim.read_reg(vsim::SENSOR_BASE + 2 * vsim::SENSOR_STRIDE + vsim::SN_EXPOSURE_AUTO), 1u);
    EXPECT_EQ(sim.read_reg(vsim::SENSOR_BASE + vsim::SN_EXPOSURE_AUTO), 0u);
    EXPECT_EQ(sim.read_reg(vsim::REG_TRIGGER_SOURCE), 1u);

    // An entry by its value; --json gives the entry's name.
    const Outcome by_value = vora({"set", "TriggerSource=0"});
    EXPECT_EQ(by_value.out, "TriggerSource=Software\n") << by_value.err;
    EXPECT_EQ(sim.read_reg(vsim::REG_TRIGGER_SOURCE), 0u);
    const Outcome json = vora({"get", "--json", "TriggerSource", "PixelFormat[1]", "GevIEEE1588"});
    ASSERT_EQ(json.code, 0) << json.err;
    EXPECT_NE(json.out.find("\"TriggerSource\": \"Software\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"PixelFormat[1]\": \"Mono8\""), std::string::npos) << json.out;
    EXPECT_TRUE(json.out.find("\"GevIEEE1588\": false") != std::string::npos ||
                json.out.find("\"GevIEEE1588\": true") != std::string::npos)
        << json.out;
    expect_released(sim);
}

TEST_F(VoraTool, FloatsAreReadAsNumbers)
{
    vsim::SimConfig config;
    config.temperature_c = 42.5;  // a converter's float over a register in hundredths of a kelvin
    vsim::SimCamera& sim = camera(0x7F000001, "SIM00001", config);
    const Outcome get = vora({"get", "DeviceTemperature"});
    ASSERT_EQ(get.code, 0) << get.err;
    EXPECT_EQ(get.out, "DeviceTemperature=42.5\n");
    const Outcome json = vora({"get", "--json", "DeviceTemperature"});
    std::smatch m;
    ASSERT_TRUE(std::regex_search(json.out, m, std::regex(R"("DeviceTemperature": ([-0-9.eE+]+))"))) << json.out;
    EXPECT_NEAR(std::stod(m[1]), 42.5, 1e-9);
    const Outcome list = vora({"features"});
    EXPECT_TRUE(std::regex_search(list.out, std::regex(R"(\nDeviceTemperature +float +RO +42\.5 C )"))) << list.out;

    const Outcome refused = vora({"set", "DeviceTemperature=20.5"});
    EXPECT_EQ(refused.code, 1);
    EXPECT_NE(refused.err.find("DeviceTemperature: read-only"), std::string::npos) << refused.err;
    expect_released(sim);
}

TEST_F(VoraTool, ExecuteRunsCommandsAndOnlyCommands)
{
    vsim::SimCamera& sim = camera();
    const Outcome latch = vora({"execute", "GevTimestampControlLatch"});
    ASSERT_EQ(latch.code, 0) << latch.err;
    EXPECT_EQ(latch.out.rfind("GevTimestampControlLatch: ", 0), 0u) << latch.out;
    // The latched time stamp holds the camera's clock now.
    const Outcome stamp = vora({"get", "GevTimestampValue"});
    ASSERT_EQ(stamp.code, 0) << stamp.err;
    EXPECT_NE(stamp.out, "GevTimestampValue=0\n");

    const Outcome wrong = vora({"execute", "GevTimestampControlLatch", "Laserbrightness"});
    EXPECT_EQ(wrong.code, 2);
    EXPECT_NE(wrong.err.find("Laserbrightness: not a command but integer"), std::string::npos) << wrong.err;
    EXPECT_NE(wrong.err.find("nothing run"), std::string::npos) << wrong.err;
    EXPECT_EQ(wrong.out, "");
    EXPECT_EQ(vora({"execute", "NoSuchCommand"}).code, 1);
    expect_released(sim);
}

TEST_F(VoraTool, GetSaysACommandHasNoValueAndReadsTheRest)
{
    vsim::SimCamera& sim = camera();
    const Outcome r = vora({"get", "AcquisitionStart", "Laserbrightness", "GevTimestampControlLatch"});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("AcquisitionStart is a command"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("run it with `vora execute AcquisitionStart`"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("GevTimestampControlLatch is a command"), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "Laserbrightness=50\n");
    const Outcome json = vora({"get", "--json", "AcquisitionStart", "Laserbrightness"});
    EXPECT_EQ(json.code, 2);
    EXPECT_NE(json.out.find("\"AcquisitionStart\": null"), std::string::npos) << json.out;
    EXPECT_FALSE(sim.acquiring());
    expect_released(sim);
}

TEST_F(VoraTool, SaveXmlWritesTheDescriptionTheCameraServes)
{
    vsim::SimCamera& sim = camera();
    TempDir dir;
    const std::string target = dir.path() + "/nested";
    const Outcome r = vora({"save-xml", target});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::set<std::string> files = files_in(target);
    ASSERT_EQ(files.size(), 1u);
    const std::string path = target + "/" + *files.begin();
    EXPECT_EQ(r.out, path + "\n");
    const std::string saved = slurp(path);
    const std::string served = vsim::build_description_xml(sim.config());
    EXPECT_EQ(saved, served);  // the description alone, no terminating zero
    expect_released(sim);
}

// ---- capture ----

TEST_F(VoraTool, CaptureWritesEveryFrameOfEveryChannel)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    TempDir dir;
    const Outcome r =
        vora({"capture", "--channels", "0,1,2", "--frames", "3", "--format", "pcd,png,bmp,raw", "--out", dir.path()});
    ASSERT_EQ(r.code, 0) << r.err << r.out;

    std::set<std::string> expected;
    for (int n = 1; n <= 3; ++n) {
        char stem[16];
        for (int ch : {0, 2}) {
            std::snprintf(stem, sizeof stem, "ch%d_%04d", ch, n);
            for (const char* ext : {".pcd", ".png", "_preview.png", ".raw"})
                expected.insert(stem + std::string(ext));
        }
        std::snprintf(stem, sizeof stem, "ch1_%04d", n);
        for (const char* ext : {".bmp", ".png", ".raw"})
            expected.insert(stem + std::string(ext));
    }
    expected.insert("frames.jsonl");
    expected.insert("summary.json");
    EXPECT_EQ(files_in(dir.path()), expected);

    // Raw files hold the frames as the camera rendered them.
    const auto depth =
        vsim::render_sensor(sim.config().sensors[0], vsim::Roi{160, 120, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
    const auto colour = vsim::render_sensor(sim.config().sensors[1], vsim::Roi{160, 120, 0, 0}, PIXEL_FORMAT_RGB8, 10);
    EXPECT_EQ(slurp(dir.path() + "/ch0_0002.raw"), std::string(depth.begin(), depth.end()));
    EXPECT_EQ(slurp(dir.path() + "/ch1_0002.raw"), std::string(colour.begin(), colour.end()));
    EXPECT_EQ(slurp(dir.path() + "/ch1_0001.bmp").size(), 54u + 160 * 120 * 3);
    const PngHeader depth_png = png_header(dir.path() + "/ch0_0001.png");
    EXPECT_EQ(depth_png.width, 160u);
    EXPECT_EQ(depth_png.height, 120u);
    EXPECT_EQ(depth_png.depth, 16);
    const PngHeader preview = png_header(dir.path() + "/ch0_0001_preview.png");
    EXPECT_EQ(preview.width, 160u);
    EXPECT_EQ(preview.height, 120u);
    EXPECT_EQ(preview.depth, 8);
    EXPECT_EQ(preview.colour, 2);  // RGB
    EXPECT_NE(slurp(dir.path() + "/ch2_0003.pcd").find("WIDTH 160"), std::string::npos);

    // The summary agrees with the files and with what the camera sent.
    unsigned captured = 0;
    for (int ch = 0; ch < 3; ++ch) {
        const ChannelFigures f = figures(r.out, ch);
        ASSERT_TRUE(f.found) << r.out;
        EXPECT_EQ(f.captured, 3u);
        EXPECT_EQ(f.saved, 3u);
        EXPECT_GE(f.complete + f.incomplete, f.captured);
        EXPECT_LE(f.complete + f.incomplete, sim.frames_sent(ch));
        EXPECT_LE(f.p50, f.p90);
        EXPECT_LE(f.p90, f.p99);
        EXPECT_LE(f.p99, f.max);
        captured += f.captured;
    }
    EXPECT_NE(r.out.find("captured " + std::to_string(captured) + ", saved 9"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(std::to_string(expected.size()) + " files written to " + dir.path()), std::string::npos);
    expect_released(sim);
}

TEST_F(VoraTool, CaptureKeepsTheLastFramesAndFusesDepthWithColour)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    TempDir dir;
    const Outcome r = vora({"capture", "--seconds", "2", "--keep", "2", "--fuse", "--format", "pcd,ply,png,bmp",
                            "--filter", "outlier", "--out", dir.path()});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    const std::set<std::string> files = files_in(dir.path());
    for (int ch = 0; ch < 3; ++ch) {
        const ChannelFigures f = figures(r.out, ch);
        ASSERT_TRUE(f.found) << r.out;
        ASSERT_GE(f.captured, 2u);
        EXPECT_EQ(f.saved, 2u);
        // The files are the channel's last two frames.
        char last[16], before[16], older[16];
        std::snprintf(last, sizeof last, "ch%d_%04u", ch, f.captured);
        std::snprintf(before, sizeof before, "ch%d_%04u", ch, f.captured - 1);
        std::snprintf(older, sizeof older, "ch%d_%04u", ch, f.captured - 2);
        const char* ext = ch == 1 ? ".bmp" : ".pcd";
        EXPECT_EQ(files.count(last + std::string(ext)), 1u) << last;
        EXPECT_EQ(files.count(before + std::string(ext)), 1u) << before;
        EXPECT_EQ(files.count(older + std::string(ext)), 0u) << older;
    }
    for (const char* name : {"fused_ch0_colour.txt", "fused_ch0_grid.pcd", "fused_ch0_grid.ply", "fused_ch0_grid.png",
                             "fused_ch0_grid_preview.png"})
        EXPECT_EQ(files.count(name), 1u) << name;
    // Every line of the coloured cloud: x y z and three colour values.
    std::istringstream text(slurp(dir.path() + "/fused_ch0_colour.txt"));
    int lines = 0;
    for (std::string line; std::getline(text, line) && lines < 100; ++lines) {
        std::istringstream fields(line);
        double v[6];
        for (double& x : v)
            ASSERT_TRUE(static_cast<bool>(fields >> x)) << line;
        EXPECT_GT(v[2], 0.0);
    }
    EXPECT_GT(lines, 0);
    // The re-gridded cloud has the colour image's size.
    const PngHeader grid = png_header(dir.path() + "/fused_ch0_grid_preview.png");
    EXPECT_EQ(grid.width, 160u);
    EXPECT_EQ(grid.height, 120u);

    // Two depth channels have no colour to fuse with.
    TempDir other;
    const Outcome depth_only = vora({"capture", "--channels", "0,2", "--fuse", "--out", other.path()});
    EXPECT_EQ(depth_only.code, 2);
    EXPECT_NE(depth_only.err.find("--fuse needs"), std::string::npos) << depth_only.err;
    expect_released(sim);
}

TEST_F(VoraTool, FiltersReachTheCloud)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    TempDir plain, filtered;
    const auto count_lines = [](const std::string& path) {
        const std::string text = slurp(path);
        return std::count(text.begin(), text.end(), '\n');
    };
    const Outcome a = vora({"capture", "--channels", "0", "--format", "txt", "--out", plain.path()});
    ASSERT_EQ(a.code, 0) << a.err;
    EXPECT_GT(count_lines(plain.path() + "/ch0_0001.txt"), 1000);
    // No cube of the grid holds that many points: every point goes.
    const Outcome b =
        vora({"capture", "--channels", "0", "--format", "txt", "--filter", "spatial:100000", "--out", filtered.path()});
    ASSERT_EQ(b.code, 0) << b.err;
    EXPECT_EQ(count_lines(filtered.path() + "/ch0_0001.txt"), 0);
}

TEST_F(VoraTool, ResendFollowsTheOption)
{
    vsim::SimConfig config;
    config.max_packet_size = 1500;
    vsim::SimCamera& sim = camera(0x7F000001, "SIM00001", config);
    small_regions(sim);
    sim.stream_faults.loss_rate = 0.02;
    TempDir dir;
    const Outcome on = vora({"capture", "--channels", "0", "--frames", "5", "--format", "pcd", "--out", dir.path()});
    ASSERT_EQ(on.code, 0) << on.err;
    const ChannelFigures with = figures(on.out, 0);
    EXPECT_GT(with.resend_requested, 0u) << on.out;
    EXPECT_GT(with.resent, 0u) << on.out;

    TempDir other;
    const Outcome off = vora({"capture", "--channels", "0", "--frames", "5", "--format", "pcd", "--resend", "off",
                              "--keep-incomplete", "--out", other.path()});
    ASSERT_EQ(off.code, 0) << off.err;
    const ChannelFigures without = figures(off.out, 0);
    EXPECT_EQ(without.resend_requested, 0u) << off.out;
    EXPECT_GT(without.incomplete, 0u) << off.out;
    expect_released(sim);
}

TEST_F(VoraTool, TheSummaryCountsFramesTheNetworkLostWhole)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    TempDir dir;
    Child capture(vora_path(), tool_args({"capture", "--channels", "0", "--frames", "12", "--format", "raw", "--json",
                                          "--out", dir.path()}));
    ASSERT_TRUE(eventually([&] { return sim.frames_sent(0) >= 3; }, std::chrono::seconds(30)));
    sim.stream_faults.block_id_jump = 5;  // the camera's count skips five frames the network "lost"
    const Outcome r = capture.finish(deadline(90));
    ASSERT_EQ(r.code, 0) << r.err;
    std::smatch m;
    const auto number = [&](const std::string& key) {
        return std::regex_search(r.out, m, std::regex("\"" + key + "\": (\\d+)")) ? std::stol(m[1]) : -1L;
    };
    EXPECT_EQ(number("lost_on_network") + number("not_taken_in_time"), 5) << r.out;
    // Only a tool that fell behind at that very moment (a loaded machine)
    // could take them for its own.
    if (number("no_buffer") == 0) {
        EXPECT_EQ(number("lost_on_network"), 5) << r.out;
    }
    EXPECT_GE(number("left_waiting"), 0) << r.out;
    EXPECT_GE(number("no_buffer_after_capture"), 0) << r.out;
    expect_released(sim);
}

TEST_F(VoraTool, TheSummaryCountsFramesTheToolDidNotTakeInTime)
{
    // The capturing process stalls (as on a host that swaps) while the
    // camera sends on: its socket keeps the frames, and once it runs again
    // they come faster than frames are taken, more of them than the
    // library has buffers for. None is lost on the way.
    vsim::SimConfig config;
    config.heartbeat_timeout_ms = 600000;  // the stalled tool sends no heartbeat
    vsim::SimCamera& sim = camera(0x7F000001, "SIM00001", config);
    small_regions(sim);
    TempDir dir;
    Child capture(vora_path(), tool_args({"capture", "--channels", "0", "--frames", "30", "--format", "raw",
                                          "--timeout", "100", "--out", dir.path()}));
    ASSERT_TRUE(capture.wait_for([](const Outcome& o) { return std::regex_search(o.err, std::regex("ch0 [1-9]")); },
                                 deadline(60)));
    capture.signal(SIGSTOP);
    const uint64_t sent = sim.frames_sent(0);
    const bool stalled = eventually([&] { return sim.frames_sent(0) >= sent + 8; }, std::chrono::seconds(30));
    capture.signal(SIGCONT);
    ASSERT_TRUE(stalled);
    const Outcome r = capture.finish(deadline(90));
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    const ChannelFigures f = figures(r.out, 0);
    ASSERT_TRUE(f.missing_found) << r.out;
    EXPECT_GT(f.not_taken_in_time, 0u) << r.out;
    EXPECT_GT(f.no_buffer, 0u) << r.out;
    EXPECT_LE(f.no_buffer_after, f.no_buffer) << r.out;
    // Each frame is counted once, in frames: no more than the camera sent.
    EXPECT_LE(f.complete + f.incomplete + f.lost_on_network + f.not_taken_in_time, sim.frames_sent(0)) << r.out;
    EXPECT_NE(r.out.find("frames not taken in time " + std::to_string(f.not_taken_in_time)), std::string::npos)
        << r.out;
    expect_released(sim);
}

TEST_F(VoraTool, ACameraThatSendsNothingFailsTheCaptureAndIsReleased)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    sim.write_reg(vsim::REG_TRIGGER_MODE, 1);  // depth frames wait for triggers that never come
    TempDir dir;
    const Outcome r = vora({"capture", "--channels", "0", "--timeout", "1", "--out", dir.path()});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.err.find("channel 0: no frame for"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("captured 0"), std::string::npos) << r.out;  // the summary still comes
    expect_released(sim);
}

TEST_F(VoraTool, InterruptingACaptureReleasesTheCamera)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    TempDir dir;
    Child child(vora_path(), tool_args({"capture", "--seconds", "120", "--format", "pcd", "--out", dir.path()}));
    ASSERT_TRUE(child.wait_for_stderr("capturing:", deadline(30)));
    ASSERT_TRUE(sim.acquiring());
    child.signal(SIGINT);
    const Outcome r = child.finish(deadline(60));
    EXPECT_EQ(r.code, 130) << r.err;
    EXPECT_NE(r.out.find("summary:"), std::string::npos) << r.out;
    expect_released(sim);
}

TEST_F(VoraTool, CamerasAreChosenByIndexSerialAddressOrMac)
{
    camera(0x7F000001, "SIMB");
    camera(0x7F000002, "SIMA");
    const Outcome by_index = vora({"info", "-c1"});  // sorted by serial: SIMB is 1
    ASSERT_EQ(by_index.code, 0) << by_index.err;
    std::smatch mac;
    ASSERT_TRUE(std::regex_search(by_index.out, mac, std::regex("MAC +([0-9a-f:]{17})")));
    std::string upper = mac[1];
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    std::replace(upper.begin(), upper.end(), ':', '-');
    for (const std::string& selector : {std::string("SIMB"), std::string("127.0.0.1"), upper}) {
        const Outcome r = vora({"info", "--camera", selector});
        ASSERT_EQ(r.code, 0) << selector << ": " << r.err;
        EXPECT_EQ(r.out.rfind("camera 1: SIMB", 0), 0u) << selector;
    }
    EXPECT_EQ(vora({"info", "-c", "SIMA"}).out.rfind("camera 0: SIMA", 0), 0u);
    // A camera that is not there is waited for as long as --wait says.
    for (const std::string& none : {std::string("SIMC"), std::string("127.0.0.7"), std::string("7")}) {
        const Outcome r = vora({"info", "--wait", std::to_string(kSlowdown), "-c", none});
        EXPECT_EQ(r.code, 3) << none;
        EXPECT_NE(r.err.find(none), std::string::npos) << r.err;
    }
}

TEST_F(VoraTool, TheSimulatorRefusesBadOptionsAndTellsItsVersion)
{
    for (const auto& args : std::vector<std::vector<std::string>>{{"--seconds", "abc"},
                                                                  {"--loss", "2"},
                                                                  {"--fps", "-5"},
                                                                  {"--cameras", "0"},
                                                                  {"--burst-loss", "3"},
                                                                  {"--ip", "300.1.1.1"},
                                                                  {"--mac", "00:11:22"},
                                                                  {"--frobnicate"},
                                                                  {"--fps"}}) {
        Child camsim(VORA_CAMSIM_PATH, args);
        const Outcome r = camsim.finish();
        EXPECT_EQ(r.code, 2) << args[0];
        EXPECT_NE(r.err.find(args[0]), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("ready"), std::string::npos);
    }
    const Outcome loss = vora({"sim", "--loss", "2"});
    EXPECT_EQ(loss.code, 2);
    EXPECT_NE(loss.err.find("--loss must lie in 0..1, not 2"), std::string::npos) << loss.err;
    Child version(VORA_CAMSIM_PATH, {"--version"});
    const Outcome v = version.finish();
    EXPECT_EQ(v.code, 0);
    EXPECT_NE(v.out.find("1."), std::string::npos) << v.out;
    EXPECT_EQ(vora({"sim", "--version"}).code, 0);
}

TEST_F(VoraTool, IncompleteFramesAreSkippedAndCountedAndAFolderIsNotOverwritten)
{
    vsim::SimConfig config;
    config.max_packet_size = 1500;
    vsim::SimCamera& sim = camera(0x7F000001, "SIM00001", config);
    small_regions(sim);
    sim.stream_faults.loss_rate = 0.01;
    TempDir dir;
    const Outcome r = vora({"capture", "--channels", "0", "--frames", "3", "--format", "raw", "--resend", "off",
                            "--timeout", "60", "--out", dir.path()});
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("incomplete: +skipped (\\d+), kept 0"))) << r.out;
    EXPECT_GT(std::stoul(m[1]), 0u) << r.out;
    // Only complete frames were saved, and the sidecar says so.
    std::istringstream lines(slurp(dir.path() + "/frames.jsonl"));
    int count = 0;
    for (std::string line; std::getline(lines, line); ++count)
        EXPECT_NE(line.find("\"complete\":true"), std::string::npos) << line;
    EXPECT_EQ(count, 3);
    const auto rendered =
        vsim::render_sensor(sim.config().sensors[0], vsim::Roi{160, 120, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
    EXPECT_EQ(slurp(dir.path() + "/ch0_0003.raw"), std::string(rendered.begin(), rendered.end()));

    // A second capture into the same folder is refused unless asked for.
    sim.stream_faults.loss_rate = 0;
    const Outcome again = vora({"capture", "--channels", "0", "--format", "raw", "--out", dir.path()});
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find("earlier capture"), std::string::npos) << again.err;
    EXPECT_EQ(vora({"capture", "--channels", "0", "--format", "raw", "--overwrite", "--out", dir.path()}).code, 0);
    expect_released(sim);
}

TEST_F(VoraTool, SkippedFramesLeaveTheKeptOnesWhole)
{
    // Kept frames are written at the end: the incomplete frames captured
    // and skipped after them must not have landed in their buffers.
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    TempDir dir;
    Child capture(vora_path(), tool_args({"capture", "--channels", "0", "--seconds", "6", "--keep", "2", "--format",
                                          "raw", "--resend", "off", "--timeout", "60", "--out", dir.path()}));
    ASSERT_TRUE(eventually([&] { return sim.frames_sent(0) >= 3; }, std::chrono::seconds(30)));
    sim.stream_faults.burst_length = 5;  // from now on every frame loses packets
    sim.stream_faults.burst_every = 1;
    const Outcome r = capture.finish();
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(r.out, m, std::regex("incomplete: +skipped (\\d+), kept 0"))) << r.out;
    EXPECT_GT(std::stoul(m[1]), 0u) << r.out;
    const auto rendered =
        vsim::render_sensor(sim.config().sensors[0], vsim::Roi{160, 120, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
    int raws = 0;
    for (const std::string& name : files_in(dir.path())) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".raw") != 0)
            continue;
        ++raws;
        EXPECT_EQ(slurp(dir.path() + "/" + name), std::string(rendered.begin(), rendered.end())) << name;
    }
    EXPECT_EQ(raws, 2);
    expect_released(sim);
}

TEST_F(VoraTool, AFullDiskLeavesNoFileUnderAFinalNameAndSaysWhy)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    TempDir dir;
    // A small file system of our own: the test runs in a mount namespace of its own.
    if (mount("vora-full", dir.path().c_str(), "tmpfs", 0, "size=512k") != 0)
        GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(errno);
    const Outcome r =
        vora({"capture", "--channels", "0", "--frames", "20", "--format", "pcd,raw", "--out", dir.path()});
    EXPECT_EQ(r.code, 1) << r.out;
    EXPECT_NE(r.err.find("No space left on device"), std::string::npos) << r.err;
    const size_t pcd_points = 160 * 120;
    for (const std::string& name : files_in(dir.path())) {
        const std::string bytes = slurp(dir.path() + "/" + name);
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".raw") == 0) {
            EXPECT_EQ(bytes.size(), pcd_points * 6) << name;
        } else if (name.size() > 4 && name.compare(name.size() - 4, 4, ".pcd") == 0) {
            EXPECT_EQ(bytes.size() - bytes.find("DATA binary") - 13, pcd_points * 12) << name;
        }
    }
    // No temporary file is left behind either.
    if (DIR* d = opendir(dir.path().c_str())) {
        while (dirent* e = readdir(d))
            EXPECT_TRUE(std::string(e->d_name) == "." || std::string(e->d_name) == ".." || e->d_name[0] != '.')
                << e->d_name;
        closedir(d);
    }
    umount(dir.path().c_str());
    expect_released(sim);
}

TEST_F(VoraTool, InterruptedCapturesStillWriteTheKeptFrames)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim);
    for (const int sig : {SIGINT, SIGTERM}) {
        TempDir dir;
        Child child(vora_path(), tool_args({"capture", "--channels", "0", "--seconds", "120", "--keep", "2", "--format",
                                            "pcd", "--out", dir.path()}));
        // Frames the camera sent are not yet frames the tool took (a loaded
        // machine may not have run its receiver): wait for the tool's count.
        ASSERT_TRUE(child.wait_for(
            [](const Outcome& o) { return std::regex_search(o.err, std::regex("ch0 ([2-9]|[1-9][0-9]+)\\b")); },
            deadline(60)));
        child.signal(sig);
        const Outcome r = child.finish(deadline(60));
        EXPECT_EQ(r.code, 128 + sig) << r.err;
        const ChannelFigures f = figures(r.out, 0);
        ASSERT_GE(f.captured, 2u) << r.out;
        EXPECT_EQ(f.saved, 2u) << r.out;
        char last[32];
        std::snprintf(last, sizeof last, "/ch0_%04u.pcd", f.captured);
        EXPECT_NE(slurp(dir.path() + last).find("WIDTH 160"), std::string::npos) << last;
        EXPECT_NE(slurp(dir.path() + "/summary.json").find("\"result\": \"interrupted\""), std::string::npos);
        expect_released(sim);
    }
}

TEST_F(VoraTool, AKilledCameraEndsTheCaptureWithAReason)
{
    Child camsim(VORA_CAMSIM_PATH, {"--fps", "5", "--seconds", "600"});
    ASSERT_TRUE(
        camsim.wait_for([](const Outcome& o) { return o.out.find("ready") != std::string::npos; }, deadline(60)));
    TempDir dir;
    Child child(vora_path(), tool_args({"capture", "--channels", "0", "--seconds", "600", "--keep", "1", "--format",
                                        "raw", "--out", dir.path()}));
    // Once a frame is in: the progress line counts it.
    ASSERT_TRUE(child.wait_for([](const Outcome& o) { return std::regex_search(o.err, std::regex("ch0 [1-9]")); },
                               deadline(60)));
    camsim.signal(SIGKILL);
    // A hang is reported as -1 by finish().
    const Outcome r = child.finish(deadline(60));
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_NE(r.err.find("was lost"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("summary:"), std::string::npos) << r.out;
    // The frame kept in memory is still written.
    const std::set<std::string> files = files_in(dir.path());
    EXPECT_EQ(std::count_if(files.begin(), files.end(),
                            [](const std::string& f) { return f.find(".raw") != std::string::npos; }),
              1);
}

// ---- record ----

// Record takes its channels as capture does: each once, only those the
// camera has, and never without knowing how many it has.
TEST_F(VoraTool, RecordChecksItsChannelsAgainstTheCamera)
{
    vsim::SimConfig config;
    config.stream_channels = 2;
    vsim::SimCamera& sim = camera(0x7F000001, "SIM00001", config);
    small_regions(sim);
    TempDir dir;
    const std::string file = dir.path() + "/run.mcap";
    struct stat st {};

    const Outcome twice = vora({"record", "--channels", "1,1", "--frames", "1", file});
    EXPECT_EQ(twice.code, 2) << twice.err;
    EXPECT_NE(twice.err.find("channel 1 is listed twice"), std::string::npos) << twice.err;
    EXPECT_EQ(sim.command_count(), 0u);  // refused before the camera was asked anything

    const Outcome beyond = vora({"record", "--channels", "0,2", "--frames", "1", file});
    EXPECT_EQ(beyond.code, 2) << beyond.err;
    EXPECT_NE(beyond.err.find("camera has 2 stream channel(s); there is no channel 2"), std::string::npos)
        << beyond.err;
    EXPECT_NE(stat(file.c_str(), &st), 0);  // nothing recorded
    expect_released(sim);

    // Without --channels: the camera's two.
    const Outcome all = vora({"record", "--frames", "1", "--json", file});
    ASSERT_EQ(all.code, 0) << all.err;
    EXPECT_NE(all.out.find("\"channel\": 1"), std::string::npos) << all.out;
    EXPECT_EQ(all.out.find("\"channel\": 2"), std::string::npos) << all.out;
    expect_released(sim);

    // The count read at connection, refused afterwards: said, for record
    // and capture alike, and nothing recorded or captured.
    std::remove(file.c_str());
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"record", "--frames", "1", file},
          std::vector<std::string>{"capture", "--format", "raw", "--out", dir.path() + "/frames"}}) {
        sim.faults.fail_address = Number_of_Stream_Channels_Reg;
        sim.faults.fail_address_reads_first = 1;
        const Outcome r = vora(args);
        EXPECT_EQ(r.code, 1) << args[0] << ": " << r.err;
        EXPECT_NE(r.err.find("reading the number of stream channels: 0x8003"), std::string::npos)
            << args[0] << ": " << r.err;
        expect_released(sim);
    }
    EXPECT_NE(stat(file.c_str(), &st), 0);
    EXPECT_TRUE(files_in(dir.path() + "/frames").empty());
}

// Packets lost on the way are asked for again while recording, as while
// capturing.
TEST_F(VoraTool, RecordAsksForLostPackets)
{
    vsim::SimConfig config;
    config.max_packet_size = 1500;
    vsim::SimCamera& sim = camera(0x7F000001, "SIM00001", config);
    small_regions(sim);
    sim.stream_faults.loss_rate = 0.02;
    TempDir dir;
    const Outcome r = vora({"record", "--channels", "0", "--frames", "5", "--json", dir.path() + "/lossy.mcap"});
    ASSERT_EQ(r.code, 0) << r.err;
    size_t resends = 0;
    for (const std::vector<uint8_t>& c : sim.commands())
        resends += c.size() >= 4 && (c[2] << 8 | c[3]) == PACKETRESEND_CMD;
    EXPECT_GT(resends, 0u);
    expect_released(sim);
}

// ---- the example of the README ----

TEST_F(VoraTool, TheMinimalExampleCapturesAFrame)
{
    vsim::SimCamera& sim = camera();
    small_regions(sim, 64, 48);
    TempDir dir;
    Child child(example_path(), {"frame.pcd"}, dir.path());
    const Outcome r = child.finish();
    ASSERT_EQ(r.code, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("captured frame"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("64x48"), std::string::npos) << r.out;
    EXPECT_NE(slurp(dir.path() + "/frame.pcd").find("WIDTH 64"), std::string::npos);
    expect_released(sim);
}

// ---- synchronised capture ----

// Lines of a JSON-lines file.
std::vector<std::string> lines_of(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(slurp(path));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

// Whether `vora sync-status` says the camera answers action commands.
bool answers_actions(const std::string& selector)
{
    const Outcome r = vora({"sync-status", "--json", "-c", selector});
    return r.code == 0 && r.out.find("\"action\": true") != std::string::npos;
}

TEST_F(VoraTool, SyncCaptureRefusesBadCombinationsBeforeTouchingTheCamera)
{
    vsim::SimCamera& sim = camera();
    TempDir dir;
    const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
        {{"capture", "-c", "0", "-c", "1", "--out", dir.path()}, "--sync action"},
        {{"capture", "--sync", "software", "--out", dir.path()}, "--sync takes action"},
        {{"capture", "--sync", "action", "--scheduled", "--out", dir.path()}, "--scheduled needs --ptp"},
        {{"capture", "--rate", "5", "--out", dir.path()}, "--rate needs --sync action"},
        {{"capture", "--ptp", "--out", dir.path()}, "--ptp needs --sync action"},
        {{"capture", "--sync", "action", "--seconds", "1", "--out", dir.path()}, "--seconds is for single-camera"},
        {{"capture", "--sync", "action", "--fuse", "--out", dir.path()}, "--fuse is for single-camera"},
        {{"capture", "--sync", "action", "--rate", "0", "--out", dir.path()}, "--rate"},
        {{"capture", "--sync", "action", "--action-key", "0x1FFFFFFFF", "--out", dir.path()}, "--action-key"},
        {{"capture", "--sync", "action", "--ptp-wait", "3", "--out", dir.path()}, "--ptp-wait needs --ptp"},
        {{"capture", "--sync", "action", "--tolerance-us", "-1", "--out", dir.path()}, "--tolerance-us"},
        {{"sync-status", "extra"}, "unexpected argument"},
    };
    for (const auto& [args, message] : bad) {
        const Outcome r = vora(args);
        EXPECT_EQ(r.code, 2) << args[1] << "\n" << r.err;
        EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    }
    EXPECT_EQ(sim.command_count(), 0u);
    EXPECT_TRUE(files_in(dir.path()).empty());
}

TEST_F(VoraTool, SyncStatusDescribesEveryCamera)
{
    camera(0x7F000002, "SYNCA");
    camera(0x7F000003, "SYNCB");
    const Outcome r = vora({"sync-status", "--json"});
    ASSERT_EQ(r.code, 0) << r.err;
    for (const char* key : {"\"SYNCA\"", "\"SYNCB\"", "\"ptp\"", "\"enabled\"", "\"state_name\"", "\"offset_ns\"",
                            "\"uncertainty_ns\"", "\"actions\"", "\"queue_size\""})
        EXPECT_NE(r.out.find(key), std::string::npos) << key << "\n" << r.out;
    const Outcome one = vora({"sync-status", "-c", "SYNCB"});
    ASSERT_EQ(one.code, 0) << one.err;
    EXPECT_NE(one.out.find("SYNCB"), std::string::npos);
    EXPECT_EQ(one.out.find("SYNCA"), std::string::npos);
    EXPECT_NE(one.out.find(" ns +- "), std::string::npos) << one.out;
    for (auto& sim : sims_)
        expect_released(*sim);
}

TEST_F(VoraTool, SyncCaptureWritesCompleteSetsOfEveryCamera)
{
    vsim::SimCamera& a = camera(0x7F000002, "SYNCA");
    vsim::SimCamera& b = camera(0x7F000003, "SYNCB");
    small_regions(a);
    small_regions(b);
    TempDir dir;
    if (!answers_actions("SYNCA")) {
        // A camera without action commands is named and refused, nothing written.
        const Outcome r =
            vora({"capture", "-c", "SYNCA", "-c", "SYNCB", "--sync", "action", "--channels", "0", "--out", dir.path()});
        EXPECT_EQ(r.code, 2) << r.err;
        EXPECT_NE(r.err.find("SYNCA"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("action commands"), std::string::npos) << r.err;
        EXPECT_TRUE(files_in(dir.path()).empty());
        expect_released(a);
        expect_released(b);
        GTEST_SKIP() << "the simulated camera has no action commands";
    }
    const Outcome r = vora({"capture", "-c", "SYNCA", "-c", "SYNCB", "--sync", "action", "--channels", "0", "--frames",
                            "5", "--format", "pcd", "--json", "--out", dir.path()});
    ASSERT_EQ(r.code, 0) << r.err;
    const std::vector<std::string> sets = lines_of(dir.path() + "/sets.jsonl");
    int complete = 0;
    for (const std::string& line : sets) {
        if (line.find("\"complete\":true") == std::string::npos)
            continue;
        ++complete;
        EXPECT_NE(line.find("\"serial\":\"SYNCA\""), std::string::npos) << line;
        EXPECT_NE(line.find("\"serial\":\"SYNCB\""), std::string::npos) << line;
        EXPECT_EQ(line.find("\"present\":false"), std::string::npos) << line;
        EXPECT_TRUE(std::regex_search(line, std::regex("\"offset_ns\":-?\\d+"))) << line;
    }
    EXPECT_EQ(complete, 5);
    const std::set<std::string> files = files_in(dir.path());
    for (const std::string& line : sets) {
        std::smatch m;
        ASSERT_TRUE(std::regex_search(line, m, std::regex("\"set\":(\\d+)")));
        char prefix[32];
        std::snprintf(prefix, sizeof prefix, "set_%04d_", std::stoi(m[1]));
        if (line.find("\"complete\":true") != std::string::npos) {
            EXPECT_TRUE(files.count(std::string(prefix) + "SYNCA_ch0.pcd")) << prefix;
            EXPECT_TRUE(files.count(std::string(prefix) + "SYNCB_ch0.pcd")) << prefix;
        }
    }
    EXPECT_NE(r.out.find("\"complete\": 5"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"worst_offset_ns\""), std::string::npos);
    EXPECT_NE(r.out.find("\"missed\": 0"), std::string::npos) << r.out;
    EXPECT_EQ(slurp(dir.path() + "/summary.json"), r.out);
    expect_released(a);
    expect_released(b);
    // The trigger is given back as it was.
    const Outcome mode = vora({"get", "-c", "SYNCA", "TriggerMode"});
    EXPECT_NE(mode.out.find("TriggerMode=Off"), std::string::npos) << mode.out;
}

}  // namespace
