#include "imaging/png_writer.h"

#include <png.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>

#include "imaging/cloud_convert.h"
#include "imaging/output_file.h"
#include "imaging/pixel_format.h"

namespace imaging {

int write_png(cameralog& log, const char* function, const char* path, uint32_t width, uint32_t height, PngKind kind,
              const PngRowSource& rows, PngAllocator allocate)
{
    const bool grey = kind == PngKind::Grey16;
    const SaveMessages messages{function, grey ? "depth data" : "image data"};
    FILE* fp = std::fopen(path, "wb");
    if (!fp)
        return file_not_created(log, messages);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (!png) {
        std::fclose(fp);
        log.log_error(gvcp_log_error_level, "[function:%s] png_create_write_struct failed, error code: %d", function,
                      VORA_ERR_SAVE_OPEN);
        return VORA_ERR_SAVE_OPEN;
    }
    png_infop info = png_create_info_struct(png);
    if (!info) {
        std::fclose(fp);
        png_destroy_write_struct(&png, nullptr);
        log.log_error(gvcp_log_error_level, "[function:%s] png_create_info_struct failed.", function);
        return VORA_ERR_FAILED;
    }
    // libpng reports errors by jumping back here; nothing with a destructor
    // lives in this function, and what changes after setjmp is volatile.
    uint8_t* volatile scratch = nullptr;
    if (setjmp(png_jmpbuf(png))) {
        std::fclose(fp);
        png_destroy_write_struct(&png, &info);
        std::free(scratch);
        log.log_error(gvcp_log_error_level, "[function:%s] Error during init_io.", function);
        return VORA_ERR_FAILED;
    }
    png_init_io(png, fp);
    png_set_IHDR(png, info, width, height, grey ? 16 : 8, grey ? PNG_COLOR_TYPE_GRAY : PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    if (grey) {
        // Depth is smooth across a row: the difference to the left neighbour
        // leaves runs that run-length compression finds at once. Noisy depth
        // comes out within a few per cent of the defaults' size, many times
        // faster; nothing of the samples changes.
        png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
        png_set_compression_level(png, 1);
        png_set_compression_strategy(png, Z_RLE);
    } else {
        // Pictures to look at: fast compression matters more than the last
        // few bytes.
        png_set_compression_level(png, 3);
    }
    png_write_info(png, info);

    if (rows.needs_scratch) {
        scratch = static_cast<uint8_t*>(allocate(static_cast<size_t>(width) * (grey ? 2 : 3)));
        if (!scratch) {
            log.log_error(gvcp_log_error_level, "[function:%s] malloc image failed.", function);
            std::fclose(fp);
            png_destroy_write_struct(&png, &info);
            return VORA_ERR_FAILED;
        }
    }
    if (height > 0x1FFFFFFFu) {
        log.log_error(gvcp_log_error_level, "[function:%s] Image is too tall to process in memory.", function);
        png_error(png, "Image is too tall to process in memory");
    }
    for (uint32_t r = 0; r < height; ++r)
        png_write_row(png, rows.row(rows.context, r, scratch));
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    std::free(scratch);
    if (std::fclose(fp) != 0)
        return file_not_written(log, messages, VORA_ERR_FAILED);
    return VORA_OK;
}

int write_grey16_png(cameralog& log, const char* function, const char* path, uint32_t width, uint32_t height,
                     const PngRowSource& rows, PngAllocator allocate)
{
    return write_png(log, function, path, width, height, PngKind::Grey16, rows, allocate);
}

namespace {

const uint8_t* depth_row(const void* context, uint32_t r, uint8_t* scratch)
{
    const PhotoInfo& frame = *static_cast<const PhotoInfo*>(context);
    const size_t width = frame.pixel_width;
    raw_cloud_plane(frame.pixel + 6 * width * r, width, static_cast<float>(frame.cloud_unit), 2,
                    reinterpret_cast<char*>(scratch));
    return scratch;
}

const uint8_t* row_in_memory(const void* context, uint32_t r, uint8_t*)
{
    const PngRowsInMemory& rows = *static_cast<const PngRowsInMemory*>(context);
    return rows.first + rows.row_bytes * r;
}

}  // namespace

PngRowSource png_rows_in_memory(const PngRowsInMemory& rows)
{
    return PngRowSource{row_in_memory, &rows, false};
}

int save_depth_png(cameralog& log, const PhotoInfo& frame, const char* path)
{
    static constexpr SaveMessages kMessages{"SaveDepthToPng", "depth data"};
    if (!is_readable_cloud(&frame) || !path)
        return refuse_save(log, kMessages);
    const PngRowSource rows{depth_row, &frame, true};
    return write_grey16_png(log, kMessages.function, path, frame.pixel_width, frame.pixel_height, rows);
}

int save_plane_png(cameralog& log, const PhotoInfo& frame, const short* plane, const char* path)
{
    // The plane is width x height values of this frame's cloud: a frame the
    // plane could not have been taken from says nothing about its size.
    static constexpr SaveMessages kMessages{"SaveCloudPlane", "cloud plane"};
    if (!is_readable_cloud(&frame) || !plane || !path)
        return refuse_save(log, kMessages);
    const PngRowsInMemory samples{reinterpret_cast<const uint8_t*>(plane), static_cast<size_t>(frame.pixel_width) * 2};
    return write_grey16_png(log, kMessages.function, path, frame.pixel_width, frame.pixel_height,
                            png_rows_in_memory(samples));
}

}  // namespace imaging
