// vora-ros2: cameras as ROS 2 topics over Cyclone DDS, through the
// library's exported interface. main reads the command line and the
// environment and turns usage errors into exit code 2.
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "bridge.h"
#include "bridge_options.h"
#include "common.h"
#include "session.h"
#include "vora_qelcamera_api.h"

#if defined(__SANITIZE_THREAD__)
// What ThreadSanitizer is not to report here: Cyclone DDS comes built
// without the sanitizer, and its receive buffers and lock-free queues are
// handed between its threads by code the sanitizer does not see; and a
// camera that stops answering is left without the library's teardown, its
// heartbeat thread behind on purpose (CameraSession::close_or_leave).
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libddsc.so\n"
           "race:libddsc.so\n"
           "thread:GigeCamera::CameraConnect\n"
           "thread:GigeCamera::start_heartbeat\n";
}
#endif

int main(int argc, char** argv)
{
    vora_tool::set_program_name("vora-ros2");
    vora_ros2::BridgeOptions options;
    int domain = 0;
    try {
        options = vora_ros2::parse_options(argc, argv);
        if (options.help) {
            std::fputs(vora_ros2::kHelp, stdout);
            return vora_tool::kExitOk;
        }
        domain = vora_ros2::domain_from_environment(std::getenv("ROS_DOMAIN_ID"));
    } catch (const vora_tool::UsageError& e) {
        std::fprintf(stderr, "vora-ros2: %s\n(see `vora-ros2 --help`)\n", e.what());
        return vora_tool::kExitUsage;
    }
    if (options.wait_given)
        vora_tool::set_discovery_wait(options.wait);
    SetLogLevel(0, 0, 0, 0);
    // Before the library or DDS start a thread: they inherit the blocked
    // signals, and one thread waits for them instead.
    vora_tool::install_interrupt_handler();
    try {
        return vora_ros2::run_bridge(options, domain);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vora-ros2: %s\n", e.what());
        return vora_tool::kExitCamera;
    }
}
