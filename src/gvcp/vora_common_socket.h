// Thin UDP socket helpers shared by the camera and discovery classes.
// Addresses and ports are in host byte order.
#ifndef VORA_COMMON_SOCKET_H
#define VORA_COMMON_SOCKET_H

#include <sys/select.h>

class CommonSocket {
public:
    CommonSocket() = default;
    ~CommonSocket() = default;

    // An IPv4 UDP socket; the descriptor or a negative value.
    int InitSocket();
    // Binds to ip:port; the system call's result.
    int Bind(int sock, unsigned ip, unsigned short port);
    // One datagram; bytes sent or a negative value.
    int Send(int sock, unsigned ip, unsigned short port, const char* data, unsigned len);
    // One datagram from any sender; bytes, 0, or negative (also on time-out).
    int Receive(int sock, char* buf, int len);
    // Waits at most 10 ms for sock to become readable.
    int Select(int sock, fd_set* readfds, fd_set* writefds);

    // One datagram within timeout_ms, with its sender; bytes received, or -1
    // on time-out or error. The deadline does not restart per datagram.
    int ReceiveFrom(int sock, char* buf, int len, unsigned* ip, unsigned short* port, int timeout_ms);
    int SetTimeouts(int sock, int recv_ms, int send_ms);
    // The local port a bound socket got, or 0.
    unsigned short LocalPort(int sock);
};

#endif
