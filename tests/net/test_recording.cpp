// Recording and replay end to end, in this test's own network namespace: a
// simulated camera recorded through the library; the file read back, by our
// reader and by an independent one; served again by `vora play` and
// captured through the library; a recording whose process was killed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "child_process.h"
#include "eventually.h"
#include "sim_camera.h"
#include "vora_globals.h"
#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"

namespace {

using vora_test::Child;
using vora_test::Outcome;

constexpr uint32_t kWidth = 96, kHeight = 80;
constexpr int kFramesPerChannel = 30;  // three seconds at 10 frames per second

std::string build_dir()
{
    const std::string library = VORA_LIBRARY_PATH;
    return library.substr(0, library.rfind('/'));
}

std::string temp_path(const std::string& name)
{
    return "/tmp/vora-recording-" + std::to_string(getpid()) + "-" + name;
}

vsim::SimConfig small_camera()
{
    vsim::SimConfig c;
    for (vsim::SimSensor& s : c.sensors) {
        s.max_width = kWidth;
        s.max_height = kHeight;
        s.K[2] = kWidth / 2.0f;
        s.K[5] = kHeight / 2.0f;
        s.K[0] = s.K[4] = 100;
    }
    c.sensors[2].T[0] = 30;    // the second depth sensor sits beside the first
    c.max_packet_size = 1500;  // many packets a frame, so that losses cut frames differently
    c.frame_rate = 10;
    return c;
}

struct Frame {
    PhotoInfo info{};
    std::vector<char> pixels;
};

using FrameKey = std::pair<unsigned, unsigned>;  // channel, block id

// Connects to the first camera discovered and opens all three channels.
void open_camera(bool resend)
{
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    for (unsigned short ch = 0; ch < 3; ++ch) {
        ASSERT_EQ(StreamOn(0, ch), 0);
        SetResendRequest(0, ch, resend ? 1 : 0);
        SetMaxBufferLength(0, ch, 32);
    }
}

void close_camera()
{
    AcquisitionStop(0);
    for (unsigned short ch = 0; ch < 3; ++ch)
        StreamOff(0, ch);
    CameraDisconnect(0);
    DestroyCamera();
}

// Captures until `done` says so (or the deadline), every frame kept by
// channel and block id.
template <class Done>
std::map<FrameKey, Frame> capture(Done done, std::chrono::seconds deadline = std::chrono::seconds(60))
{
    std::map<FrameKey, Frame> frames;
    std::vector<char> buffer(kWidth * kHeight * 6);
    const auto end = std::chrono::steady_clock::now() + deadline;
    do {
        for (unsigned short ch = 0; ch < 3; ++ch) {
            PhotoInfo f{};
            f.pixel = buffer.data();
            if (TimeoutCapture(0, ch, &f, 20000) != 0)
                continue;
            Frame& kept = frames[{ch, f.block_id}];
            kept.info = f;
            kept.pixels.assign(buffer.data(), buffer.data() + f.payload_size);
        }
    } while (!done(frames) && std::chrono::steady_clock::now() < end);
    return frames;
}

size_t count_channel(const std::map<FrameKey, Frame>& frames, unsigned ch)
{
    size_t n = 0;
    for (const auto& [key, f] : frames)
        n += key.first == ch;
    return n;
}

// What a frame record says besides its pixels.
void expect_same_record(const PhotoInfo& a, const PhotoInfo& b, const std::string& what)
{
    EXPECT_EQ(a.pixel_format, b.pixel_format) << what;
    EXPECT_EQ(a.pixel_width, b.pixel_width) << what;
    EXPECT_EQ(a.pixel_height, b.pixel_height) << what;
    EXPECT_EQ(a.cloud_unit, b.cloud_unit) << what;
    EXPECT_EQ(a.payload_size, b.payload_size) << what;
    EXPECT_EQ(a.timestamp_low, b.timestamp_low) << what;
    EXPECT_EQ(a.timestamp_high, b.timestamp_high) << what;
    EXPECT_EQ(std::memcmp(&a.roi, &b.roi, sizeof a.roi), 0) << what;
    EXPECT_EQ(a.block_id, b.block_id) << what;
    EXPECT_EQ(a.stream_channel_index_, b.stream_channel_index_) << what;
}

// Fusion of a colour frame onto a depth frame through the connected
// camera's calibration: 6 floats a point.
std::vector<float> fuse(Frame& colour, Frame& depth)
{
    std::vector<float> out(6 * size_t(kWidth) * kHeight);
    colour.info.pixel = colour.pixels.data();
    depth.info.pixel = depth.pixels.data();
    EXPECT_EQ(FusionImageTo3D(0, &colour.info, &depth.info, out.data()), 0);
    return out;
}

std::map<FrameKey, Frame> read_recording(const std::string& path)
{
    std::map<FrameKey, Frame> frames;
    const int rec = OpenRecording(path.c_str());
    EXPECT_GE(rec, 0) << path;
    if (rec < 0)
        return frames;
    std::vector<char> buffer(kWidth * kHeight * 6);
    for (;;) {
        PhotoInfo f{};
        f.pixel = buffer.data();
        unsigned long long at = 0;
        const int status = ReadRecordingFrame(rec, &f, static_cast<unsigned>(buffer.size()), &at);
        if (status != 0) {
            EXPECT_EQ(status, VORA_ERR_RECORDING_END);
            break;
        }
        EXPECT_GT(at, 0u);
        Frame& kept = frames[{f.stream_channel_index_, f.block_id}];
        kept.info = f;
        kept.pixels.assign(buffer.data(), buffer.data() + f.payload_size);
    }
    EXPECT_EQ(CloseRecording(rec), 0);
    return frames;
}

bool pixels_equal(const Frame& a, const Frame& b)
{
    return a.pixels.size() == b.pixels.size() && std::memcmp(a.pixels.data(), b.pixels.data(), a.pixels.size()) == 0;
}

// The first depth frame of channel 0 and the colour frame of the same block,
// both complete (whole frames only: the pair must not depend on loss).
bool complete_pair(std::map<FrameKey, Frame>& frames, Frame** colour, Frame** depth, unsigned* block)
{
    for (auto& [key, f] : frames) {
        if (key.first != 0)
            continue;
        auto c = frames.find({1, key.second});
        if (c == frames.end())
            continue;
        *depth = &f;
        *colour = &c->second;
        *block = key.second;
        return true;
    }
    return false;
}

TEST(Recording, RecordReplayAndCaptureAgain)
{
    const std::string path = temp_path("three.mcap");
    std::map<FrameKey, Frame> live;
    std::vector<float> live_fused;
    unsigned pair_block = 0;
    unsigned long long written = 0, dropped = 0, bytes = 0;
    unsigned long long live_figures[3][3] = {};  // frames, gaps, missing block ids
    DiscoveryInfo live_camera{};
    {
        vsim::SimCamera sim(small_camera());
        // Packets lost for good make frames that differ from one another.
        sim.stream_faults.loss_rate = 0.003;
        ASSERT_EQ(sim.start(), 0);
        open_camera(false);
        live_camera = discovery_info[0];
        ASSERT_EQ(StartRecording(0, 7, path.c_str(), 0), 0);
        EXPECT_EQ(StartRecording(0, 7, path.c_str(), 0), VORA_ERR_RECORDING_BUSY);
        ASSERT_EQ(AcquisitionStart(0), 0);
        live = capture([](const std::map<FrameKey, Frame>& f) {
            return count_channel(f, 0) >= kFramesPerChannel && count_channel(f, 1) >= kFramesPerChannel &&
                   count_channel(f, 2) >= kFramesPerChannel;
        });
        ASSERT_EQ(AcquisitionStop(0), 0);
        // Closing the streams hands over what they still hold: recorded too.
        for (unsigned short ch = 0; ch < 3; ++ch)
            ASSERT_EQ(StreamOff(0, ch), 0);
        ASSERT_EQ(StopRecording(0), 0);
        EXPECT_EQ(StopRecording(0), VORA_ERR_NOT_RECORDING);
        ASSERT_EQ(GetRecordingStatistics(0, &written, &dropped, &bytes), 0);
        unsigned long long sum = 0;
        for (unsigned short ch = 0; ch < 3; ++ch) {
            unsigned long long frames = 0, lost = 9, gaps = 0, missing = 0;
            ASSERT_EQ(GetRecordingChannelStatistics(0, ch, &frames, &lost, &gaps, &missing), 0);
            EXPECT_EQ(lost, 0u);
            EXPECT_GE(missing, gaps);
            live_figures[ch][0] = frames;
            live_figures[ch][1] = gaps;
            live_figures[ch][2] = missing;
            sum += frames;
        }
        EXPECT_EQ(sum, written);
        EXPECT_EQ(GetRecordingChannelStatistics(0, 3, nullptr, nullptr, nullptr, nullptr), VORA_ERR_INVALID_ARG);
        EXPECT_EQ(GetRecordingChannelStatistics(1, 0, nullptr, nullptr, nullptr, nullptr), VORA_ERR_NOT_RECORDING);
        Frame *colour = nullptr, *depth = nullptr;
        ASSERT_TRUE(complete_pair(live, &colour, &depth, &pair_block));
        live_fused = fuse(*colour, *depth);
        close_camera();
        sim.stop();
    }
    EXPECT_EQ(dropped, 0u);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(static_cast<unsigned long long>(st.st_size), bytes);

    // The file keeps each channel's figures.
    {
        const int rec = OpenRecording(path.c_str());
        ASSERT_GE(rec, 0);
        for (int i = 0; i < 3; ++i) {
            unsigned short ch = 9;
            unsigned long long frames = 0;
            long long lost = -2, gaps = -2, missing = -2;
            ASSERT_EQ(GetRecordingChannel(rec, i, &ch, &frames, &lost, &gaps, &missing), 0);
            EXPECT_EQ(ch, i);
            EXPECT_EQ(frames, live_figures[i][0]);
            EXPECT_EQ(lost, 0);
            EXPECT_EQ(gaps, static_cast<long long>(live_figures[i][1]));
            EXPECT_EQ(missing, static_cast<long long>(live_figures[i][2]));
        }
        EXPECT_EQ(GetRecordingChannel(rec, 3, nullptr, nullptr, nullptr, nullptr, nullptr), VORA_ERR_RECORDING_END);
        EXPECT_EQ(GetRecordingChannel(rec, -1, nullptr, nullptr, nullptr, nullptr, nullptr), VORA_ERR_INVALID_ARG);
        CloseRecording(rec);
        EXPECT_EQ(GetRecordingChannel(rec, 0, nullptr, nullptr, nullptr, nullptr, nullptr), VORA_ERR_RECORDING_MISSING);
    }

    // Read back: every frame that was captured, byte for byte.
    std::map<FrameKey, Frame> recorded = read_recording(path);
    EXPECT_EQ(recorded.size(), written);
    ASSERT_GE(recorded.size(), live.size());
    size_t differing = 0;
    for (auto& [key, f] : live) {
        const auto r = recorded.find(key);
        ASSERT_NE(r, recorded.end()) << key.first << "/" << key.second;
        expect_same_record(f.info, r->second.info, "recorded " + std::to_string(key.first));
        EXPECT_TRUE(pixels_equal(f, r->second)) << key.first << "/" << key.second;
        differing += !pixels_equal(f, live.begin()->second);
    }
    EXPECT_GT(differing, 0u);

    // Served by vora play and captured again, faster than recorded.
    Child play(build_dir() + "/vora", {"play", path, "--rate", "4"});
    ASSERT_TRUE(play.wait_for([](const Outcome& o) { return o.out.find("ready") != std::string::npos; },
                              std::chrono::seconds(30)))
        << play.finish(std::chrono::seconds(5)).err;
    open_camera(true);
    // The same camera to look at: identity and address.
    const DiscoveryInfo& d = discovery_info[0];
    EXPECT_STREQ(d.device_serial_number, live_camera.device_serial_number);
    EXPECT_STREQ(d.device_model_name, live_camera.device_model_name);
    EXPECT_EQ(d.camera_mac_high, live_camera.camera_mac_high);
    EXPECT_EQ(d.camera_mac_low, live_camera.camera_mac_low);
    EXPECT_EQ(d.camera_ip, live_camera.camera_ip);
    ASSERT_EQ(AcquisitionStart(0), 0);
    const size_t want[3] = {count_channel(recorded, 0), count_channel(recorded, 1), count_channel(recorded, 2)};
    std::map<FrameKey, Frame> replayed = capture([&](const std::map<FrameKey, Frame>& f) {
        return count_channel(f, 0) >= want[0] && count_channel(f, 1) >= want[1] && count_channel(f, 2) >= want[2];
    });
    EXPECT_EQ(replayed.size(), recorded.size());
    for (auto& [key, f] : recorded) {
        const auto r = replayed.find(key);
        ASSERT_NE(r, replayed.end()) << key.first << "/" << key.second;
        expect_same_record(f.info, r->second.info, "replayed " + std::to_string(key.first));
        EXPECT_TRUE(pixels_equal(f, r->second)) << key.first << "/" << key.second;
    }
    // The replayed pair fuses as the live one did, through the calibration
    // the recording carried.
    Frame& colour = replayed[{1, pair_block}];
    Frame& depth = replayed[{0, pair_block}];
    const std::vector<float> replayed_fused = fuse(colour, depth);
    ASSERT_EQ(replayed_fused.size(), live_fused.size());
    EXPECT_EQ(std::memcmp(replayed_fused.data(), live_fused.data(), live_fused.size() * sizeof(float)), 0);
    close_camera();
    play.signal(SIGTERM);
    EXPECT_EQ(play.finish().code, 0);
    std::remove(path.c_str());
}

// Short recordings of every kind, read by @mcap/core.
TEST(Recording, IndependentReaderReadsEveryKindOfFile)
{
    const std::string node_dir = std::string(VORA_SOURCE_DIR) + "/tests/mcap";
    vsim::SimConfig config = small_camera();
    config.sensors[1].pixel_format = PIXEL_FORMAT_YUV422_8;  // converted to rgb8 for the Image topic
    vsim::SimCamera sim(config);
    ASSERT_EQ(sim.start(), 0);
    open_camera(true);
    ASSERT_EQ(AcquisitionStart(0), 0);
    struct Kind {
        const char* name;
        unsigned channels, options;
    } kinds[] = {{"plain", 7, 0}, {"zstd", 7, VORA_RECORD_ZSTD}, {"raw", 5, VORA_RECORD_RAW_ONLY | VORA_RECORD_ZSTD}};
    for (const Kind& k : kinds) {
        SCOPED_TRACE(k.name);
        const std::string path = temp_path(std::string(k.name) + ".mcap");
        ASSERT_EQ(StartRecording(0, k.channels, path.c_str(), k.options), 0);
        unsigned long long written = 0;
        ASSERT_TRUE(eventually([&] {
            capture([](const std::map<FrameKey, Frame>&) { return true; });
            GetRecordingStatistics(0, &written, nullptr, nullptr);
            return written >= 6;
        }));
        ASSERT_EQ(StopRecording(0), 0);

        // Our own counts, as the independent reader must find them.
        const int rec = OpenRecording(path.c_str());
        ASSERT_GE(rec, 0);
        std::vector<std::string> args{node_dir + "/check.js", path};
        for (int i = 0;; ++i) {
            char topic[128], type[64];
            unsigned long long n = 0;
            if (GetRecordingTopic(rec, i, topic, sizeof topic, type, sizeof type, &n) != 0)
                break;
            EXPECT_GT(n, 0u) << topic;
            args.push_back(std::string(topic) + "=" + std::to_string(n));
        }
        CloseRecording(rec);
        const size_t topics = args.size() - 2;
        EXPECT_EQ(topics, k.options & VORA_RECORD_RAW_ONLY ? 2u : 6u);
        Child node("/usr/bin/env", [&] {
            std::vector<std::string> a{"node"};
            a.insert(a.end(), args.begin(), args.end());
            return a;
        }());
        const Outcome o = node.finish();
        EXPECT_EQ(o.code, 0) << o.out << o.err;
        EXPECT_NE(o.out.find("\"problems\":[]"), std::string::npos) << o.out;
        // A recorder that falls behind stores some chunks of a compressed
        // recording as they are: those may be there too.
        if (k.options & VORA_RECORD_ZSTD)
            EXPECT_TRUE(o.out.find("\"compression\":[\"zstd\"]") != std::string::npos ||
                        o.out.find("\"compression\":[\"zstd\",\"\"]") != std::string::npos ||
                        o.out.find("\"compression\":[\"\",\"zstd\"]") != std::string::npos)
                << o.out;
        else
            EXPECT_NE(o.out.find("\"compression\":[\"\"]"), std::string::npos) << o.out;
        std::remove(path.c_str());
    }
    close_camera();
    sim.stop();
}

// The lines of the decoder's output that hold `what`.
std::vector<std::string> lines_with(const std::string& out, const std::string& what)
{
    std::vector<std::string> found;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
        if (line.find(what) != std::string::npos)
            found.push_back(line);
    return found;
}

// The numbers of a JSON array "key":[...] in a line, after `from`.
std::vector<double> numbers(const std::string& line, const std::string& key, size_t from = 0)
{
    std::vector<double> out;
    size_t at = line.find("\"" + key + "\":[", from);
    if (at == std::string::npos)
        return out;
    at = line.find('[', at) + 1;
    const size_t end = line.find(']', at);
    while (at < end) {
        char* next = nullptr;
        out.push_back(std::strtod(line.c_str() + at, &next));
        at = static_cast<size_t>(next - line.c_str()) + 1;
    }
    return out;
}

double number(const std::string& line, const std::string& key)
{
    const size_t at = line.find("\"" + key + "\":");
    return at == std::string::npos ? std::nan("") : std::strtod(line.c_str() + at + key.size() + 3, nullptr);
}

std::string text(const std::string& line, const std::string& key)
{
    const size_t at = line.find("\"" + key + "\":\"");
    if (at == std::string::npos)
        return "<none>";
    const size_t from = at + key.size() + 4;
    return line.substr(from, line.find('"', from) - from);
}

bool node_installed()
{
    Child node("/usr/bin/env", {"node", "--version"});
    return node.finish().code == 0;
}

// A ROS 2 recording of the simulator, read by an independent CDR decoder
// (ROS 2's layouts from npm), then replayed byte for byte.
TEST(Recording, Ros2BagDecodedIndependentlyAndReplayed)
{
    const std::string path = temp_path("ros2.mcap");
    std::map<FrameKey, Frame> live;
    {
        vsim::SimCamera sim(small_camera());
        ASSERT_EQ(sim.start(), 0);
        open_camera(true);
        const std::string long_name(65, 'a');
        for (const char* bad : {"", "9cam", "a/b", "cam era", long_name.c_str()})
            EXPECT_EQ(StartRecordingNamed(0, 7, path.c_str(), VORA_RECORD_ROS2, bad), VORA_ERR_INVALID_ARG) << bad;
        EXPECT_EQ(StartRecording(0, 7, path.c_str(), 0x8u), VORA_ERR_INVALID_ARG);
        ASSERT_EQ(StartRecordingNamed(0, 7, path.c_str(), VORA_RECORD_ROS2, "cam"), 0);
        ASSERT_EQ(AcquisitionStart(0), 0);
        live = capture([](const std::map<FrameKey, Frame>& f) {
            return count_channel(f, 0) >= 5 && count_channel(f, 1) >= 5 && count_channel(f, 2) >= 5;
        });
        ASSERT_EQ(AcquisitionStop(0), 0);
        for (unsigned short ch = 0; ch < 3; ++ch)
            ASSERT_EQ(StreamOff(0, ch), 0);
        ASSERT_EQ(StopRecording(0), 0);
        close_camera();
        sim.stop();
    }

    // Replay: every frame captured live, byte for byte, from the CDR raw frames.
    const std::map<FrameKey, Frame> recorded = read_recording(path);
    ASSERT_GE(recorded.size(), live.size());
    for (const auto& [key, f] : live) {
        const auto r = recorded.find(key);
        ASSERT_NE(r, recorded.end()) << key.first << "/" << key.second;
        expect_same_record(f.info, r->second.info, "recorded " + std::to_string(key.first));
        EXPECT_TRUE(pixels_equal(f, r->second)) << key.first << "/" << key.second;
    }
    // What the ROS messages must say, from the library's own conventions:
    // the first depth frame in metres, each sensor's camera model and pose.
    Frame first_depth = recorded.begin()->second;
    first_depth.info.pixel = first_depth.pixels.data();  // the record points into the reader's buffer, gone
    ASSERT_EQ(recorded.begin()->first.first, 0u);
    std::vector<float> xyz(3 * size_t(kWidth) * kHeight);
    ASSERT_EQ(ConvertPointCloudToMetres(&first_depth.info, xyz.data(), xyz.size()), 0);
    size_t finite = 0;
    float z_max = 0;
    for (size_t i = 0; i < xyz.size(); i += 3)
        if (!std::isnan(xyz[i + 2])) {
            ++finite;
            z_max = std::max(z_max, xyz[i + 2]);
        }
    ASSERT_GT(finite, 0u);
    double k[3][9], d[5], r[9], p[12], pose[3][3], rotation[4];
    {
        const int rec = OpenRecording(path.c_str());
        ASSERT_GE(rec, 0);
        for (int sensor = 0; sensor < 3; ++sensor) {
            CameraParameter c{};
            ASSERT_EQ(GetRecordingCalibration(rec, sensor, &c), 0);
            ASSERT_EQ(GetRosCameraModel(&c, 0, 0, k[sensor], d, r, p), 0);
            ASSERT_EQ(GetRosSensorPose(&c, pose[sensor], rotation), 0);
        }
        CloseRecording(rec);
    }

    if (!node_installed())
        GTEST_SKIP() << "node is not installed: the independent decoder (tests/mcap) cannot run";
    Child node("/usr/bin/env", {"node", std::string(VORA_SOURCE_DIR) + "/tests/mcap/ros2_decode.js", "bag", path});
    const Outcome o = node.finish();
    ASSERT_EQ(o.code, 0) << o.out << o.err;
    EXPECT_NE(o.out.find("\"problems\":[]"), std::string::npos) << o.out.substr(o.out.rfind("{\"summary\""));
    EXPECT_NE(o.out.find("\"profile\":\"ros2\""), std::string::npos);

    const std::string depth = "cam_depth_optical_frame";
    const struct {
        const char* topic;
        const char* type;
        std::string frame_id;
    } expected[] = {
        {"/cam/depth/points", "sensor_msgs/msg/PointCloud2", depth},
        {"/cam/depth2/points", "sensor_msgs/msg/PointCloud2", depth},  // the camera gives both in one frame
        {"/cam/depth/image_raw", "sensor_msgs/msg/Image", depth},
        {"/cam/depth2/image_raw", "sensor_msgs/msg/Image", "cam_depth2_optical_frame"},
        {"/cam/color/image_raw", "sensor_msgs/msg/Image", "cam_color_optical_frame"},
        {"/cam/depth/camera_info", "sensor_msgs/msg/CameraInfo", depth},
        {"/cam/depth2/camera_info", "sensor_msgs/msg/CameraInfo", "cam_depth2_optical_frame"},
        {"/cam/color/camera_info", "sensor_msgs/msg/CameraInfo", "cam_color_optical_frame"},
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.topic);
        const auto lines = lines_with(o.out, std::string("{\"topic\":\"") + e.topic + "\"");
        ASSERT_GE(lines.size(), 5u);
        for (const std::string& line : lines) {
            EXPECT_EQ(text(line, "type"), e.type);
            EXPECT_EQ(text(line, "frame_id"), e.frame_id);
            EXPECT_EQ(text(line, "encapsulation"), "00010000");
            EXPECT_EQ(number(line, "trailing"), 0);
        }
    }
    const std::string cloud = lines_with(o.out, "{\"topic\":\"/cam/depth/points\"").front();
    EXPECT_NE(
        cloud.find("\"fields\":[{\"name\":\"x\",\"offset\":0,\"datatype\":7,\"count\":1},{\"name\":\"y\",\"offset\":4,"
                   "\"datatype\":7,\"count\":1},{\"name\":\"z\",\"offset\":8,\"datatype\":7,\"count\":1}]"),
        std::string::npos)
        << cloud;
    EXPECT_EQ(number(cloud, "point_step"), 12);
    EXPECT_EQ(number(cloud, "width"), kWidth);
    EXPECT_EQ(number(cloud, "height"), kHeight);
    EXPECT_NE(cloud.find("\"is_dense\":false"), std::string::npos);
    EXPECT_EQ(number(cloud, "finite"), finite);
    EXPECT_NEAR(number(cloud, "z_max"), z_max, 1e-6);
    EXPECT_LT(number(cloud, "xyz_max_abs"), 20);  // metres: no coordinate of the scene is 20 m
    // Stamps are the host's wall clock (within a day: not a timing).
    EXPECT_NEAR(number(cloud, "sec"), static_cast<double>(time(nullptr)), 86400);
    const std::string depth_image = lines_with(o.out, "{\"topic\":\"/cam/depth/image_raw\"").front();
    EXPECT_EQ(text(depth_image, "encoding"), "16UC1");
    EXPECT_EQ(number(depth_image, "step"), 2 * kWidth);
    EXPECT_EQ(number(depth_image, "nonzero"), finite);
    EXPECT_EQ(number(depth_image, "max"), std::floor(z_max * 1000 + 0.5));
    const std::string colour = lines_with(o.out, "{\"topic\":\"/cam/color/image_raw\"").front();
    EXPECT_TRUE(text(colour, "encoding") == "rgb8" || text(colour, "encoding") == "mono8") << colour;

