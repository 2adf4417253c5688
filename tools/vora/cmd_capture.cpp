// vora capture: frames of one or more stream channels into files, with
// colour conversion, point-cloud filters, depth/colour fusion, a depth
// preview, and a summary of how the stream went.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "channels.h"
#include "commands.h"
#include "common.h"
#include "completeness.h"
#include "frame_sequence.h"
#include "frame_writer.h"
#include "json.h"
#include "lent_frame.h"
#include "options.h"
#include "output_files.h"
#include "progress.h"
#include "session.h"
#include "summary.h"
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kCaptureHelp = "usage: vora capture [-c CAMERA] --out DIR [options]\n"
                                 "Opens stream channels of a camera (-c: index of `vora list`, serial number,\n"
                                 "IP or MAC address; default 0), starts acquisition, captures, converts and\n"
                                 "writes frames, and prints a summary of the stream.\n"
                                 "  --out DIR            where files go (created if missing); a folder that\n"
                                 "                       holds files of an earlier capture is refused\n"
                                 "  --overwrite          write into such a folder, replacing its files\n"
                                 "  --channels LIST      stream channels, e.g. 0,1,2 (default: every channel of\n"
                                 "                       the camera; on the standard camera 0 and 2 are depth, 1\n"
                                 "                       colour)\n"
                                 "  --frames K           capture until K frames of every channel are saved\n"
                                 "                       (default 1)\n"
                                 "  --seconds S          capture for S seconds instead\n"
                                 "  --format LIST        pcd, ply, plybin, txt, png, bmp, raw (default\n"
                                 "                       pcd,png,bmp). Depth frames go to pcd (binary), ply\n"
                                 "                       (text), plybin (binary PLY, .bin.ply), txt and png\n"
                                 "                       (16-bit depth plus a colour-mapped _preview.png);\n"
                                 "                       colour frames to bmp and png (8-bit RGB); raw writes\n"
                                 "                       any frame's bytes as received. A format that does not\n"
                                 "                       fit a channel is skipped there with a warning.\n"
                                 "  --keep N             write only the last N frames of each channel, after the\n"
                                 "                       capture, also when it is interrupted (default: every\n"
                                 "                       frame, as it arrives)\n"
                                 "  --keep-incomplete    save incomplete frames too (the parts that never came\n"
                                 "                       are zero); by default they are counted and skipped\n"
                                 "  --fuse               fuse the first depth channel with the colour channel:\n"
                                 "                       fused_chC_colour.txt (x y z and the colour of each point)\n"
                                 "                       and, with pcd or ply/plybin, fused_chC_colour.pcd/.ply\n"
                                 "                       (coloured: rgb field, red/green/blue properties);\n"
                                 "                       fused_chC_grid.pcd/.ply/.png (the cloud re-gridded onto\n"
                                 "                       the colour image, coloured likewise)\n"
                                 "  --filter LIST        point-cloud filters for depth frames, in order:\n"
                                 "                       outlier[:T] (neighbour check, tolerance T, default 1.0),\n"
                                 "                       spatial[:M] (drop points in cubes of fewer than M points,\n"
                                 "                       default 5)\n"
                                 "  --resend on|off      ask the camera to resend lost packets (default on)\n"
                                 "  --timeout S          fail when a channel saves no frame for S seconds\n"
                                 "                       (default 5)\n"
                                 "  --json               print the summary as one JSON document (the keys of\n"
                                 "                       summary.json below) instead of text\n"
                                 "  --wait S             keep discovering for up to S seconds (default 5; 0\n"
                                 "                       asks once) until the camera answers\n"
                                 "Files: DIR/chC_NNNN.EXT, NNNN counting the channel's frames from 0001; each\n"
                                 "is written under a temporary name (.NAME.PID.tmp) and renamed once complete.\n"
                                 "DIR/frames.jsonl has a line per saved frame: channel, frame, block_id,\n"
                                 "timestamp_ns, width, height, payload_size, pixel_format, complete (true,\n"
                                 "false, or null when it could not be told), files. DIR/summary.json holds\n"
                                 "the run: camera {index, serial}, seconds, result (ok, failed, interrupted,\n"
                                 "camera lost), directory, channels [{channel, pixel_format, width, height,\n"
                                 "frames {complete, incomplete, captured, saved, incomplete_skipped,\n"
                                 "incomplete_kept, uncertain, lost_on_network, not_taken_in_time,\n"
                                 "left_waiting}, blocks {timed_out, errors, lost, no_buffer, flushed},\n"
                                 "packets {received, lost, resend_requested, resent, duplicates, dropped,\n"
                                 "format_errors, overflow, no_buffer, no_buffer_after_capture}, rate\n"
                                 "{frames_per_second, bytes_per_second, captured_per_second},\n"
                                 "receive_time_ms {p50, p90, p99, min, max, frames} or null}], files.\n"
                                 "Frames are counted in frames, packets in packets: complete and incomplete\n"
                                 "(packets lost for good) are the frames the library received;\n"
                                 "lost_on_network those the network lost whole; not_taken_in_time those\n"
                                 "dropped because every frame buffer held a frame the tool had not yet taken\n"
                                 "(the capture fell behind, e.g. writing files: --keep writes afterwards);\n"
                                 "left_waiting those still queued at the end. packets.no_buffer counts the\n"
                                 "packets that found no free buffer, no_buffer_after_capture those that came\n"
                                 "after the channel's last frame was taken (no harm done). blocks.lost and\n"
                                 "blocks.no_buffer are the library's own counters: gaps in the frame numbers\n"
                                 "(one each, however long) and packets.\n"
                                 "Progress goes to stderr (a bar on a terminal); the summary to stdout.\n"
                                 "Exit codes: 0 ok, 1 camera, stream or file error (also a camera lost during\n"
                                 "the capture), 2 usage error, 3 no camera matches, 130 interrupted (Ctrl-C),\n"
                                 "143 terminated (SIGTERM); the camera is released first and kept frames are\n"
                                 "written.\n"
                                 "\n"
                                 "Several cameras: vora capture -c A -c B [-c ...] --sync action --out DIR\n"
                                 "(--sync action also with one camera). Every camera gets the action keys and\n"
                                 "TriggerMode On, TriggerSource Action1 (RGBTriggerMode On when a colour channel\n"
                                 "is captured); the tool sends one action command per frame to all of them and\n"
                                 "groups their frames into sets by time stamp. The trigger settings are given\n"
                                 "back at the end. A camera without action commands is refused (exit code 2).\n"
                                 "  --frames K           capture until K complete sets (default 1)\n"
                                 "  --rate R             action commands per second (default 10)\n"
                                 "  --action-key KEY     the cameras' action device key (default 0x56524131)\n"
                                 "  --action-group K[:M] group key and mask of action signal 0 (default 1:1)\n"
                                 "  --ack-timeout-ms T   wait T ms for each camera's acknowledge (default 200;\n"
                                 "                       0 asks for none); a camera that does not acknowledge\n"
                                 "                       is warned about once and counted\n"
                                 "  --ptp                enable IEEE 1588 on every camera and wait until each is\n"
                                 "                       Slave or Master; sets then compare the cameras' own\n"
                                 "                       time stamps (without it: each mapped to host time)\n"
                                 "  --ptp-wait S         how long to wait for that (default 30)\n"
                                 "  --scheduled          (needs --ptp) scheduled action commands, each for a\n"
                                 "                       camera time a little ahead, every 1/R s\n"
                                 "  --tolerance-us T     frames further apart than T us are not one set\n"
                                 "                       (default 1000)\n"
                                 "  --channels, --format, --resend, --overwrite, --json, --wait as above;\n"
                                 "  --timeout S fails when no complete set comes for S seconds. --seconds,\n"
                                 "  --keep, --keep-incomplete, --fuse and --filter are single-camera only.\n"
                                 "Files: DIR/set_NNNN_SERIAL_chC.EXT, NNNN the set's number from 0001, so that\n"
                                 "a set's files sort together; the present frames of incomplete sets too.\n"
                                 "DIR/sets.jsonl: a line per set: set, complete, time_ns, spread_ns, members\n"
                                 "[{camera, serial, channel, present, timestamp_ns, offset_ns (its time stamp\n"
                                 "minus the set's; null when absent), files}]. DIR/summary.json: cameras\n"
                                 "[{index, serial, lost, actions {acknowledged, missed, refused}}], seconds,\n"
                                 "result, directory, actions_sent, scheduled, time_base (camera or host),\n"
                                 "sets {complete, incomplete, unmatched_frames, worst_offset_ns,\n"
                                 "worst_spread_ns}, files. A camera lost during the run ends it with exit\n"
                                 "code 1; the sets it leaves incomplete are counted.\n";

