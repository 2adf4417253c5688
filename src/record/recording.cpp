#include "record/recording.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "record/recorder.h"
#include "record/ros2_messages.h"
#include "record/ros_messages.h"

namespace record {

namespace {

constexpr size_t MAX_DESCRIPTION = 64u << 20;

bool decode_raw(bool cdr, const uint8_t* data, size_t len, PhotoInfo* frame, const uint8_t** payload)
{
    return cdr ? ros2msg::decode_raw_frame(data, len, frame, nullptr, payload)
               : rosmsg::decode_raw_frame(data, len, frame, nullptr, payload);
}

uint32_t to_u32(const std::string& s)
{
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 10);
    return (end && *end == 0 && v <= 0xFFFFFFFFull) ? static_cast<uint32_t>(v) : 0;
}

void copy_text(char* field, size_t size, const std::string& value)
{
    std::memset(field, 0, size);
    std::memcpy(field, value.data(), std::min(size, value.size()));
}

// A count in decimal digits, or -1.
int64_t parse_count(const std::string& s)
{
    if (s.empty() || s.size() > 18 || s.find_first_not_of("0123456789") != std::string::npos)
        return -1;
    return static_cast<int64_t>(std::strtoll(s.c_str(), nullptr, 10));
}

// A count the recording states, or -1.
int64_t to_count(const mcap::StringMap& map, const std::string& key)
{
    const auto it = map.find(key);
    return it == map.end() ? -1 : parse_count(it->second);
}

uint32_t parse_ip(const std::string& s)
{
    in_addr a{};
    return inet_pton(AF_INET, s.c_str(), &a) == 1 ? ntohl(a.s_addr) : 0;
}

bool parse_floats(const mcap::StringMap& map, const std::string& key, float* out, size_t n)
{
    const auto it = map.find(key);
    if (it == map.end())
        return false;
    std::istringstream in(it->second);
    for (size_t i = 0; i < n; ++i)
        if (!(in >> out[i]))
            return false;
    return true;
}

}  // namespace

int RecordingReader::open(const std::string& path)
{
    path_ = path;
    return after_open(reader_.open(path));
}

int RecordingReader::open_memory(const uint8_t* data, size_t len)
{
    memory_ = data;
    memory_len_ = len;
    return after_open(reader_.open_memory(data, len));
}

int RecordingReader::after_open(mcap::ReadStatus status)
{
    if (status == mcap::ReadStatus::NoFile)
        return VORA_ERR_RECORDING_IO;
    if (status != mcap::ReadStatus::Ok)
        return VORA_ERR_RECORDING_FORMAT;
    for (const auto& [id, channel] : reader_.channels()) {
        const auto schema = reader_.schemas().find(channel.schema_id);
        if (schema == reader_.schemas().end())
            continue;
        // Raw frames: ROS 1 serialised, or CDR in a ROS 2 recording (the value).
        const bool ros1 = schema->second.name == rosmsg::RAW_FRAME_NAME && channel.message_encoding == "ros1";
        const bool cdr = schema->second.name == ros2msg::RAW_FRAME_TYPE && channel.message_encoding == "cdr";
        if (ros1 || cdr) {
            raw_channels_[id] = cdr;
            const auto payload = channel.metadata.find("payload_size");
            if (payload != channel.metadata.end())
                max_payload_ = std::max(max_payload_, to_u32(payload->second));
        }
    }
    std::map<uint16_t, uint64_t> counts;
    if (!reader_.message_counts(&counts))
        return VORA_ERR_RECORDING_FORMAT;
    for (const auto& [id, channel] : reader_.channels()) {
        const auto schema = reader_.schemas().find(channel.schema_id);
        TopicInfo t{channel.topic, schema == reader_.schemas().end() ? std::string() : schema->second.name, 0};
        const auto n = counts.find(id);
        t.messages = n == counts.end() ? 0 : n->second;
        if (raw_channels_.count(id))
            frames_ += t.messages;
        topics_.push_back(std::move(t));
    }
    bool first = true;
    for (const mcap::ChunkRef& c : reader_.chunks()) {
        start_ = first ? c.start_time : std::min(start_, c.start_time);
        end_ = first ? c.end_time : std::max(end_, c.end_time);
        first = false;
    }
    return VORA_OK;
}

int RecordingReader::next_frame(PhotoInfo* frame, uint64_t capacity, uint64_t* log_time_ns)
{
    if (!frame)
        return VORA_ERR_INVALID_ARG;
    for (;;) {
        if (!pending_) {
            const int r = reader_.next(&message_);
            if (r == 0)
                return VORA_ERR_RECORDING_END;
            if (r < 0)
                return VORA_ERR_RECORDING_FORMAT;
            if (!raw_channels_.count(message_.channel))
                continue;
        }
        pending_ = false;
        PhotoInfo f{};
        f.pixel = frame->pixel;
        const uint8_t* payload = nullptr;
        if (!decode_raw(raw_channels_[message_.channel], message_.data, message_.len, &f, &payload))
            return VORA_ERR_RECORDING_FORMAT;
        *frame = f;
        if (log_time_ns)
            *log_time_ns = message_.log_time;
        if (!frame->pixel || f.payload_size > capacity) {
            pending_ = true;
            return VORA_ERR_INVALID_ARG;
        }
        std::memcpy(frame->pixel, payload, f.payload_size);
        return VORA_OK;
    }
}

void RecordingReader::seek(uint64_t log_time_ns)
{
    pending_ = false;
    reader_.seek(log_time_ns);
}

