// vora features, get, set, execute and save-xml: the camera's features by
// name, as the library evaluates them (named_features.h), from the command
// line.
#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "json.h"
#include "named_features.h"
#include "options.h"
#include "session.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

bool camera_gone(int status)
{
    return status == VORA_ERR_NOT_CONNECTED || status == VORA_ERR_CAMERA_LOST || status == VORA_ERR_READREG_TIMEOUT ||
           status == VORA_ERR_READMEM_TIMEOUT;
}

const OptionDef kCategoryOption{"--category", 0, true};

const char* const kFeaturesHelp = "usage: vora features [-c CAMERA] [--category NAME] [--json]\n"
                                  "Connects to a camera (-c: index of `vora list`, serial number, IP or MAC\n"
                                  "address; default 0) and prints every feature its device description\n"
                                  "declares (or those of one category), a line each: name, type (integer,\n"
                                  "float, enumeration, boolean, command, string, register), access as of now\n"
                                  "(RO, RW, WO; NA not available now, NI not implemented), current value with\n"
                                  "its unit, minimum, maximum, increment and enumeration entries (NAME=VALUE).\n"
                                  "A feature with a selector shows its value for the selector's present\n"
                                  "setting; `vora get NAME[IDX]` reads the others. A value that cannot be read\n"
                                  "shows as \"error\", a bound the feature does not have as \"-\".\n"
                                  "  --category NAME  only the features of that category (and its sub-categories)\n"
                                  "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
                                  "             until the camera answers\n"
                                  "  --json   one JSON document instead: {\"features\": [{name, type, access,\n"
                                  "           value, min, max, inc, unit, entries: [{name, value}], selectors,\n"
                                  "           display_name}]}, with null where the text shows \"-\" or \"error\"\n"
                                  "Exit codes: 0 ok (also when some values cannot be read: they show as\n"
                                  "\"error\", with why on stderr), 1 camera error (the camera stopped answering),\n"
                                  "2 usage error (also an unknown category), 3 no camera matches.\n";

const char* const kGetHelp = "usage: vora get [-c CAMERA] [--json] NAME[IDX]...\n"
                             "Reads features of a camera (-c: index of `vora list`, serial number, IP or\n"
                             "MAC address; default 0) and prints NAME=VALUE lines, which `vora set` takes\n"
                             "back; with --json one JSON document {\"NAME[IDX]\": VALUE, ...} (numbers and\n"
                             "booleans as such, the rest as strings, null for a feature that could not be\n"
                             "read). Enumerations show their entry's name, booleans true or false,\n"
                             "registers their bytes in hexadecimal.\n"
                             "IDX sets the feature's selector (the first, when it has several: see\n"
                             "`vora features --json`) to IDX before reading, e.g. ExposureTime[1] for\n"
                             "sensor 1. The region (Width, Height, OffsetX, OffsetY) takes the stream\n"
                             "channel, whose sensor's region it reads; the calibration (InternelParameter,\n"
                             "ExternelParameter) takes the sensor and prints its numbers.\n"
                             "A command (run it with `vora execute NAME`) or a write-only feature has no\n"
                             "value to read.\n"
                             "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
                             "             until the camera answers\n"
                             "Example: vora get -c 0 ExposureTime[1] Laserbrightness DeviceSerialNumber\n"
                             "Exit codes: 0 ok, 1 a read failed or the feature does not exist, 2 usage\n"
                             "error (also a command or a write-only feature named, or an index for a\n"
                             "feature without a selector), 3 no camera matches; the other features are\n"
                             "still read.\n";

const char* const kSetHelp = "usage: vora set [-c CAMERA] NAME[IDX]=VALUE...\n"
                             "Writes features of a camera (-c as for `vora get`). Every assignment is\n"
                             "checked against the camera's device description before any is written:\n"
                             "the feature exists and is writable, IDX is a value of its selector, the\n"
                             "value suits its type and lies within its bounds (or is one of an\n"
                             "enumeration's entries); one that does not is reported, with the range or\n"
                             "the entries, and then nothing is written. The features are then written in\n"
                             "the order given through the library, which checks them again and keeps its\n"
                             "own state (a new heartbeat timeout, say), and each is read back and printed\n"
                             "as NAME=VALUE, as the camera holds it now (a write-only feature prints\n"
                             "\"written\"); a write the camera or library refuses stops the rest, which\n"
                             "are named.\n"
                             "VALUE: a whole number (0x... for hexadecimal) or, for an address, a.b.c.d;\n"
                             "a number with a fraction for a float; an enumeration's entry by name or by\n"
                             "value (TriggerMode=On, PixelFormat[1]=Mono8); true/false, on/off or 1/0\n"
                             "for a boolean; text for a string; hexadecimal bytes for a register. A\n"
                             "command is run by NAME=1, as by `vora execute NAME`.\n"
                             "IDX as for `vora get`; the region of a channel is written with the\n"
                             "library's SetRoi.\n"
                             "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
                             "             until the camera answers\n"
                             "Example: vora set -c 0 ExposureTime[0]=5000 Laserbrightness=80\n"
                             "Exit codes: 0 ok, 1 the camera refused, a value is out of range or not an\n"
                             "entry, or the feature does not exist or is read-only, 2 usage error (also a\n"
                             "value of the wrong kind, such as a word for a number, or an index the\n"
                             "feature's selector lacks), 3 no camera matches.\n";

