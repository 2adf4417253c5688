// The receive thread: GVSP datagrams in, reassembled frames out, resend
// requests for what went missing.
#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "gvcp/gvcp_codec.h"
#include "stream/vora_gige_stream.h"

namespace {

constexpr uint16_t STATUS_SUCCESS = 0x0000;
constexpr uint16_t STATUS_RESEND = 0x0100;
constexpr uint16_t STATUS_NOT_YET_AVAILABLE = 0x8010;
constexpr uint8_t FORMAT_LEADER = 1;
constexpr uint8_t FORMAT_TRAILER = 2;
constexpr uint8_t FORMAT_PAYLOAD = 3;
constexpr int BATCH = 32;               // datagrams per recvmmsg
constexpr int MAX_PER_TURN = 4096;      // datagrams drained per wake-up before timers are looked at
constexpr size_t DATAGRAM_MAX = 65535;

bool good_status(uint16_t status)
{
    return status == STATUS_SUCCESS || status == STATUS_RESEND || status == STATUS_NOT_YET_AVAILABLE;
}

}  // namespace

void* GigeStream::Stream_Thread(void* arg)
{
    GigeStream* self = static_cast<GigeStream*>(arg);
    cameralog* log = self->log;
    char name[16];
    std::snprintf(name, sizeof name, "vora-rx%u", self->channel_index_);
    pthread_setname_np(pthread_self(), name);  // lets tools and benchmarks find the thread
    log->log_info(gvsp_log_info_level, "[function:Stream_Thread] Thread start. channel_index_: %d", self->channel_index_);
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        log->log_error(gvsp_log_error_level, "[function:Stream_Thread] Failed to initialize The resend socket.c hannel_index_: %d",
                       self->channel_index_);
        return nullptr;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(self->host_ip);
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) < 0) {
        log->log_error(gvsp_log_error_level, "[function:Stream_Thread] Failed to bind The resend socket. channel_index_: %d",
                       self->channel_index_);
        close(sock);
        return nullptr;
    }
    self->resend_addr.sin_family = AF_INET;
    self->resend_addr.sin_addr.s_addr = htonl(self->camera_ip);
    self->resend_addr.sin_port = htons(GVCP_PORT);
    self->source_addr.sin_family = AF_INET;
    self->source_addr.sin_addr.s_addr = htonl(self->camera_ip);
    self->source_addr.sin_port = htons(self->stream_channel_port);
    self->resend_socket = sock;
    self->sendto_stream_source_data();
    log->log_info(gvsp_log_info_level, "[function:Stream_Thread] Start thread loop.channel_index_: %d", self->channel_index_);
    self->loop();
    self->flush_blocks();
    close(sock);
    self->resend_socket = -1;
    return nullptr;
}

