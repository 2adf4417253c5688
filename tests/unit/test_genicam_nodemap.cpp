// Node questions answered from hand-written device descriptions in the
// styles real cameras ship.
#include <gtest/gtest.h>
#include <zip.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "genicam/genicam_evaluator.h"
#include "genicam/genicam_nodemap.h"

using namespace GenApi;

namespace {

const char kCamera[] = R"(<?xml version="1.0" encoding="utf-8"?>
<RegisterDescription ModelName="TC-1" VendorName="Example" StandardNameSpace="GEV"
    SchemaMajorVersion="1" SchemaMinorVersion="1" SchemaSubMinorVersion="0"
    MajorVersion="1" MinorVersion="0" SubMinorVersion="0"
    xmlns="http://www.genicam.org/GenApi/Version_1_1"
    xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance">
  <Category Name="Root" NameSpace="Standard">
    <pFeature>DeviceControl</pFeature>
    <pFeature>ImageFormatControl</pFeature>
    <pFeature>AcquisitionControl</pFeature>
  </Category>
  <Category Name="DeviceControl" NameSpace="Standard">
    <pFeature>DeviceUserID</pFeature>
    <pFeature>DeviceTemperature</pFeature>
  </Category>
  <StringReg Name="DeviceUserID" NameSpace="Standard">
    <Address>0xE8</Address>
    <Length>16</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
  </StringReg>
  <Float Name="DeviceTemperature" NameSpace="Standard">
    <Value>0x1A</Value>
    <Min>-40.5</Min>
  </Float>
  <Group Comment="Image format">
    <Category Name="ImageFormatControl" NameSpace="Standard">
      <pFeature>Width</pFeature>
      <pFeature>Height</pFeature>
      <pFeature>PixelFormat</pFeature>
    </Category>
    <Integer Name="Width" NameSpace="Standard">
      <ToolTip>
        Width of the image &lt;in pixels&gt;.
      </ToolTip>
      <pInvalidator>OffsetXReg</pInvalidator>
      <pInvalidator>WidthMax</pInvalidator>
      <pValue>WidthReg</pValue>
      <Min>0x10</Min>
      <pMax>WidthMax</pMax>
      <Inc>4</Inc>
    </Integer>
    <IntReg Name="WidthReg">
      <Address>0x0A00</Address>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
      <Sign>Unsigned</Sign>
      <Endianess>BigEndian</Endianess>
    </IntReg>
    <Group Comment="Limits">
      <IntReg Name="WidthMax">
        <Address>2564</Address>
        <Length>4</Length>
        <AccessMode>RO</AccessMode>
        <pPort>Device</pPort>
      </IntReg>
      <Integer Name="Height" NameSpace="Standard">
        <Value>0x1E0</Value>
      </Integer>
    </Group>
    <IntReg Name="OffsetXReg">
      <Address>0x100</Address>
      <pAddress>StreamBase</pAddress>
      <Length>4</Length>
      <AccessMode>RW</AccessMode>
      <pPort>Device</pPort>
    </IntReg>
    <Enumeration Name="PixelFormat" NameSpace="Standard">
      <EnumEntry Name="EnumEntry_PixelFormat_Mono8" NameSpace="Standard"><Value>0x01080001</Value></EnumEntry>
      <!-- entries spelled out in full, as most descriptions do, and short -->
      <EnumEntry Name="Mono16" NameSpace="Standard"><Value>0x01100007</Value></EnumEntry>
      <pValue>PixelFormatReg</pValue>
    </Enumeration>
  </Group>
  <Category Name="AcquisitionControl" NameSpace="Standard">
    <pFeature>AcquisitionStart</pFeature>
    <pFeature>TriggerSelector</pFeature>
  </Category>
  <Command Name="AcquisitionStart" NameSpace="Standard">
    <pValue>AcquisitionCommandReg</pValue>
    <CommandValue>0x1</CommandValue>
  </Command>
  <Enumeration Name="TriggerSelector" NameSpace="Standard">
    <EnumEntry Name="FrameStart" NameSpace="Standard">
      <Value>0</Value>
    </EnumEntry>
    <EnumEntry Name="AcquisitionStart" NameSpace="Standard">
      <pIsAvailable>TriggerAvailable</pIsAvailable>
      <Value>0x10</Value>
    </EnumEntry>
    <Value>0</Value>
  </Enumeration>
  <IntReg Name="AcquisitionCommandReg">
    <Address>0xFFFF0000</Address>
    <Length>4</Length>
    <AccessMode>WO</AccessMode>
    <pPort>Device</pPort>
  </IntReg>
  <Register Name="UserData">
    <pAddress>StreamBase</pAddress>
    <pAddress>UserOffset</pAddress>
    <Length>64</Length>
    <AccessMode>RW</AccessMode>
    <pPort>Device</pPort>
  </Register>
  <IntReg Name="StreamBase">
    <Address>0x0D00</Address>
    <Length>4</Length>
    <AccessMode>RO</AccessMode>
    <pPort>Device</pPort>
  </IntReg>
  <StructReg Comment="Status">
    <Address>0x0C00</Address>
    <Length>4</Length>
    <AccessMode>RO</AccessMode>
    <pPort>Device</pPort>
    <Endianess>BigEndian</Endianess>
    <StructEntry Name="StatusBusy">
      <Bit>31</Bit>
    </StructEntry>
    <StructEntry Name="StatusCode" NameSpace="Custom">
      <AccessMode>RW</AccessMode>
      <LSB>0x18</LSB>
      <MSB>16</MSB>
      <Sign>Signed</Sign>
    </StructEntry>
  </StructReg>
  <Category Name="Orphans">
    <pFeature>Gain</pFeature>
  </Category>
  <SwissKnife Name="Gain">
    <pVariable Name="W">Width</pVariable>
    <pVariable Name="H">Height</pVariable>
    <Formula><![CDATA[(W >> 1) + H]]></Formula>
  </SwissKnife>
  <Integer Name="TestOffset" NameSpace="Custom">
    <Value>-0x10</Value>
    <Max>0x7FFFFFFFFFFFFFFF</Max>
    <Inc>1.5</Inc>
  </Integer>
  <Port Name="Device" NameSpace="Standard"/>
</RegisterDescription>
)";

