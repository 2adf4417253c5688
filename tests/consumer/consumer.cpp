// Finds the first camera, captures a frame of channel 0 and prints its size.
// Its own variables carry the names of the library's C++ globals: a plain
// include of the interface must not declare those. (Static: the library
// exports the names, and a global of the program would take their place.)
#include <cstdio>
#include <vector>

#include "vora_qelcamera_api.h"

static int discovery_info = 0;
static int camera_object = 0;
static int gvcp_log_error_level = 0;

int main()
{
    if (DiscoverCamera() < 1)
        return 3;
    CreateCamera();
    int status = CameraConnect(0);
    if (status == 0)
        status = StreamOn(0, 0);
    int payload = 0;
    if (status == 0)
        status = ReadRegister(0, GetRegisterAddr(0, "PayloadSize"), &payload);
    std::vector<char> pixels(payload > 0 ? payload : 1);
    PhotoInfo frame{};
    frame.pixel = pixels.data();
    if (status == 0)
        status = AcquisitionStart(0);
    if (status == 0)
        status = TimeoutCapture(0, 0, &frame, 20000000);
    AcquisitionStop(0);
    StreamOff(0, 0);
    CameraDisconnect(0);
    DestroyCamera();
    if (status != 0) {
        std::fprintf(stderr, "consumer: %s\n", VoraStatusText(status));
        return 1;
    }
    std::printf("frame %ux%u\n", frame.pixel_width, frame.pixel_height);
    return discovery_info + camera_object + gvcp_log_error_level;
}
