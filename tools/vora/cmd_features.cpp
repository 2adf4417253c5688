// vora features, get, set and save-xml: the camera's features by name
// (feature_access.h), from the command line.
#include <arpa/inet.h>
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
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

const char* const kFeaturesHelp = "usage: vora features [-c CAMERA] [--json]\n"
                                  "Connects to a camera (-c: index of `vora list`, serial number, IP or MAC\n"
                                  "address; default 0) and prints every feature its device description\n"
                                  "declares, a line each: name, type (integer, float, enumeration, boolean,\n"
                                  "command, string, register), access (RO, RW, WO), current value, minimum,\n"
                                  "maximum, increment and enumeration entries (NAME=VALUE). Per-sensor and\n"
                                  "per-channel features show sensor or channel 0; `vora get NAME[IDX]` reads the\n"
                                  "others. A value that cannot be read shows as \"error\", a bound the\n"
                                  "description does not declare as \"-\".\n"
                                  "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
                                  "             until the camera answers\n"
                                  "  --json   one JSON document instead: {\"features\": [{name, type, access,\n"
                                  "           value, min, max, inc, unit, entries: [{name, value}]}]}, with null\n"
                                  "           where the text shows \"-\" or \"error\"\n"
                                  "Exit codes: 0 ok, 1 camera error, 2 usage error, 3 no camera matches.\n";

const char* const kGetHelp = "usage: vora get [-c CAMERA] [--json] NAME[IDX]...\n"
                             "Reads features of a camera (-c: index of `vora list`, serial number, IP or\n"
                             "MAC address; default 0) and prints NAME=VALUE lines, which `vora set` takes\n"
                             "back; with --json one JSON document {\"NAME[IDX]\": VALUE, ...} (numbers as\n"
                             "numbers, texts as strings, null for a feature that could not be read). IDX\n"
                             "picks the sensor of per-sensor features (ExposureTime, ExposureAuto,\n"
                             "ExposureCompensationLevel, InternelParameter, ExternelParameter) and the\n"
                             "stream channel of per-channel ones (Width, Height, OffsetX, OffsetY,\n"
                             "PixelFormat, CmosIndex, PayloadSize, GevSCPSPacketSize, GevSCDA,\n"
                             "GevSCPHostPort); it defaults to 0.\n"
                             "Features with a control function are read through it; others as the 32-bit\n"
                             "register the device description names, text features as text. A command\n"
                             "(run it with `vora set NAME=1`) or a write-only feature has no value to read.\n"
                             "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
                             "             until the camera answers\n"
                             "Example: vora get -c 0 ExposureTime[1] Laserbrightness DeviceSerialNumber\n"
                             "Exit codes: 0 ok, 1 a read failed or the feature does not exist, 2 usage\n"
                             "error (also a command or a write-only feature named), 3 no camera matches;\n"
                             "the other features are still read.\n";

const char* const kSetHelp = "usage: vora set [-c CAMERA] NAME[IDX]=VALUE...\n"
                             "Writes features of a camera (-c as for `vora get`). Every assignment is\n"
                             "checked against the camera's device description before any is written:\n"
                             "the feature exists and is writable, IDX names one of its sensors or\n"
                             "channels, the value suits it (within the declared bounds, or one of the\n"
                             "entries of an enumeration); one that does not is reported, with the range\n"
                             "or the entries, and then nothing is written. The features are then written\n"
                             "in the order given, and each is read back and printed as NAME=VALUE, as the\n"
                             "camera holds it now (a command prints \"done\", a write-only feature\n"
                             "\"written\"); a write the camera refuses stops the rest, which are named.\n"
                             "VALUE is a whole number (0x... for hexadecimal), an enumeration's entry by\n"
                             "name (TriggerMode=On, PixelFormat[1]=Mono8), on/off, or an IPv4 address for\n"
                             "GevSCDA. IDX as for `vora get`.\n"
                             "Typed controls check ranges: ExposureTime, ExposureAuto,\n"
                             "ExposureCompensationLevel, ExposureType, analoggain, analoggain_rgb,\n"
                             "digitalgain, digitalgain_rgb, TriggerMode, TriggerSource, TriggerSoftware,\n"
                             "RGBTriggerMode, RGBTriggerSoftware, AcquisitionStart, AcquisitionStop,\n"
                             "StrobeLEDswitch, Laserbrightness, StrobeLEDbrightress, GevHeartbeatTimeout,\n"
                             "GevIEEE1588, GevTimestampControlLatch and the region (Width, Height, OffsetX,\n"
                             "OffsetY of a channel); any other feature is written as its register.\n"
                             "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
                             "             until the camera answers\n"
                             "Example: vora set -c 0 ExposureTime[0]=5000 Laserbrightness=80\n"
                             "Exit codes: 0 ok, 1 the camera refused, a value is out of range or not an\n"
                             "entry, or the feature does not exist or is read-only, 2 usage error (also a\n"
                             "value of the wrong kind, such as a word for a number, or an index the camera\n"
                             "lacks), 3 no camera matches.\n";

