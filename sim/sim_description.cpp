// The camera's GenICam device description, and how it is served: a file in
// device memory, plain or zipped, named by the URL registers.
#include <zip.h>

#include <algorithm>
#include <cstdio>
#include <initializer_list>
#include <utility>
#include <vector>

#include "gvcp_codec.h"
#include "pixel_formats.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "vora_base_type.h"
#include "vora_pixel_format.h"

namespace vsim {

namespace {

std::string escape(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char ch : text) {
        switch (ch) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += ch;
            break;
        }
    }
    return out;
}

std::string hex(uint32_t value)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", value);
    return buf;
}

std::string num(int64_t value)
{
    return std::to_string(value);
}

enum class Ns { Standard, Custom };

// Optional bounds and presentation of an Integer; empty fields are left out.
struct Limits {
    std::string min, max, p_max, inc, unit, representation;
    std::vector<std::string> selected;
    Limits& Min(int64_t v)
    {
        min = num(v);
        return *this;
    }
    Limits& Max(int64_t v)
    {
        max = num(v);
        return *this;
    }
    Limits& pMax(const std::string& node)
    {
        p_max = node;
        return *this;
    }
    Limits& Inc(int64_t v)
    {
        inc = num(v);
        return *this;
    }
    Limits& Unit(const std::string& u)
    {
        unit = u;
        return *this;
    }
    Limits& Representation(const std::string& r)
    {
        representation = r;
        return *this;
    }
    // The features whose value depends on this one.
    Limits& Selects(std::vector<std::string> features)
    {
        selected = std::move(features);
        return *this;
    }
};

// A register repeated per sensor or per stream channel: its Address is
// that of the first, and the selector's value times the offset moves it.
struct Index {
    std::string selector;
    uint32_t offset = 0;
};

struct Variable {
    std::string name, node;
};

struct Entry {
    std::string symbolic;
    std::string value;
    Ns ns;
};

// The PixelFormat entries of the sensors' formats, named as the pixel-format
// table names them.
std::vector<Entry> pixel_format_entries(std::initializer_list<uint32_t> codes)
{
    std::vector<Entry> entries;
    for (const uint32_t code : codes)
        entries.push_back({wire::find_pixel_format(code)->name, hex(code), Ns::Standard});
    return entries;
}

// Writes nodes with their children in the order the schema fixes, and
// collects which features each category lists.
class Description {
public:
    void category(const std::string& name, Ns ns, const std::string& tip, const std::string& display)
    {
        categories_.push_back({name, {ns, tip, display, {}}});
    }
    // Features written from now on are listed in this category.
    void in(const std::string& name) { current_ = name; }

    void string_reg(const std::string& name, Ns ns, const std::string& tip, const std::string& display,
                    uint32_t address, uint32_t length, const char* access)
    {
        list(name);
        open("StringReg", name, ns, tip, display, "Beginner");
        registers(address, length, access, false, Index());
        close("StringReg");
    }

    void integer(const std::string& name, Ns ns, const char* visibility, const std::string& tip,
                 const std::string& display, const Limits& l = Limits())
    {
        list(name);
        open("Integer", name, ns, tip, display, visibility);
        leaf("pValue", name + "Reg");
        bounds(l);
        close("Integer");
    }

    // An Integer held by the host alone, choosing which sensor or channel
    // the features it selects reach; it starts at 0.
    void selector(const std::string& name, Ns ns, const std::string& tip, const std::string& display, const Limits& l)
    {
        list(name);
        open("Integer", name, ns, tip, display, "Beginner");
        leaf("Value", "0");
        bounds(l);
        close("Integer");
    }

    void bounds(const Limits& l)
    {
        if (!l.min.empty())
            leaf("Min", l.min);
        if (!l.p_max.empty())
            leaf("pMax", l.p_max);
        else if (!l.max.empty())
            leaf("Max", l.max);
        if (!l.inc.empty())
            leaf("Inc", l.inc);
        if (!l.unit.empty())
            leaf("Unit", l.unit);
        if (!l.representation.empty())
            leaf("Representation", l.representation);
        for (const std::string& f : l.selected)
            leaf("pSelected", f);
    }

    void command(const std::string& name, Ns ns, const std::string& tip, const std::string& display, uint32_t value)
    {
        list(name);
        open("Command", name, ns, tip, display, "Beginner");
        leaf("pValue", name + "Reg");
        leaf("CommandValue", num(value));
        close("Command");
    }

