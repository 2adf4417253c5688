// The tunables callers set and the counters they read while the receive
// thread works: every field is atomic, so either side may touch it at any
// time and a change takes effect at the receive thread's next use.
#ifndef VORA_STREAM_STATE_H
#define VORA_STREAM_STATE_H

#include <atomic>
#include <cstdint>

struct StreamTunables {
    std::atomic<uint32_t> max_buffer_length{4};
    std::atomic<uint32_t> packet_resend_flag{1};
    std::atomic<double> packet_resend_ratio{1.0};
    std::atomic<uint32_t> socket_select_timeout{10000};                        // µs
    std::atomic<uint32_t> packet_timeout{40000};                               // µs
    std::atomic<uint32_t> block_timeout{100000};                               // µs
    std::atomic<uint32_t> sendto_stream_port_break_firewall_timeout{3000000};  // µs
};

// A counter the receive thread alone writes and anyone reads: a plain load
// and store, no read-modify-write, on the path every datagram takes.
class StreamCounter {
public:
    StreamCounter& operator++()
    {
        add(1);
        return *this;
    }
    StreamCounter& operator+=(uint32_t n)
    {
        add(n);
        return *this;
    }
    uint32_t load() const { return value_.load(std::memory_order_relaxed); }
    operator uint32_t() const { return load(); }

private:
    void add(uint32_t n) { value_.store(value_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed); }
    std::atomic<uint32_t> value_{0};
};

struct StreamCounters {
    // Blocks.
    StreamCounter complete_block_num;
    StreamCounter incomplete_block_num;
    StreamCounter timeout_block_num;
    StreamCounter no_buffer_block_num;
    StreamCounter flushed_block_num;
    StreamCounter lost_block_num;
    StreamCounter error_block_num;
    StreamCounter overflow_packet_num;
    // Packets.
    StreamCounter received_packet_num;
    StreamCounter lost_packet_num;
    StreamCounter format_error_packet_num;
    StreamCounter dropped_packet_num;
    StreamCounter resend_request_packet_num;
    StreamCounter resent_packet_num;
    StreamCounter duplicate_packet_num;
};

#endif
