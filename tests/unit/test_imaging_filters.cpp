// Point-cloud filters and mask dilation/erosion: the described cases, and
// random clouds and masks against literal full-frame versions of the rules.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "imaging/cloud_filters.h"
#include "log/vora_cameralog.h"
#include "sim_camera.h"
#include "sim_scene.h"
#include "vora_pixel_format.h"

namespace {

constexpr uint32_t CLOUD = PIXEL_FORMAT_COORD3D_ABC16;

struct Raw {
    int16_t x;
    int16_t y;
    uint16_t z;
    bool operator==(const Raw& o) const { return x == o.x && y == o.y && z == o.z; }
};

std::ostream& operator<<(std::ostream& os, const Raw& r)
{
    return os << "(" << r.x << ", " << r.y << ", " << r.z << ")";
}

struct Cloud {
    Cloud(uint32_t w, uint32_t h, uint32_t unit, size_t spare = 0) : bytes(size_t(w) * h * 6 + spare)
    {
        info.pixel_format = CLOUD;
        info.pixel_width = w;
        info.pixel_height = h;
        info.cloud_unit = unit;
        info.payload_size = static_cast<uint32_t>(bytes.size());
        info.pixel = bytes.data();
    }
    size_t size() const { return size_t(info.pixel_width) * info.pixel_height; }
    void set(size_t i, Raw r) { std::memcpy(&bytes[6 * i], &r, 6); }
    void set(uint32_t row, uint32_t col, Raw r) { set(size_t(row) * info.pixel_width + col, r); }
    Raw get(size_t i) const
    {
        Raw r;
        std::memcpy(&r, &bytes[6 * i], 6);
        return r;
    }
    Raw get(uint32_t row, uint32_t col) const { return get(size_t(row) * info.pixel_width + col); }
    std::vector<Raw> points() const
    {
        std::vector<Raw> out(size());
        for (size_t i = 0; i < out.size(); ++i)
            out[i] = get(i);
        return out;
    }
    std::vector<char> bytes;
    PhotoInfo info{};
};

// Silent camera log: these tests look at data, not messages.
struct QuietLog {
    cameralog log;
};

// ---- literal versions of the rules over whole float frames ----

struct P3 {
    float x, y, z;
};

std::vector<P3> to_float(const Cloud& c)
{
    const float u = static_cast<float>(c.info.cloud_unit);
    std::vector<P3> p(c.size());
    for (size_t i = 0; i < p.size(); ++i) {
        const Raw r = c.get(i);
        p[i] = {static_cast<float>(r.x) / u, static_cast<float>(r.y) / u, static_cast<float>(r.z) / u};
    }
    return p;
}

int32_t trunc32(float v)
{
    return (v > -2147483648.0f && v < 2147483648.0f) ? static_cast<int32_t>(v) : INT32_MIN;
}

std::vector<Raw> to_raw(const std::vector<P3>& p, uint32_t unit)
{
    const float u = static_cast<float>(unit);
    std::vector<Raw> out(p.size());
    for (size_t i = 0; i < p.size(); ++i)
        out[i] = {static_cast<int16_t>(trunc32(p[i].x * u)), static_cast<int16_t>(trunc32(p[i].y * u)),
                  static_cast<uint16_t>(trunc32(p[i].z * u))};
    return out;
}

std::vector<Raw> reference_filter(const Cloud& c, double value)
{
    const int W = static_cast<int>(c.info.pixel_width), H = static_cast<int>(c.info.pixel_height);
    const std::vector<P3> P = to_float(c);
    std::vector<P3> O(P.size(), P3{0, 0, 0});
    std::vector<uint8_t> done(P.size(), 0);
    if (H > 4 && W > 2) {
        for (int r = 2; r <= H - 3; ++r) {
            for (int col = 1; col <= W - 2; ++col) {
                const P3 ctr = P[size_t(r) * W + col];
                if (!(std::fabs(double(ctr.z)) > 1e-6) || done[size_t(r) * W + col])
                    continue;
                const double t = value * 0.005 * ctr.z;
                const float thr = t < 15.0 ? float(t) : 15.0f;
                bool agree[9];
                int count = 0;
                for (int k = 0; k < 9; ++k) {
                    const P3 q = P[size_t(r - 2 + k / 3) * W + col - 1 + k % 3];
                    agree[k] = std::fabs(ctr.z - q.z) + std::fabs(ctr.x - q.x) < thr;
                    count += agree[k];
                }
                if (count > 3) {
                    for (int k = 0; k < 9; ++k) {
                        const size_t at = size_t(r - 2 + k / 3) * W + col - 1 + k % 3;
                        done[at] = agree[k];
                        if (agree[k])
                            O[at] = P[at];
                    }
                }
            }
        }
    }
    return to_raw(O, c.info.cloud_unit);
}

// The dense grid over the depth range (n^3 cells, points outside it
// removed): only for small n. Inside the grid the filter must agree with it.
std::vector<Raw> dense_grid_spatial(const Cloud& c, int m)
{
    std::vector<P3> P = to_float(c);
    float zmin = 0, zmax = 0;
    for (const P3& p : P) {
        if (zmin > p.z)
            zmin = p.z;
        else if (p.z > zmax)
            zmax = p.z;
    }
    const int d = static_cast<int>((zmax - zmin) * 0.5f);
    const int n = d / 15;
    std::vector<int> counts(size_t(n) * n * n, 0), marks(counts.size(), 0);
    auto index = [&](const P3& p, int* ix, int* iy, int* iz) {
        *ix = trunc32((p.x + float(d)) / 30.0f);
        *iy = trunc32((p.y + float(d)) / 30.0f);
        *iz = trunc32(p.z / 30.0f);
        return *ix >= 0 && *iy >= 0 && *iz >= 0 && *ix < n && *iy < n && *iz < n;
    };
    if (m > 0) {
        for (P3& p : P) {
            if (!(std::fabs(double(p.z)) > 1e-6))
                continue;
            int ix, iy, iz;
            if (!index(p, &ix, &iy, &iz))
                p = {0, 0, 0};
            else
                ++counts[(size_t(ix) * n + iy) * n + iz];
        }
        for (size_t i = 0; i < counts.size(); ++i)
            if (counts[i] > 0 && counts[i] < m)
                marks[i] = 1;
        for (P3& p : P) {
            if (!(std::fabs(double(p.z)) > 1e-6))
                continue;
            int ix, iy, iz;
            if (!index(p, &ix, &iy, &iz) || marks[(size_t(ix) * n + iy) * n + iz])
                p = {0, 0, 0};
        }
    }
    return to_raw(P, c.info.cloud_unit);
}

// Whether a point lies in the dense grid, and so keeps its result there.
std::vector<bool> inside_dense_grid(const Cloud& c)
{
    const std::vector<P3> P = to_float(c);
    float zmax = 0;
    for (const P3& p : P)
        zmax = std::max(zmax, p.z);
    const int d = static_cast<int>(zmax * 0.5f), n = d / 15;
    std::vector<bool> inside(P.size());
    for (size_t i = 0; i < P.size(); ++i) {
        const float cx = (P[i].x + float(d)) / 30.0f, cy = (P[i].y + float(d)) / 30.0f, cz = P[i].z / 30.0f;
        inside[i] = cx >= 0 && cy >= 0 && cz >= 0 && cx < float(n) && cy < float(n) && cz < float(n);
    }
    return inside;
}

// The rule point against point: a point with depth survives when at least
// m points with depth share its 30-unit cell, cells anchored at (-d, -d, 0)
// and unbounded (floor division). No grid, no hashing.
std::vector<Raw> brute_force_spatial(const Cloud& c, int m)
{
    const std::vector<P3> P = to_float(c);
    if (m <= 0)
        return to_raw(P, c.info.cloud_unit);
    float zmax = 0;
    for (const P3& p : P)
        zmax = std::max(zmax, p.z);
    const int d = static_cast<int>(zmax * 0.5f);
    struct Cell {
        long x, y, z;
    };
    std::vector<Cell> cells(P.size());
    for (size_t i = 0; i < P.size(); ++i)
        cells[i] = {std::lround(std::floor((P[i].x + float(d)) / 30.0f)),
                    std::lround(std::floor((P[i].y + float(d)) / 30.0f)), std::lround(std::floor(P[i].z / 30.0f))};
    std::vector<P3> out = P;
    for (size_t i = 0; i < P.size(); ++i) {
        if (!(std::fabs(double(P[i].z)) > 1e-6))
            continue;
        int same = 0;
        for (size_t j = 0; j < P.size(); ++j)
            same += std::fabs(double(P[j].z)) > 1e-6 && cells[j].x == cells[i].x && cells[j].y == cells[i].y &&
                    cells[j].z == cells[i].z;
        if (same < m)
            out[i] = {0, 0, 0};
    }
    return to_raw(out, c.info.cloud_unit);
}

Cloud wall(uint32_t w, uint32_t h, int x_step, uint16_t z)
{
    Cloud c(w, h, 1);
    for (uint32_t r = 0; r < h; ++r)
        for (uint32_t col = 0; col < w; ++col)
            c.set(r, col, Raw{static_cast<int16_t>(int(col) * x_step), static_cast<int16_t>(r), z});
    return c;
}

}  // namespace

