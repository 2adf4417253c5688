// A frame borrowed from a stream channel without a copy (BorrowFrame): the
// holder gives it back (ReturnFrame) when it is reset, reassigned, moved
// over or destroyed, so every path out of a capture loop returns it. The
// library's buffer is read-only while lent; a caller that converts or
// filters in place takes a copy instead.
#ifndef VORA_TOOL_LENT_FRAME_H
#define VORA_TOOL_LENT_FRAME_H

#include <utility>

#include "vora_qelcamera_api.h"

namespace vora_tool {

class LentFrame {
public:
    LentFrame() = default;
    LentFrame(const LentFrame&) = delete;
    LentFrame& operator=(const LentFrame&) = delete;
    LentFrame(LentFrame&& other) noexcept { swap(other); }
    LentFrame& operator=(LentFrame&& other) noexcept
    {
        if (this != &other) {
            reset();
            swap(other);
        }
        return *this;
    }
    ~LentFrame() { reset(); }

    // Borrows the channel's next frame, waiting up to timeout_us (0: only
    // one already there), after giving back the one held. BorrowFrame's
    // status: 0, -34 without a frame in time, -93 at the loan limit, ...
    int borrow(int camera, unsigned short channel, long long timeout_us)
    {
        reset();
        PhotoInfo info{};
        const int status = BorrowFrame(camera, channel, &info, timeout_us);
        if (status == 0) {
            camera_ = camera;
            channel_ = channel;
            info_ = info;
        }
        return status;
    }

    // Gives the frame back; nothing when none is held.
    void reset()
    {
        if (!info_.pixel)
            return;
        ReturnFrame(camera_, channel_, &info_);
        info_ = PhotoInfo{};
    }

    bool held() const { return info_.pixel != nullptr; }
    // The frame's record; pixel points into the library's buffer.
    const PhotoInfo& info() const { return info_; }

    void swap(LentFrame& other) noexcept
    {
        std::swap(camera_, other.camera_);
        std::swap(channel_, other.channel_);
        std::swap(info_, other.info_);
    }

private:
    int camera_ = -1;
    unsigned short channel_ = 0;
    PhotoInfo info_{};
};

inline void swap(LentFrame& a, LentFrame& b) noexcept
{
    a.swap(b);
}

}  // namespace vora_tool

#endif
