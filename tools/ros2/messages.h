// The ROS 2 messages of one frame of a channel: its cloud, depth image and
// camera info, or its colour image and camera info, and the registered
// cloud of the first depth channel; written on the channel's topics.
#ifndef VORA_ROS2_MESSAGES_H
#define VORA_ROS2_MESSAGES_H

#include "bridge_state.h"

namespace vora_ros2 {

// Publishes the frame waiting in ch.publish with the given stamp. A frame
// whose size fields do not fit the bytes it brought, or that cannot be
// converted, is counted against its topics and not published.
void publish_frame(Camera& cam, Channel& ch, const RosTime& stamp);

}  // namespace vora_ros2

#endif
