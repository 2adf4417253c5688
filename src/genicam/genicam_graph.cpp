// Builds the evaluator's graph from the description: one node per element,
// references resolved to indices, then the checks that can be made before
// anything is read (missing references, cycles, chains too deep, formulas
// that do not parse, lengths and bit positions that do not fit). A node
// that fails a check is broken, and so is every node that reads through it.
#include <pugixml.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <map>
#include <utility>

#include "genicam/genicam_graph.h"
#include "genicam/genicam_text.h"

namespace genicam {

namespace {

const std::map<std::string, Tag>& tags()
{
    static const std::map<std::string, Tag> list{{"Node", Tag::Node},
                                                 {"Category", Tag::Category},
                                                 {"Integer", Tag::Integer},
                                                 {"IntReg", Tag::IntReg},
                                                 {"MaskedIntReg", Tag::MaskedIntReg},
                                                 {"IntSwissKnife", Tag::IntSwissKnife},
                                                 {"IntConverter", Tag::IntConverter},
                                                 {"Float", Tag::Float},
                                                 {"FloatReg", Tag::FloatReg},
                                                 {"SwissKnife", Tag::SwissKnife},
                                                 {"Converter", Tag::Converter},
                                                 {"Boolean", Tag::Boolean},
                                                 {"Command", Tag::Command},
                                                 {"Enumeration", Tag::Enumeration},
                                                 {"String", Tag::String},
                                                 {"StringReg", Tag::StringReg},
                                                 {"Register", Tag::Register},
                                                 {"StructReg", Tag::StructEntry},
                                                 {"Port", Tag::Port},
                                                 // Older or rarer elements: an integer key register, a text block,
                                                 // and the feature-lock and smart-feature nodes evaluate as the
                                                 // register or integer they describe.
                                                 {"IntKey", Tag::IntReg},
                                                 {"ConfRom", Tag::IntReg},
                                                 {"TextDesc", Tag::StringReg},
                                                 {"AdvFeatureLock", Tag::Integer},
                                                 {"SmartFeature", Tag::Integer}};
    return list;
}

Kind kind_of(Tag tag)
{
    switch (tag) {
    case Tag::Category:
        return Kind::Category;
    case Tag::Integer:
    case Tag::IntReg:
    case Tag::MaskedIntReg:
    case Tag::IntSwissKnife:
    case Tag::IntConverter:
    case Tag::StructEntry:
        return Kind::Integer;
    case Tag::Float:
    case Tag::FloatReg:
    case Tag::SwissKnife:
    case Tag::Converter:
        return Kind::Float;
    case Tag::Boolean:
        return Kind::Boolean;
    case Tag::Command:
        return Kind::Command;
    case Tag::Enumeration:
        return Kind::Enumeration;
    case Tag::String:
    case Tag::StringReg:
        return Kind::String;
    case Tag::Register:
        return Kind::Register;
    case Tag::Port:
        return Kind::Port;
    default:
        return Kind::Base;
    }
}

bool is_register(Tag tag)
{
    return tag == Tag::IntReg || tag == Tag::MaskedIntReg || tag == Tag::FloatReg || tag == Tag::StringReg ||
           tag == Tag::Register || tag == Tag::StructEntry;
}

bool float_valued(Tag tag)
{
    return tag == Tag::Float || tag == Tag::SwissKnife || tag == Tag::Converter;
}

bool parse_float(const std::string& s, double* out)
{
    int64_t i = 0;
    if (parse_int(s, &i)) {
        *out = static_cast<double>(i);
        return true;
    }
    if (s.empty())
        return false;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || std::isnan(v))
        return false;
    *out = v;
    return true;
}

Access parse_access(const std::string& s, bool* ok)
{
    *ok = true;
    if (s == "RW")
        return Access::RW;
    if (s == "RO")
        return Access::RO;
    if (s == "WO")
        return Access::WO;
    if (s == "NA")
        return Access::NA;
    if (s == "NI")
        return Access::NI;
    *ok = false;
    return Access::RW;
}

Representation parse_representation(const std::string& s)
{
    static const std::pair<const char*, Representation> list[] = {
        {"Linear", Representation::Linear},        {"Logarithmic", Representation::Logarithmic},
        {"Boolean", Representation::Boolean},      {"PureNumber", Representation::PureNumber},
        {"HexNumber", Representation::HexNumber},  {"IPV4Address", Representation::IPV4Address},
        {"MACAddress", Representation::MACAddress}};
    for (const auto& r : list)
        if (s == r.first)
            return r.second;
    return Representation::None;
}

// Reads one description into the Impl's nodes; references by name are
// kept until every node exists.
class Builder {
public:
    explicit Builder(Evaluator::Impl& impl) : g(impl) {}
    void run(pugi::xml_node root);

private:
    struct Pending {
        int* slot;
        std::string target;
        std::string property;
        int owner;
    };

    void collect(pugi::xml_node root);
    int add(const std::string& name, Tag tag, pugi::xml_node el, pugi::xml_node shared);
    void read(int n, pugi::xml_node el, bool own);
    void read_entry(int n, pugi::xml_node el);
    void ref(int n, int* slot, const std::string& target, const char* property);
    void operand(int n, Operand* o, pugi::xml_node el, bool literal_float);
    void resolve();
    void check(int n);
    void parse_formulas(int n);
    void collect_deps(int n);
    void walk();
    void mark(int n, const std::string& why);
    void link_caches();
    void link_blocks();

