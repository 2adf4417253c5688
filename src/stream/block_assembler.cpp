#include "stream/block_assembler.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "imaging/pixel_format.h"

namespace {

// Ids up to this far behind the newest block belong to blocks already
// handed over; further back, the camera has restarted its count.
constexpr int ALREADY_SENT_WINDOW = 99;

// A packet asked for again waits twice as long each time, up to this many
// doublings, so a camera that cannot answer is not flooded.
constexpr unsigned MAX_BACKOFF_DOUBLINGS = 3;

long long due_after(uint16_t requests, long long packet_timeout)
{
    const unsigned doublings = requests > 1 ? std::min<unsigned>(requests - 1u, MAX_BACKOFF_DOUBLINGS) : 0;
    return packet_timeout << doublings;
}

}  // namespace

void Datagram::copy_out(size_t from, size_t count, uint8_t* dest) const
{
    const struct {
        const uint8_t* bytes;
        size_t length;
    } pieces[] = {{head, head_len}, {body, body_len}, {tail, tail_len}};
    size_t start = 0;
    for (const auto& piece : pieces) {
        const size_t end = start + piece.length;
        const size_t lo = from > start ? from : start;
        const size_t hi = from + count < end ? from + count : end;
        if (lo < hi) {
            const uint8_t* src = piece.bytes + (lo - start);
            uint8_t* dst = dest + (lo - from);
            if (src != dst)  // a piece the kernel put in place already stays
                std::memmove(dst, src, hi - lo);
        }
        start = end;
    }
}

uint64_t ticks_to_ns(uint64_t ticks, long long tick_frequency)
{
    // Exact: a double keeps no nanoseconds beyond 2^53 (104 days of a 1 GHz
    // clock, and a PTP clock counts from 1970), so frames of synchronised
    // cameras would compare in steps of 256 ns.
    if (tick_frequency <= 0)
        return UINT64_MAX;
    __extension__ typedef unsigned __int128 wide;
    const wide ns = static_cast<wide>(ticks) * 1000000000u / static_cast<uint64_t>(tick_frequency);
    // 2^64 and beyond do not fit.
    return ns > UINT64_MAX ? UINT64_MAX : static_cast<uint64_t>(ns);
}

BlockAssembler::BlockAssembler(const ChannelSetup& setup, const StreamTunables& tunables, FramePool& frames,
                               const StreamClock& clock, cameralog* log)
    : info_(setup.info), channel_index_(setup.channel), packet_payload_size_(setup.packet_payload_size),
      payload_size_(setup.info.payload_size), packet_num_(setup.info.packet_count + 2),
      tick_frequency_(setup.tick_frequency), tunables_(tunables), frames_(frames), clock_(clock), log_(log)
{}

BlockAssembler::~BlockAssembler()
{
    if (next_frame_)
        frames_.recycle(next_frame_);
    while (all_blocks) {
        StreamBlockData* block = static_cast<StreamBlockData*>(all_blocks->data);
        all_blocks = list_remove_first(all_blocks);
        frames_.recycle(block->photo);
        free_block(block);
    }
    for (StreamBlockData* block : retired_)
        free_block(block);
}

void BlockAssembler::free_block(StreamBlockData* block)
{
    std::free(block->packet_states);
    std::free(block);
}

BlockAssembler::PacketRegion BlockAssembler::packet_region(uint32_t packet_id) const
{
    return {uint64_t(packet_id - 1) * packet_payload_size_,
            std::min<uint64_t>(uint64_t(packet_id) * packet_payload_size_, payload_size_)};
}

