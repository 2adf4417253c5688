/*
 * Sizes checked before the library is called. A char* buffer is the bytes
 * object's own storage, so a length beyond it, or a float array shorter than
 * the frame the record describes, would let the library read or write past
 * Python's memory: such calls raise ValueError and the library is not called.
 */

%fragment("vora_sizes", "header", fragment="NumPy_Fragments") {
/* The bytes object passed for a char* argument (the typemaps accept no
 * other kind). */
static Py_ssize_t vora_bytes_size(PyObject* bytes)
{
    return PyBytes_Check(bytes) ? PyBytes_GET_SIZE(bytes) : 0;
}

static int vora_length_fits(const char* function, int position, PyObject* bytes, int length)
{
    const Py_ssize_t size = vora_bytes_size(bytes);
    if (length > size) {
        PyErr_Format(PyExc_ValueError, "in method '%s', argument %d: length %d is more than the %zd bytes given",
                     function, position, length, size);
        return 0;
    }
    return 1;
}

static int vora_data_covers(const char* function, int position, PyObject* bytes, const PhotoInfoCSharp* info)
{
    const Py_ssize_t size = vora_bytes_size(bytes);
    if (info && size < (Py_ssize_t)info->payload_size) {
        PyErr_Format(PyExc_ValueError,
                     "in method '%s', argument %d: %zd bytes given, the frame's payload_size is %u",
                     function, position, size, (unsigned)info->payload_size);
        return 0;
    }
    return 1;
}

/* The record converted before (a reference: never null). */
static const PhotoInfoCSharp* vora_record(PyObject* obj)
{
    void* record = 0;
    if (!SWIG_IsOK(SWIG_ConvertPtr(obj, &record, SWIGTYPE_p_PhotoInfoCSharp, 0)) || !record) {
        PyErr_SetString(PyExc_TypeError, "a PhotoInfoCSharp record is required");
        return 0;
    }
    return (const PhotoInfoCSharp*)record;
}

/* The points of a frame: width x height as the record says. */
static unsigned long long vora_max(unsigned long long a, unsigned long long b)
{
    return a > b ? a : b;
}

static unsigned long long vora_points(const PhotoInfoCSharp* info)
{
    return info ? (unsigned long long)info->pixel_width * info->pixel_height : 0;
}

/* An aligned, writable, C-contiguous, native float32 array made from obj by
 * NumPy with safe casts only (the object itself when it already is one), of
 * one dimension and at least `floats` elements. An array the function writes
 * into must be writable: a read-only one would otherwise be copied and the
 * results lost. Returns a new reference, or 0 with the error set. */
static PyArrayObject* vora_float_array(const char* function, int position, PyObject* obj,
                                       unsigned long long floats, bool written)
{
    if (written && is_array(obj) && !PyArray_ISWRITEABLE((PyArrayObject*)obj)) {
        PyErr_Format(PyExc_ValueError, "in method '%s', argument %d: the array is read-only", function, position);
        return 0;
    }
    PyArrayObject* array = (PyArrayObject*)PyArray_FROMANY(obj, NPY_FLOAT, 0, 0, NPY_ARRAY_DEFAULT);
    if (!array)
        return 0;
    if (!require_dimensions(array, 1)) {
        Py_DECREF(array);
        return 0;
    }
    if ((unsigned long long)array_size(array, 0) < floats) {
        PyErr_Format(PyExc_ValueError, "in method '%s', argument %d: %zd floats given, the frame needs %llu",
                     function, position, (Py_ssize_t)array_size(array, 0), floats);
        Py_DECREF(array);
        return 0;
    }
    return array;
}
}

/* A buffer and its length: the length must lie within the bytes. The bytes
 * object is the Python argument just before the length. */
%define %vora_buffer_length(BUFFER, LENGTH)
%typemap(check, fragment="vora_sizes") (char* BUFFER, int LENGTH) {
    if (!vora_length_fits("$symname", $argnum + 1, swig_obj[$argnum - 1], $2)) SWIG_fail;
}
%enddef
%vora_buffer_length(buffer, length)
%vora_buffer_length(image_buffer, image_length)
%vora_buffer_length(cloud_buffer, cloud_length)
%vora_buffer_length(colour_buffer, colour_length)
%vora_buffer_length(source_buffer, source_length)
%vora_buffer_length(target_buffer, target_length)
%vora_buffer_length(output_buffer, output_length)

/* The NumPy arguments: one Python argument for the library's (length,
 * float*) pair. Each follows a record and its data bytes; the length passed
 * is that of the bytes, which must cover the record's payload, and the array
 * must hold the floats the function reads or writes for that frame. */
