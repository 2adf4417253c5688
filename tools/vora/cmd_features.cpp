// vora features, get, set and save-xml: the camera's features by name
// (feature_access.h), from the command line.
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "description.h"
#include "feature_access.h"
#include "json.h"
#include "options.h"
#include "session.h"
#include "vora_qelcamera_api.h"
#include "vora_qelcamera_api_csharp.h"

namespace vora_tool {

namespace {

const char* const kFeaturesHelp =
    "usage: vora features [-c CAMERA] [--json]\n"
    "Connects to a camera (-c: index of `vora list`, serial number, IP or MAC\n"
    "address; default 0) and prints every feature its device description\n"
    "declares, a line each: name, type (integer, float, enumeration, boolean,\n"
    "command, string, register), access (RO, RW, WO), current value, minimum,\n"
    "maximum, increment and enumeration entries (NAME=VALUE). Per-sensor and\n"
    "per-channel features show sensor or channel 0; `vora get NAME[IDX]` reads the\n"
    "others. A value that cannot be read shows as \"error\", a bound the\n"
    "description does not declare as \"-\".\n"
    "  --json   one JSON document instead: {\"features\": [{name, type, access,\n"
    "           value, min, max, inc, unit, entries: [{name, value}]}]}, with null\n"
    "           where the text shows \"-\" or \"error\"\n"
    "Exit codes: 0 ok, 1 camera error, 2 usage error, 3 no camera matches.\n";

const char* const kGetHelp =
    "usage: vora get [-c CAMERA] [--json] NAME[IDX]...\n"
    "Reads features of a camera (-c: index of `vora list`, serial number, IP or\n"
    "MAC address; default 0) and prints NAME=VALUE lines, which `vora set` takes\n"
    "back; with --json one JSON document {\"NAME[IDX]\": VALUE, ...} (numbers as\n"
    "numbers, texts as strings, null for a feature that could not be read). IDX picks the sensor of per-sensor features\n"
    "(ExposureTime, ExposureAuto, ExposureCompensationLevel, InternelParameter,\n"
    "ExternelParameter) and the stream channel of per-channel ones (Width, Height,\n"
    "OffsetX, OffsetY, PixelFormat, CmosIndex, PayloadSize, GevSCPSPacketSize,\n"
    "GevSCDA, GevSCPHostPort); it defaults to 0.\n"
    "Features with a control function are read through it; others as the 32-bit\n"
    "register the device description names, text features as text.\n"
    "Example: vora get -c 0 ExposureTime[1] Laserbrightness DeviceSerialNumber\n"
    "Exit codes: 0 ok, 1 a read failed or the feature does not exist, 2 usage\n"
    "error, 3 no camera matches.\n";

const char* const kSetHelp =
    "usage: vora set [-c CAMERA] NAME[IDX]=VALUE...\n"
    "Writes features of a camera (-c as for `vora get`), in the order given,\n"
    "stopping at the first refusal, and prints what the camera reports afterwards.\n"
    "A value outside the bounds or entries the description declares is refused\n"
    "with the range it missed. VALUE is a\n"
    "whole number (0x... for hexadecimal), on/off, a pixel format name for\n"
    "PixelFormat or an IPv4 address for GevSCDA. IDX as for `vora get`.\n"
    "Typed controls check ranges: ExposureTime, ExposureAuto,\n"
    "ExposureCompensationLevel, ExposureType, analoggain, analoggain_rgb,\n"
    "digitalgain, digitalgain_rgb, TriggerMode, TriggerSource, TriggerSoftware,\n"
    "RGBTriggerMode, RGBTriggerSoftware, AcquisitionStart, AcquisitionStop,\n"
    "StrobeLEDswitch, Laserbrightness, StrobeLEDbrightress, GevHeartbeatTimeout,\n"
    "GevIEEE1588, GevTimestampControlLatch and the region (Width, Height, OffsetX,\n"
    "OffsetY of a channel); any other feature is written as its register.\n"
    "Example: vora set -c 0 ExposureTime[0]=5000 Laserbrightness=80\n"
    "Exit codes: 0 ok, 1 the camera refused or the value is out of range, 2 usage\n"
    "error, 3 no camera matches.\n";

const char* const kSaveXmlHelp =
    "usage: vora save-xml [-c CAMERA] DIR\n"
    "Saves the device description of a camera (-c as for `vora get`) into DIR (created if\n"
    "missing), as the camera serves it (.xml or .zip), and prints the file name.\n"
    "Exit codes: 0 ok, 1 camera error or DIR not writable, 2 usage error, 3 no\n"
    "camera matches.\n";

FeatureRef parse_ref(const std::string& text)
{
    FeatureRef ref;
    const size_t open = text.find('[');
    if (open == std::string::npos) {
        ref.name = text;
    } else {
        if (text.back() != ']')
            throw UsageError("a feature index is written NAME[N]: " + text);
        ref.name = text.substr(0, open);
        ref.idx = static_cast<int>(
            to_integer(text.substr(open + 1, text.size() - open - 2), "the index of " + ref.name, 0, 255));
        ref.idx_given = true;
    }
    if (ref.name.empty())
        throw UsageError("missing feature name in " + text);
    if (ref.idx_given && indexed_by(ref.name) == Indexed::No)
        throw UsageError(ref.name + " has no index");
    if (ref.idx_given && indexed_by(ref.name) == Indexed::Channel && ref.idx > 2)
        throw UsageError(ref.name + ": stream channels are 0..2");
    return ref;
}

// A value is numeric unless it names a pixel format, an address or text.
void put_value(JsonWriter& j, const FeatureRef& ref, const std::string& text)
{
    if (!is_text(ref.name) && !is_calibration(ref.name) && ref.name != "PixelFormat" && ref.name != "GevSCDA") {
        char* end = nullptr;
        const long long number = std::strtoll(text.c_str(), &end, 10);
        if (!text.empty() && *end == '\0') {
            j.value(number);
            return;
        }
    }
    j.value(text);
}

long long parse_value(const FeatureRef& ref, const std::string& text)
{
    if (ref.name == "PixelFormat") {
        if (const unsigned f = pixel_format_code(text))
            return f;
    }
    if (ref.name == "GevSCDA") {
        in_addr a;
        if (inet_pton(AF_INET, text.c_str(), &a) == 1)
            return ntohl(a.s_addr);
    }
    if (text == "on" || text == "On" || text == "true")
        return 1;
    if (text == "off" || text == "Off" || text == "false")
        return 0;
    return to_integer(text, "the value of " + ref.label(), -2147483648LL, 4294967295LL);
}

void explain(const FeatureRef& ref, int status)
{
    if (status == VORA_ERR_NO_NODE)
        report(ref.label() + ": no such feature on this camera (see `vora features`)");
    else
        report_status(ref.label(), status);
}

}  // namespace

int cmd_features(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption, kJsonOption});
    if (args.help()) {
        std::fputs(kFeaturesHelp, stdout);
        return kExitOk;
    }
    if (!args.positional().empty())
        throw UsageError("features takes no arguments besides -c CAMERA and --json");
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    std::vector<std::string> names;
    GetCameraXMLNodeNamesCSharp(session.index(), &names);
    if (names.empty()) {
        report("the device description declares no features");
        return kExitCamera;
    }
    Description description;
    std::string error;
    if (!description.load(session.index(), &error)) {
        report(error);
        return kExitCamera;
    }
    Features features(session, &description);
    const bool json = args.has("--json");
    JsonWriter j;
    j.begin_object().key("features").begin_array();
    std::vector<std::vector<std::string>> rows{{"NAME", "TYPE", "ACCESS", "VALUE", "MIN", "MAX", "INC", "ENTRIES"}};
    int result = kExitOk;
    const FeatureInfo unknown;
    for (const std::string& name : names) {
        if (interrupted())
            return interrupted_exit_code();
        const FeatureInfo* found = description.find(name);
        const FeatureInfo& info = found ? *found : unknown;
        std::string value;
        int status = VORA_ERR_NO_NODE;
        if (info.readable() && info.type != "register")
            status = features.get(FeatureRef{name, 0, false}, &value);
        if (status != 0 && status != VORA_ERR_NO_NODE && info.readable() && info.type != "register") {
            report_status("reading " + name, status);
            result = kExitCamera;
        }
        const Bounds b = bounds_of(session.index(), name, info);
        std::string entries;
        for (const auto& e : info.entries)
            entries += (entries.empty() ? "" : ",") + e.first + "=" + std::to_string(e.second);
        if (!json) {
            std::string shown = status == 0 ? value : info.readable() && info.type != "register" ? "error" : "-";
            if (status == 0 && info.type == "enumeration") {
                const std::string entry = info.entry_name(std::strtoll(value.c_str(), nullptr, 0));
                if (!entry.empty())
                    shown = entry + " (" + value + ")";
            }
            if (status == 0 && !info.unit.empty())
                shown += " " + info.unit;
            rows.push_back({name, info.type.empty() ? "?" : info.type, info.access.empty() ? "?" : info.access, shown,
                            b.min.text(), b.max.text(), b.inc.text(), entries});
            continue;
        }
        j.begin_object().field("name", name).key("type");
        info.type.empty() ? j.null() : j.value(info.type);
        j.key("access");
        info.access.empty() ? j.null() : j.value(info.access);
        j.key("value");
        if (status == 0)
            put_value(j, FeatureRef{name, 0, false}, value);
        else
            j.null();
        const std::pair<const char*, const Bound*> bounds[] = {{"min", &b.min}, {"max", &b.max}, {"inc", &b.inc}};
        for (const auto& bound : bounds) {
            j.key(bound.first);
            bound.second->ok() ? j.value(bound.second->value) : j.null();
        }
        j.key("unit");
        info.unit.empty() ? j.null() : j.value(info.unit);
        j.key("entries").begin_array();
        for (const auto& e : info.entries)
            j.begin_object().field("name", e.first).field("value", e.second).end_object();
        j.end_array().end_object();
    }
    j.end_array().end_object();
    if (json) {
        std::fputs(j.text().c_str(), stdout);
        return result;
    }
    print_table(rows);
    return result;
}

