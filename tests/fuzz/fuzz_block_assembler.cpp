// The receiver's core under arbitrary datagram sequences and coalesced
// trains, whole or scattered into frames as the zero-copy receive loop does,
// clock steps, captures, tunable changes, and frames borrowed and given
// back. It must never crash or write outside a frame (the sanitizers
// watch), never hand over a frame that is already waiting, never land or
// write anything in a frame out on loan, and never own more buffers than
// its budget and the loans allowed.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <vector>

#include "fuzz_check.h"
#include "kernel_scatter.h"
#include "stream/block_assembler.h"
#include "stream/frame_loans.h"
#include "stream/frame_pool.h"
#include "stream/receive_batch.h"
#include "vora_pixel_format.h"

namespace {

constexpr size_t kSlots = 8;

// Reads the script the fuzzer wrote, byte by byte; zeros once it runs out.
struct Script {
    const uint8_t* p;
    size_t left;
    uint8_t u8()
    {
        if (!left)
            return 0;
        --left;
        return *p++;
    }
    uint16_t u16() { return static_cast<uint16_t>(u8() << 8 | u8()); }
};

void check(bool ok)
{
    if (!ok)
        std::abort();
}

// A frame out on loan and its bytes as they were lent.
struct Loan {
    PhotoInfo frame;
    std::vector<char> bytes;
    bool intact() const { return std::memcmp(frame.pixel, bytes.data(), bytes.size()) == 0; }
};

bool lands_in(const Landing& l, const Loan& loan)
{
    const uint8_t* begin = reinterpret_cast<const uint8_t*>(loan.frame.pixel);
    return l.data < begin + loan.bytes.size() && begin < l.data + l.length;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Script in{data, size};
    // The channel: a small frame cut into small packets, both chosen by the input.
    DataStreamPrivateInfo info{};
    info.payload_size = 1 + in.u16() % 4096;
    const uint32_t chunk = 1 + in.u8() % 512;
    info.packet_count = (info.payload_size + chunk - 1) / chunk;
    info.width = info.roi_size_x = 8;
    info.height = info.roi_size_y = 8;
    info.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
    const long long tick_frequency = in.u8() % 2 ? 1000000000LL : 0;

    static cameralog log;  // all levels off
    StreamTunables tunables;
    StreamClock clock;
    clock.set_manual(1'000'000'000, 1'600'000'000'000'000);
    FramePool pool(info.payload_size, tunables.max_buffer_length, &log);
    uint32_t most_buffers = tunables.max_buffer_length;
    size_t most_loans = 0;
    {
        FrameLoans loans(pool);
        std::vector<Loan> lent;  // oldest first
        BlockAssembler assembler(ChannelSetup{info, 0, chunk, tick_frequency}, tunables, pool, clock, &log);
        AssemblerOutput out;
        std::set<PhotoInfo*> waiting;  // handed over, not yet captured
        size_t handed_over = 0;
        auto take = [&](const AssemblerOutput& o) {
            for (StreamBlockData* b : o.finished) {
                check(waiting.insert(b->photo).second);
                ++handed_over;
            }
            for (const ResendRange& r : o.resends)
                check(r.first <= r.last && r.last < assembler.packet_num());
        };
        std::vector<uint8_t> datagram;
        ReceiveBatch batch(kSlots, gvsp::HEADER_LEN + chunk);
        Landing landings[ReceiveBatch::TRAIN_MAX];
        while (in.left) {
            switch (in.u8() % 7) {
            case 0: {  // a datagram, whole
                const size_t len = in.u16() % 1600;
                datagram.assign(len, 0);
                for (size_t i = 0; i < len && in.left; ++i)
                    datagram[i] = in.u8();
                // Exactly the bytes received: a heap copy of that size lets
                // the sanitizer see any read past its end.
                std::unique_ptr<uint8_t[]> exact(new uint8_t[len ? len : 1]);
                if (len)
                    std::memcpy(exact.get(), datagram.data(), len);
                StreamBlockData* block = assembler.process_packet(exact.get(), len, clock.monotonic_us(), &out);
                take(out);
                assembler.check_block_complete(block, clock.monotonic_us(), &out);
                take(out);
                break;
            }
            case 1: {  // datagrams or coalesced trains, scattered into the frames where they are expected
                const uint8_t shape = in.u8();
                const size_t per_message = shape & 1 ? ReceiveBatch::TRAIN_MAX : 1;
                const size_t want = shape & 1 ? batch.train_landings() : kSlots;
                const size_t count = 1 + (shape >> 1) % kSlots;
                const size_t predicted = assembler.predict_landings(landings, want, ReceiveBatch::HEAD_DATA);
                for (size_t k = 0; k < predicted; ++k)
                    for (const Loan& loan : lent)
                        check(!lands_in(landings[k], loan));
                batch.prepare(landings, predicted, per_message);
                for (size_t k = 0; k < count; ++k) {
                    // A train: same-size segments, the last one possibly shorter.
                    std::vector<std::vector<uint8_t>> train(1 + in.u8() % 6);
                    const size_t len = in.u16() % 1600;
                    for (size_t t = 0; t < train.size(); ++t) {
                        const size_t cut = t + 1 == train.size() ? std::min<size_t>(len, in.u8()) : 0;
                        train[t].assign(len - cut, 0);
                        for (size_t i = 0; i < train[t].size() && in.left; ++i)
                            train[t][i] = in.u8();
                    }
                    kernel_coalesce(batch, k, train, 0x7F000001, 3956);
                }
                batch.settle(count);
                for (size_t k = 0; k < batch.datagrams(); ++k) {
                    StreamBlockData* block = assembler.process_packet(batch.datagram(k), clock.monotonic_us(), &out);
                    take(out);
                    assembler.check_block_complete(block, clock.monotonic_us(), &out);
                    take(out);
                }
                break;
            }
            case 2:  // time passes with nothing to read
                clock.advance(static_cast<int64_t>(in.u16()) * 16);
                assembler.check_block_complete(nullptr, clock.monotonic_us(), &out);
                take(out);
                break;
            case 3:  // a capture
                if (PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(pool.ready_queue))) {
                    check(waiting.erase(frame) == 1);
                    check(frame->payload_size == info.payload_size);
                    pool.recycle(frame);
                }
                break;
            case 4: {  // a caller changes a tunable
                const uint8_t which = in.u8(), value = in.u8();
                switch (which % 5) {
                case 0:
                    tunables.packet_resend_flag = value & 1;
                    break;
                case 1:
                    tunables.packet_resend_ratio = (value % 11) / 10.0;
                    break;
                case 2:
                    tunables.max_buffer_length = 1 + value % 6;
                    break;
                case 3:
                    tunables.packet_timeout = 1 + value * 500u;
                    break;
                case 4:
                    tunables.block_timeout = 1 + value * 1000u;
                    break;
                }
                most_buffers = std::max(most_buffers, tunables.max_buffer_length.load());
                break;
            }
            case 5:  // a borrower takes the oldest frame, unless at the limit
                if (loans.reserve() == VORA_OK) {
                    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(pool.ready_queue));
                    if (frame) {
                        check(waiting.erase(frame) == 1);
                        lent.push_back(
                            Loan{*frame, std::vector<char>(frame->pixel, frame->pixel + frame->payload_size)});
                    }
                    loans.settle(frame);
                    most_loans = std::max(most_loans, lent.size());
                } else {
                    check(lent.size() == loans.limit());
                }
                break;
            case 6:  // one comes back, as it was lent; a second return is refused
                if (!lent.empty()) {
                    const size_t k = in.u8() % lent.size();
                    check(lent[k].intact());
                    check(loans.give_back(lent[k].frame.pixel) == VORA_OK);
                    check(loans.give_back(lent[k].frame.pixel) == VORA_ERR_NOT_LENT);
                    lent.erase(lent.begin() + static_cast<std::ptrdiff_t>(k));
                }
                break;
            }
            for (const Loan& loan : lent)
                check(loan.intact());
            check(pool.buffers() <= most_buffers + most_loans);
        }
        assembler.flush_blocks(clock.monotonic_us(), &out);
        take(out);
        const StreamCounters& c = assembler.counters;
        check(c.complete_block_num + c.incomplete_block_num + c.flushed_block_num == handed_over);
        check(assembler.blocks_in_progress() == 0);
        check(static_cast<size_t>(async_queue_length(pool.ready_queue)) == waiting.size());
        for (const Loan& loan : lent) {
            check(loan.intact());
            check(loans.give_back(loan.frame.pixel) == VORA_OK);
        }
        check(loans.statistics().out == 0);
    }
    return 0;
}
