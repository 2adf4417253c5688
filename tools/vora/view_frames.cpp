// The viewer's frames and their encoding for the page.
#include "view_frames.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "depth_colours.h"
#include "frame_writer.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {
namespace view {

namespace {

constexpr size_t kCloudPixelBytes = 6;  // Coord3D_ABC16: three 16-bit values
constexpr size_t kCachedMessages = 4;   // per frame: a few kinds of request at once

template <typename T>
void put(std::string& out, size_t offset, T value)
{
    std::memcpy(&out[offset], &value, sizeof value);
}

template <typename T>
T get(const std::string& in, size_t offset)
{
    T value;
    std::memcpy(&value, &in[offset], sizeof value);
    return value;
}

// The pixels of a frame taken every `step` in both directions: the bytes of
// each (bpp of them) copied in order.
std::vector<char> decimate(const PhotoInfo& f, size_t bpp, unsigned step, uint32_t width, uint32_t height)
{
    std::vector<char> out(static_cast<size_t>(width) * height * bpp);
    char* to = out.data();
    for (uint32_t y = 0; y < height; ++y) {
        const char* row = f.pixel + static_cast<size_t>(y) * step * f.pixel_width * bpp;
        for (uint32_t x = 0; x < width; ++x, to += bpp)
            std::memcpy(to, row + static_cast<size_t>(x) * step * bpp, bpp);
    }
    return out;
}

// The header fields every message of the frame has.
Header header_of(const Frame& frame, uint16_t kind, unsigned step)
{
    const PhotoInfo& f = frame.info;
    Header h;
    h.kind = kind;
    h.channel = frame.channel;
    h.seq = frame.seq;
    h.step = step;
    h.frame_width = f.pixel_width;
    h.frame_height = f.pixel_height;
    h.width = (f.pixel_width + step - 1) / step;
    h.height = (f.pixel_height + step - 1) / step;
    h.block_id = f.block_id;
    h.timestamp = f.timestamp_high << 32 | (f.timestamp_low & 0xFFFFFFFFu);
    return h;
}

std::shared_ptr<const std::string> encode_depth(int camera, const Frame& frame, unsigned step, bool with_points,
                                                const Frame* colour, std::string* error)
{
    const PhotoInfo& f = frame.info;
    Header h = header_of(frame, kKindDepth, step);
    const size_t n = static_cast<size_t>(h.width) * h.height;
    if (static_cast<size_t>(f.pixel_width) * f.pixel_height > f.payload_size / kCloudPixelBytes) {
        *error = "the frame is shorter than its pixels";
        return nullptr;
    }

    // The library converts the points taken, not the whole frame.
    std::vector<char> raw = step > 1 ? decimate(f, kCloudPixelBytes, step, h.width, h.height) : std::vector<char>();
    PhotoInfo small = f;
    if (step > 1) {
        small.pixel = raw.data();
        small.pixel_width = h.width;
        small.pixel_height = h.height;
        small.payload_size = static_cast<uint32_t>(raw.size());
        small.pixel_length = small.payload_size;
    }
    const std::vector<float> xyz = points_of(camera, small);
    std::vector<uint16_t> z;
    if (!depth_of(camera, small, &z, error))
        return nullptr;
    uint16_t lo = 0, hi = 0;
    const std::vector<uint8_t> depth_rgb = colour_map_depth(z.data(), h.width, h.height, &lo, &hi);

    // The legend's ends in millimetres, and the scale that fits every
    // point into 16 bits.
    float near_mm = 0, far_mm = 0, largest = 0;
    bool any = false;
    for (size_t i = 0; i < n; ++i) {
        if (z[i] == 0)
            continue;
        const float* p = &xyz[3 * i];
        near_mm = any ? std::min(near_mm, p[2]) : p[2];
        far_mm = any ? std::max(far_mm, p[2]) : p[2];
        any = true;
        largest = std::max({largest, std::fabs(p[0]), std::fabs(p[1]), std::fabs(p[2])});
    }
    h.near_mm = near_mm;
    h.far_mm = far_mm;
    h.scale = largest > 0 ? largest / 32767.0f : 1.0f;

    std::vector<uint8_t> fused_rgb;
    if (colour) {
        PhotoInfo image = colour->info;  // RGB8: the fusion only reads it
        std::vector<float> fused(6 * (n ? n : 1));
        const int status = FusionImageTo3D(camera, &image, &small, fused.data());
        if (status != 0) {
            *error =
                "fusing the colour image into channel " + std::to_string(frame.channel) + ": " + status_text(status);
            return nullptr;
        }
        fused_rgb.resize(3 * n);
        // x, y, z, then blue, green, red.
        for (size_t i = 0; i < n; ++i)
            for (int k = 0; k < 3; ++k)
                fused_rgb[3 * i + k] = static_cast<uint8_t>(std::min(255.0f, std::max(0.0f, fused[6 * i + 5 - k])));
        h.flags |= kHasFusedColours;
        h.colour_seq = colour->seq;
    }
    h.flags |= kHasDepthColours | (with_points ? kHasPoints : 0);

    auto message = std::make_shared<std::string>(encode_header(h));
    std::string& out = *message;
    out.resize(kHeaderBytes + (with_points ? 6 * n : 0), '\0');
    if (with_points) {
        // Quantised straight into the message (x86-64: little-endian already).
        char* at = &out[kHeaderBytes];
        for (size_t i = 0; i < n; ++i, at += 6) {
            if (z[i] == 0)
                continue;
            int16_t q[3];
            for (int k = 0; k < 3; ++k)
                q[k] = static_cast<int16_t>(std::lround(xyz[3 * i + k] / h.scale));
            if (q[2] == 0)
                q[2] = 1;  // 0 means "no point" to the page
            std::memcpy(at, q, sizeof q);
        }
    }
    out.append(reinterpret_cast<const char*>(depth_rgb.data()), depth_rgb.size());
    out.append(reinterpret_cast<const char*>(fused_rgb.data()), fused_rgb.size());
    return message;
}

std::shared_ptr<const std::string> encode_colour(const Frame& frame, unsigned step, std::string* error)
{
    const PhotoInfo& f = frame.info;
    if (f.pixel_format != PIXEL_FORMAT_RGB8 && f.pixel_format != PIXEL_FORMAT_MONO8) {
        *error = "cannot show " + pixel_format_name(f.pixel_format) + " frames";
        return nullptr;
    }
    // RGB8 is thinned where it lies; Mono8 is made RGB first.
    const size_t pixels = static_cast<size_t>(f.pixel_width) * f.pixel_height;
    PhotoInfo image = f;
    std::vector<uint8_t> rgb;
    if (f.pixel_format == PIXEL_FORMAT_MONO8) {
        rgb = rgb_of(f);
        image.pixel = const_cast<char*>(reinterpret_cast<const char*>(rgb.data()));
    }
    if (f.pixel_format == PIXEL_FORMAT_MONO8 ? rgb.empty() : f.payload_size / 3 < pixels) {
        *error = "the frame is shorter than its pixels";
        return nullptr;
    }
    const Header h = header_of(frame, kKindColour, step);
    const std::vector<char> taken = decimate(image, 3, step, h.width, h.height);
    auto message = std::make_shared<std::string>(encode_header(h));
    message->append(taken.data(), taken.size());
    return message;
}

}  // namespace

std::string encode_header(const Header& h)
{
    std::string out(kHeaderBytes, '\0');
    std::memcpy(&out[0], "VORF", 4);
    put<uint16_t>(out, 4, 1);
    put(out, 6, h.kind);
    put(out, 8, h.channel);
    put(out, 10, h.flags);
    put(out, 12, h.seq);
    put(out, 16, h.width);
    put(out, 20, h.height);
    put(out, 24, h.step);
    put(out, 28, h.frame_width);
    put(out, 32, h.frame_height);
    put(out, 36, h.scale);
    put(out, 40, h.near_mm);
    put(out, 44, h.far_mm);
    put(out, 48, h.block_id);
    put(out, 52, h.colour_seq);
    put(out, 56, h.timestamp);
    return out;
}

bool decode_header(const std::string& in, Header* h)
{
    if (in.size() < kHeaderBytes || in.compare(0, 4, "VORF") != 0 || get<uint16_t>(in, 4) != 1)
        return false;
    h->kind = get<uint16_t>(in, 6);
    h->channel = get<uint16_t>(in, 8);
    h->flags = get<uint16_t>(in, 10);
    h->seq = get<uint32_t>(in, 12);
    h->width = get<uint32_t>(in, 16);
    h->height = get<uint32_t>(in, 20);
    h->step = get<uint32_t>(in, 24);
    h->frame_width = get<uint32_t>(in, 28);
    h->frame_height = get<uint32_t>(in, 32);
    h->scale = get<float>(in, 36);
    h->near_mm = get<float>(in, 40);
    h->far_mm = get<float>(in, 44);
    h->block_id = get<uint32_t>(in, 48);
    h->colour_seq = get<uint32_t>(in, 52);
    h->timestamp = get<uint64_t>(in, 56);
    return true;
}

Frame::~Frame()
{
    std::free(data);
}

bool Frame::allocate(size_t bytes)
{
    data = static_cast<char*>(std::malloc(bytes ? bytes : 1));
    capacity = bytes;
    info.pixel = data;
    return data != nullptr;
}

std::shared_ptr<const std::string> Frame::message(int camera, unsigned step, bool points, const Frame* colour,
                                                  std::string* error) const
{
    step = std::max(1u, std::min(step, kMaxStep));
    const uint32_t colour_seq = colour ? colour->seq : 0;
    // Held while encoding: a second page asking for the same waits for
    // this encoding instead of repeating it.
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Cached& c : cache_)
        if (c.step == step && c.points == points && c.colour_seq == colour_seq)
            return c.message;
    std::shared_ptr<const std::string> message =
        depth() ? encode_depth(camera, *this, step, points, colour, error) : encode_colour(*this, step, error);
    if (!message)
        return nullptr;
    if (cache_.size() >= kCachedMessages)
        cache_.erase(cache_.begin());
    cache_.push_back({step, points, colour_seq, message});
    return message;
}

