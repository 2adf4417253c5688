// Per-camera log files and the eight process-wide level switches.
#ifndef VORA_CAMERALOG_H
#define VORA_CAMERALOG_H

#include <atomic>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

// The eight switches are declared with the exported interface; atomics keep
// concurrent SetLogLevel calls and the library's threads from racing (same
// size and layout as the int that C callers see).
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

// A log file name (without ".log") made from a camera's serial number as the
// camera reported it (up to `size` bytes, or to the first zero): path
// separators and unprintable bytes become '_', as do leading dots, so the
// file always lands in the current directory as a visible file. Every real
// serial number comes back unchanged.
std::string safe_log_name(const char* serial, size_t size);

// Sets both families at once, in the argument order of SetLogLevel.
void set_log_switches(int error, int debug, int warning, int info);
bool any_log_switch_on();

class cameralog {
public:
    cameralog() = default;
    ~cameralog();
    cameralog(const cameralog&) = delete;
    cameralog& operator=(const cameralog&) = delete;

    // Opens "<name>.log" in the current directory, truncated; 0 or -12.
    // Opens nothing while every switch is off.
    int log_enable(const char* name);
    void log_disable();

    // `flag` is the switch the message belongs to; callers pass the switch.
    void log_error(int flag, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void log_warnning(int flag, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void log_info(int flag, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    void log_debug(int flag, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
    // The same for a message picked from a table of the caller's own texts:
    // such a format is not a literal, so the compiler cannot check it.
    void log_error_listed(int flag, const char* fmt, ...);
    void log_info_listed(int flag, const char* fmt, ...);

    // Writes "Y/M/D h:m:s.uuuuuu " into buf; returns its length.
    static int current_date_time(char* buf);
    // The same text for a given local time. Only the microseconds are
    // zero-padded, so that 40.048594 s cannot read as 40.48594 s.
    static int format_date_time(char* buf, const struct tm& local, long microseconds);

    bool is_open();

private:
    void write_line(char level, const char* fmt, va_list args) __attribute__((format(printf, 3, 0)));

    std::mutex mutex_;  // guards file against lines written while it closes
    FILE* file = nullptr;
    std::atomic<bool> open_{false};  // lets disabled logs skip formatting
};

#endif