std::shared_ptr<CNodeMap> create(EContentType type, const std::string& bytes, std::string* error = nullptr)
{
    CNodeMapFactory factory(type, bytes.data(), bytes.size());
    std::shared_ptr<CNodeMap> map = factory.CreateNodeMap();
    if (error)
        *error = factory.LastError();
    return map;
}

// A zip archive in memory holding the given (name, content) entries in order.
std::string make_zip(const std::vector<std::pair<std::string, std::string>>& files)
{
    zip_error_t ze;
    zip_error_init(&ze);
    zip_source_t* src = zip_source_buffer_create(nullptr, 0, 0, &ze);
    zip_source_keep(src);
    zip_t* za = zip_open_from_source(src, ZIP_TRUNCATE, &ze);
    EXPECT_NE(za, nullptr);
    for (const auto& f : files) {
        zip_source_t* data = zip_source_buffer(za, f.second.data(), f.second.size(), 0);
        EXPECT_GE(zip_file_add(za, f.first.c_str(), data, ZIP_FL_ENC_UTF_8), 0);
    }
    EXPECT_EQ(zip_close(za), 0);
    std::string out;
    EXPECT_EQ(zip_source_open(src), 0);
    zip_source_seek(src, 0, SEEK_END);
    out.resize(static_cast<size_t>(zip_source_tell(src)));
    zip_source_seek(src, 0, SEEK_SET);
    EXPECT_EQ(zip_source_read(src, &out[0], out.size()), static_cast<zip_int64_t>(out.size()));
    zip_source_close(src);
    zip_source_free(src);
    zip_error_fini(&ze);
    return out;
}

class CameraNodeMap : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        std::shared_ptr<CNodeMap> map = create(ContentType_Xml, kCamera, &error);
        ASSERT_TRUE(map) << error;
        ASSERT_TRUE(ref_._Attach(map, "Device", nullptr));
    }

    // The property's value, "<missing>" when the node lacks it.
    std::string prop(const std::string& node, const std::string& name, std::string* attribute = nullptr)
    {
        INode* n = ref_._GetNode(node);
        if (!n)
            return "<no node " + node + ">";
        std::string value, attr;
        if (!n->GetProperty(name, value, attr))
            return "<missing>";
        if (attribute)
            *attribute = attr;
        return value;
    }

    bool feature(const std::string& node)
    {
        INode* n = ref_._GetNode(node);
        EXPECT_NE(n, nullptr) << node;
        return n && n->IsFeature();
    }

    CNodeMapRef ref_;
};

