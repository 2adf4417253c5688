// Features by name through the exported calls, against the simulated camera:
// what reaches its registers, what is refused before the wire, and how the
// by-name calls and the library's own controls stay in step.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "sim_camera.h"
#include "sim_description.h"
#include "vora_qelcamera_api.h"

namespace {

std::string error_text()
{
    char text[512] = {};
    EXPECT_EQ(GetFeatureError(text, sizeof text), 0);
    return text;
}

std::vector<std::string> names_of(const char* category)
{
    int count = -1;
    EXPECT_EQ(GetFeatureNames(0, category, nullptr, 0, &count), 0);
    std::vector<char> slots(static_cast<size_t>(count) * VORA_FEATURE_NAME_SIZE);
    int again = -1;
    EXPECT_EQ(GetFeatureNames(0, category, slots.data(), count, &again), 0);
    EXPECT_EQ(again, count);
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i)
        names.emplace_back(&slots[static_cast<size_t>(i) * VORA_FEATURE_NAME_SIZE]);
    return names;
}

bool has(const std::vector<std::string>& list, const std::string& name)
{
    for (const std::string& n : list)
        if (n == name)
            return true;
    return false;
}

class FeaturesByName : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(sim.start(), 0);
        ASSERT_EQ(DiscoverCamera(), 1);
        CreateCamera();
        ASSERT_EQ(CameraConnect(0), 0);
    }
    void TearDown() override
    {
        CameraDisconnect(0);
        DestroyCamera();
        sim.stop();
    }
    vsim::SimCamera sim;
};

TEST_F(FeaturesByName, ListsAndDescribesTheDescriptionsFeatures)
{
    const std::vector<std::string> all = names_of(nullptr);
    EXPECT_TRUE(has(all, "Laserbrightness"));
    EXPECT_TRUE(has(all, "TriggerMode"));
    EXPECT_TRUE(has(all, "DeviceUserID"));
    EXPECT_FALSE(has(all, "LightControl")) << "categories are not features";
    const std::vector<std::string> light = names_of("LightControl");
    EXPECT_TRUE(has(light, "Laserbrightness"));
    EXPECT_FALSE(has(light, "TriggerMode"));
    int count = 0;
    EXPECT_EQ(GetFeatureNames(0, "NoSuchCategory", nullptr, 0, &count), VORA_ERR_NO_NODE);

    VoraFeatureInfo info;
    ASSERT_EQ(DescribeFeature(0, "Laserbrightness", &info), 0) << error_text();
    EXPECT_STREQ(info.name, "Laserbrightness");
    EXPECT_STREQ(info.display_name, "Laser Brightness");
    EXPECT_EQ(info.type, VORA_FEATURE_INTEGER);
    EXPECT_EQ(info.access, VORA_ACCESS_RW);
    ASSERT_TRUE(info.has_range);
    EXPECT_EQ(info.int_min, 1);
    EXPECT_EQ(info.int_max, 100);
    EXPECT_EQ(info.int_inc, 1);

    ASSERT_EQ(DescribeFeature(0, "TriggerMode", &info), 0) << error_text();
    EXPECT_EQ(info.type, VORA_FEATURE_ENUMERATION);
    ASSERT_EQ(info.entry_count, 2);
    char entries[2][VORA_FEATURE_NAME_SIZE];
    long long values[2] = {-1, -1};
    ASSERT_EQ(GetFeatureEntries(0, "TriggerMode", &entries[0][0], values, 2, &count), 0);
    EXPECT_STREQ(entries[0], "Off");
    EXPECT_STREQ(entries[1], "On");
    EXPECT_EQ(values[1], 1);

    ASSERT_EQ(DescribeFeature(0, "DeviceModelName", &info), 0);
    EXPECT_EQ(info.type, VORA_FEATURE_STRING);
    EXPECT_EQ(info.access, VORA_ACCESS_RO);

    EXPECT_EQ(DescribeFeature(0, "NoSuchFeature", &info), VORA_ERR_NO_NODE);
    EXPECT_NE(error_text().find("NoSuchFeature"), std::string::npos) << "the message names the feature";
}

