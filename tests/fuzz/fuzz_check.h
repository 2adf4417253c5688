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

// The next `bytes` bytes of the input as a big-endian number (fewer when the
// input runs out), for targets that let the input choose their setting.
inline uint32_t fuzz_take(const uint8_t*& p, size_t& left, int bytes)
{
    uint32_t v = 0;
    for (int i = 0; i < bytes && left; ++i, --left)
        v = v << 8 | *p++;
    return v;
}

#endif
