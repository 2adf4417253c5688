// The node map is built once from the description and never changes: every
// property is stored in the form GetProperty answers it.
#include "genicam/genicam_nodemap.h"
#include "genicam/genicam_text.h"

#include "genicam/genicam_evaluator.h"

#include <pugixml.hpp>
#include <strings.h>
#include <zip.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <unordered_map>
#include <unordered_set>

namespace GenApi {

namespace {

typedef std::map<std::string, std::pair<std::string, std::string>> Properties;

bool one_of(const std::string& s, std::initializer_list<const char*> list)
{
    for (const char* item : list)
        if (s == item)
            return true;
    return false;
}

bool is_node_tag(const std::string& tag)
{
    return one_of(tag, {"Node",         "Category", "Integer",     "IntReg",    "MaskedIntReg",   "IntSwissKnife",
                        "IntConverter", "IntKey",   "Float",       "FloatReg",  "SwissKnife",     "Converter",
                        "Boolean",      "Command",  "Enumeration", "StringReg", "String",         "Register",
                        "StructReg",    "Port",     "ConfRom",     "TextDesc",  "AdvFeatureLock", "SmartFeature"});
}

EInterfaceType interface_type(const std::string& tag)
{
    if (one_of(tag, {"Integer", "IntReg", "MaskedIntReg", "IntSwissKnife", "IntConverter", "StructEntry", "IntKey"}))
        return intfIInteger;
    if (one_of(tag, {"Float", "FloatReg", "SwissKnife", "Converter"}))
        return intfIFloat;
    if (one_of(tag, {"StringReg", "String"}))
        return intfIString;
    if (tag == "Boolean")
        return intfIBoolean;
    if (tag == "Command")
        return intfICommand;
    if (tag == "Enumeration")
        return intfIEnumeration;
    if (tag == "EnumEntry")
        return intfIEnumEntry;
    if (tag == "Register")
        return intfIRegister;
    if (tag == "Category")
        return intfICategory;
    if (tag == "Port")
        return intfIPort;
    return intfIBase;
}

// pValue, pAddress, pFeature, ...: the text names another node.
bool is_pointer(const char* tag)
{
    return tag[0] == 'p' && std::isupper(static_cast<unsigned char>(tag[1]));
}

// Value, Min, Max and Inc are integers except in the float and string nodes.
bool is_integer_property(const std::string& prop, const std::string& type)
{
    if (one_of(prop, {"Address", "Length", "LSB", "MSB", "Bit", "PollingTime", "CommandValue"}))
        return true;
    return one_of(prop, {"Value", "Min", "Max", "Inc"}) &&
           !one_of(type, {"Float", "FloatReg", "SwissKnife", "Converter", "String", "StringReg"});
}

std::string property_value(const std::string& prop, const std::string& type, const std::string& text)
{
    int64_t number = 0;
    if (is_integer_property(prop, type) && genicam::parse_int(text, &number))
        return std::to_string(number);
    return text;
}

// name=value pairs joined by tab.
std::string attribute_text(pugi::xml_node el)
{
    std::string text;
    for (pugi::xml_attribute a = el.first_attribute(); a; a = a.next_attribute()) {
        if (!text.empty())
            text += '\t';
        text += a.name();
        text += '=';
        text += a.value();
    }
    return text;
}

void add_property(Properties& props, const std::string& name, const std::string& value, const std::string& attribute)
{
    auto it = props.find(name);
    if (it == props.end()) {
        props.emplace(name, std::make_pair(value, attribute));
        return;
    }
    it->second.first += '\t' + value;
    if (!attribute.empty() && !it->second.second.empty())
        it->second.second += '\t';
    it->second.second += attribute;
}

// The child elements of el, except those tagged skip, as properties of a
// node of the given type.
Properties child_properties(pugi::xml_node el, const std::string& type, const char* skip)
{
    Properties props;
    for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element || std::strcmp(c.name(), skip) == 0)
            continue;
        add_property(props, c.name(), property_value(c.name(), type, genicam::element_text(c)), attribute_text(c));
    }
    return props;
}

// The element's attributes, where no child element has the same name.
void add_attributes(Properties& props, pugi::xml_node el)
{
    for (pugi::xml_attribute a = el.first_attribute(); a; a = a.next_attribute())
        props.emplace(a.name(), std::make_pair(std::string(a.value()), std::string()));
}

std::vector<std::string> split_tabs(const std::string& s)
{
    std::vector<std::string> parts;
    size_t start = 0;
    for (size_t tab; (tab = s.find('\t', start)) != std::string::npos; start = tab + 1)
        parts.push_back(s.substr(start, tab - start));
    parts.push_back(s.substr(start));
    return parts;
}

void set_error(std::string& error, const char* what) noexcept
{
    try {
        error = what;
    } catch (...) {
        error.clear();
    }
}

