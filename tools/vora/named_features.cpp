// Features by name over the library's exported calls.
#include "named_features.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "common.h"

namespace vora_tool {

namespace {

// Names the library hands out in fixed-size slots: asks how many there are,
// then fetches them all.
template <typename Call>
int fetch_names(Call call, std::vector<std::string>* out)
{
    int count = 0;
    int status = call(nullptr, 0, &count);
    if (status != 0)
        return status;
    std::vector<char> slots;
    for (int tries = 0; tries < 3; ++tries) {
        const int capacity = count;
        slots.assign(static_cast<size_t>(capacity > 0 ? capacity : 1) * VORA_FEATURE_NAME_SIZE, 0);
        status = call(slots.data(), capacity, &count);
        if (status != 0)
            return status;
        if (count <= capacity)
            break;  // the list grew meanwhile otherwise: ask again
    }
    out->clear();
    for (int i = 0; i < count && static_cast<size_t>(i + 1) * VORA_FEATURE_NAME_SIZE <= slots.size(); ++i)
        out->push_back(field_text(&slots[static_cast<size_t>(i) * VORA_FEATURE_NAME_SIZE], VORA_FEATURE_NAME_SIZE));
    return VORA_OK;
}

// 15 significant digits: every decimal of that many survives the trip
// through a double, so 42.5 computed by a converter shows as 42.5.
std::string float_text(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.15g", v);
    return text;
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool whole_number(const std::string& text, long long* value)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    errno = 0;
    char* end = nullptr;
    *value = std::strtoll(text.c_str(), &end, 0);
    return *end == '\0' && errno == 0;
}

bool real_number(const std::string& text, double* value)
{
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0])))
        return false;
    char* end = nullptr;
    *value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(*value);
}

std::string mac_of(long long v)
{
    char text[24];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", static_cast<unsigned>((v >> 40) & 0xFF),
                  static_cast<unsigned>((v >> 32) & 0xFF), static_cast<unsigned>((v >> 24) & 0xFF),
                  static_cast<unsigned>((v >> 16) & 0xFF), static_cast<unsigned>((v >> 8) & 0xFF),
                  static_cast<unsigned>(v & 0xFF));
    return text;
}

bool parse_mac(const std::string& text, long long* v)
{
    unsigned b[6];
    char tail = 0;
    if (std::sscanf(text.c_str(), "%2x%*[:-]%2x%*[:-]%2x%*[:-]%2x%*[:-]%2x%*[:-]%2x%c", &b[0], &b[1], &b[2], &b[3],
                    &b[4], &b[5], &tail) != 6)
        return false;
    *v = 0;
    for (unsigned byte : b)
        *v = (*v << 8) | byte;
    return true;
}

}  // namespace

std::string Feature::type() const
{
    switch (info.type) {
    case VORA_FEATURE_INTEGER:
        return "integer";
    case VORA_FEATURE_BOOLEAN:
        return "boolean";
    case VORA_FEATURE_COMMAND:
        return "command";
    case VORA_FEATURE_FLOAT:
        return "float";
    case VORA_FEATURE_STRING:
        return "string";
    case VORA_FEATURE_REGISTER:
        return "register";
    case VORA_FEATURE_CATEGORY:
        return "category";
    case VORA_FEATURE_ENUMERATION:
        return "enumeration";
    default:
        return "?";
    }
}

std::string Feature::access() const
{
    static const char* const names[] = {"NI", "NA", "WO", "RO", "RW"};
    return info.access >= 0 && info.access <= 4 ? names[info.access] : "?";
}

bool Feature::readable() const
{
    return info.type != VORA_FEATURE_COMMAND && (info.access == VORA_ACCESS_RO || info.access == VORA_ACCESS_RW);
}

bool Feature::writable() const
{
    return info.access == VORA_ACCESS_WO || info.access == VORA_ACCESS_RW;
}

std::string Feature::entry_names() const
{
    std::string list;
    for (const auto& e : entries)
        list += (list.empty() ? "" : ", ") + e.first;
    return list;
}

