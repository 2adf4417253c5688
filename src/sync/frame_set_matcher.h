// Groups the frames of several members (camera channels) into sets by time
// stamp. Pure bookkeeping: no threads, sockets or clocks of its own; the
// caller pushes frames in each member's arrival order and passes the
// present time (any monotonic nanoseconds) to every call that needs it.
#ifndef VORA_SYNC_FRAME_SET_MATCHER_H
#define VORA_SYNC_FRAME_SET_MATCHER_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <limits>
#include <vector>

namespace framesync {

// a - b for time stamps of a counter that wraps at 2^64: positive when a is
// later, as long as the two lie less than 2^63 apart.
inline int64_t stamp_diff(int64_t a, int64_t b)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) - static_cast<uint64_t>(b));
}

inline int64_t stamp_add(int64_t a, int64_t d)
{
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(d));
}

struct MatchedFrame {
    bool present = false;
    uint64_t id = 0;
    int64_t time_ns = 0;
    int64_t offset_ns = 0;  // from the set's mean
};

struct MatchedSet {
    std::vector<MatchedFrame> members;
    int64_t time_ns = 0;  // mean of the present frames' stamps
    int64_t spread_ns = 0;
    int present = 0;
    bool complete = false;
};

struct MatchStatistics {
    uint64_t complete = 0;
    uint64_t incomplete = 0;
    uint64_t unmatched = 0;
    int64_t worst_spread_ns = 0;
};

class FrameSetMatcher {
public:
    static constexpr int64_t NEVER = std::numeric_limits<int64_t>::max();

    // wait_ns: how long a set waits for a member that has no frame yet,
    // from the arrival of the set's first frame. max_queue: frames kept per
    // member; the oldest beyond go unmatched.
    FrameSetMatcher(size_t members, int64_t tolerance_ns, int64_t wait_ns, size_t max_queue = 64);

    size_t members() const { return queues_.size(); }

    // A frame of member with its stamp and the caller's id for it.
    void push(size_t member, int64_t time_ns, uint64_t id, int64_t now_ns);
    // The member delivers no more frames: sets stop waiting for it once its
    // queued frames are used up.
    void set_gone(size_t member);
    bool gone(size_t member) const { return gone_[member]; }
    // Every member is gone and nothing is queued: no set can come any more.
    bool exhausted() const;
    // Frames of the member waiting for a set.
    size_t queued(size_t member) const { return queues_[member].size(); }

    // Gives up the oldest set the queued frames make, all its frames
    // unmatched together (a consumer slower than the cameras): the sets
    // after it stay whole, where dropping one member's frame would leave
    // holes in them. False when nothing is queued.
    bool drop_oldest_set();

    // The next set, when one can go out at now_ns.
    bool next(int64_t now_ns, MatchedSet* out);
    // When the set now waiting for a member goes out without it (NEVER when
    // none waits); a push or set_gone may change it.
    int64_t wake_at(int64_t now_ns);
    // Ids of the frames given up as unmatched since the last call.
    std::vector<uint64_t> take_released();

    const MatchStatistics& statistics() const { return stats_; }

private:
    struct Queued {
        int64_t time_ns;
        uint64_t id;
        int64_t arrival_ns;
    };
    // What the frames queued now make of the next set.
    struct Plan {
        bool any = false;
        bool waits = false;             // a member with no frame may still join
        int64_t go_at = NEVER;          // when it stops waiting
        std::vector<size_t> chosen;     // per member: queue position, or npos
        std::vector<size_t> discarded;  // per member: frames before the chosen one that go unmatched
    };
    static constexpr size_t npos = static_cast<size_t>(-1);

    Plan plan() const;
    void release_front(size_t member);

    int64_t tolerance_;
    int64_t wait_;
    size_t max_queue_;
    std::vector<std::deque<Queued>> queues_;
    std::vector<bool> gone_;
    std::vector<uint64_t> released_;
    bool emitted_ = false;
    int64_t last_anchor_ = 0;  // the earliest stamp the last set was formed around
    MatchStatistics stats_;
};

}  // namespace framesync

#endif
