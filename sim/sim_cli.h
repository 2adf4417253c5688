// The simulator's command line, shared by vora-camsim and `vora sim`: runs
// simulated cameras in the foreground until interrupted.
#ifndef VORA_SIM_CLI_H
#define VORA_SIM_CLI_H

namespace vsim {

// argv[0] is the name used in messages and the usage text; the options
// follow. Prints one "camera SERIAL at ADDRESS" line per camera and then
// "ready" once all of them listen. Returns the process exit code: 0 after
// SIGINT, SIGTERM or --seconds, 1 when a camera cannot listen, 2 for a
// usage error.
int run_simulator(int argc, char** argv);

}  // namespace vsim

#endif
