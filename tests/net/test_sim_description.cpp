// The simulated camera's device description and feature registers, fetched
// over the control channel the way a GenICam host fetches them.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <set>
#include <string>
#include <vector>

#include "genicam/genicam_evaluator.h"
#include "genicam/genicam_port.h"
#include "gvcp_codec.h"
#include "sim_camera.h"
#include "sim_description.h"
#include "vora_base_type.h"
#include "vora_pixel_format.h"

namespace {

// Described, but the camera refuses its register.
constexpr uint32_t kUnmappedFanSpeed = vsim::REG_DEVICE_FAN_SPEED;

class Client {
public:
    Client()
    {
        sock_ = socket(AF_INET, SOCK_DGRAM, 0);
        timeval tv{0, 300000};
        setsockopt(sock_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~Client() { close(sock_); }

    uint16_t read(uint32_t address, uint32_t* value)
    {
        uint8_t cmd[gvcp::READREG_CMD_LEN];
        gvcp::build_readreg(cmd, ++id_, address);
        auto ack = ask(cmd, sizeof cmd);
        if (ack.size() < 8)
            return 0xFFFF;
        if (ack.size() >= 12)
            *value = gvcp::get_u32(ack.data() + 8);
        return gvcp::get_u16(ack.data());
    }
    uint16_t write(uint32_t address, uint32_t value)
    {
        uint8_t cmd[gvcp::WRITEREG_CMD_LEN];
        gvcp::build_writereg(cmd, ++id_, address, value);
        auto ack = ask(cmd, sizeof cmd);
        return ack.size() >= 8 ? gvcp::get_u16(ack.data()) : 0xFFFF;
    }
    uint16_t readmem(uint32_t address, uint16_t count, std::vector<uint8_t>* out)
    {
        uint8_t cmd[gvcp::READMEM_CMD_LEN];
        gvcp::build_readmem(cmd, ++id_, address, count);
        auto ack = ask(cmd, sizeof cmd);
        if (ack.size() < 8)
            return 0xFFFF;
        const uint16_t status = gvcp::get_u16(ack.data());
        if (status == 0 && ack.size() == 12u + count)
            out->assign(ack.begin() + 12, ack.end());
        else if (status == 0)
            return 0xFFFE;  // short data
        return status;
    }

private:
    std::vector<uint8_t> ask(const uint8_t* cmd, size_t len)
    {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(0x7F000001);
        to.sin_port = htons(GVCP_PORT);
        sendto(sock_, cmd, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        uint8_t buf[1024];
        ssize_t n = recv(sock_, buf, sizeof buf, 0);
        return n > 0 ? std::vector<uint8_t>(buf, buf + n) : std::vector<uint8_t>();
    }

    int sock_;
    uint16_t id_ = 0;
};

// The library's evaluator reading the camera over GVCP: READMEM in whole
// words, WRITEREG a word at a time.
class ClientPort : public genicam::Port {
public:
    explicit ClientPort(Client& client) : client_(client) {}
    int read(uint64_t address, void* data, size_t length) override
    {
        std::vector<uint8_t> bytes;
        const uint16_t status =
            client_.readmem(static_cast<uint32_t>(address), static_cast<uint16_t>((length + 3) & ~size_t(3)), &bytes);
        if (status != 0)
            return static_cast<int16_t>(status);
        std::memcpy(data, bytes.data(), length);
        return 0;
    }
    int write(uint64_t address, const void* data, size_t length) override
    {
        if (length != 4)
            return VORA_ERR_INVALID_ARG;
        const uint16_t status =
            client_.write(static_cast<uint32_t>(address), gvcp::get_u32(static_cast<const uint8_t*>(data)));
        return status != 0 ? static_cast<int16_t>(status) : 0;
    }

private:
    Client& client_;
};

struct Url {
    std::string file;
    uint32_t address = 0;
    uint32_t length = 0;
};

// "Local:<file>;<hex address>;<hex length>", the scheme in either case.
bool parse_url(const std::string& text, Url* out)
{
    const size_t colon = text.find(':');
    if (colon == std::string::npos || strcasecmp(text.substr(0, colon).c_str(), "local") != 0)
        return false;
    const size_t s1 = text.find(';', colon);
    const size_t s2 = s1 == std::string::npos ? s1 : text.find(';', s1 + 1);
    if (s2 == std::string::npos)
        return false;
    out->file = text.substr(colon + 1, s1 - colon - 1);
    char* end = nullptr;
    const std::string address = text.substr(s1 + 1, s2 - s1 - 1);
    out->address = static_cast<uint32_t>(std::strtoul(address.c_str(), &end, 16));
    if (address.empty() || *end)
        return false;
    const std::string length = text.substr(s2 + 1);
    out->length = static_cast<uint32_t>(std::strtoul(length.c_str(), &end, 16));
    return !length.empty() && !*end;
}

std::vector<uint8_t> download(Client& c, const Url& url)
{
    std::vector<uint8_t> file;
    for (uint32_t done = 0; done < url.length;) {
        uint32_t want = url.length - done;
        if (want > gvcp::READMEM_MAX_DATA)
            want = gvcp::READMEM_MAX_DATA;
        std::vector<uint8_t> chunk;
        const uint16_t status = c.readmem(url.address + done, static_cast<uint16_t>((want + 3) & ~3u), &chunk);
        EXPECT_EQ(status, 0) << "READMEM at offset " << done;
        if (status != 0)
            return {};
        file.insert(file.end(), chunk.begin(), chunk.begin() + want);
        done += want;
    }
    return file;
}

std::string url_text(Client& c, uint32_t reg)
{
    std::vector<uint8_t> bytes;
    EXPECT_EQ(c.readmem(reg, 512, &bytes), 0);
    bytes.push_back(0);
    return reinterpret_cast<const char*>(bytes.data());
}

struct Unzipped {
    std::string name;
    uint16_t method = 0;
    std::string text;
};

bool unzip_single(const std::vector<uint8_t>& archive, Unzipped* out)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* src = zip_source_buffer_create(archive.data(), archive.size(), 0, &error);
    zip_t* za = src ? zip_open_from_source(src, ZIP_RDONLY, &error) : nullptr;
    zip_error_fini(&error);
    if (!za) {
        zip_source_free(src);
        return false;
    }
    bool ok = false;
    zip_stat_t st;
    if (zip_get_num_entries(za, 0) == 1 && zip_stat_index(za, 0, 0, &st) == 0) {
        out->name = st.name;
        out->method = st.comp_method;
        out->text.resize(static_cast<size_t>(st.size));
        if (zip_file_t* f = zip_fopen_index(za, 0, 0)) {
            ok = zip_fread(f, &out->text[0], out->text.size()) == static_cast<zip_int64_t>(st.size);
            zip_fclose(f);
        }
    }
    zip_close(za);
    return ok;
}

float le_float(const uint8_t* p)
{
    const uint32_t bits = uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

uint32_t number(const pugi::xml_node& n, const char* child)
{
    return static_cast<uint32_t>(std::strtoul(n.child_value(child), nullptr, 0));
}

// Named nodes of a description, by name.
std::map<std::string, pugi::xml_node> nodes_of(const pugi::xml_document& doc)
{
    std::map<std::string, pugi::xml_node> nodes;
    for (pugi::xml_node n : doc.document_element().children())
        nodes[n.attribute("Name").value()] = n;
    return nodes;
}

class SimDescription : public ::testing::Test {
protected:
    void start(const vsim::SimConfig& config = vsim::SimConfig())
    {
        sim = std::make_unique<vsim::SimCamera>(config);
        ASSERT_EQ(sim->start(), 0);
    }
    std::unique_ptr<vsim::SimCamera> sim;
    Client client;
};

TEST_F(SimDescription, FirstUrlLeadsToTheDescription)
{
    start();
    const std::string first = url_text(client, First_Url_Reg);
    EXPECT_EQ(url_text(client, Second_Url_Reg), first);
    Url url;
    ASSERT_TRUE(parse_url(first, &url)) << first;
    EXPECT_EQ(url.address, vsim::DESCRIPTION_BASE);
    EXPECT_EQ(url.file.substr(url.file.size() - 4), ".xml");

    const std::vector<uint8_t> bytes = download(client, url);
    const std::string expected = vsim::build_description_xml(sim->config());
    EXPECT_EQ(url.length, expected.size());
    ASSERT_EQ(std::string(bytes.begin(), bytes.end()), expected);

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_buffer(bytes.data(), bytes.size())) << "not well-formed";
    pugi::xml_node root = doc.document_element();
    EXPECT_STREQ(root.name(), "RegisterDescription");
    EXPECT_EQ(root.attribute("ModelName").value(), sim->config().model);
    EXPECT_EQ(root.attribute("VendorName").value(), sim->config().vendor);
    EXPECT_STREQ(root.attribute("StandardNameSpace").value(), "GEV");
    EXPECT_STREQ(root.attribute("SchemaMajorVersion").value(), "1");
    EXPECT_STREQ(root.attribute("SchemaMinorVersion").value(), "1");
    EXPECT_STREQ(root.attribute("xmlns").value(), "http://www.genicam.org/GenApi/Version_1_1");

    auto nodes = nodes_of(doc);
    const std::map<std::string, std::string> kinds = {
        {"Root", "Category"},
        {"Device", "Port"},
        {"Width", "Integer"},
        {"Height", "Integer"},
        {"PixelFormat", "Enumeration"},
        {"PayloadSize", "Integer"},
        {"AcquisitionStart", "Command"},
        {"AcquisitionStop", "Command"},
        {"TriggerSelector", "Enumeration"},
        {"ExposureTime", "Integer"},
        {"DeviceSerialNumber", "StringReg"},
        {"GevTimestampTickFrequency", "IntSwissKnife"},
        {"GevSCPSPacketSizeReg", "MaskedIntReg"},
        {"GevIEEE1588", "Boolean"},
        {"InternelParameter", "Register"},
        {"ExternelParameter", "Register"},
        {"SensorSelector", "Integer"},
        {"GevStreamChannelSelector", "Integer"},
        {"SensorSelectorMax", "IntSwissKnife"},
        {"GevStreamChannelSelectorMax", "IntSwissKnife"},
        {"DeviceTemperature", "Converter"},
        {"GevVersionMajorReg", "MaskedIntReg"},
        {"GevSCPSDoNotFragmentReg", "MaskedIntReg"},
    };
    for (const auto& k : kinds) {
        ASSERT_TRUE(nodes.count(k.first)) << k.first;
        EXPECT_EQ(nodes[k.first].name(), k.second) << k.first;
    }
    EXPECT_STREQ(nodes["Width"].child_value("pMax"), "MWOP");
    EXPECT_STREQ(nodes["ExposureTime"].child_value("pMax"), "ExposureTimeMax");
    EXPECT_EQ(number(nodes["InternelParameter"], "Length"), 56u);
    EXPECT_EQ(number(nodes["ExternelParameter"], "Length"), 48u);

    // Selected registers keep the first sensor's or channel's address and
    // move by the selector's value times the stride.
    auto index_of = [&](const char* name) {
        const pugi::xml_node index = nodes[name].child("pIndex");
        return std::make_pair(std::string(index.child_value()), index.attribute("Offset").as_uint());
    };
    EXPECT_EQ(number(nodes["ExposureTimeReg"], "Address"), vsim::SENSOR_BASE + vsim::SN_EXPOSURE_TIME);
    EXPECT_EQ(index_of("ExposureTimeReg"), std::make_pair(std::string("SensorSelector"), 0x100u));
    EXPECT_EQ(index_of("InternelParameter"), std::make_pair(std::string("SensorSelector"), 0x100u));
    EXPECT_EQ(number(nodes["PayloadSizeReg"], "Address"), vsim::CHANNEL_BASE + vsim::CH_PAYLOAD_SIZE);
    EXPECT_EQ(index_of("PayloadSizeReg"), std::make_pair(std::string("GevStreamChannelSelector"), 0x40u));
    EXPECT_EQ(index_of("GevSCPHostPortReg"), std::make_pair(std::string("GevStreamChannelSelector"), 0x40u));
    // Selectors are the host's own values, bounded by what the camera counts.
    EXPECT_STREQ(nodes["SensorSelector"].child_value("Value"), "0");
    EXPECT_FALSE(nodes["SensorSelector"].child("pValue"));
    EXPECT_STREQ(nodes["SensorSelector"].child_value("pMax"), "SensorSelectorMax");
    EXPECT_STREQ(nodes["SensorSelectorMax"].find_child_by_attribute("pVariable", "Name", "N").child_value(),
                 "TotalNumberOfCmos");
    EXPECT_STREQ(nodes["GevStreamChannelSelectorMax"].find_child_by_attribute("pVariable", "Name", "N").child_value(),
                 "GevStreamChannelCount");
    EXPECT_STREQ(nodes["DeviceTemperature"].child_value("pValue"), "DeviceTemperatureRaw");
    EXPECT_STREQ(nodes["GevVersionMajorReg"].child_value("MSB"), "0");
    EXPECT_STREQ(nodes["GevVersionMajorReg"].child_value("LSB"), "15");
    EXPECT_STREQ(nodes["GevVersionMajorReg"].child_value("Endianess"), "BigEndian");

    // Enumerations by symbolic name, as a host sets them.
    auto entries = [&](const char* name) {
        std::map<std::string, uint32_t> values;
        for (pugi::xml_node e : nodes[name].children("EnumEntry"))
            values[e.child_value("Symbolic")] = number(e, "Value");
        return values;
    };
    EXPECT_EQ(entries("TriggerSelector"),
              (std::map<std::string, uint32_t>{{"AcquisitionStart", 0}, {"FrameStart", 1}}));
    EXPECT_EQ(entries("PixelFormat"), (std::map<std::string, uint32_t>{{"Mono8", PIXEL_FORMAT_MONO8},
                                                                       {"BayerRG8", PIXEL_FORMAT_BAYER_RG8},
                                                                       {"YUV422_8", PIXEL_FORMAT_YUV422_8},
                                                                       {"RGB8", PIXEL_FORMAT_RGB8},
                                                                       {"Coord3D_ABC16", PIXEL_FORMAT_COORD3D_ABC16}}));
}

// What a GenICam host rejects on loading: a name defined twice, a reference
// to nothing, a feature no category reaches, children out of schema order.
TEST(SimDescriptionText, IsAConsistentNodeGraph)
{
    vsim::SimConfig config;
    config.vendor = "R&amp;D \"<Optics>\"";  // text that looks like markup comes back as written
    const std::string text = vsim::build_description_xml(config);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str()));
    EXPECT_EQ(doc.document_element().attribute("VendorName").value(), config.vendor);

