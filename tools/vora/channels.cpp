// Choosing and opening stream channels, for every command alike.
#include "channels.h"

#include <set>

#include "common.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

std::vector<unsigned short> channels_option(const std::string& text)
{
    std::vector<unsigned short> channels;
    std::set<unsigned short> seen;
    for (const std::string& c : split(text, ',')) {
        const auto ch = static_cast<unsigned short>(to_integer(c, "a channel of --channels", 0, 2));
        if (!seen.insert(ch).second)
            throw UsageError("channel " + c + " is listed twice");
        channels.push_back(ch);
    }
    return channels;
}

std::vector<unsigned short> channels_option(const Args& args)
{
    return args.has("--channels") ? channels_option(args.value("--channels")) : std::vector<unsigned short>();
}

int ChannelOpener::choose(const std::vector<unsigned short>& asked)
{
    int available = 0;
    const int status = ReadRegister(s_.index(), Number_of_Stream_Channels_Reg, &available);
    if (status != 0) {
        report_status("reading the number of stream channels", status);
        return kExitCamera;
    }
    std::vector<unsigned short> wanted = asked;
    if (wanted.empty())
        for (int ch = 0; ch < available && ch < 3; ++ch)
            wanted.push_back(static_cast<unsigned short>(ch));
    for (unsigned short ch : wanted) {
        if (ch >= available) {
            report("camera has " + std::to_string(available) + " stream channel(s); there is no channel " +
                   std::to_string(ch));
            return kExitUsage;
        }
    }
    if (wanted.empty()) {
        report("the camera has no stream channel");
        return kExitCamera;
    }
    chosen_.clear();
    for (unsigned short ch : wanted) {
        StreamChannel c;
        c.index = ch;
        chosen_.push_back(c);
    }
    return kExitOk;
}

int ChannelOpener::read_formats()
{
    for (StreamChannel& c : chosen_) {
        int format = 0;
        const int status = s_.read_feature("PixelFormat", c.index * STREAM_CHANNEL_REG_STRIDE, &format);
        if (status != 0) {
            report_status("reading the pixel format of channel " + std::to_string(c.index), status);
            return kExitCamera;
        }
        c.pixel_format = static_cast<unsigned>(format);
    }
    return kExitOk;
}

int ChannelOpener::open(StreamChannel& channel, bool resend)
{
    const unsigned short ch = channel.index;
    int status = s_.stream_on(ch);
    if (status != 0) {
        report_status("opening stream channel " + std::to_string(ch), status);
        return kExitCamera;
    }
    SetResendRequest(s_.index(), ch, resend ? 1 : 0);
    // Read once the channel is open: the size its frames were set up with.
    // Captures copy whole frames, so their buffers are made this size.
    int payload = 0;
    status = s_.read_feature("PayloadSize", ch * STREAM_CHANNEL_REG_STRIDE, &payload);
    if (status != 0 || payload <= 0) {
        report_status("reading the payload size of channel " + std::to_string(ch), status ? status : -1);
        return kExitCamera;
    }
    channel.payload = static_cast<size_t>(payload);
    return kExitOk;
}

}  // namespace vora_tool
