// Which way a stream's datagrams came: one by one, or in trains the kernel
// coalesced (UDP GRO). Written by the receive thread, read by callers.
#ifndef VORA_RECEIVE_PATH_H
#define VORA_RECEIVE_PATH_H

#include <atomic>
#include <cstdint>

#include "vora_qelcamera_api.h"

struct ReceivePathCounters {
    std::atomic<uint32_t> gro{0};
    std::atomic<uint64_t> calls{0};
    std::atomic<uint64_t> datagrams{0};
    std::atomic<uint64_t> trains{0};
    std::atomic<uint64_t> train_datagrams{0};
    std::atomic<uint64_t> irregular_trains{0};
    std::atomic<uint64_t> landed{0};
    std::atomic<uint64_t> frames_gro{0};
    std::atomic<uint64_t> frames_datagram{0};

    // One writer: a plain add is enough, and cheaper than a locked one.
    static void add(std::atomic<uint64_t>& counter, uint64_t n)
    {
        counter.store(counter.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    }
    void copy_to(VoraReceivePathStatistics* out) const
    {
        *out = VoraReceivePathStatistics{};
        out->gro = gro.load();
        out->calls = calls.load();
        out->datagrams = datagrams.load();
        out->trains = trains.load();
        out->train_datagrams = train_datagrams.load();
        out->irregular_trains = irregular_trains.load();
        out->landed = landed.load();
        out->frames_gro = frames_gro.load();
        out->frames_datagram = frames_datagram.load();
    }
};

#endif