// Options only synchronised capture takes.
const char* const kSyncOnly[] = {"--rate", "--action-key", "--action-group", "--ack-timeout-ms",
                                 "--ptp",  "--ptp-wait",   "--scheduled",    "--tolerance-us"};

constexpr long long kPollUs = 20000;  // one wait per channel and round

struct Options {
    std::vector<unsigned short> channels;  // empty: every channel of the camera
    bool by_frames = true;
    unsigned frames = 1;
    double seconds = 0;
    std::set<std::string> formats;
    unsigned keep = 0;  // 0: write each frame as it comes
    bool keep_incomplete = false;
    bool overwrite = false;
    bool json = false;
    bool fuse = false;
    struct Filter {
        bool outlier;
        double value;
    };
    std::vector<Filter> filters;
    bool resend = true;
    double timeout_s = 5;
    std::string out;
};

Options parse_options(const Args& args)
{
    Options o;
    if (!args.has("--out") || args.value("--out").empty())
        throw UsageError("capture needs --out DIR");
    o.out = args.value("--out");
    if (!args.positional().empty())
        throw UsageError("unexpected argument " + args.positional()[0]);
    o.channels = channels_option(args);
    if (args.has("--frames") && args.has("--seconds"))
        throw UsageError("give --frames or --seconds, not both");
    if (args.has("--seconds")) {
        o.by_frames = false;
        o.seconds = to_number(args.value("--seconds"), "--seconds", 0.001, 86400 * 365);
    } else if (args.has("--frames")) {
        o.frames = static_cast<unsigned>(to_integer(args.value("--frames"), "--frames", 1, 100000000));
    }
    o.formats = formats_option(args);
    if (args.has("--keep"))
        o.keep = static_cast<unsigned>(to_integer(args.value("--keep"), "--keep", 1, 1000));
    o.keep_incomplete = args.has("--keep-incomplete");
    o.overwrite = args.has("--overwrite");
    o.json = args.has("--json");
    o.fuse = args.has("--fuse");
    if (args.has("--filter")) {
        for (const std::string& f : split(args.value("--filter"), ',')) {
            const size_t colon = f.find(':');
            const std::string name = f.substr(0, colon);
            const std::string value = colon == std::string::npos ? "" : f.substr(colon + 1);
            if (name == "outlier")
                o.filters.push_back({true, value.empty() ? 1.0 : to_number(value, "the outlier tolerance", 0, 1e6)});
            else if (name == "spatial")
                o.filters.push_back(
                    {false,
                     value.empty() ? 5.0 : static_cast<double>(to_integer(value, "the spatial minimum", 1, 1000000))});
            else
                throw UsageError("unknown filter \"" + name + "\" (outlier[:T], spatial[:M])");
        }
    }
    o.resend = resend_option(args);
    if (args.has("--timeout"))
        o.timeout_s = to_number(args.value("--timeout"), "--timeout", 0.1, 3600);
    return o;
}