// ---- FilterPointCloud ----

// An odd width: a centre whose done mark is set is skipped, so the centres
// that run are columns 1, 3, 5, ... and the last of them reaches the last
// column only when the width is odd.
TEST(ImagingFilterPointCloud, FlatWallKeepsAllButTheLastTwoRows)
{
    Cloud c = wall(9, 8, 1, 1000);
    const Cloud before = c;
    QuietLog q;
    imaging::filter_point_cloud(q.log, c.info, 1.0);
    for (uint32_t r = 0; r < 8; ++r)
        for (uint32_t col = 0; col < 9; ++col)
            EXPECT_EQ(c.get(r, col), (r < 6 ? before.get(r, col) : Raw{0, 0, 0})) << r << "," << col;
}

TEST(ImagingFilterPointCloud, DisplacedPointIsRemovedItsNeighboursStay)
{
    Cloud c = wall(9, 8, 1, 1000);
    c.set(3, 4, Raw{4, 3, 1100});
    const Cloud before = c;
    QuietLog q;
    imaging::filter_point_cloud(q.log, c.info, 1.0);
    for (uint32_t r = 0; r < 6; ++r)
        for (uint32_t col = 0; col < 9; ++col)
            EXPECT_EQ(c.get(r, col), ((r == 3 && col == 4) ? Raw{0, 0, 0} : before.get(r, col))) << r << "," << col;
}

