#include "camera/camera_sync.h"

#include <time.h>

#include <chrono>

#include "camera/vora_gige_camera.h"
#include "gvcp_codec.h"

namespace camera_sync {

namespace {

constexpr int CLOCK_LATCHES = 5;

int read_u32(GigeCamera& camera, uint32_t address, uint32_t* value)
{
    int raw = 0;
    const int status = camera.ReadRegister(address, &raw);
    *value = static_cast<uint32_t>(raw);
    return status;
}

int64_t realtime_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// The signal's registers, when the camera has action commands and that signal.
int signal_registers(GigeCamera& camera, uint32_t signal, uint32_t* key_address)
{
    VoraSyncCapability capability{};
    const int status = read_capability(camera, &capability);
    if (status != 0)
        return status;
    if (!capability.action || signal >= capability.action_signals)
        return VORA_ERR_SYNC_UNSUPPORTED;
    *key_address = gvcp::ACTION_GROUP_KEY_BASE + signal * gvcp::ACTION_GROUP_STRIDE;
    return 0;
}

}  // namespace

int read_capability(GigeCamera& camera, VoraSyncCapability* out)
{
    if (!camera.is_connected())
        return VORA_ERR_NOT_CONNECTED;
    uint32_t bits = 0;
    int status = read_u32(camera, gvcp::GVCP_CAPABILITY_REG, &bits);
    if (status != 0)
        return status;
    VoraSyncCapability c{};
    c.action = (bits & gvcp::CAPABILITY_ACTION) != 0;
    c.scheduled_action = c.action && (bits & gvcp::CAPABILITY_SCHEDULED_ACTION) != 0;
    c.ptp = (bits & gvcp::CAPABILITY_IEEE1588) != 0;
    if (c.action) {
        status = read_u32(camera, gvcp::NUMBER_OF_ACTION_SIGNALS_REG, &c.action_signals);
        if (status != 0)
            return status;
        // A count past the register block's room is the device's error, not a licence.
        if (c.action_signals > gvcp::MAX_ACTION_SIGNALS)
            c.action_signals = gvcp::MAX_ACTION_SIGNALS;
    }
    if (c.scheduled_action) {
        status = read_u32(camera, gvcp::SCHEDULED_ACTION_QUEUE_SIZE_REG, &c.scheduled_queue_size);
        if (status != 0)
            return status;
    }
    *out = c;
    return 0;
}

int set_device_key(GigeCamera& camera, uint32_t key)
{
    VoraSyncCapability capability{};
    const int status = read_capability(camera, &capability);
    if (status != 0)
        return status;
    if (!capability.action)
        return VORA_ERR_SYNC_UNSUPPORTED;
    return camera.WriteRegister(gvcp::ACTION_DEVICE_KEY_REG, static_cast<int>(key));
}

int set_group(GigeCamera& camera, uint32_t signal, uint32_t key, uint32_t mask)
{
    uint32_t address = 0;
    int status = signal_registers(camera, signal, &address);
    if (status == 0)
        status = camera.WriteRegister(address, static_cast<int>(key));
    if (status == 0)
        status = camera.WriteRegister(address + 4, static_cast<int>(mask));
    return status;
}

int get_group(GigeCamera& camera, uint32_t signal, uint32_t* key, uint32_t* mask)
{
    uint32_t address = 0;
    int status = signal_registers(camera, signal, &address);
    if (status == 0)
        status = read_u32(camera, address, key);
    if (status == 0)
        status = read_u32(camera, address + 4, mask);
    return status;
}

// The bootstrap registers are read by their standard addresses: a device
// status (positive) then never passes for a clock reading.
int clock_mapping(GigeCamera& camera, VoraClockMapping* out)
{
    VoraSyncCapability capability{};
    int status = read_capability(camera, &capability);
    uint32_t high = 0, low = 0;
    if (status == 0)
        status = read_u32(camera, gvcp::TIMESTAMP_TICK_FREQUENCY_HIGH_REG, &high);
    if (status == 0)
        status = read_u32(camera, gvcp::TIMESTAMP_TICK_FREQUENCY_LOW_REG, &low);
    if (status != 0)
        return status;
    VoraClockMapping best{};
    best.tick_frequency = (uint64_t(high) << 32) | low;
    if (best.tick_frequency == 0)
        return VORA_ERR_SYNC_UNSUPPORTED;  // a camera without a clock
    best.uncertainty_ns = -1;
    for (int n = 0; n < CLOCK_LATCHES; ++n) {
        const auto start = std::chrono::steady_clock::now();
        const int64_t before = realtime_ns();
        status = camera.WriteRegister(gvcp::TIMESTAMP_CONTROL_REG, gvcp::TIMESTAMP_CONTROL_LATCH);
        const int64_t after = realtime_ns();
        const auto end = std::chrono::steady_clock::now();
        if (status == 0)
            status = read_u32(camera, gvcp::TIMESTAMP_LATCHED_HIGH_REG, &high);
        if (status == 0)
            status = read_u32(camera, gvcp::TIMESTAMP_LATCHED_LOW_REG, &low);
        if (status != 0)
            return status;
        const int64_t half = std::chrono::duration_cast<std::chrono::nanoseconds>(end - start).count() / 2;
        if (best.uncertainty_ns < 0 || half < best.uncertainty_ns) {
            best.camera_ticks = (uint64_t(high) << 32) | low;
            best.host_ns = before + (after - before) / 2;
            best.uncertainty_ns = half;
        }
    }
    if (capability.ptp) {
        uint32_t configuration = 0, state = 0;
        status = read_u32(camera, gvcp::GVCP_CONFIGURATION_REG, &configuration);
        if (status == 0)
            status = read_u32(camera, gvcp::IEEE1588_STATUS_REG, &state);
        if (status != 0)
            return status;
        best.ptp_enabled = (configuration & gvcp::CONFIGURATION_IEEE1588) != 0;
        best.ptp_state = static_cast<int32_t>(state & gvcp::IEEE1588_STATUS_MASK);
    }
    *out = best;
    return 0;
}

int64_t ticks_to_host_ns(const VoraClockMapping& m, uint64_t ticks)
{
    // The signed difference survives a wrap of the counter between the two readings.
    const __int128 diff = static_cast<int64_t>(ticks - m.camera_ticks);
    const __int128 frequency = m.tick_frequency ? m.tick_frequency : 1000000000ULL;
    // Hostile mappings must not overflow a signed sum: the result wraps instead.
    const uint64_t delta = static_cast<uint64_t>(static_cast<int64_t>(diff * 1000000000 / frequency));
    return static_cast<int64_t>(static_cast<uint64_t>(m.host_ns) + delta);
}

}  // namespace camera_sync
