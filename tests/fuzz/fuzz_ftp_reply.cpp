// What a camera's FTP service sends on the control connection, cut into
// segments anywhere: replies come out whole, in order, never more bytes than
// went in, and the passive-mode port is a port or none.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ftp/ftp_reply.h"
#include "ftp/vora_ftpserver.h"
#include "fuzz_check.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses where the segments end.
    const size_t segment = 1 + data[0] % 64;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const size_t len = size - 1;

    FtpReplyReader reader;
    size_t taken = 0;
    std::string reply;
    for (size_t at = 0; at < len; at += segment) {
        const size_t n = len - at < segment ? len - at : segment;
        if (!reader.append(text + at, n))
            break;
        while (reader.next(&reply)) {
            fuzz_check(!reply.empty() && reply.back() == '\n');
            taken += reply.size();
            fuzz_check(taken <= len);
            const int code = ftp_reply_code(reply);
            fuzz_check(code == -1 || (code >= 0 && code <= 999));
            const int port = ftp_pasv_port(reply.c_str());
            fuzz_check(port == -1 || (port >= 1 && port <= 65535));
        }
    }
    return 0;
}
