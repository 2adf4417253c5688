// The formula language: compiled by precedence climbing into postfix code
// with jumps (so that `?:`, `&&` and `||` evaluate only the branch they
// take, and `X = 0 ? 0 : Y / X` never divides by zero), then run on a fixed
// stack. Integer formulas keep each value as an integer until something
// only a float can express (a float literal, PI, SIN, a negative power)
// makes it one; float formulas hold doubles throughout.
#include "genicam/genicam_formula.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

namespace genicam {

namespace {

constexpr size_t MAX_FORMULA_TEXT = 64 * 1024;
// The evaluation stack lives on the caller's stack; a formula that would
// need more is refused when parsed (nesting limits keep real ones far below).
constexpr int MAX_STACK = 256;

enum Code : int {
    PUSH_INT,
    PUSH_FLOAT,
    PUSH_VAR,
    NEGATE,
    BIT_NOT,
    LOGICAL_NOT,
    TO_BOOL,
    ADD,
    SUB,
    MUL,
    DIV,
    MOD,
    POW,
    SHL,
    SHR,
    BIT_AND,
    BIT_OR,
    BIT_XOR,
    EQ,
    NE,
    LT,
    LE,
    GT,
    GE,
    JUMP,           // to slot
    JUMP_IF_FALSE,  // pops the condition
    AND_JUMP,       // false: leaves 0 and jumps; true: pops
    OR_JUMP,        // true: leaves 1 and jumps; false: pops
    FN_SGN,
    FN_ATAN,
    FN_COS,
    FN_SIN,
    FN_TAN,
    FN_ABS,
    FN_EXP,
    FN_LN,
    FN_LG,
    FN_SQRT,
    FN_TRUNC,
    FN_FLOOR,
    FN_CEIL,
    FN_ROUND,
    FN_ROUND2,
    FN_ASIN,
    FN_ACOS,
};

struct Function {
    const char* name;
    int code;   // with one argument
    int code2;  // with two, or -1
};

const Function functions[] = {
    {"SGN", FN_SGN, -1},     {"NEG", NEGATE, -1},   {"ATAN", FN_ATAN, -1},
    {"COS", FN_COS, -1},     {"SIN", FN_SIN, -1},   {"TAN", FN_TAN, -1},
    {"ABS", FN_ABS, -1},     {"EXP", FN_EXP, -1},   {"LN", FN_LN, -1},
    {"LG", FN_LG, -1},       {"SQRT", FN_SQRT, -1}, {"TRUNC", FN_TRUNC, -1},
    {"FLOOR", FN_FLOOR, -1}, {"CEIL", FN_CEIL, -1}, {"ROUND", FN_ROUND, FN_ROUND2},
    {"ASIN", FN_ASIN, -1},   {"ACOS", FN_ACOS, -1},
};

bool same_name(const std::string& a, const char* b)
{
    size_t n = std::strlen(b);
    if (a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'a' && c <= 'z')
            c = char(c - 'a' + 'A');
        if (c != b[i])
            return false;
    }
    return true;
}

enum class Tok { End, Int, Float, Name, Op, Bad };

struct Token {
    Tok kind = Tok::End;
    size_t pos = 0;
    size_t len = 0;
    int64_t i = 0;
    double f = 0;
    const char* op = "";  // the operator's spelling, or why a Bad token is
};

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}
bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}
bool is_alpha(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_hex(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
int hex_value(char c)
{
    return is_digit(c) ? c - '0' : (c | 0x20) - 'a' + 10;
}

const char* const operators[] = {"**", "<<", ">>", "<=", ">=", "<>", "&&", "||", "*", "/", "%", "+", "-",    "<",
                                 ">",  "=",  "&",  "|",  "^",  "~",  "!",  "?",  ":", "(", ")", ",", nullptr};

// Binary operators from the loosest to the tightest binding; `?:` is below
// them all, the unary operators above.
struct Binary {
    const char* op;
    int level;
    int code;
};
const Binary binaries[] = {
    {"||", 1, OR_JUMP}, {"&&", 2, AND_JUMP}, {"|", 3, BIT_OR}, {"^", 4, BIT_XOR}, {"&", 5, BIT_AND},
    {"=", 6, EQ},       {"<>", 6, NE},       {"<", 7, LT},     {"<=", 7, LE},     {">", 7, GT},
    {">=", 7, GE},      {"<<", 8, SHL},      {">>", 8, SHR},   {"+", 9, ADD},     {"-", 9, SUB},
    {"*", 10, MUL},     {"/", 10, DIV},      {"%", 10, MOD},   {"**", 11, POW},
};
constexpr int POWER_LEVEL = 11;

class Compiler {
public:
    Compiler(const std::string& text, const std::function<int(const std::string&)>& resolve,
             std::vector<Formula::Op>& code, std::vector<int>& slots)
        : text_(text), resolve_(resolve), code_(code), slots_(slots)
    {}

    bool run(int* max_stack)
    {
        advance();
        if (tok_.kind == Tok::End)
            return fail_plain("empty formula");
        if (!ternary(0))
            return false;
        if (tok_.kind != Tok::End)
            return unexpected();
        *max_stack = max_sp_;
        return true;
    }

    std::string error;

private:
    const std::string& text_;
    const std::function<int(const std::string&)>& resolve_;
    std::vector<Formula::Op>& code_;
    std::vector<int>& slots_;
    size_t pos_ = 0;
    Token tok_;
    int sp_ = 0;
    int max_sp_ = 0;

    // Reads the next token into tok_.
    void advance()
    {
        while (pos_ < text_.size() && is_space(text_[pos_]))
            ++pos_;
        tok_ = Token();
        tok_.pos = pos_;
        if (pos_ >= text_.size())
            return;
        char c = text_[pos_];
        if (is_digit(c) || (c == '.' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1]))) {
            number();
        } else if (is_alpha(c)) {
            size_t end = pos_ + 1;
            while (end < text_.size() && (is_alpha(text_[end]) || is_digit(text_[end]) ||
                                          (text_[end] == '.' && end + 1 < text_.size() && is_alpha(text_[end + 1]))))
                ++end;
            tok_.kind = Tok::Name;
            tok_.len = end - pos_;
        } else {
            bad("unexpected character");
            tok_.len = 1;
            for (const char* const* op = operators; *op; ++op) {
                size_t n = std::strlen(*op);
                if (text_.compare(pos_, n, *op) == 0) {
                    tok_.kind = Tok::Op;
                    tok_.op = *op;
                    tok_.len = n;
                    break;
                }
            }
        }
        pos_ += tok_.len;
    }

    void number()
    {
        const char* s = text_.data();
        size_t n = text_.size();
        size_t p = pos_;
        if (p + 2 < n && s[p] == '0' && (s[p + 1] == 'x' || s[p + 1] == 'X') && is_hex(s[p + 2])) {
            p += 2;
            uint64_t value = 0;
            bool overflow = false;
            while (p < n && is_hex(s[p])) {
                if (value >> 60)
                    overflow = true;
                value = value << 4 | uint64_t(hex_value(s[p]));
                ++p;
            }
            tok_.len = p - pos_;
            if (p < n && (is_alpha(s[p]) || s[p] == '.')) {
                malformed(p);
                return;
            }
            if (overflow) {
                bad("integer literal wider than 64 bits");
                return;
            }
            // Up to 64 bits, read as the two's complement pattern they are
            // (masks such as 0xFFFFFFFFFFFFFFFF).
            tok_.kind = Tok::Int;
            tok_.i = value > uint64_t(std::numeric_limits<int64_t>::max()) ? -int64_t(~value) - 1 : int64_t(value);
            return;
        }
        bool is_float = false;
        while (p < n && is_digit(s[p]))
            ++p;
        if (p < n && s[p] == '.') {
            is_float = true;
            ++p;
            while (p < n && is_digit(s[p]))
                ++p;
        }
        if (p < n && (s[p] == 'e' || s[p] == 'E')) {
            size_t q = p + 1;
            if (q < n && (s[q] == '+' || s[q] == '-'))
                ++q;
            if (q < n && is_digit(s[q])) {
                is_float = true;
                p = q;
                while (p < n && is_digit(s[p]))
                    ++p;
            }
        }
        tok_.len = p - pos_;
        if (p < n && (is_alpha(s[p]) || s[p] == '.')) {
            malformed(p);
            return;
        }
        if (is_float) {
            auto r = std::from_chars(s + pos_, s + p, tok_.f);
            if (r.ec != std::errc() || r.ptr != s + p || !std::isfinite(tok_.f))
                bad("float literal out of range");
            else
                tok_.kind = Tok::Float;
            return;
        }
        auto r = std::from_chars(s + pos_, s + p, tok_.i);
        if (r.ec != std::errc() || r.ptr != s + p)
            bad("integer literal out of range");
        else
            tok_.kind = Tok::Int;
    }

    void bad(const char* why)
    {
        tok_.kind = Tok::Bad;
        tok_.op = why;
    }

    // A malformed number is named whole in the message ("12abc", "0x1G").
    void malformed(size_t end)
    {
        while (end < text_.size() && (is_alpha(text_[end]) || is_digit(text_[end]) || text_[end] == '.'))
            ++end;
        tok_.len = end - pos_;
        bad("malformed number");
    }

    bool is_op(const char* op) const { return tok_.kind == Tok::Op && std::strcmp(tok_.op, op) == 0; }

    std::string token_text(const Token& t) const
    {
        std::string out;
        size_t len = std::min<size_t>(t.len, 40);
        for (size_t i = 0; i < len; ++i) {
            unsigned char c = static_cast<unsigned char>(text_[t.pos + i]);
            if (c >= 0x20 && c < 0x7F) {
                out += char(c);
            } else {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", c);
                out += hex;
            }
        }
        if (t.len > len)
            out += "...";
        return out;
    }

    bool fail_plain(const std::string& message)
    {
        error = message;
        return false;
    }

    bool fail(const std::string& message, const Token& t)
    {
        error = message + " '" + token_text(t) + "' at position " + std::to_string(t.pos);
        return false;
    }

    bool unexpected()
    {
        if (tok_.kind == Tok::End)
            return fail_plain("unexpected end of formula at position " + std::to_string(tok_.pos));
        if (tok_.kind == Tok::Bad)
            return fail(tok_.op, tok_);
        return fail("unexpected", tok_);
    }

    bool too_deep(int depth)
    {
        if (depth <= MAX_FORMULA_DEPTH)
            return false;
        fail("formula nests deeper than " + std::to_string(MAX_FORMULA_DEPTH) + " levels:", tok_);
        return true;
    }

    // Appends an instruction and follows the stack depth it leaves.
    size_t emit(int code, int pops, int pushes, int slot = 0, int64_t i = 0, double f = 0)
    {
        code_.push_back(Formula::Op{code, slot, i, f});
        sp_ += pushes - pops;
        max_sp_ = std::max(max_sp_, sp_);
        return code_.size() - 1;
    }

    void patch(size_t at) { code_[at].slot = int(code_.size()); }

    bool stack_ok()
    {
        if (sp_ <= MAX_STACK)
            return true;
        return fail_plain("formula needs more than " + std::to_string(MAX_STACK) + " intermediate values");
    }

    // cond ? a : b, right-associative: the branches are whole formulas.
    bool ternary(int depth)
    {
        if (too_deep(depth))
            return false;
        if (!binary(1, depth))
            return false;
        if (!is_op("?"))
            return true;
        advance();
        size_t to_else = emit(JUMP_IF_FALSE, 1, 0);
        if (!ternary(depth + 1))
            return false;
        if (!is_op(":"))
            return tok_.kind == Tok::End ? fail_plain("'?' without ':' at end of formula") : unexpected();
        advance();
        size_t to_end = emit(JUMP, 0, 0);
        --sp_;  // the else branch starts where the then branch did
        patch(to_else);
        if (!ternary(depth + 1))
            return false;
        patch(to_end);
        return true;
    }

    const Binary* binary_here() const
    {
        if (tok_.kind != Tok::Op)
            return nullptr;
        for (const Binary& b : binaries)
            if (std::strcmp(b.op, tok_.op) == 0)
                return &b;
        return nullptr;
    }

    bool binary(int min_level, int depth)
    {
        if (too_deep(depth))
            return false;
        if (!unary(depth))
            return false;
        for (const Binary* b = binary_here(); b && b->level >= min_level; b = binary_here()) {
            advance();
            // `**` binds right to left, everything else left to right.
            int next = b->level == POWER_LEVEL ? b->level : b->level + 1;
            if (b->code == AND_JUMP || b->code == OR_JUMP) {
                size_t skip = emit(b->code, 1, 0);
                if (!binary(next, depth + 1))
                    return false;
                emit(TO_BOOL, 1, 1);
                patch(skip);
            } else {
                if (!binary(next, depth + 1))
                    return false;
                emit(b->code, 2, 1);
            }
        }
        return stack_ok();
    }

    bool unary(int depth)
    {
        if (too_deep(depth))
            return false;
        int code = -1;
        if (is_op("-"))
            code = NEGATE;
        else if (is_op("~"))
            code = BIT_NOT;
        else if (is_op("!"))
            code = LOGICAL_NOT;
        else if (!is_op("+"))
            return primary(depth);
        advance();
        if (!unary(depth + 1))
            return false;
        if (code >= 0)
            emit(code, 1, 1);
        return true;
    }

    bool primary(int depth)
    {
        Token t = tok_;
        switch (t.kind) {
        case Tok::Int:
            emit(PUSH_INT, 0, 1, 0, t.i);
            advance();
            return stack_ok();
        case Tok::Float:
            emit(PUSH_FLOAT, 0, 1, 0, 0, t.f);
            advance();
            return stack_ok();
        case Tok::Name:
            advance();
            if (is_op("("))
                return call(t, depth);
            return name(t);
        case Tok::Op:
            if (std::strcmp(t.op, "(") == 0) {
                advance();
                if (!ternary(depth + 1))
                    return false;
                if (!is_op(")"))
                    return tok_.kind == Tok::End ? fail("unclosed", t) : unexpected();
                advance();
                return true;
            }
            return unexpected();
        default:
            return unexpected();
        }
    }

    bool name(const Token& t)
    {
        std::string id = text_.substr(t.pos, t.len);
        if (id == "PI") {
            emit(PUSH_FLOAT, 0, 1, 0, 0, 3.14159265358979323846);
            return stack_ok();
        }
        if (id == "E") {
            emit(PUSH_FLOAT, 0, 1, 0, 0, 2.71828182845904523536);
            return stack_ok();
        }
        int slot = resolve_ ? resolve_(id) : -1;
        if (slot < 0)
            return fail("unknown variable", t);
        if (std::find(slots_.begin(), slots_.end(), slot) == slots_.end())
            slots_.push_back(slot);
        emit(PUSH_VAR, 0, 1, slot);
        return stack_ok();
    }

    // NAME( args ): the name is matched without regard to case.
    bool call(const Token& t, int depth)
    {
        std::string id = text_.substr(t.pos, t.len);
        const Function* fn = nullptr;
        for (const Function& f : functions)
            if (same_name(id, f.name))
                fn = &f;
        if (!fn)
            return fail("unknown function", t);
        advance();  // (
        int args = 0;
        if (!is_op(")")) {
            for (;;) {
                if (!ternary(depth + 1))
                    return false;
                ++args;
                if (is_op(","))
                    advance();
                else
                    break;
            }
            if (!is_op(")"))
                return tok_.kind == Tok::End ? fail("unclosed call of", t) : unexpected();
        }
        advance();  // )
        int code = args == 1 ? fn->code : (args == 2 ? fn->code2 : -1);
        if (code < 0) {
            std::string wanted = fn->code2 >= 0 ? "1 or 2 arguments" : "1 argument";
            return fail(std::string(fn->name) + " takes " + wanted + ", not " + std::to_string(args) + ": call of", t);
        }
        emit(code, args, 1);
        return true;
    }
};

