// Features by name: the control functions and the registers behind them.
#include "feature_access.h"

#include <cstdio>

#include "common.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

int as_int(long long v)
{
    return static_cast<int>(v);
}

}  // namespace

const std::map<std::string, Control>& controls()
{
    static const std::map<std::string, Control> table = {
        {"ExposureTime",
         {Indexed::Sensor, [](int c, int s) { return GetExposureTime(c, s); },
          [](int c, int s, long long v) { return SetExposureTime(c, as_int(v), s); }}},
        {"ExposureAuto",
         {Indexed::Sensor, [](int c, int s) { return GetAutoExposure(c, s); },
          [](int c, int s, long long v) { return SetAutoExposure(c, as_int(v), s); }}},
        {"ExposureCompensationLevel",
         {Indexed::Sensor, [](int c, int s) { return GetCamExposureGainLevel(c, s); },
          [](int c, int s, long long v) { return SetCamExposureGainLevel(c, s, as_int(v)); }}},
        {"ExposureType",
         {Indexed::No, [](int c, int) { return GetMutipleExposure(c); },
          [](int c, int, long long v) { return SetMutipleExposure(c, as_int(v)); }}},
        {"analoggain",
         {Indexed::No, [](int c, int) { return GetGain(c, 1, 0); },
          [](int c, int, long long v) { return SetGain(c, 1, as_int(v), 0); }}},
        {"analoggain_rgb",
         {Indexed::No, [](int c, int) { return GetGain(c, 1, 1); },
          [](int c, int, long long v) { return SetGain(c, 1, as_int(v), 1); }}},
        {"digitalgain",
         {Indexed::No, [](int c, int) { return GetGain(c, 2, 0); },
          [](int c, int, long long v) { return SetGain(c, 2, as_int(v), 0); }}},
        {"digitalgain_rgb",
         {Indexed::No, [](int c, int) { return GetGain(c, 2, 1); },
          [](int c, int, long long v) { return SetGain(c, 2, as_int(v), 1); }}},
        {"TriggerMode", {Indexed::No, nullptr, [](int c, int, long long v) { return SetTriggerMode(c, as_int(v)); }}},
        {"TriggerSource",
         {Indexed::No, nullptr, [](int c, int, long long v) { return SetTriggerSource(c, as_int(v)); }}},
        {"TriggerSoftware",
         {Indexed::No, nullptr, [](int c, int, long long v) { return SetTriggerCount(c, as_int(v)); }}},
        {"RGBTriggerMode",
         {Indexed::No, nullptr, [](int c, int, long long v) { return SetRGBTriggerMode(c, as_int(v)); }}},
        {"RGBTriggerSoftware",
         {Indexed::No, nullptr, [](int c, int, long long v) { return SetRGBTriggerCount(c, as_int(v)); }}},
        {"AcquisitionStart", {Indexed::No, nullptr, [](int c, int, long long) { return AcquisitionStart(c); }}},
        {"AcquisitionStop", {Indexed::No, nullptr, [](int c, int, long long) { return AcquisitionStop(c); }}},
        {"StrobeLEDswitch",
         {Indexed::No, [](int c, int) { return GetStrobeLEDswitch(c); },
          [](int c, int, long long v) { return SetStrobeLEDswitch(c, as_int(v)); }}},
        {"Laserbrightness",
         {Indexed::No, [](int c, int) { return GetLaserbrightness(c); },
          [](int c, int, long long v) { return SetLaserbrightness(c, as_int(v)); }}},
        {"StrobeLEDbrightress",
         {Indexed::No, [](int c, int) { return GetStrobeLEDbrightress(c); },
          [](int c, int, long long v) { return SetStrobeLEDbrightress(c, as_int(v)); }}},
        {"GevHeartbeatTimeout",
         {Indexed::No, [](int c, int) { return GetHeartBeatTimeout(c); },
          [](int c, int, long long v) { return SetHeartBeatTimeout(c, as_int(v)); }}},
        {"GevIEEE1588",
         {Indexed::No, [](int c, int) { return GetTimestamp(c); },
          [](int c, int, long long v) { return SetTimestamp(c, as_int(v)); }}},
        {"GevIEEE1588Status", {Indexed::No, [](int c, int) { return GetTimestampStatus(c); }, nullptr}},
        {"GevTimestampControlLatch",
         {Indexed::No, nullptr, [](int c, int, long long) { return SetTimestampControlLatch(c); }}},
        // Reading the time stamp latches it first: the value is "now".
        {"GevTimestampValue",
         {Indexed::No,
          [](int c, int) -> long long {
              const int status = SetTimestampControlLatch(c);
              return status != 0 ? (status > 0 ? -status : status) : static_cast<long long>(GetTimestampValue(c));
          },
          nullptr}},
        {"GevTimestampTickFrequency",
         {Indexed::No, [](int c, int) { return static_cast<long long>(GetTimestampTickFrequency(c)); }, nullptr}},
        // Registers of a stream channel; the packet size and the host port
        // share their register with flags.
        {"PixelFormat", {Indexed::Channel, nullptr, nullptr}},
        {"CmosIndex", {Indexed::Channel, nullptr, nullptr}},
        {"PayloadSize", {Indexed::Channel, nullptr, nullptr}},
        {"GevSCDA", {Indexed::Channel, nullptr, nullptr}},
        {"GevSCPSPacketSize", {Indexed::Channel, nullptr, nullptr, 0xFFFF}},
        {"GevSCPHostPort", {Indexed::Channel, nullptr, nullptr, 0xFFFF}},
    };
    return table;
}