void GigeStream::loop()
{
    long long last_firewall = get_real_time();
    // One receive area for a batch of datagrams; each datagram is copied
    // once more, into its frame at its final offset.
    std::vector<uint8_t> area;
    std::vector<mmsghdr> msgs(BATCH);
    std::vector<iovec> iovs(BATCH);
    std::vector<sockaddr_in> from(BATCH);
    try {
        area.resize(BATCH * DATAGRAM_MAX);
    } catch (const std::bad_alloc&) {
        log->log_error(gvsp_log_error_level, "[function:loop] The parameter which malloc has error.");
        return;
    }
    log->log_info(gvsp_log_info_level, "[function:loop] Packet payload size is: %d, thread exit is %d.",
                  packet_payload_size_, thread_exit.load());

    while (!thread_exit) {
        const uint32_t wait_us = socket_select_timeout;
        pollfd pfd{stream_socket, POLLIN, 0};
        timespec ts{static_cast<time_t>(wait_us / 1000000), static_cast<long>(wait_us % 1000000) * 1000};
        const int ready = ppoll(&pfd, 1, &ts, nullptr);
        long long now = get_real_time();
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            log->log_error(gvsp_log_error_level, "[function:loop] Select error.");
            break;
        }
        if (ready == 0) {
            if (now - last_firewall > static_cast<long long>(sendto_stream_port_break_firewall_timeout.load())) {
                sendto_stream_source_data();
                last_firewall = now;
            }
            log->log_debug(gvsp_log_debug_level, "[function:loop] Select over time.");
            check_block_complete(nullptr, now);
            continue;
        }
        for (int drained = 0; drained < MAX_PER_TURN && !thread_exit;) {
            for (int i = 0; i < BATCH; ++i) {
                iovs[i].iov_base = area.data() + static_cast<size_t>(i) * DATAGRAM_MAX;
                iovs[i].iov_len = DATAGRAM_MAX;
                std::memset(&msgs[i].msg_hdr, 0, sizeof msgs[i].msg_hdr);
                msgs[i].msg_hdr.msg_iov = &iovs[i];
                msgs[i].msg_hdr.msg_iovlen = 1;
                msgs[i].msg_hdr.msg_name = &from[i];
                msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            }
            const int n = recvmmsg(stream_socket, msgs.data(), BATCH, MSG_DONTWAIT, nullptr);
            if (n <= 0)
                break;
            now = get_real_time();
            for (int i = 0; i < n; ++i) {
                const int length = static_cast<int>(msgs[i].msg_len);
                const uint8_t* datagram = area.data() + static_cast<size_t>(i) * DATAGRAM_MAX;
                StreamBlockData* current = nullptr;
                // Anything not from the camera, and runts that cannot hold a
                // header, are counted and go no further.
                if (ntohl(from[i].sin_addr.s_addr) != camera_ip || length < IMAGE_PACKET_HEADER_LEN) {
                    ++received_packet_num;
                    ++dropped_packet_num;
                } else {
                    current = process_packet(datagram, length, now);
                }
                check_block_complete(current, now);
            }
            drained += n;
            if (n < BATCH)
                break;
        }
    }
    log->log_info(gvsp_log_info_level, "[function:loop] End of the loop. channel_index_: %d.", channel_index_);
}

StreamBlockData* GigeStream::process_packet(const uint8_t* packet, int length, long long now)
{
    ++received_packet_num;
    NetSpeedStatistics(length, now);
    const uint16_t status = gvcp::get_u16(packet);
    const unsigned block_id = gvcp::get_u16(packet + 2);
    const unsigned packet_id = gvcp::get_u32(packet + 4) & 0x00FFFFFF;
    StreamBlockData* block = find_block_data(packet, block_id, packet_id, length, now);
    if (!block) {
        ++dropped_packet_num;
        return nullptr;
    }
    if (good_status(status)) {
        if (packet_id < block->packet_num) {
            if (block->packet_states[packet_id].received)
                ++duplicate_packet_num;
            else
                block->packet_states[packet_id].received = 1;
        }
        while (static_cast<uint32_t>(block->last_valid_packet + 1) < block->packet_num &&
               block->packet_states[block->last_valid_packet + 1].received)
            ++block->last_valid_packet;
        switch (packet[4]) {
        case FORMAT_LEADER:
            process_packet_leader(block, packet, packet_id);
            break;
        case FORMAT_TRAILER:
            process_packet_tailer(block, packet, packet_id);
            break;
        case FORMAT_PAYLOAD:
            process_packet_payload(block, packet, packet_id, static_cast<unsigned>(length));
            break;
        default:
            ++dropped_packet_num;
            break;
        }
    } else {
        block->error_flag = 1;
        log->log_error(gvsp_log_error_level,
                       "[function:process_packet] Recivevd an error packet, status is: %d, block_id is: %d.", status,
                       block_id);
    }
    packet_resend_check(block, packet_id, now);
    return block;
}

