// The HTTP side of `vora view` (cpp-httplib): the page, and an interface
// under /api/ whose frames travel as binary messages (view_frames.h), one
// per request. A page asks for a channel's next frame once it has drawn the
// last one and gets the newest there is, so a slow page is sent fewer
// frames and nothing ever queues for it.
//
//   GET  /api/info                        camera, channels and their sizes
//   GET  /api/colormap                    the depth colour map's stops
//   GET  /api/frame?channel=C&after=SEQ[&step=S][&points=0|1][&fuse=0|1]
//                                         the newest frame after SEQ (waits
//                                         for one a while; 204 when none came)
//   GET  /api/stats?after=SEQ             the last minute of statistics
//   GET  /api/controls                    controls, ranges, values
//   POST /api/set?name=N&index=I&value=V  writes a control's feature
//   POST /api/save?chC=SEQ...[&fuse=C]    saves the frames the page shows
//
// Every request is checked before use: its Host must name this server (a
// page of another site cannot reach it through DNS tricks), a POST's Origin
// must be this server's, numbers must be numbers within their ranges.
#ifndef VORA_TOOL_VIEW_SERVER_H
#define VORA_TOOL_VIEW_SERVER_H

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "view_camera.h"

namespace vora_tool {
namespace view {

// True for a numeric IPv4 or IPv6 address.
bool is_address(const std::string& text);
// True for the loopback addresses, where only this machine reaches.
bool is_loopback(const std::string& address);

class Server {
public:
    explicit Server(Viewer& viewer);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds address:port (port 0: any free one); false with the reason.
    bool bind(const std::string& address, int port, std::string* error);
    int port() const { return port_; }
    // "http://127.0.0.1:8080/"
    std::string url() const;
    // Serves from a thread of its own until stop().
    void start();
    void stop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
    std::atomic<bool> ended_{false};
    std::string address_;
    int port_ = 0;
};

}  // namespace view
}  // namespace vora_tool

#endif
