// Exit codes, error reporting and the interrupt flag of the vora tool.
#include "common.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

std::atomic<bool> g_interrupted{false};

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

void report_status(const std::string& what, int status)
{
    std::fprintf(stderr, "vora: %s: %s\n", what.c_str(), status_text(status).c_str());
}

void report(const std::string& message)
{
    std::fprintf(stderr, "vora: %s\n", message.c_str());
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
                if (g_interrupted.exchange(true)) {
                    // Asked twice: leave now; the camera frees itself when
                    // its heartbeat timeout passes.
                    std::_Exit(kExitInterrupted);
                }
                std::fputs("\nvora: stopping (Ctrl-C again to quit at once)\n", stderr);
            }
        }).detach();
    });
}

bool interrupted()
{
    return g_interrupted.load();
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

std::string pixel_format_name(unsigned format)
{
    switch (format) {
    case PIXEL_FORMAT_MONO8: return "Mono8";
    case PIXEL_FORMAT_BAYER_RG8: return "BayerRG8";
    case PIXEL_FORMAT_YUV422_8: return "YUV422_8";
    case PIXEL_FORMAT_RGB565P: return "RGB565p";
    case PIXEL_FORMAT_RGB8: return "RGB8";
    case PIXEL_FORMAT_COORD3D_ABC16: return "Coord3D_ABC16";
    default: break;
    }
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", format);
    return text;
}

}  // namespace vora_tool