    std::set<std::string> names;
    std::set<std::string> referenced;
    for (pugi::xml_node n : doc.document_element().children()) {
        EXPECT_TRUE(names.insert(n.attribute("Name").value()).second)
            << "defined twice: " << n.attribute("Name").value();
        // Entries are named by their value ("Off"), unique within their
        // enumeration, and carry it as their Symbolic too.
        std::set<std::string> entries;
        for (pugi::xml_node e : n.children("EnumEntry")) {
            EXPECT_TRUE(entries.insert(e.attribute("Name").value()).second)
                << "entry twice: " << e.attribute("Name").value();
            EXPECT_STREQ(e.child_value("Symbolic"), e.attribute("Name").value());
        }
        for (pugi::xml_node child : n.children())
            if (child.name()[0] == 'p' && child.name()[1] >= 'A' && child.name()[1] <= 'Z')
                referenced.insert(child.child_value());
    }
    for (const std::string& r : referenced)
        EXPECT_TRUE(names.count(r)) << "refers to nothing: " << r;
    for (pugi::xml_node n : doc.document_element().children()) {
        const std::string name = n.attribute("Name").value();
        if (name != "Root") {
            EXPECT_TRUE(referenced.count(name)) << "unreachable: " << name;
        }
    }

    // A converter's formulas come between its variables and its pValue;
    // a register's pIndex among its addresses; pSelected and Slope last.
    static const std::map<std::string, int> rank = {
        {"ToolTip", 0},        {"Description", 10}, {"DisplayName", 20},
        {"Visibility", 30},    {"pFeature", 100},   {"EnumEntry", 100},
        {"pVariable", 100},    {"FormulaTo", 103},  {"FormulaFrom", 104},
        {"pValue", 110},       {"Value", 110},      {"Address", 110},
        {"pIndex", 110},       {"Length", 120},     {"Symbolic", 120},
        {"AccessMode", 130},   {"pPort", 140},      {"Cachable", 150},
        {"Bit", 160},          {"LSB", 160},        {"MSB", 170},
        {"Sign", 180},         {"Endianess", 190},  {"Min", 200},
        {"CommandValue", 200}, {"OnValue", 200},    {"Formula", 200},
        {"Max", 210},          {"pMax", 210},       {"OffValue", 210},
        {"Inc", 220},          {"Unit", 230},       {"Representation", 240},
        {"pSelected", 250},    {"Slope", 250},
    };
    auto check_order = [&](pugi::xml_node n) {
        int last = -1;
        for (pugi::xml_node child : n.children()) {
            auto it = rank.find(child.name());
            ASSERT_NE(it, rank.end()) << n.attribute("Name").value() << ": unexpected " << child.name();
            EXPECT_GE(it->second, last) << n.attribute("Name").value() << ": " << child.name() << " out of order";
            last = it->second;
        }
    };
    for (pugi::xml_node n : doc.document_element().children()) {
        check_order(n);
        for (pugi::xml_node e : n.children("EnumEntry"))
            check_order(e);
    }
}

// A selector must reach every register that moves with it, and nothing it
// lists may ignore it: a feature left out of pSelected, or a register
// without its pIndex, would show sensor 0 whatever the host selected.
TEST(SimDescriptionText, SelectorsListWhatTheirIndexMoves)
{
    const std::string text = vsim::build_description_xml(vsim::SimConfig());
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(text.c_str()));
    auto nodes = nodes_of(doc);
    // A feature and the nodes behind its value (and its maximum).
    std::function<void(const std::string&, bool, std::set<std::string>*)> behind =
        [&](const std::string& name, bool with_max, std::set<std::string>* out) {
            if (!nodes.count(name) || !out->insert(name).second)
                return;
            for (const char* pointer : {"pValue", "pMax"})
                if (nodes[name].child(pointer) && (with_max || pointer[1] == 'V'))
                    behind(nodes[name].child_value(pointer), with_max, out);
        };
    int indexed = 0;
    for (const char* selector : {"SensorSelector", "GevStreamChannelSelector"}) {
        std::set<std::string> reached;
        for (pugi::xml_node f : nodes[selector].children("pSelected")) {
            std::set<std::string> value;
            behind(f.child_value(), false, &value);
            bool moves = false;
            for (const std::string& n : value)
                moves = moves || nodes[n].child_value("pIndex") == std::string(selector);
            EXPECT_TRUE(moves) << selector << " lists " << f.child_value() << ", whose register ignores it";
            behind(f.child_value(), true, &reached);
        }
        for (const auto& n : nodes)
            if (n.second.child_value("pIndex") == std::string(selector)) {
                ++indexed;
                EXPECT_TRUE(reached.count(n.first)) << n.first << " moves with " << selector << ", which omits it";
            }
    }
    EXPECT_GE(indexed, 17);
}

