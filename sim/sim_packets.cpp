// The GVSP packets of a block, and sending them in batches with sendmmsg.
#include "sim_packets.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "socket_address.h"

namespace vsim {

namespace {

constexpr int BATCH = 64;

}  // namespace

SentBlock cut_block(uint16_t block_id, uint64_t ticks, const FrameData& frame, uint32_t chunk)
{
    const size_t bytes = frame.image ? frame.image->size() : 0;
    return SentBlock{block_id, ticks, frame, chunk, static_cast<uint32_t>((bytes + chunk - 1) / chunk)};
}

Packet make_packet(const SentBlock& b, uint32_t id, uint16_t status)
{
    Packet p{};
    const FrameData& f = b.frame;
    if (id == 0) {
        gvsp::Leader leader{};
        leader.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
        leader.timestamp = b.ticks;
        leader.pixel_format = f.pixel_format;
        leader.size_x = f.width;
        leader.size_y = f.height;
        leader.offset_x = f.offset_x;
        leader.offset_y = f.offset_y;
        p.head_len = gvsp::build_leader(p.head, status, b.block_id, leader);
    } else if (id == b.packet_count + 1) {
        p.head_len =
            gvsp::build_trailer(p.head, status, b.block_id, id, gvsp::Trailer{gvsp::PAYLOAD_TYPE_IMAGE, f.height});
    } else {
        p.head_len = gvsp::build_header(p.head, status, b.block_id, gvsp::FORMAT_PAYLOAD, id);
        const size_t offset = size_t(id - 1) * b.chunk;
        p.data = f.image->data() + offset;
        p.data_len = std::min<size_t>(b.chunk, f.image->size() - offset);
    }
    return p;
}

void send_packets(int sock, uint32_t host, uint32_t port, std::vector<Packet>& packets)
{
    sockaddr_in to = make_addr(host, static_cast<uint16_t>(port));
    mmsghdr msgs[BATCH];
    iovec iov[BATCH][2];
    for (size_t start = 0; start < packets.size(); start += BATCH) {
        const size_t n = std::min<size_t>(BATCH, packets.size() - start);
        for (size_t i = 0; i < n; ++i) {
            Packet& p = packets[start + i];
            iov[i][0] = {p.head, p.head_len};
            iov[i][1] = {const_cast<uint8_t*>(p.data), p.data_len};
            std::memset(&msgs[i], 0, sizeof msgs[i]);
            msgs[i].msg_hdr.msg_name = &to;
            msgs[i].msg_hdr.msg_namelen = sizeof to;
            msgs[i].msg_hdr.msg_iov = iov[i];
            msgs[i].msg_hdr.msg_iovlen = p.data_len ? 2 : 1;
        }
        size_t sent = 0;
        for (int tries = 0; sent < n && tries < 1000; ++tries) {
            const int r = sendmmsg(sock, msgs + sent, static_cast<unsigned>(n - sent), 0);
            if (r > 0) {
                sent += static_cast<size_t>(r);
            } else if (r < 0 && (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)) {
                // The local queue is full for a moment: wait, do not drop.
                pollfd p{sock, POLLOUT, 0};
                poll(&p, 1, 1);
            } else {
                // The host is gone or the path refuses the size: the
                // packet is lost, as on a wire.
                ++sent;
            }
        }
    }
}

}  // namespace vsim
