#include "record/ros2_messages.h"

#include <cstring>
#include <functional>
#include <map>
#include <set>
#include <sstream>

#include "record/mcap_format.h"

namespace ros2msg {

const char* const POINTCLOUD2_TYPE = "sensor_msgs/msg/PointCloud2";
const char* const IMAGE_TYPE = "sensor_msgs/msg/Image";
const char* const CAMERA_INFO_TYPE = "sensor_msgs/msg/CameraInfo";
const char* const TF_MESSAGE_TYPE = "tf2_msgs/msg/TFMessage";
const char* const RAW_FRAME_TYPE = "vora_msgs/msg/RawFrame";

namespace {

// The messages' fields in .msg form, by the name their users give them
// (pkg/Name). Comments are left out: readers need the fields only.
const std::map<std::string, const char*>& definitions()
{
    static const std::map<std::string, const char*> d = {
        {"builtin_interfaces/Time", "int32 sec\n"
                                    "uint32 nanosec\n"},
        {"std_msgs/Header", "builtin_interfaces/Time stamp\n"
                            "string frame_id\n"},
        {"sensor_msgs/PointField", "uint8 INT8    = 1\n"
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
                                   "uint32 count\n"},
        {"sensor_msgs/PointCloud2", "std_msgs/Header header\n"
                                    "uint32 height\n"
                                    "uint32 width\n"
                                    "PointField[] fields\n"
                                    "bool    is_bigendian\n"
                                    "uint32  point_step\n"
                                    "uint32  row_step\n"
                                    "uint8[] data\n"
                                    "bool is_dense\n"},
        {"sensor_msgs/Image", "std_msgs/Header header\n"
                              "uint32 height\n"
                              "uint32 width\n"
                              "string encoding\n"
                              "uint8 is_bigendian\n"
                              "uint32 step\n"
                              "uint8[] data\n"},
        {"sensor_msgs/RegionOfInterest", "uint32 x_offset\n"
                                         "uint32 y_offset\n"
                                         "uint32 height\n"
                                         "uint32 width\n"
                                         "bool do_rectify\n"},
        {"sensor_msgs/CameraInfo", "std_msgs/Header header\n"
                                   "uint32 height\n"
                                   "uint32 width\n"
                                   "string distortion_model\n"
                                   "float64[] d\n"
                                   "float64[9]  k\n"
                                   "float64[9]  r\n"
                                   "float64[12] p\n"
                                   "uint32 binning_x\n"
                                   "uint32 binning_y\n"
                                   "RegionOfInterest roi\n"},
        {"geometry_msgs/Vector3", "float64 x\n"
                                  "float64 y\n"
                                  "float64 z\n"},
        {"geometry_msgs/Quaternion", "float64 x 0\n"
                                     "float64 y 0\n"
                                     "float64 z 0\n"
                                     "float64 w 1\n"},
        {"geometry_msgs/Transform", "Vector3 translation\n"
                                    "Quaternion rotation\n"},
        {"geometry_msgs/TransformStamped", "std_msgs/Header header\n"
                                           "string child_frame_id\n"
                                           "Transform transform\n"},
        {"tf2_msgs/TFMessage", "geometry_msgs/TransformStamped[] transforms\n"},
        {"vora_msgs/RawFrame", "# One frame exactly as the camera sent it, with its frame record.\n"
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
                               "uint8[] payload\n"},
    };
    return d;
}

// The types a definition's fields use, named as rosbag2 names them in its
// "MSG:" lines (a bare name is of the definition's own package), sorted.
std::set<std::string> uses(const std::string& text, const std::string& package)
{
    static const std::set<std::string> primitives = {"bool",   "byte",  "char",   "float32", "float64",
                                                     "int8",   "uint8", "int16",  "uint16",  "int32",
                                                     "uint32", "int64", "uint64", "string",  "wstring"};
    std::set<std::string> out;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string type;
        if (!(words >> type) || type[0] == '#')
            continue;
        type = type.substr(0, type.find_first_of("[<"));
        if (primitives.count(type))
            continue;
        out.insert(type.find('/') == std::string::npos ? package + "/" + type : type);
    }
    return out;
}

const char* const kSeparator = "================================================================================\n";

}  // namespace

std::string schema(const std::string& type)
{
    // pkg/msg/Name to the pkg/Name of the definitions.
    const size_t slash = type.find("/msg/");
    if (slash == std::string::npos)
        return std::string();
    const std::string root = type.substr(0, slash) + "/" + type.substr(slash + 5);
    if (!definitions().count(root))
        return std::string();
    // Depth first, each type once, in the order of the sorted names.
    std::set<std::string> seen;
    std::function<std::string(const std::string&)> text = [&](const std::string& name) {
        const std::string own = definitions().at(name);
        std::string out = own;
        for (const std::string& used : uses(own, name.substr(0, name.find('/')))) {
            if (!seen.insert(used).second || !definitions().count(used))
                continue;
            out += "\n";
            out += kSeparator;
            out += "MSG: " + used + "\n";
            out += text(used);
        }
        return out;
    };
    return text(root);
}

CdrWriter::CdrWriter(std::vector<uint8_t>& out) : out_(out)
{
    out_.clear();
    const uint8_t header[4] = {0x00, 0x01, 0x00, 0x00};  // CDR, little-endian, no options
    out_.insert(out_.end(), header, header + 4);
    start_ = out_.size();
    offset_ = 0;
}

CdrWriter::CdrWriter(std::vector<uint8_t>& out, size_t message_offset)
    : out_(out), start_(out.size()), offset_(message_offset)
{}

void CdrWriter::align(size_t n)
{
    while (position() % n)
        out_.push_back(0);
}

