// The options every vora subcommand shares, over the common command-line
// parser.
#ifndef VORA_TOOL_OPTIONS_H
#define VORA_TOOL_OPTIONS_H

#include <set>
#include <string>

#include "cli_options.h"

namespace vora_tool {

using vora_cli::Args;
using vora_cli::OptionDef;
using vora_cli::split;
using vora_cli::to_integer;
using vora_cli::to_ipv4;
using vora_cli::to_number;

// -c/--camera: an index of `vora list`, a serial number, an IP address or a
// MAC address (default: index 0).
extern const OptionDef kCameraOption;
std::string camera_option(const Args& args);
// --json: one JSON document on stdout instead of text.
extern const OptionDef kJsonOption;
// What a capture writes and how it receives, for single and synchronised
// capture alike: --format LIST (default pcd,png,bmp) and --resend on|off.
std::set<std::string> formats_option(const Args& args);
bool resend_option(const Args& args);

}  // namespace vora_tool

#endif
