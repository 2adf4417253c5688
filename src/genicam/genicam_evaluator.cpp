// The evaluator's public calls: the lock, name lookup, the checks every
// typed call makes (kind, access, range, increment) before a register is
// touched, and the thread's last error.
#include "genicam/genicam_evaluator.h"

#include <pugixml.hpp>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>

#include "genicam/genicam_graph.h"
#include "vora_base_type.h"

namespace genicam {

namespace {

bool integer_kind(Tag t)
{
    return t == Tag::Integer || t == Tag::IntReg || t == Tag::MaskedIntReg || t == Tag::IntSwissKnife ||
           t == Tag::IntConverter || t == Tag::StructEntry;
}

bool float_kind(Tag t)
{
    return t == Tag::Float || t == Tag::FloatReg || t == Tag::SwissKnife || t == Tag::Converter;
}

bool readable(Access a)
{
    return a == Access::RO || a == Access::RW;
}

bool writable(Access a)
{
    return a == Access::WO || a == Access::RW;
}

std::string number(double v)
{
    char text[40];
    std::snprintf(text, sizeof text, "%.10g", v);
    return text;
}

}  // namespace

// Runs one public call: under the lock, with a fresh step budget, the node
// looked up, and no exception escaping.
template <typename F>
static int call(Evaluator::Impl& g, const std::string& name, F&& body)
{
    try {
        std::lock_guard<std::mutex> hold(g.lock);
        g.steps = 0;
        ++g.epoch;
        auto it = g.by_name.find(name);
        if (it == g.by_name.end()) {
            evaluator_error() = name + ": no such feature";
            return VORA_ERR_NO_NODE;
        }
        return body(it->second);
    } catch (const std::exception& e) {
        evaluator_error() = name + ": " + e.what();
    } catch (...) {
        evaluator_error() = name + ": unexpected failure";
    }
    return VORA_ERR_FAILED;
}

static int check_access(Evaluator::Impl& g, int n, bool write)
{
    Access a = Access::NI;
    if (int rc = g.access(n, &a, 0))
        return rc;
    if (a == Access::NI || a == Access::NA)
        return g.fail_node(VORA_ERR_FEATURE_NOT_AVAILABLE, n,
                           a == Access::NI ? "is not implemented" : "is not available now");
    if (write && !writable(a))
        return g.fail_node(VORA_ERR_FEATURE_NOT_WRITABLE, n, "is not writable");
    if (!write && !readable(a))
        return g.fail_node(VORA_ERR_FEATURE_NOT_READABLE, n, "is not readable");
    return 0;
}

Evaluator::Evaluator(std::unique_ptr<Impl> impl) : impl_(std::move(impl))
{}
Evaluator::~Evaluator() = default;

std::unique_ptr<Evaluator> Evaluator::build(const pugi::xml_node& root, std::string* error)
{
    try {
        if (std::strcmp(root.name(), "RegisterDescription") != 0) {
            if (error)
                *error = "the root element is not RegisterDescription";
            return nullptr;
        }
        std::unique_ptr<Impl> impl(new Impl);
        impl->build(root);
        return std::unique_ptr<Evaluator>(new Evaluator(std::move(impl)));
    } catch (const std::exception& e) {
        if (error)
            *error = e.what();
    } catch (...) {
        if (error)
            *error = "unexpected failure";
    }
    return nullptr;
}

const std::vector<std::string>& Evaluator::problems() const
{
    return impl_->problems;
}

void Evaluator::attach(Port* port)
{
    std::lock_guard<std::mutex> hold(impl_->lock);
    impl_->port = port;
    for (Cache& c : impl_->caches)
        c.valid = false;
    for (Block& b : impl_->blocks)
        b.failed = false;  // another device may have every register
}

int Evaluator::names(const std::string& category, std::vector<std::string>* out)
{
    Impl& g = *impl_;
    try {
        std::lock_guard<std::mutex> hold(g.lock);
        out->clear();
        if (category.empty()) {
            for (const Node& node : g.nodes)
                if (node.feature)
                    out->push_back(node.name);
            return 0;
        }
        auto it = g.by_name.find(category);
        if (it == g.by_name.end() || g.nodes[it->second].tag != Tag::Category) {
            evaluator_error() = category + ": no such category";
            return VORA_ERR_NO_NODE;
        }
        // Sub-categories may list each other; each is walked once. The marks
        // are kept between calls, so that a call costs the size of the
        // category's tree rather than the whole description's.
        if (g.visited.size() != g.nodes.size())
            g.visited.assign(g.nodes.size(), 0);
        const uint64_t mark = ++g.visit_mark;
        std::vector<int> listed;
        std::vector<int> pending{it->second};
        g.visited[it->second] = mark;
        while (!pending.empty()) {
            const int c = pending.back();
            pending.pop_back();
            for (int f : g.nodes[c].features) {
                if (g.visited[f] == mark)
                    continue;
                g.visited[f] = mark;
                if (g.nodes[f].tag == Tag::Category)
                    pending.push_back(f);
                else
                    listed.push_back(f);
            }
        }
        std::sort(listed.begin(), listed.end());
        for (int n : listed)
            out->push_back(g.nodes[n].name);
        return 0;
    } catch (...) {
        evaluator_error() = category + ": out of memory";
        return VORA_ERR_FAILED;
    }
}

int Evaluator::categories(std::vector<std::string>* out)
{
    Impl& g = *impl_;
    try {
        std::lock_guard<std::mutex> hold(g.lock);
        out->clear();
        for (int c : g.categories)
            out->push_back(g.nodes[c].name);
        return 0;
    } catch (...) {
        return VORA_ERR_FAILED;
    }
}

int Evaluator::describe(const std::string& name, FeatureInfo* info)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Node& node = g.nodes[n];
        *info = FeatureInfo();
        info->name = node.name;
        info->display_name = node.display_name.empty() ? node.name : node.display_name;
        info->tooltip = node.tooltip;
        info->description = node.description;
        info->unit = node.unit;
        info->kind = node.kind;
        info->visibility = node.visibility;
        info->representation = node.representation;
        for (int s : node.selectors)
            info->selectors.push_back(g.nodes[s].name);
        for (int s : node.selected)
            info->selected.push_back(g.nodes[s].name);
        for (int f : node.features)
            info->features.push_back(g.nodes[f].name);
        if (!node.broken.empty())
            return g.fail(VORA_ERR_DESCRIPTION, node.broken);
        if (int rc = g.access(n, &info->access, 0))
            return rc;
        if (info->access == Access::NI)
            return 0;  // nothing more to evaluate: it is not there
        if (integer_kind(node.tag)) {
            info->has_range = info->has_inc = true;
            if (int rc = g.int_bounds(n, &info->int_min, &info->int_max, &info->int_inc, 0))
                return rc;
            info->float_min = static_cast<double>(info->int_min);
            info->float_max = static_cast<double>(info->int_max);
            info->float_inc = static_cast<double>(info->int_inc);
        } else if (float_kind(node.tag)) {
            info->has_range = true;
            if (int rc = g.float_bounds(n, &info->float_min, &info->float_max, &info->float_inc, &info->has_inc, 0))
                return rc;
        } else if (node.tag == Tag::StringReg || node.tag == Tag::Register) {
            if (int rc = g.reg_length(n, &info->length, 0))
                return rc;
        } else if (node.tag == Tag::String) {
            info->length = static_cast<int64_t>(node.string_value.size());
        } else if (node.tag == Tag::Enumeration) {
            for (const Entry& e : node.entries) {
                EntryInfo entry;
                entry.name = e.symbolic;
                entry.value = e.value;
                entry.display_name = e.display_name.empty() ? e.symbolic : e.display_name;
                if (int rc = g.entry_available(n, e, &entry.available, 0))
                    return rc;
                info->entries.push_back(entry);
            }
        }
        return 0;
    });
}

