// Records chosen stream channels of a camera into an MCAP file on a thread
// of its own. The streams lend it their finished frames through a bounded
// tap (see stream/frame_tap.h); it writes each as a lossless raw message and,
// where the format allows, as a ROS point cloud or image, then gives the
// frame back. In the ROS 2 profile the file is a rosbag2 bag: CDR messages
// on the topics and frames the bridge uses, with their camera models and
// the sensors' poses. Reception never waits for it: frames that find the tap full
// are counted as dropped, per channel, and the file ends with each
// channel's figures. With zstd, frames that come while it is behind are
// stored uncompressed, so that it catches up instead of dropping them.
#ifndef VORA_RECORDER_H
#define VORA_RECORDER_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "record/block_gaps.h"
#include "record/mcap_writer.h"
#include "stream/frame_tap.h"
#include "vora_base_type.h"

namespace record {

struct RecordingSetup {
    std::string path;
    bool zstd = false;
    bool ros = true;                  // ROS messages beside the raw frames
    bool ros2 = false;                // ROS 2 (as rosbag2 writes MCAP) instead of ROS 1
    std::string ros_name = "camera";  // ROS 2: the camera's name in topics and frames
    // By stream channel, read when the recording starts: the sensor feeding
    // it (-1 not known) and its pixel format (0 not known).
    int sensors[3] = {-1, -1, -1};
    uint32_t formats[3] = {0, 0, 0};
    uint32_t channels = 0;  // bit n: stream channel n
    DiscoveryInfo camera{};
    std::string description;                   // the device description file's bytes
    std::string description_name;              // its file name
    std::vector<CameraParameter> calibration;  // by sensor
    // Frames lent to the recorder at most: bursts, and moments when a busy
    // machine gives the recorder no time, wait here (about 1.6 s of three
    // channels at 10 frames/s). The buffers exist only while frames wait.
    size_t queue_frames = 48;
    // Tests only: called on the recorder's thread before each frame is written.
    std::function<void(const PhotoInfo&)> before_write;
};

// What became of one stream channel's frames in a recording.
struct ChannelFigures {
    uint64_t frames = 0;   // written
    uint64_t dropped = 0;  // found the queue full, or lost to a write failure
    uint64_t gaps = 0;     // places where the written frames' block ids skip
    uint64_t missing = 0;  // block ids skipped in all
};

// Topics of a camera's channel; the serial is kept to letters, digits and '_'.
std::string topic_for(const std::string& serial, unsigned channel, bool raw);
std::string clean_serial(const char* serial, size_t max);

// The metadata names and keys a recording carries.
extern const char* const META_CAMERA;
extern const char* const META_CALIBRATION;
extern const char* const META_RECORDING;
// Written when a recording ends: its figures, per channel under "chN.".
extern const char* const META_RECORDING_END;
extern const char* const KEY_FRAMES;
extern const char* const KEY_DROPPED;
extern const char* const KEY_GAPS;
extern const char* const KEY_MISSING;
std::string channel_key(unsigned channel, const char* key);
std::string calibration_key(int sensor, const char* matrix);

class Recorder {
public:
    Recorder() = default;
    ~Recorder();  // stops, if still running
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Creates the file and starts the thread: 0, or the errno of the failure.
    int start(const RecordingSetup& setup);
    FrameTap* tap() { return tap_.get(); }
    // Refuses new frames, writes those queued, finishes the file, joins the
    // thread: 0 or the errno of the first write failure.
    int stop();

    uint64_t frames_written() const { return written_.load(); }
    // Frames that found the queue full, and frames lost to a write failure.
    uint64_t frames_dropped() const { return (tap_ ? tap_->overflow() : 0) + failed_.load(); }
    uint64_t bytes_written() const { return bytes_.load(); }
    int write_error() const { return error_.load(); }
    // False for a channel that is not recorded.
    bool channel_figures(unsigned channel, ChannelFigures* out) const;
    // With zstd, frames stored uncompressed because the queue was backing up.
    uint64_t frames_stored() const { return stored_.load(); }

private:
    struct Topics {
        uint16_t raw = 0, ros = 0;
        bool has_ros = false;
        uint32_t seq = 0;
        std::string frame_id;  // the ROS topic without its leading '/'
        // ROS 2: the channel's role and its topics (indexes of ros2_topics_, -1 none)
        std::string role;
        int raw_topic = -1, points = -1, image = -1, info = -1;
    };
    struct Ros2Topic {
        std::string topic, type, qos;
        uint16_t channel;
        uint64_t messages;
    };
    void run();
    void write_header_records();
    void write_frame(const TappedFrame& item);
    Topics& topics_for(const PhotoInfo& frame);
    void write_ros(const PhotoInfo& frame, const TappedFrame& item, Topics& t);
    void write_figures();
    std::string optical_frame(const std::string& role) const;
    int ros2_topic(const std::string& topic, const char* type, bool latched, mcap::StringMap metadata = {});
    void ros2_message(int topic, uint64_t log_time, uint64_t stamp, const mcap::Piece* pieces, size_t count);
    uint64_t stamp_for(const PhotoInfo& frame, uint64_t host_time_ns);
    void write_tf_static(uint64_t log_time, uint64_t stamp);
    void write_ros2(const PhotoInfo& frame, const TappedFrame& item, Topics& t, uint64_t stamp);
    // A colour frame's pixels as rgb8 or mono8; false when it cannot be.
    bool image_pixels(const PhotoInfo& frame, const uint8_t** data, const char** encoding, uint32_t* bytes_per_pixel);
    void write_rosbag2_metadata();
    void note_log_time(uint64_t log_time);

    RecordingSetup setup_;
    std::string serial_;
    mcap::McapWriter writer_;
    std::unique_ptr<FrameTap> tap_;
    std::thread thread_;
    bool running_ = false;
    std::map<uint16_t, Topics> topics_;
    uint16_t raw_schema_ = 0, cloud_schema_ = 0, image_schema_ = 0;
    std::vector<uint8_t> head_, tail_;
    std::vector<float> points_;
    bool storing_ = false;  // with zstd: frames go uncompressed for now
    std::vector<uint8_t> rgb_;
    // ROS 2
    std::vector<Ros2Topic> ros2_topics_;
    std::map<std::string, uint16_t> ros2_schemas_;
    std::string roles_[3];
    unsigned depth_roles_ = 0, colour_roles_ = 0;
    bool tf_written_ = false;
    bool anchored_ = false;
    uint64_t camera_to_host_ = 0;  // added modulo 2^64
    uint64_t first_log_ = 0, last_log_ = 0;
    std::vector<uint16_t> depth_mm_;
    std::vector<uint8_t> info_;

    std::atomic<uint64_t> written_{0}, failed_{0}, bytes_{0}, stored_{0};
    std::atomic<int> error_{0};
    struct ChannelCounts {
        uint64_t frames = 0, failed = 0;
        BlockGaps gaps;
    };
    mutable std::mutex counts_mutex_;
    ChannelCounts counts_[3];
};

}  // namespace record

#endif
