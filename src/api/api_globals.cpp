// The process-wide objects behind the exported interface.
#include "api/api_table.h"
#include "discovery/vora_discovery.h"

Discovery discovery;
std::vector<DiscoveryInfo> discovery_info;
CameraObject* camera_object = nullptr;
