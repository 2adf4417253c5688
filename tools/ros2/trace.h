// Times of each frame's way through the bridge, for the benchmark: when the
// library handed it over and when its messages were written. One line per
// event; off (no file) unless asked for.
#ifndef VORA_ROS2_TRACE_H
#define VORA_ROS2_TRACE_H

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

namespace vora_ros2 {

class Trace {
public:
    Trace() = default;
    ~Trace()
    {
        if (file_)
            std::fclose(file_);
    }
    Trace(const Trace&) = delete;
    Trace& operator=(const Trace&) = delete;

    bool open(const std::string& path)
    {
        file_ = std::fopen(path.c_str(), "w");
        return file_ != nullptr;
    }
    void capture(unsigned channel, int64_t handed_over_ns, uint32_t payload)
    {
        if (!file_)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(file_, "capture %u %lld %u\n", channel, static_cast<long long>(handed_over_ns), payload);
    }
    void publish(unsigned channel, int64_t stamp_ns, int64_t handed_over_ns, int64_t written_ns)
    {
        if (!file_)
            return;
        std::lock_guard<std::mutex> lock(mutex_);
        std::fprintf(file_, "publish %u %lld %lld %lld\n", channel, static_cast<long long>(stamp_ns),
                     static_cast<long long>(handed_over_ns), static_cast<long long>(written_ns));
    }

private:
    std::mutex mutex_;
    std::FILE* file_ = nullptr;
};

}  // namespace vora_ros2

#endif
