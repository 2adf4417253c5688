// The camera's own feature registers: device-wide settings, one block per
// stream channel and one per sensor, with the defaults a camera powers up with.
#include <cmath>
#include <cstring>

#include "pixel_formats.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_scene.h"

namespace vsim {

std::vector<SimSensor> SimConfig::default_sensors()
{
    // Calibrated like a factory unit: slightly different lenses, the colour
    // sensor and the second depth sensor side by side along x from CMOS 0.
    std::vector<SimSensor> s(3);
    const float kc0[5] = {-0.0521f, 0.0813f, 0.00042f, -0.00031f, -0.0124f};
    const float k0[9] = {1152.4f, 0, 641.3f, 0, 1151.9f, 509.8f, 0, 0, 1};
    std::memcpy(s[0].Kc, kc0, sizeof kc0);
    std::memcpy(s[0].K, k0, sizeof k0);

    s[1].colour = true;
    s[1].pixel_format = PIXEL_FORMAT_RGB8;
    const float kc1[5] = {0.0367f, -0.0642f, -0.00018f, 0.00027f, 0.0089f};
    const float k1[9] = {1118.6f, 0, 637.2f, 0, 1119.3f, 514.6f, 0, 0, 1};
    const float r1[9] = {0.99998f, -0.00410f, 0.00462f, 0.00409f, 0.99999f, 0.00231f, -0.00463f, -0.00229f, 0.99999f};
    const float t1[3] = {-50.12f, 0.37f, -0.85f};
    std::memcpy(s[1].Kc, kc1, sizeof kc1);
    std::memcpy(s[1].K, k1, sizeof k1);
    std::memcpy(s[1].R, r1, sizeof r1);
    std::memcpy(s[1].T, t1, sizeof t1);

    const float kc2[5] = {-0.0488f, 0.0779f, -0.00037f, 0.00022f, -0.0109f};
    const float k2[9] = {1149.1f, 0, 638.7f, 0, 1148.5f, 512.9f, 0, 0, 1};
    const float r2[9] = {0.99999f, 0.00215f, -0.00318f, -0.00216f, 0.99999f, -0.00102f, 0.00318f, 0.00103f, 0.99999f};
    const float t2[3] = {-100.04f, -0.21f, 0.43f};
    std::memcpy(s[2].Kc, kc2, sizeof kc2);
    std::memcpy(s[2].K, k2, sizeof k2);
    std::memcpy(s[2].R, r2, sizeof r2);
    std::memcpy(s[2].T, t2, sizeof t2);
    return s;
}

namespace {

// A format the sensors cannot render gives an empty payload.
uint32_t bytes_per_pixel(uint32_t pixel_format)
{
    return renders(pixel_format) ? wire::pixel_bytes(pixel_format) : 0;
}

// Calibration blocks are handed to hosts as they lie in the sensor's memory:
// little-endian IEEE floats, whatever the register byte order.
void put_floats_le(DeviceMemory& m, uint32_t address, const float* values, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &values[i], 4);
        const uint8_t b[4] = {static_cast<uint8_t>(bits), static_cast<uint8_t>(bits >> 8),
                              static_cast<uint8_t>(bits >> 16), static_cast<uint8_t>(bits >> 24)};
        m.write(address + static_cast<uint32_t>(4 * i), b, 4);
    }
}

uint32_t channel_reg(uint32_t n, uint32_t offset)
{
    return CHANNEL_BASE + n * CHANNEL_STRIDE + offset;
}

uint32_t sensor_reg(uint32_t s, uint32_t offset)
{
    return SENSOR_BASE + s * SENSOR_STRIDE + offset;
}

}  // namespace

