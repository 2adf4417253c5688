// Evaluates a camera's GenICam description: every feature by name, with the
// rules of GenApi schema 1.1 for values, bounds, access, selectors, caching
// and invalidation. Built once per connection from the parsed description;
// registers are read and written through a Port. Status codes are the
// library's (vora_base_type.h). Safe to call from several threads: calls are
// serialised on the evaluator's own lock.
#ifndef VORA_GENICAM_EVALUATOR_H
#define VORA_GENICAM_EVALUATOR_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "genicam/genicam_port.h"

namespace pugi {
class xml_node;
}

namespace genicam {

// Pointer chains (pValue to pValue to ...) and formula variables resolve at
// most this many levels deep; a longer chain is a description error.
constexpr int MAX_CHAIN_DEPTH = 64;

// The numbers of GenApi's interface types, access modes, visibilities and
// representations, so that they read the same in C, Python and the tool.
enum class Kind {
    Value = 0,
    Base = 1,
    Integer = 2,
    Boolean = 3,
    Command = 4,
    Float = 5,
    String = 6,
    Register = 7,
    Category = 8,
    Enumeration = 9,
    EnumEntry = 10,
    Port = 11
};
enum class Access { NI = 0, NA = 1, WO = 2, RO = 3, RW = 4 };
enum class Visibility { Beginner = 0, Expert = 1, Guru = 2, Invisible = 3 };
enum class Representation {
    Linear = 0,
    Logarithmic = 1,
    Boolean = 2,
    PureNumber = 3,
    HexNumber = 4,
    IPV4Address = 5,
    MACAddress = 6,
    None = 7  // the description gives none
};

struct EntryInfo {
    std::string name;  // symbolic
    int64_t value = 0;
    std::string display_name;
    bool available = true;  // after pIsAvailable/pIsImplemented
};

struct FeatureInfo {
    std::string name, display_name, tooltip, description, unit;
    Kind kind = Kind::Base;
    Access access = Access::NI;  // as of now: after pIsImplemented, pIsAvailable, pIsLocked, ImposedAccessMode
    Visibility visibility = Visibility::Beginner;
    Representation representation = Representation::None;
    // Integer and Float: bounds as evaluated now (Float's inc only when has_inc).
    bool has_range = false, has_inc = false;
    int64_t int_min = 0, int_max = 0, int_inc = 1;
    double float_min = 0, float_max = 0, float_inc = 0;
    int64_t length = 0;                  // String and Register: bytes
    std::vector<EntryInfo> entries;      // Enumeration
    std::vector<std::string> selectors;  // the features that select this one (pSelected pointing here)
    std::vector<std::string> selected;   // the features this one selects
    std::vector<std::string> features;   // Category: its pFeature list
};

class Evaluator {
public:
    // Builds the node graph from the RegisterDescription element. Never
    // fails as a whole for a bad node: a node that cannot be evaluated
    // (unknown reference, cycle, chain deeper than MAX_CHAIN_DEPTH, formula
    // that does not parse, length that does not fit, ...) is marked broken
    // with a message naming it, and using it answers VORA_ERR_DESCRIPTION.
    // Null only when root is not a RegisterDescription (*error says why).
    static std::unique_ptr<Evaluator> build(const pugi::xml_node& root, std::string* error);
    ~Evaluator();

    // Every problem found while building, one message per broken node.
    const std::vector<std::string>& problems() const;

    // The port registers are read and written through; null detaches (then
    // register access answers VORA_ERR_NOT_CONNECTED).
    void attach(Port* port);

    // Feature names (no categories, no entries) in description order; of
    // one category (its features, recursively through sub-categories) when
    // category is not empty. VORA_ERR_NO_NODE for an unknown category.
    int names(const std::string& category, std::vector<std::string>* out);
    // Categories, in description order.
    int categories(std::vector<std::string>* out);

    int describe(const std::string& name, FeatureInfo* info);

    // Typed access. Each checks kind (VORA_ERR_FEATURE_TYPE), access
    // (VORA_ERR_FEATURE_NOT_AVAILABLE, VORA_ERR_FEATURE_NOT_READABLE,
    // VORA_ERR_FEATURE_NOT_WRITABLE), bounds (VORA_ERR_FEATURE_RANGE) and
    // increment (VORA_ERR_FEATURE_INCREMENT) before touching a register.
    // An Integer getter also reads an Enumeration's value, a Boolean's 0/1.
    int get_int(const std::string& name, int64_t* value);
    int set_int(const std::string& name, int64_t value);
    int get_float(const std::string& name, double* value);  // Integer too
    int set_float(const std::string& name, double value);
    int get_bool(const std::string& name, bool* value);
    int set_bool(const std::string& name, bool value);
    int get_string(const std::string& name, std::string* value);
    int set_string(const std::string& name, const std::string& value);
    int get_enum(const std::string& name, std::string* symbolic, int64_t* value);
    int set_enum(const std::string& name, const std::string& symbolic);
    int set_enum_value(const std::string& name, int64_t value);
    int get_bytes(const std::string& name, std::vector<uint8_t>* bytes);  // Register
    int set_bytes(const std::string& name, const std::vector<uint8_t>& bytes);
    int execute(const std::string& name);
    // A command's IsDone: true once its register no longer holds the command value.
    int is_done(const std::string& name, bool* done);

    // Forgets every cached register value (after a reconnect, or when the
    // camera may have changed them on its own).
    void invalidate_all();

    // The message of the last failure on this thread, naming the node.
    static const std::string& last_error();

    // How many times the port was asked to read, for the benchmark and tests.
    uint64_t port_reads() const;

    class Impl;

private:
    explicit Evaluator(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace genicam

#endif