// One frame buffer. Buffers come from malloc: the Bayer conversion frees
// the frame's buffer and hands back one of its own.
struct Slot {
    char* data = nullptr;
    size_t capacity = 0;
    PhotoInfo info{};  // pixel: data, or the lent buffer
    LentFrame lent;    // a frame only read (saved as it came) stays the library's
    unsigned seq = 0;  // the channel's frame number, from 1
    int complete = 1;  // 1 complete, 0 incomplete, -1 could not be told
    bool filled = false;
    bool processed = false;  // converted or filtered already

    Slot() = default;
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    ~Slot() { std::free(data); }
    bool allocate(size_t bytes)
    {
        data = static_cast<char*>(std::calloc(bytes ? bytes : 1, 1));
        capacity = bytes;
        return data != nullptr;
    }
    bool depth() const { return info.pixel_format == PIXEL_FORMAT_COORD3D_ABC16; }
};

struct Channel : StreamChannel {
    explicit Channel(const StreamChannel& chosen) : StreamChannel(chosen) {}

    std::vector<std::unique_ptr<Slot>> slots;
    size_t next = 0;  // the slot the next accepted frame goes to
    // Each capture lands here first and changes places with the slot only
    // when the frame is accepted, so a skipped frame never touches a kept one.
    std::unique_ptr<Slot> spare;
    unsigned captured = 0;  // frames taken from the library
    unsigned accepted = 0;  // of those, frames to save (complete, or kept incomplete)
    unsigned saved = 0;
    unsigned skipped = 0, kept_incomplete = 0, uncertain = 0;
    Completeness completeness;
    FrameSequence sequence;
    std::chrono::steady_clock::time_point last_frame;
    Slot* latest = nullptr;
    bool depth() const { return pixel_format == PIXEL_FORMAT_COORD3D_ABC16; }
};

