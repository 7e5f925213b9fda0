#!/usr/bin/env python3
"""Gathers the benchmark outputs of scripts/bench.sh into one JSON file and
prints a table: each figure beside its peer and its target.
usage: report.py DIR LOAD_BEFORE LOAD_AFTER OUT.json"""
import json
import os
import sys

d, load0, load1, out = sys.argv[1:5]


def gbench(name):
    p = os.path.join(d, name + ".json")
    if not os.path.exists(p):
        return {}
    with open(p) as f:
        j = json.load(f)
    out = {}
    for b in j.get("benchmarks", []):
        if "error_message" in b:
            continue
        # With repetitions, a benchmark's figure is the median of its runs.
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                out[b["run_name"]] = b
        else:
            out.setdefault(b["name"], b)
    return out


res = {"load_before": load0, "load_after": load1, "uname": os.uname().release, "per_packet": {}, "scenarios": []}
rows = []
cp = gbench("corvo_path_bench")
for size in (60, 1500):
    mc = cp.get(f"BM_memcpy/{size}", {}).get("cpu_time")
    base = cp.get(f"BM_no_model/{size}", {}).get("cpu_time")
    if mc is None or base is None:
        continue
    res["per_packet"][f"memcpy/{size}"] = mc
    rows.append((f"path no model {size} B", f"{base:.1f} ns", f"2x memcpy {2 * mc:.1f} ns",
                 f"<= 3x copy twice ({6 * mc:.1f} ns)", "met" if base <= 6 * mc else "NOT met"))
    res["per_packet"][f"no_model/{size}"] = base
    for m in ("const_delay", "uniform_delay", "exp_delay", "const_bw", "avg_bw", "plr", "ber", "reorder", "all"):
        v = cp.get(f"BM_{m}/{size}", {}).get("cpu_time")
        if v is None:
            continue
        res["per_packet"][f"{m}/{size}"] = v
        rows.append((f"path {m} {size} B", f"{v:.1f} ns", f"no model {base:.1f} ns",
                     f"<= 2x ({2 * base:.1f} ns)", "met" if v <= 2 * base else "NOT met"))
mp = os.path.join(d, "machine.json")
if os.path.exists(mp):
    with open(mp) as f:
        m = json.load(f)
    res["machine_floor"] = m
    us = lambda q: f"med {q['median'] / 1e3:.1f} p99 {q['p99'] / 1e3:.1f} max {q['max'] / 1e3:.1f} us"
    rows.append(("machine: 100 us timer sleep, lateness", us(m["timer_late_ns"]), "", "", ""))
    rows.append(("machine: futex wake to running", us(m["futex_wake_ns"]), "", "", ""))
    rows.append(("machine: clock read", f"{m['clock_read_ns']:.1f} ns", "", "", ""))
wb = gbench("wenlo_bench")
for size in (64, 1500):
    b = wb.get(f"BM_pcap_prod/{size}")
    if b and b.get("packets_per_s"):
        ns = 1e9 / b["packets_per_s"]
        res["per_packet"][f"pcap_prod/{size}"] = ns
        rows.append((f"pcap_prod {size} B", f"{ns:.1f} ns/packet", "", "", ""))
    b = wb.get(f"BM_replay_vale_full_speed/{size}") or wb.get(f"BM_replay_vale_full_speed/{size}/iterations:1")
    if b:
        pps = b.get("received_per_s")
        if pps:
            res["per_packet"][f"replay_cons_vale/{size}"] = 1e9 / pps
            rows.append((f"replay consumer {size} B (vale)", f"{1e9 / pps:.1f} ns/packet", "", "", ""))

names = {0: "no rewriting", 1: "--dmac --smac --ipmap", 2: "--dmac --smac --ipmap --unique-ip"}
for arg, what in names.items():
    b = wb.get(f"BM_load_1m/{arg}/iterations:3")
    if b:
        ms = b["real_time"] if b.get("time_unit") == "ms" else b["real_time"] / 1e6
        res["per_packet"][f"load_1m/{arg}"] = ms  # ms for 1M packets = ns per packet
        rows.append((f"load of 1M packets, {what}", f"{ms:.0f} ms", "", "", ""))


def verdict(ratio, target):
    return f"{ratio}x " + ("met" if ratio >= target else "NOT met")


def quant(q, keys=("median", "p99", "p999", "max"), names=("med", "p99", "p99.9", "max")):
    q = q or {}
    return " ".join(f"{n} " + ("n/a" if q.get(k) is None else f"{q[k] / 1e3:.1f}") for k, n in zip(keys, names)) + " us"


sc = os.path.join(d, "scenarios.jsonl")
if os.path.exists(sc):
    for line in open(sc):
        line = line.strip()
        if line.startswith("{"):
            res["scenarios"].append(json.loads(line))
