// Which frames of a channel never reached the tool, and why. Frames are
// numbered by the camera (block ids), so the ids of the frames taken show
// the ones missing between them. A frame goes missing in one of two ways:
// the network lost every packet of it, or its packets came while every
// frame buffer of the library was taken, because the tool had not yet taken
// the frames before it (the library counts such packets as "no buffer").
//
// Frames are handed over and taken in the order their blocks opened, and a
// block can open only when the library holds fewer frames than its budget.
// So the packets of a frame missing after frame A came after the taking of
// the frame `budget` places before A had begun; they are counted by the
// time the frame after the gap is taken. If the no-buffer count did not
// move between those two moments, the frames in the gap found no full pool:
// the network lost them. If it moved, they are counted as not taken in time
// (the network could have lost one of them at the same moment; the library
// does not say which frame a no-buffer packet belonged to).
#ifndef VORA_TOOL_FRAME_SEQUENCE_H
#define VORA_TOOL_FRAME_SEQUENCE_H

#include <cstdint>
#include <deque>

namespace vora_tool {

class FrameSequence {
public:
    // budget: how many frame buffers the library may hold for the channel;
    // no_buffer: its count of packets that found none, as the channel opens.
    void start(unsigned budget, unsigned no_buffer);
    // A frame taken: complete (1), incomplete (0) or could not be told (-1);
    // its block id; the no-buffer count read after it was taken.
    void taken(int complete, uint16_t block_id, unsigned no_buffer);

    unsigned lost_on_network() const { return lost_; }
    unsigned not_taken_in_time() const { return not_taken_; }
    // The no-buffer count when the last frame was taken (or the channel opened).
    unsigned last_no_buffer() const { return readings_.empty() ? 0 : readings_.back(); }

private:
    unsigned budget_ = 4;
    std::deque<unsigned> readings_;  // after the last budget + 1 frames taken, and at the start
    bool seen_ = false;
    uint16_t last_id_ = 0;       // of the last complete frame
    unsigned untrusted_ = 0;     // frames taken since, whose ids may be stale
    unsigned window_start_ = 0;  // the no-buffer count before the last complete frame could open
    unsigned lost_ = 0;
    unsigned not_taken_ = 0;
};

// The frames a camera numbered between two ids it sent in that order: ids
// run 1..65535 and skip 0. A step back, or half the range forward, is the
// camera's count starting again: nothing is missing then.
unsigned ids_between(uint16_t earlier, uint16_t later);

}  // namespace vora_tool

#endif
