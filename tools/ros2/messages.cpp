// The ROS 2 messages of a frame: filled from the frame and the camera's
// calibration, written on the channel's topics.
#include "messages.h"

#include <cmath>
#include <cstring>
#include <new>
#include <string>

#include "common.h"
#include "ros2_interfaces.h"
#include "ros_names.h"

namespace vora_ros2 {

using vora_tool::report;

bool write(Topic& topic, const void* sample)
{
    if (topic.reliable)
        settle(topic);
    const dds_return_t status = dds_write(topic.writer, sample);
    if (status == DDS_RETCODE_OK) {
        ++topic.published;
        return true;
    }
    // A reliable writer whose readers have not taken the previous sample
    // in time: the frame is skipped, the stream goes on.
    ++topic.failed;
    return false;
}

void settle(Topic& topic)
{
    // A reader that takes longer may lose the sample; it is counted so that
    // a gap a reader sees is accounted for.
    if (dds_wait_for_acks(topic.writer, kAckWait) == DDS_RETCODE_TIMEOUT)
        ++topic.unacknowledged;
}

void warn_once(Channel& ch, const std::string& kind, const std::string& message)
{
    for (const std::string& w : ch.warned)
        if (w == kind)
            return;
    ch.warned.push_back(kind);
    report(message);
}

namespace {

// sensor_msgs/PointField datatype FLOAT32.
constexpr uint8_t kFloat32 = 7;

std_msgs_msg_dds__Header_ header_of(const RosTime& stamp, std::string& frame_id)
{
    std_msgs_msg_dds__Header_ h{};
    h.stamp.sec = stamp.sec;
    h.stamp.nanosec = stamp.nanosec;
    h.frame_id = frame_id.data();
    return h;
}

void set_octets(dds_sequence_octet& seq, const void* data, size_t bytes)
{
    seq._buffer = static_cast<uint8_t*>(const_cast<void*>(data));
    seq._length = seq._maximum = static_cast<uint32_t>(bytes);
    seq._release = false;
}

struct CloudFields {
    char x[2] = "x", y[2] = "y", z[2] = "z", rgb[4] = "rgb";
    sensor_msgs_msg_dds__PointField_ fields[4] = {};
    explicit CloudFields(bool with_rgb)
    {
        char* names[4] = {x, y, z, rgb};
        for (uint32_t i = 0; i < 4; ++i)
            fields[i] = sensor_msgs_msg_dds__PointField_{names[i], 4 * i, kFloat32, 1};
        count = with_rgb ? 4 : 3;
    }
    uint32_t count;
};

uint8_t colour_byte(float value)
{
    if (!(value > 0))
        return 0;
    return value >= 255 ? 255 : static_cast<uint8_t>(std::lround(value));
}

void publish_depth(Camera& cam, Channel& ch, const RosTime& stamp);
void publish_colour(Camera& cam, Channel& ch, const RosTime& stamp);
void publish_info(Camera& cam, Channel& ch, const RosTime& stamp);
void publish_registered(Camera& cam, const Frame& cloud, const RosTime& stamp);

void publish_depth(Camera& cam, Channel& ch, const RosTime& stamp)
{
    const PhotoInfo& f = ch.publish.info;
    const size_t n = static_cast<size_t>(f.pixel_width) * f.pixel_height;
    cam.xyz.resize(3 * n);
    const int status = ConvertPointCloudToMetres(&f, cam.xyz.data(), cam.xyz.size());
    if (status != 0) {
        warn_once(ch, "cloud",
                  "camera " + cam.serial + " channel " + std::to_string(ch.stream.index) +
                      ": a cloud the library cannot convert (" + vora_tool::status_text(status) +
                      "); such frames are skipped");
        ++ch.points->failed;
        ++ch.image->failed;
        if (ch.info)
            ++ch.info->failed;
        if (ch.role == "depth" && cam.registered)
            ++cam.registered->failed;
        return;
    }
    // Every depth channel's cloud is given in the first depth sensor's frame.
    std::string cloud_frame = optical_frame(cam.name, "depth");
    CloudFields fields(false);
    sensor_msgs_msg_dds__PointCloud2_ cloud{};
    cloud.header = header_of(stamp, cloud_frame);
    cloud.height = f.pixel_height;
    cloud.width = f.pixel_width;
    cloud.fields._buffer = fields.fields;
    cloud.fields._length = cloud.fields._maximum = fields.count;
    cloud.fields._release = false;
    cloud.is_bigendian = false;
    cloud.point_step = 12;
    cloud.row_step = 12 * f.pixel_width;
    set_octets(cloud.data, cam.xyz.data(), 12 * n);
    cloud.is_dense = false;
    write(*ch.points, &cloud);

    cam.depth_mm.resize(n);
    std::string own_frame = optical_frame(cam.name, ch.role);
    if (ConvertPointCloudToDepthImage(&f, cam.depth_mm.data(), cam.depth_mm.size()) == 0) {
        char encoding[] = "16UC1";
        sensor_msgs_msg_dds__Image_ image{};
        image.header = header_of(stamp, own_frame);
        image.height = f.pixel_height;
        image.width = f.pixel_width;
        image.encoding = encoding;
        image.is_bigendian = 0;
        image.step = 2 * f.pixel_width;
        set_octets(image.data, cam.depth_mm.data(), 2 * n);
        write(*ch.image, &image);
    } else {
        ++ch.image->failed;
    }
    publish_info(cam, ch, stamp);
    if (ch.role == "depth" && cam.registered) {
        if (cam.have_colour)
            publish_registered(cam, ch.publish, stamp);
        else
            ++cam.registered->failed;  // no colour frame yet
    }
}

void publish_colour(Camera& cam, Channel& ch, const RosTime& stamp)
{
    PhotoInfo f = ch.publish.info;
    const size_t n = static_cast<size_t>(f.pixel_width) * f.pixel_height;
    const char* encoding_name = nullptr;
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(f.pixel);
    size_t size = 0;
    if (f.pixel_format == PIXEL_FORMAT_RGB8 && f.payload_size >= 3 * n) {
        encoding_name = "rgb8";
        size = 3 * n;
    } else if (f.pixel_format == PIXEL_FORMAT_MONO8 && f.payload_size >= n) {
        encoding_name = "mono8";
        size = n;
    } else if (f.pixel_format == PIXEL_FORMAT_RGB565P && f.payload_size >= 2 * n) {
        // Not among the library's conversions: 5 bits red (low), 6 green,
        // 5 blue, little-endian, each widened to 8 bits.
        cam.rgb.resize(3 * n);
        for (size_t i = 0; i < n; ++i) {
            const unsigned v = unsigned(bytes[2 * i]) | unsigned(bytes[2 * i + 1]) << 8;
            cam.rgb[3 * i] = static_cast<uint8_t>((v & 0x1F) << 3);
            cam.rgb[3 * i + 1] = static_cast<uint8_t>(((v >> 5) & 0x3F) << 2);
            cam.rgb[3 * i + 2] = static_cast<uint8_t>((v >> 11) << 3);
        }
        bytes = cam.rgb.data();
        encoding_name = "rgb8";
        size = 3 * n;
    } else if ((f.pixel_format == PIXEL_FORMAT_YUV422_8 && f.payload_size >= 2 * n) ||
               f.pixel_format == PIXEL_FORMAT_BAYER_RG8) {
        // Converted on a copy: YUYV grows in place to 3 bytes a pixel, and
        // Bayer replaces the buffer with one of the library's.
        const size_t need = std::max<size_t>(3 * n, f.payload_size);
        if (cam.converted_capacity < need) {
            char* bigger = static_cast<char*>(std::realloc(cam.converted, need));
            if (!bigger) {
                ++ch.image->failed;
                return;
            }
            cam.converted = bigger;
            cam.converted_capacity = need;
        }
        std::memcpy(cam.converted, f.pixel, f.payload_size);
        f.pixel = cam.converted;
        RawdataToRgb888(cam.index, &f);
        if (f.pixel != cam.converted) {
            cam.converted = f.pixel;
            cam.converted_capacity = f.payload_size;
        }
        if (f.pixel_format == PIXEL_FORMAT_RGB8 && f.payload_size >= 3 * n) {
            bytes = reinterpret_cast<const uint8_t*>(f.pixel);
            encoding_name = "rgb8";
            size = 3 * n;
        }
    }
    if (!encoding_name) {
        warn_once(ch, "format",
                  "camera " + cam.serial + " channel " + std::to_string(ch.stream.index) + ": " +
                      vora_tool::pixel_format_name(f.pixel_format) +
                      " frames cannot be published as an image; they are skipped");
        ++ch.image->failed;
        if (ch.info)
            ++ch.info->failed;
        return;
    }
    std::string own_frame = optical_frame(cam.name, ch.role);
    std::string encoding = encoding_name;
    sensor_msgs_msg_dds__Image_ image{};
    image.header = header_of(stamp, own_frame);
    image.height = f.pixel_height;
    image.width = f.pixel_width;
    image.encoding = encoding.data();
    image.is_bigendian = 0;
    image.step = static_cast<uint32_t>(size / (f.pixel_height ? f.pixel_height : 1));
    set_octets(image.data, bytes, size);
    write(*ch.image, &image);
    publish_info(cam, ch, stamp);

    if (ch.role == "color" && cam.registered) {
        // Kept for the next depth frame's registration, as published.
        Frame& c = cam.colour;
        c.data.assign(reinterpret_cast<const char*>(bytes), reinterpret_cast<const char*>(bytes) + size);
        c.info = f;
        c.info.pixel = c.data.data();
        c.info.payload_size = static_cast<uint32_t>(size);
        c.info.pixel_format = size == n ? PIXEL_FORMAT_MONO8 : PIXEL_FORMAT_RGB8;
        cam.have_colour = true;
    }
}

void publish_info(Camera& cam, Channel& ch, const RosTime& stamp)
{
    if (!ch.info)
        return;
    const PhotoInfo& f = ch.publish.info;
    sensor_msgs_msg_dds__CameraInfo_ info{};
    double d[5];
    if (GetRosCameraModel(&ch.calibration, f.roi.offset_x, f.roi.offset_y, info.k, d, info.r, info.p) != 0) {
        ++ch.info->failed;
        return;
    }
    std::string own_frame = optical_frame(cam.name, ch.role);
    char model[] = "plumb_bob";
    info.header = header_of(stamp, own_frame);
    info.height = f.pixel_height;
    info.width = f.pixel_width;
    info.distortion_model = model;
    info.d._buffer = d;
    info.d._length = info.d._maximum = 5;
    info.d._release = false;
    write(*ch.info, &info);
}

void publish_registered(Camera& cam, const Frame& cloud, const RosTime& stamp)
{
    const PhotoInfo& f = cloud.info;
    const size_t n = static_cast<size_t>(f.pixel_width) * f.pixel_height;
    cam.fused.resize(6 * n);
    PhotoInfo image = cam.colour.info;
    image.pixel = cam.colour.data.data();
    PhotoInfo depth = f;
    const int status = FusionImageTo3D(cam.index, &image, &depth, cam.fused.data());
    if (status != 0) {
        Channel* d = cam.channel_of("depth");
        warn_once(*d, "fusion",
                  "camera " + cam.serial + ": registration failed (" + vora_tool::status_text(status) +
                      "); depth_registered frames are skipped while it does");
        ++cam.registered->failed;
        return;
    }
    // x, y, z in metres as the plain cloud has them; rgb packed 0x00RRGGBB
    // into the float's bits, as ROS's point-cloud tools read it.
    cam.xyzrgb.resize(4 * n);
    for (size_t i = 0; i < n; ++i) {
        const float* v = &cam.fused[6 * i];
        float* out = &cam.xyzrgb[4 * i];
        out[0] = cam.xyz[3 * i];
        out[1] = cam.xyz[3 * i + 1];
        out[2] = cam.xyz[3 * i + 2];
        const uint32_t rgb = uint32_t(colour_byte(v[5])) << 16 | uint32_t(colour_byte(v[4])) << 8 | colour_byte(v[3]);
        std::memcpy(&out[3], &rgb, 4);
    }
    std::string cloud_frame = optical_frame(cam.name, "depth");
    CloudFields fields(true);
    sensor_msgs_msg_dds__PointCloud2_ msg{};
    msg.header = header_of(stamp, cloud_frame);
    msg.height = f.pixel_height;
    msg.width = f.pixel_width;
    msg.fields._buffer = fields.fields;
    msg.fields._length = msg.fields._maximum = fields.count;
    msg.fields._release = false;
    msg.is_bigendian = false;
    msg.point_step = 16;
    msg.row_step = 16 * f.pixel_width;
    set_octets(msg.data, cam.xyzrgb.data(), 16 * n);
    msg.is_dense = false;
    write(*cam.registered, &msg);
}

}  // namespace

void publish_frame(Camera& cam, Channel& ch, const RosTime& stamp)
{
    PhotoInfo& f = ch.publish.info;
    f.pixel = ch.publish.bytes();
    // The frame's size fields come from the camera: a frame whose pixels
    // cannot lie in what it brought is not converted (nor are buffers
    // sized after it).
    const unsigned long long pixels = static_cast<unsigned long long>(f.pixel_width) * f.pixel_height;
    const unsigned long long least = f.pixel_format == PIXEL_FORMAT_COORD3D_ABC16 ? 6 * pixels : pixels;
    if (pixels == 0 || f.payload_size > ch.publish.held() || least > f.payload_size) {
        warn_once(ch, "size",
                  "camera " + cam.serial + " channel " + std::to_string(ch.stream.index) + ": a " +
                      std::to_string(f.pixel_width) + "x" + std::to_string(f.pixel_height) + " frame of " +
                      std::to_string(f.payload_size) + " bytes does not hold its pixels; such frames are skipped");
        for (Topic* t : {ch.points, ch.image, ch.info})
            if (t)
                ++t->failed;
        if (ch.role == "depth" && cam.registered)
            ++cam.registered->failed;
    } else {
        try {
            if (f.pixel_format == PIXEL_FORMAT_COORD3D_ABC16)
                publish_depth(cam, ch, stamp);
            else
                publish_colour(cam, ch, stamp);
        } catch (const std::bad_alloc&) {
            warn_once(ch, "memory",
                      "camera " + cam.serial + " channel " + std::to_string(ch.stream.index) +
                          ": out of memory converting a frame; it is skipped");
            ++ch.image->failed;
        }
    }
}

}  // namespace vora_ros2
