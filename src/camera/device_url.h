// Parsing the device-description URL of the bootstrap URL registers.
#ifndef VORA_DEVICE_URL_H
#define VORA_DEVICE_URL_H

#include <cstdint>
#include <string>

struct DeviceUrl {
    std::string name;       // file name without extension
    std::string extension;  // "xml", "zip", ...
    uint64_t address = 0;
    uint64_t length = 0;
};

// Accepts the local-memory form "Local:<name>.<ext>;<address>;<length>"
// (hex numbers), in the spellings cameras use: any case of "Local", "///"
// after the colon, spaces around the parts, a 0x prefix, and a trailing
// "?SchemaVersion=..." query. False for any other scheme or a part out of
// its limits (name 47, extension 4, numbers 10 characters).
bool parse_device_url(const char* text, DeviceUrl* out);

#endif
