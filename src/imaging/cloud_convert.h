// Raw point clouds (Coord3D_ABC16: x, y signed and z unsigned, 16 bits
// little-endian each, 6 bytes per point) to float points and back, and the
// big-endian coordinate planes the PNG export stores.
#ifndef VORA_IMAGING_CLOUD_CONVERT_H
#define VORA_IMAGING_CLOUD_CONVERT_H

#include <cstddef>
#include <cstdint>
#include <vector>

#include "log/vora_cameralog.h"
#include "vora_base_type.h"

namespace imaging {

// Truncation toward zero as the hardware conversion does it: NaN and values
// outside int32 give INT32_MIN (so their low 16 bits are 0).
inline int32_t trunc_float_to_int32(float v)
{
    if (v > -2147483648.0f && v < 2147483648.0f)
        return static_cast<int32_t>(v);
    return INT32_MIN;
}

// The float-to-raw rule: c times the unit in single precision, truncated
// toward zero, low 16 bits kept.
inline uint16_t float_to_raw16(float c, float unit)
{
    return static_cast<uint16_t>(static_cast<uint32_t>(trunc_float_to_int32(c * unit)));
}

// A raw coordinate: 16 bits, little-endian.
inline uint16_t load_le16(const void* p)
{
    const uint8_t* b = static_cast<const uint8_t*>(p);
    return static_cast<uint16_t>(b[0] | b[1] << 8);
}

inline float raw_x_to_float(const char* point, float unit)
{
    return static_cast<float>(static_cast<int16_t>(load_le16(point))) / unit;
}

inline float raw_y_to_float(const char* point, float unit)
{
    return raw_x_to_float(point + 2, unit);
}

inline float raw_z_to_float(const char* point, float unit)
{
    return static_cast<float>(load_le16(point + 4)) / unit;
}

inline void store_le16(char* p, uint16_t v)
{
    p[0] = static_cast<char>(v & 0xFF);
    p[1] = static_cast<char>(v >> 8);
}

// Writes x, y, z through the float-to-raw rule into a 6-byte raw point.
inline void store_raw_point(char* point, float x, float y, float z, float unit)
{
    store_le16(point, float_to_raw16(x, unit));
    store_le16(point + 2, float_to_raw16(y, unit));
    store_le16(point + 4, float_to_raw16(z, unit));
}

// The float round trip of every 16-bit raw value of one coordinate:
// table[v] is what raw value v comes back as (host order, 65536 entries).
// True when every value comes back unchanged (units 1 and 10, for
// instance).
bool build_round_trip_table(float unit, bool is_unsigned, uint16_t* table);

// The float round trip of whole raw points through tables: for a large
// cloud, cheaper than the arithmetic, and nothing at all when it changes no
// value.
class RawRoundTrip {
public:
    explicit RawRoundTrip(float unit);
    bool identity() const { return identity_; }
    // The point as store_raw_point would write its float coordinates.
    void apply(char* point) const;

private:
    std::vector<uint16_t> xy_, z_;
    bool identity_;
};

// `points` raw points to 3 x `points` floats (x, y, z each divided by unit
// in single precision). `out` must not overlap `raw`.
void raw_cloud_to_float(const char* raw, size_t points, float unit, float* out);

// Calls visit(xyz, n) for the points of a raw cloud converted to floats, a
// block of at most 4096 points at a time, so that a writer holds 48 KB of
// floats rather than a copy of the whole cloud; the block is the visitor's
// to change.
template <typename Visit>
void for_each_float_block(const PhotoInfo& frame, Visit visit)
{
    constexpr size_t kBlock = 4096;
    float xyz[3 * kBlock];
    const size_t points = static_cast<size_t>(frame.pixel_width) * frame.pixel_height;
    const float unit = static_cast<float>(frame.cloud_unit);
    for (size_t first = 0; first < points; first += kBlock) {
        const size_t n = points - first < kBlock ? points - first : kBlock;
        raw_cloud_to_float(frame.pixel + 6 * first, n, unit, xyz);
        visit(xyz, n);
    }
}

// One coordinate (0 x, 1 y, 2 z) of every point through the float round
// trip, stored big-endian: `out` receives 2 x `points` bytes.
void raw_cloud_plane(const char* raw, size_t points, float unit, int coordinate, char* out);

// Every point of a raw cloud through the float round trip, in place (a
// filter that keeps a point writes back what its float value gives).
void raw_cloud_round_trip(char* raw, size_t points, float unit);

// ---- frame operations, with the camera's messages ----

// Convert3DPointFromCharToFloat: points receives width x height x 3 floats;
// any further bytes of the 2 x payload_size the caller provides are zeroed.
// Frames without a buffer or whose payload is shorter than their points are
// refused (logged, output untouched). The format is not checked.
void convert_cloud_to_float(cameralog& log, const PhotoInfo& frame, float* points);

// GetCloudPlane with coordinate 0, 1 or 2: 0, or -2 (logged) when the frame
// is not a readable point cloud or the coordinate is not 0..2.
int get_cloud_plane(cameralog& log, const PhotoInfo& frame, short* plane, int coordinate);

// GetCloudPlaneX/Y/Z: the same, with the message of the named form.
int get_cloud_plane_x(cameralog& log, const PhotoInfo& frame, short* plane);
int get_cloud_plane_y(cameralog& log, const PhotoInfo& frame, short* plane);
int get_cloud_plane_z(cameralog& log, const PhotoInfo& frame, short* plane);

}  // namespace imaging

#endif
