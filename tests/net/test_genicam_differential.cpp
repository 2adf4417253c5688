// The GenICam evaluator against an independent one: Aravis's fake GigE
// Vision camera serves each description of tests/data/genicam on loopback,
// arv-tool reads and writes its features, and our evaluator does the same
// over GVCP READMEM/WRITEMEM (the library's connect needs a camera of the
// family, so the evaluator is built directly, over tests/gvcp_memory_port.h).
// Every feature's access, value, bounds and entries must agree, and every
// write must leave the same registers behind, except where the two answer
// differently and the GenICam rules decide for us: each such case is listed
// in kDifferences with both answers and the reason.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cfloat>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <pugixml.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "eventually.h"
#include "genicam/genicam_evaluator.h"
#include "gvcp_memory_port.h"
#include "vora_base_type.h"

namespace {

const char* const kFake = "/usr/bin/arv-fake-gv-camera-0.8";
const char* const kTool = "/usr/bin/arv-tool-0.8";

std::string data_file(const std::string& name)
{
    return std::string(VORA_SOURCE_DIR) + "/tests/data/genicam/" + name;
}

// The registers each description's features live in, with the values both
// sides start from (the fake camera zeroes its memory). Each word is written
// big-endian, as it lies in the camera's memory.
struct Seed {
    uint32_t address, word;
};
const std::vector<Seed> kSeeds = {
    {0x4000, 0x40},       {0x40f0, 8},          {0x4004, 0xfbffffff}, {0x4008, 0xfff61234}, {0x4010, 0xffffffff},
    {0x4014, 0xfffffff0}, {0x4018, 0x12a5c678}, {0x401c, 0x502a0000}, {0x4020, 0x40490fdb}, {0x4028, 0x00000000},
    {0x402c, 0x00000440}, {0x4030, 0x20},       {0x4034, 0x30},       {0x4038, 5},          {0x4040, 4},
    {0x4050, 0x766f7261}, {0x4054, 0x2d310000}, {0x4060, 0x01020304}, {0x4064, 0x05060708}, {0x4070, 0x8a1fe3c4},
    {0x4080, 7},          {0x4084, 3},          {0x4088, 0x40200000}, {0x40a0, 11},         {0x40a8, 99},
    {0x5000, 1},          {0x5014, 17},         {0x5028, 0xfffffff6}, {0x5044, 2500},       {0x50f4, 1},
    {0x5060, 5},          {0x5074, 1},
};
// The spans compared after a write: every register our descriptions use.
const uint32_t kSpans[][2] = {{0x4000, 0x100}, {0x5000, 0x100}};

// One run of the fake camera with a description, seeded.
class FakeCamera {
public:
    explicit FakeCamera(const std::string& description)
        : child_(kFake, {"-i", "127.0.0.1", "-g", description, "-s", "DIFF0"})
    {
        up_ = eventually(
            [&] {
                uint32_t word = 0;
                return port_.read(0x0, &word, 4) == 0;
            },
            std::chrono::seconds(10));
        for (const Seed& s : kSeeds)
            if (up_ && port_.write_u32(s.address, s.word) != 0)
                up_ = false;
    }
    bool up() const { return up_; }
    vora_test::GvcpMemoryPort& raw() { return port_; }
    std::vector<uint8_t> memory()
    {
        std::vector<uint8_t> all;
        for (const auto& span : kSpans) {
            const std::vector<uint8_t> part = port_.dump(span[0], span[1]);
            all.insert(all.end(), part.begin(), part.end());
        }
        return all;
    }

private:
    vora_test::Child child_;
    vora_test::GvcpMemoryPort port_;
    bool up_ = false;
};

// arv-tool's answer to one invocation.
std::string arv(const std::vector<std::string>& args)
{
    std::vector<std::string> all{"-a", "127.0.0.1"};
    all.insert(all.end(), args.begin(), args.end());
    vora_test::Child tool(kTool, all);
    const vora_test::Outcome o = tool.finish(std::chrono::seconds(30 * kTestSlowdown));
    return o.out + o.err;
}

// What one side says of a feature, as text, so both compare alike: access
// (RO/RW/WO/NA/NI), value, min, max, inc, the available entries.
using Facts = std::map<std::string, std::string>;

std::string fmt_g(double v)
{
    char b[64];
    std::snprintf(b, sizeof b, "%g", v);
    return b;
}

// The listing of `arv-tool features`: kind and access of every feature
// reachable from Root, the entries of enumerations (available or not), the
// features each selector selects.
struct Listing {
    std::map<std::string, std::string> access;  // NA when "(Not available)"
    std::map<std::string, std::set<std::string>> entries, unavailable, selected;
};

Listing parse_features(const std::string& text)
{
    Listing l;
    std::istringstream in(text);
    std::string line, current;
    const std::regex feature(R"(^\s*(\w+)\s*: \[(\w+)\] '(\w+)')");
    const std::regex na(R"(^\s*(\w+)\s*: '(\w+)' \(Not available\))");
    const std::regex entry(R"(^\s*EnumEntry\s*: '(\w+)'( \(Not available\))?)");
    const std::regex sel(R"(^\s+\* (\w+))");
    std::smatch m;
    while (std::getline(in, line)) {
        if (std::regex_search(line, m, entry)) {
            (m[2].matched ? l.unavailable : l.entries)[current].insert(m[1]);
        } else if (std::regex_search(line, m, feature)) {
            current = m[3];
            l.access[current] = m[2];
        } else if (std::regex_search(line, m, na)) {
            current = m[2];
            l.access[current] = "NA";
        } else if (std::regex_search(line, m, sel)) {
            l.selected[current].insert(m[1]);
        }
    }
    return l;
}

// `arv-tool control A B ...`: "A = value [unit] [min:x] [max:x] [inc:x]".
std::map<std::string, Facts> parse_control(const std::string& text)
{
    std::map<std::string, Facts> out;
    std::istringstream in(text);
    std::string line;
    const std::regex value(R"(^(\w+) = (.*)$)");
    std::smatch m;
    while (std::getline(in, line)) {
        if (!std::regex_match(line, m, value))
            continue;
        Facts& f = out[m[1]];
        std::string rest = m[2];
        for (const char* key : {"inc", "max", "min"}) {
            const size_t at = rest.rfind(std::string(" ") + key + ":");
            if (at != std::string::npos) {
                f[key] = rest.substr(at + std::strlen(key) + 2);
                rest.erase(at);
            }
        }
        f["value"] = rest;
    }
    return out;
}

const char* access_text(genicam::Access a)
{
    switch (a) {
    case genicam::Access::NI:
        return "NI";
    case genicam::Access::NA:
        return "NA";
    case genicam::Access::WO:
        return "WO";
    case genicam::Access::RO:
        return "RO";
    case genicam::Access::RW:
        return "RW";
    }
    return "?";
}

// Our side's facts, in arv-tool's notation.
Facts ours(genicam::Evaluator& ev, const std::string& name)
{
    Facts f;
    genicam::FeatureInfo info;
    if (ev.describe(name, &info) != 0) {
        f["error"] = genicam::Evaluator::last_error();
        return f;
    }
    f["access"] = access_text(info.access);
    const bool readable = info.access == genicam::Access::RO || info.access == genicam::Access::RW;
    const std::string unit = info.unit.empty() ? "" : " " + info.unit;
    switch (info.kind) {
    case genicam::Kind::Integer: {
        int64_t v = 0;
        if (readable && ev.get_int(name, &v) == 0)
            f["value"] = std::to_string(v) + unit;
        if (info.has_range) {
            if (info.int_min != INT64_MIN)
                f["min"] = std::to_string(info.int_min);
            if (info.int_max != INT64_MAX)
                f["max"] = std::to_string(info.int_max);
        }
        if (info.int_inc != 1)
            f["inc"] = std::to_string(info.int_inc);
        break;
    }
    case genicam::Kind::Float: {
        double v = 0;
        if (readable && ev.get_float(name, &v) == 0)
            f["value"] = fmt_g(v) + unit;
        // arv-tool leaves out a bound of +-DBL_MAX, as it does an integer's
        // INT64_MIN/MAX: the same "no bound" in its notation.
        if (info.has_range) {
            if (info.float_min != -DBL_MAX)
                f["min"] = fmt_g(info.float_min);
            if (info.float_max != DBL_MAX)
                f["max"] = fmt_g(info.float_max);
        }
        if (info.has_inc)
            f["inc"] = fmt_g(info.float_inc);
        break;
    }
    case genicam::Kind::Boolean: {
        bool v = false;
        if (readable && ev.get_bool(name, &v) == 0)
            f["value"] = v ? "true" : "false";
        break;
    }
    case genicam::Kind::String: {
        std::string v;
        if (readable && ev.get_string(name, &v) == 0)
            f["value"] = v;
        break;
    }
    case genicam::Kind::Enumeration: {
        std::string symbolic;
        int64_t v = 0;
        if (readable && ev.get_enum(name, &symbolic, &v) == 0)
            f["value"] = symbolic;
        std::string available;
        std::set<std::string> sorted;
        for (const genicam::EntryInfo& e : info.entries)
            if (e.available)
                sorted.insert(e.name);
        for (const std::string& e : sorted)
            available += e + " ";
        f["entries"] = available;
        break;
    }
    default:
        break;
    }
    if (!info.selected.empty()) {
        std::set<std::string> sorted(info.selected.begin(), info.selected.end());
        std::string s;
        for (const std::string& n : sorted)
            s += n + " ";
        f["selected"] = s;
    }
    return f;
}

// Where the two disagree and the GenICam rules decide: feature.fact, what
// Aravis answers, what the standard asks and so what we answer.
struct Difference {
    const char* aravis;
    const char* standard;
    const char* why;
};
const std::map<std::string, Difference> kDifferences = {
    {"selectors.xml:Locked.access",
     {"RW", "RO",
      "Aravis leaves pIsLocked out of the access it reports; the standard makes a locked feature read-only "
      "while its pIsLocked node is non-zero (LockReg is seeded 1)"}},
    {"selectors.xml:NotAvailable.value",
     {"0", "",
      "Aravis reads a feature whose pIsAvailable is 0 all the same; the standard makes it NA, neither readable "
      "nor writable, so we refuse the read"}},
    {"selectors.xml:NotImplemented.value",
     {"0", "",
      "Aravis reads a feature whose pIsImplemented is 0; the standard makes it NI, absent from this device, so "
      "we neither read it nor evaluate its bounds"}},
    {"selectors.xml:NotImplemented.min",
     {"0", "", "Aravis gives the bounds of a feature whose pIsImplemented is 0; it is NI, so we give none"}},
    {"selectors.xml:NotImplemented.max",
     {"4294967295", "", "Aravis gives the bounds of a feature whose pIsImplemented is 0; it is NI, so we give none"}},
    {"selectors.xml:ImposedWO.value",
     {"0", "",
      "Aravis reads a feature imposed write-only; the standard's ImposedAccessMode WO makes it unreadable, so "
      "we refuse the read"}},
};

class Differential : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override
    {
        if (access(kFake, X_OK) != 0 || access(kTool, X_OK) != 0)
            GTEST_SKIP() << "aravis-tools is not installed";
    }

