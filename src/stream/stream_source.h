// Which datagrams belong to a stream channel: those from the camera's
// address and the stream source port it reported. The register is optional
// and some devices report 0; a channel whose camera does is locked onto the
// port of the first well-formed leader from the camera's address.
#ifndef VORA_STREAM_SOURCE_H
#define VORA_STREAM_SOURCE_H

#include <cstddef>
#include <cstdint>

class StreamSource {
public:
    StreamSource(uint32_t camera_ip, uint16_t source_port) : ip_(camera_ip), port_(source_port) {}

    // True when the datagram, received from ip:port (host order), is the
    // channel's.
    bool accept(uint32_t ip, uint16_t port, const uint8_t* datagram, size_t length);
    // The source port, 0 while not known yet.
    uint16_t port() const { return port_; }

private:
    const uint32_t ip_;
    uint16_t port_;
};

#endif
