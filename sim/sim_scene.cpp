#include "sim_scene.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "pixel_formats.h"

namespace vsim {

namespace {

struct Vec {
    double x, y, z;
};

Vec operator+(const Vec& a, const Vec& b)
{
    return {a.x + b.x, a.y + b.y, a.z + b.z};
}
Vec operator-(const Vec& a, const Vec& b)
{
    return {a.x - b.x, a.y - b.y, a.z - b.z};
}
Vec operator*(const Vec& a, double s)
{
    return {a.x * s, a.y * s, a.z * s};
}
double dot(const Vec& a, const Vec& b)
{
    return a.x * b.x + a.y * b.y + a.z * b.z;
}
Vec normalised(const Vec& a)
{
    return a * (1.0 / std::sqrt(dot(a, a)));
}

enum class Surface { None, Floor, Wall, Box, Sphere };

struct Hit {
    double t = 0;
    Surface what = Surface::None;
    Vec normal{0, 0, 0};
};

struct Colour {
    double r, g, b;
};

// A lamp just above the camera: faces turned to the camera read bright, and
// the objects' shadows fall mostly behind them.
const Vec kLight{-150, -300, 0};
const double kAmbient = 0.28;

// Slab test against the box; on entry, the normal of the face hit.
bool hit_box(const Vec& o, const Vec& d, double t_max, Hit& hit)
{
    const double org[3] = {o.x, o.y, o.z};
    const double dir[3] = {d.x, d.y, d.z};
    double t_near = 1e-9, t_far = t_max;
    int axis = -1;
    double sign = 0;
    for (int i = 0; i < 3; ++i) {
        if (dir[i] == 0) {
            if (org[i] < scene::box_min[i] || org[i] > scene::box_max[i])
                return false;
            continue;
        }
        double t0 = (scene::box_min[i] - org[i]) / dir[i];
        double t1 = (scene::box_max[i] - org[i]) / dir[i];
        double s = -1;  // entering through the min face looks along -axis
        if (t0 > t1) {
            std::swap(t0, t1);
            s = 1;
        }
        if (t0 > t_near) {
            t_near = t0;
            axis = i;
            sign = s;
        }
        t_far = std::min(t_far, t1);
        if (t_near > t_far)
            return false;
    }
    if (axis < 0)  // starting inside: not a surface seen from here
        return false;
    hit.t = t_near;
    hit.what = Surface::Box;
    hit.normal = {axis == 0 ? sign : 0, axis == 1 ? sign : 0, axis == 2 ? sign : 0};
    return true;
}

bool hit_sphere(const Vec& o, const Vec& d, double t_max, Hit& hit)
{
    const Vec c{scene::sphere_centre[0], scene::sphere_centre[1], scene::sphere_centre[2]};
    const Vec oc = o - c;
    const double b = dot(oc, d);  // d has unit length
    const double disc = b * b - (dot(oc, oc) - scene::sphere_radius * scene::sphere_radius);
    if (disc < 0)
        return false;
    const double t = -b - std::sqrt(disc);
    if (t <= 1e-9 || t >= t_max)
        return false;
    hit.t = t;
    hit.what = Surface::Sphere;
    hit.normal = (o + d * t - c) * (1.0 / scene::sphere_radius);
    return true;
}

// Nearest surface along the unit ray o + t·d, t ≤ max_range.
Hit trace(const Vec& o, const Vec& d)
{
    Hit best;
    double t_max = scene::max_range;
    if (d.y > 0 && o.y < scene::floor_y) {
        const double t = (scene::floor_y - o.y) / d.y;
        if (t < t_max) {
            best = {t, Surface::Floor, {0, -1, 0}};
            t_max = t;
        }
    }
    if (d.z > 0 && o.z < scene::wall_z) {
        const double t = (scene::wall_z - o.z) / d.z;
        if (t < t_max) {
            best = {t, Surface::Wall, {0, 0, -1}};
            t_max = t;
        }
    }
    Hit h;
    if (hit_box(o, d, t_max, h)) {
        best = h;
        t_max = h.t;
    }
    if (hit_sphere(o, d, t_max, h))
        best = h;
    return best;
}

bool in_shadow(const Vec& p, const Vec& to_light, double distance)
{
    Hit h;
    return hit_box(p, to_light, distance, h) || hit_sphere(p, to_light, distance, h);
}

Colour albedo(Surface what, const Vec& p)
{
    switch (what) {
    case Surface::Floor: {
        const long i = static_cast<long>(std::floor(p.x / scene::checker_mm));
        const long j = static_cast<long>(std::floor(p.z / scene::checker_mm));
        return ((i + j) & 1) ? Colour{150, 150, 146} : Colour{92, 92, 96};
    }
    case Surface::Wall:
        if (p.y > scene::floor_y - 60)
            return {110, 90, 70};  // skirting board
        if (p.x > -1300 && p.x < -1180)
            return {60, 170, 80};
        if (p.x > -40 && p.x < 60)
            return {235, 190, 40};
        if (p.x > 900 && p.x < 1020)
            return {40, 170, 170};
        return {228, 220, 204};
    case Surface::Box:
        return {205, 45, 35};
    case Surface::Sphere:
        return {45, 80, 215};
    case Surface::None:
        break;
    }
    return {0, 0, 0};
}

Colour shade(const Hit& hit, const Vec& p)
{
    const Colour a = albedo(hit.what, p);
    const Vec towards = kLight - p;
    const double distance = std::sqrt(dot(towards, towards));
    const Vec l = towards * (1.0 / distance);
    double lambert = std::max(0.0, dot(hit.normal, l));
    // Start the shadow ray just off the surface so it does not find itself.
    if (lambert > 0 && in_shadow(p + hit.normal * 0.5, l, distance))
        lambert = 0;
    const double k = kAmbient + (1 - kAmbient) * lambert;
    return {a.r * k, a.g * k, a.b * k};
}

uint8_t to_byte(double v)
{
    return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
}

// Where a sensor's pixels look, in the reference frame.
class Rays {
public:
    explicit Rays(const SimSensor& s)
    {
        for (int i = 0; i < 5; ++i)
            kc_[i] = s.Kc[i];
        // K maps (xd, yd, 1) to the pixel; its upper 2×2 is inverted here.
        k2_ = s.K[2];
        k5_ = s.K[5];
        const double det = double(s.K[0]) * s.K[4] - double(s.K[1]) * s.K[3];
        ki_[0] = s.K[4] / det;
        ki_[1] = -s.K[1] / det;
        ki_[2] = -s.K[3] / det;
        ki_[3] = s.K[0] / det;
        // The true inverse of R rather than its transpose: factory rotations
        // are orthonormal only to float precision, and each cloud point must
        // project back onto the pixel that saw it.
        double r[9];
        for (int i = 0; i < 9; ++i)
            r[i] = s.R[i];
        const double c0 = r[4] * r[8] - r[5] * r[7];
        const double c1 = r[5] * r[6] - r[3] * r[8];
        const double c2 = r[3] * r[7] - r[4] * r[6];
        const double rdet = r[0] * c0 + r[1] * c1 + r[2] * c2;
        ri_[0] = c0 / rdet;
        ri_[1] = (r[2] * r[7] - r[1] * r[8]) / rdet;
        ri_[2] = (r[1] * r[5] - r[2] * r[4]) / rdet;
        ri_[3] = c1 / rdet;
        ri_[4] = (r[0] * r[8] - r[2] * r[6]) / rdet;
        ri_[5] = (r[2] * r[3] - r[0] * r[5]) / rdet;
        ri_[6] = c2 / rdet;
        ri_[7] = (r[1] * r[6] - r[0] * r[7]) / rdet;
        ri_[8] = (r[0] * r[4] - r[1] * r[3]) / rdet;
        origin_ = to_reference({-double(s.T[0]), -double(s.T[1]), -double(s.T[2])});
    }

