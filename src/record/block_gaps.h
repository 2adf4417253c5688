// Gaps in a channel's block ids: frames the camera counted that a recording
// does not hold, whether the stream lost them or the recorder dropped them.
#ifndef VORA_BLOCK_GAPS_H
#define VORA_BLOCK_GAPS_H

#include <cstdint>

namespace record {

class BlockGaps {
public:
    // The next frame's block id, in the order frames were handed over.
    void add(uint16_t id)
    {
        if (seen_ && id != 0 && last_ != 0) {
            const uint32_t steps = forward_steps(last_, id);
            // Further ahead than half the count is a count that went back
            // (the camera restarted it), as the receiver takes it too.
            if (steps > 1 && steps <= 0x7FFF) {
                ++gaps_;
                missing_ += steps - 1;
            }
        }
        seen_ = true;
        last_ = id;
    }
    // Places where ids were skipped, and how many ids were skipped in all.
    uint64_t gaps() const { return gaps_; }
    uint64_t missing() const { return missing_; }

    // Steps from one id to another along the count, which runs 1..65535 and
    // skips 0 when it wraps (gvsp::next_block_id is one step).
    static uint32_t forward_steps(uint16_t from, uint16_t to) { return (uint32_t(to) + 0xFFFF - from) % 0xFFFF; }

private:
    bool seen_ = false;
    uint16_t last_ = 0;
    uint64_t gaps_ = 0, missing_ = 0;
};

}  // namespace record

#endif
