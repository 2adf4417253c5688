// The simulator's command line: a table of its options, the cameras, and
// waiting for a signal. Used by vora-camsim and by `vora sim`.
#include "sim_cli.h"

#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "cli_options.h"
#include "sim_camera.h"
#include "vora_pixel_format.h"

namespace vsim {

namespace {

using vora_cli::to_integer;
using vora_cli::to_number;
using vora_cli::UsageError;

struct SimOption {
    const char* name;      // "--fps"
    const char* argument;  // its value as the help shows it; nullptr: the option takes none
    // What it means; a line break continues under the first line. nullptr:
    // told together with the option before.
    const char* help;
    // What it sets, given the value and the option's name for messages;
    // nullptr: it is answered before any option is read.
    void (*set)(SimSettings& s, const std::string& value, const std::string& option);
};

// A fault probability: 0..1.
double probability(const std::string& value, const std::string& option)
{
    return to_number(value, option, 0, 1);
}

// In the order of the help; an option's setter may rely on the ones above it.
const SimOption kOptions[] = {
    {"--ip", "A.B.C.D", "address of the first camera (default 127.0.0.1);\neach further camera takes the next address",
     [](SimSettings& s, const std::string& v, const std::string& o) { s.base.ip = vora_cli::to_ipv4(v, o); }},
    {"--mask", "A.B.C.D", "subnet mask (default 255.0.0.0)",
     [](SimSettings& s, const std::string& v, const std::string& o) { s.base.mask = vora_cli::to_ipv4(v, o); }},
    {"--gateway", "A.B.C.D", "default gateway (default 0.0.0.0)",
     [](SimSettings& s, const std::string& v, const std::string& o) { s.base.gateway = vora_cli::to_ipv4(v, o); }},
    {"--cameras", "N", "how many cameras (default 1)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.cameras = static_cast<int>(to_integer(v, o, 1, 250));
         if (static_cast<uint64_t>(s.base.ip & 0xFF) + static_cast<uint64_t>(s.cameras) > 256)
             throw UsageError(o + " " + std::to_string(s.cameras) + " do not fit after the first camera's address");
     }},
    {"--serial", "TEXT",
     "serial number of the first camera; further cameras\nget TEXT-2, TEXT-3 ... (default SIM00001, SIM00002 ...)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.serial = v;
         // The serial number field holds 16 characters, "-N" of further cameras included.
         const size_t longest = s.serial.size() + (s.cameras > 1 ? 1 + std::to_string(s.cameras).size() : 0);
         if (longest > 16)
             throw UsageError(o + " is too long: the serial numbers hold 16 characters");
     }},
    {"--mac", "XX:XX:XX:XX:XX:XX", "MAC of the first camera; the last byte counts up",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         const std::vector<std::string> parts = vora_cli::split(v, ':');
         if (parts.size() != 6)
             throw UsageError(o + " takes XX:XX:XX:XX:XX:XX, not \"" + v + "\"");
         for (size_t k = 0; k < 6; ++k)
             s.base.mac[k] = static_cast<uint8_t>(to_integer("0x" + parts[k], "a byte of " + o, 0, 255));
     }},
    {"--model", "TEXT", "model name",
     [](SimSettings& s, const std::string& v, const std::string&) { s.base.model = v; }},
    {"--iface", "NAME", "network interface the camera owns; a forced IP\nconfiguration is applied to it",
     [](SimSettings& s, const std::string& v, const std::string&) { s.base.iface = v; }},
    {"--discovery-ack-len", "N", "answer discovery with N-byte datagrams (a fault)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.discovery_ack_len = static_cast<int>(to_integer(v, o, 0, 1500));
     }},
    {"--fps", "F", "frames per second while free-running (default 10)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.base.frame_rate = to_number(v, o, 0.01, 1000);
     }},
    {"--noise", "MM",
     "depth noise: points move along their rays by up to MM\nmillimetres, differently in every frame (default 0)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.base.depth_noise_mm = to_number(v, o, 0, 1000);
     }},
    {"--max-packet", "N", "largest stream packet the camera sends (default 65535)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.base.max_packet_size = static_cast<uint32_t>(to_integer(v, o, 576, 65535));
     }},
    {"--send", "MODE",
     "gso: payload packets of one size leave in trains the\nkernel cuts into datagrams (default, where it can);\n"
     "datagram: one datagram per send, as cameras do",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         if (v == "gso")
             s.base.send = SendMode::Gso;
         else if (v == "datagram")
             s.base.send = SendMode::Datagram;
         else
             throw UsageError(o + " takes gso or datagram, not \"" + v + "\"");
     }},
    {"--loss", "P", "lose each stream packet with probability P (0..1)",
     [](SimSettings& s, const std::string& v, const std::string& o) { s.loss = probability(v, o); }},
    {"--burst-loss", "N:L", "every N-th frame loses L packets from its middle",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         const std::vector<std::string> parts = vora_cli::split(v, ':');
         if (parts.size() != 2)
             throw UsageError(o + " takes N:L, not \"" + v + "\"");
         s.burst_every = static_cast<int>(to_integer(parts[0], "N of " + o, 1, 1000000));
         s.burst_length = static_cast<int>(to_integer(parts[1], "L of " + o, 0, 1000000));
     }},
    {"--drop-leader", nullptr, "lose every leader / trailer",
     [](SimSettings& s, const std::string&, const std::string&) { s.drop_leader = true; }},
    {"--drop-trailer", nullptr, nullptr,
     [](SimSettings& s, const std::string&, const std::string&) { s.drop_trailer = true; }},
    {"--reorder", "P", "swap / repeat packets with probability P",
     [](SimSettings& s, const std::string& v, const std::string& o) { s.reorder = probability(v, o); }},
    {"--duplicate", "P", nullptr,
     [](SimSettings& s, const std::string& v, const std::string& o) { s.duplicate = probability(v, o); }},
    {"--stray", nullptr, "send junk datagrams from another address",
     [](SimSettings& s, const std::string&, const std::string&) { s.stray = true; }},
    {"--colour-format", "F", "rgb8, yuv422 or bayerrg8 for the colour sensor",
     [](SimSettings& s, const std::string& f, const std::string&) {
         const uint32_t code = f == "rgb8"       ? PIXEL_FORMAT_RGB8
                               : f == "yuv422"   ? PIXEL_FORMAT_YUV422_8
                               : f == "bayerrg8" ? PIXEL_FORMAT_BAYER_RG8
                                                 : 0;
         if (!code)
             throw vora_cli::UsageError("--colour-format takes rgb8, yuv422 or bayerrg8, not \"" + f + "\"");
         for (auto& sensor : s.base.sensors)
             if (sensor.colour)
                 sensor.pixel_format = code;
     }},
    {"--ptp-jitter-us", "N",
     "precision time: each synchronised reading of the clock\nis off by up to N microseconds (default 1)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.base.ptp_jitter_us = static_cast<uint32_t>(to_integer(v, o, 0, 1000000));
     }},
    {"--ptp-settle-ms", "N", "precision time: the clock's offset settles over N ms\n(default 800)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.base.ptp_settle_ms = static_cast<uint32_t>(to_integer(v, o, 0, 600000));
     }},
    {"--action-signals", "N", "action signals (group key and mask pairs, default 2)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.base.action_signals = static_cast<uint32_t>(to_integer(v, o, 1, 128));
     }},
    {"--action-queue", "N", "scheduled actions held at once (default 4)",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         s.base.action_queue = static_cast<uint32_t>(to_integer(v, o, 1, 1024));
     }},
    {"--no-actions", nullptr, "a camera without action commands and precision time",
     [](SimSettings& s, const std::string&, const std::string&) { s.base.actions = false; }},
    {"--action-fault", "F",
     "ignore: actions go unanswered and fire nothing;\nany-group: answered and fired whatever their group;\n"
     "late-ack:MS: acknowledged MS ms late, fired at once",
     [](SimSettings& s, const std::string& v, const std::string& o) {
         const std::string late = "late-ack:";
         if (v == "ignore")
             s.action_ignore = true;
         else if (v == "any-group")
             s.action_any_group = true;
         else if (v.compare(0, late.size(), late) == 0)
             s.action_ack_delay_ms = static_cast<int>(to_integer(v.substr(late.size()), "MS of " + o, 1, 60000));
         else
             throw UsageError(o + " takes ignore, any-group or late-ack:MS, not \"" + v + "\"");
     }},
    {"--seconds", "S", "stop after S seconds",
     [](SimSettings& s, const std::string& v, const std::string& o) { s.seconds = to_number(v, o, 0.001, 1e7); }},
    {"--version", nullptr, "the simulator's version", nullptr},
};

