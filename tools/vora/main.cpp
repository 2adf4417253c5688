// vora: cameras from the command line, through the library's exported
// interface. main picks the subcommand and turns usage errors into exit
// code 2.
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "options.h"
#include "session.h"
#include "tsan_suppressions.h"
#include "vora_qelcamera_api.h"

namespace {

using vora_tool::kExitOk;
using vora_tool::kExitUsage;

struct Command {
    const char* name;
    int (*run)(int, char**);
    const char* summary;
    bool finds_camera;  // takes --wait
};

// Without the simulated camera, `sim` and `play` only say that it is missing.
#ifdef VORA_TOOL_WITH_SIM
constexpr const char* kSimSummary = "run simulated cameras until interrupted";
constexpr const char* kPlaySummary = "serve a recording as a simulated camera";
#else
constexpr const char* kSimSummary = "(not in this vora: it was built without the simulated camera)";
constexpr const char* kPlaySummary = kSimSummary;
#endif

const Command kCommands[] = {
    {"list", vora_tool::cmd_list, "discover cameras and print them with their index", true},
    {"info", vora_tool::cmd_info, "identity, channels, calibration and settings of a camera", true},
    {"features", vora_tool::cmd_features, "the features of the camera: type, access, value, bounds, entries", true},
    {"get", vora_tool::cmd_get, "read features: vora get -c N NAME...", true},
    {"set", vora_tool::cmd_set, "write features: vora set -c N NAME=VALUE...", true},
    {"execute", vora_tool::cmd_execute, "run commands: vora execute -c N NAME...", true},
    {"save-xml", vora_tool::cmd_save_xml, "save the camera's device description into a directory", true},
    {"capture", vora_tool::cmd_capture, "capture frames into point-cloud and image files", true},
    {"sync-status", vora_tool::cmd_sync_status, "PTP state, clock offset to the host and action commands of cameras",
     true},
    {"force-ip", vora_tool::cmd_force_ip, "give a camera a new IP address, mask and gateway", true},
    {"record", vora_tool::cmd_record, "record stream channels into an MCAP file", true},
    {"export", vora_tool::cmd_export, "write the frames of a recording into point-cloud and image files", false},
    {"view", vora_tool::cmd_view, "a live view of a camera in the browser, with its statistics and controls", true},
    {"sim", vora_tool::cmd_sim, kSimSummary, false},
    {"play", vora_tool::cmd_play, kPlaySummary, false},
};

// --wait SECONDS or --wait=SECONDS among a command's arguments (from the
// second on), taken out into *value; false when not given.
bool take_wait(std::vector<char*>* args, std::string* value)
{
    bool given = false;
    for (auto it = args->begin() + 1; it != args->end();) {
        if (std::strcmp(*it, "--") == 0)
            break;
        if (std::strcmp(*it, "--wait") == 0) {
            if (it + 1 == args->end())
                throw vora_tool::UsageError("option --wait needs a value");
            *value = *(it + 1);
            given = true;
            it = args->erase(it, it + 2);
        } else if (std::strncmp(*it, "--wait=", 7) == 0) {
            *value = *it + 7;
            given = true;
            it = args->erase(it);
        } else {
            ++it;
        }
    }
    return given;
}

void usage(std::FILE* out)
{
    std::fprintf(out, "usage: vora [--log] COMMAND [options]\n"
                      "Finds, configures and captures from 3D cameras on this host's networks.\n"
                      "Commands that take a camera choose it with -c: its index in `vora list`\n"
                      "(default 0; the list is sorted by serial number, so indexes stay put), its\n"
                      "serial number, its IP address or its MAC address (-c SIM00001, -c 10.0.0.5,\n"
                      "-c 00:11:22:33:44:55).\n\n"
                      "commands:\n");
    for (const Command& c : kCommands)
        std::fprintf(out, "  %-11s %s\n", c.name, c.summary);
    std::fprintf(out, "\n"
                      "  --log      write the library's logs into the current directory (one file\n"
                      "             per camera, named after its serial number, and one of discovery)\n"
                      "  --wait S   commands that find a camera keep discovering until it answers,\n"
                      "             for up to S seconds (default 5; 0 asks once); `list` until any\n"
                      "             camera answers\n"
                      "  --help     this text; `vora COMMAND --help` explains a command\n"
                      "  --version  the tool's version\n\n"
                      "exit codes:\n"
                      "  0    success\n"
                      "  1    the camera, the library, a stream or a file reported an error\n"
                      "  2    usage error (bad command line)\n"
                      "  3    no camera found, or none at the index given\n"
                      "  130  interrupted (Ctrl-C); the camera is released first\n"
                      "  143  terminated (SIGTERM); likewise\n");
}

}  // namespace

