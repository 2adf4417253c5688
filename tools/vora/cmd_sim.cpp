// vora sim: simulated cameras in the foreground, with the options of
// vora-camsim.
#include <string>
#include <vector>

#include "commands.h"
#include "sim_cli.h"

namespace vora_tool {

int cmd_sim(int argc, char** argv)
{
    // The simulator names itself after argv[0] in its messages.
    std::string name = "vora sim";
    std::vector<char*> args(argv, argv + argc);
    args[0] = name.data();
    args.push_back(nullptr);
    return vsim::run_simulator(argc, args.data());
}

}  // namespace vora_tool