const char* const kSaveXmlHelp =
    "usage: vora save-xml [-c CAMERA] DIR\n"
    "Saves the device description of a camera (-c as for `vora get`) into DIR (created if\n"
    "missing), as the camera serves it (.xml or .zip), and prints the file name.\n"
    "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
    "             until the camera answers\n"
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

// Of two exit codes, the one to leave with: a bad command line first.
int worse(int a, int b)
{
    return a == kExitUsage || b == kExitUsage ? kExitUsage : a != kExitOk ? a : b;
}

bool whole_number(const std::string& text, long long* value)
{
    char* end = nullptr;
    *value = std::strtoll(text.c_str(), &end, 0);
    return !text.empty() && !std::isspace(static_cast<unsigned char>(text[0])) && *end == '\0';
}

// A name as device descriptions spell their entries (and on/off, pixel formats).
bool a_name(const std::string& text)
{
    if (text.empty() || std::isdigit(static_cast<unsigned char>(text[0])))
        return false;
    return std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isalnum(c) || c == '_'; });
}

bool ipv4(const std::string& text, unsigned* address)
{
    in_addr a;
    if (inet_pton(AF_INET, text.c_str(), &a) != 1)
        return false;
    *address = ntohl(a.s_addr);
    return true;
}

// A value must be a whole number, a name or an IPv4 address; which of them
// suits the feature only the camera's description tells.
void check_value_form(const FeatureRef& ref, const std::string& text)
{
    long long number = 0;
    unsigned address = 0;
    if (whole_number(text, &number)) {
        to_integer(text, "the value of " + ref.label(), -2147483648LL, 4294967295LL);  // throws out of range
        return;
    }
    if (a_name(text) || ipv4(text, &address))
        return;
    throw UsageError("the value of " + ref.label() + " must be a whole number or a name, not \"" + text + "\"");
}

struct Assignment {
    FeatureRef ref;
    std::string text;  // the value as given
    long long value = 0;
    const FeatureInfo* info = nullptr;  // null without a description
    int refusal = kExitOk;              // when it cannot be written
};

// How many sensors and stream channels the camera has; 0 when it does not say.
struct Limits {
    int sensors = 0;
    int channels = 0;
};

Limits camera_limits(const CameraSession& session)
{
    Limits l;
    int n = 0;
    if (session.read_feature("TotalNumberOfCmos", 0, &n) == 0 && n > 0)
        l.sensors = n;
    if (ReadRegister(session.index(), Number_of_Stream_Channels_Reg, &n) == 0 && n > 0)
        l.channels = n;
    return l;
}

// Resolves a->value from a->text: why the assignment cannot be written
// (with a->refusal set), or empty.
std::string check(const CameraSession& session, bool described, const Limits& limits, Assignment* a)
{
    const FeatureRef& ref = a->ref;
    const FeatureInfo* info = a->info;
    a->refusal = kExitCamera;
    if (described ? !info : GetRegisterAddr(session.index(), ref.name.c_str()) < 0)
        return "no such feature on this camera (see `vora features`)";
    if (info && info->access == "RO")
        return "read-only";
    const Indexed by = indexed_by(ref.name);
    const int count = by == Indexed::Sensor ? limits.sensors : by == Indexed::Channel ? limits.channels : 0;
    if (count > 0 && ref.idx >= count) {
        a->refusal = kExitUsage;
        return "the camera has " + std::to_string(count) + (by == Indexed::Sensor ? " sensors" : " stream channels") +
               ", 0.." + std::to_string(count - 1);
    }

    long long number = 0;
    unsigned address = 0;
    const bool numeric = whole_number(a->text, &number);
    if (info && info->type == "enumeration" && !info->entries.empty()) {
        // By its entry's name, or by the entry's value.
        if (!numeric && !info->entry_value(a->text, &a->value))
            return a->text + " is not one of its entries: " + info->entry_names();
        if (numeric)
            a->value = number;
    } else if (numeric) {
        a->value = number;
    } else if (a->text == "on" || a->text == "On" || a->text == "true") {
        a->value = 1;
    } else if (a->text == "off" || a->text == "Off" || a->text == "false") {
        a->value = 0;
    } else if (ref.name == "PixelFormat" && pixel_format_code(a->text)) {
        a->value = pixel_format_code(a->text);  // a camera whose description could not be read
    } else if (ref.name == "GevSCDA" && ipv4(a->text, &address)) {
        a->value = address;
    } else {
        a->refusal = kExitUsage;
        return "\"" + a->text + "\" is not a whole number" + (info && info->type == "boolean" ? " nor on/off" : "");
    }
    // The description's bounds hold for index 0 (its entries for every
    // index); the library checks the other indexes itself as they are written.
    if (info && (!ref.idx_given || info->type == "enumeration")) {
        const std::string why = out_of_range(*info, bounds_of(session.index(), ref.name, *info), a->value);
        if (!why.empty())
            return why;
    }
    a->refusal = kExitOk;
    return "";
}

