// Synchronised capture of several cameras (`vora capture --sync action`)
// and `vora sync-status`: every camera is armed to expose on one action
// command, the tool sends one per frame (or schedules them on the cameras'
// PTP clocks), and the library's frame sets put the frames back together.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "channels.h"
#include "commands.h"
#include "common.h"
#include "frame_writer.h"
#include "json.h"
#include "named_features.h"
#include "options.h"
#include "output_files.h"
#include "session.h"
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr unsigned kDefaultDeviceKey = 0x56524131;
constexpr unsigned kDefaultGroupKey = 1;
constexpr unsigned kDefaultGroupMask = 1;
constexpr long long kPollUs = 20000;

const char* ptp_state_name(int state)
{
    switch (state) {
    case VORA_PTP_INITIALIZING:
        return "Initializing";
    case VORA_PTP_FAULTY:
        return "Faulty";
    case VORA_PTP_DISABLED:
        return "Disabled";
    case VORA_PTP_LISTENING:
        return "Listening";
    case VORA_PTP_PRE_MASTER:
        return "PreMaster";
    case VORA_PTP_MASTER:
        return "Master";
    case VORA_PTP_PASSIVE:
        return "Passive";
    case VORA_PTP_UNCALIBRATED:
        return "Uncalibrated";
    case VORA_PTP_SLAVE:
        return "Slave";
    default:
        return "Unknown";
    }
}

struct SyncOptions {
    std::vector<std::string> cameras;
    std::vector<unsigned short> channels;
    unsigned frames = 1;
    std::set<std::string> formats;
    bool overwrite = false;
    bool json = false;
    bool resend = true;
    double timeout_s = 5;
    std::string out;
    unsigned device_key = kDefaultDeviceKey;
    unsigned group_key = kDefaultGroupKey;
    unsigned group_mask = kDefaultGroupMask;
    bool ptp = false;
    double ptp_wait_s = 30;
    bool scheduled = false;
    double rate = 10;
    long long tolerance_us = 1000;
    int ack_timeout_ms = 200;
};

unsigned key_option(const Args& args, const char* name, unsigned fallback)
{
    if (!args.has(name))
        return fallback;
    return static_cast<unsigned>(to_integer(args.value(name), name, 0, 0xFFFFFFFFLL));
}

SyncOptions parse_sync_options(const Args& args)
{
    SyncOptions o;
    if (args.has("--sync") && args.value("--sync") != "action")
        throw UsageError("--sync takes action (one action command triggers every camera)");
    for (const char* refused : {"--seconds", "--keep", "--keep-incomplete", "--fuse", "--filter"})
        if (args.has(refused))
            throw UsageError(std::string(refused) + " is for single-camera capture, not with --sync action");
    if (!args.has("--out") || args.value("--out").empty())
        throw UsageError("capture needs --out DIR");
    o.out = args.value("--out");
    if (!args.positional().empty())
        throw UsageError("unexpected argument " + args.positional()[0]);
    o.cameras = args.values("--camera");
    if (o.cameras.empty())
        o.cameras.push_back("0");
    for (const std::string& c : o.cameras)
        if (c.empty())
            throw UsageError("-c needs an index, serial number, IP or MAC address");
    o.channels = channels_option(args);
    if (args.has("--frames"))
        o.frames = static_cast<unsigned>(to_integer(args.value("--frames"), "--frames", 1, 100000000));
    o.formats = formats_option(args);
    o.overwrite = args.has("--overwrite");
    o.json = args.has("--json");
    o.resend = resend_option(args);
    if (args.has("--timeout"))
        o.timeout_s = to_number(args.value("--timeout"), "--timeout", 0.1, 3600);
    o.device_key = key_option(args, "--action-key", kDefaultDeviceKey);
    if (args.has("--action-group")) {
        // KEY or KEY:MASK
        const std::string text = args.value("--action-group");
        const size_t colon = text.find(':');
        o.group_key = static_cast<unsigned>(to_integer(text.substr(0, colon), "--action-group", 0, 0xFFFFFFFFLL));
        if (colon != std::string::npos)
            o.group_mask = static_cast<unsigned>(
                to_integer(text.substr(colon + 1), "the mask of --action-group", 1, 0xFFFFFFFFLL));
    }
    o.ptp = args.has("--ptp");
    if (args.has("--ptp-wait")) {
        if (!o.ptp)
            throw UsageError("--ptp-wait needs --ptp");
        o.ptp_wait_s = to_number(args.value("--ptp-wait"), "--ptp-wait", 0, 3600);
    }
    o.scheduled = args.has("--scheduled");
    if (o.scheduled && !o.ptp)
        throw UsageError("--scheduled needs --ptp: an action time means the same instant to every camera only on "
                         "one PTP clock");
    if (args.has("--rate"))
        o.rate = to_number(args.value("--rate"), "--rate", 0.01, 1000);
    if (args.has("--tolerance-us"))
        o.tolerance_us = to_integer(args.value("--tolerance-us"), "--tolerance-us", 0, 10000000);
    if (args.has("--ack-timeout-ms"))
        o.ack_timeout_ms = static_cast<int>(to_integer(args.value("--ack-timeout-ms"), "--ack-timeout-ms", 0, 10000));
    return o;
}

