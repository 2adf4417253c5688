// What recvmmsg does with one datagram, for tests that drive a ReceiveBatch
// without a socket: the bytes spread over the slot's buffers in order, the
// length and the sender recorded.
#ifndef VORA_TESTS_KERNEL_SCATTER_H
#define VORA_TESTS_KERNEL_SCATTER_H

#include <netinet/udp.h>
#include <sys/socket.h>

#include <cstring>
#include <vector>

#include "socket_address.h"
#include "stream/receive_batch.h"

inline void kernel_scatter(ReceiveBatch& batch, size_t slot, const std::vector<uint8_t>& datagram, uint32_t ip,
                           uint16_t port)
{
    mmsghdr& m = batch.messages()[slot];
    size_t done = 0;
    for (size_t k = 0; k < m.msg_hdr.msg_iovlen && done < datagram.size(); ++k) {
        const iovec& v = m.msg_hdr.msg_iov[k];
        const size_t n = std::min(v.iov_len, datagram.size() - done);
        std::memcpy(v.iov_base, datagram.data() + done, n);
        done += n;
    }
    m.msg_len = static_cast<unsigned>(done);
    *static_cast<sockaddr_in*>(m.msg_hdr.msg_name) = make_addr(ip, port);
}

// What a receive with UDP GRO does with a train the kernel coalesced: the
// segments' bytes back to back, their size in a control message.
inline void kernel_coalesce(ReceiveBatch& batch, size_t slot, const std::vector<std::vector<uint8_t>>& segments,
                            uint32_t ip, uint16_t port)
{
    std::vector<uint8_t> bytes;
    for (const auto& s : segments)
        bytes.insert(bytes.end(), s.begin(), s.end());
    kernel_scatter(batch, slot, bytes, ip, port);
    msghdr& h = batch.messages()[slot].msg_hdr;
    if (segments.size() < 2) {
        h.msg_controllen = 0;
        return;
    }
    cmsghdr* c = CMSG_FIRSTHDR(&h);
    c->cmsg_level = SOL_UDP;
    c->cmsg_type = 104;  // UDP_GRO
    c->cmsg_len = CMSG_LEN(sizeof(int));
    const int size = static_cast<int>(segments[0].size());
    std::memcpy(CMSG_DATA(c), &size, sizeof size);
    h.msg_controllen = CMSG_SPACE(sizeof(int));
}

#endif
