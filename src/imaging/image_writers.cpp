#include "imaging/image_writers.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "imaging/colour_convert.h"
#include "imaging/output_file.h"
#include "imaging/pixel_format.h"

namespace imaging {

namespace {

inline void put_le16(uint8_t* p, uint32_t v)
{
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

inline void put_le32(uint8_t* p, uint32_t v)
{
    put_le16(p, v & 0xFFFF);
    put_le16(p + 2, v >> 16);
}

// Geometry of a bitmap: S bytes per stored row, `offset` to the pixels.
struct BmpLayout {
    uint32_t width;
    uint32_t height;
    uint32_t bytes_per_pixel;  // as stored: 1 or 3
    uint32_t row_size;
    uint32_t offset;
    uint32_t image_size;
    uint32_t file_size;
};

// False when the file would not fit the 32-bit size fields.
bool bmp_layout(const PhotoInfo& frame, uint32_t bytes_per_pixel, BmpLayout* layout)
{
    const uint64_t row = (static_cast<uint64_t>(frame.pixel_width) * bytes_per_pixel + 3) & ~uint64_t(3);
    const uint64_t offset = bytes_per_pixel == 1 ? 1078 : 54;
    const uint64_t image = row * frame.pixel_height;
    if (offset + image > UINT32_MAX || frame.pixel_width > INT32_MAX || frame.pixel_height > INT32_MAX)
        return false;
    *layout = BmpLayout{frame.pixel_width,
                        frame.pixel_height,
                        bytes_per_pixel,
                        static_cast<uint32_t>(row),
                        static_cast<uint32_t>(offset),
                        static_cast<uint32_t>(image),
                        static_cast<uint32_t>(offset + image)};
    return true;
}

void put_headers(OutputFile& out, const BmpLayout& l, uint32_t bits_per_pixel)
{
    const bool grey = l.bytes_per_pixel == 1;
    uint8_t h[54] = {'B', 'M'};
    put_le32(h + 2, l.file_size);
    put_le32(h + 10, l.offset);
    put_le32(h + 14, 40);
    put_le32(h + 18, l.width);
    put_le32(h + 22, l.height);
    put_le16(h + 26, 1);
    put_le16(h + 28, bits_per_pixel);
    put_le32(h + 34, l.image_size);
    put_le32(h + 46, grey ? 256 : 0);
    put_le32(h + 50, grey ? 256 : 0);
    out.write(h, sizeof h);
    if (grey) {
        uint8_t palette[1024];
        for (uint32_t i = 0; i < 256; ++i) {
            palette[4 * i] = palette[4 * i + 1] = palette[4 * i + 2] = static_cast<uint8_t>(i);
            palette[4 * i + 3] = 0;
        }
        out.write(palette, sizeof palette);
    }
}

// Writes the rows bottom-up; `convert` turns `count` source pixels starting
// at `src` into stored bytes at `dst`. Rows go out in pieces that fit the
// output buffer's guaranteed room.
template <typename Convert>
void put_rows(OutputFile& out, const BmpLayout& l, const uint8_t* pixels, size_t source_bytes_per_pixel,
              Convert convert)
{
    const size_t per_piece = OutputFile::kSlack / 3;
    const size_t padding = l.row_size - static_cast<size_t>(l.width) * l.bytes_per_pixel;
    for (uint32_t r = l.height; r-- > 0;) {
        const uint8_t* src = pixels + static_cast<size_t>(r) * l.width * source_bytes_per_pixel;
        for (size_t c = 0; c < l.width; c += per_piece) {
            const size_t n = l.width - c < per_piece ? l.width - c : per_piece;
            char* dst = out.reserve(n * l.bytes_per_pixel);
            convert(reinterpret_cast<uint8_t*>(dst), src + c * source_bytes_per_pixel, n);
            out.commit(dst + n * l.bytes_per_pixel);
        }
        char* pad = out.reserve(padding);
        std::memset(pad, 0, padding);
        out.commit(pad + padding);
    }
}

}  // namespace

int save_grey_bmp(cameralog& log, const PhotoInfo& frame, const char* path)
{
    BmpLayout layout;
    const int bytes = pixel_bytes(frame.pixel_format);
    if (!frame.pixel || !path || bytes != 1 || !payload_covers(frame, bytes) || !bmp_layout(frame, 1, &layout)) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveGrayImageToBmp] Failed to save grey data due to the incoming parameters error, "
                      "error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    OutputFile out(path);
    if (!out.is_open()) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveGrayImageToBmp] Failed to save grey data due to open the file error, error "
                      "code: %d",
                      VORA_ERR_SAVE_OPEN);
        return VORA_ERR_SAVE_OPEN;
    }
    put_headers(out, layout, 8 * static_cast<uint32_t>(bytes));
    put_rows(out, layout, reinterpret_cast<const uint8_t*>(frame.pixel), 1,
             [](uint8_t* dst, const uint8_t* src, size_t n) { std::memcpy(dst, src, n); });
    if (!out.close()) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveGrayImageToBmp] Failed to save grey data due to write the file error, error "
                      "code: %d",
                      VORA_ERR_SAVE_FORMAT);
        return VORA_ERR_SAVE_FORMAT;
    }
    return VORA_OK;
}

