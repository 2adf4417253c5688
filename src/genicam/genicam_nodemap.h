// Read-only node map over a camera's GenICam device description. It answers
// the node questions the camera code asks (properties, names, features,
// types) and evaluates nothing. The names follow GenApi's so that camera code
// reads as it would with that library. No function lets an exception escape.
#ifndef VORA_GENICAM_NODEMAP_H
#define VORA_GENICAM_NODEMAP_H

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace genicam {
class Evaluator;
}

namespace GenApi {

enum EInterfaceType {
    intfIValue = 0,
    intfIBase = 1,
    intfIInteger = 2,
    intfIBoolean = 3,
    intfICommand = 4,
    intfIFloat = 5,
    intfIString = 6,
    intfIRegister = 7,
    intfICategory = 8,
    intfIEnumeration = 9,
    intfIEnumEntry = 10,
    intfIPort = 11
};

enum EContentType { ContentType_Xml = 0, ContentType_ZippedXml = 1 };

// The largest description taken, as downloaded or as expanded from its
// archive. Real descriptions are a few MB; anything larger is refused
// before it is read in full.
constexpr size_t MAX_DESCRIPTION_SIZE = size_t(16) << 20;
// Groups nest a few levels in real descriptions; deeper nesting is refused
// rather than walked.
constexpr size_t MAX_GROUP_DEPTH = 64;

class CNodeMap;

// One node of a node map; owned by its node map.
class INode {
public:
    // True when the node has the property. A property that occurs several
    // times answers its values (and its non-empty attribute texts) joined by
    // tab. Both outputs are emptied when the node lacks the property.
    bool GetProperty(const std::string& name, std::string& value, std::string& attribute) const;
    // Fully qualified: "Std::" for NameSpace="Standard", "Cust::" otherwise.
    std::string GetName(bool fully_qualified = false) const;
    bool IsFeature() const;
    EInterfaceType GetPrincipalInterfaceType() const;

private:
    friend class CNodeMap;
    INode() = default;

    std::string name_;
    std::string name_space_;
    EInterfaceType type_ = intfIBase;
    bool feature_ = false;
    // property name -> (value, attribute), already in the form GetProperty answers
    std::map<std::string, std::pair<std::string, std::string>> properties_;
};

typedef std::vector<INode*> NodeList_t;

class CNodeMapFactory {
public:
    // The bytes are copied. Cache usage and string suppression are ignored.
    CNodeMapFactory(EContentType type, const void* data, size_t size, bool cache_usage = false,
                    bool suppress_strings = false);
    // Null on malformed XML, a bad archive, an archive without an XML entry,
    // a root other than RegisterDescription, duplicate node names, Groups
    // nested deeper than MAX_GROUP_DEPTH, or a description larger than
    // MAX_DESCRIPTION_SIZE.
    std::shared_ptr<CNodeMap> CreateNodeMap(const std::string& device_name = "Device", bool = true);
    // Why the last CreateNodeMap failed; empty after a success.
    const std::string& LastError() const;
    // Nothing is cached; kept so that callers read as usual.
    static void ClearCache();

private:
    EContentType type_;
    std::string bytes_;
    bool copied_ = false;
    std::string error_;
};

class CNodeMapRef {
public:
    explicit CNodeMapRef(const std::string& device_name = "Device");
    // False, changing nothing, when a map is already attached or map is null.
    // ref_count, when not null, is incremented.
    bool _Attach(std::shared_ptr<CNodeMap> map, const std::string& device_name, int* ref_count);
    void _Release();
    bool _IsAttached() const;
    // Null when there is no such node; names are case-sensitive. Enumeration
    // entries are named EnumEntry_<Enumeration>_<Entry>.
    INode* _GetNode(const std::string& name) const;
    // Every node, in the order its name first appears in the description,
    // as a definition or as the target of a pointer property.
    void _GetNodes(NodeList_t& nodes) const;
    const std::string& _GetDeviceName() const;
    // The evaluator built from the same description, owned by the map (the
    // pointer shares the map's ownership); null when nothing is attached.
    std::shared_ptr<genicam::Evaluator> _GetEvaluator() const;

private:
    std::shared_ptr<CNodeMap> map_;
    std::string device_name_;
};

}  // namespace GenApi

#endif
