// The simulated camera's timestamp clock, driven with made-up instants:
// free-running drift, the precision time states and their clock, jitter,
// and what resetting and turning precision time off do.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>

#include "sim_clock.h"

namespace {

using vsim::ClockParams;
using vsim::PtpState;
using vsim::SimClock;

constexpr int64_t MS = 1000000;
constexpr int64_t S = 1000 * MS;
// The master's time at steady time 0: a date in the 2020s, as CLOCK_REALTIME reads.
constexpr int64_t MASTER = 1700000000 * S;

ClockParams params(double drift_ppm = 0, int64_t residual_ns = 300000, int64_t jitter_ns = 1000)
{
    ClockParams p;
    p.drift_ppm = drift_ppm;
    p.residual_ns = residual_ns;
    p.listen_ns = 200 * MS;
    p.settle_ns = 800 * MS;
    p.jitter_ns = jitter_ns;
    p.seed = 7;
    return p;
}

TEST(SimClock, FreeRunningClockKeepsItsDrift)
{
    SimClock fast(params(50), 0), slow(params(-20), 0), exact(params(0), 0);
    // Ten seconds: 50 ppm is 500 us, -20 ppm is -200 us.
    EXPECT_EQ(fast.ns(10 * S, MASTER), 10 * S + 500000);
    EXPECT_EQ(slow.ns(10 * S, MASTER), 10 * S - 200000);
    EXPECT_EQ(exact.ns(10 * S, MASTER), 10 * S);
    // Started later, it counts from its own start.
    SimClock late(params(0), 5 * S);
    EXPECT_EQ(late.ns(6 * S, MASTER), S);
}

TEST(SimClock, SerialNumbersGiveEachCameraItsOwnRepeatableClock)
{
    std::set<double> drifts;
    for (int n = 1; n <= 20; ++n) {
        const std::string serial = "SIM" + std::to_string(10000 + n);
        const ClockParams p = vsim::clock_params_for_serial(serial);
        EXPECT_GE(p.drift_ppm, -50.0);
        EXPECT_LE(p.drift_ppm, 50.0);
        EXPECT_GE(std::llabs(p.residual_ns), 100000) << serial;
        EXPECT_LE(std::llabs(p.residual_ns), 500000) << serial;
        const ClockParams again = vsim::clock_params_for_serial(serial);
        EXPECT_EQ(p.drift_ppm, again.drift_ppm);
        EXPECT_EQ(p.residual_ns, again.residual_ns);
        EXPECT_EQ(p.seed, again.seed);
        drifts.insert(p.drift_ppm);
    }
    EXPECT_GT(drifts.size(), 15u);
}

TEST(SimClock, TicksFollowTheTickFrequency)
{
    ClockParams p = params();
    p.frequency = 125000000;  // 8 ns per tick
    SimClock c(p, 0);
    EXPECT_EQ(c.ticks(3 * S, MASTER), 375000000u);
    EXPECT_EQ(c.to_ticks(MASTER), uint64_t(1700000000) * 125000000u);
    EXPECT_EQ(c.to_ns(c.to_ticks(MASTER + 800)), MASTER + 800);
    SimClock ns_clock(params(), 0);
    EXPECT_EQ(ns_clock.ticks(3 * S, MASTER), uint64_t(3 * S));
}

TEST(SimClock, PrecisionTimeGoesListeningUncalibratedSlave)
{
    SimClock c(params(), 0);
    EXPECT_EQ(c.state(S), PtpState::Disabled);
    c.set_ptp(true, S, MASTER + S);
    EXPECT_EQ(c.state(S), PtpState::Listening);
    EXPECT_EQ(c.state(S + 199 * MS), PtpState::Listening);
    // Listening: still the camera's own clock.
    EXPECT_EQ(c.ns(S + 100 * MS, MASTER + S + 100 * MS), S + 100 * MS);
    EXPECT_EQ(c.state(S + 200 * MS), PtpState::Uncalibrated);
    EXPECT_EQ(c.state(S + 999 * MS), PtpState::Uncalibrated);
    EXPECT_EQ(c.state(S + 1000 * MS), PtpState::Slave);
    EXPECT_EQ(c.state(100 * S), PtpState::Slave);
}

TEST(SimClock, CalibrationStepsToTheMasterAndSettlesItsResidual)
{
    SimClock c(params(30, 300000, 0), 0);
    c.set_ptp(true, 0, MASTER);
    // The step: the master's time and the whole residual.
    const int64_t first = c.ns(200 * MS, MASTER + 200 * MS) - (MASTER + 200 * MS);
    EXPECT_EQ(first, 300000);
    // The offset shrinks steadily while settling...
    int64_t previous = first;
    for (int64_t t = 250 * MS; t < 1000 * MS; t += 50 * MS) {
        const int64_t offset = c.ns(t, MASTER + t) - (MASTER + t);
        EXPECT_LT(offset, previous) << t;
        EXPECT_GE(offset, 0) << t;
        previous = offset;
    }
    // ...to under a microsecond at its end, and none once slave.
    EXPECT_LT(previous, 1000);
    EXPECT_EQ(c.ns(2 * S, MASTER + 2 * S), MASTER + 2 * S);

    SimClock behind(params(0, -400000, 0), 0);
    behind.set_ptp(true, 0, MASTER);
    EXPECT_EQ(behind.ns(200 * MS, MASTER + 200 * MS), MASTER + 200 * MS - 400000);
}

TEST(SimClock, SlaveReadingsJitterWithinTheirBound)
{
    SimClock c(params(0, 300000, 1000), 0);
    c.set_ptp(true, 0, MASTER);
    std::set<int64_t> errors;
    for (int k = 0; k < 2000; ++k) {
        const int64_t t = 2 * S + k * MS;
        const int64_t error = c.ns(t, MASTER + t) - (MASTER + t);
        ASSERT_GE(error, -1000);
        ASSERT_LE(error, 1000);
        errors.insert(error);
    }
    // Independent errors over the whole range, not one fixed offset.
    EXPECT_GT(errors.size(), 100u);
    EXPECT_LT(*errors.begin(), -500);
    EXPECT_GT(*errors.rbegin(), 500);
}

TEST(SimClock, TurningPrecisionTimeOffNeverStepsBack)
{
    for (int64_t jitter : {0, 1000, 50000}) {
        SimClock c(params(-50, 300000, jitter), 0);
        c.set_ptp(true, 0, MASTER);
        int64_t highest = 0;
        for (int k = 0; k < 50; ++k) {
            const int64_t t = 2 * S + k * MS;
            highest = std::max(highest, c.ns(t, MASTER + t));
        }
        const int64_t off_at = 2 * S + 50 * MS;
        c.set_ptp(false, off_at, MASTER + off_at);
        EXPECT_EQ(c.state(off_at), PtpState::Disabled);
        const int64_t after = c.ns(off_at, MASTER + off_at);
        EXPECT_GE(after, highest) << jitter;
        EXPECT_LE(after, MASTER + off_at + jitter) << jitter;
        // And it runs on from there at its own rate.
        EXPECT_GT(c.ns(off_at + S, MASTER), after + S - 100000);
    }
    // Off while still listening: the free-running clock just goes on.
    SimClock c(params(0), 0);
    c.set_ptp(true, S, MASTER);
    c.set_ptp(false, S + 100 * MS, MASTER);
    EXPECT_EQ(c.ns(S + 100 * MS, MASTER), S + 100 * MS);
}

TEST(SimClock, ResetZeroesOnlyAFreeRunningClock)
{
    SimClock c(params(0, 300000, 0), 0);
    c.reset(5 * S);
    EXPECT_EQ(c.ns(6 * S, MASTER), S);
    c.set_ptp(true, 6 * S, MASTER + 6 * S);
    c.reset(8 * S);
    EXPECT_EQ(c.ns(8 * S, MASTER + 8 * S), MASTER + 8 * S);
    c.restart(9 * S);
    EXPECT_EQ(c.state(9 * S), PtpState::Disabled);
    EXPECT_EQ(c.ns(10 * S, MASTER), S);
}

}  // namespace
