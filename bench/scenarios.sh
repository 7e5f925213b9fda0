#!/bin/bash
# Scenario benchmarks (root): forwarding over vale and veth, delay and rate
# accuracy, replay against tcpreplay.  Prints one JSON object per figure on
# standard output ("name": ..., fields).  Usage: scenarios.sh BINDIR
# BENCH_SECONDS (default 2) sets the length of one forwarding trial,
# BENCH_REPLAY_SECONDS (default 60) the length of the replay timing runs,
# BENCH_PARTS (default "vale veth xdp rate replay pps") the scenarios that run,
# BENCH_PPS (default 10000) the rate of the fixed packet rate runs.
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
PARTS=" ${BENCH_PARTS:-vale veth xdp rate replay pps} "
part() { [[ $PARTS == *" $1 "* ]]; }
# Unplaced threads as tests run them; CORVO_C="" gives corvo its default
# placement (each thread on its own CPU of the defaults, real-time round-robin).
CORVO_C=${CORVO_C--C -1,-1,-1,-1}
corvo_cmd() { echo "$BIN/corvo -q $CORVO_C $*"; }

# Trials: offered rate R (pps per direction) for T seconds; the senders start
# together once $WORK/go exists.  A trial prints {"rate", "n", "dirs": [{"send",
# "recv"}, ...]}: per direction the sender's and the receiver's JSON.
trial_json() {  # rate n SEND RECV [SEND RECV]: FILE or FILE#send / FILE#recv
  python3 - "$@" <<'PY'
import json, sys
def load(spec):
    path, _, key = spec.partition("#")
    try:
        j = json.load(open(path))
    except (OSError, ValueError):
        j = {}
    return (j.get(key) or {}) if key else j
a = sys.argv[1:]
print(json.dumps({"rate": int(a[0]), "n": int(a[1]),
                  "dirs": [{"send": load(s), "recv": load(r)} for s, r in zip(a[2::2], a[3::2])]}))
PY
}

# A trial passes when every direction really offered the rate (its sender kept
# within 1 % of it: a full ring holds a sender back instead of dropping) and
# lost under 0.1 % of what was sent.
passes() {  # trial JSON on stdin; status 0 when it passes, a line on stderr
  python3 -c '
import json, sys
j = json.loads(sys.stdin.read())
ok, notes = True, []
for d in j["dirs"]:
    s, r = d["send"], d["recv"]
    loss = 1.0 - min(r.get("frames", 0), j["n"]) / j["n"]
    pace = s.get("pps", 0) / j["rate"]
    ok = ok and s.get("sent", 0) == j["n"] and pace >= 0.99 and loss < 0.001
    notes.append("loss %.5f sent at %.3fx" % (loss, pace))
print("  %s %d pps: %s: %s" % (sys.argv[1], j["rate"], "; ".join(notes), "pass" if ok else "fail"), file=sys.stderr)
sys.exit(0 if ok else 1)' "$1"
}

# Highest passing rate per direction: doubling from 50k until a rate fails,
# then four bisection steps between the last pass and the first fail.
search() {  # trial-function args...
  local pass=0 fail=0 r=50000 i
  while [ $r -le 51200000 ]; do
    if "$@" $r | passes "$*"; then pass=$r; r=$(( r * 2 )); else fail=$r; break; fi
  done
  if [ $fail -gt 0 ]; then
    for i in 1 2 3 4; do
      r=$(( (pass + fail) / 2000 * 1000 ))
      if "$@" $r | passes "$*"; then pass=$r; else fail=$r; fi
    done
  fi
  echo $pass
}

# One-way delay of a trial's first direction, less OFFSET (default 1 ms; 0
# reports the delay itself).
delay_json() {  # name rate trial-json [OFFSET]
  python3 - "$1" "$2" "$3" "${4:-1000000}" <<'PY'
import json, sys
t = json.loads(sys.argv[3] or "{}")
j = (t.get("dirs") or [{}])[0].get("recv", {})
d, off = j.get("delay_ns", {}), int(sys.argv[4])
f = lambda k: None if k not in d else d[k] - off
key = "delay_err_ns" if off else "delay_ns"
print(json.dumps({"name": sys.argv[1], "pps": int(sys.argv[2]), "frames": j.get("frames", 0), "lost": j.get("lost"),
  key: {"median": f("median"), "p99": f("p99"), "p999": f("p999"), "max": f("max")}}))
PY
}
ratio() { python3 -c "print(round($1 / max($2, 1), 3))"; }

