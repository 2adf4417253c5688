// The action command's acknowledge path: a run of datagrams from any
// senders, collected against one broadcast or unicast request. Every reply
// kept must be an acknowledge of that request from a wanted camera, each
// camera once; and any command a camera receives parses within its bytes.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_check.h"
#include "gvcp/action_sender.h"
#include "gvcp_codec.h"
#include "vora_base_type.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* p = data;
    size_t left = size;
    // The request: unicast or broadcast, with or without a list of cameras.
    const uint32_t shape = fuzz_take(p, left, 1);
    gvcp_action::Request request;
    request.host_ip = 0x0A000001;
    request.camera_ip = shape & 1 ? 0x0A000002 : 0;
    if (shape & 2)
        request.expected = {0x0A000002, 0x0A000003, 0x0A000004};
    const uint16_t id = static_cast<uint16_t>(fuzz_take(p, left, 2));

    std::vector<gvcp_action::Reply> replies;
    while (left > 0) {
        // Each datagram: sender (1 byte picks one of a few addresses and
        // ports), length (1 byte), then its bytes.
        const uint32_t sender = fuzz_take(p, left, 1);
        size_t len = fuzz_take(p, left, 1);
        len = len < left ? len : left;
        const uint32_t ip = 0x0A000000 | (sender & 7);
        const uint16_t port = sender & 8 ? 1234 : GVCP_PORT;
        std::unique_ptr<uint8_t[]> datagram(new uint8_t[len ? len : 1]);
        if (len)
            std::memcpy(datagram.get(), p, len);
        p += len;
        left -= len;

        const size_t before = replies.size();
        const bool kept = gvcp_action::accept_reply(datagram.get(), len, ip, port, request, id, &replies);
        fuzz_check(kept == (replies.size() == before + 1));
        if (kept) {
            fuzz_check(len >= gvcp::HEADER_LEN && port == GVCP_PORT);
            fuzz_check(gvcp::get_u16(datagram.get() + 2) == gvcp::ACTION_ACK);
            fuzz_check(gvcp::get_u16(datagram.get() + 6) == id);
            fuzz_check(request.camera_ip == 0 || ip == request.camera_ip);
            fuzz_check(replies.back().camera_ip == ip && replies.back().status == gvcp::get_u16(datagram.get()));
            for (size_t i = 0; i + 1 < replies.size(); ++i)
                fuzz_check(replies[i].camera_ip != ip);
        }

        // What a camera makes of the same bytes as a command.
        gvcp::Action action;
        if (gvcp::parse_action(datagram.get(), len, &action)) {
            fuzz_check(len >= (action.scheduled ? gvcp::SCHEDULED_ACTION_CMD_LEN : gvcp::ACTION_CMD_LEN));
            uint8_t again[gvcp::SCHEDULED_ACTION_CMD_LEN];
            const size_t n = gvcp::build_action(again, 1, action, false);
            fuzz_check(std::memcmp(again + 8, datagram.get() + 8, n - 8) == 0);
        }
    }
    fuzz_check(replies.size() <= 8);
    return 0;
}