const char* const kExecuteHelp = "usage: vora execute [-c CAMERA] NAME...\n"
                                 "Runs commands of a camera (-c as for `vora get`) in the order given, each\n"
                                 "once the one before is done (or after two seconds, for a command that\n"
                                 "cannot tell), and prints \"NAME: done\" for each. Every name is checked to\n"
                                 "be a command the camera lets run before any is run.\n"
                                 "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
                                 "             until the camera answers\n"
                                 "Example: vora execute GevTimestampControlLatch\n"
                                 "Exit codes: 0 ok, 1 the camera refused or the feature does not exist, 2\n"
                                 "usage error (also a feature that is not a command), 3 no camera matches.\n";

const char* const kSaveXmlHelp =
    "usage: vora save-xml [-c CAMERA] DIR\n"
    "Saves the device description of a camera (-c as for `vora get`) into DIR (created if\n"
    "missing), as the camera serves it (.xml or .zip), and prints the file name.\n"
    "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
    "             until the camera answers\n"
    "Exit codes: 0 ok, 1 camera error or DIR not writable, 2 usage error, 3 no\n"
    "camera matches.\n";

struct FeatureRef {
    std::string name;
    long long idx = 0;
    bool idx_given = false;
    std::string label() const { return idx_given ? name + "[" + std::to_string(idx) + "]" : name; }
};

// The region of a channel, which the README promises by channel (the
// library's SetRoi), and the calibration, which the library gives as numbers.
bool is_region(const std::string& name)
{
    return name == "Width" || name == "Height" || name == "OffsetX" || name == "OffsetY";
}

bool is_calibration(const std::string& name)
{
    return name == "InternelParameter" || name == "ExternelParameter";
}

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
        ref.idx = to_integer(text.substr(open + 1, text.size() - open - 2), "the index of " + ref.name, 0, 2147483647);
        ref.idx_given = true;
    }
    if (ref.name.empty())
        throw UsageError("missing feature name in " + text);
    if (ref.idx_given && is_region(ref.name) && ref.idx > 2)
        throw UsageError(ref.name + ": stream channels are 0..2");
    return ref;
}

// Of two exit codes, the one to leave with: a bad command line first.
int worse(int a, int b)
{
    return a == kExitUsage || b == kExitUsage ? kExitUsage : a != kExitOk ? a : b;
}

// Describes the feature a reference names and checks its index against the
// feature's selector: an exit code, and the reason in *why.
int resolve(const NamedFeatures& nf, const FeatureRef& ref, Feature* f, std::string* why)
{
    const int status = nf.describe(ref.name, f);
    if (status == VORA_ERR_NO_NODE) {
        *why = "no such feature on this camera (see `vora features`)";
        return kExitCamera;
    }
    if (status != 0) {
        *why = nf.message();
        return kExitCamera;
    }
    if (!ref.idx_given || is_region(ref.name) || is_calibration(ref.name))
        return kExitOk;
    if (f->selectors.empty()) {
        *why = ref.name + " has no selector, so no index";
        return kExitUsage;
    }
    Feature selector;
    if (nf.describe(f->selectors.front(), &selector) == 0) {
        FeatureValue v;
        std::string bad = NamedFeatures::parse(selector, std::to_string(ref.idx), &v);
        if (bad.empty())
            bad = outside_bounds(selector, v);
        if (!bad.empty()) {
            *why = f->selectors.front() + ": " + bad;
            return kExitUsage;
        }
    }
    return kExitOk;
}

