// The receiver's core, free of sockets, threads and the system clock: GVSP
// datagrams go in one at a time with the time they arrived; blocks are
// reassembled in frame buffers, and each step says what the stream must do
// next: the packet ranges to ask the camera for again, and the blocks that
// were handed over (their frames are in the pool's ready queue by then).
//
// It owns the blocks under reassembly, the resend bookkeeping, the counters
// and the statistics; it reads the tunables at every use, so callers may
// change them while it works. One thread drives it.
#ifndef VORA_BLOCK_ASSEMBLER_H
#define VORA_BLOCK_ASSEMBLER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gvsp_codec.h"
#include "log/vora_cameralog.h"
#include "stream/frame_pool.h"
#include "stream/stream_clock.h"
#include "stream/stream_records.h"
#include "stream/stream_state.h"
#include "stream/stream_statistics.h"
#include "stream/vora_asyncqueue.h"

// One received datagram. Its first bytes are contiguous in `head`; a
// receiver that lets the kernel scatter the rest passes it as `body` (which
// may already lie at its final place in a frame) and then `tail`.
struct Datagram {
    const uint8_t* head = nullptr;
    size_t head_len = 0;
    const uint8_t* body = nullptr;
    size_t body_len = 0;
    const uint8_t* tail = nullptr;
    size_t tail_len = 0;
    bool in_train = false;  // came in a train the kernel coalesced

    size_t length() const { return head_len + body_len + tail_len; }
    // Bytes [from, from + count) of the datagram to `dest`, leaving alone
    // what already lies there.
    void copy_out(size_t from, size_t count, uint8_t* dest) const;
};

// Where a payload packet expected next will put its data, past the bytes
// that arrive with its header.
struct Landing {
    uint8_t* data;
    size_t length;
    uint16_t block_id;
    uint32_t packet_id;
};

struct ResendRange {
    uint32_t block_id;
    uint32_t first;
    uint32_t last;
};

// What one step asks of the stream; every step starts it afresh.
// `finished` lists the blocks handed over, oldest first; their records stay
// readable until the next step.
struct AssemblerOutput {
    std::vector<ResendRange> resends;
    std::vector<StreamBlockData*> finished;
};

// The channel as StreamOn opened it.
struct ChannelSetup {
    DataStreamPrivateInfo info;
    uint16_t channel;
    uint32_t packet_payload_size;  // data bytes per payload packet
    long long tick_frequency;      // camera timestamp ticks per second
};

class BlockAssembler {
public:
    BlockAssembler(const ChannelSetup& setup, const StreamTunables& tunables, FramePool& frames,
                   const StreamClock& clock, cameralog* log);
    // Frames of blocks still under reassembly go back to the pool unseen.
    ~BlockAssembler();
    BlockAssembler(const BlockAssembler&) = delete;
    BlockAssembler& operator=(const BlockAssembler&) = delete;

    // One datagram received at `now_us` (monotonic): the block it went to,
    // or null when it was dropped.
    StreamBlockData* process_packet(const Datagram& datagram, int64_t now_us, AssemblerOutput* out);
    StreamBlockData* process_packet(const uint8_t* packet, size_t length, int64_t now_us, AssemblerOutput* out);
    // A datagram that is not the camera's: counted, never read.
    void reject_packet();
    // Hands over what is decided, oldest block first, and asks again for
    // what blocks other than `current` are still missing.
    void check_block_complete(StreamBlockData* current, int64_t now_us, AssemblerOutput* out);
    // Hands over every block under reassembly with status 8.
    void flush_blocks(int64_t now_us, AssemblerOutput* out);

    // Up to `max` landings for the datagrams expected next, in order, each
    // starting `skip` data bytes into its packet's place. Only places of
    // packets not received yet are offered.
    // A landing with no data keeps the place of a leader or trailer.
    size_t predict_landings(Landing* out, size_t max, size_t skip);

    size_t blocks_in_progress() const;
    uint32_t packet_num() const { return packet_num_; }

    StreamCounters counters;
    StreamStatistics statistics;

private:
    // Where a payload packet's data lies in its frame: [offset, end), empty
    // past the end of the payload.
    struct PacketRegion {
        uint64_t offset;
        uint64_t end;
    };
    PacketRegion packet_region(uint32_t packet_id) const;
    enum class Screening { Fine, TooShort, DoesNotFit };
    // Whether a data datagram's own fields can be read and fit the channel.
    Screening screen(const gvsp::Header& header, const Datagram& datagram, gvsp::Leader* leader) const;
    bool follows_new_sequence(const gvsp::Header& header);
    void begin_step(AssemblerOutput* out);
    StreamBlockData* find_block_data(const gvsp::Header& header, int64_t now_us);
    StreamBlockData* open_block(const gvsp::Header& header, int inc, int64_t now_us);
    void process_packet_leader(StreamBlockData* block, const gvsp::Header& header, const gvsp::Leader& leader);
    void process_packet_payload(StreamBlockData* block, const Datagram& datagram, unsigned packet_id);
    void process_packet_tailer(StreamBlockData* block, unsigned packet_id);
    void packet_resend_check(StreamBlockData* block, unsigned up_to, int64_t now_us, AssemblerOutput* out);
    void hand_over(StreamBlockData* block, uint32_t status, int64_t now_us, AssemblerOutput* out);
    static void free_block(StreamBlockData* block);

    const DataStreamPrivateInfo info_;
    const uint16_t channel_index_;
    const uint32_t packet_payload_size_;
    const uint32_t payload_size_;
    const uint32_t packet_num_;  // leader, payload packets and trailer
    const long long tick_frequency_;
    const StreamTunables& tunables_;
    FramePool& frames_;
    const StreamClock& clock_;
    cameralog* log_;

    _List* all_blocks = nullptr;             // under reassembly, oldest first
    StreamBlockData* newest_ = nullptr;      // the last of them, while under reassembly
    std::vector<StreamBlockData*> retired_;  // handed over in the previous step
    uint16_t last_block_id_ = 0;
    bool seen_block_ = false;
    PhotoInfo* next_frame_ = nullptr;  // taken ahead for the block expected next
    uint16_t next_frame_block_id_ = 0;
    bool give_back_next_frame_ = false;
    bool has_restart_candidate_ = false;
    uint16_t restart_candidate_ = 0;
};

// Camera ticks to nanoseconds, saturating instead of overflowing.
uint64_t ticks_to_ns(uint64_t ticks, long long tick_frequency);

#endif