PhotoInfo* GigeStream::obtain_frame_buffer()
{
    // A lowered limit is met by freeing surplus buffers as they come back.
    while (buffer_count > max_buffer_length) {
        PhotoInfo* surplus = static_cast<PhotoInfo*>(async_queue_try_pop(free_queue));
        if (!surplus) {
            ++no_buffer_block_num;
            log->log_error(gvsp_log_error_level, "[function:find_block_data] Sending data, no space to write data");
            return nullptr;
        }
        free_frame(surplus);
        --buffer_count;
    }
    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(free_queue));
    if (frame)
        return frame;
    if (buffer_count >= max_buffer_length) {
        ++no_buffer_block_num;
        return nullptr;
    }
    // Zeroed, so no field or byte of a delivered frame is ever uninitialised.
    frame = static_cast<PhotoInfo*>(std::calloc(1, sizeof(PhotoInfo)));
    if (!frame) {
        ++no_buffer_block_num;
        log->log_error(gvsp_log_error_level, "[function:find_block_data] Buffer malloc error.");
        return nullptr;
    }
    frame->pixel = static_cast<char*>(std::calloc(payload_size ? payload_size : 1, 1));
    if (!frame->pixel) {
        std::free(frame);
        ++no_buffer_block_num;
        log->log_error(gvsp_log_error_level, "[function:find_block_data] Buffer->pixel malloc error.");
        return nullptr;
    }
    ++buffer_count;
    log->log_info(gvsp_log_info_level, "[function:find_block_data] new a buffer and the length is %d.", payload_size);
    return frame;
}

StreamBlockData* GigeStream::find_block_data(const uint8_t* packet, unsigned block_id, unsigned packet_id, int,
                                             long long now)
{
    (void)packet_id;
    const bool debug = gvsp_log_debug_level != 0;
    for (_List* node = all_blocks; node; node = node->next) {
        StreamBlockData* block = static_cast<StreamBlockData*>(node->data);
        if (debug)
            log->log_debug(gvsp_log_debug_level,
                           "[function:find_block_data] Find block data in block_id is %d, block->block_id is %d",
                           block_id, block->block_id);
        if (block->block_id == block_id) {
            block->last_time_us = now;
            return block;
        }
    }
    // Block ids count 1..65535 and skip 0 when they wrap. The first block of
    // a stream is new whatever its id: a camera that was already streaming
    // may be anywhere in its count, and nothing was handed over yet.
    int inc = static_cast<int16_t>(block_id) - static_cast<int16_t>(last_block_id);
    if (static_cast<int16_t>(block_id) > 0 && static_cast<int16_t>(last_block_id) < 0)
        inc -= 1;
    if (!seen_block_)
        inc = 1;
    if (debug)
        log->log_debug(gvsp_log_debug_level, "[function:find_block_data] block_id_inc is %d", inc);
    if (inc >= -99 && inc <= 0) {
        if (debug)
            log->log_debug(gvsp_log_debug_level,
                           "[function:find_block_data] This block data has been sent. block_id: %d, last_block_id: %d.",
                           block_id, last_block_id);
        return nullptr;
    }
    const uint16_t status = gvcp::get_u16(packet);
    if (status != STATUS_SUCCESS && status != STATUS_RESEND)
        return nullptr;  // only a good packet opens a block

    PhotoInfo* frame = obtain_frame_buffer();
    if (!frame)
        return nullptr;
    StreamBlockData* block = static_cast<StreamBlockData*>(std::calloc(1, sizeof(StreamBlockData)));
    const uint32_t packet_num = stream_info.packet_count + 2;
    PacketState* states = block ? static_cast<PacketState*>(std::calloc(packet_num, sizeof(PacketState))) : nullptr;
    if (!block || !states) {
        std::free(block);
        async_queue_push(free_queue, frame);
        log->log_error(gvsp_log_error_level, "[function:find_block_data] Block malloc error.");
        return nullptr;
    }
    frame->payload_size = payload_size;
    frame->stream_channel_index_ = channel_index_;
    frame->cloud_unit = stream_info.cloud_unit;
    block->photo = frame;
    block->block_id = block_id;
    block->status = BLOCK_IN_PROGRESS;
    block->last_valid_packet = -1;
    block->first_time_us = block->last_time_us = now;
    block->packet_num = packet_num;
    block->packet_states = states;
    block->checked_until = -1;
    log->log_debug(gvsp_log_debug_level,
                   "[function:find_block_data] Packet number of the block update: pay_load_size is %d, and packet_payload_size_ is %d, packet number is %d, new block id is %d.",
                   payload_size, packet_payload_size_, packet_num, block_id);
    if (inc > 1) {
        ++lost_block_num;
        log->log_warnning(gvsp_log_warnning_level,
                          "[function:find_block_data] Recorded number of frames with lost data: a huge enlarge of block id is %d, id inc is %d, channel index is %d.",
                          block_id, inc, channel_index_);
    }
    _List* appended = list_append(all_blocks, block);
    if (!appended) {
        std::free(states);
        std::free(block);
        async_queue_push(free_queue, frame);
        return nullptr;
    }
    all_blocks = appended;
    last_block_id = static_cast<uint16_t>(block_id);
    seen_block_ = true;
    return block;
}

