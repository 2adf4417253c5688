// Switchable misbehaviour of a simulated camera's FTP service, and what the
// service heard, for tests. Both are kept per camera from first use until
// the camera stops.
#ifndef VORA_SIM_FTP_FAULTS_H
#define VORA_SIM_FTP_FAULTS_H

#include <atomic>
#include <string>
#include <vector>

namespace vsim {

class SimCamera;

struct FtpFaults {
    std::atomic<bool> refuse_login{false};  // 530 to every PASS
    std::atomic<bool> refuse_stor{false};   // 553 to every STOR
    // Abort the data connection after this many bytes (negative: never).
    std::atomic<long long> cut_after_bytes{-1};
    // The 227 reply without the parentheses around its numbers.
    std::atomic<bool> pasv_without_parentheses{false};
    // The 227 reply names an address other than the camera's.
    std::atomic<bool> pasv_foreign_address{false};
};

FtpFaults& ftp_faults(const SimCamera* camera);
// Command lines received on the control connection, without their CRLF.
std::vector<std::string> ftp_commands(const SimCamera* camera);
// Control connections accepted.
int ftp_connections(const SimCamera* camera);

}  // namespace vsim

#endif
