// vora play: a recording served as a simulated camera. The simulator
// answers discovery and control as `vora sim` does, with the recorded
// camera's identity, channels and calibration; its frames are the recorded
// ones, byte for byte, at the recorded pace (or --rate times it), and
// resends serve them too.
#ifdef VORA_TOOL_WITH_SIM
#include <arpa/inet.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "options.h"
#include "recording_file.h"
#include "sim_camera.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kPlayHelp = "usage: vora play FILE.mcap [--rate R] [--loop] [--ip A.B.C.D] [--seconds S]\n"
                              "Serves a recording as a simulated camera (run it in a private network\n"
                              "namespace, as `vora sim`): discovery, control, device description and\n"
                              "calibration as the simulator gives them, under the recorded camera's\n"
                              "identity; each stream channel sends the recorded frames exactly as they\n"
                              "were received, with packet resend, at the recorded pace. Playing starts\n"
                              "from the first frame whenever acquisition starts.\n\n"
                              "  --rate R     R times the recorded pace (default 1)\n"
                              "  --loop       start again after the last frame\n"
                              "  --ip ADDR    the camera's address (default 127.0.0.1)\n"
                              "  --seconds S  stop after S seconds\n"
                              "Prints \"camera SERIAL at ADDRESS\" and \"ready\" once it listens.\n";

volatile sig_atomic_t g_stop = 0;
void on_signal(int)
{
    g_stop = 1;
}

// One channel's frames, read from its own reader of the file. A channel
// the file holds no frame of reads nothing.
class ChannelFeed {
public:
    ChannelFeed(std::string path, int channel, bool recorded, double rate, bool loop, unsigned long long start_ns,
                unsigned long long cycle_ns)
        : path_(std::move(path)), channel_(channel), recorded_(recorded), rate_(rate), loop_(loop), start_(start_ns),
          cycle_(cycle_ns)
    {}

    void restart()
    {
        file_.reset();
        laps_ = 0;
        if (!recorded_)
            return;
        file_ = std::make_unique<RecordingFile>();
        if (file_->open(path_) != 0)
            file_.reset();
    }

    bool next(vsim::FeedFrame* out)
    {
        if (!file_)
            return false;
        PhotoInfo f{};
        unsigned long long at = 0;
        for (int turns = 0; turns < 2;) {
            const int status = file_->next(&f, &at);
            if (status == VORA_ERR_RECORDING_END) {
                if (!loop_ || cycle_ == 0)
                    return false;
                ++laps_;
                ++turns;
                SeekRecording(file_->id(), 0);
                continue;
            }
            if (status != 0)
                return false;
            if (f.stream_channel_index_ != channel_)
                continue;
            auto payload = std::make_shared<std::vector<uint8_t>>(f.pixel, f.pixel + f.payload_size);
            out->payload = std::move(payload);
            out->pixel_format = f.pixel_format;
            out->width = f.pixel_width;
            out->height = f.pixel_height;
            out->offset_x = f.roi.offset_x;
            out->offset_y = f.roi.offset_y;
            out->timestamp_ticks = f.timestamp_low;
            out->block_id = f.block_id;
            const double since = static_cast<double>(at - std::min(at, start_)) + double(laps_) * double(cycle_);
            out->due_us = static_cast<int64_t>(since / rate_ / 1000.0);
            return true;
        }
        return false;
    }

private:
    std::string path_;
    int channel_;
    bool recorded_;
    double rate_;
    bool loop_;
    unsigned long long start_, cycle_;
    unsigned long long laps_ = 0;
    std::unique_ptr<RecordingFile> file_;
};

}  // namespace