TEST(ImagingFilterPointCloud, ToleranceIsCappedAtFifteenUnits)
{
    // value 10 at z 1000 would allow 50; neighbours 14 apart agree, 16 apart
    // do not, which leaves only the centre and the two above it (3 points).
    Cloud near = wall(6, 6, 14, 1000);
    Cloud far = wall(6, 6, 16, 1000);
    QuietLog q;
    imaging::filter_point_cloud(q.log, near.info, 10.0);
    imaging::filter_point_cloud(q.log, far.info, 10.0);
    EXPECT_EQ(near.get(0, 0), (Raw{0, 0, 1000}));
    for (const Raw& r : far.points())
        EXPECT_EQ(r, (Raw{0, 0, 0}));
}

TEST(ImagingFilterPointCloud, SmallFramesAndNonPositiveToleranceLoseEveryPoint)
{
    QuietLog q;
    for (auto size : {std::pair<uint32_t, uint32_t>{8, 4}, {2, 8}, {1, 1}}) {
        Cloud c = wall(size.first, size.second, 1, 1000);
        imaging::filter_point_cloud(q.log, c.info, 1.0);
        for (const Raw& r : c.points())
            EXPECT_EQ(r, (Raw{0, 0, 0}));
    }
    for (double value : {0.0, -1.0}) {
        Cloud c = wall(8, 8, 1, 1000);
        imaging::filter_point_cloud(q.log, c.info, value);
        for (const Raw& r : c.points())
            EXPECT_EQ(r, (Raw{0, 0, 0}));
    }
}

