// The receive thread of a stream, driven by scripted GVSP packet sequences
// from a fake camera on loopback: reassembly, resend requests, hand-over
// status, buffer budget, captures and statistics.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "gvcp/gvcp_codec.h"
#include "stream/vora_gige_stream.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kChunk = 100;  // payload bytes per packet in these tests

int udp_socket(uint32_t ip, uint16_t port)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(ip);
    a.sin_port = htons(port);
    EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    return s;
}

uint16_t local_port(int s)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

struct ResendRequest {
    uint16_t block_id;
    uint32_t first, last;
};

// A camera that sends scripted packets and collects resend requests.
class ScriptedStream : public ::testing::Test {
protected:
    void open(uint32_t payload = 1000, uint32_t host_ip = kLoopback)
    {
        payload_ = payload;
        control_ = udp_socket(kLoopback, GVCP_PORT);
        source_ = udp_socket(kLoopback, 0);
        const int receive = udp_socket(host_ip, 0);
        host_port_ = local_port(receive);
        DataStreamPrivateInfo info{};
        info.socket = static_cast<uint32_t>(receive);
        info.payload_size = payload;
        info.width = info.roi_size_x = payload / 6;
        info.height = info.roi_size_y = 1;
        info.pixel_bytes = 6;
        info.pixel_format = 0x023000B9;
        info.packet_count = (payload + kChunk - 1) / kChunk;
        info.cloud_unit = 10;
        stream_ = std::make_unique<GigeStream>(&info, 1, receive, static_cast<int>(host_ip), static_cast<int>(kLoopback),
                                               local_port(source_), host_port_, static_cast<int>(kChunk), 1000000000LL,
                                               nullptr);
        ASSERT_TRUE(stream_->running());
        packet_count_ = info.packet_count + 2;
        // The firewall opener arrives first; wait for it so the stream is up.
        char opener[8];
        pollfd p{source_, POLLIN, 0};
        ASSERT_EQ(poll(&p, 1, 2000), 1);
        ASSERT_EQ(recv(source_, opener, sizeof opener, 0), 2);
    }
    void TearDown() override
    {
        stream_.reset();
        if (control_ >= 0)
            close(control_);
        if (source_ >= 0)
            close(source_);
    }

    void send(const std::vector<uint8_t>& d, int from = -1)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(kLoopback);
        to.sin_port = htons(host_port_);
        sendto(from >= 0 ? from : source_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    static std::vector<uint8_t> header(uint16_t status, uint16_t block, uint8_t format, uint32_t id, size_t body)
    {
        std::vector<uint8_t> d(8 + body, 0);
        gvcp::put_u16(d.data(), status);
        gvcp::put_u16(d.data() + 2, block);
        gvcp::put_u32(d.data() + 4, (uint32_t(format) << 24) | id);
        return d;
    }
    void leader(uint16_t block, uint64_t ticks = 5, uint16_t status = 0, uint16_t payload_type = 1)
    {
        auto d = header(status, block, 1, 0, 36);
        gvcp::put_u16(d.data() + 10, payload_type);
        gvcp::put_u32(d.data() + 12, static_cast<uint32_t>(ticks >> 32));
        gvcp::put_u32(d.data() + 16, static_cast<uint32_t>(ticks));
        gvcp::put_u32(d.data() + 20, 0x023000B9);
        gvcp::put_u32(d.data() + 24, 7);
        gvcp::put_u32(d.data() + 28, 3);
        gvcp::put_u32(d.data() + 32, 16);
        gvcp::put_u32(d.data() + 36, 8);
        send(d);
    }
    void payload(uint16_t block, uint32_t id, uint16_t status = 0, size_t bytes = kChunk)
    {
        auto d = header(status, block, 3, id, bytes);
        for (size_t i = 8; i < d.size(); ++i)
            d[i] = static_cast<uint8_t>(id);
        send(d);
    }
    void trailer(uint16_t block)
    {
        auto d = header(0, block, 2, packet_count_ - 1, 8);
        send(d);
    }
    void whole_block(uint16_t block, std::vector<uint32_t> skip = {})
    {
        auto skipped = [&](uint32_t id) { return std::find(skip.begin(), skip.end(), id) != skip.end(); };
        if (!skipped(0))
            leader(block);
        for (uint32_t id = 1; id + 1 < packet_count_; ++id)
            if (!skipped(id))
                payload(block, id);
        if (!skipped(packet_count_ - 1))
            trailer(block);
    }

    std::vector<ResendRequest> resends(int wait_ms)
    {
        std::vector<ResendRequest> out;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{control_, POLLIN, 0};
            if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return out;
            uint8_t b[64];
            const ssize_t n = recv(control_, b, sizeof b, 0);
            if (n == 20 && gvcp::get_u16(b + 2) == PACKETRESEND_CMD) {
                EXPECT_EQ(b[0], 0x42);
                EXPECT_EQ(gvcp::get_u16(b + 4), 0x0C);
                EXPECT_EQ(gvcp::get_u16(b + 8), 1);  // the channel
                out.push_back({gvcp::get_u16(b + 10), gvcp::get_u32(b + 12), gvcp::get_u32(b + 16)});
            }
        }
    }

