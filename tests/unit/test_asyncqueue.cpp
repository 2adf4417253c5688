#include "stream/vora_asyncqueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <limits>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

long long elapsed_us(Clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - since).count();
}

// Polls until async_queue_length reaches `expected`; bounded so a broken
// queue fails the test instead of hanging it.
bool wait_for_length(_AsyncQueue* q, int expected)
{
    for (int i = 0; i < 5000; ++i) {
        if (async_queue_length(q) == expected)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

}  // namespace

TEST(List, AppendLastAndRemoveFirst)
{
    int a = 1, b = 2, c = 3;

    EXPECT_EQ(list_last(nullptr), nullptr);
    EXPECT_EQ(list_remove_first(nullptr), nullptr);

    _List* list = list_append(nullptr, &a);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->data, &a);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(list_last(list), list);

    // Appending keeps the first node as the handle and grows at the end.
    EXPECT_EQ(list_append(list, &b), list);
    EXPECT_EQ(list_append(list, &c), list);
    ASSERT_NE(list->next, nullptr);
    EXPECT_EQ(list->next->data, &b);
    EXPECT_EQ(list_last(list)->data, &c);
    EXPECT_EQ(list_last(list)->next, nullptr);

    list = list_remove_first(list);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->data, &b);
    list = list_remove_first(list);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->data, &c);
    list = list_remove_first(list);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(a + b + c, 6);  // items are never touched
}

TEST(Queue, FifoOrderAndLinkIntegrity)
{
    int items[4] = {10, 11, 12, 13};
    _Queue q;
    queue_init(&q);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(queue_pop_tail(&q), nullptr);
    EXPECT_EQ(queue_peek_tail_link(&q), nullptr);

    for (int& item : items)
        queue_push_head(&q, &item);
    ASSERT_EQ(q.length, 4u);
    EXPECT_EQ(q.head->data, &items[3]);
    EXPECT_EQ(q.tail->data, &items[0]);
    EXPECT_EQ(q.head->prev, nullptr);
    EXPECT_EQ(q.tail->next, nullptr);

    // Walking both directions must visit the same nodes in opposite order.
    std::vector<void*> forward, backward;
    for (_QueueNode* n = q.head; n != nullptr; n = n->next)
        forward.push_back(n->data);
    for (_QueueNode* n = q.tail; n != nullptr; n = n->prev)
        backward.push_back(n->data);
    ASSERT_EQ(forward.size(), 4u);
    EXPECT_EQ(std::vector<void*>(backward.rbegin(), backward.rend()), forward);

    _QueueNode* tail = queue_peek_tail_link(&q);
    ASSERT_NE(tail, nullptr);
    EXPECT_EQ(tail->data, &items[0]);
    EXPECT_EQ(q.length, 4u);  // peeking does not remove

    EXPECT_EQ(queue_pop_tail(&q), &items[0]);
    EXPECT_EQ(q.tail->next, nullptr);  // stale link to the freed node is cleared
    EXPECT_EQ(queue_pop_tail(&q), &items[1]);
    EXPECT_EQ(queue_pop_tail(&q), &items[2]);
    EXPECT_EQ(q.head, q.tail);
    EXPECT_EQ(queue_pop_tail(&q), &items[3]);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(queue_pop_tail(&q), nullptr);

    // An emptied queue must be fully reusable.
    queue_push_head(&q, &items[2]);
    EXPECT_EQ(q.head, q.tail);
    EXPECT_EQ(queue_pop_tail(&q), &items[2]);
}

TEST(Queue, NullItemIgnoredAndClearKeepsItems)
{
    int items[3] = {1, 2, 3};
    _Queue q;
    queue_init(&q);

    queue_push_head(&q, nullptr);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(q.head, nullptr);

    for (int& item : items)
        queue_push_head(&q, &item);
    queue_clear(&q);
    EXPECT_EQ(q.head, nullptr);
    EXPECT_EQ(q.tail, nullptr);
    EXPECT_EQ(q.length, 0u);
    EXPECT_EQ(items[0] + items[1] + items[2], 6);

    queue_push_head(&q, &items[1]);
    EXPECT_EQ(queue_pop_tail(&q), &items[1]);
}

TEST(AsyncQueue, NullArgumentsAreHarmless)
{
    int item = 0;
    queue_init(nullptr);
    queue_push_head(nullptr, &item);
    EXPECT_EQ(queue_pop_tail(nullptr), nullptr);
    EXPECT_EQ(queue_peek_tail_link(nullptr), nullptr);
    queue_clear(nullptr);

    async_queue_push(nullptr, &item);
    EXPECT_EQ(async_queue_pop(nullptr), nullptr);
    EXPECT_EQ(async_queue_try_pop(nullptr), nullptr);
    EXPECT_EQ(async_queue_timeout_pop(nullptr, -1), nullptr);
    EXPECT_EQ(async_queue_length(nullptr), 0);
    async_queue_destroy(nullptr);
}

