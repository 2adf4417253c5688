// The evaluator's node graph: what each node of the description holds once
// read, with every reference resolved to an index, and the state (cached
// register bytes, host-side values) that evaluation keeps between calls.
// Private to src/genicam.
#ifndef VORA_GENICAM_GRAPH_H
#define VORA_GENICAM_GRAPH_H

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "genicam/genicam_evaluator.h"
#include "genicam/genicam_formula.h"

namespace genicam {

// The element a node was read from; decides its value rules.
enum class Tag : uint8_t {
    Node,
    Category,
    Integer,
    IntReg,
    MaskedIntReg,
    IntSwissKnife,
    IntConverter,
    Float,
    FloatReg,
    SwissKnife,
    Converter,
    Boolean,
    Command,
    Enumeration,
    String,
    StringReg,
    Register,
    StructEntry,
    Port,
    Unsupported
};

enum class Cachable : uint8_t { NoCache, WriteThrough, WriteAround };

// A property given either as a literal or by naming another node (pX).
struct Operand {
    bool present = false;
    int node = -1;  // the named node, or -1 for the literal
    int64_t i = 0;
    double f = 0;
};

// A formula variable: a node's value (or one of its bounds), a constant, a
// sub-expression, or the converter's TO/FROM.
struct Variable {
    enum Source : uint8_t { NodeValue, NodeMin, NodeMax, NodeInc, Constant, Expression, Raw } source = NodeValue;
    std::string name;
    int node = -1;
    int expression = -1;  // index into Node::expressions
    int64_t i = 0;
    double f = 0;
};

struct Entry {
    std::string full_name;  // EnumEntry_<Enumeration>_<symbolic>
    std::string symbolic;
    std::string display_name;
    int64_t value = 0;
    int p_implemented = -1, p_available = -1;
};

struct IndexedValue {
    int64_t index = 0;
    Operand value;
};

// Register bytes as last read or written, shared by the nodes that read the
// same bytes (the entries of one StructReg, masked fields of one register).
struct Cache {
    std::vector<uint8_t> bytes;
    uint64_t address = 0;
    bool valid = false;
    std::chrono::steady_clock::time_point stamp;
    int block = -1;           // index into Impl::blocks: read together with its neighbours
    bool prefetched = false;  // filled by a neighbour's read and not read since
};

// Registers at fixed, adjacent addresses, read with one port read: the
// caches of every member are filled from it.
struct Block {
    uint64_t address = 0;
    size_t length = 0;
    struct Member {
        int cache = -1;
        uint64_t address = 0;
        size_t length = 0;
    };
    std::vector<Member> members;
    bool failed = false;  // the device refused it once: members are read alone
};

// The longest run of registers read at once: what one READMEM carries.
constexpr size_t MAX_BLOCK_BYTES = 512;

struct Node {
    std::string name;
    Tag tag = Tag::Node;
    Kind kind = Kind::Base;
    std::string display_name, tooltip, description, unit;
    Visibility visibility = Visibility::Beginner;
    Representation representation = Representation::None;
    Access declared = Access::RW;
    Access imposed = Access::RW;
    int p_implemented = -1, p_available = -1, p_locked = -1;
    bool feature = false;  // listed by names()

    // Value: literal (host-side, writable) or pValue.
    Operand value;
    std::vector<int> value_copies;
    int p_index = -1;  // Integer/Float: selects among indexed values
    std::vector<IndexedValue> indexed;
    Operand value_default;
    Operand min, max, inc;
    std::string string_value;  // String's host-side value

    // Boolean, Command.
    int64_t on_value = 1, off_value = 0;
    Operand command_value;

    std::vector<Entry> entries;  // Enumeration

    // Registers.
    std::vector<int64_t> addresses;
    std::vector<int> p_addresses;
    struct IndexTerm {
        int node = -1;
        Operand offset;
    };
    std::vector<IndexTerm> indexes;
    std::vector<int> address_knives;  // inline IntSwissKnife address parts (hidden nodes)
    Operand length;
    bool little_endian = true;
    bool is_signed = false;
    bool has_bits = false;
    int lsb = 0, msb = 0;  // as the description numbers them
    Cachable cachable = Cachable::WriteThrough;
    int64_t polling_ms = 0;
    int p_port = -1;
    int cache = -1;  // index into Impl::caches
    std::vector<int> invalidators;

