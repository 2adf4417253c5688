// Register and memory access over the camera's control channel.
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>
#include <thread>

#include "camera/vora_gige_camera.h"
#include "gvcp_codec.h"

namespace {

constexpr int ACK_WAIT_MS = 500;
constexpr int ATTEMPTS = 3;
constexpr size_t REG_ACK_LEN = 12;
constexpr size_t MEM_ACK_MAX = 548;  // 8 header + 4 address + 536 data

}  // namespace

uint16_t GigeCamera::next_req_id()
{
    uint16_t current = req_id.load();
    uint16_t next;
    do {
        next = static_cast<uint16_t>(current + 1);
        if (next == 0)
            next = 1;
    } while (!req_id.compare_exchange_weak(current, next));
    return next;
}

int GigeCamera::open_control_channel(unsigned cam_ip, unsigned host_ip)
{
    close_control_channel();
    lost = false;
    camera_ip = cam_ip;
    computer_ip = host_ip;
    int sock = InitSocket();
    if (sock < 0)
        return VORA_ERR_SOCKET;
    SetTimeouts(sock, ACK_WAIT_MS, ACK_WAIT_MS);
    if (Bind(sock, host_ip, 0) < 0) {
        close(sock);
        return VORA_ERR_BIND;
    }
    std::lock_guard<std::mutex> lock(gvcp_semaphore);
    gvcp_socket = sock;
    return VORA_OK;
}

void GigeCamera::close_control_channel()
{
    std::lock_guard<std::mutex> lock(gvcp_semaphore);
    if (gvcp_socket >= 0) {
        close(gvcp_socket);
        gvcp_socket = -1;
    }
}

unsigned short GigeCamera::control_port()
{
    std::lock_guard<std::mutex> lock(gvcp_semaphore);
    return gvcp_socket >= 0 ? LocalPort(gvcp_socket) : 0;
}

void GigeCamera::flush_socket_buffer(int sock)
{
    char scratch[576];
    while (recv(sock, scratch, sizeof scratch, MSG_DONTWAIT) >= 0) {
    }
}

// Waits for the acknowledge of request `id`. Datagrams from anyone but the
// camera's control port, runts, and answers to other requests (a late reply
// to an earlier attempt, a stray packet) are discarded and the wait goes on
// until the deadline, so a foreign datagram is never taken as the answer.
int GigeCamera::await_ack(int sock, uint16_t answer, uint16_t id, uint8_t* ack, size_t ack_cap, size_t success_len)
{
    const gvcp::AckExpectation want{camera_ip, answer, id, success_len};
    uint8_t buf[600];
    timespec start;
    clock_gettime(CLOCK_MONOTONIC, &start);
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long elapsed = (now.tv_sec - start.tv_sec) * 1000 + (now.tv_nsec - start.tv_nsec) / 1000000;
        if (elapsed >= ACK_WAIT_MS)
            return 0;
        unsigned from_ip = 0;
        unsigned short from_port = 0;
        int n = ReceiveFrom(sock, reinterpret_cast<char*>(buf), sizeof buf, &from_ip, &from_port,
                            ACK_WAIT_MS - static_cast<int>(elapsed));
        if (n < 0)
            return 0;
        gvcp::AckHeader header;
        if (!gvcp::ack_matches(buf, static_cast<size_t>(n), from_ip, from_port, want, &header))
            continue;
        size_t keep = static_cast<size_t>(n) < ack_cap ? static_cast<size_t>(n) : ack_cap;
        std::memcpy(ack, buf, keep);
        return n;
    }
}

int GigeCamera::exchange(const uint8_t* cmd, size_t cmd_len, uint16_t answer, uint16_t id, uint8_t* ack, size_t ack_cap,
                         size_t success_len, int retry_sleep_ms)
{
    for (int attempt = 0; attempt < ATTEMPTS; ++attempt) {
        if (lost)
            return 0;
        int answered = 0;
        {
            std::lock_guard<std::mutex> lock(gvcp_semaphore);
            if (gvcp_socket < 0)
                return 0;  // never opened or already closed: nobody to ask
            flush_socket_buffer(gvcp_socket);
            if (Send(gvcp_socket, camera_ip, GVCP_PORT, reinterpret_cast<const char*>(cmd),
                     static_cast<unsigned>(cmd_len)) > 0)
                answered = await_ack(gvcp_socket, answer, id, ack, ack_cap, success_len);
        }
        if (answered > 0)
            return answered;
        // Sleep outside the lock so other threads proceed meanwhile.
        std::this_thread::sleep_for(std::chrono::milliseconds(retry_sleep_ms));
    }
    return 0;
}