    const char* roles[] = {"depth", "color", "depth2"};  // sensors 0, 1, 2 feed channels 0, 1, 2
    for (int sensor = 0; sensor < 3; ++sensor) {
        SCOPED_TRACE(roles[sensor]);
        const auto info = lines_with(o.out, "{\"topic\":\"/cam/" + std::string(roles[sensor]) + "/camera_info\"");
        ASSERT_FALSE(info.empty());
        const std::vector<double> got = numbers(info.front(), "k");
        ASSERT_EQ(got.size(), 9u);
        for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(got[i], k[sensor][i], 1e-9) << i;
        EXPECT_EQ(text(info.front(), "distortion_model"), "plumb_bob");
    }
    const auto tf = lines_with(o.out, "{\"topic\":\"/tf_static\"");
    ASSERT_EQ(tf.size(), 1u);  // once
    for (int sensor = 0; sensor < 3; ++sensor) {
        SCOPED_TRACE(roles[sensor]);
        const std::string child = "\"child_frame_id\":\"cam_" + std::string(roles[sensor]) + "_optical_frame\"";
        const size_t at = tf[0].find(child);
        ASSERT_NE(at, std::string::npos) << tf[0];
        EXPECT_EQ(tf[0].rfind("\"frame_id\":\"cam_link\"", at), tf[0].rfind("\"frame_id\":", at));
        const std::vector<double> t = numbers(tf[0], "translation", at);
        ASSERT_EQ(t.size(), 3u);
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(t[i], pose[sensor][i], 1e-9);
    }
    EXPECT_EQ(lines_with(o.out, "\"topic\":\"/vora/").size(), recorded.size());  // the raw frames decode too

