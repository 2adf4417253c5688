// The simulated camera's own features: its register block, and the GenICam
// device description that names them, served from device memory.
#ifndef VORA_SIM_DESCRIPTION_H
#define VORA_SIM_DESCRIPTION_H

#include <cstdint>
#include <string>

#include "sim_memory.h"
#include "vora_base_type.h"

namespace vsim {

struct SimConfig;

// Register layout of the camera's own features.
constexpr uint32_t FEATURE_BASE = 0x00010000;  // device-wide features
constexpr uint32_t CHANNEL_BASE = 0x00011000;  // per stream channel
constexpr uint32_t CHANNEL_STRIDE = STREAM_CHANNEL_REG_STRIDE;
constexpr uint32_t SENSOR_BASE = 0x00012000;  // per sensor (CMOS)
constexpr uint32_t SENSOR_STRIDE = SENSOR_REG_STRIDE;
constexpr uint32_t DESCRIPTION_BASE = 0x00100000;  // the device description file

// Device-wide feature registers.
constexpr uint32_t REG_TOTAL_NUMBER_OF_CMOS = FEATURE_BASE + 0x00;
constexpr uint32_t REG_DEVICE_CLOUD_UNIT = FEATURE_BASE + 0x04;
constexpr uint32_t REG_STROBE_LED_SWITCH = FEATURE_BASE + 0x08;
constexpr uint32_t REG_LASER_BRIGHTNESS = FEATURE_BASE + 0x0C;
constexpr uint32_t REG_STROBE_LED_BRIGHTNESS = FEATURE_BASE + 0x10;
constexpr uint32_t REG_EXPOSURE_TYPE = FEATURE_BASE + 0x14;
constexpr uint32_t REG_TRIGGER_MODE = FEATURE_BASE + 0x18;
constexpr uint32_t REG_TRIGGER_SOURCE = FEATURE_BASE + 0x1C;
constexpr uint32_t REG_TRIGGER_SOFTWARE = FEATURE_BASE + 0x20;
constexpr uint32_t REG_RGB_TRIGGER_MODE = FEATURE_BASE + 0x24;
constexpr uint32_t REG_RGB_TRIGGER_SOFTWARE = FEATURE_BASE + 0x28;
constexpr uint32_t REG_ACQUISITION_START = FEATURE_BASE + 0x2C;
constexpr uint32_t REG_ACQUISITION_STOP = FEATURE_BASE + 0x30;
constexpr uint32_t REG_ANALOG_GAIN = FEATURE_BASE + 0x34;
constexpr uint32_t REG_ANALOG_GAIN_RGB = FEATURE_BASE + 0x38;
constexpr uint32_t REG_DIGITAL_GAIN = FEATURE_BASE + 0x3C;
constexpr uint32_t REG_DIGITAL_GAIN_RGB = FEATURE_BASE + 0x40;
constexpr uint32_t REG_FIRMWARE_UPDATE = FEATURE_BASE + 0x44;
constexpr uint32_t REG_DEVICE_REBOOT = FEATURE_BASE + 0x48;
constexpr uint32_t REG_EXPOSURE_TIME_MAX = FEATURE_BASE + 0x4C;   // pMax of ExposureTime
constexpr uint32_t REG_ACQUISITION_STATUS = FEATURE_BASE + 0x50;  // 1 while acquiring
constexpr uint32_t REG_TRIGGER_SELECTOR = FEATURE_BASE + 0x54;
constexpr uint32_t REG_DEVICE_TEMPERATURE = FEATURE_BASE + 0x58;  // hundredths of a kelvin
// Named by the description but left unmapped: a feature whose register the
// device refuses.
constexpr uint32_t REG_DEVICE_FAN_SPEED = FEATURE_BASE + 0x5C;

// TriggerSource values: Action1 and on follow the action signals.
constexpr uint32_t TRIGGER_SOURCE_SOFTWARE = 0;
constexpr uint32_t TRIGGER_SOURCE_LINE0 = 1;
constexpr uint32_t TRIGGER_SOURCE_ACTION1 = 2;

// Per stream channel n: CHANNEL_BASE + n * CHANNEL_STRIDE + offset.
constexpr uint32_t CH_CMOS_INDEX = 0x00;
constexpr uint32_t CH_PAYLOAD_SIZE = 0x04;
constexpr uint32_t CH_PIXEL_FORMAT = 0x08;

// Per sensor s: SENSOR_BASE + s * SENSOR_STRIDE + offset.
constexpr uint32_t SN_WIDTH = 0x00;
constexpr uint32_t SN_HEIGHT = 0x04;
constexpr uint32_t SN_OFFSET_X = 0x08;
constexpr uint32_t SN_OFFSET_Y = 0x0C;
constexpr uint32_t SN_MAX_WIDTH = 0x10;   // "MWOP"
constexpr uint32_t SN_MAX_HEIGHT = 0x14;  // "MHOP"
constexpr uint32_t SN_EXPOSURE_AUTO = 0x18;
constexpr uint32_t SN_EXPOSURE_COMPENSATION = 0x1C;
constexpr uint32_t SN_EXPOSURE_TIME = 0x20;
constexpr uint32_t SN_INTRINSICS = 0x40;  // 56 bytes: 5 distortion + 3x3 matrix, LE floats
constexpr uint32_t SN_EXTRINSICS = 0x80;  // 48 bytes: 3x3 rotation + translation, LE floats

// Maps the feature registers with their defaults.
void build_features(DeviceMemory& memory, const SimConfig& config);
// Sets every channel's PayloadSize from its sensor's size and pixel format.
void recompute_payload_sizes(DeviceMemory& memory, const SimConfig& config);
// The device description text the camera serves.
std::string build_description_xml(const SimConfig& config);
// Places the description (plain or zipped) in memory and writes the URL
// registers; returns the bytes placed.
uint32_t install_description(DeviceMemory& memory, const SimConfig& config);

}  // namespace vsim

#endif
