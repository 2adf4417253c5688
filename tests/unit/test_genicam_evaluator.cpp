// The evaluator over a fake device: a byte array behind a Port that counts
// reads. One group per node kind and rule, then hostile descriptions.
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "genicam/genicam_evaluator.h"
#include "vora_base_type.h"

using genicam::Access;
using genicam::Evaluator;
using genicam::FeatureInfo;

namespace {

class FakePort : public genicam::Port {
public:
    std::vector<uint8_t> memory = std::vector<uint8_t>(0x10000, 0);
    int reads = 0, writes = 0;
    int read(uint64_t address, void* data, size_t length) override
    {
        ++reads;
        if (address > memory.size() || length > memory.size() - address)
            return VORA_ERR_READMEM_TIMEOUT;
        std::memcpy(data, memory.data() + address, length);
        return 0;
    }
    int write(uint64_t address, const void* data, size_t length) override
    {
        ++writes;
        if (address > memory.size() || length > memory.size() - address)
            return VORA_ERR_WRITEMEM_TIMEOUT;
        std::memcpy(memory.data() + address, data, length);
        return 0;
    }
    void put32be(uint64_t a, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            memory[a + i] = static_cast<uint8_t>(v >> (24 - 8 * i));
    }
    void put32le(uint64_t a, uint32_t v)
    {
        for (int i = 0; i < 4; ++i)
            memory[a + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    uint32_t get32be(uint64_t a) const
    {
        return uint32_t(memory[a]) << 24 | uint32_t(memory[a + 1]) << 16 | uint32_t(memory[a + 2]) << 8 | memory[a + 3];
    }
};

struct Device {
    pugi::xml_document doc;
    std::unique_ptr<Evaluator> ev;
    FakePort port;

    explicit Device(const std::string& nodes)
    {
        const std::string xml = "<RegisterDescription><Port Name=\"Device\"/>" + nodes + "</RegisterDescription>";
        EXPECT_TRUE(doc.load_string(xml.c_str()));
        std::string error;
        ev = Evaluator::build(doc.document_element(), &error);
        EXPECT_TRUE(ev) << error;
        if (ev)
            ev->attach(&port);
    }
    int64_t i(const std::string& name)
    {
        int64_t v = -12345;
        EXPECT_EQ(ev->get_int(name, &v), 0) << Evaluator::last_error();
        return v;
    }
    double f(const std::string& name)
    {
        double v = -12345;
        EXPECT_EQ(ev->get_float(name, &v), 0) << Evaluator::last_error();
        return v;
    }
    std::string problems() const
    {
        std::string all;
        for (const std::string& p : ev->problems())
            all += p + "\n";
        return all;
    }
};

std::string int_reg(const std::string& name, int address, const std::string& extra = "",
                    const std::string& endian = "BigEndian")
{
    return "<IntReg Name=\"" + name + "\"><Address>" + std::to_string(address) +
           "</Address><Length>4</Length><AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>" + endian +
           "</Endianess>" + extra + "</IntReg>";
}

// --- Integers, bounds and the messages that name the node ------------------

TEST(EvaluatorInteger, ReadsWritesAndChecksRangeAndIncrement)
{
    Device d(int_reg("WidthReg", 0x100) +
             "<Integer Name=\"Width\"><pValue>WidthReg</pValue><Min>16</Min><Max>1280</Max><Inc>8</Inc></Integer>"
             "<Integer Name=\"Host\"><Value>5</Value><Min>0</Min><Max>10</Max></Integer>");
    d.port.put32be(0x100, 640);
    EXPECT_EQ(d.i("Width"), 640);
    EXPECT_EQ(d.ev->set_int("Width", 648), 0);
    EXPECT_EQ(d.port.get32be(0x100), 648u);
    EXPECT_EQ(d.ev->set_int("Width", 17), VORA_ERR_FEATURE_INCREMENT);
    EXPECT_EQ(Evaluator::last_error(), "Width: 17 is not 16 plus a multiple of 8");
    EXPECT_EQ(d.ev->set_int("Width", 2000), VORA_ERR_FEATURE_RANGE);
    EXPECT_EQ(Evaluator::last_error(), "Width: 2000 is out of range 16..1280");
    EXPECT_EQ(d.port.get32be(0x100), 648u);  // refused writes never reach the device
    EXPECT_EQ(d.ev->set_int("Host", 7), 0);
    EXPECT_EQ(d.i("Host"), 7);
    double v = 0;
    EXPECT_EQ(d.ev->get_float("Width", &v), 0);
    EXPECT_EQ(v, 648.0);
    std::string s;
    EXPECT_EQ(d.ev->get_string("Width", &s), VORA_ERR_FEATURE_TYPE);
    int64_t x = 0;
    EXPECT_EQ(d.ev->get_int("Nope", &x), VORA_ERR_NO_NODE);
}

TEST(EvaluatorInteger, SignedRegistersAndPMinPMax)
{
    Device d(int_reg("Offset", 0x10, "<Sign>Signed</Sign>") + int_reg("Lo", 0x14) + int_reg("Hi", 0x18) +
             "<Integer Name=\"Bounded\"><Value>3</Value><pMin>Lo</pMin><pMax>Hi</pMax></Integer>");
    d.port.put32be(0x10, 0xFFFFFFFE);
    EXPECT_EQ(d.i("Offset"), -2);
    EXPECT_EQ(d.ev->set_int("Offset", -100), 0);
    EXPECT_EQ(d.port.get32be(0x10), 0xFFFFFF9Cu);
    FeatureInfo info;
    ASSERT_EQ(d.ev->describe("Offset", &info), 0);
    EXPECT_EQ(info.int_min, INT32_MIN);
    EXPECT_EQ(info.int_max, INT32_MAX);
    d.port.put32be(0x14, 2);
    d.port.put32be(0x18, 4);
    EXPECT_EQ(d.ev->set_int("Bounded", 5), VORA_ERR_FEATURE_RANGE);
    EXPECT_EQ(d.ev->set_int("Bounded", 4), 0);
}

TEST(EvaluatorInteger, ValueIndexedFollowsItsSelector)
{
    Device d("<Integer Name=\"Sel\"><Value>0</Value><Min>0</Min><Max>3</Max></Integer>"
             "<Integer Name=\"Gain\"><pIndex>Sel</pIndex><ValueIndexed Index=\"0\">10</ValueIndexed>"
             "<ValueIndexed Index=\"1\">20</ValueIndexed><ValueDefault>99</ValueDefault></Integer>");
    EXPECT_EQ(d.i("Gain"), 10);
    ASSERT_EQ(d.ev->set_int("Sel", 1), 0);
    EXPECT_EQ(d.i("Gain"), 20);
    ASSERT_EQ(d.ev->set_int("Gain", 25), 0);
    EXPECT_EQ(d.i("Gain"), 25);
    ASSERT_EQ(d.ev->set_int("Sel", 3), 0);
    EXPECT_EQ(d.i("Gain"), 99);
}

// --- Registers: address arithmetic and bit fields ---------------------------

TEST(EvaluatorRegister, SelectorMovesTheAddressByIndexTimesOffset)
{
    Device d(int_reg("SelReg", 0x20) +
             "<Integer Name=\"Sel\"><pValue>SelReg</pValue><Min>0</Min><Max>2</Max><pSelected>Gain</pSelected>"
             "</Integer>"
             "<IntReg Name=\"Gain\"><Address>0x200</Address><pIndex Offset=\"4\">Sel</pIndex><Length>4</Length>"
             "<AccessMode>RW</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>"
             "<IntReg Name=\"Gain2\"><Address>0x300</Address><pIndex pOffset=\"Step\">Sel</pIndex><Length>4</Length>"
             "<AccessMode>RO</AccessMode><pPort>Device</pPort><Endianess>BigEndian</Endianess></IntReg>"
             "<Integer Name=\"Step\"><Value>8</Value></Integer>");
    d.port.put32be(0x200, 11);
    d.port.put32be(0x204, 22);
    d.port.put32be(0x208, 33);
    d.port.put32be(0x310, 44);
    EXPECT_EQ(d.i("Gain"), 11);
    ASSERT_EQ(d.ev->set_int("Sel", 2), 0);
    EXPECT_EQ(d.i("Gain"), 33);
    EXPECT_EQ(d.i("Gain2"), 44);
    ASSERT_EQ(d.ev->set_int("Gain", 7), 0);
    EXPECT_EQ(d.port.get32be(0x208), 7u);
    FeatureInfo info;
    ASSERT_EQ(d.ev->describe("Gain", &info), 0);
    EXPECT_EQ(info.selectors, std::vector<std::string>{"Sel"});
    ASSERT_EQ(d.ev->describe("Sel", &info), 0);
    EXPECT_EQ(info.selected, std::vector<std::string>{"Gain"});
}

TEST(EvaluatorRegister, AddressFromPAddressAndInlineSwissKnife)
{
    Device d("<Integer Name=\"Base\"><Value>0x400</Value></Integer>"
             "<IntReg Name=\"R\"><Address>0x10</Address><pAddress>Base</pAddress>"
             "<IntSwissKnife><pVariable Name=\"B\">Base</pVariable><Formula>B/0x100</Formula></IntSwissKnife>"
             "<Length>4</Length><AccessMode>RO</AccessMode><pPort>Device</pPort><Endianess>LittleEndian</Endianess>"
             "</IntReg>");
    d.port.put32le(0x414, 0xABCD);
    EXPECT_EQ(d.i("R"), 0xABCD);
}

TEST(EvaluatorRegister, MaskedFieldsInBothEndiannessesAndSigns)
{
    // Little-endian registers number bits from the least significant,
    // big-endian ones from the most significant.
    Device d("<MaskedIntReg Name=\"LeField\"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort><LSB>4</LSB><MSB>11</MSB><Endianess>LittleEndian</Endianess></MaskedIntReg>"
             "<MaskedIntReg Name=\"LeBit\"><Address>0</Address><Length>4</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort><Bit>31</Bit><Endianess>LittleEndian</Endianess></MaskedIntReg>"
             "<MaskedIntReg Name=\"BeField\"><Address>8</Address><Length>4</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort><LSB>31</LSB><MSB>24</MSB><Endianess>BigEndian</Endianess></MaskedIntReg>"
             "<MaskedIntReg Name=\"BeTop\"><Address>8</Address><Length>4</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort><Bit>0</Bit><Endianess>BigEndian</Endianess></MaskedIntReg>"
             "<MaskedIntReg Name=\"Signed\"><Address>12</Address><Length>2</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort><LSB>0</LSB><MSB>3</MSB><Sign>Signed</Sign><Endianess>LittleEndian</Endianess>"
             "</MaskedIntReg>");
    d.port.put32le(0, 0x80000AB0);
    d.port.put32be(8, 0x800000C5);
    d.port.memory[12] = 0x0E;
    EXPECT_EQ(d.i("LeField"), 0xAB);
    EXPECT_EQ(d.i("LeBit"), 1);
    EXPECT_EQ(d.i("BeField"), 0xC5);
    EXPECT_EQ(d.i("BeTop"), 1);
    EXPECT_EQ(d.i("Signed"), -2);
    ASSERT_EQ(d.ev->set_int("LeField", 0x12), 0);
    EXPECT_EQ(d.port.memory[0], 0x20);
    EXPECT_EQ(d.port.memory[1], 0x01);
    EXPECT_EQ(d.port.memory[3], 0x80);  // the other bits keep their values
    ASSERT_EQ(d.ev->set_int("BeField", 0x3C), 0);
    EXPECT_EQ(d.port.get32be(8), 0x8000003Cu);
    EXPECT_EQ(d.i("BeTop"), 1);  // shares the register: sees the write
    EXPECT_EQ(d.ev->set_int("LeField", 256), VORA_ERR_FEATURE_RANGE);
    EXPECT_EQ(d.ev->set_int("Signed", -9), VORA_ERR_FEATURE_RANGE);
    ASSERT_EQ(d.ev->set_int("Signed", -8), 0);
    EXPECT_EQ(d.port.memory[12], 0x08);
}

TEST(EvaluatorRegister, FloatRegistersOfFourAndEightBytes)
{
    Device d("<FloatReg Name=\"F4\"><Address>0x40</Address><Length>4</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort><Endianess>BigEndian</Endianess></FloatReg>"
             "<FloatReg Name=\"F8\"><Address>0x48</Address><Length>8</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort><Endianess>LittleEndian</Endianess></FloatReg>");
    const float f = 1.5f;
    uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    d.port.put32be(0x40, bits);
    EXPECT_EQ(d.f("F4"), 1.5);
    ASSERT_EQ(d.ev->set_float("F8", -2.25), 0);
    double back = 0;
    std::memcpy(&back, d.port.memory.data() + 0x48, 8);  // the test host is little-endian
    EXPECT_EQ(back, -2.25);
    EXPECT_EQ(d.f("F8"), -2.25);
}

TEST(EvaluatorRegister, StringRegAndRawRegister)
{
    Device d("<StringReg Name=\"Model\"><Address>0x80</Address><Length>8</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort></StringReg>"
             "<Register Name=\"Raw\"><Address>0x90</Address><Length>3</Length><AccessMode>RW</AccessMode>"
             "<pPort>Device</pPort></Register>");
    std::memcpy(d.port.memory.data() + 0x80, "Cam\0zzzz", 8);
    std::string s;
    ASSERT_EQ(d.ev->get_string("Model", &s), 0);
    EXPECT_EQ(s, "Cam");
    ASSERT_EQ(d.ev->set_string("Model", "Longer"), 0);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(d.port.memory.data() + 0x80), 8), std::string("Longer\0\0", 8));
    EXPECT_EQ(d.ev->set_string("Model", "Far too long"), VORA_ERR_FEATURE_RANGE);
    ASSERT_EQ(d.ev->set_bytes("Raw", {1, 2, 3}), 0);
    std::vector<uint8_t> bytes;
    ASSERT_EQ(d.ev->get_bytes("Raw", &bytes), 0);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(d.ev->set_bytes("Raw", {1}), VORA_ERR_FEATURE_RANGE);
}

TEST(EvaluatorRegister, StructEntriesShareTheRegister)
{
    Device d("<StructReg Comment=\"flags\"><Address>0x50</Address><Length>4</Length><pPort>Device</pPort>"
             "<Endianess>LittleEndian</Endianess>"
             "<StructEntry Name=\"A\"><AccessMode>RW</AccessMode><LSB>0</LSB><MSB>7</MSB></StructEntry>"
             "<StructEntry Name=\"B\"><AccessMode>RO</AccessMode><Bit>8</Bit></StructEntry></StructReg>");
    d.port.put32le(0x50, 0x1AA);
    EXPECT_EQ(d.i("A"), 0xAA);
    EXPECT_EQ(d.i("B"), 1);
    EXPECT_EQ(d.port.reads, 1);
    ASSERT_EQ(d.ev->set_int("A", 0x55), 0);
    EXPECT_EQ(d.port.memory[0x50], 0x55);
    EXPECT_EQ(d.port.memory[0x51], 0x01);
    EXPECT_EQ(d.ev->set_int("B", 0), VORA_ERR_FEATURE_NOT_WRITABLE);
}

// --- Formulas ----------------------------------------------------------------

TEST(EvaluatorFormula, SwissKnivesAndConverters)
{
    Device d(int_reg("Raw", 0x60) +
             "<IntSwissKnife Name=\"Twice\"><pVariable Name=\"R\">Raw</pVariable><Constant Name=\"K\">2</Constant>"
             "<Expression Name=\"Prod\">R*K</Expression><Formula>Prod+1</Formula></IntSwissKnife>"
             "<SwissKnife Name=\"Half\"><pVariable Name=\"R\">Raw</pVariable><Formula>R/2</Formula></SwissKnife>"
             "<Converter Name=\"Exposure\"><FormulaTo>FROM*10</FormulaTo><FormulaFrom>TO/10</FormulaFrom>"
             "<pValue>Raw</pValue><Min>1</Min><Max>100</Max></Converter>"
             "<IntConverter Name=\"Offset\"><FormulaTo>FROM-5</FormulaTo><FormulaFrom>TO+5</FormulaFrom>"
             "<pValue>Raw</pValue></IntConverter>"
             "<IntSwissKnife Name=\"Div\"><pVariable Name=\"R\">Raw</pVariable><Formula>10/R</Formula>"
             "</IntSwissKnife>");
    d.port.put32be(0x60, 21);
    EXPECT_EQ(d.i("Twice"), 43);
    EXPECT_EQ(d.f("Half"), 10.5);
    EXPECT_EQ(d.f("Exposure"), 2.1);
    EXPECT_EQ(d.i("Offset"), 26);
    ASSERT_EQ(d.ev->set_float("Exposure", 5), 0);
    EXPECT_EQ(d.port.get32be(0x60), 50u);
    EXPECT_EQ(d.ev->set_float("Exposure", 700), VORA_ERR_FEATURE_RANGE);
    ASSERT_EQ(d.ev->set_int("Offset", 10), 0);
    EXPECT_EQ(d.port.get32be(0x60), 5u);
    EXPECT_EQ(d.ev->set_int("Twice", 1), VORA_ERR_FEATURE_NOT_WRITABLE);
    ASSERT_EQ(d.ev->set_int("Raw", 0), 0);
    int64_t v = 0;
    EXPECT_EQ(d.ev->get_int("Div", &v), VORA_ERR_DESCRIPTION);
    EXPECT_EQ(Evaluator::last_error().compare(0, 5, "Div: "), 0) << Evaluator::last_error();
}

// --- Enumerations, booleans, commands -------------------------------------

TEST(EvaluatorEnumeration, ByNameAndValueWithUnavailableEntries)
{
    Device d(int_reg("ModeReg", 0x70) +
             "<Integer Name=\"Allow\"><Value>0</Value></Integer>"
             "<Enumeration Name=\"Mode\"><EnumEntry Name=\"Off\"><Value>0</Value></EnumEntry>"
             "<EnumEntry Name=\"EnumEntry_Mode_On\"><Value>1</Value></EnumEntry>"
             "<EnumEntry Name=\"Burst\"><Value>2</Value><pIsAvailable>Allow</pIsAvailable></EnumEntry>"
             "<pValue>ModeReg</pValue></Enumeration>");
    std::string name;
    int64_t v = -1;
    ASSERT_EQ(d.ev->get_enum("Mode", &name, &v), 0);
    EXPECT_EQ(name, "Off");
    ASSERT_EQ(d.ev->set_enum("Mode", "On"), 0);
    EXPECT_EQ(d.port.get32be(0x70), 1u);
    EXPECT_EQ(d.ev->set_enum("Mode", "Burst"), VORA_ERR_FEATURE_RANGE);
    EXPECT_EQ(d.ev->set_enum("Mode", "Nothing"), VORA_ERR_FEATURE_RANGE);
    EXPECT_EQ(d.ev->set_enum_value("Mode", 7), VORA_ERR_FEATURE_RANGE);
    FeatureInfo info;
    ASSERT_EQ(d.ev->describe("Mode", &info), 0);
    ASSERT_EQ(info.entries.size(), 3u);
    EXPECT_FALSE(info.entries[2].available);
    ASSERT_EQ(d.ev->set_int("Allow", 1), 0);
    ASSERT_EQ(d.ev->set_enum_value("Mode", 2), 0);
    EXPECT_EQ(d.i("Mode"), 2);
    d.port.put32be(0x70, 9);
    d.ev->invalidate_all();
    EXPECT_EQ(d.ev->get_enum("Mode", &name, &v), VORA_ERR_DESCRIPTION);
}

TEST(EvaluatorBooleanCommand, OnOffValuesAndIsDone)
{
    Device d(int_reg("BoolReg", 0x74) + int_reg("CmdReg", 0x78) +
             "<Boolean Name=\"Enable\"><pValue>BoolReg</pValue><OnValue>5</OnValue><OffValue>2</OffValue></Boolean>"
             "<Command Name=\"Start\"><pValue>CmdReg</pValue><CommandValue>1</CommandValue></Command>");
    d.port.put32be(0x74, 2);
    bool b = true;
    ASSERT_EQ(d.ev->get_bool("Enable", &b), 0);
    EXPECT_FALSE(b);
    ASSERT_EQ(d.ev->set_bool("Enable", true), 0);
    EXPECT_EQ(d.port.get32be(0x74), 5u);
    EXPECT_EQ(d.i("Enable"), 1);
    ASSERT_EQ(d.ev->execute("Start"), 0);
    EXPECT_EQ(d.port.get32be(0x78), 1u);
    bool done = true;
    ASSERT_EQ(d.ev->is_done("Start", &done), 0);
    EXPECT_FALSE(done);
    d.port.put32be(0x78, 0);  // the device finished
    ASSERT_EQ(d.ev->is_done("Start", &done), 0);
    EXPECT_TRUE(done);
    int64_t v = 0;
    EXPECT_EQ(d.ev->get_int("Start", &v), VORA_ERR_FEATURE_TYPE);
}

// A command's access is its register's: RW when IsDone can read it back,
// WO only when the register cannot be read.
TEST(EvaluatorBooleanCommand, AccessFollowsTheRegister)
{
    Device d(int_reg("CmdReg", 0x78) + int_reg("WoReg", 0x7c).replace(int_reg("WoReg", 0x7c).find("RW"), 2, "WO") +
             "<Command Name=\"Start\"><pValue>CmdReg</pValue><CommandValue>1</CommandValue></Command>"
             "<Command Name=\"Fire\"><pValue>WoReg</pValue><CommandValue>1</CommandValue></Command>");
    genicam::FeatureInfo info;
    ASSERT_EQ(d.ev->describe("Start", &info), 0);
    EXPECT_EQ(info.access, genicam::Access::RW);
    ASSERT_EQ(d.ev->describe("Fire", &info), 0);
    EXPECT_EQ(info.access, genicam::Access::WO);
    EXPECT_EQ(d.ev->execute("Fire"), 0);
    EXPECT_EQ(d.port.get32be(0x7c), 1u);
}

// --- Access ------------------------------------------------------------------

TEST(EvaluatorAccess, ImplementedAvailableLockedAndImposed)
{
    Device d("<Integer Name=\"Impl\"><Value>1</Value></Integer>"
             "<Integer Name=\"Avail\"><Value>1</Value></Integer>"
             "<Integer Name=\"Lock\"><Value>0</Value></Integer>"
             "<Integer Name=\"X\"><Value>3</Value><pIsImplemented>Impl</pIsImplemented>"
             "<pIsAvailable>Avail</pIsAvailable><pIsLocked>Lock</pIsLocked></Integer>"
             "<Integer Name=\"Y\"><Value>3</Value><ImposedAccessMode>RO</ImposedAccessMode></Integer>" +
             int_reg("WoReg", 0x30).replace(int_reg("WoReg", 0x30).find("RW"), 2, "WO"));
    FeatureInfo info;
    ASSERT_EQ(d.ev->describe("X", &info), 0);
    EXPECT_EQ(info.access, Access::RW);
    ASSERT_EQ(d.ev->set_int("Lock", 1), 0);
    ASSERT_EQ(d.ev->describe("X", &info), 0);
    EXPECT_EQ(info.access, Access::RO);
    EXPECT_EQ(d.ev->set_int("X", 4), VORA_ERR_FEATURE_NOT_WRITABLE);
    ASSERT_EQ(d.ev->set_int("Avail", 0), 0);
    int64_t v = 0;
    EXPECT_EQ(d.ev->get_int("X", &v), VORA_ERR_FEATURE_NOT_AVAILABLE);
    ASSERT_EQ(d.ev->set_int("Impl", 0), 0);
    ASSERT_EQ(d.ev->describe("X", &info), 0);
    EXPECT_EQ(info.access, Access::NI);
    EXPECT_EQ(d.ev->set_int("Y", 1), VORA_ERR_FEATURE_NOT_WRITABLE);
    EXPECT_EQ(d.ev->get_int("WoReg", &v), VORA_ERR_FEATURE_NOT_READABLE);
    EXPECT_EQ(d.ev->set_int("WoReg", 1), 0);
}

TEST(EvaluatorAccess, DetachedPortAnswersNotConnected)
{
    Device d(int_reg("R", 0));
    d.ev->attach(nullptr);
    int64_t v = 0;
    EXPECT_EQ(d.ev->get_int("R", &v), VORA_ERR_NOT_CONNECTED);
}

// --- Caching and invalidation -------------------------------------------------

TEST(EvaluatorCache, DescribingEverythingReadsEachRegisterOnce)
{
    Device d("<Category Name=\"Root\"><pFeature>Cat</pFeature><pFeature>Width</pFeature></Category>"
             "<Category Name=\"Cat\"><pFeature>Height</pFeature><pFeature>Mode</pFeature><pFeature>Root</pFeature>"
             "</Category>" +
             // Apart, so that each is read by itself (adjacent ones are read together).
             int_reg("WidthMax", 0x0) + int_reg("WidthReg", 0x10) + int_reg("HeightReg", 0x20) +
             "<Integer Name=\"Width\"><pValue>WidthReg</pValue><pMax>WidthMax</pMax><pIsAvailable>WidthMax"
             "</pIsAvailable></Integer>"
             "<Integer Name=\"Height\"><pValue>HeightReg</pValue><pMax>WidthMax</pMax></Integer>"
             "<Enumeration Name=\"Mode\"><EnumEntry Name=\"A\"><Value>0</Value><pIsAvailable>WidthMax"
             "</pIsAvailable></EnumEntry><pValue>HeightReg</pValue></Enumeration>");
    d.port.put32be(0x0, 100);
    std::vector<std::string> names;
    ASSERT_EQ(d.ev->names("", &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"Width", "Height", "Mode"}));
    for (int round = 0; round < 2; ++round)
        for (const std::string& n : names) {
            FeatureInfo info;
            ASSERT_EQ(d.ev->describe(n, &info), 0) << Evaluator::last_error();
            int64_t v = 0;
            ASSERT_EQ(d.ev->get_int(n, &v), 0) << Evaluator::last_error();
        }
    EXPECT_EQ(d.ev->port_reads(), 3u);
    ASSERT_EQ(d.ev->names("Cat", &names), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"Width", "Height", "Mode"}));  // Cat lists Root again
    EXPECT_EQ(d.ev->names("Nope", &names), VORA_ERR_NO_NODE);
    std::vector<std::string> cats;
    ASSERT_EQ(d.ev->categories(&cats), 0);
    EXPECT_EQ(cats, (std::vector<std::string>{"Root", "Cat"}));
}