// A frame buffer of one member, from malloc (the Bayer conversion replaces it).
struct Buffer {
    char* data = nullptr;
    size_t capacity = 0;
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer() { std::free(data); }
};

struct Member {
    size_t camera = 0;  // into SyncCapture::cameras_
    StreamChannel channel;
    std::unique_ptr<Buffer> buffer = std::make_unique<Buffer>();
    bool depth() const { return channel.pixel_format == PIXEL_FORMAT_COORD3D_ABC16; }
};

struct SyncCamera {
    int index = -1;
    std::string serial;
    std::unique_ptr<CameraSession> session = std::make_unique<CameraSession>();
    std::unique_ptr<ChannelOpener> opener;
    std::unique_ptr<FrameWriter> writer;
    // Trigger features as they were, given back at the end.
    std::vector<std::pair<std::string, std::string>> restore;
    unsigned long long acknowledged = 0, missed = 0, refused = 0;
    bool reported_miss = false;
    bool lost = false;
};

class SyncCapture {
public:
    SyncCapture(const SyncOptions& options) : o_(options), files_(options.out, options.overwrite) {}
    int run();

private:
    int open_cameras();
    int arm(SyncCamera& cam);
    int wait_for_ptp();
    int open_channels();
    int loop();
    bool send_action(std::vector<int>& indices);
    void record_set(const std::vector<PhotoInfo>& frames, const std::vector<VoraSetFrameInfo>& info,
                    const VoraFrameSetInfo& set);
    std::string summary(const std::string& result, const std::vector<std::string>& files) const;
    bool any_lost();
    void fail(const std::string& message)
    {
        report(message);
        failed_ = true;
    }

    const SyncOptions& o_;
    OutputFiles files_;
    CameraSession table_;
    std::vector<SyncCamera> cameras_;
    std::vector<Member> members_;
    int set_ = -1;
    std::vector<std::string> set_lines_;
    VoraFrameSetStatistics stats_{};
    unsigned complete_ = 0, incomplete_ = 0;
    long long worst_offset_ns_ = 0;
    unsigned long long actions_ = 0;
    double elapsed_ = 0;
    bool failed_ = false;
    bool lost_ = false;
};

std::string camera_text(const SyncCamera& cam)
{
    return "camera " + std::to_string(cam.index) + " (" + cam.serial + ")";
}

// Writes a feature by entry name, remembering what it was to give it back.
int set_entry(SyncCamera& cam, const char* feature, const char* entry)
{
    char before[VORA_FEATURE_NAME_SIZE] = {};
    if (GetFeatureEnum(cam.index, feature, before, sizeof before, nullptr) == 0 && std::strcmp(before, entry) != 0)
        cam.restore.emplace_back(feature, before);
    const int status = SetFeatureEnum(cam.index, feature, entry);
    if (status != 0)
        report(camera_text(cam) + ": setting " + feature + " to " + entry + ": " + feature_error(status));
    return status;
}

