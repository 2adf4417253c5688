// The stream object: construction and teardown, captures, tunables and
// statistics. The receive thread lives in gige_stream_receive.cpp.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <system_error>

#include "stream/vora_gige_stream.h"

GigeStream::GigeStream(DataStreamPrivateInfo* info, unsigned short channel, int socket, int host_ip_, int camera_ip_,
                       int stream_channel_port_, int host_port_, int packet_payload_size, long long tick_frequency_,
                       cameralog* log_)
    : channel_index_(channel),
      stream_info(*info),
      stream_socket(socket),
      host_ip(static_cast<uint32_t>(host_ip_)),
      camera_ip(static_cast<uint32_t>(camera_ip_)),
      stream_channel_port(static_cast<uint16_t>(stream_channel_port_)),
      host_port(static_cast<uint16_t>(host_port_)),
      tick_frequency(tick_frequency_),
      packet_payload_size_(static_cast<uint32_t>(packet_payload_size)),
      payload_size(info->payload_size),
      log(log_)
{
    static cameralog silent;  // a stream without a camera log still has somewhere to write
    if (!log)
        log = &silent;
    free_queue = async_queue_new();
    if (!free_queue)
        log->log_error(gvsp_log_error_level,
                       "[function:GigeStream] GigeStream constructor create stream_data.in_buffer the first time error.");
    ready_queue = async_queue_new();
    if (!ready_queue)
        log->log_error(gvsp_log_error_level,
                       "[function:GigeStream] GigeStream constructor create stream_data.in_buffer the second time error.");

    std::memset(&receive_time_statistics, 0, sizeof receive_time_statistics);
    receive_time_statistics.offset = 0;
    receive_time_statistics.bin_steps = 1000;
    receive_time_statistics.n_bins = RECIEVE_TIME_STATISTICS_LENGTH;
    receive_time_statistics.max = 0;
    receive_time_statistics.min = 1000000;

    if (free_queue && ready_queue) {
        try {
            thread = std::thread(&GigeStream::Stream_Thread, this);
            thread_started_ = true;
        } catch (const std::system_error&) {
        }
    }
    if (!thread_started_)
        log->log_error(gvsp_log_error_level, "[function:GigeStream] GigeStream constructor create stream thread failed.");
    log->log_info(gvcp_log_info_level, "[function:GigeStream] GigeStream constructor create heartbeat thread sucess.");
    log->log_info(gvsp_log_info_level, "[function:GigeStream] GigeStream constructor recv data thread create sucess.");
}

void GigeStream::free_frame(PhotoInfo* frame)
{
    std::free(frame->pixel);
    frame->pixel = nullptr;
    std::free(frame);
}

GigeStream::~GigeStream()
{
    thread_exit = 1;
    if (thread.joinable())
        thread.join();
    if (stream_socket >= 0)
        close(stream_socket);
    for (_AsyncQueue* q : {free_queue, ready_queue}) {
        if (!q)
            continue;
        while (void* item = async_queue_try_pop(q))
            free_frame(static_cast<PhotoInfo*>(item));
        async_queue_destroy(q);
    }
}

void GigeStream::sendto_stream_source_data()
{
    // Keeps a stateful firewall open for the camera's packets.
    static const char opener[2] = {'0', '1'};
    if (sendto(stream_socket, opener, sizeof opener, 0, reinterpret_cast<const sockaddr*>(&source_addr),
               sizeof source_addr) < 2)
        log->log_error(gvsp_log_error_level, "[function:sendto_stream_source_data] Failed to send data to stream port.");
}

// ---- frames ----

void GigeStream::capture_data_process(PhotoInfo* destination, PhotoInfo* frame)
{
    log->log_debug(gvsp_log_debug_level, "[function:capture_data_process] Start to copy the captured data.");
    std::memcpy(destination->pixel, frame->pixel, frame->payload_size);
    char* keep = destination->pixel;
    *destination = *frame;
    destination->pixel = keep;
    log->log_debug(gvsp_log_debug_level,
                   "[function:capture_data_process] End to copy the captured data. block_id: %d, stream_channel_index_: %d",
                   destination->block_id, destination->stream_channel_index_);
}

