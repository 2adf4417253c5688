// One open stream channel: its receive thread reassembles GVSP blocks into
// frame buffers, asks the camera to resend what was lost, and hands frames
// over, in the order they began, to the threads that capture them.
#ifndef VORA_GIGE_STREAM_H
#define VORA_GIGE_STREAM_H

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "log/vora_cameralog.h"
#include "stream/vora_asyncqueue.h"
#include "vora_base_type.h"

// What StreamOn learnt from the camera about the channel.
struct DataStreamPrivateInfo {
    uint32_t socket;
    uint32_t payload_size;
    uint32_t width;
    uint32_t height;
    uint32_t roi_size_x;
    uint32_t roi_size_y;
    uint32_t offset_x;
    uint32_t offset_y;
    uint32_t pixel_bytes;
    uint32_t pixel_format;
    uint32_t packet_count;
    uint32_t cloud_unit;
};

struct PacketState {
    uint32_t received;
    int64_t resend_time_us;  // latest resend request covering the packet, 0 if never
};

// One block (frame) under reassembly.
struct StreamBlockData {
    PhotoInfo* photo;
    uint32_t block_id;
    uint32_t status;  // 7 while in progress
    int32_t last_valid_packet;
    int64_t first_time_us;
    int64_t last_time_us;
    int32_t error_flag;
    int32_t packet_resend_num;
    uint32_t packet_num;
    PacketState* packet_states;
    // Resend scans skip what an earlier scan already covered while none of
    // it can be due again: the ids up to checked_until are received or were
    // requested no earlier than checked_since.
    int32_t checked_until;
    int64_t checked_since;
};

// Block status at hand-over.
enum BlockStatus : uint32_t {
    BLOCK_COMPLETE = 0,
    BLOCK_TIMEOUT = 2,
    BLOCK_SUPERSEDED = 3,
    BLOCK_ERROR = 5,
    BLOCK_IN_PROGRESS = 7,
    BLOCK_FLUSHED = 8,
};

class GigeStream {
public:
    GigeStream(DataStreamPrivateInfo* info, unsigned short channel, int socket, int host_ip, int camera_ip,
               int stream_channel_port, int host_port, int packet_payload_size, long long tick_frequency,
               cameralog* log);
    ~GigeStream();
    GigeStream(const GigeStream&) = delete;
    GigeStream& operator=(const GigeStream&) = delete;

    // Bytes of every frame this stream delivers.
    uint32_t frame_size() const { return payload_size; }
    // False when the receive thread could not be started.
    bool running() const { return thread_started_; }

    // ---- frames ----
    int Capture(PhotoInfo* info);
    int TryCapture(PhotoInfo* info);
    int TimeoutCapture(PhotoInfo* info, long long timeout_us);
    void FlushBuffer();

    // ---- tunables ----
    int SetMaxBufferLength(unsigned int length);
    int GetMaxBufferLength();
    void SetPacketResendFlag(unsigned int on);
    int GetPacketResendFlag();
    int SetPacketResendRatio(double ratio);
    double GetPacketResendRatio();
    int SetSocketSelectTimeout(unsigned int us);
    int GetSocketSelectTimeout();
    int SetPacketTimeout(unsigned int us);
    int GetPacketTimeout();
    int SetBlockTimeout(unsigned int us);
    int GetBlockTimeout();
    int SetSendtoStreamPortBreakFirewallTimeout(unsigned int us);
    int GetSendtoStreamPortBreakFirewallTimeout();

    // ---- statistics ----
    void GetBlockStatistics(unsigned int* complete, unsigned int* incomplete, unsigned int* timeout,
                            unsigned int* no_buffer, unsigned int* flushed, unsigned int* lost,
                            unsigned int* error, unsigned int* overflow);
    void GetPacketStatistics(unsigned int* received, unsigned int* lost, unsigned int* format_error,
                             unsigned int* dropped, unsigned int* resend_requested, unsigned int* resent,
                             unsigned int* duplicate);
    void GetRecieveTimeStatistics(StatisticsData* out);
    int GetNetSpeed();
    float GetBlockRate();

