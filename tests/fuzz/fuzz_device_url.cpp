// The description URL a camera names in its bootstrap registers: any text
// of the register's 512 bytes. An accepted URL keeps its parts within the
// limits the download relies on.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "camera/device_url.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // As the camera object reads it: at most 511 bytes and a terminator.
    char text[512] = {};
    std::memcpy(text, data, size < sizeof text - 1 ? size : sizeof text - 1);
    DeviceUrl url;
    if (!parse_device_url(text, &url))
        return 0;
    fuzz_check(url.name.size() <= 47);
    fuzz_check(!url.extension.empty() && url.extension.size() <= 4);
    fuzz_check(url.address <= 0xFFFFFFFFu && url.length <= 0xFFFFFFFFu);
    fuzz_check(url.name.find(';') == std::string::npos && url.extension.find(';') == std::string::npos);
    return 0;
}