TEST(AsyncQueue, FifoLengthAndNonBlockingPops)
{
    int items[3] = {1, 2, 3};
    _AsyncQueue* q = async_queue_new();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->ref_count, 1);
    EXPECT_EQ(q->waiting_threads, 0);
    EXPECT_EQ(async_queue_length(q), 0);

    // An empty try_pop returns at once and must not count itself as a waiter.
    EXPECT_EQ(async_queue_try_pop(q), nullptr);
    EXPECT_EQ(q->waiting_threads, 0);
    EXPECT_EQ(async_queue_length(q), 0);

    async_queue_push(q, nullptr);
    EXPECT_EQ(async_queue_length(q), 0);

    for (int& item : items)
        async_queue_push(q, &item);
    EXPECT_EQ(async_queue_length(q), 3);

    // Each pop variant returns immediately while items are available.
    EXPECT_EQ(async_queue_pop(q), &items[0]);
    EXPECT_EQ(async_queue_try_pop(q), &items[1]);
    EXPECT_EQ(async_queue_timeout_pop(q, 0), &items[2]);
    EXPECT_EQ(async_queue_length(q), 0);
    EXPECT_EQ(async_queue_try_pop(q), nullptr);

    async_queue_destroy(q);
}

TEST(AsyncQueue, TimeoutsAndClock)
{
    // Wall clock in microseconds, not some other unit or epoch.
    long long now_s = static_cast<long long>(time(nullptr));
    long long real_s = get_real_time() / 1000000;
    EXPECT_LE(real_s - now_s, 1);
    EXPECT_GE(real_s - now_s, -1);

    _AsyncQueue* q = async_queue_new();
    ASSERT_NE(q, nullptr);

    const long long timeout_us = 100000;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(async_queue_timeout_pop(q, timeout_us), nullptr);
    EXPECT_GE(elapsed_us(start), timeout_us * 8 / 10);
    EXPECT_EQ(q->waiting_threads, 0);

    EXPECT_EQ(async_queue_timeout_pop(q, 0), nullptr);
    EXPECT_EQ(q->waiting_threads, 0);
    EXPECT_EQ(async_queue_length(q), 0);

    // Bare timed wait: a timeout reports 0 after at least the delay.
    pthread_mutex_lock(&q->mutex);
    start = Clock::now();
    EXPECT_EQ(pthread_cond_wait_timeout_us(&q->cond, &q->mutex, 20000), 0);
    EXPECT_GE(elapsed_us(start), 16000);
    pthread_mutex_unlock(&q->mutex);

    async_queue_destroy(q);
}