// Guards against the description naming registers the camera lacks, or
// promising access the camera refuses.
TEST_F(SimDescription, EveryRegisterItNamesAnswers)
{
    start();
    pugi::xml_document doc;
    const std::string text = vsim::build_description_xml(sim->config());
    ASSERT_TRUE(doc.load_string(text.c_str()));
    int checked = 0;
    for (pugi::xml_node n : doc.document_element().children()) {
        if (!n.child("Address"))
            continue;
        const std::string name = n.attribute("Name").value();
        const uint32_t address = number(n, "Address");
        const uint32_t length = number(n, "Length");
        if (address == kUnmappedFanSpeed)
            continue;
        const std::string access = n.child_value("AccessMode");
        uint32_t value = 0;
        if (access == "WO" && length == 4) {
            // Taken, though perhaps not shown (the action device key).
            const uint16_t status = client.read(address, &value);
            EXPECT_TRUE(status == 0 || status == gvcp::STATUS_ACCESS_DENIED) << name << " " << status;
            continue;
        }
        EXPECT_EQ(client.read(address, &value), 0) << name;
        std::vector<uint8_t> bytes;
        if (length > 4) {
            EXPECT_EQ(client.readmem(address, static_cast<uint16_t>((length + 3) & ~3u), &bytes), 0) << name;
        }
        if (length == 4 && access == "RW") {
            EXPECT_EQ(client.write(address, value), 0) << name;
        }
        if (access == "RO") {
            EXPECT_EQ(client.write(address, value), gvcp::STATUS_WRITE_PROTECT) << name;
        }
        ++checked;
        // Every sensor's or channel's copy answers, and the one past the
        // selector's maximum is not there.
        if (const pugi::xml_node index = n.child("pIndex")) {
            const uint32_t offset = index.attribute("Offset").as_uint();
            // Three sensors, three channels, and the action signals.
            const uint32_t copies =
                std::string(index.child_value()) == "ActionSelector" ? sim->config().action_signals : 3;
            for (uint32_t i = 1; i <= copies; ++i) {
                const uint16_t status = client.read(address + i * offset, &value);
                EXPECT_EQ(status, i < copies ? 0 : gvcp::STATUS_INVALID_ADDRESS) << name << " at index " << i;
            }
        }
    }
    EXPECT_GT(checked, 50);
}

