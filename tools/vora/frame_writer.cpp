// Writing a frame's files.
#include "frame_writer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "common.h"
#include "depth_colours.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

std::vector<float> points_of(int camera, PhotoInfo& cloud)
{
    // The library clears the array up to 2 x payload_size bytes, which a
    // camera may pad beyond the points.
    const size_t n = 3 * static_cast<size_t>(cloud.pixel_width) * cloud.pixel_height;
    std::vector<float> xyz(std::max(n + 3, (static_cast<size_t>(cloud.payload_size) + 1) / 2));
    Convert3DPointFromCharToFloat(camera, &cloud, xyz.data());
    xyz.resize(n);
    return xyz;
}

std::vector<uint8_t> rgb_of(const PhotoInfo& f)
{
    const size_t n = static_cast<size_t>(f.pixel_width) * f.pixel_height;
    const auto* p = reinterpret_cast<const uint8_t*>(f.pixel);
    if (f.pixel_format == PIXEL_FORMAT_RGB8 && f.payload_size >= 3 * n)
        return std::vector<uint8_t>(p, p + 3 * n);
    std::vector<uint8_t> rgb;
    if (f.pixel_format == PIXEL_FORMAT_MONO8 && f.payload_size >= n)
        for (size_t i = 0; i < n; ++i)
            rgb.insert(rgb.end(), 3, p[i]);
    return rgb;
}

bool depth_of(int camera, PhotoInfo& cloud, std::vector<uint16_t>* z, std::string* error)
{
    const size_t n = static_cast<size_t>(cloud.pixel_width) * cloud.pixel_height;
    std::vector<short> plane(n ? n : 1);
    const int status = GetCloudPlaneZ(camera, &cloud, plane.data());
    if (status != 0) {
        *error = status_text(status);
        return false;
    }
    // The plane holds big-endian values.
    z->resize(n);
    const auto* bytes = reinterpret_cast<const uint8_t*>(plane.data());
    for (size_t i = 0; i < n; ++i)
        (*z)[i] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
    return true;
}

bool convert_to_rgb(int camera, PhotoInfo& f, char** buffer, size_t* capacity, std::string* error)
{
    if (f.pixel_format == PIXEL_FORMAT_YUV422_8) {
        // Converted in place: the buffer must hold the RGB result.
        const size_t need = static_cast<size_t>(f.pixel_width) * f.pixel_height * 3;
        if (*capacity < need) {
            char* bigger = static_cast<char*>(std::realloc(*buffer, need));
            if (!bigger) {
                *error = "out of memory converting a colour frame";
                return false;
            }
            *buffer = f.pixel = bigger;
            *capacity = need;
        }
    }
    RawdataToRgb888(camera, &f);
    if (f.pixel != *buffer) {
        // The Bayer conversion freed our buffer and gave its own.
        *buffer = f.pixel;
        *capacity = f.payload_size;
    }
    return true;
}

std::vector<std::string> FrameWriter::take_names()
{
    std::vector<std::string> names;
    names.swap(names_);
    return names;
}

bool FrameWriter::keep(const std::string& name, const std::function<bool(const std::string&, std::string*)>& write)
{
    std::string error;
    if (!files_.write(name, write, &error))
        return fail(error);
    names_.push_back(name);
    return true;
}

bool FrameWriter::run(const std::string& name, const std::function<int(char* path)>& writer)
{
    return keep(name, [&](const std::string& path, std::string* error) {
        std::vector<char> text(path.begin(), path.end());
        text.push_back(0);
        errno = 0;
        const int status = writer(text.data());
        if (status != 0)
            *error = write_failure(status, errno);
        return status == 0;
    });
}

bool FrameWriter::save(const std::string& name, int (*writer)(int, PhotoInfo*, char*), PhotoInfo& frame)
{
    return run(name, [&](char* path) { return writer(cam_, &frame, path); });
}

bool FrameWriter::save_fused(const std::string& name, int (*writer)(int, PhotoInfo*, float*, char*), PhotoInfo& cloud,
                             std::vector<float>& fused)
{
    return run(name, [&](char* path) { return writer(cam_, &cloud, fused.data(), path); });
}

bool FrameWriter::write_rgb(PhotoInfo& frame, const std::string& name)
{
    if (frame.pixel_format != PIXEL_FORMAT_RGB8 && frame.pixel_format != PIXEL_FORMAT_MONO8) {
        report("warning: png does not fit " + pixel_format_name(frame.pixel_format) + " frames; " + name +
               " not written");
        return true;
    }
    return save(name, SaveImageToPng, frame);
}