// "not written: B, C" for the assignments from `first` on.
void report_unwritten(const std::vector<Assignment>& assignments, size_t first)
{
    std::string names;
    for (size_t i = first; i < assignments.size(); ++i)
        names += (names.empty() ? "" : ", ") + assignments[i].ref.label();
    if (!names.empty())
        report("not written: " + names);
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
    // The description tells commands and write-only features, which have no
    // value to read; without it every name is simply read.
    Description description;
    std::string error;
    const bool described = description.load(session.index(), &error);
    Features features(session, described ? &description : nullptr);
    const bool json = args.has("--json");
    JsonWriter j;
    j.begin_object();
    int result = kExitOk;
    for (const FeatureRef& ref : refs) {
        if (interrupted())
            return interrupted_exit_code();
        const FeatureInfo* info = described ? description.find(ref.name) : nullptr;
        std::string unreadable;
        if (info && info->type == "command")
            unreadable =
                ref.name + " is a command, which has no value to read (run it with `vora set " + ref.name + "=1`)";
        else if (info && info->access == "WO")
            unreadable = ref.name + " is write-only: the camera does not let it be read";
        std::string text;
        const int status = unreadable.empty() ? features.get(ref, &text) : VORA_OK;
        if (!unreadable.empty() || status != 0) {
            if (!unreadable.empty()) {
                report(unreadable);
                result = worse(result, kExitUsage);
            } else {
                explain(ref, status);
                result = worse(result, kExitCamera);
            }
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
    // What can be told without the camera is told before it is asked.
    std::vector<Assignment> assignments;
    for (const std::string& text : args.positional()) {
        const size_t eq = text.find('=');
        if (eq == std::string::npos)
            throw UsageError("set takes NAME=VALUE, not " + text);
        Assignment a;
        a.ref = parse_ref(text.substr(0, eq));
        if (is_text(a.ref.name) || is_calibration(a.ref.name))
            throw UsageError(a.ref.name + " cannot be written with vora set");
        a.text = text.substr(eq + 1);
        check_value_form(a.ref, a.text);
        assignments.push_back(a);
    }
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    Description description;
    std::string error;
    const bool described = description.load(session.index(), &error);
    if (!described)
        report("warning: " + error + "; values are not checked against the description");
    const Features features(session, described ? &description : nullptr);

    // Every assignment is checked before any is written: a command line
    // with a mistake in it changes nothing on the camera.
    const Limits limits = camera_limits(session);
    int refused = kExitOk;
    for (Assignment& a : assignments) {
        a.info = described ? description.find(a.ref.name) : nullptr;
        const std::string why = check(session, described, limits, &a);
        if (!why.empty()) {
            report(a.ref.label() + ": " + why);
            refused = worse(refused, a.refusal);
        }
    }
    if (refused != kExitOk) {
        report("nothing written");
        return refused;
    }

    int result = kExitOk;
    for (size_t i = 0; i < assignments.size(); ++i) {
        const Assignment& a = assignments[i];
        if (interrupted()) {
            report_unwritten(assignments, i);
            return interrupted_exit_code();
        }
        const int status = features.set(a.ref, a.value);
        if (status != 0) {
            explain(a.ref, status);
            // The description's bounds were not checked for other indexes.
            const std::string range =
                a.info ? out_of_range(*a.info, bounds_of(session.index(), a.ref.name, *a.info), a.value) : "";
            if (!range.empty())
                report(a.ref.label() + ": " + range);
            report_unwritten(assignments, i + 1);
            return kExitCamera;
        }
        // What the camera holds now, which need not be what was asked for.
        if (a.info ? a.info->type == "command" : !Features::readable(a.ref.name)) {
            std::printf("%s: %s\n", a.ref.label().c_str(), a.info ? "done (a command)" : "written");
            continue;
        }
        if (a.info && a.info->access == "WO") {
            std::printf("%s: written (write-only: it cannot be read back)\n", a.ref.label().c_str());
            continue;
        }
        std::string now;
        const int read = features.get(a.ref, &now);
        if (read != 0) {
            report_status(a.ref.label() + " was written but reading it back failed", read);
            result = kExitCamera;
            continue;
        }
        std::printf("%s=%s\n", a.ref.label().c_str(), now.c_str());
    }
    return result;
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
                                        static_cast<long long>(st.st_mtim.tv_sec) * 1000000000LL + st.st_mtim.tv_nsec};
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
