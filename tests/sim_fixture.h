// A simulated camera on loopback and a camera object talking to it. Used by
// tests that run inside their own network namespace (tests/net).
#ifndef VORA_TESTS_SIM_FIXTURE_H
#define VORA_TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "camera/vora_gige_camera.h"
#include "sim_camera.h"

constexpr unsigned kLoopback = 0x7F000001;

class SimCameraTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim = std::make_unique<vsim::SimCamera>(config());
        ASSERT_EQ(sim->start(), 0) << "cannot bind the simulated camera; is lo up?";
        ASSERT_EQ(camera.open_control_channel(sim->config().ip, kLoopback), 0);
    }
    void TearDown() override
    {
        camera.close_control_channel();
        sim->stop();
    }
    virtual vsim::SimConfig config() { return vsim::SimConfig(); }

    // Milliseconds spent in f().
    template <class F>
    static long long elapsed_ms(F f)
    {
        auto t0 = std::chrono::steady_clock::now();
        f();
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    }

    std::unique_ptr<vsim::SimCamera> sim;
    GigeCamera camera;
};

#endif
