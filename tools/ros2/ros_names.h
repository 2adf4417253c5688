// ROS naming for the bridge: which names ROS accepts for a node, a
// namespace and a camera, the topics and frames a camera's channels get,
// and the DDS topic names ROS 2 puts on the wire.
#ifndef VORA_ROS2_NAMES_H
#define VORA_ROS2_NAMES_H

#include <string>
#include <vector>

namespace vora_ros2 {

// "" when `name` is one ROS name token (letters, digits, underscores, not
// starting with a digit, no double underscore); otherwise which rule it
// breaks, for a message that begins with what was named.
std::string token_problem(const std::string& name);
// The same for a namespace: tokens separated by '/', an optional leading
// '/', no empty token and no trailing '/'. "" and "/" are the root.
std::string namespace_problem(const std::string& ns);
// A namespace as ROS writes it in front of names: "" for the root,
// otherwise "/a/b" (a leading '/' added).
std::string normal_namespace(const std::string& ns);

// The default name of a camera among several: "camera_" and its serial
// with every character outside [A-Za-z0-9_] left out and runs of
// underscores made one, so that the result is a valid token.
std::string camera_name_for_serial(const std::string& serial);

// A stream channel's role among the camera's channels, from every
// channel's pixel format, by the library's rule (GetRosChannelRole, which
// the recorder follows too): "depth", "depth2", "color", ...; "" for none.
std::string channel_role(const std::vector<unsigned>& formats, unsigned channel);

// "/<ns>/<camera>/<role>/<leaf>", e.g. "/camera/depth/points".
std::string topic_name(const std::string& ns, const std::string& camera, const std::string& role,
                       const std::string& leaf);
// The DDS topic of a ROS topic: "rt" in front of its absolute name.
std::string dds_topic_name(const std::string& ros_topic);
// "<camera>_link" and "<camera>_<role>_optical_frame".
std::string body_frame(const std::string& camera);
std::string optical_frame(const std::string& camera, const std::string& role);

}  // namespace vora_ros2

#endif
