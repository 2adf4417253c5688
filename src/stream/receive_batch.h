// The buffers of one recvmmsg call. Each datagram's first bytes go to a
// small slot of their own, large enough for a whole leader or trailer; the
// rest goes straight to where the assembler expects the packet's data in a
// frame (a landing), or to scratch memory when nothing is expected. So a
// stream that arrives in order is copied once, by the kernel, into place.
//
// A datagram that turns out not to be the expected packet is moved out of
// the frame before anything else happens, so the frame region it borrowed
// (a packet not received yet) is the only thing it touched.
#ifndef VORA_RECEIVE_BATCH_H
#define VORA_RECEIVE_BATCH_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gvsp_codec.h"
#include "stream/block_assembler.h"

class ReceiveBatch {
public:
    static constexpr size_t HEAD = gvsp::LEADER_LEN;
    static constexpr size_t DATAGRAM_MAX = 65535;
    // Data bytes of a payload packet that arrive in its head slot.
    static constexpr size_t HEAD_DATA = HEAD - gvsp::HEADER_LEN;

    explicit ReceiveBatch(size_t slots);

    size_t size() const { return slots_.size(); }
    // Aims slot i at landings[i] for i < count, the rest at scratch memory.
    void prepare(const Landing* landings, size_t count);
    mmsghdr* messages() { return messages_.data(); }
    // After recvmmsg filled `count` slots: datagrams that are not the packet
    // their slot expected are moved out of the frames.
    void settle(size_t count);

    const Datagram& datagram(size_t i) const { return slots_[i].datagram; }
    const sockaddr_in& sender(size_t i) const { return senders_[i]; }
    // True when datagram i was the packet its slot expected, in place.
    bool landed(size_t i) const { return slots_[i].landed; }

private:
    struct Slot {
        uint8_t head[HEAD];
        iovec iov[3];
        bool expected;
        bool landed;
        Landing landing;
        Datagram datagram;
    };
    uint8_t* scratch(size_t i) { return scratch_.data() + i * DATAGRAM_MAX; }
    void aim_at_scratch(size_t i);

    std::vector<Slot> slots_;
    std::vector<mmsghdr> messages_;
    std::vector<sockaddr_in> senders_;
    std::vector<uint8_t> scratch_;
    size_t dirty_ = 0;  // slots that may be aimed elsewhere than scratch, or written by the kernel
};

#endif