    // Entries are named by their symbolic value alone: readers that take an
    // entry's name for its value, rather than its Symbolic element, then
    // show and accept "Off", and readers that name entries after their
    // enumeration still find them.
    void enumeration(const std::string& name, Ns ns, const char* visibility, const std::string& tip,
                     const std::string& display, const std::vector<Entry>& entries)
    {
        list(name);
        open("Enumeration", name, ns, tip, display, visibility);
        for (const Entry& e : entries) {
            xml_ += "    <EnumEntry Name=\"" + escape(e.symbolic) + "\" NameSpace=\"" + ns_text(e.ns) + "\">\n";
            xml_ += "      <DisplayName>" + escape(e.symbolic) + "</DisplayName>\n";
            xml_ += "      <Value>" + escape(e.value) + "</Value>\n";
            xml_ += "      <Symbolic>" + escape(e.symbolic) + "</Symbolic>\n";
            xml_ += "    </EnumEntry>\n";
        }
        leaf("pValue", name + "Reg");
        close("Enumeration");
    }

    void boolean(const std::string& name, Ns ns, const char* visibility, const std::string& tip,
                 const std::string& display)
    {
        list(name);
        open("Boolean", name, ns, tip, display, visibility);
        leaf("pValue", name + "Reg");
        leaf("OnValue", "1");
        leaf("OffValue", "0");
        close("Boolean");
    }

    // A 64-bit value over a high and a low register.
    void split64(const std::string& name, Ns ns, const char* visibility, const std::string& tip,
                 const std::string& display, const std::string& hi, const std::string& lo, const std::string& unit)
    {
        list(name);
        open("IntSwissKnife", name, ns, tip, display, visibility);
        swiss_knife_body({{"HI", hi}, {"LO", lo}}, "(HI << 32) | LO", unit);
        close("IntSwissKnife");
    }

    // An integer computed from other nodes, serving another node (a bound)
    // rather than shown as a feature.
    void computed(const std::string& name, const std::vector<Variable>& variables, const std::string& formula)
    {
        open("IntSwissKnife", name, Ns::Custom, "", "", nullptr);
        swiss_knife_body(variables, formula, "");
        close("IntSwissKnife");
    }

    // A float feature over an integer node in other units: FormulaFrom
    // turns the node's value (TO) into the feature's (FROM), FormulaTo back.
    void converter(const std::string& name, Ns ns, const char* visibility, const std::string& tip,
                   const std::string& display, const std::string& node, const std::string& formula_to,
                   const std::string& formula_from, const std::string& unit)
    {
        list(name);
        open("Converter", name, ns, tip, display, visibility);
        leaf("FormulaTo", formula_to);
        leaf("FormulaFrom", formula_from);
        leaf("pValue", node);
        if (!unit.empty())
            leaf("Unit", unit);
        leaf("Slope", "Increasing");
        close("Converter");
    }

    void block(const std::string& name, Ns ns, const std::string& tip, const std::string& display, uint32_t address,
               uint32_t length, const Index& index)
    {
        list(name);
        open("Register", name, ns, tip, display, "Expert");
        registers(address, length, "RO", false, index);
        close("Register");
    }

    // Registers that change on the device's own account are marked
    // uncachable so that a host reads them afresh.
    void int_reg(const std::string& name, uint32_t address, const char* access, bool volatile_value = false,
                 const Index& index = Index())
    {
        open("IntReg", name, Ns::Custom, "", "", nullptr);
        registers(address, 4, access, volatile_value, index);
        leaf("Sign", "Unsigned");
        leaf("Endianess", "BigEndian");
        close("IntReg");
    }

    // Bits msb..lsb of a word, numbered from the most significant bit as 0.
    void masked_reg(const std::string& name, uint32_t address, const char* access, int lsb, int msb,
                    const Index& index = Index())
    {
        open("MaskedIntReg", name, Ns::Custom, "", "", nullptr);
        registers(address, 4, access, false, index);
        if (lsb == msb) {
            leaf("Bit", num(lsb));
        } else {
            leaf("LSB", num(lsb));
            leaf("MSB", num(msb));
        }
        leaf("Sign", "Unsigned");
        leaf("Endianess", "BigEndian");
        close("MaskedIntReg");
    }

    void port(const std::string& name)
    {
        open("Port", name, Ns::Standard, "The camera's register space, reached over its control channel.", "", nullptr);
        close("Port");
    }

