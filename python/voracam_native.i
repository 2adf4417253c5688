/*
 * _voracam_native: the few calls the voracam package needs beyond
 * _VoraSDK. Built with SWIG's thread support, so the capture waits with the
 * interpreter lock released and other Python threads keep running.
 */
%module(threads="1") voracam_native

%{
#include <cstddef>
#include <cstring>
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

/* A frame buffer: a bytes object made by frame_buffer and not yet shared. */
%typemap(in) (char* frame, size_t bytes) {
    if (!PyBytes_Check($input))
        SWIG_exception_fail(SWIG_TypeError, "in method '$symname', argument $argnum of type 'bytes'");
    $1 = PyBytes_AS_STRING($input);
    $2 = (size_t)PyBytes_GET_SIZE($input);
}

%thread capture_frame;
%nothread frame_buffer;
%nothread discovered_camera;

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
