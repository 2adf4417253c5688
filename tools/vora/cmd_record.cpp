// vora record: chosen channels of a camera into an MCAP file, through the
// library's recorder. The tool captures every channel meanwhile (and
// throws the copies away) so that the stream's buffers keep flowing; the
// recording itself is written by the library, off the receive threads.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "channels.h"
#include "commands.h"
#include "common.h"
#include "json.h"
#include "options.h"
#include "progress.h"
#include "session.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kRecordHelp =
    "usage: vora record [-c CAMERA] [--channels 0,1,2] [--seconds S | --frames N]\n"
    "                   [--compress] [--raw-only] [--json] FILE.mcap\n"
    "Records stream channels of a camera into an MCAP file: every frame as it\n"
    "arrived (lossless, for replay with `vora play`) and as a ROS 1 PointCloud2\n"
    "(depth, millimetres) or Image (colour), with the camera's identity,\n"
    "calibration and device description. Robotics tools that read ROS messages\n"
    "in MCAP open it as it is.\n\n"
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

struct ChannelRun : StreamChannel {
    std::atomic<unsigned long long> captured{0};
};

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
               {"--overwrite", 0, false}});
    if (args.help()) {
        std::fputs(kRecordHelp, stdout);
        return kExitOk;
    }
    if (args.positional().size() != 1)
        throw UsageError("record takes one file name (FILE.mcap)");
    if (args.has("--seconds") && args.has("--frames"))
        throw UsageError("--seconds and --frames exclude each other");
    const std::string file = args.positional()[0];
    const double seconds = args.has("--seconds") ? to_number(args.value("--seconds"), "--seconds", 0.001, 1e7) : 10.0;
    const long long frames_wanted = args.has("--frames") ? to_integer(args.value("--frames"), "--frames", 1, 1e9) : 0;
    const std::vector<unsigned short> asked = channels_option(args);
    const bool json = args.has("--json");
    struct stat existing {};
    if (!args.has("--overwrite") && stat(file.c_str(), &existing) == 0) {
        report(file + " exists; --overwrite replaces it");
        return kExitCamera;
    }

    CameraSession session;
    int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    const int cam = session.index();
    ChannelOpener opener(session);
    code = opener.choose(asked);
    if (code != kExitOk)
        return code;
    std::vector<ChannelRun> channels(opener.chosen().size());
    unsigned mask = 0;
    for (size_t i = 0; i < channels.size(); ++i) {
        static_cast<StreamChannel&>(channels[i]) = opener.chosen()[i];
        code = opener.open(channels[i]);
        if (code != kExitOk)
            return code;
        mask |= 1u << channels[i].index;
    }
    const unsigned options =
        (args.has("--compress") ? VORA_RECORD_ZSTD : 0) | (args.has("--raw-only") ? VORA_RECORD_RAW_ONLY : 0);
    const int status = StartRecording(cam, mask, file.c_str(), options);
    if (status != 0) {
        report_status("recording to " + file, status);
        return kExitCamera;
    }
    if (const int started = session.acquisition_start(); started != 0) {
        StopRecording(cam);
        report_status("starting acquisition", started);
        return kExitCamera;
    }

    // One capturing thread per channel keeps the stream's buffers moving.
    const auto start = std::chrono::steady_clock::now();
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    for (ChannelRun& ch : channels) {
        threads.emplace_back([&, cam] {
            std::vector<char> buffer(ch.payload);
            PhotoInfo frame{};
            frame.pixel = buffer.data();
            while (!stop) {
                if (TimeoutCapture(cam, ch.index, &frame, 100000) == 0)
                    ++ch.captured;
            }
        });
    }
    std::vector<unsigned short> ids;
    for (const ChannelRun& ch : channels)
        ids.push_back(ch.index);
    Progress progress(frames_wanted > 0, frames_wanted > 0 ? static_cast<double>(frames_wanted) : seconds, ids,
                      "recording");
    const auto captured_counts = [&] {
        std::vector<unsigned> counts;
        for (const ChannelRun& ch : channels)
            counts.push_back(static_cast<unsigned>(ch.captured.load()));
        return counts;
    };
    std::string result = "ok";
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (interrupted()) {
            result = "interrupted";
            break;
        }
        if (session.lost()) {
            result = "camera lost";
            break;
        }
        if (frames_wanted > 0) {
            bool all = true;
            for (const ChannelRun& ch : channels)
                all = all && ch.captured >= static_cast<unsigned long long>(frames_wanted);
            if (all)
                break;
        } else if (elapsed >= seconds) {
            break;
        }
        if (!json)
            progress.update(elapsed, captured_counts());
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!json)
        progress.finish(elapsed, captured_counts());
    // Acquisition stops first, so that every frame the streams still hand
    // over goes into the file; the captures run until the recording is done.
    session.acquisition_stop();
    const int stopped = StopRecording(cam);
    stop = true;
    for (std::thread& t : threads)
        t.join();
    unsigned long long written = 0, dropped = 0, bytes = 0;
    GetRecordingStatistics(cam, &written, &dropped, &bytes);
    if (stopped != 0) {
        report_status("writing " + file, stopped);
        result = "failed";
    }
    struct Figures {
        unsigned long long frames = 0, dropped = 0, gaps = 0, missing = 0;
        bool known = false;
    };
    std::vector<Figures> figures(channels.size());
    std::string dropped_by_channel;
    for (size_t i = 0; i < channels.size(); ++i) {
        Figures& f = figures[i];
        f.known =
            GetRecordingChannelStatistics(cam, channels[i].index, &f.frames, &f.dropped, &f.gaps, &f.missing) == 0;
        if (f.known && f.dropped > 0)
            dropped_by_channel += std::string(dropped_by_channel.empty() ? "" : ", ") + "channel " +
                                  std::to_string(channels[i].index) + ": " + std::to_string(f.dropped);
    }
    if (dropped > 0) {
        // The file lacks frames the camera sent: never a quiet success.
        if (result == "ok")
            result = "dropped";
        // Frames lost to a failed write are counted too; that failure was named.
        report("warning: " + std::to_string(dropped) + " frame" + (dropped == 1 ? "" : "s") +
               " dropped from the recording" + (result == "failed" ? "" : ", the recorder could not keep up") +
               (dropped_by_channel.empty() ? "" : " (" + dropped_by_channel + ")"));
    }

    JsonWriter j;
    j.begin_object()
        .field("file", file)
        .key("camera")
        .begin_object()
        .field("index", cam)
        .field("serial", session.serial())
        .end_object()
        .field("result", result)
        .field("seconds", elapsed)
        .key("recording")
        .begin_object()
        .field("frames", written)
        .field("dropped", dropped)
        .field("bytes", bytes)
        .field("frames_per_second", elapsed > 0 ? written / elapsed : 0.0)
        .end_object()
        .key("channels")
        .begin_array();
    if (!json)
        std::printf("recording %s: %llu frames in %.1f s (%.1f frames/s), %.1f MB, dropped %llu\n", file.c_str(),
                    written, elapsed, elapsed > 0 ? written / elapsed : 0.0, bytes / 1e6, dropped);
    for (size_t i = 0; i < channels.size(); ++i) {
        const ChannelRun& ch = channels[i];
        const Figures& f = figures[i];
        unsigned c[8] = {};
        GetBlockStatistics(cam, ch.index, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7]);
        j.begin_object()
            .field("channel", ch.index)
            .key("frames")
            .begin_object()
            .field("complete", c[0])
            .field("incomplete", c[1])
            .field("captured", ch.captured.load())
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
        if (!json) {
            std::printf("channel %u: frames complete %u, incomplete %u, captured %llu; blocks: timed out %u, "
                        "no buffer %u, lost %u, errors %u\n",
                        ch.index, c[0], c[1], ch.captured.load(), c[2], c[3], c[5], c[6]);
            if (f.known)
                std::printf("  recorded %llu, dropped %llu; block ids: %llu gaps, %llu missing\n", f.frames, f.dropped,
                            f.gaps, f.missing);
        }
    }
    j.end_array().end_object();
    if (json)
        std::fputs(j.text().c_str(), stdout);
    if (result == "camera lost") {
        report("camera " + std::to_string(cam) + " (" + session.serial() + ") was lost");
        session.close_or_leave(kExitCamera);
        return kExitCamera;
    }
    if (result == "failed" || dropped > 0)
        return kExitCamera;
    return kExitOk;
}

}  // namespace vora_tool
