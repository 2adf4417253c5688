// The options every vora subcommand shares.
#include "options.h"

#include <set>

namespace vora_tool {

const OptionDef kCameraOption{"--camera", 'c', true};
const OptionDef kJsonOption{"--json", 0, false};

std::string camera_option(const Args& args)
{
    const std::string text = args.value("--camera", "0");
    if (text.empty())
        throw vora_cli::UsageError("-c needs an index, serial number, IP or MAC address");
    return text;
}

std::vector<unsigned short> channels_option(const std::string& text)
{
    std::vector<unsigned short> channels;
    std::set<unsigned short> seen;
    for (const std::string& c : split(text, ',')) {
        const auto ch = static_cast<unsigned short>(to_integer(c, "a channel of --channels", 0, 2));
        if (!seen.insert(ch).second)
            throw vora_cli::UsageError("channel " + c + " is listed twice");
        channels.push_back(ch);
    }
    return channels;
}

}  // namespace vora_tool
