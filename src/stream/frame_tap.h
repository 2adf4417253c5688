// A second reader of a stream's finished frames (the recorder): the receive
// thread lends it each frame it hands over, by reference, into a bounded
// queue. Offering never waits: when the queue is full the frame is not lent
// and the miss is counted. Whoever takes a frame gives it back to its pool
// with FramePool::give_back once done with it.
#ifndef VORA_FRAME_TAP_H
#define VORA_FRAME_TAP_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "vora_base_type.h"

class FramePool;

struct TappedFrame {
    PhotoInfo* frame;
    FramePool* pool;
    uint32_t status;        // block status at hand-over: 0 complete
    uint64_t host_time_ns;  // wall clock at hand-over
};

class FrameTap {
public:
    explicit FrameTap(size_t capacity) : capacity_(capacity ? capacity : 1) {}
    FrameTap(const FrameTap&) = delete;
    FrameTap& operator=(const FrameTap&) = delete;

    // Receive thread: queues the frame unless the queue is full or closed.
    bool offer(const TappedFrame& item)
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_ || queue_.size() >= capacity_) {
                ++overflow_;
                const unsigned ch = item.frame ? item.frame->stream_channel_index_ : CHANNELS;
                if (ch < CHANNELS)
                    ++channel_overflow_[ch];
                return false;
            }
            queue_.push_back(item);
        }
        wake_.notify_one();
        return true;
    }

    // The oldest lent frame, waiting up to timeout_us; false when none came
    // (or the tap is closed and empty).
    bool take(TappedFrame* out, long long timeout_us)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::microseconds(timeout_us), [&] { return closed_ || !queue_.empty(); });
        if (queue_.empty())
            return false;
        *out = queue_.front();
        queue_.pop_front();
        return true;
    }

    // Refuses further frames; those queued can still be taken.
    void close()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            closed_ = true;
        }
        wake_.notify_all();
    }

    bool closed()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return closed_;
    }
    uint64_t overflow() const { return overflow_.load(); }
    // Frames of one stream channel (0..2) that found the queue full.
    uint64_t overflow(unsigned channel) const { return channel < CHANNELS ? channel_overflow_[channel].load() : 0; }
    size_t waiting()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return queue_.size();
    }
    size_t capacity() const { return capacity_; }

private:
    static constexpr unsigned CHANNELS = 3;
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<TappedFrame> queue_;
    bool closed_ = false;
    std::atomic<uint64_t> overflow_{0};
    std::atomic<uint64_t> channel_overflow_[CHANNELS] = {};
};

#endif
