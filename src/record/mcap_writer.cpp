#include "record/mcap_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>

namespace mcap {

McapWriter::~McapWriter()
{
    if (fd_ >= 0)
        ::close(fd_);
    ZSTD_freeCCtx(zstd_);
}

int McapWriter::open(const std::string& path, const WriterOptions& options)
{
    options_ = options;
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd_ < 0)
        return error_ = errno;
    struct stat st {};
    write_behind_ = options_.write_behind > 0 && fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    if (options_.zstd) {
        zstd_ = ZSTD_createCCtx();
        if (!zstd_ || ZSTD_isError(ZSTD_CCtx_setParameter(zstd_, ZSTD_c_compressionLevel, options_.zstd_level)))
            return error_ = ENOMEM;
        compress_ = true;
    }
    std::vector<uint8_t> head(MAGIC, MAGIC + MAGIC_LEN);
    ByteWriter w(head);
    const size_t at = w.begin_record(OP_HEADER);
    w.string(options_.profile);
    w.string(options_.library);
    w.finish_record(at);
    write_all(head.data(), head.size());
    return error_;
}

void McapWriter::write_all(const void* data, size_t len)
{
    iovec iov{const_cast<void*>(data), len};
    writev_all(&iov, 1);
}

void McapWriter::write_record(const std::vector<uint8_t>& record)
{
    write_all(record.data(), record.size());
}

void McapWriter::writev_all(iovec* iov, int count)
{
    while (count > 0 && !error_ && fd_ >= 0) {
        const int batch = std::min(count, IOV_MAX);
        const ssize_t n = ::writev(fd_, iov, batch);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error_ = errno;
            return;
        }
        position_ += static_cast<uint64_t>(n);
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= iov->iov_len) {
            done -= iov->iov_len;
            ++iov;
            --count;
        }
        if (count > 0) {
            iov->iov_base = static_cast<uint8_t*>(iov->iov_base) + done;
            iov->iov_len -= done;
        }
    }
}

uint16_t McapWriter::add_schema(const std::string& name, const std::string& encoding, const std::string& data)
{
    const uint16_t id = next_schema_++;
    std::vector<uint8_t> record;
    ByteWriter w(record);
    const size_t at = w.begin_record(OP_SCHEMA);
    w.u16(id);
    w.string(name);
    w.string(encoding);
    w.string(data);  // bytes with a 32-bit length, as a string is
    w.finish_record(at);
    write_record(record);
    schema_records_.insert(schema_records_.end(), record.begin(), record.end());
    return id;
}

uint16_t McapWriter::add_channel(uint16_t schema_id, const std::string& topic, const std::string& message_encoding,
                                 const StringMap& metadata)
{
    const uint16_t id = next_channel_++;
    std::vector<uint8_t> record;
    ByteWriter w(record);
    const size_t at = w.begin_record(OP_CHANNEL);
    w.u16(id);
    w.u16(schema_id);
    w.string(topic);
    w.string(message_encoding);
    w.string_map(metadata);
    w.finish_record(at);
    write_record(record);
    channel_records_.insert(channel_records_.end(), record.begin(), record.end());
    channel_counts_[id] = 0;
    return id;
}

void McapWriter::add_metadata(const std::string& name, const StringMap& entries)
{
    std::vector<uint8_t> record;
    ByteWriter w(record);
    const size_t at = w.begin_record(OP_METADATA);
    w.string(name);
    w.string_map(entries);
    w.finish_record(at);
    IndexEntry entry{position_, record.size(), {}};
    ByteWriter(entry.tail).string(name);
    write_record(record);
    metadata_.push_back(std::move(entry));
    ++metadata_count_;
}

