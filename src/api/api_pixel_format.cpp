// The pixel-format table of the wire target, described to callers.
#include <cstring>

#include "pixel_formats.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr bool names_fit_the_record()
{
    for (const wire::PixelFormat& f : wire::kPixelFormats) {
        size_t n = 0;
        while (f.name[n])
            ++n;
        if (n >= sizeof(PixelFormatInfo::name))
            return false;
    }
    return true;
}
static_assert(names_fit_the_record(), "a pixel format's name longer than PixelFormatInfo holds");

int describe(const wire::PixelFormat* format, PixelFormatInfo* info)
{
    if (!format)
        return VORA_ERR_PIXEL_FORMAT;
    PixelFormatInfo out;
    std::memset(&out, 0, sizeof out);
    out.pixel_format = format->code;
    out.bytes_per_pixel = format->bytes_per_pixel;
    out.kind = format->kind;
    std::strncpy(out.name, format->name, sizeof out.name - 1);
    *info = out;
    return VORA_OK;
}

}  // namespace

extern "C" int GetPixelFormatInfo(unsigned int pixel_format, PixelFormatInfo* info)
{
    return info ? describe(wire::find_pixel_format(pixel_format), info) : VORA_ERR_INVALID_ARG;
}

extern "C" int GetPixelFormatInfoByName(const char* name, PixelFormatInfo* info)
{
    if (!name || !info)
        return VORA_ERR_INVALID_ARG;
    return describe(wire::find_pixel_format_by_name(name), info);
}

extern "C" int GetPixelFormatCount(void)
{
    return static_cast<int>(wire::kPixelFormatCount);
}

extern "C" int GetPixelFormatInfoByIndex(int position, PixelFormatInfo* info)
{
    if (!info || position < 0 || static_cast<size_t>(position) >= wire::kPixelFormatCount)
        return VORA_ERR_INVALID_ARG;
    return describe(&wire::kPixelFormats[position], info);
}