TEST(EvaluatorCache, ModesAndInvalidation)
{
    // Registers apart, so that each is read by itself (adjacent ones are read together).
    Device d(int_reg("Plain", 0x0) + int_reg("Never", 0x10, "<Cachable>NoCache</Cachable>") +
             int_reg("Around", 0x20, "<Cachable>WriteAround</Cachable>") +
             int_reg("Dependent", 0x30, "<pInvalidator>Trigger</pInvalidator>") + int_reg("Trigger", 0x40) +
             int_reg("SelReg", 0x50) +
             "<Integer Name=\"Sel\"><pValue>SelReg</pValue><pSelected>Muxed</pSelected></Integer>" +
             int_reg("Muxed", 0x60));
    auto reads_for = [&](const std::string& name) {
        const uint64_t before = d.ev->port_reads();
        d.i(name);
        return d.ev->port_reads() - before;
    };
    EXPECT_EQ(reads_for("Plain"), 1u);
    EXPECT_EQ(reads_for("Plain"), 0u);
    ASSERT_EQ(d.ev->set_int("Plain", 3), 0);
    EXPECT_EQ(reads_for("Plain"), 0u);  // written through
    EXPECT_EQ(reads_for("Never"), 1u);
    EXPECT_EQ(reads_for("Never"), 1u);
    EXPECT_EQ(reads_for("Around"), 1u);
    ASSERT_EQ(d.ev->set_int("Around", 3), 0);
    EXPECT_EQ(reads_for("Around"), 1u);
    EXPECT_EQ(reads_for("Dependent"), 1u);
    d.port.put32be(0x30, 77);  // the device changes it when Trigger is written
    ASSERT_EQ(d.ev->set_int("Trigger", 1), 0);
    EXPECT_EQ(d.i("Dependent"), 77);
    EXPECT_EQ(reads_for("Muxed"), 1u);
    EXPECT_EQ(reads_for("Muxed"), 0u);
    d.port.put32be(0x60, 55);
    ASSERT_EQ(d.ev->set_int("Sel", 1), 0);
    EXPECT_EQ(d.i("Muxed"), 55);
    d.ev->invalidate_all();
    EXPECT_EQ(reads_for("Plain"), 1u);
}

