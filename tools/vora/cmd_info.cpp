// vora info: what a connected camera says about itself.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "json.h"
#include "options.h"
#include "recording_file.h"
#include "session.h"
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kInfoHelp =
    "usage: vora info [-c CAMERA] [--json]\n"
    "       vora info FILE.mcap [--json]   (a recording: camera, frames, duration, topics,\n"
    "           and per channel the frames dropped while recording and the gaps in the\n"
    "           block ids; JSON channels [{channel, frames, dropped, gaps, missing_blocks}],\n"
    "           null where the recording does not say)\n"
    "Connects to a camera (-c: index of `vora list`, serial number, IP or MAC\n"
    "address; default 0) and prints its identity, its network configuration,\n"
    "heartbeat timeout, stream channels (sensor, pixel format, region, packet and\n"
    "payload size), and for every sensor the exposure and the factory calibration\n"
    "(intrinsics, distortion, rotation, translation), then gains, lights and\n"
    "trigger settings.\n"
    "  --wait S keep discovering for up to S seconds (default 5; 0 asks once)\n"
    "  --json   one JSON document instead, with the keys index, serial, vendor,\n"
    "           model, version, manufacturer_info, user_id, mac, ip, mask, gateway,\n"
    "           interface {name, ip, mtu}, library, heartbeat_timeout_ms,\n"
    "           stream_channel_count, sensor_count, cloud_unit, stream_channels\n"
    "           [{channel, sensor, pixel_format, width, height, offset_x, offset_y,\n"
    "           packet_size, payload_size}], sensors [{sensor, exposure_us,\n"
    "           exposure_auto, fx, fy, cx, cy, skew, distortion[5], rotation[9],\n"
    "           translation[3]}], analog_gain {depth, colour}, digital_gain {depth,\n"
    "           colour}, laser_brightness, strobe_led {on, brightness}, trigger_mode,\n"
    "           exposure_pattern; a value the camera lacks or does not give is null\n"
    "Exit codes: 0 ok, 1 the camera could not be connected or a read failed,\n"
    "2 usage error, 3 no camera matches, 130 interrupted.\n";

// A number read from the camera, or the status that kept it.
struct Reading {
    int status = 0;
    long long value = 0;
};

// Getters of the feature controls answer the value or a negative code.
Reading getter(int result)
{
    return result < 0 ? Reading{result, 0} : Reading{0, result};
}

// The camera's answers, in text lines or in one JSON document.
class InfoPrinter {
public:
    InfoPrinter(CameraSession& session, bool json) : s_(session), index_(session.index()), json_(json) {}

    Reading feature(const char* name, unsigned offset = 0)
    {
        int v = 0;
        const int status = s_.read_feature(name, offset, &v);
        return {status, v};
    }

    std::string string_feature(const char* name)
    {
        char text[600] = {};
        ReadStringRegister(index_, name, text);
        return std::string(text);
    }

    // The text of a reading: the value, "n/a" when the camera lacks the
    // feature, or the error (which makes the command fail).
    std::string text(const Reading& r, const std::string& value)
    {
        if (r.status == 0)
            return value;
        if (r.status == VORA_ERR_NO_NODE)
            return "n/a";
        failed = true;
        return "error " + status_text(r.status);
    }
    std::string text(const Reading& r, const char* unit = "") { return text(r, std::to_string(r.value) + unit); }

    // One line of text, or one key of the JSON document.
    void line(const char* label, const std::string& value)
    {
        if (!json_)
            std::printf("  %-18s %s\n", label, value.c_str());
    }
    void put(const char* key, const Reading& r)
    {
        if (r.status != 0) {
            text(r);  // counts the failure
            j.key(key).null();
        } else {
            j.field(key, r.value);
        }
    }
    void put(const char* key, const std::string& value) { j.field(key, value); }
    void put_floats(const char* key, const float* v, int n)
    {
        j.key(key).begin_array();
        for (int i = 0; i < n; ++i)
            j.value(static_cast<double>(v[i]));
        j.end_array();
    }

    bool json() const { return json_; }
    bool failed = false;
    JsonWriter j;

private:
    CameraSession& s_;
    int index_;
    bool json_;
};

std::string floats(const float* v, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i) {
        char text[32];
        std::snprintf(text, sizeof text, "%s%g", i ? " " : "", static_cast<double>(v[i]));
        out += text;
    }
    return out;
}

