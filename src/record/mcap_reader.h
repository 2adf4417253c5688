// Reads an MCAP file written by anyone, trusting nothing in it. Opening scans
// the data section record by record (every length checked against the
// file), collecting schemas, channels, metadata, attachments and the place
// of every chunk; the summary is not needed, so a file cut short (no
// summary, no footer, a chunk half written) reads up to its last complete
// chunk. Messages are then read chunk by chunk, in file order.
#ifndef VORA_MCAP_READER_H
#define VORA_MCAP_READER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "record/mcap_format.h"

struct ZSTD_DCtx_s;

namespace mcap {

struct Schema {
    uint16_t id = 0;
    std::string name, encoding, data;
};

struct Channel {
    uint16_t id = 0, schema_id = 0;
    std::string topic, message_encoding;
    StringMap metadata;
};

struct Metadata {
    std::string name;
    StringMap entries;
};

struct AttachmentRef {
    std::string name, media_type;
    uint64_t log_time = 0;
    uint64_t data_offset = 0, data_len = 0;
};

// A chunk, or a message record found outside any chunk (read as a chunk
// holding just that record).
struct ChunkRef {
    uint64_t records_offset = 0, records_len = 0, uncompressed = 0;
    bool zstd = false;
    uint64_t start_time = 0, end_time = 0;
    std::map<uint16_t, uint64_t> counts;  // from the message indexes that follow it
    bool indexed = false;
};

struct Message {
    uint16_t channel = 0;
    uint32_t sequence = 0;
    uint64_t log_time = 0, publish_time = 0;
    const uint8_t* data = nullptr;  // valid until the next call of next()
    size_t len = 0;
};

enum class ReadStatus { Ok, NoFile, NotMcap, Damaged };

class McapReader {
public:
    // Chunks claiming more bytes than this are refused.
    explicit McapReader(uint64_t max_chunk_bytes = 1ULL << 30) : max_chunk_(max_chunk_bytes) {}
    ~McapReader();
    McapReader(const McapReader&) = delete;
    McapReader& operator=(const McapReader&) = delete;

    ReadStatus open(const std::string& path);
    // The same over bytes in memory (kept by the caller while the reader lives).
    ReadStatus open_memory(const uint8_t* data, size_t len);

    const std::string& profile() const { return profile_; }
    const std::map<uint16_t, Schema>& schemas() const { return schemas_; }
    const std::map<uint16_t, Channel>& channels() const { return channels_; }
    const std::vector<Metadata>& metadata() const { return metadata_; }
    const std::vector<AttachmentRef>& attachments() const { return attachments_; }
    const std::vector<ChunkRef>& chunks() const { return chunks_; }
    // False when the data section ended early: no data-end record was reached.
    bool complete() const { return complete_; }
    const Metadata* find_metadata(const std::string& name) const;
    // An attachment's bytes, when it exists and holds at most max bytes.
    bool read_attachment(const std::string& name, std::string* out, size_t max) const;

    // Messages per channel: from the message indexes, decoding the chunks
    // that have none. False when a chunk cannot be read.
    bool message_counts(std::map<uint16_t, uint64_t>* counts);

    // Iteration in file order. next: 1 with a message, 0 at the end, -1 when
    // a chunk is damaged (iteration then stays at its end).
    void rewind();
    // The next message read is the first whose chunk may hold log_time or later.
    void seek(uint64_t log_time);
    int next(Message* out);

private:
    ReadStatus scan();
    bool read_at(uint64_t offset, void* out, size_t len) const;
    bool read_vector(uint64_t offset, size_t len, std::vector<uint8_t>* out) const;
    bool load_chunk(size_t index);
    // The records scan() keeps: false when one is damaged. `content` is
    // where a record's content starts, `len` its length, `pos` its prefix.
    bool add_schema(ByteReader& r);
    bool add_channel(ByteReader& r);
    bool add_metadata(ByteReader& r);
    bool count_message_index(ByteReader& r);
    bool add_chunk(uint64_t content, uint64_t len);
    bool add_loose_message(uint64_t pos, uint64_t len);
    bool add_attachment(uint64_t content, uint64_t len);

    int fd_ = -1;
    const uint8_t* memory_ = nullptr;
    uint64_t size_ = 0;
    const uint64_t max_chunk_;
    ZSTD_DCtx_s* zstd_ = nullptr;

    std::string profile_;
    std::map<uint16_t, Schema> schemas_;
    std::map<uint16_t, Channel> channels_;
    std::vector<Metadata> metadata_;
    std::vector<AttachmentRef> attachments_;
    std::vector<ChunkRef> chunks_;
    bool complete_ = false;

    size_t next_chunk_ = 0, end_chunk_ = 0;
    std::vector<uint8_t> records_, compressed_;
    size_t record_pos_ = 0;
    uint64_t skip_before_ = 0;
    bool failed_ = false;
};

}  // namespace mcap

#endif