    // Served by vora play and captured again, as a ROS 1 recording is.
    Child play(build_dir() + "/vora", {"play", path, "--rate", "4"});
    ASSERT_TRUE(play.wait_for([](const Outcome& out) { return out.out.find("ready") != std::string::npos; },
                              std::chrono::seconds(30)))
        << play.finish(std::chrono::seconds(5)).err;
    open_camera(true);
    ASSERT_EQ(AcquisitionStart(0), 0);
    const size_t want[3] = {count_channel(recorded, 0), count_channel(recorded, 1), count_channel(recorded, 2)};
    std::map<FrameKey, Frame> replayed = capture([&](const std::map<FrameKey, Frame>& f) {
        return count_channel(f, 0) >= want[0] && count_channel(f, 1) >= want[1] && count_channel(f, 2) >= want[2];
    });
    EXPECT_EQ(replayed.size(), recorded.size());
    for (const auto& [key, f] : recorded) {
        const auto again = replayed.find(key);
        ASSERT_NE(again, replayed.end()) << key.first << "/" << key.second;
        EXPECT_TRUE(pixels_equal(f, again->second)) << key.first << "/" << key.second;
    }
    close_camera();
    play.signal(SIGTERM);
    EXPECT_EQ(play.finish().code, 0);
    std::remove(path.c_str());
}

