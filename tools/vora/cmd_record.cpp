// vora record: chosen channels of a camera into an MCAP file, through the
// library's recorder. The tool captures every channel meanwhile (and
// throws the copies away) so that the stream's buffers keep flowing; the
// recording itself is written by the library, off the receive threads.
#include <sys/stat.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "channels.h"
#include "commands.h"
#include "common.h"
#include "json.h"
#include "lent_frame.h"
#include "options.h"
#include "progress.h"
#include "session.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kRecordHelp =
    "usage: vora record [-c CAMERA] [--channels 0,1,2] [--seconds S | --frames N]\n"
    "                   [--profile ros1|ros2] [--name NAME] [--compress] [--raw-only]\n"
    "                   [--json] FILE.mcap\n"
    "Records stream channels of a camera into an MCAP file: every frame as it\n"
    "arrived (lossless, for replay with `vora play`) and as ROS messages, with\n"
    "the camera's identity, calibration and device description. Robotics tools\n"
    "that read ROS messages in MCAP open it as it is.\n"
    "  ros1 (default): a PointCloud2 per depth channel (metres), an Image per\n"
    "                  colour channel, on /vora/SERIAL/chN.\n"
    "  ros2: a ROS 2 bag as rosbag2 writes it (`ros2 bag play FILE.mcap`): for\n"
    "        each depth channel /NAME/depth/points (metres), /NAME/depth/image_raw\n"
    "        (16UC1, millimetres) and /NAME/depth/camera_info (the second depth\n"
    "        channel under depth2), /NAME/color/image_raw and camera_info, and the\n"
    "        sensors' poses on /tf_static; the topics and frames the bridge uses.\n\n"
    "  --profile P      ros1 (default) or ros2\n"
    "  --name NAME      ros2: the camera's name in topics and frames (default camera;\n"
    "                   letters, digits and '_', a letter first)\n"
    "  --channels LIST  stream channels to record (default: all the camera has)\n"
    "  --wait S         keep discovering for up to S seconds (default 5; 0 asks once)\n"
    "  --seconds S      record for S seconds (default 10)\n"
    "  --frames N       record until every channel has delivered N frames\n"
    "  --compress       compress the file's chunks with zstd\n"
    "  --raw-only       only the lossless frames, no ROS messages\n"
    "  --overwrite      replace FILE if it exists (otherwise refused)\n"
    "  --json           the summary as JSON: {file, camera {index, serial}, result, seconds,\n"
    "                   recording {frames, dropped, bytes, frames_per_second},\n"
    "                   channels [{channel, frames {complete, incomplete, captured},\n"
    "                   blocks {...}, recording {frames, dropped, gaps, missing_blocks}}]}\n"
    "                   result: ok, dropped, failed, interrupted or camera lost\n\n"
    "Frames the recorder could not keep up with are dropped from the file (never\n"
    "from the stream) and counted as dropped: the result is then \"dropped\", a\n"
    "warning says how many on each channel, and the exit code is 1. Gaps are\n"
    "places where the block ids of a channel's recorded frames skip (frames\n"
    "dropped, or lost on the way); missing_blocks counts the ids skipped. With\n"
    "--compress, frames that arrive while the recorder is behind are stored\n"
    "uncompressed rather than dropped. Progress goes to stderr: a line redrawn\n"
    "in place on a terminal, a line a second otherwise.\n";

using Clock = std::chrono::steady_clock;

constexpr long long kCaptureWaitUs = 100000;                // one wait of a capturing thread
constexpr auto kLoopPause = std::chrono::milliseconds(20);  // between looks at the recording

struct Options {
    std::string file;
    std::vector<unsigned short> channels;  // empty: every channel of the camera
    double seconds = 10;
    long long frames = 0;    // when > 0: until every channel delivered this many
    unsigned recording = 0;  // VORA_RECORD_* flags
    std::string name;        // ros2: the camera's name; empty for the library's default
    bool overwrite = false;
    bool json = false;
};

