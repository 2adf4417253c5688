// Camera features reached through their registers: timestamp, lights,
// exposure, gain, triggers, acquisition, heartbeat timeout and region of
// interest. Every operation checks the connection first, then its
// arguments, and only then goes on the wire.
#include <utility>

#include "camera/vora_gige_camera.h"
#include "gvcp_codec.h"

namespace {

constexpr int TIMESTAMP_ENABLE_BIT = 0x80000;  // bit 19 of the GVCP configuration
constexpr int TIMESTAMP_SHIFT = 19;
constexpr int TIMESTAMP_LATCH = 2;
constexpr unsigned MAX_TIMESTAMP_STATUS = 9;  // SLAVE: synchronised to a master
constexpr int MAX_PERCENT = 100;

bool disconnected(GigeCamera& c, const char* message)
{
    if (c.connected)
        return false;
    c.log.log_debug(gvcp_log_debug_level, "%s", message);
    return true;
}

// Writes and logs a refused write with its status.
int write_logged(GigeCamera& c, unsigned address, int value, const char* failure)
{
    const int status = c.WriteRegister(address, value);
    if (status != 0)
        c.log.log_error_listed(gvcp_log_error_level, failure, status);
    return status;
}

// Reads into *value and logs a refused read with its status.
int read_logged(GigeCamera& c, unsigned address, int* value, const char* failure)
{
    const int status = c.ReadRegister(address, value);
    if (status != 0)
        c.log.log_error_listed(gvcp_log_error_level, failure, status);
    return status;
}

// A feature's register at `offset` is looked up first; when the lookup
// fails, its code is the answer and nothing goes on the wire.
int read_into(GigeCamera& c, const char* feature, unsigned offset, int* value, const char* failure)
{
    unsigned address = 0;
    const int lookup = c.feature_register(feature, offset, &address);
    return lookup != 0 ? lookup : read_logged(c, address, value, failure);
}

int write_feature(GigeCamera& c, const char* feature, unsigned offset, int value, const char* failure)
{
    unsigned address = 0;
    const int lookup = c.feature_register(feature, offset, &address);
    return lookup != 0 ? lookup : write_logged(c, address, value, failure);
}

// A getter of a plain register: its contents, or the failure.
int read_feature(GigeCamera& c, const char* feature, unsigned offset, const char* failure)
{
    int value = -1;
    const int status = read_into(c, feature, offset, &value, failure);
    return status != 0 ? status : value;
}

// Switches accept 0 and 1 only; negative values are out of range as well.
bool is_switch(int value)
{
    return static_cast<unsigned>(value) <= 1;
}

// GetNodeMax/Min/IncValue answer a negative code when a bound cannot be
// read; such a bound must not let a value through.
bool bounds_readable(int a, int b)
{
    return a >= 0 && b >= 0;
}

// The 64-bit failures carry the 32-bit status sign-extended.
unsigned long long widen(int status)
{
    return static_cast<unsigned long long>(static_cast<long long>(status));
}

// High word, then low word, of a value split over two registers; both are
// looked up before either is read.
unsigned long long read_split(GigeCamera& c, const char* high_name, const char* low_name, const char* high_failure,
                              const char* low_failure)
{
    unsigned high_address = 0, low_address = 0;
    if (const int lookup = c.feature_register(high_name, 0, &high_address))
        return widen(lookup);
    if (const int lookup = c.feature_register(low_name, 0, &low_address))
        return widen(lookup);
    int high = 0;
    int low = 0;
    int status = read_logged(c, high_address, &high, high_failure);
    if (status != 0)
        return widen(status);
    status = read_logged(c, low_address, &low, low_failure);
    if (status != 0)
        return widen(status);
    return (static_cast<unsigned long long>(static_cast<uint32_t>(high)) << 32) | static_cast<uint32_t>(low);
}

}  // namespace

// ---- timestamp ----