unsigned default_step(uint32_t width, uint32_t height)
{
    constexpr uint64_t kPoints = 640 * 512;
    unsigned step = 1;
    while (step<kMaxStep&& static_cast<uint64_t>((width + step - 1) / step) * ((height + step - 1) / step)> kPoints)
        ++step;
    return step;
}

void FrameStore::publish(std::shared_ptr<Frame> frame)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto& kept = frames_[frame->channel % 3];
        kept.push_back(std::move(frame));
        while (kept.size() > kKept)
            kept.pop_front();
    }
    changed_.notify_all();
}

void FrameStore::clear()
{
    std::deque<std::shared_ptr<const Frame>> dropped[3];
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (size_t i = 0; i < 3; ++i)
            dropped[i].swap(frames_[i]);
    }
    // Destroyed here, outside the lock: lent frames go back to the library.
}

std::shared_ptr<const Frame> FrameStore::wait_newer(uint16_t channel, uint32_t after,
                                                    std::chrono::steady_clock::time_point deadline) const
{
    if (channel > 2)
        return nullptr;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto& kept = frames_[channel];
    changed_.wait_until(lock, deadline, [&] { return stopped_ || (!kept.empty() && kept.back()->seq > after); });
    if (stopped_ || kept.empty() || kept.back()->seq <= after)
        return nullptr;
    return kept.back();
}

std::shared_ptr<const Frame> FrameStore::latest(uint16_t channel) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return channel > 2 || frames_[channel].empty() ? nullptr : frames_[channel].back();
}

std::shared_ptr<const Frame> FrameStore::find(uint16_t channel, uint32_t seq) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (channel > 2)
        return nullptr;
    for (const auto& f : frames_[channel])
        if (f->seq == seq)
            return f;
    return nullptr;
}

uint32_t FrameStore::next_seq(uint16_t channel)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return ++seq_[channel % 3];
}

uint32_t FrameStore::last_seq(uint16_t channel) const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return seq_[channel % 3];
}

void FrameStore::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

bool FrameStore::stopped() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

}  // namespace view
}  // namespace vora_tool
