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

// Every name of the camera's description as it was before it used
// selectors, formulas and converters, with the register GetRegisterAddr has
// always answered for it: the library's typed controls, the tool, the
// bridge and the Python package add sensor x 0x100 or channel x 0x40 to
// these. Selected registers keep the sensor-0 / channel-0 address.
TEST_F(Description, EveryFeatureKeepsTheRegisterItAlwaysLookedUp)
{
    using namespace vsim;
    using namespace vsim::bootstrap;
    auto sensor0 = [](uint32_t offset) { return SENSOR_BASE + offset; };
    auto channel0 = [](uint32_t offset) { return CHANNEL_BASE + offset; };
    const std::vector<std::pair<const char*, uint32_t>> expected = {
        {"DeviceVendorName", VENDOR_NAME},
        {"DeviceModelName", MODEL_NAME},
        {"DeviceVersion", DEVICE_VERSION},
        {"DeviceManufacturerInfo", MANUFACTURER_INFO},
        {"DeviceSerialNumber", SERIAL_NUMBER},
        {"DeviceUserID", USER_NAME},
        {"TotalNumberOfCmos", REG_TOTAL_NUMBER_OF_CMOS},
        {"TotalNumberOfCmosReg", REG_TOTAL_NUMBER_OF_CMOS},
        {"DeviceCloudUnit", REG_DEVICE_CLOUD_UNIT},
        {"DeviceCloudUnitReg", REG_DEVICE_CLOUD_UNIT},
        {"FirmwareUpdate", REG_FIRMWARE_UPDATE},
        {"FirmwareUpdateReg", REG_FIRMWARE_UPDATE},
        {"DeviceReboot", REG_DEVICE_REBOOT},
        {"DeviceRebootReg", REG_DEVICE_REBOOT},
        {"CmosIndex", channel0(CH_CMOS_INDEX)},
        {"CmosIndexReg", channel0(CH_CMOS_INDEX)},
        {"Width", sensor0(SN_WIDTH)},
        {"WidthReg", sensor0(SN_WIDTH)},
        {"Height", sensor0(SN_HEIGHT)},
        {"HeightReg", sensor0(SN_HEIGHT)},
        {"OffsetX", sensor0(SN_OFFSET_X)},
        {"OffsetXReg", sensor0(SN_OFFSET_X)},
        {"OffsetY", sensor0(SN_OFFSET_Y)},
        {"OffsetYReg", sensor0(SN_OFFSET_Y)},
        {"MWOP", sensor0(SN_MAX_WIDTH)},
        {"MHOP", sensor0(SN_MAX_HEIGHT)},
        {"PixelFormat", channel0(CH_PIXEL_FORMAT)},
        {"PixelFormatReg", channel0(CH_PIXEL_FORMAT)},
        {"AcquisitionStart", REG_ACQUISITION_START},
        {"AcquisitionStartReg", REG_ACQUISITION_START},
        {"AcquisitionStop", REG_ACQUISITION_STOP},
        {"AcquisitionStopReg", REG_ACQUISITION_STOP},
        {"AcquisitionStatus", REG_ACQUISITION_STATUS},
        {"AcquisitionStatusReg", REG_ACQUISITION_STATUS},
        {"TriggerSelector", REG_TRIGGER_SELECTOR},
        {"TriggerSelectorReg", REG_TRIGGER_SELECTOR},
        {"TriggerMode", REG_TRIGGER_MODE},
        {"TriggerModeReg", REG_TRIGGER_MODE},
        {"TriggerSource", REG_TRIGGER_SOURCE},
        {"TriggerSourceReg", REG_TRIGGER_SOURCE},
        {"TriggerSoftware", REG_TRIGGER_SOFTWARE},
        {"TriggerSoftwareReg", REG_TRIGGER_SOFTWARE},
        {"RGBTriggerMode", REG_RGB_TRIGGER_MODE},
        {"RGBTriggerModeReg", REG_RGB_TRIGGER_MODE},
        {"RGBTriggerSoftware", REG_RGB_TRIGGER_SOFTWARE},
        {"RGBTriggerSoftwareReg", REG_RGB_TRIGGER_SOFTWARE},
        {"ExposureType", REG_EXPOSURE_TYPE},
        {"ExposureTypeReg", REG_EXPOSURE_TYPE},
        {"ExposureAuto", sensor0(SN_EXPOSURE_AUTO)},
        {"ExposureAutoReg", sensor0(SN_EXPOSURE_AUTO)},
        {"ExposureCompensationLevel", sensor0(SN_EXPOSURE_COMPENSATION)},
        {"ExposureCompensationLevelReg", sensor0(SN_EXPOSURE_COMPENSATION)},
        {"ExposureTime", sensor0(SN_EXPOSURE_TIME)},
        {"ExposureTimeReg", sensor0(SN_EXPOSURE_TIME)},
        {"ExposureTimeMax", REG_EXPOSURE_TIME_MAX},
        {"analoggain", REG_ANALOG_GAIN},
        {"analoggainReg", REG_ANALOG_GAIN},
        {"analoggain_rgb", REG_ANALOG_GAIN_RGB},
        {"analoggain_rgbReg", REG_ANALOG_GAIN_RGB},
        {"digitalgain", REG_DIGITAL_GAIN},
        {"digitalgainReg", REG_DIGITAL_GAIN},
        {"digitalgain_rgb", REG_DIGITAL_GAIN_RGB},
        {"digitalgain_rgbReg", REG_DIGITAL_GAIN_RGB},
        {"StrobeLEDswitch", REG_STROBE_LED_SWITCH},
        {"StrobeLEDswitchReg", REG_STROBE_LED_SWITCH},
        {"Laserbrightness", REG_LASER_BRIGHTNESS},
        {"LaserbrightnessReg", REG_LASER_BRIGHTNESS},
        {"StrobeLEDbrightress", REG_STROBE_LED_BRIGHTNESS},
        {"StrobeLEDbrightressReg", REG_STROBE_LED_BRIGHTNESS},
        {"PayloadSize", channel0(CH_PAYLOAD_SIZE)},
        {"PayloadSizeReg", channel0(CH_PAYLOAD_SIZE)},
        {"GevStreamChannelCount", Number_of_Stream_Channels_Reg},
        {"GevStreamChannelCountReg", Number_of_Stream_Channels_Reg},
        {"GevSCPSPacketSize", Stream_Channel_Packet_Size_Reg},
        {"GevSCPSPacketSizeReg", Stream_Channel_Packet_Size_Reg},
        {"GevSCSP", Source_Port_Reg},
        {"GevSCSPReg", Source_Port_Reg},
        {"GevSCDA", Stream_Channel_0_Destination_Address_Reg},
        {"GevSCDAReg", Stream_Channel_0_Destination_Address_Reg},
        {"GevSCPHostPort", Stream_Channel_0_Port_Reg},
        {"GevSCPHostPortReg", Stream_Channel_0_Port_Reg},
        {"GevHeartbeatTimeout", Heartbeat_Timeout_Reg},
        {"GevHeartbeatTimeoutReg", Heartbeat_Timeout_Reg},
        {"TimestampTickFrequencyHiReg", TICK_FREQUENCY_HIGH},
        {"TimestampTickFrequencyLoReg", TICK_FREQUENCY_LOW},
        {"GevTimestampControlLatch", TIMESTAMP_CONTROL},
        {"GevTimestampControlLatchReg", TIMESTAMP_CONTROL},
        {"GEV_BOOTSTRAP_TimestampValueLatchedHigh", TIMESTAMP_LATCHED_HIGH},
        {"GEV_BOOTSTRAP_TimestampValueLatchedLow", TIMESTAMP_LATCHED_LOW},
        {"GevIEEE1588", GVCP_CONFIGURATION},
        {"GevIEEE1588Reg", GVCP_CONFIGURATION},
        {"GevIEEE1588Status", IEEE1588_STATUS},
        {"GevIEEE1588StatusReg", IEEE1588_STATUS},
        {"InternelParameter", sensor0(SN_INTRINSICS)},
        {"ExternelParameter", sensor0(SN_EXTRINSICS)},
        // Computed over two registers: no register of their own.
        {"GevTimestampTickFrequency", 0},
        {"GevTimestampValue", 0},
    };
    for (const bool zipped : {false, true}) {
        vsim::SimConfig config;
        config.description_zipped = zipped;
        sim.reset();
        start(config);
        camera.close_control_channel();
        DiscoveryInfo info = loopback_info();
        ASSERT_EQ(camera.CameraConnect(&info), 0);
        for (const auto& e : expected)
            EXPECT_EQ(camera.GetRegisterAddr(e.first), static_cast<int>(e.second))
                << e.first << (zipped ? " (zipped)" : "");
        EXPECT_EQ(camera.CameraDisconnect(), 0);
    }
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