    std::unique_ptr<genicam::Evaluator> build(const std::string& file)
    {
        pugi::xml_parse_result parsed = doc_.load_file(data_file(file).c_str());
        EXPECT_TRUE(parsed) << parsed.description();
        std::string error;
        std::unique_ptr<genicam::Evaluator> ev = genicam::Evaluator::build(doc_.child("RegisterDescription"), &error);
        EXPECT_TRUE(ev) << error;
        if (ev) {
            EXPECT_TRUE(ev->problems().empty()) << ev->problems().front();
        }
        return ev;
    }

    pugi::xml_document doc_;
};

// Every feature of the description: access, value, bounds, entries and
// selected features, read by both sides from one camera.
TEST_P(Differential, EveryFeatureReadsAlike)
{
    const std::string file = GetParam();
    FakeCamera camera(data_file(file));
    ASSERT_TRUE(camera.up()) << "the fake camera did not answer";
    std::unique_ptr<genicam::Evaluator> ev = build(file);
    ASSERT_TRUE(ev);
    vora_test::GvcpMemoryPort port;
    ev->attach(&port);

    std::vector<std::string> names;
    ASSERT_EQ(ev->names("", &names), 0);
    ASSERT_FALSE(names.empty());

    const Listing listing = parse_features(arv({"features"}));
    std::vector<std::string> args{"control"};
    for (const std::string& n : names) {
        genicam::FeatureInfo info;
        // Commands would execute and registers have no text form: neither is read.
        if (ev->describe(n, &info) == 0 && info.kind != genicam::Kind::Command && info.kind != genicam::Kind::Register)
            args.push_back(n);
    }
    const std::map<std::string, Facts> control = parse_control(arv(args));

    int compared = 0;
    for (const std::string& n : names) {
        const Facts mine = ours(*ev, n);
        ASSERT_EQ(mine.count("error"), 0u) << n << ": " << mine.at("error");
        Facts theirs;
        const auto listed = listing.access.find(n);
        theirs["access"] = listed == listing.access.end() ? "NI" : listed->second;
        if (control.count(n))
            for (const auto& kv : control.at(n))
                theirs[kv.first] = kv.second;
        if (mine.count("entries")) {
            std::string s;
            for (const std::string& e : listing.entries.count(n) ? listing.entries.at(n) : std::set<std::string>{})
                s += e + " ";
            theirs["entries"] = s;
        }
        if (listing.selected.count(n)) {
            std::string s;
            for (const std::string& e : listing.selected.at(n))
                s += e + " ";
            theirs["selected"] = s;
        }
        std::set<std::string> keys;
        for (const auto& kv : mine)
            keys.insert(kv.first);
        for (const auto& kv : theirs)
            keys.insert(kv.first);
        for (const std::string& key : keys) {
            const std::string a = theirs.count(key) ? theirs.at(key) : "";
            const std::string b = mine.count(key) ? mine.at(key) : "";
            const auto known = kDifferences.find(file + ":" + n + "." + key);
            if (known != kDifferences.end()) {
                EXPECT_EQ(a, known->second.aravis) << file << " " << n << "." << key << ": " << known->second.why;
                EXPECT_EQ(b, known->second.standard) << file << " " << n << "." << key << ": " << known->second.why;
            } else {
                EXPECT_EQ(a, b) << file << " " << n << "." << key << ": Aravis '" << a << "', ours '" << b << "'";
            }
        }
        ++compared;
    }
    EXPECT_EQ(compared, static_cast<int>(names.size()));
}

