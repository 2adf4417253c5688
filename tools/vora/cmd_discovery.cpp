// vora list and vora force-ip: the discovery list and the cameras' network
// configuration.
#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "common.h"
#include "json.h"
#include "options.h"
#include "session.h"
#include "vora_globals.h"
#include "vora_qelcamera_api.h"

namespace vora_tool {

namespace {

const char* const kListHelp = "usage: vora list [--json] [--wait SECONDS]\n"
                              "Discovers the cameras on every network of this host and prints them, sorted\n"
                              "by serial number; the first column is the index the other commands take (-c).\n"
                              "Discovery is repeated until a camera answers, for up to --wait seconds\n"
                              "(default 5; 0 asks once); the cameras that answer that round are listed.\n"
                              "Columns: serial number, model, device version, camera address/prefix, the\n"
                              "host interface that heard it (name, address/prefix), its MTU, whether camera\n"
                              "and interface share a subnet, and who controls the camera (free, control,\n"
                              "exclusive), read without taking control.\n"
                              "  --json   one JSON document instead: {\"cameras\": [{index, serial, vendor,\n"
                              "           model, version, user_id, mac, ip, mask, gateway, interface: {name,\n"
                              "           ip, mask, mtu}, same_subnet, control: {holder, privilege}}]}; holder\n"
                              "           is free, control, exclusive, other or null when it cannot be read\n"
                              "Exit codes: 0 listed, 1 discovery failed, 2 usage error, 3 no camera found.\n";

const char* const kForceIpHelp = "usage: vora force-ip [-c CAMERA] IP MASK GATEWAY\n"
                                 "Gives a camera (-c: index of `vora list`, serial number, IP or MAC address;\n"
                                 "default 0) a new address, subnet mask and gateway, for example to bring a\n"
                                 "camera into the host's subnet. The camera keeps it until it restarts. The\n"
                                 "mask must be contiguous (255.255.255.0, not 255.0.255.0) and the gateway\n"
                                 "must not be 0.0.0.0.\n"
                                 "Afterwards the cameras are discovered again to show where it answers now.\n"
                                 "  --wait S   keep discovering for up to S seconds (default 5; 0 asks once)\n"
                                 "             until the camera answers, before and after the change\n"
                                 "Exit codes: 0 done, 1 the camera refused or did not answer, 2 usage error,\n"
                                 "3 no camera at that index.\n";

// Who controls the camera, read without taking control: the holder's name
// (empty when it cannot be read, with the reason in *error) and the
// privilege register.
std::string control_holder(int index, int* ccp, std::string* error)
{
    *ccp = 0;
    const int status = GetCameraCCPStatus(index, ccp);
    if (status != 0) {
        *error = VoraStatusText(status);
        return "";
    }
    // Exclusive access is bit 0, control access bit 1 of the privilege register.
    return *ccp == 0 ? "free" : (*ccp & 1) ? "exclusive" : (*ccp & 2) ? "control" : "other";
}

std::string control_text(int index)
{
    int ccp = 0;
    std::string error;
    const std::string holder = control_holder(index, &ccp, &error);
    if (holder.empty())
        return "unknown: " + error;
    if (ccp == 0)
        return holder;
    char text[32];
    std::snprintf(text, sizeof text, "%s (0x%X)", holder.c_str(), static_cast<unsigned>(ccp));
    return text;
}

void list_json(int count)
{
    JsonWriter j;
    j.begin_object().key("cameras").begin_array();
    for (int i = 0; i < count; ++i) {
        const DiscoveryInfo& d = discovery_info[static_cast<size_t>(i)];
        int ccp = 0;
        std::string error;
        const std::string holder = control_holder(i, &ccp, &error);
        j.begin_object()
            .field("index", i)
            .field("serial", field_text(d.device_serial_number, sizeof d.device_serial_number))
            .field("vendor", field_text(d.device_vendor_name, sizeof d.device_vendor_name))
            .field("model", field_text(d.device_model_name, sizeof d.device_model_name))
            .field("version", field_text(d.device_version, sizeof d.device_version))
            .field("user_id", field_text(d.device_user_id, sizeof d.device_user_id))
            .field("mac", mac_text(d))
            .field("ip", ip_text(d.camera_ip))
            .field("mask", ip_text(d.camera_mask))
            .field("gateway", ip_text(d.camera_gateway));
        j.key("interface")
            .begin_object()
            .field("name", field_text(d.computer_adapter, sizeof d.computer_adapter))
            .field("ip", ip_text(d.computer_ip))
            .field("mask", ip_text(d.computer_mask))
            .field("mtu", d.mtu)
            .end_object();
        j.field("same_subnet", WhetherIsSameSegment(i));
        j.key("control").begin_object().key("holder");
        if (holder.empty())
            j.null();
        else
            j.value(holder);
        j.key("privilege");
        if (holder.empty())
            j.null();
        else
            j.value(ccp);
        j.end_object().end_object();
    }
    j.end_array().end_object();
    std::fputs(j.text().c_str(), stdout);
}

bool valid_ip(const std::string& text)
{
    in_addr a;
    return inet_pton(AF_INET, text.c_str(), &a) == 1;
}

}  // namespace

int cmd_list(int argc, char** argv)
{
    Args args(argc, argv, {kJsonOption});
    if (args.help()) {
        std::fputs(kListHelp, stdout);
        return kExitOk;
    }
    if (!args.positional().empty())
        throw UsageError("list takes no arguments");

    CameraSession session;
    const int code = session.discover();
    if (args.has("--json") && (code == kExitOk || code == kExitNoCamera))
        list_json(session.camera_count());
    if (code != kExitOk || args.has("--json"))
        return code;

    std::vector<std::vector<std::string>> rows;
    rows.push_back({"#", "serial", "model", "version", "camera", "interface", "MTU", "subnet", "control"});
    for (int i = 0; i < session.camera_count(); ++i) {
        const DiscoveryInfo& d = discovery_info[static_cast<size_t>(i)];
        rows.push_back({std::to_string(i), field_text(d.device_serial_number, sizeof d.device_serial_number),
                        field_text(d.device_model_name, sizeof d.device_model_name),
                        field_text(d.device_version, sizeof d.device_version), address_text(d.camera_ip, d.camera_mask),
                        field_text(d.computer_adapter, sizeof d.computer_adapter) + " " +
                            address_text(d.computer_ip, d.computer_mask),
                        std::to_string(d.mtu), WhetherIsSameSegment(i) ? "same" : "OTHER", control_text(i)});
    }
    print_table(rows);
    bool other_subnet = false;
    for (int i = 0; i < session.camera_count(); ++i)
        other_subnet |= !WhetherIsSameSegment(i);
    if (other_subnet)
        std::printf("A camera in another subnet cannot be connected; `vora force-ip` can move it.\n");
    return kExitOk;
}

int cmd_force_ip(int argc, char** argv)
{
    Args args(argc, argv, {kCameraOption});
    if (args.help()) {
        std::fputs(kForceIpHelp, stdout);
        return kExitOk;
    }
    const std::string selector = camera_option(args);
    const auto& pos = args.positional();
    if (pos.size() != 3)
        throw UsageError("force-ip takes IP MASK GATEWAY");
    const char* names[3] = {"IP", "MASK", "GATEWAY"};
    for (size_t i = 0; i < 3; ++i)
        if (!valid_ip(pos[i]))
            throw UsageError(std::string(names[i]) + " is not an IPv4 address: " + pos[i]);
    if (pos[2] == "0.0.0.0")
        throw UsageError("the gateway must not be 0.0.0.0");
    in_addr mask_address;
    inet_pton(AF_INET, pos[1].c_str(), &mask_address);
    if (mask_bits(ntohl(mask_address.s_addr)) < 0)
        throw UsageError("MASK " + pos[1] + " is not a contiguous subnet mask (such as 255.255.255.0)");

    CameraSession session;
    int index = -1;
    const int code = session.find(selector, &index);
    if (code != kExitOk)
        return code;
    const DiscoveryInfo before = discovery_info[static_cast<size_t>(index)];
    const std::string serial = field_text(before.device_serial_number, sizeof before.device_serial_number);
    std::vector<char> ip(pos[0].begin(), pos[0].end()), mask(pos[1].begin(), pos[1].end()),
        gateway(pos[2].begin(), pos[2].end());
    ip.push_back(0);
    mask.push_back(0);
    gateway.push_back(0);
    const int status = ForceIP(index, ip.data(), mask.data(), gateway.data());
    if (status != 0) {
        report_status("force-ip on camera " + std::to_string(index) + " (" + serial + ")", status);
        return kExitCamera;
    }
    std::printf("camera %d (%s): %s -> %s/%s gateway %s\n", index, serial.c_str(),
                address_text(before.camera_ip, before.camera_mask).c_str(), pos[0].c_str(), pos[1].c_str(),
                pos[2].c_str());

    // Where does it answer now? The old table goes first: rediscovery
    // replaces the list it indexes. A camera may take a moment to take up
    // its new address.
    session.close();
    int moved = -1;
    auto answered = [&](int count) {
        for (int i = 0; i < count && moved < 0; ++i) {
            const DiscoveryInfo& d = discovery_info[static_cast<size_t>(i)];
            if (field_text(d.device_serial_number, sizeof d.device_serial_number) == serial &&
                d.camera_mac_low == before.camera_mac_low && d.camera_mac_high == before.camera_mac_high)
                moved = i;
        }
        return moved >= 0;
    };
    CameraSession again;
    // The change is made: a discovery that fails now only leaves the
    // question open; an interrupt still ends the command as one.
    const int found = again.discover_until(answered);
    if (found != kExitOk && found != kExitCamera)
        return found;
    if (moved >= 0) {
        const DiscoveryInfo& d = discovery_info[static_cast<size_t>(moved)];
        std::printf("camera %s now answers at %s\n", serial.c_str(), address_text(d.camera_ip, d.camera_mask).c_str());
        return kExitOk;
    }
    report("warning: camera " + serial + " did not answer discovery after the change");
    return kExitOk;
}

}  // namespace vora_tool
