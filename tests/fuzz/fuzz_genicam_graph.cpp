// Device descriptions as a camera serves them, evaluated: the graph is built
// from any XML without a fault, and every feature can be described, read,
// and written back over a small fake device without a crash or a hang.
#include <pugixml.hpp>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "genicam/genicam_evaluator.h"

namespace {

// 4 KiB of device memory, its contents derived from the input; reads and
// writes outside it fail as a device would.
class FakePort : public genicam::Port {
public:
    explicit FakePort(const uint8_t* data, size_t size) : memory_(4096, 0)
    {
        for (size_t i = 0; i < memory_.size() && size > 0; ++i)
            memory_[i] = data[i % size];
    }
    int read(uint64_t address, void* data, size_t length) override
    {
        if (address > memory_.size() || length > memory_.size() - address)
            return -55;
        std::memcpy(data, memory_.data() + address, length);
        return 0;
    }
    int write(uint64_t address, const void* data, size_t length) override
    {
        if (address > memory_.size() || length > memory_.size() - address)
            return -54;
        std::memcpy(memory_.data() + address, data, length);
        return 0;
    }

private:
    std::vector<uint8_t> memory_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1 << 20))
        return 0;
    pugi::xml_document doc;
    if (!doc.load_buffer(data, size))
        return 0;
    std::string error;
    std::unique_ptr<genicam::Evaluator> ev = genicam::Evaluator::build(doc.document_element(), &error);
    if (!ev) {
        fuzz_check(!error.empty());
        return 0;
    }
    for (const std::string& problem : ev->problems())
        fuzz_check(!problem.empty());
    FakePort port(data, size);
    ev->attach(&port);
    std::vector<std::string> names, categories;
    fuzz_check(ev->names("", &names) == 0);
    fuzz_check(ev->categories(&categories) == 0);
    for (const std::string& c : categories) {
        std::vector<std::string> listed;
        ev->names(c, &listed);
    }
    // Bounded: at most this many features are exercised.
    if (names.size() > 200)
        names.resize(200);
    for (int round = 0; round < 2; ++round) {
        for (const std::string& name : names) {
            genicam::FeatureInfo info;
            const int described = ev->describe(name, &info);
            if (described != 0)
                fuzz_check(!genicam::Evaluator::last_error().empty());
            int64_t i = 0;
            double f = 0;
            bool b = false;
            std::string s;
            std::vector<uint8_t> bytes;
            if (ev->get_int(name, &i) == 0 && round == 1)
                ev->set_int(name, i);
            if (ev->get_float(name, &f) == 0 && round == 1)
                ev->set_float(name, f);
            if (ev->get_bool(name, &b) == 0 && round == 1)
                ev->set_bool(name, !b);
            if (ev->get_string(name, &s) == 0 && round == 1)
                ev->set_string(name, s);
            if (ev->get_enum(name, &s, &i) == 0 && round == 1)
                ev->set_enum(name, s);
            if (ev->get_bytes(name, &bytes) == 0 && round == 1)
                ev->set_bytes(name, bytes);
            bool done = false;
            if (round == 1 && ev->execute(name) == 0)
                ev->is_done(name, &done);
        }
        ev->invalidate_all();
    }
    return 0;
}