# --- vale ------------------------------------------------------------------
if part vale; then
# raw: one link, probes on its ends a and b.  corvo: valeSWx:a <-> x:b (corvo's
# first port), y:c (its second port) <-> y:d.  One direction sends a -> far end;
# two directions run a duplex probe (sender and receiver threads) on each end.
vale_trial() {  # raw|corvo 1|2 rate [corvo options]
  local mode=$1 dirs=$2 rate=$3; shift 3
  local sw=${ID}v$RANDOM n=$(( rate * T )) a b cp= pids=()
  local send="-n $n -r $rate -W 5 --start $WORK/go"
  rm -f "$WORK"/go "$WORK"/ready.* "$WORK"/a.json "$WORK"/b.json
  if [ "$mode" = raw ]; then a=vale${sw}:a b=vale${sw}:b; else a=vale${sw}x:a b=vale${sw}y:d; fi
  if [ "$dirs" = 1 ]; then
    "$BIN/probe" recv -i $b -n $n -w 3 --ready "$WORK/ready.b" > "$WORK/b.json" 2>/dev/null & pids+=($!)
    "$BIN/probe" send -i $a $send > "$WORK/a.json" 2>/dev/null & pids+=($!)
    touch "$WORK/ready.a"
  else
    "$BIN/probe" duplex -i $b $send -w 1 --ready "$WORK/ready.b" > "$WORK/b.json" 2>/dev/null & pids+=($!)
    "$BIN/probe" duplex -i $a $send -w 1 --ready "$WORK/ready.a" > "$WORK/a.json" 2>/dev/null & pids+=($!)
  fi
  while [ ! -e "$WORK/ready.a" ] || [ ! -e "$WORK/ready.b" ]; do sleep 0.02; done
  if [ "$mode" = corvo ]; then
    $(corvo_cmd "$@" -i vale${sw}x:b -i vale${sw}y:c) >/dev/null 2>&1 &
    cp=$!
    sleep 1  # corvo maps its buffers and starts its threads before it forwards
  fi
  touch "$WORK/go"
  wait "${pids[@]}"
  [ -n "$cp" ] && { kill -INT $cp; wait $cp; }
  rm -f /dev/shm/netport-vale-${sw}* 2>/dev/null
  if [ "$dirs" = 1 ]; then
    trial_json $rate $n "$WORK/a.json" "$WORK/b.json"
  else
    trial_json $rate $n "$WORK/a.json#send" "$WORK/b.json#recv" "$WORK/b.json#send" "$WORK/a.json#recv"
  fi
}

vale_raw() { vale_trial raw 1 "$1"; }
vale_raw2() { vale_trial raw 2 "$1"; }
vale_corvo() { vale_trial corvo 1 "$1" -d 1; }
vale_corvo2() { vale_trial corvo 2 "$1" -d 1; }
raw=$(search vale_raw); fwd=$(search vale_corvo)
raw2=$(search vale_raw2); fwd2=$(search vale_corvo2)
emit "{\"name\":\"vale_forwarding_pps\",\"corvo\":$fwd,\"raw_link\":$raw,\"ratio\":$(ratio $fwd $raw),\"target_ratio\":0.5}"
emit "{\"name\":\"vale_forwarding_both_pps\",\"corvo_per_direction\":$fwd2,\"corvo_aggregate\":$(( 2 * fwd2 )),\"raw_link\":$raw,\"ratio_per_direction\":$(ratio $fwd2 $raw),\"ratio_aggregate\":$(ratio $(( 2 * fwd2 )) $raw),\"raw_link_both_per_direction\":$raw2,\"target_ratio\":0.5}"

for r in 1000 10000 100000; do
  emit "$(delay_json vale_raw_link_delay $r "$(vale_trial raw 1 $r)" 0)"
  emit "$(delay_json vale_delay_1ms $r "$(vale_trial corvo 1 $r -D 1ms -d 100ms)")"
done
# The same at 10 kpps with corvo's threads placed as it places them itself.
emit "$(CORVO_C= ; delay_json vale_delay_1ms_placed 10000 "$(vale_trial corvo 1 10000 -D 1ms -d 100ms)")"
fi

if part veth || part xdp || part rate; then
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

