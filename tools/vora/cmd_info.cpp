// vora info: what a connected camera says about itself.
#include <cstdio>
#include <string>

#include "commands.h"
#include "common.h"
#include "options.h"
#include "session.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kInfoHelp =
    "usage: vora info [-c N]\n"
    "Connects to camera N of `vora list` (default 0) and prints its identity, its\n"
    "network configuration, heartbeat timeout, stream channels (sensor, pixel\n"
    "format, region, packet and payload size), and for every sensor the exposure\n"
    "and the factory calibration (intrinsics, distortion, rotation, translation),\n"
    "then gains, lights and trigger settings.\n"
    "Exit codes: 0 ok, 1 the camera could not be connected or a read failed,\n"
    "2 usage error, 3 no camera at that index, 130 interrupted.\n";


class InfoPrinter {
public:
    explicit InfoPrinter(CameraSession& session) : s_(session), index_(session.index()) {}

    // The value, "n/a" when the camera lacks the feature, or the error
    // (which makes the command fail).
    std::string value(int status, const std::string& text)
    {
        if (status == 0)
            return text;
        if (status == VORA_ERR_NO_NODE)
            return "n/a";
        failed = true;
        return "error " + status_text(status);
    }

    std::string feature(const char* name, unsigned offset = 0, const char* unit = "")
    {
        int v = 0;
        const int status = s_.read_feature(name, offset, &v);
        return value(status, std::to_string(v) + unit);
    }

    // Getters of the feature controls answer the value or a negative code.
    std::string getter(int result, const char* unit = "")
    {
        return result < 0 ? value(result, "") : std::to_string(result) + unit;
    }

    std::string string_feature(const char* name)
    {
        char text[600] = {};
        ReadStringRegister(index_, name, text);
        return std::string(text);
    }

    bool failed = false;

private:
    CameraSession& s_;
    int index_;
};

void line(const char* key, const std::string& value)
{
    std::printf("  %-18s %s\n", key, value.c_str());
}

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

std::string mac_text(const DiscoveryInfo& d)
{
    // Both parts are kept in the order they came off the wire.
    const auto* high = reinterpret_cast<const unsigned char*>(&d.camera_mac_high);
    const auto* low = reinterpret_cast<const unsigned char*>(&d.camera_mac_low);
    char text[24];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", high[0], high[1], low[0], low[1], low[2],
                  low[3]);
    return text;
}

}  // namespace

