// vora-ros2's options, over the tools' shared parser.
#include "bridge_options.h"

#include <set>

#include "channels.h"
#include "cli_options.h"
#include "ros_names.h"

namespace vora_ros2 {

using vora_cli::UsageError;

const char* const kHelp = "usage: vora-ros2 [options]\n"
                          "Publishes cameras as ROS 2 topics over DDS: point clouds in metres, depth\n"
                          "images in millimetres, colour images, camera models and the sensors' static\n"
                          "transforms.\n"
                          "  -c, --camera SEL        camera by index, serial, IP or MAC; repeat for several\n"
                          "                          cameras (default: the first found)\n"
                          "  -n, --name NAME         camera name, one per --camera in order (default\n"
                          "                          \"camera\"; with several cameras and no names,\n"
                          "                          \"camera_<serial>\")\n"
                          "      --namespace NS      ROS namespace before every camera's topics (default none)\n"
                          "      --node NAME         node name (default \"vora_ros2\")\n"
                          "      --channels LIST     stream channels to publish, e.g. 0,2 (default: every\n"
                          "                          channel the camera has)\n"
                          "      --registered        also publish <cam>/depth_registered/points (needs the\n"
                          "                          first depth and the colour channel)\n"
                          "      --qos reliable|sensor-data\n"
                          "                          reliable (default): RELIABLE, VOLATILE, KEEP_LAST 1;\n"
                          "                          sensor-data: BEST_EFFORT\n"
                          "      --frames N          stop (exit 0) once every opened channel has published\n"
                          "                          N frames\n"
                          "      --duration S        stop (exit 0) after S seconds\n"
                          "      --status S          print the status every S seconds (default 1; 0: only\n"
                          "                          at the end)\n"
                          "      --wait S            keep discovering for up to S seconds (default 5; 0\n"
                          "                          asks once) until the cameras answer\n"
                          "      --resend on|off     packet resend on the streams (default on)\n"
                          "      --trace FILE        write when each frame was handed over and published\n"
                          "                          (for the benchmark: \"capture CH HANDOVER_NS PAYLOAD\",\n"
                          "                          \"publish CH STAMP_NS HANDOVER_NS WRITTEN_NS\")\n"
                          "  -h, --help\n"
                          "Topics of camera CAM (under --namespace): CAM/depth/points, CAM/depth/image_raw,\n"
                          "CAM/depth/camera_info, CAM/color/image_raw, CAM/color/camera_info, the same\n"
                          "under depth2 for a second depth channel, CAM/depth_registered/points, and\n"
                          "/tf_static. Status lines on stdout:\n"
                          "  status <topic> published <N> skipped <N> subscribers <N> unacknowledged <N>\n"
                          "Environment: ROS_DOMAIN_ID (0..232, default 0); CYCLONEDDS_URI, used as it is\n"
                          "when set (otherwise the bridge's own settings for large samples).\n"
                          "Exit codes: 0 done (also on SIGINT/SIGTERM), 1 camera or DDS error (also a\n"
                          "camera lost while publishing), 2 usage error, 3 no camera found.\n";

namespace {

const std::vector<vora_cli::OptionDef> kOptions = {
    {"--camera", 'c', true}, {"--name", 'n', true},      {"--namespace", 0, true}, {"--node", 0, true},
    {"--channels", 0, true}, {"--registered", 0, false}, {"--qos", 0, true},       {"--frames", 0, true},
    {"--duration", 0, true}, {"--status", 0, true},      {"--wait", 0, true},      {"--resend", 0, true},
    {"--trace", 0, true},
};

}  // namespace

BridgeOptions parse_options(int argc, char** argv)
{
    const vora_cli::Args args(argc, argv, kOptions);
    BridgeOptions o;
    if (args.help()) {
        o.help = true;
        return o;
    }
    if (!args.positional().empty())
        throw UsageError("unexpected argument " + args.positional()[0]);
    o.cameras = args.values("--camera");
    for (const std::string& c : o.cameras)
        if (c.empty())
            throw UsageError("-c needs an index, serial number, IP or MAC address");
    o.names = args.values("--name");
    const size_t cameras = o.cameras.empty() ? 1 : o.cameras.size();
    if (!o.names.empty() && o.names.size() != cameras)
        throw UsageError("give one --name per --camera (" + std::to_string(o.names.size()) + " names for " +
                         std::to_string(cameras) + " camera" + (cameras == 1 ? "" : "s") + ")");
    std::set<std::string> seen;
    for (const std::string& n : o.names) {
        const std::string problem = token_problem(n);
        if (!problem.empty())
            throw UsageError("camera name \"" + n + "\" " + problem);
        if (!seen.insert(n).second)
            throw UsageError("camera name \"" + n + "\" is given twice (their topics would mix)");
    }
    if (args.has("--namespace")) {
        const std::string ns = args.value("--namespace");
        const std::string problem = namespace_problem(ns);
        if (!problem.empty())
            throw UsageError("namespace \"" + ns + "\" " + problem);
        o.ros_namespace = normal_namespace(ns);
    }
    if (args.has("--node")) {
        o.node = args.value("--node");
        const std::string problem = token_problem(o.node);
        if (!problem.empty())
            throw UsageError("node name \"" + o.node + "\" " + problem);
    }
    o.channels = vora_tool::channels_option(args);
    o.registered = args.has("--registered");
    const std::string qos = args.value("--qos", "reliable");
    if (qos != "reliable" && qos != "sensor-data")
        throw UsageError("--qos takes reliable or sensor-data");
    o.sensor_data_qos = qos == "sensor-data";
    if (args.has("--frames"))
        o.frames = vora_cli::to_integer(args.value("--frames"), "--frames", 1, 1000000000);
    if (args.has("--duration"))
        o.duration = vora_cli::to_number(args.value("--duration"), "--duration", 0.001, 1e9);
    if (args.has("--status"))
        o.status = vora_cli::to_number(args.value("--status"), "--status", 0, 86400);
    if (args.has("--wait")) {
        o.wait_given = true;
        o.wait = vora_cli::to_number(args.value("--wait"), "--wait", 0, 3600);
    }
    const std::string resend = args.value("--resend", "on");
    if (resend != "on" && resend != "off")
        throw UsageError("--resend takes on or off");
    o.resend = resend == "on";
    o.trace = args.value("--trace", "");
    return o;
}

int domain_from_environment(const char* value)
{
    if (!value || !*value)
        return 0;
    return static_cast<int>(vora_cli::to_integer(value, "ROS_DOMAIN_ID", 0, 232));
}

}  // namespace vora_ros2
