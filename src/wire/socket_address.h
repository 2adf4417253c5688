// IPv4 socket addresses from host-order values, for the library, the
// simulated camera, the tests and the benchmarks alike.
#ifndef VORA_SOCKET_ADDRESS_H
#define VORA_SOCKET_ADDRESS_H

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstring>

inline sockaddr_in make_addr(uint32_t ip, uint16_t port)
{
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    return a;
}

#endif
