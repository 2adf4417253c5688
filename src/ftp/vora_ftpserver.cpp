// A minimal FTP client for firmware uploads: one binary STOR over a
// passive data connection. Every socket operation has a time-out so that a
// camera that stops answering cannot hang the caller.
#include "ftp/vora_ftpserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "ftp/ftp_reply.h"
#include "vora_base_type.h"

namespace {

constexpr uint16_t FTP_CONTROL_PORT = 21;
constexpr int IO_TIMEOUT_MS = 5000;
constexpr size_t PIECE = 1024;
constexpr size_t REPLY_CHUNK = 1023;
// Pieces are paced so that the camera can write each one to flash.
constexpr useconds_t PIECE_PAUSE_US = 30000;

// The camera's service account. It is assembled when needed so that the
// library does not carry it as readable text.
std::string account_user()
{
    const char letters[] = {21, 14, 17, 0};
    std::string user;
    for (char offset : letters)
        user += static_cast<char>('a' + offset);
    user += static_cast<char>('0' + 1);
    return user;
}

std::string account_password()
{
    std::string password;
    password += static_cast<char>('A' + 16);
    password += static_cast<char>('0' + 3);
    password += static_cast<char>('a' + 3);
    password += static_cast<char>(' ' + 1);
    password += static_cast<char>('a' + 23);
    return password;
}

class Socket {
public:
    Socket() : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {}
    ~Socket() { reset(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }
    void reset()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

void set_timeouts(int fd)
{
    timeval tv;
    tv.tv_sec = IO_TIMEOUT_MS / 1000;
    tv.tv_usec = (IO_TIMEOUT_MS % 1000) * 1000;
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// A connect that gives up after the time-out instead of the system's minutes.
bool connect_within(int fd, in_addr address, uint16_t port)
{
    sockaddr_in to;
    std::memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_addr = address;
    to.sin_port = htons(port);
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return false;
    bool ok = connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p = {fd, POLLOUT, 0};
        int n;
        do {
            n = poll(&p, 1, IO_TIMEOUT_MS);
        } while (n < 0 && errno == EINTR);
        int error = 0;
        socklen_t len = sizeof error;
        ok = n == 1 && getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
    }
    return fcntl(fd, F_SETFL, flags) == 0 && ok;
}

bool send_all(int fd, const char* data, size_t len)
{
    while (len > 0) {
        const ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The control connection: commands out, replies in. Replies are taken a
// whole one at a time (a multi-line reply ends with "ddd "), so replies that
// arrive together or split across segments are not mistaken for each other.
class Control {
public:
    explicit Control(int fd) : fd_(fd) {}

    bool command(const std::string& line)
    {
        const std::string text = line + "\r\n";
        return send_all(fd_, text.data(), text.size());
    }

    // The next reply, or "" when none arrives within the time-out.
    std::string reply()
    {
        std::string reply;
        while (!replies_.next(&reply)) {
            char buffer[REPLY_CHUNK];
            const ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0 || !replies_.append(buffer, static_cast<size_t>(n)))
                return std::string();
        }
        return reply;
    }

private:
    int fd_;
    FtpReplyReader replies_;
};

// Digits up to `stop` (spaces allowed) as one octet; false when anything
// else is there or the value does not fit.
bool read_octet(const char*& p, char stop, int* value)
{
    int v = 0;
    for (; *p && *p != stop; ++p) {
        if (*p == ' ')
            continue;
        if (!std::isdigit(static_cast<unsigned char>(*p)))
            return false;
        v = v * 10 + (*p - '0');
        if (v > 255)
            return false;
    }
    if (*p != stop)
        return false;
    ++p;
    *value = v;
    return true;
}

}  // namespace

int ftp_pasv_port(const char* reply)
{
    const char* p = reply ? std::strchr(reply, '(') : nullptr;
    if (!p)
        return -1;
    // Host octets are skipped: the data connection goes where the control
    // connection went, whatever address the camera believes it has.
    for (int comma = 0; comma < 4; ++comma) {
        p = std::strchr(p + 1, ',');
        if (!p)
            return -1;
    }
    ++p;
    int high = 0;
    int low = 0;
    if (!read_octet(p, ',', &high) || !read_octet(p, ')', &low))
        return -1;
    const int port = high * 256 + low;
    return port > 0 ? port : -1;
}

std::string ftp_remote_name(const char* path)
{
    const char* slash = std::strrchr(path, '/');
    return std::string("/var/") + (slash ? slash + 1 : path);
}

int ftp_upload(const char* camera_ip_text, const char* path)
{
    return ftp_upload(camera_ip_text, path, nullptr, nullptr);
}

int ftp_upload(const char* camera_ip_text, const char* path, FtpProgress progress, void* user)
{
    if (!path || access(path, F_OK) != 0)
        return VORA_ERR_FAILED;
    const std::string remote = ftp_remote_name(path);

    Socket control;
    Socket data;
    if (control.fd() < 0 || data.fd() < 0)
        return VORA_ERR_FTP_SOCKET;
    set_timeouts(control.fd());
    set_timeouts(data.fd());

    in_addr camera;
    if (!camera_ip_text || inet_pton(AF_INET, camera_ip_text, &camera) != 1 ||
        !connect_within(control.fd(), camera, FTP_CONTROL_PORT))
        return VORA_ERR_FTP_TRANSFER;

    // Replies are not judged until the transfer: a refused login shows as
    // a refused STOR, and the camera sees the whole conversation either way.
    Control ftp(control.fd());
    if (ftp.reply().empty())
        return VORA_ERR_FTP_TRANSFER;
    for (const std::string& command :
         {"USER " + account_user(), "PASS " + account_password(), std::string("SYST"), std::string("TYPE I")}) {
        if (!ftp.command(command) || ftp.reply().empty())
            return VORA_ERR_FTP_TRANSFER;
    }
    if (!ftp.command("PASV"))
        return VORA_ERR_FTP_TRANSFER;
    const int port = ftp_pasv_port(ftp.reply().c_str());
    if (port < 0)
        return VORA_ERR_FTP_TRANSFER;
    if (!ftp.command("STOR " + remote))
        return VORA_ERR_FTP_TRANSFER;
    const bool data_connected = connect_within(data.fd(), camera, static_cast<uint16_t>(port));

    auto quit = [&ftp] {
        if (ftp.command("QUIT"))
            ftp.reply();
    };
    // Only a preliminary reply means the camera takes the data; after a
    // refusal no completion reply would ever come.
    const int stor_code = ftp_reply_code(ftp.reply());
    if (!data_connected || stor_code < 100 || stor_code >= 200) {
        data.reset();
        quit();
        return VORA_ERR_FTP_TRANSFER;
    }

    FILE* file = std::fopen(path, "rb");
    if (!file)
        return VORA_ERR_FTP_FILE;
    struct stat st;
    const long long total = fstat(fileno(file), &st) == 0 ? static_cast<long long>(st.st_size) : 0;
    int result = VORA_OK;
    long long sent = 0;
    char piece[PIECE];
    for (;;) {
        const size_t n = std::fread(piece, 1, sizeof piece, file);
        if (n == 0) {
            if (std::ferror(file))
                result = VORA_ERR_FTP_FILE;
            break;
        }
        if (!send_all(data.fd(), piece, n)) {
            result = VORA_ERR_FTP_TRANSFER;
            break;
        }
        usleep(PIECE_PAUSE_US);
        sent += static_cast<long long>(n);
        if (progress)
            progress(sent, total, user);
    }
    std::fclose(file);
    data.reset();

    // The camera confirms that it stored the whole file, or says it did not.
    const int final_code = ftp_reply_code(ftp.reply());
    quit();
    if (result == VORA_OK && (final_code < 200 || final_code >= 300))
        result = VORA_ERR_FTP_TRANSFER;
    return result;
}