size_t BlockAssembler::predict_landings(Landing* out, size_t max, size_t skip)
{
    // In order, what comes next is: the newest block's remaining payload
    // packets, its trailer, the next block's leader, then that block's
    // payload packets, for which a buffer is taken ahead. A leader or
    // trailer lands nowhere (it fits its slot's head), so it keeps a place.
    size_t n = 0;
    auto add = [&](PhotoInfo* frame, uint16_t block_id, uint32_t first, uint32_t packet_num) {
        for (uint32_t id = first; n < max && id + 1 < packet_num; ++id) {
            PacketRegion r = packet_region(id);
            r.offset += skip;
            if (r.offset >= r.end)
                break;
            out[n++] = Landing{reinterpret_cast<uint8_t*>(frame->pixel) + r.offset,
                               static_cast<size_t>(r.end - r.offset), block_id, id};
        }
    };
    auto keep_place = [&] {
        if (n < max)
            out[n++] = Landing{nullptr, 0, 0, 0};
    };
    const _List* newest = all_blocks ? list_last(all_blocks) : nullptr;
    if (newest) {
        const StreamBlockData* block = static_cast<const StreamBlockData*>(newest->data);
        add(block->photo, static_cast<uint16_t>(block->block_id),
            static_cast<uint32_t>(std::max(block->highest_received + 1, 1)), block->packet_num);
        if (!block->packet_states[block->packet_num - 1].received)
            keep_place();  // its trailer
    }
    // Between batches nothing lies in the buffer taken ahead that a
    // datagram still has to be read from: it may go back, or wait for
    // another block.
    if (next_frame_ && give_back_next_frame_) {
        frames_.recycle(std::exchange(next_frame_, nullptr));
        give_back_next_frame_ = false;
        return n;
    }
    if (n >= max || !seen_block_)
        return n;
    if (!next_frame_)
        next_frame_ = frames_.obtain();
    if (!next_frame_)
        return n;
    next_frame_block_id_ = gvsp::next_block_id(last_block_id_);
    keep_place();  // the next block's leader
    add(next_frame_, next_frame_block_id_, 1, packet_num_);
    return n;
}

size_t BlockAssembler::blocks_in_progress() const
{
    size_t n = 0;
    for (const _List* node = all_blocks; node; node = node->next)
        ++n;
    return n;
}

void BlockAssembler::begin_step(AssemblerOutput* out)
{
    for (StreamBlockData* block : retired_)
        free_block(block);
    retired_.clear();
    out->resends.clear();
    out->finished.clear();
}

void BlockAssembler::reject_packet()
{
    ++counters.received_packet_num;
    ++counters.dropped_packet_num;
}

StreamBlockData* BlockAssembler::process_packet(const uint8_t* packet, size_t length, int64_t now, AssemblerOutput* out)
{
    Datagram datagram;
    datagram.head = packet;
    datagram.head_len = length;
    return process_packet(datagram, now, out);
}

StreamBlockData* BlockAssembler::process_packet(const Datagram& datagram, int64_t now, AssemblerOutput* out)
{
    begin_step(out);
    const size_t length = datagram.length();
    gvsp::Header header;
    if (!gvsp::parse_header(datagram.head, datagram.head_len, &header)) {
        reject_packet();  // a runt: no header to read
        return nullptr;
    }
    ++counters.received_packet_num;
    statistics.NetSpeedStatistics(static_cast<int>(length), now);
    StreamBlockData* block = find_block_data(header, now);
    if (!block) {
        ++counters.dropped_packet_num;
        return nullptr;
    }
    if (datagram.in_train)
        block->via_train = true;
    const unsigned packet_id = header.packet_id;
    if (gvsp::is_data_status(header.status)) {
        gvsp::Leader leader;
        const Screening screening = screen(header, datagram, &leader);
        if (screening == Screening::TooShort) {
            // As if it never came, so that it is asked for again rather
            // than read past its end.
            ++counters.format_error_packet_num;
            log_->log_error(
                gvsp_log_error_level,
                "[function:process_packet] A datagram shorter than its fields, block_id is: %d, packet_id is: %d.",
                header.block_id, packet_id);
        } else if (screening == Screening::DoesNotFit) {
            // A frame larger than the channel's buffers: the block is in
            // error, and its frame keeps the channel's own geometry.
            block->error_flag = 1;
            log_->log_error(gvsp_log_error_level,
                            "[function:process_packet_leader] The leader does not fit the stream, block_id is: %d, "
                            "width is %u, height is %u, pixel format is %x.",
                            header.block_id, leader.size_x, leader.size_y, leader.pixel_format);
        } else {
            if (packet_id < block->packet_num) {
                if (block->packet_states[packet_id].received) {
                    ++counters.duplicate_packet_num;
                } else {
                    block->packet_states[packet_id].received = 1;
                    if (static_cast<int32_t>(packet_id) > block->highest_received)
                        block->highest_received = static_cast<int32_t>(packet_id);
                }
            }
            while (static_cast<uint32_t>(block->last_valid_packet + 1) < block->packet_num &&
                   block->packet_states[block->last_valid_packet + 1].received)
                ++block->last_valid_packet;
            switch (header.format) {
            case gvsp::FORMAT_LEADER:
                if (packet_id != 0) {
                    log_->log_error(gvsp_log_error_level,
                                    "[function:process_packet_leader] The data is not header packet.");
                    ++counters.format_error_packet_num;
                } else {
                    process_packet_leader(block, header, leader);
                }
                break;
            case gvsp::FORMAT_TRAILER:
                process_packet_tailer(block, packet_id);
                break;
            case gvsp::FORMAT_PAYLOAD:
                process_packet_payload(block, datagram, packet_id);
                break;
            default:
                ++counters.dropped_packet_num;
                break;
            }
        }
    } else {
        block->error_flag = 1;
        log_->log_error(gvsp_log_error_level,
                        "[function:process_packet] Recivevd an error packet, status is: %d, block_id is: %d.",
                        header.status, header.block_id);
    }
    packet_resend_check(block, packet_id, now, out);
    return block;
}

