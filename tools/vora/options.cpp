// The options every vora subcommand shares.
#include "options.h"

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

}  // namespace vora_tool
