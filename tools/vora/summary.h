// The figures a capture ends with: the tool's own counts next to the
// library's statistics of each stream channel.
#ifndef VORA_TOOL_SUMMARY_H
#define VORA_TOOL_SUMMARY_H

#include <cstdio>
#include <string>
#include <vector>

#include "json.h"
#include "vora_base_type.h"

namespace vora_tool {

struct ChannelSummary {
    unsigned short channel = 0;
    unsigned pixel_format = 0;
    unsigned width = 0, height = 0;
    unsigned captured = 0;            // frames the tool took from the library
    unsigned saved = 0;               // of those, frames written to files
    unsigned incomplete_skipped = 0;  // incomplete frames not written
    unsigned incomplete_kept = 0;     // incomplete frames written (--keep-incomplete)
    unsigned uncertain = 0;           // of both, frames whose completeness could not be told
    // Frames missing between those taken (frame_sequence.h): lost by the
    // network, or dropped for want of a free buffer because the tool had
    // not taken the frames before them in time. Only a caller that takes
    // every frame counts them (missing_counted); the others' documents say
    // null.
    bool missing_counted = false;
    unsigned lost_on_network = 0;
    unsigned not_taken_in_time = 0;
    // Packets that found no free buffer after the channel's last frame was
    // taken: the tool had stopped taking frames there, nothing to mend.
    unsigned no_buffer_after_capture = 0;
    // GetBlockStatistics, in its order: complete, incomplete, timed out, no
    // buffer, flushed, lost, error, overflow. Blocks are frames, but "no
    // buffer" counts packets (each packet of a frame that found no free
    // buffer), "lost" the gaps in the block ids the library saw (each gap
    // once, however many frames it spans, those that found no buffer
    // included) and overflow packets.
    unsigned blocks[8] = {};
    // GetPacketStatistics: received, lost, format errors, dropped, resend
    // requested, resent, duplicates.
    unsigned packets[7] = {};
    int net_speed = 0;  // bytes per second
    float block_rate = 0;
    StatisticsData receive_time{};
};

// Reads the library's statistics of an open channel into summary.
void collect_statistics(int camera, ChannelSummary* summary);

// Frames the library handed over that the tool had not taken when the
// capture ended.
unsigned left_waiting(const ChannelSummary& c);

// A receive-time percentile in microseconds, read off the histogram: the
// upper edge of the bin holding the sample of that rank, kept within the
// observed minimum and maximum. Negative when there are no samples.
double receive_percentile(const StatisticsData& statistics, double fraction);

void print_summary(std::FILE* out, const std::string& camera, double seconds,
                   const std::vector<ChannelSummary>& channels, const std::vector<std::string>& files,
                   const std::string& directory);

// One channel's object of the document below.
void channel_json(JsonWriter& j, const ChannelSummary& c, double seconds);

// The same as one JSON document (the keys are listed in `vora capture --help`).
std::string summary_json(int camera_index, const std::string& serial, double seconds, const std::string& result,
                         const std::vector<ChannelSummary>& channels, const std::vector<std::string>& files,
                         const std::string& directory);

}  // namespace vora_tool

#endif