bool is_region(const std::string& name)
{
    return name == "Width" || name == "Height" || name == "OffsetX" || name == "OffsetY";
}

bool is_calibration(const std::string& name)
{
    return name == "InternelParameter" || name == "ExternelParameter";
}

// Text features of the standard device identity.
bool is_text(const std::string& name)
{
    static const char* const names[] = {
        "DeviceVendorName",       "DeviceModelName", "DeviceVersion",         "DeviceSerialNumber",
        "DeviceManufacturerInfo", "DeviceUserID",    "DeviceFirmwareVersion", "DeviceID"};
    for (const char* n : names)
        if (name == n)
            return true;
    return false;
}

Indexed indexed_by(const std::string& name)
{
    if (is_region(name))
        return Indexed::Channel;
    if (is_calibration(name))
        return Indexed::Sensor;
    auto it = controls().find(name);
    return it == controls().end() ? Indexed::No : it->second.indexed;
}

int Features::get(const FeatureRef& ref, std::string* text) const
{
    if (is_text(ref.name)) {
        // Only a feature that exists has a register to read.
        unsigned address = 0;
        const int status = s_.feature_address(ref.name.c_str(), 0, &address);
        if (status != 0)
            return status;
        char buffer[600] = {};
        ReadStringRegister(cam_, ref.name.c_str(), buffer);
        *text = buffer;
        return VORA_OK;
    }
    if (is_calibration(ref.name))
        return calibration(ref, text);
    if (is_region(ref.name)) {
        int value = 0;
        const int status = region_value(ref.name, ref.idx, &value);
        *text = std::to_string(value);
        return status;
    }
    auto it = controls().find(ref.name);
    if (it != controls().end() && it->second.get) {
        const long long value = it->second.get(cam_, ref.idx);
        if (value < 0)
            return static_cast<int>(value);
        *text = std::to_string(value);
        return VORA_OK;
    }
    const unsigned mask = it != controls().end() ? it->second.mask : 0xFFFFFFFF;
    const unsigned offset = static_cast<unsigned>(ref.idx) * STREAM_CHANNEL_REG_STRIDE;
    int raw = 0;
    const int status = s_.read_feature(ref.name.c_str(), offset, &raw);
    if (status != 0)
        return status;
    unsigned value = static_cast<unsigned>(raw) & mask;
    // A field of a register, as the description places it.
    const FeatureInfo* info = description_ ? description_->find(ref.name) : nullptr;
    if (info && info->msb >= 0 && mask == 0xFFFFFFFF) {
        const int width = info->lsb - info->msb + 1;
        value = (static_cast<unsigned>(raw) >> (31 - info->lsb)) & (width >= 32 ? ~0u : (1u << width) - 1);
    }
    if (ref.name == "PixelFormat")
        *text = pixel_format_name(value);
    else if (ref.name == "GevSCDA")
        *text = ip_text(value);
    else
        *text = std::to_string(value);
    return VORA_OK;
}

