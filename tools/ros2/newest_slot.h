// The hand-over between a capturing thread and the publisher: one slot per
// stream channel that holds only the newest frame. Capture never waits for
// the publisher; a frame replaced before the publisher took it is counted
// as skipped. Items change places instead of being copied, so the three
// buffers of a channel (capture's, the slot's, the publisher's) circulate
// and nothing is allocated per frame.
#ifndef VORA_ROS2_NEWEST_SLOT_H
#define VORA_ROS2_NEWEST_SLOT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

namespace vora_ros2 {

// Wakes the publisher when any slot it serves is filled.
class Doorbell {
public:
    void ring()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            rung_ = true;
        }
        cv_.notify_all();
    }
    // Waits until rung (or `timeout` passes), then clears it.
    template <class Duration>
    void wait(Duration timeout)
    {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait_for(lock, timeout, [&] { return rung_; });
        rung_ = false;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool rung_ = false;
};

template <class T>
class NewestSlot {
public:
    explicit NewestSlot(Doorbell* doorbell = nullptr) : doorbell_(doorbell) {}

    // Puts *item into the slot; *item receives what the slot held (a
    // buffer to fill next). True when that was a frame nobody took.
    bool put(T* item)
    {
        bool overwritten = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            using std::swap;
            swap(held_, *item);
            overwritten = full_;
            full_ = true;
            ++put_;
            if (overwritten)
                ++skipped_;
        }
        if (doorbell_)
            doorbell_->ring();
        return overwritten;
    }

    // Takes the newest frame into *item (which gives the slot its buffer);
    // false, *item untouched, when there is none.
    bool take(T* item)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!full_)
            return false;
        using std::swap;
        swap(held_, *item);
        full_ = false;
        return true;
    }

    uint64_t skipped() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return skipped_;
    }
    uint64_t put_count() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return put_;
    }

private:
    mutable std::mutex mutex_;
    Doorbell* doorbell_;
    T held_{};
    bool full_ = false;
    uint64_t skipped_ = 0;
    uint64_t put_ = 0;
};

}  // namespace vora_ros2

#endif
