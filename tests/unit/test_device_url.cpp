// Reading the description URL out of the bootstrap URL registers.
#include <gtest/gtest.h>

#include "camera/device_url.h"

namespace {

TEST(DeviceUrl, TheLocalMemoryFormAsCamerasWriteIt)
{
    DeviceUrl url;
    ASSERT_TRUE(parse_device_url("Local:camera_v2.xml;100000;1a2B", &url));
    EXPECT_EQ(url.name, "camera_v2");
    EXPECT_EQ(url.extension, "xml");
    EXPECT_EQ(url.address, 0x100000u);
    EXPECT_EQ(url.length, 0x1A2Bu);

    // A name with dots keeps only its last part, as such URLs always were read.
    ASSERT_TRUE(parse_device_url("Local:vendor.model.zip;A000;20", &url));
    EXPECT_EQ(url.name, "model");
    EXPECT_EQ(url.extension, "zip");
}

TEST(DeviceUrl, RealWorldSpellings)
{
    const char* forms[] = {
        "local:sim.xml;0x100000;0x200",        "LOCAL:///sim.xml;100000;200",
        "Local: sim.xml; 100000; 200",         "Local:sim.xml;100000;200?SchemaVersion=1.1.0",
        "  Local:sim.xml;0X100000;00000200  ",
    };
    for (const char* text : forms) {
        DeviceUrl url;
        ASSERT_TRUE(parse_device_url(text, &url)) << text;
        EXPECT_EQ(url.name, "sim") << text;
        EXPECT_EQ(url.extension, "xml") << text;
        EXPECT_EQ(url.address, 0x100000u) << text;
        EXPECT_EQ(url.length, 0x200u) << text;
    }
}

TEST(DeviceUrl, RefusesWhatIsNotInDeviceMemoryOrOutOfLimits)
{
    const char* bad[] = {
        "",
        "File:///C:/camera.xml",
        "http://example.invalid/camera.xml",
        "Web:camera.xml;100;200",
        "Local:camera.xml;100",               // no length
        "Local:camera.xml;100;200;300",       // one part too many
        "Local:cameraxml;100;200",            // no extension
        "Local:camera.xmlzz;100;200",         // extension over 4 characters
        "Local:camera.xml;0x1000000000;200",  // address over 10 characters
        "Local:camera.xml;10G;200",           // not hexadecimal
        "Local:camera.xml;100;",
    };
    for (const char* text : bad) {
        DeviceUrl url;
        EXPECT_FALSE(parse_device_url(text, &url)) << text;
    }
    DeviceUrl url;
    EXPECT_FALSE(parse_device_url(nullptr, &url));
    const std::string long_name = "Local:" + std::string(48, 'n') + ".xml;100;200";
    EXPECT_FALSE(parse_device_url(long_name.c_str(), &url));
    const std::string limit_name = "Local:" + std::string(47, 'n') + ".xml;100;200";
    EXPECT_TRUE(parse_device_url(limit_name.c_str(), &url));
}

}  // namespace
