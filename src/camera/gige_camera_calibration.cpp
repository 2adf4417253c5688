// Calibration blocks of each sensor, read straight from camera memory.
#include <cstring>

#include "camera/vora_gige_camera.h"

int GigeCamera::GetCamInternelParameter(int sensor, float* coefficients, float* matrix)
{
    if (!coefficients || !matrix || sensor < 0)
        return VORA_ERR_INVALID_ARG;
    char buffer[600] = {};
    unsigned address = 0;
    int status = feature_register("InternelParameter", static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE, &address);
    if (status == 0)
        status = ReadMem(address, 56, buffer);
    if (status != 0) {
        const int code = status > 0 ? static_cast<int16_t>(status) : status;
        log.log_error(gvcp_log_error_level,
                      "[function:GetCamInternelParameter] Failed to get camera internel parameter. error code: %d.",
                      code);
        return code;
    }
    // Stored as little-endian floats, which is also the host's order.
    std::memcpy(coefficients, buffer + 12, 5 * sizeof(float));
    std::memcpy(matrix, buffer + 12 + 5 * sizeof(float), 9 * sizeof(float));
    return VORA_OK;
}

int GigeCamera::GetCamExternelParameter(int sensor, float* rotation, float* translation)
{
    if (!rotation || !translation || sensor < 0)
        return VORA_ERR_INVALID_ARG;
    char buffer[600] = {};
    unsigned address = 0;
    int status = feature_register("ExternelParameter", static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE, &address);
    if (status == 0)
        status = ReadMem(address, 48, buffer);
    if (status != 0) {
        const int code = status > 0 ? static_cast<int16_t>(status) : status;
        log.log_error(gvcp_log_error_level,
                      "[function:GetCamExternelParameter] Failed to get camera externel parameter. error code: %d.",
                      code);
        return code;
    }
    std::memcpy(rotation, buffer + 12, 9 * sizeof(float));
    std::memcpy(translation, buffer + 12 + 9 * sizeof(float), 3 * sizeof(float));
    return VORA_OK;
}
