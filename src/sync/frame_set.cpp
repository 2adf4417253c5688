// The frame set's threads and buffers around the matcher.
#include "sync/frame_set.h"

#include <pthread.h>

#include <chrono>
#include <cstring>

#include "stream/vora_gige_stream.h"
#include "sync/clock_mapping.h"

namespace framesync {

namespace {

// Each capture waits this long at most, so that stopping takes no longer.
constexpr long long kCaptureSliceUs = 50000;
// Frames a member can hold: queued for a set, or being copied out.
constexpr size_t kPoolFrames = 4;
// A clock mapping older than this is taken again.
constexpr long long kMappingAgeNs = 2000000000LL;
constexpr uint64_t kSlotBits = 16;

long long now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::chrono::steady_clock::time_point at_ns(int64_t ns)
{
    return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(ns));
}

}  // namespace

FrameSet::FrameSet(std::vector<MemberSource> members, const VoraFrameSetOptions& options, ClockSource clock)
    : options_(options), clock_(std::move(clock)),
      matcher_(members.size(), options.tolerance_ns,
               options.wait_us > INT64_MAX / 1000 ? INT64_MAX : options.wait_us * 1000, kPoolFrames)
{
    for (MemberSource& source : members) {
        members_.push_back(std::make_unique<Member>());
        members_.back()->source = source;
    }
}

FrameSet::~FrameSet()
{
    stop();
}

int FrameSet::start()
{
    try {
        for (auto& member : members_) {
            const size_t size = member->source.stream->frame_size();
            member->slots.resize(kPoolFrames);
            for (size_t s = 0; s < kPoolFrames; ++s) {
                member->slots[s].bytes.assign(size ? size : 1, 0);
                member->free.push_back(s);
            }
        }
        const long long now = now_ns();
        for (size_t m = 0; m < members_.size(); ++m) {
            members_[m]->mapped_at_ns = now;
            members_[m]->thread = std::thread(&FrameSet::capture_loop, this, m);
        }
    } catch (...) {
        stop();
        return VORA_ERR_FAILED;
    }
    return VORA_OK;
}

void FrameSet::stop_member(Member& member)
{
    member.stop = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        buffers_cv_.notify_all();
    }
    if (member.thread.joinable())
        member.thread.join();
}

void FrameSet::stop()
{
    for (auto& member : members_)
        stop_member(*member);
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = true;
    sets_cv_.notify_all();
}

void FrameSet::detach(const GigeStream* stream)
{
    for (size_t m = 0; m < members_.size(); ++m) {
        Member& member = *members_[m];
        if (member.source.stream != stream)
            continue;
        stop_member(member);
        std::lock_guard<std::mutex> lock(mutex_);
        member.source.stream = nullptr;
        member.detached = true;
        matcher_.set_gone(m);
        sets_cv_.notify_all();
    }
}

void FrameSet::recycle_released()
{
    for (uint64_t id : matcher_.take_released())
        members_[id >> kSlotBits]->free.push_back(static_cast<size_t>(id & ((1u << kSlotBits) - 1)));
    buffers_cv_.notify_all();
}

int64_t FrameSet::stamp_of(Member& member, const PhotoInfo& frame)
{
    // timestamp_low carries the whole 64-bit nanosecond stamp.
    const uint64_t camera_ns = frame.timestamp_low;
    if (options_.time_base != VORA_SET_TIME_HOST)
        return static_cast<int64_t>(camera_ns);
    const long long now = now_ns();
    if (now - member.mapped_at_ns > kMappingAgeNs) {
        VoraClockMapping fresh{};
        // A failed refresh keeps the mapping there is.
        if (clock_ && clock_(member.source.camera_index, &fresh) == 0 && fresh.tick_frequency != 0)
            member.source.mapping = fresh;
        member.mapped_at_ns = now;
    }
    return camera_ns_to_host_ns(member.source.mapping, camera_ns);
}

