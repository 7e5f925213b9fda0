// Route mode: reading the ports' addresses at start-up.
//
// Each port name "netmap:IFNAME" or "xdp:IFNAME" names a Linux interface; route_setup reads
// its MAC address from the AF_PACKET entry of getifaddrs and its IPv4
// address, netmask and broadcast with the SIOCGIF* queries on a datagram
// socket, checks an optional gateway, builds the port's ARP frames and maps
// its ARP table (16 bytes per address of the subnet, subnets up to /16).
#include "corvo/route.hpp"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

#include "common/log.hpp"
#include "common/unique_fd.hpp"
#include "corvo/arp.hpp"

using namespace common;
using namespace pipes;

namespace corvo {

route_config route_configs[2];

namespace {

constexpr const char netmap_prefix[] = "netmap:";
constexpr std::size_t netmap_prefix_len = sizeof netmap_prefix - 1;
constexpr const char xdp_prefix[] = "xdp:";
constexpr std::size_t xdp_prefix_len = sizeof xdp_prefix - 1;

struct ifaddrs_deleter {
    void operator()(ifaddrs* l) const noexcept { freeifaddrs(l); }
};
using ifaddrs_list = std::unique_ptr<ifaddrs, ifaddrs_deleter>;

// The four bytes of an address kept in network byte order, in the order
// they go on the wire.
struct quad {
    unsigned b[4];
    explicit quad(uint32_t a)
    {
        unsigned char c[4];
        std::memcpy(c, &a, 4);
        for (int i = 0; i < 4; ++i)
            b[i] = c[i];
    }
};

// The MAC of ifname from its AF_PACKET entry; false when there is none.
bool find_mac(const ifaddrs* list, const char* ifname, unsigned char (&mac)[6])
{
    for (const ifaddrs* a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_PACKET || std::strcmp(a->ifa_name, ifname) != 0)
            continue;
        const auto* ll = reinterpret_cast<const sockaddr_ll*>(a->ifa_addr);
        if (ll->sll_halen != 6)
            continue;
        std::memcpy(mac, ll->sll_addr, 6);
        return true;
    }
    return false;
}

// One SIOCGIF* query for ifname; the address in network byte order.
bool query_addr(int sock, unsigned long req, const char (&ifname)[16], uint32_t& out)
{
    static_assert(sizeof ifname == IFNAMSIZ);
    ifreq ifr;
    std::memset(&ifr, 0, sizeof ifr);
    std::memcpy(ifr.ifr_name, ifname, IFNAMSIZ);
    ifr.ifr_addr.sa_family = AF_INET;
    if (::ioctl(sock, req, &ifr) != 0)
        return false;
    sockaddr_in sin;
    std::memcpy(&sin, &ifr.ifr_addr, sizeof sin);  // the union member the query filled
    out = sin.sin_addr.s_addr;
    return true;
}

}  // namespace

void route_build_templates(route_config& rc)
{
    static constexpr unsigned char arp_head[8] = {0x00, 0x01, 0x08, 0x00, 6, 4, 0x00, 0x00};
    for (unsigned char* f : {rc.arp_reply, rc.arp_request}) {
        std::memset(f, 0, arp_frame_bytes);
        std::memcpy(f + 6, rc.mac, 6);
        f[12] = 0x08;
        f[13] = 0x06;
        std::memcpy(f + 14, arp_head, sizeof arp_head);
        std::memcpy(f + 22, rc.mac, 6);
        std::memcpy(f + 28, &rc.ip, 4);
    }
    rc.arp_reply[21] = 2;
    rc.arp_request[21] = 1;
    std::memset(rc.arp_request, 0xff, 6);
}