int SyncCapture::open_cameras()
{
    std::vector<int> indexes;
    int code = table_.find_each(o_.cameras, &indexes);
    if (code != kExitOk)
        return code;
    cameras_.resize(indexes.size());
    for (size_t i = 0; i < indexes.size(); ++i) {
        SyncCamera& cam = cameras_[i];
        cam.index = indexes[i];
        code = cam.session->connect_index(cam.index);
        cam.serial = cam.session->serial();
        if (code != kExitOk)
            return code;
        if (interrupted())
            return interrupted_exit_code();
        code = arm(cam);
        if (code != kExitOk)
            return code;
    }
    return kExitOk;
}

int SyncCapture::arm(SyncCamera& cam)
{
    VoraSyncCapability can{};
    int status = GetSyncCapability(cam.index, &can);
    if (status != 0 && status != VORA_ERR_SYNC_UNSUPPORTED) {
        report_status(camera_text(cam) + ": reading what it can synchronise", status);
        return kExitCamera;
    }
    if (status != 0 || !can.action) {
        report(camera_text(cam) + " does not answer action commands; it cannot be captured with --sync action");
        return kExitUsage;
    }
    if (o_.scheduled && !can.scheduled_action) {
        report(camera_text(cam) + " has no scheduled action commands; leave out --scheduled");
        return kExitUsage;
    }
    if (o_.ptp && !can.ptp) {
        report(camera_text(cam) + " keeps no IEEE 1588 (PTP) time; leave out --ptp");
        return kExitUsage;
    }
    status = SetActionDeviceKey(cam.index, o_.device_key);
    if (status == 0)
        status = SetActionGroup(cam.index, 0, o_.group_key, o_.group_mask);
    if (status != 0) {
        report_status(camera_text(cam) + ": setting its action keys", status);
        return kExitCamera;
    }
    // A camera without a trigger selector has one trigger only.
    long long ignored = 0;
    if (GetFeatureEnum(cam.index, "TriggerSelector", nullptr, 0, &ignored) == 0 &&
        set_entry(cam, "TriggerSelector", "FrameStart") != 0)
        return kExitCamera;
    if (set_entry(cam, "TriggerMode", "On") != 0 || set_entry(cam, "TriggerSource", "Action1") != 0)
        return kExitCamera;
    if (o_.ptp) {
        status = SetTimestamp(cam.index, 1);
        if (status != 0) {
            report_status(camera_text(cam) + ": enabling IEEE 1588", status);
            return kExitCamera;
        }
    }
    return kExitOk;
}

