// The frame buffers of one stream and the two queues they travel through:
// free buffers wait in free_queue, finished frames in ready_queue. A buffer
// is in exactly one place: a queue, a block under reassembly, or with the
// caller who took it off ready_queue (to copy it, or borrowed). The budget
// max_buffer_length bounds how many exist; when callers fall behind, new
// frames find no buffer and waiting frames are never overwritten.
#ifndef VORA_FRAME_POOL_H
#define VORA_FRAME_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "log/vora_cameralog.h"
#include "stream/frame_tap.h"
#include "stream/vora_asyncqueue.h"
#include "vora_base_type.h"

// A frame lent to a tap is shared: capture reads it from ready_queue while
// the tap's reader reads it too, and it goes back to free_queue when both are
// done. A frame lent to a borrower (BorrowFrame) is held by it in place of
// the ready queue until it is given back. Frames out with a tap, a borrower
// or both are extra to the budget, each counted once, so neither recording
// nor a caller holding frames takes a buffer that reception would have had.
class FramePool {
public:
    FramePool(uint32_t payload_size, const std::atomic<uint32_t>& max_buffer_length, cameralog* log);
    ~FramePool();  // waits for lent frames, then frees every buffer
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // False when a queue could not be created.
    bool ok() const { return free_queue && ready_queue; }

    // A buffer for a new block: reused from free_queue, or allocated while
    // the budget allows. Null when every buffer is taken or memory is short.
    PhotoInfo* obtain();
    // A finished frame, for the capturing threads and the tap if one is
    // attached (status is the block's at hand-over).
    void deliver(PhotoInfo* frame, uint32_t status = 0);
    // A buffer back for reuse, by one of those who hold it.
    void recycle(PhotoInfo* frame);
    // A frame the tap lent back.
    void give_back(PhotoInfo* frame);
    // A frame taken off ready_queue goes out to a borrower, and comes back
    // for reuse; only then may the assembler write into it again.
    void lend(PhotoInfo* frame) { mark_out(frame, OUT_LOAN); }
    void take_back(PhotoInfo* frame);

    // Lends every frame delivered from now on to `tap`, until detached.
    void attach_tap(FrameTap* tap);
    void detach_tap();
    uint32_t lent() const { return lent_.load(); }
    // Buffers out with a tap or a borrower: how far the budget stretches.
    uint32_t out_of_budget() const { return out_.load(); }
    // Moves the oldest finished frame back for reuse; false when none waits.
    bool flush_one();

    uint32_t buffers() const { return buffer_count.load(); }

    static void free_frame(PhotoInfo* frame);

    _AsyncQueue* free_queue;
    _AsyncQueue* ready_queue;

    struct Slot;

private:
    enum : uint8_t { OUT_TAP = 1, OUT_LOAN = 2 };
    void mark_out(PhotoInfo* frame, uint8_t why);
    void mark_in(PhotoInfo* frame, uint8_t why);

    const uint32_t payload_size_;
    const std::atomic<uint32_t>& max_buffer_length;
    std::atomic<uint32_t> buffer_count{0};
    cameralog* log_;

    std::atomic<bool> tapped_{false};  // lets deliver skip the lock when no tap is attached
    std::mutex tap_mutex_;
    FrameTap* tap_ = nullptr;
    std::atomic<uint32_t> lent_{0};  // frames the tap holds
    std::atomic<uint32_t> out_{0};   // buffers the tap or a borrower holds
    std::mutex lent_mutex_;
    std::condition_variable lent_back_;
};

#endif
