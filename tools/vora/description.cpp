// Reading the device description for `vora features`.
#include "description.h"

#include <dirent.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <pugixml.hpp>
#include <sstream>

#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

// Pointers followed at most this deep: a description may be malformed.
constexpr int kMaxDepth = 8;

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The XML inside a zipped description: its first .xml entry.
bool unzip(const std::string& bytes, std::string* xml, std::string* error)
{
    zip_error_t ze;
    zip_error_init(&ze);
    zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &ze);
    zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY, &ze) : nullptr;
    if (!archive) {
        if (source)
            zip_source_free(source);
        *error = std::string("unreadable archive: ") + zip_error_strerror(&ze);
        zip_error_fini(&ze);
        return false;
    }
    zip_error_fini(&ze);
    bool found = false;
    for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0) && !found; ++i) {
        zip_stat_t st;
        const std::string name = zip_get_name(archive, static_cast<zip_uint64_t>(i), 0) ?: "";
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".xml") != 0 ||
            zip_stat_index(archive, static_cast<zip_uint64_t>(i), 0, &st) != 0 || st.size > (64u << 20))
            continue;
        zip_file_t* file = zip_fopen_index(archive, static_cast<zip_uint64_t>(i), 0);
        if (!file)
            continue;
        xml->resize(static_cast<size_t>(st.size));
        found = zip_fread(file, &(*xml)[0], st.size) == static_cast<zip_int64_t>(st.size);
        zip_fclose(file);
    }
    zip_close(archive);
    if (!found)
        *error = "the archive holds no readable .xml";
    return found;
}

std::string type_of(const std::string& element)
{
    if (element == "Integer" || element == "IntReg" || element == "MaskedIntReg" || element == "IntSwissKnife" ||
        element == "IntConverter")
        return "integer";
    if (element == "Float" || element == "FloatReg" || element == "SwissKnife" || element == "Converter")
        return "float";
    if (element == "Enumeration")
        return "enumeration";
    if (element == "Boolean")
        return "boolean";
    if (element == "Command")
        return "command";
    if (element == "String" || element == "StringReg")
        return "string";
    if (element == "Register" || element == "StructReg")
        return "register";
    return "";
}

class Reader {
public:
    explicit Reader(const pugi::xml_node& root)
    {
        for (pugi::xml_node n : root.children())
            if (n.attribute("Name"))
                nodes_[n.attribute("Name").value()] = n;
    }

    // A feature's access: imposed on it, else that of its register, else
    // that of what its pValue names; computed values are read-only.
    std::string access(const pugi::xml_node& node, int depth) const
    {
        const std::string imposed = node.child_value("ImposedAccessMode");
        if (!imposed.empty())
            return imposed;
        const std::string own = node.child_value("AccessMode");
        if (!own.empty())
            return own;
        const std::string element = node.name();
        if (element == "IntSwissKnife" || element == "SwissKnife" || element == "IntConverter" ||
            element == "Converter")
            return "RO";
        const pugi::xml_node target = follow(node);
        return target && depth < kMaxDepth ? access(target, depth + 1) : "";
    }

    // The register behind a feature, for its bit range.
    pugi::xml_node masked(const pugi::xml_node& node, int depth) const
    {
        if (std::string(node.name()) == "MaskedIntReg")
            return node;
        const pugi::xml_node target = follow(node);
        return target && depth < kMaxDepth ? masked(target, depth + 1) : pugi::xml_node();
    }

    const std::map<std::string, pugi::xml_node>& nodes() const { return nodes_; }

private:
    pugi::xml_node follow(const pugi::xml_node& node) const
    {
        auto it = nodes_.find(node.child_value("pValue"));
        return it == nodes_.end() ? pugi::xml_node() : it->second;
    }

    std::map<std::string, pugi::xml_node> nodes_;
};

}  // namespace

std::string FeatureInfo::entry_name(long long value) const
{
    for (const auto& e : entries)
        if (e.second == value)
            return e.first;
    return "";
}

bool FeatureInfo::entry_value(const std::string& name, long long* value) const
{
    for (const auto& e : entries) {
        if (e.first == name) {
            *value = e.second;
            return true;
        }
    }
    const auto same = [](const std::string& a, const std::string& b) {
        return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
                   return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
               });
    };
    int matches = 0;
    for (const auto& e : entries) {
        if (same(e.first, name)) {
            *value = e.second;
            ++matches;
        }
    }
    return matches == 1;
}

std::string FeatureInfo::entry_names() const
{
    std::string names;
    for (const auto& e : entries)
        names += (names.empty() ? "" : ", ") + e.first;
    return names;
}

bool Description::load(int camera, std::string* error)
{
    char folder[] = "/tmp/vora-description-XXXXXX";
    if (!mkdtemp(folder)) {
        *error = "no temporary folder";
        return false;
    }
    const int status = SaveXmlToLocal(camera, folder);
    std::string bytes, name;
    if (DIR* d = opendir(folder)) {
        while (dirent* e = readdir(d)) {
            if (e->d_name[0] == '.')
                continue;
            name = e->d_name;
            bytes = read_file(std::string(folder) + "/" + name);
            unlink((std::string(folder) + "/" + name).c_str());
        }
        closedir(d);
    }
    rmdir(folder);
    if (status != 0 || bytes.empty()) {
        *error = std::string("cannot read the device description: ") + VoraStatusText(status);
        return false;
    }
    std::string xml = bytes;
    if (bytes.compare(0, 2, "PK") == 0 && !unzip(bytes, &xml, error))
        return false;
    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), xml.size());
    if (!parsed) {
        *error = std::string("the device description is not XML: ") + parsed.description();
        return false;
    }
    const Reader reader(doc.document_element());
    for (const auto& n : reader.nodes()) {
        const pugi::xml_node& node = n.second;
        FeatureInfo f;
        f.type = type_of(node.name());
        if (f.type.empty())
            continue;  // categories, ports, entries
        f.access = reader.access(node, 0);
        f.has_min = node.child("Min") || node.child("pMin");
        f.has_max = node.child("Max") || node.child("pMax");
        f.has_inc = node.child("Inc") || node.child("pInc");
        f.unit = node.child_value("Unit");
        for (pugi::xml_node e : node.children("EnumEntry")) {
            const std::string symbolic = e.child_value("Symbolic");
            f.entries.emplace_back(symbolic.empty() ? e.attribute("Name").value() : symbolic,
                                   std::strtoll(e.child_value("Value"), nullptr, 0));
        }
        if (const pugi::xml_node reg = reader.masked(node, 0)) {
            const char* bit = reg.child_value("Bit");
            f.msb = std::atoi(*bit ? bit : reg.child_value("MSB"));
            f.lsb = std::atoi(*bit ? bit : reg.child_value("LSB"));
            if (f.msb < 0 || f.lsb > 31 || f.msb > f.lsb)
                f.msb = f.lsb = -1;
        }
        features_[n.first] = f;
    }
    return true;
}

const FeatureInfo* Description::find(const std::string& name) const
{
    auto it = features_.find(name);
    return it == features_.end() ? nullptr : &it->second;
}

}  // namespace vora_tool
