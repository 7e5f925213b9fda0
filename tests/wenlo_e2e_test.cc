// End to end as root: wenlo replays a capture on one end of a veth pair in a
// network namespace made by the test; the other end receives with kernel
// time stamps, which must follow the capture's gaps.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <thread>

#include "wenlo_testutil.hpp"

using namespace wenlo_test;

namespace {

constexpr uint16_t test_ethertype = 0x88b5;  // local experimental

bool sh(const std::string& cmd) { return std::system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// A namespace with a veth pair wa/wb inside; removed with everything in it.
struct veth_ns {
    std::string name = "wenlo_e2e_" + std::to_string(getpid());
    bool ok = false;
    veth_ns()
    {
        sh("ip netns del " + name);
        ok = sh("ip netns add " + name) && sh("ip -n " + name + " link add wa type veth peer name wb") &&
             sh("ip netns exec " + name + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1") &&
             sh("ip -n " + name + " link set wa up") && sh("ip -n " + name + " link set wb up");
    }
    ~veth_ns() { sh("ip netns del " + name); }
};

struct stamped {
    uint64_t t_ns;  // kernel receive time, CLOCK_REALTIME
    uint32_t idx;
};

// Receives up to n test frames on wb inside the namespace, within seconds.
std::vector<stamped> receive_in(const std::string& ns, size_t n, double seconds, bool& ready)
{
    std::vector<stamped> got;
    int nsfd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    if (nsfd < 0 || setns(nsfd, CLONE_NEWNET) != 0)
        return got;
    close(nsfd);
    int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(test_ethertype));
    if (s < 0)
        return got;
    sockaddr_ll sll{};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(test_ethertype);
    sll.sll_ifindex = static_cast<int>(if_nametoindex("wb"));
    int on = 1;
    timeval tv{0, 100000};
    if (bind(s, reinterpret_cast<sockaddr*>(&sll), sizeof sll) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0 ||
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) {
        close(s);
        return got;
    }
    ready = true;
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
        unsigned char frame[2048];
        alignas(cmsghdr) char ctl[256];
        iovec iov{frame, sizeof frame};
        msghdr mh{};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = ctl;
        mh.msg_controllen = sizeof ctl;
        ssize_t len = recvmsg(s, &mh, 0);
        if (len < 18)
            continue;
        for (cmsghdr* c = CMSG_FIRSTHDR(&mh); c != nullptr; c = CMSG_NXTHDR(&mh, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec ts;
                std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
                stamped st{static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec),
                           0};
                std::memcpy(&st.idx, frame + 14, 4);
                got.push_back(st);
            }
        }
    }
    close(s);
    return got;
}

record test_frame(uint64_t t_ns, uint32_t idx)
{
    record r = rec(t_ns, 100, idx);
    const unsigned char hdr[14] = {
        0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0x02, 0, 0, 0, 0, 1, test_ethertype >> 8, test_ethertype & 0xff};
    std::memcpy(r.data.data(), hdr, 14);
    std::memcpy(r.data.data() + 14, &idx, 4);
    return r;
}

}  // namespace

TEST(WenloE2E, ReplayTimingOverVeth)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to create a network namespace and a veth pair";
    veth_ns ns;
    ASSERT_TRUE(ns.ok) << "cannot create namespace " << ns.name;

    // 30 packets, gaps alternating 1 ms and 2 ms; first_pkt_time 1.5 ms.
    std::vector<record> recs;
    std::vector<uint64_t> gap_after(30);
    uint64_t t = 0;
    for (uint32_t i = 0; i < 30; i++) {
        recs.push_back(test_frame(t, i));
        gap_after[i] = i == 29 ? 1500000 : (i % 2 ? 2000000 : 1000000);
        t += gap_after[i];
    }
    temp_file cap(pcap_bytes(recs));

    bool ready = false;
    std::vector<stamped> got;
    std::thread rx([&] { got = receive_in(ns.name, 90, 10, ready); });
    for (int i = 0; i < 100 && !ready; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    wenlo_proc w({"-C", "-1", "-f", cap.path, "-i", "netmap:wa"}, {"ip", "netns", "exec", ns.name});
    rx.join();
    w.interrupt();
    int status = w.wait(10);
    ASSERT_TRUE(ready) << "receiver could not start in the namespace";
    ASSERT_EQ(got.size(), 90u) << w.err();
    EXPECT_EQ(status, 3) << w.err();

    std::vector<double> err;
    for (size_t i = 1; i < got.size(); i++) {
        ASSERT_EQ(got[i].idx, (got[0].idx + i) % 30) << i;
        err.push_back(std::abs(static_cast<double>(got[i].t_ns - got[i - 1].t_ns) -
                               static_cast<double>(gap_after[got[i - 1].idx])));
    }
    std::sort(err.begin(), err.end());
    EXPECT_LT(err[err.size() / 2], 500000.0) << "median timing error in ns";
    uint64_t want = 0;
    for (size_t i = 0; i + 1 < got.size(); i++)
        want += gap_after[got[i].idx];
    EXPECT_NEAR(static_cast<double>(got.back().t_ns - got.front().t_ns), static_cast<double>(want), 10e6);
}
