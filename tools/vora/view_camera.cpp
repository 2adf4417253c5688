// The camera side of `vora view`.
#include "view_camera.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "depth_colours.h"
#include "frame_writer.h"
#include "json.h"
#include "output_files.h"
#include "summary.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {
namespace view {

namespace {

using Clock = std::chrono::steady_clock;

constexpr long long kPollUs = 10000;  // one wait per channel and round
constexpr size_t kDrainedAtOnce = 8;  // frames taken at once to reach the newest
constexpr size_t kSamples = 60;       // a minute of statistics, one a second
constexpr auto kJobDeadline = std::chrono::seconds(20);
// What the save button writes: the capture command's writers.
const std::set<std::string> kSaveFormats = {"pcd", "plybin", "png", "bmp"};

std::string text_of(long long value)
{
    return std::to_string(value);
}

}  // namespace

std::string error_json(const std::string& message)
{
    JsonWriter j(false);
    return j.begin_object().field("error", message).end_object().text();
}

int Viewer::open(const std::vector<unsigned short>& wanted_channels)
{
    cam_ = s_.index();
    std::string error;
    described_ = description_.load(cam_, &error);
    if (!described_)
        report("warning: " + error + "; the controls show no ranges");

    int code = opener_.choose(wanted_channels);
    if (code == kExitOk)
        code = opener_.read_formats();
    if (code != kExitOk)
        return code;
    for (const StreamChannel& chosen : opener_.chosen())
        channels_.emplace_back(chosen);
    code = open_channels();
    if (code != kExitOk)
        return code;
    build_controls();
    const int status = s_.acquisition_start();
    if (status != 0) {
        report_status("starting acquisition", status);
        return kExitCamera;
    }
    std::unique_lock<std::shared_mutex> lock(gate_);
    open_ = true;
    return kExitOk;
}

int Viewer::open_channels()
{
    const Features features(s_);
    for (Channel& c : channels_) {
        const int code = opener_.open(c);
        if (code != kExitOk)
            return code;
        c.spare.reset();
        std::string width, height;
        if (features.get({"Width", c.index, true}, &width) == 0 &&
            features.get({"Height", c.index, true}, &height) == 0) {
            c.width = static_cast<uint32_t>(std::strtoul(width.c_str(), nullptr, 10));
            c.height = static_cast<uint32_t>(std::strtoul(height.c_str(), nullptr, 10));
        }
        std::lock_guard<std::mutex> lock(state_mutex_);
        sizes_[c.index] = {c.width, c.height};
        formats_[c.index] = c.pixel_format;
    }
    return kExitOk;
}

void Viewer::build_controls()
{
    if (!described_)
        return;
    int sensors = 0;
    if (s_.read_feature("TotalNumberOfCmos", 0, &sensors) != 0 || sensors < 1 || sensors > 16)
        sensors = 1;
    auto add = [&](const std::string& name, int index, bool indexed, const std::string& label) {
        const FeatureInfo* info = description_.find(name);
        if (info)
            controls_.push_back({FeatureRef{name, index, indexed}, label, info});
    };
    for (int s = 0; s < sensors; ++s) {
        std::string seen_by;
        for (const Channel& c : channels_) {
            int sensor = -1;
            if (s_.read_feature("CmosIndex", c.index * STREAM_CHANNEL_REG_STRIDE, &sensor) == 0 && sensor == s)
                seen_by = c.pixel_format == PIXEL_FORMAT_COORD3D_ABC16 ? "depth" : "colour";
        }
        add("ExposureTime", s, true,
            "exposure time, sensor " + std::to_string(s) + (seen_by.empty() ? "" : " (" + seen_by + ")"));
    }
    add("analoggain", 0, false, "analog gain, depth sensors");
    add("digitalgain", 0, false, "digital gain, depth sensors");
    add("analoggain_rgb", 0, false, "analog gain, colour sensor");
    add("digitalgain_rgb", 0, false, "digital gain, colour sensor");
    add("TriggerMode", 0, false, "trigger mode, depth sensors");
    add("TriggerSoftware", 0, false, "software trigger, depth sensors");
    add("RGBTriggerMode", 0, false, "trigger mode, colour sensor");
    add("RGBTriggerSoftware", 0, false, "software trigger, colour sensor");
    add("Laserbrightness", 0, false, "laser brightness");
    for (const Channel& c : channels_)
        for (const char* name : {"Width", "Height", "OffsetX", "OffsetY"})
            add(name, c.index, true, std::string("region of channel ") + std::to_string(c.index) + ": " + name);
}

bool Viewer::with_camera(const std::function<void()>& use)
{
    std::shared_lock<std::shared_mutex> lock(gate_);
    if (!open_)
        return false;
    use();
    return true;
}

bool Viewer::has_channel(unsigned short channel) const
{
    std::lock_guard<std::mutex> lock(state_mutex_);
    return formats_.count(channel) != 0;
}

int Viewer::colour_channel() const
{
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (const auto& f : formats_)
        if (f.second != PIXEL_FORMAT_COORD3D_ABC16)
            return f.first;
    return -1;
}

void Viewer::capture(Channel& c)
{
    // The newest of what is waiting: a page shows the present, not a backlog.
    std::shared_ptr<Frame> got;
    for (size_t k = 0; k < kDrainedAtOnce; ++k) {
        if (!c.spare) {
            c.spare = std::make_shared<Frame>();
            if (!c.spare->allocate(c.payload)) {
                report("out of memory for frames of channel " + std::to_string(c.index));
                c.spare.reset();
                break;
            }
        }
        PhotoInfo info{};
        info.pixel = c.spare->data;
        const int status = got ? TryCapture(cam_, c.index, &info) : TimeoutCapture(cam_, c.index, &info, kPollUs);
        if (status != 0) {
            if (status != VORA_ERR_CAPTURE_TIMEOUT)
                report_status("capturing from channel " + std::to_string(c.index), status);
            break;
        }
        c.spare->info = info;
        got.swap(c.spare);  // the frame it replaces, if any, takes the next capture
    }
    if (!got)
        return;
    got->channel = c.index;
    got->seq = frames_.next_seq(c.index);
    if (!got->depth()) {
        std::string error;
        if (!convert_to_rgb(cam_, got->info, &got->data, &got->capacity, &error)) {
            report(error);
            return;
        }
    }
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        sizes_[c.index] = {got->info.pixel_width, got->info.pixel_height};
    }
    frames_.publish(std::move(got));
}

