// Firmware upgrade: the image goes to the camera over FTP, then the camera
// is told to apply it and restart.
#include <unistd.h>

#include "camera/vora_gige_camera.h"
#include "ftp/vora_ftpserver.h"

namespace {

constexpr int FIRMWARE_UPDATE_START = 1;
constexpr int DEVICE_REBOOT_KEY = 0x111F;

}  // namespace

int GigeCamera::FirmwareUpgrade(DiscoveryInfo info, const char* path)
{
    return FirmwareUpgrade(info, path, nullptr, nullptr);
}

int GigeCamera::FirmwareUpgrade(DiscoveryInfo info, const char* path, FirmwareProgress progress, void* user)
{
    // A missing image is the caller's error whatever the camera's state.
    if (!path || access(path, F_OK) != 0)
        return VORA_ERR_FAILED;
    // Both registers are known before the image goes out: uploading one
    // the camera cannot be told to apply would only leave it on the camera.
    unsigned update_register = 0, reboot_register = 0;
    if (const int lookup = feature_register("FirmwareUpdate", 0, &update_register))
        return lookup;
    if (const int lookup = feature_register("DeviceReboot", 0, &reboot_register))
        return lookup;
    // Nothing is written unless the whole image arrived: a camera told to
    // update from a partial file would not come back.
    const int result = ftp_upload(CameraIP(info.camera_ip), path, progress, user);
    if (result != 0)
        return result;
    int status = WriteRegister(update_register, FIRMWARE_UPDATE_START);
    if (status != 0) {
        log.log_error(gvcp_log_error_level, "[function:FirmwareUpgrade] The firmware upgrade error. error code: %x.",
                      status);
        return status;
    }
    status = WriteRegister(reboot_register, DEVICE_REBOOT_KEY);
    if (status != 0) {
        log.log_error(gvcp_log_error_level, "[function:FirmwareUpgrade] The camera reboot error. error code: %x.",
                      status);
        return status;
    }
    return VORA_OK;
}
