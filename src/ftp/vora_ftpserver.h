// Uploads to a camera's FTP service (firmware images land in its /var).
#ifndef VORA_FTPSERVER_H
#define VORA_FTPSERVER_H

#include <string>

// Called after every piece sent: bytes sent so far, the file's size, and
// the caller's pointer.
using FtpProgress = void (*)(long long sent, long long total, void* user);

// Stores the local file at `path` on the camera as "/var/<file name>".
// 0 when the camera confirmed the whole file; -1 when the file does not
// exist (nothing is sent), -44 when no socket, -45 when the camera cannot
// be reached, names no data port, or the transfer fails or is refused,
// -46 when the file cannot be read.
int ftp_upload(const char* camera_ip_text, const char* path);
int ftp_upload(const char* camera_ip_text, const char* path, FtpProgress progress, void* user);

// The data port named by a passive-mode reply "227 ... (h1,h2,h3,h4,p1,p2)",
// or -1 when the reply names none.
int ftp_pasv_port(const char* reply);

// "/var/" followed by the part of path after its last '/'.
std::string ftp_remote_name(const char* path);

#endif
