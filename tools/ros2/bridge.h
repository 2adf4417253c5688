// vora-ros2's run: cameras opened, their frames published as ROS 2 topics
// until asked to stop, everything given back.
#ifndef VORA_ROS2_BRIDGE_H
#define VORA_ROS2_BRIDGE_H

#include "bridge_options.h"

namespace vora_ros2 {

// An exit code of tools/vora/common.h.
int run_bridge(const BridgeOptions& options, int domain);

}  // namespace vora_ros2

#endif