int Viewer::run()
{
    const Clock::time_point start = Clock::now();
    Clock::time_point next_sample = start + std::chrono::seconds(1);
    while (!interrupted() && !failed_) {
        if (s_.lost()) {
            report("camera " + std::to_string(cam_) + " (" + s_.serial() +
                   ") was lost: it no longer answers its heartbeat");
            failed_ = true;
            break;
        }
        for (Channel& c : channels_)
            capture(c);
        run_queued();
        const Clock::time_point now = Clock::now();
        if (now >= next_sample) {
            sample_statistics(std::chrono::duration<double>(now - start).count());
            next_sample = std::max(next_sample + std::chrono::seconds(1), now);
        }
    }
    return interrupted() ? interrupted_exit_code() : failed_ ? kExitCamera : kExitOk;
}

void Viewer::close()
{
    {
        std::lock_guard<std::mutex> lock(jobs_mutex_);
        jobs_closed_ = true;
        for (auto& job : jobs_) {
            job->reply = {503, error_json("the viewer is stopping")};
            job->done = true;
        }
        jobs_.clear();
    }
    jobs_done_.notify_all();
    {
        std::unique_lock<std::shared_mutex> lock(gate_);
        open_ = false;
        if (s_.lost())
            s_.close_or_leave(kExitCamera);
        else
            s_.close();
    }
    frames_.stop();
    {
        std::lock_guard<std::mutex> lock(state_mutex_);
        stopped_ = true;
    }
    state_changed_.notify_all();
}

Reply Viewer::on_camera_thread(const std::function<Reply()>& work)
{
    auto job = std::make_shared<Job>();
    job->work = work;
    std::unique_lock<std::mutex> lock(jobs_mutex_);
    if (jobs_closed_)
        return {503, error_json("the viewer is stopping")};
    jobs_.push_back(job);
    if (!jobs_done_.wait_for(lock, kJobDeadline, [&] { return job->done; }))
        return {503, error_json("the camera did not answer in time")};
    return job->reply;
}

void Viewer::run_queued()
{
    for (;;) {
        std::shared_ptr<Job> job;
        {
            std::lock_guard<std::mutex> lock(jobs_mutex_);
            if (jobs_.empty())
                return;
            job = jobs_.front();
            jobs_.pop_front();
        }
        Reply reply = job->work();
        {
            std::lock_guard<std::mutex> lock(jobs_mutex_);
            job->reply = std::move(reply);
            job->done = true;
        }
        jobs_done_.notify_all();
    }
}