void GigeStream::process_packet_leader(StreamBlockData* block, const uint8_t* packet, unsigned packet_id)
{
    if (packet_id != 0) {
        log->log_error(gvsp_log_error_level, "[function:process_packet_leader] The data is not header packet.");
        ++format_error_packet_num;
        return;
    }
    PhotoInfo* frame = block->photo;
    frame->block_id = static_cast<uint16_t>(gvcp::get_u16(packet + 2));
    const uint16_t payload_type = gvcp::get_u16(packet + 10);
    uint64_t ns;
    if (payload_type != 0x0008 && tick_frequency > 0) {
        const uint64_t ticks = (uint64_t(gvcp::get_u32(packet + 12)) << 32) | gvcp::get_u32(packet + 16);
        ns = static_cast<uint64_t>(static_cast<double>(ticks) * 1e9 / static_cast<double>(tick_frequency));
    } else {
        ns = static_cast<uint64_t>(get_real_time()) * 1000;
    }
    frame->timestamp_low = ns;
    frame->timestamp_high = ns >> 32;
    if ((payload_type & ~0x0004) == 0x0001) {
        frame->pixel_format = gvcp::get_u32(packet + 20);
        frame->pixel_width = frame->roi.size_x = gvcp::get_u32(packet + 24);
        frame->pixel_height = frame->roi.size_y = gvcp::get_u32(packet + 28);
        frame->roi.offset_x = gvcp::get_u32(packet + 32);
        frame->roi.offset_y = gvcp::get_u32(packet + 36);
        log->log_debug(gvsp_log_debug_level,
                       "[function:process_packet_leader] The data type is image or chunk data, that the width is %d, height is %d, pixel length is %d.",
                       frame->pixel_width, frame->pixel_height, frame->pixel_format);
    }
    if (block->packet_states[0].resend_time_us > 0) {
        ++resent_packet_num;
        log->log_debug(gvsp_log_debug_level,
                       "[function:process_packet_leader] Timeouted, the leader packet is not received and requires to be resent.");
    }
}

void GigeStream::process_packet_payload(StreamBlockData* block, const uint8_t* packet, unsigned packet_id,
                                        unsigned length)
{
    if (packet_id == 0 || packet_id + 2 > block->packet_num) {
        ++format_error_packet_num;
        return;
    }
    unsigned data_length = length - IMAGE_PACKET_HEADER_LEN;
    const uint64_t offset = uint64_t(packet_id - 1) * packet_payload_size_;
    if (offset + data_length > payload_size) {
        log->log_error(gvsp_log_error_level,
                       "[function:process_packet_payload] The data info: recv_num is %d, recv_payload_num is %d, packet_id is %d.",
                       length, data_length, packet_id);
        ++overflow_packet_num;
        data_length = offset >= payload_size ? 0 : static_cast<unsigned>(payload_size - offset);
    }
    std::memcpy(block->photo->pixel + offset, packet + IMAGE_PACKET_HEADER_LEN, data_length);
    if (block->packet_states[packet_id].resend_time_us > 0) {
        ++resent_packet_num;
        if (gvsp_log_debug_level)
            log->log_debug(gvsp_log_debug_level,
                           "[function:process_packet_payload] Timeouted, the packet is not received and requires to be resent.");
    }
}

void GigeStream::process_packet_tailer(StreamBlockData* block, const uint8_t*, unsigned packet_id)
{
    if (packet_id + 1 != block->packet_num) {
        ++format_error_packet_num;
        return;
    }
    if (block->packet_states[packet_id].resend_time_us > 0) {
        ++resent_packet_num;
        log->log_debug(gvsp_log_debug_level,
                       "[function:process_packet_tailer] Timeouted, the tailer packet is not received and requires to be resent.");
    }
}

