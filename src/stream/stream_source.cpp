#include "stream/stream_source.h"

#include "gvsp_codec.h"

bool StreamSource::accept(uint32_t ip, uint16_t port, const uint8_t* datagram, size_t length)
{
    if (ip != ip_ || port == 0)
        return false;
    if (port_ != 0)
        return port == port_;
    gvsp::Header header;
    gvsp::Leader leader;
    if (!gvsp::parse_header(datagram, length, &header) || header.format != gvsp::FORMAT_LEADER ||
        header.packet_id != 0 || !gvsp::opens_block(header.status) || !gvsp::parse_leader(datagram, length, &leader))
        return false;
    port_ = port;
    return true;
}
