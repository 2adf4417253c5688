// The page in place of the viewer's when this build had no Node.js and npm
// to build it with.
#include "view_assets.h"

namespace vora_tool {
namespace view {

namespace {

const char kPage[] =
    "<!doctype html><html><head><meta charset=\"utf-8\"><title>vora view</title>"
    "<link rel=\"icon\" href=\"data:,\"></head><body><h1>vora view</h1>"
    "<p>This build of the vora tool has no viewer page: it was built without Node.js and npm. "
    "Install them (Debian: <code>apt-get install nodejs npm</code>) and build again.</p></body></html>\n";

}  // namespace

const Asset kAssets[] = {
    {"/", "text/html; charset=utf-8", reinterpret_cast<const unsigned char*>(kPage), sizeof kPage - 1},
};
const size_t kAssetCount = 1;

}  // namespace view
}  // namespace vora_tool