int SyncCapture::wait_for_ptp()
{
    const auto until = Clock::now() + std::chrono::duration<double>(o_.ptp_wait_s);
    for (;;) {
        std::string waiting;
        for (const SyncCamera& cam : cameras_) {
            const int state = GetTimestampStatus(cam.index);
            if (state != VORA_PTP_SLAVE && state != VORA_PTP_MASTER)
                waiting += (waiting.empty() ? "" : ", ") + camera_text(cam) + " " +
                           (state < 0 ? status_text(state) : std::string(ptp_state_name(state)));
        }
        if (waiting.empty())
            return kExitOk;
        if (interrupted())
            return interrupted_exit_code();
        if (Clock::now() >= until) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", o_.ptp_wait_s);
            report("PTP did not settle within " + std::string(seconds) +
                   " s (--ptp-wait): not Slave or Master: " + waiting);
            return kExitCamera;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

int SyncCapture::open_channels()
{
    for (size_t i = 0; i < cameras_.size(); ++i) {
        SyncCamera& cam = cameras_[i];
        cam.opener = std::make_unique<ChannelOpener>(*cam.session);
        cam.writer = std::make_unique<FrameWriter>(cam.index, files_, o_.formats);
        int code = cam.opener->choose(o_.channels);
        if (code == kExitOk)
            code = cam.opener->read_formats();
        if (code != kExitOk)
            return code;
        bool colour = false;
        for (const StreamChannel& c : cam.opener->chosen())
            colour = colour || c.pixel_format != PIXEL_FORMAT_COORD3D_ABC16;
        if (colour && set_entry(cam, "RGBTriggerMode", "On") != 0)
            return kExitCamera;
        for (const StreamChannel& chosen : cam.opener->chosen()) {
            Member m;
            m.camera = i;
            m.channel = chosen;
            code = cam.opener->open(m.channel, o_.resend);
            if (code != kExitOk)
                return code;
            m.buffer->data = static_cast<char*>(std::calloc(m.channel.payload ? m.channel.payload : 1, 1));
            m.buffer->capacity = m.channel.payload;
            if (!m.buffer->data) {
                report("out of memory for frames of " + camera_text(cam));
                return kExitCamera;
            }
            members_.push_back(std::move(m));
        }
    }
    std::vector<VoraSetMember> members;
    for (const Member& m : members_)
        members.push_back({cameras_[m.camera].index, m.channel.index});
    VoraFrameSetOptions options{};
    options.tolerance_ns = o_.tolerance_us * 1000;
    // A late member is waited for about one frame period, at least a second.
    options.wait_us = std::max(1000000LL, static_cast<long long>(1e6 / o_.rate));
    options.time_base = o_.ptp ? VORA_SET_TIME_CAMERA : VORA_SET_TIME_HOST;
    set_ = OpenFrameSet(members.data(), static_cast<int>(members.size()), &options);
    if (set_ < 0) {
        report_status("grouping the cameras' frames into sets", set_);
        return kExitCamera;
    }
    return kExitOk;
}

bool SyncCapture::any_lost()
{
    bool any = false;
    for (SyncCamera& cam : cameras_) {
        if (!cam.lost && cam.session->lost()) {
            cam.lost = true;
            report(camera_text(cam) + " was lost: it no longer answers its heartbeat");
        }
        any = any || cam.lost;
    }
    return any;
}

// One action command to every camera; false when no camera acknowledged.
bool SyncCapture::send_action(std::vector<int>& indices)
{
    VoraAction action{};
    action.device_key = o_.device_key;
    action.group_key = o_.group_key;
    action.group_mask = o_.group_mask;
    if (o_.scheduled) {
        VoraClockMapping now{};
        const int status = GetClockMapping(cameras_[0].index, &now);
        if (status != 0) {
            report_status(camera_text(cameras_[0]) + ": reading its clock", status);
            return false;
        }
        // Far enough ahead that the command reaches every camera first.
        const double lead_s = std::max(0.05, 0.5 / o_.rate);
        action.scheduled = 1;
        action.action_time = now.camera_ticks + static_cast<uint64_t>(lead_s * static_cast<double>(now.tick_frequency));
    }
    std::vector<VoraActionAck> acks(indices.size());
    const int answered =
        SendActionToCameras(indices.data(), static_cast<int>(indices.size()), &action, o_.ack_timeout_ms, acks.data());
    ++actions_;
    if (answered < 0) {
        report_status("sending an action command", answered);
        return false;
    }
    for (size_t i = 0; i < indices.size(); ++i) {
        SyncCamera& cam = cameras_[i];
        if (o_.ack_timeout_ms == 0 || acks[i].status == 0) {
            ++cam.acknowledged;
            continue;
        }
        if (acks[i].status == VORA_ERR_NO_ACK)
            ++cam.missed;
        else
            ++cam.refused;
        if (!cam.reported_miss) {
            cam.reported_miss = true;
            report("warning: " + camera_text(cam) + " did not acknowledge action " + std::to_string(actions_) + ": " +
                   status_text(acks[i].status) + " (further ones are counted in the summary)");
        }
    }
    return true;
}

void SyncCapture::record_set(const std::vector<PhotoInfo>& frames, const std::vector<VoraSetFrameInfo>& info,
                             const VoraFrameSetInfo& set)
{
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "set_%04llu_", static_cast<unsigned long long>(set.set_id));
    JsonWriter line(false);
    line.begin_object()
        .field("set", static_cast<unsigned long long>(set.set_id))
        .field("complete", set.complete != 0)
        .field("time_ns", static_cast<long long>(set.time_ns))
        .field("spread_ns", static_cast<long long>(set.spread_ns))
        .key("members")
        .begin_array();
    for (size_t i = 0; i < members_.size(); ++i) {
        Member& m = members_[i];
        SyncCamera& cam = cameras_[m.camera];
        line.begin_object()
            .field("camera", cam.index)
            .field("serial", cam.serial)
            .field("channel", m.channel.index)
            .field("present", info[i].present != 0);
        std::vector<std::string> names;
        if (info[i].present) {
            line.field("timestamp_ns", static_cast<long long>(info[i].time_ns))
                .field("offset_ns", static_cast<long long>(info[i].offset_ns));
            worst_offset_ns_ = std::max(worst_offset_ns_, std::llabs(info[i].offset_ns));
            PhotoInfo f = frames[i];
            const std::string stem = prefix + cam.serial + "_ch" + std::to_string(m.channel.index);
            FrameWriter& w = *cam.writer;
            w.take_names();
            bool ok = !w.has("raw") || w.write_raw(stem, f);
            if (ok && !m.depth()) {
                std::string error;
                ok = convert_to_rgb(cam.index, f, &m.buffer->data, &m.buffer->capacity, &error);
                if (!ok)
                    fail(error);
            }
            if (ok && !(m.depth() ? w.write_depth(stem, f) : w.write_colour(stem, f)))
                ok = false;
            if (!ok && !w.error().empty())
                fail(w.error());
            names = w.take_names();
        } else {
            line.key("timestamp_ns").null().key("offset_ns").null();
        }
        line.key("files").begin_array();
        for (const std::string& n : names)
            line.value(n);
        line.end_array().end_object();
    }
    line.end_array().end_object();
    set_lines_.push_back(line.text());
    (set.complete ? complete_ : incomplete_) += 1;
}

int SyncCapture::loop()
{
    std::vector<int> indices;
    for (const SyncCamera& cam : cameras_)
        indices.push_back(cam.index);
    for (SyncCamera& cam : cameras_) {
        const int status = cam.session->acquisition_start();
        if (status != 0) {
            report_status(camera_text(cam) + ": starting acquisition", status);
            return kExitCamera;
        }
    }
    std::vector<PhotoInfo> frames(members_.size());
    std::vector<VoraSetFrameInfo> info(members_.size());
    const auto start = Clock::now();
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / o_.rate));
    auto next_action = start;
    auto last_set = start;
    // Every action is bounded: enough for the sets asked for with room for
    // the ones lost on the way, never more.
    const unsigned long long max_actions = 4ULL * o_.frames + 16;
    int result = kExitOk;
    while (complete_ < o_.frames && !interrupted() && !failed_) {
        if (any_lost()) {
            lost_ = true;
            result = kExitCamera;
            break;
        }
        const auto now = Clock::now();
        if (now >= next_action && actions_ < max_actions) {
            if (!send_action(indices)) {
                result = kExitCamera;
                break;
            }
            next_action += period;
            if (next_action < now)
                next_action = now + period;  // fell behind: no burst to catch up
        }
        for (size_t i = 0; i < members_.size(); ++i) {
            frames[i] = PhotoInfo{};
            frames[i].pixel = members_[i].buffer->data;
        }
        VoraFrameSetInfo set{};
        const int status = NextFrameSet(set_, frames.data(), info.data(), &set, kPollUs);
        if (status == 0) {
            record_set(frames, info, set);
            if (set.complete)
                last_set = Clock::now();
            continue;
        }
        if (status == VORA_ERR_CAMERA_LOST) {
            any_lost();
            lost_ = true;
            result = kExitCamera;
            break;
        }
        if (status != VORA_ERR_CAPTURE_TIMEOUT) {
            report_status("taking a frame set", status);
            result = kExitCamera;
            break;
        }
        if (std::chrono::duration<double>(Clock::now() - last_set).count() > o_.timeout_s) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", o_.timeout_s);
            report("no complete set for " + std::string(seconds) + " s after " + std::to_string(actions_) +
                   " action command(s) (" + std::to_string(complete_) + " complete, " + std::to_string(incomplete_) +
                   " incomplete sets)");
            result = kExitCamera;
            break;
        }
    }
    if (lost_) {
        // The sets the lost camera leaves behind go out incomplete; take
        // what comes within the set's wait, then stop.
        const auto until = Clock::now() + std::chrono::seconds(2);
        while (Clock::now() < until && !interrupted()) {
            for (size_t i = 0; i < members_.size(); ++i) {
                frames[i] = PhotoInfo{};
                frames[i].pixel = members_[i].buffer->data;
            }
            VoraFrameSetInfo set{};
            const int status = NextFrameSet(set_, frames.data(), info.data(), &set, kPollUs);
            if (status == 0)
                record_set(frames, info, set);
            else if (status != VORA_ERR_CAPTURE_TIMEOUT)
                break;
        }
    }
    elapsed_ = std::chrono::duration<double>(Clock::now() - start).count();
    return result;
}

