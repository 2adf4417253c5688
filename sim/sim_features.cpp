// Placeholder until the feature block is laid out.
#include "sim_camera.h"
#include "sim_description.h"

namespace vsim {

std::vector<SimSensor> SimConfig::default_sensors()
{
    std::vector<SimSensor> s(3);
    s[1].colour = true;
    s[1].pixel_format = 0x02180014;
    return s;
}

void build_features(DeviceMemory&, const SimConfig&) {}
void recompute_payload_sizes(DeviceMemory&, const SimConfig&) {}

}  // namespace vsim
