// The receive thread: datagrams off the socket into the block assembler
// (the data of the packets it expects straight into their frames), and what
// it asks for back out: resend requests to the camera, finished frames
// announced with a firewall datagram.
#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "gvcp_codec.h"
#include "socket_address.h"
#include "stream/receive_batch.h"
#include "stream/vora_gige_stream.h"

namespace {

constexpr int BATCH = 32;  // datagrams per recvmmsg

}  // namespace

void* GigeStream::Stream_Thread(void* arg)
{
    GigeStream* self = static_cast<GigeStream*>(arg);
    cameralog* log = self->log;
    char name[16];
    std::snprintf(name, sizeof name, "vora-rx%u", self->channel_index_);
    pthread_setname_np(pthread_self(), name);  // lets tools and benchmarks find the thread
    log->log_info(gvsp_log_info_level, "[function:Stream_Thread] Thread start. channel_index_: %d",
                  self->channel_index_);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        log->log_error(gvsp_log_error_level,
                       "[function:Stream_Thread] Failed to initialize The resend socket.c hannel_index_: %d",
                       self->channel_index_);
        return nullptr;
    }
    sockaddr_in local = make_addr(self->host_ip, 0);
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
        log->log_error(gvsp_log_error_level,
                       "[function:Stream_Thread] Failed to bind The resend socket. channel_index_: %d",
                       self->channel_index_);
        close(sock);
        return nullptr;
    }
    self->resend_addr = make_addr(self->camera_ip, GVCP_PORT);
    self->source_addr = make_addr(self->camera_ip, self->stream_channel_port);
    self->resend_socket = sock;
    self->sendto_stream_source_data();
    log->log_info(gvsp_log_info_level, "[function:Stream_Thread] Start thread loop.channel_index_: %d",
                  self->channel_index_);
    self->loop();
    self->flush_blocks();
    close(sock);
    self->resend_socket = -1;
    return nullptr;
}

void GigeStream::loop()
{
    long long last_firewall = clock_.monotonic_us();
    std::unique_ptr<ReceiveBatch> batch;
    std::vector<Landing> landings;
    try {
        batch = std::make_unique<ReceiveBatch>(BATCH, gvsp::HEADER_LEN + packet_payload_size_);
        landings.resize(std::max<size_t>(BATCH, batch->train_landings()));
    } catch (const std::bad_alloc&) {
        log->log_error(gvsp_log_error_level, "[function:loop] The parameter which malloc has error.");
        return;
    }
    const bool gro = enable_udp_gro(stream_socket) && batch->train_landings() > 1;
    path_.gro = gro ? 1 : 0;
    log->log_info(gvsp_log_info_level, "[function:loop] Packet payload size is: %d, thread exit is %d, trains: %s.",
                  packet_payload_size_, thread_exit.load(), gro ? "on" : "off");

    // One call per wake-up, as the kernel offers: recvmmsg waits for the
    // first datagram at most the select time-out (the socket's receive
    // time-out) and takes what else is there. Stopping shuts the socket's
    // reading side, which ends a wait at once.
    //
    // While the kernel coalesces the camera's datagrams, each call takes
    // one train, laid out so that every segment lands in its frame; a run
    // of calls without a train goes back to many datagrams per call.
    uint32_t wait_us = 0;
    size_t expect = BATCH;
    bool trains = false;
    int calls_without_train = 0;
    while (!thread_exit) {
        if (const uint32_t want = tunables_.socket_select_timeout; want != wait_us) {
            wait_us = want;
            timeval tv{static_cast<time_t>(wait_us / 1000000), static_cast<suseconds_t>(wait_us % 1000000)};
            setsockopt(stream_socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        }
        // The data of the packets expected next goes straight into its
        // frame. Places are found for about twice what the last call
        // brought: a batch is seldom full while the thread keeps up.
        const size_t per_message = trains ? batch->train_landings() : 1;
        const size_t want = trains ? per_message : expect;
        batch->prepare(landings.data(), assembler_.predict_landings(landings.data(), want, ReceiveBatch::HEAD_DATA),
                       per_message);
        const int n = recvmmsg(stream_socket, batch->messages(), trains ? 1 : BATCH, MSG_WAITFORONE, nullptr);
        const long long now = clock_.monotonic_us();
        if (thread_exit)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                log->log_error(gvsp_log_error_level, "[function:loop] Select error.");
                break;
            }
            if (now - last_firewall >
                static_cast<long long>(tunables_.sendto_stream_port_break_firewall_timeout.load())) {
                sendto_stream_source_data();
                last_firewall = now;
            }
            log->log_debug(gvsp_log_debug_level, "[function:loop] Select over time.");
            check_block_complete(nullptr, now);
            continue;
        }
        batch->settle(static_cast<size_t>(n));
        const size_t count = batch->datagrams();
        if (gro) {
            if (batch->trains() > 0) {
                trains = true;
                calls_without_train = 0;
            } else if (trains && ++calls_without_train >= 16) {
                trains = false;
            }
        }
        expect = std::clamp<size_t>(2 * count, 8, BATCH);
        // What a batch completes is handed over once it is read: the
        // datagrams of one batch arrived within microseconds.
        StreamBlockData* current = nullptr;
        uint64_t in_trains = 0;
        uint64_t landed = 0;
        for (size_t i = 0; i < count; ++i) {
            const Datagram& datagram = batch->datagram(i);
            const sockaddr_in& from = batch->sender(i);
            const uint16_t known_port = source_.port();
            // Anything not from the channel's source is counted and goes no further.
            if (!source_.accept(ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), datagram.head, datagram.head_len)) {
                assembler_.reject_packet();
                current = nullptr;
                continue;
            }
            if (known_port == 0)
                lock_onto_source();
            current = process_packet(datagram, now);
            in_trains += datagram.in_train ? 1 : 0;
            landed += batch->landed(i) ? 1 : 0;
        }
        ReceivePathCounters::add(path_.calls, 1);
        ReceivePathCounters::add(path_.datagrams, count);
        ReceivePathCounters::add(path_.trains, batch->trains());
        ReceivePathCounters::add(path_.train_datagrams, in_trains);
        ReceivePathCounters::add(path_.irregular_trains, batch->irregular_trains());
        ReceivePathCounters::add(path_.landed, landed);
        check_block_complete(current, now);
    }
    log->log_info(gvsp_log_info_level, "[function:loop] End of the loop. channel_index_: %d.", channel_index_);
}

