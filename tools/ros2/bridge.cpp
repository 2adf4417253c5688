// Cameras to ROS 2 topics. One capturing thread per stream channel takes
// frames from the library and leaves the newest in the channel's slot; one
// publisher thread per camera converts and writes them, so that cameras do
// not wait for each other; the main thread watches the cameras, prints the
// status and decides when to stop.
#include "bridge.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bridge_state.h"
#include "channels.h"
#include "common.h"
#include "dds_node.h"
#include "messages.h"
#include "ros2_interfaces.h"
#include "ros_names.h"
#include "session.h"
#include "stamp.h"
#include "trace.h"
#include "vora_qelcamera_api.h"

namespace vora_ros2 {

namespace {

using Clock = std::chrono::steady_clock;
using vora_tool::kExitCamera;
using vora_tool::kExitOk;
using vora_tool::kExitUsage;
using vora_tool::report;
using vora_tool::report_status;

constexpr long long kCaptureWaitUs = 100000;  // one wait of a capturing thread
constexpr auto kLoopPause = std::chrono::milliseconds(20);

class Bridge {
public:
    Bridge(const BridgeOptions& options, int domain) : o_(options), domain_(domain) {}
    ~Bridge() { shutdown(); }
    Bridge(const Bridge&) = delete;
    Bridge& operator=(const Bridge&) = delete;

    int run();

private:
    int open_cameras();
    int open_channels(Camera& cam);
    void latch_clock(Camera& cam);
    int make_topics();
    Topic* add_topic(const dds_topic_descriptor_t* type, const std::string& name);
    bool publish_transforms();
    int start();
    void capture_loop(Camera& cam, Channel& ch);
    void publisher_loop(Camera& cam);
    void stop_publishers();
    void publish(Camera& cam, Channel& ch);
    RosTime stamp_of(const Camera& cam, const Frame& frame) const;
    bool watch();
    bool enough_frames() const;
    void print_status();
    void stop_camera(Camera& cam);
    void shutdown();