void Viewer::sample_statistics(double seconds)
{
    JsonWriter j(false);
    std::lock_guard<std::mutex> lock(state_mutex_);
    const uint32_t seq = ++sample_seq_;
    j.begin_object().field("seq", seq).field("seconds", seconds).key("channels").begin_array();
    for (const Channel& c : channels_) {
        ChannelSummary summary;
        summary.channel = c.index;
        summary.pixel_format = c.pixel_format;
        summary.width = sizes_[c.index].first;
        summary.height = sizes_[c.index].second;
        summary.captured = frames_.last_seq(c.index);
        collect_statistics(cam_, &summary);
        channel_json(j, summary, seconds);
    }
    j.end_array().end_object();
    std::string json = j.text();
    json.pop_back();  // an element of the list below
    samples_.push_back({seq, std::move(json)});
    while (samples_.size() > kSamples)
        samples_.pop_front();
    state_changed_.notify_all();
}

std::string Viewer::statistics(uint32_t after, Clock::time_point deadline)
{
    std::unique_lock<std::mutex> lock(state_mutex_);
    state_changed_.wait_until(lock, deadline, [&] { return stopped_ || sample_seq_ > after; });
    if (stopped_)
        return "";
    std::string out = "{\"samples\": [";
    for (size_t i = 0; i < samples_.size(); ++i)
        out += (i ? ", " : "") + samples_[i].json;
    return out + "]}\n";
}

std::string Viewer::info_json() const
{
    JsonWriter j(false);
    j.begin_object();
    j.key("camera").begin_object().field("index", cam_).field("serial", s_.serial()).end_object();
    j.field("output_folder", out_dir_);
    j.key("channels").begin_array();
    std::lock_guard<std::mutex> lock(state_mutex_);
    for (const auto& f : formats_) {
        const auto size = sizes_.count(f.first) ? sizes_.at(f.first) : std::make_pair(0u, 0u);
        const bool depth = f.second == PIXEL_FORMAT_COORD3D_ABC16;
        j.begin_object()
            .field("channel", f.first)
            .field("kind", depth ? "depth" : "colour")
            .field("pixel_format", pixel_format_name(f.second))
            .field("width", size.first)
            .field("height", size.second)
            .field("default_step", default_step(size.first, size.second))
            .end_object();
    }
    j.end_array().end_object();
    return j.text();
}

std::string Viewer::colour_map_json()
{
    constexpr int kStops = 33;
    JsonWriter j(false);
    j.begin_object().key("stops").begin_array();
    for (int i = 0; i < kStops; ++i) {
        uint8_t rgb[3];
        depth_colour(static_cast<double>(i) / (kStops - 1), rgb);
        j.begin_array().value(rgb[0]).value(rgb[1]).value(rgb[2]).end_array();
    }
    j.end_array().end_object();
    return j.text();
}

const Viewer::ControlDef* Viewer::find_control(const std::string& name, int index) const
{
    for (const ControlDef& c : controls_)
        if (c.ref.name == name && c.ref.idx == index)
            return &c;
    return nullptr;
}

Reply Viewer::controls()
{
    return on_camera_thread([this] {
        const Features features(s_, &description_);
        JsonWriter j(false);
        j.begin_object().key("controls").begin_array();
        for (const ControlDef& c : controls_) {
            const FeatureInfo& info = *c.info;
            const Bounds b = bounds_of(cam_, c.ref.name, info);
            j.begin_object()
                .field("name", c.ref.name)
                .field("index", c.ref.idx)
                .field("label", c.label)
                .field("type", info.type)
                .field("unit", info.unit);
            for (const auto& bound :
                 {std::make_pair("min", &b.min), std::make_pair("max", &b.max), std::make_pair("inc", &b.inc)}) {
                j.key(bound.first);
                bound.second->ok() ? j.value(bound.second->value) : j.null();
            }
            j.key("entries").begin_array();
            for (const auto& e : info.entries)
                j.begin_object().field("name", e.first).field("value", e.second).end_object();
            j.end_array();
            std::string value;
            j.key("value");
            if (info.type != "command" && info.readable() && features.get(c.ref, &value) == 0)
                j.value(std::strtoll(value.c_str(), nullptr, 10));
            else
                j.null();
            j.end_object();
        }
        j.end_array().end_object();
        return Reply{200, j.text()};
    });
}

Reply Viewer::set(const std::string& name, int index, long long value)
{
    const ControlDef* control = find_control(name, index);
    if (!control)
        return {400, error_json("no control " + name + "[" + std::to_string(index) + "] on this page")};
    return on_camera_thread([this, control, value] { return apply(*control, value); });
}

