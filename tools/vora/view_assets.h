// The page of `vora view`, built from web/ by the build (npm and esbuild)
// into the tool itself: the server looks files up by exact path in this
// table and never reaches the file system for them.
#ifndef VORA_TOOL_VIEW_ASSETS_H
#define VORA_TOOL_VIEW_ASSETS_H

#include <cstddef>

namespace vora_tool {
namespace view {

struct Asset {
    const char* path;  // "/index.html"
    const char* content_type;
    const unsigned char* data;
    size_t size;
};

extern const Asset kAssets[];
extern const size_t kAssetCount;

}  // namespace view
}  // namespace vora_tool

#endif
