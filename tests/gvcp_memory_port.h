// A genicam::Port over GVCP READMEM/WRITEMEM to any GigE Vision device on
// loopback, built on the shared wire codec, so the evaluator can be pointed
// at a camera the library's connect does not know (the independent fake
// camera of the differential test and the benchmark). Reads and writes of
// any address and length are widened to whole 32-bit words, as the
// protocol requires, and a partial word is written back with the bytes
// around it read first.
#ifndef VORA_TESTS_GVCP_MEMORY_PORT_H
#define VORA_TESTS_GVCP_MEMORY_PORT_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "genicam/genicam_port.h"
#include "gvcp_codec.h"
#include "vora_base_type.h"

namespace vora_test {

class GvcpMemoryPort : public genicam::Port {
public:
    explicit GvcpMemoryPort(const char* ip = "127.0.0.1", int timeout_ms = 500) : timeout_ms_(timeout_ms)
    {
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        peer_.sin_family = AF_INET;
        peer_.sin_port = htons(GVCP_PORT);
        inet_pton(AF_INET, ip, &peer_.sin_addr);
        if (fd_ >= 0 && connect(fd_, reinterpret_cast<const sockaddr*>(&peer_), sizeof peer_) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~GvcpMemoryPort() override
    {
        if (fd_ >= 0)
            close(fd_);
    }
    GvcpMemoryPort(const GvcpMemoryPort&) = delete;
    GvcpMemoryPort& operator=(const GvcpMemoryPort&) = delete;

    int read(uint64_t address, void* data, size_t length) override
    {
        ++reads_;
        if (length == 0)
            return 0;
        const uint64_t first = address & ~uint64_t(3), end = (address + length + 3) & ~uint64_t(3);
        std::vector<uint8_t> words(end - first);
        if (const int status = read_words(first, words.data(), words.size()))
            return status;
        std::memcpy(data, words.data() + (address - first), length);
        return 0;
    }

    int write(uint64_t address, const void* data, size_t length) override
    {
        ++writes_;
        if (length == 0)
            return 0;
        const uint64_t first = address & ~uint64_t(3), end = (address + length + 3) & ~uint64_t(3);
        std::vector<uint8_t> words(end - first);
        if (first != address || end != address + length)
            if (const int status = read_words(first, words.data(), words.size()))
                return status;
        std::memcpy(words.data() + (address - first), data, length);
        for (size_t done = 0; done < words.size(); done += kChunk) {
            const size_t n = std::min(kChunk, words.size() - done);
            uint8_t cmd[gvcp::HEADER_LEN + 4 + kChunk];
            gvcp::put_cmd_header(cmd, gvcp::FLAG_ACK_REQUIRED, WRITEMEM_CMD, static_cast<uint16_t>(4 + n), next_id());
            gvcp::put_u32(cmd + gvcp::HEADER_LEN, static_cast<uint32_t>(first + done));
            std::memcpy(cmd + gvcp::HEADER_LEN + 4, words.data() + done, n);
            std::vector<uint8_t> ack;
            if (const int status = exchange(cmd, gvcp::HEADER_LEN + 4 + n, gvcp::WRITEMEM_ACK, 4, &ack))
                return status;
        }
        return 0;
    }

    // Convenience for seeding and inspecting the device's memory.
    int write_u32(uint32_t address, uint32_t value)
    {
        uint8_t b[4];
        gvcp::put_u32(b, value);
        return write(address, b, 4);
    }
    std::vector<uint8_t> dump(uint32_t address, size_t length)
    {
        std::vector<uint8_t> bytes(length);
        if (read(address, bytes.data(), length) != 0)
            bytes.clear();
        return bytes;
    }

    uint64_t reads() const { return reads_; }
    uint64_t writes() const { return writes_; }
    bool ok() const { return fd_ >= 0; }

private:
    static constexpr size_t kChunk = 512;

    uint16_t next_id()
    {
        if (++req_id_ == 0)
            req_id_ = 1;
        return req_id_;
    }

    int read_words(uint64_t first, uint8_t* out, size_t length)
    {
        for (size_t done = 0; done < length; done += kChunk) {
            const size_t n = std::min(kChunk, length - done);
            uint8_t cmd[gvcp::READMEM_CMD_LEN];
            gvcp::build_readmem(cmd, next_id(), static_cast<uint32_t>(first + done), static_cast<uint16_t>(n));
            std::vector<uint8_t> ack;
            if (const int status = exchange(cmd, sizeof cmd, gvcp::READMEM_ACK, gvcp::HEADER_LEN + 4 + n, &ack))
                return status;
            std::memcpy(out + done, ack.data() + gvcp::HEADER_LEN + 4, n);
        }
        return 0;
    }

    // One command and its acknowledge, sent up to three times; a device
    // status comes back sign-extended, as the library's transport answers.
    int exchange(const uint8_t* cmd, size_t len, uint16_t answer, size_t success_len, std::vector<uint8_t>* ack)
    {
        if (fd_ < 0)
            return VORA_ERR_SOCKET;
        const gvcp::AckExpectation want{peer_.sin_addr.s_addr, answer, gvcp::get_u16(cmd + 6), success_len};
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (send(fd_, cmd, len, 0) != static_cast<ssize_t>(len))
                return VORA_ERR_SOCKET;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms_);
            for (;;) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
                        .count();
                if (left <= 0)
                    break;
                pollfd p{fd_, POLLIN, 0};
                if (poll(&p, 1, static_cast<int>(left)) <= 0)
                    break;
                ack->resize(1500);
                const ssize_t n = recv(fd_, ack->data(), ack->size(), 0);
                if (n <= 0)
                    continue;
                ack->resize(static_cast<size_t>(n));
                gvcp::AckHeader header;
                // The socket is connected, so every datagram is the device's.
                if (!gvcp::ack_matches(ack->data(), ack->size(), want.peer_ip, GVCP_PORT, want, &header))
                    continue;
                if (header.status != gvcp::STATUS_SUCCESS)
                    return static_cast<int16_t>(header.status);
                return 0;
            }
        }
        return VORA_ERR_READREG_TIMEOUT;
    }

    int fd_ = -1;
    sockaddr_in peer_{};
    int timeout_ms_;
    uint16_t req_id_ = 0;
    uint64_t reads_ = 0, writes_ = 0;
};

}  // namespace vora_test

#endif
