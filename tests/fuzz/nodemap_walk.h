// Shared by the two node-map targets: build a node map from the bytes and
// ask it what the camera code asks (lookups, pointer chains, names).
#ifndef VORA_FUZZ_NODEMAP_WALK_H
#define VORA_FUZZ_NODEMAP_WALK_H

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "fuzz_check.h"
#include "genicam/genicam_nodemap.h"

namespace fuzz_nodemap {

inline void build_and_walk(GenApi::EContentType type, const uint8_t* data, size_t size)
{
    GenApi::CNodeMapFactory factory(type, data, size);
    std::shared_ptr<GenApi::CNodeMap> map = factory.CreateNodeMap("Device", true);
    if (!map) {
        fuzz_check(!factory.LastError().empty());
        return;
    }
    GenApi::CNodeMapRef ref;
    fuzz_check(ref._Attach(map, "Device", nullptr));
    GenApi::NodeList_t nodes;
    ref._GetNodes(nodes);
    std::string value, attribute;
    for (GenApi::INode* node : nodes) {
        fuzz_check(node != nullptr);
        const std::string name = node->GetName(false);
        fuzz_check(ref._GetNode(name) == node);
        node->GetName(true);
        node->IsFeature();
        node->GetPrincipalInterfaceType();
        // The pointer chains GetRegisterAddr follows, bounded as it bounds them.
        GenApi::INode* at = node;
        for (int depth = 0; at && depth < 16; ++depth) {
            for (const char* property : {"Address", "Value", "Length", "Max", "Min", "Inc", "EnumEntry"})
                at->GetProperty(property, value, attribute);
            if (at->GetProperty("pAddress", value, attribute) || at->GetProperty("pValue", value, attribute))
                at = ref._GetNode(value.substr(0, value.find_first_of(" \t\r\n")));
            else
                at = nullptr;
        }
    }
}

}  // namespace fuzz_nodemap

#endif