TEST(ImagingFilterPointCloud, RandomCloudsMatchTheFullFrameRule)
{
    std::mt19937 rng(3);
    for (int round = 0; round < 60; ++round) {
        const uint32_t w = 3 + rng() % 40, h = 5 + rng() % 20;  // every vector width and its tail
        const uint32_t unit = std::vector<uint32_t>{1, 7, 10}[rng() % 3];
        Cloud c(w, h, unit, 6);
        std::uniform_int_distribution<int> dz(900, 960), dx(-40, 40);
        for (size_t i = 0; i < c.size(); ++i) {
            const bool empty = rng() % 7 == 0;
            c.set(i, Raw{static_cast<int16_t>(dx(rng)), static_cast<int16_t>(dx(rng)),
                         static_cast<uint16_t>(empty ? 0 : dz(rng))});
        }
        std::memset(&c.bytes[c.size() * 6], 0x5A, 6);
        const double value = std::vector<double>{0.5, 1, 2, 10}[rng() % 4];
        const std::vector<Raw> want = reference_filter(c, value);
        QuietLog q;
        imaging::filter_point_cloud(q.log, c.info, value);
        ASSERT_EQ(c.points(), want) << w << "x" << h << " unit " << unit << " value " << value;
        for (size_t i = 0; i < 6; ++i)
            ASSERT_EQ(static_cast<uint8_t>(c.bytes[c.size() * 6 + i]), 0x5A);  // past the points: untouched
    }
}

// A NaN or infinite tolerance: the rule's threshold is then the cap of 15
// (NaN and +inf) or -inf, never NaN; a unit of 0 makes every coordinate
// infinite or NaN. Widths give every vector step and tail.
TEST(ImagingFilterPointCloud, NanAndInfiniteTolerancesAndUnitZeroFollowTheRule)
{
    const double inf = std::numeric_limits<double>::infinity();
    std::mt19937 rng(37);
    for (double value : {std::numeric_limits<double>::quiet_NaN(), inf, -inf, 1.0}) {
        for (uint32_t unit : {0u, 1u}) {
            for (uint32_t w = 3; w <= 40; ++w) {
                Cloud c(w, 6, unit);
                std::uniform_int_distribution<int> dz(900, 930), dx(-12, 12);
                for (size_t i = 0; i < c.size(); ++i) {
                    const bool empty = rng() % 7 == 0;
                    c.set(i, Raw{static_cast<int16_t>(dx(rng)), static_cast<int16_t>(dx(rng)),
                                 static_cast<uint16_t>(empty ? 0 : dz(rng))});
                }
                const std::vector<Raw> want = reference_filter(c, value);
                QuietLog q;
                imaging::filter_point_cloud(q.log, c.info, value);
                ASSERT_EQ(c.points(), want) << w << " unit " << unit << " value " << value;
            }
        }
    }
}