    Evaluator::Impl& g;
    std::vector<pugi::xml_node> elements_;  // per node: its element
    std::vector<pugi::xml_node> shared_;    // per node: its StructReg, if any
    std::vector<Pending> pending_;
    std::vector<std::vector<std::pair<std::string, std::string>>> formula_text_;  // per node: (what, text)
    std::vector<int> struct_of_;                                                  // StructEntry: struct number
    int structs_ = 0;
};

void Builder::mark(int n, const std::string& why)
{
    if (!g.nodes[n].broken.empty())
        return;
    g.nodes[n].broken = g.nodes[n].name + ": " + why;
}

int Builder::add(const std::string& name, Tag tag, pugi::xml_node el, pugi::xml_node shared)
{
    const int n = static_cast<int>(g.nodes.size());
    g.nodes.emplace_back();
    Node& node = g.nodes.back();
    node.name = name;
    node.tag = tag;
    node.kind = kind_of(tag);
    if (tag == Tag::SwissKnife || tag == Tag::IntSwissKnife)
        node.declared = Access::RO;
    // A Command has no access of its own: it is its register's, so that a
    // command over a readable register can be polled for IsDone.
    elements_.push_back(el);
    shared_.push_back(shared);
    formula_text_.emplace_back();
    struct_of_.push_back(-1);
    if (!name.empty()) {
        auto inserted = g.by_name.emplace(name, n);
        if (!inserted.second)
            mark(n, "duplicate node name");
    }
    return n;
}

// RegisterDescription and its Groups, depth first in document order, with
// an explicit stack so that no nesting exhausts the thread's.
void Builder::collect(pugi::xml_node root)
{
    std::vector<pugi::xml_node> next{root.first_child()};
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
            if (next.size() <= 64)
                next.push_back(c.first_child());
            continue;
        }
        auto it = tags().find(c.name());
        if (it == tags().end())
            continue;
        if (std::strcmp(c.name(), "StructReg") == 0) {
            const int number = structs_++;
            for (pugi::xml_node e = c.child("StructEntry"); e; e = e.next_sibling("StructEntry")) {
                int n = add(e.attribute("Name").value(), Tag::StructEntry, e, c);
                struct_of_[n] = number;
            }
            continue;
        }
        add(c.attribute("Name").value(), it->second, c, pugi::xml_node());
    }
}

void Builder::ref(int n, int* slot, const std::string& target, const char* property)
{
    pending_.push_back(Pending{slot, target, property, n});
}

// Value, Min, ... given as a literal (own element) or through pValue, pMin...
void Builder::operand(int n, Operand* o, pugi::xml_node el, bool literal_float)
{
    const std::string text = element_text(el);
    o->present = true;
    if (el.name()[0] == 'p') {
        ref(n, &o->node, text, el.name());
        return;
    }
    if (literal_float) {
        if (!parse_float(text, &o->f)) {
            mark(n, std::string(el.name()) + " '" + text + "' is not a number");
            return;
        }
        o->i = std::isfinite(o->f) && std::fabs(o->f) < 9.2e18 ? static_cast<int64_t>(std::llround(o->f)) : 0;
    } else {
        if (!parse_int(text, &o->i)) {
            mark(n, std::string(el.name()) + " '" + text + "' is not an integer");
            return;
        }
        o->f = static_cast<double>(o->i);
    }
}

void Builder::read_entry(int n, pugi::xml_node el)
{
    Node& node = g.nodes[n];
    Entry e;
    std::string name = el.attribute("Name").value();
    const std::string prefix = "EnumEntry_" + node.name + "_";
    e.symbolic = name.compare(0, prefix.size(), prefix) == 0 ? name.substr(prefix.size()) : name;
    e.full_name = prefix + e.symbolic;
    bool has_value = false;
    for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        const std::string tag = c.name();
        const std::string text = element_text(c);
        if (tag == "Value") {
            has_value = parse_int(text, &e.value);
            if (!has_value)
                mark(n, "entry " + e.symbolic + ": Value '" + text + "' is not an integer");
        } else if (tag == "Symbolic") {
            if (!text.empty())
                e.symbolic = text;
        } else if (tag == "DisplayName") {
            e.display_name = text;
        }
    }
    if (!has_value)
        mark(n, "entry " + e.symbolic + " has no Value");
    node.entries.push_back(std::move(e));
    // The entries' pointers are resolved once the vector no longer moves.
}

