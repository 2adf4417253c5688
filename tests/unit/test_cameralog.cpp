// Camera log files: naming, line format, level switches, concurrency.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "log/vora_cameralog.h"

namespace {

class CameraLogTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/vora-log-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        ASSERT_EQ(getcwd(old_cwd_, sizeof old_cwd_), old_cwd_);
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        set_log_switches(0, 0, 0, 0);
    }
    void TearDown() override
    {
        set_log_switches(0, 0, 0, 0);
        ASSERT_EQ(chdir(old_cwd_), 0);
        std::string cmd = "rm -rf " + dir_;
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    static std::vector<std::string> lines(const std::string& path)
    {
        std::ifstream in(path);
        std::vector<std::string> out;
        for (std::string line; std::getline(in, line);)
            out.push_back(line);
        return out;
    }
    static bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

    std::string dir_;
    char old_cwd_[4096];
};

TEST_F(CameraLogTest, NothingIsOpenedWhileAllSwitchesAreOff)
{
    cameralog log;
    EXPECT_EQ(log.log_enable("A123"), 0);
    EXPECT_FALSE(exists("A123.log"));
    log.log_error(1, "dropped");
    EXPECT_FALSE(log.is_open());
}

TEST_F(CameraLogTest, ErrorLevelOnlyWritesErrorLinesInTheDocumentedFormat)
{
    set_log_switches(1, 0, 0, 0);  // error, debug, warning, info
    {
        cameralog log;
        ASSERT_EQ(log.log_enable("A123"), 0);
        log.log_error(gvcp_log_error_level, "[function:CameraConnect] code %d", -11);
        log.log_info(gvcp_log_info_level, "[function:CameraConnect] info line");
        log.log_debug(gvsp_log_debug_level, "debug line");
        log.log_warnning(gvsp_log_warnning_level, "warning line");
        log.log_disable();
    }
    auto got = lines("A123.log");
    ASSERT_EQ(got.size(), 1u);
    // Date and time fields are not zero-padded, the microseconds always
    // have six digits, and the stamp ends with a space.
    std::regex format(
        R"(\[E\]\[\d{4}/[1-9]\d?/[1-9]\d? (0|[1-9]\d?):(0|[1-9]\d?):(0|[1-9]\d?)\.\d{6} \]\[function:CameraConnect\] code -11)");
    EXPECT_TRUE(std::regex_match(got[0], format)) << got[0];
}

TEST(CameraLogStamp, MicrosecondsAreZeroPaddedToSixDigits)
{
    struct tm local {};
    local.tm_year = 2026 - 1900;
    local.tm_mon = 2;
    local.tm_mday = 7;
    local.tm_hour = 9;
    local.tm_min = 5;
    local.tm_sec = 40;
    char buf[64];
    const struct {
        long us;
        const char* text;
    } cases[] = {{48594, "2026/3/7 9:5:40.048594 "},
                 {0, "2026/3/7 9:5:40.000000 "},
                 {7, "2026/3/7 9:5:40.000007 "},
                 {999999, "2026/3/7 9:5:40.999999 "}};
    for (const auto& c : cases) {
        EXPECT_EQ(cameralog::format_date_time(buf, local, c.us), static_cast<int>(std::strlen(c.text)));
        EXPECT_STREQ(buf, c.text);
    }
}

TEST(SafeLogName, RealSerialNumbersStayAsTheyAre)
{
    for (const char* serial : {"A123", "SIM00001", "Q3D-2024.0117", "AB_12 x", "0123456789ABCDEF"})
        EXPECT_EQ(safe_log_name(serial, 16), serial);
    // A serial that fills its field has no terminator: the field ends it.
    EXPECT_EQ(safe_log_name("0123456789ABCDEFGH", 16), "0123456789ABCDEF");
}