TEST_F(FeaturesByName, ValuesAreCheckedBeforeTheyReachTheCamera)
{
    ASSERT_EQ(SetFeatureInteger(0, "Laserbrightness", 55), 0) << error_text();
    EXPECT_EQ(sim.read_reg(vsim::REG_LASER_BRIGHTNESS), 55u);
    long long value = 0;
    ASSERT_EQ(GetFeatureInteger(0, "Laserbrightness", &value), 0);
    EXPECT_EQ(value, 55);

    EXPECT_EQ(SetFeatureInteger(0, "Laserbrightness", 101), VORA_ERR_FEATURE_RANGE);
    const std::string why = error_text();
    EXPECT_NE(why.find("Laserbrightness"), std::string::npos) << why;
    EXPECT_NE(why.find("101"), std::string::npos) << why;
    EXPECT_EQ(sim.read_reg(vsim::REG_LASER_BRIGHTNESS), 55u) << "a refused value is never written";

    // Enumerations by symbolic name and by value.
    ASSERT_EQ(SetFeatureEnum(0, "TriggerMode", "On"), 0) << error_text();
    EXPECT_EQ(sim.read_reg(vsim::REG_TRIGGER_MODE), 1u);
    char entry[VORA_FEATURE_NAME_SIZE] = {};
    ASSERT_EQ(GetFeatureEnum(0, "TriggerMode", entry, sizeof entry, &value), 0);
    EXPECT_STREQ(entry, "On");
    EXPECT_EQ(value, 1);
    EXPECT_EQ(SetFeatureEnum(0, "TriggerMode", "Sometimes"), VORA_ERR_FEATURE_RANGE);
    EXPECT_EQ(SetFeatureEnumValue(0, "TriggerMode", 7), VORA_ERR_FEATURE_RANGE);
    ASSERT_EQ(SetFeatureEnumValue(0, "TriggerMode", 0), 0);
    EXPECT_EQ(sim.read_reg(vsim::REG_TRIGGER_MODE), 0u);

    // Strings, a read-only one refused.
    ASSERT_EQ(SetFeatureString(0, "DeviceUserID", "cell-3"), 0) << error_text();
    char text[64] = {};
    ASSERT_EQ(GetFeatureString(0, "DeviceUserID", text, sizeof text), 0);
    EXPECT_STREQ(text, "cell-3");
    EXPECT_EQ(SetFeatureString(0, "DeviceUserID", "a name far longer than sixteen bytes"), VORA_ERR_FEATURE_RANGE);
    EXPECT_EQ(SetFeatureString(0, "DeviceModelName", "other"), VORA_ERR_FEATURE_NOT_WRITABLE);
    EXPECT_EQ(GetFeatureString(0, "DeviceUserID", text, 3), VORA_ERR_INVALID_ARG) << "a buffer too small is refused";

    // Commands, and calls of the wrong type.
    ASSERT_EQ(ExecuteFeatureCommand(0, "AcquisitionStart"), 0) << error_text();
    EXPECT_TRUE(sim.acquiring());
    ASSERT_EQ(ExecuteFeatureCommand(0, "AcquisitionStop"), 0) << error_text();
    EXPECT_EQ(GetFeatureInteger(0, "AcquisitionStart", &value), VORA_ERR_FEATURE_TYPE);
    EXPECT_EQ(GetFeatureString(0, "Laserbrightness", text, sizeof text), VORA_ERR_FEATURE_TYPE);
    EXPECT_EQ(ExecuteFeatureCommand(0, "Laserbrightness"), VORA_ERR_FEATURE_TYPE);
    double real = 0;
    ASSERT_EQ(GetFeatureFloat(0, "Laserbrightness", &real), 0) << "an integer reads as a float too";
    EXPECT_EQ(real, 55.0);
}

TEST_F(FeaturesByName, TheLibrarysOwnControlsAndNamesStayInStep)
{
    long long value = 0;
    ASSERT_EQ(GetFeatureInteger(0, "Laserbrightness", &value), 0);
    // A write by the library's own control is seen by the next read by name,
    // cached or not.
    ASSERT_EQ(SetLaserbrightness(0, 33), 0);
    ASSERT_EQ(GetFeatureInteger(0, "Laserbrightness", &value), 0);
    EXPECT_EQ(value, 33);
    ASSERT_EQ(SetFeatureInteger(0, "Laserbrightness", 44), 0);
    EXPECT_EQ(GetLaserbrightness(0), 44);
    EXPECT_EQ(GetRegisterAddr(0, "Laserbrightness"), static_cast<int>(vsim::REG_LASER_BRIGHTNESS));
}

