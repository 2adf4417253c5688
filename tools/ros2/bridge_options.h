// The command line and environment of vora-ros2.
#ifndef VORA_ROS2_OPTIONS_H
#define VORA_ROS2_OPTIONS_H

#include <string>
#include <vector>

namespace vora_ros2 {

extern const char* const kHelp;

struct BridgeOptions {
    std::vector<std::string> cameras;  // selectors; empty: the first camera found
    std::vector<std::string> names;    // one per camera, checked; filled in by the bridge when empty
    std::string ros_namespace;         // "" (the root) or "/a/b"
    std::string node = "vora_ros2";
    std::vector<unsigned short> channels;  // empty: every channel of each camera
    bool registered = false;
    bool sensor_data_qos = false;
    long long frames = 0;  // 0: no limit
    double duration = 0;   // seconds; 0: no limit
    double status = 1;     // seconds between status reports; 0: only at the end
    bool wait_given = false;
    double wait = 0;
    bool resend = true;
    std::string trace;  // file of hand-over and publication times; empty: none
    bool help = false;
};

// Parses argv[1..argc); throws vora_cli::UsageError saying what is wrong
// (an unknown option, a number out of range, a name breaking ROS rules).
BridgeOptions parse_options(int argc, char** argv);

// ROS_DOMAIN_ID: null or empty is 0; otherwise 0..232, else UsageError.
int domain_from_environment(const char* value);

}  // namespace vora_ros2

#endif
