// The MCAP container and the recording's messages, in files and in memory:
// what is written reads back, plain and zstd-chunked; a file cut anywhere
// reads up to its last whole chunk; files that lie are refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "gvsp_codec.h"
#include "imaging/ros_conventions.h"
#include "record/block_gaps.h"
#include "record/mcap_reader.h"
#include "record/mcap_writer.h"
#include "record/recorder.h"
#include "record/recording.h"
#include "record/ros_messages.h"
#include "stream/frame_pool.h"
#include "vora_pixel_format.h"

namespace {

std::string temp_path(const char* name)
{
    return "/tmp/vora-mcap-" + std::to_string(getpid()) + "-" + name;
}

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// A raw depth frame of w x h points whose z is 0 every third point.
PhotoInfo depth_frame(std::vector<char>& pixels, uint32_t w, uint32_t h, uint16_t block)
{
    pixels.assign(size_t(w) * h * 6, 0);
    for (size_t i = 0; i < size_t(w) * h; ++i) {
        const int16_t x = static_cast<int16_t>(i * 3 - 100), y = static_cast<int16_t>(-static_cast<int>(i)),
                      z = static_cast<int16_t>(i % 3 ? 1000 + i : 0);
        std::memcpy(&pixels[6 * i], &x, 2);
        std::memcpy(&pixels[6 * i + 2], &y, 2);
        std::memcpy(&pixels[6 * i + 4], &z, 2);
    }
    PhotoInfo f{};
    f.pixel = pixels.data();
    f.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
    f.pixel_width = f.roi.size_x = w;
    f.pixel_height = f.roi.size_y = h;
    f.cloud_unit = 10;
    f.payload_size = static_cast<uint32_t>(pixels.size());
    f.timestamp_low = 123456789000ULL + block;
    f.timestamp_high = f.timestamp_low >> 32;
    f.block_id = block;
    f.stream_channel_index_ = 2;
    return f;
}

// Writes `frames` raw frames (and chunks of at most chunk_size) to path.
void write_sample(const std::string& path, bool zstd, int frames, size_t chunk_size = 4096)
{
    mcap::McapWriter w;
    mcap::WriterOptions o;
    o.zstd = zstd;
    o.chunk_size = chunk_size;
    ASSERT_EQ(w.open(path, o), 0);
    w.add_metadata("camera", {{"serial", "S1"}, {"mac", "02:56:4f:52:00:01"}, {"ip", "10.1.2.3"}});
    w.add_metadata("calibration", {{"sensor0.Kc", std::string(19, '0').replace(0, 0, "")}});
    const std::string xml = "<RegisterDescription/>";
    w.add_attachment("camera.xml", "application/xml", xml.data(), xml.size(), 5);
    const uint16_t schema = w.add_schema(rosmsg::RAW_FRAME_NAME, "ros1msg", rosmsg::raw_frame_schema());
    const uint16_t channel = w.add_channel(schema, "/vora/S1/ch2/raw", "ros1", {{"payload_size", "600"}});
    std::vector<char> pixels;
    std::vector<uint8_t> head;
    for (int i = 0; i < frames; ++i) {
        PhotoInfo f = depth_frame(pixels, 10, 10, static_cast<uint16_t>(i + 1));
        pixels[0] = static_cast<char>(i);  // each frame's bytes differ
        rosmsg::encode_raw_frame(head, static_cast<uint32_t>(i), "vora/S1/ch2", f, i == 3 ? 2 : 0);
        const mcap::Piece pieces[] = {{head.data(), head.size()}, {f.pixel, f.payload_size}};
        w.add_message(channel, 1000u + 100u * static_cast<uint64_t>(i), f.timestamp_low, pieces, 2);
    }
    ASSERT_EQ(w.close(), 0);
}

TEST(Mcap, WrittenFilesReadBackPlainAndCompressed)
{
    for (bool zstd : {false, true}) {
        SCOPED_TRACE(zstd ? "zstd" : "plain");
        const std::string path = temp_path("sample.mcap");
        write_sample(path, zstd, 20);
        const std::string bytes = slurp(path);
        ASSERT_GT(bytes.size(), 16u);
        EXPECT_EQ(bytes.compare(0, 8, std::string(reinterpret_cast<const char*>(mcap::MAGIC), 8)), 0);
        EXPECT_EQ(bytes.compare(bytes.size() - 8, 8, std::string(reinterpret_cast<const char*>(mcap::MAGIC), 8)), 0);

        record::RecordingReader r;
        ASSERT_EQ(r.open(path), 0);
        EXPECT_TRUE(r.complete());
        EXPECT_EQ(r.frame_count(), 20u);
        EXPECT_EQ(r.start_time(), 1000u);
        EXPECT_EQ(r.end_time(), 1000u + 1900u);
        EXPECT_EQ(r.max_payload(), 600u);
        ASSERT_EQ(r.topics().size(), 1u);
        EXPECT_EQ(r.topics()[0].topic, "/vora/S1/ch2/raw");
        EXPECT_EQ(r.topics()[0].schema, "vora_msgs/RawFrame");
        DiscoveryInfo d{};
        ASSERT_TRUE(r.camera(&d));
        EXPECT_STREQ(d.device_serial_number, "S1");
        EXPECT_EQ(d.camera_ip, 0x0A010203u);
        // Kept in wire order, as discovery keeps them.
        const uint8_t mac[6] = {0x02, 0x56, 0x4f, 0x52, 0x00, 0x01};
        EXPECT_EQ(std::memcmp(&d.camera_mac_high, mac, 2), 0);
        EXPECT_EQ(std::memcmp(&d.camera_mac_low, mac + 2, 4), 0);
        std::string name, xml;
        ASSERT_TRUE(r.description(&name, &xml));
        EXPECT_EQ(name, "camera.xml");
        EXPECT_EQ(xml, "<RegisterDescription/>");

        std::vector<char> expected, got(600);
        for (int i = 0; i < 20; ++i) {
            PhotoInfo f{};
            f.pixel = got.data();
            uint64_t at = 0;
            ASSERT_EQ(r.next_frame(&f, got.size(), &at), 0) << i;
            const PhotoInfo want = depth_frame(expected, 10, 10, static_cast<uint16_t>(i + 1));
            expected[0] = static_cast<char>(i);
            EXPECT_EQ(at, 1000u + 100u * i);
            EXPECT_EQ(f.block_id, want.block_id);
            EXPECT_EQ(f.timestamp_low, want.timestamp_low);
            EXPECT_EQ(f.timestamp_high, want.timestamp_high);
            EXPECT_EQ(f.stream_channel_index_, 2);
            EXPECT_EQ(f.cloud_unit, 10u);
            EXPECT_EQ(f.roi.size_x, 10u);
            EXPECT_EQ(std::memcmp(got.data(), expected.data(), 600), 0) << i;
        }
        PhotoInfo end{};
        end.pixel = got.data();
        EXPECT_EQ(r.next_frame(&end, got.size(), nullptr), VORA_ERR_RECORDING_END);

        // Seeking by time starts at the first frame received then or later.
        r.seek(1000u + 100u * 15 - 1);
        PhotoInfo f{};
        f.pixel = got.data();
        ASSERT_EQ(r.next_frame(&f, got.size(), nullptr), 0);
        EXPECT_EQ(f.block_id, 16);

        // A buffer too small is refused with the size needed, and the frame waits.
        std::vector<char> small(10);
        f.pixel = small.data();
        EXPECT_EQ(r.next_frame(&f, small.size(), nullptr), VORA_ERR_INVALID_ARG);
        EXPECT_EQ(f.payload_size, 600u);
        f.pixel = got.data();
        ASSERT_EQ(r.next_frame(&f, got.size(), nullptr), 0);
        EXPECT_EQ(f.block_id, 17);
        std::remove(path.c_str());
    }
}

TEST(Mcap, CompressionShrinksRepetitiveFrames)
{
    const std::string plain = temp_path("p.mcap"), packed = temp_path("z.mcap");
    write_sample(plain, false, 30, 1 << 20);
    write_sample(packed, true, 30, 1 << 20);
    EXPECT_LT(slurp(packed).size() * 2, slurp(plain).size());
    std::remove(plain.c_str());
    std::remove(packed.c_str());
}

// With zstd, chunks may also be stored as they are (a writer that falls
// behind does so); written-out pages dropped from the page cache as the file
// grows. Neither changes what reads back.
TEST(Mcap, StoredAndCompressedChunksMixedAndWrittenBehindReadBack)
{
    const std::string path = temp_path("mixed.mcap");
    mcap::McapWriter w;
    mcap::WriterOptions o;
    o.zstd = true;
    o.chunk_size = 1;  // a chunk a message
    o.write_behind = 4096;
    ASSERT_EQ(w.open(path, o), 0);
    const uint16_t schema = w.add_schema(rosmsg::RAW_FRAME_NAME, "ros1msg", rosmsg::raw_frame_schema());
    const uint16_t channel = w.add_channel(schema, "/vora/S1/ch2/raw", "ros1", {{"payload_size", "600"}});
    std::vector<std::vector<char>> sent;
    std::vector<uint8_t> head;
    for (int i = 0; i < 40; ++i) {
        w.compress_chunks(i % 3 != 0);
        std::vector<char> pixels;
        PhotoInfo f = depth_frame(pixels, 10, 10, static_cast<uint16_t>(i + 1));
        pixels[7] = static_cast<char>(i);
        rosmsg::encode_raw_frame(head, static_cast<uint32_t>(i), "vora/S1/ch2", f, 0);
        const mcap::Piece pieces[] = {{head.data(), head.size()}, {pixels.data(), pixels.size()}};
        w.add_message(channel, 1000u + static_cast<uint64_t>(i), f.timestamp_low, pieces, 2);
        sent.push_back(pixels);
    }
    EXPECT_EQ(w.chunks_stored(), 14u);
    ASSERT_EQ(w.close(), 0);

    mcap::McapReader m;
    ASSERT_EQ(m.open(path), mcap::ReadStatus::Ok);
    size_t zstd = 0;
    for (const mcap::ChunkRef& c : m.chunks())
        zstd += c.zstd;
    EXPECT_EQ(m.chunks().size(), 40u);
    EXPECT_EQ(zstd, 26u);
    record::RecordingReader r;
    ASSERT_EQ(r.open(path), 0);
    std::vector<char> buf(600);
    for (const std::vector<char>& want : sent) {
        PhotoInfo f{};
        f.pixel = buf.data();
        ASSERT_EQ(r.next_frame(&f, buf.size(), nullptr), 0);
        EXPECT_EQ(buf, want);
    }
    std::remove(path.c_str());
}

TEST(BlockGaps, CountsSkippedIdsAcrossTheWrapNotRestarts)
{
    // One step is what the receiver takes for the next id, at the wrap too.
    for (uint16_t id : {1, 2, 1000, 0x7FFF, 0xFFFE, 0xFFFF})
        EXPECT_EQ(record::BlockGaps::forward_steps(id, gvsp::next_block_id(id)), 1u) << id;
    record::BlockGaps g;
    for (uint16_t id : {65532, 65533, 65535, 2, 3, 3, 5})
        g.add(id);
    EXPECT_EQ(g.gaps(), 3u);     // 65534; 1 (0 is no id); 4
    EXPECT_EQ(g.missing(), 3u);  // a repeated id is no gap
    // A count that went back (the camera restarted it) is not a gap.
    record::BlockGaps restarted;
    for (uint16_t id : {400, 401, 1, 2, 4})
        restarted.add(id);
    EXPECT_EQ(restarted.gaps(), 1u);
    EXPECT_EQ(restarted.missing(), 1u);
}

// The recorder fed through a stream's frame pool, as a receive thread would,
// with a hook that holds its writing up: frames that find the queue full
// are dropped, counted per channel, and leave gaps in the recorded block
// ids; the file keeps those figures.
class RecorderTest : public ::testing::Test {
protected:
    // Hands a 10 x 10 depth frame over to the pool (and so to the
    // recorder's tap), then captures it, as the tool's capture threads do.
    void send(uint16_t channel, uint16_t block)
    {
        PhotoInfo* f = pool.obtain();
        ASSERT_NE(f, nullptr);
        char* pixel = f->pixel;
        std::vector<char> pixels;
        PhotoInfo info = depth_frame(pixels, 10, 10, block);
        pixels[9] = static_cast<char>(block);
        info.stream_channel_index_ = channel;
        std::memcpy(pixel, pixels.data(), pixels.size());
        info.pixel = pixel;
        *f = info;
        pool.deliver(f, 0);
        PhotoInfo* captured = static_cast<PhotoInfo*>(async_queue_try_pop(pool.ready_queue));
        ASSERT_EQ(captured, f);
        pool.recycle(captured);
    }