int Evaluator::get_int(const std::string& name, int64_t* value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Tag t = g.nodes[n].tag;
        if (!integer_kind(t) && t != Tag::Enumeration && t != Tag::Boolean)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not an integer");
        if (int rc = check_access(g, n, false))
            return rc;
        int64_t v = 0;
        if (int rc = g.get_int(n, &v, 0))
            return rc;
        if (t == Tag::Boolean)
            v = v == g.nodes[n].on_value ? 1 : 0;
        *value = v;
        return 0;
    });
}

// The checks a written integer passes before anything is written.
static int check_int(Evaluator::Impl& g, int n, int64_t v)
{
    int64_t lo = 0, hi = 0, inc = 1;
    if (int rc = g.int_bounds(n, &lo, &hi, &inc, 0))
        return rc;
    if (v < lo || v > hi)
        return g.fail_node(VORA_ERR_FEATURE_RANGE, n,
                           std::to_string(v) + " is out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    if (inc > 1 && (static_cast<uint64_t>(v) - static_cast<uint64_t>(lo)) % static_cast<uint64_t>(inc) != 0)
        return g.fail_node(VORA_ERR_FEATURE_INCREMENT, n,
                           std::to_string(v) + " is not " + std::to_string(lo) + " plus a multiple of " +
                               std::to_string(inc));
    return 0;
}

int Evaluator::set_int(const std::string& name, int64_t value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        if (!integer_kind(g.nodes[n].tag))
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not an integer");
        if (int rc = check_access(g, n, true))
            return rc;
        if (int rc = check_int(g, n, value))
            return rc;
        return g.set_int(n, value, 0);
    });
}

