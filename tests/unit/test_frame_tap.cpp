// Frames lent to a tap (the recorder): shared with capture (or a borrower)
// without a copy, extra to the pool's budget, back in the pool once both are
// done, and a full tap never holds up the hand-over.
#include <gtest/gtest.h>

#include <thread>

#include "stream/frame_loans.h"
#include "stream/frame_pool.h"
#include "stream/frame_tap.h"

namespace {

struct Pool {
    std::atomic<uint32_t> budget{2};
    cameralog log;
    FramePool pool{64, budget, &log};
};

TEST(FrameTap, LentFramesAreSharedAndExtraToTheBudget)
{
    Pool p;
    FrameTap tap(4);
    p.pool.attach_tap(&tap);
    PhotoInfo* a = p.pool.obtain();
    PhotoInfo* b = p.pool.obtain();
    ASSERT_TRUE(a && b);
    p.pool.deliver(a, 0);
    p.pool.deliver(b, 2);
    EXPECT_EQ(p.pool.lent(), 2u);
    // Both frames wait for capture and sit in the tap: the budget of two
    // still allows two more, for the frames capture would have had anyway.
    PhotoInfo* c = p.pool.obtain();
    PhotoInfo* d = p.pool.obtain();
    EXPECT_TRUE(c && d);
    EXPECT_EQ(p.pool.obtain(), nullptr);

    TappedFrame t{};
    ASSERT_TRUE(tap.take(&t, 0));
    EXPECT_EQ(t.frame, a);
    EXPECT_EQ(t.pool, &p.pool);
    EXPECT_GT(t.host_time_ns, 0u);
    ASSERT_TRUE(tap.take(&t, 0));
    EXPECT_EQ(t.status, 2u);

    // Captured but still lent: not reusable yet.
    PhotoInfo* captured = static_cast<PhotoInfo*>(async_queue_try_pop(p.pool.ready_queue));
    ASSERT_EQ(captured, a);
    p.pool.recycle(a);
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 0);
    p.pool.give_back(a);
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 1);
    // Given back first, captured later: reusable once captured.
    p.pool.give_back(b);
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 1);
    EXPECT_EQ(async_queue_try_pop(p.pool.ready_queue), b);
    p.pool.recycle(b);
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 2);
    EXPECT_EQ(p.pool.lent(), 0u);
    p.pool.recycle(c);
    p.pool.recycle(d);
}

TEST(FrameTap, AFullTapDropsAndCountsWithoutWaiting)
{
    Pool p;
    p.budget = 8;
    FrameTap tap(1);
    p.pool.attach_tap(&tap);
    PhotoInfo* a = p.pool.obtain();
    PhotoInfo* b = p.pool.obtain();
    p.pool.deliver(a, 0);
    p.pool.deliver(b, 0);  // the tap is full: b goes to capture only
    EXPECT_EQ(tap.overflow(), 1u);
    EXPECT_EQ(p.pool.lent(), 1u);
    async_queue_try_pop(p.pool.ready_queue);
    async_queue_try_pop(p.pool.ready_queue);
    p.pool.recycle(b);
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 1);  // b was never lent
    p.pool.recycle(a);
    TappedFrame t{};
    ASSERT_TRUE(tap.take(&t, 0));
    p.pool.give_back(t.frame);
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 2);

    // Detached: nothing more is lent.
    p.pool.detach_tap();
    PhotoInfo* c = p.pool.obtain();
    p.pool.deliver(c, 0);
    EXPECT_EQ(p.pool.lent(), 0u);
    EXPECT_FALSE(tap.take(&t, 0));
}

// A frame both recorded and borrowed stretches the budget by one buffer, not
// two, and goes back for reuse only when both are done with it, in either
// order; a frame given back by its borrower before the tap is not reused
// under the tap's reader, nor the other way round.
TEST(FrameTap, AFrameTappedAndBorrowedIsOneBufferOutOfTheBudget)
{
    Pool p;
    FrameTap tap(4);
    FrameLoans loans(p.pool);
    p.pool.attach_tap(&tap);
    PhotoInfo* a = p.pool.obtain();
    PhotoInfo* b = p.pool.obtain();
    ASSERT_TRUE(a && b);
    p.pool.deliver(a, 0);
    p.pool.deliver(b, 0);
    EXPECT_EQ(p.pool.out_of_budget(), 2u);
    for (PhotoInfo* expected : {a, b}) {
        ASSERT_EQ(loans.reserve(), VORA_OK);
        PhotoInfo* borrowed = static_cast<PhotoInfo*>(async_queue_try_pop(p.pool.ready_queue));
        ASSERT_EQ(borrowed, expected);
        loans.settle(borrowed);
    }
    EXPECT_EQ(p.pool.out_of_budget(), 2u);
    EXPECT_EQ(loans.statistics().out, 2u);
    // Budget 2, two buffers out: two more, and no fifth.
    PhotoInfo* c = p.pool.obtain();
    PhotoInfo* d = p.pool.obtain();
    EXPECT_TRUE(c && d);
    EXPECT_EQ(p.pool.obtain(), nullptr);

    TappedFrame t{};
    ASSERT_TRUE(tap.take(&t, 0));
    ASSERT_EQ(t.frame, a);
    p.pool.give_back(a);  // still borrowed
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 0);
    EXPECT_EQ(p.pool.out_of_budget(), 2u);
    EXPECT_EQ(loans.give_back(a->pixel), VORA_OK);
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 1);
    EXPECT_EQ(p.pool.out_of_budget(), 1u);
    EXPECT_EQ(loans.give_back(a->pixel), VORA_ERR_NOT_LENT);

    EXPECT_EQ(loans.give_back(b->pixel), VORA_OK);  // still with the tap
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 1);
    EXPECT_EQ(p.pool.out_of_budget(), 1u);
    ASSERT_TRUE(tap.take(&t, 0));
    p.pool.give_back(t.frame);
    EXPECT_EQ(async_queue_length(p.pool.free_queue), 2);
    EXPECT_EQ(p.pool.out_of_budget(), 0u);
    EXPECT_EQ(p.pool.lent(), 0u);
    p.pool.recycle(c);
    p.pool.recycle(d);
}

// A pool going away waits for what its tap's reader still holds.
TEST(FrameTap, PoolOutlivesItsLentFrames)
{
    FrameTap tap(4);
    std::atomic<bool> given{false};
    std::thread reader;
    {
        Pool p;
        p.pool.attach_tap(&tap);
        p.pool.deliver(p.pool.obtain(), 0);
        reader = std::thread([&] {
            TappedFrame t{};
            if (tap.take(&t, 10'000'000)) {
                given = true;
                t.pool->give_back(t.frame);
            }
        });
    }  // ~FramePool returns only after give_back
    EXPECT_TRUE(given);
    reader.join();
}

}  // namespace