TEST_F(CameraNodeMap, IntegerPropertiesAnswerInDecimal)
{
    EXPECT_EQ(prop("WidthReg", "Address"), "2560");
    EXPECT_EQ(prop("WidthMax", "Address"), "2564");
    EXPECT_EQ(prop("AcquisitionCommandReg", "Address"), "4294901760");
    EXPECT_EQ(prop("DeviceUserID", "Length"), "16");
    EXPECT_EQ(prop("Width", "Min"), "16");
    EXPECT_EQ(prop("Width", "Inc"), "4");
    EXPECT_EQ(prop("Height", "Value"), "480");
    EXPECT_EQ(prop("TestOffset", "Value"), "-16");
    EXPECT_EQ(prop("TestOffset", "Max"), "9223372036854775807");
    EXPECT_EQ(prop("AcquisitionStart", "CommandValue"), "1");
    EXPECT_EQ(prop("EnumEntry_PixelFormat_Mono16", "Value"), "17825799");

    // Not integers, or not in integer nodes: verbatim.
    EXPECT_EQ(prop("TestOffset", "Inc"), "1.5");
    EXPECT_EQ(prop("DeviceTemperature", "Value"), "0x1A");
    EXPECT_EQ(prop("DeviceTemperature", "Min"), "-40.5");
}

TEST_F(CameraNodeMap, PointerAndStringPropertiesAnswerTrimmedText)
{
    EXPECT_EQ(prop("Width", "pValue"), "WidthReg");
    EXPECT_EQ(prop("Width", "pMax"), "WidthMax");
    EXPECT_EQ(prop("Width", "ToolTip"), "Width of the image <in pixels>.");
    EXPECT_EQ(prop("WidthReg", "Sign"), "Unsigned");
    EXPECT_EQ(prop("WidthReg", "pPort"), "Device");
    EXPECT_EQ(prop("Gain", "Formula"), "(W >> 1) + H");
    // An entry's pointer stays the plain text even where an entry shares it.
    EXPECT_EQ(prop("EnumEntry_TriggerSelector_AcquisitionStart", "pIsAvailable"), "TriggerAvailable");

    // Both the fixed address and the pointed-to base are answered.
    EXPECT_EQ(prop("OffsetXReg", "Address"), "256");
    EXPECT_EQ(prop("OffsetXReg", "pAddress"), "StreamBase");

    // The node element's own attributes are properties too.
    EXPECT_EQ(prop("Width", "Name"), "Width");
    EXPECT_EQ(prop("Width", "NameSpace"), "Standard");
}

TEST_F(CameraNodeMap, RepeatedPropertiesJoinByTabInDocumentOrder)
{
    std::string attribute = "stale";
    EXPECT_EQ(prop("Root", "pFeature", &attribute), "DeviceControl\tImageFormatControl\tAcquisitionControl");
    EXPECT_EQ(attribute, "");
    EXPECT_EQ(prop("UserData", "pAddress"), "StreamBase\tUserOffset");
    EXPECT_EQ(prop("Width", "pInvalidator"), "OffsetXReg\tWidthMax");
    EXPECT_EQ(prop("Gain", "pVariable", &attribute), "Width\tHeight");
    EXPECT_EQ(attribute, "Name=W\tName=H");
    EXPECT_EQ(prop("TriggerSelector", "EnumEntry"),
              "EnumEntry_TriggerSelector_FrameStart\tEnumEntry_TriggerSelector_AcquisitionStart");
    EXPECT_EQ(prop("TriggerSelector", "Value"), "0");
}

