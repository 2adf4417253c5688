// FTP replies as they arrive on the control connection, assembled without a
// socket: the upload reads through it, and so can a test or a fuzz target.
#ifndef VORA_FTP_REPLY_H
#define VORA_FTP_REPLY_H

#include <cstddef>
#include <string>

class FtpReplyReader {
public:
    // Replies are a few lines; more pending text than this is not an FTP
    // server talking.
    static constexpr size_t LIMIT = 64 * 1024;

    // Adds bytes as received; false (nothing added) when the text waiting
    // for its end would pass LIMIT.
    bool append(const char* data, size_t len);
    // Takes the first whole reply, its line ends included: a single line, or
    // a multi-line reply ("ddd-" ... "ddd "). False while none is whole.
    bool next(std::string* reply);

private:
    // Length of the first whole reply in pending_, or npos.
    size_t complete_reply() const;

    std::string pending_;
};

// The three-digit code a reply starts with, or -1.
int ftp_reply_code(const std::string& reply);

#endif
