// ROS naming rules and the bridge's topic and frame names.
#include "ros_names.h"

#include <cctype>

#include "vora_qelcamera_api.h"

namespace vora_ros2 {

std::string token_problem(const std::string& name)
{
    if (name.empty())
        return "is empty";
    if (std::isdigit(static_cast<unsigned char>(name[0])))
        return "starts with a digit (ROS names begin with a letter or '_')";
    for (char c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            return std::string("holds '") + c + "' (ROS names hold only letters, digits and '_')";
    if (name.find("__") != std::string::npos)
        return "holds a double underscore (ROS reserves \"__\")";
    return "";
}

std::string namespace_problem(const std::string& ns)
{
    if (ns.empty() || ns == "/")
        return "";
    if (ns.back() == '/')
        return "ends with '/' (a namespace has no trailing slash)";
    const size_t start = ns[0] == '/' ? 1 : 0;
    size_t begin = start;
    for (;;) {
        const size_t slash = ns.find('/', begin);
        const std::string token = ns.substr(begin, slash == std::string::npos ? std::string::npos : slash - begin);
        if (token.empty())
            return "holds an empty part (\"//\")";
        const std::string problem = token_problem(token);
        if (!problem.empty())
            return "part \"" + token + "\" " + problem;
        if (slash == std::string::npos)
            return "";
        begin = slash + 1;
    }
}

std::string normal_namespace(const std::string& ns)
{
    if (ns.empty() || ns == "/")
        return "";
    return ns[0] == '/' ? ns : "/" + ns;
}

std::string camera_name_for_serial(const std::string& serial)
{
    std::string name = "camera_";
    for (char c : serial) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            continue;
        if (c == '_' && name.back() == '_')
            continue;
        name += c;
    }
    return name;
}

std::string channel_role(const std::vector<unsigned>& formats, unsigned channel)
{
    char role[32];
    if (GetRosChannelRole(formats.data(), static_cast<unsigned>(formats.size()), channel, role, sizeof role) != 0)
        return "";
    return role;
}

std::string topic_name(const std::string& ns, const std::string& camera, const std::string& role,
                       const std::string& leaf)
{
    return normal_namespace(ns) + "/" + camera + "/" + role + "/" + leaf;
}

std::string dds_topic_name(const std::string& ros_topic)
{
    return "rt" + (ros_topic.empty() || ros_topic[0] != '/' ? "/" + ros_topic : ros_topic);
}

std::string body_frame(const std::string& camera)
{
    return camera + "_link";
}

std::string optical_frame(const std::string& camera, const std::string& role)
{
    return camera + "_" + role + "_optical_frame";
}

}  // namespace vora_ros2
