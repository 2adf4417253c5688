// The GigE Vision bootstrap register map of the simulated camera.
#include <algorithm>

#include "gvcp_codec.h"
#include "sim_camera.h"
#include "vora_base_type.h"

namespace vsim {

void build_bootstrap(DeviceMemory& m, const SimConfig& c)
{
    m.map(0x0000, 0x1000, Access::None);
    auto ro = [&](uint32_t a, uint32_t size) { m.set_access(a, size, Access::ReadOnly); };
    auto rw = [&](uint32_t a, uint32_t size) { m.set_access(a, size, Access::ReadWrite); };

    ro(bootstrap::VERSION, 4);
    m.set_reg(bootstrap::VERSION, 0x00020000);  // GigE Vision 2.0
    ro(bootstrap::DEVICE_MODE, 4);
    m.set_reg(bootstrap::DEVICE_MODE, 0x80000001);  // big-endian device, UTF-8 strings
    ro(0x0008, 8);
    m.set_reg(0x0008, (uint32_t(c.mac[0]) << 8) | c.mac[1]);
    m.set_reg(0x000C, (uint32_t(c.mac[2]) << 24) | (uint32_t(c.mac[3]) << 16) | (uint32_t(c.mac[4]) << 8) | c.mac[5]);
    ro(0x0010, 4);
    m.set_reg(0x0010, 0x80000007);  // persistent IP, DHCP, link-local
    rw(Model_Adder, 4);
    m.set_reg(Model_Adder, 0x00000006);
    ro(0x0024, 4);
    m.set_reg(0x0024, c.ip);
    ro(0x0034, 4);
    m.set_reg(0x0034, c.mask);
    ro(0x0044, 4);
    m.set_reg(0x0044, c.gateway);

    ro(bootstrap::VENDOR_NAME, bootstrap::USER_NAME - bootstrap::VENDOR_NAME);
    m.set_string(bootstrap::VENDOR_NAME, 32, c.vendor);
    m.set_string(bootstrap::MODEL_NAME, 32, c.model);
    m.set_string(bootstrap::DEVICE_VERSION, 32, c.version);
    m.set_string(bootstrap::MANUFACTURER_INFO, 48, c.manufacturer_info);
    m.set_string(bootstrap::SERIAL_NUMBER, 16, c.serial);
    rw(bootstrap::USER_NAME, 16);
    m.set_string(bootstrap::USER_NAME, 16, c.user_name);

    ro(First_Url_Reg, 512);
    ro(Second_Url_Reg, 512);
    ro(0x0600, 4);
    m.set_reg(0x0600, 1);  // one network interface
    rw(IP_Adder, 4);
    rw(Mask_Adder, 4);
    rw(Gate_Adder, 4);
    m.set_reg(IP_Adder, c.ip);
    m.set_reg(Mask_Adder, c.mask);
    m.set_reg(Gate_Adder, c.gateway);
    ro(0x0670, 4);
    m.set_reg(0x0670, 1000);  // link speed, Mb/s

    ro(Number_of_Message_Channels_Reg, 12);
    m.set_reg(Number_of_Message_Channels_Reg, 0);
    m.set_reg(Number_of_Stream_Channels_Reg, c.stream_channels);
    ro(0x092C, 12);
    // User name, serial, resend, WRITEMEM; actions and precision time when the camera has them.
    uint32_t capability = 0xC0000006;
    if (c.actions)
        capability |= gvcp::CAPABILITY_ACTION | gvcp::CAPABILITY_SCHEDULED_ACTION | gvcp::CAPABILITY_IEEE1588;
    m.set_reg(GVCP_Capability_Reg, capability);
    rw(Heartbeat_Timeout_Reg, 4);
    m.set_reg(Heartbeat_Timeout_Reg, c.heartbeat_timeout_ms);
    ro(bootstrap::TICK_FREQUENCY_HIGH, 8);
    m.set_reg(bootstrap::TICK_FREQUENCY_HIGH, static_cast<uint32_t>(c.tick_frequency >> 32));
    m.set_reg(bootstrap::TICK_FREQUENCY_LOW, static_cast<uint32_t>(c.tick_frequency));
    rw(bootstrap::TIMESTAMP_CONTROL, 4);
    ro(bootstrap::TIMESTAMP_LATCHED_HIGH, 8);
    rw(bootstrap::GVCP_CONFIGURATION, 4);
    ro(bootstrap::PENDING_TIMEOUT, 4);
    m.set_reg(bootstrap::PENDING_TIMEOUT, 1000);  // ms

    // Action signals: the count is read even where there are none.
    const uint32_t signals = c.actions ? std::min(c.action_signals, gvcp::MAX_ACTION_SIGNALS) : 0;
    m.set_reg(gvcp::NUMBER_OF_ACTION_SIGNALS_REG, signals);
    ro(gvcp::IEEE1588_STATUS_REG, 4);
    m.set_reg(gvcp::IEEE1588_STATUS_REG, 3);  // disabled
    if (c.actions) {
        m.set_access(gvcp::ACTION_DEVICE_KEY_REG, 4, Access::WriteOnly);
        ro(gvcp::SCHEDULED_ACTION_QUEUE_SIZE_REG, 4);
        m.set_reg(gvcp::SCHEDULED_ACTION_QUEUE_SIZE_REG, c.action_queue);
    }
    if (signals > 0)
        m.map(gvcp::ACTION_GROUP_KEY_BASE, signals * gvcp::ACTION_GROUP_STRIDE, Access::None);
    for (uint32_t i = 0; i < signals; ++i) {
        rw(gvcp::ACTION_GROUP_KEY_BASE + i * gvcp::ACTION_GROUP_STRIDE, 4);
        rw(gvcp::ACTION_GROUP_MASK_BASE + i * gvcp::ACTION_GROUP_STRIDE, 4);
    }

    rw(Control_Channel_Privilage_Reg, 4);
    ro(bootstrap::PRIMARY_APPLICATION_PORT, 4);
    ro(bootstrap::PRIMARY_APPLICATION_IP, 4);

    for (uint32_t n = 0; n < c.stream_channels && n < 12; ++n) {
        const uint32_t base = Stream_Channel_0_Port_Reg + n * STREAM_CHANNEL_REG_STRIDE;
        rw(base + 0x00, 12);  // host port, packet size, packet delay
        m.set_reg(base + 0x04, 1500);
        rw(base + 0x18, 4);  // destination address
        ro(base + 0x1C, 8);  // source port, capability
        rw(base + 0x24, 4);  // configuration
    }
}

}  // namespace vsim
