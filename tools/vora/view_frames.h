// What `vora view` holds of the stream and sends to the page: the latest
// frames of each channel (and a few before them, for the save button), and
// each frame encoded for the page once, however many pages ask for it.
//
// A frame travels as one binary message: a 64-byte little-endian header,
// then its arrays. Depth: the points (int16 x, y, z, times `scale` in
// millimetres; 0, 0, 0 where there is no point), their colours by depth
// (RGB, the preview PNG's colour map), and, when asked, the colours the
// colour image gives them (RGB, through the library's fusion). Colour: the
// image as RGB. Every array covers the frame's pixels taken every `step`
// in both directions.
#ifndef VORA_TOOL_VIEW_FRAMES_H
#define VORA_TOOL_VIEW_FRAMES_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lent_frame.h"
#include "vora_base_type.h"
#include "vora_pixel_format.h"

namespace vora_tool {
namespace view {

constexpr size_t kHeaderBytes = 64;
constexpr uint16_t kKindDepth = 1;
constexpr uint16_t kKindColour = 2;
// Header flags: which arrays follow, in this order.
constexpr uint16_t kHasPoints = 1;
constexpr uint16_t kHasDepthColours = 2;
constexpr uint16_t kHasFusedColours = 4;
constexpr unsigned kMaxStep = 16;

// The header's fields, at these byte offsets.
struct Header {
    // 0: "VORF", 4: version (1)
    uint16_t kind = 0;          // 6
    uint16_t channel = 0;       // 8
    uint16_t flags = 0;         // 10
    uint32_t seq = 0;           // 12: the viewer's number of the frame on its channel, from 1
    uint32_t width = 0;         // 16: of the arrays
    uint32_t height = 0;        // 20
    uint32_t step = 1;          // 24
    uint32_t frame_width = 0;   // 28: of the frame
    uint32_t frame_height = 0;  // 32
    float scale = 1;            // 36: millimetres per unit of the points
    float near_mm = 0;          // 40: the depth at either end of the colour map
    float far_mm = 0;           // 44
    uint32_t block_id = 0;      // 48
    uint32_t colour_seq = 0;    // 52: the colour frame fused with, or 0
    uint64_t timestamp = 0;     // 56: the camera's
};

std::string encode_header(const Header& h);
// The inverse, for tests; false for anything that is not a header.
bool decode_header(const std::string& message, Header* h);

// One frame as captured. Immutable once published: colour frames are
// converted to RGB8 before, in a buffer from malloc, as the library's Bayer
// conversion wants; depth frames stay in the library's lent buffer, given
// back when the frame goes.
class Frame {
public:
    Frame() = default;
    ~Frame();
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // A buffer for a frame of `bytes` bytes; false when out of memory.
    bool allocate(size_t bytes);

    PhotoInfo info{};         // info.pixel is data, or the lent buffer
    LentFrame lent;           // depth frames: the library's buffer
    uint32_t generation = 0;  // the viewer's streams it came from
    char* data = nullptr;
    size_t capacity = 0;
    uint16_t channel = 0;
    uint32_t seq = 0;
    bool depth() const { return info.pixel_format == PIXEL_FORMAT_COORD3D_ABC16; }

    // The message for a page, encoded at most once per kind of request;
    // null when the frame cannot be encoded (the reason in *error).
    // `colour` is the colour frame to fuse with, or null.
    std::shared_ptr<const std::string> message(int camera, unsigned step, bool points, const Frame* colour,
                                               std::string* error) const;

private:
    struct Cached {
        unsigned step;
        bool points;
        uint32_t colour_seq;  // 0: not fused
        std::shared_ptr<const std::string> message;
    };
    mutable std::mutex mutex_;
    mutable std::vector<Cached> cache_;
};

// The step that brings a frame to at most about 640 x 512 points: what
// the page shows well and a software renderer still draws ten times a
// second.
unsigned default_step(uint32_t width, uint32_t height);

// The frames of the open channels, and everything waiting for them. The
// capture thread publishes; the server's threads wait for what is newer
// than what their page has.
class FrameStore {
public:
    static constexpr size_t kKept = 3;  // per channel: the latest and the two before

    void publish(std::shared_ptr<Frame> frame);
    // Lets go of every frame (before the channels close: lent ones go back).
    void clear();
    // The latest frame of the channel newer than seq `after`, waiting for
    // one until `deadline`; null at the deadline, once stopped, or for a
    // channel that has none.
    std::shared_ptr<const Frame> wait_newer(uint16_t channel, uint32_t after,
                                            std::chrono::steady_clock::time_point deadline) const;
    std::shared_ptr<const Frame> latest(uint16_t channel) const;
    // The frame of that seq if it is still kept.
    std::shared_ptr<const Frame> find(uint16_t channel, uint32_t seq) const;
    // The next seq of the channel, and the last one given.
    uint32_t next_seq(uint16_t channel);
    uint32_t last_seq(uint16_t channel) const;
    // Wakes every waiter for good.
    void stop();
    bool stopped() const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<std::shared_ptr<const Frame>> frames_[3];  // newest last
    uint32_t seq_[3] = {0, 0, 0};
    bool stopped_ = false;
};

}  // namespace view
}  // namespace vora_tool

#endif
