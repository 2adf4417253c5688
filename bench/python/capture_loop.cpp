// The C++ side of the Python capture benchmark, and the live capture the
// ROS 2 bridge's benchmark measures the bridge against: captures channel 0
// (or the channels listed, e.g. "0,1", each on a thread of its own) of the
// first camera found for the given seconds, the way an application does
// (exported interface only, one frame buffer per channel reused), and prints
// one line of figures, summed over the channels.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "vora_qelcamera_api.h"

namespace {

double cpu_seconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int fail(const char* what, int status)
{
    std::fprintf(stderr, "capture_loop: %s: %s (status %d)\n", what, VoraStatusText(status), status);
    return 1;
}

}  // namespace

namespace {

// One channel's capture loop and what it counted.
struct Channel {
    unsigned short number = 0;
    long payload = 0;
    long frames = 0;
    std::vector<char> pixels;
};

void capture(Channel& c, double seconds)
{
    PhotoInfo frame{};
    frame.pixel = c.pixels.data();
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() < seconds)
        if (TimeoutCapture(0, c.number, &frame, 100000) == 0)
            ++c.frames;
}

}  // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    std::vector<Channel> channels;
    for (const char* p = argc > 2 ? argv[2] : "0"; *p;) {
        Channel c;
        c.number = static_cast<unsigned short>(std::strtoul(p, const_cast<char**>(&p), 10));
        channels.push_back(std::move(c));
        if (*p == ',')
            ++p;
        else if (*p)
            return fail("channel list", VORA_ERR_INVALID_ARG);
    }
    using clock = std::chrono::steady_clock;
    const auto give_up = clock::now() + std::chrono::seconds(20);
    while (DiscoverCamera() < 1)
        if (clock::now() > give_up)
            return fail("discovery", VORA_ERR_CAMERA_MISSING);
    CreateCamera();
    int status = CameraConnect(0);
    if (status != 0)
        return fail("connect", status);
    for (Channel& c : channels) {
        if ((status = StreamOn(0, c.number)) != 0)
            return fail("stream", status);
        SetMaxBufferLength(0, c.number, 8);
        int payload = 0;
        ReadRegister(0, GetRegisterAddr(0, "PayloadSize") + STREAM_CHANNEL_REG_STRIDE * c.number, &payload);
        c.payload = payload > 0 ? payload : 1;
        c.pixels.resize(static_cast<size_t>(c.payload));
    }
    AcquisitionStart(0);
    // The first frame of each channel starts the clock, as on the Python side.
    for (Channel& c : channels) {
        PhotoInfo frame{};
        frame.pixel = c.pixels.data();
        if (TimeoutCapture(0, c.number, &frame, 5000000) != 0)
            return fail("first frame", VORA_ERR_CAPTURE_TIMEOUT);
    }
    const double cpu0 = cpu_seconds();
    const auto start = clock::now();
    std::vector<std::thread> threads;
    for (Channel& c : channels)
        threads.emplace_back(capture, std::ref(c), seconds);
    for (std::thread& t : threads)
        t.join();
    const double wall = std::chrono::duration<double>(clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu0;
    AcquisitionStop(0);
    long frames = 0;
    double bytes = 0;
    unsigned incomplete = 0, lost = 0, no_buffer = 0;
    for (const Channel& c : channels) {
        unsigned b[8] = {};
        GetBlockStatistics(0, c.number, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
        frames += c.frames;
        bytes += double(c.frames) * c.payload;
        incomplete += b[1];
        lost += b[5];
        no_buffer += b[3];
        StreamOff(0, c.number);
    }
    std::printf("frames %ld wall %.3f cpu %.3f bytes %.0f incomplete %u lost %u no_buffer %u\n", frames, wall, cpu,
                bytes, incomplete, lost, no_buffer);
    CameraDisconnect(0);
    DestroyCamera();
    return 0;
}
