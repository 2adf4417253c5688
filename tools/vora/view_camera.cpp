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

bool is_region(const std::string& name)
{
    return name == "Width" || name == "Height" || name == "OffsetX" || name == "OffsetY";
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
    features_.reset(new NamedFeatures(cam_));

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
    for (Channel& c : channels_) {
        const int code = opener_.open(c);
        if (code != kExitOk)
            return code;
        // The frames the viewer holds at once: those kept for the pages, the
        // ones drained to reach the newest, those being encoded.
        SetLoanLimit(cam_, c.index, static_cast<unsigned>(FrameStore::kKept + 5));
        long long region[4];
        if (features_->region(c.index, region) == 0 && region[0] >= 0 && region[1] >= 0) {
            c.width = static_cast<uint32_t>(region[0]);
            c.height = static_cast<uint32_t>(region[1]);
        }
        std::lock_guard<std::mutex> lock(state_mutex_);
        sizes_[c.index] = {c.width, c.height};
        formats_[c.index] = c.pixel_format;
    }
    return kExitOk;
}

bool Viewer::ControlDef::region() const
{
    return is_region(name);
}

void Viewer::build_controls()
{
    // What the page offers, where the description has it and lets it be
    // written; types, ranges and entries come from the description.
    auto offered = [&](const std::string& name, Feature* f) {
        return features_->describe(name, f) == 0 && f->writable();
    };
    Feature f;
    auto add = [&](const std::string& name, const std::string& label) {
        if (offered(name, &f))
            controls_.push_back({name, 0, false, label});
    };
    // Exposure per sensor: one control per value of its selector.
    if (offered("ExposureTime", &f)) {
        std::vector<long long> sensors;
        Feature selector;
        if (!f.selectors.empty() && features_->describe(f.selectors.front(), &selector) == 0) {
            if (selector.info.type == VORA_FEATURE_ENUMERATION)
                for (const auto& e : selector.entries)
                    sensors.push_back(e.second);
            else if (selector.info.has_range)
                for (long long s = selector.info.int_min; s <= selector.info.int_max && sensors.size() < 16; ++s)
                    sensors.push_back(s);
        }
        std::map<long long, std::string> seen_by;
        for (const Channel& c : channels_) {
            long long sensor = -1;
            if (features_->channel_sensor(c.index, &sensor) == 0)
                seen_by[sensor] = c.pixel_format == PIXEL_FORMAT_COORD3D_ABC16 ? "depth" : "colour";
        }
        if (sensors.empty())
            controls_.push_back({"ExposureTime", 0, false, "exposure time"});
        for (long long s : sensors)
            if (s >= 0 && s <= INT_MAX)
                controls_.push_back(
                    {"ExposureTime", static_cast<int>(s), true,
                     "exposure time, sensor " + std::to_string(s) + (seen_by.count(s) ? " (" + seen_by[s] + ")" : "")});
    }
    add("analoggain", "analog gain, depth sensors");
    add("digitalgain", "digital gain, depth sensors");
    add("analoggain_rgb", "analog gain, colour sensor");
    add("digitalgain_rgb", "digital gain, colour sensor");
    add("TriggerMode", "trigger mode, depth sensors");
    add("TriggerSoftware", "software trigger, depth sensors");
    add("RGBTriggerMode", "trigger mode, colour sensor");
    add("RGBTriggerSoftware", "software trigger, colour sensor");
    add("Laserbrightness", "laser brightness");
    for (const Channel& c : channels_)
        for (const char* name : {"Width", "Height", "OffsetX", "OffsetY"})
            if (offered(name, &f))
                controls_.push_back(
                    {name, c.index, true, std::string("region of channel ") + std::to_string(c.index) + ": " + name});
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
        auto next = std::make_shared<Frame>();
        LentFrame lent;
        int status = lent.borrow(cam_, c.index, got ? 0 : kPollUs);
        if (status == 0 && lent.info().pixel_format == PIXEL_FORMAT_COORD3D_ABC16) {
            next->info = lent.info();
            next->lent = std::move(lent);
        } else if (status == 0 || status == VORA_ERR_LOAN_LIMIT) {
            // Colour frames are converted in place, in a buffer of their own;
            // at the loan limit the frame is copied as the library hands it.
            if (!next->allocate(c.payload)) {
                report("out of memory for frames of channel " + std::to_string(c.index));
                break;
            }
            if (status == 0) {
                PhotoInfo info = lent.info();
                std::memcpy(next->data, info.pixel, std::min<size_t>(info.payload_size, next->capacity));
                info.pixel = next->data;
                next->info = info;
                lent.reset();
            } else {
                status =
                    got ? TryCapture(cam_, c.index, &next->info) : TimeoutCapture(cam_, c.index, &next->info, kPollUs);
            }
        }
        if (status != 0) {
            if (status != VORA_ERR_CAPTURE_TIMEOUT)
                report_status("capturing from channel " + std::to_string(c.index), status);
            break;
        }
        got = std::move(next);  // the frame it replaces, if any, goes back
    }
    if (!got)
        return;
    got->channel = c.index;
    got->seq = frames_.next_seq(c.index);
    got->generation = generation_;
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
        ++generation_;
        frames_.clear();  // lent frames go back before their channels close
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
        if (c.name == name && c.index == index)
            return &c;
    return nullptr;
}

