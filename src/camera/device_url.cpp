#include "camera/device_url.h"

#include <cctype>
#include <cstring>

namespace {

std::string trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

bool parse_hex(const std::string& field, uint64_t* out)
{
    std::string t = trim(field);
    if (t.size() > 10)
        return false;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X'))
        t = t.substr(2);
    if (t.empty() || t.size() > 8)
        return false;
    uint64_t v = 0;
    for (char c : t) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
        v = v * 16 +
            static_cast<uint64_t>(std::isdigit(static_cast<unsigned char>(c)) ? c - '0' : std::tolower(c) - 'a' + 10);
    }
    *out = v;
    return true;
}

}  // namespace

bool parse_device_url(const char* text, DeviceUrl* out)
{
    std::string url = trim(text ? text : "");
    const size_t query = url.find('?');
    if (query != std::string::npos)
        url = url.substr(0, query);
    const size_t colon = url.find(':');
    if (colon == std::string::npos || colon != 5)
        return false;
    for (size_t i = 0; i < 5; ++i)
        if (std::tolower(static_cast<unsigned char>(url[i])) != "local"[i])
            return false;
    std::string rest = trim(url.substr(colon + 1));
    if (rest.compare(0, 3, "///") == 0)
        rest = trim(rest.substr(3));

    const size_t semi1 = rest.find(';');
    const size_t semi2 = semi1 == std::string::npos ? std::string::npos : rest.find(';', semi1 + 1);
    if (semi2 == std::string::npos || rest.find(';', semi2 + 1) != std::string::npos)
        return false;
    const std::string file = trim(rest.substr(0, semi1));
    const size_t dot = file.rfind('.');
    if (dot == std::string::npos)
        return false;
    // The name is what lies between the extension and the dot before it, as
    // these URLs have always been read.
    const size_t before = file.rfind('.', dot == 0 ? std::string::npos : dot - 1);
    const size_t name_start = (before == std::string::npos || dot == 0) ? 0 : before + 1;
    DeviceUrl url_out;
    url_out.name = file.substr(name_start, dot - name_start);
    url_out.extension = file.substr(dot + 1);
    if (url_out.name.size() > 47 || url_out.extension.empty() || url_out.extension.size() > 4)
        return false;
    if (!parse_hex(rest.substr(semi1 + 1, semi2 - semi1 - 1), &url_out.address) ||
        !parse_hex(rest.substr(semi2 + 1), &url_out.length))
        return false;
    *out = url_out;
    return true;
}
