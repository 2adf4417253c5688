// The simulated camera's timestamp clock.
#include "sim_clock.h"

#include <algorithm>
#include <cmath>

namespace vsim {

namespace {

constexpr int64_t NS_PER_S = 1000000000;

uint64_t fnv1a(const std::string& text, uint64_t salt)
{
    uint64_t h = 0xCBF29CE484222325ULL ^ salt;
    for (unsigned char ch : text) {
        h ^= ch;
        h *= 0x100000001B3ULL;
    }
    // Spread the low-entropy tail of short serials over every bit.
    h ^= h >> 33;
    h *= 0xFF51AFD7ED558CCDULL;
    h ^= h >> 33;
    return h;
}

}  // namespace

ClockParams clock_params_for_serial(const std::string& serial)
{
    ClockParams p;
    const uint64_t a = fnv1a(serial, 1);
    const uint64_t b = fnv1a(serial, 2);
    p.drift_ppm = static_cast<double>(a % 100001) / 1000.0 - 50.0;       // -50..+50 ppm
    const int64_t residual = 100000 + static_cast<int64_t>(b % 400001);  // 100..500 us
    p.residual_ns = (b >> 40) & 1 ? residual : -residual;
    p.seed = fnv1a(serial, 3);
    return p;
}

SimClock::SimClock(const ClockParams& params, int64_t steady_ns)
    : params_(params), random_(params.seed), epoch_(steady_ns)
{}

uint64_t SimClock::to_ticks(int64_t ns) const
{
    if (ns <= 0)
        return 0;
    // Whole seconds and the rest apart, so that GHz clocks do not overflow.
    const uint64_t n = static_cast<uint64_t>(ns);
    const uint64_t f = params_.frequency;
    return n / NS_PER_S * f + n % NS_PER_S * f / NS_PER_S;
}

int64_t SimClock::to_ns(uint64_t ticks) const
{
    const uint64_t f = params_.frequency ? params_.frequency : 1;
    return static_cast<int64_t>(ticks / f * NS_PER_S + ticks % f * NS_PER_S / f);
}

int64_t SimClock::free_running(int64_t steady_ns) const
{
    const int64_t elapsed = steady_ns - epoch_;
    const double correction = static_cast<double>(elapsed) * params_.drift_ppm * 1e-6;
    return base_ + elapsed + static_cast<int64_t>(std::llround(correction));
}

// The master's time once calibration starts, off by the residual that
// decays to nothing by the end of settling; the slave's reading jitters.
int64_t SimClock::following(int64_t steady_ns, int64_t realtime_ns)
{
    const int64_t since = steady_ns - enabled_at_ - params_.listen_ns;
    if (since < 0)
        return free_running(steady_ns);
    if (since < params_.settle_ns) {
        const double settled =
            static_cast<double>(since) / static_cast<double>(std::max<int64_t>(params_.settle_ns, 1));
        // e^-7 of a residual of some hundred microseconds is below a microsecond.
        return realtime_ns +
               static_cast<int64_t>(std::llround(static_cast<double>(params_.residual_ns) * std::exp(-7.0 * settled)));
    }
    if (params_.jitter_ns <= 0)
        return realtime_ns;
    std::uniform_int_distribution<int64_t> error(-params_.jitter_ns, params_.jitter_ns);
    return realtime_ns + error(random_);
}

int64_t SimClock::ns(int64_t steady_ns, int64_t realtime_ns)
{
    const int64_t value = ptp_ ? following(steady_ns, realtime_ns) : free_running(steady_ns);
    last_ = std::max<int64_t>(value, 0);
    return last_;
}

uint64_t SimClock::ticks(int64_t steady_ns, int64_t realtime_ns)
{
    return to_ticks(ns(steady_ns, realtime_ns));
}

void SimClock::reset(int64_t steady_ns)
{
    if (ptp_)
        return;
    epoch_ = steady_ns;
    base_ = 0;
    last_ = 0;
}

void SimClock::restart(int64_t steady_ns)
{
    ptp_ = false;
    epoch_ = steady_ns;
    base_ = 0;
    last_ = 0;
}

void SimClock::set_ptp(bool on, int64_t steady_ns, int64_t realtime_ns)
{
    if (on == ptp_)
        return;
    if (on) {
        // Listening: the free-running clock goes on until the first step.
        base_ = free_running(steady_ns);
        epoch_ = steady_ns;
        enabled_at_ = steady_ns;
        ptp_ = true;
        return;
    }
    // The master's time without this reading's jitter, but never below
    // what was read last.
    const int64_t now = state(steady_ns) == PtpState::Listening      ? free_running(steady_ns)
                        : state(steady_ns) == PtpState::Uncalibrated ? following(steady_ns, realtime_ns)
                                                                     : realtime_ns;
    base_ = std::max(now, last_);
    epoch_ = steady_ns;
    ptp_ = false;
}

PtpState SimClock::state(int64_t steady_ns) const
{
    if (!ptp_)
        return PtpState::Disabled;
    const int64_t since = steady_ns - enabled_at_;
    if (since < params_.listen_ns)
        return PtpState::Listening;
    if (since < params_.listen_ns + params_.settle_ns)
        return PtpState::Uncalibrated;
    return PtpState::Slave;
}

}  // namespace vsim
