// What every part of the vora tool shares: exit codes, error reporting and
// the interrupt flag.
#ifndef VORA_TOOL_COMMON_H
#define VORA_TOOL_COMMON_H

#include <stdexcept>
#include <string>

#include "vora_pixel_format.h"

namespace vora_tool {

constexpr int kExitOk = 0;
constexpr int kExitCamera = 1;         // the camera or the library reported an error
constexpr int kExitUsage = 2;          // bad command line
constexpr int kExitNoCamera = 3;       // discovery found no camera, or none at the index
constexpr int kExitInterrupted = 130;  // SIGINT or SIGTERM

// A bad command line; main prints it with a pointer to --help.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "-11 (camera not connected ...)" or "0x8006 (device: access denied ...)".
std::string status_text(int status);

// Prints "vora: <what>: <status text>" to stderr.
void report_status(const std::string& what, int status);
// Prints "vora: <message>" to stderr.
void report(const std::string& message);

// SIGINT and SIGTERM set a flag instead of ending the process, so that
// commands can give the camera back before they exit; a second signal ends
// the process at once. Installed before the library starts any thread.
void install_interrupt_handler();
bool interrupted();

// Text of a big-endian IPv4 address held in host order.
std::string ip_text(unsigned address);
// Prefix length of a contiguous mask, or -1.
int mask_bits(unsigned mask);
// A fixed-size text field that need not be terminated.
std::string field_text(const char* field, size_t size);

// "Coord3D_ABC16", or the code in hexadecimal.
std::string pixel_format_name(unsigned format);

}  // namespace vora_tool

#endif
