// Where a channel's frames come from: the scene rendered through the
// channel's sensor, or a feed (a recording being played) that keeps its own
// pace. The stream engine sees either through FrameSource.
#ifndef VORA_SIM_FRAME_SOURCE_H
#define VORA_SIM_FRAME_SOURCE_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "sim_camera.h"
#include "sim_packets.h"

namespace vsim {

// A stream channel as its registers set it up.
struct ChannelConfig {
    uint32_t host = 0, port = 0, packet_size = 0;
    uint32_t sensor = 0, width = 0, height = 0, offset_x = 0, offset_y = 0, pixel_format = 0;
    bool operator==(const ChannelConfig& o) const
    {
        return host == o.host && port == o.port && packet_size == o.packet_size && sensor == o.sensor &&
               width == o.width && height == o.height && offset_x == o.offset_x && offset_y == o.offset_y &&
               pixel_format == o.pixel_format;
    }
    bool operator!=(const ChannelConfig& o) const { return !(*this == o); }
};

// A frame ready to go out on a channel.
struct SourceFrame {
    FrameData data;
    uint16_t block_id = 1;  // the channel's next id, unless the source brings its own
    uint64_t ticks = 0;     // the leader's timestamp
};

class FrameSource {
public:
    using Clock = std::chrono::steady_clock;
    virtual ~FrameSource() = default;

    // Before each round, outside the camera's lock: a feed reads its
    // channels' next frames here, so that reading a file never holds up the
    // control channel.
    virtual void read_ahead(bool acquiring) { (void)acquiring; }
    // Acquisition has started (under the camera's lock): frames taken ahead
    // are forgotten, so none falls due before rewind().
    virtual void acquisition_started() {}
    // Right after acquisition_started(), outside the lock: back to the
    // first frames, whose time 0 is now.
    virtual void rewind() {}
    // True when the source, not the frame rate, says when frames are due;
    // then due() tells when the channel's next one is, or false while it has none.
    virtual bool paced() const { return false; }
    virtual bool due(size_t channel, Clock::time_point* when) const
    {
        (void)channel;
        (void)when;
        return false;
    }
    // The channel was set up anew.
    virtual void reconfigured(size_t channel) { (void)channel; }
    // The channel's next frame; false when there is nothing to send.
    virtual bool take(size_t channel, const ChannelConfig& config, SourceFrame* out) = 0;
    // The frame goes out as block `block_id`: last changes to its bytes.
    virtual void seal(uint16_t block_id, FrameData* frame) const
    {
        (void)block_id;
        (void)frame;
    }
};

// The scene through each channel's sensor, rendered once per configuration,
// with the camera's depth noise drawn for every block; `ticks` reads the
// camera's timestamp clock.
std::unique_ptr<FrameSource> make_rendered_source(const SimConfig& config, size_t channels,
                                                  std::function<uint64_t()> ticks);
// The frames of a feed, when the feed says they are due.
std::unique_ptr<FrameSource> make_feed_source(std::shared_ptr<FrameFeed> feed, size_t channels);

}  // namespace vsim

#endif