// One value on the evaluation stack.
struct Value {
    int64_t i;
    double f;
    bool is_float;
};

Value int_value(int64_t i)
{
    return Value{i, 0, false};
}
Value float_value(double f)
{
    return Value{0, f, true};
}
double as_double(const Value& v)
{
    return v.is_float ? v.f : double(v.i);
}
bool truth(const Value& v)
{
    return v.is_float ? v.f != 0 : v.i != 0;
}

// Doubles outside int64 (and NaN) have no integer value: refused rather
// than saturated or left to undefined behaviour.
bool to_int(const Value& v, int64_t* out)
{
    if (!v.is_float) {
        *out = v.i;
        return true;
    }
    if (!(v.f >= -9223372036854775808.0 && v.f < 9223372036854775808.0))
        return false;
    *out = int64_t(v.f);
    return true;
}

// Two's complement wrap-around, without signed overflow.
int64_t wrap(uint64_t u)
{
    return u > uint64_t(std::numeric_limits<int64_t>::max()) ? -int64_t(~u) - 1 : int64_t(u);
}

int64_t int_power(int64_t base, int64_t exponent)
{
    uint64_t result = 1, b = uint64_t(base);
    for (uint64_t e = uint64_t(exponent); e; e >>= 1) {
        if (e & 1)
            result *= b;
        b *= b;
    }
    return wrap(result);
}

