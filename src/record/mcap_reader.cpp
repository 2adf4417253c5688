#include "record/mcap_reader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zstd.h>

#include <algorithm>
#include <cerrno>

namespace mcap {

namespace {

// Records read whole while scanning (schemas, channels, metadata, message
// indexes) are refused past this size.
constexpr uint64_t MAX_SMALL_RECORD = 16u << 20;
// The fixed fields of a chunk before its records, with a compression name
// of at most this many bytes.
constexpr size_t MAX_COMPRESSION_NAME = 32;
constexpr size_t CHUNK_HEAD_MAX = 8 + 8 + 8 + 4 + 4 + MAX_COMPRESSION_NAME + 8;
constexpr size_t ATTACHMENT_HEAD_MAX = 8 + 8 + 4 + 1024 + 4 + 1024 + 8;

bool is_private(uint8_t opcode)
{
    return opcode >= 0x80;
}

}  // namespace

McapReader::~McapReader()
{
    if (fd_ >= 0)
        ::close(fd_);
    ZSTD_freeDCtx(zstd_);
}

ReadStatus McapReader::open(const std::string& path)
{
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        return ReadStatus::NoFile;
    struct stat st {};
    if (fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
        return ReadStatus::NoFile;
    size_ = static_cast<uint64_t>(st.st_size);
    return scan();
}

ReadStatus McapReader::open_memory(const uint8_t* data, size_t len)
{
    memory_ = data;
    size_ = len;
    return scan();
}

bool McapReader::read_at(uint64_t offset, void* out, size_t len) const
{
    if (offset > size_ || len > size_ - offset)
        return false;
    if (memory_) {
        std::copy(memory_ + offset, memory_ + offset + len, static_cast<uint8_t*>(out));
        return true;
    }
    uint8_t* p = static_cast<uint8_t*>(out);
    while (len > 0) {
        const ssize_t n = ::pread(fd_, p, len, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        offset += static_cast<uint64_t>(n);
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool McapReader::read_vector(uint64_t offset, size_t len, std::vector<uint8_t>* out) const
{
    if (offset > size_ || len > size_ - offset)
        return false;
    out->resize(len);
    return read_at(offset, out->data(), len);
}

bool McapReader::add_schema(ByteReader& r)
{
    Schema s;
    s.id = r.u16();
    s.name = r.string();
    s.encoding = r.string();
    s.data = r.string();
    if (!r.ok() || s.id == 0)
        return false;
    schemas_.emplace(s.id, std::move(s));
    return true;
}

bool McapReader::add_channel(ByteReader& r)
{
    Channel c;
    c.id = r.u16();
    c.schema_id = r.u16();
    c.topic = r.string();
    c.message_encoding = r.string();
    if (!r.string_map(&c.metadata) || !r.ok())
        return false;
    channels_.emplace(c.id, std::move(c));
    return true;
}

bool McapReader::add_metadata(ByteReader& r)
{
    Metadata m;
    m.name = r.string();
    if (!r.string_map(&m.entries))
        return false;
    metadata_.push_back(std::move(m));
    return true;
}

bool McapReader::count_message_index(ByteReader& r)
{
    const uint16_t channel = r.u16();
    const uint32_t bytes = r.u32();
    if (!r.ok() || bytes % 16 != 0 || bytes != r.remaining() || chunks_.empty())
        return false;
    chunks_.back().counts[channel] += bytes / 16;
    chunks_.back().indexed = true;
    return true;
}

bool McapReader::add_chunk(uint64_t content, uint64_t len)
{
    uint8_t head[CHUNK_HEAD_MAX];
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, sizeof head));
    if (!read_at(content, head, n))
        return false;
    ByteReader h(head, n);
    ChunkRef c;
    c.start_time = h.u64();
    c.end_time = h.u64();
    c.uncompressed = h.u64();
    h.u32();  // CRC of the records
    const uint32_t name_len = h.u32();
    if (!h.ok() || name_len > MAX_COMPRESSION_NAME)
        return false;
    const uint8_t* name = h.take(name_len);
    c.records_len = h.u64();
    if (!h.ok() || !name)
        return false;
    const std::string compression(reinterpret_cast<const char*>(name), name_len);
    const uint64_t head_len = static_cast<uint64_t>(h.position() - head);
    c.records_offset = content + head_len;
    if (c.records_len != len - head_len || c.uncompressed > max_chunk_ || c.start_time > c.end_time)
        return false;
    if (compression == "zstd")
        c.zstd = true;
    else if (!compression.empty() || c.records_len != c.uncompressed)
        return false;
    chunks_.push_back(c);
    return true;
}

// A message outside any chunk: a chunk of one record.
bool McapReader::add_loose_message(uint64_t pos, uint64_t len)
{
    uint8_t head[MESSAGE_FIXED_LEN];
    if (len < MESSAGE_FIXED_LEN || len + RECORD_PREFIX_LEN > max_chunk_ ||
        !read_at(pos + RECORD_PREFIX_LEN, head, sizeof head))
        return false;
    ByteReader h(head, sizeof head);
    h.u16();
    h.u32();
    ChunkRef c;
    c.start_time = c.end_time = h.u64();
    c.records_offset = pos;
    c.records_len = c.uncompressed = RECORD_PREFIX_LEN + len;
    chunks_.push_back(c);
    return true;
}

bool McapReader::add_attachment(uint64_t content, uint64_t len)
{
    uint8_t head[ATTACHMENT_HEAD_MAX];
    const size_t n = static_cast<size_t>(std::min<uint64_t>(len, sizeof head));
    if (!read_at(content, head, n))
        return false;
    ByteReader h(head, n);
    AttachmentRef a;
    a.log_time = h.u64();
    h.u64();
    a.name = h.string();
    a.media_type = h.string();
    a.data_len = h.u64();
    if (!h.ok())
        return false;
    const uint64_t head_len = static_cast<uint64_t>(h.position() - head);
    if (a.data_len > len - head_len || len - head_len - a.data_len != 4)
        return false;
    a.data_offset = content + head_len;
    attachments_.push_back(std::move(a));
    return true;
}

ReadStatus McapReader::scan()
{
    uint8_t magic[MAGIC_LEN];
    if (!read_at(0, magic, MAGIC_LEN) || !std::equal(magic, magic + MAGIC_LEN, MAGIC))
        return ReadStatus::NotMcap;
    uint64_t pos = MAGIC_LEN;
    bool first = true;
    std::vector<uint8_t> body;
    while (size_ - pos >= RECORD_PREFIX_LEN) {
        uint8_t prefix[RECORD_PREFIX_LEN];
        if (!read_at(pos, prefix, sizeof prefix))
            return ReadStatus::Damaged;
        ByteReader pr(prefix, sizeof prefix);
        const uint8_t opcode = pr.u8();
        const uint64_t len = pr.u64();
        const uint64_t content = pos + RECORD_PREFIX_LEN;
        if (len > size_ - content)
            break;  // cut short: what came before stands
        if (first != (opcode == OP_HEADER))
            return ReadStatus::NotMcap;
        first = false;
        const bool small = opcode == OP_HEADER || opcode == OP_SCHEMA || opcode == OP_CHANNEL ||
                           opcode == OP_METADATA || opcode == OP_MESSAGE_INDEX;
        if (small) {
            if (len > MAX_SMALL_RECORD || !read_vector(content, static_cast<size_t>(len), &body))
                return ReadStatus::Damaged;
        }
        ByteReader r(body.data(), small ? body.size() : 0);
        switch (opcode) {
        case OP_HEADER:
            profile_ = r.string();
            r.string();
            if (!r.ok())
                return ReadStatus::Damaged;
            break;
        case OP_SCHEMA:
            if (!add_schema(r))
                return ReadStatus::Damaged;
            break;
        case OP_CHANNEL:
            if (!add_channel(r))
                return ReadStatus::Damaged;
            break;
        case OP_METADATA:
            if (!add_metadata(r))
                return ReadStatus::Damaged;
            break;
        case OP_MESSAGE_INDEX:
            if (!count_message_index(r))
                return ReadStatus::Damaged;
            break;
        case OP_CHUNK:
            if (!add_chunk(content, len))
                return ReadStatus::Damaged;
            break;
        case OP_MESSAGE:
            if (!add_loose_message(pos, len))
                return ReadStatus::Damaged;
            break;
        case OP_ATTACHMENT:
            if (!add_attachment(content, len))
                return ReadStatus::Damaged;
            break;
        case OP_DATA_END:
        case OP_FOOTER:
            complete_ = true;
            break;
        case OP_CHUNK_INDEX:
        case OP_ATTACHMENT_INDEX:
        case OP_METADATA_INDEX:
        case OP_STATISTICS:
        case OP_SUMMARY_OFFSET:
            break;  // summary records in the data section: nothing needs them
        default:
            // Private records may be skipped; an opcode MCAP does not define
            // is not a file we understand.
            if (!is_private(opcode))
                return ReadStatus::Damaged;
        }
        if (complete_)
            break;
        pos = content + len;
    }
    if (first)
        return ReadStatus::NotMcap;
    rewind();
    return ReadStatus::Ok;
}

const Metadata* McapReader::find_metadata(const std::string& name) const
{
    for (const Metadata& m : metadata_)
        if (m.name == name)
            return &m;
    return nullptr;
}

bool McapReader::read_attachment(const std::string& name, std::string* out, size_t max) const
{
    for (const AttachmentRef& a : attachments_) {
        if (a.name != name)
            continue;
        if (a.data_len > max)
            return false;
        out->resize(static_cast<size_t>(a.data_len));
        return read_at(a.data_offset, out->data(), out->size());
    }
    return false;
}

bool McapReader::load_chunk(size_t index)
{
    const ChunkRef& c = chunks_[index];
    if (!c.zstd)
        return read_vector(c.records_offset, static_cast<size_t>(c.records_len), &records_);
    if (!read_vector(c.records_offset, static_cast<size_t>(c.records_len), &compressed_))
        return false;
    if (!zstd_ && !(zstd_ = ZSTD_createDCtx()))
        return false;
    ZSTD_DCtx_reset(zstd_, ZSTD_reset_session_only);
    // The output grows with what really comes out, never past the size the
    // chunk claims, so a lying size cannot make us allocate it up front.
    records_.clear();
    ZSTD_inBuffer in{compressed_.data(), compressed_.size(), 0};
    size_t produced = 0;
    constexpr size_t STEP = 8u << 20;
    for (;;) {
        if (produced == records_.size()) {
            if (produced >= c.uncompressed) {
                // Full: anything more in the input is a lie about the size.
                uint8_t probe;
                ZSTD_outBuffer extra{&probe, 1, 0};
                const size_t r = ZSTD_decompressStream(zstd_, &extra, &in);
                if (ZSTD_isError(r) || extra.pos != 0 || r != 0 || in.pos != in.size)
                    return false;
                return true;
            }
            records_.resize(static_cast<size_t>(std::min<uint64_t>(c.uncompressed, produced + STEP)));
        }
        ZSTD_outBuffer out{records_.data(), records_.size(), produced};
        const size_t r = ZSTD_decompressStream(zstd_, &out, &in);
        if (ZSTD_isError(r))
            return false;
        const bool progressed = out.pos != produced;
        produced = out.pos;
        if (r == 0 && in.pos == in.size)
            return produced == c.uncompressed;
        if (!progressed && in.pos == in.size)
            return false;  // truncated frame
    }
}

void McapReader::rewind()
{
    next_chunk_ = 0;
    end_chunk_ = chunks_.size();
    records_.clear();
    record_pos_ = 0;
    skip_before_ = 0;
    failed_ = false;
}

void McapReader::seek(uint64_t log_time)
{
    rewind();
    while (next_chunk_ < chunks_.size() && chunks_[next_chunk_].end_time < log_time)
        ++next_chunk_;
    skip_before_ = log_time;
}

int McapReader::next(Message* out)
{
    while (!failed_) {
        if (record_pos_ >= records_.size()) {
            if (next_chunk_ >= end_chunk_)
                return 0;
            record_pos_ = 0;
            if (!load_chunk(next_chunk_++)) {
                records_.clear();
                failed_ = true;
                return -1;
            }
            continue;
        }
        ByteReader r(records_.data() + record_pos_, records_.size() - record_pos_);
        const uint8_t opcode = r.u8();
        const uint64_t len = r.u64();
        const uint8_t* body = r.take(len);
        if (!body) {
            failed_ = true;
            return -1;
        }
        record_pos_ += RECORD_PREFIX_LEN + static_cast<size_t>(len);
        ByteReader b(body, static_cast<size_t>(len));
        if (opcode == OP_SCHEMA) {
            if (!add_schema(b))
                failed_ = true;
            continue;
        }
        if (opcode == OP_CHANNEL) {
            if (!add_channel(b))
                failed_ = true;
            continue;
        }
        if (opcode != OP_MESSAGE) {
            if (!is_private(opcode))
                failed_ = true;
            continue;
        }
        Message m;
        m.channel = b.u16();
        m.sequence = b.u32();
        m.log_time = b.u64();
        m.publish_time = b.u64();
        if (!b.ok()) {
            failed_ = true;
            continue;
        }
        m.data = b.position();
        m.len = b.remaining();
        if (m.log_time < skip_before_ || !channels_.count(m.channel))
            continue;
        *out = m;
        return 1;
    }
    return -1;
}

bool McapReader::message_counts(std::map<uint16_t, uint64_t>* counts)
{
    counts->clear();
    std::vector<size_t> unindexed;
    for (size_t i = 0; i < chunks_.size(); ++i) {
        if (!chunks_[i].indexed) {
            unindexed.push_back(i);
            continue;
        }
        for (const auto& [channel, n] : chunks_[i].counts)
            (*counts)[channel] += n;
    }
    bool ok = true;
    for (size_t i : unindexed) {
        rewind();
        next_chunk_ = i;
        end_chunk_ = i + 1;
        Message m;
        int r;
        while ((r = next(&m)) == 1)
            ++(*counts)[m.channel];
        if (r < 0)
            ok = false;
    }
    rewind();
    return ok;
}

}  // namespace mcap
