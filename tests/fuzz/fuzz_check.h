// A broken promise of the code under test ends the run as a finding.
#ifndef VORA_FUZZ_CHECK_H
#define VORA_FUZZ_CHECK_H

#include <cstddef>
#include <cstdint>
#include <cstdlib>

// libFuzzer's entry point, defined by each target.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

inline void fuzz_check(bool promise_kept)
{
    if (!promise_kept)
        std::abort();
}

#endif