void Builder::read(int n, pugi::xml_node el, bool own)
{
    const Tag tag = g.nodes[n].tag;
    const bool fl = float_valued(tag);
    for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        Node& node = g.nodes[n];
        const std::string p = c.name();
        const std::string text = element_text(c);
        if (p == "StructEntry" || p == "EnumEntry") {
            if (p == "EnumEntry" && tag == Tag::Enumeration)
                read_entry(n, c);
            continue;
        }
        // A StructReg's own DisplayName and the like name the struct, not its entries.
        if (!own && (p == "DisplayName" || p == "ToolTip" || p == "Description"))
            continue;
        if (p == "DisplayName")
            node.display_name = text;
        else if (p == "ToolTip")
            node.tooltip = text;
        else if (p == "Description")
            node.description = text;
        else if (p == "Unit")
            node.unit = text;
        else if (p == "Visibility")
            node.visibility = text == "Expert"      ? Visibility::Expert
                              : text == "Guru"      ? Visibility::Guru
                              : text == "Invisible" ? Visibility::Invisible
                                                    : Visibility::Beginner;
        else if (p == "Representation")
            node.representation = parse_representation(text);
        else if (p == "AccessMode" || p == "ImposedAccessMode") {
            bool ok = false;
            Access a = parse_access(text, &ok);
            if (!ok)
                mark(n, p + " '" + text + "' is not an access mode");
            else if (p == "AccessMode")
                node.declared = a;
            else
                node.imposed = a;
        } else if (p == "pIsImplemented")
            ref(n, &node.p_implemented, text, "pIsImplemented");
        else if (p == "pIsAvailable")
            ref(n, &node.p_available, text, "pIsAvailable");
        else if (p == "pIsLocked")
            ref(n, &node.p_locked, text, "pIsLocked");
        else if (p == "pFeature") {
            node.features.push_back(-1);
        } else if (p == "pSelected") {
            node.selected.push_back(-1);
        } else if (p == "pInvalidator") {
            node.invalidators.push_back(-1);
        } else if (p == "Value" || p == "pValue") {
            if (tag == Tag::String && p == "Value")
                node.string_value = text;
            else
                operand(n, &node.value, c, fl);
            node.value.present = true;
        } else if (p == "pValueCopy") {
            node.value_copies.push_back(-1);
        } else if (p == "Min" || p == "pMin")
            operand(n, &node.min, c, fl);
        else if (p == "Max" || p == "pMax")
            operand(n, &node.max, c, fl);
        else if (p == "Inc" || p == "pInc")
            operand(n, &node.inc, c, fl);
        else if (p == "ValueIndexed" || p == "pValueIndexed") {
            IndexedValue iv;
            if (!parse_int(c.attribute("Index").value(), &iv.index))
                mark(n, p + " has no integer Index");
            node.indexed.push_back(iv);
        } else if (p == "ValueDefault" || p == "pValueDefault")
            operand(n, &node.value_default, c, fl);
        else if (p == "OnValue" || p == "OffValue") {
            int64_t v = 0;
            if (!parse_int(text, &v))
                mark(n, p + " '" + text + "' is not an integer");
            (p == "OnValue" ? node.on_value : node.off_value) = v;
        } else if (p == "CommandValue" || p == "pCommandValue")
            operand(n, &node.command_value, c, false);
        else if (p == "Address") {
            int64_t a = 0;
            if (!parse_int(text, &a))
                mark(n, "Address '" + text + "' is not an integer");
            node.addresses.push_back(a);
        } else if (p == "pAddress") {
            node.p_addresses.push_back(-1);
        } else if (p == "IntSwissKnife" && is_register(tag)) {
            node.address_knives.push_back(-1);
        } else if (p == "pIndex") {
            if (is_register(tag)) {
                Node::IndexTerm term;
                if (c.attribute("Offset")) {
                    term.offset.present = parse_int(c.attribute("Offset").value(), &term.offset.i);
                    if (!term.offset.present)
                        mark(n, "pIndex Offset is not an integer");
                } else if (c.attribute("pOffset")) {
                    term.offset.present = true;
                }
                node.indexes.push_back(term);
            } else {
                ref(n, &node.p_index, text, "pIndex");
            }
        } else if (p == "Length" || p == "pLength")
            operand(n, &node.length, c, false);
        else if (p == "Endianess")
            node.little_endian = text != "BigEndian";
        else if (p == "Sign")
            node.is_signed = text == "Signed";
        else if (p == "Bit" || p == "LSB" || p == "MSB") {
            int64_t b = 0;
            if (!parse_int(text, &b) || b < 0 || b > 63) {
                mark(n, p + " '" + text + "' is not a bit position of a register");
                continue;
            }
            if (!node.has_bits)
                node.lsb = node.msb = static_cast<int>(b);
            node.has_bits = true;
            if (p == "Bit")
                node.lsb = node.msb = static_cast<int>(b);
            else
                (p == "LSB" ? node.lsb : node.msb) = static_cast<int>(b);
        } else if (p == "Cachable")
            node.cachable = text == "NoCache"       ? Cachable::NoCache
                            : text == "WriteAround" ? Cachable::WriteAround
                                                    : Cachable::WriteThrough;
        else if (p == "PollingTime") {
            if (!parse_int(text, &node.polling_ms) || node.polling_ms < 0)
                node.polling_ms = 0;
        } else if (p == "pPort")
            ref(n, &node.p_port, text, "pPort");
        else if (p == "pVariable" || p == "Constant" || p == "Expression") {
            Variable v;
            v.name = c.attribute("Name").value();
            if (v.name.empty()) {
                mark(n, p + " has no Name");
                continue;
            }
            if (p == "Constant") {
                v.source = Variable::Constant;
                if (!parse_float(text, &v.f))
                    mark(n, "Constant " + v.name + " '" + text + "' is not a number");
                v.i = std::fabs(v.f) < 9.2e18 ? static_cast<int64_t>(v.f) : 0;
                int64_t exact = 0;
                if (parse_int(text, &exact))
                    v.i = exact;
            } else if (p == "Expression") {
                v.source = Variable::Expression;
                v.expression = static_cast<int>(formula_text_[n].size());
                formula_text_[n].emplace_back("Expression " + v.name, text);
            }
            node.variables.push_back(v);
        } else if (p == "Formula" || p == "FormulaFrom")
            formula_text_[n].emplace_back(p, text);
        else if (p == "FormulaTo")
            formula_text_[n].emplace_back(p, text);
    }
}