// Reads what a reference names: a status, the message in nf.message().
int read_ref(const NamedFeatures& nf, const FeatureRef& ref, const Feature& f, FeatureValue* v)
{
    if (is_calibration(ref.name)) {
        float a[9] = {}, b[9] = {};
        const bool intrinsic = ref.name == "InternelParameter";
        const int sensor = static_cast<int>(ref.idx);
        const int status = intrinsic ? GetCamInternelParameter(nf.camera(), sensor, a, b)
                                     : GetCamExternelParameter(nf.camera(), sensor, a, b);
        if (status != 0) {
            *v = FeatureValue();
            return status;
        }
        const int na = intrinsic ? 5 : 9, nb = intrinsic ? 9 : 3;
        v->type = VORA_FEATURE_STRING;
        v->text.clear();
        for (int i = 0; i < na + nb; ++i) {
            char number[32];
            std::snprintf(number, sizeof number, "%s%g", i ? "," : "", static_cast<double>(i < na ? a[i] : b[i - na]));
            v->text += number;
        }
        return VORA_OK;
    }
    if (is_region(ref.name)) {
        long long region[4];
        const int status = nf.region(ref.idx, region);
        if (status != 0)
            return status;
        *v = FeatureValue();
        v->type = VORA_FEATURE_INTEGER;
        v->integer = region[ref.name == "Width" ? 0 : ref.name == "Height" ? 1 : ref.name == "OffsetX" ? 2 : 3];
        return VORA_OK;
    }
    if (ref.idx_given) {
        const int status = nf.select(f, ref.idx);
        if (status != 0)
            return status;
    }
    return nf.read(f, v);
}

std::string failure(const NamedFeatures& nf, const FeatureRef& ref, int status)
{
    if (is_calibration(ref.name))
        return status_text(status);
    return nf.message().empty() ? status_text(status) : nf.message();
}

int write_ref(const NamedFeatures& nf, const FeatureRef& ref, const Feature& f, const FeatureValue& v)
{
    if (is_region(ref.name))
        return nf.set_region(ref.idx, ref.name, v.integer);
    if (ref.idx_given) {
        const int status = nf.select(f, ref.idx);
        if (status != 0)
            return status;
    }
    return nf.write(f, v);
}

int execute_ref(const NamedFeatures& nf, const FeatureRef& ref, const Feature& f, NamedFeatures::CommandState* state)
{
    if (ref.idx_given) {
        const int status = nf.select(f, ref.idx);
        if (status != 0)
            return status;
    }
    return nf.execute(ref.name, state);
}

const char* command_outcome(NamedFeatures::CommandState state)
{
    return state == NamedFeatures::kDone      ? "done"
           : state == NamedFeatures::kRunning ? "run, not done after 2 s"
                                              : "run (the camera does not tell when it is done)";
}

std::string entries_text(const Feature& f)
{
    std::string entries;
    for (const auto& e : f.entries)
        entries += (entries.empty() ? "" : ",") + e.first + "=" + std::to_string(e.second);
    return entries;
}

