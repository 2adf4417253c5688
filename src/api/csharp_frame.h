// Frames of the flat-buffer variants: the caller keeps the record and the
// pixel bytes apart, the camera operations want one PhotoInfo. These helpers
// rebuild one around a private copy and copy results back.
#ifndef VORA_CSHARP_FRAME_H
#define VORA_CSHARP_FRAME_H

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

// The record fields copied one to one; the private buffer becomes pixel.
inline PhotoInfo frame_from_csharp(const PhotoInfoCSharp& in, char* private_buffer)
{
    PhotoInfo out;
    std::memset(&out, 0, sizeof out);
    out.pixel = private_buffer;
    out.pixel_length = in.pixel_length;
    out.pixel_format = in.pixel_format;
    out.pixel_width = in.pixel_width;
    out.pixel_height = in.pixel_height;
    out.cloud_unit = in.cloud_unit;
    out.payload_size = in.payload_size;
    out.timestamp_high = in.timestamp_high;
    out.timestamp_low = in.timestamp_low;
    out.roi = in.roi;
    out.block_id = in.block_id;
    out.stream_channel_index_ = in.stream_channel_index_;
    return out;
}

inline size_t byte_count(int length)
{
    return length > 0 ? static_cast<size_t>(length) : 0;
}

// A frame over the caller's `length` bytes (or a copy of them). They are all
// the frame data there is, so a payload_size claiming more is cut to them:
// the operation then refuses a frame they do not cover instead of reading
// past them, and nothing is allocated for what a record merely claims.
inline PhotoInfo frame_within(const PhotoInfoCSharp& info, char* buffer, int length)
{
    PhotoInfo frame = frame_from_csharp(info, buffer);
    if (frame.payload_size > byte_count(length))
        frame.payload_size = static_cast<uint32_t>(byte_count(length));
    return frame;
}

// The same fields the other way; the pixel bytes are the caller's business.
inline void frame_to_csharp(const PhotoInfo& in, PhotoInfoCSharp* out)
{
    out->pixel_length = in.pixel_length;
    out->pixel_format = in.pixel_format;
    out->pixel_width = in.pixel_width;
    out->pixel_height = in.pixel_height;
    out->cloud_unit = in.cloud_unit;
    out->payload_size = in.payload_size;
    out->timestamp_high = in.timestamp_high;
    out->timestamp_low = in.timestamp_low;
    out->roi = in.roi;
    out->block_id = in.block_id;
    out->stream_channel_index_ = in.stream_channel_index_;
}

// The mask variants take the mask's length in elements: a mask that does
// not hold one value per pixel of the frame is refused (logged under the
// variant's name) rather than read or written past its end.
inline bool refuse_short_mask(cameralog& log, const char* function, const int* mask, const PhotoInfoCSharp& info,
                              int length)
{
    const uint64_t pixels = static_cast<uint64_t>(info.pixel_width) * info.pixel_height;
    if (mask && length >= 0 && static_cast<uint64_t>(length) >= pixels)
        return false;
    log.log_error(gvcp_log_error_level, "[function:%s] the mask does not hold width x height values, error code: %d",
                  function, VORA_ERR_INVALID_ARG);
    return true;
}

// A record of the frame's size alone, for operations that use nothing else.
inline PhotoInfo frame_size_only(const PhotoInfoCSharp& info)
{
    PhotoInfo frame;
    std::memset(&frame, 0, sizeof frame);
    frame.pixel_width = info.pixel_width;
    frame.pixel_height = info.pixel_height;
    return frame;
}

// A malloc'd buffer owned for the duration of one call. An operation may swap
// the frame's pixel for a buffer of its own (the Bayer conversion does); call
// adopt() with the frame's pixel afterwards so the buffer actually held is the
// one freed.
class PrivateBuffer {
public:
    PrivateBuffer() = default;
    // An uninitialised buffer of `bytes` bytes (get() is null when malloc
    // fails).
    explicit PrivateBuffer(size_t bytes) : data_(static_cast<char*>(std::malloc(bytes ? bytes : 1))), size_(bytes) {}
    // A private copy of the caller's `length` bytes (a negative length counts
    // as 0), zero-filled up to `at_least` bytes when that is more: an
    // operation sized by the frame's own fields never reads or writes past
    // the private buffer, whatever length the caller passed.
    static PrivateBuffer copy_of(const char* source, int length, size_t at_least = 0)
    {
        const size_t copied = length > 0 ? static_cast<size_t>(length) : 0;
        const size_t bytes = copied > at_least ? copied : at_least;
        PrivateBuffer buffer;
        buffer.data_ = static_cast<char*>(std::malloc(bytes ? bytes : 1));
        buffer.size_ = bytes;
        if (buffer.data_) {
            if (source && copied)
                std::memcpy(buffer.data_, source, copied);
            std::memset(buffer.data_ + copied, 0, bytes - copied);
        }
        return buffer;
    }
    // A zero-filled buffer.
    static PrivateBuffer zeroed(int length)
    {
        PrivateBuffer buffer;
        size_t bytes = length > 0 ? static_cast<size_t>(length) : 0;
        buffer.data_ = static_cast<char*>(std::calloc(bytes ? bytes : 1, 1));
        buffer.size_ = bytes;
        return buffer;
    }
    ~PrivateBuffer() { std::free(data_); }
    PrivateBuffer(PrivateBuffer&& other) noexcept : data_(other.data_), size_(other.size_)
    {
        other.data_ = nullptr;
        other.size_ = 0;
    }
    PrivateBuffer& operator=(PrivateBuffer&& other) noexcept
    {
        if (this != &other) {
            std::free(data_);
            data_ = other.data_;
            size_ = other.size_;
            other.data_ = nullptr;
            other.size_ = 0;
        }
        return *this;
    }
    PrivateBuffer(const PrivateBuffer&) = delete;
    PrivateBuffer& operator=(const PrivateBuffer&) = delete;

    char* get() const { return data_; }
    size_t size() const { return size_; }
    explicit operator bool() const { return data_ != nullptr; }
    // Takes ownership of a buffer of `bytes` bytes that replaced ours (the
    // one replaced was already freed by whoever replaced it).
    void adopt(char* replacement, size_t bytes)
    {
        if (replacement != data_) {
            data_ = replacement;
            size_ = bytes;
        }
    }

    // The in-out pattern's copy back: the caller's `length` bytes are
    // cleared, then as much of the buffer as it holds is copied into them
    // (nothing happens when there is no buffer).
    void copy_to(char* destination, int length) const
    {
        const size_t wanted = length > 0 ? static_cast<size_t>(length) : 0;
        if (!destination || !wanted || !data_)
            return;
        std::memset(destination, 0, wanted);
        std::memcpy(destination, data_, wanted < size_ ? wanted : size_);
    }

private:
    char* data_ = nullptr;
    size_t size_ = 0;
};

#endif
