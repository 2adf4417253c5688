// The simulated camera's timestamp clock: free-running with the camera's own
// drift, or, with precision time on, following a simulated grandmaster (the
// host's CLOCK_REALTIME) through listening, calibrating and slave states.
// It takes every "now" as an argument, so it can be driven without sleeping.
#ifndef VORA_SIM_CLOCK_H
#define VORA_SIM_CLOCK_H

#include <cstdint>
#include <random>
#include <string>

namespace vsim {

// IEEE 1588 port states as the camera's status register reports them.
enum class PtpState : uint32_t {
    Disabled = 3,
    Listening = 4,
    Uncalibrated = 8,
    Slave = 9,
};

struct ClockParams {
    uint64_t frequency = 1000000000ULL;  // ticks per second
    double drift_ppm = 0;                // free-running rate error
    int64_t residual_ns = 0;             // offset from the master when calibration starts
    int64_t listen_ns = 200000000;       // listening before the first step
    int64_t settle_ns = 800000000;       // the residual decays over this long
    int64_t jitter_ns = 1000;            // each slave reading is off by up to this much
    uint64_t seed = 1;                   // of the jitter
};

// Drift, residual offset and jitter seed drawn from the serial number: each
// camera differs, and every run of the same camera behaves alike.
ClockParams clock_params_for_serial(const std::string& serial);

class SimClock {
public:
    SimClock(const ClockParams& params, int64_t steady_ns);

    // The clock in nanoseconds and in ticks. `steady_ns` is a monotonic
    // reading, `realtime_ns` the master's time; both of the same instant.
    int64_t ns(int64_t steady_ns, int64_t realtime_ns);
    uint64_t ticks(int64_t steady_ns, int64_t realtime_ns);
    // Ticks for a nanosecond count, and back.
    uint64_t to_ticks(int64_t ns) const;
    int64_t to_ns(uint64_t ticks) const;

    // Back to zero; a clock that follows a master ignores it.
    void reset(int64_t steady_ns);
    // A fresh start (a reboot): zero, precision time off.
    void restart(int64_t steady_ns);
    // Turning precision time off continues free-running from the last
    // reading without stepping back.
    void set_ptp(bool on, int64_t steady_ns, int64_t realtime_ns);
    bool ptp() const { return ptp_; }
    PtpState state(int64_t steady_ns) const;

private:
    int64_t free_running(int64_t steady_ns) const;
    int64_t following(int64_t steady_ns, int64_t realtime_ns);

    ClockParams params_;
    std::mt19937_64 random_;
    int64_t epoch_ = 0;  // steady time at which the free-running clock read base_
    int64_t base_ = 0;
    int64_t last_ = 0;  // the latest value read
    bool ptp_ = false;
    int64_t enabled_at_ = 0;
};

}  // namespace vsim

#endif
