#!/usr/bin/env bash
# Demonstration of corvo, run as root: two hosts in network namespaces,
# joined through a third namespace where corvo forwards Ethernet frames
# between two veth pairs.
#
#   host1 (10.77.0.1) --veth-- [ corvo ] --veth-- host2 (10.77.0.2)
#
# It first measures ping and a short iperf3 transfer through corvo without
# models, then through `corvo -D 10ms -B 10M` (round trip about 20 ms, about
# 10 Mbit/s), shows corvo's own lines and stops it with SIGINT.  Then, with
# the middle corvo forwarding again without models, it runs corvo-shell in
# host1: `corvo-shell -D 25ms -B 10M -- ping ...` and `-- iperf3 ...` reach
# host2 through a link of their own (round trip about 50 ms, 10 Mbit/s),
# and shows that corvo-shell left nothing in host1.  It removes everything
# it made.  Traffic stays inside the namespaces.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "demo.sh: run as root (it makes network namespaces)" >&2
  exit 1
fi

. scripts/deps.sh
ensure_packages

# BUILD_DIR picks another build directory; BUILD_TARGET=corvo builds only
# what the demonstration runs.
build=${BUILD_DIR:-build}
echo "== building in $build"
cmake -S . -B "$build" -G Ninja >/dev/null
cmake --build "$build" ${BUILD_TARGET:+--target "$BUILD_TARGET" corvo-shell}
corvo=$PWD/$build/bin/corvo
corvo_shell=$PWD/$build/bin/corvo-shell

# Unique names: at most 15 characters for an interface.
p=cvdemo$$
h1=${p}h1 h2=${p}h2 mid=${p}m
dev1=${p}a dev2=${p}b mid1=${p}ma mid2=${p}mb
work=$(mktemp -d /tmp/cvdemo.XXXXXX)
corvo_pid= iperf_pid=

cleanup() {
  set +e
  for pid in $corvo_pid $iperf_pid; do
    kill -INT "$pid" 2>/dev/null
  done
  sleep 0.5
  for pid in $corvo_pid $iperf_pid; do
    kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  done
  for ns in "$h1" "$h2" "$mid"; do
    ip netns del "$ns" 2>/dev/null
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

echo "== network: $h1 ($dev1, 10.77.0.1) <-> $mid ($mid1 | corvo | $mid2) <-> $h2 ($dev2, 10.77.0.2)"
ip netns add "$h1"
ip netns add "$h2"
ip netns add "$mid"
ip -n "$mid" link add "$mid1" type veth peer name "$dev1"
ip -n "$mid" link add "$mid2" type veth peer name "$dev2"
ip -n "$mid" link set "$dev1" netns "$h1"
ip -n "$mid" link set "$dev2" netns "$h2"
for pair in "$h1 $dev1" "$h2 $dev2" "$mid $mid1" "$mid $mid2"; do
  read -r ns dev <<<"$pair"
  ip netns exec "$ns" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  # corvo forwards frames as they are: no segmentation or checksum offloads.
  ip netns exec "$ns" ethtool -K "$dev" tso off gso off gro off tx off rx off sg off >/dev/null 2>&1 || true
  ip -n "$ns" link set "$dev" up
done
ip -n "$h1" addr add 10.77.0.1/24 dev "$dev1"
ip -n "$h2" addr add 10.77.0.2/24 dev "$dev2"

# Starts corvo in the middle namespace with the given model options and
# waits for both directions' banners.
start_corvo() {
  ip netns exec "$mid" "$corvo" -i "netmap:$mid1" -i "netmap:$mid2" "$@" 2>"$work/corvo.log" &
  corvo_pid=$!
  for _ in $(seq 100); do
    [ "$(grep -c 'hold-buf' "$work/corvo.log" || true)" -ge 2 ] && return 0
    kill -0 "$corvo_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "corvo did not start:" >&2
  cat "$work/corvo.log" >&2
  exit 1
}

stop_corvo() {
  kill -INT "$corvo_pid"
  local status=0
  wait "$corvo_pid" || status=$?
  corvo_pid=
  echo "-- corvo's lines:"
  sed 's/^/   /' "$work/corvo.log"
  echo "-- corvo exit status: $status"
}

measure() {
  echo "-- ping 10.77.0.2 from $h1"
  ip netns exec "$h1" ping -c 5 -i 0.2 10.77.0.2 || echo "(ping failed)"
  echo "-- iperf3, 5 s from $h1 to $h2"
  ip netns exec "$h2" iperf3 -s -1 -B 10.77.0.2 >/dev/null 2>&1 &
  iperf_pid=$!
  sleep 0.5
  timeout 30 ip netns exec "$h1" iperf3 -c 10.77.0.2 -t 5 | grep -E 'sender|receiver' || echo "(iperf3 failed)"
  kill "$iperf_pid" 2>/dev/null || true
  wait "$iperf_pid" 2>/dev/null || true
  iperf_pid=
}

# The four polling threads are not placed on CPUs of their own (-C -1,...):
# they share the processors with the hosts' traffic, so a packet may be
# sent a few milliseconds after it falls due.  -d 100ms lets it go out then
# instead of dropping it at the default late limit of 100 us.
late=(-d 100ms)

echo
echo "== through corvo without models: corvo -i netmap:$mid1 -i netmap:$mid2 -C -1,-1,-1,-1 ${late[*]}"
start_corvo -C -1,-1,-1,-1 "${late[@]}"
measure
stop_corvo

echo
echo "== through corvo -i netmap:$mid1 -i netmap:$mid2 -D 10ms -B 10M -C -1,-1,-1,-1 ${late[*]}"
echo "   (10 ms each way: round trip about 20 ms; 10 Mbit/s each way)"
start_corvo -D 10ms -B 10M -C -1,-1,-1,-1 "${late[@]}"
measure
stop_corvo

echo
echo "== corvo-shell in $h1: its command reaches $h2 through a link of its own"
echo "   (the middle corvo forwards again, without models)"
start_corvo -C -1,-1,-1,-1 "${late[@]}"
echo "-- corvo-shell -D 25ms -B 10M -- ping -c 5 -i 0.2 10.77.0.2   (25 ms each way: round trip about 50 ms)"
ip netns exec "$h1" "$corvo_shell" -D 25ms -B 10M -- ping -c 5 -i 0.2 10.77.0.2 || echo "(corvo-shell failed)"
echo "-- corvo-shell -D 25ms -B 10M -- iperf3 -c 10.77.0.2 -t 5   (about 10 Mbit/s of frames, 9.56 of payload)"
ip netns exec "$h2" iperf3 -s -1 -B 10.77.0.2 >/dev/null 2>&1 &
iperf_pid=$!
sleep 0.5
ip netns exec "$h1" "$corvo_shell" -D 25ms -B 10M -- iperf3 -c 10.77.0.2 -t 5 | grep -E 'sender|receiver' ||
  echo "(corvo-shell failed)"
wait "$iperf_pid" 2>/dev/null || true
iperf_pid=
echo "-- left in $h1 after corvo-shell: interfaces, nft tables, ip_forward"
ip -n "$h1" -brief link
ip netns exec "$h1" nft list tables
ip netns exec "$h1" sysctl net.ipv4.ip_forward
stop_corvo

echo
echo "== done; removing the namespaces"