TEST_F(FeaturesByName, SelectorsFormulasConvertersAndBitFieldsEndToEnd)
{
    // The selector moves ExposureTime to the chosen sensor's register, the
    // one the library's own control writes for that sensor.
    ASSERT_EQ(SetFeatureInteger(0, "SensorSelector", 1), 0) << error_text();
    ASSERT_EQ(SetFeatureInteger(0, "ExposureTime", 4321), 0) << error_text();
    EXPECT_EQ(sim.read_reg(vsim::SENSOR_BASE + vsim::SENSOR_STRIDE + vsim::SN_EXPOSURE_TIME), 4321u);
    EXPECT_EQ(GetExposureTime(0, 1), 4321);
    ASSERT_EQ(SetExposureTime(0, 1234, 1), 0);
    long long value = 0;
    ASSERT_EQ(GetFeatureInteger(0, "ExposureTime", &value), 0);
    EXPECT_EQ(value, 1234) << "the control's write is seen through the selector";
    ASSERT_EQ(SetFeatureInteger(0, "SensorSelector", 0), 0);
    ASSERT_EQ(GetFeatureInteger(0, "ExposureTime", &value), 0);
    EXPECT_EQ(value, GetExposureTime(0, 0));
    char names[4][VORA_FEATURE_NAME_SIZE];
    int count = 0;
    ASSERT_EQ(GetFeatureSelectors(0, "ExposureTime", &names[0][0], 4, &count), 0);
    ASSERT_EQ(count, 1);
    EXPECT_STREQ(names[0], "SensorSelector");

    // Its maximum is a formula over the sensor count; the library's bound
    // reader follows it rather than reading a register that is not there.
    VoraFeatureInfo info;
    ASSERT_EQ(DescribeFeature(0, "SensorSelector", &info), 0);
    EXPECT_EQ(info.int_max, 2);
    EXPECT_EQ(GetNodeMaxValue(0, "SensorSelector"), 2);
    EXPECT_EQ(SetFeatureInteger(0, "SensorSelector", 3), VORA_ERR_FEATURE_RANGE);

    // A converter and a bit field.
    double celsius = 0;
    ASSERT_EQ(GetFeatureFloat(0, "DeviceTemperature", &celsius), 0) << error_text();
    EXPECT_NEAR(celsius, 42.5, 1e-9);
    EXPECT_EQ(SetFeatureFloat(0, "DeviceTemperature", 20.0), VORA_ERR_FEATURE_NOT_WRITABLE);
    ASSERT_EQ(GetFeatureInteger(0, "GevVersionMajor", &value), 0) << error_text();
    EXPECT_EQ(value, 2);
}

TEST_F(FeaturesByName, ConcurrentCallersEachGetWholeAnswers)
{
    std::atomic<int> bad{0};
    auto reader = [&] {
        for (int i = 0; i < 50; ++i) {
            long long value = 0;
            if (GetFeatureInteger(0, "Laserbrightness", &value) != 0 || value < 1 || value > 100)
                ++bad;
            VoraFeatureInfo info;
            if (DescribeFeature(0, "TriggerMode", &info) != 0)
                ++bad;
        }
    };
    std::thread a(reader), b(reader);
    for (int i = 0; i < 50; ++i)
        if (SetFeatureInteger(0, "Laserbrightness", 1 + i) != 0)
            ++bad;
    a.join();
    b.join();
    EXPECT_EQ(bad.load(), 0);
}

TEST(FeaturesByNameWithoutCamera, AnswerMissingOrNotConnected)
{
    long long value = 0;
    EXPECT_EQ(GetFeatureInteger(0, "Laserbrightness", &value), VORA_ERR_CAMERA_MISSING);
    vsim::SimCamera sim;
    ASSERT_EQ(sim.start(), 0);
    ASSERT_EQ(DiscoverCamera(), 1);
    CreateCamera();
    EXPECT_EQ(GetFeatureInteger(0, "Laserbrightness", &value), VORA_ERR_NOT_CONNECTED);
    ASSERT_EQ(CameraConnect(0), 0);
    ASSERT_EQ(GetFeatureInteger(0, "Laserbrightness", &value), 0);
    ASSERT_EQ(CameraDisconnect(0), 0);
    EXPECT_EQ(GetFeatureInteger(0, "Laserbrightness", &value), VORA_ERR_NOT_CONNECTED);
    EXPECT_EQ(GetFeatureInteger(0, nullptr, &value), VORA_ERR_INVALID_ARG);
    DestroyCamera();
    sim.stop();
}

}  // namespace
