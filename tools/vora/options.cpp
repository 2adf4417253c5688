// Command-line parsing for the vora subcommands.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "common.h"

namespace vora_tool {

const OptionDef kCameraOption{"--camera", "-c", true};

Args::Args(int argc, char** argv, int first, const std::vector<OptionDef>& known)
{
    bool options_done = false;
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (options_done || arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
            positional_.push_back(arg);  // negative numbers are values, not options
            continue;
        }
        if (arg == "--") {
            options_done = true;
            continue;
        }
        if (arg == "--help" || arg == "-h") {
            values_["--help"] = "";
            continue;
        }
        std::string name = arg;
        std::string inline_value;
        bool has_inline = false;
        const size_t eq = arg.find('=');
        if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            inline_value = arg.substr(eq + 1);
            has_inline = true;
        }
        const OptionDef* found = nullptr;
        for (const OptionDef& s : known)
            if (s.name == name || (!s.alias.empty() && s.alias == name))
                found = &s;
        if (!found)
            throw UsageError("unknown option " + name);
        if (!found->takes_value) {
            if (has_inline)
                throw UsageError("option " + found->name + " takes no value");
            values_[found->name] = "";
            continue;
        }
        if (has_inline) {
            values_[found->name] = inline_value;
        } else {
            if (i + 1 >= argc)
                throw UsageError("option " + name + " needs a value");
            values_[found->name] = argv[++i];
        }
    }
}

bool Args::has(const std::string& name) const
{
    return values_.count(name) != 0;
}

std::string Args::value(const std::string& name, const std::string& fallback) const
{
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

long long to_integer(const std::string& text, const std::string& what, long long min, long long max)
{
    errno = 0;
    char* end = nullptr;
    // Base 0: register values are often easier to give in hexadecimal.
    const long long value = std::strtoll(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno == ERANGE)
        throw UsageError(what + " must be a whole number, not \"" + text + "\"");
    if (value < min || value > max)
        throw UsageError(what + " must lie in " + std::to_string(min) + ".." + std::to_string(max) + ", not " +
                         text);
    return value;
}

double to_number(const std::string& text, const std::string& what, double min, double max)
{
    errno = 0;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno == ERANGE || !std::isfinite(value))
        throw UsageError(what + " must be a number, not \"" + text + "\"");
    if (value < min || value > max)
        throw UsageError(what + " is out of range: " + text);
    return value;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        const size_t at = text.find(separator, start);
        parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
        if (at == std::string::npos)
            return parts;
        start = at + 1;
    }
}

int camera_option(const Args& args)
{
    return static_cast<int>(to_integer(args.value("--camera", "0"), "the camera index (-c)", 0, 1000000));
}

}  // namespace vora_tool
