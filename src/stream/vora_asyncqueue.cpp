#include "stream/vora_asyncqueue.h"

#include <cstdlib>
#include <limits>
#include <sys/time.h>
#include <time.h>

int pthread_mutex_init_n(pthread_mutex_t* mutex)
{
    return pthread_mutex_init(mutex, nullptr);
}

// Waits run on the monotonic clock, so that setting the wall clock neither
// ends a wait early nor stretches it.
int pthread_cond_init_n(pthread_cond_t* cond)
{
    pthread_condattr_t attr;
    int r = pthread_condattr_init(&attr);
    if (r != 0)
        return r;
    r = pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    if (r == 0)
        r = pthread_cond_init(cond, &attr);
    pthread_condattr_destroy(&attr);
    return r;
}

int pthread_cond_wait_timeout_us(pthread_cond_t* cond, pthread_mutex_t* mutex, long long timeout_us)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (timeout_us < 0)
        timeout_us = 0;
    // A deadline beyond what time_t holds waits until the end of time.
    constexpr long long max_seconds = std::numeric_limits<time_t>::max() / 2;
    long long seconds = timeout_us / 1000000;
    long long nanoseconds = now.tv_nsec + (timeout_us % 1000000) * 1000;
    seconds += nanoseconds / 1000000000;
    nanoseconds %= 1000000000;
    struct timespec deadline;
    deadline.tv_sec = seconds > max_seconds - now.tv_sec ? static_cast<time_t>(max_seconds)
                                                         : now.tv_sec + static_cast<time_t>(seconds);
    deadline.tv_nsec = static_cast<long>(nanoseconds);
    return pthread_cond_timedwait(cond, mutex, &deadline) == 0 ? 1 : 0;
}

long long get_monotonic_time()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000;
}

long long get_real_time()
{
    struct timeval now;
    gettimeofday(&now, nullptr);
    return static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_usec;
}

_List* list_last(_List* list)
{
    if (list == nullptr)
        return nullptr;
    while (list->next != nullptr)
        list = list->next;
    return list;
}

_List* list_append(_List* list, void* data)
{
    _List* node = static_cast<_List*>(malloc(sizeof(_List)));
    if (node == nullptr)
        return nullptr;
    node->data = data;
    node->next = nullptr;
    if (list == nullptr)
        return node;
    list_last(list)->next = node;
    return list;
}

_List* list_remove_first(_List* list)
{
    if (list == nullptr)
        return nullptr;
    _List* rest = list->next;
    free(list);
    return rest;
}

void queue_init(_Queue* queue)
{
    if (queue == nullptr)
        return;
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->length = 0;
}

void queue_push_head(_Queue* queue, void* data)
{
    // A null item would be indistinguishable from "empty" on the pop side.
    if (queue == nullptr || data == nullptr)
        return;
    _QueueNode* node = static_cast<_QueueNode*>(malloc(sizeof(_QueueNode)));
    if (node == nullptr)
        return;
    node->data = data;
    node->prev = nullptr;
    node->next = queue->head;
    if (queue->head != nullptr)
        queue->head->prev = node;
    queue->head = node;
    if (queue->tail == nullptr)
        queue->tail = node;
    queue->length++;
}

void* queue_pop_tail(_Queue* queue)
{
    if (queue == nullptr || queue->tail == nullptr)
        return nullptr;
    _QueueNode* node = queue->tail;
    queue->tail = node->prev;
    if (queue->tail != nullptr)
        queue->tail->next = nullptr;
    else
        queue->head = nullptr;
    queue->length--;
    void* data = node->data;
    free(node);
    return data;
}

_QueueNode* queue_peek_tail_link(_Queue* queue)
{
    return queue == nullptr ? nullptr : queue->tail;
}

void queue_clear(_Queue* queue)
{
    if (queue == nullptr)
        return;
    _QueueNode* node = queue->head;
    while (node != nullptr) {
        _QueueNode* next = node->next;
        free(node);
        node = next;
    }
    queue_init(queue);
}

_AsyncQueue* async_queue_new()
{
    _AsyncQueue* q = static_cast<_AsyncQueue*>(malloc(sizeof(_AsyncQueue)));
    if (q == nullptr)
        return nullptr;
    if (pthread_mutex_init_n(&q->mutex) != 0) {
        free(q);
        return nullptr;
    }
    if (pthread_cond_init_n(&q->cond) != 0) {
        pthread_mutex_destroy(&q->mutex);
        free(q);
        return nullptr;
    }
    queue_init(&q->queue);
    q->waiting_threads = 0;
    q->ref_count = 1;
    return q;
}

void async_queue_push(_AsyncQueue* q, void* data)
{
    if (q == nullptr || data == nullptr)
        return;
    pthread_mutex_lock(&q->mutex);
    queue_push_head(&q->queue, data);
    // One item can satisfy at most one consumer, so wake just one.
    if (q->waiting_threads != 0)
        pthread_cond_signal(&q->cond);
    pthread_mutex_unlock(&q->mutex);
}

void* async_queue_pop_intern_unlocked(_AsyncQueue* q, bool may_wait, long long timeout_us)
{
    if (q->queue.tail == nullptr && may_wait) {
        q->waiting_threads++;
        while (q->queue.tail == nullptr) {
            if (timeout_us == -1) {
                pthread_cond_wait(&q->cond, &q->mutex);
            } else if (pthread_cond_wait_timeout_us(&q->cond, &q->mutex, timeout_us) == 0) {
                // Each wake-up that finds the queue empty starts a full new
                // wait; only a wait that runs out ends it.
                break;
            }
        }
        q->waiting_threads--;
    }
    return queue_pop_tail(&q->queue);
}

void* async_queue_pop(_AsyncQueue* q)
{
    if (q == nullptr)
        return nullptr;
    pthread_mutex_lock(&q->mutex);
    void* data = async_queue_pop_intern_unlocked(q, true, -1);
    pthread_mutex_unlock(&q->mutex);
    return data;
}

void* async_queue_try_pop(_AsyncQueue* q)
{
    if (q == nullptr)
        return nullptr;
    pthread_mutex_lock(&q->mutex);
    void* data = async_queue_pop_intern_unlocked(q, false, 0);
    pthread_mutex_unlock(&q->mutex);
    return data;
}

void* async_queue_timeout_pop(_AsyncQueue* q, long long timeout_us)
{
    if (q == nullptr)
        return nullptr;
    pthread_mutex_lock(&q->mutex);
    void* data = async_queue_pop_intern_unlocked(q, true, timeout_us);
    pthread_mutex_unlock(&q->mutex);
    return data;
}

int async_queue_length(_AsyncQueue* q)
{
    if (q == nullptr)
        return 0;
    pthread_mutex_lock(&q->mutex);
    int length = static_cast<int>(q->queue.length) - q->waiting_threads;
    pthread_mutex_unlock(&q->mutex);
    return length;
}

void async_queue_destroy(_AsyncQueue* q)
{
    if (q == nullptr)
        return;
    pthread_mutex_destroy(&q->mutex);
    pthread_cond_destroy(&q->cond);
    queue_clear(&q->queue);
    free(q);
}