Options parse_options(const Args& args)
{
    if (args.positional().size() != 1)
        throw UsageError("record takes one file name (FILE.mcap)");
    if (args.has("--seconds") && args.has("--frames"))
        throw UsageError("--seconds and --frames exclude each other");
    Options o;
    o.file = args.positional()[0];
    if (args.has("--seconds"))
        o.seconds = to_number(args.value("--seconds"), "--seconds", 0.001, 1e7);
    if (args.has("--frames"))
        o.frames = to_integer(args.value("--frames"), "--frames", 1, 1000000000);
    o.channels = channels_option(args);
    o.recording = (args.has("--compress") ? VORA_RECORD_ZSTD : 0) | (args.has("--raw-only") ? VORA_RECORD_RAW_ONLY : 0);
    const std::string profile = args.has("--profile") ? args.value("--profile") : "ros1";
    if (profile == "ros2")
        o.recording |= VORA_RECORD_ROS2;
    else if (profile != "ros1")
        throw UsageError("--profile is ros1 or ros2");
    if (args.has("--name")) {
        if (profile != "ros2")
            throw UsageError("--name names the camera in a ros2 recording (--profile ros2)");
        o.name = args.value("--name");
        // The library refuses any other name; said here in words.
        bool ok = !o.name.empty() && o.name.size() <= 64 && std::isalpha(static_cast<unsigned char>(o.name[0]));
        for (const char c : o.name)
            ok = ok && (std::isalnum(static_cast<unsigned char>(c)) || c == '_');
        if (!ok)
            throw UsageError("--name is 1 to 64 letters, digits and '_', a letter first");
    }
    o.overwrite = args.has("--overwrite");
    o.json = args.has("--json");
    return o;
}

// A recorded channel and the frames its capturing thread took.
struct ChannelRun : StreamChannel {
    explicit ChannelRun(const StreamChannel& chosen) : StreamChannel(chosen) {}
    std::atomic<unsigned long long> captured{0};
};

// What the library says of a channel once the recording is done.
struct ChannelFigures {
    unsigned blocks[8] = {};  // GetBlockStatistics, in its order
    // In the file; known when the recording says.
    unsigned long long frames = 0, dropped = 0, gaps = 0, missing = 0;
    bool known = false;
};

class Recorder {
public:
    Recorder(CameraSession& session, const Options& options)
        : s_(session), o_(options), cam_(session.index()), opener_(session)
    {}
    ~Recorder() { stop_captures(); }
    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    int run();

private:
    int open_channels();
    int start();
    void capture(ChannelRun& channel);
    void record_loop();
    bool done(double elapsed) const;
    void stop();
    void stop_captures();
    void collect();
    void warn_of_drops();
    void print_text() const;
    void print_json() const;
    int exit_code();
    std::vector<unsigned> captured_counts() const;
    double seconds_since_start() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

    CameraSession& s_;
    const Options& o_;
    int cam_;
    ChannelOpener opener_;
    std::deque<ChannelRun> channels_;  // in place: the capturing threads hold them
    unsigned mask_ = 0;
    std::vector<std::thread> threads_;
    std::atomic<bool> stop_{false};
    Clock::time_point start_;
    double elapsed_ = 0;
    std::string result_ = "ok";
    unsigned long long written_ = 0, dropped_ = 0, bytes_ = 0;
    std::vector<ChannelFigures> figures_;
};

int Recorder::run()
{
    int code = open_channels();
    if (code == kExitOk)
        code = start();
    if (code != kExitOk)
        return code;
    record_loop();
    stop();
    collect();
    warn_of_drops();
    if (o_.json)
        print_json();
    else
        print_text();
    return exit_code();
}

int Recorder::open_channels()
{
    int code = opener_.choose(o_.channels);
    if (code != kExitOk)
        return code;
    for (const StreamChannel& chosen : opener_.chosen()) {
        ChannelRun& ch = channels_.emplace_back(chosen);
        code = opener_.open(ch);
        if (code != kExitOk)
            return code;
        mask_ |= 1u << ch.index;
    }
    return kExitOk;
}