int cmd_info(int argc, char** argv)
{
    Args args(argc, argv, 1, {kCameraOption});
    if (args.help()) {
        std::fputs(kInfoHelp, stdout);
        return kExitOk;
    }
    if (!args.positional().empty())
        throw UsageError("info takes no arguments besides -c N");
    const int index = camera_option(args);
    CameraSession session;
    const int code = session.connect(index);
    if (code != kExitOk)
        return code;
    InfoPrinter p(session);
    const DiscoveryInfo d = discovery_info[static_cast<size_t>(index)];

    std::printf("camera %d: %s\n", index, session.serial().c_str());
    line("vendor", p.string_feature("DeviceVendorName"));
    line("model", p.string_feature("DeviceModelName"));
    line("version", p.string_feature("DeviceVersion"));
    line("manufacturer info", p.string_feature("DeviceManufacturerInfo"));
    line("user id", p.string_feature("DeviceUserID"));
    line("MAC", mac_text(d));
    line("address", ip_text(d.camera_ip) + " mask " + ip_text(d.camera_mask) + " gateway " +
                        ip_text(d.camera_gateway));
    line("host interface", field_text(d.computer_adapter, sizeof d.computer_adapter) + " " +
                               ip_text(d.computer_ip) + ", MTU " + std::to_string(d.mtu));
    line("library", SDKVersion(index));

    std::printf("connection\n");
    line("heartbeat timeout", p.getter(GetHeartBeatTimeout(index), " ms"));
    int channels = 0;
    const int channel_status = ReadRegister(index, Number_of_Stream_Channels_Reg, &channels);
    line("stream channels", p.value(channel_status, std::to_string(channels)));
    int sensors = 0;
    const int sensor_status = session.read_feature("TotalNumberOfCmos", 0, &sensors);
    line("sensors", p.value(sensor_status, std::to_string(sensors)));
    line("cloud unit", p.feature("DeviceCloudUnit", 0, " per mm"));

    if (channel_status == 0 && channels > 0) {
        std::printf("stream channels\n");
        for (int ch = 0; ch < channels && ch < 3 && !interrupted(); ++ch) {
            const unsigned offset = static_cast<unsigned>(ch) * STREAM_CHANNEL_REG_STRIDE;
            int sensor = 0, format = 0, packet = 0;
            const int cmos_status = session.read_feature("CmosIndex", offset, &sensor);
            const int format_status = session.read_feature("PixelFormat", offset, &format);
            const int packet_status = ReadRegister(index, Stream_Channel_Packet_Size_Reg + offset, &packet);
            std::string region = "region n/a";
            if (cmos_status == 0) {
                const unsigned sensor_offset = static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE;
                int w = 0, h = 0, x = 0, y = 0;
                const int st = session.read_feature("Width", sensor_offset, &w) ||
                                       session.read_feature("Height", sensor_offset, &h) ||
                                       session.read_feature("OffsetX", sensor_offset, &x) ||
                                       session.read_feature("OffsetY", sensor_offset, &y)
                                   ? VORA_ERR_FAILED
                                   : 0;
                region = p.value(st, std::to_string(w) + "x" + std::to_string(h) + " at (" + std::to_string(x) +
                                         "," + std::to_string(y) + ")");
            }
            const std::string key = "channel " + std::to_string(ch);
            line(key.c_str(), "sensor " + p.value(cmos_status, std::to_string(sensor)) + ", " +
                          p.value(format_status, pixel_format_name(static_cast<unsigned>(format))) + ", " + region +
                          ", packets " + p.value(packet_status, std::to_string(packet & 0xFFFF)) +
                          " bytes, payload " + p.feature("PayloadSize", offset, " bytes"));
        }
    }

    if (sensor_status == 0) {
        std::printf("sensors\n");
        for (int s = 0; s < sensors && !interrupted(); ++s) {
            std::printf("  sensor %d\n", s);
            const int automatic = GetAutoExposure(index, s);
            line("  exposure", p.getter(GetExposureTime(index, s), " us") +
                                   (automatic == 1 ? " (automatic)" : automatic == 0 ? " (manual)" : ""));
            float kc[5] = {}, k[9] = {}, r[9] = {}, t[3] = {};
            const int in_status = GetCamInternelParameter(index, s, kc, k);
            if (in_status == 0) {
                char text[160];
                std::snprintf(text, sizeof text, "fx %g fy %g cx %g cy %g skew %g", static_cast<double>(k[0]),
                              static_cast<double>(k[4]), static_cast<double>(k[2]), static_cast<double>(k[5]),
                              static_cast<double>(k[1]));
                line("  intrinsics", text);
                line("  distortion", floats(kc, 5));
            } else {
                line("  intrinsics", p.value(in_status, ""));
            }
            const int ex_status = GetCamExternelParameter(index, s, r, t);
            if (ex_status == 0) {
                line("  rotation", floats(r, 3) + " / " + floats(r + 3, 3) + " / " + floats(r + 6, 3));
                line("  translation", floats(t, 3) + " mm");
            } else {
                line("  extrinsics", p.value(ex_status, ""));
            }
        }
    }

    std::printf("settings\n");
    line("analog gain", "depth " + p.getter(GetGain(index, 1, 0)) + ", colour " + p.getter(GetGain(index, 1, 1)));
    line("digital gain", "depth " + p.getter(GetGain(index, 2, 0)) + ", colour " + p.getter(GetGain(index, 2, 1)));
    line("laser brightness", p.getter(GetLaserbrightness(index), " %"));
    const int strobe = GetStrobeLEDswitch(index);
    line("strobe LED", (strobe == 1 ? "on, " : strobe == 0 ? "off, " : "") +
                           p.getter(GetStrobeLEDbrightress(index), " %"));
    line("trigger mode", p.feature("TriggerMode"));
    line("exposure pattern", p.getter(GetMutipleExposure(index)));

    if (interrupted())
        return kExitInterrupted;
    return p.failed ? kExitCamera : kExitOk;
}

}  // namespace vora_tool
