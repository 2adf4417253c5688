// The simulated camera's address space: regions of bytes with a read-only
// or read-write attribute per 32-bit word; unmapped addresses answer
// INVALID_ADDRESS as a device does.
#ifndef VORA_SIM_MEMORY_H
#define VORA_SIM_MEMORY_H

#include <cstdint>
#include <string>
#include <vector>

namespace vsim {

// A write-only word takes writes and keeps the value, but refuses reads.
enum class Access : uint8_t { None = 0, ReadOnly = 1, ReadWrite = 2, WriteOnly = 3 };

class DeviceMemory {
public:
    // Maps [base, base + size) with the given access; size is rounded up to
    // whole words. Regions must not overlap.
    void map(uint32_t base, uint32_t size, Access access);
    // Changes the access of the words of an already mapped range.
    void set_access(uint32_t base, uint32_t size, Access access);

    // Device status words: 0, or INVALID_ADDRESS / WRITE_PROTECT.
    uint16_t check_read(uint32_t address, uint32_t size) const;
    uint16_t check_write(uint32_t address, uint32_t size) const;

    // Raw access without checks (the device's own view of its memory).
    uint32_t reg(uint32_t address) const;
    void set_reg(uint32_t address, uint32_t value);
    void read(uint32_t address, uint8_t* out, uint32_t size) const;
    void write(uint32_t address, const uint8_t* data, uint32_t size);
    void set_string(uint32_t address, uint32_t field_size, const std::string& text);
    std::string string_at(uint32_t address, uint32_t field_size) const;

private:
    struct Region {
        uint32_t base;
        std::vector<uint8_t> bytes;
        std::vector<Access> words;
    };
    const Region* find(uint32_t address, uint32_t size) const;
    Region* find(uint32_t address, uint32_t size);

    std::vector<Region> regions_;
};

}  // namespace vsim

#endif