// The library's count of packets of the channel that found no free buffer.
unsigned no_buffer_packets(int camera, unsigned short channel)
{
    unsigned count = 0;
    GetBlockStatistics(camera, channel, nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr);
    return count;
}

bool fits(const std::string& format, bool depth)
{
    if (format == "raw" || format == "png")
        return true;
    return depth ? format != "bmp" : format == "bmp";
}

class Capture {
public:
    Capture(CameraSession& session, const Options& options)
        : s_(session), o_(options), cam_(session.index()), files_(options.out, options.overwrite),
          writer_(cam_, files_, options.formats), opener_(session)
    {}

    int run();

private:
    int open_channels();
    int capture_loop();
    bool accept(Channel& ch, Slot& slot);
    bool process(Slot& slot);
    bool write_frame(Channel& ch, Slot& slot);
    // A frame saved as it came, neither filtered nor kept: its slot may
    // read the library's lent buffer (colour frames are converted in place).
    bool reads_only(const PhotoInfo& frame) const
    {
        return frame.pixel_format == PIXEL_FORMAT_COORD3D_ABC16 && o_.filters.empty() && !o_.keep;
    }
    bool fuse();
    void fail(const std::string& message)
    {
        report(message);
        failed_ = true;
    }
    std::string name_of(const std::string& path) const { return path.substr(path.rfind('/') + 1); }

    CameraSession& s_;
    const Options& o_;
    int cam_;
    OutputFiles files_;
    FrameWriter writer_;
    ChannelOpener opener_;
    std::vector<Channel> channels_;
    std::vector<std::string> frame_lines_;  // frames.jsonl
    bool failed_ = false;
    bool lost_ = false;
    double elapsed_ = 0;
};

int Capture::open_channels()
{
    int code = opener_.choose(o_.channels);
    if (code == kExitOk)
        code = opener_.read_formats();  // they tell depth from colour channels
    if (code != kExitOk)
        return code;
    bool depth = false, colour = false;
    for (const StreamChannel& c : opener_.chosen())
        (c.pixel_format == PIXEL_FORMAT_COORD3D_ABC16 ? depth : colour) = true;
    if (o_.fuse && (!depth || !colour)) {
        report("--fuse needs a depth and a colour channel among --channels");
        return kExitUsage;
    }

    const size_t slots = o_.keep ? o_.keep : 1;
    for (const StreamChannel& chosen : opener_.chosen()) {
        const unsigned short ch = chosen.index;
        Channel c(chosen);
        std::string unfit;
        for (const std::string& f : o_.formats)
            if (!fits(f, c.depth()))
                unfit += (unfit.empty() ? "" : ", ") + f;
        if (!unfit.empty())
            report("warning: " + unfit + (unfit.find(',') == std::string::npos ? " does" : " do") + " not fit " +
                   (c.depth() ? "depth" : "colour") + " channel " + std::to_string(ch) + " (" +
                   pixel_format_name(c.pixel_format) + "); not written there");
        code = opener_.open(c, o_.resend);
        if (code != kExitOk)
            return code;
        c.spare = std::make_unique<Slot>();
        bool allocated = c.spare->allocate(c.payload);
        for (size_t k = 0; k < slots && allocated; ++k) {
            c.slots.push_back(std::make_unique<Slot>());
            allocated = c.slots.back()->allocate(c.payload);
        }
        if (!allocated) {
            report("out of memory for frames of channel " + std::to_string(ch));
            return kExitCamera;
        }
        c.completeness.look(cam_, ch);
        // An unknown budget is taken for a large one: the frames missing
        // are then rather put down to the tool than to the network.
        const int budget = GetMaxBufferLength(cam_, ch);
        c.sequence.start(budget > 0 ? static_cast<unsigned>(budget) : 64, no_buffer_packets(cam_, ch));
        channels_.push_back(std::move(c));
    }
    return kExitOk;
}

