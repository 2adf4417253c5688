// Exported conversion, filter and export functions: each finds its camera
// object and forwards; a missing camera or record gives the function's
// missing-object result.
#include "api/api_table.h"
#include <new>

#include "camera/vora_gige_camera.h"
#include "imaging/depth_preview.h"
#include "vora_qelcamera_api.h"

extern "C" {

void Convert3DPointFromCharToFloat(int index, PhotoInfo* frame, float* points)
{
    GigeCamera* camera = camera_at(index);
    if (camera && frame)
        camera->Convert3DPointFromCharToFloat(*frame, points);
}

void RawdataToRgb888(int index, PhotoInfo* frame)
{
    GigeCamera* camera = camera_at(index);
    if (camera && frame)
        camera->RawdataToRgb888(*frame);
}

int GetCloudPlaneX(int index, PhotoInfo* frame, short* plane)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame && plane ? camera->GetCloudPlaneX(*frame, plane) : 0;
}

int GetCloudPlaneY(int index, PhotoInfo* frame, short* plane)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame && plane ? camera->GetCloudPlaneY(*frame, plane) : 0;
}

int GetCloudPlaneZ(int index, PhotoInfo* frame, short* plane)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame && plane ? camera->GetCloudPlaneZ(*frame, plane) : 0;
}

int SaveCloudPlane(int index, PhotoInfo* frame, short* plane, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame && plane && path ? camera->SaveCloudPlane(*frame, plane, path) : 0;
}

int SavePointCloudToPcd(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SavePointCloudToPcd(*frame, path) : VORA_ERR_CAMERA_MISSING;
}

int SavePointCloudToTxt(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SavePointCloudToTxt(*frame, path) : VORA_ERR_CAMERA_MISSING;
}

int SavePointCloudToPly(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SavePointCloudToPly(*frame, path) : VORA_ERR_CAMERA_MISSING;
}

int SaveToBMP(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SaveToBMP(*frame, path) : VORA_ERR_CAMERA_MISSING;
}

int SaveDepthToPng(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SaveDepthToPng(*frame, path) : VORA_ERR_CAMERA_MISSING;
}

int SavePointCloudToBinaryPly(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SavePointCloudToBinaryPly(*frame, path) : VORA_ERR_CAMERA_MISSING;
}

int SavePointCloudWithImageToPly(int index, PhotoInfo* frame, float* fused, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SavePointCloudWithImageToPly(*frame, fused, path) : VORA_ERR_CAMERA_MISSING;
}

int SavePointCloudWithImageToPcd(int index, PhotoInfo* frame, float* fused, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SavePointCloudWithImageToPcd(*frame, fused, path) : VORA_ERR_CAMERA_MISSING;
}

int SaveImageToPng(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SaveImageToPng(*frame, path) : VORA_ERR_CAMERA_MISSING;
}

int SaveDepthPreviewToPng(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SaveDepthPreviewToPng(*frame, path) : VORA_ERR_CAMERA_MISSING;
}

int DepthPreviewColours(const unsigned short* depth, unsigned int width, unsigned int height, unsigned char* rgb,
                        unsigned short* near_depth, unsigned short* far_depth)
{
    if (!depth || !rgb)
        return VORA_ERR_INVALID_ARG;
    uint16_t near = 0, far = 0;
    try {
        imaging::colour_map_depth(depth, static_cast<size_t>(width) * height, rgb, &near, &far);
    } catch (const std::bad_alloc&) {
        return VORA_ERR_FAILED;
    }
    if (near_depth)
        *near_depth = near;
    if (far_depth)
        *far_depth = far;
    return VORA_OK;
}

int SavePointCloudWithImageToTxt(int index, PhotoInfo* frame, float* fused, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SavePointCloudWithImageToTxt(*frame, fused, path) : VORA_ERR_CAMERA_MISSING;
}

void FilterPointCloud(int index, PhotoInfo* frame, double tolerance)
{
    GigeCamera* camera = camera_at(index);
    if (camera && frame)
        camera->FilterPointCloud(*frame, tolerance);
}

int SpatialFilterPointcloud(int index, PhotoInfo* frame, int min_points)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SpatialFilterPointcloud(*frame, min_points) : 0;
}

void PixelSwell(int index, int* mask, PhotoInfo* frame)
{
    GigeCamera* camera = camera_at(index);
    if (camera && frame)
        camera->PixelSwell(mask, *frame);
}

void PixelCorrosion(int index, int* mask, PhotoInfo* frame)
{
    GigeCamera* camera = camera_at(index);
    if (camera && frame)
        camera->PixelCorrosion(mask, *frame);
}

}  // extern "C"

int SaveFilterPointCloudToPcd(int index, PhotoInfo* frame, char* path)
{
    GigeCamera* camera = camera_at(index);
    return camera && frame ? camera->SavePointCloudToPcd(*frame, path) : VORA_ERR_CAMERA_MISSING;
}