std::string Feature::range() const
{
    if (!info.has_range)
        return "";
    if (info.type == VORA_FEATURE_FLOAT)
        return float_text(info.float_min) + ".." + float_text(info.float_max) +
               (info.has_inc && info.float_inc > 0 ? " in steps of " + float_text(info.float_inc) : "");
    if (info.type != VORA_FEATURE_INTEGER)
        return "";
    return std::to_string(info.int_min) + ".." + std::to_string(info.int_max) +
           (info.int_inc > 1 ? " in steps of " + std::to_string(info.int_inc) : "");
}

std::string FeatureValue::to_text() const
{
    switch (type) {
    case VORA_FEATURE_FLOAT:
        return float_text(number);
    case VORA_FEATURE_BOOLEAN:
        return integer ? "true" : "false";
    case VORA_FEATURE_STRING:
    case VORA_FEATURE_ENUMERATION:
        return text;
    case VORA_FEATURE_REGISTER: {
        std::string hex;
        char byte[4];
        for (uint8_t b : bytes) {
            std::snprintf(byte, sizeof byte, "%02x", b);
            hex += byte;
        }
        return hex;
    }
    default:
        if (representation == VORA_REPRESENTATION_IPV4_ADDRESS && integer >= 0 && integer <= 0xFFFFFFFFLL)
            return ip_text(static_cast<unsigned>(integer));
        if (representation == VORA_REPRESENTATION_MAC_ADDRESS)
            return mac_of(integer);
        if (representation == VORA_REPRESENTATION_HEX_NUMBER) {
            char hex[24];
            std::snprintf(hex, sizeof hex, "0x%llX", static_cast<unsigned long long>(integer));
            return hex;
        }
        return std::to_string(integer);
    }
}

void FeatureValue::to_json(JsonWriter& j) const
{
    switch (type) {
    case VORA_FEATURE_FLOAT:
        j.value(number);
        return;
    case VORA_FEATURE_BOOLEAN:
        j.value(integer != 0);
        return;
    case VORA_FEATURE_INTEGER:
        if (representation == VORA_REPRESENTATION_IPV4_ADDRESS || representation == VORA_REPRESENTATION_MAC_ADDRESS)
            j.value(to_text());
        else
            j.value(integer);
        return;
    default:
        j.value(to_text());
    }
}

std::string feature_error(int status)
{
    char text[1024] = {};
    GetFeatureError(text, sizeof text);
    return text[0] ? std::string(text) : status_text(status);
}

std::string outside_bounds(const Feature& f, const FeatureValue& v)
{
    const VoraFeatureInfo& i = f.info;
    if (!i.has_range)
        return "";
    if (i.type == VORA_FEATURE_INTEGER) {
        if (v.integer < i.int_min || v.integer > i.int_max || (i.int_inc > 1 && (v.integer - i.int_min) % i.int_inc))
            return v.to_text() + " is out of range " + f.range();
    } else if (i.type == VORA_FEATURE_FLOAT) {
        if (v.number < i.float_min || v.number > i.float_max)
            return v.to_text() + " is out of range " + f.range();
    }
    return "";
}

int NamedFeatures::outcome(int status) const
{
    if (status != 0)
        message_ = feature_error(status);
    return status;
}

int NamedFeatures::fail(int status, const std::string& why) const
{
    message_ = why;
    return status;
}

int NamedFeatures::names(const std::string& category, std::vector<std::string>* out) const
{
    return outcome(
        fetch_names([&](char* slots, int capacity,
                        int* count) { return GetFeatureNames(cam_, category.c_str(), slots, capacity, count); },
                    out));
}