// A camera that reported no source port has shown it: openers go there now.
void GigeStream::lock_onto_source()
{
    source_addr = make_addr(camera_ip, source_.port());
    log->log_info(gvsp_log_info_level, "[function:loop] The stream source port is %d. channel_index_: %d.",
                  source_.port(), channel_index_);
    sendto_stream_source_data();
}

StreamBlockData* GigeStream::process_packet(const Datagram& datagram, long long now)
{
    StreamBlockData* block = assembler_.process_packet(datagram, now, &step_);
    act_on(step_);
    return block;
}

void GigeStream::check_block_complete(StreamBlockData* current, long long now)
{
    assembler_.check_block_complete(current, now, &step_);
    act_on(step_);
}

void GigeStream::flush_blocks()
{
    assembler_.flush_blocks(clock_.monotonic_us(), &step_);
    act_on(step_);
}

// Frames first: a caller may be waiting for one; then what to ask again.
void GigeStream::act_on(const AssemblerOutput& out)
{
    for (StreamBlockData* block : out.finished) {
        ReceivePathCounters::add(block->via_train ? path_.frames_gro : path_.frames_datagram, 1);
        write_recive_data(block);
    }
    for (const ResendRange& r : out.resends)
        send_packet_request(r.block_id, static_cast<int>(r.first), static_cast<int>(r.last));
}

void GigeStream::write_recive_data(StreamBlockData*)
{
    log->log_info(gvsp_log_info_level, "[function:write_recive_data] write data send data.");
    sendto_stream_source_data();
    log->log_info(gvsp_log_info_level, "[function:write_recive_data] write data sucess.");
}

void GigeStream::send_packet_request(unsigned block_id, int first, int last)
{
    req_id = static_cast<uint16_t>(req_id + 1);
    if (req_id == 0)
        req_id = 1;
    uint8_t cmd[gvcp::PACKETRESEND_CMD_LEN];
    gvcp::build_packetresend(cmd, req_id,
                             gvcp::PacketResend{channel_index_, static_cast<uint16_t>(block_id),
                                                static_cast<uint32_t>(first), static_cast<uint32_t>(last)});
    if (sendto(resend_socket, cmd, sizeof cmd, 0, reinterpret_cast<const sockaddr*>(&resend_addr), sizeof resend_addr) <
        static_cast<ssize_t>(sizeof cmd))
        log->log_error(gvsp_log_error_level,
                       "[function:send_packet_request] Failed to send resend data to stream port.");
    if (gvsp_log_debug_level)
        log->log_debug(gvsp_log_debug_level,
                       "[function:send_packet_request] The resend data info: channel: %d, block id: %d, "
                       "resend_first_packet_id: %d, resend_last_packet_id: %d.",
                       channel_index_, block_id, first, last);
}
