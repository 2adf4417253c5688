// Reading the data port out of passive-mode replies, replies out of the
// bytes of the control connection, and the name an upload is stored under.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ftp/ftp_reply.h"
#include "ftp/vora_ftpserver.h"

namespace {

TEST(FtpPasv, PortComesFromTheLastTwoNumbers)
{
    EXPECT_EQ(ftp_pasv_port("227 Entering Passive Mode (192,168,1,20,19,137)."), 5001);
    EXPECT_EQ(ftp_pasv_port("227 Entering Passive Mode (127,0,0,1,0,21)\r\n"), 21);
    EXPECT_EQ(ftp_pasv_port("227 =( 10, 0, 0, 1, 255, 255 )"), 65535);
    // An empty high number counts as 0.
    EXPECT_EQ(ftp_pasv_port("227 (1,2,3,4,,5)"), 5);
}

TEST(FtpPasv, MalformedRepliesNameNoPort)
{
    EXPECT_EQ(ftp_pasv_port(nullptr), -1);
    EXPECT_EQ(ftp_pasv_port(""), -1);
    EXPECT_EQ(ftp_pasv_port("227 Entering Passive Mode 192,168,1,20,19,137."), -1);
    EXPECT_EQ(ftp_pasv_port("530 Please login with USER and PASS."), -1);
    EXPECT_EQ(ftp_pasv_port("227 (192,168,1,20)"), -1);
    EXPECT_EQ(ftp_pasv_port("227 (192,168,1,20,19)"), -1);
    EXPECT_EQ(ftp_pasv_port("227 (192,168,1,20,19,137"), -1);
    EXPECT_EQ(ftp_pasv_port("227 (192,168,1,20,256,1)"), -1);
    EXPECT_EQ(ftp_pasv_port("227 (192,168,1,20,1,99999999999999999999)"), -1);
    EXPECT_EQ(ftp_pasv_port("227 (192,168,1,20,x,1)"), -1);
    EXPECT_EQ(ftp_pasv_port("227 (0,0,0,0,0,0)"), -1);
}

TEST(FtpReplies, ComeOutWholeHoweverTheBytesArrive)
{
    const std::string text = "220 ready\r\n230-Welcome\r\n 230 indented is no end\r\nyet\r\n230 Logged in\r\n331";
    FtpReplyReader reader;
    std::vector<std::string> replies;
    std::string reply;
    for (char c : text) {  // one byte at a time, the worst a network can do
        ASSERT_TRUE(reader.append(&c, 1));
        while (reader.next(&reply))
            replies.push_back(reply);
    }
    EXPECT_EQ(replies, (std::vector<std::string>{
                           "220 ready\r\n", "230-Welcome\r\n 230 indented is no end\r\nyet\r\n230 Logged in\r\n"}));
    EXPECT_EQ(ftp_reply_code(replies[1]), 230);
    EXPECT_EQ(ftp_reply_code("22 short"), -1);
    EXPECT_FALSE(reader.next(&reply));  // "331" has not ended yet

    // A peer that never ends its reply is cut off at the limit.
    FtpReplyReader endless;
    const std::string line(1024, 'x');
    size_t accepted = 0;
    while (endless.append(line.data(), line.size()))
        accepted += line.size();
    EXPECT_LE(accepted, FtpReplyReader::LIMIT);
}

TEST(FtpRemoteName, FileNameGoesUnderVar)
{
    EXPECT_EQ(ftp_remote_name("/home/user/fw.bin"), "/var/fw.bin");
    EXPECT_EQ(ftp_remote_name("fw.bin"), "/var/fw.bin");
    EXPECT_EQ(ftp_remote_name("dir/"), "/var/");
    const std::string long_name(3000, 'n');
    EXPECT_EQ(ftp_remote_name(("/a/b/" + long_name).c_str()), "/var/" + long_name);
}

}  // namespace