void McapWriter::add_attachment(const std::string& name, const std::string& media_type, const void* data, size_t len,
                                uint64_t log_time)
{
    std::vector<uint8_t> record;
    ByteWriter w(record);
    const size_t at = w.begin_record(OP_ATTACHMENT);
    w.u64(log_time);
    w.u64(log_time);  // create time
    w.string(name);
    w.string(media_type);
    w.u64(len);
    w.bytes(data, len);
    // The CRC covers every field from log_time to the data.
    const uint32_t crc = static_cast<uint32_t>(
        crc32(0, record.data() + RECORD_PREFIX_LEN, static_cast<uInt>(record.size() - RECORD_PREFIX_LEN)));
    w.u32(crc);
    w.finish_record(at);
    IndexEntry entry{position_, record.size(), {}};
    ByteWriter t(entry.tail);
    t.u64(log_time);
    t.u64(log_time);
    t.u64(len);
    t.string(name);
    t.string(media_type);
    write_record(record);
    attachments_.push_back(std::move(entry));
    ++attachment_count_;
}

void McapWriter::arena_append(const void* data, size_t len)
{
    if (!segments_.empty() && !segments_.back().borrowed &&
        segments_.back().offset + segments_.back().len == arena_.size()) {
        segments_.back().len += len;
    } else {
        segments_.push_back(Segment{nullptr, arena_.size(), len});
    }
    const uint8_t* p = static_cast<const uint8_t*>(data);
    arena_.insert(arena_.end(), p, p + len);
    chunk_len_ += len;
}

void McapWriter::add_message(uint16_t channel, uint64_t log_time, uint64_t publish_time, const Piece* pieces,
                             size_t count, size_t borrow_from)
{
    if (fd_ < 0 || error_)
        return;
    uint64_t data_len = 0;
    for (size_t i = 0; i < count; ++i)
        data_len += pieces[i].len;
    if (segments_.empty()) {
        chunk_start_ = log_time;
        chunk_end_ = log_time;
    }
    chunk_start_ = std::min(chunk_start_, log_time);
    chunk_end_ = std::max(chunk_end_, log_time);
    chunk_index_[channel].emplace_back(log_time, chunk_len_);

    message_head_.clear();
    ByteWriter w(message_head_);
    w.u8(OP_MESSAGE);
    w.u64(MESSAGE_FIXED_LEN + data_len);
    w.u16(channel);
    w.u32(sequence_[channel]++);
    w.u64(log_time);
    w.u64(publish_time);
    arena_append(message_head_.data(), message_head_.size());
    for (size_t i = 0; i < count; ++i) {
        if (pieces[i].len >= borrow_from) {
            segments_.push_back(Segment{static_cast<const uint8_t*>(pieces[i].data), 0, pieces[i].len});
            chunk_len_ += pieces[i].len;
            borrowed_ = true;
        } else {
            arena_append(pieces[i].data, pieces[i].len);
        }
    }
    ++message_count_;
    ++channel_counts_[channel];
    if (message_count_ == 1) {
        start_time_ = log_time;
        end_time_ = log_time;
    }
    start_time_ = std::min(start_time_, log_time);
    end_time_ = std::max(end_time_, log_time);
    if (chunk_len_ >= options_.chunk_size)
        flush_chunk();
}