int GigeCamera::ReadRegister(unsigned int address, int* value)
{
    if (!value) {
        log.log_error(
            gvcp_log_error_level,
            "[function:ReadRegister] Failed to read register due to the incoming parameters error, error code: %d",
            VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    *value = -1;
    uint8_t cmd[gvcp::READREG_CMD_LEN];
    const uint16_t id = next_req_id();
    gvcp::build_readreg(cmd, id, address);
    uint8_t ack[REG_ACK_LEN] = {};
    if (exchange(cmd, sizeof cmd, gvcp::READREG_ACK, id, ack, sizeof ack, REG_ACK_LEN, 200) == 0) {
        log.log_error(gvcp_log_error_level, "[function:ReadRegister] Failed to read register. the register:%x.",
                      address);
        return VORA_ERR_READREG_TIMEOUT;
    }
    const uint16_t status = gvcp::get_u16(ack);
    int data = 0;
    if (status == gvcp::STATUS_SUCCESS) {
        data = static_cast<int>(gvcp::get_u32(ack + 8));
        *value = data;
    }
    log.log_info(gvcp_log_info_level,
                 "[function:ReadRegister] get the status while reading register. the register:%x, the read status: %x, "
                 "the read data: %d",
                 address, status, data);
    return status;
}

int GigeCamera::WriteRegister(unsigned int address, int value)
{
    const int status = write_register_raw(address, static_cast<uint32_t>(value));
    invalidate_features();
    return status;
}

int GigeCamera::write_register_raw(uint32_t address, uint32_t value)
{
    uint8_t cmd[gvcp::WRITEREG_CMD_LEN];
    const uint16_t id = next_req_id();
    gvcp::build_writereg(cmd, id, address, value);
    uint8_t ack[REG_ACK_LEN] = {};
    if (exchange(cmd, sizeof cmd, gvcp::WRITEREG_ACK, id, ack, sizeof ack, REG_ACK_LEN, 1000) == 0) {
        log.log_debug(gvcp_log_debug_level, "[function:WriteRegister] Write register error.");
        return VORA_ERR_WRITEREG_TIMEOUT;
    }
    const uint16_t status = gvcp::get_u16(ack);
    log.log_info(
        gvcp_log_info_level,
        "[function:WriteRegister] Write register.the regster addr:%x, the write data: %d, the write status: %x.",
        address, static_cast<int>(value), status);
    return status;
}

int GigeCamera::ReadMem(unsigned int address, unsigned short count, char* buffer)
{
    if (!buffer || count > gvcp::READMEM_MAX_DATA) {
        log.log_error(gvcp_log_error_level,
                      "[function:ReadMem] Failed to read memory due to the incoming parameters error.");
        return VORA_ERR_INVALID_ARG;
    }
    uint8_t cmd[gvcp::READMEM_CMD_LEN];
    const uint16_t id = next_req_id();
    gvcp::build_readmem(cmd, id, address, count);
    if (exchange(cmd, sizeof cmd, gvcp::READMEM_ACK, id, reinterpret_cast<uint8_t*>(buffer), MEM_ACK_MAX, 12u + count,
                 200) == 0) {
        log.log_error(gvcp_log_error_level, "[function:ReadMem] Failed to read memory.");
        return VORA_ERR_READMEM_TIMEOUT;
    }
    const uint16_t status = gvcp::get_u16(reinterpret_cast<uint8_t*>(buffer));
    log.log_info(gvcp_log_info_level, "[function:ReadMem] Read memory with status code: %d.", status);
    return status;
}

int GigeCamera::write_memory_raw(uint32_t address, const uint8_t* data, uint32_t count)
{
    if (!data || count == 0 || count % 4 != 0 || count > gvcp::READMEM_MAX_DATA)
        return VORA_ERR_INVALID_ARG;
    uint8_t cmd[12 + gvcp::READMEM_MAX_DATA];
    const uint16_t id = next_req_id();
    const size_t len = gvcp::build_writemem_data(cmd, id, address, data, static_cast<uint16_t>(count));
    uint8_t ack[REG_ACK_LEN] = {};
    if (exchange(cmd, len, gvcp::WRITEMEM_ACK, id, ack, sizeof ack, REG_ACK_LEN, 200) == 0) {
        log.log_error(gvcp_log_error_level, "[function:WriteMem] Failed to write memory.");
        return VORA_ERR_WRITEMEM_TIMEOUT;
    }
    return gvcp::get_u16(ack);
}

int GigeCamera::WriteMem(unsigned int address, unsigned short count, unsigned int data)
{
    // The camera may change whatever the write reaches: cached features
    // are read again.
    invalidate_features();
    uint8_t cmd[gvcp::WRITEMEM_CMD_LEN];
    const uint16_t id = next_req_id();
    gvcp::build_writemem(cmd, id, address, count, data);
    uint8_t ack[REG_ACK_LEN] = {};
    if (exchange(cmd, sizeof cmd, gvcp::WRITEMEM_ACK, id, ack, sizeof ack, REG_ACK_LEN, 200) == 0) {
        log.log_error(gvcp_log_error_level, "[function:WriteMem] Failed to write memory.");
        return VORA_ERR_WRITEMEM_TIMEOUT;
    }
    const uint16_t status = gvcp::get_u16(ack);
    log.log_debug(gvcp_log_debug_level, "[function:WriteMem] Write memory with status code: %d.", status);
    return status;
}
