// Port names, the open/close steps and the dispatch to the backends.
#include "netport/port_impl.hpp"

#include <net/if.h>

#include <memory>

namespace netport {

namespace {

bool is_word_char(char c, bool allow_dot)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || (allow_dot && c == '.');
}

// Splits "valeSW:PORT"; refuses characters that would leak into a file name.
bool parse_vale_name(port* p)
{
    const std::string& n = p->name;
    size_t colon = n.find(':');
    if (colon == std::string::npos) {
        set_error("netport: port %s: expected valeSW:PORT (for example vale0:a)", n.c_str());
        return false;
    }
    std::string sw = n.substr(4, colon - 4);
    std::string pn = n.substr(colon + 1);
    for (char c : sw)
        if (!is_word_char(c, false)) {
            set_error("netport: port %s: switch name \"%s\" may hold only letters, digits, '_' and '-'",
                      n.c_str(), sw.c_str());
            return false;
        }
    size_t bad = 0;
    while (bad < pn.size() && is_word_char(pn[bad], true))
        ++bad;
    if (pn.empty() || bad == 0) {
        set_error("netport: port %s: missing port name after ':'", n.c_str());
        return false;
    }
    if (bad < pn.size()) {
        set_error("netport: port %s: suffix \"%s\" is not supported on vale ports", n.c_str(),
                  pn.c_str() + bad);
        return false;
    }
    if (sw.size() > 64 || pn.size() > 31) {
        set_error("netport: port %s: name too long (switch at most 64, port at most 31 characters)",
                  n.c_str());
        return false;
    }
    p->switch_name = sw;
    p->port_name = pn;
    return true;
}

// "netmap:IFNAME" or "xdp:IFNAME": `prefix` bytes before the interface name.
bool parse_netmap_name(port* p, size_t prefix = 7)
{
    std::string ifn = p->name.substr(prefix);
    if (ifn.empty()) {
        set_error("netport: port %s: missing interface name after \"%s\"", p->name.c_str(),
                  p->name.substr(0, prefix).c_str());
        return false;
    }
    // Characters that netmap uses for ring, pipe and option suffixes; none of
    // them can appear in a Linux interface name.
    size_t s = ifn.find_first_of("^*@/{}:| \t\n");
    if (s != std::string::npos) {
        set_error(
            "netport: port %s: suffix \"%s\" is not supported: this layer opens whole "
            "interfaces only",
            p->name.c_str(), ifn.c_str() + s);
        return false;
    }
    if (ifn.size() >= IFNAMSIZ) {
        set_error("netport: port %s: interface name longer than %d characters", p->name.c_str(),
                  IFNAMSIZ - 1);
        return false;
    }
    p->ifname = ifn;
    return true;
}

}  // namespace

void nmctx_set_threadsafe()
{
    // Every port keeps its own state and the shared start-up tables are
    // guarded inside the backends: nothing to switch on.
}

port* nmport_prepare(const char* name)
{
    if (name == nullptr) {
        set_error("netport: no port name given");
        return nullptr;
    }
    auto p = std::make_unique<port>();
    p->name = name;
    if (p->name.rfind("netmap:", 0) == 0) {
        if (!parse_netmap_name(p.get()))
            return nullptr;
        p->kind = port_kind::packet;
    } else if (p->name.rfind("xdp:", 0) == 0) {
        if (!parse_netmap_name(p.get(), 4))
            return nullptr;
        p->kind = port_kind::xdp;
    } else if (p->name.rfind("vale", 0) == 0) {
        if (!parse_vale_name(p.get()))
            return nullptr;
        p->kind = port_kind::vale;
    } else {
        set_error("netport: port %s: unknown port name (use netmap:IFNAME, xdp:IFNAME or valeSW:PORT)", name);
        return nullptr;
    }
    return p.release();
}

uint32_t* nr_flags(port* p) { return &p->flags; }

int nmport_open_desc(port* p)
{
    if (p == nullptr)
        return -1;
    if (p->opened) {
        set_error("netport: port %s: already open", p->name.c_str());
        return -1;
    }
    int r = p->kind == port_kind::xdp    ? xdp_open(p)
            : p->kind == port_kind::vale ? vale_open(p)
                                         : packet_open(p);
    if (r == 0)
        p->opened = true;
    return r;
}

port* nmport_open(const char* name)
{
    port* p = nmport_prepare(name);
    if (p == nullptr)
        return nullptr;
    p->lazy_rx = true;
    if (nmport_open_desc(p) != 0) {
        delete p;
        return nullptr;
    }
    return p;
}

int nmport_inject(port* p, const void* frame, size_t len)
{
    if (p->kind == port_kind::xdp)
        return xdp_inject(p, frame, len);
    if (p->kind == port_kind::vale)
        return vale_inject(p, frame, len);
    return packet_inject(p, frame, len);
}

void nmport_txsync(port* p)
{
    if (p->kind == port_kind::xdp)
        xdp_txsync(p);
    else if (p->kind == port_kind::vale)
        vale_txsync(p);
    else
        packet_txsync(p);
}

void nmport_rxsync(port* p)
{
    if (p->kind == port_kind::xdp)
        xdp_rxsync(p);
    else if (p->kind == port_kind::vale)
        vale_rxsync(p);
    else
        packet_rxsync(p);
}

ring* nmport_rx_ring(port* p)
{
    if (p->kind == port_kind::xdp)
        return xdp_rx_ring(p);
    return p->kind == port_kind::vale ? vale_rx_ring(p) : packet_rx_ring(p);
}

uint64_t nmport_rx_timestamp(const port* p, uint32_t slot)
{
    if (p->kind == port_kind::xdp)
        return xdp_rx_timestamp(p, slot);
    return p->kind == port_kind::vale ? vale_rx_timestamp(p, slot) : packet_rx_timestamp(p, slot);
}

bool nmport_peer_attached(const port* p) { return p->kind == port_kind::vale ? vale_peer_attached(p) : true; }

size_t nmport_max_frame(const port* p)
{
    if (p->kind == port_kind::xdp)
        return xdp_max_frame(p);
    return p->kind == port_kind::vale ? max_frame_bytes : packet_max_frame(p);
}

port_drops nmport_drops(const port* p)
{
    port_drops d;
    d.truncated = load_relaxed(p->drops.truncated);
    d.peer_absent = load_relaxed(p->drops.peer_absent);
    d.oversize = load_relaxed(p->drops.oversize);
    d.damaged = load_relaxed(p->drops.damaged);
    d.too_short = load_relaxed(p->drops.too_short);
    return d;
}

int nmport_fd(const port* p)
{
    if (p->kind == port_kind::xdp)
        return xdp_fd(p);
    return p->kind == port_kind::vale ? vale_fd(p) : packet_fd(p);
}

void nmport_rx_wait(port* p, int64_t timeout_ns)
{
    if (timeout_ns <= 0)
        return;
    const timespec timeout{time_t(timeout_ns / 1'000'000'000), long(timeout_ns % 1'000'000'000)};
    if (p->kind == port_kind::xdp)
        xdp_rx_wait(p, timeout);
    else if (p->kind == port_kind::vale)
        vale_rx_wait(p, timeout);
    else
        packet_rx_wait(p, timeout);
}

void nmport_close(port* p)
{
    if (p == nullptr)
        return;
    if (p->opened) {
        if (p->kind == port_kind::xdp)
            xdp_close(p);
        else if (p->kind == port_kind::vale)
            vale_close(p);
        else
            packet_close(p);
    }
    delete p;
}

}  // namespace netport