// Help text starts in this column, or two spaces after a longer name; two
// options told together start theirs further right.
constexpr size_t kHelpColumn = 24;
constexpr size_t kPairColumn = 34;

std::string shown(const SimOption& o)
{
    return o.argument ? std::string(o.name) + " " + o.argument : std::string(o.name);
}

std::vector<vora_cli::OptionDef> option_defs()
{
    std::vector<vora_cli::OptionDef> defs;
    for (const SimOption& o : kOptions)
        defs.push_back({o.name, 0, o.argument != nullptr});
    return defs;
}

SimSettings read_settings(const vora_cli::Args& args)
{
    if (!args.positional().empty())
        throw UsageError("unexpected argument " + args.positional()[0]);
    SimSettings s;
    for (const SimOption& o : kOptions)
        if (o.set && args.has(o.name))
            o.set(s, args.value(o.name), o.name);
    return s;
}

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

// Starts the cameras and runs until a signal or the time is up.
int run_cameras(const char* program, const SimSettings& s)
{
    g_stop = 0;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    std::vector<std::unique_ptr<SimCamera>> sims;
    for (int n = 0; n < s.cameras; ++n) {
        SimConfig c = s.base;
        c.ip = s.base.ip + static_cast<uint32_t>(n);
        c.mac[5] = static_cast<uint8_t>(s.base.mac[5] + n);
        char text[32];
        if (s.serial.empty())
            std::snprintf(text, sizeof text, "SIM%05d", n + 1);
        else if (n == 0)
            std::snprintf(text, sizeof text, "%s", s.serial.c_str());
        else
            std::snprintf(text, sizeof text, "%s-%d", s.serial.c_str(), n + 1);
        c.serial = text;
        sims.push_back(std::make_unique<SimCamera>(c));
        SimCamera& cam = *sims.back();
        cam.faults.discovery_ack_len = s.discovery_ack_len;
        cam.stream_faults.loss_rate = s.loss;
        cam.stream_faults.reorder_rate = s.reorder;
        cam.stream_faults.duplicate_rate = s.duplicate;
        cam.stream_faults.burst_every = s.burst_every;
        cam.stream_faults.burst_length = s.burst_length;
        cam.stream_faults.drop_leader = s.drop_leader;
        cam.stream_faults.drop_trailer = s.drop_trailer;
        cam.stream_faults.stray_datagrams = s.stray;
        cam.faults.action_ignore = s.action_ignore;
        cam.faults.action_any_group = s.action_any_group;
        cam.faults.action_ack_delay_ms = s.action_ack_delay_ms;
        if (int err = cam.start()) {
            std::fprintf(stderr, "%s: camera %d cannot listen: %s\n", program, n, std::strerror(-err));
            return 1;
        }
        in_addr a{htonl(c.ip)};
        std::printf("camera %s at %s\n", c.serial.c_str(), inet_ntoa(a));
    }
    std::printf("ready\n");
    std::fflush(stdout);

    const useconds_t tick = 50000;
    for (long waited = 0; !g_stop; waited += tick) {
        if (s.seconds > 0 && waited >= static_cast<long>(s.seconds * 1e6))
            break;
        usleep(tick);
    }
    return 0;
}

}  // namespace