TEST(ImagingFilterPointCloud, RefusesOtherFormatsAndShortPayloads)
{
    Cloud c = wall(8, 8, 1, 1000);
    const Cloud before = c;
    char dir[] = "/tmp/vora-filter-XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    const std::string base = std::string(dir) + "/cam";
    {
        cameralog log;
        set_log_switches(1, 0, 0, 0);
        ASSERT_EQ(log.log_enable(base.c_str()), 0);
        c.info.pixel_format = PIXEL_FORMAT_RGB8;
        imaging::filter_point_cloud(log, c.info, 1.0);
        EXPECT_EQ(imaging::spatial_filter_point_cloud(log, c.info, 2), -2);
        c.info.pixel_format = CLOUD;
        c.info.payload_size -= 1;
        imaging::filter_point_cloud(log, c.info, 1.0);
        EXPECT_EQ(imaging::spatial_filter_point_cloud(log, c.info, 2), -2);
    }
    EXPECT_EQ(c.points(), before.points());
    std::ifstream in(base + ".log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line.substr(line.find(']', 3) + 1));
    const std::string f = "[function:FilterPointCloud] Failed to filter point cloud data due to the pixel_format "
                          "error, error code: -2";
    const std::string s = "[function:SpatialFilterPointcloud] Failed to filter point cloud data due to the "
                          "pixel_format error, error code: -2";
    EXPECT_EQ(lines, (std::vector<std::string>{f, s, f, s}));
    std::remove((base + ".log").c_str());
    rmdir(dir);
    set_log_switches(0, 0, 0, 0);
}

// ---- SpatialFilterPointcloud ----

TEST(ImagingSpatialFilter, SinglePointAloneInItsCube)
{
    // The point at z 600 sets the range (d = 300, n = 20) and lies just
    // beyond the grid (z cell 20): alone in its cell like the point at 100.
    auto make = [] {
        Cloud c(4, 1, 1);
        c.set(0, Raw{0, 0, 100});
        c.set(1, Raw{0, 0, 150});
        c.set(2, Raw{1, 1, 151});
        c.set(3, Raw{0, 0, 600});
        return c;
    };
    QuietLog q;
    Cloud two = make();
    EXPECT_EQ(imaging::spatial_filter_point_cloud(q.log, two.info, 2), 0);
    EXPECT_EQ(two.points(), (std::vector<Raw>{{0, 0, 0}, {0, 0, 150}, {1, 1, 151}, {0, 0, 0}}));
    Cloud one = make();
    EXPECT_EQ(imaging::spatial_filter_point_cloud(q.log, one.info, 1), 0);
    EXPECT_EQ(one.points(), make().points());
}

TEST(ImagingSpatialFilter, CellsContinueBeyondTheGridWithFloorDivision)
{
    // d = 300. x + d = -31 and -29 lie left of the grid, in cells -2 and -1,
    // each shared by two points; x + d = -1 (cell -1 too) and +1 (cell 0,
    // inside) are told apart, where truncation would have joined them.
    Cloud c(8, 1, 1);
    c.set(0, Raw{-331, 0, 100});
    c.set(1, Raw{-331, 0, 101});
    c.set(2, Raw{-329, 0, 100});
    c.set(3, Raw{-329, 0, 101});
    c.set(4, Raw{-301, 0, 200});
    c.set(5, Raw{-299, 0, 200});
    c.set(6, Raw{0, 0, 600});
    c.set(7, Raw{0, 0, 601});  // beyond the far face of the grid, with company
    QuietLog q;
    EXPECT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, 2), 0);
    EXPECT_EQ(c.points(), (std::vector<Raw>{{-331, 0, 100},
                                            {-331, 0, 101},
                                            {-329, 0, 100},
                                            {-329, 0, 101},
                                            {0, 0, 0},
                                            {0, 0, 0},
                                            {0, 0, 600},
                                            {0, 0, 601}}));
}

TEST(ImagingSpatialFilter, ShallowCloudKeepsItsDenseCells)
{
    // Depths below 30: the grid has no cells (n = 0); the cell beyond it
    // holds both points with depth.
    Cloud c(3, 1, 1);
    c.set(0, Raw{5, 5, 29});
    c.set(1, Raw{5, 5, 1});
    c.set(2, Raw{5, 5, 0});
    QuietLog q;
    EXPECT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, 2), 0);
    EXPECT_EQ(c.points(), (std::vector<Raw>{{5, 5, 29}, {5, 5, 1}, {5, 5, 0}}));
    EXPECT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, 3), 0);
    EXPECT_EQ(c.points(), (std::vector<Raw>{{0, 0, 0}, {0, 0, 0}, {5, 5, 0}}));
}

