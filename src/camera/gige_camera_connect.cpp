// Taking control of a camera, keeping it with the heartbeat, giving it back.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "camera/vora_gige_camera.h"
#include "gvcp_codec.h"
#include "ip_text.h"

namespace {

constexpr int CCP_CONTROL = 2;

using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// A third of the timeout less 500 ms leaves room for a retried read; short
// timeouts still get several refreshes within one timeout.
int heartbeat_period(int timeout_ms)
{
    const int floor = std::max(10, std::min(100, timeout_ms / 4));
    return std::max(timeout_ms / 3 - 500, floor);
}

}  // namespace

const char* GigeCamera::CameraIP(unsigned int ip)
{
    if (ip == 0 || ip == 0xCDCDCDCDu)
        return "0.0.0.0";
    return format_ipv4(ip, ip_text);
}

int GigeCamera::CameraConnect(DiscoveryInfo* info)
{
    // A second connect starts from a clean slate rather than leaking the first.
    if (connected || heartbeat_thread.joinable())
        CameraDisconnect();
    given_up = false;

    // The serial number comes from the camera: it names the log file only
    // in a form that cannot leave the current directory.
    const std::string serial =
        info ? safe_log_name(info->device_serial_number, sizeof info->device_serial_number) : std::string();
    if (info)
        log.log_enable(serial.c_str());
    log.log_info(gvcp_log_info_level, "[function:CameraConnect] cameranumber: %s", serial.c_str());
    if (!info || info->camera_ip == 0) {
        log.log_error(
            gvcp_log_error_level,
            "[function:CameraConnect] Failed to connect camera due to the incoming parameters error, error code: %d",
            VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    std::memcpy(computer_adapter, info->computer_adapter, sizeof computer_adapter);

    int result = open_control_channel(info->camera_ip, info->computer_ip);
    if (result == VORA_ERR_SOCKET) {
        log.log_error(gvcp_log_error_level,
                      "[function:CameraConnect] Failed to initialize the socket of gvcp, error code: %d", result);
        return result;
    }
    if (result == VORA_ERR_BIND) {
        log.log_error(gvcp_log_error_level, "[function:CameraConnect] Failed to bind the socket.");
        return result;
    }
    if (const int status = take_control())
        return status;

    int channels = 0;
    if (const int status = read_capabilities(&channels))
        return status;

    if (GetXMLfromCamera() < 0) {
        log.log_error(gvcp_log_error_level, "[function:CameraConnect] Failed to get xml from the camera.");
        fail_connect();
        return VORA_ERR_XML_READ;
    }

    mtu = info->mtu;
    if (mtu < 1) {
        log.log_error(gvcp_log_error_level, "[function:CameraConnect] Failed to get the MTU of the PC. error code: %d.",
                      VORA_ERR_MTU);
        fail_connect();
        return VORA_ERR_MTU;
    }

    uint32_t size = 0;
    result = negotiate_packet_size(&size);
    if (result != 0) {
        // The negotiation failed part-way; settle on the size every path
        // carries and make sure the camera cuts its frames the same way.
        log.log_warnning(gvcp_log_warnning_level,
                         "[function:CameraConnect] Failed to get the packet size, use 1500. error code: %d.", result);
        size = 1500;
        apply_packet_size(size, channels);
    }
    packet_size = size;

    if (const int status = start_heartbeat())
        return status;

    if (build_node_map() != 0) {
        log.log_error(gvcp_log_error_level, "[function:CameraConnect] Failed to build the node map of the xml file.");
        fail_connect();
        return VORA_ERR_XML_READ;
    }
    return read_sensors();
}

int GigeCamera::take_control()
{
    int value = -1;
    int status = ReadRegister(Control_Channel_Privilage_Reg, &value);
    if (status != 0) {
        log.log_info(gvcp_log_info_level, "[function:CameraConnect] Read the camera heart beat error. error code: %x.",
                     status);
        close_control_channel();
        return status;
    }
    if (value != 0) {
        log.log_info(gvcp_log_info_level, "[function:CameraConnect] Failed to connect the camera.");
        close_control_channel();
        return VORA_ERR_NOT_CONNECTED;
    }
    status = WriteRegister(Control_Channel_Privilage_Reg, CCP_CONTROL);
    if (status != 0) {
        log.log_info(gvcp_log_info_level, "[function:CameraConnect] Failed to connect the camera. error code: %d.",
                     status);
        close_control_channel();
        return status;
    }
    connected = 1;
    return VORA_OK;
}

int GigeCamera::read_capabilities(int* channels)
{
    struct {
        unsigned address;
        const char* message;
    } const reads[] = {
        {GVCP_Capability_Reg, "[function:CameraConnect] Read the camera GVCP capability error. error code: %x."},
        {Number_of_Message_Channels_Reg,
         "[function:CameraConnect] Read the camera message channel count error. error code: %x."},
        {Number_of_Stream_Channels_Reg,
         "[function:CameraConnect] Read the camera stream channel count error. error code: %x."},
    };
    for (const auto& r : reads) {
        int value = -1;
        const int status = ReadRegister(r.address, &value);
        if (status != 0) {
            log.log_info_listed(gvcp_log_info_level, r.message, status);
            fail_connect();
            return status;
        }
        *channels = value;  // the last read: the stream channels
    }
    return VORA_OK;
}

int GigeCamera::start_heartbeat()
{
    {
        std::lock_guard<std::mutex> lock(heartbeat_mutex);
        heartbeat_stop = false;
    }
    try {
        heartbeat_thread = std::thread(&GigeCamera::HeartBeat, this);
    } catch (const std::system_error&) {
        log.log_error(gvcp_log_error_level, "[function:CameraConnect] Failed to create the thread of HeartBeat.");
        fail_connect();
        return VORA_ERR_HEARTBEAT_THREAD;
    }
    log.log_info(gvcp_log_info_level, "[function:CameraConnect] Create the thread of HeartBeat sucess.");
    return VORA_OK;
}

int GigeCamera::read_sensors()
{
    cmos_count = -1;
    unsigned cmos_register = 0;
    int status = feature_register("TotalNumberOfCmos", 0, &cmos_register);
    if (status == 0)
        status = ReadRegister(cmos_register, &cmos_count);
    if (status != 0) {
        log.log_info(gvcp_log_info_level, "[function:CameraConnect] Read the camera cmos count error. error code: %x.",
                     status);
        fail_connect();
        return status;
    }

    if (cmos_count < 0 || cmos_count > MAX_SENSORS) {
        const int bounded = cmos_count < 0 ? 0 : MAX_SENSORS;
        log.log_warnning(gvcp_log_warnning_level,
                         "[function:CameraConnect] The camera reports %d sensors; %d are used.", cmos_count, bounded);
        cmos_count = bounded;
    }
    camera_parameters.clear();
    for (int i = 0; i < cmos_count; ++i) {
        CameraParameter p;
        std::memset(&p, 0, sizeof p);  // the reads fill only the first elements
        GetCamInternelParameter(i, p.Kc, p.K);
        GetCamExternelParameter(i, p.R, p.T);
        camera_parameters.push_back(p);
    }
    return VORA_OK;
}

// Undoes a connect that failed after the privilege was granted: nothing it
// created stays behind, and the camera is free for the next application.
void GigeCamera::fail_connect()
{
    connected = 0;
    stop_heartbeat();
    WriteRegister(Control_Channel_Privilage_Reg, 0);
    close_control_channel();
    release_node_map();
}

void GigeCamera::stop_heartbeat()
{
    {
        std::lock_guard<std::mutex> lock(heartbeat_mutex);
        heartbeat_stop = true;
    }
    heartbeat_wake.notify_all();
    if (heartbeat_thread.joinable())
        heartbeat_thread.join();
}

int GigeCamera::CameraDisconnect()
{
    if (control_port() == 0 && !heartbeat_thread.joinable()) {
        // Never connected, or already disconnected: nothing to give back.
        connected = 0;
        release_node_map();
        log.log_disable();
        return VORA_OK;
    }
    int result = WriteRegister(Control_Channel_Privilage_Reg, 0);
    if (result != 0)
        log.log_error(gvcp_log_error_level,
                      "[function:CameraDisconnect] The camera disconnection failed. error code: %x.", result);
    if (connected) {
        log.log_info(gvcp_log_info_level, "[function:CameraDisconnect] Camera disconnected.");
        connected = 0;
    }
    stop_heartbeat();
    close_control_channel();
    release_node_map();
    log.log_disable();
    return result;
}

int GigeCamera::read_unconnected(DiscoveryInfo* info, unsigned address, int* value, const char* function)
{
    if (!info || info->camera_ip == 0 || !value) {
        log.log_error(gvcp_log_error_level,
                      "[function:%s] Failed to connect camera due to the incoming parameters error, error code: %d",
                      function, VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    camera_ip = info->camera_ip;
    computer_ip = info->computer_ip;
    std::memcpy(computer_adapter, info->computer_adapter, sizeof computer_adapter);

    // A socket of its own: the query works whether or not we are connected
    // and leaves the control channel alone.
    int sock = InitSocket();
    if (sock < 0)
        return VORA_ERR_SOCKET;
    SetTimeouts(sock, 500, 500);
    if (Bind(sock, info->computer_ip, 0) < 0) {
        log.log_error(gvcp_log_error_level, "[function:%s] Failed to bind the socket of ccp.", function);
        close(sock);
        return VORA_ERR_BIND;
    }
    *value = -1;
    const uint16_t id = next_req_id();
    uint8_t cmd[gvcp::READREG_CMD_LEN];
    gvcp::build_readreg(cmd, id, address);
    uint8_t ack[12] = {};
    flush_socket_buffer(sock);
    int answered = 0;
    if (Send(sock, info->camera_ip, GVCP_PORT, reinterpret_cast<char*>(cmd), sizeof cmd) > 0)
        answered = await_ack(sock, gvcp::READREG_ACK, id, ack, sizeof ack, sizeof ack);
    close(sock);
    if (answered <= 0) {
        if (address == Control_Channel_Privilage_Reg)
            log.log_error(gvcp_log_error_level,
                          "[function:%s] Failed to read the data of CCP register. error code: %d.", function,
                          VORA_ERR_CCP_TIMEOUT);
        else
            log.log_error(gvcp_log_error_level,
                          "[function:%s] Failed to read the data of register 0x%x. error code: %d.", function, address,
                          VORA_ERR_CCP_TIMEOUT);
        return VORA_ERR_CCP_TIMEOUT;
    }
    const uint16_t status = gvcp::get_u16(ack);
    log.log_info(gvcp_log_info_level, "[function:%s] status code: %x.", function, status);
    if (status != 0)
        return status;
    *value = static_cast<int>(gvcp::get_u32(ack + 8));
    return VORA_OK;
}

int GigeCamera::GetCameraCCPStatus(DiscoveryInfo* info, int* ccp_status)
{
    return read_unconnected(info, Control_Channel_Privilage_Reg, ccp_status, "GetCameraCCPStatus");
}

int GigeCamera::ReadRegisterWithoutControl(DiscoveryInfo* info, unsigned address, int* value)
{
    return read_unconnected(info, address, value, "ReadRegisterWithoutControl");
}

int GigeCamera::GetHeartBeatTimeout()
{
    if (!connected) {
        log.log_error(gvcp_log_error_level, "[function:GetHeartBeatTimeout] The camera is disconnect.");
        return VORA_ERR_NOT_CONNECTED;
    }
    int value = -1;
    int status = ReadRegister(Heartbeat_Timeout_Reg, &value);
    if (status != 0) {
        log.log_error(gvcp_log_error_level, "[function:GetHeartBeatTimeout] Failed to read register. error code: %x.",
                      status);
        return status;
    }
    if (value > 0)
        return value;
    log.log_error(gvcp_log_error_level, "[function:GetHeartBeatTimeout] Failed to get the camera heartbeat timeout.");
    return VORA_ERR_HEARTBEAT_TIMEOUT;
}

void* GigeCamera::HeartBeat(void* camera)
{
    static_cast<GigeCamera*>(camera)->heartbeat_loop();
    return nullptr;
}

bool GigeCamera::heartbeat_sleep(int period_ms)
{
    std::unique_lock<std::mutex> lock(heartbeat_mutex);
    return !heartbeat_wake.wait_for(lock, std::chrono::milliseconds(period_ms), [this] { return heartbeat_stop; });
}

// Reading the privilege register is the heartbeat: the camera counts any
// command from us, and the answer tells whether we still hold control.
void GigeCamera::give_up(bool unanswered, const char* message)
{
    if (unanswered)
        lost = true;
    given_up = true;
    connected = 0;
    log.log_info(gvcp_log_info_level, "%s", message);
}

void GigeCamera::heartbeat_loop()
{
    auto last_good = Clock::now();
    int value = -1;
    int status = ReadRegister(Heartbeat_Timeout_Reg, &value);
    if (status != 0) {
        log.log_info(gvcp_log_info_level, "[function:HeartBeat] Read the camera heart beat error. error code: %x.",
                     status);
        // Ending here would leave a connection nobody watches: a camera that
        // is gone is lost now, one that only refuses the read gets the
        // GigE Vision default.
        if (status == VORA_ERR_READREG_TIMEOUT) {
            give_up(true, "[function:HeartBeat] The PC does not receive camera data.");
            return;
        }
        value = 3000;
    }
    heartbeat_timeout = value;
    if (value < 0) {
        give_up(false, "[function:HeartBeat] The camera heart beat timeout.");
        return;
    }
    int period = heartbeat_period(heartbeat_timeout);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(heartbeat_mutex);
            if (heartbeat_stop)
                connected = 0;
        }
        if (!connected) {
            log.log_info(gvcp_log_info_level, "[function:HeartBeat] The camera diconnect.");
            return;
        }
        value = 0;
        status = ReadRegister(Control_Channel_Privilage_Reg, &value);
        if (status == 0 && value == CCP_CONTROL) {
            last_good = Clock::now();
        } else if (status == 0) {
            if (ms_since(last_good) >= heartbeat_timeout) {
                give_up(false, "[function:HeartBeat] The camera receive data heart beat timeout.");
                return;
            }
        } else if (status == VORA_ERR_READREG_TIMEOUT) {
            give_up(true, "[function:HeartBeat] The PC does not receive camera data.");
            return;
        } else if (ms_since(last_good) >= heartbeat_timeout) {
            give_up(false, "[function:HeartBeat] The camera has timed out while receiving data.");
            return;
        }
        heartbeat_sleep(period);
        period = heartbeat_period(heartbeat_timeout);  // SetHeartBeatTimeout may have changed it
    }
}
