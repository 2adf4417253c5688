// The JSON writer.
#include "json.h"

#include <cmath>
#include <cstdio>

namespace vora_tool {

void JsonWriter::newline()
{
    if (!pretty_)
        return;
    out_ += '\n';
    out_.append(2 * counts_.size(), ' ');
}

void JsonWriter::before_value()
{
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!counts_.empty()) {
        if (counts_.back()++ > 0)
            out_ += ',';
        newline();
    }
}

JsonWriter& JsonWriter::begin_object()
{
    before_value();
    out_ += '{';
    counts_.push_back(0);
    return *this;
}

JsonWriter& JsonWriter::close(char bracket)
{
    const int count = counts_.back();
    counts_.pop_back();
    if (count > 0)
        newline();
    out_ += bracket;
    return *this;
}

JsonWriter& JsonWriter::end_object()
{
    return close('}');
}

JsonWriter& JsonWriter::begin_array()
{
    before_value();
    out_ += '[';
    counts_.push_back(0);
    return *this;
}

JsonWriter& JsonWriter::end_array()
{
    return close(']');
}

JsonWriter& JsonWriter::key(const std::string& name)
{
    before_value();
    put_string(name);
    out_ += pretty_ ? ": " : ":";
    after_key_ = true;
    return *this;
}

JsonWriter& JsonWriter::value(const std::string& text)
{
    before_value();
    put_string(text);
    return *this;
}

void JsonWriter::put_string(const std::string& text)
{
    out_ += '"';
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out_ += "\\\"";
            break;
        case '\\':
            out_ += "\\\\";
            break;
        case '\n':
            out_ += "\\n";
            break;
        case '\r':
            out_ += "\\r";
            break;
        case '\t':
            out_ += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out_ += escaped;
            } else {
                out_ += static_cast<char>(c);  // UTF-8 passes through
            }
        }
    }
    out_ += '"';
}

JsonWriter& JsonWriter::value(long long number)
{
    before_value();
    out_ += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(unsigned long long number)
{
    before_value();
    out_ += std::to_string(number);
    return *this;
}

JsonWriter& JsonWriter::value(double number)
{
    if (!std::isfinite(number))
        return null();
    before_value();
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", number);
    out_ += text;
    return *this;
}

JsonWriter& JsonWriter::value(bool flag)
{
    before_value();
    out_ += flag ? "true" : "false";
    return *this;
}

JsonWriter& JsonWriter::null()
{
    before_value();
    out_ += "null";
    return *this;
}

}  // namespace vora_tool