void identity(InfoPrinter& p, CameraSession& session, int index)
{
    const DiscoveryInfo d = discovery_info[static_cast<size_t>(index)];
    const char* labels[] = {"vendor", "model", "version", "manufacturer info", "user id"};
    const char* keys[] = {"vendor", "model", "version", "manufacturer_info", "user_id"};
    const char* features[] = {"DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceManufacturerInfo",
                              "DeviceUserID"};
    if (p.json())
        p.j.field("index", index).field("serial", session.serial());
    else
        std::printf("camera %d: %s\n", index, session.serial().c_str());
    for (int i = 0; i < 5; ++i) {
        const std::string value = p.string_feature(features[i]);
        p.line(labels[i], value);
        if (p.json())
            p.put(keys[i], value);
    }
    const std::string adapter = field_text(d.computer_adapter, sizeof d.computer_adapter);
    p.line("MAC", mac_text(d));
    p.line("address",
           ip_text(d.camera_ip) + " mask " + ip_text(d.camera_mask) + " gateway " + ip_text(d.camera_gateway));
    p.line("host interface", adapter + " " + ip_text(d.computer_ip) + ", MTU " + std::to_string(d.mtu));
    p.line("library", SDKVersion(index));
    if (p.json()) {
        p.j.field("mac", mac_text(d))
            .field("ip", ip_text(d.camera_ip))
            .field("mask", ip_text(d.camera_mask))
            .field("gateway", ip_text(d.camera_gateway));
        p.j.key("interface")
            .begin_object()
            .field("name", adapter)
            .field("ip", ip_text(d.computer_ip))
            .field("mtu", d.mtu)
            .end_object();
        p.j.field("library", SDKVersion(index));
    }
}

void stream_channels(InfoPrinter& p, int index, int channels)
{
    if (p.json())
        p.j.key("stream_channels").begin_array();
    else if (channels > 0)
        std::printf("stream channels\n");
    for (int ch = 0; ch < channels && ch < 3 && !interrupted(); ++ch) {
        const unsigned offset = static_cast<unsigned>(ch) * STREAM_CHANNEL_REG_STRIDE;
        const Reading sensor = p.feature("CmosIndex", offset);
        const Reading format = p.feature("PixelFormat", offset);
        Reading packet;
        int raw = 0;
        packet.status = ReadRegister(index, Stream_Channel_Packet_Size_Reg + offset, &raw);
        packet.value = raw & 0xFFFF;
        const Reading payload = p.feature("PayloadSize", offset);
        Reading region[4];  // width, height, offset x, offset y
        const char* region_names[4] = {"Width", "Height", "OffsetX", "OffsetY"};
        for (int i = 0; i < 4; ++i)
            region[i] = sensor.status == 0
                            ? p.feature(region_names[i], static_cast<unsigned>(sensor.value) * SENSOR_REG_STRIDE)
                            : sensor;
        if (p.json()) {
            p.j.begin_object().field("channel", ch);
            p.put("sensor", sensor);
            p.j.key("pixel_format");
            if (format.status == 0)
                p.j.value(pixel_format_name(static_cast<unsigned>(format.value)));
            else
                p.j.null(), p.text(format);
            const char* keys[4] = {"width", "height", "offset_x", "offset_y"};
            for (int i = 0; i < 4; ++i)
                p.put(keys[i], region[i]);
            p.put("packet_size", packet);
            p.put("payload_size", payload);
            p.j.end_object();
            continue;
        }
        std::string region_text = "region n/a";
        if (sensor.status == 0) {
            Reading all;
            for (const Reading& r : region)
                if (r.status != 0)
                    all.status = VORA_ERR_FAILED;
            region_text =
                p.text(all, std::to_string(region[0].value) + "x" + std::to_string(region[1].value) + " at (" +
                                std::to_string(region[2].value) + "," + std::to_string(region[3].value) + ")");
        }
        const std::string key = "channel " + std::to_string(ch);
        p.line(key.c_str(), "sensor " + p.text(sensor) + ", " +
                                p.text(format, pixel_format_name(static_cast<unsigned>(format.value))) + ", " +
                                region_text + ", packets " + p.text(packet) + " bytes, payload " +
                                p.text(payload, " bytes"));
    }
    if (p.json())
        p.j.end_array();
}

void sensors(InfoPrinter& p, int index, int count)
{
    if (p.json())
        p.j.key("sensors").begin_array();
    else if (count >= 0)
        std::printf("sensors\n");
    for (int s = 0; s < count && !interrupted(); ++s) {
        const Reading exposure = getter(GetExposureTime(index, s));
        const int automatic = GetAutoExposure(index, s);
        float kc[5] = {}, k[9] = {}, r[9] = {}, t[3] = {};
        const int in_status = GetCamInternelParameter(index, s, kc, k);
        const int ex_status = GetCamExternelParameter(index, s, r, t);
        if (p.json()) {
            p.j.begin_object().field("sensor", s);
            p.put("exposure_us", exposure);
            p.j.key("exposure_auto");
            if (automatic == 0 || automatic == 1)
                p.j.value(automatic == 1);
            else
                p.j.null();
            const char* keys[5] = {"fx", "fy", "cx", "cy", "skew"};
            const int at[5] = {0, 4, 2, 5, 1};
            for (int i = 0; i < 5; ++i) {
                if (in_status == 0)
                    p.j.field(keys[i], static_cast<double>(k[at[i]]));
                else
                    p.j.key(keys[i]).null();
            }
            if (in_status == 0)
                p.put_floats("distortion", kc, 5);
            else
                p.j.key("distortion").null(), p.text({in_status, 0});
            if (ex_status == 0)
                p.put_floats("rotation", r, 9), p.put_floats("translation", t, 3);
            else
                p.j.key("rotation").null().key("translation").null(), p.text({ex_status, 0});
            p.j.end_object();
            continue;
        }
        std::printf("  sensor %d\n", s);
        p.line("  exposure", p.text(exposure, " us") + (automatic == 1   ? " (automatic)"
                                                        : automatic == 0 ? " (manual)"
                                                                         : ""));
        if (in_status == 0) {
            char text[160];
            std::snprintf(text, sizeof text, "fx %g fy %g cx %g cy %g skew %g", static_cast<double>(k[0]),
                          static_cast<double>(k[4]), static_cast<double>(k[2]), static_cast<double>(k[5]),
                          static_cast<double>(k[1]));
            p.line("  intrinsics", text);
            p.line("  distortion", floats(kc, 5));
        } else {
            p.line("  intrinsics", p.text({in_status, 0}, ""));
        }
        if (ex_status == 0) {
            p.line("  rotation", floats(r, 3) + " / " + floats(r + 3, 3) + " / " + floats(r + 6, 3));
            p.line("  translation", floats(t, 3) + " mm");
        } else {
            p.line("  extrinsics", p.text({ex_status, 0}, ""));
        }
    }
    if (p.json())
        p.j.end_array();
}