    const BridgeOptions& o_;
    int domain_;
    vora_tool::CameraSession table_;  // owns the camera table
    std::vector<std::unique_ptr<Camera>> cameras_;
    DdsNode node_;
    Trace trace_;
    std::deque<Topic> topics_;  // every topic, in status order
    Topic* tf_static_ = nullptr;
    bool any_lost_ = false;
    bool shut_ = false;
};

int Bridge::open_cameras()
{
    std::vector<int> indexes;
    if (o_.cameras.empty()) {
        const int code = table_.discover();
        if (code != kExitOk)
            return code;
        indexes.push_back(0);
    } else {
        const int code = table_.find_each(o_.cameras, &indexes);
        if (code != kExitOk)
            return code;
    }
    std::set<std::string> names;
    for (size_t i = 0; i < indexes.size(); ++i) {
        auto cam = std::make_unique<Camera>();
        cam->index = indexes[i];
        const int code = cam->session.connect_index(cam->index);
        cam->serial = cam->session.serial();
        if (code != kExitOk) {
            int holder = 0;
            if (GetCameraCCPStatus(cam->index, &holder) == 0 && holder != 0)
                report("camera " + cam->serial +
                       ": control is held elsewhere (another application or bridge has "
                       "it); it cannot be published twice");
            cameras_.push_back(std::move(cam));
            return kExitCamera;
        }
        if (!o_.names.empty())
            cam->name = o_.names[i];
        else
            cam->name = indexes.size() == 1 ? "camera" : camera_name_for_serial(cam->serial);
        if (!names.insert(cam->name).second) {
            report("two cameras would be named \"" + cam->name + "\"; give each a name with --name");
            cameras_.push_back(std::move(cam));
            return kExitUsage;
        }
        const std::string problem = token_problem(cam->name);
        if (!problem.empty()) {
            report("camera name \"" + cam->name + "\" " + problem + "; give one with --name");
            cameras_.push_back(std::move(cam));
            return kExitUsage;
        }
        cameras_.push_back(std::move(cam));
        const int opened = open_channels(*cameras_.back());
        if (opened != kExitOk)
            return opened;
        latch_clock(*cameras_.back());
    }
    return kExitOk;
}

int Bridge::open_channels(Camera& cam)
{
    // Roles come from every channel the camera has, whichever are published.
    vora_tool::ChannelOpener all(cam.session);
    int code = all.choose({});
    if (code == kExitOk)
        code = all.read_formats();
    if (code != kExitOk)
        return code;
    std::vector<unsigned> formats;
    for (const vora_tool::StreamChannel& c : all.chosen())
        formats.push_back(c.pixel_format);

    vora_tool::ChannelOpener opener(cam.session);
    code = opener.choose(o_.channels);
    if (code != kExitOk)
        return code;
    for (const vora_tool::StreamChannel& chosen : opener.chosen()) {
        Channel& ch = cam.channels.emplace_back(&cam.doorbell);
        ch.stream = chosen;
        ch.stream.pixel_format = all.chosen()[chosen.index].pixel_format;
        ch.depth = formats[chosen.index] == PIXEL_FORMAT_COORD3D_ABC16;
        ch.role = channel_role(formats, chosen.index);
    }
    if (o_.registered && (!cam.channel_of("depth") || !cam.channel_of("color"))) {
        report("--registered needs the camera's first depth channel and its colour channel among --channels");
        return kExitUsage;
    }
    for (Channel& ch : cam.channels) {
        int sensor = -1;
        const int status = cam.session.read_feature("CmosIndex", ch.stream.index * STREAM_CHANNEL_REG_STRIDE, &sensor);
        if (status == 0 && sensor >= 0) {
            ch.sensor = sensor;
            CameraParameter& p = ch.calibration;
            ch.calibrated = GetCamInternelParameter(cam.index, sensor, p.Kc, p.K) == 0 &&
                            GetCamExternelParameter(cam.index, sensor, p.R, p.T) == 0;
        }
        if (!ch.calibrated)
            report("warning: camera " + cam.serial + " channel " + std::to_string(ch.stream.index) +
                   ": no calibration of its sensor; its camera_info and transform are not published");
        code = opener.open(ch.stream, o_.resend);
        if (code != kExitOk)
            return code;
        ch.completeness.look(cam.index, ch.stream.index);
    }
    return kExitOk;
}

void Bridge::latch_clock(Camera& cam)
{
    const unsigned long long frequency = GetTimestampTickFrequency(cam.index);
    // The library widens its negative codes to 64 bits: such a value is no
    // frequency, and neither is 0 or one beyond any real counter.
    if (frequency == 0 || frequency > 1000000000000ull)
        return;
    const int64_t before = realtime_ns();
    if (SetTimestampControlLatch(cam.index) != 0)
        return;
    const unsigned long long ticks = GetTimestampValue(cam.index);
    const int64_t after = realtime_ns();
    if (static_cast<long long>(ticks) < 0 && static_cast<long long>(ticks) > -0x10000)
        return;  // a status, not a count
    cam.clock.host0_ns = before + (after - before) / 2;
    cam.clock.camera0 = ticks;
    cam.clock.frequency = frequency;
}

Topic* Bridge::add_topic(const dds_topic_descriptor_t* type, const std::string& name)
{
    Topic& t = topics_.emplace_back();
    t.name = name;
    t.writer = node_.writer(type, dds_topic_name(name), o_.sensor_data_qos ? TopicQos::SensorData : TopicQos::Reliable);
    t.reliable = !o_.sensor_data_qos;
    if (t.writer < 0) {
        report("cannot create the DDS writer of " + name + ": " + dds_strretcode(t.writer));
        return nullptr;
    }
    return &t;
}

int Bridge::make_topics()
{
    std::string error;
    for (auto& camera : cameras_) {
        Camera& cam = *camera;
        for (Channel& ch : cam.channels) {
            const auto make = [&](const dds_topic_descriptor_t* type, const char* leaf, Topic** out) {
                *out = add_topic(type, topic_name(o_.ros_namespace, cam.name, ch.role, leaf));
                return *out != nullptr;
            };
            bool ok = true;
            if (ch.depth)
                ok = make(&sensor_msgs_msg_dds__PointCloud2__desc, "points", &ch.points);
            ok = ok && make(&sensor_msgs_msg_dds__Image__desc, "image_raw", &ch.image);
            if (ch.calibrated)
                ok = ok && make(&sensor_msgs_msg_dds__CameraInfo__desc, "camera_info", &ch.info);
            if (!ok)
                return kExitCamera;
        }
        if (o_.registered) {
            cam.registered = add_topic(&sensor_msgs_msg_dds__PointCloud2__desc,
                                       topic_name(o_.ros_namespace, cam.name, "depth_registered", "points"));
            if (!cam.registered)
                return kExitCamera;
        }
    }
    // Transforms: one writer for the process, latched for late joiners.
    Topic& tf = topics_.emplace_back();
    tf.name = "/tf_static";
    tf.writer = node_.writer(&tf2_msgs_msg_dds__TFMessage__desc, dds_topic_name(tf.name), TopicQos::Latched);
    if (tf.writer < 0) {
        report(std::string("cannot create the DDS writer of /tf_static: ") + dds_strretcode(tf.writer));
        return kExitCamera;
    }
    tf_static_ = &tf;
    if (!node_.announce(o_.node, o_.ros_namespace, &error)) {
        report(error);
        return kExitCamera;
    }
    return kExitOk;
}

bool Bridge::publish_transforms()
{
    std::vector<geometry_msgs_msg_dds__TransformStamped_> transforms;
    std::deque<std::string> names;  // the samples point into these
    const RosTime now = ros_time(realtime_ns());
    for (auto& camera : cameras_) {
        for (Channel& ch : camera->channels) {
            if (!ch.calibrated)
                continue;
            double translation[3], rotation[4];
            if (GetRosSensorPose(&ch.calibration, translation, rotation) != 0) {
                report("warning: camera " + camera->serial + " channel " + std::to_string(ch.stream.index) +
                       ": its sensor's extrinsics are no rotation; no transform published for it");
                continue;
            }
            geometry_msgs_msg_dds__TransformStamped_ t{};
            t.header.stamp.sec = now.sec;
            t.header.stamp.nanosec = now.nanosec;
            t.header.frame_id = names.emplace_back(body_frame(camera->name)).data();
            t.child_frame_id = names.emplace_back(optical_frame(camera->name, ch.role)).data();
            t.transform.translation.x = translation[0];
            t.transform.translation.y = translation[1];
            t.transform.translation.z = translation[2];
            t.transform.rotation.x = rotation[0];
            t.transform.rotation.y = rotation[1];
            t.transform.rotation.z = rotation[2];
            t.transform.rotation.w = rotation[3];
            transforms.push_back(t);
        }
    }
    tf2_msgs_msg_dds__TFMessage_ message{};
    message.transforms._length = message.transforms._maximum = static_cast<uint32_t>(transforms.size());
    message.transforms._buffer = transforms.data();
    message.transforms._release = false;
    return write(*tf_static_, &message);
}

RosTime Bridge::stamp_of(const Camera& cam, const Frame& frame) const
{
    if (!cam.clock.usable())
        return ros_time(frame.handed_over_ns);
    const uint64_t ticks = frame.info.timestamp_high << 32 | (frame.info.timestamp_low & 0xFFFFFFFFu);
    return ros_time(host_time_ns(cam.clock, ticks));
}

int Bridge::start()
{
    for (auto& camera : cameras_) {
        Camera& cam = *camera;
        const int status = cam.session.acquisition_start();
        if (status != 0) {
            report_status("camera " + cam.serial + ": starting acquisition", status);
            return kExitCamera;
        }
        cam.acquiring = true;
        cam.publisher = std::thread([this, &cam] { publisher_loop(cam); });
        for (Channel& ch : cam.channels)
            cam.captures.emplace_back([this, &cam, &ch] { capture_loop(cam, ch); });
    }
    return kExitOk;
}

void Bridge::capture_loop(Camera& cam, Channel& ch)
{
    while (!cam.stop) {
        Frame& f = ch.capture;
        // A frame the slot handed back (replaced before publication) goes
        // back to the stream before the next is borrowed.
        f.lent.reset();
        int status = f.lent.borrow(cam.index, ch.stream.index, kCaptureWaitUs);
        PhotoInfo info = f.lent.info();
        if (status == VORA_ERR_LOAN_LIMIT) {
            // Not with the frames the bridge holds at once; copy should it be.
            if (f.data.size() < ch.stream.payload)
                f.data.resize(ch.stream.payload);
            info = PhotoInfo{};
            info.pixel = f.data.data();
            status = TimeoutCapture(cam.index, ch.stream.index, &info, kCaptureWaitUs);
        }
        if (status == 0) {
            ch.completeness.look(cam.index, ch.stream.index);
            if (o_.frames > 0 && ch.frames >= static_cast<uint64_t>(o_.frames)) {
                ch.completeness.take();
                continue;  // the channel has published what was asked
            }
            if (ch.completeness.take() != 1) {
                ++ch.incomplete;
                continue;
            }
            f.info = info;
            f.handed_over_ns = realtime_ns();
            trace_.capture(ch.stream.index, f.handed_over_ns, info.payload_size);
            ch.slot.put(&f);
        } else if (status == VORA_ERR_CAMERA_LOST) {
            cam.lost = true;
            return;
        }
    }
}

void Bridge::publisher_loop(Camera& cam)
{
    while (!cam.stop_publisher) {
        cam.doorbell.wait(std::chrono::milliseconds(50));
        if (cam.lost)
            continue;
        for (Channel& ch : cam.channels) {
            // --frames N publishes N frames per channel, not one more
            // while the main loop notices.
            if (o_.frames > 0 && ch.frames >= static_cast<uint64_t>(o_.frames))
                continue;
            if (ch.slot.take(&ch.publish)) {
                publish(cam, ch);
                ch.publish.lent.reset();  // published: back to the stream
            }
        }
    }
}

void Bridge::stop_publishers()
{
    for (auto& camera : cameras_) {
        camera->stop_publisher = true;
        camera->doorbell.ring();
        if (camera->publisher.joinable())
            camera->publisher.join();
    }
}

void Bridge::publish(Camera& cam, Channel& ch)
{
    const RosTime stamp = stamp_of(cam, ch.publish);
    publish_frame(cam, ch, stamp);
    trace_.publish(ch.stream.index, int64_t(stamp.sec) * 1000000000 + stamp.nanosec, ch.publish.handed_over_ns,
                   realtime_ns());
    ++ch.frames;
}

bool Bridge::enough_frames() const
{
    if (o_.frames <= 0)
        return false;
    bool any = false;
    for (const auto& camera : cameras_) {
        if (camera->lost)
            continue;
        for (const Channel& ch : camera->channels) {
            any = true;
            if (ch.frames < static_cast<uint64_t>(o_.frames))
                return false;
        }
    }
    return any;
}

void Bridge::print_status()
{
    for (const Topic& t : topics_) {
        uint64_t skipped = t.failed;
        // Frames replaced in their slot before publication count against
        // every topic of their channel (and the registered cloud of the
        // first depth channel).
        for (const auto& camera : cameras_) {
            for (const Channel& ch : camera->channels)
                if (&t == ch.points || &t == ch.image || &t == ch.info ||
                    (&t == camera->registered && ch.role == "depth"))
                    skipped += ch.slot.skipped() + ch.incomplete;
        }
        std::printf("status %s published %llu skipped %llu subscribers %u unacknowledged %llu\n", t.name.c_str(),
                    static_cast<unsigned long long>(t.published.load()), static_cast<unsigned long long>(skipped),
                    DdsNode::subscribers(t.writer), static_cast<unsigned long long>(t.unacknowledged.load()));
    }
    std::fflush(stdout);
}

// Stops a camera's captures; its topics publish nothing more.
void Bridge::stop_camera(Camera& cam)
{
    cam.stop = true;
    for (std::thread& t : cam.captures)
        if (t.joinable())
            t.join();
    cam.captures.clear();
}

bool Bridge::watch()
{
    bool all_lost = true;
    for (auto& camera : cameras_) {
        Camera& cam = *camera;
        if (!cam.lost && cam.session.lost())
            cam.lost = true;
        if (cam.lost && !cam.lost_reported) {
            cam.lost_reported = true;
            any_lost_ = true;
            std::printf("vora-ros2: camera %s lost; its topics stopped\n", cam.serial.c_str());
            std::fflush(stdout);
            report("camera " + cam.serial + " was lost: it no longer answers its heartbeat");
            stop_camera(cam);
        }
        all_lost = all_lost && cam.lost;
    }
    return !all_lost;
}

void Bridge::shutdown()
{
    if (shut_)
        return;
    shut_ = true;
    for (auto& camera : cameras_) {
        camera->stop = true;
        for (std::thread& t : camera->captures)
            if (t.joinable())
                t.join();
    }
    stop_publishers();
    // Lent frames go back before their streams close.
    for (auto& camera : cameras_)
        for (Channel& ch : camera->channels) {
            ch.capture.lent.reset();
            if (ch.slot.take(&ch.publish))
                ch.publish.lent.reset();
            ch.publish.lent.reset();
        }
    node_.close();
    // Cameras that answer first; a lost one may keep its teardown waiting.
    for (auto& camera : cameras_)
        if (!camera->lost)
            camera->session.close();
    for (auto& camera : cameras_)
        if (camera->lost)
            camera->session.close_or_leave(kExitCamera);
    cameras_.clear();
    table_.close();
}

int Bridge::run()
{
    // DDS first: a domain that cannot be had is known without a camera.
    std::string error;
    if (!o_.trace.empty() && !trace_.open(o_.trace)) {
        report("cannot write the trace " + o_.trace + ": " + std::strerror(errno));
        return kExitUsage;
    }
    if (!node_.open(domain_, &error)) {
        report(error);
        return kExitCamera;
    }
    int code = open_cameras();
    // Stopped while looking for cameras: asked for, so no failure.
    if (vora_tool::interrupted())
        return kExitOk;
    if (code == kExitOk)
        code = make_topics();
    if (code == kExitOk && !publish_transforms())
        report("warning: /tf_static could not be written");
    if (code != kExitOk)
        return code;

    size_t count = 0;
    for (auto& camera : cameras_) {
        size_t topics = 0;
        for (const Channel& ch : camera->channels)
            topics += (ch.points != nullptr) + (ch.image != nullptr) + (ch.info != nullptr);
        topics += camera->registered != nullptr;
        std::printf("vora-ros2: publishing %zu topics for camera %s as %s/%s on domain %d\n", topics,
                    camera->serial.c_str(), o_.ros_namespace.c_str(), camera->name.c_str(), domain_);
        if (!camera->clock.usable())
            std::printf("vora-ros2: camera %s has no usable clock; stamps are the host's time of hand-over\n",
                        camera->serial.c_str());
        count += topics;
    }
    std::printf("vora-ros2: node %s/%s with %zu topics and /tf_static; DDS configuration: %s\n",
                o_.ros_namespace.c_str(), o_.node.c_str(), count, node_.configuration().c_str());
    std::fflush(stdout);

    code = start();
    if (code != kExitOk)
        return code;
    const auto begin = Clock::now();
    auto next_status = begin + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.status));
    while (!vora_tool::interrupted()) {
        std::this_thread::sleep_for(kLoopPause);
        if (!watch())
            break;
        const auto now = Clock::now();
        if (o_.duration > 0 && std::chrono::duration<double>(now - begin).count() >= o_.duration)
            break;
        if (enough_frames())
            break;
        if (o_.status > 0 && now >= next_status) {
            print_status();
            next_status += std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.status));
            if (next_status < now)
                next_status = now;
        }
    }
    // Captures end before the final figures, so that they are final.
    for (auto& camera : cameras_)
        stop_camera(*camera);
    stop_publishers();
    // The last samples may still be under repair: deleting their writers
    // would take them from readers that are about to have them.
    for (Topic& t : topics_)
        if (t.reliable && t.writer > 0 && t.published > 0)
            settle(t);
    print_status();
    for (auto& camera : cameras_)
        if (camera->acquiring && !camera->lost)
            camera->session.acquisition_stop();
    return any_lost_ ? kExitCamera : kExitOk;
}

}  // namespace

int run_bridge(const BridgeOptions& options, int domain)
{
    Bridge bridge(options, domain);
    return bridge.run();
}

}  // namespace vora_ros2