int cmd_get(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption, kJsonOption});
    if (args.help()) {
        std::fputs(kGetHelp, stdout);
        return kExitOk;
    }
    if (args.positional().empty())
        throw UsageError("get needs at least one feature name");
    std::vector<FeatureRef> refs;
    for (const std::string& text : args.positional())
        refs.push_back(parse_ref(text));
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    Features features(session);
    const bool json = args.has("--json");
    JsonWriter j;
    j.begin_object();
    int result = kExitOk;
    for (const FeatureRef& ref : refs) {
        if (interrupted())
            return interrupted_exit_code();
        std::string text;
        const int status = features.get(ref, &text);
        if (status != 0) {
            explain(ref, status);
            result = kExitCamera;
            if (json)
                j.key(ref.label()).null();
            continue;
        }
        if (json) {
            j.key(ref.label());
            put_value(j, ref, text);
        } else {
            std::printf("%s=%s\n", ref.label().c_str(), text.c_str());
        }
    }
    if (json)
        std::fputs(j.end_object().text().c_str(), stdout);
    return result;
}

int cmd_set(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption});
    if (args.help()) {
        std::fputs(kSetHelp, stdout);
        return kExitOk;
    }
    if (args.positional().empty())
        throw UsageError("set needs at least one NAME=VALUE");
    std::vector<std::pair<FeatureRef, long long>> writes;
    for (const std::string& text : args.positional()) {
        const size_t eq = text.find('=');
        if (eq == std::string::npos)
            throw UsageError("set takes NAME=VALUE, not " + text);
        const FeatureRef ref = parse_ref(text.substr(0, eq));
        if (is_text(ref.name) || is_calibration(ref.name))
            throw UsageError(ref.name + " cannot be written with vora set");
        writes.emplace_back(ref, parse_value(ref, text.substr(eq + 1)));
    }
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    Description description;
    std::string error;
    if (!description.load(session.index(), &error))
        report("warning: " + error + "; values are not checked against the description");
    Features features(session, &description);
    for (const auto& w : writes) {
        if (interrupted())
            return interrupted_exit_code();
        // The description's bounds hold for index 0; the library checks the
        // others itself.
        const FeatureInfo* info = description.find(w.first.name);
        const Bounds b = info ? bounds_of(session.index(), w.first.name, *info) : Bounds();
        const std::string refused = info && !w.first.idx_given ? out_of_range(*info, b, w.second) : "";
        if (!refused.empty()) {
            report(w.first.label() + ": " + refused + "; nothing written");
            return kExitCamera;
        }
        const int status = features.set(w.first, w.second);
        if (status != 0) {
            explain(w.first, status);
            const std::string range = info ? out_of_range(*info, b, w.second) : "";
            if (!range.empty())
                report(w.first.label() + ": " + range);
            return kExitCamera;
        }
        std::string now;
        if (Features::readable(w.first.name) && features.get(w.first, &now) == 0)
            std::printf("%s=%s\n", w.first.label().c_str(), now.c_str());
        else
            std::printf("%s: written\n", w.first.label().c_str());
    }
    return kExitOk;
}

