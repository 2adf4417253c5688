#include "imaging/output_file.h"

#include <cstdlib>
#include <cstring>

namespace imaging {

OutputFile::OutputFile(const char* path)
{
    file_ = path ? std::fopen(path, "wb") : nullptr;
    if (!file_)
        return;
    buffer_ = static_cast<char*>(std::malloc(kChunk + kSlack));
    capacity_ = kChunk + kSlack;
    if (!buffer_) {
        buffer_ = fallback_;
        capacity_ = kSlack;
    }
}

OutputFile::~OutputFile()
{
    close();
}

void OutputFile::flush()
{
    if (used_ && file_ && std::fwrite(buffer_, 1, used_, file_) != used_)
        failed_ = true;
    used_ = 0;
}

void OutputFile::write(const void* data, size_t bytes)
{
    const char* p = static_cast<const char*>(data);
    while (bytes) {
        if (used_ == capacity_)
            flush();
        const size_t n = bytes < capacity_ - used_ ? bytes : capacity_ - used_;
        std::memcpy(buffer_ + used_, p, n);
        used_ += n;
        p += n;
        bytes -= n;
    }
    if (used_ >= kChunk)
        flush();
}

bool OutputFile::close()
{
    if (!file_)
        return false;
    flush();
    if (std::fclose(file_) != 0)
        failed_ = true;
    file_ = nullptr;
    if (buffer_ != fallback_)
        std::free(buffer_);
    buffer_ = nullptr;
    return !failed_;
}

namespace {

int log_failure(cameralog& log, const SaveMessages& m, const char* reason, int status)
{
    log.log_error(gvcp_log_error_level, "[function:%s] Failed to save %s%s, error code: %d", m.function, m.what, reason,
                  status);
    return status;
}

}  // namespace

int refuse_save(cameralog& log, const SaveMessages& m)
{
    return log_failure(log, m, m.refused, VORA_ERR_INVALID_ARG);
}

int file_not_created(cameralog& log, const SaveMessages& m)
{
    if (m.console)
        std::puts(m.console);
    return log_failure(log, m, m.not_created, m.not_created_status);
}

int file_not_written(cameralog& log, const SaveMessages& m, int status)
{
    return log_failure(log, m, m.not_written, status);
}

int pixel_format_unsupported(cameralog& log, const char* function)
{
    log.log_error(gvcp_log_error_level,
                  "[function:%s] The save failed because there is no pixel format that supports the data, error "
                  "code: %d",
                  function, VORA_ERR_SAVE_FORMAT);
    return VORA_ERR_SAVE_FORMAT;
}

}  // namespace imaging
