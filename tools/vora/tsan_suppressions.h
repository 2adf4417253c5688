// What ThreadSanitizer is not to report in the tool and the tests that
// speak HTTP to it; included by one source file of each such program.
//  - cpp-httplib comes as a library built without the sanitizer: the
//    guards of its function-local statics are checked by code the sanitizer
//    does not see, so their first use in two threads looks like a race.
//  - A camera that stops answering is left without waiting for the
//    library's teardown (CameraSession::close_or_leave): the library's
//    heartbeat thread is left behind on purpose.
#ifndef VORA_TOOL_TSAN_SUPPRESSIONS_H
#define VORA_TOOL_TSAN_SUPPRESSIONS_H

#if defined(__SANITIZE_THREAD__)
// The sanitizer's runtime looks this up by name.
extern "C" const char* __tsan_default_suppressions();
extern "C" const char* __tsan_default_suppressions()
{
    return "called_from_lib:libcpp-httplib.so\n"
           "race:libcpp-httplib.so\n"
           "thread:GigeCamera::CameraConnect\n"
           "thread:GigeCamera::start_heartbeat\n";
}
#endif

#endif