TEST_F(CameraNodeMap, LookupsAreExactAndMissesClearTheOutputs)
{
    std::string value = "old", attribute = "old";
    ASSERT_NE(ref_._GetNode("Width"), nullptr);
    EXPECT_FALSE(ref_._GetNode("Width")->GetProperty("pMin", value, attribute));
    EXPECT_EQ(value, "");
    EXPECT_EQ(attribute, "");

    value = attribute = "old";
    EXPECT_FALSE(ref_._GetNode("Width")->GetProperty("tooltip", value, attribute));
    EXPECT_EQ(value + attribute, "");
    EXPECT_EQ(ref_._GetNode("width"), nullptr);
    EXPECT_EQ(ref_._GetNode("W"), nullptr);  // a pVariable's Name is no node
    EXPECT_EQ(ref_._GetNode("Status"), nullptr);
    EXPECT_EQ(ref_._GetNode("PixelFormatReg"), nullptr);  // referenced, never defined
}

TEST_F(CameraNodeMap, StructEntriesInheritTheRegisterAndOverrideIt)
{
    EXPECT_EQ(prop("StatusBusy", "Address"), "3072");
    EXPECT_EQ(prop("StatusBusy", "pPort"), "Device");
    EXPECT_EQ(prop("StatusBusy", "AccessMode"), "RO");
    EXPECT_EQ(prop("StatusBusy", "Bit"), "31");
    EXPECT_EQ(prop("StatusBusy", "LSB"), "<missing>");

    EXPECT_EQ(prop("StatusCode", "Length"), "4");
    EXPECT_EQ(prop("StatusCode", "Endianess"), "BigEndian");
    EXPECT_EQ(prop("StatusCode", "AccessMode"), "RW");
    EXPECT_EQ(prop("StatusCode", "LSB"), "24");
    EXPECT_EQ(prop("StatusCode", "MSB"), "16");
    EXPECT_EQ(prop("StatusCode", "Sign"), "Signed");
    EXPECT_EQ(prop("StatusCode", "StructEntry"), "<missing>");
    EXPECT_EQ(ref_._GetNode("StatusCode")->GetPrincipalInterfaceType(), intfIInteger);
}

TEST_F(CameraNodeMap, EnumEntriesNeverHideFeaturesOfTheSameName)
{
    INode* command = ref_._GetNode("AcquisitionStart");
    ASSERT_NE(command, nullptr);
    EXPECT_EQ(command->GetPrincipalInterfaceType(), intfICommand);
    EXPECT_EQ(prop("AcquisitionStart", "pValue"), "AcquisitionCommandReg");

    INode* entry = ref_._GetNode("EnumEntry_TriggerSelector_AcquisitionStart");
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(entry->GetPrincipalInterfaceType(), intfIEnumEntry);
    EXPECT_EQ(entry->GetName(), "EnumEntry_TriggerSelector_AcquisitionStart");
    EXPECT_EQ(entry->GetName(true), "Std::EnumEntry_TriggerSelector_AcquisitionStart");
    EXPECT_EQ(prop("EnumEntry_TriggerSelector_AcquisitionStart", "Value"), "16");
}

TEST_F(CameraNodeMap, FeaturesAreWhatTheTreeUnderRootLists)
{
    for (const char* name : {"Root", "DeviceControl", "ImageFormatControl", "AcquisitionControl", "Width", "Height",
                             "PixelFormat", "DeviceUserID", "AcquisitionStart", "TriggerSelector"})
        EXPECT_TRUE(feature(name)) << name;
    for (const char* name : {"WidthReg", "WidthMax", "Orphans", "Gain", "Device", "StatusBusy",
                             "EnumEntry_TriggerSelector_AcquisitionStart", "EnumEntry_PixelFormat_Mono8"})
        EXPECT_FALSE(feature(name)) << name;
}

TEST_F(CameraNodeMap, NamesQualifyByNameSpace)
{
    EXPECT_EQ(ref_._GetNode("Width")->GetName(true), "Std::Width");
    EXPECT_EQ(ref_._GetNode("WidthReg")->GetName(true), "Cust::WidthReg");
    EXPECT_EQ(ref_._GetNode("TestOffset")->GetName(true), "Cust::TestOffset");
    EXPECT_EQ(ref_._GetNode("TestOffset")->GetName(), "TestOffset");
}

