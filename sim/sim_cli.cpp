// The simulator's command line: options, the cameras, and waiting for a
// signal. Used by vora-camsim and by `vora sim`.
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
#include "pixel_formats.h"
#include "sim_camera.h"
#include "vora_pixel_format.h"

namespace vsim {

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

void usage(const char* program)
{
    std::printf("usage: %s [options]\n"
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
                "  --loss P              lose each stream packet with probability P (0..1)\n"
                "  --burst-loss N:L      every N-th frame loses L packets from its middle\n"
                "  --drop-leader, --drop-trailer   lose every leader / trailer\n"
                "  --reorder P, --duplicate P      swap / repeat packets with probability P\n"
                "  --stray               send junk datagrams from another address\n"
                "  --colour-format F     rgb8, yuv422 or bayerrg8 for the colour sensor\n"
                "  --seconds S           stop after S seconds\n"
                "  --version             the simulator's version\n"
                "Prints a line per camera, then \"ready\" once every camera listens.\n"
                "Exit codes: 0 stopped by a signal or --seconds, 1 a camera cannot listen,\n"
                "2 usage error.\n",
                program);
}

// A fault probability: 0..1.
double probability(const vora_cli::Args& args, const char* option)
{
    return args.has(option) ? vora_cli::to_number(args.value(option), option, 0, 1) : 0;
}

}  // namespace