// Adjacent registers are read with one port read that fills every one's
// cache; registers that may not be read at any moment (write-only, not
// cached, polled, at a computed address) and bytes no register names are
// never part of it, and a device that refuses the run gets each register
// read alone.
TEST(EvaluatorCache, AdjacentRegistersReadTogether)
{
    Device d(int_reg("A", 0x100) + int_reg("B", 0x104) + int_reg("C", 0x108) +
             int_reg("Wo", 0x10c).replace(int_reg("Wo", 0x10c).find("RW"), 2, "WO") + int_reg("D", 0x110) +
             int_reg("Volatile", 0x114, "<Cachable>NoCache</Cachable>") + int_reg("E", 0x118) +
             int_reg("Polled", 0x11c, "<PollingTime>1000</PollingTime>") + int_reg("Gap", 0x124) +
             int_reg("Sel", 0x200) + int_reg("Indexed", 0x204, "<pIndex Offset=\"4\">Sel</pIndex>") +
             int_reg("F", 0x300) + int_reg("G", 0x304) + int_reg("Edge", 0xfffc) + int_reg("Past", 0x10000));
    for (uint32_t a = 0x100; a < 0x128; a += 4)
        d.port.put32be(a, a);
    auto reads_for = [&](const std::string& name, int64_t expected) {
        const uint64_t before = d.ev->port_reads();
        const int before_port = d.port.reads;
        EXPECT_EQ(d.i(name), expected) << name;
        EXPECT_EQ(d.ev->port_reads() - before, static_cast<uint64_t>(d.port.reads - before_port));
        return d.ev->port_reads() - before;
    };
    EXPECT_EQ(reads_for("B", 0x104), 1u);
    EXPECT_EQ(reads_for("A", 0x100), 0u);  // read with B
    EXPECT_EQ(reads_for("C", 0x108), 0u);
    EXPECT_EQ(reads_for("D", 0x110), 1u);  // the write-only register splits the run
    EXPECT_EQ(reads_for("E", 0x118), 1u);  // and so does the one never cached
    EXPECT_EQ(reads_for("Volatile", 0x114), 1u);
    EXPECT_EQ(reads_for("Volatile", 0x114), 1u);
    EXPECT_EQ(reads_for("Polled", 0x11c), 1u);
    EXPECT_EQ(reads_for("Gap", 0x124), 1u);  // 0x120 is nobody's: never read
    EXPECT_EQ(reads_for("Sel", 0), 1u);      // a computed address reads alone
    EXPECT_EQ(reads_for("Indexed", 0), 1u);
    // A write refreshes only what it wrote; the run is read again as a whole.
    d.port.put32be(0x100, 7);
    ASSERT_EQ(d.ev->set_int("B", 9), 0);
    EXPECT_EQ(reads_for("A", 0x100), 0u);  // still the cached value
    d.ev->invalidate_all();
    EXPECT_EQ(reads_for("A", 7), 1u);
    EXPECT_EQ(reads_for("B", 9), 0u);
    // A register read only with its neighbour answers from that read until
    // a write: a write may change it with no pInvalidator saying so, and it
    // must not answer older than a read of its own would have.
    EXPECT_EQ(reads_for("F", 0), 1u);
    d.port.put32be(0x304, 42);
    ASSERT_EQ(d.ev->set_int("Sel", 0), 0);
    EXPECT_EQ(reads_for("F", 0), 0u);  // read as its own: cached
    EXPECT_EQ(reads_for("G", 42), 1u);
    EXPECT_EQ(reads_for("G", 42), 0u);
    // Edge and Past form a run the port refuses (Past lies beyond its memory):
    // Edge is then read alone, and so from then on.
    int64_t v = 0;
    d.port.put32be(0xfffc, 5);
    EXPECT_EQ(reads_for("Edge", 5), 2u);
    d.ev->invalidate_all();
    EXPECT_EQ(reads_for("Edge", 5), 1u);
    EXPECT_EQ(d.ev->get_int("Past", &v), VORA_ERR_READMEM_TIMEOUT);
}

