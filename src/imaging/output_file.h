// A file written through one large buffer: writers format straight into it
// and it goes to the file a megabyte at a time. Write errors are remembered
// and reported by close().
#ifndef VORA_IMAGING_OUTPUT_FILE_H
#define VORA_IMAGING_OUTPUT_FILE_H

#include <cstddef>
#include <cstdio>

namespace imaging {

class OutputFile {
public:
    // Creates or truncates the file; check is_open().
    explicit OutputFile(const char* path);
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool is_open() const { return file_ != nullptr; }

    // Room for at least `bytes` (at most kSlack) at the returned pointer;
    // hand the end of what was written to commit().
    char* reserve(size_t bytes)
    {
        if (used_ + bytes > capacity_)
            flush();
        return buffer_ + used_;
    }
    void commit(char* end)
    {
        used_ = static_cast<size_t>(end - buffer_);
        if (used_ >= kChunk)
            flush();
    }
    void write(const void* data, size_t bytes);

    // Writes what is buffered and closes; false when any write failed.
    bool close();

    static constexpr size_t kChunk = size_t(1) << 20;
    static constexpr size_t kSlack = 4096;

private:
    void flush();

    FILE* file_ = nullptr;
    char* buffer_ = nullptr;
    size_t used_ = 0;
    size_t capacity_ = 0;
    bool failed_ = false;
    char fallback_[kSlack];  // used when the large buffer cannot be had
};

}  // namespace imaging

#endif