void settings(InfoPrinter& p, int index)
{
    const Reading analog[2] = {getter(GetGain(index, 1, 0)), getter(GetGain(index, 1, 1))};
    const Reading digital[2] = {getter(GetGain(index, 2, 0)), getter(GetGain(index, 2, 1))};
    const Reading laser = getter(GetLaserbrightness(index));
    const int strobe = GetStrobeLEDswitch(index);
    const Reading strobe_brightness = getter(GetStrobeLEDbrightress(index));
    const Reading trigger = p.feature("TriggerMode");
    const Reading pattern = getter(GetMutipleExposure(index));
    if (p.json()) {
        p.j.key("analog_gain").begin_object();
        p.put("depth", analog[0]);
        p.put("colour", analog[1]);
        p.j.end_object().key("digital_gain").begin_object();
        p.put("depth", digital[0]);
        p.put("colour", digital[1]);
        p.j.end_object();
        p.put("laser_brightness", laser);
        p.j.key("strobe_led").begin_object().key("on");
        if (strobe == 0 || strobe == 1)
            p.j.value(strobe == 1);
        else
            p.j.null();
        p.put("brightness", strobe_brightness);
        p.j.end_object();
        p.put("trigger_mode", trigger);
        p.put("exposure_pattern", pattern);
        return;
    }
    std::printf("settings\n");
    p.line("analog gain", "depth " + p.text(analog[0]) + ", colour " + p.text(analog[1]));
    p.line("digital gain", "depth " + p.text(digital[0]) + ", colour " + p.text(digital[1]));
    p.line("laser brightness", p.text(laser, " %"));
    p.line("strobe LED", (strobe == 1 ? "on, " : strobe == 0 ? "off, " : "") + p.text(strobe_brightness, " %"));
    p.line("trigger mode", p.text(trigger));
    p.line("exposure pattern", p.text(pattern));
}

}  // namespace

int cmd_info(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption, kJsonOption});
    if (args.help()) {
        std::fputs(kInfoHelp, stdout);
        return kExitOk;
    }
    if (args.positional().size() == 1 && is_recording_path(args.positional()[0]))
        return recording_info(args.positional()[0], args.has("--json"));
    if (!args.positional().empty())
        throw UsageError("info takes no arguments besides -c CAMERA and --json (or a recording, FILE.mcap)");
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    const int index = session.index();
    InfoPrinter p(session, args.has("--json"));
    if (p.json())
        p.j.begin_object();
    identity(p, session, index);

    const Reading heartbeat = getter(GetHeartBeatTimeout(index));
    int channels = 0;
    const Reading channel_count{ReadRegister(index, Number_of_Stream_Channels_Reg, &channels), channels};
    const Reading sensor_count = p.feature("TotalNumberOfCmos");
    const Reading unit = p.feature("DeviceCloudUnit");
    if (p.json()) {
        p.put("heartbeat_timeout_ms", heartbeat);
        p.put("stream_channel_count", channel_count);
        p.put("sensor_count", sensor_count);
        p.put("cloud_unit", unit);
    } else {
        std::printf("connection\n");
        p.line("heartbeat timeout", p.text(heartbeat, " ms"));
        p.line("stream channels", p.text(channel_count));
        p.line("sensors", p.text(sensor_count));
        p.line("cloud unit", p.text(unit, " per mm"));
    }
    stream_channels(p, index, channel_count.status == 0 ? channels : 0);
    sensors(p, index, sensor_count.status == 0 ? static_cast<int>(sensor_count.value) : -1);
    settings(p, index);
    if (p.json()) {
        p.j.end_object();
        std::fputs(p.j.text().c_str(), stdout);
    }
    if (interrupted())
        return interrupted_exit_code();
    return p.failed ? kExitCamera : kExitOk;
}

}  // namespace vora_tool