// Shifts by a negative count or by 64 and more are defined: what shifting
// one bit at a time would give (all bits out, or the sign filling them).
int64_t shift_left(int64_t a, int64_t n)
{
    if (n < 0 || n >= 64)
        return 0;
    return wrap(uint64_t(a) << n);
}

int64_t shift_right(int64_t a, int64_t n)
{
    if (n < 0)
        return 0;
    if (n >= 64)
        return a < 0 ? -1 : 0;
    return a < 0 ? ~int64_t(~uint64_t(a) >> n) : int64_t(uint64_t(a) >> n);
}

double round_to(double x, int64_t digits)
{
    if (digits >= 0) {
        if (digits > 300)
            return x;
        double scale = std::pow(10.0, double(digits));
        double scaled = x * scale;
        if (!std::isfinite(scaled) || std::fabs(scaled) >= 9007199254740992.0)
            return x;  // already exact to that many digits
        return std::round(scaled) / scale;
    }
    if (digits < -300)
        return 0;
    double scale = std::pow(10.0, double(-digits));
    return std::round(x / scale) * scale;
}

const char* const not_parsed = "formula not parsed";
const char* const division_by_zero = "division by zero";
const char* const int_overflow = "integer division overflow";
const char* const out_of_range = "value outside the 64-bit integer range";
const char* const not_finite = "result is not a finite number";

