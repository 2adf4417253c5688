#include "sim_memory.h"

#include <cstring>

#include "gvcp_codec.h"

namespace vsim {

void DeviceMemory::map(uint32_t base, uint32_t size, Access access)
{
    uint32_t rounded = (size + 3u) & ~3u;
    regions_.push_back(Region{base, std::vector<uint8_t>(rounded, 0), std::vector<Access>(rounded / 4, access)});
}

const DeviceMemory::Region* DeviceMemory::find(uint32_t address, uint32_t size) const
{
    for (const Region& r : regions_) {
        uint64_t end = uint64_t(r.base) + r.bytes.size();
        if (address >= r.base && uint64_t(address) + size <= end)
            return &r;
    }
    return nullptr;
}

DeviceMemory::Region* DeviceMemory::find(uint32_t address, uint32_t size)
{
    return const_cast<Region*>(static_cast<const DeviceMemory*>(this)->find(address, size));
}

void DeviceMemory::set_access(uint32_t base, uint32_t size, Access access)
{
    Region* r = find(base, size);
    if (!r)
        return;
    for (uint32_t a = base; a < base + size; a += 4)
        r->words[(a - r->base) / 4] = access;
}

uint16_t DeviceMemory::check_read(uint32_t address, uint32_t size) const
{
    const Region* r = find(address, size);
    if (!r)
        return gvcp::STATUS_INVALID_ADDRESS;
    for (uint32_t a = address & ~3u; a < address + size; a += 4) {
        const Access acc = r->words[(a - r->base) / 4];
        if (acc == Access::None)
            return gvcp::STATUS_INVALID_ADDRESS;
        if (acc == Access::WriteOnly)
            return gvcp::STATUS_ACCESS_DENIED;
    }
    return gvcp::STATUS_SUCCESS;
}

uint16_t DeviceMemory::check_write(uint32_t address, uint32_t size) const
{
    const Region* r = find(address, size);
    if (!r)
        return gvcp::STATUS_INVALID_ADDRESS;
    for (uint32_t a = address & ~3u; a < address + size; a += 4) {
        Access acc = r->words[(a - r->base) / 4];
        if (acc == Access::None)
            return gvcp::STATUS_INVALID_ADDRESS;
        if (acc == Access::ReadOnly)
            return gvcp::STATUS_WRITE_PROTECT;
    }
    return gvcp::STATUS_SUCCESS;
}

uint32_t DeviceMemory::reg(uint32_t address) const
{
    uint8_t b[4] = {};
    read(address, b, 4);
    return gvcp::get_u32(b);
}

void DeviceMemory::set_reg(uint32_t address, uint32_t value)
{
    uint8_t b[4];
    gvcp::put_u32(b, value);
    write(address, b, 4);
}

void DeviceMemory::read(uint32_t address, uint8_t* out, uint32_t size) const
{
    const Region* r = find(address, size);
    if (r)
        std::memcpy(out, r->bytes.data() + (address - r->base), size);
    else
        std::memset(out, 0, size);
}

void DeviceMemory::write(uint32_t address, const uint8_t* data, uint32_t size)
{
    Region* r = find(address, size);
    if (r)
        std::memcpy(r->bytes.data() + (address - r->base), data, size);
}

void DeviceMemory::set_string(uint32_t address, uint32_t field_size, const std::string& text)
{
    std::vector<uint8_t> field(field_size, 0);
    std::memcpy(field.data(), text.data(), text.size() < field_size ? text.size() : field_size);
    write(address, field.data(), field_size);
}

std::string DeviceMemory::string_at(uint32_t address, uint32_t field_size) const
{
    std::vector<char> field(field_size + 1, 0);
    read(address, reinterpret_cast<uint8_t*>(field.data()), field_size);
    return std::string(field.data());
}

}  // namespace vsim
