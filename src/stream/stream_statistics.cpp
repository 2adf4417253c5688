#include "stream/stream_statistics.h"

#include <cstring>

namespace {

constexpr long long WINDOW_US = 999999;  // a rate is computed once more than a second has passed

}  // namespace

StreamStatistics::StreamStatistics()
{
    std::memset(&histogram_, 0, sizeof histogram_);
    histogram_.offset = 0;
    histogram_.bin_steps = 1000;
    histogram_.n_bins = RECIEVE_TIME_STATISTICS_LENGTH;
    histogram_.max = 0;
    histogram_.min = 1000000;
}

void StreamStatistics::copy_histogram(StatisticsData* out)
{
    std::lock_guard<std::mutex> lock(histogram_mutex_);
    *out = histogram_;
}

void StreamStatistics::RecieveTimeStatistics(int sample)
{
    std::lock_guard<std::mutex> lock(histogram_mutex_);
    StatisticsData& s = histogram_;
    ++s.count;
    if (sample < s.min)
        s.min = sample;
    if (sample > s.max)
        s.max = sample;
    if (sample < s.offset) {
        ++s.add_less;
        return;
    }
    const uint32_t bin = static_cast<uint32_t>(sample - s.offset) / s.bin_steps;
    if (bin < s.n_bins)
        ++s.bins[bin];
    else
        ++s.add_more;
}

void StreamStatistics::NetSpeedStatistics(int length, long long now)
{
    net_speed_bytes_ += length + IP_HEADER_LEN + UDP_HEADER_LEN;
    if (!net_speed_started_) {
        net_speed_started_ = true;
        net_speed_start_ = now;
        return;
    }
    if (now - net_speed_start_ > WINDOW_US) {
        const float seconds = static_cast<float>(now - net_speed_start_) / 1000000.0f;
        net_speed_ = static_cast<uint32_t>(static_cast<float>(net_speed_bytes_) / seconds);
        net_speed_bytes_ = 0;
        net_speed_start_ = now;
    }
}

void StreamStatistics::BlockRateStatistics(long long now)
{
    ++block_rate_count_;
    if (!block_rate_started_) {
        block_rate_started_ = true;
        block_rate_start_ = now;
        return;
    }
    if (now - block_rate_start_ > WINDOW_US) {
        const float seconds = static_cast<float>(now - block_rate_start_) / 1000000.0f;
        block_rate_ = static_cast<float>(block_rate_count_) / seconds;
        block_rate_count_ = 0;
        block_rate_start_ = now;
    }
}
