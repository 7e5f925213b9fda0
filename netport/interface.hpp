// Inside the port layer: what the interface-backed ports ask of their
// interface, with the same messages for each.
#pragma once

#include "netport/port_impl.hpp"

#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "common/unique_fd.hpp"

namespace netport {

// A socket for the interface ioctls.
struct ctl_socket {
    common::unique_fd fd{socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    bool ioctl_if(const std::string& ifname, unsigned long req, ifreq& ifr) const
    {
        strncpy(ifr.ifr_name, ifname.c_str(), IFNAMSIZ - 1);
        return fd.valid() && ioctl(fd.get(), req, &ifr) == 0;
    }
    template <class T>
    bool ethtool(const std::string& ifname, T& data) const
    {
        ifreq ifr{};
        ifr.ifr_data = reinterpret_cast<char*>(&data);
        return ioctl_if(ifname, SIOCETHTOOL, ifr);
    }
};

// The index of p's interface; 0, with the message, when there is none.
inline int interface_index(port* p)
{
    const int ifindex = int(if_nametoindex(p->ifname.c_str()));
    if (ifindex == 0)
        set_error("netport: port %s: no interface %s: %s", p->name.c_str(), p->ifname.c_str(),
                  strerror(errno));
    return ifindex;
}

// The MTU of p's interface; false, with the message, when it cannot be read.
inline bool interface_mtu(port* p, const ctl_socket& ctl, uint32_t* mtu)
{
    ifreq ifr{};
    if (!ctl.ioctl_if(p->ifname, SIOCGIFMTU, ifr)) {
        set_error("netport: port %s: cannot read the MTU of %s: %s", p->name.c_str(), p->ifname.c_str(),
                  strerror(errno));
        return false;
    }
    *mtu = uint32_t(ifr.ifr_mtu);
    return true;
}

// One line when p's interface is down (the port opens all the same).
inline void note_if_down(port* p, const ctl_socket& ctl)
{
    ifreq ifr{};
    if (ctl.ioctl_if(p->ifname, SIOCGIFFLAGS, ifr) && (ifr.ifr_flags & IFF_UP) == 0)
        note("netport: port %s: interface %s is down", p->name.c_str(), p->ifname.c_str());
}

}  // namespace netport