// --- Hostile descriptions ----------------------------------------------------

void expect_broken(Device& d, const std::string& name, const std::string& words)
{
    FeatureInfo info;
    int64_t v = 0;
    EXPECT_EQ(d.ev->get_int(name, &v), VORA_ERR_DESCRIPTION) << name;
    EXPECT_EQ(Evaluator::last_error().compare(0, name.size() + 1, name + ":"), 0) << Evaluator::last_error();
    EXPECT_NE(Evaluator::last_error().find(words), std::string::npos) << Evaluator::last_error();
    EXPECT_EQ(d.ev->describe(name, &info), VORA_ERR_DESCRIPTION);
    EXPECT_NE(d.problems().find(name + ":"), std::string::npos) << d.problems();
}

TEST(EvaluatorHostile, CyclesAndMissingReferences)
{
    Device d("<Integer Name=\"A\"><pValue>B</pValue></Integer><Integer Name=\"B\"><pValue>A</pValue></Integer>"
             "<Integer Name=\"Self\"><pValue>Self</pValue></Integer>"
             "<Integer Name=\"User\"><pValue>A</pValue></Integer>"
             "<Integer Name=\"Lost\"><pValue>Nowhere</pValue></Integer>"
             "<IntSwissKnife Name=\"K\"><pVariable Name=\"X\">K2</pVariable><Formula>X</Formula></IntSwissKnife>"
             "<IntSwissKnife Name=\"K2\"><pVariable Name=\"X\">K</pVariable><Formula>X</Formula></IntSwissKnife>"
             "<Integer Name=\"Fine\"><Value>1</Value></Integer>");
    expect_broken(d, "A", "cycle");
    expect_broken(d, "Self", "cycle");
    expect_broken(d, "User", "via A");
    expect_broken(d, "Lost", "Nowhere");
    expect_broken(d, "K", "cycle");
    EXPECT_EQ(d.i("Fine"), 1);
}

