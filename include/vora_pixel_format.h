/*
 * Pixel-format codes of the frames the cameras send, in the GenICam pixel
 * format naming convention. The library, the simulated camera, the tool and
 * the tests all take the codes from here; GetPixelFormatInfo
 * (vora_qelcamera_api.h) describes each of them.
 */
#ifndef VORA_PIXEL_FORMAT_H
#define VORA_PIXEL_FORMAT_H

#include <stdint.h>

#define PIXEL_FORMAT_MONO8 0x01080001u
#define PIXEL_FORMAT_MONO8S 0x01080002u
#define PIXEL_FORMAT_BAYER_GR8 0x01080008u
#define PIXEL_FORMAT_BAYER_RG8 0x01080009u
#define PIXEL_FORMAT_BAYER_GB8 0x0108000Au
#define PIXEL_FORMAT_BAYER_BG8 0x0108000Bu
#define PIXEL_FORMAT_BAYER_GR10 0x0110000Cu
#define PIXEL_FORMAT_BAYER_RG10 0x0110000Du
#define PIXEL_FORMAT_BAYER_GB10 0x0110000Eu
#define PIXEL_FORMAT_BAYER_BG10 0x0110000Fu
#define PIXEL_FORMAT_YUV422_8 0x02100032u /* byte order Y0 U Y1 V */
#define PIXEL_FORMAT_RGB565P 0x02100035u
#define PIXEL_FORMAT_RGB8 0x02180014u
/* The point cloud: x, y, z as signed 16-bit values per pixel. */
#define PIXEL_FORMAT_COORD3D_ABC16 0x023000B9u
#define PIXEL_FORMAT_COORD3D_ABC16_PLANAR 0x023000BAu

/* What a format's pixels hold (PixelFormatInfo.kind). */
#define PIXEL_KIND_DEPTH 1  /* points: x, y, z per pixel */
#define PIXEL_KIND_COLOUR 2 /* an image as it is shown: grey or RGB */
#define PIXEL_KIND_BAYER 3  /* one colour per pixel behind a Bayer filter */
#define PIXEL_KIND_YUV 4    /* luma per pixel, chroma shared by pixel pairs */

#ifdef __cplusplus
extern "C" {
#endif

/* One pixel format as the library knows it. */
typedef struct PixelFormatInfo {
    uint32_t pixel_format;    /* the code, PIXEL_FORMAT_* */
    uint32_t bytes_per_pixel; /* in a frame's payload */
    int32_t kind;             /* PIXEL_KIND_* */
    char name[32];            /* its GenICam name, e.g. "Coord3D_ABC16", terminated */
} PixelFormatInfo;

#ifdef __cplusplus
}
#endif

#endif /* VORA_PIXEL_FORMAT_H */
