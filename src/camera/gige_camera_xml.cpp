// The device description: download, node map, and lookups by feature name.
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "camera/description_port.h"
#include "camera/device_url.h"
#include "camera/vora_gige_camera.h"
#include "genicam/genicam_evaluator.h"

namespace {

constexpr uint32_t CHUNK = 536;
constexpr int MAX_POINTER_DEPTH = 16;  // pValue/pAddress chains; stops cycles

long long to_decimal(const std::string& text)
{
    return std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace

int GigeCamera::GetXMLfromCamera()
{
    // The first URL register, else the second; a first URL that reads but
    // does not parse also falls back, rather than reading garbage.
    char buffer[600];
    DeviceUrl url;
    int status = 0;
    bool parsed = false;
    for (unsigned reg : {First_Url_Reg, Second_Url_Reg}) {
        std::memset(buffer, 0, sizeof buffer);
        status = ReadMem(reg, 512, buffer);
        if (status == 0) {
            buffer[12 + 511] = 0;
            parsed = parse_device_url(buffer + 12, &url);
            if (parsed)
                break;
        }
    }
    if (status != 0) {
        const int code = status > 0 ? static_cast<int16_t>(status) : status;
        log.log_error(gvcp_log_error_level,
                      "[function:GetXMLfromCamera] Failed to read xml file from memory twice. error code: %d.", code);
        return code;
    }
    if (!parsed || url.length == 0 || url.length > GenApi::MAX_DESCRIPTION_SIZE) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetXMLfromCamera] The url of the xml file is not a local memory url. error code: %d.",
                      VORA_ERR_XML_READ);
        return VORA_ERR_XML_READ;
    }

    xml_size = static_cast<int>(url.length);
    xml_name = url.name;
    xml_type = url.extension;
    std::free(xml_data);
    xml_data = static_cast<char*>(std::calloc(static_cast<size_t>(xml_size) + 1, 1));
    if (!xml_data) {
        xml_data = static_cast<char*>(std::calloc(2, 1));
        xml_size = 1;
        return VORA_ERR_XML_READ;
    }

    const uint32_t chunks = (static_cast<uint32_t>(xml_size) + CHUNK - 1) / CHUNK;
    for (uint32_t j = 0; j < chunks; ++j) {
        const uint32_t offset = j * CHUNK;
        const uint32_t wanted = std::min<uint32_t>(CHUNK, static_cast<uint32_t>(xml_size) - offset);
        const uint16_t count = static_cast<uint16_t>((wanted + 3) & ~3u);  // READMEM counts whole words
        std::memset(buffer, 0, sizeof buffer);
        status = ReadMem(static_cast<unsigned>(url.address + offset), count, buffer);
        if (status != 0) {
            const int code = status > 0 ? static_cast<int16_t>(status) : status;
            log.log_error(gvcp_log_error_level,
                          "[function:GetXMLfromCamera] Failed to read xml file from buffer. error code: %d.", code);
            return code;
        }
        std::memcpy(xml_data + offset, buffer + 12, wanted);
    }
    xml_data[xml_size] = 0;
    return VORA_OK;
}

int GigeCamera::build_node_map()
{
    const bool zipped = strcasecmp(xml_type.c_str(), "zip") == 0;
    if (zipped)
        GenApi::CNodeMapFactory::ClearCache();
    GenApi::CNodeMapFactory factory(zipped ? GenApi::ContentType_ZippedXml : GenApi::ContentType_Xml, xml_data,
                                    zipped ? static_cast<size_t>(xml_size) : std::strlen(xml_data), false, false);
    std::shared_ptr<GenApi::CNodeMap> map = factory.CreateNodeMap("Device", true);
    if (!map) {
        log.log_error(gvcp_log_error_level, "[function:CameraConnect] The node map could not be built: %s",
                      factory.LastError().c_str());
        return VORA_ERR_XML_READ;
    }
    int ref_count = 0;
    if (!node_map_ref->_Attach(map, node_map_ref->_GetDeviceName(), &ref_count)) {
        log.log_error(gvcp_log_error_level, "[function:CameraConnect] Node map already created.");
        return VORA_ERR_XML_READ;
    }
    std::shared_ptr<genicam::Evaluator> features = node_map_ref->_GetEvaluator();
    if (features) {
        if (!description_port)
            description_port.reset(new DescriptionPort(*this));
        features->attach(description_port.get());
        // A node the evaluator cannot use costs that feature, not the camera.
        for (const std::string& problem : features->problems())
            log.log_warnning(gvcp_log_warnning_level, "[function:CameraConnect] The description: %s", problem.c_str());
    }
    std::lock_guard<std::mutex> lock(evaluator_mutex);
    evaluator = features;
    return VORA_OK;
}

void GigeCamera::release_node_map()
{
    std::shared_ptr<genicam::Evaluator> old;
    {
        std::lock_guard<std::mutex> lock(evaluator_mutex);
        old.swap(evaluator);
    }
    // A call still under way keeps the evaluator; it must not reach the
    // camera once the connection is gone.
    if (old)
        old->attach(nullptr);
    node_map_ref->_Release();
}

