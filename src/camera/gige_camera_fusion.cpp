// Fusion and region mapping: the work lives in src/imaging; the camera adds
// its calibration, the CMOS index registers and its log.
#include <cstdint>

#include "camera/vora_gige_camera.h"
#include "imaging/fusion.h"
#include "imaging/roi_mapping.h"

namespace {

// Reads "CmosIndex" of a stream channel (the register of channel 0 plus the
// channel stride). Failures come back negative: library codes as they are,
// a device status word sign-extended from 16 bits.
imaging::CmosIndexReader cmos_reader(GigeCamera& camera)
{
    return [&camera](unsigned channel, uint32_t& cmos) -> int {
        unsigned address = 0;
        if (const int lookup = camera.feature_register("CmosIndex", STREAM_CHANNEL_REG_STRIDE * channel, &address))
            return lookup;
        int value = -1;
        const int status = camera.ReadRegister(address, &value);
        if (status != 0) {
            const int code = status > 0 ? static_cast<int16_t>(status) : status;
            return code < 0 ? code : -code;
        }
        cmos = static_cast<uint32_t>(value);
        return VORA_OK;
    };
}

}  // namespace

int GigeCamera::Fusion3DToRGB(PhotoInfo& colour, PhotoInfo& cloud, PhotoInfo& output)
{
    return imaging::fusion_3d_to_rgb(colour, cloud, output, camera_parameters, log);
}

int GigeCamera::FusionImageTo3D(PhotoInfo& image, PhotoInfo& cloud, float* fused)
{
    return imaging::fusion_image_to_3d(image, cloud, fused, camera_parameters, cmos_reader(*this), log);
}

void GigeCamera::ROIPixelMapping(PhotoInfo& cloud, PhotoInfo& source, PhotoInfo& target, RoiPoint& region, int* mask)
{
    imaging::roi_pixel_mapping(cloud, source, target, region, mask, camera_parameters, cmos_reader(*this), log);
}

void GigeCamera::ROIMappingCoordinate(int* mask, PhotoInfo& frame, RoiPoint& region)
{
    imaging::roi_mapping_coordinate(mask, frame, region);
}
