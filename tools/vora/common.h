// What every part of the vora tool shares: exit codes, error reporting and
// the interrupt flag.
#ifndef VORA_TOOL_COMMON_H
#define VORA_TOOL_COMMON_H

#include <string>
#include <vector>

#include "cli_options.h"
#include "vora_base_type.h"
#include "vora_pixel_format.h"

namespace vora_tool {

constexpr int kExitOk = 0;
constexpr int kExitCamera = 1;    // the camera or the library reported an error
constexpr int kExitUsage = 2;     // bad command line
constexpr int kExitNoCamera = 3;  // discovery found no camera, or none at the index
// An interrupted command exits with 128 + the signal, as shells expect:
// 130 for SIGINT (Ctrl-C), 143 for SIGTERM.
constexpr int kExitInterrupted = 130;

// A bad command line; main prints it with a pointer to --help.
using vora_cli::UsageError;

// "-11 (camera not connected ...)" or "0x8006 (device: access denied ...)".
std::string status_text(int status);

// The name messages begin with: "vora" unless a program sharing this code
// says otherwise (before it reports anything).
void set_program_name(const char* name);
const char* program_name();

// Prints "<program>: <what>: <status text>" to stderr.
void report_status(const std::string& what, int status);
// Prints "<program>: <message>" to stderr.
void report(const std::string& message);

// SIGINT and SIGTERM set a flag instead of ending the process, so that
// commands can give the camera back before they exit; a second signal ends
// the process at once. Installed before the library starts any thread.
void install_interrupt_handler();
bool interrupted();
// The exit code of the signal that interrupted the command (130 or 143).
int interrupted_exit_code();

// Text of a big-endian IPv4 address held in host order.
std::string ip_text(unsigned address);
// Prefix length of a contiguous mask, or -1.
int mask_bits(unsigned mask);
// A fixed-size text field that need not be terminated.
std::string field_text(const char* field, size_t size);

// The library's name of a code ("Coord3D_ABC16"), or the code in hexadecimal.
std::string pixel_format_name(unsigned format);
// The code of a name pixel_format_name gives; 0 when unknown.
unsigned pixel_format_code(const std::string& name);

// "aa:bb:cc:dd:ee:ff" of a discovered camera.
std::string mac_text(const DiscoveryInfo& d);
// "192.168.1.20/24", or the mask in full when it is not contiguous.
std::string address_text(unsigned address, unsigned mask);
// Rows of cells in aligned columns, two spaces apart, on stdout.
void print_table(const std::vector<std::vector<std::string>>& rows);
// The text of a system error number.
std::string errno_text(int error);

}  // namespace vora_tool

#endif