    record::RecordingSetup setup(bool zstd, size_t queue)
    {
        record::RecordingSetup s;
        s.path = path;
        s.zstd = zstd;
        s.channels = 0b101;
        s.queue_frames = queue;
        s.before_write = [this](const PhotoInfo&) {
            std::unique_lock<std::mutex> lock(mutex);
            ++held;
            changed.notify_all();
            changed.wait(lock, [&] { return open; });
        };
        return s;
    }
    // Waits until the recorder holds a frame in the hook.
    bool holding()
    {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(60), [&] { return held > 0; });
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        changed.notify_all();
    }
    ~RecorderTest() override
    {
        // A failed check must not leave the recorder held in the hook.
        release();
        pool.detach_tap();
        rec.stop();
        std::remove(path.c_str());
    }

    const std::string path = temp_path("recorder.mcap");
    std::atomic<uint32_t> budget{64};
    cameralog log;
    FramePool pool{600, budget, &log};
    std::mutex mutex;
    std::condition_variable changed;
    int held = 0;
    bool open = false;
    record::Recorder rec;
};

TEST_F(RecorderTest, DroppedFramesAndGapsPerChannelKeptInTheFile)
{
    ASSERT_EQ(rec.start(setup(false, 2)), 0);
    pool.attach_tap(rec.tap());
    send(0, 1);
    ASSERT_TRUE(holding());  // taken, and held in the hook
    send(0, 2);              // these two wait in the queue
    send(2, 1);
    send(0, 3);  // these find it full
    send(0, 4);
    send(2, 2);
    release();
    ASSERT_TRUE(eventually([&] { return rec.frames_written() == 3; }, std::chrono::seconds(60)));
    send(0, 5);
    send(2, 3);
    ASSERT_TRUE(eventually([&] { return rec.frames_written() == 5; }, std::chrono::seconds(60)));
    pool.detach_tap();
    ASSERT_EQ(rec.stop(), 0);
    EXPECT_EQ(rec.frames_dropped(), 3u);

    record::ChannelFigures f;
    EXPECT_FALSE(rec.channel_figures(1, &f));  // not recorded
    ASSERT_TRUE(rec.channel_figures(0, &f));
    EXPECT_EQ(f.frames, 3u);
    EXPECT_EQ(f.dropped, 2u);
    EXPECT_EQ(f.gaps, 1u);
    EXPECT_EQ(f.missing, 2u);
    ASSERT_TRUE(rec.channel_figures(2, &f));
    EXPECT_EQ(f.frames, 2u);
    EXPECT_EQ(f.dropped, 1u);
    EXPECT_EQ(f.gaps, 1u);
    EXPECT_EQ(f.missing, 1u);

    const auto expect_channels = [](record::RecordingReader& r, int64_t dropped0, int64_t dropped2) {
        const std::vector<record::ChannelSummary>& c = r.channels();
        ASSERT_EQ(c.size(), 2u);
        EXPECT_EQ(c[0].channel, 0u);
        EXPECT_EQ(c[0].frames, 3u);
        EXPECT_EQ(c[0].dropped, dropped0);
        EXPECT_EQ(c[0].gaps, 1);
        EXPECT_EQ(c[0].missing, 2);
        EXPECT_EQ(c[1].channel, 2u);
        EXPECT_EQ(c[1].frames, 2u);
        EXPECT_EQ(c[1].dropped, dropped2);
        EXPECT_EQ(c[1].gaps, 1);
        EXPECT_EQ(c[1].missing, 1);
    };
    {
        record::RecordingReader r;
        ASSERT_EQ(r.open(path), 0);
        expect_channels(r, 2, 1);
        // Reading the figures leaves the frames to read from the start.
        std::vector<char> buf(600);
        PhotoInfo first{};
        first.pixel = buf.data();
        ASSERT_EQ(r.next_frame(&first, buf.size(), nullptr), 0);
        EXPECT_EQ(first.block_id, 1);
    }
    // Cut where the figures begin, as a recording whose process was killed:
    // nothing says what was dropped, the gaps are found from the frames.
    const std::string bytes = slurp(path);
    const size_t name = bytes.find(record::META_RECORDING_END);
    ASSERT_NE(name, std::string::npos);
    const size_t cut = name - 4 - mcap::RECORD_PREFIX_LEN;
    ASSERT_EQ(static_cast<uint8_t>(bytes[cut]), mcap::OP_METADATA);
    record::RecordingReader r;
    ASSERT_EQ(r.open_memory(reinterpret_cast<const uint8_t*>(bytes.data()), cut), 0);
    EXPECT_FALSE(r.complete());
    expect_channels(r, -1, -1);
}

