// The subcommands of the vora tool. Each takes its own argv (argv[0] is the
// subcommand's name) and returns the process exit code.
#ifndef VORA_TOOL_COMMANDS_H
#define VORA_TOOL_COMMANDS_H

#include <string>

namespace vora_cli {
class Args;
}

namespace vora_tool {

int cmd_list(int argc, char** argv);
int cmd_force_ip(int argc, char** argv);
int cmd_info(int argc, char** argv);
int cmd_features(int argc, char** argv);
int cmd_get(int argc, char** argv);
int cmd_set(int argc, char** argv);
int cmd_execute(int argc, char** argv);
int cmd_save_xml(int argc, char** argv);
int cmd_capture(int argc, char** argv);
// vora capture with several cameras or --sync action: the command line
// cmd_capture parsed.
int sync_capture(const vora_cli::Args& args);
int cmd_sync_status(int argc, char** argv);
int cmd_sim(int argc, char** argv);
int cmd_record(int argc, char** argv);
int cmd_export(int argc, char** argv);
int cmd_play(int argc, char** argv);
// vora info FILE.mcap: what a recording holds.
int recording_info(const std::string& path, bool json);
int cmd_view(int argc, char** argv);
// What `vora sim` and `vora play` do in a vora built without the simulated
// camera: say so; the exit code.
int without_simulator(const char* command);

}  // namespace vora_tool

#endif