bool RecordingReader::camera(DiscoveryInfo* out) const
{
    const mcap::Metadata* m = reader_.find_metadata(META_CAMERA);
    if (!m)
        return false;
    const auto get = [&](const char* key) {
        const auto it = m->entries.find(key);
        return it == m->entries.end() ? std::string() : it->second;
    };
    DiscoveryInfo d{};
    copy_text(d.device_serial_number, sizeof d.device_serial_number, get("serial"));
    copy_text(d.device_vendor_name, sizeof d.device_vendor_name, get("vendor"));
    copy_text(d.device_model_name, sizeof d.device_model_name, get("model"));
    copy_text(d.device_version, sizeof d.device_version, get("version"));
    copy_text(d.device_manufacturer_info, sizeof d.device_manufacturer_info, get("manufacturer_info"));
    copy_text(d.device_user_id, sizeof d.device_user_id, get("user_id"));
    unsigned mac[6];
    if (std::sscanf(get("mac").c_str(), "%2x:%2x:%2x:%2x:%2x:%2x", &mac[0], &mac[1], &mac[2], &mac[3], &mac[4],
                    &mac[5]) == 6) {
        // In wire order, as discovery keeps them.
        uint8_t b[6];
        for (int i = 0; i < 6; ++i)
            b[i] = static_cast<uint8_t>(mac[i]);
        std::memcpy(&d.camera_mac_high, b, 2);
        std::memcpy(&d.camera_mac_low, b + 2, 4);
    }
    d.camera_ip = parse_ip(get("ip"));
    d.camera_mask = parse_ip(get("mask"));
    d.camera_gateway = parse_ip(get("gateway"));
    *out = d;
    return true;
}

bool RecordingReader::calibration(int sensor, CameraParameter* out) const
{
    const mcap::Metadata* m = reader_.find_metadata(META_CALIBRATION);
    if (!m || sensor < 0)
        return false;
    CameraParameter p{};
    if (!parse_floats(m->entries, calibration_key(sensor, "Kc"), p.Kc, 20) ||
        !parse_floats(m->entries, calibration_key(sensor, "K"), p.K, 36) ||
        !parse_floats(m->entries, calibration_key(sensor, "R"), p.R, 36) ||
        !parse_floats(m->entries, calibration_key(sensor, "T"), p.T, 12))
        return false;
    *out = p;
    return true;
}

const std::vector<ChannelSummary>& RecordingReader::channels()
{
    if (channels_done_)
        return channels_;
    channels_done_ = true;
    std::map<unsigned, ChannelSummary> by_channel;
    // The channels asked for, even those that delivered nothing...
    if (const mcap::Metadata* m = reader_.find_metadata(META_RECORDING)) {
        const auto list = m->entries.find("channels");
        std::istringstream in(list == m->entries.end() ? std::string() : list->second);
        std::string item;
        while (std::getline(in, item, ',')) {
            const int64_t ch = parse_count(item);
            if (ch >= 0 && ch < 3)
                by_channel[static_cast<unsigned>(ch)].channel = static_cast<unsigned>(ch);
        }
    }
    // ...and those with frames, counted by their raw topics.
    std::map<uint16_t, uint64_t> counts;
    reader_.message_counts(&counts);
    for (const auto& [id, raw] : raw_channels_) {
        const mcap::Channel& c = reader_.channels().at(id);
        const int64_t ch = to_count(c.metadata, "stream_channel");
        if (ch < 0 || ch > 0xFFFF)
            continue;
        ChannelSummary& s = by_channel[static_cast<unsigned>(ch)];
        s.channel = static_cast<unsigned>(ch);
        const auto n = counts.find(id);
        s.frames += n == counts.end() ? 0 : n->second;
    }
    const mcap::Metadata* end = reader_.find_metadata(META_RECORDING_END);
    for (auto& [ch, s] : by_channel) {
        if (end) {
            s.dropped = to_count(end->entries, channel_key(ch, KEY_DROPPED));
            s.gaps = to_count(end->entries, channel_key(ch, KEY_GAPS));
            s.missing = to_count(end->entries, channel_key(ch, KEY_MISSING));
        }
        channels_.push_back(s);
    }
    count_gaps();
    return channels_;
}

// The gaps a recording does not state, from its raw frames' block ids,
// read by a reader of their own so that reading frames goes on undisturbed.
void RecordingReader::count_gaps()
{
    bool needed = false;
    for (const ChannelSummary& s : channels_)
        needed = needed || s.gaps < 0 || s.missing < 0;
    if (!needed)
        return;
    mcap::McapReader scan;
    const mcap::ReadStatus status = memory_ ? scan.open_memory(memory_, memory_len_) : scan.open(path_);
    if (status != mcap::ReadStatus::Ok)
        return;
    std::map<unsigned, BlockGaps> gaps;
    mcap::Message m;
    while (scan.next(&m) > 0) {
        if (!raw_channels_.count(m.channel))
            continue;
        PhotoInfo f{};
        const uint8_t* payload = nullptr;
        if (decode_raw(raw_channels_[m.channel], m.data, m.len, &f, &payload))
            gaps[f.stream_channel_index_].add(f.block_id);
    }
    for (ChannelSummary& s : channels_) {
        if (s.gaps >= 0 && s.missing >= 0)
            continue;
        const BlockGaps& g = gaps[s.channel];
        s.gaps = static_cast<int64_t>(g.gaps());
        s.missing = static_cast<int64_t>(g.missing());
    }
}

bool RecordingReader::description(std::string* name, std::string* data) const
{
    for (const mcap::AttachmentRef& a : reader_.attachments()) {
        if (a.media_type != "application/xml" && a.media_type != "application/zip")
            continue;
        *name = a.name;
        return reader_.read_attachment(a.name, data, MAX_DESCRIPTION);
    }
    return false;
}

}  // namespace record
