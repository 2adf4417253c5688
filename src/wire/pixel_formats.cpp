#include "pixel_formats.h"

#include <cstring>

namespace wire {

const PixelFormat* find_pixel_format_by_name(const char* name)
{
    if (!name)
        return nullptr;
    for (const PixelFormat& f : kPixelFormats)
        if (std::strcmp(f.name, name) == 0)
            return &f;
    return nullptr;
}

}  // namespace wire
