// The simulated camera's two frame sources: its rendered scene, and a feed.
#include "sim_frame_source.h"

#include <utility>
#include <vector>

#include "sim_scene.h"

namespace vsim {

namespace {

class RenderedSource : public FrameSource {
public:
    RenderedSource(const SimConfig& config, size_t channels, std::function<uint64_t()> ticks)
        : config_(config), ticks_(std::move(ticks)), images_(channels)
    {}

    void reconfigured(size_t channel) override { images_[channel].reset(); }

    bool take(size_t channel, const ChannelConfig& c, SourceFrame* out) override
    {
        std::shared_ptr<const std::vector<uint8_t>>& image = images_[channel];
        if (!image) {
            if (c.sensor >= config_.sensors.size())
                return false;
            image = std::make_shared<const std::vector<uint8_t>>(
                render_sensor(config_.sensors[c.sensor], Roi{c.width, c.height, c.offset_x, c.offset_y}, c.pixel_format,
                              config_.cloud_unit));
        }
        if (image->empty())
            return false;
        out->data = FrameData{image, c.pixel_format, c.width, c.height, c.offset_x, c.offset_y};
        out->ticks = ticks_();
        return true;
    }

    void seal(uint16_t block_id, FrameData* frame) const override
    {
        if (config_.depth_noise_mm <= 0 || frame->pixel_format != pixel::coord3d_abc16)
            return;
        // The block's own depth noise; kept with the block, so a resend
        // carries the same points.
        auto noisy = std::make_shared<std::vector<uint8_t>>(*frame->image);
        add_depth_noise(*noisy, block_id, config_.depth_noise_mm, config_.cloud_unit);
        frame->image = std::move(noisy);
    }

private:
    const SimConfig& config_;
    std::function<uint64_t()> ticks_;
    std::vector<std::shared_ptr<const std::vector<uint8_t>>> images_;  // per channel, rendered once
};

class FeedSource : public FrameSource {
public:
    FeedSource(std::shared_ptr<FrameFeed> feed, size_t channels) : feed_(std::move(feed)), channels_(channels) {}

    void read_ahead(bool acquiring) override
    {
        if (!acquiring)
            return;
        for (size_t n = 0; n < channels_.size(); ++n) {
            Channel& ch = channels_[n];
            if (!ch.has_pending && !ch.done) {
                ch.has_pending = feed_->next(static_cast<int>(n), &ch.pending);
                ch.done = !ch.has_pending;
            }
        }
    }

    void acquisition_started() override
    {
        for (Channel& ch : channels_) {
            ch.has_pending = false;
            ch.done = false;
        }
    }

    void rewind() override
    {
        feed_->restart();
        start_ = Clock::now();
    }

    bool paced() const override { return true; }

    bool due(size_t channel, Clock::time_point* when) const override
    {
        const Channel& ch = channels_[channel];
        if (!ch.has_pending)
            return false;
        *when = start_ + std::chrono::microseconds(ch.pending.due_us);
        return true;
    }

    bool take(size_t channel, const ChannelConfig&, SourceFrame* out) override
    {
        Channel& ch = channels_[channel];
        ch.has_pending = false;
        const FeedFrame& f = ch.pending;
        if (!f.payload || f.payload->empty())
            return false;
        out->data = FrameData{f.payload, f.pixel_format, f.width, f.height, f.offset_x, f.offset_y};
        out->block_id = f.block_id ? f.block_id : 1;
        out->ticks = f.timestamp_ticks;
        return true;
    }

private:
    struct Channel {
        bool has_pending = false;  // the next frame, taken ahead
        FeedFrame pending;
        bool done = false;  // the feed has no more for this channel
    };
    std::shared_ptr<FrameFeed> feed_;
    std::vector<Channel> channels_;
    Clock::time_point start_ = Clock::now();  // acquisition start: the feed's time 0
};

}  // namespace

std::unique_ptr<FrameSource> make_rendered_source(const SimConfig& config, size_t channels,
                                                  std::function<uint64_t()> ticks)
{
    return std::make_unique<RenderedSource>(config, channels, std::move(ticks));
}

std::unique_ptr<FrameSource> make_feed_source(std::shared_ptr<FrameFeed> feed, size_t channels)
{
    return std::make_unique<FeedSource>(std::move(feed), channels);
}

}  // namespace vsim
