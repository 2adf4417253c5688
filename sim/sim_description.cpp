// Placeholder until the description is written.
#include "sim_camera.h"
#include "sim_description.h"

namespace vsim {

std::string build_description_xml(const SimConfig&)
{
    return std::string();
}

uint32_t install_description(DeviceMemory&, const SimConfig&)
{
    return 0;
}

}  // namespace vsim