std::string SyncCapture::summary(const std::string& result, const std::vector<std::string>& files) const
{
    JsonWriter j;
    j.begin_object().key("cameras").begin_array();
    for (const SyncCamera& cam : cameras_) {
        j.begin_object()
            .field("index", cam.index)
            .field("serial", cam.serial)
            .field("lost", cam.lost)
            .key("actions")
            .begin_object()
            .field("acknowledged", cam.acknowledged)
            .field("missed", cam.missed)
            .field("refused", cam.refused)
            .end_object()
            .end_object();
    }
    j.end_array()
        .field("seconds", elapsed_)
        .field("result", result)
        .field("directory", o_.out)
        .field("actions_sent", actions_)
        .field("scheduled", o_.scheduled)
        .field("time_base", o_.ptp ? "camera" : "host")
        .key("sets")
        .begin_object()
        .field("complete", complete_)
        .field("incomplete", incomplete_)
        .field("unmatched_frames", static_cast<unsigned long long>(stats_.unmatched_frames))
        .field("worst_offset_ns", worst_offset_ns_)
        .field("worst_spread_ns", static_cast<long long>(stats_.worst_spread_ns))
        .end_object()
        .key("files")
        .begin_array();
    for (const std::string& f : files)
        j.value(f);
    j.end_array().end_object();
    return j.text();
}

