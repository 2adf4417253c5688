// vora-camsim: runs simulated cameras in the foreground until interrupted.
#include "sim_cli.h"

int main(int argc, char** argv)
{
    return vsim::run_simulator(argc, argv);
}
