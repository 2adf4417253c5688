// Flat-buffer variants of fusion and region mapping. Frames the operation
// only reads are handed over in the caller's own buffer (no copy); a private
// buffer is made only where the operation writes.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "api/api_table.h"
#include "api/csharp_frame.h"
#include "camera/vora_gige_camera.h"
#include "imaging/fusion.h"
#include "imaging/pixel_format.h"
#include "vora_qelcamera_api_csharp.h"

namespace {

bool overlap(const char* a, size_t a_bytes, const char* b, size_t b_bytes)
{
    const uintptr_t pa = reinterpret_cast<uintptr_t>(a);
    const uintptr_t pb = reinterpret_cast<uintptr_t>(b);
    return a && b && pa < pb + b_bytes && pb < pa + a_bytes;
}

}  // namespace

extern "C" {

int FusionImageTo3DCSharp(int index, PhotoInfoCSharp& image, char* image_buffer, int image_length,
                          PhotoInfoCSharp& cloud, char* cloud_buffer, int cloud_length, float* fused)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    PhotoInfo image_frame = frame_within(image, image_buffer, image_length);
    PhotoInfo cloud_frame = frame_within(cloud, cloud_buffer, cloud_length);

    // A YUYV image is converted in place, into 3 bytes per pixel: that needs
    // a private copy with room for the result. Other images are only read.
    PrivateBuffer converted;
    const uint64_t pixels = uint64_t(image.pixel_width) * image.pixel_height;
    if (image.pixel_format == PIXEL_FORMAT_YUV422_8 && image_buffer &&
        imaging::payload_covers(image_frame, imaging::pixel_bytes(PIXEL_FORMAT_YUV422_8))) {
        const size_t given = byte_count(image_length);
        const size_t bytes = std::max<size_t>(given, size_t(3 * pixels));
        converted = PrivateBuffer(bytes);
        if (!converted)
            return VORA_ERR_FAILED;
        std::memcpy(converted.get(), image_buffer, given);
        std::memset(converted.get() + given, 0, bytes - given);
        image_frame.pixel = converted.get();
    }
    return camera->FusionImageTo3D(image_frame, cloud_frame, fused);
}

int Fusion3DToRGBCSharp(int index, PhotoInfoCSharp& colour, char* colour_buffer, int colour_length,
                        PhotoInfoCSharp& cloud, char* cloud_buffer, int cloud_length, PhotoInfoCSharp& output,
                        char* output_buffer, int output_length)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    PhotoInfo colour_frame = frame_within(colour, colour_buffer, colour_length);
    PhotoInfo cloud_frame = frame_within(cloud, cloud_buffer, cloud_length);
    PhotoInfo output_frame;
    std::memset(&output_frame, 0, sizeof output_frame);
    const size_t given = byte_count(output_length);
    // The caller's record gets five fields of the result (all zero when
    // nothing was produced).
    auto hand_over = [&output](const PhotoInfo& result) {
        output.pixel_format = result.pixel_format;
        output.pixel_width = result.pixel_width;
        output.pixel_height = result.pixel_height;
        output.cloud_unit = result.cloud_unit;
        output.payload_size = result.payload_size;
    };

    // Refusals come before anything is allocated for the result: its size
    // is the colour record's width x height, which the caller controls. The
    // caller sees them as before, in a cleared buffer and record fields.
    if (const int refusal =
            imaging::fusion_3d_to_rgb_refusal(colour_frame, cloud_frame, camera->camera_parameters, camera->log)) {
        if (output_buffer)
            std::memset(output_buffer, 0, given);
        hand_over(output_frame);
        return refusal;
    }

    // The result is colour width x height points whatever the caller's
    // length: written straight into the caller's buffer when it is large
    // enough and apart from the cloud, else into a private one of which
    // `output_length` bytes are copied back.
    const size_t needed = size_t(colour.pixel_width) * colour.pixel_height * 6;
    const bool direct =
        output_buffer && given >= needed && !overlap(output_buffer, given, cloud_buffer, byte_count(cloud_length));
    PrivateBuffer buffer;
    if (direct) {
        output_frame.pixel = output_buffer;
    } else {
        buffer = PrivateBuffer(std::max(given, needed));
        if (!buffer)
            return VORA_ERR_FAILED;
        output_frame.pixel = buffer.get();
    }
    std::memset(output_frame.pixel, 0, direct ? given : buffer.size());

    const int result = camera->Fusion3DToRGB(colour_frame, cloud_frame, output_frame);

    if (!direct && output_buffer)
        std::memcpy(output_buffer, buffer.get(), given);
    hand_over(output_frame);
    return result;
}

// Only the frame's size is used; the mask is the caller's.
void ROIMappingCoordinateCSharp(int index, int, int* mask, PhotoInfoCSharp& info, int length, RoiPoint& region)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || refuse_short_mask(camera->log, "ROIMappingCoordinateCSharp", mask, info, length))
        return;
    PhotoInfo frame = frame_size_only(info);
    camera->ROIMappingCoordinate(mask, frame, region);
}

void ROIPixelMappingCSharp(int index, PhotoInfoCSharp& cloud, char* cloud_buffer, int cloud_length,
                           PhotoInfoCSharp& source, char* source_buffer, int source_length, PhotoInfoCSharp& target,
                           char* target_buffer, int target_length, RoiPoint& region, int, int* mask)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return;
    PhotoInfo cloud_frame = frame_within(cloud, cloud_buffer, cloud_length);
    PhotoInfo source_frame = frame_within(source, source_buffer, source_length);
    PhotoInfo target_frame = frame_within(target, target_buffer, target_length);
    camera->ROIPixelMapping(cloud_frame, source_frame, target_frame, region, mask);
}

}  // extern "C"