    // ---- receive thread ----
    static void* Stream_Thread(void* stream);
    void sendto_stream_source_data();

private:
    void loop();
    StreamBlockData* process_packet(const uint8_t* packet, int length, long long now_us);
    StreamBlockData* find_block_data(const uint8_t* packet, unsigned block_id, unsigned packet_id, int length,
                                     long long now_us);
    void process_packet_leader(StreamBlockData* block, const uint8_t* packet, unsigned packet_id);
    void process_packet_payload(StreamBlockData* block, const uint8_t* packet, unsigned packet_id, unsigned length);
    void process_packet_tailer(StreamBlockData* block, const uint8_t* packet, unsigned packet_id);
    void check_block_complete(StreamBlockData* current, long long now_us);
    void packet_resend_check(StreamBlockData* block, unsigned up_to, long long now_us);
    void send_packet_request(unsigned block_id, int first, int last);
    void flush_blocks();
    void write_recive_data(StreamBlockData* block);
    void capture_data_process(PhotoInfo* destination, PhotoInfo* frame);
    PhotoInfo* obtain_frame_buffer();
    void free_frame(PhotoInfo* frame);
    int take_frame(PhotoInfo* info, PhotoInfo* frame, const char* name);

    void RecieveTimeStatistics(int sample_us);
    void NetSpeedStatistics(int length, long long now_us);
    void BlockRateStatistics(long long now_us);

    std::thread thread;
    bool thread_started_ = false;
    unsigned short channel_index_;
    std::atomic<int> thread_exit{0};
    _AsyncQueue* free_queue;
    _AsyncQueue* ready_queue;

    std::mutex statistics_mutex_;  // the histogram is copied out while it grows
    StatisticsData receive_time_statistics;

    DataStreamPrivateInfo stream_info;
    _List* all_blocks = nullptr;
    int stream_socket;
    int resend_socket = -1;
    uint32_t host_ip;
    uint32_t camera_ip;
    sockaddr_in resend_addr{};
    sockaddr_in source_addr{};
    uint16_t stream_channel_port;
    uint16_t host_port;
    long long tick_frequency;
    uint16_t req_id = 0;
    uint16_t last_block_id = 0;
    bool seen_block_ = false;  // receive thread only

    std::atomic<uint32_t> max_buffer_length{4};
    uint32_t packet_payload_size_;
    uint32_t payload_size;
    std::atomic<uint32_t> buffer_count{0};
    std::atomic<uint32_t> packet_resend_flag{1};
    std::atomic<double> packet_resend_ratio{1.0};
    std::atomic<uint32_t> socket_select_timeout{10000};
    std::atomic<uint32_t> packet_timeout{40000};
    std::atomic<uint32_t> block_timeout{100000};
    std::atomic<uint32_t> sendto_stream_port_break_firewall_timeout{3000000};

    // Block counters.
    std::atomic<uint32_t> complete_block_num{0};
    std::atomic<uint32_t> incomplete_block_num{0};
    std::atomic<uint32_t> timeout_block_num{0};
    std::atomic<uint32_t> no_buffer_block_num{0};
    std::atomic<uint32_t> flushed_block_num{0};
    std::atomic<uint32_t> lost_block_num{0};
    std::atomic<uint32_t> error_block_num{0};
    std::atomic<uint32_t> overflow_packet_num{0};
    // Packet counters.
    std::atomic<uint32_t> received_packet_num{0};
    std::atomic<uint32_t> lost_packet_num{0};
    std::atomic<uint32_t> format_error_packet_num{0};
    std::atomic<uint32_t> dropped_packet_num{0};
    std::atomic<uint32_t> resend_request_packet_num{0};
    std::atomic<uint32_t> resent_packet_num{0};
    std::atomic<uint32_t> duplicate_packet_num{0};

    long long net_speed_start = 0;
    long long net_speed_bytes = 0;
    std::atomic<uint32_t> net_speed{0};
    long long block_rate_start = 0;
    uint32_t block_rate_count = 0;
    std::atomic<float> block_rate{0};

    cameralog* log;
};

#endif
