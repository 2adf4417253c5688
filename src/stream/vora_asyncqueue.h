/* Small containers used by the stream receiver to hand blocks between
 * threads.  Items are opaque pointers owned by the caller: no container
 * here ever frees an item, only its own nodes. */
#ifndef VORA_ASYNCQUEUE_H
#define VORA_ASYNCQUEUE_H

#include <cstdint>
#include <pthread.h>

/* Singly linked list; a list is a pointer to its first node, empty is null. */
struct _List {
    void* data;
    _List* next;
};

/* Doubly linked FIFO: items enter at the head and leave at the tail. */
struct _QueueNode {
    void* data;
    _QueueNode* next; /* towards the tail (older item) */
    _QueueNode* prev; /* towards the head (newer item) */
};

struct _Queue {
    _QueueNode* head; /* newest */
    _QueueNode* tail; /* oldest */
    uint32_t length;
};

/* FIFO guarded by a mutex; consumers may block until a producer pushes. */
struct _AsyncQueue {
    pthread_mutex_t mutex;
    pthread_cond_t cond;
    _Queue queue;
    int32_t waiting_threads;
    int32_t ref_count;
};

/* pthread helpers: a mutex with default attributes, a condition variable
 * on the monotonic clock, and a wait on it bounded in microseconds. */
int pthread_mutex_init_n(pthread_mutex_t* mutex);
int pthread_cond_init_n(pthread_cond_t* cond);
int pthread_cond_wait_timeout_us(pthread_cond_t* cond, pthread_mutex_t* mutex, long long timeout_us);

/* Wall-clock time in microseconds since the epoch: for time stamps. */
long long get_real_time();
/* Monotonic time in microseconds: for every interval and time-out. */
long long get_monotonic_time();

/* List operations. */
_List* list_last(_List* list);
_List* list_append(_List* list, void* data);
_List* list_remove_first(_List* list);

/* Plain (unsynchronised) queue operations. */
void queue_init(_Queue* queue);
void queue_push_head(_Queue* queue, void* data);
void* queue_pop_tail(_Queue* queue);
_QueueNode* queue_peek_tail_link(_Queue* queue);
void queue_clear(_Queue* queue);

/* Thread-safe queue operations; timeout_us of -1 waits without limit. */
_AsyncQueue* async_queue_new();
void async_queue_push(_AsyncQueue* q, void* data);
void* async_queue_pop(_AsyncQueue* q);
void* async_queue_try_pop(_AsyncQueue* q);
void* async_queue_timeout_pop(_AsyncQueue* q, long long timeout_us);
int async_queue_length(_AsyncQueue* q);
void async_queue_destroy(_AsyncQueue* q);

/* Shared body of the pops; the caller holds q->mutex. */
void* async_queue_pop_intern_unlocked(_AsyncQueue* q, bool may_wait, long long timeout_us);

#endif /* VORA_ASYNCQUEUE_H */