struct ZipDiscard {
    void operator()(zip_t* z) const { zip_discard(z); }
};

struct ZipFileClose {
    void operator()(zip_file_t* f) const { zip_fclose(f); }
};

bool has_xml_suffix(const char* name)
{
    size_t n = std::strlen(name);
    return n >= 4 && strcasecmp(name + n - 4, ".xml") == 0;
}

std::string mib(size_t bytes)
{
    return std::to_string(bytes >> 20) + " MiB";
}

// Reads the entry piece by piece: its declared size is the archive's claim,
// not a promise, so neither it nor the expanded bytes may exceed the limit.
bool read_entry(zip_t* za, zip_uint64_t index, std::string& out, std::string& error)
{
    zip_stat_t st;
    zip_stat_init(&st);
    if (zip_stat_index(za, index, 0, &st) != 0) {
        error = std::string("cannot open the XML entry: ") + zip_strerror(za);
        return false;
    }
    if ((st.valid & ZIP_STAT_SIZE) && st.size > MAX_DESCRIPTION_SIZE) {
        error = "the XML entry declares " + std::to_string(st.size) + " bytes, more than the " +
                mib(MAX_DESCRIPTION_SIZE) + " a description may have";
        return false;
    }
    std::unique_ptr<zip_file_t, ZipFileClose> file(zip_fopen_index(za, index, 0));
    if (!file) {
        error = std::string("cannot open the XML entry: ") + zip_strerror(za);
        return false;
    }
    out.clear();
    std::vector<char> piece(64 * 1024);
    for (;;) {
        const zip_int64_t got = zip_fread(file.get(), piece.data(), piece.size());
        if (got < 0) {
            error = std::string("cannot read the XML entry: ") + zip_file_strerror(file.get());
            return false;
        }
        if (got == 0)
            return true;
        if (out.size() + static_cast<size_t>(got) > MAX_DESCRIPTION_SIZE) {
            error = "the XML entry expands beyond the " + mib(MAX_DESCRIPTION_SIZE) + " a description may have";
            return false;
        }
        out.append(piece.data(), static_cast<size_t>(got));
    }
}

// The first entry whose name ends in .xml (any case).
bool first_xml_entry(const std::string& archive, std::string& xml, std::string& error)
{
    zip_error_t ze;
    zip_error_init(&ze);
    zip_source_t* src = zip_source_buffer_create(archive.data(), archive.size(), 0, &ze);
    std::unique_ptr<zip_t, ZipDiscard> za(src ? zip_open_from_source(src, ZIP_RDONLY, &ze) : nullptr);
    if (!za) {
        if (src)
            zip_source_free(src);  // the archive takes the source only when it opens
        std::string why = zip_error_strerror(&ze);
        zip_error_fini(&ze);
        error = "not a zip archive: " + why;
        return false;
    }
    zip_error_fini(&ze);
    zip_int64_t count = zip_get_num_entries(za.get(), 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const char* name = zip_get_name(za.get(), i, 0);
        if (name && has_xml_suffix(name))
            return read_entry(za.get(), i, xml, error);
    }
    error = "the archive has no XML entry";
    return false;
}

}  // namespace

class CNodeMap {
public:
    // Reads the RegisterDescription element; false with the reason when the
    // description cannot make a node map.
    bool Build(pugi::xml_node root, std::string& error);
    INode* Find(const std::string& name) const;
    void List(NodeList_t& nodes) const;
    genicam::Evaluator* GetEvaluator() const { return evaluator_.get(); }
    void SetEvaluator(std::unique_ptr<genicam::Evaluator> evaluator) { evaluator_ = std::move(evaluator); }

private:
    void ReadContainer(pugi::xml_node container);
    void ReadNode(pugi::xml_node el);
    void ReadStructReg(pugi::xml_node reg);
    bool Add(const std::string& name, pugi::xml_node el, const std::string& type, Properties props);
    void Note(const std::string& name);
    void NotePointer(pugi::xml_node el);
    void MarkFeatures();

    std::vector<std::unique_ptr<INode>> nodes_;
    std::unordered_map<std::string, INode*> by_name_;
    std::vector<std::string> order_;  // names in order of first appearance
    std::unordered_set<std::string> noted_;
    std::string error_;
    std::unique_ptr<genicam::Evaluator> evaluator_;
};

bool CNodeMap::Build(pugi::xml_node root, std::string& error)
{
    if (std::strcmp(root.name(), "RegisterDescription") != 0) {
        error = "the root element is not RegisterDescription";
        return false;
    }
    ReadContainer(root);
    if (!error_.empty()) {
        error = error_;
        return false;
    }
    MarkFeatures();
    return true;
}

INode* CNodeMap::Find(const std::string& name) const
{
    auto it = by_name_.find(name);
    return it == by_name_.end() ? nullptr : it->second;
}

