/*
 * The library's exported interface: flat functions over a process-wide list
 * of discovered cameras. Every per-camera function takes the camera's index
 * in that list. Results follow the status codes of vora_base_type.h.
 */
#ifndef VORA_QELCAMERA_API_H
#define VORA_QELCAMERA_API_H

#include "vora_base_type.h"
#include "vora_export.h"

#ifdef __cplusplus
#include <atomic>
#include <string>
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

/* Process-wide objects (C++ callers only). */
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
/* C callers see the switches as the ints they are laid out as. */
extern int gvcp_log_error_level, gvcp_log_warnning_level, gvcp_log_info_level, gvcp_log_debug_level;
extern int gvsp_log_error_level, gvsp_log_warnning_level, gvsp_log_info_level, gvsp_log_debug_level;
#include <stdbool.h>
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- discovery, table and connection ---- */

/* Empties the camera list and discovers again; the number of cameras or a
 * negative code. Indexes of earlier discoveries become invalid. */
VORA_API int DiscoverCamera(void);
/* Orders the list: SORT_BY_IP or SORT_BY_SERIAL_NUMBER. */
VORA_API int CameraSort(int sort_mode);
/* Switches logging levels on (non-zero) or off, for both log families. */
VORA_API void SetLogLevel(int error, int debug, int warning, int info);
/* Dotted text of the camera's address; overwritten by the next call. */
VORA_API const char* CameraIP(int index);
/* True when the camera and the host interface it answered on share a subnet. */
VORA_API bool WhetherIsSameSegment(int index);
/* Gives the camera a new address, mask and gateway (dotted texts). */
VORA_API int ForceIP(int index, char* ip, char* mask, char* gateway);

/* Builds the camera table from the discovered list (one camera object per
 * record); an existing table is destroyed first. */
VORA_API void CreateCamera(void);
/* Closes open streams, disconnects connected cameras, frees the table. */
VORA_API void DestroyCamera(void);
/* "SDK VERSION 1.4.87", or "" when there is no camera object at index. */
VORA_API const char* SDKVersion(int index);
/* The camera's device version text (at most 31 characters), or "". */
VORA_API const char* CameraVerions(int index);

/* Takes control of the camera: reads its description, negotiates the packet
 * size, starts the heartbeat and loads the calibration. -99 without a
 * camera object. */
VORA_API int CameraConnect(int index);
VORA_API int CameraDisconnect(int index);
/* Who controls the camera (0: nobody), without connecting. Without a camera
 * object: -99, and -60 in *ccp_status. */
VORA_API int GetCameraCCPStatus(int index, int* ccp_status);
VORA_API int GetHeartBeatTimeout(int index);
VORA_API int ReadRegister(int index, unsigned int address, int* value);
VORA_API int WriteRegister(int index, unsigned int address, int value);

/* ---- device description ---- */

VORA_API int GetRegisterAddr(int index, const char* name);
/* Copies the string feature's register into out (its "Length" bytes). */
VORA_API void ReadStringRegister(int index, const char* name, char* out);
VORA_API int GetNodeMaxValue(int index, const char* name);
VORA_API int GetNodeMinValue(int index, const char* name);
VORA_API int GetNodeIncValue(int index, const char* name);
/* Feature names into consecutive 255-byte slots (each cut to 254 characters
 * and zero-terminated); their number in *count, -1 without a camera object.
 * The caller's array must hold every feature of the description. */
VORA_API void GetCameraXMLNodeNames(int index, char names[][255], int* count);
/* Writes the description into directory as <name>.<extension>. */
VORA_API int SaveXmlToLocal(int index, char* directory);

/* ---- calibration ---- */

/* 5 distortion coefficients and the 3x3 camera matrix of a sensor. */
VORA_API int GetCamInternelParameter(int index, int sensor, float* coefficients, float* matrix);
/* 3x3 rotation and the translation of a sensor. */
VORA_API int GetCamExternelParameter(int index, int sensor, float* rotation, float* translation);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VORA_QELCAMERA_API_H */
