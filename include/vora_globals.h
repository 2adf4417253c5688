/*
 * The library's process-wide objects, for code that reaches past the
 * functions of vora_qelcamera_api.h: the discovered camera list (a record's
 * position is the camera index), the camera table, and the log switches.
 * C++ sees them as they are; C sees the log switches as the ints they are
 * laid out as.
 */
#ifndef VORA_GLOBALS_H
#define VORA_GLOBALS_H

#include "vora_base_type.h"
#include "vora_export.h"

#ifdef __cplusplus
#include <atomic>
#include <vector>
class Discovery;
class GigeCamera;
class GigeStream;

/* One row of the camera table: the camera at the same index of
 * discovery_info and the stream of each of its channels (null while closed). */
struct CameraObject {
    GigeCamera* camera;
    GigeStream* stream[3];
};

extern VORA_API Discovery discovery;
extern VORA_API std::vector<DiscoveryInfo> discovery_info;
extern VORA_API CameraObject* camera_object;

/* Log level switches (0: off), set together by SetLogLevel. */
extern VORA_API std::atomic<int> gvcp_log_error_level;
extern VORA_API std::atomic<int> gvcp_log_warnning_level;
extern VORA_API std::atomic<int> gvcp_log_info_level;
extern VORA_API std::atomic<int> gvcp_log_debug_level;
extern VORA_API std::atomic<int> gvsp_log_error_level;
extern VORA_API std::atomic<int> gvsp_log_warnning_level;
extern VORA_API std::atomic<int> gvsp_log_info_level;
extern VORA_API std::atomic<int> gvsp_log_debug_level;
#else
extern int gvcp_log_error_level, gvcp_log_warnning_level, gvcp_log_info_level, gvcp_log_debug_level;
extern int gvsp_log_error_level, gvsp_log_warnning_level, gvsp_log_info_level, gvsp_log_debug_level;
#endif

#endif /* VORA_GLOBALS_H */