    const Vec& origin() const { return origin_; }

    // Unit direction of the ray through the centre of sensor pixel (u, v).
    Vec direction(double u, double v) const
    {
        const double du = u - k2_, dv = v - k5_;
        const double xd = ki_[0] * du + ki_[1] * dv;
        const double yd = ki_[2] * du + ki_[3] * dv;
        double xn = xd, yn = yd;
        // The lens model has no closed inverse; with real lenses' small
        // coefficients this fixed-point iteration gains a digit or more per
        // step.
        for (int i = 0; i < 30; ++i) {
            const double r2 = xn * xn + yn * yn;
            const double radial = kc_[0] * r2 + 1 + kc_[1] * r2 * r2;
            const double tx = 2 * kc_[2] * xn * yn + (2 * xn * xn + r2) * kc_[3];
            const double ty = (2 * yn * yn + r2) * kc_[2] + 2 * kc_[3] * xn * yn;
            const double nx = (xd - tx) / (kc_[4] * xn * xn * xn + radial);
            const double ny = (yd - ty) / (kc_[4] * yn * yn * yn + radial);
            const bool settled = std::fabs(nx - xn) < 1e-13 && std::fabs(ny - yn) < 1e-13;
            xn = nx;
            yn = ny;
            if (settled)
                break;
        }
        if (!std::isfinite(xn) || !std::isfinite(yn)) {
            xn = xd;
            yn = yd;
        }
        return normalised(to_reference({xn, yn, 1}));
    }

private:
    // R⁻¹·v: a sensor-frame vector (a direction, or P − T for a point) in
    // the reference frame.
    Vec to_reference(const Vec& v) const
    {
        return {ri_[0] * v.x + ri_[1] * v.y + ri_[2] * v.z, ri_[3] * v.x + ri_[4] * v.y + ri_[5] * v.z,
                ri_[6] * v.x + ri_[7] * v.y + ri_[8] * v.z};
    }