int GigeCamera::SetTimestamp(int on)
{
    if (disconnected(*this, "[function:SetTimestamp] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (!is_switch(on)) {
        log.log_error(
            gvcp_log_error_level,
            "[function:SetTimestamp] Failed to set the timestamp due to the incoming parameters error, error code: %d",
            VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return write_feature(*this, "GevIEEE1588", 0, on * TIMESTAMP_ENABLE_BIT,
                         "[function:SetTimestamp] Failed to set the timestamp. error code: %x.");
}

int GigeCamera::GetTimestamp()
{
    if (disconnected(*this, "[function:GetTimestamp] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    int value = -1;
    const int status =
        read_into(*this, "GevIEEE1588", 0, &value, "[function:GetTimestamp] Failed to read register. error code: %x.");
    if (status != 0)
        return status;
    // Any other bit set above the switch makes the answer meaningless.
    const int on = value >> TIMESTAMP_SHIFT;
    if (on != 0 && on != 1) {
        log.log_error(gvcp_log_error_level, "[function:GetTimestamp] Failed to get the timestamp.");
        return VORA_ERR_VALUE_RANGE;
    }
    return on;
}

int GigeCamera::GetTimestampStatus()
{
    if (disconnected(*this, "[function:GetTimestampStatus] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    int value = -1;
    const int status = read_into(*this, "GevIEEE1588Status", 0, &value,
                                 "[function:GetTimestampStatus] Failed to read register. error code: %x.");
    if (status != 0)
        return status;
    // The state is the low four bits; the bits above are reserved.
    const unsigned state = static_cast<unsigned>(value) & gvcp::IEEE1588_STATUS_MASK;
    if (state > MAX_TIMESTAMP_STATUS) {
        log.log_error(gvcp_log_error_level, "[function:GetTimestampStatus] Failed to get status of the timestamp.");
        return VORA_ERR_VALUE_RANGE;
    }
    return static_cast<int>(state);
}

int GigeCamera::SetTimestampControlLatch()
{
    if (disconnected(*this, "[function:SetTimestampControlLatch] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    return write_feature(*this, "GevTimestampControlLatch", 0, TIMESTAMP_LATCH,
                         "[function:SetTimestampControlLatch] Failed to set timestamp control latch. error code: %x.");
}

// The value last latched; latching is SetTimestampControlLatch's job.
unsigned long long GigeCamera::GetTimestampValue()
{
    if (disconnected(*this, "[function:GetTimestampValue] The camera disconnected."))
        return widen(VORA_ERR_NOT_CONNECTED);
    return read_split(*this, "GEV_BOOTSTRAP_TimestampValueLatchedHigh", "GEV_BOOTSTRAP_TimestampValueLatchedLow",
                      "[function:GetTimestampValue] Failed to read register of high timestamp. error code: %x.",
                      "[function:GetTimestampValue] Failed to read register of low timestamp. error code: %x.");
}

unsigned long long GigeCamera::GetTimestampTickFrequency()
{
    if (disconnected(*this, "[function:GetTimestampTickFrequency] The camera disconnected."))
        return widen(VORA_ERR_NOT_CONNECTED);
    return read_split(*this, "TimestampTickFrequencyHiReg", "TimestampTickFrequencyLoReg",
                      "[function:GetTimestampValue] Failed to read register of high tick_frequency. error code: %x.",
                      "[function:GetTimestampValue] Failed to read register of low tick_frequency. error code: %x.");
}

// ---- lights ----

int GigeCamera::SetStrobeLEDswitch(int on)
{
    if (disconnected(*this, "[function:SetStrobeLEDswitch] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (!is_switch(on)) {
        log.log_error(
            gvcp_log_error_level,
            "[function:SetStrobeLEDswitch] Failed to set value due to the incoming parameters error, error code: %d",
            VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return write_feature(
        *this, "StrobeLEDswitch", 0, on,
        "[function:SetStrobeLEDswitch] Failed to set value to control strobe LED onoff switch. error code: %x.");
}

int GigeCamera::GetStrobeLEDswitch()
{
    if (disconnected(*this, "[function:GetStrobeLEDswitch] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    return read_feature(*this, "StrobeLEDswitch", 0,
                        "[function:GetStrobeLEDswitch] Failed to read register. error code: %x.");
}

int GigeCamera::SetLaserbrightness(int percent)
{
    if (disconnected(*this, "[function:SetLaserbrightness] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (percent < 1 || percent > MAX_PERCENT) {
        log.log_error(
            gvcp_log_error_level,
            "[function:SetLaserbrightness] Failed to set value due to the incoming parameters error, error code: %d",
            VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return write_feature(
        *this, "Laserbrightness", 0, percent,
        "[function:SetLaserbrightness] Failed to set value to control strobe LED onoff switch. error code: %x.");
}

int GigeCamera::GetLaserbrightness()
{
    if (disconnected(*this, "[function:GetLaserbrightness] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    return read_feature(*this, "Laserbrightness", 0,
                        "[function:GetLaserbrightness] Failed to read register. error code: %x.");
}

int GigeCamera::SetStrobeLEDbrightress(int percent)
{
    if (disconnected(*this, "[function:SetStrobeLEDbrightress] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (percent < 1 || percent > MAX_PERCENT) {
        log.log_error(gvcp_log_error_level,
                      "[function:SetStrobeLEDbrightress] Failed to set value due to the incoming parameters error, "
                      "error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return write_feature(*this, "StrobeLEDbrightress", 0, percent,
                         "[function:SetStrobeLEDbrightress] Failed to set value to StrobeLED brightness.Persentage "
                         "mode. error code: %x.");
}

int GigeCamera::GetStrobeLEDbrightress()
{
    if (disconnected(*this, "[function:GetStrobeLEDbrightress] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    return read_feature(*this, "StrobeLEDbrightress", 0,
                        "[function:GetStrobeLEDbrightress] Failed to read register. error code: %x.");
}

// ---- exposure ----
// Per-sensor registers lie sensor x 0x100 apart; an index outside the
// camera's sensors would reach another feature's register, so it is refused.

int GigeCamera::SetAutoExposure(int mode, int sensor)
{
    if (disconnected(*this, "[function:SetAutoExposure] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (!is_switch(mode) || sensor < 0 || sensor >= cmos_count) {
        log.log_error(gvcp_log_error_level,
                      "[function:SetAutoExposure] Failed to set exposure model due to the incoming parameters error, "
                      "error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return write_feature(*this, "ExposureAuto", static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE, mode,
                         "[function:SetAutoExposure] Failed to set exposure model. error code: %x.");
}

int GigeCamera::GetAutoExposure(int sensor)
{
    if (disconnected(*this, "[function:GetAutoExposure] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (sensor < 0 || sensor >= cmos_count) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetAutoExposure] Failed to get exposure model due to the incoming parameters error, "
                      "error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return read_feature(*this, "ExposureAuto", static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE,
                        "[function:GetAutoExposure] Failed to read register. error code: %x.");
}

int GigeCamera::SetCamExposureGainLevel(int sensor, int level)
{
    if (disconnected(*this, "[function:SetRGBCamExposureGainLevel] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (level <= 0 || sensor < 0 || sensor >= cmos_count) {
        log.log_error(gvcp_log_error_level,
                      "[function:SetRGBCamExposureGainLevel] Failed to set exposure level due to the incoming "
                      "parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return write_feature(*this, "ExposureCompensationLevel", static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE, level,
                         "[function:SetRGBCamExposureGainLevel] Failed to set exposure level. error code: %x.");
}

int GigeCamera::GetCamExposureGainLevel(int sensor)
{
    if (disconnected(*this, "[function:GetRGBCamExposureGainLevel] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (sensor < 0 || sensor >= cmos_count) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetRGBCamExposureGainLevel] Failed to get exposure level due to the incoming "
                      "parameters error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    return read_feature(*this, "ExposureCompensationLevel", static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE,
                        "[function:GetRGBCamExposureGainLevel] Failed to read register. error code: %x.");
}

int GigeCamera::SetMutipleExposure(int count)
{
    if (disconnected(*this, "[function:SetMutipleExposure] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    unsigned address = 0;
    if (const int lookup = feature_register("ExposureType", 0, &address))
        return lookup;
    if (count <= 0) {
        log.log_error(gvcp_log_error_level,
                      "[function:SetMutipleExposure] Failed to set mutiple exposure. error code: %x.", VORA_ERR_FAILED);
        return VORA_ERR_FAILED;
    }
    return write_logged(*this, address, count,
                        "[function:SetMutipleExposure] Failed to set mutiple exposure. error code: %x.");
}

int GigeCamera::GetMutipleExposure()
{
    if (disconnected(*this, "[function:GetMutipleExposure] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    return read_feature(*this, "ExposureType", 0,
                        "[function:SetMutipleExposure] Failed to read register. error code: %x.");
}

int GigeCamera::SetExposureTime(int time, int sensor)
{
    if (disconnected(*this, "[function:SetExposureTime] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (sensor < 0 || sensor >= cmos_count) {
        log.log_error(gvcp_log_error_level,
                      "[function:SetExposureTime] Failed to set exposure time due to the incoming parameters error, "
                      "error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    unsigned address = 0;
    if (const int lookup =
            feature_register("ExposureTime", static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE, &address))
        return lookup;
    const int max = GetNodeMaxValue("ExposureTime");
    const int min = GetNodeMinValue("ExposureTime");
    // The minimum itself is not a usable exposure on this camera.
    if (!bounds_readable(max, min) || time <= min || time > max) {
        log.log_error(gvcp_log_error_level,
                      "[function:SetExposureTime] Failed to set exposure time due to the incoming parameters error.");
        return VORA_ERR_INVALID_ARG;
    }
    return write_logged(*this, address, time, "[function:SetExposureTime] Failed to set exposure time.error code: %x.");
}

int GigeCamera::GetExposureTime(int sensor)
{
    if (disconnected(*this, "[function:GetExposureTime] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    if (sensor < 0 || sensor >= cmos_count) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetExposureTime] Failed to get exposure time due to the incoming parameters error.");
        return VORA_ERR_INVALID_ARG;
    }
    return read_feature(*this, "ExposureTime", static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE,
                        "[function:GetExposureTime] Failed to read register. error code: %x.");
}

// ---- gain ----
// Type 1 is analog, 2 digital; channel 0 the depth sensors, 1 the colour one.

namespace {

const char* gain_feature(int type, int channel)
{
    static const char* const names[2][2] = {{"analoggain", "analoggain_rgb"}, {"digitalgain", "digitalgain_rgb"}};
    if (type < 1 || type > 2 || channel < 0 || channel > 1)
        return nullptr;
    return names[type - 1][channel];
}

// Logs why (type, channel) names no gain: the type first, then the channel.
void log_gain_arguments(GigeCamera& c, int type, bool set)
{
    const char* message;
    if (type == 1)
        message =
            set ? "[function:SetGain] Failed to set the value of analog gain due to the incoming parameters error."
                : "[function:GetGain] Failed to get the value of analog gain due to the incoming parameters error.";
    else if (type == 2)
        message =
            set ? "[function:SetGain] Failed to set the value of digital gain due to the incoming parameters error."
                : "[function:GetGain] Failed to get the value of digital gain due to the incoming parameters error.";
    else
        message = set ? "[function:SetGain] Failed to set the value of gain due to the incoming parameters error."
                      : "[function:GetGain] Failed to get the value of gain due to the incoming parameters error.";
    c.log.log_error(gvcp_log_error_level, "%s", message);
}

}  // namespace

int GigeCamera::SetGain(int type, int value, int channel)
{
    if (disconnected(*this, "[function:SetGain] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    const char* feature = gain_feature(type, channel);
    if (!feature) {
        log_gain_arguments(*this, type, true);
        return VORA_ERR_INVALID_ARG;
    }
    unsigned address = 0;
    if (const int lookup = feature_register(feature, 0, &address))
        return lookup;
    const int max = GetNodeMaxValue(feature);
    const int min = GetNodeMinValue(feature);
    if (!bounds_readable(max, min) || value < min || value > max) {
        log.log_error(gvcp_log_error_level, "[function:SetGain] Failed to set the value of gain.");
        return VORA_ERR_GAIN_RANGE;
    }
    return write_logged(*this, address, value, "[function:SetGain] Failed to set the value of gain. error code: %x.");
}

int GigeCamera::GetGain(int type, int channel)
{
    if (disconnected(*this, "[function:GetGain] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    const char* feature = gain_feature(type, channel);
    if (!feature) {
        log_gain_arguments(*this, type, false);
        return VORA_ERR_INVALID_ARG;
    }
    int value = -1;
    const int status =
        read_into(*this, feature, 0, &value, "[function:GetGain] Failed to read register. error code: %x.");
    if (status != 0)
        return status;
    if (value < 0) {
        log.log_error(gvcp_log_error_level, "[function:GetGain] Failed to get the value of gain.");
        return VORA_ERR_VALUE_RANGE;
    }
    return value;
}

// ---- triggers and acquisition ----

namespace {

// A switch-valued setting: 0 or 1, else the (argument-less) range message.
int set_switch(GigeCamera& c, int value, const char* feature, const char* disconnected_message,
               const char* range_message, const char* failure)
{
    if (disconnected(c, disconnected_message))
        return VORA_ERR_NOT_CONNECTED;
    if (!is_switch(value)) {
        c.log.log_error(gvcp_log_error_level, "%s", range_message);
        return VORA_ERR_INVALID_ARG;
    }
    return write_feature(c, feature, 0, value, failure);
}

// A count of software triggers: at least one.
int set_count(GigeCamera& c, int count, const char* feature, const char* disconnected_message,
              const char* range_message, const char* failure)
{
    if (disconnected(c, disconnected_message))
        return VORA_ERR_NOT_CONNECTED;
    if (count <= 0) {
        c.log.log_error(gvcp_log_error_level, "%s", range_message);
        return VORA_ERR_INVALID_ARG;
    }
    return write_feature(c, feature, 0, count, failure);
}

}  // namespace

int GigeCamera::SetTriggerMode(int mode)
{
    return set_switch(*this, mode, "TriggerMode", "[function:SetTriggerMode] The camera disconnected.",
                      "[function:SetTriggerMode] Failed to set the trigger model due to the incoming parameters error.",
                      "[function:SetTriggerMode] Failed to set the trigger model. error code: %x.");
}

int GigeCamera::SetTriggerSource(int source)
{
    return set_switch(
        *this, source, "TriggerSource", "[function:SetTriggerSource] The camera disconnected.",
        "[function:SetTriggerSource] Failed to set the trigger source type due to the incoming parameters error.",
        "[function:SetTriggerSource] Failed to set the trigger source type. error code: %x.");
}

int GigeCamera::SetTriggerCount(int count)
{
    return set_count(
        *this, count, "TriggerSoftware", "[function:SetTriggerCount] The camera disconnected.",
        "[function:SetTriggerCount] Failed to set the trigger signal due to the incoming parameters error.",
        "[function:SetTriggerCount] Failed to set the trigger signal. error code: %x.");
}

int GigeCamera::SetRGBTriggerMode(int mode)
{
    return set_switch(
        *this, mode, "RGBTriggerMode", "[function:SetRGBTriggerMode] The camera disconnected.",
        "[function:SetRGBTriggerMode] Failed to set the RGB trigger model due to the incoming parameters error.",
        "[function:SetRGBTriggerMode] Failed to set the RGB trigger model. error code: %x.");
}

int GigeCamera::SetRGBTriggerCount(int count)
{
    return set_count(
        *this, count, "RGBTriggerSoftware", "[function:SetRGBTriggerCount] The camera disconnected.",
        "[function:SetRGBTriggerCount] Failed to set the RGB trigger signal due to the incoming parameters error.",
        "[function:SetRGBTriggerCount] Failed to set the RGB trigger signal. error code: %x.");
}

int GigeCamera::AcquisitionStart()
{
    if (disconnected(*this, "[function:AcquisitionStart] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    return write_feature(*this, "AcquisitionStart", 0, 1,
                         "[function:AcquisitionStart] Failed to set resend request on-off. error code: %x.");
}

int GigeCamera::AcquisitionStop()
{
    if (disconnected(*this, "[function:AcquisitionStop] The camera disconnected."))
        return VORA_ERR_NOT_CONNECTED;
    return write_feature(*this, "AcquisitionStop", 0, 0,
                         "[function:AcquisitionStop] Failed to stop recv stream data. error code: %x.");
}

// ---- heartbeat ----

int GigeCamera::SetHeartBeatTimeout(int timeout_ms)
{
    if (!connected) {
        log.log_error(gvcp_log_error_level, "[function:SetHeartBeatTimeout] The camera is disconnect.");
        return VORA_ERR_NOT_CONNECTED;
    }
    const int max = GetNodeMaxValue("GevHeartbeatTimeout");
    const int min = GetNodeMinValue("GevHeartbeatTimeout");
    if (!bounds_readable(max, min)) {
        log.log_error(gvcp_log_error_level, "[function:SetHeartBeatTimeout] Failed to set the camera heartbeat timeout "
                                            "due to the MAX or the MIN is invalid.");
        return VORA_ERR_HEARTBEAT_BOUNDS;
    }
    if (timeout_ms < min || timeout_ms > max) {
        log.log_error(
            gvcp_log_error_level,
            "[function:SetHeartBeatTimeout] Failed to set the camera heartbeat timeout due to parameter error.");
        return VORA_ERR_INVALID_ARG;
    }
    const int status = WriteRegister(Heartbeat_Timeout_Reg, timeout_ms);
    if (status != 0) {
        log.log_error(
            gvcp_log_error_level,
            "[function:SetHeartBeatTimeout] Failed to set the camera heartbeat timeout due to write register error.");
        return status;
    }
    // The heartbeat thread takes its period from here after its next beat.
    heartbeat_timeout = timeout_ms;
    return VORA_OK;
}

// ---- region of interest ----

namespace {

// A size or offset the sensor can take: a whole number of increments, at
// least the minimum, at most the limit. Unreadable bounds fail.
bool roi_value_ok(int value, int inc, int min, int limit)
{
    return value >= 0 && inc > 0 && min >= 0 && value % inc == 0 && value >= min && value <= limit;
}

}  // namespace

int GigeCamera::SetRoi(int channel, int size_x, int size_y, int offset_x, int offset_y)
{
    if (!connected) {
        log.log_error(gvcp_log_error_level, "[function:SetRoi] The camera disconnected.");
        return VORA_ERR_NOT_CONNECTED;
    }
    // Only three stream channels exist; another index would read some
    // other register as the sensor number.
    if (channel < 0 || channel > 2) {
        log.log_error(gvcp_log_error_level,
                      "[function:SetRoi] Failed to set roi due to the incoming parameters error. channel_index: %d.",
                      channel);
        return VORA_ERR_INVALID_ARG;
    }
    // Every register is looked up before the first exchange: a description
    // that lacks one changes nothing on the camera.
    struct {
        unsigned cmos_index, max_width, max_height, width, height, offset_x, offset_y;
    } reg;
    const std::pair<const char*, unsigned*> lookups[] = {
        {"CmosIndex", &reg.cmos_index}, {"MWOP", &reg.max_width},   {"MHOP", &reg.max_height},  {"Width", &reg.width},
        {"Height", &reg.height},        {"OffsetX", &reg.offset_x}, {"OffsetY", &reg.offset_y},
    };
    for (const auto& l : lookups)
        if (const int lookup = feature_register(l.first, 0, l.second))
            return lookup;

    int sensor = -1;
    int status = read_logged(*this, reg.cmos_index + static_cast<unsigned>(channel) * STREAM_CHANNEL_REG_STRIDE,
                             &sensor, "[function:SetRoi] Failed to read the_cmos_number register. error code: %x.");
    if (status != 0)
        return status;
    const unsigned sensor_offset = static_cast<unsigned>(sensor) * SENSOR_REG_STRIDE;

    const int inc_x = GetNodeIncValue("Width");
    const int min_x = GetNodeMinValue("Width");
    int max_width = 0;
    status = read_logged(*this, reg.max_width + sensor_offset, &max_width,
                         "[function:SetRoi] Failed to read maxvalue_width register. error code: %x.");
    if (status != 0)
        return status;
    if (!roi_value_ok(size_x, inc_x, min_x, max_width)) {
        log.log_error(gvcp_log_error_level, "[function:SetRoi] The value x is illegal. channel_index: %d.", channel);
        return VORA_ERR_ROI;
    }

    const int inc_y = GetNodeIncValue("Height");
    const int min_y = GetNodeMinValue("Height");
    int max_height = 0;
    status = read_logged(*this, reg.max_height + sensor_offset, &max_height,
                         "[function:SetRoi] Failed to read maxvalue_height register. error code: %x.");
    if (status != 0)
        return status;
    if (!roi_value_ok(size_y, inc_y, min_y, max_height)) {
        log.log_error(gvcp_log_error_level, "[function:SetRoi] The value y is illegal. channel_index: %d.", channel);
        return VORA_ERR_ROI;
    }

    if (!roi_value_ok(offset_x, GetNodeIncValue("OffsetX"), GetNodeMinValue("OffsetX"), max_width - size_x)) {
        log.log_error(gvcp_log_error_level, "[function:SetRoi] The value offset-x is illegal. channel_index: %d.",
                      channel);
        return VORA_ERR_ROI;
    }
    if (!roi_value_ok(offset_y, GetNodeIncValue("OffsetY"), GetNodeMinValue("OffsetY"), max_height - size_y)) {
        log.log_error(gvcp_log_error_level, "[function:SetRoi] The value offset-y is illegal. channel_index: %d.",
                      channel);
        return VORA_ERR_ROI;
    }

    // Sizes before offsets: a larger offset only fits once the size shrank.
    const struct {
        unsigned address;
        int value;
        const char* failure;
    } writes[] = {
        {reg.width, size_x,
         "[function:SetRoi] Failed to set the value of x of roi. channel_index: %d, error code: %x."},
        {reg.height, size_y,
         "[function:SetRoi] Failed to set the value of y of roi. channel_index: %d, error code: %x."},
        {reg.offset_x, offset_x,
         "[function:SetRoi] Failed to set the offset value of x of roi. channel_index: %d, error code: %x."},
        {reg.offset_y, offset_y,
         "[function:SetRoi] Failed to set the offset value of y of roi. channel_index: %d, error code: %x."},
    };
    for (const auto& w : writes) {
        status = WriteRegister(w.address + sensor_offset, w.value);
        if (status != 0) {
            log.log_error_listed(gvcp_log_error_level, w.failure, channel, status);
            return status;
        }
    }
    return VORA_OK;
}
