// The per-camera object: control channel transport, and (in files of their
// own) connection, device description, features, streams and processing.
#ifndef VORA_GIGE_CAMERA_H
#define VORA_GIGE_CAMERA_H

#include <atomic>
#include <cstdint>
#include <mutex>

#include "gvcp/vora_common_socket.h"
#include "log/vora_cameralog.h"
#include "vora_base_type.h"

class GigeCamera : public CommonSocket {
public:
    GigeCamera();
    ~GigeCamera();
    GigeCamera(const GigeCamera&) = delete;
    GigeCamera& operator=(const GigeCamera&) = delete;

    // ---- control channel transport ----
    void flush_socket_buffer(int sock);
    int ReadRegister(unsigned int address, int* value);
    int WriteRegister(unsigned int address, int value);
    // `buffer` receives the whole acknowledge (at most 548 bytes); the data
    // starts 12 bytes into it.
    int ReadMem(unsigned int address, unsigned short count, char* buffer);
    int WriteMem(unsigned int address, unsigned short count, unsigned int data);

    // Opens the control socket towards camera_ip from computer_ip (the first
    // steps of connecting): 0, -6 when no socket, -7 when it cannot be bound.
    int open_control_channel(unsigned camera_ip, unsigned computer_ip);
    void close_control_channel();
    // Local port of the control socket, 0 when closed.
    unsigned short control_port();

    // Next GVCP request id: 1..65535, never 0; safe from several threads.
    uint16_t next_req_id();

    cameralog log;

private:
    // One command/acknowledge exchange with up to three attempts. Returns
    // the accepted acknowledge's length (copied into ack) or 0 when unanswered.
    int exchange(const uint8_t* cmd, size_t cmd_len, uint16_t id, uint8_t* ack, size_t ack_cap,
                 size_t success_len, int retry_sleep_ms);
    int await_ack(int sock, uint16_t id, uint8_t* ack, size_t ack_cap, size_t success_len);

    std::mutex gvcp_semaphore;         // one attempt of one exchange at a time
    std::atomic<uint16_t> req_id{0};
    int gvcp_socket = -1;              // guarded by gvcp_semaphore
    std::atomic<unsigned> camera_ip{0};
    std::atomic<unsigned> computer_ip{0};
};

#endif