// A recorder killed mid-way leaves a file that reads up to its last whole
// chunk.
TEST(Recording, KilledRecordingReadsUpToItsLastChunk)
{
    const std::string path = temp_path("killed.mcap");
    vsim::SimCamera sim(small_camera());
    ASSERT_EQ(sim.start(), 0);
    Child record(build_dir() + "/vora", {"record", "--seconds", "600", path});
    // Each frame makes a chunk of its own at this size: wait for several.
    ASSERT_TRUE(eventually(
        [&] {
            struct stat st {};
            return stat(path.c_str(), &st) == 0 && st.st_size > 2'000'000;
        },
        std::chrono::seconds(60)));
    kill(record.pid(), SIGKILL);
    EXPECT_EQ(record.finish().code, 128 + SIGKILL);
    sim.stop();

    const int rec = OpenRecording(path.c_str());
    ASSERT_GE(rec, 0);
    unsigned long long frames = 0;
    ASSERT_EQ(GetRecordingSummary(rec, &frames, nullptr, nullptr, nullptr), 0);
    EXPECT_GT(frames, 3u);
    DiscoveryInfo camera{};
    EXPECT_EQ(GetRecordingCamera(rec, &camera), 0);
    EXPECT_STREQ(camera.device_serial_number, "SIM00001");
    // Nothing says what was dropped; the gaps are found from the frames.
    unsigned long long counted = 0;
    for (int i = 0;; ++i) {
        unsigned long long n = 0;
        long long lost = -2, gaps = -2, missing = -2;
        if (GetRecordingChannel(rec, i, nullptr, &n, &lost, &gaps, &missing) != 0)
            break;
        counted += n;
        EXPECT_EQ(lost, -1);
        EXPECT_GE(gaps, 0);
        EXPECT_GE(missing, gaps);
    }
    EXPECT_EQ(counted, frames);
    CloseRecording(rec);
    EXPECT_EQ(read_recording(path).size(), frames);
    const Outcome info = Child(build_dir() + "/vora", {"info", path}).finish();
    EXPECT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("unknown"), std::string::npos) << info.out;
    std::remove(path.c_str());
}