INSTANTIATE_TEST_SUITE_P(Descriptions, Differential,
                         ::testing::Values("aravis-fake-camera.xml", "kinds.xml", "selectors.xml"),
                         [](const ::testing::TestParamInfo<const char*>& p) {
                             std::string n = p.param;
                             n = n.substr(0, n.find('.'));
                             for (char& c : n)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return n;
                         });

// One write of each writable kind, done by each side on a fresh camera:
// the registers left behind must be the same bytes, or differ only as
// `aravis_differs` documents.
struct Write {
    const char* label;
    const char* file;
    std::vector<std::string> arv;                  // arv-tool control arguments
    std::function<int(genicam::Evaluator&)> ours;  // our status
    int status = 0;                                // what our side must answer
    const char* aravis_differs = nullptr;          // why Aravis leaves other bytes, when it does
    // Bytes Aravis overwrites beside the register it writes, which must keep
    // their seed (kept_length 0: none); aravis_differs says why.
    uint32_t kept_address = 0, kept_length = 0;
};

// Where a register's byte lies in FakeCamera::memory().
size_t memory_offset(uint32_t address)
{
    size_t offset = 0;
    for (const auto& span : kSpans) {
        if (address >= span[0] && address < span[0] + span[1])
            return offset + (address - span[0]);
        offset += span[1];
    }
    ADD_FAILURE() << "0x" << std::hex << address << " lies in no compared span";
    return 0;
}