TEST(ImagingSpatialFilter, NonPositiveMinimumOnlyRoundTrips)
{
    for (int m : {0, -3}) {
        Cloud c(2, 1, 7);
        c.set(0, Raw{31, -31, 31});
        c.set(1, Raw{70, 0, 7000});
        QuietLog q;
        EXPECT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, m), 0);
        EXPECT_EQ(c.points(), (std::vector<Raw>{{30, -30, 30}, {70, 0, 7000}}));
    }
}

TEST(ImagingSpatialFilter, NoCloudUnitLeavesNoPointAnywhere)
{
    // A unit of 0 makes every coordinate infinite or undefined: no point
    // has a cell, and those with depth are removed.
    Cloud c(2, 1, 0);
    c.set(0, Raw{1, 1, 100});
    c.set(1, Raw{1, 1, 100});
    QuietLog q;
    EXPECT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, 1), 0);
    EXPECT_EQ(c.points(), (std::vector<Raw>{{0, 0, 0}, {0, 0, 0}}));
}

namespace {

// Clusters of points, so that cells hold several, some of them beyond the
// grid on every side. With `clear_of_the_left_band`, no x + d or y + d lies
// in (-30, 0), where truncation and floor division part.
Cloud random_cloud(std::mt19937& rng, bool clear_of_the_left_band)
{
    const uint32_t w = 1 + rng() % 30, h = 1 + rng() % 30;
    const uint32_t unit = std::vector<uint32_t>{1, 7, 10}[rng() % 3];
    Cloud c(w, h, unit);
    const int zspan = static_cast<int>((1 + rng() % 12) * 60 * unit);
    std::uniform_int_distribution<int> dz(0, zspan), dxy(-zspan / 2 - 40 * int(unit), zspan / 2 + 40 * int(unit));
    const int clusters = 1 + static_cast<int>(rng() % 6);
    std::vector<Raw> centres;
    for (int k = 0; k < clusters; ++k)
        centres.push_back(
            Raw{static_cast<int16_t>(dxy(rng)), static_cast<int16_t>(dxy(rng)), static_cast<uint16_t>(dz(rng))});
    std::uniform_int_distribution<int> jitter(-int(20 * unit), int(20 * unit));
    for (size_t i = 0; i < c.size(); ++i) {
        if (rng() % 9 == 0) {
            c.set(i, Raw{static_cast<int16_t>(dxy(rng)), 0, 0});
            continue;
        }
        const Raw& ctr = centres[rng() % centres.size()];
        const int z = std::max(0, int(ctr.z) + jitter(rng));
        c.set(i, Raw{static_cast<int16_t>(ctr.x + jitter(rng)), static_cast<int16_t>(ctr.y + jitter(rng)),
                     static_cast<uint16_t>(std::min(z, 65535))});
    }
    // Clearing a point may lower the depth range and so move the band:
    // clear until nothing lies in it.
    for (bool cleared = clear_of_the_left_band; cleared;) {
        cleared = false;
        const std::vector<P3> P = to_float(c);
        float zmax = 0;
        for (const P3& p : P)
            zmax = std::max(zmax, p.z);
        const float d = float(static_cast<int>(zmax * 0.5f));
        for (size_t i = 0; i < P.size(); ++i) {
            const float cx = (P[i].x + d) / 30.0f, cy = (P[i].y + d) / 30.0f;
            if (P[i].z != 0 && ((cx < 0 && cx > -1) || (cy < 0 && cy > -1))) {
                c.set(i, Raw{0, 0, 0});
                cleared = true;
            }
        }
    }
    return c;
}

}  // namespace