// The tool's commands over a file: info, export, and record refusing to
// overwrite.
TEST(Recording, ToolInfoExportAndNoSilentOverwrite)
{
    const std::string path = temp_path("tool.mcap"), dir = temp_path("exported");
    vsim::SimCamera sim(small_camera());
    ASSERT_EQ(sim.start(), 0);
    const Outcome recorded = Child(build_dir() + "/vora", {"record", "--frames", "2", "--json", path}).finish();
    ASSERT_EQ(recorded.code, 0) << recorded.err;
    EXPECT_NE(recorded.out.find("\"dropped\": 0"), std::string::npos) << recorded.out;
    const Outcome again = Child(build_dir() + "/vora", {"record", "--frames", "1", path}).finish();
    EXPECT_EQ(again.code, 1);
    EXPECT_NE(again.err.find("--overwrite"), std::string::npos) << again.err;
    sim.stop();

    const std::map<FrameKey, Frame> frames = read_recording(path);
    ASSERT_GE(count_channel(frames, 0), 2u);
    const Outcome info = Child(build_dir() + "/vora", {"info", path, "--json"}).finish();
    ASSERT_EQ(info.code, 0) << info.err;
    EXPECT_NE(info.out.find("\"frames\": " + std::to_string(frames.size())), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("\"/vora/SIM00001/ch1\""), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("\"sensor_msgs/Image\""), std::string::npos) << info.out;

    const Outcome exported =
        Child(build_dir() + "/vora", {"export", path, "--format", "pcd,bmp,raw", "--frames", "1", "--out", dir})
            .finish();
    ASSERT_EQ(exported.code, 0) << exported.err;
    // The first frame of each channel, in every format that fits it.
    const Frame& first = frames.begin()->second;
    std::ifstream raw(dir + "/ch0_0001.raw", std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes, std::string(first.pixels.begin(), first.pixels.end()));
    struct stat st {};
    EXPECT_EQ(stat((dir + "/ch0_0001.pcd").c_str(), &st), 0);
    EXPECT_EQ(stat((dir + "/ch1_0001.bmp").c_str(), &st), 0);
    EXPECT_NE(stat((dir + "/ch1_0001.pcd").c_str(), &st), 0);
    EXPECT_NE(exported.err.find("pcd does not fit channel 1"), std::string::npos) << exported.err;
    std::system(("rm -rf '" + dir + "' '" + path + "'").c_str());
}

