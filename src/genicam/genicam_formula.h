// The formula language of SwissKnife, IntSwissKnife, Converter and
// IntConverter nodes, compiled once per node and evaluated without
// allocation.
#ifndef VORA_GENICAM_FORMULA_H
#define VORA_GENICAM_FORMULA_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace genicam {

// Formulas nest no deeper than this (parentheses, operators, function
// arguments); deeper ones are refused when parsed.
constexpr int MAX_FORMULA_DEPTH = 64;

class Formula {
public:
    // Compiles text. Each identifier that is not a constant or function of
    // the language is passed to resolve, which answers its variable slot
    // (>= 0) or -1 when the node has no such variable. False with the reason
    // in *error (naming the offending token and its position) when the text
    // does not parse, names an unknown variable or nests too deep.
    bool parse(const std::string& text, const std::function<int(const std::string&)>& resolve, std::string* error);

    // Integer formulas (IntSwissKnife, IntConverter) evaluate in 64-bit
    // signed arithmetic, float formulas (SwissKnife, Converter) in double.
    // vars[slot] holds each variable's value. False with a static message in
    // *error (division by zero, ...). Neither allocates.
    bool eval_int(const int64_t* vars, int64_t* out, const char** error) const;
    bool eval_float(const double* vars, double* out, const char** error) const;

    // The slots the formula reads, each once, so that a node evaluates only
    // the variables it needs.
    const std::vector<int>& slots() const { return slots_; }
    bool empty() const { return code_.empty(); }

    struct Op {
        int code;   // what to do (private to the implementation)
        int slot;   // variable slot, or argument count
        int64_t i;  // integer literal
        double f;   // float literal
    };

private:
    std::vector<Op> code_;  // postfix
    std::vector<int> slots_;
    int stack_ = 0;  // the deepest the evaluation stack gets
};

}  // namespace genicam

#endif
