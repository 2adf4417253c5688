// Frame sets from time stamps: the window around the earliest frame, the
// wait for a member without a frame, unmatched frames, a wrapping counter.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <vector>

#include "sync/clock_mapping.h"
#include "sync/frame_set_matcher.h"

using framesync::FrameSetMatcher;
using framesync::MatchedSet;

namespace {

constexpr int64_t kMs = 1000000;

// Member m's frame ids as the test gives them: member * 1000 + sequence.
uint64_t id_of(size_t member, uint64_t n)
{
    return member * 1000 + n;
}

std::vector<uint64_t> sorted(std::vector<uint64_t> v)
{
    std::sort(v.begin(), v.end());
    return v;
}

}  // namespace

TEST(FrameSetMatcher, ToleranceIsInclusive)
{
    FrameSetMatcher m(2, 100, 50 * kMs);
    m.push(0, 1000, id_of(0, 1), 0);
    m.push(1, 1100, id_of(1, 1), 0);  // exactly at tolerance: in
    MatchedSet set;
    ASSERT_TRUE(m.next(0, &set));
    EXPECT_TRUE(set.complete);
    EXPECT_EQ(set.present, 2);
    EXPECT_EQ(set.members[0].id, id_of(0, 1));
    EXPECT_EQ(set.members[1].id, id_of(1, 1));
    EXPECT_EQ(set.spread_ns, 100);

    m.push(0, 5000, id_of(0, 2), 0);
    m.push(1, 5101, id_of(1, 2), 0);  // one past: out, and later, so the first goes alone
    ASSERT_TRUE(m.next(0, &set));
    EXPECT_FALSE(set.complete);
    EXPECT_EQ(set.present, 1);
    EXPECT_TRUE(set.members[0].present);
    EXPECT_FALSE(set.members[1].present);
    EXPECT_EQ(set.spread_ns, 0);
    ASSERT_FALSE(m.next(0, &set)) << "member 1's frame waits for member 0's next";
    m.push(0, 5200, id_of(0, 3), 0);
    ASSERT_TRUE(m.next(0, &set));
    EXPECT_TRUE(set.complete);
    EXPECT_EQ(set.members[1].id, id_of(1, 2));
    EXPECT_EQ(m.statistics().complete, 2u);
    EXPECT_EQ(m.statistics().incomplete, 1u);
    EXPECT_EQ(m.statistics().unmatched, 0u);
}

TEST(FrameSetMatcher, MissingTriggerGivesOneIncompleteSetThenCompleteAgain)
{
    FrameSetMatcher m(3, 2 * kMs, 100 * kMs);
    const int64_t period = 100 * kMs;
    MatchedSet set;
    std::vector<bool> complete;
    for (int64_t k = 0; k < 5; ++k) {
        const int64_t t = k * period;
        for (size_t member = 0; member < 3; ++member)
            if (!(member == 2 && k == 2))  // member 2 skips the third trigger
                m.push(member, t + static_cast<int64_t>(member) * 1000, id_of(member, k), t);
        // Each set goes out once every member has a frame or a later one.
        while (m.next(t, &set))
            complete.push_back(set.complete);
    }
    // The third set waited for member 2 until its next frame said it skipped.
    EXPECT_EQ(complete, (std::vector<bool>{true, true, false, true, true}));
    EXPECT_EQ(m.statistics().complete, 4u);
    EXPECT_EQ(m.statistics().incomplete, 1u);
    EXPECT_EQ(m.statistics().unmatched, 0u);
}

TEST(FrameSetMatcher, WaitsForAMemberWithoutFramesThenGoesOutIncomplete)
{
    FrameSetMatcher m(2, kMs, 30 * kMs);
    MatchedSet set;
    m.push(0, 10 * kMs, id_of(0, 1), 1000 * kMs);
    EXPECT_FALSE(m.next(1000 * kMs, &set));
    EXPECT_EQ(m.wake_at(1000 * kMs), 1030 * kMs);
    EXPECT_FALSE(m.next(1030 * kMs - 1, &set));
    ASSERT_TRUE(m.next(1030 * kMs, &set));
    EXPECT_FALSE(set.complete);
    EXPECT_TRUE(set.members[0].present);

    // A member that never delivers: every set waits once, then goes.
    m.push(0, 110 * kMs, id_of(0, 2), 1100 * kMs);
    EXPECT_FALSE(m.next(1100 * kMs, &set));
    ASSERT_TRUE(m.next(1131 * kMs, &set));
    EXPECT_EQ(set.members[0].id, id_of(0, 2));

    // Once it is gone, nobody waits for it.
    m.set_gone(1);
    m.push(0, 210 * kMs, id_of(0, 3), 1200 * kMs);
    ASSERT_TRUE(m.next(1200 * kMs, &set));
    EXPECT_FALSE(set.complete);
    EXPECT_FALSE(m.exhausted());
    m.set_gone(0);
    EXPECT_TRUE(m.exhausted());
    EXPECT_EQ(m.statistics().incomplete, 3u);
    EXPECT_EQ(m.wake_at(0), FrameSetMatcher::NEVER);
}