// With zstd, frames that arrive while the recorder is behind are stored
// uncompressed rather than dropped; the file reads back whole.
TEST_F(RecorderTest, FallingBehindStoresUncompressedInsteadOfDropping)
{
    ASSERT_EQ(rec.start(setup(true, 8)), 0);
    pool.attach_tap(rec.tap());
    send(0, 1);
    ASSERT_TRUE(holding());
    for (uint16_t block = 2; block <= 9; ++block)
        send(0, block);
    release();
    ASSERT_TRUE(eventually([&] { return rec.frames_written() == 9; }, std::chrono::seconds(60)));
    pool.detach_tap();
    ASSERT_EQ(rec.stop(), 0);
    EXPECT_EQ(rec.frames_dropped(), 0u);
    // Stored while a quarter of the queue (2 frames) or more waited behind.
    EXPECT_EQ(rec.frames_stored(), 7u);

    mcap::McapReader m;
    ASSERT_EQ(m.open(path), mcap::ReadStatus::Ok);
    bool stored = false, compressed = false;
    for (const mcap::ChunkRef& c : m.chunks())
        (c.zstd ? compressed : stored) = true;
    EXPECT_TRUE(stored && compressed);
    record::RecordingReader r;
    ASSERT_EQ(r.open(path), 0);
    std::vector<char> buf(600);
    for (uint16_t block = 1; block <= 9; ++block) {
        PhotoInfo f{};
        f.pixel = buf.data();
        ASSERT_EQ(r.next_frame(&f, buf.size(), nullptr), 0);
        EXPECT_EQ(f.block_id, block);
        EXPECT_EQ(buf[9], static_cast<char>(block));
    }
}