int Viewer::describe(const ControlDef& control, Feature* f)
{
    if (control.region()) {
        // Reading the region leaves the selectors at the channel's sensor,
        // so that the bounds described are that sensor's.
        long long region[4];
        const int status = features_->region(control.index, region);
        if (status != 0)
            return status;
        return features_->describe(control.name, f);
    }
    if (!control.selected)
        return features_->describe(control.name, f);
    int status = features_->describe(control.name, f);
    if (status == 0)
        status = features_->select(*f, control.index);
    return status != 0 ? status : features_->describe(control.name, f);
}

int Viewer::read(const ControlDef& control, const Feature& f, FeatureValue* v)
{
    if (!control.region())
        return features_->read(f, v);
    long long region[4];
    const int status = features_->region(control.index, region);
    *v = FeatureValue();
    v->type = VORA_FEATURE_INTEGER;
    v->integer = region[control.name == "Width" ? 0 : control.name == "Height" ? 1 : control.name == "OffsetX" ? 2 : 3];
    return status;
}

Reply Viewer::controls()
{
    return on_camera_thread([this] {
        JsonWriter j(false);
        j.begin_object().key("controls").begin_array();
        for (const ControlDef& c : controls_) {
            Feature f;
            if (describe(c, &f) != 0)
                continue;  // gone for now (not available): not offered
            const bool integer = f.info.type == VORA_FEATURE_INTEGER, real = f.info.type == VORA_FEATURE_FLOAT;
            const bool bounded = f.info.has_range && (integer || real);
            j.begin_object()
                .field("name", c.name)
                .field("index", c.index)
                .field("label", c.label)
                .field("type", f.type())
                .field("unit", std::string(f.info.unit));
            j.key("min");
            !bounded ? j.null() : integer ? j.value(f.info.int_min) : j.value(f.info.float_min);
            j.key("max");
            !bounded ? j.null() : integer ? j.value(f.info.int_max) : j.value(f.info.float_max);
            j.key("inc");
            integer&& bounded ? j.value(f.info.int_inc) : real&& f.info.has_inc ? j.value(f.info.float_inc) : j.null();
            j.key("entries").begin_array();
            for (const auto& e : f.entries)
                j.begin_object().field("name", e.first).field("value", e.second).end_object();
            j.end_array();
            FeatureValue value;
            j.key("value");
            if (f.readable() && read(c, f, &value) == 0)
                value.to_json(j);
            else
                j.null();
            j.field("access", f.access()).field("display_name", std::string(f.info.display_name));
            j.end_object();
        }
        j.end_array().end_object();
        return Reply{200, j.text()};
    });
}

Reply Viewer::set(const std::string& name, int index, const std::string& value)
{
    const ControlDef* control = find_control(name, index);
    if (!control)
        return {400, error_json("no control " + name + "[" + std::to_string(index) + "] on this page")};
    return on_camera_thread([this, control, value] { return apply(*control, value); });
}

Reply Viewer::apply(const ControlDef& control, const std::string& text)
{
    JsonWriter j(false);
    Feature f;
    int status = describe(control, &f);
    FeatureValue value;
    std::string range;
    if (status == 0) {
        const std::string bad = NamedFeatures::parse(f, text, &value);
        if (!bad.empty())
            return {400, error_json(control.id() + ": " + bad)};
        range = outside_bounds(f, value);
        if (f.info.type == VORA_FEATURE_COMMAND) {
            NamedFeatures::CommandState state;
            status = features_->execute(control.name, &state);
        } else if (control.region()) {
            status = reopen_around([&] { return features_->set_region(control.index, control.name, value.integer); });
        } else {
            status = features_->write(f, value);
        }
    }
    if (status != 0) {
        // A request carried out, whose value the camera or library refused:
        // not an error of the request (a page's browser would log it as one).
        const std::string& message = features_->message();
        return {200, j.begin_object()
                         .field("refused", control.id() + "=" + text + " refused: " + status_text(status) +
                                               (message.empty() ? "" : ": " + message))
                         .field("status", status)
                         .field("range", range)
                         .end_object()
                         .text()};
    }
    j.begin_object().field("name", control.name).field("index", control.index).key("value");
    FeatureValue now;
    if (f.readable() && read(control, f, &now) == 0)
        now.to_json(j);
    else
        j.null();
    return {200, j.end_object().text()};
}

int Viewer::reopen_around(const std::function<int()>& change)
{
    // The frames' size changes with the region: the streams take it up
    // only when they open. No page reads a frame meanwhile, and the lent
    // ones go back before their channels close.
    std::unique_lock<std::shared_mutex> lock(gate_);
    ++generation_;
    frames_.clear();
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
        for (const auto& f : frames)
            ok = ok && current(*f);
        if (!ok) {
            reply = {409, error_json("the streams were reopened since: save again")};
            return;
        }
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
