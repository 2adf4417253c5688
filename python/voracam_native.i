/*
 * _voracam_native: the few calls the voracam package needs beyond
 * _VoraSDK. Built with SWIG's thread support, so the capture waits with the
 * interpreter lock released and other Python threads keep running.
 */
%module(threads="1") voracam_native

%{
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <vector>
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

// A PhotoInfo is its pixel pointer followed by a PhotoInfoCSharp's fields.
static_assert(sizeof(PhotoInfo) - offsetof(PhotoInfo, pixel_length) == sizeof(PhotoInfoCSharp), "frame records");
static_assert(offsetof(PhotoInfo, roi) - offsetof(PhotoInfo, pixel_length) == offsetof(PhotoInfoCSharp, roi),
              "frame records");
static_assert(offsetof(PhotoInfo, stream_channel_index_) - offsetof(PhotoInfo, pixel_length) ==
                  offsetof(PhotoInfoCSharp, stream_channel_index_),
              "frame records");
%}

%begin %{
#define SWIG_PYTHON_STRICT_BYTE_CHAR
%}

%include <stdint.i>
/* The records are _VoraSDK's types. */
%import(module="VoraSDK") "vora_base_type.h"

/* Frame bytes the library only reads: any object that offers its buffer
 * (bytes, or a lent frame), held for the call, so that a lent frame cannot
 * go back to its stream while the library reads it. */
%typemap(in) (const char* frame, size_t bytes) (Py_buffer view, bool held = false) {
    if (PyObject_GetBuffer($input, &view, PyBUF_SIMPLE) != 0)
        SWIG_fail;
    held = true;
    $1 = ($1_ltype)view.buf;
    $2 = (size_t)view.len;
}
%typemap(freearg) (const char* frame, size_t bytes) {
    if (held$argnum)
        PyBuffer_Release(&view$argnum);
}

/* A frame buffer: a bytes object made by frame_buffer and not yet shared. */
%typemap(in) (char* frame, size_t bytes) {
    if (!PyBytes_Check($input))
        SWIG_exception_fail(SWIG_TypeError, "in method '$symname', argument $argnum of type 'bytes'");
    $1 = PyBytes_AS_STRING($input);
    $2 = (size_t)PyBytes_GET_SIZE($input);
}

%thread capture_frame;
/* Waits without the lock itself: it builds the loan object afterwards. */
%nothread borrow_frame;
%nothread frame_points;
%thread stop_recording;
%thread save_frame;
/* These build Python objects: they keep the lock (and let it go themselves
 * around the library's work where it takes long). */
%nothread read_recording_frame;
%nothread recording_summary;
%nothread recording_topics;
%nothread recording_statistics;
%nothread recording_channel_statistics;
%nothread recording_channels;
%nothread frame_buffer;
%nothread discovered_camera;
%nothread cloud_in_metres;
%nothread cloud_depth_mm;
%nothread ros_camera_model;
%nothread ros_sensor_pose;
/* Features by name: they build Python objects and let the lock go around
 * the library's calls, which may wait on the camera. */
%nothread feature_names;
%nothread feature_categories;
%nothread feature_selectors;
%nothread feature_entries;
%nothread describe_feature;
%nothread feature_value;
%nothread feature_error;
%nothread next_frame_set;
%nothread send_action;
%nothread open_frame_set;

%inline %{
/* Copies the channel's next frame into `frame`, waiting up to timeout_us
 * microseconds (0: only a frame already there), and its record into info
 * (all zero without a frame). The caller sizes `frame` to the channel's
 * payload size: the library copies a whole frame, as for a C++ caller. */
int capture_frame(int index, unsigned short channel, PhotoInfoCSharp& info, char* frame, size_t bytes,
                  long long timeout_us)
{
    PhotoInfo captured;
    std::memset(&captured, 0, sizeof captured);
    captured.pixel = bytes ? frame : nullptr;
    const int status = timeout_us > 0 ? TimeoutCapture(index, channel, &captured, timeout_us)
                                      : TryCapture(index, channel, &captured);
    std::memcpy(&info, &captured.pixel_length, sizeof info);
    return status;
}

/* An uninitialised bytes object of `size` bytes for capture_frame to fill. */
PyObject* frame_buffer(unsigned int size)
{
    return PyBytes_FromStringAndSize(nullptr, size);
}

/* The record of the last discovery at index, copied into out; false when
 * there is none. */
bool discovered_camera(int index, DiscoveryInfo& out)
{
    if (index < 0 || static_cast<size_t>(index) >= discovery_info.size())
        return false;
    out = discovery_info[static_cast<size_t>(index)];
    return true;
}
%}