%define %vora_numpy_points(LENGTH, ARRAY, FLOATS, WRITTEN)
%typemap(in, fragment="vora_sizes") (int LENGTH, float* ARRAY) (PyArrayObject* array = 0) {
    PyObject* data = swig_obj[$argnum - 2];
    const PhotoInfoCSharp* info = vora_record(swig_obj[$argnum - 3]);
    if (!info || !vora_data_covers("$symname", $argnum - 1, data, info)) SWIG_fail;
    array = vora_float_array("$symname", $argnum, $input, FLOATS, WRITTEN);
    if (!array) SWIG_fail;
    $1 = (int)vora_bytes_size(data);
    $2 = (float*)array_data(array);
}
%typemap(freearg) (int LENGTH, float* ARRAY) {
    Py_XDECREF(array$argnum);
}
%enddef

/* Raw points to floats: 3 per point, and the library clears 2 x payload_size
 * bytes. */
%vora_numpy_points(length, points,
                   (vora_max(12 * vora_points(info), 2ULL * info->payload_size) + 3) / 4, true)
/* Fusion writes x, y, z and three colours per point of the cloud; the text
 * writer reads as many per point of its frame. */
%vora_numpy_points(cloud_length, fused, 6 * vora_points(info), true)
%vora_numpy_points(length, fused, 6 * vora_points(info), false)

/* The library writes a text feature's whole register (up to 536 bytes) into
 * `out`, whatever the bytes object holds. It writes into a copy here, and
 * `out` receives what fits; a text longer than `out` raises ValueError
 * afterwards instead of running past it. */
%fragment("vora_sizes");
%feature("action") ReadStringRegister {
    char text[600] = {0};
    const size_t room = arg3 ? (size_t)vora_bytes_size(swig_obj[2]) : 0;
    const size_t kept = room < sizeof text ? room : sizeof text;
    if (arg3)
        memcpy(text, arg3, kept);
    ReadStringRegister(arg1, arg2, arg3 ? text : 0);
    if (arg3)
        memcpy(arg3, text, kept);
    const size_t length = arg3 ? strnlen(text, sizeof text) : 0;
    if (length > room) {
        PyErr_Format(PyExc_ValueError, "in method 'ReadStringRegister', argument 3: the text has %zu bytes, %zu given",
                     length, room);
        SWIG_fail;
    }
}

/* Features by name: name slots of VORA_FEATURE_NAME_SIZE bytes, texts cut
 * to size, and register bytes. Each buffer must hold what the count or size
 * promises the library. */
%fragment("vora_feature_sizes", "header", fragment="vora_sizes") {
static int vora_slots_fit(const char* function, int position, PyObject* bytes, int capacity)
{
    const Py_ssize_t size = bytes == Py_None ? 0 : vora_bytes_size(bytes);
    if (capacity < 0 || (long long)capacity * VORA_FEATURE_NAME_SIZE > (long long)size) {
        PyErr_Format(PyExc_ValueError, "in method '%s', argument %d: %d names of %d bytes need more than the %zd bytes given",
                     function, position, capacity, VORA_FEATURE_NAME_SIZE, size);
        return 0;
    }
    return 1;
}
}
%define %vora_name_slots(BUFFER, CAPACITY)
%typemap(check, fragment="vora_feature_sizes") (char* BUFFER, int CAPACITY) {
    if (!vora_slots_fit("$symname", $argnum, swig_obj[$argnum - 1], $2)) SWIG_fail;
}
%enddef
%vora_name_slots(names, capacity)
/* GetFeatureEntries: the symbolic names' slots; values is a longlongArray of
 * at least capacity elements, which the caller sizes. */
%typemap(check, fragment="vora_feature_sizes") (char* symbolics, long long* values, int capacity) {
    if ($1 && !vora_slots_fit("$symname", $argnum, swig_obj[$argnum - 1], $3)) SWIG_fail;
    if ($3 < 0) {
        PyErr_Format(PyExc_ValueError, "in method '$symname': capacity %d", $3);
        SWIG_fail;
    }
}
%vora_buffer_length(symbolic, size)
%vora_buffer_length(text, size)

/* Register bytes: a bytes object the library fills (size: at most its
 * length) or reads (length: its length). */
%typemap(in, fragment="vora_sizes") (unsigned char* bytes, int size) {
    if (!PyBytes_Check($input))
        SWIG_exception_fail(SWIG_TypeError, "in method '$symname', argument $argnum of type 'bytes'");
    $1 = ($1_ltype)PyBytes_AS_STRING($input);
    $2 = (int)(PyBytes_GET_SIZE($input) > 0x7FFFFFFF ? 0x7FFFFFFF : PyBytes_GET_SIZE($input));
}
%typemap(in, fragment="vora_sizes") (const unsigned char* bytes, int length) {
    if (!PyBytes_Check($input))
        SWIG_exception_fail(SWIG_TypeError, "in method '$symname', argument $argnum of type 'bytes'");
    if (PyBytes_GET_SIZE($input) > 0x7FFFFFFF)
        SWIG_exception_fail(SWIG_ValueError, "in method '$symname', argument $argnum: more bytes than a register takes");
    $1 = ($1_ltype)PyBytes_AS_STRING($input);
    $2 = (int)PyBytes_GET_SIZE($input);
}
