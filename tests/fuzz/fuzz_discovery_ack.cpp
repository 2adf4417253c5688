// Discovery acknowledges from anyone on the network: only a well-formed
// answer to our request becomes a record, and whatever its text fields
// hold, the log file named after its serial number stays a plain name.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "discovery/vora_discovery.h"
#include "fuzz_check.h"
#include "gvcp_codec.h"
#include "log/vora_cameralog.h"
#include "vora_base_type.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Two bytes choose the request id and the sender's port; the rest is the
    // datagram.
    if (size < 2)
        return 0;
    const uint16_t req_id = static_cast<uint16_t>(data[0] << 8 | data[1]);
    const uint16_t from_port = req_id & 1 ? GVCP_PORT : static_cast<uint16_t>(req_id);
    const size_t len = size - 2;
    std::unique_ptr<uint8_t[]> datagram(new uint8_t[len ? len : 1]);
    if (len)
        std::memcpy(datagram.get(), data + 2, len);

    if (!discovery_ack_matches(datagram.get(), len, from_port, req_id))
        return 0;
    fuzz_check(len == gvcp::DISCOVERY_ACK_LEN && from_port == GVCP_PORT);
    fuzz_check(gvcp::get_u16(datagram.get() + 6) == req_id && gvcp::get_u16(datagram.get()) == gvcp::STATUS_SUCCESS);
    DiscoveryInfo info;
    std::memset(&info, 0, sizeof info);
    parse_discovery_ack(datagram.get(), &info);
    const std::string name = safe_log_name(info.device_serial_number, sizeof info.device_serial_number);
    fuzz_check(!name.empty() && name.size() <= sizeof info.device_serial_number && name[0] != '.');
    for (char c : name)
        fuzz_check(c >= 0x20 && c < 0x7F && c != '/' && c != '\\');
    return 0;
}