// Runs the postfix code. In float mode every value is a double (integer-only
// operators take integers and give doubles back); otherwise integers stay
// integers until a float enters.
bool run(const std::vector<Formula::Op>& code, bool float_mode, const int64_t* ivars, const double* fvars,
         Value* result, const char** error)
{
    Value stack[MAX_STACK + 1];
    int sp = 0;  // values on the stack
    const char* failure = nullptr;
    auto number = [float_mode](int64_t i) { return float_mode ? float_value(double(i)) : int_value(i); };
    size_t n = code.size();
    for (size_t pc = 0; pc < n; ++pc) {
        const Formula::Op& op = code[pc];
        Value* top = sp > 0 ? &stack[sp - 1] : nullptr;
        Value* left = sp > 1 ? &stack[sp - 2] : nullptr;
        switch (op.code) {
        case PUSH_INT:
            stack[sp++] = number(op.i);
            break;
        case PUSH_FLOAT:
            stack[sp++] = float_value(op.f);
            break;
        case PUSH_VAR:
            stack[sp++] = float_mode ? float_value(fvars[op.slot]) : int_value(ivars[op.slot]);
            break;
        case NEGATE:
            *top = top->is_float ? float_value(-top->f) : int_value(wrap(0 - uint64_t(top->i)));
            break;
        case BIT_NOT: {
            int64_t a;
            if (!to_int(*top, &a)) {
                failure = out_of_range;
                break;
            }
            *top = number(~a);
            break;
        }
        case LOGICAL_NOT:
            *top = number(truth(*top) ? 0 : 1);
            break;
        case TO_BOOL:
            *top = number(truth(*top) ? 1 : 0);
            break;
        case ADD:
        case SUB:
        case MUL:
            if (left->is_float || top->is_float) {
                double a = as_double(*left), b = as_double(*top);
                *left = float_value(op.code == ADD ? a + b : op.code == SUB ? a - b : a * b);
            } else {
                uint64_t a = uint64_t(left->i), b = uint64_t(top->i);
                *left = int_value(wrap(op.code == ADD ? a + b : op.code == SUB ? a - b : a * b));
            }
            --sp;
            break;
        case DIV:
            if (left->is_float || top->is_float) {
                double b = as_double(*top);
                if (b == 0) {
                    failure = division_by_zero;
                    break;
                }
                *left = float_value(as_double(*left) / b);
            } else {
                if (top->i == 0) {
                    failure = division_by_zero;
                    break;
                }
                if (top->i == -1 && left->i == std::numeric_limits<int64_t>::min()) {
                    failure = int_overflow;
                    break;
                }
                *left = int_value(left->i / top->i);
            }
            --sp;
            break;
        case MOD: {
            int64_t a, b;
            if (!to_int(*left, &a) || !to_int(*top, &b)) {
                failure = out_of_range;
                break;
            }
            if (b == 0) {
                failure = division_by_zero;
                break;
            }
            *left = number(b == -1 ? 0 : a % b);
            --sp;
            break;
        }
        case POW:
            if (!left->is_float && !top->is_float && top->i >= 0)
                *left = int_value(int_power(left->i, top->i));
            else
                *left = float_value(std::pow(as_double(*left), as_double(*top)));
            --sp;
            break;
        case SHL:
        case SHR:
        case BIT_AND:
        case BIT_OR:
        case BIT_XOR: {
            int64_t a, b;
            if (!to_int(*left, &a) || !to_int(*top, &b)) {
                failure = out_of_range;
                break;
            }
            int64_t r = op.code == SHL       ? shift_left(a, b)
                        : op.code == SHR     ? shift_right(a, b)
                        : op.code == BIT_AND ? (a & b)
                        : op.code == BIT_OR  ? (a | b)
                                             : (a ^ b);
            *left = number(r);
            --sp;
            break;
        }
        case EQ:
        case NE:
        case LT:
        case LE:
        case GT:
        case GE: {
            bool r;
            if (left->is_float || top->is_float) {
                double a = as_double(*left), b = as_double(*top);
                r = op.code == EQ   ? a == b
                    : op.code == NE ? a != b
                    : op.code == LT ? a < b
                    : op.code == LE ? a <= b
                    : op.code == GT ? a > b
                                    : a >= b;
            } else {
                int64_t a = left->i, b = top->i;
                r = op.code == EQ   ? a == b
                    : op.code == NE ? a != b
                    : op.code == LT ? a < b
                    : op.code == LE ? a <= b
                    : op.code == GT ? a > b
                                    : a >= b;
            }
            *left = number(r ? 1 : 0);
            --sp;
            break;
        }
        case JUMP:
            pc = size_t(op.slot) - 1;
            break;
        case JUMP_IF_FALSE:
            --sp;
            if (!truth(*top))
                pc = size_t(op.slot) - 1;
            break;
        case AND_JUMP:
        case OR_JUMP: {
            bool t = truth(*top);
            if (t == (op.code == OR_JUMP)) {
                *top = number(t ? 1 : 0);
                pc = size_t(op.slot) - 1;
            } else {
                --sp;
            }
            break;
        }
        case FN_SGN: {
            int s = top->is_float ? (top->f > 0) - (top->f < 0) : (top->i > 0) - (top->i < 0);
            *top = number(s);
            break;
        }
        case FN_ABS:
            if (top->is_float)
                top->f = std::fabs(top->f);
            else if (top->i < 0)
                top->i = wrap(0 - uint64_t(top->i));
            break;
        case FN_TRUNC:
        case FN_FLOOR:
        case FN_CEIL:
        case FN_ROUND:
            if (top->is_float)
                top->f = op.code == FN_TRUNC   ? std::trunc(top->f)
                         : op.code == FN_FLOOR ? std::floor(top->f)
                         : op.code == FN_CEIL  ? std::ceil(top->f)
                                               : std::round(top->f);
            break;
        case FN_ROUND2: {
            int64_t digits;
            if (!to_int(*top, &digits)) {
                failure = out_of_range;
                break;
            }
            if (left->is_float || digits < 0)
                *left = float_value(round_to(as_double(*left), digits));
            --sp;
            break;
        }
        default: {
            double x = as_double(*top);
            double r;
            switch (op.code) {
            case FN_ATAN:
                r = std::atan(x);
                break;
            case FN_COS:
                r = std::cos(x);
                break;
            case FN_SIN:
                r = std::sin(x);
                break;
            case FN_TAN:
                r = std::tan(x);
                break;
            case FN_EXP:
                r = std::exp(x);
                break;
            case FN_LN:
                r = std::log(x);
                break;
            case FN_LG:
                r = std::log10(x);
                break;
            case FN_SQRT:
                r = std::sqrt(x);
                break;
            case FN_ASIN:
                r = std::asin(x);
                break;
            case FN_ACOS:
                r = std::acos(x);
                break;
            default:
                r = std::numeric_limits<double>::quiet_NaN();
                break;
            }
            *top = float_value(r);
            break;
        }
        }
        if (failure) {
            if (error)
                *error = failure;
            return false;
        }
    }
    *result = stack[0];
    return true;
}

}  // namespace

