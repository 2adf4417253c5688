#include "camera/vora_gige_camera.h"

GigeCamera::GigeCamera() = default;

GigeCamera::~GigeCamera()
{
    close_control_channel();
}
