// Where register nodes read and write: the camera's memory over GVCP, or a
// test's bytes. Addresses and lengths are the description's; the port splits
// or pads as its transport needs.
#ifndef VORA_GENICAM_PORT_H
#define VORA_GENICAM_PORT_H

#include <cstddef>
#include <cstdint>

namespace genicam {

class Port {
public:
    virtual ~Port() = default;
    // 0, or the transport's negative status (a device status sign-extended).
    virtual int read(uint64_t address, void* data, size_t length) = 0;
    virtual int write(uint64_t address, const void* data, size_t length) = 0;
};

}  // namespace genicam

#endif