// The second pass: every pointer element, now that every node has its index.
void Builder::resolve()
{
    for (size_t n = 0; n < g.nodes.size(); ++n) {
        // Counters run on from a StructReg's own elements into its entry's.
        size_t feature = 0, selected = 0, invalidator = 0, copy = 0, address = 0, knife = 0, index = 0, indexed = 0,
               variable = 0;
        for (int pass = 0; pass < 2; ++pass) {
            pugi::xml_node el = pass == 0 ? shared_[n] : elements_[n];
            if (!el)
                continue;
            for (pugi::xml_node c = el.first_child(); c; c = c.next_sibling()) {
                if (c.type() != pugi::node_element)
                    continue;
                const std::string p = c.name();
                const std::string text = element_text(c);
                const int i = static_cast<int>(n);
                Node& node = g.nodes[n];  // valid until add(), which the reserve keeps from moving nodes
                if (p == "pFeature" && feature < node.features.size())
                    ref(i, &node.features[feature++], text, "pFeature");
                else if (p == "pSelected" && selected < node.selected.size())
                    ref(i, &node.selected[selected++], text, "pSelected");
                else if (p == "pInvalidator" && invalidator < node.invalidators.size())
                    ref(i, &node.invalidators[invalidator++], text, "pInvalidator");
                else if (p == "pValueCopy" && copy < node.value_copies.size())
                    ref(i, &node.value_copies[copy++], text, "pValueCopy");
                else if (p == "pAddress" && address < node.p_addresses.size())
                    ref(i, &node.p_addresses[address++], text, "pAddress");
                else if (p == "IntSwissKnife" && knife < node.address_knives.size()) {
                    // An address part computed in place: a hidden node of its own.
                    const int k = add("", Tag::IntSwissKnife, c, pugi::xml_node());
                    g.nodes[k].name = g.nodes[i].name + "/IntSwissKnife";
                    g.nodes[i].address_knives[knife++] = k;
                } else if (p == "pIndex" && is_register(node.tag) && index < node.indexes.size()) {
                    Node::IndexTerm& term = g.nodes[i].indexes[index++];
                    ref(i, &term.node, text, "pIndex");
                    if (c.attribute("pOffset"))
                        ref(i, &term.offset.node, c.attribute("pOffset").value(), "pOffset");
                } else if ((p == "ValueIndexed" || p == "pValueIndexed") && indexed < node.indexed.size()) {
                    IndexedValue& iv = g.nodes[i].indexed[indexed++];
                    operand(i, &iv.value, c, float_valued(node.tag));
                } else if (p == "pVariable") {
                    while (variable < node.variables.size() &&
                           node.variables[variable].name != c.attribute("Name").value())
                        ++variable;
                    if (variable < node.variables.size())
                        ref(i, &g.nodes[i].variables[variable++].node, text, "pVariable");
                } else if (p == "EnumEntry" && node.tag == Tag::Enumeration) {
                    // Entries are in document order; match by position.
                }
            }
        }
        // Enumeration entries' flags.
        if (g.nodes[n].tag == Tag::Enumeration) {
            size_t k = 0;
            for (pugi::xml_node c = elements_[n].child("EnumEntry"); c && k < g.nodes[n].entries.size();
                 c = c.next_sibling("EnumEntry"), ++k) {
                for (pugi::xml_node p = c.first_child(); p; p = p.next_sibling()) {
                    if (std::strcmp(p.name(), "pIsAvailable") == 0)
                        ref(static_cast<int>(n), &g.nodes[n].entries[k].p_available, element_text(p), "pIsAvailable");
                    else if (std::strcmp(p.name(), "pIsImplemented") == 0)
                        ref(static_cast<int>(n), &g.nodes[n].entries[k].p_implemented, element_text(p),
                            "pIsImplemented");
                }
            }
        }
    }
}

