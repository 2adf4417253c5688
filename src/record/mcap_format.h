// The MCAP container's building blocks: record opcodes, the magic, and
// little-endian encoding and bounded decoding of its fields. Everything a
// file says is read through ByteReader, which never reads past its end.
#ifndef VORA_MCAP_FORMAT_H
#define VORA_MCAP_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace mcap {

constexpr uint8_t MAGIC[8] = {0x89, 'M', 'C', 'A', 'P', '0', '\r', '\n'};
constexpr size_t MAGIC_LEN = sizeof MAGIC;
constexpr size_t RECORD_PREFIX_LEN = 9;  // opcode and 64-bit length
constexpr size_t FOOTER_LEN = RECORD_PREFIX_LEN + 8 + 8 + 4;

enum Opcode : uint8_t {
    OP_HEADER = 0x01,
    OP_FOOTER = 0x02,
    OP_SCHEMA = 0x03,
    OP_CHANNEL = 0x04,
    OP_MESSAGE = 0x05,
    OP_CHUNK = 0x06,
    OP_MESSAGE_INDEX = 0x07,
    OP_CHUNK_INDEX = 0x08,
    OP_ATTACHMENT = 0x09,
    OP_ATTACHMENT_INDEX = 0x0A,
    OP_STATISTICS = 0x0B,
    OP_METADATA = 0x0C,
    OP_METADATA_INDEX = 0x0D,
    OP_SUMMARY_OFFSET = 0x0E,
    OP_DATA_END = 0x0F,
};

// Bytes of a message record before its data.
constexpr size_t MESSAGE_FIXED_LEN = 2 + 4 + 8 + 8;

using StringMap = std::map<std::string, std::string>;

// Appends little-endian fields to a byte vector.
class ByteWriter {
public:
    explicit ByteWriter(std::vector<uint8_t>& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void u64(uint64_t v) { put(v, 8); }
    void bytes(const void* data, size_t len)
    {
        const uint8_t* p = static_cast<const uint8_t*>(data);
        out_.insert(out_.end(), p, p + len);
    }
    void string(const std::string& s)
    {
        u32(static_cast<uint32_t>(s.size()));
        bytes(s.data(), s.size());
    }
    void string_map(const StringMap& map);
    // Starts a record; finish_record fills in its length.
    size_t begin_record(uint8_t opcode)
    {
        u8(opcode);
        const size_t at = out_.size();
        u64(0);
        return at;
    }
    void finish_record(size_t at) { patch_u64(at, out_.size() - at - 8); }
    void patch_u32(size_t at, uint32_t v) { store(at, v, 4); }
    void patch_u64(size_t at, uint64_t v) { store(at, v, 8); }
    size_t size() const { return out_.size(); }

private:
    void put(uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
    }
    void store(size_t at, uint64_t v, int n)
    {
        for (int i = 0; i < n; ++i)
            out_[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
    }
    std::vector<uint8_t>& out_;
};

// Reads little-endian fields out of [data, data + len). A read past the end
// fails, sets the reader's failed flag and yields zeros; callers check ok()
// once after a group of reads.
class ByteReader {
public:
    ByteReader(const uint8_t* data, size_t len) : p_(data), end_(data + len) {}
    uint8_t u8() { return static_cast<uint8_t>(get(1)); }
    uint16_t u16() { return static_cast<uint16_t>(get(2)); }
    uint32_t u32() { return static_cast<uint32_t>(get(4)); }
    uint64_t u64() { return get(8); }
    // A pointer to the next len bytes, or null (and failed) when fewer remain.
    const uint8_t* take(uint64_t len)
    {
        if (failed_ || len > remaining()) {
            failed_ = true;
            return nullptr;
        }
        const uint8_t* at = p_;
        p_ += len;
        return at;
    }
    std::string string()
    {
        const uint32_t len = u32();
        const uint8_t* s = take(len);
        return s ? std::string(reinterpret_cast<const char*>(s), len) : std::string();
    }
    bool string_map(StringMap* out);
    size_t remaining() const { return static_cast<size_t>(end_ - p_); }
    const uint8_t* position() const { return p_; }
    bool ok() const { return !failed_; }

private:
    uint64_t get(size_t n)
    {
        if (failed_ || n > remaining()) {
            failed_ = true;
            return 0;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < n; ++i)
            v |= uint64_t(p_[i]) << (8 * i);
        p_ += n;
        return v;
    }
    const uint8_t* p_;
    const uint8_t* end_;
    bool failed_ = false;
};

inline void ByteWriter::string_map(const StringMap& map)
{
    const size_t at = size();
    u32(0);
    for (const auto& [key, value] : map) {
        string(key);
        string(value);
    }
    patch_u32(at, static_cast<uint32_t>(size() - at - 4));
}

inline bool ByteReader::string_map(StringMap* out)
{
    const uint32_t len = u32();
    const uint8_t* body = take(len);
    if (!body)
        return false;
    ByteReader entries(body, len);
    while (entries.remaining() > 0 && entries.ok()) {
        std::string key = entries.string();
        std::string value = entries.string();
        if (entries.ok())
            (*out)[std::move(key)] = std::move(value);
    }
    if (!entries.ok())
        failed_ = true;
    return ok();
}

}  // namespace mcap

#endif