std::string simulator_usage(const std::string& program)
{
    std::string text = "usage: " + program +
                       " [options]\n"
                       "Runs simulated cameras in the foreground until interrupted.\n";
    const size_t count = sizeof kOptions / sizeof kOptions[0];
    for (size_t i = 0; i < count; ++i) {
        const char* help = kOptions[i].help;
        std::string label = "  " + shown(kOptions[i]);
        size_t column = kHelpColumn;
        while (i + 1 < count && !kOptions[i + 1].help) {
            label += ", " + shown(kOptions[++i]);
            column = kPairColumn;
        }
        text += label + (label.size() < column ? std::string(column - label.size(), ' ') : std::string(2, ' '));
        for (; *help; ++help)
            text += *help == '\n' ? "\n" + std::string(kHelpColumn, ' ') : std::string(1, *help);
        text += '\n';
    }
    return text + "Prints a line per camera, then \"ready\" once every camera listens.\n"
                  "Exit codes: 0 stopped by a signal or --seconds, 1 a camera cannot listen,\n"
                  "2 usage error.\n";
}

SimSettings simulator_settings(int argc, char** argv)
{
    return read_settings(vora_cli::Args(argc, argv, option_defs()));
}

int run_simulator(int argc, char** argv)
{
    const char* program = argc > 0 && argv[0] ? argv[0] : "vora-camsim";
    SimSettings settings;
    try {
        const vora_cli::Args args(argc, argv, option_defs());
        if (args.help()) {
            std::fputs(simulator_usage(program).c_str(), stdout);
            return 0;
        }
        if (args.has("--version")) {
            std::printf("%s %s\n", program, VORA_SIM_VERSION);
            return 0;
        }
        settings = read_settings(args);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", program, e.what(), program);
        return 2;
    }
    return run_cameras(program, settings);
}

}  // namespace vsim
