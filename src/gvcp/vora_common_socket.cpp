#include "gvcp/vora_common_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "socket_address.h"

int CommonSocket::InitSocket()
{
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

int CommonSocket::Bind(int sock, unsigned ip, unsigned short port)
{
    sockaddr_in addr = make_addr(ip, port);
    return bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

int CommonSocket::Send(int sock, unsigned ip, unsigned short port, const char* data, unsigned len)
{
    sockaddr_in addr = make_addr(ip, port);
    return static_cast<int>(sendto(sock, data, len, 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr));
}

int CommonSocket::Receive(int sock, char* buf, int len)
{
    return static_cast<int>(recvfrom(sock, buf, static_cast<size_t>(len), 0, nullptr, nullptr));
}

int CommonSocket::Select(int sock, fd_set* readfds, fd_set* writefds)
{
    FD_ZERO(readfds);
    FD_SET(sock, readfds);
    timeval tv{0, 10000};
    return select(sock + 1, readfds, writefds, nullptr, &tv);
}

static long long monotonic_ms()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

int CommonSocket::ReceiveFrom(int sock, char* buf, int len, unsigned* ip, unsigned short* port, int timeout_ms)
{
    const long long deadline = monotonic_ms() + timeout_ms;
    for (;;) {
        long long left = deadline - monotonic_ms();
        if (left < 0)
            left = 0;
        pollfd pfd{sock, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        sockaddr_in from;
        socklen_t from_len = sizeof from;
        ssize_t n =
            recvfrom(sock, buf, static_cast<size_t>(len), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &from_len);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return -1;
        }
        if (ip)
            *ip = ntohl(from.sin_addr.s_addr);
        if (port)
            *port = ntohs(from.sin_port);
        return static_cast<int>(n);
    }
}

int CommonSocket::SetTimeouts(int sock, int recv_ms, int send_ms)
{
    timeval rcv{recv_ms / 1000, (recv_ms % 1000) * 1000};
    timeval snd{send_ms / 1000, (send_ms % 1000) * 1000};
    if (setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &rcv, sizeof rcv) < 0)
        return -1;
    return setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &snd, sizeof snd);
}

unsigned short CommonSocket::LocalPort(int sock)
{
    sockaddr_in addr;
    socklen_t len = sizeof addr;
    if (getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len) < 0)
        return 0;
    return ntohs(addr.sin_port);
}
