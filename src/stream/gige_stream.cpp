// The stream object: construction and teardown, captures, tunables and
// statistics. The receive thread lives in gige_stream_receive.cpp.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <system_error>

#include "stream/vora_gige_stream.h"

namespace {

// A stream without a camera log still has somewhere to write.
cameralog* or_silent(cameralog* log)
{
    static cameralog silent;
    return log ? log : &silent;
}

}  // namespace

GigeStream::GigeStream(DataStreamPrivateInfo* info, unsigned short channel, int socket, int host_ip_, int camera_ip_,
                       int stream_channel_port_, int host_port_, int packet_payload_size, long long tick_frequency_,
                       cameralog* log_)
    : log(or_silent(log_)), channel_index_(channel), stream_info(*info),
      frames_(info->payload_size, tunables_.max_buffer_length, log), loans_(frames_),
      assembler_(ChannelSetup{*info, channel, static_cast<uint32_t>(packet_payload_size), tick_frequency_}, tunables_,
                 frames_, clock_, log),
      source_(static_cast<uint32_t>(camera_ip_), static_cast<uint16_t>(stream_channel_port_)), stream_socket(socket),
      host_ip(static_cast<uint32_t>(host_ip_)), camera_ip(static_cast<uint32_t>(camera_ip_)),
      stream_channel_port(static_cast<uint16_t>(stream_channel_port_)), host_port(static_cast<uint16_t>(host_port_)),
      tick_frequency(tick_frequency_), packet_payload_size_(static_cast<uint32_t>(packet_payload_size)),
      payload_size(info->payload_size)
{
    if (frames_.ok()) {
        try {
            thread = std::thread(&GigeStream::Stream_Thread, this);
            thread_started_ = true;
        } catch (const std::system_error&) {
        }
    }
    if (!thread_started_)
        log->log_error(gvsp_log_error_level,
                       "[function:GigeStream] GigeStream constructor create stream thread failed.");
    log->log_info(gvcp_log_info_level, "[function:GigeStream] GigeStream constructor create heartbeat thread sucess.");
    log->log_info(gvsp_log_info_level, "[function:GigeStream] GigeStream constructor recv data thread create sucess.");
}

// How long closing waits for frames out on loan to come back.
constexpr std::chrono::seconds kLoanReturnWait{1};

GigeStream::~GigeStream()
{
    // Frames out on loan may come back from other threads meanwhile; this
    // thread holds no lock they need. Borrowers still waiting give up.
    closing_ = true;
    const bool all_back = loans_.close(kLoanReturnWait);
    thread_exit = 1;
    // A receive thread waiting for a datagram wakes at once, whatever its
    // time-out; on a socket that never was connected this reports ENOTCONN
    // and still does it.
    if (stream_socket >= 0)
        shutdown(stream_socket, SHUT_RD);
    if (thread.joinable())
        thread.join();
    if (stream_socket >= 0)
        close(stream_socket);
    if (!all_back) {
        if (const uint32_t reclaimed = loans_.reclaim())
            log->log_error(gvsp_log_error_level,
                           "[function:StreamOff] %u frame(s) still out on loan after one second were reclaimed and "
                           "freed; the caller must no longer read them.",
                           reclaimed);
    }
    // The assembler gives back what it holds, then the pool frees it all.
}

void GigeStream::sendto_stream_source_data()
{
    // Keeps a stateful firewall open for the camera's packets.
    static const char opener[2] = {'0', '1'};
    if (sendto(stream_socket, opener, sizeof opener, 0, reinterpret_cast<const sockaddr*>(&source_addr),
               sizeof source_addr) < 2)
        log->log_error(gvsp_log_error_level,
                       "[function:sendto_stream_source_data] Failed to send data to stream port.");
}

// ---- frames ----

void GigeStream::capture_data_process(PhotoInfo* destination, PhotoInfo* frame)
{
    log->log_debug(gvsp_log_debug_level, "[function:capture_data_process] Start to copy the captured data.");
    std::memcpy(destination->pixel, frame->pixel, frame->payload_size);
    char* keep = destination->pixel;
    *destination = *frame;
    destination->pixel = keep;
    log->log_debug(
        gvsp_log_debug_level,
        "[function:capture_data_process] End to copy the captured data. block_id: %d, stream_channel_index_: %d",
        destination->block_id, destination->stream_channel_index_);
}

