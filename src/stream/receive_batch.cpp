#include "stream/receive_batch.h"

#include <cstring>

ReceiveBatch::ReceiveBatch(size_t slots)
    : slots_(slots), messages_(slots), senders_(slots), scratch_(slots * DATAGRAM_MAX)
{
}

void ReceiveBatch::prepare(const Landing* landings, size_t count)
{
    for (size_t i = 0; i < slots_.size(); ++i) {
        Slot& s = slots_[i];
        s.expected = i < count && landings[i].data;
        s.iov[0] = {s.head, HEAD};
        if (s.expected) {
            s.landing = landings[i];
            // What a longer datagram carries beyond its landing goes to
            // scratch, behind room for the landing's bytes (see settle).
            s.iov[1] = {s.landing.data, s.landing.length};
            s.iov[2] = {scratch(i) + s.landing.length, DATAGRAM_MAX - HEAD - s.landing.length};
        } else {
            s.iov[1] = {scratch(i), DATAGRAM_MAX - HEAD};
        }
        std::memset(&messages_[i], 0, sizeof messages_[i]);
        msghdr& h = messages_[i].msg_hdr;
        h.msg_iov = s.iov;
        h.msg_iovlen = s.expected ? 3 : 2;
        h.msg_name = &senders_[i];
        h.msg_namelen = sizeof senders_[i];
    }
}

void ReceiveBatch::settle(size_t count)
{
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
