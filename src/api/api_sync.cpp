// Exported synchronised capture: action keys and commands, the cameras'
// clocks as the host sees them.
#include <arpa/inet.h>

#include <algorithm>
#include <map>
#include <new>
#include <vector>

#include "api/api_table.h"
#include "camera/camera_sync.h"
#include "camera/vora_gige_camera.h"
#include "gvcp/action_sender.h"
#include "vora_qelcamera_api.h"

namespace {

constexpr int MAX_ACTION_CAMERAS = 256;

// Dotted text to a host-order address; false for anything else.
bool parse_ip(const char* text, uint32_t* ip)
{
    in_addr a{};
    if (!text || inet_pton(AF_INET, text, &a) != 1)
        return false;
    *ip = ntohl(a.s_addr);
    return true;
}

gvcp::Action to_wire(const VoraAction& a)
{
    gvcp::Action w;
    w.device_key = a.device_key;
    w.group_key = a.group_key;
    w.group_mask = a.group_mask;
    w.scheduled = a.scheduled != 0;
    w.action_time = a.action_time;
    return w;
}

template <class F>
int on_camera(int index, F f) noexcept
{
    try {
        GigeCamera* camera = camera_at(index);
        if (!camera)
            return VORA_ERR_CAMERA_MISSING;
        return f(*camera);
    } catch (...) {
        return VORA_ERR_FAILED;
    }
}

}  // namespace

extern "C" {

int GetSyncCapability(int index, VoraSyncCapability* capability)
{
    if (!capability)
        return VORA_ERR_INVALID_ARG;
    return on_camera(index, [&](GigeCamera& c) { return camera_sync::read_capability(c, capability); });
}

int SetActionDeviceKey(int index, uint32_t device_key)
{
    return on_camera(index, [&](GigeCamera& c) { return camera_sync::set_device_key(c, device_key); });
}

int SetActionGroup(int index, uint32_t signal, uint32_t group_key, uint32_t group_mask)
{
    return on_camera(index, [&](GigeCamera& c) { return camera_sync::set_group(c, signal, group_key, group_mask); });
}

int GetActionGroup(int index, uint32_t signal, uint32_t* group_key, uint32_t* group_mask)
{
    if (!group_key || !group_mask)
        return VORA_ERR_INVALID_ARG;
    return on_camera(index, [&](GigeCamera& c) { return camera_sync::get_group(c, signal, group_key, group_mask); });
}

int SendAction(const char* host_ip, const char* camera_ip, const VoraAction* action, int ack_timeout_ms,
               VoraActionAck* acks, int max_acks)
{
    try {
        gvcp_action::Request request;
        if (!action || !parse_ip(host_ip, &request.host_ip) || request.host_ip == 0 || ack_timeout_ms < 0 ||
            max_acks < 0 || (max_acks > 0 && !acks))
            return VORA_ERR_INVALID_ARG;
        if (camera_ip && *camera_ip && !parse_ip(camera_ip, &request.camera_ip))
            return VORA_ERR_INVALID_ARG;
        request.action = to_wire(*action);
        request.ack_timeout_ms = ack_timeout_ms;
        request.max_replies = static_cast<size_t>(max_acks);
        if (request.camera_ip != 0)
            request.max_replies = 1;
        std::vector<std::vector<gvcp_action::Reply>> replies;
        const int status = gvcp_action::send({request}, &replies);
        if (status != VORA_OK)
            return status;
        const size_t n = std::min(replies[0].size(), static_cast<size_t>(max_acks));
        for (size_t i = 0; i < n; ++i)
            acks[i] = VoraActionAck{replies[0][i].camera_ip, replies[0][i].status};
        return static_cast<int>(n);
    } catch (...) {
        return VORA_ERR_FAILED;
    }
}

int SendActionToCameras(const int* indices, int count, const VoraAction* action, int ack_timeout_ms,
                        VoraActionAck* acks)
{
    if (!indices || !action || !acks || count <= 0 || count > MAX_ACTION_CAMERAS || ack_timeout_ms < 0)
        return VORA_ERR_INVALID_ARG;
    try {
        // The cameras by the interface they sit behind: one broadcast reaches
        // all cameras of an interface at once; a lone camera gets its own.
        // A camera lost or not connected is left out (its acknowledge says
        // why); the others still get their action.
        std::map<uint32_t, std::vector<uint32_t>> by_host;
        std::vector<uint32_t> ips(static_cast<size_t>(count));
        std::vector<int> left_out(static_cast<size_t>(count), VORA_OK);
        for (int i = 0; i < count; ++i) {
            GigeCamera* camera = camera_at(indices[i]);
            if (!camera)
                return VORA_ERR_CAMERA_MISSING;
            ips[static_cast<size_t>(i)] = camera->camera_ip.load();
            if (!camera->is_connected()) {
                left_out[static_cast<size_t>(i)] = camera->given_up ? VORA_ERR_CAMERA_LOST : VORA_ERR_NOT_CONNECTED;
                continue;
            }
            std::vector<uint32_t>& behind = by_host[camera->computer_ip.load()];
            if (std::find(behind.begin(), behind.end(), ips[static_cast<size_t>(i)]) == behind.end())
                behind.push_back(ips[static_cast<size_t>(i)]);
        }
        std::vector<gvcp_action::Request> requests;
        for (const auto& [host, cameras] : by_host) {
            gvcp_action::Request r;
            r.host_ip = host;
            r.camera_ip = cameras.size() == 1 ? cameras[0] : 0;
            r.action = to_wire(*action);
            r.ack_timeout_ms = ack_timeout_ms;
            r.expected = cameras;
            requests.push_back(r);
        }
        std::vector<std::vector<gvcp_action::Reply>> replies;
        const int status = gvcp_action::send(requests, &replies);
        if (status != VORA_OK)
            return status;
        int succeeded = 0;
        for (int i = 0; i < count; ++i) {
            const uint32_t ip = ips[static_cast<size_t>(i)];
            VoraActionAck ack{ip, ack_timeout_ms > 0 ? VORA_ERR_NO_ACK : VORA_OK};
            for (const auto& list : replies)
                for (const gvcp_action::Reply& reply : list)
                    if (reply.camera_ip == ip)
                        ack.status = reply.status;
            if (left_out[static_cast<size_t>(i)] != VORA_OK)
                ack.status = left_out[static_cast<size_t>(i)];
            if (ack.status == VORA_OK)
                ++succeeded;
            acks[i] = ack;
        }
        return succeeded;
    } catch (...) {
        return VORA_ERR_FAILED;
    }
}

int GetClockMapping(int index, VoraClockMapping* mapping)
{
    if (!mapping)
        return VORA_ERR_INVALID_ARG;
    return on_camera(index, [&](GigeCamera& c) { return camera_sync::clock_mapping(c, mapping); });
}

int64_t CameraTicksToHostNs(const VoraClockMapping* mapping, uint64_t camera_ticks)
{
    return mapping ? camera_sync::ticks_to_host_ns(*mapping, camera_ticks) : 0;
}

}  // extern "C"
