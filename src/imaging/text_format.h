// Number formatting for the text exports without printf: the same bytes as
// "%.2f" and "%d", many times faster.
#ifndef VORA_IMAGING_TEXT_FORMAT_H
#define VORA_IMAGING_TEXT_FORMAT_H

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace imaging {

namespace text_detail {

extern const char digit_pairs[201];

// Decimal digits of v, most significant first.
inline char* put_uint(char* p, uint64_t v)
{
    char tmp[20];
    char* s = tmp + sizeof tmp;
    while (v >= 100) {
        s -= 2;
        std::memcpy(s, digit_pairs + 2 * (v % 100), 2);
        v /= 100;
    }
    if (v >= 10) {
        s -= 2;
        std::memcpy(s, digit_pairs + 2 * v, 2);
    } else {
        *--s = static_cast<char>('0' + v);
    }
    const size_t n = static_cast<size_t>(tmp + sizeof tmp - s);
    std::memcpy(p, s, n);
    return p + n;
}

}  // namespace text_detail

// Longest text put_fixed2 produces ("%.2f" of the largest float).
constexpr size_t kMaxFixed2 = 48;

// "%.2f" of a float. A float times 100 is exact in double precision (24 + 7
// significant bits), so rounding that product to an integer in the current
// rounding mode (ties to even by default) is the correctly rounded
// two-decimal value printf produces, "-0.00" included. Infinities, NaN and
// values beyond 2^52 / 100 go to snprintf.
inline char* put_fixed2(char* p, float value)
{
    const double scaled = static_cast<double>(value) * 100.0;
    if (!(std::fabs(scaled) < 4503599627370496.0))
        return p + std::snprintf(p, kMaxFixed2, "%.2f", static_cast<double>(value));
    // Adding and removing 2^52 (with the value's sign) leaves no fraction
    // bits, so the sum rounds to an integer exactly as rint would.
    const double shift = std::copysign(4503599627370496.0, scaled);
    const double rounded = (scaled + shift) - shift;
    const uint64_t hundredths = static_cast<uint64_t>(std::fabs(rounded));
    if (std::signbit(value))
        *p++ = '-';
    p = text_detail::put_uint(p, hundredths / 100);
    *p++ = '.';
    std::memcpy(p, text_detail::digit_pairs + 2 * (hundredths % 100), 2);
    return p + 2;
}

// "%d" of an int.
inline char* put_int(char* p, int32_t value)
{
    uint64_t magnitude = static_cast<uint64_t>(value);
    if (value < 0) {
        *p++ = '-';
        magnitude = static_cast<uint64_t>(-static_cast<int64_t>(value));
    }
    return text_detail::put_uint(p, magnitude);
}

}  // namespace imaging

#endif
