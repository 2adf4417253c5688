// The bridge's presence on DDS as one ROS 2 node: the domain and its
// participant, a writer per topic, and the graph's ros_discovery_info
// sample that names the node and its writers.
#ifndef VORA_ROS2_DDS_NODE_H
#define VORA_ROS2_DDS_NODE_H

#include <dds/dds.h>

#include <string>
#include <vector>

namespace vora_ros2 {

enum class TopicQos {
    Reliable,    // RELIABLE, VOLATILE, KEEP_LAST 1
    SensorData,  // BEST_EFFORT, VOLATILE, KEEP_LAST 1
    Latched,     // RELIABLE, TRANSIENT_LOCAL, KEEP_LAST 1 (/tf_static)
};

class DdsNode {
public:
    DdsNode() = default;
    ~DdsNode() { close(); }
    DdsNode(const DdsNode&) = delete;
    DdsNode& operator=(const DdsNode&) = delete;

    // Creates the domain and the participant. Without CYCLONEDDS_URI the
    // domain gets the bridge's settings for large samples; with it, the
    // user's configuration as it is. False with the reason in *error.
    bool open(int domain, std::string* error);
    // What configuration the domain runs with, for the start message.
    const std::string& configuration() const { return configuration_; }

    // A writer of `type` on DDS topic `name`; a negative DDS code on
    // failure (dds_strretcode tells it).
    dds_entity_t writer(const dds_topic_descriptor_t* type, const std::string& name, TopicQos qos);
    // Publishes the node (name, namespace "/" or "/a/b") with every writer
    // made so far on ros_discovery_info. False with the reason in *error.
    bool announce(const std::string& node, const std::string& ns, std::string* error);
    // Readers currently matched with a writer; 0 when it cannot be told.
    static unsigned subscribers(dds_entity_t writer);

    // Deletes every entity, the domain last; safe to call again.
    void close();

private:
    dds_entity_t domain_ = 0;
    dds_entity_t participant_ = 0;
    dds_entity_t discovery_writer_ = 0;
    std::vector<dds_guid_t> writers_;
    std::string configuration_;
};

}  // namespace vora_ros2

#endif