int GigeStream::take_frame(PhotoInfo* info, PhotoInfo* frame, const char* name)
{
    log->log_debug(
        gvsp_log_debug_level,
        "[function:%s] Capture temp_buffer width is %d, height is %d, pixel_format is %d, payload_size is %d.", name,
        frame->pixel_width, frame->pixel_height, frame->pixel_format, frame->payload_size);
    capture_data_process(info, frame);
    frames_.recycle(frame);
    log->log_debug(gvsp_log_debug_level,
                   "[function:%s] Capture buffer width is %d, height is %d, pixel_format is %d, payload_size is %d.",
                   name, info->pixel_width, info->pixel_height, info->pixel_format, info->payload_size);
    return VORA_OK;
}

// A camera the heartbeat gave up is noticed within one slice of a wait.
constexpr long long kLostCheckUs = 50000;

PhotoInfo* GigeStream::wait_ready(long long timeout_us, int* status)
{
    const long long start = get_monotonic_time();
    for (;;) {
        const bool given_up = camera_given_up();
        if (closing_) {
            *status = VORA_ERR_STREAM_MISSING;
            return nullptr;
        }
        long long slice = kLostCheckUs;
        if (timeout_us >= 0) {
            const long long left = timeout_us - (get_monotonic_time() - start);
            slice = left <= 0 ? 0 : (left < slice ? left : slice);
        }
        // Frames that arrived before the camera was lost are still handed out.
        if (given_up || slice == 0) {
            PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(frames_.ready_queue));
            if (!frame)
                *status = given_up ? VORA_ERR_CAMERA_LOST : VORA_ERR_CAPTURE_TIMEOUT;
            return frame;
        }
        if (PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_timeout_pop(frames_.ready_queue, slice)))
            return frame;
    }
}