int Evaluator::get_float(const std::string& name, double* value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Tag t = g.nodes[n].tag;
        if (!float_kind(t) && !integer_kind(t))
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a number");
        if (int rc = check_access(g, n, false))
            return rc;
        return g.get_float(n, value, 0);
    });
}

int Evaluator::set_float(const std::string& name, double value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Tag t = g.nodes[n].tag;
        if (!float_kind(t) && !integer_kind(t))
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a number");
        if (std::isnan(value))
            return g.fail_node(VORA_ERR_FEATURE_RANGE, n, "NaN is no value");
        if (int rc = check_access(g, n, true))
            return rc;
        if (integer_kind(t)) {
            if (!(value >= -9.2e18 && value <= 9.2e18) || value != std::floor(value))
                return g.fail_node(VORA_ERR_FEATURE_INCREMENT, n, number(value) + " is not a whole number");
            const int64_t v = static_cast<int64_t>(value);
            if (int rc = check_int(g, n, v))
                return rc;
            return g.set_int(n, v, 0);
        }
        double lo = 0, hi = 0, inc = 0;
        bool has_inc = false;
        if (int rc = g.float_bounds(n, &lo, &hi, &inc, &has_inc, 0))
            return rc;
        if (value < lo || value > hi)
            return g.fail_node(VORA_ERR_FEATURE_RANGE, n,
                               number(value) + " is out of range " + number(lo) + ".." + number(hi));
        if (has_inc && inc > 0) {
            const double steps = (value - lo) / inc;
            if (std::fabs(steps - std::round(steps)) > 1e-6 * (1 + std::fabs(steps)))
                return g.fail_node(VORA_ERR_FEATURE_INCREMENT, n,
                                   number(value) + " is not " + number(lo) + " plus a multiple of " + number(inc));
        }
        return g.set_float(n, value, 0);
    });
}

int Evaluator::get_bool(const std::string& name, bool* value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Node& node = g.nodes[n];
        if (node.tag != Tag::Boolean)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a boolean");
        if (int rc = check_access(g, n, false))
            return rc;
        int64_t v = 0;
        if (int rc = g.get_int(n, &v, 0))
            return rc;
        if (v != node.on_value && v != node.off_value)
            return g.fail_node(VORA_ERR_DESCRIPTION, n,
                               "value " + std::to_string(v) + " is neither OnValue " + std::to_string(node.on_value) +
                                   " nor OffValue " + std::to_string(node.off_value));
        *value = v == node.on_value;
        return 0;
    });
}

int Evaluator::set_bool(const std::string& name, bool value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Node& node = g.nodes[n];
        if (node.tag != Tag::Boolean)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a boolean");
        if (int rc = check_access(g, n, true))
            return rc;
        return g.set_int(n, value ? node.on_value : node.off_value, 0);
    });
}

int Evaluator::get_string(const std::string& name, std::string* value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Tag t = g.nodes[n].tag;
        if (t != Tag::String && t != Tag::StringReg)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a string");
        if (int rc = check_access(g, n, false))
            return rc;
        return g.get_str(n, value, 0);
    });
}

int Evaluator::set_string(const std::string& name, const std::string& value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Tag t = g.nodes[n].tag;
        if (t != Tag::String && t != Tag::StringReg)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a string");
        if (int rc = check_access(g, n, true))
            return rc;
        return g.set_str(n, value, 0);
    });
}

int Evaluator::get_enum(const std::string& name, std::string* symbolic, int64_t* value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Node& node = g.nodes[n];
        if (node.tag != Tag::Enumeration)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not an enumeration");
        if (int rc = check_access(g, n, false))
            return rc;
        int64_t v = 0;
        if (int rc = g.get_int(n, &v, 0))
            return rc;
        for (const Entry& e : node.entries)
            if (e.value == v) {
                if (symbolic)
                    *symbolic = e.symbolic;
                if (value)
                    *value = v;
                return 0;
            }
        return g.fail_node(VORA_ERR_DESCRIPTION, n, "value " + std::to_string(v) + " is none of its entries");
    });
}