TEST(EvaluatorHostile, DeepChainsFormulasAndLengths)
{
    std::string chain = "<Integer Name=\"C0\"><Value>1</Value></Integer>";
    for (int i = 1; i <= genicam::MAX_CHAIN_DEPTH + 4; ++i)
        chain +=
            "<Integer Name=\"C" + std::to_string(i) + "\"><pValue>C" + std::to_string(i - 1) + "</pValue></Integer>";
    Device d(chain +
             "<IntSwissKnife Name=\"Bad\"><Formula>1 + (</Formula></IntSwissKnife>"
             "<IntSwissKnife Name=\"Unknown\"><Formula>Q + 1</Formula></IntSwissKnife>"
             "<IntSwissKnife Name=\"Loop\"><Expression Name=\"E1\">E2</Expression><Expression Name=\"E2\">E1"
             "</Expression><Formula>E1</Formula></IntSwissKnife>"
             "<IntReg Name=\"Zero\"><Address>0</Address><Length>0</Length><pPort>Device</pPort></IntReg>"
             "<IntReg Name=\"Wide\"><Address>0</Address><Length>9</Length><pPort>Device</pPort></IntReg>"
             "<Register Name=\"Huge\"><Address>0</Address><Length>70000</Length><pPort>Device</pPort></Register>"
             "<MaskedIntReg Name=\"Beyond\"><Address>0</Address><Length>2</Length><LSB>0</LSB><MSB>20</MSB>"
             "<pPort>Device</pPort></MaskedIntReg>"
             "<IntReg Name=\"NoPort\"><Address>0</Address><Length>4</Length><pPort>Elsewhere</pPort></IntReg>");
    EXPECT_EQ(d.i("C10"), 1);
    expect_broken(d, "C" + std::to_string(genicam::MAX_CHAIN_DEPTH + 4), "deeper");
    expect_broken(d, "Bad", "Formula");
    expect_broken(d, "Unknown", "Formula");
    expect_broken(d, "Loop", "Expression");
    expect_broken(d, "Zero", "Length 0");
    expect_broken(d, "Wide", "Length 9");
    std::vector<uint8_t> bytes;
    EXPECT_EQ(d.ev->get_bytes("Huge", &bytes), VORA_ERR_DESCRIPTION);
    expect_broken(d, "Beyond", "bits");
    expect_broken(d, "NoPort", "Elsewhere");
}

