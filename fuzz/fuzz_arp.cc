// Arbitrary frames through the route mode's producer hand-off
// (route_divert, arp_handoff), the consumer's drain (arp_drain,
// cons_handle_arp) and MAC rewriting (cons_update_macs).
//
// Input: byte 0 the prefix length of the port's subnet (16 to 30), byte 1
// whether a gateway is set, bytes 2-3 the length of the frame's first slot;
// the rest is the frame (padded to 60 bytes as a port delivers it).  The
// frame lies in a buffer of exactly its size, and the ARP table has exactly
// one entry per subnet address, so any read beyond either is caught.
#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "corvo/arp.hpp"
#include "corvo/datapath.hpp"
#include "corvo/route.hpp"
#include "fuzz_util.hpp"
#include "netport/netport.hpp"

using namespace common;
using namespace pipes;
using namespace corvo;

namespace {

uint64_t fake_now = 7000000000ull;
uint64_t fake_clock() noexcept { return fake_now; }

struct vale_link {
    netport::port* corvo_end;
    netport::port* host_end;
};

vale_link& the_link()
{
    static vale_link l = [] {
        fuzz::quiet_logs();
        set_datapath_clock(fake_clock);
        const std::string sw = "valefuzzarp" + std::to_string(getpid());
        vale_link k{netport::nmport_open((sw + ":c").c_str()), netport::nmport_open((sw + ":h").c_str())};
        FUZZ_CHECK(k.corvo_end && k.host_end);
        return k;
    }();
    return l;
}

// Empties the host end so that the corvo end can always send.
void drain(netport::port* rx)
{
    netport::nmport_rxsync(rx);
    netport::ring* r = netport::nmport_rx_ring(rx);
    r->cur = r->head = r->tail;
    netport::nmport_rxsync(rx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    vale_link& lk = the_link();
    fuzz::input in{data, size};
    const int prefix = 16 + in.take<uint8_t>() % 15;
    const bool with_gw = in.take<uint8_t>() & 1;
    const uint32_t first_slot = in.take<uint16_t>();

    route_config rc{};
    rc.netmask = htonl(~0u << (32 - prefix));
    rc.ip = inet_addr("10.0.0.1");
    rc.network = rc.ip & rc.netmask;
    rc.broadcast = rc.network | ~rc.netmask;
    rc.gateway = with_gw ? inet_addr("10.0.0.254") : 0;
    const unsigned char mac[6] = {0x02, 0, 0x5e, 0x10, 0, 1};
    std::memcpy(rc.mac, mac, 6);
    route_build_templates(rc);
    std::vector<arp_entry> table(size_t{ntohl(~rc.netmask)} + 1);
    rc.arp_table = table.data();

    static arp_ring* ring = new arp_ring{};
    *ring = arp_ring{};
    static pipe_counters stats{};
    static pipe_state* pp = new pipe_state{};
    pp->~pipe_state();
    pipe_state& p = *new (pp) pipe_state{};
    p.route_mode = 1;
    p.burst = 7;
    p.in_if = p.out_if = &rc;
    p.arp_prod_ring = p.arp_cons_ring = ring;
    p.port_out = lk.corvo_end;
    p.prod_stats = &stats;
    p.t0 = 1000;
    p.cons_now = pipe_clock(p);

    // The frame as the producer sees it: at least 60 bytes, in one buffer
    // of exactly that size; the first slot may hold only part of it.
    const size_t flen = std::max<size_t>(in.size, 60);
    auto frame = std::make_unique<unsigned char[]>(flen);
    std::memset(frame.get(), 0, flen);
    std::memcpy(frame.get(), in.data, in.size);
    p.cur_pkt = frame.get();
    p.cur_len = uint32_t(flen);
    p.frags[0] = {frame.get(), first_slot ? std::min<uint32_t>(first_slot, uint32_t(flen)) : uint32_t(flen)};
    p.n_frags = 1;

    const uint64_t drops = stats.drop_pkts;
    const uint64_t handed = ring->prod_idx;
    const bool diverted = route_divert(p);
    const bool is_arp = flen >= 14 && frame[12] == 0x08 && frame[13] == 0x06;
    FUZZ_CHECK(diverted == (is_arp || p.frags[0].len < 14));
    FUZZ_CHECK(ring->prod_idx - handed <= 1);
    if (ring->prod_idx != handed)
        FUZZ_CHECK(stats.drop_pkts == drops);
    const int pending = arp_drain(p);
    FUZZ_CHECK(pending == 0 || pending == p.burst);
    FUZZ_CHECK(ring->cons_idx == ring->prod_idx && ring->free_idx == ring->prod_idx);

    // Not diverted: the consumer rewrites it when it falls due.
    if (!diverted) {
        const mac_result m = cons_update_macs(p, frame.get(), uint32_t(flen));
        FUZZ_CHECK(m.requests == 0 || m.requests == 1);
        if (m.verdict == mac_verdict::send)
            FUZZ_CHECK(std::memcmp(frame.get() + 6, mac, 6) == 0);
        else
            FUZZ_CHECK(m.requests == 0);
    }
    netport::nmport_txsync(lk.corvo_end);
    drain(lk.host_end);
    fake_now += 1000000000ull;
    return 0;
}