    std::string finish(const SimConfig& c) const
    {
        std::string out = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
        out += "<RegisterDescription\n";
        out += "  ModelName=\"" + escape(c.model) + "\"\n";
        out += "  VendorName=\"" + escape(c.vendor) + "\"\n";
        out += "  ToolTip=\"" + escape(c.model) + " 3D camera\"\n";
        out += "  StandardNameSpace=\"GEV\"\n";
        out += "  SchemaMajorVersion=\"1\"\n  SchemaMinorVersion=\"1\"\n  SchemaSubMinorVersion=\"0\"\n";
        out += "  MajorVersion=\"1\"\n  MinorVersion=\"4\"\n  SubMinorVersion=\"0\"\n";
        out += "  ProductGuid=\"6B1E4C2A-93D5-4F70-A8C1-2E5D7F0B3A91\"\n";
        out += "  VersionGuid=\"D04A7E63-1B8F-4C29-9E56-7A3F2C81B4E0\"\n";
        out += "  xmlns=\"http://www.genicam.org/GenApi/Version_1_1\"\n";
        out += "  xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"\n";
        out += "  xsi:schemaLocation=\"http://www.genicam.org/GenApi/Version_1_1 "
               "http://www.genicam.org/GenApi/GenApiSchema_Version_1_1.xsd\">\n";

        out += "  <Category Name=\"Root\" NameSpace=\"Standard\">\n";
        out += "    <DisplayName>Root</DisplayName>\n";
        for (const auto& cat : categories_)
            out += "    <pFeature>" + escape(cat.first) + "</pFeature>\n";
        out += "  </Category>\n";
        for (const auto& cat : categories_) {
            const CategoryInfo& info = cat.second;
            out += "  <Category Name=\"" + escape(cat.first) + "\" NameSpace=\"" + ns_text(info.ns) + "\">\n";
            out += "    <ToolTip>" + escape(info.tip) + "</ToolTip>\n";
            out += "    <DisplayName>" + escape(info.display) + "</DisplayName>\n";
            for (const std::string& f : info.features)
                out += "    <pFeature>" + escape(f) + "</pFeature>\n";
            out += "  </Category>\n";
        }
        out += xml_;
        out += "</RegisterDescription>\n";
        return out;
    }

private:
    struct CategoryInfo {
        Ns ns;
        std::string tip, display;
        std::vector<std::string> features;
    };

    static const char* ns_text(Ns ns) { return ns == Ns::Standard ? "Standard" : "Custom"; }

    void list(const std::string& feature)
    {
        for (auto& cat : categories_)
            if (cat.first == current_)
                cat.second.features.push_back(feature);
    }

    void open(const char* kind, const std::string& name, Ns ns, const std::string& tip, const std::string& display,
              const char* visibility)
    {
        xml_ += "  <" + std::string(kind) + " Name=\"" + escape(name) + "\" NameSpace=\"" + ns_text(ns) + "\">\n";
        if (!tip.empty())
            leaf("ToolTip", tip);
        if (!display.empty())
            leaf("DisplayName", display);
        if (visibility)
            leaf("Visibility", visibility);
    }

    void close(const char* kind) { xml_ += "  </" + std::string(kind) + ">\n"; }

    void leaf(const char* tag, const std::string& text)
    {
        xml_ += "    <" + std::string(tag) + ">" + escape(text) + "</" + tag + ">\n";
    }

    void swiss_knife_body(const std::vector<Variable>& variables, const std::string& formula, const std::string& unit)
    {
        for (const Variable& v : variables)
            xml_ += "    <pVariable Name=\"" + escape(v.name) + "\">" + escape(v.node) + "</pVariable>\n";
        leaf("Formula", formula);
        if (!unit.empty())
            leaf("Unit", unit);
    }

    void registers(uint32_t address, uint32_t length, const char* access, bool volatile_value, const Index& index)
    {
        leaf("Address", hex(address));
        if (!index.selector.empty())
            xml_ += "    <pIndex Offset=\"" + num(index.offset) + "\">" + escape(index.selector) + "</pIndex>\n";
        leaf("Length", num(length));
        leaf("AccessMode", access);
        leaf("pPort", "Device");
        if (volatile_value)
            leaf("Cachable", "NoCache");
    }

    std::vector<std::pair<std::string, CategoryInfo>> categories_;
    std::string current_;
    std::string xml_;
};

constexpr uint32_t sensor0(uint32_t offset)
{
    return SENSOR_BASE + offset;
}

constexpr uint32_t channel0(uint32_t offset)
{
    return CHANNEL_BASE + offset;
}

using namespace bootstrap;

// The namespaces of the entries below: the standard's names and ours.
constexpr Ns S = Ns::Standard;
constexpr Ns C = Ns::Custom;

// The camera's per-sensor registers repeat every SENSOR_STRIDE bytes; its
// per-channel registers and the bootstrap's stream channel registers every
// CHANNEL_STRIDE.
Index per_sensor()
{
    return {"SensorSelector", SENSOR_STRIDE};
}

Index per_channel()
{
    return {"GevStreamChannelSelector", CHANNEL_STRIDE};
}

