// The smallest complete program: find a camera, connect, capture one frame
// of stream channel 0 and save it as a point cloud, then give everything
// back. Build it against the shared library VoraSDK.
//
//   minimal_capture [OUTPUT.pcd]     (default frame.pcd)
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "vora_qelcamera_api.h"

namespace {

int fail(const char* what, int status)
{
    std::fprintf(stderr, "%s failed: %d (%s)\n", what, status, VoraStatusText(status));
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string path = argc > 1 ? argv[1] : "frame.pcd";
    SetLogLevel(0, 0, 0, 0);

    const int found = DiscoverCamera();
    if (found <= 0) {
        std::fprintf(stderr, "no camera found\n");
        return 1;
    }
    CameraSort(SORT_BY_SERIAL_NUMBER);  // index 0: the smallest serial number
    CreateCamera();
    std::printf("found %d camera(s); using camera 0 at %s\n", found, CameraIP(0));

    int status = CameraConnect(0);
    if (status != 0) {
        DestroyCamera();
        return fail("CameraConnect", status);
    }
    std::printf("connected\n");

    // A frame buffer as large as the channel's payload.
    int payload = 0;
    const int address = GetRegisterAddr(0, "PayloadSize");
    status = address < 0 ? address : ReadRegister(0, static_cast<unsigned>(address), &payload);
    if (status == 0)
        status = StreamOn(0, 0);
    if (status == 0)
        status = AcquisitionStart(0);
    int result = 0;
    if (status != 0) {
        result = fail("opening channel 0", status);
    } else {
        std::vector<char> pixels(static_cast<size_t>(payload));
        PhotoInfo frame{};
        frame.pixel = pixels.data();
        status = TimeoutCapture(0, 0, &frame, 5000000);  // wait up to 5 s
        if (status != 0) {
            result = fail("TimeoutCapture", status);
        } else {
            std::printf("captured frame %u: %ux%u\n", frame.block_id, frame.pixel_width, frame.pixel_height);
            status = SavePointCloudToPcd(0, &frame, path.data());
            if (status != 0)
                result = fail("SavePointCloudToPcd", status);
            else
                std::printf("saved %s\n", path.c_str());
        }
        AcquisitionStop(0);
    }

    // Close what was opened; DestroyCamera would do it too.
    StreamOff(0, 0);
    CameraDisconnect(0);
    DestroyCamera();
    std::printf("done\n");
    return result;
}