// Leaders and trailers are read from the datagram's head, which holds
// them whole whenever they are as long as their fields.
BlockAssembler::Screening BlockAssembler::screen(const gvsp::Header& header, const Datagram& datagram,
                                                 gvsp::Leader* leader) const
{
    if (header.format == gvsp::FORMAT_TRAILER) {
        gvsp::Trailer trailer;
        return gvsp::parse_trailer(datagram.head, datagram.head_len, &trailer) ? Screening::Fine : Screening::TooShort;
    }
    if (header.format != gvsp::FORMAT_LEADER || header.packet_id != 0)
        return Screening::Fine;
    if (!gvsp::parse_leader(datagram.head, datagram.head_len, leader))
        return Screening::TooShort;
    if (!gvsp::is_image_payload(leader->payload_type))
        return Screening::Fine;
    const uint64_t bytes = uint64_t(leader->size_x) * leader->size_y * imaging::pixel_bytes(leader->pixel_format);
    return bytes != 0 && bytes <= payload_size_ ? Screening::Fine : Screening::DoesNotFit;
}

bool BlockAssembler::follows_new_sequence(const gvsp::Header& header)
{
    // A fresh leader of an id that lies behind: a restarted or rewound
    // count, or a stray. Two in a row that follow each other are a new
    // sequence; the first of them is lost.
    if (header.format != gvsp::FORMAT_LEADER || header.packet_id != 0 || header.status != gvsp::STATUS_SUCCESS)
        return false;
    if (has_restart_candidate_ && header.block_id == gvsp::next_block_id(restart_candidate_)) {
        has_restart_candidate_ = false;
        return true;
    }
    has_restart_candidate_ = true;
    restart_candidate_ = header.block_id;
    return false;
}

