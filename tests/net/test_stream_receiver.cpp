// A stream's receive thread end to end, against a fake camera on loopback
// that sends scripted GVSP datagrams and answers resend requests. Every wait
// is for an event (a datagram, a frame, a counter) with a generous deadline;
// the reassembly rules themselves are covered datagram by datagram, on a
// clock of the test's own, by the block assembler's tests.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

#include "eventually.h"
#include "gvcp_codec.h"
#include "gvsp_codec.h"
#include "socket_address.h"
#include "stream/vora_gige_stream.h"
#include "vora_pixel_format.h"

namespace {

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kChunk = 100;  // payload bytes per packet in these tests
constexpr int kDeadlineMs = 10000;

using Clock = std::chrono::steady_clock;

int udp_socket(uint32_t ip, uint16_t port)
{
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = make_addr(ip, port);
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

// Waits for a datagram on `s`; its bytes, or nothing after the deadline.
std::vector<uint8_t> next_datagram(int s, int deadline_ms = kDeadlineMs)
{
    pollfd p{s, POLLIN, 0};
    if (poll(&p, 1, deadline_ms) != 1)
        return {};
    uint8_t b[2048];
    const ssize_t n = recv(s, b, sizeof b, 0);
    return n > 0 ? std::vector<uint8_t>(b, b + n) : std::vector<uint8_t>();
}

class StreamReceiver : public ::testing::Test {
protected:
    void open(uint32_t payload = 1000)
    {
        payload_ = payload;
        control_ = udp_socket(kLoopback, GVCP_PORT);
        source_ = udp_socket(kLoopback, 0);
        const int receive = udp_socket(kLoopback, 0);
        host_port_ = local_port(receive);
        DataStreamPrivateInfo info{};
        info.socket = static_cast<uint32_t>(receive);
        info.payload_size = payload;
        info.width = info.roi_size_x = payload / 6;
        info.height = info.roi_size_y = 1;
        info.pixel_bytes = 6;
        info.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
        info.packet_count = (payload + kChunk - 1) / kChunk;
        info.cloud_unit = 10;
        stream_ = std::make_unique<GigeStream>(&info, 1, receive, static_cast<int>(kLoopback),
                                               static_cast<int>(kLoopback), local_port(source_), host_port_,
                                               static_cast<int>(kChunk), 1000000000LL, nullptr);
        ASSERT_TRUE(stream_->running());
        packet_count_ = info.packet_count + 2;
        // The firewall opener comes first: exactly "01", from the receive
        // socket to the camera's stream source port. The stream is up then.
        const auto opener = next_datagram(source_);
        EXPECT_EQ(opener, (std::vector<uint8_t>{'0', '1'}));
    }
    void TearDown() override
    {
        stream_.reset();
        for (int s : {control_, source_})
            if (s >= 0)
                close(s);
    }

    void send(const std::vector<uint8_t>& d, int from = -1)
    {
        const sockaddr_in to = make_addr(kLoopback, host_port_);
        sendto(from >= 0 ? from : source_, d.data(), d.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    std::vector<uint8_t> packet(uint32_t id, uint16_t block, uint16_t status = 0)
    {
        if (id == 0) {
            gvsp::Leader l{};
            l.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
            l.timestamp = 5;
            l.pixel_format = PIXEL_FORMAT_COORD3D_ABC16;
            l.size_x = 7;
            l.size_y = 3;
            std::vector<uint8_t> d(gvsp::LEADER_LEN);
            gvsp::build_leader(d.data(), status, block, l);
            return d;
        }
        if (id + 1 == packet_count_) {
            std::vector<uint8_t> d(gvsp::TRAILER_LEN);
            gvsp::build_trailer(d.data(), status, block, id, gvsp::Trailer{gvsp::PAYLOAD_TYPE_IMAGE, 3});
            return d;
        }
        std::vector<uint8_t> d(gvsp::HEADER_LEN + kChunk, static_cast<uint8_t>(id));
        gvsp::build_header(d.data(), status, block, gvsp::FORMAT_PAYLOAD, id);
        return d;
    }
    void whole_block(uint16_t block, std::vector<uint32_t> skip = {})
    {
        for (uint32_t id = 0; id < packet_count_; ++id)
            if (std::find(skip.begin(), skip.end(), id) == skip.end())
                send(packet(id, block));
    }

    int capture(PhotoInfo* frame, long long wait_us = kDeadlineMs * 1000LL)
    {
        pixels_.assign(payload_, 0);
        std::memset(frame, 0, sizeof *frame);
        frame->pixel = reinterpret_cast<char*>(pixels_.data());
        return stream_->TimeoutCapture(frame, wait_us);
    }
    unsigned packets_received()
    {
        unsigned received = 0;
        stream_->GetPacketStatistics(&received, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        return received;
    }

    std::unique_ptr<GigeStream> stream_;
    int control_ = -1, source_ = -1;
    uint16_t host_port_ = 0;
    uint32_t payload_ = 0, packet_count_ = 0;
    std::vector<uint8_t> pixels_;
};

TEST_F(StreamReceiver, AFrameArrivesWholeAndIsAnnouncedToTheFirewall)
{
    open();
    whole_block(7);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 7);
    EXPECT_EQ(frame.pixel_width, 7u);
    EXPECT_EQ(frame.payload_size, 1000u);
    EXPECT_EQ(frame.stream_channel_index_, 1);
    for (uint32_t id = 1; id <= 10; ++id)
        EXPECT_EQ(pixels_[(id - 1) * kChunk], id) << id;
    // Every frame handed over sends another opener.
    EXPECT_EQ(next_datagram(source_), (std::vector<uint8_t>{'0', '1'}));
    unsigned complete = 0;
    stream_->GetBlockStatistics(&complete, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(complete, 1u);
}

TEST_F(StreamReceiver, ALostPacketIsAskedForOnTheControlPortAndTheAnswerCompletesTheFrame)
{
    open();
    whole_block(9, {3});
    const auto request = next_datagram(control_);
    gvcp::CmdHeaderFields cmd;
    gvcp::PacketResend resend;
    ASSERT_TRUE(gvcp::parse_cmd_header(request.data(), request.size(), &cmd));
    ASSERT_TRUE(gvcp::parse_packetresend(request.data(), request.size(), &resend));
    EXPECT_EQ(cmd.start, PACK_START);
    EXPECT_EQ(cmd.command, PACKETRESEND_CMD);
    EXPECT_EQ(cmd.length, 12);
    EXPECT_EQ(cmd.req_id, 1);
    EXPECT_EQ(resend.stream_channel, 1);
    EXPECT_EQ(resend.block_id, 9);
    EXPECT_EQ(resend.first_packet_id, 3u);
    EXPECT_EQ(resend.last_packet_id, 3u);

    send(packet(3, 9, gvsp::STATUS_RESEND));
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(pixels_[2 * kChunk], 3);
    unsigned requested = 0, resent = 0, complete = 0;
    stream_->GetPacketStatistics(nullptr, nullptr, nullptr, nullptr, &requested, &resent, nullptr);
    stream_->GetBlockStatistics(&complete, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_GE(requested, 1u);
    EXPECT_EQ(resent, 1u);
    EXPECT_EQ(complete, 1u);
}

TEST_F(StreamReceiver, DatagramsFromAnotherHostAreDroppedBeforeTheyAreRead)
{
    open();
    int foreign = udp_socket(0x7F000002, 0);
    send(packet(0, 12), foreign);
    close(foreign);
    send({0x00, 0x00, 0x00, 0x07});  // 4 bytes: no header
    whole_block(13);
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 13);
    unsigned dropped = 0;
    stream_->GetPacketStatistics(nullptr, nullptr, nullptr, &dropped, nullptr, nullptr, nullptr);
    EXPECT_EQ(dropped, 2u);
}

TEST_F(StreamReceiver, ACaptureThatWaitsIsWokenByTheFrame)
{
    open();
    std::atomic<int> result{1};
    PhotoInfo frame{};
    std::vector<char> pixels(payload_);
    frame.pixel = pixels.data();
    std::thread waiter([&] { result = stream_->Capture(&frame); });
    whole_block(21);
    waiter.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(frame.block_id, 21);
}

TEST_F(StreamReceiver, CapturesAndTunablesRefuseBadArguments)
{
    open();
    EXPECT_EQ(stream_->Capture(nullptr), -2);
    EXPECT_EQ(stream_->TryCapture(nullptr), -2);
    EXPECT_EQ(stream_->TimeoutCapture(nullptr, 10), -2);
    PhotoInfo frame;
    const auto start = Clock::now();
    EXPECT_EQ(capture(&frame, 100000), -34);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(90));  // it did wait
    EXPECT_EQ(stream_->TryCapture(&frame), -34);
    EXPECT_EQ(stream_->SetSocketSelectTimeout(0), -2);
    EXPECT_EQ(stream_->SetPacketTimeout(0), -2);
    EXPECT_EQ(stream_->SetBlockTimeout(0), -2);
    EXPECT_EQ(stream_->SetSendtoStreamPortBreakFirewallTimeout(0), -2);
    EXPECT_EQ(stream_->SetMaxBufferLength(0), -2);
    EXPECT_EQ(stream_->GetSocketSelectTimeout(), 10000);
    EXPECT_EQ(stream_->GetPacketTimeout(), 40000);
    EXPECT_EQ(stream_->GetBlockTimeout(), 100000);
    EXPECT_EQ(stream_->GetSendtoStreamPortBreakFirewallTimeout(), 3000000);
    EXPECT_EQ(stream_->GetMaxBufferLength(), 4);
    EXPECT_EQ(stream_->GetPacketResendFlag(), 1);
    stream_->SetPacketResendFlag(7);
    EXPECT_EQ(stream_->GetPacketResendFlag(), 1);
    stream_->SetPacketResendFlag(0);
    EXPECT_EQ(stream_->GetPacketResendFlag(), 0);
    EXPECT_EQ(stream_->SetPacketResendRatio(1.5), -2);
    EXPECT_EQ(stream_->GetPacketResendRatio(), 1.0);
    EXPECT_EQ(stream_->SetPacketResendRatio(0), 0);
    EXPECT_EQ(stream_->GetPacketResendRatio(), 0.0);
}

TEST_F(StreamReceiver, FlushingDropsWaitingFrames)
{
    open();
    whole_block(1);
    whole_block(2);
    ASSERT_TRUE(eventually([&] {
        unsigned complete = 0;
        stream_->GetBlockStatistics(&complete, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
        return complete == 2;
    }));
    stream_->FlushBuffer();
    PhotoInfo frame;
    EXPECT_EQ(capture(&frame, 0), -34);
    whole_block(3);
    ASSERT_EQ(capture(&frame), 0);
    EXPECT_EQ(frame.block_id, 3);
}

TEST_F(StreamReceiver, ClosingWithFramesInFlightFlushesThemAndLeaksNothing)
{
    open();
    whole_block(1, {3});
    send(packet(0, 2));
    ASSERT_TRUE(eventually([&] { return packets_received() == (packet_count_ - 1) + 1; }));
    stream_.reset();  // blocks still under reassembly are handed over as flushed, then freed
}

TEST_F(StreamReceiver, StoppingWakesTheReceiveThreadWhateverItsWait)
{
    open();
    ASSERT_EQ(stream_->SetSocketSelectTimeout(0xFFFFFFFFu), 0);
    whole_block(1);  // the thread goes back to waiting after this
    PhotoInfo frame;
    ASSERT_EQ(capture(&frame), 0);
    const auto start = Clock::now();
    stream_.reset();
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(30));  // not the hour the wait would take
}

}  // namespace
