// The files of one frame, as `vora capture` writes them and the viewer's
// save button too, all with the library's writers (PCD, PLY, binary PLY,
// text, 16-bit PNG and its colour-mapped preview, RGB PNG, BMP, coloured
// PCD and PLY), each through OutputFiles so that no file is left
// half-written under its final name.
#ifndef VORA_TOOL_FRAME_WRITER_H
#define VORA_TOOL_FRAME_WRITER_H

#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "output_files.h"
#include "vora_base_type.h"

namespace vora_tool {

// The points of a raw cloud in millimetres, 3 floats each.
std::vector<float> points_of(int camera, PhotoInfo& cloud);
// The RGB bytes of a colour frame in RGB8 (or Mono8, grey repeated); empty
// for other formats.
std::vector<uint8_t> rgb_of(const PhotoInfo& frame);
// The depth (z) of every point of a raw cloud in its raw units, 0 where
// there is no point; false with the reason in *error.
bool depth_of(int camera, PhotoInfo& cloud, std::vector<uint16_t>* z, std::string* error);
// Converts a YUV422 or Bayer colour frame to RGB8 in place. *buffer is the
// frame's malloc'ed buffer of *capacity bytes: it may grow, and the Bayer
// conversion replaces it with one of the library's; frame.pixel follows.
// False (out of memory) with the reason in *error.
bool convert_to_rgb(int camera, PhotoInfo& frame, char** buffer, size_t* capacity, std::string* error);

class FrameWriter {
public:
    // formats: pcd, ply, plybin, txt, png, bmp, raw.
    FrameWriter(int camera, OutputFiles& files, std::set<std::string> formats)
        : cam_(camera), files_(files), formats_(std::move(formats))
    {}

    bool has(const char* format) const { return formats_.count(format) != 0; }

    // Each writes stem + extension in the formats that fit and answers
    // false at the first failure, whose message error() then holds.
    // The frame's bytes as received.
    bool write_raw(const std::string& stem, const PhotoInfo& frame);
    // A depth cloud: pcd, ply, txt, png (16-bit depth and _preview.png), plybin.
    bool write_depth(const std::string& stem, PhotoInfo& cloud);
    // A colour frame in RGB8 or Mono8: bmp, png.
    bool write_colour(const std::string& stem, PhotoInfo& image);
    // The cloud with the colour each point sees in the image: STEM_colour.txt
    // always, STEM_colour.pcd/.ply and the cloud re-gridded onto the image
    // (STEM_grid.pcd/.ply/.png/_preview.png) as the formats ask.
    bool write_fused(const std::string& stem, PhotoInfo& image, PhotoInfo& cloud);

    // Names of the files written since the last call.
    std::vector<std::string> take_names();
    const std::string& error() const { return error_; }

private:
    bool keep(const std::string& name, const std::function<bool(const std::string&, std::string*)>& write);
    // Runs a library writer into a temporary file and gives it its name.
    bool run(const std::string& name, const std::function<int(char* path)>& writer);
    bool save(const std::string& name, int (*writer)(int, PhotoInfo*, char*), PhotoInfo& frame);
    // The same for the writers of a cloud with a fused array.
    bool save_fused(const std::string& name, int (*writer)(int, PhotoInfo*, float*, char*), PhotoInfo& cloud,
                    std::vector<float>& fused);
    bool write_rgb(PhotoInfo& frame, const std::string& name);
    bool fail(const std::string& message)
    {
        error_ = message;
        return false;
    }

    int cam_;
    OutputFiles& files_;
    std::set<std::string> formats_;
    std::vector<std::string> names_;
    std::string error_;
};

}  // namespace vora_tool

#endif
