#include "log/vora_cameralog.h"

#include <sys/time.h>

#include <cstdarg>
#include <cstring>
#include <ctime>
#include <string>

std::atomic<int> gvcp_log_error_level{0};
std::atomic<int> gvcp_log_warnning_level{0};
std::atomic<int> gvcp_log_info_level{0};
std::atomic<int> gvcp_log_debug_level{0};
std::atomic<int> gvsp_log_error_level{0};
std::atomic<int> gvsp_log_warnning_level{0};
std::atomic<int> gvsp_log_info_level{0};
std::atomic<int> gvsp_log_debug_level{0};

static_assert(sizeof(std::atomic<int>) == sizeof(int), "switches are exported as int");

void set_log_switches(int error, int debug, int warning, int info)
{
    gvcp_log_error_level = error;
    gvsp_log_error_level = error;
    gvcp_log_debug_level = debug;
    gvsp_log_debug_level = debug;
    gvcp_log_warnning_level = warning;
    gvsp_log_warnning_level = warning;
    gvcp_log_info_level = info;
    gvsp_log_info_level = info;
}

bool any_log_switch_on()
{
    return gvcp_log_error_level || gvcp_log_warnning_level || gvcp_log_info_level || gvcp_log_debug_level ||
           gvsp_log_error_level || gvsp_log_warnning_level || gvsp_log_info_level || gvsp_log_debug_level;
}

std::string safe_log_name(const char* serial, size_t size)
{
    std::string name;
    bool leading = true;  // nothing but replaced characters so far
    for (size_t i = 0; serial && i < size && serial[i]; ++i) {
        const unsigned char c = static_cast<unsigned char>(serial[i]);
        const bool unsafe = c < 0x20 || c >= 0x7F || c == '/' || c == '\\' || (leading && c == '.');
        name += unsafe ? '_' : static_cast<char>(c);
        leading = leading && unsafe;
    }
    return name.empty() ? std::string("camera") : name;
}

cameralog::~cameralog()
{
    log_disable();
    // Destroying any log turns logging off for the whole process: an
    // application that creates new cameras and wants logs sets them again.
    set_log_switches(0, 0, 0, 0);
}

int cameralog::log_enable(const char* name)
{
    if (!any_log_switch_on())
        return 0;
    std::string path = name ? name : "";
    path += ".log";
    FILE* f = std::fopen(path.c_str(), "w+");
    std::lock_guard<std::mutex> lock(mutex_);
    if (file)
        std::fclose(file);
    file = f;
    open_ = f != nullptr;
    return f ? 0 : -12;
}

void cameralog::log_disable()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (file) {
        std::fclose(file);
        file = nullptr;
    }
    open_ = false;
}

bool cameralog::is_open()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return file != nullptr;
}

int cameralog::current_date_time(char* buf)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm local;
    time_t secs = tv.tv_sec;
    localtime_r(&secs, &local);
    return format_date_time(buf, local, static_cast<long>(tv.tv_usec));
}

int cameralog::format_date_time(char* buf, const struct tm& local, long microseconds)
{
    return std::sprintf(buf, "%d/%d/%d %d:%d:%d.%06ld ", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                        local.tm_hour, local.tm_min, local.tm_sec, microseconds);
}

void cameralog::write_line(char level, const char* fmt, va_list args)
{
    // The message is cut at 255 characters, as lines always have been.
    char message[256];
    std::vsnprintf(message, sizeof message, fmt, args);
    char stamp[64];
    current_date_time(stamp);

    // One buffer, one write: lines of concurrent threads never interleave.
    char line[400];
    int n = std::snprintf(line, sizeof line, "[%c][%s]%s\n", level, stamp, message);
    if (n < 0)
        return;
    if (n >= static_cast<int>(sizeof line))
        n = sizeof line - 1;

    std::lock_guard<std::mutex> lock(mutex_);
    if (file)
        std::fwrite(line, 1, static_cast<size_t>(n), file);
}

#define VORA_LOG_LEVEL(method, letter)                                                                                 \
    void cameralog::method(int flag, const char* fmt, ...)                                                             \
    {                                                                                                                  \
        if (!flag || !open_.load(std::memory_order_relaxed))                                                           \
            return;                                                                                                    \
        va_list args;                                                                                                  \
        va_start(args, fmt);                                                                                           \
        write_line(letter, fmt, args);                                                                                 \
        va_end(args);                                                                                                  \
    }

VORA_LOG_LEVEL(log_error, 'E')
VORA_LOG_LEVEL(log_warnning, 'W')
VORA_LOG_LEVEL(log_info, 'I')
VORA_LOG_LEVEL(log_debug, 'D')
VORA_LOG_LEVEL(log_error_listed, 'E')
VORA_LOG_LEVEL(log_info_listed, 'I')
