#include "record/recorder.h"

#include <arpa/inet.h>
#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "imaging/colour_convert.h"
#include "ip_text.h"
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
    writer_.add_metadata(META_RECORDING, {{"channels", channels}, {"ros", setup_.ros ? "1" : "0"}});
    if (!setup_.description.empty()) {
        const bool zip = setup_.description_name.size() > 4 &&
                         strcasecmp(setup_.description_name.c_str() + setup_.description_name.size() - 4, ".zip") == 0;
        writer_.add_attachment(setup_.description_name, zip ? "application/zip" : "application/xml",
                               setup_.description.data(), setup_.description.size(), 0);
    }
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
    const uint64_t camera_ns = frame.timestamp_low;
    rosmsg::encode_raw_frame(head_, t.seq, t.frame_id, frame, item.status);
    const mcap::Piece raw[] = {{head_.data(), head_.size()}, {frame.pixel, frame.payload_size}};
    writer_.add_message(t.raw, item.host_time_ns, camera_ns, raw, 2, BORROW_FROM);
    if (t.has_ros)
        write_ros(frame, item, t);
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
}

void Recorder::write_ros(const PhotoInfo& frame, const TappedFrame& item, Topics& t)
{
    const uint64_t pixels = uint64_t(frame.pixel_width) * frame.pixel_height;
    const std::string& frame_id = t.frame_id;
    const uint64_t stamp = frame.timestamp_low;
    if (frame.pixel_format == PIXEL_FORMAT_COORD3D_ABC16) {
        if (pixels * 6 > frame.payload_size)
            return;  // the frame does not hold its points
        points_.resize(static_cast<size_t>(pixels * 3));
        rosmsg::raw_points_to_millimetres(frame.pixel, static_cast<size_t>(pixels), frame.cloud_unit, points_.data());
        rosmsg::encode_pointcloud2(head_, tail_, t.seq, stamp, frame_id, frame.pixel_width, frame.pixel_height);
        const mcap::Piece pieces[] = {{head_.data(), head_.size()},
                                      {points_.data(), points_.size() * sizeof(float)},
                                      {tail_.data(), tail_.size()}};
        writer_.add_message(t.ros, item.host_time_ns, stamp, pieces, 3, BORROW_FROM);
        return;
    }
    const uint8_t* data = reinterpret_cast<const uint8_t*>(frame.pixel);
    const char* encoding = "rgb8";
    uint32_t bytes_per_pixel = 3;
    if (frame.pixel_format == PIXEL_FORMAT_MONO8) {
        encoding = "mono8";
        bytes_per_pixel = 1;
        if (pixels > frame.payload_size)
            return;
    } else if (frame.pixel_format == PIXEL_FORMAT_RGB8) {
        if (pixels * 3 > frame.payload_size)
            return;
    } else if (frame.pixel_format == PIXEL_FORMAT_YUV422_8) {
        if (pixels * 2 > frame.payload_size || pixels % 2)
            return;
        rgb_.assign(data, data + pixels * 2);
        rgb_.resize(static_cast<size_t>(pixels * 3));
        imaging::yuyv_to_rgb888_in_place(rgb_.data(), pixels);
        data = rgb_.data();
    } else {  // Bayer RG8
        if (pixels > frame.payload_size || !imaging::bayer_size_supported(frame.pixel_width, frame.pixel_height))
            return;
        rgb_.resize(static_cast<size_t>(pixels * 3));
        imaging::bayer_rg8_to_rgb888(data, frame.pixel_width, frame.pixel_height, rgb_.data());
        data = rgb_.data();
    }
    const size_t len = static_cast<size_t>(pixels * bytes_per_pixel);
    rosmsg::encode_image(head_, tail_, t.seq, stamp, frame_id, frame.pixel_width, frame.pixel_height, encoding,
                         frame.pixel_width * bytes_per_pixel, len);
    const mcap::Piece pieces[] = {{head_.data(), head_.size()}, {data, len}};
    writer_.add_message(t.ros, item.host_time_ns, stamp, pieces, 2, BORROW_FROM);
}

}  // namespace record
