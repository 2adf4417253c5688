// Region mapping between sensors and the bounding rectangle of a mask.
#include "imaging/roi_mapping.h"

#include <algorithm>
#include <cstdlib>
#include <memory>

namespace imaging {

int roi_pixel_mapping(const PhotoInfo& cloud, const PhotoInfo& source, const PhotoInfo& target, const RoiPoint& region,
                      int* mask, const std::vector<CameraParameter>& parameters, const CmosIndexReader& read_cmos,
                      cameralog& log)
{
    const uint64_t points = uint64_t(cloud.pixel_width) * cloud.pixel_height;
    if (!cloud.pixel || !mask || !payload_covers(cloud, kCloudPointBytes)) {
        log.log_error(gvcp_log_error_level,
                      "[function:ROIPixelMapping] Failed to map the region due to the incoming parameters error, "
                      "error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    if (!read_cmos)
        return VORA_ERR_INVALID_ARG;
    uint32_t cmos_cloud = 0, cmos_source = 0, cmos_target = 0;
    for (auto [frame, cmos] : {std::pair<const PhotoInfo*, uint32_t*>{&cloud, &cmos_cloud},
                               {&source, &cmos_source},
                               {&target, &cmos_target}}) {
        const int status = read_cmos(frame->stream_channel_index_, *cmos);
        if (status != 0)
            return status < 0 ? status : -status;
    }
    // The second sensor is the source's, unless the cloud comes from that
    // very sensor; then it is the target's.
    const uint32_t cmos_other = cmos_source != cmos_cloud ? cmos_source : cmos_target;
    if (points == 0)
        return VORA_OK;
    if (cmos_cloud >= parameters.size() || cmos_other >= parameters.size())
        return VORA_ERR_INVALID_ARG;

    // A map entry at column j, row r belongs to source pixel (j + 1, r + 1).
    // Only entries inside the region are ever read, so only those are kept,
    // and the region is cut to the source image.
    const uint32_t source_width = source.pixel_width;
    const uint32_t source_height = source.pixel_height;
    const uint64_t col_begin = region.offset_x;
    const uint64_t row_begin = region.offset_y;
    const uint64_t col_end = std::min<uint64_t>(col_begin + region.size_x, source_width);
    const uint64_t row_end = std::min<uint64_t>(row_begin + region.size_y, source_height);
    if (col_begin >= col_end || row_begin >= row_end)
        return VORA_OK;
    const size_t map_width = size_t(col_end - col_begin);
    const size_t map_height = size_t(row_end - row_begin);

    // Target pixel per entry; v = 0 marks an entry nothing maps to (a pixel
    // inside the target never has v = 0).
    std::unique_ptr<Pixel, decltype(&std::free)> map(
        static_cast<Pixel*>(std::calloc(map_width * map_height, sizeof(Pixel))), &std::free);
    if (!map)
        return VORA_ERR_FAILED;

    const CameraParameter& own = parameters[cmos_cloud];
    const CameraParameter& other = parameters[cmos_other];
    // Which projection addresses the source and which the target depends
    // only on the order of the two image sensors.
    const bool source_through_own = cmos_source < cmos_target;
    const CameraParameter& to_source = source_through_own ? own : other;
    const CameraParameter& to_target = source_through_own ? other : own;
    const uint32_t target_width = target.pixel_width;
    const uint32_t target_height = target.pixel_height;
    const float unit = static_cast<float>(cloud.cloud_unit);
    Pixel* entries = map.get();
    for (uint64_t i = 0; i < points; ++i) {
        const detail::CloudPoint point = detail::read_point(cloud.pixel + 6 * i, unit);
        const Pixel s = project_point(to_source, point.x, point.y, point.z, 0.0f, 0.0f);
        if (!pixel_inside(s, source_width, source_height))
            continue;
        const uint64_t col = uint64_t(s.u) - 1;
        const uint64_t row = uint64_t(s.v) - 1;
        if (col < col_begin || col >= col_end || row < row_begin || row >= row_end)
            continue;  // its entry is never read
        const Pixel t = project_point(to_target, point.x, point.y, point.z, 0.0f, 0.0f);
        if (!pixel_inside(t, target_width, target_height))
            continue;
        entries[size_t(row - row_begin) * map_width + size_t(col - col_begin)] = t;  // later points win
    }
    for (size_t e = 0; e < map_width * map_height; ++e) {
        const Pixel t = entries[e];
        if (t.v != 0)
            mask[size_t(t.v) * target_width + size_t(t.u)] = 255;
    }
    return VORA_OK;
}

int roi_mapping_coordinate(const int* mask, const PhotoInfo& frame, RoiPoint& region)
{
    const uint32_t width = frame.pixel_width;
    const uint32_t height = frame.pixel_height;
    if (!mask && uint64_t(width) * height > 0)
        return VORA_ERR_INVALID_ARG;
    int64_t min_row = height, min_col = width, max_row = 0, max_col = 0;
    for (uint64_t r = 0; r < height; ++r) {
        const int* row = mask + r * width;
        for (uint64_t c = 0; c < width; ++c) {
            if (row[c] == 0)
                continue;
            min_row = std::min<int64_t>(min_row, int64_t(r));
            max_row = std::max<int64_t>(max_row, int64_t(r));
            min_col = std::min<int64_t>(min_col, int64_t(c));
            max_col = std::max<int64_t>(max_col, int64_t(c));
        }
    }
    region.offset_x = static_cast<uint32_t>(min_col);
    region.offset_y = static_cast<uint32_t>(min_row);
    // Differences of the extremes, so an empty mask wraps below zero.
    region.size_x = static_cast<uint32_t>(max_col) - static_cast<uint32_t>(min_col);
    region.size_y = static_cast<uint32_t>(max_row) - static_cast<uint32_t>(min_row);
    return VORA_OK;
}

}  // namespace imaging