int SyncCapture::run()
{
    int code = open_cameras();
    if (code == kExitOk && o_.ptp)
        code = wait_for_ptp();
    if (code == kExitOk)
        code = open_channels();
    const bool opened = code == kExitOk;
    if (opened)
        code = loop();
    if (set_ >= 0) {
        GetFrameSetStatistics(set_, &stats_);
        CloseFrameSet(set_);
    }
    for (SyncCamera& cam : cameras_) {
        if (cam.lost)
            continue;
        cam.session->acquisition_stop();
        if (cam.opener)
            cam.opener->close();
        // The camera triggers as it did before the run.
        for (auto it = cam.restore.rbegin(); it != cam.restore.rend(); ++it)
            SetFeatureEnum(cam.index, it->first.c_str(), it->second.c_str());
    }
    if (!opened) {
        for (SyncCamera& cam : cameras_)
            cam.lost ? cam.session->close_or_leave(code) : cam.session->close();
        return code;
    }
    std::string lines_error;
    if (!files_.write_lines("sets.jsonl", set_lines_, &lines_error))
        fail(lines_error);
    const std::string result = capture_result(interrupted(), lost_, code != kExitOk || failed_);
    std::vector<std::string> files = files_.written();
    files.push_back(files_.path("summary.json"));
    std::string json = summary(result, files);
    std::string error;
    if (!files_.write_bytes("summary.json", json.data(), json.size(), &error)) {
        fail(error);
        files.pop_back();
        json = summary(result, files);
    }
    if (o_.json) {
        std::fputs(json.c_str(), stdout);
    } else {
        std::printf("%u complete and %u incomplete set(s) of %zu camera(s) in %.1f s; %llu unmatched frame(s); "
                    "worst offset %lld ns\n",
                    complete_, incomplete_, cameras_.size(), elapsed_,
                    static_cast<unsigned long long>(stats_.unmatched_frames), worst_offset_ns_);
        for (const SyncCamera& cam : cameras_)
            std::printf("  %s: actions acknowledged %llu, missed %llu, refused %llu%s\n", camera_text(cam).c_str(),
                        cam.acknowledged, cam.missed, cam.refused, cam.lost ? " (lost)" : "");
        std::printf("files in %s (%zu)\n", o_.out.c_str(), files.size());
    }
    std::fflush(stdout);
    if (interrupted()) {
        report("interrupted");
        code = interrupted_exit_code();
    } else if (code == kExitOk && failed_) {
        code = kExitCamera;
    }
    for (SyncCamera& cam : cameras_)
        cam.lost ? cam.session->close_or_leave(code) : cam.session->close();
    return code;
}

