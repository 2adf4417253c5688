// Value rules per kind of node: where an Integer, Float, Boolean, Command
// or Enumeration takes its value (literal, pValue, indexed by a selector),
// the formulas of SwissKnife and Converter nodes, bounds, access, strings.
// Everything here runs under the evaluator's lock.
#include <cfloat>
#include <cmath>
#include <type_traits>

#include "genicam/genicam_graph.h"
#include "vora_base_type.h"

namespace genicam {

namespace {

bool integer_tag(Tag t)
{
    return t == Tag::Integer || t == Tag::IntReg || t == Tag::MaskedIntReg || t == Tag::IntSwissKnife ||
           t == Tag::IntConverter || t == Tag::StructEntry || t == Tag::Boolean || t == Tag::Enumeration ||
           t == Tag::Command;
}

bool float_tag(Tag t)
{
    return t == Tag::Float || t == Tag::FloatReg || t == Tag::SwissKnife || t == Tag::Converter;
}

bool register_tag(Tag t)
{
    return t == Tag::IntReg || t == Tag::MaskedIntReg || t == Tag::StructEntry || t == Tag::FloatReg ||
           t == Tag::StringReg || t == Tag::Register;
}

Access combine(Access a, Access b)
{
    if (a == Access::NI || b == Access::NI)
        return Access::NI;
    if (a == Access::NA || b == Access::NA)
        return Access::NA;
    if (a == Access::RW)
        return b;
    if (b == Access::RW || a == b)
        return a;
    return Access::NA;  // read-only meets write-only
}

int64_t to_int(double v)
{
    if (!(v > -9.2e18))
        return INT64_MIN;
    if (!(v < 9.2e18))
        return INT64_MAX;
    return static_cast<int64_t>(std::llround(v));
}

}  // namespace

std::string& evaluator_error()
{
    static thread_local std::string message;
    return message;
}

int Evaluator::Impl::fail(int status, const std::string& message)
{
    evaluator_error() = message;
    return status;
}

int Evaluator::Impl::fail_node(int status, int n, const std::string& message)
{
    return fail(status, nodes[n].name + ": " + message);
}

int Evaluator::Impl::check_depth(int n, int depth)
{
    if (!nodes[n].broken.empty())
        return fail(VORA_ERR_DESCRIPTION, nodes[n].broken);
    if (depth > MAX_CHAIN_DEPTH + 8)
        return fail_node(VORA_ERR_DESCRIPTION, n, "references chain too deep");
    if (++steps > MAX_STEPS_PER_CALL)
        return fail_node(VORA_ERR_DESCRIPTION, n, "takes more evaluation steps than allowed");
    return 0;
}

int Evaluator::Impl::operand_int(const Operand& o, int64_t* out, int depth)
{
    if (o.node >= 0)
        return get_int(o.node, out, depth + 1);
    *out = o.i;
    return 0;
}

int Evaluator::Impl::operand_float(const Operand& o, double* out, int depth)
{
    if (o.node >= 0)
        return get_float(o.node, out, depth + 1);
    *out = o.f;
    return 0;
}

int Evaluator::Impl::flag(int n, bool* out, int depth)
{
    int64_t v = 0;
    if (int rc = get_int(n, &v, depth + 1))
        return rc;
    *out = nodes[n].tag == Tag::Boolean ? v == nodes[n].on_value : v != 0;
    return 0;
}

int Evaluator::Impl::access(int n, Access* out, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    const Node& node = nodes[n];
    Access a = node.declared;
    bool on = true;
    if (node.p_implemented >= 0) {
        if (int rc = flag(node.p_implemented, &on, depth))
            return rc;
        if (!on) {
            *out = Access::NI;
            return 0;
        }
    }
    if (node.p_available >= 0) {
        if (int rc = flag(node.p_available, &on, depth))
            return rc;
        if (!on)
            a = combine(a, Access::NA);
    }
    if (node.value.node >= 0 && node.tag != Tag::SwissKnife && node.tag != Tag::IntSwissKnife) {
        Access target = Access::RW;
        if (int rc = access(node.value.node, &target, depth + 1))
            return rc;
        a = combine(a, target);
    }
    if (node.tag == Tag::SwissKnife || node.tag == Tag::IntSwissKnife)
        a = combine(a, Access::RO);
    if (node.p_locked >= 0 && (a == Access::RW || a == Access::WO)) {
        bool locked = false;
        if (int rc = flag(node.p_locked, &locked, depth))
            return rc;
        if (locked)
            a = a == Access::RW ? Access::RO : Access::NA;
    }
    *out = combine(a, node.imposed);
    return 0;
}

namespace {

// Fills a formula node's variable slots and evaluates its sub-expressions.
template <typename T>
struct Slots {
    T v[64];
};

}  // namespace

template <typename T>
static int fill(Evaluator::Impl& g, int n, Slots<T>& s, int depth)
{
    Node& node = g.nodes[n];
    for (size_t i = 0; i < node.variables.size(); ++i) {
        const Variable& var = node.variables[i];
        T value = 0;
        int rc = 0;
        switch (var.source) {
        case Variable::NodeValue:
            if (std::is_same<T, double>::value) {
                double d = 0;
                rc = g.get_float(var.node, &d, depth + 1);
                value = static_cast<T>(d);
            } else {
                int64_t v = 0;
                rc = g.get_int(var.node, &v, depth + 1);
                value = static_cast<T>(v);
            }
            break;
        case Variable::NodeMin:
        case Variable::NodeMax:
        case Variable::NodeInc:
            if (float_tag(g.nodes[var.node].tag)) {
                double lo = 0, hi = 0, inc = 0;
                bool has_inc = false;
                rc = g.float_bounds(var.node, &lo, &hi, &inc, &has_inc, depth + 1);
                const double d = var.source == Variable::NodeMin ? lo : var.source == Variable::NodeMax ? hi : inc;
                value = std::is_same<T, double>::value ? static_cast<T>(d) : static_cast<T>(to_int(d));
            } else {
                int64_t lo = 0, hi = 0, inc = 1;
                rc = g.int_bounds(var.node, &lo, &hi, &inc, depth + 1);
                value = static_cast<T>(var.source == Variable::NodeMin   ? lo
                                       : var.source == Variable::NodeMax ? hi
                                                                         : inc);
            }
            break;
        case Variable::Constant:
            value = std::is_same<T, double>::value ? static_cast<T>(var.f) : static_cast<T>(var.i);
            break;
        default:
            break;  // expressions and TO/FROM are filled apart
        }
        if (rc)
            return rc;
        s.v[i] = value;
    }
    return 0;
}

template <typename T>
static bool run(const Formula& f, const T* vars, T* out, const char** error);
template <>
bool run<int64_t>(const Formula& f, const int64_t* vars, int64_t* out, const char** error)
{
    return f.eval_int(vars, out, error);
}
template <>
bool run<double>(const Formula& f, const double* vars, double* out, const char** error)
{
    return f.eval_float(vars, out, error);
}

// Evaluates formula f of node n, with raw (TO or FROM) in raw_slot.
template <typename T>
static int evaluate(Evaluator::Impl& g, int n, const Formula& f, int raw_slot, T raw, T* out, int depth)
{
    Slots<T> s;
    if (int rc = fill(g, n, s, depth))
        return rc;
    Node& node = g.nodes[n];
    if (raw_slot >= 0)
        s.v[raw_slot] = raw;
    const char* error = nullptr;
    for (size_t i = 0; i < node.variables.size(); ++i) {
        const Variable& var = node.variables[i];
        if (var.source != Variable::Expression)
            continue;
        if (!run<T>(node.expressions[var.expression], s.v, &s.v[i], &error))
            return g.fail_node(VORA_ERR_DESCRIPTION, n,
                               std::string("Expression ") + var.name + ": " + (error ? error : "cannot be evaluated"));
    }
    if (!run<T>(f, s.v, out, &error))
        return g.fail_node(VORA_ERR_DESCRIPTION, n, error ? error : "cannot be evaluated");
    return 0;
}

// The operand that holds an indexed node's value for the selector's present value.
static int indexed_operand(Evaluator::Impl& g, int n, Operand** out, int depth)
{
    Node& node = g.nodes[n];
    if (node.p_index < 0) {
        *out = &node.value;
        return 0;
    }
    int64_t index = 0;
    if (int rc = g.get_int(node.p_index, &index, depth + 1))
        return rc;
    for (IndexedValue& iv : node.indexed)
        if (iv.index == index) {
            *out = &iv.value;
            return 0;
        }
    if (node.value_default.present) {
        *out = &node.value_default;
        return 0;
    }
    return g.fail_node(VORA_ERR_DESCRIPTION, n, "has no value for index " + std::to_string(index));
}

int Evaluator::Impl::get_int(int n, int64_t* out, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    Node& node = nodes[n];
    if (node.int_epoch == epoch) {
        *out = node.int_memo;
        return 0;
    }
    const uint64_t started = epoch;
    if (int rc = compute_int(n, out, depth))
        return rc;
    // A write on the way (a pValueCopy, ...) makes the value stale at once.
    if (epoch == started) {
        node.int_epoch = epoch;
        node.int_memo = *out;
    }
    return 0;
}

int Evaluator::Impl::compute_int(int n, int64_t* out, int depth)
{
    Node& node = nodes[n];
    switch (node.tag) {
    case Tag::Integer:
    case Tag::Boolean:
    case Tag::Enumeration:
    case Tag::Command: {
        Operand* o = nullptr;
        if (int rc = indexed_operand(*this, n, &o, depth))
            return rc;
        return operand_int(*o, out, depth);
    }
    case Tag::IntReg:
    case Tag::MaskedIntReg:
    case Tag::StructEntry:
        return reg_get_int(n, out, depth);
    case Tag::IntSwissKnife:
        return evaluate<int64_t>(*this, n, node.formula, -1, 0, out, depth);
    case Tag::IntConverter: {
        int64_t raw = 0;
        if (int rc = get_int(node.value.node, &raw, depth + 1))
            return rc;
        return evaluate<int64_t>(*this, n, node.formula, node.raw_slot, raw, out, depth);
    }
    default:
        if (float_tag(node.tag)) {
            double d = 0;
            if (int rc = get_float(n, &d, depth))
                return rc;
            *out = to_int(d);
            return 0;
        }
        return fail_node(VORA_ERR_FEATURE_TYPE, n, "has no integer value");
    }
}

int Evaluator::Impl::get_float(int n, double* out, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    Node& node = nodes[n];
    if (node.float_epoch == epoch) {
        *out = node.float_memo;
        return 0;
    }
    const uint64_t started = epoch;
    if (int rc = compute_float(n, out, depth))
        return rc;
    if (epoch == started) {
        node.float_epoch = epoch;
        node.float_memo = *out;
    }
    return 0;
}

int Evaluator::Impl::compute_float(int n, double* out, int depth)
{
    Node& node = nodes[n];
    switch (node.tag) {
    case Tag::Float: {
        Operand* o = nullptr;
        if (int rc = indexed_operand(*this, n, &o, depth))
            return rc;
        return operand_float(*o, out, depth);
    }
    case Tag::FloatReg:
        return reg_get_float(n, out, depth);
    case Tag::SwissKnife:
        return evaluate<double>(*this, n, node.formula, -1, 0, out, depth);
    case Tag::Converter: {
        double raw = 0;
        if (int rc = get_float(node.value.node, &raw, depth + 1))
            return rc;
        return evaluate<double>(*this, n, node.formula, node.raw_slot, raw, out, depth);
    }
    default:
        if (integer_tag(node.tag)) {
            int64_t v = 0;
            if (int rc = get_int(n, &v, depth))
                return rc;
            *out = static_cast<double>(v);
            return 0;
        }
        return fail_node(VORA_ERR_FEATURE_TYPE, n, "has no numeric value");
    }
}

// Writes through an operand: to the node it names, or into the literal.
static int write_operand(Evaluator::Impl& g, Operand& o, int64_t i, double f, bool is_float, int depth)
{
    if (o.node >= 0)
        return is_float ? g.set_float(o.node, f, depth + 1) : g.set_int(o.node, i, depth + 1);
    o.i = i;
    o.f = f;
    ++g.epoch;
    return 0;
}

int Evaluator::Impl::set_int(int n, int64_t v, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    Node& node = nodes[n];
    int rc = 0;
    switch (node.tag) {
    case Tag::Integer:
    case Tag::Boolean:
    case Tag::Enumeration:
    case Tag::Command: {
        Operand* o = nullptr;
        if ((rc = indexed_operand(*this, n, &o, depth)))
            return rc;
        if ((rc = write_operand(*this, *o, v, static_cast<double>(v), false, depth)))
            return rc;
        for (int c : node.value_copies)
            if ((rc = set_int(c, v, depth + 1)))
                return rc;
        break;
    }
    case Tag::IntReg:
    case Tag::MaskedIntReg:
    case Tag::StructEntry:
        if ((rc = reg_set_int(n, v, depth)))
            return rc;
        break;
    case Tag::IntConverter: {
        int64_t raw = 0;
        if ((rc = evaluate<int64_t>(*this, n, node.formula_to, node.from_slot, v, &raw, depth)))
            return rc;
        if ((rc = set_int(node.value.node, raw, depth + 1)))
            return rc;
        break;
    }
    default:
        if (float_tag(node.tag))
            return set_float(n, static_cast<double>(v), depth);
        return fail_node(VORA_ERR_FEATURE_NOT_WRITABLE, n, "cannot be written");
    }
    after_write(n);
    return 0;
}

int Evaluator::Impl::set_float(int n, double v, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    Node& node = nodes[n];
    int rc = 0;
    switch (node.tag) {
    case Tag::Float: {
        Operand* o = nullptr;
        if ((rc = indexed_operand(*this, n, &o, depth)))
            return rc;
        const bool target_float = o->node < 0 || float_tag(nodes[o->node].tag);
        if ((rc = write_operand(*this, *o, to_int(v), v, target_float, depth)))
            return rc;
        for (int c : node.value_copies)
            if ((rc = set_float(c, v, depth + 1)))
                return rc;
        break;
    }
    case Tag::FloatReg:
        if ((rc = reg_set_float(n, v, depth)))
            return rc;
        break;
    case Tag::Converter: {
        double raw = 0;
        if ((rc = evaluate<double>(*this, n, node.formula_to, node.from_slot, v, &raw, depth)))
            return rc;
        const int target = node.value.node;
        if ((rc = float_tag(nodes[target].tag) ? set_float(target, raw, depth + 1)
                                               : set_int(target, to_int(raw), depth + 1)))
            return rc;
        break;
    }
    default:
        if (integer_tag(node.tag) && node.tag != Tag::IntSwissKnife)
            return set_int(n, to_int(v), depth);
        return fail_node(VORA_ERR_FEATURE_NOT_WRITABLE, n, "cannot be written");
    }
    after_write(n);
    return 0;
}

int Evaluator::Impl::int_bounds(int n, int64_t* min, int64_t* max, int64_t* inc, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    Node& node = nodes[n];
    int64_t lo = INT64_MIN, hi = INT64_MAX, step = 1;
    if (float_tag(node.tag)) {
        double dlo = 0, dhi = 0, dinc = 0;
        bool has_inc = false;
        if (int rc = float_bounds(n, &dlo, &dhi, &dinc, &has_inc, depth))
            return rc;
        *min = to_int(dlo);
        *max = to_int(dhi);
        *inc = has_inc && dinc >= 1 ? to_int(dinc) : 1;
        return 0;
    }
    if (register_tag(node.tag)) {
        if (int rc = reg_int_bounds(n, &lo, &hi, depth))
            return rc;
    } else if ((node.tag == Tag::Integer || node.tag == Tag::IntConverter) && node.value.node >= 0 &&
               (!node.min.present || !node.max.present || !node.inc.present)) {
        int64_t tlo = 0, thi = 0, tinc = 1;
        if (int rc = int_bounds(node.value.node, &tlo, &thi, &tinc, depth + 1))
            return rc;
        if (node.tag == Tag::Integer) {
            lo = tlo;
            hi = thi;
            step = tinc;
        } else {
            // A converter's bounds are its target's, converted; a formula
            // that cannot convert them leaves the full range.
            int64_t a = 0, b = 0;
            std::string saved = evaluator_error();
            if (evaluate<int64_t>(*this, n, node.formula, node.raw_slot, tlo, &a, depth) == 0 &&
                evaluate<int64_t>(*this, n, node.formula, node.raw_slot, thi, &b, depth) == 0) {
                lo = a < b ? a : b;
                hi = a < b ? b : a;
            }
            evaluator_error() = saved;
        }
    }
    if (node.min.present)
        if (int rc = operand_int(node.min, &lo, depth))
            return rc;
    if (node.max.present)
        if (int rc = operand_int(node.max, &hi, depth))
            return rc;
    if (node.inc.present)
        if (int rc = operand_int(node.inc, &step, depth))
            return rc;
    if (step <= 0)
        return fail_node(VORA_ERR_DESCRIPTION, n, "Inc " + std::to_string(step) + " is not positive");
    *min = lo;
    *max = hi;
    *inc = step;
    return 0;
}

int Evaluator::Impl::float_bounds(int n, double* min, double* max, double* inc, bool* has_inc, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    Node& node = nodes[n];
    if (!float_tag(node.tag)) {
        int64_t lo = 0, hi = 0, step = 1;
        if (int rc = int_bounds(n, &lo, &hi, &step, depth))
            return rc;
        *min = static_cast<double>(lo);
        *max = static_cast<double>(hi);
        *inc = static_cast<double>(step);
        *has_inc = true;
        return 0;
    }
    double lo = -DBL_MAX, hi = DBL_MAX, step = 0;
    bool stepped = false;
    if (node.tag == Tag::FloatReg) {
        int64_t len = 0;
        if (int rc = reg_length(n, &len, depth))
            return rc;
        if (len == 4) {
            lo = -FLT_MAX;
            hi = FLT_MAX;
        }
    } else if ((node.tag == Tag::Float || node.tag == Tag::Converter) && node.value.node >= 0 &&
               (!node.min.present || !node.max.present)) {
        double tlo = 0, thi = 0, tinc = 0;
        bool tstep = false;
        if (int rc = float_bounds(node.value.node, &tlo, &thi, &tinc, &tstep, depth + 1))
            return rc;
        if (node.tag == Tag::Float) {
            lo = tlo;
            hi = thi;
            step = tinc;
            stepped = tstep && float_tag(nodes[node.value.node].tag);
        } else {
            double a = 0, b = 0;
            std::string saved = evaluator_error();
            if (evaluate<double>(*this, n, node.formula, node.raw_slot, tlo, &a, depth) == 0 &&
                evaluate<double>(*this, n, node.formula, node.raw_slot, thi, &b, depth) == 0 && !std::isnan(a) &&
                !std::isnan(b)) {
                lo = a < b ? a : b;
                hi = a < b ? b : a;
            }
            evaluator_error() = saved;
        }
    }
    if (node.min.present)
        if (int rc = operand_float(node.min, &lo, depth))
            return rc;
    if (node.max.present)
        if (int rc = operand_float(node.max, &hi, depth))
            return rc;
    if (node.inc.present) {
        if (int rc = operand_float(node.inc, &step, depth))
            return rc;
        stepped = true;
        if (!(step > 0))
            return fail_node(VORA_ERR_DESCRIPTION, n, "Inc is not positive");
    }
    *min = lo;
    *max = hi;
    *inc = step;
    *has_inc = stepped;
    return 0;
}

int Evaluator::Impl::entry_available(int n, const Entry& e, bool* out, int depth)
{
    bool on = true;
    if (e.p_implemented >= 0)
        if (int rc = flag(e.p_implemented, &on, depth))
            return rc;
    if (on && e.p_available >= 0)
        if (int rc = flag(e.p_available, &on, depth))
            return rc;
    (void)n;
    *out = on;
    return 0;
}

int Evaluator::Impl::get_str(int n, std::string* out, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    Node& node = nodes[n];
    if (node.tag == Tag::String) {
        *out = node.string_value;
        return 0;
    }
    if (node.tag != Tag::StringReg)
        return fail_node(VORA_ERR_FEATURE_TYPE, n, "has no string value");
    const uint8_t* bytes = nullptr;
    int64_t len = 0;
    if (int rc = reg_read(n, &bytes, &len, depth))
        return rc;
    size_t end = 0;
    while (end < static_cast<size_t>(len) && bytes[end] != 0)
        ++end;
    out->assign(reinterpret_cast<const char*>(bytes), end);
    return 0;
}

int Evaluator::Impl::set_str(int n, const std::string& v, int depth)
{
    if (int rc = check_depth(n, depth))
        return rc;
    Node& node = nodes[n];
    if (node.tag == Tag::String) {
        node.string_value = v;
        ++epoch;
        after_write(n);
        return 0;
    }
    if (node.tag != Tag::StringReg)
        return fail_node(VORA_ERR_FEATURE_TYPE, n, "has no string value");
    int64_t len = 0;
    if (int rc = reg_length(n, &len, depth))
        return rc;
    if (static_cast<int64_t>(v.size()) > len)
        return fail_node(VORA_ERR_FEATURE_RANGE, n,
                         std::to_string(v.size()) + " characters are more than its " + std::to_string(len));
    std::vector<uint8_t> bytes(static_cast<size_t>(len), 0);
    std::copy(v.begin(), v.end(), bytes.begin());
    if (int rc = reg_write(n, bytes.data(), len, depth))
        return rc;
    after_write(n);
    return 0;
}

}  // namespace genicam
