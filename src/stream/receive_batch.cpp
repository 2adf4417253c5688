#include "stream/receive_batch.h"

#include <algorithm>
#include <cstring>

ReceiveBatch::ReceiveBatch(size_t slots)
    : slots_(slots), messages_(slots), senders_(slots), scratch_(slots * DATAGRAM_MAX)
{
    // What stays the same from call to call is set once; every slot starts
    // aimed at scratch memory.
    for (size_t i = 0; i < slots; ++i) {
        Slot& s = slots_[i];
        s.iov[0] = {s.head, HEAD};
        std::memset(&messages_[i], 0, sizeof messages_[i]);
        msghdr& h = messages_[i].msg_hdr;
        h.msg_iov = s.iov;
        h.msg_name = &senders_[i];
        aim_at_scratch(i);
    }
}

void ReceiveBatch::aim_at_scratch(size_t i)
{
    Slot& s = slots_[i];
    s.expected = false;
    s.iov[1] = {scratch(i), DATAGRAM_MAX - HEAD};
    msghdr& h = messages_[i].msg_hdr;
    h.msg_iovlen = 2;
    h.msg_namelen = sizeof senders_[i];
    h.msg_flags = 0;
}

void ReceiveBatch::prepare(const Landing* landings, size_t count)
{
    // Slots past both this call's landings and what the last call touched
    // are aimed at scratch already.
    const size_t touched = std::min(std::max(count, dirty_), slots_.size());
    for (size_t i = 0; i < touched; ++i) {
        if (i >= count || !landings[i].data) {
            aim_at_scratch(i);
            continue;
        }
        Slot& s = slots_[i];
        s.expected = true;
        s.landing = landings[i];
        // What a longer datagram carries beyond its landing goes to
        // scratch, behind room for the landing's bytes (see settle).
        s.iov[1] = {s.landing.data, s.landing.length};
        s.iov[2] = {scratch(i) + s.landing.length, DATAGRAM_MAX - HEAD - s.landing.length};
        // The kernel writes back the sender's length and the flags.
        msghdr& h = messages_[i].msg_hdr;
        h.msg_iovlen = 3;
        h.msg_namelen = sizeof senders_[i];
        h.msg_flags = 0;
    }
    dirty_ = std::min(count, slots_.size());
}

void ReceiveBatch::settle(size_t count)
{
    dirty_ = std::max(dirty_, std::min(count, slots_.size()));
    for (size_t i = 0; i < count && i < slots_.size(); ++i) {
        Slot& s = slots_[i];
        const size_t length = messages_[i].msg_len;
        Datagram& d = s.datagram;
        d = Datagram{};
        d.head = s.head;
        d.head_len = length < HEAD ? length : HEAD;
        const size_t rest = length - d.head_len;
        s.landed = false;
        if (!s.expected) {
            d.body = scratch(i);
            d.body_len = rest;
            continue;
        }
        const size_t in_frame = rest < s.landing.length ? rest : s.landing.length;
        gvsp::Header header;
        s.landed = in_frame > 0 && gvsp::parse_header(d.head, d.head_len, &header) &&
                   header.format == gvsp::FORMAT_PAYLOAD && header.block_id == s.landing.block_id &&
                   header.packet_id == s.landing.packet_id;
        if (s.landed) {
            d.body = s.landing.data;
            d.body_len = in_frame;
            d.tail = scratch(i) + s.landing.length;
            d.tail_len = rest - in_frame;
        } else {
            // Not the expected packet: out of the frame, in front of its
            // own overflow, before any frame is handed over.
            std::memcpy(scratch(i), s.landing.data, in_frame);
            d.body = scratch(i);
            d.body_len = rest;
        }
    }
}
