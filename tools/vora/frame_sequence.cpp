// Missing frames of a channel, by cause.
#include "frame_sequence.h"

namespace vora_tool {

unsigned ids_between(uint16_t earlier, uint16_t later)
{
    if (earlier == 0 || later == 0)
        return 0;
    int step = static_cast<int>(later) - static_cast<int>(earlier);
    if (step <= 0)
        step += 65535;
    return step < 32768 ? static_cast<unsigned>(step - 1) : 0;
}

void FrameSequence::start(unsigned budget, unsigned no_buffer)
{
    *this = FrameSequence();
    budget_ = budget ? budget : 1;
    readings_.push_back(no_buffer);
}

void FrameSequence::taken(int complete, uint16_t block_id, unsigned no_buffer)
{
    readings_.push_back(no_buffer);
    while (readings_.size() > budget_ + 2)
        readings_.pop_front();
    // An incomplete frame may lack its leader, and with it its block id.
    if (complete != 1) {
        ++untrusted_;
        return;
    }
    if (seen_) {
        const unsigned between = ids_between(last_id_, block_id);
        const unsigned missing = between > untrusted_ ? between - untrusted_ : 0;
        if (no_buffer != window_start_)
            not_taken_ += missing;
        else
            lost_ += missing;
    }
    seen_ = true;
    last_id_ = block_id;
    untrusted_ = 0;
    // The reading taken before the frame `budget` places back was taken:
    // the frames after this one opened after that.
    window_start_ = readings_.size() >= budget_ + 2 ? readings_[readings_.size() - budget_ - 2] : readings_.front();
}

}  // namespace vora_tool
