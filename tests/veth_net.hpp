// Three network namespaces for end-to-end tests, made and removed by the
// test itself (root only):
//
//   h1 (dev <p>a) -- <p>ma [mid] <p>mb -- h2 (dev <p>b)
//
// IPv6 is off and every offload is off on the four ends; with addresses,
// h1 is 10.77.0.1/24 and h2 10.77.0.2/24 (one subnet: the middle forwards
// Ethernet frames).  Every command is bounded in time.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace veth_test {

// Runs a shell command quietly, at most 20 s; its exit status (128 when it
// did not exit normally).
inline int sh(const std::string& cmd)
{
    const int st = std::system(("timeout -k 2 20 " + cmd + " >/dev/null 2>&1").c_str());
    return WIFEXITED(st) ? WEXITSTATUS(st) : 128;
}

struct veth_net {
    std::string p;
    std::string h1 = p + "h1", h2 = p + "h2", mid = p + "m";
    std::string dev1 = p + "a", dev2 = p + "b", mid1 = p + "ma", mid2 = p + "mb";
    bool ok = false;

    // prefix: a few letters; the process id makes the names unique.
    veth_net(const std::string& prefix, bool addresses) : p(prefix + std::to_string(getpid()))
    {
        remove();
        ok = sh("ip netns add " + h1) == 0 && sh("ip netns add " + h2) == 0 &&
             sh("ip netns add " + mid) == 0 &&
             sh("ip -n " + mid + " link add " + mid1 + " type veth peer name " + dev1) == 0 &&
             sh("ip -n " + mid + " link add " + mid2 + " type veth peer name " + dev2) == 0 &&
             sh("ip -n " + mid + " link set " + dev1 + " netns " + h1) == 0 &&
             sh("ip -n " + mid + " link set " + dev2 + " netns " + h2) == 0;
        const std::string off = " tso off gso off gro off tx off rx off sg off";
        for (const auto& [ns, dev] : {std::pair{h1, dev1}, {h2, dev2}, {mid, mid1}, {mid, mid2}}) {
            ok = ok && sh("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1") == 0;
            ok = ok && sh("ip netns exec " + ns + " ethtool -K " + dev + off) == 0;
            ok = ok && sh("ip -n " + ns + " link set " + dev + " up") == 0;
        }
        if (addresses)
            ok = ok && sh("ip -n " + h1 + " addr add 10.77.0.1/24 dev " + dev1) == 0 &&
                 sh("ip -n " + h2 + " addr add 10.77.0.2/24 dev " + dev2) == 0;
    }
    ~veth_net() { remove(); }
    veth_net(const veth_net&) = delete;
    veth_net& operator=(const veth_net&) = delete;

    void remove()
    {
        for (const std::string& ns : {h1, h2, mid})
            sh("ip netns del " + ns);
    }
    // cmd run inside namespace ns.
    std::vector<std::string> in(const std::string& ns, std::vector<std::string> cmd) const
    {
        cmd.insert(cmd.begin(), {"/usr/bin/env", "ip", "netns", "exec", ns});
        return cmd;
    }
};

}  // namespace veth_test
