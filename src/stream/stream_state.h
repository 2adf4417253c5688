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
    std::atomic<uint32_t> socket_select_timeout{10000};  // µs
    std::atomic<uint32_t> packet_timeout{40000};         // µs
    std::atomic<uint32_t> block_timeout{100000};         // µs
    std::atomic<uint32_t> sendto_stream_port_break_firewall_timeout{3000000};  // µs
};

struct StreamCounters {
    // Blocks.
    std::atomic<uint32_t> complete_block_num{0};
    std::atomic<uint32_t> incomplete_block_num{0};
    std::atomic<uint32_t> timeout_block_num{0};
    std::atomic<uint32_t> no_buffer_block_num{0};
    std::atomic<uint32_t> flushed_block_num{0};
    std::atomic<uint32_t> lost_block_num{0};
    std::atomic<uint32_t> error_block_num{0};
    std::atomic<uint32_t> overflow_packet_num{0};
    // Packets.
    std::atomic<uint32_t> received_packet_num{0};
    std::atomic<uint32_t> lost_packet_num{0};
    std::atomic<uint32_t> format_error_packet_num{0};
    std::atomic<uint32_t> dropped_packet_num{0};
    std::atomic<uint32_t> resend_request_packet_num{0};
    std::atomic<uint32_t> resent_packet_num{0};
    std::atomic<uint32_t> duplicate_packet_num{0};
};

#endif
