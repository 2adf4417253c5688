// Exit codes, error reporting and the interrupt flag of the vora tool.
#include "common.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

std::atomic<int> g_signal{0};
const char* g_program = "vora";

}  // namespace

std::string status_text(int status)
{
    char code[32];
    // Device statuses read best in the hexadecimal they are documented in.
    if (status > 0)
        std::snprintf(code, sizeof code, "0x%04X", static_cast<unsigned>(status));
    else
        std::snprintf(code, sizeof code, "%d", status);
    return std::string(code) + " (" + VoraStatusText(status) + ")";
}

void set_program_name(const char* name)
{
    g_program = name;
}

const char* program_name()
{
    return g_program;
}

void report_status(const std::string& what, int status)
{
    std::fprintf(stderr, "%s: %s: %s\n", g_program, what.c_str(), status_text(status).c_str());
}

void report(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", g_program, message.c_str());
}

void install_interrupt_handler()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // The signals stay blocked in every thread, the library's threads
        // (created later, inheriting the mask) included: none of them has a
        // system call cut short. One thread waits for them instead.
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGINT);
        sigaddset(&set, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        std::thread([set] {
            for (;;) {
                int sig = 0;
                if (sigwait(&set, &sig) != 0)
                    continue;
                int none = 0;
                if (!g_signal.compare_exchange_strong(none, sig)) {
                    // Asked twice: leave now; the camera frees itself when
                    // its heartbeat timeout passes. Files being written keep
                    // their temporary names.
                    std::_Exit(128 + sig);
                }
                std::fprintf(stderr, "\n%s: stopping (Ctrl-C again to quit at once)\n", g_program);
            }
        }).detach();
    });
}

bool interrupted()
{
    return g_signal.load() != 0;
}

int interrupted_exit_code()
{
    const int sig = g_signal.load();
    return sig ? 128 + sig : kExitInterrupted;
}

std::string ip_text(unsigned address)
{
    char text[16];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
    return text;
}

int mask_bits(unsigned mask)
{
    int bits = 0;
    while (bits < 32 && (mask & (0x80000000u >> bits)))
        ++bits;
    const unsigned rebuilt = bits == 0 ? 0 : ~0u << (32 - bits);
    return rebuilt == mask ? bits : -1;
}

std::string field_text(const char* field, size_t size)
{
    return std::string(field, strnlen(field, size));
}

// Names come from the library's pixel-format table.
std::string pixel_format_name(unsigned format)
{
    PixelFormatInfo info;
    if (GetPixelFormatInfo(format, &info) == VORA_OK)
        return field_text(info.name, sizeof info.name);
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", format);
    return text;
}

unsigned pixel_format_code(const std::string& name)
{
    PixelFormatInfo info;
    return GetPixelFormatInfoByName(name.c_str(), &info) == VORA_OK ? info.pixel_format : 0;
}

std::string mac_text(const DiscoveryInfo& d)
{
    // Both parts are kept in the order they came off the wire.
    const auto* high = reinterpret_cast<const unsigned char*>(&d.camera_mac_high);
    const auto* low = reinterpret_cast<const unsigned char*>(&d.camera_mac_low);
    char text[24];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", high[0], high[1], low[0], low[1], low[2], low[3]);
    return text;
}

std::string address_text(unsigned address, unsigned mask)
{
    const int bits = mask_bits(mask);
    return ip_text(address) + "/" + (bits >= 0 ? std::to_string(bits) : ip_text(mask));
}

void print_table(const std::vector<std::vector<std::string>>& rows)
{
    std::vector<size_t> width;
    for (const auto& row : rows)
        for (size_t c = 0; c < row.size(); ++c) {
            width.resize(std::max(width.size(), row.size()), 0);
            width[c] = std::max(width[c], row[c].size());
        }
    for (const auto& row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c)
            line += row[c] + (c + 1 < row.size() ? std::string(width[c] - row[c].size() + 2, ' ') : "");
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        std::printf("%s\n", line.c_str());
    }
}

std::string errno_text(int error)
{
    return error ? std::strerror(error) : "no reason given";
}

}  // namespace vora_tool