int GigeStream::Capture(PhotoInfo* info)
{
    if (!info || !info->pixel) {
        log->log_error(gvsp_log_error_level, "[function:Capture] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    int status = VORA_ERR_CAPTURE;
    PhotoInfo* frame = wait_ready(-1, &status);
    if (!frame) {
        log->log_error(gvsp_log_error_level, "[function:Capture] Capture error.");
        return status;
    }
    return take_frame(info, frame, "Capture");
}

int GigeStream::TryCapture(PhotoInfo* info)
{
    if (!info || !info->pixel) {
        log->log_error(gvsp_log_error_level, "[function:TryCapture] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(frames_.ready_queue));
    if (!frame) {
        log->log_debug(gvsp_log_debug_level, "[function:TryCapture] Capture timeout.");
        return camera_given_up() ? VORA_ERR_CAMERA_LOST : VORA_ERR_CAPTURE_TIMEOUT;
    }
    return take_frame(info, frame, "TryCapture");
}

int GigeStream::TimeoutCapture(PhotoInfo* info, long long timeout_us)
{
    if (!info || !info->pixel) {
        log->log_error(gvsp_log_error_level, "[function:TimeoutCapture] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    int status = VORA_ERR_CAPTURE_TIMEOUT;
    // A time-out of -1 waits without limit, as the queue's own timed pop does.
    PhotoInfo* frame = wait_ready(timeout_us == -1 ? -1 : (timeout_us < 0 ? 0 : timeout_us), &status);
    if (!frame) {
        log->log_debug(gvsp_log_debug_level, "[function:TimeoutCapture] Capture timeout.");
        return status;
    }
    return take_frame(info, frame, "TimeoutCapture");
}

int GigeStream::BorrowFrame(PhotoInfo* info, long long timeout_us)
{
    if (!info) {
        log->log_error(gvsp_log_error_level, "[function:BorrowFrame] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    // At the limit the ready frame stays queued for the next caller.
    int status = loans_.reserve();
    if (status != VORA_OK) {
        log->log_debug(gvsp_log_debug_level, "[function:BorrowFrame] Refused: %d.", status);
        return status;
    }
    status = VORA_ERR_CAPTURE_TIMEOUT;
    PhotoInfo* frame = wait_ready(timeout_us < 0 ? -1 : timeout_us, &status);
    // Described before the loan is on the book: from then on another thread
    // may give it back.
    if (frame)
        *info = *frame;
    loans_.settle(frame);
    if (!frame) {
        log->log_debug(gvsp_log_debug_level, "[function:BorrowFrame] No frame: %d.", status);
        return status;
    }
    return VORA_OK;
}

int GigeStream::ReturnFrame(const PhotoInfo* info)
{
    if (!info) {
        log->log_error(gvsp_log_error_level, "[function:ReturnFrame] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    const int status = loans_.give_back(info->pixel);
    if (status != VORA_OK)
        log->log_error(gvsp_log_error_level, "[function:ReturnFrame] The frame is not out on loan from this stream.");
    return status;
}

void GigeStream::FlushBuffer()
{
    bool moved;
    do {
        moved = frames_.flush_one();
        log->log_info(gvsp_log_info_level, "[function:FlushBuffer] Flush buffer success.");
    } while (moved);
}

// ---- tunables ----

int GigeStream::SetMaxBufferLength(unsigned int length)
{
    if (length == 0) {
        log->log_error(gvsp_log_error_level, "[function:SetMaxBufferLength] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    tunables_.max_buffer_length = length;
    return VORA_OK;
}

int GigeStream::GetMaxBufferLength()
{
    return static_cast<int>(tunables_.max_buffer_length.load());
}

void GigeStream::SetPacketResendFlag(unsigned int on)
{
    tunables_.packet_resend_flag = on ? 1 : 0;
}

int GigeStream::GetPacketResendFlag()
{
    return static_cast<int>(tunables_.packet_resend_flag.load());
}

int GigeStream::SetPacketResendRatio(double ratio)
{
    if (!(ratio >= -1e-10 && ratio <= 1.0000000001)) {
        log->log_error(gvsp_log_error_level, "[function:SetPacketResendRatio] The parameter passed in is empty.");
        return VORA_ERR_INVALID_ARG;
    }
    tunables_.packet_resend_ratio = ratio;
    return VORA_OK;
}

double GigeStream::GetPacketResendRatio()
{
    return tunables_.packet_resend_ratio.load();
}

#define VORA_MICROSECOND_TUNABLE(Name, member, message)                                                                \
    int GigeStream::Set##Name(unsigned int us)                                                                         \
    {                                                                                                                  \
        if (us == 0) {                                                                                                 \
            log->log_error(gvsp_log_error_level, "[function:Set" #Name "] " message);                                  \
            return VORA_ERR_INVALID_ARG;                                                                               \
        }                                                                                                              \
        member = us;                                                                                                   \
        return VORA_OK;                                                                                                \
    }                                                                                                                  \
    int GigeStream::Get##Name()                                                                                        \
    {                                                                                                                  \
        return static_cast<int>(member.load());                                                                        \
    }

VORA_MICROSECOND_TUNABLE(SocketSelectTimeout, tunables_.socket_select_timeout, "The parameter passed in is empty.")
VORA_MICROSECOND_TUNABLE(PacketTimeout, tunables_.packet_timeout, "The parameter passed in is empty.")
VORA_MICROSECOND_TUNABLE(BlockTimeout, tunables_.block_timeout, "The parameter passed in is empty.")
VORA_MICROSECOND_TUNABLE(SendtoStreamPortBreakFirewallTimeout, tunables_.sendto_stream_port_break_firewall_timeout,
                         "The parameter passed in is zero.")

// ---- statistics ----

void GigeStream::GetBlockStatistics(unsigned int* complete, unsigned int* incomplete, unsigned int* timeout,
                                    unsigned int* no_buffer, unsigned int* flushed, unsigned int* lost,
                                    unsigned int* error, unsigned int* overflow)
{
    const StreamCounters& c = assembler_.counters;
    struct {
        unsigned int* out;
        const StreamCounter& value;
    } const fields[] = {{complete, c.complete_block_num}, {incomplete, c.incomplete_block_num},
                        {timeout, c.timeout_block_num},   {no_buffer, c.no_buffer_block_num},
                        {flushed, c.flushed_block_num},   {lost, c.lost_block_num},
                        {error, c.error_block_num},       {overflow, c.overflow_packet_num}};
    for (const auto& f : fields)
        if (f.out)
            *f.out = f.value.load();
}

void GigeStream::GetPacketStatistics(unsigned int* received, unsigned int* lost, unsigned int* format_error,
                                     unsigned int* dropped, unsigned int* resend_requested, unsigned int* resent,
                                     unsigned int* duplicate)
{
    const StreamCounters& c = assembler_.counters;
    struct {
        unsigned int* out;
        const StreamCounter& value;
    } const fields[] = {{received, c.received_packet_num},
                        {lost, c.lost_packet_num},
                        {format_error, c.format_error_packet_num},
                        {dropped, c.dropped_packet_num},
                        {resend_requested, c.resend_request_packet_num},
                        {resent, c.resent_packet_num},
                        {duplicate, c.duplicate_packet_num}};
    for (const auto& f : fields)
        if (f.out)
            *f.out = f.value.load();
}

void GigeStream::GetRecieveTimeStatistics(StatisticsData* out)
{
    if (out)
        assembler_.statistics.copy_histogram(out);
}

int GigeStream::GetNetSpeed()
{
    return static_cast<int>(assembler_.statistics.net_speed());
}

float GigeStream::GetBlockRate()
{
    return assembler_.statistics.block_rate();
}
