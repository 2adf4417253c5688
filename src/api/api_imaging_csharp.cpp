// Flat-buffer variants of the conversion, filter and export functions: the
// frame is rebuilt around a private copy of the caller's bytes, the camera
// operation runs on it, and the in-out forms copy the result back.
#include <cstdint>

#include "api/api_table.h"
#include "api/csharp_frame.h"
#include "camera/vora_gige_camera.h"
#include "imaging/pixel_format.h"
#include "vora_qelcamera_api_csharp.h"

namespace {

// A private copy of the caller's `length` bytes (none without a buffer),
// with `room` bytes in all when an operation converts in place into more
// than it reads.
PrivateBuffer private_copy(const char* buffer, int length, uint64_t room = 0)
{
    return PrivateBuffer::copy_of(buffer, buffer ? length : 0, static_cast<size_t>(room));
}

// Input pattern: the operation sees a private copy, which is dropped after.
template <typename Operation>
auto with_input(const PhotoInfoCSharp& info, char* buffer, int length, Operation operation)
{
    PrivateBuffer copy = private_copy(buffer, length);
    PhotoInfo frame = frame_within(info, copy.get(), buffer ? length : 0);
    return operation(frame);
}

// In-out pattern: afterwards the caller's buffer receives the frame's bytes
// (from whichever buffer the frame ends up with); the record stays as it was.
template <typename Operation>
auto with_in_out(const PhotoInfoCSharp& info, char* buffer, int length, uint64_t at_least, Operation operation)
{
    PrivateBuffer copy = private_copy(buffer, length, at_least);
    PhotoInfo frame = frame_within(info, copy.get(), buffer ? length : 0);
    struct CopyBack {
        PrivateBuffer& copy;
        PhotoInfo& frame;
        char* buffer;
        int length;
        ~CopyBack()
        {
            // A replacement buffer (the Bayer conversion's) holds exactly
            // the new payload.
            copy.adopt(frame.pixel, frame.payload_size);
            copy.copy_to(buffer, length);
        }
    } copy_back{copy, frame, buffer, length};
    return operation(frame);
}

}  // namespace

extern "C" {

void Convert3DPointFromCharToFloatCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, float* points)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return;
    with_input(info, buffer, length, [&](PhotoInfo& frame) { camera->Convert3DPointFromCharToFloat(frame, points); });
}

void RawdataToRgb888CSharp(int index, PhotoInfoCSharp& info, char* buffer, int length)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return;
    // YUYV converts in place and needs room for the RGB result.
    uint64_t room = 0;
    if (info.pixel_format == PIXEL_FORMAT_YUV422_8 && buffer &&
        imaging::payload_covers(frame_within(info, buffer, length), imaging::pixel_bytes(PIXEL_FORMAT_YUV422_8)))
        room = 3 * static_cast<uint64_t>(info.pixel_width) * info.pixel_height;
    with_in_out(info, buffer, length, room, [&](PhotoInfo& frame) { camera->RawdataToRgb888(frame); });
}

int GetCloudPlaneXCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, short* plane)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || !plane)
        return 0;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->GetCloudPlaneX(frame, plane); });
}

int GetCloudPlaneYCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, short* plane)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || !plane)
        return 0;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->GetCloudPlaneY(frame, plane); });
}

int GetCloudPlaneZCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, short* plane)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || !plane)
        return 0;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->GetCloudPlaneZ(frame, plane); });
}

int SaveCloudPlaneCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, short* plane, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || !plane || !path)
        return 0;
    return with_input(info, buffer, length,
                      [&](PhotoInfo& frame) { return camera->SaveCloudPlane(frame, plane, path); });
}

int SavePointCloudToPcdCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->SavePointCloudToPcd(frame, path); });
}

int SavePointCloudToTxtCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->SavePointCloudToTxt(frame, path); });
}

int SavePointCloudToPlyCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->SavePointCloudToPly(frame, path); });
}

int SaveToBMPCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->SaveToBMP(frame, path); });
}

int SaveDepthToPngCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->SaveDepthToPng(frame, path); });
}

int SavePointCloudToBinaryPlyCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length,
                      [&](PhotoInfo& frame) { return camera->SavePointCloudToBinaryPly(frame, path); });
}

int SaveImageToPngCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->SaveImageToPng(frame, path); });
}

int SaveDepthPreviewToPngCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length,
                      [&](PhotoInfo& frame) { return camera->SaveDepthPreviewToPng(frame, path); });
}

int SavePointCloudWithImageToPlyCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, float* fused,
                                       char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length,
                      [&](PhotoInfo& frame) { return camera->SavePointCloudWithImageToPly(frame, fused, path); });
}

int SavePointCloudWithImageToPcdCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, float* fused,
                                       char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length,
                      [&](PhotoInfo& frame) { return camera->SavePointCloudWithImageToPcd(frame, fused, path); });
}

int SavePointCloudWithImageToTxtCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, float* fused,
                                       char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length,
                      [&](PhotoInfo& frame) { return camera->SavePointCloudWithImageToTxt(frame, fused, path); });
}

void FilterPointCloudCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, double tolerance)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return;
    with_in_out(info, buffer, length, 0, [&](PhotoInfo& frame) { camera->FilterPointCloud(frame, tolerance); });
}

int SpatialFilterPointcloudCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, int min_points)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return 0;
    return with_in_out(info, buffer, length, 0,
                       [&](PhotoInfo& frame) { return camera->SpatialFilterPointcloud(frame, min_points); });
}

// The mask operations use only the frame's size; the caller's mask is used
// directly, so no pixel buffer is built for them.
void PixelSwellCSharp(int index, int* mask, PhotoInfoCSharp& info, int length)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || refuse_short_mask(camera->log, "PixelSwellCSharp", mask, info, length))
        return;
    PhotoInfo frame = frame_size_only(info);
    camera->PixelSwell(mask, frame);
}

void PixelCorrosionCSharp(int index, int* mask, PhotoInfoCSharp& info, int length)
{
    GigeCamera* camera = camera_at(index);
    if (!camera || refuse_short_mask(camera->log, "PixelCorrosionCSharp", mask, info, length))
        return;
    PhotoInfo frame = frame_size_only(info);
    camera->PixelCorrosion(mask, frame);
}

}  // extern "C"

int SaveFilterPointCloudToPcdCSharp(int index, PhotoInfoCSharp& info, char* buffer, int length, char* path)
{
    GigeCamera* camera = camera_at(index);
    if (!camera)
        return VORA_ERR_CAMERA_MISSING;
    return with_input(info, buffer, length, [&](PhotoInfo& frame) { return camera->SavePointCloudToPcd(frame, path); });
}