// The waiter holds the mutex from setting the flag until it is inside the
// wait, so the signal cannot be lost.
static int signalled_wait(long long timeout_us)
{
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    EXPECT_EQ(pthread_mutex_init_n(&mutex), 0);
    EXPECT_EQ(pthread_cond_init_n(&cond), 0);
    bool waiting = false;
    int result = -1;
    std::thread waiter([&] {
        pthread_mutex_lock(&mutex);
        waiting = true;
        result = pthread_cond_wait_timeout_us(&cond, &mutex, timeout_us);
        pthread_mutex_unlock(&mutex);
    });
    for (;;) {
        pthread_mutex_lock(&mutex);
        if (waiting) {
            pthread_cond_signal(&cond);
            pthread_mutex_unlock(&mutex);
            break;
        }
        pthread_mutex_unlock(&mutex);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    waiter.join();
    pthread_cond_destroy(&cond);
    pthread_mutex_destroy(&mutex);
    return result;
}

TEST(AsyncQueue, TimedWaitReportsSignal)
{
    // Over one second, so the deadline's microseconds carry into seconds.
    EXPECT_EQ(signalled_wait(10 * 1000000LL + 999999), 1);
    // A deadline past the end of time is no overflow: it waits for the signal.
    EXPECT_EQ(signalled_wait(std::numeric_limits<long long>::max()), 1);
}

TEST(AsyncQueue, HugeAndNegativeTimeoutsNeitherOverflowNorHang)
{
    _AsyncQueue* q = async_queue_new();
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(async_queue_timeout_pop(q, -5), nullptr);  // no wait at all
    int item = 3;
    std::thread producer([&] {
        while (async_queue_length(q) != -1)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        async_queue_push(q, &item);
    });
    EXPECT_EQ(async_queue_timeout_pop(q, std::numeric_limits<long long>::max()), &item);
    producer.join();
    async_queue_destroy(q);
}

TEST(AsyncQueue, IntervalsRunOnTheMonotonicClock)
{
    timespec before{}, after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    const long long t = get_monotonic_time();
    clock_gettime(CLOCK_MONOTONIC, &after);
    EXPECT_GE(t, before.tv_sec * 1000000LL + before.tv_nsec / 1000);
    EXPECT_LE(t, after.tv_sec * 1000000LL + after.tv_nsec / 1000);
}

TEST(AsyncQueue, BlockedConsumersAreWokenByPush)
{
    int items[4] = {1, 2, 3, 4};
    _AsyncQueue* q = async_queue_new();
    ASSERT_NE(q, nullptr);

    // One unlimited waiter, then one with a long timeout; both must be
    // handed the pushed item rather than time out.
    void* got = nullptr;
    std::thread consumer([&] { got = async_queue_pop(q); });
    EXPECT_TRUE(wait_for_length(q, -1));
    EXPECT_EQ(async_queue_try_pop(q), nullptr);
    EXPECT_EQ(async_queue_length(q), -1);  // try_pop did not join the waiters
    async_queue_push(q, &items[0]);
    consumer.join();
    EXPECT_EQ(got, &items[0]);

    got = nullptr;
    consumer = std::thread([&] { got = async_queue_timeout_pop(q, 30 * 1000000LL); });
    EXPECT_TRUE(wait_for_length(q, -1));
    async_queue_push(q, &items[1]);
    consumer.join();
    EXPECT_EQ(got, &items[1]);
    EXPECT_EQ(async_queue_length(q), 0);

    // Two waiters show as -2; two pushes release both, one item each.
    void* got_a = nullptr;
    void* got_b = nullptr;
    std::thread a([&] { got_a = async_queue_pop(q); });
    std::thread b([&] { got_b = async_queue_pop(q); });
    EXPECT_TRUE(wait_for_length(q, -2));
    async_queue_push(q, &items[2]);
    async_queue_push(q, &items[3]);
    a.join();
    b.join();
    EXPECT_TRUE((got_a == &items[2] && got_b == &items[3]) || (got_a == &items[3] && got_b == &items[2]));
    EXPECT_EQ(async_queue_length(q), 0);
    EXPECT_EQ(q->waiting_threads, 0);

    async_queue_destroy(q);
}

TEST(AsyncQueue, DestroyFreesNodesButNotItems)
{
    _AsyncQueue* q = async_queue_new();
    ASSERT_NE(q, nullptr);
    int on_stack = 7;
    int* on_heap = new int(42);
    async_queue_push(q, &on_stack);
    async_queue_push(q, on_heap);
    async_queue_destroy(q);  // a leaked node shows up under LeakSanitizer

    // Freeing a caller's item would make these reads use-after-free.
    EXPECT_EQ(on_stack, 7);
    EXPECT_EQ(*on_heap, 42);
    delete on_heap;
}

TEST(AsyncQueue, ManyProducersAndConsumersDeliverEachItemOnce)
{
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 2000;
    constexpr int kConsumers = 3;
    constexpr int kTotal = kProducers * kPerProducer;

    std::vector<int> items(kTotal);
    for (int i = 0; i < kTotal; ++i)
        items[i] = i;
    int stop = -1;

    _AsyncQueue* q = async_queue_new();
    ASSERT_NE(q, nullptr);

    std::vector<std::vector<int>> received(kConsumers);
    std::vector<std::thread> consumers;
    for (int c = 0; c < kConsumers; ++c) {
        consumers.emplace_back([&, c] {
            for (;;) {
                int* item = static_cast<int*>(async_queue_pop(q));
                if (item == &stop)
                    break;
                received[c].push_back(*item);
            }
        });
    }

    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; ++i)
                async_queue_push(q, &items[p * kPerProducer + i]);
        });
    }
    for (std::thread& t : producers)
        t.join();
    for (int c = 0; c < kConsumers; ++c)
        async_queue_push(q, &stop);
    for (std::thread& t : consumers)
        t.join();

    std::vector<int> seen(kTotal, 0);
    for (const std::vector<int>& got : received) {
        // Within one consumer, each producer's items keep their push order.
        std::vector<int> last(kProducers, -1);
        for (int value : got) {
            ASSERT_GE(value, 0);
            ASSERT_LT(value, kTotal);
            seen[value]++;
            int producer = value / kPerProducer;
            EXPECT_GT(value, last[producer]);
            last[producer] = value;
        }
    }
    for (int i = 0; i < kTotal; ++i)
        ASSERT_EQ(seen[i], 1) << "item " << i;
    EXPECT_EQ(async_queue_length(q), 0);

    async_queue_destroy(q);
}