// Identity and device-wide operations.
void describe_device(Description& d)
{
    d.in("DeviceControl");
    d.string_reg("DeviceVendorName", S, "Name of the manufacturer.", "Vendor Name", VENDOR_NAME, 32, "RO");
    d.string_reg("DeviceModelName", S, "Model of the camera.", "Model Name", MODEL_NAME, 32, "RO");
    d.string_reg("DeviceVersion", S, "Version of the camera.", "Device Version", DEVICE_VERSION, 32, "RO");
    d.string_reg("DeviceManufacturerInfo", S, "Further information from the manufacturer.", "Manufacturer Info",
                 MANUFACTURER_INFO, 48, "RO");
    d.string_reg("DeviceSerialNumber", S, "Serial number of the camera.", "Serial Number", SERIAL_NUMBER, 16, "RO");
    d.string_reg("DeviceUserID", S, "Name the user gives the camera.", "User ID", USER_NAME, 16, "RW");
    d.integer("TotalNumberOfCmos", C, "Expert", "Number of image sensors in the camera.", "Number of Sensors");
    d.int_reg("TotalNumberOfCmosReg", REG_TOTAL_NUMBER_OF_CMOS, "RO");
    d.selector("SensorSelector", C, "Sensor that the per-sensor features read and set.", "Sensor Selector",
               Limits()
                   .Min(0)
                   .pMax("SensorSelectorMax")
                   .Selects({"Width", "Height", "OffsetX", "OffsetY", "ExposureAuto", "ExposureCompensationLevel",
                             "ExposureTime", "InternelParameter", "ExternelParameter"}));
    d.computed("SensorSelectorMax", {{"N", "TotalNumberOfCmos"}}, "N - 1");
    d.converter("DeviceTemperature", S, "Expert", "Temperature inside the camera.", "Device Temperature",
                "DeviceTemperatureRaw", "(FROM + 273.15) * 100", "TO / 100 - 273.15", "C");
    // Hundredths of a kelvin, as the sensor reports it.
    d.int_reg("DeviceTemperatureRaw", REG_DEVICE_TEMPERATURE, "RO", true);
    // Described, but this model has no fan: the camera refuses the register.
    d.integer("DeviceFanSpeed", C, "Expert", "Speed of the cooling fan in revolutions per minute.", "Fan Speed",
              Limits().Unit("rpm"));
    d.int_reg("DeviceFanSpeedReg", REG_DEVICE_FAN_SPEED, "RO", true);
    d.integer("DeviceCloudUnit", C, "Expert", "Raw point-cloud units per millimetre.", "Cloud Unit");
    d.int_reg("DeviceCloudUnitReg", REG_DEVICE_CLOUD_UNIT, "RO");
    d.integer("FirmwareUpdate", C, "Guru", "Starts a firmware update.", "Firmware Update");
    d.int_reg("FirmwareUpdateReg", REG_FIRMWARE_UPDATE, "WO");
    d.integer("DeviceReboot", C, "Guru", "Restarts the camera.", "Reboot");
    d.int_reg("DeviceRebootReg", REG_DEVICE_REBOOT, "WO");
}

// Size, position and format of the image, per sensor and channel.
void describe_image_format(Description& d, const SimConfig& c)
{
    const uint32_t sensors = static_cast<uint32_t>(c.sensors.size());
    const uint32_t max_width = sensors > 0 ? c.sensors[0].max_width : 16;
    const uint32_t max_height = sensors > 0 ? c.sensors[0].max_height : 16;
    d.in("ImageFormatControl");
    d.integer("CmosIndex", C, "Beginner", "Sensor shown by the stream channel.", "Sensor Index",
              Limits().Min(0).Max(sensors > 0 ? sensors - 1 : 0));
    d.int_reg("CmosIndexReg", channel0(CH_CMOS_INDEX), "RW", false, per_channel());
    d.integer("Width", S, "Beginner", "Width of the image in pixels.", "Width", Limits().Min(16).pMax("MWOP").Inc(8));
    d.int_reg("WidthReg", sensor0(SN_WIDTH), "RW", false, per_sensor());
    d.integer("Height", S, "Beginner", "Height of the image in pixels.", "Height",
              Limits().Min(16).pMax("MHOP").Inc(2));
    d.int_reg("HeightReg", sensor0(SN_HEIGHT), "RW", false, per_sensor());
    d.integer("OffsetX", S, "Beginner", "Horizontal offset of the image from the sensor's origin.", "Offset X",
              Limits().Min(0).Max(max_width > 16 ? max_width - 16 : 0).Inc(8));
    d.int_reg("OffsetXReg", sensor0(SN_OFFSET_X), "RW", false, per_sensor());
    d.integer("OffsetY", S, "Beginner", "Vertical offset of the image from the sensor's origin.", "Offset Y",
              Limits().Min(0).Max(max_height > 16 ? max_height - 16 : 0).Inc(2));
    d.int_reg("OffsetYReg", sensor0(SN_OFFSET_Y), "RW", false, per_sensor());
    d.int_reg("MWOP", sensor0(SN_MAX_WIDTH), "RO", false, per_sensor());
    d.int_reg("MHOP", sensor0(SN_MAX_HEIGHT), "RO", false, per_sensor());
    d.enumeration("PixelFormat", S, "Beginner", "Format of the pixels of the stream.", "Pixel Format",
                  pixel_format_entries({PIXEL_FORMAT_MONO8, PIXEL_FORMAT_BAYER_RG8, PIXEL_FORMAT_YUV422_8,
                                        PIXEL_FORMAT_RGB8, PIXEL_FORMAT_COORD3D_ABC16}));
    d.int_reg("PixelFormatReg", channel0(CH_PIXEL_FORMAT), "RW", false, per_channel());
}