std::vector<Write> writes()
{
    using E = genicam::Evaluator;
    return {
        {"IntReg little-endian signed",
         "kinds.xml",
         {"IntRegLE=-1234567"},
         [](E& e) { return e.set_int("IntRegLE", -1234567); }},
        {"IntReg of two bytes",
         "kinds.xml",
         {"IntReg2=-300"},
         [](E& e) { return e.set_int("IntReg2", -300); },
         0,
         "Aravis rounds a WRITEMEM up to whole words and sends zeroes past the register, overwriting the two "
         "bytes after a two-byte register; a register's write may change only its own Length bytes, so ours "
         "reads the word first and writes the neighbours back as they were",
         0x400a,
         2},
        {"IntReg of eight bytes",
         "kinds.xml",
         {"IntReg8=-81985529216486896"},
         [](E& e) { return e.set_int("IntReg8", -81985529216486896LL); }},
        {"MaskedIntReg big-endian keeps the other bits",
         "kinds.xml",
         {"MaskedBE=90"},
         [](E& e) { return e.set_int("MaskedBE", 90); }},
        {"MaskedIntReg little-endian signed",
         "kinds.xml",
         {"MaskedLESigned=-7"},
         [](E& e) { return e.set_int("MaskedLESigned", -7); }},
        {"Integer over a register, on its increment",
         "kinds.xml",
         {"RegInteger=2000"},
         [](E& e) { return e.set_int("RegInteger", 2000); }},
        {"Integer off its increment",
         "kinds.xml",
         {"RegInteger=2001"},
         [](E& e) { return e.set_int("RegInteger", 2001); },
         VORA_ERR_FEATURE_INCREMENT,
         "Aravis (its range check off by default) writes 2001; the standard refuses a value that is not "
         "Min plus a multiple of Inc, so the register keeps its seed"},
        {"FloatReg of four bytes",
         "kinds.xml",
         {"FloatReg4=-0.15625"},
         [](E& e) { return e.set_float("FloatReg4", -0.15625); }},
        {"FloatReg of eight bytes little-endian",
         "kinds.xml",
         {"FloatReg8=1e-300"},
         [](E& e) { return e.set_float("FloatReg8", 1e-300); }},
        {"Converter", "kinds.xml", {"GainDb=12.5"}, [](E& e) { return e.set_float("GainDb", 12.5); }},
        {"IntConverter", "kinds.xml", {"ScaledInt=400"}, [](E& e) { return e.set_int("ScaledInt", 400); }},
        {"Boolean over one bit", "kinds.xml", {"FlagBool=false"}, [](E& e) { return e.set_bool("FlagBool", false); }},
        {"Boolean with its own on and off values",
         "kinds.xml",
         {"ModeBool=false"},
         [](E& e) { return e.set_bool("ModeBool", false); }},
        {"Command", "kinds.xml", {"Reset"}, [](E& e) { return e.execute("Reset"); }},
        {"Enumeration", "kinds.xml", {"TestPattern=Ramp"}, [](E& e) { return e.set_enum("TestPattern", "Ramp"); }},
        {"Enumeration entry not available",
         "kinds.xml",
         {"TestPattern=Noise"},
         [](E& e) { return e.set_enum("TestPattern", "Noise"); },
         VORA_ERR_FEATURE_RANGE},
        {"StringReg", "kinds.xml", {"DeviceLabel=hello"}, [](E& e) { return e.set_string("DeviceLabel", "hello"); }},
        {"StructEntry", "kinds.xml", {"StructMid=-2"}, [](E& e) { return e.set_int("StructMid", -2); }},
        {"Selector change, then the selected feature",
         "selectors.xml",
         {"ChannelSelector=Colour", "ChannelGain=77"},
         [](E& e) {
             const int s = e.set_enum("ChannelSelector", "Colour");
             return s ? s : e.set_int("ChannelGain", 77);
         }},
        {"Address from a formula over the selector",
         "selectors.xml",
         {"ChannelSelector=Left", "ChannelOffset=-50"},
         [](E& e) {
             const int s = e.set_enum("ChannelSelector", "Left");
             return s ? s : e.set_int("ChannelOffset", -50);
         }},
        {"Converter over an indexed register",
         "selectors.xml",
         {"ChannelExposure=1230"},
         [](E& e) { return e.set_float("ChannelExposure", 1230); }},
        {"Locked feature",
         "selectors.xml",
         {"Locked=3"},
         [](E& e) { return e.set_int("Locked", 3); },
         VORA_ERR_FEATURE_NOT_WRITABLE,
         "Aravis (its access check off by default) writes a locked feature; the standard makes it read-only "
         "while pIsLocked is non-zero, so the register keeps its seed"},
        {"Imposed read-only",
         "selectors.xml",
         {"ImposedRO=4"},
         [](E& e) { return e.set_int("ImposedRO", 4); },
         VORA_ERR_FEATURE_NOT_WRITABLE,
         "Aravis (its access check off by default) writes through ImposedAccessMode RO; the standard forbids it"},
        {"Not implemented enumeration entry",
         "selectors.xml",
         {"LightMode=Strobe"},
         [](E& e) { return e.set_enum("LightMode", "Strobe"); },
         VORA_ERR_FEATURE_RANGE},
        {"Write-only feature", "selectors.xml", {"ImposedWO=9"}, [](E& e) { return e.set_int("ImposedWO", 9); }},
    };
}

