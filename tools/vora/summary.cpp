// The capture summary.
#include "summary.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "common.h"
#include "json.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

void collect_statistics(int camera, ChannelSummary* s)
{
    unsigned* b = s->blocks;
    unsigned* p = s->packets;
    GetBlockStatistics(camera, s->channel, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    GetPacketStatistics(camera, s->channel, &p[0], &p[1], &p[2], &p[3], &p[4], &p[5], &p[6]);
    GetRecieveTimeStatistics(camera, s->channel, &s->receive_time);
    s->net_speed = GetNetSpeed(camera, s->channel);
    s->block_rate = GetBlockRate(camera, s->channel);
}

unsigned left_waiting(const ChannelSummary& c)
{
    const unsigned handed_over = c.blocks[0] + c.blocks[1] + c.blocks[4];
    return handed_over > c.captured ? handed_over - c.captured : 0;
}

double receive_percentile(const StatisticsData& st, double fraction)
{
    if (st.count <= 0)
        return -1;
    const long long rank = std::max<long long>(1, static_cast<long long>(std::ceil(fraction * st.count)));
    long long seen = st.add_less;
    double value = st.max;  // a rank beyond the bins lies among the largest samples
    if (seen >= rank) {
        value = st.min;
    } else {
        const unsigned bins = std::min<unsigned>(st.n_bins, RECIEVE_TIME_STATISTICS_LENGTH);
        for (unsigned i = 0; i < bins; ++i) {
            seen += st.bins[i];
            if (seen >= rank) {
                value = static_cast<double>(st.offset) + static_cast<double>(i + 1) * st.bin_steps;
                break;
            }
        }
    }
    return std::max<double>(st.min, std::min<double>(st.max, value));
}

namespace {

std::string ms(double us)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", us / 1000.0);
    return text;
}

}  // namespace

void print_summary(std::FILE* out, const std::string& camera, double seconds,
                   const std::vector<ChannelSummary>& channels, const std::vector<std::string>& files,
                   const std::string& directory)
{
    std::fprintf(out, "summary: %s, %.1f s\n", camera.c_str(), seconds);
    unsigned captured = 0, saved = 0, complete = 0, incomplete = 0, resent = 0, skipped = 0, kept = 0;
    unsigned not_taken = 0, lost = 0;
    for (const ChannelSummary& c : channels) {
        const unsigned* b = c.blocks;
        const unsigned* p = c.packets;
        if (c.captured > 0)
            std::fprintf(out, "channel %u: %s %ux%u\n", c.channel, pixel_format_name(c.pixel_format).c_str(), c.width,
                         c.height);
        else
            std::fprintf(out, "channel %u: no frame captured\n", c.channel);
        std::fprintf(out, "  frames:       complete %u, incomplete %u, captured %u, saved %u\n", b[0], b[1], c.captured,
                     c.saved);
        std::fprintf(out, "  incomplete:   skipped %u, kept %u (timed out %u, errors %u)", c.incomplete_skipped,
                     c.incomplete_kept, b[2], b[6]);
        if (c.uncertain)
            std::fprintf(out, "; %u of them of uncertain completeness", c.uncertain);
        std::fprintf(out, "\n");
        // Frames, each in one place: never received whole, dropped before the
        // tool could take them, or still waiting for it at the end.
        std::fprintf(out,
                     "  not captured: lost on the network %u, not taken in time %u (no free buffer), waiting at the "
                     "end %u\n",
                     c.lost_on_network, c.not_taken_in_time, left_waiting(c));
        const unsigned other_dropped = p[3] > b[3] ? p[3] - b[3] : 0;
        std::fprintf(out,
                     "  packets:      received %u, lost %u, resend requested %u, resent %u, duplicates %u, "
                     "no free buffer %u (%u after the last frame taken), other dropped %u, format errors %u, "
                     "overflow %u\n",
                     p[0], p[1], p[4], p[5], p[6], b[3], c.no_buffer_after_capture, other_dropped, p[2], b[7]);
        // The library's rates cover its last whole second of traffic.
        std::fprintf(out, "  rate:         %.1f frames/s, %.1f MB/s (last second); captured %.1f frames/s\n",
                     static_cast<double>(c.block_rate), c.net_speed / 1e6, seconds > 0 ? c.captured / seconds : 0.0);
        const StatisticsData& st = c.receive_time;
        if (st.count > 0)
            std::fprintf(out, "  receive time: p50 %s, p90 %s, p99 %s (min %s, max %s, %lld frames)\n",
                         ms(receive_percentile(st, 0.50)).c_str(), ms(receive_percentile(st, 0.90)).c_str(),
                         ms(receive_percentile(st, 0.99)).c_str(), ms(st.min).c_str(), ms(st.max).c_str(),
                         static_cast<long long>(st.count));
        else
            std::fprintf(out, "  receive time: no frames\n");
        captured += c.captured;
        saved += c.saved;
        complete += b[0];
        incomplete += b[1];
        resent += p[5];
        skipped += c.incomplete_skipped;
        kept += c.incomplete_kept;
        not_taken += c.not_taken_in_time;
        lost += c.lost_on_network;
    }
    std::fprintf(out,
                 "total: complete %u, incomplete %u, captured %u, saved %u, resent packets %u, incomplete skipped "
                 "%u, kept %u; frames not taken in time %u, lost on the network %u\n",
                 complete, incomplete, captured, saved, resent, skipped, kept, not_taken, lost);
    if (files.size() <= 24) {
        for (const std::string& f : files)
            std::fprintf(out, "  wrote %s\n", f.c_str());
    }
    std::fprintf(out, "%zu files written to %s\n", files.size(), directory.c_str());
}

