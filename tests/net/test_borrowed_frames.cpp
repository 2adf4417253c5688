// Frames lent to the caller instead of copied: a borrowed frame holds what
// the camera sent, nothing writes into it while it is out however many
// frames arrive meanwhile, the loan limit refuses without losing a frame,
// only frames out on loan can be given back, and closing a stream with
// frames out waits for them or reclaims them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "eventually.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "sim_scene.h"
#include "temp_cwd.h"
#include "vora_pixel_format.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr uint32_t W = 64, H = 48, SIZE = W * H * 6;
constexpr double NOISE_MM = 5;
constexpr long long WAIT_US = 20000000LL * kTestSlowdown;

std::string slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

unsigned complete_blocks(int index, unsigned short channel)
{
    unsigned n = 0;
    GetBlockStatistics(index, channel, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    return n;
}

VoraLoanStatistics loans(int index = 0, unsigned short channel = 0)
{
    VoraLoanStatistics s{};
    EXPECT_EQ(GetLoanStatistics(index, channel, &s), 0);
    return s;
}

// A depth camera whose every frame differs (noise seeded by its block id),
// streaming a small region fast on channels 0 and 2 to camera 0 of the
// library.
class Borrowing : public ::testing::Test {
protected:
    void SetUp() override
    {
        vsim::SimConfig config;
        config.depth_noise_mm = NOISE_MM;
        config.frame_rate = 200;
        config.serial = "B0RROW";
        sim = std::make_unique<vsim::SimCamera>(config);
        ASSERT_EQ(sim->start(), 0);
        for (uint32_t sensor : {0u, 2u}) {
            sim->write_reg(vsim::SENSOR_BASE + sensor * vsim::SENSOR_STRIDE + vsim::SN_WIDTH, W);
            sim->write_reg(vsim::SENSOR_BASE + sensor * vsim::SENSOR_STRIDE + vsim::SN_HEIGHT, H);
        }
        clean = vsim::render_sensor(sim->config().sensors[0], vsim::Roi{W, H, 0, 0}, PIXEL_FORMAT_COORD3D_ABC16, 10);
        ASSERT_EQ(clean.size(), SIZE);
        ASSERT_EQ(DiscoverCamera(), 1);
        CreateCamera();
        ASSERT_EQ(CameraConnect(0), 0);
        ASSERT_EQ(StreamOn(0, 0), 0);
        ASSERT_EQ(AcquisitionStart(0), 0);
    }
    void TearDown() override
    {
        DestroyCamera();
        sim->stop();
    }
    // What the camera sent as the frame of this block.
    std::vector<uint8_t> sent(uint16_t block_id) const
    {
        std::vector<uint8_t> frame = clean;
        vsim::add_depth_noise(frame, block_id, NOISE_MM, 10);
        return frame;
    }
    bool as_sent(const PhotoInfo& f) const
    {
        return f.payload_size == SIZE && std::memcmp(f.pixel, sent(f.block_id).data(), SIZE) == 0;
    }

    std::unique_ptr<vsim::SimCamera> sim;
    std::vector<uint8_t> clean;
};

struct Held {
    PhotoInfo info;
    std::vector<char> bytes;  // as handed over
};

TEST_F(Borrowing, LentFramesHoldWhatWasSentAndNothingWritesIntoThemWhileOut)
{
    ASSERT_EQ(GetLoanLimit(0, 0), 4);
    std::vector<Held> held(4);
    for (Held& h : held) {
        ASSERT_EQ(BorrowFrame(0, 0, &h.info, WAIT_US), 0);
        EXPECT_EQ(h.info.pixel_width, W);
        EXPECT_EQ(h.info.pixel_format, PIXEL_FORMAT_COORD3D_ABC16);
        EXPECT_EQ(h.info.stream_channel_index_, 0);
        EXPECT_TRUE(as_sent(h.info)) << "block " << h.info.block_id;
        h.bytes.assign(h.info.pixel, h.info.pixel + SIZE);
    }
    for (size_t i = 1; i < held.size(); ++i)
        EXPECT_NE(held[i].info.pixel, held[i - 1].info.pixel);
    VoraLoanStatistics s = loans();
    EXPECT_EQ(s.out, 4u);
    EXPECT_EQ(s.lent, 4u);
    EXPECT_EQ(s.limit, 4u);

    // Hundreds of frames pass through the other buffers, captured by copy
    // (as sent too) and flushed, while the four stay out; a small budget
    // makes the pool reuse its buffers over and over.
    ASSERT_EQ(SetMaxBufferLength(0, 0, 2), 0);
    const unsigned start = complete_blocks(0, 0);
    std::vector<char> copy(SIZE);
    int captured = 0, captured_as_sent = 0;
    while (complete_blocks(0, 0) < start + 300) {
        PhotoInfo f{};
        f.pixel = copy.data();
        ASSERT_EQ(TimeoutCapture(0, 0, &f, WAIT_US), 0);
        ++captured;
        captured_as_sent += as_sent(f);
        if (captured % 7 == 0)
            FlushBuffer(0, 0);
    }
    EXPECT_GT(captured_as_sent, 0);
    for (const Held& h : held) {
        EXPECT_EQ(std::memcmp(h.info.pixel, h.bytes.data(), SIZE), 0) << "block " << h.info.block_id;
        EXPECT_TRUE(as_sent(h.info));
    }
    // Nothing was borrowed, reassembled into or counted twice on the way.
    s = loans();
    EXPECT_EQ(s.out, 4u);
    EXPECT_EQ(s.lent, 4u);
    EXPECT_EQ(s.returned, 0u);

    for (const Held& h : held)
        EXPECT_EQ(ReturnFrame(0, 0, &h.info), 0);
    s = loans();
    EXPECT_EQ(s.out, 0u);
    EXPECT_EQ(s.returned, 4u);
    // The buffers are in use again.
    Held again;
    ASSERT_EQ(BorrowFrame(0, 0, &again.info, WAIT_US), 0);
    EXPECT_TRUE(as_sent(again.info));
    EXPECT_EQ(ReturnFrame(0, 0, &again.info), 0);
}

TEST_F(Borrowing, TheLimitRefusesWithoutTakingTheFrameAndRecovers)
{
    for (unsigned bad : {0u, 65u, 0xFFFFFFFFu})
        EXPECT_EQ(SetLoanLimit(0, 0, bad), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(GetLoanLimit(0, 0), 4);
    ASSERT_EQ(SetLoanLimit(0, 0, 2), 0);
    EXPECT_EQ(GetLoanLimit(0, 0), 2);
    PhotoInfo a{}, b{}, c{};
    ASSERT_EQ(BorrowFrame(0, 0, &a, WAIT_US), 0);
    ASSERT_EQ(BorrowFrame(0, 0, &b, WAIT_US), 0);

    // A frame is ready behind the one captured; refusals leave it queued,
    // so the next capture gets exactly the following block.
    std::vector<char> copy(SIZE);
    PhotoInfo f{};
    f.pixel = copy.data();
    ASSERT_EQ(TimeoutCapture(0, 0, &f, WAIT_US), 0);
    const uint16_t first = f.block_id;
    ASSERT_EQ(SetMaxBufferLength(0, 0, 64), 0);
    const unsigned done = complete_blocks(0, 0);
    ASSERT_TRUE(eventually([&] { return complete_blocks(0, 0) >= done + 1; }));
    for (long long wait : {0LL, 1000LL, -1LL})
        EXPECT_EQ(BorrowFrame(0, 0, &c, wait), VORA_ERR_LOAN_LIMIT);
    ASSERT_EQ(TimeoutCapture(0, 0, &f, WAIT_US), 0);
    EXPECT_EQ(f.block_id, static_cast<uint16_t>(first + 1));
    EXPECT_EQ(loans().refused, 3u);

    // A limit lowered below what is out holds further borrows off until
    // enough came back.
    ASSERT_EQ(SetLoanLimit(0, 0, 1), 0);
    EXPECT_EQ(BorrowFrame(0, 0, &c, 0), VORA_ERR_LOAN_LIMIT);
    ASSERT_EQ(ReturnFrame(0, 0, &a), 0);
    EXPECT_EQ(BorrowFrame(0, 0, &c, 0), VORA_ERR_LOAN_LIMIT);
    ASSERT_EQ(ReturnFrame(0, 0, &b), 0);
    ASSERT_EQ(BorrowFrame(0, 0, &c, WAIT_US), 0);
    EXPECT_TRUE(as_sent(c));
    const VoraLoanStatistics s = loans();
    EXPECT_EQ(s.out, 1u);
    EXPECT_EQ(s.limit, 1u);
    EXPECT_EQ(s.lent, 3u);
    EXPECT_EQ(s.returned, 2u);
    EXPECT_EQ(s.refused, 5u);
    EXPECT_EQ(ReturnFrame(0, 0, &c), 0);
}

TEST_F(Borrowing, OnlyFramesOutOnLoanFromThisStreamCanBeGivenBack)
{
    ASSERT_EQ(StreamOn(0, 2), 0);
    PhotoInfo mine{}, other{};
    ASSERT_EQ(BorrowFrame(0, 0, &mine, WAIT_US), 0);
    ASSERT_EQ(BorrowFrame(0, 2, &other, WAIT_US), 0);

    EXPECT_EQ(ReturnFrame(0, 0, nullptr), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(BorrowFrame(0, 0, nullptr, 0), VORA_ERR_INVALID_ARG);
    EXPECT_EQ(GetLoanStatistics(0, 0, nullptr), VORA_ERR_INVALID_ARG);
    PhotoInfo foreign = mine;
    std::vector<char> own(SIZE);
    foreign.pixel = own.data();
    EXPECT_EQ(ReturnFrame(0, 0, &foreign), VORA_ERR_NOT_LENT);
    foreign.pixel = nullptr;
    EXPECT_EQ(ReturnFrame(0, 0, &foreign), VORA_ERR_NOT_LENT);
    foreign.pixel = mine.pixel + 1;  // inside the buffer, not the buffer
    EXPECT_EQ(ReturnFrame(0, 0, &foreign), VORA_ERR_NOT_LENT);
    EXPECT_EQ(ReturnFrame(0, 0, &other), VORA_ERR_NOT_LENT);  // the other channel's
    EXPECT_EQ(ReturnFrame(0, 1, &mine), VORA_ERR_STREAM_MISSING);
    // A captured frame's buffer is the caller's own.
    PhotoInfo f{};
    f.pixel = own.data();
    ASSERT_EQ(TimeoutCapture(0, 0, &f, WAIT_US), 0);
    EXPECT_EQ(ReturnFrame(0, 0, &f), VORA_ERR_NOT_LENT);
    EXPECT_EQ(loans().out, 1u);

    EXPECT_EQ(ReturnFrame(0, 0, &mine), 0);
    EXPECT_EQ(ReturnFrame(0, 0, &mine), VORA_ERR_NOT_LENT);
    EXPECT_EQ(ReturnFrame(0, 2, &other), 0);
    EXPECT_EQ(ReturnFrame(0, 2, &other), VORA_ERR_NOT_LENT);
    const VoraLoanStatistics s = loans();
    EXPECT_EQ(s.out, 0u);
    EXPECT_EQ(s.lent, 1u);
    EXPECT_EQ(s.returned, 1u);
}

TEST_F(Borrowing, SeveralThreadsBorrowAndReturnAtOnce)
{
    ASSERT_EQ(StreamOn(0, 2), 0);
    ASSERT_EQ(SetLoanLimit(0, 0, 3), 0);
    std::atomic<int> failures{0}, refused{0}, borrowed{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            const unsigned short ch = t % 2 ? 2 : 0;
            for (int i = 0; i < 40; ++i) {
                PhotoInfo f{};
                const int s = BorrowFrame(0, ch, &f, WAIT_US);
                if (s == VORA_ERR_LOAN_LIMIT) {
                    ++refused;
                    continue;
                }
                if (s != 0 || f.payload_size != SIZE || f.stream_channel_index_ != ch) {
                    ++failures;
                    continue;
                }
                ++borrowed;
                if ((ch == 0 && !as_sent(f)) || ReturnFrame(0, ch, &f) != 0)
                    ++failures;
            }
        });
    for (std::thread& t : threads)
        t.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(borrowed.load(), 0);
    uint64_t lent = 0, returned = 0, refusals = 0;
    for (unsigned short ch : {0, 2}) {
        const VoraLoanStatistics s = loans(0, ch);
        EXPECT_EQ(s.out, 0u);
        lent += s.lent;
        returned += s.returned;
        refusals += s.refused;
    }
    EXPECT_EQ(lent, static_cast<uint64_t>(borrowed.load()));
    EXPECT_EQ(returned, lent);
    EXPECT_EQ(refusals, static_cast<uint64_t>(refused.load()));
}

// A recorder on the same stream keeps recording what it is handed while
// the caller borrows: both read the same buffers, neither disturbs the other.
TEST_F(Borrowing, ARecordingOfTheSameStreamGoesOnWhileFramesAreBorrowed)
{
    TempCwd cwd;
    ASSERT_EQ(StartRecording(0, 1u, "borrowed.mcap", VORA_RECORD_RAW_ONLY), 0);
    // Frames finished before the recording began wait in the queue unrecorded:
    // once the recorder has its first frame, every later one passes it, so
    // those still queued then are flushed before the frames to hold are taken.
    ASSERT_TRUE(eventually([] {
        unsigned long long recorded = 0;
        return GetRecordingStatistics(0, &recorded, nullptr, nullptr) == 0 && recorded > 0;
    }));
    FlushBuffer(0, 0);
    std::vector<Held> held(2);
    for (Held& h : held) {
        ASSERT_EQ(BorrowFrame(0, 0, &h.info, WAIT_US), 0);
        h.bytes.assign(h.info.pixel, h.info.pixel + SIZE);
    }
    int borrowed = 0, borrowed_as_sent = 0;
    const unsigned start = complete_blocks(0, 0);
    while (complete_blocks(0, 0) < start + 100) {
        PhotoInfo f{};
        ASSERT_EQ(BorrowFrame(0, 0, &f, WAIT_US), 0);
        ++borrowed;
        borrowed_as_sent += as_sent(f);
        ASSERT_EQ(ReturnFrame(0, 0, &f), 0);
    }
    ASSERT_EQ(StopRecording(0), 0);
    EXPECT_GT(borrowed_as_sent, 0);
    for (const Held& h : held) {
        EXPECT_EQ(std::memcmp(h.info.pixel, h.bytes.data(), SIZE), 0);
        EXPECT_EQ(ReturnFrame(0, 0, &h.info), 0);
    }
    unsigned long long frames = 0, dropped = 0, bytes = 0;
    ASSERT_EQ(GetRecordingStatistics(0, &frames, &dropped, &bytes), 0);
    EXPECT_GT(frames, 0u);

    // What was recorded is what the camera sent, frames held on loan among them.
    const int r = OpenRecording("borrowed.mcap");
    ASSERT_GE(r, 0);
    std::vector<char> payload(SIZE);
    int read = 0, read_as_sent = 0;
    bool held_recorded[2] = {false, false};
    for (;;) {
        PhotoInfo f{};
        f.pixel = payload.data();
        if (ReadRecordingFrame(r, &f, SIZE, nullptr) != 0)
            break;
        ++read;
        read_as_sent += as_sent(f);
        for (size_t i = 0; i < held.size(); ++i)
            held_recorded[i] |=
                f.block_id == held[i].info.block_id && std::memcmp(f.pixel, held[i].bytes.data(), SIZE) == 0;
    }
    EXPECT_EQ(CloseRecording(r), 0);
    EXPECT_EQ(static_cast<unsigned long long>(read), frames);
    // Only frames the stream never completed may differ.
    unsigned incomplete = 0;
    GetBlockStatistics(0, 0, nullptr, &incomplete, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_GE(read_as_sent + static_cast<int>(incomplete), read);
    if (dropped == 0) {
        EXPECT_TRUE(held_recorded[0] && held_recorded[1]);
    }
}

// Closing with frames out: the frames another thread gives back meanwhile
// are waited for; what nobody gives back is reclaimed, counted and logged.
TEST(BorrowingClose, StreamOffWaitsForFramesComingBackAndReclaimsTheRest)
{
    TempCwd cwd;
    vsim::SimConfig config;
    config.serial = "L0ANS";
    config.frame_rate = 100;
    auto sim = std::make_unique<vsim::SimCamera>(config);
    ASSERT_EQ(sim->start(), 0);
    sim->write_reg(vsim::SENSOR_BASE + vsim::SN_WIDTH, W);
    sim->write_reg(vsim::SENSOR_BASE + vsim::SN_HEIGHT, H);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    SetLogLevel(1, 0, 0, 0);
    ASSERT_EQ(CameraConnect(0), 0);
    auto open = [] {
        ASSERT_EQ(StreamOn(0, 0), 0);
        ASSERT_EQ(AcquisitionStart(0), 0);
        ASSERT_EQ(SetLoanLimit(0, 0, 2), 0);
    };

    // A thread gives its frames back only once the stream is closing (it
    // notices when borrowing is no longer refused for the limit but for the
    // stream): StreamOff must wait for them, not block them.
    ASSERT_NO_FATAL_FAILURE(open());
    PhotoInfo a{}, b{};
    ASSERT_EQ(BorrowFrame(0, 0, &a, WAIT_US), 0);
    ASSERT_EQ(BorrowFrame(0, 0, &b, WAIT_US), 0);
    std::atomic<int> returned{-1};
    std::thread giver([&] {
        PhotoInfo probe{};
        int s;
        for (int i = 0; i < 1000000 && (s = BorrowFrame(0, 0, &probe, 0)) == VORA_ERR_LOAN_LIMIT; ++i)
            std::this_thread::yield();
        if (s != VORA_ERR_STREAM_MISSING) {
            returned = s;
            return;
        }
        returned = ReturnFrame(0, 0, &a) * 1000 + ReturnFrame(0, 0, &b);
    });
    EXPECT_EQ(StreamOff(0, 0), 0);
    giver.join();
    EXPECT_EQ(returned.load(), 0);
    EXPECT_EQ(GetLoanLimit(0, 0), VORA_ERR_STREAM_MISSING);

    // Nobody gives them back: reclaimed after the wait, and the log says how
    // many (the log is complete once the camera is disconnected).
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_EQ(BorrowFrame(0, 0, &a, WAIT_US), 0);
    ASSERT_EQ(BorrowFrame(0, 0, &b, WAIT_US), 0);
    ASSERT_EQ(ReturnFrame(0, 0, &b), 0);
    EXPECT_EQ(StreamOff(0, 0), 0);
    EXPECT_EQ(ReturnFrame(0, 0, &a), VORA_ERR_STREAM_MISSING);
    ASSERT_EQ(CameraDisconnect(0), 0);
    std::string log = slurp("L0ANS.log");
    const size_t at = log.find("1 frame(s) still out on loan after one second were reclaimed");
    EXPECT_NE(at, std::string::npos) << log;
    EXPECT_EQ(log.find("reclaimed", at + 70), std::string::npos) << "reclaimed twice:\n" << log;

    // Destroying the table reclaims in the same way.
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_NO_FATAL_FAILURE(open());
    ASSERT_EQ(BorrowFrame(0, 0, &a, WAIT_US), 0);
    ASSERT_EQ(BorrowFrame(0, 0, &b, WAIT_US), 0);
    DestroyCamera();
    EXPECT_NE(slurp("L0ANS.log").find("2 frame(s) still out on loan"), std::string::npos);
    SetLogLevel(0, 0, 0, 0);
    sim->stop();
}

TEST_F(Borrowing, FramesOutWhenTheCameraIsLostStayIntactAndCanBeGivenBack)
{
    std::vector<Held> held(2);
    for (Held& h : held) {
        ASSERT_EQ(BorrowFrame(0, 0, &h.info, WAIT_US), 0);
        h.bytes.assign(h.info.pixel, h.info.pixel + SIZE);
    }
    sim->faults.silent = true;  // the heartbeat gives it up
    sim->stream_faults.loss_rate = 1.0;
    // What arrived before is still lent out; then borrowing ends as capture does.
    int status = 0;
    for (int i = 0; i < 10000 && (status == 0 || status == VORA_ERR_CAPTURE_TIMEOUT); ++i) {
        PhotoInfo f{};
        status = BorrowFrame(0, 0, &f, 100000);
        if (status == 0) {
            EXPECT_EQ(ReturnFrame(0, 0, &f), 0);
        }
    }
    EXPECT_EQ(status, VORA_ERR_CAMERA_LOST);
    for (const Held& h : held) {
        EXPECT_EQ(std::memcmp(h.info.pixel, h.bytes.data(), SIZE), 0);
        EXPECT_EQ(ReturnFrame(0, 0, &h.info), 0);
    }
    EXPECT_EQ(loans().out, 0u);
}

}  // namespace