int route_port_setup(route_config& rc, const char* name, const char* gateway, const ifaddrs* list, int sock)
{
    if (!name)
        name = "";
    if (std::strncmp(name, "vale", 4) == 0) {
        log_msg("route mode not supported for VALE port %s\n", name);
        return 1;
    }
    size_t prefix_len = netmap_prefix_len;
    if (std::strncmp(name, xdp_prefix, xdp_prefix_len) == 0) {
        prefix_len = xdp_prefix_len;
    } else if (std::strncmp(name, netmap_prefix, netmap_prefix_len) != 0) {
        log_msg("missing netmap: prefix in %s\n", name);
        return 1;
    }
    // The whole rest is the interface name, as the port layer opens it:
    // Linux names may hold '-', '.', '_' and more.
    const char* rest = name + prefix_len;
    if (std::strlen(rest) > sizeof rc.ifname - 1) {
        log_msg("name too long: %s\n", rest);
        return 1;
    }
    std::memset(rc.ifname, 0, sizeof rc.ifname);
    std::strcpy(rc.ifname, rest);
    log_msg("trying to get configuration for %s\n", rc.ifname);

    errno = ENOENT;
    if (!find_mac(list, rc.ifname, rc.mac)) {
        log_msg("failed to get MAC address for %s: %s\n", rc.ifname, std::strerror(errno));
        return 1;
    }
    if (!query_addr(sock, SIOCGIFADDR, rc.ifname, rc.ip)) {
        log_msg("failed to get IPv4 address for %s: %s\n", rc.ifname, std::strerror(errno));
        return 1;
    }
    if (!query_addr(sock, SIOCGIFNETMASK, rc.ifname, rc.netmask)) {
        log_msg("failed to get IPv4 netmask for %s: %s\n", rc.ifname, std::strerror(errno));
        return 1;
    }
    if (!query_addr(sock, SIOCGIFBRDADDR, rc.ifname, rc.broadcast)) {
        log_msg("failed to get IPv4 broadcast for %s: %s\n", rc.ifname, std::strerror(errno));
        return 1;
    }
    if (rc.ip == 0) {
        log_msg("no IPv4 address found for %s\n", rc.ifname);
        return 1;
    }
    rc.network = rc.ip & rc.netmask;
    // Linux reports 0.0.0.0 for an address added without a broadcast; the
    // subnet's broadcast must still never be forwarded.
    if (rc.broadcast == 0)
        rc.broadcast = rc.network | ~rc.netmask;

    rc.gateway = 0;
    if (gateway) {
        in_addr gw;
        if (inet_aton(gateway, &gw) == 0) {
            log_msg("not a valid IP address: %s\n", gateway);
            return 1;
        }
        if ((gw.s_addr & rc.netmask) != rc.network) {
            log_msg("gateway %s unreachable\n", gateway);
            return 1;
        }
        rc.gateway = gw.s_addr;
    }

    quad ip(rc.ip), mask(rc.netmask), bcast(rc.broadcast), gw(rc.gateway);
    log_msg(
        "%s: ip %u.%u.%u.%u/%u.%u.%u.%u bcast %u.%u.%u.%u gw %u.%u.%u.%u mac "
        "%02x:%02x:%02x:%02x:%02x:%02x\n",
        rc.ifname, ip.b[0], ip.b[1], ip.b[2], ip.b[3], mask.b[0], mask.b[1], mask.b[2], mask.b[3], bcast.b[0],
        bcast.b[1], bcast.b[2], bcast.b[3], gw.b[0], gw.b[1], gw.b[2], gw.b[3], rc.mac[0], rc.mac[1],
        rc.mac[2], rc.mac[3], rc.mac[4], rc.mac[5]);

    route_build_templates(rc);

    // One entry per address of the subnet; 32-bit arithmetic, so a /0
    // wraps to 0 and is refused with every subnet wider than /16.
    uint32_t hosts = ntohl(~rc.netmask) + 1;
    if (hosts == 0 || hosts > route_max_hosts) {
        log_msg("subnet %u.%u.%u.%u of %s is wider than /16: not supported in route mode\n", mask.b[0],
                mask.b[1], mask.b[2], mask.b[3], rc.ifname);
        return 1;
    }
    std::size_t bytes = std::size_t{hosts} * sizeof(arp_entry);
    log_msg("allocating %zu bytes for arp table\n", bytes);
    void* t = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (t == MAP_FAILED) {
        log_msg("failed to allocate the arp table for %s: %s\n", rc.ifname, std::strerror(errno));
        return 1;
    }
    rc.arp_table = static_cast<arp_entry*>(t);
    return 0;
}

int route_setup(const char* const names[2], const char* const gateways[2])
{
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        log_msg("failed to get interface list: %s\n", std::strerror(errno));
        return 1;
    }
    ifaddrs_list list(raw);
    unique_fd sock(::socket(AF_INET, SOCK_DGRAM, 0));
    if (!sock.valid()) {
        log_msg("failed to open SOCK_DGRAM socket: %s\n", std::strerror(errno));
        return 1;
    }
    for (int i = 0; i < 2; ++i)
        if (route_port_setup(route_configs[i], names[i], gateways[i], list.get(), sock.get()) != 0)
            return 1;
    return 0;
}

}  // namespace corvo
