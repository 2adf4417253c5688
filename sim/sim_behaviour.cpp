// Placeholder until the camera's register behaviour is written.
#include "sim_camera.h"

namespace vsim {

struct SimCamera::Services {};

uint16_t SimCamera::before_write(uint32_t, uint32_t) { return 0; }
void SimCamera::after_write(uint32_t, uint32_t) {}
void SimCamera::before_read(uint32_t, uint32_t) {}
int SimCamera::start_services() { return 0; }
void SimCamera::stop_services() {}
bool SimCamera::offline() const { return false; }
uint64_t SimCamera::timestamp_ticks() const { return 0; }
bool SimCamera::acquiring() { return false; }
std::string SimCamera::ftp_directory() const { return std::string(); }

}  // namespace vsim
