// The simulator's command line, shared by vora-camsim and `vora sim`: runs
// simulated cameras in the foreground until interrupted.
#ifndef VORA_SIM_CLI_H
#define VORA_SIM_CLI_H

#include <string>

#include "sim_camera.h"

namespace vsim {

// What the command line asks for.
struct SimSettings {
    SimConfig base;  // the first camera; the others take the next addresses and MACs
    int cameras = 1;
    std::string serial;  // of the first camera; further ones get SERIAL-2 ... (empty: SIM00001 ...)
    double seconds = 0;  // how long to run; 0: until a signal
    // Faults every camera starts with.
    int discovery_ack_len = 0;
    double loss = 0, reorder = 0, duplicate = 0;
    int burst_every = 0, burst_length = 0;
    bool drop_leader = false, drop_trailer = false, stray = false;
    bool action_ignore = false, action_any_group = false;
    int action_ack_delay_ms = 0;
};

// The options after argv[0], read into settings (--help and --version are
// accepted and change nothing). A mistake throws a std::runtime_error whose
// text names the option.
SimSettings simulator_settings(int argc, char** argv);
// The text of --help, with `program` as the name to run.
std::string simulator_usage(const std::string& program);

// argv[0] is the name used in messages and the usage text; the options
// follow. Prints one "camera SERIAL at ADDRESS" line per camera and then
// "ready" once all of them listen. Returns the process exit code: 0 after
// SIGINT, SIGTERM or --seconds, 1 when a camera cannot listen, 2 for a
// usage error.
int run_simulator(int argc, char** argv);

}  // namespace vsim

#endif
