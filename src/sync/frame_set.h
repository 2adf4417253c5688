// One open frame set: a capture thread per member takes the member's frames
// into a small pool of buffers and hands their stamps to the matcher; the
// application's thread takes whole sets out (next).
#ifndef VORA_SYNC_FRAME_SET_H
#define VORA_SYNC_FRAME_SET_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "sync/frame_set_matcher.h"
#include "vora_qelcamera_api.h"

class GigeStream;

namespace framesync {

// Reads a camera's clock mapping (GetClockMapping), 0 or a failure.
using ClockSource = std::function<int(int camera_index, VoraClockMapping* mapping)>;

struct MemberSource {
    int camera_index = 0;
    unsigned short channel = 0;
    GigeStream* stream = nullptr;
    VoraClockMapping mapping{};  // time base HOST: taken at open
};

class FrameSet {
public:
    // options checked by the caller; time_base HOST only with every
    // member's mapping taken.
    FrameSet(std::vector<MemberSource> members, const VoraFrameSetOptions& options, ClockSource clock);
    ~FrameSet();
    FrameSet(const FrameSet&) = delete;
    FrameSet& operator=(const FrameSet&) = delete;

    // Allocates the buffers and starts the threads: 0, or a failure.
    int start();
    // Stops and joins every thread; waiting next() calls return.
    void stop();
    // The members capturing from stream stop before it goes: they count as
    // gone from now on.
    void detach(const GigeStream* stream);

    int next(PhotoInfo* frames, VoraSetFrameInfo* member_info, VoraFrameSetInfo* info, long long timeout_us);
    void statistics(VoraFrameSetStatistics* out);
    size_t size() const { return members_.size(); }

private:
    struct Slot {
        std::vector<char> bytes;
        PhotoInfo frame{};
    };
    struct Member {
        MemberSource source;
        std::vector<Slot> slots;
        std::vector<size_t> free;  // slots neither queued nor being copied out
        std::thread thread;
        std::atomic<bool> stop{false};
        bool lost = false;           // its camera was lost (under mutex_)
        bool detached = false;       // its stream was closed (under mutex_)
        long long mapped_at_ns = 0;  // capture thread only
    };

    void capture_loop(size_t m);
    int64_t stamp_of(Member& member, const PhotoInfo& frame);
    void recycle_released();  // under mutex_
    void stop_member(Member& member);

    std::vector<std::unique_ptr<Member>> members_;
    VoraFrameSetOptions options_;
    ClockSource clock_;

    std::mutex mutex_;
    std::condition_variable sets_cv_;     // a frame came, a member went, the set closed
    std::condition_variable buffers_cv_;  // a buffer came free, a thread is to stop
    FrameSetMatcher matcher_;
    uint64_t sets_out_ = 0;
    bool closed_ = false;
};

}  // namespace framesync

#endif