// The whole description through the library's own evaluator: every
// feature reads, the selectors reach the sensor's and channel's registers,
// the computed bounds, the converter and the bit fields come out right.
TEST_F(SimDescription, TheLibrarysEvaluatorReadsEveryFeatureAsMeant)
{
    start();
    const uint32_t sensor1_exposure = vsim::SENSOR_BASE + vsim::SENSOR_STRIDE + vsim::SN_EXPOSURE_TIME;
    sim->write_reg(sensor1_exposure, 7000);
    pugi::xml_document doc;
    const std::string text = vsim::build_description_xml(sim->config());
    ASSERT_TRUE(doc.load_string(text.c_str()));
    std::string error;
    std::unique_ptr<genicam::Evaluator> ev = genicam::Evaluator::build(doc.document_element(), &error);
    ASSERT_TRUE(ev) << error;
    for (const std::string& problem : ev->problems())
        ADD_FAILURE() << problem;
    ClientPort port(client);
    ev->attach(&port);

    std::vector<std::string> names;
    ASSERT_EQ(ev->names("", &names), 0);
    EXPECT_GT(names.size(), 50u);
    for (const std::string& name : names) {
        genicam::FeatureInfo info;
        ASSERT_EQ(ev->describe(name, &info), 0) << name << ": " << genicam::Evaluator::last_error();
        if (info.access != genicam::Access::RO && info.access != genicam::Access::RW)
            continue;
        int status = 0;
        int64_t i = 0;
        double f = 0;
        bool b = false;
        std::string str;
        std::vector<uint8_t> bytes;
        switch (info.kind) {
        case genicam::Kind::Integer:
        case genicam::Kind::Enumeration:
            status = ev->get_int(name, &i);
            break;
        case genicam::Kind::Float:
            status = ev->get_float(name, &f);
            break;
        case genicam::Kind::Boolean:
            status = ev->get_bool(name, &b);
            break;
        case genicam::Kind::String:
            status = ev->get_string(name, &str);
            break;
        case genicam::Kind::Register:
            status = ev->get_bytes(name, &bytes);
            break;
        default:
            ADD_FAILURE() << name << ": readable feature of kind " << static_cast<int>(info.kind);
        }
        // The fan speed register is one the camera refuses.
        EXPECT_EQ(status, name == "DeviceFanSpeed" ? static_cast<int16_t>(gvcp::STATUS_INVALID_ADDRESS) : 0)
            << name << ": " << genicam::Evaluator::last_error();
    }

    genicam::FeatureInfo selector;
    ASSERT_EQ(ev->describe("SensorSelector", &selector), 0);
    EXPECT_EQ(selector.int_max, 2);
    EXPECT_NE(std::find(selector.selected.begin(), selector.selected.end(), "ExposureTime"), selector.selected.end());
    int64_t value = 0;
    ASSERT_EQ(ev->set_int("SensorSelector", 1), 0);
    ASSERT_EQ(ev->get_int("ExposureTime", &value), 0);
    EXPECT_EQ(value, 7000);
    ASSERT_EQ(ev->set_int("ExposureTime", 1234), 0);
    EXPECT_EQ(sim->read_reg(sensor1_exposure), 1234u);
    EXPECT_EQ(sim->read_reg(vsim::SENSOR_BASE + vsim::SN_EXPOSURE_TIME), 5000u);
    EXPECT_EQ(ev->set_int("SensorSelector", 3), VORA_ERR_FEATURE_RANGE);

    ASSERT_EQ(ev->set_int("GevStreamChannelSelector", 2), 0);
    ASSERT_EQ(ev->set_bool("GevSCPSDoNotFragment", true), 0);
    EXPECT_EQ(sim->read_reg(Stream_Channel_Packet_Size_Reg + 2 * vsim::CHANNEL_STRIDE), 0x40000000u | 1500u);
    EXPECT_EQ(sim->read_reg(Stream_Channel_Packet_Size_Reg), 1500u);
    ASSERT_EQ(ev->get_int("GevSCPSPacketSize", &value), 0);
    EXPECT_EQ(value, 1500);
    ASSERT_EQ(ev->get_int("CmosIndex", &value), 0);
    EXPECT_EQ(value, 2);

    double celsius = 0;
    ASSERT_EQ(ev->get_float("DeviceTemperature", &celsius), 0);
    EXPECT_NEAR(celsius, 42.5, 1e-9);
    ASSERT_EQ(ev->get_int("GevVersionMajor", &value), 0);
    EXPECT_EQ(value, 2);
    ASSERT_EQ(ev->get_int("GevVersionMinor", &value), 0);
    EXPECT_EQ(value, 0);
    ASSERT_EQ(ev->get_int("GevTimestampTickFrequency", &value), 0);
    EXPECT_EQ(value, 1000000000);
    ev->attach(nullptr);
}