TEST(EvaluatorHostile, SharedSubgraphsAreEvaluatedOncePerCall)
{
    // Each level reads the one below twice: 2^60 evaluations if each read
    // evaluated afresh. A node's value is reused within one call, so the
    // uncached register at the bottom is read once per call.
    std::string xml = int_reg("L0", 0x10, "<Cachable>NoCache</Cachable>");
    for (int i = 1; i <= 60; ++i) {
        const std::string below = "L" + std::to_string(i - 1);
        xml += "<IntSwissKnife Name=\"L" + std::to_string(i) + "\"><pVariable Name=\"A\">" + below +
               "</pVariable><pVariable Name=\"B\">" + below + "</pVariable><Formula>A+B</Formula></IntSwissKnife>";
    }
    Device d(xml);
    d.port.put32be(0x10, 1);
    EXPECT_EQ(d.i("L3"), 8);
    const int before = d.port.reads;
    EXPECT_EQ(d.i("L60"), int64_t(1) << 60);
    EXPECT_EQ(d.port.reads - before, 1);
    FeatureInfo info;
    EXPECT_EQ(d.ev->describe("L60", &info), 0) << Evaluator::last_error();
    // The next call reads the device again: nothing is reused across calls.
    d.port.put32be(0x10, 2);
    EXPECT_EQ(d.i("L60"), int64_t(1) << 61);
}

