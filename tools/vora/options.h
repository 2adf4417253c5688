// Command-line parsing for the vora subcommands: options with or without a
// value ("--name value", "--name=value", "-c N"), positional arguments, and
// number conversions that report a usage error instead of guessing.
#ifndef VORA_TOOL_OPTIONS_H
#define VORA_TOOL_OPTIONS_H

#include <map>
#include <string>
#include <vector>

namespace vora_tool {

struct OptionDef {
    std::string name;   // "--frames"
    std::string alias;  // "-c", or empty
    bool takes_value;
};

class Args {
public:
    // Parses argv[first..argc); --help and -h are always known. Throws
    // UsageError for an unknown option or a missing value.
    Args(int argc, char** argv, int first, const std::vector<OptionDef>& known);

    bool has(const std::string& name) const;
    std::string value(const std::string& name, const std::string& fallback = "") const;
    const std::vector<std::string>& positional() const { return positional_; }
    bool help() const { return has("--help"); }

private:
    std::map<std::string, std::string> values_;
    std::vector<std::string> positional_;
};

// Whole numbers and decimals in the ranges given; what names the option in
// the message of the UsageError thrown otherwise.
long long to_integer(const std::string& text, const std::string& what, long long min, long long max);
double to_number(const std::string& text, const std::string& what, double min, double max);
std::vector<std::string> split(const std::string& text, char separator);

// The camera option every camera command takes: -c/--camera N (default 0).
extern const OptionDef kCameraOption;
int camera_option(const Args& args);

}  // namespace vora_tool

#endif
