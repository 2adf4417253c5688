// vora view: a live view of a camera in the browser, served by the tool
// itself (view_server.h) from the camera side (view_camera.h).
#include <malloc.h>

#include <cstdio>
#include <string>

#include "channels.h"
#include "commands.h"
#include "common.h"
#include "options.h"
#include "session.h"
#include "view_camera.h"
#include "view_server.h"

namespace vora_tool {

namespace {

const char* const kViewHelp =
    "usage: vora view [-c CAMERA] [--channels 0,1,2] [--port 8080] [--bind 127.0.0.1] [--out DIR]\n"
    "Opens stream channels of a camera (-c: index of `vora list`, serial number,\n"
    "IP or MAC address; default 0), starts acquisition and serves a page that shows\n"
    "them live: each depth channel as a colour-mapped depth image (the colours of\n"
    "the preview PNGs, with a legend in millimetres) and as a point cloud to orbit,\n"
    "pan and zoom, the colour channel as an image and, optionally, the cloud in the\n"
    "colour image's colours; the library's statistics of every channel with a plot\n"
    "of the last minute; controls for exposure, gain, triggers, laser brightness\n"
    "and the region of interest; and a button that saves the frames on screen.\n"
    "  --channels LIST  stream channels (default: every channel of the camera)\n"
    "  --wait S         keep discovering for up to S seconds (default 5; 0 asks once)\n"
    "  --port N         the port to serve on (default 8080; 0 picks a free one)\n"
    "  --bind ADDRESS   the address to serve on (default 127.0.0.1, this machine\n"
    "                   only). Another address lets other machines in: anyone who\n"
    "                   reaches the port can control the camera.\n"
    "  --out DIR        where the save button writes, a new folder DIR/save_NNNN\n"
    "                   per press (default vora-view): PCD, binary PLY, 16-bit PNG\n"
    "                   and its colour-mapped preview for depth frames, BMP and PNG\n"
    "                   for colour frames, and the fused cloud when it is shown\n"
    "The page's address is printed once it is served; Ctrl-C stops acquisition,\n"
    "closes the streams and gives the camera back.\n"
    "Exit codes: 0 never (it runs until stopped), 1 camera error, the camera was\n"
    "lost or the port cannot be served, 2 usage error, 3 no camera matches, 130\n"
    "interrupted (Ctrl-C), 143 terminated (SIGTERM).\n";

}  // namespace

int cmd_view(int argc, char** argv)
{
    Args args(
        argc, argv,
        {kCameraOption, {"--channels", 0, true}, {"--port", 'p', true}, {"--bind", 0, true}, {"--out", 'o', true}});
    if (args.help()) {
        std::fputs(kViewHelp, stdout);
        return kExitOk;
    }
    if (!args.positional().empty())
        throw UsageError("unexpected argument " + args.positional()[0]);
    const std::vector<unsigned short> channels = channels_option(args);
    const int port = static_cast<int>(to_integer(args.value("--port", "8080"), "--port", 0, 65535));
    std::string address = args.value("--bind", "127.0.0.1");
    if (address == "localhost")
        address = "127.0.0.1";
    if (!view::is_address(address))
        throw UsageError("--bind takes an IPv4 or IPv6 address, not \"" + address + "\"");
    const std::string out = args.value("--out", "vora-view");
    if (out.empty())
        throw UsageError("--out needs a folder");
    const std::string selector = camera_option(args);

    // Frames and their encodings are megabytes each, made and freed by many
    // threads: straight from the system and back, instead of staying with
    // each thread's heap once freed.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);

    CameraSession session;
    view::Viewer viewer(session, out);
    view::Server server(viewer);
    // The port first: a busy one should not cost the camera's control.
    std::string error;
    if (!server.bind(address, port, &error)) {
        report(error);
        return kExitCamera;
    }
    if (!view::is_loopback(address))
        report("warning: serving on " + address + ": anyone who reaches port " + std::to_string(server.port()) +
               " there can see and control the camera");

    int code = session.connect(selector);
    if (code == kExitOk && !interrupted())
        code = viewer.open(channels);
    if (code != kExitOk || interrupted()) {
        viewer.close();
        return interrupted() ? interrupted_exit_code() : code;
    }
    server.start();
    std::printf("vora view: camera %d (%s) at %s (Ctrl-C stops)\n", session.index(), session.serial().c_str(),
                server.url().c_str());
    std::fflush(stdout);
    code = viewer.run();
    // The camera first: it is free again before the last page has gone.
    viewer.close();
    server.stop();
    if (interrupted())
        report("stopped; the camera is free");
    return code;
}

}  // namespace vora_tool