int Capture::capture_loop()
{
    using Clock = std::chrono::steady_clock;
    std::vector<unsigned short> ids;
    for (const Channel& c : channels_)
        ids.push_back(c.index);
    Progress progress(o_.by_frames, o_.by_frames ? o_.frames : o_.seconds, ids);
    std::vector<unsigned> counts(channels_.size(), 0);

    const int status = s_.acquisition_start();
    if (status != 0) {
        report_status("starting acquisition", status);
        return kExitCamera;
    }
    const auto start = Clock::now();
    for (Channel& c : channels_)
        c.last_frame = start;
    int result = kExitOk;
    bool done = false;
    while (!done && !interrupted() && result == kExitOk && !failed_) {
        if (s_.lost()) {
            // The library's heartbeat found the camera gone.
            report("camera " + std::to_string(cam_) + " (" + s_.serial() +
                   ") was lost: it no longer answers its heartbeat");
            lost_ = true;
            result = kExitCamera;
            break;
        }
        elapsed_ = std::chrono::duration<double>(Clock::now() - start).count();
        if (!o_.by_frames && elapsed_ >= o_.seconds)
            break;
        done = o_.by_frames;
        for (size_t i = 0; i < channels_.size() && !interrupted() && !failed_; ++i) {
            Channel& c = channels_[i];
            if (o_.by_frames && c.accepted >= o_.frames)
                continue;
            done = false;
            LentFrame lent;
            int st = lent.borrow(cam_, c.index, kPollUs);
            PhotoInfo frame = lent.info();
            if (st == VORA_ERR_LOAN_LIMIT) {
                frame = PhotoInfo{};
                frame.pixel = c.spare->data;
                st = TimeoutCapture(cam_, c.index, &frame, kPollUs);
            }
            const auto at = Clock::now();
            if (st == VORA_ERR_CAPTURE_TIMEOUT) {
                if (std::chrono::duration<double>(at - c.last_frame).count() > o_.timeout_s) {
                    char seconds[32];
                    std::snprintf(seconds, sizeof seconds, "%g", o_.timeout_s);
                    report("channel " + std::to_string(c.index) + ": no frame for " + seconds + " s" +
                           (c.skipped ? " (" + std::to_string(c.skipped) + " incomplete ones skipped)" : ""));
                    result = kExitCamera;
                }
                continue;
            }
            if (st != 0) {
                report_status("capturing from channel " + std::to_string(c.index), st);
                result = kExitCamera;
                continue;
            }
            ++c.captured;
            c.completeness.look(cam_, c.index);
            const int complete = c.completeness.take();
            c.sequence.taken(complete, frame.block_id, no_buffer_packets(cam_, c.index));
            if (complete != 1) {
                c.uncertain += complete < 0;
                if (!o_.keep_incomplete) {
                    ++c.skipped;  // the spare takes the next frame
                    continue;
                }
                ++c.kept_incomplete;
            }
            if (lent.held()) {
                if (reads_only(frame)) {
                    c.spare->lent = std::move(lent);
                } else {
                    // Converted, filtered or kept: a copy of its own, and
                    // the library's buffer goes back at once.
                    std::memcpy(c.spare->data, frame.pixel, std::min<size_t>(frame.payload_size, c.spare->capacity));
                    frame.pixel = c.spare->data;
                    lent.reset();
                }
            }
            std::swap(c.spare, c.slots[c.next]);
            c.spare->lent.reset();  // the frame the slot held before goes back
            Slot& slot = *c.slots[c.next];
            slot.complete = complete;
            slot.info = frame;
            slot.seq = ++c.accepted;
            slot.filled = true;
            slot.processed = false;
            c.latest = &slot;
            c.last_frame = at;
            c.next = (c.next + 1) % c.slots.size();
            counts[i] = c.accepted;
            if (!o_.keep)
                write_frame(c, slot);
        }
        elapsed_ = std::chrono::duration<double>(Clock::now() - start).count();
        progress.update(elapsed_, counts);
    }
    progress.finish(elapsed_, counts);
    return result;
}