    struct Blocks {
        unsigned complete, incomplete, timeout, no_buffer, flushed, lost, error, overflow;
    };
    Blocks blocks()
    {
        Blocks b{};
        stream_->GetBlockStatistics(&b.complete, &b.incomplete, &b.timeout, &b.no_buffer, &b.flushed, &b.lost,
                                    &b.error, &b.overflow);
        return b;
    }
    struct Packets {
        unsigned received, lost, format_error, dropped, requested, resent, duplicate;
    };
    Packets packets()
    {
        Packets p{};
        stream_->GetPacketStatistics(&p.received, &p.lost, &p.format_error, &p.dropped, &p.requested, &p.resent,
                                     &p.duplicate);
        return p;
    }

    // Captures one frame within the wait; its pixel bytes land in `pixels`.
    int capture(PhotoInfo* frame, long long wait_us = 1000000)
    {
        pixels_.assign(payload_, 0);
        std::memset(frame, 0, sizeof *frame);
        frame->pixel = reinterpret_cast<char*>(pixels_.data());
        return stream_->TimeoutCapture(frame, wait_us);
    }

    std::unique_ptr<GigeStream> stream_;
    int control_ = -1, source_ = -1;
    uint16_t host_port_ = 0;
    uint32_t payload_ = 0, packet_count_ = 0;
    std::vector<uint8_t> pixels_;
};

TEST_F(ScriptedStream, AnInOrderBlockIsDeliveredCompleteAtOnce)
{
    open();
    whole_block(7);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 7);
    EXPECT_EQ(frame.pixel_format, 0x023000B9u);
    EXPECT_EQ(frame.pixel_width, 7u);
    EXPECT_EQ(frame.pixel_height, 3u);
    EXPECT_EQ(frame.roi.offset_x, 16u);
    EXPECT_EQ(frame.roi.offset_y, 8u);
    EXPECT_EQ(frame.payload_size, 1000u);
    EXPECT_EQ(frame.cloud_unit, 10u);
    EXPECT_EQ(frame.stream_channel_index_, 1);
    EXPECT_EQ(frame.timestamp_low, 5u);  // 5 ticks of a 1 GHz clock
    for (uint32_t id = 1; id <= 10; ++id)
        EXPECT_EQ(pixels_[(id - 1) * kChunk], id) << id;
    EXPECT_EQ(blocks().complete, 1u);
    EXPECT_EQ(packets().received, 12u);
    EXPECT_TRUE(resends(60).empty());
}

TEST_F(ScriptedStream, ALostPacketIsRequestedOnceThenAgainAfterThePacketTimeout)
{
    open();
    // A long packet timeout keeps "not yet" and "again" apart on a busy machine.
    ASSERT_EQ(stream_->SetPacketTimeout(300000), 0);
    ASSERT_EQ(stream_->SetBlockTimeout(3000000), 0);  // the block must outlive the wait
    leader(9);
    payload(9, 1);
    payload(9, 2);
    payload(9, 4);  // 3 is missing
    auto first = resends(200);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].block_id, 9);
    EXPECT_EQ(first[0].first, 3u);
    EXPECT_EQ(first[0].last, 3u);
    payload(9, 5);  // well within the timeout of that request: nothing new
    EXPECT_TRUE(resends(50).empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    payload(9, 6);
    // Older than the timeout now: the next scan (this datagram, or the idle
    // check of the silent block) asks again.
    bool asked_again = false;
    for (const ResendRequest& r : resends(300))
        asked_again |= r.first <= 3 && r.last >= 3;
    EXPECT_TRUE(asked_again);
    // The resent packet completes the block.
    payload(9, 3, 0x0100);
    for (uint32_t id = 7; id <= 10; ++id)
        payload(9, id);
    trailer(9);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(blocks().complete, 1u);
    EXPECT_GE(packets().resent, 1u);  // also later packets that the idle check asked for
    EXPECT_GE(packets().requested, 2u);
}