int NamedFeatures::describe(const std::string& name, Feature* f) const
{
    *f = Feature();
    int status = DescribeFeature(cam_, name.c_str(), &f->info);
    if (status != 0)
        return outcome(status);
    if (f->info.selector_count > 0) {
        status = fetch_names(
            [&](char* slots, int capacity, int* count) {
                return outcome(GetFeatureSelectors(cam_, name.c_str(), slots, capacity, count));
            },
            &f->selectors);
        if (status != 0)
            return outcome(status);
    }
    if (f->info.type != VORA_FEATURE_ENUMERATION)
        return VORA_OK;
    int count = 0;
    status = GetFeatureEntries(cam_, name.c_str(), nullptr, nullptr, 0, &count);
    if (status != 0 || count <= 0)
        return outcome(status);
    std::vector<char> symbolics(static_cast<size_t>(count) * VORA_FEATURE_NAME_SIZE, 0);
    std::vector<long long> values(static_cast<size_t>(count), 0);
    int got = 0;
    status = GetFeatureEntries(cam_, name.c_str(), symbolics.data(), values.data(), count, &got);
    if (status != 0)
        return outcome(status);
    for (int k = 0; k < got && k < count; ++k)
        f->entries.emplace_back(
            field_text(&symbolics[static_cast<size_t>(k) * VORA_FEATURE_NAME_SIZE], VORA_FEATURE_NAME_SIZE),
            values[static_cast<size_t>(k)]);
    return VORA_OK;
}

int NamedFeatures::select(const Feature& f, long long idx) const
{
    if (f.selectors.empty())
        return fail(VORA_ERR_INVALID_ARG, std::string(f.name()) + " has no selector, so no index");
    const std::string& selector = f.selectors.front();
    VoraFeatureInfo info{};
    int status = DescribeFeature(cam_, selector.c_str(), &info);
    if (status != 0)
        return outcome(status);
    return outcome(info.type == VORA_FEATURE_ENUMERATION ? SetFeatureEnumValue(cam_, selector.c_str(), idx)
                                                         : SetFeatureInteger(cam_, selector.c_str(), idx));
}

int NamedFeatures::read(const Feature& f, FeatureValue* v) const
{
    *v = FeatureValue();
    v->type = f.info.type;
    v->representation = f.info.representation;
    const char* name = f.info.name;
    switch (f.info.type) {
    case VORA_FEATURE_INTEGER:
        return outcome(GetFeatureInteger(cam_, name, &v->integer));
    case VORA_FEATURE_FLOAT:
        return outcome(GetFeatureFloat(cam_, name, &v->number));
    case VORA_FEATURE_BOOLEAN: {
        int flag = 0;
        const int status = GetFeatureBoolean(cam_, name, &flag);
        v->integer = flag != 0;
        return outcome(status);
    }
    case VORA_FEATURE_ENUMERATION: {
        char symbolic[VORA_FEATURE_NAME_SIZE] = {};
        const int status = GetFeatureEnum(cam_, name, symbolic, sizeof symbolic, &v->integer);
        v->text = symbolic;
        return outcome(status);
    }
    case VORA_FEATURE_STRING: {
        const long long length = f.info.length > 0 && f.info.length < (1 << 20) ? f.info.length : 4096;
        std::vector<char> text(static_cast<size_t>(length) + 1, 0);
        const int status = GetFeatureString(cam_, name, text.data(), static_cast<int>(text.size()));
        v->text = text.data();
        return outcome(status);
    }
    case VORA_FEATURE_REGISTER: {
        if (f.info.length <= 0 || f.info.length > (1 << 20))
            return fail(VORA_ERR_DESCRIPTION,
                        std::string(name) + ": a register of " + std::to_string(f.info.length) + " bytes");
        v->bytes.assign(static_cast<size_t>(f.info.length), 0);
        int length = 0;
        const int status = GetFeatureBytes(cam_, name, v->bytes.data(), static_cast<int>(v->bytes.size()), &length);
        if (status == 0 && length >= 0 && static_cast<size_t>(length) < v->bytes.size())
            v->bytes.resize(static_cast<size_t>(length));
        return outcome(status);
    }
    default:
        return fail(VORA_ERR_FEATURE_NOT_READABLE, std::string(name) + " has no value to read");
    }
}

