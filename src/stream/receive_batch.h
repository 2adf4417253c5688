// The buffers of one recvmmsg call. Each message has a scratch buffer as
// large as the largest datagram or coalesced train (UDP GRO); every byte of
// a message lies in it at its own offset, except where the message is aimed
// at a landing: the place in a frame where the assembler expects a payload
// packet's data. So a stream that arrives in order is copied once, by the
// kernel, into place.
//
// A message takes one landing, or, where the kernel coalesces a camera's
// same-size datagrams into trains, one per segment of the train expected:
// segment k starts at k times the channel's datagram length.
//
// Whatever did not land where it was aimed (another packet, a train of
// another segment size) is moved back to its offset in scratch before
// anything else happens, so the frame regions it borrowed (packets not
// received yet) are the only thing it touched.
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
    static constexpr size_t MESSAGE_MAX = 65536;  // one datagram, or a train the kernel coalesced
    static constexpr size_t TRAIN_MAX = 64;       // segments the kernel puts in one train at most
    // Data bytes of a payload packet that arrive in its head.
    static constexpr size_t HEAD_DATA = HEAD - gvsp::HEADER_LEN;

    // `messages` per call; `segment` is the length of the channel's full
    // payload datagrams, 0 when trains are not laid out.
    explicit ReceiveBatch(size_t messages, size_t segment = 0);

    size_t size() const { return messages_.size(); }
    // Landings one message can take when laid out for a train.
    size_t train_landings() const { return train_landings_; }
    // Aims the first messages at landings, in order: each takes up to
    // `per_message` of them (a train ends at a shorter datagram, so no
    // message goes past a landing shorter than a full packet's). The rest
    // are aimed at scratch.
    void prepare(const Landing* landings, size_t count, size_t per_message = 1);
    mmsghdr* messages() { return messages_.data(); }
    // After recvmmsg filled `count` messages: splits trains into their
    // datagrams and moves out of the frames whatever did not land.
    void settle(size_t count);

    // The datagrams of the messages settled, in order of arrival.
    size_t datagrams() const { return datagrams_.size(); }
    const Datagram& datagram(size_t i) const { return datagrams_[i].datagram; }
    const sockaddr_in& sender(size_t i) const { return senders_[datagrams_[i].message]; }
    // True when datagram i was the packet its landing expected, in place.
    bool landed(size_t i) const { return datagrams_[i].landed; }
    bool in_train(size_t i) const { return datagrams_[i].datagram.in_train; }

    // Of the messages settled last.
    size_t trains() const { return trains_; }
    size_t irregular_trains() const { return irregular_; }

private:
    struct Aim {
        Landing landing;
        size_t offset;  // of the segment's first byte in its message
        bool landed;    // after settle: the packet is in place
    };
    struct Message {
        std::vector<iovec> iov;
        std::vector<Aim> aims;  // landings with data, in order
        size_t landings = 0;    // taken, keep-places included
    };
    struct Entry {
        Datagram datagram;
        uint32_t message;
        bool landed;
    };
    uint8_t* scratch(size_t i) { return scratch_.data() + i * MESSAGE_MAX; }
    void aim_at_scratch(size_t i);
    void lay_out(size_t i, const Landing* landings, size_t count);
    void settle_message(size_t i);

    const size_t segment_;
    const size_t train_landings_;
    std::vector<Message> slots_;
    std::vector<mmsghdr> messages_;
    std::vector<sockaddr_in> senders_;
    std::vector<uint8_t> control_;
    std::vector<uint8_t> scratch_;
    std::vector<Entry> datagrams_;
    size_t dirty_ = 0;  // messages that may be aimed elsewhere than scratch
    size_t trains_ = 0;
    size_t irregular_ = 0;
};

// The segment size of a coalesced train, from a message's control data: 0
// for a single datagram.
size_t train_segment_size(const msghdr& message);
// Asks the kernel for coalesced trains on a UDP socket: false where it
// cannot (before Linux 5.0, or not UDP).
bool enable_udp_gro(int socket);

#endif
