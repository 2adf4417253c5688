// The options every vora subcommand shares, over the common command-line
// parser.
#ifndef VORA_TOOL_OPTIONS_H
#define VORA_TOOL_OPTIONS_H

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

}  // namespace vora_tool

#endif
