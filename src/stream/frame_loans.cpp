#include "stream/frame_loans.h"

int FrameLoans::reserve()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_)
        return VORA_ERR_STREAM_MISSING;
    // Borrowers still waiting for a frame hold their place: two of them
    // cannot both take the last one.
    if (out_.size() + reserved_ >= limit_) {
        ++refused_;
        return VORA_ERR_LOAN_LIMIT;
    }
    ++reserved_;
    return VORA_OK;
}

void FrameLoans::settle(PhotoInfo* frame)
{
    if (frame)
        pool_.lend(frame);
    // Notified under the lock: a closing stream may be freed as soon as its
    // waiter can take the lock again.
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
    if (frame) {
        out_.emplace(frame->pixel, frame);
        ++lent_;
    }
    back_.notify_all();
}

int FrameLoans::give_back(const char* pixel)
{
    PhotoInfo* frame = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto it = pixel ? out_.find(pixel) : out_.end();
        if (it == out_.end())
            return VORA_ERR_NOT_LENT;
        frame = it->second;
        out_.erase(it);
        ++returned_;
        // Back in the pool before the loan ends, so that a closing stream
        // that sees no loan left finds every buffer where it frees them.
        pool_.take_back(frame);
        back_.notify_all();
    }
    return VORA_OK;
}

int FrameLoans::set_limit(unsigned int frames)
{
    if (frames < MIN_LIMIT || frames > MAX_LIMIT)
        return VORA_ERR_INVALID_ARG;
    std::lock_guard<std::mutex> lock(mutex_);
    limit_ = frames;
    return VORA_OK;
}

uint32_t FrameLoans::limit()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return limit_;
}

VoraLoanStatistics FrameLoans::statistics()
{
    std::lock_guard<std::mutex> lock(mutex_);
    VoraLoanStatistics s{};
    s.out = static_cast<uint32_t>(out_.size());
    s.limit = limit_;
    s.lent = lent_;
    s.returned = returned_;
    s.refused = refused_;
    return s;
}

bool FrameLoans::close(std::chrono::milliseconds wait)
{
    std::unique_lock<std::mutex> lock(mutex_);
    closing_ = true;
    return back_.wait_for(lock, wait, [&] { return out_.empty() && reserved_ == 0; });
}

uint32_t FrameLoans::reclaim()
{
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t count = static_cast<uint32_t>(out_.size());
    for (const auto& loan : out_)
        pool_.take_back(loan.second);
    out_.clear();
    return count;
}
