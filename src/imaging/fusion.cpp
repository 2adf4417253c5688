// Projection through a sensor's calibration and depth/colour fusion. Points
// are converted and projected one at a time straight from the raw cloud, so
// no float copy of the cloud or of the colour image is made.
#include "imaging/fusion.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "imaging/colour_convert.h"

namespace imaging {

Pixel project_point(const CameraParameter& p, float x, float y, float z, float offset_x, float offset_y)
{
    const float X = p.R[0] * x + p.R[1] * y + p.R[2] * z + p.T[0];
    const float Y = p.R[3] * x + p.R[4] * y + p.R[5] * z + p.T[1];
    const float Z = p.R[6] * x + p.R[7] * y + p.R[8] * z + p.T[2];
    const float xn = X / Z;
    const float yn = Y / Z;
    const float r2 = xn * xn + yn * yn;
    const float radial = p.Kc[0] * r2 + 1.0f + p.Kc[1] * r2 * r2;
    // The fifth coefficient scales a cubic term inside the radial factor.
    const float xd =
        (p.Kc[4] * xn * xn * xn + radial) * xn + (2.0f * p.Kc[2] * xn * yn + (2.0f * xn * xn + r2) * p.Kc[3]);
    const float yd =
        (p.Kc[4] * yn * yn * yn + radial) * yn + ((2.0f * yn * yn + r2) * p.Kc[2] + 2.0f * p.Kc[3] * xn * yn);
    const float u = p.K[0] * xd + p.K[1] * yd + p.K[2] - offset_x;
    const float v = p.K[3] * xd + p.K[4] * yd + p.K[5] - offset_y;
    return Pixel{trunc_float_to_int32(u), trunc_float_to_int32(v)};
}

namespace {

void log_fusion_3d_refusal(cameralog& log)
{
    log.log_error(gvcp_log_error_level,
                  "[function:Fusion3DToRGB] Failed to fusion rgb to 3D point cloud due to the incoming parameters "
                  "error, error code: %d",
                  VORA_ERR_INVALID_ARG);
}

}  // namespace

int fusion_3d_to_rgb_refusal(const PhotoInfo& colour, const PhotoInfo& cloud,
                             const std::vector<CameraParameter>& parameters, cameralog& log)
{
    const uint64_t points = uint64_t(cloud.pixel_width) * cloud.pixel_height;
    if (!cloud.pixel || cloud.pixel_format != PIXEL_FORMAT_COORD3D_ABC16 || !payload_covers(cloud, kCloudPointBytes)) {
        log_fusion_3d_refusal(log);
        return VORA_ERR_INVALID_ARG;
    }
    const uint32_t format = colour.pixel_format;
    if (format != PIXEL_FORMAT_YUV422_8 && format != PIXEL_FORMAT_RGB8 && format != PIXEL_FORMAT_RGB565P)
        return VORA_ERR_COLOR_FORMAT;
    // The grid is a cloud frame of its own, whose payload a 32-bit size
    // must state; the product is taken where it cannot wrap.
    if (uint64_t(colour.pixel_width) * colour.pixel_height > UINT32_MAX / kCloudPointBytes) {
        log_fusion_3d_refusal(log);
        return VORA_ERR_INVALID_ARG;
    }
    if (points > 0 && parameters.size() < 2)
        return VORA_ERR_INVALID_ARG;
    return VORA_OK;
}

int fusion_3d_to_rgb(const PhotoInfo& colour, const PhotoInfo& cloud, PhotoInfo& output,
                     const std::vector<CameraParameter>& parameters, cameralog& log)
{
    if (!output.pixel) {
        log_fusion_3d_refusal(log);
        return VORA_ERR_INVALID_ARG;
    }
    if (const int refusal = fusion_3d_to_rgb_refusal(colour, cloud, parameters, log))
        return refusal;
    const uint64_t points = uint64_t(cloud.pixel_width) * cloud.pixel_height;

    // Everything read from the records before output is written, which may
    // be one of them.
    const uint32_t width = colour.pixel_width;
    const uint32_t height = colour.pixel_height;
    const float offset_x = static_cast<float>(colour.roi.offset_x);
    const float offset_y = static_cast<float>(colour.roi.offset_y);
    const uint32_t unit = cloud.cloud_unit;
    const uint32_t cloud_format = cloud.pixel_format;
    const size_t out_bytes = size_t(width) * height * 6;

    // The grid is written straight into the output; only a caller who hands
    // in overlapping cloud and output buffers costs a copy of the cloud.
    const char* raw = cloud.pixel;
    std::unique_ptr<char, decltype(&std::free)> copy(nullptr, &std::free);
    const size_t in_bytes = size_t(points) * 6;
    const uintptr_t in_begin = reinterpret_cast<uintptr_t>(cloud.pixel);
    const uintptr_t out_begin = reinterpret_cast<uintptr_t>(output.pixel);
    if (points > 0 && out_begin < in_begin + in_bytes && in_begin < out_begin + out_bytes) {
        copy.reset(static_cast<char*>(std::malloc(in_bytes)));
        if (!copy)
            return VORA_ERR_FAILED;
        std::memcpy(copy.get(), cloud.pixel, in_bytes);
        raw = copy.get();
    }

    char* out = output.pixel;
    std::memset(out, 0, out_bytes);
    if (points > 0) {
        const CameraParameter& p = parameters[1];
        const float funit = static_cast<float>(unit);
        for (uint64_t i = 0; i < points; ++i) {
            const detail::CloudPoint point = detail::read_point(raw + 6 * i, funit);
            const Pixel px = project_point(p, point.x, point.y, point.z, offset_x, offset_y);
            if (!pixel_inside(px, width, height))
                continue;  // a later point landing on the same pixel wins
            store_raw_point(out + (size_t(px.v) * width + size_t(px.u)) * 6, point.x, point.y, point.z, funit);
        }
    }
    output.pixel_width = width;
    output.pixel_height = height;
    output.cloud_unit = unit;
    output.payload_size = static_cast<uint32_t>(out_bytes);
    output.pixel_format = cloud_format;
    return VORA_OK;
}

int fusion_image_to_3d(PhotoInfo& image, const PhotoInfo& cloud, float* fused,
                       const std::vector<CameraParameter>& parameters, const CmosIndexReader& read_cmos, cameralog& log)
{
    const uint64_t points = uint64_t(cloud.pixel_width) * cloud.pixel_height;
    const uint64_t pixels = uint64_t(image.pixel_width) * image.pixel_height;
    uint32_t format = image.pixel_format;
    // The formats fused as they are; any other is refused below, after the
    // parameter check.
    const bool fusable = format == PIXEL_FORMAT_MONO8 || format == PIXEL_FORMAT_YUV422_8 ||
                         format == PIXEL_FORMAT_RGB565P || format == PIXEL_FORMAT_RGB8;
    uint64_t bytes_per_pixel = fusable ? static_cast<uint64_t>(pixel_bytes(format)) : 0;
    // YUYV comes in pixel pairs and becomes 3 bytes per pixel, which the
    // payload size must still be able to state.
    const bool yuyv_unusable = format == PIXEL_FORMAT_YUV422_8 && (pixels % 2 != 0 || 3 * pixels > UINT32_MAX);
    if (!image.pixel || !cloud.pixel || !fused || cloud.pixel_format != PIXEL_FORMAT_COORD3D_ABC16 ||
        !payload_covers(cloud, kCloudPointBytes) || !payload_covers(image, unsigned(bytes_per_pixel)) ||
        yuyv_unusable) {
        log.log_error(gvcp_log_error_level,
                      "[function:FusionImageTo3D] Failed to fusion image to 3D point cloud due to the incoming "
                      "parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    if (bytes_per_pixel == 0)
        return VORA_ERR_COLOR_FORMAT;

    // Everything that can fail is settled before the image is converted or
    // fused is written.
    if (!read_cmos)
        return VORA_ERR_INVALID_ARG;
    uint32_t cmos = 0;
    const int status = read_cmos(image.stream_channel_index_, cmos);
    if (status != 0)
        return status < 0 ? status : -status;
    if (points > 0 && cmos >= parameters.size())
        return VORA_ERR_INVALID_ARG;

    if (format == PIXEL_FORMAT_YUV422_8) {
        yuyv_to_rgb888_in_place(reinterpret_cast<uint8_t*>(image.pixel), pixels);
        image.pixel_format = format = PIXEL_FORMAT_RGB8;
        image.payload_size = static_cast<uint32_t>(3 * pixels);
        bytes_per_pixel = static_cast<uint64_t>(pixel_bytes(format));
    }
    if (points == 0)
        return VORA_OK;

    const CameraParameter& p = parameters[cmos];
    const uint32_t width = image.pixel_width;
    const uint32_t height = image.pixel_height;
    const float offset_x = static_cast<float>(image.roi.offset_x);
    const float offset_y = static_cast<float>(image.roi.offset_y);
    const float funit = static_cast<float>(cloud.cloud_unit);
    const uint8_t* colours = reinterpret_cast<const uint8_t*>(image.pixel);
    for (uint64_t i = 0; i < points; ++i) {
        const detail::CloudPoint point = detail::read_point(cloud.pixel + 6 * i, funit);
        const Pixel px = project_point(p, point.x, point.y, point.z, offset_x, offset_y);
        float* f = fused + 6 * i;
        if (!pixel_inside(px, width, height)) {
            f[0] = f[1] = f[2] = f[3] = f[4] = f[5] = 0.0f;
            continue;
        }
        const uint8_t* c = colours + (size_t(px.v) * width + size_t(px.u)) * bytes_per_pixel;
        uint8_t c0, c1, c2;
        switch (format) {
        case PIXEL_FORMAT_RGB8:
            c0 = c[0];
            c1 = c[1];
            c2 = c[2];
            break;
        case PIXEL_FORMAT_RGB565P: {
            const unsigned v = unsigned(c[0]) | unsigned(c[1]) << 8;
            c0 = static_cast<uint8_t>((v & 0x1F) << 3);
            c1 = static_cast<uint8_t>(((v >> 5) & 0x3F) << 2);
            c2 = static_cast<uint8_t>((v >> 11) << 3);
            break;
        }
        default:  // Mono8
            c0 = c1 = c2 = c[0];
            break;
        }
        f[0] = point.x;
        f[1] = point.y;
        f[2] = point.z;
        f[3] = c2;
        f[4] = c1;
        f[5] = c0;
    }
    return VORA_OK;
}

}  // namespace imaging
