// A broken promise of the code under test ends the run as a finding.
#ifndef VORA_FUZZ_CHECK_H
#define VORA_FUZZ_CHECK_H

#include <cstdlib>

inline void fuzz_check(bool promise_kept)
{
    if (!promise_kept)
        std::abort();
}

#endif
