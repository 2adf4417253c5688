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

/* ---- capture and statistics into caller-owned buffers ---- */
VORA_API int CaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp& info, char* buffer, int length);
VORA_API int TryCaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp& info, char* buffer, int length);
VORA_API int TimeoutCaptureCSharp(int index, unsigned short channel, PhotoInfoCSharp& info, char* buffer, int length,
                                  long long timeout_us);
VORA_API void GetRecieveTimeStatisticsCSharp(int index, unsigned short channel, StatisticsDataCSharp& statistics,
                                             long long* bins);

/* ---- processing and export: the frame is info plus buffer/length ----
 * length bytes of buffer are all the frame data there is: a record whose
 * payload_size claims more is cut to them, so a frame they do not cover is
 * refused like any frame shorter than its pixels. */
VORA_API void Convert3DPointFromCharToFloatCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length,
                                                  float* points);
VORA_API void RawdataToRgb888CSharp(int index, PhotoInfoCSharp& info, char* buffer, int length);
VORA_API int GetCloudPlaneXCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, short* plane);
VORA_API int GetCloudPlaneYCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, short* plane);
VORA_API int GetCloudPlaneZCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, short* plane);
VORA_API int SaveCloudPlaneCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, short* plane, char* path);
VORA_API int SavePointCloudToPcdCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
VORA_API int SavePointCloudToTxtCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
VORA_API int SavePointCloudToPlyCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
VORA_API int SaveToBMPCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
VORA_API int SaveDepthToPngCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
VORA_API int SavePointCloudWithImageToTxtCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length,
                                                float* fused, char* path);
VORA_API int SavePointCloudToBinaryPlyCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
VORA_API int SavePointCloudWithImageToPlyCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length,
                                                float* fused, char* path);
VORA_API int SavePointCloudWithImageToPcdCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length,
                                                float* fused, char* path);
VORA_API int SaveImageToPngCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
VORA_API int SaveDepthPreviewToPngCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
VORA_API void FilterPointCloudCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, double tolerance);
VORA_API int SpatialFilterPointcloudCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, int min_points);
/* The mask variants: length counts the ints of mask, at least width x height
 * of info; a shorter or missing mask is refused and left untouched. */
VORA_API void PixelSwellCSharp(int index, int* mask, PhotoInfoCSharp& info, int length);
VORA_API void PixelCorrosionCSharp(int index, int* mask, PhotoInfoCSharp& info, int length);
VORA_API void ROIMappingCoordinateCSharp(int index, int unused, int* mask, PhotoInfoCSharp& info, int length,
                                         RoiPoint& region);
VORA_API void ROIPixelMappingCSharp(int index, PhotoInfoCSharp& cloud, char* cloud_buffer, int cloud_length,
                                    PhotoInfoCSharp& source, char* source_buffer, int source_length,
                                    PhotoInfoCSharp& target, char* target_buffer, int target_length, RoiPoint& region,
                                    int unused, int* mask);
VORA_API int FusionImageTo3DCSharp(int index, PhotoInfoCSharp& image, char* image_buffer, int image_length,
                                   PhotoInfoCSharp& cloud, char* cloud_buffer, int cloud_length, float* fused);
VORA_API int Fusion3DToRGBCSharp(int index, PhotoInfoCSharp& colour, char* colour_buffer, int colour_length,
                                 PhotoInfoCSharp& cloud, char* cloud_buffer, int cloud_length, PhotoInfoCSharp& output,
                                 char* output_buffer, int output_length);

} /* extern "C" */

/* Exported under its C++ name, like SaveFilterPointCloudToPcd. */
VORA_API int SaveFilterPointCloudToPcdCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path);
#endif

#endif /* VORA_QELCAMERA_API_CSHARP_H */