StreamBlockData* BlockAssembler::find_block_data(const gvsp::Header& header, int64_t now)
{
    const unsigned block_id = header.block_id;
    const bool debug = gvsp_log_debug_level != 0;
    // Most datagrams belong to the newest block.
    if (newest_ && newest_->block_id == block_id && !debug) {
        newest_->last_time_us = now;
        return newest_;
    }
    for (_List* node = all_blocks; node; node = node->next) {
        StreamBlockData* block = static_cast<StreamBlockData*>(node->data);
        if (debug)
            log_->log_debug(gvsp_log_debug_level,
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
    int inc = static_cast<int16_t>(block_id) - static_cast<int16_t>(last_block_id_);
    if (static_cast<int16_t>(block_id) > 0 && static_cast<int16_t>(last_block_id_) < 0)
        inc -= 1;
    if (!seen_block_)
        inc = 1;
    if (debug)
        log_->log_debug(gvsp_log_debug_level, "[function:find_block_data] block_id_inc is %d", inc);
    if (inc >= -ALREADY_SENT_WINDOW && inc <= 0) {
        if (!follows_new_sequence(header)) {
            if (debug)
                log_->log_debug(
                    gvsp_log_debug_level,
                    "[function:find_block_data] This block data has been sent. block_id: %d, last_block_id: %d.",
                    block_id, last_block_id_);
            return nullptr;
        }
        ++counters.lost_block_num;  // the block before this one, dropped as already sent
        log_->log_warnning(gvsp_log_warnning_level,
                           "[function:find_block_data] The camera's block ids went back: following them from block_id: "
                           "%d, last_block_id: %d, channel index is %d.",
                           block_id, last_block_id_, channel_index_);
        inc = 1;
    } else if (inc > 0) {
        has_restart_candidate_ = false;
    }
    if (!gvsp::opens_block(header.status))
        return nullptr;  // only a good packet opens a block
    return open_block(header, inc, now);
}

StreamBlockData* BlockAssembler::open_block(const gvsp::Header& header, int inc, int64_t now)
{
    // The buffer taken ahead for this block may hold its first packets
    // already. Another block does not take it: packets of the expected
    // block may still be read from it later in the same batch.
    PhotoInfo* frame = nullptr;
    if (next_frame_ && header.block_id == next_frame_block_id_)
        frame = std::exchange(next_frame_, nullptr);
    else
        frame = frames_.obtain();
    if (!frame) {
        ++counters.no_buffer_block_num;
        give_back_next_frame_ = next_frame_ != nullptr;  // the block it waits for may never come
        return nullptr;
    }
    StreamBlockData* block = static_cast<StreamBlockData*>(std::calloc(1, sizeof(StreamBlockData)));
    PacketState* states = block ? static_cast<PacketState*>(std::calloc(packet_num_, sizeof(PacketState))) : nullptr;
    _List* appended = states ? list_append(all_blocks, block) : nullptr;
    if (!appended) {
        std::free(states);
        std::free(block);
        frames_.recycle(frame);
        log_->log_error(gvsp_log_error_level, "[function:find_block_data] Block malloc error.");
        return nullptr;
    }
    all_blocks = appended;
    frame->payload_size = payload_size_;
    frame->stream_channel_index_ = channel_index_;
    frame->cloud_unit = info_.cloud_unit;
    // The leader sets these; a frame whose leader never comes must not keep
    // the id and time of the buffer's previous frame: its id is known from
    // every packet, its time is not (0).
    frame->block_id = header.block_id;
    frame->timestamp_high = frame->timestamp_low = 0;
    block->photo = frame;
    block->block_id = header.block_id;
    block->status = BLOCK_IN_PROGRESS;
    block->last_valid_packet = -1;
    block->first_time_us = block->last_time_us = now;
    block->packet_num = packet_num_;
    block->packet_states = states;
    block->checked_until = -1;
    block->highest_received = -1;
    log_->log_debug(gvsp_log_debug_level,
                    "[function:find_block_data] Packet number of the block update: pay_load_size is %d, and "
                    "packet_payload_size_ is %d, packet number is %d, new block id is %d.",
                    payload_size_, packet_payload_size_, packet_num_, header.block_id);
    if (inc > 1) {
        ++counters.lost_block_num;
        log_->log_warnning(gvsp_log_warnning_level,
                           "[function:find_block_data] Recorded number of frames with lost data: a huge enlarge of "
                           "block id is %d, id inc is %d, channel index is %d.",
                           header.block_id, inc, channel_index_);
    }
    last_block_id_ = header.block_id;
    newest_ = block;
    seen_block_ = true;
    return block;
}

void BlockAssembler::process_packet_leader(StreamBlockData* block, const gvsp::Header& header,
                                           const gvsp::Leader& leader)
{
    PhotoInfo* frame = block->photo;
    frame->block_id = header.block_id;
    uint64_t ns;
    if (leader.payload_type != gvsp::PAYLOAD_TYPE_H264 && tick_frequency_ > 0)
        ns = ticks_to_ns(leader.timestamp, tick_frequency_);
    else
        ns = static_cast<uint64_t>(clock_.wall_us()) * 1000;  // the host's clock
    frame->timestamp_low = ns;
    frame->timestamp_high = ns >> 32;
    if (gvsp::is_image_payload(leader.payload_type)) {
        frame->pixel_format = leader.pixel_format;
        frame->pixel_width = frame->roi.size_x = leader.size_x;
        frame->pixel_height = frame->roi.size_y = leader.size_y;
        frame->roi.offset_x = leader.offset_x;
        frame->roi.offset_y = leader.offset_y;
        log_->log_debug(gvsp_log_debug_level,
                        "[function:process_packet_leader] The data type is image or chunk data, that the width is %d, "
                        "height is %d, pixel length is %d.",
                        frame->pixel_width, frame->pixel_height, frame->pixel_format);
    }
    if (block->packet_states[0].resend_time_us > 0) {
        ++counters.resent_packet_num;
        log_->log_debug(
            gvsp_log_debug_level,
            "[function:process_packet_leader] Timeouted, the leader packet is not received and requires to be resent.");
    }
}

void BlockAssembler::process_packet_payload(StreamBlockData* block, const Datagram& datagram, unsigned packet_id)
{
    const size_t length = datagram.length();
    if (packet_id == 0 || packet_id + 2 > block->packet_num) {
        ++counters.format_error_packet_num;
        return;
    }
    size_t data_length = length - gvsp::HEADER_LEN;
    const uint64_t offset = uint64_t(packet_id - 1) * packet_payload_size_;
    if (offset + data_length > payload_size_) {
        log_->log_error(
            gvsp_log_error_level,
            "[function:process_packet_payload] The data info: recv_num is %d, recv_payload_num is %d, packet_id is %d.",
            static_cast<int>(length), static_cast<int>(data_length), packet_id);
        ++counters.overflow_packet_num;
        data_length = offset >= payload_size_ ? 0 : static_cast<size_t>(payload_size_ - offset);
    }
    uint8_t* const dest = reinterpret_cast<uint8_t*>(block->photo->pixel) + offset;
    constexpr size_t in_head = gvsp::LEADER_LEN - gvsp::HEADER_LEN;
    if (datagram.head_len == gvsp::LEADER_LEN && datagram.body == dest + in_head && datagram.tail_len == 0 &&
        data_length == in_head + datagram.body_len)
        std::memcpy(dest, datagram.head + gvsp::HEADER_LEN, in_head);  // the rest landed in place
    else if (data_length)
        datagram.copy_out(gvsp::HEADER_LEN, data_length, dest);
    if (block->packet_states[packet_id].resend_time_us > 0) {
        ++counters.resent_packet_num;
        if (gvsp_log_debug_level)
            log_->log_debug(
                gvsp_log_debug_level,
                "[function:process_packet_payload] Timeouted, the packet is not received and requires to be resent.");
    }
}

void BlockAssembler::process_packet_tailer(StreamBlockData* block, unsigned packet_id)
{
    if (packet_id + 1 != block->packet_num) {
        ++counters.format_error_packet_num;
        return;
    }
    if (block->packet_states[packet_id].resend_time_us > 0) {
        ++counters.resent_packet_num;
        log_->log_debug(
            gvsp_log_debug_level,
            "[function:process_packet_tailer] Timeouted, the tailer packet is not received and requires to be resent.");
    }
}

void BlockAssembler::packet_resend_check(StreamBlockData* block, unsigned up_to, int64_t now, AssemblerOutput* out)
{
    // Nothing up to `up_to` can be missing when it is all here already.
    if (!block || static_cast<int>(up_to) <= block->last_valid_packet)
        return;
    if (!tunables_.packet_resend_flag || block->error_flag == 1 || up_to >= block->packet_num)
        return;
    const double ratio = tunables_.packet_resend_ratio.load();
    const double budget = static_cast<double>(block->packet_num) * ratio;
    if (block->packet_resend_num >= budget)
        return;
    const long long timeout = tunables_.packet_timeout.load();

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
            log_->log_info(gvsp_log_info_level,
                           "[function:packet_resend_check] packet resend number over the ratio_: channel: %d, block "
                           "id: %d, block->packet_resend_num: %d, ratio: %f.",
                           channel_index_, block->block_id, block->packet_resend_num, ratio);
            return false;
        }
        out->resends.push_back(ResendRange{block->block_id, static_cast<uint32_t>(first), static_cast<uint32_t>(last)});
        ++block->packet_resend_num;
        if (gvsp_log_debug_level)
            log_->log_debug(gvsp_log_debug_level,
                            "[function:packet_resend_check] Check the resend data info: channel: %d, block id: %d, "
                            "resend_first_packet_id: %d, resend_last_packet_id: %d, resend time_us: %d.",
                            channel_index_, block->block_id, first, last, static_cast<int>(now));
        for (int i = first; i <= last; ++i) {
            block->packet_states[i].resend_time_us = now;
            ++block->packet_states[i].requests;
        }
        counters.resend_request_packet_num += static_cast<uint32_t>(last - first + 1);
        return true;
    };
    for (int i = start; i <= static_cast<int>(up_to); ++i) {
        const PacketState& st = block->packet_states[i];
        const bool missing =
            !st.received && (st.resend_time_us == 0 || now - st.resend_time_us > due_after(st.requests, timeout));
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

void BlockAssembler::check_block_complete(StreamBlockData* current, int64_t now, AssemblerOutput* out)
{
    begin_step(out);
    while (all_blocks) {
        StreamBlockData* block = static_cast<StreamBlockData*>(all_blocks->data);
        uint32_t status;
        if (block->last_valid_packet == static_cast<int32_t>(block->packet_num) - 1) {
            log_->log_info(gvsp_log_info_level,
                           "[function:check_block_complete] Write data that has been completely received, block id: "
                           "%d, channel index: %d, last valid packet: %d, the packet number is %d.",
                           block->block_id, channel_index_, block->last_valid_packet, block->packet_num);
            status = BLOCK_COMPLETE;
        } else if (!tunables_.packet_resend_flag && all_blocks->next) {
            log_->log_info(
                gvsp_log_info_level,
                "[function:check_block_complete] No resend request and the next block data is comming, block id: %d.",
                block->block_id);
            status = BLOCK_SUPERSEDED;
        } else if (now - block->last_time_us > static_cast<long long>(tunables_.block_timeout.load())) {
            log_->log_info(gvsp_log_info_level,
                           "[function:check_block_complete] Write data wait time out, block id: %d.", block->block_id);
            status = BLOCK_TIMEOUT;
        } else if (block->error_flag == 1) {
            log_->log_info(gvsp_log_info_level,
                           "[function:check_block_complete] Write data received error packet, block id: %d.",
                           block->block_id);
            status = BLOCK_ERROR;
        } else {
            break;
        }
        all_blocks = list_remove_first(all_blocks);
        hand_over(block, status, now, out);
    }
    // A block gone silent is asked for what it misses; so is one that a
    // newer block follows already, since its tail will not come by itself.
    const long long timeout = tunables_.packet_timeout.load();
    for (_List* node = all_blocks; node; node = node->next) {
        StreamBlockData* block = static_cast<StreamBlockData*>(node->data);
        if (block != current && (node->next || now - block->last_time_us >= timeout))
            packet_resend_check(block, block->packet_num - 1, now, out);
    }
}

void BlockAssembler::flush_blocks(int64_t now, AssemblerOutput* out)
{
    begin_step(out);
    log_->log_info(gvsp_log_info_level, "[function:flush_blocks] Start to flush blocks.");
    while (all_blocks) {
        StreamBlockData* block = static_cast<StreamBlockData*>(all_blocks->data);
        all_blocks = list_remove_first(all_blocks);
        hand_over(block, BLOCK_FLUSHED, now, out);
    }
    log_->log_info(gvsp_log_info_level, "[function:flush_blocks] Flush blocks end.");
}

void BlockAssembler::hand_over(StreamBlockData* block, uint32_t status, int64_t now, AssemblerOutput* out)
{
    if (block == newest_)
        newest_ = nullptr;
    block->status = status;
    if (status == BLOCK_COMPLETE) {
        ++counters.complete_block_num;
    } else if (status == BLOCK_FLUSHED) {
        ++counters.flushed_block_num;
    } else {
        ++counters.incomplete_block_num;
        counters.lost_packet_num +=
            static_cast<uint32_t>(static_cast<int32_t>(block->packet_num) - 1 - block->last_valid_packet);
        if (status == BLOCK_TIMEOUT)
            ++counters.timeout_block_num;
        if (status == BLOCK_ERROR)
            ++counters.error_block_num;
    }
    PhotoInfo* frame = block->photo;
    if (status != BLOCK_COMPLETE) {
        // Frame buffers are reused: what never came must not show an
        // earlier frame's bytes.
        char* pixels = frame->pixel;
        for (uint32_t id = 1; id + 1 < block->packet_num; ++id) {
            const PacketRegion r = packet_region(id);
            if (!block->packet_states[id].received && r.offset < r.end)
                std::memset(pixels + r.offset, 0, static_cast<size_t>(r.end - r.offset));
        }
    }
    if (!block->packet_states[0].received) {
        // No leader: the frame carries the channel's configured geometry.
        frame->pixel_format = info_.pixel_format;
        frame->pixel_height = info_.height;
        frame->pixel_width = info_.width;
        frame->roi.size_x = info_.roi_size_x;
        frame->roi.size_y = info_.roi_size_y;
        frame->roi.offset_x = info_.offset_x;
        frame->roi.offset_y = info_.offset_y;
        log_->log_debug(gvsp_log_debug_level, "[function:write_recive_data] there is no head recivecd of block_id: %d.",
                        block->block_id);
    }
    // Statistics first, so that a frame a caller holds is already counted.
    statistics.RecieveTimeStatistics(static_cast<int>(now - block->first_time_us));
    statistics.BlockRateStatistics(now);
    frames_.deliver(frame, status);
    log_->log_info(gvsp_log_info_level,
                   "[function:write_recive_data] write data statistics data. block : %d, channel_index_: %d.",
                   block->block_id, channel_index_);
    retired_.push_back(block);
    out->finished.push_back(block);
}