    double kc_[5];
    double k2_, k5_;
    double ki_[4];
    double ri_[9];
    Vec origin_;
};

void put16(uint8_t* out, uint16_t v)
{
    out[0] = static_cast<uint8_t>(v);
    out[1] = static_cast<uint8_t>(v >> 8);
}

void render_cloud(const Rays& rays, const Roi& roi, uint32_t cloud_unit, uint8_t* out)
{
    const Vec& o = rays.origin();
    for (uint32_t v = 0; v < roi.height; ++v) {
        for (uint32_t u = 0; u < roi.width; ++u, out += 6) {
            const Vec d = rays.direction(double(u) + roi.offset_x, double(v) + roi.offset_y);
            const Hit hit = trace(o, d);
            if (hit.what == Surface::None)
                continue;  // stays (0,0,0)
            const Vec p = o + d * hit.t;
            const double x = std::round(p.x * cloud_unit);
            const double y = std::round(p.y * cloud_unit);
            const double z = std::round(p.z * cloud_unit);
            if (x < -32768 || x > 32767 || y < -32768 || y > 32767 || z < 0 || z > 65535)
                continue;
            put16(out, static_cast<uint16_t>(static_cast<int16_t>(x)));
            put16(out + 2, static_cast<uint16_t>(static_cast<int16_t>(y)));
            put16(out + 4, static_cast<uint16_t>(z));
        }
    }
}

void render_rgb(const Rays& rays, const Roi& roi, uint8_t* out)
{
    const Vec& o = rays.origin();
    for (uint32_t v = 0; v < roi.height; ++v) {
        for (uint32_t u = 0; u < roi.width; ++u, out += 3) {
            const Vec d = rays.direction(double(u) + roi.offset_x, double(v) + roi.offset_y);
            const Hit hit = trace(o, d);
            if (hit.what == Surface::None) {
                out[0] = out[1] = out[2] = 0;
                continue;
            }
            const Colour c = shade(hit, o + d * hit.t);
            out[0] = to_byte(c.r);
            out[1] = to_byte(c.g);
            out[2] = to_byte(c.b);
        }
    }
}

double luma(const uint8_t* rgb)
{
    return 0.299 * rgb[0] + 0.587 * rgb[1] + 0.114 * rgb[2];
}

}  // namespace

bool renders(uint32_t pixel_format)
{
    switch (pixel_format) {
    case pixel::coord3d_abc16:
    case pixel::rgb8:
    case pixel::yuv422_8:
    case pixel::bayer_rg8:
    case pixel::mono8:
        return true;
    default:
        return false;
    }
}

std::vector<uint8_t> render_sensor(const SimSensor& sensor, const Roi& roi, uint32_t pixel_format, uint32_t cloud_unit)
{
    if (!renders(pixel_format))
        return {};
    const size_t bytes_per_pixel = static_cast<size_t>(wire::pixel_bytes(pixel_format));
    const size_t pixels = size_t(roi.width) * roi.height;
    std::vector<uint8_t> out(pixels * bytes_per_pixel, 0);
    if (pixels == 0)
        return out;
    const Rays rays(sensor);
    if (pixel_format == pixel::coord3d_abc16) {
        render_cloud(rays, roi, cloud_unit, out.data());
        return out;
    }
    if (pixel_format == pixel::rgb8) {
        render_rgb(rays, roi, out.data());
        return out;
    }

    std::vector<uint8_t> rgb(pixels * 3);
    render_rgb(rays, roi, rgb.data());
    for (uint32_t v = 0; v < roi.height; ++v) {
        const uint8_t* row = rgb.data() + size_t(v) * roi.width * 3;
        uint8_t* dst = out.data() + size_t(v) * roi.width * bytes_per_pixel;
        switch (pixel_format) {
        case pixel::mono8:
            for (uint32_t u = 0; u < roi.width; ++u)
                dst[u] = to_byte(luma(row + 3 * u));
            break;
        case pixel::bayer_rg8:
            // R G / G B: red on even rows' even columns, blue on odd rows' odd ones.
            for (uint32_t u = 0; u < roi.width; ++u) {
                const int channel = (v & 1) == 0 ? ((u & 1) == 0 ? 0 : 1) : ((u & 1) == 0 ? 1 : 2);
                dst[u] = row[3 * u + channel];
            }
            break;
        case pixel::yuv422_8:
            // Full-range BT.601 with the chroma of each pixel pair averaged;
            // the factors are the exact inverses of the host's YUYV decoder.
            for (uint32_t u = 0; u < roi.width; u += 2) {
                const uint8_t* p0 = row + 3 * u;
                const bool pair = u + 1 < roi.width;
                const uint8_t* p1 = pair ? p0 + 3 : p0;
                const double y0 = luma(p0), y1 = luma(p1);
                const double cb = ((p0[2] - y0) + (p1[2] - y1)) / 2 / 1.77216 + 128;
                const double cr = ((p0[0] - y0) + (p1[0] - y1)) / 2 / 1.401687 + 128;
                dst[2 * u] = to_byte(y0);
                dst[2 * u + 1] = to_byte(cb);
                if (pair) {
                    dst[2 * u + 2] = to_byte(y1);
                    dst[2 * u + 3] = to_byte(cr);
                }
            }
            break;
        }
    }
    return out;
}

void add_depth_noise(std::vector<uint8_t>& cloud, uint16_t block_id, double noise_mm, uint32_t cloud_unit)
{
    const double most = noise_mm * cloud_unit;  // in raw units
    for (size_t i = 0; i + 6 <= cloud.size(); i += 6) {
        uint8_t* p = &cloud[i];
        const double z = static_cast<double>(uint16_t(p[4] | p[5] << 8));
        if (z == 0 || most <= 0)
            continue;
        // A hash of block and point: cheap, and the same every time.
        uint64_t h = (uint64_t(block_id) << 40) ^ (i / 6) ^ 0x9E3779B97F4A7C15ull;
        h ^= h >> 33;
        h *= 0xFF51AFD7ED558CCDull;
        h ^= h >> 33;
        h *= 0xC4CEB9FE1A85EC53ull;
        h ^= h >> 33;
        const double r = static_cast<double>(h & 0xFFFF) / 32767.5 - 1.0;  // -1..1
        const double factor = std::max(0.0, z + r * most) / z;
        for (int k = 0; k < 3; ++k) {
            const uint16_t bits = uint16_t(p[2 * k] | p[2 * k + 1] << 8);
            const double v = (k < 2 ? static_cast<double>(static_cast<int16_t>(bits)) : z) * factor;
            const long scaled =
                std::lround(k < 2 ? std::min(32767.0, std::max(-32768.0, v)) : std::min(65535.0, std::max(1.0, v)));
            p[2 * k] = static_cast<uint8_t>(scaled & 0xFF);
            p[2 * k + 1] = static_cast<uint8_t>((scaled >> 8) & 0xFF);
        }
    }
}

}  // namespace vsim