TEST(EvaluatorHostile, HugeDescriptionsAreRefusedOrServedWithoutExhaustingTheStack)
{
    // 10,000 levels of pValue, every level also bounded by the first: the
    // depth bound refuses the deep end, the back edges are cycles, and
    // neither building nor reading recurses per level.
    std::string xml;
    for (int i = 0; i < 10000; ++i)
        xml += "<Integer Name=\"C" + std::to_string(i) + "\"><pValue>C" + std::to_string(i + 1) +
               "</pValue><pMin>C0</pMin></Integer>";
    xml += "<Integer Name=\"C10000\"><Value>1</Value></Integer>";
    // And one without back edges, refused by depth alone.
    for (int i = 0; i < 10000; ++i)
        xml += "<Integer Name=\"D" + std::to_string(i) + "\"><pValue>D" + std::to_string(i + 1) + "</pValue></Integer>";
    xml += "<Integer Name=\"D10000\"><Value>1</Value></Integer>";
    // 100,000 entries, each available through one shared flag.
    xml += "<Integer Name=\"On\"><Value>1</Value></Integer><Enumeration Name=\"Many\">";
    for (int i = 0; i < 100000; ++i)
        xml += "<EnumEntry Name=\"E" + std::to_string(i) + "\"><Value>" + std::to_string(i) +
               "</Value><pIsAvailable>On</pIsAvailable></EnumEntry>";
    xml += "<Value>99999</Value></Enumeration>";
    // A formula of 64 KiB is the longest taken.
    std::string sum = "1";
    while (sum.size() + 2 <= 64 * 1024)
        sum += "+1";
    xml += "<IntSwissKnife Name=\"Long\"><Formula>" + sum + "</Formula></IntSwissKnife>";
    xml += "<IntSwissKnife Name=\"TooLong\"><Formula>" + sum + "+1</Formula></IntSwissKnife>";
    Device d(xml);
    expect_broken(d, "C0", "cycle");
    expect_broken(d, "D0", "deeper");
    EXPECT_EQ(d.i("D9990"), 1);
    std::string symbolic;
    int64_t value = 0;
    ASSERT_EQ(d.ev->get_enum("Many", &symbolic, &value), 0) << Evaluator::last_error();
    EXPECT_EQ(symbolic, "E99999");
    ASSERT_EQ(d.ev->set_enum("Many", "E12345"), 0) << Evaluator::last_error();
    FeatureInfo info;
    ASSERT_EQ(d.ev->describe("Many", &info), 0) << Evaluator::last_error();
    EXPECT_EQ(info.entries.size(), 100000u);
    EXPECT_EQ(d.i("Long"), int64_t(sum.size() + 1) / 2);
    expect_broken(d, "TooLong", "longer");
}