static int set_entry(Evaluator::Impl& g, int n, const Entry* e, const std::string& what)
{
    if (!e)
        return g.fail_node(VORA_ERR_FEATURE_RANGE, n, what + " is none of its entries");
    bool available = true;
    if (int rc = g.entry_available(n, *e, &available, 0))
        return rc;
    if (!available)
        return g.fail_node(VORA_ERR_FEATURE_RANGE, n, e->symbolic + " is not available now");
    return g.set_int(n, e->value, 0);
}

int Evaluator::set_enum(const std::string& name, const std::string& symbolic)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Node& node = g.nodes[n];
        if (node.tag != Tag::Enumeration)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not an enumeration");
        if (int rc = check_access(g, n, true))
            return rc;
        const Entry* found = nullptr;
        for (const Entry& e : node.entries)
            if (e.symbolic == symbolic || e.full_name == symbolic) {
                found = &e;
                break;
            }
        return set_entry(g, n, found, symbolic);
    });
}

int Evaluator::set_enum_value(const std::string& name, int64_t value)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Node& node = g.nodes[n];
        if (node.tag != Tag::Enumeration)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not an enumeration");
        if (int rc = check_access(g, n, true))
            return rc;
        const Entry* found = nullptr;
        for (const Entry& e : node.entries)
            if (e.value == value) {
                found = &e;
                break;
            }
        return set_entry(g, n, found, std::to_string(value));
    });
}

int Evaluator::get_bytes(const std::string& name, std::vector<uint8_t>* bytes)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        if (g.nodes[n].tag != Tag::Register)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a register");
        if (int rc = check_access(g, n, false))
            return rc;
        const uint8_t* data = nullptr;
        int64_t len = 0;
        if (int rc = g.check_depth(n, 0))
            return rc;
        if (int rc = g.reg_read(n, &data, &len, 0))
            return rc;
        bytes->assign(data, data + len);
        return 0;
    });
}

int Evaluator::set_bytes(const std::string& name, const std::vector<uint8_t>& bytes)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        if (g.nodes[n].tag != Tag::Register)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a register");
        if (int rc = check_access(g, n, true))
            return rc;
        int64_t len = 0;
        if (int rc = g.check_depth(n, 0))
            return rc;
        if (int rc = g.reg_length(n, &len, 0))
            return rc;
        if (static_cast<int64_t>(bytes.size()) != len)
            return g.fail_node(VORA_ERR_FEATURE_RANGE, n,
                               std::to_string(bytes.size()) + " bytes for a register of " + std::to_string(len));
        if (int rc = g.reg_write(n, bytes.data(), len, 0))
            return rc;
        g.after_write(n);
        return 0;
    });
}

int Evaluator::execute(const std::string& name)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Node& node = g.nodes[n];
        if (node.tag != Tag::Command)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a command");
        if (int rc = check_access(g, n, true))
            return rc;
        int64_t v = 0;
        if (int rc = g.operand_int(node.command_value, &v, 0))
            return rc;
        return g.set_int(n, v, 0);
    });
}

int Evaluator::is_done(const std::string& name, bool* done)
{
    Impl& g = *impl_;
    return call(g, name, [&](int n) {
        const Node& node = g.nodes[n];
        if (node.tag != Tag::Command)
            return g.fail_node(VORA_ERR_FEATURE_TYPE, n, "is not a command");
        if (node.value.node < 0) {
            *done = true;  // a host-side command is done once written
            return 0;
        }
        // The device clears the register when done: read it afresh.
        std::vector<int> pending{node.value.node};
        std::vector<char> seen(g.nodes.size(), 0);
        while (!pending.empty()) {
            const int x = pending.back();
            pending.pop_back();
            if (seen[x])
                continue;
            seen[x] = 1;
            if (g.nodes[x].cache >= 0)
                g.caches[g.nodes[x].cache].valid = false;
            if (g.nodes[x].value.node >= 0)
                pending.push_back(g.nodes[x].value.node);
        }
        ++g.epoch;
        int64_t v = 0, command = 0;
        if (int rc = g.operand_int(node.command_value, &command, 0))
            return rc;
        if (int rc = g.get_int(n, &v, 0))
            return rc;
        *done = v != command;
        return 0;
    });
}

void Evaluator::invalidate_all()
{
    std::lock_guard<std::mutex> hold(impl_->lock);
    for (Cache& c : impl_->caches)
        c.valid = false;
}

const std::string& Evaluator::last_error()
{
    return evaluator_error();
}

uint64_t Evaluator::port_reads() const
{
    std::lock_guard<std::mutex> hold(impl_->lock);
    return impl_->port_reads;
}

}  // namespace genicam