void build_features(DeviceMemory& m, const SimConfig& c)
{
    const uint32_t sensors = static_cast<uint32_t>(c.sensors.size());
    // Words between registers stay unmapped so that a stray address answers
    // INVALID_ADDRESS, as on the device.
    m.map(FEATURE_BASE, 0x100, Access::None);
    if (c.stream_channels > 0)
        m.map(CHANNEL_BASE, c.stream_channels * CHANNEL_STRIDE, Access::None);
    if (sensors > 0)
        m.map(SENSOR_BASE, sensors * SENSOR_STRIDE, Access::None);

    auto ro = [&](uint32_t a, uint32_t v) {
        m.set_access(a, 4, Access::ReadOnly);
        m.set_reg(a, v);
    };
    auto rw = [&](uint32_t a, uint32_t v) {
        m.set_access(a, 4, Access::ReadWrite);
        m.set_reg(a, v);
    };

    ro(REG_TOTAL_NUMBER_OF_CMOS, sensors);
    ro(REG_DEVICE_CLOUD_UNIT, c.cloud_unit);
    rw(REG_STROBE_LED_SWITCH, 0);
    rw(REG_LASER_BRIGHTNESS, 50);
    rw(REG_STROBE_LED_BRIGHTNESS, 50);
    rw(REG_EXPOSURE_TYPE, 1);
    rw(REG_TRIGGER_MODE, 0);
    rw(REG_TRIGGER_SOURCE, 0);
    rw(REG_TRIGGER_SOFTWARE, 0);
    rw(REG_RGB_TRIGGER_MODE, 0);
    rw(REG_RGB_TRIGGER_SOFTWARE, 0);
    rw(REG_ACQUISITION_START, 0);
    rw(REG_ACQUISITION_STOP, 0);
    rw(REG_ANALOG_GAIN, 1);
    rw(REG_ANALOG_GAIN_RGB, 1);
    rw(REG_DIGITAL_GAIN, 1);
    rw(REG_DIGITAL_GAIN_RGB, 1);
    rw(REG_FIRMWARE_UPDATE, 0);
    rw(REG_DEVICE_REBOOT, 0);
    ro(REG_EXPOSURE_TIME_MAX, 100000);
    ro(REG_ACQUISITION_STATUS, 0);
    rw(REG_TRIGGER_SELECTOR, 0);
    ro(REG_DEVICE_TEMPERATURE, static_cast<uint32_t>(std::lround((c.temperature_c + 273.15) * 100)));

    for (uint32_t n = 0; n < c.stream_channels; ++n) {
        // Channel n shows sensor n; channels beyond the sensors fall back to the first.
        const uint32_t cmos = n < sensors ? n : 0;
        rw(channel_reg(n, CH_CMOS_INDEX), cmos);
        ro(channel_reg(n, CH_PAYLOAD_SIZE), 0);
        rw(channel_reg(n, CH_PIXEL_FORMAT), sensors > 0 ? c.sensors[cmos].pixel_format : 0);
    }

    for (uint32_t s = 0; s < sensors; ++s) {
        const SimSensor& sn = c.sensors[s];
        rw(sensor_reg(s, SN_WIDTH), sn.max_width);
        rw(sensor_reg(s, SN_HEIGHT), sn.max_height);
        rw(sensor_reg(s, SN_OFFSET_X), 0);
        rw(sensor_reg(s, SN_OFFSET_Y), 0);
        ro(sensor_reg(s, SN_MAX_WIDTH), sn.max_width);
        ro(sensor_reg(s, SN_MAX_HEIGHT), sn.max_height);
        rw(sensor_reg(s, SN_EXPOSURE_AUTO), 0);
        rw(sensor_reg(s, SN_EXPOSURE_COMPENSATION), 1);
        rw(sensor_reg(s, SN_EXPOSURE_TIME), 5000);

        m.set_access(sensor_reg(s, SN_INTRINSICS), 56, Access::ReadOnly);
        put_floats_le(m, sensor_reg(s, SN_INTRINSICS), sn.Kc, 5);
        put_floats_le(m, sensor_reg(s, SN_INTRINSICS) + 20, sn.K, 9);
        m.set_access(sensor_reg(s, SN_EXTRINSICS), 48, Access::ReadOnly);
        put_floats_le(m, sensor_reg(s, SN_EXTRINSICS), sn.R, 9);
        put_floats_le(m, sensor_reg(s, SN_EXTRINSICS) + 36, sn.T, 3);
    }

    recompute_payload_sizes(m, c);
}

void recompute_payload_sizes(DeviceMemory& m, const SimConfig& c)
{
    const uint32_t sensors = static_cast<uint32_t>(c.sensors.size());
    for (uint32_t n = 0; n < c.stream_channels; ++n) {
        const uint32_t cmos = m.reg(channel_reg(n, CH_CMOS_INDEX));
        uint64_t size = 0;
        if (cmos < sensors) {
            size = uint64_t(m.reg(sensor_reg(cmos, SN_WIDTH))) * m.reg(sensor_reg(cmos, SN_HEIGHT)) *
                   bytes_per_pixel(m.reg(channel_reg(n, CH_PIXEL_FORMAT)));
        }
        // A host-written size out of all proportion must not wrap to a small one.
        m.set_reg(channel_reg(n, CH_PAYLOAD_SIZE), size > 0xFFFFFFFFu ? 0xFFFFFFFFu : uint32_t(size));
    }
}

}  // namespace vsim
