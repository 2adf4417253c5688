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

std::set<std::string> formats_option(const Args& args)
{
    static const std::set<std::string> known = {"pcd", "ply", "plybin", "txt", "png", "bmp", "raw"};
    std::set<std::string> formats;
    for (const std::string& f : split(args.value("--format", "pcd,png,bmp"), ',')) {
        if (!known.count(f))
            throw vora_cli::UsageError("unknown format \"" + f + "\" (pcd, ply, plybin, txt, png, bmp, raw)");
        formats.insert(f);
    }
    return formats;
}

bool resend_option(const Args& args)
{
    const std::string resend = args.value("--resend", "on");
    if (resend != "on" && resend != "off")
        throw vora_cli::UsageError("--resend takes on or off");
    return resend == "on";
}

}  // namespace vora_tool