# Port kinds: VP of the probes on s0 and d0, CK of corvo's ports on m0 and m1.
VP=netmap CK=netmap
# CPU time (user + system, clock ticks) of a process so far.
cpu_ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
veth_trial() {  # bridge|corvo rate [corvo options]; corvo's CPU ticks over the trial in $WORK/cpu
  local mode=$1 rate=$2; shift 2
  local n=$(( rate * T )) cp= rp sp c0=0
  rm -f "$WORK"/go "$WORK"/ready.b "$WORK"/a.json "$WORK"/b.json "$WORK"/cpu
  ip netns exec $NS_D "$BIN/probe" recv -i $VP:d0 -n $n -w 3 --ready "$WORK/ready.b" > "$WORK/b.json" 2>/dev/null &
  rp=$!
  ip netns exec $NS_S "$BIN/probe" send -i $VP:s0 -n $n -r $rate --start "$WORK/go" > "$WORK/a.json" 2>/dev/null &
  sp=$!
  while [ ! -e "$WORK/ready.b" ]; do sleep 0.02; done
  if [ "$mode" = corvo ]; then
    ip netns exec $NS_M $(corvo_cmd "$@" -i $CK:m0 -i $CK:m1) >/dev/null 2>&1 &
    cp=$!
    sleep 1  # corvo maps its buffers and starts its threads before it forwards
    c0=$(cpu_ticks $cp)
  fi
  touch "$WORK/go"
  wait $rp $sp
  [ -n "$cp" ] && { echo $(( $(cpu_ticks $cp) - c0 )) > "$WORK/cpu"; kill -INT $cp; wait $cp; }
  trial_json $rate $n "$WORK/a.json" "$WORK/b.json"
}
veth_corvo() { veth_trial corvo "$1" -d 1; }
veth_bridge() { veth_trial bridge "$1"; }

if part veth; then
fwd=$(search veth_corvo)
bridge_on; br=$(search veth_bridge); bridge_off
emit "{\"name\":\"veth_forwarding_pps\",\"corvo\":$fwd,\"kernel_bridge\":$br,\"ratio\":$(ratio $fwd $br),\"target_ratio\":1.0}"

for r in 1000 10000 100000; do
  bridge_on; emit "$(delay_json veth_bridge_delay $r "$(veth_trial bridge $r)" 0)"; bridge_off
  emit "$(delay_json veth_delay_1ms $r "$(veth_trial corvo $r -D 1ms -d 100ms)")"
done
fi

if part xdp; then
# corvo's ports as netmap: (AF_PACKET) and as xdp: (AF_XDP).  Forwarding rate
# and CPU time with the probes over xdp: (senders faster than AF_PACKET ones);
# the delay with the probes over netmap: (kernel receive time stamps).
xdp_fwd() { VP=xdp CK=$1 veth_trial corvo "$2" -d 1; }
# corvo's CPU time per forwarded frame in ns at rate $2 for CPU_SECONDS.
cpu_per_frame() {  # netmap|xdp rate
  local j ticks
  j=$(T=${CPU_SECONDS:-5} xdp_fwd "$1" "$2")
  ticks=$(cat "$WORK/cpu" 2>/dev/null || echo 0)
  python3 -c "
import json, sys
j = json.loads(sys.argv[1]); f = j['dirs'][0]['recv'].get('frames', 0)
print(json.dumps({'frames': f, 'cpu_s': $ticks / $(getconf CLK_TCK), 'ns': round($ticks / $(getconf CLK_TCK) * 1e9 / max(f, 1))}))" "$j"
}
fx=$(search xdp_fwd xdp); fn=$(search xdp_fwd netmap)
emit "{\"name\":\"veth_ports_forwarding_pps\",\"corvo_xdp\":$fx,\"corvo_netmap\":$fn,\"ratio\":$(ratio $fx $fn),\"senders\":\"probe over xdp:\",\"target_ratio\":1.0}"
r=${CPU_RATE:-100000}
cx=$(cpu_per_frame xdp $r); cn=$(cpu_per_frame netmap $r)
emit "{\"name\":\"veth_ports_cpu_per_frame\",\"pps\":$r,\"xdp\":$cx,\"netmap\":$cn}"
for k in netmap xdp; do
  emit "$(CK=$k; delay_json veth_delay_1ms_${k}_ports 10000 "$(veth_trial corvo 10000 -D 1ms -d 100ms)")"