TEST(DifferentialWrites, EachKindLeavesTheSameRegisters)
{
    if (access(kFake, X_OK) != 0 || access(kTool, X_OK) != 0)
        GTEST_SKIP() << "aravis-tools is not installed";
    for (const Write& w : writes()) {
        SCOPED_TRACE(w.label);
        std::vector<uint8_t> seeded, theirs, mine;
        {
            FakeCamera camera(data_file(w.file));
            ASSERT_TRUE(camera.up());
            seeded = camera.memory();
            std::vector<std::string> args{"control"};
            args.insert(args.end(), w.arv.begin(), w.arv.end());
            const std::string out = arv(args);
            // Refusing a write is an answer; an unknown name is a broken case.
            EXPECT_EQ(out.find("Feature '"), std::string::npos) << out;
            theirs = camera.memory();
        }
        {
            FakeCamera camera(data_file(w.file));
            ASSERT_TRUE(camera.up());
            pugi::xml_document doc;
            ASSERT_TRUE(doc.load_file(data_file(w.file).c_str()));
            std::string error;
            std::unique_ptr<genicam::Evaluator> ev =
                genicam::Evaluator::build(doc.child("RegisterDescription"), &error);
            ASSERT_TRUE(ev) << error;
            vora_test::GvcpMemoryPort port;
            ev->attach(&port);
            EXPECT_EQ(w.ours(*ev), w.status) << genicam::Evaluator::last_error();
            mine = camera.memory();
        }
        ASSERT_EQ(seeded.size(), theirs.size());
        ASSERT_EQ(seeded.size(), mine.size());
        if (w.kept_length) {
            std::vector<uint8_t> expected = theirs;
            const size_t at = memory_offset(w.kept_address);
            std::copy(seeded.begin() + at, seeded.begin() + at + w.kept_length, expected.begin() + at);
            EXPECT_NE(theirs, expected) << w.aravis_differs;
            EXPECT_EQ(mine, expected) << w.aravis_differs;
        } else if (w.aravis_differs) {
            EXPECT_NE(theirs, seeded) << w.aravis_differs;
            EXPECT_EQ(mine, seeded) << w.aravis_differs;
        } else {
            EXPECT_EQ(mine, theirs);
            if (w.status != 0) {
                EXPECT_EQ(mine, seeded) << "a refused write must leave the registers alone";
            }
        }
    }
}