TEST_F(SimDescription, ZippedDescriptionUnpacksToTheSameText)
{
    vsim::SimConfig config;
    config.description_zipped = true;
    start(config);
    Url url;
    ASSERT_TRUE(parse_url(url_text(client, First_Url_Reg), &url));
    EXPECT_EQ(url.file.substr(url.file.size() - 4), ".zip");
    const std::vector<uint8_t> archive = download(client, url);
    ASSERT_EQ(archive.size(), url.length);

    Unzipped entry;
    ASSERT_TRUE(unzip_single(archive, &entry));
    EXPECT_EQ(entry.name, "Q3D-SSimulated.xml");
    EXPECT_EQ(entry.method, ZIP_CM_DEFLATE);
    EXPECT_EQ(entry.text, vsim::build_description_xml(config));
}

TEST_F(SimDescription, SecondUrlOnlyLeavesTheFirstUnreadable)
{
    vsim::SimConfig config;
    config.description_url = vsim::UrlSlot::SecondOnly;
    start(config);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(client.readmem(First_Url_Reg, 512, &bytes), gvcp::STATUS_INVALID_ADDRESS);
    uint32_t v = 0;
    EXPECT_EQ(client.read(First_Url_Reg, &v), gvcp::STATUS_INVALID_ADDRESS);

    Url url;
    ASSERT_TRUE(parse_url(url_text(client, Second_Url_Reg), &url));
    const std::vector<uint8_t> file = download(client, url);
    EXPECT_EQ(std::string(file.begin(), file.end()), vsim::build_description_xml(config));
}

