#include "record/ros_messages.h"

#include "record/mcap_format.h"

namespace rosmsg {

namespace {

const char* const kSeparator = "================================================================================\n";

const char* const kHeaderDefinition = "uint32 seq\n"
                                      "time stamp\n"
                                      "string frame_id\n";

const char* const kPointFieldDefinition = "uint8 INT8    = 1\n"
                                          "uint8 UINT8   = 2\n"
                                          "uint8 INT16   = 3\n"
                                          "uint8 UINT16  = 4\n"
                                          "uint8 INT32   = 5\n"
                                          "uint8 UINT32  = 6\n"
                                          "uint8 FLOAT32 = 7\n"
                                          "uint8 FLOAT64 = 8\n"
                                          "string name\n"
                                          "uint32 offset\n"
                                          "uint8  datatype\n"
                                          "uint32 count\n";

constexpr uint8_t FLOAT32 = 7;

std::string with_header(const std::string& body, const std::string& more = "")
{
    return body + kSeparator + "MSG: std_msgs/Header\n" + kHeaderDefinition + more;
}

}  // namespace

const char* const POINTCLOUD2_NAME = "sensor_msgs/PointCloud2";
const char* const IMAGE_NAME = "sensor_msgs/Image";
const char* const RAW_FRAME_NAME = "vora_msgs/RawFrame";

std::string pointcloud2_schema()
{
    return with_header("std_msgs/Header header\n"
                       "uint32 height\n"
                       "uint32 width\n"
                       "sensor_msgs/PointField[] fields\n"
                       "bool is_bigendian\n"
                       "uint32 point_step\n"
                       "uint32 row_step\n"
                       "uint8[] data\n"
                       "bool is_dense\n",
                       std::string(kSeparator) + "MSG: sensor_msgs/PointField\n" + kPointFieldDefinition);
}

std::string image_schema()
{
    return with_header("std_msgs/Header header\n"
                       "uint32 height\n"
                       "uint32 width\n"
                       "string encoding\n"
                       "uint8 is_bigendian\n"
                       "uint32 step\n"
                       "uint8[] data\n");
}

std::string raw_frame_schema()
{
    return with_header("# One frame exactly as the camera sent it, with its frame record.\n"
                       "std_msgs/Header header\n"
                       "uint32 pixel_format\n"
                       "uint32 width\n"
                       "uint32 height\n"
                       "uint32 offset_x\n"
                       "uint32 offset_y\n"
                       "uint32 roi_width\n"
                       "uint32 roi_height\n"
                       "uint32 cloud_unit\n"
                       "uint32 pixel_length\n"
                       "uint64 timestamp_ns\n"
                       "uint16 block_id\n"
                       "uint16 channel\n"
                       "# 0 complete; otherwise packets were lost for good\n"
                       "uint32 status\n"
                       "uint8[] payload\n");
}

void encode_header(std::vector<uint8_t>& out, uint32_t seq, uint64_t stamp_ns, const std::string& frame_id)
{
    mcap::ByteWriter w(out);
    w.u32(seq);
    w.u32(static_cast<uint32_t>(stamp_ns / 1000000000ULL));
    w.u32(static_cast<uint32_t>(stamp_ns % 1000000000ULL));
    w.string(frame_id);
}

namespace {

// A message's fields up to its own: the buffers emptied, then the header.
mcap::ByteWriter begin_message(std::vector<uint8_t>& head, std::vector<uint8_t>& tail, uint32_t seq, uint64_t stamp_ns,
                               const std::string& frame_id)
{
    head.clear();
    tail.clear();
    encode_header(head, seq, stamp_ns, frame_id);
    return mcap::ByteWriter(head);
}

}  // namespace

void encode_pointcloud2(std::vector<uint8_t>& head, std::vector<uint8_t>& tail, uint32_t seq, uint64_t stamp_ns,
                        const std::string& frame_id, uint32_t width, uint32_t height)
{
    mcap::ByteWriter w = begin_message(head, tail, seq, stamp_ns, frame_id);
    w.u32(height);
    w.u32(width);
    w.u32(3);
    const char* names[] = {"x", "y", "z"};
    for (uint32_t i = 0; i < 3; ++i) {
        w.string(names[i]);
        w.u32(4 * i);
        w.u8(FLOAT32);
        w.u32(1);
    }
    w.u8(0);  // little-endian
    w.u32(12);
    w.u32(12 * width);
    w.u32(12 * width * height);
    mcap::ByteWriter(tail).u8(0);  // not dense: points without depth are NaN
}

void encode_image(std::vector<uint8_t>& head, std::vector<uint8_t>& tail, uint32_t seq, uint64_t stamp_ns,
                  const std::string& frame_id, uint32_t width, uint32_t height, const char* encoding, uint32_t step,
                  size_t data_len)
{
    mcap::ByteWriter w = begin_message(head, tail, seq, stamp_ns, frame_id);
    w.u32(height);
    w.u32(width);
    w.string(encoding);
    w.u8(0);
    w.u32(step);
    w.u32(static_cast<uint32_t>(data_len));
}

void encode_raw_frame(std::vector<uint8_t>& head, uint32_t seq, const std::string& frame_id, const PhotoInfo& frame,
                      uint32_t status)
{
    head.clear();
    encode_header(head, seq, frame.timestamp_low, frame_id);
    mcap::ByteWriter w(head);
    w.u32(frame.pixel_format);
    w.u32(frame.pixel_width);
    w.u32(frame.pixel_height);
    w.u32(frame.roi.offset_x);
    w.u32(frame.roi.offset_y);
    w.u32(frame.roi.size_x);
    w.u32(frame.roi.size_y);
    w.u32(frame.cloud_unit);
    w.u32(frame.pixel_length);
    w.u64(frame.timestamp_low);
    w.u16(frame.block_id);
    w.u16(frame.stream_channel_index_);
    w.u32(status);
    w.u32(frame.payload_size);
}

bool decode_raw_frame(const uint8_t* data, size_t len, PhotoInfo* frame, uint32_t* status, const uint8_t** payload)
{
    mcap::ByteReader r(data, len);
    r.u32();  // seq
    r.u32();  // stamp
    r.u32();
    r.string();  // frame id
    PhotoInfo f{};
    f.pixel_format = r.u32();
    f.pixel_width = r.u32();
    f.pixel_height = r.u32();
    f.roi.offset_x = r.u32();
    f.roi.offset_y = r.u32();
    f.roi.size_x = r.u32();
    f.roi.size_y = r.u32();
    f.cloud_unit = r.u32();
    f.pixel_length = r.u32();
    f.timestamp_low = r.u64();
    f.timestamp_high = f.timestamp_low >> 32;
    f.block_id = r.u16();
    f.stream_channel_index_ = r.u16();
    const uint32_t st = r.u32();
    f.payload_size = r.u32();
    const uint8_t* p = r.take(f.payload_size);
    if (!r.ok() || !p || r.remaining() != 0)
        return false;
    f.pixel = frame->pixel;
    *frame = f;
    if (status)
        *status = st;
    *payload = p;
    return true;
}

}  // namespace rosmsg