/* Recordings. */
%inline %{
/* The next frame of an open recording into `frame` (sized to the
 * recording's largest payload) and its record into info: (status, host time
 * of reception in ns). */
PyObject* read_recording_frame(int recording, PhotoInfoCSharp& info, char* frame, size_t bytes)
{
    PhotoInfo read;
    std::memset(&read, 0, sizeof read);
    read.pixel = bytes ? frame : nullptr;
    unsigned long long at = 0;
    const unsigned int capacity = bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : (unsigned int)bytes;
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = ReadRecordingFrame(recording, &read, capacity, &at);
    Py_END_ALLOW_THREADS
    std::memcpy(&info, &read.pixel_length, sizeof info);
    return Py_BuildValue("(iK)", status, at);
}

/* (status, frames, first and last host times in ns, largest payload). */
PyObject* recording_summary(int recording)
{
    unsigned long long frames = 0, start = 0, end = 0;
    unsigned int payload = 0;
    const int status = GetRecordingSummary(recording, &frames, &start, &end, &payload);
    return Py_BuildValue("(iKKKI)", status, frames, start, end, payload);
}

/* [(topic, message type, messages)] of an open recording. */
PyObject* recording_topics(int recording)
{
    PyObject* list = PyList_New(0);
    for (int i = 0; list; ++i) {
        char topic[256], type[256];
        unsigned long long n = 0;
        if (GetRecordingTopic(recording, i, topic, sizeof topic, type, sizeof type, &n) != 0)
            break;
        PyObject* item = Py_BuildValue("(ssK)", topic, type, n);
        if (!item || PyList_Append(list, item) != 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list;
}

/* (status, frames written, dropped, bytes) of a camera's recording. */
PyObject* recording_statistics(int index)
{
    unsigned long long frames = 0, dropped = 0, bytes = 0;
    const int status = GetRecordingStatistics(index, &frames, &dropped, &bytes);
    return Py_BuildValue("(iKKK)", status, frames, dropped, bytes);
}

/* (status, frames, dropped, gaps, missing block ids) of one channel of a
 * camera's recording. */
PyObject* recording_channel_statistics(int index, unsigned short channel)
{
    unsigned long long frames = 0, dropped = 0, gaps = 0, missing = 0;
    const int status = GetRecordingChannelStatistics(index, channel, &frames, &dropped, &gaps, &missing);
    return Py_BuildValue("(iKKKK)", status, frames, dropped, gaps, missing);
}

/* [(channel, frames, dropped, gaps, missing block ids)] of an open
 * recording; -1 where it does not say. */
PyObject* recording_channels(int recording)
{
    PyObject* list = PyList_New(0);
    for (int i = 0; list; ++i) {
        unsigned short channel = 0;
        unsigned long long frames = 0;
        long long dropped = -1, gaps = -1, missing = -1;
        if (GetRecordingChannel(recording, i, &channel, &frames, &dropped, &gaps, &missing) != 0)
            break;
        PyObject* item = Py_BuildValue("(HKLLL)", channel, frames, dropped, gaps, missing);
        if (!item || PyList_Append(list, item) != 0) {
            Py_XDECREF(item);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return list;
}

/* Finishes a camera's recording (writing what is queued) without the
 * interpreter lock. */
int stop_recording(int index)
{
    return StopRecording(index);
}

/* Saves a frame held in Python (`frame`: at least its payload) with the
 * library's writers, without a camera. */
int save_frame(PhotoInfoCSharp& info, const char* frame, size_t bytes, const char* format, const char* path)
{
    if (bytes < info.payload_size)
        return VORA_ERR_INVALID_ARG;
    PhotoInfo f;
    std::memset(&f, 0, sizeof f);
    std::memcpy(&f.pixel_length, &info, sizeof info);
    f.pixel = const_cast<char*>(frame);  // only read
    return SaveFrameToFile(&f, format, path);
}
%}

%inline %{
/* ROS conventions of a frame held in Python: a new bytes object of float32
 * x, y, z in metres (NaN without depth), or of uint16 depth in millimetres. */
static PyObject* ros_cloud(PhotoInfoCSharp& info, const char* frame, size_t bytes, size_t value_bytes, bool metres)
{
    const unsigned long long n = static_cast<unsigned long long>(info.pixel_width) * info.pixel_height;
    if (bytes < info.payload_size || n > info.payload_size / 6) {
        PyErr_SetString(PyExc_ValueError, "the frame holds fewer bytes than its points need");
        return nullptr;
    }
    PhotoInfo f;
    std::memset(&f, 0, sizeof f);
    std::memcpy(&f.pixel_length, &info, sizeof info);
    f.pixel = const_cast<char*>(frame);  // only read
    PyObject* out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n * value_bytes));
    if (!out)
        return nullptr;
    char* data = PyBytes_AS_STRING(out);
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = metres ? ConvertPointCloudToMetres(&f, reinterpret_cast<float*>(data), 3 * n)
                    : ConvertPointCloudToDepthImage(&f, reinterpret_cast<unsigned short*>(data), n);
    Py_END_ALLOW_THREADS
    if (status != VORA_OK) {
        Py_DECREF(out);
        PyErr_Format(PyExc_ValueError, "not a point cloud the library can convert (status %d)", status);
        return nullptr;
    }
    return out;
}

PyObject* cloud_in_metres(PhotoInfoCSharp& info, const char* frame, size_t bytes)
{
    return ros_cloud(info, frame, bytes, 12, true);
}

PyObject* cloud_depth_mm(PhotoInfoCSharp& info, const char* frame, size_t bytes)
{
    return ros_cloud(info, frame, bytes, 2, false);
}

/* A calibration given as its five arrays' values (distortion 5, matrix 9,
 * rotation 9, translation 3: 26 floats) as ROS's camera model: a tuple of
 * k (9), d (5), r (9), p (12). */
static bool calibration_of(PyObject* values, CameraParameter* c)
{
    PyObject* seq = PySequence_Fast(values, "calibration values must be a sequence");
    if (!seq)
        return false;
    bool ok = PySequence_Fast_GET_SIZE(seq) == 26;
    std::memset(c, 0, sizeof *c);
    float v[26] = {};
    for (Py_ssize_t i = 0; ok && i < 26; ++i) {
        v[i] = static_cast<float>(PyFloat_AsDouble(PySequence_Fast_GET_ITEM(seq, i)));
        ok = !PyErr_Occurred();
    }
    Py_DECREF(seq);
    if (!ok) {
        if (!PyErr_Occurred())
            PyErr_SetString(PyExc_ValueError, "a calibration has 26 values");
        return false;
    }
    std::memcpy(c->Kc, v, 5 * sizeof(float));
    std::memcpy(c->K, v + 5, 9 * sizeof(float));
    std::memcpy(c->R, v + 14, 9 * sizeof(float));
    std::memcpy(c->T, v + 23, 3 * sizeof(float));
    return true;
}

static PyObject* doubles(const double* v, int n)
{
    PyObject* t = PyTuple_New(n);
    for (int i = 0; t && i < n; ++i)
        PyTuple_SET_ITEM(t, i, PyFloat_FromDouble(v[i]));
    return t;
}

PyObject* ros_camera_model(PyObject* values, unsigned int offset_x, unsigned int offset_y)
{
    CameraParameter c;
    if (!calibration_of(values, &c))
        return nullptr;
    double k[9], d[5], r[9], p[12];
    GetRosCameraModel(&c, offset_x, offset_y, k, d, r, p);
    return Py_BuildValue("(NNNN)", doubles(k, 9), doubles(d, 5), doubles(r, 9), doubles(p, 12));
}

/* (translation (3, metres), rotation quaternion (x, y, z, w)), or None when
 * the rotation is not one. */
PyObject* ros_sensor_pose(PyObject* values)
{
    CameraParameter c;
    if (!calibration_of(values, &c))
        return nullptr;
    double t[3], q[4];
    if (GetRosSensorPose(&c, t, q) != VORA_OK)
        Py_RETURN_NONE;
    return Py_BuildValue("(NN)", doubles(t, 3), doubles(q, 4));
}

/* ---- features by name ----
 * Each answers (status, result); status is the library's, result None
 * after a failure (feature_error() then says why). Names are UTF-8. */

/* Names of up to VORA_FEATURE_NAME_SIZE - 1 bytes in consecutive slots. */
static PyObject* vora_name_list(const std::vector<char>& slots, int count)
{
    PyObject* list = PyList_New(0);
    for (int i = 0; list && i < count; ++i) {
        const char* slot = &slots[static_cast<size_t>(i) * VORA_FEATURE_NAME_SIZE];
        PyObject* name = PyUnicode_DecodeUTF8(slot, strnlen(slot, VORA_FEATURE_NAME_SIZE), "replace");
        if (!name || PyList_Append(list, name) != 0) {
            Py_XDECREF(name);
            Py_DECREF(list);
            return nullptr;
        }
        Py_DECREF(name);
    }
    return list;
}

/* Asks for the count, then for the names, again should the list have grown. */
template <typename Call>
static PyObject* vora_names(Call call)
{
    int count = 0, status = 0;
    std::vector<char> slots;
    Py_BEGIN_ALLOW_THREADS
    status = call(nullptr, 0, &count);
    for (int tries = 0; status == 0 && tries < 3; ++tries) {
        const int capacity = count;
        slots.assign(static_cast<size_t>(capacity > 0 ? capacity : 1) * VORA_FEATURE_NAME_SIZE, 0);
        status = call(slots.data(), capacity, &count);
        if (count <= capacity)
            break;
    }
    Py_END_ALLOW_THREADS
    if (status != 0)
        return Py_BuildValue("(iO)", status, Py_None);
    const int shown = count < 0 ? 0 : std::min<int>(count, static_cast<int>(slots.size() / VORA_FEATURE_NAME_SIZE));
    PyObject* list = vora_name_list(slots, shown);
    return list ? Py_BuildValue("(iN)", status, list) : nullptr;
}

PyObject* feature_names(int index, const char* category)
{
    return vora_names([&](char* slots, int capacity, int* count) {
        return GetFeatureNames(index, category, slots, capacity, count);
    });
}

PyObject* feature_categories(int index)
{
    return vora_names(
        [&](char* slots, int capacity, int* count) { return GetFeatureCategories(index, slots, capacity, count); });
}

PyObject* feature_selectors(int index, const char* name)
{
    return vora_names([&](char* slots, int capacity, int* count) {
        return GetFeatureSelectors(index, name, slots, capacity, count);
    });
}

/* [(symbolic name, value), ...] of the entries available now. */
PyObject* feature_entries(int index, const char* name)
{
    int count = 0, status = 0;
    std::vector<char> slots;
    std::vector<long long> values;
    Py_BEGIN_ALLOW_THREADS
    status = GetFeatureEntries(index, name, nullptr, nullptr, 0, &count);
    for (int tries = 0; status == 0 && tries < 3; ++tries) {
        const int capacity = count;
        slots.assign(static_cast<size_t>(capacity > 0 ? capacity : 1) * VORA_FEATURE_NAME_SIZE, 0);
        values.assign(static_cast<size_t>(capacity > 0 ? capacity : 1), 0);
        status = GetFeatureEntries(index, name, slots.data(), values.data(), capacity, &count);
        if (count <= capacity)
            break;
    }
    Py_END_ALLOW_THREADS
    if (status != 0)
        return Py_BuildValue("(iO)", status, Py_None);
    const int shown = count < 0 ? 0 : std::min<int>(count, static_cast<int>(values.size()));
    PyObject* names = vora_name_list(slots, shown);
    if (!names)
        return nullptr;
    PyObject* list = PyList_New(shown);
    for (int i = 0; list && i < shown; ++i)
        PyList_SET_ITEM(list, i, Py_BuildValue("(OL)", PyList_GET_ITEM(names, i), values[static_cast<size_t>(i)]));
    Py_DECREF(names);
    return list ? Py_BuildValue("(iN)", status, list) : nullptr;
}

static PyObject* vora_text(const char* text, size_t size)
{
    return PyUnicode_DecodeUTF8(text, strnlen(text, size), "replace");
}

/* A dict of DescribeFeature's record. */
PyObject* describe_feature(int index, const char* name)
{
    VoraFeatureInfo info;
    std::memset(&info, 0, sizeof info);
    int status = 0;
    Py_BEGIN_ALLOW_THREADS
    status = DescribeFeature(index, name, &info);
    Py_END_ALLOW_THREADS
    if (status != 0)
        return Py_BuildValue("(iO)", status, Py_None);
    PyObject* d = Py_BuildValue(
        "{sNsNsNsNsisisisisisisLsLsLsdsdsdsLsisi}", "name", vora_text(info.name, sizeof info.name), "display_name",
        vora_text(info.display_name, sizeof info.display_name), "tooltip", vora_text(info.tooltip, sizeof info.tooltip),
        "unit", vora_text(info.unit, sizeof info.unit), "type", info.type, "access", info.access, "visibility",
        info.visibility, "representation", info.representation, "has_range", info.has_range, "has_inc", info.has_inc,
        "int_min", info.int_min, "int_max", info.int_max, "int_inc", info.int_inc, "float_min", info.float_min,
        "float_max", info.float_max, "float_inc", info.float_inc, "length", info.length, "entry_count",
        info.entry_count, "selector_count", info.selector_count);
    return d ? Py_BuildValue("(iN)", status, d) : nullptr;
}

/* The value in the natural Python type for its kind (VoraFeatureType):
 * int, float, bool, str (an enumeration's symbolic name, a string), bytes
 * (a register of `length` bytes). */
PyObject* feature_value(int index, const char* name, int type, long long length)
{
    int status = VORA_ERR_FEATURE_TYPE;
    long long integer = 0;
    double number = 0;
    int flag = 0;
    std::vector<char> text;
    if (type == VORA_FEATURE_STRING || type == VORA_FEATURE_ENUMERATION)
        text.assign(type == VORA_FEATURE_ENUMERATION ? VORA_FEATURE_NAME_SIZE
                    : length > 0 && length < (1 << 20) ? static_cast<size_t>(length) + 1
                                                       : 4096,
                    0);
    if (type == VORA_FEATURE_REGISTER) {
        if (length <= 0 || length > (1 << 20))
            return Py_BuildValue("(iO)", VORA_ERR_DESCRIPTION, Py_None);
        text.assign(static_cast<size_t>(length), 0);
    }
    int got = 0;
    Py_BEGIN_ALLOW_THREADS
    switch (type) {
    case VORA_FEATURE_INTEGER:
        status = GetFeatureInteger(index, name, &integer);
        break;
    case VORA_FEATURE_FLOAT:
        status = GetFeatureFloat(index, name, &number);
        break;
    case VORA_FEATURE_BOOLEAN:
        status = GetFeatureBoolean(index, name, &flag);
        break;
    case VORA_FEATURE_ENUMERATION:
        status = GetFeatureEnum(index, name, text.data(), static_cast<int>(text.size()), &integer);
        break;
    case VORA_FEATURE_STRING:
        status = GetFeatureString(index, name, text.data(), static_cast<int>(text.size()));
        break;
    case VORA_FEATURE_REGISTER:
        status = GetFeatureBytes(index, name, reinterpret_cast<unsigned char*>(text.data()),
                                 static_cast<int>(text.size()), &got);
        break;
    default:
        break;
    }
    Py_END_ALLOW_THREADS
    if (status != 0)
        return Py_BuildValue("(iO)", status, Py_None);
    switch (type) {
    case VORA_FEATURE_INTEGER:
        return Py_BuildValue("(iL)", status, integer);
    case VORA_FEATURE_FLOAT:
        return Py_BuildValue("(id)", status, number);
    case VORA_FEATURE_BOOLEAN:
        return Py_BuildValue("(iN)", status, PyBool_FromLong(flag != 0));
    case VORA_FEATURE_REGISTER: {
        const size_t n = got >= 0 && static_cast<size_t>(got) < text.size() ? static_cast<size_t>(got) : text.size();
        return Py_BuildValue("(iN)", status, PyBytes_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(n)));
    }
    default:
        return Py_BuildValue("(iN)", status, vora_text(text.data(), text.size()));
    }
}

/* The message of this thread's last failed feature call. */
PyObject* feature_error()
{
    char text[1024] = {0};
    GetFeatureError(text, sizeof text);
    return vora_text(text, sizeof text);
}
%}

/* Frame sets. */
%inline %{
/* The next set of an open frame set: records[i] (PhotoInfoCSharp) and
 * buffers[i] (bytes sized to member i's payload) receive member i's frame.
 * Waits without the interpreter lock. (status, set_id, time_ns, complete,
 * present, spread_ns, [(present, time_ns, offset_ns)]). */
PyObject* next_frame_set(int set, PyObject* records, PyObject* buffers, long long timeout_us)
{
    if (!PyList_Check(records) || !PyList_Check(buffers) || PyList_GET_SIZE(records) != PyList_GET_SIZE(buffers)) {
        PyErr_SetString(PyExc_TypeError, "next_frame_set: two lists of one length: records and buffers");
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(records);
    std::vector<PhotoInfo> frames(static_cast<size_t>(n));
    std::vector<PhotoInfoCSharp*> out(static_cast<size_t>(n));
    std::vector<VoraSetFrameInfo> each(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        void* record = nullptr;
        PyObject* bytes = PyList_GET_ITEM(buffers, i);
        if (!SWIG_IsOK(SWIG_ConvertPtr(PyList_GET_ITEM(records, i), &record, SWIGTYPE_p_PhotoInfoCSharp, 0)) ||
            !record || !PyBytes_Check(bytes)) {
            PyErr_SetString(PyExc_TypeError, "next_frame_set: a PhotoInfoCSharp and a bytes buffer per member");
            return nullptr;
        }
        std::memset(&frames[i], 0, sizeof frames[i]);
        frames[i].pixel = PyBytes_AS_STRING(bytes);
        out[i] = static_cast<PhotoInfoCSharp*>(record);
    }
    VoraFrameSetInfo info;
    std::memset(&info, 0, sizeof info);
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = NextFrameSet(set, frames.data(), each.data(), &info, timeout_us);
    Py_END_ALLOW_THREADS
    PyObject* members = PyList_New(n);
    if (!members)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i) {
        const bool present = status == 0 && each[i].present;
        if (present)
            std::memcpy(out[i], &frames[i].pixel_length, sizeof(PhotoInfoCSharp));
        PyObject* item = Py_BuildValue("(OLL)", present ? Py_True : Py_False, (long long)each[i].time_ns,
                                       (long long)each[i].offset_ns);
        if (!item) {
            Py_DECREF(members);
            return nullptr;
        }
        PyList_SET_ITEM(members, i, item);
    }
    return Py_BuildValue("(iKLiiLN)", status, (unsigned long long)info.set_id, (long long)info.time_ns, info.complete,
                         info.present, (long long)info.spread_ns, members);
}
%}

%inline %{
/* One action command to cameras of the table (SendActionToCameras), without
 * the interpreter lock while acknowledges are awaited: (result, [status of
 * each camera's acknowledge]). */
PyObject* send_action(PyObject* indices, unsigned int device_key, unsigned int group_key, unsigned int group_mask,
                      int scheduled, unsigned long long action_time, int ack_timeout_ms)
{
    if (!PyList_Check(indices)) {
        PyErr_SetString(PyExc_TypeError, "send_action: a list of camera indices");
        return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(indices);
    std::vector<int> cams(static_cast<size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        const long v = PyLong_AsLong(PyList_GET_ITEM(indices, i));
        if (v == -1 && PyErr_Occurred())
            return nullptr;
        cams[i] = static_cast<int>(v);
    }
    VoraAction action;
    std::memset(&action, 0, sizeof action);
    action.device_key = device_key;
    action.group_key = group_key;
    action.group_mask = group_mask;
    action.scheduled = scheduled;
    action.action_time = action_time;
    std::vector<VoraActionAck> acks(static_cast<size_t>(n > 0 ? n : 1));
    int result;
    Py_BEGIN_ALLOW_THREADS
    result = SendActionToCameras(cams.data(), static_cast<int>(n), &action, ack_timeout_ms, acks.data());
    Py_END_ALLOW_THREADS
    PyObject* statuses = PyList_New(n);
    if (!statuses)
        return nullptr;
    for (Py_ssize_t i = 0; i < n; ++i)
        PyList_SET_ITEM(statuses, i, PyLong_FromLong(result < 0 ? result : acks[i].status));
    return Py_BuildValue("(iN)", result, statuses);
}
%}

%inline %{
/* OpenFrameSet over [(camera index, channel)]: the set's number or an error. */
int open_frame_set(PyObject* members, long long tolerance_ns, long long wait_us, int time_base)
{
    if (!PyList_Check(members))
        return VORA_ERR_INVALID_ARG;
    std::vector<VoraSetMember> list;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(members); ++i) {
        int camera = 0, channel = 0;
        if (!PyArg_ParseTuple(PyList_GET_ITEM(members, i), "ii", &camera, &channel)) {
            PyErr_Clear();
            return VORA_ERR_INVALID_ARG;
        }
        VoraSetMember m;
        m.camera_index = camera;
        m.channel = static_cast<uint16_t>(channel);
        list.push_back(m);
    }
    VoraFrameSetOptions options;
    std::memset(&options, 0, sizeof options);
    options.tolerance_ns = tolerance_ns;
    options.wait_us = wait_us;
    options.time_base = time_base;
    return OpenFrameSet(list.data(), static_cast<int>(list.size()), &options);
}
%}

/* Borrowed frames. */
%{
/* A frame lent by a stream: it offers the library's buffer, read-only, to
 * memoryview and NumPy without a copy. It goes back to the stream
 * (ReturnFrame) once its holder closed it and no view of it remains, or
 * when it is collected; a view cannot outlive it, since every view keeps it
 * alive. While it is out it keeps `keeper` alive: the stream's object whose
 * end closes the channel in the library, so the buffer is never freed under
 * a view. */
struct VoraLoan {
    PyObject_HEAD
    int index;
    unsigned short channel;
    PhotoInfo frame;
    Py_ssize_t size;
    Py_ssize_t exports;  // buffers given out and not yet released
    bool closing;        // the holder let go: back once no view remains
    bool out;            // still lent
    int status;          // what ReturnFrame answered
    PyObject* keeper;
};

static PyTypeObject vora_loan_type = {PyVarObject_HEAD_INIT(nullptr, 0)};

static void vora_loan_give_back(VoraLoan* loan)
{
    if (!loan->out)
        return;
    loan->out = false;
    loan->status = ReturnFrame(loan->index, loan->channel, &loan->frame);
    // The keeper's end may close the channel: after the frame is back.
    PyObject* keeper = loan->keeper;
    loan->keeper = nullptr;
    Py_XDECREF(keeper);
}

static void vora_loan_dealloc(PyObject* self)
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    vora_loan_give_back(reinterpret_cast<VoraLoan*>(self));
    PyErr_Restore(type, value, traceback);
    Py_TYPE(self)->tp_free(self);
}

static int vora_loan_getbuffer(PyObject* self, Py_buffer* view, int flags)
{
    VoraLoan* loan = reinterpret_cast<VoraLoan*>(self);
    if (!loan->out || loan->closing) {
        view->obj = nullptr;
        PyErr_SetString(PyExc_ValueError, "the frame is closed: its lent buffer went back to the stream");
        return -1;
    }
    if (PyBuffer_FillInfo(view, self, loan->frame.pixel, loan->size, 1, flags) != 0)
        return -1;
    ++loan->exports;
    return 0;
}

static void vora_loan_releasebuffer(PyObject* self, Py_buffer*)
{
    VoraLoan* loan = reinterpret_cast<VoraLoan*>(self);
    if (--loan->exports == 0 && loan->closing)
        vora_loan_give_back(loan);
}

static Py_ssize_t vora_loan_length(PyObject* self)
{
    return reinterpret_cast<VoraLoan*>(self)->size;
}

static PyObject* vora_loan_close(PyObject* self, PyObject*)
{
    VoraLoan* loan = reinterpret_cast<VoraLoan*>(self);
    loan->closing = true;
    if (loan->exports == 0)
        vora_loan_give_back(loan);
    Py_RETURN_NONE;
}

/* (out, closing, views, ReturnFrame's status, buffer address). */
static PyObject* vora_loan_state(PyObject* self, PyObject*)
{
    VoraLoan* loan = reinterpret_cast<VoraLoan*>(self);
    return Py_BuildValue("(NNniK)", PyBool_FromLong(loan->out), PyBool_FromLong(loan->closing), loan->exports,
                         loan->status, (unsigned long long)reinterpret_cast<uintptr_t>(loan->frame.pixel));
}

static PyMethodDef vora_loan_methods[] = {
    {"close", vora_loan_close, METH_NOARGS, "Gives the frame back once no view of it remains."},
    {"state", vora_loan_state, METH_NOARGS, "(out, closing, views, return status, buffer address)"},
    {nullptr, nullptr, 0, nullptr}};
static PyBufferProcs vora_loan_buffer = {vora_loan_getbuffer, vora_loan_releasebuffer};
static PySequenceMethods vora_loan_sequence = {vora_loan_length};

static bool vora_loan_ready()
{
    if (vora_loan_type.tp_flags & Py_TPFLAGS_READY)
        return true;
    vora_loan_type.tp_name = "voracam_native.Loan";
    vora_loan_type.tp_doc = "A frame lent by a stream, offering the library's buffer read-only.";
    vora_loan_type.tp_basicsize = sizeof(VoraLoan);
    vora_loan_type.tp_flags = Py_TPFLAGS_DEFAULT;
    vora_loan_type.tp_dealloc = vora_loan_dealloc;
    vora_loan_type.tp_as_buffer = &vora_loan_buffer;
    vora_loan_type.tp_as_sequence = &vora_loan_sequence;
    vora_loan_type.tp_methods = vora_loan_methods;
    return PyType_Ready(&vora_loan_type) == 0;
}

%}