void CNodeMap::List(NodeList_t& nodes) const
{
    for (const std::string& name : order_)
        if (INode* node = Find(name))
            nodes.push_back(node);
}

// RegisterDescription and the Groups in it, depth first in document order.
// The walk keeps its own stack so that no nesting can exhaust the thread's.
void CNodeMap::ReadContainer(pugi::xml_node container)
{
    std::vector<pugi::xml_node> next{container.first_child()};  // per open level
    while (!next.empty()) {
        pugi::xml_node c = next.back();
        if (!c) {
            next.pop_back();
            continue;
        }
        next.back() = c.next_sibling();
        if (c.type() != pugi::node_element)
            continue;
        if (std::strcmp(c.name(), "Group") == 0) {
            if (next.size() > MAX_GROUP_DEPTH) {
                error_ = "Groups nested deeper than " + std::to_string(MAX_GROUP_DEPTH) + " levels";
                return;
            }
            next.push_back(c.first_child());
        } else if (is_node_tag(c.name())) {
            ReadNode(c);
        }
    }
}

// Enumeration entries become nodes of their own, named after their
// enumeration so that they never hide a feature of the same name.
void CNodeMap::ReadNode(pugi::xml_node el)
{
    const std::string type = el.name();
    if (type == "StructReg")
        return ReadStructReg(el);
    const std::string name = el.attribute("Name").value();
    const bool enumeration = type == "Enumeration";
    Properties props = child_properties(el, type, enumeration ? "EnumEntry" : "");
    add_attributes(props, el);
    if (!Add(name, el, type, std::move(props)))
        return;
    std::string entries;
    for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
        if (!enumeration || std::strcmp(c.name(), "EnumEntry") != 0) {
            NotePointer(c);
            continue;
        }
        std::string entry = c.attribute("Name").value();
        if (entry.empty())
            continue;
        // Descriptions usually spell entries out in full; short names get the
        // same form, so an entry never hides a feature of the same name.
        const std::string full = "EnumEntry_" + name + "_";
        if (entry.compare(0, full.size(), full) != 0)
            entry = full + entry;
        Properties entry_props = child_properties(c, "EnumEntry", "");
        add_attributes(entry_props, c);
        if (!Add(entry, c, "EnumEntry", std::move(entry_props)))
            continue;
        for (pugi::xml_node p = c.first_child(); p; p = p.next_sibling())
            NotePointer(p);
        entries += (entries.empty() ? "" : "\t") + entry;
    }
    if (enumeration)
        by_name_[name]->properties_["EnumEntry"] = std::make_pair(entries, std::string());
}

// A StructReg is no node: each entry is one, with the register's properties
// under its own.
void CNodeMap::ReadStructReg(pugi::xml_node reg)
{
    const Properties shared = child_properties(reg, "StructEntry", "StructEntry");
    for (pugi::xml_node c = reg.first_child(); c; c = c.next_sibling()) {
        if (std::strcmp(c.name(), "StructEntry") != 0) {
            NotePointer(c);
            continue;
        }
        Properties props = shared;
        for (auto& own : child_properties(c, "StructEntry", ""))
            props[own.first] = own.second;
        add_attributes(props, c);
        if (!Add(c.attribute("Name").value(), c, "StructEntry", std::move(props)))
            continue;
        for (pugi::xml_node p = c.first_child(); p; p = p.next_sibling())
            NotePointer(p);
    }
}

// False for a nameless node (skipped) or a duplicate name (fails the build).
bool CNodeMap::Add(const std::string& name, pugi::xml_node el, const std::string& type, Properties props)
{
    if (name.empty())
        return false;
    if (by_name_.count(name)) {
        if (error_.empty())
            error_ = "duplicate node name " + name;
        return false;
    }
    std::unique_ptr<INode> node(new INode);
    node->name_ = name;
    node->name_space_ = el.attribute("NameSpace").value();
    node->type_ = interface_type(type);
    node->properties_ = std::move(props);
    by_name_[name] = node.get();
    nodes_.push_back(std::move(node));
    Note(name);
    return true;
}

void CNodeMap::Note(const std::string& name)
{
    if (!name.empty() && noted_.insert(name).second)
        order_.push_back(name);
}

void CNodeMap::NotePointer(pugi::xml_node el)
{
    if (el.type() == pugi::node_element && is_pointer(el.name()))
        Note(genicam::element_text(el));
}

// Features are what the category tree under Root lists.
void CNodeMap::MarkFeatures()
{
    INode* root = Find("Root");
    if (!root || root->type_ != intfICategory)
        return;
    root->feature_ = true;
    std::vector<INode*> pending{root};
    while (!pending.empty()) {
        INode* category = pending.back();
        pending.pop_back();
        auto listed = category->properties_.find("pFeature");
        if (listed == category->properties_.end())
            continue;
        for (const std::string& name : split_tabs(listed->second.first)) {
            INode* node = Find(name);
            if (!node || node->feature_)
                continue;
            node->feature_ = true;
            if (node->type_ == intfICategory)
                pending.push_back(node);
        }
    }
}

