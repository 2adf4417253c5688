// Taking a forced IP configuration: the camera's registers, its control
// socket and, when it owns one, its network interface.
#include <arpa/inet.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "sim_camera.h"

namespace vsim {

namespace {

void set_in_addr(sockaddr* sa, uint32_t ip)
{
    sockaddr_in* in = reinterpret_cast<sockaddr_in*>(sa);
    std::memset(in, 0, sizeof *in);
    in->sin_family = AF_INET;
    in->sin_addr.s_addr = htonl(ip);
}

// Replaces the interface's address and mask, then puts back the on-link
// default route that losing the old address removed: the camera answers
// whoever asks, on its own link.
void configure_interface(const std::string& name, uint32_t ip, uint32_t mask)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0)
        return;
    ifreq req;
    std::memset(&req, 0, sizeof req);
    std::strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
    set_in_addr(&req.ifr_addr, ip);
    ioctl(s, SIOCSIFADDR, &req);
    set_in_addr(&req.ifr_netmask, mask);
    ioctl(s, SIOCSIFNETMASK, &req);

    rtentry route;
    std::memset(&route, 0, sizeof route);
    set_in_addr(&route.rt_dst, 0);
    set_in_addr(&route.rt_genmask, 0);
    set_in_addr(&route.rt_gateway, 0);
    route.rt_flags = RTF_UP;
    char dev[IFNAMSIZ];
    std::strncpy(dev, name.c_str(), IFNAMSIZ - 1);
    dev[IFNAMSIZ - 1] = 0;
    route.rt_dev = dev;
    ioctl(s, SIOCADDRT, &route);
    close(s);
}

}  // namespace

void SimCamera::apply_ip(uint32_t ip, uint32_t mask, uint32_t gateway)
{
    if (!config_.iface.empty())
        configure_interface(config_.iface, ip, mask);
    memory_.set_reg(0x0024, ip);
    memory_.set_reg(0x0034, mask);
    memory_.set_reg(0x0044, gateway);
    if (ip == ip_)
        return;
    int s = bind_unicast(ip);
    if (s < 0)
        return;  // the address is not ours to take: keep answering where we are
    close(socket_.exchange(s));
    ip_ = ip;
}

}  // namespace vsim