int save_rgb888_bmp(cameralog& log, const PhotoInfo& frame, const char* path)
{
    BmpLayout layout;
    const int bytes = pixel_bytes(frame.pixel_format);
    if (!frame.pixel || !path || bytes != 3 || !payload_covers(frame, bytes) || !bmp_layout(frame, 3, &layout)) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveRgb888ToBmp] Failed to save rgb data due to the incoming parameters error, error "
                      "code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    OutputFile out(path);
    if (!out.is_open()) {
        std::puts("open file error");
        log.log_error(gvcp_log_error_level,
                      "[function:SaveRgb888ToBmp] Failed to save rgb data due to open the file error, error code: %d",
                      VORA_ERR_SAVE_OPEN);
        return VORA_ERR_SAVE_OPEN;
    }
    put_headers(out, layout, 8 * static_cast<uint32_t>(bytes));
    put_rows(out, layout, reinterpret_cast<const uint8_t*>(frame.pixel), 3,
             [](uint8_t* dst, const uint8_t* src, size_t n) {
                 for (size_t i = 0; i < n; ++i, dst += 3, src += 3) {
                     dst[0] = src[2];
                     dst[1] = src[1];
                     dst[2] = src[0];
                 }
             });
    if (!out.close()) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveRgb888ToBmp] Failed to save rgb data due to write the file error, error code: %d",
                      VORA_ERR_SAVE_FORMAT);
        return VORA_ERR_SAVE_FORMAT;
    }
    return VORA_OK;
}

int save_rgb565_bmp(cameralog& log, const PhotoInfo& frame, const char* path)
{
    BmpLayout layout;
    if (!frame.pixel || !path || !payload_covers(frame, pixel_bytes(PIXEL_FORMAT_RGB565P)) ||
        !bmp_layout(frame, 3, &layout)) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveRgb565ToBmp] Failed to save rgb data due to the incoming parameters error, error "
                      "code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    OutputFile out(path);
    if (!out.is_open()) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveRgb565ToBmp] Failed to save rgb data due to open the file error, error code: %d",
                      VORA_ERR_SAVE_OPEN);
        return VORA_ERR_SAVE_OPEN;
    }
    put_headers(out, layout, 24);
    put_rows(out, layout, reinterpret_cast<const uint8_t*>(frame.pixel), 2,
             [](uint8_t* dst, const uint8_t* src, size_t n) {
                 for (size_t i = 0; i < n; ++i, dst += 3, src += 2) {
                     const uint32_t v = static_cast<uint32_t>(src[0] | src[1] << 8);
                     dst[0] = static_cast<uint8_t>((v & 0x1F) << 3);
                     dst[1] = static_cast<uint8_t>(((v >> 5) & 0x3F) << 2);
                     dst[2] = static_cast<uint8_t>((v >> 11) << 3);
                 }
             });
    if (!out.close()) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveRgb565ToBmp] Failed to save rgb data due to write the file error, error code: %d",
                      VORA_ERR_SAVE_FORMAT);
        return VORA_ERR_SAVE_FORMAT;
    }
    return VORA_OK;
}

namespace {

// Saves a colour frame converted into a buffer of our own: the caller's
// buffer holds only the raw bytes and stays the caller's.
int save_converted_bmp(cameralog& log, const PhotoInfo& frame, const char* path,
                       char* (*convert)(cameralog&, const PhotoInfo&, uint32_t*), const char* refusal)
{
    if (frame.pixel && path) {
        uint32_t size = 0;
        if (char* rgb = convert(log, frame, &size)) {
            PhotoInfo converted = frame;
            converted.pixel = rgb;
            converted.pixel_format = PIXEL_FORMAT_RGB8;
            converted.payload_size = size;
            const int result = save_rgb888_bmp(log, converted, path);
            std::free(rgb);
            return result;
        }
    }
    log.log_error(gvcp_log_error_level, refusal, VORA_ERR_INVALID_ARG);
    return VORA_ERR_INVALID_ARG;
}

}  // namespace

int save_yuyv_bmp(cameralog& log, const PhotoInfo& frame, const char* path)
{
    return save_converted_bmp(log, frame, path, yuyv_frame_rgb888_copy,
                              "[function:SaveYuyvRgbToBmp] Failed to save yuyv data due to the incoming parameters "
                              "error, error code: %d");
}

int save_bayer_rg8_bmp(cameralog& log, const PhotoInfo& frame, const char* path)
{
    return save_converted_bmp(log, frame, path, bayer_frame_rgb888_copy,
                              "[function:SaveBayerRG8ToBmp] Failed to save bayerRG8 data due to the incoming "
                              "parameters error, error code: %d");
}

int save_bmp(cameralog& log, const PhotoInfo& frame, const char* path)
{
    if (!frame.pixel || !path) {
        log.log_error(gvcp_log_error_level,
                      "[function:SaveToBMP] Failed to save data due to the incoming parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    switch (frame.pixel_format) {
    case PIXEL_FORMAT_MONO8:
        return save_grey_bmp(log, frame, path);
    case PIXEL_FORMAT_BAYER_RG8:
        return save_bayer_rg8_bmp(log, frame, path);
    case PIXEL_FORMAT_YUV422_8:
        return save_yuyv_bmp(log, frame, path);
    case PIXEL_FORMAT_RGB565P:
        return save_rgb565_bmp(log, frame, path);
    case PIXEL_FORMAT_RGB8:
        return save_rgb888_bmp(log, frame, path);
    default:
        log.log_error(gvcp_log_error_level,
                      "[function:SaveToBMP] The save failed because there is no pixel format that supports the data, "
                      "error code: %d",
                      VORA_ERR_SAVE_FORMAT);
        return VORA_ERR_SAVE_FORMAT;
    }
}

}  // namespace imaging
