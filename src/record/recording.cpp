#include "record/recording.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "record/recorder.h"
#include "record/ros_messages.h"

namespace record {

namespace {

constexpr size_t MAX_DESCRIPTION = 64u << 20;

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
    return after_open(reader_.open(path));
}

int RecordingReader::open_memory(const uint8_t* data, size_t len)
{
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
        if (schema->second.name == rosmsg::RAW_FRAME_NAME && channel.message_encoding == "ros1") {
            raw_channels_[id] = true;
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
        if (!rosmsg::decode_raw_frame(message_.data, message_.len, &f, nullptr, &payload))
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
