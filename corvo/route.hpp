// Route mode: the addresses of the two ports.
//
// With -r corvo forwards IPv4 between the subnets of its two ports like a
// router.  route_setup reads, once at start-up, each port's interface
// address, netmask, broadcast and MAC address from the operating system,
// builds the two 60-byte ARP frames the consumers send from that port and
// maps its ARP table (see arp.hpp).  Addresses are kept in network byte order.
#pragma once

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>

struct ifaddrs;  // <ifaddrs.h>

namespace corvo {

struct arp_entry;

// Bytes of the ARP frames corvo sends (a minimum-size Ethernet frame
// without the frame check sequence).
inline constexpr std::size_t arp_frame_bytes = 60;

// Widest subnet accepted in route mode: a /16 needs a 1 MiB ARP table, a /8
// would need 256 MiB of locked memory.
inline constexpr uint32_t route_max_hosts = 65536;

// One port's addresses, frame templates and ARP table.  Zero until
// route_setup fills it; afterwards ifname..mac and arp_table never change,
// and the templates and the table are written only by the consumer that
// transmits on the port.
struct route_config {
    char ifname[16];  // interface name, NUL-terminated
    uint32_t ip;      // interface address
    uint32_t netmask;
    uint32_t network;                            // ip & netmask
    uint32_t broadcast;                          // subnet broadcast address
    uint32_t gateway;                            // -G for this port, 0 = none
    unsigned char mac[6];                        // interface MAC address
    unsigned char arp_reply[arp_frame_bytes];    // reply from this port
    unsigned char arp_request[arp_frame_bytes];  // request from this port
    arp_entry* arp_table;                        // one entry per subnet address
};

// Record 0 is the first port (ifa), record 1 the second (ifb).
extern route_config route_configs[2];

// Fills route_configs from the two -i names and the two -G texts (a -G text
// may be null).  Every failure is logged (log_msg); the caller then writes
// the usage text and ends the process with status 1.  Returns 0 on success,
// 1 on failure.
[[nodiscard]] int route_setup(const char* const names[2], const char* const gateways[2]);

// The same for one port into rc, with the interface list of getifaddrs and
// an AF_INET datagram socket for the address queries.
[[nodiscard]] int route_port_setup(route_config& rc, const char* name, const char* gateway,
                                   const ::ifaddrs* list, int sock);

// The host-byte-order table index of address a (network byte order) on rc's
// subnet: its host part.
inline uint32_t route_host_index(const route_config& rc, uint32_t a) noexcept
{
    return ntohl(a & ~rc.netmask);
}

// Fills the two ARP templates from rc's mac and ip.
void route_build_templates(route_config& rc);

}  // namespace corvo
