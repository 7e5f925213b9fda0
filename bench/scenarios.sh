#!/bin/bash
# Scenario benchmarks (root): forwarding over vale and veth, delay and rate
# accuracy, replay against tcpreplay.  Prints one JSON object per figure on
# standard output ("name": ..., fields).  Usage: scenarios.sh BINDIR
# BENCH_SECONDS (default 2) sets the length of one forwarding trial,
# BENCH_REPLAY_SECONDS (default 60) the length of the replay timing runs.
set -u
BIN=$(cd "$1" && pwd)
HERE=$(cd "$(dirname "$0")" && pwd)
T=${BENCH_SECONDS:-2}
RT=${BENCH_REPLAY_SECONDS:-60}
ID=pb$$
WORK=$(mktemp -d /tmp/corvo-bench.XXXXXX)
NS_S=${ID}s NS_M=${ID}m NS_D=${ID}d NS_R=${ID}r
PIDS=()

cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  for n in $NS_S $NS_M $NS_D $NS_R; do ip netns del "$n" 2>/dev/null; done
  rm -rf "$WORK" /dev/shm/netport-vale-${ID}* 2>/dev/null
}
trap cleanup EXIT
trap "exit 130" INT TERM

emit() { echo "$1"; echo "$1" >&2; }
PARTS=" ${BENCH_PARTS:-vale veth rate replay} "
part() { [[ $PARTS == *" $1 "* ]]; }
corvo_cmd() { echo "$BIN/corvo -q -C -1,-1,-1,-1 $*"; }

# --- vale ------------------------------------------------------------------
if part vale; then
# One trial: offered rate R (pps) for T seconds; prints the receiver's JSON.
vale_trial() {  # mode(raw|corvo) rate [corvo options]
  local mode=$1 rate=$2; shift 2
  local sw=${ID}v$RANDOM n=$(( rate * T )) out=$WORK/rx.json
  rm -f "$WORK/ready"
  if [ "$mode" = raw ]; then
    "$BIN/probe" recv -i vale${sw}:b -n $n -w 3 --ready "$WORK/ready" > $out 2>/dev/null &
    local rp=$!
    while [ ! -e "$WORK/ready" ]; do sleep 0.02; done
    "$BIN/probe" send -i vale${sw}:a -n $n -r $rate -W 5 >/dev/null 2>&1
  else
    "$BIN/probe" recv -i vale${sw}y:d -n $n -w 3 --ready "$WORK/ready" > $out 2>/dev/null &
    local rp=$!
    while [ ! -e "$WORK/ready" ]; do sleep 0.02; done
    $(corvo_cmd "$@" -i vale${sw}x:b -i vale${sw}y:c) >/dev/null 2>&1 &
    local cp=$!
    sleep 1  # corvo maps and locks its buffers before it forwards
    "$BIN/probe" send -i vale${sw}x:a -n $n -r $rate -W 5 >/dev/null 2>&1
  fi
  wait $rp
  [ "$mode" = corvo ] && { kill -INT $cp; wait $cp; }
  rm -f /dev/shm/netport-vale-${sw}* 2>/dev/null
  cat $out
}

loss_of() {  # offered count, receiver JSON on stdin: share of frames not received
  python3 -c 'import json,sys
try: j=json.loads(sys.stdin.read())
except ValueError: j={}
print(1.0 - min(j.get("frames",0), int(sys.argv[1]))/int(sys.argv[1]))' "$1"
}

# Highest rate of RATES with loss under 0.1 %.
search() {  # trial-function args...
  local best=0 r j l
  for r in 25000 50000 100000 200000 400000 800000 1600000 3200000 6400000; do
    j=$("$@" $r)
    l=$(echo "$j" | loss_of $(( r * T )))
    echo "  $* $r pps: loss $l" >&2
    python3 -c "import sys; sys.exit(0 if $l < 0.001 else 1)" || break
    best=$r
  done
  echo $best
}

vale_raw() { vale_trial raw "$1"; }
vale_corvo() { vale_trial corvo "$1" -d 1; }
raw=$(search vale_raw); fwd=$(search vale_corvo)
emit "{\"name\":\"vale_forwarding_pps\",\"corvo\":$fwd,\"raw_link\":$raw,\"ratio\":$(python3 -c "print(round($fwd/max($raw,1),3))"),\"target_ratio\":0.5}"