// Starting, triggering and exposing.
void describe_acquisition(Description& d, const SimConfig& c)
{
    const uint32_t signals = c.actions ? std::min(c.action_signals, gvcp::MAX_ACTION_SIGNALS) : 0;
    std::vector<Entry> sources = {{"Software", num(TRIGGER_SOURCE_SOFTWARE), S},
                                  {"Line0", num(TRIGGER_SOURCE_LINE0), S}};
    for (uint32_t i = 0; i < signals; ++i)
        sources.push_back({"Action" + num(i + 1), num(TRIGGER_SOURCE_ACTION1 + i), S});
    d.in("AcquisitionControl");
    d.command("AcquisitionStart", S, "Starts the acquisition.", "Acquisition Start", 1);
    // Write-only so that a host does not wait for the register to clear.
    d.int_reg("AcquisitionStartReg", REG_ACQUISITION_START, "WO");
    d.command("AcquisitionStop", S, "Stops the acquisition.", "Acquisition Stop", 1);
    d.int_reg("AcquisitionStopReg", REG_ACQUISITION_STOP, "WO");
    d.integer("AcquisitionStatus", C, "Expert", "1 while the camera acquires.", "Acquisition Status");
    d.int_reg("AcquisitionStatusReg", REG_ACQUISITION_STATUS, "RO", true);
    d.enumeration("TriggerSelector", S, "Beginner", "Trigger that the trigger settings configure.", "Trigger Selector",
                  {{"AcquisitionStart", "0", S}, {"FrameStart", "1", S}});
    d.int_reg("TriggerSelectorReg", REG_TRIGGER_SELECTOR, "RW");
    d.enumeration("TriggerMode", S, "Beginner", "Whether frames wait for a trigger.", "Trigger Mode",
                  {{"Off", "0", S}, {"On", "1", S}});
    d.int_reg("TriggerModeReg", REG_TRIGGER_MODE, "RW");
    d.enumeration("TriggerSource", S, "Beginner", "Where the trigger comes from.", "Trigger Source", sources);
    d.int_reg("TriggerSourceReg", REG_TRIGGER_SOURCE, "RW");
    d.integer("TriggerSoftware", C, "Beginner", "Writing 1 triggers a frame.", "Trigger Software", Limits().Min(1));
    d.int_reg("TriggerSoftwareReg", REG_TRIGGER_SOFTWARE, "RW");
    d.enumeration("RGBTriggerMode", C, "Beginner", "Whether colour frames wait for a trigger.", "RGB Trigger Mode",
                  {{"Off", "0", C}, {"On", "1", C}});
    d.int_reg("RGBTriggerModeReg", REG_RGB_TRIGGER_MODE, "RW");
    d.integer("RGBTriggerSoftware", C, "Beginner", "Writing 1 triggers a colour frame.", "RGB Trigger Software",
              Limits().Min(1));
    d.int_reg("RGBTriggerSoftwareReg", REG_RGB_TRIGGER_SOFTWARE, "RW");
    d.integer("ExposureType", C, "Expert", "Exposure pattern used for depth frames.", "Exposure Type",
              Limits().Min(1).Max(8));
    d.int_reg("ExposureTypeReg", REG_EXPOSURE_TYPE, "RW");
    d.enumeration("ExposureAuto", S, "Beginner", "Automatic exposure.", "Exposure Auto",
                  {{"Off", "0", S}, {"Continuous", "1", S}});
    d.int_reg("ExposureAutoReg", sensor0(SN_EXPOSURE_AUTO), "RW", false, per_sensor());
    d.integer("ExposureCompensationLevel", C, "Expert", "Target brightness of automatic exposure.",
              "Exposure Compensation", Limits().Min(1).Max(16));
    d.int_reg("ExposureCompensationLevelReg", sensor0(SN_EXPOSURE_COMPENSATION), "RW", false, per_sensor());
    d.integer("ExposureTime", S, "Beginner", "Exposure time in microseconds.", "Exposure Time",
              Limits().Min(10).pMax("ExposureTimeMax").Unit("us"));
    d.int_reg("ExposureTimeReg", sensor0(SN_EXPOSURE_TIME), "RW", false, per_sensor());
    d.int_reg("ExposureTimeMax", REG_EXPOSURE_TIME_MAX, "RO");
}

