// The messages of a recording in ROS 1 serialisation: point clouds as
// sensor_msgs/PointCloud2 (x, y, z float32 in metres, organised, a point
// without depth as NaN), colour frames as sensor_msgs/Image (rgb8 or
// mono8), and every frame losslessly as vora_msgs/RawFrame: the payload as
// received with the fields of its frame record.
#ifndef VORA_ROS_MESSAGES_H
#define VORA_ROS_MESSAGES_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "vora_base_type.h"

namespace rosmsg {

extern const char* const POINTCLOUD2_NAME;
extern const char* const IMAGE_NAME;
extern const char* const RAW_FRAME_NAME;
// The ros1msg schema texts (the type's definition, then its dependencies).
std::string pointcloud2_schema();
std::string image_schema();
std::string raw_frame_schema();

// std_msgs/Header: sequence, stamp in nanoseconds, frame id.
void encode_header(std::vector<uint8_t>& out, uint32_t seq, uint64_t stamp_ns, const std::string& frame_id);

// A PointCloud2 message without its point data: `head` ends with the data
// array's length, `tail` is what follows the data. The points are
// width x height x 3 floats.
void encode_pointcloud2(std::vector<uint8_t>& head, std::vector<uint8_t>& tail, uint32_t seq, uint64_t stamp_ns,
                        const std::string& frame_id, uint32_t width, uint32_t height);

// An Image message without its pixels (as for the cloud); step is bytes per row.
void encode_image(std::vector<uint8_t>& head, std::vector<uint8_t>& tail, uint32_t seq, uint64_t stamp_ns,
                  const std::string& frame_id, uint32_t width, uint32_t height, const char* encoding, uint32_t step,
                  size_t data_len);

// A RawFrame without its payload; the payload follows `head`, nothing after it.
void encode_raw_frame(std::vector<uint8_t>& head, uint32_t seq, const std::string& frame_id, const PhotoInfo& frame,
                      uint32_t status);
// Reads a RawFrame: the frame record's fields into *frame (pixel untouched),
// the payload's place in [data, data + len). False when the bytes are not
// one (lengths that lie, a payload that disagrees with payload_size).
bool decode_raw_frame(const uint8_t* data, size_t len, PhotoInfo* frame, uint32_t* status, const uint8_t** payload);

}  // namespace rosmsg

#endif
