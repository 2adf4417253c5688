// The book of frames a stream has out on loan to callers (BorrowFrame):
// which buffers are out, keyed by their pixel pointer, how many may be, and
// what happened so far. A borrower first takes a place under the limit, then
// a frame off the ready queue; a refused borrower never touches the queue.
// Giving back and closing may come from any thread.
#ifndef VORA_FRAME_LOANS_H
#define VORA_FRAME_LOANS_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "stream/frame_pool.h"
#include "vora_base_type.h"
#include "vora_qelcamera_api.h"

class FrameLoans {
public:
    static constexpr uint32_t MIN_LIMIT = 1, MAX_LIMIT = 64, DEFAULT_LIMIT = 4;

    explicit FrameLoans(FramePool& pool) : pool_(pool) {}
    ~FrameLoans() { reclaim(); }
    FrameLoans(const FrameLoans&) = delete;
    FrameLoans& operator=(const FrameLoans&) = delete;

    // A place for one more frame: VORA_OK, VORA_ERR_LOAN_LIMIT (counted as
    // refused), or VORA_ERR_STREAM_MISSING once the stream is closing.
    int reserve();
    // Ends a reservation: with the frame taken off the ready queue it goes
    // out on loan, with null the place is freed again.
    void settle(PhotoInfo* frame);
    // VORA_OK, or VORA_ERR_NOT_LENT for a pixel pointer not out on loan.
    int give_back(const char* pixel);

    int set_limit(unsigned int frames);
    uint32_t limit();
    VoraLoanStatistics statistics();

    // Refuses further borrowing and waits up to `wait` for every frame out
    // (and every borrower under way) to come back; true when all did.
    bool close(std::chrono::milliseconds wait);
    // Takes back every frame still out and forgets its loan; how many.
    uint32_t reclaim();

private:
    FramePool& pool_;
    std::mutex mutex_;
    std::condition_variable back_;
    std::unordered_map<const char*, PhotoInfo*> out_;
    uint32_t reserved_ = 0;
    uint32_t limit_ = DEFAULT_LIMIT;
    bool closing_ = false;
    uint64_t lent_ = 0, returned_ = 0, refused_ = 0;
};

#endif
