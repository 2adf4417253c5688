// Conversions, filters and writers on a 1280 x 1024 cloud and colour image,
// each beside a baseline measured in the same run (a memcpy or fwrite of the
// same bytes, or the plain printf-based writer), printed as ratios at the end.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "imaging/cloud_convert.h"
#include "imaging/cloud_filters.h"
#include "imaging/cloud_writers.h"
#include "imaging/colour_convert.h"
#include "imaging/image_writers.h"
#include "imaging/png_writer.h"
#include "log/vora_cameralog.h"
#include "synthetic_cloud.h"
#include "vora_pixel_format.h"

namespace {

constexpr uint32_t W = 1280, H = 1024, N = W * H;
constexpr uint32_t UNIT = 10;

cameralog bench_log;

std::string scratch_dir()
{
    static std::string dir = [] {
        char tmpl[] = "/tmp/vora-bench-XXXXXX";
        return std::string(mkdtemp(tmpl));
    }();
    return dir;
}

std::string file(const char* name)
{
    return scratch_dir() + "/" + name;
}

const std::vector<char>& raw_cloud()
{
    static const std::vector<char> bytes = synthetic_raw_cloud(W, H);
    return bytes;
}

PhotoInfo cloud_frame(char* pixel)
{
    return synthetic_cloud_frame(pixel, W, H, UNIT);
}

const std::vector<float>& fused_cloud()
{
    static std::vector<float> fused = [] {
        std::vector<float> f(size_t(N) * 6);
        std::vector<float> xyz(size_t(N) * 3);
        imaging::raw_cloud_to_float(raw_cloud().data(), N, UNIT, xyz.data());
        for (size_t i = 0; i < N; ++i) {
            std::memcpy(&f[6 * i], &xyz[3 * i], 12);
            f[6 * i + 3] = float(i % 256);
            f[6 * i + 4] = float((i / 7) % 256);
            f[6 * i + 5] = float((i / 13) % 256);
        }
        return f;
    }();
    return fused;
}

const std::vector<uint8_t>& colour_bytes(size_t bytes_per_pixel)
{
    static std::map<size_t, std::vector<uint8_t>> images;
    auto& img = images[bytes_per_pixel];
    if (img.empty()) {
        img.resize(size_t(N) * bytes_per_pixel);
        std::mt19937 rng(2);
        for (auto& b : img)
            b = static_cast<uint8_t>(rng());
    }
    return img;
}

// ---- the plain printf-based writers ----

int printf_points(const char* path, bool ply)
{
    const std::vector<char>& raw = raw_cloud();
    std::vector<float> xyz(size_t(N) * 3);
    imaging::raw_cloud_to_float(raw.data(), N, UNIT, xyz.data());
    FILE* f = std::fopen(path, "w");
    if (!f)
        return -42;
    if (ply) {
        int count = 0;
        for (size_t i = 0; i < N; ++i)
            count += static_cast<double>(xyz[3 * i + 2]) > 1e-6;
        std::fprintf(f,
                     "ply\nformat ascii 1.0\nelement vertex %d\nproperty float x\nproperty float y\n"
                     "property float z\nend_header\n",
                     count);
    }
    for (size_t i = 0; i < N; ++i) {
        const float* v = &xyz[3 * i];
        if (static_cast<double>(v[2]) > 1e-6)
            std::fprintf(f, "%.2f %.2f %.2f \n", v[0], v[1], v[2]);
    }
    std::fclose(f);
    return 0;
}

int printf_colour(const char* path)
{
    const std::vector<float>& fused = fused_cloud();
    FILE* f = std::fopen(path, "w");
    if (!f)
        return -42;
    for (size_t i = 0; i < N; ++i) {
        const float* v = &fused[6 * i];
        if (static_cast<double>(v[2]) > 1e-6)
            std::fprintf(f, "%.2f %.2f %.2f %d %d %d\n", v[0], v[1], v[2], int(v[3]), int(v[4]), int(v[5]));
    }
    std::fclose(f);
    return 0;
}

void fwrite_bytes(const char* path, const void* data, size_t bytes)
{
    FILE* f = std::fopen(path, "wb");
    std::fwrite(data, 1, bytes, f);
    std::fclose(f);
}

// ---- baselines ----

void BM_memcpy_float_cloud(benchmark::State& s)
{
    std::vector<float> a(size_t(N) * 3, 1.0f), b(size_t(N) * 3);
    for (auto _ : s) {
        std::memcpy(b.data(), a.data(), a.size() * 4);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_memcpy_float_cloud)->Unit(benchmark::kMillisecond);

void BM_memcpy_plane(benchmark::State& s)
{
    std::vector<short> a(N, 1), b(N);
    for (auto _ : s) {
        std::memcpy(b.data(), a.data(), a.size() * 2);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_memcpy_plane)->Unit(benchmark::kMillisecond);

void BM_memcpy_raw_cloud(benchmark::State& s)
{
    std::vector<char> b(raw_cloud().size());
    for (auto _ : s) {
        std::memcpy(b.data(), raw_cloud().data(), b.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_memcpy_raw_cloud)->Unit(benchmark::kMillisecond);

void BM_memcpy_rgb(benchmark::State& s)
{
    std::vector<uint8_t> a(size_t(N) * 3, 1), b(size_t(N) * 3);
    for (auto _ : s) {
        std::memcpy(b.data(), a.data(), a.size());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_memcpy_rgb)->Unit(benchmark::kMillisecond);

void BM_fwrite_float_cloud(benchmark::State& s)
{
    std::vector<float> a(size_t(N) * 3, 1.0f);
    for (auto _ : s)
        fwrite_bytes(file("raw.bin").c_str(), a.data(), a.size() * 4);
}
BENCHMARK(BM_fwrite_float_cloud)->Unit(benchmark::kMillisecond);

void BM_fwrite_rgb(benchmark::State& s)
{
    std::vector<uint8_t> a(size_t(N) * 3, 1);
    for (auto _ : s)
        fwrite_bytes(file("rgb.bin").c_str(), a.data(), a.size());
}
BENCHMARK(BM_fwrite_rgb)->Unit(benchmark::kMillisecond);

void BM_printf_ply(benchmark::State& s)
{
    for (auto _ : s)
        printf_points(file("printf.ply").c_str(), true);
}
BENCHMARK(BM_printf_ply)->Unit(benchmark::kMillisecond);

void BM_printf_txt(benchmark::State& s)
{
    for (auto _ : s)
        printf_points(file("printf.txt").c_str(), false);
}
BENCHMARK(BM_printf_txt)->Unit(benchmark::kMillisecond);

void BM_printf_colour_txt(benchmark::State& s)
{
    for (auto _ : s)
        printf_colour(file("printf_colour.txt").c_str());
}
BENCHMARK(BM_printf_colour_txt)->Unit(benchmark::kMillisecond);

// ---- the library ----

void BM_cloud_to_float(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    PhotoInfo f = cloud_frame(raw.data());
    std::vector<float> out(size_t(N) * 3);
    for (auto _ : s) {
        imaging::convert_cloud_to_float(bench_log, f, out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_cloud_to_float)->Unit(benchmark::kMillisecond);

void BM_plane_z(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    PhotoInfo f = cloud_frame(raw.data());
    std::vector<short> out(N);
    for (auto _ : s) {
        imaging::get_cloud_plane_z(bench_log, f, out.data());
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_plane_z)->Unit(benchmark::kMillisecond);

void BM_ply(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    PhotoInfo f = cloud_frame(raw.data());
    for (auto _ : s)
        imaging::save_cloud_ply(bench_log, f, file("lib.ply").c_str());
}
BENCHMARK(BM_ply)->Unit(benchmark::kMillisecond);

void BM_txt(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    PhotoInfo f = cloud_frame(raw.data());
    for (auto _ : s)
        imaging::save_cloud_txt(bench_log, f, file("lib.txt").c_str());
}
BENCHMARK(BM_txt)->Unit(benchmark::kMillisecond);

void BM_colour_txt(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    PhotoInfo f = cloud_frame(raw.data());
    for (auto _ : s)
        imaging::save_cloud_with_colour_txt(bench_log, f, fused_cloud().data(), file("lib_colour.txt").c_str());
}
BENCHMARK(BM_colour_txt)->Unit(benchmark::kMillisecond);

void BM_pcd(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    PhotoInfo f = cloud_frame(raw.data());
    for (auto _ : s)
        imaging::save_cloud_pcd(bench_log, f, file("lib.pcd").c_str());
}
BENCHMARK(BM_pcd)->Unit(benchmark::kMillisecond);

void BM_filter_point_cloud(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    for (auto _ : s) {
        s.PauseTiming();
        raw = raw_cloud();
        PhotoInfo f = cloud_frame(raw.data());
        s.ResumeTiming();
        imaging::filter_point_cloud(bench_log, f, 1.0);
    }
}
BENCHMARK(BM_filter_point_cloud)->Unit(benchmark::kMillisecond);

void BM_spatial_filter(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    for (auto _ : s) {
        s.PauseTiming();
        raw = raw_cloud();
        PhotoInfo f = cloud_frame(raw.data());
        s.ResumeTiming();
        imaging::spatial_filter_point_cloud(bench_log, f, 5);
    }
}
BENCHMARK(BM_spatial_filter)->Unit(benchmark::kMillisecond);

void BM_depth_png(benchmark::State& s)
{
    std::vector<char> raw = raw_cloud();
    PhotoInfo f = cloud_frame(raw.data());
    for (auto _ : s)
        imaging::save_depth_png(bench_log, f, file("lib.png").c_str());
}
BENCHMARK(BM_depth_png)->Unit(benchmark::kMillisecond);

void BM_yuyv_to_rgb(benchmark::State& s)
{
    std::vector<uint8_t> buffer(size_t(N) * 3);
    for (auto _ : s) {
        s.PauseTiming();
        std::memcpy(buffer.data(), colour_bytes(2).data(), size_t(N) * 2);
        PhotoInfo f{};
        f.pixel = reinterpret_cast<char*>(buffer.data());
        f.pixel_format = PIXEL_FORMAT_YUV422_8;
        f.pixel_width = W;
        f.pixel_height = H;
        f.payload_size = N * 2;
        s.ResumeTiming();
        imaging::yuyv_frame_to_rgb888(bench_log, f);
    }
}
BENCHMARK(BM_yuyv_to_rgb)->Unit(benchmark::kMillisecond);

void BM_bayer_to_rgb(benchmark::State& s)
{
    for (auto _ : s) {
        s.PauseTiming();
        PhotoInfo f{};
        f.pixel = static_cast<char*>(std::malloc(N));
        std::memcpy(f.pixel, colour_bytes(1).data(), N);
        f.pixel_format = PIXEL_FORMAT_BAYER_RG8;
        f.pixel_width = W;
        f.pixel_height = H;
        f.payload_size = N;
        s.ResumeTiming();
        imaging::bayer_frame_to_rgb888(bench_log, f);
        s.PauseTiming();
        std::free(f.pixel);
        s.ResumeTiming();
    }
}
BENCHMARK(BM_bayer_to_rgb)->Unit(benchmark::kMillisecond);

void BM_rgb888_bmp(benchmark::State& s)
{
    std::vector<uint8_t> img = colour_bytes(3);
    PhotoInfo f{};
    f.pixel = reinterpret_cast<char*>(img.data());
    f.pixel_format = PIXEL_FORMAT_RGB8;
    f.pixel_width = W;
    f.pixel_height = H;
    f.payload_size = N * 3;
    for (auto _ : s)
        imaging::save_bmp(bench_log, f, file("lib.bmp").c_str());
}
BENCHMARK(BM_rgb888_bmp)->Unit(benchmark::kMillisecond);

void BM_rgb565_bmp(benchmark::State& s)
{
    std::vector<uint8_t> img = colour_bytes(2);
    PhotoInfo f{};
    f.pixel = reinterpret_cast<char*>(img.data());
    f.pixel_format = PIXEL_FORMAT_RGB565P;
    f.pixel_width = W;
    f.pixel_height = H;
    f.payload_size = N * 2;
    for (auto _ : s)
        imaging::save_bmp(bench_log, f, file("lib565.bmp").c_str());
}
BENCHMARK(BM_rgb565_bmp)->Unit(benchmark::kMillisecond);

// Keeps the time per iteration of every benchmark for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration)
                times[run.benchmark_name()] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

bool same_file(const std::string& a, const std::string& b)
{
    FILE* fa = std::fopen(a.c_str(), "rb");
    FILE* fb = std::fopen(b.c_str(), "rb");
    bool same = fa && fb;
    while (same) {
        const int ca = std::fgetc(fa), cb = std::fgetc(fb);
        same = ca == cb;
        if (ca == EOF || cb == EOF)
            break;
    }
    if (fa)
        std::fclose(fa);
    if (fb)
        std::fclose(fb);
    return same;
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    // The fast writers must write what printf writes.
    std::vector<char> raw = raw_cloud();
    PhotoInfo f = cloud_frame(raw.data());
    printf_points(file("check_printf.ply").c_str(), true);
    printf_points(file("check_printf.txt").c_str(), false);
    printf_colour(file("check_printf_colour.txt").c_str());
    imaging::save_cloud_ply(bench_log, f, file("check.ply").c_str());
    imaging::save_cloud_txt(bench_log, f, file("check.txt").c_str());
    imaging::save_cloud_with_colour_txt(bench_log, f, fused_cloud().data(), file("check_colour.txt").c_str());
    const bool identical = same_file(file("check_printf.ply"), file("check.ply")) &&
                           same_file(file("check_printf.txt"), file("check.txt")) &&
                           same_file(file("check_printf_colour.txt"), file("check_colour.txt"));
    std::printf("text writers byte-identical to printf: %s\n", identical ? "yes" : "NO");

    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);

    struct Pair {
        const char* what;
        const char* baseline;
        const char* aim;
    };
    const Pair pairs[] = {
        {"BM_cloud_to_float", "BM_memcpy_float_cloud", "<= 2x"},
        {"BM_plane_z", "BM_memcpy_plane", "<= 2x"},
        {"BM_ply", "BM_printf_ply", "<= 0.125x"},
        {"BM_txt", "BM_printf_txt", "<= 0.125x"},
        {"BM_colour_txt", "BM_printf_colour_txt", "<= 0.125x"},
        {"BM_pcd", "BM_fwrite_float_cloud", ""},
        {"BM_filter_point_cloud", "BM_memcpy_raw_cloud", "<= 10 ms"},
        {"BM_spatial_filter", "BM_memcpy_raw_cloud", "<= 10 ms"},
        {"BM_yuyv_to_rgb", "BM_memcpy_rgb", ""},
        {"BM_bayer_to_rgb", "BM_memcpy_rgb", ""},
        {"BM_rgb888_bmp", "BM_fwrite_rgb", ""},
        {"BM_rgb565_bmp", "BM_fwrite_rgb", ""},
        {"BM_depth_png", "BM_fwrite_rgb", "<= 60 ms"},
    };
    std::printf("\n%-24s %-24s %10s %10s %8s  %s\n", "operation", "baseline", "op ms", "base ms", "ratio", "aim");
    for (const Pair& p : pairs) {
        const auto a = reporter.times.find(p.what), b = reporter.times.find(p.baseline);
        if (a == reporter.times.end() || b == reporter.times.end())
            continue;
        std::printf("%-24s %-24s %10.3f %10.3f %8.3f  %s\n", p.what, p.baseline, a->second, b->second,
                    a->second / b->second, p.aim);
    }
    benchmark::Shutdown();
    std::system(("rm -rf " + scratch_dir()).c_str());
    return identical ? 0 : 1;
}
