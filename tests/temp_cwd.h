// A fresh directory under /tmp that is the current directory while the
// object lives (log files land there), removed with everything in it after.
#ifndef VORA_TESTS_TEMP_CWD_H
#define VORA_TESTS_TEMP_CWD_H

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

class TempCwd {
public:
    TempCwd()
    {
        char dir[] = "/tmp/vora-cwd-XXXXXX";
        EXPECT_NE(mkdtemp(dir), nullptr);
        path_ = dir;
        EXPECT_NE(getcwd(old_, sizeof old_), nullptr);
        EXPECT_EQ(chdir(dir), 0);
    }
    ~TempCwd()
    {
        EXPECT_EQ(chdir(old_), 0);
        EXPECT_EQ(std::system(("rm -rf " + path_).c_str()), 0);
    }
    TempCwd(const TempCwd&) = delete;
    TempCwd& operator=(const TempCwd&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
    char old_[4096] = {};
};

#endif
