#include "gvcp/action_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>

#include "vora_base_type.h"

namespace gvcp_action {

namespace {

using Clock = std::chrono::steady_clock;

// Datagrams read before the clock is looked at again, so that a flood
// cannot hold the loop past its time.
constexpr int DRAIN_BATCH = 64;
// Answers kept for one request at most: a flood from forged addresses must
// not grow the list until the time is up.
constexpr size_t MAX_REPLIES = 4096;

sockaddr_in address(uint32_t ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}

bool wanted(const Request& r, uint32_t ip)
{
    return r.expected.empty() || std::find(r.expected.begin(), r.expected.end(), ip) != r.expected.end();
}

bool done(const Request& r, const std::vector<Reply>& replies)
{
    if (r.max_replies != 0 && replies.size() >= r.max_replies)
        return true;
    return !r.expected.empty() && replies.size() >= r.expected.size();
}

}  // namespace

uint16_t next_request_id()
{
    static std::atomic<uint16_t> id{0};
    uint16_t current = id.load();
    uint16_t next;
    do {
        next = static_cast<uint16_t>(current + 1);
        if (next == 0)
            next = 1;
    } while (!id.compare_exchange_weak(current, next));
    return next;
}

namespace {

// One request on the wire: its socket, id and how long it listens.
struct Pending {
    const Request* request = nullptr;
    std::vector<Reply>* replies = nullptr;
    int sock = -1;
    uint16_t id = 0;
    Clock::time_point deadline;
    bool open() const { return sock >= 0 && Clock::now() < deadline && !done(*request, *replies); }
};

int open_and_send(const Request& r, Pending* p)
{
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0)
        return VORA_ERR_SOCKET;
    int one = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in local = address(r.host_ip, 0);
    if (bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(sock);
        return VORA_ERR_BIND;
    }
    p->id = next_request_id();
    uint8_t cmd[gvcp::SCHEDULED_ACTION_CMD_LEN];
    const size_t len = gvcp::build_action(cmd, p->id, r.action, r.ack_timeout_ms > 0);
    // A bound socket's limited broadcast leaves through the interface that
    // owns the address, as discovery's does.
    sockaddr_in to = address(r.camera_ip != 0 ? r.camera_ip : INADDR_BROADCAST, GVCP_PORT);
    if (sendto(sock, cmd, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) != static_cast<ssize_t>(len)) {
        close(sock);
        return VORA_ERR_FAILED;
    }
    p->sock = sock;
    p->deadline = Clock::now() + std::chrono::milliseconds(r.ack_timeout_ms);
    return VORA_OK;
}

void take_acks(Pending& p)
{
    for (int n = 0; n < DRAIN_BATCH && !done(*p.request, *p.replies); ++n) {
        uint8_t ack[64];
        sockaddr_in from{};
        socklen_t from_len = sizeof from;
        const ssize_t got =
            recvfrom(p.sock, ack, sizeof ack, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (got < 0)
            return;
        accept_reply(ack, static_cast<size_t>(got), ntohl(from.sin_addr.s_addr), ntohs(from.sin_port), *p.request, p.id,
                     p.replies);
    }
}

}  // namespace

bool accept_reply(const uint8_t* data, size_t len, uint32_t ip, uint16_t port, const Request& r, uint16_t id,
                  std::vector<Reply>* replies)
{
    const gvcp::AckExpectation want{r.camera_ip, gvcp::ACTION_ACK, id, gvcp::HEADER_LEN};
    gvcp::AckHeader header;
    if (replies->size() >= MAX_REPLIES || !gvcp::ack_matches(data, len, ip, port, want, &header) || !wanted(r, ip))
        return false;
    const bool seen =
        std::any_of(replies->begin(), replies->end(), [ip](const Reply& reply) { return reply.camera_ip == ip; });
    if (seen)
        return false;
    replies->push_back(Reply{ip, header.status});
    return true;
}

int send(const std::vector<Request>& requests, std::vector<std::vector<Reply>>* replies)
{
    if (!replies)
        return VORA_ERR_INVALID_ARG;
    for (const Request& r : requests)
        if (r.host_ip == 0 || r.ack_timeout_ms < 0)
            return VORA_ERR_INVALID_ARG;
    replies->assign(requests.size(), {});
    std::vector<Pending> pending(requests.size());
    int status = VORA_OK;
    for (size_t i = 0; i < requests.size() && status == VORA_OK; ++i) {
        pending[i].request = &requests[i];
        pending[i].replies = &(*replies)[i];
        status = open_and_send(requests[i], &pending[i]);
    }
    for (;;) {
        std::vector<pollfd> fds;
        std::vector<Pending*> listening;
        Clock::time_point wake = Clock::now();
        for (Pending& p : pending)
            if (status == VORA_OK && p.request->ack_timeout_ms > 0 && p.open()) {
                fds.push_back({p.sock, POLLIN, 0});
                listening.push_back(&p);
                wake = std::max(wake, p.deadline);
            }
        if (listening.empty())
            break;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(wake - Clock::now()).count();
        if (poll(fds.data(), fds.size(), static_cast<int>(std::max<long long>(left, 0)) + 1) <= 0)
            continue;
        for (size_t i = 0; i < listening.size(); ++i)
            if (fds[i].revents & POLLIN)
                take_acks(*listening[i]);
    }
    for (Pending& p : pending)
        if (p.sock >= 0)
            close(p.sock);
    return status;
}

}  // namespace gvcp_action
