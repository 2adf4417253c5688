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
    std::printf(
        "usage: %s [options]\n"
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
        "  --max-packet N        largest stream packet the camera sends (default 65535)\n"
        "  --loss P              lose each stream packet with probability P (0..1)\n"
        "  --burst-loss N:L      every N-th frame loses L packets from its middle\n"
        "  --drop-leader, --drop-trailer   lose every leader / trailer\n"
        "  --reorder P, --duplicate P      swap / repeat packets with probability P\n"
        "  --stray               send junk datagrams from another address\n"
        "  --colour-format F     rgb8, yuv422 or bayerrg8 for the colour sensor\n"
        "  --seconds S           stop after S seconds\n"
        "Prints a line per camera, then \"ready\" once every camera listens.\n"
        "Exit codes: 0 stopped by a signal or --seconds, 1 a camera cannot listen,\n"
        "2 usage error.\n",
        program);
}

bool parse_ip(const char* program, const char* text, uint32_t* out)
{
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) {
        std::fprintf(stderr, "%s: not an IPv4 address: %s\n", program, text);
        return false;
    }
    *out = ntohl(a.s_addr);
    return true;
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
    int burst_every = 0, burst_length = 0;
    bool drop_leader = false, drop_trailer = false, stray = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            usage(program);
            return 0;
        }
        // Flags without a value.
        if (arg == "--drop-leader") {
            drop_leader = true;
            continue;
        }
        if (arg == "--drop-trailer") {
            drop_trailer = true;
            continue;
        }
        if (arg == "--stray") {
            stray = true;
            continue;
        }
        if (i + 1 >= argc) {
            std::fprintf(stderr, "%s: %s\n", program,
                         arg.rfind("--", 0) == 0 ? ("option " + arg + " needs a value").c_str()
                                                 : ("unknown argument " + arg).c_str());
            usage(program);
            return 2;
        }
        const char* value = argv[++i];
        if (arg == "--ip") {
            if (!parse_ip(program, value, &base.ip))
                return 2;
        } else if (arg == "--mask") {
            if (!parse_ip(program, value, &base.mask))
                return 2;
        } else if (arg == "--gateway") {
            if (!parse_ip(program, value, &base.gateway))
                return 2;
        } else if (arg == "--cameras")
            cameras = std::atoi(value);
        else if (arg == "--serial")
            serial = value;
        else if (arg == "--model")
            base.model = value;
        else if (arg == "--iface")
            base.iface = value;
        else if (arg == "--discovery-ack-len")
            ack_len = std::atoi(value);
        else if (arg == "--fps")
            base.frame_rate = std::atof(value);
        else if (arg == "--max-packet")
            base.max_packet_size = static_cast<uint32_t>(std::atoi(value));
        else if (arg == "--loss")
            loss = std::atof(value);
        else if (arg == "--reorder")
            reorder = std::atof(value);
        else if (arg == "--duplicate")
            duplicate = std::atof(value);
        else if (arg == "--burst-loss") {
            if (std::sscanf(value, "%d:%d", &burst_every, &burst_length) != 2) {
                std::fprintf(stderr, "%s: --burst-loss takes N:L\n", program);
                return 2;
            }
        } else if (arg == "--colour-format") {
            const std::string f = value;
            const uint32_t code = f == "rgb8"       ? PIXEL_FORMAT_RGB8
                                  : f == "yuv422"   ? PIXEL_FORMAT_YUV422_8
                                  : f == "bayerrg8" ? PIXEL_FORMAT_BAYER_RG8
                                                    : 0;
            if (!code) {
                std::fprintf(stderr, "%s: unknown colour format %s\n", program, f.c_str());
                return 2;
            }
            for (auto& sensor : base.sensors)
                if (sensor.colour)
                    sensor.pixel_format = code;
        } else if (arg == "--mac") {
            unsigned m[6];
            if (std::sscanf(value, "%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) != 6) {
                std::fprintf(stderr, "%s: bad MAC address\n", program);
                return 2;
            }
            for (int k = 0; k < 6; ++k)
                base.mac[k] = static_cast<uint8_t>(m[k]);
        } else if (arg == "--seconds")
            seconds = std::atof(value);
        else {
            std::fprintf(stderr, "%s: unknown option %s\n", program, arg.c_str());
            usage(program);
            return 2;
        }
    }
    if (cameras < 1 || cameras > 250) {
        std::fprintf(stderr, "%s: --cameras must be 1..250\n", program);
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
        cam.stream_faults.burst_every = burst_every;
        cam.stream_faults.burst_length = burst_length;
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