void McapWriter::flush_chunk()
{
    if (segments_.empty())
        return;
    std::vector<iovec> body;
    body.reserve(segments_.size());
    for (const Segment& s : segments_)
        body.push_back(iovec{const_cast<uint8_t*>(s.borrowed ? s.borrowed : arena_.data() + s.offset), s.len});

    const bool compress = compress_;
    const std::string compression = compress ? "zstd" : "";
    uint64_t records_len = chunk_len_;
    if (zstd_ && !compress)
        ++chunks_stored_;
    if (compress) {
        compressed_.resize(ZSTD_compressBound(chunk_len_));
        ZSTD_CCtx_reset(zstd_, ZSTD_reset_session_only);
        ZSTD_CCtx_setPledgedSrcSize(zstd_, chunk_len_);
        ZSTD_outBuffer out{compressed_.data(), compressed_.size(), 0};
        bool failed = false;
        for (size_t i = 0; i < body.size() && !failed; ++i) {
            ZSTD_inBuffer in{body[i].iov_base, body[i].iov_len, 0};
            const bool last = i + 1 == body.size();
            size_t left;
            do {
                left = ZSTD_compressStream2(zstd_, &out, &in, last ? ZSTD_e_end : ZSTD_e_continue);
                failed = ZSTD_isError(left);
            } while (!failed && (last ? left != 0 : in.pos < in.size));
        }
        if (failed) {
            error_ = EIO;
            return;
        }
        records_len = out.pos;
        body.assign(1, iovec{compressed_.data(), out.pos});
    }

    std::vector<uint8_t> head;
    ByteWriter w(head);
    const size_t at = w.begin_record(OP_CHUNK);
    w.u64(chunk_start_);
    w.u64(chunk_end_);
    w.u64(chunk_len_);
    w.u32(0);  // no CRC: it would cost more than the rest of recording
    w.string(compression);
    w.u64(records_len);
    w.patch_u64(at, head.size() - at - 8 + records_len);

    ChunkIndex index{chunk_start_, chunk_end_, position_, head.size() + records_len, 0, records_len,
                     chunk_len_,   {},         compress};
    std::vector<uint8_t> indexes;
    ByteWriter iw(indexes);
    for (const auto& [channel, entries] : chunk_index_) {
        index.index_offsets[channel] = index.offset + index.length + indexes.size();
        const size_t rat = iw.begin_record(OP_MESSAGE_INDEX);
        iw.u16(channel);
        iw.u32(static_cast<uint32_t>(entries.size() * 16));
        for (const auto& [time, offset] : entries) {
            iw.u64(time);
            iw.u64(offset);
        }
        iw.finish_record(rat);
    }
    index.index_length = indexes.size();

    std::vector<iovec> iov;
    iov.reserve(body.size() + 2);
    iov.push_back(iovec{head.data(), head.size()});
    iov.insert(iov.end(), body.begin(), body.end());
    iov.push_back(iovec{indexes.data(), indexes.size()});
    writev_all(iov.data(), static_cast<int>(iov.size()));
    if (!error_)
        chunks_.push_back(std::move(index));
    write_out();

    segments_.clear();
    arena_.clear();
    chunk_index_.clear();
    chunk_len_ = 0;
    borrowed_ = false;
}

void McapWriter::write_out()
{
    if (!write_behind_ || error_ || position_ <= started_)
        return;
    if (::sync_file_range(fd_, static_cast<off64_t>(started_), static_cast<off64_t>(position_ - started_),
                          SYNC_FILE_RANGE_WRITE) != 0) {
        // Refused (a file system without it): the kernel writes as it likes,
        // and close() reports any write that failed.
        write_behind_ = false;
        return;
    }
    started_ = position_;
    // Pages are dropped once written out, never waited for: a busy disk
    // must not stall the writer. Pages still on their way are tried again
    // by the next calls; the kernel keeps any left over, as without.
    const uint64_t window = options_.write_behind;
    if (started_ <= window)
        return;
    const uint64_t upto = started_ - window;
    const uint64_t from = upto > 3 * window ? upto - 3 * window : 0;
    ::posix_fadvise(fd_, static_cast<off_t>(from), static_cast<off_t>(upto - from), POSIX_FADV_DONTNEED);
}

// Copies the records of one group from `summary` starting at `from`, and
// notes the group in `offsets`; returns the new end.
size_t McapWriter::summary_group(std::vector<uint8_t>& summary, uint8_t opcode, size_t from,
                                 std::vector<uint8_t>& offsets, uint64_t base)
{
    if (summary.size() > from) {
        ByteWriter w(offsets);
        const size_t at = w.begin_record(OP_SUMMARY_OFFSET);
        w.u8(opcode);
        w.u64(base + from);
        w.u64(summary.size() - from);
        w.finish_record(at);
    }
    return summary.size();
}