int Recorder::start()
{
    const int status =
        StartRecordingNamed(cam_, mask_, o_.file.c_str(), o_.recording, o_.name.empty() ? nullptr : o_.name.c_str());
    if (status != 0) {
        report_status("recording to " + o_.file, status);
        return kExitCamera;
    }
    if (const int started = s_.acquisition_start(); started != 0) {
        StopRecording(cam_);
        report_status("starting acquisition", started);
        return kExitCamera;
    }
    start_ = Clock::now();
    // One capturing thread per channel keeps the stream's buffers moving.
    for (ChannelRun& ch : channels_)
        threads_.emplace_back([this, &ch] { capture(ch); });
    return kExitOk;
}

void Recorder::capture(ChannelRun& channel)
{
    // The library's recorder takes the frames itself; this keeps the
    // channel's queue moving and counts them, so each goes back at once.
    LentFrame frame;
    while (!stop_) {
        if (frame.borrow(cam_, channel.index, kCaptureWaitUs) == 0)
            ++channel.captured;
        frame.reset();
    }
}

std::vector<unsigned> Recorder::captured_counts() const
{
    std::vector<unsigned> counts;
    for (const ChannelRun& ch : channels_)
        counts.push_back(static_cast<unsigned>(ch.captured.load()));
    return counts;
}

bool Recorder::done(double elapsed) const
{
    if (o_.frames <= 0)
        return elapsed >= o_.seconds;
    for (const ChannelRun& ch : channels_)
        if (ch.captured < static_cast<unsigned long long>(o_.frames))
            return false;
    return true;
}

void Recorder::record_loop()
{
    std::vector<unsigned short> ids;
    for (const ChannelRun& ch : channels_)
        ids.push_back(ch.index);
    Progress progress(o_.frames > 0, o_.frames > 0 ? static_cast<double>(o_.frames) : o_.seconds, ids, "recording");
    for (;;) {
        std::this_thread::sleep_for(kLoopPause);
        const double elapsed = seconds_since_start();
        if (interrupted()) {
            result_ = "interrupted";
            break;
        }
        if (s_.lost()) {
            result_ = "camera lost";
            break;
        }
        if (done(elapsed))
            break;
        if (!o_.json)
            progress.update(elapsed, captured_counts());
    }
    elapsed_ = seconds_since_start();
    if (!o_.json)
        progress.finish(elapsed_, captured_counts());
}

void Recorder::stop()
{
    // Acquisition stops first, so that every frame the streams still hand
    // over goes into the file; the captures run until the recording is done.
    s_.acquisition_stop();
    const int stopped = StopRecording(cam_);
    stop_captures();
    GetRecordingStatistics(cam_, &written_, &dropped_, &bytes_);
    if (stopped != 0) {
        report_status("writing " + o_.file, stopped);
        result_ = "failed";
    }
}

void Recorder::stop_captures()
{
    stop_ = true;
    for (std::thread& t : threads_)
        if (t.joinable())
            t.join();
}