TEST(SafeLogName, NothingACameraSendsLeavesTheCurrentDirectoryOrHides)
{
    EXPECT_EQ(safe_log_name("../evil", 16), "___evil");
    EXPECT_EQ(safe_log_name("/etc/passwd", 16), "_etc_passwd");
    EXPECT_EQ(safe_log_name("a\\..\\b", 16), "a_.._b");  // inner dots are harmless without separators
    EXPECT_EQ(safe_log_name(".hidden", 16), "_hidden");
    EXPECT_EQ(safe_log_name("..", 16), "__");
    EXPECT_EQ(safe_log_name("line\nbreak\x7f\xff", 16), "line_break__");
    EXPECT_EQ(safe_log_name("", 16), "camera");
    EXPECT_EQ(safe_log_name(nullptr, 16), "camera");
}

TEST_F(CameraLogTest, EachSwitchEnablesItsOwnLevel)
{
    struct Case {
        int error, debug, warning, info;
        char letter;
    } cases[] = {{0, 1, 0, 0, 'D'}, {0, 0, 1, 0, 'W'}, {0, 0, 0, 1, 'I'}};
    for (const Case& c : cases) {
        set_log_switches(c.error, c.debug, c.warning, c.info);
        cameralog log;
        ASSERT_EQ(log.log_enable("levels"), 0);
        log.log_error(gvcp_log_error_level, "e");
        log.log_debug(gvcp_log_debug_level, "d");
        log.log_warnning(gvcp_log_warnning_level, "w");
        log.log_info(gvcp_log_info_level, "i");
        log.log_disable();
        auto got = lines("levels.log");
        ASSERT_EQ(got.size(), 1u) << c.letter;
        EXPECT_EQ(got[0].substr(0, 3), std::string("[") + c.letter + "]");
    }
}

TEST_F(CameraLogTest, ReopeningTruncatesAndLongNamesWork)
{
    set_log_switches(1, 1, 1, 1);
    const std::string name(64, 'S');  // far longer than a serial number field
    cameralog log;
    ASSERT_EQ(log.log_enable(name.c_str()), 0);
    log.log_info(1, "first connect");
    // Enabling an open log closes the old file first (no leak, no mix).
    ASSERT_EQ(log.log_enable(name.c_str()), 0);
    log.log_info(1, "second connect");
    log.log_disable();
    auto got = lines(name + ".log");
    ASSERT_EQ(got.size(), 1u);
    EXPECT_NE(got[0].find("second connect"), std::string::npos);
}

TEST_F(CameraLogTest, LongMessagesAreCutAt255Characters)
{
    set_log_switches(1, 0, 0, 0);
    cameralog log;
    ASSERT_EQ(log.log_enable("cut"), 0);
    log.log_error(1, "%s", std::string(400, 'x').c_str());
    log.log_disable();
    auto got = lines("cut.log");
    ASSERT_EQ(got.size(), 1u);
    const size_t message_start = got[0].find("]", 4) + 1;
    EXPECT_EQ(got[0].size() - message_start, 255u);
}

TEST_F(CameraLogTest, UnopenableFileReportsMinus12)
{
    set_log_switches(1, 0, 0, 0);
    cameralog log;
    EXPECT_EQ(log.log_enable("no-such-dir/cam"), -12);
    EXPECT_FALSE(log.is_open());
    log.log_error(1, "goes nowhere");
}

TEST_F(CameraLogTest, ConcurrentLinesNeverInterleave)
{
    set_log_switches(1, 1, 1, 1);
    cameralog log;
    ASSERT_EQ(log.log_enable("threads"), 0);
    const int threads = 4, per_thread = 500;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&log, t] {
            for (int i = 0; i < per_thread; ++i)
                log.log_info(1, "[function:T] thread %d line %d %s", t, i, "payload-payload-payload");
        });
    // Closing while other threads write must be safe too.
    for (auto& th : pool)
        th.join();
    log.log_disable();
    auto got = lines("threads.log");
    ASSERT_EQ(got.size(), static_cast<size_t>(threads * per_thread));
    std::regex line(R"(\[I\]\[[^\]]+ \]\[function:T\] thread \d line \d+ payload-payload-payload)");
    for (const auto& l : got)
        ASSERT_TRUE(std::regex_match(l, line)) << l;
}

TEST_F(CameraLogTest, DestroyingALogTurnsEverySwitchOff)
{
    set_log_switches(1, 1, 1, 1);
    {
        cameralog log;
    }
    EXPECT_FALSE(any_log_switch_on());
}

}  // namespace