done
fi

if part rate; then
# Rate accuracy: iperf3 through corvo -B against tbf on the bridge, twice each.
# Both shapers hold the same bytes: tbf with `latency 50ms` holds rate x 50 ms
# plus its burst, and corvo gets that as its queue limit (-Q).
iperf_run() {
  ip netns exec $NS_D iperf3 -s -1 -D >/dev/null 2>&1
  sleep 0.3
  ip netns exec $NS_S iperf3 -c 10.77.0.2 -t 10 -J 2>/dev/null |
    python3 -c 'import json,sys; j=json.load(sys.stdin); print(j["end"]["sum_received"]["bits_per_second"])' 2>/dev/null || echo 0
}
burst=32768  # tbf's "32kb"
for rate in 10 100; do
  q=$(( rate * 1000000 / 8 * 50 / 1000 + burst ))
  for run in 1 2; do
    ip netns exec $NS_M $(corvo_cmd -B ${rate}M -Q $q -d 100ms -i netmap:m0 -i netmap:m1) >/dev/null 2>&1 &
    cp=$!; sleep 0.5
    c=$(iperf_run); kill -INT $cp; wait $cp
    bridge_on
    for i in m0 m1; do
      ip netns exec $NS_M tc qdisc replace dev $i root tbf rate ${rate}mbit burst 32kb latency 50ms
    done
    k=$(iperf_run)
    bridge_off
    ip netns exec $NS_M tc qdisc del dev m0 root 2>/dev/null
    ip netns exec $NS_M tc qdisc del dev m1 root 2>/dev/null
    # iperf3 reports TCP payload; both shapers count whole frames: 1448 bytes
    # of payload (MSS with time stamps) travel in 1514-byte frames.
    emit "$(python3 -c "r=$rate*1e6; f=1514/1448; c=$c*f; k=$k*f; import json; print(json.dumps({'name':'rate_accuracy','bps':r,'run':$run,'queue_bytes':$q,'corvo_bps':c,'corvo_err':round(c/r-1,5),'tbf_bps':k,'tbf_err':round(k/r-1,5),'target_abs_err':0.01,'goodput_bps':{'corvo':$c,'tbf':$k}}))")"
  done
done
fi
ip netns del $NS_S; ip netns del $NS_M; ip netns del $NS_D
fi

# --- replay ----------------------------------------------------------------
# The replay parts share a namespace with the veth pair r0/r1 and a capture.
CAP=$WORK/replay.pcap
replay_setup() {
  ip netns list | grep -q "^$NS_R" && return
  ip netns add $NS_R
  ip -n $NS_R link add r0 type veth peer name r1
  for i in r0 r1; do
    ip netns exec $NS_R ethtool -K $i tso off gso off gro off lro off tx off rx off >/dev/null 2>&1
    ip -n $NS_R link set $i up
  done
  ip netns exec $NS_R sysctl -qw net.ipv6.conf.all.disable_ipv6=1
  python3 "$HERE/pcaptool.py" gen $CAP
}
# Gaps received on r1 while a replay runs for RT seconds, against the
# capture's gaps (or 1/TIMING_PPS).
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
  python3 "$HERE/pcaptool.py" gaps $CAP $WORK/rx.pcap ${TIMING_PPS:-} | python3 -c "import json,sys; j=json.load(sys.stdin); j['name']='$name'; print(json.dumps(j))"
}
if part replay; then
replay_setup
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

loops=$(( RT / 1 + 1 ))
emit "$(timing replay_timing_wenlo "$BIN/wenlo" -C -1 -f $CAP -i netmap:r0)"
emit "$(timing replay_timing_tcpreplay tcpreplay --loop=$loops -i r0 $CAP)"
fi

# --- fixed packet rate: wenlo --pps against tcpreplay --pps ------------------
if part pps; then
replay_setup
PPS=${BENCH_PPS:-10000}
export TIMING_PPS=$PPS
emit "$(timing replay_pps_wenlo "$BIN/wenlo" -C -1 --pps $PPS -f $CAP -i netmap:r0)"
emit "$(timing replay_pps_tcpreplay tcpreplay --pps=$PPS --loop=$(( RT * PPS / 10000 + 1 )) -i r0 $CAP)"
unset TIMING_PPS
fi
exit 0
