// The camera's features by name, as the library evaluates them
// (vora_qelcamera_api.h, "features by name"), for `vora features`, `get`,
// `set`, `execute` and the viewer's controls: a feature's description, its
// value as the tool prints and parses it, and the index the command line
// gives (NAME[IDX]: the feature's first selector set to IDX).
#ifndef VORA_TOOL_NAMED_FEATURES_H
#define VORA_TOOL_NAMED_FEATURES_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "json.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

// A feature as DescribeFeature tells it, with its entries and selectors.
struct Feature {
    VoraFeatureInfo info{};
    std::vector<std::pair<std::string, long long>> entries;  // enumeration: symbolic name, value
    std::vector<std::string> selectors;

    const char* name() const { return info.name; }
    // integer, float, enumeration, boolean, command, string, register
    std::string type() const;
    // NI, NA, WO, RO, RW
    std::string access() const;
    bool readable() const;
    bool writable() const;
    // "Off, On"
    std::string entry_names() const;
    // "1..100", "16..1280 in steps of 8", "0.5..2.5"; empty without bounds.
    std::string range() const;
};

// A value of any type, as read or about to be written.
struct FeatureValue {
    int type = 0;                // VoraFeatureType
    long long integer = 0;       // integer, enumeration (its value), boolean (0/1)
    double number = 0;           // float
    std::string text;            // string, enumeration (its symbolic name)
    std::vector<uint8_t> bytes;  // register
    int representation = VORA_REPRESENTATION_NONE;

    // As `vora get` prints it and `vora set` takes it back.
    std::string to_text() const;
    // Numbers as numbers, booleans as booleans, the rest as strings.
    void to_json(JsonWriter& j) const;
};

// The library's message after a failed feature call (GetFeatureError), or
// the status's text when it gives none.
std::string feature_error(int status);

// "101 is out of range 1..100": why a value parsed for a feature lies
// outside the bounds it declares now, or empty.
std::string outside_bounds(const Feature& f, const FeatureValue& v);

class NamedFeatures {
public:
    explicit NamedFeatures(int camera) : cam_(camera) {}
    int camera() const { return cam_; }
    // Why the last call that failed did: the library's message, or the
    // tool's where the failure is its own.
    const std::string& message() const { return message_; }

    // Feature names in description order (of one category when not empty).
    int names(const std::string& category, std::vector<std::string>* out) const;
    int describe(const std::string& name, Feature* f) const;
    // NAME[IDX]: sets the feature's first selector to idx (by value for an
    // enumeration). VORA_ERR_INVALID_ARG when the feature has no selector.
    int select(const Feature& f, long long idx) const;

    int read(const Feature& f, FeatureValue* v) const;
    int write(const Feature& f, const FeatureValue& v) const;
    // Runs a command and waits, up to about two seconds, until the camera
    // says it is done. *state: kDone, kRunning (not done in that time) or
    // kUntold (the camera cannot say).
    enum CommandState { kDone, kRunning, kUntold };
    int execute(const std::string& name, CommandState* state) const;

    // Parses text for the feature: empty when it parsed, otherwise why not
    // (a word for a number, an entry it lacks, ...).
    static std::string parse(const Feature& f, const std::string& text, FeatureValue* v);

    // The sensor a stream channel shows (its CmosIndex).
    int channel_sensor(long long channel, long long* sensor) const;
    // The region of a stream channel: Width, Height, OffsetX, OffsetY of
    // the sensor behind it (the channel's CmosIndex).
    int region(long long channel, long long out[4]) const;
    // Changes one of them (by name) through the library's SetRoi, which
    // checks the region as a whole.
    int set_region(long long channel, const std::string& name, long long value) const;

private:
    // status; for a failure, keeps the library's message.
    int outcome(int status) const;
    int fail(int status, const std::string& why) const;

    int cam_;
    mutable std::string message_;
};

}  // namespace vora_tool

#endif