TEST(FrameSetMatcher, LateFrameJoinsWhileTheSetWaits)
{
    FrameSetMatcher m(2, kMs, 30 * kMs);
    MatchedSet set;
    m.push(1, 500 * kMs, id_of(1, 1), 0);
    EXPECT_FALSE(m.next(10 * kMs, &set));
    m.push(0, 500 * kMs - 300, id_of(0, 1), 20 * kMs);  // earlier stamp, arrives later
    ASSERT_TRUE(m.next(20 * kMs, &set));
    EXPECT_TRUE(set.complete);
    EXPECT_EQ(set.members[0].offset_ns, -150);
    EXPECT_EQ(set.members[1].offset_ns, 150);
}

TEST(FrameSetMatcher, StragglerOfASetGoneOutIsUnmatched)
{
    FrameSetMatcher m(2, kMs, 10 * kMs);
    MatchedSet set;
    m.push(0, 100 * kMs, id_of(0, 1), 0);
    ASSERT_TRUE(m.next(10 * kMs, &set));
    EXPECT_FALSE(set.complete);
    m.push(1, 100 * kMs + 5, id_of(1, 1), 11 * kMs);  // its set went out without it
    EXPECT_FALSE(m.next(11 * kMs, &set));
    EXPECT_EQ(m.take_released(), std::vector<uint64_t>{id_of(1, 1)});
    EXPECT_EQ(m.statistics().unmatched, 1u);
    m.push(0, 200 * kMs, id_of(0, 2), 12 * kMs);
    m.push(1, 200 * kMs, id_of(1, 2), 12 * kMs);
    ASSERT_TRUE(m.next(12 * kMs, &set));
    EXPECT_TRUE(set.complete);
}

TEST(FrameSetMatcher, ExtraFramesInOneWindowAreUnmatched)
{
    FrameSetMatcher m(3, 10 * kMs, 50 * kMs);
    MatchedSet set;
    // Member 0 delivers twice for one trigger; the one nearer the others stays.
    m.push(0, 1000 * kMs, id_of(0, 1), 0);
    m.push(0, 1008 * kMs, id_of(0, 2), 0);
    m.push(1, 1007 * kMs, id_of(1, 1), 0);
    m.push(2, 1009 * kMs, id_of(2, 1), 0);
    ASSERT_TRUE(m.next(0, &set));
    EXPECT_TRUE(set.complete);
    EXPECT_EQ(set.members[0].id, id_of(0, 2));
    EXPECT_EQ(set.spread_ns, 2 * kMs);
    EXPECT_EQ(m.take_released(), std::vector<uint64_t>{id_of(0, 1)});

    // Three of member 1 in the next window: the middle one matches, two go.
    m.push(0, 2000 * kMs, id_of(0, 3), 0);
    m.push(1, 1995 * kMs, id_of(1, 2), 0);
    m.push(1, 2001 * kMs, id_of(1, 3), 0);
    m.push(1, 2004 * kMs, id_of(1, 4), 0);
    m.push(2, 2000 * kMs, id_of(2, 2), 0);
    ASSERT_TRUE(m.next(0, &set));
    EXPECT_TRUE(set.complete);
    EXPECT_EQ(set.members[1].id, id_of(1, 3));
    EXPECT_EQ(sorted(m.take_released()), (std::vector<uint64_t>{id_of(1, 2), id_of(1, 4)}));
    EXPECT_EQ(m.statistics().unmatched, 3u);
    EXPECT_EQ(m.statistics().complete, 2u);
    EXPECT_FALSE(m.next(0, &set));
}

TEST(FrameSetMatcher, CounterWrapStillMatches)
{
    // Across 2^64 of an unsigned counter and across the sign of int64.
    const uint64_t starts[] = {UINT64_MAX - 40, static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - 40};
    for (uint64_t start : starts) {
        FrameSetMatcher m(2, 100, kMs);
        MatchedSet set;
        const int64_t a = static_cast<int64_t>(start);
        const int64_t b = framesync::stamp_add(a, 90);  // past the wrap
        m.push(0, b, id_of(0, 1), 0);
        m.push(1, a, id_of(1, 1), 0);
        ASSERT_TRUE(m.next(0, &set)) << start;
        EXPECT_TRUE(set.complete) << start;
        EXPECT_EQ(set.spread_ns, 90);
        EXPECT_EQ(set.time_ns, framesync::stamp_add(a, 45));
        EXPECT_EQ(set.members[0].offset_ns, 45);
        EXPECT_EQ(set.members[1].offset_ns, -45);
        // The frames after the wrap are later, not 2^64 earlier.
        m.push(0, framesync::stamp_add(a, 1000), id_of(0, 2), 0);
        m.push(1, framesync::stamp_add(a, 1050), id_of(1, 2), 0);
        ASSERT_TRUE(m.next(0, &set));
        EXPECT_TRUE(set.complete);
        EXPECT_EQ(m.statistics().unmatched, 0u) << start;
    }
}

