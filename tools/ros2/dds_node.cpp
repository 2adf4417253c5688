// Domain, participant, writers and the node's entry in the ROS graph.
#include "dds_node.h"

#include <cstdlib>
#include <cstring>

#include "ros2_interfaces.h"

namespace vora_ros2 {

namespace {

// Clouds of a megapixel sensor are 12 MB: such samples travel as many
// fragments, which the receiving socket must hold until the last arrives,
// and a reliable writer keeps a whole one for retransmission. The receive
// buffer is a request the kernel caps at net.core.rmem_max (too small a
// cap costs samples, not the start). Fragments nearly as large as a
// datagram may be cut the fewest datagrams and submessages from a cloud:
// measured on a veth pair, 60000 B fragments lost no cloud at 10 frames/s
// where 4000 B ones lost one in five, at half the CPU of 8900 B ones.
// Readers acknowledge when the writer's heartbeat asks; a sample is waited
// for before the next (see write()), so heartbeats every 10 ms rather than
// 100 ms keep a cloud's way to its readers short (p50 about 25 ms instead
// of 110 ms at 10 frames/s).
const char* const kLargeSampleConfig =
    "<CycloneDDS><Domain Id=\"any\">"
    "<General><MaxMessageSize>65500B</MaxMessageSize><FragmentSize>60000B</FragmentSize></General>"
    "<Internal><SocketReceiveBufferSize max=\"10MB\"/>"
    "<Watermarks><WhcHigh>64MB</WhcHigh></Watermarks>"
    "<HeartbeatInterval min=\"1ms\" minsched=\"1ms\">10ms</HeartbeatInterval></Internal>"
    "</Domain></CycloneDDS>";

// The participant's USER_DATA ROS 2 reads the security enclave from.
const char kEnclave[] = "enclave=/;";

std::string dds_error(dds_return_t code)
{
    return std::string(dds_strretcode(code)) + " (" + std::to_string(code) + ")";
}

}  // namespace

bool DdsNode::open(int domain, std::string* error)
{
    const char* uri = std::getenv("CYCLONEDDS_URI");
    const auto id = static_cast<dds_domainid_t>(domain);
    if (!uri || !*uri) {
        domain_ = dds_create_domain(id, kLargeSampleConfig);
        if (domain_ < 0) {
            *error = "cannot create DDS domain " + std::to_string(domain) + ": " + dds_error(domain_);
            domain_ = 0;
            return false;
        }
        configuration_ = "built-in large-sample settings";
    } else {
        configuration_ = "CYCLONEDDS_URI as set";
    }
    dds_qos_t* qos = dds_create_qos();
    dds_qset_userdata(qos, kEnclave, sizeof kEnclave - 1);
    participant_ = dds_create_participant(id, qos, nullptr);
    dds_delete_qos(qos);
    if (participant_ < 0) {
        *error = "cannot create a DDS participant on domain " + std::to_string(domain) + ": " + dds_error(participant_);
        participant_ = 0;
        close();
        return false;
    }
    return true;
}

dds_entity_t DdsNode::writer(const dds_topic_descriptor_t* type, const std::string& name, TopicQos kind)
{
    const dds_entity_t topic = dds_create_topic(participant_, type, name.c_str(), nullptr, nullptr);
    if (topic < 0)
        return topic;
    dds_qos_t* qos = dds_create_qos();
    dds_qset_reliability(qos, kind == TopicQos::SensorData ? DDS_RELIABILITY_BEST_EFFORT : DDS_RELIABILITY_RELIABLE,
                         DDS_MSECS(100));
    dds_qset_durability(qos, kind == TopicQos::Latched ? DDS_DURABILITY_TRANSIENT_LOCAL : DDS_DURABILITY_VOLATILE);
    dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
    const dds_entity_t w = dds_create_writer(participant_, topic, qos, nullptr);
    dds_delete_qos(qos);
    if (w < 0)
        return w;
    dds_guid_t guid;
    if (dds_get_guid(w, &guid) == DDS_RETCODE_OK)
        writers_.push_back(guid);
    return w;
}

bool DdsNode::announce(const std::string& node, const std::string& ns, std::string* error)
{
    if (!discovery_writer_) {
        const dds_entity_t topic =
            dds_create_topic(participant_, &rmw_dds_common_msg_dds__ParticipantEntitiesInfo__desc, "ros_discovery_info",
                             nullptr, nullptr);
        if (topic < 0) {
            *error = "cannot create ros_discovery_info: " + dds_error(topic);
            return false;
        }
        dds_qos_t* qos = dds_create_qos();
        dds_qset_reliability(qos, DDS_RELIABILITY_RELIABLE, DDS_INFINITY);
        dds_qset_durability(qos, DDS_DURABILITY_TRANSIENT_LOCAL);
        dds_qset_history(qos, DDS_HISTORY_KEEP_LAST, 1);
        discovery_writer_ = dds_create_writer(participant_, topic, qos, nullptr);
        dds_delete_qos(qos);
        if (discovery_writer_ < 0) {
            *error = "cannot create the ros_discovery_info writer: " + dds_error(discovery_writer_);
            discovery_writer_ = 0;
            return false;
        }
    }
    rmw_dds_common_msg_dds__ParticipantEntitiesInfo_ info{};
    dds_guid_t guid;
    if (dds_get_guid(participant_, &guid) != DDS_RETCODE_OK) {
        *error = "cannot read the participant's GUID";
        return false;
    }
    std::memcpy(info.gid.data, guid.v, sizeof info.gid.data);
    rmw_dds_common_msg_dds__NodeEntitiesInfo_ entry{};
    std::strncpy(entry.node_namespace, ns.empty() ? "/" : ns.c_str(), sizeof entry.node_namespace - 1);
    std::strncpy(entry.node_name, node.c_str(), sizeof entry.node_name - 1);
    std::vector<rmw_dds_common_msg_dds__Gid_> gids(writers_.size());
    for (size_t i = 0; i < writers_.size(); ++i)
        std::memcpy(gids[i].data, writers_[i].v, sizeof gids[i].data);
    entry.writer_gid_seq._length = entry.writer_gid_seq._maximum = static_cast<uint32_t>(gids.size());
    entry.writer_gid_seq._buffer = gids.data();
    entry.writer_gid_seq._release = false;
    info.node_entities_info_seq._length = info.node_entities_info_seq._maximum = 1;
    info.node_entities_info_seq._buffer = &entry;
    info.node_entities_info_seq._release = false;
    const dds_return_t written = dds_write(discovery_writer_, &info);
    if (written != DDS_RETCODE_OK) {
        *error = "cannot write ros_discovery_info: " + dds_error(written);
        return false;
    }
    return true;
}

unsigned DdsNode::subscribers(dds_entity_t writer)
{
    dds_publication_matched_status_t status{};
    if (writer <= 0 || dds_get_publication_matched_status(writer, &status) != DDS_RETCODE_OK)
        return 0;
    return status.current_count;
}

void DdsNode::close()
{
    if (participant_)
        dds_delete(participant_);
    participant_ = 0;
    discovery_writer_ = 0;
    writers_.clear();
    if (domain_)
        dds_delete(domain_);
    domain_ = 0;
}

}  // namespace vora_ros2
