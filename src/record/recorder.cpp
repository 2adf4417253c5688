#include "record/recorder.h"

#include <arpa/inet.h>
#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "imaging/colour_convert.h"
#include "imaging/ros_conventions.h"
#include "ip_text.h"
#include "record/ros2_messages.h"
#include "record/ros_messages.h"
#include "stream/frame_pool.h"
#include "vora_pixel_format.h"

namespace record {

namespace {

// Pieces at least this large are written from the frame's own buffer.
constexpr size_t BORROW_FROM = 64 * 1024;

// Written pages leave the page cache once this many more bytes have
// followed them (WriterOptions::write_behind): on a 2-core machine that
// took the recorder's CPU time per frame of three channels from 26-30 ms
// to 8 ms, most of it the kernel filling fresh page-cache pages.
constexpr size_t WRITE_BEHIND = 64u << 20;

// With zstd, a frame is stored uncompressed while this share of the queue
// waits behind it: compressing takes longer than the frames take to come
// when the machine is busy, and a larger file is better than lost frames.
constexpr size_t STORE_WHEN_WAITING_DIVISOR = 4;

std::string text(const char* field, size_t max)
{
    return std::string(field, strnlen(field, max));
}

std::string dotted(uint32_t ip)
{
    char buf[16];
    return format_ipv4(ip, buf);
}

std::string floats(const float* values, size_t n)
{
    std::string out;
    char buf[32];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%s%.9g", i ? " " : "", static_cast<double>(values[i]));
        out += buf;
    }
    return out;
}

// The release whose message definitions the ROS 2 profile writes (Gid of
// 16 bytes, as the bridge): the sensor, geometry and tf messages are the
// same from Humble on.
const char* const ROS_DISTRO = "jazzy";

// The QoS a publisher of the topic offers, as rosbag2 lists them (one
// profile, policies as numbers): reliable, kept for the last 10 samples,
// volatile, or for a latched topic (/tf_static) transient local with depth 1,
// as ROS publishes static transforms. Durations 0 are ROS's defaults.
std::string qos_profiles(bool latched)
{
    std::string y = "- history: 1\n";
    y += latched ? "  depth: 1\n" : "  depth: 10\n";
    y += "  reliability: 1\n";
    y += latched ? "  durability: 1\n" : "  durability: 2\n";
    y += "  deadline:\n    sec: 0\n    nsec: 0\n";
    y += "  lifespan:\n    sec: 0\n    nsec: 0\n";
    y += "  liveliness: 1\n";
    y += "  liveliness_lease_duration:\n    sec: 0\n    nsec: 0\n";
    y += "  avoid_ros_namespace_conventions: false";
    return y;
}

// A YAML double-quoted scalar.
std::string yaml_quoted(const std::string& s)
{
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

}  // namespace

const char* const META_CAMERA = "camera";
const char* const META_CALIBRATION = "calibration";
const char* const META_RECORDING = "recording";
const char* const META_RECORDING_END = "recording_end";
const char* const KEY_FRAMES = "frames";
const char* const KEY_DROPPED = "dropped";
const char* const KEY_GAPS = "gaps";
const char* const KEY_MISSING = "missing_blocks";

std::string channel_key(unsigned channel, const char* key)
{
    return "ch" + std::to_string(channel) + "." + key;
}

std::string clean_serial(const char* serial, size_t max)
{
    std::string s = text(serial, max);
    for (char& c : s)
        if (!std::isalnum(static_cast<unsigned char>(c)))
            c = '_';
    return s.empty() ? std::string("camera") : s;
}

std::string topic_for(const std::string& serial, unsigned channel, bool raw)
{
    return "/vora/" + serial + "/ch" + std::to_string(channel) + (raw ? "/raw" : "");
}

std::string calibration_key(int sensor, const char* matrix)
{
    return "sensor" + std::to_string(sensor) + "." + matrix;
}

Recorder::~Recorder()
{
    stop();
}

int Recorder::start(const RecordingSetup& setup)
{
    setup_ = setup;
    serial_ = clean_serial(setup.camera.device_serial_number, sizeof setup.camera.device_serial_number);
    mcap::WriterOptions options;
    options.zstd = setup.zstd;
    options.write_behind = WRITE_BEHIND;
    if (setup.ros2)
        options.profile = "ros2";
    // Roles from every channel the camera has, recorded or not, so that
    // "depth" is its lowest-numbered depth channel whatever comes first, as
    // for the ROS 2 bridge.
    for (unsigned ch = 0; ch < 3; ++ch)
        if ((setup.channels & (1u << ch)) && setup.formats[ch])
            roles_[ch] = imaging::ros_channel_role(setup.formats, 3, ch);
    if (const int e = writer_.open(setup.path, options))
        return e;
    write_header_records();
    if (writer_.error())
        return writer_.error();
    tap_ = std::make_unique<FrameTap>(setup.queue_frames);
    try {
        thread_ = std::thread(&Recorder::run, this);
    } catch (const std::system_error&) {
        return EAGAIN;
    }
    running_ = true;
    return 0;
}

void Recorder::write_header_records()
{
    const DiscoveryInfo& d = setup_.camera;
    // The record keeps the MAC's bytes in the order they came off the wire.
    uint8_t b[6];
    std::memcpy(b, &d.camera_mac_high, 2);
    std::memcpy(b + 2, &d.camera_mac_low, 4);
    char mac[18];
    std::snprintf(mac, sizeof mac, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    writer_.add_metadata(META_CAMERA,
                         {
                             {"serial", text(d.device_serial_number, sizeof d.device_serial_number)},
                             {"vendor", text(d.device_vendor_name, sizeof d.device_vendor_name)},
                             {"model", text(d.device_model_name, sizeof d.device_model_name)},
                             {"version", text(d.device_version, sizeof d.device_version)},
                             {"manufacturer_info", text(d.device_manufacturer_info, sizeof d.device_manufacturer_info)},
                             {"user_id", text(d.device_user_id, sizeof d.device_user_id)},
                             {"mac", mac},
                             {"ip", dotted(d.camera_ip)},
                             {"mask", dotted(d.camera_mask)},
                             {"gateway", dotted(d.camera_gateway)},
                         });
    mcap::StringMap calibration;
    calibration["sensors"] = std::to_string(setup_.calibration.size());
    for (size_t i = 0; i < setup_.calibration.size(); ++i) {
        const CameraParameter& p = setup_.calibration[i];
        const int s = static_cast<int>(i);
        calibration[calibration_key(s, "Kc")] = floats(p.Kc, 20);
        calibration[calibration_key(s, "K")] = floats(p.K, 36);
        calibration[calibration_key(s, "R")] = floats(p.R, 36);
        calibration[calibration_key(s, "T")] = floats(p.T, 12);
    }
    writer_.add_metadata(META_CALIBRATION, calibration);
    std::string channels;
    for (unsigned c = 0; c < 3; ++c)
        if (setup_.channels & (1u << c))
            channels += (channels.empty() ? "" : ",") + std::to_string(c);
    // Clouds are in metres from this library version on (millimetres before):
    // readers of old files tell them apart by the missing key.
    writer_.add_metadata(META_RECORDING, {{"channels", channels},
                                          {"ros", setup_.ros ? "1" : "0"},
                                          {"profile", setup_.ros2 ? "ros2" : "ros1"},
                                          {"cloud_units", "m"}});
    if (!setup_.description.empty()) {
        const bool zip = setup_.description_name.size() > 4 &&
                         strcasecmp(setup_.description_name.c_str() + setup_.description_name.size() - 4, ".zip") == 0;
        writer_.add_attachment(setup_.description_name, zip ? "application/zip" : "application/xml",
                               setup_.description.data(), setup_.description.size(), 0);
    }
    if (setup_.ros2)
        raw_schema_ = writer_.add_schema(ros2msg::RAW_FRAME_TYPE, "ros2msg", ros2msg::schema(ros2msg::RAW_FRAME_TYPE));
    else
        raw_schema_ = writer_.add_schema(rosmsg::RAW_FRAME_NAME, "ros1msg", rosmsg::raw_frame_schema());
}

int Recorder::stop()
{
    if (!running_)
        return error_.load();
    running_ = false;
    tap_->close();
    if (thread_.joinable())
        thread_.join();
    write_figures();
    const int e = writer_.close();
    if (e && !error_)
        error_ = e;
    bytes_ = writer_.bytes_written();
    return error_.load();
}

void Recorder::run()
{
    pthread_setname_np(pthread_self(), "vora-rec");  // lets tools and benchmarks find the thread
    TappedFrame item;
    const auto write = [&] {
        if (setup_.before_write)
            setup_.before_write(*item.frame);
        write_frame(item);
        item.pool->give_back(item.frame);
    };
    for (;;) {
        if (tap_->take(&item, 200000)) {
            write();
            continue;
        }
        if (tap_->closed()) {
            // Nothing enters a closed tap: what is left in it is the last.
            while (tap_->take(&item, 0))
                write();
            return;
        }
    }
}

Recorder::Topics& Recorder::topics_for(const PhotoInfo& frame)
{
    const uint16_t ch = frame.stream_channel_index_;
    auto found = topics_.find(ch);
    if (found != topics_.end())
        return found->second;
    Topics t;
    t.frame_id = topic_for(serial_, ch, false).substr(1);
    mcap::StringMap meta{{"stream_channel", std::to_string(ch)}};
    mcap::StringMap raw_meta = meta;
    raw_meta["payload_size"] = std::to_string(frame.payload_size);
    raw_meta["pixel_format"] = std::to_string(frame.pixel_format);
    raw_meta["width"] = std::to_string(frame.pixel_width);
    raw_meta["height"] = std::to_string(frame.pixel_height);
    if (setup_.ros2) {
        raw_meta["offered_qos_profiles"] = qos_profiles(false);
        t.raw = writer_.add_channel(raw_schema_, topic_for(serial_, ch, true), "cdr", raw_meta);
        ros2_topics_.push_back(
            {topic_for(serial_, ch, true), ros2msg::RAW_FRAME_TYPE, raw_meta["offered_qos_profiles"], t.raw, 0});
        t.raw_topic = static_cast<int>(ros2_topics_.size() - 1);
        if (ch < 3 && roles_[ch].empty()) {
            // The camera did not say at the start: this frame's format stands
            // for its channel's.
            uint32_t formats[3] = {setup_.formats[0], setup_.formats[1], setup_.formats[2]};
            formats[ch] = frame.pixel_format;
            roles_[ch] = imaging::ros_channel_role(formats, 3, ch);
        }
        t.role = ch < 3 ? roles_[ch] : std::string();
        if (!setup_.ros || t.role.empty())
            return topics_.emplace(ch, t).first->second;
        const std::string base = "/" + setup_.ros_name + "/" + t.role + "/";
        const bool cloud = frame.pixel_format == PIXEL_FORMAT_COORD3D_ABC16;
        if (cloud)
            t.points = ros2_topic(base + "points", ros2msg::POINTCLOUD2_TYPE, false);
        t.image = ros2_topic(base + "image_raw", ros2msg::IMAGE_TYPE, false);
        const int sensor = setup_.sensors[ch];
        if (sensor >= 0 && static_cast<size_t>(sensor) < setup_.calibration.size())
            t.info = ros2_topic(base + "camera_info", ros2msg::CAMERA_INFO_TYPE, false);
        return topics_.emplace(ch, t).first->second;
    }
    t.raw = writer_.add_channel(raw_schema_, topic_for(serial_, ch, true), "ros1", raw_meta);
    if (setup_.ros) {
        if (frame.pixel_format == PIXEL_FORMAT_COORD3D_ABC16) {
            if (!cloud_schema_)
                cloud_schema_ = writer_.add_schema(rosmsg::POINTCLOUD2_NAME, "ros1msg", rosmsg::pointcloud2_schema());
            t.ros = writer_.add_channel(cloud_schema_, topic_for(serial_, ch, false), "ros1", meta);
            t.has_ros = true;
        } else if (frame.pixel_format == PIXEL_FORMAT_RGB8 || frame.pixel_format == PIXEL_FORMAT_MONO8 ||
                   frame.pixel_format == PIXEL_FORMAT_YUV422_8 || frame.pixel_format == PIXEL_FORMAT_BAYER_RG8) {
            if (!image_schema_)
                image_schema_ = writer_.add_schema(rosmsg::IMAGE_NAME, "ros1msg", rosmsg::image_schema());
            t.ros = writer_.add_channel(image_schema_, topic_for(serial_, ch, false), "ros1", meta);
            t.has_ros = true;
        }
    }
    return topics_.emplace(ch, t).first->second;
}

void Recorder::write_frame(const TappedFrame& item)
{
    const PhotoInfo& frame = *item.frame;
    const unsigned ch = frame.stream_channel_index_;
    const auto count_failure = [&] {
        ++failed_;
        std::lock_guard<std::mutex> lock(counts_mutex_);
        if (ch < 3)
            ++counts_[ch].failed;
    };
    if (writer_.error()) {
        count_failure();
        return;
    }
    const bool store =
        setup_.zstd && tap_->waiting() >= std::max<size_t>(1, tap_->capacity() / STORE_WHEN_WAITING_DIVISOR);
    if (setup_.zstd && store != storing_) {
        // A chunk is compressed or not as a whole.
        writer_.flush_chunk();
        writer_.compress_chunks(!store);
        storing_ = store;
    }
    Topics& t = topics_for(frame);
    if (setup_.ros2) {
        const uint64_t stamp = stamp_for(frame, item.host_time_ns);
        if (setup_.ros && !tf_written_)
            write_tf_static(item.host_time_ns, stamp);
        ros2msg::encode_raw_frame(head_, stamp, t.frame_id, frame, item.status);
        const mcap::Piece raw[] = {{head_.data(), head_.size()}, {frame.pixel, frame.payload_size}};
        ros2_message(t.raw_topic, item.host_time_ns, stamp, raw, 2);
        note_log_time(item.host_time_ns);
        write_ros2(frame, item, t, stamp);
    } else {
        const uint64_t camera_ns = frame.timestamp_low;
        rosmsg::encode_raw_frame(head_, t.seq, t.frame_id, frame, item.status);
        const mcap::Piece raw[] = {{head_.data(), head_.size()}, {frame.pixel, frame.payload_size}};
        writer_.add_message(t.raw, item.host_time_ns, camera_ns, raw, 2, BORROW_FROM);
        if (t.has_ros)
            write_ros(frame, item, t);
    }
    ++t.seq;
    // Borrowed pieces point into the frame (and our buffers): write them
    // before the frame goes back.
    if (writer_.chunk_holds_borrowed())
        writer_.flush_chunk();
    if (writer_.error()) {
        error_ = writer_.error();
        count_failure();
    } else {
        ++written_;
        stored_ += store;
        std::lock_guard<std::mutex> lock(counts_mutex_);
        if (ch < 3) {
            ++counts_[ch].frames;
            counts_[ch].gaps.add(frame.block_id);
        }
    }
    bytes_ = writer_.bytes_written();
}

bool Recorder::channel_figures(unsigned channel, ChannelFigures* out) const
{
    if (channel >= 3 || !(setup_.channels & (1u << channel)))
        return false;
    std::lock_guard<std::mutex> lock(counts_mutex_);
    const ChannelCounts& c = counts_[channel];
    out->frames = c.frames;
    out->dropped = c.failed + (tap_ ? tap_->overflow(channel) : 0);
    out->gaps = c.gaps.gaps();
    out->missing = c.gaps.missing();
    return true;
}

void Recorder::write_figures()
{
    // After the last frame, so that a reader finds the figures of a finished
    // recording; a recording cut short has none.
    writer_.flush_chunk();
    mcap::StringMap figures{{KEY_FRAMES, std::to_string(frames_written())},
                            {KEY_DROPPED, std::to_string(frames_dropped())}};
    if (setup_.zstd)
        figures["stored_uncompressed"] = std::to_string(frames_stored());
    for (unsigned ch = 0; ch < 3; ++ch) {
        ChannelFigures f;
        if (!channel_figures(ch, &f))
            continue;
        figures[channel_key(ch, KEY_FRAMES)] = std::to_string(f.frames);
        figures[channel_key(ch, KEY_DROPPED)] = std::to_string(f.dropped);
        figures[channel_key(ch, KEY_GAPS)] = std::to_string(f.gaps);
        figures[channel_key(ch, KEY_MISSING)] = std::to_string(f.missing);
    }
    writer_.add_metadata(META_RECORDING_END, figures);
    if (setup_.ros2)
        write_rosbag2_metadata();
}

void Recorder::write_ros(const PhotoInfo& frame, const TappedFrame& item, Topics& t)
{
    const uint64_t pixels = uint64_t(frame.pixel_width) * frame.pixel_height;
    const std::string& frame_id = t.frame_id;
    const uint64_t stamp = frame.timestamp_low;
    if (frame.pixel_format == PIXEL_FORMAT_COORD3D_ABC16) {
        // Without a unit the points have no length: no cloud rather than a wrong one.
        if (pixels * 6 > frame.payload_size || frame.cloud_unit == 0)
            return;
        points_.resize(static_cast<size_t>(pixels * 3));
        imaging::raw_points_to_metres(frame.pixel, static_cast<size_t>(pixels), frame.cloud_unit, points_.data());
        rosmsg::encode_pointcloud2(head_, tail_, t.seq, stamp, frame_id, frame.pixel_width, frame.pixel_height);
        const mcap::Piece pieces[] = {{head_.data(), head_.size()},
                                      {points_.data(), points_.size() * sizeof(float)},
                                      {tail_.data(), tail_.size()}};
        writer_.add_message(t.ros, item.host_time_ns, stamp, pieces, 3, BORROW_FROM);
        return;
    }
    const uint8_t* data = nullptr;
    const char* encoding = nullptr;
    uint32_t bytes_per_pixel = 0;
    if (!image_pixels(frame, &data, &encoding, &bytes_per_pixel))
        return;
    const size_t len = static_cast<size_t>(pixels * bytes_per_pixel);
    rosmsg::encode_image(head_, tail_, t.seq, stamp, frame_id, frame.pixel_width, frame.pixel_height, encoding,
                         frame.pixel_width * bytes_per_pixel, len);
    const mcap::Piece pieces[] = {{head_.data(), head_.size()}, {data, len}};
    writer_.add_message(t.ros, item.host_time_ns, stamp, pieces, 2, BORROW_FROM);
}

bool Recorder::image_pixels(const PhotoInfo& frame, const uint8_t** out, const char** encoding,
                            uint32_t* bytes_per_pixel)
{
    const uint64_t pixels = uint64_t(frame.pixel_width) * frame.pixel_height;
    const uint8_t* data = reinterpret_cast<const uint8_t*>(frame.pixel);
    *encoding = "rgb8";
    *bytes_per_pixel = 3;
    if (frame.pixel_format == PIXEL_FORMAT_MONO8) {
        *encoding = "mono8";
        *bytes_per_pixel = 1;
        if (pixels > frame.payload_size)
            return false;
    } else if (frame.pixel_format == PIXEL_FORMAT_RGB8) {
        if (pixels * 3 > frame.payload_size)
            return false;
    } else if (frame.pixel_format == PIXEL_FORMAT_YUV422_8) {
        if (pixels * 2 > frame.payload_size || pixels % 2)
            return false;
        rgb_.assign(data, data + pixels * 2);
        rgb_.resize(static_cast<size_t>(pixels * 3));
        imaging::yuyv_to_rgb888_in_place(rgb_.data(), pixels);
        data = rgb_.data();
    } else if (frame.pixel_format == PIXEL_FORMAT_BAYER_RG8) {
        if (pixels > frame.payload_size || !imaging::bayer_size_supported(frame.pixel_width, frame.pixel_height))
            return false;
        rgb_.resize(static_cast<size_t>(pixels * 3));
        imaging::bayer_rg8_to_rgb888(data, frame.pixel_width, frame.pixel_height, rgb_.data());
        data = rgb_.data();
    } else {
        return false;
    }
    *out = data;
    return true;
}

std::string Recorder::optical_frame(const std::string& role) const
{
    return setup_.ros_name + "_" + role + "_optical_frame";
}

int Recorder::ros2_topic(const std::string& topic, const char* type, bool latched, mcap::StringMap metadata)
{
    auto schema = ros2_schemas_.find(type);
    if (schema == ros2_schemas_.end())
        schema = ros2_schemas_.emplace(type, writer_.add_schema(type, "ros2msg", ros2msg::schema(type))).first;
    metadata["offered_qos_profiles"] = qos_profiles(latched);
    const uint16_t id = writer_.add_channel(schema->second, topic, "cdr", metadata);
    ros2_topics_.push_back({topic, type, metadata["offered_qos_profiles"], id, 0});
    return static_cast<int>(ros2_topics_.size() - 1);
}

void Recorder::ros2_message(int topic, uint64_t log_time, uint64_t stamp, const mcap::Piece* pieces, size_t count)
{
    Ros2Topic& t = ros2_topics_[static_cast<size_t>(topic)];
    writer_.add_message(t.channel, log_time, stamp, pieces, count, BORROW_FROM);
    ++t.messages;
}

void Recorder::note_log_time(uint64_t log_time)
{
    if (first_log_ == 0 || log_time < first_log_)
        first_log_ = log_time;
    last_log_ = std::max(last_log_, log_time);
}

uint64_t Recorder::stamp_for(const PhotoInfo& frame, uint64_t host_time_ns)
{
    // The camera's clock carried onto the host's wall clock by the offset
    // of the first frame: the channels of one exposure share a stamp and
    // frames keep the camera's spacing, while stamps stay comparable with
    // other ROS data. When the clocks part by more than 2 s (the camera
    // restarted its clock) the offset is taken anew.
    constexpr int64_t REANCHOR_NS = 2000000000LL;
    const uint64_t camera = frame.timestamp_low;
    const int64_t apart = static_cast<int64_t>(camera + camera_to_host_ - host_time_ns);
    if (!anchored_ || apart > REANCHOR_NS || apart < -REANCHOR_NS) {
        camera_to_host_ = host_time_ns - camera;
        anchored_ = true;
    }
    return camera + camera_to_host_;
}

void Recorder::write_tf_static(uint64_t log_time, uint64_t stamp)
{
    tf_written_ = true;
    std::vector<ros2msg::Transform> transforms;
    for (unsigned ch = 0; ch < 3; ++ch) {
        const int sensor = setup_.sensors[ch];
        if (roles_[ch].empty() || sensor < 0 || static_cast<size_t>(sensor) >= setup_.calibration.size())
            continue;
        ros2msg::Transform t;
        t.parent = setup_.ros_name + "_link";
        t.child = optical_frame(roles_[ch]);
        // A calibration whose rotation is none places no frame, rather than a wrong one.
        if (imaging::ros_sensor_pose(setup_.calibration[static_cast<size_t>(sensor)], &t.pose))
            transforms.push_back(t);
    }
    if (transforms.empty())
        return;
    const int topic = ros2_topic("/tf_static", ros2msg::TF_MESSAGE_TYPE, true);
    ros2msg::encode_tf_message(info_, stamp, transforms);
    const mcap::Piece piece{info_.data(), info_.size()};
    ros2_message(topic, log_time, stamp, &piece, 1);
}

void Recorder::write_ros2(const PhotoInfo& frame, const TappedFrame& item, Topics& t, uint64_t stamp)
{
    if (t.role.empty())
        return;
    const uint64_t pixels = uint64_t(frame.pixel_width) * frame.pixel_height;
    const uint64_t log_time = item.host_time_ns;
    const std::string own_frame = optical_frame(t.role);
    bool wrote = false;
    if (frame.pixel_format == PIXEL_FORMAT_COORD3D_ABC16) {
        // Without a unit the points have no length: no cloud rather than a wrong one.
        if (pixels * 6 > frame.payload_size || frame.cloud_unit == 0)
            return;
        const size_t n = static_cast<size_t>(pixels);
        if (t.points >= 0) {
            points_.resize(n * 3);
            imaging::raw_points_to_metres(frame.pixel, n, frame.cloud_unit, points_.data());
            // Every depth channel's cloud is given in the first depth sensor's frame.
            ros2msg::encode_pointcloud2(head_, tail_, stamp, optical_frame("depth"), frame.pixel_width,
                                        frame.pixel_height);
            const mcap::Piece pieces[] = {{head_.data(), head_.size()},
                                          {points_.data(), points_.size() * sizeof(float)},
                                          {tail_.data(), tail_.size()}};
            ros2_message(t.points, log_time, stamp, pieces, 3);
        }
        if (t.image >= 0) {
            depth_mm_.resize(n);
            imaging::raw_points_to_depth_mm(frame.pixel, n, frame.cloud_unit, depth_mm_.data());
            ros2msg::encode_image(head_, stamp, own_frame, frame.pixel_width, frame.pixel_height, "16UC1",
                                  frame.pixel_width * 2, n * 2);
            const mcap::Piece pieces[] = {{head_.data(), head_.size()}, {depth_mm_.data(), n * 2}};
            ros2_message(t.image, log_time, stamp, pieces, 2);
        }
        wrote = true;
    } else if (t.image >= 0) {
        const uint8_t* data = nullptr;
        const char* encoding = nullptr;
        uint32_t bytes_per_pixel = 0;
        if (!image_pixels(frame, &data, &encoding, &bytes_per_pixel))
            return;
        const size_t len = static_cast<size_t>(pixels * bytes_per_pixel);
        ros2msg::encode_image(head_, stamp, own_frame, frame.pixel_width, frame.pixel_height, encoding,
                              frame.pixel_width * bytes_per_pixel, len);
        const mcap::Piece pieces[] = {{head_.data(), head_.size()}, {data, len}};
        ros2_message(t.image, log_time, stamp, pieces, 2);
        wrote = true;
    }
    if (wrote && t.info >= 0) {
        const CameraParameter& c = setup_.calibration[static_cast<size_t>(setup_.sensors[frame.stream_channel_index_])];
        const imaging::RosCameraModel model = imaging::ros_camera_model(c, frame.roi.offset_x, frame.roi.offset_y);
        ros2msg::encode_camera_info(info_, stamp, own_frame, frame.pixel_width, frame.pixel_height, model);
        const mcap::Piece piece{info_.data(), info_.size()};
        ros2_message(t.info, log_time, stamp, &piece, 1);
    }
}

void Recorder::write_rosbag2_metadata()
{
    // What rosbag2 keeps of a bag (its BagMetadata, version 8) as YAML, the
    // way its MCAP storage stores it, so that `ros2 bag info` and replay find
    // the topics' QoS and the counts.
    const uint64_t duration = last_log_ >= first_log_ ? last_log_ - first_log_ : 0;
    uint64_t total = 0;
    for (const Ros2Topic& t : ros2_topics_)
        total += t.messages;
    const size_t slash = setup_.path.find_last_of('/');
    const std::string file = slash == std::string::npos ? setup_.path : setup_.path.substr(slash + 1);
    std::string y;
    y += "version: 8\n";
    y += "storage_identifier: mcap\n";
    y += "duration:\n  nanoseconds: " + std::to_string(duration) + "\n";
    y += "starting_time:\n  nanoseconds_since_epoch: " + std::to_string(first_log_) + "\n";
    y += "message_count: " + std::to_string(total) + "\n";
    y += "topics_with_message_count:\n";
    for (const Ros2Topic& t : ros2_topics_) {
        y += "  - topic_metadata:\n";
        y += "      name: " + yaml_quoted(t.topic) + "\n";
        y += "      type: " + t.type + "\n";
        y += "      serialization_format: cdr\n";
        y += "      offered_qos_profiles: " + yaml_quoted(t.qos) + "\n";
        y += "      type_description_hash: \"\"\n";
        y += "    message_count: " + std::to_string(t.messages) + "\n";
    }
    y += "compression_format: \"\"\n";
    y += "compression_mode: \"\"\n";
    y += "relative_file_paths:\n  - " + yaml_quoted(file) + "\n";
    y += "files:\n  - path: " + yaml_quoted(file) + "\n";
    y += "    starting_time:\n      nanoseconds_since_epoch: " + std::to_string(first_log_) + "\n";
    y += "    duration:\n      nanoseconds: " + std::to_string(duration) + "\n";
    y += "    message_count: " + std::to_string(total) + "\n";
    y += "custom_data: {}\n";
    y += "ros_distro: " + std::string(ROS_DISTRO) + "\n";
    writer_.add_metadata("rosbag2", {{"serialized_metadata", y}});
}

}  // namespace record
