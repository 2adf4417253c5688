// A recording read back as the frames it holds: the raw messages of every
// channel as frame records, in file order, with the host time each was
// received; and what the recording says of its camera.
#ifndef VORA_RECORDING_H
#define VORA_RECORDING_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "record/mcap_reader.h"
#include "vora_base_type.h"

namespace record {

struct TopicInfo {
    std::string topic, schema;
    uint64_t messages = 0;
};

// What a recording says of one stream channel. -1: it does not say (a
// recording cut short, or made before these were kept).
struct ChannelSummary {
    unsigned channel = 0;
    uint64_t frames = 0;
    int64_t dropped = -1;  // frames the recorder could not keep up with
    int64_t gaps = -1;     // places where the recorded block ids skip
    int64_t missing = -1;  // block ids skipped in all
};

class RecordingReader {
public:
    // Chunks claiming more than max_chunk_bytes are refused.
    explicit RecordingReader(uint64_t max_chunk_bytes = 1ULL << 30) : reader_(max_chunk_bytes) {}

    // 0 or a status: VORA_ERR_RECORDING_IO (cannot open the file),
    // VORA_ERR_RECORDING_FORMAT (not a recording we can read).
    int open(const std::string& path);
    int open_memory(const uint8_t* data, size_t len);

    // The next frame: its record into *frame and its payload into
    // frame->pixel, which holds `capacity` bytes. 0; VORA_ERR_RECORDING_END
    // past the last; VORA_ERR_INVALID_ARG when the payload does not fit (the
    // record is filled, so payload_size tells what is needed, and the same
    // frame comes again); VORA_ERR_RECORDING_FORMAT for a damaged message.
    int next_frame(PhotoInfo* frame, uint64_t capacity, uint64_t* log_time_ns);
    void seek(uint64_t log_time_ns);

    uint64_t frame_count() const { return frames_; }
    uint64_t start_time() const { return start_; }
    uint64_t end_time() const { return end_; }
    uint32_t max_payload() const { return max_payload_; }
    bool complete() const { return reader_.complete(); }
    const std::vector<TopicInfo>& topics() const { return topics_; }

    // False when the recording does not say.
    bool camera(DiscoveryInfo* out) const;
    bool calibration(int sensor, CameraParameter* out) const;
    // The device description's file name and bytes.
    bool description(std::string* name, std::string* data) const;
    // Every recorded channel, by channel number. Where the recording holds
    // no figures of its end, the gaps are found from its frames (once; a
    // second pass over the file).
    const std::vector<ChannelSummary>& channels();

private:
    int after_open(mcap::ReadStatus status);
    void count_gaps();

    mcap::McapReader reader_;
    std::string path_;
    const uint8_t* memory_ = nullptr;
    size_t memory_len_ = 0;
    std::map<uint16_t, bool> raw_channels_;
    std::vector<ChannelSummary> channels_;
    bool channels_done_ = false;
    std::vector<TopicInfo> topics_;
    uint64_t frames_ = 0, start_ = 0, end_ = 0;
    uint32_t max_payload_ = 0;
    // A frame that did not fit the caller's buffer waits here.
    bool pending_ = false;
    mcap::Message message_{};
};

}  // namespace record

#endif