void Recorder::collect()
{
    figures_.assign(channels_.size(), ChannelFigures());
    for (size_t i = 0; i < channels_.size(); ++i) {
        ChannelFigures& f = figures_[i];
        const unsigned short ch = channels_[i].index;
        f.known = GetRecordingChannelStatistics(cam_, ch, &f.frames, &f.dropped, &f.gaps, &f.missing) == 0;
        unsigned* b = f.blocks;
        GetBlockStatistics(cam_, ch, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    }
}

void Recorder::warn_of_drops()
{
    if (dropped_ == 0)
        return;
    std::string by_channel;
    for (size_t i = 0; i < channels_.size(); ++i)
        if (figures_[i].known && figures_[i].dropped > 0)
            by_channel += std::string(by_channel.empty() ? "" : ", ") + "channel " +
                          std::to_string(channels_[i].index) + ": " + std::to_string(figures_[i].dropped);
    // The file lacks frames the camera sent: never a quiet success.
    if (result_ == "ok")
        result_ = "dropped";
    // Frames lost to a failed write are counted too; that failure was named.
    report("warning: " + std::to_string(dropped_) + " frame" + (dropped_ == 1 ? "" : "s") +
           " dropped from the recording" + (result_ == "failed" ? "" : ", the recorder could not keep up") +
           (by_channel.empty() ? "" : " (" + by_channel + ")"));
}

void Recorder::print_text() const
{
    std::printf("recording %s: %llu frames in %.1f s (%.1f frames/s), %.1f MB, dropped %llu\n", o_.file.c_str(),
                written_, elapsed_, elapsed_ > 0 ? written_ / elapsed_ : 0.0, bytes_ / 1e6, dropped_);
    for (size_t i = 0; i < channels_.size(); ++i) {
        const ChannelFigures& f = figures_[i];
        const unsigned* c = f.blocks;
        std::printf("channel %u: frames complete %u, incomplete %u, captured %llu; blocks: timed out %u, "
                    "no buffer %u, lost %u, errors %u\n",
                    channels_[i].index, c[0], c[1], channels_[i].captured.load(), c[2], c[3], c[5], c[6]);
        if (f.known)
            std::printf("  recorded %llu, dropped %llu; block ids: %llu gaps, %llu missing\n", f.frames, f.dropped,
                        f.gaps, f.missing);
    }
}

void Recorder::print_json() const
{
    JsonWriter j;
    j.begin_object()
        .field("file", o_.file)
        .key("camera")
        .begin_object()
        .field("index", cam_)
        .field("serial", s_.serial())
        .end_object()
        .field("result", result_)
        .field("seconds", elapsed_)
        .key("recording")
        .begin_object()
        .field("frames", written_)
        .field("dropped", dropped_)
        .field("bytes", bytes_)
        .field("frames_per_second", elapsed_ > 0 ? written_ / elapsed_ : 0.0)
        .end_object()
        .key("channels")
        .begin_array();
    for (size_t i = 0; i < channels_.size(); ++i) {
        const ChannelFigures& f = figures_[i];
        const unsigned* c = f.blocks;
        j.begin_object()
            .field("channel", channels_[i].index)
            .key("frames")
            .begin_object()
            .field("complete", c[0])
            .field("incomplete", c[1])
            .field("captured", channels_[i].captured.load())
            .end_object()
            .key("blocks")
            .begin_object()
            .field("timed_out", c[2])
            .field("no_buffer", c[3])
            .field("lost", c[5])
            .field("errors", c[6])
            .end_object()
            .key("recording");
        if (f.known)
            j.begin_object()
                .field("frames", f.frames)
                .field("dropped", f.dropped)
                .field("gaps", f.gaps)
                .field("missing_blocks", f.missing)
                .end_object();
        else
            j.null();
        j.end_object();
    }
    j.end_array().end_object();
    std::fputs(j.text().c_str(), stdout);
}

int Recorder::exit_code()
{
    if (result_ == "camera lost") {
        report("camera " + std::to_string(cam_) + " (" + s_.serial() + ") was lost");
        s_.close_or_leave(kExitCamera);
        return kExitCamera;
    }
    return result_ == "failed" || dropped_ > 0 ? kExitCamera : kExitOk;
}

}  // namespace

int cmd_record(int argc, char** argv)
{
    Args args(argc, argv,
              {kCameraOption,
               kJsonOption,
               {"--channels", 0, true},
               {"--seconds", 0, true},
               {"--frames", 0, true},
               {"--compress", 0, false},
               {"--raw-only", 0, false},
               {"--profile", 0, true},
               {"--name", 0, true},
               {"--overwrite", 0, false}});
    if (args.help()) {
        std::fputs(kRecordHelp, stdout);
        return kExitOk;
    }
    const Options options = parse_options(args);
    struct stat existing {};
    if (!options.overwrite && stat(options.file.c_str(), &existing) == 0) {
        report(options.file + " exists; --overwrite replaces it");
        return kExitCamera;
    }
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    Recorder recorder(session, options);
    return recorder.run();
}

}  // namespace vora_tool