bool FrameWriter::write_raw(const std::string& stem, const PhotoInfo& f)
{
    return keep(stem + ".raw", [&](const std::string& path, std::string* error) {
        std::string reason;
        FILE* out = std::fopen(path.c_str(), "wb");
        bool good = out && std::fwrite(f.pixel, 1, f.payload_size, out) == f.payload_size;
        if (!good)
            reason = errno_text(errno);
        if (out && std::fclose(out) != 0 && good) {
            good = false;
            reason = errno_text(errno);
        }
        *error = reason;
        return good;
    });
}

bool FrameWriter::write_depth(const std::string& base, PhotoInfo& f)
{
    bool ok = (!has("pcd") || save(base + ".pcd", SavePointCloudToPcd, f)) &&
              (!has("ply") || save(base + ".ply", SavePointCloudToPly, f)) &&
              (!has("txt") || save(base + ".txt", SavePointCloudToTxt, f)) &&
              (!has("png") ||
               (save(base + ".png", SaveDepthToPng, f) && save(base + "_preview.png", SaveDepthPreviewToPng, f))) &&
              (!has("plybin") || save(base + ".bin.ply", SavePointCloudToBinaryPly, f));
    return ok;
}

bool FrameWriter::write_colour(const std::string& base, PhotoInfo& f)
{
    return (!has("bmp") || save(base + ".bmp", SaveToBMP, f)) && (!has("png") || write_rgb(f, base + ".png"));
}

bool FrameWriter::write_fused(const std::string& stem, PhotoInfo& image, PhotoInfo& cloud)
{
    const std::string channel = std::to_string(cloud.stream_channel_index_);
    const size_t points = static_cast<size_t>(cloud.pixel_width) * cloud.pixel_height;
    std::vector<float> fused(6 * (points ? points : 1));
    int status = FusionImageTo3D(cam_, &image, &cloud, fused.data());
    if (status != 0)
        return fail("fusing colour into channel " + channel + ": " + status_text(status));
    if (!save_fused(stem + "_colour.txt", SavePointCloudWithImageToTxt, cloud, fused))
        return false;
    const bool ply = has("ply") || has("plybin");
    if (has("pcd") && !save_fused(stem + "_colour.pcd", SavePointCloudWithImageToPcd, cloud, fused))
        return false;
    if (ply && !save_fused(stem + "_colour.ply", SavePointCloudWithImageToPly, cloud, fused))
        return false;

    if (!has("pcd") && !ply && !has("png"))
        return true;
    const size_t grid = static_cast<size_t>(image.pixel_width) * image.pixel_height;
    std::vector<char> buffer(6 * (grid ? grid : 1));
    PhotoInfo output{};
    output.pixel = buffer.data();
    status = Fusion3DToRGB(cam_, &image, &cloud, &output);
    if (status != 0)
        return fail("re-gridding channel " + channel + " onto the colour image: " + status_text(status));
    // The grid's points lie on the colour image's pixels: each takes its
    // pixel's colour, in the fused layout (x, y, z, then B, G, R).
    if (has("pcd") || ply) {
        std::vector<uint8_t> grid_rgb = rgb_of(image);
        grid_rgb.resize(3 * grid, 0);
        const std::vector<float> grid_xyz = points_of(cam_, output);
        std::vector<float> grid_fused(6 * (grid ? grid : 1));
        for (size_t i = 0; i < grid; ++i) {
            std::copy(&grid_xyz[3 * i], &grid_xyz[3 * i] + 3, &grid_fused[6 * i]);
            for (int k = 0; k < 3; ++k)
                grid_fused[6 * i + 3 + k] = grid_rgb[3 * i + 2 - k];
        }
        if (has("pcd") && !save_fused(stem + "_grid.pcd", SavePointCloudWithImageToPcd, output, grid_fused))
            return false;
        if (ply && !save_fused(stem + "_grid.ply", SavePointCloudWithImageToPly, output, grid_fused))
            return false;
    }
    if (has("png") && (!save(stem + "_grid.png", SaveDepthToPng, output) ||
                       !save(stem + "_grid_preview.png", SaveDepthPreviewToPng, output)))
        return false;
    return true;
}

}  // namespace vora_tool