delay_json() {  # name rate receiver-json
  python3 - "$1" "$2" "$3" <<'PY'
import json, sys
j = json.loads(sys.argv[3] or "{}")
d = j.get("delay_ns", {})
f = lambda k: None if k not in d else d[k] - 1000000
print(json.dumps({"name": sys.argv[1], "pps": int(sys.argv[2]), "frames": j.get("frames", 0), "lost": j.get("lost"),
  "delay_err_ns": {"median": f("median"), "p99": f("p99"), "p999": f("p999"), "max": f("max")}}))
PY
}
raw_delay_json() {
  python3 - "$1" "$2" "$3" <<'PY'
import json, sys
j = json.loads(sys.argv[3] or "{}")
print(json.dumps({"name": sys.argv[1], "pps": int(sys.argv[2]), "delay_ns": j.get("delay_ns")}))
PY
}
for r in 1000 10000 100000; do
  emit "$(raw_delay_json vale_raw_link_delay $r "$(vale_trial raw $r)")"
  emit "$(delay_json vale_delay_1ms $r "$(vale_trial corvo $r -D 1ms -d 100ms)")"
done
fi

if part veth || part rate; then
# --- veth ------------------------------------------------------------------
# s0 (NS_S) -- m0 (NS_M) m1 -- d0 (NS_D)
ip netns add $NS_S && ip netns add $NS_M && ip netns add $NS_D || exit 1
ip -n $NS_M link add m0 type veth peer name s0 netns $NS_S
ip -n $NS_M link add m1 type veth peer name d0 netns $NS_D
for pair in "$NS_S s0" "$NS_M m0" "$NS_M m1" "$NS_D d0"; do
  set -- $pair
  ip netns exec $1 sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  ip netns exec $1 ethtool -K $2 tso off gso off gro off lro off tx off rx off >/dev/null 2>&1
  ip -n $1 link set $2 up
done

ip -n $NS_S addr add 10.77.0.1/24 dev s0
ip -n $NS_D addr add 10.77.0.2/24 dev d0
ip -n $NS_S link set lo up; ip -n $NS_D link set lo up

bridge_on() {
  ip -n $NS_M link add br0 type bridge
  ip -n $NS_M link set m0 master br0; ip -n $NS_M link set m1 master br0
  ip -n $NS_M link set br0 up
}
bridge_off() { ip -n $NS_M link del br0 2>/dev/null; }

veth_trial() {  # mode(bridge|corvo) rate [corvo options]
  local mode=$1 rate=$2; shift 2
  local n=$(( rate * T )) out=$WORK/rx.json cp=
  rm -f "$WORK/ready"
  if [ "$mode" = corvo ]; then
    ip netns exec $NS_M $(corvo_cmd "$@" -i netmap:m0 -i netmap:m1) >/dev/null 2>&1 &
    cp=$!
  fi
  ip netns exec $NS_D "$BIN/probe" recv -i netmap:d0 -n $n -w 3 --ready "$WORK/ready" > $out 2>/dev/null &
  local rp=$!
  while [ ! -e "$WORK/ready" ]; do sleep 0.02; done
  [ -n "$cp" ] && sleep 1  # corvo maps and locks its buffers before it forwards
  ip netns exec $NS_S "$BIN/probe" send -i netmap:s0 -n $n -r $rate >/dev/null 2>&1
  wait $rp
  [ -n "$cp" ] && { kill -INT $cp; wait $cp; }
  cat $out
}
veth_corvo() { veth_trial corvo "$1" -d 1; }
veth_bridge() { veth_trial bridge "$1"; }

if part veth; then
fwd=$(search veth_corvo)
bridge_on; br=$(search veth_bridge); bridge_off
emit "{\"name\":\"veth_forwarding_pps\",\"corvo\":$fwd,\"kernel_bridge\":$br,\"ratio\":$(python3 -c "print(round($fwd/max($br,1),3))"),\"target_ratio\":1.0}"

for r in 1000 10000 100000; do
  emit "$(delay_json veth_delay_1ms $r "$(veth_trial corvo $r -D 1ms -d 100ms)")"
done
fi

