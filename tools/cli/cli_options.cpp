// Command-line parsing over getopt_long.
#include "cli_options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace vora_cli {

namespace {

// getopt_long answers this plus the definition's position for every option.
constexpr int kLongBase = 0x1000;

std::string number_text(double value)
{
    std::ostringstream text;
    text << value;
    return text.str();
}

}  // namespace

Args::Args(int argc, char** argv, const std::vector<OptionDef>& known, bool stop_at_positional)
{
    std::vector<OptionDef> defs = known;
    defs.push_back({"--help", 'h', false});
    std::vector<option> longs;
    // Leading ':' reports a missing value apart from an unknown option; '+'
    // stops at the first positional argument.
    std::string shorts = stop_at_positional ? "+:" : ":";
    for (size_t i = 0; i < defs.size(); ++i) {
        longs.push_back({defs[i].name.c_str() + 2, defs[i].takes_value ? required_argument : no_argument, nullptr,
                         kLongBase + static_cast<int>(i)});
        if (defs[i].alias) {
            shorts += defs[i].alias;
            if (defs[i].takes_value)
                shorts += ':';
        }
    }
    longs.push_back({nullptr, 0, nullptr, 0});

    // getopt_long reorders what it is given: a copy, so the caller's argv stays.
    std::vector<char*> args(argv, argv + argc);
    args.push_back(nullptr);
    opterr = 0;
    optind = 0;  // start afresh: the simulator's parser may run after the tool's
    for (;;) {
        const int c = getopt_long(argc, args.data(), shorts.c_str(), longs.data(), nullptr);
        if (c == -1)
            break;
        if (c == '?' || c == ':') {
            // getopt_long names a short option by its letter, a long one by its code.
            const std::string arg = args[optind - 1] ? args[optind - 1] : "";
            std::string name = arg.substr(0, arg.find('='));
            if (optopt >= kLongBase)
                name = defs[static_cast<size_t>(optopt - kLongBase)].name;
            else if (optopt > 0)
                name = std::string("-") + static_cast<char>(optopt);
            if (c == ':')
                throw UsageError("option " + name + " needs a value");
            for (const OptionDef& d : defs)
                if (!d.takes_value && d.name == name)
                    throw UsageError("option " + name + " takes no value");
            throw UsageError("unknown option " + name);
        }
        const OptionDef* def = nullptr;
        if (c >= kLongBase) {
            def = &defs[static_cast<size_t>(c - kLongBase)];
        } else {
            for (const OptionDef& d : defs)
                if (d.alias == c)
                    def = &d;
        }
        if (def) {
            values_[def->name] = optarg ? optarg : "";
            repeated_[def->name].push_back(values_[def->name]);
        }
    }
    for (int i = optind; i < argc; ++i)
        positional_.push_back(args[static_cast<size_t>(i)]);
}

std::string Args::value(const std::string& name, const std::string& fallback) const
{
    auto it = values_.find(name);
    return it == values_.end() ? fallback : it->second;
}

std::vector<std::string> Args::values(const std::string& name) const
{
    auto it = repeated_.find(name);
    return it == repeated_.end() ? std::vector<std::string>() : it->second;
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
        throw UsageError(what + " must lie in " + std::to_string(min) + ".." + std::to_string(max) + ", not " + text);
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
        throw UsageError(what + " must lie in " + number_text(min) + ".." + number_text(max) + ", not " + text);
    return value;
}

uint32_t to_ipv4(const std::string& text, const std::string& what)
{
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        throw UsageError(what + " takes an IPv4 address, not \"" + text + "\"");
    return ntohl(a.s_addr);
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

}  // namespace vora_cli
