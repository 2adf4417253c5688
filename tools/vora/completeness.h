// Whether each frame a channel delivers was complete. Frames carry no such
// mark, but the library counts every block it hands over as complete,
// incomplete or flushed before queueing it, in queue order, and captures
// take frames in that order. So the counters, read after every capture,
// tell the fate of each frame handed over since the last reading: all of
// one kind when only one counter moved; frames of a reading in which
// several moved cannot be told apart (rare: readings follow every capture).
#ifndef VORA_TOOL_COMPLETENESS_H
#define VORA_TOOL_COMPLETENESS_H

#include <vector>

namespace vora_tool {

class Completeness {
public:
    // Reads the channel's counters: once as it opens, then after every capture.
    void look(int camera, unsigned short channel);
    // The fate of the next captured frame: 1 complete, 0 incomplete, -1
    // could not be told.
    int take();

private:
    static bool snapshot(int camera, unsigned short channel, unsigned out[3]);
    static unsigned sum(const unsigned v[3]) { return v[0] + v[1] + v[2]; }
    void add(int fate, unsigned count) { fates_.insert(fates_.end(), count, static_cast<signed char>(fate)); }

    unsigned seen_[3] = {0, 0, 0};
    std::vector<signed char> fates_;
};

}  // namespace vora_tool

#endif
