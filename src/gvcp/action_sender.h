// Sending one GVCP action command and collecting its acknowledges. Actions
// go from a socket of their own (not a camera's control socket): one
// broadcast reaches every camera behind an interface, and the acknowledges
// come from all of them.
#ifndef VORA_ACTION_SENDER_H
#define VORA_ACTION_SENDER_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "gvcp_codec.h"

namespace gvcp_action {

struct Reply {
    uint32_t camera_ip = 0;  // host byte order
    uint16_t status = 0;
};

struct Request {
    uint32_t host_ip = 0;    // the interface it leaves from
    uint32_t camera_ip = 0;  // 0: the interface's limited broadcast
    gvcp::Action action;
    int ack_timeout_ms = 0;  // 0: no acknowledge asked for
    size_t max_replies = 0;  // stop collecting once this many have come (0: only the time ends it)
    // When not empty, acknowledges from other addresses are ignored, and
    // collecting ends once each of these has answered.
    std::vector<uint32_t> expected;
};

// Sends each request (all of them first, so that no interface waits for
// another's acknowledges), then collects acknowledges for all at once until
// each is done or its time is up: replies[i] answers requests[i], one reply
// per camera address (a repeated or stale answer, one to another request, a
// runt are dropped). 0, or -2 for bad arguments, -6 without a socket, -7
// when a host address cannot be bound, -1 when sending fails.
int send(const std::vector<Request>& requests, std::vector<std::vector<Reply>>* replies);

// Takes one datagram from ip:port as an acknowledge of `request` sent with
// request id `id`: true when it was one and is now in replies (once per
// camera address). Everything else a peer may send is dropped here.
bool accept_reply(const uint8_t* data, size_t len, uint32_t ip, uint16_t port, const Request& request, uint16_t id,
                  std::vector<Reply>* replies);

// The request id of the next action: 1..65535, shared by every sender.
uint16_t next_request_id();

}  // namespace gvcp_action

#endif
