// Which datagrams a stream channel takes as its own.
#include <gtest/gtest.h>

#include <vector>

#include "gvsp_codec.h"
#include "stream/stream_source.h"

namespace {

constexpr uint32_t kCamera = 0x0A000002;

std::vector<uint8_t> leader(size_t length = gvsp::LEADER_LEN, uint16_t status = 0)
{
    std::vector<uint8_t> d(gvsp::LEADER_LEN);
    gvsp::Leader l{};
    l.payload_type = gvsp::PAYLOAD_TYPE_IMAGE;
    gvsp::build_leader(d.data(), status, 1, l);
    d.resize(length);
    return d;
}

TEST(StreamSource, OnlyTheCamerasAddressAndReportedPort)
{
    StreamSource source(kCamera, 20202);
    const auto d = leader();
    EXPECT_TRUE(source.accept(kCamera, 20202, d.data(), d.size()));
    EXPECT_FALSE(source.accept(kCamera, 20203, d.data(), d.size()));
    EXPECT_FALSE(source.accept(kCamera + 1, 20202, d.data(), d.size()));
    EXPECT_EQ(source.port(), 20202);
}

TEST(StreamSource, ACameraReportingNoPortIsFollowedFromItsFirstWellFormedLeader)
{
    StreamSource source(kCamera, 0);
    std::vector<uint8_t> payload(gvsp::HEADER_LEN + 16);
    gvsp::build_header(payload.data(), 0, 1, gvsp::FORMAT_PAYLOAD, 1);
    const auto runt = leader(30);
    const auto error = leader(gvsp::LEADER_LEN, 0x8004);
    const auto good = leader();
    EXPECT_FALSE(source.accept(kCamera, 30000, payload.data(), payload.size()));
    EXPECT_FALSE(source.accept(kCamera, 30000, runt.data(), runt.size()));
    EXPECT_FALSE(source.accept(kCamera, 30000, error.data(), error.size()));
    EXPECT_FALSE(source.accept(kCamera + 1, 30000, good.data(), good.size()));
    EXPECT_FALSE(source.accept(kCamera, 0, good.data(), good.size()));
    EXPECT_EQ(source.port(), 0);
    EXPECT_TRUE(source.accept(kCamera, 30001, good.data(), good.size()));
    EXPECT_EQ(source.port(), 30001);
    EXPECT_TRUE(source.accept(kCamera, 30001, payload.data(), payload.size()));
    EXPECT_FALSE(source.accept(kCamera, 30000, good.data(), good.size()));
}

}  // namespace
