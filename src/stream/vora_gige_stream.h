// One open stream channel: its receive thread takes GVSP datagrams off the
// socket and feeds them to the block assembler, sends the resend requests it
// asks for, and keeps the camera's path open; capturing threads take the
// finished frames from the frame pool.
#ifndef VORA_GIGE_STREAM_H
#define VORA_GIGE_STREAM_H

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

#include "log/vora_cameralog.h"
#include "stream/block_assembler.h"
#include "stream/frame_loans.h"
#include "stream/frame_pool.h"
#include "stream/receive_path.h"
#include "stream/stream_clock.h"
#include "stream/stream_records.h"
#include "stream/stream_source.h"
#include "stream/stream_state.h"
#include "vora_base_type.h"

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
    // Moves every waiting frame back for reuse; frames out on loan stay out.
    void FlushBuffer();
    // Lends the oldest ready frame: *info describes it, info->pixel points
    // into the stream's buffer until ReturnFrame gives it back.
    int BorrowFrame(PhotoInfo* info, long long timeout_us);
    int ReturnFrame(const PhotoInfo* info);
    int SetLoanLimit(unsigned int frames) { return loans_.set_limit(frames); }
    int GetLoanLimit() { return static_cast<int>(loans_.limit()); }
    VoraLoanStatistics GetLoanStatistics() { return loans_.statistics(); }
    // Lends every frame handed over from now on to a tap (a recorder), or
    // stops lending with null; frames already lent stay with the tap.
    void SetFrameTap(FrameTap* tap) { frames_.attach_tap(tap); }
    // The camera's flag that its heartbeat gave it up. Once set, a capture
    // that finds no frame waiting ends with VORA_ERR_CAMERA_LOST instead of
    // waiting for frames that cannot come. The flag outlives the stream.
    void WatchCamera(const std::atomic<bool>* given_up) { camera_given_up_ = given_up; }

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
                            unsigned int* no_buffer, unsigned int* flushed, unsigned int* lost, unsigned int* error,
                            unsigned int* overflow);
    void GetPacketStatistics(unsigned int* received, unsigned int* lost, unsigned int* format_error,
                             unsigned int* dropped, unsigned int* resend_requested, unsigned int* resent,
                             unsigned int* duplicate);
    void GetRecieveTimeStatistics(StatisticsData* out);
    int GetNetSpeed();
    float GetBlockRate();
    void GetReceivePathStatistics(VoraReceivePathStatistics* out) const { path_.copy_to(out); }

    // ---- receive thread ----
    static void* Stream_Thread(void* stream);
    void sendto_stream_source_data();

private:
    void loop();
    StreamBlockData* process_packet(const Datagram& datagram, long long now_us);
    void check_block_complete(StreamBlockData* current, long long now_us);
    void flush_blocks();
    void send_packet_request(unsigned block_id, int first, int last);
    void write_recive_data(StreamBlockData* block);
    void act_on(const AssemblerOutput& out);
    void lock_onto_source();
    void capture_data_process(PhotoInfo* destination, PhotoInfo* frame);
    int take_frame(PhotoInfo* info, PhotoInfo* frame, const char* name);
    // The oldest ready frame, waiting up to timeout_us (negative: without
    // limit) in slices, so that a camera given up meanwhile ends the wait;
    // null with *status set when none comes.
    PhotoInfo* wait_ready(long long timeout_us, int* status);
    bool camera_given_up() const { return camera_given_up_ && camera_given_up_->load(); }

    cameralog* log;
    const std::atomic<bool>* camera_given_up_ = nullptr;  // set before the first capture
    std::thread thread;
    bool thread_started_ = false;
    unsigned short channel_index_;
    std::atomic<int> thread_exit{0};

    DataStreamPrivateInfo stream_info;
    StreamTunables tunables_;
    StreamClock clock_;
    FramePool frames_;  // holds free_queue and ready_queue
    FrameLoans loans_;  // frames out with callers; gone before frames_
    std::atomic<bool> closing_{false};
    BlockAssembler assembler_;  // the blocks under reassembly, counters and statistics
    AssemblerOutput step_;      // receive thread only
    StreamSource source_;       // receive thread only
    ReceivePathCounters path_;  // written by the receive thread

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
    uint32_t packet_payload_size_;
    uint32_t payload_size;
};

#endif