TEST_F(CameraNodeMap, NodesComeInOrderOfFirstAppearance)
{
    NodeList_t nodes{nullptr};  // stale contents are replaced
    ref_._GetNodes(nodes);
    std::vector<std::string> names;
    for (INode* n : nodes)
        names.push_back(n ? n->GetName() : "<null>");
    const std::vector<std::string> expected = {"Root",
                                               "DeviceControl",
                                               "ImageFormatControl",
                                               "AcquisitionControl",
                                               "DeviceUserID",
                                               "DeviceTemperature",
                                               "Device",
                                               "Width",
                                               "Height",
                                               "PixelFormat",
                                               "OffsetXReg",
                                               "WidthMax",
                                               "WidthReg",
                                               "StreamBase",
                                               "EnumEntry_PixelFormat_Mono8",
                                               "EnumEntry_PixelFormat_Mono16",
                                               "AcquisitionStart",
                                               "TriggerSelector",
                                               "AcquisitionCommandReg",
                                               "EnumEntry_TriggerSelector_FrameStart",
                                               "EnumEntry_TriggerSelector_AcquisitionStart",
                                               "UserData",
                                               "StatusBusy",
                                               "StatusCode",
                                               "Orphans",
                                               "Gain",
                                               "TestOffset"};
    EXPECT_EQ(names, expected);
}

TEST(NodeMapTypes, EveryNodeTagMakesANodeOfItsInterface)
{
    const std::vector<std::pair<std::string, EInterfaceType>> tags = {{"Node", intfIBase},
                                                                      {"Category", intfICategory},
                                                                      {"Integer", intfIInteger},
                                                                      {"IntReg", intfIInteger},
                                                                      {"MaskedIntReg", intfIInteger},
                                                                      {"IntSwissKnife", intfIInteger},
                                                                      {"IntConverter", intfIInteger},
                                                                      {"IntKey", intfIInteger},
                                                                      {"Float", intfIFloat},
                                                                      {"FloatReg", intfIFloat},
                                                                      {"SwissKnife", intfIFloat},
                                                                      {"Converter", intfIFloat},
                                                                      {"Boolean", intfIBoolean},
                                                                      {"Command", intfICommand},
                                                                      {"Enumeration", intfIEnumeration},
                                                                      {"StringReg", intfIString},
                                                                      {"String", intfIString},
                                                                      {"Register", intfIRegister},
                                                                      {"Port", intfIPort},
                                                                      {"ConfRom", intfIBase},
                                                                      {"TextDesc", intfIBase},
                                                                      {"AdvFeatureLock", intfIBase},
                                                                      {"SmartFeature", intfIBase}};
    std::string xml = "<RegisterDescription>";
    for (const auto& t : tags)
        xml += "<" + t.first + " Name=\"N" + t.first + "\"/>";
    xml += "<Extension><Integer Name=\"Buried\"/></Extension></RegisterDescription>";

    CNodeMapRef ref;
    ASSERT_TRUE(ref._Attach(create(ContentType_Xml, xml), "Device", nullptr));
    for (const auto& t : tags) {
        INode* node = ref._GetNode("N" + t.first);
        ASSERT_NE(node, nullptr) << t.first;
        EXPECT_EQ(node->GetPrincipalInterfaceType(), t.second) << t.first;
    }
    EXPECT_EQ(ref._GetNode("Buried"), nullptr);
    NodeList_t nodes;
    ref._GetNodes(nodes);
    EXPECT_EQ(nodes.size(), tags.size());
}

TEST(NodeMapSources, ZippedDescriptionUsesTheFirstXmlEntry)
{
    const std::string other = "<RegisterDescription><Integer Name=\"Other\"/></RegisterDescription>";
    std::string archive =
        make_zip({{"readme.txt", "not a description"}, {"TC-1_v1.XML", kCamera}, {"other.xml", other}});
    std::string error;
    CNodeMapRef ref;
    ASSERT_TRUE(ref._Attach(create(ContentType_ZippedXml, archive, &error), "Device", nullptr)) << error;
    EXPECT_NE(ref._GetNode("Width"), nullptr);
    EXPECT_EQ(ref._GetNode("Other"), nullptr);
    EXPECT_EQ(ref._GetNode("WidthReg")->GetPrincipalInterfaceType(), intfIInteger);
}

