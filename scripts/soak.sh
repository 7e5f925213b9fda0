#!/usr/bin/env bash
# Soak benchmark (not a test): MINUTES (default 30) of mixed traffic through
# corvo in both directions with every model on, while a client publishes new
# models every 10 s.  At the end it accounts for every packet of each
# direction from the counters, compares corvo's resident memory at the start
# and at the end, and lists every log line of corvo that is not one of the
# expected ones.  Root: it makes three network namespaces and two veth pairs
# (removed on exit) and sends only inside them.
#
#   sudo scripts/soak.sh [minutes]       # BUILD_DIR=build by default
set -euo pipefail
cd "$(dirname "$0")/.."

minutes=${1:-30}
secs=$((minutes * 60))
build=${BUILD_DIR:-build}
if [ "$(id -u)" -ne 0 ]; then
  echo "soak: needs root (network namespaces)" >&2
  exit 1
fi
if [ ! -x "$build/bin/corvo" ] || [ ! -x "$build/bin/probe" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j 2 --target corvo probe corvo-stat
fi
corvo=$(realpath "$build/bin/corvo")
probe=$(realpath "$build/bin/probe")

p=sk$$
h1=${p}h1 h2=${p}h2 m=${p}m
d1=${p}a d2=${p}b m1=${p}ma m2=${p}mb
work=$(mktemp -d /tmp/soak.XXXXXX)
session=$work/emu.session
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.5
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  for n in "$h1" "$h2" "$m"; do ip netns del "$n" 2>/dev/null || true; done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

for n in "$h1" "$h2" "$m"; do ip netns add "$n"; ip -n "$n" link set lo up; done
ip -n "$m" link add "$m1" type veth peer name "$d1"
ip -n "$m" link add "$m2" type veth peer name "$d2"
ip -n "$m" link set "$d1" netns "$h1"
ip -n "$m" link set "$d2" netns "$h2"
for x in "$h1 $d1" "$h2 $d2" "$m $m1" "$m $m2"; do
  set -- $x
  ip netns exec "$1" sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  ip netns exec "$1" ethtool -K "$2" tso off gso off gro off tx off rx off sg off >/dev/null 2>&1 || true
  ip -n "$1" link set "$2" up
done

# The owner: every model on in both directions, room for the clients' models.
models1=(-D uniform,1ms,5ms -B 40M -L 0.001 -R const,0.01,2ms)
models2=(-D exp,1ms,3ms -B ether,30M -L ber,1e-7 -R const,0.02,1ms -Q 64k)
models3=(-D inter-packet,10us,50us,2ms -D 4ms -B avg,50M -L plr,0.002 -R const,0.005,3ms)
ip netns exec "$m" "$corvo" -C -1,-1,-1,-1 -d 100ms -s "$session" -i "netmap:$m1" -i "netmap:$m2" \
  -M 20ms,100M,5ms "${models1[@]}" 2>"$work/corvo.log" &
cpid=$!
pids+=("$cpid")
for _ in $(seq 100); do [ "$(grep -c hold-buf "$work/corvo.log" || true)" -ge 2 ] && break; sleep 0.1; done
rss_kib() { awk '/^VmRSS:/ {print $2}' "/proc/$cpid/status"; }

# Receivers first, then mixed-size senders in both directions.
ip netns exec "$h2" "$probe" recv -i "netmap:$d2" -t $((secs + 60)) -w 8 >"$work/rx_a.json" 2>"$work/rx_a.err" &
pids+=($!)
ip netns exec "$h1" "$probe" recv -i "netmap:$d1" -t $((secs + 60)) -w 8 >"$work/rx_b.json" 2>"$work/rx_b.err" &
pids+=($!)
sleep 1
ip netns exec "$h1" "$probe" send -i "netmap:$d1" -s 60-1514 -r 3000 -t "$secs" \
  --src-ip 10.88.0.1 --dst-ip 10.88.0.2 >"$work/tx_a.json" 2>"$work/tx_a.err" &
txa=$!
ip netns exec "$h2" "$probe" send -i "netmap:$d2" -s 60,576,1514 -r 2000 -t "$secs" \
  --src-ip 10.88.0.2 --dst-ip 10.88.0.1 >"$work/tx_b.json" 2>"$work/tx_b.err" &
txb=$!
pids+=("$txa" "$txb")

sleep 20
rss_start=$(rss_kib)
rss_max=$rss_start
published=0 refused=0 n=0
end=$((SECONDS + secs - 20))
while [ $SECONDS -lt $end ]; do
  sleep 10
  n=$((n + 1))
  case $((n % 3)) in
    0) set -- "${models1[@]}" ;;
    1) set -- "${models2[@]}" ;;
    2) set -- "${models3[@]}" ;;
  esac
  if ip netns exec "$m" "$corvo" -C -1,-1,-1,-1 -s "$session" "$@" 2>>"$work/clients.log"; then
    published=$((published + 1))
  else
    refused=$((refused + 1))
  fi
  r=$(rss_kib)
  [ "$r" -gt "$rss_max" ] && rss_max=$r
  echo "$SECONDS $r" >>"$work/rss.log"