const char* const kSyncStatusHelp = "usage: vora sync-status [-c CAMERA]... [--json]\n"
                                    "For each camera given (-c repeated; default every camera discovered): whether\n"
                                    "its IEEE 1588 (PTP) clock is on and its state (Initializing, Faulty, Disabled,\n"
                                    "Listening, PreMaster, Master, Passive, Uncalibrated, Slave), the offset of its\n"
                                    "clock to this host's (camera ns - host ns, from latching its clock, with the\n"
                                    "uncertainty: half the tightest round trip), and what it can synchronise:\n"
                                    "action commands, scheduled actions, action signals, scheduled-action queue.\n"
                                    "  --json    one JSON document: {\"cameras\": [{index, serial, ptp {supported,\n"
                                    "            enabled, state, state_name}, clock {offset_ns, uncertainty_ns,\n"
                                    "            tick_frequency} or null, actions {action, scheduled, signals,\n"
                                    "            queue_size} or null}]}\n"
                                    "  --wait S  keep discovering for up to S seconds (default 5)\n"
                                    "Exit codes: 0 ok, 1 a camera did not answer, 2 usage error, 3 no camera.\n";

struct SyncStatus {
    int index = -1;
    std::string serial;
    bool capability_read = false;
    VoraSyncCapability can{};
    int enabled = -1;  // -1 unknown
    int state = 0;
    bool clock_read = false;
    long long offset_ns = 0;
    long long uncertainty_ns = 0;
    unsigned long long tick_frequency = 0;
};

SyncStatus read_status(int index, const std::string& serial)
{
    SyncStatus s;
    s.index = index;
    s.serial = serial;
    s.capability_read = GetSyncCapability(index, &s.can) == 0;
    VoraClockMapping m{};
    if (GetClockMapping(index, &m) == 0 && m.tick_frequency > 0) {
        s.clock_read = true;
        // Ticks to nanoseconds without overflowing: whole seconds, then the rest.
        const unsigned long long f = m.tick_frequency;
        const long long camera_ns =
            static_cast<long long>((m.camera_ticks / f) * 1000000000ULL + (m.camera_ticks % f) * 1000000000ULL / f);
        s.offset_ns = camera_ns - m.host_ns;
        s.uncertainty_ns = m.uncertainty_ns;
        s.tick_frequency = f;
        s.enabled = m.ptp_enabled;
        s.state = m.ptp_state >= VORA_PTP_INITIALIZING && m.ptp_state <= VORA_PTP_SLAVE ? m.ptp_state : 0;
    }
    if (s.enabled < 0) {
        const int on = GetTimestamp(index);
        s.enabled = on < 0 ? -1 : on != 0;
    }
    if (s.state == 0) {
        const int state = GetTimestampStatus(index);
        s.state = state >= VORA_PTP_INITIALIZING && state <= VORA_PTP_SLAVE ? state : 0;
    }
    return s;
}

}  // namespace

