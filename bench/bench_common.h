// What the stream benchmarks share: measuring windows of streaming, the
// receive threads' CPU time, and the search for the highest rate at which
// nothing is lost.
#ifndef VORA_BENCH_COMMON_H
#define VORA_BENCH_COMMON_H

#include <dirent.h>
#include <dlfcn.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "vora_qelcamera_api.h"

namespace bench {

// Megabytes of the 1280 x 1024 Coord3D_ABC16 cloud every benchmark streams.
constexpr double kFrameMB = 1280 * 1024 * 6 / 1e6;

// The eight block counters of a stream channel, in GetBlockStatistics order.
inline std::vector<unsigned> block_counters(int camera, unsigned short channel)
{
    unsigned b[8];
    GetBlockStatistics(camera, channel, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    return std::vector<unsigned>(b, b + 8);
}

struct Window {
    double rate = 0;        // frames per second asked of the camera
    double fps = 0;         // frames the camera managed to send per second
    bool lossless = false;  // every frame sent arrived complete
    double cpu_per_gb = 0;  // receiving threads' CPU seconds per GB delivered
    unsigned long long sent = 0, complete = 0;
};

// CPU seconds of the calling thread.
inline double thread_cpu_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

// CPU seconds of every thread of this process whose name starts with
// `prefix` (the library's receive threads are vora-rx<channel>, its
// recorders vora-rec).
inline double threads_cpu(const std::string& prefix)
{
    DIR* dir = opendir("/proc/self/task");
    if (!dir)
        return 0;
    double cpu = 0;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;
        const std::string base = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(base + "/comm");
        std::string name;
        std::getline(comm, name);
        if (name.rfind(prefix, 0) != 0)
            continue;
        std::ifstream stat(base + "/stat");
        const std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // Fields after the command's closing parenthesis; utime and stime
        // are the 12th and 13th of them.
        size_t pos = text.rfind(')');
        for (int field = 0; field < 12 && pos != std::string::npos; ++field)
            pos = text.find(' ', pos + 1);
        if (pos == std::string::npos)
            continue;
        char* end = nullptr;
        const double utime = std::strtod(text.c_str() + pos + 1, &end);
        const double stime = std::strtod(end, nullptr);
        cpu += (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    closedir(dir);
    return cpu;
}

inline double receive_thread_cpu()
{
    return threads_cpu("vora-rx");
}

// Entry points of the exported interface that a library built from an
// older tree may lack: looked up when the benchmark runs, so that it builds
// and runs against either and says what it could not measure.
template <class Function>
Function* optional_entry(const char* name)
{
    return reinterpret_cast<Function*>(dlsym(RTLD_DEFAULT, name));
}

// How the channel's datagrams arrived; all zeros where the library does not
// report it yet (then *available is false).
inline VoraReceivePathStatistics receive_path(int camera, unsigned short channel, bool* available = nullptr)
{
    static auto* get = optional_entry<decltype(GetReceivePathStatistics)>("GetReceivePathStatistics");
    VoraReceivePathStatistics s{};
    const bool ok = get && get(camera, channel, &s) == 0;
    if (!ok)
        s = VoraReceivePathStatistics{};
    if (available)
        *available = ok;
    return s;
}

// b minus a, counter by counter.
inline VoraReceivePathStatistics receive_path_delta(const VoraReceivePathStatistics& a,
                                                    const VoraReceivePathStatistics& b)
{
    VoraReceivePathStatistics d = b;
    d.calls -= a.calls;
    d.datagrams -= a.datagrams;
    d.trains -= a.trains;
    d.train_datagrams -= a.train_datagrams;
    d.irregular_trains -= a.irregular_trains;
    d.landed -= a.landed;
    d.frames_gro -= a.frames_gro;
    d.frames_datagram -= a.frames_datagram;
    return d;
}

inline void print_receive_path(const char* indent, const VoraReceivePathStatistics& d, bool available)
{
    if (!available) {
        std::printf("%sreceive path: not reported by this build of the library\n", indent);
        return;
    }
    std::printf("%sreceive path: gro %u, %llu calls, %llu datagrams (%.2f per call), %llu trains (%llu datagrams), "
                "%llu landed in place, %llu irregular trains, frames %llu by trains / %llu datagram by datagram\n",
                indent, d.gro, static_cast<unsigned long long>(d.calls), static_cast<unsigned long long>(d.datagrams),
                d.calls ? double(d.datagrams) / double(d.calls) : 0.0, static_cast<unsigned long long>(d.trains),
                static_cast<unsigned long long>(d.train_datagrams), static_cast<unsigned long long>(d.landed),
                static_cast<unsigned long long>(d.irregular_trains), static_cast<unsigned long long>(d.frames_gro),
                static_cast<unsigned long long>(d.frames_datagram));
}

// The rates tried: from 10 frames per second, a quarter more each step.
inline std::vector<double> rate_ladder()
{
    std::vector<double> rates;
    for (double r = 10; r < 5000; r *= 1.25)
        rates.push_back(static_cast<double>(static_cast<long>(r + 0.5)));
    return rates;
}

// A rate holds when one of three windows at it is lossless and the camera
// kept nine tenths of the pace: one busy moment on a two-core machine does
// not decide.
template <class Run>
bool holds(Run run, double rate)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Window w = run(rate);
        if (w.lossless && w.fps >= rate * 0.9)
            return true;
    }
    return false;
}

// The highest rate of the ladder, up to `limit`, below which every rate
// held; the first rate that did not goes to *failed. With `from`, the climb
// starts at the first rate of the ladder at or above it (a rate another
// receiver reached, to save windows); when that one already fails, the
// climb starts over from the bottom.
template <class Run>
double highest_lossless(Run run, double limit, double* failed = nullptr, double from = 0)
{
    double best = 0;
    bool tried = false;
    for (double rate : rate_ladder()) {
        if (rate > limit)
            break;
        if (rate < from) {
            best = rate;
            continue;
        }
        if (!holds(run, rate)) {
            if (!tried && from > 0) {
                if (failed)
                    *failed = rate;
                return highest_lossless(run, rate * 0.99, failed);
            }
            if (failed)
                *failed = rate;
            break;
        }
        tried = true;
        best = rate;
    }
    return best;
}

// The least CPU per GB of three windows.
template <class Run>
double least_cpu(Run run)
{
    double best = 0;
    for (int i = 0; i < 3; ++i) {
        const double c = run().cpu_per_gb;
        if (c > 0 && (best == 0 || c < best))
            best = c;
    }
    return best;
}

inline double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t i = static_cast<size_t>(p / 100.0 * (values.size() - 1) + 0.5);
    return values[std::min(i, values.size() - 1)];
}

// Whether a benchmark's command line asks for `part`: every part when it
// names none.
inline bool wanted(int argc, char** argv, const char* part)
{
    if (argc < 2)
        return true;
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], part) == 0)
            return true;
    return false;
}

}  // namespace bench

#endif