// The hidden address knives are read once they exist; their own pointers
// join the pending list like everyone else's.
void Builder::run(pugi::xml_node root)
{
    collect(root);
    const size_t named = g.nodes.size();
    // Room for the hidden address knives, so that the references noted
    // into nodes stay valid while they are added.
    size_t knives = 0;
    for (size_t n = 0; n < named; ++n)
        if (is_register(g.nodes[n].tag))
            for (pugi::xml_node el : {shared_[n], elements_[n]})
                for (pugi::xml_node c = el.child("IntSwissKnife"); c; c = c.next_sibling("IntSwissKnife"))
                    ++knives;
    g.nodes.reserve(named + knives);
    for (size_t n = 0; n < named; ++n) {
        if (shared_[n])
            read(static_cast<int>(n), shared_[n], false);
        read(static_cast<int>(n), elements_[n], true);
    }
    const size_t before = g.nodes.size();
    resolve();
    for (size_t n = before; n < g.nodes.size(); ++n)
        read(static_cast<int>(n), elements_[n], true);
    // Matched in order, as resolve() does for named nodes, so that a knife
    // with many variables costs their number, not its square.
    for (size_t n = before; n < g.nodes.size(); ++n) {
        std::vector<Variable>& vars = g.nodes[n].variables;
        size_t v = 0;
        for (pugi::xml_node c = elements_[n].child("pVariable"); c; c = c.next_sibling("pVariable")) {
            while (v < vars.size() && (vars[v].name != c.attribute("Name").value() || vars[v].node != -1 ||
                                       vars[v].source != Variable::NodeValue))
                ++v;
            if (v < vars.size())
                ref(static_cast<int>(n), &vars[v++].node, element_text(c), "pVariable");
        }
    }
    for (const Pending& p : pending_) {
        auto it = g.by_name.find(p.target);
        if (it == g.by_name.end()) {
            mark(p.owner,
                 p.property + " names " + (p.target.empty() ? "no node" : p.target + ", which does not exist"));
            continue;
        }
        *p.slot = it->second;
    }
    // Category listings, selectors and invalidators are lists of names
    // that may be missing without making the node unusable.
    for (Node& node : g.nodes) {
        auto drop_missing = [](std::vector<int>& list) {
            std::vector<int> kept;
            for (int x : list)
                if (x >= 0)
                    kept.push_back(x);
            list.swap(kept);
        };
        drop_missing(node.features);
        drop_missing(node.selected);
        drop_missing(node.invalidators);
    }
    for (size_t n = 0; n < g.nodes.size(); ++n) {
        for (int s : g.nodes[n].selected)
            g.nodes[s].selectors.push_back(static_cast<int>(n));
        for (int v : g.nodes[n].invalidators)
            g.nodes[v].invalidated.push_back(static_cast<int>(n));
    }
    for (size_t n = 0; n < g.nodes.size(); ++n) {
        check(static_cast<int>(n));
        parse_formulas(static_cast<int>(n));
        collect_deps(static_cast<int>(n));
    }
    walk();
    link_caches();
    link_blocks();
    // Features: what the category tree under Root lists, or every value node
    // when there is no such tree.
    auto root_it = g.by_name.find("Root");
    const bool tree = root_it != g.by_name.end() && g.nodes[root_it->second].tag == Tag::Category;
    if (tree) {
        std::vector<char> seen(g.nodes.size(), 0);
        std::vector<int> pending{root_it->second};
        seen[root_it->second] = 1;
        while (!pending.empty()) {
            int c = pending.back();
            pending.pop_back();
            for (int f : g.nodes[c].features) {
                if (seen[f])
                    continue;
                seen[f] = 1;
                if (g.nodes[f].tag == Tag::Category)
                    pending.push_back(f);
                else
                    g.nodes[f].feature = true;
            }
        }
    }
    for (size_t n = 0; n < g.nodes.size(); ++n) {
        Node& node = g.nodes[n];
        if (node.tag == Tag::Category && !node.name.empty() && g.by_name[node.name] == static_cast<int>(n))
            g.categories.push_back(static_cast<int>(n));
        if (!tree && n < named && node.tag != Tag::Category && node.tag != Tag::Port && node.tag != Tag::Node &&
            !node.name.empty() && g.by_name[node.name] == static_cast<int>(n))
            node.feature = true;
        if (!node.broken.empty())
            g.problems.push_back(node.broken);
    }
}