void GigeStream::packet_resend_check(StreamBlockData* block, unsigned up_to, long long now)
{
    if (!block || !packet_resend_flag || block->error_flag == 1 || up_to >= block->packet_num)
        return;
    const double budget = static_cast<double>(block->packet_num) * packet_resend_ratio.load();
    if (block->packet_resend_num >= budget)
        return;
    const long long timeout = packet_timeout.load();

    int start = block->last_valid_packet + 1;
    long long oldest = now;
    if (block->checked_until >= start && now - block->checked_since <= timeout) {
        start = block->checked_until + 1;  // nothing before it can be due again yet
        oldest = block->checked_since;
    }
    int run_start = -1;
    int last_done = start - 1;
    auto close_run = [&](int first, int last) {
        if (block->packet_resend_num >= budget) {
            log->log_info(gvsp_log_info_level,
                          "[function:packet_resend_check] packet resend number over the ratio_: channel: %d, block id: %d, block->packet_resend_num: %d, ratio: %f.",
                          channel_index_, block->block_id, block->packet_resend_num, packet_resend_ratio.load());
            return false;
        }
        send_packet_request(block->block_id, first, last);
        ++block->packet_resend_num;
        if (gvsp_log_debug_level)
            log->log_debug(gvsp_log_debug_level,
                           "[function:packet_resend_check] Check the resend data info: channel: %d, block id: %d, resend_first_packet_id: %d, resend_last_packet_id: %d, resend time_us: %d.",
                           channel_index_, block->block_id, first, last, static_cast<int>(now));
        for (int i = first; i <= last; ++i)
            block->packet_states[i].resend_time_us = now;
        resend_request_packet_num += static_cast<uint32_t>(last - first + 1);
        return true;
    };
    for (int i = start; i <= static_cast<int>(up_to); ++i) {
        const PacketState& st = block->packet_states[i];
        const bool missing = !st.received && (st.resend_time_us == 0 || now - st.resend_time_us > timeout);
        if (missing) {
            if (run_start < 0)
                run_start = i;
            continue;
        }
        if (!st.received && st.resend_time_us < oldest)
            oldest = st.resend_time_us;
        if (run_start >= 0) {
            if (!close_run(run_start, i - 1)) {
                block->checked_until = last_done;
                return;
            }
            run_start = -1;
        }
        last_done = i;
    }
    if (run_start >= 0 && !close_run(run_start, static_cast<int>(up_to))) {
        block->checked_until = last_done;
        return;
    }
    block->checked_until = static_cast<int>(up_to);
    block->checked_since = oldest;
}

void GigeStream::send_packet_request(unsigned block_id, int first, int last)
{
    req_id = static_cast<uint16_t>(req_id + 1);
    if (req_id == 0)
        req_id = 1;
    uint8_t cmd[gvcp::PACKETRESEND_CMD_LEN];
    gvcp::put_cmd_header(cmd, gvcp::FLAG_ACK_REQUIRED, PACKETRESEND_CMD, 0x000C, req_id);
    gvcp::put_u16(cmd + 8, channel_index_);
    gvcp::put_u16(cmd + 10, static_cast<uint16_t>(block_id));
    gvcp::put_u32(cmd + 12, static_cast<uint32_t>(first));
    gvcp::put_u32(cmd + 16, static_cast<uint32_t>(last));
    if (sendto(resend_socket, cmd, sizeof cmd, 0, reinterpret_cast<const sockaddr*>(&resend_addr), sizeof resend_addr) <
        static_cast<ssize_t>(sizeof cmd))
        log->log_error(gvsp_log_error_level, "[function:send_packet_request] Failed to send resend data to stream port.");
    if (gvsp_log_debug_level)
        log->log_debug(gvsp_log_debug_level,
                       "[function:send_packet_request] The resend data info: channel: %d, block id: %d, resend_first_packet_id: %d, resend_last_packet_id: %d.",
                       channel_index_, block_id, first, last);
}

