#include "imaging/pixel_format.h"

namespace imaging {

int pixel_bytes(uint32_t pixel_format)
{
    switch (pixel_format) {
    case PIXEL_FORMAT_MONO8:
    case PIXEL_FORMAT_MONO8S:
    case PIXEL_FORMAT_BAYER_GR8:
    case PIXEL_FORMAT_BAYER_RG8:
    case PIXEL_FORMAT_BAYER_GB8:
    case PIXEL_FORMAT_BAYER_BG8:
        return 1;
    case PIXEL_FORMAT_BAYER_GR10:
    case PIXEL_FORMAT_BAYER_RG10:
    case PIXEL_FORMAT_BAYER_GB10:
    case PIXEL_FORMAT_BAYER_BG10:
    case PIXEL_FORMAT_YUV422_8:
    case PIXEL_FORMAT_RGB565P:
        return 2;
    case PIXEL_FORMAT_RGB8:
        return 3;
    case PIXEL_FORMAT_COORD3D_ABC16:
    case PIXEL_FORMAT_COORD3D_ABC16_PLANAR:
        return 6;
    default:
        return 0;
    }
}

}  // namespace imaging