std::shared_ptr<genicam::Evaluator> GigeCamera::feature_evaluator()
{
    std::lock_guard<std::mutex> lock(evaluator_mutex);
    return evaluator;
}

void GigeCamera::invalidate_features()
{
    if (std::shared_ptr<genicam::Evaluator> features = feature_evaluator())
        features->invalidate_all();
}

void GigeCamera::feature_written(const char* name, long long value)
{
    if (name && std::strcmp(name, "GevHeartbeatTimeout") == 0 && value > 0 && value <= INT32_MAX)
        heartbeat_timeout = static_cast<int>(value);
}

int GigeCamera::SaveXmlToLocal(std::string directory)
{
    if (!connected) {
        log.log_error(gvcp_log_error_level, "[function:SaveXmlToLocal] The camera disconnected. error code: %d.",
                      VORA_ERR_NOT_CONNECTED);
        return VORA_ERR_NOT_CONNECTED;
    }
    if (directory.empty()) {
        log.log_error(gvcp_log_error_level, "[function:SaveXmlToLocal] The input parameter is invalid. error code: %d",
                      VORA_ERR_INVALID_ARG);
        return VORA_ERR_INVALID_ARG;
    }
    const std::string path = directory + "/" + xml_name + "." + xml_type;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        log.log_error(gvcp_log_error_level, "[function:SaveXmlToLocal] Save xml file to local error. error code: %d",
                      VORA_ERR_XML_SAVE);
        return VORA_ERR_XML_SAVE;
    }
    // The description's own bytes: the zero kept after them in memory is no
    // part of the file.
    const size_t n = static_cast<size_t>(xml_size);
    const bool ok = std::fwrite(xml_data, 1, n, f) == n;
    if (std::fclose(f) != 0 || !ok) {
        log.log_error(gvcp_log_error_level, "[function:SaveXmlToLocal] Save xml file to local error. error code: %d",
                      VORA_ERR_XML_SAVE);
        return VORA_ERR_XML_SAVE;
    }
    return VORA_OK;
}

void GigeCamera::GetCameraXMLNodeNames(std::vector<std::string>* names)
{
    if (!names || !connected || !node_map_ref->_IsAttached())
        return;
    log.log_info(gvsp_log_info_level,
                 "[function:GetCameraXMLNodeNames] Get the node name of the camera from xml file.");
    GenApi::NodeList_t nodes;
    node_map_ref->_GetNodes(nodes);
    for (GenApi::INode* node : nodes)
        if (node->IsFeature() && node->GetPrincipalInterfaceType() != GenApi::intfICategory)
            names->push_back(node->GetName(false));
}

int GigeCamera::GetRegisterAddr(const char* name)
{
    unsigned address = 0;
    const int status = feature_register(name, 0, &address);
    return status != 0 ? status : static_cast<int>(address);
}

int GigeCamera::feature_register(const char* name, unsigned offset, unsigned* address)
{
    if (!connected) {
        log.log_debug(gvcp_log_debug_level, "[function:GetRegisterAddr] The camera disconnected.");
        return VORA_ERR_NOT_CONNECTED;
    }
    uint32_t base = 0;
    const int status = get_node_address(name, 0, &base);
    if (status != 0)
        return status;
    *address = base + offset;
    return VORA_OK;
}

// A feature's register: its Address, else the register its pAddress names,
// else its constant Value, else whatever its pValue resolves to.
int GigeCamera::get_node_address(const char* name, int depth, uint32_t* address)
{
    GenApi::INode* node = (name && node_map_ref->_IsAttached()) ? node_map_ref->_GetNode(name) : nullptr;
    if (!node || depth > MAX_POINTER_DEPTH) {
        log.log_error(gvcp_log_error_level,
                      "[function:GetRegisterAddr] Get the node error while get the address of the register.");
        return VORA_ERR_NO_NODE;
    }
    std::string value, attribute;
    *address = 0;
    if (node->GetProperty("Address", value, attribute) && !value.empty())
        *address = static_cast<uint32_t>(to_decimal(value));
    else if (node->GetProperty("pAddress", value, attribute) && !value.empty())
        return get_node_address(value.substr(0, value.find_first_of(" \t\r\n")).c_str(), depth + 1, address);
    else if (node->GetProperty("Value", value, attribute) && !value.empty())
        *address = static_cast<uint32_t>(to_decimal(value));
    else if (node->GetProperty("pValue", value, attribute) && !value.empty())
        return get_node_address(value.c_str(), depth + 1, address);
    return VORA_OK;
}