# The delay of the path without corvo at the same rate: the floor beside each
# delay error.
floor = {(j["name"], j["pps"]): j for j in res["scenarios"] if j["name"] in ("vale_raw_link_delay", "veth_bridge_delay")}
for j in res["scenarios"]:
    n = j["name"]
    if n == "vale_forwarding_pps":
        rows.append(("vale forwarding 64 B, one direction", f"{j['corvo']} pps", f"raw link {j['raw_link']} pps",
                     ">= 0.5x", verdict(j["ratio"], 0.5)))
    elif n == "vale_forwarding_both_pps":
        rows.append(("vale forwarding 64 B, both, per direction", f"{j['corvo_per_direction']} pps",
                     f"raw link {j['raw_link']} pps (both ways: {j['raw_link_both_per_direction']})", ">= 0.5x",
                     verdict(j["ratio_per_direction"], 0.5)))
        rows.append(("vale forwarding 64 B, both, aggregate", f"{j['corvo_aggregate']} pps", f"raw link {j['raw_link']} pps",
                     ">= 0.5x", verdict(j["ratio_aggregate"], 0.5)))
    elif n == "veth_forwarding_pps":
        rows.append(("veth forwarding 64 B", f"{j['corvo']} pps", f"kernel bridge {j['kernel_bridge']} pps",
                     ">= 1x", verdict(j["ratio"], 1.0)))
    elif n == "veth_ports_forwarding_pps":
        rows.append(("veth forwarding 64 B, xdp: ports (probes on xdp:)", f"{j['corvo_xdp']} pps",
                     f"netmap: ports {j['corvo_netmap']} pps", ">= 1x", verdict(j["ratio"], 1.0)))
    elif n == "veth_ports_cpu_per_frame":
        x, m = j["xdp"], j["netmap"]
        rows.append((f"corvo CPU per frame at {j['pps']} pps, xdp: ports", f"{x['ns']} ns ({x['frames']} frames)",
                     f"netmap: ports {m['ns']} ns ({m['frames']} frames)", "", ""))
    elif n in ("veth_delay_1ms_netmap_ports", "veth_delay_1ms_xdp_ports"):
        q = j["delay_err_ns"]
        peer = floor.get(("veth_bridge_delay", j["pps"]))
        peer = f"bridge path delay {quant(peer['delay_ns'])}" if peer else ""
        rows.append((f"veth -D 1ms error {j['pps']} pps, {n.split('_')[3]}: ports", quant(q) + f" ({j['frames']} frames, lost {j['lost']})",
                     peer, "", ""))
    elif n in ("vale_delay_1ms", "veth_delay_1ms", "vale_delay_1ms_placed"):
        q = j["delay_err_ns"]
        kind = n[:4]
        placed = ", placed" if n.endswith("placed") else ""
        peer = floor.get(("vale_raw_link_delay" if kind == "vale" else "veth_bridge_delay", j["pps"]))
        peer = f"{'raw link' if kind == 'vale' else 'bridge path'} delay {quant(peer['delay_ns'])}" if peer else ""
        tgt, ok = "", ""
        if kind == "vale" and j["pps"] == 10000:
            tgt = "med < 2 us, p99 < 20 us"
            ok = ("met" if q.get("median") is not None and abs(q["median"]) < 2000 and abs(q["p99"]) < 20000
                  else "NOT met")
        rows.append((f"{kind} -D 1ms error {j['pps']} pps{placed}", quant(q) + f" ({j['frames']} frames, lost {j['lost']})",
                     peer, tgt, ok))
    elif n == "rate_accuracy":
        ok = abs(j["corvo_err"]) < 0.01 and abs(j["corvo_err"]) <= abs(j["tbf_err"])
        rows.append((f"iperf3 rate {j['bps'] / 1e6:.0f}M run {j.get('run', 1)}, queue {j.get('queue_bytes', '?')} B",
                     f"{j['corvo_bps'] / 1e6:.3f} Mb/s ({j['corvo_err'] * 100:+.3f}%)",
                     f"tbf {j['tbf_bps'] / 1e6:.3f} Mb/s ({j['tbf_err'] * 100:+.3f}%)", "|err| < 1%, <= tbf",
                     "met" if ok else "NOT met"))
    elif n == "replay_full_speed_pps":
        rows.append(("replay full speed", f"{j['wenlo']} pps", f"tcpreplay --topspeed {j['tcpreplay']} pps", ">= 1.5x",
                     verdict(j["ratio"], 1.5)))
    elif n.startswith("replay_pps_"):
        g = j.get("gap_abs_err_ns") or {}
        rows.append((f"--pps timing {n[11:]}", f"|gap err| med {g.get('median', 0) / 1e3:.2f} p99 {g.get('p99', 0) / 1e3:.2f} us",
                     f"drift {j['drift_ns'] / 1e3:.1f} us over {j['seconds']:.0f} s, {j['received']} pkts", "", ""))
    elif n.startswith("replay_timing_"):
        g = j.get("gap_abs_err_ns") or {}
        rows.append((f"replay timing {n[14:]}", f"|gap err| med {g.get('median', 0) / 1e3:.2f} p99 {g.get('p99', 0) / 1e3:.2f} us",
                     f"drift {j['drift_ns'] / 1e3:.1f} us over {j['seconds']:.0f} s, {j['received']} pkts", "", ""))

with open(out, "w") as f:
    json.dump(res, f, indent=1)
w = [max(len(r[i]) for r in rows) if rows else 0 for i in range(5)]
print(f"load average before {load0}, after {load1}")
for r in rows:
    print("  ".join(c.ljust(w[i]) for i, c in enumerate(r)))
