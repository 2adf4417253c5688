// Pixel formats, conversions, point-cloud filters and file export of the
// camera object: thin calls into src/imaging, which get the camera's log.
#include "camera/vora_gige_camera.h"
#include "imaging/binary_cloud_writers.h"
#include "imaging/cloud_convert.h"
#include "imaging/cloud_filters.h"
#include "imaging/cloud_writers.h"
#include "imaging/colour_convert.h"
#include "imaging/depth_preview.h"
#include "imaging/image_png_writer.h"
#include "imaging/image_writers.h"
#include "imaging/pixel_format.h"
#include "imaging/png_writer.h"

// ---- pixel formats and conversions ----

void GigeCamera::Convert3DPointFromCharToFloat(PhotoInfo& frame, float* points)
{
    imaging::convert_cloud_to_float(log, frame, points);
}

int GigeCamera::GetCloudPlane(PhotoInfo& frame, short* plane, int coordinate)
{
    return imaging::get_cloud_plane(log, frame, plane, coordinate);
}

int GigeCamera::GetCloudPlaneX(PhotoInfo& frame, short* plane)
{
    return imaging::get_cloud_plane_x(log, frame, plane);
}

int GigeCamera::GetCloudPlaneY(PhotoInfo& frame, short* plane)
{
    return imaging::get_cloud_plane_y(log, frame, plane);
}

int GigeCamera::GetCloudPlaneZ(PhotoInfo& frame, short* plane)
{
    return imaging::get_cloud_plane_z(log, frame, plane);
}

void GigeCamera::YuyvToRgb888(PhotoInfo& frame)
{
    imaging::yuyv_frame_to_rgb888(log, frame);
}

void GigeCamera::BayerRG8ToRgb888(PhotoInfo& frame)
{
    imaging::bayer_frame_to_rgb888(log, frame);
}

void GigeCamera::RawdataToRgb888(PhotoInfo& frame)
{
    imaging::raw_frame_to_rgb888(log, frame);
}

int GigeCamera::GetPixelByteByGenICamFormatValue(unsigned int pixel_format)
{
    return imaging::pixel_bytes(pixel_format);
}

// ---- point-cloud filters ----

void GigeCamera::FilterPointCloud(PhotoInfo& frame, double tolerance)
{
    imaging::filter_point_cloud(log, frame, tolerance);
}

int GigeCamera::SpatialFilterPointcloud(PhotoInfo& frame, int min_points)
{
    return imaging::spatial_filter_point_cloud(log, frame, min_points);
}

void GigeCamera::PixelSwell(int* mask, PhotoInfo& frame)
{
    imaging::pixel_swell(mask, frame.pixel_width, frame.pixel_height);
}

void GigeCamera::PixelCorrosion(int* mask, PhotoInfo& frame)
{
    imaging::pixel_corrosion(mask, frame.pixel_width, frame.pixel_height);
}

// ---- file export ----

int GigeCamera::SavePointCloudToPcd(PhotoInfo& frame, const char* path)
{
    return imaging::save_cloud_pcd(log, frame, path);
}

int GigeCamera::SavePointCloudToPly(PhotoInfo& frame, const char* path)
{
    return imaging::save_cloud_ply(log, frame, path);
}

int GigeCamera::SavePointCloudToTxt(PhotoInfo& frame, const char* path)
{
    return imaging::save_cloud_txt(log, frame, path);
}

int GigeCamera::SavePointCloudWithImageToTxt(PhotoInfo& frame, float* fused, const char* path)
{
    return imaging::save_cloud_with_colour_txt(log, frame, fused, path);
}

int GigeCamera::SaveDepthToPng(PhotoInfo& frame, const char* path)
{
    return imaging::save_depth_png(log, frame, path);
}

int GigeCamera::SavePointCloudToBinaryPly(PhotoInfo& frame, const char* path)
{
    return imaging::save_cloud_binary_ply(log, frame, path);
}

int GigeCamera::SavePointCloudWithImageToPly(PhotoInfo& frame, float* fused, const char* path)
{
    return imaging::save_fused_ply(log, frame, fused, path);
}

int GigeCamera::SavePointCloudWithImageToPcd(PhotoInfo& frame, float* fused, const char* path)
{
    return imaging::save_fused_pcd(log, frame, fused, path);
}

int GigeCamera::SaveImageToPng(PhotoInfo& frame, const char* path)
{
    return imaging::save_image_png(log, frame, path);
}

int GigeCamera::SaveDepthPreviewToPng(PhotoInfo& frame, const char* path)
{
    return imaging::save_depth_preview_png(log, frame, path);
}

int GigeCamera::SaveCloudPlane(PhotoInfo& frame, short* plane, const char* path)
{
    return imaging::save_plane_png(log, frame, plane, path);
}

int GigeCamera::SaveToBMP(PhotoInfo& frame, const char* path)
{
    return imaging::save_bmp(log, frame, path);
}

int GigeCamera::SaveGrayImageToBmp(PhotoInfo& frame, const char* path)
{
    return imaging::save_grey_bmp(log, frame, path);
}

int GigeCamera::SaveRgb888ToBmp(PhotoInfo& frame, const char* path)
{
    return imaging::save_rgb888_bmp(log, frame, path);
}

int GigeCamera::SaveRgb565ToBmp(PhotoInfo& frame, const char* path)
{
    return imaging::save_rgb565_bmp(log, frame, path);
}

int GigeCamera::SaveYuyvRgbToBmp(PhotoInfo& frame, const char* path)
{
    return imaging::save_yuyv_bmp(log, frame, path);
}

int GigeCamera::SaveBayerRG8ToBmp(PhotoInfo& frame, const char* path)
{
    return imaging::save_bayer_rg8_bmp(log, frame, path);
}
