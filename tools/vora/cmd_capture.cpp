// vora capture: frames of one or more stream channels into files, with
// colour conversion, point-cloud filters, depth/colour fusion, a depth
// preview, and a summary of how the stream went.
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "options.h"
#include "preview_png.h"
#include "progress.h"
#include "session.h"
#include "summary.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kCaptureHelp =
    "usage: vora capture [-c N] --out DIR [options]\n"
    "Opens stream channels of camera N (default 0), starts acquisition, captures,\n"
    "converts and writes frames, and prints a summary of the stream.\n"
    "  --out DIR            where files go (created if missing)\n"
    "  --channels LIST      stream channels, e.g. 0,1,2 (default: every channel of\n"
    "                       the camera; on the standard camera 0 and 2 are depth, 1\n"
    "                       colour)\n"
    "  --frames K           capture K frames from every channel (default 1)\n"
    "  --seconds S          capture for S seconds instead\n"
    "  --format LIST        pcd, ply, txt, png, bmp, raw (default pcd,png,bmp):\n"
    "                       depth frames go to pcd/ply/txt clouds and to png (16-bit\n"
    "                       depth plus a colour-mapped _preview.png); colour frames\n"
    "                       to bmp; raw writes any frame's bytes as received\n"
    "  --keep N             write only the last N frames of each channel, after the\n"
    "                       capture (default: every frame, as it arrives)\n"
    "  --fuse               fuse the first depth channel with the colour channel:\n"
    "                       fused_chC_colour.txt (x y z and the colour of each point)\n"
    "                       and, in the pcd/ply/png formats chosen, fused_chC_grid.*\n"
    "                       (the cloud re-gridded onto the colour image)\n"
    "  --filter LIST        point-cloud filters for depth frames, in order:\n"
    "                       outlier[:T] (neighbour check, tolerance T, default 1.0),\n"
    "                       spatial[:M] (drop points in cubes of fewer than M points,\n"
    "                       default 5)\n"
    "  --resend on|off      ask the camera to resend lost packets (default on)\n"
    "  --timeout S          fail when a channel sends no frame for S seconds\n"
    "                       (default 5)\n"
    "File names: DIR/chC_NNNN.EXT, NNNN counting the channel's frames from 0001.\n"
    "Progress goes to stderr (a bar on a terminal); the summary to stdout.\n"
    "Exit codes: 0 ok, 1 camera, stream or file error, 2 usage error, 3 no camera\n"
    "at that index, 130 interrupted (the camera is released first).\n";

constexpr long long kPollUs = 20000;  // one wait per channel and round

struct Options {
    std::vector<unsigned short> channels;  // empty: every channel of the camera
    bool by_frames = true;
    unsigned frames = 1;
    double seconds = 0;
    std::set<std::string> formats;
    unsigned keep = 0;  // 0: write each frame as it comes
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
    if (args.has("--channels")) {
        std::set<unsigned short> seen;
        for (const std::string& c : split(args.value("--channels"), ',')) {
            const auto ch = static_cast<unsigned short>(to_integer(c, "a channel of --channels", 0, 2));
            if (!seen.insert(ch).second)
                throw UsageError("channel " + c + " is listed twice");
            o.channels.push_back(ch);
        }
    }
    if (args.has("--frames") && args.has("--seconds"))
        throw UsageError("give --frames or --seconds, not both");
    if (args.has("--seconds")) {
        o.by_frames = false;
        o.seconds = to_number(args.value("--seconds"), "--seconds", 0.001, 86400 * 365);
    } else if (args.has("--frames")) {
        o.frames = static_cast<unsigned>(to_integer(args.value("--frames"), "--frames", 1, 100000000));
    }
    for (const std::string& f : split(args.value("--format", "pcd,png,bmp"), ',')) {
        if (f != "pcd" && f != "ply" && f != "txt" && f != "png" && f != "bmp" && f != "raw")
            throw UsageError("unknown format \"" + f + "\" (pcd, ply, txt, png, bmp, raw)");
        o.formats.insert(f);
    }
    if (args.has("--keep"))
        o.keep = static_cast<unsigned>(to_integer(args.value("--keep"), "--keep", 1, 1000));
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
                    {false, value.empty() ? 5.0
                                          : static_cast<double>(to_integer(value, "the spatial minimum", 1, 1000000))});
            else
                throw UsageError("unknown filter \"" + name + "\" (outlier[:T], spatial[:M])");
        }
    }
    const std::string resend = args.value("--resend", "on");
    if (resend != "on" && resend != "off")
        throw UsageError("--resend takes on or off");
    o.resend = resend == "on";
    if (args.has("--timeout"))
        o.timeout_s = to_number(args.value("--timeout"), "--timeout", 0.1, 3600);
    return o;
}