void CdrWriter::put(uint64_t v, size_t n)
{
    align(n);
    for (size_t i = 0; i < n; ++i)
        out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void CdrWriter::f64(double v)
{
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    put(bits, 8);
}

void CdrWriter::f64s(const double* v, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        f64(v[i]);
}

void CdrWriter::string(const std::string& s)
{
    u32(static_cast<uint32_t>(s.size() + 1));
    bytes(s.data(), s.size());
    u8(0);
}

void CdrWriter::bytes(const void* data, size_t len)
{
    const uint8_t* p = static_cast<const uint8_t*>(data);
    out_.insert(out_.end(), p, p + len);
}

Stamp stamp_of(uint64_t ns)
{
    // int32 seconds: times up to 2038 fit; later ones are clamped, not wrapped.
    const uint64_t sec = ns / 1000000000ULL;
    if (sec > 0x7FFFFFFFULL)
        return {0x7FFFFFFF, 999999999u};
    return {static_cast<int32_t>(sec), static_cast<uint32_t>(ns % 1000000000ULL)};
}

void encode_header(CdrWriter& w, uint64_t stamp_ns, const std::string& frame_id)
{
    const Stamp s = stamp_of(stamp_ns);
    w.i32(s.sec);
    w.u32(s.nanosec);
    w.string(frame_id);
}

void encode_pointcloud2(std::vector<uint8_t>& head, std::vector<uint8_t>& tail, uint64_t stamp_ns,
                        const std::string& frame_id, uint32_t width, uint32_t height)
{
    constexpr uint8_t FLOAT32 = 7;
    CdrWriter w(head);
    encode_header(w, stamp_ns, frame_id);
    w.u32(height);
    w.u32(width);
    const char* names[] = {"x", "y", "z"};
    w.sequence(3);
    for (uint32_t i = 0; i < 3; ++i) {
        w.string(names[i]);
        w.u32(4 * i);
        w.u8(FLOAT32);
        w.u32(1);
    }
    w.boolean(false);  // little-endian
    w.u32(12);
    w.u32(12 * width);
    const size_t data_len = size_t(12) * width * height;
    w.sequence(static_cast<uint32_t>(data_len));
    tail.clear();
    CdrWriter t(tail, w.position() + data_len);
    t.boolean(false);  // not dense: points without depth are NaN
}

void encode_image(std::vector<uint8_t>& head, uint64_t stamp_ns, const std::string& frame_id, uint32_t width,
                  uint32_t height, const char* encoding, uint32_t step, size_t data_len)
{
    CdrWriter w(head);
    encode_header(w, stamp_ns, frame_id);
    w.u32(height);
    w.u32(width);
    w.string(encoding);
    w.u8(0);  // little-endian (16UC1 too)
    w.u32(step);
    w.sequence(static_cast<uint32_t>(data_len));
}

void encode_camera_info(std::vector<uint8_t>& out, uint64_t stamp_ns, const std::string& frame_id, uint32_t width,
                        uint32_t height, const imaging::RosCameraModel& model)
{
    CdrWriter w(out);
    encode_header(w, stamp_ns, frame_id);
    w.u32(height);
    w.u32(width);
    w.string("plumb_bob");
    w.sequence(5);
    w.f64s(model.d, 5);
    w.f64s(model.k, 9);
    w.f64s(model.r, 9);
    w.f64s(model.p, 12);
    w.u32(0);  // binning_x, binning_y: none
    w.u32(0);
    for (int i = 0; i < 4; ++i)  // roi: x_offset, y_offset, height, width all 0, the whole image
        w.u32(0);
    w.boolean(false);
}

void encode_tf_message(std::vector<uint8_t>& out, uint64_t stamp_ns, const std::vector<Transform>& transforms)
{
    CdrWriter w(out);
    w.sequence(static_cast<uint32_t>(transforms.size()));
    for (const Transform& t : transforms) {
        encode_header(w, stamp_ns, t.parent);
        w.string(t.child);
        w.f64s(t.pose.translation, 3);
        w.f64s(t.pose.rotation, 4);
    }
}

void encode_raw_frame(std::vector<uint8_t>& head, uint64_t stamp_ns, const std::string& frame_id,
                      const PhotoInfo& frame, uint32_t status)
{
    CdrWriter w(head);
    encode_header(w, stamp_ns, frame_id);
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
    w.sequence(frame.payload_size);
}

namespace {

// Reads CDR fields of a message after its encapsulation header, aligned as
// they were written; any read past the end fails the reader.
class CdrReader {
public:
    CdrReader(const uint8_t* data, size_t len) : r_(data, len), base_(data) {}
    uint16_t u16() { return align(2) ? r_.u16() : 0; }
    uint32_t u32() { return align(4) ? r_.u32() : 0; }
    uint64_t u64() { return align(8) ? r_.u64() : 0; }
    void string()
    {
        const uint32_t n = u32();
        const uint8_t* s = r_.take(n);
        ok_ = ok_ && s && n > 0 && s[n - 1] == 0;
    }
    const uint8_t* take(uint64_t n) { return r_.take(n); }
    bool ok() const { return ok_ && r_.ok(); }
    size_t remaining() const { return r_.remaining(); }

private:
    bool align(size_t n)
    {
        const size_t at = static_cast<size_t>(r_.position() - base_);
        if (at % n)
            r_.take(n - at % n);
        return r_.ok();
    }
    mcap::ByteReader r_;
    const uint8_t* base_;
    bool ok_ = true;
};

}  // namespace

bool decode_raw_frame(const uint8_t* data, size_t len, PhotoInfo* frame, uint32_t* status, const uint8_t** payload)
{
    if (len < 4 || data[0] != 0x00 || data[1] != 0x01)
        return false;  // only the little-endian CDR the recorder writes
    CdrReader r(data + 4, len - 4);
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

}  // namespace ros2msg