TEST(NodeMapSources, XmlBytesMayEndInAZeroAndNeedNotOutliveTheFactory)
{
    std::string bytes(kCamera, sizeof kCamera);  // with the terminating zero
    CNodeMapFactory factory(ContentType_Xml, bytes.data(), bytes.size());
    bytes.assign(bytes.size(), 'x');
    std::shared_ptr<CNodeMap> map = factory.CreateNodeMap();
    ASSERT_TRUE(map) << factory.LastError();
    EXPECT_EQ(factory.LastError(), "");
}

TEST(NodeMapSources, BrokenDescriptionsMakeNoMapAndSayWhy)
{
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"malformed XML", "<RegisterDescription><Integer Name=\"A\"></RegisterDescription>"},
        {"wrong root", "<Description><Integer Name=\"A\"/></Description>"},
        {"empty", ""},
        {"duplicate name", "<RegisterDescription><Integer Name=\"A\"/><Group><IntReg Name=\"A\"/></Group>"
                           "</RegisterDescription>"},
        {"entry name taken", "<RegisterDescription><Enumeration Name=\"E\"><EnumEntry Name=\"X\"/></Enumeration>"
                             "<Integer Name=\"EnumEntry_E_X\"/></RegisterDescription>"},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(create(ContentType_Xml, c.second, &error), nullptr) << c.first;
        EXPECT_NE(error, "") << c.first;
    }

    std::string error;
    EXPECT_EQ(create(ContentType_ZippedXml, "PK\x03\x04 garbage, not an archive", &error), nullptr);
    EXPECT_NE(error, "");
    error.clear();
    EXPECT_EQ(create(ContentType_ZippedXml, make_zip({{"readme.txt", "text"}, {"xml", "<a/>"}}), &error), nullptr);
    EXPECT_NE(error, "");
    error.clear();
    EXPECT_EQ(create(ContentType_ZippedXml, make_zip({{"bad.xml", "<RegisterDescription>"}}), &error), nullptr);
    EXPECT_NE(error, "");
}

std::string nested_groups(size_t depth, const std::string& inside)
{
    std::string xml = "<RegisterDescription>";
    for (size_t i = 0; i < depth; ++i)
        xml += "<Group>";
    xml += inside;
    for (size_t i = 0; i < depth; ++i)
        xml += "</Group>";
    return xml + "</RegisterDescription>";
}

TEST(NodeMapLimits, DeeplyNestedGroupsAreRefusedNotWalked)
{
    std::string error;
    EXPECT_EQ(create(ContentType_Xml, nested_groups(200000, "<Integer Name=\"Deep\"/>"), &error), nullptr);
    EXPECT_NE(error.find("Groups nested deeper than 64 levels"), std::string::npos) << error;
    EXPECT_EQ(create(ContentType_Xml, nested_groups(MAX_GROUP_DEPTH + 1, "<Integer Name=\"Deep\"/>")), nullptr);

    CNodeMapRef ref;
    ASSERT_TRUE(ref._Attach(create(ContentType_Xml, nested_groups(MAX_GROUP_DEPTH, "<Integer Name=\"Deep\"/>"), &error),
                            "Device", nullptr))
        << error;
    EXPECT_NE(ref._GetNode("Deep"), nullptr);
}

