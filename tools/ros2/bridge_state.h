// What the bridge holds per camera, stream channel and topic, shared by
// its threads (capture, publishing, the main loop) and by the message
// builders.
#ifndef VORA_ROS2_BRIDGE_STATE_H
#define VORA_ROS2_BRIDGE_STATE_H

#include <dds/dds.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "channels.h"
#include "completeness.h"
#include "lent_frame.h"
#include "newest_slot.h"
#include "session.h"
#include "stamp.h"
#include "vora_qelcamera_api.h"

namespace vora_ros2 {

struct Frame {
    PhotoInfo info{};            // pixel: the lent buffer, or data
    vora_tool::LentFrame lent;   // the library's buffer, while it is lent
    std::vector<char> data;      // a copy, when the loan limit was reached
    int64_t handed_over_ns = 0;  // realtime when the library handed it over

    // Its bytes and how many: the lent buffer's (the payload the library
    // handed over), or data's.
    char* bytes() { return lent.held() ? lent.info().pixel : data.data(); }
    size_t held() const { return lent.held() ? lent.info().payload_size : data.size(); }
};

struct Topic {
    std::string name;  // ROS name
    dds_entity_t writer = 0;
    bool reliable = false;  // its readers may ask for repairs
    std::atomic<uint64_t> published{0};
    std::atomic<uint64_t> failed{0};  // frames this topic could not carry
    // Samples some reliable reader had not acknowledged within kAckWait when
    // the next replaced them (or the bridge left): that reader may miss them.
    std::atomic<uint64_t> unacknowledged{0};
};

struct Channel {
    explicit Channel(Doorbell* doorbell) : slot(doorbell) {}

    vora_tool::StreamChannel stream;
    std::string role;
    bool depth = false;
    int sensor = -1;
    CameraParameter calibration{};
    bool calibrated = false;
    NewestSlot<Frame> slot;
    Frame capture;            // the capturing thread's
    Frame publish;            // the publisher's
    Topic* points = nullptr;  // depth channels only
    Topic* image = nullptr;
    Topic* info = nullptr;            // calibrated sensors only
    std::atomic<uint64_t> frames{0};  // frames published
    // Frames the library handed over with packets lost for good (their
    // missing parts zero), or whose fate could not be told: not published,
    // as a camera driver would not publish a torn frame.
    vora_tool::Completeness completeness;  // the capturing thread's
    std::atomic<uint64_t> incomplete{0};
    std::vector<std::string> warned;  // one warning per kind is enough
};

struct Camera {
    vora_tool::CameraSession session;
    int index = -1;
    std::string serial, name;
    std::deque<Channel> channels;
    Topic* registered = nullptr;
    ClockMapping clock;
    std::vector<std::thread> captures;
    std::atomic<bool> lost{false};
    std::atomic<bool> stop{false};
    Doorbell doorbell;
    std::thread publisher;
    std::atomic<bool> stop_publisher{false};
    bool lost_reported = false;
    bool acquiring = false;

    // The publisher's own, reused from frame to frame.
    Frame colour;  // the newest colour frame as rgb8 or mono8, for registration
    bool have_colour = false;
    std::vector<float> xyz, fused, xyzrgb;
    std::vector<uint16_t> depth_mm;
    std::vector<uint8_t> rgb;
    // Bayer conversion hands back a buffer of the library's (malloc).
    char* converted = nullptr;
    size_t converted_capacity = 0;

    ~Camera() { std::free(converted); }
    Channel* channel_of(const std::string& role)
    {
        for (Channel& c : channels)
            if (c.role == role)
                return &c;
        return nullptr;
    }
};

// Says a channel's trouble of one kind once; later ones are only counted.
void warn_once(Channel& ch, const std::string& kind, const std::string& message);

// Writes a sample on a topic and counts it, published or failed. On a
// reliable topic it first lets the readers finish the previous sample, up
// to kAckWait: a writer keeping the last sample only would otherwise drop a
// sample still being repaired for the next. The publisher thread waits, not
// acquisition; frames that come meanwhile replace each other in their slot
// and are counted as skipped.
constexpr dds_duration_t kAckWait = DDS_MSECS(500);
bool write(Topic& topic, const void* sample);
// Waits up to kAckWait for the readers to acknowledge what was written.
void settle(Topic& topic);

}  // namespace vora_ros2

#endif