// Numbers that follow `key` in a JSON text, in order.
std::vector<long long> json_numbers(const std::string& text, const std::string& key)
{
    std::vector<long long> out;
    const std::regex pattern("\"" + key + "\": (-?[0-9]+)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), pattern); it != std::sregex_iterator(); ++it)
        out.push_back(std::stoll((*it)[1]));
    return out;
}

// A recorder that cannot write (its file is a pipe nobody reads yet) falls
// behind, and the frames that find its queue full are dropped. Everything
// says so: the result, the exit code, a warning, the figures per channel,
// and `vora info` and `vora export` of the file. Progress that goes to a
// file rather than a terminal is a plain line a second at most.
TEST(Recording, DroppedFramesAreReportedEverywhere)
{
    const std::string fifo = temp_path("slow.mcap"), path = temp_path("drained.mcap"),
                      dir = temp_path("exported-drops");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    vsim::SimConfig config = small_camera();
    config.frame_rate = 50;
    vsim::SimCamera sim(config);
    ASSERT_EQ(sim.start(), 0);
    // Our end is open first, so that the recorder's opening finds a reader.
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    Child record(build_dir() + "/vora",
                 {"record", "--channels", "0,2", "--frames", "150", "--overwrite", "--json", fifo});
    // The pipe fills with the first frames, then the recorder's queue of 48;
    // the rest find it full. Well past that, the pipe is read to its end.
    ASSERT_TRUE(
        eventually([&] { return sim.frames_sent(0) >= 90 && sim.frames_sent(2) >= 90; }, std::chrono::seconds(60)));
    std::string bytes;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        ASSERT_GT(poll(&p, 1, 60000), 0) << "the recorder stopped writing";
        char buf[65536];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n == 0)
            break;  // the recorder closed its end
        if (n < 0) {
            ASSERT_EQ(errno, EAGAIN);
            continue;
        }
        bytes.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    const Outcome o = record.finish();
    // Without --json, progress goes to the file as plain lines, a second apart.
    const Outcome plain =
        Child(build_dir() + "/vora", {"record", "--channels", "0", "--seconds", "2.5", path + "2"}).finish();
    EXPECT_EQ(plain.code, 0) << plain.err;
    EXPECT_EQ(plain.err.find('\r'), std::string::npos) << plain.err;
    size_t lines = 0;
    for (size_t at = plain.err.find("recording: "); at != std::string::npos; at = plain.err.find("recording: ", at + 1))
        ++lines;
    EXPECT_GE(lines, 1u) << plain.err;
    EXPECT_LE(lines, 5u) << plain.err;
    sim.stop();
    EXPECT_EQ(o.code, 1) << o.err;
    EXPECT_NE(o.out.find("\"result\": \"dropped\""), std::string::npos) << o.out;
    EXPECT_NE(o.err.find("dropped from the recording"), std::string::npos) << o.err;
    // --json: no progress at all; never a carriage return into a file.
    EXPECT_EQ(o.err.find('\r'), std::string::npos) << o.err;
    // Per channel: frames written and dropped (the figures of each channel's
    // "recording" object, after the run's own).
    const std::vector<long long> dropped = json_numbers(o.out, "dropped");
    ASSERT_EQ(dropped.size(), 3u) << o.out;
    EXPECT_GT(dropped[1], 0) << o.out;
    EXPECT_GT(dropped[2], 0) << o.out;
    EXPECT_EQ(dropped[0], dropped[1] + dropped[2]);
    const std::vector<long long> gaps = json_numbers(o.out, "gaps");
    ASSERT_EQ(gaps.size(), 2u) << o.out;
    EXPECT_GT(gaps[0], 0) << o.out;  // frames came again after the drops

    // The file tells the same.
    {
        std::ofstream out(path, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    const int rec = OpenRecording(path.c_str());
    ASSERT_GE(rec, 0);
    for (int i = 0; i < 2; ++i) {
        unsigned short ch = 9;
        long long lost = -2, skipped = -2;
        ASSERT_EQ(GetRecordingChannel(rec, i, &ch, nullptr, &lost, &skipped, nullptr), 0);
        EXPECT_EQ(ch, i == 0 ? 0 : 2);
        EXPECT_EQ(lost, dropped[static_cast<size_t>(i) + 1]);
        EXPECT_EQ(skipped, gaps[static_cast<size_t>(i)]);
    }
    CloseRecording(rec);
    const Outcome info = Child(build_dir() + "/vora", {"info", path, "--json"}).finish();
    ASSERT_EQ(info.code, 0) << info.err;
    const std::vector<long long> info_dropped = json_numbers(info.out, "dropped");
    EXPECT_EQ(info_dropped, std::vector<long long>(dropped.begin() + 1, dropped.end())) << info.out;
    const Outcome text = Child(build_dir() + "/vora", {"info", path}).finish();
    EXPECT_NE(text.out.find("missing blocks"), std::string::npos) << text.out;
    EXPECT_NE(text.err.find("channel 0: " + std::to_string(dropped[1]) + " frames dropped while recording"),
              std::string::npos)
        << text.err;
    const Outcome exported = Child(build_dir() + "/vora", {"export", path, "--frames", "1", "--out", dir}).finish();
    EXPECT_EQ(exported.code, 0) << exported.err;
    EXPECT_NE(exported.out.find("missing blocks"), std::string::npos) << exported.out;
    EXPECT_NE(exported.err.find("channel 2: " + std::to_string(dropped[2]) + " frames dropped while recording"),
              std::string::npos)
        << exported.err;

    std::system(("rm -rf '" + dir + "' '" + path + "' '" + path + "2' '" + fifo + "'").c_str());
}

TEST(Recording, RefusesWhatItCannotDo)
{
    EXPECT_EQ(StartRecording(0, 1, "/tmp/x.mcap", 0), VORA_ERR_CAMERA_MISSING);
    EXPECT_EQ(StopRecording(0), VORA_ERR_NOT_RECORDING);
    EXPECT_EQ(OpenRecording("/nonexistent/x.mcap"), VORA_ERR_RECORDING_IO);
    EXPECT_EQ(OpenRecording(nullptr), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(OpenRecording(VORA_SOURCE_DIR "/README.md"), VORA_ERR_RECORDING_FORMAT);
    EXPECT_EQ(ReadRecordingFrame(3, nullptr, 0, nullptr), VORA_ERR_RECORDING_MISSING);
    EXPECT_EQ(CloseRecording(-1), VORA_ERR_RECORDING_MISSING);

    vsim::SimCamera sim(small_camera());
    ASSERT_EQ(sim.start(), 0);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(StreamOn(0, 0), 0);
    EXPECT_EQ(StartRecording(0, 0, "/tmp/x.mcap", 0), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(StartRecording(0, 8, "/tmp/x.mcap", 0), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(StartRecording(0, 1, "", 0), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(StartRecording(0, 1, "/tmp/x.mcap", 0x100), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(StartRecording(0, 3, "/tmp/x.mcap", 0), VORA_ERR_STREAM_MISSING);
    EXPECT_EQ(StartRecording(0, 1, "/nonexistent/dir/x.mcap", 0), VORA_ERR_RECORDING_IO);
    // A stream closed while it is recorded: the recording goes on, finishes well.
    const std::string path = temp_path("closed.mcap");
    ASSERT_EQ(StartRecording(0, 1, path.c_str(), 0), 0);
    ASSERT_EQ(AcquisitionStart(0), 0);
    unsigned long long written = 0;
    ASSERT_TRUE(eventually([&] {
        capture([](const std::map<FrameKey, Frame>&) { return true; });
        GetRecordingStatistics(0, &written, nullptr, nullptr);
        return written >= 2;
    }));
    EXPECT_EQ(StreamOff(0, 0), 0);
    EXPECT_EQ(StopRecording(0), 0);
    close_camera();
    sim.stop();
    EXPECT_GE(read_recording(path).size(), 2u);
    std::remove(path.c_str());
}

}  // namespace