int McapWriter::close()
{
    if (fd_ < 0)
        return error_;
    flush_chunk();

    std::vector<uint8_t> tail;
    ByteWriter w(tail);
    size_t at = w.begin_record(OP_DATA_END);
    w.u32(0);
    w.finish_record(at);
    const uint64_t summary_start = position_ + tail.size();

    std::vector<uint8_t> summary, offsets;
    size_t mark = 0;
    summary.insert(summary.end(), schema_records_.begin(), schema_records_.end());
    mark = summary_group(summary, OP_SCHEMA, mark, offsets, summary_start);
    summary.insert(summary.end(), channel_records_.begin(), channel_records_.end());
    mark = summary_group(summary, OP_CHANNEL, mark, offsets, summary_start);

    ByteWriter s(summary);
    at = s.begin_record(OP_STATISTICS);
    s.u64(message_count_);
    s.u16(static_cast<uint16_t>(next_schema_ - 1));
    s.u32(next_channel_);
    s.u32(attachment_count_);
    s.u32(metadata_count_);
    s.u32(static_cast<uint32_t>(chunks_.size()));
    s.u64(start_time_);
    s.u64(end_time_);
    s.u32(static_cast<uint32_t>(channel_counts_.size() * 10));
    for (const auto& [channel, n] : channel_counts_) {
        s.u16(channel);
        s.u64(n);
    }
    s.finish_record(at);
    mark = summary_group(summary, OP_STATISTICS, mark, offsets, summary_start);

    for (const ChunkIndex& c : chunks_) {
        at = s.begin_record(OP_CHUNK_INDEX);
        s.u64(c.start_time);
        s.u64(c.end_time);
        s.u64(c.offset);
        s.u64(c.length);
        s.u32(static_cast<uint32_t>(c.index_offsets.size() * 10));
        for (const auto& [channel, offset] : c.index_offsets) {
            s.u16(channel);
            s.u64(offset);
        }
        s.u64(c.index_length);
        s.string(c.zstd ? "zstd" : "");
        s.u64(c.compressed);
        s.u64(c.uncompressed);
        s.finish_record(at);
    }
    mark = summary_group(summary, OP_CHUNK_INDEX, mark, offsets, summary_start);
    for (const auto& [opcode, entries] :
         {std::make_pair(OP_ATTACHMENT_INDEX, &attachments_), std::make_pair(OP_METADATA_INDEX, &metadata_)}) {
        for (const IndexEntry& e : *entries) {
            at = s.begin_record(opcode);
            s.u64(e.offset);
            s.u64(e.length);
            s.bytes(e.tail.data(), e.tail.size());
            s.finish_record(at);
        }
        mark = summary_group(summary, opcode, mark, offsets, summary_start);
    }

    const uint64_t offsets_start = summary_start + summary.size();
    tail.insert(tail.end(), summary.begin(), summary.end());
    tail.insert(tail.end(), offsets.begin(), offsets.end());
    const size_t footer_at = tail.size();
    // The footer's length is written now, not patched: the CRC covers it.
    w.u8(OP_FOOTER);
    w.u64(FOOTER_LEN - RECORD_PREFIX_LEN);
    w.u64(summary_start);
    w.u64(offsets.empty() ? 0 : offsets_start);
    // The CRC runs from the summary's start through the footer's fields before it.
    const size_t crc_from = footer_at - summary.size() - offsets.size();
    w.u32(static_cast<uint32_t>(crc32(0, tail.data() + crc_from, static_cast<uInt>(tail.size() - crc_from))));
    w.bytes(MAGIC, MAGIC_LEN);
    write_all(tail.data(), tail.size());

    if (!error_ && ::fsync(fd_) != 0 && errno != EINVAL && errno != EROFS)
        error_ = errno;
    if (::close(fd_) != 0 && !error_)
        error_ = errno;
    fd_ = -1;
    return error_;
}

}  // namespace mcap
