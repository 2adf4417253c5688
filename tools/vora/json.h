// JSON output of the vora tool: a writer that builds one document (or one
// line of a JSON-lines file) in the order the keys are given, so that the
// documented keys come out the same way every run.
#ifndef VORA_TOOL_JSON_H
#define VORA_TOOL_JSON_H

#include <string>
#include <vector>

namespace vora_tool {

class JsonWriter {
public:
    // pretty: two-space indentation; otherwise everything on one line.
    explicit JsonWriter(bool pretty = true) : pretty_(pretty) {}

    JsonWriter& begin_object();
    JsonWriter& end_object();
    JsonWriter& begin_array();
    JsonWriter& end_array();
    // The key of the next value inside an object.
    JsonWriter& key(const std::string& name);

    JsonWriter& value(const std::string& text);
    JsonWriter& value(const char* text) { return value(std::string(text)); }
    JsonWriter& value(long long number);
    JsonWriter& value(unsigned long long number);
    JsonWriter& value(int number) { return value(static_cast<long long>(number)); }
    JsonWriter& value(unsigned number) { return value(static_cast<unsigned long long>(number)); }
    JsonWriter& value(long number) { return value(static_cast<long long>(number)); }
    JsonWriter& value(unsigned long number) { return value(static_cast<unsigned long long>(number)); }
    JsonWriter& value(double number);  // null when not finite
    JsonWriter& value(bool flag);
    JsonWriter& null();

    // key(name).value(v) in one.
    template <typename T>
    JsonWriter& field(const std::string& name, const T& v)
    {
        return key(name).value(v);
    }

    // The document; ends with a newline.
    std::string text() const { return out_ + "\n"; }

private:
    void before_value();
    void newline();
    void put_string(const std::string& text);
    JsonWriter& close(char bracket);

    bool pretty_;
    std::string out_;
    std::vector<int> counts_;  // values written so far at each open level
    bool after_key_ = false;
};

}  // namespace vora_tool

#endif