    // Formulas.
    std::vector<Variable> variables;
    std::vector<Formula> expressions;
    Formula formula;     // SwissKnife, or Converter's FormulaFrom
    Formula formula_to;  // Converter's FormulaTo
    int raw_slot = -1;   // Converter: TO in FormulaFrom
    int from_slot = -1;  // Converter: FROM in FormulaTo

    std::vector<int> features;  // Category
    std::vector<int> selected;  // pSelected
    std::vector<int> selectors;

    // Resolved at build time.
    std::vector<int> deps;         // every node this one reads through
    std::vector<int> writes;       // the nodes a write here writes through (not itself)
    std::vector<int> invalidated;  // nodes whose pInvalidator names this one
    std::vector<int> reach;        // register nodes this one reads through, transitively
    std::string broken;            // why it cannot be evaluated; empty when sound

    // The value as evaluated in the present call (valid while the epochs
    // match), so that a node shared by many others is evaluated once.
    uint64_t int_epoch = 0, float_epoch = 0;
    int64_t int_memo = 0;
    double float_memo = 0;
};

class Evaluator::Impl {
public:
    // genicam_graph.cpp
    void build(const pugi::xml_node& root);

    // genicam_nodes.cpp: values under the lock; each answers 0 or a status
    // with error() set.
    int access(int n, Access* out, int depth);
    int get_int(int n, int64_t* out, int depth);
    int get_float(int n, double* out, int depth);
    int compute_int(int n, int64_t* out, int depth);
    int compute_float(int n, double* out, int depth);
    int set_int(int n, int64_t v, int depth);
    int set_float(int n, double v, int depth);
    int int_bounds(int n, int64_t* min, int64_t* max, int64_t* inc, int depth);
    int float_bounds(int n, double* min, double* max, double* inc, bool* has_inc, int depth);
    int entry_available(int n, const Entry& e, bool* out, int depth);
    int get_str(int n, std::string* out, int depth);
    int set_str(int n, const std::string& v, int depth);
    int operand_int(const Operand& o, int64_t* out, int depth);
    int operand_float(const Operand& o, double* out, int depth);
    int flag(int n, bool* out, int depth);  // pIsAvailable and its kin

    // genicam_registers.cpp
    int reg_address(int n, uint64_t* out, int depth);
    int reg_length(int n, int64_t* out, int depth);
    int reg_read(int n, const uint8_t** bytes, int64_t* length, int depth);
    bool read_block(int b, int wanted);
    int reg_write(int n, const uint8_t* bytes, int64_t length, int depth);
    int reg_get_int(int n, int64_t* out, int depth);
    int reg_set_int(int n, int64_t v, int depth);
    int reg_int_bounds(int n, int64_t* min, int64_t* max, int depth);
    int reg_get_float(int n, double* out, int depth);
    int reg_set_float(int n, double v, int depth);
    void after_write(int n);
    // Before a write: the caches of the bytes written, and every prefetched one.
    void drop_overlapping(uint64_t address, uint64_t length);

    // Failure helpers: set the thread's message and answer the status.
    int fail(int status, const std::string& message);
    int fail_node(int status, int n, const std::string& message);
    int check_depth(int n, int depth);

    std::vector<Node> nodes;
    std::unordered_map<std::string, int> by_name;
    std::vector<Cache> caches;
    std::vector<Block> blocks;
    std::vector<std::string> problems;
    std::vector<int> categories;
    Port* port = nullptr;
    uint64_t port_reads = 0;
    // Bounds the work one call may do, so that a description whose nodes
    // share sub-graphs many times over cannot make a call run for ages.
    uint64_t steps = 0;
    // Values evaluated since the epoch last moved are reused; it moves at
    // every public call and every write.
    uint64_t epoch = 1;
    // names(): which nodes a walk of the category tree has met.
    std::vector<uint64_t> visited;
    uint64_t visit_mark = 0;
    std::mutex lock;
};

// How many node evaluations one public call may make.
constexpr uint64_t MAX_STEPS_PER_CALL = 200000;

std::string& evaluator_error();

}  // namespace genicam

#endif
