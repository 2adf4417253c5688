// Device descriptions as a camera serves them, as plain XML: the node map
// is built or refused with a reason, and every question the camera code
// asks of a built one is answered without a fault.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "fuzz_check.h"
#include "genicam/genicam_nodemap.h"
#include "nodemap_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_nodemap::build_and_walk(GenApi::ContentType_Xml, data, size);
    return 0;
}