bool Formula::parse(const std::string& text, const std::function<int(const std::string&)>& resolve, std::string* error)
{
    code_.clear();
    slots_.clear();
    stack_ = 0;
    std::string message;
    if (text.size() > MAX_FORMULA_TEXT) {
        message = "formula longer than " + std::to_string(MAX_FORMULA_TEXT) + " characters";
    } else {
        Compiler compiler(text, resolve, code_, slots_);
        if (compiler.run(&stack_))
            return true;
        message = compiler.error;
    }
    code_.clear();
    slots_.clear();
    stack_ = 0;
    if (error)
        *error = message;
    return false;
}

bool Formula::eval_int(const int64_t* vars, int64_t* out, const char** error) const
{
    if (code_.empty()) {
        if (error)
            *error = not_parsed;
        return false;
    }
    Value v;
    if (!run(code_, false, vars, nullptr, &v, error))
        return false;
    if (v.is_float && !std::isfinite(v.f)) {
        if (error)
            *error = not_finite;
        return false;
    }
    int64_t i;
    if (!to_int(v, &i)) {
        if (error)
            *error = out_of_range;
        return false;
    }
    if (out)
        *out = i;
    return true;
}

bool Formula::eval_float(const double* vars, double* out, const char** error) const
{
    if (code_.empty()) {
        if (error)
            *error = not_parsed;
        return false;
    }
    Value v;
    if (!run(code_, true, nullptr, vars, &v, error))
        return false;
    double f = as_double(v);
    if (!std::isfinite(f)) {
        if (error)
            *error = not_finite;
        return false;
    }
    if (out)
        *out = f;
    return true;
}

}  // namespace genicam
