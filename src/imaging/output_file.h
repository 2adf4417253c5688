// A file written through one large buffer: writers format straight into it
// and it goes to the file a megabyte at a time. Write errors are remembered
// and reported by close(). Also the steps every file writer takes around it
// (refuse, create, write, close) and the messages it logs on the way.
#ifndef VORA_IMAGING_OUTPUT_FILE_H
#define VORA_IMAGING_OUTPUT_FILE_H

#include <cstddef>
#include <cstdio>
#include <utility>

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

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

// How an exported writer words its failures, each logged with its status:
// "[function:FUNCTION] Failed to save WHAT<reason>, error code: N". The
// reasons are the usual ones unless a writer words them its own way.
struct SaveMessages {
    const char* function;           // the exported function, e.g. "SavePointCloudToPly"
    const char* what;               // what it saves, e.g. "point cloud data"
    const char* console = nullptr;  // put on stdout too when the file cannot be created
    const char* refused = " due to the incoming parameters error";
    const char* not_created = " due to open the file error";
    const char* not_written = " due to write the file error";
    int not_created_status = VORA_ERR_SAVE_OPEN;
};

// Each logs its message and returns the status: VORA_ERR_INVALID_ARG for
// arguments refused, not_created_status for a file that cannot be created,
// `status` for one that could not be written.
int refuse_save(cameralog& log, const SaveMessages& m);
int file_not_created(cameralog& log, const SaveMessages& m);
int file_not_written(cameralog& log, const SaveMessages& m, int status = VORA_ERR_SAVE_FORMAT);

// VORA_ERR_SAVE_FORMAT, logged for a frame whose pixel format `function`
// does not write.
int pixel_format_unsupported(cameralog& log, const char* function);

// Refuses unless `valid`, creates the file, has write(OutputFile&) fill it
// and closes it; any write that failed makes the status
// VORA_ERR_SAVE_FORMAT. 0 once the file is complete.
template <typename Write>
int save_file(cameralog& log, const SaveMessages& m, bool valid, const char* path, Write&& write)
{
    if (!valid)
        return refuse_save(log, m);
    OutputFile out(path);
    if (!out.is_open())
        return file_not_created(log, m);
    std::forward<Write>(write)(out);
    if (!out.close())
        return file_not_written(log, m);
    return VORA_OK;
}

}  // namespace imaging

#endif