TEST_F(ScriptedStream, TheResendBudgetBoundsRequestsPerBlock)
{
    open();
    ASSERT_EQ(stream_->SetPacketTimeout(1000), 0);  // requests become due again after 1 ms
    leader(3);
    // Ten packets; keep poking the block so the receiver keeps rescanning.
    for (int round = 0; round < 30; ++round) {
        payload(3, 10);
        std::this_thread::sleep_for(std::chrono::milliseconds(3));
    }
    auto all = resends(50);
    EXPECT_LE(all.size(), 12u);  // packet_num (12) times the ratio 1.0
    EXPECT_GE(all.size(), 10u);
    EXPECT_EQ(stream_->SetPacketResendRatio(1.5), -2);
    EXPECT_EQ(stream_->GetPacketResendRatio(), 1.0);
    EXPECT_EQ(stream_->SetPacketResendRatio(0), 0);
}

TEST_F(ScriptedStream, WithoutResendANewerBlockSupersedesAnIncompleteOne)
{
    open();
    stream_->SetPacketResendFlag(0);
    whole_block(1, {4});
    leader(2);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame, 50000), 0);
    EXPECT_EQ(frame.block_id, 1);
    Blocks b = blocks();
    EXPECT_EQ(b.incomplete, 1u);
    EXPECT_EQ(b.complete, 0u);
    EXPECT_EQ(packets().lost, 8u);  // packet_num 12 − 1 − last valid packet 3
    EXPECT_TRUE(resends(20).empty());
}

TEST_F(ScriptedStream, ASilentIncompleteBlockTimesOutAndHoldsBackNewerOnes)
{
    open();
    whole_block(1, {5});
    whole_block(2);  // complete, but must wait behind block 1
    PhotoInfo frame;
    EXPECT_EQ(capture(&frame, 0), -34);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 1);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 2);
    Blocks b = blocks();
    EXPECT_EQ(b.timeout, 1u);
    EXPECT_EQ(b.incomplete, 1u);
    EXPECT_EQ(b.complete, 1u);
}

TEST_F(ScriptedStream, AnErrorPacketEndsTheBlockWithoutResends)
{
    open();
    leader(4);
    payload(4, 1);
    payload(4, 3, 0x8004);
    auto requested = resends(60);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(blocks().error, 1u);
    EXPECT_TRUE(requested.empty());
}

TEST_F(ScriptedStream, BlockIdsWrapPastZeroAndOldOrRestartedIdsAreSorted)
{
    open();
    whole_block(65534);  // the first block counts whatever its id
    whole_block(65535);
    whole_block(1);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 65534);
    ASSERT_EQ(capture(&frame), 0);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 1);
    EXPECT_EQ(blocks().lost, 0u);  // 65535 → 1 is the next id

    whole_block(5);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(blocks().lost, 1u);  // 1 → 5 skipped frames
    whole_block(10);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(blocks().lost, 2u);
    const unsigned dropped = packets().dropped;
    payload(5, 2);  // block 5 was handed over already
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_EQ(packets().dropped, dropped + 1);
    whole_block(200);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 200);
    EXPECT_EQ(blocks().lost, 3u);
    // A camera that restarted counts from 1 again: more than 99 behind, so
    // it is taken as a new block rather than dropped as already sent.
    whole_block(5000);
    ASSERT_EQ(capture(&frame), 0);
    whole_block(1);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 1);
}

TEST_F(ScriptedStream, PayloadPastTheFrameEndIsCutAndCounted)
{
    open(950);  // the last payload packet holds 50 bytes
    leader(2);
    for (uint32_t id = 1; id <= 10; ++id)
        payload(2, id);  // packet 10 sends 100 bytes
    trailer(2);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(blocks().overflow, 1u);
    EXPECT_EQ(pixels_[949], 10);
}

TEST_F(ScriptedStream, RuntsAndForeignDatagramsAreDroppedBeforeTheyAreRead)
{
    open();
    send({0x00, 0x00, 0x00, 0x07});  // 4 bytes: no header
    int foreign = udp_socket(0x7F000002, 0);
    auto d = header(0, 12, 1, 0, 36);
    send(d, foreign);
    close(foreign);
    whole_block(13);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 13);
    EXPECT_EQ(packets().dropped, 2u);
    EXPECT_EQ(blocks().complete, 1u);
}

