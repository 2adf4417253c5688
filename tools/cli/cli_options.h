// The command lines of the vora tool and the simulated camera: options
// through getopt_long ("-c0", "-c 0", "--camera=0", "--camera 0"),
// positional arguments, and number conversions that report a usage error
// naming the option instead of guessing.
#ifndef VORA_CLI_OPTIONS_H
#define VORA_CLI_OPTIONS_H

#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace vora_cli {

// A bad command line; the program prints it with a pointer to --help and
// exits with 2.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct OptionDef {
    std::string name;  // "--frames"
    char alias;        // 'c' for -c, or 0
    bool takes_value;
};

class Args {
public:
    // Parses argv[1..argc) (argv[0] names the program or the subcommand);
    // --help and -h are always known. Options and positional arguments may
    // mix, unless stop_at_positional: then the first positional argument
    // and everything after it are left as positional (a subcommand's line).
    // Throws UsageError for an unknown option or a missing value.
    Args(int argc, char** argv, const std::vector<OptionDef>& known, bool stop_at_positional = false);

    bool has(const std::string& name) const { return values_.count(name) != 0; }
    std::string value(const std::string& name, const std::string& fallback = "") const;
    // Every value a repeatable option was given, in order (value() has the
    // last); empty when it was not given.
    std::vector<std::string> values(const std::string& name) const;
    const std::vector<std::string>& positional() const { return positional_; }
    bool help() const { return has("--help"); }

private:
    std::map<std::string, std::string> values_;
    std::map<std::string, std::vector<std::string>> repeated_;
    std::vector<std::string> positional_;
};

// Whole numbers (0x... allowed) and decimals within [min, max]; `what`
// names the option in the UsageError thrown otherwise, and the message
// names the range.
long long to_integer(const std::string& text, const std::string& what, long long min, long long max);
double to_number(const std::string& text, const std::string& what, double min, double max);
// A dotted IPv4 address, in host order.
uint32_t to_ipv4(const std::string& text, const std::string& what);
std::vector<std::string> split(const std::string& text, char separator);

}  // namespace vora_cli

#endif
