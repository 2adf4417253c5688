// Sorting, address text and the subnet test: the parts of discovery that
// need no network.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "discovery/vora_discovery.h"
#include "vora_qelcamera_api.h"

namespace {

DiscoveryInfo record(uint32_t ip, const char* serial, size_t serial_len = 0)
{
    DiscoveryInfo info;
    std::memset(&info, 0, sizeof info);
    info.camera_ip = ip;
    std::memcpy(info.device_serial_number, serial, serial_len ? serial_len : std::strlen(serial));
    return info;
}

TEST(CameraSort, RefusesBeforeAnyDiscoveryAndUnknownModes)
{
    Discovery d;
    std::vector<DiscoveryInfo> list{record(1, "A")};
    EXPECT_EQ(d.CameraSort(&list, SORT_BY_IP), -5);
    EXPECT_EQ(CameraSort(SORT_BY_IP), -5);  // the process-wide object, before any discovery
    d.camera_count = 1;
    EXPECT_EQ(d.CameraSort(nullptr, SORT_BY_IP), -5);
    EXPECT_EQ(d.CameraSort(&list, 2), -2);
}

TEST(CameraSort, ByAddressComparesUnsignedHostOrderValues)
{
    Discovery d;
    std::vector<DiscoveryInfo> list{record(0xC0A80102, "x"), record(0x0A000009, "y"), record(0xFFFFFFFE, "z")};
    d.camera_count = 3;
    ASSERT_EQ(d.CameraSort(&list, SORT_BY_IP), 0);
    EXPECT_EQ(list[0].camera_ip, 0x0A000009u);  // 10.0.0.9
    EXPECT_EQ(list[1].camera_ip, 0xC0A80102u);  // 192.168.1.2
    EXPECT_EQ(list[2].camera_ip, 0xFFFFFFFEu);
}

TEST(CameraSort, BySerialNumberIsBytewiseAndStaysInsideTheField)
{
    Discovery d;
    // Two serial numbers fill all 16 bytes (no terminator) and share their
    // first 16 bytes with what follows in memory; only the field counts.
    std::vector<DiscoveryInfo> list{record(1, "A9"), record(2, "0123456789ABCDEF", 16), record(3, "A10"),
                                    record(4, "0123456789ABCDEE", 16)};
    d.camera_count = 4;
    ASSERT_EQ(d.CameraSort(&list, SORT_BY_SERIAL_NUMBER), 0);
    EXPECT_EQ(list[0].camera_ip, 4u);
    EXPECT_EQ(list[1].camera_ip, 2u);
    EXPECT_EQ(list[2].camera_ip, 3u);  // "A10" before "A9"
    EXPECT_EQ(list[3].camera_ip, 1u);

    // A count larger than the list (a stale discovery result) stays inside it.
    std::vector<DiscoveryInfo> short_list{record(1, "B"), record(2, "A")};
    d.camera_count = 9;
    ASSERT_EQ(d.CameraSort(&short_list, SORT_BY_SERIAL_NUMBER), 0);
    EXPECT_EQ(short_list[0].camera_ip, 2u);
}

TEST(AddressText, ConvertsBothWays)
{
    Discovery d;
    char good[] = "192.168.1.10", bad[] = "256.1.1.1", zero[] = "0.0.0.0", junk[] = "camera";
    EXPECT_EQ(d.ConvertIpStringToInt(good), 0xC0A8010Au);
    EXPECT_EQ(d.ConvertIpStringToInt(bad), 0u);
    EXPECT_EQ(d.ConvertIpStringToInt(zero), 0u);
    EXPECT_EQ(d.ConvertIpStringToInt(junk), 0u);
    EXPECT_EQ(d.ConvertIpStringToInt(nullptr), 0u);

    EXPECT_STREQ(d.ConvertIpIntToString(0xFFFFFFFF), "255.255.255.255");
    EXPECT_STREQ(d.ConvertIpIntToString(0), "0.0.0.0");
    EXPECT_STREQ(d.ConvertIpIntToString(0xCDCDCDCD), "0.0.0.0");
    // The text lives in the object's buffer: a second call overwrites it.
    const char* first = d.ConvertIpIntToString(0x0A000001);
    const char* second = d.ConvertIpIntToString(0x0A000002);
    EXPECT_EQ(first, second);
    EXPECT_STREQ(second, "10.0.0.2");
}

TEST(AddressText, ExportedFunctionsWithoutACameraList)
{
    EXPECT_STREQ(CameraIP(0), "0.0.0.0");
    EXPECT_STREQ(CameraIP(-1), "0.0.0.0");
    EXPECT_FALSE(WhetherIsSameSegment(3));
    char ip[] = "10.0.0.2", mask[] = "255.0.0.0", gw[] = "10.0.0.1";
    EXPECT_EQ(ForceIP(0, ip, mask, gw), -2);
}

TEST(SameSegment, EachSideIsMaskedWithItsOwnMask)
{
    Discovery d;
    DiscoveryInfo info = record(0xC0A80114, "s");  // 192.168.1.20/24
    info.camera_mask = 0xFFFFFF00;
    info.computer_ip = 0xC0A80105;  // 192.168.1.5/24
    info.computer_mask = 0xFFFFFF00;
    EXPECT_TRUE(d.WhetherIsSameSegment(info));
    info.camera_ip = 0x0A000014;  // 10.0.0.20/8
    info.camera_mask = 0xFF000000;
    EXPECT_FALSE(d.WhetherIsSameSegment(info));
}

TEST(ForceIpArguments, AreRefusedBeforeAnythingIsSent)
{
    Discovery d;
    DiscoveryInfo info = record(0x7F000001, "s");
    char ip[] = "10.0.0.2", mask[] = "255.0.0.0", zero[] = "0.0.0.0", bad[] = "10.0.0.300";
    EXPECT_EQ(d.ForceIp(info, nullptr, mask, mask), -2);
    EXPECT_EQ(d.ForceIp(info, ip, mask, zero), -2);  // a gateway of 0.0.0.0 cannot be set
    EXPECT_EQ(d.ForceIp(info, bad, mask, ip), -2);
    EXPECT_EQ(d.req_id, 0);  // no command was built
}

TEST(DiscoveryIds, WrapFrom65535ToOne)
{
    Discovery d;
    d.req_id = 0xFFFF;
    EXPECT_EQ(d.next_req_id(), 1);
    EXPECT_EQ(d.next_req_id(), 2);
}

TEST(DiscoveryNullList, ReturnsThePreviousResult)
{
    Discovery d;
    d.camera_count = 7;
    EXPECT_EQ(d.DiscoverCamera(nullptr), 7);
    EXPECT_EQ(d.req_id, 0);
}

}  // namespace
