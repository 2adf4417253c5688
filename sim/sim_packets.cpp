// The GVSP packets of a block, and sending them in batches with sendmmsg.
#include "sim_packets.h"

#include <netinet/in.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "socket_address.h"

namespace vsim {

namespace {

constexpr int BATCH = 64;
// iovecs of one sendmmsg call: a packet takes two.
constexpr size_t BATCH_IOVECS = 1024;

size_t datagram_len(const Packet& p)
{
    return p.head_len + p.data_len;
}

// A full local queue is waited for rather than taken as a loss.
bool must_wait(int err)
{
    return err == ENOBUFS || err == EAGAIN || err == EINTR;
}

void send_slice(int sock, uint32_t host, uint32_t port, const std::vector<Packet>& packets, size_t first, size_t count)
{
    std::vector<Packet> slice(packets.begin() + static_cast<std::ptrdiff_t>(first),
                              packets.begin() + static_cast<std::ptrdiff_t>(first + count));
    send_packets(sock, host, port, slice);
}

// Said once per process, however many cameras find it out.
std::atomic<bool> g_told_off{false}, g_told_size{false};

void tell_once(std::atomic<bool>& told, const std::string& what, int err)
{
    if (!told.exchange(true))
        std::fprintf(stderr, "vora-camsim: %s (%s)\n", what.c_str(), std::strerror(err));
}

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
            } else if (r < 0 && must_wait(errno)) {
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

std::vector<Train> plan_trains(const std::vector<Packet>& packets, size_t max_segments, size_t max_bytes)
{
    std::vector<Train> plan;
    for (size_t i = 0; i < packets.size();) {
        Train t{i, 1, datagram_len(packets[i])};
        // Only payload packets in their place ride in trains.
        if (packets[i].data_len > 0 && !packets[i].alone) {
            size_t bytes = t.segment;
            while (i + t.count < packets.size() && t.count < max_segments) {
                const Packet& p = packets[i + t.count];
                const size_t len = datagram_len(p);
                if (p.data_len == 0 || p.alone || len > t.segment || bytes + len > max_bytes)
                    break;
                ++t.count;
                bytes += len;
                if (len < t.segment)
                    break;  // only the last segment may be shorter
            }
        }
        plan.push_back(t);
        i += t.count;
    }
    return plan;
}

bool PacketSender::supported(int sock)
{
    if (!probed_) {
        probed_ = true;
        int none = 0;
        if (setsockopt(sock, SOL_UDP, UDP_SEGMENT, &none, sizeof none) != 0)
            disable("the kernel cuts no UDP trains", errno);
    }
    return !disabled_;
}

void PacketSender::disable(const char* why, int err)
{
    disabled_ = true;
    tell_once(g_told_off, std::string(why) + ": stream packets go datagram by datagram", err);
}

void PacketSender::send(int sock, uint32_t host, uint32_t port, std::vector<Packet>& packets, bool trains)
{
    if (!trains || disabled_ || !supported(sock)) {
        send_packets(sock, host, port, packets);
        return;
    }
    std::vector<Train> plan;
    for (const Train& t : plan_trains(packets)) {
        const bool refused =
            std::find(refused_segments_.begin(), refused_segments_.end(), t.segment) != refused_segments_.end();
        if (t.count > 1 && refused)
            for (size_t k = 0; k < t.count; ++k)
                plan.push_back(Train{t.first + k, 1, datagram_len(packets[t.first + k])});
        else
            plan.push_back(t);
    }

    sockaddr_in to = make_addr(host, static_cast<uint16_t>(port));
    mmsghdr msgs[BATCH];
    iovec iov[BATCH_IOVECS];
    alignas(cmsghdr) uint8_t control[BATCH][CMSG_SPACE(sizeof(uint16_t))];
    for (size_t start = 0; start < plan.size();) {
        size_t n = 0, used = 0;
        for (; start + n < plan.size() && n < static_cast<size_t>(BATCH); ++n) {
            const Train& t = plan[start + n];
            if (used + 2 * t.count > BATCH_IOVECS)
                break;
            iovec* v = iov + used;
            size_t k = 0;
            for (size_t j = 0; j < t.count; ++j) {
                Packet& p = packets[t.first + j];
                v[k++] = {p.head, p.head_len};
                if (p.data_len)
                    v[k++] = {const_cast<uint8_t*>(p.data), p.data_len};
            }
            used += k;
            msghdr& m = msgs[n].msg_hdr;
            std::memset(&msgs[n], 0, sizeof msgs[n]);
            m.msg_name = &to;
            m.msg_namelen = sizeof to;
            m.msg_iov = v;
            m.msg_iovlen = k;
            if (t.count > 1) {
                std::memset(control[n], 0, sizeof control[n]);
                m.msg_control = control[n];
                m.msg_controllen = sizeof control[n];
                cmsghdr* c = CMSG_FIRSTHDR(&m);
                c->cmsg_level = SOL_UDP;
                c->cmsg_type = UDP_SEGMENT;
                c->cmsg_len = CMSG_LEN(sizeof(uint16_t));
                const uint16_t segment = static_cast<uint16_t>(t.segment);
                std::memcpy(CMSG_DATA(c), &segment, sizeof segment);
            }
        }
        size_t sent = 0;
        for (int tries = 0; sent < n && tries < 1000; ++tries) {
            const int r = sendmmsg(sock, msgs + sent, static_cast<unsigned>(n - sent), 0);
            if (r > 0) {
                for (size_t k = sent; k < sent + static_cast<size_t>(r); ++k)
                    if (plan[start + k].count > 1)
                        trains_sent_.fetch_add(1, std::memory_order_relaxed);
                sent += static_cast<size_t>(r);
                continue;
            }
            const int err = r < 0 ? errno : 0;
            if (must_wait(err)) {
                pollfd p{sock, POLLOUT, 0};
                poll(&p, 1, 1);
                continue;
            }
            const Train& t = plan[start + sent];
            if (t.count > 1 && (err == EIO || err == EINVAL || err == EMSGSIZE)) {
                // The kernel sent nothing of a train it refused, so its
                // datagrams go again one by one and nothing is lost. A
                // device that cannot checksum trains (EIO) ends them for good.
                if (err == EIO) {
                    disable("the device takes no UDP trains", err);
                    send_slice(sock, host, port, packets, t.first, packets.size() - t.first);
                    return;
                }
                // A segment larger than the route takes: that size goes
                // datagram by datagram from now on, as the path would have it.
                if (std::find(refused_segments_.begin(), refused_segments_.end(), t.segment) == refused_segments_.end())
                    refused_segments_.push_back(t.segment);
                tell_once(g_told_size,
                          "UDP trains of " + std::to_string(t.segment) +
                              "-byte datagrams refused; datagrams of that size go one by one",
                          err);
                send_slice(sock, host, port, packets, t.first, t.count);
                ++sent;
                continue;
            }
            // The host is gone or the path refuses the size: the packet is
            // lost, as on a wire.
            ++sent;
        }
        // Whatever the waiting gave up on is lost, as above.
        start += n;
    }
}

}  // namespace vsim
