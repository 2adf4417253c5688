// Register nodes: where their bytes are (Address, pAddress, address
// knives, pIndex times Offset), how long they are, the cache in front of the
// port, and the integer, bit-field and float views of the bytes.
#include <cstddef>
#include <cstdio>
#include <cstring>

#include "genicam/genicam_graph.h"
#include "vora_base_type.h"

namespace genicam {

namespace {

bool is_masked(const Node& node)
{
    return node.has_bits;
}

// Bit positions as the description numbers them, turned into shifts from the
// value's least significant bit. Little-endian registers number from their
// least significant bit, big-endian ones from their most significant bit.
void field(const Node& node, int64_t length, int* low, int* high)
{
    int lsb = node.lsb, msb = node.msb;
    if (!node.little_endian) {
        lsb = static_cast<int>(length * 8) - 1 - lsb;
        msb = static_cast<int>(length * 8) - 1 - msb;
    }
    // Either order is taken: the lower position is the field's lowest bit.
    *low = lsb < msb ? lsb : msb;
    *high = lsb < msb ? msb : lsb;
}

uint64_t load(const uint8_t* bytes, int64_t length, bool little)
{
    uint64_t v = 0;
    for (int64_t i = 0; i < length; ++i) {
        const uint8_t b = little ? bytes[length - 1 - i] : bytes[i];
        v = (v << 8) | b;
    }
    return v;
}

void store(uint8_t* bytes, int64_t length, bool little, uint64_t v)
{
    for (int64_t i = 0; i < length; ++i) {
        const uint8_t b = static_cast<uint8_t>(v >> (8 * i));
        if (little)
            bytes[i] = b;
        else
            bytes[length - 1 - i] = b;
    }
}

int64_t sign_extend(uint64_t v, int bits)
{
    if (bits >= 64)
        return static_cast<int64_t>(v);
    const uint64_t sign = uint64_t(1) << (bits - 1);
    v &= (uint64_t(1) << bits) - 1;
    return static_cast<int64_t>((v ^ sign) - sign);
}

}  // namespace

int Evaluator::Impl::reg_address(int n, uint64_t* out, int depth)
{
    Node& node = nodes[n];
    uint64_t address = 0;
    for (int64_t a : node.addresses)
        address += static_cast<uint64_t>(a);
    for (int p : node.p_addresses) {
        int64_t v = 0;
        if (int rc = get_int(p, &v, depth + 1))
            return rc;
        address += static_cast<uint64_t>(v);
    }
    for (int k : node.address_knives) {
        int64_t v = 0;
        if (int rc = get_int(k, &v, depth + 1))
            return rc;
        address += static_cast<uint64_t>(v);
    }
    for (const Node::IndexTerm& term : node.indexes) {
        int64_t index = 0, offset = 0;
        if (int rc = get_int(term.node, &index, depth + 1))
            return rc;
        if (term.offset.present) {
            if (int rc = operand_int(term.offset, &offset, depth + 1))
                return rc;
        } else if (int rc = reg_length(n, &offset, depth)) {
            return rc;
        }
        address += static_cast<uint64_t>(index) * static_cast<uint64_t>(offset);
    }
    *out = address;
    return 0;
}

int Evaluator::Impl::reg_length(int n, int64_t* out, int depth)
{
    Node& node = nodes[n];
    int64_t len = node.length.i;
    if (node.length.node >= 0) {
        if (int rc = get_int(node.length.node, &len, depth + 1))
            return rc;
    }
    const bool integer = node.tag == Tag::IntReg || node.tag == Tag::MaskedIntReg || node.tag == Tag::StructEntry;
    const int64_t most = integer ? 8 : 65536;
    if (len < 1 || len > most)
        return fail_node(VORA_ERR_DESCRIPTION, n,
                         "Length " + std::to_string(len) + " does not fit (1.." + std::to_string(most) + ")");
    if (node.tag == Tag::FloatReg && len != 4 && len != 8)
        return fail_node(VORA_ERR_DESCRIPTION, n, "Length " + std::to_string(len) + " is no float (4 or 8)");
    if (node.has_bits && (node.lsb >= len * 8 || node.msb >= len * 8))
        return fail_node(VORA_ERR_DESCRIPTION, n, "bits lie beyond its " + std::to_string(len) + " bytes");
    *out = len;
    return 0;
}

// The register's bytes, from the cache when the node's Cachable mode and
// PollingTime allow, else from the port.
int Evaluator::Impl::reg_read(int n, const uint8_t** bytes, int64_t* length, int depth)
{
    uint64_t address = 0;
    int64_t len = 0;
    if (int rc = reg_address(n, &address, depth))
        return rc;
    if (int rc = reg_length(n, &len, depth))
        return rc;
    Node& node = nodes[n];
    if (address > UINT64_MAX - static_cast<uint64_t>(len - 1))
        return fail_node(VORA_ERR_DESCRIPTION, n, "runs past the end of the address space");
    Cache& cache = caches[node.cache];
    if (node.p_port >= 0 && !nodes[node.p_port].broken.empty())
        return fail_node(VORA_ERR_DESCRIPTION, n, nodes[node.p_port].broken);
    const bool fresh = cache.valid && cache.address == address && cache.bytes.size() == static_cast<size_t>(len) &&
                       node.cachable != Cachable::NoCache &&
                       (node.polling_ms == 0 ||
                        std::chrono::steady_clock::now() - cache.stamp < std::chrono::milliseconds(node.polling_ms));
    if (fresh) {
        cache.prefetched = false;  // now read as its own, it stays like any other
    } else {
        if (!port)
            return fail_node(VORA_ERR_NOT_CONNECTED, n, "no device to read from");
        if (cache.block >= 0 && read_block(cache.block, node.cache) && cache.valid && cache.address == address &&
            cache.bytes.size() == static_cast<size_t>(len)) {
            *bytes = cache.bytes.data();
            *length = len;
            return 0;
        }
        cache.valid = false;
        cache.bytes.resize(static_cast<size_t>(len));
        ++port_reads;
        if (int rc = port->read(address, cache.bytes.data(), cache.bytes.size()))
            return fail_node(
                rc, n,
                "reading " + std::to_string(len) + " bytes at 0x" +
                    [&] {
                        char hex[24];
                        std::snprintf(hex, sizeof hex, "%llx", static_cast<unsigned long long>(address));
                        return std::string(hex);
                    }() +
                    " failed (" + std::to_string(rc) + ")");
        cache.address = address;
        cache.valid = true;
        cache.prefetched = false;
        cache.stamp = std::chrono::steady_clock::now();
    }
    *bytes = cache.bytes.data();
    *length = len;
    return 0;
}

// One port read for a run of adjacent registers, filling each one's cache
// (wanted: the one asked for). The others are prefetched: until read, any
// write drops them, since a write may change registers the description
// names no pInvalidator for, and a register never read before must not
// answer older than the write. A device that refuses the run (a register of
// it the device does not have) has its registers read one by one from then on.
bool Evaluator::Impl::read_block(int b, int wanted)
{
    Block& block = blocks[b];
    if (block.failed)
        return false;
    std::vector<uint8_t> all(block.length);
    ++port_reads;
    if (port->read(block.address, all.data(), all.size()) != 0) {
        block.failed = true;
        return false;
    }
    const auto now = std::chrono::steady_clock::now();
    for (const Block::Member& m : block.members) {
        Cache& c = caches[m.cache];
        const auto from = all.begin() + static_cast<std::ptrdiff_t>(m.address - block.address);
        c.bytes.assign(from, from + static_cast<std::ptrdiff_t>(m.length));
        c.address = m.address;
        c.valid = true;
        c.stamp = now;
        c.prefetched = m.cache != wanted;
    }
    return true;
}

int Evaluator::Impl::reg_write(int n, const uint8_t* bytes, int64_t length, int depth)
{
    uint64_t address = 0;
    if (int rc = reg_address(n, &address, depth))
        return rc;
    Node& node = nodes[n];
    if (length < 1 || address > UINT64_MAX - static_cast<uint64_t>(length - 1))
        return fail_node(VORA_ERR_DESCRIPTION, n, "runs past the end of the address space");
    if (!port)
        return fail_node(VORA_ERR_NOT_CONNECTED, n, "no device to write to");
    // Whatever else caches these bytes is stale from now on, whether or not
    // the write succeeds.
    ++epoch;
    drop_overlapping(address, static_cast<uint64_t>(length));
    if (int rc = port->write(address, bytes, static_cast<size_t>(length)))
        return fail_node(rc, n, "writing " + std::to_string(length) + " bytes failed (" + std::to_string(rc) + ")");
    if (node.cachable == Cachable::WriteThrough) {
        Cache& cache = caches[node.cache];
        cache.bytes.assign(bytes, bytes + length);
        cache.address = address;
        cache.valid = true;
        cache.prefetched = false;
        cache.stamp = std::chrono::steady_clock::now();
    }
    return 0;
}

void Evaluator::Impl::drop_overlapping(uint64_t address, uint64_t length)
{
    for (Cache& c : caches) {
        if (!c.valid)
            continue;
        if (c.prefetched) {
            c.valid = c.prefetched = false;
            continue;
        }
        // Differences rather than ends, so that ranges at the top of the
        // address space do not wrap around and miss each other.
        if (c.address - address < length || address - c.address < c.bytes.size())
            c.valid = false;
    }
}

int Evaluator::Impl::reg_get_int(int n, int64_t* out, int depth)
{
    const uint8_t* bytes = nullptr;
    int64_t len = 0;
    if (int rc = reg_read(n, &bytes, &len, depth))
        return rc;
    const Node& node = nodes[n];
    const uint64_t raw = load(bytes, len, node.little_endian);
    if (is_masked(node)) {
        int low = 0, high = 0;
        field(node, len, &low, &high);
        const int bits = high - low + 1;
        uint64_t v = raw >> low;
        if (bits < 64)
            v &= (uint64_t(1) << bits) - 1;
        *out = node.is_signed ? sign_extend(v, bits) : static_cast<int64_t>(v);
        return 0;
    }
    *out = node.is_signed ? sign_extend(raw, static_cast<int>(len * 8)) : static_cast<int64_t>(raw);
    return 0;
}

// The bounds the register's bits can hold.
int Evaluator::Impl::reg_int_bounds(int n, int64_t* min, int64_t* max, int depth)
{
    int64_t len = 0;
    if (int rc = reg_length(n, &len, depth))
        return rc;
    const Node& node = nodes[n];
    int bits = static_cast<int>(len * 8);
    if (is_masked(node)) {
        int low = 0, high = 0;
        field(node, len, &low, &high);
        bits = high - low + 1;
    }
    if (node.is_signed) {
        *min = bits >= 64 ? INT64_MIN : -(int64_t(1) << (bits - 1));
        *max = bits >= 64 ? INT64_MAX : (int64_t(1) << (bits - 1)) - 1;
    } else {
        *min = 0;
        // An unsigned 64-bit register holds more than int64_t can say.
        *max = bits >= 63 ? INT64_MAX : (int64_t(1) << bits) - 1;
    }
    return 0;
}

int Evaluator::Impl::reg_set_int(int n, int64_t v, int depth)
{
    const Node& node = nodes[n];
    int64_t len = 0;
    uint8_t bytes[8] = {0};
    uint64_t raw = static_cast<uint64_t>(v);
    if (is_masked(node)) {
        // The other bits of the register keep their values. The length is
        // the one read: a pLength may answer differently from one read to
        // the next, and the bytes in hand are what counts.
        const uint8_t* current = nullptr;
        if (int rc = reg_read(n, &current, &len, depth))
            return rc;
        int low = 0, high = 0;
        field(node, len, &low, &high);
        const int bits = high - low + 1;
        const uint64_t mask = (bits >= 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1) << low;
        raw = (load(current, len, node.little_endian) & ~mask) | ((raw << low) & mask);
    } else if (int rc = reg_length(n, &len, depth)) {
        return rc;
    }
    store(bytes, len, node.little_endian, raw);
    return reg_write(n, bytes, len, depth);
}

int Evaluator::Impl::reg_get_float(int n, double* out, int depth)
{
    const uint8_t* bytes = nullptr;
    int64_t len = 0;
    if (int rc = reg_read(n, &bytes, &len, depth))
        return rc;
    const uint64_t raw = load(bytes, len, nodes[n].little_endian);
    if (len == 4) {
        const uint32_t r32 = static_cast<uint32_t>(raw);
        float f = 0;
        std::memcpy(&f, &r32, 4);
        *out = f;
    } else {
        double d = 0;
        std::memcpy(&d, &raw, 8);
        *out = d;
    }
    return 0;
}

int Evaluator::Impl::reg_set_float(int n, double v, int depth)
{
    int64_t len = 0;
    if (int rc = reg_length(n, &len, depth))
        return rc;
    uint64_t raw = 0;
    if (len == 4) {
        const float f = static_cast<float>(v);
        uint32_t r32 = 0;
        std::memcpy(&r32, &f, 4);
        raw = r32;
    } else {
        std::memcpy(&raw, &v, 8);
    }
    uint8_t bytes[8] = {0};
    store(bytes, len, nodes[n].little_endian, raw);
    return reg_write(n, bytes, len, depth);
}

// After node n was written: the nodes whose pInvalidator names it, and the
// nodes it selects, read their registers afresh.
void Evaluator::Impl::after_write(int n)
{
    ++epoch;
    std::vector<int> start;
    for (int x : nodes[n].invalidated)
        start.push_back(x);
    for (int x : nodes[n].selected)
        start.push_back(x);
    if (start.empty())
        return;
    std::vector<char> seen(nodes.size(), 0);
    seen[n] = 1;  // its own value was just written
    while (!start.empty()) {
        const int x = start.back();
        start.pop_back();
        if (seen[x])
            continue;
        seen[x] = 1;
        if (nodes[x].cache >= 0)
            caches[nodes[x].cache].valid = false;
        for (int d : nodes[x].deps)
            if (!seen[d])
                start.push_back(d);
    }
}

}  // namespace genicam