%inline %{
/* Borrows the channel's next frame, waiting up to timeout_us microseconds
 * (0: only a frame already there) without the interpreter lock: (status,
 * loan or None); its record goes into info. The loan keeps `keeper` alive
 * while it is out. */
PyObject* borrow_frame(int index, unsigned short channel, PhotoInfoCSharp& info, long long timeout_us,
                       PyObject* keeper)
{
    if (!vora_loan_ready())
        return nullptr;
    PhotoInfo lent;
    std::memset(&lent, 0, sizeof lent);
    int status;
    Py_BEGIN_ALLOW_THREADS
    status = BorrowFrame(index, channel, &lent, timeout_us);
    Py_END_ALLOW_THREADS
    std::memcpy(&info, &lent.pixel_length, sizeof info);
    if (status != 0)
        return Py_BuildValue("(iO)", status, Py_None);
    VoraLoan* loan = PyObject_New(VoraLoan, &vora_loan_type);
    if (!loan) {
        ReturnFrame(index, channel, &lent);
        return nullptr;
    }
    loan->index = index;
    loan->channel = channel;
    loan->frame = lent;
    loan->size = lent.pixel ? static_cast<Py_ssize_t>(lent.payload_size) : 0;
    loan->exports = 0;
    loan->closing = false;
    loan->out = true;
    loan->status = 0;
    Py_INCREF(keeper);
    loan->keeper = keeper;
    return Py_BuildValue("(iN)", status, reinterpret_cast<PyObject*>(loan));
}


/* The library's points in millimetres (3 float32 per pixel) of a frame held
 * in Python, converted into `out`, a writable buffer of at least
 * max(3 floats a point, 2 x payload_size bytes), which the library clears. */
PyObject* frame_points(int index, PhotoInfoCSharp& info, const char* frame, size_t bytes, PyObject* out)
{
    const unsigned long long n = static_cast<unsigned long long>(info.pixel_width) * info.pixel_height;
    if (bytes < info.payload_size || n > info.payload_size / 6) {
        PyErr_SetString(PyExc_ValueError, "the frame holds fewer bytes than its points need");
        return nullptr;
    }
    Py_buffer floats;
    if (PyObject_GetBuffer(out, &floats, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS) != 0)
        return nullptr;
    const unsigned long long need = std::max<unsigned long long>(12 * n, 2ULL * info.payload_size);
    if (static_cast<unsigned long long>(floats.len) < need) {
        PyBuffer_Release(&floats);
        PyErr_Format(PyExc_ValueError, "the points need %llu bytes, %zd given", need, floats.len);
        return nullptr;
    }
    PhotoInfo f;
    std::memset(&f, 0, sizeof f);
    std::memcpy(&f.pixel_length, &info, sizeof info);
    f.pixel = const_cast<char*>(frame);  // only read
    f.pixel_length = bytes > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<uint32_t>(bytes);
    Py_BEGIN_ALLOW_THREADS
    Convert3DPointFromCharToFloat(index, &f, static_cast<float*>(floats.buf));
    Py_END_ALLOW_THREADS
    PyBuffer_Release(&floats);
    Py_RETURN_NONE;
}
%}