done
wait "$txa" "$txb" || true
# Everything queued or held leaves within the largest delay; the receivers
# end after 8 s without a frame.
sleep 10
rss_end=$(rss_kib)
counters() { od -A n -t u8 -w32 -j "$1" -N 32 "$session"; }   # pkts bytes drop_pkts drop_bytes
for off in 0 128 256 384; do counters $off; done >"$work/counters.txt"
read -r pa _ dpa _ < <(counters 0)
read -r ca _ dca _ < <(counters 128)
read -r pb _ dpb _ < <(counters 256)
read -r cb _ dcb _ < <(counters 384)
kill -INT "$cpid"
wait "$cpid" || true
for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
pids=()

field() { grep -o "\"$2\":[0-9]*" "$1" | head -1 | cut -d: -f2; }
report() {  # name sent prod_pkts prod_drops cons_pkts cons_drops received
  local queued=$(($3 - $5 - $6))
  local uncounted=$(($2 - $3 - $4))
  printf '%s: sent %d; corvo received %d (enqueued %d + dropped %d), uncounted %d; enqueued = sent on %d + dropped late %d + still queued %d; probe received %d (%+d against sent on)\n' \
    "$1" "$2" $(($3 + $4)) "$3" "$4" "$uncounted" "$5" "$6" "$queued" "$7" $(($7 - $5))
  [ "$uncounted" -eq 0 ] && [ "$queued" -eq 0 ] && [ "$7" -eq "$5" ]
}
ok=0
exec > >(tee "$work/report.txt")
report "A->B" "$(field "$work/tx_a.json" sent)" "$pa" "$dpa" "$ca" "$dca" "$(field "$work/rx_a.json" frames)" || ok=1
report "B->A" "$(field "$work/tx_b.json" sent)" "$pb" "$dpb" "$cb" "$dcb" "$(field "$work/rx_b.json" frames)" || ok=1
echo "memory: VmRSS ${rss_start} KiB after 20 s, ${rss_max} KiB at most, ${rss_end} KiB at the end"
echo "clients: $published published, $refused refused (every 10 s)"
# Expected lines once running: one statistics line a second, the
# rate-limited notices of drops at the queue limit or a full hold buffer,
# and the end.
awk 'started && !/ -> .* <- / && !/exiting on abort/ && !/too many bytes queued|hold buffer full/ { print }
     / -> .* <- / { started = 1 }' "$work/corvo.log" >"$work/unexpected.log"
echo "drop notices (rate-limited): $(grep -c -E 'too many bytes queued|hold buffer full' "$work/corvo.log")"
echo "unexpected corvo log lines: $(wc -l <"$work/unexpected.log") (in $work/unexpected.log)"
head -5 "$work/unexpected.log"
[ -s "$work/clients.log" ] && { echo "client messages:"; sort "$work/clients.log" | uniq -c | head -5; }
echo "files kept in $work"
exit $ok