// Action commands: which keys and groups this camera answers to.
void describe_actions(Description& d, const SimConfig& c)
{
    const uint32_t signals = std::min(c.action_signals, gvcp::MAX_ACTION_SIGNALS);
    d.in("ActionControl");
    d.integer("ActionDeviceKey", S, "Guru", "Key that action commands must carry to reach this camera.",
              "Action Device Key", Limits().Representation("HexNumber"));
    d.int_reg("ActionDeviceKeyReg", gvcp::ACTION_DEVICE_KEY_REG, "WO");
    if (signals > 0) {
        d.selector("ActionSelector", S, "Action signal that the action group features read and set.", "Action Selector",
                   Limits().Min(0).Max(signals - 1).Selects({"ActionGroupKey", "ActionGroupMask"}));
        const Index per_action{"ActionSelector", gvcp::ACTION_GROUP_STRIDE};
        d.integer("ActionGroupKey", S, "Guru", "Group key that fires the selected action signal.", "Action Group Key",
                  Limits().Representation("HexNumber"));
        d.int_reg("ActionGroupKeyReg", gvcp::ACTION_GROUP_KEY_BASE, "RW", false, per_action);
        d.integer("ActionGroupMask", S, "Guru", "Group mask of the selected action signal.", "Action Group Mask",
                  Limits().Representation("HexNumber"));
        d.int_reg("ActionGroupMaskReg", gvcp::ACTION_GROUP_MASK_BASE, "RW", false, per_action);
    }
    d.integer("ActionQueueSize", S, "Guru", "Scheduled actions the camera holds at once.", "Action Queue Size");
    d.int_reg("ActionQueueSizeReg", gvcp::SCHEDULED_ACTION_QUEUE_SIZE_REG, "RO");
}

// Gains.
void describe_analog(Description& d)
{
    d.in("AnalogControl");
    d.integer("analoggain", C, "Beginner", "Analog gain of the depth sensors.", "Analog Gain", Limits().Min(1).Max(64));
    d.int_reg("analoggainReg", REG_ANALOG_GAIN, "RW");
    d.integer("analoggain_rgb", C, "Beginner", "Analog gain of the colour sensor.", "Analog Gain RGB",
              Limits().Min(1).Max(64));
    d.int_reg("analoggain_rgbReg", REG_ANALOG_GAIN_RGB, "RW");
    d.integer("digitalgain", C, "Beginner", "Digital gain of the depth sensors.", "Digital Gain",
              Limits().Min(1).Max(64));
    d.int_reg("digitalgainReg", REG_DIGITAL_GAIN, "RW");
    d.integer("digitalgain_rgb", C, "Beginner", "Digital gain of the colour sensor.", "Digital Gain RGB",
              Limits().Min(1).Max(64));
    d.int_reg("digitalgain_rgbReg", REG_DIGITAL_GAIN_RGB, "RW");
}

// The laser projector and the strobe LED.
void describe_light(Description& d)
{
    d.in("LightControl");
    d.integer("StrobeLEDswitch", C, "Beginner", "Turns the strobe LED on (1) or off (0).", "Strobe LED",
              Limits().Min(0).Max(1));
    d.int_reg("StrobeLEDswitchReg", REG_STROBE_LED_SWITCH, "RW");
    d.integer("Laserbrightness", C, "Beginner", "Brightness of the laser projector in percent.", "Laser Brightness",
              Limits().Min(1).Max(100));
    d.int_reg("LaserbrightnessReg", REG_LASER_BRIGHTNESS, "RW");
    d.integer("StrobeLEDbrightress", C, "Beginner", "Brightness of the strobe LED in percent.", "Strobe LED Brightness",
              Limits().Min(1).Max(100));
    d.int_reg("StrobeLEDbrightressReg", REG_STROBE_LED_BRIGHTNESS, "RW");
}

