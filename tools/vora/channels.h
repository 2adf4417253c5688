// The stream channels a command works with, chosen and opened the same way
// by every command: --channels parsed and checked, checked again against
// what the camera has, and each channel opened with packet resend as asked
// and the size of its frames read once it is open.
#ifndef VORA_TOOL_CHANNELS_H
#define VORA_TOOL_CHANNELS_H

#include <cstddef>
#include <string>
#include <vector>

#include "options.h"
#include "session.h"

namespace vora_tool {

// --channels: stream channels 0..2, each once, in the order given; a usage
// error otherwise.
std::vector<unsigned short> channels_option(const std::string& text);
// The command's --channels; empty when it has none.
std::vector<unsigned short> channels_option(const Args& args);

// What a command knows of a channel before it captures from it. Commands
// keep their own figures in records derived from it.
struct StreamChannel {
    unsigned short index = 0;
    unsigned pixel_format = 0;  // as configured, read by read_formats()
    size_t payload = 0;         // bytes of a frame, read by open()
};

class ChannelOpener {
public:
    explicit ChannelOpener(CameraSession& session) : s_(session) {}

    // The channels asked for, or every channel the camera has (up to three)
    // when none is. An exit code, the reason printed: the camera's count
    // unreadable, or none at all, is a camera error; a channel it does not
    // have is a usage error.
    int choose(const std::vector<unsigned short>& asked);
    const std::vector<StreamChannel>& chosen() const { return chosen_; }
    // Reads the pixel format of every chosen channel; an exit code.
    int read_formats();
    // Opens a channel, asks for lost packets or not, and reads the size of
    // its frames into channel.payload; an exit code, the reason printed.
    int open(StreamChannel& channel, bool resend = true);
    // Closes every open channel.
    void close() { s_.close_streams(); }

private:
    CameraSession& s_;
    std::vector<StreamChannel> chosen_;
};

}  // namespace vora_tool

#endif