// Every prefix of a file opens or is refused; none crashes, and a prefix
// holds the frames of the whole chunks it contains.
// Every message of a file by topic, copied, in file order.
std::map<std::string, std::vector<std::vector<uint8_t>>> messages_by_topic(const std::string& path, mcap::McapReader& r)
{
    std::map<std::string, std::vector<std::vector<uint8_t>>> out;
    EXPECT_EQ(r.open(path), mcap::ReadStatus::Ok);
    mcap::Message m;
    while (r.next(&m) > 0)
        out[r.channels().at(m.channel).topic].emplace_back(m.data, m.data + m.len);
    return out;
}

// The cloud's points: the 10 x 10 x 3 floats just before its one-byte tail,
// in either profile.
void expect_metres_and_nan(const std::vector<uint8_t>& message)
{
    const size_t points = 100;
    ASSERT_GT(message.size(), points * 12 + 1);
    std::vector<float> xyz(points * 3);
    std::memcpy(xyz.data(), message.data() + message.size() - 1 - points * 12, points * 12);
    for (size_t i = 0; i < points; ++i) {
        SCOPED_TRACE(i);
        if (i % 3 == 0) {  // z = 0: no point
            EXPECT_TRUE(std::isnan(xyz[3 * i]) && std::isnan(xyz[3 * i + 1]) && std::isnan(xyz[3 * i + 2]));
        } else {  // 10 units a millimetre (y of point 1 carries the block id)
            EXPECT_FLOAT_EQ(xyz[3 * i + 2], (1000.0f + i) / 10000.0f);
            EXPECT_FLOAT_EQ(xyz[3 * i], (3.0f * i - 100) / 10000.0f);
        }
    }
    EXPECT_EQ(message.back(), 0);  // is_dense false
}

