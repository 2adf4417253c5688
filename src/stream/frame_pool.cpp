#include "stream/frame_pool.h"

#include <cstdlib>

FramePool::FramePool(uint32_t payload_size, const std::atomic<uint32_t>& max_length, cameralog* log)
    : payload_size_(payload_size), max_buffer_length(max_length), log_(log)
{
    free_queue = async_queue_new();
    if (!free_queue)
        log_->log_error(gvsp_log_error_level,
                        "[function:GigeStream] GigeStream constructor create stream_data.in_buffer the first time error.");
    ready_queue = async_queue_new();
    if (!ready_queue)
        log_->log_error(gvsp_log_error_level,
                        "[function:GigeStream] GigeStream constructor create stream_data.in_buffer the second time error.");
}

FramePool::~FramePool()
{
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
    std::free(frame);
}

PhotoInfo* FramePool::obtain()
{
    // A lowered limit is met by freeing surplus buffers as they come back.
    while (buffer_count > max_buffer_length) {
        PhotoInfo* surplus = static_cast<PhotoInfo*>(async_queue_try_pop(free_queue));
        if (!surplus) {
            log_->log_error(gvsp_log_error_level, "[function:find_block_data] Sending data, no space to write data");
            return nullptr;
        }
        free_frame(surplus);
        --buffer_count;
    }
    PhotoInfo* frame = static_cast<PhotoInfo*>(async_queue_try_pop(free_queue));
    if (frame)
        return frame;
    if (buffer_count >= max_buffer_length)
        return nullptr;
    // Zeroed, so no field or byte of a delivered frame is ever uninitialised.
    frame = static_cast<PhotoInfo*>(std::calloc(1, sizeof(PhotoInfo)));
    if (!frame) {
        log_->log_error(gvsp_log_error_level, "[function:find_block_data] Buffer malloc error.");
        return nullptr;
    }
    frame->pixel = static_cast<char*>(std::calloc(payload_size_ ? payload_size_ : 1, 1));
    if (!frame->pixel) {
        std::free(frame);
        log_->log_error(gvsp_log_error_level, "[function:find_block_data] Buffer->pixel malloc error.");
        return nullptr;
    }
    ++buffer_count;
    log_->log_info(gvsp_log_info_level, "[function:find_block_data] new a buffer and the length is %d.", payload_size_);
    return frame;
}

bool FramePool::flush_one()
{
    void* frame = async_queue_try_pop(ready_queue);
    if (!frame)
        return false;
    async_queue_push(free_queue, frame);
    return true;
}
