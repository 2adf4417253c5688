// A stream's health beyond its counters: the receive-time histogram, the
// network speed and the block rate. Updated by the receive thread, read by
// callers at any time.
#ifndef VORA_STREAM_STATISTICS_H
#define VORA_STREAM_STATISTICS_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "vora_base_type.h"

class StreamStatistics {
public:
    StreamStatistics();

    // Time in µs from a block's first datagram to its hand-over.
    void RecieveTimeStatistics(int sample_us);
    // One datagram of `length` bytes received at `now_us`.
    void NetSpeedStatistics(int length, long long now_us);
    // One block handed over at `now_us`.
    void BlockRateStatistics(long long now_us);

    void copy_histogram(StatisticsData* out);
    uint32_t net_speed() const { return net_speed_.load(); }
    float block_rate() const { return block_rate_.load(); }

private:
    std::mutex histogram_mutex_;  // copied out while it grows
    StatisticsData histogram_;

    // Receive thread only. A window starts with the first event after
    // construction, whatever the clock reads then.
    bool net_speed_started_ = false;
    bool block_rate_started_ = false;
    long long net_speed_start_ = 0;
    long long net_speed_bytes_ = 0;
    long long block_rate_start_ = 0;
    uint32_t block_rate_count_ = 0;

    std::atomic<uint32_t> net_speed_{0};
    std::atomic<float> block_rate_{0};
};

#endif