TEST_F(RecorderTest, CloudsInMetresWithNaNInBothProfiles)
{
    release();
    record::RecordingSetup s = setup(false, 8);
    s.channels = 0b001;
    ASSERT_EQ(rec.start(s), 0);
    pool.attach_tap(rec.tap());
    send(0, 1);
    pool.detach_tap();
    ASSERT_EQ(rec.stop(), 0);
    mcap::McapReader r;
    auto topics = messages_by_topic(path, r);
    EXPECT_EQ(r.profile(), "ros1");
    ASSERT_EQ(topics["/vora/camera/ch0"].size(), 1u);
    expect_metres_and_nan(topics["/vora/camera/ch0"][0]);
    const mcap::Metadata* m = r.find_metadata(record::META_RECORDING);
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->entries.at("cloud_units"), "m");  // what tells these files from the millimetre ones before
}

TEST_F(RecorderTest, Ros2ProfileTopicsFramesAndWhatItCannotKnow)
{
    release();
    record::RecordingSetup s = setup(false, 8);
    s.ros2 = true;
    s.ros_name = "cam";
    s.channels = 0b101;
    s.formats[0] = s.formats[2] = PIXEL_FORMAT_COORD3D_ABC16;
    s.sensors[0] = 0;  // channel 2's sensor is not known: no camera model, no pose for it
    CameraParameter p{};
    p.K[0] = p.K[4] = 100;
    p.K[2] = 5;
    p.K[5] = 6;
    p.K[8] = 1;
    p.R[0] = p.R[4] = p.R[8] = 1;
    s.calibration = {p};
    ASSERT_EQ(rec.start(s), 0);
    pool.attach_tap(rec.tap());
    send(2, 1);  // the second depth channel first: roles follow channel numbers, not arrival
    send(0, 1);
    send(0, 2);
    pool.detach_tap();
    ASSERT_EQ(rec.stop(), 0);
    mcap::McapReader r;
    auto topics = messages_by_topic(path, r);
    EXPECT_EQ(r.profile(), "ros2");
    for (const auto& [id, ch] : r.channels()) {
        SCOPED_TRACE(ch.topic);
        EXPECT_EQ(ch.message_encoding, "cdr");
        EXPECT_EQ(r.schemas().at(ch.schema_id).encoding, "ros2msg");
        EXPECT_EQ(ch.metadata.count("offered_qos_profiles"), 1u);
    }
    std::vector<std::string> names;
    for (const auto& [topic, list] : topics)
        names.push_back(topic + "=" + std::to_string(list.size()));
    EXPECT_EQ(names, (std::vector<std::string>{"/cam/depth/camera_info=2", "/cam/depth/image_raw=2",
                                               "/cam/depth/points=2", "/cam/depth2/image_raw=1", "/cam/depth2/points=1",
                                               "/tf_static=1", "/vora/camera/ch0/raw=2", "/vora/camera/ch2/raw=1"}));
    // Both clouds in the first depth sensor's frame; an image in its own.
    const auto frame_id = [](const std::vector<uint8_t>& m) {
        uint32_t n = 0;
        std::memcpy(&n, m.data() + 12, 4);
        return std::string(reinterpret_cast<const char*>(m.data()) + 16, n - 1);
    };
    EXPECT_EQ(frame_id(topics["/cam/depth2/points"][0]), "cam_depth_optical_frame");
    EXPECT_EQ(frame_id(topics["/cam/depth/points"][0]), "cam_depth_optical_frame");
    EXPECT_EQ(frame_id(topics["/cam/depth2/image_raw"][0]), "cam_depth2_optical_frame");
    expect_metres_and_nan(topics["/cam/depth2/points"][0]);
    // The depth image in millimetres, 0 where there is none.
    const std::vector<uint8_t>& depth = topics["/cam/depth/image_raw"][0];
    ASSERT_GE(depth.size(), 200u);
    uint16_t mm[100];
    std::memcpy(mm, depth.data() + depth.size() - 200, 200);
    EXPECT_EQ(mm[0], 0);
    EXPECT_EQ(mm[2], 100);  // 1002 units of a tenth millimetre, rounded
    // The one pose known, of cam_depth_optical_frame in cam_link.
    const std::vector<uint8_t>& tf = topics["/tf_static"][0];
    const std::string text(tf.begin(), tf.end());
    EXPECT_NE(text.find(std::string("cam_link\0", 9)), std::string::npos);
    EXPECT_NE(text.find("cam_depth_optical_frame"), std::string::npos);
    EXPECT_EQ(text.find("cam_depth2_optical_frame"), std::string::npos);
    // rosbag2's account of the bag: the messages per topic.
    const mcap::Metadata* bag = r.find_metadata("rosbag2");
    ASSERT_NE(bag, nullptr);
    const std::string& yaml = bag->entries.at("serialized_metadata");
    EXPECT_NE(yaml.find("message_count: 12\n"), std::string::npos) << yaml;
    EXPECT_NE(yaml.find("name: \"/tf_static\"\n      type: tf2_msgs/msg/TFMessage"), std::string::npos) << yaml;

    // Replay reads the CDR raw frames as it reads ROS 1 ones.
    record::RecordingReader replay;
    ASSERT_EQ(replay.open(path), 0);
    EXPECT_EQ(replay.frame_count(), 3u);
    std::vector<char> got(600), want;
    PhotoInfo f{};
    f.pixel = got.data();
    ASSERT_EQ(replay.next_frame(&f, got.size(), nullptr), 0);
    depth_frame(want, 10, 10, 1);
    want[9] = 1;
    EXPECT_EQ(f.stream_channel_index_, 2);
    EXPECT_EQ(std::memcmp(got.data(), want.data(), 600), 0);
}