TEST(EvaluatorHostile, AddressArithmeticWrapsAndNeverRunsPastTheAddressSpace)
{
    // Index times Offset and the address sums wrap in 64 bits: the device
    // answers for the address that results, nothing overflows on the host.
    Device d("<Integer Name=\"Neg\"><Value>-1</Value></Integer>"
             "<Integer Name=\"Min\"><Value>-9223372036854775808</Value></Integer>" +
             int_reg("Back", 0x20, "<pIndex Offset=\"4\">Neg</pIndex>") +
             int_reg("Far", 0x20, "<pIndex Offset=\"9223372036854775807\">Min</pIndex>") +
             "<IntReg Name=\"Top\"><Address>0xFFFFFFFFFFFFFFFC</Address><Length>8</Length>"
             "<pPort>Device</pPort></IntReg>");
    d.port.put32be(0x1C, 42);
    EXPECT_EQ(d.i("Back"), 42);
    // 0x20 + 2^63 * (2^63 - 1) wraps to 0x20 + 2^63: beyond the device.
    int64_t v = 0;
    EXPECT_EQ(d.ev->get_int("Far", &v), VORA_ERR_READMEM_TIMEOUT);
    // A register that would run past 2^64 never reaches the port.
    const int reads = d.port.reads, writes = d.port.writes;
    EXPECT_EQ(d.ev->get_int("Top", &v), VORA_ERR_DESCRIPTION);
    EXPECT_EQ(Evaluator::last_error(), "Top: runs past the end of the address space");
    EXPECT_EQ(d.ev->set_int("Top", 1), VORA_ERR_DESCRIPTION);
    EXPECT_EQ(d.port.reads, reads);
    EXPECT_EQ(d.port.writes, writes);
}

TEST(EvaluatorHostile, WrongRootIsRefused)
{
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<Other/>"));
    std::string error;
    EXPECT_FALSE(Evaluator::build(doc.document_element(), &error));
    EXPECT_FALSE(error.empty());
}

}  // namespace
