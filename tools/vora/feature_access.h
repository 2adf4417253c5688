// The camera's features by name, for the commands that read and write them
// (`vora features`, `get`, `set`) and for the viewer's controls. Features
// with a control function of their own go through it, so that the library
// checks ranges and keeps its state; the rest are plain registers found
// through the device description.
#ifndef VORA_TOOL_FEATURE_ACCESS_H
#define VORA_TOOL_FEATURE_ACCESS_H

#include <functional>
#include <map>
#include <string>

#include "description.h"
#include "session.h"

namespace vora_tool {

enum class Indexed { No, Sensor, Channel };

// A feature with its own control functions. A getter answers the value or a
// negative status; a null getter or setter means the register is used.
struct Control {
    Indexed indexed;
    std::function<long long(int camera, int idx)> get;
    std::function<int(int camera, int idx, long long value)> set;
    unsigned mask = 0xFFFFFFFF;  // bits of the register that hold the value
};

const std::map<std::string, Control>& controls();

bool is_region(const std::string& name);
bool is_calibration(const std::string& name);
// Text features of the standard device identity.
bool is_text(const std::string& name);
Indexed indexed_by(const std::string& name);

struct FeatureRef {
    std::string name;
    int idx = 0;
    bool idx_given = false;
    std::string label() const { return idx_given ? name + "[" + std::to_string(idx) + "]" : name; }
};

class Features {
public:
    Features(CameraSession& session, const Description* description = nullptr)
        : s_(session), cam_(session.index()), description_(description)
    {}

    // The value as text, or the failing status.
    int get(const FeatureRef& ref, std::string* text) const;
    int set(const FeatureRef& ref, long long value) const;
    // Whether `get` can read the feature back after `set`.
    static bool readable(const std::string& name);

private:
    // Region features are per sensor; the index names the stream channel,
    // whose sensor CmosIndex tells.
    int region_value(const std::string& name, int channel, int* value) const;
    int set_region(const std::string& name, int channel, int value) const;
    int calibration(const FeatureRef& ref, std::string* text) const;

    CameraSession& s_;
    int cam_;
    const Description* description_;
};

// A bound from the library, or null/"-" when the description declares
// none; a declared bound that cannot be read is an error.
struct Bound {
    bool declared = false;
    int value = 0;  // the bound, or the library's negative status
    bool ok() const { return declared && value >= 0; }
    std::string text() const { return !declared ? "-" : value >= 0 ? std::to_string(value) : "error"; }
};

struct Bounds {
    Bound min, max, inc;
};

Bounds bounds_of(int camera, const std::string& name, const FeatureInfo& info);

// Why value does not suit the feature, or empty.
std::string out_of_range(const FeatureInfo& info, const Bounds& b, long long value);

}  // namespace vora_tool

#endif
