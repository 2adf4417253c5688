// What `vora features` needs beyond the exported functions: each feature's
// type, access mode, which bounds it declares and its enumeration entries,
// read from the device description the camera serves (saved through
// SaveXmlToLocal, plain or zipped).
#ifndef VORA_TOOL_DESCRIPTION_H
#define VORA_TOOL_DESCRIPTION_H

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vora_tool {

struct FeatureInfo {
    std::string type;    // integer, float, enumeration, boolean, command, string, register
    std::string access;  // RO, RW, WO, or empty when the description does not say
    bool has_min = false, has_max = false, has_inc = false;
    std::string unit;
    std::vector<std::pair<std::string, long long>> entries;  // enumeration: symbolic name, value
    // Bits of a masked register, numbered from the most significant as 0;
    // -1 for a whole register.
    int msb = -1, lsb = -1;

    bool readable() const { return access != "WO" && type != "command"; }
    // The entry of a value, or empty.
    std::string entry_name(long long value) const;
    // The value of an entry named `name`: its symbolic name exactly, or else
    // the one entry it names when case is ignored ("on" for "On").
    bool entry_value(const std::string& name, long long* value) const;
    // "Off, On": the entries' names.
    std::string entry_names() const;
};

class Description {
public:
    // Saves the camera's description into a private temporary folder and
    // reads it; false with the reason in *error.
    bool load(int camera, std::string* error);
    // Null for a name the description does not define.
    const FeatureInfo* find(const std::string& name) const;

private:
    std::map<std::string, FeatureInfo> features_;
};

}  // namespace vora_tool

#endif