// What can be checked on one node alone.
void Builder::check(int n)
{
    Node& node = g.nodes[n];
    const Tag tag = node.tag;
    auto kind_is = [&](int target, std::initializer_list<Kind> kinds) {
        if (target < 0)
            return true;
        for (Kind k : kinds)
            if (g.nodes[target].kind == k)
                return true;
        return false;
    };
    const bool has_value = node.value.present || !node.indexed.empty() || node.p_index >= 0;
    switch (tag) {
    case Tag::Integer:
    case Tag::Float:
    case Tag::Boolean:
    case Tag::Enumeration:
        if (!has_value)
            mark(n, "has no Value or pValue");
        if (node.p_index >= 0 && node.indexed.empty() && !node.value_default.present)
            mark(n, "pIndex selects among no ValueIndexed");
        break;
    case Tag::Command:
        if (!node.value.present)
            mark(n, "has no Value or pValue");
        if (!node.command_value.present)
            mark(n, "has no CommandValue");
        break;
    case Tag::Converter:
    case Tag::IntConverter:
        if (node.value.node < 0 && node.value.present)
            mark(n, "converts no node (Value instead of pValue)");
        if (!node.value.present)
            mark(n, "has no pValue");
        break;
    case Tag::Unsupported:
        mark(n, "is of a kind the evaluator does not support");
        break;
    default:
        break;
    }
    if (tag == Tag::Integer || tag == Tag::Boolean || tag == Tag::Command || tag == Tag::Enumeration ||
        tag == Tag::IntConverter) {
        if (!kind_is(node.value.node, {Kind::Integer, Kind::Enumeration, Kind::Boolean, Kind::Float}))
            mark(n, "pValue " + g.nodes[node.value.node].name + " has no numeric value");
    }
    if (tag == Tag::Float || tag == Tag::Converter) {
        if (!kind_is(node.value.node, {Kind::Integer, Kind::Float, Kind::Enumeration, Kind::Boolean}))
            mark(n, "pValue " + g.nodes[node.value.node].name + " has no numeric value");
    }
    for (int c : node.value_copies)
        if (!kind_is(c, {Kind::Integer, Kind::Float, Kind::Enumeration, Kind::Boolean}))
            mark(n, "pValueCopy " + g.nodes[c].name + " has no numeric value");
    if (node.p_port >= 0 && g.nodes[node.p_port].tag != Tag::Port)
        mark(n, "pPort " + g.nodes[node.p_port].name + " is not a Port");
    if (!is_register(tag))
        return;
    if (node.addresses.empty() && node.p_addresses.empty() && node.address_knives.empty() && node.indexes.empty())
        mark(n, "has no Address");
    for (const Node::IndexTerm& term : node.indexes)
        if (!term.offset.present && !node.length.present)
            mark(n, "pIndex has no Offset");
    if (!node.length.present) {
        mark(n, "has no Length");
        return;
    }
    if (node.length.node >= 0)
        return;  // checked when read
    const int64_t len = node.length.i;
    const int64_t most = (tag == Tag::IntReg || tag == Tag::MaskedIntReg || tag == Tag::StructEntry) ? 8 : 65536;
    if (len < 1 || len > most) {
        mark(n, "Length " + std::to_string(len) + " does not fit (1.." + std::to_string(most) + ")");
        return;
    }
    if (tag == Tag::FloatReg && len != 4 && len != 8)
        mark(n, "Length " + std::to_string(len) + " is no float (4 or 8)");
    if ((tag == Tag::MaskedIntReg || tag == Tag::StructEntry) && !node.has_bits)
        mark(n, "has no Bit or LSB/MSB");
    if (node.has_bits && (node.lsb >= len * 8 || node.msb >= len * 8))
        mark(n, "bits " + std::to_string(node.lsb) + ".." + std::to_string(node.msb) + " lie beyond its " +
                    std::to_string(len) + " bytes");
}

void Builder::parse_formulas(int n)
{
    Node& node = g.nodes[n];
    if (!node.broken.empty() && formula_text_[n].empty())
        return;
    const bool knife = node.tag == Tag::SwissKnife || node.tag == Tag::IntSwissKnife;
    const bool converter = node.tag == Tag::Converter || node.tag == Tag::IntConverter;
    if (!knife && !converter)
        return;
    const size_t base = node.variables.size();
    if (converter) {
        node.raw_slot = static_cast<int>(node.variables.size());
        Variable to;
        to.source = Variable::Raw;
        to.name = "TO";
        node.variables.push_back(to);
        node.from_slot = static_cast<int>(node.variables.size());
        Variable from;
        from.source = Variable::Raw;
        from.name = "FROM";
        node.variables.push_back(from);
    }
    (void)base;
    if (node.variables.size() > 64) {
        mark(n, "has more than 64 formula variables");
        return;
    }
    size_t expressions = 0;
    for (const Variable& v : node.variables)
        if (v.source == Variable::Expression)
            ++expressions;
    node.expressions.resize(expressions);
    bool has_main = false, has_to = false;
    int current_expression = -1;  // an expression sees only the ones before it
    std::string which;
    auto resolve = [&](const std::string& id) -> int {
        std::string name = id;
        Variable::Source source = Variable::NodeValue;
        static const std::pair<const char*, Variable::Source> suffixes[] = {{".Value", Variable::NodeValue},
                                                                            {".Min", Variable::NodeMin},
                                                                            {".Max", Variable::NodeMax},
                                                                            {".Inc", Variable::NodeInc}};
        for (const auto& s : suffixes) {
            const size_t len = std::strlen(s.first);
            if (name.size() > len && name.compare(name.size() - len, len, s.first) == 0) {
                name.resize(name.size() - len);
                source = s.second;
            }
        }
        for (size_t i = 0; i < node.variables.size(); ++i) {
            Variable& v = node.variables[i];
            if (v.name != name)
                continue;
            if (v.source == Variable::Raw) {
                if ((name == "TO" && which != "FormulaFrom") || (name == "FROM" && which != "FormulaTo"))
                    return -1;
                return static_cast<int>(i);
            }
            if (v.source == Variable::Expression &&
                (current_expression < 0 ? false : v.expression >= current_expression))
                return -1;
            if (source == Variable::NodeValue || v.source != Variable::NodeValue)
                return static_cast<int>(i);
            // X.Min and its kin: a variable slot of their own.
            for (size_t j = 0; j < node.variables.size(); ++j)
                if (node.variables[j].name == id)
                    return static_cast<int>(j);
            if (node.variables.size() >= 64)
                return -1;
            Variable extra = v;
            extra.name = id;
            extra.source = source;
            node.variables.push_back(extra);
            return static_cast<int>(node.variables.size() - 1);
        }
        return -1;
    };
    for (const auto& f : formula_text_[n]) {
        which = f.first;
        std::string error;
        Formula* target = nullptr;
        current_expression = -1;
        if (f.first.compare(0, 11, "Expression ") == 0) {
            for (const Variable& v : node.variables)
                if (v.source == Variable::Expression && "Expression " + v.name == f.first)
                    current_expression = v.expression;
            if (current_expression < 0 || current_expression >= static_cast<int>(node.expressions.size()))
                continue;
            target = &node.expressions[current_expression];
        } else if (f.first == "FormulaTo") {
            target = &node.formula_to;
            has_to = true;
        } else {
            target = &node.formula;
            has_main = true;
        }
        if (!target->parse(f.second, resolve, &error)) {
            mark(n, f.first + " does not parse: " + error);
            return;
        }
    }
    if (knife && !has_main)
        mark(n, "has no Formula");
    if (converter && (!has_main || !has_to))
        mark(n, "needs both FormulaTo and FormulaFrom");
    for (const Variable& v : node.variables)
        if ((v.source == Variable::NodeValue || v.source == Variable::NodeMin || v.source == Variable::NodeMax ||
             v.source == Variable::NodeInc) &&
            v.node < 0 && node.broken.empty())
            mark(n, "pVariable " + v.name + " names no node");
}