TEST(ImagingSpatialFilter, RandomCloudsMatchTheRulePointAgainstPoint)
{
    std::mt19937 rng(17);
    for (int round = 0; round < 80; ++round) {
        Cloud c = random_cloud(rng, false);
        const int m = static_cast<int>(rng() % 6) - 1;
        const std::vector<Raw> want = brute_force_spatial(c, m);
        QuietLog q;
        ASSERT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, m), 0);
        ASSERT_EQ(c.points(), want) << c.info.pixel_width << "x" << c.info.pixel_height << " unit " << c.info.cloud_unit
                                    << " m " << m;
    }
}

TEST(ImagingSpatialFilter, InsideTheGridResultsAreTheDenseGrids)
{
    std::mt19937 rng(31);
    for (int round = 0; round < 80; ++round) {
        Cloud c = random_cloud(rng, true);
        const int m = 1 + static_cast<int>(rng() % 5);
        const std::vector<Raw> grid = dense_grid_spatial(c, m);
        const std::vector<bool> inside = inside_dense_grid(c);
        QuietLog q;
        ASSERT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, m), 0);
        const std::vector<Raw> got = c.points();
        for (size_t i = 0; i < got.size(); ++i) {
            if (inside[i]) {
                ASSERT_EQ(got[i], grid[i]) << "round " << round << " point " << i;
            }
        }
    }
}

namespace {

// A cloud spanning the whole raw depth range: the dense grids would be
// 2184^3 cells each.
Cloud deep_cloud()
{
    Cloud c(64, 32, 1);
    std::mt19937 rng(23);
    for (size_t i = 0; i < c.size(); ++i) {
        const uint16_t z = i == 0 ? 65535 : static_cast<uint16_t>((rng() % 64) * 1000 + rng() % 40);
        c.set(i, Raw{static_cast<int16_t>(rng() % 200), static_cast<int16_t>(rng() % 200), z});
    }
    return c;
}

}  // namespace

TEST(ImagingSpatialFilter, FullDepthRangeMatchesBruteForce)
{
    for (int m : {1, 2, 3}) {
        Cloud c = deep_cloud();
        const std::vector<Raw> want = brute_force_spatial(c, m);
        QuietLog q;
        ASSERT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, m), 0);
        EXPECT_EQ(c.points(), want) << "m " << m;
    }
}