int cmd_sync_status(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption, kJsonOption});
    if (args.help()) {
        std::fputs(kSyncStatusHelp, stdout);
        return kExitOk;
    }
    if (!args.positional().empty())
        throw UsageError("unexpected argument " + args.positional()[0]);
    CameraSession table;
    std::vector<int> indexes;
    const std::vector<std::string> selectors = args.values("--camera");
    int code = selectors.empty() ? table.discover() : table.find_each(selectors, &indexes);
    if (code != kExitOk)
        return code;
    if (selectors.empty())
        for (int i = 0; i < table.camera_count(); ++i)
            indexes.push_back(i);
    std::vector<SyncStatus> found;
    int result = kExitOk;
    for (int index : indexes) {
        if (interrupted())
            break;
        CameraSession session;
        code = session.connect_index(index);
        if (code != kExitOk) {
            result = code;
            continue;
        }
        found.push_back(read_status(index, session.serial()));
        if (!found.back().clock_read) {
            report("camera " + std::to_string(index) + " (" + session.serial() + "): its clock could not be read");
            result = kExitCamera;
        }
    }
    if (args.has("--json")) {
        JsonWriter j;
        j.begin_object().key("cameras").begin_array();
        for (const SyncStatus& s : found) {
            j.begin_object().field("index", s.index).field("serial", s.serial).key("ptp").begin_object();
            j.key("supported");
            s.capability_read ? j.value(s.can.ptp != 0) : j.null();
            j.key("enabled");
            s.enabled < 0 ? j.null() : j.value(s.enabled != 0);
            j.key("state");
            s.state ? j.value(s.state) : j.null();
            j.key("state_name");
            s.state ? j.value(ptp_state_name(s.state)) : j.null();
            j.end_object().key("clock");
            if (s.clock_read)
                j.begin_object()
                    .field("offset_ns", s.offset_ns)
                    .field("uncertainty_ns", s.uncertainty_ns)
                    .field("tick_frequency", s.tick_frequency)
                    .end_object();
            else
                j.null();
            j.key("actions");
            if (s.capability_read)
                j.begin_object()
                    .field("action", s.can.action != 0)
                    .field("scheduled", s.can.scheduled_action != 0)
                    .field("signals", s.can.action_signals)
                    .field("queue_size", s.can.scheduled_queue_size)
                    .end_object();
            else
                j.null();
            j.end_object();
        }
        j.end_array().end_object();
        std::fputs(j.text().c_str(), stdout);
    } else {
        std::vector<std::vector<std::string>> rows = {
            {"index", "serial", "ptp", "state", "offset to host", "actions", "scheduled", "signals", "queue"}};
        for (const SyncStatus& s : found) {
            char offset[96] = "?";
            if (s.clock_read)
                std::snprintf(offset, sizeof offset, "%+lld ns +- %lld ns", s.offset_ns, s.uncertainty_ns);
            const auto yes = [&](int v) { return s.capability_read ? (v ? "yes" : "no") : "?"; };
            rows.push_back({std::to_string(s.index), s.serial,
                            s.enabled < 0 ? "?"
                            : s.enabled   ? "on"
                                          : "off",
                            s.state ? ptp_state_name(s.state) : "?", offset, yes(s.can.action),
                            yes(s.can.scheduled_action), s.capability_read ? std::to_string(s.can.action_signals) : "?",
                            s.capability_read ? std::to_string(s.can.scheduled_queue_size) : "?"});
        }
        print_table(rows);
    }
    return interrupted() ? interrupted_exit_code() : result;
}

int sync_capture(const Args& args)
{
    const SyncOptions options = parse_sync_options(args);
    if (!prepare_capture_directory(options.out, options.overwrite))
        return kExitCamera;
    SyncCapture capture(options);
    return capture.run();
}

}  // namespace vora_tool
