// Dotted text of a host-order IPv4 address, most significant byte first.
#ifndef VORA_IP_TEXT_H
#define VORA_IP_TEXT_H

#include <cstdio>

// `out` holds 16 bytes: "255.255.255.255" and its terminator.
inline const char* format_ipv4(unsigned address, char* out)
{
    std::snprintf(out, 16, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF, address & 0xFF);
    return out;
}

#endif