TEST(ImagingSpatialFilter, DemoSceneWithMinimumOneLosesNothing)
{
    // The room the demo's camera sees, at its resolution and unit: with a
    // minimum of one point per cell every point is in a dense enough cell,
    // the back wall at the deepest z and the wide floor included.
    const std::vector<vsim::SimSensor> sensors = vsim::SimConfig::default_sensors();
    std::vector<uint8_t> rendered =
        vsim::render_sensor(sensors[0], vsim::Roi{1280, 1024, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
    Cloud c(1280, 1024, 10);
    ASSERT_EQ(rendered.size(), c.bytes.size());
    std::memcpy(c.bytes.data(), rendered.data(), rendered.size());
    const std::vector<Raw> before = c.points();
    QuietLog q;
    ASSERT_EQ(imaging::spatial_filter_point_cloud(q.log, c.info, 1), 0);
    size_t with_depth = 0, kept = 0;
    const std::vector<Raw> after = c.points();
    for (size_t i = 0; i < before.size(); ++i) {
        with_depth += before[i].z != 0;
        kept += after[i].z != 0;
    }
    EXPECT_GT(with_depth, before.size() / 2);
    EXPECT_EQ(kept, with_depth);
    EXPECT_EQ(after, before);  // unit 10: the float round trip is exact
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

// Runs the filter under an address-space limit of 256 MB above what the
// process already maps; exits 0 when it succeeded with the right result.
void filter_under_limit()
{
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    const rlim_t limit = static_cast<rlim_t>(pages) * sysconf(_SC_PAGESIZE) + (rlim_t(256) << 20);
    const rlimit rl{limit, limit};
    setrlimit(RLIMIT_AS, &rl);
    Cloud c = deep_cloud();
    QuietLog q;
    const int rc = imaging::spatial_filter_point_cloud(q.log, c.info, 2);
    std::_Exit(rc == 0 && c.points() == brute_force_spatial(deep_cloud(), 2) ? 0 : 1);
}

}  // namespace

TEST(ImagingSpatialFilterDeathTest, FullDepthRangeFitsInAQuarterGigabyte)
{
    // A grid growing with the cube of the depth range cannot be had there.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(filter_under_limit(), ::testing::ExitedWithCode(0), "");
}
#endif

// ---- PixelSwell / PixelCorrosion ----

namespace {

std::vector<int> reference_morph(const std::vector<int>& mask, int W, int H, bool swell)
{
    std::vector<int> out(mask.size(), 0);
    for (int i = 1; i + 1 < H; ++i) {
        for (int j = 1; j + 1 < W; ++j) {
            int64_t sum = 0;
            for (int di = -1; di <= 1; ++di)
                for (int dj = -1; dj <= 1; ++dj)
                    if (swell || di == 0 || dj == 0)
                        sum += mask[size_t(i + di) * W + j + dj];
            const int32_t wrapped = static_cast<int32_t>(static_cast<uint32_t>(sum));
            out[size_t(i) * W + j] = (swell ? wrapped > 0 : wrapped >= 1275) ? 255 : 0;
        }
    }
    return out;
}

}  // namespace

TEST(ImagingMorphology, OneSetPixelGrowsToASquareAndShrinksBack)
{
    std::vector<int> mask(100, 0);
    mask[55] = 255;
    imaging::pixel_swell(mask.data(), 10, 10);
    for (int r = 0; r < 10; ++r)
        for (int c = 0; c < 10; ++c)
            EXPECT_EQ(mask[size_t(r) * 10 + c], (r >= 4 && r <= 6 && c >= 4 && c <= 6) ? 255 : 0) << r << "," << c;
    imaging::pixel_corrosion(mask.data(), 10, 10);
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(mask[i], i == 55 ? 255 : 0) << i;
}

TEST(ImagingMorphology, BorderPixelsAreClearedByBoth)
{
    std::vector<int> a(100, 0);
    a[3] = 255;  // row 0
    std::vector<int> b = a;
    imaging::pixel_swell(a.data(), 10, 10);
    imaging::pixel_corrosion(b.data(), 10, 10);
    EXPECT_EQ(a[3], 0);
    EXPECT_EQ(a[13], 255);  // its neighbour in row 1 is inside
    EXPECT_EQ(b, std::vector<int>(100, 0));
}

TEST(ImagingMorphology, RandomMasksMatchTheFullFrameRuleWrappingSumsIncluded)
{
    std::mt19937 rng(29);
    for (int round = 0; round < 100; ++round) {
        const int W = 1 + static_cast<int>(rng() % 17), H = 1 + static_cast<int>(rng() % 17);
        std::vector<int> mask(size_t(W) * H);
        const int kind = round % 3;
        for (int& v : mask)
            v = kind == 0   ? (rng() % 3 == 0 ? 255 : 0)
                : kind == 1 ? static_cast<int>(rng() % 600) - 300
                            : static_cast<int>(rng());
        for (bool swell : {true, false}) {
            std::vector<int> got = mask;
            if (swell)
                imaging::pixel_swell(got.data(), W, H);
            else
                imaging::pixel_corrosion(got.data(), W, H);
            ASSERT_EQ(got, reference_morph(mask, W, H, swell)) << W << "x" << H << " swell " << swell;
        }
    }
    imaging::pixel_swell(nullptr, 4, 4);  // no mask: nothing to do
}
