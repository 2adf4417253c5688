// vora sim: simulated cameras in the foreground, with the options of
// vora-camsim.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#ifdef VORA_TOOL_WITH_SIM
#include "sim_cli.h"
#endif

namespace vora_tool {

int without_simulator(const char* command)
{
    std::fprintf(stderr,
                 "vora %s: this vora was built without the simulated camera; "
                 "build the project with VORA_BUILD_SIM=ON for `vora sim` and `vora play`\n",
                 command);
    return kExitUsage;
}

#ifdef VORA_TOOL_WITH_SIM
int cmd_sim(int argc, char** argv)
{
    // The simulator names itself after argv[0] in its messages.
    std::string name = "vora sim";
    std::vector<char*> args(argv, argv + argc);
    args[0] = name.data();
    args.push_back(nullptr);
    return vsim::run_simulator(argc, args.data());
}
#else
int cmd_sim(int, char**)
{
    return without_simulator("sim");
}
#endif

}  // namespace vora_tool
