// vora-camsim: runs simulated cameras in the foreground until interrupted.
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

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int)
{
    g_stop = 1;
}

void usage()
{
    std::printf(
        "usage: vora-camsim [--ip A.B.C.D] [--mask A.B.C.D] [--cameras N] [--serial PREFIX]\n"
        "                   [--seconds S]\n"
        "Runs N simulated cameras, the first at --ip and each next one at the next\n"
        "address, until interrupted (or for S seconds).\n");
}

uint32_t parse_ip(const char* text)
{
    in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1) {
        std::fprintf(stderr, "vora-camsim: not an IPv4 address: %s\n", text);
        std::exit(2);
    }
    return ntohl(a.s_addr);
}

}  // namespace

int main(int argc, char** argv)
{
    vsim::SimConfig base;
    int cameras = 1;
    double seconds = 0;
    std::string serial_prefix = "SIM";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                usage();
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--ip")
            base.ip = parse_ip(value());
        else if (arg == "--mask")
            base.mask = parse_ip(value());
        else if (arg == "--cameras")
            cameras = std::atoi(value());
        else if (arg == "--serial")
            serial_prefix = value();
        else if (arg == "--seconds")
            seconds = std::atof(value());
        else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (cameras < 1 || cameras > 250) {
        std::fprintf(stderr, "vora-camsim: --cameras must be 1..250\n");
        return 2;
    }

    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);

    std::vector<std::unique_ptr<vsim::SimCamera>> sims;
    for (int n = 0; n < cameras; ++n) {
        vsim::SimConfig c = base;
        c.ip = base.ip + static_cast<uint32_t>(n);
        c.mac[5] = static_cast<uint8_t>(base.mac[5] + n);
        char serial[17];
        std::snprintf(serial, sizeof serial, "%s%05d", serial_prefix.c_str(), n + 1);
        c.serial = serial;
        sims.push_back(std::make_unique<vsim::SimCamera>(c));
        if (int err = sims.back()->start()) {
            std::fprintf(stderr, "vora-camsim: camera %d cannot listen: %s\n", n, std::strerror(-err));
            return 1;
        }
        in_addr a{htonl(c.ip)};
        std::printf("camera %s at %s\n", c.serial.c_str(), inet_ntoa(a));
    }
    std::fflush(stdout);

    const useconds_t tick = 50000;
    for (long waited = 0; !g_stop; waited += tick) {
        if (seconds > 0 && waited >= static_cast<long>(seconds * 1e6))
            break;
        usleep(tick);
    }
    return 0;
}
