#include "imaging/image_png_writer.h"

#include <cstdlib>
#include <memory>

#include "imaging/colour_convert.h"
#include "imaging/output_file.h"
#include "imaging/pixel_format.h"
#include "imaging/png_writer.h"

namespace imaging {

namespace {

constexpr SaveMessages kMessages{"SaveImageToPng", "image data"};

struct Image {
    const uint8_t* pixels;
    uint32_t width;
    uint32_t format;  // of `pixels`: RGB8, Mono8 or RGB565p
};

const uint8_t* image_row(const void* context, uint32_t r, uint8_t* scratch)
{
    const Image& image = *static_cast<const Image*>(context);
    const size_t w = image.width;
    switch (image.format) {
    case PIXEL_FORMAT_MONO8: {
        const uint8_t* src = image.pixels + w * r;
        for (size_t x = 0; x < w; ++x)
            scratch[3 * x] = scratch[3 * x + 1] = scratch[3 * x + 2] = src[x];
        return scratch;
    }
    case PIXEL_FORMAT_RGB565P: {
        const uint8_t* src = image.pixels + 2 * w * r;
        for (size_t x = 0; x < w; ++x) {
            const uint32_t v = static_cast<uint32_t>(src[2 * x] | src[2 * x + 1] << 8);
            scratch[3 * x] = static_cast<uint8_t>((v >> 11) << 3);
            scratch[3 * x + 1] = static_cast<uint8_t>(((v >> 5) & 0x3F) << 2);
            scratch[3 * x + 2] = static_cast<uint8_t>((v & 0x1F) << 3);
        }
        return scratch;
    }
    default:
        return image.pixels + 3 * w * r;
    }
}

}  // namespace

int save_image_png(cameralog& log, const PhotoInfo& frame, const char* path)
{
    if (!frame.pixel || !path)
        return refuse_save(log, kMessages);
    Image image{reinterpret_cast<const uint8_t*>(frame.pixel), frame.pixel_width, frame.pixel_format};
    std::unique_ptr<char, decltype(&std::free)> converted(nullptr, std::free);
    switch (frame.pixel_format) {
    case PIXEL_FORMAT_RGB8:
    case PIXEL_FORMAT_MONO8:
    case PIXEL_FORMAT_RGB565P:
        if (!payload_covers(frame, static_cast<unsigned>(pixel_bytes(frame.pixel_format))))
            return refuse_save(log, kMessages);
        break;
    case PIXEL_FORMAT_YUV422_8:
    case PIXEL_FORMAT_BAYER_RG8: {
        uint32_t size = 0;
        converted.reset(frame.pixel_format == PIXEL_FORMAT_YUV422_8 ? yuyv_frame_rgb888_copy(log, frame, &size)
                                                                    : bayer_frame_rgb888_copy(log, frame, &size));
        if (!converted)
            return refuse_save(log, kMessages);
        image = Image{reinterpret_cast<const uint8_t*>(converted.get()), frame.pixel_width, PIXEL_FORMAT_RGB8};
        break;
    }
    default:
        return pixel_format_unsupported(log, kMessages.function);
    }
    const PngRowSource rows{image_row, &image, image.format != PIXEL_FORMAT_RGB8};
    return write_png(log, kMessages.function, path, frame.pixel_width, frame.pixel_height, PngKind::Rgb8, rows);
}

}  // namespace imaging
