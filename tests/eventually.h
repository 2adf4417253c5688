// Waiting for what another thread or process makes true, rather than for a
// stretch of time: a condition polled until it holds, with a deadline so
// generous that only a real fault reaches it (and longer in slower builds).
#ifndef VORA_TESTS_EVENTUALLY_H
#define VORA_TESTS_EVENTUALLY_H

#include <chrono>
#include <thread>

// How many times slower this build runs than a plain one (sanitizers),
// from the build; deadlines on other threads and processes grow with it.
#ifndef VORA_TEST_SLOWDOWN
#define VORA_TEST_SLOWDOWN 1
#endif
constexpr int kTestSlowdown = VORA_TEST_SLOWDOWN;

template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds deadline = std::chrono::seconds(20))
{
    const auto end = std::chrono::steady_clock::now() + deadline * kTestSlowdown;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

#endif