int cmd_play(int argc, char** argv)
{
    Args args(argc, argv, {{"--rate", 0, true}, {"--loop", 0, false}, {"--ip", 0, true}, {"--seconds", 0, true}});
    if (args.help()) {
        std::fputs(kPlayHelp, stdout);
        return kExitOk;
    }
    if (args.positional().size() != 1 || !is_recording_path(args.positional()[0]))
        throw UsageError("play takes one recording (FILE.mcap)");
    const std::string path = args.positional()[0];
    const double rate = args.has("--rate") ? to_number(args.value("--rate"), "--rate", 0.001, 1000) : 1.0;
    const double seconds = args.has("--seconds") ? to_number(args.value("--seconds"), "--seconds", 0.001, 1e7) : 0;
    const uint32_t ip = args.has("--ip") ? to_ipv4(args.value("--ip"), "--ip") : 0x7F000001;

    RecordingFile rec;
    if (rec.open(path) != 0)
        return kExitCamera;
    vsim::SimConfig config;
    config.ip = ip;
    config.tick_frequency = 1000000000ULL;  // recorded time stamps are nanoseconds
    DiscoveryInfo camera{};
    if (GetRecordingCamera(rec.id(), &camera) == 0) {
        config.serial = field_text(camera.device_serial_number, sizeof camera.device_serial_number);
        config.vendor = field_text(camera.device_vendor_name, sizeof camera.device_vendor_name);
        config.model = field_text(camera.device_model_name, sizeof camera.device_model_name);
        config.version = field_text(camera.device_version, sizeof camera.device_version);
        config.manufacturer_info = field_text(camera.device_manufacturer_info, sizeof camera.device_manufacturer_info);
        config.user_name = field_text(camera.device_user_id, sizeof camera.device_user_id);
        if (camera.camera_mac_high || camera.camera_mac_low) {
            // Discovery keeps the bytes in wire order.
            std::memcpy(config.mac, &camera.camera_mac_high, 2);
            std::memcpy(config.mac + 2, &camera.camera_mac_low, 4);
        }
    }
    // Each recorded channel's geometry: the first frame of it tells.
    unsigned long long per_channel[3] = {0, 0, 0};
    bool seen[3] = {false, false, false};
    PhotoInfo f{};
    while (rec.next(&f) == 0) {
        const unsigned ch = f.stream_channel_index_;
        if (ch >= 3)
            continue;
        ++per_channel[ch];
        if (seen[ch])
            continue;
        seen[ch] = true;
        if (ch < config.sensors.size()) {
            vsim::SimSensor& s = config.sensors[ch];
            s.colour = f.pixel_format != PIXEL_FORMAT_COORD3D_ABC16;
            s.pixel_format = f.pixel_format;
            s.max_width = f.roi.size_x ? f.roi.size_x : f.pixel_width;
            s.max_height = f.roi.size_y ? f.roi.size_y : f.pixel_height;
        }
        if (f.pixel_format == PIXEL_FORMAT_COORD3D_ABC16 && f.cloud_unit)
            config.cloud_unit = f.cloud_unit;
    }
    for (size_t s = 0; s < config.sensors.size(); ++s) {
        CameraParameter p{};
        if (GetRecordingCalibration(rec.id(), static_cast<int>(s), &p) != 0)
            continue;
        vsim::SimSensor& sensor = config.sensors[s];
        std::copy(p.Kc, p.Kc + 5, sensor.Kc);
        std::copy(p.K, p.K + 9, sensor.K);
        std::copy(p.R, p.R + 9, sensor.R);
        std::copy(p.T, p.T + 3, sensor.T);
    }
    const unsigned long long duration = rec.end_ns - std::min(rec.end_ns, rec.start_ns);
    unsigned long long most = 1;
    for (unsigned long long n : per_channel)
        most = std::max(most, n);
    // One lap: the recording and one frame interval, so a loop keeps the pace.
    const unsigned long long cycle = duration + (most > 1 ? duration / (most - 1) : 100000000ULL);

    std::vector<std::shared_ptr<ChannelFeed>> channels;
    for (int ch = 0; ch < 3; ++ch)
        channels.push_back(std::make_shared<ChannelFeed>(path, ch, per_channel[ch] > 0, rate, args.has("--loop"),
                                                         rec.start_ns, cycle));
    auto feed = std::make_shared<vsim::FrameFeed>();
    feed->next = [channels](int channel, vsim::FeedFrame* out) {
        return channel >= 0 && channel < 3 && channels[static_cast<size_t>(channel)]->next(out);
    };
    feed->restart = [channels] {
        for (const auto& c : channels)
            c->restart();
    };
    config.feed = feed;

    g_stop = 0;
    signal(SIGINT, on_signal);
    signal(SIGTERM, on_signal);
    vsim::SimCamera sim(config);
    if (const int err = sim.start()) {
        report(std::string("the camera cannot listen: ") + std::strerror(-err));
        return kExitCamera;
    }
    in_addr a{htonl(ip)};
    std::printf("camera %s at %s\n", config.serial.c_str(), inet_ntoa(a));
    std::printf("ready\n");
    std::fflush(stdout);
    const useconds_t tick = 50000;
    for (long waited = 0; !g_stop && !interrupted(); waited += tick) {
        if (seconds > 0 && waited >= static_cast<long>(seconds * 1e6))
            break;
        usleep(tick);
    }
    sim.stop();
    return kExitOk;
}

}  // namespace vora_tool

#else  // VORA_TOOL_WITH_SIM

#include "commands.h"

namespace vora_tool {

int cmd_play(int, char**)
{
    return without_simulator("play");
}

}  // namespace vora_tool

#endif  // VORA_TOOL_WITH_SIM
