// The formula language of SwissKnife, IntSwissKnife, Converter and
// IntConverter nodes: what each operator and function computes, in integers
// and in doubles, and how malformed formulas and impossible arithmetic are
// refused.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <string>

#include "genicam/genicam_formula.h"

namespace {

using genicam::Formula;

// Variables as a node would name them, in slots 0..3.
int resolve(const std::string& name)
{
    if (name == "X")
        return 0;
    if (name == "Y")
        return 1;
    if (name == "Reg.Value")
        return 2;
    if (name == "_w2")
        return 3;
    return -1;
}

const int64_t int_vars[] = {10, -3, 0x1234, 7};
const double float_vars[] = {2.5, -0.5, 4660.0, 7.0};

// The formula's value in integer arithmetic; fails the test when it does
// not parse or evaluate.
int64_t as_int(const std::string& text)
{
    Formula f;
    std::string error;
    EXPECT_TRUE(f.parse(text, resolve, &error)) << text << ": " << error;
    int64_t out = 0;
    const char* why = "";
    EXPECT_TRUE(f.eval_int(int_vars, &out, &why)) << text << ": " << why;
    return out;
}

double as_float(const std::string& text)
{
    Formula f;
    std::string error;
    EXPECT_TRUE(f.parse(text, resolve, &error)) << text << ": " << error;
    double out = 0;
    const char* why = "";
    EXPECT_TRUE(f.eval_float(float_vars, &out, &why)) << text << ": " << why;
    return out;
}

std::string parse_error(const std::string& text)
{
    Formula f;
    std::string error;
    EXPECT_FALSE(f.parse(text, resolve, &error)) << text;
    EXPECT_TRUE(f.empty()) << text;
    return error;
}

TEST(Formula, PrecedenceFromLoosestToTightest)
{
    // Each pair shows one level binding tighter than the one before it:
    // ?:  ||  &&  |  ^  &  = <>  < <= > >=  << >>  + -  * / %  **  unary.
    struct {
        const char* text;
        int64_t value;
    } cases[] = {
        {"0 || 1 ? 5 : 6", 5},  // ?: below ||
        {"1 || 0 && 0", 1},     // && above ||
        {"0 && 1 | 1", 0},      // | above &&
        {"1 | 3 ^ 3", 1},       // ^ above |
        {"6 ^ 3 & 1", 7},       // & above ^
        {"1 & 2 = 2", 1},       // = above &
        {"2 = 1 < 3", 0},       // < above =
        {"1 < 1 << 1", 1},      // << above <
        {"1 << 1 + 1", 4},      // + above <<
        {"16 >> 1 + 1", 4},     //
        {"2 + 3 * 4", 14},      // * above +
        {"10 - 6 / 2", 7},      //
        {"10 - 7 % 4", 7},      //
        {"2 * 3 ** 2", 18},     // ** above *
        {"-2 ** 2", 4},         // unary minus binds tighter than **
        {"2 ** -1 * 4", 2},     // a unary operand on the right of **
        {"~0 & 7", 7},          // ~ is unary, not a low binding operator
        {"!0 + 1", 2},          //
        {"(2 + 3) * 4", 20},    // parentheses
        {"SGN(-4) * 3", -3},    // functions are operands
    };
    for (const auto& c : cases)
        EXPECT_EQ(as_int(c.text), c.value) << c.text;
}

TEST(Formula, Associativity)
{
    EXPECT_EQ(as_int("20 - 5 - 3"), 12);  // left to right
    EXPECT_EQ(as_int("64 / 4 / 2"), 8);
    EXPECT_EQ(as_int("100 % 7 % 3"), 2);
    EXPECT_EQ(as_int("1 << 2 << 3"), 32);
    EXPECT_EQ(as_int("2 ** 3 ** 2"), 512);  // right to left
    EXPECT_EQ(as_int("1 ? 2 : 0 ? 3 : 4"), 2);
    EXPECT_EQ(as_int("0 ? 2 : 0 ? 3 : 4"), 4);
    EXPECT_EQ(as_int("0 ? 2 : 1 ? 3 : 4"), 3);
    EXPECT_EQ(as_int("1 ? 0 ? 5 : 6 : 7"), 6);  // a ternary in the middle branch
    EXPECT_EQ(as_int("- - 3"), 3);
    EXPECT_EQ(as_int("!!5"), 1);
    EXPECT_EQ(as_int("~~5"), 5);
}

TEST(Formula, LiteralsVariablesAndWhitespace)
{
    EXPECT_EQ(as_int("0x1F + 0X10"), 47);
    EXPECT_EQ(as_int("0xFFFFFFFFFFFFFFFF"), -1);  // a 64-bit mask keeps its bits
    EXPECT_EQ(as_int("0x7FFFFFFFFFFFFFFF"), INT64_MAX);
    EXPECT_EQ(as_int("9223372036854775807"), INT64_MAX);
    EXPECT_EQ(as_int("007"), 7);
    EXPECT_DOUBLE_EQ(as_float("1.5e3 + 2E-1 + .25 + 3."), 1503.45);
    EXPECT_EQ(as_int("X + Y + Reg.Value + _w2"), 10 - 3 + 0x1234 + 7);
    EXPECT_EQ(as_int(" \t( X\n*\r2 ) "), 20);

    Formula f;
    ASSERT_TRUE(f.parse("X * X + Y + X", resolve, nullptr));
    EXPECT_EQ(f.slots(), (std::vector<int>{0, 1}));  // each slot once, in order of use
    ASSERT_TRUE(f.parse("PI * 2", resolve, nullptr));
    EXPECT_TRUE(f.slots().empty());  // parsing again starts afresh
}

TEST(Formula, IntegerArithmetic)
{
    EXPECT_EQ(as_int("7 / 2"), 3);  // truncating division, remainder as in C
    EXPECT_EQ(as_int("-7 / 2"), -3);
    EXPECT_EQ(as_int("-7 % 3"), -1);
    EXPECT_EQ(as_int("7 % -3"), 1);
    EXPECT_EQ(as_int("(7 / 2) * 2"), 6);
    EXPECT_EQ(as_int("X / 4"), 2);
    EXPECT_EQ(as_int("3 ** 4"), 81);
    EXPECT_EQ(as_int("5 ** 0"), 1);
    EXPECT_EQ(as_int("X & 0xC | 1"), 9);
    EXPECT_EQ(as_int("X ^ 0xF"), 5);
    EXPECT_EQ(as_int("~X"), -11);
    EXPECT_EQ(as_int("(Reg.Value >> 4) & 0xFF"), 0x23);
    EXPECT_EQ(as_int("-16 >> 2"), -4);  // the sign is kept

    // Wrap-around in two's complement instead of undefined behaviour.
    EXPECT_EQ(as_int("9223372036854775807 + 1"), INT64_MIN);
    EXPECT_EQ(as_int("-9223372036854775807 - 2"), INT64_MAX);
    EXPECT_EQ(as_int("0x4000000000000000 * 4"), 0);
    EXPECT_EQ(as_int("-(0x8000000000000000)"), INT64_MIN);
    EXPECT_EQ(as_int("ABS(0x8000000000000000)"), INT64_MIN);
    EXPECT_EQ(as_int("2 ** 64"), 0);
    EXPECT_EQ(as_int("0x8000000000000000 % -1"), 0);

    // Shifts by any count are defined.
    EXPECT_EQ(as_int("1 << 63"), INT64_MIN);
    EXPECT_EQ(as_int("1 << 64"), 0);
    EXPECT_EQ(as_int("1 << -1"), 0);
    EXPECT_EQ(as_int("256 >> 64"), 0);
    EXPECT_EQ(as_int("-256 >> 100"), -1);
    EXPECT_EQ(as_int("256 >> -3"), 0);

    // Comparisons and logic give 0 or 1; && and || look only at truth.
    EXPECT_EQ(as_int("(X > 5) + (X >= 10) + (X < 10) + (X <= 9) + (X = 10) + (X <> 10)"), 3);
    EXPECT_EQ(as_int("5 && 7"), 1);
    EXPECT_EQ(as_int("0 || -2"), 1);
}

TEST(Formula, FloatsInsideIntegerFormulas)
{
    // A float literal, PI or a float function makes the value a double until
    // the end; the result is truncated toward zero.
    EXPECT_EQ(as_int("X * 1.5"), 15);
    EXPECT_EQ(as_int("7 / 2.0 * 2"), 7);
    EXPECT_EQ(as_int("-2.7 + 0"), -2);
    EXPECT_EQ(as_int("TRUNC(X * PI)"), 31);
    EXPECT_EQ(as_int("SQRT(X * X)"), 10);
    EXPECT_EQ(as_int("2 ** -1 * 8"), 4);  // a negative power is a fraction
    EXPECT_EQ(as_int("1.9 & 3"), 1);      // bit operators take integers
}

TEST(Formula, FloatArithmetic)
{
    EXPECT_DOUBLE_EQ(as_float("7 / 2"), 3.5);  // no integer division in float formulas
    EXPECT_DOUBLE_EQ(as_float("(X & 7) / (_w2 & 3)"), 2.0 / 3.0);
    EXPECT_DOUBLE_EQ(as_float("X * 2 + Y"), 4.5);
    EXPECT_DOUBLE_EQ(as_float("2 ** 0.5"), std::sqrt(2.0));
    EXPECT_DOUBLE_EQ(as_float("-X ** 2"), 6.25);
    EXPECT_DOUBLE_EQ(as_float("X % 2"), 0.0);  // remainder and bits on the integer part
    EXPECT_DOUBLE_EQ(as_float("_w2 % 4"), 3.0);
    EXPECT_DOUBLE_EQ(as_float("Reg.Value >> 4"), 291.0);
    EXPECT_DOUBLE_EQ(as_float("X > 2.4"), 1.0);
    EXPECT_DOUBLE_EQ(as_float("X = 2.5 ? Y : 9"), -0.5);
    EXPECT_DOUBLE_EQ(as_float("1e308 * 10 > 0 ? 1 : 0"), 1.0);  // only the result must be finite
}

TEST(Formula, EveryFunctionAndConstant)
{
    const double pi = 3.14159265358979323846;
    EXPECT_DOUBLE_EQ(as_float("PI"), pi);
    EXPECT_DOUBLE_EQ(as_float("E"), std::exp(1.0));
    EXPECT_DOUBLE_EQ(as_float("SGN(Y) + SGN(X) * 10 + SGN(0) * 100"), 9.0);
    EXPECT_DOUBLE_EQ(as_float("NEG(X)"), -2.5);
    EXPECT_DOUBLE_EQ(as_float("ATAN(1)"), pi / 4);
    EXPECT_DOUBLE_EQ(as_float("COS(PI)"), -1.0);
    EXPECT_NEAR(as_float("SIN(PI / 2)"), 1.0, 1e-15);
    EXPECT_NEAR(as_float("TAN(PI / 4)"), 1.0, 1e-15);
    EXPECT_DOUBLE_EQ(as_float("ABS(Y)"), 0.5);
    EXPECT_DOUBLE_EQ(as_float("EXP(1)"), std::exp(1.0));
    EXPECT_NEAR(as_float("LN(E ** 2)"), 2.0, 1e-15);
    EXPECT_DOUBLE_EQ(as_float("LG(1000)"), 3.0);
    EXPECT_DOUBLE_EQ(as_float("SQRT(16)"), 4.0);
    EXPECT_DOUBLE_EQ(as_float("TRUNC(-2.7) + TRUNC(2.7)"), 0.0);
    EXPECT_DOUBLE_EQ(as_float("FLOOR(-2.5)"), -3.0);
    EXPECT_DOUBLE_EQ(as_float("CEIL(-2.5)"), -2.0);
    EXPECT_DOUBLE_EQ(as_float("ROUND(2.5) + ROUND(-2.5)"), 0.0);  // halves away from zero
    EXPECT_DOUBLE_EQ(as_float("ROUND(2.4)"), 2.0);
    EXPECT_DOUBLE_EQ(as_float("ROUND(3.14159, 2)"), 3.14);  // with the number of decimals
    EXPECT_DOUBLE_EQ(as_float("ROUND(1234.5, -2)"), 1200.0);
    EXPECT_DOUBLE_EQ(as_float("ROUND(X, 400)"), 2.5);
    EXPECT_DOUBLE_EQ(as_float("ASIN(1)"), pi / 2);
    EXPECT_DOUBLE_EQ(as_float("ACOS(-1)"), pi);

    // In integer formulas the rounding functions leave integers alone.
    EXPECT_EQ(as_int("SGN(Y)"), -1);
    EXPECT_EQ(as_int("NEG(X) + ABS(Y)"), -7);
    EXPECT_EQ(as_int("FLOOR(X) + CEIL(X) + ROUND(X) + TRUNC(X) + ROUND(X, 3)"), 50);
    EXPECT_EQ(as_int("ROUND(1250, -2)"), 1300);
    EXPECT_EQ(as_int("FLOOR(-7 / 2.0)"), -4);

    // Function names in any case; the constants only as written here.
    EXPECT_DOUBLE_EQ(as_float("sqrt(4) + Abs(-1)"), 3.0);
    EXPECT_NE(parse_error("pi").find("unknown variable 'pi'"), std::string::npos);
}

TEST(Formula, ShortCircuitKeepsGuardedDivisionsSafe)
{
    // The branch not taken is not evaluated: the usual guard against a zero divisor.
    EXPECT_EQ(as_int("X - 10 = 0 ? 0 : 100 / (X - 10)"), 0);
    EXPECT_EQ(as_int("X - 10 <> 0 && 100 / (X - 10) > 1"), 0);
    EXPECT_EQ(as_int("X - 10 = 0 || 100 / (X - 10) > 1"), 1);
    EXPECT_DOUBLE_EQ(as_float("1 ? 2 : LN(0)"), 2.0);
}

TEST(Formula, ImpossibleArithmeticFailsWithAReason)
{
    struct {
        const char* text;
        const char* reason;
    } cases[] = {
        {"X / 0", "division by zero"},
        {"X % (Y + 3)", "division by zero"},
        {"0x8000000000000000 / -1", "integer division overflow"},
        {"X / 0.0", "division by zero"},
        {"1e300 * 1e300", "result is not a finite number"},
        {"1e19 & 1", "value outside the 64-bit integer range"},
        {"1e19 + 0", "value outside the 64-bit integer range"},
        {"SQRT(-1)", "result is not a finite number"},
    };
    for (const auto& c : cases) {
        Formula f;
        ASSERT_TRUE(f.parse(c.text, resolve, nullptr)) << c.text;
        int64_t out = 42;
        const char* why = nullptr;
        EXPECT_FALSE(f.eval_int(int_vars, &out, &why)) << c.text;
        EXPECT_STREQ(why, c.reason) << c.text;
    }
    // And as floats, where division by zero is refused too.
    for (const char* text : {"X / 0", "X / (Y + 0.5)", "X % 0", "LN(0)", "1e308 * 10"}) {
        Formula f;
        ASSERT_TRUE(f.parse(text, resolve, nullptr)) << text;
        double out = 0;
        const char* why = nullptr;
        EXPECT_FALSE(f.eval_float(float_vars, &out, &why)) << text;
        EXPECT_NE(why, nullptr) << text;
    }
    Formula never_parsed;
    int64_t out = 0;
    const char* why = nullptr;
    EXPECT_FALSE(never_parsed.eval_int(int_vars, &out, &why));
    EXPECT_STREQ(why, "formula not parsed");
}

TEST(Formula, MalformedTextIsRefusedNamingTokenAndPosition)
{
    struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"", "empty formula"},
        {"   ", "empty formula"},
        {"(X + 1", "unclosed '(' at position 0"},
        {"X + 1)", "unexpected ')' at position 5"},
        {"X +", "unexpected end of formula at position 3"},
        {"X + * 2", "unexpected '*' at position 4"},
        {"X Y", "unexpected 'Y' at position 2"},
        {"X + Z", "unknown variable 'Z' at position 4"},
        {"FOO(1)", "unknown function 'FOO' at position 0"},
        {"SIN(1, 2)", "SIN takes 1 argument, not 2: call of 'SIN' at position 0"},
        {"ROUND()", "ROUND takes 1 or 2 arguments, not 0: call of 'ROUND' at position 0"},
        {"ROUND(1, 2, 3)", "ROUND takes 1 or 2 arguments, not 3"},
        {"SQRT(4", "unclosed call of 'SQRT' at position 0"},
        {"X ? 1", "'?' without ':'"},
        {"X : 1", "unexpected ':' at position 2"},
        {"X == 1", "unexpected '=' at position 3"},
        {"X != 1", "unexpected '!' at position 2"},
        {"2 $ 3", "unexpected character '$' at position 2"},
        {"12abc", "malformed number '12abc' at position 0"},
        {"0x", "malformed number '0x' at position 0"},
        {"0x1G", "malformed number '0x1G' at position 0"},
        {"1.2.3", "malformed number '1.2.3' at position 0"},
        {"0x10000000000000000", "integer literal wider than 64 bits"},
        {"9223372036854775808", "integer literal out of range"},
        {"1e999", "float literal out of range"},
        {"X\x01", "unexpected character '\\x01' at position 1"},
        {"X +\xff", "unexpected character '\\xFF' at position 3"},
        {"(,)", "unexpected ',' at position 1"},
    };
    for (const auto& c : cases) {
        std::string error = parse_error(c.text);
        EXPECT_NE(error.find(c.message), std::string::npos) << c.text << " gave: " << error;
    }
    // A failed parse leaves nothing behind that could be evaluated.
    Formula f;
    ASSERT_TRUE(f.parse("X + 1", resolve, nullptr));
    ASSERT_FALSE(f.parse("X +", resolve, nullptr));
    int64_t out = 0;
    const char* why = nullptr;
    EXPECT_FALSE(f.eval_int(int_vars, &out, &why));
    // No resolver: every variable is unknown.
    EXPECT_FALSE(f.parse("X", nullptr, nullptr));
}