// The stream channels, heartbeat and time stamps of the bootstrap registers.
void describe_transport_layer(Description& d)
{
    d.in("TransportLayerControl");
    d.selector("GevStreamChannelSelector", S, "Stream channel that the per-channel features read and set.",
               "Stream Channel Selector",
               Limits()
                   .Min(0)
                   .pMax("GevStreamChannelSelectorMax")
                   .Selects({"CmosIndex", "PixelFormat", "PayloadSize", "GevSCPSPacketSize", "GevSCPSDoNotFragment",
                             "GevSCSP", "GevSCDA", "GevSCPHostPort"}));
    d.computed("GevStreamChannelSelectorMax", {{"N", "GevStreamChannelCount"}}, "N - 1");
    d.integer("GevVersionMajor", S, "Expert", "Major version of GigE Vision the camera follows.", "Version Major");
    d.masked_reg("GevVersionMajorReg", VERSION, "RO", 15, 0);
    d.integer("GevVersionMinor", S, "Expert", "Minor version of GigE Vision the camera follows.", "Version Minor");
    d.masked_reg("GevVersionMinorReg", VERSION, "RO", 31, 16);
    d.integer("PayloadSize", S, "Expert", "Bytes of one image of the stream.", "Payload Size");
    d.int_reg("PayloadSizeReg", channel0(CH_PAYLOAD_SIZE), "RO", true, per_channel());
    d.integer("GevStreamChannelCount", S, "Expert", "Number of stream channels.", "Stream Channel Count");
    d.int_reg("GevStreamChannelCountReg", Number_of_Stream_Channels_Reg, "RO");
    d.integer("GevSCPSPacketSize", S, "Expert", "Size of the stream packets in bytes.", "Packet Size",
              Limits().Min(576).Max(9000).Unit("B"));
    d.masked_reg("GevSCPSPacketSizeReg", Stream_Channel_Packet_Size_Reg, "RW", 31, 16, per_channel());
    d.boolean("GevSCPSDoNotFragment", S, "Expert", "Whether stream packets are sent with IP fragmentation off.",
              "Do Not Fragment");
    d.masked_reg("GevSCPSDoNotFragmentReg", Stream_Channel_Packet_Size_Reg, "RW", 1, 1, per_channel());
    d.integer("GevSCSP", S, "Guru", "UDP port the stream is sent from.", "Stream Source Port",
              Limits().Min(0).Max(65535));
    d.int_reg("GevSCSPReg", Source_Port_Reg, "RO", false, per_channel());
    d.integer("GevSCDA", S, "Expert", "Address the stream is sent to.", "Stream Destination Address",
              Limits().Representation("IPV4Address"));
    d.int_reg("GevSCDAReg", Stream_Channel_0_Destination_Address_Reg, "RW", false, per_channel());
    d.integer("GevSCPHostPort", S, "Expert", "UDP port the stream is sent to; 0 closes the channel.",
              "Stream Host Port", Limits().Min(0).Max(65535));
    d.masked_reg("GevSCPHostPortReg", Stream_Channel_0_Port_Reg, "RW", 31, 16, per_channel());
    d.integer("GevHeartbeatTimeout", S, "Guru", "Time the camera keeps control without a heartbeat.",
              "Heartbeat Timeout", Limits().Min(500).Max(600000).Unit("ms"));
    d.int_reg("GevHeartbeatTimeoutReg", Heartbeat_Timeout_Reg, "RW");
    d.split64("GevTimestampTickFrequency", S, "Expert", "Ticks of the timestamp counter per second.",
              "Timestamp Tick Frequency", "TimestampTickFrequencyHiReg", "TimestampTickFrequencyLoReg", "Hz");
    d.int_reg("TimestampTickFrequencyHiReg", TICK_FREQUENCY_HIGH, "RO");
    d.int_reg("TimestampTickFrequencyLoReg", TICK_FREQUENCY_LOW, "RO");
    d.command("GevTimestampControlLatch", S, "Latches the timestamp counter into GevTimestampValue.", "Timestamp Latch",
              2);
    d.int_reg("GevTimestampControlLatchReg", TIMESTAMP_CONTROL, "WO");
    d.split64("GevTimestampValue", S, "Expert", "Timestamp counter as last latched.", "Timestamp Value",
              "GEV_BOOTSTRAP_TimestampValueLatchedHigh", "GEV_BOOTSTRAP_TimestampValueLatchedLow", "");
    d.int_reg("GEV_BOOTSTRAP_TimestampValueLatchedHigh", TIMESTAMP_LATCHED_HIGH, "RO", true);
    d.int_reg("GEV_BOOTSTRAP_TimestampValueLatchedLow", TIMESTAMP_LATCHED_LOW, "RO", true);
    d.boolean("GevIEEE1588", S, "Expert", "Synchronises the timestamp with a precision time protocol master.",
              "IEEE 1588");
    d.masked_reg("GevIEEE1588Reg", GVCP_CONFIGURATION, "RW", 12, 12);
    d.integer("GevIEEE1588Status", S, "Expert", "State of the precision time protocol clock.", "IEEE 1588 Status");
    d.int_reg("GevIEEE1588StatusReg", IEEE1588_STATUS, "RO", true);
}

// The sensors' factory calibration.
void describe_calibration(Description& d)
{
    d.in("CalibrationControl");
    d.block("InternelParameter", C,
            "Intrinsics of the sensor: 5 distortion coefficients, then the 3x3 camera matrix, "
            "as little-endian floats.",
            "Intrinsic Parameters", sensor0(SN_INTRINSICS), 56, per_sensor());
    d.block("ExternelParameter", C,
            "Extrinsics of the sensor: the 3x3 rotation, then the translation in mm, "
            "as little-endian floats.",
            "Extrinsic Parameters", sensor0(SN_EXTRINSICS), 48, per_sensor());
}

}  // namespace

