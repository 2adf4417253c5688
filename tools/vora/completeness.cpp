#include "completeness.h"

#include <algorithm>

#include "vora_qelcamera_api.h"

namespace vora_tool {

void Completeness::look(int camera, unsigned short channel)
{
    unsigned now[3];
    if (!snapshot(camera, channel, now)) {
        add(-1, sum(now) - sum(seen_));  // counters kept moving: no telling
    } else {
        const unsigned complete = now[0] - seen_[0];
        const unsigned other = now[1] - seen_[1] + now[2] - seen_[2];
        add(other == 0 ? 1 : complete == 0 ? 0 : -1, complete + other);
    }
    std::copy(now, now + 3, seen_);
}

int Completeness::take()
{
    if (fates_.empty())
        return -1;
    const int fate = fates_.front();
    fates_.erase(fates_.begin());  // a frame or two waits at most
    return fate;
}

// Complete, incomplete and flushed as they stood at one moment: read until
// two readings agree (the counters only grow).
bool Completeness::snapshot(int camera, unsigned short channel, unsigned out[3])
{
    unsigned previous[3] = {~0u, ~0u, ~0u};
    for (int attempt = 0; attempt < 16; ++attempt) {
        unsigned c[8] = {};
        GetBlockStatistics(camera, channel, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
        out[0] = c[0];
        out[1] = c[1];
        out[2] = c[4];
        if (std::equal(out, out + 3, previous))
            return true;
        std::copy(out, out + 3, previous);
    }
    return false;
}

}  // namespace vora_tool