void GigeCamera::ReadStringRegister(const char* name, char* out)
{
    if (!connected) {
        log.log_debug(gvcp_log_debug_level, "[function:ReadStringRegister] The camera disconnected.");
        return;
    }
    GenApi::INode* node = (name && out) ? node_map_ref->_GetNode(name) : nullptr;
    std::string value, attribute;
    long long length = 0;
    if (node && node->GetProperty("Length", value, attribute) && !value.empty())
        length = to_decimal(value);
    if (!node || length < 0 || length > 536) {
        log.log_error(gvcp_log_error_level,
                      "[function:ReadStringRegister] Failed to read string register due to the incoming parameters "
                      "error, error code: %d",
                      VORA_ERR_INVALID_ARG);
        return;
    }
    if (length == 0)
        return;
    char buffer[600] = {};
    unsigned address = 0;
    const unsigned short count = static_cast<unsigned short>((length + 3) & ~3LL);
    if (feature_register(name, 0, &address) == 0 && ReadMem(address, count, buffer) == 0)
        std::memcpy(out, buffer + 12, static_cast<size_t>(length));
    else
        std::memset(out, 0, static_cast<size_t>(length));
}

// Whether a node's value lives in a register get_node_address finds (or is
// a constant it reads), rather than being computed by a formula.
bool GigeCamera::names_a_register(const std::string& name, int depth)
{
    GenApi::INode* node = node_map_ref->_IsAttached() ? node_map_ref->_GetNode(name) : nullptr;
    if (!node || depth > MAX_POINTER_DEPTH)
        return true;  // the lookup reports these as it always has
    std::string value, attribute;
    for (const char* property : {"Address", "pAddress", "Value"})
        if (node->GetProperty(property, value, attribute) && !value.empty())
            return true;
    if (node->GetProperty("pValue", value, attribute) && !value.empty())
        return names_a_register(value, depth + 1);
    return false;
}

int GigeCamera::GetNodeProperty(const char* node_name, const char* property)
{
    GenApi::INode* node = (node_name && node_map_ref->_IsAttached()) ? node_map_ref->_GetNode(node_name) : nullptr;
    if (!node || !property)
        return 0;
    std::string value, attribute;
    if (node->GetProperty(property, value, attribute) && !value.empty())
        return static_cast<int>(to_decimal(value));
    if (node->GetProperty(std::string("p") + property, value, attribute) && !value.empty()) {
        if (!names_a_register(value, 0)) {
            // A bound computed by a formula or a converter has no register of
            // its own: the evaluator works it out.
            std::shared_ptr<genicam::Evaluator> features = feature_evaluator();
            int64_t bound = 0;
            const int status = features ? features->get_int(value, &bound) : VORA_ERR_NO_NODE;
            if (status != 0) {
                log.log_error(gvcp_log_error_level,
                              "[function:GetNodeProperty] Get the property of the node error. error code: %x.", status);
                return status;
            }
            return static_cast<int>(bound);
        }
        uint32_t address = 0;
        const int lookup = get_node_address(value.c_str(), 1, &address);
        if (lookup != 0)
            return lookup;
        int contents = -1;
        const int status = ReadRegister(address, &contents);
        if (status != 0) {
            log.log_error(gvcp_log_error_level,
                          "[function:GetNodeProperty] Get the property of the node error. error code: %x.", status);
            // A device status is sign-extended so that callers see a failure,
            // not a bound of 32771.
            return status > 0 ? static_cast<int16_t>(status) : status;
        }
        return contents;
    }
    return 0;
}

int GigeCamera::GetNodeMaxValue(const char* name)
{
    if (!connected) {
        log.log_debug(gvcp_log_debug_level, "[function:GetNodeMaxValue] The camera disconnected.");
        return VORA_ERR_NOT_CONNECTED;
    }
    const int v = GetNodeProperty(name, "Max");
    if (v < 0) {
        log.log_error(gvcp_log_error_level, "[function:GetNodeMaxValue] Get the max value of the node error.");
        return VORA_ERR_MAX_UNREADABLE;
    }
    return v;
}

int GigeCamera::GetNodeMinValue(const char* name)
{
    if (!connected) {
        log.log_debug(gvcp_log_debug_level, "[function:GetNodeMinValue] The camera disconnected.");
        return VORA_ERR_NOT_CONNECTED;
    }
    const int v = GetNodeProperty(name, "Min");
    if (v < 0) {
        log.log_error(gvcp_log_error_level, "[function:GetNodeMinValue] Get the min value of the node error.");
        return VORA_ERR_MIN_UNREADABLE;
    }
    return v;
}

int GigeCamera::GetNodeIncValue(const char* name)
{
    if (!connected) {
        log.log_debug(gvcp_log_debug_level, "[function:GetNodeIncValue] The camera disconnected.");
        return VORA_ERR_NOT_CONNECTED;
    }
    const int v = GetNodeProperty(name, "Inc");
    if (v < 0) {
        log.log_error(gvcp_log_error_level, "[function:GetNodeIncValue] Get the inc value of the node error.");
        return VORA_ERR_INC_UNREADABLE;
    }
    return v == 0 ? 1 : v;
}