void Builder::collect_deps(int n)
{
    Node& node = g.nodes[n];
    std::vector<int>& d = node.deps;
    auto add = [&](int x) {
        if (x >= 0)
            d.push_back(x);
    };
    auto add_operand = [&](const Operand& o) { add(o.node); };
    add_operand(node.value);
    for (int c : node.value_copies)
        add(c);
    add(node.p_index);
    for (const IndexedValue& iv : node.indexed)
        add_operand(iv.value);
    add_operand(node.value_default);
    add_operand(node.min);
    add_operand(node.max);
    add_operand(node.inc);
    add(node.p_implemented);
    add(node.p_available);
    add(node.p_locked);
    add_operand(node.command_value);
    for (const Entry& e : node.entries) {
        add(e.p_implemented);
        add(e.p_available);
    }
    for (int a : node.p_addresses)
        add(a);
    for (int k : node.address_knives)
        add(k);
    for (const Node::IndexTerm& t : node.indexes) {
        add(t.node);
        add_operand(t.offset);
    }
    add_operand(node.length);
    for (const Variable& v : node.variables)
        add(v.node);
}

// Depth-first over the dependencies, without recursion: marks the nodes of
// every cycle, the nodes whose chains run deeper than MAX_CHAIN_DEPTH, and
// every node that reads through a broken one.
void Builder::walk()
{
    const size_t count = g.nodes.size();
    std::vector<uint8_t> state(count, 0);  // 0 new, 1 on the stack, 2 done
    std::vector<int> depth(count, 0), position(count, -1), cycle_from(count, -1), cause(count, -1);
    struct Frame {
        int node;
        size_t next;
    };
    std::vector<Frame> stack;
    for (size_t start = 0; start < count; ++start) {
        if (state[start])
            continue;
        stack.push_back(Frame{static_cast<int>(start), 0});
        state[start] = 1;
        position[start] = 0;
        while (!stack.empty()) {
            Frame& f = stack.back();
            Node& node = g.nodes[f.node];
            if (f.next < node.deps.size()) {
                const int d = node.deps[f.next++];
                if (state[d] == 0) {
                    state[d] = 1;
                    position[d] = static_cast<int>(stack.size());
                    stack.push_back(Frame{d, 0});
                } else if (state[d] == 1) {
                    // The message names the cycle's first nodes only: a
                    // long cycle would otherwise cost its length squared.
                    std::string path;
                    for (size_t i = static_cast<size_t>(position[d]); i < stack.size() && path.size() < 256; ++i)
                        path += g.nodes[stack[i].node].name + " -> ";
                    path += path.size() < 256 ? g.nodes[d].name : std::string("...");
                    // From the top down, up to a node an earlier cycle marked
                    // along with everything below it down to here: many back
                    // edges into one long chain would otherwise cost its
                    // length times theirs.
                    const std::string why = "reference cycle " + path;
                    for (size_t i = stack.size(); i-- > static_cast<size_t>(position[d]);) {
                        const int x = stack[i].node;
                        if (cycle_from[x] >= 0 && cycle_from[x] <= position[d])
                            break;
                        mark(x, why);
                        cycle_from[x] = position[d];
                    }
                }
                continue;
            }
            int deepest = 0;
            for (int d : node.deps) {
                if (state[d] == 2 && depth[d] > deepest)
                    deepest = depth[d];
                // Named by the node it reads and the first fault down there,
                // so that the reason survives any length of chain.
                if (node.broken.empty() && !g.nodes[d].broken.empty() && state[d] == 2) {
                    cause[f.node] = cause[d] >= 0 ? cause[d] : d;
                    node.broken = node.name + ": via " + g.nodes[d].name + " (" + g.nodes[cause[f.node]].broken + ")";
                }
            }
            depth[f.node] = deepest + 1;
            if (depth[f.node] > MAX_CHAIN_DEPTH && node.broken.empty())
                node.broken =
                    node.name + ": references chain deeper than " + std::to_string(MAX_CHAIN_DEPTH) + " levels";
            // A message that grows with the chain would make long chains costly.
            if (node.broken.size() > 512)
                node.broken.resize(512);
            state[f.node] = 2;
            stack.pop_back();
        }
    }
}