void FrameSet::capture_loop(size_t m)
{
    pthread_setname_np(pthread_self(), "vora-set");  // lets tools and benchmarks find the thread
    Member& member = *members_[m];
    while (!member.stop) {
        size_t slot;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            // No buffer free (the sets are taken more slowly than the
            // cameras make them): the oldest sets make room, whole, their
            // frames counted unmatched, until one of this member's is free.
            while (member.free.empty() && matcher_.queued(m) > 0 && matcher_.drop_oldest_set())
                recycle_released();
            if (member.free.empty()) {
                // All of them are being copied out: wait for one.
                buffers_cv_.wait_for(lock, std::chrono::microseconds(kCaptureSliceUs));
                continue;
            }
            slot = member.free.back();
            member.free.pop_back();
        }
        Slot& buffer = member.slots[slot];
        std::memset(&buffer.frame, 0, sizeof buffer.frame);
        buffer.frame.pixel = buffer.bytes.data();
        const int result = member.source.stream->TimeoutCapture(&buffer.frame, kCaptureSliceUs);
        const int64_t stamp = result == VORA_OK ? stamp_of(member, buffer.frame) : 0;

        std::unique_lock<std::mutex> lock(mutex_);
        if (result == VORA_OK) {
            matcher_.push(m, stamp, (static_cast<uint64_t>(m) << kSlotBits) | slot, now_ns());
            recycle_released();
            sets_cv_.notify_all();
            continue;
        }
        member.free.push_back(slot);
        if (result == VORA_ERR_CAMERA_LOST) {
            member.lost = true;
            matcher_.set_gone(m);
            sets_cv_.notify_all();
            return;
        }
        // Anything but a time-out would come back at once: pause a slice.
        if (result != VORA_ERR_CAPTURE_TIMEOUT)
            buffers_cv_.wait_for(lock, std::chrono::microseconds(kCaptureSliceUs),
                                 [&member] { return member.stop.load(); });
    }
}

int FrameSet::next(PhotoInfo* frames, VoraSetFrameInfo* member_info, VoraFrameSetInfo* info, long long timeout_us)
{
    const size_t n = members_.size();
    for (size_t m = 0; m < n; ++m)
        if (!frames[m].pixel)
            return VORA_ERR_INVALID_ARG;

    // -1 waits without limit, as TimeoutCapture does.
    const bool forever = timeout_us == -1;
    const long long limit_us = timeout_us < 0 ? 0 : timeout_us;
    const int64_t start = now_ns();
    const int64_t deadline = forever || limit_us > (INT64_MAX - start) / 1000 ? INT64_MAX : start + limit_us * 1000;

    MatchedSet set;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        if (closed_)
            return VORA_ERR_FRAME_SET_MISSING;
        const int64_t now = now_ns();
        const bool got = matcher_.next(now, &set);
        recycle_released();
        if (got)
            break;
        if (matcher_.exhausted()) {
            // Every member is gone: lost cameras say so; closed streams
            // leave nothing to capture from.
            for (const auto& member : members_)
                if (member->lost)
                    return VORA_ERR_CAMERA_LOST;
            return VORA_ERR_STREAM_MISSING;
        }
        if (now >= deadline)
            return VORA_ERR_CAPTURE_TIMEOUT;
        const int64_t wake = matcher_.wake_at(now);
        const int64_t until = wake < deadline ? wake : deadline;
        if (until == INT64_MAX)
            sets_cv_.wait(lock);
        else
            sets_cv_.wait_until(lock, at_ns(until));
    }
    const uint64_t set_id = ++sets_out_;
    lock.unlock();

    // The set's buffers are this call's alone until they are handed back.
    for (size_t m = 0; m < n; ++m) {
        const MatchedFrame& f = set.members[m];
        VoraSetFrameInfo mi{};
        if (f.present) {
            const PhotoInfo& source = members_[m]->slots[f.id & ((1u << kSlotBits) - 1)].frame;
            std::memcpy(frames[m].pixel, source.pixel, source.payload_size);
            char* keep = frames[m].pixel;
            frames[m] = source;
            frames[m].pixel = keep;
            mi.present = 1;
            mi.time_ns = f.time_ns;
            mi.offset_ns = f.offset_ns;
        }
        if (member_info)
            member_info[m] = mi;
    }
    if (info) {
        info->set_id = set_id;
        info->time_ns = set.time_ns;
        info->complete = set.complete ? 1 : 0;
        info->present = set.present;
        info->spread_ns = set.spread_ns;
    }

    lock.lock();
    for (size_t m = 0; m < n; ++m)
        if (set.members[m].present)
            members_[m]->free.push_back(static_cast<size_t>(set.members[m].id & ((1u << kSlotBits) - 1)));
    buffers_cv_.notify_all();
    return VORA_OK;
}

void FrameSet::statistics(VoraFrameSetStatistics* out)
{
    std::lock_guard<std::mutex> lock(mutex_);
    const MatchStatistics& s = matcher_.statistics();
    out->complete = s.complete;
    out->incomplete = s.incomplete;
    out->unmatched_frames = s.unmatched;
    out->worst_spread_ns = s.worst_spread_ns;
}

}  // namespace framesync