int run_simulator(int argc, char** argv)
{
    const char* program = argc > 0 && argv[0] ? argv[0] : "vora-camsim";
    SimConfig base;
    int cameras = 1;
    double seconds = 0;
    std::string serial;
    int ack_len = 0;
    double loss = 0, reorder = 0, duplicate = 0;
    long long burst_every = 0, burst_length = 0;
    bool drop_leader = false, drop_trailer = false, stray = false;
    try {
        using vora_cli::to_integer;
        using vora_cli::to_number;
        const vora_cli::Args args(argc, argv,
                                  {{"--ip", 0, true},
                                   {"--mask", 0, true},
                                   {"--gateway", 0, true},
                                   {"--cameras", 0, true},
                                   {"--serial", 0, true},
                                   {"--mac", 0, true},
                                   {"--model", 0, true},
                                   {"--iface", 0, true},
                                   {"--discovery-ack-len", 0, true},
                                   {"--fps", 0, true},
                                   {"--noise", 0, true},
                                   {"--max-packet", 0, true},
                                   {"--loss", 0, true},
                                   {"--burst-loss", 0, true},
                                   {"--drop-leader", 0, false},
                                   {"--drop-trailer", 0, false},
                                   {"--reorder", 0, true},
                                   {"--duplicate", 0, true},
                                   {"--stray", 0, false},
                                   {"--colour-format", 0, true},
                                   {"--seconds", 0, true},
                                   {"--version", 0, false}});
        if (args.help()) {
            usage(program);
            return 0;
        }
        if (args.has("--version")) {
            std::printf("%s %s\n", program, VORA_SIM_VERSION);
            return 0;
        }
        if (!args.positional().empty())
            throw vora_cli::UsageError("unexpected argument " + args.positional()[0]);
        if (args.has("--ip"))
            base.ip = vora_cli::to_ipv4(args.value("--ip"), "--ip");
        if (args.has("--mask"))
            base.mask = vora_cli::to_ipv4(args.value("--mask"), "--mask");
        if (args.has("--gateway"))
            base.gateway = vora_cli::to_ipv4(args.value("--gateway"), "--gateway");
        if (args.has("--cameras"))
            cameras = static_cast<int>(to_integer(args.value("--cameras"), "--cameras", 1, 250));
        if (static_cast<uint64_t>(base.ip & 0xFF) + static_cast<uint64_t>(cameras) > 256)
            throw vora_cli::UsageError("--cameras " + std::to_string(cameras) +
                                       " do not fit after the first camera's address");
        serial = args.value("--serial");
        // The serial number field holds 16 characters, "-N" of further cameras included.
        const size_t longest = serial.size() + (cameras > 1 ? 1 + std::to_string(cameras).size() : 0);
        if (longest > 16)
            throw vora_cli::UsageError("--serial is too long: the serial numbers hold 16 characters");
        if (args.has("--model"))
            base.model = args.value("--model");
        if (args.has("--iface"))
            base.iface = args.value("--iface");
        if (args.has("--discovery-ack-len"))
            ack_len = static_cast<int>(to_integer(args.value("--discovery-ack-len"), "--discovery-ack-len", 0, 1500));
        if (args.has("--fps"))
            base.frame_rate = to_number(args.value("--fps"), "--fps", 0.01, 1000);
        if (args.has("--noise"))
            base.depth_noise_mm = to_number(args.value("--noise"), "--noise", 0, 1000);
        if (args.has("--max-packet"))
            base.max_packet_size =
                static_cast<uint32_t>(to_integer(args.value("--max-packet"), "--max-packet", 576, 65535));
        loss = probability(args, "--loss");
        reorder = probability(args, "--reorder");
        duplicate = probability(args, "--duplicate");
        if (args.has("--burst-loss")) {
            const std::vector<std::string> parts = vora_cli::split(args.value("--burst-loss"), ':');
            if (parts.size() != 2)
                throw vora_cli::UsageError("--burst-loss takes N:L, not \"" + args.value("--burst-loss") + "\"");
            burst_every = to_integer(parts[0], "N of --burst-loss", 1, 1000000);
            burst_length = to_integer(parts[1], "L of --burst-loss", 0, 1000000);
        }
        drop_leader = args.has("--drop-leader");
        drop_trailer = args.has("--drop-trailer");
        stray = args.has("--stray");
        if (args.has("--colour-format")) {
            const std::string f = args.value("--colour-format");
            // The option's short words for the formats' names in the table.
            const char* name = f == "rgb8"       ? "RGB8"
                               : f == "yuv422"   ? "YUV422_8"
                               : f == "bayerrg8" ? "BayerRG8"
                                                 : nullptr;
            const wire::PixelFormat* format = wire::find_pixel_format_by_name(name);
            if (!format)
                throw vora_cli::UsageError("--colour-format takes rgb8, yuv422 or bayerrg8, not \"" + f + "\"");
            for (auto& sensor : base.sensors)
                if (sensor.colour)
                    sensor.pixel_format = format->code;
        }
        if (args.has("--mac")) {
            const std::vector<std::string> parts = vora_cli::split(args.value("--mac"), ':');
            if (parts.size() != 6)
                throw vora_cli::UsageError("--mac takes XX:XX:XX:XX:XX:XX, not \"" + args.value("--mac") + "\"");
            for (int k = 0; k < 6; ++k)
                base.mac[k] =
                    static_cast<uint8_t>(to_integer("0x" + parts[static_cast<size_t>(k)], "a byte of --mac", 0, 255));
        }
        if (args.has("--seconds"))
            seconds = to_number(args.value("--seconds"), "--seconds", 0.001, 1e7);
    } catch (const vora_cli::UsageError& e) {
        std::fprintf(stderr, "%s: %s (see %s --help)\n", program, e.what(), program);
        return 2;
    }

    g_stop = 0;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    std::vector<std::unique_ptr<SimCamera>> sims;
    for (int n = 0; n < cameras; ++n) {
        SimConfig c = base;
        c.ip = base.ip + static_cast<uint32_t>(n);
        c.mac[5] = static_cast<uint8_t>(base.mac[5] + n);
        char text[32];
        if (serial.empty())
            std::snprintf(text, sizeof text, "SIM%05d", n + 1);
        else if (n == 0)
            std::snprintf(text, sizeof text, "%s", serial.c_str());
        else
            std::snprintf(text, sizeof text, "%s-%d", serial.c_str(), n + 1);
        c.serial = text;
        sims.push_back(std::make_unique<SimCamera>(c));
        SimCamera& cam = *sims.back();
        cam.faults.discovery_ack_len = ack_len;
        cam.stream_faults.loss_rate = loss;
        cam.stream_faults.reorder_rate = reorder;
        cam.stream_faults.duplicate_rate = duplicate;
        cam.stream_faults.burst_every = static_cast<int>(burst_every);
        cam.stream_faults.burst_length = static_cast<int>(burst_length);
        cam.stream_faults.drop_leader = drop_leader;
        cam.stream_faults.drop_trailer = drop_trailer;
        cam.stream_faults.stray_datagrams = stray;
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
        if (seconds > 0 && waited >= static_cast<long>(seconds * 1e6))
            break;
        usleep(tick);
    }
    return 0;
}

}  // namespace vsim