// Caching: a WriteThrough register is read once and then answered from the
// cache, even when the camera's memory changes behind it, until a write to
// its pInvalidator; a NoCache register is read every time. Aravis with its
// register cache on runs the same sequence within one invocation, the
// changes behind its back made with raw register writes.
TEST(DifferentialCache, InvalidatorAndNoCacheReadAlike)
{
    if (access(kFake, X_OK) != 0 || access(kTool, X_OK) != 0)
        GTEST_SKIP() << "aravis-tools is not installed";
    std::vector<std::string> theirs;
    {
        FakeCamera camera(data_file("kinds.xml"));
        ASSERT_TRUE(camera.up());
        const std::string out = arv({"--register-cache=enable", "control", "CachedValue", "Volatile", "R[0x40a0]=33",
                                     "R[0x40a8]=100", "CachedValue", "Volatile", "Invalidator=1", "CachedValue"});
        const std::regex value(R"((CachedValue|Volatile) = (-?\d+))");
        for (std::sregex_iterator it(out.begin(), out.end(), value), end; it != end; ++it)
            theirs.push_back((*it)[1].str() + "=" + (*it)[2].str());
    }
    std::vector<std::string> mine;
    {
        FakeCamera camera(data_file("kinds.xml"));
        ASSERT_TRUE(camera.up());
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(data_file("kinds.xml").c_str()));
        std::string error;
        std::unique_ptr<genicam::Evaluator> ev = genicam::Evaluator::build(doc.child("RegisterDescription"), &error);
        ASSERT_TRUE(ev) << error;
        vora_test::GvcpMemoryPort port;
        ev->attach(&port);
        auto note = [&](const char* name) {
            int64_t v = 0;
            EXPECT_EQ(ev->get_int(name, &v), 0) << name;
            mine.push_back(std::string(name) + "=" + std::to_string(v));
        };
        note("CachedValue");
        note("Volatile");
        ASSERT_EQ(camera.raw().write_u32(0x40a0, 33), 0);
        ASSERT_EQ(camera.raw().write_u32(0x40a8, 100), 0);
        note("CachedValue");
        note("Volatile");
        ASSERT_EQ(ev->set_int("Invalidator", 1), 0);
        note("CachedValue");
    }
    const std::vector<std::string> expected{"CachedValue=11", "Volatile=99", "CachedValue=11", "Volatile=100",
                                            "CachedValue=33"};
    EXPECT_EQ(theirs, expected);
    EXPECT_EQ(mine, expected);
}

}  // namespace