// mkdir -p
bool make_directory(const std::string& path)
{
    std::string partial;
    for (const std::string& part : split(path, '/')) {
        partial += part;
        if (!partial.empty() && mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST)
            return false;
        partial += '/';
    }
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// One frame buffer. Buffers come from malloc: the Bayer conversion frees
// the frame's buffer and hands back one of its own.
struct Slot {
    char* data = nullptr;
    size_t capacity = 0;
    PhotoInfo info{};
    unsigned seq = 0;  // the channel's frame number, from 1
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

struct Channel {
    unsigned short index = 0;
    std::vector<std::unique_ptr<Slot>> slots;
    size_t next = 0;  // the slot the next capture goes to
    unsigned captured = 0;
    unsigned saved = 0;
    std::chrono::steady_clock::time_point last_frame;
    Slot* latest = nullptr;
};

class Capture {
public:
    Capture(CameraSession& session, const Options& options) : s_(session), o_(options), cam_(session.index()) {}

    int run();

private:
    int open_channels();
    int capture_loop();
    bool handle(Channel& ch, Slot& slot);
    bool process(Slot& slot);
    bool write_frame(Channel& ch, Slot& slot);
    bool fuse();
    bool save(const char* what, int status, const std::string& path);
    bool write_preview(PhotoInfo& frame, const std::string& path);
    std::string path(const std::string& name) const { return o_.out + "/" + name; }

    CameraSession& s_;
    const Options& o_;
    int cam_;
    std::vector<Channel> channels_;
    std::vector<std::string> files_;
    bool failed_ = false;
    double elapsed_ = 0;
};

int Capture::open_channels()
{
    int available = 0;
    int status = ReadRegister(cam_, Number_of_Stream_Channels_Reg, &available);
    if (status != 0) {
        report_status("reading the number of stream channels", status);
        return kExitCamera;
    }
    std::vector<unsigned short> wanted = o_.channels;
    if (wanted.empty())
        for (int ch = 0; ch < available && ch < 3; ++ch)
            wanted.push_back(static_cast<unsigned short>(ch));
    for (unsigned short ch : wanted) {
        if (ch >= available) {
            report("camera has " + std::to_string(available) + " stream channel(s); there is no channel " +
                   std::to_string(ch));
            return kExitUsage;
        }
    }
    if (wanted.empty()) {
        report("the camera has no stream channel");
        return kExitCamera;
    }

    // --fuse needs a depth and a colour channel; the formats tell which is which.
    if (o_.fuse) {
        bool depth = false, colour = false;
        for (unsigned short ch : wanted) {
            int format = 0;
            status = s_.read_feature("PixelFormat", ch * STREAM_CHANNEL_REG_STRIDE, &format);
            if (status != 0) {
                report_status("reading the pixel format of channel " + std::to_string(ch), status);
                return kExitCamera;
            }
            (static_cast<unsigned>(format) == PIXEL_FORMAT_COORD3D_ABC16 ? depth : colour) = true;
        }
        if (!depth || !colour) {
            report("--fuse needs a depth and a colour channel among --channels");
            return kExitUsage;
        }
    }

    const size_t slots = o_.keep ? o_.keep : 1;
    for (unsigned short ch : wanted) {
        status = s_.stream_on(ch);
        if (status != 0) {
            report_status("opening stream channel " + std::to_string(ch), status);
            return kExitCamera;
        }
        SetResendRequest(cam_, ch, o_.resend ? 1 : 0);
        // Read once the channel is open: the size its frames were set up with.
        int payload = 0;
        status = s_.read_feature("PayloadSize", ch * STREAM_CHANNEL_REG_STRIDE, &payload);
        if (status != 0 || payload <= 0) {
            report_status("reading the payload size of channel " + std::to_string(ch), status ? status : -1);
            return kExitCamera;
        }
        Channel c;
        c.index = ch;
        for (size_t i = 0; i < slots; ++i) {
            c.slots.push_back(std::make_unique<Slot>());
            if (!c.slots.back()->allocate(static_cast<size_t>(payload))) {
                report("out of memory for frames of channel " + std::to_string(ch));
                return kExitCamera;
            }
        }
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
    while (!done && !interrupted()) {
        const auto now = Clock::now();
        elapsed_ = std::chrono::duration<double>(now - start).count();
        if (!o_.by_frames && elapsed_ >= o_.seconds)
            break;
        done = o_.by_frames;
        for (size_t i = 0; i < channels_.size() && !interrupted(); ++i) {
            Channel& c = channels_[i];
            if (o_.by_frames && c.captured >= o_.frames)
                continue;
            done = false;
            Slot& slot = *c.slots[c.next];
            PhotoInfo frame{};
            frame.pixel = slot.data;
            const int st = TimeoutCapture(cam_, c.index, &frame, kPollUs);
            const auto at = Clock::now();
            if (st == VORA_ERR_CAPTURE_TIMEOUT) {
                if (std::chrono::duration<double>(at - c.last_frame).count() > o_.timeout_s) {
                    report("channel " + std::to_string(c.index) + ": no frame for " + std::to_string(o_.timeout_s) +
                           " s");
                    result = kExitCamera;
                }
                continue;
            }
            if (st != 0) {
                report_status("capturing from channel " + std::to_string(c.index), st);
                result = kExitCamera;
                continue;
            }
            slot.info = frame;
            slot.seq = ++c.captured;
            slot.filled = true;
            slot.processed = false;
            c.latest = &slot;
            c.last_frame = at;
            c.next = (c.next + 1) % c.slots.size();
            counts[i] = c.captured;
            if (!o_.keep && !handle(c, slot))
                result = kExitCamera;
        }
        if (result != kExitOk)
            break;
        elapsed_ = std::chrono::duration<double>(Clock::now() - start).count();
        progress.update(elapsed_, counts);
    }
    progress.finish(elapsed_, counts);
    return result;
}

bool Capture::save(const char* what, int status, const std::string& file)
{
    if (status != 0) {
        report_status(std::string(what) + " " + file, status);
        failed_ = true;
        return false;
    }
    files_.push_back(file);
    return true;
}

// Colour frames become RGB8; depth frames go through the filters. Once.
bool Capture::process(Slot& slot)
{
    if (slot.processed)
        return true;
    slot.processed = true;
    PhotoInfo& f = slot.info;
    if (!slot.depth()) {
        if (f.pixel_format == PIXEL_FORMAT_YUV422_8) {
            // Converted in place: the buffer must hold the RGB result.
            const size_t need = static_cast<size_t>(f.pixel_width) * f.pixel_height * 3;
            if (slot.capacity < need) {
                char* bigger = static_cast<char*>(std::realloc(slot.data, need));
                if (!bigger) {
                    report("out of memory converting a colour frame");
                    failed_ = true;
                    return false;
                }
                slot.data = f.pixel = bigger;
                slot.capacity = need;
            }
        }
        RawdataToRgb888(cam_, &f);
        if (f.pixel != slot.data) {
            // The Bayer conversion freed our buffer and gave its own.
            slot.data = f.pixel;
            slot.capacity = f.payload_size;
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

bool Capture::write_preview(PhotoInfo& frame, const std::string& file)
{
    const size_t n = static_cast<size_t>(frame.pixel_width) * frame.pixel_height;
    std::vector<short> plane(n ? n : 1);
    const int status = GetCloudPlaneZ(cam_, &frame, plane.data());
    if (status != 0)
        return save("reading the depth plane for", status, file);
    // The plane holds big-endian values.
    std::vector<uint16_t> z(n);
    const auto* bytes = reinterpret_cast<const uint8_t*>(plane.data());
    for (size_t i = 0; i < n; ++i)
        z[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    uint16_t near = 0, far = 0;
    const std::vector<uint8_t> rgb = colour_map_depth(z.data(), frame.pixel_width, frame.pixel_height, &near, &far);
    std::string error;
    if (!write_rgb_png(file, rgb.data(), frame.pixel_width, frame.pixel_height, &error)) {
        report("writing " + file + ": " + error);
        failed_ = true;
        return false;
    }
    files_.push_back(file);
    return true;
}

bool Capture::write_frame(Channel& ch, Slot& slot)
{
    char stem[32];
    std::snprintf(stem, sizeof stem, "ch%u_%04u", ch.index, slot.seq);
    const std::string base = path(stem);
    const auto has = [this](const char* f) { return o_.formats.count(f) != 0; };
    PhotoInfo& f = slot.info;

    // Raw bytes first: as the camera sent them, before any conversion.
    bool wrote = false;
    if (has("raw")) {
        const std::string file = base + ".raw";
        FILE* out = std::fopen(file.c_str(), "wb");
        bool ok = out && std::fwrite(f.pixel, 1, f.payload_size, out) == f.payload_size;
        if (out && std::fclose(out) != 0)
            ok = false;
        if (!ok) {
            report("writing " + file + ": " + std::strerror(errno));
            failed_ = true;
            return false;
        }
        files_.push_back(file);
        wrote = true;
    }
    if (!process(slot))
        return false;
    const auto write = [&](const char* extension, int (*writer)(int, PhotoInfo*, char*)) {
        std::string file = base + extension;
        wrote = true;
        return save("writing", writer(cam_, &f, file.data()), file);
    };
    if (slot.depth()) {
        if (has("pcd") && !write(".pcd", SavePointCloudToPcd))
            return false;
        if (has("ply") && !write(".ply", SavePointCloudToPly))
            return false;
        if (has("txt") && !write(".txt", SavePointCloudToTxt))
            return false;
        if (has("png") && (!write(".png", SaveDepthToPng) || !write_preview(f, base + "_preview.png")))
            return false;
    } else if (has("bmp") && !write(".bmp", SaveToBMP)) {
        return false;
    }
    if (wrote)
        ++ch.saved;
    return true;
}

bool Capture::handle(Channel& ch, Slot& slot)
{
    if (interrupted())
        return true;
    return write_frame(ch, slot);
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
        report("--fuse: no depth or no colour frame was captured");
        failed_ = true;
        return false;
    }
    Slot& cloud = *depth->latest;
    Slot& image = *colour->latest;
    if (!process(cloud) || !process(image))
        return false;

    const std::string stem = path("fused_ch" + std::to_string(depth->index));
    const size_t points = static_cast<size_t>(cloud.info.pixel_width) * cloud.info.pixel_height;
    std::vector<float> fused(6 * (points ? points : 1));
    int status = FusionImageTo3D(cam_, &image.info, &cloud.info, fused.data());
    if (status != 0) {
        report_status("fusing colour into channel " + std::to_string(depth->index), status);
        failed_ = true;
        return false;
    }
    std::string file = stem + "_colour.txt";
    if (!save("writing", SavePointCloudWithImageToTxt(cam_, &cloud.info, fused.data(), file.data()), file))
        return false;

    const auto has = [this](const char* f) { return o_.formats.count(f) != 0; };
    if (!has("pcd") && !has("ply") && !has("png"))
        return true;
    const size_t grid = static_cast<size_t>(image.info.pixel_width) * image.info.pixel_height;
    std::vector<char> buffer(6 * (grid ? grid : 1));
    PhotoInfo output{};
    output.pixel = buffer.data();
    status = Fusion3DToRGB(cam_, &image.info, &cloud.info, &output);
    if (status != 0) {
        report_status("re-gridding channel " + std::to_string(depth->index) + " onto the colour image", status);
        failed_ = true;
        return false;
    }
    const auto write = [&](const char* suffix, int (*writer)(int, PhotoInfo*, char*)) {
        std::string name = stem + suffix;
        return save("writing", writer(cam_, &output, name.data()), name);
    };
    if (has("pcd") && !write("_grid.pcd", SavePointCloudToPcd))
        return false;
    if (has("ply") && !write("_grid.ply", SavePointCloudToPly))
        return false;
    if (has("png") && (!write("_grid.png", SaveDepthToPng) || !write_preview(output, stem + "_grid_preview.png")))
        return false;
    return true;
}

int Capture::run()
{
    int code = open_channels();
    if (code != kExitOk)
        return code;
    code = capture_loop();
    s_.acquisition_stop();

    // Statistics before the channels close: they go with the stream.
    std::vector<ChannelSummary> summaries;
    for (const Channel& c : channels_) {
        ChannelSummary summary;
        summary.channel = c.index;
        if (c.latest) {
            summary.pixel_format = c.latest->info.pixel_format;
            summary.width = c.latest->info.pixel_width;
            summary.height = c.latest->info.pixel_height;
        }
        summary.captured = c.captured;
        collect_statistics(cam_, &summary);
        summaries.push_back(summary);
    }
    // The writing that follows needs the camera (fusion reads its
    // registers) but no longer the streams.
    s_.close_streams();

    if (code == kExitOk && !interrupted() && o_.keep) {
        for (Channel& c : channels_) {
            // Oldest first: the ring's next slot holds the oldest frame.
            for (size_t k = 0; k < c.slots.size() && !interrupted() && !failed_; ++k) {
                Slot& slot = *c.slots[(c.next + k) % c.slots.size()];
                if (slot.filled)
                    write_frame(c, slot);
            }
        }
    }
    if (code == kExitOk && !interrupted() && !failed_ && o_.fuse)
        fuse();
    for (size_t i = 0; i < channels_.size(); ++i)
        summaries[i].saved = channels_[i].saved;

    const std::string camera = "camera " + std::to_string(cam_) + " (" + s_.serial() + ")";
    print_summary(stdout, camera, elapsed_, summaries, files_, o_.out);
    std::fflush(stdout);
    if (interrupted()) {
        report("interrupted");
        return kExitInterrupted;
    }
    if (code != kExitOk)
        return code;
    return failed_ ? kExitCamera : kExitOk;
}

}  // namespace

int cmd_capture(int argc, char** argv)
{
    Args args(argc, argv, 1,
              {kCameraOption,
               {"--channels", "", true},
               {"--frames", "", true},
               {"--seconds", "", true},
               {"--format", "", true},
               {"--keep", "", true},
               {"--fuse", "", false},
               {"--filter", "", true},
               {"--resend", "", true},
               {"--timeout", "", true},
               {"--out", "-o", true}});
    if (args.help()) {
        std::fputs(kCaptureHelp, stdout);
        return kExitOk;
    }
    const Options options = parse_options(args);
    const int index = camera_option(args);
    if (!make_directory(options.out)) {
        report("cannot create " + options.out + ": " + std::strerror(errno));
        return kExitCamera;
    }
    CameraSession session;
    const int code = session.connect(index);
    if (code != kExitOk)
        return code;
    if (interrupted())
        return kExitInterrupted;
    Capture capture(session, options);
    return capture.run();
}

}  // namespace vora_tool