void GigeStream::check_block_complete(StreamBlockData* current, long long now)
{
    while (all_blocks) {
        StreamBlockData* block = static_cast<StreamBlockData*>(all_blocks->data);
        if (block->last_valid_packet == static_cast<int32_t>(block->packet_num) - 1) {
            log->log_info(gvsp_log_info_level,
                          "[function:check_block_complete] Write data that has been completely received, block id: %d, channel index: %d, last valid packet: %d, the packet number is %d.",
                          block->block_id, channel_index_, block->last_valid_packet, block->packet_num);
            block->status = BLOCK_COMPLETE;
        } else if (!packet_resend_flag && all_blocks->next) {
            log->log_info(gvsp_log_info_level,
                          "[function:check_block_complete] No resend request and the next block data is comming, block id: %d.",
                          block->block_id);
            block->status = BLOCK_SUPERSEDED;
        } else if (now - block->last_time_us > static_cast<long long>(block_timeout.load())) {
            log->log_info(gvsp_log_info_level, "[function:check_block_complete] Write data wait time out, block id: %d.",
                          block->block_id);
            block->status = BLOCK_TIMEOUT;
        } else if (block->error_flag == 1) {
            log->log_info(gvsp_log_info_level,
                          "[function:check_block_complete] Write data received error packet, block id: %d.",
                          block->block_id);
            block->status = BLOCK_ERROR;
        } else {
            break;
        }
        all_blocks = list_remove_first(all_blocks);
        write_recive_data(block);
    }
    const long long timeout = packet_timeout.load();
    for (_List* node = all_blocks; node; node = node->next) {
        StreamBlockData* block = static_cast<StreamBlockData*>(node->data);
        if (block != current && now - block->last_time_us >= timeout)
            packet_resend_check(block, block->packet_num - 1, now);
    }
}

void GigeStream::flush_blocks()
{
    log->log_info(gvsp_log_info_level, "[function:flush_blocks] Start to flush blocks.");
    while (all_blocks) {
        StreamBlockData* block = static_cast<StreamBlockData*>(all_blocks->data);
        all_blocks = list_remove_first(all_blocks);
        block->status = BLOCK_FLUSHED;
        write_recive_data(block);
    }
    log->log_info(gvsp_log_info_level, "[function:flush_blocks] Flush blocks end.");
}

void GigeStream::write_recive_data(StreamBlockData* block)
{
    if (block->status == BLOCK_COMPLETE) {
        ++complete_block_num;
    } else if (block->status == BLOCK_FLUSHED) {
        ++flushed_block_num;
    } else {
        ++incomplete_block_num;
        lost_packet_num += static_cast<uint32_t>(static_cast<int32_t>(block->packet_num) - 1 - block->last_valid_packet);
        if (block->status == BLOCK_TIMEOUT)
            ++timeout_block_num;
        if (block->status == BLOCK_ERROR)
            ++error_block_num;
    }
    PhotoInfo* frame = block->photo;
    if (!block->packet_states[0].received) {
        // No leader: the frame carries the channel's configured geometry.
        frame->pixel_format = stream_info.pixel_format;
        frame->pixel_height = stream_info.height;
        frame->pixel_width = stream_info.width;
        frame->roi.size_x = stream_info.roi_size_x;
        frame->roi.size_y = stream_info.roi_size_y;
        frame->roi.offset_x = stream_info.offset_x;
        frame->roi.offset_y = stream_info.offset_y;
        log->log_debug(gvsp_log_debug_level, "[function:write_recive_data] there is no head recivecd of block_id: %d.",
                       block->block_id);
    }
    // Statistics first, so that a frame a caller holds is already counted.
    const long long now = get_real_time();
    RecieveTimeStatistics(static_cast<int>(now - block->first_time_us));
    BlockRateStatistics(now);
    async_queue_push(ready_queue, frame);
    log->log_info(gvsp_log_info_level, "[function:write_recive_data] write data statistics data. block : %d, channel_index_: %d.",
                  block->block_id, channel_index_);
    std::free(block->packet_states);
    std::free(block);
    log->log_info(gvsp_log_info_level, "[function:write_recive_data] write data send data.");
    sendto_stream_source_data();
    log->log_info(gvsp_log_info_level, "[function:write_recive_data] write data sucess.");
}
