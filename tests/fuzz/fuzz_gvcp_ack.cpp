// Acknowledge matching of the control channel: any datagram from any
// sender, against any expectation. A match must be exactly what the
// expectation asked for, and nothing may be read past the datagram.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "fuzz_check.h"
#include "gvcp_codec.h"
#include "vora_base_type.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The first 16 bytes choose the expectation and the sender; the rest is
    // the datagram.
    const uint8_t* p = data;
    size_t left = size;
    gvcp::AckExpectation want{};
    want.peer_ip = fuzz_take(p, left, 4) & 1 ? 0 : 0xC0A8010A;
    const uint32_t answer_and_id = fuzz_take(p, left, 4);
    want.answer = static_cast<uint16_t>(answer_and_id >> 16);
    want.ack_id = static_cast<uint16_t>(answer_and_id);
    want.success_len = fuzz_take(p, left, 4) % 600;
    const uint32_t sender = fuzz_take(p, left, 4);
    const uint32_t from_ip = sender & 0x100 ? 0xC0A8010A : sender;
    const uint16_t from_port = sender & 0x200 ? GVCP_PORT : static_cast<uint16_t>(sender >> 16);

    // Exactly the bytes received, so that the sanitizer sees any overread.
    std::unique_ptr<uint8_t[]> datagram(new uint8_t[left ? left : 1]);
    if (left)
        std::memcpy(datagram.get(), p, left);
    gvcp::AckHeader header{};
    if (gvcp::ack_matches(datagram.get(), left, from_ip, from_port, want, &header)) {
        fuzz_check(left >= gvcp::HEADER_LEN);
        fuzz_check(from_port == GVCP_PORT);
        fuzz_check(want.peer_ip == 0 || from_ip == want.peer_ip);
        fuzz_check(header.answer == want.answer && header.ack_id == want.ack_id);
        fuzz_check(header.status != gvcp::STATUS_SUCCESS || left >= want.success_len);
        fuzz_check(header.status == gvcp::get_u16(datagram.get()));
    }
    return 0;
}