TEST(NodeMapLimits, ArchivesMayNotExpandBeyondTheDescriptionLimit)
{
    // Honest about its size, but larger than any description.
    const std::string big = "<RegisterDescription><!--" + std::string(MAX_DESCRIPTION_SIZE, 'x') +
                            "--><Integer Name=\"A\"/></RegisterDescription>";
    std::string error;
    EXPECT_EQ(create(ContentType_ZippedXml, make_zip({{"big.xml", big}}), &error), nullptr);
    EXPECT_NE(error.find("16 MiB"), std::string::npos) << error;
    EXPECT_EQ(create(ContentType_Xml, big, &error), nullptr);
    EXPECT_NE(error.find("16 MiB"), std::string::npos) << error;

    // A few bytes that claim 0xFFFFFFF0 once expanded: refused on the claim,
    // before anything is allocated for it.
    std::string archive = make_zip({{"small.xml", "<RegisterDescription/>"}});
    auto put_le32 = [&archive](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            archive[at + static_cast<size_t>(i)] = static_cast<char>(v >> (8 * i));
    };
    ASSERT_EQ(archive.compare(0, 4, "PK\x03\x04"), 0);
    put_le32(22, 0xFFFFFFF0);  // local header: uncompressed size
    const size_t central = archive.find("PK\x01\x02");
    ASSERT_NE(central, std::string::npos);
    put_le32(central + 24, 0xFFFFFFF0);  // central directory: uncompressed size
    error.clear();
    EXPECT_EQ(create(ContentType_ZippedXml, archive, &error), nullptr);
    EXPECT_NE(error.find("declares 4294967280 bytes"), std::string::npos) << error;

    // Just within the limit still builds.
    const std::string fits = "<RegisterDescription><Integer Name=\"A\"/><!--" +
                             std::string(MAX_DESCRIPTION_SIZE - 200, 'x') + "--></RegisterDescription>";
    CNodeMapRef ref;
    ASSERT_TRUE(ref._Attach(create(ContentType_ZippedXml, make_zip({{"fits.xml", fits}}), &error), "Device", nullptr))
        << error;
    EXPECT_NE(ref._GetNode("A"), nullptr);
}

TEST(NodeMapRef, AttachesOnceUntilReleased)
{
    std::shared_ptr<CNodeMap> first = create(ContentType_Xml, "<RegisterDescription><Integer Name=\"First\"/>"
                                                              "</RegisterDescription>");
    std::shared_ptr<CNodeMap> second = create(ContentType_Xml, "<RegisterDescription><Integer Name=\"Second\"/>"
                                                               "</RegisterDescription>");
    ASSERT_TRUE(first && second);

    CNodeMapRef ref("Cam0");
    int count = 0;
    EXPECT_EQ(ref._GetDeviceName(), "Cam0");
    EXPECT_FALSE(ref._Attach(nullptr, "Device", &count));
    EXPECT_FALSE(ref._IsAttached());
    EXPECT_EQ(ref._GetNode("First"), nullptr);

    EXPECT_TRUE(ref._Attach(first, "Device", &count));
    EXPECT_EQ(count, 1);
    EXPECT_FALSE(ref._Attach(second, "Other", &count));
    EXPECT_EQ(count, 1);
    EXPECT_EQ(ref._GetDeviceName(), "Device");
    EXPECT_NE(ref._GetNode("First"), nullptr);
    EXPECT_EQ(ref._GetNode("Second"), nullptr);

    ref._Release();
    ref._Release();
    EXPECT_FALSE(ref._IsAttached());
    EXPECT_EQ(ref._GetNode("First"), nullptr);
    NodeList_t nodes;
    ref._GetNodes(nodes);
    EXPECT_TRUE(nodes.empty());

    EXPECT_TRUE(ref._Attach(second, "Device", nullptr));
    EXPECT_NE(ref._GetNode("Second"), nullptr);
    EXPECT_EQ(ref._GetNode("First"), nullptr);
}

// The map parses the description once and hands out the evaluator built
// from it; the evaluator lives as long as the map does.
TEST(NodeMapRef, HandsOutTheEvaluatorBuiltFromTheSameDescription)
{
    const std::string xml = "<RegisterDescription><Integer Name=\"Gain\"><Value>7</Value></Integer>"
                            "<Integer Name=\"Loop\"><pValue>Loop</pValue></Integer></RegisterDescription>";
    CNodeMapFactory factory(ContentType_Xml, xml.data(), xml.size());
    CNodeMapRef ref;
    EXPECT_EQ(ref._GetEvaluator(), nullptr);
    ASSERT_TRUE(ref._Attach(factory.CreateNodeMap(), "Device", nullptr));
    std::shared_ptr<genicam::Evaluator> ev = ref._GetEvaluator();
    ASSERT_NE(ev, nullptr);
    int64_t v = 0;
    EXPECT_EQ(ev->get_int("Gain", &v), 0);
    EXPECT_EQ(v, 7);
    EXPECT_EQ(ev->problems().size(), 1u);  // a broken node never fails the map
    ref._Release();
    EXPECT_EQ(ref._GetEvaluator(), nullptr);
    EXPECT_EQ(ev->get_int("Gain", &v), 0) << "a holder keeps the map past its release";
}

}  // namespace