TEST(Formula, NestingAndLengthLimits)
{
    auto nested = [](int depth) { return std::string(depth, '(') + "1" + std::string(depth, ')'); };
    EXPECT_EQ(as_int(nested(genicam::MAX_FORMULA_DEPTH)), 1);
    EXPECT_NE(parse_error(nested(genicam::MAX_FORMULA_DEPTH + 1)).find("nests deeper than 64"), std::string::npos);
    EXPECT_NE(parse_error(nested(30000)).find("nests deeper"), std::string::npos);
    EXPECT_NE(parse_error(std::string(60000, '-') + "1").find("nests deeper"), std::string::npos);
    EXPECT_NE(parse_error("SIN(" + nested(100) + ")").find("nests deeper"), std::string::npos);

    std::string power = "1";
    for (int i = 0; i < 1000; ++i)
        power += "**1";
    EXPECT_NE(parse_error(power).find("nests deeper"), std::string::npos);

    // Long left-to-right chains do not nest and stay within the stack.
    std::string sum = "0";
    for (int i = 0; i < 5000; ++i)
        sum += "+1";
    EXPECT_EQ(as_int(sum), 5000);

    std::string longest(64 * 1024 - 1, ' ');
    longest += "1";
    EXPECT_EQ(as_int(longest), 1);
    EXPECT_NE(parse_error(longest + " ").find("longer than 65536"), std::string::npos);
}

}  // namespace