int Features::set(const FeatureRef& ref, long long value) const
{
    if (is_region(ref.name))
        return set_region(ref.name, ref.idx, static_cast<int>(value));
    auto it = controls().find(ref.name);
    if (it != controls().end() && it->second.set)
        return it->second.set(cam_, ref.idx, value);
    unsigned mask = it != controls().end() ? it->second.mask : 0xFFFFFFFF;
    const unsigned offset = it != controls().end() && it->second.indexed == Indexed::Channel
                                ? static_cast<unsigned>(ref.idx) * STREAM_CHANNEL_REG_STRIDE
                                : 0;
    unsigned bits = static_cast<unsigned>(value);
    // A field of a register, as the description places it: written where
    // get reads it from.
    const FeatureInfo* info = description_ ? description_->find(ref.name) : nullptr;
    if (info && info->msb >= 0 && mask == 0xFFFFFFFF) {
        const int width = info->lsb - info->msb + 1;
        const int shift = 31 - info->lsb;
        mask = (width >= 32 ? ~0u : (1u << width) - 1) << shift;
        bits <<= shift;
    }
    if (mask != 0xFFFFFFFF) {
        // Keep the flags that share the register.
        int raw = 0;
        const int status = s_.read_feature(ref.name.c_str(), offset, &raw);
        if (status != 0)
            return status;
        bits = (static_cast<unsigned>(raw) & ~mask) | (bits & mask);
    }
    return s_.write_feature(ref.name.c_str(), offset, static_cast<int>(bits));
}

bool Features::readable(const std::string& name)
{
    auto it = controls().find(name);
    if (it == controls().end())
        return true;
    return it->second.get || !it->second.set;
}

int Features::region_value(const std::string& name, int channel, int* value) const
{
    int sensor = 0;
    int status = s_.read_feature("CmosIndex", static_cast<unsigned>(channel) * STREAM_CHANNEL_REG_STRIDE, &sensor);
    if (status != 0)
        return status;
    return s_.read_feature(name.c_str(), static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE, value);
}

int Features::set_region(const std::string& name, int channel, int value) const
{
    int region[4];
    const char* names[4] = {"Width", "Height", "OffsetX", "OffsetY"};
    for (int i = 0; i < 4; ++i) {
        const int status = region_value(names[i], channel, &region[i]);
        if (status != 0)
            return status;
        if (name == names[i])
            region[i] = value;
    }
    return SetRoi(cam_, channel, region[0], region[1], region[2], region[3]);
}

int Features::calibration(const FeatureRef& ref, std::string* text) const
{
    float a[9] = {}, b[9] = {};
    const bool intrinsic = ref.name == "InternelParameter";
    const int status =
        intrinsic ? GetCamInternelParameter(cam_, ref.idx, a, b) : GetCamExternelParameter(cam_, ref.idx, a, b);
    if (status != 0)
        return status;
    const int na = intrinsic ? 5 : 9;
    const int nb = intrinsic ? 9 : 3;
    std::string out;
    for (int i = 0; i < na + nb; ++i) {
        char number[32];
        std::snprintf(number, sizeof number, "%s%g", i ? "," : "", static_cast<double>(i < na ? a[i] : b[i - na]));
        out += number;
    }
    *text = out;
    return VORA_OK;
}

Bounds bounds_of(int camera, const std::string& name, const FeatureInfo& info)
{
    Bounds b;
    if (info.type != "integer")
        return b;
    if ((b.min.declared = info.has_min))
        b.min.value = GetNodeMinValue(camera, name.c_str());
    if ((b.max.declared = info.has_max))
        b.max.value = GetNodeMaxValue(camera, name.c_str());
    if ((b.inc.declared = info.has_inc))
        b.inc.value = GetNodeIncValue(camera, name.c_str());
    return b;
}

// Why value does not suit the feature, or empty.
std::string out_of_range(const FeatureInfo& info, const Bounds& b, long long value)
{
    if (info.type == "enumeration" && !info.entries.empty()) {
        if (!info.entry_name(value).empty())
            return "";
        std::string list;
        for (const auto& e : info.entries)
            list += (list.empty() ? "" : ", ") + e.first + "=" + std::to_string(e.second);
        return std::to_string(value) + " is not one of its entries: " + list;
    }
    if (!b.min.ok() && !b.max.ok())
        return "";
    const std::string range = (b.min.ok() ? std::to_string(b.min.value) : "") + ".." +
                              (b.max.ok() ? std::to_string(b.max.value) : "") +
                              (b.inc.ok() && b.inc.value > 1 ? " in steps of " + std::to_string(b.inc.value) : "");
    if ((b.min.ok() && value < b.min.value) || (b.max.ok() && value > b.max.value) ||
        (b.min.ok() && b.inc.ok() && b.inc.value > 1 && (value - b.min.value) % b.inc.value != 0))
        return std::to_string(value) + " is out of range " + range;
    return "";
}

}  // namespace vora_tool