Reply Viewer::apply(const ControlDef& control, long long value)
{
    const Features features(s_, &description_);
    const int status = is_region(control.ref.name) ? reopen_around([&] { return features.set(control.ref, value); })
                                                   : features.set(control.ref, value);
    JsonWriter j(false);
    if (status != 0) {
        const Bounds b = bounds_of(cam_, control.ref.name, *control.info);
        const std::string why = out_of_range(*control.info, b, value);
        // A request carried out, whose value the camera refused: not an
        // error of the request (a page's browser would log it as one).
        return {200,
                j.begin_object()
                    .field("refused", control.ref.label() + "=" + text_of(value) + " refused: " + status_text(status))
                    .field("status", status)
                    .field("range", why)
                    .end_object()
                    .text()};
    }
    j.begin_object().field("name", control.ref.name).field("index", control.ref.idx).key("value");
    std::string now;
    if (control.info->type != "command" && Features::readable(control.ref.name) && features.get(control.ref, &now) == 0)
        j.value(std::strtoll(now.c_str(), nullptr, 10));
    else
        j.null();
    return {200, j.end_object().text()};
}

int Viewer::reopen_around(const std::function<int()>& change)
{
    // The frames' size changes with the region: the streams take it up
    // only when they open.
    s_.acquisition_stop();
    opener_.close();
    const int status = change();
    if (open_channels() != kExitOk || s_.acquisition_start() != 0) {
        report("cannot restart the streams after changing the region");
        failed_ = true;
    }
    return status;
}

Reply Viewer::save(const std::map<unsigned short, uint32_t>& seqs, int fuse_channel)
{
    std::vector<std::shared_ptr<const Frame>> frames;
    std::string note;
    for (const auto& s : seqs) {
        std::shared_ptr<const Frame> f = frames_.find(s.first, s.second);
        if (!f) {
            // A page far behind the camera: what it shows is gone.
            f = frames_.latest(s.first);
            if (!f)
                return {400, error_json("channel " + std::to_string(s.first) + " has no frame")};
            note += (note.empty() ? "" : "; ") + std::string("frame ") + std::to_string(s.second) + " of channel " +
                    std::to_string(s.first) + " was no longer held: saved frame " + std::to_string(f->seq) +
                    ", the newest";
        }
        frames.push_back(std::move(f));
    }
    if (frames.empty())
        return {400, error_json("no frame to save")};
    std::shared_ptr<const Frame> cloud, image;
    if (fuse_channel >= 0) {
        for (const auto& f : frames) {
            if (f->channel == fuse_channel && f->depth())
                cloud = f;
            if (!f->depth() && !image)
                image = f;
        }
        if (!cloud || !image)
            return {400, error_json("fusing needs the depth frame of channel " + std::to_string(fuse_channel) +
                                    " and a colour frame")};
    }

    std::lock_guard<std::mutex> serial(save_mutex_);
    if (!make_directory(out_dir_))
        return {500, error_json("cannot create " + out_dir_ + ": " + errno_text(errno))};
    // A new folder per press: nothing saved earlier is touched.
    std::string folder;
    for (int n = 1; n < 100000 && folder.empty(); ++n) {
        char name[32];
        std::snprintf(name, sizeof name, "/save_%04d", n);
        if (mkdir((out_dir_ + name).c_str(), 0777) == 0)
            folder = out_dir_ + name;
        else if (errno != EEXIST)
            return {500, error_json("cannot create a folder in " + out_dir_ + ": " + errno_text(errno))};
    }
    if (folder.empty())
        return {500, error_json(out_dir_ + " holds too many saves")};
    char* absolute = realpath(folder.c_str(), nullptr);
    if (absolute) {
        folder = absolute;
        std::free(absolute);
    }

    Reply reply;
    const bool open = with_camera([&] {
        OutputFiles files(folder, false);
        FrameWriter writer(cam_, files, kSaveFormats);
        bool ok = true;
        for (const auto& f : frames) {
            char stem[32];
            std::snprintf(stem, sizeof stem, "ch%u_%04u", f->channel, f->seq);
            PhotoInfo info = f->info;  // the writers only read it
            ok = ok && (f->depth() ? writer.write_depth(stem, info) : writer.write_colour(stem, info));
        }
        if (ok && cloud) {
            PhotoInfo c = cloud->info, i = image->info;
            ok = writer.write_fused("fused_ch" + std::to_string(cloud->channel), i, c);
        }
        JsonWriter j(false);
        j.begin_object().field("folder", folder);
        if (!ok)
            j.field("error", writer.error());
        if (!note.empty())
            j.field("note", note);
        j.key("files").begin_array();
        for (const std::string& name : writer.take_names())
            j.value(name);
        j.end_array().end_object();
        reply = {ok ? 200 : 500, j.text()};
    });
    if (!open)
        return {503, error_json("the viewer is stopping")};
    return reply;
}

}  // namespace view
}  // namespace vora_tool
