#include "stream/receive_batch.h"

#include <netinet/udp.h>

#include <algorithm>
#include <cstring>

#ifndef UDP_GRO
#define UDP_GRO 104  // older C library headers than the kernel
#endif

namespace {

constexpr size_t CONTROL = 64;  // room for one UDP_GRO message per datagram

}  // namespace

ReceiveBatch::ReceiveBatch(size_t messages, size_t segment)
    : segment_(segment), train_landings_(segment > HEAD ? std::min(TRAIN_MAX, MESSAGE_MAX / segment) : 1),
      slots_(messages), messages_(messages), senders_(messages), control_(messages * CONTROL),
      scratch_(messages * MESSAGE_MAX)
{
    datagrams_.reserve(messages * TRAIN_MAX);
    for (size_t i = 0; i < messages; ++i) {
        // Addresses handed to the kernel never move.
        slots_[i].iov.reserve(2 * TRAIN_MAX + 1);
        slots_[i].aims.reserve(TRAIN_MAX);
        std::memset(&messages_[i], 0, sizeof messages_[i]);
        messages_[i].msg_hdr.msg_name = &senders_[i];
        aim_at_scratch(i);
    }
}

void ReceiveBatch::aim_at_scratch(size_t i)
{
    Message& m = slots_[i];
    m.iov.assign(1, iovec{scratch(i), MESSAGE_MAX});
    m.aims.clear();
    m.landings = 0;
}

void ReceiveBatch::lay_out(size_t i, const Landing* landings, size_t count)
{
    Message& m = slots_[i];
    m.iov.clear();
    m.aims.clear();
    m.landings = count;
    size_t run = 0;     // start of the scratch bytes not aimed yet
    size_t offset = 0;  // of the next segment
    for (size_t k = 0; k < count; ++k) {
        const Landing& l = landings[k];
        if (l.data && l.length) {
            const size_t at = offset + HEAD;
            m.iov.push_back(iovec{scratch(i) + run, at - run});
            m.iov.push_back(iovec{l.data, l.length});
            m.aims.push_back(Aim{l, offset, false});
            run = at + l.length;
        }
        offset += segment_;
    }
    m.iov.push_back(iovec{scratch(i) + run, MESSAGE_MAX - run});
}

void ReceiveBatch::prepare(const Landing* landings, size_t count, size_t per_message)
{
    const bool trains = per_message > 1 && train_landings_ > 1;
    per_message = trains ? std::min(per_message, train_landings_) : 1;
    size_t used = 0;
    size_t i = 0;
    for (; i < messages_.size() && used < count; ++i) {
        size_t take = 0;
        while (used + take < count && take < per_message) {
            const size_t length = landings[used + take].length;
            if (trains && HEAD + length > segment_)
                break;  // cannot lie inside a segment: on its own
            ++take;
            if (trains && HEAD + length < segment_)
                break;  // a shorter datagram ends a train
        }
        if (take == 0)
            take = 1;
        lay_out(i, landings + used, take);
        used += take;
    }
    const size_t aimed = i;
    for (; i < std::min(dirty_, messages_.size()); ++i)
        aim_at_scratch(i);
    dirty_ = aimed;
    // The kernel writes back lengths and flags.
    for (size_t k = 0; k < messages_.size(); ++k) {
        msghdr& h = messages_[k].msg_hdr;
        h.msg_iov = slots_[k].iov.data();
        h.msg_iovlen = slots_[k].iov.size();
        h.msg_namelen = sizeof senders_[k];
        h.msg_control = control_.data() + k * CONTROL;
        h.msg_controllen = CONTROL;
        h.msg_flags = 0;
    }
}

void ReceiveBatch::settle(size_t count)
{
    datagrams_.clear();
    trains_ = 0;
    irregular_ = 0;
    count = std::min(count, messages_.size());
    // Every message is set right before any datagram is read: a datagram
    // moved out of one message's landing may belong where another landed.
    for (size_t i = 0; i < count; ++i)
        settle_message(i);
}

void ReceiveBatch::settle_message(size_t i)
{
    Message& m = slots_[i];
    const size_t n = messages_[i].msg_len;
    size_t g = train_segment_size(messages_[i].msg_hdr);
    if (g == 0 || g > n)
        g = n;
    const size_t segments = n == 0 ? 1 : (n + g - 1) / g;
    if (segments > 1) {
        ++trains_;
        if (g != segment_)
            ++irregular_;
    }
    // A landing holds its packet when a segment starts where it was aimed,
    // is that packet, and ends no earlier than the landing (or is the last).
    // The others go back to scratch, which then holds every byte of the
    // message but those landed.
    for (Aim& a : m.aims) {
        a.landed = false;
        const size_t at = a.offset + HEAD;
        const size_t written = n > at ? std::min(n - at, a.landing.length) : 0;
        if (written == 0)
            continue;
        const size_t j = a.offset / g;
        gvsp::Header header;
        a.landed = a.offset % g == 0 && (HEAD + a.landing.length <= g || j + 1 == segments) &&
                   gvsp::parse_header(scratch(i) + a.offset, HEAD, &header) && header.format == gvsp::FORMAT_PAYLOAD &&
                   header.block_id == a.landing.block_id && header.packet_id == a.landing.packet_id;
        if (!a.landed)
            std::memcpy(scratch(i) + at, a.landing.data, written);
    }
    size_t k = 0;
    for (size_t j = 0; j < segments; ++j) {
        const size_t start = j * g;
        const size_t length = n == 0 ? 0 : std::min(g, n - start);
        while (k < m.aims.size() && m.aims[k].offset < start)
            ++k;
        Entry e{};
        e.message = static_cast<uint32_t>(i);
        Datagram& d = e.datagram;
        d.in_train = segments > 1;
        d.head = scratch(i) + start;
        d.head_len = std::min(HEAD, length);
        if (k < m.aims.size() && m.aims[k].offset == start && m.aims[k].landed) {
            const Landing& l = m.aims[k].landing;
            d.body = l.data;
            d.body_len = std::min(length - d.head_len, l.length);
            d.tail = scratch(i) + start + HEAD + l.length;
            d.tail_len = length - d.head_len - d.body_len;
            e.landed = true;
        } else {
            d.body = scratch(i) + start + d.head_len;
            d.body_len = length - d.head_len;
        }
        datagrams_.push_back(e);
    }
}

size_t train_segment_size(const msghdr& message)
{
    msghdr& m = const_cast<msghdr&>(message);  // the macros take no const
    if (!m.msg_control)
        return 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level == SOL_UDP && c->cmsg_type == UDP_GRO && c->cmsg_len >= CMSG_LEN(sizeof(int))) {
            int size;
            std::memcpy(&size, CMSG_DATA(c), sizeof size);
            return size > 0 ? static_cast<size_t>(size) : 0;
        }
    }
    return 0;
}

bool enable_udp_gro(int socket)
{
    const int on = 1;
    return setsockopt(socket, SOL_UDP, UDP_GRO, &on, sizeof on) == 0;
}