TEST_F(SimDescription, OverrideIsServedByteForByte)
{
    vsim::SimConfig config;
    // Every byte value, and a length that ends mid-word in a third chunk.
    for (int i = 0; i < 1203; ++i)
        config.description_override += static_cast<char>(i * 7 % 256);
    start(config);
    Url url;
    ASSERT_TRUE(parse_url(url_text(client, First_Url_Reg), &url));
    EXPECT_EQ(url.length, 1203u);
    const std::vector<uint8_t> file = download(client, url);
    EXPECT_EQ(std::string(file.begin(), file.end()), config.description_override);

    // A host that reads the last chunk at full size stays inside the file's mapping.
    std::vector<uint8_t> chunk;
    EXPECT_EQ(client.readmem(url.address + 2 * 536, 536, &chunk), 0);
}

TEST_F(SimDescription, FeatureRegistersHoldTheConfiguredCamera)
{
    start();
    const vsim::SimConfig& config = sim->config();
    uint32_t v = 0;
    ASSERT_EQ(client.read(vsim::CHANNEL_BASE + vsim::CH_PAYLOAD_SIZE, &v), 0);
    EXPECT_EQ(v, 1280u * 1024 * 6);
    ASSERT_EQ(client.read(vsim::CHANNEL_BASE + vsim::CHANNEL_STRIDE + vsim::CH_PAYLOAD_SIZE, &v), 0);
    EXPECT_EQ(v, 1280u * 1024 * 3);
    ASSERT_EQ(client.read(vsim::CHANNEL_BASE + 2 * vsim::CHANNEL_STRIDE + vsim::CH_CMOS_INDEX, &v), 0);
    EXPECT_EQ(v, 2u);
    ASSERT_EQ(client.read(vsim::REG_TOTAL_NUMBER_OF_CMOS, &v), 0);
    EXPECT_EQ(v, 3u);
    // Words between registers are not there.
    ASSERT_EQ(client.read(vsim::REG_DEVICE_TEMPERATURE, &v), 0);
    EXPECT_EQ(v, 31565u);  // 42.5 C in hundredths of a kelvin
    EXPECT_EQ(client.read(vsim::REG_DEVICE_TEMPERATURE + 4, &v), gvcp::STATUS_INVALID_ADDRESS);
    EXPECT_EQ(client.read(vsim::SENSOR_BASE + vsim::SN_EXPOSURE_TIME + 4, &v), gvcp::STATUS_INVALID_ADDRESS);

    for (uint32_t s = 0; s < 3; ++s) {
        const vsim::SimSensor& sn = config.sensors[s];
        const uint32_t base = vsim::SENSOR_BASE + s * vsim::SENSOR_STRIDE;
        std::vector<uint8_t> in, ex;
        ASSERT_EQ(client.readmem(base + vsim::SN_INTRINSICS, 56, &in), 0);
        ASSERT_EQ(client.readmem(base + vsim::SN_EXTRINSICS, 48, &ex), 0);
        for (int i = 0; i < 5; ++i)
            EXPECT_EQ(le_float(&in[4 * i]), sn.Kc[i]) << "sensor " << s << " Kc " << i;
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(le_float(&in[20 + 4 * i]), sn.K[i]) << "sensor " << s << " K " << i;
        for (int i = 0; i < 9; ++i)
            EXPECT_EQ(le_float(&ex[4 * i]), sn.R[i]) << "sensor " << s << " R " << i;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(le_float(&ex[36 + 4 * i]), sn.T[i]) << "sensor " << s << " T " << i;
    }
}