// Colour frames become RGB8; depth frames go through the filters. Once.
bool Capture::process(Slot& slot)
{
    if (slot.processed)
        return true;
    slot.processed = true;
    PhotoInfo& f = slot.info;
    if (!slot.depth()) {
        std::string error;
        if (!convert_to_rgb(cam_, f, &slot.data, &slot.capacity, &error)) {
            fail(error);
            return false;
        }
        return true;
    }
    for (const Options::Filter& filter : o_.filters) {
        if (filter.outlier) {
            FilterPointCloud(cam_, &f, filter.value);
        } else {
            const int status = SpatialFilterPointcloud(cam_, &f, static_cast<int>(filter.value));
            if (status != 0) {
                report_status("spatial filter", status);
                failed_ = true;
                return false;
            }
        }
    }
    return true;
}

bool Capture::write_frame(Channel& ch, Slot& slot)
{
    char stem[32];
    std::snprintf(stem, sizeof stem, "ch%u_%04u", ch.index, slot.seq);
    const std::string base = stem;
    PhotoInfo& f = slot.info;
    const PhotoInfo received = f;  // before any conversion
    writer_.take_names();

    // Raw bytes first: as the camera sent them, before any conversion.
    bool ok = !writer_.has("raw") || writer_.write_raw(base, f);
    if (!ok)
        fail(writer_.error());
    ok = ok && process(slot);
    if (ok && !(slot.depth() ? writer_.write_depth(base, f) : writer_.write_colour(base, f))) {
        fail(writer_.error());
        ok = false;
    }
    const std::vector<std::string> frame_files = writer_.take_names();
    if (frame_files.empty())
        return ok;
    ++ch.saved;
    JsonWriter line(false);
    line.begin_object()
        .field("channel", ch.index)
        .field("frame", slot.seq)
        .field("block_id", received.block_id)
        .field("timestamp_ns", received.timestamp_high << 32 | (received.timestamp_low & 0xFFFFFFFFu))
        .field("width", received.pixel_width)
        .field("height", received.pixel_height)
        .field("payload_size", received.payload_size)
        .field("pixel_format", pixel_format_name(received.pixel_format))
        .key("complete");
    slot.complete < 0 ? line.null() : line.value(slot.complete == 1);
    line.key("files").begin_array();
    for (const std::string& file : frame_files)
        line.value(file);
    line.end_array().end_object();
    frame_lines_.push_back(line.text());
    return ok;
}

bool Capture::fuse()
{
    Channel* depth = nullptr;
    Channel* colour = nullptr;
    for (Channel& c : channels_) {
        if (!c.latest)
            continue;
        if (c.latest->depth() && !depth)
            depth = &c;
        if (!c.latest->depth() && !colour)
            colour = &c;
    }
    if (!depth || !colour) {
        fail("--fuse: no depth or no colour frame was captured");
        return false;
    }
    Slot& cloud = *depth->latest;
    Slot& image = *colour->latest;
    if (!process(cloud) || !process(image))
        return false;

    if (!writer_.write_fused("fused_ch" + std::to_string(depth->index), image.info, cloud.info)) {
        fail(writer_.error());
        return false;
    }
    return true;
}