// Registers that read the same bytes share their cache: the entries of a
// StructReg, and registers at the same fixed address and length.
void Builder::link_caches()
{
    std::map<int, int> by_struct;
    std::map<std::pair<int64_t, int64_t>, int> by_place;
    for (Node& node : g.nodes) {
        if (!is_register(node.tag))
            continue;
        const bool fixed =
            node.p_addresses.empty() && node.address_knives.empty() && node.indexes.empty() && node.length.node < 0;
        int64_t address = 0;
        for (int64_t a : node.addresses)
            address = static_cast<int64_t>(static_cast<uint64_t>(address) + static_cast<uint64_t>(a));
        const int structure = struct_of_[&node - g.nodes.data()];
        if (structure >= 0) {
            auto it = by_struct.find(structure);
            if (it != by_struct.end()) {
                node.cache = it->second;
                continue;
            }
        } else if (fixed) {
            auto it = by_place.find(std::make_pair(address, node.length.i));
            if (it != by_place.end()) {
                node.cache = it->second;
                continue;
            }
        }
        node.cache = static_cast<int>(g.caches.size());
        g.caches.emplace_back();
        if (structure >= 0)
            by_struct[structure] = node.cache;
        else if (fixed)
            by_place[std::make_pair(address, node.length.i)] = node.cache;
    }
}

// Describing every feature reads neighbouring registers one after another;
// a run of them at fixed, adjacent addresses is read with one READMEM that
// fills all their caches. Only registers that may be read at any moment take
// part: readable, cached, not polled, of a fixed address and length, on the
// same port, and the run has no gaps, so no byte the description does not
// name is ever read.
void Builder::link_blocks()
{
    struct Place {
        int64_t address = 0, length = 0;
        int port = -1;
        bool seen = false, fit = false;
    };
    std::vector<Place> places(g.caches.size());
    for (const Node& node : g.nodes) {
        if (!is_register(node.tag) || node.cache < 0)
            continue;
        const bool fixed =
            node.p_addresses.empty() && node.address_knives.empty() && node.indexes.empty() && node.length.node < 0;
        uint64_t address = 0;
        for (int64_t a : node.addresses)
            address += static_cast<uint64_t>(a);
        const bool fit = fixed && node.broken.empty() && node.cachable != Cachable::NoCache && node.polling_ms == 0 &&
                         node.declared != Access::WO && node.imposed != Access::WO && node.length.i >= 1 &&
                         node.length.i <= static_cast<int64_t>(MAX_BLOCK_BYTES) && address < (uint64_t(1) << 62);
        Place& p = places[node.cache];
        if (!p.seen) {
            p.seen = true;
            p.fit = fit;
            p.address = static_cast<int64_t>(address);
            p.length = node.length.i;
            p.port = node.p_port;
        } else if (!fit || p.address != static_cast<int64_t>(address) || p.length != node.length.i ||
                   p.port != node.p_port) {
            p.fit = false;  // every node reading these bytes must allow it
        }
    }
    std::vector<int> order;
    for (size_t c = 0; c < places.size(); ++c)
        if (places[c].fit)
            order.push_back(static_cast<int>(c));
    std::sort(order.begin(), order.end(), [&](int a, int b) {
        return std::make_pair(places[a].port, places[a].address) < std::make_pair(places[b].port, places[b].address);
    });
    size_t i = 0;
    while (i < order.size()) {
        const Place& first = places[order[i]];
        int64_t end = first.address + first.length;
        size_t j = i + 1;
        while (j < order.size()) {
            const Place& next = places[order[j]];
            const int64_t next_end = std::max(end, next.address + next.length);
            if (next.port != first.port || next.address > end ||
                next_end - first.address > static_cast<int64_t>(MAX_BLOCK_BYTES))
                break;
            end = next_end;
            ++j;
        }
        if (j - i >= 2) {
            Block block;
            block.address = static_cast<uint64_t>(first.address);
            block.length = static_cast<size_t>(end - first.address);
            for (size_t k = i; k < j; ++k) {
                const Place& m = places[order[k]];
                block.members.push_back({order[k], static_cast<uint64_t>(m.address), static_cast<size_t>(m.length)});
                g.caches[order[k]].block = static_cast<int>(g.blocks.size());
            }
            g.blocks.push_back(std::move(block));
        }
        i = j;
    }
}

}  // namespace

void Evaluator::Impl::build(const pugi::xml_node& root)
{
    Builder(*this).run(root);
}

}  // namespace genicam
