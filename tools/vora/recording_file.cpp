#include "recording_file.h"

#include "common.h"

namespace vora_tool {

RecordingFile::~RecordingFile()
{
    if (id_ >= 0)
        CloseRecording(id_);
}

int RecordingFile::open(const std::string& path)
{
    id_ = OpenRecording(path.c_str());
    if (id_ < 0) {
        report_status("reading " + path, id_);
        return id_;
    }
    GetRecordingSummary(id_, &frames, &start_ns, &end_ns, &max_payload);
    buffer_.resize(max_payload ? max_payload : 1);
    return 0;
}

int RecordingFile::next(PhotoInfo* frame, unsigned long long* log_time_ns)
{
    for (int tries = 0; tries < 2; ++tries) {
        frame->pixel = buffer_.data();
        const int status = ReadRecordingFrame(id_, frame, static_cast<unsigned int>(buffer_.size()), log_time_ns);
        if (status != VORA_ERR_INVALID_ARG || frame->payload_size <= buffer_.size())
            return status;
        // A frame larger than the recording announced: it comes again.
        buffer_.resize(frame->payload_size);
    }
    return VORA_ERR_INVALID_ARG;
}

std::vector<RecordingFile::Channel> RecordingFile::channels() const
{
    std::vector<Channel> out;
    for (int i = 0;; ++i) {
        Channel c;
        if (GetRecordingChannel(id_, i, &c.channel, &c.frames, &c.dropped, &c.gaps, &c.missing) != 0)
            break;
        out.push_back(c);
    }
    return out;
}

bool is_recording_path(const std::string& arg)
{
    return arg.size() > 5 && arg.compare(arg.size() - 5, 5, ".mcap") == 0;
}

}  // namespace vora_tool