TEST(Mcap, FileCutAnywhereReadsUpToItsLastWholeChunk)
{
    for (bool zstd : {false, true}) {
        const std::string path = temp_path("cut.mcap");
        write_sample(path, zstd, 12, 1000);  // about a frame a chunk
        const std::string bytes = slurp(path);
        uint64_t previous = 0;
        for (size_t len = 0; len < bytes.size(); len += 7) {
            record::RecordingReader r;
            const int status = r.open_memory(reinterpret_cast<const uint8_t*>(bytes.data()), len);
            // Magic and the header record ("ros1", "libVoraSDK").
            if (len < 8 + 9 + 4 + 4 + 4 + 10) {
                EXPECT_EQ(status, VORA_ERR_RECORDING_FORMAT) << len;
                continue;
            }
            ASSERT_EQ(status, 0) << len;
            EXPECT_GE(r.frame_count(), previous) << len;
            previous = r.frame_count();
            std::vector<char> buf(600);
            PhotoInfo f{};
            uint64_t read = 0;
            for (;;) {
                f.pixel = buf.data();
                const int s = r.next_frame(&f, buf.size(), nullptr);
                if (s != 0) {
                    EXPECT_EQ(s, VORA_ERR_RECORDING_END) << len;
                    break;
                }
                ++read;
            }
            EXPECT_EQ(read, r.frame_count()) << len;
        }
        EXPECT_EQ(previous, 12u);
        std::remove(path.c_str());
    }
}