int Capture::run()
{
    int code = open_channels();
    if (code != kExitOk)
        return code;
    code = capture_loop();
    if (!lost_)
        s_.acquisition_stop();

    // Statistics before the channels close: they go with the stream.
    std::vector<ChannelSummary> summaries;
    for (const Channel& c : channels_) {
        ChannelSummary summary;
        summary.channel = c.index;
        summary.pixel_format = c.pixel_format;
        if (c.latest) {
            summary.pixel_format = c.latest->info.pixel_format;
            summary.width = c.latest->info.pixel_width;
            summary.height = c.latest->info.pixel_height;
        }
        summary.captured = c.captured;
        summary.incomplete_skipped = c.skipped;
        summary.incomplete_kept = c.kept_incomplete;
        summary.uncertain = c.uncertain;
        summary.missing_counted = true;
        summary.lost_on_network = c.sequence.lost_on_network();
        summary.not_taken_in_time = c.sequence.not_taken_in_time();
        collect_statistics(cam_, &summary);
        summary.no_buffer_after_capture = summary.blocks[3] - c.sequence.last_no_buffer();
        summaries.push_back(summary);
    }
    // The latest frames outlive their channels (fusion, the summary): a
    // lent one becomes a copy before its channel closes.
    for (Channel& c : channels_) {
        if (c.spare)
            c.spare->lent.reset();
        for (auto& slot : c.slots) {
            if (!slot->lent.held())
                continue;
            std::memcpy(slot->data, slot->info.pixel, std::min<size_t>(slot->info.payload_size, slot->capacity));
            slot->info.pixel = slot->data;
            slot->lent.reset();
        }
    }
    // The writing that follows needs the camera (fusion reads its
    // registers) but no longer the streams.
    if (!lost_)
        opener_.close();

    // Kept frames are written however the capture ended, interrupted or not:
    // they were captured. Oldest first: the ring's next slot holds the oldest.
    if (o_.keep) {
        for (Channel& c : channels_)
            for (size_t k = 0; k < c.slots.size() && !failed_; ++k) {
                Slot& slot = *c.slots[(c.next + k) % c.slots.size()];
                if (slot.filled)
                    write_frame(c, slot);
            }
    }
    if (!failed_ && !lost_ && o_.fuse && (code == kExitOk || interrupted()))
        fuse();
    std::string lines_error;
    if (!files_.write_lines("frames.jsonl", frame_lines_, &lines_error))
        fail(lines_error);
    for (size_t i = 0; i < channels_.size(); ++i)
        summaries[i].saved = channels_[i].saved;

    const std::string result = capture_result(interrupted(), lost_, code != kExitOk || failed_);
    std::vector<std::string> files = files_.written();
    files.push_back(files_.path("summary.json"));
    const std::string json = summary_json(cam_, s_.serial(), elapsed_, result, summaries, files, o_.out);
    std::string error;
    if (!files_.write_bytes("summary.json", json.data(), json.size(), &error)) {
        fail(error);
        files.pop_back();
    }
    if (o_.json) {
        std::fputs(failed_ ? summary_json(cam_, s_.serial(), elapsed_, result, summaries, files, o_.out).c_str()
                           : json.c_str(),
                   stdout);
    } else {
        const std::string camera = "camera " + std::to_string(cam_) + " (" + s_.serial() + ")";
        print_summary(stdout, camera, elapsed_, summaries, files, o_.out);
    }
    std::fflush(stdout);
    if (interrupted()) {
        report("interrupted");
        code = interrupted_exit_code();
    } else if (code == kExitOk && failed_) {
        code = kExitCamera;
    }
    if (lost_)
        s_.close_or_leave(code);
    return code;
}

}  // namespace

int cmd_capture(int argc, char** argv)
{
    Args args(argc, argv,
              {kCameraOption,
               kJsonOption,
               {"--channels", 0, true},
               {"--frames", 0, true},
               {"--seconds", 0, true},
               {"--format", 0, true},
               {"--keep", 0, true},
               {"--keep-incomplete", 0, false},
               {"--overwrite", 0, false},
               {"--fuse", 0, false},
               {"--filter", 0, true},
               {"--resend", 0, true},
               {"--timeout", 0, true},
               {"--out", 'o', true},
               {"--sync", 0, true},
               {"--rate", 0, true},
               {"--action-key", 0, true},
               {"--action-group", 0, true},
               {"--ack-timeout-ms", 0, true},
               {"--ptp", 0, false},
               {"--ptp-wait", 0, true},
               {"--scheduled", 0, false},
               {"--tolerance-us", 0, true}});
    if (args.help()) {
        std::fputs(kCaptureHelp, stdout);
        return kExitOk;
    }
    if (args.values("--camera").size() > 1 || args.has("--sync")) {
        if (!args.has("--sync"))
            throw UsageError("several cameras are captured together with --sync action");
        return sync_capture(args);
    }
    for (const char* option : kSyncOnly)
        if (args.has(option))
            throw UsageError(std::string(option) + " needs --sync action");
    const Options options = parse_options(args);
    const std::string selector = camera_option(args);
    if (!prepare_capture_directory(options.out, options.overwrite))
        return kExitCamera;
    CameraSession session;
    const int code = session.connect(selector);
    if (code != kExitOk)
        return code;
    if (interrupted())
        return interrupted_exit_code();
    Capture capture(session, options);
    return capture.run();
}

}  // namespace vora_tool
