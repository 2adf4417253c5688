#include "camera/description_port.h"

#include <cstring>

#include "camera/vora_gige_camera.h"
#include "gvcp_codec.h"

namespace {

// Device statuses are 16-bit words with the top bit set; callers see them
// negative, like the library's own codes.
int as_failure(int status)
{
    return status > 0 ? static_cast<int16_t>(status) : status;
}

bool fits_32_bits(uint64_t address, size_t length)
{
    return address <= UINT32_MAX && length <= UINT32_MAX - address;
}

constexpr uint32_t kPiece = gvcp::READMEM_MAX_DATA;  // a multiple of 4

}  // namespace

int DescriptionPort::read(uint64_t address, void* data, size_t length)
{
    if (length == 0)
        return VORA_OK;
    if (!fits_32_bits(address, length))
        return VORA_ERR_INVALID_ARG;
    uint8_t* out = static_cast<uint8_t*>(data);
    if (length == 4 && address % 4 == 0) {
        int value = 0;
        const int status = camera_.ReadRegister(static_cast<uint32_t>(address), &value);
        if (status != 0)
            return as_failure(status);
        gvcp::put_u32(out, static_cast<uint32_t>(value));  // the register's bytes as the camera holds them
        return VORA_OK;
    }
    // Whole words around the bytes asked for, a piece at a time.
    const uint64_t first = address & ~uint64_t(3);
    const uint64_t end = (address + length + 3) & ~uint64_t(3);
    char ack[12 + gvcp::READMEM_MAX_DATA];
    for (uint64_t at = first; at < end; at += kPiece) {
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kPiece, end - at));
        const int status = camera_.ReadMem(static_cast<uint32_t>(at), static_cast<unsigned short>(count), ack);
        if (status != 0)
            return as_failure(status);
        const uint64_t from = std::max(at, address), to = std::min(at + count, address + length);
        std::memcpy(out + (from - address), ack + 12 + (from - at), static_cast<size_t>(to - from));
    }
    return VORA_OK;
}

int DescriptionPort::write(uint64_t address, const void* data, size_t length)
{
    if (length == 0)
        return VORA_OK;
    if (!fits_32_bits(address, length))
        return VORA_ERR_INVALID_ARG;
    const uint8_t* in = static_cast<const uint8_t*>(data);
    if (length == 4 && address % 4 == 0)
        return as_failure(camera_.write_register_raw(static_cast<uint32_t>(address), gvcp::get_u32(in)));
    const uint64_t first = address & ~uint64_t(3);
    const uint64_t end = (address + length + 3) & ~uint64_t(3);
    for (uint64_t at = first; at < end; at += kPiece) {
        const uint32_t count = static_cast<uint32_t>(std::min<uint64_t>(kPiece, end - at));
        uint8_t piece[gvcp::READMEM_MAX_DATA];
        const uint64_t from = std::max(at, address), to = std::min(at + count, address + length);
        if (from != at || to != at + count) {
            // Words the write covers only in part keep their other bytes.
            const int status = read(at, piece, count);
            if (status != 0)
                return status;
        }
        std::memcpy(piece + (from - at), in + (from - address), static_cast<size_t>(to - from));
        const int status = camera_.write_memory_raw(static_cast<uint32_t>(at), piece, count);
        if (status != 0)
            return as_failure(status);
    }
    return VORA_OK;
}
