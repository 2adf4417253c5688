// The device description: download, saving, lookups by name, and connect
// with descriptions the camera serves in different ways.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "camera/vora_gige_camera.h"
#include "gvcp_codec.h"
#include "loopback_info.h"
#include "sim_camera.h"
#include "sim_description.h"

namespace {

constexpr unsigned kLoopback = 0x7F000001;

using testnet::loopback_info;

// READMEM commands the camera received, as (address, count).
std::vector<std::pair<uint32_t, uint16_t>> memory_reads(vsim::SimCamera& sim)
{
    std::vector<std::pair<uint32_t, uint16_t>> out;
    for (const auto& c : sim.commands())
        if (c.size() >= 16 && gvcp::get_u16(c.data() + 2) == READMEM_CMD)
            out.emplace_back(gvcp::get_u32(c.data() + 8), gvcp::get_u16(c.data() + 14));
    return out;
}

// A description of exactly `size` bytes: valid XML padded with a comment.
std::string description_of_size(size_t size)
{
    const std::string head = "<?xml version=\"1.0\"?><RegisterDescription><!--";
    const std::string tail = "--></RegisterDescription>";
    return head + std::string(size - head.size() - tail.size(), 'x') + tail;
}

class Description : public ::testing::Test {
protected:
    void start(const vsim::SimConfig& config)
    {
        sim = std::make_unique<vsim::SimCamera>(config);
        ASSERT_EQ(sim->start(), 0);
        ASSERT_EQ(camera.open_control_channel(kLoopback, kLoopback), 0);
    }
    std::unique_ptr<vsim::SimCamera> sim;
    GigeCamera camera;
};

class DescriptionSize : public Description, public ::testing::WithParamInterface<size_t> {};

TEST_P(DescriptionSize, IsReadIn536ByteChunksWithTheLastRoundedToWords)
{
    vsim::SimConfig config;
    config.description_override = description_of_size(GetParam());
    start(config);
    ASSERT_EQ(camera.GetXMLfromCamera(), 0);
    EXPECT_EQ(camera.xml_size, static_cast<int>(GetParam()));
    EXPECT_EQ(std::string(camera.xml_data, GetParam()), config.description_override);
    EXPECT_EQ(camera.xml_data[GetParam()], 0);
    auto reads = memory_reads(*sim);
    ASSERT_GE(reads.size(), 2u);
    EXPECT_EQ(reads[0], std::make_pair(uint32_t(First_Url_Reg), uint16_t(512)));
    std::vector<uint16_t> counts;
    for (size_t i = 1; i < reads.size(); ++i) {
        EXPECT_EQ(reads[i].first, vsim::DESCRIPTION_BASE + 536 * (i - 1));
        counts.push_back(reads[i].second);
    }
    const std::vector<uint16_t> expected = GetParam() == 536   ? std::vector<uint16_t>{536}
                                           : GetParam() == 537 ? std::vector<uint16_t>{536, 4}
                                                               : std::vector<uint16_t>{536, 536};
    EXPECT_EQ(counts, expected);
}

INSTANTIATE_TEST_SUITE_P(Sizes, DescriptionSize, ::testing::Values(536u, 537u, 1072u));

TEST_F(Description, TheSecondUrlIsUsedWhenTheFirstCannotBeRead)
{
    vsim::SimConfig config;
    config.description_url = vsim::UrlSlot::SecondOnly;
    start(config);
    ASSERT_EQ(camera.GetXMLfromCamera(), 0);
    auto reads = memory_reads(*sim);
    ASSERT_GE(reads.size(), 3u);
    EXPECT_EQ(reads[0].first, uint32_t(First_Url_Reg));
    EXPECT_EQ(reads[1].first, uint32_t(Second_Url_Reg));
    EXPECT_EQ(camera.xml_type, "xml");
    EXPECT_NE(std::string(camera.xml_data).find("RegisterDescription"), std::string::npos);
}

TEST_F(Description, UnreadableUrlsFailWithTheDeviceStatusSignExtended)
{
    vsim::SimConfig config;
    start(config);
    sim->faults.status = 0x8003;
    EXPECT_EQ(camera.GetXMLfromCamera(), static_cast<int16_t>(0x8003));
}

TEST_F(Description, SavedFileHoldsTheDescriptionBytesAlone)
{
    vsim::SimConfig config;
    config.description_zipped = true;
    start(config);
    camera.close_control_channel();
    DiscoveryInfo info = loopback_info();
    ASSERT_EQ(camera.CameraConnect(&info), 0);
    EXPECT_EQ(camera.xml_type, "zip");
    EXPECT_EQ(camera.GetRegisterAddr("TotalNumberOfCmos"), static_cast<int>(vsim::REG_TOTAL_NUMBER_OF_CMOS));

    char dir[] = "/tmp/vora-xml-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    EXPECT_EQ(camera.SaveXmlToLocal(""), -2);
    ASSERT_EQ(camera.SaveXmlToLocal(dir), 0);
    std::ifstream in(std::string(dir) + "/" + camera.xml_name + ".zip", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), static_cast<size_t>(camera.xml_size));
    EXPECT_EQ(bytes, std::string(camera.xml_data, static_cast<size_t>(camera.xml_size)));
    EXPECT_EQ(bytes.compare(0, 2, "PK"), 0);
    EXPECT_EQ(camera.SaveXmlToLocal("/nonexistent/dir"), -43);
    EXPECT_EQ(camera.CameraDisconnect(), 0);
    EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

TEST_F(Description, ASavedPlainDescriptionEndsWithItsLastTag)
{
    vsim::SimConfig config;
    start(config);
    camera.close_control_channel();
    DiscoveryInfo info = loopback_info();
    ASSERT_EQ(camera.CameraConnect(&info), 0);
    char dir[] = "/tmp/vora-xml-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_EQ(camera.SaveXmlToLocal(dir), 0);
    std::ifstream in(std::string(dir) + "/" + camera.xml_name + ".xml", std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Well-formed XML has nothing after the root's end tag but white space.
    EXPECT_EQ(bytes.find('\0'), std::string::npos);
    const size_t end = bytes.rfind("</RegisterDescription>");
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(bytes.find_first_not_of(" \r\n\t", end + std::strlen("</RegisterDescription>")), std::string::npos);
    EXPECT_EQ(camera.CameraDisconnect(), 0);
    EXPECT_EQ(std::system((std::string("rm -rf ") + dir).c_str()), 0);
}

// Hand-written description over the simulator's own registers, for the
// lookup rules that the camera's own description does not exercise.
const char* kHandWritten = R"(<?xml version="1.0"?>
<RegisterDescription ModelName="x" VendorName="y">
  <Category Name="Root"><pFeature>TotalNumberOfCmos</pFeature><pFeature>Both</pFeature></Category>
  <IntReg Name="TotalNumberOfCmos"><Address>0x10000</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>
  <IntReg Name="Both"><Address>0x938</Address><pAddress>Elsewhere</pAddress><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort></IntReg>
  <Integer Name="Elsewhere"><Value>0x904</Value></Integer>
  <IntReg Name="ByPointer"><pAddress>Elsewhere</pAddress><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>
  <Integer Name="Bounded"><pValue>Both</pValue><pMin>Unreadable</pMin><pMax>ByPointer</pMax></Integer>
  <IntReg Name="Unreadable"><Address>0xB00</Address><Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></IntReg>
  <StringReg Name="Serial"><Address>0xD8</Address><Length>16</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></StringReg>
  <StringReg Name="Huge"><Address>0x200</Address><Length>600</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></StringReg>
  <Register Name="InternelParameter"><Address>0x12040</Address><Length>56</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></Register>
  <Register Name="ExternelParameter"><Address>0x12080</Address><Length>48</Length><AccessMode>RO</AccessMode><pPort>Device</pPort></Register>
  <Port Name="Device"/>
</RegisterDescription>
)";

TEST_F(Description, LookupsFollowAddressThenPointersThenValues)
{
    vsim::SimConfig config;
    config.description_override = kHandWritten;
    start(config);
    camera.close_control_channel();
    DiscoveryInfo info = loopback_info();
    ASSERT_EQ(camera.CameraConnect(&info), 0);

    EXPECT_EQ(camera.GetRegisterAddr("Both"), 0x938);       // Address wins over pAddress
    EXPECT_EQ(camera.GetRegisterAddr("ByPointer"), 0x904);  // through pAddress to a Value
    EXPECT_EQ(camera.GetRegisterAddr("Bounded"), 0x938);    // through pValue
    EXPECT_EQ(camera.GetRegisterAddr("Nothing"), -21);
    EXPECT_EQ(camera.GetNodeMaxValue("Bounded"), 3);    // pMax: the register's contents
    EXPECT_EQ(camera.GetNodeMinValue("Bounded"), -29);  // pMin names an unreadable register
    EXPECT_EQ(camera.GetNodeIncValue("Bounded"), 1);    // no Inc at all
    EXPECT_EQ(camera.GetNodeMaxValue("Nothing"), 0);

    std::vector<std::string> names;
    camera.GetCameraXMLNodeNames(&names);
    EXPECT_EQ(names, (std::vector<std::string>{"TotalNumberOfCmos", "Both"}));

    char out[40];
    std::memset(out, 'X', sizeof out);
    camera.ReadStringRegister("Serial", out);
    EXPECT_EQ(std::string(out, 16), std::string("SIM00001") + std::string(8, '\0'));
    EXPECT_EQ(out[16], 'X');  // exactly Length bytes
    std::memset(out, 'X', sizeof out);
    camera.ReadStringRegister("Huge", out);  // longer than one READMEM: refused
    camera.ReadStringRegister("Nothing", out);
    EXPECT_EQ(std::string(out, sizeof out), std::string(sizeof out, 'X'));
    EXPECT_EQ(camera.CameraDisconnect(), 0);
}

TEST_F(Description, ADescriptionThatCannotBeBuiltEndsTheConnectCleanly)
{
    vsim::SimConfig config;
    config.description_override = "<?xml version=\"1.0\"?><RegisterDescription><Integer Name=\"broken\">";
    start(config);
    camera.close_control_channel();
    DiscoveryInfo info = loopback_info();
    EXPECT_EQ(camera.CameraConnect(&info), -10);
    EXPECT_FALSE(camera.is_connected());
    EXPECT_FALSE(sim->controlled_by_someone());  // privilege given back
    EXPECT_EQ(camera.control_port(), 0);
    EXPECT_EQ(camera.GetRegisterAddr("Width"), -11);
    // The camera object is usable again once the camera serves a good one.
    vsim::SimConfig good;
    sim.reset();
    start(good);
    camera.close_control_channel();
    EXPECT_EQ(camera.CameraConnect(&info), 0);
    EXPECT_EQ(camera.CameraDisconnect(), 0);
}

}  // namespace