std::string build_description_xml(const SimConfig& c)
{
    Description d;
    d.category("DeviceControl", S, "Identity of the camera and device-wide operations.", "Device Control");
    d.category("ImageFormatControl", S, "Size, position and format of the image.", "Image Format Control");
    d.category("AcquisitionControl", S, "Starting, triggering and exposing images.", "Acquisition Control");
    if (c.actions)
        d.category("ActionControl", S, "Action commands that trigger several cameras at once.", "Action Control");
    d.category("AnalogControl", S, "Sensor gains.", "Analog Control");
    d.category("LightControl", C, "The laser projector and the strobe LED.", "Light Control");
    d.category("TransportLayerControl", S, "GigE Vision transport settings.", "Transport Layer Control");
    d.category("CalibrationControl", C, "Factory calibration of the sensors.", "Calibration Control");
    describe_device(d);
    describe_image_format(d, c);
    describe_acquisition(d, c);
    if (c.actions)
        describe_actions(d, c);
    describe_analog(d);
    describe_light(d);
    describe_transport_layer(d);
    describe_calibration(d);
    d.port("Device");
    return d.finish(c);
}

namespace {

// Packs the text into a one-entry deflated archive held in memory; false
// when libzip fails, leaving *out untouched.
bool zip_text(const std::string& text, const std::string& entry, std::vector<uint8_t>* out)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* archive_src = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (!archive_src) {
        zip_error_fini(&error);
        return false;
    }
    zip_t* archive = zip_open_from_source(archive_src, ZIP_TRUNCATE, &error);
    zip_error_fini(&error);
    if (!archive) {
        zip_source_free(archive_src);
        return false;
    }
    // zip_close releases the source; keep it to read the archive back.
    zip_source_keep(archive_src);

    bool ok = false;
    zip_source_t* file_src = zip_source_buffer(archive, text.data(), text.size(), 0);
    if (file_src) {
        const zip_int64_t index = zip_file_add(archive, entry.c_str(), file_src, ZIP_FL_ENC_UTF_8);
        if (index < 0)
            zip_source_free(file_src);
        else
            ok = zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), ZIP_CM_DEFLATE, 0) == 0;
    }
    if (!ok || zip_close(archive) != 0) {
        zip_discard(archive);
        zip_source_free(archive_src);
        return false;
    }

    zip_stat_t st;
    zip_stat_init(&st);
    std::vector<uint8_t> bytes;
    ok = zip_source_stat(archive_src, &st) == 0 && (st.valid & ZIP_STAT_SIZE) && zip_source_open(archive_src) == 0;
    if (ok) {
        bytes.resize(static_cast<size_t>(st.size));
        zip_int64_t got = bytes.empty() ? 0 : zip_source_read(archive_src, bytes.data(), bytes.size());
        ok = got == static_cast<zip_int64_t>(bytes.size());
        zip_source_close(archive_src);
    }
    zip_source_free(archive_src);
    if (ok)
        *out = std::move(bytes);
    return ok;
}

std::string without_spaces(const std::string& text)
{
    std::string out;
    for (char ch : text)
        if (ch != ' ')
            out += ch;
    return out;
}

}  // namespace

uint32_t install_description(DeviceMemory& memory, const SimConfig& c)
{
    const std::string text = c.description_override.empty() ? build_description_xml(c) : c.description_override;
    std::vector<uint8_t> bytes(text.begin(), text.end());
    const char* ext = "xml";
    // Should libzip fail, the plain file still lets a host connect.
    if (c.description_zipped && zip_text(text, without_spaces(c.model) + ".xml", &bytes))
        ext = "zip";

    const uint32_t size = static_cast<uint32_t>(bytes.size());
    // Hosts read in READMEM-sized chunks and round the last one up to whole
    // words; mapping whole chunks keeps that last read inside the file.
    const uint32_t chunk = static_cast<uint32_t>(gvcp::READMEM_MAX_DATA);
    uint32_t mapped = (size + chunk - 1) / chunk * chunk;
    if (mapped == 0)
        mapped = chunk;
    memory.map(DESCRIPTION_BASE, mapped, Access::ReadOnly);
    if (size > 0)
        memory.write(DESCRIPTION_BASE, bytes.data(), size);

    char url[128];
    std::snprintf(url, sizeof url, "Local:sim_camera.%s;%X;%X", ext, DESCRIPTION_BASE, size);
    memory.set_string(Second_Url_Reg, 512, url);
    if (c.description_url == UrlSlot::First) {
        memory.set_string(First_Url_Reg, 512, url);
    } else {
        // A device with only the second URL leaves the first unreadable.
        memory.set_string(First_Url_Reg, 512, "");
        memory.set_access(First_Url_Reg, 512, Access::None);
    }
    return size;
}

}  // namespace vsim