std::string number_text(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

struct Assignment {
    FeatureRef ref;
    std::string text;  // the value as given
    Feature feature;
    FeatureValue value;
};

// Resolves a->value from a->text: an exit code, the reason in *why.
int check(const NamedFeatures& nf, Assignment* a, std::string* why)
{
    const int code = resolve(nf, a->ref, &a->feature, why);
    if (code != kExitOk)
        return code;
    const Feature& f = a->feature;
    if (is_calibration(a->ref.name)) {
        *why = "the calibration cannot be written";
        return kExitCamera;
    }
    if (f.info.access == VORA_ACCESS_RO) {
        *why = "read-only";
        return kExitCamera;
    }
    if (!f.writable()) {
        *why = "not writable now (access " + f.access() + ")";
        return kExitCamera;
    }
    if (f.info.type == VORA_FEATURE_COMMAND) {
        const std::string word = a->text;
        if (word == "0" || word == "off" || word == "false") {
            *why = "a command is run with " + a->ref.label() + "=1 or `vora execute " + a->ref.name + "`";
            return kExitUsage;
        }
    }
    const std::string bad = NamedFeatures::parse(f, a->text, &a->value);
    if (!bad.empty()) {
        *why = bad;
        // A value of the wrong kind is a mistake of the command line; an
        // entry the enumeration lacks is the camera's answer.
        return f.info.type == VORA_FEATURE_ENUMERATION ? kExitCamera : kExitUsage;
    }
    // The bounds described now hold for the selector's present setting: an
    // indexed value is checked by the library as it is written.
    if (!a->ref.idx_given) {
        const std::string outside = outside_bounds(f, a->value);
        if (!outside.empty()) {
            *why = outside;
            return kExitCamera;
        }
    }
    return kExitOk;
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

}  // namespace

int cmd_features(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption, kJsonOption, kCategoryOption});
    if (args.help()) {
        std::fputs(kFeaturesHelp, stdout);
        return kExitOk;
    }
    if (!args.positional().empty())
        throw UsageError("features takes no arguments besides -c CAMERA, --category NAME and --json");
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    const NamedFeatures nf(session.index());
    std::vector<std::string> names;
    const std::string category = args.value("--category");
    const int listed = nf.names(category, &names);
    if (listed == VORA_ERR_NO_NODE && !category.empty()) {
        report("no category " + category + " on this camera");
        return kExitUsage;
    }
    if (listed != 0) {
        report("listing the features: " + nf.message());
        return kExitCamera;
    }
    if (names.empty() && category.empty()) {
        report("the device description declares no features");
        return kExitCamera;
    }
    const bool json = args.has("--json");
    JsonWriter j;
    j.begin_object().key("features").begin_array();
    std::vector<std::vector<std::string>> rows{{"NAME", "TYPE", "ACCESS", "VALUE", "MIN", "MAX", "INC", "ENTRIES"}};
    int result = kExitOk;
    for (const std::string& name : names) {
        if (interrupted())
            return interrupted_exit_code();
        Feature f;
        int status = nf.describe(name, &f);
        if (status != 0) {
            // A node the description cannot evaluate is listed, with why.
            report(name + ": " + nf.message());
            result = kExitCamera;
            std::snprintf(f.info.name, sizeof f.info.name, "%s", name.c_str());
            f.info.type = -1;
        }
        FeatureValue value;
        const bool shown = status == 0 && f.readable() && f.info.type != VORA_FEATURE_REGISTER;
        if (shown) {
            status = nf.read(f, &value);
            if (status != 0) {
                report("reading " + name + ": " + nf.message());
                // A feature the camera refuses to read is shown as such; the
                // listing fails only when the camera stops answering.
                if (camera_gone(status))
                    result = kExitCamera;
            }
        }
        const bool integer = f.info.type == VORA_FEATURE_INTEGER, real = f.info.type == VORA_FEATURE_FLOAT;
        const bool bounded = f.info.has_range && (integer || real);
        if (!json) {
            std::string text = !shown ? "-" : status != 0 ? "error" : value.to_text();
            if (shown && status == 0 && f.info.type == VORA_FEATURE_ENUMERATION)
                text += " (" + std::to_string(value.integer) + ")";
            if (shown && status == 0 && f.info.unit[0])
                text += std::string(" ") + f.info.unit;
            const std::string min = !bounded  ? "-"
                                    : integer ? std::to_string(f.info.int_min)
                                              : number_text(f.info.float_min);
            const std::string max = !bounded  ? "-"
                                    : integer ? std::to_string(f.info.int_max)
                                              : number_text(f.info.float_max);
            const std::string inc = integer && bounded       ? std::to_string(f.info.int_inc)
                                    : real && f.info.has_inc ? number_text(f.info.float_inc)
                                                             : "-";
            rows.push_back({name, f.type(), f.info.type < 0 ? "?" : f.access(), text, min, max, inc, entries_text(f)});
            continue;
        }
        j.begin_object().field("name", name).field("type", f.type()).key("access");
        f.info.type < 0 ? j.null() : j.value(f.access());
        j.key("value");
        if (shown && status == 0)
            value.to_json(j);
        else
            j.null();
        j.key("min");
        !bounded ? j.null() : integer ? j.value(f.info.int_min) : j.value(f.info.float_min);
        j.key("max");
        !bounded ? j.null() : integer ? j.value(f.info.int_max) : j.value(f.info.float_max);
        j.key("inc");
        integer&& bounded ? j.value(f.info.int_inc) : real&& f.info.has_inc ? j.value(f.info.float_inc) : j.null();
        j.key("unit");
        f.info.unit[0] ? j.value(f.info.unit) : j.null();
        j.key("entries").begin_array();
        for (const auto& e : f.entries)
            j.begin_object().field("name", e.first).field("value", e.second).end_object();
        j.end_array().key("selectors").begin_array();
        for (const std::string& s : f.selectors)
            j.value(s);
        j.end_array().key("display_name");
        f.info.display_name[0] ? j.value(f.info.display_name) : j.null();
        j.end_object();
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
    const NamedFeatures nf(session.index());
    const bool json = args.has("--json");
    JsonWriter j;
    j.begin_object();
    int result = kExitOk;
    for (const FeatureRef& ref : refs) {
        if (interrupted())
            return interrupted_exit_code();
        Feature f;
        std::string why;
        int exit = resolve(nf, ref, &f, &why);
        if (exit == kExitOk && f.info.type == VORA_FEATURE_COMMAND) {
            why = ref.name + " is a command, which has no value to read (run it with `vora execute " + ref.name + "`)";
            exit = kExitUsage;
        } else if (exit == kExitOk && f.info.access == VORA_ACCESS_WO) {
            why = ref.name + " is write-only: the camera does not let it be read";
            exit = kExitUsage;
        }
        FeatureValue value;
        if (exit == kExitOk) {
            const int status = read_ref(nf, ref, f, &value);
            if (status != 0) {
                why = failure(nf, ref, status);
                exit = kExitCamera;
            }
        }
        if (exit != kExitOk) {
            report(why.compare(0, ref.name.size(), ref.name) == 0 ? why : ref.label() + ": " + why);
            result = worse(result, exit);
            if (json)
                j.key(ref.label()).null();
            continue;
        }
        if (json) {
            j.key(ref.label());
            value.to_json(j);
        } else {
            std::printf("%s=%s\n", ref.label().c_str(), value.to_text().c_str());
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
            throw UsageError("set takes NAME=VALUE, not " + text + " (a command runs with `vora execute NAME`)");
        Assignment a;
        a.ref = parse_ref(text.substr(0, eq));
        a.text = text.substr(eq + 1);
        if (a.text.empty())
            throw UsageError(a.ref.label() + " is given no value");
        assignments.push_back(a);
    }
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    const NamedFeatures nf(session.index());

    // Every assignment is checked before any is written: a command line
    // with a mistake in it changes nothing on the camera.
    int refused = kExitOk;
    for (Assignment& a : assignments) {
        std::string why;
        const int exit = check(nf, &a, &why);
        if (exit != kExitOk) {
            report(a.ref.label() + ": " + why);
            refused = worse(refused, exit);
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
        NamedFeatures::CommandState state = NamedFeatures::kDone;
        const int status = a.feature.info.type == VORA_FEATURE_COMMAND ? execute_ref(nf, a.ref, a.feature, &state)
                                                                       : write_ref(nf, a.ref, a.feature, a.value);
        if (status != 0) {
            report(a.ref.label() + ": " + failure(nf, a.ref, status));
            report_unwritten(assignments, i + 1);
            return kExitCamera;
        }
        if (a.feature.info.type == VORA_FEATURE_COMMAND) {
            std::printf("%s: %s (a command)\n", a.ref.label().c_str(), command_outcome(state));
            continue;
        }
        if (!a.feature.readable()) {
            std::printf("%s: written (write-only: it cannot be read back)\n", a.ref.label().c_str());
            continue;
        }
        // What the camera holds now, which need not be what was asked for.
        FeatureValue now;
        const int read = read_ref(nf, a.ref, a.feature, &now);
        if (read != 0) {
            report(a.ref.label() + " was written but reading it back failed: " + failure(nf, a.ref, read));
            result = kExitCamera;
            continue;
        }
        std::printf("%s=%s\n", a.ref.label().c_str(), now.to_text().c_str());
    }
    return result;
}

int cmd_execute(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption});
    if (args.help()) {
        std::fputs(kExecuteHelp, stdout);
        return kExitOk;
    }
    if (args.positional().empty())
        throw UsageError("execute needs at least one command's name");
    std::vector<FeatureRef> refs;
    for (const std::string& text : args.positional())
        refs.push_back(parse_ref(text));
    CameraSession session;
    const int code = session.connect(camera_option(args));
    if (code != kExitOk)
        return code;
    const NamedFeatures nf(session.index());
    std::vector<Feature> features(refs.size());
    int refused = kExitOk;
    for (size_t i = 0; i < refs.size(); ++i) {
        std::string why;
        int exit = resolve(nf, refs[i], &features[i], &why);
        if (exit == kExitOk && features[i].info.type != VORA_FEATURE_COMMAND) {
            why = "not a command but " + features[i].type() + " (see `vora set`)";
            exit = kExitUsage;
        } else if (exit == kExitOk && !features[i].writable()) {
            why = "cannot be run now (access " + features[i].access() + ")";
            exit = kExitCamera;
        }
        if (exit != kExitOk) {
            report(refs[i].label() + ": " + why);
            refused = worse(refused, exit);
        }
    }
    if (refused != kExitOk) {
        report("nothing run");
        return refused;
    }
    for (size_t i = 0; i < refs.size(); ++i) {
        if (interrupted())
            return interrupted_exit_code();
        NamedFeatures::CommandState state;
        if (execute_ref(nf, refs[i], features[i], &state) != 0) {
            report(refs[i].label() + ": " + nf.message());
            return kExitCamera;
        }
        std::printf("%s: %s\n", refs[i].label().c_str(), command_outcome(state));
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
