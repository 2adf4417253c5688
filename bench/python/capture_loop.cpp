// The C++ side of the Python capture benchmark: captures channel 0 of the
// first camera found for the given seconds, the way an application does
// (exported interface only, one frame buffer reused), and prints one line of
// figures for capture_bench.py.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 3.0;
    using clock = std::chrono::steady_clock;
    const auto give_up = clock::now() + std::chrono::seconds(20);
    while (DiscoverCamera() < 1)
        if (clock::now() > give_up)
            return fail("discovery", VORA_ERR_CAMERA_MISSING);
    CreateCamera();
    int status = CameraConnect(0);
    if (status != 0)
        return fail("connect", status);
    if ((status = StreamOn(0, 0)) != 0)
        return fail("stream", status);
    SetMaxBufferLength(0, 0, 8);
    int payload = 0;
    ReadRegister(0, GetRegisterAddr(0, "PayloadSize"), &payload);
    std::vector<char> pixels(payload > 0 ? payload : 1);
    PhotoInfo frame{};
    frame.pixel = pixels.data();
    AcquisitionStart(0);
    // The first frame starts the clock, as on the Python side.
    if (TimeoutCapture(0, 0, &frame, 5000000) != 0)
        return fail("first frame", VORA_ERR_CAPTURE_TIMEOUT);
    long frames = 0;
    const double cpu0 = cpu_seconds();
    const auto start = clock::now();
    while (std::chrono::duration<double>(clock::now() - start).count() < seconds)
        if (TimeoutCapture(0, 0, &frame, 100000) == 0)
            ++frames;
    const double wall = std::chrono::duration<double>(clock::now() - start).count();
    const double cpu = cpu_seconds() - cpu0;
    AcquisitionStop(0);
    unsigned b[8] = {};
    GetBlockStatistics(0, 0, &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &b[6], &b[7]);
    std::printf("frames %ld wall %.3f cpu %.3f bytes %.0f incomplete %u lost %u no_buffer %u\n", frames, wall, cpu,
                double(frames) * payload, b[1], b[5], b[3]);
    StreamOff(0, 0);
    CameraDisconnect(0);
    DestroyCamera();
    return 0;
}