TEST(SimPayloadSize, FollowsTheChannelsSensorAndFormat)
{
    vsim::SimConfig config;
    vsim::DeviceMemory m;
    vsim::build_features(m, config);
    const uint32_t ch1 = vsim::CHANNEL_BASE + vsim::CHANNEL_STRIDE;
    auto payload = [&](uint32_t channel_base) {
        vsim::recompute_payload_sizes(m, config);
        return m.reg(channel_base + vsim::CH_PAYLOAD_SIZE);
    };

    m.set_reg(vsim::SENSOR_BASE + vsim::SENSOR_STRIDE + vsim::SN_WIDTH, 640);
    EXPECT_EQ(payload(ch1), 640u * 1024 * 3);
    m.set_reg(ch1 + vsim::CH_PIXEL_FORMAT, PIXEL_FORMAT_MONO8);  // Mono8
    EXPECT_EQ(payload(ch1), 640u * 1024);
    m.set_reg(ch1 + vsim::CH_PIXEL_FORMAT, PIXEL_FORMAT_YUV422_8);  // YUV422_8
    EXPECT_EQ(payload(ch1), 640u * 1024 * 2);
    // The size follows the sensor the channel shows, not the channel's number.
    m.set_reg(vsim::CHANNEL_BASE + vsim::CH_CMOS_INDEX, 1);
    EXPECT_EQ(payload(vsim::CHANNEL_BASE), 640u * 1024 * 6);
    m.set_reg(vsim::CHANNEL_BASE + vsim::CH_CMOS_INDEX, 3);
    EXPECT_EQ(payload(vsim::CHANNEL_BASE), 0u);
    m.set_reg(ch1 + vsim::CH_PIXEL_FORMAT, 0x12345678);
    EXPECT_EQ(payload(ch1), 0u);
}

}  // namespace