int GigeStream::take_frame(PhotoInfo* info, PhotoInfo* frame, const char* name)
{
    log->log_debug(gvsp_log_debug_level,
                   "[function:%s] Capture temp_buffer width is %d, height is %d, pixel_format is %d, payload_size is %d.",
                   name, frame->pixel_width, frame->pixel_height, frame->pixel_format, frame->payload_size);
    capture_data_process(info, frame);
    async_queue_push(free_queue, frame);
    log->log_debug(gvsp_log_debug_level,
                   "[function:%s] Capture buffer width is %d, height is %d, pixel_format is %d, payload_size is %d.",
                   name, info->pixel_width, info->pixel_height, info->pixel_format, info->payload_size);
    return VORA_OK;
}

int GigeStream::Capture(PhotoInfo* info)
{
    if (!info || !info->pixel) {
        log->log_error(gvsp_log_error_level, "[function:Capture] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_pop(ready_queue));
    if (!frame) {
        log->log_error(gvsp_log_error_level, "[function:Capture] Capture error.");
        return VORA_ERR_CAPTURE;
    }
    return take_frame(info, frame, "Capture");
}

int GigeStream::TryCapture(PhotoInfo* info)
{
    if (!info || !info->pixel) {
        log->log_error(gvsp_log_error_level, "[function:TryCapture] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(ready_queue));
    if (!frame) {
        log->log_debug(gvsp_log_debug_level, "[function:TryCapture] Capture timeout.");
        return VORA_ERR_CAPTURE_TIMEOUT;
    }
    return take_frame(info, frame, "TryCapture");
}

int GigeStream::TimeoutCapture(PhotoInfo* info, long long timeout_us)
{
    if (!info || !info->pixel) {
        log->log_error(gvsp_log_error_level, "[function:TimeoutCapture] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_timeout_pop(ready_queue, timeout_us));
    if (!frame) {
        log->log_debug(gvsp_log_debug_level, "[function:TimeoutCapture] Capture timeout.");
        return VORA_ERR_CAPTURE_TIMEOUT;
    }
    return take_frame(info, frame, "TimeoutCapture");
}

void GigeStream::FlushBuffer()
{
    for (;;) {
        void* frame = async_queue_try_pop(ready_queue);
        log->log_info(gvsp_log_info_level, "[function:FlushBuffer] Flush buffer success.");
        if (!frame)
            break;
        async_queue_push(free_queue, frame);
    }
}

// ---- tunables ----

int GigeStream::SetMaxBufferLength(unsigned int length)
{
    if (length == 0) {
        log->log_error(gvsp_log_error_level, "[function:SetMaxBufferLength] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    max_buffer_length = length;
    return VORA_OK;
}

int GigeStream::GetMaxBufferLength()
{
    return static_cast<int>(max_buffer_length.load());
}

void GigeStream::SetPacketResendFlag(unsigned int on)
{
    packet_resend_flag = on ? 1 : 0;
}

int GigeStream::GetPacketResendFlag()
{
    return static_cast<int>(packet_resend_flag.load());
}

int GigeStream::SetPacketResendRatio(double ratio)
{
    if (!(ratio >= -1e-10 && ratio <= 1.0000000001)) {
        log->log_error(gvsp_log_error_level, "[function:SetPacketResendRatio] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    packet_resend_ratio = ratio;
    return VORA_OK;
}

double GigeStream::GetPacketResendRatio()
{
    return packet_resend_ratio.load();
}

#define VORA_MICROSECOND_TUNABLE(Name, member, message)                                       \
    int GigeStream::Set##Name(unsigned int us)                                                \
    {                                                                                         \
        if (us == 0) {                                                                        \
            log->log_error(gvsp_log_error_level, "[function:Set" #Name "] " message);          \
            return VORA_ERR_INVALID_ARG;                                                      \
        }                                                                                     \
        member = us;                                                                          \
        return VORA_OK;                                                                       \
    }                                                                                         \
    int GigeStream::Get##Name() { return static_cast<int>(member.load()); }

VORA_MICROSECOND_TUNABLE(SocketSelectTimeout, socket_select_timeout, "The parameter passed in is empty.")
VORA_MICROSECOND_TUNABLE(PacketTimeout, packet_timeout, "The parameter passed in is empty.")
VORA_MICROSECOND_TUNABLE(BlockTimeout, block_timeout, "The parameter passed in is empty.")
VORA_MICROSECOND_TUNABLE(SendtoStreamPortBreakFirewallTimeout, sendto_stream_port_break_firewall_timeout,
                         "The parameter passed in is zero.")

// ---- statistics ----

void GigeStream::GetBlockStatistics(unsigned int* complete, unsigned int* incomplete, unsigned int* timeout,
                                    unsigned int* no_buffer, unsigned int* flushed, unsigned int* lost,
                                    unsigned int* error, unsigned int* overflow)
{
    struct {
        unsigned int* out;
        const std::atomic<uint32_t>& value;
    } const fields[] = {{complete, complete_block_num}, {incomplete, incomplete_block_num},
                        {timeout, timeout_block_num},   {no_buffer, no_buffer_block_num},
                        {flushed, flushed_block_num},   {lost, lost_block_num},
                        {error, error_block_num},       {overflow, overflow_packet_num}};
    for (const auto& f : fields)
        if (f.out)
            *f.out = f.value.load();
}

void GigeStream::GetPacketStatistics(unsigned int* received, unsigned int* lost, unsigned int* format_error,
                                     unsigned int* dropped, unsigned int* resend_requested, unsigned int* resent,
                                     unsigned int* duplicate)
{
    struct {
        unsigned int* out;
        const std::atomic<uint32_t>& value;
    } const fields[] = {{received, received_packet_num},
                        {lost, lost_packet_num},
                        {format_error, format_error_packet_num},
                        {dropped, dropped_packet_num},
                        {resend_requested, resend_request_packet_num},
                        {resent, resent_packet_num},
                        {duplicate, duplicate_packet_num}};
    for (const auto& f : fields)
        if (f.out)
            *f.out = f.value.load();
}

void GigeStream::GetRecieveTimeStatistics(StatisticsData* out)
{
    if (!out)
        return;
    std::lock_guard<std::mutex> lock(statistics_mutex_);
    *out = receive_time_statistics;
}

int GigeStream::GetNetSpeed()
{
    return static_cast<int>(net_speed.load());
}

float GigeStream::GetBlockRate()
{
    return block_rate.load();
}

void GigeStream::RecieveTimeStatistics(int sample)
{
    std::lock_guard<std::mutex> lock(statistics_mutex_);
    StatisticsData& s = receive_time_statistics;
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

void GigeStream::NetSpeedStatistics(int length, long long now)
{
    net_speed_bytes += length + IP_HEADER_LEN + UDP_HEADER_LEN;
    if (net_speed_start == 0) {
        net_speed_start = now;
        return;
    }
    if (now - net_speed_start > 999999) {
        const float seconds = static_cast<float>(now - net_speed_start) / 1000000.0f;
        net_speed = static_cast<uint32_t>(static_cast<float>(net_speed_bytes) / seconds);
        net_speed_bytes = 0;
        net_speed_start = now;
    }
}

void GigeStream::BlockRateStatistics(long long now)
{
    ++block_rate_count;
    if (block_rate_start == 0) {
        block_rate_start = now;
        return;
    }
    if (now - block_rate_start > 999999) {
        const float seconds = static_cast<float>(now - block_rate_start) / 1000000.0f;
        block_rate = static_cast<float>(block_rate_count) / seconds;
        block_rate_count = 0;
        block_rate_start = now;
    }
}
