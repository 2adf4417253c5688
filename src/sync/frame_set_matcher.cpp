// Matching frames into sets: the earliest head among the members anchors a
// window of tolerance_ns; every member's frame inside it joins the set.
#include "sync/frame_set_matcher.h"

namespace framesync {

namespace {

int64_t magnitude(int64_t d)
{
    return d < 0 ? (d == std::numeric_limits<int64_t>::min() ? std::numeric_limits<int64_t>::max() : -d) : d;
}

}  // namespace

FrameSetMatcher::FrameSetMatcher(size_t members, int64_t tolerance_ns, int64_t wait_ns, size_t max_queue)
    : tolerance_(tolerance_ns < 0 ? 0 : tolerance_ns), wait_(wait_ns < 0 ? 0 : wait_ns),
      max_queue_(max_queue ? max_queue : 1), queues_(members), gone_(members, false)
{}

void FrameSetMatcher::release_front(size_t member)
{
    released_.push_back(queues_[member].front().id);
    queues_[member].pop_front();
    ++stats_.unmatched;
}

void FrameSetMatcher::push(size_t member, int64_t time_ns, uint64_t id, int64_t now_ns)
{
    if (member >= queues_.size())
        return;
    // A straggler of a set that went out already can join no set any more.
    if (emitted_ && stamp_diff(time_ns, last_anchor_) <= tolerance_) {
        released_.push_back(id);
        ++stats_.unmatched;
        return;
    }
    auto& queue = queues_[member];
    while (queue.size() >= max_queue_)
        release_front(member);
    queue.push_back({time_ns, id, now_ns});
}

void FrameSetMatcher::set_gone(size_t member)
{
    if (member < gone_.size())
        gone_[member] = true;
}

bool FrameSetMatcher::exhausted() const
{
    for (size_t m = 0; m < queues_.size(); ++m)
        if (!gone_[m] || !queues_[m].empty())
            return false;
    return true;
}

bool FrameSetMatcher::drop_oldest_set()
{
    const Plan p = plan();
    if (!p.any)
        return false;
    bool have_first = false;
    int64_t earliest = 0;
    for (size_t m = 0; m < queues_.size(); ++m) {
        if (p.chosen[m] == npos)
            continue;
        const int64_t t = queues_[m].front().time_ns;
        if (!have_first || stamp_diff(t, earliest) < 0) {
            earliest = t;
            have_first = true;
        }
        for (size_t k = 0; k <= p.discarded[m]; ++k)
            release_front(m);
    }
    // Its late frames are unmatched too, as those of a set handed over.
    emitted_ = have_first || emitted_;
    if (have_first)
        last_anchor_ = earliest;
    return true;
}

std::vector<uint64_t> FrameSetMatcher::take_released()
{
    std::vector<uint64_t> out;
    out.swap(released_);
    return out;
}

FrameSetMatcher::Plan FrameSetMatcher::plan() const
{
    Plan p;
    const size_t n = queues_.size();
    p.chosen.assign(n, npos);
    p.discarded.assign(n, 0);

    bool have_anchor = false;
    int64_t anchor = 0;
    for (const auto& queue : queues_)
        if (!queue.empty() && (!have_anchor || stamp_diff(queue.front().time_ns, anchor) < 0)) {
            anchor = queue.front().time_ns;
            have_anchor = true;
        }
    if (!have_anchor)
        return p;
    p.any = true;

    // Frames of each member inside the window, counted from the front.
    std::vector<size_t> in_window(n, 0);
    for (size_t m = 0; m < n; ++m) {
        const auto& queue = queues_[m];
        if (queue.empty()) {
            if (!gone_[m])
                p.waits = true;
            continue;
        }
        while (in_window[m] < queue.size() && stamp_diff(queue[in_window[m]].time_ns, anchor) <= tolerance_)
            ++in_window[m];
        if (in_window[m] == 1)
            p.chosen[m] = 0;
    }

    // A member with several frames in the window keeps the one closest to
    // the others' (their mean; the anchor when there are none).
    for (size_t m = 0; m < n; ++m) {
        if (in_window[m] < 2)
            continue;
        int64_t count = 0;
        for (size_t o = 0; o < n; ++o)
            count += o != m && in_window[o] == 1;
        int64_t sum = 0, rest = 0;
        for (size_t o = 0; o < n && count; ++o)
            if (o != m && in_window[o] == 1) {
                const int64_t d = stamp_diff(queues_[o].front().time_ns, anchor);
                sum += d / count;
                rest += d % count;
            }
        const int64_t reference = count ? sum + rest / count : 0;
        size_t best = 0;
        for (size_t k = 1; k < in_window[m]; ++k)
            if (magnitude(stamp_diff(queues_[m][k].time_ns, anchor) - reference) <
                magnitude(stamp_diff(queues_[m][best].time_ns, anchor) - reference))
                best = k;
        p.chosen[m] = best;
        p.discarded[m] = in_window[m] - 1;
    }

    if (p.waits) {
        int64_t first = NEVER;
        for (size_t m = 0; m < n; ++m)
            if (p.chosen[m] != npos && queues_[m][p.chosen[m]].arrival_ns < first)
                first = queues_[m][p.chosen[m]].arrival_ns;
        p.go_at = wait_ > NEVER - first ? NEVER : first + wait_;
    }
    return p;
}

int64_t FrameSetMatcher::wake_at(int64_t now_ns)
{
    const Plan p = plan();
    if (!p.any)
        return NEVER;
    return p.waits ? p.go_at : now_ns;
}

bool FrameSetMatcher::next(int64_t now_ns, MatchedSet* out)
{
    const Plan p = plan();
    if (!p.any || (p.waits && now_ns < p.go_at))
        return false;

    const size_t n = queues_.size();
    out->members.assign(n, MatchedFrame());
    out->present = 0;
    bool have_first = false;
    int64_t earliest = 0;
    for (size_t m = 0; m < n; ++m) {
        if (p.chosen[m] == npos)
            continue;
        auto& queue = queues_[m];
        // The frames of the window other than the chosen one go unmatched.
        const size_t chosen = p.chosen[m];
        const Queued kept = queue[chosen];
        for (size_t k = 0; k <= p.discarded[m]; ++k) {
            if (k == chosen) {
                queue.pop_front();
                continue;
            }
            release_front(m);
        }
        MatchedFrame& f = out->members[m];
        f.present = true;
        f.id = kept.id;
        f.time_ns = kept.time_ns;
        ++out->present;
        if (!have_first || stamp_diff(kept.time_ns, earliest) < 0) {
            earliest = kept.time_ns;
            have_first = true;
        }
    }

    // Mean and spread from differences to the earliest, which fit in int64
    // however the counter wrapped.
    const int64_t count = out->present;
    int64_t sum = 0, rest = 0, latest = 0;
    for (const MatchedFrame& f : out->members) {
        if (!f.present)
            continue;
        const int64_t d = stamp_diff(f.time_ns, earliest);
        sum += d / count;
        rest += d % count;
        if (d > latest)
            latest = d;
    }
    out->time_ns = stamp_add(earliest, sum + rest / count);
    out->spread_ns = latest;
    for (MatchedFrame& f : out->members)
        if (f.present)
            f.offset_ns = stamp_diff(f.time_ns, out->time_ns);
    out->complete = out->present == static_cast<int>(n);

    if (out->complete)
        ++stats_.complete;
    else
        ++stats_.incomplete;
    if (out->spread_ns > stats_.worst_spread_ns)
        stats_.worst_spread_ns = out->spread_ns;
    emitted_ = true;
    last_anchor_ = earliest;
    return true;
}

}  // namespace framesync
