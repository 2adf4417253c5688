/*
 * The Python module _VoraSDK (proxy VoraSDK.py): every exported function of
 * libVoraSDK under its own name, the shared records with attribute access,
 * typed arrays for the pointer arguments, StringVector, and the header's
 * constants. Calls hold the interpreter lock; voracam_native.i has the
 * helpers that wait without it.
 */
%module VoraSDK

%{
#define SWIG_FILE_WITH_INIT
#include <cstdlib>
#include <cstring>
#include "vora_gvcp_records.h"
#include "vora_qelcamera_api_csharp.h"
%}

/* char* arguments take bytes only and point into the bytes object itself;
 * char* results come back as bytes. */
%begin %{
#define SWIG_PYTHON_STRICT_BYTE_CHAR
%}

%include <stdint.i>
%include <std_string.i>
%include <std_vector.i>
%include <carrays.i>
%include <cdata.i>
%include "numpy.i"

%init %{
import_array();
%}

%template(StringVector) std::vector<std::string>;

%array_functions(int, intArray);
%array_functions(unsigned int, unsignedintArray);
%array_functions(float, floatArray);
%array_functions(long long, longlongArray);

%include "vora_sizes.i"

/* Pointer fields of the records are the library's malloc/free buffers (the
 * Bayer conversion frees and replaces pixel): keep to that allocator. */
%typemap(memberin) char * {
    std::free($1);
    $1 = 0;
    if ($input) {
        const size_t bytes = std::strlen($input) + 1;
        $1 = (char*)std::malloc(bytes);
        if (!$1) SWIG_exception_fail(SWIG_MemoryError, "out of memory in setting a pointer field");
        std::memcpy($1, $input, bytes);
    }
}

/* The command records group the common header in a CmdHeader; its fields are
 * also offered on each record, as on the wire. */
%define %vora_header_fields(RECORD)
%extend RECORD {
    uint8_t start;
    uint8_t flag;
    uint16_t command;
    uint16_t length;
    uint16_t req_id;
}
%{
#define RECORD##_start_get(r) ((r)->header.start)
#define RECORD##_start_set(r, v) ((r)->header.start = (v))
#define RECORD##_flag_get(r) ((r)->header.flag)
#define RECORD##_flag_set(r, v) ((r)->header.flag = (v))
#define RECORD##_command_get(r) ((r)->header.command)
#define RECORD##_command_set(r, v) ((r)->header.command = (v))
#define RECORD##_length_get(r) ((r)->header.length)
#define RECORD##_length_set(r, v) ((r)->header.length = (v))
#define RECORD##_req_id_get(r) ((r)->header.req_id)
#define RECORD##_req_id_set(r, v) ((r)->header.req_id = (v))
%}
%enddef
%vora_header_fields(DiscoverCmdPack)
%vora_header_fields(ReadRegCmdPack)
%vora_header_fields(WriteRegCmdPack)
%vora_header_fields(ReadMemCmdPack)
%vora_header_fields(WriteMemCmdPack)
%vora_header_fields(PacketResendCmdPack)
%vora_header_fields(ForceIpCmdPack)
%vora_header_fields(ForceIpRebootCmdPack)

/* The two functions exported under C++ names (they do what
 * SavePointCloudToPcd and its CSharp variant do). */
%ignore SaveFilterPointCloudToPcd;
%ignore SaveFilterPointCloudToPcdCSharp;

#define VORA_API
/* vora_base_type.h #includes vora_gvcp_records.h and vora_qelcamera_api.h
 * vora_pixel_format.h; SWIG does not follow #include and reads a file
 * %included twice only once, so each record and constant is wrapped once,
 * here: the pixel-format codes (PIXEL_FORMAT_*), their kinds (PIXEL_KIND_*)
 * and PixelFormatInfo with them. */
%include "vora_base_type.h"
%include "vora_pixel_format.h"
%include "vora_gvcp_records.h"
%include "vora_pixel_format.h"
%include "vora_qelcamera_api.h"
%include "vora_qelcamera_api_csharp.h"
