#include "genicam/genicam_text.h"

#include <pugixml.hpp>

namespace genicam {

std::string trim(const std::string& s)
{
    const char* space = " \t\r\n\f\v";
    size_t first = s.find_first_not_of(space);
    if (first == std::string::npos)
        return std::string();
    return s.substr(first, s.find_last_not_of(space) - first + 1);
}

std::string element_text(pugi::xml_node el)
{
    std::string text;
    for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
            text += c.value();
    return trim(text);
}

bool parse_int(const std::string& s, int64_t* out)
{
    size_t i = 0;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-'))
        negative = s[i++] == '-';
    uint64_t base = 10;
    if (s.size() - i > 2 && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == s.size())
        return false;
    uint64_t magnitude = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        const uint64_t digit = c >= '0' && c <= '9'   ? uint64_t(c - '0')
                               : c >= 'a' && c <= 'f' ? uint64_t(c - 'a' + 10)
                               : c >= 'A' && c <= 'F' ? uint64_t(c - 'A' + 10)
                                                      : 99;
        if (digit >= base || magnitude > (UINT64_MAX - digit) / base)
            return false;
        magnitude = magnitude * base + digit;
    }
    const uint64_t limit = negative ? uint64_t(1) << 63 : (base == 16 ? UINT64_MAX : uint64_t(INT64_MAX));
    if (magnitude > limit)
        return false;
    *out = static_cast<int64_t>(negative ? 0 - magnitude : magnitude);
    return true;
}

}  // namespace genicam
