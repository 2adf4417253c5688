/*
 * Variants of the frame-handling functions for callers that keep pixel data
 * in byte arrays of their own: a frame travels as a PhotoInfoCSharp record
 * plus a separate buffer and its length.
 */
#ifndef VORA_QELCAMERA_API_CSHARP_H
#define VORA_QELCAMERA_API_CSHARP_H

#include "vora_qelcamera_api.h"

#ifdef __cplusplus
#include <string>
#include <vector>

extern "C" {

/* Appends every feature name of the camera's description to names. */
VORA_API void GetCameraXMLNodeNamesCSharp(int index, std::vector<std::string>* names);

} /* extern "C" */
#endif

#endif /* VORA_QELCAMERA_API_CSHARP_H */
