#include "ftp/ftp_reply.h"

#include <cctype>

namespace {

bool is_code(const std::string& line, size_t at)
{
    return line.size() >= at + 4 && std::isdigit(static_cast<unsigned char>(line[at])) &&
           std::isdigit(static_cast<unsigned char>(line[at + 1])) &&
           std::isdigit(static_cast<unsigned char>(line[at + 2]));
}

}  // namespace

int ftp_reply_code(const std::string& reply)
{
    if (!is_code(reply, 0))
        return -1;
    return (reply[0] - '0') * 100 + (reply[1] - '0') * 10 + (reply[2] - '0');
}

bool FtpReplyReader::append(const char* data, size_t len)
{
    if (pending_.size() + len > LIMIT)
        return false;
    pending_.append(data, len);
    return true;
}

bool FtpReplyReader::next(std::string* reply)
{
    const size_t end = complete_reply();
    if (end == std::string::npos)
        return false;
    *reply = pending_.substr(0, end);
    pending_.erase(0, end);
    return true;
}

size_t FtpReplyReader::complete_reply() const
{
    const size_t first_end = pending_.find('\n');
    if (first_end == std::string::npos)
        return std::string::npos;
    if (!is_code(pending_, 0) || pending_[3] != '-')
        return first_end + 1;
    const std::string last = pending_.substr(0, 3) + " ";
    for (size_t start = first_end + 1; start < pending_.size();) {
        const size_t end = pending_.find('\n', start);
        if (end == std::string::npos)
            return std::string::npos;
        if (pending_.compare(start, 4, last) == 0)
            return end + 1;
        start = end + 1;
    }
    return std::string::npos;
}
