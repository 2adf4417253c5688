// Writes an MCAP file: schemas, channels, metadata and attachments in the
// data section as they are added, messages in chunks (each followed by its
// message indexes), then on close the summary (schemas, channels,
// statistics, chunk, attachment and metadata indexes), the summary offsets
// and the footer. A file cut short keeps every chunk written before the cut.
//
// One thread uses a writer. Failures are sticky: after the first failed
// write nothing more is written and error() holds the system's errno.
#ifndef VORA_MCAP_WRITER_H
#define VORA_MCAP_WRITER_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <sys/uio.h>

#include "record/mcap_format.h"

struct ZSTD_CCtx_s;

namespace mcap {

struct WriterOptions {
    bool zstd = false;
    int zstd_level = 1;
    // A chunk is written once it holds this many bytes (or holds borrowed data).
    size_t chunk_size = 4u << 20;
    // Written bytes are handed to the disk at once, and dropped from the page
    // cache once written out and this many more have followed them (0: left
    // to the kernel). Filling fresh page-cache pages is what writing costs
    // most; pages that are written out and dropped come back for the next
    // chunk, and a long recording does not push everything else out.
    size_t write_behind = 0;
    std::string profile = "ros1";
    std::string library = "libVoraSDK";
};

// A piece of a message's data.
struct Piece {
    const void* data;
    size_t len;
};

class McapWriter {
public:
    McapWriter() = default;
    ~McapWriter();
    McapWriter(const McapWriter&) = delete;
    McapWriter& operator=(const McapWriter&) = delete;

    // Creates (truncates) the file and writes the magic and header: 0 or errno.
    int open(const std::string& path, const WriterOptions& options);
    bool is_open() const { return fd_ >= 0; }

    uint16_t add_schema(const std::string& name, const std::string& encoding, const std::string& data);
    uint16_t add_channel(uint16_t schema_id, const std::string& topic, const std::string& message_encoding,
                         const StringMap& metadata = {});
    void add_metadata(const std::string& name, const StringMap& entries);
    void add_attachment(const std::string& name, const std::string& media_type, const void* data, size_t len,
                        uint64_t log_time);

    // A message made of pieces. Pieces of at least `borrow_from` bytes are
    // referenced, not copied: the caller keeps them valid until it has
    // called flush_chunk(). Smaller ones are copied at once.
    void add_message(uint16_t channel, uint64_t log_time, uint64_t publish_time, const Piece* pieces, size_t count,
                     size_t borrow_from = SIZE_MAX);
    // Writes the open chunk, if any, and its message indexes.
    void flush_chunk();
    // With zstd: whether the chunks written from now on are compressed (a
    // writer that falls behind stores some as they are; readers take both).
    void compress_chunks(bool on) { compress_ = on && zstd_; }
    uint64_t chunks_stored() const { return chunks_stored_; }
    bool chunk_holds_borrowed() const { return borrowed_; }
    size_t chunk_bytes() const { return chunk_len_; }

    // Writes what is left, the summary and the footer; closes the file.
    // 0 or the errno of the first failure.
    int close();
    int error() const { return error_; }
    uint64_t bytes_written() const { return position_; }
    uint64_t message_count() const { return message_count_; }

private:
    struct Segment {
        const uint8_t* borrowed;  // null: `offset` into arena_
        size_t offset;
        size_t len;
    };
    struct ChunkIndex {
        uint64_t start_time, end_time, offset, length, index_length, compressed, uncompressed;
        std::map<uint16_t, uint64_t> index_offsets;
        bool zstd;
    };
    struct IndexEntry {
        uint64_t offset, length;
        std::vector<uint8_t> tail;  // the entry's fields after offset and length
    };

    void write_all(const void* data, size_t len);
    void write_record(const std::vector<uint8_t>& record);
    void writev_all(iovec* iov, int count);
    void arena_append(const void* data, size_t len);
    void write_out();
    size_t summary_group(std::vector<uint8_t>& summary, uint8_t opcode, size_t from, std::vector<uint8_t>& offsets,
                         uint64_t base);

    int fd_ = -1;
    int error_ = 0;
    uint64_t position_ = 0;
    // Write-behind: bytes before started_ are on their way to the disk.
    bool write_behind_ = false;
    uint64_t started_ = 0;
    WriterOptions options_;
    ZSTD_CCtx_s* zstd_ = nullptr;
    bool compress_ = false;
    uint64_t chunks_stored_ = 0;  // with zstd, chunks written uncompressed

    std::vector<uint8_t> schema_records_, channel_records_;
    uint16_t next_schema_ = 1, next_channel_ = 0;
    std::map<uint16_t, uint32_t> sequence_;
    std::map<uint16_t, uint64_t> channel_counts_;
    uint64_t message_count_ = 0, start_time_ = 0, end_time_ = 0;
    uint32_t attachment_count_ = 0, metadata_count_ = 0;

    // The open chunk.
    std::vector<uint8_t> arena_;
    std::vector<uint8_t> message_head_;  // reused for every message's fixed fields
    std::vector<Segment> segments_;
    std::map<uint16_t, std::vector<std::pair<uint64_t, uint64_t>>> chunk_index_;
    size_t chunk_len_ = 0;
    uint64_t chunk_start_ = 0, chunk_end_ = 0;
    bool borrowed_ = false;
    std::vector<uint8_t> compressed_;

    std::vector<ChunkIndex> chunks_;
    std::vector<IndexEntry> attachments_, metadata_;
};

}  // namespace mcap

#endif
