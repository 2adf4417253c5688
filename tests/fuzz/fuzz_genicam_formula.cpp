// A formula as a device description spells it: any text. Parsing either
// refuses it with a reason or yields code that evaluates, in integers and in
// doubles, to a result or a reason, for any variable values.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "fuzz_check.h"
#include "genicam/genicam_formula.h"

namespace {

int resolve(const std::string& name)
{
    if (name == "X")
        return 0;
    if (name == "Y")
        return 1;
    if (name == "Width.Max")
        return 2;
    if (name == "_v")
        return 3;
    return -1;
}

const int64_t int_sets[][4] = {
    {0, 0, 0, 0},
    {1, -1, 64, 3},
    {std::numeric_limits<int64_t>::min(), -1, std::numeric_limits<int64_t>::max(), 63},
};
const double float_sets[][4] = {
    {0, 0, 0, 0},
    {0.5, -1, 1e308, -1e-308},
    {std::numeric_limits<double>::infinity(), std::numeric_limits<double>::quiet_NaN(), -0.0, 9.3e18},
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    genicam::Formula f;
    std::string error;
    if (!f.parse(text, resolve, &error)) {
        fuzz_check(!error.empty() && f.empty() && f.slots().empty());
        return 0;
    }
    fuzz_check(!f.empty() && f.slots().size() <= 4);
    for (int slot : f.slots())
        fuzz_check(slot >= 0 && slot < 4);
    for (const auto& vars : int_sets) {
        int64_t out = 0;
        const char* why = nullptr;
        if (!f.eval_int(vars, &out, &why))
            fuzz_check(why != nullptr && *why != '\0');
    }
    for (const auto& vars : float_sets) {
        double out = 0;
        const char* why = nullptr;
        if (f.eval_float(vars, &out, &why))
            fuzz_check(std::isfinite(out));
        else
            fuzz_check(why != nullptr && *why != '\0');
    }
    return 0;
}
