#include "imaging/pixel_format.h"

namespace imaging {

int pixel_bytes(uint32_t pixel_format)
{
    switch (pixel_format) {
    case 0x01080001:  // Mono8
    case 0x01080002:  // Mono8s
    case 0x01080008:  // BayerGR8
    case 0x01080009:  // BayerRG8
    case 0x0108000A:  // BayerGB8
    case 0x0108000B:  // BayerBG8
        return 1;
    case 0x0110000C:  // BayerGR10
    case 0x0110000D:  // BayerRG10
    case 0x0110000E:  // BayerGB10
    case 0x0110000F:  // BayerBG10
    case 0x02100032:  // YUV422_8
    case 0x02100035:  // RGB565p
        return 2;
    case 0x02180014:  // RGB8
        return 3;
    case 0x023000B9:  // Coord3D_ABC16
    case 0x023000BA:  // Coord3D_ABC16_Planar
        return 6;
    default:
        return 0;
    }
}

}  // namespace imaging