int NamedFeatures::write(const Feature& f, const FeatureValue& v) const
{
    const char* name = f.info.name;
    switch (f.info.type) {
    case VORA_FEATURE_INTEGER:
        return outcome(SetFeatureInteger(cam_, name, v.integer));
    case VORA_FEATURE_FLOAT:
        return outcome(SetFeatureFloat(cam_, name, v.number));
    case VORA_FEATURE_BOOLEAN:
        return outcome(SetFeatureBoolean(cam_, name, v.integer != 0));
    case VORA_FEATURE_ENUMERATION:
        return outcome(v.text.empty() ? SetFeatureEnumValue(cam_, name, v.integer)
                                      : SetFeatureEnum(cam_, name, v.text.c_str()));
    case VORA_FEATURE_STRING:
        return outcome(SetFeatureString(cam_, name, v.text.c_str()));
    case VORA_FEATURE_REGISTER:
        return outcome(SetFeatureBytes(cam_, name, v.bytes.data(), static_cast<int>(v.bytes.size())));
    case VORA_FEATURE_COMMAND: {
        CommandState state;
        return execute(name, &state);
    }
    default:
        return fail(VORA_ERR_FEATURE_NOT_WRITABLE, std::string(name) + " cannot be written");
    }
}

int NamedFeatures::execute(const std::string& name, CommandState* state) const
{
    *state = kUntold;
    const int status = ExecuteFeatureCommand(cam_, name.c_str());
    if (status != 0)
        return outcome(status);
    // A command the camera carries out at once reports done on the first
    // question; one whose register cannot be read back cannot say, which is
    // no failure of the command.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        int flag = 0;
        if (IsFeatureCommandDone(cam_, name.c_str(), &flag) != 0)
            return VORA_OK;
        if (flag) {
            *state = kDone;
            return VORA_OK;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            *state = kRunning;
            return VORA_OK;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int NamedFeatures::channel_sensor(long long channel, long long* sensor) const
{
    Feature f;
    FeatureValue v;
    int status = describe("CmosIndex", &f);
    if (status != 0)
        return status;
    if (!f.selectors.empty()) {
        status = select(f, channel);
        if (status != 0)
            return status;
    } else if (channel != 0) {
        return fail(VORA_ERR_INVALID_ARG, "the description gives CmosIndex no selector: the sensor of channel " +
                                              std::to_string(channel) + " cannot be told");
    }
    status = read(f, &v);
    *sensor = v.integer;
    return status;
}

int NamedFeatures::region(long long channel, long long out[4]) const
{
    long long sensor = 0;
    int status = channel_sensor(channel, &sensor);
    if (status != 0)
        return status;
    Feature f;
    FeatureValue v;
    status = describe("CmosIndex", &f);
    const std::string by_channel = status == 0 && !f.selectors.empty() ? f.selectors.front() : "";
    const char* const names[4] = {"Width", "Height", "OffsetX", "OffsetY"};
    for (int k = 0; k < 4; ++k) {
        status = describe(names[k], &f);
        if (status != 0)
            return status;
        if (!f.selectors.empty()) {
            // Per sensor, as a camera keeps its regions; per channel where
            // the description selects them so.
            status = select(f, f.selectors.front() == by_channel ? channel : sensor);
            if (status != 0)
                return status;
        } else if (sensor != 0) {
            return fail(VORA_ERR_INVALID_ARG, std::string("the description gives ") + names[k] +
                                                  " no selector: the region of sensor " + std::to_string(sensor) +
                                                  " cannot be read");
        }
        status = read(f, &v);
        if (status != 0)
            return status;
        out[k] = v.integer;
    }
    return VORA_OK;
}

int NamedFeatures::set_region(long long channel, const std::string& name, long long value) const
{
    long long r[4];
    int status = region(channel, r);
    if (status != 0)
        return status;
    const char* const names[4] = {"Width", "Height", "OffsetX", "OffsetY"};
    for (int k = 0; k < 4; ++k)
        if (name == names[k])
            r[k] = value;
    for (long long v : r)
        if (v < 0 || v > 0x7FFFFFFF)
            return fail(VORA_ERR_ROI, name + ": " + std::to_string(value) + " does not fit a region");
    status = SetRoi(cam_, static_cast<int>(channel), static_cast<int>(r[0]), static_cast<int>(r[1]),
                    static_cast<int>(r[2]), static_cast<int>(r[3]));
    return status != 0 ? fail(status, status_text(status)) : VORA_OK;
}

std::string NamedFeatures::parse(const Feature& f, const std::string& text, FeatureValue* v)
{
    *v = FeatureValue();
    v->type = f.info.type;
    v->representation = f.info.representation;
    switch (f.info.type) {
    case VORA_FEATURE_INTEGER: {
        if (whole_number(text, &v->integer))
            return "";
        in_addr a;
        if (f.info.representation == VORA_REPRESENTATION_IPV4_ADDRESS && inet_pton(AF_INET, text.c_str(), &a) == 1) {
            v->integer = ntohl(a.s_addr);
            return "";
        }
        if (f.info.representation == VORA_REPRESENTATION_MAC_ADDRESS && parse_mac(text, &v->integer))
            return "";
        return "\"" + text + "\" is not a whole number";
    }
    case VORA_FEATURE_FLOAT:
        return real_number(text, &v->number) ? "" : "\"" + text + "\" is not a number";
    case VORA_FEATURE_BOOLEAN: {
        const std::string word = lower(text);
        if (word == "1" || word == "on" || word == "true")
            v->integer = 1;
        else if (word == "0" || word == "off" || word == "false")
            v->integer = 0;
        else
            return "\"" + text + "\" is neither true nor false (1/0, on/off)";
        return "";
    }
    case VORA_FEATURE_ENUMERATION: {
        // Its entry's symbolic name, that name in other case when only one
        // entry has it, or an entry's value.
        for (const auto& e : f.entries)
            if (e.first == text) {
                v->text = e.first;
                v->integer = e.second;
                return "";
            }
        int matches = 0;
        for (const auto& e : f.entries)
            if (lower(e.first) == lower(text)) {
                v->text = e.first;
                v->integer = e.second;
                ++matches;
            }
        if (matches == 1)
            return "";
        long long number = 0;
        if (whole_number(text, &number))
            for (const auto& e : f.entries)
                if (e.second == number) {
                    v->text = e.first;
                    v->integer = e.second;
                    return "";
                }
        return text + " is not one of its entries: " + f.entry_names();
    }
    case VORA_FEATURE_STRING:
        if (f.info.length > 0 && static_cast<long long>(text.size()) > f.info.length)
            return "\"" + text + "\" is longer than its " + std::to_string(f.info.length) + " bytes";
        v->text = text;
        return "";
    case VORA_FEATURE_REGISTER: {
        std::string hex = text.compare(0, 2, "0x") == 0 ? text.substr(2) : text;
        if (hex.size() % 2 || hex.empty())
            return "a register's value is its bytes in hexadecimal, two digits each";
        for (size_t k = 0; k < hex.size(); k += 2) {
            if (!std::isxdigit(static_cast<unsigned char>(hex[k])) ||
                !std::isxdigit(static_cast<unsigned char>(hex[k + 1])))
                return "a register's value is its bytes in hexadecimal, two digits each";
            v->bytes.push_back(static_cast<uint8_t>(std::strtoul(hex.substr(k, 2).c_str(), nullptr, 16)));
        }
        if (f.info.length > 0 && static_cast<long long>(v->bytes.size()) != f.info.length)
            return "the register holds " + std::to_string(f.info.length) + " bytes, not " +
                   std::to_string(v->bytes.size());
        return "";
    }
    case VORA_FEATURE_COMMAND:
        return "";
    default:
        return "cannot be written";
    }
}

}  // namespace vora_tool