TEST_F(ScriptedStream, TheBufferBudgetDropsNewFramesAndKeepsWaitingOnes)
{
    open();
    for (uint16_t b = 1; b <= 6; ++b)
        whole_block(b);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_GT(blocks().no_buffer, 0u);
    PhotoInfo frame;
    for (uint16_t b = 1; b <= 4; ++b) {
        ASSERT_EQ(capture(&frame), 0);
        EXPECT_EQ(frame.block_id, b);
    }
    EXPECT_EQ(capture(&frame, 0), -34);

    // FlushBuffer drops waiting frames.
    whole_block(7);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    stream_->FlushBuffer();
    pixels_.assign(payload_, 0);
    frame.pixel = reinterpret_cast<char*>(pixels_.data());
    EXPECT_EQ(stream_->TryCapture(&frame), -34);

    // A lower budget frees the surplus as buffers come back.
    ASSERT_EQ(stream_->SetMaxBufferLength(1), 0);
    EXPECT_EQ(stream_->SetMaxBufferLength(0), -2);
    whole_block(8);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 8);
}

TEST_F(ScriptedStream, CapturesAndTunablesRefuseBadArguments)
{
    open();
    EXPECT_EQ(stream_->Capture(nullptr), -2);
    EXPECT_EQ(stream_->TryCapture(nullptr), -2);
    EXPECT_EQ(stream_->TimeoutCapture(nullptr, 10), -2);
    PhotoInfo frame;
    EXPECT_EQ(capture(&frame, 100000), -34);
    EXPECT_EQ(stream_->SetSocketSelectTimeout(0), -2);
    EXPECT_EQ(stream_->SetPacketTimeout(0), -2);
    EXPECT_EQ(stream_->SetBlockTimeout(0), -2);
    EXPECT_EQ(stream_->SetSendtoStreamPortBreakFirewallTimeout(0), -2);
    EXPECT_EQ(stream_->GetSocketSelectTimeout(), 10000);
    EXPECT_EQ(stream_->GetPacketTimeout(), 40000);
    EXPECT_EQ(stream_->GetBlockTimeout(), 100000);
    EXPECT_EQ(stream_->GetMaxBufferLength(), 4);
    EXPECT_EQ(stream_->GetPacketResendFlag(), 1);
    stream_->SetPacketResendFlag(7);
    EXPECT_EQ(stream_->GetPacketResendFlag(), 1);
}

TEST_F(ScriptedStream, HistogramAndRates)
{
    open();
    whole_block(1);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    whole_block(2, {6});  // silent: handed over after the 100 ms block timeout
    ASSERT_EQ(capture(&frame), 0);
    StatisticsData s;
    stream_->GetRecieveTimeStatistics(&s);
    EXPECT_EQ(s.count, 2);
    EXPECT_EQ(s.bin_steps, 1000u);
    EXPECT_EQ(s.n_bins, 1000u);
    EXPECT_GE(s.max, 100000);
    int64_t in_bins = 0;
    for (int i = 0; i < 1000; ++i)
        in_bins += s.bins[i];
    EXPECT_EQ(in_bins, 2);
    EXPECT_GE(s.bins[s.max / 1000], 1);
    // Net speed and block rate need traffic across more than a second.
    for (uint16_t b = 3; b <= 5; ++b) {
        whole_block(b);
        ASSERT_EQ(capture(&frame), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
    whole_block(6);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_GT(stream_->GetNetSpeed(), 0);
    EXPECT_GT(stream_->GetBlockRate(), 0.0f);
}

TEST_F(ScriptedStream, ClosingWithFramesInFlightFlushesThemAndLeaksNothing)
{
    open();
    whole_block(1, {3});
    leader(2);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    stream_.reset();  // blocks still under reassembly are handed over as flushed, then freed
}

TEST_F(ScriptedStream, LeaderWithoutTickFrequencyOrOfTypeEightUsesTheHostClock)
{
    open();
    const uint64_t before = static_cast<uint64_t>(get_real_time()) * 1000;
    leader(3, 5, 0, 0x0008);
    for (uint32_t id = 1; id <= 10; ++id)
        payload(3, id);
    trailer(3);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_GE(frame.timestamp_low, before);
    EXPECT_EQ(frame.timestamp_high, frame.timestamp_low >> 32);
}

}  // namespace
