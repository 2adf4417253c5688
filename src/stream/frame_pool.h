// The frame buffers of one stream and the two queues they travel through:
// free buffers wait in free_queue, finished frames in ready_queue. A buffer
// is in exactly one place: a queue, or a block under reassembly. The budget
// max_buffer_length bounds how many exist; when callers fall behind, new
// frames find no buffer and waiting frames are never overwritten.
#ifndef VORA_FRAME_POOL_H
#define VORA_FRAME_POOL_H

#include <atomic>
#include <cstdint>

#include "log/vora_cameralog.h"
#include "stream/vora_asyncqueue.h"
#include "vora_base_type.h"

class FramePool {
public:
    FramePool(uint32_t payload_size, const std::atomic<uint32_t>& max_buffer_length, cameralog* log);
    ~FramePool();  // frees every buffer in the queues
    FramePool(const FramePool&) = delete;
    FramePool& operator=(const FramePool&) = delete;

    // False when a queue could not be created.
    bool ok() const { return free_queue && ready_queue; }

    // A buffer for a new block: reused from free_queue, or allocated while
    // the budget allows. Null when every buffer is taken or memory is short.
    PhotoInfo* obtain();
    // A finished frame, for the capturing threads.
    void deliver(PhotoInfo* frame) { async_queue_push(ready_queue, frame); }
    // A buffer back for reuse.
    void recycle(PhotoInfo* frame) { async_queue_push(free_queue, frame); }
    // Moves the oldest finished frame back for reuse; false when none waits.
    bool flush_one();

    uint32_t buffers() const { return buffer_count.load(); }

    static void free_frame(PhotoInfo* frame);

    _AsyncQueue* free_queue;
    _AsyncQueue* ready_queue;

private:
    const uint32_t payload_size_;
    const std::atomic<uint32_t>& max_buffer_length;
    std::atomic<uint32_t> buffer_count{0};
    cameralog* log_;
};

#endif