bool INode::GetProperty(const std::string& name, std::string& value, std::string& attribute) const
{
    try {
        auto it = properties_.find(name);
        if (it != properties_.end()) {
            value = it->second.first;
            attribute = it->second.second;
            return true;
        }
    } catch (...) {
    }
    value.clear();
    attribute.clear();
    return false;
}

std::string INode::GetName(bool fully_qualified) const
{
    try {
        if (!fully_qualified)
            return name_;
        return (name_space_ == "Standard" ? "Std::" : "Cust::") + name_;
    } catch (...) {
        return std::string();
    }
}

bool INode::IsFeature() const
{
    return feature_;
}

EInterfaceType INode::GetPrincipalInterfaceType() const
{
    return type_;
}

CNodeMapFactory::CNodeMapFactory(EContentType type, const void* data, size_t size, bool, bool) : type_(type)
{
    try {
        if (data)
            bytes_.assign(static_cast<const char*>(data), size);
        copied_ = true;
    } catch (...) {
    }
}

std::shared_ptr<CNodeMap> CNodeMapFactory::CreateNodeMap(const std::string&, bool)
{
    try {
        error_.clear();
        if (!copied_) {
            set_error(error_, "out of memory copying the description");
            return nullptr;
        }
        std::string unzipped;
        if (type_ == ContentType_ZippedXml && !first_xml_entry(bytes_, unzipped, error_))
            return nullptr;
        const std::string& xml = type_ == ContentType_ZippedXml ? unzipped : bytes_;
        if (xml.size() > MAX_DESCRIPTION_SIZE + 1) {  // a terminating zero may follow
            error_ = "the description is larger than " + mib(MAX_DESCRIPTION_SIZE);
            return nullptr;
        }
        size_t size = xml.size();
        if (size > 0 && xml[size - 1] == '\0')
            --size;
        pugi::xml_document doc;
        pugi::xml_parse_result parsed = doc.load_buffer(xml.data(), size);
        if (!parsed) {
            error_ = "malformed XML at offset " + std::to_string(parsed.offset) + ": " + parsed.description();
            return nullptr;
        }
        std::shared_ptr<CNodeMap> map = std::make_shared<CNodeMap>();
        if (!map->Build(doc.document_element(), error_))
            return nullptr;
        // The evaluator reads the same parsed document, so the description
        // is parsed once; its broken nodes are its own business.
        std::unique_ptr<genicam::Evaluator> evaluator = genicam::Evaluator::build(doc.document_element(), &error_);
        if (!evaluator)
            return nullptr;
        map->SetEvaluator(std::move(evaluator));
        return map;
    } catch (const std::exception& e) {
        set_error(error_, e.what());
    } catch (...) {
        set_error(error_, "unexpected failure");
    }
    return nullptr;
}

const std::string& CNodeMapFactory::LastError() const
{
    return error_;
}

void CNodeMapFactory::ClearCache()
{}

CNodeMapRef::CNodeMapRef(const std::string& device_name)
{
    try {
        device_name_ = device_name;
    } catch (...) {
    }
}

// A second attach is refused ("Node map already created").
bool CNodeMapRef::_Attach(std::shared_ptr<CNodeMap> map, const std::string& device_name, int* ref_count)
{
    if (map_ || !map)
        return false;
    try {
        device_name_ = device_name;
    } catch (...) {
        return false;
    }
    map_ = std::move(map);
    if (ref_count)
        ++*ref_count;
    return true;
}

void CNodeMapRef::_Release()
{
    map_.reset();
}

bool CNodeMapRef::_IsAttached() const
{
    return map_ != nullptr;
}

INode* CNodeMapRef::_GetNode(const std::string& name) const
{
    return map_ ? map_->Find(name) : nullptr;
}

void CNodeMapRef::_GetNodes(NodeList_t& nodes) const
{
    nodes.clear();
    try {
        if (map_)
            map_->List(nodes);
    } catch (...) {
        nodes.clear();
    }
}

std::shared_ptr<genicam::Evaluator> CNodeMapRef::_GetEvaluator() const
{
    genicam::Evaluator* evaluator = map_ ? map_->GetEvaluator() : nullptr;
    // Shares the map's ownership: whoever holds it keeps the whole map.
    return evaluator ? std::shared_ptr<genicam::Evaluator>(map_, evaluator) : nullptr;
}

const std::string& CNodeMapRef::_GetDeviceName() const
{
    return device_name_;
}

}  // namespace GenApi