std::vector<uint8_t> record_bytes(uint8_t opcode, const std::vector<uint8_t>& body)
{
    std::vector<uint8_t> out;
    mcap::ByteWriter w(out);
    w.u8(opcode);
    w.u64(body.size());
    w.bytes(body.data(), body.size());
    return out;
}

std::vector<uint8_t> header_only()
{
    std::vector<uint8_t> file(mcap::MAGIC, mcap::MAGIC + mcap::MAGIC_LEN);
    std::vector<uint8_t> header;
    mcap::ByteWriter(header).string("ros1");
    mcap::ByteWriter(header).string("x");
    const auto rec = record_bytes(mcap::OP_HEADER, header);
    file.insert(file.end(), rec.begin(), rec.end());
    return file;
}

int open_bytes(const std::vector<uint8_t>& bytes)
{
    record::RecordingReader r;
    return r.open_memory(bytes.data(), bytes.size());
}

TEST(Mcap, HostileFilesAreRefused)
{
    EXPECT_EQ(open_bytes({}), VORA_ERR_RECORDING_FORMAT);
    EXPECT_EQ(open_bytes({'n', 'o', 't', ' ', 'm', 'c', 'a', 'p', 0, 0}), VORA_ERR_RECORDING_FORMAT);
    EXPECT_EQ(open_bytes(header_only()), 0);

    // The first record must be the header.
    std::vector<uint8_t> f(mcap::MAGIC, mcap::MAGIC + mcap::MAGIC_LEN);
    auto schema = record_bytes(mcap::OP_SCHEMA, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    f.insert(f.end(), schema.begin(), schema.end());
    EXPECT_EQ(open_bytes(f), VORA_ERR_RECORDING_FORMAT);

    // An opcode MCAP does not define; a private one is skipped.
    for (uint8_t op : {uint8_t(0x00), uint8_t(0x10), uint8_t(0x7F)}) {
        auto file = header_only();
        const auto rec = record_bytes(op, {1, 2, 3});
        file.insert(file.end(), rec.begin(), rec.end());
        EXPECT_EQ(open_bytes(file), VORA_ERR_RECORDING_FORMAT) << int(op);
    }
    auto priv = header_only();
    const auto p = record_bytes(0x80, {1, 2, 3});
    priv.insert(priv.end(), p.begin(), p.end());
    EXPECT_EQ(open_bytes(priv), 0);

    // A string whose length runs past its record.
    auto lying = header_only();
    const auto ch = record_bytes(mcap::OP_CHANNEL, {0, 0, 1, 0, 0xFF, 0xFF, 0xFF, 0x7F, 'a'});
    lying.insert(lying.end(), ch.begin(), ch.end());
    EXPECT_EQ(open_bytes(lying), VORA_ERR_RECORDING_FORMAT);

    // A chunk whose sizes disagree with its record, or that claims more than
    // a reader takes, or an unknown compression.
    auto chunk = [](uint64_t uncompressed, const std::string& compression, uint64_t records_len, size_t real) {
        std::vector<uint8_t> body;
        mcap::ByteWriter w(body);
        w.u64(0);
        w.u64(0);
        w.u64(uncompressed);
        w.u32(0);
        w.string(compression);
        w.u64(records_len);
        // Filled with one private record (skipped by readers) where it fits.
        const size_t at = body.size();
        body.resize(body.size() + real, 0);
        if (real >= 9) {
            body[at] = 0x80;
            body[at + 1] = static_cast<uint8_t>(real - 9);
        }
        auto file = header_only();
        const auto rec = record_bytes(mcap::OP_CHUNK, body);
        file.insert(file.end(), rec.begin(), rec.end());
        return file;
    };
    EXPECT_EQ(open_bytes(chunk(10, "", 10, 10)), 0);
    EXPECT_EQ(open_bytes(chunk(10, "", 11, 10)), VORA_ERR_RECORDING_FORMAT);
    EXPECT_EQ(open_bytes(chunk(12, "", 10, 10)), VORA_ERR_RECORDING_FORMAT);
    EXPECT_EQ(open_bytes(chunk(1ULL << 40, "zstd", 10, 10)), VORA_ERR_RECORDING_FORMAT);
    EXPECT_EQ(open_bytes(chunk(10, "lz4", 10, 10)), VORA_ERR_RECORDING_FORMAT);

    // A chunk of garbage (records with lying lengths inside) opens but its
    // frames are damaged.
    {
        auto file = chunk(10, "", 10, 10);
        file[file.size() - 10] = mcap::OP_MESSAGE;
        file[file.size() - 9] = 0xFF;  // length far past the chunk
        record::RecordingReader r;
        ASSERT_EQ(r.open_memory(file.data(), file.size()), VORA_ERR_RECORDING_FORMAT);
    }
    // zstd bytes that are not zstd, claimed to unpack to a huge size.
    {
        auto file = chunk(1u << 20, "zstd", 10, 10);
        record::RecordingReader r;
        EXPECT_EQ(r.open_memory(file.data(), file.size()), VORA_ERR_RECORDING_FORMAT);
    }
}

TEST(RosMessages, CloudInMetresWithNaNWhereNoDepth)
{
    // The recorder's clouds go through the library's conversion (10 units per millimetre here).
    std::vector<char> pixels;
    const PhotoInfo f = depth_frame(pixels, 3, 2, 1);
    std::vector<float> m(3 * 6);
    imaging::raw_points_to_metres(f.pixel, 6, f.cloud_unit, m.data());
    EXPECT_TRUE(std::isnan(m[0]) && std::isnan(m[1]) && std::isnan(m[2]));  // point 0: z = 0
    EXPECT_FLOAT_EQ(m[3], (1 * 3 - 100) / 10000.0f);
    EXPECT_FLOAT_EQ(m[4], -1 / 10000.0f);
    EXPECT_FLOAT_EQ(m[5], 1001 / 10000.0f);

    std::vector<uint8_t> head, tail;
    rosmsg::encode_pointcloud2(head, tail, 7, 5'000'000'123ULL, "vora/S/ch0", 3, 2);
    mcap::ByteReader r(head.data(), head.size());
    EXPECT_EQ(r.u32(), 7u);  // seq
    EXPECT_EQ(r.u32(), 5u);  // stamp seconds
    EXPECT_EQ(r.u32(), 123u);
    EXPECT_EQ(r.string(), "vora/S/ch0");
    EXPECT_EQ(r.u32(), 2u);  // height
    EXPECT_EQ(r.u32(), 3u);  // width
    ASSERT_EQ(r.u32(), 3u);  // fields
    for (const char* name : {"x", "y", "z"}) {
        EXPECT_EQ(r.string(), name);
        r.u32();
        EXPECT_EQ(r.u8(), 7);  // FLOAT32
        EXPECT_EQ(r.u32(), 1u);
    }
    EXPECT_EQ(r.u8(), 0);     // little-endian
    EXPECT_EQ(r.u32(), 12u);  // point step
    EXPECT_EQ(r.u32(), 36u);  // row step
    EXPECT_EQ(r.u32(), 72u);  // data bytes
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.remaining(), 0u);
    EXPECT_EQ(tail, std::vector<uint8_t>{0});  // not dense
}

TEST(RosMessages, RawFrameRoundTripAndLies)
{
    std::vector<char> pixels;
    PhotoInfo f = depth_frame(pixels, 4, 4, 9);
    f.roi.offset_x = 8;
    f.pixel_length = 77;
    std::vector<uint8_t> msg;
    rosmsg::encode_raw_frame(msg, 1, "id", f, 3);
    msg.insert(msg.end(), pixels.begin(), pixels.end());
    PhotoInfo back{};
    uint32_t status = 0;
    const uint8_t* payload = nullptr;
    ASSERT_TRUE(rosmsg::decode_raw_frame(msg.data(), msg.size(), &back, &status, &payload));
    EXPECT_EQ(status, 3u);
    EXPECT_EQ(std::memcmp(&back.pixel_length, &f.pixel_length, sizeof(PhotoInfo) - offsetof(PhotoInfo, pixel_length)),
              0);
    EXPECT_EQ(std::memcmp(payload, pixels.data(), pixels.size()), 0);
    // A payload shorter or longer than it says is not a frame.
    EXPECT_FALSE(rosmsg::decode_raw_frame(msg.data(), msg.size() - 1, &back, &status, &payload));
    msg.push_back(0);
    EXPECT_FALSE(rosmsg::decode_raw_frame(msg.data(), msg.size(), &back, &status, &payload));
}

}  // namespace
