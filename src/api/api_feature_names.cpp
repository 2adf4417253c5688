// Exported features by name: each call finds its camera's evaluator, keeps
// it alive for the call, and leaves the failure's message for
// GetFeatureError.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "api/api_table.h"
#include "camera/vora_gige_camera.h"
#include "genicam/genicam_evaluator.h"
#include "vora_qelcamera_api.h"

namespace {

thread_local std::string t_error;

int fail(int status, const std::string& message)
{
    t_error = message;
    return status;
}

void copy_text(const std::string& text, char* out, size_t size)
{
    if (!out || size == 0)
        return;
    const size_t n = std::min(text.size(), size - 1);
    std::memcpy(out, text.data(), n);
    out[n] = 0;
}

// Runs f on the camera's evaluator. The evaluator lives at least as long as
// the call, even when another thread disconnects meanwhile.
template <class F>
int with_evaluator(int index, F f) noexcept
{
    try {
        t_error.clear();
        GigeCamera* camera = camera_at(index);
        if (!camera)
            return fail(VORA_ERR_CAMERA_MISSING, "no camera " + std::to_string(index));
        std::shared_ptr<genicam::Evaluator> evaluator = camera->feature_evaluator();
        if (!evaluator || !camera->is_connected()) {
            if (camera->given_up)
                return fail(VORA_ERR_CAMERA_LOST, "camera " + std::to_string(index) + " was lost");
            return fail(VORA_ERR_NOT_CONNECTED, "camera " + std::to_string(index) + " is not connected");
        }
        const int status = f(*evaluator);
        if (status != VORA_OK) {
            std::string message = genicam::Evaluator::last_error();
            if (message.empty())
                message = VoraStatusText(status);
            t_error = message;
        }
        return status;
    } catch (const std::bad_alloc&) {
        t_error.clear();
        return VORA_ERR_FAILED;
    } catch (...) {
        t_error.clear();
        return VORA_ERR_FAILED;
    }
}

template <class F>
int with_feature(int index, const char* name, F f) noexcept
{
    if (!name || !*name) {
        t_error = "no feature name given";
        return VORA_ERR_INVALID_ARG;
    }
    return with_evaluator(index, [&](genicam::Evaluator& e) { return f(e, std::string(name)); });
}

// Up to capacity names into VORA_FEATURE_NAME_SIZE-byte slots; all counted.
int copy_names(const std::vector<std::string>& names, char* out, int capacity, int* count)
{
    if (count)
        *count = static_cast<int>(names.size());
    if (capacity < 0 || (capacity > 0 && !out))
        return fail(VORA_ERR_INVALID_ARG, "no buffer for the names");
    const size_t n = std::min(names.size(), static_cast<size_t>(capacity));
    for (size_t i = 0; i < n; ++i)
        copy_text(names[i], out + i * VORA_FEATURE_NAME_SIZE, VORA_FEATURE_NAME_SIZE);
    return VORA_OK;
}

}  // namespace

extern "C" {

int GetFeatureNames(int index, const char* category, char* names, int capacity, int* count)
{
    return with_evaluator(index, [&](genicam::Evaluator& e) -> int {
        std::vector<std::string> list;
        const int status = e.names(category ? category : "", &list);
        return status != VORA_OK ? status : copy_names(list, names, capacity, count);
    });
}

int GetFeatureCategories(int index, char* names, int capacity, int* count)
{
    return with_evaluator(index, [&](genicam::Evaluator& e) -> int {
        std::vector<std::string> list;
        const int status = e.categories(&list);
        return status != VORA_OK ? status : copy_names(list, names, capacity, count);
    });
}

int DescribeFeature(int index, const char* name, VoraFeatureInfo* info)
{
    if (!info)
        return fail(VORA_ERR_INVALID_ARG, "no place for the description");
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        genicam::FeatureInfo f;
        const int status = e.describe(n, &f);
        if (status != VORA_OK)
            return status;
        std::memset(info, 0, sizeof *info);
        copy_text(f.name, info->name, sizeof info->name);
        copy_text(f.display_name, info->display_name, sizeof info->display_name);
        copy_text(f.tooltip, info->tooltip, sizeof info->tooltip);
        copy_text(f.unit, info->unit, sizeof info->unit);
        info->type = static_cast<int>(f.kind);
        info->access = static_cast<int>(f.access);
        info->visibility = static_cast<int>(f.visibility);
        info->representation = static_cast<int>(f.representation);
        info->has_range = f.has_range;
        info->has_inc = f.has_inc;
        info->int_min = f.int_min;
        info->int_max = f.int_max;
        info->int_inc = f.int_inc;
        info->float_min = f.float_min;
        info->float_max = f.float_max;
        info->float_inc = f.float_inc;
        info->length = f.length;
        int available = 0;
        for (const genicam::EntryInfo& entry : f.entries)
            available += entry.available;
        info->entry_count = available;
        info->selector_count = static_cast<int>(f.selectors.size());
        return VORA_OK;
    });
}

int GetFeatureEntries(int index, const char* name, char* symbolics, long long* values, int capacity, int* count)
{
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        genicam::FeatureInfo f;
        int status = e.describe(n, &f);
        if (status != VORA_OK)
            return status;
        if (f.kind != genicam::Kind::Enumeration)
            return fail(VORA_ERR_FEATURE_TYPE, n + " is not an enumeration");
        std::vector<std::string> names;
        std::vector<long long> numbers;
        for (const genicam::EntryInfo& entry : f.entries)
            if (entry.available) {
                names.push_back(entry.name);
                numbers.push_back(entry.value);
            }
        status = copy_names(names, symbolics, symbolics ? capacity : 0, count);
        if (status == VORA_OK && values && capacity > 0)
            for (size_t i = 0; i < std::min(numbers.size(), static_cast<size_t>(capacity)); ++i)
                values[i] = numbers[i];
        return status;
    });
}

