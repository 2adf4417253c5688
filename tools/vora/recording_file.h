// A recording opened through the library's reader, for the commands that
// take an MCAP file (info, export, play).
#ifndef VORA_TOOL_RECORDING_FILE_H
#define VORA_TOOL_RECORDING_FILE_H

#include <string>
#include <vector>

#include "vora_qelcamera_api.h"

namespace vora_tool {

class RecordingFile {
public:
    RecordingFile() = default;
    ~RecordingFile();
    RecordingFile(const RecordingFile&) = delete;
    RecordingFile& operator=(const RecordingFile&) = delete;

    // The library's status; the reason is printed on failure.
    int open(const std::string& path);
    int id() const { return id_; }
    // The next frame into a buffer of its own (grown to fit); 0, -74 at the end.
    int next(PhotoInfo* frame, unsigned long long* log_time_ns = nullptr);

    unsigned long long frames = 0, start_ns = 0, end_ns = 0;
    unsigned int max_payload = 0;

    // What the recording says of each channel; -1: it does not say.
    struct Channel {
        unsigned short channel = 0;
        unsigned long long frames = 0;
        long long dropped = -1, gaps = -1, missing = -1;
    };
    std::vector<Channel> channels() const;

private:
    int id_ = -1;
    std::vector<char> buffer_;
};

// True when an argument names a recording rather than a camera.
bool is_recording_path(const std::string& arg);

}  // namespace vora_tool

#endif
