#include <cstdlib>
#include <cstring>

#include "camera/description_port.h"
#include "camera/vora_gige_camera.h"
#include "genicam/genicam_evaluator.h"

GigeCamera::GigeCamera()
    : xml_data(static_cast<char*>(std::calloc(2, 1))), node_map_ref(new GenApi::CNodeMapRef("Device"))
{
    std::memset(computer_adapter, 0, sizeof computer_adapter);
    std::memset(ip_text, 0, sizeof ip_text);
}

GigeCamera::~GigeCamera()
{
    // A camera destroyed while connected still gives everything back.
    if (connected || heartbeat_thread.joinable())
        CameraDisconnect();
    close_control_channel();
    std::free(xml_data);
}
