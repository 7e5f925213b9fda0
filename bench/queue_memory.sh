#!/bin/bash
# Resident memory of corvo against what its queues hold (no privileges:
# shared-memory links only).  Prints one JSON object per figure on standard
# output.  Usage: queue_memory.sh BINDIR
#   idle:  corvo -D 2s without traffic, VmRSS after MEM_IDLE_SECONDS (5).
#   flow:  corvo -D 1s with a 100 Mbit/s flow (1500-byte frames at 8333/s)
#          for MEM_FLOW_SECONDS (20); the largest VmRSS of the last half
#          against the bytes queued (rate x delay, as records of the ring).
set -u
BIN=$(cd "$1" && pwd)
IDLE=${MEM_IDLE_SECONDS:-5}
FLOW=${MEM_FLOW_SECONDS:-20}
ID=qm$$
WORK=$(mktemp -d /tmp/corvo-mem.XXXXXX)
PIDS=()
cleanup() {
  for p in "${PIDS[@]}"; do kill "$p" 2>/dev/null; done
  wait 2>/dev/null
  rm -rf "$WORK" /dev/shm/netport-vale-${ID}* 2>/dev/null
}
trap cleanup EXIT
trap "exit 130" INT TERM

rss_kb() { awk '/^VmRSS:/ {print $2}' /proc/$1/status; }

# idle
"$BIN/corvo" -q -C -1,-1,-1,-1 -D 2s -i vale${ID}a:c -i vale${ID}b:c 2>/dev/null &
cp=$!; PIDS+=($cp)
sleep "$IDLE"
idle=$(rss_kb $cp)
kill -INT $cp; wait $cp 2>/dev/null
rm -f /dev/shm/netport-vale-${ID}*
echo "{\"name\":\"corvo_idle_rss\",\"command\":\"corvo -D 2s\",\"rss_kb\":$idle,\"target_kb\":102400}"

# flow
rate=8333 size=1500
"$BIN/probe" recv -i vale${ID}d:p -w 5 > "$WORK/recv.json" 2>/dev/null &
PIDS+=($!)
"$BIN/corvo" -q -C -1,-1,-1,-1 -d 100ms -D 1s -i vale${ID}c:c -i vale${ID}d:c 2>/dev/null &
cp=$!; PIDS+=($cp)
sleep 1
"$BIN/probe" send -i vale${ID}c:p -s $size -r $rate -t "$FLOW" -W 5 > "$WORK/send.json" 2>/dev/null &
sp=$!; PIDS+=($sp)
most=0
for ((s = 1; s <= FLOW; s++)); do
  sleep 1
  r=$(rss_kb $cp)
  if (( s > FLOW / 2 && r > most )); then most=$r; fi
done
wait $sp
sleep 2
kill -INT $cp; wait $cp 2>/dev/null
# One second of frames, each a record of 32 header bytes and its data.
queued=$(( rate * (size + 32) / 1024 ))
python3 - "$most" "$queued" "$WORK/recv.json" <<'PY'
import json, sys
most, queued = int(sys.argv[1]), int(sys.argv[2])
try:
    recv = json.load(open(sys.argv[3]))
except (OSError, ValueError):
    recv = {}
print(json.dumps({"name": "corvo_flow_rss", "command": "corvo -D 1s, probe send -s 1500 -r 8333",
                  "rss_kb": most, "queued_kb": queued, "ratio": round(most / queued, 2), "target_ratio": 2,
                  "received": recv.get("frames"), "lost": recv.get("lost")}))
PY