int main(int argc, char** argv)
{
    const Command* command = nullptr;
    std::vector<char*> args;
    bool log = false;
    bool wait_given = false;
    std::string wait;  // --wait
    try {
        const vora_tool::Args top(argc, argv, {{"--log", 0, false}, {"--version", 0, false}, {"--wait", 0, true}},
                                  true);
        if (top.help()) {
            usage(stdout);
            return kExitOk;
        }
        if (top.has("--version")) {
            std::printf("vora %s\n", VORA_TOOL_VERSION);
            return kExitOk;
        }
        log = top.has("--log");
        if (top.positional().empty()) {
            usage(stderr);
            return kExitUsage;
        }
        // The subcommand's line is the tail of argv, from its name on.
        const int first = argc - static_cast<int>(top.positional().size());
        for (const Command& c : kCommands)
            if (std::strcmp(c.name, argv[first]) == 0)
                command = &c;
        if (!command) {
            std::fprintf(stderr, "vora: unknown command \"%s\"; `vora --help` lists them\n", argv[first]);
            return kExitUsage;
        }
        args.assign(argv + first, argv + argc);
        wait_given = top.has("--wait");
        wait = top.value("--wait");
    } catch (const vora_tool::UsageError& e) {
        std::fprintf(stderr, "vora: %s\n", e.what());
        usage(stderr);
        return kExitUsage;
    }

    // --log may also follow the command (not for sim, whose options are its own).
    const bool sim = std::strcmp(command->name, "sim") == 0 || std::strcmp(command->name, "play") == 0;
    if (!sim) {
        for (auto it = args.begin() + 1; it != args.end();) {
            if (std::strcmp(*it, "--log") == 0) {
                log = true;
                it = args.erase(it);
            } else {
                ++it;
            }
        }
    }
    // --wait may come before or after the command's name, for the commands
    // that find a camera; the others refuse it as an unknown option.
    try {
        if (command->finds_camera)
            wait_given = take_wait(&args, &wait) || wait_given;
        else if (wait_given)
            throw vora_tool::UsageError("--wait is for commands that find a camera");
        if (wait_given)
            vora_tool::set_discovery_wait(vora_tool::to_number(wait, "--wait", 0, 3600));
    } catch (const vora_tool::UsageError& e) {
        std::fprintf(stderr, "vora %s: %s\n(see `vora %s --help`)\n", command->name, e.what(), command->name);
        return kExitUsage;
    }

    // The library logs nothing unless asked to.
    SetLogLevel(log, log, log, log);
    if (!sim)
        vora_tool::install_interrupt_handler();

    args.push_back(nullptr);
    try {
        const int code = command->run(static_cast<int>(args.size()) - 1, args.data());
        return vora_tool::interrupted() ? vora_tool::interrupted_exit_code() : code;
    } catch (const vora_tool::UsageError& e) {
        std::fprintf(stderr, "vora %s: %s\n(see `vora %s --help`)\n", command->name, e.what(), command->name);
        return kExitUsage;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vora %s: %s\n", command->name, e.what());
        return vora_tool::kExitCamera;
    }
}