int GetFeatureSelectors(int index, const char* name, char* names, int capacity, int* count)
{
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        genicam::FeatureInfo f;
        const int status = e.describe(n, &f);
        return status != VORA_OK ? status : copy_names(f.selectors, names, capacity, count);
    });
}

int GetFeatureInteger(int index, const char* name, long long* value)
{
    if (!value)
        return fail(VORA_ERR_INVALID_ARG, "no place for the value");
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        int64_t v = 0;
        const int status = e.get_int(n, &v);
        if (status == VORA_OK)
            *value = v;
        return status;
    });
}

int SetFeatureInteger(int index, const char* name, long long value)
{
    GigeCamera* camera = camera_at(index);
    const int status =
        with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) { return e.set_int(n, value); });
    if (status == VORA_OK && camera)
        camera->feature_written(name, value);
    return status;
}

int GetFeatureFloat(int index, const char* name, double* value)
{
    if (!value)
        return fail(VORA_ERR_INVALID_ARG, "no place for the value");
    return with_feature(index, name,
                        [&](genicam::Evaluator& e, const std::string& n) { return e.get_float(n, value); });
}

int SetFeatureFloat(int index, const char* name, double value)
{
    return with_feature(index, name,
                        [&](genicam::Evaluator& e, const std::string& n) { return e.set_float(n, value); });
}

int GetFeatureBoolean(int index, const char* name, int* value)
{
    if (!value)
        return fail(VORA_ERR_INVALID_ARG, "no place for the value");
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        bool v = false;
        const int status = e.get_bool(n, &v);
        if (status == VORA_OK)
            *value = v ? 1 : 0;
        return status;
    });
}

int SetFeatureBoolean(int index, const char* name, int value)
{
    return with_feature(index, name,
                        [&](genicam::Evaluator& e, const std::string& n) { return e.set_bool(n, value != 0); });
}

int GetFeatureEnum(int index, const char* name, char* symbolic, int size, long long* value)
{
    if (symbolic && size <= 0)
        return fail(VORA_ERR_INVALID_ARG, "no room for the entry's name");
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        std::string entry;
        int64_t v = 0;
        const int status = e.get_enum(n, &entry, &v);
        if (status != VORA_OK)
            return status;
        copy_text(entry, symbolic, symbolic ? static_cast<size_t>(size) : 0);
        if (value)
            *value = v;
        return VORA_OK;
    });
}

int SetFeatureEnum(int index, const char* name, const char* symbolic)
{
    if (!symbolic)
        return fail(VORA_ERR_INVALID_ARG, "no entry name given");
    return with_feature(index, name,
                        [&](genicam::Evaluator& e, const std::string& n) { return e.set_enum(n, symbolic); });
}

int SetFeatureEnumValue(int index, const char* name, long long value)
{
    return with_feature(index, name,
                        [&](genicam::Evaluator& e, const std::string& n) { return e.set_enum_value(n, value); });
}

int GetFeatureString(int index, const char* name, char* text, int size)
{
    if (!text || size <= 0)
        return fail(VORA_ERR_INVALID_ARG, "no room for the text");
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        std::string value;
        const int status = e.get_string(n, &value);
        if (status != VORA_OK)
            return status;
        if (value.size() >= static_cast<size_t>(size))
            return fail(VORA_ERR_INVALID_ARG, n + " holds " + std::to_string(value.size()) +
                                                  " characters; the buffer has room for " + std::to_string(size - 1));
        copy_text(value, text, static_cast<size_t>(size));
        return VORA_OK;
    });
}

int SetFeatureString(int index, const char* name, const char* text)
{
    if (!text)
        return fail(VORA_ERR_INVALID_ARG, "no text given");
    return with_feature(index, name,
                        [&](genicam::Evaluator& e, const std::string& n) { return e.set_string(n, text); });
}

int GetFeatureBytes(int index, const char* name, unsigned char* bytes, int size, int* length)
{
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        std::vector<uint8_t> value;
        const int status = e.get_bytes(n, &value);
        if (status != VORA_OK)
            return status;
        if (length)
            *length = static_cast<int>(value.size());
        if (!bytes || size < 0 || value.size() > static_cast<size_t>(size))
            return fail(VORA_ERR_INVALID_ARG, n + " holds " + std::to_string(value.size()) + " bytes; the buffer " +
                                                  (bytes ? "has " + std::to_string(size) : std::string("is missing")));
        if (!value.empty())
            std::memcpy(bytes, value.data(), value.size());
        return VORA_OK;
    });
}

int SetFeatureBytes(int index, const char* name, const unsigned char* bytes, int length)
{
    if (length < 0 || (length > 0 && !bytes))
        return fail(VORA_ERR_INVALID_ARG, "no bytes given");
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        return e.set_bytes(n, std::vector<uint8_t>(bytes, bytes + length));
    });
}

int ExecuteFeatureCommand(int index, const char* name)
{
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) { return e.execute(n); });
}

int IsFeatureCommandDone(int index, const char* name, int* done)
{
    if (!done)
        return fail(VORA_ERR_INVALID_ARG, "no place for the answer");
    return with_feature(index, name, [&](genicam::Evaluator& e, const std::string& n) -> int {
        bool d = false;
        const int status = e.is_done(n, &d);
        if (status == VORA_OK)
            *done = d ? 1 : 0;
        return status;
    });
}

int GetFeatureError(char* text, int size)
{
    if (!text || size <= 0)
        return VORA_ERR_INVALID_ARG;
    copy_text(t_error, text, static_cast<size_t>(size));
    return VORA_OK;
}

}  // extern "C"
