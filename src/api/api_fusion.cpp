// Exported fusion and region-mapping functions: each finds its camera object
// and forwards; a missing camera or record gets the missing-object result.
#include "api/api_table.h"
#include "camera/vora_gige_camera.h"
#include "vora_qelcamera_api.h"

extern "C" {

int FusionImageTo3D(int index, PhotoInfo* image, PhotoInfo* cloud, float* fused)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || !image || !cloud)
        return VORA_ERR_CAMERA_MISSING;
    return camera->FusionImageTo3D(*image, *cloud, fused);
}

int Fusion3DToRGB(int index, PhotoInfo* colour, PhotoInfo* cloud, PhotoInfo* output)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || !colour || !cloud || !output)
        return VORA_ERR_CAMERA_MISSING;
    return camera->Fusion3DToRGB(*colour, *cloud, *output);
}

void ROIMappingCoordinate(int index, int* mask, PhotoInfo* frame, RoiPoint* region)
{
    GigeCamera* camera = camera_at(index);
    if (camera && frame && region)
        camera->ROIMappingCoordinate(mask, *frame, *region);
}

void ROIPixelMapping(int index, PhotoInfo* cloud, PhotoInfo* source, PhotoInfo* target, RoiPoint* region, int* mask)
{
    GigeCamera* camera = camera_at(index);
    if (camera && cloud && source && target && region)
        camera->ROIPixelMapping(*cloud, *source, *target, *region, mask);
}

}  // extern "C"
