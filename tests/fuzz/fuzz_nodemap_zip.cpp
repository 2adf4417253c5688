// Device descriptions as a camera serves them, zipped: any archive, however
// its entries declare or expand, is read within the description limit or
// refused, and a built node map answers every question.
#include <cstdint>
#include <cstdlib>

#include "fuzz_check.h"
#include "genicam/genicam_nodemap.h"
#include "nodemap_walk.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    fuzz_nodemap::build_and_walk(GenApi::ContentType_ZippedXml, data, size);
    return 0;
}
