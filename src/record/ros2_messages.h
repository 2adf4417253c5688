// The messages of a ROS 2 recording, serialised as ROS 2 puts them on the
// wire and rosbag2 stores them: plain CDR (XCDR1) little-endian, the 4-byte
// encapsulation header 00 01 00 00 first, each field aligned to its size
// counted from the end of that header. The layouts are those of
// tools/ros2/idl/ros2_interfaces.idl, field for field (the one definition
// the bridge shares); the schema texts are their ros2msg form, the type's
// definition followed by each type it uses, as rosbag2 writes them.
#ifndef VORA_ROS2_MESSAGES_H
#define VORA_ROS2_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/ros_conventions.h"
#include "vora_base_type.h"

namespace ros2msg {

// Type names as rosbag2 names them (pkg/msg/Name).
extern const char* const POINTCLOUD2_TYPE;
extern const char* const IMAGE_TYPE;
extern const char* const CAMERA_INFO_TYPE;
extern const char* const TF_MESSAGE_TYPE;
extern const char* const RAW_FRAME_TYPE;
// The ros2msg schema text of one of the types above; empty for any other.
std::string schema(const std::string& type);

// Appends CDR fields to a byte vector. A writer started on an empty message
// writes the encapsulation header; one that continues a message (the part
// after a large array kept elsewhere) is told how far into the message it
// starts, so that its alignment is the message's.
class CdrWriter {
public:
    explicit CdrWriter(std::vector<uint8_t>& out);  // empties out, writes the header
    CdrWriter(std::vector<uint8_t>& out, size_t message_offset);
    void u8(uint8_t v) { out_.push_back(v); }
    void boolean(bool v) { out_.push_back(v ? 1 : 0); }
    void u16(uint16_t v) { put(v, 2); }
    void u32(uint32_t v) { put(v, 4); }
    void i32(int32_t v) { put(static_cast<uint32_t>(v), 4); }
    void u64(uint64_t v) { put(v, 8); }
    void f64(double v);
    void f64s(const double* v, size_t n);  // a fixed array: no length
    void string(const std::string& s);     // length with its NUL, the bytes, the NUL
    void sequence(uint32_t n) { u32(n); }  // a sequence's length; its elements follow
    void bytes(const void* data, size_t len);
    // Bytes since the encapsulation header.
    size_t position() const { return offset_ + out_.size() - start_; }

private:
    void align(size_t n);
    void put(uint64_t v, size_t n);
    std::vector<uint8_t>& out_;
    size_t start_, offset_;
};

// builtin_interfaces/Time of a time in nanoseconds since the epoch.
struct Stamp {
    int32_t sec;
    uint32_t nanosec;
};
Stamp stamp_of(uint64_t ns);

void encode_header(CdrWriter& w, uint64_t stamp_ns, const std::string& frame_id);

// A PointCloud2 of x, y, z float32 (point_step 12, organised, not dense)
// without its points: `head` ends with the data's length, the points
// (width x height x 12 bytes) follow it, then `tail`.
void encode_pointcloud2(std::vector<uint8_t>& head, std::vector<uint8_t>& tail, uint64_t stamp_ns,
                        const std::string& frame_id, uint32_t width, uint32_t height);
// An Image without its pixels, which follow `head` (nothing after them).
void encode_image(std::vector<uint8_t>& head, uint64_t stamp_ns, const std::string& frame_id, uint32_t width,
                  uint32_t height, const char* encoding, uint32_t step, size_t data_len);
// A CameraInfo: plumb_bob, binning 0 (none), an empty region (all of it).
void encode_camera_info(std::vector<uint8_t>& out, uint64_t stamp_ns, const std::string& frame_id, uint32_t width,
                        uint32_t height, const imaging::RosCameraModel& model);

struct Transform {
    std::string parent, child;
    imaging::RosPose pose;
};
// A TFMessage whose transforms all carry the one stamp.
void encode_tf_message(std::vector<uint8_t>& out, uint64_t stamp_ns, const std::vector<Transform>& transforms);

// A RawFrame (the lossless frame, as vora_msgs/RawFrame of a ROS 1
// recording) without its payload, which follows `head`.
void encode_raw_frame(std::vector<uint8_t>& head, uint64_t stamp_ns, const std::string& frame_id,
                      const PhotoInfo& frame, uint32_t status);
// Reads one: as rosmsg::decode_raw_frame. False for bytes that are not one.
bool decode_raw_frame(const uint8_t* data, size_t len, PhotoInfo* frame, uint32_t* status, const uint8_t** payload);

}  // namespace ros2msg

#endif
