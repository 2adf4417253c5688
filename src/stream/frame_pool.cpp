#include "stream/frame_pool.h"

#include <cstdlib>
#include <new>

// Every buffer of the pool: its frame record first (so that the record's
// address is the slot's), how many hold it (the ready queue, a capturer or
// a borrower, and a tap), and who of the tap and a borrower has it out.
struct FramePool::Slot {
    PhotoInfo frame;
    std::atomic<uint32_t> holders;
    std::atomic<uint8_t> out;
};

namespace {

FramePool::Slot* slot_of(PhotoInfo* frame)
{
    return reinterpret_cast<FramePool::Slot*>(frame);
}

}  // namespace

FramePool::FramePool(uint32_t payload_size, const std::atomic<uint32_t>& max_length, cameralog* log)
    : payload_size_(payload_size), max_buffer_length(max_length), log_(log)
{
    free_queue = async_queue_new();
    if (!free_queue)
        log_->log_error(
            gvsp_log_error_level,
            "[function:GigeStream] GigeStream constructor create stream_data.in_buffer the first time error.");
    ready_queue = async_queue_new();
    if (!ready_queue)
        log_->log_error(
            gvsp_log_error_level,
            "[function:GigeStream] GigeStream constructor create stream_data.in_buffer the second time error.");
}

FramePool::~FramePool()
{
    detach_tap();
    {
        // A tap's reader still holding frames gives them back shortly.
        std::unique_lock<std::mutex> lock(lent_mutex_);
        lent_back_.wait(lock, [&] { return lent_.load() == 0; });
    }
    for (_AsyncQueue* q : {free_queue, ready_queue}) {
        if (!q)
            continue;
        while (void* item = async_queue_try_pop(q))
            free_frame(static_cast<PhotoInfo*>(item));
        async_queue_destroy(q);
    }
}

void FramePool::free_frame(PhotoInfo* frame)
{
    std::free(frame->pixel);
    frame->pixel = nullptr;
    slot_of(frame)->~Slot();
    std::free(frame);
}

PhotoInfo* FramePool::obtain()
{
    // A lowered limit is met by freeing surplus buffers as they come back;
    // frames out with a tap or a borrower are extra to the budget.
    while (buffer_count > max_buffer_length + out_) {
        PhotoInfo* surplus = static_cast<PhotoInfo*>(async_queue_try_pop(free_queue));
        if (!surplus) {
            log_->log_error(gvsp_log_error_level, "[function:find_block_data] Sending data, no space to write data");
            return nullptr;
        }
        free_frame(surplus);
        --buffer_count;
    }
    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(free_queue));
    if (frame) {
        slot_of(frame)->holders = 1;
        return frame;
    }
    if (buffer_count >= max_buffer_length + out_)
        return nullptr;
    // Zeroed, so no field or byte of a delivered frame is ever uninitialised.
    void* memory = std::calloc(1, sizeof(Slot));
    if (!memory) {
        log_->log_error(gvsp_log_error_level, "[function:find_block_data] Buffer malloc error.");
        return nullptr;
    }
    Slot* slot = new (memory) Slot{};
    slot->holders = 1;
    frame = &slot->frame;
    frame->pixel = static_cast<char*>(std::calloc(payload_size_ ? payload_size_ : 1, 1));
    if (!frame->pixel) {
        slot->~Slot();
        std::free(memory);
        log_->log_error(gvsp_log_error_level, "[function:find_block_data] Buffer->pixel malloc error.");
        return nullptr;
    }
    ++buffer_count;
    log_->log_info(gvsp_log_info_level, "[function:find_block_data] new a buffer and the length is %d.", payload_size_);
    return frame;
}

void FramePool::deliver(PhotoInfo* frame, uint32_t status)
{
    if (tapped_.load(std::memory_order_acquire)) {
        std::lock_guard<std::mutex> lock(tap_mutex_);
        if (tap_) {
            // Counted as lent before the tap's reader can give it back.
            slot_of(frame)->holders = 2;
            ++lent_;
            mark_out(frame, OUT_TAP);
            if (!tap_->offer(TappedFrame{frame, this, status, uint64_t(get_real_time()) * 1000})) {
                mark_in(frame, OUT_TAP);
                slot_of(frame)->holders = 1;
                --lent_;
            }
        }
    }
    async_queue_push(ready_queue, frame);
}

void FramePool::recycle(PhotoInfo* frame)
{
    if (slot_of(frame)->holders.fetch_sub(1) == 1)
        async_queue_push(free_queue, frame);
}

void FramePool::mark_out(PhotoInfo* frame, uint8_t why)
{
    if ((slot_of(frame)->out.fetch_or(why) & (OUT_TAP | OUT_LOAN)) == 0)
        ++out_;
}

void FramePool::mark_in(PhotoInfo* frame, uint8_t why)
{
    if (slot_of(frame)->out.fetch_and(static_cast<uint8_t>(~why)) == why)
        --out_;
}

void FramePool::take_back(PhotoInfo* frame)
{
    // Marked in before it can reach free_queue: once there, it may be reused
    // and lent again at once.
    mark_in(frame, OUT_LOAN);
    recycle(frame);
}

void FramePool::give_back(PhotoInfo* frame)
{
    mark_in(frame, OUT_TAP);
    recycle(frame);
    // Notified under the lock: the pool's destructor may return as soon as
    // it can take the lock again.
    std::lock_guard<std::mutex> lock(lent_mutex_);
    --lent_;
    lent_back_.notify_all();
}

void FramePool::attach_tap(FrameTap* tap)
{
    std::lock_guard<std::mutex> lock(tap_mutex_);
    tap_ = tap;
    tapped_.store(tap != nullptr, std::memory_order_release);
}

void FramePool::detach_tap()
{
    attach_tap(nullptr);
}

bool FramePool::flush_one()
{
    void* frame = async_queue_try_pop(ready_queue);
    if (!frame)
        return false;
    recycle(static_cast<PhotoInfo*>(frame));
    return true;
}