void channel_json(JsonWriter& j, const ChannelSummary& c, double seconds)
{
    const unsigned* b = c.blocks;
    const unsigned* p = c.packets;
    j.begin_object().field("channel", c.channel).key("pixel_format");
    c.captured ? j.value(pixel_format_name(c.pixel_format)) : j.null();
    j.field("width", c.width).field("height", c.height);
    j.key("frames")
        .begin_object()
        .field("complete", b[0])
        .field("incomplete", b[1])
        .field("captured", c.captured)
        .field("saved", c.saved)
        .field("incomplete_skipped", c.incomplete_skipped)
        .field("incomplete_kept", c.incomplete_kept)
        .field("uncertain", c.uncertain);
    const std::pair<const char*, unsigned> missing[] = {{"lost_on_network", c.lost_on_network},
                                                        {"not_taken_in_time", c.not_taken_in_time},
                                                        {"left_waiting", left_waiting(c)}};
    for (const auto& m : missing) {
        j.key(m.first);
        c.missing_counted ? j.value(m.second) : j.null();
    }
    j.end_object();
    j.key("blocks")
        .begin_object()
        .field("timed_out", b[2])
        .field("errors", b[6])
        .field("lost", b[5])
        .field("no_buffer", b[3])
        .field("flushed", b[4])
        .end_object();
    j.key("packets")
        .begin_object()
        .field("received", p[0])
        .field("lost", p[1])
        .field("resend_requested", p[4])
        .field("resent", p[5])
        .field("duplicates", p[6])
        .field("dropped", p[3])
        .field("format_errors", p[2])
        .field("overflow", b[7])
        .field("no_buffer", b[3])
        .key("no_buffer_after_capture");
    c.missing_counted ? j.value(c.no_buffer_after_capture) : j.null();
    j.end_object();
    j.key("rate")
        .begin_object()
        .field("frames_per_second", static_cast<double>(c.block_rate))
        .field("bytes_per_second", c.net_speed)
        .field("captured_per_second", seconds > 0 ? c.captured / seconds : 0.0)
        .end_object();
    j.key("receive_time_ms");
    const StatisticsData& st = c.receive_time;
    if (st.count > 0)
        j.begin_object()
            .field("p50", receive_percentile(st, 0.50) / 1000.0)
            .field("p90", receive_percentile(st, 0.90) / 1000.0)
            .field("p99", receive_percentile(st, 0.99) / 1000.0)
            .field("min", st.min / 1000.0)
            .field("max", st.max / 1000.0)
            .field("frames", static_cast<long long>(st.count))
            .end_object();
    else
        j.null();
    j.end_object();
}

std::string summary_json(int camera_index, const std::string& serial, double seconds, const std::string& result,
                         const std::vector<ChannelSummary>& channels, const std::vector<std::string>& files,
                         const std::string& directory)
{
    JsonWriter j;
    j.begin_object();
    j.key("camera").begin_object().field("index", camera_index).field("serial", serial).end_object();
    j.field("seconds", seconds).field("result", result).field("directory", directory);
    j.key("channels").begin_array();
    for (const ChannelSummary& c : channels)
        channel_json(j, c, seconds);
    j.end_array().key("files").begin_array();
    for (const std::string& f : files)
        j.value(f);
    j.end_array().end_object();
    return j.text();
}

}  // namespace vora_tool
