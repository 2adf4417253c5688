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
#include <vector>
class Discovery;
/* Process-wide objects (C++ callers only). */
extern VORA_API Discovery discovery;
extern VORA_API std::vector<DiscoveryInfo> discovery_info;

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

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VORA_QELCAMERA_API_H */