if part rate; then
# Rate accuracy: iperf3 through corvo -B against tbf on the bridge.
iperf_run() {
  ip netns exec $NS_D iperf3 -s -1 -D >/dev/null 2>&1
  sleep 0.3
  ip netns exec $NS_S iperf3 -c 10.77.0.2 -t 10 -J 2>/dev/null |
    python3 -c 'import json,sys; j=json.load(sys.stdin); print(j["end"]["sum_received"]["bits_per_second"])' 2>/dev/null || echo 0
}
for rate in 10 100; do
  ip netns exec $NS_M $(corvo_cmd -B ${rate}M -d 100ms -i netmap:m0 -i netmap:m1) >/dev/null 2>&1 &
  cp=$!; sleep 0.5
  c=$(iperf_run); kill -INT $cp; wait $cp
  bridge_on
  ip netns exec $NS_M tc qdisc replace dev m1 root tbf rate ${rate}mbit burst 32kb latency 50ms
  ip netns exec $NS_M tc qdisc replace dev m0 root tbf rate ${rate}mbit burst 32kb latency 50ms
  k=$(iperf_run)
  bridge_off
  ip netns exec $NS_M tc qdisc del dev m0 root 2>/dev/null
  ip netns exec $NS_M tc qdisc del dev m1 root 2>/dev/null
  # iperf3 reports TCP payload; both shapers count whole frames: 1448 bytes
  # of payload (MSS with time stamps) travel in 1514-byte frames.
  emit "$(python3 -c "r=$rate*1e6; f=1514/1448; c=$c*f; k=$k*f; import json; print(json.dumps({'name':'rate_accuracy','bps':r,'corvo_bps':c,'corvo_err':round(c/r-1,4),'tbf_bps':k,'tbf_err':round(k/r-1,4),'target_abs_err':0.01,'goodput_bps':{'corvo':$c,'tbf':$k}}))")"
done
fi
ip netns del $NS_S; ip netns del $NS_M; ip netns del $NS_D
fi

# --- replay ----------------------------------------------------------------
if part replay; then
ip netns add $NS_R
ip -n $NS_R link add r0 type veth peer name r1
for i in r0 r1; do
  ip netns exec $NS_R ethtool -K $i tso off gso off gro off lro off tx off rx off >/dev/null 2>&1
  ip -n $NS_R link set $i up
done
ip netns exec $NS_R sysctl -qw net.ipv6.conf.all.disable_ipv6=1
CAP=$WORK/replay.pcap
python3 "$HERE/pcaptool.py" gen $CAP
rxp() { ip netns exec $NS_R cat /sys/class/net/r1/statistics/rx_packets; }
# Packets per second received on r1 between 1 s and 4 s after the start.
full_speed() {  # command...
  ip netns exec $NS_R "$@" >/dev/null 2>&1 &
  local p=$!
  sleep 1; local a=$(rxp) t0=$(date +%s.%N)
  sleep 3; local b=$(rxp) t1=$(date +%s.%N)
  kill -INT $p 2>/dev/null; sleep 0.2; kill $p 2>/dev/null; wait $p 2>/dev/null
  python3 -c "print(round(($b-$a)/($t1-$t0)))"
}
w=$(full_speed "$BIN/wenlo" -C -1 -B 0 -f $CAP -i netmap:r0)
t=$(full_speed tcpreplay --topspeed --loop=1000 -i r0 $CAP)
emit "{\"name\":\"replay_full_speed_pps\",\"wenlo\":$w,\"tcpreplay\":$t,\"ratio\":$(python3 -c "print(round($w/max($t,1),3))"),\"target_ratio\":1.5}"

timing() {  # name command...
  local name=$1; shift
  ip netns exec $NS_R tcpdump -i r1 -w $WORK/rx.pcap --time-stamp-precision=nano -B 262144 -s 64 -q \
    ether proto 0x88b5 >/dev/null 2>&1 &
  local dp=$!; sleep 1
  ip netns exec $NS_R "$@" >/dev/null 2>&1 &
  local p=$!
  sleep $RT
  kill -INT $p 2>/dev/null; sleep 0.3; kill $p 2>/dev/null; wait $p 2>/dev/null
  sleep 0.5; kill -INT $dp; wait $dp 2>/dev/null
  python3 "$HERE/pcaptool.py" gaps $CAP $WORK/rx.pcap | python3 -c "import json,sys; j=json.load(sys.stdin); j['name']='$name'; print(json.dumps(j))"
}
loops=$(( RT / 1 + 1 ))
emit "$(timing replay_timing_wenlo "$BIN/wenlo" -C -1 -f $CAP -i netmap:r0)"
emit "$(timing replay_timing_tcpreplay tcpreplay --loop=$loops -i r0 $CAP)"
fi
exit 0