TEST(FrameSetMatcher, OffsetsAndSpreadAroundTheMean)
{
    FrameSetMatcher m(4, 1000, kMs);
    MatchedSet set;
    const int64_t t[] = {5000, 5300, 5100, 5600};
    for (size_t i = 0; i < 4; ++i)
        m.push(i, t[i], id_of(i, 1), 0);
    ASSERT_TRUE(m.next(0, &set));
    EXPECT_EQ(set.time_ns, 5250);
    EXPECT_EQ(set.spread_ns, 600);
    EXPECT_EQ(set.members[0].offset_ns, -250);
    EXPECT_EQ(set.members[1].offset_ns, 50);
    EXPECT_EQ(set.members[2].offset_ns, -150);
    EXPECT_EQ(set.members[3].offset_ns, 350);
    EXPECT_EQ(m.statistics().worst_spread_ns, 600);

    // Negative stamps and a huge tolerance do not overflow the mean.
    FrameSetMatcher wide(2, std::numeric_limits<int64_t>::max(), kMs);
    wide.push(0, -3, 1, 0);
    wide.push(1, 4, 2, 0);
    ASSERT_TRUE(wide.next(0, &set));
    EXPECT_EQ(set.spread_ns, 7);
    EXPECT_EQ(set.time_ns, 0);
}

TEST(FrameSetMatcher, QueuesAreBounded)
{
    FrameSetMatcher m(2, 10, 50 * kMs, 64);
    // Member 0 runs ahead while member 1 is silent and nobody takes sets.
    for (uint64_t k = 0; k < 1000; ++k)
        m.push(0, static_cast<int64_t>(k) * kMs, id_of(0, k), 0);
    const std::vector<uint64_t> released = m.take_released();
    ASSERT_EQ(released.size(), 1000u - 64u);
    EXPECT_EQ(released.front(), id_of(0, 0));  // the oldest go first
    EXPECT_EQ(released.back(), id_of(0, 935));
    EXPECT_EQ(m.statistics().unmatched, 936u);
    EXPECT_EQ(m.queued(0), 64u);
    EXPECT_TRUE(m.drop_oldest_set());
    EXPECT_EQ(m.take_released(), std::vector<uint64_t>{id_of(0, 936)});
    EXPECT_EQ(m.queued(1), 0u);
    // The 63 left go out one by one once their wait is over.
    MatchedSet set;
    int sets = 0;
    while (m.next(50 * kMs, &set))
        ++sets;
    EXPECT_EQ(sets, 63);
}

TEST(FrameSetMatcher, ASlowConsumerLosesWholeSetsNotMembersOfThem)
{
    FrameSetMatcher m(3, 10, 50 * kMs);
    for (uint64_t k = 0; k < 5; ++k)
        for (size_t member = 0; member < 3; ++member)
            m.push(member, static_cast<int64_t>(k * 100 * kMs + member), id_of(member, k), 0);
    ASSERT_TRUE(m.drop_oldest_set());
    ASSERT_TRUE(m.drop_oldest_set());
    std::vector<uint64_t> released = m.take_released();
    std::sort(released.begin(), released.end());
    std::vector<uint64_t> expected = {id_of(0, 0), id_of(1, 0), id_of(2, 0), id_of(0, 1), id_of(1, 1), id_of(2, 1)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(released, expected);
    EXPECT_EQ(m.statistics().unmatched, 6u);
    // What is left still forms whole sets.
    MatchedSet set;
    for (uint64_t k = 2; k < 5; ++k) {
        ASSERT_TRUE(m.next(0, &set)) << k;
        EXPECT_TRUE(set.complete) << k;
        EXPECT_EQ(set.members[1].id, id_of(1, k));
    }
    EXPECT_FALSE(m.drop_oldest_set());
}

TEST(ClockMapping, CameraTimeAsHostTimeWithoutOverflow)
{
    VoraClockMapping m{};
    m.camera_ticks = 1000;
    m.tick_frequency = 1000;  // 1 kHz: the mapping was taken at camera second 1
    m.host_ns = 1700000000000000000LL;
    EXPECT_EQ(framesync::camera_ns_to_host_ns(m, 1500000000u), m.host_ns + 500000000);
    EXPECT_EQ(framesync::camera_ns_to_host_ns(m, 0), m.host_ns - 1000000000);  // before the mapping

    // A 1 GHz clock counting from 1970 keeps every nanosecond (a double would not).
    m.tick_frequency = 1000000000;
    m.camera_ticks = 1700000000123456789ULL;
    EXPECT_EQ(framesync::ticks_in_ns(m.camera_ticks, m.tick_frequency), 1700000000123456789ULL);
    EXPECT_EQ(framesync::camera_ns_to_host_ns(m, 1700000000123456790ULL), m.host_ns + 1);

    // Frequencies above 18.4 GHz: ticks * 1e9 would not fit in 64 bits.
    EXPECT_EQ(framesync::ticks_in_ns(40000000000ULL * 3 + 20000000000ULL, 40000000000ULL), 3500000000u);

    // The counter wrapped between the mapping and the frame.
    m.camera_ticks = UINT64_MAX - 9;
    EXPECT_EQ(framesync::camera_ns_to_host_ns(m, 5), m.host_ns + 15);
    EXPECT_EQ(framesync::ticks_in_ns(5, 0), 0u);
}