int cmd_save_xml(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption});
    if (args.help()) {
        std::fputs(kSaveXmlHelp, stdout);
        return kExitOk;
    }
    if (args.positional().size() != 1)
        throw UsageError("save-xml takes one directory");
    std::string dir = args.positional()[0];
    if (mkdir(dir.c_str(), 0777) != 0 && errno != EEXIST) {
        report("cannot create " + dir + ": " + std::strerror(errno));
        return kExitCamera;
    }
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;

    // The library names the file after the camera; what appeared or
    // changed in the directory is it.
    auto listing = [&dir]() {
        std::map<std::string, std::pair<long long, long long>> files;
        if (DIR* d = opendir(dir.c_str())) {
            while (dirent* e = readdir(d)) {
                struct stat st;
                const std::string path = dir + "/" + e->d_name;
                if (stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode))
                    files[e->d_name] = {static_cast<long long>(st.st_size),
                                        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL +
                                            st.st_mtim.tv_nsec};
            }
            closedir(d);
        }
        return files;
    };
    const auto before = listing();
    std::vector<char> path(dir.begin(), dir.end());
    path.push_back(0);
    const int status = SaveXmlToLocal(session.index(), path.data());
    if (status != 0) {
        report_status("saving the device description into " + dir, status);
        return kExitCamera;
    }
    bool named = false;
    for (const auto& f : listing()) {
        auto it = before.find(f.first);
        if (it == before.end() || it->second != f.second) {
            std::printf("%s/%s\n", dir.c_str(), f.first.c_str());
            named = true;
        }
    }
    if (!named)
        std::printf("saved the device description into %s\n", dir.c_str());
    return kExitOk;
}

}  // namespace vora_tool
